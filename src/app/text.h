#pragma once
// Explicit conversions between wide text (UTF-16 on Windows, UTF-32 on Linux)
// and UTF-8. The C runtime on Windows (msvcrt) has no UTF-8 locale, so the
// setup never relies on the locale for these conversions.
#include <string>
#include <string_view>

namespace Text {

// Ill-formed input (unpaired surrogates, invalid UTF-8) becomes U+FFFD.
std::string ToUtf8(std::wstring_view wide);
std::wstring FromUtf8(std::string_view utf8);

// Each byte becomes one character and back (used for the marker files, whose
// content is expected to be ASCII). Characters above 0xFF become '?'.
std::wstring FromBytes(std::string_view bytes);
std::string ToBytes(std::wstring_view wide);

bool IsAsciiAlnum(wchar_t c);

}  // namespace Text
