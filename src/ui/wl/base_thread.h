#pragma once
// Detached worker threads, and running a function on the user-interface
// thread from any thread.
#include <windows.h>

#include <functional>

#include "ui/wl/base_msg.h"

namespace wl {

// The last message of the application range.
constexpr UINT WM_RUN_ON_UI_THREAD = WM_APP + 0x3FFF;

namespace _wli {

template <typename Result, Result Default>
class base_thread {
 public:
  // Registers the WM_RUN_ON_UI_THREAD handler.
  explicit base_thread(base_msg& msg);

  // Starts `func` on a new detached thread. Anything it throws is shown on
  // the user-interface thread and ends the loop with -1.
  void run_thread_detached(std::function<void()> func) const;
  // Runs `func` on the user-interface thread and returns once it has run.
  void run_on_ui_thread(std::function<void()> func) const;

 private:
  base_msg& _msg;
};

extern template class base_thread<LRESULT, 0>;

}  // namespace _wli
}  // namespace wl
