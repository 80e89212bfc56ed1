// The backtracking matcher: runs a compiled program at one start position.
//
// A first-found engine: at the start position it follows the program's
// branches depth first, in the priority order they give, and reports the
// first way to reach MATCH, not the longest. Every branch pushes a choice
// point (a BacktrackFrame with the slot to resume at and the offset consumed
// so far) on one flat, growable stack; a failing instruction pops the top
// frame, moves the pointer back by offset and resumes there. Restore-only
// frames give a register (a repetition counter or a pass-start register of an
// empty-pass guard) its old value back when they are popped. Captures and the
// cursor mark live in the frame that was on top when they were recorded, so
// backtracking discards them without an undo log, and a successful attempt
// merges them into the base frame.
//
// Instructions run through a table of 21 handlers indexed by opcode. Text is
// read straight from the window (the piece of text the source last reported)
// and through the text source only near the window's edges; offsets, not
// pointers, are kept in frames, because the source may load another piece of
// text under the same buffer. The scan instructions of the loop pass are in
// scan_instructions.cpp.
//
// Tested by matcher_test.cpp, loop_pass_test.cpp and regex_search_test.cpp.
#include "pattern/matcher.h"

#include <cstring>

#include "pattern/alternative_skip.h"
#include "pattern/backtrack_memo.h"
#include "pattern/matcher_internal.h"
#include "pattern/unicode_set.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

MatcherState matcher;

