// Code-point sets for UTF-8 mode and the \p{..} property walk.
//
// A set keeps the Basic Multilingual Plane as a dense bitmap and everything
// above it as a list of (first, last) pairs. The bitmap is bounded by low and
// high, the smallest and largest member below U+10000; every bit outside them
// is zero, so an operation only touches the bytes between its bounds and the
// serialized form carries only those. The pairs are kept sorted, disjoint and
// not adjacent after every operation, which makes complement, subtraction and
// intersection single sweeps. The domain ends at U+7FFFFFFF, the largest value
// the six-byte sequences of the matcher can carry; anything above is ignored.
//
// The property walk maps a name to rows of the generated block, category and
// XML class tables and hands each row's range to a sink. Tested by
// unicode_set_test.cpp.
#include "pattern/unicode_set.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>

#include "support/case_folding.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

constexpr uint32_t PLANE_END = 0x10000;      // first code point kept as a pair
constexpr uint32_t DOMAIN_LAST = 0x7FFFFFFF;  // last code point a set can hold
constexpr int32_t BITMAP_BYTES = 8192;
constexpr int32_t SET_OUT_OF_MEMORY = -8;
constexpr int32_t SET_BAD_PROPERTY = -2500;
// Beyond this the byte size of the pair array no longer fits a request.
constexpr uint32_t MAX_PAIRS = 0x0FFFFFFF;


// Longest name after "Is", and longest category (major letter and seven minors).
constexpr int32_t MAX_BLOCK_NAME = 197;
constexpr int32_t MAX_CATEGORY_NAME = 8;

bool hasBitmap(const UnicodeSet* set) { return set->low < PLANE_END; }

// An empty bitmap part has low 0x10000 and high 0, so min and max widen the
// bounds of an empty set too.
void setBit(UnicodeSet* set, uint32_t c) {
  set->bitmap[c >> 3] |= static_cast<uint8_t>(1u << (c & 7));
  set->low = std::min(set->low, c);
  set->high = std::max(set->high, c);
}

// Sets the bits first..last (both below U+10000) a byte at a time in the middle.
void setBitRange(UnicodeSet* set, uint32_t first, uint32_t last) {
  const uint32_t firstByte = first >> 3;
  const uint32_t lastByte = last >> 3;
  const uint8_t headMask = static_cast<uint8_t>(0xFFu << (first & 7));
  const uint8_t tailMask = static_cast<uint8_t>(0xFFu >> (7 - (last & 7)));
  if (firstByte == lastByte) {
    set->bitmap[firstByte] |= static_cast<uint8_t>(headMask & tailMask);
  } else {
    set->bitmap[firstByte] |= headMask;
    std::memset(set->bitmap + firstByte + 1, 0xFF, lastByte - firstByte - 1);
    set->bitmap[lastByte] |= tailMask;
  }
  set->low = std::min(set->low, first);
  set->high = std::max(set->high, last);
}

// Recomputes low and high from the bits after an operation that may have
// cleared members at the edges (or, for the complement, set them anywhere).
void tightenBounds(UnicodeSet* set) {
  int32_t firstByte = 0;
  while (firstByte < BITMAP_BYTES && set->bitmap[firstByte] == 0) ++firstByte;
  if (firstByte == BITMAP_BYTES) {
    set->low = PLANE_END;
    set->high = 0;
    return;
  }
  int32_t lastByte = BITMAP_BYTES - 1;
  while (set->bitmap[lastByte] == 0) --lastByte;
  set->low = static_cast<uint32_t>(firstByte) * 8 +
             static_cast<uint32_t>(std::countr_zero(set->bitmap[firstByte]));
  set->high = static_cast<uint32_t>(lastByte) * 8 + 7 -
              static_cast<uint32_t>(std::countl_zero(set->bitmap[lastByte]));
}

// The bitmap bytes that may hold members: low/8 .. high/8, or none.
int32_t bitmapByteCount(const UnicodeSet* set) {
  return hasBitmap(set) ? static_cast<int32_t>((set->high >> 3) - (set->low >> 3) + 1) : 0;
}

