#pragma once
// The double's HTTP server: URLs answered from memory, with faults. Requests
// made through Platform::CreateHttpRequest reach it; StartToFile writes the
// body through WriteFileBytes (the double's file system).
#include <cstdint>
#include <string>
#include <vector>

namespace Double::Http {

struct Response {
  uint32_t status = 200;
  std::string body;
  bool sendContentLength = true;  // false: chunked, no size announced
  int64_t announcedLength = -1;   // the "Content-Length" sent instead of the body's size
  // Transport failure (a WinHTTP error such as 12029 or 12030) raised as
  // std::system_error with the message of the step that fails.
  uint32_t transportError = 0;
  // Body cut after this many bytes with a clean end (size check fails).
  int64_t cutAfter = -1;
};

void Serve(const std::wstring& url, Response response);
// Every URL requested, in order.
std::vector<std::wstring> Requests();
int RequestCount(const std::wstring& url);

}  // namespace Double::Http
