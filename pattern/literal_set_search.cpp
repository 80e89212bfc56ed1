// A vectorised search for the first start of any of a few short literals.
//
// Each literal is probed by two of its bytes, the rarest two by a table of
// byte frequencies in program and prose text (a literal of one byte by that
// byte twice). A block of 16 (SSE2) or 32 (AVX2) candidate starts is read at
// each literal's two probe offsets and compared with the probe bytes; under
// ignore case a letter's two forms are both compared, and a position whose
// byte has more than two forms is not chosen as a probe. The positions where
// both probes of some literal agree are verified whole, in text order, so
// the first start of any literal is found without looking at the others
// again; the few starts too near the end for a whole block are tried one by
// one. A set of one literal, and a set whose literals all share one probe
// (the case variants of a word), have block loops of their own that compare
// each probe once, as one comparison where the probe's two forms differ in
// one bit; any other set has a loop for its count of literals, so that every
// probe stays in a register. Which of the loops a set takes is settled when
// its probes are. The kernel is chosen once at run time by supportedLiteralScanner,
// which the literal search's candidate filter uses too. The search reads
// nothing at or after `end`, or, when the caller says that the bytes after it
// may be read, `readable`: a short range (one line) is then read in whole
// blocks too.
//
// A caller that searches the same bytes again from just after the start it
// was given (the next match of a literal search) can have the search keep
// the other candidate starts of the block that start lay in: its probe
// results, not yet verified (LiteralSetHits). The next search verifies those
// in order and goes on with the block loops only after the block, so text
// with a match every few bytes costs one block of probes per 64 starts, not
// one set-up and block per match.
//
// Tested by required_literal_test.cpp (every alignment, window boundaries,
// random agreement with a plain search) and literal_search_test.cpp (the
// kept hits, against a plain search).
#include "pattern/literal_set_search.h"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#include <cstring>

#include "support/text_encoding.h"

