#pragma once
// Windows path rules shared by the double's areas: case-insensitive keys,
// no trailing backslash, parent and drive of a path.
#include <cwctype>
#include <string>
#include <string_view>

namespace Double {

inline std::wstring Lower(std::wstring_view text) {
  std::wstring out(text);
  for (auto& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

// The key of a path: lower case, '/' as '\', without trailing backslashes.
inline std::wstring PathKey(std::wstring_view path) {
  std::wstring key = Lower(path);
  for (auto& c : key) {
    if (c == L'/') c = L'\\';
  }
  while (key.size() > 2 && key.back() == L'\\') key.pop_back();
  return key;
}

inline std::wstring ParentKey(const std::wstring& key) {
  const size_t slash = key.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
}

inline std::wstring FileNameOf(std::wstring_view path) {
  const size_t slash = path.rfind(L'\\');
  return std::wstring(slash == std::wstring_view::npos ? path : path.substr(slash + 1));
}

// "c:" for "C:\x"; empty for paths without a drive.
inline std::wstring DriveOf(const std::wstring& key) {
  return key.size() >= 2 && key[1] == L':' ? key.substr(0, 2) : std::wstring();
}

// True when `key` is `folder` itself or lies below it.
inline bool IsWithin(const std::wstring& key, const std::wstring& folder) {
  return key == folder ||
         (key.size() > folder.size() && key.compare(0, folder.size(), folder) == 0 && key[folder.size()] == L'\\');
}

}  // namespace Double
