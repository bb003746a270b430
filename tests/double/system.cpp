// In-memory shell calls, privileges, version and Windows PE probes, COM.
#include "double/system.h"

#include <fmt/format.h>

#include <mutex>
#include <stdexcept>

#include "double/double.h"
#include "double/files.h"
#include "double/registry.h"
#include "system/com.h"
#include "system/errors.h"
#include "system/files.h"
#include "system/registry_api.h"

namespace Double::System {
namespace {

struct State {
  std::mutex lock;
  uint32_t major = 10;
  uint32_t build = 19045;
  bool debugPrivilegeHeld = true;
  bool debugPrivilegeEnabled = false;
  uint32_t lastError = 0;
  std::vector<ShellOpenCall> shellOpens;
  std::vector<Information> information;
  int32_t initializeResult = 0;
  int32_t securityResult = 0;
  int initializeCalls = 0;
  int uninitializeCalls = 0;
  int successfulInitializations = 0;
};

State& S() {
  static State state;
  return state;
}

const bool kRegistered = [] {
  Double::RegisterReset([] {
    std::lock_guard guard(S().lock);
    S().major = 10;
    S().build = 19045;
    S().debugPrivilegeHeld = true;
    S().debugPrivilegeEnabled = false;
    S().lastError = 0;
    S().shellOpens.clear();
    S().information.clear();
    S().initializeResult = S().securityResult = 0;
    S().initializeCalls = S().uninitializeCalls = 0;
    S().successfulInitializations = 0;
  });
  return true;
}();

}  // namespace

void SetWindowsVersion(uint32_t major, uint32_t build) {
  std::lock_guard guard(S().lock);
  S().major = major;
  S().build = build;
}

void SetDebugPrivilegeHeld(bool held) {
  std::lock_guard guard(S().lock);
  S().debugPrivilegeHeld = held;
}

bool DebugPrivilegeEnabled() {
  std::lock_guard guard(S().lock);
  return S().debugPrivilegeEnabled;
}

void SetLastErrorCode(uint32_t code) {
  std::lock_guard guard(S().lock);
  S().lastError = code;
}

std::vector<ShellOpenCall> ShellOpens() {
  std::lock_guard guard(S().lock);
  return S().shellOpens;
}

std::vector<Information> InformationShown() {
  std::lock_guard guard(S().lock);
  return S().information;
}

void SetComResults(int32_t initialize, int32_t security) {
  std::lock_guard guard(S().lock);
  S().initializeResult = initialize;
  S().securityResult = security;
}

int ComInitializeCalls() {
  std::lock_guard guard(S().lock);
  return S().initializeCalls;
}

int ComUninitializeCalls() {
  std::lock_guard guard(S().lock);
  return S().uninitializeCalls;
}

}  // namespace Double::System

using Double::System::S;

void ShellOpen(std::wstring_view target, int showCommand) {
  {
    std::lock_guard guard(S().lock);
    S().shellOpens.push_back({std::wstring(target), showCommand});
  }
  // The fault stands for the number ShellExecuteW returns (32 or below).
  if (auto result = Double::TakeFault("ShellOpen")) {
    if (*result < 9) Errors::ThrowSystem(*result, "ShellExecute failed");
    throw std::runtime_error(fmt::format("ShellExecute failed: error {}.", *result));
  }
}

PrivilegeChange SetDebugPrivilege(bool enabled, uint32_t& error) {
  if (auto fault = Double::TakeFault("SetDebugPrivilege")) {
    error = *fault;
    return PrivilegeChange::Failed;
  }
  std::lock_guard guard(S().lock);
  error = 0;
  if (!S().debugPrivilegeHeld) return PrivilegeChange::NotHeld;
  S().debugPrivilegeEnabled = enabled;
  return PrivilegeChange::Done;
}

bool IsWindowsPE() {
  RegistryApi::Key key = nullptr;
  if (RegistryApi::OpenKey(RegistryApi::PredefinedKey(2), L"SYSTEM\\CurrentControlSet\\Control\\MiniNT",
                           RegistryApi::kKeyRead, &key) != RegistryApi::kSuccess) {
    return false;
  }
  RegistryApi::CloseKey(key);
  return true;
}

bool IsWindowsVersionAtLeast(uint32_t major, uint32_t build, uint32_t& actualMajor) {
  std::lock_guard guard(S().lock);
  actualMajor = S().major;
  return S().major > major || (S().major == major && S().build >= build);
}

void ShowInformation(std::wstring_view text, std::wstring_view caption) {
  std::lock_guard guard(S().lock);
  S().information.push_back({std::wstring(text), std::wstring(caption)});
}

uint32_t GetLastErrorCode() {
  std::lock_guard guard(S().lock);
  return S().lastError;
}

namespace Double::System {

int ComInitializations() {
  std::lock_guard guard(S().lock);
  return S().successfulInitializations;
}

void SetWindowsPE(bool windowsPE) {
  const std::wstring key = L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\MiniNT";
  if (windowsPE) {
    Double::Registry::SetValue(key, L"", std::wstring());
  } else {
    RegistryApi::DeleteTree(RegistryApi::PredefinedKey(2), L"SYSTEM\\CurrentControlSet\\Control\\MiniNT");
  }
}

void SetProgramFilesFolder(const std::wstring& folder) { Double::Files::SetProgramFilesFolder(folder); }

std::vector<std::wstring> ShellOpened() {
  std::vector<std::wstring> targets;
  for (const auto& call : ShellOpens()) targets.push_back(call.target);
  return targets;
}

}  // namespace Double::System

namespace Com {

int32_t InitializeMultithreaded() {
  std::lock_guard guard(S().lock);
  ++S().initializeCalls;
  if (S().initializeResult >= 0) ++S().successfulInitializations;
  return S().initializeResult;
}

int32_t InitializeSecurity() {
  std::lock_guard guard(S().lock);
  return S().securityResult;
}

void Uninitialize() {
  std::lock_guard guard(S().lock);
  ++S().uninitializeCalls;
  --S().successfulInitializations;
}

}  // namespace Com
