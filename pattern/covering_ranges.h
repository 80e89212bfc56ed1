// The live ranges of a program that cover each of its slots.
//
// The automata number their states from the ranges of slots where a
// counter or a pass-start register is live: a state at a slot holds the
// values of the ranges that cover it, in the order of the ranges. Asking
// every range at every slot costs the two counts multiplied, which a
// program of thousands of loops (a long alternation of words with optional
// parts) makes minutes. Here one sweep over the slots keeps the ranges open
// at each, in their order: a range joins at its first slot and leaves after
// its last, and the time is the slots times the ranges open at once, which
// the nesting of loops keeps small.
#pragma once

#include <cstdint>
#include <cstring>

#include "support/memory_pool.h"

// For `count` ranges with members `from` and `to` (slots, both inside the
// range, from 0 to slots - 1), the ranges that cover each slot: those of
// slot pc are (*list)[(*first)[pc]] up to (*list)[(*first)[pc + 1]], as
// indices into `ranges` in ascending order. The caller frees both arrays
// with memFree; false when memory ran out (nothing to free then).
template <typename Range>
bool coveringRanges(const Range* ranges, int32_t count, int32_t slots, int32_t** first,
                    int32_t** list) {
  *first = nullptr;
  *list = nullptr;
  int32_t* byFrom = nullptr;  // the ranges by their first slot (a counting sort)
  int32_t* joinEnd = nullptr;  // per slot, the end in byFrom of the ranges that begin there
  int32_t* open = nullptr;     // the open ranges, ascending
  int64_t capacity = int64_t{slots} + 1;
  int64_t listed = 0;
  bool ok = memGrowArray(&byFrom, int64_t{count} + 1) &&
            memGrowArray(&joinEnd, int64_t{slots} + 1) && memGrowArray(&open, int64_t{count} + 1) &&
            memGrowArray(first, int64_t{slots} + 1) && memGrowArray(list, capacity);
  if (ok) {
    std::memset(joinEnd, 0, (static_cast<size_t>(slots) + 1) * sizeof(int32_t));
    for (int32_t r = 0; r < count; ++r) ++joinEnd[ranges[r].from + 1];
    for (int32_t pc = 0; pc < slots; ++pc) joinEnd[pc + 1] += joinEnd[pc];
    for (int32_t r = 0; r < count; ++r) byFrom[joinEnd[ranges[r].from]++] = r;
    int32_t joined = 0;
    int32_t openCount = 0;
    for (int32_t pc = 0; pc < slots && ok; ++pc) {
      int32_t kept = 0;
      for (int32_t k = 0; k < openCount; ++k) {
        if (ranges[open[k]].to >= pc) open[kept++] = open[k];
      }
      openCount = kept;
      for (; joined < joinEnd[pc]; ++joined) {
        const int32_t r = byFrom[joined];
        int32_t k = openCount++;
        for (; k > 0 && open[k - 1] > r; --k) open[k] = open[k - 1];
        open[k] = r;
      }
      (*first)[pc] = static_cast<int32_t>(listed);
      if (listed + openCount > capacity) {
        while (listed + openCount > capacity) capacity *= 2;
        ok = memGrowArray(list, capacity);
      }
      if (ok) {
        std::memcpy(*list + listed, open, static_cast<size_t>(openCount) * sizeof(int32_t));
        listed += openCount;
      }
    }
    if (ok) (*first)[slots] = static_cast<int32_t>(listed);
  }
  memFree(byFrom);
  memFree(joinEnd);
  memFree(open);
  if (!ok) {
    memFree(*first);
    memFree(*list);
    *first = nullptr;
    *list = nullptr;
  }
  return ok;
}
