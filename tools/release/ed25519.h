#pragma once
// Ed25519 (RFC 8032, pure) through libgcrypt: key pairs for the sign key and
// signatures for uninstall tokens. Keys and signatures are raw byte strings.
#include <string>
#include <string_view>

namespace Release {

struct KeyPair {
  std::string seed;       // 32 bytes: the private key
  std::string publicKey;  // 32 bytes
};

KeyPair GenerateKeyPair();
// 64-byte signature of message. publicKey may be empty; libgcrypt then
// derives it from the seed.
std::string Sign(const KeyPair& key, std::string_view message);
bool Verify(std::string_view publicKey, std::string_view message, std::string_view signature);

}  // namespace Release