// Makes room for at least needed pairs. The array grows to twice its count
// plus two pairs, or to needed when that is more. On failure the set is as it was.
int32_t reservePairs(UnicodeSet* set, uint32_t needed) {
  if (needed <= static_cast<uint32_t>(set->rangeCapacity)) return 0;
  if (needed > MAX_PAIRS) return SET_OUT_OF_MEMORY;
  const uint32_t grown = 2 * static_cast<uint32_t>(set->rangeCount) + 2;
  const uint32_t capacity = std::min(std::max(needed, grown), MAX_PAIRS);
  void* block = memRealloc(set->ranges, capacity * 8);
  if (block == nullptr) return SET_OUT_OF_MEMORY;
  set->ranges = static_cast<uint32_t*>(block);
  set->rangeCapacity = static_cast<int32_t>(capacity);
  return 0;
}

// Adds first..last (at or above U+10000, within the domain) to the sorted
// pairs, merging it with every pair it overlaps or touches.
int32_t insertPair(UnicodeSet* set, uint32_t first, uint32_t last) {
  uint32_t* pairs = set->ranges;
  const int32_t count = set->rangeCount;
  // Pairs before index begin end more than one below first; pairs from index
  // end on start more than one above last; those between merge with the new one.
  int32_t begin = 0;
  while (begin < count && pairs[2 * begin + 1] + 1 < first) ++begin;
  int32_t end = begin;
  while (end < count && pairs[2 * end] <= last + 1) ++end;
  if (begin == end) {
    if (reservePairs(set, static_cast<uint32_t>(count) + 1) != 0) return SET_OUT_OF_MEMORY;
    pairs = set->ranges;
    std::memmove(pairs + 2 * begin + 2, pairs + 2 * begin,
                 static_cast<size_t>(count - begin) * 8);
    pairs[2 * begin] = first;
    pairs[2 * begin + 1] = last;
    ++set->rangeCount;
    return 0;
  }
  pairs[2 * begin] = std::min(first, pairs[2 * begin]);
  pairs[2 * begin + 1] = std::max(last, pairs[2 * end - 1]);
  std::memmove(pairs + 2 * begin + 2, pairs + 2 * end, static_cast<size_t>(count - end) * 8);
  set->rangeCount = count - (end - begin - 1);
  return 0;
}

// Puts a freshly built pair array in place of the old one.
void replacePairs(UnicodeSet* set, uint32_t* pairs, int32_t count, int32_t capacity) {
  memFree(set->ranges);
  set->ranges = pairs;
  set->rangeCount = count;
  set->rangeCapacity = capacity;
}

// A new array with room for capacity pairs (at least one), or null.
uint32_t* allocatePairs(uint32_t capacity) {
  if (capacity > MAX_PAIRS) return nullptr;
  return static_cast<uint32_t*>(memAlloc(std::max(capacity, 1u) * 8));
}

bool pairsContain(const uint32_t* pairs, uint32_t count, uint32_t c) {
  for (uint32_t i = 0; i < count; ++i) {
    if (pairs[2 * i] <= c && c <= pairs[2 * i + 1]) return true;
  }
  return false;
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c; }

bool isAsciiLetter(char c) { return asciiLower(c) >= 'a' && asciiLower(c) <= 'z'; }

// Whether name (length bytes, not terminated) equals the NUL-terminated
// table text, ignoring ASCII case.
bool equalsIgnoringCase(const char* name, int32_t length, const char* text) {
  for (int32_t i = 0; i < length; ++i) {
    if (text[i] == '\0' || asciiLower(name[i]) != asciiLower(text[i])) return false;
  }
  return text[length] == '\0';
}

// "Is" and a block name, else "Is" and an XML class name.
int32_t walkBlockOrXmlClass(const char* name, int32_t length, PropertyRangeSink add,
                            void* context) {
  if (length == 0 || length > MAX_BLOCK_NAME) return SET_BAD_PROPERTY;
  bool found = false;
  for (int32_t i = 0; i < UNICODE_BLOCK_COUNT; ++i) {
    const UnicodeBlockRow& row = UNICODE_BLOCKS[i];
    if (!equalsIgnoringCase(name, length, row.name)) continue;
    found = true;
    if (int32_t status = add(context, row.first, row.last); status != 0) return status;
  }
  if (found) return 0;
  for (int32_t k = 0; k < XML_CLASS_NAME_COUNT; ++k) {
    if (!equalsIgnoringCase(name, length, XML_CLASS_NAMES[k].name)) continue;
    const uint32_t mask = XML_CLASS_NAMES[k].mask;
    for (int32_t i = 0; i < XML_CLASS_RANGE_COUNT; ++i) {
      const XmlClassRange& row = XML_CLASS_RANGES[i];
      if ((row.flags & mask) == 0) continue;
      if (int32_t status = add(context, row.first, row.last); status != 0) return status;
    }
    return 0;
  }
  return SET_BAD_PROPERTY;
}

