#pragma once
// Mints uninstall tokens for the tests: Ed25519 signatures made with
// libgcrypt from a fixed seed, and base64url text.
#include <gcrypt.h>

#include <stdexcept>
#include <string>

namespace TestTokens {

inline std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

inline std::string Base64Url(const std::string& bytes, bool pad = false) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text.push_back(kAlphabet[(n >> shift) & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = uint8_t(bytes[i]) << 16;
    if (rest == 2) n |= uint8_t(bytes[i + 1]) << 8;
    text.push_back(kAlphabet[(n >> 18) & 63]);
    text.push_back(kAlphabet[(n >> 12) & 63]);
    if (rest == 2) text.push_back(kAlphabet[(n >> 6) & 63]);
    if (pad) text.append(rest == 1 ? "==" : "=");
  }
  return text;
}

// The key pair of RFC 8032's first test vector.
inline const std::string kSeed = FromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
inline const std::string kPublicKey = FromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");

inline std::string TokenPart(gcry_sexp_t sig, const char* name) {
  gcry_sexp_t token = gcry_sexp_find_token(sig, name, 0);
  size_t length = 0;
  const char* data = token ? gcry_sexp_nth_data(token, 1, &length) : nullptr;
  std::string part = data ? std::string(data, length) : std::string();
  gcry_sexp_release(token);
  if (part.size() != 32) throw std::runtime_error("unexpected signature part size");
  return part;
}

inline std::string Sign(const std::string& message) {
  gcry_check_version(nullptr);
  gcry_sexp_t key = nullptr, data = nullptr, sig = nullptr;
  gcry_sexp_build(&key, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
                  static_cast<int>(kPublicKey.size()), kPublicKey.data(), static_cast<int>(kSeed.size()), kSeed.data());
  gcry_sexp_build(&data, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                  static_cast<int>(message.size()), message.empty() ? "" : message.data());
  const gcry_error_t error = gcry_pk_sign(&sig, data, key);
  std::string signature;
  if (!error) signature = TokenPart(sig, "r") + TokenPart(sig, "s");
  gcry_sexp_release(sig);
  gcry_sexp_release(data);
  gcry_sexp_release(key);
  if (error) throw std::runtime_error("gcry_pk_sign failed");
  return signature;
}

inline std::string Token(const std::string& payload, bool pad = false) {
  return Base64Url(payload, pad) + "." + Base64Url(Sign(payload), pad);
}

}  // namespace TestTokens
