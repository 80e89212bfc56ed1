// The set-up search text: the process-wide compiled-pattern block and the two
// set-up entries, CompileLiteral and CompileRegex.
#pragma once

#include <cstdint>

struct Instruction;
struct UnicodeSet;

struct CompiledPattern {
  int32_t ignoreCase;
  int32_t direction;  // always +1
  Instruction* program;
  int32_t lastSlot;
  int32_t capacity;
  int32_t matchLength;  // bytes of the last match
  int32_t cursorMark;   // 1-based offset of the cursor mark in the match, 0 none
  uint8_t firstCharValid;
  uint8_t* firstCharTable;  // 256 entries, 1 = a match may begin with the byte
  UnicodeSet* firstCharSet;
};

extern CompiledPattern compiledPattern;

// 0, -2500 syntax error, -8 out of memory.
int32_t CompileRegex(const uint8_t* text, int32_t length, int32_t ignoreCase, int32_t syntax,
                     int32_t recordLength, int32_t encodingMode);
int32_t SearchRegex(const uint8_t* text, int32_t length);

constexpr int32_t REGEX_SYNTAX_ERROR = -2500;
