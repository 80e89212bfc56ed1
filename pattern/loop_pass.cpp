// The loop pass: one walk over a finished program that rewrites the item of
// every one-item loop into a scan instruction.
//
// A one-item loop is a CHAR, ANY or SET directly followed by a SPLIT or
// SPLIT_FIRST that leads back to it (op4) and on to the next slot (op5 = 1).
// When the loop's continuation begins with something the matcher can test
// without consuming (a CHAR, a SET, a line end, or the program's end after a
// maximal loop), the item becomes ANY_SCAN, SET_SCAN or CHAR_SCAN with the
// follow kind in op5 and, for the kinds that look at a following instruction,
// the distance to the resume slot in op3. The scan instructions themselves
// run in scan_instructions.cpp. Tested by loop_pass_test.cpp.
#include "pattern/loop_pass.h"

#include "support/text_encoding.h"

namespace {

bool isItem(uint8_t opcode) { return opcode == OP_CHAR || opcode == OP_ANY || opcode == OP_SET; }

int32_t slotsOf(const Instruction& instruction, int32_t encodingMode) {
  return instruction.opcode == OP_SET ? setSlotCount(instruction, encodingMode) : 1;
}

// The follow kind for an item whose continuation begins with `follow`, or
// -1 when the loop stays as it is.
int32_t followKind(const Instruction& item, const Instruction& branch, const Instruction& follow) {
  switch (follow.opcode) {
    case OP_CHAR:
      return FOLLOW_CHAR;
    case OP_SET:
      return FOLLOW_SET;
    case OP_LINE_END:
      return FOLLOW_LINE_END;
    case OP_NEWLINE:
      return FOLLOW_NEWLINE;
    case OP_MATCH:
      if (branch.opcode != OP_SPLIT_FIRST) return -1;
      if (item.crossLines() == 1) return RUN_TO_END_CROSSING;
      if (item.opcode == OP_CHAR) return RUN_TO_END_CHAR;
      return item.opcode == OP_SET ? RUN_TO_END_SET : RUN_TO_END_ANY;
    default:
      return -1;
  }
}

uint8_t scanOpcode(uint8_t item) {
  return item == OP_CHAR ? OP_CHAR_SCAN : item == OP_SET ? OP_SET_SCAN : OP_ANY_SCAN;
}

}  // namespace

void runLoopPass(Instruction* program, int32_t lastSlot, int32_t encodingMode) {
  int32_t at = 0;
  while (at < lastSlot) {
    Instruction& item = program[at];
    if (!isItem(item.opcode)) {
      ++at;
      continue;
    }
    const int32_t itemSlots = slotsOf(item, encodingMode);
    const int32_t branchAt = at + itemSlots;
    if (itemSlots < 1 || branchAt >= lastSlot) break;
    const Instruction& branch = program[branchAt];
    const bool oneItemLoop = (branch.opcode == OP_SPLIT || branch.opcode == OP_SPLIT_FIRST) &&
                             branch.branch() == -itemSlots && branch.next() == 1;
    if (!oneItemLoop) {
      at = branchAt;
      continue;
    }
    int32_t resume = branchAt + 1;
    if (program[resume].opcode == OP_GROUP_END && resume < lastSlot) ++resume;
    // The compiler ends the first copy of an item that may be passed empty,
    // after another such item, with a forward jump (x*y* and (?!z)x*y): the
    // continuation begins where it goes, and the items in between (the
    // second copy) are still walked.
    const bool jumps = program[resume].opcode == OP_JUMP && program[resume].next() > 0 &&
                       resume + program[resume].next() <= lastSlot;
    if (jumps) {
      resume += program[resume].next();
      if (program[resume].opcode == OP_GROUP_END && resume < lastSlot) ++resume;
    }
    int32_t followAt = resume;
    while (followAt < lastSlot && (program[followAt].opcode == OP_MARK_CURSOR ||
                                   program[followAt].opcode == OP_GROUP_START ||
                                   program[followAt].opcode == OP_COUNT_RESET)) {
      ++followAt;
    }
    const Instruction& follow = program[followAt];
    int32_t kind = followKind(item, branch, follow);
    // The scan of a set to the program's end tests the item's own set by the
    // first byte of the next character, which cannot tell the members of a
    // partial double-byte row from the others.
    if ((kind == RUN_TO_END_CROSSING || kind == RUN_TO_END_SET) && item.opcode == OP_SET &&
        encodingMode == ENCODING_DOUBLE_BYTE && itemSlots > SET_SLOTS_BYTE_MODE) {
      kind = -1;
    }
    if (kind < 0) {
      at = branchAt;
      continue;
    }
    item.opcode = scanOpcode(item.opcode);
    item.resumeDistance() = kind <= FOLLOW_NEWLINE ? resume - at : 0;
    item.followKind() = kind;
    // The follow instruction is never an item of its own loop.
    at = jumps ? branchAt + 1 : followAt + slotsOf(follow, encodingMode);
  }
}
