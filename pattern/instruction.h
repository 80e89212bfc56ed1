// One slot of a compiled regular-expression program.
//
// The compiler appends 32-byte slots to one growable array, the loop pass
// rewrites some of them in place, and the matcher runs them. Branch targets
// (op4, op5 of the branch and loop instructions) are signed slot counts
// relative to the slot that holds them. A SET is followed by its member data:
// in the byte modes a 256-bit bitmap in the next slot and one spare slot (3
// slots in all); in UTF-8 mode a serialized UnicodeSet, op7 slots in all.
//
// In double-byte mode a SET also holds characters of two bytes, op7 slots in
// all (3 and more). The bitmap holds the single-byte members and the lead
// bytes whose every character is a member (such a byte is also a member on
// its own, where no trail byte follows it). The spare slot is a second bitmap
// of the lead bytes whose characters are members in part; for each of these,
// in lead-byte order, one more slot holds a bitmap of the trail bytes that
// complete a member.
#pragma once

#include <cstdint>

#include "support/text_encoding.h"

enum Opcode : uint8_t {
  OP_CHAR = 0,          // op1, op2: accepted bytes (UTF-8: op2 the code point); op4 crossLines
  OP_SPLIT = 1,         // push resume at op4, continue at op5 (minimal)
  OP_SPLIT_FIRST = 2,   // push resume at op5, continue at op4 (maximal)
  OP_JUMP = 3,          // continue at op5
  OP_ANY = 4,           // op4 crossLines
  OP_MARK_CURSOR = 5,
  OP_LINE_START = 6,
  OP_LINE_END = 7,      // op4: 0, or 1 for the newline escape in record mode
  OP_GROUP_START = 8,   // op4 group 0..9
  OP_GROUP_END = 9,     // op4 group 0..9
  OP_NOT_AHEAD = 10,    // op5: where to go on when the body fails
  OP_MATCH = 11,
  OP_SET = 12,          // op4 crossLines; op7 slots in all (UTF-8 mode)
  OP_COUNT_RESET = 13,  // op1 counter 0..19
  OP_COUNT_LOOP = 14,   // op1 counter, op4 body, op5 exit, op6 minimum, op7 maximum
  OP_COUNT_LOOP_MIN = 15,
  OP_BACKREF = 16,      // op4 group 0..9
  OP_NEWLINE = 17,
  OP_ANY_SCAN = 18,     // scan forms: the item's operands plus op3 distance, op5 follow kind
  OP_SET_SCAN = 19,
  OP_CHAR_SCAN = 20,
};

constexpr int32_t OPCODE_COUNT = 21;

// Follow kinds (op5 of a scan instruction): what the loop's continuation
// begins with. The first four test the instruction at the resume slot (op3
// away) without consuming it; the others end a maximal loop at the program's
// end, where the scan runs on while its own item would still match.
constexpr int32_t FOLLOW_CHAR = 0;
constexpr int32_t FOLLOW_SET = 1;
constexpr int32_t FOLLOW_LINE_END = 2;
constexpr int32_t FOLLOW_NEWLINE = 3;       // the last kind that tests a following instruction
constexpr int32_t RUN_TO_END_CROSSING = 4;  // the item crosses lines
constexpr int32_t RUN_TO_END_CHAR = 5;
constexpr int32_t RUN_TO_END_SET = 6;
constexpr int32_t RUN_TO_END_ANY = 7;

// Empty-pass guard of a loop whose body can match without consuming. A loop
// must not start another pass after a pass that consumed nothing (it would
// iterate forever). The compiler puts a COUNT_RESET with op2 = 1 at the body's
// first slot: it records the offset in pass-start register op3 (the matcher
// restores the old value when backtracking past it) and leaves the counters
// alone. The loop's branch back (SPLIT, SPLIT_FIRST, COUNT_LOOP or
// COUNT_LOOP_MIN) carries op3 = register + 1 (0: no guard); when the offset
// still equals the register, the pass was empty and the branch only exits,
// without a choice point. A counted loop makes every pass its minimum asks
// for and one more, empty or not, since a later pass may consume where an
// earlier one did not; the guard holds for the passes after that.
constexpr uint32_t PASS_START_MARK = 1;  // op2 of a COUNT_RESET that records a pass start

