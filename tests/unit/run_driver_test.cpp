#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "app/flags.h"
#include "app/log.h"
#include "app/startup.h"
#include "double/double.h"
#include "double/report_transport.h"
#include "double/system.h"
#include "engine/context.h"
#include "reporting/reporter.h"
#include "support/envelope.h"
#include "support/temp_folder.h"

namespace {

constexpr const wchar_t* kRetryText = L"There was a problem during install. Please try again in a little bit.\n\n";
constexpr const wchar_t* kUnsupportedText =
    L"Sorry, your version of Windows is not supported. Please upgrade to Windows 10, version 1607 or newer to use "
    L"Valdrix.";

class RunDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Double::Reset();
    SetupFlags::Instance() = SetupFlags{};
    Reporting::Options options;
    options.dsn = "https://0123456789abcdef0123456789abcdef@localhost:8443/42";
    options.databasePath = folder_.Path(L".sentry");
    Reporting::Init(options);
    SetupLog::OpenPath(folder_.Path(L"Valdrix.Setup.log"));
    context_.onFatal = [this](std::wstring_view text) { fatal_.emplace_back(text); };
    context_.onCompleted = [this] { ++completed_; };
  }
  void TearDown() override {
    SetupLog::Close();
    Reporting::Close();
    SetupFlags::Instance() = SetupFlags{};
  }

  std::string Log() const {
    std::ifstream in(std::filesystem::path(folder_.Path(L"Valdrix.Setup.log")), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::vector<nlohmann::json> Events() {
    std::vector<nlohmann::json> events;
    for (const auto& post : Double::Reports::Posted()) events.push_back(EventOf(post.body));
    return events;
  }
  static std::vector<std::string> Messages(const nlohmann::json& event) {
    std::vector<std::string> messages;
    for (const auto& crumb : event["breadcrumbs"]["values"]) messages.push_back(crumb["message"]);
    return messages;
  }
  // What the setup says when the service manager cannot be opened with `code`.
  static std::string ScmErrorText(int code) {
    return std::system_error(code, std::system_category(), "Unable to open service control manager").what();
  }

  TempFolder folder_;
  Setup::Context context_;
  std::vector<std::wstring> fatal_;
  int completed_ = 0;
};

}  // namespace

// A verify run whose service manager cannot be opened ends with the flow's
// system error: logged, shown, and reported unless its value is exempt.
TEST_F(RunDriverTest, ASystemErrorIsLoggedShownAndReportedUnlessExempt) {
  for (const int code : {5, 12030, -60006, -60007}) {
    SCOPED_TRACE(code);
    Double::Reset();
    fatal_.clear();
    SetupFlags::Instance().mode = SetupMode::Verify;
    Double::InjectFault("ScmApi::OpenManager", static_cast<uint32_t>(code));

    EXPECT_EQ(Setup::RunSetup(context_), 1);
    EXPECT_NE(Log().find("System error caught during setup: " + ScmErrorText(code) + " (code " + std::to_string(code) +
                         ")\n"),
              std::string::npos);
    ASSERT_EQ(fatal_.size(), 1u);
    EXPECT_EQ(fatal_[0], std::wstring(kRetryText) + L"(System error code " + std::to_wstring(code) + L")");
    EXPECT_EQ(completed_, 0);

    const auto events = Events();
    if (code != 5) {
      EXPECT_TRUE(events.empty()) << "exempt from reporting";
      continue;
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["exception"]["values"][0]["type"], "std::system_error");
    EXPECT_EQ(events[0]["exception"]["values"][0]["value"], ScmErrorText(code) + " (error code 5)");
    const auto messages = Messages(events[0]);
    // The event leaves before the user is told, so its trail ends at the start.
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Start verify");
  }
}

TEST_F(RunDriverTest, AnUnsupportedWindowsInASilentRunIsReportedAsAnException) {
  SetupFlags::Instance().silent = true;
  SetupFlags::Instance().mode = SetupMode::Uninstall;
  Double::System::SetWindowsVersion(6, 9600);

  EXPECT_EQ(Setup::RunSetup(context_), 1);
  EXPECT_TRUE(Double::System::ShellOpened().empty());
  EXPECT_NE(Log().find("Exception caught during setup: Unsupported Windows version\n"), std::string::npos);
  ASSERT_EQ(fatal_.size(), 2u);
  EXPECT_EQ(fatal_[1], std::wstring(kRetryText) + L"(Technical details: Unsupported Windows version)");
  const auto events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["exception"]["values"][0],
            (nlohmann::json{{"type", "std::exception"}, {"value", "Unsupported Windows version"}}));
  EXPECT_EQ(Messages(events[0]).front(), "Start uninstall");
}

TEST_F(RunDriverTest, WindowsPEGetsOnlyTheDriversMessage) {
  Double::System::SetWindowsPE(true);
  EXPECT_EQ(Setup::RunSetup(context_), 1);
  ASSERT_EQ(fatal_.size(), 1u);
  EXPECT_EQ(fatal_[0], std::wstring(kRetryText) + L"(Technical details: Windows PE is not supported)");
  EXPECT_TRUE(Double::System::ShellOpened().empty());
}

