// UnicodeSet: a set of code points for UTF-8 mode, and the tables behind the
// \p{..} property escapes (Unicode 3.1 blocks and general categories, XML 1.0
// character classes). See unicode_set.cpp; the tables are generated at build
// time from data/ by tools/gen_unicode_tables.py.
#pragma once

#include <cstdint>

struct UnicodeSet {
  uint32_t low;         // smallest member below U+10000; 0x10000 when the bitmap part is empty
  uint32_t high;        // largest member below U+10000; 0 when empty
  uint32_t* ranges;     // (first, last) pairs of members at or above U+10000,
                        // kept sorted and merged; none above U+7FFFFFFF
  int32_t rangeCount;   // pairs in use
  int32_t rangeCapacity;  // pairs allocated
  uint8_t bitmap[8192];   // U+0000..U+FFFF, bit (c mod 8) of byte (c div 8)
};

// Every operation that may grow the pair array returns 0, or -8 when memory
// runs out (the set is then unchanged by the failed step).
void unicodeSetInit(UnicodeSet* set);   // empty, no pairs allocated
void unicodeSetClear(UnicodeSet* set);  // empty again, keeps the pair array
void unicodeSetFree(UnicodeSet* set);   // releases the pair array
int32_t unicodeSetAdd(UnicodeSet* set, uint32_t codePoint);
// With fold, each code point below U+10000 also adds every code point of the
// same case fold (support/case_folding.h): A and a; Σ, σ and ς; k, K and the
// Kelvin sign.
int32_t unicodeSetAddRange(UnicodeSet* set, uint32_t first, uint32_t last, bool fold);
int32_t unicodeSetUnion(UnicodeSet* into, const UnicodeSet* from);
int32_t unicodeSetComplement(UnicodeSet* set);  // within U+0000..U+7FFFFFFF
int32_t unicodeSetSubtract(UnicodeSet* set, const UnicodeSet* removed);
int32_t unicodeSetIntersect(UnicodeSet* set, const UnicodeSet* other);
bool unicodeSetContains(const UnicodeSet* set, int64_t codePoint);
bool unicodeSetIsEmpty(const UnicodeSet* set);

// The serialized form placed in a program after a SET slot: low, high and the
// pair count (u32 each), the bitmap bytes low/8 .. high/8 (only when low is
// below 0x10000), then the pairs. Size = bitmap bytes + 8 * pairs + 16.
int32_t unicodeSetSerializedSize(const UnicodeSet* set);
void unicodeSetSerialize(const UnicodeSet* set, uint8_t* out);
// Membership in a serialized set; a negative code point is never a member.
bool serializedSetContains(const uint8_t* record, int64_t codePoint);

// Property escapes. name is the text between "\p{" and "}" ("IsGreek",
// "Isxmldigit", "L", "Lul"; letter case ignored). Calls add for every range
// of the property, in table order, and returns 0; -2500 when no table row
// carries the name (or a category letter selects nothing); the first nonzero
// result of add ends the walk and is returned.
typedef int32_t (*PropertyRangeSink)(void* context, uint32_t first, uint32_t last);
int32_t forEachPropertyRange(const char* name, int32_t length, PropertyRangeSink add,
                             void* context);

// The property tables, constant data in generated source. Blocks keep the order
// of the block list (PrivateUse and Specials have several rows, and some blocks
// appear twice); categories are consecutive ranges covering U+0000..U+10FFFD,
// unassigned code points as "Cn"; XML ranges carry the class bits that
// XmlClassName masks select.
struct UnicodeBlockRow {
  uint32_t first;
  uint32_t last;
  const char* name;  // without spaces, e.g. "Latin-1Supplement"
};
struct UnicodeCategoryRow {
  uint32_t first;
  uint32_t last;
  char category[3];  // two letters and a NUL, e.g. "Lu"
};
struct XmlClassRange {
  uint32_t first;
  uint32_t last;
  uint32_t flags;  // 0x02 BaseChar, 0x04 Ideographic, 0x08 CombiningChar, 0x10 Digit,
                   // 0x20 Extender, 0x40 name character only, 0x80 name start
};
struct XmlClassName {
  const char* name;
  uint32_t mask;
};
extern const UnicodeBlockRow UNICODE_BLOCKS[];
extern const int32_t UNICODE_BLOCK_COUNT;
extern const UnicodeCategoryRow UNICODE_CATEGORIES[];
extern const int32_t UNICODE_CATEGORY_COUNT;
extern const XmlClassRange XML_CLASS_RANGES[];
extern const int32_t XML_CLASS_RANGE_COUNT;
extern const XmlClassName XML_CLASS_NAMES[];
extern const int32_t XML_CLASS_NAME_COUNT;
