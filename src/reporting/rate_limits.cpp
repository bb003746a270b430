#include "reporting/rate_limits.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "reporting/atomic_file.h"

namespace Reporting {
namespace fs = std::filesystem;
namespace {

// The categories the service names in its limits. Others are left out.
constexpr std::array<std::string_view, 14> kKnownCategories = {
    "default", "error",   "transaction", "security", "attachment", "session",  "profile",
    "replay",  "monitor", "span",        "internal", "feedback",   "log_item", "user_report_v2"};

bool IsKnownCategory(std::string_view name) {
  return std::find(kKnownCategories.begin(), kKnownCategories.end(), name) != kKnownCategories.end();
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

bool IsDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whole seconds, capped at one day: "60", "2.5" (rounds up to 3).
std::optional<int64_t> ParseSeconds(std::string_view text) {
  const size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (!IsDigits(whole) || (dot != std::string_view::npos && !IsDigits(fraction))) return std::nullopt;
  int64_t seconds = 0;
  for (char c : whole) {
    seconds = std::min(seconds * 10 + (c - '0'), kMaxLimitSeconds);
  }
  if (std::any_of(fraction.begin(), fraction.end(), [](char c) { return c != '0'; })) ++seconds;
  return std::min(seconds, kMaxLimitSeconds);
}

std::optional<int> Number(std::string_view text, size_t minDigits, size_t maxDigits) {
  if (!IsDigits(text) || text.size() < minDigits || text.size() > maxDigits) return std::nullopt;
  int value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value;
}

std::optional<unsigned> MonthOf(std::string_view name) {
  constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto it = std::find(kMonths.begin(), kMonths.end(), name);
  if (it == kMonths.end()) return std::nullopt;
  return static_cast<unsigned>(it - kMonths.begin()) + 1;
}

bool IsDayName(std::string_view name, bool longForm) {
  constexpr std::array<std::string_view, 7> kShort = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  constexpr std::array<std::string_view, 7> kLong = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                                     "Friday", "Saturday", "Sunday"};
  return longForm ? std::find(kLong.begin(), kLong.end(), name) != kLong.end()
                  : std::find(kShort.begin(), kShort.end(), name) != kShort.end();
}

std::optional<int64_t> ToUnix(int year, std::optional<unsigned> month, std::optional<int> day, std::string_view time) {
  const std::vector<std::string_view> clock = Split(time, ':');
  if (!month || !day || clock.size() != 3) return std::nullopt;
  const auto hours = Number(clock[0], 2, 2);
  const auto minutes = Number(clock[1], 2, 2);
  const auto seconds = Number(clock[2], 2, 2);
  if (!hours || !minutes || !seconds || *hours > 23 || *minutes > 59 || *seconds > 60) return std::nullopt;
  using namespace std::chrono;
  const year_month_day date{std::chrono::year{year}, std::chrono::month{*month},
                            std::chrono::day{static_cast<unsigned>(*day)}};
  if (!date.ok()) return std::nullopt;
  const int64_t days = sys_days{date}.time_since_epoch().count();
  return ((days * 24 + *hours) * 60 + *minutes) * 60 + *seconds;
}

}  // namespace

std::vector<RateLimit> ParseRateLimits(std::string_view header) {
  std::vector<RateLimit> limits;
  for (std::string_view entry : Split(header, ',')) {
    const std::vector<std::string_view> fields = Split(Trim(entry), ':');
    if (fields.size() < 2) continue;
    const auto seconds = ParseSeconds(Trim(fields[0]));
    if (!seconds) continue;
    RateLimit limit{*seconds, {}};
    const std::string_view categories = Trim(fields[1]);
    if (!categories.empty()) {
      for (std::string_view category : Split(categories, ';')) {
        category = Trim(category);
        if (IsKnownCategory(category)) limit.categories.emplace_back(category);
      }
      if (limit.categories.empty()) continue;  // only categories we do not know
    }
    limits.push_back(std::move(limit));
  }
  return limits;
}

std::optional<int64_t> ParseHttpDate(std::string_view text) {
  std::vector<std::string_view> tokens;
  for (std::string_view token : Split(Trim(text), ' ')) {
    if (!token.empty()) tokens.push_back(token);
  }
  if (tokens.size() == 6 && tokens[5] == "GMT" && tokens[0].ends_with(',') &&
      IsDayName(tokens[0].substr(0, tokens[0].size() - 1), false)) {
    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    const auto year = Number(tokens[3], 4, 4);
    if (!year) return std::nullopt;
    return ToUnix(*year, MonthOf(tokens[2]), Number(tokens[1], 2, 2), tokens[4]);
  }
  if (tokens.size() == 4 && tokens[3] == "GMT" && tokens[0].ends_with(',') &&
      IsDayName(tokens[0].substr(0, tokens[0].size() - 1), true)) {
    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"; a two-digit year below 70
    // is of this century.
    const std::vector<std::string_view> date = Split(tokens[1], '-');
    if (date.size() != 3) return std::nullopt;
    const auto year = Number(date[2], 2, 2);
    if (!year) return std::nullopt;
    return ToUnix(*year + (*year < 70 ? 2000 : 1900), MonthOf(date[1]), Number(date[0], 2, 2), tokens[2]);
  }
  if (tokens.size() == 5 && IsDayName(tokens[0], false)) {
    // asctime: "Sun Nov  6 08:49:37 1994"
    const auto year = Number(tokens[4], 4, 4);
    if (!year) return std::nullopt;
    return ToUnix(*year, MonthOf(tokens[1]), Number(tokens[2], 1, 2), tokens[3]);
  }
  return std::nullopt;
}

std::optional<int64_t> ParseRetryAfter(std::string_view value, int64_t now) {
  value = Trim(value);
  if (IsDigits(value)) return ParseSeconds(value);
  const auto date = ParseHttpDate(value);
  if (!date) return std::nullopt;
  return std::clamp<int64_t>(*date - now, 0, kMaxLimitSeconds);
}

std::vector<std::string> EnvelopeCategories(std::string_view envelope) {
  std::vector<std::string> categories;
  size_t at = envelope.find('\n');
  while (at != std::string_view::npos && ++at < envelope.size()) {
    const size_t end = envelope.find('\n', at);
    if (end == std::string_view::npos) break;
    const nlohmann::json header = nlohmann::json::parse(envelope.substr(at, end - at), nullptr, false);
    if (!header.is_object() || !header.contains("type") || !header["type"].is_string() || !header.contains("length") ||
        !header["length"].is_number_unsigned()) {
      break;
    }
    const size_t length = header["length"].get<size_t>();
    if (length > envelope.size() - end - 1) break;
    const std::string type = header["type"].get<std::string>();
    categories.push_back(type == "event" ? "error" : type == "sessions" ? "session" : type);
    at = end + 1 + length;
    if (at >= envelope.size() || envelope[at] != '\n') break;
  }
  return categories;
}

bool RateLimits::Update(uint32_t status, std::string_view retryAfter, std::string_view rateLimitsHeader, int64_t now) {
  const auto before = until_;
  if (!Trim(rateLimitsHeader).empty()) {
    for (const RateLimit& limit : ParseRateLimits(rateLimitsHeader)) {
      if (limit.categories.empty()) Limit(std::string(kAllCategories), now + limit.seconds);
      for (const std::string& category : limit.categories) Limit(category, now + limit.seconds);
    }
  } else if (status == 429) {
    Limit(std::string(kAllCategories), now + ParseRetryAfter(retryAfter, now).value_or(kDefaultRetryAfterSeconds));
  }
  return until_ != before;
}

void RateLimits::Limit(const std::string& category, int64_t until) {
  auto [it, added] = until_.emplace(category, until);
  if (!added) it->second = std::max(it->second, until);
}

bool RateLimits::IsLimited(std::string_view category, int64_t now) const {
  for (std::string_view key : {category, kAllCategories}) {
    const auto it = until_.find(key);
    if (it != until_.end() && it->second > now) return true;
  }
  return false;
}

bool RateLimits::IsLimited(const std::vector<std::string>& categories, int64_t now) const {
  return std::any_of(categories.begin(), categories.end(),
                     [&](const std::string& category) { return IsLimited(category, now); });
}

std::string RateLimits::Serialize(int64_t now) const {
  nlohmann::json record = nlohmann::json::object();
  for (const auto& [category, until] : until_) {
    if (until > now) record[category] = until;
  }
  return record.dump();
}

bool RateLimits::Load(std::string_view record, int64_t now) {
  until_.clear();
  const nlohmann::json json = nlohmann::json::parse(record, nullptr, false);
  if (!json.is_object()) return false;
  std::map<std::string, int64_t, std::less<>> loaded;
  for (const auto& [category, until] : json.items()) {
    if (!until.is_number_integer() || (category != kAllCategories && !IsKnownCategory(category))) return false;
    const int64_t value = until.get<int64_t>();
    if (value > now + kMaxLimitSeconds) return false;
    if (value > now) loaded[category] = value;
  }
  until_ = std::move(loaded);
  return true;
}

void RateLimits::LoadFile(const fs::path& file, int64_t now) {
  until_.clear();
  // A few dozen bytes when written here; anything far larger is not ours.
  constexpr uint64_t kMaxRecordBytes = uint64_t{64} << 10;
  if (const auto text = ReadFileUpTo(file, kMaxRecordBytes)) Load(*text, now);
}

bool RateLimits::SaveFile(const fs::path& file, int64_t now) const { return WriteFileAtomically(file, Serialize(now)); }

}  // namespace Reporting
