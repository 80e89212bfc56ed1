// The defaults block inside the executable, and -D, which writes a copy of an
// executable with new defaults in that block.
#pragma once

#include <cstdint>

constexpr int32_t DEFAULTS_MARKER_LENGTH = 23;  // the marker text and its NUL

struct alignas(4) StoredDefaults {
  char marker[DEFAULTS_MARKER_LENGTH];
  char zero;
  int32_t ignoreCase;
  int32_t syntax;
  int32_t omitLocation;
  int32_t reportOffsets;
};
static_assert(sizeof(StoredDefaults) == 40);

extern StoredDefaults storedDefaults;

// Never returns: ends the process through exitProgram.
[[noreturn]] void storeDefaults(const char* sourceName, const char* destinationName);
