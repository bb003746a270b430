// Tasks:: against a Task Scheduler: the double's, or under Wine the stand-in
// of the test prefix (Wine's own lacks several setters). The assertions are
// what Windows documents, read back as the scheduler hands tasks out.
#include <gtest/gtest.h>

#include <string>

#include "contract/side.h"
#include "support/error_text.h"
#include "system/errors.h"
#include "system/tasks.h"

namespace {

constexpr wchar_t kLogon[] = L"ValdrixContractLogon";
constexpr wchar_t kVerify[] = L"ValdrixContractVerify";
constexpr wchar_t kRoot[] = L"\\";
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), as the error text shows it.
constexpr char kNotFound[] = "error 2147942402 (code 2)";

class TasksContract : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    Clean();
  }
  void TearDown() override {
    Clean();
    EXPECT_FALSE(Tasks::Exists(kLogon, kRoot));
    EXPECT_FALSE(Tasks::Exists(kVerify, kRoot));
    ContractTest::TearDown();
  }
  static void Clean() {
    for (const wchar_t* name : {kLogon, kVerify}) {
      if (Tasks::Exists(name, kRoot)) Tasks::Delete(name, kRoot);
    }
  }
};

void ExpectAction(const wchar_t* task, const std::wstring& path, const std::wstring& arguments,
                  const std::wstring& folder) {
  const auto action = Side::ReadTaskAction(task);
  ASSERT_TRUE(action) << "the task is not registered";
  EXPECT_EQ(action->path, path);
  EXPECT_EQ(action->arguments, arguments);
  EXPECT_EQ(action->workingDirectory, folder);
}

TEST_F(TasksContract, BothTasksAreRegisteredEnabledWithTheirAction) {
  Tasks::RegisterLogonTask(kLogon, L"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe", L"--startup",
                           L"C:\\Program Files\\Valdrix\\", kRoot);
  Tasks::RegisterVerifyTask(kVerify, L"C:\\Program Files\\Valdrix\\Valdrix.Setup.exe", L"/silent /verify",
                            L"C:\\Program Files\\Valdrix\\", kRoot);
  EXPECT_TRUE(Tasks::Exists(kLogon, kRoot));
  EXPECT_TRUE(Tasks::IsEnabled(kLogon, kRoot));
  ExpectAction(kLogon, L"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe", L"--startup",
               L"C:\\Program Files\\Valdrix\\");
  EXPECT_TRUE(Tasks::IsEnabled(kVerify, kRoot));
  ExpectAction(kVerify, L"C:\\Program Files\\Valdrix\\Valdrix.Setup.exe", L"/silent /verify",
               L"C:\\Program Files\\Valdrix\\");
}

// The setup registers with TASK_CREATE_OR_UPDATE: the second definition
// replaces the first, disabled state included.
TEST_F(TasksContract, RegisteringTwiceLeavesOneTaskWithTheSecondDefinition) {
  Tasks::RegisterLogonTask(kLogon, L"C:\\old\\Valdrix.Desktop.exe", L"--startup", L"C:\\old\\", kRoot);
  Tasks::SetEnabled(kLogon, false, kRoot);
  Tasks::RegisterLogonTask(kLogon, L"C:\\new\\Valdrix.Desktop.exe", L"--startup", L"C:\\new\\", kRoot);
  ExpectAction(kLogon, L"C:\\new\\Valdrix.Desktop.exe", L"--startup", L"C:\\new\\");
  EXPECT_TRUE(Tasks::IsEnabled(kLogon, kRoot));
  Tasks::Delete(kLogon, kRoot);
  EXPECT_FALSE(Tasks::Exists(kLogon, kRoot)) << "a second registration left a second task";
}

TEST_F(TasksContract, DisabledAndEnabledAreReadBack) {
  Tasks::RegisterVerifyTask(kVerify, L"C:\\V\\Valdrix.Setup.exe", L"/silent /verify", L"C:\\V\\", kRoot);
  Tasks::SetEnabled(kVerify, false, kRoot);
  EXPECT_FALSE(Tasks::IsEnabled(kVerify, kRoot));
  Tasks::SetEnabled(kVerify, true, kRoot);
  EXPECT_TRUE(Tasks::IsEnabled(kVerify, kRoot));
}

TEST_F(TasksContract, MissingTaskIsAbsentForProbesAndAnErrorForChanges) {
  EXPECT_FALSE(Tasks::Exists(kLogon, kRoot));
  EXPECT_FALSE(Side::ReadTaskAction(kLogon));
  const struct {
    void (*action)();
    std::string message;
  } cases[] = {
      {[] { Tasks::Delete(kLogon, kRoot); }, std::string("Unable to delete task: ") + kNotFound},
      {[] { Tasks::IsEnabled(kLogon, kRoot); }, std::string("Unable to get task: ") + kNotFound},
      {[] { Tasks::SetEnabled(kLogon, true, kRoot); }, std::string("Unable to get task: ") + kNotFound},
      {[] { Tasks::RunInSession(kLogon, 1, kRoot); }, std::string("Unable to get task: ") + kNotFound},
  };
  for (const auto& c : cases) EXPECT_EQ(CatchError(c.action).text, c.message);
  // Which error a missing folder gives is not documented.
  const ThrownError folder = CatchError([] { Tasks::Exists(kLogon, L"\\NoSuchFolder"); });
  EXPECT_TRUE(folder.StartsWith("Unable to get folder: error ")) << folder.text;
}

// A session the scheduler refuses (one without a user) is a RunRefused with
// the HRESULT; a disabled task is not refused, and runs nothing.
TEST_F(TasksContract, RunInARefusedSessionThrowsItsRefusalButADisabledTaskDoesNot) {
  Tasks::RegisterLogonTask(kLogon, L"C:\\V\\Valdrix.Desktop.exe", L"--startup", L"C:\\V\\", kRoot);
  const uint32_t session = Side::RefusedSession();
  try {
    Tasks::RunInSession(kLogon, session, kRoot);
    FAIL() << "RunEx refused nothing";
  } catch (const Tasks::RunRefused& refusal) {
    EXPECT_EQ(std::string(refusal.what()), Errors::ComMessage("Unable to run task", refusal.HResult()));
    EXPECT_LT(refusal.HResult(), 0);
  }
  Tasks::SetEnabled(kLogon, false, kRoot);
  EXPECT_NO_THROW(Tasks::RunInSession(kLogon, session, kRoot));
  Tasks::StopRunning(kLogon, kRoot);  // nothing runs: no error
}

}  // namespace