namespace matcher_internal {

// ---------------------------------------------------------------------------
// Reads through the text source

int32_t decodeThroughSource(int32_t at, int32_t* length) {
  return decodeWith([](int32_t i) { return textSource.PeekChar(i); }, at, length);
}

namespace {

inline bool moveSucceeded(int32_t result) { return result >= 0 || result == ADVANCE_AT_END; }

// Consumes `length` bytes read through the source at the current pointer.
bool consumeThroughSource(int32_t length) {
  MatcherState& s = m();
  if (!moveSucceeded(textSource.Advance(length))) return false;
  s.offset += length;
  return refreshAfterMove();
}

}  // namespace

namespace {

// One byte through NextChar, after HasMore when `askMore`.
int32_t nextByteThroughSource(bool askMore, int32_t crossLines) {
  MatcherState& s = m();
  textSource.SetPosition(s.cur);
  if (askMore && textSource.HasMore(0, crossLines) == 0) return NO_CHARACTER;
  const int32_t c = textSource.NextChar();
  if (c < 0) return NO_CHARACTER;
  ++s.offset;
  return refreshAfterMove() ? c : NO_CHARACTER;
}

// One UTF-8 character decoded through PeekChar and then passed, after
// HasMore when `askMore`.
int32_t nextCharacterThroughSource(bool askMore, int32_t crossLines) {
  textSource.SetPosition(m().cur);
  if (askMore && textSource.HasMore(0, crossLines) == 0) return NO_CHARACTER;
  int32_t length = 0;
  const int32_t code = decodeThroughSource(0, &length);
  if (code == NO_CHARACTER) return NO_CHARACTER;
  return consumeThroughSource(length) ? code : NO_CHARACTER;
}

}  // namespace

int32_t fetchCharByteSlow(int32_t crossLines) {
  return nextByteThroughSource(textSource.fullWindowReads != 0, crossLines);
}

int32_t fetchAnyByteSlow(int32_t crossLines) {
  textSource.SetPosition(m().cur);
  if (textSource.HasMore(0, crossLines) == 0) return NO_CHARACTER;
  const int32_t c = textSource.PeekChar(0);
  if (c < 0) return NO_CHARACTER;
  return consumeThroughSource(1) ? c : NO_CHARACTER;
}

int32_t fetchSetByteSlow(int32_t crossLines) { return nextByteThroughSource(true, crossLines); }

int32_t fetchUtf8CharSlow() { return nextCharacterThroughSource(textSource.fullWindowReads != 0, 1); }

int32_t fetchUtf8AnySetSlow(int32_t crossLines) {
  return nextCharacterThroughSource(true, crossLines);
}

int32_t fetchTrailByte(int32_t crossLines) { return fetchAnyByte(crossLines); }

bool setRecordHas(const Instruction* set, int32_t code) {
  return serializedSetContains(reinterpret_cast<const uint8_t*>(set + 1), code);
}

bool growStack() {
  MatcherState& s = m();
  const int64_t frames = static_cast<int64_t>(s.capacity) * 2;
  const int64_t bytes = frames * static_cast<int64_t>(sizeof(BacktrackFrame));
  if (bytes > INT32_MAX || (s.stackLimit > 0 && frames > s.stackLimit)) return false;
  void* grown = memRealloc(s.stack, static_cast<uint32_t>(bytes));
  if (grown == nullptr) return false;
  s.stack = static_cast<BacktrackFrame*>(grown);
  s.capacity = static_cast<int32_t>(frames);
  return true;
}

// The mark buffer of the compiled pattern starts with the size it holds,
// since patterns that are kept aside may meet sources of other mark sizes.
int32_t prepareMarkBuffer(void** mark) {
  int32_t wanted = textSource.SaveMark(nullptr);
  if (wanted < 1) wanted = 1;
  uint32_t* buffer = static_cast<uint32_t*>(compiledPattern.markBuffer);
  if (buffer == nullptr || buffer[0] < static_cast<uint32_t>(wanted)) {
    const uint32_t bytes = static_cast<uint32_t>(wanted) + 8;
    buffer = static_cast<uint32_t*>(memRealloc(buffer, bytes));
    if (buffer == nullptr) return REGEX_OUT_OF_MEMORY;
    buffer[0] = static_cast<uint32_t>(wanted);
    compiledPattern.markBuffer = buffer;
  }
  *mark = buffer + 2;
  return 0;
}

// ---------------------------------------------------------------------------
// Moving back

namespace {

// Moves the pointer by d ≤ 0 bytes, through the source when that leaves the
// window.
void moveBack(int32_t d) {
  MatcherState& s = m();
  if (-static_cast<int64_t>(d) <= s.cur - s.windowStart) {
    s.cur += d;
    return;
  }
  textSource.SetPosition(s.cur);
  textSource.MoveBy(d);
  refreshWindow();
}

}  // namespace

void returnToStart() {
  MatcherState& s = m();
  if (s.offset != 0) moveBack(-s.offset);
  s.offset = 0;
}

namespace {

// ---------------------------------------------------------------------------
// Handlers

int32_t handleChar(const Instruction* in) {
  if (!performChar(in)) return HANDLER_FAIL;
  m().pc = in + 1;
  return HANDLER_CONTINUE;
}

int32_t handleAny(const Instruction* in) {
  if (!performAny(in)) return HANDLER_FAIL;
  m().pc = in + 1;
  return HANDLER_CONTINUE;
}

int32_t handleSet(const Instruction* in) {
  if (!performSet(in)) return HANDLER_FAIL;
  m().pc = in + setSlotCount(*in, textSource.charMode);
  return HANDLER_CONTINUE;
}

// A loop's branch back that carries an empty-pass guard (op3 = register + 1)
// when the pass it closes consumed nothing.
inline bool passWasEmpty(const Instruction* in) {
  const MatcherState& s = m();
  const uint32_t index = static_cast<uint32_t>(in->passGuard()) - 1u;
  return in->passGuard() != 0 && index < static_cast<uint32_t>(s.passStartCount) &&
         s.passStarts[index] == s.offset;
}

int32_t handleSplit(const Instruction* in) {
  MatcherState& s = m();
  if (!passWasEmpty(in) && !pushFrame(in + in->branch(), 0, -1, 0)) return HANDLER_OUT_OF_MEMORY;
  s.pc = in + in->next();
  return HANDLER_CONTINUE;
}

int32_t handleSplitFirst(const Instruction* in) {
  MatcherState& s = m();
  // A way that cannot begin with the byte here is not tried.
  const Instruction* from = passAlternatives(in);
  if (from != in) {
    s.pc = from;
    return HANDLER_CONTINUE;
  }
  if (passWasEmpty(in)) {
    s.pc = in + in->next();
    return HANDLER_CONTINUE;
  }
  if (!pushFrame(in + in->next(), 0, -1, 0)) return HANDLER_OUT_OF_MEMORY;
  s.pc = in + in->branch();
  return HANDLER_CONTINUE;
}

int32_t handleJump(const Instruction* in) {
  m().pc = in + in->next();
  return HANDLER_CONTINUE;
}

int32_t handleMarkCursor(const Instruction* in) {
  MatcherState& s = m();
  s.stack[s.top].cursorMark = s.offset + 1;
  textSource.SetPosition(s.cur);
  if (textSource.ReportPosition != nullptr) {
    int32_t unused[3];
    textSource.ReportPosition(&unused[0], &unused[1], &unused[2]);
  }
  s.pc = in + 1;
  return HANDLER_CONTINUE;
}

int32_t handleLineStart(const Instruction* in) {
  MatcherState& s = m();
  if (s.cur != s.windowStart && !textSource.askLineBounds) return HANDLER_FAIL;
  textSource.SetPosition(s.cur);
  if (textSource.AtLineStart(0) != 1) return HANDLER_FAIL;
  refreshWindow();
  s.pc = in + 1;
  return HANDLER_CONTINUE;
}

// With op4 = 1 (the newline escape of record mode) the line end must also be
// followed by another record.
int32_t handleLineEnd(const Instruction* in) {
  MatcherState& s = m();
  if (s.windowEnd - s.cur > 2 && !textSource.askLineBounds) return HANDLER_FAIL;
  textSource.SetPosition(s.cur);
  if (textSource.AtLineEnd(0, 0) == 0) return HANDLER_FAIL;
  if (in->newlineEscape() == 1 && textSource.fullWindowReads && textSource.HasMore(0, 1) == 0) {
    return HANDLER_FAIL;
  }
  refreshWindow();
  s.pc = in + 1;
  return HANDLER_CONTINUE;
}

int32_t handleGroupStart(const Instruction* in) {
  MatcherState& s = m();
  const int32_t group = in->group();
  if (static_cast<uint32_t>(group) < CAPTURE_GROUPS) {
    BacktrackFrame& frame = s.stack[s.top];
    frame.captures[group][0] = s.offset;
    frame.startMask |= 1u << group;
  }
  s.pc = in + 1;
  return HANDLER_CONTINUE;
}

int32_t handleGroupEnd(const Instruction* in) {
  MatcherState& s = m();
  const int32_t group = in->group();
  if (static_cast<uint32_t>(group) < CAPTURE_GROUPS) {
    BacktrackFrame& frame = s.stack[s.top];
    frame.captures[group][1] = s.offset;
    frame.endMask |= 1u << group;
  }
  s.pc = in + 1;
  return HANDLER_CONTINUE;
}

int32_t handleNotAhead(const Instruction* in) {
  if (!pushFrame(in + in->next(), 1, -1, 0)) return HANDLER_OUT_OF_MEMORY;
  m().pc = in + 1;
  return HANDLER_CONTINUE;
}

int32_t handleMatch(const Instruction*) {
  MatcherState& s = m();
  s.matchLength = s.offset;
  textSource.SetPosition(s.cur);
  if (textSource.ReportPosition != nullptr) {
    int32_t unused[3];
    textSource.ReportPosition(&unused[0], &unused[1], &unused[2]);
  }
  return HANDLER_ACCEPT;
}

int32_t handleCountReset(const Instruction* in) {
  MatcherState& s = m();
  if (in->passMark() == PASS_START_MARK) {
    // A pass of a loop whose body can be empty starts here; backtracking
    // past this point gives the register its old value back.
    const int32_t index = in->passRegister();
    if (index < 0) return HANDLER_FAIL;
    if (index >= s.passStartCount && preparePassStarts(index + 1) != 0) {
      return HANDLER_OUT_OF_MEMORY;
    }
    if (!pushFrame(nullptr, 0, REPEAT_COUNTERS + index, s.passStarts[index])) {
      return HANDLER_OUT_OF_MEMORY;
    }
    s.passStarts[index] = s.offset;
  } else if (in->counter() < static_cast<uint32_t>(REPEAT_COUNTERS)) {
    s.counters[in->counter()] = 0;
  }
  s.pc = in + 1;
  return HANDLER_CONTINUE;
}

// COUNT_LOOP and COUNT_LOOP_MIN. Every pass pushes a restore-only frame that
// holds the count before this pass; a pass that may end the loop or go on
// pushes a choice point above it, which holds the count of the path it
// resumes (n passes done).
int32_t countLoop(const Instruction* in, bool preferExit) {
  MatcherState& s = m();
  if (in->counter() >= static_cast<uint32_t>(REPEAT_COUNTERS)) return HANDLER_FAIL;
  const int32_t counter = static_cast<int32_t>(in->counter());
  const int32_t before = s.counters[counter];
  if (before >= in->maximum()) return HANDLER_FAIL;
  const int32_t n = before + 1;
  s.counters[counter] = n;
  const Instruction* body = in + in->branch();
  const Instruction* exit = in + in->next();
  // An empty pass ends the loop only when it was one beyond the minimum:
  // after the passes the minimum asks for, one more is always tried, which
  // may consume where the last of them did not (as Python's re and PCRE
  // do), and an empty one of those ends it.
  const bool empty = passWasEmpty(in);
  if (n == in->maximum() || (empty && n > in->minimum())) {
    if (!pushFrame(nullptr, 0, counter, before)) return HANDLER_OUT_OF_MEMORY;
    s.pc = exit;
  } else if (n < in->minimum()) {
    // Below the minimum every pass is made, an empty one too: the next pass
    // starts at the same position but may take a way through the body that
    // consumes. The count bounds these passes.
    if (!pushFrame(nullptr, 0, counter, before)) return HANDLER_OUT_OF_MEMORY;
    s.pc = body;
  } else {
    // Two frames: the choice point resumes its path with n passes done, and
    // the restore-only frame under it gives the count before this pass back
    // when backtracking goes further down, into this pass's body or before
    // the loop.
    if (!pushFrame(nullptr, 0, counter, before) ||
        !pushFrame(preferExit ? body : exit, 0, counter, n)) {
      return HANDLER_OUT_OF_MEMORY;
    }
    s.pc = preferExit ? exit : body;
  }
  return HANDLER_CONTINUE;
}

int32_t handleCountLoop(const Instruction* in) { return countLoop(in, false); }
int32_t handleCountLoopMin(const Instruction* in) { return countLoop(in, true); }

// BACKREF: the text of the group's last recorded capture again. Both the
// captured text and the text at the pointer are read relative to the
// pointer: from the window where it holds them, else through PeekChar.
class RelativeReader {
 public:
  RelativeReader() : s_(m()), sourceSet_(false) {}
  int32_t byteAt(int32_t relative) {
    if (relative >= -(s_.cur - s_.windowStart) && relative < s_.windowEnd - s_.cur) {
      return s_.cur[relative];
    }
    if (!sourceSet_) {
      textSource.SetPosition(s_.cur);
      sourceSet_ = true;
    }
    return textSource.PeekChar(relative);
  }
  // UTF-8 character at a relative position; NO_CHARACTER past the text.
  int32_t characterAt(int32_t relative, int32_t* length) {
    return decodeWith([this](int32_t i) { return byteAt(i); }, relative, length);
  }

