// The scan instructions: ANY_SCAN, SET_SCAN and CHAR_SCAN, the items of
// one-item loops that the loop pass rewrote (loop_pass.cpp).
//
// A scan instruction repeats its plain item in a tight loop and after each
// item asks a follow test, made at the current position without consuming
// anything, whether the loop's continuation could begin there. Only then does
// it hand control to the loop's branch, which keeps the ordinary backtracking;
// so a loop like .*x pushes a choice point only where an x follows instead of
// at every character. The item failing fails the instruction. Where bytes
// are read straight from the window, an ANY scan passes the bytes whose
// follow test says go on in one stretch (single bytes, or ASCII bytes in
// UTF-8 text), and SET and CHAR scans take their bytes by a table.
//
// The follow kind (op5, named in instruction.h) says what the continuation
// begins with: FOLLOW_CHAR, FOLLOW_SET, FOLLOW_LINE_END or FOLLOW_NEWLINE (op3
// is the distance to the resume slot, where MARK_CURSOR, GROUP_START and
// COUNT_RESET are stepped over, not performed: they are performed for real
// when control reaches them), or the end of the program after a maximal loop:
// RUN_TO_END_CROSSING for an item that crosses lines, RUN_TO_END_CHAR,
// RUN_TO_END_SET and RUN_TO_END_ANY for the others. Tested by
// loop_pass_test.cpp.
#include <cstring>

#include "pattern/matcher_internal.h"
#include "support/text_encoding.h"

