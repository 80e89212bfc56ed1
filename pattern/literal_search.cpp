// Literal search over a text source and over a block of memory.
//
// The fast search is a probe-and-align loop. A probe reads the byte under
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
// first and last bytes, and the whole pattern is compared there. Only a
// verified candidate moves the position (so AdvanceTo sees one move per
// match); when no candidate starts in the data, the position goes to the
// first alignment that straddles the data end and the plain loop reads those
// through CharAt. The scan is chosen once at run time: AVX2, SSE2, or a
// scalar loop for processors that have neither.
//
// Both compare each candidate from its start, so a periodic pattern over
// periodic text (x^k NEEDLE over a run of x, where every alignment agrees for
// k bytes) would cost pattern length times text length. Every byte compared
// is therefore charged against a budget that grows with the text passed.
// When it runs out, the search goes on from the current alignment with the
// Knuth-Morris-Pratt search: each text byte is read once, and after a
// mismatch that follows j equal bytes the alignment moves on to the longest
// border of those j bytes (`borderLength`), so that they need not be read
// again. That search keeps the text source on the alignment, as the fast one
// does, and reads the bytes ahead of it directly or through CharAt; after a
// long stretch with no partial match it hands back to the fast search.
//
// Two variants keep their own per-byte logic and have linear searches of
// their own: the double-byte scan when an ignore-case pattern holds lead
// bytes (the code page's own case conversion gives each pattern byte the set
// of text bytes it accepts; the sets are numbered so that a text byte and a
// pattern position agree exactly when their numbers do), and the UTF-8
// ignore-case loop, which compares whole upper-cased characters (the linear
// search runs over characters). Where some character of a UTF-8 pattern has
// case forms of another length (k and the Kelvin sign), no byte stands at a
// fixed distance from the match start in every match, so the probe cannot be
// used: the candidates are then the starts of a few byte strings that every
// match begins with (the spellings of its first characters), found by the
// vectorised literal-set search, and each is compared character by
// character.
//
// In double-byte text a match must not begin on a trail byte. The fast loops
// ask the text source (an even run of lead bytes before the position); the
// linear searches follow the runs as they read, where the provider ends lines
// with line feeds.
//
// Tested by literal_search_test.cpp and the end-to-end suite.
#include "pattern/literal_search.h"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "pattern/literal_set_search.h"
#include "pattern/text_source.h"
#include "support/memory_pool.h"
#include "support/case_folding.h"
#include "support/text_encoding.h"

namespace {

constexpr int32_t SEARCH_FOUND = 0;
constexpr int32_t SEARCH_END = 1;
constexpr int32_t SEARCH_LINEAR = 2;  // the fast search hands over to the linear one
constexpr int32_t SEARCH_RESUME = 3;  // the linear search hands back

constexpr int32_t WORK_PER_BYTE = 4;
constexpr int32_t WORK_ALLOWANCE = 4096;
// The linear search hands back after this many bytes (or twice the pattern
// length) without a partial match at the end.
constexpr int64_t RESUME_DISTANCE = 65536;

constexpr uint32_t INVALID_CHARACTER = 0xFFFFFFFFu;
// An undecodable UTF-8 byte as a symbol: equal only to the same byte.
constexpr uint32_t INVALID_SYMBOL = 0x80000000u;

// Tables of the pattern last set up by CompileLiteral.
int32_t lastIndex[256];
uint8_t* workArea = nullptr;
uint32_t workAreaSize = 0;
int32_t* previousDistance = nullptr;
int32_t* borderLength = nullptr;  // length + 1 entries: longest border of each prefix
uint8_t* upperCopy = nullptr;
uint8_t* lowerCopy = nullptr;
int32_t caseFoldMultiByte = 0;
int32_t literalIgnoreCase = 0;

// The symbols of the two variants' linear searches: one per pattern byte
// (double-byte ignore case) or per pattern character (UTF-8 ignore case),
// their borders, and for UTF-8 the byte length of each text character of the
// current partial match, in a ring indexed by character count.
int32_t* symbolPattern = nullptr;
int32_t* symbolBorder = nullptr;
uint8_t* symbolBytes = nullptr;
int32_t symbolCount = 0;
bool utf8SymbolsReady = false;
// UTF-8 ignore case: the pattern as the case folds of its characters, and
// whether some of them have case forms of another encoded length (k and the
// Kelvin sign), which a match may then span more bytes than the pattern has.
uint8_t* foldedPattern = nullptr;
uint32_t foldedCapacity = 0;
int32_t foldedLength = 0;
bool foldedLengthsVary = false;
// For such patterns the candidate filter tests the first byte of every case
// form of the first character, and of the character that stands this many
// bytes further on in every match (the characters before it keep their
// lengths in all their forms).
int32_t utf8FilterOffset = 0;
// Or, when utf8SetReady, the literal set that every match begins with;
// utf8SetLongest is the length of its longest literal.
LiteralSet utf8Set;
bool utf8SetReady = false;
int32_t utf8SetLongest = 0;
// Bytes of text the last match spans: the pattern length, except where case
// forms of another length make the match longer or shorter.
int32_t lastMatchLength = 0;

// Double-byte ignore case: the number of the byte set each pattern position
// accepts. A non-trail text byte has the number in `byteClass`, a trail byte
// the one in `trailClass`, indexed by the lead byte before it and itself; 0
// belongs to no position. Numbering by role is needed only when one byte
// value is accepted with different partners in and outside double-byte
// characters (a letter as a single byte and as a trail byte).
constexpr int32_t CLASSES_NONE = 0;   // no linear search for this pattern
constexpr int32_t CLASSES_BYTES = 1;  // numbers by byte value alone
constexpr int32_t CLASSES_ROLES = 2;  // numbers by byte value and role
int32_t classMode = CLASSES_NONE;
int32_t byteClass[256];
int32_t* trailClass = nullptr;  // 65536 entries, allocated when first needed

int32_t workPerByte = WORK_PER_BYTE;
int32_t workAllowance = -1;  // -1: WORK_ALLOWANCE plus the pattern length
int64_t comparisonTotal = 0;

const uint8_t* identityTable() {
  static const struct Identity {
    uint8_t bytes[256];
    Identity() {
      for (int32_t b = 0; b < 256; ++b) bytes[b] = static_cast<uint8_t>(b);
    }
  } identity;
  return identity.bytes;
}

// The comparisons of one search call against its allowance.
class WorkBudget {
 public:
  explicit WorkBudget(int32_t length) : length_(length) { reset(); }
  ~WorkBudget() { comparisonTotal += spent_; }
  WorkBudget(const WorkBudget&) = delete;
  WorkBudget& operator=(const WorkBudget&) = delete;

  void reset() {
    credit_ = workAllowance >= 0 ? workAllowance : WORK_ALLOWANCE + static_cast<int64_t>(length_);
  }
  void pass(int64_t bytes) { credit_ += workPerByte * bytes; }
  void spend(int64_t compared) {
    credit_ -= compared;
    spent_ += compared;
  }
  bool exhausted() const { return credit_ < 0; }

 private:
  int32_t length_;
  int64_t credit_ = 0;
  int64_t spent_ = 0;
};

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

// The first start s in [from, to) whose byte and the byte at s + last pass
// the filter, or null. s + last never passes the data end.
typedef const uint8_t* (*CandidateScan)(const uint8_t* from, const uint8_t* to, int32_t last);

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

// Length of the common start of the (folded) text and the pattern: the index
// of the first difference, or length when they are equal.
inline int32_t sameBytes(const uint8_t* text, const uint8_t* pattern, int32_t length) {
  int32_t i = 0;
  if (literalIgnoreCase) {
    while (i < length && upperTable[text[i]] == pattern[i]) ++i;
    return i;
  }
  for (; length - i >= 8; i += 8) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, text + i, 8);
    std::memcpy(&b, pattern + i, 8);
    if (a != b) break;
  }
  while (i < length && text[i] == pattern[i]) ++i;
  return i;
}

