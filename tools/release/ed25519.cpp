#include "ed25519.h"

#include "engine/ed25519.h"

#include <gcrypt.h>

#include <fmt/format.h>

#include <memory>
#include <stdexcept>

namespace Release {

namespace {

struct SexpDeleter {
  void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using Sexp = std::unique_ptr<gcry_sexp, SexpDeleter>;

void EnsureLibrary() {
  static const bool ready = [] {
    if (!gcry_check_version(GCRYPT_VERSION)) throw std::runtime_error("libgcrypt version mismatch");
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)ready;
}

void Check(gcry_error_t error, const char* what) {
  if (error) throw std::runtime_error(fmt::format("{}: {}", what, gcry_strerror(error)));
}

// Raw bytes of the first data element after token name inside sexp.
std::string TokenData(gcry_sexp_t sexp, const char* name) {
  Sexp token(gcry_sexp_find_token(sexp, name, 0));
  if (!token) throw std::runtime_error(fmt::format("Ed25519 result lacks \"{}\"", name));
  size_t length = 0;
  const char* data = gcry_sexp_nth_data(token.get(), 1, &length);
  if (!data) throw std::runtime_error(fmt::format("Ed25519 result has an empty \"{}\"", name));
  return std::string(data, length);
}

// libgcrypt may prefix a compressed point with 0x40 and may drop leading zero
// bytes of a scalar; both are normalised to 32 bytes.
std::string Normalize32(std::string bytes) {
  if (bytes.size() == 33 && static_cast<unsigned char>(bytes[0]) == 0x40) bytes.erase(0, 1);
  if (bytes.size() > 32) throw std::runtime_error("Ed25519 value longer than 32 bytes");
  return std::string(32 - bytes.size(), '\0') + bytes;
}

void RequireSize(std::string_view bytes, size_t size, const char* what) {
  if (bytes.size() != size)
    throw std::runtime_error(fmt::format("{} must be {} bytes, not {}", what, size, bytes.size()));
}

}  // namespace

KeyPair GenerateKeyPair() {
  EnsureLibrary();
  gcry_sexp_t raw = nullptr;
  Check(gcry_sexp_build(&raw, nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))"), "Unable to describe key");
  Sexp params(raw);
  gcry_sexp_t rawKey = nullptr;
  Check(gcry_pk_genkey(&rawKey, params.get()), "Unable to generate Ed25519 key");
  Sexp key(rawKey);
  Sexp privateKey(gcry_sexp_find_token(key.get(), "private-key", 0));
  if (!privateKey) throw std::runtime_error("Generated key has no private part");
  return {Normalize32(TokenData(privateKey.get(), "d")), Normalize32(TokenData(privateKey.get(), "q"))};
}

std::string Sign(const KeyPair& key, std::string_view message) {
  EnsureLibrary();
  RequireSize(key.seed, 32, "Private key");
  gcry_sexp_t raw = nullptr;
  if (key.publicKey.empty()) {
    Check(gcry_sexp_build(&raw, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (d %b)))",
                          static_cast<int>(key.seed.size()), key.seed.data()),
          "Unable to load private key");
  } else {
    RequireSize(key.publicKey, 32, "Public key");
    Check(gcry_sexp_build(&raw, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
                          static_cast<int>(key.publicKey.size()), key.publicKey.data(),
                          static_cast<int>(key.seed.size()), key.seed.data()),
          "Unable to load private key");
  }
  Sexp privateKey(raw);
  gcry_sexp_t rawData = nullptr;
  Check(gcry_sexp_build(&rawData, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        static_cast<int>(message.size()), message.data()),
        "Unable to describe message");
  Sexp data(rawData);
  gcry_sexp_t rawSignature = nullptr;
  Check(gcry_pk_sign(&rawSignature, data.get(), privateKey.get()), "Unable to sign");
  Sexp signature(rawSignature);
  return Normalize32(TokenData(signature.get(), "r")) + Normalize32(TokenData(signature.get(), "s"));
}

bool Verify(std::string_view publicKey, std::string_view message, std::string_view signature) {
  // The setup's own check, so a token is verified exactly as the setup will.
  return Ed25519::Verify(signature, publicKey, message);
}

}  // namespace Release
