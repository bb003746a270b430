// Starting, finding and stopping real child processes.
#include <windows.h>

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/text.h"
#include "support/temp_folder.h"
#include "system/files.h"
#include "win/system_test_support.h"

namespace {

constexpr wchar_t kChildName[] = L"valdrix_child.exe";

// What the child process wrote about its own command line.
struct Recorded {
  std::string commandLine;
  int count = 0;
  std::vector<std::string> arguments;
};

// Sets the child's instructions in this process's environment, which the
// children inherit, and clears them again.
class ChildEnvironment {
 public:
  ChildEnvironment(const std::wstring& record, bool sleep) {
    SetEnvironmentVariableW(L"VALDRIX_CHILD_RECORD", record.empty() ? nullptr : record.c_str());
    SetEnvironmentVariableW(L"VALDRIX_CHILD_SLEEP", sleep ? L"1" : nullptr);
  }
  ~ChildEnvironment() {
    SetEnvironmentVariableW(L"VALDRIX_CHILD_RECORD", nullptr);
    SetEnvironmentVariableW(L"VALDRIX_CHILD_SLEEP", nullptr);
    SetEnvironmentVariableW(L"VALDRIX_CHILD_EXIT", nullptr);
  }
};

Recorded RunAndRecord(const std::function<uint32_t(const std::wstring&)>& run, uint32_t* exitCode = nullptr) {
  TempFolder folder;
  const std::wstring record = folder.Path(L"record.txt");
  ChildEnvironment environment(record, false);
  const uint32_t code = run(FixturePath(kChildName));
  if (exitCode) *exitCode = code;
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(record, bytes));
  Recorded recorded;
  std::istringstream lines(bytes);
  std::getline(lines, recorded.commandLine);
  std::string count;
  std::getline(lines, count);
  recorded.count = count.empty() ? -1 : std::stoi(count);
  for (std::string line; std::getline(lines, line);) recorded.arguments.push_back(line);
  return recorded;
}

TEST(RunProcess, EmptyArgumentStringGivesTheChildNoArguments) {
  uint32_t exitCode = 0;
  const Recorded recorded = RunAndRecord([](const std::wstring& exe) { return RunProcess(exe, L"", true); }, &exitCode);
  EXPECT_EQ(recorded.count, 1) << recorded.commandLine;
  EXPECT_EQ(exitCode, 7u);
}

TEST(RunProcess, ArgumentStringFollowsTheQuotedExecutablePath) {
  const Recorded recorded =
      RunAndRecord([](const std::wstring& exe) { return RunProcess(exe, L"/silent /uninstall", true); });
  const std::string path = Text::ToUtf8(FixturePath(kChildName));
  EXPECT_EQ(recorded.commandLine, fmt::format("\"{}\" /silent /uninstall", path));
  EXPECT_THAT(recorded.arguments, testing::ElementsAre("/silent", "/uninstall"));
}

TEST(RunProcess, ReturnsTheExitCodeOfTheFinishedChild) {
  ChildEnvironment environment(L"", false);
  SetEnvironmentVariableW(L"VALDRIX_CHILD_EXIT", L"1641");
  EXPECT_EQ(RunProcess(FixturePath(kChildName), L"", true), 1641u);
}

// Quotes, blanks and backslashes reach the child exactly as they were given.
TEST(RunProcessWithArguments, ChildSeesEveryArgumentUnchanged) {
  const std::vector<std::wstring> arguments = {
      L"plain", L"with blank", L"say \"hi\"", L"C:\\Program Files\\V\\", L"a\\\"b", L""};
  const Recorded recorded =
      RunAndRecord([&](const std::wstring& exe) { return RunProcessWithArguments(exe, arguments, true); });
  EXPECT_THAT(recorded.arguments,
              testing::ElementsAre("plain", "with blank", "say \"hi\"", "C:\\Program Files\\V\\", "a\\\"b", ""));
}

TEST(RunProcessWithArguments, EmptyListGivesNoCommandLine) {
  const Recorded recorded =
      RunAndRecord([](const std::wstring& exe) { return RunProcessWithArguments(exe, {}, true); });
  EXPECT_EQ(recorded.count, 1) << recorded.commandLine;
}

}  // namespace
