#pragma once
// Child controls and fonts of a window.
#include <windows.h>

namespace wl {

// Refers to one child window; the parent destroys it.
class native_control {
 public:
  native_control() = default;
  native_control(const native_control&) = delete;
  native_control& operator=(const native_control&) = delete;

  // Creation failures are not checked: the control then stays null.
  void create(HWND parent, int id, LPCWSTR text, POINT position, SIZE size, LPCWSTR className, DWORD style,
              DWORD exStyle);
  void assign(HWND hwnd);
  HWND hwnd() const { return _hwnd; }

 private:
  void check_unset() const;
  HWND _hwnd = nullptr;
};

class font_handle {
 public:
  font_handle() = default;
  ~font_handle();
  font_handle(const font_handle&) = delete;
  font_handle& operator=(const font_handle&) = delete;

  // Replaces the font; throws std::system_error "CreateFontIndirect failed".
  void set(const LOGFONTW& logFont);
  HFONT get() const { return _font; }

 private:
  HFONT _font = nullptr;
};

// The menu font of the system.
LOGFONTW system_font();
// Sends the one process-wide system font to `hwnd` and all its children.
void apply_system_font(HWND hwnd);

}  // namespace wl
