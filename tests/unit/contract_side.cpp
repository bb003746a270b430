// The contracts' side in unit_tests: the in-memory double.
#include <string>

#include "contract/side.h"
#include "double/double.h"
#include "double/files.h"
#include "double/http.h"
#include "double/processes.h"
#include "double/scm.h"
#include "double/tasks.h"
#include "system/files.h"
#include "system/services.h"

namespace Side {
namespace {
constexpr wchar_t kScratch[] = L"C:\\users\\tester\\Temp\\contract";
constexpr wchar_t kChild[] = L"C:\\users\\tester\\Temp\\valdrix_child.exe";
constexpr wchar_t kServer[] = L"https://localhost:8443";
constexpr uint32_t kRefusedSession = 0xDEAD;
constexpr int32_t kNoLogonSession = static_cast<int32_t>(0x80070520);  // as the Wine stand-in answers
const std::string kFile = [] {
  std::string bytes;
  for (int i = 0; i < 50000; ++i) bytes.push_back(static_cast<char>('a' + i % 23));
  return bytes;
}();
}  // namespace

const char* CannotDo(Capability what) {
  switch (what) {
    case Capability::HardLinks:
      return "the double's file system has no links: a second name of a file cannot be planted";
    case Capability::ReadFailureActions: return nullptr;
  }
  return "unknown capability";
}

void BeginTest() {
  Double::Reset();
  Double::Files::MakeDirectories(kScratch);
}

void EndTest() {
  EXPECT_EQ(Double::Scm::OpenHandles(), 0) << "a service handle was left open";
  EXPECT_EQ(Double::Processes::OpenHandles(), 0) << "a process handle was left open";
}

std::wstring Scratch() { return kScratch; }

void SetReadOnly(const std::wstring& path) { Double::Files::SetReadOnly(path, true); }
void MakeHardLink(const std::wstring&, const std::wstring&) { ADD_FAILURE() << CannotDo(Capability::HardLinks); }
std::wstring ShortcutTarget(const std::wstring& link) { return Double::Files::ShortcutTarget(link); }

std::wstring ChildPath() {
  if (!Double::Files::IsFile(kChild)) {
    Double::Files::PutFile(kChild, "MZ");
    Double::Processes::OnRun(kChild, {7, 0, {}});
  }
  return kChild;
}
std::wstring ChildName() { return L"valdrix_child.exe"; }
void StartSleepingChildren(int count) {
  for (int i = 0; i < count; ++i) RunProcess(ChildPath(), L"", false);
}

// The double's services follow a script instead of their binary.
std::wstring ServiceBinaryPath(ServiceBehaviour) {
  return L"\"C:\\Program Files\\ValdrixTest\\valdrix_test_service.exe\"";
}
void ScriptService(const wchar_t* name, ServiceBehaviour behaviour) {
  Double::Scm::Script script{.startPendingQueries = 1, .stopPendingQueries = 1, .waitHint = 2000};
  if (behaviour == ServiceBehaviour::StallStart) script = {.startPendingQueries = -1, .waitHint = 1000};
  if (behaviour == ServiceBehaviour::IgnoreStop) script.ignoresStop = true;
  if (behaviour == ServiceBehaviour::Linger) script.processLingersAfterStop = true;
  Double::Scm::SetScript(name, script);
}
void RemoveService(const wchar_t* name) {
  Double::Scm::RemoveService(name);  // first: its recovery actions would restart a killed process
  StopProcessesByName(L"valdrix_test_service.exe");
}
ServiceConfig ReadServiceConfig(const wchar_t* name) {
  const auto service = Double::Scm::Find(name);
  if (!service) return {};
  return {service->binaryPath, service->displayName, service->startType};
}
std::optional<ScmApi::RecoveryActions> ReadRecoveryActions(const wchar_t* name) {
  const auto service = Double::Scm::Find(name);
  return service ? service->recoveryActions : std::nullopt;
}
bool WaitUntilServiceIsGone(const wchar_t* name) {
  for (int i = 0; i < 100; ++i) {
    if (!Services::IsInstalled(name)) return true;
  }
  return false;
}

std::optional<RegisteredAction> ReadTaskAction(const wchar_t* name) {
  const auto task = Double::Tasks::Find(name);
  if (!task) return std::nullopt;
  return RegisteredAction{task->executable, task->arguments, task->workingDirectory};
}
uint32_t RefusedSession() {
  Double::Tasks::SetRunResult(kRefusedSession, kNoLogonSession);
  return kRefusedSession;
}

std::wstring ServerBase() { return kServer; }
std::string ServedFile() { return kFile; }
std::wstring UrlOf(Served what) {
  Double::Http::Response response{200, kFile};
  std::wstring path = L"/files/a.bin";
  switch (what) {
    case Served::Whole: break;
    case Served::Chunked:
      path = L"/files/chunk.bin";
      response.sendContentLength = false;
      break;
    case Served::Cut:
      path = L"/files/cut.bin";
      response.cutAfter = 1000;
      break;
    case Served::Missing:
      path = L"/files/missing.bin";
      response = {404, "not found"};
      break;
    case Served::Refused:
      response.transportError = 12029;  // ERROR_WINHTTP_CANNOT_CONNECT
      Double::Http::Serve(L"http://localhost:1/x", response);
      return L"http://localhost:1/x";
  }
  Double::Http::Serve(kServer + path, response);
  return kServer + path;
}

}  // namespace Side