namespace matcher_internal {
namespace {

enum FollowResult { GO_ON, STOP, FOLLOW_OUT_OF_MEMORY };

// The instruction the continuation begins with.
const Instruction* followInstruction(const Instruction* scan) {
  const Instruction* follow = scan + scan->resumeDistance();
  while (follow->opcode == OP_MARK_CURSOR || follow->opcode == OP_GROUP_START ||
         follow->opcode == OP_COUNT_RESET) {
    ++follow;
  }
  return follow;
}

// The next byte without moving, read directly while `reserve` bytes or more
// are left in the window, else through the source after HasMore(0,
// crossLines) (asked when `askMore`); -1 when there is none.
inline int32_t peekByte(int64_t reserve, bool askMore, int32_t crossLines) {
  MatcherState& s = m();
  if (s.windowEnd - s.cur > reserve) return *s.cur;
  textSource.SetPosition(s.cur);
  if (askMore && textSource.HasMore(0, crossLines) == 0) return -1;
  const int32_t c = textSource.PeekChar(0);
  refreshWindow();
  return c;
}

// The next UTF-8 character without moving: directly with six bytes left,
// else decoded through the source after HasMore(0, crossLines) (asked when
// `askMore`); NO_CHARACTER when there is none.
inline int32_t peekUtf8(bool askMore, int32_t crossLines) {
  MatcherState& s = m();
  int32_t length;
  if (s.windowEnd - s.cur >= 6) return decodeDirect(s.cur, &length);
  textSource.SetPosition(s.cur);
  if (askMore && textSource.HasMore(0, crossLines) == 0) return NO_CHARACTER;
  return decodeThroughSource(0, &length);
}

inline bool charEquals(const Instruction* in, int32_t c) {
  if (textSource.charMode == ENCODING_UTF8) return utf8CharMatches(in, c);
  return c >= 0 && (static_cast<uint32_t>(c) == in->accepted() ||
                    static_cast<uint32_t>(c) == in->acceptedVariant());
}

// Byte modes test the first byte of a character: exact, except in
// double-byte text for a set that holds some characters of a lead byte and
// not others, which the loop pass never gives a follow kind that tests the
// item's own set.
inline bool setHas(const Instruction* set, int32_t c) {
  if (textSource.charMode == ENCODING_UTF8) return utf8SetHas(set, c);
  if (textSource.charMode == ENCODING_DOUBLE_BYTE) return c >= 0 && setMayBeginWith(set, c);
  return c >= 0 && setBitmapHas(set, c);
}

// The next character as FOLLOW_CHAR reads it, with the HasMore of
// the record sources.
inline int32_t peekLikeChar(int32_t crossLines) {
  const bool fullReads = textSource.fullWindowReads != 0;
  if (textSource.charMode == ENCODING_UTF8) return peekUtf8(fullReads, crossLines);
  return peekByte(0, fullReads, crossLines);
}

// The next character as FOLLOW_SET reads it: through the source in
// the last two bytes of the window, after HasMore.
inline int32_t peekLikeSet(int32_t crossLines) {
  if (textSource.charMode == ENCODING_UTF8) return peekUtf8(true, crossLines);
  return peekByte(2, true, crossLines);
}

// RUN_TO_END_CROSSING with an ANY item: at the window's end, whether the source can move
// one byte further; the position is put back either way.
int32_t anyCanGoOn() {
  MatcherState& s = m();
  void* mark = nullptr;
  if (prepareMarkBuffer(&mark) != 0) return FOLLOW_OUT_OF_MEMORY;
  textSource.SetPosition(s.cur);
  textSource.SaveMark(mark);
  const int32_t moved = textSource.Advance(1);
  const int32_t restored = textSource.RestoreMark(mark);
  refreshWindow();
  return moved != 0 || restored != 0 ? STOP : GO_ON;
}

inline int32_t followTest(const Instruction* scan, const Instruction* follow) {
  MatcherState& s = m();
  switch (scan->followKind()) {
    case FOLLOW_CHAR:
      return charEquals(follow, peekLikeChar(follow->crossLines())) ? STOP : GO_ON;
    case FOLLOW_SET:
      // The set reads across a line end when it crosses lines, whatever the
      // scan's item does.
      return setHas(follow, peekLikeSet(follow->crossLines())) ? STOP : GO_ON;
    case FOLLOW_LINE_END:
    case FOLLOW_NEWLINE:
      if (s.windowEnd - s.cur > 2 && !textSource.askLineBounds) return GO_ON;
      textSource.SetPosition(s.cur);
      if (textSource.AtLineEnd(0, 0) == 0) return GO_ON;
      refreshWindow();
      return STOP;
    case RUN_TO_END_CROSSING:
      // An item that crosses lines up to the program's end. A CHAR or SET
      // run ends at the first character that is not the item's; only ANY runs
      // to the end of the text.
      if (scan->opcode == OP_CHAR_SCAN) return charEquals(scan, peekLikeChar(1)) ? GO_ON : STOP;
      if (scan->opcode == OP_SET_SCAN) return setHas(scan, peekLikeSet(1)) ? GO_ON : STOP;
      if (s.cur < s.windowEnd) return GO_ON;
      return anyCanGoOn();
    case RUN_TO_END_CHAR:
      if (textSource.fullWindowReads &&
          (textSource.charMode != ENCODING_UTF8 || s.windowEnd - s.cur < 6)) {
        textSource.SetPosition(s.cur);
        if (textSource.HasMore(0, scan->crossLines()) == 0) return STOP;
      }
      return charEquals(scan, peekLikeChar(scan->crossLines())) ? GO_ON : STOP;
    case RUN_TO_END_SET:
      return setHas(scan, peekLikeSet(scan->crossLines())) ? GO_ON : STOP;
    case RUN_TO_END_ANY:
      // The fetch reads straight from the window only with a whole UTF-8
      // sequence ahead (up to six bytes), else asks the text source.
      if (s.windowEnd - s.cur > (textSource.charMode == ENCODING_UTF8 ? 5 : 2)) return GO_ON;
      textSource.SetPosition(s.cur);
      if (textSource.HasMore(0, scan->crossLines()) == 0) return STOP;
      refreshWindow();
      return GO_ON;
    default:
      return STOP;
  }
}

typedef bool (*ItemPerformer)(const Instruction* item);

// With STOPS, whether a run that goes on past the position stops there
// (scanStop); a run that passed the stretch whole is not stopped after it.
template <bool STOPS>
inline bool stopsHere() {
  if (!STOPS || m().offset < scanStop.from) return false;
  if (m().offset < scanStop.to) return true;
  scanStop.from = INT32_MAX;
  return false;
}

template <bool STOPS>
inline int32_t runScan(const Instruction* scan, ItemPerformer perform, int32_t itemSlots) {
  const Instruction* follow =
      scan->followKind() <= FOLLOW_NEWLINE ? followInstruction(scan) : nullptr;
  for (;;) {
    if (!perform(scan)) return HANDLER_FAIL;
    const int32_t result = followTest(scan, follow);
    if (result == STOP) break;
    if (result == FOLLOW_OUT_OF_MEMORY) return HANDLER_OUT_OF_MEMORY;
    if (stopsHere<STOPS>()) return HANDLER_STOPPED;
  }
  m().pc = scan + itemSlots;
  return HANDLER_CONTINUE;
}

// Single-byte text: the stretch of positions where ANY reads straight from
// the window and the follow test says go on without asking the source is
// skipped in one step (for FOLLOW_CHAR and FOLLOW_SET, up to the next byte that can begin
// the continuation).
template <bool STOPS>
void skipAnyRun(const Instruction* scan, const Instruction* follow) {
  MatcherState& s = m();
  const int64_t room = s.windowEnd - s.cur;
  int64_t run = room - (textSource.fullWindowReads ? 0 : 2);
  // A run that stops lands on its stop.
  if (STOPS && scanStop.from - s.offset < run) run = scanStop.from - s.offset;
  switch (scan->followKind()) {
    case FOLLOW_CHAR: {
      const uint8_t a = static_cast<uint8_t>(follow->accepted());
      const uint8_t b = static_cast<uint8_t>(follow->acceptedVariant());
      if (run <= 0) return;
      if (a == b) {
        const void* found = std::memchr(s.cur, a, static_cast<size_t>(run));
        if (found != nullptr) run = static_cast<const uint8_t*>(found) - s.cur;
      } else {
        for (int64_t i = 0; i < run; ++i) {
          if (s.cur[i] == a || s.cur[i] == b) {
            run = i;
            break;
          }
        }
      }
      break;
    }
    case FOLLOW_SET:
      if (room - 2 < run) run = room - 2;
      for (int64_t i = 0; i < run; ++i) {
        if (setBitmapHas(follow, s.cur[i])) {
          run = i;
          break;
        }
      }
      break;
    case FOLLOW_LINE_END:
    case FOLLOW_NEWLINE:
      if (textSource.askLineBounds) return;
      if (room - 2 < run) run = room - 2;
      break;
    case RUN_TO_END_CROSSING:
      break;
    case RUN_TO_END_ANY:
      if (room - 2 < run) run = room - 2;
      break;
    default:
      return;
  }
  if (run > 0) {
    s.offset += static_cast<int32_t>(run);
    s.cur += run;
  }
}

// UTF-8 text: the same skip over a stretch of ASCII bytes read straight
// from the window. With six bytes or more left, ANY takes an ASCII byte as a
// character of its own and the follow tests decode it directly, so up to six
// bytes before the window's end each ASCII byte is passed exactly as
// runScan would pass it, item and follow test, without a decode a byte. A
// byte of several-byte sequences ends the stretch and goes the ordinary way.
template <bool STOPS>
void skipUtf8AsciiRun(const Instruction* scan, const Instruction* follow) {
  MatcherState& s = m();
  int64_t run = s.windowEnd - s.cur - 6;
  if (STOPS && scanStop.from - s.offset < run) run = scanStop.from - s.offset;
  if (run <= 0) return;
  const uint8_t* p = s.cur;
  int64_t i = 0;
  switch (scan->followKind()) {
    case FOLLOW_CHAR:
      if (compiledPattern.ignoreCase == 0) {
        const uint32_t stop = follow->acceptedVariant();
        while (i < run && p[i] < 0x80 && p[i] != stop) ++i;
      } else {
        while (i < run && p[i] < 0x80 && !utf8CharMatches(follow, p[i])) ++i;
      }
      break;
    case FOLLOW_SET:
      while (i < run && p[i] < 0x80 && !utf8SetHas(follow, p[i])) ++i;
      break;
    case FOLLOW_LINE_END:
    case FOLLOW_NEWLINE:
      if (textSource.askLineBounds) return;
      [[fallthrough]];
    case RUN_TO_END_CROSSING:
    case RUN_TO_END_ANY:
      while (i < run && p[i] < 0x80) ++i;
      break;
    default:
      return;
  }
  s.offset += static_cast<int32_t>(i);
  s.cur += i;
}

bool performAnyItem(const Instruction* item) { return performAny(item); }
bool performSetItem(const Instruction* item) { return performSet(item); }
bool performCharItem(const Instruction* item) { return performChar(item); }

template <bool STOPS>
int32_t anyScan(const Instruction* scan) {
  if (textSource.charMode == ENCODING_SINGLE_BYTE) {
    // The first item is always consumed before the first follow test.
    if (!performAny(scan)) return HANDLER_FAIL;
    const Instruction* follow =
        scan->followKind() <= FOLLOW_NEWLINE ? followInstruction(scan) : nullptr;
    for (;;) {
      skipAnyRun<STOPS>(scan, follow);
      const int32_t result = followTest(scan, follow);
      if (result == STOP) break;
      if (result == FOLLOW_OUT_OF_MEMORY) return HANDLER_OUT_OF_MEMORY;
      if (stopsHere<STOPS>()) return HANDLER_STOPPED;
      if (!performAny(scan)) return HANDLER_FAIL;
    }
    m().pc = scan + 1;
    return HANDLER_CONTINUE;
  }
  if (textSource.charMode == ENCODING_UTF8) {
    const Instruction* follow =
        scan->followKind() <= FOLLOW_NEWLINE ? followInstruction(scan) : nullptr;
    for (;;) {
      if (!performAny(scan)) return HANDLER_FAIL;
      skipUtf8AsciiRun<STOPS>(scan, follow);
      const int32_t result = followTest(scan, follow);
      if (result == STOP) break;
      if (result == FOLLOW_OUT_OF_MEMORY) return HANDLER_OUT_OF_MEMORY;
      if (stopsHere<STOPS>()) return HANDLER_STOPPED;
    }
    m().pc = scan + 1;
    return HANDLER_CONTINUE;
  }
  return runScan<STOPS>(scan, performAnyItem, 1);
}

// A SET_SCAN or CHAR_SCAN over bytes read straight from the window, one table
// look-up each: for every byte, whether the item takes it as a character of
// its own and whether the follow test stops before it. A byte the table
// cannot answer alone goes the ordinary way: a UTF-8 lead byte, whose
// character depends on the bytes after it, and a carriage return or line
// feed, which the source may call a line end. So does every byte near the
// window's end in records, whose source answers there. In lines and strings
// the reads through the source near the window's end find any other byte a
// character of its own and no line end, as the table does, so the table
// answers up to the window's last byte (which a line's line feed mostly is),
// and the run takes exactly the steps runScan takes. Tables are kept for the
// last few scans of the program the compiler numbered, by slot; a program put
// in place otherwise runs through runScan.
enum ScanByteRole : uint8_t { BYTE_TAKEN = 1, BYTE_STOPS = 2, BYTE_SLOW = 4 };

// More bytes than this before the window's end: every read of the item and
// of the follow tests is then straight from the window (a UTF-8 character
// is decoded directly with six bytes ahead).
constexpr int64_t TABLE_SCAN_MARGIN = 6;
// In lines and strings: the window's last byte, which the move past it
// would cross into the next window, goes the ordinary way.
constexpr int64_t TABLE_SCAN_LINE_MARGIN = 1;
constexpr int32_t SCAN_TABLES = 4;

struct ScanTable {
  const Instruction* scan;  // null: unused
  uint32_t generation;
  int32_t charMode;
  int32_t ignoreCase;
  int32_t askLineBounds;
  int32_t fullWindowReads;
  uint8_t role[256];
};

ScanTable scanTables[SCAN_TABLES];
int32_t nextScanTable = 0;

// Whether the follow test of the scan stops before character c, read
// straight from the window; c is a whole character.
bool followStopsAt(const Instruction* scan, const Instruction* follow, int32_t c) {
  switch (scan->followKind()) {
    case FOLLOW_CHAR:
      return charEquals(follow, c);
    case FOLLOW_SET:
      return setHas(follow, c);
    case RUN_TO_END_SET:
      return !setHas(scan, c);
    case RUN_TO_END_CHAR:
      return !charEquals(scan, c);
    default:  // FOLLOW_LINE_END and FOLLOW_NEWLINE hold only near the window's end
      return false;
  }
}

// Whether the item of a SET_SCAN or CHAR_SCAN takes byte b as a character
// of its own (an ASCII byte in UTF-8 text).
bool itemTakes(const Instruction* scan, int32_t b) {
  if (scan->opcode == OP_CHAR_SCAN) return charEquals(scan, b);
  return textSource.charMode == ENCODING_UTF8 ? utf8SetHas(scan, b) : setBitmapHas(scan, b);
}

// The table of a SET_SCAN or CHAR_SCAN, made on its first use; null where
// the scan's reads are not all by the byte (double-byte text, a line test
// that asks the source in records, a CHAR run to the end in records, which
// asks the source at every byte, other follow kinds).
// The table made anew, in place of the one used longest ago.
[[gnu::noinline]] const ScanTable* makeScanTable(const Instruction* scan) {
  ScanTable& table = scanTables[nextScanTable];
  nextScanTable = (nextScanTable + 1) % SCAN_TABLES;
  const int32_t mode = textSource.charMode;
  const int32_t kind = scan->followKind();
  const Instruction* follow = kind <= FOLLOW_NEWLINE ? followInstruction(scan) : nullptr;
  for (int32_t b = 0; b < 256; ++b) {
    if ((mode == ENCODING_UTF8 && b >= 0x80) || b == '\r' || b == '\n') {
      table.role[b] = BYTE_SLOW;
      continue;
    }
    const bool taken = itemTakes(scan, b);
    table.role[b] = static_cast<uint8_t>((taken ? BYTE_TAKEN : 0) |
                                         (followStopsAt(scan, follow, b) ? BYTE_STOPS : 0));
  }
  table.scan = scan;
  table.generation = compiledPattern.generation;
  table.charMode = mode;
  table.ignoreCase = compiledPattern.ignoreCase;
  table.askLineBounds = textSource.askLineBounds;
  table.fullWindowReads = textSource.fullWindowReads;
  return &table;
}

// A table kept for the scan in the same conditions was made for one that
// qualifies; only a scan without one is asked whether it does.
inline const ScanTable* scanTableOf(const Instruction* scan) {
  const int32_t mode = textSource.charMode;
  const uint32_t generation = compiledPattern.generation;
  for (const ScanTable& table : scanTables) {
    if (table.scan == scan && table.generation == generation && table.charMode == mode &&
        table.ignoreCase == compiledPattern.ignoreCase &&
        table.askLineBounds == textSource.askLineBounds &&
        table.fullWindowReads == textSource.fullWindowReads) {
      return &table;
    }
  }
  if (generation == 0 || mode == ENCODING_DOUBLE_BYTE) return nullptr;
  const int32_t kind = scan->followKind();
  const bool runToEnd = scan->opcode == OP_SET_SCAN
                            ? kind == RUN_TO_END_SET
                            : kind == RUN_TO_END_CHAR && textSource.fullWindowReads == 0;
  if (kind != FOLLOW_CHAR && kind != FOLLOW_SET && !runToEnd &&
      ((kind != FOLLOW_LINE_END && kind != FOLLOW_NEWLINE) || textSource.askLineBounds != 0)) {
    return nullptr;
  }
  return makeScanTable(scan);
}

template <ItemPerformer PERFORM>
int32_t runTableScan(const Instruction* scan, const ScanTable& table, int32_t itemSlots) {
  MatcherState& s = m();
  const Instruction* follow =
      scan->followKind() <= FOLLOW_NEWLINE ? followInstruction(scan) : nullptr;
  const uint8_t* role = table.role;
  const int64_t margin = textSource.fullWindowReads == 0 && textSource.askLineBounds == 0
                             ? TABLE_SCAN_LINE_MARGIN
                             : TABLE_SCAN_MARGIN;
  for (;;) {
    // The item, then the follow test after it, as runScan takes them. Bytes
    // the table decides are read with a pointer of the loop's own, and the
    // state learns where it stopped.
    const uint8_t* p = s.cur;
    if (s.windowEnd - p > margin && role[*p] != BYTE_SLOW) {
      // Not formed before: an empty text in memory has no window at all.
      const uint8_t* fastEnd = s.windowEnd - margin;
      if ((role[*p] & BYTE_TAKEN) == 0) return HANDLER_FAIL;
      ++p;
      uint8_t next = BYTE_SLOW;
      while (p < fastEnd && (next = role[*p]) != BYTE_SLOW) {
        if ((next & BYTE_STOPS) != 0) break;
        if ((next & BYTE_TAKEN) == 0) {
          s.offset += p - s.cur;
          s.cur = p;
          return HANDLER_FAIL;
        }
        ++p;
      }
      s.offset += p - s.cur;
      s.cur = p;
      if (p < fastEnd && next != BYTE_SLOW) break;  // the follow test stopped the scan
    } else if (!PERFORM(scan)) {
      return HANDLER_FAIL;
    } else if (s.windowEnd - s.cur > margin && role[*s.cur] != BYTE_SLOW) {
      if ((role[*s.cur] & BYTE_STOPS) != 0) break;
      continue;
    }
    const int32_t result = followTest(scan, follow);
    if (result == STOP) break;
    if (result == FOLLOW_OUT_OF_MEMORY) return HANDLER_OUT_OF_MEMORY;
  }
  s.pc = scan + itemSlots;
  return HANDLER_CONTINUE;
}

}  // namespace

ScanStop scanStop = {INT32_MAX, INT32_MAX};

int32_t handleAnyScan(const Instruction* scan) { return anyScan<false>(scan); }

int32_t handleSetScan(const Instruction* scan) {
  const int32_t slots = setSlotCount(*scan, textSource.charMode);
  const ScanTable* table = scanTableOf(scan);
  if (table != nullptr) return runTableScan<performSetItem>(scan, *table, slots);
  return runScan<false>(scan, performSetItem, slots);
}

int32_t handleCharScan(const Instruction* scan) {
  const ScanTable* table = scanTableOf(scan);
  if (table != nullptr) return runTableScan<performCharItem>(scan, *table, 1);
  return runScan<false>(scan, performCharItem, 1);
}

int32_t runScanStopping(const Instruction* scan) {
  switch (scan->opcode) {
    case OP_ANY_SCAN:
      return anyScan<true>(scan);
    case OP_SET_SCAN:
      return runScan<true>(scan, performSetItem, setSlotCount(*scan, textSource.charMode));
    default:
      return runScan<true>(scan, performCharItem, 1);
  }
}

}  // namespace matcher_internal
