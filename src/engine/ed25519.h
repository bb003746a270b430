#pragma once
// Pure Ed25519 signature check as in RFC 8032 (SHA-512), through libgcrypt.
#include <string_view>

namespace Ed25519 {

inline constexpr size_t kPublicKeySize = 32;
inline constexpr size_t kSignatureSize = 64;

// True when `signature` (64 bytes) is a valid signature of `message` by
// `publicKey` (32 bytes). Wrong sizes and malformed keys are false.
bool Verify(std::string_view signature, std::string_view publicKey, std::string_view message);

}  // namespace Ed25519
