#pragma once
// The public keys built into this setup. Without them the manifest rests on
// TLS alone and uninstall tokens are checked with the key the API server
// publishes; with a manifest key the manifest must come with a statement it
// signed, and with a token key no key is fetched.
#include <string>
#include <string_view>
#include <vector>

struct TrustedKeys {
  std::vector<std::string> manifest;  // raw 32-byte Ed25519 keys; several during a rotation
  std::string tokenText;              // base64url, as /api/signkey serves it; empty: fetched

  // Written once at start-up, before the run.
  static TrustedKeys& Instance();
  // From the key texts compiled in, as `valdrix-release keygen` writes public
  // keys; manifest keys are separated by ";", "," or blanks. Throws
  // std::runtime_error for a text that is not a 32-byte key.
  static TrustedKeys FromText(std::string_view manifestKeys, std::string_view tokenKey);
};
