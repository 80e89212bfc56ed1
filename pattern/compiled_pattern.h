// The set-up search text: the process-wide compiled-pattern block and the two
// set-up entries, CompileLiteral and CompileRegex.
#pragma once

#include <cstdint>

#include "pattern/instruction.h"
#include "pattern/required_literal.h"

struct LiteralTrie;
struct UnicodeSet;

struct CompiledPattern {
  int32_t ignoreCase;
  Instruction* program;
  int32_t lastSlot;
  int32_t capacity;
  int32_t encodingMode;  // the mode the program was compiled for
  int32_t matchLength;   // bytes of the last match
  int32_t cursorMark;    // 1-based offset of the cursor mark in the match, 0 none
  uint32_t groupMask;    // bit g: group g recorded an end in the reported match
  int32_t groupSpans[10][2];  // start, end of each group, bytes from the match start
  void* markBuffer;      // SaveMark buffer, allocated at its first use
  int32_t loopGuards;    // pass-start registers used by empty-pass guards (see instruction.h)
  uint8_t firstCharValid;
  uint8_t* firstCharTable;  // 256 entries, 1 = a match may begin with the byte
  UnicodeSet* firstCharSet;
  RequiredLiteral requiredLiteral;  // a literal every match holds, for skipping lines
  LiteralTrie* literalTrie;         // the program as a trie, when it is an alternation of literals
  // Numbers the programs CompileRegex made, each anew (0: a program put in
  // place by other means). The engines keep what they learnt of a program
  // while this number stays, instead of comparing the program slot by slot.
  uint32_t generation;
};

extern CompiledPattern compiledPattern;

// 0, -2500 syntax error, -8 out of memory.
int32_t CompileRegex(const uint8_t* text, int32_t length, int32_t ignoreCase, int32_t syntax,
                     int32_t recordLength, int32_t encodingMode);
int32_t SearchRegex(const uint8_t* text, int32_t length);
// 1-based start of the first match at or after start, or 0. The pattern must
// be the current compiled pattern; matchLength holds the match's length.
int32_t FindRegexInMemory(int32_t start, const uint8_t* pattern, int32_t length,
                          const uint8_t* text, int32_t textLength, int32_t charMode);

constexpr int32_t REGEX_SYNTAX_ERROR = -2500;
constexpr int32_t REGEX_OUT_OF_MEMORY = -8;

// Keeping a second compiled pattern. A block owns its buffers (program,
// first-character table and set, mark buffer): takeCompiledPattern hands the
// current block over and leaves `compiledPattern` without buffers, so the next
// compile allocates its own instead of writing into the block handed over.
// Put a kept block back by assigning it to `compiledPattern` after releasing
// (or taking) the one there.
CompiledPattern takeCompiledPattern();
void releaseCompiledPattern(CompiledPattern* pattern);
