#pragma once
// The in-memory double of the Windows layer: one switchboard for resetting
// all of its state and for injecting faults into any operation.
//
// Fault points are named after the operation they stand in for, e.g.
// "MoveFileWithFlags", "ScmApi::Start", "Tasks::RunInSession",
// "RegistryApi::SetValue". An injected fault makes the next matching call(s)
// fail with the given Windows error (or HRESULT for COM-shaped calls).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Double {

// Clears every area of the double (each area registers its own reset).
void Reset();
void RegisterReset(std::function<void()> reset);

// The next `times` calls of `operation` after `skip` successful ones fail
// with `error`. times < 0: every call from then on.
void InjectFault(std::string operation, uint32_t error, int times = 1, int skip = 0);
// Called by the double's operations: the error to fail with, if any.
std::optional<uint32_t> TakeFault(std::string_view operation);

// Every operation that consults TakeFault is also recorded here, in order.
const std::vector<std::string>& Calls();
void RecordCall(std::string call);

}  // namespace Double
