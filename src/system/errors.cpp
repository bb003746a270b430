#include "system/errors.h"

#include <fmt/format.h>

#include <stdexcept>

namespace Errors {

void ThrowSystem(uint32_t code, const std::string& message) {
  throw std::system_error(static_cast<int>(code), std::system_category(), message);
}

std::string ComMessage(std::string_view text, int32_t hresult) {
  const auto value = static_cast<uint32_t>(hresult);
  return fmt::format("{}: error {} (code {})", text, value, value & 0xFFFFu);
}

void ThrowCom(std::string_view text, int32_t hresult) { throw std::runtime_error(ComMessage(text, hresult)); }

}  // namespace Errors
