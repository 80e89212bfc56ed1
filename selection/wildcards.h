// File-name wildcards: the test for "*" and "?", the translation of a
// wildcard into an anchored regular expression, and the match of a directory
// entry's name against that expression. See wildcards.cpp.
#pragma once

#include <cstdint>

#include "files/paths.h"

// The longest compiled wildcard text (its buffer holds one byte more).
constexpr int32_t WILDCARD_TEXT_MAX = PATH_CAPACITY - 1;

// Whether the text holds "*" or "?" (the plain-text form of the test that
// counted strings have as hasWildcard too).
inline bool hasWildcard(const char* text, int32_t length) { return hasWildcardText(text, length); }

// Writes the regular expression that a file-name wildcard stands for into out
// (room for WILDCARD_TEXT_MAX + 1 bytes), and its length. With the flag
// clear the output is "^" and the pattern unchanged. False, with out empty
// and the length 0, when the whole text does not fit: a cut expression would
// select other names than the wildcard does.
bool compileWildcard(int32_t wildcardFlag, char* out, int32_t* outLength, const char* pattern);

// Non-zero when the name matches the compiled wildcard text: 1 (or the match
// position) for a match, -1 when the text cannot be compiled (such a wildcard
// selects every name), 0 otherwise.
int32_t matchWildcard(const char* name, const char* compiled, int32_t compiledLength);

// The same answer from the pattern engine alone, without the shortcuts for
// "*", "*.*", "*." and "*.X"; matchWildcard takes this road for every other
// form.
int32_t matchWildcardWithEngine(const char* name, const char* compiled, int32_t compiledLength);

// The character mode a wildcard is compiled and run in: UTF-8 in UTF-8 mode,
// else double-byte when the system has double-byte character sets.
int32_t wildcardEncodingMode();
