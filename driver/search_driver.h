// One file specification: set-up of the pattern, file selection, the match
// loop over each file and the report and summary lines.
#pragma once

#include <cstdint>

#include "console/stream.h"
#include "pattern/compiled_pattern.h"
#include "support/counted_string.h"

int32_t searchSpecification(const CountedString& specification, int32_t walkFlags,
                            int32_t ignoreCase, int32_t syntax, int32_t attributeFlags);
int32_t prepareAndWalk(const CountedString& specification, int32_t walkFlags, int32_t ignoreCase,
                       int32_t syntax, int32_t attributeFlags);
int32_t searchOneFile(const CountedString& path, const CountedString& displayName);
// 0, or -8 (message -8 printed) when the matcher ran out of memory and the
// rest of the file went unsearched; the file-spec's search then returns -8.
int32_t searchStream(Stream* stream, const CountedString& displayName);

// The compiled word-character set of -W, and its members: byte b is a word
// character when wordCharacterTable[b] is non-zero.
extern CompiledPattern wordSetPattern;
extern uint8_t wordCharacterTable[256];

// Whether the match of the given length at the window's cursor touches a word
// character on either side (the whole-word test of -W).
bool rejectedAsPartOfWord(int32_t matchLength);
