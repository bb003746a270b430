// Services:: against a service manager: the double's scripted one, or
// Wine's with a fixture service that misbehaves on request. Each test
// installs the service and removes it again.
#include <gtest/gtest.h>

#include <string>

#include "contract/side.h"
#include "support/error_text.h"
#include "system/files.h"
#include "system/scm_api.h"
#include "system/services.h"

namespace {

constexpr wchar_t kName[] = L"ValdrixContract";
constexpr int kAlreadyRunning = 1056;
constexpr int kNotActive = 1062;
constexpr int kDoesNotExist = 1060;

class ServicesContract : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    Side::RemoveService(kName);
  }
  void TearDown() override {
    Side::RemoveService(kName);
    EXPECT_FALSE(Services::IsInstalled(kName));
    ContractTest::TearDown();
  }
  static void Install(Side::ServiceBehaviour behaviour = Side::ServiceBehaviour::Normal) {
    Services::Install(kName, kName, Side::ServiceBinaryPath(behaviour).c_str());
    Side::ScriptService(kName, behaviour);
  }
};

TEST_F(ServicesContract, InstallsAnAutomaticServiceOnceAndRefusesASecondInstall) {
  EXPECT_FALSE(Services::IsInstalled(kName));
  Install();
  ASSERT_TRUE(Services::IsInstalled(kName));
  const Side::ServiceConfig config = Side::ReadServiceConfig(kName);
  EXPECT_EQ(config.binaryPath, Side::ServiceBinaryPath(Side::ServiceBehaviour::Normal));
  EXPECT_EQ(config.displayName, kName);
  EXPECT_EQ(config.startType, ScmApi::kAutoStart);
  EXPECT_TRUE(Services::IsEnabled(kName));
  Services::SetEnabled(kName, false);
  EXPECT_EQ(CatchError([] { Services::Install(kName, kName, L"\"C:\\elsewhere.exe\""); }).text,
            "Service is already installed");
  EXPECT_EQ(Side::ReadServiceConfig(kName).binaryPath, Side::ServiceBinaryPath(Side::ServiceBehaviour::Normal));
  EXPECT_FALSE(Services::IsEnabled(kName));
  EXPECT_EQ(Side::ReadServiceConfig(kName).startType, ScmApi::kDisabled);
  Services::SetEnabled(kName, true);
  EXPECT_TRUE(Services::IsEnabled(kName));
  Services::SetEnabled(kName, false);
  Services::Update(kName, L"Renamed", L"\"C:\\elsewhere.exe\"");  // in place, as Install would make it
  EXPECT_EQ(Side::ReadServiceConfig(kName).binaryPath, L"\"C:\\elsewhere.exe\"");
  EXPECT_EQ(Side::ReadServiceConfig(kName).displayName, L"Renamed");
  EXPECT_TRUE(Services::IsEnabled(kName));
}

// Restart after 5, 10 and 30 seconds; a minute without failure starts over.
// None once cleared (before a forced stop).
TEST_F(ServicesContract, InstallSetsThreeRestartActions) {
  SKIP_UNLESS_SIDE_CAN(ReadFailureActions);
  Install();
  const ScmApi::RecoveryActions written{60, {5000, 10000, 30000}};
  EXPECT_EQ(Side::ReadRecoveryActions(kName), std::optional(written));
  Services::SetRecoveryActions(kName, false);
  EXPECT_EQ(Side::ReadRecoveryActions(kName), std::nullopt);
}

// Start and stop refuse a second time with the manager's own error: 1062
// for a stopped service.
TEST_F(ServicesContract, StartsAndStopsAndRefusesToDoEitherTwice) {
  Install();
  EXPECT_FALSE(Services::IsRunning(kName));
  EXPECT_TRUE(Services::Start(kName));
  EXPECT_TRUE(Services::IsRunning(kName));
  const ThrownError again = CatchError([] { Services::Start(kName); });
  EXPECT_TRUE(again.StartsWith("Unable to start service")) << again.text;
  EXPECT_EQ(again.code, kAlreadyRunning);
  EXPECT_TRUE(Services::Stop(kName));
  EXPECT_FALSE(Services::IsRunning(kName));
  const ThrownError stopped = CatchError([] { Services::Stop(kName); });
  EXPECT_TRUE(stopped.StartsWith("Unable to stop service")) << stopped.text;
  EXPECT_EQ(stopped.code, kNotActive);
}

