#pragma once
// The raw Service Control Manager calls that Services:: is built on, in the
// shape of the advapi32 functions they stand for. Each returns false (or null)
// on failure with the Windows error in LastError(). Implemented over advapi32
// in system/win and in memory (with scripted services) by the test double.
#include <cstdint>

namespace ScmApi {

using Handle = void*;  // SC_HANDLE

constexpr uint32_t kManagerConnect = 0x1;
constexpr uint32_t kManagerAllAccess = 0xF003F;
constexpr uint32_t kQueryConfig = 0x1;
constexpr uint32_t kChangeConfig = 0x2;
constexpr uint32_t kQueryStatus = 0x4;
constexpr uint32_t kStart = 0x10;
constexpr uint32_t kStop = 0x20;
constexpr uint32_t kAllAccess = 0xF01FF;

constexpr uint32_t kStopped = 1;
constexpr uint32_t kStartPending = 2;
constexpr uint32_t kStopPending = 3;
constexpr uint32_t kRunning = 4;

constexpr uint32_t kAutoStart = 2;
constexpr uint32_t kDemandStart = 3;
constexpr uint32_t kDisabled = 4;
constexpr uint32_t kNoChange = 0xFFFFFFFF;

constexpr uint32_t kMarkedForDelete = 1072;  // ERROR_SERVICE_MARKED_FOR_DELETE

struct Status {
  uint32_t currentState = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
  uint32_t processId = 0;  // filled by QueryStatusEx only
};

Handle OpenManager(uint32_t access);
Handle OpenService(Handle manager, const wchar_t* name, uint32_t access);
// Own-process service, automatic start, normal error control, LocalSystem.
Handle CreateService(Handle manager, const wchar_t* name, const wchar_t* displayName, uint32_t access,
                     const wchar_t* binaryPath);
// Failure actions (ChangeServiceConfig2W, SERVICE_CONFIG_FAILURE_ACTIONS): the
// n-th failure within the reset period restarts the service after the n-th
// delay; no reboot message, no command.
struct RecoveryActions {
  uint32_t resetPeriodSeconds = 0;
  uint32_t restartDelaysMs[3] = {};
  bool operator==(const RecoveryActions&) const = default;
};
bool SetRecoveryActions(Handle service, const RecoveryActions& actions);
// An empty action list (SERVICE_CONFIG_FAILURE_ACTIONS): the service manager
// no longer restarts the service when its process ends without a stop.
bool ClearRecoveryActions(Handle service);
// ChangeServiceConfigW to the settings CreateService gives: own process,
// automatic start, normal error control, LocalSystem, no group and no
// dependencies, with this binary path and display name. Fails with 1072
// (ERROR_SERVICE_MARKED_FOR_DELETE) for a service marked for deletion.
bool ChangeConfig(Handle service, const wchar_t* displayName, const wchar_t* binaryPath);
bool QueryStatus(Handle service, Status& status);
bool QueryStatusEx(Handle service, Status& status);
bool ControlStop(Handle service, Status& status);
bool Delete(Handle service);
// QueryServiceConfigW: size query (buffer null) then the read. startType out.
bool QueryConfigSize(Handle service, uint32_t& bytesNeeded);
bool QueryConfig(Handle service, void* buffer, uint32_t bytes, uint32_t& startType);
bool ChangeStartType(Handle service, uint32_t startType);
bool Start(Handle service);
bool Close(Handle handle);
uint32_t LastError();

// WaitForProcessExit's pieces: OpenProcess(SYNCHRONIZE) and the wait.
// OpenProcessForWait returns null on failure.
void* OpenProcessForWait(uint32_t processId);
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
uint32_t WaitForProcess(void* process, uint32_t timeoutMs);
void CloseProcess(void* process);

}  // namespace ScmApi
