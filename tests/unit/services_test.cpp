// Services:: over the double's service manager and virtual clock: the waits
// on check points and wait hints, faults and handle hygiene on every path.
// What a real service manager shows too is in tests/contract.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "double/clock.h"
#include "double/double.h"
#include "double/fixture.h"
#include "double/scm.h"
#include "support/error_text.h"
#include "system/services.h"

namespace {

constexpr wchar_t kName[] = L"Valdrix";
constexpr wchar_t kPath[] = L"\"C:\\Program Files\\Valdrix\\Valdrix.Desktop.Service.exe\"";

class ServicesTest : public DoubleTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(Double::Scm::OpenHandles(), 0) << "a handle was left open";
    DoubleTest::TearDown();
  }
  static void Script(Double::Scm::Script script) { Double::Scm::SetScript(kName, script); }
};

TEST_F(ServicesTest, RefusedRecoverySettingsLeaveTheServiceCreated) {
  Double::InjectFault("ScmApi::SetRecoveryActions", 1072);
  const ThrownError thrown = CatchError([] { Services::Install(kName, kName, kPath); });
  EXPECT_TRUE(thrown.StartsWith("Unable to set service recovery settings")) << thrown.text;
  EXPECT_EQ(thrown.code, 1072);
  EXPECT_TRUE(Services::IsInstalled(kName));
}

TEST_F(ServicesTest, UninstallDoesNotWaitForTheStopItSends) {
  Double::Scm::AddService(kName, 4);
  Services::Uninstall(kName);
  const auto service = Double::Scm::Find(kName);
  ASSERT_TRUE(service);
  EXPECT_EQ(service->stopControls, 1);
  EXPECT_TRUE(service->markedForDeletion);
  EXPECT_EQ(Double::Clock::SleepCalls(), 0) << "uninstall does not wait for the stop";
}

TEST_F(ServicesTest, EnabledMeansAutomaticStartOnly) {
  Double::Scm::AddService(kName, 1, 3);
  EXPECT_FALSE(Services::IsEnabled(kName));
  Services::SetEnabled(kName, true);
  EXPECT_TRUE(Services::IsEnabled(kName));
  Services::SetEnabled(kName, false);
  EXPECT_EQ(Double::Scm::Find(kName)->startType, 4u);
  EXPECT_FALSE(Services::IsEnabled(kName));
}

// The service has one whole wait hint from its last progress; after that
// the first poll gives up.
TEST_F(ServicesTest, StartWithoutProgressGivesUpAfterOneWaitHint) {
  Double::Scm::AddService(kName, 1);
  Script({.startPendingQueries = -1, .waitHint = 2000});
  EXPECT_FALSE(Services::Start(kName));
  EXPECT_EQ(Double::Clock::SleepCalls(), 2);
  EXPECT_EQ(Double::Clock::SleptMs(), 4000u);
}

TEST_F(ServicesTest, WaitHintIsReadAsSignedAndKeptBetweenOneAndThirtySeconds) {
  const struct {
    uint32_t hint;
    uint64_t perSleep;
  } cases[] = {{100, 1000}, {0x80000000u, 1000}, {90000, 30000}, {5000, 5000}};
  for (const auto& c : cases) {
    Double::Reset();
    Double::Scm::AddService(kName, 1);
    Script({.startPendingQueries = 2, .waitHint = c.hint});
    EXPECT_TRUE(Services::Start(kName)) << c.hint;
    ASSERT_GT(Double::Clock::SleepCalls(), 0) << c.hint;
    EXPECT_EQ(Double::Clock::SleptMs(), c.perSleep * Double::Clock::SleepCalls()) << c.hint;
  }
}

TEST_F(ServicesTest, FailuresInsideAnOperationStillCloseItsHandles) {
  Double::Scm::AddService(kName, 4);
  Double::InjectFault("ScmApi::QueryStatusEx", 5);
  EXPECT_TRUE(CatchError([] { Services::Stop(kName); }).StartsWith("Unable to get service process information"));
  Double::InjectFault("ScmApi::QueryConfig", 5);
  EXPECT_TRUE(CatchError([] { Services::IsEnabled(kName); }).StartsWith("Unable to query service config"));
  Double::InjectFault("ScmApi::WaitForProcess", 6);
  Script({.stopPendingQueries = 0, .processLingersAfterStop = true});
  EXPECT_TRUE(CatchError([] { Services::Stop(kName); }).StartsWith("Unable to wait for process "));
  Double::InjectFault("ScmApi::Close", 6);
  EXPECT_TRUE(CatchError([] { Services::IsInstalled(kName); }).StartsWith("Unable to close service handle"));
}

}  // namespace
