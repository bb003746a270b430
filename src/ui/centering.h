#pragma once
// Placing a box over the middle of its owner without leaving the work area
// to the right or bottom, nor the screen to the left or top.
#include <windows.h>

namespace Ui {

POINT CenteredPosition(const RECT& box, const RECT& owner, const RECT& workArea);
// Moves `box` to CenteredPosition over `owner`; nothing moves when either
// rectangle cannot be read.
void CenterWindowOver(HWND box, HWND owner);

}  // namespace Ui
