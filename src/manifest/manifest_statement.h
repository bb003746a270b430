#pragma once
// The signed statement about the update manifest, published beside it at
// "/update/v2/windows.json.sig". A setup built with a manifest key accepts the
// manifest only when a statement signed by that key vouches for its exact bytes.
//
// The document is text, each line ended by "\n", in this order:
//   valdrix-manifest-statement 1                 purpose and format version
//   sha256 <64 lowercase hex>                    of the exact windows.json bytes
//   serial <decimal>                             never lower than one accepted before
//   expires <decimal seconds since 1970, UTC>
//   signature <key id> <base64url signature>     one or more
// The signed bytes are the first four lines, each with its "\n". The purpose
// line keeps a signature over them from ever passing for an uninstall token
// (and nothing signed holds a ":", the token payload's separator).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ManifestStatement {

inline constexpr char kPurposeLine[] = "valdrix-manifest-statement 1";
// A statement is a few hundred bytes; several signatures fit easily.
inline constexpr size_t kMaxSize = size_t{16} * 1024;

struct Signature {
  std::string keyId;  // 16 lowercase hex characters
  std::string bytes;  // 64 bytes
};

struct Statement {
  std::string sha256;
  int64_t serial = 0;
  int64_t expires = 0;
  std::vector<Signature> signatures;
  std::string signedPart;
};

// The bytes a signature covers.
std::string SignedPart(std::string_view sha256, int64_t serial, int64_t expires);
// The key id: the first 8 bytes of the SHA-256 of the raw 32-byte key, in hex.
std::string KeyId(std::string_view publicKey);
// "2026-12-09 16:40:12 UTC"; outside years 1970-9999 the number of seconds.
std::string UtcText(int64_t seconds);

// Throws std::runtime_error "Manifest statement is malformed: ..." for any
// departure from the format.
Statement Parse(std::string_view text);

// Accepts `manifest` (its exact bytes) with the statement at time `now`, for a
// machine that has accepted serials up to `highestSerial`, with the built-in
// raw public keys; returns the statement. Throws std::runtime_error with the
// refusal: malformed, no valid signature by a built-in key, digest mismatch,
// expired, serial lower than the highest accepted, in that order of checking.
Statement Check(std::string_view manifest, std::string_view statement, const std::vector<std::string>& keys,
                int64_t now, int64_t highestSerial);

}  // namespace ManifestStatement