TEST_F(RunDriverTest, AnUnsupportedWindows10OpensTheUpdatePageWhenNotSilent) {
  Double::System::SetWindowsVersion(10, 10586);
  EXPECT_EQ(Setup::RunSetup(context_), 1);
  EXPECT_EQ(Double::System::ShellOpened(), std::vector<std::wstring>{L"ms-settings:windowsupdate"});
}

TEST_F(RunDriverTest, AnUnknownModeIsLoggedAndTheRunStillCompletes) {
  SetupFlags::Instance().mode = static_cast<SetupMode>(7);
  EXPECT_EQ(Setup::RunSetup(context_), 0);
  EXPECT_NE(Log().find("Unknown setup flag (7)\n"), std::string::npos);
  EXPECT_NE(Log().find("Finished!\n"), std::string::npos);
  EXPECT_EQ(completed_, 1);
  EXPECT_TRUE(fatal_.empty());
  Reporting::CaptureException("std::exception", "probe");
  const auto messages = Messages(Events().at(0));
  EXPECT_EQ(messages.back(), "Finished");
}

TEST_F(RunDriverTest, DeferredTasksRunAfterAFailedFlowAndAThrowingOneDoesNotStopTheNext) {
  std::vector<std::string> ran;
  context_.AddDeferredTask("Enable verify task", [&] {
    ran.push_back("first");
    throw std::runtime_error("Unable to enable task");
  });
  context_.AddDeferredTask("Skipped", [&] { ran.push_back("skipped"); })->active = false;
  context_.AddDeferredTask("Last", [&] { ran.push_back("last"); });
  Double::System::SetWindowsPE(true);

  ASSERT_EQ(Setup::InitializeSetup(context_), 0);
  EXPECT_EQ(Setup::RunSetup(context_), 1);
  Setup::RunDeferredTasks(context_);

  EXPECT_EQ(ran, (std::vector<std::string>{"first", "last"}));
  const std::string log = Log();
  EXPECT_NE(log.find("Running deferred task \"Enable verify task\"..\n"), std::string::npos);
  EXPECT_NE(log.find("Exception during deferred task \"Enable verify task\": Unable to enable task\n"),
            std::string::npos);
  EXPECT_EQ(log.find("Skipped"), std::string::npos);
  EXPECT_LT(log.find("Enable verify task"), log.find("Running deferred task \"Last\".."));
  const auto events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1]["exception"]["values"][0]["value"], "Unable to enable task");
  EXPECT_EQ(Double::System::ComInitializations(), 0) << "COM is ended after the tasks";
}

TEST_F(RunDriverTest, ComSecuritySetTooLateOnlyWarnsAndAnyOtherFailureEndsTheRun) {
  Double::System::SetComResults(0, static_cast<int32_t>(0x80010119));  // RPC_E_TOO_LATE
  EXPECT_TRUE(Startup::InitializeComSecurity());
  EXPECT_NE(Log().find("COM security was already set in this process (RPC_E_TOO_LATE); going on with it\n"),
            std::string::npos);
  Double::System::SetComResults(0, static_cast<int32_t>(0x80070005));
  EXPECT_FALSE(Startup::InitializeComSecurity());
  EXPECT_NE(Log().find("Unable to CoInitializeSecurity\n"), std::string::npos);
}

TEST_F(RunDriverTest, InitializationFailuresAreLoggedAndEndNoComTheyDidNotStart) {
  Double::System::SetComInitializeResult(static_cast<int32_t>(0x80010106));  // RPC_E_CHANGED_MODE
  EXPECT_EQ(Setup::InitializeSetup(context_), 1);
  Setup::RunDeferredTasks(context_);
  EXPECT_EQ(Double::System::ComInitializations(), 0);
  EXPECT_NE(Log().find("Unable to CoInitializeEx\n"), std::string::npos);

  Setup::Context second;
  second.onFatal = context_.onFatal;
  Double::Reset();
  Double::System::SetProgramFilesFolder(L"");
  Double::System::SetLastErrorCode(3);
  EXPECT_EQ(Setup::InitializeSetup(second), 1);
  EXPECT_NE(Log().find("Unable to get Program Files path (error 3)\n"), std::string::npos);
  EXPECT_EQ(fatal_, std::vector<std::wstring>{L"Unable to get Program Files path!"});
  Setup::RunDeferredTasks(second);
  EXPECT_EQ(Double::System::ComInitializations(), 0);
  EXPECT_TRUE(Double::Reports::Posted().empty()) << "no event for initialisation failures";

  Setup::Context third;
  Double::Reset();
  EXPECT_EQ(Setup::InitializeSetup(third), 0);
  EXPECT_EQ(third.installPath, L"C:\\Program Files\\Valdrix\\");
  EXPECT_NE(Log().find("Install path: C:\\Program Files\\Valdrix\\\n"), std::string::npos);
}
