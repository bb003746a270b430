// The double keeps the rules of the real layer that the flows depend on.
#include <gtest/gtest.h>

#include <system_error>

#include "double/clock.h"
#include "double/files.h"
#include "double/fixture.h"
#include "double/processes.h"
#include "double/scm.h"
#include "double/tasks.h"
#include "system/files.h"
#include "system/scm_api.h"
#include "system/services.h"
#include "system/tasks.h"

using DoubleFilesTest = DoubleTest;

TEST_F(DoubleFilesTest, MoveToAnotherVolumeFailsUnlessDelayedToRestart) {
  Double::Files::PutFile(L"C:\\Program Files\\Valdrix\\Valdrix.Setup.exe", "exe");
  EXPECT_EQ(17u, MoveFileWithFlags(L"C:\\Program Files\\Valdrix\\Valdrix.Setup.exe", L"D:\\Temp\\x.exe", 9));
  EXPECT_TRUE(PathExists(L"c:\\program files\\VALDRIX\\valdrix.setup.exe"));
  EXPECT_EQ(0u, MoveFileWithFlags(L"C:\\Program Files\\Valdrix\\Valdrix.Setup.exe", L"", kMoveDelayUntilReboot));
  ASSERT_EQ(1u, Double::Files::RestartRequests().size());
  EXPECT_TRUE(Double::Files::RestartRequests()[0].destination.empty());
}

TEST_F(DoubleFilesTest, LockedFileFailsMovesForItsAttemptsThenMoves) {
  Double::Files::PutFile(L"C:\\a\\f.tmp", "new");
  Double::Files::PutFile(L"C:\\a\\f", "old");
  Double::Files::LockFile(L"C:\\a\\f", 32, 2);
  EXPECT_EQ(32u, MoveFileWithFlags(L"C:\\a\\f.tmp", L"C:\\a\\f", 9));
  EXPECT_EQ(32u, MoveFileWithFlags(L"C:\\a\\f.tmp", L"C:\\a\\f", 9));
  EXPECT_EQ(183u, MoveFileWithFlags(L"C:\\a\\f.tmp", L"C:\\a\\f", 0));
  EXPECT_EQ(0u, MoveFileWithFlags(L"C:\\a\\f.tmp", L"C:\\a\\f", 9));
  EXPECT_EQ("new", Double::Files::FileBytes(L"C:\\a\\f"));
  EXPECT_FALSE(PathExists(L"C:\\a\\f.tmp"));
}

// A program's file while it runs: it can be renamed, not deleted.
TEST_F(DoubleFilesTest, FileInUseIsRefusedWithAccessDenied) {
  Double::Files::PutFile(L"C:\\a\\busy.exe");
  Double::Files::SetInUse(L"C:\\a\\busy.exe", true);
  try {
    RemoveFile(L"C:\\a\\busy.exe");
    FAIL();
  } catch (const std::system_error& error) {
    EXPECT_EQ(5, error.code().value());
  }
}

TEST_F(DoubleFilesTest, FolderDeleteKeepsWhatIsInUse) {
  Double::Files::PutFile(L"C:\\p\\Valdrix\\a.dll");
  Double::Files::PutFile(L"C:\\p\\Valdrix\\sub\\b.dll");
  Double::Files::PutFile(L"C:\\p\\Valdrix\\Valdrix.Setup.exe");
  Double::Files::SetInUse(L"C:\\p\\Valdrix\\Valdrix.Setup.exe", true);
  EXPECT_NE(0, DeleteDirectoryTree(L"C:\\p\\Valdrix"));
  EXPECT_EQ(std::vector<std::wstring>{L"C:\\p\\Valdrix\\Valdrix.Setup.exe"}, Double::Files::FilesIn(L"C:\\p"));
  Double::Files::SetInUse(L"C:\\p\\Valdrix\\Valdrix.Setup.exe", false);
  EXPECT_EQ(0, DeleteDirectoryTree(L"C:\\p\\Valdrix"));
  EXPECT_FALSE(DirectoryExists(L"C:\\p\\Valdrix"));
  EXPECT_TRUE(DirectoryExists(L"C:\\p"));
}

using DoubleProcessTest = DoubleTest;

