// What the literal searches share: the tables of the pattern set up by
// CompileLiteral, the work budget, the cursor over the text source, the
// candidate filter, the probe-and-align loop and the Knuth-Morris-Pratt
// search they fall back on. Only the literal search files include it:
// literal_search.cpp (entry points, set-up, the byte search),
// literal_candidates.cpp, literal_double_byte.cpp and literal_utf8.cpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "pattern/text_source.h"
#include "support/case_folding.h"
#include "support/text_encoding.h"

namespace literal_internal {

constexpr int32_t SEARCH_FOUND = 0;
constexpr int32_t SEARCH_END = 1;
constexpr int32_t SEARCH_LINEAR = 2;  // the fast search hands over to the linear one
constexpr int32_t SEARCH_RESUME = 3;  // the linear search hands back

constexpr int32_t WORK_PER_BYTE = 4;
constexpr int32_t WORK_ALLOWANCE = 4096;
// The linear search hands back after this many bytes (or twice the pattern
// length) without a partial match at the end.
constexpr int64_t RESUME_DISTANCE = 65536;

// The probe-and-align loop goes on with the next probe.
constexpr int32_t PROBE_AGAIN = 4;
// A probe that found the end of the text (others give the folded byte, or -1
// for a byte that no alignment up to it can match).
constexpr int32_t PROBE_END = -2;

// Tables of the pattern last set up by CompileLiteral.
extern int32_t lastIndex[256];
extern int32_t* previousDistance;
extern int32_t* borderLength;  // length + 1 entries: longest border of each prefix
extern uint8_t* upperCopy;
extern uint8_t* lowerCopy;
extern int32_t literalIgnoreCase;

// The symbols of the two variants' linear searches: one per pattern byte
// (double-byte ignore case) or per pattern character (UTF-8 ignore case),
// their borders, and for UTF-8 the byte length of each text character of the
// current partial match, in a ring indexed by character count.
extern int32_t* symbolPattern;
extern int32_t* symbolBorder;
extern uint8_t* symbolBytes;
extern int32_t symbolCount;

extern int32_t workPerByte;
extern int32_t workAllowance;  // -1: WORK_ALLOWANCE plus the pattern length
extern int64_t comparisonTotal;

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

extern CandidateFilter filter;

// The first start s in [from, to) whose byte and the byte at s + last pass
// the filter, or null. s + last never passes the data end.
typedef const uint8_t* (*CandidateScan)(const uint8_t* from, const uint8_t* to, int32_t last);

// The scan in use, null for the plain loop alone.
extern CandidateScan candidateScan;

// The first position x in [from, to) whose byte differs from the byte q
// before it, or `to`; the q bytes before `from` must be readable. Chosen with
// the candidate scan (the scalar one for the plain loop).
typedef const uint8_t* (*PeriodScan)(const uint8_t* from, const uint8_t* to, int32_t q);
extern PeriodScan periodScan;

// Sets up the filter for a byte pattern (folded when the search ignores case).
void prepareFilter(const uint8_t* pattern, int32_t length);
// Chooses the scan of the kind given (-1: the best available); the kind in
// use, or -1 when none has been chosen yet.
void chooseScanner(int32_t kind);
int32_t chosenScanner();

// The current alignment and the window as the search last saw them.
struct Cursor {
  const uint8_t* p;
  const uint8_t* advanceLimit;
  const uint8_t* dataEnd;
};

inline void reloadCursorWindow(Cursor& at) {
  textSource.GetWindow(&at.p, &at.advanceLimit, &at.dataEnd);
}

// The moving rule: below the advance limit a pointer assignment, otherwise
// AdvanceTo (line counting, loading) and a fresh look at the window. False
// when the text has ended.
inline bool moveTo(Cursor& at, const uint8_t* target) {
  if (target < at.advanceLimit) {
    at.p = target;
    return true;
  }
  if (textSource.AdvanceTo(target) != 0) return false;
  reloadCursorWindow(at);
  return true;
}

// Moves a block-by-block search on from `to`, the end of what it read in
// the current block: the bytes from origin to there count as read, the text
// source advances to `to`, and base, origin, t and end describe the new
// window. False when the text has ended or the new window holds no data.
inline bool enterNextBlock(const uint8_t* to, Cursor& base, const uint8_t*& origin,
                           const uint8_t*& t, const uint8_t*& end, int64_t& readBefore) {
  readBefore += to - origin;
  if (textSource.AdvanceTo(to) != 0) return false;
  reloadCursorWindow(base);
  origin = t = base.p;
  end = base.dataEnd;
  return t < end;
}

// The end of a search that read the window block by block from `origin`
// (the alignment when it began), leaving `base` on the window it stopped in:
// the cursor goes to the alignment it ended at, an offset from origin that is
// negative when the match began in a block before the window (the text
// source then moves back to it), and a match found puts the text source on
// its start. Returns the status, or SEARCH_END when the text ended first.
inline int32_t finishBlockSearch(int32_t status, ptrdiff_t alignment, const uint8_t* origin,
                                 const Cursor& base, Cursor& at) {
  if (status == SEARCH_END) return status;
  if (alignment < 0) {
    if (textSource.MoveBy(static_cast<int32_t>(alignment)) != 0) return SEARCH_END;
    reloadCursorWindow(at);
    return status;
  }
  at = base;
  if (!moveTo(at, origin + alignment)) return SEARCH_END;
  if (status == SEARCH_FOUND) textSource.SetPosition(at.p);
  return status;
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

// The double-byte start tests (literal_double_byte.cpp). boundaryAt: whether
// the alignment starts a character; acceptMatch: whether a pattern match at
// the alignment is reported, which only double-byte text can refuse. Both
// move the text source and look at the window again.
bool boundaryAt(Cursor& at, WorkBudget& budget);
bool acceptMatch(Cursor& at, WorkBudget& budget);

// The variants' set-up and searches, which CompileLiteral and SearchLiteral
// choose between. The double-byte ignore-case search (literal_double_byte.cpp)
// numbers the byte sets of the pattern for its linear search; the UTF-8
// ignore-case search (literal_utf8.cpp) folds the pattern's characters and,
// for case forms of other lengths, prepares its candidate filter and literal
// set. Both preparations return 0, or -8 when a table cannot be allocated.
int32_t prepareClassSymbols(const uint8_t* text, int32_t length);
void forgetClassSymbols();
int32_t searchDoubleByteIgnoreCase(const uint8_t* pattern, int32_t length);
int32_t prepareUtf8Symbols(const uint8_t* text, int32_t length);
void forgetUtf8Symbols();
bool utf8SymbolsPrepared();
// *matchLength becomes the bytes of the match found where they differ from
// the pattern length.
int32_t searchUtf8Literal(int32_t* matchLength);

// The probe-and-align loop, one probe: `probe` reads the byte under the
// pattern's last position in its folded form (or PROBE_END, or -1 for a byte
// no alignment up to it can match); every alignment that lastIndex and
// previousDistance give for it is then tried, rightmost occurrence first.
// `move` shifts the alignment by the bytes given (false when the text has
// ended) and `tryAlignment` returns PROBE_AGAIN to go on or a result to end
// with. PROBE_AGAIN when the probe's alignments are all passed.
template <typename Probe, typename Move, typename TryAlignment>
inline int32_t probeAndAlign(int32_t length, Probe probe, Move move, TryAlignment tryAlignment) {
  const int32_t last = length - 1;
  const int32_t c = probe();
  if (c == PROBE_END) return SEARCH_END;
  int32_t k = c < 0 ? -1 : lastIndex[c];
  if (k < 0) return move(length) ? PROBE_AGAIN : SEARCH_END;
  if (!move(last - k)) return SEARCH_END;
  for (;;) {
    const int32_t result = tryAlignment();
    if (result != PROBE_AGAIN) return result;
    const int32_t distance = previousDistance[k];
    if (!move(distance)) return SEARCH_END;
    k -= distance;
    if (k < 0) return PROBE_AGAIN;
  }
}

// ---------------------------------------------------------------------------
// The linear search

// How the linear search decides that a match may begin where it stands.
enum StartCheck {
  START_ANY,            // every position may
  START_CHAIN,          // double-byte text with line-feed lines: the role chain
  START_BOUNDARY_TEST,  // double-byte text whose line starts are asked (records)
};

inline StartCheck startCheckOfText() {
  if (textSource.charMode != ENCODING_DOUBLE_BYTE) return START_ANY;
  // Lines that end in line feeds let the role of each byte follow from the
  // bytes before it; other line starts must be asked of the provider.
  return textSource.askLineBounds ? START_BOUNDARY_TEST : START_CHAIN;
}


// Knuth-Morris-Pratt from the alignment at `at`, over symbols that take one
// text byte each: the search of double-byte records and of double-byte
// ignore case with lead bytes in the pattern (the byte search of other text
// reads ahead block by block instead, literal_search.cpp). The text
// source stays on the alignment, and bytes past the window's data are read
// through CharAt. Every text byte is read once, in order (symbols.text sees
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

}  // namespace literal_internal
