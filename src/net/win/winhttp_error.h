#pragma once
// A failing WinHTTP call as std::system_error (system category) whose text is
// "<message>: <description>", the description taken from winhttp.dll for its
// own 12xxx codes, which the C++ runtime does not know.
#include <cstdint>
#include <string>
#include <system_error>

namespace Platform {

class WinHttpError : public std::system_error {
 public:
  WinHttpError(uint32_t code, const std::string& message);
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

std::string DescribeWinHttpError(uint32_t code);

}  // namespace Platform
