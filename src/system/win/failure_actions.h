#pragma once
// The seam's recovery actions as ChangeServiceConfig2W takes them
// (SERVICE_CONFIG_FAILURE_ACTIONS).
#include <windows.h>

#include "system/scm_api.h"

namespace ScmApi {

// Restart after each delay, in order; no reboot message, no command. The
// result points into `actions`, which must outlive it.
SERVICE_FAILURE_ACTIONSW FailureActions(const RecoveryActions& recovery, SC_ACTION (&actions)[3]);

}  // namespace ScmApi
