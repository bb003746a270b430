// The start-up and restart questions, answered from the test through the real
// boxes and task dialog under Wine.
#include <gtest/gtest.h>

#include "ui/centering.h"
#include "ui/questions.h"
#include "win/ui_support.h"
#include "win/ui_window_steps.h"

namespace {

using UiTest::BoxAnswerer;
using UiTest::ScriptedRun;

constexpr int kVerify = IDYES;
constexpr int kReinstall = IDNO;

class QuestionTest : public ::testing::Test {
 protected:
  void SetUp() override { UiTest::ResetFlags(); }
  void TearDown() override { UiTest::ResetFlags(); }
};

void ExpectCentredOverOwner(const UiTest::SeenBox& box) {
  ASSERT_TRUE(box.hadOwner);
  RECT workArea{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
  const POINT expected = Ui::CenteredPosition(box.rect, box.ownerRect, workArea);
  EXPECT_EQ(box.rect.left, expected.x) << "box " << box.rect.left << "," << box.rect.top << "," << box.rect.right << ","
                                       << box.rect.bottom << " owner " << box.ownerRect.left << "," << box.ownerRect.top
                                       << "," << box.ownerRect.right << "," << box.ownerRect.bottom;
  EXPECT_EQ(box.rect.top, expected.y);
}

TEST(Centering, MiddleOfTheOwnerTruncatingHalves) {
  const RECT work{0, 0, 1280, 760};
  const POINT p = Ui::CenteredPosition(RECT{0, 0, 301, 121}, RECT{100, 100, 701, 261}, work);
  EXPECT_EQ(p.x, 100 + 300 - 150);
  EXPECT_EQ(p.y, 100 + 80 - 60);
}

TEST(Centering, BoxWiderThanTheRoomLeftOfTheCentreStartsAtZero) {
  const POINT p = Ui::CenteredPosition(RECT{0, 0, 500, 300}, RECT{-50, -40, 150, 60}, RECT{0, 0, 1280, 760});
  EXPECT_EQ(p.x, 0);
  EXPECT_EQ(p.y, 0);
}

TEST(Centering, BoxPassingTheWorkAreaEndsExactlyAtItsEdge) {
  const RECT work{0, 0, 1280, 760};
  const POINT p = Ui::CenteredPosition(RECT{0, 0, 400, 200}, RECT{1100, 700, 1300, 800}, work);
  EXPECT_EQ(p.x, 1280 - 400);
  EXPECT_EQ(p.y, 760 - 200);
}

TEST(QuestionAnswers, LegacyAnswers) {
  SetupFlags flags;
  const Ui::Decision yes = Ui::DecideLegacy(IDYES);
  EXPECT_STREQ(yes.breadcrumb->message, "Yes to uninstall legacy build");
  EXPECT_STREQ(yes.breadcrumb->category, "ui.click");
  EXPECT_TRUE(Ui::ApplyDecision(yes, flags));
  EXPECT_TRUE(flags.legacyUninstall);

  SetupFlags closing;
  const Ui::Decision no = Ui::DecideLegacy(IDNO);
  EXPECT_STREQ(no.breadcrumb->message, "No to close the setup");
  EXPECT_FALSE(Ui::ApplyDecision(no, closing));
  EXPECT_FALSE(closing.legacyUninstall);

  SetupFlags none;
  const Ui::Decision unanswered = Ui::DecideLegacy(0);
  EXPECT_FALSE(unanswered.breadcrumb);
  EXPECT_TRUE(Ui::ApplyDecision(unanswered, none));
  EXPECT_FALSE(none.legacyUninstall);
}

TEST(QuestionAnswers, InstalledAnswers) {
  const std::pair<int, SetupMode> modes[] = {
      {kVerify, SetupMode::Verify}, {kReinstall, SetupMode::Install}, {0, SetupMode::Install}};
  for (const auto& [answer, mode] : modes) {
    SetupFlags flags;
    EXPECT_TRUE(Ui::ApplyDecision(Ui::DecideInstalled(answer), flags)) << answer;
    EXPECT_EQ(flags.mode, mode) << answer;
  }
  SetupFlags flags;
  const Ui::Decision cancel = Ui::DecideInstalled(IDCANCEL);
  EXPECT_STREQ(cancel.breadcrumb->message, "Cancel to close the setup");
  EXPECT_FALSE(Ui::ApplyDecision(cancel, flags));
  EXPECT_STREQ(Ui::DecideInstalled(kVerify).breadcrumb->message, "Yes to verify");
  EXPECT_STREQ(Ui::DecideInstalled(kReinstall).breadcrumb->message, "No to start a full re-install");
  EXPECT_FALSE(Ui::DecideInstalled(0).breadcrumb);
}

TEST(QuestionAnswers, WhichModesAsk) {
  EXPECT_TRUE(Ui::AsksLegacyQuestion(SetupMode::Install));
  EXPECT_TRUE(Ui::AsksLegacyQuestion(SetupMode::Update));
  EXPECT_FALSE(Ui::AsksLegacyQuestion(SetupMode::Verify));
  EXPECT_FALSE(Ui::AsksLegacyQuestion(SetupMode::Uninstall));
  EXPECT_TRUE(Ui::AsksInstalledQuestion(SetupMode::Install));
  EXPECT_FALSE(Ui::AsksInstalledQuestion(SetupMode::Update));
}

TEST_F(QuestionTest, LegacyYesRunsTheInstallWithTheLegacyRemoval) {
  BoxAnswerer answerer({{L"Valdrix", IDYES}});
  ScriptedRun script;
  script.legacyInstalled = true;
  script.run = [](Setup::Context& context, ProgressWindow&) { context.ReportCompleted(); };
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_TRUE(script.ran);
  EXPECT_TRUE(script.legacyUninstallAtRun);
  EXPECT_EQ(script.modeAtRun, SetupMode::Install);
  EXPECT_EQ(script.Breadcrumbs(),
            (std::vector<std::string>{"Window displayed|ui|info",
                                      "Legacy build is installed, asking user to uninstall|ui|warning",
                                      "Yes to uninstall legacy build|ui.click|info"}));
  const auto seen = answerer.Seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].text.find(L"A legacy build (Morvex) is still installed."), std::wstring::npos);
  ExpectCentredOverOwner(seen[0]);
}

