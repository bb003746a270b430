#include "net/win/winhttp_error.h"

#include <windows.h>

#include "app/text.h"

namespace Platform {

std::string DescribeWinHttpError(uint32_t code) {
  wchar_t* buffer = nullptr;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE module = GetModuleHandleW(L"winhttp.dll");
  if (module != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  const DWORD length = FormatMessageW(flags, module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return "unknown error";
  std::wstring text(buffer, length);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.pop_back();
  return text.empty() ? "unknown error" : Text::ToUtf8(text);
}

WinHttpError::WinHttpError(uint32_t code, const std::string& message)
    : std::system_error(static_cast<int>(code), std::system_category(), message),
      text_(message + ": " + DescribeWinHttpError(code)) {}

}  // namespace Platform
