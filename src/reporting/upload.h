#pragma once
// Sending stored envelopes. Several threads may send at once: an envelope is
// claimed under the reporter's lock before it is posted, and the post itself
// runs without the lock.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "reporting/dsn.h"
#include "reporting/outbox.h"
#include "reporting/rate_limits.h"

namespace Reporting {

// Stored envelopes are named after their creation time, so that the oldest
// goes first.
std::string EnvelopeName(int64_t unixSeconds, const std::string& eventId);

// Turns complete crash records into stored envelopes with the minidump as an
// attachment, and removes the records.
void ConvertCrashRecords(const Outbox& outbox, const std::string& dsn, int64_t now);

// The ways a try can end for the stored envelope. Held: one of its categories
// is limited by the service, so it was not posted and stays.
enum class SendOutcome { Accepted, Rejected, Kept, Held };
// 2xx: accepted. Other 4xx (except 408 and 429): the service will never take
// it. Anything else, or no answer: kept for a later try.
SendOutcome ClassifyStatus(bool delivered, uint32_t status);

struct Uploader {
  std::mutex& lock;
  std::condition_variable& settled;
  const Outbox& outbox;
  std::set<std::string>& claimed;
  const Dsn& dsn;
  // Read and updated under the lock; written to the folder when it grows.
  RateLimits& limits;

  // Sends every stored envelope nobody else is sending, oldest first, passing
  // over those the service's limits hold back, until one is kept or the deadline (Clock::TickCountMs) passes; then
  // waits until the other senders are done, at most until the deadline. True when no envelope is left.
  bool SendAll(uint64_t deadline);
  // Sends envelopes already claimed by the caller, in order (passing over
  // held ones), and releases every claim. Stops early on a kept envelope, at the deadline, or once
  // *stop is true (read under the lock).
  void SendClaimed(const std::vector<std::string>& names, uint64_t deadline, const bool* stop);

 private:
  SendOutcome SendOne(const std::string& name, uint64_t deadline);
  // Takes in the service's limits from an answer (without the lock held).
  void NoteAnswer(uint32_t status, const std::string& retryAfter, const std::string& rateLimits);
  void Release(const std::string& name);
};

}  // namespace Reporting
