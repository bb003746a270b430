// In-memory Service Control Manager with scripted services behind ScmApi.
#include "double/scm.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "double/clock.h"
#include "double/double.h"
#include "double/path_key.h"
#include "double/processes.h"
#include "system/scm_api.h"

namespace Double::Scm {
namespace {

constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kServiceAlreadyRunning = 1056;
constexpr uint32_t kServiceDisabled = 1058;
constexpr uint32_t kInvalidServiceControl = 1052;
constexpr uint32_t kServiceDoesNotExist = 1060;
constexpr uint32_t kServiceNotActive = 1062;
constexpr uint32_t kServiceMarkedForDelete = 1072;
constexpr uint32_t kServiceExists = 1073;
constexpr uint32_t kConfigBytes = 256;
constexpr ScmApi::RecoveryActions kInstalledRecoveryActions{60, {5000, 10000, 30000}};

struct Entry {
  Service service;
  Script script;
  int pendingLeft = 0;
  int deletePollsLeft = 0;
};

struct Handle {
  bool manager;
  uint32_t access;
  std::wstring key;  // service key; empty for the manager
};

struct State {
  std::recursive_mutex lock;
  std::map<std::wstring, Entry> services;
  std::set<Handle*> handles;
  std::set<void*> processHandles;
  uint32_t lastError = 0;
  int created = 0;
};

State& S() {
  static State state;
  return state;
}

std::wstring ProcessNameOf(const std::wstring& binaryPath) {
  std::wstring path = binaryPath;
  if (!path.empty() && path.front() == L'"') {
    const size_t close = path.find(L'"', 1);
    path = path.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
  }
  return Double::FileNameOf(path);
}

void StartProcess(Entry& entry);

// A service whose process ends without having reported "stopped" has
// failed; with recovery actions the manager starts it again (Windows after
// the action's delay, the double at once).
void ServiceProcessEnded(uint32_t pid) {
  std::lock_guard guard(S().lock);
  for (auto& [key, entry] : S().services) {
    if (entry.service.processId != pid) continue;
    entry.service.processId = 0;
    entry.service.checkPoint = entry.service.waitHint = 0;
    if (entry.service.state != ScmApi::kStopped && entry.service.recoveryActions && !entry.service.markedForDeletion) {
      entry.service.state = ScmApi::kRunning;
      ++entry.service.restarts;
      StartProcess(entry);
    } else {
      entry.service.state = ScmApi::kStopped;
    }
  }
}

const bool kRegistered = [] {
  Double::RegisterReset([] {
    std::lock_guard guard(S().lock);
    S().services.clear();
    for (Handle* handle : S().handles) delete handle;
    S().handles.clear();
    S().processHandles.clear();
    S().lastError = 0;
    S().created = 0;
  });
  // A service whose process is terminated is stopped.
  Double::Processes::OnExit(ServiceProcessEnded);
  return true;
}();

bool Fail(uint32_t error) {
  S().lastError = error;
  return false;
}

std::optional<uint32_t> Fault(const char* operation) { return Double::TakeFault(operation); }

Handle* AsHandle(ScmApi::Handle handle) {
  auto* h = static_cast<Handle*>(handle);
  return S().handles.count(h) ? h : nullptr;
}

// The service behind a handle with the access the call needs; null with the
// error set otherwise.
Entry* ServiceFor(ScmApi::Handle handle, uint32_t access) {
  Handle* h = AsHandle(handle);
  if (!h || h->manager) {
    Fail(kInvalidHandle);
    return nullptr;
  }
  if ((h->access & access) != access) {
    Fail(kAccessDenied);
    return nullptr;
  }
  auto it = S().services.find(h->key);
  if (it == S().services.end()) {
    Fail(kInvalidHandle);
    return nullptr;
  }
  return &it->second;
}

void StartProcess(Entry& entry) {
  entry.service.processId = Double::Processes::Start(ProcessNameOf(entry.service.binaryPath), 0);
}

// A pending phase advances by one status query.
void Advance(Entry& entry) {
  Service& service = entry.service;
  if (service.state != ScmApi::kStartPending && service.state != ScmApi::kStopPending) return;
  if (entry.pendingLeft < 0) return;
  if (entry.pendingLeft > 0) {
    --entry.pendingLeft;
    ++service.checkPoint;
    return;
  }
  service.checkPoint = service.waitHint = 0;
  if (service.state == ScmApi::kStartPending) {
    service.state = ScmApi::kRunning;
  } else {
    service.state = ScmApi::kStopped;
    const uint32_t pid = service.processId;
    if (!entry.script.processLingersAfterStop) {
      service.processId = 0;
      Double::Processes::Kill(pid);
    }
  }
}

void FillStatus(const Service& service, ScmApi::Status& status) {
  status.currentState = service.state;
  status.checkPoint = service.checkPoint;
  status.waitHint = service.waitHint;
}

}  // namespace

void AddService(const std::wstring& name, uint32_t state, uint32_t startType, const std::wstring& binaryPath) {
  std::lock_guard guard(S().lock);
  Entry entry;
  entry.service.name = entry.service.displayName = name;
  entry.service.binaryPath = binaryPath;
  entry.service.startType = startType;
  entry.service.state = state;
  entry.service.recoveryActions = kInstalledRecoveryActions;
  if (state != ScmApi::kStopped) StartProcess(entry);
  S().services[Double::Lower(name)] = entry;
}

void RemoveService(const std::wstring& name) {
  std::lock_guard guard(S().lock);
  S().services.erase(Double::Lower(name));
}

void SetScript(const std::wstring& name, Script script) {
  std::lock_guard guard(S().lock);
  auto it = S().services.find(Double::Lower(name));
  if (it != S().services.end()) it->second.script = script;
}

std::optional<Service> Find(const std::wstring& name) {
  std::lock_guard guard(S().lock);
  auto it = S().services.find(Double::Lower(name));
  if (it == S().services.end()) return std::nullopt;
  return it->second.service;
}

int CreatedCount() {
  std::lock_guard guard(S().lock);
  return S().created;
}

int OpenHandles() {
  std::lock_guard guard(S().lock);
  return static_cast<int>(S().handles.size() + S().processHandles.size());
}

}  // namespace Double::Scm