namespace {

// Bytes of program and prose text from the most to the least frequent; a
// byte not listed counts as rarer than all of them.
const char BYTE_FREQUENCY_ORDER[] =
    " etaoinsrhldcu\n\tmpfgy,._bw()=;v\"*0/1k-x2>:#<'T3SEAICRNOLPDM[]{}&j4F856B97Uq+!zHGWV%\\|KY$"
    "@^~?`XJZQ\r";

// The values that fold to `key` (key itself without folding); false when
// there are more than two.
bool formsOf(uint8_t key, bool fold, uint8_t forms[2]) {
  forms[0] = forms[1] = key;
  if (!fold) return true;
  int32_t count = 0;
  for (int32_t b = 0; b < 256; ++b) {
    if (upperTable[b] != key) continue;
    if (count == 2) return false;
    forms[count++] = static_cast<uint8_t>(b);
  }
  if (count == 0) return false;  // no text byte folds to it: never matches
  if (count == 1) forms[1] = forms[0];
  return true;
}

// How rare a probe byte is, -1 when it cannot be one; under folding the more
// frequent form decides how often the probe agrees.
int32_t probeRank(uint8_t key, bool fold) {
  uint8_t forms[2];
  if (!formsOf(key, fold, forms)) return -1;
  const int32_t first = literalByteRank(forms[0]);
  const int32_t second = literalByteRank(forms[1]);
  return first < second ? first : second;
}

inline bool literalAt(const LiteralProbe& probe, bool fold, const uint8_t* at) {
  if (!fold) {
    // Literals are short: eight bytes at a time inline beat a call to memcmp.
    int32_t i = 0;
    for (; probe.length - i >= 8; i += 8) {
      uint64_t text;
      uint64_t literal;
      std::memcpy(&text, at + i, 8);
      std::memcpy(&literal, probe.bytes + i, 8);
      if (text != literal) return false;
    }
    for (; i < probe.length; ++i) {
      if (at[i] != probe.bytes[i]) return false;
    }
    return true;
  }
  for (int32_t i = 0; i < probe.length; ++i) {
    if (upperTable[at[i]] != probe.bytes[i]) return false;
  }
  return true;
}

// Whether a literal of the set starts at `at` and ends before `end`.
inline bool anyLiteralAt(const LiteralSet& set, const uint8_t* at, const uint8_t* end) {
  for (int32_t i = 0; i < set.count; ++i) {
    const LiteralProbe& probe = set.probes[i];
    if (end - at >= probe.length && literalAt(probe, set.fold != 0, at)) return true;
  }
  return false;
}

inline bool probeAgrees(const LiteralProbe& probe, const uint8_t* at) {
  const uint8_t x = at[probe.offset[0]];
  const uint8_t y = at[probe.offset[1]];
  return (x == probe.forms[0][0] || x == probe.forms[0][1]) &&
         (y == probe.forms[1][0] || y == probe.forms[1][1]);
}

// A start found (when the search keeps what it learns): the starts after it
// up to `next` are those of `later`, bit i for block + i.
inline void noteFound(LiteralSetHits* kept, const uint8_t* found, const uint8_t* block,
                      uint64_t later, const uint8_t* next) {
  if (kept == nullptr) return;
  kept->from = found + 1;
  kept->next = next;
  kept->block = block;
  kept->hits = later;
}

// One start after the other; the probes are read only where the whole
// literal fits.
const uint8_t* findScalar(const LiteralSet& set, const uint8_t* from, const uint8_t* end,
                          LiteralSetHits* kept) {
  for (const uint8_t* at = from; end - at >= set.shortest; ++at) {
    for (int32_t i = 0; i < set.count; ++i) {
      const LiteralProbe& probe = set.probes[i];
      if (end - at >= probe.length && probeAgrees(probe, at) && literalAt(probe, set.fold != 0, at)) {
        noteFound(kept, at, at + 1, 0, at + 1);
        return at;
      }
    }
  }
  return nullptr;
}

// The kernels compare both probes of every literal over two blocks at once
// and go on at once when no pair agrees anywhere (the usual case); the starts
// where one does are verified in text order. Without folding each probe byte
// has one form and one comparison.

template <bool FOLD>
[[gnu::target("sse2")]] inline __m128i probeSse2(const uint8_t* at, const __m128i* forms) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  if (!FOLD) return _mm_cmpeq_epi8(x, forms[0]);
  return _mm_or_si128(_mm_cmpeq_epi8(x, forms[0]), _mm_cmpeq_epi8(x, forms[1]));
}

// The starts in the 16 from `at` where both probes of some literal agree.
template <bool FOLD>
[[gnu::target("sse2")]] inline uint32_t pairHitsSse2(const LiteralSet& set, const uint8_t* at,
                                                    const __m128i (*forms)[2][2]) {
  __m128i hits = _mm_setzero_si128();
  for (int32_t i = 0; i < set.count; ++i) {
    const LiteralProbe& probe = set.probes[i];
    hits = _mm_or_si128(hits, _mm_and_si128(probeSse2<FOLD>(at + probe.offset[0], forms[i][0]),
                                            probeSse2<FOLD>(at + probe.offset[1], forms[i][1])));
  }
  return static_cast<uint32_t>(_mm_movemask_epi8(hits));
}

