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
  // A third byte the loop for several literals compares as well (a set that
  // is compared as it stands), or -1: pairs of common letters agree often.
  int32_t third;
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
  uint8_t thirdProbes;  // every literal has a third probe
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
// calls it for its own choice): their reach, the probe they share, and the
// third probe of each literal.
void settleLiteralProbes(LiteralSet* set);

// The first position in [from, end) where one of the literals starts and
// ends before `end`, or null. The bytes up to `readable` (when it is not
// null) may be read, though no literal that ends after `end` is found.
const uint8_t* findLiteralSet(const LiteralSet& set, const uint8_t* from, const uint8_t* end,
                              const uint8_t* readable = nullptr);

// What a search of a set learnt of the starts after the one it returned: in
// [from, next) a literal can begin only where a bit of `hits` (bit i for
// block + i) is set, since elsewhere the probes disagree; after a search that
// found nothing, nowhere before `end`. A text with a match every few bytes
// then costs one block of probes per 64 starts instead of one per match.
struct LiteralSetHits {
  const uint8_t* end;  // the end the search was given; null when nothing is kept
  const uint8_t* from;
  const uint8_t* next;
  const uint8_t* block;
  uint64_t hits;
};

// findLiteralSet up to `end` (read no further), noting in *kept what it learnt.
const uint8_t* findLiteralSetKeeping(const LiteralSet& set, const uint8_t* from,
                                     const uint8_t* end, LiteralSetHits* kept);

// Whether what *kept holds answers a search from `from` to `end`.
inline bool literalSetHitsCover(const LiteralSetHits& kept, const uint8_t* from,
                                const uint8_t* end) {
  return kept.end == end && end != nullptr && kept.from <= from && from <= kept.next;
}

// The same answer as findLiteralSetKeeping, from the hits kept where they
// cover `from` (the caller has checked that, and that the bytes from `from`
// to the end are those the hits were found in) and by a search from `next`
// after them.
const uint8_t* resumeLiteralSet(const LiteralSet& set, const uint8_t* from, LiteralSetHits* kept);
