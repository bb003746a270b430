// The install and update flow against the double, step by step.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "app/flags.h"
#include "double/clock.h"
#include "engine/flows/flows.h"
#include "flow_fixture.h"
#include "system/scm_api.h"

using ::testing::ElementsAre;
using Reg = Double::Registry::Value;

class InstallFlowTest : public FlowTest {};

TEST_F(InstallFlowTest, CleanInstallRunsEveryStepAndStartsTheProduct) {
  ServeManifest(ProductFiles(), {{L"vc", L"VC Runtime", "installer"}});
  SetupFlags::Instance().loginCode = L"ABC123";
  // The user's own handler would win over the machine's in the merged view.
  Double::Registry::SetValue(kUserProtocolCommand, L"", std::wstring(L"user.exe"));

  Flows::StartInstall(context, false);

  EXPECT_THAT(
      statuses,
      ElementsAre("Downloading manifest..", "Downloading prerequisite VC Runtime..",
                  "Installing prerequisite VC Runtime..", "Downloading 1 / 4.. (Valdrix.Desktop.exe)",
                  "Downloading 2 / 4.. (Valdrix.Desktop.Service.exe)", "Downloading 3 / 4.. (Valdrix.Setup.exe)",
                  "Downloading 4 / 4.. (a.dll)", "Stopping client..", "Stopping service..", "Installing service..",
                  "Installing client task..", "Installing verify task..", "Installing protocol handler..",
                  "Creating shortcuts..", "Creating uninstall entry..", "Starting service..", "Starting client.."));
  EXPECT_EQ("INFO|Starting installation into C:\\Program Files\\Valdrix\\", LogLines().at(0));

  for (const auto& file : ProductFiles()) {
    EXPECT_EQ(file.body, Double::Files::FileBytes(kInstall + file.path));
    EXPECT_EQ(file.version, Double::Files::ModificationTime(kInstall + file.path));
    EXPECT_FALSE(Double::Files::IsFile(kInstall + file.path + L".tmp"));
  }
  // Each staged file (and the installer) was written through to the disk before its rename.
  ASSERT_EQ(5u, Double::Files::Moves().size());
  for (const auto& move : Double::Files::Moves()) EXPECT_TRUE(move.sourceFlushed) << Text::ToUtf8(move.source);
  EXPECT_EQ("2.1.0", Double::Files::FileBytes(std::wstring(kInstall) + L"app_version.txt"));
  EXPECT_EQ(Reg(std::wstring(L"ABC123")), Double::Registry::GetValue(L"HKLM\\Software\\Valdrix", L"LoginCode"));
  EXPECT_EQ(Reg(1u), Double::Registry::GetValue(L"HKLM\\Software\\Valdrix", L"SetupPreReqvc"));

  const auto service = Double::Scm::Find(L"Valdrix");
  ASSERT_TRUE(service);
  EXPECT_EQ(L"\"C:\\Program Files\\Valdrix\\Valdrix.Desktop.Service.exe\"", service->binaryPath);
  EXPECT_EQ(ScmApi::kRunning, service->state);
  EXPECT_TRUE(service->recoveryActions);

  const auto logon = Double::Tasks::Find(L"ValdrixLogon");
  ASSERT_TRUE(logon);
  EXPECT_EQ(Double::Tasks::Kind::Logon, logon->kind);
  EXPECT_EQ(L"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe", logon->executable);
  EXPECT_EQ(L"--startup", logon->arguments);
  EXPECT_EQ(kInstall, logon->workingDirectory);
  const auto verify = Double::Tasks::Find(L"ValdrixVerify");
  ASSERT_TRUE(verify);
  EXPECT_EQ(Double::Tasks::Kind::Verify, verify->kind);
  EXPECT_EQ(L"C:\\Program Files\\Valdrix\\Valdrix.Setup.exe", verify->executable);
  EXPECT_EQ(L"/silent /verify", verify->arguments);

  const std::wstring client = L"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe";
  EXPECT_EQ(client, Double::Files::ShortcutTarget(L"C:\\Users\\Public\\Desktop\\Valdrix.lnk"));
  EXPECT_EQ(client,
            Double::Files::ShortcutTarget(L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Valdrix.lnk"));
  EXPECT_EQ(Reg(L"\"" + client + L"\" \"%1\""),
            Double::Registry::GetValue(L"HKLM\\Software\\Classes\\valdrix\\shell\\open\\command", L""));
  EXPECT_EQ(Reg(std::wstring(L"user.exe")), Double::Registry::GetValue(kUserProtocolCommand, L""));
  const std::wstring entry = L"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Valdrix";
  EXPECT_EQ(Reg(L"\"" + client + L"\" --uninstall"), Double::Registry::GetValue(entry, L"UninstallString"));
  EXPECT_EQ(Reg(std::wstring(L"2.1.0")), Double::Registry::GetValue(entry, L"DisplayVersion"));
  EXPECT_EQ(Reg(1u), Double::Registry::GetValue(entry, L"EstimatedSize"));  // a few bytes, rounded up

  // An interactive run in session 1 starts the client through the logon
  // task there; the setup's only child is the installer.
  const auto runs = Double::Processes::Runs();
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(L"C:\\Program Files\\Valdrix\\Prerequisites\\vc.exe", runs[0].path);
  EXPECT_EQ(L"/install /quiet", runs[0].arguments);
  ASSERT_EQ(1u, Double::Tasks::Runs().size());
  EXPECT_EQ(1u, Double::Tasks::Runs()[0].session);
  // The restart after a failure is not needed once the run starts the product itself.
  ASSERT_EQ(1u, context.deferredTasks.size());
  EXPECT_FALSE(context.deferredTasks[0]->active);
  EXPECT_EQ(0, Double::Scm::OpenHandles());
  EXPECT_EQ(0, Double::Processes::OpenHandles());
}

TEST_F(InstallFlowTest, UpdateWithUnchangedManifestDownloadsNothingButRenewsTheRegistration) {
  InstallEarlier(ProductFiles());
  Double::Registry::SetValue(L"HKLM\\Software\\Valdrix", L"SetupPreReqvc", 1u);
  ServeManifest(ProductFiles(), {{L"vc", L"VC Runtime", "installer"}});
  SetupFlags::Instance().silent = true;
  Double::Processes::SetSessions({0, 1, 2});

  Flows::StartInstall(context, true);

  EXPECT_EQ(std::vector<std::wstring>{ManifestUrl()}, Double::Http::Requests());
  EXPECT_TRUE(HasLogLine("INFO|Prerequisite \"VC Runtime\" already installed"));
  EXPECT_THAT(statuses, ElementsAre("Downloading manifest..", "Stopping client..", "Stopping service..",
                                    "Updating existing service..", "Installing client task..",
                                    "Installing verify task..", "Installing protocol handler..", "Creating shortcuts..",
                                    "Creating uninstall entry..", "Starting service..", "Starting client.."));
  EXPECT_TRUE(HasLogLine("WARNING|Removing existing client scheduled task"));
  EXPECT_TRUE(HasLogLine("WARNING|Removing existing verify scheduled task"));
  EXPECT_EQ("old client", Double::Files::FileBytes(std::wstring(kInstall) + L"Valdrix.Desktop.exe"));
  EXPECT_EQ(0, Double::Scm::CreatedCount());
  EXPECT_EQ(1, Double::Tasks::RegisterCount(L"ValdrixLogon"));
  EXPECT_EQ(1, Double::Tasks::RegisterCount(L"ValdrixVerify"));
  EXPECT_FALSE(Double::Files::IsFile(L"C:\\Users\\Public\\Desktop\\Valdrix.lnk"));
  EXPECT_TRUE(Double::Files::IsFile(L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Valdrix.lnk"));
  EXPECT_EQ("2.1.0", Double::Files::FileBytes(std::wstring(kInstall) + L"app_version.txt"));

  // A silent run starts the client through the logon task in every user session.
  const auto taskRuns = Double::Tasks::Runs();
  ASSERT_EQ(2u, taskRuns.size());
  EXPECT_EQ(1u, taskRuns[0].session);
  EXPECT_EQ(2u, taskRuns[1].session);
  EXPECT_TRUE(HasLogLine("INFO|Starting scheduled task for session 2"));

  // Both tasks are paused for the run, a verify run under way is stopped,
  // and the deferred tasks enable them again.
  ASSERT_EQ(3u, context.deferredTasks.size());
  EXPECT_EQ("re-enable verify task", context.deferredTasks[0]->name);
  EXPECT_EQ("re-enable logon task", context.deferredTasks[1]->name);
  EXPECT_EQ("restart product", context.deferredTasks[2]->name);
  EXPECT_FALSE(context.deferredTasks[2]->active);
  EXPECT_EQ(1, Double::Tasks::StopCount(L"ValdrixVerify"));
  EXPECT_TRUE(Double::Tasks::Find(L"ValdrixVerify")->enabled);  // registered anew
}

TEST_F(InstallFlowTest, DigestMismatchInTheLastFileLeavesTheRunningProductAndVerifyTaskAlone) {
  auto files = TenFiles();
  InstallEarlier(files);
  ServeManifest(files);
  Double::Http::Serve(kFileServer + files.back().path, {200, "tampered"});

  try {
    Flows::StartInstall(context, false);
    FAIL() << "the mismatch must end the flow";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("Downloaded file did not match checksum", error.what());
  }
  EXPECT_EQ("Downloading 10 / 10.. (file10.dll)", statuses.back());
  EXPECT_TRUE(context.deferredTasks.empty());
  EXPECT_TRUE(Double::Tasks::Find(L"ValdrixVerify")->enabled);
  EXPECT_EQ(ScmApi::kRunning, Double::Scm::Find(L"Valdrix")->state);
  EXPECT_EQ(1, Double::Processes::CountRunning(L"Valdrix.Desktop.exe"));
  for (size_t i = 0; i < files.size(); ++i) {
    const std::wstring path = kInstall + files[i].path;
    EXPECT_EQ("old " + files[i].body, Double::Files::FileBytes(path));
    EXPECT_EQ(i < 9, Double::Files::IsFile(path + L".tmp")) << i;
  }
}

TEST_F(InstallFlowTest, RunningSetupInTheInstallFolderIsRenamedAndReplaced) {
  InstallEarlier(ProductFiles());
  const std::wstring running = std::wstring(kInstall) + L"Valdrix.Setup.exe";
  Double::Files::SetInUse(running, true);
  SetupFlags::Instance().setupDirectory = kInstall;
  SetupFlags::Instance().setupFileName = L"Valdrix.Setup.exe";
  ServeManifest(ProductFiles());

  Flows::StartInstall(context, false);

  const std::wstring renamed = std::wstring(kInstall) + L"__temp_Valdrix.Setup.exe";
  EXPECT_TRUE(
      HasLogLine("INFO|Renaming setup from \"" + Text::ToUtf8(running) + "\" to \"" + Text::ToUtf8(renamed) + "\".."));
  EXPECT_EQ("old setup", Double::Files::FileBytes(renamed));
  EXPECT_EQ("setup", Double::Files::FileBytes(running));
  // Moved aside inside the commit, right before its new copy takes its name.
  const auto moves = Double::Files::Moves();
  const auto aside = std::find_if(moves.begin(), moves.end(), [&](const auto& move) { return move.source == running; });
  ASSERT_TRUE(aside != moves.end() && aside + 1 != moves.end());
  EXPECT_TRUE(aside->destination == renamed && aside->flags == 9 && (aside + 1)->destination == running);
}

TEST_F(InstallFlowTest, SetupStartedFromElsewhereIsNotRenamed) {
  SetupFlags::Instance().setupDirectory = L"C:\\users\\tester\\Downloads\\";
  SetupFlags::Instance().setupFileName = L"Valdrix.Setup.exe";
  ServeManifest(ProductFiles());
  Flows::StartInstall(context, false);
  EXPECT_FALSE(Double::Files::IsFile(std::wstring(kInstall) + L"__temp_Valdrix.Setup.exe"));
}

TEST_F(InstallFlowTest, LegacyProductWithoutConsentFailsBeforeTheManifest) {
  Double::Files::MakeDirectories(L"C:\\Program Files\\Tandrel Morvex");
  ServeManifest(ProductFiles());
  EXPECT_THROW(
      {
        try {
          Flows::StartInstall(context, false);
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ("Legacy application is still installed!", error.what());
          throw;
        }
      },
      std::runtime_error);
  EXPECT_TRUE(Double::Http::Requests().empty());
  EXPECT_TRUE(statuses.empty());
}

TEST_F(InstallFlowTest, LegacyProductWithConsentIsRemovedByItsOwnUninstaller) {
  const std::wstring uninstaller = L"C:\\Program Files\\Tandrel Morvex\\Morvex.Setup.exe";
  Double::Files::PutFile(uninstaller);
  Double::Scm::AddService(L"Morvex");
  Double::Processes::OnRun(uninstaller, {0, 0, [] { Double::Scm::RemoveService(L"Morvex"); }});
  SetupFlags::Instance().legacyUninstall = true;
  ServeManifest(ProductFiles());

  Flows::StartInstall(context, false);

  EXPECT_EQ("Uninstalling legacy build..", statuses.at(0));
  EXPECT_EQ("Downloading manifest..", statuses.at(1));
  const auto runs = Double::Processes::Runs();
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(uninstaller, runs[0].path);
  EXPECT_EQ(L"/silent /uninstall", runs[0].arguments);
  EXPECT_TRUE(runs[0].wait);
  EXPECT_FALSE(Double::Scm::Find(L"Morvex"));
}

TEST_F(InstallFlowTest, LegacyRemovalFailuresEndTheRun) {
  SetupFlags::Instance().legacyUninstall = true;
  Double::Files::MakeDirectories(L"C:\\Program Files\\Tandrel Morvex");
  try {
    Flows::StartInstall(context, false);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(
        "Unable to find legacy setup file \"C:\\Program Files\\Tandrel Morvex\\Morvex.Setup.exe\" for uninstall",
        error.what());
  }
  const std::wstring uninstaller = L"C:\\Program Files\\Tandrel Morvex\\Morvex.Setup.exe";
  Double::Files::PutFile(uninstaller);
  Double::Processes::OnRun(uninstaller, {0xFFFFFFFFu, 0, {}});
  try {
    Flows::StartInstall(context, false);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("Legacy setup failed with exit code -1", error.what());
  }
  EXPECT_TRUE(Double::Http::Requests().empty());
}

TEST_F(InstallFlowTest, DontStartDoesEverythingButStartTheProduct) {
  SetupFlags::Instance().dontStart = true;
  ServeManifest(ProductFiles());
  Flows::StartInstall(context, false);
  EXPECT_EQ("Creating uninstall entry..", statuses.back());
  EXPECT_TRUE(HasLogLine("WARNING|Not starting because \"don't start\" flag was given!"));
  EXPECT_EQ(ScmApi::kStopped, Double::Scm::Find(L"Valdrix")->state);
  EXPECT_TRUE(Double::Processes::Running().empty());
  EXPECT_TRUE(Double::Processes::Runs().empty());
}

TEST_F(InstallFlowTest, ServiceIgnoringTheStopIsTerminatedAndReplaced) {
  InstallEarlier(ProductFiles());
  Double::Scm::SetScript(L"Valdrix", {0, -1, 3000, false, 3});
  Double::Processes::Start(L"Valdrix.Desktop.Scan.exe", 0);
  ServeManifest(ProductFiles());

  Flows::StartInstall(context, true);

  EXPECT_TRUE(HasLogLine("INFO|Stopped 1 client instances"));
  EXPECT_TRUE(HasLogLine("INFO|Stopped 1 scanner instances"));
  EXPECT_TRUE(HasLogLine("ERROR|Timed out while stopping service. Falling back to unclean force termination."));
  EXPECT_EQ(1, std::count(statuses.begin(), statuses.end(), "Forcing service stop.."));
  EXPECT_FALSE(HasLogLine("WARNING|Service was not found while trying to force stop it - it might already be stopped"));
  // Its recovery actions went before the kill, or the manager would have
  // started it again; configuring the service set them again.
  const auto& calls = Double::Calls();
  const auto cleared = std::find(calls.begin(), calls.end(), "ScmApi::ClearRecoveryActions");
  EXPECT_LT(cleared, std::find(cleared, calls.end(), "TerminateProcess"));
  const auto service = Double::Scm::Find(L"Valdrix");
  EXPECT_EQ(0, service->restarts);
  EXPECT_TRUE(service->recoveryActions);
  EXPECT_EQ(0, Double::Scm::CreatedCount());
  EXPECT_EQ(ScmApi::kRunning, service->state);
  EXPECT_EQ(0, Double::Scm::OpenHandles());
}

TEST_F(InstallFlowTest, FailureAfterTheTaskPauseStillQueuesTheirReEnabling) {
  InstallEarlier(ProductFiles());
  ServeManifest(ProductFiles());
  Double::InjectFault("Tasks::Register", 0x80070005u);
  EXPECT_THROW(Flows::StartInstall(context, false), std::runtime_error);
  // The logon task registration failed after its deletion; the verify task
  // stays paused until the deferred tasks run, which pass over the missing one.
  EXPECT_FALSE(Double::Tasks::Find(L"ValdrixVerify")->enabled);
  ASSERT_EQ(3u, context.deferredTasks.size());
  EXPECT_TRUE(context.deferredTasks[2]->active);  // the product is started again
  Setup::RunDeferredTasks(context);
  EXPECT_TRUE(Double::Tasks::Find(L"ValdrixVerify")->enabled);
  EXPECT_FALSE(HasLogLine("ERROR|Exception during deferred task \"re-enable logon task\""));
}
