#pragma once
// A ProgressWindow wired to a scripted engine: the test decides what the run
// reports, and sees the breadcrumbs, the probes and the reboot request.
#include <commctrl.h>

#include <mutex>
#include <string>
#include <vector>

#include "app/flags.h"
#include "ui/progress_window.h"

namespace UiTest {

struct ScriptedRun {
  int initializeResult = 0;
  bool legacyInstalled = false;
  bool productInstalled = false;
  std::function<void(Setup::Context&, ProgressWindow&)> run;  // the flow, reporting as it likes

  // Observed.
  std::mutex mutex;
  std::vector<std::string> breadcrumbs;  // "message|category|level"
  bool ran = false;
  SetupMode modeAtRun = SetupMode::Install;
  bool legacyUninstallAtRun = false;
  bool deferredRan = false;
  bool rebootRequested = false;

  std::vector<std::string> Breadcrumbs() {
    std::lock_guard lock(mutex);
    return breadcrumbs;
  }

  SetupSteps Steps(ProgressWindow*& window) {
    SetupSteps steps;
    steps.initialize = [this](Setup::Context&) { return initializeResult; };
    steps.run = [this, &window](Setup::Context& context) {
      ran = true;
      modeAtRun = SetupFlags::Instance().mode;
      legacyUninstallAtRun = SetupFlags::Instance().legacyUninstall;
      if (run) run(context, *window);
      return 0;
    };
    steps.runDeferred = [this](Setup::Context&) { deferredRan = true; };
    steps.legacyInstalled = [this] { return legacyInstalled; };
    steps.productInstalled = [this](const Setup::Context&) { return productInstalled; };
    steps.breadcrumb = [this](std::string_view message, std::string_view category, std::string_view level) {
      std::lock_guard lock(mutex);
      breadcrumbs.push_back(std::string(message) + "|" + std::string(category) + "|" + std::string(level));
    };
    steps.reboot = [this] { rebootRequested = true; };
    return steps;
  }
};

// Runs the window on this thread; returns run_window's result.
inline int RunWindow(ScriptedRun& script) {
  ProgressWindow* self = nullptr;
  ProgressWindow window(script.Steps(self));
  self = &window;
  return window.run_window(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
}

inline void ResetFlags() {
  SetupFlags& flags = SetupFlags::Instance();
  flags.mode = SetupMode::Install;
  flags.legacyUninstall = false;
}

}  // namespace UiTest
