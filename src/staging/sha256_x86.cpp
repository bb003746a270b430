// SHA-256 rounds on the x86 SHA extensions (sha256rnds2, sha256msg1/2): the
// state is kept as the ABEF and CDGH halves those instructions work on.
#include "staging/sha256_blocks.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>

namespace Sha256Blocks {
namespace {

bool CpuHasSha() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c >> 9) & 1, sse41 = (c >> 19) & 1;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return ssse3 && sse41 && ((b >> 29) & 1);
}

__attribute__((target("sha,sse4.1"))) void ShaNi(uint32_t state[8], const uint8_t* data, size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefStart = abef, cdghStart = cdgh;
    __m128i w[4];
#pragma GCC unroll 16
    for (size_t group = 0; group < 16; ++group) {
      __m128i& current = w[group & 3];
      if (group < 4) {
        current = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
      }
      __m128i message = _mm_add_epi32(current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      if (group >= 3 && group <= 14) {
        // Finishes the schedule words of the next group.
        __m128i& next = w[(group + 1) & 3];
        next = _mm_add_epi32(next, _mm_alignr_epi8(current, w[(group + 3) & 3], 4));
        next = _mm_sha256msg2_epu32(next, current);
      }
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
      if (group >= 1 && group <= 12) {
        __m128i& previous = w[(group + 3) & 3];
        previous = _mm_sha256msg1_epu32(previous, current);
      }
    }
    abef = _mm_add_epi32(abef, abefStart);
    cdgh = _mm_add_epi32(cdgh, cdghStart);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace

Function Accelerated() {
  static const bool available = CpuHasSha();
  return available ? &ShaNi : nullptr;
}

}  // namespace Sha256Blocks

#else

namespace Sha256Blocks {
Function Accelerated() { return nullptr; }
}  // namespace Sha256Blocks

#endif
