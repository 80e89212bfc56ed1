// The first bytes of alternatives: a SPLIT_FIRST whose preferred way cannot
// begin with the byte at the pointer is passed without a choice point. See
// alternative_skip.cpp.
#pragma once

#include <cstdint>

#include "pattern/compiled_pattern.h"
#include "pattern/instruction.h"
#include "pattern/text_source.h"

// The bytes an item takes as one byte, in text of `charMode`, as a bitmap of
// 32 bytes; false when it may take more than one byte. With `scans`, the
// bytes each character of a CHAR_SCAN or SET_SCAN run takes.
bool oneByteItem(const Instruction& in, int32_t charMode, uint8_t* bitmap, bool scans = false);

// passAlternatives (below) with tables that hold links, and with tables to
// be made first.
const Instruction* passLinkedAlternatives(const Instruction* in);
const Instruction* makeAndPassAlternatives(const Instruction* in);

// What the tables in place were made for, and whether they hold a link.
struct AlternativeSkipKey {
  const Instruction* program;
  uint32_t generation;  // 0: none (a program the compiler did not number gets none)
  int32_t charMode;
  int32_t ignoreCase;
  bool linked;
};
extern AlternativeSkipKey alternativeSkipKey;

// For the SPLIT_FIRST `in` at the matcher's pointer: `in` itself when its
// preferred way may begin with the byte there (or nothing is known), else
// the first later link of its chain whose way may, or the instruction after
// the chain. The tables are made on the first call for the compiled
// pattern's program in the text's mode; where memory for them runs out the
// program runs without them.
inline const Instruction* passAlternatives(const Instruction* in) {
  const AlternativeSkipKey& key = alternativeSkipKey;
  if (key.program == compiledPattern.program && key.generation == compiledPattern.generation &&
      key.charMode == textSource.charMode && key.ignoreCase == compiledPattern.ignoreCase &&
      key.generation != 0) {
    return key.linked ? passLinkedAlternatives(in) : in;
  }
  return makeAndPassAlternatives(in);
}

// The links the tables of the current program hold, and a switch that
// turns the tables off (both for tests).
int32_t alternativeSkipLinks();
void setAlternativeSkipsEnabled(bool enabled);
