#include "reporting/protocol.h"

#include <fmt/format.h>

#include <chrono>
#include <random>

namespace Reporting {

std::string FormatTimestamp(int64_t unixSeconds) {
  using namespace std::chrono;
  const sys_seconds time{seconds{unixSeconds}};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), clock.hours().count(),
                     clock.minutes().count(), clock.seconds().count());
}

std::string NewEventId() {
  static thread_local std::mt19937_64 generator{[] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }()};
  return fmt::format("{:016x}{:016x}", generator(), generator());
}

nlohmann::json BreadcrumbJson(const Breadcrumb& crumb) {
  return {{"type", crumb.type},
          {"message", crumb.message},
          {"category", crumb.category},
          {"level", crumb.level},
          {"timestamp", FormatTimestamp(crumb.time)}};
}

nlohmann::json MakeEvent(const EventFields& fields) {
  nlohmann::json user = {{"ip_address", "{{auto}}"}};
  if (!fields.userId.empty()) user["id"] = fields.userId;
  nlohmann::json crumbs = nlohmann::json::array();
  for (const Breadcrumb& crumb : fields.breadcrumbs) crumbs.push_back(BreadcrumbJson(crumb));
  nlohmann::json event = {{"event_id", fields.eventId}, {"timestamp", FormatTimestamp(fields.time)},
                          {"platform", "native"},       {"level", fields.level},
                          {"release", fields.release},  {"environment", fields.environment},
                          {"user", std::move(user)},    {"breadcrumbs", {{"values", std::move(crumbs)}}}};
  if (!fields.debugImages.empty()) event["debug_meta"] = {{"images", fields.debugImages}};
  if (fields.exception) {
    event["exception"] = {
        {"values", nlohmann::json::array({{{"type", fields.exception->type}, {"value", fields.exception->value}}})}};
  }
  return event;
}

std::string MakeEventText(const EventFields& fields, const std::vector<std::string>& breadcrumbTexts) {
  EventFields head = fields;
  head.breadcrumbs.clear();
  nlohmann::json event = MakeEvent(head);
  event.erase("breadcrumbs");
  std::string text = ToText(event);
  text.pop_back();  // the closing brace
  text += R"(,"breadcrumbs":{"values":[)";
  for (size_t i = 0; i < breadcrumbTexts.size(); ++i) {
    if (i > 0) text += ',';
    text += breadcrumbTexts[i];
  }
  text += "]}}";
  return text;
}

std::string ToText(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string MakeEnvelope(const std::string& eventId, const std::string& dsn, int64_t sentAt,
                         const std::string& eventJson, const std::vector<Attachment>& attachments) {
  std::string envelope = ToText({{"event_id", eventId}, {"dsn", dsn}, {"sent_at", FormatTimestamp(sentAt)}});
  envelope += '\n';
  // Item headers state their content type: the service's own parser fills in
  // one that is missing, and then reads another header than ours.
  envelope += ToText({{"type", "event"}, {"length", eventJson.size()}, {"content_type", "application/json"}});
  envelope += '\n';
  envelope += eventJson;
  envelope += '\n';
  for (const Attachment& attachment : attachments) {
    envelope += ToText({{"type", "attachment"},
                        {"length", attachment.bytes.size()},
                        {"attachment_type", attachment.attachmentType},
                        {"content_type", "application/octet-stream"},
                        {"filename", attachment.filename}});
    envelope += '\n';
    envelope += attachment.bytes;
    envelope += '\n';
  }
  return envelope;
}

std::string RestampEnvelope(std::string_view envelope, int64_t sentAt) {
  const size_t end = envelope.find('\n');
  nlohmann::json header = nlohmann::json::parse(envelope.substr(0, end));
  header["sent_at"] = FormatTimestamp(sentAt);
  std::string result = ToText(header);
  if (end != std::string_view::npos) result += envelope.substr(end);
  return result;
}

}  // namespace Reporting
