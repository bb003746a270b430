// The definitions of the two tasks as the Task Scheduler (under Wine, the
// stand-in that tools/prepare-wine-prefix registers) hands them back: the
// task's XML document, and the stand-in's record of what the setup set and
// passed to the registration. The double keeps neither; what both keep is
// checked in tests/contract/tasks_contract_test.cpp. Then what the stand-in
// refuses, as Windows does.
#include <windows.h>

#include <oleauto.h>
#include <taskschd.h>

#include <gtest/gtest.h>

#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "app/text.h"
#include "system/files.h"
#include "system/tasks.h"
#include "system/win/com_ptr.h"
#include "win/system_test_support.h"

namespace {

constexpr wchar_t kName[] = L"ValdrixDefinitionIntegration";
constexpr wchar_t kRoot[] = L"\\";
using Elements = std::vector<std::pair<std::wstring, std::wstring>>;
using nlohmann::json;

// The stand-in's record of a registered task.
json Record(const wchar_t* name) {
  std::string text;
  if (!ReadFileBytes(std::wstring(L"C:\\valdrix-tasks\\") + name + L".json", text)) return nullptr;
  return json::parse(text, nullptr, false);
}

class TaskDefinitions : public testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    if (Tasks::Exists(kName, kRoot)) Tasks::Delete(kName, kRoot);
  }
  static void ExpectElements(const Elements& expected) {
    const auto xml = RegisteredTaskXml(kName);
    ASSERT_TRUE(xml) << "the task is not registered";
    for (const auto& [element, value] : expected) {
      EXPECT_EQ(XmlElement(*xml, element), value) << Text::ToUtf8(element) << " in " << Text::ToUtf8(*xml);
    }
  }
  ComScope com_;
};

// Any member of the Users group, at the least privilege, as it logs on.
TEST_F(TaskDefinitions, LogonTaskStartsTheClientForEveryUserWithoutALimit) {
  Tasks::RegisterLogonTask(kName, L"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe", L"--startup",
                           L"C:\\Program Files\\Valdrix\\", kRoot);
  ExpectElements({{L"Description", L"Starts the Valdrix client application when the user logs on."},
                  {L"DisallowStartIfOnBatteries", L"false"},
                  {L"StopIfGoingOnBatteries", L"false"},
                  {L"RunOnlyIfIdle", L"false"},
                  {L"MultipleInstancesPolicy", L"Parallel"},
                  {L"ExecutionTimeLimit", L"PT0S"},
                  {L"Priority", L"5"},
                  {L"GroupId", L"S-1-5-32-545"},
                  {L"Enabled", L"true"}});
  EXPECT_NE(RegisteredTaskXml(kName)->find(L"<LogonTrigger"), std::wstring::npos);
  const json record = Record(kName);
  EXPECT_EQ(record["principal"], json({{"groupId", "S-1-5-32-545"}, {"runLevel", 0}, {"logonType", 3}}));
  EXPECT_EQ(record["registration"],
            json({{"flags", 6}, {"user", "S-1-5-32-545"}, {"password", nullptr}, {"logonType", 4}, {"sddl", nullptr}}));
  EXPECT_FALSE(record.contains("neverRuns")) << record["neverRuns"];
}

// As SYSTEM (a service account, not a group: no user token carries it) with
// the highest rights, every four minutes from a fixed start, for at most half
// an hour, a minute's random delay, and late when missed.
TEST_F(TaskDefinitions, VerifyTaskRunsAsSystemEveryFourMinutes) {
  Tasks::RegisterVerifyTask(kName, L"C:\\Program Files\\Valdrix\\Valdrix.Setup.exe", L"/silent /verify",
                            L"C:\\Program Files\\Valdrix\\", kRoot);
  ExpectElements({{L"Description", L"Verifies that Valdrix is still running."},
                  {L"DisallowStartIfOnBatteries", L"false"},
                  {L"StopIfGoingOnBatteries", L"false"},
                  {L"RunOnlyIfIdle", L"false"},
                  {L"ExecutionTimeLimit", L"PT30M"},
                  {L"StartWhenAvailable", L"true"},
                  {L"UserId", L"S-1-5-18"},
                  {L"LogonType", L"ServiceAccount"},
                  {L"StartBoundary", L"2022-12-01T00:00:00"},
                  {L"Interval", L"PT4M"},
                  {L"StopAtDurationEnd", L"false"},
                  {L"RandomDelay", L"PT1M"}});
  EXPECT_NE(RegisteredTaskXml(kName)->find(L"<TimeTrigger"), std::wstring::npos);
  const json record = Record(kName);
  EXPECT_EQ(record["principal"], json({{"userId", "S-1-5-18"}, {"runLevel", 1}, {"logonType", 5}}));
  EXPECT_EQ(record["registration"],
            json({{"flags", 6}, {"user", "S-1-5-18"}, {"password", nullptr}, {"logonType", 5}, {"sddl", nullptr}}));
  EXPECT_FALSE(record.contains("neverRuns")) << record["neverRuns"];
  EXPECT_FALSE(record["settings"].contains("multipleInstances")) << "the scheduler's default instance policy";
}

