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

InstanceMutex AcquireInstanceMutex(const wchar_t* name) {
  InstanceMutex result;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BA", SDDL_REVISION_1, &raw, nullptr)) {
    result.error = GetLastError();
    return result;
  }
  const LocalMemory descriptor(raw);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), raw, FALSE};
  SafeHandle mutex(CreateMutexW(&attributes, FALSE, name));
  result.error = GetLastError();
  if (!mutex) return result;
  if (result.error == ERROR_ALREADY_EXISTS) {
    result.outcome = OwnedByAdministrators(mutex.Get()) ? InstanceMutex::Outcome::kAnotherSetup
                                                        : InstanceMutex::Outcome::kTakenByOther;
    return result;
  }
  WaitForSingleObject(mutex.Get(), INFINITE);
  result.outcome = InstanceMutex::Outcome::kOwned;
  result.handle = std::move(mutex);
  return result;
}
