#include "system/win/instance_mutex.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>

namespace {

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

bool OwnedByAdministrators(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const LocalMemory held(descriptor);
  BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
  DWORD size = sizeof(administrators);
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) return false;
  return owner != nullptr && IsValidSid(owner) && EqualSid(owner, administrators);
}

}  // namespace

InstanceMutex AcquireInstanceMutex(const wchar_t* name, uint32_t waitMs) {
  InstanceMutex result;
  PSECURITY_DESCRIPTOR raw = nullptr;
  // Owner Administrators; full access for SYSTEM and Administrators, none
  // for anyone else.
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &raw,
                                                            nullptr)) {
    result.error = GetLastError();
    return result;
  }
  const LocalMemory descriptor(raw);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), raw, FALSE};
  SafeHandle mutex(CreateMutexW(&attributes, FALSE, name));
  result.error = GetLastError();
  if (!mutex) return result;
  if (result.error == ERROR_ALREADY_EXISTS) {
    if (!OwnedByAdministrators(mutex.Get())) {
      result.outcome = InstanceMutex::Outcome::kTakenByOther;
      return result;
    }
    result.outcome = InstanceMutex::Outcome::kAnotherSetup;
    if (waitMs == 0) return result;
    // A run that ends, or dies, gives the mutex to this one.
    const ULONGLONG started = GetTickCount64();
    const DWORD waited = WaitForSingleObject(mutex.Get(), waitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return result;
    result.waitedMs = static_cast<uint32_t>(GetTickCount64() - started);
    result.outcome = InstanceMutex::Outcome::kOwned;
    result.handle = std::move(mutex);
    return result;
  }
  WaitForSingleObject(mutex.Get(), INFINITE);
  result.outcome = InstanceMutex::Outcome::kOwned;
  result.handle = std::move(mutex);
  return result;
}
