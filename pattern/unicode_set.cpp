// Placeholder until the Unicode sets land.
#include "pattern/unicode_set.h"

void unicodeSetFree(UnicodeSet*) {}
