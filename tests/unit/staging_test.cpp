#include "staging/staging.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <system_error>

#include "double/clock.h"
#include "double/files.h"
#include "double/fixture.h"
#include "double/http.h"
#include "double/processes.h"
#include "double/registry.h"
#include "support/download_checks.h"
#include "support/error_text.h"

namespace {

constexpr wchar_t kTemp[] = L"C:\\users\\tester\\Temp\\";
constexpr wchar_t kPrerequisites[] = L"C:\\Program Files\\Valdrix\\Prerequisites\\";
constexpr wchar_t kProductKey[] = L"HKLM\\Software\\Valdrix";

std::wstring Sha(const std::string& bytes) { return Text::FromUtf8(Sha256Of(bytes)); }

Prerequisite Runtime(const std::string& body) {
  Prerequisite prerequisite;
  prerequisite.file = L"vc_redist.exe";
  prerequisite.id = L"VC2022";
  prerequisite.name = L"VC Runtime";
  prerequisite.url = L"https://localhost:8443/prereqs/vc_redist.exe";
  prerequisite.sha256 = Sha(body);
  prerequisite.params = L"/install /quiet";
  prerequisite.paramsRepair = L"/repair /quiet";
  return prerequisite;
}

class StagingTest : public DoubleTest {
 protected:
  void SetUp() override {
    DoubleTest::SetUp();
    Double::Files::MakeDirectories(L"C:\\Program Files\\Valdrix");
    context_.installPath = L"C:\\Program Files\\Valdrix\\";
  }

  Setup::Context context_;
  const std::wstring installer_ = std::wstring(kPrerequisites) + L"vc_redist.exe";
};

}  // namespace

TEST_F(StagingTest, ChecksumComparisonIsExact) {
  Double::Http::Serve(L"https://h/f", {200, ""});
  auto request = Platform::CreateHttpRequest(Platform::HttpSession::Create(), L"https://h/f");
  request->StartToFile(L"C:\\f");
  const std::wstring empty = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  EXPECT_TRUE(VerifyChecksum(*request, empty));
  std::wstring upper = empty;
  for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
  EXPECT_FALSE(VerifyChecksum(*request, upper));
  EXPECT_FALSE(VerifyChecksum(*request, L" " + empty));
  EXPECT_FALSE(VerifyChecksum(*request, empty.substr(0, 63)));
}

// Into the install folder, which only administrators can write; the
// temporary folder, which others can, is not touched.
TEST_F(StagingTest, PrerequisiteIsDownloadedVerifiedAndMovedIntoPlace) {
  const Prerequisite runtime = Runtime("installer");
  Double::Http::Serve(runtime.url, {200, "installer"});
  EXPECT_EQ(DownloadPrerequisite(runtime, context_).Path(), installer_);
  EXPECT_EQ(Double::Files::FileBytes(installer_), "installer");
  EXPECT_TRUE(Double::Files::IsDirectory(std::wstring(kPrerequisites) + L"Temp"));
  EXPECT_TRUE(Double::Files::FilesIn(kTemp).empty());
  EXPECT_FALSE(Double::Files::IsFile(installer_ + L".download"));
  EXPECT_TRUE(Double::Files::Moves().at(0).sourceFlushed);
  // Present and matching: used as it is.
  EXPECT_EQ(DownloadPrerequisite(runtime, context_).Path(), installer_);
  EXPECT_EQ(Double::Http::RequestCount(runtime.url), 1);
  EXPECT_EQ(Double::Files::HeldCount(installer_), 0) << "released with the holder";
}

// A failed download must not leave anything a later run takes for the installer.
TEST_F(StagingTest, FailedPrerequisiteDownloadLeavesNothingBehind) {
  const Prerequisite runtime = Runtime("installer");
  Double::Http::Serve(runtime.url, {404, "not found page"});
  EXPECT_EQ(FailureText<std::runtime_error>([&] { DownloadPrerequisite(runtime, context_); }), "HTTP error 404");
  Double::Http::Serve(runtime.url, {200, "tampered"});
  EXPECT_EQ(FailureText<std::runtime_error>([&] { DownloadPrerequisite(runtime, context_); }),
            "Downloaded file did not match checksum");
  Double::Http::Response cut{200, "installer"};
  cut.cutAfter = 4;
  Double::Http::Serve(runtime.url, cut);
  EXPECT_EQ(FailureText<std::runtime_error>([&] { DownloadPrerequisite(runtime, context_); }),
            "Downloaded file is smaller than expected");
  EXPECT_TRUE(Double::Files::FilesIn(kPrerequisites).empty());
}

