// The transfer logic (the same code as over WinHTTP) against the double's
// server: statuses, sizes, files, progress.
#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

#include "double/files.h"
#include "double/fixture.h"
#include "double/http.h"
#include "net/http.h"
#include "net/http_request.h"
#include "net/progress_request.h"
#include "staging/sha256.h"
#include "support/download_checks.h"

namespace {

constexpr wchar_t kUrl[] = L"https://localhost:8443/files/a.bin";
constexpr wchar_t kTarget[] = L"C:\\users\\tester\\Temp\\a.bin";

std::shared_ptr<Platform::HttpRequest> Request(const wchar_t* url = kUrl) {
  return Platform::CreateHttpRequest(Platform::HttpSession::Create(), url);
}

class HttpRequestTest : public DoubleTest {};

}  // namespace

TEST_F(HttpRequestTest, EmptyBodyHasSizeZero) {
  Double::Http::Serve(kUrl, {204, ""});
  auto empty = Request();
  empty->Start();
  EXPECT_EQ(empty->Size(), 0u);
}

TEST_F(HttpRequestTest, CutChunkedBodySkipsTheSizeCheck) {
  Double::Http::Response chunked{200, std::string(20000, 'c')};
  chunked.sendContentLength = false;
  chunked.cutAfter = 10000;
  Double::Http::Serve(kUrl, chunked);
  auto request = Request();
  float last = -1;
  request->SetCallback([&](float fraction) { last = fraction; });
  request->StartToFile(kTarget);
  EXPECT_EQ(last, 0.0f);
  EXPECT_EQ(Double::Files::FileBytes(kTarget)->size(), 10000u);
}

TEST_F(HttpRequestTest, FailedTransferKeepsItsHandlesUntilTheRequestIsDropped) {
  Double::Http::Serve(kUrl, {200, std::string(30000, 'r')});
  Double::InjectFault("WinHttpReadData", 12030, 1, 1);
  auto request = Request();
  EXPECT_THROW(request->StartToFile(kTarget), std::system_error);
  EXPECT_EQ(FailureText<std::runtime_error>([&] { request->StartToFile(kTarget); }), "Stream is already open.");
  auto memory = Request();
  Double::InjectFault("WinHttpReadData", 12030);
  EXPECT_THROW(memory->Start(), std::system_error);
  EXPECT_EQ(FailureText<std::logic_error>([&] { memory->Start(); }), "A download is already in progress.");
}

// Past its cap a body fails before it is held, announced or not; a lying
// "Content-Length" has nothing reserved for it.
TEST_F(HttpRequestTest, MemoryBodyPastItsCapFailsBeforeItIsHeld) {
  Double::Http::Response chunked{200, std::string(1025, 'k')}, lying{200, "short"};
  chunked.sendContentLength = false;
  lying.announcedLength = 4294967295;
  Double::Http::Serve(kUrl, chunked);
  auto request = Request();
  request->LimitMemoryBody(1024, "Sign key");
  EXPECT_EQ(FailureText<std::runtime_error>([&] { request->Start(); }), "Sign key is larger than 1 KiB");
  Double::Http::Serve(kUrl, lying);
  request = Request();
  EXPECT_EQ(FailureText<std::runtime_error>([&] { request->Start(); }), "Response is larger than 16 MiB");
  EXPECT_EQ(static_cast<Platform::WindowsHttpRequest&>(*request).Transfer().body.capacity(), 0u);
}

// A download whose bytes never reached the disk must fail, not pass its digest.
TEST_F(HttpRequestTest, OutputFileThatCannotBeOpenedOrWrittenFailsAtOnce) {
  Double::Http::Serve(kUrl, {200, std::string(30000, 'w')});
  Double::InjectFault("CreateFile", 5);
  const std::string open = FailureText<std::system_error>([&] { Request()->StartToFile(kTarget); });
  EXPECT_EQ(open.rfind("Unable to open download file \"C:\\users\\tester\\Temp\\a.bin\"", 0), 0u) << open;
  EXPECT_TRUE(Double::Http::Requests().empty());

  Double::InjectFault("WriteFile", 112, 1, 1);
  auto request = Request();
  int chunks = 0;
  request->SetCallback([&](float) { ++chunks; });
  const std::string write = FailureText<std::system_error>([&] { request->StartToFile(kTarget); });
  EXPECT_EQ(write.rfind("Unable to write downloaded file", 0), 0u) << write;
  EXPECT_EQ(chunks, 1);
}

TEST_F(HttpRequestTest, ProgressCreepingBy1PercentIsReportedEverySixPointsUpTo95) {
  Double::Http::Serve(kUrl, {200, std::string(8192 * 100, 'p')});
  Setup::Context context;
  std::vector<int32_t> reports;
  context.onProgress = [&](int32_t percent) { reports.push_back(percent); };
  context.lastProgress = 42;
  auto request = Setup::ProgressReportingGetRequest(context, kUrl);
  EXPECT_EQ(context.lastProgress, -1);
  request->StartToFile(kTarget);
  std::vector<int32_t> expected;
  for (int percent = 5; percent <= 95; percent += 6) expected.push_back(percent);
  EXPECT_EQ(reports, expected);
}

TEST_F(HttpRequestTest, ProgressJumpingToTheEndIsReportedOnceAndUnknownSizeNever) {
  Double::Http::Serve(kUrl, {200, std::string(5000, 'j')});
  Setup::Context context;
  std::vector<int32_t> reports;
  context.onProgress = [&](int32_t percent) { reports.push_back(percent); };
  Setup::ProgressReportingGetRequest(context, kUrl)->Start();
  EXPECT_EQ(reports, std::vector<int32_t>{100});

  Double::Http::Response chunked{200, std::string(50000, 'j')};
  chunked.sendContentLength = false;
  Double::Http::Serve(kUrl, chunked);
  reports.clear();
  Setup::ProgressReportingGetRequest(context, kUrl)->Start();
  EXPECT_TRUE(reports.empty());
}