TEST_F(DoubleProcessTest, FindIsCaseSensitiveAndStopPassesOverAccessDenied) {
  Double::Processes::Start(L"Valdrix.Desktop.exe", 1);
  Double::Processes::Start(L"valdrix.desktop.exe", 1);
  Double::Processes::Start(L"Valdrix.Desktop.exe", 2, 5);
  EXPECT_EQ(2u, FindProcessesByName(L"Valdrix.Desktop.exe").size());
  EXPECT_EQ(0, Double::Processes::OpenHandles());
  EXPECT_EQ(2, StopProcessesByName(L"Valdrix.Desktop.exe"));
  EXPECT_EQ(1, Double::Processes::CountRunning(L"Valdrix.Desktop.exe"));  // the protected one
  EXPECT_EQ(1, Double::Processes::CountRunning(L"valdrix.desktop.exe"));
}

TEST_F(DoubleProcessTest, RunProcessFollowsItsScript) {
  Double::Files::PutFile(L"C:\\t\\inst.exe");
  bool ran = false;
  Double::Processes::OnRun(L"c:\\T\\INST.EXE", {7, 0, [&] { ran = true; }});
  EXPECT_EQ(7u, RunProcess(L"C:\\t\\inst.exe", L"/q", true));
  EXPECT_TRUE(ran);
  EXPECT_THROW(RunProcess(L"C:\\t\\missing.exe", L"", true), std::system_error);
  ASSERT_EQ(2u, Double::Processes::Runs().size());
  EXPECT_EQ(L"/q", Double::Processes::Runs()[0].arguments);
}

using DoubleScmTest = DoubleTest;

TEST_F(DoubleScmTest, StopPendingServiceKeepsItsCheckPointAndEndsWhenItsProcessIsKilled) {
  Double::Scm::AddService(L"Valdrix");
  Double::Scm::SetScript(L"Valdrix", {0, -1, 3000, false, 0});
  auto manager = ScmApi::OpenManager(ScmApi::kManagerConnect);
  auto service = ScmApi::OpenService(manager, L"valdrix", ScmApi::kStop | ScmApi::kQueryStatus);
  ASSERT_NE(nullptr, service);
  ScmApi::Status status;
  ASSERT_TRUE(ScmApi::ControlStop(service, status));
  ASSERT_TRUE(ScmApi::QueryStatus(service, status));
  EXPECT_EQ(ScmApi::kStopPending, status.currentState);
  EXPECT_EQ(0u, status.checkPoint);
  Services::SetRecoveryActions(L"Valdrix", false);  // with them, the manager would start it again
  uint32_t error = 0;  // SYSTEM's process ends only with the debug privilege on
  ASSERT_EQ(PrivilegeChange::Done, SetDebugPrivilege(true, error));
  EXPECT_EQ(1, StopProcessesByName(L"Valdrix.Desktop.Service.exe"));
  ASSERT_TRUE(ScmApi::QueryStatus(service, status));
  EXPECT_EQ(ScmApi::kStopped, status.currentState);
  EXPECT_FALSE(ScmApi::ControlStop(service, status));
  EXPECT_EQ(1062u, ScmApi::LastError());
  ScmApi::Close(service);
  ScmApi::Close(manager);
  EXPECT_EQ(0, Double::Scm::OpenHandles());
}

using DoubleTasksTest = DoubleTest;

TEST_F(DoubleTasksTest, RunStartsTheClientInAnAcceptedSessionOnly) {
  Tasks::RegisterLogonTask(L"ValdrixLogon", L"C:\\P\\Valdrix.Desktop.exe", L"--startup", L"C:\\P\\", L"\\");
  Double::Tasks::SetRunResult(3, static_cast<int32_t>(0x80070057));
  Tasks::RunInSession(L"ValdrixLogon", 2, L"\\");
  EXPECT_THROW(Tasks::RunInSession(L"ValdrixLogon", 3, L"\\"), Tasks::RunRefused);
  Tasks::SetEnabled(L"ValdrixLogon", false, L"\\");
  Tasks::RunInSession(L"ValdrixLogon", 2, L"\\");  // disabled: S_OK, nothing runs
  ASSERT_EQ(1u, Double::Processes::Running().size());
  EXPECT_EQ(2u, Double::Processes::Running()[0].session);
}
