// Any raw header text (read as UTF-16 units, as the HTTP layer hands it over)
// splits into unique, trimmed names and values taken from the text; the
// announced size is a 32-bit number or the standard library's range error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "net/http_headers.h"

namespace {

constexpr std::wstring_view kBlanks = L" \t\r\n\f\v";

bool Trimmed(std::wstring_view text) {
  return text.empty() || (kBlanks.find(text.front()) == std::wstring_view::npos &&
                          kBlanks.find(text.back()) == std::wstring_view::npos);
}

// The first run of digits without its leading zeros: what the size must be.
std::wstring FirstNumber(std::wstring_view value) {
  const size_t start = value.find_first_of(L"0123456789");
  if (start == std::wstring_view::npos) return L"";
  std::wstring_view digits = value.substr(start);
  digits = digits.substr(0, digits.find_first_not_of(L"0123456789"));
  const size_t nonZero = digits.find_first_not_of(L'0');
  return nonZero == std::wstring_view::npos ? L"0" : std::wstring(digits.substr(nonZero));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring raw;
  for (size_t i = 0; i + 1 < size; i += 2) raw.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));

  Platform::HttpHeaders headers{{L"stale", L"value"}};
  Platform::ParseHeaders(raw, headers);
  const std::wstring* contentLength = nullptr;
  for (size_t i = 0; i < headers.size(); ++i) {
    const auto& [name, value] = headers[i];
    if (!Trimmed(name) || !Trimmed(value) || name.find(L':') != std::wstring::npos) std::abort();
    if (raw.find(name) == std::wstring::npos || raw.find(value) == std::wstring::npos) std::abort();
    for (size_t j = i + 1; j < headers.size(); ++j) {
      if (headers[j].first == name) std::abort();
    }
    if (name == L"Content-Length") contentLength = &value;
  }

  try {
    const uint64_t length = Platform::ContentLength(headers);
    if (length > 0xFFFFFFFFull) std::abort();
    if (length != 0 && (!contentLength || FirstNumber(*contentLength) != std::to_wstring(length))) std::abort();
  } catch (const std::out_of_range& error) {
    if (std::string_view(error.what()) != "stoul argument out of range") std::abort();
  }
  return 0;
}
