#pragma once
// The HTTP client: a session, and GET requests made on it, into memory or
// into a file (hashing the body while it is written).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "staging/sha256.h"

namespace Platform {

inline constexpr wchar_t kUserAgent[] = L"Valdrix.Setup/2025-10-23 (windows)";
// The most a body read into memory may hold unless its caller sets less.
inline constexpr uint64_t kMemoryBodyLimit = 16 << 20;
// The most a download to disk may hold: well above any product file or
// installer, and below 4 GiB, the most a "Content-Length" may announce.
inline constexpr uint64_t kFileBodyLimit = uint64_t{3} << 30;

// How long the transfers of a session may wait. Each WinHTTP step waits at
// most its own time; a whole transfer must also end within `transferBaseMs`
// plus the time its size (announced or received, whichever is larger) takes
// at `slowestBytesPerSecond`: 500 MiB may take four and a half hours.
struct HttpLimits {
  uint32_t resolveMs = 30'000;
  uint32_t connectMs = 30'000;
  uint32_t sendMs = 30'000;
  uint32_t receiveMs = 60'000;
  uint32_t transferBaseMs = 10 * 60'000;
  uint64_t slowestBytesPerSecond = 32 << 10;  // 256 kbit/s
};

class HttpSession {
 public:
  using Handle = void*;  // HINTERNET
  // Opens the session with the machine's proxy settings (the WinHTTP proxy,
  // the account's own settings, automatic discovery and PAC files); throws
  // std::system_error on failure. Only tests shorten the limits.
  static std::shared_ptr<HttpSession> Create(const HttpLimits& limits = {});
  explicit HttpSession(const HttpLimits& limits = {});
  virtual ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  Handle GetHandle() const { return handle_; }
  const HttpLimits& Limits() const { return limits_; }

 private:
  Handle handle_ = nullptr;
  HttpLimits limits_;
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
  // A size that the manifest's signature vouches for: StartToFile then takes
  // exactly that many bytes (see FileSizeRule).
  void ExpectFileSize(std::optional<uint64_t> signedSize) { signedSize_ = signedSize; }

 protected:
  std::shared_ptr<HttpSession> session_;
  Sha256 sha256_;
  uint64_t memoryLimit_ = kMemoryBodyLimit;
  std::string limitedBody_ = "Response";
  std::optional<uint64_t> signedSize_;
};

// GET request for a URL on a session. Does no network work.
std::shared_ptr<HttpRequest> CreateHttpRequest(const std::shared_ptr<HttpSession>& session, std::wstring_view url);

}  // namespace Platform
