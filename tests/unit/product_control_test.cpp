// Stopping and starting the product's service and clients.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/flags.h"
#include "engine/flows/flows.h"
#include "flow_fixture.h"
#include "system/scm_api.h"

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

TEST_F(ProductControlTest, InteractiveRunStartsOneClientDirectly) {
  Double::Scm::AddService(L"Valdrix", ScmApi::kStopped);
  Double::Files::PutFile(std::wstring(kInstall) + L"Valdrix.Desktop.exe");
  Double::Processes::SetSessions({1, 2, 3});
  StartProduct(context);
  EXPECT_EQ(1, Double::Processes::CountRunning(L"Valdrix.Desktop.exe"));
  EXPECT_TRUE(Double::Tasks::Runs().empty());
  EXPECT_THAT(statuses, ElementsAre("Starting service..", "Starting client.."));
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
