#include "app/text.h"

#include <gtest/gtest.h>

TEST(TextTest, RoundTripsAsciiBmpAndAstralCharacters) {
  const std::wstring wide = L"Valdrix \u00e9t\u00e9 \u65e5\u672c \U0001F512";
  const std::string utf8 = Text::ToUtf8(wide);
  EXPECT_EQ(utf8, "Valdrix \xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x92");
  EXPECT_EQ(Text::FromUtf8(utf8), wide);
}

TEST(TextTest, IllFormedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(Text::FromUtf8("a\xff"
                           "b"),
            L"a\ufffdb");
  EXPECT_EQ(Text::FromUtf8("a\xe6\x97"), L"a\ufffd");    // truncated at the end
  EXPECT_EQ(Text::FromUtf8("\xc0\xaf"), L"\ufffd");      // overlong "/"
  EXPECT_EQ(Text::FromUtf8("\xed\xa0\x80"), L"\ufffd");  // encoded surrogate
  EXPECT_EQ(Text::FromUtf8("\xe6\x97"
                           "x"),
            L"\ufffdx");  // resyncs at the next byte
}

TEST(TextTest, UnpairedSurrogateBecomesReplacementCharacter) {
  if constexpr (sizeof(wchar_t) == 2) {
    const std::wstring lone(1, static_cast<wchar_t>(0xD800));
    EXPECT_EQ(Text::ToUtf8(lone + L"x"), "\xef\xbf\xbdx");
  }
}

TEST(TextTest, BytesMapOneToOne) {
  EXPECT_EQ(Text::FromBytes(std::string("A\r\xe9", 3)), L"A\r\u00e9");
  EXPECT_EQ(Text::ToBytes(L"2.1.0"), "2.1.0");
  EXPECT_EQ(Text::ToBytes(L"\u65e5"), "?");
}