TEST_F(QuestionTest, LegacyNoClosesTheSetupWithoutRunning) {
  BoxAnswerer answerer({{L"Valdrix", IDNO}});
  ScriptedRun script;
  script.legacyInstalled = true;
  script.productInstalled = true;
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_FALSE(script.ran);
  EXPECT_FALSE(script.deferredRan);
  EXPECT_EQ(script.Breadcrumbs().back(), "No to close the setup|ui.click|info");
  EXPECT_EQ(answerer.Seen().size(), 1u);  // no second question
}

TEST_F(QuestionTest, BothQuestionsThenVerifyRunsAVerifyAndKeepsTheWindow) {
  BoxAnswerer answerer({{L"Valdrix", IDYES}, {L"Valdrix", kVerify}});
  ScriptedRun script;
  script.legacyInstalled = true;
  script.productInstalled = true;
  std::atomic<ProgressWindow*> self{nullptr};
  std::wstring title;
  script.run = [&](Setup::Context& context, ProgressWindow& window) {
    title = UiTest::WindowText(window.title_label());
    self = &window;
    context.ReportCompleted();
  };
  bool keptOpen = false;
  std::thread user([&] {
    UiTest::WaitFor([&] { return self.load() != nullptr; });
    UiTest::WaitFor([&] { return !self.load()->is_busy(); });
    keptOpen = IsWindow(self.load()->hwnd());
    PostMessageW(self.load()->hwnd(), WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  user.join();
  EXPECT_TRUE(keptOpen);
  EXPECT_EQ(script.modeAtRun, SetupMode::Verify);
  EXPECT_EQ(title, L"Installing Valdrix..");
  EXPECT_EQ(script.Breadcrumbs(),
            (std::vector<std::string>{
                "Window displayed|ui|info", "Legacy build is installed, asking user to uninstall|ui|warning",
                "Yes to uninstall legacy build|ui.click|info", "Already installed, asking for verification|ui|warning",
                "Yes to verify|ui.click|info"}));
  const auto seen = answerer.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[1].text.find(L"It looks like Valdrix is already installed."), std::wstring::npos);
  EXPECT_NE(seen[1].text.find(L"Verify"), std::wstring::npos);
  EXPECT_NE(seen[1].text.find(L"Reinstall"), std::wstring::npos);
  ExpectCentredOverOwner(seen[1]);
}

TEST_F(QuestionTest, ReinstallKeepsTheInstall) {
  BoxAnswerer answerer({{L"Valdrix", kReinstall}});
  ScriptedRun script;
  script.productInstalled = true;
  script.run = [](Setup::Context& context, ProgressWindow&) { context.ReportCompleted(); };
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_EQ(script.modeAtRun, SetupMode::Install);
  EXPECT_EQ(script.Breadcrumbs().back(), "No to start a full re-install|ui.click|info");
}

TEST_F(QuestionTest, EscapeAtTheInstalledQuestionClosesTheSetup) {
  BoxAnswerer answerer({{L"Valdrix", IDCANCEL}});
  ScriptedRun script;
  script.productInstalled = true;
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_FALSE(script.ran);
  EXPECT_EQ(script.Breadcrumbs().back(), "Cancel to close the setup|ui.click|info");
}

TEST_F(QuestionTest, UpdateOfAnInstalledProductAsksNothing) {
  SetupFlags::Instance().mode = SetupMode::Update;
  ScriptedRun script;
  script.productInstalled = true;
  script.run = [](Setup::Context& context, ProgressWindow&) { context.ReportCompleted(); };
  EXPECT_EQ(UiTest::RunWindow(script), 0);
  EXPECT_TRUE(script.ran);
  EXPECT_EQ(script.Breadcrumbs(), std::vector<std::string>{"Window displayed|ui|info"});
}

TEST_F(QuestionTest, RestartAnsweredNoClosesWithoutRestartAndYesRestarts) {
  for (const int answer : {IDNO, IDYES}) {
    SetupFlags::Instance().mode = SetupMode::Uninstall;
    BoxAnswerer answerer({{L"Valdrix", answer}});
    ScriptedRun script;
    script.run = [](Setup::Context& context, ProgressWindow&) {
      context.restartRequired = true;
      context.ReportCompleted();
    };
    EXPECT_EQ(UiTest::RunWindow(script), 0);
    EXPECT_EQ(script.rebootRequested, answer == IDYES);
    const auto seen = answerer.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].text.find(L"Do you want to restart Windows now?"), std::wstring::npos);
    EXPECT_EQ(script.Breadcrumbs(), std::vector<std::string>{"Window displayed|ui|info"});
  }
}

}  // namespace
