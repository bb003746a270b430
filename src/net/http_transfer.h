#pragma once
// One GET of one URL over an HttpConnection, into memory or into a file.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/file_size_rule.h"
#include "net/http.h"
#include "net/http_connection.h"
#include "net/http_headers.h"

namespace Platform {

class HttpTransfer {
 public:
  HttpTransfer(std::unique_ptr<HttpConnection> connection, std::wstring_view url);
  ~HttpTransfer();
  HttpTransfer(const HttpTransfer&) = delete;
  HttpTransfer& operator=(const HttpTransfer&) = delete;

  struct Counts {
    uint64_t expected = 0;
    uint64_t received = 0;
  };
  // Runs the GET into the body buffer (empty path) or into the file; the
  // counts are those before the clean-up resets them.
  Counts Run(bool toFile, std::wstring_view path);
  // received / expected * 100, 0 when no size was announced.
  float Progress() const;

  uint32_t status = 0;
  uint64_t expected = 0;
  uint64_t received = 0;
  std::wstring url;
  std::wstring verb = L"GET";
  HttpHeaders headers;
  std::function<void()> progress;
  std::function<void(const uint8_t*, size_t)> sink;
  std::vector<uint8_t> body;
  // Memory mode: the most the body may hold, and what it is called in the
  // error that a larger one ends with.
  uint64_t memoryLimit = UINT64_MAX;
  std::string limitedBody = "Response";
  // File mode: the size rule of a response with a 2xx status (any other
  // response body is held to the general limit).
  FileSizeRule fileSize;
  // The waits of the WinHTTP steps (set on the session) and the limit of the
  // whole transfer.
  HttpLimits limits;

 private:
  void Connect();
  void ReadHeaders();
  void ReadBody(bool toFile);
  // Throws the last call's failure; a time-out as "No {what} within {wait}: {url}".
  void Fail(const std::string& message, std::string_view what, uint32_t waitMs);
  void CheckDuration() const;
  void CleanUp();
  [[noreturn]] void ThrowTooLarge() const;

  std::unique_ptr<HttpConnection> connection_;
  std::unique_ptr<OutputFile> output_;
  uint64_t startMs_ = 0;
};

}  // namespace Platform