template <bool FOLD>
[[gnu::target("sse2")]] const uint8_t* findSse2(const LiteralSet& set, const uint8_t* from,
                                                const uint8_t* end, const uint8_t* readable,
                                                LiteralSetHits* kept) {
  __m128i forms[LITERAL_SET_CAPACITY][2][2];
  for (int32_t i = 0; i < set.count; ++i) {
    for (int32_t k = 0; k < 2; ++k) {
      for (int32_t f = 0; f < 2; ++f) {
        forms[i][k][f] = _mm_set1_epi8(static_cast<char>(set.probes[i].forms[k][f]));
      }
    }
  }
  const uint8_t* at = from;
  // A block of 16 starts reads up to 15 + the largest probe offset past `at`.
  while (at < end && readable - at >= set.reach + 31) {
    const uint32_t hits = pairHitsSse2<FOLD>(set, at, forms) |
                          pairHitsSse2<FOLD>(set, at + 16, forms) << 16;
    if (hits == 0) {
      at += 32;
      continue;
    }
    for (uint32_t left = hits; left != 0; left &= left - 1) {
      const uint8_t* start = at + __builtin_ctz(left);
      if (anyLiteralAt(set, start, end)) {
        noteFound(kept, start, at, left & (left - 1), at + 32);
        return start;
      }
    }
    at += 32;
  }
  while (at < end && readable - at >= set.reach + 15) {
    uint32_t hits = pairHitsSse2<FOLD>(set, at, forms);
    while (hits != 0) {
      const uint8_t* start = at + __builtin_ctz(hits);
      if (anyLiteralAt(set, start, end)) {
        noteFound(kept, start, at, hits & (hits - 1), at + 16);
        return start;
      }
      hits &= hits - 1;
    }
    at += 16;
  }
  return findScalar(set, at, end, kept);
}

template <bool FOLD>
[[gnu::target("avx2")]] inline __m256i probeAvx2(const uint8_t* at, const __m256i* forms) {
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  if (!FOLD) return _mm256_cmpeq_epi8(x, forms[0]);
  return _mm256_or_si256(_mm256_cmpeq_epi8(x, forms[0]), _mm256_cmpeq_epi8(x, forms[1]));
}

// The first of the 64 starts from `at` whose bit is set in `low` (the first
// 32) or `high` where a literal of the set begins, or null.
[[gnu::target("avx2")]] inline const uint8_t* firstLiteralInBlockAvx2(const LiteralSet& set,
                                                                     const uint8_t* at,
                                                                     __m256i low, __m256i high,
                                                                     const uint8_t* end,
                                                                     LiteralSetHits* kept) {
  uint64_t hits = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                  static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
  while (hits != 0) {
    const uint8_t* start = at + __builtin_ctzll(hits);
    if (anyLiteralAt(set, start, end)) {
      noteFound(kept, start, at, hits & (hits - 1), at + 64);
      return start;
    }
    hits &= hits - 1;
  }
  return nullptr;
}

// Whether the two forms of a probe byte differ in one bit at most, as the
// two cases of an ASCII letter do: setting that bit in the text byte then
// leaves one value to compare with.
bool formsDifferInOneBit(const uint8_t forms[2]) {
  const uint8_t difference = forms[0] ^ forms[1];
  return (difference & (difference - 1)) == 0;
}

// A probe whose forms differ in one bit at most (BITS), or are compared one
// by one.
template <bool FOLD, bool BITS>
[[gnu::target("avx2")]] inline __m256i probeOneAvx2(const uint8_t* at, const __m256i* forms,
                                                    __m256i bit) {
  if (!BITS) return probeAvx2<FOLD>(at, forms);
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  return _mm256_cmpeq_epi8(_mm256_or_si256(x, bit), forms[0]);
}

// One past the last start from which a block of 64 starts lies before `end`
// and reads nothing at or after `readable` (`from` when there is none): the
// block loops test this one bound.
inline const uint8_t* blockStartsEnd(const LiteralSet& set, const uint8_t* from,
                                     const uint8_t* end, const uint8_t* readable) {
  const ptrdiff_t count = std::min<ptrdiff_t>(end - from, readable - from - (set.reach + 62));
  return count > 0 ? from + count : from;
}

