// Case folding of the Basic Multilingual Plane.
//
// The tables are built on first use from Unicode's simple case mappings (the
// generated CASE_MAPPINGS, the same on every system): the fold of c is
// lower(upper(c)), which brings the three sigmas, the dotless and
// dotted i, the long s and the Kelvin and Angstrom signs to one form with
// their ordinary letters. The code points of one fold are chained in a
// cycle, so that a set can take in every case form of a member, and each fold
// notes whether its forms differ in encoded length, which a byte-aligned
// search has to know.
//
// Tested by text_encoding_test.cpp.
#include "support/case_folding.h"

namespace {

constexpr uint32_t PLANE = 0x10000;

struct FoldTables {
  bool ready = false;
  uint16_t fold[PLANE];
  uint16_t next[PLANE];
  uint8_t varies[PLANE / 8];  // by fold value
};

FoldTables tables;

int32_t encodedLength(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : 3; }

void buildTables() {
  FoldTables& t = tables;
  // The upper-case mapping in fold, the lower-case one in next, then the
  // fold of each code point in place.
  for (uint32_t c = 0; c < PLANE; ++c) t.fold[c] = t.next[c] = static_cast<uint16_t>(c);
  for (int32_t i = 0; i < CASE_MAPPING_COUNT; ++i) {
    t.fold[CASE_MAPPINGS[i].codePoint] = CASE_MAPPINGS[i].upper;
    t.next[CASE_MAPPINGS[i].codePoint] = CASE_MAPPINGS[i].lower;
  }
  for (uint32_t c = 0; c < PLANE; ++c) t.fold[c] = t.next[t.fold[c]];
  // A fold must be its own fold; where the mappings are not closed (a
  // lower-case form whose upper-case form goes elsewhere), the code point
  // keeps itself.
  for (uint32_t c = 0; c < PLANE; ++c) {
    if (t.fold[t.fold[c]] != t.fold[c]) t.fold[c] = static_cast<uint16_t>(c);
  }
  // Each fold is a member of its own cycle; every other member is linked in
  // after it.
  for (uint32_t c = 0; c < PLANE; ++c) t.next[c] = static_cast<uint16_t>(c);
  for (uint32_t i = 0; i < PLANE / 8; ++i) t.varies[i] = 0;
  for (uint32_t c = 0; c < PLANE; ++c) {
    const uint32_t f = t.fold[c];
    if (f == c) continue;
    t.next[c] = t.next[f];
    t.next[f] = static_cast<uint16_t>(c);
    if (encodedLength(c) != encodedLength(f)) t.varies[f >> 3] |= static_cast<uint8_t>(1u << (f & 7));
  }
  t.ready = true;
}

const FoldTables& foldTables() {
  if (!tables.ready) buildTables();
  return tables;
}

}  // namespace

uint32_t foldCodePoint(uint32_t codePoint) {
  if (codePoint < 0x80) {
    return codePoint >= 'A' && codePoint <= 'Z' ? codePoint + 0x20 : codePoint;
  }
  if (codePoint >= PLANE) return codePoint;
  return foldTables().fold[codePoint];
}

uint32_t nextCaseForm(uint32_t codePoint) {
  if (codePoint >= PLANE) return codePoint;
  return foldTables().next[codePoint];
}

bool caseFormsVaryInLength(uint32_t codePoint) {
  if (codePoint >= PLANE) return false;
  const uint32_t f = foldTables().fold[codePoint];
  return (tables.varies[f >> 3] >> (f & 7)) & 1;
}