// A major class letter and up to seven minor letters ("L", "Lu", "Lul").
int32_t walkCategory(const char* name, int32_t length, PropertyRangeSink add, void* context) {
  if (length > MAX_CATEGORY_NAME) return SET_BAD_PROPERTY;
  for (int32_t i = 0; i < length; ++i) {
    if (!isAsciiLetter(name[i])) return SET_BAD_PROPERTY;
  }
  const char major = asciiLower(name[0]);
  const char* minors = name + 1;
  const int32_t minorCount = length - 1;
  const auto selects = [&](const UnicodeCategoryRow& row, int32_t minor) {
    return asciiLower(row.category[0]) == major &&
           (minor < 0 || asciiLower(row.category[1]) == asciiLower(minors[minor]));
  };
  // Every letter must select something before any range is handed out, so a
  // bad name adds nothing.
  for (int32_t minor = minorCount == 0 ? -1 : 0; minor < minorCount; ++minor) {
    bool selected = false;
    for (int32_t i = 0; i < UNICODE_CATEGORY_COUNT && !selected; ++i) {
      selected = selects(UNICODE_CATEGORIES[i], minor);
    }
    if (!selected) return SET_BAD_PROPERTY;
  }
  for (int32_t i = 0; i < UNICODE_CATEGORY_COUNT; ++i) {
    const UnicodeCategoryRow& row = UNICODE_CATEGORIES[i];
    bool selected = minorCount == 0 && selects(row, -1);
    for (int32_t minor = 0; minor < minorCount && !selected; ++minor) {
      selected = selects(row, minor);
    }
    if (!selected) continue;
    if (int32_t status = add(context, row.first, row.last); status != 0) return status;
  }
  return 0;
}

}  // namespace

void unicodeSetInit(UnicodeSet* set) {
  std::memset(set, 0, sizeof *set);
  set->low = PLANE_END;
}

void unicodeSetClear(UnicodeSet* set) {
  if (hasBitmap(set)) {
    std::memset(set->bitmap + (set->low >> 3), 0, static_cast<size_t>(bitmapByteCount(set)));
  }
  set->low = PLANE_END;
  set->high = 0;
  set->rangeCount = 0;
}

void unicodeSetFree(UnicodeSet* set) {
  memFree(set->ranges);
  set->ranges = nullptr;
  set->rangeCount = 0;
  set->rangeCapacity = 0;
}

int32_t unicodeSetAdd(UnicodeSet* set, uint32_t codePoint) {
  return unicodeSetAddRange(set, codePoint, codePoint, false);
}

int32_t unicodeSetAddRange(UnicodeSet* set, uint32_t first, uint32_t last, bool fold) {
  last = std::min(last, DOMAIN_LAST);
  if (first > last) return 0;
  // The pairs first: their growth is the only step that can fail, and a
  // failed step must leave the set as it was.
  if (last >= PLANE_END) {
    if (insertPair(set, std::max(first, PLANE_END), last) != 0) return SET_OUT_OF_MEMORY;
  }
  if (first >= PLANE_END) return 0;
  const uint32_t planeLast = std::min(last, PLANE_END - 1);
  setBitRange(set, first, planeLast);
  if (!fold) return 0;
  // Every case form of every member: the code points of one fold form a
  // cycle (k, K and the Kelvin sign; the three sigmas), so a set tested with
  // the text's characters as they stand matches in either case.
  for (uint32_t c = first; c <= planeLast; ++c) {
    for (uint32_t form = nextCaseForm(c); form != c; form = nextCaseForm(form)) setBit(set, form);
  }
  return 0;
}

