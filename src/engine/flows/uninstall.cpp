// The uninstall flow: removes everything the install created, after the
// authorization check.
#include <fmt/format.h>

#include <algorithm>
#include <cwctype>

#include "app/flags.h"
#include "app/log.h"
#include "app/text.h"
#include "engine/flows/flows.h"
#include "engine/flows/product_names.h"
#include "engine/uninstall_token.h"
#include "system/errors.h"
#include "system/files.h"
#include "system/registry.h"
#include "system/services.h"
#include "system/tasks.h"

namespace Flows {
namespace {

constexpr uint32_t kNotSameDevice = 17;  // ERROR_NOT_SAME_DEVICE

bool EqualIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
         });
}

// The install folder's parent (Program Files): on its volume, and only
// administrators and SYSTEM can make anything there, so no other account can
// have taken the name first. The temporary folder is neither: every user can
// create entries in SYSTEM's C:\Windows\Temp, and an administrator's own
// %TEMP% is open to their unelevated programs.
std::wstring ParentFolder(const std::wstring& installPath) {
  std::wstring folder = installPath;
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder.substr(0, folder.rfind(L'\\') + 1);
}

// Moves the running setup out of the folder about to be deleted; the copy is
// deleted at the next restart. False when it has to stay until then (its
// destination on another volume).
bool MoveSetupOutOfInstallFolder(const std::wstring& installPath) {
  const SetupFlags& flags = SetupFlags::Instance();
  if (!EqualIgnoringCase(flags.setupDirectory, installPath)) return true;
  const std::wstring source = flags.setupDirectory + flags.setupFileName;
  const std::wstring destination = ParentFolder(installPath) + Product::kMovedSetupName;
  const uint32_t error = MoveFileWithFlags(source, destination, kMoveReplaceExisting | kMoveWriteThrough);
  if (error == 0) {
    MoveFileWithFlags(destination, L"", kMoveDelayUntilReboot);
    return true;
  }
  SetupLog::Error("Unable to move setup to \"%S\" (error %u)", destination, error);
  if (error != kNotSameDevice) {
    Errors::ThrowSystem(error, fmt::format("Unable to move setup to \"{}\"", Text::ToUtf8(destination)));
  }
  MoveFileWithFlags(source, L"", kMoveDelayUntilReboot);
  SetupLog::Warning(
      "Leaving behind setup executable as we can not move it to a different disk! It will be deleted "
      "on restart.");
  return false;
}

// False when something is left for the next restart to delete: what is in
// use (or held open by another program) cannot go now.
bool DeleteInstallFolder(Setup::Context& context) {
  const std::wstring& installPath = context.installPath;
  if (!DirectoryExists(installPath)) return true;
  context.ReportStatus(L"Deleting program files..");
  std::wstring folder = installPath;
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  const int result = DeleteDirectoryTree(folder);
  if (result == 0) return true;
  SetupLog::Error("Unable to delete program files directory: error %d", result);
  // A folder goes at restart only when it is empty by then: what it holds
  // is registered first, deepest first.
  for (const std::wstring& entry : ListFolderTree(folder)) MoveFileWithFlags(entry, L"", kMoveDelayUntilReboot);
  MoveFileWithFlags(installPath, L"", kMoveDelayUntilReboot);
  SetupLog::Warning("Leaving behind program files directory! It will be deleted on restart, if possible.");
  return false;
}

}  // namespace

void StartUninstall(Setup::Context& context) {
  context.ReportStatus(L"Validating uninstall..");
  CheckUninstallAuthorization("uninstall");
  PauseTasks(context);
  StopProduct(context);
  const bool setupMoved = MoveSetupOutOfInstallFolder(context.installPath);

  context.ReportStatus(L"Deleting uninstall entry..");
  RemoveUninstallEntry();
  context.ReportStatus(L"Deleting shortcuts..");
  RemoveFile(GetCommonDesktopFolder() + Product::kShortcutName);
  RemoveFile(GetCommonProgramsFolder() + Product::kShortcutName);
  context.ReportStatus(L"Uninstalling protocol handler..");
  UnregisterProtocolHandler();

  if (Tasks::Exists(Product::kVerifyTask, Product::kTaskFolder)) {
    context.ReportStatus(L"Uninstalling verify task..");
    Tasks::Delete(Product::kVerifyTask, Product::kTaskFolder);
  }
  if (Services::IsInstalled(Product::kServiceName)) {
    context.ReportStatus(L"Uninstalling service..");
    Services::Uninstall(Product::kServiceName);
  }
  if (Tasks::Exists(Product::kLogonTask, Product::kTaskFolder)) {
    context.ReportStatus(L"Uninstalling client task..");
    Tasks::Delete(Product::kLogonTask, Product::kTaskFolder);
  }
  const bool folderDeleted = DeleteInstallFolder(context);

  context.ReportStatus(L"Deleting registry keys..");
  RemoveProductKey();
  context.restartRequired = !setupMoved || !folderDeleted;
}

}  // namespace Flows
