#include "ui/wl/controls.h"

#include <mutex>
#include <stdexcept>

#include "system/errors.h"

namespace wl {

void native_control::check_unset() const {
  if (_hwnd) throw std::logic_error("Trying to assign or create a native control twice.");
}

void native_control::create(HWND parent, int id, LPCWSTR text, POINT position, SIZE size, LPCWSTR className,
                            DWORD style, DWORD exStyle) {
  check_unset();
  const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
  _hwnd = CreateWindowExW(exStyle, className, text, style, position.x, position.y, size.cx, size.cy, parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

void native_control::assign(HWND hwnd) {
  check_unset();
  _hwnd = hwnd;
}

font_handle::~font_handle() {
  if (_font) DeleteObject(_font);
}

void font_handle::set(const LOGFONTW& logFont) {
  if (_font) {
    DeleteObject(_font);
    _font = nullptr;
  }
  _font = CreateFontIndirectW(&logFont);
  if (!_font) Errors::ThrowSystem(GetLastError(), "CreateFontIndirect failed");
}

namespace {

bool is_vista_or_later() {
  OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  version.dwMajorVersion = 6;
  const ULONGLONG condition = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&version, VER_MAJORVERSION, condition);
}

BOOL CALLBACK set_child_font(HWND child, LPARAM font) {
  SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), FALSE);
  return TRUE;
}

}  // namespace

LOGFONTW system_font() {
  NONCLIENTMETRICSW metrics{};
  // Before Vista the structure had no iPaddedBorderWidth.
  metrics.cbSize = is_vista_or_later() ? 504 : 500;
  static_assert(sizeof(NONCLIENTMETRICSW) == 504);
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0);
  return metrics.lfMenuFont;
}

void apply_system_font(HWND hwnd) {
  static std::once_flag once;
  static font_handle font;
  std::call_once(once, [] { font.set(system_font()); });
  const auto handle = reinterpret_cast<WPARAM>(font.get());
  SendMessageW(hwnd, WM_SETFONT, handle, FALSE);
  EnumChildWindows(hwnd, set_child_font, static_cast<LPARAM>(handle));
}

}  // namespace wl
