// In-memory processes, sessions, process starts and SafeHandle.
#include "double/processes.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "app/text.h"
#include "double/double.h"
#include "double/files.h"
#include "double/path_key.h"
#include "double/system.h"
#include "system/errors.h"
#include "system/files.h"
#include "system/safe_handle.h"
#include "system/user_sessions.h"

namespace Double::Processes {
namespace {

constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kStillActive = 259;

struct Entry {
  Process process;
  uint32_t terminationError = 0;
};

struct HandleRecord {
  uint32_t pid;
};

struct State {
  std::recursive_mutex lock;
  std::vector<Entry> running;
  std::vector<uint32_t> terminated;
  uint32_t nextPid = 1000;
  std::map<std::wstring, Script> scripts;
  std::vector<RunCall> runs;
  std::vector<Session> sessions;
  uint32_t ownSession = 1;
  std::set<HandleRecord*> handles;
  std::vector<std::function<void(uint32_t)>> listeners;
};

State& S() {
  static State state;
  return state;
}

const bool kRegistered = [] {
  Double::RegisterReset([] {
    std::lock_guard guard(S().lock);
    S().running.clear();
    S().terminated.clear();
    S().nextPid = 1000;
    S().scripts.clear();
    S().runs.clear();
    S().sessions = {{1, kSessionActive, L"user1"}};
    S().ownSession = 1;
    for (HandleRecord* record : S().handles) delete record;
    S().handles.clear();
  });
  return true;
}();

Entry* FindEntry(uint32_t pid) {
  auto it = std::find_if(S().running.begin(), S().running.end(), [&](const Entry& e) { return e.process.pid == pid; });
  return it == S().running.end() ? nullptr : &*it;
}

void End(uint32_t pid) {
  std::vector<std::function<void(uint32_t)>> listeners;
  {
    std::lock_guard guard(S().lock);
    auto it =
        std::find_if(S().running.begin(), S().running.end(), [&](const Entry& e) { return e.process.pid == pid; });
    if (it == S().running.end()) return;
    S().running.erase(it);
    S().terminated.push_back(pid);
    listeners = S().listeners;
  }
  for (auto& listener : listeners) listener(pid);
}

}  // namespace

uint32_t Start(const std::wstring& executable, uint32_t session, uint32_t terminationError) {
  std::lock_guard guard(S().lock);
  const uint32_t pid = S().nextPid;
  S().nextPid += 4;
  const bool byPath = executable.find(L'\\') != std::wstring::npos;
  S().running.push_back({{Double::FileNameOf(executable), byPath ? executable : L"", session, pid}, terminationError});
  return pid;
}

bool IsAlive(uint32_t pid) {
  std::lock_guard guard(S().lock);
  return FindEntry(pid) != nullptr;
}

void Kill(uint32_t pid) { End(pid); }

std::vector<Process> Running() {
  std::lock_guard guard(S().lock);
  std::vector<Process> list;
  for (const auto& entry : S().running) list.push_back(entry.process);
  return list;
}

int CountRunning(const std::wstring& name) {
  std::lock_guard guard(S().lock);
  return static_cast<int>(
      std::count_if(S().running.begin(), S().running.end(), [&](const Entry& e) { return e.process.name == name; }));
}

std::vector<uint32_t> TerminatedPids() {
  std::lock_guard guard(S().lock);
  return S().terminated;
}

void OnExit(std::function<void(uint32_t)> listener) {
  std::lock_guard guard(S().lock);
  S().listeners.push_back(std::move(listener));
}

void OnRun(const std::wstring& path, Script script) {
  std::lock_guard guard(S().lock);
  S().scripts[Double::PathKey(path)] = std::move(script);
}

std::vector<RunCall> Runs() {
  std::lock_guard guard(S().lock);
  return S().runs;
}

void SetListedSessions(std::vector<Session> sessions) {
  std::lock_guard guard(S().lock);
  S().sessions = std::move(sessions);
}

void SetSessions(const std::vector<uint32_t>& ids) {
  std::vector<Session> sessions;
  for (uint32_t id : ids) sessions.push_back({id, kSessionActive, L"user" + std::to_wstring(id)});
  SetListedSessions(std::move(sessions));
}

void SetOwnSessionId(uint32_t session) {
  std::lock_guard guard(S().lock);
  S().ownSession = session;
}

int OpenHandles() {
  std::lock_guard guard(S().lock);
  return static_cast<int>(S().handles.size());
}

// Releases a handle made by FindProcessesByName; false for a value the double
// never handed out.
bool CloseHandleRecord(void* handle) {
  std::lock_guard guard(S().lock);
  auto* record = static_cast<HandleRecord*>(handle);
  if (!S().handles.erase(record)) return false;
  delete record;
  return true;
}

}  // namespace Double::Processes

using namespace Double::Processes;

SafeHandle::~SafeHandle() {
  if (handle_) CloseHandleRecord(handle_);
}

