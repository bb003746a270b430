#pragma once
// The HTTP client: a session, and GET requests made on it, into memory or
// into a file (hashing the body while it is written).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "staging/sha256.h"

namespace Platform {

inline constexpr wchar_t kUserAgent[] = L"Valdrix.Setup/2025-10-23 (windows)";
// The most a body read into memory may hold unless its caller sets less.
inline constexpr uint64_t kMemoryBodyLimit = 16 << 20;

class HttpSession {
 public:
  using Handle = void*;  // HINTERNET
  // Opens the session; throws std::system_error on failure.
  static std::shared_ptr<HttpSession> Create();
  HttpSession();
  virtual ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  Handle GetHandle() const { return handle_; }

 private:
  Handle handle_ = nullptr;
};

class HttpRequest {
 public:
  explicit HttpRequest(std::shared_ptr<HttpSession> session) : session_(std::move(session)) {}
  virtual ~HttpRequest() = default;
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Called after every chunk with received / expected (0 without a size).
  virtual void SetCallback(const std::function<void(float)>& callback) = 0;
  virtual void Start() = 0;
  virtual void StartToFile(std::wstring_view path) = 0;
  virtual const uint8_t* Data() const = 0;
  virtual size_t Size() const = 0;

  const Sha256& Digest() const { return sha256_; }

  // A body read by Start that would pass `bytes` (whatever "Content-Length"
  // says) fails with "{what} is larger than {bytes}" instead of being held.
  void LimitMemoryBody(uint64_t bytes, std::string what) {
    memoryLimit_ = bytes;
    limitedBody_ = std::move(what);
  }

 protected:
  std::shared_ptr<HttpSession> session_;
  Sha256 sha256_;
  uint64_t memoryLimit_ = kMemoryBodyLimit;
  std::string limitedBody_ = "Response";
};

// GET request for a URL on a session. Does no network work.
std::shared_ptr<HttpRequest> CreateHttpRequest(const std::shared_ptr<HttpSession>& session, std::wstring_view url);

}  // namespace Platform
