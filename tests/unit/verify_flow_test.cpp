// The verify flow and its recovery from Windows error 1053.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

#include "app/flags.h"
#include "engine/flows/flows.h"
#include "flow_fixture.h"
#include "system/scm_api.h"
#include "system/tasks.h"

using ::testing::ElementsAre;

class VerifyFlowTest : public FlowTest {
 protected:
  static constexpr wchar_t kProductKey[] = L"HKLM\\Software\\Valdrix";

  void SetUp() override {
    FlowTest::SetUp();
    InstallEarlier({});
  }

  std::optional<Double::Registry::Value> Counter() const {
    return Double::Registry::GetValue(kProductKey, L"SetupVerifyService1053");
  }

  // The installed service is stopped and its start fails with 1053 `times` times.
  void StoppedServiceFailing1053(int times) {
    Double::Scm::RemoveService(L"Valdrix");
    Double::Scm::AddService(L"Valdrix", ScmApi::kStopped);
    Double::InjectFault("ScmApi::Start", 1053, times);
    ServeManifest({}, {{L"vc", L"VC Runtime", "installer"}, {L"net", L".NET", "runtime"}});
  }

  std::vector<std::wstring> RunArguments() const {
    std::vector<std::wstring> arguments;
    for (const auto& run : Double::Processes::Runs()) arguments.push_back(run.arguments);
    return arguments;
  }
};

TEST_F(VerifyFlowTest, MissingServiceOrLogonTaskIsOnlyLogged) {
  Double::Scm::RemoveService(L"Valdrix");
  Flows::StartVerify(context);
  EXPECT_THAT(LogLines(), ElementsAre("ERROR|Service is not installed! Has it been uninstalled?"));

  Double::Scm::AddService(L"Valdrix", ScmApi::kStopped);
  ASSERT_NO_THROW(Tasks::Delete(L"ValdrixLogon", L"\\"));
  Flows::StartVerify(context);
  EXPECT_EQ("ERROR|Scheduled task is not installed! Has it been uninstalled?", LogLines().back());
  EXPECT_EQ(0, Double::Scm::Find(L"Valdrix")->startCalls);
  EXPECT_TRUE(statuses.empty());
}

// Only the install folder's client counts, whatever the letter case of its
// path; a program of the same name elsewhere is not a client.
TEST_F(VerifyFlowTest, StartsTheLogonTaskOnlyInSessionsWithoutAClient) {
  Double::Processes::SetSessions({0, 1, 2});
  Double::Processes::Kill(Double::Processes::Running().back().pid);  // the client of session 1
  Double::Processes::Start(L"C:\\Users\\Public\\Valdrix.Desktop.exe", 1);
  Double::Processes::Start(L"Valdrix.Desktop.exe", 1);
  Double::Processes::Start(L"c:\\program files\\VALDRIX\\valdrix.desktop.exe", 2);
  Double::Processes::Start(std::wstring(kInstall) + L"Valdrix.Desktop.exe", 2);

  Flows::StartVerify(context);

  const auto runs = Double::Tasks::Runs();
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(1u, runs[0].session);
  EXPECT_EQ(L"ValdrixLogon", runs[0].name);
  EXPECT_THAT(statuses, ElementsAre("Client not running, starting scheduled task"));
  EXPECT_TRUE(HasLogLine("INFO|Not running on session 1, starting scheduled task"));
  EXPECT_EQ(0, Double::Processes::OpenHandles());
}

TEST_F(VerifyFlowTest, UnreadableSessionOfAClientIsLoggedAndThatSessionGetsOne) {
  Double::InjectFault("GetProcessSessionId", 5);
  Flows::StartVerify(context);
  EXPECT_TRUE(HasLogLine("ERROR|Unable to get session ID for process (error 5)"));
  ASSERT_EQ(1u, Double::Tasks::Runs().size());
}

