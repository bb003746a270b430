#pragma once
// The SHA-256 compression function over whole 64-byte blocks: the portable
// one, and the one on the CPU's SHA instructions, picked once at run time.
#include <cstddef>
#include <cstdint>

namespace Sha256Blocks {

extern const uint32_t kRound[64];

void Portable(uint32_t state[8], const uint8_t* data, size_t blocks);
// Null when the CPU lacks the SHA extensions (or this is not x86-64).
using Function = void (*)(uint32_t state[8], const uint8_t* data, size_t blocks);
Function Accelerated();

inline Function Best() {
  static const Function best = Accelerated() != nullptr ? Accelerated() : &Portable;
  return best;
}

}  // namespace Sha256Blocks
