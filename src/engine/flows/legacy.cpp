// The predecessor product, Morvex: detection and removal through its own
// uninstaller.
#include <fmt/format.h>

#include <stdexcept>

#include "app/text.h"
#include "engine/flows/flows.h"
#include "system/files.h"
#include "system/services.h"
#include "system/tasks.h"

namespace {
constexpr wchar_t kLegacyServiceName[] = L"Morvex";
constexpr wchar_t kLegacyLogonTask[] = L"MorvexLogon";
constexpr wchar_t kLegacyUninstaller[] = L"Morvex.Setup.exe";
constexpr wchar_t kLegacyUninstallArguments[] = L"/silent /uninstall";
}  // namespace

std::wstring GetLegacyInstallPath() { return GetProgramFilesFolder() + L"\\Tandrel Morvex\\"; }

bool IsLegacyInstalled() {
  return Services::IsInstalled(kLegacyServiceName) || Tasks::Exists(kLegacyLogonTask, L"\\") ||
         DirectoryExists(GetLegacyInstallPath());
}

namespace Flows {

void UninstallLegacy(Setup::Context& context) {
  context.ReportStatus(L"Uninstalling legacy build..");
  const std::wstring path = GetLegacyInstallPath() + kLegacyUninstaller;
  if (!PathExists(path)) {
    throw std::runtime_error(fmt::format("Unable to find legacy setup file \"{}\" for uninstall", Text::ToUtf8(path)));
  }
  const uint32_t exitCode = RunProcess(path, kLegacyUninstallArguments, true);
  if (exitCode != 0) {
    throw std::runtime_error(fmt::format("Legacy setup failed with exit code {}", static_cast<int32_t>(exitCode)));
  }
}

}  // namespace Flows
