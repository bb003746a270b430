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

TEST(HeldFile, NobodyCanWriteReplaceOrDeleteTheFileWhileItIsHeld) {
  TempFolder folder;
  const std::wstring installer = folder.Path(L"setup.exe");
  const std::wstring other = folder.Path(L"other.exe");
  ASSERT_TRUE(WriteFileBytes(installer, "checked"));
  ASSERT_TRUE(WriteFileBytes(other, "swapped"));
  {
    const HeldFile held = HoldFile(installer);
    EXPECT_EQ(ReadHeld(held), "checked");
    EXPECT_EQ(OpenError(installer, GENERIC_WRITE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenError(installer, DELETE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileW(installer.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_NE(MoveFileWithFlags(other, installer, kMoveReplaceExisting), 0u);
    EXPECT_NE(MoveFileWithFlags(installer, folder.Path(L"moved.exe"), 0), 0u);
    EXPECT_EQ(OpenError(installer, GENERIC_READ), 0u) << "readers are welcome";
    // Read twice: each read starts at the beginning.
    EXPECT_EQ(ReadHeld(held), "checked");
  }
  EXPECT_EQ(Read(installer), "checked");
  EXPECT_EQ(MoveFileWithFlags(other, installer, kMoveReplaceExisting), 0u) << "free again once released";
  ExpectSystemError([&] { HoldFile(folder.Path(L"missing.exe")); }, ERROR_FILE_NOT_FOUND, "Unable to open file \"");
}

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

// A second name of another file, planted where the log goes, must not get
// the log's lines; an ordinary log keeps what earlier runs wrote.
TEST(LogFile, PlantedSecondNameIsReplacedAndOrdinaryLogIsAppended) {
  TempFolder folder;
  const std::wstring victim = folder.Path(L"victim.ini");
  const std::wstring log = folder.Path(L"Valdrix.Setup.log");
  ASSERT_TRUE(WriteFileBytes(victim, "[system]\n"));
  ASSERT_TRUE(CreateHardLinkW(log.c_str(), victim.c_str(), nullptr));
  SetupLog::OpenPath(log);
  SetupLog::Info("first run");
  SetupLog::Close();
  EXPECT_EQ(Read(victim), "[system]\n");
  EXPECT_NE(Read(log).find("first run"), std::string::npos);

  SetupLog::OpenPath(log);
  SetupLog::Info("second run");
  SetupLog::Close();
  const std::string both = Read(log);
  EXPECT_NE(both.find("first run"), std::string::npos) << both;
  EXPECT_NE(both.find("second run"), std::string::npos) << both;
}
