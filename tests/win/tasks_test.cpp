// The definitions of the two tasks as the Task Scheduler (under Wine, the
// stand-in that tools/prepare-wine-prefix registers) hands them back: the
// task's XML document. The double keeps no such document; what both keep is
// checked in tests/contract/tasks_contract_test.cpp.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/text.h"
#include "system/files.h"
#include "system/tasks.h"
#include "win/system_test_support.h"

namespace {

constexpr wchar_t kName[] = L"ValdrixDefinitionIntegration";
constexpr wchar_t kRoot[] = L"\\";
using Elements = std::vector<std::pair<std::wstring, std::wstring>>;

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
                  {L"GroupId", L"S-1-5-32-545"},
                  {L"RunLevel", L"LeastPrivilege"},
                  {L"DisallowStartIfOnBatteries", L"false"},
                  {L"StopIfGoingOnBatteries", L"false"},
                  {L"RunOnlyIfIdle", L"false"},
                  {L"MultipleInstancesPolicy", L"Parallel"},
                  {L"ExecutionTimeLimit", L"PT0S"},
                  {L"Enabled", L"true"}});
  EXPECT_NE(RegisteredTaskXml(kName)->find(L"<LogonTrigger"), std::wstring::npos);
}

// As SYSTEM with the highest rights, every four minutes from a fixed start,
// for at most a minute, a minute's random delay, and late when missed.
TEST_F(TaskDefinitions, VerifyTaskRunsAsSystemEveryFourMinutes) {
  Tasks::RegisterVerifyTask(kName, L"C:\\Program Files\\Valdrix\\Valdrix.Setup.exe", L"/silent /verify",
                            L"C:\\Program Files\\Valdrix\\", kRoot);
  ExpectElements({{L"Description", L"Verifies that Valdrix is still running."},
                  {L"GroupId", L"S-1-5-18"},
                  {L"RunLevel", L"HighestAvailable"},
                  {L"DisallowStartIfOnBatteries", L"false"},
                  {L"StopIfGoingOnBatteries", L"false"},
                  {L"RunOnlyIfIdle", L"false"},
                  {L"ExecutionTimeLimit", L"PT1M"},
                  {L"StartWhenAvailable", L"true"},
                  {L"StartBoundary", L"2022-12-01T00:00:00"},
                  {L"Interval", L"PT4M"},
                  {L"StopAtDurationEnd", L"false"},
                  {L"RandomDelay", L"PT1M"}});
  EXPECT_NE(RegisteredTaskXml(kName)->find(L"<TimeTrigger"), std::wstring::npos);
}

}  // namespace
