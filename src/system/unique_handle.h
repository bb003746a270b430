#pragma once
// One move-only owner for every kind of handle the setup holds. The traits
// name the raw type, the close call, how to read the error of a failed close
// and the message that reports it:
//
//   struct Traits {
//     using Handle = ...;                 // null means empty
//     static bool Close(Handle handle);   // true on success
//     static uint32_t LastError();
//     static constexpr const char* kCloseFailure = "...";
//   };
#include <cstdint>
#include <utility>

#include "system/errors.h"

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  // A close that fails here cannot be reported; the handle is dropped.
  ~UniqueHandle() {
    if (handle_) Traits::Close(handle_);
  }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      if (handle_) Traits::Close(handle_);
      handle_ = std::exchange(other.handle_, Handle{});
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle Get() const { return handle_; }
  explicit operator bool() const { return handle_ != Handle{}; }
  [[nodiscard]] Handle Release() { return std::exchange(handle_, Handle{}); }

  // Throws std::system_error with the close failure message; the handle then
  // stays set.
  void Close() {
    if (!handle_) return;
    if (!Traits::Close(handle_)) Errors::ThrowSystem(Traits::LastError(), Traits::kCloseFailure);
    handle_ = Handle{};
  }

 private:
  Handle handle_{};
};
