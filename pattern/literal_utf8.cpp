// Literal search ignoring case in UTF-8 text: whole characters are compared
// by their simple case folds, so that a match may spell a letter in any of
// its case forms, also in a form of another encoded length (the Kelvin sign
// for k, the long s for s).
//
// Candidates are the starts of a few byte strings that every match begins
// with (the spellings of its first characters), found by the vectorised
// literal-set search, or failing that by the candidate filter on the first
// bytes of two characters a fixed distance apart; each is compared character
// by character. That serves every pattern: a byte-at-a-time probe over text
// where the pattern's letters are common ("error") was ten times slower.
// Without a vector unit, a pattern whose characters keep their lengths in all
// their case forms (so that a match spans as many bytes as the pattern) runs
// the probe-and-align loop over the folded pattern: the probed byte is folded
// as part of the character it belongs to. The linear fallback, for other
// patterns and when candidates keep failing, is Knuth-Morris-Pratt over
// characters. It reads the window's data directly block by block, keeps the
// byte sizes of the matched characters in a ring (case forms of other
// lengths make them differ from the pattern's), and passes a run of text
// that repeats the bytes of the last q characters with one vector scan, as
// the byte search does, and hands back to the candidate search as that one
// does to its fast search. Only a pattern that begins with a
// continuation byte, which may match inside a character, keeps to a search
// that reads through the text source and tries those positions one by one.
//
// Tested by literal_search_test.cpp and the end-to-end suite.
#include <algorithm>
#include <cstring>

#include "pattern/literal_search_internal.h"
#include "pattern/literal_set_search.h"
#include "support/memory_pool.h"

