// Tasks:: against the Task Scheduler stand-in that tools/prepare-wine-prefix
// registers: it stores each registered definition, values and the order they
// were set in, as C:\valdrix-tasks\<name>.json.
#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "system/files.h"
#include "system/tasks.h"
#include "win/system_test_support.h"

namespace {

using nlohmann::json;

constexpr wchar_t kLogon[] = L"ValdrixLogonIntegration";
constexpr wchar_t kVerify[] = L"ValdrixVerifyIntegration";
constexpr wchar_t kRoot[] = L"\\";
constexpr wchar_t kRuns[] = L"C:\\valdrix-tasks\\runs.log";

json Stored(const wchar_t* name) {
  std::string text;
  if (!ReadFileBytes(std::wstring(L"C:\\valdrix-tasks\\") + name + L".json", text)) return nullptr;
  return json::parse(text);
}

std::string Runs() {
  std::string text;
  ReadFileBytes(kRuns, text);
  return text;
}

class ScheduledTasks : public testing::Test {
 protected:
  void SetUp() override {
    Clean();
    RemoveFile(kRuns);
  }
  void TearDown() override {
    Clean();
    EXPECT_FALSE(Tasks::Exists(kLogon, kRoot));
    EXPECT_FALSE(Tasks::Exists(kVerify, kRoot));
  }
  static void Clean() {
    for (const wchar_t* name : {kLogon, kVerify}) {
      if (Tasks::Exists(name, kRoot)) Tasks::Delete(name, kRoot);
    }
  }
  ComScope com_;
};

TEST_F(ScheduledTasks, LogonTaskIsBuiltFieldByFieldInOrder) {
  Tasks::RegisterLogonTask(kLogon, L"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe", L"--startup",
                           L"C:\\Program Files\\Valdrix\\", kRoot);
  const json expected = {
      {"name", "ValdrixLogonIntegration"},
      {"enabled", true},
      {"registrationInfo", {{"description", "Starts the Valdrix client application when the user logs on."}}},
      {"settings",
       {{"disallowStartIfOnBatteries", 0},
        {"stopIfGoingOnBatteries", 0},
        {"runOnlyIfIdle", 0},
        {"multipleInstances", 0},
        {"executionTimeLimit", "PT0S"}}},
      {"principal", {{"groupId", "S-1-5-32-545"}, {"runLevel", 0}, {"logonType", 3}}},
      {"triggers", json::array({{{"type", 9}}})},
      {"actions", json::array({{{"type", 0},
                                {"path", "C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe"},
                                {"arguments", "--startup"},
                                {"workingDirectory", "C:\\Program Files\\Valdrix\\"}}})},
      {"registration",
       {{"flags", 6}, {"user", "S-1-5-32-545"}, {"password", nullptr}, {"logonType", 4}, {"sddl", nullptr}}},
      {"order",
       {"registrationInfo/description", "settings/disallowStartIfOnBatteries", "settings/stopIfGoingOnBatteries",
        "settings/runOnlyIfIdle", "settings/multipleInstances", "settings/executionTimeLimit", "principal/groupId",
        "principal/runLevel", "principal/logonType", "triggers/0/type", "actions/0/type", "actions/0/path",
        "actions/0/arguments", "actions/0/workingDirectory"}}};
  EXPECT_EQ(Stored(kLogon), expected) << Stored(kLogon).dump(2);
}

// One minute is both the run limit and the random delay; four minutes the
// interval; no duration (repeat for ever) and no instance policy are set.
TEST_F(ScheduledTasks, VerifyTaskIsBuiltFieldByFieldInOrder) {
  Tasks::RegisterVerifyTask(kVerify, L"C:\\Program Files\\Valdrix\\Valdrix.Setup.exe", L"/silent /verify",
                            L"C:\\Program Files\\Valdrix\\", kRoot);
  const json expected = {
      {"name", "ValdrixVerifyIntegration"},
      {"enabled", true},
      {"registrationInfo", {{"description", "Verifies that Valdrix is still running."}}},
      {"settings",
       {{"disallowStartIfOnBatteries", 0},
        {"stopIfGoingOnBatteries", 0},
        {"runOnlyIfIdle", 0},
        {"executionTimeLimit", "PT1M"},
        {"startWhenAvailable", 1}}},
      {"principal", {{"groupId", "S-1-5-18"}, {"runLevel", 1}, {"logonType", 5}}},
      {"triggers", json::array({{{"type", 1},
                                 {"startBoundary", "2022-12-01T00:00:00"},
                                 {"repetition", {{"interval", "PT4M"}, {"stopAtDurationEnd", 0}}},
                                 {"randomDelay", "PT1M"}}})},
      {"actions", json::array({{{"type", 0},
                                {"path", "C:\\Program Files\\Valdrix\\Valdrix.Setup.exe"},
                                {"arguments", "/silent /verify"},
                                {"workingDirectory", "C:\\Program Files\\Valdrix\\"}}})},
      {"registration",
       {{"flags", 6}, {"user", "S-1-5-18"}, {"password", nullptr}, {"logonType", 4}, {"sddl", nullptr}}},
      {"order",
       {"registrationInfo/description", "settings/disallowStartIfOnBatteries", "settings/stopIfGoingOnBatteries",
        "settings/runOnlyIfIdle", "settings/executionTimeLimit", "settings/startWhenAvailable", "principal/groupId",
        "principal/runLevel", "principal/logonType", "triggers/0/type", "triggers/0/startBoundary",
        "triggers/0/repetition/interval", "triggers/0/repetition/stopAtDurationEnd", "triggers/0/randomDelay",
        "actions/0/type", "actions/0/path", "actions/0/arguments", "actions/0/workingDirectory"}}};
  EXPECT_EQ(Stored(kVerify), expected) << Stored(kVerify).dump(2);
}

TEST_F(ScheduledTasks, RegisteringTwiceLeavesOneTaskWithTheSecondDefinition) {
  Tasks::RegisterLogonTask(kLogon, L"C:\\old\\Valdrix.Desktop.exe", L"--startup", L"C:\\old\\", kRoot);
  Tasks::SetEnabled(kLogon, false, kRoot);
  Tasks::RegisterLogonTask(kLogon, L"C:\\new\\Valdrix.Desktop.exe", L"--startup", L"C:\\new\\", kRoot);
  const json stored = Stored(kLogon);
  EXPECT_EQ(stored["actions"].size(), 1u);
  EXPECT_EQ(stored["actions"][0]["path"], "C:\\new\\Valdrix.Desktop.exe");
  EXPECT_TRUE(Tasks::IsEnabled(kLogon, kRoot));
}

TEST_F(ScheduledTasks, MissingTaskIsAbsentForProbesAndAnErrorForChanges) {
  EXPECT_FALSE(Tasks::Exists(kLogon, kRoot));
  ExpectRuntimeError([] { Tasks::Delete(kLogon, kRoot); }, "Unable to delete task: error 2147942402 (code 2)");
  ExpectRuntimeError([] { Tasks::IsEnabled(kLogon, kRoot); }, "Unable to get task: error 2147942402 (code 2)");
  ExpectRuntimeError([] { Tasks::SetEnabled(kLogon, true, kRoot); }, "Unable to get task: error 2147942402 (code 2)");
  ExpectRuntimeError([] { Tasks::RunInSession(kLogon, 1, kRoot); }, "Unable to get task: error 2147942402 (code 2)");
}

TEST_F(ScheduledTasks, EnableDisableAndDelete) {
  Tasks::RegisterVerifyTask(kVerify, L"C:\\V\\Valdrix.Setup.exe", L"/silent /verify", L"C:\\V\\", kRoot);
  ASSERT_TRUE(Tasks::Exists(kVerify, kRoot));
  EXPECT_TRUE(Tasks::IsEnabled(kVerify, kRoot));
  Tasks::SetEnabled(kVerify, false, kRoot);
  EXPECT_FALSE(Tasks::IsEnabled(kVerify, kRoot));
  Tasks::SetEnabled(kVerify, true, kRoot);
  EXPECT_TRUE(Tasks::IsEnabled(kVerify, kRoot));
  Tasks::Delete(kVerify, kRoot);
  EXPECT_FALSE(Tasks::Exists(kVerify, kRoot));
}

// 0xDEAD is the session for which the stand-in answers E_INVALIDARG.
TEST_F(ScheduledTasks, RunInSessionUsesTheSessionIdAndIgnoresARefusedSession) {
  Tasks::RegisterLogonTask(kLogon, L"C:\\V\\Valdrix.Desktop.exe", L"--startup", L"C:\\V\\", kRoot);
  Tasks::RunInSession(kLogon, 3, kRoot);
  Tasks::RunInSession(kLogon, 0xDEAD, kRoot);
  EXPECT_EQ(Runs(), "ValdrixLogonIntegration 4 3\n");
}

TEST_F(ScheduledTasks, FolderOtherThanTheRootIsReported) {
  ExpectRuntimeError([] { Tasks::Exists(kLogon, L"\\NoSuchFolder"); },
                     "Unable to get folder: error 2147942403 (code 3)");
}

}  // namespace
