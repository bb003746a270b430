// Finding, stopping and starting processes by executable name and path.
#include <windows.h>

#include <psapi.h>
#include <userenv.h>

#include <fmt/format.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <stdexcept>
#include <vector>

#include "app/log.h"
#include "app/text.h"
#include "system/errors.h"
#include "system/files.h"

namespace {

// Reading a process's image name needs no more than this; only the processes
// being stopped are opened again with the rights to end and wait for them.
constexpr DWORD kListAccess = PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD kStopAccess = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE;
constexpr DWORD kLongestPath = 32768;

[[noreturn]] void ThrowWithName(DWORD error, const char* format, std::wstring_view name) {
  Errors::ThrowSystem(error, fmt::format(fmt::runtime(format), Text::ToUtf8(name)));
}

// Every running process's id: the buffer grows until the list fits in it.
std::vector<DWORD> ProcessIds() {
  std::vector<DWORD> ids(1024);
  for (;;) {
    const DWORD capacity = static_cast<DWORD>(ids.size() * sizeof(DWORD));
    DWORD bytes = 0;
    if (!K32EnumProcesses(ids.data(), capacity, &bytes)) {
      SetupLog::Error("Unable to enumerate process list: error %u", static_cast<unsigned>(GetLastError()));
      throw std::runtime_error("Unable to enumerate process list");
    }
    if (bytes < capacity) {
      ids.resize(bytes / sizeof(DWORD));
      return ids;
    }
    ids.resize(ids.size() * 2);
  }
}

using ImageTest = std::function<bool(std::wstring_view image)>;

// The process's full image path; empty when it cannot be read.
std::wstring ImageOf(const SafeHandle& process) {
  std::vector<wchar_t> image(kLongestPath);
  DWORD length = kLongestPath;
  if (!QueryFullProcessImageNameW(process.Get(), 0, image.data(), &length)) return {};
  return std::wstring(image.data(), length);
}

// The processes whose full image path `matches` accepts, opened to be read
// only. Processes that cannot be opened or whose image cannot be read are
// passed over.
std::vector<SafeHandle> FindProcesses(const ImageTest& matches) {
  std::vector<SafeHandle> found;
  for (DWORD id : ProcessIds()) {
    SafeHandle process(OpenProcess(kListAccess, FALSE, id));
    if (!process) continue;
    const std::wstring image = ImageOf(process);
    if (!image.empty() && matches(image)) found.push_back(std::move(process));
  }
  return found;
}

ImageTest HasFileName(std::wstring_view executableName) {
  return [executableName](std::wstring_view image) {
    const size_t slash = image.find_last_of(L"\\/");
    return (slash == std::wstring_view::npos ? image : image.substr(slash + 1)) == executableName;
  };
}

}  // namespace

std::vector<SafeHandle> FindProcessesByName(std::wstring_view executableName) {
  return FindProcesses(HasFileName(executableName));
}

std::vector<SafeHandle> FindProcessesByImage(std::wstring_view imagePath) {
  return FindProcesses([&](std::wstring_view image) {
    return CompareStringOrdinal(image.data(), static_cast<int>(image.size()), imagePath.data(),
                                static_cast<int>(imagePath.size()), TRUE) == CSTR_EQUAL;
  });
}

int32_t StopProcessesByName(std::wstring_view executableName) {
  // Those of another name are only read; the rights to end one are asked
  // for a process whose name matched, on a handle of its own.
  // Every process found counts, those passed over included.
  const ImageTest matches = HasFileName(executableName);
  const std::vector<SafeHandle> listed = FindProcesses(matches);
  for (const SafeHandle& entry : listed) {
    // While `entry` is open its id cannot pass to another process.
    SafeHandle process(OpenProcess(kStopAccess, FALSE, GetProcessId(entry.Get())));
    if (!process) continue;  // protected, or not this account's to end: passed over
    if (TerminateProcess(process.Get(), 0)) {
      if (WaitForSingleObject(process.Get(), INFINITE) == WAIT_FAILED) {
        ThrowWithName(GetLastError(), "Unable to wait for process \"{}\" to close", executableName);
      }
      continue;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) continue;  // already ending, or protected
    ThrowWithName(error, "Unable to stop process \"{}\"", executableName);
  }
  return static_cast<int32_t>(listed.size());
}