// One literal (the literal search's own case): its probe bytes stay in
// registers, with no loop over the set inside the block loop.
template <bool FOLD, bool BITS>
[[gnu::target("avx2")]] const uint8_t* findOneAvx2(const LiteralSet& set, const uint8_t* from,
                                                   const uint8_t* end, const uint8_t* readable,
                                                   LiteralSetHits* kept) {
  const LiteralProbe& probe = set.probes[0];
  __m256i forms[2][2];
  __m256i bits[2];
  for (int32_t k = 0; k < 2; ++k) {
    const uint8_t bit = BITS ? probe.forms[k][0] ^ probe.forms[k][1] : 0;
    forms[k][0] = _mm256_set1_epi8(static_cast<char>(probe.forms[k][0] | bit));
    forms[k][1] = _mm256_set1_epi8(static_cast<char>(probe.forms[k][1]));
    bits[k] = _mm256_set1_epi8(static_cast<char>(bit));
  }
  const uint8_t* const blocksEnd = blockStartsEnd(set, from, end, readable);
  const uint8_t* at = from;
  const ptrdiff_t firstOffset = probe.offset[0];
  const ptrdiff_t secondOffset = probe.offset[1];
  while (at < blocksEnd) {
    const uint8_t* first = at + firstOffset;
    const uint8_t* second = at + secondOffset;
    const __m256i low = _mm256_and_si256(probeOneAvx2<FOLD, BITS>(first, forms[0], bits[0]),
                                         probeOneAvx2<FOLD, BITS>(second, forms[1], bits[1]));
    const __m256i high =
        _mm256_and_si256(probeOneAvx2<FOLD, BITS>(first + 32, forms[0], bits[0]),
                         probeOneAvx2<FOLD, BITS>(second + 32, forms[1], bits[1]));
    const __m256i any = _mm256_or_si256(low, high);
    if (__builtin_expect(!_mm256_testz_si256(any, any), 0)) {
      uint64_t hits =
          static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
          static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
      for (; hits != 0; hits &= hits - 1) {
        const uint8_t* start = at + __builtin_ctzll(hits);
        if (end - start >= probe.length && literalAt(probe, FOLD, start)) {
          noteFound(kept, start, at, hits & (hits - 1), at + 64);
          return start;
        }
      }
    }
    at += 64;
  }
  return findSse2<FOLD>(set, at, end, readable, kept);
}

// A probe byte whose forms differ in one bit at most: that bit, and the value
// a text byte with it set must have.
[[gnu::target("avx2")]] inline __m256i bitOf(const uint8_t forms[2]) {
  return _mm256_set1_epi8(static_cast<char>(forms[0] ^ forms[1]));
}

[[gnu::target("avx2")]] inline __m256i valueOf(const uint8_t forms[2]) {
  return _mm256_set1_epi8(static_cast<char>(forms[0] | forms[1]));
}

[[gnu::target("avx2")]] inline __m256i agree(const uint8_t* at, __m256i bit, __m256i value) {
  const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  return _mm256_cmpeq_epi8(_mm256_or_si256(x, bit), value);
}

// A set of COUNT literals that share one probe: a start is a candidate when
// the shared probe agrees there and the other probe of any literal does, so
// the shared one is compared once a block. Every probe differs in one bit
// at most between its forms.
template <int32_t COUNT>
[[gnu::target("avx2")]] const uint8_t* findSharedAvx2(const LiteralSet& set, int32_t shared,
                                                      const int32_t other[LITERAL_SET_CAPACITY],
                                                      const uint8_t* from, const uint8_t* end,
                                                      const uint8_t* readable,
                                                      LiteralSetHits* kept) {
  const LiteralProbe& head = set.probes[0];
  const int32_t sharedOffset = head.offset[shared];
  const __m256i sharedBit = bitOf(head.forms[shared]);
  const __m256i sharedValue = valueOf(head.forms[shared]);
  int32_t offsets[COUNT];
  __m256i bits[COUNT];
  __m256i values[COUNT];
  for (int32_t i = 0; i < COUNT; ++i) {
    const LiteralProbe& probe = set.probes[i];
    offsets[i] = probe.offset[other[i]];
    bits[i] = bitOf(probe.forms[other[i]]);
    values[i] = valueOf(probe.forms[other[i]]);
  }
  const uint8_t* const blocksEnd = blockStartsEnd(set, from, end, readable);
  const uint8_t* at = from;
  while (at < blocksEnd) {
    __m256i low = agree(at + offsets[0], bits[0], values[0]);
    __m256i high = agree(at + offsets[0] + 32, bits[0], values[0]);
    for (int32_t i = 1; i < COUNT; ++i) {
      low = _mm256_or_si256(low, agree(at + offsets[i], bits[i], values[i]));
      high = _mm256_or_si256(high, agree(at + offsets[i] + 32, bits[i], values[i]));
    }
    low = _mm256_and_si256(low, agree(at + sharedOffset, sharedBit, sharedValue));
    high = _mm256_and_si256(high, agree(at + sharedOffset + 32, sharedBit, sharedValue));
    const __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) {
      at += 64;
      continue;
    }
    const uint8_t* found = firstLiteralInBlockAvx2(set, at, low, high, end, kept);
    if (found != nullptr) return found;
    at += 64;
  }
  return set.fold != 0 ? findSse2<true>(set, at, end, readable, kept)
                        : findSse2<false>(set, at, end, readable, kept);
}

