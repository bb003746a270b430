// The window driver with the real engine behind it.
#include "engine/flows/flows.h"
#include "reporting/reporter.h"
#include "ui/product_probe.h"
#include "ui/progress_window.h"
#include "ui/prompts.h"

int RunProgressWindow(HINSTANCE instance, int showCommand) {
  SetupSteps steps;
  steps.initialize = Setup::InitializeSetup;
  steps.run = Setup::RunSetup;
  steps.runDeferred = Setup::RunDeferredTasks;
  steps.legacyInstalled = IsLegacyInstalled;
  steps.productInstalled = Ui::IsProductInstalled;
  steps.breadcrumb = [](std::string_view message, std::string_view category, std::string_view level) {
    Reporting::AddBreadcrumb(message, category, "default", level);
  };
  steps.reboot = Ui::RequestReboot;
  ProgressWindow window(std::move(steps));
  return window.run_window(instance, showCommand);
}
