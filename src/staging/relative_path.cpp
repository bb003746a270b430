#include "staging/relative_path.h"

#include <fmt/format.h>
#include <fmt/xchar.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "app/text.h"

namespace {

// Longest path Windows opens without the long-path prefix, less its end NUL.
// A relative name longer than this cannot fit under any folder.
constexpr size_t kMaxRelativePath = 259;

bool IsControl(wchar_t c) { return static_cast<std::make_unsigned_t<wchar_t>>(c) < 0x20; }

// Control characters are written as \xNN so that a refused name cannot break
// the log line or the message that shows it.
std::string Printable(std::wstring_view path) {
  std::wstring text;
  for (const wchar_t c : path) {
    if (IsControl(c)) {
      text += fmt::format(L"\\x{:02X}", static_cast<unsigned>(c));
    } else {
      text += c;
    }
  }
  return Text::ToUtf8(text);
}

bool IsForbiddenCharacter(wchar_t c) {
  return IsControl(c) || std::wstring_view(L"<>\"|?*").find(c) != std::wstring_view::npos;
}

wchar_t Upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// "CON", "nul.txt", "com1 .log": Windows opens the device, whatever the folder.
bool IsDeviceName(std::wstring_view part) {
  std::wstring base(part.substr(0, part.find(L'.')));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  std::transform(base.begin(), base.end(), base.begin(), Upper);
  static constexpr std::array<std::wstring_view, 4> kNames = {L"CON", L"PRN", L"AUX", L"NUL"};
  if (std::find(kNames.begin(), kNames.end(), base) != kNames.end()) return true;
  return base.size() == 4 && (base.starts_with(L"COM") || base.starts_with(L"LPT")) && base[3] >= L'1' &&
         base[3] <= L'9';
}

}  // namespace

void CheckFileName(std::wstring_view name) {
  CheckRelativePath(name);
  if (name.find_first_of(L"\\/") != std::wstring_view::npos) {
    throw std::runtime_error(
        fmt::format("Refusing installer file name \"{}\": a single name is required, not a folder", Printable(name)));
  }
}

void CheckRelativePath(std::wstring_view path) {
  const auto refuse = [&](const char* reason) {
    throw std::runtime_error(fmt::format("Refusing file path \"{}\" {}", Printable(path), reason));
  };
  if (path.size() > kMaxRelativePath) {
    throw std::runtime_error(fmt::format("Refusing file path of {} characters", path.size()));
  }
  if (std::any_of(path.begin(), path.end(), IsForbiddenCharacter)) refuse("with characters not allowed in file names");
  if (path.empty() || path.front() == L'\\' || path.front() == L'/') refuse("that leaves its folder");
  if (path.find(L':') != std::wstring_view::npos) refuse("that leaves its folder");
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find_first_of(L"\\/", start), path.size());
    const std::wstring_view part = path.substr(start, end - start);
    // Windows drops trailing dots and blanks of a name, so "..." and ". ."
    // climb like ".."; a name made only of them is never a product file.
    if (part.find_first_not_of(L". ") == std::wstring_view::npos) refuse("that leaves its folder");
    if (IsDeviceName(part)) refuse("that names a device");
    start = end + 1;
  }
}