// COUNT literals that share no probe. Each probe is read through a pointer
// of its own and one block index, and the block loop has no loop over the
// set, so that the pointers and the probe bytes all stay in registers.
// THIRD: each literal's third probe is compared too.
template <bool FOLD, int32_t COUNT, bool THIRD>
[[gnu::target("avx2")]] const uint8_t* findManyAvx2(const LiteralSet& set, const uint8_t* from,
                                                    const uint8_t* end, const uint8_t* readable,
                                                    LiteralSetHits* kept) {
  constexpr int32_t PROBES = THIRD ? 3 : 2;
  const uint8_t* probes[COUNT][PROBES];
  __m256i forms[COUNT][PROBES][2];
  for (int32_t i = 0; i < COUNT; ++i) {
    const LiteralProbe& probe = set.probes[i];
    for (int32_t k = 0; k < PROBES; ++k) {
      probes[i][k] = from + (k < 2 ? probe.offset[k] : probe.third);
      for (int32_t f = 0; f < 2; ++f) {
        const uint8_t form = k < 2 ? probe.forms[k][f] : probe.bytes[probe.third];
        forms[i][k][f] = _mm256_set1_epi8(static_cast<char>(form));
      }
    }
  }
  const ptrdiff_t blocks = blockStartsEnd(set, from, end, readable) - from;
  ptrdiff_t block = 0;
  for (; block < blocks; block += 64) {
    __m256i low = _mm256_setzero_si256();
    __m256i high = _mm256_setzero_si256();
    for (int32_t i = 0; i < COUNT; ++i) {
      __m256i lowAll = _mm256_and_si256(probeAvx2<FOLD>(probes[i][0] + block, forms[i][0]),
                                        probeAvx2<FOLD>(probes[i][1] + block, forms[i][1]));
      __m256i highAll =
          _mm256_and_si256(probeAvx2<FOLD>(probes[i][0] + block + 32, forms[i][0]),
                           probeAvx2<FOLD>(probes[i][1] + block + 32, forms[i][1]));
      if (THIRD) {
        lowAll = _mm256_and_si256(lowAll, probeAvx2<FOLD>(probes[i][2] + block, forms[i][2]));
        highAll =
            _mm256_and_si256(highAll, probeAvx2<FOLD>(probes[i][2] + block + 32, forms[i][2]));
      }
      low = _mm256_or_si256(low, lowAll);
      high = _mm256_or_si256(high, highAll);
    }
    const __m256i any = _mm256_or_si256(low, high);
    if (__builtin_expect(_mm256_testz_si256(any, any), 1)) continue;
    const uint8_t* found = firstLiteralInBlockAvx2(set, from + block, low, high, end, kept);
    if (found != nullptr) return found;
  }
  return findSse2<FOLD>(set, from + block, end, readable, kept);
}

