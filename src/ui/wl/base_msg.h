#pragma once
// Handler tables of one window. Handlers are added before the window gets its
// first message and are read-only from then on.
#include <windows.h>

#include <functional>
#include <utility>
#include <vector>

#include "ui/wl/window_message.h"

namespace wl {

using message_handler = std::function<LRESULT(window_message)>;

namespace _wli {

class base_msg {
 public:
  explicit base_msg(HWND& hwnd);
  base_msg(const base_msg&) = delete;
  base_msg& operator=(const base_msg&) = delete;

  void add_message_handler(UINT message, message_handler handler);
  void add_command_handler(WORD commandId, message_handler handler);
  void add_notify_handler(UINT_PTR idFrom, UINT code, message_handler handler);

  // (handled, result). A handler that throws shows the error box, ends the
  // loop with -1 and counts as not handled.
  std::pair<bool, LRESULT> dispatch(UINT message, WPARAM wParam, LPARAM lParam);

  HWND hwnd() const { return _hwnd; }

 private:
  struct notify_key {
    UINT_PTR idFrom = 0;
    UINT code = 0;
    bool operator==(const notify_key&) const = default;
  };

  // Element 0 is a sentinel: the key searched for is written into it, so the
  // backwards search always stops there.
  template <typename Key>
  struct table {
    std::vector<std::pair<Key, message_handler>> entries{1};
    void add(Key key, message_handler handler) { entries.emplace_back(key, std::move(handler)); }
    const message_handler* find(Key key) {
      entries[0].first = key;
      size_t i = entries.size() - 1;
      while (!(entries[i].first == key)) --i;
      return i == 0 ? nullptr : &entries[i].second;
    }
  };

  void check_accepts_handlers() const;

  bool _acceptsHandlers = true;
  HWND& _hwnd;
  table<UINT> _messages;
  table<WORD> _commands;
  table<notify_key> _notifications;
};

}  // namespace _wli
}  // namespace wl
