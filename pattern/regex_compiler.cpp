// Regular-expression compiler: pattern text -> instruction slots, for the
// dialects 'R' and 'U' ('B' is first translated into 'U').
//
// A recursive descent over single characters that emits slots as it goes.
// Every sub-parse returns a Fragment: kind 0 always consumes, kind 1 may be
// passed without consuming, kind 2 never consumes. The paths of a kind-1
// fragment that consumed nothing leave it through its exit list, so a
// sequence can keep them apart from the paths that consumed: when an item
// that may be passed follows a sequence that may be passed, the item is
// emitted twice, once after the sequence's consuming paths and once after its
// empty ones, and only the second copy's empty paths stay in the exit list.
// Loops are built by inserting a branch in front of the item already emitted;
// a loop whose body may be passed without consuming records where each pass
// starts (an empty-pass guard), so an empty pass ends the loop instead of
// repeating forever. Alternatives are right-nested, X|Y|Z being X|(Y|Z),
// and each gets its branch as soon as its '|' is read, so the cost of a long
// alternation stays linear.
//
// While the parse is where a match may begin (the at-start flag), every
// character or set records its bytes (or code points) as possible first
// characters; an item that may be passed without consuming leaves the flag
// set for the item after it, and an item that cannot be described so makes
// the record invalid. A pattern that can match the empty string never has a
// valid record.
//
// Syntax errors and memory exhaustion leave through one exception, caught at
// CompileRegex. Tested by regex_compiler_test.cpp.
#include <cstring>

#include "pattern/brief_translator.h"
#include "pattern/character_sets.h"
#include "pattern/compiled_pattern.h"
#include "pattern/literal_trie.h"
#include "pattern/loop_pass.h"
#include "pattern/matcher.h"
#include "pattern/regex_double_byte.h"
#include "pattern/regex_program.h"
#include "pattern/regex_reader.h"
#include "pattern/unicode_set.h"
#include "support/case_folding.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

constexpr int32_t NO_TERMINATOR = -2;  // below every character, UNDECODABLE_BYTE included
constexpr int32_t GROUP_NUMBER_LIMIT = CAPTURE_GROUPS;  // numbers 0..9 are recorded

RegexCompiler& rc = regexCompiler;

Fragment parseAlternation(int32_t terminator);

Fragment consuming() { return Fragment{FRAGMENT_CONSUMES, NO_SLOT, NO_SLOT}; }
Fragment optional() { return Fragment{FRAGMENT_OPTIONAL, NO_SLOT, NO_SLOT}; }

// An item that cannot be described by its first characters: where a match may
// begin, the first-character record becomes invalid.
void standsWithoutFirstCharacter() {
  if (rc.atStart) {
    invalidateFirstCharacters();
    rc.atStart = false;
  }
}

void requireCurrent(int32_t c) {
  if (rc.exhausted || rc.current != c) regexSyntaxError();
}

// ---- Characters -----------------------------------------------------------

Fragment emitByteCharacter(int32_t byte) {
  const int32_t slot = emitSlot(OP_CHAR);
  Instruction& ch = slotAt(slot);
  uint8_t accepted[2] = {static_cast<uint8_t>(byte), static_cast<uint8_t>(byte)};
  if (rc.ignoreCase != 0) {
    accepted[1] = upperTable[accepted[0]];
    accepted[0] = lowerTable[accepted[1]];
  }
  ch.accepted() = accepted[0];
  ch.acceptedVariant() = accepted[1];
  ch.crossLines() = rc.crossLines;
  if (rc.atStart) {
    noteFirstByte(accepted[0]);
    noteFirstByte(accepted[1]);
    rc.atStart = false;
  }
  return consuming();
}

// A double-byte character: two CHAR slots, each with the case variants that
// the code page's conversion of the whole pair gives.
Fragment emitDoubleByteCharacter(int32_t pair) {
  char upper[2] = {static_cast<char>(pair >> 8), static_cast<char>(pair & 0xFF)};
  char lower[2] = {upper[0], upper[1]};
  if (rc.ignoreCase != 0) {
    upperCaseText(upper, 2, 0);
    std::memcpy(lower, upper, sizeof lower);
    lowerCaseText(lower, 2, 0);
  }
  for (int32_t i = 0; i < 2; ++i) {
    Instruction& ch = slotAt(emitSlot(OP_CHAR));
    ch.accepted() = static_cast<uint8_t>(lower[i]);
    ch.acceptedVariant() = static_cast<uint8_t>(upper[i]);
    ch.crossLines() = rc.crossLines;
  }
  if (rc.atStart) {
    noteFirstByte(static_cast<uint8_t>(lower[0]));
    noteFirstByte(static_cast<uint8_t>(upper[0]));
    rc.atStart = false;
  }
  return consuming();
}

