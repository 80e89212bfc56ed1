// The candidate filter of the literal search: a scan for the next position
// whose first byte and the byte m - 1 further on both fold to the pattern's
// first and last bytes (for a pattern of m bytes), in front of the
// probe-and-align loop. The byte values that fold to each are kept in
// membership tables, and up to two of each as values that the vector scans
// compare 16 (SSE2) or 32 (AVX2) starts at a time; a byte with more than two
// values is tested through the tables alone. The scan is chosen once at run
// time, the widest the processor runs (supportedLiteralScanner, shared with
// the literal-set search), or a scalar loop on memchr for processors with
// no vector unit.
//
// Beside it, the period scan of the linear search: the first byte that
// differs from the byte q before it, found by comparing the text with itself
// shifted by q, 32 (AVX2), 16 (SSE2) or 8 (scalar) bytes at a time.
//
// Tested by literal_search_test.cpp, which runs every scan kind against the
// plain loop.
#include <immintrin.h>

#include <cstring>

#include "pattern/literal_search_internal.h"
#include "pattern/literal_set_search.h"

namespace literal_internal {

CandidateFilter filter;
CandidateScan candidateScan = nullptr;
PeriodScan periodScan = nullptr;

namespace {

int32_t scannerKind = -1;  // -1 not chosen yet

const uint8_t* scanWithTables(const uint8_t* from, const uint8_t* to, int32_t last) {
  for (const uint8_t* s = from; s < to; ++s) {
    if (filter.firstMember[s[0]] && filter.lastMember[s[last]]) return s;
  }
  return nullptr;
}

const uint8_t* scanScalar(const uint8_t* from, const uint8_t* to, int32_t last) {
  if (filter.firstCount != 1) return scanWithTables(from, to, last);
  const uint8_t* s = from;
  while (s < to) {
    s = static_cast<const uint8_t*>(std::memchr(s, filter.firstValues[0], to - s));
    if (s == nullptr) return nullptr;
    if (filter.lastMember[s[last]]) return s;
    ++s;
  }
  return nullptr;
}

[[gnu::target("sse2")]] const uint8_t* scanSse2(const uint8_t* from, const uint8_t* to,
                                                int32_t last) {
  if (filter.firstCount > 2 || filter.lastCount > 2) return scanWithTables(from, to, last);
  const __m128i first0 = _mm_set1_epi8(static_cast<char>(filter.firstValues[0]));
  const __m128i first1 = _mm_set1_epi8(static_cast<char>(filter.firstValues[1]));
  const __m128i last0 = _mm_set1_epi8(static_cast<char>(filter.lastValues[0]));
  const __m128i last1 = _mm_set1_epi8(static_cast<char>(filter.lastValues[1]));
  const uint8_t* s = from;
  while (to - s >= 16) {
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + last));
    const __m128i headHit =
        _mm_or_si128(_mm_cmpeq_epi8(head, first0), _mm_cmpeq_epi8(head, first1));
    const __m128i tailHit = _mm_or_si128(_mm_cmpeq_epi8(tail, last0), _mm_cmpeq_epi8(tail, last1));
    const uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(headHit, tailHit)));
    if (mask != 0) return s + __builtin_ctz(mask);
    s += 16;
  }
  return scanWithTables(s, to, last);
}

[[gnu::target("avx2")]] const uint8_t* scanAvx2(const uint8_t* from, const uint8_t* to,
                                                int32_t last) {
  if (filter.firstCount > 2 || filter.lastCount > 2) return scanWithTables(from, to, last);
  const __m256i first0 = _mm256_set1_epi8(static_cast<char>(filter.firstValues[0]));
  const __m256i first1 = _mm256_set1_epi8(static_cast<char>(filter.firstValues[1]));
  const __m256i last0 = _mm256_set1_epi8(static_cast<char>(filter.lastValues[0]));
  const __m256i last1 = _mm256_set1_epi8(static_cast<char>(filter.lastValues[1]));
  const uint8_t* s = from;
  while (to - s >= 32) {
    const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
    const __m256i tail = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + last));
    const __m256i headHit =
        _mm256_or_si256(_mm256_cmpeq_epi8(head, first0), _mm256_cmpeq_epi8(head, first1));
    const __m256i tailHit =
        _mm256_or_si256(_mm256_cmpeq_epi8(tail, last0), _mm256_cmpeq_epi8(tail, last1));
    const uint32_t mask =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(headHit, tailHit)));
    if (mask != 0) return s + __builtin_ctz(mask);
    s += 32;
  }
  return scanWithTables(s, to, last);
}

