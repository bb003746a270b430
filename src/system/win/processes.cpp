// Finding, stopping and starting processes by executable name and path.
#include <windows.h>

#include <psapi.h>

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

constexpr DWORD kProcessAccess = SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
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

// The processes whose full image path `matches` accepts. Processes that
// cannot be opened or whose image cannot be read are passed over.
std::vector<SafeHandle> FindProcesses(const std::function<bool(std::wstring_view image)>& matches) {
  std::vector<wchar_t> image(kLongestPath);
  std::vector<SafeHandle> found;
  for (DWORD id : ProcessIds()) {
    SafeHandle process(OpenProcess(kProcessAccess, FALSE, id));
    if (!process) continue;
    DWORD length = kLongestPath;
    if (!QueryFullProcessImageNameW(process.Get(), 0, image.data(), &length)) continue;
    if (matches(std::wstring_view(image.data(), length))) found.push_back(std::move(process));
  }
  return found;
}

}  // namespace

std::vector<SafeHandle> FindProcessesByName(std::wstring_view executableName) {
  return FindProcesses([&](std::wstring_view image) {
    const size_t slash = image.find_last_of(L"\\/");
    return (slash == std::wstring_view::npos ? image : image.substr(slash + 1)) == executableName;
  });
}

std::vector<SafeHandle> FindProcessesByImage(std::wstring_view imagePath) {
  return FindProcesses([&](std::wstring_view image) {
    return CompareStringOrdinal(image.data(), static_cast<int>(image.size()), imagePath.data(),
                                static_cast<int>(imagePath.size()), TRUE) == CSTR_EQUAL;
  });
}

int32_t StopProcessesByName(std::wstring_view executableName) {
  std::vector<SafeHandle> processes = FindProcessesByName(executableName);
  for (const SafeHandle& process : processes) {
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
  return static_cast<int32_t>(processes.size());
}

namespace {

// This process's environment with TEMP and TMP set to `tempFolder`, as the
// block CreateProcessW takes: "name=value" strings, sorted by name without
// regard to case, each ended by a NUL, and one more NUL at the end.
std::wstring EnvironmentWithTemp(std::wstring_view tempFolder) {
  std::vector<std::wstring> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
      const std::wstring text(entry);
      // "=C:=C:\..." entries (current folders per drive) start with '='.
      const std::wstring name = text.substr(0, text.find(L'=', 1));
      if (_wcsicmp(name.c_str(), L"TEMP") != 0 && _wcsicmp(name.c_str(), L"TMP") != 0) entries.push_back(text);
    }
    FreeEnvironmentStringsW(block);
  }
  entries.push_back(L"TEMP=" + std::wstring(tempFolder));
  entries.push_back(L"TMP=" + std::wstring(tempFolder));
  std::stable_sort(entries.begin(), entries.end(),
                   [](const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) < 0; });
  std::wstring environment;
  for (const std::wstring& entry : entries) environment.append(entry).push_back(L'\0');
  environment.push_back(L'\0');
  return environment;
}

uint32_t Run(std::wstring_view executablePath, std::wstring_view arguments, bool wait, std::wstring* environment) {
  const std::wstring application(executablePath);
  std::wstring commandLine;
  if (!arguments.empty()) commandLine = L"\"" + application + L"\" " + std::wstring(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  const DWORD flags = environment ? CREATE_UNICODE_ENVIRONMENT : 0;
  if (!CreateProcessW(application.c_str(), commandLine.empty() ? nullptr : commandLine.data(), nullptr, nullptr, FALSE,
                      flags, environment ? environment->data() : nullptr, nullptr, &startup, &info)) {
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

}  // namespace

uint32_t RunProcess(std::wstring_view executablePath, std::wstring_view arguments, bool wait) {
  return Run(executablePath, arguments, wait, nullptr);
}

uint32_t RunInstaller(std::wstring_view executablePath, std::wstring_view arguments, std::wstring_view tempFolder) {
  std::wstring environment = EnvironmentWithTemp(tempFolder);
  return Run(executablePath, arguments, true, &environment);
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
