// Placeholder until the regular-expression compiler lands.
#include "pattern/compiled_pattern.h"

int32_t CompileRegex(const uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t) {
  return REGEX_SYNTAX_ERROR;
}
