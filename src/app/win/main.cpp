// Entry point of Valdrix.Setup.exe: the start-up sequence and the hand-over to
// the silent driver or the progress window. Before any of it, and before the C
// runtime, a TLS callback (system32_only.cpp) has limited DLL loading to
// System32.
#include <windows.h>

#include <shellapi.h>

#include <fmt/format.h>
#include <clocale>

#include <stdexcept>

#include "app/build_info.h"
#include "app/built_in_keys.h"
#include "app/flags.h"
#include "app/log.h"
#include "app/startup.h"
#include "app/trusted_keys.h"
#include "engine/context.h"
#include "reporting/database_folder.h"
#include "reporting/reporter.h"
#include "system/com.h"
#include "system/files.h"
#include "system/win/instance_mutex.h"
#include "ui/progress_window.h"

namespace {

void ConfigureReporting() {
  // Held until the process ends: the crash handler may still write there.
  static const Reporting::DatabaseFolder database = Reporting::ChooseDatabaseFolder();
  Reporting::Options options;
  options.dsn = BuildInfo::kDsn;
  options.databasePath = database.path;
  options.environment = BuildInfo::kEnvironment;
  options.release = BuildInfo::kRelease;
  Reporting::Init(options);
  Reporting::SetUser(Startup::ReadDeviceIdForReporting());
  if (!database.notice.empty()) Reporting::AddBreadcrumb(database.notice, "setup", "default", "warning");
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

  // The command line first: how long to wait for another run depends on the mode.
  SetupFlags& flags = SetupFlags::Instance();
  ParseCommandLine(flags);
  InstanceMutex mutex = AcquireInstanceMutex(Startup::kMutexName, Startup::MutexWaitMs(flags));
  if (mutex.outcome == InstanceMutex::Outcome::kFailed) {
    Reporting::CaptureException(
        "std::exception", std::runtime_error(fmt::format("Unable to create mutex: error {}", mutex.error)).what());
  } else if (mutex.outcome == InstanceMutex::Outcome::kAnotherSetup) {
    return Startup::kExitAlreadyRunning;
  }

  SetupLog::Open(Startup::kLogFileName);
  SetupLog::Info("");
  SetupLog::Info("Valdrix Setup starting (PID %u)", static_cast<unsigned>(GetCurrentProcessId()));
  SetupLog::Info("%s", BuildInfo::kBuildLogLine);
  SetupLog::Info("Setup path: %S", GetExecutablePath());
  if (mutex.outcome == InstanceMutex::Outcome::kTakenByOther) {
    SetupLog::Warning("Mutex \"%S\" is not owned by Administrators, so no setup run made it: going on without it",
                      Startup::kMutexName);
  }
  if (mutex.waitedMs > 0) SetupLog::Info("Waited %u ms for another setup run to end", mutex.waitedMs);

  if (!Startup::InitializeComSecurity()) {
    SetupLog::Close();
    Reporting::Close();
    return 1;
  }

  // The build checked the texts; a key that does not decode ends the process here.
  TrustedKeys::Instance() = TrustedKeys::FromText(BuiltInKeys::kManifest, BuiltInKeys::kToken);

  flags.setupDirectory = GetExecutableDirectory();
  flags.setupFileName = GetExecutableName();
  if (Startup::IsTemporaryCopyName(flags.setupFileName)) {
    SetupLog::Error("Not running setup because its filename starts with __temp_!");
    return Startup::kExitTemporaryCopy;
  }

  if (flags.help) {
    ShowInformation(Startup::kHelpText, Startup::kHelpCaption);
    return Startup::kExitHelpShown;
  }

  if (flags.loginCode.empty() && !flags.setupFileName.empty()) {
    flags.loginCode = Startup::LoginCodeFromFileName(flags.setupFileName);
    if (!flags.loginCode.empty()) SetupLog::Info("Login code from filename: \"%S\"", flags.loginCode);
  }

  if (Startup::SilentInSessionZero(flags, GetOwnSessionId())) {
    SetupLog::Info("Running in session 0, where no one sees a window: going on as /silent");
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
  Com::Uninitialize();
  mutex.handle = SafeHandle();
  Reporting::Close();
  return result;
}