// Ignoring case, the character is kept as its case fold, which the matcher
// compares with the fold of the text's character.
Fragment emitCodePointCharacter(int64_t codePoint) {
  Instruction& ch = slotAt(emitSlot(OP_CHAR));
  ch.accepted() = static_cast<uint32_t>(codePoint);
  ch.acceptedVariant() = rc.ignoreCase != 0 ? foldCodePoint(static_cast<uint32_t>(codePoint))
                              : static_cast<uint32_t>(codePoint);
  ch.crossLines() = rc.crossLines;
  if (rc.atStart) {
    noteFirstCodePoint(codePoint);
    rc.atStart = false;
  }
  return consuming();
}

// A character as the pattern wrote it: a byte, a double-byte pair or, in
// UTF-8 mode, a code point.
Fragment emitCharacter(int64_t value, bool pair) {
  if (rc.encodingMode == ENCODING_UTF8) return emitCodePointCharacter(value);
  if (pair) return emitDoubleByteCharacter(static_cast<int32_t>(value));
  return emitByteCharacter(static_cast<int32_t>(value));
}

// A code point named by \x{..} in a byte mode: its code-page form when the
// UTF-8 option is on and the code page has it, else an item that never
// matches.
Fragment emitCodePageCharacter(int64_t codePoint) {
  uint8_t bytes[2];
  const int32_t length =
      utf8Mode != 0 ? convertCodePoint(static_cast<uint32_t>(codePoint), bytes) : 0;
  if (length == 1) return emitByteCharacter(bytes[0]);
  if (length == 2 && rc.encodingMode == ENCODING_DOUBLE_BYTE) {
    return emitDoubleByteCharacter(bytes[0] * 256 + bytes[1]);
  }
  if (length == 2) {
    emitByteCharacter(bytes[0]);
    return emitByteCharacter(bytes[1]);
  }
  emitEmptySet();
  return consuming();
}

Fragment emitZeroWidth(uint8_t opcode, int32_t newlineEscape) {
  slotAt(emitSlot(opcode)).newlineEscape() = newlineEscape;
  return zeroWidthFragment();
}

// ---- Quantifiers ----------------------------------------------------------

bool isQuantifierStart() {
  if (rc.exhausted) return false;
  const int32_t c = rc.current;
  if (rc.unixSyntax != 0) return c == '*' || c == '+' || c == '?' || c == '{';
  if (c == ':') return isDigitChar(peekByte(0)) || peekByte(0) == '*';
  return c == '*' || c == '+' || c == '@' || c == '#';
}

bool canStartItem(int32_t terminator) {
  return !rc.exhausted && rc.current != '|' && rc.current != terminator && !isQuantifierStart();
}

bool takeMinimalMark() {
  if (rc.exhausted || rc.current != '?') return false;
  readNextChar();
  return true;
}

// A decimal count; a value that does not fit in 32 signed bits is an error.
int32_t readCount() {
  if (rc.exhausted || !isDigitChar(rc.current)) regexSyntaxError();
  int64_t value = 0;
  while (!rc.exhausted && isDigitChar(rc.current)) {
    value = value * 10 + (rc.current - '0');
    if (value > 2147483647) regexSyntaxError();
    readNextChar();
  }
  return static_cast<int32_t>(value);
}

struct Count {
  int32_t minimum;
  int32_t maximum;
};

// After the first number (or its place): "," and an optional maximum.
Count readCountTail(int32_t minimum) {
  if (rc.exhausted || rc.current != ',') return Count{minimum, minimum};
  readNextChar();
  if (rc.exhausted || !isDigitChar(rc.current)) return Count{minimum, COUNT_UNBOUNDED};
  return Count{minimum, readCount()};
}

void checkCount(const Count& count) {
  if ((count.minimum == 0 && count.maximum == 0) || count.maximum < count.minimum ||
      count.maximum > COUNT_UNBOUNDED) {
    regexSyntaxError();
  }
}

// 'U': "{n}", "{n,}", "{n,m}" or "{,m}"; the reader stands on the '{'.
Count readUnixCount() {
  readNextChar();
  Count count{0, 0};
  if (!rc.exhausted && rc.current == ',') {
    readNextChar();
    count = Count{0, readCount()};
  } else {
    count = readCountTail(readCount());
  }
  requireCurrent('}');
  readNextChar();
  checkCount(count);
  return count;
}

