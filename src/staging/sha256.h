#pragma once
// SHA-256 (FIPS 180-4), fed while a download is written.
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  // 64 lowercase hexadecimal characters; does not disturb the running state.
  std::string HexDigest() const;

 private:
  uint64_t total_ = 0;    // bytes already compressed (multiple of 64)
  uint64_t pending_ = 0;  // bytes waiting in block_
  uint8_t block_[64] = {};
  uint32_t state_[8];
};
