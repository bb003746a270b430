// The references of bench/verify_bench.py between the empty program and the
// setup: a silent verify of a healthy installation reduced to its Windows
// calls, in its order, with no engine, no reporting and one log line.
//
//   verify_floor.exe           the calls the setup is built to make: one
//                              service-manager connection per service query
//                              with its access rights, one Task Scheduler
//                              connection per task query, a global mutex
//                              made with an owner and a DACL, the user of
//                              each session that may have one, and each
//                              process's image path;
//   verify_floor.exe /minimal  the same answers with the fewest calls: one
//                              service-manager connection, one Task Scheduler
//                              connection, image names from the kernel.
//
// What the first costs above the empty program is Wine's price for the calls;
// what the setup costs above it is the setup's own. The difference between the
// two floors is the price of the calls' design.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <psapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <taskschd.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr CLSID kTaskScheduler = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr IID kTaskService = {0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
constexpr wchar_t kService[] = L"Valdrix";
constexpr wchar_t kClient[] = L"Valdrix.Desktop.exe";
constexpr wchar_t kClientImage[] = L"C:\\Program Files\\Valdrix\\Valdrix.Desktop.exe";
constexpr DWORD kProcessAccess = SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

// One service-manager connection and one service handle, closed in the
// setup's order (service first).
class ServiceQuery {
 public:
  ServiceQuery(DWORD managerAccess, DWORD serviceAccess) {
    manager_ = OpenSCManagerW(nullptr, nullptr, managerAccess);
    if (manager_) service_ = OpenServiceW(manager_, kService, serviceAccess);
  }
  ~ServiceQuery() {
    if (service_) CloseServiceHandle(service_);
    if (manager_) CloseServiceHandle(manager_);
  }
  ServiceQuery(const ServiceQuery&) = delete;
  ServiceQuery& operator=(const ServiceQuery&) = delete;
  SC_HANDLE Service() const { return service_; }

 private:
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

bool StartsAutomatically(SC_HANDLE service) {
  DWORD needed = 0;
  if (QueryServiceConfigW(service, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(std::malloc(needed));
  const bool automatic =
      config && QueryServiceConfigW(service, config, needed, &needed) && config->dwStartType == SERVICE_AUTO_START;
  std::free(config);
  return automatic;
}

bool IsRunning(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
}

// One Task Scheduler connection; Enabled asks the logon task.
class TaskQuery {
 public:
  TaskQuery() {
    if (FAILED(CoCreateInstance(kTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kTaskService,
                                reinterpret_cast<void**>(&service_))))
      return;
    VARIANT empty;
    VariantInit(&empty);
    BSTR root = SysAllocString(L"\\");
    BSTR name = SysAllocString(L"ValdrixLogon");
    if (SUCCEEDED(service_->Connect(empty, empty, empty, empty)) && SUCCEEDED(service_->GetFolder(root, &folder_)))
      folder_->GetTask(name, &task_);
    SysFreeString(name);
    SysFreeString(root);
  }
  ~TaskQuery() {
    if (task_) task_->Release();
    if (folder_) folder_->Release();
    if (service_) service_->Release();
  }
  TaskQuery(const TaskQuery&) = delete;
  TaskQuery& operator=(const TaskQuery&) = delete;
  bool Exists() const { return task_ != nullptr; }
  bool Enabled() const {
    VARIANT_BOOL enabled = VARIANT_FALSE;
    return task_ && SUCCEEDED(task_->get_Enabled(&enabled)) && enabled == VARIANT_TRUE;
  }

 private:
  ITaskService* service_ = nullptr;
  ITaskFolder* folder_ = nullptr;
  IRegisteredTask* task_ = nullptr;
};

bool IsClient(HANDLE process, bool minimal) {
  wchar_t name[MAX_PATH] = {};
  if (minimal) {
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameW(process, 0, name, &size)) return false;
    const wchar_t* slash = wcsrchr(name, L'\\');
    return lstrcmpW(slash ? slash + 1 : name, kClient) == 0;
  }
  DWORD size = MAX_PATH;
  return QueryFullProcessImageNameW(process, 0, name, &size) &&
         CompareStringOrdinal(name, static_cast<int>(size), kClientImage, -1, TRUE) == CSTR_EQUAL;
}

int ClientsRunning(bool minimal) {
  DWORD ids[1024];
  DWORD bytes = 0;
  if (!K32EnumProcesses(ids, sizeof(ids), &bytes)) return 0;
  int found = 0;
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    HANDLE process = OpenProcess(minimal ? PROCESS_QUERY_LIMITED_INFORMATION : kProcessAccess, FALSE, ids[i]);
    if (!process) continue;
    DWORD session = 0;
    if (IsClient(process, minimal) && ProcessIdToSessionId(GetProcessId(process), &session)) ++found;
    CloseHandle(process);
  }
  return found;
}

bool ServiceAndTaskHealthy(bool minimal) {
  if (minimal) {
    const ServiceQuery query(SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    const TaskQuery task;
    return query.Service() && StartsAutomatically(query.Service()) && IsRunning(query.Service()) && task.Enabled();
  }
  bool healthy = ServiceQuery(SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS).Service() != nullptr;
  healthy = TaskQuery().Exists() && healthy;
  {
    const ServiceQuery query(SC_MANAGER_ALL_ACCESS, SERVICE_QUERY_CONFIG);
    healthy = query.Service() && StartsAutomatically(query.Service()) && healthy;
  }
  healthy = TaskQuery().Enabled() && healthy;
  const ServiceQuery query(SC_MANAGER_ALL_ACCESS, SERVICE_QUERY_STATUS);
  return query.Service() && IsRunning(query.Service()) && healthy;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  const bool minimal = arguments && count > 1 && lstrcmpiW(arguments[1], L"/minimal") == 0;
  LocalFree(arguments);
  PWSTR localAppData = nullptr;
  SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &localAppData);
  CoTaskMemFree(localAppData);
  PSECURITY_DESCRIPTOR owner = nullptr;
  if (!minimal) {
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &owner,
                                                         nullptr);
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), owner, FALSE};
  HANDLE mutex = CreateMutexW(owner ? &attributes : nullptr, FALSE, L"Global\\Valdrix.Setup.Floor");
  LocalFree(owner);

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
  const int result = ServiceAndTaskHealthy(minimal) ? 0 : 2;
  WTS_SESSION_INFOW* sessions = nullptr;
  DWORD sessionCount = 0;
  if (WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &sessionCount)) {
    // The user of each session that may have one: the listener and a console
    // at the logon screen have none.
    for (DWORD i = 0; i < sessionCount; ++i) {
      if (sessions[i].SessionId == 0 || (sessions[i].State != WTSActive && sessions[i].State != WTSDisconnected))
        continue;
      wchar_t* user = nullptr;
      DWORD bytes = 0;
      if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessions[i].SessionId, WTSUserName, &user, &bytes))
        WTSFreeMemory(user);
    }
    WTSFreeMemory(sessions);
  }
  ClientsRunning(minimal);
  CoUninitialize();

  CloseHandle(file);
  CloseHandle(mutex);
  return result;
}
