#include "engine/context.h"

#include "app/log.h"
#include "app/text.h"
#include "reporting/reporter.h"

namespace Setup {

void Context::ReportStatus(std::wstring_view text) {
  status.assign(text);
  SetupLog::Info("%S", status);
  Reporting::AddBreadcrumb("Status: " + Text::ToUtf8(text), "setup", "default", "info");
  if (onStatus) onStatus(text);
}

void Context::ReportProgress(int32_t percent) {
  if (onProgress) onProgress(percent);
}

void Context::ReportCompleted() {
  if (onCompleted) onCompleted();
}

void Context::ReportFatal(std::wstring_view text) {
  Reporting::AddBreadcrumb("Fatal error: " + Text::ToUtf8(text), "setup", "default", "error");
  if (onFatal) onFatal(text);
}

DeferredTask* Context::AddDeferredTask(std::string name, std::function<void()> action) {
  auto task = std::make_unique<DeferredTask>();
  task->name = std::move(name);
  task->action = std::move(action);
  task->active = true;
  deferredTasks.push_back(std::move(task));
  return deferredTasks.back().get();
}

}  // namespace Setup
