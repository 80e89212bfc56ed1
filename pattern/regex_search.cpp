// Regular-expression search: candidate start positions, SearchRegex and
// FindRegexInMemory.
//
// SearchRegex moves forward over the text from the source's current position
// and runs the matcher (matcher.cpp) at each candidate; the first success is
// the leftmost match, and at that position the first in the program's
// priority order. Candidates come from one of three strategies:
//   - a first-character filter: only bytes (code points in UTF-8 mode) that
//     the compiler listed as possible match starts are tried; the byte scan
//     is memchr when one byte qualifies, and reads eight bytes at a time for
//     two bytes or a few ranges of ASCII bytes;
//   - the program's leading instruction: an anchored program is tried at
//     line starts (or ends) reached through the source, a leading character
//     at the positions that hold it;
//   - every position (UTF-8: every character start), including once at the
//     end of the text, where a program that matches the empty string matches.
// Whatever the strategy, a position that lies on no line is never tried: the
// line feed of a CR LF, and the end of a text whose last line is ended.
// The window is scanned with pointer arithmetic; the source is called to
// cross window boundaries. Where the source also describes its whole block
// of data (GetWindow), the byte scans run over the block and cross the
// windows inside it with one AdvanceTo per candidate.
//
// In front of the candidates sits a gate for programs whose every match holds
// a literal and stays on one line: a candidate whose line lacks the literal
// from the candidate on is never tried, and the search moves at once to the
// line that holds the literal's next occurrence, found by one scan over the
// source's block of data. The literal may be a set, one of which every match
// holds (see required_literal.cpp).
//
// FindRegexInMemory runs the same search over a string through a text source
// of its own, and puts the caller's table back afterwards.
//
// Tested by regex_search_test.cpp.
#include <cstring>

#include "pattern/compiled_pattern.h"
#include "pattern/matcher.h"
#include "pattern/matcher_internal.h"
#include "pattern/pike_vm.h"
#include "pattern/required_literal.h"
#include "pattern/text_source.h"
#include "pattern/unicode_set.h"

using matcher_internal::decodeDirect;
using matcher_internal::decodeThroughSource;
using matcher_internal::NO_CHARACTER;
using matcher_internal::refreshWindow;

