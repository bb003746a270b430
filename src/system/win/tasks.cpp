// The product's scheduled tasks, through the Task Scheduler 2.0 interfaces.
#include "system/tasks.h"

#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>

#include "system/errors.h"
#include "system/win/com_ptr.h"

namespace {

constexpr CLSID kTaskScheduler = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr IID kTaskService = {0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
constexpr IID kTimeTrigger = {0xB45747E0, 0xEBA7, 0x4276, {0x9F, 0x29, 0x85, 0xC5, 0xBB, 0x30, 0x00, 0x06}};
constexpr IID kExecAction = {0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};
constexpr LONG kRunUseSessionId = 4;  // TASK_RUN_USE_SESSION_ID, missing from the MinGW headers
constexpr int kInteractivePriority = 5;
constexpr wchar_t kUsers[] = L"S-1-5-32-545";  // BUILTIN\Users, a group
constexpr wchar_t kSystem[] = L"S-1-5-18";     // LocalSystem, a service account

void Check(HRESULT hr, const char* text) {
  if (FAILED(hr)) Errors::ThrowCom(text, hr);
}

// Every setter and interface query while a definition is built.
void Execute(HRESULT hr) { Check(hr, "Unable to execute"); }

// Owning BSTR. A failed allocation is the COM error E_OUTOFMEMORY of the call
// the string is made for.
class Bstr {
 public:
  Bstr(const wchar_t* text, const char* failure) : value_(SysAllocString(text)) {
    if (!value_) Errors::ThrowCom(failure, E_OUTOFMEMORY);
  }
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR Get() const { return value_; }

 private:
  BSTR value_;
};

class Variant {
 public:
  Variant() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  // Takes a copy of the text as a BSTR.
  void SetString(const wchar_t* text, const char* failure) {
    VariantClear(&value_);
    value_.bstrVal = SysAllocString(text);
    if (!value_.bstrVal) Errors::ThrowCom(failure, E_OUTOFMEMORY);
    value_.vt = VT_BSTR;
  }
  const VARIANT& Get() const { return value_; }

 private:
  VARIANT value_;
};

ComPtr<ITaskService> Connect() {
  ComPtr<ITaskService> service;
  Check(CoCreateInstance(kTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kTaskService, service.PutVoid()),
        "Unable to create instance of ITaskService");
  const Variant empty;
  Check(service->Connect(empty.Get(), empty.Get(), empty.Get(), empty.Get()), "Unable to connect to task service");
  return service;
}

ComPtr<ITaskFolder> GetFolder(ITaskService* service, const wchar_t* folder) {
  static constexpr char kFailure[] = "Unable to get folder";
  const Bstr path(folder, kFailure);
  ComPtr<ITaskFolder> result;
  Check(service->GetFolder(path.Get(), result.Put()), kFailure);
  return result;
}

ComPtr<IRegisteredTask> GetTask(const wchar_t* name, const wchar_t* folder) {
  static constexpr char kFailure[] = "Unable to get task";
  const ComPtr<ITaskService> service = Connect();
  const ComPtr<ITaskFolder> taskFolder = GetFolder(service.Get(), folder);
  const Bstr taskName(name, kFailure);
  ComPtr<IRegisteredTask> task;
  Check(taskFolder->GetTask(taskName.Get(), task.Put()), kFailure);
  return task;
}

void PutString(HRESULT (STDMETHODCALLTYPE ITaskSettings::*setter)(BSTR), ITaskSettings* settings, const wchar_t* text) {
  const Bstr value(text, "Unable to execute");
  Execute((settings->*setter)(value.Get()));
}

// The parts that both definitions share, in the order they are built; the
// caller fills in settings, principal and trigger between them.
struct Definition {
  ComPtr<ITaskService> service;
  ComPtr<ITaskFolder> folder;
  ComPtr<ITaskDefinition> task;
};

Definition NewDefinition(const wchar_t* folder, const wchar_t* description) {
  Definition definition;
  definition.service = Connect();
  definition.folder = GetFolder(definition.service.Get(), folder);
  Check(definition.service->NewTask(0, definition.task.Put()), "Unable to create task definition");
  ComPtr<IRegistrationInfo> info;
  Check(definition.task->get_RegistrationInfo(info.Put()), "Unable to get task registration info");
  const Bstr text(description, "Unable to execute");
  Execute(info->put_Description(text.Get()));
  return definition;
}

ComPtr<ITaskSettings> GetSettings(ITaskDefinition* task) {
  ComPtr<ITaskSettings> settings;
  Check(task->get_Settings(settings.Put()), "Unable to get task settings");
  Execute(settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE));
  Execute(settings->put_StopIfGoingOnBatteries(VARIANT_FALSE));
  Execute(settings->put_RunOnlyIfIdle(VARIANT_FALSE));
  return settings;
}

// Who the task runs as. A group: any member, in the session of each one logged
// on (the registration's TASK_LOGON_GROUP decides; the logon type set here is
// the definition's own). A service account (SYSTEM, LOCAL SERVICE, NETWORK
// SERVICE): in session 0, without anyone logged on.
enum class Principal { kGroup, kServiceAccount };

void SetPrincipal(ITaskDefinition* task, Principal kind, const wchar_t* id, TASK_RUNLEVEL_TYPE runLevel) {
  ComPtr<IPrincipal> principal;
  Check(task->get_Principal(principal.Put()), "Unable to get task principal");
  const Bstr name(id, "Unable to execute");
  const bool group = kind == Principal::kGroup;
  Execute(group ? principal->put_GroupId(name.Get()) : principal->put_UserId(name.Get()));
  Execute(principal->put_RunLevel(runLevel));
  Execute(principal->put_LogonType(group ? TASK_LOGON_INTERACTIVE_TOKEN : TASK_LOGON_SERVICE_ACCOUNT));
}

ComPtr<ITrigger> CreateTrigger(ITaskDefinition* task, TASK_TRIGGER_TYPE2 type) {
  ComPtr<ITriggerCollection> triggers;
  Check(task->get_Triggers(triggers.Put()), "Unable to get task triggers");
  ComPtr<ITrigger> trigger;
  Check(triggers->Create(type, trigger.Put()), "Unable to create task trigger");
  return trigger;
}

void SetExecAction(ITaskDefinition* task, const wchar_t* executable, const wchar_t* arguments,
                   const wchar_t* workingDirectory) {
  ComPtr<IActionCollection> actions;
  Check(task->get_Actions(actions.Put()), "Unable to get task actions");
  ComPtr<IAction> action;
  Check(actions->Create(TASK_ACTION_EXEC, action.Put()), "Unable to create task action");
  ComPtr<IExecAction> exec;
  Execute(action->QueryInterface(kExecAction, exec.PutVoid()));
  const Bstr path(executable, "Unable to execute");
  Execute(exec->put_Path(path.Get()));
  const Bstr args(arguments, "Unable to execute");
  Execute(exec->put_Arguments(args.Get()));
  const Bstr directory(workingDirectory, "Unable to execute");
  Execute(exec->put_WorkingDirectory(directory.Get()));
}

// The account and logon type given here take the place of the definition's
// principal, so they must name the same kind of account.
void Register(const Definition& definition, const wchar_t* name, const wchar_t* account, TASK_LOGON_TYPE logonType) {
  static constexpr char kFailure[] = "Unable to register task definition";
  const Bstr taskName(name, kFailure);
  Variant user;
  user.SetString(account, kFailure);
  const Variant empty;
  ComPtr<IRegisteredTask> registered;
  Check(definition.folder->RegisterTaskDefinition(taskName.Get(), definition.task.Get(), TASK_CREATE_OR_UPDATE,
                                                  user.Get(), empty.Get(), logonType, empty.Get(), registered.Put()),
        kFailure);
}

}  // namespace

