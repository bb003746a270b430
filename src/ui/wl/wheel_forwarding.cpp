#include "ui/wl/wheel_forwarding.h"

#include <commctrl.h>

#include <atomic>

namespace wl {
namespace {

constexpr WPARAM kForwardedMarker = 0x800;
std::atomic<UINT_PTR> nextSubclassId{1};

LRESULT CALLBACK wheel_subclass(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                DWORD_PTR mainWindow) {
  if (message == WM_MOUSEWHEEL) {
    if (!(wParam & kForwardedMarker)) {
      const HWND main = reinterpret_cast<HWND>(mainWindow);
      POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      ScreenToClient(main, &point);
      if (const HWND target = ChildWindowFromPoint(main, point)) {
        SendMessageW(target, WM_MOUSEWHEEL, wParam | kForwardedMarker, lParam);
      }
      return 0;
    }
    return DefSubclassProc(hwnd, message, wParam & ~kForwardedMarker, lParam);
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(hwnd, wheel_subclass, id);
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

BOOL CALLBACK subclass_child(HWND child, LPARAM main) {
  if (GetWindowLongPtrW(child, GWL_STYLE) & WS_TABSTOP) {
    SetWindowSubclass(child, wheel_subclass, nextSubclassId++, static_cast<DWORD_PTR>(main));
  }
  return TRUE;
}

}  // namespace

bool is_windows10_or_later() {
  OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  version.dwMajorVersion = 10;
  version.dwMinorVersion = 0;
  version.wServicePackMajor = 0;
  ULONGLONG condition = 0;
  condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
  condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
  condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, condition);
}

void forward_mouse_wheel_of_children(HWND main) {
  EnumChildWindows(main, subclass_child, reinterpret_cast<LPARAM>(main));
}

}  // namespace wl
