// The contracts' side in win_integration_tests: real Win32 under Wine, with
// the fixture programs, the local update server and the Task Scheduler
// stand-in of the test prefix.
#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <taskschd.h>

#include <memory>
#include <string>

#include "contract/side.h"
#include "support/temp_folder.h"
#include "system/files.h"
#include "system/services.h"
#include "system/win/com_ptr.h"
#include "win/system_test_support.h"

std::wstring XmlElement(const std::wstring& xml, const std::wstring& name) {
  const size_t open = xml.find(L"<" + name + L">");
  if (open == std::wstring::npos) return {};
  const size_t start = open + name.size() + 2;
  const size_t end = xml.find(L"</" + name + L">", start);
  return end == std::wstring::npos ? std::wstring() : xml.substr(start, end - start);
}

// Under Wine, the Task Scheduler stand-in of the test prefix answers.
std::optional<std::wstring> RegisteredTaskXml(const wchar_t* name) {
  ComPtr<ITaskService> service;
  ComPtr<ITaskFolder> folder;
  ComPtr<IRegisteredTask> task;
  const VARIANT empty{};
  BSTR root = SysAllocString(L"\\");
  BSTR taskName = SysAllocString(name);
  HRESULT hr =
      CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService, service.PutVoid());
  if (SUCCEEDED(hr)) hr = service->Connect(empty, empty, empty, empty);
  if (SUCCEEDED(hr)) hr = service->GetFolder(root, folder.Put());
  if (SUCCEEDED(hr)) hr = folder->GetTask(taskName, task.Put());
  SysFreeString(root);
  SysFreeString(taskName);
  if (FAILED(hr)) return std::nullopt;
  BSTR xml = nullptr;
  hr = task->get_Xml(&xml);
  std::wstring text = xml ? xml : L"";
  SysFreeString(xml);
  EXPECT_TRUE(SUCCEEDED(hr)) << "IRegisteredTask::get_Xml failed: 0x" << std::hex << hr;
  return text;
}

namespace Side {
namespace {

constexpr wchar_t kServiceExe[] = L"valdrix_test_service.exe";
// Listed in no C:\valdrix-fixtures\sessions.txt: the scheduler refuses it.
constexpr uint32_t kRefusedSession = 0xDEAD;

std::unique_ptr<TempFolder> g_scratch;
std::unique_ptr<ComScope> g_com;

std::wstring Environment(const wchar_t* name) {
  const wchar_t* value = _wgetenv(name);
  return value ? value : L"";
}

struct ScHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ScOwner = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleCloser>;

ScOwner OpenTestService(const wchar_t* name, DWORD access) {
  ScOwner manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  return ScOwner(manager ? OpenServiceW(manager.get(), name, access) : nullptr);
}

}  // namespace

// Wine 8 makes hard links for real, but no symbolic links
// (CreateSymbolicLinkW reports success and makes nothing), so no contract
// plants one.
const char* CannotDo(Capability what) {
  switch (what) {
    case Capability::HardLinks: return nullptr;
    case Capability::ReadFailureActions:
      return "Wine 8 accepts failure actions but cannot report them back (ERROR_INVALID_LEVEL)";
  }
  return "unknown capability";
}

void BeginTest() {
  g_com = std::make_unique<ComScope>();
  g_scratch = std::make_unique<TempFolder>();
}

void EndTest() {
  g_scratch.reset();
  g_com.reset();
}

std::wstring Scratch() {
  std::wstring path = g_scratch->Root().wstring();
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

void SetReadOnly(const std::wstring& path) { ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY)); }

void MakeHardLink(const std::wstring& link, const std::wstring& target) {
  ASSERT_TRUE(CreateHardLinkW(link.c_str(), target.c_str(), nullptr)) << GetLastError();
}

std::wstring ShortcutTarget(const std::wstring& link) {
  ComPtr<IShellLinkW> shellLink;
  ComPtr<IPersistFile> file;
  wchar_t target[MAX_PATH] = {};
  if (SUCCEEDED(
          CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, shellLink.PutVoid())) &&
      SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, file.PutVoid())) &&
      SUCCEEDED(file->Load(link.c_str(), STGM_READ))) {
    shellLink->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
  }
  return target;
}

std::wstring ChildPath() { return FixturePath(L"valdrix_child.exe"); }
std::wstring ChildName() { return L"valdrix_child.exe"; }
void StartSleepingChildren(int count) {
  for (int i = 0; i < count; ++i) EXPECT_EQ(RunProcess(ChildPath(), L"--sleep", false), STILL_ACTIVE);
}

