#pragma once
// The setup log: "Valdrix.Setup.log" in the temporary folder, appended to by
// every run, one line per event, UTF-8, LF line ends, flushed per line.
//
// The level functions take a printf format. "%S" takes a wide string
// (std::wstring, std::wstring_view or const wchar_t*) and is written as UTF-8
// on every platform; "%s" takes a narrow UTF-8 string.
#include <cstdio>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "app/text.h"

namespace SetupLog {

enum class Level { Info, Warning, Error };

// Opens "<temporary folder><fileName>" for appending; closes any open file
// first. A failure leaves the log closed and is not reported.
void Open(std::wstring_view fileName);
// Opens an exact path (the temporary folder is not prepended).
void OpenPath(std::wstring_view path);
void Close();
bool IsOpen();

// Writes one finished line. Lines are dropped while the log is closed.
void WriteLine(Level level, std::string_view message);

namespace detail {

// Wide arguments are converted to UTF-8 and passed as "%s".
inline std::string Narrow(const std::wstring& s) { return Text::ToUtf8(s); }
inline std::string Narrow(std::wstring_view s) { return Text::ToUtf8(s); }
inline std::string Narrow(const wchar_t* s) { return Text::ToUtf8(s ? s : L"(null)"); }
inline std::string Narrow(wchar_t* s) { return Narrow(static_cast<const wchar_t*>(s)); }
inline const char* Narrow(const std::string& s) { return s.c_str(); }
inline const char* Narrow(const char* s) { return s; }
inline const char* Narrow(char* s) { return s; }
template <typename T>
  requires std::is_arithmetic_v<T> || std::is_enum_v<T>
T Narrow(T value) {
  return value;
}

inline const char* CStr(const std::string& s) { return s.c_str(); }
template <typename T>
T CStr(T value) {
  return value;
}

// Turns every "%S" into "%s" (wide arguments arrive converted).
std::string NarrowFormat(const char* format);
std::string FormatV(const char* format, ...);

template <typename... Args>
std::string Format(const char* format, Args&&... args) {
  const std::string narrowFormat = NarrowFormat(format);
  if constexpr (sizeof...(Args) == 0) {
    return FormatV("%s", narrowFormat.c_str());
  } else {
    // Keeps converted strings alive for the duration of the call.
    auto converted = std::make_tuple(Narrow(std::forward<Args>(args))...);
    return std::apply(
        [&](auto&... items) { return FormatV(narrowFormat.c_str(), CStr(items)...); }, converted);
  }
}

}  // namespace detail

template <typename... Args>
void Info(const char* format, Args&&... args) {
  if (IsOpen()) WriteLine(Level::Info, detail::Format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void Warning(const char* format, Args&&... args) {
  if (IsOpen()) WriteLine(Level::Warning, detail::Format(format, std::forward<Args>(args)...));
}
template <typename... Args>
void Error(const char* format, Args&&... args) {
  if (IsOpen()) WriteLine(Level::Error, detail::Format(format, std::forward<Args>(args)...));
}

}  // namespace SetupLog
