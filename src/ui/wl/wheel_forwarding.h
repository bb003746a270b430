#pragma once
#include <windows.h>

namespace wl {

bool is_windows10_or_later();
// Before Windows 10 the wheel goes to the focused control only; each tab-stop
// child of `main` passes it on to the child under the cursor instead.
void forward_mouse_wheel_of_children(HWND main);

}  // namespace wl