// 'R': ":n", ":n,", ":n,m", or with '*' after the ':' the minimal forms and
// ":*,m"; the reader stands on the ':'.
Count readRCount(bool* minimal) {
  readNextChar();
  *minimal = false;
  if (!rc.exhausted && rc.current == '*') {
    *minimal = true;
    readNextChar();
  }
  Count count{0, 0};
  if (*minimal && !rc.exhausted && rc.current == ',') {
    readNextChar();
    count = Count{0, readCount()};
  } else {
    count = readCountTail(readCount());
  }
  checkCount(count);
  return count;
}

// Puts the empty-pass guard in front of a body that may be passed without
// consuming; returns its register + 1 for the loop's branch back.
int32_t insertPassGuard(Fragment* body, int32_t start) {
  const int32_t reg = compiledPattern.loopGuards++;
  insertSlot(start, start, OP_COUNT_RESET);
  Instruction& guard = slotAt(start);
  guard.passMark() = PASS_START_MARK;
  guard.passRegister() = reg;
  guard.branch() = 0;
  guard.next() = 0;
  shiftFragmentForInsert(body, start);
  return reg + 1;
}

// '*', '+', '@', '#' and the 'U' forms: the item starts at slot start.
// A zero-width item is not repeated (another pass would consume nothing),
// but with a zero minimum it may still be skipped: '^*' or '(?:$)?' holds
// everywhere, as zero passes do. An empty item (a quantifier with nothing
// before it) stays as it is.
Fragment skippableZeroWidth(Fragment body, int32_t start, uint8_t opcode) {
  if (start == nextSlot()) return body;
  insertSlot(start, start, opcode);
  shiftFragmentForInsert(&body, start);
  Fragment skippable = optional();
  addExit(&skippable, start);
  return skippable;
}

Fragment applyPlainLoop(Fragment body, int32_t start, bool zeroMinimum, uint8_t opcode) {
  if (body.kind == FRAGMENT_ZERO_WIDTH) {
    return zeroMinimum ? skippableZeroWidth(body, start, opcode) : body;
  }
  const int32_t guard = body.kind == FRAGMENT_OPTIONAL ? insertPassGuard(&body, start) : 0;
  if (zeroMinimum) {
    insertSlot(start, start, opcode);
    shiftFragmentForInsert(&body, start);
  }
  const int32_t bodyStart = zeroMinimum ? start + 1 : start;
  const int32_t back = emitSlot(opcode);
  Instruction& branch = slotAt(back);
  branch.passGuard() = guard;
  branch.branch() = bodyStart - back;
  branch.next() = 1;
  patchExits(body, back);
  if (!zeroMinimum) return body.kind == FRAGMENT_OPTIONAL ? optional() : consuming();
  Fragment loop = optional();
  addExit(&loop, start);
  return loop;
}

Fragment applyCountedLoop(Fragment body, int32_t start, const Count& count, bool minimal) {
  if (body.kind == FRAGMENT_ZERO_WIDTH) {
    if (count.minimum != 0) return body;
    return skippableZeroWidth(body, start, minimal ? OP_SPLIT : OP_SPLIT_FIRST);
  }
  const int32_t guard = body.kind == FRAGMENT_OPTIONAL ? insertPassGuard(&body, start) : 0;
  insertSlot(start, start, OP_COUNT_RESET);
  Instruction& reset = slotAt(start);
  reset.counter() = static_cast<uint32_t>(rc.nestingDepth);
  reset.branch() = 0;
  reset.next() = 0;
  shiftFragmentForInsert(&body, start);
  const bool zeroMinimum = count.minimum == 0;
  if (zeroMinimum) {
    insertSlot(start, start, minimal ? OP_SPLIT : OP_SPLIT_FIRST);
    shiftFragmentForInsert(&body, start);
  }
  const int32_t bodyStart = start + (zeroMinimum ? 2 : 1);
  const int32_t back = emitSlot(minimal ? OP_COUNT_LOOP_MIN : OP_COUNT_LOOP);
  Instruction& loop = slotAt(back);
  loop.counter() = static_cast<uint32_t>(rc.nestingDepth);
  loop.passGuard() = guard;
  loop.branch() = bodyStart - back;
  loop.next() = 1;
  loop.minimum() = count.minimum;
  loop.maximum() = count.maximum;
  patchExits(body, back);
  if (!zeroMinimum) return body.kind == FRAGMENT_OPTIONAL ? optional() : consuming();
  Fragment skippable = optional();
  addExit(&skippable, start);
  return skippable;
}

