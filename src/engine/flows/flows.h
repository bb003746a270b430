#pragma once
#include "engine/context.h"

namespace Flows {
void StartInstall(Setup::Context& context, bool update);
void StartUninstall(Setup::Context& context);
void StartVerify(Setup::Context& context);
void RepairPrerequisites(Setup::Context& context);
void UninstallLegacy(Setup::Context& context);
}  // namespace Flows

// Start/stop of the product (service, client, scanner).
void StopProduct(Setup::Context& context);
void ForceStopService(Setup::Context& context);
void StartProduct(Setup::Context& context);

// The legacy product, Morvex.
std::wstring GetLegacyInstallPath();
bool IsLegacyInstalled();
