// Starting, finding and stopping processes by executable name or image path.
#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "app/text.h"
#include "contract/side.h"
#include "support/error_text.h"
#include "system/files.h"

namespace {

class ProcessesContract : public ContractTest {
 protected:
  void TearDown() override {
    StopProcessesByName(Side::ChildName());
    ContractTest::TearDown();
  }
};

TEST_F(ProcessesContract, RunWaitsForTheExitCodeAndAMissingProgramIsReportedWithItsPath) {
  EXPECT_EQ(RunProcess(Side::ChildPath(), L"", true), 7u);
  EXPECT_EQ(RunProcessWithArguments(Side::ChildPath(), {L"a b"}, true), 7u);
  const std::wstring missing = Side::Scratch() + L"\\missing.exe";
  const ThrownError thrown = CatchError([&] { RunProcess(missing, L"", true); });
  EXPECT_EQ(thrown.text.rfind("Unable to start \"" + Text::ToUtf8(missing) + "\"", 0), 0u) << thrown.text;
  EXPECT_EQ(thrown.code, 2);
}

// The name must match exactly, letter case included; the image path in any case.
TEST_F(ProcessesContract, RunningChildrenAreFoundByExactNameOnlyInTheOwnSessionAndStoppedForGood) {
  EXPECT_EQ(StopProcessesByName(Side::ChildName()), 0);
  Side::StartSleepingChildren(2);
  {
    const std::vector<SafeHandle> found = FindProcessesByName(Side::ChildName());
    ASSERT_EQ(found.size(), 2u);
    uint32_t session = 99;
    uint32_t error = 0;
    EXPECT_TRUE(GetProcessSessionId(found[0], session, error)) << error;
    EXPECT_EQ(session, GetOwnSessionId());
  }
  EXPECT_TRUE(FindProcessesByName(L"VALDRIX_CHILD.EXE").empty());
  EXPECT_TRUE(FindProcessesByName(L"valdrix_child").empty());
  std::wstring upper = Side::ChildPath();
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  EXPECT_EQ(FindProcessesByImage(upper).size(), 2u);
  EXPECT_TRUE(FindProcessesByImage(Side::Scratch() + L"\\" + Side::ChildName()).empty());
  EXPECT_EQ(StopProcessesByName(Side::ChildName()), 2);
  EXPECT_TRUE(FindProcessesByName(Side::ChildName()).empty());
}

}  // namespace
