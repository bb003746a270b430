#pragma once
// Where the progress window and its controls go, in device pixels at a given
// DPI scale (every number multiplied by the scale and truncated).
namespace Ui {

struct Box {
  int x, y, width, height;
};

struct ProgressLayout {
  Box window;  // x and y unused: Windows places the window
  Box title;
  Box status;
  Box progressBar;
  Box version;
};

ProgressLayout ComputeProgressLayout(double scale);

}  // namespace Ui
