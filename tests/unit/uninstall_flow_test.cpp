// The uninstall flow: authorization first, then everything the install made.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

#include "app/build_info.h"
#include "app/flags.h"
#include "engine/flows/flows.h"
#include "flow_fixture.h"
#include "system/files.h"
#include "system/registry.h"
#include "system/scm_api.h"
#include "system/tasks.h"

using ::testing::ElementsAre;

class UninstallFlowTest : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    InstallEarlier(ProductFiles());
    RegisterProtocolHandler(std::wstring(kInstall) + L"Valdrix.Desktop.exe");
    Double::Registry::SetValue(kUserProtocolCommand, L"", std::wstring(L"user.exe"));
    Double::Files::PutFile(L"C:\\Users\\Public\\Desktop\\Valdrix.lnk");
    Double::Files::PutFile(L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Valdrix.lnk");
    SetupFlags::Instance().noLogin = true;
    SetupFlags::Instance().setupDirectory = L"C:\\users\\tester\\Downloads\\";
    SetupFlags::Instance().setupFileName = L"Valdrix.Setup.exe";
  }

  // The setup runs from the install folder, under the given spelling of it.
  void RunFromInstallFolder(const std::wstring& directory) {
    SetupFlags::Instance().setupDirectory = directory;
    Double::Files::SetInUse(std::wstring(kInstall) + L"Valdrix.Setup.exe", true);
  }

  void ExpectRegistrationGone() {
    EXPECT_FALSE(Double::Registry::KeyExists(L"HKLM\\Software\\Valdrix"));
    EXPECT_FALSE(
        Double::Registry::KeyExists(L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Valdrix"));
    EXPECT_FALSE(Double::Registry::KeyExists(L"HKLM\\Software\\Classes\\valdrix"));
    EXPECT_TRUE(Double::Registry::KeyExists(kUserProtocolCommand));  // the user's own stays
    EXPECT_FALSE(Double::Tasks::Find(L"ValdrixLogon"));
    EXPECT_FALSE(Double::Tasks::Find(L"ValdrixVerify"));
    EXPECT_TRUE(!Double::Scm::Find(L"Valdrix") || Double::Scm::Find(L"Valdrix")->markedForDeletion);
    EXPECT_FALSE(Double::Files::IsFile(L"C:\\Users\\Public\\Desktop\\Valdrix.lnk"));
    EXPECT_FALSE(Double::Files::IsFile(L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Valdrix.lnk"));
  }
};

TEST_F(UninstallFlowTest, RemovesEverythingInOrder) {
  Flows::StartUninstall(context);

  EXPECT_THAT(statuses,
              ElementsAre("Validating uninstall..", "Stopping client..", "Stopping service..",
                          "Deleting uninstall entry..", "Deleting shortcuts..", "Uninstalling protocol handler..",
                          "Uninstalling verify task..", "Uninstalling service..", "Uninstalling client task..",
                          "Deleting program files..", "Deleting registry keys.."));
  ExpectRegistrationGone();
  EXPECT_FALSE(Double::Files::IsDirectory(kInstall));
  EXPECT_TRUE(Double::Processes::Running().empty());
  EXPECT_FALSE(context.restartRequired);
  EXPECT_TRUE(Double::Files::Moves().empty());
  EXPECT_EQ(0, Double::Scm::OpenHandles());
}

TEST_F(UninstallFlowTest, RefusedTokenStopsAndRemovesNothing) {
  SetupFlags::Instance().noLogin = false;
  SetupFlags::Instance().token = L"bm90IGEgdG9rZW4.AAAA";
  Double::Http::Serve(std::wstring(L"https://") + BuildInfo::kApiHost + L"/api/signkey",
                      {200, "11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo"});
  try {
    Flows::StartUninstall(context);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("Invalid token signature", error.what());
  }
  EXPECT_THAT(statuses, ElementsAre("Validating uninstall.."));
  EXPECT_EQ(ScmApi::kRunning, Double::Scm::Find(L"Valdrix")->state);
  EXPECT_EQ(1, Double::Processes::CountRunning(L"Valdrix.Desktop.exe"));
  EXPECT_TRUE(Double::Registry::KeyExists(L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Valdrix"));
  EXPECT_TRUE(Double::Files::IsFile(std::wstring(kInstall) + L"a.dll"));
}

// Beside the install folder, where no other account can make anything:
// what another account put in the temporary folder does not matter.
TEST_F(UninstallFlowTest, SetupInTheInstallFolderUnderOtherLetterCaseIsMovedBesideIt) {
  RunFromInstallFolder(L"c:\\program files\\VALDRIX\\");
  Double::Files::MakeDirectories(L"C:\\users\\tester\\Temp\\__temp_Valdrix.Setup.exe");

  Flows::StartUninstall(context);

  EXPECT_EQ("old setup", Double::Files::FileBytes(L"C:\\Program Files\\__temp_Valdrix.Setup.exe"));
  EXPECT_FALSE(Double::Files::IsDirectory(kInstall));
  EXPECT_FALSE(context.restartRequired);
  ASSERT_EQ(1u, Double::Files::RestartRequests().size());
  EXPECT_EQ(L"C:\\Program Files\\__temp_Valdrix.Setup.exe", Double::Files::RestartRequests()[0].source);
}

TEST_F(UninstallFlowTest, SetupThatCannotLeaveTheVolumeIsLeftWithTheFolderForTheRestart) {
  RunFromInstallFolder(kInstall);
  Double::InjectFault("MoveFileWithFlags", 17);

  Flows::StartUninstall(context);

  EXPECT_TRUE(HasLogLine("ERROR|Unable to move setup to \"C:\\Program Files\\__temp_Valdrix.Setup.exe\" (error 17)"));
  EXPECT_TRUE(
      HasLogLine("WARNING|Leaving behind setup executable as we can not move it to a different disk! It will "
                 "be deleted on restart."));
  EXPECT_TRUE(HasLogLine("ERROR|Unable to delete program files directory: error 32"));
  EXPECT_TRUE(
      HasLogLine("WARNING|Leaving behind program files directory! It will be deleted on restart, if possible."));
  const auto requests = Double::Files::RestartRequests();
  ASSERT_EQ(3u, requests.size());  // the setup, once more as a file left, and the folder
  EXPECT_EQ(std::wstring(kInstall) + L"Valdrix.Setup.exe", requests[1].source);
  EXPECT_EQ(kInstall, requests[2].source);
  EXPECT_TRUE(requests[0].destination.empty() && requests[2].destination.empty());
  EXPECT_FALSE(Double::Registry::KeyExists(L"HKLM\\Software\\Valdrix"));
  EXPECT_EQ(std::vector<std::wstring>{std::wstring(kInstall) + L"Valdrix.Setup.exe"}, Double::Files::FilesIn(kInstall));
  EXPECT_TRUE(context.restartRequired);
}

TEST_F(UninstallFlowTest, AccessDeniedOnTheMoveEndsTheFlowBeforeAnythingIsRemoved) {
  RunFromInstallFolder(kInstall);
  Double::Files::LockFile(std::wstring(kInstall) + L"Valdrix.Setup.exe", 5);
  try {
    Flows::StartUninstall(context);
    FAIL();
  } catch (const std::system_error& error) {
    EXPECT_EQ(5, error.code().value());
    EXPECT_THAT(error.what(),
                ::testing::StartsWith("Unable to move setup to \"C:\\Program Files\\__temp_Valdrix.Setup.exe\""));
  }
  EXPECT_EQ("Stopping service..", statuses.back());
  EXPECT_TRUE(Double::Registry::KeyExists(L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Valdrix"));
  // Both tasks were paused, the verify run stopped, before the product; the
  // deferred tasks enable the tasks the failed run left.
  EXPECT_FALSE(Double::Tasks::Find(L"ValdrixLogon")->enabled);
  EXPECT_EQ(1, Double::Tasks::StopCount(L"ValdrixVerify"));
  Setup::RunDeferredTasks(context);
  EXPECT_TRUE(Double::Tasks::Find(L"ValdrixLogon")->enabled);
  EXPECT_TRUE(Double::Tasks::Find(L"ValdrixVerify")->enabled);
}

// Deepest first: a folder goes at restart only when it is empty by then.
TEST_F(UninstallFlowTest, FolderThatCannotBeDeletedIsLeftForTheRestart) {
  Double::Files::PutFile(std::wstring(kInstall) + L"sub\\a.dll");
  Double::Files::SetInUse(std::wstring(kInstall) + L"sub\\a.dll", true);
  Flows::StartUninstall(context);
  const auto requests = Double::Files::RestartRequests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ(std::wstring(kInstall) + L"sub\\a.dll", requests[0].source);
  EXPECT_EQ(kInstall, requests[2].source);
  EXPECT_TRUE(context.restartRequired);
  ExpectRegistrationGone();
}

TEST_F(UninstallFlowTest, MissingPiecesAreSkippedWithoutStatus) {
  Double::Scm::RemoveService(L"Valdrix");
  ASSERT_NO_THROW(Tasks::Delete(L"ValdrixLogon", L"\\"));
  ASSERT_NO_THROW(Tasks::Delete(L"ValdrixVerify", L"\\"));
  ASSERT_EQ(0, DeleteDirectoryTree(L"C:\\Program Files\\Valdrix"));

  Flows::StartUninstall(context);

  EXPECT_THAT(statuses, ElementsAre("Validating uninstall..", "Stopping client..", "Stopping service..",
                                    "Deleting uninstall entry..", "Deleting shortcuts..",
                                    "Uninstalling protocol handler..", "Deleting registry keys.."));
  EXPECT_TRUE(HasLogLine("WARNING|Service was not installed, so it could not be stopped"));
  ExpectRegistrationGone();
}