// Bytes compared to find sameBytes' result.
inline int32_t comparedBytes(int32_t same, int32_t length) {
  return same < length ? same + 1 : length;
}

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
  if (i < at.dataEnd - at.p) return at.p[i];
  textSource.SetPosition(at.p);
  return textSource.CharAt(i);
}

// A lead byte in the sense of the role chain: a line feed ends a run of lead
// bytes even where the code page counts it as one, as the line-start test of
// the boundary test does.
inline bool isRoleLead(int32_t byte) {
  return byte >= 0 && byte != '\n' && leadByteTable[byte] != 0;
}

// Whether the current position of the text source starts a character of
// double-byte text: an even run of lead bytes (or none) lies between it and
// the previous non-lead byte or line start. *steps counts the bytes stepped
// back over.
bool atCharacterBoundary(int32_t* steps) {
  *steps = 0;
  if (textSource.AtLineStart(0)) return true;
  int32_t leadBytes = 0;
  for (;;) {
    if (textSource.MoveBy(-1) != 0) break;
    ++*steps;
    const int32_t c = textSource.PeekChar(0);
    if (c < 0 || leadByteTable[c] == 0) break;
    ++leadBytes;
    if (textSource.AtLineStart(0)) break;
  }
  if (*steps > 0) textSource.Advance(*steps);
  return leadBytes % 2 == 0;
}

// The boundary test at the alignment; the test moves the text source, so the
// window is looked at again.
bool boundaryAt(Cursor& at, WorkBudget& budget) {
  textSource.SetPosition(at.p);
  int32_t steps;
  const bool boundary = atCharacterBoundary(&steps);
  budget.spend(steps);
  refreshWindow(at);
  return boundary;
}

// A pattern match at the alignment is reported when the text mode accepts
// its start; otherwise the window is looked at again and the search goes on.
bool acceptMatch(Cursor& at, WorkBudget& budget) {
  textSource.SetPosition(at.p);
  if (textSource.charMode != ENCODING_DOUBLE_BYTE) return true;
  int32_t steps;
  const bool boundary = atCharacterBoundary(&steps);
  budget.spend(steps);
  if (boundary) return true;
  refreshWindow(at);
  return false;
}

bool alignmentMatches(const Cursor& at, const uint8_t* pattern, int32_t length,
                      WorkBudget& budget) {
  if (length <= at.dataEnd - at.p) {
    const int32_t same = sameBytes(at.p, pattern, length);
    budget.spend(comparedBytes(same, length));
    return same == length;
  }
  textSource.SetPosition(at.p);
  for (int32_t i = 0; i < length; ++i) {
    int32_t c = textSource.CharAt(i);
    if (c >= 0 && literalIgnoreCase) c = upperTable[c];
    if (c != pattern[i]) {
      budget.spend(i + 1);
      return false;
    }
  }
  budget.spend(length);
  return true;
}

// ---------------------------------------------------------------------------
// The linear search

// How the linear search decides that a match may begin where it stands.
enum StartCheck {
  START_ANY,            // every position may
  START_CHAIN,          // double-byte text with line-feed lines: the role chain
  START_BOUNDARY_TEST,  // double-byte text whose line starts are asked (records)
};

StartCheck startCheckOfText() {
  if (textSource.charMode != ENCODING_DOUBLE_BYTE) return START_ANY;
  // Lines that end in line feeds let the role of each byte follow from the
  // bytes before it; other line starts must be asked of the provider.
  return textSource.askLineBounds ? START_BOUNDARY_TEST : START_CHAIN;
}

// The bytes of the text against the pattern, as they are or folded as the
// pattern was.
struct ByteSymbols {
  const uint8_t* pattern;
  int32_t text(int32_t c) { return c; }
  int32_t at(int32_t j) const { return pattern[j]; }
};

struct FoldedByteSymbols {
  const uint8_t* pattern;
  int32_t text(int32_t c) { return upperTable[c]; }
  int32_t at(int32_t j) const { return pattern[j]; }
};

// The bytes of double-byte text as the numbers of the byte sets they belong
// to. With roles, `trail` is the role of the next byte read and `previous`
// the byte before it (-1 unknown).
struct ClassSymbols {
  bool roles;
  bool trail;
  int32_t previous;
  int32_t text(int32_t c) {
    if (!roles) return byteClass[c];
    const int32_t symbol = !trail          ? byteClass[c]
                           : previous >= 0 ? trailClass[previous * 256 + c]
                                           : 0;
    trail = !trail && isRoleLead(c);
    previous = c;
    return symbol;
  }
  int32_t at(int32_t j) const { return symbolPattern[j]; }
};

// Knuth-Morris-Pratt from the alignment at `at`, over symbols that take one
// text byte each. Every text byte is read once, in order (symbols.text sees
// them so), and compared at most once more for every byte the alignment
// passes, so the work is linear in the text. With mayResume the search
// returns SEARCH_RESUME at an alignment with no partial match once it has
// passed RESUME_DISTANCE bytes (or twice the pattern length). CHAIN: the
// alignment's role is followed over the bytes it passes (START_CHAIN).
template <bool CHAIN, typename Symbols>
int32_t searchLinearWith(Symbols symbols, const int32_t* border, int32_t length, StartCheck check,
                         bool mayResume, Cursor& at, WorkBudget& budget) {
  // Whether the alignment's first byte is a trail byte.
  bool startTrail = CHAIN && !boundaryAt(at, budget);
  const int64_t resumeAfter = std::max<int64_t>(RESUME_DISTANCE, 2 * static_cast<int64_t>(length));
  int64_t passed = 0;
  int64_t compared = 0;
  // The cursor in locals, so that it stays in registers across the calls.
  const uint8_t* p = at.p;
  const uint8_t* advanceLimit = at.advanceLimit;
  ptrdiff_t available = at.dataEnd - p;  // bytes readable directly from the alignment
  bool positioned = false;               // the text source stands on p
  int32_t j = 0;                         // symbols matched at the alignment
  int32_t status = SEARCH_END;

  const auto readAhead = [&](int32_t offset) -> int32_t {
    if (!positioned) {
      textSource.SetPosition(p);
      positioned = true;
    }
    return textSource.CharAt(offset);
  };
  // Moves the alignment on; the role chain steps over the bytes left behind,
  // all of which have been read already.
  const auto shift = [&](int32_t distance) -> bool {
    if (CHAIN) {
      for (int32_t k = 0; k < distance; ++k) {
        startTrail = !startTrail && isRoleLead(k < available ? p[k] : readAhead(k));
      }
      compared += distance;
    }
    passed += distance;
    positioned = false;
    const uint8_t* target = p + distance;
    if (target < advanceLimit) {
      p = target;
      available -= distance;
      return true;
    }
    if (textSource.AdvanceTo(target) != 0) return false;
    // Through temporaries: p and advanceLimit stay out of memory.
    const uint8_t* position;
    const uint8_t* limit;
    const uint8_t* dataEnd;
    textSource.GetWindow(&position, &limit, &dataEnd);
    p = position;
    advanceLimit = limit;
    available = dataEnd - p;
    return true;
  };

  for (;;) {
    int32_t c;
    if (j < available) {
      c = p[j];
    } else {
      c = readAhead(j);
      if (c < 0) break;
    }
    const int32_t symbol = symbols.text(c);
    ++compared;
    while (j > 0 && symbol != symbols.at(j)) {
      const int32_t shorter = border[j];
      if (!shift(j - shorter)) goto done;
      j = shorter;
      ++compared;
    }
    if (symbol != symbols.at(j)) {
      if (!shift(1)) break;
      if (mayResume && passed >= resumeAfter) {
        status = SEARCH_RESUME;
        break;
      }
      continue;
    }
    if (++j < length) continue;
    bool accepted = true;
    if (CHAIN) {
      accepted = !startTrail;
    } else if (check == START_BOUNDARY_TEST) {
      budget.spend(compared);
      compared = 0;
      at = Cursor{p, advanceLimit, p + available};
      accepted = acceptMatch(at, budget);
      p = at.p;
      advanceLimit = at.advanceLimit;
      available = at.dataEnd - p;
      positioned = false;
    }
    if (accepted) {
      textSource.SetPosition(p);
      status = SEARCH_FOUND;
      break;
    }
    const int32_t shorter = border[length];
    if (!shift(length - shorter)) break;
    j = shorter;
  }
done:
  budget.spend(compared);
  at = Cursor{p, advanceLimit, p + available};  // the fast search goes on from here
  return status;
}