 private:
  MatcherState& s_;
  bool sourceSet_;
};

// Compares the capture [from, from + length) (relative to the pointer) with
// the text at the pointer; the bytes of text it spans, or -1.
int32_t compareCapture(int32_t from, int32_t length) {
  RelativeReader reader;
  const int32_t mode = textSource.charMode;
  const bool fold = compiledPattern.ignoreCase != 0;
  if (mode == ENCODING_UTF8) {
    int32_t capture = 0;
    int32_t text = 0;
    while (capture < length) {
      int32_t captureLength = 0;
      int32_t textLength = 0;
      const int32_t a = reader.characterAt(from + capture, &captureLength);
      const int32_t b = reader.characterAt(text, &textLength);
      if (a == NO_CHARACTER || b == NO_CHARACTER) return -1;
      // An invalid byte (-1) equals only the same byte; the capture holds it.
      if (a < 0 || b < 0 ? a != b || reader.byteAt(from + capture) != reader.byteAt(text)
                         : comparableCodePoint(a) != comparableCodePoint(b)) {
        return -1;
      }
      capture += captureLength;
      text += textLength;
    }
    return text;
  }
  for (int32_t i = 0; i < length; ++i) {
    int32_t a = reader.byteAt(from + i);
    int32_t b = reader.byteAt(i);
    if (a < 0 || b < 0) return -1;
    if (mode == ENCODING_DOUBLE_BYTE && (leadByteTable[a] != 0 || leadByteTable[b] != 0) &&
        i + 1 < length) {
      // A double-byte character: both sides must be one, compared unfolded.
      if (leadByteTable[a] == 0 || leadByteTable[b] == 0 || a != b) return -1;
      ++i;
      if (reader.byteAt(from + i) != reader.byteAt(i) || reader.byteAt(i) < 0) return -1;
      continue;
    }
    if (fold) {
      a = upperTable[a];
      b = upperTable[b];
    }
    if (a != b) return -1;
  }
  return length;
}

int32_t handleBackref(const Instruction* in) {
  MatcherState& s = m();
  const int32_t group = in->group();
  if (static_cast<uint32_t>(group) >= CAPTURE_GROUPS) return HANDLER_FAIL;
  const uint32_t bit = 1u << group;
  int32_t k = s.top;
  while (k >= 0 && (s.stack[k].endMask & bit) == 0) --k;
  if (k < 0) return HANDLER_FAIL;
  const int32_t end = s.stack[k].captures[group][1];
  while (k >= 0 && (s.stack[k].startMask & bit) == 0) --k;
  if (k < 0) return HANDLER_FAIL;
  const int32_t start = s.stack[k].captures[group][0];
  if (start > end || end > s.offset) return HANDLER_FAIL;
  if (start < end) {
    const int32_t length = end - start;
    if (static_cast<int64_t>(s.offset) + length > OFFSET_LIMIT) return HANDLER_FAIL;
    const int32_t consumed = compareCapture(start - s.offset, length);
    if (consumed < 0) return HANDLER_FAIL;
    if (consumed <= s.windowEnd - s.cur) {
      s.cur += consumed;
      s.offset += consumed;
    } else {
      textSource.SetPosition(s.cur);
      if (!consumeThroughSource(consumed)) return HANDLER_FAIL;
    }
  }
  s.pc = in + 1;
  return HANDLER_CONTINUE;
}

int32_t handleNewline(const Instruction* in) {
  MatcherState& s = m();
  if (s.windowEnd - s.cur > 2 && !textSource.askLineBounds) return HANDLER_FAIL;
  textSource.SetPosition(s.cur);
  const int32_t r = textSource.AtLineEnd(0, 0);
  if (r >= 0) return HANDLER_FAIL;
  const int32_t length = r == LINE_END_LF ? 1 : r == LINE_END_CRLF ? 2 : 0;
  if (length > 0) {
    if (!moveSucceeded(textSource.Advance(length))) return HANDLER_FAIL;
    s.offset += length;
  }
  if (!refreshAfterMove()) return HANDLER_FAIL;
  s.pc = in + 1;
  return HANDLER_CONTINUE;
}

const Handler HANDLERS[OPCODE_COUNT] = {
    handleChar,          // OP_CHAR
    handleSplit,         // OP_SPLIT
    handleSplitFirst,    // OP_SPLIT_FIRST
    handleJump,          // OP_JUMP
    handleAny,           // OP_ANY
    handleMarkCursor,    // OP_MARK_CURSOR
    handleLineStart,     // OP_LINE_START
    handleLineEnd,       // OP_LINE_END
    handleGroupStart,    // OP_GROUP_START
    handleGroupEnd,      // OP_GROUP_END
    handleNotAhead,      // OP_NOT_AHEAD
    handleMatch,         // OP_MATCH
    handleSet,           // OP_SET
    handleCountReset,    // OP_COUNT_RESET
    handleCountLoop,     // OP_COUNT_LOOP
    handleCountLoopMin,  // OP_COUNT_LOOP_MIN
    handleBackref,       // OP_BACKREF
    handleNewline,       // OP_NEWLINE
    handleAnyScan,       // OP_ANY_SCAN
    handleSetScan,       // OP_SET_SCAN
    handleCharScan,      // OP_CHAR_SCAN
};

// ---------------------------------------------------------------------------
// Ending an attempt

// Pops one frame while backtracking: its register gets its old value back.
inline void undoFrame(const BacktrackFrame& frame) {
  if (frame.restoreRegister >= 0) *matcherRegister(frame.restoreRegister) = frame.restoreValue;
}

// Resumes at the most recent choice point; false when none is left.
template <bool MEMO>
bool backtrack() {
  MatcherState& s = m();
  while (s.top > 0) {
    const BacktrackFrame& frame = s.stack[s.top];
    undoFrame(frame);
    if (frame.resume == nullptr) {
      --s.top;
      continue;
    }
    if (MEMO) backtrack_memo::settlePending(s.top);
    moveBack(frame.offset - s.offset);
    s.offset = frame.offset;
    s.pc = frame.resume;
    --s.top;
    return true;
  }
  return false;
}

// A look-ahead body reached its MATCH when a guard frame is still pending:
// the branch that asked for the look-ahead fails. Frames from the top down to
// the guard are popped (their registers restored); false when there is none.
template <bool MEMO>
bool failAtGuard() {
  MatcherState& s = m();
  int32_t k = s.top;
  while (k > 0 && s.stack[k].guard == 0) --k;
  if (k == 0) return false;
  if (MEMO) backtrack_memo::bodyMatched(k);
  for (int32_t j = s.top; j >= k; --j) undoFrame(s.stack[j]);
  s.top = k - 1;
  return true;
}

// Merges the captures and the cursor mark of the frames above the base into
// the base frame, later frames overriding earlier ones.
void mergeIntoBase() {
  MatcherState& s = m();
  BacktrackFrame& base = s.stack[0];
  int32_t mark = base.cursorMark;
  for (int32_t k = 1; k <= s.top; ++k) {
    const BacktrackFrame& frame = s.stack[k];
    if (frame.cursorMark != 0) mark = frame.cursorMark;
    if ((frame.startMask | frame.endMask) == 0) continue;
    base.endMask |= frame.endMask;
    for (int32_t g = 0; g < CAPTURE_GROUPS; ++g) {
      if (frame.startMask & (1u << g)) base.captures[g][0] = frame.captures[g][0];
      if (frame.endMask & (1u << g)) base.captures[g][1] = frame.captures[g][1];
    }
  }
  s.cursorMark = mark;
  s.top = 0;
}

}  // namespace

// Double-byte text: whether the pointer is a character boundary. The run of
// lead-byte values right before it, counted back to a line start or to a byte
// that cannot lead, must have even length.
bool atCharacterBoundary() {
  MatcherState& s = m();
  textSource.SetPosition(s.cur);
  // After a byte that cannot lead, a character begins.
  if (s.cur > s.windowStart && leadByteTable[s.cur[-1]] == 0) return true;
  if ((s.cur == s.windowStart || textSource.askLineBounds) && textSource.AtLineStart(0) == 1) {
    return true;
  }
  // A line feed cannot lead, so only record boundaries need asking for.
  int32_t run = 0;
  for (;;) {
    if (run > 0 && textSource.askLineBounds && textSource.AtLineStart(-run) == 1) break;
    if (run == INT32_MAX) break;
    const int32_t back = run + 1;
    const int32_t c = back <= s.cur - s.windowStart ? s.cur[-back] : textSource.PeekChar(-back);
    if (c < 0 || leadByteTable[c] == 0) break;
    ++run;
  }
  return run % 2 == 0;
}

}  // namespace matcher_internal

