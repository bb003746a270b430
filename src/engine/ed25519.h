#pragma once
// Pure Ed25519 signature check as in RFC 8032 (SHA-512), through libgcrypt.
#include <string_view>

namespace Ed25519 {

inline constexpr size_t kPublicKeySize = 32;
inline constexpr size_t kSignatureSize = 64;
// libgcrypt keeps S-expression lengths in 16 bits and aborts the process on a
// message near 64 KiB. Signed messages here (token payloads) are a few dozen
// bytes, so anything above this is refused as not verifying.
inline constexpr size_t kMaxMessageSize = size_t{32} * 1024;

// True when `signature` (64 bytes) is a valid signature of `message` by
// `publicKey` (32 bytes). Wrong sizes, over-long messages and malformed keys
// are false.
bool Verify(std::string_view signature, std::string_view publicKey, std::string_view message);

}  // namespace Ed25519
