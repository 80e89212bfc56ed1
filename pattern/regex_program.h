// Emitting a regular-expression program: appending, inserting and copying
// slots, exit lists, and the first-character record. See regex_program.cpp.
#pragma once

#include <cstdint>

#include "pattern/instruction.h"

struct UnicodeSet;

// Kinds of a parsed fragment.
constexpr int32_t FRAGMENT_CONSUMES = 0;  // every path through it consumes a character
constexpr int32_t FRAGMENT_OPTIONAL = 1;  // it may be passed without consuming
constexpr int32_t FRAGMENT_ZERO_WIDTH = 2;  // it never consumes; it has no exits
constexpr int32_t NO_SLOT = -1;

// A parsed fragment: its kind and its exit list, a chain of branch slots whose
// op5 must still be pointed at whatever follows the fragment. Until then each
// op5 holds the distance to the next slot of the chain, 0 at its tail.
struct Fragment {
  int32_t kind;
  int32_t head;  // NO_SLOT: no exits
  int32_t tail;
};

inline Fragment zeroWidthFragment() { return Fragment{FRAGMENT_ZERO_WIDTH, NO_SLOT, NO_SLOT}; }

Instruction& slotAt(int32_t index);
int32_t nextSlot();  // the index the next emitted slot gets

// Makes room for count more slots at once; -8 through the error exit.
void reserveSlots(int32_t count);
// Gives back the slots reserved beyond the program's end, once it is complete:
// a long pattern leaves up to a third of its array unused, more where an
// alternation's shared sets were folded. Keeps the array when that fails.
void fitProgram();
// Appends a cleared slot and returns its index.
int32_t emitSlot(uint8_t opcode);
// Shifts the slots from position on up by one and writes there a slot with
// op4 = 1 (the next slot) and op5 = target - position + 1 (target counted
// before the shift). Relative targets inside the shifted range keep their
// meaning; the caller moves its own slot indexes with shiftForInsert.
void insertSlot(int32_t position, int32_t target, uint8_t opcode);
inline void shiftForInsert(int32_t* index, int32_t position) {
  if (*index >= position) ++*index;
}
void shiftFragmentForInsert(Fragment* fragment, int32_t position);
// Appends a copy of slots first..last and returns the index of the copy's
// first slot.
int32_t copySlots(int32_t first, int32_t last);

// Exit lists.
void addExit(Fragment* fragment, int32_t slot);  // slot's op5 becomes part of the chain
void joinExits(Fragment* into, const Fragment& other);
void patchExits(const Fragment& fragment, int32_t target);

// The first-character record of the compiled pattern.
void noteFirstByte(uint8_t byte);
void noteFirstBitmap(const uint8_t* bitmap);  // 32 bytes
void noteFirstCodePoint(int64_t codePoint);   // case variants too when ignoring case
void noteFirstSet(const UnicodeSet* set);
// An item that cannot be described by first characters stands where a match
// may begin: the record becomes invalid.
void invalidateFirstCharacters();
