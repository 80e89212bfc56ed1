// Finding the first of two byte values in a range of memory, sixteen bytes at
// a time where the processor has SSE2 and eight at a time otherwise. The
// regex search looks for a pattern's two possible first bytes with it, the
// report printer for the carriage returns and 0x01 bytes it must not show as
// they are. See byte_scan.cpp.
#pragma once

#include <cstdint>

// The first byte in [from, to) that equals a or b, or null.
const uint8_t* findEitherByte(const uint8_t* from, const uint8_t* to, uint8_t a, uint8_t b);
