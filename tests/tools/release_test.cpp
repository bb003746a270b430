// valdrix-release: what a vendor publishes must be something the setup accepts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base64url.h"
#include "commands.h"
#include "ed25519.h"
#include "manifest_writer.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

class ReleaseFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("release_test_" + std::to_string(::getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "files");
  }
  void TearDown() override { fs::remove_all(root_); }

  void Write(const fs::path& path, const std::string& content, time_t mtime = 0) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    if (mtime != 0) {
      struct utimbuf times {
        mtime, mtime
      };
      ASSERT_EQ(utime(path.c_str(), &times), 0);
    }
  }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return Release::RunCommand(args, out_, err_);
  }

  fs::path root_;
  std::ostringstream out_, err_;
};

TEST(Base64Url, RoundTripsEveryLengthAndToleratesPadding) {
  std::string bytes;
  for (int length = 0; length < 70; ++length) {
    ASSERT_EQ(Release::DecodeBase64Url(Release::EncodeBase64Url(bytes)), bytes);
    bytes += static_cast<char>(length * 37 + 250);
  }
  EXPECT_EQ(Release::EncodeBase64Url("\xfb\xff"), "-_8");
  EXPECT_EQ(Release::DecodeBase64Url("-_8="), "\xfb\xff");
  EXPECT_THROW(Release::DecodeBase64Url("ab+c"), std::runtime_error);
  EXPECT_THROW(Release::DecodeBase64Url("abcde"), std::runtime_error);
}

TEST(Ed25519, SignsTheFirstRfc8032VectorExactly) {
  const Release::KeyPair key{FromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"),
                             FromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a")};
  const std::string expected = FromHex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24"
      "655141438e7a100b");
  EXPECT_EQ(Release::Sign(key, ""), expected);
  EXPECT_EQ(Release::Sign({key.seed, ""}, ""), expected) << "public key derived from the seed";
  EXPECT_TRUE(Release::Verify(key.publicKey, "", expected));
  std::string changed = expected;
  changed[10] ^= 1;
  EXPECT_FALSE(Release::Verify(key.publicKey, "", changed));
}

