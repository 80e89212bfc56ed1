// Literal search over a text source and over a block of memory.
//
// The plain search is a probe-and-align loop. A probe reads the byte under
// the pattern's last position; `lastIndex` says where the pattern could be
// aligned with it, and every such alignment is compared, rightmost
// occurrence first (`previousDistance` steps from one occurrence of a byte to
// the one before it), so the first match in text order is found without
// skipping any. A byte that does not occur in the pattern shifts the
// alignment by the whole pattern length. Bytes at or beyond the window's data
// end are read through the text source; moves below the advance limit are
// pointer assignments, others go through AdvanceTo, which keeps the
// provider's line bookkeeping.
//
// In front of that loop sits a candidate filter: while the pattern lies
// wholly inside the window data, a vector scan looks for the next position
// whose first byte and the byte m - 1 further on both fold to the pattern's
// first and last bytes, and compares the whole pattern there. Only a verified
// candidate moves the position (so AdvanceTo sees one move per match); when
// no candidate starts in the data, the position goes to the first alignment
// that straddles the data end and the plain loop reads those through CharAt.
// Both find the leftmost match, so their results are identical. The scan is
// chosen once at run time: AVX2, SSE2, or a scalar loop for processors that
// have neither.
//
// Two variants keep the plain per-byte logic: the double-byte scan when an
// ignore-case pattern holds lead bytes (the code page's own case conversion
// gives each byte of the pattern its two forms), and the UTF-8 ignore-case
// loop, which folds the probed byte through its whole character.
//
// Tested by literal_search_test.cpp and the end-to-end suite.
#include "pattern/literal_search.h"

#include <immintrin.h>

#include <cstring>

#include "files/text_encoding.h"
#include "pattern/text_source.h"
#include "support/memory_pool.h"

namespace {

// Tables of the pattern last set up by CompileLiteral.
int32_t lastIndex[256];
uint8_t* workArea = nullptr;
uint32_t workAreaSize = 0;
int32_t* previousDistance = nullptr;
uint8_t* upperCopy = nullptr;
uint8_t* lowerCopy = nullptr;
int32_t caseFoldMultiByte = 0;
int32_t literalIgnoreCase = 0;

// The candidate filter: the byte values that fold to the pattern's first and
// last bytes. The vector scans compare against two values of each; a set of
// more than two values uses the membership tables only.
struct CandidateFilter {
  bool valid;
  uint8_t keyFirst;
  uint8_t keyLast;
  int32_t keyIgnoreCase;
  int32_t firstCount;
  int32_t lastCount;
  uint8_t firstValues[2];
  uint8_t lastValues[2];
  uint8_t firstMember[256];
  uint8_t lastMember[256];
};

CandidateFilter filter;

typedef const uint8_t* (*CandidateScan)(const uint8_t* from, const uint8_t* to,
                                        const uint8_t* pattern, int32_t length);

CandidateScan candidateScan = nullptr;
int32_t scannerKind = -1;  // -1 not chosen yet

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

inline bool candidateEquals(const uint8_t* text, const uint8_t* pattern, int32_t length) {
  if (!literalIgnoreCase) return std::memcmp(text, pattern, static_cast<size_t>(length)) == 0;
  for (int32_t i = 0; i < length; ++i) {
    if (upperTable[text[i]] != pattern[i]) return false;
  }
  return true;
}

// Candidate starts s in [from, to); s + length never passes the data end.
const uint8_t* scanWithTables(const uint8_t* from, const uint8_t* to, const uint8_t* pattern,
                              int32_t length) {
  const int32_t last = length - 1;
  for (const uint8_t* s = from; s < to; ++s) {
    if (filter.firstMember[s[0]] && filter.lastMember[s[last]] &&
        candidateEquals(s, pattern, length)) {
      return s;
    }
  }
  return nullptr;
}

const uint8_t* scanScalar(const uint8_t* from, const uint8_t* to, const uint8_t* pattern,
                          int32_t length) {
  if (literalIgnoreCase || filter.firstCount != 1) {
    return scanWithTables(from, to, pattern, length);
  }
  const int32_t last = length - 1;
  const uint8_t* s = from;
  while (s < to) {
    s = static_cast<const uint8_t*>(std::memchr(s, filter.firstValues[0], to - s));
    if (s == nullptr) return nullptr;
    if (s[last] == filter.lastValues[0] && candidateEquals(s, pattern, length)) return s;
    ++s;
  }
  return nullptr;
}

[[gnu::target("sse2")]] const uint8_t* scanSse2(const uint8_t* from, const uint8_t* to,
                                                const uint8_t* pattern, int32_t length) {
  if (filter.firstCount > 2 || filter.lastCount > 2) {
    return scanWithTables(from, to, pattern, length);
  }
  const int32_t last = length - 1;
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
    uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(headHit, tailHit)));
    while (mask != 0) {
      const uint8_t* candidate = s + __builtin_ctz(mask);
      if (candidateEquals(candidate, pattern, length)) return candidate;
      mask &= mask - 1;
    }
    s += 16;
  }
  return scanWithTables(s, to, pattern, length);
}

