// Files and the shell on the real file system, where the contract
// (tests/contract/files_contract_test.cpp) cannot reach: other holders of a
// file, programs started from a held file, handles.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "support/temp_folder.h"
#include "system/files.h"
#include "win/system_test_support.h"

namespace {

void Touch(const std::wstring& path, std::string_view content = "x") { ASSERT_TRUE(WriteFileBytes(path, content)); }

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

// An installer held from its check to its start still runs.
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

}  // namespace
