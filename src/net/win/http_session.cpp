#include <windows.h>
#include <winhttp.h>

#include "net/http.h"
#include "net/http_request.h"
#include "net/win/winhttp_connection.h"
#include "net/win/winhttp_error.h"

namespace Platform {

std::shared_ptr<HttpSession> HttpSession::Create() { return std::make_shared<HttpSession>(); }

HttpSession::HttpSession() {
  if (!WinHttpCheckPlatform()) {
    throw WinHttpError(GetLastError(), "WinHttpCheckPlatform failed, this platform is not supported by WinHTTP");
  }
  handle_ =
      WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (handle_ == nullptr) throw WinHttpError(GetLastError(), "WinHttpOpen failed when opening session");
}

HttpSession::~HttpSession() {
  if (handle_ != nullptr) WinHttpCloseHandle(handle_);
}

std::shared_ptr<HttpRequest> CreateHttpRequest(const std::shared_ptr<HttpSession>& session, std::wstring_view url) {
  return std::make_shared<WindowsHttpRequest>(session, url, std::make_unique<WinHttpConnection>(session->GetHandle()));
}

}  // namespace Platform
