#pragma once
// How envelopes leave the machine: one HTTPS POST. Implemented over WinHTTP
// in reporting/win and in memory by the test double.
#include <cstdint>
#include <string>

namespace Reporting {

struct PostResult {
  bool delivered = false;  // the server answered (any status)
  uint32_t status = 0;     // HTTP status when delivered
  // The service's requests to back off (see rate_limits.h); empty when absent.
  std::string retryAfter;
  std::string rateLimits;  // "X-Sentry-Rate-Limits"
};

PostResult PostEnvelope(const std::wstring& url, const std::string& authHeader, const std::string& body,
                        uint32_t timeoutMs);

}  // namespace Reporting
