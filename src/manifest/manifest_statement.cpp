#include "manifest/manifest_statement.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "engine/base64url.h"
#include "engine/ed25519.h"
#include "staging/sha256.h"

namespace ManifestStatement {
namespace {

[[noreturn]] void Malformed(std::string_view detail) {
  throw std::runtime_error(fmt::format("Manifest statement is malformed: {}", detail));
}

bool IsLowerHex(std::string_view text, size_t size) {
  return text.size() == size &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// 1 to 18 decimal digits: always within 64 bits, no sign, no blanks, and no
// leading zero, so that each value has one text and the text is what was signed.
bool ReadDecimal(std::string_view text, int64_t& value) {
  if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// The line's value after "<name> ", or a malformed statement.
std::string_view Value(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || !line.starts_with(name) || line[name.size()] != ' ')
    Malformed(fmt::format("expected a \"{}\" line", name));
  return line.substr(name.size() + 1);
}

int64_t DecimalValue(std::string_view line, std::string_view name) {
  int64_t value = 0;
  if (!ReadDecimal(Value(line, name), value)) Malformed(fmt::format("\"{}\" is not a decimal number", name));
  return value;
}

Signature ReadSignature(std::string_view line) {
  const std::string_view value = Value(line, "signature");
  const size_t blank = value.find(' ');
  Signature signature;
  signature.keyId = std::string(value.substr(0, blank));
  if (blank == std::string_view::npos || !IsLowerHex(signature.keyId, 16))
    Malformed("a signature's key id is not 16 lowercase hexadecimal characters");
  try {
    signature.bytes = Base64Url::Decode(value.substr(blank + 1));
  } catch (const std::exception&) {
    Malformed("a signature is not base64url");
  }
  if (signature.bytes.size() != Ed25519::kSignatureSize) Malformed("a signature is not 64 bytes");
  return signature;
}

std::string KeyIds(const std::vector<std::string>& ids) {
  std::string text;
  for (const std::string& id : ids) text += (text.empty() ? "" : ", ") + id;
  return text.empty() ? "none" : text;
}

}  // namespace

std::string SignedPart(std::string_view sha256, int64_t serial, int64_t expires) {
  return fmt::format("{}\nsha256 {}\nserial {}\nexpires {}\n", kPurposeLine, sha256, serial, expires);
}

std::string KeyId(std::string_view publicKey) {
  Sha256 hash;
  hash.Update(publicKey.data(), publicKey.size());
  return hash.HexDigest().substr(0, 16);
}

std::string UtcText(int64_t seconds) {
  constexpr int64_t kYear10000 = 253402300800;
  if (seconds < 0 || seconds >= kYear10000) return fmt::format("{} seconds since 1970", seconds);
  using namespace std::chrono;
  const sys_seconds time{std::chrono::seconds(seconds)};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02} UTC", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), clock.hours().count(),
                     clock.minutes().count(), clock.seconds().count());
}

Statement Parse(std::string_view text) {
  if (text.size() > kMaxSize) Malformed(fmt::format("larger than {} bytes", kMaxSize));
  if (text.empty() || text.back() != '\n') Malformed("does not end with a line end");
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (lines[0] != kPurposeLine) Malformed(fmt::format("the first line is not \"{}\"", kPurposeLine));
  if (lines.size() < 5) Malformed("no signature");
  Statement statement;
  statement.sha256 = std::string(Value(lines[1], "sha256"));
  if (!IsLowerHex(statement.sha256, 64)) Malformed("\"sha256\" is not 64 lowercase hexadecimal characters");
  statement.serial = DecimalValue(lines[2], "serial");
  statement.expires = DecimalValue(lines[3], "expires");
  for (size_t i = 4; i < lines.size(); ++i) statement.signatures.push_back(ReadSignature(lines[i]));
  statement.signedPart = SignedPart(statement.sha256, statement.serial, statement.expires);
  return statement;
}

Statement Check(std::string_view manifest, std::string_view text, const std::vector<std::string>& keys, int64_t now,
                int64_t highestSerial) {
  Statement statement = Parse(text);
  std::vector<std::string> builtIn, offered;
  bool verified = false;
  for (const std::string& key : keys) {
    builtIn.push_back(KeyId(key));
    for (const Signature& signature : statement.signatures) {
      if (signature.keyId == builtIn.back() && Ed25519::Verify(signature.bytes, key, statement.signedPart))
        verified = true;
    }
  }
  if (!verified) {
    for (const Signature& signature : statement.signatures) offered.push_back(signature.keyId);
    throw std::runtime_error(
        fmt::format("Manifest statement carries no valid signature by a built-in key (built-in: {}; signed by: {})",
                    KeyIds(builtIn), KeyIds(offered)));
  }
  Sha256 hash;
  hash.Update(manifest.data(), manifest.size());
  if (const std::string digest = hash.HexDigest(); digest != statement.sha256) {
    throw std::runtime_error(
        fmt::format("Manifest does not match its statement (SHA-256 {}, statement {})", digest, statement.sha256));
  }
  if (now >= statement.expires) {
    throw std::runtime_error(fmt::format("Manifest statement expired at {}; this machine's time is {}",
                                         UtcText(statement.expires), UtcText(now)));
  }
  if (statement.serial < highestSerial) {
    throw std::runtime_error(
        fmt::format("Manifest statement serial {} is lower than {}, the highest this machine has accepted",
                    statement.serial, highestSerial));
  }
  return statement;
}

}  // namespace ManifestStatement
