// Input an attacker or a broken server controls: the manifest's names and
// addresses, the bookkeeping file an earlier install left, the command line.
// Each must end in its own clear error with the machine as it was.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "app/flags.h"
#include "engine/flows/flows.h"
#include "flow_fixture.h"
#include "staging/prerequisite_list.h"
#include "staging/staging.h"
#include "system/scm_api.h"

namespace {

class HostileInputTest : public FlowTest {
 protected:
  // Serves a manifest with one product file under `path` at `url`.
  void ServeOneFile(const std::string& path, const std::string& url) {
    const nlohmann::json manifest = {
        {"version", 2}, {"files", {{{"path", path}, {"version", "1700000009"}, {"url", url}, {"sha256", ""}}}}};
    Double::Http::Serve(ManifestUrl(), {200, manifest.dump()});
  }

  // Runs the install with a context of its own (the manifest is loaded into
  // it once); the error text, or "(installed)".
  std::string InstallError() {
    Setup::Context run;
    run.installPath = kInstall;
    try {
      Flows::StartInstall(run, false);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "(installed)";
  }

  // The earlier installation is untouched: files, running service and client,
  // enabled verify task, and nothing downloaded besides the manifest.
  void ExpectEarlierInstallUntouched() {
    for (const auto& file : ProductFiles()) {
      EXPECT_EQ("old " + file.body, Double::Files::FileBytes(kInstall + file.path));
    }
    EXPECT_EQ(ScmApi::kRunning, Double::Scm::Find(L"Valdrix")->state);
    EXPECT_EQ(1, Double::Processes::CountRunning(L"Valdrix.Desktop.exe"));
    EXPECT_TRUE(Double::Tasks::Find(L"ValdrixVerify")->enabled);
    EXPECT_EQ(0, RequestsFor(kFileServer));
  }
};

}  // namespace

TEST_F(HostileInputTest, ManifestNamesOutsideTheInstallFolderEndTheRunBeforeAnyDownload) {
  const std::string prefix = "Unable to download manifest: Refusing file path ";
  const std::pair<std::string, std::string> cases[] = {
      {"..\\Valdrix.Desktop.exe", "\"..\\Valdrix.Desktop.exe\" that leaves its folder"},
      {"C:\\Windows\\System32\\x.dll", "\"C:\\Windows\\System32\\x.dll\" that leaves its folder"},
      {"\\\\server\\share\\x.dll", "\"\\\\server\\share\\x.dll\" that leaves its folder"},
      {"/x.dll", "\"/x.dll\" that leaves its folder"},
      {"a.dll:payload", "\"a.dll:payload\" that leaves its folder"},
      {"bin/. ./x.dll", "\"bin/. ./x.dll\" that leaves its folder"},
      {"bin\\", "\"bin\\\" that leaves its folder"},
      {"bin\\NUL.dll", "\"bin\\NUL.dll\" that names a device"},
      {"com1 .txt", "\"com1 .txt\" that names a device"},
      {std::string("a\0\\..\\..\\x.dll", 14), "\"a\\x00\\..\\..\\x.dll\" with characters not allowed in file names"},
      {"a\nb.dll", "\"a\\x0Ab.dll\" with characters not allowed in file names"},
      {"what?.dll", "\"what?.dll\" with characters not allowed in file names"},
      {std::string(260, 'a'), "of 260 characters"},
      {std::string(1 << 20, 'a'), "of 1048576 characters"},
  };
  for (const auto& [path, message] : cases) {
    Double::Reset();
    InstallEarlier(ProductFiles());
    ServeOneFile(path, "https://localhost:8443/files/x");
    EXPECT_EQ(prefix + message, InstallError()) << path.substr(0, 40);
    ExpectEarlierInstallUntouched();
  }
  ServeOneFile(std::string(259, 'a'), "https://localhost:8443/files/x");
  UpdateManifest manifest;
  EXPECT_NO_THROW(FetchManifest(manifest, ManifestUrl()));
  EXPECT_NO_THROW(CheckRelativePath(L"bin\\console.dll"));
  EXPECT_NO_THROW(CheckRelativePath(L"COM10.dll"));
}

TEST_F(HostileInputTest, InvalidUtf8InTheManifestIsAParseErrorNotAGarbledName) {
  InstallEarlier(ProductFiles());
  Double::Http::Serve(ManifestUrl(),
                      {200, "{\"version\": 2, \"files\": [{\"path\": \"a\xC3(.dll\", \"url\": \"https://h/a\"}]}"});
  EXPECT_EQ(
      "Unable to download manifest: [json.exception.parse_error.101] parse error at line 1, column 38: syntax error "
      "while parsing value - invalid string: ill-formed UTF-8 byte; last read: '\"a\xC3('",
      InstallError());
  ExpectEarlierInstallUntouched();

  Double::Http::Serve(ManifestUrl(), {200, R"({"version": 2, "files": [{"path": "a\udc00.dll"}]})"});
  EXPECT_EQ(InstallError().rfind("Unable to download manifest: [json.exception.parse_error.101]", 0), 0u);
  ExpectEarlierInstallUntouched();
}

// The client takes an address of any length; the server refuses it.
TEST_F(HostileInputTest, OverlongDownloadAddressFailsAtTheServerAndLeavesTheProductRunning) {
  InstallEarlier(ProductFiles());
  ServeOneFile("x.dll", "https://localhost:8443/" + std::string(1 << 20, 'p'));
  try {
    Flows::StartInstall(context, false);
    FAIL() << "an address the server does not know must end the run";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "HTTP error 404");
  }
  for (const auto& file : ProductFiles()) {
    EXPECT_EQ("old " + file.body, Double::Files::FileBytes(kInstall + file.path));
  }
  EXPECT_FALSE(Double::Files::IsFile(std::wstring(kInstall) + L"x.dll.tmp"));
  EXPECT_EQ(ScmApi::kRunning, Double::Scm::Find(L"Valdrix")->state);
}

