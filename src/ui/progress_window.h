#pragma once
// The setup's one window: title line, status line, progress bar and build
// label. Its worker thread asks the start-up questions and runs the engine.
#include <windows.h>

#include <atomic>
#include <functional>
#include <string_view>

#include "engine/context.h"
#include "ui/wl/controls.h"
#include "ui/wl/window_main.h"

// What the window's worker runs. RunProgressWindow uses the real engine,
// probes, reporting and reboot; tests put their own in.
struct SetupSteps {
  std::function<int(Setup::Context&)> initialize;
  std::function<int(Setup::Context&)> run;
  std::function<void(Setup::Context&)> runDeferred;
  std::function<bool()> legacyInstalled;
  std::function<bool(const Setup::Context&)> productInstalled;
  std::function<void(std::string_view message, std::string_view category, std::string_view level)> breadcrumb;
  std::function<void()> reboot;
};

class ProgressWindow : public wl::window_main {
 public:
  explicit ProgressWindow(SetupSteps steps);
  ~ProgressWindow();

  double scale_factor() const { return scale; }
  HWND title_label() const { return titleLabel.hwnd(); }
  HWND status_label() const { return statusLabel.hwnd(); }
  HWND progress_bar() const { return progressBar.hwnd(); }
  HWND version_label() const { return versionLabel.hwnd(); }
  bool is_busy() const { return busy.load(); }
  bool error_shown() const { return errorShown.load(); }

 private:
  void OnCreate();
  void InstallThread();
  bool AskStartupQuestions(Setup::Context& context);
  void CloseSetup();
  void Finish();

  double scale = 1.0;
  wl::font_handle statusFont;
  wl::font_handle titleFont;
  wl::native_control titleLabel;
  wl::native_control statusLabel;
  wl::native_control progressBar;
  wl::native_control versionLabel;
  std::atomic<bool> busy{false};
  std::atomic<bool> errorShown{false};
  SetupSteps steps;
  HANDLE fontResource = nullptr;  // from AddFontMemResourceEx, removed last
};

// Runs the progress window until its message loop ends; returns the loop's
// exit code (0 after a normal close, -1 after an escaped exception).
int RunProgressWindow(HINSTANCE instance, int showCommand);
