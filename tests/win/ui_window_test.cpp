// The progress window with a scripted engine, under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/build_info.h"
#include "ui/progress_layout.h"
#include "win/ui_support.h"
#include "win/ui_window_steps.h"

namespace {

using UiTest::ScriptedRun;

class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { UiTest::ResetFlags(); }
  void TearDown() override { UiTest::ResetFlags(); }
};

RECT ChildRect(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void ExpectAt(HWND child, const Ui::Box& box, const char* name) {
  const RECT rect = ChildRect(child);
  EXPECT_EQ(rect.left, box.x) << name;
  EXPECT_EQ(rect.top, box.y) << name;
  EXPECT_EQ(rect.right - rect.left, box.width) << name;
  EXPECT_EQ(rect.bottom - rect.top, box.height) << name;
}

TEST(ProgressLayout, ScalesEveryNumberAndTruncates) {
  const Ui::ProgressLayout normal = Ui::ComputeProgressLayout(1.0);
  EXPECT_EQ(normal.window.width, 600);
  EXPECT_EQ(normal.window.height, 160);
  EXPECT_EQ(normal.status.y, 48);
  EXPECT_EQ(normal.version.y, 88);

  const Ui::ProgressLayout large = Ui::ComputeProgressLayout(1.5);  // 144 DPI
  EXPECT_EQ(large.window.width, 900);
  EXPECT_EQ(large.window.height, 240);
  EXPECT_EQ(large.progressBar.x, 24);
  EXPECT_EQ(large.progressBar.y, 105);
  EXPECT_EQ(large.progressBar.width, 828);
  EXPECT_EQ(large.progressBar.height, 12);

  const Ui::ProgressLayout odd = Ui::ComputeProgressLayout(1.25);  // 120 DPI
  EXPECT_EQ(odd.progressBar.y, 87);                                // 87.5
  EXPECT_EQ(odd.title.height, 25);
  EXPECT_EQ(odd.progressBar.height, 10);
}

TEST_F(ProgressWindowTest, WindowAndControlsSitWhereTheLayoutSaysWithTheirTexts) {
  ScriptedRun script;
  double scale = 0;
  script.run = [&](Setup::Context& context, ProgressWindow& window) {
    window.run_on_ui_thread([&] {
      scale = window.scale_factor();
      const Ui::ProgressLayout layout = Ui::ComputeProgressLayout(scale);
      RECT outer{};
      GetWindowRect(window.hwnd(), &outer);
      EXPECT_EQ(outer.right - outer.left, layout.window.width);
      EXPECT_EQ(outer.bottom - outer.top, layout.window.height);
      ExpectAt(window.title_label(), layout.title, "title");
      ExpectAt(window.status_label(), layout.status, "status");
      ExpectAt(window.progress_bar(), layout.progressBar, "progress bar");
      ExpectAt(window.version_label(), layout.version, "build label");

      EXPECT_EQ(UiTest::ClassName(window.hwnd()), L"Valdrix.Setup");
      EXPECT_EQ(UiTest::WindowText(window.hwnd()), L"Valdrix Setup");
      EXPECT_EQ(GetWindowLongW(window.hwnd(), GWL_STYLE) & 0x02CA0000, 0x02CA0000);
      EXPECT_EQ(GetWindowLongW(window.hwnd(), GWL_EXSTYLE) & 0x02000001, 0x02000001);
      EXPECT_EQ(UiTest::WindowText(window.title_label()), L"Installing Valdrix..");
      EXPECT_EQ(UiTest::WindowText(window.status_label()), L"");
      EXPECT_EQ(UiTest::WindowText(window.version_label()), BuildInfo::kBuildLabel);
      EXPECT_TRUE(GetWindowLongW(window.version_label(), GWL_STYLE) & SS_RIGHT);
      EXPECT_EQ(SendMessageW(window.progress_bar(), PBM_GETRANGE, FALSE, 0), 100);
    });
    context.ReportCompleted();
  };
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_GT(scale, 0.0);
}

TEST_F(ProgressWindowTest, EveryReportIsOnScreenBeforeTheEngineGoesOn) {
  ScriptedRun script;
  std::vector<std::wstring> statusSeen;
  std::vector<LRESULT> progressSeen;
  script.run = [&](Setup::Context& context, ProgressWindow& window) {
    for (const wchar_t* text : {L"Downloading manifest..", L"Installing service.."}) {
      context.ReportStatus(text);
      statusSeen.push_back(UiTest::WindowText(window.status_label()));
    }
    for (int percent : {0, 42, 99}) {
      context.ReportProgress(percent);
      progressSeen.push_back(SendMessageW(window.progress_bar(), PBM_GETPOS, 0, 0));
    }
    context.ReportCompleted();
    statusSeen.push_back(UiTest::WindowText(window.status_label()));
    progressSeen.push_back(SendMessageW(window.progress_bar(), PBM_GETPOS, 0, 0));
  };
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_EQ(statusSeen, (std::vector<std::wstring>{L"Downloading manifest..", L"Installing service..", L"Finished!"}));
  EXPECT_EQ(progressSeen, (std::vector<LRESULT>{0, 42, 99, 100}));
  EXPECT_TRUE(script.deferredRan);
  EXPECT_EQ(script.Breadcrumbs(), std::vector<std::string>{"Window displayed|ui|info"});
}

TEST_F(ProgressWindowTest, TitleLineFollowsTheModeAtCreation) {
  const std::pair<SetupMode, const wchar_t*> cases[] = {{SetupMode::Update, L"Updating Valdrix.."},
                                                        {SetupMode::Uninstall, L"Uninstalling Valdrix.."}};
  for (const auto& [mode, title] : cases) {
    SetupFlags::Instance().mode = mode;
    ScriptedRun script;
    std::wstring seen;
    script.run = [&](Setup::Context&, ProgressWindow& window) { seen = UiTest::WindowText(window.title_label()); };
    EXPECT_EQ(UiTest::RunWindow(script), 0);
    EXPECT_EQ(seen, title);
  }
}

TEST_F(ProgressWindowTest, CloseButtonDoesNothingWhileTheRunIsBusy) {
  ScriptedRun script;
  bool survived = false;
  script.run = [&](Setup::Context& context, ProgressWindow& window) {
    SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
    survived = IsWindow(window.hwnd()) && window.is_busy();
    context.ReportCompleted();
  };
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_TRUE(survived);
}

TEST_F(ProgressWindowTest, FailedRunShowsTheErrorOverTheWindowAndThenClosesIt) {
  UiTest::BoxAnswerer answerer({{L"Valdrix", IDOK}});
  ScriptedRun script;
  bool errorFlagAfterBox = false;
  script.run = [&](Setup::Context& context, ProgressWindow& window) {
    context.ReportFatal(L"There was a problem during install. Please try again in a little bit.");
    errorFlagAfterBox = window.error_shown();
  };
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_TRUE(errorFlagAfterBox);
  const auto seen = answerer.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].text.find(L"There was a problem during install."), std::wstring::npos);
  EXPECT_TRUE(seen[0].hadOwner);
}

