#include "net/http_headers.h"

#include <gtest/gtest.h>

#include <stdexcept>

using Platform::ContentLength;
using Platform::HttpHeaders;
using Platform::ParseHeaders;

namespace {

HttpHeaders Parse(std::wstring_view raw) {
  HttpHeaders headers{{L"Stale", L"from an earlier response"}};
  ParseHeaders(raw, headers);
  return headers;
}

}  // namespace

TEST(HttpHeaders, TheFirstLineBreakFoundDecidesTheSeparator) {
  const HttpHeaders expected{{L"", L"HTTP/1.1 200 OK"}, {L"A", L"1"}, {L"B", L"2"}};
  EXPECT_EQ(Parse(L"HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\n\r\n"), expected);
  EXPECT_EQ(Parse(L"HTTP/1.1 200 OK\rA: 1\rB: 2\r\r"), expected);
  EXPECT_EQ(Parse(L"HTTP/1.1 200 OK\nA: 1\nB: 2\n\n"), expected);
  EXPECT_EQ(Parse(L"HTTP/1.1 200 OK\n\rA: 1\n\rB: 2\n\r"), expected);
  // Once CR LF is the separator, a lone LF stays inside the line.
  EXPECT_EQ(Parse(L"A: 1\r\nB: 2\nC: 3"), (HttpHeaders{{L"A", L"1"}, {L"B", L"2\nC: 3"}}));
  EXPECT_EQ(Parse(L"no break at all"), (HttpHeaders{{L"", L"no break at all"}}));
  EXPECT_TRUE(Parse(L"").empty());
}

TEST(HttpHeaders, SplitAtFirstColonTrimmedExactNamesReplaced) {
  const HttpHeaders headers = Parse(L" Location :  http://x/y:z \r\nX: 1\r\nx: 2\r\nX: 3\r\n");
  const HttpHeaders expected{{L"Location", L"http://x/y:z"}, {L"X", L"3"}, {L"x", L"2"}};
  EXPECT_EQ(headers, expected);
}

TEST(HttpHeaders, ContentLengthOnlyUnderItsExactNameAndOnlyDigitsAndBlanks) {
  EXPECT_EQ(ContentLength(Parse(L"Content-Length: 1234\r\n")), 1234u);
  EXPECT_EQ(ContentLength(Parse(L"Content-Length:   1234   \r\n")), 1234u);
  EXPECT_EQ(ContentLength(Parse(L"content-length: 1234\r\n")), 0u);
  EXPECT_EQ(ContentLength(Parse(L"Content-Length: 12a4\r\n")), 0u);
  EXPECT_EQ(ContentLength(Parse(L"Content-Length: -5\r\n")), 0u);
  EXPECT_EQ(ContentLength(Parse(L"Content-Length:\r\n")), 0u);
  EXPECT_EQ(ContentLength(Parse(L"Content-Length: 4294967295\r\n")), 4294967295u);
}

TEST(HttpHeaders, ContentLengthAbove32BitsIsTheStandardLibrarysRangeError) {
  for (const wchar_t* value : {L"Content-Length: 4294967296", L"Content-Length: 99999999999999999999999"}) {
    try {
      ContentLength(Parse(value));
      ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& error) {
      EXPECT_STREQ(error.what(), "stoul argument out of range");
    }
  }
}

TEST(HttpHeaders, SizeCheckNamesTheDirectionAndComparesIn32Bits) {
  EXPECT_NO_THROW(Platform::CheckDownloadedSize(0, 77));
  EXPECT_NO_THROW(Platform::CheckDownloadedSize(100, 100));
  EXPECT_NO_THROW(Platform::CheckDownloadedSize(100, 100 + (1ull << 32)));
  try {
    Platform::CheckDownloadedSize(100, 50);
    ADD_FAILURE();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Downloaded file is smaller than expected");
  }
  try {
    Platform::CheckDownloadedSize(100, 150);
    ADD_FAILURE();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Downloaded file is larger than expected");
  }
}
