// The uninstall flow: removes everything the install created, after the
// authorization check.
#include <fmt/format.h>

#include <algorithm>
#include <cwctype>
#include <stdexcept>

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

// Moves the running setup out of the folder about to be deleted. False when
// it has to stay until the next restart (temporary folder on another volume).
bool MoveSetupOutOfInstallFolder(const std::wstring& installPath) {
  const SetupFlags& flags = SetupFlags::Instance();
  if (!EqualIgnoringCase(flags.setupDirectory, installPath)) return true;
  const std::wstring source = flags.setupDirectory + flags.setupFileName;
  const std::wstring destination = GetTempDirectory() + Product::kMovedSetupName;
  const uint32_t error = MoveFileWithFlags(source, destination, kMoveReplaceExisting | kMoveWriteThrough);
  if (error == 0) return true;
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

void DeleteInstallFolder(Setup::Context& context, bool setupMoved) {
  const std::wstring& installPath = context.installPath;
  if (!DirectoryExists(installPath)) return;
  context.ReportStatus(L"Deleting program files..");
  std::wstring folder = installPath;
  if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  const int result = DeleteDirectoryTree(folder);
  if (result == 0) return;
  SetupLog::Error("Unable to delete program files directory: error %d", result);
  if (setupMoved) throw std::runtime_error(fmt::format("Unable to delete program files directory: error {}", result));
  MoveFileWithFlags(installPath, L"", kMoveDelayUntilReboot);
  SetupLog::Warning("Leaving behind program files directory! It will be deleted on restart, if possible.");
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
  DeleteInstallFolder(context, setupMoved);

  context.ReportStatus(L"Deleting registry keys..");
  RemoveProductKey();
  context.restartRequired = !setupMoved;
}

}  // namespace Flows