TEST_F(StagingTest, PresentInstallerThatFailsItsDigestIsReplaced) {
  const Prerequisite runtime = Runtime("installer");
  Double::Files::PutFile(installer_, "error body from an old run");
  Double::Http::Serve(runtime.url, {200, "installer"});
  EXPECT_EQ(DownloadPrerequisite(runtime, context_).Path(), installer_);
  EXPECT_EQ(Double::Files::FileBytes(installer_), "installer");
  EXPECT_EQ(Double::Http::RequestCount(runtime.url), 1);

  Prerequisite unchecked = runtime;
  unchecked.sha256.clear();
  Double::Files::PutFile(installer_, "anything");
  EXPECT_EQ(DownloadPrerequisite(unchecked, context_).Path(), installer_);
  EXPECT_EQ(Double::Files::FileBytes(installer_), "anything");
  EXPECT_EQ(Double::Http::RequestCount(runtime.url), 1);
}

// An installer that cannot be held (a link, a file open for writing) is
// replaced by a fresh download.
TEST_F(StagingTest, PresentInstallerThatCannotBeHeldIsDownloadedAgain) {
  const Prerequisite runtime = Runtime("installer");
  Double::Files::PutFile(installer_, "installer");
  Double::Http::Serve(runtime.url, {200, "installer"});
  Double::InjectFault("HoldFile", 681, 1);
  const HeldFile held = DownloadPrerequisite(runtime, context_);
  EXPECT_EQ(Double::Http::RequestCount(runtime.url), 1);
  EXPECT_EQ(Double::Files::HeldCount(installer_), 1);
}

// The digest is taken again through the handle that holds the installer; a
// read that fails there ends the run and lets the file go.
TEST_F(StagingTest, InstallerThatCannotBeReadBackIsNotTaken) {
  const Prerequisite runtime = Runtime("installer");
  Double::Http::Serve(runtime.url, {200, "installer"});
  Double::InjectFault("ReadHeldFile", 5, 1);
  EXPECT_EQ(
      FailureText<std::system_error>([&] { DownloadPrerequisite(runtime, context_); }).rfind("Unable to read file", 0),
      0u);
  EXPECT_EQ(Double::Files::HeldCount(installer_), 0);
  EXPECT_TRUE(Double::Processes::Runs().empty());
}

// The error is the create's own, not that of a probe after it.
TEST_F(StagingTest, FolderThatCannotBeMadeEndsTheRunWithTheErrorOfMakingIt) {
  Double::InjectFault("EnsureDirectory", 5, 1);
  try {
    DownloadPrerequisite(Runtime("installer"), context_);
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), 5);
    EXPECT_EQ(std::string(error.what()).rfind("Unable to create folder \"C:\\Program Files\\Valdrix\\Prerequisites", 0),
              0u)
        << error.what();
  }
}

TEST_F(StagingTest, InstallerStaysHeldUntilItsProcessHasRun) {
  const Prerequisite runtime = Runtime("installer");
  Double::Http::Serve(runtime.url, {200, "installer"});
  bool swapRefused = false;
  Double::Processes::OnRun(
      installer_, {0, 0, [&] {
                     Double::Files::PutFile(kPrerequisites + std::wstring(L"evil.exe"), "evil");
                     swapRefused = MoveFileWithFlags(std::wstring(kPrerequisites) + L"evil.exe", installer_,
                                                     kMoveReplaceExisting) == 32 &&
                                   !WriteFileBytes(installer_, "evil") &&
                                   FailureText<std::system_error>([&] { RemoveFile(installer_); }) != "(no exception)";
                   }});
  InstallPrerequisite(runtime, DownloadPrerequisite(runtime, context_));
  EXPECT_TRUE(swapRefused);
  EXPECT_EQ(Double::Files::FileBytes(installer_), "installer");
  EXPECT_EQ(Double::Files::HeldCount(installer_), 0);
  EXPECT_TRUE(IsPrerequisiteInstalled(runtime));
}

