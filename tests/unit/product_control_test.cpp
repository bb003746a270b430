// Stopping and starting the product's service and clients.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/flags.h"
#include "double/system.h"
#include "engine/flows/flows.h"
#include "flow_fixture.h"
#include "system/scm_api.h"
#include "system/tasks.h"

using ::testing::ElementsAre;

class ProductControlTest : public FlowTest {};

TEST_F(ProductControlTest, StopWithNothingRunningOnlyWarns) {
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopped);
  StopProduct(context);
  EXPECT_THAT(LogLines(),
              ElementsAre("INFO|Stopping client..",
                          "WARNING|Client was not found while trying to stop it - it might already be stopped",
                          "INFO|Stopping service..",
                          "WARNING|Service is installed but not running, so it could not be stopped"));
  EXPECT_TRUE(Double::Processes::TerminatedPids().empty());
}

TEST_F(ProductControlTest, ServiceProcessLingeringAfterStopIsForcedAndAlreadyGoneIsOnlyWarned) {
  Double::Scm::AddService(L"Valdrix");
  Double::Scm::SetScript(L"Valdrix", {0, 0, 2000, true, 0});
  StopProduct(context);
  EXPECT_EQ("Forcing service stop..", statuses.back());
  EXPECT_EQ(0, Double::Processes::CountRunning(L"Valdrix.Desktop.Service.exe"));

  ForceStopService(context);
  EXPECT_EQ("WARNING|Service was not found while trying to force stop it - it might already be stopped",
            LogLines().back());
}

TEST_F(ProductControlTest, ServiceLeftStopPendingByAKilledSetupHasItsProcessTerminated) {
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopPending);
  const uint32_t pid = Double::Processes::Start(L"Valdrix.Desktop.Service.exe", 0);
  StopProduct(context);
  EXPECT_FALSE(Double::Processes::IsAlive(pid));
  EXPECT_EQ("WARNING|Terminated 1 service process(es) left from an unfinished stop", LogLines().back());
  // Ended without reporting "stopped": only without its recovery actions is
  // it not started again.
  EXPECT_EQ(0, Double::Processes::CountRunning(L"Valdrix.Desktop.Service.exe"));
  EXPECT_EQ(0, Double::Scm::Find(L"Valdrix")->restarts);
  EXPECT_FALSE(Double::Scm::Find(L"Valdrix")->recoveryActions);
}

// SYSTEM's processes end only with the privilege on; it is off again after
// the stop, and a token without it only warns.
TEST_F(ProductControlTest, DebugPrivilegeIsOnOnlyWhileStoppingAndItsAbsenceOnlyWarns) {
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopPending);
  const uint32_t service = Double::Processes::Start(L"Valdrix.Desktop.Service.exe", 0);
  StopProduct(context);
  EXPECT_FALSE(Double::Processes::IsAlive(service));
  EXPECT_FALSE(Double::System::DebugPrivilegeEnabled());

  Double::System::SetDebugPrivilegeHeld(false);
  Double::Processes::Start(L"Valdrix.Desktop.Service.exe", 0);
  StopProduct(context);
  EXPECT_EQ(1, Double::Processes::CountRunning(L"Valdrix.Desktop.Service.exe"));
  EXPECT_TRUE(
      HasLogLine("WARNING|Debug privilege is not held by this account; processes of other accounts may not stop"));
}

TEST_F(ProductControlTest, InteractiveRunStartsOneClientThroughTheLogonTaskInItsOwnSession) {
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopped);
  Double::Tasks::AddTask({L"ValdrixLogon", L"\\", Double::Tasks::Kind::Logon,
                          std::wstring(kInstall) + L"Valdrix.Desktop.exe", L"--startup", kInstall});
  Double::Processes::SetSessions({1, 2, 3});
  Double::Processes::SetOwnSessionId(2);
  StartProduct(context);
  EXPECT_EQ(1, Double::Processes::CountRunning(L"Valdrix.Desktop.exe"));
  ASSERT_EQ(1u, Double::Tasks::Runs().size());
  EXPECT_EQ(2u, Double::Tasks::Runs()[0].session);
  EXPECT_TRUE(Double::Processes::Runs().empty());
  EXPECT_THAT(statuses, ElementsAre("Starting service..", "Starting client.."));
}

// Only Active and Disconnected sessions with a user get a client; a session
// the Task Scheduler refuses is warned about and the others still get theirs.
TEST_F(ProductControlTest, SilentRunStartsClientsOnlyInSessionsWithAUser) {
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopped);
  Double::Processes::SetOwnSessionId(0);
  // 6 is the Remote Desktop listener, 1 a console at the logon screen.
  Double::Processes::SetListedSessions(
      {{0, 4, L""}, {1, 0, L"ann"}, {65536, 6, L""}, {2, 4, L"bob"}, {3, 1, L""}, {4, 0, L""}, {5, 0, L"cy"}});
  Double::Tasks::SetRunResult(2, static_cast<int32_t>(0x80070520));
  Tasks::RegisterLogonTask(L"ValdrixLogon", L"C:\\P\\Valdrix.Desktop.exe", L"--startup", L"C:\\P\\", L"\\");
  StartProduct(context);
  std::vector<uint32_t> sessions;
  for (const auto& run : Double::Tasks::Runs()) sessions.push_back(run.session);
  EXPECT_THAT(sessions, ElementsAre(1u, 2u, 5u));
  EXPECT_EQ(2, Double::Processes::CountRunning(L"Valdrix.Desktop.exe"));
  EXPECT_TRUE(
      HasLogLine("WARNING|Unable to start the client in session 2: Unable to run task: error 2147943712 (code 1312)"));
}

TEST_F(ProductControlTest, RunInSessionZeroWithoutUserSessionsWarns) {
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopped);
  Double::Processes::SetOwnSessionId(0);
  Double::Processes::SetSessions({0});
  StartProduct(context);
  EXPECT_EQ("WARNING|There are no user sessions, we can't start the client app!", LogLines().back());
  EXPECT_TRUE(Double::Processes::Runs().empty());
}

TEST_F(ProductControlTest, ServiceThatDoesNotRunStopsTheStartBeforeTheClient) {
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopped);
  Double::Scm::SetScript(L"Valdrix", {-1, 0, 5000, false, 0});
  try {
    StartProduct(context);
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("Timed out while starting service", error.what());
  }
  EXPECT_THAT(statuses, ElementsAre("Starting service.."));
}
