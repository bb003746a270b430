// Stopping the product before its files are touched, and starting it again.
#include <stdexcept>

#include "app/flags.h"
#include "app/log.h"
#include "engine/flows/flows.h"
#include "engine/flows/product_names.h"
#include "reporting/reporter.h"
#include "system/files.h"
#include "system/services.h"
#include "system/tasks.h"

namespace {

// Killing the service's process is a failure to the service manager, whose
// recovery actions would start the service again a few seconds later, on
// the files about to be replaced or deleted. They go first; configuring the
// service sets them again.
int32_t TerminateServiceProcesses() {
  if (Services::IsInstalled(Product::kServiceName)) Services::SetRecoveryActions(Product::kServiceName, false);
  return StopProcessesByName(Product::kServiceExecutable);
}

void StartClientsThroughLogonTask() {
  const std::vector<uint32_t> sessions = GetUserSessionIds();
  for (uint32_t session : sessions) {
    SetupLog::Info("Starting scheduled task for session %u", session);
    RunLogonTaskInSession(session);
  }
  if (sessions.empty()) SetupLog::Warning("There are no user sessions, we can't start the client app!");
}

// "SeDebugPrivilege", enabled while the product is being stopped (its
// service runs as SYSTEM) and disabled again before anything else happens:
// no child of the setup starts with it.
class DebugPrivilegeScope {
 public:
  DebugPrivilegeScope() { enabled_ = Change(true); }
  ~DebugPrivilegeScope() {
    if (enabled_) Change(false);
  }
  DebugPrivilegeScope(const DebugPrivilegeScope&) = delete;
  DebugPrivilegeScope& operator=(const DebugPrivilegeScope&) = delete;

 private:
  static bool Change(bool enable) {
    uint32_t error = 0;
    switch (SetDebugPrivilege(enable, error)) {
      case PrivilegeChange::Done: return true;
      case PrivilegeChange::NotHeld:
        SetupLog::Warning("Debug privilege is not held by this account; processes of other accounts may not stop");
        return false;
      case PrivilegeChange::Failed:
        SetupLog::Warning("Unable to %s debug privilege: error %u", enable ? "grant" : "drop", error);
        return false;
    }
    return false;
  }
  bool enabled_ = false;
};

}  // namespace

void StopProduct(Setup::Context& context) {
  const DebugPrivilegeScope privilege;
  context.ReportStatus(L"Stopping client..");
  const int32_t clients = StopProcessesByName(Product::kClientExecutable);
  if (clients != 0) {
    SetupLog::Info("Stopped %d client instances", clients);
  } else {
    SetupLog::Warning("Client was not found while trying to stop it - it might already be stopped");
  }
  const int32_t scanners = StopProcessesByName(Product::kScannerExecutable);
  if (scanners > 0) SetupLog::Info("Stopped %d scanner instances", scanners);

  context.ReportStatus(L"Stopping service..");
  if (!Services::IsInstalled(Product::kServiceName)) {
    SetupLog::Warning("Service was not installed, so it could not be stopped");
    return;
  }
  if (!Services::IsRunning(Product::kServiceName)) {
    SetupLog::Warning("Service is installed but not running, so it could not be stopped");
    // A stop that never finished (a setup killed while waiting for it) leaves
    // the service pending with its process alive; that process would keep the
    // service from being deleted and its files from being replaced.
    const int32_t lingering = TerminateServiceProcesses();
    if (lingering > 0) SetupLog::Warning("Terminated %d service process(es) left from an unfinished stop", lingering);
    return;
  }
  if (Services::Stop(Product::kServiceName)) return;
  SetupLog::Error("Timed out while stopping service. Falling back to unclean force termination.");
  Reporting::AddBreadcrumb("Timed out while stopping service, falling back to unclean force termination", "setup",
                           "default", "warning");
  ForceStopService(context);
}

void ForceStopService(Setup::Context& context) {
  context.ReportStatus(L"Forcing service stop..");
  if (TerminateServiceProcesses() == 0) {
    SetupLog::Warning("Service was not found while trying to force stop it - it might already be stopped");
  }
}

void StartProduct(Setup::Context& context) {
  const SetupFlags& flags = SetupFlags::Instance();
  if (flags.dontStart) {
    SetupLog::Warning("Not starting because \"don't start\" flag was given!");
    return;
  }
  context.ReportStatus(L"Starting service..");
  if (!Services::Start(Product::kServiceName)) throw std::runtime_error("Timed out while starting service");

  context.ReportStatus(L"Starting client..");
  const uint32_t ownSession = GetOwnSessionId();
  if (ownSession != 0 && !flags.silent) {
    // An interactive setup starts the client in its own session only, and
    // through the logon task: as the session's user, not as this elevated
    // process's child with its token, privileges and current folder.
    SetupLog::Info("Starting scheduled task for session %u", ownSession);
    RunLogonTaskInSession(ownSession);
    return;
  }
  StartClientsThroughLogonTask();
}

void RestartProductAfterFailure() {
  if (SetupFlags::Instance().dontStart) {
    SetupLog::Warning("Not starting because \"don't start\" flag was given!");
    return;
  }
  if (!Services::IsInstalled(Product::kServiceName)) {
    SetupLog::Warning("Service is not installed, so it could not be started again");
    return;
  }
  // A forced stop may have taken them.
  Services::SetRecoveryActions(Product::kServiceName, true);
  if (!Services::IsRunning(Product::kServiceName)) {
    SetupLog::Info("Starting service again..");
    if (!Services::Start(Product::kServiceName)) throw std::runtime_error("Timed out while starting service");
  }
  StartClientsThroughLogonTask();
}

void RunLogonTaskInSession(uint32_t session) {
  try {
    Tasks::RunInSession(Product::kLogonTask, session, Product::kTaskFolder);
  } catch (const Tasks::RunRefused& refusal) {
    SetupLog::Warning("Unable to start the client in session %u: %s", session, refusal.what());
  }
}

void PauseTasks(Setup::Context& context) {
  struct Paused {
    const wchar_t* task;
    const char* deferred;
    bool stopRun;
  };
  // Disabling ends no run: a verify already under way would start the
  // product again under the flow's feet. A client the logon task started is
  // the client, which StopProduct ends.
  for (const Paused& paused : {Paused{Product::kVerifyTask, "re-enable verify task", true},
                               Paused{Product::kLogonTask, "re-enable logon task", false}}) {
    const wchar_t* task = paused.task;
    if (!Tasks::Exists(task, Product::kTaskFolder)) continue;
    Tasks::SetEnabled(task, false, Product::kTaskFolder);
    if (paused.stopRun) Tasks::StopRunning(task, Product::kTaskFolder);
    // An uninstall that got as far as deleting it leaves nothing to enable.
    context.AddDeferredTask(paused.deferred, [task] {
      if (Tasks::Exists(task, Product::kTaskFolder)) Tasks::SetEnabled(task, true, Product::kTaskFolder);
    });
  }
}
