// The identity a crash report gives of the running executable, against the
// headers the loader mapped for this test program.
#include <windows.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "app/text.h"
#include "reporting/module_image.h"

namespace {

TEST(MainModuleImage, IsTheLoadedExecutableWithItsTimeStampSizeAndBuildId) {
  const auto image = Reporting::MainModuleImage();
  ASSERT_TRUE(image);
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_EQ(image->codeFile, Text::ToUtf8(path));
  EXPECT_EQ(image->imageAddr, reinterpret_cast<uintptr_t>(base));
  EXPECT_EQ(image->imageSize, nt->OptionalHeader.SizeOfImage);
  EXPECT_EQ(image->codeId, fmt::format("{:08X}{:x}", nt->FileHeader.TimeDateStamp, nt->OptionalHeader.SizeOfImage));

  // The build id: the CodeView record's GUID as COM writes it, lower case,
  // without braces, then its age.
  const IMAGE_DATA_DIRECTORY& debug = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
  ASSERT_NE(debug.VirtualAddress, 0u) << "the test program has no debug directory";
  const auto* entry = reinterpret_cast<const IMAGE_DEBUG_DIRECTORY*>(base + debug.VirtualAddress);
  ASSERT_EQ(entry->Type, static_cast<DWORD>(IMAGE_DEBUG_TYPE_CODEVIEW));
  const BYTE* record = base + entry->AddressOfRawData;
  GUID guid;
  DWORD age = 0;
  std::memcpy(&guid, record + 4, sizeof(guid));
  std::memcpy(&age, record + 20, sizeof(age));
  wchar_t text[40] = {};
  ASSERT_GT(StringFromGUID2(guid, text, 40), 0);
  std::string expected = Text::ToUtf8(std::wstring(text + 1, 36));
  std::transform(expected.begin(), expected.end(), expected.begin(), [](unsigned char c) { return std::tolower(c); });
  EXPECT_EQ(image->debugId, fmt::format("{}-{:x}", expected, age));
}

}  // namespace