namespace {

constexpr int32_t FOUND = 0;
constexpr int32_t NOT_FOUND = 1;

MatcherState& m = matcher;

// Whether the pointer lies on a line, where a match may start. Two positions
// belong to no line: the line feed of a CR LF pair (the pair is one line end,
// which its carriage return begins) and the end of a text whose last line
// has its terminator, or of an empty text. The source tells them apart: at
// the end of the text only the end of an unterminated last line is a line
// end, and a line feed after a carriage return is not one of its own.
bool startsOnLine() {
  if (m.cur < m.windowEnd && *m.cur != '\n') return true;
  textSource.SetPosition(m.cur);
  const int32_t c = m.cur < m.windowEnd ? *m.cur : textSource.PeekChar(0);
  if (c < 0) return textSource.AtLineEnd(0, 0) != 0;
  return c != '\n' || textSource.AtLineEnd(-1, 0) != LINE_END_CRLF;
}

// The engine of a search. A program that the Pike VM can run but whose
// backtracking could take more than linear time starts on the backtracker,
// which is the faster of the two on ordinary text, with a budget of steps:
// a stock to begin with and a few more for every attempt. An attempt that
// runs out hands the search over to the Pike VM from its start position on,
// and the program stays with the VM for later searches. The work of a
// search is so bounded by the budget plus the VM's linear pass, while a
// search in which every attempt ends soon never pays for the VM.
constexpr int64_t STEPS_AT_START = 1 << 16;
constexpr int64_t STEPS_PER_ATTEMPT = 16;

bool pikeActive = false;           // this search runs on the Pike VM
bool pikeStandsBy = false;         // the VM takes over when the steps run out
int64_t stepsLeft = 0;

// Runs the program at the pointer: FOUND, NOT_FOUND (try on), or -8. The
// Pike VM also starts the program at the later candidates it passes on its
// way and leaves the pointer at the last of them (or ends the search with
// PIKE_TEXT_END), so that no position of the text is read twice for them.
inline int32_t attempt(const uint8_t* firstBytes, bool once) {
  if (pikeActive) return runPikeVm(PikeCandidates{firstBytes, startsOnLine, once});
  if (!startsOnLine()) return NOT_FOUND;
  int32_t result;
  if (pikeStandsBy) {
    stepsLeft += STEPS_PER_ATTEMPT;
    result = runProgram(compiledPattern.program, &stepsLeft);
    if (result == MATCHER_OUT_OF_STEPS) {
      pikeActive = true;
      handOverToPikeVm();
      return runPikeVm(PikeCandidates{firstBytes, startsOnLine, once});
    }
  } else {
    result = runProgram(compiledPattern.program);
  }
  return result == 1 ? FOUND : result == 0 ? NOT_FOUND : result;
}

// ---------------------------------------------------------------------------
// Byte scans

// The bytes that can begin a match, with the shortcut of the scan.
constexpr int32_t FILTER_RANGE_LIMIT = 4;

struct ByteFilter {
  uint8_t member[256];
  int32_t count;
  uint8_t values[2];  // the members when there are one or two
  // The members as ranges of ASCII bytes [low, high], when they are no more
  // than FILTER_RANGE_LIMIT such ranges (rangeCount 0 otherwise).
  int32_t rangeCount;
  uint8_t low[FILTER_RANGE_LIMIT];
  uint8_t high[FILTER_RANGE_LIMIT];
};

ByteFilter firstByteFilter;
bool firstByteFilterValid = false;

void buildFilter(ByteFilter* filter) {
  filter->count = 0;
  filter->rangeCount = 0;
  bool rangesFit = true;
  for (int32_t b = 0; b < 256; ++b) {
    if (filter->member[b] == 0) continue;
    filter->member[b] = 1;
    if (filter->count < 2) filter->values[filter->count] = static_cast<uint8_t>(b);
    ++filter->count;
    if (b >= 0x80) {
      rangesFit = false;
    } else if (b > 0 && filter->member[b - 1] != 0) {
      filter->high[filter->rangeCount - 1] = static_cast<uint8_t>(b);
    } else if (filter->rangeCount == FILTER_RANGE_LIMIT) {
      rangesFit = false;
    } else if (rangesFit) {
      filter->low[filter->rangeCount] = static_cast<uint8_t>(b);
      filter->high[filter->rangeCount] = static_cast<uint8_t>(b);
      ++filter->rangeCount;
    }
  }
  if (!rangesFit) filter->rangeCount = 0;
}

// The filter of the compiled pattern's first-character table, rebuilt only
// when the table changed since the last search.
const ByteFilter& filterOfTable(const uint8_t* table) {
  uint8_t normalized[256];
  for (int32_t b = 0; b < 256; ++b) normalized[b] = table[b] != 0;
  if (!firstByteFilterValid || std::memcmp(normalized, firstByteFilter.member, 256) != 0) {
    std::memcpy(firstByteFilter.member, normalized, 256);
    buildFilter(&firstByteFilter);
    firstByteFilterValid = true;
  }
  return firstByteFilter;
}

constexpr uint64_t EVERY_BYTE_ONE = 0x0101010101010101ull;
constexpr uint64_t EVERY_BYTE_HIGH = 0x8080808080808080ull;
constexpr uint64_t EVERY_BYTE_LOW7 = 0x7F7F7F7F7F7F7F7Full;

// Nonzero when one of the eight bytes of v is zero.
inline uint64_t hasZeroByte(uint64_t v) { return (v - EVERY_BYTE_ONE) & ~v & EVERY_BYTE_HIGH; }

// Either of two bytes, eight bytes at a time.
const uint8_t* findEither(const uint8_t* from, const uint8_t* to, uint8_t a, uint8_t b) {
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

// A byte of a few ASCII ranges, eight bytes at a time: with the high bit of
// each byte set and its low seven bits x, (0x80 + x) - low and
// (0x80 + x) - (high + 1) borrow from no other byte, and their high bits
// tell x >= low and x > high. Bytes of 0x80 and above are never members.
const uint8_t* findInRanges(const uint8_t* from, const uint8_t* to, const ByteFilter& filter) {
  uint64_t lows[FILTER_RANGE_LIMIT];
  uint64_t aboves[FILTER_RANGE_LIMIT];
  const int32_t ranges = filter.rangeCount;
  for (int32_t r = 0; r < ranges; ++r) {
    lows[r] = EVERY_BYTE_ONE * filter.low[r];
    aboves[r] = EVERY_BYTE_ONE * (filter.high[r] + 1u);
  }
  const uint8_t* p = from;
  while (to - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const uint64_t raised = (word & EVERY_BYTE_LOW7) | EVERY_BYTE_HIGH;
    uint64_t hits = 0;
    for (int32_t r = 0; r < ranges; ++r) hits |= (raised - lows[r]) & ~(raised - aboves[r]);
    if ((hits & ~word & EVERY_BYTE_HIGH) != 0) break;
    p += 8;
  }
  for (; p < to; ++p) {
    if (filter.member[*p]) return p;
  }
  return nullptr;
}

const uint8_t* findMember(const uint8_t* from, const uint8_t* to, const ByteFilter& filter) {
  if (from >= to) return nullptr;
  if (filter.count == 1) {
    return static_cast<const uint8_t*>(
        std::memchr(from, filter.values[0], static_cast<size_t>(to - from)));
  }
  if (filter.count == 2) return findEither(from, to, filter.values[0], filter.values[1]);
  if (filter.rangeCount > 0) return findInRanges(from, to, filter);
  for (const uint8_t* p = from; p < to; ++p) {
    if (filter.member[*p]) return p;
  }
  return nullptr;
}

// The end of the bytes after the window that may be read directly: the end
// of the source's block of data when it describes one that holds the window,
// else the window's end.
const uint8_t* dataLimit() {
  if (textSource.GetWindow == nullptr) return m.windowEnd;
  const uint8_t* cursor = nullptr;
  const uint8_t* advanceLimit = nullptr;
  const uint8_t* dataEnd = nullptr;
  textSource.SetPosition(m.cur);
  textSource.GetWindow(&cursor, &advanceLimit, &dataEnd);
  return cursor == m.cur && dataEnd > m.windowEnd ? dataEnd : m.windowEnd;
}

// ---------------------------------------------------------------------------
// Required-literal gate

enum GateAnswer { GATE_TRY, GATE_MOVED, GATE_END };

struct LiteralGate {
  bool active;
  // A line window known to hold the literal at literalAt: candidates up to
  // there pass without another scan. Only this positive knowledge is kept,
  // so knowledge that outlives its line (the window may be reloaded) costs
  // at most an attempt, never a match.
  const uint8_t* knownStart;
  const uint8_t* knownEnd;
  const uint8_t* literalAt;
};

LiteralGate gate;

void prepareGate() {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  gate.active = literal.length > 0 && literal.singleLine && textSource.GetWindow != nullptr &&
                textSource.fullWindowReads == 0 && textSource.charMode != 2;
  gate.knownStart = gate.knownEnd = gate.literalAt = nullptr;
}

// The start of the line that holds position p, not before from.
const uint8_t* lineStartBefore(const uint8_t* from, const uint8_t* p) {
  while (p > from && p[-1] != '\n') --p;
  return p;
}

// How far past the data in memory the gate reads through the source for the
// literal, and the piece it reads at a time. One window's worth keeps the
// extra reading of a long line below its own reading.
constexpr int64_t LOOKAHEAD_LIMIT = 65536;
constexpr int32_t LOOKAHEAD_PIECE = 4096;
constexpr int64_t LOOKAHEAD_FOUND = -1;
constexpr int64_t LOOKAHEAD_TEXT_END = -2;

// Reads on from `limit`, the end of the data in memory, which lies inside the
// line: the number of bytes from `limit` up to and including the line feed
// that ends the line when the literal does not occur before it;
// LOOKAHEAD_TEXT_END when the text ends first without it; LOOKAHEAD_FOUND
// when the literal occurs (also one that starts before `limit`), or when the
// line runs on beyond the look-ahead.
int64_t lookAheadPastData(const RequiredLiteral& literal, const uint8_t* limit) {
  int32_t longest = literal.length;
  for (int32_t i = 0; i < literal.otherCount; ++i) {
    if (literal.others[i].length > longest) longest = literal.others[i].length;
  }
  // The bytes before `limit` that a literal straddling it would begin with.
  uint8_t piece[REQUIRED_LITERAL_CAPACITY + LOOKAHEAD_PIECE];
  int32_t carried = longest - 1;
  if (carried > limit - m.cur) carried = static_cast<int32_t>(limit - m.cur);
  std::memcpy(piece, limit - carried, static_cast<size_t>(carried));
  textSource.SetPosition(m.cur);
  const int32_t base = static_cast<int32_t>(limit - m.cur);
  for (int64_t read = 0; read < LOOKAHEAD_LIMIT;) {
    int32_t filled = carried;
    int64_t lineFeedAt = -1;
    bool textEnded = false;
    while (filled < carried + LOOKAHEAD_PIECE) {
      const int32_t c = textSource.CharAt(base + static_cast<int32_t>(read));
      if (c < 0) {
        textEnded = true;
        break;
      }
      ++read;
      if (c == '\n') {
        lineFeedAt = read;
        break;
      }
      piece[filled++] = static_cast<uint8_t>(c);
    }
    if (scanRequiredLiteral(literal, piece, piece + filled) != nullptr) return LOOKAHEAD_FOUND;
    if (lineFeedAt >= 0) return lineFeedAt;
    if (textEnded) return LOOKAHEAD_TEXT_END;
    carried = longest - 1 < filled ? longest - 1 : filled;
    std::memmove(piece, piece + filled - carried, static_cast<size_t>(carried));
  }
  return LOOKAHEAD_FOUND;
}

// Decides about the candidate at the pointer: try it; or the pointer has
// moved on to a later line start from which candidates are scanned again; or
// the text has ended.
GateAnswer passGate() {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  if (m.cur >= m.windowEnd || m.windowEnd <= m.windowStart) return GATE_TRY;
  if (m.windowStart == gate.knownStart && m.windowEnd == gate.knownEnd && m.cur <= gate.literalAt) {
    return GATE_TRY;
  }
  const uint8_t* at = scanRequiredLiteral(literal, m.cur, m.windowEnd);
  if (at != nullptr) {
    gate.knownStart = m.windowStart;
    gate.knownEnd = m.windowEnd;
    gate.literalAt = at;
    return GATE_TRY;
  }
  // A window that ends inside its line (the line runs on past the window, or
  // past the data in memory) may hold the literal further on. The source is
  // read ahead for it: where the line ends first, or the text, no candidate
  // of the rest of the line can match. Otherwise, or when the line runs on
  // too far to look, every candidate of the window passes without another
  // scan, and only an attempt can tell. Past a line end, the next line
  // starts at the window end.
  const uint8_t* limit = dataLimit();
  if (m.windowEnd[-1] != '\n') {
    const int64_t ahead = m.windowEnd < limit ? LOOKAHEAD_FOUND : lookAheadPastData(literal, limit);
    if (ahead == LOOKAHEAD_TEXT_END) return GATE_END;
    if (ahead >= 0) {
      textSource.SetPosition(m.cur);
      if (textSource.AdvanceTo(limit + ahead) != 0) return GATE_END;
      refreshWindow();
      return GATE_MOVED;
    }
    gate.knownStart = m.windowStart;
    gate.knownEnd = m.windowEnd;
    gate.literalAt = m.windowEnd;
    return GATE_TRY;
  }
  const uint8_t* from = m.windowEnd;
  const uint8_t* next = from < limit ? scanRequiredLiteral(literal, from, limit) : nullptr;
  const uint8_t* target = lineStartBefore(from, next != nullptr ? next : limit);
  textSource.SetPosition(m.cur);
  if (textSource.AdvanceTo(target) != 0) return GATE_END;
  refreshWindow();
  return GATE_MOVED;
}

// With the gate active, each line is put to the gate before its bytes are
// scanned, and a line without a candidate left is passed as a whole: the
// scan for the literal, not the one for the first bytes, carries the search
// over lines that cannot match.
int32_t searchBytes(const ByteFilter& filter) {
  bool newLine = gate.active;
  for (;;) {
    if (newLine) {
      newLine = false;
      const GateAnswer answer = passGate();
      if (answer == GATE_END) return NOT_FOUND;
      if (answer == GATE_MOVED) {
        newLine = true;
        continue;
      }
    }
    const uint8_t* found = findMember(m.cur, m.windowEnd, filter);
    if (found != nullptr) {
      m.cur = found;
    } else if (gate.active) {
      textSource.SetPosition(m.cur);
      if (textSource.AdvanceTo(m.windowEnd) != 0) return NOT_FOUND;
      refreshWindow();
      newLine = true;
      continue;
    } else {
      // Past the window, a candidate is reached with one move through the
      // source; without one, the whole block of data is passed.
      const uint8_t* limit = dataLimit();
      found = findMember(m.windowEnd, limit, filter);
      textSource.SetPosition(m.cur);
      if (textSource.AdvanceTo(found != nullptr ? found : limit) != 0) return NOT_FOUND;
      refreshWindow();
      if (found == nullptr) continue;
    }
    if (gate.active) {
      const GateAnswer answer = passGate();
      if (answer == GATE_END) return NOT_FOUND;
      if (answer == GATE_MOVED) continue;
    }
    const int32_t result = attempt(filter.member, false);
    if (result != NOT_FOUND) return result;
    ++m.cur;
  }
}

// ---------------------------------------------------------------------------
// UTF-8 scans

// The character at the pointer; NO_CHARACTER when the text ends first.
int32_t characterAtPointer(int32_t* length) {
  if (m.windowEnd - m.cur >= 6) return decodeDirect(m.cur, length);
  if (m.cur >= m.windowEnd) {
    textSource.SetPosition(m.cur);
    if (textSource.AdvanceTo(m.cur) != 0) return NO_CHARACTER;
    refreshWindow();
  }
  textSource.SetPosition(m.cur);
  return decodeThroughSource(0, length);
}

// Moves past `length` bytes; false when the text ends.
bool stepOver(int32_t length) {
  if (length <= m.windowEnd - m.cur) {
    m.cur += length;
    return true;
  }
  textSource.SetPosition(m.cur);
  if (textSource.Advance(length) != 0) return false;
  refreshWindow();
  return true;
}

inline bool firstSetHas(const UnicodeSet* set, int32_t code) {
  if (code < 0) return false;
  const uint32_t c = static_cast<uint32_t>(code);
  if (c <= 0xFFFF) return c >= set->low && c <= set->high && ((set->bitmap[c >> 3] >> (c & 7)) & 1);
  return unicodeSetContains(set, code);
}

// Tries the characters whose code point is in the set, or equals `code`
// when set is null.
int32_t searchCodePoints(const UnicodeSet* set, int32_t code) {
  for (;;) {
    int32_t length = 1;
    const int32_t c = characterAtPointer(&length);
    if (c == NO_CHARACTER) return NOT_FOUND;
    if (set != nullptr ? firstSetHas(set, c) : c >= 0 && c == code) {
      const int32_t result = attempt(nullptr, true);
      if (result != NOT_FOUND) return result;
    }
    if (!stepOver(length)) return NOT_FOUND;
  }
}

// ---------------------------------------------------------------------------
// Leading-instruction strategies

const Instruction* leadingInstruction(const Instruction* program) {
  const Instruction* in = program;
  while (in->opcode == OP_MARK_CURSOR || in->opcode == OP_GROUP_START ||
         in->opcode == OP_GROUP_END || in->opcode == OP_COUNT_RESET) {
    ++in;
  }
  return in;
}

// An anchored program: tried where the source puts the line starts (or
// ends), one line after the other.
int32_t searchAnchored(bool atLineStart) {
  int32_t stay = 1;
  // The position of the last failed attempt. A flag of its own, not a null
  // pointer: an empty text may lie at address null.
  bool tried = false;
  const uint8_t* lastTried = nullptr;
  const uint8_t* lastWindow = nullptr;
  for (;;) {
    textSource.SetPosition(m.cur);
    const int32_t moved = atLineStart ? textSource.GoLineStart(stay) : textSource.GoLineEnd(stay);
    if (moved != 0) return NOT_FOUND;
    refreshWindow();
    if (tried && m.cur == lastTried && m.windowStart == lastWindow) {
      // A line end that the source does not move past (a lone carriage
      // return): go on one byte further.
      textSource.SetPosition(m.cur);
      if (textSource.Advance(1) != 0) return NOT_FOUND;
      refreshWindow();
      stay = 1;
      tried = false;
      continue;
    }
    if (gate.active && atLineStart) {
      const GateAnswer answer = passGate();
      if (answer == GATE_END) return NOT_FOUND;
      if (answer == GATE_MOVED) {
        stay = 1;
        tried = false;
        continue;
      }
    }
    const int32_t result = attempt(nullptr, true);
    if (result != NOT_FOUND) return result;
    tried = true;
    lastTried = m.cur;
    lastWindow = m.windowStart;
    stay = 0;
  }
}

// Every position, one byte (UTF-8: one character) after the other; the
// position where the text ends is tried once.
int32_t searchEveryPosition() {
  const bool utf8 = textSource.charMode == 2;
  bool inCharacter = false;
  int32_t exhausted = 0;
  for (;;) {
    if (m.cur >= m.windowEnd) {
      textSource.SetPosition(m.cur);
      exhausted = textSource.SeekRelative(0);
      refreshWindow();
    }
    if (inCharacter) {
      if (exhausted == 0 && m.cur < m.windowEnd && (*m.cur & 0xC0) == 0x80) {
        ++m.cur;
        continue;
      }
      inCharacter = false;
    }
    if (gate.active && exhausted == 0) {
      const GateAnswer answer = passGate();
      if (answer == GATE_END) return NOT_FOUND;
      if (answer == GATE_MOVED) continue;
    }
    const int32_t result = attempt(nullptr, false);
    if (result != NOT_FOUND) return result;
    if (exhausted != 0) return NOT_FOUND;
    ++m.cur;
    inCharacter = utf8;
  }
}

int32_t searchCandidates() {
  if (m.cur >= m.windowEnd && compiledPattern.firstCharValid) {
    textSource.SetPosition(m.cur);
    if (textSource.SeekRelative(0) != 0) return NOT_FOUND;
    refreshWindow();
  }
  const bool utf8 = textSource.charMode == 2;
  if (compiledPattern.firstCharValid) {
    if (utf8) return searchCodePoints(compiledPattern.firstCharSet, 0);
    return searchBytes(filterOfTable(compiledPattern.firstCharTable));
  }
  const Instruction* lead = leadingInstruction(compiledPattern.program);
  switch (lead->opcode) {
    case OP_LINE_START:
      return searchAnchored(true);
    case OP_LINE_END:
    case OP_NEWLINE:
      return searchAnchored(false);
    case OP_CHAR:
    case OP_CHAR_SCAN: {
      if (m.cur >= m.windowEnd) {
        textSource.SetPosition(m.cur);
        if (textSource.SeekRelative(0) != 0) return NOT_FOUND;
        refreshWindow();
      }
      if (utf8) return searchCodePoints(nullptr, static_cast<int32_t>(lead->op2));
      ByteFilter filter;
      std::memset(filter.member, 0, sizeof filter.member);
      filter.member[lead->op1 & 0xFF] = 1;
      filter.member[lead->op2 & 0xFF] = 1;
      buildFilter(&filter);
      return searchBytes(filter);
    }
    default:
      return searchEveryPosition();
  }
}

// ---------------------------------------------------------------------------
// The string text source

struct StringSource {
  const uint8_t* start;
  const uint8_t* end;
  const uint8_t* current;
  const uint8_t* saved;
};

StringSource text;

int64_t distanceToEnd() { return text.end - text.current; }

void stringSetPosition(const uint8_t* p) { text.current = p; }

int32_t stringAdvanceTo(const uint8_t* p) {
  if (p > text.end) {
    text.current = text.end;
    return -1;
  }
  text.current = p;
  return p == text.end ? ADVANCE_AT_END : 0;
}

int32_t stringAdvance(int32_t n) {
  if (n >= distanceToEnd()) {
    text.current = text.end;
    return ADVANCE_AT_END;
  }
  text.current += n;
  return 0;
}

int32_t stringPeekChar(int32_t n) {
  if (n >= distanceToEnd() || -static_cast<int64_t>(n) > text.current - text.start) return -1;
  return text.current[n];
}

void stringGetLineWindow(const uint8_t** cursor, const uint8_t** lineStart, const uint8_t** lineEnd,
                         uint32_t* stamp) {
  *cursor = text.current;
  *lineStart = text.start;
  *lineEnd = text.end;
  *stamp = 0;
}

int32_t stringNextChar() {
  if (text.current >= text.end) return -1;
  return *text.current++;
}

int32_t stringMoveBy(int32_t n) {
  if (-static_cast<int64_t>(n) > text.current - text.start) {
    text.current = text.start;
    return -1;
  }
  if (n > distanceToEnd()) {
    text.current = text.end;
    return -1;
  }
  text.current += n;
  return 0;
}

int32_t stringSeekRelative(int32_t n) {
  if (n > distanceToEnd()) {
    text.current = text.end;
    return -1;
  }
  return stringAdvanceTo(text.current + n);
}

int32_t stringAtLineEnd(int32_t n, int32_t) { return n == distanceToEnd() ? 1 : 0; }

int32_t stringAtLineStart(int32_t n) {
  return -static_cast<int64_t>(n) == text.current - text.start;
}

int32_t stringGoLineEnd(int32_t stay) {
  if (stay == 0 || text.current > text.end) return -1;
  text.current = text.end;
  return 0;
}

int32_t stringGoLineStart(int32_t stay) {
  if (stay == 0 || text.current > text.start) return -1;
  text.current = text.start;
  return 0;
}

int32_t stringHasMore(int32_t n, int32_t) { return n < distanceToEnd() ? 1 : 0; }

int32_t stringSaveMark(void* mark) {
  if (mark != nullptr) text.saved = text.current;
  return 0;
}

int32_t stringRestoreMark(const void*) {
  text.current = text.saved;
  return 0;
}

int32_t stringStopRequested() { return 0; }

void stringReportPosition(int32_t*, int32_t*, int32_t*) {}

}  // namespace

int32_t SearchRegex(const uint8_t*, int32_t) {
  compiledPattern.groupMask = 0;
  compiledPattern.cursorMark = 0;
  if (compiledPattern.program == nullptr) return NOT_FOUND;
  if (prepareMatcherStack() != 0 || preparePassStarts(compiledPattern.loopGuards) != 0) {
    return REGEX_OUT_OF_MEMORY;
  }
  matcher.top = 0;
  loadMatcherWindow();
  prepareGate();
  const bool pikeCan = pikeVmTakesProgram();
  pikeActive = pikeCan && pikeVmStartsAtOnce();
  pikeStandsBy = pikeCan && !pikeActive;
  stepsLeft = STEPS_AT_START;
  const int32_t result = searchCandidates();
  if (result == PIKE_TEXT_END) return NOT_FOUND;
  if (result != FOUND) return result;

  textSource.SetPosition(matcher.cur);
  compiledPattern.matchLength = matcher.matchLength;
  compiledPattern.cursorMark = matcher.cursorMark;
  const BacktrackFrame& base = matcher.stack[0];
  compiledPattern.groupMask = base.endMask;
  if (base.endMask != 0)
    std::memcpy(compiledPattern.groupSpans, base.captures, sizeof base.captures);
  return FOUND;
}

int32_t FindRegexInMemory(int32_t start, const uint8_t* pattern, int32_t length,
                          const uint8_t* textBytes, int32_t textLength, int32_t charMode) {
  if (start < 1) start = 1;
  if (textLength < 0 || start - 1 > textLength) return 0;
  const TextSource saved = textSource;
  textSource = TextSource{};
  text.start = textBytes;
  text.end = textBytes + textLength;
  text.current = textBytes + (start - 1);
  text.saved = text.current;
  TextSource& ts = textSource;
  ts.SetPosition = stringSetPosition;
  ts.AdvanceTo = stringAdvanceTo;
  ts.Advance = stringAdvance;
  ts.PeekChar = stringPeekChar;
  ts.GetLineWindow = stringGetLineWindow;
  ts.NextChar = stringNextChar;
  ts.MoveBy = stringMoveBy;
  ts.SeekRelative = stringSeekRelative;
  ts.AtLineEnd = stringAtLineEnd;
  ts.AtLineStart = stringAtLineStart;
  ts.GoLineEnd = stringGoLineEnd;
  ts.GoLineStart = stringGoLineStart;
  ts.HasMore = stringHasMore;
  ts.SaveMark = stringSaveMark;
  ts.RestoreMark = stringRestoreMark;
  ts.StopRequested = stringStopRequested;
  ts.ReportPosition = stringReportPosition;
  ts.fullWindowReads = 0;
  ts.askLineBounds = 0;
  ts.charMode = charMode;

  const int32_t result = SearchRegex(pattern, length);
  const int64_t position = text.current - text.start;
  textSource = saved;
  return result == FOUND ? static_cast<int32_t>(position) + 1 : 0;
}
