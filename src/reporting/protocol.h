#pragma once
// What the reporting service receives: events as JSON, wrapped in envelopes
// (a header line, then per item a header line and the payload).
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Reporting {

inline constexpr std::string_view kClientName = "valdrix-setup/2025-10-23";
inline constexpr size_t kMaxBreadcrumbs = 100;

struct Breadcrumb {
  std::string type;
  std::string message;
  std::string category;
  std::string level;
  int64_t time = 0;  // Unix seconds
};

struct ExceptionEntry {
  std::string type;
  std::string value;
};

struct EventFields {
  std::string eventId;
  int64_t time = 0;
  std::string level = "error";
  std::string release;
  std::string environment;
  std::string userId;  // left out when empty
  std::vector<Breadcrumb> breadcrumbs;
  std::optional<ExceptionEntry> exception;
  nlohmann::json debugImages = nlohmann::json::array();  // "debug_meta" images, left out when empty
};

struct Attachment {
  std::string filename;
  std::string attachmentType;  // e.g. "event.minidump"
  std::string bytes;
};

// "YYYY-MM-DDThh:mm:ssZ"
std::string FormatTimestamp(int64_t unixSeconds);
// 32 lower-case hex digits from a random source.
std::string NewEventId();

nlohmann::json MakeEvent(const EventFields& fields);
nlohmann::json BreadcrumbJson(const Breadcrumb& crumb);
// The event of `fields` with its breadcrumbs given as JSON texts made by
// BreadcrumbJson (the crash event is rebuilt on every breadcrumb, so the
// trail is serialised only once).
std::string MakeEventText(const EventFields& fields, const std::vector<std::string>& breadcrumbTexts);
// Compact JSON; bytes that are not UTF-8 become U+FFFD instead of failing.
std::string ToText(const nlohmann::json& json);
std::string MakeEnvelope(const std::string& eventId, const std::string& dsn, int64_t sentAt,
                         const std::string& eventJson, const std::vector<Attachment>& attachments = {});
// The same envelope with "sent_at" in its header line set to `sentAt`.
// Throws nlohmann::json::exception when the header line is not JSON.
std::string RestampEnvelope(std::string_view envelope, int64_t sentAt);

}  // namespace Reporting
