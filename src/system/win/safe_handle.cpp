#include "system/safe_handle.h"

#include <windows.h>

#include "system/errors.h"

// A close that fails in the destructor cannot be reported; the handle is
// dropped. The thread's last error is kept, since the destructor often runs
// while an error read just before is about to be thrown.
SafeHandle::~SafeHandle() {
  if (!handle_) return;
  const DWORD error = GetLastError();
  CloseHandle(handle_);
  SetLastError(error);
}

SafeHandle& SafeHandle::operator=(SafeHandle&& other) noexcept {
  if (this != &other) {
    if (handle_) {
      const DWORD error = GetLastError();
      CloseHandle(handle_);
      SetLastError(error);
    }
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

void SafeHandle::Close() {
  if (!handle_) return;
  if (!CloseHandle(handle_)) Errors::ThrowSystem(GetLastError(), "Unable to close safe handle");
  handle_ = nullptr;
}
