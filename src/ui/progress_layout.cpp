#include "ui/progress_layout.h"

namespace Ui {
namespace {
Box Scaled(int x, int y, int width, int height, double scale) {
  return Box{static_cast<int>(x * scale), static_cast<int>(y * scale), static_cast<int>(width * scale),
             static_cast<int>(height * scale)};
}
}  // namespace

ProgressLayout ComputeProgressLayout(double scale) {
  return ProgressLayout{
      Scaled(0, 0, 600, 160, scale), Scaled(16, 16, 552, 20, scale), Scaled(16, 48, 552, 16, scale),
      Scaled(16, 70, 552, 8, scale), Scaled(16, 88, 552, 16, scale),
  };
}

}  // namespace Ui
