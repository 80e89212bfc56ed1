// A vectorised search for the first start of any of a few short literals,
// each compared as it stands or through upperTable. See literal_set_search.cpp.
#pragma once

#include <cstdint>

// The kinds of vector scan the literal searches run, in increasing order of
// width; both searches pick theirs through supportedLiteralScanner.
constexpr int32_t LITERAL_SCAN_PLAIN = 0;   // no filter: the plain loop alone
constexpr int32_t LITERAL_SCAN_SCALAR = 1;  // memchr and table look-ups
constexpr int32_t LITERAL_SCAN_SSE2 = 2;
constexpr int32_t LITERAL_SCAN_AVX2 = 3;

// The widest kind up to `wanted` (-1: any) that the processor runs; never
// below LITERAL_SCAN_SCALAR unless LITERAL_SCAN_PLAIN is wanted.
int32_t supportedLiteralScanner(int32_t wanted);

constexpr int32_t LITERAL_SET_CAPACITY = 4;
constexpr int32_t LITERAL_SET_LENGTH = 32;

// One literal of a set and the two of its bytes that the search compares
// first (the same one for a literal of one byte), each with the values it may
// take in the text: both forms of a letter when the set ignores case.
struct LiteralProbe {
  int32_t length;
  uint8_t bytes[LITERAL_SET_LENGTH];  // upper-cased when the set ignores case
  int32_t offset[2];
  uint8_t forms[2][2];
};

struct LiteralSet {
  int32_t count;     // 0: no set prepared
  uint8_t fold;      // compare through upperTable
  int32_t shortest;
  int32_t reach;     // the largest probe offset of any literal, plus one
  LiteralProbe probes[LITERAL_SET_CAPACITY];
  // The probe (0 or 1) of the first literal that every literal shares, or
  // -1; with one, otherProbe holds each literal's other probe. Set by
  // settleLiteralProbes.
  int32_t sharedProbe;
  int32_t otherProbe[LITERAL_SET_CAPACITY];
};

// How rare a byte is in program and prose text: higher is rarer.
int32_t literalByteRank(uint8_t value);

// Prepares the set of `count` literals (at most LITERAL_SET_CAPACITY, each of
// 1 to LITERAL_SET_LENGTH bytes, upper-cased when fold is set). False, with
// set->count 0, when they do not suit the search: a byte under folding that
// more than two values turn into in every position of a literal.
bool prepareLiteralSet(const uint8_t* const* literals, const int32_t* lengths, int32_t count,
                       bool fold, LiteralSet* set);

// After the probes of a prepared set have been moved (prepareLiteralSet
// calls it for its own choice): their reach and the probe they share.
void settleLiteralProbes(LiteralSet* set);

// The first position in [from, end) where one of the literals starts and
// ends before `end`, or null. The bytes up to `readable` (when it is not
// null) may be read, though no literal that ends after `end` is found.
const uint8_t* findLiteralSet(const LiteralSet& set, const uint8_t* from, const uint8_t* end,
                              const uint8_t* readable = nullptr);
