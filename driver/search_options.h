// The process-wide option record, set by the command line and read by the
// driver and the pattern engine.
#pragma once

#include <cstdint>

#include "pattern/text_source.h"
#include "support/counted_string.h"

constexpr int32_t WALK_RECURSE = 1;
constexpr int32_t WALK_FULL_NAMES = 2;
constexpr int32_t ATTRIBUTES_O_OPTION = 0x10000080;

struct SearchOptions {
  uint8_t* searchText;    // exactly searchLength bytes
  int32_t searchLength;   // 0: no search text yet
  int32_t ignoreCase;
  int32_t syntax;         // 0 literal, or 'R', 'U', 'B'
  int32_t omitLocation;   // -M
  int32_t countOnly;      // -C
  int32_t verbose;        // -V
  int32_t wholeWord;      // -W
  // -PO lives in the stored defaults block itself (storedDefaults.reportOffsets).
  int32_t multiByte;
  int32_t recordLength;   // 0: lines
  int32_t recordBase;
  int32_t walkFlags;
  int32_t attributeFlags;
  CountedString wordCharacters;  // capacity 80
  SearchFunction searchFunction;
  // How the text of files is read: ENCODING_SINGLE_BYTE, ENCODING_DOUBLE_BYTE
  // or ENCODING_UTF8, from the active code page unless -Y turns it to bytes.
  int32_t textEncoding;
  int32_t wordSetGiven;  // -W=set, rather than the mode's default word characters
};

extern SearchOptions searchOptions;

// Flushes standard output and ends the process, through the exit handler
// when one is set.
[[noreturn]] void exitProgram(int32_t status);
// A program that runs grepMain several times in one process (the command-line
// fuzzing harness) leaves grepMain through a handler of its own, which must
// not return (it throws or jumps); null restores the process exit.
typedef void (*ExitHandler)(int32_t status);
void setExitHandler(ExitHandler handler);
[[noreturn]] void showUsage();
// The whole program: start-up, the command line, the searches.
int grepMain(int argc, char** argv);