namespace Tasks {

bool Exists(const wchar_t* name, const wchar_t* folder) {
  const ComPtr<ITaskService> service = Connect();
  const ComPtr<ITaskFolder> taskFolder = GetFolder(service.Get(), folder);
  BSTR taskName = SysAllocString(name);
  if (!taskName) return false;
  ComPtr<IRegisteredTask> task;
  const HRESULT hr = taskFolder->GetTask(taskName, task.Put());
  SysFreeString(taskName);
  return SUCCEEDED(hr) && task;
}

void Delete(const wchar_t* name, const wchar_t* folder) {
  static constexpr char kFailure[] = "Unable to delete task";
  const ComPtr<ITaskService> service = Connect();
  const ComPtr<ITaskFolder> taskFolder = GetFolder(service.Get(), folder);
  const Bstr taskName(name, kFailure);
  Check(taskFolder->DeleteTask(taskName.Get(), 0), kFailure);
}

bool IsEnabled(const wchar_t* name, const wchar_t* folder) {
  const ComPtr<IRegisteredTask> task = GetTask(name, folder);
  VARIANT_BOOL enabled = VARIANT_FALSE;
  Check(task->get_Enabled(&enabled), "Unable to get task enabled");
  return enabled == VARIANT_TRUE;
}

void SetEnabled(const wchar_t* name, bool enabled, const wchar_t* folder) {
  const ComPtr<IRegisteredTask> task = GetTask(name, folder);
  Check(task->put_Enabled(enabled ? VARIANT_TRUE : VARIANT_FALSE), "Unable to set task enabled");
}

void StopRunning(const wchar_t* name, const wchar_t* folder) {
  const ComPtr<IRegisteredTask> task = GetTask(name, folder);
  Check(task->Stop(0), "Unable to stop task");
}

void RunInSession(const wchar_t* name, uint32_t sessionId, const wchar_t* folder) {
  static constexpr char kFailure[] = "Unable to run task";
  const ComPtr<IRegisteredTask> task = GetTask(name, folder);
  const Variant parameters;
  ComPtr<IRunningTask> running;
  const HRESULT hr =
      task->RunEx(parameters.Get(), kRunUseSessionId, static_cast<LONG>(sessionId), nullptr, running.Put());
  if (FAILED(hr)) throw RunRefused(Errors::ComMessage(kFailure, hr), hr);
}

void RegisterLogonTask(const wchar_t* name, const wchar_t* executable, const wchar_t* arguments,
                       const wchar_t* workingDirectory, const wchar_t* folder) {
  const Definition definition = NewDefinition(folder, L"Starts the Valdrix client application when the user logs on.");
  ITaskDefinition* task = definition.task.Get();
  const ComPtr<ITaskSettings> settings = GetSettings(task);
  Execute(settings->put_MultipleInstances(TASK_INSTANCES_PARALLEL));
  PutString(&ITaskSettings::put_ExecutionTimeLimit, settings.Get(), L"PT0S");
  // The client is a program a person works with: not the background
  // priority 7 (below normal, low I/O and memory priority) of a task.
  Execute(settings->put_Priority(kInteractivePriority));
  SetPrincipal(task, Principal::kGroup, kUsers, TASK_RUNLEVEL_LUA);
  CreateTrigger(task, TASK_TRIGGER_LOGON);
  SetExecAction(task, executable, arguments, workingDirectory);
  Register(definition, name, kUsers, TASK_LOGON_GROUP);
}

void RegisterVerifyTask(const wchar_t* name, const wchar_t* executable, const wchar_t* arguments,
                        const wchar_t* workingDirectory, const wchar_t* folder) {
  const Definition definition = NewDefinition(folder, L"Verifies that Valdrix is still running.");
  ITaskDefinition* task = definition.task.Get();
  const ComPtr<ITaskSettings> settings = GetSettings(task);
  // Long enough for a repair after error 1053 (two service starts of up to
  // 30 s, the manifest, the prerequisites' downloads and runs); the
  // scheduler's default instance policy keeps runs from overlapping.
  PutString(&ITaskSettings::put_ExecutionTimeLimit, settings.Get(), L"PT30M");
  Execute(settings->put_StartWhenAvailable(1));
  SetPrincipal(task, Principal::kServiceAccount, kSystem, TASK_RUNLEVEL_HIGHEST);

  const ComPtr<ITrigger> trigger = CreateTrigger(task, TASK_TRIGGER_TIME);
  {
    const Bstr start(L"2022-12-01T00:00:00", "Unable to execute");
    trigger->put_StartBoundary(start.Get());  // a refused start boundary is not fatal
  }
  ComPtr<IRepetitionPattern> repetition;
  Check(trigger->get_Repetition(repetition.Put()), "Unable to get repetition");
  const Bstr interval(L"PT4M", "Unable to execute");
  Execute(repetition->put_Interval(interval.Get()));
  Execute(repetition->put_StopAtDurationEnd(VARIANT_FALSE));
  ComPtr<ITimeTrigger> timeTrigger;
  Execute(trigger->QueryInterface(kTimeTrigger, timeTrigger.PutVoid()));
  const Bstr delay(L"PT1M", "Unable to execute");
  Execute(timeTrigger->put_RandomDelay(delay.Get()));

  SetExecAction(task, executable, arguments, workingDirectory);
  Register(definition, name, kSystem, TASK_LOGON_SERVICE_ACCOUNT);
}

}  // namespace Tasks
