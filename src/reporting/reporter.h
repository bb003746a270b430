#pragma once
// Crash and event reporting to the hosted error-tracking service. Safe to call
// from any thread; callers take no lock.
#include <cstdint>
#include <string>
#include <string_view>

namespace Reporting {

struct Options {
  std::string dsn;
  std::wstring databasePath;  // empty: reports stay in memory
  std::string environment;
  std::string release;
};

void Init(const Options& options);
// "ip_address" is always "{{auto}}"; an empty id is left out.
void SetUser(const std::string& id);
void AddBreadcrumb(std::string_view message, std::string_view category, std::string_view type, std::string_view level);
// One event with one exception entry, captured at once, then a flush of at
// most 10000 ms.
void CaptureException(std::string_view type, std::string_view value);
bool Flush(uint32_t timeoutMs);
void Close();

}  // namespace Reporting
