#include "engine/base64url.h"

#include <stdexcept>

namespace Base64Url {
namespace {

int SymbolValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

}  // namespace

std::string Decode(std::string_view text) {
  size_t symbols = text.size();
  while (symbols > 0 && text[symbols - 1] == '=') --symbols;
  const size_t padding = text.size() - symbols;
  if (symbols % 4 == 1) throw std::runtime_error("Invalid base64url text: a single left-over symbol");
  if (padding > 0 && (padding > 2 || text.size() % 4 != 0)) throw std::runtime_error("Invalid base64url padding");

  std::string bytes;
  bytes.reserve(symbols * 3 / 4);
  uint32_t buffer = 0;
  int bits = 0;
  for (size_t i = 0; i < symbols; ++i) {
    const int value = SymbolValue(text[i]);
    if (value < 0) {
      throw std::runtime_error(text[i] == '=' ? "Invalid base64url padding" : "Invalid base64url symbol");
    }
    buffer = (buffer << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return bytes;
}

}  // namespace Base64Url
