#pragma once
// The one kind of request: a GET over an HttpTransfer, into memory or into a
// file whose bytes are hashed as they are written.
#include <memory>
#include <string_view>

#include "net/http.h"
#include "net/http_transfer.h"

namespace Platform {

class WindowsHttpRequest : public HttpRequest {
 public:
  WindowsHttpRequest(std::shared_ptr<HttpSession> session, std::wstring_view url,
                     std::unique_ptr<HttpConnection> connection);

  void SetCallback(const std::function<void(float)>& callback) override;
  void Start() override;
  void StartToFile(std::wstring_view path) override;
  const uint8_t* Data() const override;
  size_t Size() const override;
  // Throws "HTTP error {}" unless the status is 2xx.
  virtual void CheckStatus();

  const HttpTransfer& Transfer() const { return transfer_; }

 private:
  HttpTransfer transfer_;
};

}  // namespace Platform
