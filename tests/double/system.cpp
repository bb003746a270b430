// System probes, privileges, shell and COM set-up of the double. Faults:
// "ShellOpen" (throws "ShellExecute failed"), "EnableDebugPrivilege",
// "Com::InitializeSecurity".
#include "double/system.h"

#include <mutex>

#include "double/double.h"
#include "system/com.h"
#include "system/errors.h"
#include "system/files.h"

namespace Double::System {
namespace {

struct State {
  std::mutex lock;
  uint32_t major = 10;
  uint32_t build = 19045;
  bool windowsPE = false;
  std::wstring programFiles = L"C:\\Program Files";
  uint32_t lastError = 0;
  int32_t comResult = 0;
  int comInitializations = 0;
  std::vector<std::wstring> opened;
};

State& GetState() {
  static State state;
  return state;
}

const bool registered = [] {
  RegisterReset([] {
    State& state = GetState();
    std::lock_guard guard(state.lock);
    state.major = 10;
    state.build = 19045;
    state.windowsPE = false;
    state.programFiles = L"C:\\Program Files";
    state.lastError = 0;
    state.comResult = 0;
    state.comInitializations = 0;
    state.opened.clear();
  });
  return true;
}();

}  // namespace

void SetWindowsVersion(uint32_t major, uint32_t build) {
  std::lock_guard guard(GetState().lock);
  GetState().major = major;
  GetState().build = build;
}

void SetWindowsPE(bool windowsPE) {
  std::lock_guard guard(GetState().lock);
  GetState().windowsPE = windowsPE;
}

void SetProgramFilesFolder(std::wstring folder) {
  std::lock_guard guard(GetState().lock);
  GetState().programFiles = std::move(folder);
}

void SetLastErrorCode(uint32_t error) {
  std::lock_guard guard(GetState().lock);
  GetState().lastError = error;
}

void SetComInitializeResult(int32_t hresult) {
  std::lock_guard guard(GetState().lock);
  GetState().comResult = hresult;
}

std::vector<std::wstring> ShellOpened() {
  std::lock_guard guard(GetState().lock);
  return GetState().opened;
}

int ComInitializations() {
  std::lock_guard guard(GetState().lock);
  return GetState().comInitializations;
}

}  // namespace Double::System

using Double::System::GetState;

bool EnableDebugPrivilege() { return !Double::TakeFault("EnableDebugPrivilege"); }

std::wstring GetProgramFilesFolder() {
  std::lock_guard guard(GetState().lock);
  return GetState().programFiles;
}

uint32_t GetLastErrorCode() {
  std::lock_guard guard(GetState().lock);
  return GetState().lastError;
}

bool IsWindowsPE() {
  std::lock_guard guard(GetState().lock);
  return GetState().windowsPE;
}

bool IsWindowsVersionAtLeast(uint32_t major, uint32_t build, uint32_t& actualMajor) {
  std::lock_guard guard(GetState().lock);
  const auto& state = GetState();
  actualMajor = state.major;
  return state.major > major || (state.major == major && state.build >= build);
}

void ShellOpen(std::wstring_view target, int) {
  if (const auto error = Double::TakeFault("ShellOpen")) Errors::ThrowSystem(*error, "ShellExecute failed");
  std::lock_guard guard(GetState().lock);
  GetState().opened.emplace_back(target);
}

namespace Com {

int32_t InitializeMultithreaded() {
  std::lock_guard guard(GetState().lock);
  auto& state = GetState();
  if (state.comResult >= 0) ++state.comInitializations;
  return state.comResult;
}

int32_t InitializeSecurity() {
  if (const auto error = Double::TakeFault("Com::InitializeSecurity")) return static_cast<int32_t>(*error);
  return 0;
}

void Uninitialize() {
  std::lock_guard guard(GetState().lock);
  --GetState().comInitializations;
}

}  // namespace Com
