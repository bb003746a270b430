#include "base64url.h"

#include "engine/base64url.h"

#include <stdexcept>

namespace Release {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

}  // namespace

std::string EncodeBase64Url(std::string_view bytes) {
  std::string out;
  uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char byte : bytes) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kAlphabet[(buffer >> bits) & 0x3F];
    }
  }
  if (bits > 0) out += kAlphabet[(buffer << (6 - bits)) & 0x3F];
  return out;
}

// The setup's own decoder: what the tool accepts, the setup accepts.
std::string DecodeBase64Url(std::string_view text) { return Base64Url::Decode(text); }

}  // namespace Release
