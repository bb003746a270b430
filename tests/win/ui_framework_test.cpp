// The window framework against real windows under Wine.
#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <system_error>

#include "ui/wl/controls.h"
#include "ui/wl/exception_box.h"
#include "ui/wl/window_main.h"
#include "win/ui_support.h"

namespace {

constexpr UINT kPoke = WM_APP + 1;

class TestWindow : public wl::window_main {
 public:
  TestWindow() { setup.wndClassEx.lpszClassName = L"Valdrix.FrameworkTest"; }
};

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

TEST(WindowFramework, LaterHandlerOfAMessageWinsAndDestroyingEndsTheLoopWithZero) {
  TestWindow window;
  std::vector<int> ran;
  window.add_message_handler(WM_CREATE, [&](wl::window_message) -> LRESULT {
    PostMessageW(window.hwnd(), kPoke, 0, 0);
    return 0;
  });
  window.add_message_handler(kPoke, [&](wl::window_message) -> LRESULT {
    ran.push_back(1);
    return 0;
  });
  window.add_message_handler(kPoke, [&](wl::window_message) -> LRESULT {
    ran.push_back(2);
    DestroyWindow(window.hwnd());
    return 0;
  });
  EXPECT_EQ(window.run_window(Instance(), SW_SHOWNORMAL), 0);
  EXPECT_EQ(ran, std::vector<int>{2});
  EXPECT_EQ(window.hwnd(), nullptr);
}

TEST(WindowFramework, ClassRegisteredByAnEarlierWindowIsReused) {
  for (int i = 0; i < 2; ++i) {
    TestWindow window;
    window.add_message_handler(WM_CREATE, [&](wl::window_message) -> LRESULT {
      PostMessageW(window.hwnd(), WM_CLOSE, 0, 0);
      return 0;
    });
    EXPECT_EQ(window.run_window(Instance(), SW_SHOWNORMAL), 0) << "window " << i;
  }
}

TEST(WindowFramework, AddingAHandlerOnceMessagesFlowIsRefused) {
  TestWindow window;
  std::string refusal;
  window.add_message_handler(WM_CREATE, [&](wl::window_message) -> LRESULT {
    try {
      window.add_message_handler(kPoke, [](wl::window_message) -> LRESULT { return 0; });
    } catch (const std::logic_error& error) {
      refusal = error.what();
    }
    PostMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    return 0;
  });
  EXPECT_EQ(window.run_window(Instance(), SW_SHOWNORMAL), 0);
  EXPECT_EQ(refusal,
            "Can't add a message handler after the loop started.\nThis would be an unsafe operation, therefore it's "
            "explicitly forbidden.");
}

TEST(WindowFramework, ThrowingHandlerShowsTheErrorBoxAndEndsTheLoopWithMinusOne) {
  UiTest::BoxAnswerer answerer({{L"Oops... runtime error", IDOK}});
  TestWindow window;
  window.add_message_handler(WM_CREATE, [&](wl::window_message) -> LRESULT {
    PostMessageW(window.hwnd(), kPoke, 0, 0);
    return 0;
  });
  window.add_message_handler(kPoke, [](wl::window_message) -> LRESULT { throw std::runtime_error("Handler gave up"); });
  EXPECT_EQ(window.run_window(Instance(), SW_SHOWNORMAL), -1);
  UiTest::DestroyLeftover(window.hwnd());
  const auto seen = answerer.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].caption, L"Oops... runtime error");
  EXPECT_NE(seen[0].text.find(L"Handler gave up"), std::wstring::npos);
}

TEST(WindowFramework, ThrowingWorkerIsShownOnTheUiThreadAndEndsTheLoopWithMinusOne) {
  UiTest::BoxAnswerer answerer({{L"Oops... runtime error", IDOK}});
  TestWindow window;
  window.add_message_handler(WM_CREATE, [&](wl::window_message) -> LRESULT {
    window.run_thread_detached([] { throw std::runtime_error("Worker gave up"); });
    return 0;
  });
  EXPECT_EQ(window.run_window(Instance(), SW_SHOWNORMAL), -1);
  UiTest::DestroyLeftover(window.hwnd());
  const auto seen = answerer.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].text.find(L"Worker gave up"), std::wstring::npos);
}

TEST(WindowFramework, RunOnUiThreadRunsThereAndReturnsAfterwards) {
  TestWindow window;
  const DWORD uiThread = GetCurrentThreadId();
  std::promise<std::pair<DWORD, int>> observed;
  window.add_message_handler(WM_CREATE, [&](wl::window_message) -> LRESULT {
    window.run_thread_detached([&] {
      DWORD ranOn = 0;
      int steps = 0;
      for (int i = 0; i < 3; ++i) {
        window.run_on_ui_thread([&] {
          ranOn = GetCurrentThreadId();
          ++steps;
        });
      }
      observed.set_value({ranOn, steps});
      window.run_on_ui_thread([&] { DestroyWindow(window.hwnd()); });
    });
    return 0;
  });
  EXPECT_EQ(window.run_window(Instance(), SW_SHOWNORMAL), 0);
  const auto [ranOn, steps] = observed.get_future().get();
  EXPECT_EQ(ranOn, uiThread);
  EXPECT_EQ(steps, 3);
}

TEST(WindowFramework, MisuseAtCreationIsRefusedWithItsOwnError) {
  {
    wl::window_main nameless;
    EXPECT_THROW(
        {
          try {
            nameless.run_window(Instance(), SW_SHOWNORMAL);
          } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "No window class name given on this->setup.wndClassEx.lpszClassName.");
            throw;
          }
        },
        std::logic_error);
  }
  TestWindow noInstance;
  EXPECT_THROW(noInstance.run_window(nullptr, SW_SHOWNORMAL), std::invalid_argument);
}

TEST(WindowFramework, ExceptionCaptionFollowsTheMostSpecificType) {
  const auto caption = [](auto error) {
    return std::string(wl::describe_exception(std::make_exception_ptr(error)).caption);
  };
  EXPECT_EQ(caption(std::invalid_argument("a")), "Oops... invalid argument error");
  EXPECT_EQ(caption(std::out_of_range("a")), "Oops... out of range error");
  EXPECT_EQ(caption(std::logic_error("a")), "Oops... logic error");
  EXPECT_EQ(caption(std::system_error(5, std::system_category(), "a")), "Oops... system error");
  EXPECT_EQ(caption(std::runtime_error("a")), "Oops... runtime error");
  EXPECT_EQ(caption(std::bad_function_call()), "Oops... generic error");
  EXPECT_EQ(wl::describe_exception(std::make_exception_ptr(std::runtime_error("Datei fehlt: Größe"))).text,
            "Datei fehlt: Größe");
}

TEST(WindowFramework, NativeControlRefusesASecondWindow) {
  TestWindow window;
  std::string refusal;
  window.add_message_handler(WM_CREATE, [&](wl::window_message) -> LRESULT {
    wl::native_control label;
    label.create(window.hwnd(), 1, L"one", POINT{0, 0}, SIZE{10, 10}, L"Static", WS_CHILD, 0);
    try {
      label.create(window.hwnd(), 1, L"two", POINT{0, 0}, SIZE{10, 10}, L"Static", WS_CHILD, 0);
    } catch (const std::logic_error& error) {
      refusal = error.what();
    }
    PostMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    return 0;
  });
  EXPECT_EQ(window.run_window(Instance(), SW_SHOWNORMAL), 0);
  EXPECT_EQ(refusal, "Trying to assign or create a native control twice.");
}

}  // namespace
