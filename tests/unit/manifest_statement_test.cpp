// The manifest's signed statement: its format, each refusal of a keyed setup,
// and the serial this machine keeps across runs.
#include "manifest/manifest_statement.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "app/trusted_keys.h"
#include "double/clock.h"
#include "double/fixture.h"
#include "double/http.h"
#include "double/registry.h"
#include "engine/context.h"
#include "engine/uninstall_token.h"
#include "manifest/update_manifest.h"
#include "staging/sha256.h"
#include "token_signer.h"

namespace {

constexpr int64_t kNow = Double::Clock::kStartTime;
const std::string kManifest =
    R"({"version": 1, "files": [{"path": "a.dll", "sha256": ")" + std::string(64, 'a') + R"("}]})";

std::string Digest(const std::string& bytes) {
  Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.HexDigest();
}

// A statement signed with the test key (RFC 8032's first pair).
std::string Statement(const std::string& manifest, int64_t serial, int64_t expires, const std::string& keyId = "") {
  const std::string part = ManifestStatement::SignedPart(Digest(manifest), serial, expires);
  const std::string id = keyId.empty() ? ManifestStatement::KeyId(TestTokens::kPublicKey) : keyId;
  return part + "signature " + id + " " + TestTokens::Base64Url(TestTokens::Sign(part)) + "\n";
}

std::string Refusal(const std::string& manifest, const std::string& statement, int64_t highest = 0,
                    const std::vector<std::string>& keys = {TestTokens::kPublicKey}) {
  try {
    ManifestStatement::Check(manifest, statement, keys, kNow, highest);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(accepted)";
}

}  // namespace

TEST(ManifestStatement, FormatIsStrictAndBoundedInSize) {
  const std::string good = Statement(kManifest, 7, kNow + 60);
  EXPECT_EQ(ManifestStatement::Parse(good).serial, 7);
  const std::string part = ManifestStatement::SignedPart(Digest(kManifest), 7, kNow + 60);
  const std::string signature = good.substr(part.size());
  struct Row {
    std::string text;
    const char* detail;
  };
  const Row rows[] = {
      {good.substr(0, good.size() - 1), "does not end with a line end"},
      {"valdrix-manifest-statement 2" + good.substr(good.find('\n')), "the first line is not"},
      {part, "no signature"},
      // A number has one text only: the signed bytes are the bytes received.
      {std::string(part).replace(part.find("serial 7"), 8, "serial 07") + signature,
       "\"serial\" is not a decimal number"},
      {part + "signature 0123456789abcdef AAAA\n", "a signature is not 64 bytes"},
      {good + std::string(ManifestStatement::kMaxSize, '\n'), "larger than 16384 bytes"},
  };
  for (const Row& row : rows) {
    EXPECT_NE(Refusal(kManifest, row.text).find(std::string("Manifest statement is malformed: ") + row.detail),
              std::string::npos)
        << row.text;
  }
}

// Each check with the attack it stops.
TEST(ManifestStatement, RefusesForgedMixedFrozenAndRolledBackManifests) {
  EXPECT_EQ(Refusal(kManifest, Statement(kManifest, 7, kNow + 60), 7), "(accepted)");
  // A key the setup does not carry, or signed bytes changed after signing.
  const std::string other = ManifestStatement::KeyId(std::string(32, 'k'));
  EXPECT_EQ(Refusal(kManifest, Statement(kManifest, 7, kNow + 60), 0, {std::string(32, 'k')}),
            "Manifest statement carries no valid signature by a built-in key (built-in: " + other +
                "; signed by: " + ManifestStatement::KeyId(TestTokens::kPublicKey) + ")");
  std::string raised = Statement(kManifest, 7, kNow + 60);
  raised.replace(raised.find("serial 7"), 8, "serial 9");
  EXPECT_EQ(Refusal(kManifest, raised).find("Manifest statement carries no valid signature"), 0u);
  // Mix-and-match: a genuine statement for another manifest.
  const std::string changed = kManifest.substr(0, kManifest.size() - 1) + " }";
  EXPECT_EQ(
      Refusal(changed, Statement(kManifest, 7, kNow + 60)),
      "Manifest does not match its statement (SHA-256 " + Digest(changed) + ", statement " + Digest(kManifest) + ")");
  // Freeze: an old statement replayed after its expiry.
  EXPECT_EQ(Refusal(kManifest, Statement(kManifest, 7, kNow)),
            "Manifest statement expired at 2025-12-08 13:20:00 UTC; this machine's time is 2025-12-08 13:20:00 UTC");
  // Rollback: an older genuine statement.
  EXPECT_EQ(Refusal(kManifest, Statement(kManifest, 6, kNow + 60), 7),
            "Manifest statement serial 6 is lower than 7, the highest this machine has accepted");
}

// Signed bytes of one kind never pass for the other, even under one key.
TEST(ManifestStatement, NeitherPassesForAnUninstallToken) {
  const std::string part = ManifestStatement::SignedPart(Digest(kManifest), 7, kNow + 60);
  const std::string asToken = TestTokens::Base64Url(part) + "." + TestTokens::Base64Url(TestTokens::Sign(part));
  EXPECT_THROW(UninstallToken::CheckToken(asToken, TestTokens::Base64Url(TestTokens::kPublicKey), nullptr, kNow),
               std::runtime_error);
  const std::string token = "uninstall:s:" + std::to_string(kNow);
  EXPECT_EQ(Refusal(kManifest, token + "\nsignature " + ManifestStatement::KeyId(TestTokens::kPublicKey) + " " +
                                   TestTokens::Base64Url(TestTokens::Sign(token)) + "\n")
                .find("Manifest statement is malformed: the first line"),
            0u);
  EXPECT_EQ(ManifestStatement::UtcText(0), "1970-01-01 00:00:00 UTC");
  EXPECT_EQ(ManifestStatement::UtcText(-1), "-1 seconds since 1970");
}

class SignedManifestTest : public DoubleTest {
 protected:
  void SetUp() override {
    DoubleTest::SetUp();
    TrustedKeys::Instance() = TrustedKeys::FromText(TestTokens::Base64Url(TestTokens::kPublicKey), "");
  }
  void TearDown() override {
    TrustedKeys::Instance() = {};
    DoubleTest::TearDown();
  }
  std::string Load(const std::string& manifest, int64_t serial, uint32_t status = 200) {
    Double::Http::Serve(ManifestUrl(), {200, manifest});
    Double::Http::Serve(StatementUrl(), {status, Statement(manifest, serial, kNow + 86400)});
    Setup::Context context;
    try {
      context.LoadManifest();
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "(loaded)";
  }
  static std::optional<Double::Registry::Value> Serial() {
    return Double::Registry::GetValue(L"HKLM\\Software\\Valdrix", L"ManifestSerial");
  }
};

TEST_F(SignedManifestTest, KeepsTheHighestSerialAndRefusesEntriesWithoutDigest) {
  EXPECT_EQ(Load(kManifest, 20), "(loaded)");
  EXPECT_EQ(Serial(), Double::Registry::Value(L"20"));
  EXPECT_EQ(Load(kManifest, 19),
            "Unable to download manifest: Manifest statement serial 19 is lower than 20, the "
            "highest this machine has accepted");
  EXPECT_EQ(Serial(), Double::Registry::Value(L"20")) << "kept through a refusal";
  EXPECT_EQ(Load(kManifest, 20), "(loaded)");
  EXPECT_EQ(Load(R"({"version": 1, "prereqs": [{"file": "r.exe"}]})", 21),
            "Unable to download manifest: Prerequisite \"r.exe\" has no SHA-256 in the manifest");
  EXPECT_EQ(Serial(), Double::Registry::Value(L"21")) << "the statement itself checked";
  EXPECT_EQ(Load(R"({"version": 1, "files": [{"path": "a.dll"}]})", 22),
            "Unable to download manifest: File \"a.dll\" has no SHA-256 in the manifest");
  EXPECT_EQ(Serial(), Double::Registry::Value(L"22"));
  EXPECT_EQ(Load(kManifest, 23, 404), "Unable to download manifest: Manifest statement unavailable: HTTP error 404");
}
