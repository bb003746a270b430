// The Service Control Manager calls of advapi32, shaped for Services::.
#include <windows.h>
// The seam's own names; the header's macros would rename them.
#undef OpenService
#undef CreateService

#include "system/scm_api.h"
#include "system/win/failure_actions.h"

namespace ScmApi {

namespace {

SC_HANDLE Sc(Handle handle) { return static_cast<SC_HANDLE>(handle); }

void Copy(const SERVICE_STATUS& from, Status& to) {
  to.currentState = from.dwCurrentState;
  to.checkPoint = from.dwCheckPoint;
  to.waitHint = from.dwWaitHint;
}

}  // namespace

Handle OpenManager(uint32_t access) { return OpenSCManagerW(nullptr, nullptr, access); }

Handle OpenService(Handle manager, const wchar_t* name, uint32_t access) {
  return OpenServiceW(Sc(manager), name, access);
}

Handle CreateService(Handle manager, const wchar_t* name, const wchar_t* displayName, uint32_t access,
                     const wchar_t* binaryPath) {
  return CreateServiceW(Sc(manager), name, displayName, access, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                        SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr);
}

SERVICE_FAILURE_ACTIONSW FailureActions(const RecoveryActions& recovery, SC_ACTION (&actions)[3]) {
  for (int i = 0; i < 3; ++i) actions[i] = {SC_ACTION_RESTART, recovery.restartDelaysMs[i]};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = recovery.resetPeriodSeconds;
  failure.lpRebootMsg = nullptr;
  failure.lpCommand = nullptr;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  return failure;
}

bool SetRecoveryActions(Handle service, const RecoveryActions& recovery) {
  SC_ACTION actions[3];
  SERVICE_FAILURE_ACTIONSW failure = FailureActions(recovery, actions);
  return ChangeServiceConfig2W(Sc(service), SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
}

bool ClearRecoveryActions(Handle service) {
  // No actions, but an array: that deletes them (a null array changes nothing).
  SC_ACTION none{};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.cActions = 0;
  failure.lpsaActions = &none;
  return ChangeServiceConfig2W(Sc(service), SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
}

bool ChangeConfig(Handle service, const wchar_t* displayName, const wchar_t* binaryPath) {
  // Empty texts clear the group and the dependencies (a double null ends
  // the list); LocalSystem takes an empty password.
  return ChangeServiceConfigW(Sc(service), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              binaryPath, L"", nullptr, L"\0", L"LocalSystem", L"", displayName) != FALSE;
}

bool QueryStatus(Handle service, Status& status) {
  SERVICE_STATUS raw{};
  if (!QueryServiceStatus(Sc(service), &raw)) return false;
  Copy(raw, status);
  return true;
}

bool QueryStatusEx(Handle service, Status& status) {
  SERVICE_STATUS_PROCESS raw{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(Sc(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&raw), sizeof(raw), &needed)) {
    return false;
  }
  status.currentState = raw.dwCurrentState;
  status.checkPoint = raw.dwCheckPoint;
  status.waitHint = raw.dwWaitHint;
  status.processId = raw.dwProcessId;
  return true;
}

bool ControlStop(Handle service, Status& status) {
  SERVICE_STATUS raw{};
  if (!ControlService(Sc(service), SERVICE_CONTROL_STOP, &raw)) return false;
  Copy(raw, status);
  return true;
}

bool Delete(Handle service) { return DeleteService(Sc(service)) != FALSE; }

bool QueryConfigSize(Handle service, uint32_t& bytesNeeded) {
  DWORD needed = 0;
  const BOOL result = QueryServiceConfigW(Sc(service), nullptr, 0, &needed);
  bytesNeeded = needed;
  return result != FALSE;
}

bool QueryConfig(Handle service, void* buffer, uint32_t bytes, uint32_t& startType) {
  DWORD needed = 0;
  auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(buffer);
  if (!QueryServiceConfigW(Sc(service), config, bytes, &needed)) return false;
  startType = config->dwStartType;
  return true;
}

bool ChangeStartType(Handle service, uint32_t startType) {
  return ChangeServiceConfigW(Sc(service), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr) != FALSE;
}

bool Start(Handle service) { return StartServiceW(Sc(service), 0, nullptr) != FALSE; }

bool Close(Handle handle) { return CloseServiceHandle(Sc(handle)) != FALSE; }

uint32_t LastError() { return GetLastError(); }

void* OpenProcessForWait(uint32_t processId) { return OpenProcess(SYNCHRONIZE, FALSE, processId); }

uint32_t WaitForProcess(void* process, uint32_t timeoutMs) { return WaitForSingleObject(process, timeoutMs); }

void CloseProcess(void* process) { CloseHandle(process); }

}  // namespace ScmApi
