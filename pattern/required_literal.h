// The literal that every match of a compiled program must contain, found by
// analysing the program, and a fast scan for it over a block of memory. The
// regular-expression search uses them to skip lines that cannot hold a match.
// See required_literal.cpp.
#pragma once

#include <cstdint>

#include "pattern/instruction.h"
#include "pattern/literal_set_search.h"

constexpr int32_t REQUIRED_LITERAL_CAPACITY = LITERAL_SET_LENGTH;
// At most this many literals when every match holds one of several.
constexpr int32_t REQUIRED_LITERAL_ALTERNATIVES = LITERAL_SET_CAPACITY;

// One more literal of a set (see RequiredLiteral::otherCount).
struct LiteralAlternative {
  int32_t length;
  uint8_t bytes[REQUIRED_LITERAL_CAPACITY];
  int32_t rareIndex;
  int32_t firstSlot;  // the program slot of its first character
};

struct RequiredLiteral {
  int32_t length;     // 0: the program has no usable literal
  uint8_t fold;       // compare through upperTable
  uint8_t singleLine; // no match of the program runs across a line end
  uint8_t bytes[REQUIRED_LITERAL_CAPACITY];  // upper-cased when fold is set
  int32_t rareIndex;  // the byte of the literal that the scan looks for first
  int32_t firstSlot;  // the program slot of its first character
  // Every match begins with the literal (with one of the set): nothing but
  // zero-width steps (groups, the cursor mark, counters, a line start) comes
  // before it on any path.
  uint8_t leading;
  // When no one literal is required but every match holds one of several
  // (one per branch of an alternation, say), the literal above is the first
  // of them and the others follow here; 0 for a single literal.
  int32_t otherCount;
  LiteralAlternative others[REQUIRED_LITERAL_ALTERNATIVES - 1];
  // The literals above prepared for the vectorised search (count 0 when they
  // do not suit it, and the scan compares byte by byte).
  LiteralSet set;
};

// Fills literal from the program. The literal is a run of CHAR slots (in
// UTF-8 mode their characters' encodings) that every path from slot 0 to
// the program's final MATCH passes, one after another; without one of two
// bytes or more, a set of such runs, one of which every path passes.
void findRequiredLiteral(const Instruction* program, int32_t lastSlot, int32_t encodingMode,
                         RequiredLiteral* literal);

// The first position in [from, end) where the literal (one of the set)
// starts and ends before `end`, or null. The bytes up to `readable` (when it
// is not null) may be read.
const uint8_t* scanRequiredLiteral(const RequiredLiteral& literal, const uint8_t* from,
                                   const uint8_t* end, const uint8_t* readable = nullptr);

// Where the rest of a line leads (see followLineForLiteral).
enum LineFollowing {
  LINE_HOLDS_LITERAL,        // the source stands at `from` again
  LINE_LACKS_LITERAL,        // the source stands at the start of the next line
  TEXT_ENDS_WITHOUT_LITERAL  // the source stands anywhere
};

// For a line that runs on past the data in memory, which ends at `end`, when
// [from, end) holds no start of the literal: reads the rest of the line
// through the source (textSource), block after block, each scanned whole for
// the literal and the line feed, a literal across two blocks included, and
// answers whether the literal occurs before the line ends. The work is one
// pass over the line, whatever its length.
LineFollowing followLineForLiteral(const RequiredLiteral& literal, const uint8_t* from,
                                   const uint8_t* end);
