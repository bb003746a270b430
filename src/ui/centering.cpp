#include "ui/centering.h"

namespace Ui {

POINT CenteredPosition(const RECT& box, const RECT& owner, const RECT& workArea) {
  const LONG width = box.right - box.left;
  const LONG height = box.bottom - box.top;
  const LONG ownerWidth = owner.right - owner.left;
  const LONG ownerHeight = owner.bottom - owner.top;
  POINT position{owner.left + ownerWidth / 2 - width / 2, owner.top + ownerHeight / 2 - height / 2};
  if (position.x < 0) {
    position.x = 0;
  } else if (position.x + width > workArea.right) {
    position.x = workArea.right - width;
  }
  if (position.y < 0) {
    position.y = 0;
  } else if (position.y + height > workArea.bottom) {
    position.y = workArea.bottom - height;
  }
  return position;
}

void CenterWindowOver(HWND box, HWND owner) {
  RECT boxRect{}, ownerRect{}, workArea{};
  if (!GetWindowRect(box, &boxRect) || !GetWindowRect(owner, &ownerRect)) return;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
  const POINT position = CenteredPosition(boxRect, ownerRect, workArea);
  MoveWindow(box, position.x, position.y, boxRect.right - boxRect.left, boxRect.bottom - boxRect.top, FALSE);
}

}  // namespace Ui