using namespace matcher_internal;

int32_t prepareMatcherStack() {
  MatcherState& s = matcher;
  if (s.stack != nullptr) return 0;
  s.stack = static_cast<BacktrackFrame*>(
      memAlloc(static_cast<uint32_t>(MATCHER_INITIAL_FRAMES * sizeof(BacktrackFrame))));
  if (s.stack == nullptr) return REGEX_OUT_OF_MEMORY;
  std::memset(s.stack, 0, MATCHER_INITIAL_FRAMES * sizeof(BacktrackFrame));
  s.capacity = MATCHER_INITIAL_FRAMES;
  s.top = 0;
  return 0;
}

int32_t preparePassStarts(int32_t count) {
  MatcherState& s = matcher;
  if (count <= s.passStartCount) return 0;
  int32_t wanted = s.passStartCount < 8 ? 8 : s.passStartCount;
  while (wanted < count) wanted *= 2;
  if (static_cast<int64_t>(wanted) * static_cast<int64_t>(sizeof(int32_t)) > INT32_MAX) {
    return REGEX_OUT_OF_MEMORY;
  }
  void* grown = memRealloc(s.passStarts, static_cast<uint32_t>(wanted * sizeof(int32_t)));
  if (grown == nullptr) return REGEX_OUT_OF_MEMORY;
  s.passStarts = static_cast<int32_t*>(grown);
  for (int32_t i = s.passStartCount; i < wanted; ++i) s.passStarts[i] = -1;
  s.passStartCount = wanted;
  return 0;
}

