#include "app/flags.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace {

SetupFlags Parse(std::initializer_list<const wchar_t*> arguments) {
  SetupFlags flags;
  for (const wchar_t* argument : arguments) ParseFlag(flags, argument);
  return flags;
}

}  // namespace

TEST(FlagsTest, NoArgumentsMeansInstallWithEverythingOff) {
  const SetupFlags flags = Parse({});
  EXPECT_EQ(flags.mode, SetupMode::Install);
  EXPECT_FALSE(flags.help || flags.silent || flags.dontStart || flags.noLogin || flags.legacyUninstall);
  EXPECT_TRUE(flags.loginCode.empty() && flags.token.empty());
}

TEST(FlagsTest, ShortAndLongFormsSetEachSwitch) {
  const SetupFlags shortForms = Parse({L"/?", L"/s", L"/ds", L"/nologin", L"/legacyuninstall"});
  EXPECT_TRUE(shortForms.help && shortForms.silent && shortForms.dontStart && shortForms.noLogin &&
              shortForms.legacyUninstall);
  const SetupFlags longForms = Parse({L"/help", L"/silent", L"/dontstart"});
  EXPECT_TRUE(longForms.help && longForms.silent && longForms.dontStart);
  EXPECT_EQ(Parse({L"/up"}).mode, SetupMode::Update);
  EXPECT_EQ(Parse({L"/v"}).mode, SetupMode::Verify);
  EXPECT_EQ(Parse({L"/un"}).mode, SetupMode::Uninstall);
  EXPECT_EQ(Parse({L"/silent", L"/verify"}).mode, SetupMode::Verify);
}

TEST(FlagsTest, FirstModeWins) {
  EXPECT_EQ(Parse({L"/verify", L"/uninstall"}).mode, SetupMode::Verify);
  EXPECT_EQ(Parse({L"/update", L"/verify"}).mode, SetupMode::Update);
  EXPECT_EQ(Parse({L"/un", L"/up"}).mode, SetupMode::Uninstall);
}

TEST(FlagsTest, MatchingIsExactAndCaseSensitive) {
  const SetupFlags flags = Parse({L"/VERIFY", L"-silent", L"/s/ds", L"/silent ", L"/Help"});
  EXPECT_EQ(flags.mode, SetupMode::Install);
  EXPECT_FALSE(flags.silent || flags.dontStart || flags.help);
}

TEST(FlagsTest, FirstNonEmptyValueWinsAndValuesAreKeptWhole) {
  EXPECT_EQ(Parse({L"/logincode=AAA", L"/logincode=BBB"}).loginCode, L"AAA");
  EXPECT_EQ(Parse({L"/logincode=", L"/logincode=BBB"}).loginCode, L"BBB");
  EXPECT_EQ(Parse({L"/token=a.b=c d e"}).token, L"a.b=c d e");
  // A value never takes the following argument.
  const SetupFlags flags = Parse({L"/token=", L"/silent"});
  EXPECT_TRUE(flags.token.empty());
  EXPECT_TRUE(flags.silent);
}

TEST(FlagsTest, ModeNames) {
  EXPECT_STREQ(ModeName(SetupMode::Install), "install");
  EXPECT_STREQ(ModeName(SetupMode::Uninstall), "uninstall");
  EXPECT_STREQ(ModeName(static_cast<SetupMode>(7)), "??");
}
