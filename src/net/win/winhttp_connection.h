#pragma once
// HttpConnection over WinHTTP: one connection handle and one request handle
// on a borrowed session handle.
#include <windows.h>
#include <winhttp.h>

#include "net/http_connection.h"

namespace Platform {

class WinHttpConnection : public HttpConnection {
 public:
  explicit WinHttpConnection(HINTERNET session) : session_(session) {}
  ~WinHttpConnection() override { Close(); }

  bool CrackUrl(std::wstring_view url, UrlParts& parts) override;
  bool Connect(const UrlParts& parts) override;
  bool OpenRequest(std::wstring_view verb, std::wstring_view object, bool secure) override;
  bool SendRequest() override;
  bool ReceiveResponse() override;
  bool QueryStatus(uint32_t& status) override;
  bool QueryRawHeaders(std::wstring& headers) override;
  bool QueryDataAvailable(uint32_t& available) override;
  bool ReadData(uint8_t* buffer, uint32_t size, uint32_t& read) override;
  void Close() override;
  bool IsConnected() const override { return connection_ != nullptr; }
  uint32_t LastError() const override { return error_; }
  [[noreturn]] void Fail(const std::string& message) override;
  std::unique_ptr<OutputFile> OpenOutputFile(std::wstring_view path) override;

 private:
  bool Check(BOOL result);

  HINTERNET session_;
  HINTERNET connection_ = nullptr;
  HINTERNET request_ = nullptr;
  DWORD error_ = 0;
};

}  // namespace Platform
