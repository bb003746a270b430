#pragma once
// Helpers for driving real windows under Wine: a watcher thread that finds
// boxes and dialogs by caption and presses their buttons.
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace UiTest {

struct SeenBox {
  std::wstring caption;
  std::wstring text;  // all child texts, joined by '|'
  RECT rect{};
  RECT ownerRect{};
  bool hadOwner = false;
};

inline std::wstring WindowText(HWND hwnd) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(hwnd, buffer, 1024);
  return buffer;
}

inline std::wstring ClassName(HWND hwnd) {
  wchar_t buffer[256] = {};
  GetClassNameW(hwnd, buffer, 256);
  return buffer;
}

// Destroys a window whose loop ended with an error and drops the quit
// message that the destruction posts, so the next loop of this thread starts
// clean.
inline void DestroyLeftover(HWND hwnd) {
  if (hwnd) DestroyWindow(hwnd);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
  }
}

// Waits for a condition that another thread brings about.
inline void WaitFor(const std::function<bool()>& condition) {
  while (!condition()) Sleep(10);
}

// Answers, in order, the dialogs whose caption starts with one of the given
// captions: answer i is sent as WM_COMMAND to the i-th dialog found.
class BoxAnswerer {
 public:
  struct Answer {
    std::wstring caption;
    int command;
  };

  explicit BoxAnswerer(std::vector<Answer> answers) : answers_(std::move(answers)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~BoxAnswerer() {
    stop_ = true;
    thread_.join();
  }
  BoxAnswerer(const BoxAnswerer&) = delete;
  BoxAnswerer& operator=(const BoxAnswerer&) = delete;

  std::vector<SeenBox> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  struct Search {
    const std::wstring* caption;
    HWND found;
    HWND skip;
  };

  static BOOL CALLBACK Match(HWND hwnd, LPARAM argument) {
    auto* search = reinterpret_cast<Search*>(argument);
    if (hwnd == search->skip || !IsWindowVisible(hwnd) || ClassName(hwnd) != L"#32770") return TRUE;
    if (WindowText(hwnd).rfind(*search->caption, 0) != 0) return TRUE;
    search->found = hwnd;
    return FALSE;
  }

  static BOOL CALLBACK CollectText(HWND child, LPARAM argument) {
    auto* text = reinterpret_cast<std::wstring*>(argument);
    const std::wstring part = WindowText(child);
    if (!part.empty()) *text += part + L"|";
    return TRUE;
  }

  void Run() {
    HWND last = nullptr;
    for (const Answer& answer : answers_) {
      Search search{&answer.caption, nullptr, last};
      while (!stop_) {
        EnumWindows(Match, reinterpret_cast<LPARAM>(&search));
        if (search.found) break;
        Sleep(10);
      }
      if (!search.found) return;
      SeenBox box;
      box.caption = WindowText(search.found);
      EnumChildWindows(search.found, CollectText, reinterpret_cast<LPARAM>(&box.text));
      GetWindowRect(search.found, &box.rect);
      if (const HWND owner = GetWindow(search.found, GW_OWNER)) {
        box.hadOwner = true;
        GetWindowRect(owner, &box.ownerRect);
      }
      {
        std::lock_guard lock(mutex_);
        seen_.push_back(box);
      }
      PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(answer.command, BN_CLICKED), 0);
      last = search.found;
    }
  }

  std::vector<Answer> answers_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<SeenBox> seen_;
  std::thread thread_;
};

}  // namespace UiTest
