// Files of a folder that other users may write, as a process running as
// SYSTEM meets them: an installer held from its check to its start cannot be
// swapped, and nothing planted at a name makes the setup write elsewhere.
// Wine 8 cannot make symbolic links (CreateSymbolicLinkW reports success and
// makes nothing, and a Unix link is followed as if it were the file), so the
// planted entries here are hard links, which it makes for real.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/log.h"
#include "support/temp_folder.h"
#include "system/files.h"
#include "win/system_test_support.h"

namespace {

std::string Read(const std::wstring& path) {
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(path, bytes)) << "cannot read back";
  return bytes;
}

std::string ReadHeld(const HeldFile& file) {
  std::string bytes;
  ReadHeldFile(file,
               [&](const uint8_t* data, size_t size) { bytes.append(reinterpret_cast<const char*>(data), size); });
  return bytes;
}

DWORD OpenError(const std::wstring& path, DWORD access) {
  const HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
}

}  // namespace

TEST(HeldFile, HeldProgramStillStartsAndIsFreedAfterwards) {
  TempFolder folder;
  const std::wstring program = folder.Path(L"installer.exe");
  ASSERT_TRUE(CopyFileW(FixturePath(L"valdrix_child.exe").c_str(), program.c_str(), FALSE));
  HeldFile held = HoldFile(program);
  EXPECT_EQ(RunProcess(program, L"", true), 7u);
  held.Release();
  EXPECT_FALSE(held);
  EXPECT_NO_THROW(RemoveFile(program));
}
