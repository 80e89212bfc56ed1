// The first of two byte values in a range, or the last of one (see
// byte_scan.h). With SSE2 each block of sixteen bytes is compared with both
// values at once and the comparison's mask gives the first hit (the last:
// blocks are read from the range's end back; the last of one value before
// the first of another: the masks of each block, forward). Without it, eight bytes are read as
// one word: a byte equal to a value leaves a zero byte in the word xor that
// value repeated, which the usual carry test finds.
#include "support/byte_scan.h"

#include <immintrin.h>

#include <cstring>

namespace {

constexpr uint64_t EVERY_BYTE_ONE = 0x0101010101010101ull;
constexpr uint64_t EVERY_BYTE_HIGH = 0x8080808080808080ull;

// Nonzero when one of the eight bytes of v is zero.
inline uint64_t hasZeroByte(uint64_t v) { return (v - EVERY_BYTE_ONE) & ~v & EVERY_BYTE_HIGH; }

[[gnu::target("sse2")]] const uint8_t* findEitherSse2(const uint8_t* from, const uint8_t* to,
                                                      uint8_t a, uint8_t b) {
  const __m128i manyA = _mm_set1_epi8(static_cast<char>(a));
  const __m128i manyB = _mm_set1_epi8(static_cast<char>(b));
  const uint8_t* p = from;
  for (; to - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const uint32_t hits = static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(block, manyA), _mm_cmpeq_epi8(block, manyB))));
    if (hits != 0) return p + __builtin_ctz(hits);
  }
  for (; p < to; ++p) {
    if (*p == a || *p == b) return p;
  }
  return nullptr;
}

[[gnu::target("sse2")]] const uint8_t* findLastSse2(const uint8_t* from, const uint8_t* to,
                                                    uint8_t a) {
  const __m128i manyA = _mm_set1_epi8(static_cast<char>(a));
  const uint8_t* p = to;
  for (; p - from >= 16; p -= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 16));
    const uint32_t hits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, manyA)));
    if (hits != 0) return p - 16 + (31 - __builtin_clz(hits));
  }
  if (to - from >= 16) {
    // The bytes left are the first block's, whose end the blocks read
    // already hold: a hit there lies before them.
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const uint32_t hits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, manyA)));
    return hits != 0 ? from + (31 - __builtin_clz(hits)) : nullptr;
  }
  while (p > from) {
    if (*--p == a) return p;
  }
  return nullptr;
}

[[gnu::target("sse2")]] const uint8_t* findNotingSse2(const uint8_t* from, const uint8_t* to,
                                                      uint8_t stop, uint8_t noted,
                                                      const uint8_t** lastNoted) {
  const __m128i manyStop = _mm_set1_epi8(static_cast<char>(stop));
  const __m128i manyNoted = _mm_set1_epi8(static_cast<char>(noted));
  const uint8_t* last = nullptr;
  const uint8_t* p = from;
  for (; to - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const uint32_t stops =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, manyStop)));
    uint32_t notes = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, manyNoted)));
    if (stops != 0) notes &= (stops & (0u - stops)) - 1;
    if (notes != 0) last = p + (31 - __builtin_clz(notes));
    if (stops != 0) {
      *lastNoted = last;
      return p + __builtin_ctz(stops);
    }
  }
  for (; p < to && *p != stop; ++p) {
    if (*p == noted) last = p;
  }
  *lastNoted = last;
  return p < to ? p : nullptr;
}

}  // namespace

const uint8_t* findEitherByte(const uint8_t* from, const uint8_t* to, uint8_t a, uint8_t b) {
  static const bool vectors = __builtin_cpu_supports("sse2");
  if (vectors) return findEitherSse2(from, to, a, b);
  const uint64_t manyA = EVERY_BYTE_ONE * a;
  const uint64_t manyB = EVERY_BYTE_ONE * b;
  const uint8_t* p = from;
  while (to - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if ((hasZeroByte(word ^ manyA) | hasZeroByte(word ^ manyB)) != 0) break;
    p += 8;
  }
  for (; p < to; ++p) {
    if (*p == a || *p == b) return p;
  }
  return nullptr;
}

const uint8_t* findLastByte(const uint8_t* from, const uint8_t* to, uint8_t a) {
  static const bool vectors = __builtin_cpu_supports("sse2");
  if (vectors) return findLastSse2(from, to, a);
  const uint64_t manyA = EVERY_BYTE_ONE * a;
  const uint8_t* p = to;
  while (p - from >= 8) {
    uint64_t word;
    std::memcpy(&word, p - 8, sizeof word);
    if (hasZeroByte(word ^ manyA) != 0) break;
    p -= 8;
  }
  while (p > from) {
    if (*--p == a) return p;
  }
  return nullptr;
}

const uint8_t* findByteNotingLast(const uint8_t* from, const uint8_t* to, uint8_t stop,
                                  uint8_t noted, const uint8_t** lastNoted) {
  static const bool vectors = __builtin_cpu_supports("sse2");
  if (vectors) return findNotingSse2(from, to, stop, noted, lastNoted);
  const uint8_t* last = nullptr;
  const uint8_t* p = from;
  for (; p < to && *p != stop; ++p) {
    if (*p == noted) last = p;
  }
  *lastNoted = last;
  return p < to ? p : nullptr;
}
