// One envelope, one WinHTTP POST. Every wait is bounded by the caller's time.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>
#include <string>

#include "app/text.h"
#include "net/http.h"
#include "net/win/proxy.h"
#include "reporting/transport.h"
#include "system/delay_load.h"

namespace Reporting {
namespace {

struct InternetCloser {
  void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

constexpr wchar_t kUserAgent[] = L"valdrix-setup/2025-10-23";
constexpr wchar_t kContentType[] = L"Content-Type: application/x-sentry-envelope";

// The value of one answer header, empty when the answer has none.
std::string AnswerHeader(HINTERNET request, const wchar_t* name) {
  DWORD size = 0;
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, WINHTTP_NO_OUTPUT_BUFFER, &size,
                          WINHTTP_NO_HEADER_INDEX) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
    return {};
  }
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, name, value.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  value.resize(size / sizeof(wchar_t));
  return Text::ToUtf8(value);
}

PostResult Post(const std::wstring& url, const std::string& authHeader, const std::string& body, uint32_t timeoutMs) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return {};
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);

  // The machine's proxy, as for downloads, and the downloads' waits unless
  // the caller has less time.
  Internet session(
      WinHttpOpen(kUserAgent, Platform::ProxyAccessType(), WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return {};
  const Platform::HttpLimits limits;
  const auto wait = [timeoutMs](uint32_t ms) { return static_cast<int>(std::min({timeoutMs, ms, 0x7FFFFFFFu})); };
  if (!WinHttpSetTimeouts(session.get(), wait(limits.resolveMs), wait(limits.connectMs), wait(limits.sendMs),
                          wait(limits.receiveMs))) {
    return {};
  }
  Internet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return {};
  const DWORD flags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  Internet request(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!request) return {};
  const std::wstring headers = std::wstring(kContentType) + L"\r\n" + Text::FromUtf8(authHeader) + L"\r\n";
  if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                          const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                          static_cast<DWORD>(body.size()), 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    return {};
  }
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  return {true, status, AnswerHeader(request.get(), L"Retry-After"),
          AnswerHeader(request.get(), L"X-Sentry-Rate-Limits")};
}

}  // namespace

PostResult PostEnvelope(const std::wstring& url, const std::string& authHeader, const std::string& body,
                        uint32_t timeoutMs) {
  try {
    return Post(url, authHeader, body, timeoutMs);
  } catch (const Platform::DelayLoadError&) {
    // WinHTTP loads at the first post, on whichever thread makes it (the
    // background sender of earlier runs' reports among them). Without it no
    // report can leave the machine: each one can only be stored in the folder,
    // for a later start that can load WinHTTP to send.
    return {};
  }
}

}  // namespace Reporting
