// In-memory Task Scheduler: tasks by folder and name, runs in sessions.
#include "double/tasks.h"

#include <map>
#include <mutex>

#include "double/double.h"
#include "double/path_key.h"
#include "double/processes.h"
#include "system/errors.h"
#include "system/tasks.h"

namespace Double::Tasks {
namespace {

constexpr int32_t kNotFound = static_cast<int32_t>(0x80070002);

struct State {
  std::recursive_mutex lock;
  std::map<std::wstring, Task> tasks;  // by lower "folder|name"
  std::map<std::wstring, int> registrations;
  std::vector<RunCall> runs;
  std::map<uint32_t, int32_t> runResults;
  std::map<std::wstring, int> stops;
};

State& S() {
  static State state;
  return state;
}

const bool kRegistered = [] {
  Double::RegisterReset([] {
    std::lock_guard guard(S().lock);
    S().tasks.clear();
    S().registrations.clear();
    S().runs.clear();
    S().runResults.clear();
    S().stops.clear();
  });
  return true;
}();

std::wstring Key(std::wstring_view name, std::wstring_view folder) {
  return Double::Lower(folder) + L"|" + Double::Lower(name);
}

// Connect and GetFolder, which every operation goes through. Only the root
// folder exists.
void Connect(const wchar_t* folder) {
  if (auto hr = Double::TakeFault("Tasks::Connect")) {
    Errors::ThrowCom("Unable to connect to task service", static_cast<int32_t>(*hr));
  }
  if (auto hr = Double::TakeFault("Tasks::GetFolder")) {
    Errors::ThrowCom("Unable to get folder", static_cast<int32_t>(*hr));
  }
  if (std::wstring_view(folder) != L"\\") Errors::ThrowCom("Unable to get folder", kNotFound);
}

Task& GetTask(const wchar_t* name, const wchar_t* folder) {
  Connect(folder);
  auto it = S().tasks.find(Key(name, folder));
  if (it == S().tasks.end()) Errors::ThrowCom("Unable to get task", kNotFound);
  return it->second;
}

void Register(Kind kind, const wchar_t* name, const wchar_t* executable, const wchar_t* arguments,
              const wchar_t* workingDirectory, const wchar_t* folder) {
  std::lock_guard guard(S().lock);
  Connect(folder);
  if (auto hr = Double::TakeFault("Tasks::Register")) {
    Errors::ThrowCom("Unable to register task definition", static_cast<int32_t>(*hr));
  }
  S().tasks[Key(name, folder)] = {name, folder, kind, executable, arguments, workingDirectory, true};
  ++S().registrations[Double::Lower(name)];
}

}  // namespace

void AddTask(Task task) {
  std::lock_guard guard(S().lock);
  S().tasks[Key(task.name, task.folder)] = task;
}

std::optional<Task> Find(const std::wstring& name, const std::wstring& folder) {
  std::lock_guard guard(S().lock);
  auto it = S().tasks.find(Key(name, folder));
  if (it == S().tasks.end()) return std::nullopt;
  return it->second;
}

int RegisterCount(const std::wstring& name) {
  std::lock_guard guard(S().lock);
  auto it = S().registrations.find(Double::Lower(name));
  return it == S().registrations.end() ? 0 : it->second;
}

std::vector<RunCall> Runs() {
  std::lock_guard guard(S().lock);
  return S().runs;
}

void SetRunResult(uint32_t session, int32_t hresult) {
  std::lock_guard guard(S().lock);
  S().runResults[session] = hresult;
}

int StopCount(const std::wstring& name) {
  std::lock_guard guard(S().lock);
  auto it = S().stops.find(Double::Lower(name));
  return it == S().stops.end() ? 0 : it->second;
}

}  // namespace Double::Tasks

namespace Tasks {

using namespace Double::Tasks;

bool Exists(const wchar_t* name, const wchar_t* folder) {
  std::lock_guard guard(S().lock);
  Connect(folder);
  if (Double::TakeFault("Tasks::GetTask")) return false;
  return S().tasks.count(Key(name, folder)) > 0;
}

void Delete(const wchar_t* name, const wchar_t* folder) {
  std::lock_guard guard(S().lock);
  Connect(folder);
  int32_t hr = static_cast<int32_t>(Double::TakeFault("Tasks::Delete").value_or(0));
  if (!hr && !S().tasks.erase(Key(name, folder))) hr = kNotFound;
  if (hr) Errors::ThrowCom("Unable to delete task", hr);
}

bool IsEnabled(const wchar_t* name, const wchar_t* folder) {
  std::lock_guard guard(S().lock);
  Task& task = GetTask(name, folder);
  if (auto hr = Double::TakeFault("Tasks::GetEnabled")) {
    Errors::ThrowCom("Unable to get task enabled", static_cast<int32_t>(*hr));
  }
  return task.enabled;
}

void SetEnabled(const wchar_t* name, bool enabled, const wchar_t* folder) {
  std::lock_guard guard(S().lock);
  Task& task = GetTask(name, folder);
  if (auto hr = Double::TakeFault("Tasks::SetEnabled")) {
    Errors::ThrowCom("Unable to set task enabled", static_cast<int32_t>(*hr));
  }
  task.enabled = enabled;
}

void RunInSession(const wchar_t* name, uint32_t sessionId, const wchar_t* folder) {
  std::lock_guard guard(S().lock);
  Task& task = GetTask(name, folder);
  S().runs.push_back({name, sessionId});
  int32_t hr = static_cast<int32_t>(Double::TakeFault("Tasks::RunInSession").value_or(0));
  // A disabled task answers S_OK and runs nothing.
  if (!hr && !task.enabled) return;
  if (auto it = S().runResults.find(sessionId); !hr && it != S().runResults.end()) hr = it->second;
  if (hr) throw ::Tasks::RunRefused(Errors::ComMessage("Unable to run task", hr), hr);
  // The task's executable starts as the session's user.
  Double::Processes::Start(task.executable, sessionId);
}

void StopRunning(const wchar_t* name, const wchar_t* folder) {
  std::lock_guard guard(S().lock);
  GetTask(name, folder);
  if (auto hr = Double::TakeFault("Tasks::Stop")) Errors::ThrowCom("Unable to stop task", static_cast<int32_t>(*hr));
  ++S().stops[Double::Lower(name)];
}

void RegisterLogonTask(const wchar_t* name, const wchar_t* executable, const wchar_t* arguments,
                       const wchar_t* workingDirectory, const wchar_t* folder) {
  Register(Kind::Logon, name, executable, arguments, workingDirectory, folder);
}

void RegisterVerifyTask(const wchar_t* name, const wchar_t* executable, const wchar_t* arguments,
                        const wchar_t* workingDirectory, const wchar_t* folder) {
  Register(Kind::Verify, name, executable, arguments, workingDirectory, folder);
}

}  // namespace Tasks
