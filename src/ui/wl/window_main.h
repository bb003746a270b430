#pragma once
// A top-level window: registers its class, creates itself, runs the message
// loop and hands every message to the handlers added in the constructor of
// the derived window.
#include <windows.h>

#include <functional>
#include <vector>

#include "ui/wl/base_msg.h"
#include "ui/wl/base_thread.h"

namespace wl {

struct window_class_setup {
  UINT style = CS_DBLCLKS;
  HICON hIcon = nullptr;
  HCURSOR hCursor = nullptr;
  HBRUSH hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  LPCWSTR lpszMenuName = nullptr;
  LPCWSTR lpszClassName = nullptr;
  HICON hIconSm = nullptr;
};

struct window_setup {
  window_class_setup wndClassEx;
  LPCWSTR title = nullptr;
  DWORD style = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  DWORD exStyle = 0;
  POINT position{CW_USEDEFAULT, CW_USEDEFAULT};
  SIZE size{CW_USEDEFAULT, CW_USEDEFAULT};
  HMENU menu = nullptr;
};

namespace _wli {
// Handed to CreateWindowExW and kept in the window's user data.
struct create_record {
  HWND* hwnd;
  base_msg* msg;
};
}  // namespace _wli

class window_main {
 public:
  window_main();
  ~window_main();
  window_main(const window_main&) = delete;
  window_main& operator=(const window_main&) = delete;

  void add_message_handler(UINT message, message_handler handler) {
    _msg.add_message_handler(message, std::move(handler));
  }
  void add_command_handler(WORD commandId, message_handler handler) {
    _msg.add_command_handler(commandId, std::move(handler));
  }
  void add_notify_handler(UINT_PTR idFrom, UINT code, message_handler handler) {
    _msg.add_notify_handler(idFrom, code, std::move(handler));
  }

  // Creates and shows the window and runs the loop; returns the code given
  // to PostQuitMessage (0 once the window is destroyed, -1 after an error).
  int run_window(HINSTANCE instance, int showCommand);

  void run_thread_detached(std::function<void()> func) const { _thread.run_thread_detached(std::move(func)); }
  void run_on_ui_thread(std::function<void()> func) const { _thread.run_on_ui_thread(std::move(func)); }

  HWND hwnd() const { return _hwnd; }

 private:
  void create(HINSTANCE instance, HWND parent);
  int message_loop();

  HWND _hwnd = nullptr;
  _wli::base_msg _msg;
  _wli::base_thread<LRESULT, 0> _thread;
  _wli::create_record _creation;
  std::vector<HWND> _modelessDialogs;

 public:
  window_setup setup;

 private:
  HACCEL _accelerators = nullptr;
};

}  // namespace wl
