// Files, folders, shortcuts and the shell on the real file system.
#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "support/temp_folder.h"
#include "system/files.h"
#include "win/system_test_support.h"

namespace {

void Touch(const std::wstring& path, std::string_view content = "x") { ASSERT_TRUE(WriteFileBytes(path, content)); }

TEST(RemoveFile, MissingPathIsNothingToDo) {
  TempFolder folder;
  RemoveFile(folder.Path(L"never-there.txt"));
  EXPECT_FALSE(PathExists(folder.Path(L"never-there.txt")));
}

TEST(RemoveFile, ClearsTheReadOnlyFlagAndDeletes) {
  TempFolder folder;
  const std::wstring file = folder.Path(L"read-only.txt");
  Touch(file);
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  RemoveFile(file);
  EXPECT_FALSE(PathExists(file));
}

// Another holder with delete sharing keeps the name listed until it closes;
// returning earlier would let the caller reuse a name that is still taken.
TEST(RemoveFile, FileHeldOpenWithDeleteSharingReturnsOnlyAfterItIsClosed) {
  TempFolder folder;
  const std::wstring file = folder.Path(L"held.txt");
  Touch(file);
  HANDLE holder = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::atomic<bool> closed{false};
  auto removal = std::async(std::launch::async, [&] {
    RemoveFile(file);
    return closed.load();
  });
  // Ordering only: give the removal time to reach its wait before closing.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  closed = true;
  CloseHandle(holder);
  EXPECT_TRUE(removal.get()) << "RemoveFile returned while the file was still open";
  EXPECT_FALSE(PathExists(file));
}

TEST(Folders, EnsureDirectoryCreatesOneLevelAndProbesTellFilesFromFolders) {
  TempFolder folder;
  const std::wstring sub = folder.Path(L"sub");
  EnsureDirectory(sub);
  EnsureDirectory(sub);  // existing: nothing happens
  EXPECT_TRUE(DirectoryExists(sub));
  EnsureDirectory(folder.Path(L"a\\b"));  // parent missing: not created
  EXPECT_FALSE(PathExists(folder.Path(L"a")));
  Touch(folder.Path(L"file.txt"));
  EXPECT_TRUE(PathExists(folder.Path(L"file.txt")));
  EXPECT_FALSE(DirectoryExists(folder.Path(L"file.txt")));
}

TEST(Folders, DeleteDirectoryTreeRemovesNestedContent) {
  TempFolder folder;
  const std::wstring top = folder.Path(L"tree");
  EnsureDirectory(top);
  EnsureDirectory(top + L"\\inner");
  Touch(top + L"\\inner\\deep.bin");
  Touch(top + L"\\top.txt");
  EXPECT_EQ(DeleteDirectoryTree(top), 0);
  EXPECT_FALSE(PathExists(top));
}

TEST(Files, ModificationTimeRoundTripsAndMissingFileGivesZero) {
  TempFolder folder;
  const std::wstring file = folder.Path(L"stamped.txt");
  Touch(file);
  SetFileTimes(file, 1700000000);
  EXPECT_EQ(GetFileModificationTime(file), 1700000000);
  EXPECT_EQ(GetFileModificationTime(folder.Path(L"missing.txt")), 0);
  SetFileTimes(folder.Path(L"missing.txt"), 5);  // not reported
}

TEST(Files, BinaryContentRoundTripsAndMissingFileIsNotRead) {
  TempFolder folder;
  const std::string bytes("line\r\nnext\n\0tail\x1a end", 21);
  ASSERT_TRUE(WriteFileBytes(folder.Path(L"data.bin"), bytes));
  std::string read;
  ASSERT_TRUE(ReadFileBytes(folder.Path(L"data.bin"), read));
  EXPECT_EQ(read, bytes);
  EXPECT_FALSE(ReadFileBytes(folder.Path(L"missing.bin"), read));
}

TEST(Files, MoveReplacesAnExistingFileAndReportsTheWindowsError) {
  TempFolder folder;
  Touch(folder.Path(L"new.txt"), "new");
  Touch(folder.Path(L"old.txt"), "old");
  EXPECT_EQ(MoveFileWithFlags(folder.Path(L"new.txt"), folder.Path(L"old.txt"), kMoveReplaceExisting), 0u);
  std::string content;
  ASSERT_TRUE(ReadFileBytes(folder.Path(L"old.txt"), content));
  EXPECT_EQ(content, "new");
  EXPECT_FALSE(PathExists(folder.Path(L"new.txt")));
  EXPECT_EQ(MoveFileWithFlags(folder.Path(L"gone.txt"), folder.Path(L"x.txt"), 0), 2u);
}

std::wstring LinkTarget(const std::wstring& link) {
  IShellLinkW* shellLink = nullptr;
  IPersistFile* file = nullptr;
  wchar_t target[MAX_PATH] = {};
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&shellLink))) &&
      SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(link.c_str(), STGM_READ))) {
    shellLink->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
  }
  if (file) file->Release();
  if (shellLink) shellLink->Release();
  return target;
}

TEST(Shortcuts, CreatedAndOverwrittenWithTheNewTarget) {
  ComScope com;
  TempFolder folder;
  Touch(folder.Path(L"First.exe"));
  Touch(folder.Path(L"Second.exe"));
  const std::wstring link = folder.Path(L"Valdrix.lnk");
  CreateShortcut(folder.Path(L"First.exe"), link);
  EXPECT_EQ(LinkTarget(link), folder.Path(L"First.exe"));
  CreateShortcut(folder.Path(L"Second.exe"), link);
  EXPECT_EQ(LinkTarget(link), folder.Path(L"Second.exe"));
}

TEST(Shortcuts, UnsavableLinkReportsTheHresult) {
  ComScope com;
  TempFolder folder;
  try {
    CreateShortcut(folder.Path(L"target.exe"), folder.Path(L"no-such-folder\\Valdrix.lnk"));
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Unable to save shell link file: error ", 0), 0u) << error.what();
  }
}

TEST(ShellOpen, MissingFileIsSystemErrorTwo) {
  TempFolder folder;
  ExpectSystemError([&] { ShellOpen(folder.Path(L"missing-document.txt")); }, 2, "ShellExecute failed");
}

TEST(SafeHandle, CloseReleasesOnceAndClosingAClosedHandleIsReported) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  SafeHandle owner(event);
  SafeHandle moved(std::move(owner));
  EXPECT_FALSE(owner);
  moved.Close();
  EXPECT_FALSE(moved);
  moved.Close();  // empty: nothing to do
  // A handle value that no longer names anything cannot be closed.
  SafeHandle stale(event);
  ExpectSystemError([&] { stale.Close(); }, ERROR_INVALID_HANDLE, "Unable to close safe handle");
  (void)stale.Release();
}

}  // namespace
