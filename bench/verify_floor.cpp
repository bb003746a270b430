// The second reference of bench/verify_bench.py: the Windows calls that a
// silent verify of a healthy installation cannot do without, in its order,
// and nothing else (no engine, one log line, no reporting). What this costs
// above the empty program is Wine's price for the APIs, not the setup's.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <psapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <taskschd.h>
#include <wtsapi32.h>

#include <cstdio>
#include <ctime>

namespace {

constexpr CLSID kTaskScheduler = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr IID kTaskService = {0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};

bool ServiceRunsAndIsEnabled() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return false;
  SC_HANDLE service = OpenServiceW(manager, L"Valdrix", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
  bool ok = false;
  if (service) {
    BYTE buffer[8192];
    DWORD needed = 0;
    SERVICE_STATUS_PROCESS status{};
    ok = QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof(buffer), &needed) &&
         QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed) &&
         status.dwCurrentState == SERVICE_RUNNING;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return ok;
}

bool LogonTaskIsEnabled() {
  ITaskService* service = nullptr;
  if (FAILED(CoCreateInstance(kTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kTaskService,
                              reinterpret_cast<void**>(&service))))
    return false;
  VARIANT empty;
  VariantInit(&empty);
  ITaskFolder* folder = nullptr;
  IRegisteredTask* task = nullptr;
  VARIANT_BOOL enabled = VARIANT_FALSE;
  BSTR root = SysAllocString(L"\\");
  BSTR name = SysAllocString(L"ValdrixLogon");
  if (SUCCEEDED(service->Connect(empty, empty, empty, empty)) && SUCCEEDED(service->GetFolder(root, &folder)) &&
      SUCCEEDED(folder->GetTask(name, &task)))
    task->get_Enabled(&enabled);
  SysFreeString(name);
  SysFreeString(root);
  if (task) task->Release();
  if (folder) folder->Release();
  service->Release();
  return enabled == VARIANT_TRUE;
}

int ClientsRunning() {
  DWORD ids[4096];
  DWORD bytes = 0;
  if (!K32EnumProcesses(ids, sizeof(ids), &bytes)) return 0;
  int found = 0;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ids[i]);
    if (!process) continue;
    wchar_t path[MAX_PATH];
    DWORD size = MAX_PATH;
    if (QueryFullProcessImageNameW(process, 0, path, &size) && wcsstr(path, L"Valdrix.Desktop.exe")) ++found;
    CloseHandle(process);
  }
  return found;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  LocalFree(CommandLineToArgvW(GetCommandLineW(), &count));
  PWSTR localAppData = nullptr;
  SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &localAppData);
  CoTaskMemFree(localAppData);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Valdrix.Setup.Floor");

  wchar_t log[MAX_PATH];
  GetTempPathW(MAX_PATH, log);
  lstrcatW(log, L"Valdrix.Setup.Floor.log");
  HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  // The log's lines carry the local time; its first conversion makes Wine
  // look up the time zone.
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  char line[64];
  const int length =
      std::snprintf(line, sizeof(line), "[   INFO] [%d-%02d-%02d %02d:%02d:%02d] verify\n", local.tm_year + 1900,
                    local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);

  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Valdrix", 0, KEY_READ, &key) == ERROR_SUCCESS) RegCloseKey(key);

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IMPERSONATE,
                       nullptr, EOAC_NONE, nullptr);
  int result = ServiceRunsAndIsEnabled() && LogonTaskIsEnabled() ? 0 : 2;
  WTS_SESSION_INFOW* sessions = nullptr;
  DWORD sessionCount = 0;
  if (WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &sessionCount)) WTSFreeMemory(sessions);
  ClientsRunning();
  CoUninitialize();

  CloseHandle(file);
  CloseHandle(mutex);
  return result;
}