SafeHandle& SafeHandle::operator=(SafeHandle&& other) noexcept {
  if (this != &other) {
    if (handle_) CloseHandleRecord(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void SafeHandle::Close() {
  if (!handle_) return;
  if (auto error = Double::TakeFault("SafeHandle::Close")) Errors::ThrowSystem(*error, "Unable to close safe handle");
  CloseHandleRecord(handle_);
  handle_ = nullptr;
}

namespace {

std::vector<SafeHandle> FindProcesses(const std::function<bool(const Process&)>& matches) {
  std::lock_guard guard(S().lock);
  if (auto error = Double::TakeFault("EnumProcesses")) Errors::ThrowSystem(*error, "Unable to enumerate process list");
  std::vector<SafeHandle> found;
  for (const auto& entry : S().running) {
    if (!matches(entry.process)) continue;
    auto* record = new HandleRecord{entry.process.pid};
    S().handles.insert(record);
    found.emplace_back(record);
  }
  return found;
}

}  // namespace

std::vector<SafeHandle> FindProcessesByName(std::wstring_view executableName) {
  return FindProcesses([&](const Process& process) { return process.name == executableName; });
}

std::vector<SafeHandle> FindProcessesByImage(std::wstring_view imagePath) {
  return FindProcesses([&](const Process& process) {
    return !process.image.empty() && Double::PathKey(process.image) == Double::PathKey(imagePath);
  });
}

int32_t StopProcessesByName(std::wstring_view executableName) {
  std::vector<SafeHandle> processes = FindProcessesByName(executableName);
  // Processes of session 0 run as SYSTEM (the service): an administrator may
  // end them only with "SeDebugPrivilege" enabled.
  const bool debugPrivilege = Double::System::DebugPrivilegeEnabled();
  for (const auto& process : processes) {
    const uint32_t pid = static_cast<HandleRecord*>(process.Get())->pid;
    uint32_t error = Double::TakeFault("TerminateProcess").value_or(0);
    {
      std::lock_guard guard(S().lock);
      if (!error) {
        if (Entry* entry = FindEntry(pid)) error = entry->terminationError;
      }
      if (!error && !debugPrivilege) {
        if (Entry* entry = FindEntry(pid); entry && entry->process.session == 0) error = kAccessDenied;
      }
    }
    if (error == kAccessDenied) continue;
    if (error) Errors::ThrowSystem(error, fmt::format("Unable to stop process \"{}\"", Text::ToUtf8(executableName)));
    End(pid);
  }
  return static_cast<int32_t>(processes.size());
}

namespace {

uint32_t Run(RunCall call) {
  Script script;
  call.debugPrivilege = Double::System::DebugPrivilegeEnabled();
  {
    std::lock_guard guard(S().lock);
    S().runs.push_back(call);
    if (auto it = S().scripts.find(Double::PathKey(call.path)); it != S().scripts.end()) script = it->second;
  }
  uint32_t error = Double::TakeFault("RunProcess").value_or(script.startError);
  if (!error && !Double::Files::IsFile(call.path)) error = kFileNotFound;
  if (error) Errors::ThrowSystem(error, fmt::format("Unable to start \"{}\"", Text::ToUtf8(call.path)));
  if (script.effect) script.effect();
  if (call.wait) return script.exitCode;
  std::lock_guard guard(S().lock);
  Start(call.path, S().ownSession);
  return kStillActive;
}

}  // namespace

uint32_t RunProcess(std::wstring_view executablePath, std::wstring_view arguments, bool wait) {
  return Run({std::wstring(executablePath), std::wstring(arguments), wait, {}, false, {}});
}

uint32_t RunInstaller(std::wstring_view executablePath, std::wstring_view arguments, std::wstring_view tempFolder) {
  return Run({std::wstring(executablePath), std::wstring(arguments), true, {}, false, std::wstring(tempFolder)});
}

uint32_t RunProcessWithArguments(std::wstring_view executablePath, const std::vector<std::wstring>& arguments,
                                 bool wait) {
  // The quoted string is the real layer's business; the double keeps the list.
  return Run({std::wstring(executablePath), {}, wait, arguments, true, {}});
}

bool GetProcessSessionId(const SafeHandle& process, uint32_t& sessionId, uint32_t& error) {
  if (auto fault = Double::TakeFault("GetProcessSessionId")) {
    error = *fault;
    return false;
  }
  std::lock_guard guard(S().lock);
  auto* record = static_cast<HandleRecord*>(process.Get());
  Entry* entry = record && S().handles.count(record) ? FindEntry(record->pid) : nullptr;
  if (!entry) {
    error = kInvalidParameter;
    return false;
  }
  sessionId = entry->process.session;
  return true;
}

uint32_t GetOwnSessionId() {
  std::lock_guard guard(S().lock);
  return S().ownSession;
}

std::vector<uint32_t> GetUserSessionIds() {
  std::lock_guard guard(S().lock);
  if (Double::TakeFault("WTSEnumerateSessions")) return {};
  std::vector<ListedSession> listed;
  for (const Session& session : S().sessions) listed.push_back({session.id, session.state});
  return SelectUserSessions(listed, [](uint32_t id) {
    for (const Session& session : S().sessions) {
      if (session.id == id) return session.user;
    }
    return std::wstring();
  });
}