void loadMatcherWindow() { refreshWindow(); }

namespace {

inline bool isScan(uint8_t opcode) {
  return opcode == OP_ANY_SCAN || opcode == OP_SET_SCAN || opcode == OP_CHAR_SCAN;
}

// An attempt on a budget of steps is given up as out of steps too when it
// holds this many frames, a loop having run that many passes: the engine
// that takes over keeps no frame per pass, and the stack (120 bytes a frame)
// stays small where the steps alone would let it grow to megabytes.
constexpr int32_t BUDGETED_FRAME_LIMIT = 2048;

// Runs the instruction at the pointer; with MEMO it first asks the memo
// whether its state's outcome is known (backtrack_memo.cpp).
template <bool MEMO>
inline int32_t perform() {
  MatcherState& s = matcher;
  if (!MEMO) return HANDLERS[s.pc->opcode](s.pc);
  const int32_t known = backtrack_memo::knownOutcome(s.pc);
  if (known != backtrack_memo::UNKNOWN) return known;
  if (isScan(s.pc->opcode)) return backtrack_memo::runScanOnce(s.pc, HANDLERS[s.pc->opcode]);
  return HANDLERS[s.pc->opcode](s.pc);
}

// One attempt; with MEMO every instruction first asks the memo whether its
// state failed before (backtrack_memo.cpp).
template <bool MEMO>
int32_t runAttempt(const Instruction* program, int64_t* stepsLeft) {
  MatcherState& s = matcher;
  BacktrackFrame& base = s.stack[0];
  base.endMask = 0;
  base.startMask = 0;
  base.cursorMark = 0;
  base.resume = nullptr;
  base.restoreRegister = -1;
  s.top = 0;
  s.pc = program;
  s.offset = 0;
  s.startStamp = s.lineStamp;
  int32_t reached = 0;  // the furthest offset this attempt has read to
  for (;;) {
    if (stepsLeft != nullptr && (--*stepsLeft < 0 || s.top >= BUDGETED_FRAME_LIMIT)) {
      // Out of steps: every frame is undone, so that the registers hold what
      // they held before the attempt, and the pointer goes back to its start.
      for (int32_t k = s.top; k > 0; --k) undoFrame(s.stack[k]);
      s.top = 0;
      returnToStart();
      return MATCHER_OUT_OF_STEPS;
    }
    const int32_t result = perform<MEMO>();
    if (stepsLeft != nullptr && s.offset > reached) {
      // Text read for the first time in this attempt costs a step a byte: a
      // scan instruction reads a whole run in one step.
      *stepsLeft -= s.offset - reached;
      reached = s.offset;
    }
    if (result == HANDLER_CONTINUE) continue;
    if (result == HANDLER_ACCEPT) {
      if (!failAtGuard<MEMO>()) {
        if (MEMO) backtrack_memo::dropPending(0);
        mergeIntoBase();
        returnToStart();
        // The memoized run refused such a start before the attempt.
        if (!MEMO && textSource.charMode == ENCODING_DOUBLE_BYTE && !atCharacterBoundary()) {
          return 0;
        }
        return 1;
      }
    } else if (result == HANDLER_OUT_OF_MEMORY) {
      if (MEMO) backtrack_memo::dropPending(0);
      s.top = 0;
      return REGEX_OUT_OF_MEMORY;
    }
    if (!backtrack<MEMO>()) {
      if (MEMO) backtrack_memo::settlePending(0);
      returnToStart();
      return 0;
    }
  }
}

}  // namespace