TEST_F(StagingTest, InstallRecordsAndBadExecutableIsDeleted) {
  const Prerequisite runtime = Runtime("installer");
  Double::Files::PutFile(installer_, "installer");
  InstallPrerequisite(runtime, HoldFile(installer_));
  ASSERT_EQ(Double::Processes::Runs().size(), 1u);
  EXPECT_EQ(Double::Processes::Runs()[0].arguments, L"/install /quiet");
  EXPECT_TRUE(Double::Processes::Runs()[0].wait);
  EXPECT_EQ(Double::Processes::Runs()[0].tempFolder, std::wstring(kPrerequisites) + L"Temp");
  EXPECT_TRUE(IsPrerequisiteInstalled(runtime));
  EXPECT_EQ(Double::Registry::GetValue(kProductKey, L"SetupPreReqVC2022"), Double::Registry::Value(1u));

  SetPrerequisiteInstalled(runtime, false);
  EXPECT_FALSE(IsPrerequisiteInstalled(runtime));
  Double::Processes::OnRun(installer_, {0, 193, {}});
  try {
    // Released before the deletion, which a held file refuses.
    InstallPrerequisite(runtime, HoldFile(installer_));
    ADD_FAILURE();
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), 193);
  }
  EXPECT_FALSE(Double::Files::IsFile(installer_));
  EXPECT_FALSE(IsPrerequisiteInstalled(runtime));

  Double::Files::PutFile(installer_, "installer");  // 1618: another installation in progress
  Double::Processes::OnRun(installer_, {1618, 0, {}});
  InstallPrerequisite(runtime, HoldFile(installer_));
  EXPECT_FALSE(IsPrerequisiteInstalled(runtime));
  EXPECT_EQ("WARNING|Prerequisite \"VC Runtime\" did not install (exit code 1618)", LogLines().back());

  Double::Files::PutFile(installer_, "installer");
  Double::Processes::OnRun(installer_, {});
  RepairPrerequisite(runtime, HoldFile(installer_));
  EXPECT_EQ(Double::Processes::Runs().back().arguments, L"/repair /quiet");
  EXPECT_EQ(Double::Processes::Runs().back().tempFolder, std::wstring(kPrerequisites) + L"Temp");
}

TEST_F(StagingTest, ImportedPrerequisiteLinesEndAtLfAndKeepCr) {
  const std::wstring folder = L"C:\\Program Files\\Valdrix\\";
  Double::Files::PutFile(folder + L"manifest_prereqs.txt", "A\nB\r\n\nC");
  ImportInstalledPrerequisites(folder);
  const auto values = Double::Registry::Values(kProductKey);
  EXPECT_EQ(values.size(), 3u);
  EXPECT_EQ(values.count(L"SetupPreReqA"), 1u);
  EXPECT_EQ(values.count(L"SetupPreReqB\r"), 1u);
  EXPECT_EQ(values.count(L"SetupPreReqC"), 1u);
  EXPECT_FALSE(Double::Files::IsFile(folder + L"manifest_prereqs.txt"));
  EXPECT_NO_THROW(ImportInstalledPrerequisites(folder));
}

TEST_F(StagingTest, StagedFileIsDeletedWhenItsDigestFails) {
  ManifestFile file{L"a.dll", 1760000000, L"https://h/a.dll", Sha("good")};
  const std::wstring target = L"C:\\Program Files\\Valdrix\\a.dll";
  Double::Http::Serve(file.url, {200, "good"});
  const PendingMove move = StageFile(context_, Platform::HttpSession::Create(), file, target);
  EXPECT_EQ(move.temporaryPath, target + L".tmp");
  EXPECT_EQ(move.version, 1760000000);
  EXPECT_EQ(Double::Files::FileBytes(target + L".tmp"), "good");
  // Stamped on the staged file, before any move.
  EXPECT_EQ(Double::Files::ModificationTime(target + L".tmp"), 1760000000);

  Double::InjectFault("SetFileTime", 5);  // a stamp that cannot be set fails the staging
  EXPECT_THROW(StageFile(context_, Platform::HttpSession::Create(), file, target), std::system_error);
  EXPECT_FALSE(Double::Files::IsFile(target + L".tmp"));

  Double::Http::Serve(file.url, {200, "evil"});
  EXPECT_EQ(
      FailureText<std::runtime_error>([&] { StageFile(context_, Platform::HttpSession::Create(), file, target); }),
      "Downloaded file did not match checksum");
  EXPECT_FALSE(Double::Files::IsFile(target + L".tmp"));
}

