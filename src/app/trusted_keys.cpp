#include "app/trusted_keys.h"

#include <fmt/format.h>

#include <stdexcept>

#include "engine/base64url.h"
#include "engine/ed25519.h"

namespace {

std::string DecodeKey(std::string_view text) {
  std::string key;
  try {
    key = Base64Url::Decode(text);
  } catch (const std::exception&) {
  }
  if (key.size() != Ed25519::kPublicKeySize)
    throw std::runtime_error(fmt::format("Built-in key \"{}\" is not a 32-byte base64url key", text));
  return key;
}

}  // namespace

TrustedKeys& TrustedKeys::Instance() {
  static TrustedKeys keys;
  return keys;
}

TrustedKeys TrustedKeys::FromText(std::string_view manifestKeys, std::string_view tokenKey) {
  TrustedKeys keys;
  constexpr std::string_view kSeparators = "; ,\t\r\n";
  for (size_t start = manifestKeys.find_first_not_of(kSeparators); start != std::string_view::npos;) {
    const size_t end = std::min(manifestKeys.find_first_of(kSeparators, start), manifestKeys.size());
    keys.manifest.push_back(DecodeKey(manifestKeys.substr(start, end - start)));
    start = manifestKeys.find_first_not_of(kSeparators, end);
  }
  if (!tokenKey.empty()) {
    DecodeKey(tokenKey);
    keys.tokenText = std::string(tokenKey);
  }
  return keys;
}