// Applies the quantifier that follows an item (if any); the item starts at
// slot start. A zero-width item is never repeated (see skippableZeroWidth),
// but its quantifier is still read and checked.
Fragment applyQuantifier(Fragment item, int32_t start) {
  if (!isQuantifierStart()) return item;
  const int32_t c = rc.current;
  if (rc.unixSyntax != 0) {
    if (c == '{') {
      const Count count = readUnixCount();
      return applyCountedLoop(item, start, count, takeMinimalMark());
    }
    readNextChar();
    const bool minimal = takeMinimalMark();
    if (c == '?') return applyCountedLoop(item, start, Count{0, 1}, minimal);
    return applyPlainLoop(item, start, c == '*', minimal ? OP_SPLIT : OP_SPLIT_FIRST);
  }
  if (c == ':') {
    bool minimal = false;
    const Count count = readRCount(&minimal);
    return applyCountedLoop(item, start, count, minimal);
  }
  readNextChar();
  const bool maximal = c == '@' || c == '#';
  return applyPlainLoop(item, start, c == '*' || c == '@', maximal ? OP_SPLIT_FIRST : OP_SPLIT);
}

// ---- Groups ---------------------------------------------------------------

// The body of a group up to its terminator, between GROUP_START and
// GROUP_END when it is recorded.
Fragment parseGroupBody(int32_t terminator, bool recorded, int32_t number) {
  if (recorded) slotAt(emitSlot(OP_GROUP_START)).group() = number;
  Fragment body = parseAlternation(terminator);
  requireCurrent(terminator);
  readNextChar();
  if (!recorded) return body;
  const int32_t end = emitSlot(OP_GROUP_END);
  slotAt(end).group() = number;
  patchExits(body, end);
  return Fragment{body.kind, NO_SLOT, NO_SLOT};
}

int32_t nextAutomaticGroup() {
  if (rc.groupCounter < GROUP_NUMBER_LIMIT) ++rc.groupCounter;
  return rc.groupCounter;
}

// One or two digits of an explicit group number, at most 10.
int32_t readExplicitGroupNumber() {
  if (rc.exhausted || !isDigitChar(rc.current)) regexSyntaxError();
  int32_t number = rc.current - '0';
  readNextChar();
  if (!rc.exhausted && isDigitChar(rc.current)) {
    number = number * 10 + (rc.current - '0');
    readNextChar();
  }
  if (number > GROUP_NUMBER_LIMIT) regexSyntaxError();
  rc.explicitNumbering = 1;
  return number;
}

// NOT_AHEAD at slot notAhead, then the body, then its own MATCH.
Fragment finishLookAhead(int32_t notAhead, const Fragment& body) {
  const int32_t match = emitSlot(OP_MATCH);
  patchExits(body, match);
  slotAt(notAhead).next() = match + 1 - notAhead;
  // A look-ahead consumes nothing; unless it is empty it is an item that may
  // be passed, so a loop over it gets the empty-pass guard.
  return body.kind == FRAGMENT_ZERO_WIDTH ? zeroWidthFragment() : optional();
}

// 'R' '{': "{#d ... }" or an automatic group.
Fragment parseRCaptureGroup() {
  readNextChar();
  if (!rc.exhausted && rc.current == '#') {
    readNextChar();
    const int32_t number = readExplicitGroupNumber();
    const bool recorded = number < GROUP_NUMBER_LIMIT && rc.groupCounter + 1 < GROUP_NUMBER_LIMIT;
    return parseGroupBody('}', recorded, number);
  }
  const int32_t number = nextAutomaticGroup();
  return parseGroupBody('}', number < GROUP_NUMBER_LIMIT, number);
}

// 'U' '(': a group, "(?:", "(?!", "(?#" or "(?d".
Fragment parseUnixGroup() {
  readNextChar();
  if (rc.exhausted || rc.current != '?') {
    const int32_t number = nextAutomaticGroup();
    return parseGroupBody(')', number < GROUP_NUMBER_LIMIT && rc.explicitNumbering == 0, number);
  }
  readNextChar();
  if (rc.exhausted) regexSyntaxError();
  const int32_t c = rc.current;
  if (c == ':') {
    readNextChar();
    return parseGroupBody(')', false, 0);
  }
  if (c == '!') {
    readNextChar();
    standsWithoutFirstCharacter();
    const int32_t notAhead = emitSlot(OP_NOT_AHEAD);
    const Fragment body = parseAlternation(')');
    requireCurrent(')');
    readNextChar();
    return finishLookAhead(notAhead, body);
  }
  if (c == '#') {
    while (!rc.exhausted && rc.current != ')') {
      int32_t pair = 0;
      takeDoubleBytePair(&pair);
      readNextChar();
    }
    requireCurrent(')');
    readNextChar();
    return zeroWidthFragment();
  }
  if (!isDigitChar(c)) regexSyntaxError();
  const int32_t number = readExplicitGroupNumber();
  if (number == GROUP_NUMBER_LIMIT) return parseGroupBody(')', false, 0);
  return parseGroupBody(')', true, number == 0 ? 9 : number - 1);
}

