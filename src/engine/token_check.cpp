#include <limits>
#include <stdexcept>
#include <string>

#include "engine/base64url.h"
#include "engine/ed25519.h"
#include "engine/uninstall_token.h"

namespace UninstallToken {
namespace {

constexpr int64_t kMaximumAgeSeconds = 300;
// A token dated later than this is refused: it would otherwise stay valid
// until its date, and a token dated far ahead would never expire. The same
// span covers a clock that is a little behind the issuer's.
constexpr int64_t kMaximumLeadSeconds = 300;

}  // namespace

std::string_view Field(std::string_view payload, int index) {
  const size_t end = payload.find('\0');
  if (end != std::string_view::npos) payload = payload.substr(0, end);
  for (int i = 0; i < index; ++i) {
    const size_t colon = payload.find(':');
    if (colon == std::string_view::npos) return {};
    payload.remove_prefix(colon + 1);
  }
  return payload.substr(0, payload.find(':'));
}

int64_t ParseIssueTime(std::string_view field) {
  size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t value = 0;
  bool saturated = false;
  for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
    const int digit = field[i] - '0';
    if (value > (kMax - digit) / 10) saturated = true;
    if (!saturated) value = value * 10 + digit;
  }
  if (saturated) return negative ? std::numeric_limits<int64_t>::min() : kMax;
  return negative ? -value : value;
}

void CheckToken(std::string_view token, std::string_view keyText, const char* expectedType, int64_t now) {
  std::string payload;
  std::string signature(Ed25519::kSignatureSize, '\0');
  const size_t dot = token.find('.');
  if (dot != std::string::npos) {
    payload = Base64Url::Decode(token.substr(0, dot));
    const std::string decoded = Base64Url::Decode(token.substr(dot + 1));
    if (decoded.size() == Ed25519::kSignatureSize) signature = decoded;
  }
  const std::string key = Base64Url::Decode(keyText);
  if (key.size() != Ed25519::kPublicKeySize || !Ed25519::Verify(signature, key, payload)) {
    throw std::runtime_error("Invalid token signature");
  }
  if (expectedType && Field(payload, 0) != expectedType) {
    throw std::runtime_error("Invalid token type");
  }
  const int64_t issued = ParseIssueTime(Field(payload, 2));
  // now - issued < 301 and issued - now <= 300, written so that no value of
  // `issued` can overflow.
  if (issued <= now - (kMaximumAgeSeconds + 1)) throw std::runtime_error("Token expired");
  if (issued > now + kMaximumLeadSeconds) throw std::runtime_error("Token is dated in the future");
}

}  // namespace UninstallToken