namespace literal_internal {

namespace {

// An undecodable UTF-8 byte as a symbol: equal only to the same byte.
constexpr uint32_t INVALID_SYMBOL = 0x80000000u;

// Whether the symbols below belong to the pattern last compiled.
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
  if (wanted < 2 || count < wanted) return INVALID_CODE_POINT;
  for (int32_t k = 1; k < wanted; ++k) {
    if ((bytes[k] & 0xC0) != 0x80) return INVALID_CODE_POINT;
  }
  uint32_t decoded;
  decodeUtf8(bytes, bytes + wanted, &decoded);
  // An overlong form or a surrogate is no character either.
  constexpr uint32_t SMALLEST[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
  if (decoded < SMALLEST[wanted] || (decoded >= 0xD800 && decoded <= 0xDFFF)) {
    return INVALID_CODE_POINT;
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
  *codePoint = decoded == INVALID_CODE_POINT ? decoded : foldCodePoint(decoded);
  return true;
}

// The same character as a symbol: the folded code point, or the byte itself
// marked invalid.
bool characterSymbolAt(const Cursor& at, int32_t i, int32_t* symbol, int32_t* length) {
  uint32_t codePoint;
  if (!foldedCharacterAt(at, i, &codePoint, length)) return false;
  if (codePoint == INVALID_CODE_POINT) {
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
  if (!foldedCharacterAt(at, last - back, &folded, &length) || folded == INVALID_CODE_POINT ||
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
// the text bytes of a match. With `undecided` given, the comparison stops
// short of a character that may reach past the window's data and sets it.
bool utf8MatchesAt(const Cursor& at, int32_t from, const uint8_t* pattern, int32_t length,
                   int32_t* compared, int32_t* spanned = nullptr, bool* undecided = nullptr) {
  constexpr int32_t LONGEST_SEQUENCE = 6;
  int32_t i = 0;
  int32_t t = from;
  *compared = 0;
  while (i < length) {
    if (undecided != nullptr && t + LONGEST_SEQUENCE > at.dataEnd - at.p) {
      *undecided = true;
      return false;
    }
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
    if (expected == INVALID_CODE_POINT && byteAt(at, t) != pattern[i]) return false;
    i += patternStep;
    t += textStep;
  }
  if (spanned != nullptr) *spanned = t - from;
  return true;
}

// Tries the pattern at the cursor, its comparisons charged to the budget;
// on a match the source is left at the cursor.
bool matchesHere(const Cursor& at, const uint8_t* pattern, int32_t length, WorkBudget& budget) {
  int32_t compared;
  const bool whole = utf8MatchesAt(at, 0, pattern, length, &compared);
  budget.spend(compared);
  if (whole) textSource.SetPosition(at.p);
  return whole;
}

// Moves to the alignment `offset` bytes on and reports it.
int32_t reportAhead(Cursor& at, int32_t offset) {
  if (!moveTo(at, at.p + offset)) return SEARCH_END;
  textSource.SetPosition(at.p);
  return SEARCH_FOUND;
}

// Knuth-Morris-Pratt over characters, from the alignment at `at`, for a
// pattern that begins with a continuation byte. The characters are decoded
// from there on; an alignment inside one of them
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

// Whether the pattern begins with a continuation byte: only then may a match
// begin inside a character that the search decodes from an earlier start.
bool beginsWithContinuationByte() {
  const auto first = static_cast<uint32_t>(symbolPattern[0]);
  return (first & INVALID_SYMBOL) != 0 && (first & 0xC0) == 0x80;
}

// Bytes past its first that the decoding of a character may look at.
constexpr int32_t DECODE_REACH = 5;
// Partial matches of fewer characters are not worth a period scan.
constexpr int32_t CHARACTER_PERIOD_SCAN_LENGTH = 32;

// The sizes of matched characters in a ring of `size` slots: the sum of n
// entries from slot `from` on.
int64_t ringSum(const uint8_t* ring, int32_t size, int32_t from, int64_t n) {
  int64_t total = 0;
  while (n > 0) {
    const auto span = static_cast<int32_t>(std::min<int64_t>(n, size - from));
    for (int32_t k = 0; k < span; ++k) total += ring[from + k];
    n -= span;
    from = 0;
  }
  return total;
}

// Gives the n slots from `from` on the entries of the q slots before them,
// repeated; n + q must not exceed the ring. The copies double in length as
// the repeated stretch grows.
void ringRepeat(uint8_t* ring, int32_t size, int32_t from, int64_t n, int32_t q) {
  int64_t done = 0;
  while (done < n) {
    const int64_t period = q * ((q + done) / q);  // a multiple of q that the stretch holds
    const auto to = static_cast<int32_t>((from + done) % size);
    int64_t source = to - period;
    if (source < 0) source += size;
    const int64_t chunk =
        std::min({n - done, period, static_cast<int64_t>(size - to), size - source});
    std::memcpy(ring + to, ring + source, static_cast<size_t>(chunk));
    done += chunk;
  }
}

// The character of `wanted` bytes that begins at `from`, among the last
// bytes of the data (which ends at `end`): the bytes past the data are read
// through the text source, which stays where it stands.
uint32_t decodeAcrossDataEnd(const uint8_t* from, const uint8_t* end, int32_t wanted,
                             int32_t* length) {
  const uint8_t* cursor;
  const uint8_t* limit;
  const uint8_t* dataEnd;
  textSource.GetWindow(&cursor, &limit, &dataEnd);
  uint8_t bytes[6];
  int32_t count = 0;
  for (; count < wanted; ++count) {
    const int32_t c = from + count < end
                          ? from[count]
                          : textSource.CharAt(static_cast<int32_t>(from + count - cursor));
    if (c < 0) break;
    bytes[count] = static_cast<uint8_t>(c);
  }
  return decodeSequence(bytes, count, length);
}

// Knuth-Morris-Pratt over characters, from the alignment at `at`, reading the
// window's data directly block by block as the byte search does
// (searchAheadWith in literal_search.cpp): at the data end the text source
// moves on and brings in the next block, while the partial match may begin
// in a block before; a character cut by the data end is completed through
// CharAt. Alignments are the characters decoded from `at` on: a pattern
// that may begin inside one of them takes searchUtf8Linear instead.
//
// The byte sizes of the matched characters (which case forms of other
// lengths make differ from the pattern's) wait in the ring symbolBytes,
// `head` being the slot of the next one; a move of the alignment to a border
// subtracts the sizes of the characters it passes from `ahead`, the bytes of
// the partial match. A periodic run is passed as in bytes: when a mismatch
// after `matched` characters is followed at once by the border step that
// continues the period (q characters, matched >= 2q - 1), the q characters
// just read span qb bytes, and the text that repeats those bytes (periodScan)
// decodes into the same characters, so whole repetitions of them leave the
// state where it is and move the alignment by q characters each; the run
// stops DECODE_REACH bytes short of its end, which the last character's
// decoding may look at. The ring then gets the sizes of the repetitions.
//
// With mayResume, hands back (SEARCH_RESUME) as the byte search does: after
// RESUME_DISTANCE bytes without a partial match, or with the alignment in a
// block that came in with room for the pattern's bytes after it.
int32_t searchUtf8Ahead(int32_t patternBytes, bool mayResume, Cursor& at, WorkBudget& budget) {
  const int32_t count = symbolCount;
  const int32_t* pattern = symbolPattern;
  const int32_t* border = symbolBorder;
  uint8_t* sizes = symbolBytes;
  const int64_t resumeAfter =
      mayResume ? std::max<int64_t>(RESUME_DISTANCE, 2 * static_cast<int64_t>(patternBytes))
                : INT64_MAX;
  Cursor base = at;
  const uint8_t* origin = at.p;
  const uint8_t* t = at.p;
  const uint8_t* end = at.dataEnd;
  int64_t readBefore = 0;
  ptrdiff_t handFrom = PTRDIFF_MAX;
  ptrdiff_t handTo = -1;
  int64_t compared = 0;
  int32_t j = 0;       // characters matched
  int32_t head = 0;    // ring slot of the next character matched
  int64_t ahead = 0;   // bytes of the j characters: the alignment is t - ahead
  int32_t status = SEARCH_END;
  ptrdiff_t alignment = 0;

  const auto slotBack = [&](int64_t n) {
    const auto s = static_cast<int32_t>(head - n);
    return s < 0 ? s + count : s;
  };
  const auto record = [&](int32_t size) {
    sizes[head] = static_cast<uint8_t>(size);
    if (++head == count) head = 0;
    ahead += size;
    ++j;
  };
  const auto moveToBorder = [&]() {
    const int32_t shorter = border[j];
    ahead -= ringSum(sizes, count, slotBack(j), j - shorter);
    j = shorter;
    ++compared;
  };
  // The periodic run after a border step that left q characters of period.
  const auto passPeriod = [&](int32_t q) {
    const int64_t unitBytes = ringSum(sizes, count, slotBack(q), q);
    if (t - origin < unitBytes) return;
    const uint8_t* runEnd = periodScan(t, end, static_cast<int32_t>(unitBytes));
    const int64_t units = (runEnd - t - DECODE_REACH) / unitBytes;
    if (units <= 0) return;
    const int64_t characters = units * q;
    // Of the characters after them, the ring needs the sizes of the last j:
    // all of the repetitions that the partial match reaches back into (whole
    // ones, so that the last q slots stay the last repetition).
    int64_t repeated;
    if (j > characters) {
      ahead += units * unitBytes - ringSum(sizes, count, slotBack(j), characters);
      repeated = characters;
    } else {
      repeated = q * ((j - 1) / q);
    }
    ringRepeat(sizes, count, head, repeated, q);
    head = static_cast<int32_t>((head + repeated) % count);
    if (j <= characters) ahead = ringSum(sizes, count, slotBack(j), j);
    compared += units * unitBytes;
    t += units * unitBytes;
  };

  for (;;) {
    while (t < end) {
      int32_t symbol;
      int32_t size = 1;
      const int32_t lead = *t;
      if (lead < 0x80) {
        symbol = ASCII_FOLDS.fold[lead];
      } else {
        const int32_t wanted = sequenceLength(lead);
        uint32_t code = INVALID_CODE_POINT;
        if (wanted >= 2) {
          code = end - t >= wanted ? decodeSequence(t, wanted, &size)
                                   : decodeAcrossDataEnd(t, end, wanted, &size);
        }
        symbol = static_cast<int32_t>(code == INVALID_CODE_POINT ? INVALID_SYMBOL | lead
                                                                 : foldCodePoint(code));
      }
      t += size;
      ++compared;
      if (symbol == pattern[j]) {
        record(size);
        if (j == count) {
          alignment = (t - origin) - ahead;
          status = SEARCH_FOUND;
          goto done;
        }
      } else if (j > 0) {
        const int32_t matched = j;
        moveToBorder();
        if (symbol == pattern[j]) {
          record(size);
          const int32_t q = matched - j + 1;
          if (matched >= CHARACTER_PERIOD_SCAN_LENGTH && matched >= 2 * q - 1) passPeriod(q);
        } else {
          while (j > 0 && symbol != pattern[j]) moveToBorder();
          if (symbol == pattern[j]) record(size);
        }
      }
      const ptrdiff_t start = (t - origin) - ahead;
      if (j == 0 && readBefore + start >= resumeAfter) {
        alignment = start;
        status = SEARCH_RESUME;
        goto done;
      }
      if (start >= handFrom) {
        alignment = start;
        if (alignment <= handTo) {
          status = SEARCH_RESUME;
          goto done;
        }
        handFrom = PTRDIFF_MAX;  // the alignment only moves on: not in this block
      }
    }
    // A character cut by the data end leaves t past it.
    if (!enterNextBlock(t, base, origin, t, end, readBefore)) goto done;
    if (mayResume) {
      handFrom = 0;
      handTo = (end - origin) - patternBytes;
    }
  }

done:
  budget.spend(compared);
  return finishBlockSearch(status, alignment, origin, base, at);
}

// UTF-8 ignore case for patterns with case forms of other lengths: the
// literal set (or, without one, the candidate filter: positions whose bytes
// can begin the pattern's first character and the one utf8FilterOffset bytes
// on) finds candidates, and each is compared character by character. Failed
// candidates do not move the text source.
// SEARCH_LINEAR when the budget runs out, and with readsAhead also at a
// candidate whose comparison reaches past the window's data and at the last
// positions of the data, which the linear search reads on into the next block
// where this search would read byte by byte through CharAt.
int32_t searchUtf8Filtered(const uint8_t* pattern, int32_t length, bool readsAhead, Cursor& at,
                           WorkBudget& budget) {
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
        bool undecided = false;
        const bool whole = utf8MatchesAt(there, 0, pattern, length, &compared, nullptr,
                                         readsAhead ? &undecided : nullptr);
        budget.spend(compared);
        if (undecided) return moveTo(at, candidate) ? SEARCH_LINEAR : SEARCH_END;
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
    if (readsAhead) return SEARCH_LINEAR;
    if (matchesHere(at, pattern, length, budget)) return SEARCH_FOUND;
    if (!moveTo(at, at.p + 1)) return SEARCH_END;
    budget.pass(1);
    if (budget.exhausted()) return SEARCH_LINEAR;
  }
}

int32_t searchUtf8IgnoreCase(const uint8_t* pattern, int32_t length) {
  const int32_t last = length - 1;
  WorkBudget budget(length);
  Cursor at;
  reloadCursorWindow(at);
  const bool readsAhead = !beginsWithContinuationByte();
  const auto linear = [&](bool mayResume) {
    return readsAhead ? searchUtf8Ahead(length, mayResume, at, budget)
                      : searchUtf8Linear(pattern, length, at, budget);
  };
  // The probe assumes that a match spans as many bytes as the pattern: with
  // case forms of other lengths the byte under the pattern's last position
  // may lie past the match, or inside a character the pattern's last
  // character has no byte of. Such patterns are searched over characters.
  if (candidateScan != nullptr && filter.valid) {
    for (;;) {
      const int32_t fast = searchUtf8Filtered(pattern, length, readsAhead, at, budget);
      if (fast != SEARCH_LINEAR) return fast;
      const int32_t result = linear(true);
      if (result != SEARCH_RESUME) return result;
      budget.reset();
    }
  }
  if (foldedLengthsVary) return linear(false);
  const auto probe = [&]() -> int32_t {
    const int32_t probed = byteAt(at, last);
    if (probed < 0) return PROBE_END;
    return probed < 0x80 ? ASCII_FOLDS.fold[probed] : foldProbedByte(at, last, probed);
  };
  const auto move = [&](int32_t distance) -> bool {
    if (!moveTo(at, at.p + distance)) return false;
    budget.pass(distance);
    return true;
  };
  const auto tryAlignment = [&]() -> int32_t {
    if (matchesHere(at, pattern, length, budget)) return SEARCH_FOUND;
    if (budget.exhausted() && utf8SymbolsReady) {
      return moveTo(at, at.p + 1) ? SEARCH_LINEAR : SEARCH_END;
    }
    return PROBE_AGAIN;
  };
  for (;;) {
    int32_t result = probeAndAlign(length, probe, move, tryAlignment);
    if (result == SEARCH_LINEAR) {
      result = linear(true);
      if (result != SEARCH_RESUME) return result;
      budget.reset();
      continue;
    }
    if (result != PROBE_AGAIN) return result;
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
      if (codePoint == INVALID_CODE_POINT) {
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
  settleLiteralProbes(&set);
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

}  // namespace

void forgetUtf8Symbols() {
  utf8SymbolsReady = false;
  utf8SetReady = false;
}

bool utf8SymbolsPrepared() { return utf8SymbolsReady; }

int32_t prepareUtf8Symbols(const uint8_t* text, int32_t length) {
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
  prepareUtf8Filter();
  prepareUtf8Set();
  return 0;
}

int32_t searchUtf8Literal(int32_t* matchLength) {
  const int32_t result = searchUtf8IgnoreCase(foldedPattern, foldedLength);
  if (result == SEARCH_FOUND && foldedLengthsVary) {
    // The match is measured again where it was found.
    Cursor at;
    reloadCursorWindow(at);
    int32_t compared;
    utf8MatchesAt(at, 0, foldedPattern, foldedLength, &compared, matchLength);
    textSource.SetPosition(at.p);
  }
  return result;
}

}  // namespace literal_internal