// ---- Items ----------------------------------------------------------------

Fragment parseEscapeItem(const PatternEscape& escape) {
  switch (escape.kind) {
    case ESCAPE_CODE_POINT:
      return emitCodePageCharacter(escape.value);
    case ESCAPE_NEWLINE:
      if (rc.recordLength != 0) {
        standsWithoutFirstCharacter();
        return emitZeroWidth(OP_LINE_END, 1);
      }
      standsWithoutFirstCharacter();
      emitSlot(OP_NEWLINE);
      return consuming();
    case ESCAPE_CURSOR:
      return emitZeroWidth(OP_MARK_CURSOR, 0);
    case ESCAPE_BACKREF:
      standsWithoutFirstCharacter();
      slotAt(emitSlot(OP_BACKREF)).group() = static_cast<int32_t>(escape.value);
      // An empty or unset capture matches without consuming.
      return optional();
    default:
      return emitCharacter(escape.value, escape.pair);
  }
}

Fragment parseItem(int32_t terminator) {
  for (;;) {
    const int32_t c = rc.current;
    const bool unix = rc.unixSyntax != 0;
    if (c == (unix ? '.' : '?')) {
      slotAt(emitSlot(OP_ANY)).crossLines() = rc.crossLines;
      invalidateFirstCharacters();
      rc.atStart = false;
      readNextChar();
      return consuming();
    }
    switch (c) {
      case '^':
        standsWithoutFirstCharacter();
        readNextChar();
        return emitZeroWidth(OP_LINE_START, 0);
      case '$':
        standsWithoutFirstCharacter();
        readNextChar();
        return emitZeroWidth(OP_LINE_END, 0);
      case '[':
        parseBracketExpression();
        return consuming();
      case '(':
        if (unix) return parseUnixGroup();
        readNextChar();
        return parseGroupBody(')', false, 0);
      case '{':
        if (!unix) return parseRCaptureGroup();
        break;
      case ':':
        if (!unix) {
          readNextChar();
          if (rc.exhausted) regexSyntaxError();
          expandPredefinedClass(rc.current);
          continue;
        }
        break;
      case '\\': {
        const PatternEscape escape = readEscape(false);
        if (escape.kind == ESCAPE_CROSS_LINES) {
          // Emits nothing: it applies to the consuming items that follow.
          rc.crossLines = static_cast<int32_t>(escape.value);
          if (!canStartItem(terminator)) return zeroWidthFragment();
          continue;
        }
        if (escape.kind == ESCAPE_CLASS) {
          expandPredefinedClass(static_cast<int32_t>(escape.value));
          continue;
        }
        return parseEscapeItem(escape);
      }
      default:
        break;
    }
    int32_t pair = 0;
    const bool doubleByte = takeDoubleBytePair(&pair);
    readNextChar();
    return doubleByte ? emitDoubleByteCharacter(pair) : emitCharacter(c, false);
  }
}

// ---- Sequences and alternatives ------------------------------------------

// Joins an item (emitted from slot start on) to the sequence before it.
void joinItem(Fragment* sequence, const Fragment& item, int32_t start) {
  if (item.kind == FRAGMENT_ZERO_WIDTH && start == nextSlot()) return;  // nothing emitted
  if (sequence->kind == FRAGMENT_ZERO_WIDTH) {
    *sequence = item;
    return;
  }
  if (sequence->kind == FRAGMENT_CONSUMES) {
    if (item.kind == FRAGMENT_OPTIONAL) patchExits(item, nextSlot());
    return;
  }
  if (item.kind == FRAGMENT_CONSUMES) {
    patchExits(*sequence, start);
    *sequence = consuming();
    return;
  }
  // Both may be passed without consuming: the sequence's empty paths run
  // through a second copy of the item, whose own empty paths become the
  // sequence's exits; the first copy's paths have consumed.
  const int32_t last = compiledPattern.lastSlot;
  const int32_t jump = emitSlot(OP_JUMP);
  const int32_t copy = nextSlot();
  patchExits(*sequence, copy);
  copySlots(start, last);
  Fragment exits = optional();
  if (item.kind == FRAGMENT_ZERO_WIDTH) {
    addExit(&exits, emitSlot(OP_JUMP));
  } else if (item.head != NO_SLOT) {
    exits.head = item.head + (copy - start);
    exits.tail = item.tail + (copy - start);
  }
  const int32_t after = nextSlot();
  slotAt(jump).next() = after - jump;
  patchExits(item, after);
  *sequence = exits;
}

