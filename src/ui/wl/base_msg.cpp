#include "ui/wl/base_msg.h"

#include <stdexcept>

#include "ui/wl/exception_box.h"

namespace wl::_wli {

base_msg::base_msg(HWND& hwnd) : _hwnd(hwnd) {}

void base_msg::check_accepts_handlers() const {
  if (!_acceptsHandlers) {
    throw std::logic_error(
        "Can't add a message handler after the loop started.\n"
        "This would be an unsafe operation, therefore it's explicitly forbidden.");
  }
}

void base_msg::add_message_handler(UINT message, message_handler handler) {
  check_accepts_handlers();
  _messages.add(message, std::move(handler));
}

void base_msg::add_command_handler(WORD commandId, message_handler handler) {
  check_accepts_handlers();
  _commands.add(commandId, std::move(handler));
}

void base_msg::add_notify_handler(UINT_PTR idFrom, UINT code, message_handler handler) {
  check_accepts_handlers();
  _notifications.add(notify_key{idFrom, code}, std::move(handler));
}

std::pair<bool, LRESULT> base_msg::dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  _acceptsHandlers = false;
  const message_handler* handler = nullptr;
  if (message == WM_NOTIFY) {
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    handler = _notifications.find(notify_key{header->idFrom, header->code});
  } else if (message == WM_COMMAND) {
    handler = _commands.find(LOWORD(wParam));
  } else {
    handler = _messages.find(message);
  }
  if (!handler) return {false, -1};
  try {
    return {true, (*handler)(window_message{message, wParam, lParam})};
  } catch (...) {
    show_exception_box();
    PostQuitMessage(-1);
    return {false, -1};
  }
}

}  // namespace wl::_wli