[[gnu::target("avx2")]] const uint8_t* scanAvx2(const uint8_t* from, const uint8_t* to,
                                                const uint8_t* pattern, int32_t length) {
  if (filter.firstCount > 2 || filter.lastCount > 2) {
    return scanWithTables(from, to, pattern, length);
  }
  const int32_t last = length - 1;
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
    uint32_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(headHit, tailHit)));
    while (mask != 0) {
      const uint8_t* candidate = s + __builtin_ctz(mask);
      if (candidateEquals(candidate, pattern, length)) return candidate;
      mask &= mask - 1;
    }
    s += 32;
  }
  return scanWithTables(s, to, pattern, length);
}

void chooseScanner(int32_t kind) {
  __builtin_cpu_init();
  if (kind < 0 || kind > LITERAL_SCAN_AVX2) kind = LITERAL_SCAN_AVX2;
  if (kind == LITERAL_SCAN_AVX2 && !__builtin_cpu_supports("avx2")) kind = LITERAL_SCAN_SSE2;
  if (kind == LITERAL_SCAN_SSE2 && !__builtin_cpu_supports("sse2")) kind = LITERAL_SCAN_SCALAR;
  scannerKind = kind;
  switch (kind) {
    case LITERAL_SCAN_AVX2:
      candidateScan = scanAvx2;
      break;
    case LITERAL_SCAN_SSE2:
      candidateScan = scanSse2;
      break;
    case LITERAL_SCAN_SCALAR:
      candidateScan = scanScalar;
      break;
    default:
      candidateScan = nullptr;
      break;
  }
}

// The current alignment and the window as the search last saw them.
struct Cursor {
  const uint8_t* p;
  const uint8_t* advanceLimit;
  const uint8_t* dataEnd;
};

void refreshWindow(Cursor& at) { textSource.GetWindow(&at.p, &at.advanceLimit, &at.dataEnd); }

// The moving rule: below the advance limit a pointer assignment, otherwise
// AdvanceTo (line counting, loading) and a fresh look at the window. False
// when the text has ended.
inline bool moveTo(Cursor& at, const uint8_t* target) {
  if (target < at.advanceLimit) {
    at.p = target;
    return true;
  }
  if (textSource.AdvanceTo(target) != 0) return false;
  refreshWindow(at);
  return true;
}

// Byte at offset i from the alignment, or -1 when the text ends first.
inline int32_t byteAt(const Cursor& at, int32_t i) {
  if (at.p + i < at.dataEnd) return at.p[i];
  textSource.SetPosition(at.p);
  return textSource.CharAt(i);
}

// Whether the current position of the text source starts a character of
// double-byte text: an even run of lead bytes (or none) lies between it and
// the previous non-lead byte or line start.
bool atCharacterBoundary() {
  if (textSource.AtLineStart(0)) return true;
  int32_t steps = 0;
  int32_t leadBytes = 0;
  for (;;) {
    if (textSource.MoveBy(-1) != 0) break;
    ++steps;
    const int32_t c = textSource.PeekChar(0);
    if (c < 0 || leadByteTable[c] == 0) break;
    ++leadBytes;
    if (textSource.AtLineStart(0)) break;
  }
  if (steps > 0) textSource.Advance(steps);
  return leadBytes % 2 == 0;
}

// A pattern match at the alignment is reported when the text mode accepts
// its start; otherwise the window is looked at again and the search goes on.
bool acceptMatch(Cursor& at) {
  textSource.SetPosition(at.p);
  if (textSource.charMode != ENCODING_DOUBLE_BYTE) return true;
  if (atCharacterBoundary()) return true;
  refreshWindow(at);
  return false;
}

bool alignmentMatches(const Cursor& at, const uint8_t* pattern, int32_t length) {
  if (at.p + length <= at.dataEnd) return candidateEquals(at.p, pattern, length);
  textSource.SetPosition(at.p);
  for (int32_t i = 0; i < length; ++i) {
    int32_t c = textSource.CharAt(i);
    if (c < 0) return false;
    if (literalIgnoreCase) c = upperTable[c];
    if (c != pattern[i]) return false;
  }
  return true;
}