int32_t unicodeSetUnion(UnicodeSet* into, const UnicodeSet* from) {
  if (into == from) return 0;
  // Room for every pair of both up front, so the insertions cannot fail halfway.
  const uint32_t needed =
      static_cast<uint32_t>(into->rangeCount) + static_cast<uint32_t>(from->rangeCount);
  if (reservePairs(into, needed) != 0) return SET_OUT_OF_MEMORY;
  for (int32_t i = 0; i < from->rangeCount; ++i) {
    insertPair(into, from->ranges[2 * i], from->ranges[2 * i + 1]);
  }
  if (hasBitmap(from)) {
    for (uint32_t b = from->low >> 3; b <= from->high >> 3; ++b) into->bitmap[b] |= from->bitmap[b];
    into->low = std::min(into->low, from->low);
    into->high = std::max(into->high, from->high);
  }
  return 0;
}

int32_t unicodeSetComplement(UnicodeSet* set) {
  // The pairs are sorted and merged, so the gaps between them are the
  // complement above the plane: at most one gap more than there are pairs.
  const uint32_t count = static_cast<uint32_t>(set->rangeCount);
  uint32_t* gaps = allocatePairs(count + 1);
  if (gaps == nullptr) return SET_OUT_OF_MEMORY;
  int32_t gapCount = 0;
  uint32_t next = PLANE_END;  // first code point not yet covered
  bool open = true;           // false once a pair reaches the end of the domain
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t first = set->ranges[2 * i];
    const uint32_t last = set->ranges[2 * i + 1];
    if (first > next) {
      gaps[2 * gapCount] = next;
      gaps[2 * gapCount + 1] = first - 1;
      ++gapCount;
    }
    if (last == DOMAIN_LAST) open = false;
    next = last + 1;
  }
  if (open) {
    gaps[2 * gapCount] = next;
    gaps[2 * gapCount + 1] = DOMAIN_LAST;
    ++gapCount;
  }
  replacePairs(set, gaps, gapCount, static_cast<int32_t>(count + 1));
  for (int32_t b = 0; b < BITMAP_BYTES; ++b) set->bitmap[b] = static_cast<uint8_t>(~set->bitmap[b]);
  tightenBounds(set);
  return 0;
}

int32_t unicodeSetSubtract(UnicodeSet* set, const UnicodeSet* removed) {
  if (set == removed) {
    unicodeSetClear(set);
    return 0;
  }
  if (set->rangeCount > 0 && removed->rangeCount > 0) {
    // Each removed pair can split one pair in two: at most the sum of both counts.
    const uint32_t capacity =
        static_cast<uint32_t>(set->rangeCount) + static_cast<uint32_t>(removed->rangeCount);
    uint32_t* result = allocatePairs(capacity);
    if (result == nullptr) return SET_OUT_OF_MEMORY;
    int32_t count = 0;
    int32_t j = 0;
    for (int32_t i = 0; i < set->rangeCount; ++i) {
      uint32_t next = set->ranges[2 * i];  // first code point of the pair not yet decided
      const uint32_t last = set->ranges[2 * i + 1];
      bool rest = true;
      while (j < removed->rangeCount && removed->ranges[2 * j + 1] < next) ++j;
      for (int32_t k = j; k < removed->rangeCount && removed->ranges[2 * k] <= last; ++k) {
        if (removed->ranges[2 * k] > next) {
          result[2 * count] = next;
          result[2 * count + 1] = removed->ranges[2 * k] - 1;
          ++count;
        }
        if (removed->ranges[2 * k + 1] >= last) {
          rest = false;
          break;
        }
        next = removed->ranges[2 * k + 1] + 1;
      }
      if (rest) {
        result[2 * count] = next;
        result[2 * count + 1] = last;
        ++count;
      }
    }
    replacePairs(set, result, count, static_cast<int32_t>(capacity));
  }
  if (hasBitmap(set)) {
    for (uint32_t b = set->low >> 3; b <= set->high >> 3; ++b) {
      set->bitmap[b] = static_cast<uint8_t>(set->bitmap[b] & ~removed->bitmap[b]);
    }
    tightenBounds(set);
  }
  return 0;
}

