#pragma once
// The WinHTTP-shaped calls one transfer makes, behind a small interface so
// that the transfer logic is the same for WinHTTP and for the in-memory test
// server. Each call returns false on failure and leaves the error to Fail.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Platform {

struct UrlParts {
  std::wstring scheme;
  std::wstring host;
  uint16_t port = 0;
  std::wstring path;
  std::wstring extra;  // query, with its "?"
  bool secure = false;
};

// The output file of a file-mode transfer. Opening or writing it fails at
// once: a download is never taken for good when its bytes were not stored.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual void Write(const uint8_t* data, size_t size) = 0;  // throws
  virtual void Close() = 0;                                  // throws
};

class HttpConnection {
 public:
  virtual ~HttpConnection() = default;

  virtual bool CrackUrl(std::wstring_view url, UrlParts& parts) = 0;
  virtual bool Connect(const UrlParts& parts) = 0;
  virtual bool OpenRequest(std::wstring_view verb, std::wstring_view object, bool secure) = 0;
  virtual bool SendRequest() = 0;
  virtual bool ReceiveResponse() = 0;
  virtual bool QueryStatus(uint32_t& status) = 0;
  virtual bool QueryRawHeaders(std::wstring& headers) = 0;
  virtual bool QueryDataAvailable(uint32_t& available) = 0;
  virtual bool ReadData(uint8_t* buffer, uint32_t size, uint32_t& read) = 0;
  // Closes the request, then the connection; idempotent.
  virtual void Close() = 0;
  virtual bool IsConnected() const = 0;

  // The error code of the last failed call.
  virtual uint32_t LastError() const = 0;
  // Throws the failure of the last call, with `message` naming the step.
  [[noreturn]] virtual void Fail(const std::string& message) = 0;
  // Opens the file for writing (truncating, shared for reading and writing);
  // throws when it cannot.
  virtual std::unique_ptr<OutputFile> OpenOutputFile(std::wstring_view path) = 0;
};

}  // namespace Platform
