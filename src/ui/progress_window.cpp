// Placeholder until the window lands: the UI path fails loudly.
#include "ui/progress_window.h"

#include "app/log.h"

int RunProgressWindow(HINSTANCE, int) {
  SetupLog::Error("The progress window is not available in this build");
  MessageBoxW(nullptr, L"The progress window is not available in this build. Use /silent.", L"Valdrix",
              MB_ICONERROR);
  return -1;
}
