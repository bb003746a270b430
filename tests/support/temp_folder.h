#pragma once
// A scratch folder on the real file system of the test process, removed
// with its contents when the test ends.
#include <atomic>
#include <filesystem>
#include <string>
#include <string_view>

class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("valdrix-test-" + std::to_string(Pid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::wstring Path(std::wstring_view name = {}) const { return (path_ / std::wstring(name)).wstring(); }
  const std::filesystem::path& Root() const { return path_; }

 private:
  static long Pid();
  std::filesystem::path path_;
};

#ifdef _WIN32
extern "C" __declspec(dllimport) unsigned long __stdcall GetCurrentProcessId();
inline long TempFolder::Pid() { return static_cast<long>(GetCurrentProcessId()); }
#else
#include <unistd.h>
inline long TempFolder::Pid() { return static_cast<long>(getpid()); }
#endif
