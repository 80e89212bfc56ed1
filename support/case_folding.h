// Case-insensitive comparison of Unicode text: every code point of the
// Basic Multilingual Plane has a fold (the lower-case form of its upper-case
// form, by Unicode's simple case mappings), and two characters match
// without regard to case exactly when their folds are equal. Code points above
// U+FFFF, and code points the mapping leaves alone, are their own fold. See
// case_folding.cpp.
#pragma once

#include <cstdint>

// The fold of a code point; any value outside U+0000..U+FFFF (code point -1
// of an invalid byte included) is returned as it is.
uint32_t foldCodePoint(uint32_t codePoint);
// The next code point with the same fold, in a cycle through all of them;
// the code point itself when it is alone. Outside the plane: itself.
uint32_t nextCaseForm(uint32_t codePoint);
// Whether some code point with the same fold has a UTF-8 encoding of another
// length (k and the Kelvin sign, s and the long s, ß and capital ẞ).
bool caseFormsVaryInLength(uint32_t codePoint);

// The simple case mappings of the plane, in code-point order: one row for
// every code point that has an upper- or a lower-case form other than itself.
// Generated from data/ by tools/gen_unicode_tables.py.
struct CaseMappingRow {
  uint16_t codePoint;
  uint16_t upper;
  uint16_t lower;
};
extern const CaseMappingRow CASE_MAPPINGS[];
extern const int32_t CASE_MAPPING_COUNT;
