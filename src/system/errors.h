#pragma once
// The three ways a failing Windows call becomes an exception.
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace Errors {

// std::system_error with the Windows error in the system category; its text
// is the message, ": " and the system's description of the code.
[[noreturn]] void ThrowSystem(uint32_t code, const std::string& message);

// "<text>: error <hresult as unsigned> (code <low 16 bits>)"; `text` is the
// whole prefix, e.g. "Unable to get folder".
std::string ComMessage(std::string_view text, int32_t hresult);
[[noreturn]] void ThrowCom(std::string_view text, int32_t hresult);

}  // namespace Errors