namespace {

// The machine's environment (the system's variables, as a new logon of no
// particular user would get them) with TEMP and TMP set to `tempFolder`, as
// the block CreateProcessW takes: "name=value" strings, sorted by name
// without regard to case, each ended by a NUL, and one more NUL at the end.
// Nothing of this process's own environment (the caller's PATH, for one)
// reaches the child.
std::wstring MachineEnvironmentWithTemp(std::wstring_view tempFolder, std::wstring_view executablePath) {
  void* block = nullptr;
  if (!CreateEnvironmentBlock(&block, nullptr, FALSE)) {
    ThrowWithName(GetLastError(), "Unable to make the environment for \"{}\"", executablePath);
  }
  std::vector<std::wstring> entries;
  for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry; entry += wcslen(entry) + 1) {
    const std::wstring text(entry);
    // "=C:=C:\..." entries (current folders per drive) start with '='.
    const std::wstring name = text.substr(0, text.find(L'=', 1));
    if (_wcsicmp(name.c_str(), L"TEMP") != 0 && _wcsicmp(name.c_str(), L"TMP") != 0) entries.push_back(text);
  }
  DestroyEnvironmentBlock(block);
  entries.push_back(L"TEMP=" + std::wstring(tempFolder));
  entries.push_back(L"TMP=" + std::wstring(tempFolder));
  std::stable_sort(entries.begin(), entries.end(),
                   [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
  std::wstring environment;
  for (const std::wstring& entry : entries) environment.append(entry).push_back(L'\0');
  environment.push_back(L'\0');
  return environment;
}

// Starts the program with the machine's environment and, as current folder,
// its own folder (`levelsUp` 0) or the one above it, never the caller's.
uint32_t Run(std::wstring_view executablePath, std::wstring_view arguments, bool wait, std::wstring_view tempFolder,
             int levelsUp) {
  const std::wstring application(executablePath);
  std::wstring commandLine = CommandLine(application, arguments);
  std::wstring environment = MachineEnvironmentWithTemp(tempFolder, application);
  size_t slash = application.rfind(L'\\');
  if (levelsUp > 0 && slash != std::wstring::npos && slash > 2) slash = application.rfind(L'\\', slash - 1);
  // "C:\\" keeps its backslash; any other folder is named without one.
  const std::wstring folder =
      slash == std::wstring::npos ? std::wstring() : application.substr(0, slash == 2 ? 3 : slash);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                      environment.data(), folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    ThrowWithName(GetLastError(), "Unable to start \"{}\"", application);
  }
  const SafeHandle process(info.hProcess);
  const SafeHandle thread(info.hThread);
  if (wait && WaitForSingleObject(process.Get(), INFINITE) == WAIT_FAILED) {
    ThrowWithName(GetLastError(), "Unable to wait for process \"{}\" to close", application);
  }
  DWORD exitCode = 0xFFFFFFFF;
  if (!GetExitCodeProcess(process.Get(), &exitCode)) {
    ThrowWithName(GetLastError(), "Unable to get exit code for process \"{}\"", application);
  }
  return exitCode;
}

// The setup's own temporary folder, without its closing backslash.
std::wstring OwnTempFolder() {
  std::wstring folder = GetTempDirectory();
  while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  return folder;
}

}  // namespace

uint32_t RunProcess(std::wstring_view executablePath, std::wstring_view arguments, bool wait) {
  // An uninstaller removes its own folder, which it could not while that
  // folder is its current one: it starts in the folder above (Program Files).
  return Run(executablePath, arguments, wait, OwnTempFolder(), 1);
}

uint32_t RunInstaller(std::wstring_view executablePath, std::wstring_view arguments, std::wstring_view tempFolder) {
  return Run(executablePath, arguments, true, tempFolder, 0);
}

uint32_t RunProcessWithArguments(std::wstring_view executablePath, const std::vector<std::wstring>& arguments,
                                 bool wait) {
  return RunProcess(executablePath, QuoteArguments(arguments), wait);
}

bool GetProcessSessionId(const SafeHandle& process, uint32_t& sessionId, uint32_t& error) {
  const DWORD processId = GetProcessId(process.Get());
  DWORD session = 0;
  if (processId == 0 || !ProcessIdToSessionId(processId, &session)) {
    error = GetLastError();
    return false;
  }
  sessionId = session;
  error = 0;
  return true;
}
