#include "double/report_transport.h"

#include <mutex>

#include "double/clock.h"
#include "double/double.h"
#include "reporting/crash_handler.h"
#include "reporting/module_image.h"
#include "reporting/transport.h"

namespace Double::Reports {
namespace {

struct State {
  std::mutex lock;
  std::vector<Post> posted;
  bool down = false;
  uint32_t status = 200;
  uint32_t latency = 0;
  std::string retryAfter;
  std::string rateLimits;
  std::wstring crashFolder;
  std::string crashEvent;
};

State& GetState() {
  static State state;
  return state;
}

const bool registered = [] {
  RegisterReset([] {
    State& state = GetState();
    std::lock_guard guard(state.lock);
    state.posted.clear();
    state.down = false;
    state.status = 200;
    state.latency = 0;
    state.retryAfter.clear();
    state.rateLimits.clear();
    state.crashFolder.clear();
    state.crashEvent.clear();
  });
  return true;
}();

}  // namespace

std::vector<Post> Posted() {
  std::lock_guard guard(GetState().lock);
  return GetState().posted;
}

void SetDown(bool down) {
  std::lock_guard guard(GetState().lock);
  GetState().down = down;
}

void SetStatus(uint32_t status) {
  std::lock_guard guard(GetState().lock);
  GetState().status = status;
}

void SetAnswerHeaders(const std::string& retryAfter, const std::string& rateLimits) {
  std::lock_guard guard(GetState().lock);
  GetState().retryAfter = retryAfter;
  GetState().rateLimits = rateLimits;
}

void SetLatency(uint32_t milliseconds) {
  std::lock_guard guard(GetState().lock);
  GetState().latency = milliseconds;
}

std::wstring CrashFolder() {
  std::lock_guard guard(GetState().lock);
  return GetState().crashFolder;
}

std::string CrashEvent() {
  std::lock_guard guard(GetState().lock);
  return GetState().crashEvent;
}

}  // namespace Double::Reports

namespace Reporting {

PostResult PostEnvelope(const std::wstring& url, const std::string& authHeader, const std::string& body,
                        uint32_t timeoutMs) {
  auto& state = Double::Reports::GetState();
  std::lock_guard guard(state.lock);
  Double::RecordCall("Reporting::PostEnvelope");
  if (state.down) return {};
  if (state.latency > timeoutMs) {
    Double::Clock::Advance(timeoutMs);
    return {};
  }
  Double::Clock::Advance(state.latency);
  state.posted.push_back({url, authHeader, body, timeoutMs});
  return {true, state.status, state.retryAfter, state.rateLimits};
}

void GuardThreadStack() {}

void InstallCrashHandler(const std::wstring& folder) {
  auto& state = Double::Reports::GetState();
  std::lock_guard guard(state.lock);
  state.crashFolder = folder;
}

// A fixed executable, as a build with a build id would report it.
std::optional<ModuleImage> MainModuleImage() {
  return ModuleImage{
      "C:\\Setup\\Valdrix.Setup.exe", 0x140000000, 0x2f000, "6553F1002f000", "8a4ecc89-f234-d8f6-c579-6c163172b312-1",
      "Valdrix.Setup.exe.debug"};
}

void SetCrashEvent(std::string_view eventJson) {
  auto& state = Double::Reports::GetState();
  std::lock_guard guard(state.lock);
  state.crashEvent = std::string(eventJson);
}

}  // namespace Reporting
