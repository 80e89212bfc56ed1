// Bracket expressions, predefined classes and the conversion of code points
// to the active code page, for the regular-expression compiler. See
// character_sets.cpp.
#pragma once

#include <cstdint>

// 256 bits, byte value c is bit (c mod 8) of byte (c div 8).
struct CharacterBitmap {
  uint8_t bits[32];
};

inline bool bitmapHas(const CharacterBitmap& bitmap, int32_t c) {
  return ((bitmap.bits[c >> 3] >> (c & 7)) & 1) != 0;
}
inline void bitmapSet(CharacterBitmap* bitmap, int32_t c) {
  bitmap->bits[c >> 3] = static_cast<uint8_t>(bitmap->bits[c >> 3] | (1u << (c & 7)));
}

// Parses the bracket expression whose '[' is the current character, emits
// its SET and enters its members in the first-character record when a match
// may begin there. Leaves the reader after the closing ']'.
void parseBracketExpression();
// A SET that no character is a member of: an escape that names a character
// the code page lacks.
void emitEmptySet();

// The expansion text of a predefined class letter (either case), or null.
const char* predefinedClassText(int32_t letter);
// Switches the reader, which stands on the class letter, to the letter's
// expansion; -2500 through the error exit for a letter outside the table.
void expandPredefinedClass(int32_t letter);

// The active code page's form of a code point: 1 or 2 bytes in out, 0 when
// the code page has no such character.
int32_t convertCodePoint(uint32_t codePoint, uint8_t* out);