TEST_F(ReleaseFolder, TokenIsPayloadDotSignatureAndVerifiesWithTheServedKey) {
  ASSERT_EQ(Run({"keygen", "--out-private", (root_ / "key").string(), "--out-public", (root_ / "key.pub").string()}), 0)
      << err_.str();
  ASSERT_EQ(Run({"token", "--key", (root_ / "key").string(), "--subject", "support", "--issued-at", "1700000000"}), 0)
      << err_.str();
  std::string token = out_.str();
  ASSERT_EQ(token.back(), '\n');
  token.pop_back();
  const size_t dot = token.find('.');
  ASSERT_NE(dot, std::string::npos);
  const std::string payload = Release::DecodeBase64Url(token.substr(0, dot));
  EXPECT_EQ(payload, "uninstall:support:1700000000");
  EXPECT_EQ(fs::status(root_ / "key").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  std::ifstream in(root_ / "key.pub", std::ios::binary);
  const std::string served((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(served.find_first_of("\r\n="), std::string::npos) << "served key must be bare base64url";
  EXPECT_TRUE(
      Release::Verify(Release::DecodeBase64Url(served), payload, Release::DecodeBase64Url(token.substr(dot + 1))));

  // A second keygen must not destroy the key tokens are signed with.
  EXPECT_EQ(Run({"keygen", "--out-private", (root_ / "key").string(), "--out-public", (root_ / "b.pub").string()}), 1);
  EXPECT_NE(err_.str().find("already exists"), std::string::npos);
  // Nor write through a link planted at the private key's name.
  fs::create_symlink(root_ / "elsewhere", root_ / "planted");
  EXPECT_EQ(Run({"keygen", "--out-private", (root_ / "planted").string(), "--out-public", (root_ / "c.pub").string()}),
            1);
  EXPECT_FALSE(fs::exists(root_ / "elsewhere"));
  // A token that would outlive its 300 seconds is not made.
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ahead = std::chrono::duration_cast<std::chrono::seconds>(now).count() + 3600;
  EXPECT_EQ(Run({"token", "--key", (root_ / "key").string(), "--issued-at", std::to_string(ahead)}), 1);
  EXPECT_NE(err_.str().find("Token is dated in the future"), std::string::npos);
}

TEST_F(ReleaseFolder, ManifestDescribesEveryFileWithDigestAndModificationTime) {
  Write(root_ / "files" / "Valdrix.Desktop.exe", "abc", 1700000123);
  Write(root_ / "files" / "de de.dll", "", 1600000000);
  Write(root_ / "installers" / "runtime.exe", "abc");
  Write(root_ / "prereqs.json",
        R"([{"file":"runtime.exe","id":"vcrt","name":"Runtime","source":"installers/runtime.exe",)"
        R"("params":"/q","params-repair":"/repair /q"}])");
  ASSERT_EQ(Run({"manifest", "--files", (root_ / "files").string(), "--base-url", "https://localhost:8443/files/",
                 "--prereqs", (root_ / "prereqs.json").string(), "--app-version", "5.1.0", "--out",
                 (root_ / "windows.json").string()}),
            0)
      << err_.str();
  std::ifstream in(root_ / "windows.json");
  const json manifest = json::parse(in);
  EXPECT_EQ(manifest["app_version"], "5.1.0");
  ASSERT_EQ(manifest["files"].size(), 2u);
  const json& lang = manifest["files"][1];
  EXPECT_EQ(lang["path"], "de de.dll");
  EXPECT_EQ(lang["url"], "https://localhost:8443/files/de%20de.dll");
  EXPECT_EQ(lang["sha256"], "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(lang["version"], "1600000000");
  EXPECT_EQ(manifest["files"][0]["version"], "1700000123");
  EXPECT_EQ(manifest["files"][0]["sha256"], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const json& prereq = manifest["prereqs"][0];
  EXPECT_EQ(prereq["url"], "https://localhost:8443/files/prereqs/runtime.exe");
  EXPECT_EQ(prereq["sha256"], manifest["files"][0]["sha256"]);
  EXPECT_EQ(prereq["params-repair"], "/repair /q");
  EXPECT_EQ(prereq["archs"], json::array({"x64"}));
}

// The statement is over the manifest's exact bytes, checked by the setup's own
// reader; two keys sign it during a rotation, and either verifies it.
TEST_F(ReleaseFolder, ManifestStatementVerifiesWithEitherKeyAndNotAfterAChange) {
  for (const char* name : {"old", "new", "other"}) {
    ASSERT_EQ(Run({"keygen", "--out-private", (root_ / name).string(), "--out-public",
                   (root_ / (std::string(name) + ".pub")).string()}),
              0);
  }
  Write(root_ / "files" / "a.dll", "abc", 1700000123);
  const std::string manifest = (root_ / "windows.json").string();
  const std::vector<std::string> publish = {
      "manifest", "--files", (root_ / "files").string(), "--base-url", "https://h/files", "--out", manifest};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = publish;
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  };
  auto verify = [&](const std::string& keys) {
    return Run({"verify-manifest", "--manifest", manifest, "--key", keys});
  };
  ASSERT_EQ(
      with({"--key", (root_ / "old").string() + "," + (root_ / "new").string(), "--serial", "42", "--expires", "2d"}),
      0)
      << err_.str();
  EXPECT_NE(out_.str().find("(serial 42, expires "), std::string::npos) << out_.str();
  EXPECT_EQ(verify((root_ / "new.pub").string()), 0) << err_.str();
  EXPECT_NE(out_.str().find("verifies: serial 42"), std::string::npos) << out_.str();
  EXPECT_EQ(verify((root_ / "other.pub").string() + "," + (root_ / "old.pub").string()), 0) << err_.str();
  EXPECT_EQ(verify((root_ / "other.pub").string()), 1);
  EXPECT_NE(err_.str().find("no valid signature by a built-in key"), std::string::npos) << err_.str();

  std::ifstream in(manifest, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  Write(manifest, bytes + " ");
  EXPECT_EQ(verify((root_ / "old.pub").string()), 1);
  EXPECT_NE(err_.str().find("Manifest does not match its statement"), std::string::npos) << err_.str();

  ASSERT_EQ(with({"--key", (root_ / "old").string(), "--expires", "2020-01-31T12:00:00Z"}), 0) << err_.str();
  EXPECT_NE(out_.str().find("expires 2020-01-31 12:00:00 UTC"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("already expired"), std::string::npos);
  EXPECT_EQ(verify((root_ / "old.pub").string()), 1);
  EXPECT_NE(err_.str().find("Manifest statement expired at 2020-01-31 12:00:00 UTC"), std::string::npos);

  EXPECT_EQ(with({"--serial", "7"}), 2) << "a serial without a key";
  for (const char* expires : {"30x", "2027-02-30", "-1d", "tomorrow"}) {
    EXPECT_EQ(with({"--key", (root_ / "old").string(), "--expires", expires}), 1) << expires;
  }
  EXPECT_EQ(with({"--key", (root_ / "old.pub").string()}), 1) << "a public key cannot sign";
  EXPECT_EQ(with({"--key", (root_ / "old").string(), "--serial", "-3"}), 2);
}

TEST_F(ReleaseFolder, BadInputIsRefusedWithAReasonAndNoManifestWritten) {
  EXPECT_EQ(Run({"manifest", "--files", (root_ / "missing").string(), "--base-url", "https://h", "--out",
                 (root_ / "w.json").string()}),
            1);
  EXPECT_NE(err_.str().find("is not a folder"), std::string::npos);
  EXPECT_EQ(Run({"manifest", "--files", (root_ / "files").string(), "--base-url", "ftp://h", "--out",
                 (root_ / "w.json").string()}),
            1);
  EXPECT_EQ(Run({"manifest", "--files", (root_ / "files").string()}), 2);
  EXPECT_NE(err_.str().find("missing --base-url"), std::string::npos);
  EXPECT_EQ(Run({"token", "--key", (root_ / "nokey").string()}), 1);
  EXPECT_EQ(Run({"token", "--key", "k", "--issued-at", "12x"}), 2);
  EXPECT_EQ(Run({"frobnicate"}), 2);
  EXPECT_EQ(Run({"keygen", "--out-private"}), 2);
  EXPECT_FALSE(fs::exists(root_ / "w.json"));
  EXPECT_EQ(Run({"manifest", "--help"}), 0);
  EXPECT_NE(out_.str().find("--base-url"), std::string::npos);
}

TEST_F(ReleaseFolder, ServeChecksItsOptionsAndNamesAMissingServerBeforeHandingOver) {
  EXPECT_EQ(Run({"serve", "--help"}), 0);
  EXPECT_NE(out_.str().find("--root DIR"), std::string::npos) << out_.str();
  EXPECT_EQ(Run({"serve", "--root", root_.string(), "--colour", "red"}), 2);
  EXPECT_NE(err_.str().find("unknown option --colour"), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("serve --root DIR"), std::string::npos) << "the serve usage follows the error";
  EXPECT_EQ(Run({"serve", "--port", "8450"}), 2);
  EXPECT_NE(err_.str().find("missing --root"), std::string::npos) << err_.str();
  const std::string missing = (root_ / "no-server").string();
  ASSERT_EQ(setenv("VALDRIX_LOCAL_SERVER", missing.c_str(), 1), 0);
  EXPECT_EQ(Run({"serve", "--root", root_.string()}), 1);
  unsetenv("VALDRIX_LOCAL_SERVER");
  EXPECT_NE(err_.str().find("Local server \"" + missing + "\" not found"), std::string::npos) << err_.str();
}

TEST(ManifestRules, RejectWhatTheSetupWouldMisreadOrThatEscapesTheInstallFolder) {
  const json good = {
      {"version", 1},
      {"app_version", "1"},
      {"files",
       {{{"path", "a\\b.dll"}, {"url", "https://h/a/b.dll"}, {"sha256", std::string(64, 'a')}, {"version", "17"}}}}};
  EXPECT_THROW(Release::ValidateManifest(good), std::runtime_error) << "subfolders are never created";
  json flat = good;
  flat["files"][0]["path"] = "b.dll";
  EXPECT_NO_THROW(Release::ValidateManifest(flat));
  const auto broken = [&](const char* key, json value) {
    json copy = flat;
    copy["files"][0][key] = std::move(value);
    return copy;
  };
  EXPECT_THROW(Release::ValidateManifest(broken("version", 17)), std::runtime_error);
  EXPECT_THROW(Release::ValidateManifest(broken("sha256", std::string(64, 'A'))), std::runtime_error);
  EXPECT_THROW(Release::ValidateManifest(broken("path", "..\\evil.dll")), std::runtime_error);
  EXPECT_THROW(Release::ValidateManifest(broken("path", "a/b.dll")), std::runtime_error);
  EXPECT_THROW(Release::ValidateManifest(broken("path", "C:\\x.dll")), std::runtime_error);
  EXPECT_THROW(Release::ValidateManifest(broken("url", "file:///x")), std::runtime_error);
  json twice = flat;
  twice["files"].push_back(flat["files"][0]);
  twice["files"][1]["path"] = "B.DLL";
  EXPECT_THROW(Release::ValidateManifest(twice), std::runtime_error);
  json noVersion = flat;
  noVersion.erase("version");
  EXPECT_THROW(Release::ValidateManifest(noVersion), std::runtime_error);

  json prereq = flat;
  prereq["prereqs"] = json::parse(R"([{"file": "redist\\vc.exe", "id": "vc", "name": "VC", "url": "https://h/vc.exe",
      "sha256": ")" + std::string(64, 'a') +
                                  R"(", "params": "", "params-repair": ""}])");
  std::string refusal;
  try {
    Release::ValidateManifest(prereq);
  } catch (const std::runtime_error& error) {
    refusal = error.what();
  }
  EXPECT_EQ(refusal,
            R"(prereqs[0]: Refusing installer file name "redist\vc.exe": a single name is required, not a folder)");
}

}  // namespace