const uint8_t* periodEndScalar(const uint8_t* from, const uint8_t* to, int32_t q) {
  const uint8_t* x = from;
  for (; to - x >= 8; x += 8) {
    uint64_t here;
    uint64_t before;
    std::memcpy(&here, x, 8);
    std::memcpy(&before, x - q, 8);
    if (here != before) break;
  }
  while (x < to && x[0] == x[-q]) ++x;
  return x;
}

[[gnu::target("sse2")]] const uint8_t* periodEndSse2(const uint8_t* from, const uint8_t* to,
                                                     int32_t q) {
  const uint8_t* x = from;
  for (; to - x >= 16; x += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x - q));
    const uint32_t same = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, before)));
    if (same != 0xFFFF) return x + __builtin_ctz(~same);
  }
  return periodEndScalar(x, to, q);
}

[[gnu::target("avx2")]] const uint8_t* periodEndAvx2(const uint8_t* from, const uint8_t* to,
                                                     int32_t q) {
  const uint8_t* x = from;
  // Two vectors a step, so that the loop's own work does not set the pace.
  for (; to - x >= 64; x += 64) {
    const __m256i here0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    const __m256i before0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x - q));
    const __m256i here1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 32));
    const __m256i before1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 32 - q));
    const __m256i same =
        _mm256_and_si256(_mm256_cmpeq_epi8(here0, before0), _mm256_cmpeq_epi8(here1, before1));
    if (static_cast<uint32_t>(_mm256_movemask_epi8(same)) != 0xFFFFFFFFu) break;
  }
  for (; to - x >= 32; x += 32) {
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x - q));
    const uint32_t same =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(here, before)));
    if (same != 0xFFFFFFFFu) return x + __builtin_ctz(~same);
  }
  return periodEndScalar(x, to, q);
}

}  // namespace

void prepareFilter(const uint8_t* pattern, int32_t length) {
  const uint8_t first = pattern[0];
  const uint8_t last = pattern[length - 1];
  if (filter.valid && filter.keyFirst == first && filter.keyLast == last &&
      filter.keyIgnoreCase == literalIgnoreCase) {
    return;
  }
  filter.firstCount = 0;
  filter.lastCount = 0;
  for (int32_t b = 0; b < 256; ++b) {
    const uint8_t folded = literalIgnoreCase ? upperTable[b] : static_cast<uint8_t>(b);
    filter.firstMember[b] = folded == first;
    filter.lastMember[b] = folded == last;
    if (folded == first) {
      if (filter.firstCount < 2) filter.firstValues[filter.firstCount] = static_cast<uint8_t>(b);
      ++filter.firstCount;
    }
    if (folded == last) {
      if (filter.lastCount < 2) filter.lastValues[filter.lastCount] = static_cast<uint8_t>(b);
      ++filter.lastCount;
    }
  }
  // A single value is compared twice rather than special-cased.
  if (filter.firstCount == 1) filter.firstValues[1] = filter.firstValues[0];
  if (filter.lastCount == 1) filter.lastValues[1] = filter.lastValues[0];
  filter.keyFirst = first;
  filter.keyLast = last;
  filter.keyIgnoreCase = literalIgnoreCase;
  filter.valid = true;
}

void chooseScanner(int32_t kind) {
  kind = supportedLiteralScanner(kind);
  scannerKind = kind;
  switch (kind) {
    case LITERAL_SCAN_AVX2:
      candidateScan = scanAvx2;
      periodScan = periodEndAvx2;
      break;
    case LITERAL_SCAN_SSE2:
      candidateScan = scanSse2;
      periodScan = periodEndSse2;
      break;
    case LITERAL_SCAN_SCALAR:
      candidateScan = scanScalar;
      periodScan = periodEndScalar;
      break;
    default:
      candidateScan = nullptr;
      periodScan = periodEndScalar;
      break;
  }
}

int32_t chosenScanner() { return scannerKind; }

}  // namespace literal_internal
