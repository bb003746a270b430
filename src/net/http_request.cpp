#include "net/http_request.h"

#include <fmt/format.h>

#include <algorithm>
#include <cwctype>
#include <stdexcept>

#include "app/text.h"

namespace Platform {
namespace {

// `lowerPrefix` in any case.
bool StartsWith(std::wstring_view text, std::wstring_view lowerPrefix) {
  return text.size() >= lowerPrefix.size() &&
         std::equal(lowerPrefix.begin(), lowerPrefix.end(), text.begin(),
                    [](wchar_t a, wchar_t b) { return a == static_cast<wchar_t>(std::towlower(b)); });
}

}  // namespace

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
  // WinHTTP does not follow a redirect from https to http: the redirect
  // itself is the answer.
  if (transfer_.status >= 300 && transfer_.status < 400 && StartsWith(transfer_.url, L"https:")) {
    for (const auto& [name, value] : transfer_.headers) {
      if (name.size() == 8 && StartsWith(name, L"location") && StartsWith(value, L"http:")) {
        throw std::runtime_error(fmt::format("Refusing a redirect from https to http: {}", Text::ToUtf8(value)));
      }
    }
  }
  throw std::runtime_error(fmt::format("HTTP error {}", transfer_.status));
}

}  // namespace Platform
