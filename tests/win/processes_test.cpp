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

// The child gets the machine's environment, not this process's: its
// instructions are machine variables (the prefix's registry), and a
// variable of this process's own must not reach it.
class ChildEnvironment {
 public:
  explicit ChildEnvironment(const std::wstring& record, const std::wstring& exitCode = L"7") {
    Set(L"VALDRIX_CHILD_RECORD", record);
    Set(L"VALDRIX_CHILD_EXIT", exitCode);
    SetEnvironmentVariableW(L"VALDRIX_CHILD_EXIT", L"99");
  }
  ~ChildEnvironment() {
    for (const wchar_t* name : {L"VALDRIX_CHILD_RECORD", L"VALDRIX_CHILD_EXIT"}) {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kMachineVariables, name);
    }
    SetEnvironmentVariableW(L"VALDRIX_CHILD_EXIT", nullptr);
  }

 private:
  static constexpr wchar_t kMachineVariables[] = L"System\\CurrentControlSet\\Control\\Session Manager\\Environment";
  static void Set(const wchar_t* name, const std::wstring& value) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kMachineVariables, name, REG_SZ, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
};

Recorded RunAndRecord(const std::function<uint32_t(const std::wstring&)>& run, uint32_t* exitCode = nullptr) {
  TempFolder folder;
  const std::wstring record = folder.Path(L"record.txt");
  ChildEnvironment environment(record);
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

// The path is quoted even alone: unquoted, "C:\Program Files\..." would
// reach the child split at its blank.
TEST(RunProcess, EmptyArgumentStringGivesTheChildOnlyItsQuotedPath) {
  uint32_t exitCode = 0;
  const Recorded recorded = RunAndRecord([](const std::wstring& exe) { return RunProcess(exe, L"", true); }, &exitCode);
  EXPECT_EQ(recorded.count, 1) << recorded.commandLine;
  EXPECT_EQ(recorded.commandLine, fmt::format("\"{}\"", Text::ToUtf8(FixturePath(kChildName))));
  EXPECT_EQ(exitCode, 7u);
}

TEST(RunProcess, ArgumentStringFollowsTheQuotedExecutablePath) {
  const Recorded recorded =
      RunAndRecord([](const std::wstring& exe) { return RunProcess(exe, L"/silent /uninstall", true); });
  const std::string path = Text::ToUtf8(FixturePath(kChildName));
  EXPECT_EQ(recorded.commandLine, fmt::format("\"{}\" /silent /uninstall", path));
  EXPECT_THAT(recorded.arguments, testing::ElementsAre("/silent", "/uninstall"));
}

// The exit code is the child's, and this process's own VALDRIX_CHILD_EXIT
// (99) did not reach it.
TEST(RunProcess, ReturnsTheExitCodeOfTheFinishedChild) {
  ChildEnvironment environment(L"", L"1641");
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

TEST(RunProcessWithArguments, EmptyListGivesNoArguments) {
  const Recorded recorded =
      RunAndRecord([](const std::wstring& exe) { return RunProcessWithArguments(exe, {}, true); });
  EXPECT_EQ(recorded.count, 1) << recorded.commandLine;
}

}  // namespace
