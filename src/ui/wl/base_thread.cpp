#include "ui/wl/base_thread.h"

#include <process.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <system_error>

#include "ui/wl/exception_box.h"

namespace wl::_wli {
namespace {

// What crosses to the user-interface thread: a function to run, or an
// exception from a worker to show there.
struct thread_packet {
  std::function<void()> func;
  HWND hwnd = nullptr;
  std::exception_ptr error;
};

// The sender keeps ownership: SendMessageW returns only after the handler
// has run, and a packet sent to a window that is already gone is still freed.
void send_packet(const thread_packet& packet) {
  SendMessageW(packet.hwnd, WM_RUN_ON_UI_THREAD, 0, reinterpret_cast<LPARAM>(&packet));
}

unsigned __stdcall thread_proc(void* argument) {
  {
    std::unique_ptr<thread_packet> packet(static_cast<thread_packet*>(argument));
    try {
      packet->func();
    } catch (...) {
      send_packet(thread_packet{{}, packet->hwnd, std::current_exception()});
    }
  }
  _endthreadex(0);
  return 0;
}

}  // namespace

template <typename Result, Result Default>
base_thread<Result, Default>::base_thread(base_msg& msg) : _msg(msg) {
  _msg.add_message_handler(WM_RUN_ON_UI_THREAD, [](window_message m) -> LRESULT {
    const auto* packet = reinterpret_cast<const thread_packet*>(m.lParam);
    try {
      if (packet->error) std::rethrow_exception(packet->error);
      packet->func();
    } catch (...) {
      show_exception_box();
      PostQuitMessage(-1);
    }
    return Default;
  });
}

template <typename Result, Result Default>
void base_thread<Result, Default>::run_thread_detached(std::function<void()> func) const {
  auto packet = std::make_unique<thread_packet>(thread_packet{std::move(func), _msg.hwnd(), nullptr});
  const uintptr_t thread = _beginthreadex(nullptr, 0, thread_proc, packet.get(), 0, nullptr);
  if (thread == 0) throw std::system_error(errno, std::generic_category(), "Unable to start thread");
  packet.release();  // the thread owns it now
  CloseHandle(reinterpret_cast<HANDLE>(thread));
}

template <typename Result, Result Default>
void base_thread<Result, Default>::run_on_ui_thread(std::function<void()> func) const {
  send_packet(thread_packet{std::move(func), _msg.hwnd(), nullptr});
}

template class base_thread<LRESULT, 0>;

}  // namespace wl::_wli
