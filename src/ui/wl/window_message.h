#pragma once
#include <windows.h>

namespace wl {

// What every handler receives, by value.
struct window_message {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

}  // namespace wl
