// Service control against Wine's real Service Control Manager, with a
// fixture service that can misbehave. Each test installs the service, checks
// it, and removes it again, so the prefix is left as it was found.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/text.h"
#include "system/files.h"
#include "system/services.h"
#include "win/system_test_support.h"

namespace {

constexpr wchar_t kName[] = L"ValdrixIntegrationTest";
constexpr wchar_t kServiceExe[] = L"valdrix_test_service.exe";

// Services start only from a path the service manager can reach, so the
// fixture is copied under Program Files and registered with a quoted path.
std::wstring InstalledServiceExe() {
  const std::wstring folder = GetProgramFilesFolder() + L"\\ValdrixTest";
  EnsureDirectory(folder);
  const std::wstring target = folder + L"\\" + kServiceExe;
  CopyFileW(FixturePath(kServiceExe).c_str(), target.c_str(), FALSE);
  return target;
}

std::wstring BinaryPath(const wchar_t* mode = L"") {
  std::wstring path = L"\"" + InstalledServiceExe() + L"\"";
  if (*mode) path += std::wstring(L" ") + mode;
  return path;
}

struct ScHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScOwner = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;

// Whatever state a test left the service in: its process is ended and the
// service deleted directly, so a misbehaving fixture cannot block the next test.
void RemoveTestService() {
  if (!Services::IsInstalled(kName)) return;
  StopProcessesByName(kServiceExe);
  ScOwner manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ScOwner service(OpenServiceW(manager.get(), kName, SERVICE_ALL_ACCESS));
  if (service) DeleteService(service.get());
  service.reset();
  // The service manager lets go of a deleted service once nothing uses it.
  for (int i = 0; i < 100 && Services::IsInstalled(kName); ++i) Sleep(100);
}

class ServiceControl : public testing::Test {
 protected:
  void SetUp() override { RemoveTestService(); }
  void TearDown() override {
    RemoveTestService();
    EXPECT_FALSE(Services::IsInstalled(kName));
  }
};

TEST_F(ServiceControl, InstallsAutomaticLocalSystemServiceWithThreeRestartActions) {
  const std::wstring binaryPath = BinaryPath();
  Services::Install(kName, kName, binaryPath.c_str());
  ASSERT_TRUE(Services::IsInstalled(kName));

  ScOwner manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  ScOwner service(OpenServiceW(manager.get(), kName, SERVICE_QUERY_CONFIG));
  ASSERT_TRUE(service);
  alignas(QUERY_SERVICE_CONFIGW) BYTE configBytes[8192];
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(configBytes),
                                  sizeof(configBytes), &needed));
  const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(configBytes);
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(std::wstring(config->lpBinaryPathName), binaryPath);
  EXPECT_EQ(std::wstring(config->lpDisplayName), kName);
  EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");

  alignas(SERVICE_FAILURE_ACTIONSW) BYTE actionBytes[8192];
  if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, actionBytes, sizeof(actionBytes), &needed)) {
    // Wine 8 accepts failure actions but cannot report them back.
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    GTEST_SKIP() << "this service manager does not report failure actions";
  }
  const auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(actionBytes);
  EXPECT_EQ(failure->dwResetPeriod, 60u);
  ASSERT_EQ(failure->cActions, 3u);
  const DWORD delays[] = {5000, 10000, 30000};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(failure->lpsaActions[i].Type, SC_ACTION_RESTART);
    EXPECT_EQ(failure->lpsaActions[i].Delay, delays[i]);
  }
}

TEST_F(ServiceControl, SecondInstallIsRefusedAndChangesNothing) {
  Services::Install(kName, kName, BinaryPath().c_str());
  Services::SetEnabled(kName, false);
  ExpectRuntimeError([] { Services::Install(kName, kName, L"\"C:\\elsewhere.exe\""); }, "Service is already installed");
  EXPECT_FALSE(Services::IsEnabled(kName));
}