int32_t unicodeSetIntersect(UnicodeSet* set, const UnicodeSet* other) {
  if (set == other) return 0;
  if (set->rangeCount > 0 && other->rangeCount == 0) {
    set->rangeCount = 0;
  } else if (set->rangeCount > 0) {
    const uint32_t capacity =
        static_cast<uint32_t>(set->rangeCount) + static_cast<uint32_t>(other->rangeCount);
    uint32_t* result = allocatePairs(capacity);
    if (result == nullptr) return SET_OUT_OF_MEMORY;
    int32_t count = 0;
    int32_t i = 0;
    int32_t j = 0;
    while (i < set->rangeCount && j < other->rangeCount) {
      const uint32_t first = std::max(set->ranges[2 * i], other->ranges[2 * j]);
      const uint32_t lastOfSet = set->ranges[2 * i + 1];
      const uint32_t lastOfOther = other->ranges[2 * j + 1];
      const uint32_t last = std::min(lastOfSet, lastOfOther);
      if (first <= last) {
        result[2 * count] = first;
        result[2 * count + 1] = last;
        ++count;
      }
      if (lastOfSet < lastOfOther) {
        ++i;
      } else {
        ++j;
      }
    }
    replacePairs(set, result, count, static_cast<int32_t>(capacity));
  }
  if (hasBitmap(set)) {
    for (uint32_t b = set->low >> 3; b <= set->high >> 3; ++b) set->bitmap[b] &= other->bitmap[b];
    tightenBounds(set);
  }
  return 0;
}

bool unicodeSetContains(const UnicodeSet* set, int64_t codePoint) {
  if (codePoint < 0 || codePoint > DOMAIN_LAST) return false;
  const uint32_t c = static_cast<uint32_t>(codePoint);
  if (c < PLANE_END) return (set->bitmap[c >> 3] >> (c & 7) & 1) != 0;
  return pairsContain(set->ranges, static_cast<uint32_t>(set->rangeCount), c);
}

bool unicodeSetIsEmpty(const UnicodeSet* set) {
  return !hasBitmap(set) && set->rangeCount == 0;
}

int32_t unicodeSetSerializedSize(const UnicodeSet* set) {
  return bitmapByteCount(set) + 8 * set->rangeCount + 16;
}

void unicodeSetSerialize(const UnicodeSet* set, uint8_t* out) {
  const uint32_t header[3] = {set->low, set->high, static_cast<uint32_t>(set->rangeCount)};
  std::memcpy(out, header, sizeof header);
  uint8_t* position = out + sizeof header;
  const int32_t bitmapBytes = bitmapByteCount(set);
  if (bitmapBytes > 0) std::memcpy(position, set->bitmap + (set->low >> 3), bitmapBytes);
  position += bitmapBytes;
  if (set->rangeCount > 0) {
    std::memcpy(position, set->ranges, static_cast<size_t>(set->rangeCount) * 8);
    position += static_cast<size_t>(set->rangeCount) * 8;
  }
  // The size counts four bytes past the pairs; they are written too so the
  // program holds no stale bytes.
  std::memset(position, 0, 4);
}

bool serializedSetContains(const uint8_t* record, int64_t codePoint) {
  uint32_t header[3];
  std::memcpy(header, record, sizeof header);
  const uint32_t low = header[0];
  const uint32_t high = header[1];
  if (codePoint < 0 || codePoint < low) return false;
  if (codePoint <= high) {
    const uint32_t c = static_cast<uint32_t>(codePoint);
    const uint8_t byte = record[sizeof header + (c >> 3) - (low >> 3)];
    return (byte >> (c & 7) & 1) != 0;
  }
  if (codePoint < PLANE_END || codePoint > DOMAIN_LAST) return false;
  const uint32_t bitmapBytes = low < PLANE_END ? (high >> 3) - (low >> 3) + 1 : 0;
  const uint8_t* pairs = record + sizeof header + bitmapBytes;
  const uint32_t c = static_cast<uint32_t>(codePoint);
  for (uint32_t i = 0; i < header[2]; ++i) {
    uint32_t pair[2];
    std::memcpy(pair, pairs + 8 * i, sizeof pair);
    if (pair[0] <= c && c <= pair[1]) return true;
  }
  return false;
}

int32_t forEachPropertyRange(const char* name, int32_t length, PropertyRangeSink add,
                             void* context) {
  if (name == nullptr || length <= 0) return SET_BAD_PROPERTY;
  if (length >= 2 && asciiLower(name[0]) == 'i' && asciiLower(name[1]) == 's') {
    return walkBlockOrXmlClass(name + 2, length - 2, add, context);
  }
  return walkCategory(name, length, add, context);
}
