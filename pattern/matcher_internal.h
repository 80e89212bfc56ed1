// What the matcher and the scan instructions share: the character fetch
// rules, UTF-8 decoding, pushing frames and the handler signature. Only the
// engines and their drivers include it: matcher.cpp, scan_instructions.cpp,
// backtrack_memo.cpp, pike_vm.cpp, lazy_dfa.cpp and regex_search.cpp.
//
// A fetch reads one character at the current pointer and consumes it: the
// direct case reads the window, the slow case (out of line, in matcher.cpp)
// goes through the text source and reports the new window afterwards. Both
// keep the pointer and the attempt's offset in step; a fetch that fails may
// still have consumed bytes, which backtracking gives back by offset.
#pragma once

#include <cstdint>

#include "pattern/compiled_pattern.h"
#include "pattern/matcher.h"
#include "pattern/text_source.h"
#include "support/case_folding.h"
#include "support/text_encoding.h"

namespace matcher_internal {

// Handler results.
constexpr int32_t HANDLER_FAIL = 0;
constexpr int32_t HANDLER_CONTINUE = 1;
constexpr int32_t HANDLER_ACCEPT = 2;
constexpr int32_t HANDLER_OUT_OF_MEMORY = 3;

typedef int32_t (*Handler)(const Instruction* instruction);

// A fetch that could read no character. UTF-8 code point -1 (an invalid lead
// byte) is a character and differs from it.
constexpr int32_t NO_CHARACTER = INT32_MIN;

// Offsets within one attempt are 32-bit. A read through the source that
// would bring the offset, plus what the new window still allows to be read
// directly, past this limit fails instead.
constexpr int64_t OFFSET_LIMIT = INT32_MAX - 64;

inline MatcherState& m() { return matcher; }

// Bytes of a UTF-8 sequence by its lead byte in the lenient one-to-six-byte
// form; 0 for a byte that cannot lead (one character of code point -1).
constexpr uint8_t utf8SequenceLength(int32_t lead) {
  return lead < 0x80   ? 1
         : lead < 0xC0 ? 0
         : lead < 0xE0 ? 2
         : lead < 0xF0 ? 3
         : lead < 0xF8 ? 4
         : lead < 0xFC ? 5
         : lead < 0xFE ? 6
                       : 0;
}

struct Utf8Lengths {
  uint8_t length[256];
};

constexpr Utf8Lengths makeUtf8Lengths() {
  Utf8Lengths table{};
  for (int32_t lead = 0; lead < 256; ++lead) table.length[lead] = utf8SequenceLength(lead);
  return table;
}

inline constexpr Utf8Lengths UTF8_LENGTHS = makeUtf8Lengths();

// Whether a decoded sequence of n bytes is a character: not an overlong form
// of a smaller code point (which would let a byte pattern such as '/' hide
// behind other bytes) and not a surrogate. A sequence that is not is its lead
// byte alone, code point -1.
inline bool utf8SequenceIsCharacter(uint32_t code, int32_t n) {
  constexpr uint32_t SMALLEST[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
  return code >= SMALLEST[n] && (code < 0xD800 || code > 0xDFFF);
}

inline bool setBitmapHas(const Instruction* set, int32_t c) {
  const uint8_t* bitmap = reinterpret_cast<const uint8_t*>(set + 1);
  return (bitmap[c >> 3] >> (c & 7)) & 1;
}

// Double-byte mode: whether some, not all, characters with this lead byte
// are members of the SET (see instruction.h).
inline bool setRowIsPartial(const Instruction* set, int32_t lead) {
  const uint8_t* rows = reinterpret_cast<const uint8_t*>(set + 2);
  return (rows[lead >> 3] >> (lead & 7)) & 1;
}

// Double-byte mode: whether lead and trail form a member, for a lead byte
// whose row is partial. The rows before it say which slot holds its trails.
inline bool setRowHas(const Instruction* set, int32_t lead, int32_t trail) {
  const uint8_t* rows = reinterpret_cast<const uint8_t*>(set + 2);
  int32_t index = 0;
  for (int32_t byte = 0; byte < (lead >> 3); ++byte) index += __builtin_popcount(rows[byte]);
  index += __builtin_popcount(rows[lead >> 3] & ((1u << (lead & 7)) - 1u));
  const uint8_t* trails = reinterpret_cast<const uint8_t*>(set + 3 + index);
  return (trails[trail >> 3] >> (trail & 7)) & 1;
}

// Whether a member of a byte-mode SET may begin with byte c: exact for
// single bytes, and for a lead byte whether its row holds any member.
inline bool setMayBeginWith(const Instruction* set, int32_t c) {
  return setBitmapHas(set, c) || setRowIsPartial(set, c);
}

// Puts the pointer back at the start of the attempt (offset 0), through the
// source when the attempt read past the window.
void returnToStart();

// Reports the source's position and window into the matcher state.
inline void refreshWindow() {
  MatcherState& s = m();
  textSource.GetLineWindow(&s.cur, &s.windowStart, &s.windowEnd, &s.lineStamp);
}

// refreshWindow after a forward move through the source; false when the
// attempt's offset could pass the 32-bit limit in the new window.
inline bool refreshAfterMove() {
  refreshWindow();
  MatcherState& s = m();
  return static_cast<int64_t>(s.offset) + (s.windowEnd - s.cur) <= OFFSET_LIMIT;
}

// Moves the pointer one byte on, through the source at the window's edge as
// the matcher's reads do; false when there is no byte to pass.
inline bool stepPointer() {
  MatcherState& s = m();
  if (s.windowEnd - s.cur > 1) {
    ++s.cur;
    return true;
  }
  textSource.SetPosition(s.cur);
  const int32_t r = textSource.Advance(1);
  refreshWindow();
  return r == 0 || r == ADVANCE_AT_END;
}

// Moves the pointer back by distance bytes, through the source when that
// leaves the window.
inline void movePointerBack(int64_t distance) {
  MatcherState& s = m();
  if (distance <= 0) return;
  if (distance <= s.cur - s.windowStart) {
    s.cur -= distance;
    return;
  }
  textSource.SetPosition(s.cur);
  textSource.MoveBy(static_cast<int32_t>(-distance));
  refreshWindow();
}

// The byte at the pointer, -1 at the end of the text.
inline int32_t byteAtPointer() {
  MatcherState& s = m();
  if (s.cur < s.windowEnd) return *s.cur;
  textSource.SetPosition(s.cur);
  return textSource.PeekChar(0);
}

// Decodes the sequence at p; the window holds at least six bytes from p. A
// lead byte whose sequence is broken by a byte that is no continuation byte,
// or that is no character, is one character of its own (code point -1), so
// the bytes after it are read as the characters they begin.
inline int32_t decodeDirect(const uint8_t* p, int32_t* length) {
  const uint8_t lead = p[0];
  if (lead < 0x80) {
    *length = 1;
    return lead;
  }
  const int32_t n = UTF8_LENGTHS.length[lead];
  if (n == 0) {
    *length = 1;
    return -1;
  }
  uint32_t code = lead & (0x7Fu >> n);
  for (int32_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      *length = 1;
      return -1;
    }
    code = (code << 6) | (p[i] & 0x3Fu);
  }
  if (!utf8SequenceIsCharacter(code, n)) {
    *length = 1;
    return -1;
  }
  *length = n;
  return static_cast<int32_t>(code);
}

// Decodes the sequence whose bytes readByte(at), readByte(at + 1), ... give
// (negative: no byte); NO_CHARACTER when there is no byte at all. A sequence
// cut by the end of the text is its lead byte alone, code point -1.
template <typename ByteReader>
inline int32_t decodeWith(ByteReader readByte, int32_t at, int32_t* length) {
  const int32_t lead = readByte(at);
  if (lead < 0) return NO_CHARACTER;
  const int32_t n = UTF8_LENGTHS.length[lead];
  if (lead < 0x80 || n == 0) {
    *length = 1;
    return lead < 0x80 ? lead : -1;
  }
  uint32_t code = static_cast<uint32_t>(lead) & (0x7Fu >> n);
  for (int32_t i = 1; i < n; ++i) {
    const int32_t c = readByte(at + i);
    if (c < 0 || (c & 0xC0) != 0x80) {
      *length = 1;
      return -1;
    }
    code = (code << 6) | (static_cast<uint32_t>(c) & 0x3Fu);
  }
  if (!utf8SequenceIsCharacter(code, n)) {
    *length = 1;
    return -1;
  }
  *length = n;
  return static_cast<int32_t>(code);
}

// The sequence at the source's current position + `at`, through PeekChar.
int32_t decodeThroughSource(int32_t at, int32_t* length);

// Slow halves of the fetches.
int32_t fetchCharByteSlow(int32_t crossLines);
int32_t fetchAnyByteSlow(int32_t crossLines);
int32_t fetchSetByteSlow(int32_t crossLines);
int32_t fetchUtf8CharSlow();
int32_t fetchUtf8AnySetSlow(int32_t crossLines);
// The trail byte of a double-byte character, read like a byte of ANY; a
// missing trail byte is not an error (NO_CHARACTER, nothing consumed).
int32_t fetchTrailByte(int32_t crossLines);

// A byte read straight from the window while more than `margin` bytes are
// left before its end; nearer the end the slow read asks the source.
inline int32_t fetchByteWithMargin(int32_t margin, int32_t (*slow)(int32_t),
                                   int32_t crossLines) {
  MatcherState& s = m();
  if (s.windowEnd - s.cur > margin) {
    ++s.offset;
    return *s.cur++;
  }
  return slow(crossLines);
}

// CHAR in the byte modes: the byte, or NO_CHARACTER.
inline int32_t fetchCharByte(int32_t crossLines) {
  return fetchByteWithMargin(textSource.fullWindowReads ? 0 : 1, fetchCharByteSlow, crossLines);
}

// ANY in the byte modes (the lead byte of a double-byte character only).
inline int32_t fetchAnyByte(int32_t crossLines) {
  return fetchByteWithMargin(textSource.fullWindowReads ? 0 : 2, fetchAnyByteSlow, crossLines);
}

// SET in the byte modes.
inline int32_t fetchSetByte(int32_t crossLines) {
  return fetchByteWithMargin(2, fetchSetByteSlow, crossLines);
}

// CHAR in UTF-8 mode: the code point, or NO_CHARACTER.
inline int32_t fetchUtf8Char() {
  MatcherState& s = m();
  if (s.windowEnd - s.cur >= 6) {
    int32_t length;
    const int32_t code = decodeDirect(s.cur, &length);
    s.cur += length;
    s.offset += length;
    return code;
  }
  return fetchUtf8CharSlow();
}

// ANY and SET in UTF-8 mode.
inline int32_t fetchUtf8AnySet(int32_t crossLines) {
  MatcherState& s = m();
  if (s.windowEnd - s.cur >= 6) {
    int32_t length;
    const int32_t code = decodeDirect(s.cur, &length);
    s.cur += length;
    s.offset += length;
    return code;
  }
  return fetchUtf8AnySetSlow(crossLines);
}

// UTF-8 mode: a text character as CHAR and BACKREF compare it. Ignoring
// case it is its case fold, as the compiler keeps the CHAR's character; a SET
// holds every case form of its members and takes the character as it stands.
// Code point -1 (an invalid byte) equals no CHAR.
inline uint32_t comparableCodePoint(int32_t code) {
  const uint32_t c = static_cast<uint32_t>(code);
  return compiledPattern.ignoreCase != 0 ? foldCodePoint(c) : c;
}

inline bool utf8CharMatches(const Instruction* item, int32_t code) {
  return code >= 0 && comparableCodePoint(code) == item->acceptedVariant();
}

// The plain items, as CHAR, ANY and SET perform them and the scan
// instructions repeat them: true when the item matched and was consumed.
inline bool performChar(const Instruction* item) {
  if (textSource.charMode == ENCODING_UTF8) return utf8CharMatches(item, fetchUtf8Char());
  const int32_t c = fetchCharByte(item->crossLines());
  return c >= 0 && (static_cast<uint32_t>(c) == item->accepted() ||
                    static_cast<uint32_t>(c) == item->acceptedVariant());
}

inline bool performAny(const Instruction* item) {
  const int32_t mode = textSource.charMode;
  if (mode == ENCODING_UTF8) return fetchUtf8AnySet(item->crossLines()) != NO_CHARACTER;
  const int32_t c = fetchAnyByte(item->crossLines());
  if (c < 0) return false;
  if (mode == ENCODING_DOUBLE_BYTE && leadByteTable[c] != 0) fetchTrailByte(item->crossLines());
  return true;
}

bool setRecordHas(const Instruction* set, int32_t code);

// UTF-8 mode: whether a text character is a member of the SET. The set holds
// every case form of its members when the pattern ignores case; code point -1
// (an invalid byte) is a member of negated sets only.
inline bool utf8SetHas(const Instruction* set, int32_t code) {
  if (code == -1) return (set->setFlags() & SET_HOLDS_INVALID_BYTES) != 0;
  return code != NO_CHARACTER && setRecordHas(set, code);
}

inline bool performSet(const Instruction* item) {
  const int32_t mode = textSource.charMode;
  if (mode == ENCODING_UTF8) return utf8SetHas(item, fetchUtf8AnySet(item->crossLines()));
  const int32_t c = fetchSetByte(item->crossLines());
  if (c < 0) return false;
  if (mode != ENCODING_DOUBLE_BYTE || leadByteTable[c] == 0) return setBitmapHas(item, c);
  // A character of two bytes: a member when its lead byte's whole row is,
  // or its trail byte completes a member of a partial row.
  if (setBitmapHas(item, c)) {
    fetchTrailByte(item->crossLines());
    return true;
  }
  if (!setRowIsPartial(item, c)) return false;
  const int32_t trail = fetchTrailByte(item->crossLines());
  return trail >= 0 && setRowHas(item, c, trail);
}

bool growStack();

// Pushes a frame; false when the stack cannot grow.
inline bool pushFrame(const Instruction* resume, uint8_t guard, int32_t restoreRegister,
                      int32_t restoreValue) {
  MatcherState& s = m();
  if (s.top + 1 >= s.capacity && !growStack()) return false;
  BacktrackFrame& frame = s.stack[++s.top];
  frame.resume = resume;
  frame.offset = s.offset;
  frame.lineStamp = s.lineStamp;
  frame.guard = guard;
  frame.endMask = 0;
  frame.startMask = 0;
  frame.restoreRegister = restoreRegister;
  frame.restoreValue = restoreValue;
  frame.cursorMark = 0;
  return true;
}

// The RUN_TO_END_CROSSING follow test needs a mark buffer of the source's size; 0, or
// -8 when it cannot be had.
int32_t prepareMarkBuffer(void** mark);

// Double-byte text: whether the pointer is a character boundary, where a
// match may start.
bool atCharacterBoundary();

// Whether the body of the look-ahead NOT_AHEAD at `notAhead` matches at the
// pointer, as the backtracker decides it there (1 yes, 0 no, -8 out of
// memory); the pointer stays, the matcher's frames above the base are used
// and left empty. `steps` counts the instructions run. The Pike VM asks it
// for bodies without open loops, which the backtracker runs in bounded time.
int32_t lookAheadBodyMatches(const Instruction* notAhead, int64_t* steps);
// The same with the memo (backtrack_memo.cpp), which the memo sets up
// around it; for the bodies with open loops. The run starts at `from`, a
// slot of the body (or of a body inside it), whose own body's MATCH then
// answers 1; LOOK_AHEAD_TOO_DEEP when the memo took the state at the
// pointer to answer first (takeGoal), the frames dropped and the pointer
// left there.
constexpr int32_t LOOK_AHEAD_TOO_DEEP = 2;
int32_t lookAheadBodyMatchesMemoized(const Instruction* notAhead, const Instruction* from,
                                     int64_t* steps);

// Scan instruction handlers (scan_instructions.cpp).
int32_t handleAnyScan(const Instruction* instruction);
int32_t handleSetScan(const Instruction* instruction);
int32_t handleCharScan(const Instruction* instruction);

// A scan run of the memo stops where it reaches a stretch of positions whose
// outcome is known: at an offset in [from, to) after an item, where the
// follow test says go on, with HANDLER_STOPPED and the pointer there.
struct ScanStop {
  int32_t from;
  int32_t to;
};
extern ScanStop scanStop;
constexpr int32_t HANDLER_STOPPED = 4;
// Any of the three scans, stopping as scanStop says.
int32_t runScanStopping(const Instruction* instruction);

}  // namespace matcher_internal
