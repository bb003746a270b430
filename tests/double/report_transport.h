#pragma once
// The double's ingest of crash-and-event envelopes.
#include <cstdint>
#include <string>
#include <vector>

namespace Double::Reports {

struct Envelope {
  std::wstring url;
  std::string authHeader;
  std::string body;
  uint32_t timeoutMs;
};

// Envelopes that reached the ingest, in order (none while it is down).
std::vector<Envelope> Posted();
// Every attempt, delivered or not.
int Attempts();
void SetDown(bool down);
void SetStatus(uint32_t status);  // default 200

}  // namespace Double::Reports
