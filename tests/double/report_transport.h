#pragma once
// The double's reporting service: envelopes posted through
// Reporting::PostEnvelope are kept in memory, and the crash handler records
// what it was given.
#include <cstdint>
#include <string>
#include <vector>

namespace Double::Reports {

struct Post {
  std::wstring url;
  std::string auth;
  std::string body;
  uint32_t timeoutMs = 0;
};

// Envelopes the service answered, in order (also those answered with an
// error status).
std::vector<Post> Posted();
// Down: every post fails at once without an answer.
void SetDown(bool down);
// The status of the next answers (200 after a reset).
void SetStatus(uint32_t status);
// The back-off headers of the next answers ("" leaves one out).
void SetAnswerHeaders(const std::string& retryAfter, const std::string& rateLimits);
// Each answer takes this long on the virtual clock; a post whose time-out is
// shorter fails after its time-out, unanswered.
void SetLatency(uint32_t milliseconds);

// The crash handler: the folder it was installed for and the event it would
// write ("" when none).
std::wstring CrashFolder();
std::string CrashEvent();

}  // namespace Double::Reports