int32_t runProgram(const Instruction* program, int64_t* stepsLeft) {
  MatcherState& s = matcher;
  if (stepsLeft != nullptr || s.stepLimit == 0) return runAttempt<false>(program, stepsLeft);
  if (s.stepLimitReached) return 0;
  int64_t left = s.stepLimit;
  const int32_t result = runAttempt<false>(program, &left);
  if (result != MATCHER_OUT_OF_STEPS) return result;
  s.stepLimitReached = true;
  return 0;
}

namespace matcher_internal {

namespace {

template <bool MEMO>
int32_t runLookAheadBody(const Instruction* notAhead, const Instruction* from, int64_t* steps) {
  MatcherState& s = matcher;
  BacktrackFrame& base = s.stack[0];
  base.resume = nullptr;
  base.restoreRegister = -1;
  s.top = 0;
  s.offset = 0;
  // The guard frame of the look-ahead itself, as NOT_AHEAD pushes it: a
  // body that reaches its MATCH pops down to it, a body that fails resumes
  // it. Frames above it belong to the body and to look-aheads inside it.
  if (!pushFrame(notAhead + notAhead->next(), 1, -1, 0)) return REGEX_OUT_OF_MEMORY;
  s.pc = from;
  for (;;) {
    ++*steps;
    // Deep in a loop the memo may have the state at the pointer answered by
    // a run of its own first (backtrack_memo.cpp): the frames are dropped
    // and the pointer stays there, as that run's start.
    if (MEMO && s.top >= backtrack_memo::bodyFrameLimit() && backtrack_memo::takeGoal(s.pc)) {
      backtrack_memo::dropPending(0);
      for (int32_t k = s.top; k > 0; --k) undoFrame(s.stack[k]);
      s.top = 0;
      s.offset = 0;
      return LOOK_AHEAD_TOO_DEEP;
    }
    const int32_t result = perform<MEMO>();
    if (result == HANDLER_CONTINUE) continue;
    if (result == HANDLER_OUT_OF_MEMORY) {
      if (MEMO) backtrack_memo::dropPending(0);
      for (int32_t k = s.top; k > 0; --k) undoFrame(s.stack[k]);
      s.top = 0;
      returnToStart();
      return REGEX_OUT_OF_MEMORY;
    }
    if (result == HANDLER_ACCEPT && failAtGuard<MEMO>() && s.top == 0) {
      returnToStart();
      return 1;
    }
    // Resuming the guard frame (at 1) settles every state of the body.
    if (!backtrack<MEMO>() || s.top == 0) {
      returnToStart();
      return 0;
    }
  }
}

}  // namespace

int32_t lookAheadBodyMatches(const Instruction* notAhead, int64_t* steps) {
  return runLookAheadBody<false>(notAhead, notAhead + 1, steps);
}

int32_t lookAheadBodyMatchesMemoized(const Instruction* notAhead, const Instruction* from,
                                     int64_t* steps) {
  return runLookAheadBody<true>(notAhead, from, steps);
}

}  // namespace matcher_internal

int32_t runProgramMemoized(const Instruction* program) {
  // A match may not start on the second byte of a character; refused here,
  // a start that cannot match leaves no state wrongly recorded as failed.
  if (textSource.charMode == ENCODING_DOUBLE_BYTE && !atCharacterBoundary()) return 0;
  return runAttempt<true>(program, nullptr);
}
