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
// wholly inside the window data, a vector scan finds the next position that
// could begin a match, and the whole pattern is compared there. A pattern of
// up to LITERAL_SET_LENGTH bytes is found by the literal-set search, which
// probes its two rarest bytes; a longer one by a scan for its first and last
// bytes (literal_candidates.cpp). Only a verified candidate moves the
// position (so AdvanceTo sees one move per match). The literal-set search
// keeps the unverified candidates of the block its match lay in; while the
// window holds the bytes it read then (the text source's TextPlace tells),
// the next search, which the driver starts just after the match, verifies
// those first and reads the next block only after them. When no candidate
// starts in the data, the alignments that straddle the data end are compared
// with the bytes the window holds: when none agrees that far, the search goes
// on at the next block. Otherwise, and for a pattern longer than
// STRADDLE_CHECK_LENGTH, the linear search below reads them on into the next
// block (double-byte records, whose character starts the provider is asked
// for, keep to the plain loop, which reads the bytes after the data through
// CharAt).
//
// Both compare each candidate from its start, so a periodic pattern over
// periodic text (x^k NEEDLE over a run of x, where every alignment agrees for
// k bytes) would cost pattern length times text length. Every byte compared
// is therefore charged against a budget that grows with the text passed.
// When it runs out, the search goes on from the current alignment with the
// Knuth-Morris-Pratt search: each text byte is read once, and after a
// mismatch that follows j equal bytes the alignment moves on to the longest
// border of those j bytes (`borderLength`), so that they need not be read
// again. In bytes (searchAheadWith) it reads the window's data directly and
// moves the text source on block by block while a partial match that began
// in an earlier block goes on; a run of text that repeats the period of a
// partial match is passed by one vector scan. In double-byte text it
// follows the role (lead or trail byte) of the alignment's first byte as the
// alignment moves, over the pattern's prefixes by a table, so that a match
// on a trail byte is passed over. It hands back to the fast search once the
// alignment lies in a block read during it with room for a whole pattern, or
// after a long stretch with no partial match. Double-byte records run the
// shared linear search of literal_search_internal.h, which keeps the text
// source on the alignment and asks the provider where characters start.
//
// This file holds the entry points, the set-up of the tables and the search
// in bytes (also double-byte text without case folding of lead bytes, and
// UTF-8 text matched exactly), and the search over a block of memory, which
// runs the same probe-and-align loop. Ignore case in double-byte text with
// lead bytes in the pattern (literal_double_byte.cpp) and in UTF-8 text
// (literal_utf8.cpp) have searches of their own; literal_search_internal.h
// holds what the files share.
//
// Tested by literal_search_test.cpp and the end-to-end suite.
#include "pattern/literal_search.h"

#include <cstring>

#include "pattern/literal_search_internal.h"
#include "support/memory_pool.h"

namespace literal_internal {

int32_t lastIndex[256];
int32_t* previousDistance = nullptr;
int32_t* borderLength = nullptr;
uint8_t* upperCopy = nullptr;
uint8_t* lowerCopy = nullptr;
int32_t literalIgnoreCase = 0;
int32_t* symbolPattern = nullptr;
int32_t* symbolBorder = nullptr;
uint8_t* symbolBytes = nullptr;
int32_t symbolCount = 0;
int32_t workPerByte = WORK_PER_BYTE;
int32_t workAllowance = -1;
int64_t comparisonTotal = 0;

}  // namespace literal_internal

using namespace literal_internal;

