#include "app/startup.h"

#include <gtest/gtest.h>

TEST(LoginCodeTest, TakesTheFirstBracketedAlphanumericTextOfSixOrMore) {
  EXPECT_EQ(Startup::LoginCodeFromFileName(L"Valdrix.Setup (AB12CD).exe"), L"AB12CD");
  EXPECT_EQ(Startup::LoginCodeFromFileName(L"Valdrix.Setup(abcdefgh123).exe"), L"abcdefgh123");
}

TEST(LoginCodeTest, RefusesShortOrNonAlphanumericOrMisorderedBrackets) {
  EXPECT_EQ(Startup::LoginCodeFromFileName(L"Valdrix.Setup (AB12).exe"), L"");
  EXPECT_EQ(Startup::LoginCodeFromFileName(L"Valdrix.Setup (AB-123).exe"), L"");
  EXPECT_EQ(Startup::LoginCodeFromFileName(L"Valdrix.Setup )AB12CD(.exe"), L"");
  EXPECT_EQ(Startup::LoginCodeFromFileName(L"Valdrix.Setup (AB12CD.exe"), L"");
  EXPECT_EQ(Startup::LoginCodeFromFileName(L"Valdrix.Setup.exe"), L"");
  // Only the first "(" is tried: a one-letter text before a valid code wins.
  EXPECT_EQ(Startup::LoginCodeFromFileName(L"Valdrix (1) (AB12CD).exe"), L"");
  // Letters outside ASCII do not count.
  EXPECT_EQ(Startup::LoginCodeFromFileName(L"Valdrix (\u00c4B12CD).exe"), L"");
}

TEST(LoginCodeTest, TemporaryCopyGuardIsCaseSensitive) {
  EXPECT_TRUE(Startup::IsTemporaryCopyName(L"__temp_Valdrix.Setup.exe"));
  EXPECT_FALSE(Startup::IsTemporaryCopyName(L"__TEMP_Valdrix.Setup.exe"));
  EXPECT_FALSE(Startup::IsTemporaryCopyName(L"Valdrix.Setup.exe"));
}

// A verify and the help box never wait for another run; session 0 has nobody to see a window.
TEST(StartupRulesTest, MutexWaitByModeAndSilentInSessionZero) {
  SetupFlags flags;
  flags.mode = SetupMode::Uninstall;
  EXPECT_EQ(Startup::kMutexWaitMs, Startup::MutexWaitMs(flags));
  flags.mode = SetupMode::Verify;
  EXPECT_EQ(0u, Startup::MutexWaitMs(flags));
  EXPECT_FALSE(Startup::SilentInSessionZero(flags, 1));
  EXPECT_TRUE(Startup::SilentInSessionZero(flags, 0) && flags.silent);
}