// --- what the stand-in refuses: as Windows documents, and its own limits -----

class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : value_(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  operator BSTR() const { return value_; }

 private:
  BSTR value_;
};

// The scheduler's interfaces as they are, for calls Tasks:: never makes.
struct Scheduler {
  Scheduler() {
    CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService, service.PutVoid());
    const VARIANT empty{};
    if (service) service->Connect(empty, empty, empty, empty);
    if (service) service->GetFolder(Bstr(L"\\"), root.Put());
  }
  // A definition the scheduler takes: one action with a program.
  ComPtr<ITaskDefinition> Definition(const wchar_t* program = L"C:\\V\\Valdrix.Desktop.exe") {
    ComPtr<ITaskDefinition> task;
    ComPtr<IActionCollection> actions;
    ComPtr<IAction> action;
    ComPtr<IExecAction> exec;
    service->NewTask(0, task.Put());
    task->get_Actions(actions.Put());
    actions->Create(TASK_ACTION_EXEC, action.Put());
    action->QueryInterface(__uuidof(IExecAction), exec.PutVoid());
    exec->put_Path(Bstr(program));
    return task;
  }
  // A time trigger from `start` (null: none) with `edit` applied to it and
  // its repetition.
  HRESULT RegisterTimeTrigger(void (*edit)(ITimeTrigger*, IRepetitionPattern*),
                              const wchar_t* start = L"2022-12-01T00:00:00") {
    const ComPtr<ITaskDefinition> task = Definition();
    ComPtr<ITriggerCollection> triggers;
    ComPtr<ITrigger> trigger;
    ComPtr<ITimeTrigger> time;
    ComPtr<IRepetitionPattern> repetition;
    task->get_Triggers(triggers.Put());
    triggers->Create(TASK_TRIGGER_TIME, trigger.Put());
    trigger->QueryInterface(__uuidof(ITimeTrigger), time.PutVoid());
    time->get_Repetition(repetition.Put());
    if (start) time->put_StartBoundary(Bstr(start));
    edit(time.Get(), repetition.Get());
    return Register(task.Get());
  }
  HRESULT Register(ITaskDefinition* task, LONG flags = TASK_CREATE_OR_UPDATE, const wchar_t* name = kName,
                   TASK_LOGON_TYPE logon = TASK_LOGON_GROUP, const wchar_t* account = nullptr) {
    const VARIANT empty{};
    VARIANT user{};
    if (account) {
      user.vt = VT_BSTR;
      user.bstrVal = SysAllocString(account);
    }
    ComPtr<IRegisteredTask> registered;
    const HRESULT hr =
        root->RegisterTaskDefinition(Bstr(name), task, flags, user, empty, logon, empty, registered.Put());
    VariantClear(&user);
    return hr;
  }
  HRESULT Run(LONG flags, LONG session) {
    ComPtr<IRegisteredTask> task;
    ComPtr<IRunningTask> running;
    const VARIANT empty{};
    root->GetTask(Bstr(kName), task.Put());
    return task ? task->RunEx(empty, flags, session, nullptr, running.Put()) : E_POINTER;
  }
  ComPtr<ITaskService> service;
  ComPtr<ITaskFolder> root;
};

struct Refusal {
  const char* what;
  HRESULT (*call)(Scheduler&);
  HRESULT expected;
};

