// In-memory ingest behind Reporting::PostEnvelope.
#include "double/report_transport.h"

#include <mutex>

#include "double/double.h"
#include "reporting/transport.h"

namespace Double::Reports {
namespace {

struct State {
  std::mutex lock;
  std::vector<Envelope> posted;
  int attempts = 0;
  bool down = false;
  uint32_t status = 200;
};

State& S() {
  static State state;
  return state;
}

const bool kRegistered = [] {
  Double::RegisterReset([] {
    std::lock_guard guard(S().lock);
    S().posted.clear();
    S().attempts = 0;
    S().down = false;
    S().status = 200;
  });
  return true;
}();

}  // namespace

std::vector<Envelope> Posted() {
  std::lock_guard guard(S().lock);
  return S().posted;
}

int Attempts() {
  std::lock_guard guard(S().lock);
  return S().attempts;
}

void SetDown(bool down) {
  std::lock_guard guard(S().lock);
  S().down = down;
}

void SetStatus(uint32_t status) {
  std::lock_guard guard(S().lock);
  S().status = status;
}

}  // namespace Double::Reports

namespace Reporting {

PostResult PostEnvelope(const std::wstring& url, const std::string& authHeader, const std::string& body,
                        uint32_t timeoutMs) {
  using Double::Reports::S;
  std::lock_guard guard(S().lock);
  ++S().attempts;
  if (S().down || Double::TakeFault("PostEnvelope")) return {};
  S().posted.push_back({url, authHeader, body, timeoutMs});
  return {true, S().status};
}

}  // namespace Reporting
