// Placeholder until the regular-expression search lands.
#include "pattern/compiled_pattern.h"

int32_t SearchRegex(const uint8_t*, int32_t) { return 1; }
int32_t FindRegexInMemory(int32_t, const uint8_t*, int32_t, const uint8_t*, int32_t, int32_t) {
  return 0;
}
