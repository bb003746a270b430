#pragma once
// Owning wrapper of one kernel object handle. Movable, not copyable; closed in
// the destructor. The raw value is reached only through Get().
#include <utility>

class SafeHandle {
 public:
  using Handle = void*;  // HANDLE on Windows

  SafeHandle() = default;
  explicit SafeHandle(Handle handle) : handle_(handle) {}
  ~SafeHandle();
  SafeHandle(SafeHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  SafeHandle& operator=(SafeHandle&& other) noexcept;
  SafeHandle(const SafeHandle&) = delete;
  SafeHandle& operator=(const SafeHandle&) = delete;

  Handle Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  [[nodiscard]] Handle Release() { return std::exchange(handle_, nullptr); }

  // Throws std::system_error "Unable to close safe handle" when the close
  // fails; the handle then stays set.
  void Close();

 private:
  Handle handle_ = nullptr;
};
