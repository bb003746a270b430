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
// After a run that failed once it had begun to stop the product: the service
// started again (its recovery actions set again) and the clients through the
// logon task in every user session, as a silent run starts them.
void RestartProductAfterFailure();
// Keeps both tasks from starting anything while the product's files are
// replaced or removed: disables them, stops a verify run under way, and
// queues their re-enabling after the flow, whatever its outcome.
void PauseTasks(Setup::Context& context);
// Runs the logon task in each user session; a session the Task Scheduler
// refuses is a WARNING, and the others still get theirs.
void RunLogonTaskInSession(uint32_t session);

// The legacy product, Morvex.
std::wstring GetLegacyInstallPath();
bool IsLegacyInstalled();
