#include "system/services.h"

#include <fmt/format.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "system/clock.h"
#include "system/errors.h"
#include "system/service_handle.h"

namespace {

constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kProcessExitTimeoutMs = 5000;
constexpr ScmApi::RecoveryActions kRecoveryActions{60, {5000, 10000, 30000}};

[[noreturn]] void ThrowLastError(const std::string& message) { Errors::ThrowSystem(ScmApi::LastError(), message); }

// A service marked for deletion can be neither changed nor created again
// until every program holding it open (the Services console, a monitoring
// agent) has closed it; that is said as such rather than as the step that
// failed.
[[noreturn]] void ThrowConfigError(const std::string& message) {
  const uint32_t error = ScmApi::LastError();
  if (error == ScmApi::kMarkedForDelete) {
    Errors::ThrowSystem(error,
                        "Service is marked for deletion: it goes once every program holding it open has closed it");
  }
  Errors::ThrowSystem(error, message);
}

ServiceHandle OpenManager(uint32_t access) {
  ServiceHandle manager(ScmApi::OpenManager(access));
  if (!manager) ThrowLastError("Unable to open service control manager");
  return manager;
}

ServiceHandle OpenService(const ServiceHandle& manager, const wchar_t* name, uint32_t access, const char* failure) {
  ServiceHandle service(ScmApi::OpenService(manager.Get(), name, access));
  if (!service) ThrowLastError(failure);
  return service;
}

// The service is closed before the connection, also when the close fails.
void CloseBoth(ServiceHandle& service, ServiceHandle& manager) {
  service.Close();
  manager.Close();
}

// Sleeps for the status's wait hint, read as signed and kept within 1..30 s.
uint32_t PollInterval(uint32_t waitHint) {
  const auto hint = static_cast<int32_t>(waitHint);
  if (hint < 1000) return 1000;
  if (hint > 30000) return 30000;
  return static_cast<uint32_t>(hint);
}

// Waits while the service reports `pending` and keeps raising its check point
// within each wait hint. True when it ends in `target`.
bool WaitForServiceState(const ServiceHandle& service, uint32_t pending, uint32_t target) {
  ScmApi::Status status;
  if (!ScmApi::QueryStatus(service.Get(), status)) ThrowLastError("Unable to query service status");
  if (status.currentState == target) return true;
  uint64_t progressTime = Clock::TickCountMs();
  uint32_t checkPoint = status.checkPoint;
  if (status.currentState != pending) return false;
  for (;;) {
    Clock::SleepMs(PollInterval(status.waitHint));
    if (!ScmApi::QueryStatus(service.Get(), status)) break;
    if (status.checkPoint > checkPoint) {
      checkPoint = status.checkPoint;
      progressTime = Clock::TickCountMs();
    } else if (Clock::TickCountMs() - progressTime > status.waitHint) {
      break;
    }
    if (status.currentState != pending) return status.currentState == target;
  }
  return status.currentState == target;
}

bool WaitForProcessExit(uint32_t processId, uint32_t timeoutMs) {
  void* process = ScmApi::OpenProcessForWait(processId);
  if (!process) return true;  // already gone
  const uint32_t result = ScmApi::WaitForProcess(process, timeoutMs);
  const uint32_t error = ScmApi::LastError();
  ScmApi::CloseProcess(process);
  if (result == ScmApi::kWaitFailed) {
    Errors::ThrowSystem(error, fmt::format("Unable to wait for process {} to close", processId));
  }
  return result != ScmApi::kWaitTimeout;
}

}  // namespace

namespace Services {

bool IsInstalled(const wchar_t* name) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerConnect);
  ServiceHandle service(ScmApi::OpenService(manager.Get(), name, ScmApi::kQueryStatus));
  const bool installed = static_cast<bool>(service);
  CloseBoth(service, manager);
  return installed;
}

void Install(const wchar_t* name, const wchar_t* displayName, const wchar_t* binaryPath) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerAllAccess);
  ServiceHandle service(ScmApi::OpenService(manager.Get(), name, ScmApi::kAllAccess));
  if (service) throw std::runtime_error("Service is already installed");
  service = ServiceHandle(ScmApi::CreateService(manager.Get(), name, displayName, ScmApi::kAllAccess, binaryPath));
  if (!service) ThrowConfigError("Unable to install service");
  if (!ScmApi::SetRecoveryActions(service.Get(), kRecoveryActions))
    ThrowLastError("Unable to set service recovery settings");
  CloseBoth(service, manager);
}