struct Instruction {
  uint8_t opcode;
  uint8_t unused[3];
  uint32_t op1;
  uint32_t op2;
  int32_t op3;
  int32_t op4;
  int32_t op5;
  int32_t op6;
  int32_t op7;

  // The operands by what they mean for the opcode at hand (see the opcode
  // list above); each name reads or writes one fixed operand.
  uint32_t accepted() const { return op1; }  // CHAR: lower-case variant; UTF-8: the code point
  uint32_t& accepted() { return op1; }
  uint32_t acceptedVariant() const { return op2; }  // CHAR: upper-case variant; UTF-8: the fold
  uint32_t& acceptedVariant() { return op2; }
  uint32_t setFlags() const { return op1; }  // SET: SET_HOLDS_INVALID_BYTES
  uint32_t& setFlags() { return op1; }
  uint32_t counter() const { return op1; }  // COUNT_RESET, COUNT_LOOP(_MIN): counter index
  uint32_t& counter() { return op1; }
  uint32_t passMark() const { return op2; }  // COUNT_RESET: PASS_START_MARK when it records a pass start
  uint32_t& passMark() { return op2; }
  int32_t passRegister() const { return op3; }  // COUNT_RESET with the mark: the register it sets
  int32_t& passRegister() { return op3; }
  int32_t passGuard() const { return op3; }  // a loop's branch back: register + 1, 0 for none
  int32_t& passGuard() { return op3; }
  int32_t resumeDistance() const { return op3; }  // scans: slots to the continuation
  int32_t& resumeDistance() { return op3; }
  int32_t crossLines() const { return op4; }  // CHAR, ANY, SET and their scans
  int32_t& crossLines() { return op4; }
  int32_t branch() const { return op4; }  // SPLIT, SPLIT_FIRST: the other way; COUNT_LOOP: the body
  int32_t& branch() { return op4; }
  int32_t group() const { return op4; }  // GROUP_START, GROUP_END, BACKREF
  int32_t& group() { return op4; }
  int32_t newlineEscape() const { return op4; }  // LINE_END: 1 for the record-mode newline escape
  int32_t& newlineEscape() { return op4; }
  int32_t next() const { return op5; }  // JUMP, SPLIT(_FIRST), exit chains; NOT_AHEAD: after a failed body; COUNT_LOOP: exit
  int32_t& next() { return op5; }
  int32_t followKind() const { return op5; }  // scans: FOLLOW_* or RUN_TO_END_*
  int32_t& followKind() { return op5; }
  int32_t minimum() const { return op6; }  // COUNT_LOOP(_MIN)
  int32_t& minimum() { return op6; }
  int32_t maximum() const { return op7; }  // COUNT_LOOP(_MIN); COUNT_UNBOUNDED for none
  int32_t& maximum() { return op7; }
  int32_t slotCount() const { return op7; }  // SET: slots with its member data (see setSlotCount)
  int32_t& slotCount() { return op7; }
};
static_assert(sizeof(Instruction) == 32, "a program slot is 32 bytes");

// op1 of a SET in UTF-8 mode: a byte that begins no character (code point -1)
// is a member, as it is of a negated set.
constexpr uint32_t SET_HOLDS_INVALID_BYTES = 1;
constexpr int32_t SET_SLOTS_BYTE_MODE = 3;
constexpr int32_t COUNT_UNBOUNDED = 2147483646;  // op7 of a counted loop without upper bound
constexpr int32_t REPEAT_COUNTERS = 20;          // counted-loop counters, indexed by nesting depth
constexpr int32_t CAPTURE_GROUPS = 10;
constexpr int32_t PROGRAM_GROWTH = 200;          // slots added at each growth of the program

// The number of slots a SET (or SET_SCAN) spans, its member data included.
inline int32_t setSlotCount(const Instruction& set, int32_t encodingMode) {
  if (encodingMode == ENCODING_UTF8) return set.slotCount();
  return set.slotCount() > SET_SLOTS_BYTE_MODE ? set.slotCount() : SET_SLOTS_BYTE_MODE;
}