namespace {

uint8_t* workArea = nullptr;
uint32_t workAreaSize = 0;
int32_t caseFoldMultiByte = 0;
// Bytes of text the last match spans: the pattern length, except where case
// forms of another length make the match longer or shorter.
int32_t lastMatchLength = 0;

const uint8_t* identityTable() {
  static const struct Identity {
    uint8_t bytes[256];
    Identity() {
      for (int32_t b = 0; b < 256; ++b) bytes[b] = static_cast<uint8_t>(b);
    }
  } identity;
  return identity.bytes;
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

// ---------------------------------------------------------------------------
// The search in single-byte terms (also double-byte text without case
// folding of lead bytes, and UTF-8 text matched exactly)

// Longest pattern whose alignments across the data end are ruled out from
// the window's bytes alone; longer ones are read on past the data end.
constexpr int32_t STRADDLE_CHECK_LENGTH = 64;

// Whether an alignment starting in [from, dataEnd), which runs past the data
// end, agrees with the pattern as far as the data goes. When none does, the
// search can move straight to the next block without reading past the data
// end at all.
bool straddleMayMatch(const uint8_t* from, const uint8_t* dataEnd, const uint8_t* pattern,
                      int32_t length, WorkBudget& budget) {
  if (length > STRADDLE_CHECK_LENGTH) return true;
  for (const uint8_t* s = from; s < dataEnd; ++s) {
    const auto available = static_cast<int32_t>(dataEnd - s);
    const int32_t same = sameBytes(s, pattern, available);
    budget.spend(comparedBytes(same, available));
    if (same == available) return true;
  }
  return false;
}

// A pattern of up to LITERAL_SET_LENGTH bytes is looked for with the
// literal-set search, which probes its two rarest bytes instead of its first
// and last, so a common first or last byte ("include") does not stop the
// vector scan at every other word. Kept for the last pattern until
// CompileLiteral or a change of scanner; null when the pattern does not suit
// it or the plain scalar filter is selected.
struct SingleLiteral {
  bool tried;
  bool usable;
  const uint8_t* pattern;  // where the bytes below were taken from
  int32_t length;
  int32_t ignoreCase;
  uint8_t bytes[LITERAL_SET_LENGTH];
  LiteralSet set;
};

SingleLiteral singleLiteral;

// The candidates the literal-set search kept from its last call, and the
// window it read: the text (TextPlace's number, 0 when nothing is kept) and
// the difference between a text offset and the window pointer to it. While
// the text, that difference and the data end stay the same, the window holds
// the same bytes, and the next search, which the driver starts just after
// the match, goes on from the kept candidates. A source without TextPlace
// keeps nothing.
struct KeptCandidates {
  LiteralSetHits hits;
  uint32_t text;
  int64_t base;
};

KeptCandidates kept;

void forgetKeptCandidates() {
  kept.text = 0;
  kept.hits.end = nullptr;
}

// Whether the candidates kept answer a search from the cursor.
bool keptCandidatesCover(const Cursor& at) {
  if (kept.text == 0 || !literalSetHitsCover(kept.hits, at.p, at.dataEnd)) return false;
  int64_t offset;
  return textSource.TextPlace(at.p, &offset) == kept.text && windowBase(at.p, offset) == kept.base;
}

// The first start of the single literal in [at.p, at.dataEnd), from the
// candidates kept where they answer, else by a new search that keeps its own.
const uint8_t* findSetCandidate(const LiteralSet& set, const Cursor& at) {
  if (keptCandidatesCover(at)) return resumeLiteralSet(set, at.p, &kept.hits);
  if (textSource.TextPlace == nullptr) return findLiteralSet(set, at.p, at.dataEnd);
  int64_t offset;
  kept.text = textSource.TextPlace(at.p, &offset);
  kept.base = windowBase(at.p, offset);
  return findLiteralSetKeeping(set, at.p, at.dataEnd, &kept.hits);
}

const LiteralSet* singleLiteralSet(const uint8_t* pattern, int32_t length) {
  SingleLiteral& single = singleLiteral;
  // The driver searches for the same text, compiled once, match after match:
  // the same place and length need no comparison of the bytes.
  const bool same = single.tried && single.length == length &&
                    single.ignoreCase == literalIgnoreCase &&
                    (single.pattern == pattern ||
                     std::memcmp(single.bytes, pattern, static_cast<size_t>(length)) == 0);
  if (!same) {
    forgetKeptCandidates();
    single.tried = true;
    single.pattern = pattern;
    single.length = length;
    single.ignoreCase = literalIgnoreCase;
    single.usable = length <= LITERAL_SET_LENGTH && chosenScanner() >= LITERAL_SCAN_SSE2;
    if (single.usable) {
      std::memcpy(single.bytes, pattern, static_cast<size_t>(length));
      const uint8_t* literals[1] = {pattern};
      single.usable = prepareLiteralSet(literals, &length, 1, literalIgnoreCase != 0, &single.set);
    }
  }
  return single.usable ? &single.set : nullptr;
}

// The filter and the probe-and-align loop until a match, the end of the
// text, or the budget runs out (SEARCH_LINEAR, with the alignment at the
// first position not yet ruled out).
int32_t searchBytesFast(const uint8_t* pattern, int32_t length, bool useFilter,
                        const LiteralSet* set, bool readsAhead, Cursor& at, WorkBudget& budget) {
  const int32_t last = length - 1;
  for (;;) {
    if (useFilter && at.dataEnd - at.p >= length) {
      const uint8_t* straddleStart = at.dataEnd - last;
      const uint8_t* from = at.p;
      const uint8_t* verified = nullptr;
      if (set != nullptr) {
        // Each start is compared with at most the whole pattern, so the work
        // stays linear without charging it start by start.
        verified = findSetCandidate(*set, at);
        if (verified != nullptr) {
          budget.pass(verified + 1 - from);
          budget.spend(length);
        } else {
          budget.pass(straddleStart - from);
          from = straddleStart;
        }
      }
      // Failed candidates do not move the text source: its line bookkeeping
      // would rescan the line for every one of them.
      while (set == nullptr && from < straddleStart) {
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
        const bool straddles = straddleMayMatch(straddleStart, at.dataEnd, pattern, length, budget);
        if (!moveTo(at, straddles ? straddleStart : at.dataEnd)) return SEARCH_END;
        if (at.dataEnd - at.p >= length) continue;  // a new block came in
      } else {
        if (!moveTo(at, verified)) return SEARCH_END;
        if (acceptMatch(at, budget)) return SEARCH_FOUND;
        if (!moveTo(at, at.p + 1)) return SEARCH_END;
        if (budget.exhausted()) return SEARCH_LINEAR;
        continue;
      }
    }

    // An alignment that runs past the data end: the linear search reads on
    // into the next block, where the plain loop would read byte by byte
    // through CharAt.
    if (readsAhead && at.dataEnd - at.p < length) return SEARCH_LINEAR;

    // One probe of the plain loop.
    const int32_t result = probeAndAlign(
        length,
        [&]() -> int32_t {
          int32_t c;
          if (last < at.dataEnd - at.p) {
            c = at.p[last];
          } else {
            textSource.SetPosition(at.p);
            c = textSource.CharAt(last);
            if (c < 0) return PROBE_END;
            reloadCursorWindow(at);
          }
          return literalIgnoreCase ? upperTable[c] : c;
        },
        [&](int32_t distance) -> bool {
          if (!moveTo(at, at.p + distance)) return false;
          budget.pass(distance);
          return true;
        },
        [&]() -> int32_t {
          if (alignmentMatches(at, pattern, length, budget) && acceptMatch(at, budget)) {
            return SEARCH_FOUND;
          }
          if (budget.exhausted()) return moveTo(at, at.p + 1) ? SEARCH_LINEAR : SEARCH_END;
          return PROBE_AGAIN;
        });
    if (result != PROBE_AGAIN) return result;
  }
}

// Partial matches shorter than this are not worth a period scan.
constexpr int32_t PERIOD_SCAN_LENGTH = 32;

// The role of an alignment's first byte (true: a trail byte) after it moves
// over the pattern's first d bytes, which the text bytes there match:
// roleAfterPrefix[d] holds the role reached from a non-trail start in bit 0
// and from a trail start in bit 1. Null unless the pattern was compiled for
// double-byte text, and when bytes of both roles fold to one pattern byte.
uint8_t* roleAfterPrefix = nullptr;

bool roleAfterMove(bool trail, int32_t d) {
  return ((roleAfterPrefix[d] >> (trail ? 1 : 0)) & 1) != 0;
}

// The same after k moves over the first d bytes: a prefix that holds a byte
// other than a lead byte sets the role whatever it was; one of lead bytes
// alone flips it when d is odd.
bool roleAfterMoves(bool trail, int32_t d, int64_t k) {
  if (k == 0) return trail;
  const uint8_t entry = roleAfterPrefix[d];
  if (entry == 0 || entry == 3) return entry != 0;
  return trail != ((entry & 1) != 0 && (k & 1) != 0);
}

// Knuth-Morris-Pratt from the alignment at `at` over the bytes as they come:
// the search reads the window's data directly and, at its end, moves the
// text source there, which brings in the next block, while a partial match
// may still begin in the block before. The search keeps only the read
// position and the bytes matched; a match found moves the text source back
// to its start (MoveBy), which only a match does.
//
// In periodic text a partial match of j bytes whose prefix has the period q
// (q = j - border) and that breaks the period at j is lost and regained at
// every q-th byte. When a mismatch is followed at once by the border step
// that continues the period, and the prefix holds the period at least twice
// (j >= 2q - 1: every alignment in another phase fails within q bytes), the
// rest of the periodic run is passed by one vector scan (periodScan); after
// r more bytes of it the state is border + 1 + r mod q, since the states
// cycle through the last q prefix lengths, and the alignment has moved
// r div q times over the pattern's first q bytes.
//
// CHAIN (double-byte text with line-feed lines): a match must not begin on
// a trail byte. The role of the alignment's first byte is taken from the
// text source once (boundaryAt) and then followed as the alignment moves:
// over one text byte by that byte, over a prefix of the pattern by
// roleAfterPrefix, so that the bytes left behind need not be read again.
//
// Hands back (SEARCH_RESUME, at the alignment) after RESUME_DISTANCE bytes
// without a partial match, and as soon as the alignment lies in a block that
// came in during this search and the rest of that block holds a whole
// pattern, where the fast search can take the alignments whole again.
template <bool FOLD, bool CHAIN>
int32_t searchAheadWith(const uint8_t* pattern, int32_t length, Cursor& at, WorkBudget& budget) {
  const int32_t* border = borderLength;
  const int64_t resumeAfter = std::max<int64_t>(RESUME_DISTANCE, 2 * static_cast<int64_t>(length));
  // Whether the alignment's first byte is a trail byte.
  bool startTrail = CHAIN && !boundaryAt(at, budget);
  // The window as the last move left it: base.p is where the text source
  // stands (or, before the first block comes in, a position it can move to
  // as the fast search would); offsets below count from it.
  Cursor base = at;
  const uint8_t* origin = at.p;
  const uint8_t* t = at.p;  // the next byte to read
  const uint8_t* end = at.dataEnd;
  int64_t readBefore = 0;  // bytes read in the blocks before this one
  // Alignment offsets that may be handed back; none until a block comes in.
  ptrdiff_t handFrom = PTRDIFF_MAX;
  ptrdiff_t handTo = -1;
  int64_t compared = 0;
  int32_t j = 0;  // bytes matched at the alignment t - j
  int32_t status = SEARCH_END;
  ptrdiff_t alignment = 0;  // where the search ends: offset from origin

  for (;;) {
    while (t < end) {
      const int32_t raw = *t++;
      const int32_t c = FOLD ? upperTable[raw] : raw;
      ++compared;
      if (c == pattern[j]) {
        if (++j == length) {
          if (!CHAIN || !startTrail) {
            alignment = (t - origin) - length;
            status = SEARCH_FOUND;
            goto done;
          }
          // A match that begins on a trail byte is none; the search goes on
          // from the pattern's longest border.
          j = border[length];
          startTrail = roleAfterMove(startTrail, length - j);
        }
      } else if (j > 0) {
        const int32_t matched = j;
        j = border[j];
        if (CHAIN) startTrail = roleAfterMove(startTrail, matched - j);
        ++compared;
        if (c == pattern[j]) {
          ++j;
          const int32_t q = matched - j + 1;
          if (matched >= PERIOD_SCAN_LENGTH && matched >= 2 * q - 1 && t - origin >= q) {
            const uint8_t* runEnd = periodScan(t, end, q);
            const ptrdiff_t run = runEnd - t;
            compared += run;
            j += static_cast<int32_t>(run % q);
            if (CHAIN) startTrail = roleAfterMoves(startTrail, q, run / q);
            t = runEnd;
          }
        } else {
          while (j > 0 && c != pattern[j]) {
            const int32_t longer = j;
            j = border[j];
            if (CHAIN) startTrail = roleAfterMove(startTrail, longer - j);
            ++compared;
          }
          if (c == pattern[j]) {
            ++j;
          } else if (CHAIN) {
            startTrail = !startTrail && isRoleLead(raw);
          }
        }
      } else if (CHAIN) {
        startTrail = !startTrail && isRoleLead(raw);
      }
      if (j == 0) {
        const ptrdiff_t here = t - origin;
        if ((here >= handFrom && here <= handTo) || readBefore + here >= resumeAfter) {
          alignment = here;
          status = SEARCH_RESUME;
          goto done;
        }
      } else if ((t - origin) - j >= handFrom) {
        alignment = (t - origin) - j;
        if (alignment <= handTo) {
          status = SEARCH_RESUME;
          goto done;
        }
        handFrom = PTRDIFF_MAX;  // the alignment only moves on: not in this block
      }
    }
    if (!enterNextBlock(end, base, origin, t, end, readBefore)) goto done;
    handFrom = 0;
    handTo = (end - origin) - length;
  }

done:
  budget.spend(compared);
  return finishBlockSearch(status, alignment, origin, base, at);
}

// Fills roleAfterPrefix's table (length + 1 entries at `table`) for a
// pattern of double-byte text: the role of a text byte that matches pattern
// byte i is the one every byte folding to it has. False when some pattern
// byte is matched by bytes of both roles.
bool prepareRoles(const uint8_t* pattern, int32_t length, uint8_t* table) {
  uint8_t roles[256] = {};  // 1: matched by a byte that is no lead byte, 2: by a lead byte
  for (int32_t c = 0; c < 256; ++c) {
    roles[literalIgnoreCase ? upperTable[c] : c] |= isRoleLead(c) ? 2 : 1;
  }
  bool fromOther = false;  // the role reached from a first byte that is no trail byte
  bool fromTrail = true;   // and from a trail byte
  table[0] = 2;
  for (int32_t i = 0; i < length; ++i) {
    if (roles[pattern[i]] == 3) return false;
    const bool lead = roles[pattern[i]] == 2;
    fromOther = !fromOther && lead;
    fromTrail = !fromTrail && lead;
    table[i + 1] = static_cast<uint8_t>((fromOther ? 1 : 0) | (fromTrail ? 2 : 0));
  }
  return true;
}

// The search that follows a match found through the single literal's set
// over the same window (the driver's next search, just after that match),
// where the text is no double-byte text, whose matches the start test may
// refuse: the next candidate kept that is a match. It does what the fast
// search's first step would do; -1 where that step would need more (no
// candidate kept answers, or none is left in the window's data).
int32_t searchKeptCandidates(const uint8_t* pattern, int32_t length) {
  if (kept.text == 0 || singleLiteral.pattern != pattern || singleLiteral.length != length ||
      textSource.charMode == ENCODING_DOUBLE_BYTE) {
    return -1;
  }
  Cursor at;
  reloadCursorWindow(at);
  if (at.dataEnd - at.p < length || !keptCandidatesCover(at)) return -1;
  const uint8_t* verified = resumeLiteralSet(singleLiteral.set, at.p, &kept.hits);
  if (verified == nullptr) return -1;
  comparisonTotal += length;
  if (!moveTo(at, verified)) return SEARCH_END;
  textSource.SetPosition(at.p);
  return SEARCH_FOUND;
}

// Out of line, so that the search from kept candidates in front of it does
// not pay for its frame.
[[gnu::noinline]] int32_t searchBytes(const uint8_t* pattern, int32_t length) {
  const bool useFilter = candidateScan != nullptr;
  const LiteralSet* set = useFilter ? singleLiteralSet(pattern, length) : nullptr;
  if (useFilter && set == nullptr) prepareFilter(pattern, length);
  // Double-byte text whose line starts must be asked of the provider
  // (records) keeps to the search that follows the alignment through CharAt.
  const StartCheck check = startCheckOfText();
  const bool readsAhead =
      check == START_ANY || (check == START_CHAIN && roleAfterPrefix != nullptr);
  WorkBudget budget(length);
  Cursor at;
  reloadCursorWindow(at);
  for (;;) {
    const int32_t fast = searchBytesFast(pattern, length, useFilter, set, readsAhead, at, budget);
    if (fast != SEARCH_LINEAR) return fast;
    int32_t linear;
    if (check == START_CHAIN && readsAhead) {
      linear = literalIgnoreCase ? searchAheadWith<true, true>(pattern, length, at, budget)
                                 : searchAheadWith<false, true>(pattern, length, at, budget);
    } else if (readsAhead) {
      linear = literalIgnoreCase ? searchAheadWith<true, false>(pattern, length, at, budget)
                                 : searchAheadWith<false, false>(pattern, length, at, budget);
    } else if (literalIgnoreCase) {
      linear = searchLinear(FoldedByteSymbols{pattern}, borderLength, length, check, true, at,
                            budget);
    } else {
      linear = searchLinear(ByteSymbols{pattern}, borderLength, length, check, true, at, budget);
    }
    if (linear != SEARCH_RESUME) return linear;
    budget.reset();
  }
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
  singleLiteral.tried = false;
  forgetKeptCandidates();
  return chosenScanner();
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
  singleLiteral.tried = false;
  forgetKeptCandidates();
  forgetClassSymbols();
  forgetUtf8Symbols();
  caseFoldMultiByte = 0;
  roleAfterPrefix = nullptr;
  if (chosenScanner() < 0) chooseScanner(-1);
  if (length <= 0) return 0;
  for (int32_t& entry : lastIndex) entry = -1;

  bool leadBytes = false;
  if (encodingMode == ENCODING_DOUBLE_BYTE && ignoreCase == 1) {
    for (int32_t i = 0; i < length && !leadBytes; ++i) leadBytes = leadByteTable[text[i]] != 0;
  }
  const bool utf8Characters = encodingMode == ENCODING_UTF8 && ignoreCase == 1 &&
                              length <= INT32_MAX / 6;  // character offsets stay in 32 bits
  const bool symbols = leadBytes || utf8Characters;
  const bool roles = encodingMode == ENCODING_DOUBLE_BYTE && !leadBytes;
  // previousDistance, borderLength, [symbolPattern, symbolBorder], the two
  // copies, [symbolBytes], [roleAfterPrefix].
  const uint64_t m = static_cast<uint64_t>(length);
  const uint64_t needed = 4 * m + 4 * (m + 1) + 2 * m + (symbols ? 4 * m + 4 * (m + 1) + m : 0) +
                          (roles ? m + 1 : 0);
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
  if (roles && prepareRoles(text, length, lowerCopy + length)) roleAfterPrefix = lowerCopy + length;

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
    const int32_t status = prepareUtf8Symbols(text, length);
    if (status != 0) return status;
  }
  return 0;
}

int32_t SearchLiteral(const uint8_t* text, int32_t length) {
  lastMatchLength = length;
  if (length == 0) return 1;
  if (caseFoldMultiByte == 1) return searchDoubleByteIgnoreCase(text, length);
  if (textSource.charMode == ENCODING_UTF8 && literalIgnoreCase == 1 && utf8SymbolsPrepared()) {
    return searchUtf8Literal(&lastMatchLength);
  }
  const int32_t resumed = searchKeptCandidates(text, length);
  if (resumed >= 0) return resumed;
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
    const int32_t result = probeAndAlign(
        length,
        [&]() -> int32_t {
          if (p > blockLength - length) return PROBE_END;  // the probe would lie beyond the block
          const uint8_t c = block[p + last];
          return literalIgnoreCase ? upperTable[c] : c;
        },
        [&](int32_t distance) -> bool {
          p += distance;
          budget.pass(distance);
          return true;
        },
        [&]() -> int32_t {
          // This alignment and all later run past the block.
          if (p > blockLength - length) return SEARCH_END;
          const int32_t same = sameBytes(block + p, pattern, length);
          budget.spend(comparedBytes(same, length));
          if (same == length) return SEARCH_FOUND;
          return budget.exhausted() ? SEARCH_LINEAR : PROBE_AGAIN;
        });
    if (result == SEARCH_FOUND) return p + 1;
    if (result == SEARCH_LINEAR) {
      return findInMemoryLinear(p + 1, pattern, length, block, blockLength, budget);
    }
    if (result != PROBE_AGAIN) return 0;
  }
}
