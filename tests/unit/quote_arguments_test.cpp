// The argument string of RunProcessWithArguments, as the child's command-line
// parser will split it again.
#include <gtest/gtest.h>

#include "system/files.h"

namespace {

TEST(QuoteArguments, EachArgumentIsQuotedAndFollowedByABlank) {
  EXPECT_EQ(QuoteArguments({}), L"");
  EXPECT_EQ(QuoteArguments({L"a", L"b c"}), L"\"a\" \"b c\" ");
  EXPECT_EQ(QuoteArguments({L""}), L"\"\" ");
}

TEST(QuoteArguments, QuoteInsideIsEscapedWithABackslash) {
  EXPECT_EQ(QuoteArguments({L"say \"hi\""}), L"\"say \\\"hi\\\"\" ");
}

// Backslashes mean themselves except before a quote, so only those runs are
// doubled: a folder ending in a backslash must not swallow its closing quote.
TEST(QuoteArguments, BackslashesBeforeAQuoteAreDoubled) {
  EXPECT_EQ(QuoteArguments({L"C:\\Program Files\\V\\"}), L"\"C:\\Program Files\\V\\\\\" ");
  EXPECT_EQ(QuoteArguments({L"a\\\"b"}), L"\"a\\\\\\\"b\" ");
  EXPECT_EQ(QuoteArguments({L"C:\\dir\\file"}), L"\"C:\\dir\\file\" ");
}

TEST(CommandLine, PathIsQuotedWithOrWithoutArguments) {
  EXPECT_EQ(CommandLine(L"C:\\Program Files\\V\\a.exe", L""), L"\"C:\\Program Files\\V\\a.exe\"");
  EXPECT_EQ(CommandLine(L"C:\\V\\a.exe", L"/silent /uninstall"), L"\"C:\\V\\a.exe\" /silent /uninstall");
}

}  // namespace