// ---- Sets shared by every alternative -------------------------------------
//
// A word list whose every word begins (or ends) with the same set, as
// [a-z]word1[0-9]|[a-z]word2[0-9]|..., keeps that set once: the alternation
// becomes [a-z](word1|word2|...)[0-9]. A set spans two slots or more, so the
// program of thousands of such words shrinks by a third. A set takes one
// character wherever it matches, so trying it before the alternatives, or
// after whichever of them matched, gives every match the backtracker found
// before, in the same order. Only alternatives made of characters and sets
// alone are rewritten; the characters stay in the words, where the literal
// searches look for them.

constexpr int32_t SHARED_SET_LIMIT = 4;  // sets taken from each end of the words

// One alternative of a finished alternation: its items' slots, without the
// branch in front of it and the jump behind it.
struct AlternativeItems {
  int32_t itemCount = 0;
  int32_t firstItems[SHARED_SET_LIMIT] = {};
  int32_t lastItems[SHARED_SET_LIMIT] = {};  // lastItems[0] is the last item
};

int32_t itemSlots(int32_t slot) {
  const Instruction& in = slotAt(slot);
  return in.opcode == OP_SET ? setSlotCount(in, rc.encodingMode) : 1;
}

// The items of the slots [start, end); false when one is neither a
// character nor a set.
bool readAlternativeItems(int32_t start, int32_t end, AlternativeItems* items) {
  items->itemCount = 0;
  for (int32_t slot = start; slot < end;) {
    const Instruction& in = slotAt(slot);
    if (in.opcode != OP_CHAR && in.opcode != OP_SET) return false;
    const int32_t span = itemSlots(slot);
    if (span < 1 || slot + span > end) return false;
    if (items->itemCount < SHARED_SET_LIMIT) items->firstItems[items->itemCount] = slot;
    for (int32_t k = SHARED_SET_LIMIT - 1; k > 0; --k) {
      items->lastItems[k] = items->lastItems[k - 1];
    }
    items->lastItems[0] = slot;
    ++items->itemCount;
    slot += span;
  }
  return items->itemCount > 0;
}

bool sameSet(int32_t a, int32_t b) {
  if (slotAt(a).opcode != OP_SET || slotAt(b).opcode != OP_SET) return false;
  const int32_t span = itemSlots(a);
  return span == itemSlots(b) &&
         std::memcmp(&slotAt(a), &slotAt(b), static_cast<size_t>(span) * sizeof(Instruction)) == 0;
}

