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
#include "engine/flows/flows.h"
#include "engine/flows/product_names.h"
#include "net/http.h"
#include "staging/staging.h"
#include "system/clock.h"
#include "system/files.h"
#include "system/registry.h"
#include "system/services.h"
#include "system/tasks.h"

namespace Flows {
namespace {

// A service that stays marked for deletion (someone holds a handle to it)
// would otherwise keep the setup waiting for ever.
constexpr int kServiceDeletePolls = 120;
constexpr uint32_t kServiceDeletePollMs = 1000;

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

// The running setup is about to be replaced by its own download: it moves
// aside so that the new file can take its name.
void MoveRunningSetupAside(const ManifestFile& file, const std::wstring& finalPath, const std::wstring& installPath) {
  const SetupFlags& flags = SetupFlags::Instance();
  if (file.path != flags.setupFileName || installPath != flags.setupDirectory ||
      finalPath != flags.setupDirectory + Product::kSetupExecutable) {
    return;
  }
  const std::wstring renamed = flags.setupDirectory + Product::kMovedSetupName;
  SetupLog::Info("Renaming setup from \"%S\" to \"%S\"..", finalPath, renamed);
  MoveFileWithFlags(finalPath, renamed, kMoveReplaceExisting | kMoveWriteThrough);
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
    PendingMove move = StageFile(context, session, file, finalPath);
    MoveRunningSetupAside(file, finalPath, installPath);
    moves.push_back(std::move(move));
    context.ReportProgress(100);
  }
  return moves;
}

void PauseVerifyTask(Setup::Context& context) {
  if (!Tasks::Exists(Product::kVerifyTask, Product::kTaskFolder)) return;
  Tasks::SetEnabled(Product::kVerifyTask, false, Product::kTaskFolder);
  context.AddDeferredTask("re-enable verify task",
                          [] { Tasks::SetEnabled(Product::kVerifyTask, true, Product::kTaskFolder); });
}

void ReinstallService(Setup::Context& context) {
  if (Services::IsInstalled(Product::kServiceName)) {
    context.ReportStatus(L"Uninstalling existing service..");
    Services::Uninstall(Product::kServiceName);
    int polls = 0;
    while (Services::IsInstalled(Product::kServiceName)) {
      if (++polls > kServiceDeletePolls) throw std::runtime_error("Timed out while uninstalling existing service");
      Clock::SleepMs(kServiceDeletePollMs);
    }
  }
  context.ReportStatus(L"Installing service..");
  const std::wstring binaryPath = fmt::format(L"\"{}{}\"", context.installPath, Product::kServiceExecutable);
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

  PauseVerifyTask(context);
  StopProduct(context);

  if (!flags.loginCode.empty()) OpenProductKey(true).SetString(L"LoginCode", flags.loginCode);
  RemoveFile(installPath + L"manifest_uuid.txt");
  CommitStagedFiles(moves);
  WriteAppVersionFile(installPath, context.manifest.appVersion);

  ReinstallService(context);
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

  StartProduct(context);
}

}  // namespace Flows
