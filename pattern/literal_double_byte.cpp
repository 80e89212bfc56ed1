// Literal search ignoring case in double-byte text (Shift-JIS, GBK, ...)
// when the pattern holds lead bytes, and the start tests that keep every
// literal match in double-byte text off a trail byte.
//
// The fast search examines every position: a text byte equal to the
// lower-case form of the pattern byte (the code page's own conversion) counts
// as its upper-case form. Its linear fallback is the shared Knuth-Morris-Pratt
// search over numbers: each pattern position accepts a set of text bytes, and
// the sets are numbered so that a text byte and a pattern position agree
// exactly when their numbers do, by byte value where that suffices, else by
// byte value and role (lead or trail byte), followed along the text.
//
// A match must not begin on a trail byte. The fast loops ask the text source
// (an even run of lead bytes before the position); the linear searches follow
// the runs as they read, where the provider ends lines with line feeds.
//
// Tested by literal_search_test.cpp and the end-to-end suite.
#include <algorithm>

#include "pattern/literal_search_internal.h"
#include "support/memory_pool.h"

namespace literal_internal {

namespace {

// Double-byte ignore case: the number of the byte set each pattern position
// accepts. A non-trail text byte has the number in `byteClass`, a trail byte
// the one in `trailClass`, indexed by the lead byte before it and itself; 0
// belongs to no position. Numbering by role is needed only when one byte
// value is accepted with different partners in and outside double-byte
// characters (a letter as a single byte and as a trail byte).
constexpr int32_t CLASSES_NONE = 0;   // no linear search for this pattern
constexpr int32_t CLASSES_BYTES = 1;  // numbers by byte value alone
constexpr int32_t CLASSES_ROLES = 2;  // numbers by byte value and role
int32_t classMode = CLASSES_NONE;
int32_t byteClass[256];
int32_t* trailClass = nullptr;  // 65536 entries, allocated when first needed

// Whether the current position of the text source starts a character of
// double-byte text: an even run of lead bytes (or none) lies between it and
// the previous non-lead byte or line start. *steps counts the bytes stepped
// back over.
bool atCharacterBoundary(int32_t* steps) {
  *steps = 0;
  if (textSource.AtLineStart(0)) return true;
  int32_t leadBytes = 0;
  for (;;) {
    if (textSource.MoveBy(-1) != 0) break;
    ++*steps;
    const int32_t c = textSource.PeekChar(0);
    if (c < 0 || leadByteTable[c] == 0) break;
    ++leadBytes;
    if (textSource.AtLineStart(0)) break;
  }
  if (*steps > 0) textSource.Advance(*steps);
  return leadBytes % 2 == 0;
}

// The bytes of double-byte text as the numbers of the byte sets they belong
// to. With roles, `trail` is the role of the next byte read and `previous`
// the byte before it (-1 unknown).
struct ClassSymbols {
  bool roles;
  bool trail;
  int32_t previous;
  int32_t text(int32_t c) {
    if (!roles) return byteClass[c];
    const int32_t symbol = !trail          ? byteClass[c]
                           : previous >= 0 ? trailClass[previous * 256 + c]
                                           : 0;
    trail = !trail && isRoleLead(c);
    previous = c;
    return symbol;
  }
  int32_t at(int32_t j) const { return symbolPattern[j]; }
};

bool classSearchUsable() {
  return classMode == CLASSES_BYTES || (classMode == CLASSES_ROLES && !textSource.askLineBounds);
}

int32_t searchClassesLinear(int32_t length, Cursor& at, WorkBudget& budget) {
  ClassSymbols symbols{classMode == CLASSES_ROLES, false, -1};
  StartCheck check = START_ANY;  // with roles a match begins on a non-trail byte by its numbers
  if (symbols.roles) {
    symbols.trail = !boundaryAt(at, budget);
  } else {
    check = startCheckOfText();
  }
  return searchLinear(symbols, symbolBorder, length, check, false, at, budget);
}

// The set of text bytes that pattern position i accepts in the fast search:
// at 0 its two case forms, after that a byte equal to the pattern byte that
// is not the lower-case form, and the lower-case form when it becomes the
// pattern byte.
struct ByteSet {
  int32_t count;
  uint8_t value[2];  // ascending
};

ByteSet acceptedBytes(const uint8_t* pattern, int32_t i) {
  ByteSet set{0, {0, 0}};
  const auto add = [&set](uint8_t b) {
    if (set.count == 1 && set.value[0] == b) return;
    set.value[set.count++] = b;
  };
  if (i == 0) {
    add(lowerCopy[0]);
    add(upperCopy[0]);
  } else {
    for (const uint8_t c : {pattern[i], lowerCopy[i]}) {
      if ((c == lowerCopy[i] ? upperCopy[i] : c) == pattern[i]) add(c);
    }
  }
  if (set.count == 2 && set.value[0] > set.value[1]) std::swap(set.value[0], set.value[1]);
  return set;
}

bool sameSet(const ByteSet& a, const ByteSet& b) {
  return a.count == b.count && (a.count < 1 || a.value[0] == b.value[0]) &&
         (a.count < 2 || a.value[1] == b.value[1]);
}

// Gives the table cells of pattern position i the number of the first
// position with the same set (i + 1 when it is the first). False when the
// cells already belong to a different set, in part or in whole: the sets are
// then no partition and numbers cannot stand for them.
template <typename SameSets>
bool numberPosition(int32_t* const* cells, int32_t count, int32_t i, SameSets sameSetsAt,
                    int32_t* symbol) {
  int32_t existing = 0;
  int32_t unassigned = 0;
  for (int32_t k = 0; k < count; ++k) {
    const int32_t number = *cells[k];
    if (number == 0) {
      ++unassigned;
    } else if (existing == 0) {
      existing = number;
    } else if (number != existing) {
      return false;
    }
  }
  if (existing == 0) {
    for (int32_t k = 0; k < count; ++k) *cells[k] = i + 1;
    *symbol = i + 1;  // an empty set gets a number no text byte has
    return true;
  }
  if (unassigned > 0 || !sameSetsAt(existing - 1)) return false;
  *symbol = existing;
  return true;
}

bool numberByValue(const uint8_t* pattern, int32_t length) {
  std::fill(byteClass, byteClass + 256, 0);
  for (int32_t i = 0; i < length; ++i) {
    const ByteSet set = acceptedBytes(pattern, i);
    int32_t* cells[2] = {&byteClass[set.value[0]], &byteClass[set.value[1]]};
    if (!numberPosition(
            cells, set.count, i, [&](int32_t d) { return sameSet(acceptedBytes(pattern, d), set); },
            &symbolPattern[i])) {
      return false;
    }
  }
  return true;
}

// Numbers by role: the pattern's own lead bytes decide which positions are
// trail bytes, so every byte a position accepts must agree on being a lead
// byte; a trail position's cells are the pairs of the bytes that the lead
// position before it accepts and its own.
bool numberByRole(const uint8_t* pattern, int32_t length) {
  std::fill(byteClass, byteClass + 256, 0);
  std::fill(trailClass, trailClass + 65536, 0);
  bool trail = false;
  ByteSet leadSet{0, {0, 0}};
  for (int32_t i = 0; i < length; ++i) {
    const ByteSet set = acceptedBytes(pattern, i);
    if (!trail) {
      int32_t* cells[2] = {&byteClass[set.value[0]], &byteClass[set.value[1]]};
      if (!numberPosition(
              cells, set.count, i,
              [&](int32_t d) { return sameSet(acceptedBytes(pattern, d), set); },
              &symbolPattern[i])) {
        return false;
      }
      int32_t leads = 0;
      for (int32_t k = 0; k < set.count; ++k) leads += isRoleLead(set.value[k]) ? 1 : 0;
      if (leads != 0 && leads != set.count) return false;
      trail = set.count > 0 && leads == set.count;
      leadSet = set;
    } else {
      int32_t* cells[4];
      int32_t count = 0;
      for (int32_t l = 0; l < leadSet.count; ++l) {
        for (int32_t k = 0; k < set.count; ++k) {
          cells[count++] = &trailClass[leadSet.value[l] * 256 + set.value[k]];
        }
      }
      if (!numberPosition(
              cells, count, i,
              [&](int32_t d) {
                return sameSet(acceptedBytes(pattern, d - 1), leadSet) &&
                       sameSet(acceptedBytes(pattern, d), set);
              },
              &symbolPattern[i])) {
        return false;
      }
      trail = false;
    }
  }
  return true;
}

}  // namespace

// The boundary test at the alignment; the test moves the text source, so the
// window is looked at again.
bool boundaryAt(Cursor& at, WorkBudget& budget) {
  textSource.SetPosition(at.p);
  int32_t steps;
  const bool boundary = atCharacterBoundary(&steps);
  budget.spend(steps);
  reloadCursorWindow(at);
  return boundary;
}

// A pattern match at the alignment is reported when the text mode accepts
// its start; otherwise the window is looked at again and the search goes on.
bool acceptMatch(Cursor& at, WorkBudget& budget) {
  textSource.SetPosition(at.p);
  if (textSource.charMode != ENCODING_DOUBLE_BYTE) return true;
  int32_t steps;
  const bool boundary = atCharacterBoundary(&steps);
  budget.spend(steps);
  if (boundary) return true;
  reloadCursorWindow(at);
  return false;
}

// Every position is examined; a text byte equal to the lower-case form of the
// pattern byte counts as its upper-case form.
int32_t searchDoubleByteIgnoreCase(const uint8_t* pattern, int32_t length) {
  WorkBudget budget(length);
  Cursor at;
  reloadCursorWindow(at);
  for (;;) {
    const int32_t first = byteAt(at, 0);
    if (first < 0) return SEARCH_END;
    if (first == lowerCopy[0] || first == upperCopy[0]) {
      int32_t i = 1;
      for (; i < length; ++i) {
        int32_t c = byteAt(at, i);
        if (c == lowerCopy[i]) c = upperCopy[i];
        if (c != pattern[i]) break;
      }
      budget.spend(i == length ? i : i + 1);
      if (i == length && acceptMatch(at, budget)) return SEARCH_FOUND;
    }
    if (!moveTo(at, at.p + 1)) return SEARCH_END;
    budget.pass(1);
    if (budget.exhausted() && classSearchUsable()) return searchClassesLinear(length, at, budget);
  }
}

// The numbers of the double-byte ignore-case search: by value when the sets
// allow it, else by role (which needs the trail table).
int32_t prepareClassSymbols(const uint8_t* text, int32_t length) {
  if (numberByValue(text, length)) {
    classMode = CLASSES_BYTES;
  } else {
    if (trailClass == nullptr) {
      trailClass = static_cast<int32_t*>(memAlloc(65536 * sizeof(int32_t)));
      if (trailClass == nullptr) return -8;
    }
    classMode = numberByRole(text, length) ? CLASSES_ROLES : CLASSES_NONE;
  }
  if (classMode != CLASSES_NONE) computeBorders(symbolPattern, length, symbolBorder);
  return 0;
}

void forgetClassSymbols() { classMode = CLASSES_NONE; }

}  // namespace literal_internal