// The loop for a set of COUNT literals that share no probe.
template <bool FOLD, int32_t COUNT>
[[gnu::target("avx2")]] const uint8_t* findManyOfAvx2(const LiteralSet& set, const uint8_t* from,
                                                      const uint8_t* end, const uint8_t* readable,
                                                      LiteralSetHits* kept) {
  if constexpr (!FOLD) {
    if (set.thirdProbes != 0) return findManyAvx2<false, COUNT, true>(set, from, end, readable, kept);
  }
  return findManyAvx2<FOLD, COUNT, false>(set, from, end, readable, kept);
}

template <bool FOLD>
[[gnu::target("avx2")]] const uint8_t* findAvx2(const LiteralSet& set, const uint8_t* from,
                                                const uint8_t* end, const uint8_t* readable,
                                                LiteralSetHits* kept) {
  if (set.count == 1) {
    const LiteralProbe& probe = set.probes[0];
    if (FOLD && formsDifferInOneBit(probe.forms[0]) && formsDifferInOneBit(probe.forms[1])) {
      return findOneAvx2<FOLD, true>(set, from, end, readable, kept);
    }
    return findOneAvx2<FOLD, false>(set, from, end, readable, kept);
  }
  const int32_t shared = set.sharedProbe;
  if (shared >= 0) {
    switch (set.count) {
      case 2:
        return findSharedAvx2<2>(set, shared, set.otherProbe, from, end, readable, kept);
      case 3:
        return findSharedAvx2<3>(set, shared, set.otherProbe, from, end, readable, kept);
      default:
        return findSharedAvx2<4>(set, shared, set.otherProbe, from, end, readable, kept);
    }
  }
  switch (set.count) {
    case 2:
      return findManyOfAvx2<FOLD, 2>(set, from, end, readable, kept);
    case 3:
      return findManyOfAvx2<FOLD, 3>(set, from, end, readable, kept);
    default:
      return findManyOfAvx2<FOLD, 4>(set, from, end, readable, kept);
  }
}

typedef const uint8_t* (*SetKernel)(const LiteralSet&, const uint8_t*, const uint8_t*,
                                    const uint8_t*, LiteralSetHits*);

const uint8_t* findScalarWithin(const LiteralSet& set, const uint8_t* from, const uint8_t* end,
                                const uint8_t*, LiteralSetHits* kept) {
  return findScalar(set, from, end, kept);
}

// The kernels for sets compared as they stand [0] and through upperTable [1].
struct SetKernels {
  SetKernel kernel[2];
};

SetKernels chooseKernels() {
  switch (supportedLiteralScanner(-1)) {
    case LITERAL_SCAN_AVX2:
      return {{findAvx2<false>, findAvx2<true>}};
    case LITERAL_SCAN_SSE2:
      return {{findSse2<false>, findSse2<true>}};
    default:
      return {{findScalarWithin, findScalarWithin}};
  }
}

const SetKernels setKernels = chooseKernels();

// The probe of every literal of a set that they all share (the same offset
// and forms), or -1; `other` then receives the index of each literal's other
// probe. The case variants of one word, which differ in a letter or two,
// usually share their rarest byte.
int32_t findSharedProbe(const LiteralSet& set, int32_t other[LITERAL_SET_CAPACITY]) {
  for (int32_t k = 0; k < 2; ++k) {
    const LiteralProbe& head = set.probes[0];
    bool shared = true;
    for (int32_t i = 0; i < set.count && shared; ++i) {
      const LiteralProbe& probe = set.probes[i];
      other[i] = -1;
      for (int32_t j = 0; j < 2 && other[i] < 0; ++j) {
        if (probe.offset[j] == head.offset[k] && probe.forms[j][0] == head.forms[k][0] &&
            probe.forms[j][1] == head.forms[k][1]) {
          other[i] = 1 - j;
        }
      }
      shared = other[i] >= 0 && formsDifferInOneBit(probe.forms[other[i]]);
    }
    if (shared && formsDifferInOneBit(head.forms[k])) return k;
  }
  return -1;
}

}  // namespace

