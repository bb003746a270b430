// The uninstall authorization: Ed25519 verification, base64url, token rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

#include "app/build_info.h"
#include "app/flags.h"
#include "app/text.h"
#include "double/clock.h"
#include "double/fixture.h"
#include "double/http.h"
#include "double/registry.h"
#include "engine/base64url.h"
#include "engine/ed25519.h"
#include "engine/uninstall_token.h"
#include "token_signer.h"

using TestTokens::FromHex;

TEST(Ed25519Test, AcceptsTheRfc8032VectorsAndRejectsAChangedSignatureOrMessage) {
  struct Vector {
    const char* publicKey;
    const char* message;
    const char* signature;
  };
  const Vector vectors[] = {
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe2"
       "4"
       "655141438e7a100b"},
      {"3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302ae"
       "e"
       "b00d291612bb0c00"},
      {"fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
       "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28"
       "d"
       "c027beceea1ec40a"},
  };
  for (const auto& vector : vectors) {
    const std::string key = FromHex(vector.publicKey);
    const std::string message = FromHex(vector.message);
    std::string signature = FromHex(vector.signature);
    EXPECT_TRUE(Ed25519::Verify(signature, key, message)) << vector.message;
    EXPECT_FALSE(Ed25519::Verify(signature, key, message + "x")) << vector.message;
    signature[5] ^= 0x01;
    EXPECT_FALSE(Ed25519::Verify(signature, key, message)) << vector.message;
  }
  EXPECT_FALSE(Ed25519::Verify(std::string(64, '\0'), FromHex(vectors[0].publicKey), ""));
  EXPECT_FALSE(Ed25519::Verify(FromHex(vectors[0].signature), FromHex(vectors[0].publicKey).substr(1), ""));

  // Near 64 KiB the library's S-expressions overflow and it aborts the process;
  // up to the limit a signed message still verifies.
  const std::string longest(Ed25519::kMaxMessageSize, 'm');
  EXPECT_TRUE(Ed25519::Verify(TestTokens::Sign(longest), TestTokens::kPublicKey, longest));
  for (const size_t size : {Ed25519::kMaxMessageSize + 1, size_t{65535}, size_t{1} << 20}) {
    EXPECT_FALSE(Ed25519::Verify(std::string(64, '\1'), TestTokens::kPublicKey, std::string(size, 'm'))) << size;
  }
}

