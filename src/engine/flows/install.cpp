// The install and update flow: from any state of the machine to a complete,
// running installation as the manifest describes it.
#include <fmt/format.h>
#include <fmt/xchar.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "app/flags.h"
#include "app/log.h"
#include "app/text.h"
#include "engine/flows/flows.h"
#include "engine/flows/product_names.h"
#include "net/http.h"
#include "staging/staging.h"
#include "system/errors.h"
#include "system/files.h"
#include "system/registry.h"
#include "system/services.h"
#include "system/tasks.h"

namespace Flows {
namespace {

void InstallPrerequisites(Setup::Context& context, bool update) {
  for (const Prerequisite& prerequisite : context.manifest.prerequisites) {
    if (update && IsPrerequisiteInstalled(prerequisite)) {
      SetupLog::Info("Prerequisite \"%S\" already installed", prerequisite.name);
      continue;
    }
    context.ReportStatus(L"Downloading prerequisite " + prerequisite.name + L"..");
    context.ReportProgress(0);
    HeldFile installer = DownloadPrerequisite(prerequisite, context);
    context.ReportStatus(L"Installing prerequisite " + prerequisite.name + L"..");
    context.ReportProgress(0);
    InstallPrerequisite(prerequisite, std::move(installer));
  }
}

// True when the move puts the setup's own download over the running setup.
bool ReplacesRunningSetup(const PendingMove& move, const std::wstring& installPath) {
  const SetupFlags& flags = SetupFlags::Instance();
  return flags.setupFileName == Product::kSetupExecutable && installPath == flags.setupDirectory &&
         move.finalPath == flags.setupDirectory + Product::kSetupExecutable;
}

// Puts the running setup back under its name when the run ends without one
// in the install folder (its new copy was not moved into place): the verify
// task runs that file.
void RestoreRunningSetup(const std::wstring& installPath) {
  const std::wstring setup = installPath + Product::kSetupExecutable;
  const std::wstring renamed = installPath + Product::kMovedSetupName;
  if (PathExists(setup) || !PathExists(renamed)) return;
  SetupLog::Warning("Restoring setup from \"%S\" to \"%S\"", renamed, setup);
  if (const uint32_t error = MoveFileWithFlags(renamed, setup, kMoveWriteThrough)) {
    Errors::ThrowSystem(error, fmt::format("Unable to restore setup to \"{}\"", Text::ToUtf8(setup)));
  }
}

// The running setup cannot be replaced, only renamed: it moves aside right
// before its new copy takes its name, and back if the run ends without one.
void MoveRunningSetupAside(Setup::Context& context, const PendingMove& move) {
  if (!ReplacesRunningSetup(move, context.installPath)) return;
  const std::wstring installPath = context.installPath;
  context.AddDeferredTask("restore setup", [installPath] { RestoreRunningSetup(installPath); });
  const std::wstring renamed = installPath + Product::kMovedSetupName;
  SetupLog::Info("Renaming setup from \"%S\" to \"%S\"..", move.finalPath, renamed);
  if (const uint32_t error = MoveFileWithFlags(move.finalPath, renamed, kMoveReplaceExisting | kMoveWriteThrough)) {
    SetupLog::Warning("Unable to rename setup to \"%S\" (error %u)", renamed, error);
  }
}

std::vector<PendingMove> StageProductFiles(Setup::Context& context, bool update) {
  const std::wstring& installPath = context.installPath;
  const auto session = Platform::HttpSession::Create();
  std::vector<PendingMove> moves;
  const size_t count = context.manifest.files.size();
  for (size_t index = 0; index < count; ++index) {
    const ManifestFile& file = context.manifest.files[index];
    const std::wstring finalPath = installPath + file.path;
    if (update && PathExists(finalPath) && GetFileModificationTime(finalPath) == file.version) continue;
    RemoveFile(finalPath + L".tmp");
    context.ReportStatus(fmt::format(L"Downloading {} / {}.. ({})", index + 1, count, file.path));
    context.ReportProgress(0);
    moves.push_back(StageFile(context, session, file, finalPath));
    context.ReportProgress(100);
  }
  return moves;
}

// An existing service is changed in place: deleting it would only mark it
// while anyone holds it open, and it could then be created again only once
// they let go.
void ConfigureService(Setup::Context& context) {
  const std::wstring binaryPath = fmt::format(L"\"{}{}\"", context.installPath, Product::kServiceExecutable);
  if (Services::IsInstalled(Product::kServiceName)) {
    context.ReportStatus(L"Updating existing service..");
    Services::Update(Product::kServiceName, Product::kServiceDisplayName, binaryPath.c_str());
    return;
  }
  context.ReportStatus(L"Installing service..");
  Services::Install(Product::kServiceName, Product::kServiceDisplayName, binaryPath.c_str());
}

void RegisterTasks(Setup::Context& context, const std::wstring& clientPath) {
  const std::wstring& installPath = context.installPath;
  if (Tasks::Exists(Product::kLogonTask, Product::kTaskFolder)) {
    SetupLog::Warning("Removing existing client scheduled task");
    Tasks::Delete(Product::kLogonTask, Product::kTaskFolder);
  }
  context.ReportStatus(L"Installing client task..");
  Tasks::RegisterLogonTask(Product::kLogonTask, clientPath.c_str(), L"--startup", installPath.c_str(),
                           Product::kTaskFolder);

  if (Tasks::Exists(Product::kVerifyTask, Product::kTaskFolder)) {
    SetupLog::Warning("Removing existing verify scheduled task");
    Tasks::Delete(Product::kVerifyTask, Product::kTaskFolder);
  }
  context.ReportStatus(L"Installing verify task..");
  const std::wstring setupPath = installPath + Product::kSetupExecutable;
  Tasks::RegisterVerifyTask(Product::kVerifyTask, setupPath.c_str(), L"/silent /verify", installPath.c_str(),
                            Product::kTaskFolder);
}

}  // namespace

void StartInstall(Setup::Context& context, bool update) {
  const SetupFlags& flags = SetupFlags::Instance();
  const std::wstring& installPath = context.installPath;
  SetupLog::Info("Starting installation into %S", installPath);
  ImportInstalledPrerequisites(installPath);

  if (IsLegacyInstalled()) {
    if (!flags.legacyUninstall) throw std::runtime_error("Legacy application is still installed!");
    UninstallLegacy(context);
  }

  context.LoadManifest();
  EnsureDirectory(installPath);
  InstallPrerequisites(context, update);
  const std::vector<PendingMove> moves = StageProductFiles(context, update);

  PauseTasks(context);
  // From here on a failure leaves the product stopped unless it is started
  // again after the run; StartProduct below is the run's own start. Queued
  // after the tasks' re-enabling, so the logon task runs again by then.
  Setup::DeferredTask* restart = context.AddDeferredTask("restart product", RestartProductAfterFailure);
  StopProduct(context);

  if (!flags.loginCode.empty()) OpenProductKey(true).SetString(L"LoginCode", flags.loginCode);
  RemoveFile(installPath + L"manifest_uuid.txt");
  CommitStagedFiles(moves, [&context](const PendingMove& move) { MoveRunningSetupAside(context, move); });
  WriteAppVersionFile(installPath, context.manifest.appVersion);

  ConfigureService(context);
  const std::wstring clientPath = installPath + Product::kClientExecutable;
  RegisterTasks(context, clientPath);

  context.ReportStatus(L"Installing protocol handler..");
  RegisterProtocolHandler(clientPath);

  context.ReportStatus(L"Creating shortcuts..");
  if (!update) CreateShortcut(clientPath, GetCommonDesktopFolder() + Product::kShortcutName);
  CreateShortcut(clientPath, GetCommonProgramsFolder() + Product::kShortcutName);

  context.ReportStatus(L"Creating uninstall entry..");
  const uint64_t kib = (FolderSizeBytes(installPath) + 1023) / 1024;
  WriteUninstallEntry({clientPath, L"--uninstall", context.manifest.appVersion, installPath,
                       static_cast<uint32_t>(std::min<uint64_t>(kib, UINT32_MAX))});

  restart->active = false;
  StartProduct(context);
}

}  // namespace Flows
