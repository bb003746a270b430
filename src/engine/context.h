#pragma once
// The state of one setup run and the operations the flows report through.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/update_manifest.h"

namespace Setup {

struct DeferredTask {
  std::string name;
  std::function<void()> action;
  bool active = true;
};

class Context {
 public:
  Context() = default;
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  std::wstring status;
  std::wstring installPath;
  UpdateManifest manifest;
  std::function<void(std::wstring_view)> onStatus;
  std::function<void(int32_t)> onProgress;
  std::function<void()> onCompleted;
  std::function<void(std::wstring_view)> onFatal;
  int32_t lastProgress = 0;
  std::vector<std::unique_ptr<DeferredTask>> deferredTasks;
  bool restartRequired = false;
  // CoInitializeEx succeeded on the driver's thread; only then is it ended.
  bool comInitialized = false;

  void ReportStatus(std::wstring_view text);
  void ReportProgress(int32_t percent);
  void ReportCompleted();
  void ReportFatal(std::wstring_view text);
  void LoadManifest();
  DeferredTask* AddDeferredTask(std::string name, std::function<void()> action);
};

int InitializeSetup(Context& context);
int RunSetup(Context& context);
void RunDeferredTasks(Context& context);

}  // namespace Setup
