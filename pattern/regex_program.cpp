// Emitting a regular-expression program.
//
// Slots are appended to the compiled pattern's one growable array, which
// grows by 200 slots, then to 1,100, by half its size once that is more, or
// by as many as a long set needs at once, and is fitted to the program once it
// is complete. Branch targets are relative, so a fragment can be moved up by
// an insertion in front of it, or copied, without being rewritten. Paths that
// leave a fragment without consuming are kept in an exit list threaded
// through the op5 fields of their branch slots; patching the list points
// every one of them at the slot that follows. Tested through
// regex_compiler_test.cpp.
#include "pattern/regex_program.h"

#include <cstring>

#include "pattern/compiled_pattern.h"
#include "pattern/regex_reader.h"
#include "pattern/unicode_set.h"
#include "support/memory_pool.h"

namespace {

// A program beyond this many slots (1 GiB) is refused as out of memory before
// any size computation can overflow.
constexpr int32_t PROGRAM_SLOT_LIMIT = 1 << 25;
// A program that outgrows its first 200 slots goes straight to this many, a
// block too large for the pools: the steps in between would each leave a
// freed copy in the medium pool, whose memory stays with the process, and a
// long pattern's search would carry those pages to its end.
constexpr int32_t PROGRAM_LARGE_START = 1100;

}  // namespace

Instruction& slotAt(int32_t index) { return compiledPattern.program[index]; }

int32_t nextSlot() { return compiledPattern.lastSlot + 1; }

void reserveSlots(int32_t count) {
  CompiledPattern& cp = compiledPattern;
  const int64_t needed = static_cast<int64_t>(cp.lastSlot) + 1 + count;
  if (cp.program != nullptr && needed <= cp.capacity) return;
  if (needed > PROGRAM_SLOT_LIMIT) regexFail(REGEX_OUT_OF_MEMORY);
  // Growth is by 200 slots, or by half the array once that is larger (and at
  // least to PROGRAM_LARGE_START), so a long pattern is not copied over and
  // over.
  int64_t capacity = cp.program != nullptr ? cp.capacity : 0;
  while (capacity < needed) {
    const int64_t half = capacity / 2 / PROGRAM_GROWTH * PROGRAM_GROWTH;
    capacity += half > PROGRAM_GROWTH ? half : PROGRAM_GROWTH;
    if (capacity > PROGRAM_GROWTH && capacity < PROGRAM_LARGE_START) {
      capacity = PROGRAM_LARGE_START;
    }
  }
  if (capacity > PROGRAM_SLOT_LIMIT) capacity = needed;
  void* grown = memRealloc(cp.program, static_cast<uint32_t>(capacity * sizeof(Instruction)));
  if (grown == nullptr) regexFail(REGEX_OUT_OF_MEMORY);
  cp.program = static_cast<Instruction*>(grown);
  cp.capacity = static_cast<int32_t>(capacity);
}

void fitProgram() {
  CompiledPattern& cp = compiledPattern;
  const int32_t slots = cp.lastSlot + 1;
  if (cp.program == nullptr || slots < 1 || cp.capacity - slots < PROGRAM_GROWTH) return;
  void* fitted = memRealloc(cp.program, static_cast<uint32_t>(slots * sizeof(Instruction)));
  if (fitted == nullptr) return;
  cp.program = static_cast<Instruction*>(fitted);
  cp.capacity = slots;
}

int32_t emitSlot(uint8_t opcode) {
  reserveSlots(1);
  const int32_t index = ++compiledPattern.lastSlot;
  Instruction& slot = slotAt(index);
  std::memset(&slot, 0, sizeof slot);
  slot.opcode = opcode;
  return index;
}

void insertSlot(int32_t position, int32_t target, uint8_t opcode) {
  reserveSlots(1);
  Instruction* program = compiledPattern.program;
  const int32_t moved = compiledPattern.lastSlot - position + 1;
  std::memmove(program + position + 1, program + position,
               static_cast<size_t>(moved) * sizeof(Instruction));
  ++compiledPattern.lastSlot;
  Instruction& slot = program[position];
  std::memset(&slot, 0, sizeof slot);
  slot.opcode = opcode;
  slot.branch() = 1;
  slot.next() = target - position + 1;
}

void shiftFragmentForInsert(Fragment* fragment, int32_t position) {
  if (fragment->head == NO_SLOT) return;
  shiftForInsert(&fragment->head, position);
  shiftForInsert(&fragment->tail, position);
}

int32_t copySlots(int32_t first, int32_t last) {
  const int32_t count = last - first + 1;
  reserveSlots(count);
  const int32_t start = nextSlot();
  std::memcpy(compiledPattern.program + start, compiledPattern.program + first,
              static_cast<size_t>(count) * sizeof(Instruction));
  compiledPattern.lastSlot += count;
  return start;
}

void addExit(Fragment* fragment, int32_t slot) {
  slotAt(slot).next() = 0;
  if (fragment->head == NO_SLOT) {
    fragment->head = slot;
  } else {
    slotAt(fragment->tail).next() = slot - fragment->tail;
  }
  fragment->tail = slot;
}

void joinExits(Fragment* into, const Fragment& other) {
  if (other.head == NO_SLOT) return;
  if (into->head == NO_SLOT) {
    into->head = other.head;
  } else {
    slotAt(into->tail).next() = other.head - into->tail;
  }
  into->tail = other.tail;
}

void patchExits(const Fragment& fragment, int32_t target) {
  int32_t slot = fragment.head;
  while (slot != NO_SLOT) {
    Instruction& branch = slotAt(slot);
    const int32_t link = branch.next();
    branch.next() = target - slot;
    slot = link == 0 || slot == fragment.tail ? NO_SLOT : slot + link;
  }
}

void noteFirstByte(uint8_t byte) {
  if (compiledPattern.firstCharTable != nullptr) compiledPattern.firstCharTable[byte] = 1;
}

void noteFirstBitmap(const uint8_t* bitmap) {
  for (int32_t c = 0; c < 256; ++c) {
    if ((bitmap[c >> 3] >> (c & 7)) & 1) noteFirstByte(static_cast<uint8_t>(c));
  }
}

void noteFirstCodePoint(int64_t codePoint) {
  if (codePoint < 0 || compiledPattern.firstCharSet == nullptr) return;
  const uint32_t value = static_cast<uint32_t>(codePoint);
  regexCheck(unicodeSetAddRange(compiledPattern.firstCharSet, value, value,
                                regexCompiler.ignoreCase != 0));
}

void noteFirstSet(const UnicodeSet* set) {
  if (compiledPattern.firstCharSet == nullptr) return;
  regexCheck(unicodeSetUnion(compiledPattern.firstCharSet, set));
}

void invalidateFirstCharacters() { compiledPattern.firstCharValid = 0; }
