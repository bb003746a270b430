// The reporting client: events and crashes become envelopes in the database
// folder first and leave it only once the service has accepted them, so
// nothing is lost while the service cannot be reached.
#include "reporting/reporter.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "app/text.h"
#include "reporting/crash_handler.h"
#include "reporting/dsn.h"
#include "reporting/module_image.h"
#include "reporting/outbox.h"
#include "reporting/protocol.h"
#include "reporting/rate_limits.h"
#include "reporting/transport.h"
#include "reporting/upload.h"
#include "system/clock.h"

namespace Reporting {
namespace {

constexpr uint32_t kCaptureFlushMs = 10000;
constexpr uint32_t kCloseFlushMs = 2000;
// Envelopes left by earlier runs are sent in the background for at most this
// long, so a dead service does not hold up start-up.
constexpr uint32_t kStartupResendMs = 10000;

struct State {
  std::mutex lock;
  std::condition_variable settled;  // a claimed envelope was released
  bool enabled = false;
  Dsn dsn;
  Outbox outbox;
  bool persistent = false;  // the folder can be written
  std::string release;
  std::string environment;
  std::string userId;
  std::deque<Breadcrumb> breadcrumbs;
  std::deque<std::string> breadcrumbTexts;  // the same, as JSON
  std::string crashEventId;
  nlohmann::json crashImages = nlohmann::json::array();  // the executable, for matching its symbols
  std::set<std::string> claimed;                         // envelopes being sent by some thread
  RateLimits limits;                                     // the service's limits, kept in the folder
  std::thread resender;
  bool closing = false;
};

// Never destroyed: the background sender may outlive static destruction when
// the process ends without Close (the early exits do).
State& GetState() {
  static State* state = new State;
  return *state;
}

EventFields NewEvent(const State& state) {
  EventFields fields;
  fields.eventId = NewEventId();
  fields.time = Clock::UnixTimeNow();
  fields.release = state.release;
  fields.environment = state.environment;
  fields.userId = state.userId;
  fields.breadcrumbs.assign(state.breadcrumbs.begin(), state.breadcrumbs.end());
  return fields;
}

// Called with the lock held, whenever the context of a crash changes.
void RefreshCrashEvent(const State& state) {
  if (!state.enabled || !state.persistent) return;
  EventFields fields;
  fields.eventId = state.crashEventId;
  fields.time = Clock::UnixTimeNow();
  fields.level = "fatal";
  fields.release = state.release;
  fields.environment = state.environment;
  fields.userId = state.userId;
  fields.debugImages = state.crashImages;
  SetCrashEvent(MakeEventText(fields, {state.breadcrumbTexts.begin(), state.breadcrumbTexts.end()}));
}

Uploader MakeUploader(State& state) {
  return Uploader{state.lock, state.settled, state.outbox, state.claimed, state.dsn, state.limits};
}

void StopResender(State& state) {
  std::thread resender;
  {
    std::lock_guard guard(state.lock);
    state.closing = true;
    resender = std::move(state.resender);
  }
  if (resender.joinable()) resender.join();
}

}  // namespace

void Init(const Options& options) {
  State& state = GetState();
  StopResender(state);
  std::vector<std::string> leftovers;
  {
    std::lock_guard guard(state.lock);
    state.closing = false;
    state.breadcrumbs.clear();
    state.breadcrumbTexts.clear();
    state.crashEventId = NewEventId();
    state.userId.clear();
    state.claimed.clear();
    state.release = options.release;
    state.environment = options.environment;
    state.limits = {};
    state.enabled = ParseDsn(options.dsn, state.dsn);
    if (!state.enabled) return;
    // Without a folder of its own (none known, or one refused) the run keeps
    // its reports in memory: the temporary folder is not an outbox, since
    // other accounts can write there.
    state.persistent = !options.databasePath.empty() && state.outbox.Open(PathFromWide(options.databasePath));
    if (!state.persistent) return;
    state.limits.LoadFile(state.outbox.Folder() / std::string(kRateLimitsFile), Clock::UnixTimeNow());
    ConvertCrashRecords(state.outbox, state.dsn.raw, Clock::UnixTimeNow());
    leftovers = state.outbox.Pending();
    state.claimed.insert(leftovers.begin(), leftovers.end());
    InstallCrashHandler(state.outbox.Folder().wstring());
    state.crashImages = nlohmann::json::array();
    if (const auto image = MainModuleImage()) state.crashImages.push_back(ModuleImageJson(*image));
    RefreshCrashEvent(state);
    if (leftovers.empty()) return;
    state.resender = std::thread([&state, leftovers] {
      MakeUploader(state).SendClaimed(leftovers, Clock::TickCountMs() + kStartupResendMs, &state.closing);
    });
  }
}

void SetUser(const std::string& id) {
  State& state = GetState();
  std::lock_guard guard(state.lock);
  state.userId = id;
  RefreshCrashEvent(state);
}

void AddBreadcrumb(std::string_view message, std::string_view category, std::string_view type, std::string_view level) {
  State& state = GetState();
  std::lock_guard guard(state.lock);
  state.breadcrumbs.push_back(
      {std::string(type), std::string(message), std::string(category), std::string(level), Clock::UnixTimeNow()});
  state.breadcrumbTexts.push_back(ToText(BreadcrumbJson(state.breadcrumbs.back())));
  if (state.breadcrumbs.size() > kMaxBreadcrumbs) {
    state.breadcrumbs.pop_front();
    state.breadcrumbTexts.pop_front();
  }
  RefreshCrashEvent(state);
}

void CaptureException(std::string_view type, std::string_view value) {
  State& state = GetState();
  std::string eventId;
  std::string envelope;
  {
    std::lock_guard guard(state.lock);
    if (!state.enabled) return;
    EventFields fields = NewEvent(state);
    fields.exception = ExceptionEntry{std::string(type), std::string(value)};
    eventId = fields.eventId;
    envelope = MakeEnvelope(eventId, state.dsn.raw, fields.time, ToText(MakeEvent(fields)));
    if (state.persistent && state.outbox.Store(EnvelopeName(fields.time, eventId), envelope)) envelope.clear();
  }
  // Without a usable folder the event is sent once, straight from memory,
  // unless the service asked this process to hold back.
  if (!envelope.empty()) {
    {
      std::lock_guard guard(state.lock);
      if (state.limits.IsLimited(EnvelopeCategories(envelope), Clock::UnixTimeNow())) return;
    }
    const PostResult result =
        PostEnvelope(Text::FromUtf8(state.dsn.EnvelopeUrl()), state.dsn.AuthHeader(), envelope, kCaptureFlushMs);
    std::lock_guard guard(state.lock);
    if (result.delivered)
      state.limits.Update(result.status, result.retryAfter, result.rateLimits, Clock::UnixTimeNow());
    return;
  }
  Flush(kCaptureFlushMs);
}

bool Flush(uint32_t timeoutMs) {
  State& state = GetState();
  {
    std::lock_guard guard(state.lock);
    if (!state.enabled || !state.persistent) return true;
  }
  return MakeUploader(state).SendAll(Clock::TickCountMs() + timeoutMs);
}

void Close() {
  State& state = GetState();
  StopResender(state);
  Flush(kCloseFlushMs);
  std::lock_guard guard(state.lock);
  if (state.enabled && state.persistent) SetCrashEvent({});
  state.enabled = false;
}

}  // namespace Reporting
