#include "staging/sha256.h"

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Hex(const std::string& data) {
  Sha256 digest;
  digest.Update(data.data(), data.size());
  return digest.HexDigest();
}

std::string Reference(const std::vector<uint8_t>& data) {
  static const bool ready = gcry_check_version(nullptr) != nullptr;
  EXPECT_TRUE(ready);
  unsigned char out[32];
  gcry_md_hash_buffer(GCRY_MD_SHA256, out, data.data(), data.size());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : out) text += {kHex[byte >> 4], kHex[byte & 15]};
  return text;
}

// Feeds the data in pieces of random sizes, so block boundaries fall
// anywhere in an update.
std::string Split(const std::vector<uint8_t>& data, std::mt19937& random) {
  Sha256 digest;
  size_t at = 0;
  while (at < data.size()) {
    const size_t piece = std::min<size_t>(data.size() - at, random() % 3 == 0 ? random() % 300 : random() % 70);
    digest.Update(data.data() + at, piece);
    at += piece;
  }
  return digest.HexDigest();
}

std::vector<uint8_t> RandomBytes(size_t size, std::mt19937& random) {
  std::vector<uint8_t> data(size);
  for (auto& byte : data) byte = static_cast<uint8_t>(random());
  return data;
}

}  // namespace

TEST(Sha256, StandardVectors) {
  EXPECT_EQ(Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, DigestCanBeTakenTwiceAndHashingGoesOn) {
  Sha256 digest;
  digest.Update("ab", 2);
  const std::string first = digest.HexDigest();
  EXPECT_EQ(digest.HexDigest(), first);
  digest.Update("c", 1);
  EXPECT_EQ(digest.HexDigest(), Hex("abc"));
}

TEST(Sha256, MatchesLibgcryptForEveryLengthUpTo300SplitAnywhere) {
  std::mt19937 random(20251023);
  for (size_t length = 0; length <= 300; ++length) {
    const auto data = RandomBytes(length, random);
    ASSERT_EQ(Split(data, random), Reference(data)) << "length " << length;
  }
}

TEST(Sha256, MatchesLibgcryptForSeveralMebibytes) {
  std::mt19937 random(7);
  for (size_t length : {size_t{1} << 20, (size_t{3} << 20) + 13}) {
    const auto data = RandomBytes(length, random);
    Sha256 whole;
    whole.Update(data.data(), data.size());
    const std::string expected = Reference(data);
    EXPECT_EQ(whole.HexDigest(), expected);
    EXPECT_EQ(Split(data, random), expected);
  }
}
