// The real Valdrix.Setup.exe's start-up: single instance, the temporary-copy
// guard, the help box and the login code from the file name; and the
// delay-load failure hook that the setup links.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/text.h"
#include "system/delay_load.h"

// Delay imports of this test program (tests/win/delay/*.def) that cannot be
// satisfied.
extern "C" int ValdrixAbsentFunction();
extern "C" int ValdrixMissingFunction();

namespace {

namespace fs = std::filesystem;

fs::path LogPath() {
  wchar_t buffer[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, buffer);
  return fs::path(buffer) / L"Valdrix.Setup.log";
}

std::string ReadLog() {
  std::ifstream in(LogPath(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The messages of the lines appended since `before` (prefix stripped).
std::vector<std::string> NewLines(const std::string& before) {
  const std::string after = ReadLog();
  std::vector<std::string> lines;
  std::istringstream stream(after.substr(std::min(before.size(), after.size())));
  std::string line;
  while (std::getline(stream, line)) {
    const std::string level = line.substr(1, 7);
    lines.push_back(level + "|" + (line.size() > 32 ? line.substr(32) : std::string()));
  }
  return lines;
}

class Child {
 public:
  Child(const fs::path& exe, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + exe.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(exe.wstring().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info_)) {
      ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
    }
  }
  ~Child() {
    if (info_.hProcess) {
      if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info_.hProcess, 99);
      CloseHandle(info_.hProcess);
      CloseHandle(info_.hThread);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Exit code, or -999 when the process did not end within the time-out.
  long Wait(DWORD timeoutMs = 30000) {
    if (WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) return -999;
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return static_cast<long>(code);
  }
  DWORD Pid() const { return info_.dwProcessId; }

 private:
  PROCESS_INFORMATION info_{};
};

struct FoundWindow {
  DWORD pid;
  HWND window;
};

// The help box of a child process, by its caption.
HWND FindBox(DWORD pid, DWORD timeoutMs = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    FoundWindow found{pid, nullptr};
    EnumWindows(
        [](HWND window, LPARAM parameter) -> BOOL {
          auto* search = reinterpret_cast<FoundWindow*>(parameter);
          DWORD owner = 0;
          GetWindowThreadProcessId(window, &owner);
          wchar_t title[64] = {};
          GetWindowTextW(window, title, 64);
          if (owner == search->pid && std::wstring(title) == L"Valdrix" && IsWindowVisible(window)) {
            search->window = window;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    if (found.window) return found.window;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return nullptr;
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / (L"valdrix-startup-" + std::to_wstring(GetCurrentProcessId()));
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  fs::path CopyAs(const std::wstring& name) {
    const fs::path target = folder_ / name;
    fs::copy_file(VALDRIX_SETUP_EXE, target, fs::copy_options::overwrite_existing);
    return target;
  }
  fs::path folder_;
};

TEST_F(StartupTest, HelpShowsOnlyTheBoxAndASecondInstanceEndsWith1000WithoutALogLine) {
  Child first(VALDRIX_SETUP_EXE, L"/help /silent");
  const HWND box = FindBox(first.Pid());
  ASSERT_NE(box, nullptr) << "help box not shown";

  const std::string before = ReadLog();
  // A verify does not wait for the run that holds the mutex (an install
  // would, for up to 30 s).
  Child second(VALDRIX_SETUP_EXE, L"/silent /verify");
  EXPECT_EQ(second.Wait(), 1000);
  EXPECT_EQ(ReadLog(), before) << "a refused second instance must not write the log";

  wchar_t text[512] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 512);
  EXPECT_NE(std::wstring(text).find(L"/ds\tDon't start after install"), std::wstring::npos);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(first.Wait(), 1002);
  // Only the start-up lines: no run was started.
  for (const auto& line : NewLines(before)) {
    EXPECT_EQ(line.find("Silent start"), std::string::npos) << line;
  }
}

TEST_F(StartupTest, TemporaryCopyRefusesToRunAndLogsWhy) {
  const fs::path copy = CopyAs(L"__temp_Valdrix.Setup.exe");
  const std::string before = ReadLog();
  Child child(copy, L"/silent");
  EXPECT_EQ(child.Wait(), 1001);
  const auto lines = NewLines(before);
  ASSERT_EQ(lines.size(), 5u) << ReadLog();
  EXPECT_EQ(lines[0], "   INFO|");
  EXPECT_EQ(lines[1], "   INFO|Valdrix Setup starting (PID " + std::to_string(child.Pid()) + ")");
  EXPECT_EQ(lines[2], "   INFO|Build: 2025-10-23 (main, 355194c5)");
  EXPECT_EQ(lines[3], "   INFO|Setup path: " + Text::ToUtf8(copy.wstring()));
  EXPECT_EQ(lines[4], "  ERROR|Not running setup because its filename starts with __temp_!");
}

TEST_F(StartupTest, LoginCodeComesFromTheFileNameUnlessTheCommandLineGivesOne) {
  const fs::path named = CopyAs(L"Valdrix.Setup (AB12CD).exe");
  std::string before = ReadLog();
  Child fromName(named, L"/silent /verify");
  fromName.Wait();
  bool found = false;
  for (const auto& line : NewLines(before)) found |= line == "   INFO|Login code from filename: \"AB12CD\"";
  EXPECT_TRUE(found) << ReadLog();

  before = ReadLog();
  Child fromFlag(named, L"/silent /verify /logincode=x");
  fromFlag.Wait();
  for (const auto& line : NewLines(before)) EXPECT_EQ(line.find("Login code from filename"), std::string::npos);
}

TEST_F(StartupTest, NonAsciiSetupPathIsLoggedAsUtf8) {
  const fs::path dir = folder_ / L"\u00e9t\u00e9 \u65e5";
  fs::create_directories(dir);
  const fs::path copy = dir / L"Valdrix.Setup.exe";
  fs::copy_file(VALDRIX_SETUP_EXE, copy);
  const std::string before = ReadLog();
  Child child(copy, L"/silent /verify");
  child.Wait();
  const std::string expected = "Setup path: " + Text::ToUtf8(copy.wstring());
  EXPECT_NE(expected.find("\xc3\xa9t\xc3\xa9 \xe6\x97\xa5"), std::string::npos);
  bool found = false;
  for (const auto& line : NewLines(before)) found |= line == "   INFO|" + expected;
  EXPECT_TRUE(found) << ReadLog();
}

// Without the hook the loader's SEH exception would end the process; with it,
// the caller's catch gets the Windows error and names the DLL and function.
TEST(DelayLoadFailure, AMissingDllOrExportBecomesTheCppException) {
  const auto failure = [](int (*call)()) -> std::pair<int, std::string> {
    try {
      call();
    } catch (const Platform::DelayLoadError& error) {
      return {error.code().value(), error.what()};
    }
    return {0, "the call returned"};
  };
  const auto [missingError, missingText] = failure(ValdrixMissingFunction);
  EXPECT_EQ(missingError, ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(missingText.rfind("Unable to find ValdrixMissingFunction in KERNEL32.dll: ", 0), 0u) << missingText;
  const auto [absentError, absentText] = failure(ValdrixAbsentFunction);
  EXPECT_EQ(absentError, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(absentText.rfind("Unable to load valdrix_absent.dll: ", 0), 0u) << absentText;
}

}  // namespace
