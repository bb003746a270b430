#include "net/http_headers.h"

#include <fmt/format.h>

#include <stdexcept>

namespace Platform {
namespace {

constexpr std::wstring_view kBlanks = L" \t\r\n\f\v";

std::wstring_view Trim(std::wstring_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::wstring_view::npos) return {};
  const size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

std::wstring_view LineBreak(std::wstring_view raw) {
  const size_t at = raw.find_first_of(L"\r\n");
  if (at == std::wstring_view::npos) return {};
  const bool pair = at + 1 < raw.size() && raw[at + 1] == (raw[at] == L'\r' ? L'\n' : L'\r');
  return raw.substr(at, pair ? 2 : 1);
}

void Store(HttpHeaders& headers, std::wstring_view name, std::wstring_view value) {
  for (auto& [existing, existingValue] : headers) {
    if (existing == name) {
      existingValue.assign(value);
      return;
    }
  }
  headers.emplace_back(std::wstring(name), std::wstring(value));
}

}  // namespace

void ParseHeaders(std::wstring_view raw, HttpHeaders& headers) {
  headers.clear();
  const std::wstring_view separator = LineBreak(raw);
  while (!raw.empty()) {
    size_t end = separator.empty() ? std::wstring_view::npos : raw.find(separator);
    const std::wstring_view line = raw.substr(0, end);
    raw = end == std::wstring_view::npos ? std::wstring_view{} : raw.substr(end + separator.size());
    if (line.empty()) continue;
    const size_t colon = line.find(L':');
    if (colon == std::wstring_view::npos) {
      Store(headers, L"", Trim(line));
    } else {
      Store(headers, Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    }
  }
}

uint64_t ContentLength(const HttpHeaders& headers) {
  for (const auto& [name, value] : headers) {
    if (name != L"Content-Length") continue;
    if (value.empty() || value.find_first_not_of(L"0123456789 ") != std::wstring::npos) return 0;
    if (value.find_first_not_of(L' ') == std::wstring::npos) return 0;
    // std::stoul is 32-bit on Windows and 64-bit elsewhere; the limit and the
    // message are Windows' on every platform.
    unsigned long long length = 0;
    try {
      length = std::stoull(value, nullptr, 10);
    } catch (const std::out_of_range&) {
      length = ~0ull;
    }
    if (length > 0xFFFFFFFFull) throw std::out_of_range("stoul argument out of range");
    return length;
  }
  return 0;
}

void CheckDownloadedSize(uint64_t expected, uint64_t received) {
  const auto expected32 = static_cast<uint32_t>(expected);
  const auto received32 = static_cast<uint32_t>(received);
  if (expected32 == 0 || expected32 == received32) return;
  throw std::runtime_error(
      fmt::format("Downloaded file is {} than expected", expected32 > received32 ? "smaller" : "larger"));
}

}  // namespace Platform