void Update(const wchar_t* name, const wchar_t* displayName, const wchar_t* binaryPath) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerAllAccess);
  ServiceHandle service(ScmApi::OpenService(manager.Get(), name, ScmApi::kAllAccess));
  if (!service) ThrowConfigError("Unable to open service for update");
  if (!ScmApi::ChangeConfig(service.Get(), displayName, binaryPath)) ThrowConfigError("Unable to update service");
  if (!ScmApi::SetRecoveryActions(service.Get(), kRecoveryActions))
    ThrowLastError("Unable to set service recovery settings");
  CloseBoth(service, manager);
}

void SetRecoveryActions(const wchar_t* name, bool restart) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerConnect);
  ServiceHandle service =
      OpenService(manager, name, ScmApi::kChangeConfig | ScmApi::kStart, "Unable to open service for config change");
  const bool set = restart ? ScmApi::SetRecoveryActions(service.Get(), kRecoveryActions)
                           : ScmApi::ClearRecoveryActions(service.Get());
  if (!set) ThrowLastError("Unable to set service recovery settings");
  CloseBoth(service, manager);
}

void Uninstall(const wchar_t* name) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerAllAccess);
  ServiceHandle service = OpenService(manager, name, ScmApi::kAllAccess, "Unable to open service for uninstall");
  ScmApi::Status status;
  if (!ScmApi::QueryStatus(service.Get(), status)) ThrowLastError("Unable to query service status");
  if (status.currentState == ScmApi::kRunning && !ScmApi::ControlStop(service.Get(), status)) {
    ThrowLastError("Unable to stop service");
  }
  if (!ScmApi::Delete(service.Get())) ThrowLastError("Unable to delete service");
  CloseBoth(service, manager);
}

bool IsEnabled(const wchar_t* name) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerAllAccess);
  ServiceHandle service = OpenService(manager, name, ScmApi::kQueryConfig, "Unable to open service for config query");
  uint32_t bytes = 0;
  if (ScmApi::QueryConfigSize(service.Get(), bytes)) {
    throw std::runtime_error(
        "Unexpected return value from service config size query (this should not be possible according to "
        "Microsoft)");
  }
  // Any other refusal than "buffer too small" would fail the read as well.
  if (const uint32_t error = ScmApi::LastError(); error != kInsufficientBuffer) {
    Errors::ThrowSystem(error, "Unable to query service config");
  }
  const std::unique_ptr<void, decltype(&std::free)> buffer(std::malloc(bytes), &std::free);
  if (!buffer) throw std::runtime_error(fmt::format("Unable to allocate {} bytes for service config query", bytes));
  uint32_t startType = 0;
  if (!ScmApi::QueryConfig(service.Get(), buffer.get(), bytes, startType)) {
    ThrowLastError("Unable to query service config");
  }
  CloseBoth(service, manager);
  return startType == ScmApi::kAutoStart;
}

void SetEnabled(const wchar_t* name, bool enabled) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerAllAccess);
  ServiceHandle service = OpenService(manager, name, ScmApi::kChangeConfig, "Unable to open service for config change");
  if (!ScmApi::ChangeStartType(service.Get(), enabled ? ScmApi::kAutoStart : ScmApi::kDisabled)) {
    ThrowLastError("Unable to change service start type");
  }
  CloseBoth(service, manager);
}

bool IsRunning(const wchar_t* name) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerAllAccess);
  ServiceHandle service = OpenService(manager, name, ScmApi::kQueryStatus, "Unable to open service for status query");
  ScmApi::Status status;
  if (!ScmApi::QueryStatus(service.Get(), status)) ThrowLastError("Unable to query service status");
  CloseBoth(service, manager);
  return status.currentState == ScmApi::kRunning;
}

bool Start(const wchar_t* name) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerConnect);
  ServiceHandle service =
      OpenService(manager, name, ScmApi::kStart | ScmApi::kQueryStatus, "Unable to open service for starting");
  if (!ScmApi::Start(service.Get())) ThrowLastError("Unable to start service");
  const bool running = WaitForServiceState(service, ScmApi::kStartPending, ScmApi::kRunning);
  CloseBoth(service, manager);
  return running;
}

bool Stop(const wchar_t* name) {
  ServiceHandle manager = OpenManager(ScmApi::kManagerConnect);
  ServiceHandle service =
      OpenService(manager, name, ScmApi::kStop | ScmApi::kQueryStatus, "Unable to open service for stopping");
  ScmApi::Status status;
  if (!ScmApi::QueryStatusEx(service.Get(), status)) ThrowLastError("Unable to get service process information");
  const uint32_t processId = status.processId;
  if (!ScmApi::ControlStop(service.Get(), status)) ThrowLastError("Unable to stop service");
  const bool stopped = WaitForServiceState(service, ScmApi::kStopPending, ScmApi::kStopped) &&
                       WaitForProcessExit(processId, kProcessExitTimeoutMs);
  CloseBoth(service, manager);
  return stopped;
}

}  // namespace Services
