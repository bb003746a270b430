#pragma once
// Set-up and inspection of the double's Service Control Manager.
#include <cstdint>
#include <optional>
#include <string>

#include "system/scm_api.h"

namespace Double::Scm {

// How a scripted service answers its controls. A pending phase lasts for the
// given number of status queries, raising the check point on each; -1 means
// it never ends and the check point stays put.
struct Script {
  int startPendingQueries = 0;
  int stopPendingQueries = 0;
  uint32_t waitHint = 2000;
  bool processLingersAfterStop = false;  // stopped, but its process stays
  // OpenService calls, once a service marked for deletion has stopped and no
  // handle to it is left open, before it is gone (until then it stays).
  int deletePolls = 0;
  bool ignoresStop = false;  // takes the stop control and keeps running
};

struct Service {
  std::wstring name;
  std::wstring displayName;
  std::wstring binaryPath;
  uint32_t startType = 2;
  uint32_t state = 1;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
  uint32_t processId = 0;
  std::optional<ScmApi::RecoveryActions> recoveryActions;  // as last set; none once cleared
  int restarts = 0;  // by the recovery actions, after its process ended without a stop
  bool markedForDeletion = false;
  int startCalls = 0;
  int stopControls = 0;
};

// Adds a service as an earlier install left it, recovery actions included
// (state 4: with a running process named as the binary path's file).
void AddService(const std::wstring& name, uint32_t state = 4, uint32_t startType = 2,
                const std::wstring& binaryPath = L"\"C:\\Program Files\\Valdrix\\Valdrix.Desktop.Service.exe\"");
// Removes a service at once, as its own uninstaller would.
void RemoveService(const std::wstring& name);
void SetScript(const std::wstring& name, Script script);
std::optional<Service> Find(const std::wstring& name);
// Services created through CreateService, counted since Reset.
int CreatedCount();
// SCM and service handles opened and not yet closed (leak check).
int OpenHandles();

}  // namespace Double::Scm