int32_t supportedLiteralScanner(int32_t wanted) {
  __builtin_cpu_init();
  int32_t kind = wanted < 0 || wanted > LITERAL_SCAN_AVX2 ? LITERAL_SCAN_AVX2 : wanted;
  if (kind == LITERAL_SCAN_AVX2 && !__builtin_cpu_supports("avx2")) kind = LITERAL_SCAN_SSE2;
  if (kind == LITERAL_SCAN_SSE2 && !__builtin_cpu_supports("sse2")) kind = LITERAL_SCAN_SCALAR;
  return kind;
}

int32_t literalByteRank(uint8_t value) {
  const char* at = std::strchr(BYTE_FREQUENCY_ORDER, value);
  if (value == 0 || at == nullptr) return 1000;
  return static_cast<int32_t>(at - BYTE_FREQUENCY_ORDER);
}

bool prepareLiteralSet(const uint8_t* const* literals, const int32_t* lengths, int32_t count,
                       bool fold, LiteralSet* set) {
  set->count = 0;
  set->fold = fold ? 1 : 0;
  set->shortest = LITERAL_SET_LENGTH;
  set->reach = 1;
  if (count < 1 || count > LITERAL_SET_CAPACITY) return false;
  for (int32_t i = 0; i < count; ++i) {
    LiteralProbe& probe = set->probes[i];
    const int32_t length = lengths[i];
    if (length < 1 || length > LITERAL_SET_LENGTH) return false;
    probe.length = length;
    std::memcpy(probe.bytes, literals[i], static_cast<size_t>(length));
    // The rarest position whose byte has at most two forms, and the rarest
    // other one, not next to it where the literal allows: neighbours go
    // together in text ("un" of "union"), bytes apart less so.
    int32_t best[2] = {-1, -1};
    // Pass 0 finds the first probe, pass 1 the second apart from it, pass 2
    // the second next to it when no byte stands apart.
    for (int32_t pass = 0; pass < 3; ++pass) {
      const int32_t k = pass == 0 ? 0 : 1;
      if (pass == 2 && best[1] >= 0) break;
      int32_t bestRank = -1;
      for (int32_t at = 0; at < length; ++at) {
        const int32_t distance = at > best[0] ? at - best[0] : best[0] - at;
        if (k == 1 && (distance == 0 || (pass == 1 && distance == 1))) continue;
        const int32_t rank = probeRank(probe.bytes[at], fold);
        if (rank > bestRank) {
          best[k] = at;
          bestRank = rank;
        }
      }
      if (pass == 0 && best[0] < 0) return false;
    }
    if (best[1] < 0) best[1] = best[0];
    for (int32_t k = 0; k < 2; ++k) {
      probe.offset[k] = best[k];
      formsOf(probe.bytes[best[k]], fold, probe.forms[k]);
    }
    if (length < set->shortest) set->shortest = length;
  }
  set->count = count;
  settleLiteralProbes(set);
  return true;
}

void settleLiteralProbes(LiteralSet* set) {
  set->sharedProbe = set->count > 1 ? findSharedProbe(*set, set->otherProbe) : -1;
  // Sets of several literals without a shared probe compare a third byte of
  // each, the rarest left, where every literal has one and bytes stand as
  // they are: "s..u" of "struct" and "u...n" of "union" agree in C text
  // four times as often as the literals occur, "s..uc" and "u.i.n" about
  // twice, which saves more mispredicted blocks than the third load costs.
  set->thirdProbes = set->count > 1 && set->sharedProbe < 0 && set->fold == 0 ? 1 : 0;
  for (int32_t i = 0; i < set->count; ++i) {
    LiteralProbe& probe = set->probes[i];
    probe.third = -1;
    int32_t bestRank = -1;
    for (int32_t at = 0; at < probe.length; ++at) {
      if (at == probe.offset[0] || at == probe.offset[1]) continue;
      const int32_t rank = literalByteRank(probe.bytes[at]);
      if (rank > bestRank) {
        probe.third = at;
        bestRank = rank;
      }
    }
    if (probe.third < 0) set->thirdProbes = 0;
  }
  set->reach = 1;
  for (int32_t i = 0; i < set->count; ++i) {
    const LiteralProbe& probe = set->probes[i];
    for (int32_t k = 0; k < 2; ++k) set->reach = std::max(set->reach, probe.offset[k] + 1);
    if (set->thirdProbes != 0) set->reach = std::max(set->reach, probe.third + 1);
  }
}