TEST_F(ServiceControl, EnableAndDisableAreSeenByIsEnabled) {
  Services::Install(kName, kName, BinaryPath().c_str());
  EXPECT_TRUE(Services::IsEnabled(kName));
  Services::SetEnabled(kName, false);
  EXPECT_FALSE(Services::IsEnabled(kName));
  Services::SetEnabled(kName, true);
  EXPECT_TRUE(Services::IsEnabled(kName));
}

TEST_F(ServiceControl, StartsAndStopsAndRefusesToDoEitherTwice) {
  Services::Install(kName, kName, BinaryPath().c_str());
  EXPECT_FALSE(Services::IsRunning(kName));
  EXPECT_TRUE(Services::Start(kName));
  EXPECT_TRUE(Services::IsRunning(kName));
  ExpectSystemError([] { Services::Start(kName); }, ERROR_SERVICE_ALREADY_RUNNING, "Unable to start service");
  EXPECT_TRUE(Services::Stop(kName));
  EXPECT_FALSE(Services::IsRunning(kName));
  ExpectSystemError([] { Services::Stop(kName); }, ERROR_SERVICE_NOT_ACTIVE, "Unable to stop service");
}

// A stopped service would refuse the stop control, so success shows that
// none was sent.
TEST_F(ServiceControl, UninstallOfStoppedServiceSendsNoStop) {
  Services::Install(kName, kName, BinaryPath().c_str());
  Services::Uninstall(kName);
  for (int i = 0; i < 100 && Services::IsInstalled(kName); ++i) Sleep(100);
  EXPECT_FALSE(Services::IsInstalled(kName));
}

TEST_F(ServiceControl, UninstallOfRunningServiceStopsAndRemovesIt) {
  Services::Install(kName, kName, BinaryPath().c_str());
  ASSERT_TRUE(Services::Start(kName));
  Services::Uninstall(kName);
  for (int i = 0; i < 100 && Services::IsInstalled(kName); ++i) Sleep(100);
  EXPECT_FALSE(Services::IsInstalled(kName));
  EXPECT_TRUE(FindProcessesByName(kServiceExe).empty());
}

TEST_F(ServiceControl, ServiceThatIgnoresStopIsNotReportedStopped) {
  Services::Install(kName, kName, BinaryPath(L"ignore-stop").c_str());
  ASSERT_TRUE(Services::Start(kName));
  EXPECT_FALSE(Services::Stop(kName));
  EXPECT_TRUE(Services::IsRunning(kName));
}

TEST_F(ServiceControl, ProcessThatLingersAfterStoppingMakesStopFalse) {
  Services::Install(kName, kName, BinaryPath(L"linger").c_str());
  ASSERT_TRUE(Services::Start(kName));
  EXPECT_FALSE(Services::Stop(kName));
  EXPECT_FALSE(Services::IsRunning(kName));
}

TEST_F(ServiceControl, StartThatNeverProgressesGivesUp) {
  Services::Install(kName, kName, BinaryPath(L"stall-start").c_str());
  EXPECT_FALSE(Services::Start(kName));
  EXPECT_FALSE(Services::IsRunning(kName));
}

TEST_F(ServiceControl, MissingServiceIsNotInstalledAndEveryChangeNamesTheStep) {
  EXPECT_FALSE(Services::IsInstalled(kName));
  const int missing = ERROR_SERVICE_DOES_NOT_EXIST;
  ExpectSystemError([] { Services::Start(kName); }, missing, "Unable to open service for starting");
  ExpectSystemError([] { Services::Stop(kName); }, missing, "Unable to open service for stopping");
  ExpectSystemError([] { Services::IsEnabled(kName); }, missing, "Unable to open service for config query");
  ExpectSystemError([] { Services::SetEnabled(kName, true); }, missing, "Unable to open service for config change");
  ExpectSystemError([] { Services::IsRunning(kName); }, missing, "Unable to open service for status query");
  ExpectSystemError([] { Services::Uninstall(kName); }, missing, "Unable to open service for uninstall");
}

}  // namespace