template <typename Symbols>
int32_t searchLinear(Symbols symbols, const int32_t* border, int32_t length, StartCheck check,
                     bool mayResume, Cursor& at, WorkBudget& budget) {
  if (check == START_CHAIN) {
    return searchLinearWith<true>(symbols, border, length, check, mayResume, at, budget);
  }
  return searchLinearWith<false>(symbols, border, length, check, mayResume, at, budget);
}

// ---------------------------------------------------------------------------
// The search in single-byte terms (also double-byte text without case
// folding of lead bytes, and UTF-8 text matched exactly)

// The filter and the probe-and-align loop until a match, the end of the
// text, or the budget runs out (SEARCH_LINEAR, with the alignment at the
// first position not yet ruled out).
int32_t searchBytesFast(const uint8_t* pattern, int32_t length, bool useFilter, Cursor& at,
                        WorkBudget& budget) {
  const int32_t last = length - 1;
  for (;;) {
    if (useFilter && at.dataEnd - at.p >= length) {
      const uint8_t* straddleStart = at.dataEnd - last;
      const uint8_t* from = at.p;
      const uint8_t* verified = nullptr;
      // Failed candidates do not move the text source: its line bookkeeping
      // would rescan the line for every one of them.
      while (from < straddleStart) {
        const uint8_t* candidate = candidateScan(from, straddleStart, last);
        if (candidate == nullptr) break;
        budget.pass(candidate + 1 - from);
        const int32_t same = sameBytes(candidate, pattern, length);
        budget.spend(comparedBytes(same, length));
        if (same == length) {
          verified = candidate;
          break;
        }
        from = candidate + 1;
        if (budget.exhausted()) return moveTo(at, from) ? SEARCH_LINEAR : SEARCH_END;
      }
      if (verified == nullptr) {
        if (from < straddleStart) budget.pass(straddleStart - from);
        if (!moveTo(at, straddleStart)) return SEARCH_END;
        if (at.dataEnd - at.p >= length) continue;  // a new block came in
      } else {
        if (!moveTo(at, verified)) return SEARCH_END;
        if (acceptMatch(at, budget)) return SEARCH_FOUND;
        if (!moveTo(at, at.p + 1)) return SEARCH_END;
        if (budget.exhausted()) return SEARCH_LINEAR;
        continue;
      }
    }

    // One probe of the plain loop.
    int32_t c;
    if (last < at.dataEnd - at.p) {
      c = at.p[last];
    } else {
      textSource.SetPosition(at.p);
      c = textSource.CharAt(last);
      if (c < 0) return SEARCH_END;
      refreshWindow(at);
    }
    if (literalIgnoreCase) c = upperTable[c];
    int32_t k = lastIndex[c];
    if (k < 0) {
      if (!moveTo(at, at.p + length)) return SEARCH_END;
      budget.pass(length);
      continue;
    }
    if (!moveTo(at, at.p + (last - k))) return SEARCH_END;
    budget.pass(last - k);
    for (;;) {
      if (alignmentMatches(at, pattern, length, budget) && acceptMatch(at, budget)) {
        return SEARCH_FOUND;
      }
      if (budget.exhausted()) return moveTo(at, at.p + 1) ? SEARCH_LINEAR : SEARCH_END;
      const int32_t distance = previousDistance[k];
      if (!moveTo(at, at.p + distance)) return SEARCH_END;
      budget.pass(distance);
      k -= distance;
      if (k < 0) break;
    }
  }
}

int32_t searchBytes(const uint8_t* pattern, int32_t length) {
  const bool useFilter = candidateScan != nullptr;
  if (useFilter) prepareFilter(pattern, length);
  WorkBudget budget(length);
  Cursor at;
  refreshWindow(at);
  for (;;) {
    const int32_t fast = searchBytesFast(pattern, length, useFilter, at, budget);
    if (fast != SEARCH_LINEAR) return fast;
    const StartCheck check = startCheckOfText();
    const int32_t linear =
        literalIgnoreCase
            ? searchLinear(FoldedByteSymbols{pattern}, borderLength, length, check, true, at,
                           budget)
            : searchLinear(ByteSymbols{pattern}, borderLength, length, check, true, at, budget);
    if (linear != SEARCH_RESUME) return linear;
    budget.reset();
  }
}

// ---------------------------------------------------------------------------
// Ignore case in double-byte text with lead bytes in the pattern

bool classSearchUsable() {
  return classMode == CLASSES_BYTES || (classMode == CLASSES_ROLES && !textSource.askLineBounds);
}

int32_t searchClassesLinear(int32_t length, Cursor& at, WorkBudget& budget) {
  ClassSymbols symbols{classMode == CLASSES_ROLES, false, -1};
  StartCheck check = START_ANY;  // with roles a match begins on a non-trail byte by its numbers
  if (symbols.roles) {
    symbols.trail = !boundaryAt(at, budget);
  } else {
    check = startCheckOfText();
  }
  return searchLinear(symbols, symbolBorder, length, check, false, at, budget);
}

// Every position is examined; a text byte equal to the lower-case form of the
// pattern byte counts as its upper-case form.
int32_t searchDoubleByteIgnoreCase(const uint8_t* pattern, int32_t length) {
  WorkBudget budget(length);
  Cursor at;
  refreshWindow(at);
  for (;;) {
    const int32_t first = byteAt(at, 0);
    if (first < 0) return SEARCH_END;
    if (first == lowerCopy[0] || first == upperCopy[0]) {
      int32_t i = 1;
      for (; i < length; ++i) {
        int32_t c = byteAt(at, i);
        if (c == lowerCopy[i]) c = upperCopy[i];
        if (c != pattern[i]) break;
      }
      budget.spend(i == length ? i : i + 1);
      if (i == length && acceptMatch(at, budget)) return SEARCH_FOUND;
    }
    if (!moveTo(at, at.p + 1)) return SEARCH_END;
    budget.pass(1);
    if (budget.exhausted() && classSearchUsable()) return searchClassesLinear(length, at, budget);
  }
}

// The set of text bytes that pattern position i accepts in the scan above:
// at 0 its two case forms, after that a byte equal to the pattern byte that
// is not the lower-case form, and the lower-case form when it becomes the
// pattern byte.
struct ByteSet {
  int32_t count;
  uint8_t value[2];  // ascending
};

