// One file specification: set-up of the pattern, file selection and the match
// loop over each file; report_printer.h formats the report and summary lines.
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
// Searches with the pattern that the last prepareAndWalk set up, by the
// syntax it was given. 0, or -8 (message -8 printed) when the matcher ran out of memory and the
// rest of the file went unsearched; the file-spec's search then returns -8.
int32_t searchStream(Stream* stream, const CountedString& displayName);

// Upper-cases a search text in place for a search that ignores case (utf8:
// the text is UTF-8). The search folds text through the code page's byte
// tables, or Unicode's case mappings in UTF-8 text, so the search text is
// upper-cased by the same rules. In a regular expression (syntax not 0) the
// ASCII character after a backslash keeps its case: \p{..} and \P{..} are a
// property and its complement, and every other escape letter means the same in
// either case.
void upperCaseSearchText(char* text, int32_t length, int32_t syntax, int32_t utf8);

// The compiled word-character set of -W, and its members: byte b is a word
// character when wordCharacterTable[b] is non-zero.
extern CompiledPattern wordSetPattern;
extern uint8_t wordCharacterTable[256];

// Whether the match of the given length at the window's cursor touches a word
// character on either side (the whole-word test of -W).
bool rejectedAsPartOfWord(int32_t matchLength);
