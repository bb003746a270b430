// Downloads through Platform::CreateHttpRequest: from the double's server,
// or over WinHTTP from the local update server that scripts/run-wine-tests
// starts (a missing server fails these tests).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "app/text.h"
#include "contract/side.h"
#include "net/http.h"
#include "support/download_checks.h"
#include "support/error_text.h"
#include "system/files.h"

namespace {

class HttpContract : public ContractTest {
 protected:
  static std::shared_ptr<Platform::HttpRequest> Request(const std::wstring& url) {
    return Platform::CreateHttpRequest(Platform::HttpSession::Create(), url);
  }
  std::wstring Target(const wchar_t* name) const { return Side::Scratch() + L"\\" + name; }
  static std::string Read(const std::wstring& path) {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(path, bytes));
    return bytes;
  }
};

// The body arrives whole either way; the size (and so the progress) counts
// only when it is announced.
TEST_F(HttpContract, BodyArrivesWholeWithOrWithoutItsSize) {
  const std::string original = Side::ServedFile();
  ASSERT_FALSE(original.empty());
  for (const Side::Served served : {Side::Served::Whole, Side::Served::Chunked}) {
    const bool sized = served == Side::Served::Whole;
    std::vector<float> fractions;
    auto request = Request(Side::UrlOf(served));
    request->SetCallback([&](float fraction) { fractions.push_back(fraction); });
    request->StartToFile(Target(L"out.bin"));
    EXPECT_EQ(Read(Target(L"out.bin")), original) << sized;
    EXPECT_EQ(request->Digest().HexDigest(), Sha256Of(original)) << sized;
    ASSERT_FALSE(fractions.empty()) << sized;
    EXPECT_EQ(fractions.back(), sized ? 1.0f : 0.0f);
  }
  auto memory = Request(Side::UrlOf(Side::Served::Whole));
  memory->Start();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(memory->Data()), memory->Size()), original);
}

TEST_F(HttpContract, ErrorStatusBodyIsWrittenAndHashedBeforeHttpError) {
  auto request = Request(Side::UrlOf(Side::Served::Missing));
  EXPECT_EQ(CatchError([&] { request->StartToFile(Target(L"missing.bin")); }).text, "HTTP error 404");
  EXPECT_EQ(Read(Target(L"missing.bin")), "not found");
  EXPECT_EQ(request->Digest().HexDigest(), Sha256Of("not found"));
}

TEST_F(HttpContract, CutBodyIsSmallerThanExpected) {
  EXPECT_EQ(CatchError([&] { Request(Side::UrlOf(Side::Served::Cut))->StartToFile(Target(L"cut.bin")); }).text,
            "Downloaded file is smaller than expected");
}

TEST_F(HttpContract, OutputFileThatCannotBeOpenedFailsBeforeTheDownload) {
  const std::wstring target = Target(L"no-such-folder\\a.bin");
  const ThrownError thrown = CatchError([&] { Request(Side::UrlOf(Side::Served::Whole))->StartToFile(target); });
  EXPECT_EQ(thrown.text.rfind("Unable to open download file \"" + Text::ToUtf8(target) + "\"", 0), 0u) << thrown.text;
  EXPECT_EQ(thrown.code, 3);  // ERROR_PATH_NOT_FOUND
}

// No part of a URL is copied into a fixed buffer: a 4 KiB query string (as
// signed CDN addresses carry) and a long path reach the server. The
// description after the colon is the system's.
TEST_F(HttpContract, UrlsOfAnyLengthReachTheServerAndBadOnesFailWithTheirOwnMessages) {
  EXPECT_EQ(CatchError([] { Request(L"")->Start(); }).text, "Blank URL.");
  auto signedUrl = Request(Side::UrlOf(Side::Served::Whole) + L"?signature=" + std::wstring(4096, L'q'));
  signedUrl->Start();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(signedUrl->Data()), signedUrl->Size()), Side::ServedFile());
  const std::wstring server = Side::ServerBase();
  EXPECT_EQ(CatchError([&] { Request(server + L"/" + std::wstring(1000, L'p'))->Start(); }).text, "HTTP error 404");
  const ThrownError refused = CatchError([] { Request(Side::UrlOf(Side::Served::Refused))->Start(); });
  EXPECT_TRUE(refused.StartsWith("WinHttpSendRequest failed: ")) << refused.text;
  EXPECT_EQ(refused.code, 12029);  // ERROR_WINHTTP_CANNOT_CONNECT
}

// The download target may sit in a folder others write: a second name of
// another file planted there is replaced, never written through.
TEST_F(HttpContract, DownloadReplacesAPlantedSecondNameInsteadOfWritingThroughIt) {
  SKIP_UNLESS_SIDE_CAN(HardLinks);
  ASSERT_TRUE(WriteFileBytes(Target(L"victim.dll"), "system file"));
  Side::MakeHardLink(Target(L"installer.exe.download"), Target(L"victim.dll"));
  Request(Side::UrlOf(Side::Served::Whole))->StartToFile(Target(L"installer.exe.download"));
  EXPECT_EQ(Read(Target(L"victim.dll")), "system file");
  EXPECT_EQ(Read(Target(L"installer.exe.download")), Side::ServedFile());
}

}  // namespace