// Without a signed size a download may hold up to 3 GiB; with one, exactly
// that size. A wrong "Content-Length" stops it before anything is written, a
// longer body while it is written, a shorter one at its end; the staged file
// goes each time.
TEST_F(StagingTest, StagedFileIsHeldToItsSignedSizeOrTheGeneralLimit) {
  const std::wstring target = L"C:\\Program Files\\Valdrix\\a.dll";
  ManifestFile file{L"a.dll", 1, L"https://h/a.dll", Sha("good")};
  const std::string signedSize = "Download does not match its signed size of 4 bytes: https://h/a.dll";
  const Double::Http::Response good{200, "good"}, longer{200, "good!"};
  Double::Http::Response huge = good, unsized = longer, unsizedShort{200, "goo"};
  huge.announcedLength = (int64_t{3} << 30) + 1;
  unsized.sendContentLength = unsizedShort.sendContentLength = false;
  struct Case {
    std::optional<uint64_t> size;
    const Double::Http::Response* response;
    std::string error;
  };
  for (const Case& c :
       {Case{std::nullopt, &good, ""}, Case{4, &good, ""},
        Case{std::nullopt, &huge, "Download is larger than 3 GiB: https://h/a.dll"}, Case{4, &longer, signedSize},
        Case{4, &unsized, signedSize}, Case{4, &unsizedShort, signedSize}}) {
    file.size = c.size;
    Double::Http::Serve(file.url, *c.response);
    EXPECT_EQ(CatchError([&] { StageFile(context_, Platform::HttpSession::Create(), file, target); }).text, c.error);
    EXPECT_EQ(Double::Files::IsFile(target + L".tmp"), c.error.empty()) << c.error;
  }
}

TEST_F(StagingTest, CommitMovesAndRetriesFiveTimes) {
  const std::wstring folder = L"C:\\Program Files\\Valdrix\\";
  Double::Files::PutFile(folder + L"a.dll.tmp", "a");
  Double::Files::PutFile(folder + L"b.dll.tmp", "b");
  Double::Files::PutFile(folder + L"b.dll", "old");
  Double::Files::LockFile(folder + L"b.dll", 32, 2);
  CommitStagedFiles(
      {{folder + L"a.dll.tmp", folder + L"a.dll", 1700000000}, {folder + L"b.dll.tmp", folder + L"b.dll", 1700000001}});
  EXPECT_EQ(Double::Files::FileBytes(folder + L"b.dll"), "b");
  EXPECT_EQ(Double::Files::Moves().front().flags, 9u);
  EXPECT_EQ(Double::Clock::SleptMs(), 2000u);

  Double::Files::PutFile(folder + L"c.dll.tmp", "c");
  Double::Files::LockFile(folder + L"c.dll", 32);
  try {
    CommitStagedFiles({{folder + L"c.dll.tmp", folder + L"c.dll", 1}});
    ADD_FAILURE();
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), 32);
    const std::string text = error.what();
    EXPECT_EQ(
        text.rfind(
            R"(Unable to move temporary file "C:\Program Files\Valdrix\c.dll.tmp" to "C:\Program Files\Valdrix\c.dll")",
            0),
        0u);
  }
  int errors = 0;
  for (const auto& line : LogLines()) {
    if (line.rfind("ERROR|Unable to move temporary file", 0) == 0) ++errors;
  }
  EXPECT_EQ(errors, 7);
  EXPECT_TRUE(HasLogLine(
      R"(ERROR|Unable to move temporary file "C:\Program Files\Valdrix\c.dll.tmp" to "C:\Program Files\Valdrix\c.dll" (error 32, attempt 5))"));
  EXPECT_EQ(Double::Clock::SleptMs(), 6000u);
  EXPECT_TRUE(Double::Files::IsFile(folder + L"c.dll.tmp"));
}

TEST_F(StagingTest, AppVersionFileIsExactlyTheTextsBytes) {
  WriteAppVersionFile(L"C:\\Program Files\\Valdrix\\", L"2.1.0");
  EXPECT_EQ(Double::Files::FileBytes(L"C:\\Program Files\\Valdrix\\app_version.txt"), "2.1.0");
}
