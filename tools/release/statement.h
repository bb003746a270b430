#pragma once
// The manifest's signed statement (windows.json.sig), written and checked
// with the setup's own reader (manifest/manifest_statement.h).
#include <cstdint>
#include <string>
#include <vector>

#include "ed25519.h"

namespace Release {

// A private key file's text: base64url of the 32-byte seed, optionally
// followed by the 32-byte public key (as keygen writes it).
KeyPair ReadPrivateKey(const std::string& text);
// A public key file's text; throws unless it is a 32-byte key.
std::string ReadPublicKey(const std::string& text);

// "--expires": a duration from `now` ("30d", "12h", "90m", "600s") or a time
// in UTC ("2027-01-31" or "2027-01-31T12:00:00Z"). Seconds since 1970.
int64_t ParseExpiry(const std::string& text, int64_t now);

// The statement for these exact manifest bytes, signed by every key.
std::string MakeStatement(const std::string& manifest, const std::vector<KeyPair>& keys, int64_t serial,
                          int64_t expires);

}  // namespace Release