namespace ScmApi {

using namespace Double::Scm;

Handle OpenManager(uint32_t access) {
  std::lock_guard guard(S().lock);
  if (auto error = Fault("ScmApi::OpenManager")) {
    Fail(*error);
    return nullptr;
  }
  auto* handle = new Double::Scm::Handle{true, access, {}};
  S().handles.insert(handle);
  return handle;
}

Handle OpenService(Handle manager, const wchar_t* name, uint32_t access) {
  std::lock_guard guard(S().lock);
  auto* m = AsHandle(manager);
  if (!m || !m->manager) return Fail(kInvalidHandle), nullptr;
  if (auto error = Fault("ScmApi::OpenService")) return Fail(*error), nullptr;
  const std::wstring key = Double::Lower(name);
  auto it = S().services.find(key);
  const bool held = std::any_of(S().handles.begin(), S().handles.end(),
                                [&](const Double::Scm::Handle* h) { return !h->manager && h->key == key; });
  // A service marked for deletion goes once it has stopped and nobody holds
  // it open; its stop goes on meanwhile.
  if (it != S().services.end() && it->second.service.markedForDeletion && !held) {
    if (it->second.service.state != kStopped) {
      Advance(it->second);
    } else if (it->second.deletePollsLeft <= 0) {
      S().services.erase(it);
      it = S().services.end();
    } else {
      --it->second.deletePollsLeft;
    }
  }
  if (it == S().services.end()) return Fail(kServiceDoesNotExist), nullptr;
  auto* handle = new Double::Scm::Handle{false, access, key};
  S().handles.insert(handle);
  return handle;
}

Handle CreateService(Handle manager, const wchar_t* name, const wchar_t* displayName, uint32_t access,
                     const wchar_t* binaryPath) {
  std::lock_guard guard(S().lock);
  auto* m = AsHandle(manager);
  if (!m || !m->manager) return Fail(kInvalidHandle), nullptr;
  if (auto error = Fault("ScmApi::CreateService")) return Fail(*error), nullptr;
  const std::wstring key = Double::Lower(name);
  if (auto it = S().services.find(key); it != S().services.end()) {
    return Fail(it->second.service.markedForDeletion ? kServiceMarkedForDelete : kServiceExists), nullptr;
  }
  Entry entry;
  entry.service.name = name;
  entry.service.displayName = displayName;
  entry.service.binaryPath = binaryPath;
  entry.service.startType = kAutoStart;
  entry.service.state = kStopped;
  S().services[key] = entry;
  ++S().created;
  auto* handle = new Double::Scm::Handle{false, access, key};
  S().handles.insert(handle);
  return handle;
}

bool SetRecoveryActions(Handle service, const RecoveryActions& actions) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kChangeConfig);
  if (!entry) return false;
  if (auto error = Fault("ScmApi::SetRecoveryActions")) return Fail(*error);
  entry->service.recoveryActions = actions;
  return true;
}

bool ClearRecoveryActions(Handle service) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kChangeConfig);
  if (!entry) return false;
  if (auto error = Fault("ScmApi::ClearRecoveryActions")) return Fail(*error);
  entry->service.recoveryActions.reset();
  return true;
}

bool ChangeConfig(Handle service, const wchar_t* displayName, const wchar_t* binaryPath) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kChangeConfig);
  if (!entry) return false;
  if (auto error = Fault("ScmApi::ChangeConfig")) return Fail(*error);
  if (entry->service.markedForDeletion) return Fail(kMarkedForDelete);
  entry->service.displayName = displayName;
  entry->service.binaryPath = binaryPath;
  entry->service.startType = kAutoStart;
  return true;
}