TEST_F(HostileInputTest, OversizedPrerequisiteListIsIgnoredWholeAndDeleted) {
  const std::wstring list = std::wstring(kInstall) + L"manifest_prereqs.txt";
  std::string lines;
  while (lines.size() < (4u << 20)) lines += "Id" + std::to_string(lines.size()) + "\n";
  const std::pair<std::string, std::string> cases[] = {
      {lines, "larger than 65536 bytes"},
      {"VC2022\n" + std::string(256, 'x') + "\nDotNet\n", "line 2 is longer than 255 characters"},
  };
  for (const auto& [content, reason] : cases) {
    Double::Files::PutFile(list, content);
    ImportInstalledPrerequisites(kInstall);
    EXPECT_TRUE(Double::Registry::Values(L"HKLM\\Software\\Valdrix").empty());
    EXPECT_FALSE(Double::Files::IsFile(list));
    EXPECT_TRUE(HasLogLine("WARNING|Ignoring \"C:\\Program Files\\Valdrix\\manifest_prereqs.txt\": " + reason));
  }

  // At the limits the list is taken as it is.
  std::string full(kMaxPrerequisiteListBytes, '\n');
  full.replace(0, kMaxPrerequisiteIdLength, std::string(kMaxPrerequisiteIdLength, 'y'));
  EXPECT_EQ(ReadPrerequisiteList(full), std::vector<std::wstring>{std::wstring(kMaxPrerequisiteIdLength, L'y')});
}

TEST(HostileCommandLine, MegabyteArgumentsAreTakenWholeOrIgnored) {
  const std::wstring huge(1 << 20, L'x');
  SetupFlags flags;
  ParseFlag(flags, L"/silent" + huge);
  ParseFlag(flags, L"/" + huge);
  EXPECT_FALSE(flags.silent);
  EXPECT_EQ(SetupMode::Install, flags.mode);
  ParseFlag(flags, L"/token=" + huge);
  ParseFlag(flags, L"/logincode=" + huge);
  ParseFlag(flags, L"/token=short");
  EXPECT_EQ(huge, flags.token);
  EXPECT_EQ(huge, flags.loginCode);
}
