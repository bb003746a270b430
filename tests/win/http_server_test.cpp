// Downloads over WinHTTP from the local update server, which misbehaves per
// path. scripts/run-wine-tests (and run-http-wine-tests) start the server and
// set VALDRIX_TEST_SERVER ("https://localhost:PORT") and
// VALDRIX_TEST_SERVER_ROOT (the served folder as a Windows path); without
// them these tests fail. What the double's server answers as well is checked
// in tests/contract/http_contract_test.cpp.
#include <windows.h>

#include <winhttp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "app/log.h"
#include "app/text.h"
#include "net/http.h"
#include "net/progress_request.h"
#include "staging/staging.h"
#include "support/download_checks.h"
#include "support/error_text.h"
#include "support/temp_folder.h"

namespace {

std::string ReadAll(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  std::stringstream buffer;
  buffer << file.rdbuf();
  return buffer.str();
}

std::wstring Environment(const wchar_t* name) {
  const wchar_t* value = _wgetenv(name);
  return value ? value : L"";
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = Environment(L"VALDRIX_TEST_SERVER");
    root_ = Environment(L"VALDRIX_TEST_SERVER_ROOT");
    if (server_.empty() || root_.empty()) {
      FAIL() << "the local update server is not running (VALDRIX_TEST_SERVER, VALDRIX_TEST_SERVER_ROOT)";
    }
  }

  std::shared_ptr<Platform::HttpRequest> Download(const std::wstring& path, const std::wstring& target,
                                                  std::vector<float>* fractions = nullptr) {
    auto request = Platform::CreateHttpRequest(Platform::HttpSession::Create(), server_ + path);
    if (fractions) request->SetCallback([fractions](float fraction) { fractions->push_back(fraction); });
    request->StartToFile(target);
    return request;
  }

  std::wstring server_;
  std::wstring root_;
  TempFolder folder_;
};

}  // namespace

// The body arrives whole whatever the header spelling; the size counts (and
// so the progress) only when "Content-Length" is spelled exactly.
TEST_F(HttpServerTest, LowerCaseAndBlankLengthsAndRedirectsDownloadWhole) {
  const std::string original = ReadAll(root_ + L"\\files\\a.bin");
  ASSERT_FALSE(original.empty());
  struct Case {
    const wchar_t* path;
    bool sizeKnown;
  };
  for (const Case& c : {Case{L"/files/low.bin", false}, Case{L"/files/blank.bin", true}, Case{L"/r", true}}) {
    const std::wstring target = folder_.Path(L"out.bin");
    std::vector<float> fractions;
    auto request = Download(c.path, target, &fractions);
    EXPECT_EQ(ReadAll(target), original) << Text::ToUtf8(c.path);
    EXPECT_EQ(request->Digest().HexDigest(), Sha256Of(original)) << Text::ToUtf8(c.path);
    ASSERT_FALSE(fractions.empty()) << Text::ToUtf8(c.path);
    EXPECT_EQ(fractions.back(), c.sizeKnown ? 1.0f : 0.0f) << Text::ToUtf8(c.path);
    if (!c.sizeKnown) {
      EXPECT_EQ(*std::max_element(fractions.begin(), fractions.end()), 0.0f);
    }
  }
}

TEST_F(HttpServerTest, SlowBodyReportsRisingProgressInStepsOfMoreThanFivePoints) {
  const std::string original = ReadAll(root_ + L"\\files\\a.bin");
  Setup::Context context;
  std::vector<int32_t> reports;
  context.onProgress = [&](int32_t percent) { reports.push_back(percent); };
  auto request =
      Setup::ProgressReportingGetRequest(context, Platform::HttpSession::Create(), server_ + L"/files/slow.bin");
  const std::wstring target = folder_.Path(L"slow.bin");
  request->StartToFile(target);
  EXPECT_EQ(ReadAll(target), original);
  // 4 KiB pieces of 300000 bytes: many reports, each more than 5 points on.
  ASSERT_GE(reports.size(), 10u);
  EXPECT_GE(reports.front(), 5);
  for (size_t i = 1; i < reports.size(); ++i) EXPECT_GT(reports[i] - reports[i - 1], 5) << i;
  EXPECT_LE(reports.back(), 100);
}

// Windows refuses to replace a file open without sharing with 5 or 32 (Wine
// gives 5); whichever it is, every attempt logs it and the failure carries it.
TEST_F(HttpServerTest, TargetHeldWithoutSharingIsTriedFiveTimes) {
  const std::wstring target = folder_.Path(L"held.dll");
  std::ofstream(std::filesystem::path(target)) << "old";
  std::ofstream(std::filesystem::path(target + L".tmp")) << "new";
  const HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  SetupLog::OpenPath(folder_.Path(L"setup.log"));
  int code = 0;
  try {
    CommitStagedFiles({{target + L".tmp", target, 1700000000}});
    ADD_FAILURE();
  } catch (const std::system_error& error) {
    code = error.code().value();
  }
  SetupLog::Close();
  CloseHandle(held);
  EXPECT_TRUE(code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) << code;
  EXPECT_EQ(ReadAll(target), "old");
  const std::string log = ReadAll(folder_.Path(L"setup.log"));
  for (int attempt = 1; attempt <= 5; ++attempt) {
    const std::string line = "(error " + std::to_string(code) + ", attempt " + std::to_string(attempt) + ")";
    EXPECT_NE(log.find(line), std::string::npos) << log;
  }
  EXPECT_EQ(log.find("attempt 6"), std::string::npos);
}

// A body that trickles keeps every single wait short and is held to the limit
// of the whole transfer; one that stalls ends at the receive wait. (Short
// limits here; see HttpLimits for the real ones.)
TEST_F(HttpServerTest, TricklingAndStalledBodiesEndAtTheirLimitsNamingTheUrl) {
  Platform::HttpLimits limits;
  limits.receiveMs = 1000;
  limits.transferBaseMs = 2000;
  limits.slowestBytesPerSecond = 1 << 30;
  for (const auto& [path, message] : {std::pair{L"/files/trickle.bin", "Download not finished within 2 s: "},
                                      std::pair{L"/files/stall.bin", "No data within 1 s: "}}) {
    const std::wstring url = server_ + path;
    auto request = Platform::CreateHttpRequest(Platform::HttpSession::Create(limits), url);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(CatchError([&] { request->StartToFile(folder_.Path(L"t.bin")); }).text, message + Text::ToUtf8(url));
    EXPECT_LT(GetTickCount64() - start, 5000u);
  }
}

// Beyond its signed size a download stops, by its "Content-Length" before
// anything is written or (sent without one) while it is written, and the
// staged file goes.
TEST_F(HttpServerTest, OversizedDownloadStopsAndLeavesNoStagedFile) {
  Setup::Context context;
  for (const wchar_t* path : {L"/files/a.bin", L"/files/chunk.bin"}) {
    const ManifestFile file{L"a.bin", 1, server_ + path, L"", 100000};
    const std::wstring target = folder_.Path(L"a.bin");
    EXPECT_EQ(CatchError([&] { StageFile(context, Platform::HttpSession::Create(), file, target); }).text,
              "Download does not match its signed size of 100000 bytes: " + Text::ToUtf8(file.url));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(target + L".tmp")));
  }
}

TEST_F(HttpServerTest, RedirectFromHttpsToHttpIsRefusedByName) {
  EXPECT_EQ(CatchError([&] { Download(L"/to-http", folder_.Path(L"r.bin")); }).text,
            "Refusing a redirect from https to http: " + Text::ToUtf8(server_) + "/to-http");
}
