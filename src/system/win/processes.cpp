// Finding, stopping and starting processes by executable name and path.
#include <windows.h>

#include <psapi.h>

#include <fmt/format.h>

#include <stdexcept>

#include "app/log.h"
#include "app/text.h"
#include "system/errors.h"
#include "system/files.h"

namespace {

constexpr DWORD kProcessAccess = SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

[[noreturn]] void ThrowWithName(DWORD error, const char* format, std::wstring_view name) {
  Errors::ThrowSystem(error, fmt::format(fmt::runtime(format), Text::ToUtf8(name)));
}

bool HasBaseName(HANDLE process, const std::wstring& name) {
  HMODULE module = nullptr;
  DWORD needed = 0;
  if (!K32EnumProcessModules(process, &module, sizeof(module), &needed)) return false;
  wchar_t baseName[MAX_PATH] = {};
  if (K32GetModuleBaseNameW(process, module, baseName, MAX_PATH) == 0) return false;
  return lstrcmpW(baseName, name.c_str()) == 0;
}

}  // namespace

std::vector<SafeHandle> FindProcessesByName(std::wstring_view executableName) {
  DWORD ids[1024] = {};
  DWORD bytes = 0;
  if (!K32EnumProcesses(ids, sizeof(ids), &bytes)) {
    SetupLog::Error("Unable to enumerate process list: error %u", static_cast<unsigned>(GetLastError()));
    throw std::runtime_error("Unable to enumerate process list");
  }
  const std::wstring name(executableName);
  std::vector<SafeHandle> found;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    SafeHandle process(OpenProcess(kProcessAccess, FALSE, ids[i]));
    if (process && HasBaseName(process.Get(), name)) found.push_back(std::move(process));
  }
  return found;
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

uint32_t RunProcess(std::wstring_view executablePath, std::wstring_view arguments, bool wait) {
  const std::wstring application(executablePath);
  std::wstring commandLine;
  if (!arguments.empty()) commandLine = L"\"" + application + L"\" " + std::wstring(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), commandLine.empty() ? nullptr : commandLine.data(), nullptr, nullptr, FALSE,
                      0, nullptr, nullptr, &startup, &info)) {
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