TEST(Base64UrlTest, DecodesWithOrWithoutPaddingAndRefusesWhatIsNotBase64url) {
  EXPECT_EQ("A", Base64Url::Decode("QQ"));
  EXPECT_EQ("A", Base64Url::Decode("QQ=="));
  EXPECT_EQ("AB", Base64Url::Decode("QUI="));
  EXPECT_EQ("\xfb\xff", Base64Url::Decode("-_8"));
  EXPECT_EQ("", Base64Url::Decode(""));
  const auto message = [](const char* text) {
    try {
      Base64Url::Decode(text);
    } catch (const std::runtime_error& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ("Invalid base64url symbol", message("+/8A"));
  EXPECT_EQ("Invalid base64url symbol", message("QU.I"));
  EXPECT_EQ("Invalid base64url padding", message("QQ="));
  EXPECT_EQ("Invalid base64url padding", message("QUI=="));
  EXPECT_EQ("Invalid base64url padding", message("Q=Q="));
  EXPECT_EQ("Invalid base64url text: a single left-over symbol", message("QUJDR"));
}

TEST(TokenFieldTest, FieldsAndIssueTimeFollowTheTextRules) {
  EXPECT_EQ("uninstall", UninstallToken::Field("uninstall:dev:123:x", 0));
  EXPECT_EQ("123", UninstallToken::Field("uninstall:dev:123:x", 2));
  EXPECT_EQ("", UninstallToken::Field("uninstall", 2));
  EXPECT_EQ("12", UninstallToken::Field(std::string_view("a:b:12\0:9", 9), 2));
  EXPECT_EQ(0, UninstallToken::ParseIssueTime(""));
  EXPECT_EQ(-42, UninstallToken::ParseIssueTime("  -42abc"));
  EXPECT_EQ(std::numeric_limits<int64_t>::min(), UninstallToken::ParseIssueTime("-99999999999999999999999"));
}

class UninstallTokenTest : public DoubleTest {
 protected:
  void SetUp() override {
    DoubleTest::SetUp();
    ServeKey(TestTokens::Base64Url(TestTokens::kPublicKey));
  }

  static std::wstring KeyUrl() { return std::wstring(L"https://") + BuildInfo::kApiHost + L"/api/signkey"; }
  static void ServeKey(const std::string& text) { Double::Http::Serve(KeyUrl(), {200, text}); }

  static std::string Payload(const std::string& type, int64_t issued) {
    return type + ":device-1:" + std::to_string(issued) + ":extra";
  }

  // The text of the refusal, or "authorised".
  static std::string Check(const std::string& token) {
    SetupFlags::Instance().token = Text::FromUtf8(token);
    try {
      CheckUninstallAuthorization("uninstall");
    } catch (const std::exception& error) {
      return error.what();
    }
    return "authorised";
  }

  const int64_t now = Double::Clock::kStartTime;
};

TEST_F(UninstallTokenTest, TokenHoldsThreeHundredSecondsEitherSideOfNow) {
  EXPECT_EQ("authorised", Check(TestTokens::Token(Payload("uninstall", now - 300))));
  EXPECT_EQ("Token expired", Check(TestTokens::Token(Payload("uninstall", now - 301))));
  EXPECT_EQ("authorised", Check(TestTokens::Token(Payload("uninstall", now + 300))));
  EXPECT_EQ("Token is dated in the future", Check(TestTokens::Token(Payload("uninstall", now + 301))));
  EXPECT_EQ("Token is dated in the future", Check(TestTokens::Token("uninstall:dev:9223372036854775807")));
  EXPECT_EQ("Token expired", Check(TestTokens::Token("uninstall")));
  EXPECT_EQ("Token expired", Check(TestTokens::Token("uninstall:dev:-9223372036854775808")));
}

TEST_F(UninstallTokenTest, TypeIsComparedExactly) {
  EXPECT_EQ("Invalid token type", Check(TestTokens::Token(Payload("UNINSTALL", now))));
  EXPECT_EQ("Invalid token type", Check(TestTokens::Token(Payload("uninstallx", now))));
  SetupFlags::Instance().token = Text::FromUtf8(TestTokens::Token(Payload("other", now)));
  EXPECT_NO_THROW(CheckUninstallAuthorization(nullptr));
}

TEST_F(UninstallTokenTest, ChangedPayloadOrBadSignatureFailsTheSignature) {
  const std::string payload = Payload("uninstall", now);
  std::string changed = payload;
  changed[12] = changed[12] == '1' ? '2' : '1';
  const std::string signature = TestTokens::Base64Url(TestTokens::Sign(payload));
  EXPECT_EQ("Invalid token signature", Check(TestTokens::Base64Url(changed) + "." + signature));
  EXPECT_EQ("Invalid token signature", Check(TestTokens::Base64Url(payload)));
  EXPECT_EQ("Invalid token signature", Check(TestTokens::Base64Url(payload) + "." + signature.substr(0, 84)));
  EXPECT_EQ("Invalid base64url symbol", Check(TestTokens::Base64Url(payload) + "." + signature + ".x"));
}

TEST_F(UninstallTokenTest, MalformedTokensOfEveryShapeEndInTheirOwnMessage) {
  const std::string payload = TestTokens::Base64Url(Payload("uninstall", now));
  const std::string signature = TestTokens::Base64Url(TestTokens::Sign(Payload("uninstall", now)));
  const std::pair<std::string, std::string> cases[] = {
      {".", "Invalid token signature"},
      {"..", "Invalid base64url text: a single left-over symbol"},
      {"..AA", "Invalid base64url symbol"},
      {payload + ".", "Invalid token signature"},
      {"." + signature, "Invalid token signature"},
      {payload + "." + signature + "AA", "Invalid token signature"},
      {payload + ".A", "Invalid base64url text: a single left-over symbol"},
      {"QQ=." + signature, "Invalid base64url padding"},
      {"QQ===." + signature, "Invalid base64url padding"},
      {"Q=Q=." + signature, "Invalid base64url padding"},
      {"ab+/." + signature, "Invalid base64url symbol"},
      {payload + " ." + signature, "Invalid base64url symbol"},
      {payload + "." + signature + "\n", "Invalid base64url symbol"},
      {"AAAA\xC3\xA9"
       "AA." +
           signature,
       "Invalid base64url symbol"},
      {std::string(payload).append(1, '\0') + "." + signature, "Invalid base64url symbol"},
      {std::string(1 << 20, 'A') + "." + signature, "Invalid token signature"},
      {std::string(1 << 20, 'A'), "Invalid token signature"},
      {payload + "." + std::string(1 << 20, '_'), "Invalid token signature"},
  };
  for (const auto& [token, message] : cases) EXPECT_EQ(message, Check(token)) << token.substr(0, 60);
  EXPECT_EQ("authorised", Check(payload + "." + signature));

  ServeKey(TestTokens::Base64Url(TestTokens::kPublicKey) + "\n");
  EXPECT_EQ("Invalid base64url symbol", Check(payload + "." + signature));
}

TEST_F(UninstallTokenTest, PaddingMakesNoDifference) {
  const std::string payload = Payload("uninstall", now);
  EXPECT_EQ("authorised", Check(TestTokens::Token(payload, true)));
  EXPECT_EQ("authorised", Check(TestTokens::Token(payload, false)));
}

TEST_F(UninstallTokenTest, KeyMustBeThirtyTwoBytesFromAtMostOneKiBOfText) {
  ServeKey(TestTokens::Base64Url(TestTokens::kPublicKey.substr(0, 31)));
  EXPECT_EQ("Invalid token signature", Check(TestTokens::Token(Payload("uninstall", now))));
  ServeKey(std::string(kSignKeySizeLimit + 1, 'A'));
  EXPECT_EQ("Sign key is larger than 1 KiB", Check(TestTokens::Token(Payload("uninstall", now))));
}

TEST_F(UninstallTokenTest, KeyIsFetchedBeforeTheTokenIsLookedAt) {
  EXPECT_EQ("Missing token", Check(""));
  EXPECT_EQ(1, Double::Http::RequestCount(KeyUrl()));
  Double::Http::Serve(KeyUrl(), {503, ""});
  EXPECT_EQ("HTTP error 503", Check(""));
}

TEST_F(UninstallTokenTest, NoLoginIsRefusedWhileTheProductIsConfigured) {
  SetupFlags::Instance().noLogin = true;
  Double::Registry::SetValue(L"HKLM\\Software\\Valdrix", L"ConfigKey", std::wstring(L"k"));
  EXPECT_EQ("Config still exists", Check(TestTokens::Token(Payload("uninstall", now))));

  Double::Reset();
  SetupFlags::Instance().noLogin = true;
  EXPECT_EQ("authorised", Check("not even a token"));
  EXPECT_TRUE(HasLogLine("WARNING|Uninstalling through /nologin"));
  EXPECT_TRUE(Double::Http::Requests().empty());
}
