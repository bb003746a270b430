// Entry point of Valdrix.Setup.exe: the start-up sequence and the hand-over to
// the silent driver or the progress window. Before any of it, and before the C
// runtime, a TLS callback (system32_only.cpp) has limited DLL loading to
// System32.
#include <windows.h>
#include <shellapi.h>

#include <clocale>
#include <fmt/format.h>

#include <stdexcept>

#include "app/build_info.h"
#include "app/flags.h"
#include "app/log.h"
#include "app/startup.h"
#include "engine/context.h"
#include "reporting/reporter.h"
#include "system/files.h"
#include "ui/progress_window.h"

namespace {

void ConfigureReporting() {
  Reporting::Options options;
  options.dsn = BuildInfo::kDsn;
  const std::wstring localAppData = GetLocalAppDataFolder();
  if (!localAppData.empty()) options.databasePath = localAppData + L"\\Valdrix\\.sentry";
  options.environment = BuildInfo::kEnvironment;
  options.release = BuildInfo::kRelease;
  Reporting::Init(options);
  Reporting::SetUser(Startup::ReadDeviceIdForReporting());
}

void ParseCommandLine(SetupFlags& flags) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!arguments) return;
  for (int i = 1; i < count; ++i) ParseFlag(flags, arguments[i]);
  LocalFree(arguments);
}

int RunSilent() {
  SetupLog::Info("Silent start");
  Setup::Context context;
  int result = Setup::InitializeSetup(context);
  if (result == 0) result = Setup::RunSetup(context);
  Setup::RunDeferredTasks(context);
  return result;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  std::setlocale(LC_ALL, ".UTF8");
  ConfigureReporting();

  HANDLE mutex = CreateMutexW(nullptr, FALSE, Startup::kMutexName);
  const DWORD mutexError = GetLastError();
  if (!mutex) {
    Reporting::CaptureException("std::exception",
                                std::runtime_error(fmt::format("Unable to create mutex: error {}", mutexError)).what());
  } else if (mutexError == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return Startup::kExitAlreadyRunning;
  } else {
    WaitForSingleObject(mutex, INFINITE);
  }

  SetupLog::Open(Startup::kLogFileName);
  SetupLog::Info("");
  SetupLog::Info("Valdrix Setup starting (PID %u)", static_cast<unsigned>(GetCurrentProcessId()));
  SetupLog::Info("%s", BuildInfo::kBuildLogLine);
  SetupLog::Info("Setup path: %S", GetExecutablePath());

  SetupFlags& flags = SetupFlags::Instance();
  flags.setupDirectory = GetExecutableDirectory();
  flags.setupFileName = GetExecutableName();
  if (Startup::IsTemporaryCopyName(flags.setupFileName)) {
    SetupLog::Error("Not running setup because its filename starts with __temp_!");
    return Startup::kExitTemporaryCopy;
  }

  ParseCommandLine(flags);
  if (flags.help) {
    ShowInformation(Startup::kHelpText, Startup::kHelpCaption);
    return Startup::kExitHelpShown;
  }

  if (flags.loginCode.empty() && !flags.setupFileName.empty()) {
    flags.loginCode = Startup::LoginCodeFromFileName(flags.setupFileName);
    if (!flags.loginCode.empty()) SetupLog::Info("Login code from filename: \"%S\"", flags.loginCode);
  }

  int result = 0;
  if (flags.silent) {
    result = RunSilent();
  } else {
    SetupLog::Info("Starting with UI");
    result = RunProgressWindow(instance, showCommand);
  }
  if (result != 0) SetupLog::Error("Setup wasn't completed successfully: exit code %d", result);

  SetupLog::Close();
  if (mutex) CloseHandle(mutex);
  Reporting::Close();
  return result;
}
