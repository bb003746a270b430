#include "double/double.h"

#include <mutex>

namespace Double {
namespace {

struct Fault {
  std::string operation;
  uint32_t error;
  int times;
  int skip;
};

struct State {
  std::mutex lock;
  std::vector<std::function<void()>> resets;
  std::vector<Fault> faults;
  std::vector<std::string> calls;
};

State& GetState() {
  static State state;
  return state;
}

}  // namespace

void RegisterReset(std::function<void()> reset) {
  std::lock_guard guard(GetState().lock);
  GetState().resets.push_back(std::move(reset));
}

void Reset() {
  std::vector<std::function<void()>> resets;
  {
    std::lock_guard guard(GetState().lock);
    GetState().faults.clear();
    GetState().calls.clear();
    resets = GetState().resets;
  }
  for (auto& reset : resets) reset();
}

void InjectFault(std::string operation, uint32_t error, int times, int skip) {
  std::lock_guard guard(GetState().lock);
  GetState().faults.push_back({std::move(operation), error, times, skip});
}

std::optional<uint32_t> TakeFault(std::string_view operation) {
  std::lock_guard guard(GetState().lock);
  GetState().calls.emplace_back(operation);
  for (auto& fault : GetState().faults) {
    if (fault.operation != operation || fault.times == 0) continue;
    if (fault.skip > 0) {
      --fault.skip;
      continue;
    }
    if (fault.times > 0) --fault.times;
    return fault.error;
  }
  return std::nullopt;
}

const std::vector<std::string>& Calls() { return GetState().calls; }

void RecordCall(std::string call) {
  std::lock_guard guard(GetState().lock);
  GetState().calls.push_back(std::move(call));
}

}  // namespace Double
