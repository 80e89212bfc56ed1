// Finding the first of two byte values in a range of memory, or the last of
// one, sixteen bytes at a time where the processor has SSE2 and eight at a
// time otherwise. The regex search looks for a pattern's two possible first
// bytes with it, and for the last occurrence of a one-byte literal in a line
// (with the line's end, in one pass, for a line ahead of the window);
// the report printer for the carriage returns and 0x01 bytes it must not
// show as they are. See byte_scan.cpp.
#pragma once

#include <cstdint>

// The first byte in [from, to) that equals a or b, or null.
const uint8_t* findEitherByte(const uint8_t* from, const uint8_t* to, uint8_t a, uint8_t b);

// The last byte in [from, to) that equals a, or null.
const uint8_t* findLastByte(const uint8_t* from, const uint8_t* to, uint8_t a);

// The first byte in [from, to) that equals `stop`, or null; *lastNoted the
// last byte equal to `noted` before it (before `to` when there is none), or
// null. One pass for the end of a line and a literal's last place in it.
const uint8_t* findByteNotingLast(const uint8_t* from, const uint8_t* to, uint8_t stop,
                                  uint8_t noted, const uint8_t** lastNoted);