ByteSet acceptedBytes(const uint8_t* pattern, int32_t i) {
  ByteSet set{0, {0, 0}};
  const auto add = [&set](uint8_t b) {
    if (set.count == 1 && set.value[0] == b) return;
    set.value[set.count++] = b;
  };
  if (i == 0) {
    add(lowerCopy[0]);
    add(upperCopy[0]);
  } else {
    for (const uint8_t c : {pattern[i], lowerCopy[i]}) {
      if ((c == lowerCopy[i] ? upperCopy[i] : c) == pattern[i]) add(c);
    }
  }
  if (set.count == 2 && set.value[0] > set.value[1]) std::swap(set.value[0], set.value[1]);
  return set;
}

bool sameSet(const ByteSet& a, const ByteSet& b) {
  return a.count == b.count && (a.count < 1 || a.value[0] == b.value[0]) &&
         (a.count < 2 || a.value[1] == b.value[1]);
}

// Gives the table cells of pattern position i the number of the first
// position with the same set (i + 1 when it is the first). False when the
// cells already belong to a different set, in part or in whole: the sets are
// then no partition and numbers cannot stand for them.
template <typename SameSets>
bool numberPosition(int32_t* const* cells, int32_t count, int32_t i, SameSets sameSetsAt,
                    int32_t* symbol) {
  int32_t existing = 0;
  int32_t unassigned = 0;
  for (int32_t k = 0; k < count; ++k) {
    const int32_t number = *cells[k];
    if (number == 0) {
      ++unassigned;
    } else if (existing == 0) {
      existing = number;
    } else if (number != existing) {
      return false;
    }
  }
  if (existing == 0) {
    for (int32_t k = 0; k < count; ++k) *cells[k] = i + 1;
    *symbol = i + 1;  // an empty set gets a number no text byte has
    return true;
  }
  if (unassigned > 0 || !sameSetsAt(existing - 1)) return false;
  *symbol = existing;
  return true;
}

bool numberByValue(const uint8_t* pattern, int32_t length) {
  std::fill(byteClass, byteClass + 256, 0);
  for (int32_t i = 0; i < length; ++i) {
    const ByteSet set = acceptedBytes(pattern, i);
    int32_t* cells[2] = {&byteClass[set.value[0]], &byteClass[set.value[1]]};
    if (!numberPosition(
            cells, set.count, i, [&](int32_t d) { return sameSet(acceptedBytes(pattern, d), set); },
            &symbolPattern[i])) {
      return false;
    }
  }
  return true;
}