TEST_F(ProgressWindowTest, FailedInitializationShowsItsMessageAndRunsNothing) {
  UiTest::BoxAnswerer answerer({{L"Valdrix", IDOK}});
  ScriptedRun script;
  script.initializeResult = 1;
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_FALSE(script.ran);
  const auto seen = answerer.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].text.find(L"Setup initialization failed! See the log file for more information."),
            std::wstring::npos);
}

TEST_F(ProgressWindowTest, SuccessfulVerifyKeepsTheWindowOpenUntilTheUserClosesIt) {
  SetupFlags::Instance().mode = SetupMode::Verify;
  ScriptedRun script;
  std::atomic<HWND> shown{nullptr};
  std::atomic<ProgressWindow*> self{nullptr};
  script.run = [&](Setup::Context& context, ProgressWindow& window) {
    self = &window;
    shown = window.hwnd();
    context.ReportCompleted();
  };
  bool openAfterFinish = false;
  std::wstring statusAfterFinish;
  std::thread user([&] {
    UiTest::WaitFor([&] { return self.load() != nullptr; });
    UiTest::WaitFor([&] { return !self.load()->is_busy(); });
    openAfterFinish = IsWindow(shown.load());
    statusAfterFinish = UiTest::WindowText(self.load()->status_label());
    PostMessageW(shown.load(), WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  user.join();
  EXPECT_TRUE(openAfterFinish);
  EXPECT_EQ(statusAfterFinish, L"Finished!");
}

TEST_F(ProgressWindowTest, ExceptionFromTheWorkerEndsTheLoopWithMinusOne) {
  UiTest::BoxAnswerer answerer({{L"Oops... system error", IDOK}});
  ScriptedRun script;
  std::atomic<HWND> shown{nullptr};
  script.run = [&](Setup::Context&, ProgressWindow& window) {
    shown = window.hwnd();
    throw std::system_error(1060, std::system_category(), "Unable to open service");
  };
  EXPECT_EQ(UiTest::RunWindow(script), -1);
  UiTest::DestroyLeftover(shown.load());
  ASSERT_EQ(answerer.Seen().size(), 1u);
}

}  // namespace
