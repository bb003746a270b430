#include "net/http_request.h"

#include <fmt/format.h>

#include <stdexcept>

namespace Platform {

WindowsHttpRequest::WindowsHttpRequest(std::shared_ptr<HttpSession> session, std::wstring_view url,
                                       std::unique_ptr<HttpConnection> connection)
    : HttpRequest(std::move(session)), transfer_(std::move(connection), url) {
  transfer_.limits = session_->Limits();
}

void WindowsHttpRequest::SetCallback(const std::function<void(float)>& callback) {
  transfer_.progress = [this, callback] { callback(transfer_.Progress() / 100.0f); };
}

void WindowsHttpRequest::Start() {
  transfer_.memoryLimit = memoryLimit_;
  transfer_.limitedBody = limitedBody_;
  transfer_.Run(false, {});
  CheckStatus();
}

void WindowsHttpRequest::StartToFile(std::wstring_view path) {
  transfer_.sink = [this](const uint8_t* data, size_t size) { sha256_.Update(data, size); };
  transfer_.fileSize = FileSizeRule::For(signedSize_);
  const HttpTransfer::Counts counts = transfer_.Run(true, path);
  CheckStatus();
  CheckDownloadedSize(counts.expected, counts.received);
}

const uint8_t* WindowsHttpRequest::Data() const { return transfer_.body.data(); }

size_t WindowsHttpRequest::Size() const { return transfer_.body.size(); }

void WindowsHttpRequest::CheckStatus() {
  if (transfer_.status >= 200 && transfer_.status < 300) return;
  throw std::runtime_error(fmt::format("HTTP error {}", transfer_.status));
}

}  // namespace Platform