// Rewrites the alternation in the slots from `start` to the program's end,
// its jumps already pointing past it, when every alternative begins or ends
// with the same sets (see above). The rewrite runs in place, front to back:
// each piece moves toward the start, never past a slot still to be read.
void shareAlternativeSets(int32_t start) {
  const int32_t end = nextSlot();
  AlternativeItems reference;
  int32_t leading = SHARED_SET_LIMIT;
  int32_t trailing = SHARED_SET_LIMIT;
  int32_t fewestItems = INT32_MAX;
  int32_t alternativeCount = 0;
  for (int32_t at = start;;) {
    const Instruction& in = slotAt(at);
    const bool last = in.opcode != OP_SPLIT_FIRST;
    int32_t bodyStart = at;
    int32_t bodyEnd = end;
    if (!last) {
      if (in.branch() != 1 || in.next() < 3 || at + in.next() >= end) return;
      bodyStart = at + 1;
      bodyEnd = at + in.next() - 1;
      const Instruction& jump = slotAt(bodyEnd);
      if (jump.opcode != OP_JUMP || bodyEnd + jump.next() != end) return;
    }
    AlternativeItems items;
    if (!readAlternativeItems(bodyStart, bodyEnd, &items)) return;
    if (alternativeCount == 0) reference = items;
    for (int32_t i = 0; i < leading; ++i) {
      if (i >= items.itemCount || !sameSet(items.firstItems[i], reference.firstItems[i])) {
        leading = i;
      }
    }
    for (int32_t i = 0; i < trailing; ++i) {
      if (i >= items.itemCount || !sameSet(items.lastItems[i], reference.lastItems[i])) {
        trailing = i;
      }
    }
    if (items.itemCount < fewestItems) fewestItems = items.itemCount;
    ++alternativeCount;
    if (last) break;
    at += in.next();
  }
  // Every alternative keeps one item at least.
  while (leading + trailing >= fewestItems) {
    if (trailing > 0) {
      --trailing;
    } else {
      --leading;
    }
  }
  if (alternativeCount < 2 || leading + trailing == 0) return;

  int32_t prefixSlots = 0;
  int32_t suffixSlots = 0;
  for (int32_t i = 0; i < leading; ++i) prefixSlots += itemSlots(reference.firstItems[i]);
  for (int32_t i = 0; i < trailing; ++i) suffixSlots += itemSlots(reference.lastItems[i]);
  const int32_t length = end - start - (alternativeCount - 1) * (prefixSlots + suffixSlots);
  const int32_t suffixStart = start + length - suffixSlots;
  Instruction* program = compiledPattern.program;
  const size_t slotBytes = sizeof(Instruction);
  int32_t branchAt = start;  // the old branch in front of the alternative at hand
  int32_t following = branchAt + program[branchAt].next();
  std::memmove(program + start, program + start + 1,
               static_cast<size_t>(prefixSlots) * slotBytes);
  int32_t write = start + prefixSlots;
  for (int32_t i = 0; i < alternativeCount; ++i) {
    const bool last = i == alternativeCount - 1;
    const int32_t bodyEnd = last ? end : following - 1;
    const int32_t middle = (last ? branchAt : branchAt + 1) + prefixSlots;
    const int32_t middleSlots = bodyEnd - suffixSlots - middle;
    if (last) {
      std::memmove(program + write, program + middle,
                   static_cast<size_t>(middleSlots) * slotBytes);
      std::memmove(program + write + middleSlots, program + bodyEnd - suffixSlots,
                   static_cast<size_t>(suffixSlots) * slotBytes);
      break;
    }
    Instruction branch{};
    branch.opcode = OP_SPLIT_FIRST;
    branch.branch() = 1;
    branch.next() = middleSlots + 2;
    program[write] = branch;
    std::memmove(program + write + 1, program + middle,
                 static_cast<size_t>(middleSlots) * slotBytes);
    const int32_t jumpAt = write + 1 + middleSlots;
    Instruction jump{};
    jump.opcode = OP_JUMP;
    jump.next() = suffixStart - jumpAt;
    program[jumpAt] = jump;
    write = jumpAt + 1;
    branchAt = following;
    if (i + 2 < alternativeCount) following = branchAt + program[branchAt].next();
  }
  compiledPattern.lastSlot = start + length - 1;
}

Fragment parseSequence(int32_t terminator) {
  const bool flagAtStart = rc.atStart;
  const int32_t alternationStart = nextSlot();
  bool alternation = false;
  bool alternativesConsume = true;
  bool flagAfterAlternatives = false;
  Fragment alternatives = optional();  // exits of the finished alternatives
  Fragment endJumps = optional();      // their JUMPs past the whole alternation
  int32_t sequenceStart = nextSlot();
  Fragment sequence = zeroWidthFragment();
  for (;;) {
    if (rc.exhausted || rc.current == terminator) break;
    if (rc.current == '|') {
      readNextChar();
      const int32_t jump = emitSlot(OP_JUMP);
      insertSlot(sequenceStart, jump + 1, OP_SPLIT_FIRST);
      shiftFragmentForInsert(&sequence, sequenceStart);
      if (sequence.kind == FRAGMENT_ZERO_WIDTH) {
        sequence = optional();
        addExit(&sequence, jump + 1);
      } else {
        addExit(&endJumps, jump + 1);
      }
      alternativesConsume = alternativesConsume && sequence.kind == FRAGMENT_CONSUMES;
      joinExits(&alternatives, sequence);
      flagAfterAlternatives = flagAfterAlternatives || rc.atStart;
      rc.atStart = flagAtStart;
      alternation = true;
      sequenceStart = nextSlot();
      sequence = zeroWidthFragment();
      continue;
    }
    const bool flagBefore = rc.atStart;
    const int32_t itemStart = nextSlot();
    int32_t negations = 0;
    while (rc.unixSyntax == 0 && !rc.exhausted && rc.current == '~') {
      standsWithoutFirstCharacter();
      emitSlot(OP_NOT_AHEAD);
      ++negations;
      readNextChar();
    }
    const int32_t bodyStart = nextSlot();
    Fragment item = canStartItem(terminator) ? parseItem(terminator) : zeroWidthFragment();
    item = applyQuantifier(item, bodyStart);
    for (int32_t i = negations - 1; i >= 0; --i) item = finishLookAhead(itemStart + i, item);
    if (item.kind != FRAGMENT_CONSUMES && flagBefore) rc.atStart = true;
    joinItem(&sequence, item, itemStart);
  }
  if (!alternation) return sequence;
  if (sequence.kind == FRAGMENT_ZERO_WIDTH) {
    sequence = optional();
    addExit(&sequence, emitSlot(OP_JUMP));
  }
  patchExits(endJumps, nextSlot());
  const bool consumes = alternativesConsume && sequence.kind == FRAGMENT_CONSUMES;
  joinExits(&alternatives, sequence);
  rc.atStart = rc.atStart || flagAfterAlternatives;
  if (consumes) {
    shareAlternativeSets(alternationStart);
    return consuming();
  }
  alternatives.kind = FRAGMENT_OPTIONAL;
  return alternatives;
}

