// The verify flow: put right what it can of an installed product without
// reinstalling it, and the prerequisite repair it falls back on.
#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "app/flags.h"
#include "app/log.h"
#include "engine/flows/flows.h"
#include "engine/flows/product_names.h"
#include "reporting/reporter.h"
#include "staging/staging.h"
#include "system/files.h"
#include "system/registry.h"
#include "system/services.h"
#include "system/tasks.h"

namespace Flows {
namespace {

constexpr int kServiceRequestTimeout = 1053;  // ERROR_SERVICE_REQUEST_TIMEOUT
constexpr wchar_t kCounterName[] = L"SetupVerifyService1053";

void StartServiceOrThrow() {
  if (!Services::Start(Product::kServiceName)) throw std::runtime_error("Timed out while starting service");
}

// A first error 1053 since the last repair repairs the prerequisites and
// tries once more (true); later ones are only counted (false: rethrow). The
// repair is counted only once it has run: one cut short (the task's time
// limit, a shutdown) is tried again by the next run.
bool RecoverFromRequestTimeout(Setup::Context& context) {
  const uint32_t previous = OpenProductKey(true).GetDword(kCounterName);
  SetupLog::Warning("Error 1053 while starting service. (status = %u)", previous);
  Reporting::AddBreadcrumb(fmt::format("Error 1053 (status = {})", previous), "setup", "default", "info");
  if (previous != 0) {
    OpenProductKey(true).SetDword(kCounterName, previous + 1);
    return false;
  }
  try {
    RepairPrerequisites(context);
    context.ReportStatus(L"Re-attempting service start..");
    StartServiceOrThrow();
  } catch (const std::exception&) {
    OpenProductKey(true).SetDword(kCounterName, 1);
    throw;
  }
  RegistryManager key = OpenProductKey(true);
  if (key.ValueExists(kCounterName)) key.DeleteValue(kCounterName);
  key.Close();
  return true;
}

void EnsureServiceRunning(Setup::Context& context, bool dontStart) {
  if (Services::IsRunning(Product::kServiceName)) return;
  if (dontStart) {
    SetupLog::Warning("Service not running! It will not start because of the \"don't start\" flag.");
    return;
  }
  context.ReportStatus(L"Service not running, starting now..");
  try {
    StartServiceOrThrow();
  } catch (const std::system_error& error) {
    if (error.code().value() != kServiceRequestTimeout || !RecoverFromRequestTimeout(context)) throw;
  }
}

// User sessions in which the install folder's client does not run. Any
// user can start a program of the client's name from a folder of their own;
// that one is not the client.
std::vector<uint32_t> SessionsWithoutClient(const std::wstring& installPath) {
  std::vector<uint32_t> sessions = GetUserSessionIds();
  const std::vector<SafeHandle> clients = FindProcessesByImage(installPath + Product::kClientExecutable);
  for (const SafeHandle& client : clients) {
    uint32_t session = 0;
    uint32_t error = 0;
    if (!GetProcessSessionId(client, session, error)) {
      SetupLog::Error("Unable to get session ID for process (error %d)", static_cast<int>(error));
      continue;
    }
    if (auto it = std::find(sessions.begin(), sessions.end(), session); it != sessions.end()) sessions.erase(it);
  }
  return sessions;
}

}  // namespace

void StartVerify(Setup::Context& context) {
  const bool dontStart = SetupFlags::Instance().dontStart;
  if (!Services::IsInstalled(Product::kServiceName)) {
    SetupLog::Error("Service is not installed! Has it been uninstalled?");
    return;
  }
  if (!Tasks::Exists(Product::kLogonTask, Product::kTaskFolder)) {
    SetupLog::Error("Scheduled task is not installed! Has it been uninstalled?");
    return;
  }
  if (!Services::IsEnabled(Product::kServiceName)) {
    SetupLog::Info("Service disabled! Enabling now.");
    Services::SetEnabled(Product::kServiceName, true);
  }
  if (!Tasks::IsEnabled(Product::kLogonTask, Product::kTaskFolder)) {
    SetupLog::Info("Logon task disabled! Enabling now.");
    Tasks::SetEnabled(Product::kLogonTask, true, Product::kTaskFolder);
  }
  EnsureServiceRunning(context, dontStart);

  for (uint32_t session : SessionsWithoutClient(context.installPath)) {
    if (dontStart) {
      SetupLog::Warning("Client not running on session %u! It will not start because of the \"don't start\" flag.",
                        session);
      continue;
    }
    context.ReportStatus(L"Client not running, starting scheduled task");
    SetupLog::Info("Not running on session %u, starting scheduled task", session);
    RunLogonTaskInSession(session);
  }
}

void RepairPrerequisites(Setup::Context& context) {
  try {
    context.LoadManifest();
  } catch (const std::exception& error) {
    throw std::runtime_error(fmt::format("Unable to load manifest for verification: {}", error.what()));
  }
  context.ReportStatus(L"Repairing prerequisites..");
  for (const Prerequisite& prerequisite : context.manifest.prerequisites) {
    HeldFile installer;
    try {
      installer = DownloadPrerequisite(prerequisite, context);
    } catch (const std::exception& error) {
      throw std::runtime_error(fmt::format("Unable to download prerequisite: {}", error.what()));
    }
    try {
      RepairPrerequisite(prerequisite, std::move(installer));
    } catch (const std::exception& error) {
      throw std::runtime_error(fmt::format("Unable to repair prerequisite: {}", error.what()));
    }
  }
}

}  // namespace Flows
