// Literal search: tables built once per search text, the search over a
// TextSource, and the search over a block of memory.
#pragma once

#include <cstdint>

#include "pattern/literal_set_search.h"

// 0, or -8 when the tables cannot be allocated. With ignoreCase the caller
// has upper-cased the text already. encodingMode is the mode of the text
// that will be searched (the UTF-8 ignore-case search needs tables of its
// own).
int32_t CompileLiteral(const uint8_t* text, int32_t length, int32_t ignoreCase,
                       int32_t encodingMode);
// 0 found (the TextSource position is the match start), 1 not found.
int32_t SearchLiteral(const uint8_t* text, int32_t length);
// The bytes of text that the last match found by SearchLiteral spans: the
// pattern length, except in UTF-8 text ignoring case, where a case form of
// another length (the Kelvin sign for k, ſ for s) makes it longer or shorter.
int32_t literalMatchLength();
// 1-based offset of the first match at or after start, or 0. Needs a
// preceding CompileLiteral of the same pattern in single-byte mode.
int32_t FindLiteralInMemory(int32_t start, const uint8_t* pattern, int32_t length,
                            const uint8_t* block, int32_t blockLength);

// The candidate scan in front of the probe-and-align loop. Chosen
// automatically at the first CompileLiteral; tests select each kind to compare
// it with the plain loop. Returns the kind in use, which falls back to the
// best one the processor has (the kinds are in literal_set_search.h).
int32_t selectLiteralScanner(int32_t kind);  // -1: the best available

// When the fast searches compare more than `perByte` text bytes per byte they
// pass, plus an allowance of `allowance` bytes, they go on with a search that
// reads each text byte a bounded number of times. Negative values restore the
// defaults (4 per byte; 4096 plus the pattern length). Tests lower them to
// force the switch anywhere.
void setLiteralWorkBudget(int32_t perByte, int32_t allowance);
// Text bytes (characters in the UTF-8 ignore-case search) compared with the
// pattern, plus the bytes stepped over by the double-byte boundary test,
// since the process started: the work that the budget above keeps linear.
int64_t literalComparisons();
