#include "reporting/upload.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "app/text.h"
#include "reporting/crash_handler.h"
#include "reporting/protocol.h"
#include "reporting/transport.h"
#include "system/clock.h"

namespace Reporting {
namespace {

uint32_t ExceptionCodeOf(const std::string& base) {
  const std::string digits = base.substr(kCrashPrefix.size(), 8);
  try {
    return static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
  } catch (const std::exception&) {
    return 0;
  }
}

std::string ExceptionName(uint32_t code) {
  switch (code) {
    case 0xC0000005u: return "EXCEPTION_ACCESS_VIOLATION";
    case 0xC00000FDu: return "EXCEPTION_STACK_OVERFLOW";
    case 0xC000001Du: return "EXCEPTION_ILLEGAL_INSTRUCTION";
    case 0xC0000094u: return "EXCEPTION_INT_DIVIDE_BY_ZERO";
    case 0xC0000409u: return "STATUS_STACK_BUFFER_OVERRUN";
    case 0x40000015u: return "STATUS_FATAL_APP_EXIT";
    default: return "Unhandled exception";
  }
}

nlohmann::json CrashEvent(const std::string& text, uint32_t code, int64_t now) {
  nlohmann::json event = nlohmann::json::parse(text, nullptr, false);
  if (!event.is_object() || !event.contains("event_id") || !event["event_id"].is_string()) {
    EventFields fields;
    fields.eventId = NewEventId();
    fields.time = now;
    event = MakeEvent(fields);
  }
  event["level"] = "fatal";
  event["exception"] = {
      {"values", nlohmann::json::array({{{"type", ExceptionName(code)},
                                         {"value", fmt::format("Unhandled exception 0x{:08X}", code)},
                                         {"mechanism", {{"type", "minidump"}, {"handled", false}}}}})}};
  return event;
}

}  // namespace

std::string EnvelopeName(int64_t unixSeconds, const std::string& eventId) {
  return fmt::format("{:012}-{}", std::max<int64_t>(unixSeconds, 0), eventId);
}

void ConvertCrashRecords(const Outbox& outbox, const std::string& dsn, int64_t now) {
  for (const std::string& base : outbox.CrashRecords()) {
    const auto eventText = outbox.ReadFile(base + ".json", kMaxCrashEventBytes);
    const auto minidump = outbox.ReadFile(base + ".dmp", kMaxMinidumpBytes);
    if (!eventText || !minidump) {
      // An oversized half was deleted unread; the other is no use alone.
      if (!outbox.Has(base + ".json") || !outbox.Has(base + ".dmp")) {
        outbox.RemoveFile(base + ".json");
        outbox.RemoveFile(base + ".dmp");
      }
      continue;
    }
    const nlohmann::json event = CrashEvent(*eventText, ExceptionCodeOf(base), now);
    const std::string eventId = event["event_id"].get<std::string>();
    const std::string envelope =
        MakeEnvelope(eventId, dsn, now, ToText(event), {{base + ".dmp", "event.minidump", *minidump}});
    if (!outbox.Store(EnvelopeName(now, eventId), envelope)) continue;
    outbox.RemoveFile(base + ".json");
    outbox.RemoveFile(base + ".dmp");
  }
}

SendOutcome ClassifyStatus(bool delivered, uint32_t status) {
  if (!delivered) return SendOutcome::Kept;
  if (status >= 200 && status < 300) return SendOutcome::Accepted;
  if (status >= 400 && status < 500 && status != 408 && status != 429) return SendOutcome::Rejected;
  return SendOutcome::Kept;
}

SendOutcome Uploader::SendOne(const std::string& name, uint64_t deadline) {
  const uint64_t now = Clock::TickCountMs();
  if (now >= deadline) return SendOutcome::Kept;
  const auto stored = outbox.Read(name);
  if (!stored) {
    // Trimmed or removed meanwhile, or planted: a link or a second name of
    // another file, which is never read. Its name goes (never what it
    // points to), so it cannot hold the queue up.
    outbox.Remove(name);
    return SendOutcome::Rejected;
  }
  std::string body;
  try {
    body = RestampEnvelope(*stored, Clock::UnixTimeNow());
  } catch (const std::exception&) {
    outbox.Remove(name);  // not an envelope of ours: it can never be sent
    return SendOutcome::Rejected;
  }
  {
    std::lock_guard guard(lock);
    if (limits.IsLimited(EnvelopeCategories(*stored), Clock::UnixTimeNow())) return SendOutcome::Held;
  }
  const PostResult result =
      PostEnvelope(Text::FromUtf8(dsn.EnvelopeUrl()), dsn.AuthHeader(), body, static_cast<uint32_t>(deadline - now));
  if (result.delivered) NoteAnswer(result.status, result.retryAfter, result.rateLimits);
  const SendOutcome outcome = ClassifyStatus(result.delivered, result.status);
  if (outcome != SendOutcome::Kept) outbox.Remove(name);
  return outcome;
}

void Uploader::NoteAnswer(uint32_t status, const std::string& retryAfter, const std::string& rateLimits) {
  std::lock_guard guard(lock);
  const int64_t now = Clock::UnixTimeNow();
  if (limits.Update(status, retryAfter, rateLimits, now)) {
    limits.SaveFile(outbox.Folder() / std::string(kRateLimitsFile), now);
  }
}

void Uploader::Release(const std::string& name) {
  std::lock_guard guard(lock);
  claimed.erase(name);
  settled.notify_all();
}

bool Uploader::SendAll(uint64_t deadline) {
  std::set<std::string> held;
  for (;;) {
    std::string name;
    {
      std::lock_guard guard(lock);
      if (Clock::TickCountMs() >= deadline) break;
      if (limits.IsLimited(std::string(kAllCategories), Clock::UnixTimeNow())) break;
      for (const std::string& pending : outbox.Pending()) {
        if (!held.contains(pending) && claimed.insert(pending).second) {
          name = pending;
          break;
        }
      }
    }
    if (name.empty()) break;
    const SendOutcome outcome = SendOne(name, deadline);
    Release(name);
    if (outcome == SendOutcome::Held) held.insert(name);
    if (outcome == SendOutcome::Kept) break;
  }
  std::unique_lock guard(lock);
  while (!claimed.empty()) {
    const uint64_t now = Clock::TickCountMs();
    if (now >= deadline) break;
    settled.wait_for(guard, std::chrono::milliseconds(std::min<uint64_t>(deadline - now, 50)));
  }
  return outbox.Pending().empty();
}

void Uploader::SendClaimed(const std::vector<std::string>& names, uint64_t deadline, const bool* stop) {
  size_t next = 0;
  for (; next < names.size(); ++next) {
    {
      std::lock_guard guard(lock);
      if (*stop || Clock::TickCountMs() >= deadline) break;
      if (limits.IsLimited(std::string(kAllCategories), Clock::UnixTimeNow())) break;
    }
    const SendOutcome outcome = SendOne(names[next], deadline);
    Release(names[next]);
    if (outcome == SendOutcome::Kept) {
      ++next;
      break;
    }
  }
  for (; next < names.size(); ++next) Release(names[next]);
}

}  // namespace Reporting
