// An alternation of plain literals (w00001|w00002|...) run as a trie. See
// literal_trie.cpp.
#pragma once

#include <cstdint>

#include "pattern/instruction.h"

struct LiteralTrie;

// The trie of a program that is nothing but an alternation of two or more
// literals, each a row of CHARs and SETs; null for any other program, or when
// memory runs out (the program then runs on the other engines, with the same
// result).
LiteralTrie* buildLiteralTrie(const Instruction* program, int32_t lastSlot, int32_t encodingMode);
void freeLiteralTrie(LiteralTrie* trie);

// Whether the trie runs in the text source's current character mode.
bool literalTrieRuns(const LiteralTrie* trie);

// How many bytes of every literal the filter of starts compares; 0 when the
// trie has no such filter (a literal shorter than two bytes, or one whose
// first characters are no plain bytes, after at most a few items of one byte
// each that every literal begins with alike).
int32_t literalTriePrefixLength(const LiteralTrie* trie);

// The bytes of memory the trie keeps while the pattern is in use (tests).
int64_t literalTrieBytes(const LiteralTrie* trie);

// With a filter of starts: the first position in [from, to) where one of
// the literals may begin (every start of one, few others), or null. Where
// `to` cuts the bytes the filter compares, the first byte decides. Reads
// nothing at or after `to`.
const uint8_t* findLiteralTrieStart(const LiteralTrie* trie, const uint8_t* from,
                                    const uint8_t* to);

// Runs the alternation at the pointer, as the backtracker runs the program
// there: 1 when one of the literals matches (the first of them in the
// pattern's order, whose length goes to matcher.matchLength), 0 when none
// does. The pointer is back at the start either way.
int32_t runLiteralTrie(const LiteralTrie* trie);
