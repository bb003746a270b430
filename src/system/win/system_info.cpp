// Paths of the running setup, shell folders, privileges and system probes.
#include <windows.h>
// shellapi.h and shlobj.h need the types of windows.h first.
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "system/errors.h"
#include "system/files.h"
#include "system/registry_api.h"

#include <fmt/format.h>
#include <stdexcept>

namespace {

std::wstring ShellFolder(int csidl) {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return {};
  return buffer;
}

}  // namespace

std::wstring GetCommonDesktopFolder() { return ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY); }
std::wstring GetCommonProgramsFolder() { return ShellFolder(CSIDL_COMMON_PROGRAMS); }
std::wstring GetLocalAppDataFolder() { return ShellFolder(CSIDL_LOCAL_APPDATA); }
std::wstring GetProgramFilesFolder() { return ShellFolder(CSIDL_PROGRAM_FILES); }

std::wstring GetTempDirectory() {
  // GetTempPath2W gives SYSTEM a folder of its own (C:\Windows\SystemTemp),
  // where GetTempPathW gives C:\Windows\Temp, in which every user can make
  // files first. Older Windows lacks it, so it is looked up, not imported.
  using TempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);
  static const TempPathFunction tempPath2 = [] {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<TempPathFunction>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetTempPath2W")))
                  : nullptr;
  }();
  wchar_t buffer[MAX_PATH + 1] = {};
  if (!tempPath2 || tempPath2(MAX_PATH + 1, buffer) == 0) GetTempPathW(MAX_PATH + 1, buffer);
  return buffer;
}

std::wstring GetExecutablePath() {
  wchar_t buffer[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  return buffer;
}

std::wstring GetExecutableDirectory() {
  const std::wstring path = GetExecutablePath();
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring GetExecutableName() {
  const std::wstring path = GetExecutablePath();
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

uint32_t GetLastErrorCode() { return GetLastError(); }

PrivilegeChange SetDebugPrivilege(bool enabled, uint32_t& error) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) {
    error = GetLastError();
    return PrivilegeChange::Failed;
  }
  const SafeHandle token(raw);
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enabled ? SE_PRIVILEGE_ENABLED : 0;
  if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
    error = GetLastError();
    return PrivilegeChange::Failed;
  }
  // Success alone does not say the privilege was there: only the last
  // error does.
  SetLastError(ERROR_SUCCESS);
  if (!AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr)) {
    error = GetLastError();
    return PrivilegeChange::Failed;
  }
  error = GetLastError();
  return error == ERROR_NOT_ALL_ASSIGNED ? PrivilegeChange::NotHeld : PrivilegeChange::Done;
}

bool IsWindowsPE() {
  RegistryApi::Key key = nullptr;
  if (RegistryApi::OpenKey(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\MiniNT", KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegistryApi::CloseKey(key);
  return true;
}

bool IsWindowsVersionAtLeast(uint32_t major, uint32_t build, uint32_t& actualMajor) {
  // The application manifest declares Windows 10, so the true version is seen.
  OSVERSIONINFOEXW majorTest{};
  majorTest.dwOSVersionInfoSize = sizeof(majorTest);
  actualMajor = 0;
  for (uint32_t candidate = 20; candidate > 0; --candidate) {
    majorTest.dwMajorVersion = candidate;
    if (VerifyVersionInfoW(&majorTest, VER_MAJORVERSION, VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL))) {
      actualMajor = candidate;
      break;
    }
  }
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  info.dwMajorVersion = major;
  info.dwMinorVersion = 0;
  info.dwBuildNumber = build;
  ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_BUILDNUMBER, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_BUILDNUMBER, mask) != FALSE;
}

uint32_t GetOwnSessionId() {
  DWORD session = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) return 0;
  return session;
}

void ShowInformation(std::wstring_view text, std::wstring_view caption) {
  MessageBoxW(nullptr, std::wstring(text).c_str(), std::wstring(caption).c_str(), MB_ICONINFORMATION);
}

void ShellOpen(std::wstring_view target, int showCommand) {
  const HRESULT comResult = CoInitialize(nullptr);
  struct ComGuard {
    bool active;
    ~ComGuard() {
      if (active) CoUninitialize();
    }
  } guard{SUCCEEDED(comResult)};
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", std::wstring(target).c_str(), nullptr, nullptr, showCommand));
  if (result > 32) return;
  if (result < 9) Errors::ThrowSystem(static_cast<uint32_t>(result), "ShellExecute failed");
  throw std::runtime_error(fmt::format("ShellExecute failed: error {}.", static_cast<int>(result)));
}
