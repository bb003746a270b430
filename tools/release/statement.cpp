#include "statement.h"

#include <fmt/format.h>

#include <ctime>
#include <regex>
#include <stdexcept>

#include "base64url.h"
#include "manifest/manifest_statement.h"
#include "staging/sha256.h"

namespace Release {

KeyPair ReadPrivateKey(const std::string& text) {
  const std::string raw = DecodeBase64Url(text);
  if (raw.size() == 64) return {raw.substr(0, 32), raw.substr(32)};
  if (raw.size() == 32) return {raw, ""};
  throw std::runtime_error(fmt::format("Private key must hold 32 or 64 bytes, not {}", raw.size()));
}

std::string ReadPublicKey(const std::string& text) {
  std::string raw = DecodeBase64Url(text);
  if (raw.size() != 32) throw std::runtime_error(fmt::format("Public key must hold 32 bytes, not {}", raw.size()));
  return raw;
}

int64_t ParseExpiry(const std::string& text, int64_t now) {
  std::smatch match;
  if (std::regex_match(text, match, std::regex(R"(([0-9]{1,6})([smhd]))"))) {
    const int64_t unit = match[2] == "s" ? 1 : match[2] == "m" ? 60 : match[2] == "h" ? 3600 : 86400;
    return now + std::stoll(match[1]) * unit;
  }
  if (std::regex_match(text, match,
                       std::regex(R"(([0-9]{4})-([0-9]{2})-([0-9]{2})(T([0-9]{2}):([0-9]{2}):([0-9]{2})Z)?)"))) {
    std::tm time{};
    time.tm_year = std::stoi(match[1]) - 1900;
    time.tm_mon = std::stoi(match[2]) - 1;
    time.tm_mday = std::stoi(match[3]);
    if (match[4].matched) {
      time.tm_hour = std::stoi(match[5]);
      time.tm_min = std::stoi(match[6]);
      time.tm_sec = std::stoi(match[7]);
    }
    const std::tm given = time;
    const int64_t seconds = timegm(&time);
    // timegm normalises; a date that moved (February 30th) was not a date.
    if (time.tm_mday != given.tm_mday || time.tm_mon != given.tm_mon || time.tm_hour != given.tm_hour ||
        time.tm_min != given.tm_min || time.tm_sec != given.tm_sec)
      throw std::runtime_error(fmt::format("--expires \"{}\" is not a valid time", text));
    return seconds;
  }
  throw std::runtime_error(
      fmt::format("--expires \"{}\" is neither a duration (30d, 12h, 90m, 600s) nor a UTC time (2027-01-31, "
                  "2027-01-31T12:00:00Z)",
                  text));
}

std::string MakeStatement(const std::string& manifest, const std::vector<KeyPair>& keys, int64_t serial,
                          int64_t expires) {
  if (keys.empty()) throw std::runtime_error("A statement needs at least one key");
  Sha256 hash;
  hash.Update(manifest.data(), manifest.size());
  const std::string signedPart = ManifestStatement::SignedPart(hash.HexDigest(), serial, expires);
  std::string statement = signedPart;
  for (const KeyPair& key : keys) {
    // The key id is of the public key, which a bare 32-byte seed lacks.
    if (key.publicKey.empty())
      throw std::runtime_error("A manifest key must hold seed and public key, as keygen writes it");
    statement += fmt::format("signature {} {}\n", ManifestStatement::KeyId(key.publicKey),
                             EncodeBase64Url(Sign(key, signedPart)));
  }
  return statement;
}

}  // namespace Release