bool QueryStatus(Handle service, Status& status) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kQueryStatus);
  if (!entry) return false;
  if (auto error = Fault("ScmApi::QueryStatus")) return Fail(*error);
  Advance(*entry);
  FillStatus(entry->service, status);
  return true;
}

bool QueryStatusEx(Handle service, Status& status) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kQueryStatus);
  if (!entry) return false;
  if (auto error = Fault("ScmApi::QueryStatusEx")) return Fail(*error);
  FillStatus(entry->service, status);
  status.processId = entry->service.processId;
  return true;
}

bool ControlStop(Handle service, Status& status) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kStop);
  if (!entry) return false;
  if (auto error = Fault("ScmApi::ControlStop")) return Fail(*error);
  Service& s = entry->service;
  // A stopped service is not active; one that is starting or stopping does
  // not accept the stop control (the answer of Wine's service manager).
  if (s.state == kStopped) return Fail(kServiceNotActive);
  if (s.state != kRunning) return Fail(kInvalidServiceControl);
  ++s.stopControls;
  if (entry->script.ignoresStop) {
    FillStatus(s, status);
    return true;
  }
  s.state = kStopPending;
  s.checkPoint = 0;
  s.waitHint = entry->script.waitHint;
  entry->pendingLeft = entry->script.stopPendingQueries;
  FillStatus(s, status);
  return true;
}

bool Delete(Handle service) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, 0x10000);  // DELETE, part of SERVICE_ALL_ACCESS
  if (!entry) return false;
  if (auto error = Fault("ScmApi::Delete")) return Fail(*error);
  if (entry->service.markedForDeletion) return Fail(kServiceMarkedForDelete);
  entry->service.markedForDeletion = true;
  entry->deletePollsLeft = entry->script.deletePolls;
  return true;
}

bool QueryConfigSize(Handle service, uint32_t& bytesNeeded) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kQueryConfig);
  if (!entry) return false;
  if (auto error = Fault("ScmApi::QueryConfigSize")) return Fail(*error);
  bytesNeeded = kConfigBytes;
  return Fail(kInsufficientBuffer);
}

bool QueryConfig(Handle service, void* buffer, uint32_t bytes, uint32_t& startType) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kQueryConfig);
  if (!entry) return false;
  if (auto error = Fault("ScmApi::QueryConfig")) return Fail(*error);
  if (!buffer || bytes < kConfigBytes) return Fail(kInsufficientBuffer);
  startType = entry->service.startType;
  return true;
}

bool ChangeStartType(Handle service, uint32_t startType) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kChangeConfig);
  if (!entry) return false;
  if (auto error = Fault("ScmApi::ChangeStartType")) return Fail(*error);
  if (startType != kNoChange) entry->service.startType = startType;
  return true;
}

bool Start(Handle service) {
  std::lock_guard guard(S().lock);
  Entry* entry = ServiceFor(service, kStart);
  if (!entry) return false;
  Service& s = entry->service;
  ++s.startCalls;
  if (auto error = Fault("ScmApi::Start")) return Fail(*error);
  if (s.startType == kDisabled) return Fail(kServiceDisabled);
  if (s.markedForDeletion) return Fail(kServiceMarkedForDelete);
  if (s.state != kStopped) return Fail(kServiceAlreadyRunning);
  s.state = kStartPending;
  s.checkPoint = 0;
  s.waitHint = entry->script.waitHint;
  entry->pendingLeft = entry->script.startPendingQueries;
  if (!s.processId) StartProcess(*entry);
  return true;
}

bool Close(Handle handle) {
  std::lock_guard guard(S().lock);
  auto* h = AsHandle(handle);
  if (!h) return Fail(kInvalidHandle);
  if (auto error = Fault("ScmApi::Close")) return Fail(*error);
  S().handles.erase(h);
  delete h;
  return true;
}

uint32_t LastError() {
  std::lock_guard guard(S().lock);
  return S().lastError;
}

void* OpenProcessForWait(uint32_t processId) {
  std::lock_guard guard(S().lock);
  if (!Double::Processes::IsAlive(processId)) {
    S().lastError = 87;
    return nullptr;
  }
  // The process id itself, offset so that it is never null, is the handle.
  void* handle = reinterpret_cast<void*>(static_cast<uintptr_t>(processId) + 1);
  S().processHandles.insert(handle);
  return handle;
}

uint32_t WaitForProcess(void* process, uint32_t timeoutMs) {
  std::lock_guard guard(S().lock);
  if (!S().processHandles.count(process)) {
    S().lastError = kInvalidHandle;
    return kWaitFailed;
  }
  if (auto error = Fault("ScmApi::WaitForProcess")) {
    S().lastError = *error;
    return kWaitFailed;
  }
  const auto pid = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(process) - 1);
  if (!Double::Processes::IsAlive(pid)) return kWaitObject0;
  Double::Clock::Advance(timeoutMs);
  return kWaitTimeout;
}

void CloseProcess(void* process) {
  std::lock_guard guard(S().lock);
  S().processHandles.erase(process);
}

}  // namespace ScmApi