// Each with the task kName registered, enabled, and sessions.txt listing
// session 1 Active and 2 Listen.
void ExpectRefusals(const Refusal* rows, size_t count) {
  const std::wstring sessions = L"C:\\valdrix-fixtures\\sessions.txt";
  std::string listed;
  const bool hadSessions = ReadFileBytes(sessions, listed);
  ASSERT_TRUE(WriteFileBytes(sessions, "1 Active\n2 Listen\n"));
  Scheduler scheduler;
  ASSERT_TRUE(scheduler.root) << "no Task Scheduler";
  for (size_t i = 0; i < count; ++i) {
    Tasks::RegisterLogonTask(kName, L"C:\\V\\Valdrix.Desktop.exe", L"--startup", L"C:\\V\\", kRoot);
    EXPECT_EQ(rows[i].call(scheduler), rows[i].expected) << rows[i].what;
  }
  if (hadSessions) {
    WriteFileBytes(sessions, listed);
  } else {
    RemoveFile(sessions);
  }
}

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT kInvalidValue = static_cast<HRESULT>(0x80041318);  // SCHED_E_INVALIDVALUE
constexpr HRESULT kMissingNode = static_cast<HRESULT>(0x80041319);   // SCHED_E_MISSINGNODE
constexpr LONG kUseSessionId = 4;

// Each row names the documentation it follows.
TEST_F(TaskDefinitions, TheStandInRefusesWhatWindowsDocumentsAsRefused) {
  const Refusal rows[] = {
      {"ITaskService::GetFolder: a folder before Connect",
       [](Scheduler&) {
         ComPtr<ITaskService> fresh;
         ComPtr<ITaskFolder> folder;
         CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService, fresh.PutVoid());
         return fresh->GetFolder(Bstr(L"\\"), folder.Put());
       },
       HRESULT_FROM_WIN32(ERROR_NOT_READY)},
      {"ITaskService::NewTask: flags is reserved, 0",
       [](Scheduler& s) {
         ComPtr<ITaskDefinition> task;
         return s.service->NewTask(1, task.Put());
       },
       E_INVALIDARG},
      {"ITaskFolder::GetTask of a missing task",
       [](Scheduler& s) {
         ComPtr<IRegisteredTask> task;
         return s.root->GetTask(Bstr(L"NoSuchTask"), task.Put());
       },
       kNotFound},
      {"ITaskFolder::DeleteTask of a missing task",
       [](Scheduler& s) { return s.root->DeleteTask(Bstr(L"NoSuchTask"), 0); }, kNotFound},
      {"RegisterTaskDefinition: an unknown creation flag (TASK_CREATION)",
       [](Scheduler& s) { return s.Register(s.Definition().Get(), 0x46); }, E_INVALIDARG},
      {"RegisterTaskDefinition: an unknown logon type (TASK_LOGON_TYPE)",
       [](Scheduler& s) { return s.Register(s.Definition().Get(), 6, kName, static_cast<TASK_LOGON_TYPE>(7)); },
       E_INVALIDARG},
      {"RegisterTaskDefinition: TASK_CREATE over a task",
       [](Scheduler& s) { return s.Register(s.Definition().Get(), TASK_CREATE); },
       HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)},
      {"RegisterTaskDefinition: TASK_UPDATE of a missing task",
       [](Scheduler& s) { return s.Register(s.Definition().Get(), TASK_UPDATE, L"NoSuchTask"); }, kNotFound},
      {"Task Scheduler schema: Actions needs an action",
       [](Scheduler& s) {
         ComPtr<ITaskDefinition> task;
         s.service->NewTask(0, task.Put());
         return s.Register(task.Get());
       },
       kMissingNode},
      {"ITaskSettings::ExecutionTimeLimit: a time span in xs:duration form",
       [](Scheduler& s) {
         const ComPtr<ITaskDefinition> task = s.Definition();
         ComPtr<ITaskSettings> settings;
         task->get_Settings(settings.Put());
         settings->put_ExecutionTimeLimit(Bstr(L"1 minute"));
         return s.Register(task.Get());
       },
       kInvalidValue},
      {"ITimeTrigger: the trigger fires at its StartBoundary, which it must have",
       [](Scheduler& s) { return s.RegisterTimeTrigger([](ITimeTrigger*, IRepetitionPattern*) {}, nullptr); },
       kMissingNode},
      {"ITrigger::StartBoundary: YYYY-MM-DDTHH:MM:SS, a 13th month is none",
       [](Scheduler& s) {
         return s.RegisterTimeTrigger([](ITimeTrigger*, IRepetitionPattern*) {}, L"2022-13-01T00:00:00");
       },
       kInvalidValue},
      {"ITimeTrigger::RandomDelay: a time span in xs:duration form",
       [](Scheduler& s) {
         return s.RegisterTimeTrigger([](ITimeTrigger* t, IRepetitionPattern*) { t->put_RandomDelay(Bstr(L"PT1X")); });
       },
       kInvalidValue},
      {"IRepetitionPattern::Interval: at least one minute",
       [](Scheduler& s) {
         return s.RegisterTimeTrigger([](ITimeTrigger*, IRepetitionPattern* r) { r->put_Interval(Bstr(L"PT30S")); });
       },
       kInvalidValue},
      {"IRepetitionPattern::Interval: at most 31 days",
       [](Scheduler& s) {
         return s.RegisterTimeTrigger([](ITimeTrigger*, IRepetitionPattern* r) { r->put_Interval(Bstr(L"P32D")); });
       },
       kInvalidValue},
      {"IRegisteredTask::RunEx: an unknown flag (TASK_RUN_FLAGS)",
       [](Scheduler& s) { return s.Run(kUseSessionId | 0x10, 1); }, E_INVALIDARG},
      {"IRegisteredTask::RunEx: TASK_RUN_USE_SESSION_ID with a session id of 0 or less",
       [](Scheduler& s) { return s.Run(kUseSessionId, 0); }, E_INVALIDARG},
      {"IRegisteredTask::RunEx remarks: a disabled task answers S_OK and runs nothing",
       [](Scheduler& s) {
         Tasks::SetEnabled(kName, false, kRoot);
         return s.Run(kUseSessionId, 1);
       },
       S_OK},
  };
  ExpectRefusals(rows, std::size(rows));
}