TEST_F(VerifyFlowTest, DisabledStoppedServiceWithDontStartIsEnabledButNotStarted) {
  SetupFlags::Instance().dontStart = true;
  Double::Scm::RemoveService(L"Valdrix");
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopped, ScmApi::kDisabled);
  Tasks::SetEnabled(L"ValdrixLogon", false, L"\\");
  Double::Processes::SetSessions({1, 3});

  Flows::StartVerify(context);

  EXPECT_EQ(ScmApi::kAutoStart, Double::Scm::Find(L"Valdrix")->startType);
  EXPECT_EQ(0, Double::Scm::Find(L"Valdrix")->startCalls);
  EXPECT_TRUE(Double::Tasks::Find(L"ValdrixLogon")->enabled);
  EXPECT_THAT(LogLines(),
              ElementsAre("INFO|Service disabled! Enabling now.", "INFO|Logon task disabled! Enabling now.",
                          "WARNING|Service not running! It will not start because of the \"don't start\" flag.",
                          "WARNING|Client not running on session 3! It will not start because of the \"don't "
                          "start\" flag."));
  EXPECT_TRUE(Double::Tasks::Runs().empty());
}

TEST_F(VerifyFlowTest, FirstError1053RepairsPrerequisitesAndClearsTheCounter) {
  StoppedServiceFailing1053(1);
  // Counted only once the repair has run: a run stopped during it (the task's
  // time limit) leaves the next run a repair of its own.
  bool countedDuringRepair = true;
  Double::Processes::OnRun(L"C:\\Program Files\\Valdrix\\Prerequisites\\vc.exe",
                           {0, 0, [&] { countedDuringRepair = Counter().has_value(); }});
  Flows::StartVerify(context);
  EXPECT_FALSE(countedDuringRepair);

  EXPECT_FALSE(Counter());
  EXPECT_THAT(statuses, ElementsAre("Service not running, starting now..", "Downloading manifest..",
                                    "Repairing prerequisites..", "Re-attempting service start.."));
  EXPECT_THAT(RunArguments(), ElementsAre(L"/repair /quiet", L"/repair /quiet"));
  EXPECT_TRUE(HasLogLine("WARNING|Error 1053 while starting service. (status = 0)"));
  EXPECT_EQ(ScmApi::kRunning, Double::Scm::Find(L"Valdrix")->state);
}

TEST_F(VerifyFlowTest, FailedSecondStartLeavesTheCounterAtOne) {
  StoppedServiceFailing1053(2);
  try {
    Flows::StartVerify(context);
    FAIL();
  } catch (const std::system_error& error) {
    EXPECT_EQ(1053, error.code().value());
  }
  EXPECT_EQ(Double::Registry::Value(1u), Counter());
}

TEST_F(VerifyFlowTest, FailedRepairLeavesTheCounterAtOne) {
  StoppedServiceFailing1053(1);
  Double::Processes::OnRun(L"C:\\Program Files\\Valdrix\\Prerequisites\\vc.exe", {0, 193, {}});
  try {
    Flows::StartVerify(context);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), ::testing::StartsWith("Unable to repair prerequisite: Unable to start "));
  }
  EXPECT_EQ(Double::Registry::Value(1u), Counter());
}

TEST_F(VerifyFlowTest, RepeatedError1053IsCountedAndRethrownWithoutRepair) {
  StoppedServiceFailing1053(1);
  Double::Registry::SetValue(kProductKey, L"SetupVerifyService1053", 3u);
  EXPECT_THROW(Flows::StartVerify(context), std::system_error);
  EXPECT_EQ(Double::Registry::Value(4u), Counter());
  EXPECT_TRUE(Double::Processes::Runs().empty());
  EXPECT_TRUE(Double::Http::Requests().empty());
}

TEST_F(VerifyFlowTest, OtherStartErrorsLeaveTheCounterAlone) {
  StoppedServiceFailing1053(0);
  Double::InjectFault("ScmApi::Start", 1058);
  try {
    Flows::StartVerify(context);
    FAIL();
  } catch (const std::system_error& error) {
    EXPECT_EQ(1058, error.code().value());
  }
  EXPECT_FALSE(Counter());
}

TEST_F(VerifyFlowTest, ServiceThatNeverRunsTimesOut) {
  Double::Scm::RemoveService(L"Valdrix");
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopped);
  Double::Scm::SetScript(L"Valdrix", {-1, 0, 2000, false, 0});
  try {
    Flows::StartVerify(context);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("Timed out while starting service", error.what());
  }
}

TEST_F(VerifyFlowTest, RepairWrapsAManifestFailure) {
  Double::Http::Serve(ManifestUrl(), {500, "down"});
  try {
    Flows::RepairPrerequisites(context);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), ::testing::StartsWith("Unable to load manifest for verification: "));
  }
}
