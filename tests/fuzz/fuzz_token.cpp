// The uninstall token check against hostile tokens and keys. The first byte
// picks what the rest of the input is:
//   0: the whole token text, checked with the real key: it must never pass;
//   1: a payload that the test key signs: the outcome must follow the type
//      and age rules, worked out here from the payload independently;
//   2: the key text, with a properly signed fresh token: it passes only when
//      the text decodes to the signing key.
// Every refusal is one of the check's own texts or the decoder's error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/base64url.h"
#include "engine/ed25519.h"
#include "engine/uninstall_token.h"
#include "unit/token_signer.h"

namespace {

constexpr int64_t kNow = 1760000000;

bool KnownRefusal(std::string_view text) {
  for (const char* known :
       {"Invalid token signature", "Invalid token type", "Token expired", "Token is dated in the future",
        "Invalid base64url symbol", "Invalid base64url padding", "Invalid base64url text: a single left-over symbol"}) {
    if (text == known) return true;
  }
  return false;
}

// The outcome the rules give: field 0 must be "uninstall", field 2 read as a C
// string by the C runtime must be at most 300 seconds old and at most 300
// seconds ahead.
std::string ExpectedOutcome(const std::string& payload) {
  const std::string text(payload.c_str());  // a zero byte ends the text
  std::string fields[3];
  size_t at = 0;
  for (int i = 0; i < 3 && at <= text.size(); ++i) {
    const size_t colon = std::min(text.find(':', at), text.size());
    fields[i] = text.substr(at, colon - at);
    at = colon + 1;
  }
  if (fields[0] != "uninstall") return "Invalid token type";
  const long long issued = std::strtoll(fields[2].c_str(), nullptr, 10);
  if (static_cast<__int128>(kNow) - issued >= 301) return "Token expired";
  return static_cast<__int128>(issued) - kNow > 300 ? "Token is dated in the future" : "";
}

std::string Outcome(std::string_view token, std::string_view key) {
  try {
    UninstallToken::CheckToken(token, key, "uninstall", kNow);
  } catch (const std::runtime_error& error) {
    if (!KnownRefusal(error.what())) std::abort();
    return error.what();
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  static const std::string key = TestTokens::Base64Url(TestTokens::kPublicKey);
  switch (data[0] % 3) {
    case 0:
      if (Outcome(rest, key).empty()) std::abort();
      break;
    case 1:
      // The test signer shares the library's S-expression limit.
      if (rest.size() > Ed25519::kMaxMessageSize) break;
      if (Outcome(TestTokens::Token(rest, size % 2 == 0), key) != ExpectedOutcome(rest)) std::abort();
      break;
    default: {
      static const std::string token = TestTokens::Token("uninstall:device:" + std::to_string(kNow));
      if (Outcome(token, rest).empty()) {
        if (Base64Url::Decode(rest) != TestTokens::kPublicKey) std::abort();
      }
    }
  }
  return 0;
}