// Where Windows documents no answer, or more than the setup uses, the
// stand-in has answers of its own.
TEST_F(TaskDefinitions, TheStandInsOwnLimits) {
  constexpr HRESULT kNoUser = HRESULT_FROM_WIN32(ERROR_NO_SUCH_LOGON_SESSION);
  const Refusal rows[] = {
      {"a folder other than the root: the only one it keeps",
       [](Scheduler& s) {
         ComPtr<ITaskFolder> folder;
         return s.service->GetFolder(Bstr(L"\\NoSuchFolder"), folder.Put());
       },
       HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
      {"a trigger kind other than time and logon",
       [](Scheduler& s) {
         ComPtr<ITriggerCollection> triggers;
         ComPtr<ITrigger> trigger;
         s.Definition()->get_Triggers(triggers.Put());
         return triggers->Create(TASK_TRIGGER_DAILY, trigger.Put());
       },
       E_NOTIMPL},
      {"an action other than exec",
       [](Scheduler& s) {
         ComPtr<IActionCollection> actions;
         ComPtr<IAction> action;
         s.Definition()->get_Actions(actions.Put());
         return actions->Create(TASK_ACTION_SEND_EMAIL, action.Put());
       },
       E_INVALIDARG},
      {"registration without a name (Windows makes one up)",
       [](Scheduler& s) { return s.Register(s.Definition().Get(), 6, L""); }, E_INVALIDARG},
      {"an action without a program (which of two errors is not documented)",
       [](Scheduler& s) { return s.Register(s.Definition(L"").Get()); }, kInvalidValue},
      {"RunEx in a session that is not listed (not documented)", [](Scheduler& s) { return s.Run(kUseSessionId, 3); },
       kNoUser},
      {"RunEx in a session without a user (not documented)", [](Scheduler& s) { return s.Run(kUseSessionId, 2); },
       kNoUser},
  };
  ExpectRefusals(rows, std::size(rows));
}

// A mismatched account and logon type registers, and the task never runs:
// the stand-in records why (its record's "neverRuns").
TEST_F(TaskDefinitions, MismatchedAccountsAreRecordedAsNeverRunning) {
  const struct {
    const wchar_t* account;
    TASK_LOGON_TYPE logon;
    bool runs;
  } rows[] = {{L"S-1-5-18", TASK_LOGON_GROUP, false},
              {L"S-1-5-32-545", TASK_LOGON_INTERACTIVE_TOKEN, false},
              {L"SYSTEM", TASK_LOGON_SERVICE_ACCOUNT, true}};
  Scheduler scheduler;
  ASSERT_TRUE(scheduler.root) << "no Task Scheduler";
  for (const auto& row : rows) {
    ASSERT_EQ(scheduler.Register(scheduler.Definition().Get(), 6, kName, row.logon, row.account), S_OK);
    EXPECT_EQ(!Record(kName).contains("neverRuns"), row.runs) << Text::ToUtf8(row.account) << " " << row.logon;
  }
}

}  // namespace