// The search in single-byte terms (also double-byte text without case
// folding of lead bytes, and UTF-8 text matched exactly).
int32_t searchBytes(const uint8_t* pattern, int32_t length) {
  const int32_t last = length - 1;
  const bool useFilter = candidateScan != nullptr;
  if (useFilter) prepareFilter(pattern, length);
  Cursor at;
  refreshWindow(at);
  for (;;) {
    if (useFilter && at.dataEnd - at.p >= length) {
      const uint8_t* straddleStart = at.dataEnd - last;
      const uint8_t* found = candidateScan(at.p, straddleStart, pattern, length);
      if (found == nullptr) {
        if (!moveTo(at, straddleStart)) return 1;
        if (at.dataEnd - at.p >= length) continue;  // a new block came in
      } else {
        if (!moveTo(at, found)) return 1;
        if (acceptMatch(at)) return 0;
        if (!moveTo(at, at.p + 1)) return 1;
        continue;
      }
    }

    // One probe of the plain loop.
    int32_t c;
    if (at.p + last < at.dataEnd) {
      c = at.p[last];
    } else {
      textSource.SetPosition(at.p);
      c = textSource.CharAt(last);
      if (c < 0) return 1;
      refreshWindow(at);
    }
    if (literalIgnoreCase) c = upperTable[c];
    int32_t k = lastIndex[c];
    if (k < 0) {
      if (!moveTo(at, at.p + length)) return 1;
      continue;
    }
    if (!moveTo(at, at.p + (last - k))) return 1;
    for (;;) {
      if (alignmentMatches(at, pattern, length) && acceptMatch(at)) return 0;
      const int32_t distance = previousDistance[k];
      if (!moveTo(at, at.p + distance)) return 1;
      k -= distance;
      if (k < 0) break;
    }
  }
}

// Ignore case in double-byte text with lead bytes in the pattern: every
// position is examined; a text byte equal to the lower-case form of the
// pattern byte counts as its upper-case form.
int32_t searchDoubleByteIgnoreCase(const uint8_t* pattern, int32_t length) {
  Cursor at;
  refreshWindow(at);
  for (;;) {
    const int32_t first = byteAt(at, 0);
    if (first < 0) return 1;
    if (first == lowerCopy[0] || first == upperCopy[0]) {
      bool equal = true;
      for (int32_t i = 1; i < length && equal; ++i) {
        int32_t c = byteAt(at, i);
        if (c == lowerCopy[i]) c = upperCopy[i];
        equal = c == pattern[i];
      }
      if (equal && acceptMatch(at)) return 0;
    }
    if (!moveTo(at, at.p + 1)) return 1;
  }
}

// Length of the UTF-8 sequence a lead byte starts, 0 for a byte that cannot
// start one.
int32_t sequenceLength(int32_t lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  if ((lead & 0xFC) == 0xF8) return 5;
  if ((lead & 0xFE) == 0xFC) return 6;
  return 0;
}

// The text character at offset i from the alignment, upper-cased; its byte
// length in *length. False when the text ends first.
bool upperCharacterAt(const Cursor& at, int32_t i, uint32_t* codePoint, int32_t* length) {
  const int32_t lead = byteAt(at, i);
  if (lead < 0) return false;
  if (lead < 0x80) {
    *codePoint = upperTable[lead];
    *length = 1;
    return true;
  }
  uint8_t bytes[6];
  int32_t count = 0;
  const int32_t wanted = sequenceLength(lead) > 0 ? sequenceLength(lead) : 1;
  for (; count < wanted; ++count) {
    const int32_t c = byteAt(at, i + count);
    if (c < 0) break;
    bytes[count] = static_cast<uint8_t>(c);
  }
  uint32_t decoded;
  *length = static_cast<int32_t>(decodeUtf8(bytes, bytes + count, &decoded) - bytes);
  *codePoint = decoded == 0xFFFFFFFFu ? decoded : upperCodePoint(decoded);
  return true;
}

// The probed byte (at offset `last`, not below 0x80) in its upper-case form,
// or -1 when its character begins before the alignment or more than five
// bytes back, which no alignment up to the probe can match.
int32_t foldProbedByte(const Cursor& at, int32_t last, int32_t probed) {
  int32_t back = 0;
  int32_t lead = probed;
  while ((lead & 0xC0) == 0x80) {
    if (back == 5 || back == last) return -1;
    ++back;
    lead = byteAt(at, last - back);
  }
  if (sequenceLength(lead) <= back) return probed;  // a stray continuation byte
  uint32_t upper;
  int32_t length;
  if (!upperCharacterAt(at, last - back, &upper, &length) || upper == 0xFFFFFFFFu) return probed;
  uint8_t encoded[6];
  const int32_t encodedLength = encodeUtf8(upper, encoded);
  // An upper-case form of another length has no byte at this offset; the
  // byte is then taken as it stands.
  if (back >= encodedLength) return probed;
  return encoded[back];
}