// Every bracketed level, and the whole pattern, passes through here.
Fragment parseAlternation(int32_t terminator) {
  if (++rc.nestingDepth > REGEX_NESTING_LIMIT) regexSyntaxError();
  const Fragment fragment = parseSequence(terminator);
  --rc.nestingDepth;
  return fragment;
}

// ---- Entry ----------------------------------------------------------------

void prepareFirstCharacterRecord(int32_t encodingMode) {
  CompiledPattern& cp = compiledPattern;
  if (cp.firstCharTable == nullptr) {
    cp.firstCharTable = static_cast<uint8_t*>(memAlloc(256));
    if (cp.firstCharTable == nullptr) regexFail(REGEX_OUT_OF_MEMORY);
  }
  if (cp.firstCharSet == nullptr) {
    UnicodeSet* set = static_cast<UnicodeSet*>(memAlloc(sizeof(UnicodeSet)));
    if (set == nullptr) regexFail(REGEX_OUT_OF_MEMORY);
    unicodeSetInit(set);
    cp.firstCharSet = set;
  }
  if (encodingMode == ENCODING_UTF8) {
    unicodeSetClear(cp.firstCharSet);
  } else {
    std::memset(cp.firstCharTable, 0, 256);
  }
}

void compile(const uint8_t* text, int32_t length, int32_t ignoreCase, int32_t syntax,
             int32_t recordLength, int32_t encodingMode) {
  CompiledPattern& cp = compiledPattern;
  freeLiteralTrie(cp.literalTrie);
  cp.literalTrie = nullptr;
  cp.generation = 0;
  if (length < 0) length = 0;
  rc.encodingMode = encodingMode;
  cp.encodingMode = encodingMode;
  rc.expansionStack.depth = 0;
  rc.ignoreCase = ignoreCase != 0 ? 1 : 0;
  cp.ignoreCase = rc.ignoreCase;
  rc.unixSyntax = 0;
  if (syntax == 'U') {
    rc.unixSyntax = 1;
  } else if (syntax == 'B') {
    regexCheck(briefTranslator.translate(text, length, encodingMode, &text, &length));
    rc.unixSyntax = 1;
  }
  if (encodingMode == ENCODING_DOUBLE_BYTE) {
    regexCheck(wrapDoubleBytePattern(text, length, rc.unixSyntax, &text, &length));
  }
  rc.recordLength = recordLength;
  regexCheck(prepareMatcherStack());
  rc.crossLines = 0;
  rc.explicitNumbering = 0;
  rc.nestingDepth = 0;
  rc.groupCounter = -1;
  cp.firstCharValid = 1;
  cp.loopGuards = 0;
  cp.requiredLiteral.length = 0;
  prepareFirstCharacterRecord(encodingMode);
  cp.lastSlot = -1;
  rc.atStart = true;

  startReading(text, length);
  const Fragment pattern = parseAlternation(NO_TERMINATOR);
  const int32_t match = emitSlot(OP_MATCH);
  if (pattern.kind != FRAGMENT_CONSUMES) {
    invalidateFirstCharacters();
    patchExits(pattern, match);
  }
  fitProgram();
  runLoopPass(cp.program, cp.lastSlot, encodingMode);
  findRequiredLiteral(cp.program, cp.lastSlot, encodingMode, &cp.requiredLiteral);
  cp.literalTrie = buildLiteralTrie(cp.program, cp.lastSlot, encodingMode);
  static uint32_t compiled = 0;
  compiled = compiled == UINT32_MAX ? 1 : compiled + 1;
  cp.generation = compiled;
}

}  // namespace

int32_t CompileRegex(const uint8_t* text, int32_t length, int32_t ignoreCase, int32_t syntax,
                     int32_t recordLength, int32_t encodingMode) {
  try {
    compile(text, length, ignoreCase, syntax, recordLength, encodingMode);
    return 0;
  } catch (const RegexFailure& failure) {
    compiledPattern.lastSlot = -1;
    compiledPattern.firstCharValid = 0;
    return failure.status;
  }
}