// Numbers by role: the pattern's own lead bytes decide which positions are
// trail bytes, so every byte a position accepts must agree on being a lead
// byte; a trail position's cells are the pairs of the bytes that the lead
// position before it accepts and its own.
bool numberByRole(const uint8_t* pattern, int32_t length) {
  std::fill(byteClass, byteClass + 256, 0);
  std::fill(trailClass, trailClass + 65536, 0);
  bool trail = false;
  ByteSet leadSet{0, {0, 0}};
  for (int32_t i = 0; i < length; ++i) {
    const ByteSet set = acceptedBytes(pattern, i);
    if (!trail) {
      int32_t* cells[2] = {&byteClass[set.value[0]], &byteClass[set.value[1]]};
      if (!numberPosition(
              cells, set.count, i,
              [&](int32_t d) { return sameSet(acceptedBytes(pattern, d), set); },
              &symbolPattern[i])) {
        return false;
      }
      int32_t leads = 0;
      for (int32_t k = 0; k < set.count; ++k) leads += isRoleLead(set.value[k]) ? 1 : 0;
      if (leads != 0 && leads != set.count) return false;
      trail = set.count > 0 && leads == set.count;
      leadSet = set;
    } else {
      int32_t* cells[4];
      int32_t count = 0;
      for (int32_t l = 0; l < leadSet.count; ++l) {
        for (int32_t k = 0; k < set.count; ++k) {
          cells[count++] = &trailClass[leadSet.value[l] * 256 + set.value[k]];
        }
      }
      if (!numberPosition(
              cells, count, i,
              [&](int32_t d) {
                return sameSet(acceptedBytes(pattern, d - 1), leadSet) &&
                       sameSet(acceptedBytes(pattern, d), set);
              },
              &symbolPattern[i])) {
        return false;
      }
      trail = false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Ignore case in UTF-8 text

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

// ASCII case folds: the lower-case letter.
struct AsciiFolds {
  uint8_t fold[128];
};
constexpr AsciiFolds makeAsciiFolds() {
  AsciiFolds table{};
  for (int32_t c = 0; c < 128; ++c) {
    table.fold[c] = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
  }
  return table;
}
constexpr AsciiFolds ASCII_FOLDS = makeAsciiFolds();

// A lead byte and the bytes that follow it as one character: the sequence its
// lead byte announces, when every byte after the lead is a continuation byte
// and the sequence is no overlong form and no surrogate; otherwise the lead
// byte alone, undecodable, so that a byte after it that begins a character of
// its own is never swallowed. The same rule as the pattern engine's.
uint32_t decodeSequence(const uint8_t* bytes, int32_t count, int32_t* length) {
  const int32_t wanted = sequenceLength(bytes[0]);
  *length = 1;
  if (wanted < 2 || count < wanted) return INVALID_CHARACTER;
  for (int32_t k = 1; k < wanted; ++k) {
    if ((bytes[k] & 0xC0) != 0x80) return INVALID_CHARACTER;
  }
  uint32_t decoded;
  decodeUtf8(bytes, bytes + wanted, &decoded);
  // An overlong form or a surrogate is no character either.
  constexpr uint32_t SMALLEST[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
  if (decoded < SMALLEST[wanted] || (decoded >= 0xD800 && decoded <= 0xDFFF)) {
    return INVALID_CHARACTER;
  }
  *length = wanted;
  return decoded;
}

// The text character at offset i from the alignment, case-folded; its byte
// length in *length. False when the text ends first.
bool foldedCharacterAt(const Cursor& at, int32_t i, uint32_t* codePoint, int32_t* length) {
  const int32_t lead = byteAt(at, i);
  if (lead < 0) return false;
  if (lead < 0x80) {
    *codePoint = ASCII_FOLDS.fold[lead];
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
  const uint32_t decoded = decodeSequence(bytes, count, length);
  *codePoint = decoded == INVALID_CHARACTER ? decoded : foldCodePoint(decoded);
  return true;
}

// The same character as a symbol: the folded code point, or the byte itself
// marked invalid.
bool characterSymbolAt(const Cursor& at, int32_t i, int32_t* symbol, int32_t* length) {
  uint32_t codePoint;
  if (!foldedCharacterAt(at, i, &codePoint, length)) return false;
  if (codePoint == INVALID_CHARACTER) {
    codePoint = INVALID_SYMBOL | static_cast<uint32_t>(byteAt(at, i));
  }
  *symbol = static_cast<int32_t>(codePoint);
  return true;
}

// The probed byte (at offset `last`, not below 0x80) in its folded form, or
// -1 when its character begins before the alignment or more than five bytes
// back, which no alignment up to the probe can match.
int32_t foldProbedByte(const Cursor& at, int32_t last, int32_t probed) {
  int32_t back = 0;
  int32_t lead = probed;
  while ((lead & 0xC0) == 0x80) {
    if (back == 5 || back == last) return -1;
    ++back;
    lead = byteAt(at, last - back);
  }
  if (sequenceLength(lead) <= back) return probed;  // a stray continuation byte
  uint32_t folded;
  int32_t length;
  if (!foldedCharacterAt(at, last - back, &folded, &length) || folded == INVALID_CHARACTER ||
      back >= length) {
    return probed;
  }
  uint8_t encoded[6];
  const int32_t encodedLength = encodeUtf8(folded, encoded);
  // A fold of another length has no byte at this offset; such a character
  // is in no match of a pattern whose characters keep their lengths, and the
  // byte is taken as it stands.
  if (back >= encodedLength) return probed;
  return encoded[back];
}

// Whether the text from offset `from` matches the pattern character by
// character; *compared counts the characters compared, *spanned (when given)
// the text bytes of a match.
bool utf8MatchesAt(const Cursor& at, int32_t from, const uint8_t* pattern, int32_t length,
                   int32_t* compared, int32_t* spanned = nullptr) {
  int32_t i = 0;
  int32_t t = from;
  *compared = 0;
  while (i < length) {
    uint32_t expected;
    int32_t patternStep = 1;
    if (pattern[i] < 0x80) {
      expected = pattern[i];
    } else {
      expected = decodeSequence(pattern + i, length - i, &patternStep);
    }
    uint32_t actual;
    int32_t textStep;
    ++*compared;
    if (!foldedCharacterAt(at, t, &actual, &textStep)) return false;
    if (actual != expected) return false;
    // Undecodable bytes are equal only when they are the same byte.
    if (expected == INVALID_CHARACTER && byteAt(at, t) != pattern[i]) return false;
    i += patternStep;
    t += textStep;
  }
  if (spanned != nullptr) *spanned = t - from;
  return true;
}

// Moves to the alignment `offset` bytes on and reports it.
int32_t reportAhead(Cursor& at, int32_t offset) {
  if (!moveTo(at, at.p + offset)) return SEARCH_END;
  textSource.SetPosition(at.p);
  return SEARCH_FOUND;
}

// Knuth-Morris-Pratt over characters, from the alignment at `at`. The
// characters are decoded from there on; an alignment inside one of them
// decodes differently (its first byte becomes a character of its own), so
// those are compared one by one, but only where their first character equals
// the pattern's: in well-formed text that is a continuation byte, which a
// pattern seldom begins with. The leftmost of them waits in `pending` until
// every alignment before it is ruled out.
int32_t searchUtf8Linear(const uint8_t* pattern, int32_t length, Cursor& at, WorkBudget& budget) {
  const int32_t count = symbolCount;
  int32_t j = 0;         // characters matched at the alignment
  int64_t recorded = 0;  // characters entered in symbolBytes
  int32_t ahead = 0;     // bytes of the j characters
  int32_t pending = -1;  // offset of a match inside a character, -1 none
  for (;;) {
    int32_t symbol;
    int32_t size;
    if (!characterSymbolAt(at, ahead, &symbol, &size)) {
      return pending >= 0 ? reportAhead(at, pending) : SEARCH_END;
    }
    budget.spend(1);
    for (int32_t e = 1; e < size && pending < 0; ++e) {
      const int32_t inside = ahead + e;
      const int32_t b = byteAt(at, inside);
      int32_t first = static_cast<int32_t>(INVALID_SYMBOL | static_cast<uint32_t>(b));
      int32_t ignored;
      if ((b & 0xC0) != 0x80 && !characterSymbolAt(at, inside, &first, &ignored)) break;
      budget.spend(1);
      if (first != symbolPattern[0]) continue;
      int32_t compared;
      const bool whole = utf8MatchesAt(at, inside, pattern, length, &compared);
      budget.spend(compared);
      if (whole) pending = inside;
    }
    while (j > 0 && symbol != symbolPattern[j]) {
      const int32_t shorter = symbolBorder[j];
      int32_t bytes = 0;
      for (int32_t k = 0; k < j - shorter; ++k) bytes += symbolBytes[(recorded - j + k) % count];
      if (pending >= 0 && pending <= bytes) return reportAhead(at, pending);
      if (!moveTo(at, at.p + bytes)) return SEARCH_END;
      ahead -= bytes;
      if (pending >= 0) pending -= bytes;
      j = shorter;
      budget.spend(1);
    }
    if (symbol == symbolPattern[j]) {
      symbolBytes[recorded % count] = static_cast<uint8_t>(size);
      ++recorded;
      ahead += size;
      if (++j == count) {
        textSource.SetPosition(at.p);  // before any pending match, which lies further on
        return SEARCH_FOUND;
      }
      continue;
    }
    // No partial match: the next alignment decoded from here is the next
    // character.
    if (pending >= 0 && pending <= size) return reportAhead(at, pending);
    if (!moveTo(at, at.p + size)) return SEARCH_END;
    if (pending >= 0) pending -= size;
  }
}

// UTF-8 ignore case for patterns with case forms of other lengths: the
// literal set (or, without one, the candidate filter: positions whose bytes
// can begin the pattern's first character and the one utf8FilterOffset bytes
// on) finds candidates, and each is compared character by character. Failed
// candidates do not move the text source.
// SEARCH_LINEAR when the budget runs out.
int32_t searchUtf8Filtered(const uint8_t* pattern, int32_t length, Cursor& at, WorkBudget& budget) {
  // With the literal set, d keeps every literal of a candidate before the
  // data end.
  const int32_t d = utf8SetReady ? utf8SetLongest - 1 : utf8FilterOffset;
  const auto nextCandidate = [&](const uint8_t* from, const uint8_t* to) -> const uint8_t* {
    if (!utf8SetReady) return candidateScan(from, to, d);
    const uint8_t* found = findLiteralSet(utf8Set, from, at.dataEnd);
    return found != nullptr && found < to ? found : nullptr;
  };
  for (;;) {
    if (at.dataEnd - at.p > d) {
      const uint8_t* straddleStart = at.dataEnd - d;
      const uint8_t* from = at.p;
      const uint8_t* verified = nullptr;
      while (from < straddleStart) {
        const uint8_t* candidate = nextCandidate(from, straddleStart);
        if (candidate == nullptr) break;
        budget.pass(candidate + 1 - from);
        Cursor there = at;
        there.p = candidate;
        int32_t compared;
        const bool whole = utf8MatchesAt(there, 0, pattern, length, &compared);
        budget.spend(compared);
        if (whole) {
          verified = candidate;
          break;
        }
        from = candidate + 1;
        if (budget.exhausted()) return moveTo(at, from) ? SEARCH_LINEAR : SEARCH_END;
      }
      if (verified != nullptr) return reportAhead(at, static_cast<int32_t>(verified - at.p));
      if (from < straddleStart) budget.pass(straddleStart - from);
      if (!moveTo(at, straddleStart)) return SEARCH_END;
      if (at.dataEnd - at.p > d) continue;  // a new block came in
    }
    // The last positions of the data, read through the source.
    if (byteAt(at, 0) < 0) return SEARCH_END;
    int32_t compared;
    const bool whole = utf8MatchesAt(at, 0, pattern, length, &compared);
    budget.spend(compared);
    if (whole) {
      textSource.SetPosition(at.p);
      return SEARCH_FOUND;
    }
    if (!moveTo(at, at.p + 1)) return SEARCH_END;
    budget.pass(1);
    if (budget.exhausted()) return SEARCH_LINEAR;
  }
}

int32_t searchUtf8IgnoreCase(const uint8_t* pattern, int32_t length) {
  const int32_t last = length - 1;
  WorkBudget budget(length);
  Cursor at;
  refreshWindow(at);
  // The probe assumes that a match spans as many bytes as the pattern: with
  // case forms of other lengths the byte under the pattern's last position
  // may lie past the match, or inside a character the pattern's last
  // character has no byte of. Such patterns are searched over characters.
  if (foldedLengthsVary) {
    if (candidateScan != nullptr && filter.valid) {
      const int32_t fast = searchUtf8Filtered(pattern, length, at, budget);
      if (fast != SEARCH_LINEAR) return fast;
    }
    return searchUtf8Linear(pattern, length, at, budget);
  }
  for (;;) {
    const int32_t probed = byteAt(at, last);
    if (probed < 0) return SEARCH_END;
    const int32_t c = probed < 0x80 ? ASCII_FOLDS.fold[probed] : foldProbedByte(at, last, probed);
    int32_t k = c < 0 ? -1 : lastIndex[c];
    if (k < 0) {
      if (!moveTo(at, at.p + length)) return SEARCH_END;
      budget.pass(length);
      continue;
    }
    if (!moveTo(at, at.p + (last - k))) return SEARCH_END;
    budget.pass(last - k);
    for (;;) {
      int32_t compared;
      const bool whole = utf8MatchesAt(at, 0, pattern, length, &compared);
      budget.spend(compared);
      if (whole) {
        textSource.SetPosition(at.p);
        return SEARCH_FOUND;
      }
      if (budget.exhausted() && utf8SymbolsReady) {
        if (!moveTo(at, at.p + 1)) return SEARCH_END;
        return searchUtf8Linear(pattern, length, at, budget);
      }
      const int32_t distance = previousDistance[k];
      if (!moveTo(at, at.p + distance)) return SEARCH_END;
      budget.pass(distance);
      k -= distance;
      if (k < 0) break;
    }
  }
}

// Longest border of every prefix: border[j] is the length of the longest
// proper prefix of the first j symbols that is also their suffix.
template <typename Symbol>
void computeBorders(const Symbol* pattern, int32_t length, int32_t* border) {
  border[0] = 0;
  if (length > 0) border[1] = 0;
  int32_t k = 0;
  for (int32_t i = 1; i < length; ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = border[k];
    if (pattern[i] == pattern[k]) ++k;
    border[i + 1] = k;
  }
}

// The pattern as the characters the UTF-8 comparison decodes it into, each
// case-folded, and as the bytes of those folds (foldedPattern); notes whether
// some character has case forms of another length. -8 when the folded copy
// cannot be allocated.
int32_t prepareCharacterSymbols(const uint8_t* text, int32_t length) {
  const uint64_t capacity = 3 * static_cast<uint64_t>(length);  // a fold has at most 3 bytes
  if (capacity > INT32_MAX) return -8;
  if (foldedCapacity < capacity) {
    uint8_t* grown = static_cast<uint8_t*>(memRealloc(foldedPattern, static_cast<uint32_t>(capacity)));
    if (grown == nullptr) return -8;
    foldedPattern = grown;
    foldedCapacity = static_cast<uint32_t>(capacity);
  }
  int32_t count = 0;
  int32_t bytes = 0;
  foldedLengthsVary = false;
  for (int32_t i = 0; i < length;) {
    int32_t step = 1;
    uint32_t symbol;
    if (text[i] < 0x80) {
      symbol = ASCII_FOLDS.fold[text[i]];
      foldedPattern[bytes++] = static_cast<uint8_t>(symbol);
      foldedLengthsVary = foldedLengthsVary || caseFormsVaryInLength(symbol);
    } else {
      const uint32_t codePoint = decodeSequence(text + i, length - i, &step);
      if (codePoint == INVALID_CHARACTER) {
        symbol = INVALID_SYMBOL | text[i];
        foldedPattern[bytes++] = text[i];
      } else {
        symbol = foldCodePoint(codePoint);
        // A code point that UTF-8 cannot carry in four bytes is kept as written.
        const int32_t written = symbol <= 0x10FFFF ? encodeUtf8(symbol, foldedPattern + bytes) : 0;
        if (written == 0) {
          std::memcpy(foldedPattern + bytes, text + i, static_cast<size_t>(step));
          bytes += step;
        } else {
          bytes += written;
        }
        foldedLengthsVary = foldedLengthsVary || caseFormsVaryInLength(codePoint) || written != step;
      }
    }
    symbolPattern[count++] = static_cast<int32_t>(symbol);
    i += step;
  }
  symbolCount = count;
  foldedLength = bytes;
  computeBorders(symbolPattern, count, symbolBorder);
  utf8SymbolsReady = true;
  return 0;
}

// The numbers of the double-byte ignore-case search: by value when the sets
// allow it, else by role (which needs the trail table).
int32_t prepareClassSymbols(const uint8_t* text, int32_t length) {
  if (numberByValue(text, length)) {
    classMode = CLASSES_BYTES;
  } else {
    if (trailClass == nullptr) {
      trailClass = static_cast<int32_t*>(memAlloc(65536 * sizeof(int32_t)));
      if (trailClass == nullptr) return -8;
    }
    classMode = numberByRole(text, length) ? CLASSES_ROLES : CLASSES_NONE;
  }
  if (classMode != CLASSES_NONE) computeBorders(symbolPattern, length, symbolBorder);
  return 0;
}

// The first bytes of every case form of a pattern symbol, in the filter's
// first (or last) table and values; the number of distinct bytes.
int32_t noteFirstBytes(int32_t symbol, uint8_t* member, uint8_t* values) {
  for (int32_t b = 0; b < 256; ++b) member[b] = 0;
  int32_t count = 0;
  const auto note = [&](uint8_t byte) {
    if (member[byte]) return;
    member[byte] = 1;
    if (count < 2) values[count] = byte;
    ++count;
  };
  const uint32_t code = static_cast<uint32_t>(symbol);
  if ((code & INVALID_SYMBOL) != 0) {
    note(static_cast<uint8_t>(code & 0xFF));
  } else {
    uint32_t form = code;
    do {
      uint8_t encoded[6];
      note(encodeUtf8(form, encoded) > 0 ? encoded[0] : static_cast<uint8_t>(form));
      form = nextCaseForm(form);
    } while (form != code);
  }
  if (count == 1) values[1] = values[0];
  return count;
}

// The candidate filter of a UTF-8 pattern whose case forms vary in length:
// the first character, and the last character of the leading run whose
// characters keep their lengths (its offset is then the same in every match)
// that the vector scans can test, preferring a later one.
void prepareUtf8Filter() {
  constexpr int32_t RUN_LIMIT = 8;
  filter.firstCount = noteFirstBytes(symbolPattern[0], filter.firstMember, filter.firstValues);
  int32_t chosen = 0;
  int32_t chosenOffset = 0;
  int32_t offset = 0;
  for (int32_t j = 1; j < symbolCount && j <= RUN_LIMIT; ++j) {
    const uint32_t before = static_cast<uint32_t>(symbolPattern[j - 1]);
    if ((before & INVALID_SYMBOL) == 0 && caseFormsVaryInLength(before)) break;
    uint8_t encoded[6];
    const int32_t step = (before & INVALID_SYMBOL) != 0 ? 1 : encodeUtf8(before, encoded);
    if (step <= 0) break;
    offset += step;
    uint8_t member[256];
    uint8_t values[2];
    if (noteFirstBytes(symbolPattern[j], member, values) <= 2) {
      chosen = j;
      chosenOffset = offset;
    }
  }
  filter.lastCount =
      noteFirstBytes(symbolPattern[chosen], filter.lastMember, filter.lastValues);
  utf8FilterOffset = chosenOffset;
  // Never taken for a byte pattern's filter.
  filter.keyIgnoreCase = -1;
  filter.valid = true;
}

// The literal set of a UTF-8 pattern whose case forms vary in length: byte
// strings that every match begins with (the case forms of its first
// characters, the last of them perhaps cut to its lead byte), at most
// LITERAL_SET_CAPACITY of them. Of the ways to spell them out the one is kept
// whose strings are expected least often in text, so that a rare spelling
// (the Kelvin sign) stays short while the common one grows long.
struct Utf8Branch {
  uint8_t bytes[LITERAL_SET_LENGTH];
  int32_t length;
  int32_t next;  // the pattern character it goes on with
  bool done;
};

struct Utf8Branches {
  Utf8Branch branch[LITERAL_SET_CAPACITY];
  int32_t count;
};

// How often a byte of a set literal is expected in text: ASCII by its rank
// among program and prose bytes (both forms under folding), any other byte
// as a byte of a script that text seldom holds.
double expectedShare(uint8_t byte, bool fold) {
  if (byte >= 0x80) return 0.004;
  int32_t rank = literalByteRank(byte);
  if (fold) rank = std::min(rank, literalByteRank(ASCII_FOLDS.fold[byte]));
  return 0.15 / (1.0 + rank);
}

double expectedCount(const Utf8Branches& set, bool fold) {
  double total = 0;
  for (int32_t i = 0; i < set.count; ++i) {
    double share = 1;
    for (int32_t k = 0; k < set.branch[i].length; ++k) {
      share *= expectedShare(set.branch[i].bytes[k], fold);
    }
    total += share;
  }
  return total;
}

// The byte strings of the case forms of a pattern symbol, each byte through
// upperTable under folding, without repeats; cut to their first byte with
// `lead` (cut[i] says whether that shortened string i). The number of
// strings, -1 when a form cannot be written.
int32_t caseFormStrings(int32_t symbol, bool fold, bool lead, uint8_t (*forms)[4],
                        int32_t* lengths, bool* cut) {
  int32_t count = 0;
  const auto note = [&](const uint8_t* bytes, int32_t length) {
    const bool shortened = lead && length > 1;
    if (shortened) length = 1;
    uint8_t form[4];
    for (int32_t k = 0; k < length; ++k) form[k] = fold ? upperTable[bytes[k]] : bytes[k];
    for (int32_t i = 0; i < count; ++i) {
      if (lengths[i] == length && std::memcmp(forms[i], form, static_cast<size_t>(length)) == 0) {
        return;
      }
    }
    std::memcpy(forms[count], form, static_cast<size_t>(length));
    cut[count] = shortened;
    lengths[count++] = length;
  };
  const uint32_t code = static_cast<uint32_t>(symbol);
  if ((code & INVALID_SYMBOL) != 0) {
    const uint8_t byte = static_cast<uint8_t>(code & 0xFF);
    note(&byte, 1);
    return count;
  }
  uint32_t form = code;
  do {
    uint8_t encoded[6];
    const int32_t length = form <= 0x10FFFF ? encodeUtf8(form, encoded) : 0;
    if (length <= 0 || length > 4 || count == 8) return -1;
    note(encoded, length);
    form = nextCaseForm(form);
  } while (form != code);
  return count;
}

// Spells out the first branch not done in each possible way and keeps the
// best completed set in *best.
void spellBranches(const Utf8Branches& set, bool fold, Utf8Branches* best, double* bestCount) {
  int32_t open = -1;
  for (int32_t i = 0; i < set.count && open < 0; ++i) {
    if (!set.branch[i].done) open = i;
  }
  if (open < 0) {
    const double expected = expectedCount(set, fold);
    if (expected < *bestCount) {
      *best = set;
      *bestCount = expected;
    }
    return;
  }
  const Utf8Branch& from = set.branch[open];
  bool single = false;
  for (int32_t lead = 0; lead < 2 && !single; ++lead) {
    uint8_t forms[8][4];
    int32_t lengths[8];
    bool cut[8];
    const int32_t count =
        caseFormStrings(symbolPattern[from.next], fold, lead != 0, forms, lengths, cut);
    if (count < 1 || set.count - 1 + count > LITERAL_SET_CAPACITY) continue;
    if (lead != 0 && std::none_of(cut, cut + count, [](bool c) { return c; })) continue;
    // A character with one spelling only lengthens the branch; waiting is
    // never better.
    single = lead == 0 && count == 1;
    Utf8Branches grown = set;
    grown.count = 0;
    bool fits = true;
    for (int32_t i = 0; i < set.count; ++i) {
      if (i != open) {
        grown.branch[grown.count++] = set.branch[i];
        continue;
      }
      for (int32_t f = 0; f < count; ++f) {
        Utf8Branch child = from;
        if (child.length + lengths[f] > LITERAL_SET_LENGTH) fits = false;
        if (!fits) break;
        std::memcpy(child.bytes + child.length, forms[f], static_cast<size_t>(lengths[f]));
        child.length += lengths[f];
        child.next = from.next + 1;
        child.done = cut[f] || child.next == symbolCount || child.length >= 16;
        grown.branch[grown.count++] = child;
      }
    }
    if (!fits) {
      single = false;
      continue;
    }
    spellBranches(grown, fold, best, bestCount);
  }
  if (!single && from.length > 0) {
    Utf8Branches stopped = set;
    stopped.branch[open].done = true;
    spellBranches(stopped, fold, best, bestCount);
  }
}

// A byte's worth as a probe of a UTF-8 literal, higher for rarer: the set
// search ranks every byte above 0x7F alike, but in text of one script its
// lead bytes are everywhere, while the last byte of a character tells the
// characters apart.
int32_t utf8ProbeRank(uint8_t key, bool fold, uint8_t forms[2]) {
  forms[0] = forms[1] = key;
  if (fold) {
    int32_t count = 0;
    for (int32_t b = 0; b < 256; ++b) {
      if (upperTable[b] != key) continue;
      if (count == 2) return -1;
      forms[count++] = static_cast<uint8_t>(b);
    }
    if (count == 0) return -1;
    if (count == 1) forms[1] = forms[0];
  }
  if (key >= 0xC0) return 1500;
  if (key >= 0x80) return 2000;
  return std::min(literalByteRank(forms[0]), literalByteRank(forms[1]));
}

// Moves the probes of every literal onto its rarest bytes by utf8ProbeRank,
// two apart where the literal allows.
void aimUtf8Probes(LiteralSet& set) {
  for (int32_t i = 0; i < set.count; ++i) {
    LiteralProbe& probe = set.probes[i];
    int32_t best[2] = {-1, -1};
    uint8_t forms[2][2];
    for (int32_t pass = 0; pass < 3; ++pass) {
      const int32_t k = pass == 0 ? 0 : 1;
      if (pass == 2 && best[1] >= 0) break;
      int32_t bestRank = -1;
      for (int32_t at = 0; at < probe.length; ++at) {
        const int32_t distance = at > best[0] ? at - best[0] : best[0] - at;
        if (k == 1 && (distance == 0 || (pass == 1 && distance == 1))) continue;
        uint8_t values[2];
        const int32_t rank = utf8ProbeRank(probe.bytes[at], set.fold != 0, values);
        if (rank > bestRank) {
          best[k] = at;
          bestRank = rank;
          forms[k][0] = values[0];
          forms[k][1] = values[1];
        }
      }
    }
    if (best[0] < 0) continue;  // the probes of prepareLiteralSet stay
    if (best[1] < 0) {
      best[1] = best[0];
      forms[1][0] = forms[0][0];
      forms[1][1] = forms[0][1];
    }
    for (int32_t k = 0; k < 2; ++k) {
      probe.offset[k] = best[k];
      probe.forms[k][0] = forms[k][0];
      probe.forms[k][1] = forms[k][1];
    }
  }
  set.reach = 1;
  for (int32_t i = 0; i < set.count; ++i) {
    for (int32_t k = 0; k < 2; ++k) set.reach = std::max(set.reach, set.probes[i].offset[k] + 1);
  }
}

void prepareUtf8Set() {
  utf8SetReady = false;
  bool fold = false;
  for (int32_t j = 0; j < symbolCount; ++j) {
    const uint32_t code = static_cast<uint32_t>(symbolPattern[j]);
    fold = fold || (code < 0x80 && code >= 'a' && code <= 'z');
  }
  Utf8Branches start{};
  start.count = 1;
  Utf8Branches best{};
  double bestCount = 1e300;
  spellBranches(start, fold, &best, &bestCount);
  if (best.count == 0) return;
  const uint8_t* literals[LITERAL_SET_CAPACITY];
  int32_t lengths[LITERAL_SET_CAPACITY];
  utf8SetLongest = 0;
  for (int32_t i = 0; i < best.count; ++i) {
    literals[i] = best.branch[i].bytes;
    lengths[i] = best.branch[i].length;
    utf8SetLongest = std::max(utf8SetLongest, lengths[i]);
  }
  if (!prepareLiteralSet(literals, lengths, best.count, fold, &utf8Set)) return;
  aimUtf8Probes(utf8Set);
  utf8SetReady = true;
}

// Knuth-Morris-Pratt over the block from the 0-based position p.
int32_t findInMemoryLinear(int32_t p, const uint8_t* pattern, int32_t length, const uint8_t* block,
                           int32_t blockLength, WorkBudget& budget) {
  const uint8_t* fold = literalIgnoreCase ? upperTable : identityTable();
  int32_t j = 0;
  for (int32_t t = p; t < blockLength; ++t) {
    const uint8_t c = fold[block[t]];
    budget.spend(1);
    while (j > 0 && c != pattern[j]) {
      j = borderLength[j];
      budget.spend(1);
    }
    if (c == pattern[j] && ++j == length) return t - length + 2;
  }
  return 0;
}

}  // namespace

int32_t selectLiteralScanner(int32_t kind) {
  chooseScanner(kind);
  return scannerKind;
}

void setLiteralWorkBudget(int32_t perByte, int32_t allowance) {
  workPerByte = perByte >= 0 ? perByte : WORK_PER_BYTE;
  workAllowance = allowance >= 0 ? allowance : -1;
}

int64_t literalComparisons() { return comparisonTotal; }

int32_t CompileLiteral(const uint8_t* text, int32_t length, int32_t ignoreCase,
                       int32_t encodingMode) {
  literalIgnoreCase = ignoreCase;
  filter.valid = false;
  classMode = CLASSES_NONE;
  utf8SymbolsReady = false;
  utf8SetReady = false;
  caseFoldMultiByte = 0;
  if (scannerKind < 0) chooseScanner(-1);
  if (length <= 0) return 0;
  for (int32_t& entry : lastIndex) entry = -1;

  bool leadBytes = false;
  if (encodingMode == ENCODING_DOUBLE_BYTE && ignoreCase == 1) {
    for (int32_t i = 0; i < length && !leadBytes; ++i) leadBytes = leadByteTable[text[i]] != 0;
  }
  const bool utf8Characters = encodingMode == ENCODING_UTF8 && ignoreCase == 1 &&
                              length <= INT32_MAX / 6;  // character offsets stay in 32 bits
  const bool symbols = leadBytes || utf8Characters;
  // previousDistance, borderLength, [symbolPattern, symbolBorder], the two
  // copies, [symbolBytes].
  const uint64_t m = static_cast<uint64_t>(length);
  const uint64_t needed = 4 * m + 4 * (m + 1) + 2 * m + (symbols ? 4 * m + 4 * (m + 1) + m : 0);
  if (needed > INT32_MAX) return -8;
  if (workAreaSize < needed) {
    uint8_t* grown = static_cast<uint8_t*>(memRealloc(workArea, static_cast<uint32_t>(needed)));
    if (grown == nullptr) return -8;
    workArea = grown;
    workAreaSize = static_cast<uint32_t>(needed);
  }
  previousDistance = reinterpret_cast<int32_t*>(workArea);
  borderLength = previousDistance + length;
  int32_t* afterBorders = borderLength + length + 1;
  symbolPattern = symbols ? afterBorders : nullptr;
  symbolBorder = symbols ? symbolPattern + length : nullptr;
  upperCopy = reinterpret_cast<uint8_t*>(symbols ? symbolBorder + length + 1 : afterBorders);
  lowerCopy = upperCopy + length;
  symbolBytes = symbols ? lowerCopy + length : nullptr;

  for (int32_t i = 0; i < length; ++i) {
    const uint8_t c = text[i];
    previousDistance[i] = lastIndex[c] >= 0 ? i - lastIndex[c] : i + 1;
    lastIndex[c] = i;
    upperCopy[i] = c;
    lowerCopy[i] = c;
  }
  computeBorders(text, length, borderLength);
  if (leadBytes) {
    caseFoldMultiByte = 1;
    upperCaseText(reinterpret_cast<char*>(upperCopy), length, 0);
    lowerCaseText(reinterpret_cast<char*>(lowerCopy), length, 0);
    const int32_t status = prepareClassSymbols(text, length);
    if (status != 0) return status;
  }
  if (utf8Characters) {
    const int32_t status = prepareCharacterSymbols(text, length);
    if (status != 0) return status;
    // The probe reads folded bytes: its tables come from the folded pattern,
    // which has the pattern's length whenever the probe is used.
    if (!foldedLengthsVary && foldedLength == length) {
      for (int32_t& entry : lastIndex) entry = -1;
      for (int32_t i = 0; i < length; ++i) {
        const uint8_t c = foldedPattern[i];
        previousDistance[i] = lastIndex[c] >= 0 ? i - lastIndex[c] : i + 1;
        lastIndex[c] = i;
      }
    } else {
      foldedLengthsVary = true;
    }
    if (foldedLengthsVary) {
      prepareUtf8Filter();
      prepareUtf8Set();
    }
  }
  return 0;
}

int32_t SearchLiteral(const uint8_t* text, int32_t length) {
  lastMatchLength = length;
  if (length == 0) return 1;
  if (caseFoldMultiByte == 1) return searchDoubleByteIgnoreCase(text, length);
  if (textSource.charMode == ENCODING_UTF8 && literalIgnoreCase == 1 && utf8SymbolsReady) {
    const int32_t result = searchUtf8IgnoreCase(foldedPattern, foldedLength);
    if (result == SEARCH_FOUND && foldedLengthsVary) {
      // The match is measured again where it was found.
      Cursor at;
      refreshWindow(at);
      int32_t compared;
      utf8MatchesAt(at, 0, foldedPattern, foldedLength, &compared, &lastMatchLength);
      textSource.SetPosition(at.p);
    }
    return result;
  }
  return searchBytes(text, length);
}

int32_t literalMatchLength() { return lastMatchLength; }

int32_t FindLiteralInMemory(int32_t start, const uint8_t* pattern, int32_t length,
                            const uint8_t* block, int32_t blockLength) {
  if (length <= 0) return 0;
  WorkBudget budget(length);
  const int32_t last = length - 1;
  int32_t p = start < 1 ? 0 : start - 1;  // 0-based alignment
  for (;;) {
    if (p > blockLength - length) return 0;  // the probe would lie beyond the block
    int32_t c = block[p + last];
    if (literalIgnoreCase) c = upperTable[c];
    int32_t k = lastIndex[c];
    if (k < 0) {
      p += length;
      budget.pass(length);
      continue;
    }
    p += last - k;
    budget.pass(last - k);
    for (;;) {
      if (p > blockLength - length) return 0;  // this alignment and all later run past the block
      const int32_t same = sameBytes(block + p, pattern, length);
      budget.spend(comparedBytes(same, length));
      if (same == length) return p + 1;
      if (budget.exhausted()) {
        return findInMemoryLinear(p + 1, pattern, length, block, blockLength, budget);
      }
      const int32_t distance = previousDistance[k];
      p += distance;
      budget.pass(distance);
      k -= distance;
      if (k < 0) break;
    }
  }
}
