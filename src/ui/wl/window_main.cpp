#include "ui/wl/window_main.h"

#include <commctrl.h>

#include <stdexcept>

#include "system/delay_load.h"
#include "system/errors.h"
#include "ui/wl/exception_box.h"
#include "ui/wl/wheel_forwarding.h"

namespace wl {
namespace {

using _wli::create_record;

void detach(HWND hwnd, HWND* slot) {
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  if (slot) *slot = nullptr;
}

LRESULT CALLBACK window_procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  create_record* record = nullptr;
  if (message == WM_NCCREATE) {
    record = static_cast<create_record*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(record));
    *record->hwnd = hwnd;
  } else {
    record = reinterpret_cast<create_record*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  }
  if (record) {
    const auto [handled, result] = record->msg->dispatch(message, wParam, lParam);
    if (handled) {
      if (message == WM_NCDESTROY) detach(hwnd, record->hwnd);
      return result;
    }
    if (message == WM_NCDESTROY) detach(hwnd, record->hwnd);
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

window_main::window_main() : _msg(_hwnd), _thread(_msg), _creation{&_hwnd, &_msg} {
  setup.wndClassEx.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  add_message_handler(WM_NCDESTROY, [](window_message) -> LRESULT {
    PostQuitMessage(0);
    return 0;
  });
}

window_main::~window_main() {
  if (_hwnd && IsWindow(_hwnd)) SetWindowLongPtrW(_hwnd, GWLP_USERDATA, 0);
}

void window_main::create(HINSTANCE instance, HWND parent) {
  if (_hwnd) throw std::logic_error("Tried to create window twice.");
  if (!setup.wndClassEx.lpszClassName) {
    throw std::logic_error("No window class name given on this->setup.wndClassEx.lpszClassName.");
  }
  if (!instance && parent) instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
  if (!instance) throw std::invalid_argument("To create a window, HINSTANCE or parent HWND must be provided.");

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(WNDCLASSEXW);
  wc.style = setup.wndClassEx.style;
  wc.lpfnWndProc = window_procedure;
  wc.hInstance = instance;
  wc.hIcon = setup.wndClassEx.hIcon;
  wc.hCursor = setup.wndClassEx.hCursor;
  wc.hbrBackground = setup.wndClassEx.hbrBackground;
  wc.lpszMenuName = setup.wndClassEx.lpszMenuName;
  wc.lpszClassName = setup.wndClassEx.lpszClassName;
  wc.hIconSm = setup.wndClassEx.hIconSm;
  ATOM atom = RegisterClassExW(&wc);
  if (!atom) {
    const DWORD error = GetLastError();
    if (error != ERROR_CLASS_ALREADY_EXISTS) Errors::ThrowSystem(error, "RegisterClassEx failed");
    atom = static_cast<ATOM>(GetClassInfoExW(instance, wc.lpszClassName, &wc));
  }

  const HWND created =
      CreateWindowExW(setup.exStyle, MAKEINTATOM(atom), setup.title, setup.style, setup.position.x, setup.position.y,
                      setup.size.cx, setup.size.cy, parent, setup.menu, instance, &_creation);
  if (!created) Errors::ThrowSystem(GetLastError(), "CreateWindowEx failed");
}

int window_main::run_window(HINSTANCE instance, int showCommand) {
  // The first call into the common controls, which load here: without them
  // there is no window to show anything in, so the box stands alone.
  try {
    InitCommonControls();
  } catch (const Platform::DelayLoadError&) {
    show_exception_box();
    return -1;
  }
  create(instance, nullptr);
  ShowWindow(_hwnd, showCommand);
  if (!UpdateWindow(_hwnd)) Errors::ThrowSystem(GetLastError(), "UpdateWindow failed");
  if (!is_windows10_or_later()) forward_mouse_wheel_of_children(_hwnd);
  return message_loop();
}

int window_main::message_loop() {
  MSG msg{};
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) Errors::ThrowSystem(GetLastError(), "GetMessage failed");
    bool taken = false;
    for (HWND dialog : _modelessDialogs) {
      if (IsWindow(dialog) && IsDialogMessageW(dialog, &msg)) {
        taken = true;
        break;
      }
    }
    if (taken) continue;
    if (_accelerators && TranslateAcceleratorW(_hwnd, _accelerators, &msg)) continue;
    if (_hwnd && IsDialogMessageW(_hwnd, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace wl
