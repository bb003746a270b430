#include "app/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_folder.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { SetupLog::OpenPath(folder_.Path(L"Valdrix.Setup.log")); }
  void TearDown() override { SetupLog::Close(); }

  std::string Contents() const {
    std::ifstream in(std::filesystem::path(folder_.Path(L"Valdrix.Setup.log")), std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }

  TempFolder folder_;
};

}  // namespace

TEST_F(LogTest, LinesCarryTheLevelRightAlignedAndTheLocalTime) {
  SetupLog::Info("");
  SetupLog::Warning("Prerequisite \"%S\" already installed", std::wstring(L"VC"));
  SetupLog::Error("System error caught during setup: %s (code %d)", "boom", 5);
  const std::string text = Contents();
  const std::regex pattern(
      "\\[   INFO\\] \\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] \n"
      "\\[WARNING\\] \\[[0-9: -]{19}\\] Prerequisite \"VC\" already installed\n"
      "\\[  ERROR\\] \\[[0-9: -]{19}\\] System error caught during setup: boom \\(code 5\\)\n");
  EXPECT_TRUE(std::regex_match(text, pattern)) << text;
}

TEST_F(LogTest, WideArgumentsAreWrittenAsUtf8) {
  SetupLog::Info("Install path: %S", std::wstring(L"C:\\Program Files\\V\u00e4ldrix \u65e5\\"));
  SetupLog::Info("%S and %S", L"\u00e9", std::wstring_view(L"\U0001F512"));
  const std::string text = Contents();
  EXPECT_NE(text.find("Install path: C:\\Program Files\\V\xc3\xa4ldrix \xe6\x97\xa5\\\n"), std::string::npos);
  EXPECT_NE(text.find("\xc3\xa9 and \xf0\x9f\x94\x92\n"), std::string::npos);
}

TEST_F(LogTest, AppendsAcrossOpensAndDropsLinesWhileClosed) {
  SetupLog::Info("first run");
  SetupLog::Close();
  SetupLog::Info("dropped");
  SetupLog::OpenPath(folder_.Path(L"Valdrix.Setup.log"));
  SetupLog::Info("second run");
  const std::string text = Contents();
  EXPECT_NE(text.find("first run\n"), std::string::npos);
  EXPECT_NE(text.find("second run\n"), std::string::npos);
  EXPECT_EQ(text.find("dropped"), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

// The verify task appends for ever: a log past 4 MiB moves aside to one
// ".1.log" (the older one replaced) when the next run opens it.
TEST_F(LogTest, LargeLogIsRotatedToOneOlderFileOnOpen) {
  SetupLog::Info("%s", std::string((4u << 20) - 40, 'x'));
  const size_t kept = Contents().size();  // just below 4 MiB
  SetupLog::OpenPath(folder_.Path(L"Valdrix.Setup.log"));
  SetupLog::Info("over");
  EXPECT_GT(Contents().size(), kept) << "below the limit nothing moves";
  SetupLog::OpenPath(folder_.Path(L"Valdrix.Setup.log"));
  EXPECT_EQ(Contents(), "");
  EXPECT_GT(std::filesystem::file_size(std::filesystem::path(folder_.Path(L"Valdrix.Setup.1.log"))), kept);
}

TEST_F(LogTest, LinesFromTwoThreadsNeverInterleaveAndCloseStopsLateWriters) {
  const std::string a(200, 'a');
  const std::string b(200, 'b');
  std::vector<std::thread> writers;
  for (const std::string* payload : {&a, &b}) {
    writers.emplace_back([payload] {
      for (int i = 0; i < 300; ++i) SetupLog::Info("%s", *payload);
    });
  }
  std::thread closer([] {
    std::this_thread::yield();
    SetupLog::Close();
  });
  for (auto& writer : writers) writer.join();
  closer.join();
  std::istringstream lines(Contents());
  std::string line;
  while (std::getline(lines, line)) {
    const std::string message = line.substr(line.find("] ", 10) + 2);
    EXPECT_TRUE(message == a || message == b) << line;
  }
}

TEST(LogFailureTest, UnopenableFileLeavesTheLogClosed) {
  SetupLog::OpenPath(L"/nonexistent-folder/\u00e9/x.log");
  EXPECT_FALSE(SetupLog::IsOpen());
  SetupLog::Info("nothing");
  SetupLog::Close();
}
