#include <fmt/format.h>
#include <fmt/xchar.h>

#include <stdexcept>
#include <system_error>

#include "app/flags.h"
#include "app/log.h"
#include "app/text.h"
#include "engine/context.h"
#include "engine/flows/flows.h"
#include "reporting/reporter.h"
#include "system/com.h"
#include "system/files.h"

namespace Setup {
namespace {

void ReportSystemError(const std::system_error& error) {
  Reporting::CaptureException("std::system_error",
                              fmt::format("{} (error code {})", error.what(), error.code().value()));
}

bool IsExemptFromReporting(int value) { return value == -60007 || value == -60006 || value == 12030; }

void CheckOperatingSystem(Context& context) {
  if (IsWindowsPE()) throw std::runtime_error("Windows PE is not supported");
  uint32_t major = 0;
  if (!IsWindowsVersionAtLeast(10, 14393, major)) {
    context.ReportFatal(
        L"Sorry, your version of Windows is not supported. Please upgrade to Windows 10, version 1607 or newer to "
        L"use Valdrix.");
    if (!SetupFlags::Instance().silent && major >= 10) ShellOpen(L"ms-settings:windowsupdate");
    throw std::runtime_error("Unsupported Windows version");
  }
}

}  // namespace

int InitializeSetup(Context& context) {
  // A thread already in a single-threaded apartment (RPC_E_CHANGED_MODE) is a
  // failure too: that initialisation is not ours to end.
  if (Com::InitializeMultithreaded() < 0) {
    SetupLog::Error("Unable to CoInitializeEx");
    return 1;
  }
  context.comInitialized = true;
  // COM security was set for the process at start-up, before any window;
  // "SeDebugPrivilege" is enabled only while the product is being stopped.
  SetupLog::Info("Getting program files path");
  context.installPath = GetProgramFilesFolder();
  if (context.installPath.empty()) {
    SetupLog::Error("Unable to get Program Files path (error %d)", static_cast<int>(GetLastErrorCode()));
    context.ReportFatal(L"Unable to get Program Files path!");
    return 1;
  }
  context.installPath += L"\\Valdrix\\";
  SetupLog::Info("Install path: %S", context.installPath);
  return 0;
}

int RunSetup(Context& context) {
  const SetupMode mode = SetupFlags::Instance().mode;
  Reporting::AddBreadcrumb(fmt::format("Start {}", ModeName(mode)), "setup", "default", "info");
  try {
    CheckOperatingSystem(context);
    switch (mode) {
      case SetupMode::Install: Flows::StartInstall(context, false); break;
      case SetupMode::Update: Flows::StartInstall(context, true); break;
      case SetupMode::Verify: Flows::StartVerify(context); break;
      case SetupMode::Uninstall: Flows::StartUninstall(context); break;
      default: SetupLog::Error("Unknown setup flag (%d)", static_cast<int>(mode)); break;
    }
    Reporting::AddBreadcrumb("Finished", "setup", "default", "info");
    SetupLog::Info("Finished!");
    context.ReportCompleted();
    return 0;
  } catch (const std::system_error& error) {
    const int value = error.code().value();
    if (!IsExemptFromReporting(value)) ReportSystemError(error);
    SetupLog::Error("System error caught during setup: %s (code %d)", error.what(), value);
    context.ReportFatal(fmt::format(
        L"There was a problem during install. Please try again in a little bit.\n\n(System error code {})", value));
    return 1;
  } catch (const std::exception& error) {
    Reporting::CaptureException("std::exception", error.what());
    SetupLog::Error("Exception caught during setup: %s", error.what());
    context.ReportFatal(
        fmt::format(L"There was a problem during install. Please try again in a little bit.\n\n(Technical details: {})",
                    Text::FromUtf8(error.what())));
    return 1;
  }
}

void RunDeferredTasks(Context& context) {
  for (const auto& task : context.deferredTasks) {
    if (!task->active) continue;
    SetupLog::Info("Running deferred task \"%s\"..", task->name);
    try {
      task->action();
    } catch (const std::exception& error) {
      Reporting::CaptureException("std::exception", error.what());
      SetupLog::Error("Exception during deferred task \"%s\": %s", task->name, error.what());
    }
  }
  if (context.comInitialized) {
    Com::Uninitialize();
    context.comInitialized = false;
  }
}

}  // namespace Setup
