// The double-byte pre-pass of the regular-expression compiler: wraps every
// double-byte character of the pattern in a group of its own. See
// regex_double_byte.cpp.
#pragma once

#include <cstdint>

// The longest text wrapDoubleByteText can write for an input of length bytes.
int64_t doubleByteTextCapacity(int32_t length);

// Copies text into out (which holds doubleByteTextCapacity(length) bytes),
// wrapping each lead byte with its trail byte in "(?:" ... ")" (unixSyntax 1)
// or "(" ... ")" (dialect 'R'), except after a backslash, inside a bracket
// expression and inside a "(?#...)" comment. Returns the length written.
int32_t wrapDoubleByteText(const uint8_t* text, int32_t length, int32_t unixSyntax, uint8_t* out);

// The same into the compiler's scratch buffer, which grows as needed and is
// kept: 0, or -8 when it cannot grow.
int32_t wrapDoubleBytePattern(const uint8_t* text, int32_t length, int32_t unixSyntax,
                              const uint8_t** out, int32_t* outLength);