// A service still starting does not take the stop control, and that is not
// 1062. Windows documents 1061 (ERROR_SERVICE_CANNOT_ACCEPT_CTRL) for this
// state; Wine answers 1052 (ERROR_INVALID_SERVICE_CONTROL), as the double does.
TEST_F(ServicesContract, StartWithoutProgressGivesUpAndTheStartingServiceRefusesStop) {
  Install(Side::ServiceBehaviour::StallStart);
  EXPECT_FALSE(Services::Start(kName));
  EXPECT_FALSE(Services::IsRunning(kName));
  const ThrownError stop = CatchError([] { Services::Stop(kName); });
  EXPECT_TRUE(stop.StartsWith("Unable to stop service")) << stop.text;
  EXPECT_TRUE(stop.code == 1052 || stop.code == 1061) << stop.code;
}

TEST_F(ServicesContract, ServiceThatIgnoresStopIsNotReportedStopped) {
  Install(Side::ServiceBehaviour::IgnoreStop);
  ASSERT_TRUE(Services::Start(kName));
  EXPECT_FALSE(Services::Stop(kName));
  EXPECT_TRUE(Services::IsRunning(kName));
}

TEST_F(ServicesContract, ProcessThatLingersAfterStoppingMakesStopFalse) {
  Install(Side::ServiceBehaviour::Linger);
  ASSERT_TRUE(Services::Start(kName));
  EXPECT_FALSE(Services::Stop(kName));
  EXPECT_FALSE(Services::IsRunning(kName));
}

// A stopped service would refuse the stop control, so success shows that
// none was sent.
TEST_F(ServicesContract, UninstallRemovesAStoppedServiceWithoutAStopAndARunningOneAfterIt) {
  Install();
  Services::Uninstall(kName);
  EXPECT_TRUE(Side::WaitUntilServiceIsGone(kName));
  Install();
  ASSERT_TRUE(Services::Start(kName));
  Services::Uninstall(kName);
  EXPECT_TRUE(Side::WaitUntilServiceIsGone(kName));
  EXPECT_TRUE(FindProcessesByName(L"valdrix_test_service.exe").empty());
}

// Marked for deletion, the service stays while anyone holds it open and
// goes once the last handle is closed.
TEST_F(ServicesContract, ServiceMarkedForDeletionStaysWhileAHandleIsOpen) {
  Install();
  ScmApi::Handle manager = ScmApi::OpenManager(ScmApi::kManagerConnect);
  ScmApi::Handle held = ScmApi::OpenService(manager, kName, ScmApi::kQueryStatus);
  ASSERT_NE(held, nullptr);
  Services::Uninstall(kName);
  for (int poll = 0; poll < 5; ++poll) EXPECT_TRUE(Services::IsInstalled(kName)) << poll;
  const ThrownError reinstall = CatchError([] { Install(); });
  EXPECT_TRUE(reinstall.StartsWith("Service is already installed") || reinstall.code == 1072) << reinstall.text;
  const ThrownError update = CatchError([] { Services::Update(kName, kName, L"x.exe"); });
  EXPECT_TRUE(update.StartsWith("Service is marked for deletion: it goes once every program holding it open has"));
  EXPECT_TRUE(ScmApi::Close(held));
  EXPECT_TRUE(ScmApi::Close(manager));
  EXPECT_TRUE(Side::WaitUntilServiceIsGone(kName));
}

TEST_F(ServicesContract, MissingServiceIsNotInstalledAndEveryChangeNamesTheStep) {
  EXPECT_FALSE(Services::IsInstalled(kName));
  const struct {
    void (*action)();
    const char* message;
  } cases[] = {
      {[] { Services::Start(kName); }, "Unable to open service for starting"},
      {[] { Services::Stop(kName); }, "Unable to open service for stopping"},
      {[] { Services::IsEnabled(kName); }, "Unable to open service for config query"},
      {[] { Services::SetEnabled(kName, true); }, "Unable to open service for config change"},
      {[] { Services::IsRunning(kName); }, "Unable to open service for status query"},
      {[] { Services::Uninstall(kName); }, "Unable to open service for uninstall"},
  };
  for (const auto& c : cases) {
    const ThrownError thrown = CatchError(c.action);
    EXPECT_TRUE(thrown.StartsWith(c.message)) << thrown.text;
    EXPECT_EQ(thrown.code, kDoesNotExist) << c.message;
  }
}

}  // namespace