// Services start only from a path the service manager can reach, so the
// fixture is copied under Program Files and registered with a quoted path;
// its behaviour is an argument of that path.
std::wstring ServiceBinaryPath(ServiceBehaviour behaviour) {
  const std::wstring folder = GetProgramFilesFolder() + L"\\ValdrixTest";
  EnsureDirectory(folder);
  const std::wstring target = folder + L"\\" + kServiceExe;
  CopyFileW(FixturePath(kServiceExe).c_str(), target.c_str(), FALSE);
  static const wchar_t* const kModes[] = {L"", L" stall-start", L" ignore-stop", L" linger"};
  return L"\"" + target + L"\"" + kModes[static_cast<int>(behaviour)];
}

void ScriptService(const wchar_t*, ServiceBehaviour) {}

void RemoveService(const wchar_t* name) {
  if (!Services::IsInstalled(name)) return;
  StopProcessesByName(kServiceExe);
  if (ScOwner service = OpenTestService(name, SERVICE_ALL_ACCESS)) DeleteService(service.get());
  WaitUntilServiceIsGone(name);
}

bool WaitUntilServiceIsGone(const wchar_t* name) {
  for (int i = 0; i < 100; ++i) {
    if (!Services::IsInstalled(name)) return true;
    Sleep(100);
  }
  return false;
}

ServiceConfig ReadServiceConfig(const wchar_t* name) {
  ScOwner service = OpenTestService(name, SERVICE_QUERY_CONFIG);
  alignas(QUERY_SERVICE_CONFIGW) BYTE bytes[8192];
  DWORD needed = 0;
  const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(bytes);
  if (!service ||
      !QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(bytes), sizeof(bytes), &needed)) {
    ADD_FAILURE() << "cannot read the configuration: " << GetLastError();
    return {};
  }
  // Own process under LocalSystem is what Services::Install asks for; the
  // double does not model either.
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");
  return {config->lpBinaryPathName, config->lpDisplayName, config->dwStartType};
}

std::optional<ScmApi::RecoveryActions> ReadRecoveryActions(const wchar_t* name) {
  ScOwner service = OpenTestService(name, SERVICE_QUERY_CONFIG);
  alignas(SERVICE_FAILURE_ACTIONSW) BYTE bytes[8192];
  DWORD needed = 0;
  if (!service || !QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, bytes, sizeof(bytes), &needed)) {
    return std::nullopt;
  }
  const auto* failure = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(bytes);
  if (failure->cActions != 3) return std::nullopt;
  ScmApi::RecoveryActions actions{failure->dwResetPeriod, {}};
  for (DWORD i = 0; i < 3; ++i) {
    if (failure->lpsaActions[i].Type != SC_ACTION_RESTART) return std::nullopt;
    actions.restartDelaysMs[i] = failure->lpsaActions[i].Delay;
  }
  return actions;
}

std::optional<RegisteredAction> ReadTaskAction(const wchar_t* name) {
  const std::optional<std::wstring> xml = RegisteredTaskXml(name);
  if (!xml) return std::nullopt;
  return RegisteredAction{XmlElement(*xml, L"Command"), XmlElement(*xml, L"Arguments"),
                          XmlElement(*xml, L"WorkingDirectory")};
}

uint32_t RefusedSession() { return kRefusedSession; }

// Started by scripts/run-wine-tests; a missing server is a failure, not a skip.
std::wstring ServerBase() {
  const std::wstring server = Environment(L"VALDRIX_TEST_SERVER");
  if (server.empty()) ADD_FAILURE() << "the local update server is not running (VALDRIX_TEST_SERVER is not set)";
  return server;
}

std::string ServedFile() {
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(Environment(L"VALDRIX_TEST_SERVER_ROOT") + L"\\files\\a.bin", bytes))
      << "the local update server's files are missing (VALDRIX_TEST_SERVER_ROOT)";
  return bytes;
}

std::wstring UrlOf(Served what) {
  switch (what) {
    case Served::Whole: return ServerBase() + L"/files/a.bin";
    case Served::Chunked: return ServerBase() + L"/files/chunk.bin";
    case Served::Cut: return ServerBase() + L"/files/cut.bin";
    case Served::Missing: return ServerBase() + L"/files/missing.bin";
    case Served::Refused: return L"http://localhost:1/x";
  }
  return {};
}

}  // namespace Side