bool utf8AlignmentMatches(const Cursor& at, const uint8_t* pattern, int32_t length) {
  int32_t i = 0;
  int32_t t = 0;
  while (i < length) {
    uint32_t expected;
    int32_t patternStep = 1;
    if (pattern[i] < 0x80) {
      expected = pattern[i];
    } else {
      patternStep = static_cast<int32_t>(decodeUtf8(pattern + i, pattern + length, &expected) -
                                         (pattern + i));
    }
    uint32_t actual;
    int32_t textStep;
    if (!upperCharacterAt(at, t, &actual, &textStep)) return false;
    if (actual != expected) return false;
    // Undecodable bytes are equal only when they are the same byte.
    if (expected == 0xFFFFFFFFu && byteAt(at, t) != pattern[i]) return false;
    i += patternStep;
    t += textStep;
  }
  return true;
}

int32_t searchUtf8IgnoreCase(const uint8_t* pattern, int32_t length) {
  const int32_t last = length - 1;
  Cursor at;
  refreshWindow(at);
  for (;;) {
    const int32_t probed = byteAt(at, last);
    if (probed < 0) return 1;
    const int32_t c = probed < 0x80 ? upperTable[probed] : foldProbedByte(at, last, probed);
    int32_t k = c < 0 ? -1 : lastIndex[c];
    if (k < 0) {
      if (!moveTo(at, at.p + length)) return 1;
      continue;
    }
    if (!moveTo(at, at.p + (last - k))) return 1;
    for (;;) {
      if (utf8AlignmentMatches(at, pattern, length)) {
        textSource.SetPosition(at.p);
        return 0;
      }
      const int32_t distance = previousDistance[k];
      if (!moveTo(at, at.p + distance)) return 1;
      k -= distance;
      if (k < 0) break;
    }
  }
}

}  // namespace

int32_t selectLiteralScanner(int32_t kind) {
  chooseScanner(kind);
  return scannerKind;
}

int32_t CompileLiteral(const uint8_t* text, int32_t length, int32_t ignoreCase,
                       int32_t encodingMode) {
  literalIgnoreCase = ignoreCase;
  filter.valid = false;
  if (scannerKind < 0) chooseScanner(-1);
  if (length > 0) {
    for (int32_t& entry : lastIndex) entry = -1;
    const uint32_t needed = 6u * static_cast<uint32_t>(length);
    if (workAreaSize < needed) {
      uint8_t* grown = static_cast<uint8_t*>(memRealloc(workArea, needed));
      if (grown == nullptr) return -8;
      workArea = grown;
      workAreaSize = needed;
    }
    previousDistance = reinterpret_cast<int32_t*>(workArea);
    upperCopy = workArea + 4 * length;
    lowerCopy = upperCopy + length;
  }
  caseFoldMultiByte = 0;
  for (int32_t i = 0; i < length; ++i) {
    const uint8_t c = text[i];
    previousDistance[i] = lastIndex[c] >= 0 ? i - lastIndex[c] : i + 1;
    lastIndex[c] = i;
    if (encodingMode == ENCODING_DOUBLE_BYTE && ignoreCase == 1 && leadByteTable[c] != 0) {
      caseFoldMultiByte = 1;
    }
    upperCopy[i] = c;
    lowerCopy[i] = c;
  }
  if (caseFoldMultiByte == 1) {
    upperCaseText(reinterpret_cast<char*>(upperCopy), length, 0);
    lowerCaseText(reinterpret_cast<char*>(lowerCopy), length, 0);
  }
  return 0;
}

int32_t SearchLiteral(const uint8_t* text, int32_t length) {
  if (caseFoldMultiByte == 1) {
    if (length == 0) return 1;
    return searchDoubleByteIgnoreCase(text, length);
  }
  if (length == 0) return 1;
  if (textSource.charMode == ENCODING_UTF8 && literalIgnoreCase == 1) {
    return searchUtf8IgnoreCase(text, length);
  }
  return searchBytes(text, length);
}

int32_t FindLiteralInMemory(int32_t start, const uint8_t* pattern, int32_t length,
                            const uint8_t* block, int32_t blockLength) {
  if (length <= 0) return 0;
  const int32_t last = length - 1;
  int32_t p = start < 1 ? 0 : start - 1;  // 0-based alignment
  for (;;) {
    if (p > blockLength - length) return 0;  // the probe would lie beyond the block
    int32_t c = block[p + last];
    if (literalIgnoreCase) c = upperTable[c];
    int32_t k = lastIndex[c];
    if (k < 0) {
      p += length;
      continue;
    }
    p += last - k;
    for (;;) {
      if (p > blockLength - length) return 0;  // this alignment and all later run past the block
      if (candidateEquals(block + p, pattern, length)) return p + 1;
      const int32_t distance = previousDistance[k];
      p += distance;
      k -= distance;
      if (k < 0) break;
    }
  }
}
