#pragma once
// The service's requests to back off, and the record that keeps them across
// runs: every run is a new process, so a limit the service gave one run has
// to reach the next one through the database folder.
//
// The service speaks in two ways:
// - "X-Sentry-Rate-Limits" on any answer: comma-separated limits
//   "<seconds>:<categories>:<scope>[:<reason>[:<namespaces>]]"; categories
//   are separated by ';' and an empty list means every category. The scope
//   ("key", "project", "organization"), the reason and anything after it only
//   explain the limit: this client has one key and obeys them all alike.
//   Categories this client does not know are left out; a limit that names
//   only unknown categories limits nothing. A limit whose seconds are not a
//   number is left out (whole seconds, a fraction rounds up).
// - a 429 without that header: "Retry-After" in seconds or as an HTTP date,
//   for every category; 60 seconds when it is missing or unreadable.
// When the header is there it wins over "Retry-After". No limit lasts longer
// than one day.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Reporting {

inline constexpr int64_t kMaxLimitSeconds = 86400;  // one day
inline constexpr int64_t kDefaultRetryAfterSeconds = 60;
// The record in the database folder.
inline constexpr std::string_view kRateLimitsFile = "rate-limits.json";
// The key of the record that stands for every category.
inline constexpr std::string_view kAllCategories = "*";

struct RateLimit {
  int64_t seconds = 0;                  // capped at kMaxLimitSeconds
  std::vector<std::string> categories;  // empty: every category
};

// The limits of one "X-Sentry-Rate-Limits" value, in order.
std::vector<RateLimit> ParseRateLimits(std::string_view header);
// Seconds from `now` until the service takes envelopes again: a number of
// seconds or an HTTP date (IMF-fixdate, RFC 850 or asctime form), at least
// 0 and at most one day; nullopt when it is neither.
std::optional<int64_t> ParseRetryAfter(std::string_view value, int64_t now);
// Unix seconds of an HTTP date; nullopt when it is not one.
std::optional<int64_t> ParseHttpDate(std::string_view text);

// The rate-limit categories of an envelope's items: "error" for an event,
// "attachment" for an attachment, and so on. Stops at the first item that
// cannot be read.
std::vector<std::string> EnvelopeCategories(std::string_view envelope);

class RateLimits {
 public:
  // Takes in the answer to one post made at `now`. True when a limit was set
  // or extended (the record is then worth writing).
  bool Update(uint32_t status, std::string_view retryAfter, std::string_view rateLimitsHeader, int64_t now);
  bool IsLimited(std::string_view category, int64_t now) const;
  // True when any of the categories is limited.
  bool IsLimited(const std::vector<std::string>& categories, int64_t now) const;

  // The record: a JSON object from category ("*" for all) to the Unix second
  // at which the limit ends; limits that have ended are left out.
  std::string Serialize(int64_t now) const;
  // Replaces the limits with a record's. A damaged record, or one whose
  // limits end later than one day after `now` (a clock that was wrong, or a
  // hand-made file), is ignored: false, and no limits.
  bool Load(std::string_view record, int64_t now);

  // Reads the record file; a missing or unreadable one means no limits.
  void LoadFile(const std::filesystem::path& file, int64_t now);
  // Writes the record under a temporary name and renames it over the old
  // one, so a reader never sees half a record. False when it failed.
  bool SaveFile(const std::filesystem::path& file, int64_t now) const;

 private:
  void Limit(const std::string& category, int64_t until);
  std::map<std::string, int64_t, std::less<>> until_;
};

}  // namespace Reporting