const uint8_t* findLiteralSet(const LiteralSet& set, const uint8_t* from, const uint8_t* end,
                              const uint8_t* readable) {
  if (set.count == 0 || from == nullptr || end - from < set.shortest) return nullptr;
  if (readable == nullptr || readable < end) readable = end;
  return setKernels.kernel[set.fold != 0 ? 1 : 0](set, from, end, readable, nullptr);
}

// Out of line: the search from kept hits calls it once a block, and would
// otherwise take on the frame of the block loops for every match.
[[gnu::noinline]] const uint8_t* findLiteralSetKeeping(const LiteralSet& set,
                                                       const uint8_t* from, const uint8_t* end,
                                                       LiteralSetHits* kept) {
  kept->end = end;
  const uint8_t* found = nullptr;
  if (set.count > 0 && from != nullptr && end - from >= set.shortest) {
    found = setKernels.kernel[set.fold != 0 ? 1 : 0](set, from, end, end, kept);
  }
  if (found == nullptr) *kept = LiteralSetHits{end, from, end, from, 0};
  return found;
}

namespace {

// The first of the starts `left` (bit i for kept->block + i) where a literal
// of the set begins, noted in *kept; null when there is none. ONE: a set of
// one literal (the literal search's), verified without the loop over the set.
template <bool ONE>
inline const uint8_t* firstKeptLiteral(const LiteralSet& set, uint64_t left,
                                       LiteralSetHits* kept) {
  const uint8_t* const end = kept->end;
  for (; left != 0; left &= left - 1) {
    const uint8_t* start = kept->block + __builtin_ctzll(left);
    const bool found = ONE ? end - start >= set.probes[0].length &&
                                 literalAt(set.probes[0], set.fold != 0, start)
                           : anyLiteralAt(set, start, end);
    if (found) {
      kept->from = start + 1;
      kept->hits = left & (left - 1);
      return start;
    }
  }
  return nullptr;
}

[[gnu::noinline]] const uint8_t* firstKeptOfMany(const LiteralSet& set, uint64_t left,
                                                 LiteralSetHits* kept) {
  return firstKeptLiteral<false>(set, left, kept);
}

// The kept hits from `left` on, and the search after them.
[[gnu::noinline]] const uint8_t* resumeAfterFirstHit(const LiteralSet& set, const uint8_t* from,
                                                     uint64_t left, LiteralSetHits* kept) {
  if (left != 0) {
    const uint8_t* found = set.count == 1 ? firstKeptLiteral<true>(set, left, kept)
                                          : firstKeptOfMany(set, left, kept);
    if (found != nullptr) return found;
  }
  const uint8_t* found = findLiteralSetKeeping(set, kept->next, kept->end, kept);
  // Nothing in the block before `next` either: no start from `from` on.
  if (found == nullptr) kept->from = kept->block = from;
  return found;
}

}  // namespace

const uint8_t* resumeLiteralSet(const LiteralSet& set, const uint8_t* from, LiteralSetHits* kept) {
  const ptrdiff_t skip = from - kept->block;
  uint64_t left = skip < 64 ? kept->hits & (~uint64_t{0} << skip) : 0;
  // The first hit of a single literal, where a text dense with matches has
  // its next one, without the frame of the loops.
  if (left != 0 && set.count == 1) {
    const uint8_t* start = kept->block + __builtin_ctzll(left);
    const LiteralProbe& probe = set.probes[0];
    if (kept->end - start >= probe.length && literalAt(probe, set.fold != 0, start)) {
      kept->from = start + 1;
      kept->hits = left & (left - 1);
      return start;
    }
    left &= left - 1;
  }
  return resumeAfterFirstHit(set, from, left, kept);
}
