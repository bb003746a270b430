#include "engine/ed25519.h"

#include <gcrypt.h>

#include <mutex>

namespace Ed25519 {
namespace {

void InitializeLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  });
}

// Owner of one S-expression.
class Sexp {
 public:
  Sexp() = default;
  ~Sexp() { gcry_sexp_release(sexp_); }
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  gcry_sexp_t* Out() { return &sexp_; }
  gcry_sexp_t Get() const { return sexp_; }

 private:
  gcry_sexp_t sexp_ = nullptr;
};

// A zero-length %b argument needs a valid pointer.
const char* DataOf(std::string_view bytes) { return bytes.empty() ? "" : bytes.data(); }

}  // namespace

bool Verify(std::string_view signature, std::string_view publicKey, std::string_view message) {
  if (signature.size() != kSignatureSize || publicKey.size() != kPublicKeySize) return false;
  if (message.size() > kMaxMessageSize) return false;
  InitializeLibrary();
  Sexp key, data, sig;
  if (gcry_sexp_build(key.Out(), nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      static_cast<int>(publicKey.size()), publicKey.data()) != 0) {
    return false;
  }
  if (gcry_sexp_build(data.Out(), nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(message.size()), DataOf(message)) != 0) {
    return false;
  }
  if (gcry_sexp_build(sig.Out(), nullptr, "(sig-val (eddsa (r %b)(s %b)))", 32, signature.data(), 32,
                      signature.data() + 32) != 0) {
    return false;
  }
  return gcry_pk_verify(sig.Get(), data.Get(), key.Get()) == 0;
}

}  // namespace Ed25519
