#include <windows.h>
#include <winhttp.h>

#include "net/http.h"
#include "net/http_request.h"
#include "net/win/proxy.h"
#include "net/win/winhttp_connection.h"
#include "net/win/winhttp_error.h"

namespace Platform {

DWORD ProxyAccessType() {
  WINHTTP_PROXY_INFO info{};
  if (!WinHttpGetDefaultProxyConfiguration(&info)) return WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
  if (info.lpszProxy != nullptr) GlobalFree(info.lpszProxy);
  if (info.lpszProxyBypass != nullptr) GlobalFree(info.lpszProxyBypass);
  return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY
                                                              : WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
}

std::shared_ptr<HttpSession> HttpSession::Create(const HttpLimits& limits) {
  return std::make_shared<HttpSession>(limits);
}

HttpSession::HttpSession(const HttpLimits& limits) : limits_(limits) {
  if (!WinHttpCheckPlatform()) {
    throw WinHttpError(GetLastError(), "WinHttpCheckPlatform failed, this platform is not supported by WinHTTP");
  }
  handle_ = WinHttpOpen(kUserAgent, ProxyAccessType(), WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (handle_ == nullptr) throw WinHttpError(GetLastError(), "WinHttpOpen failed when opening session");
  if (!WinHttpSetTimeouts(handle_, static_cast<int>(limits.resolveMs), static_cast<int>(limits.connectMs),
                          static_cast<int>(limits.sendMs), static_cast<int>(limits.receiveMs))) {
    const DWORD error = GetLastError();
    WinHttpCloseHandle(handle_);
    throw WinHttpError(error, "WinHttpSetTimeouts failed");
  }
}

HttpSession::~HttpSession() {
  if (handle_ != nullptr) WinHttpCloseHandle(handle_);
}

std::shared_ptr<HttpRequest> CreateHttpRequest(const std::shared_ptr<HttpSession>& session, std::wstring_view url) {
  return std::make_shared<WindowsHttpRequest>(session, url, std::make_unique<WinHttpConnection>(session->GetHandle()));
}

}  // namespace Platform
