// The backtracking matcher with memoized failures.
//
// The backtracker (matcher.cpp) can take time exponential in the text on
// loops that match the same text in more than one way, and tried at every
// start it reads a long line once per start. The Pike VM (pike_vm.cpp) runs
// most programs in linear time instead; the ones it does not take, and that
// have no back-reference (more states than its bound), run here: the same
// backtracker, which records every state it has explored and never explores
// one twice (selective memoization, as Ruby's engine does since 3.2). The VM
// also has the bodies of look-ahead with open loops ((?!.*x) above all)
// answered here, position after position of its search
// (lookAheadBodyMatchesAt), with the same records.
//
// A state is the instruction, the position in the text, and whatever else
// decides the future from there: the counters of the counted loops around the
// instruction (a counter above an unbounded loop's minimum held at the
// minimum, where every higher count behaves alike) and, for the loops whose
// body may be empty, whether the pass began at this position. Nothing else
// decides it: captures and the cursor mark ride in the frames and never steer
// the search; a look-ahead's outcome depends on its position alone; and
// outside look-ahead bodies no guard frame lies on the stack, so any way to
// MATCH from a state ends the attempt with a match. So a state reached a
// second time outside a body must have failed the first time (else the
// search would have ended), or lies on the path being explored (a loop that
// consumed nothing, which has no better future): a bit per state is set when
// the state is entered, and a set bit ends the path. Inside a look-ahead body
// reaching MATCH is a way to fail, and the search goes on: a body state is
// known to have failed only once backtracking has resumed at a frame older
// than the state. Such states wait in a pending list with the stack height at
// their entry; a resumption at or below that height settles them as failed.
// Only whether a body matches counts, not by which path, and when it matches
// the states still pending above its guard frame are exactly those on the
// path to its MATCH: each gets a second bit, "leads to the body's MATCH",
// and a later path that reaches one of them takes the body as matched at
// once. Double-byte text
// would refuse a match that starts on a trail byte only when it is reached;
// here that start is refused before the attempt, so every MATCH is a match.
//
// The bits are kept across all the start positions of a search, so every
// state is explored once in the whole search: time O(states x text). They sit
// in a bitmap of at most BITMAP_WORDS (2 MiB) whatever the line: one row of
// bits per position, the rows a ring over the positions from the current
// attempt's start onwards. The bitmap starts small and doubles when an
// attempt reaches past its ring (growRing), so a search whose attempts stay
// near their start, a body of open loops answered from its stretches above
// all, touches little memory. A row whose position the start has passed can never be asked
// again (an attempt never reads before its start) and is cleared for reuse,
// and states beyond the ring's last row are explored without being recorded:
// memory stays bounded, and an attempt that reads further than the ring may
// repeat work out there. A scan instruction (a one-item loop) passes many
// positions in one step, so the stretch of positions each scan state passed
// is kept too, by absolute position whatever the ring: a later run of the
// same loop that enters the stretch would only repeat it, and fails at once;
// a run that enters before it stops where it reaches it (the scans'
// scanStop), with the stretch's outcome, once the follow test there says go
// on. Inside a body a run waits in the pending list like a state, and its
// stretch joins the failed ones when it is settled, or a second stretch of
// runs known to reach the body's MATCH when the body matches. So a body like
// .*y tried at every position of a long line reads the line once: the run
// from the next position stops one byte on, in the stretch of the last.
// The VM asks about a body first without running it (knownBodyOutcome):
// where the body's paths lead, past groups and inner look-ahead, into scans
// whose stretches hold the position, the answer is known, and so for every
// position up to the nearest end of those stretches, which the VM keeps.
//
// A stretch inside a body tells of the text alone, not of the search that
// found it, so body stretches are kept from one search to the next while
// the text source names the same text (TextPlace) and the program's
// analysis stays; positions are then offsets in that text. The driver
// starts a search after each match, and a line with a match at nearly
// every position is so read once, not once per match. Stretches outside
// bodies and the bits say "explored in this search" and last one search.
//
// A body whose loop is a group, (?!(ab)*c), passes no scan: its run reads
// to the line's end pass by pass, and would so again from every position.
// The ring covers a few hundred thousand positions, so the states that
// close the body's loops (their branches back, and the look-aheads inside
// a body) are kept apart, in pages of bits by position over the whole
// text, as long as the text stays: a later run that reaches such a state
// at a position passed before fails at once, or takes the body as matched.
// A pair of bits per state and position, for the few states that close
// loops, is a few MiB on a line of 20 MB; beyond PAGE_BYTES_LIMIT positions
// go unrecorded. And a run reading to the line's end would hold a frame or
// two per pass: a run for the VM that holds BODY_FRAME_LIMIT frames at such
// a state leaves it for the state's own run, whose answer it then finds
// there when made again (runBodyByGoals), so its frames stay within the
// limit, for the work of making the path to the state twice. Bodies that
// the memo's own search runs (runMemoizedSearch) lie on its one stack and
// keep a frame per pass.
//
// The memo is turned on only when an attempt of the plain backtracker has run
// out of its budget of steps (regex_search.cpp), so ordinary searches pay
// nothing. Tested by pike_vm_test.cpp (steps against text length, agreement
// with the plain backtracker on random programs) and the end-to-end suite.
#include "pattern/backtrack_memo.h"

#include <cstring>

#include "pattern/body_backward.h"
#include "pattern/compiled_pattern.h"
#include "pattern/covering_ranges.h"
#include "pattern/matcher.h"
#include "pattern/matcher_internal.h"
#include "pattern/text_source.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

using matcher_internal::m;
using matcher_internal::refreshWindow;

// States a program may have: a row of the bitmap holds them all, and the
// ring keeps at least MINIMUM_ROWS rows.
constexpr int64_t STATE_LIMIT = 1 << 15;
constexpr int64_t BITMAP_WORDS = (int64_t{2} << 20) / 8;
// The bitmap starts at this size and doubles when an attempt reaches past
// its ring, up to BITMAP_WORDS: a search whose attempts stay near their
// start touches little memory.
constexpr int64_t FIRST_BITMAP_WORDS = (int64_t{64} << 10) / 8;
constexpr int64_t MINIMUM_ROWS = 64;
// Look-ahead states awaiting their verdict; beyond this they are explored
// without being recorded. 24 bytes each.
constexpr int32_t PENDING_LIMIT = 1 << 14;
// The states of a look-ahead body that close its loops, its branches back
// and inner look-aheads, are kept by position over the whole text, in pages
// of PAGE_POSITIONS positions: PAGE_STATE_LIMIT states at most, and
// PAGE_BYTES_LIMIT of pages at once (positions beyond go unrecorded).
constexpr int64_t PAGE_POSITIONS = 4096;
constexpr int64_t PAGE_STATE_LIMIT = 1024;
constexpr int64_t PAGE_BYTES_LIMIT = int64_t{32} << 20;
// A body's run that holds this many frames at such a state has the state
// answered by a run of its own first (runBodyByGoals). Few: the stack stays
// near 15 KB (120 bytes a frame), and a run of a few hundred passes already
// makes part of its path twice, as a long one does, so the work of a
// search grows in step with the text from short lines on.
constexpr int32_t BODY_FRAME_LIMIT = 128;

int64_t stepCount = 0;
int64_t goalRuns = 0;

// ---------------------------------------------------------------------------
// Program analysis

// A part of the state at an instruction: a counter, or a pass-start flag.
struct LiveItem {
  int32_t counter;  // 0 to 19, or -1 for a pass-start flag
  int32_t reg;      // the pass-start register of a flag
  int32_t held;     // an unbounded loop's minimum, where higher counts are held; -1 bounded
  int64_t radix;
  int64_t stride;
};

struct LiveRange {
  int32_t from;
  int32_t to;
  LiveItem item;
};

struct Analysis {
  Instruction* copy;  // the program described, to recognize it again
  uint32_t generation;  // counts the analyses: the states' numbers change with each
  uint32_t compiledGeneration;  // the compiled pattern's number for the program, 0 none
  int32_t copySlots;
  int32_t encodingMode;
  bool valid;
  bool usable;
  int32_t* stateBase;  // per slot: its first state number, -1 for none
  int32_t* liveFirst;  // per slot: its first live item; slots + 1 entries
  LiveItem* live;
  int32_t liveCapacity;
  uint8_t* inBody;  // per slot: 1 inside a look-ahead body
  int32_t* pageBase;  // per slot: its first state's number in the pages, -1 none
  int64_t pageStates;
  bool lookAhead;   // the program has look-ahead: a row holds a success bit per state too
  int64_t states;
  int64_t rowWords;
  int64_t rows;     // of the ring now; 0 until the search sets the bitmap up
  int64_t maxRows;  // of the ring in a bitmap of BITMAP_WORDS
};

Analysis an;

bool isLoopBranch(uint8_t opcode) {
  return opcode == OP_SPLIT || opcode == OP_SPLIT_FIRST || opcode == OP_COUNT_LOOP ||
         opcode == OP_COUNT_LOOP_MIN;
}

// The live ranges of the counters and pass-start registers, and the
// look-ahead bodies; false when a loop or body has a shape the compiler does
// not make, or the program has a BACKREF.
bool findRanges(const Instruction* program, int32_t slots, const uint8_t* isStart,
                LiveRange* ranges, int32_t* rangeCount) {
  for (int32_t pc = 0; pc < slots; ++pc) {
    if (!isStart[pc]) continue;
    const Instruction& in = program[pc];
    if (in.opcode >= OPCODE_COUNT || in.opcode == OP_BACKREF) return false;
    if (in.opcode == OP_COUNT_LOOP || in.opcode == OP_COUNT_LOOP_MIN) {
      // The counter is set to 0 by the COUNT_RESET just before the body and
      // read only within it.
      const int64_t body = static_cast<int64_t>(pc) + in.branch();
      if (in.counter() >= static_cast<uint32_t>(REPEAT_COUNTERS) || body < 1 || body > pc ||
          !isStart[body - 1] || in.minimum() < 0 || in.maximum() < 1) {
        return false;
      }
      const Instruction& reset = program[body - 1];
      if (reset.opcode != OP_COUNT_RESET || reset.passMark() == PASS_START_MARK ||
          reset.counter() != in.counter()) {
        return false;
      }
      const bool bounded = in.maximum() != COUNT_UNBOUNDED;
      const int64_t radix = bounded ? int64_t{in.maximum()} : int64_t{in.minimum()} + 1;
      ranges[(*rangeCount)++] = LiveRange{
          static_cast<int32_t>(body), pc,
          LiveItem{static_cast<int32_t>(in.counter()), 0, bounded ? -1 : in.minimum(), radix, 0}};
    }
    if (isLoopBranch(in.opcode) && in.passGuard() != 0) {
      // The pass-start record sits at the body's first slot, the branch
      // back reads it; between them it is part of the state.
      const int64_t record = static_cast<int64_t>(pc) + in.branch();
      const int32_t reg = in.passGuard() - 1;
      if (reg < 0 || record < 0 || record > pc || !isStart[record] ||
          program[record].opcode != OP_COUNT_RESET ||
          program[record].passMark() != PASS_START_MARK || program[record].passRegister() != reg) {
        return false;
      }
      ranges[(*rangeCount)++] =
          LiveRange{static_cast<int32_t>(record) + 1, pc, LiveItem{-1, reg, -1, 2, 0}};
    }
    if (in.opcode == OP_NOT_AHEAD) {
      // The body runs from the next slot to its own MATCH, just before the
      // slot where the program goes on when the body fails.
      const int64_t match = static_cast<int64_t>(pc) + in.next() - 1;
      if (match <= pc || match >= slots || !isStart[match] || program[match].opcode != OP_MATCH) {
        return false;
      }
      for (int64_t k = pc + 1; k <= match; ++k) an.inBody[k] = 1;
      an.lookAhead = true;
    }
  }
  return true;
}

// Numbers the states of every instruction; an instruction whose states
// would pass the limit, or that two ranges of one counter cover, gets none
// and is explored without being recorded. The ranges that cover an
// instruction come in their order from coveringRanges.
bool numberStates(int32_t slots, const uint8_t* isStart, const LiveRange* ranges,
                  int32_t rangeCount) {
  int32_t* coverFirst = nullptr;
  int32_t* cover = nullptr;
  if (!coveringRanges(ranges, rangeCount, slots, &coverFirst, &cover)) return false;
  int32_t liveCount = 0;
  int64_t states = 0;
  bool ok = true;
  for (int32_t pc = 0; pc < slots && ok; ++pc) {
    an.liveFirst[pc] = liveCount;
    an.stateBase[pc] = -1;
    if (!isStart[pc]) continue;
    int64_t stride = 1;
    bool fits = true;
    for (int32_t c = coverFirst[pc]; c < coverFirst[pc + 1] && fits; ++c) {
      const LiveRange& range = ranges[cover[c]];
      for (int32_t k = an.liveFirst[pc]; k < liveCount; ++k) {
        if (range.item.counter >= 0 && an.live[k].counter == range.item.counter) fits = false;
      }
      if (liveCount == an.liveCapacity) {
        const int32_t wanted = an.liveCapacity < 64 ? 64 : an.liveCapacity * 2;
        if (!memGrowArray(&an.live, wanted)) {
          ok = false;
          break;
        }
        an.liveCapacity = wanted;
      }
      an.live[liveCount] = range.item;
      an.live[liveCount++].stride = stride;
      stride *= range.item.radix;
      if (stride > STATE_LIMIT) fits = false;
    }
    if (!ok) break;
    if (!fits || states + stride > STATE_LIMIT) {
      liveCount = an.liveFirst[pc];
      continue;
    }
    an.stateBase[pc] = static_cast<int32_t>(states);
    states += stride;
  }
  memFree(coverFirst);
  memFree(cover);
  if (!ok) return false;
  an.liveFirst[slots] = liveCount;
  an.states = states;
  return true;
}

// Numbers the body states that the pages keep: those of the branches back
// of a body's loops and of the look-aheads inside a body. Every path that
// runs on through a body's loop passes its branch back, so with these
// known no loop pass is explored twice, and their bits are few enough to
// cover a long line.
void numberPagedStates(const Instruction* program, int32_t slots, const uint8_t* isStart) {
  int64_t paged = 0;
  for (int32_t pc = 0; pc < slots; ++pc) {
    an.pageBase[pc] = -1;
    if (!isStart[pc] || !an.inBody[pc] || an.stateBase[pc] < 0) continue;
    const Instruction& in = program[pc];
    if (!(isLoopBranch(in.opcode) && in.branch() < 0) && in.opcode != OP_NOT_AHEAD) continue;
    int64_t count = 1;
    for (int32_t k = an.liveFirst[pc]; k < an.liveFirst[pc + 1]; ++k) count *= an.live[k].radix;
    if (paged + count > PAGE_STATE_LIMIT) continue;
    an.pageBase[pc] = static_cast<int32_t>(paged);
    paged += count;
  }
  an.pageStates = paged;
}

bool analyze(const Instruction* program, int32_t lastSlot, int32_t encodingMode) {
  an.valid = false;
  an.usable = false;
  ++an.generation;
  const int32_t slots = lastSlot + 1;
  if (slots < 1 || !memGrowArray(&an.copy, slots)) return false;
  std::memcpy(an.copy, program, static_cast<size_t>(slots) * sizeof(Instruction));
  an.copySlots = slots;
  an.encodingMode = encodingMode;
  an.compiledGeneration = compiledPattern.generation;
  an.valid = true;
  an.lookAhead = false;
  an.pageStates = 0;
  uint8_t* isStart = nullptr;
  LiveRange* ranges = nullptr;
  bool ok = memGrowArray(&isStart, slots) && memGrowArray(&ranges, 2 * int64_t{slots}) &&
            memGrowArray(&an.inBody, slots) && memGrowArray(&an.stateBase, slots) &&
            memGrowArray(&an.pageBase, slots) && memGrowArray(&an.liveFirst, int64_t{slots} + 1);
  if (ok) {
    std::memset(isStart, 0, static_cast<size_t>(slots));
    std::memset(an.inBody, 0, static_cast<size_t>(slots));
    bool wellFormed = program[lastSlot].opcode == OP_MATCH;
    for (int32_t pc = 0; pc < slots;) {
      isStart[pc] = 1;
      const uint8_t opcode = program[pc].opcode;
      const int32_t length = opcode == OP_SET || opcode == OP_SET_SCAN
                                 ? setSlotCount(program[pc], encodingMode)
                                 : 1;
      if (length < 1) {
        wellFormed = false;
        break;
      }
      pc += length;
    }
    int32_t rangeCount = 0;
    if (wellFormed && findRanges(program, slots, isStart, ranges, &rangeCount)) {
      ok = numberStates(slots, isStart, ranges, rangeCount);
      if (ok) numberPagedStates(program, slots, isStart);
      an.rowWords = ((an.lookAhead ? 2 : 1) * an.states + 63) / 64;
      an.maxRows = an.rowWords > 0 ? BITMAP_WORDS / an.rowWords : 0;
      an.rows = 0;
      an.usable = ok && an.maxRows >= MINIMUM_ROWS;
    }
  }
  memFree(ranges);
  memFree(isStart);
  return ok;
}

// Whether the analysis is of this program (the compiled pattern's: analyze
// is only given that one). The program the compiler made last time is known
// by its number, without comparing its slots: a search starts at every match.
bool analysisDescribes(const Instruction* program, int32_t lastSlot, int32_t encodingMode) {
  if (!an.valid || an.copySlots != lastSlot + 1 || an.encodingMode != encodingMode) return false;
  const uint32_t generation = compiledPattern.generation;
  if (generation != 0 && an.compiledGeneration == generation) return true;
  if (std::memcmp(an.copy, program, static_cast<size_t>(lastSlot + 1) * sizeof(Instruction)) != 0) {
    return false;
  }
  an.compiledGeneration = generation;
  return true;
}

// ---------------------------------------------------------------------------
// The bitmap and the search's positions

// The stretch of positions [from, to] from a run's entry to its last follow
// test, of a scan state; inside a look-ahead body also [matchFrom,
// matchTo), the entries from which the body matched.
struct Stretch {
  int64_t from;
  int64_t to;
  int64_t matchFrom;
  int64_t matchTo;
  uint64_t stamp;  // the search, or inside a body the text, it was found in
};

// A look-ahead state awaiting its verdict: a state's bit (key
// PENDING_RING_BIT, `a` the bit, `b` its position), a state of the pages
// (PENDING_PAGE_BIT, `a` its position, `b` its number there), or a scan run
// inside a body (`key` its stretch, from `a` to `b`).
constexpr int32_t PENDING_RING_BIT = -1;
constexpr int32_t PENDING_PAGE_BIT = -2;
struct Pending {
  int64_t a;
  int64_t b;
  int32_t entryTop;
  int32_t key;
};

struct Memo {
  uint64_t* bits;  // all clear between searches
  int64_t bitWords;
  Stretch* stretches;
  int64_t stretchCapacity;
  Pending* pending;
  int32_t pendingCount;
  const Instruction* program;
  // Stretches outside look-ahead bodies hold for one search; inside them,
  // for as long as the text and the program stay: a body's outcome is a
  // property of the text at its position, whoever asks. The stamps tell
  // them apart; the last text (TextPlace) and analysis say whether the text
  // and the program stayed.
  uint64_t stamps;
  uint64_t searchStamp;
  uint64_t textStamp;
  uint32_t text;
  uint32_t analysis;
  int32_t charMode;
  int64_t base;          // the offset in the text of the search's first position
  int64_t attemptStart;  // the current attempt's start, as an offset in the text
  int64_t ringFrom;      // the first position the ring holds: it holds ringFrom + rows - 1 last
  int64_t marked;        // one past the furthest position that holds a mark
};

Memo memo;

// The pages of body states (numberPagedStates): per position a pair of
// bits a state, "failed" and "leads to its body's MATCH", rows packed. They
// tell of the text alone, like the stretches inside bodies, and last while
// the text does; the pages behind the furthest position asked are given
// back, as no body reads before its start.
struct Pages {
  uint64_t** table;  // per page from `first` on: its bits, or null
  int64_t capacity;  // entries of the table
  int64_t first;     // the position of the table's first row
  int64_t from;      // positions before it are not recorded
  int64_t rowBits;
  int64_t words;  // a page's
  int64_t held;   // pages allocated
  uint64_t stamp;  // the text (textStamp) they tell of
};

Pages pages;

// A body state whose answer a run of its own gives (runBodyByGoals): its
// slot, position, state key and number in the pages.
struct Goal {
  int32_t slot;
  int64_t position;
  int64_t key;
  int64_t state;
};

struct Goals {
  Goal* stack;  // the runs waiting for the answer of the one above
  int32_t count;
  int32_t capacity;
  Goal taken;  // the state takeGoal took
  int32_t frameLimit;
  int32_t* passStarts;  // the pass-start registers the first run started with
  int32_t passStartCapacity;
};

Goals goals = {nullptr, 0, 0, {}, BODY_FRAME_LIMIT, nullptr, 0};

void freePages() {
  for (int64_t k = 0; k < pages.capacity; ++k) {
    memFree(pages.table[k]);
    pages.table[k] = nullptr;
  }
  pages.held = 0;
  pages.first = 0;
  pages.from = 0;
}

// Pages of a new text, or of the same from `position` on only.
void startPages(bool sameText, int64_t position) {
  if (!sameText || pages.stamp != memo.textStamp || pages.rowBits != 2 * an.pageStates) {
    freePages();
    pages.stamp = memo.textStamp;
    pages.rowBits = 2 * an.pageStates;
    pages.words = (PAGE_POSITIONS * pages.rowBits + 63) / 64;
    pages.first = position - position % PAGE_POSITIONS;
    pages.from = position;
  }
}

// Gives back the pages wholly before `position`, which is recorded no more
// before it; the table moves its entries down once half of it lies behind.
void releasePagesBefore(int64_t position) {
  if (position <= pages.from) return;
  // The pages before the old `from` were given back then.
  const int64_t freed = (pages.from - pages.first) / PAGE_POSITIONS;
  pages.from = position;
  const int64_t behind = (position - pages.first) / PAGE_POSITIONS;
  const int64_t end = behind < pages.capacity ? behind : pages.capacity;
  for (int64_t k = freed; k < end; ++k) {
    if (pages.table[k] == nullptr) continue;
    memFree(pages.table[k]);
    pages.table[k] = nullptr;
    --pages.held;
  }
  if (behind == 0 || 2 * behind < pages.capacity) return;
  const int64_t kept = pages.capacity - end;
  if (kept > 0) {
    std::memmove(pages.table, pages.table + end, static_cast<size_t>(kept) * sizeof(uint64_t*));
  }
  for (int64_t k = kept; k < pages.capacity; ++k) pages.table[k] = nullptr;
  pages.first += behind * PAGE_POSITIONS;
}

// The page that holds the position's row, made when `make` says so; null
// when the position is not recorded, the table or the pages would pass their
// bounds, or memory runs out (the state is then explored each time).
uint64_t* pageOf(int64_t position, bool make) {
  if (position < pages.from || pages.rowBits == 0) return nullptr;
  const int64_t k = (position - pages.first) / PAGE_POSITIONS;
  if (k >= pages.capacity) {
    if (!make) return nullptr;
    int64_t wanted = pages.capacity < 64 ? 64 : pages.capacity;
    while (wanted <= k) wanted *= 2;
    if (!memGrowArray(&pages.table, wanted)) return nullptr;
    for (int64_t j = pages.capacity; j < wanted; ++j) pages.table[j] = nullptr;
    pages.capacity = wanted;
  }
  if (pages.table[k] == nullptr && make) {
    if ((pages.held + 1) * pages.words * 8 > PAGE_BYTES_LIMIT) return nullptr;
    uint64_t* page = nullptr;
    if (!memGrowArray(&page, pages.words)) return nullptr;
    std::memset(page, 0, static_cast<size_t>(pages.words) * sizeof(uint64_t));
    pages.table[k] = page;
    ++pages.held;
  }
  return pages.table[k];
}

// The first of the state's two bits in its page.
inline int64_t pageBitOf(int64_t position, int64_t state) {
  return (position - pages.first) % PAGE_POSITIONS * pages.rowBits + 2 * state;
}

inline bool pageBitIsSet(const uint64_t* page, int64_t bit) {
  return (page[bit >> 6] >> (bit & 63)) & 1;
}

void setPageBit(int64_t position, int64_t state, bool matched) {
  uint64_t* page = pageOf(position, true);
  if (page == nullptr) return;
  const int64_t bit = pageBitOf(position, state) + (matched ? 1 : 0);
  page[bit >> 6] |= uint64_t{1} << (bit & 63);
}

// Replaces the bitmap by a clear one of `words`; false when memory runs out
// (the old one then stays).
bool replaceBitmap(int64_t words) {
  uint64_t* fresh = nullptr;
  if (!memGrowArray(&fresh, words)) return false;
  std::memset(fresh, 0, static_cast<size_t>(words) * sizeof(uint64_t));
  memFree(memo.bits);
  memo.bits = fresh;
  memo.bitWords = words;
  return true;
}

bool prepareMemo() {
  if (memo.bits == nullptr) {
    if (!memGrowArray(&memo.pending, PENDING_LIMIT) || !replaceBitmap(FIRST_BITMAP_WORDS)) {
      return false;
    }
  }
  if (an.rows == 0) {
    // A new analysis: its rows are laid out anew in a bitmap of the first
    // size again (a program before may have grown it).
    int64_t words = MINIMUM_ROWS * an.rowWords;
    if (words < FIRST_BITMAP_WORDS) words = FIRST_BITMAP_WORDS;
    if (memo.bitWords != words && !replaceBitmap(words)) return false;
    an.rows = memo.bitWords / an.rowWords < an.maxRows ? memo.bitWords / an.rowWords : an.maxRows;
  }
  if (memo.stretchCapacity < an.states) {
    if (!memGrowArray(&memo.stretches, an.states)) return false;
    std::memset(memo.stretches, 0, static_cast<size_t>(an.states) * sizeof(Stretch));
    memo.stretchCapacity = an.states;
  }
  return true;
}

void clearRows(int64_t from, int64_t to) {
  if (an.rows == 0) return;
  if (to > memo.marked) to = memo.marked;
  if (from < to - an.rows) from = to - an.rows;
  for (int64_t q = from; q < to; ++q) {
    std::memset(memo.bits + (q % an.rows) * an.rowWords, 0,
                static_cast<size_t>(an.rowWords) * sizeof(uint64_t));
  }
}

void endSearch() {
  clearRows(memo.ringFrom, memo.marked);
  memo.marked = 0;
  memo.pendingCount = 0;
  if (memo.text == 0) freePages();
}

// Grows the ring so that it holds `position`, when the bitmap may: the rows
// of the positions held move to their places in the larger ring, and the
// bits that pending states wait to set move with them. False when the ring
// cannot hold it (the state is then explored without being recorded).
bool growRing(int64_t position) {
  const int64_t needed = position - memo.ringFrom + 1;
  if (needed > an.maxRows) return false;
  int64_t rows = an.rows;
  while (rows < needed) rows *= 2;
  if (rows > an.maxRows) rows = an.maxRows;
  uint64_t* grown = nullptr;
  const int64_t words = rows * an.rowWords;
  if (!memGrowArray(&grown, words)) return false;
  std::memset(grown, 0, static_cast<size_t>(words) * sizeof(uint64_t));
  const size_t rowBytes = static_cast<size_t>(an.rowWords) * sizeof(uint64_t);
  const int64_t held = memo.marked < memo.ringFrom + an.rows ? memo.marked : memo.ringFrom + an.rows;
  for (int64_t q = memo.ringFrom; q < held; ++q) {
    std::memcpy(grown + (q % rows) * an.rowWords, memo.bits + (q % an.rows) * an.rowWords, rowBytes);
  }
  const int64_t rowBits = an.rowWords * 64;
  for (int32_t k = 0; k < memo.pendingCount; ++k) {
    Pending& p = memo.pending[k];
    if (p.key == PENDING_RING_BIT) p.a = (p.b % rows) * rowBits + (p.a - (p.b % an.rows) * rowBits);
  }
  memFree(memo.bits);
  memo.bits = grown;
  memo.bitWords = words;
  an.rows = rows;
  return true;
}

inline void noteMarked(int64_t position) {
  if (position + 1 > memo.marked) memo.marked = position + 1;
}

// The state number at the slot with its live items, or -1 when a value lies
// outside the analysed range; pass-start flags compare with `offset`.
inline int64_t stateKey(int32_t slot, int32_t offset) {
  int64_t key = an.stateBase[slot];
  if (key < 0) return -1;
  const MatcherState& s = m();
  for (int32_t k = an.liveFirst[slot]; k < an.liveFirst[slot + 1]; ++k) {
    const LiveItem& item = an.live[k];
    int64_t value;
    if (item.counter >= 0) {
      value = s.counters[item.counter];
      if (item.held >= 0 && value > item.held) value = item.held;
    } else {
      value = item.reg < s.passStartCount && s.passStarts[item.reg] == offset ? 1 : 0;
    }
    if (value < 0 || value >= item.radix) return -1;
    key += value * item.stride;
  }
  return key;
}

inline void setBit(int64_t bit) { memo.bits[bit >> 6] |= uint64_t{1} << (bit & 63); }
inline bool bitIsSet(int64_t bit) { return (memo.bits[bit >> 6] >> (bit & 63)) & 1; }

// Adds [from, to) to the interval [*low, *high) when they overlap or touch,
// else keeps the later of the two.
void mergeInterval(int64_t* low, int64_t* high, int64_t from, int64_t to) {
  if (from <= *high && to >= *low && *low < *high) {
    if (from < *low) *low = from;
    if (to > *high) *high = to;
  } else if (from > *low || *low >= *high) {
    *low = from;
    *high = to;
  }
}

// The stretch of scan state `key`, in a look-ahead body or not, emptied
// when it was found in another search or text.
Stretch& stretchOf(int64_t key, bool inBody) {
  Stretch& stretch = memo.stretches[key];
  const uint64_t stamp = inBody ? memo.textStamp : memo.searchStamp;
  if (stretch.stamp != stamp) stretch = Stretch{0, 0, 0, 0, stamp};
  return stretch;
}

inline void pend(int64_t a, int64_t b, int32_t key) {
  if (memo.pendingCount < PENDING_LIMIT) {
    memo.pending[memo.pendingCount++] = Pending{a, b, m().top, key};
  }
}

// The length of the UTF-8 character at the pointer, as the matcher decodes it.
void characterLength(int32_t* length) {
  MatcherState& s = m();
  if (s.windowEnd - s.cur >= 6) {
    matcher_internal::decodeDirect(s.cur, length);
    return;
  }
  textSource.SetPosition(s.cur);
  if (matcher_internal::decodeThroughSource(0, length) == matcher_internal::NO_CHARACTER) *length = 1;
}

}  // namespace

namespace backtrack_memo {

int32_t knownOutcome(const Instruction* pc) {
  ++stepCount;
  const MatcherState& s = m();
  const int32_t slot = static_cast<int32_t>(pc - memo.program);
  const int64_t position = memo.attemptStart + s.offset;
  if (an.pageBase[slot] >= 0 && position >= pages.from) {
    const int64_t key = stateKey(slot, s.offset);
    if (key >= 0) {
      const int64_t state = an.pageBase[slot] + key - an.stateBase[slot];
      const uint64_t* page = pageOf(position, false);
      const int64_t bit = page != nullptr ? pageBitOf(position, state) : 0;
      if (page != nullptr && pageBitIsSet(page, bit)) return matcher_internal::HANDLER_FAIL;
      if (page != nullptr && pageBitIsSet(page, bit + 1)) return matcher_internal::HANDLER_ACCEPT;
      pend(position, state, PENDING_PAGE_BIT);
      return UNKNOWN;
    }
  }
  if (position < memo.ringFrom) return UNKNOWN;
  if (position - memo.ringFrom >= an.rows && !growRing(position)) return UNKNOWN;
  const int64_t key = stateKey(slot, s.offset);
  if (key < 0) return UNKNOWN;
  const int64_t bit = (position % an.rows) * an.rowWords * 64 + key;
  if (bitIsSet(bit)) return matcher_internal::HANDLER_FAIL;
  if (an.inBody[slot]) {
    if (bitIsSet(bit + an.states)) return matcher_internal::HANDLER_ACCEPT;
    pend(bit, position, PENDING_RING_BIT);
  } else {
    setBit(bit);
    noteMarked(position);
  }
  return UNKNOWN;
}

namespace {

// A scan run without the stretches, at a step a byte it passed.
int32_t runCounted(const Instruction* pc, int32_t (*handler)(const Instruction*)) {
  const int32_t before = m().offset;
  const int32_t result = handler(pc);
  if (m().offset > before) stepCount += m().offset - before;
  return result;
}

}  // namespace

int32_t runScanOnce(const Instruction* pc, int32_t (*handler)(const Instruction*)) {
  const MatcherState& s = m();
  const int32_t slot = static_cast<int32_t>(pc - memo.program);
  // The positions where a run made its follow test stand for the loop's
  // branch there, whose other way (the loop's continuation) cannot begin at
  // them. They are every character start the run passed when every path
  // reads the same character starts: in single-byte and UTF-8 text (a
  // sequence's continuation bytes are never a character start, nor a match
  // start), not in double-byte text, where CHAR takes a lead byte alone.
  const int32_t mode = textSource.charMode;
  const int32_t branch = slot + (pc->opcode == OP_SET_SCAN ? setSlotCount(*pc, an.encodingMode) : 1);
  if (mode == ENCODING_DOUBLE_BYTE || branch >= an.copySlots) return runCounted(pc, handler);
  // Pass-start flags compare with a position after the run's start.
  const int64_t key = stateKey(branch, s.offset + 1);
  if (key < 0) return runCounted(pc, handler);
  const int64_t entry = memo.attemptStart + s.offset;
  Stretch& stretch = stretchOf(key, an.inBody[slot] != 0);
  // From an entry inside an earlier run, the first item ends on a position
  // where that run went on: the rest was explored then, and in a body it
  // failed, or it reached the body's MATCH.
  using matcher_internal::HANDLER_ACCEPT;
  using matcher_internal::HANDLER_FAIL;
  using matcher_internal::HANDLER_STOPPED;
  if (entry >= stretch.from && entry < stretch.to) return HANDLER_FAIL;
  if (entry >= stretch.matchFrom && entry < stretch.matchTo) return HANDLER_ACCEPT;
  // A run from before such a stretch stops where it reaches it, the nearer
  // of the two: past that it would go on as the run that made the stretch.
  const bool towardMatch = stretch.matchFrom > entry && stretch.matchFrom < stretch.matchTo &&
                           (stretch.from <= entry || stretch.from >= stretch.to ||
                            stretch.matchFrom < stretch.from);
  const bool towardFailure = !towardMatch && stretch.from > entry && stretch.from < stretch.to;
  matcher_internal::scanStop = {INT32_MAX, INT32_MAX};
  if (towardMatch || towardFailure) {
    const int64_t from = (towardMatch ? stretch.matchFrom : stretch.from) - memo.attemptStart;
    const int64_t to = (towardMatch ? stretch.matchTo : stretch.to) - memo.attemptStart;
    matcher_internal::scanStop = {static_cast<int32_t>(from < INT32_MAX ? from : INT32_MAX),
                                  static_cast<int32_t>(to < INT32_MAX ? to : INT32_MAX)};
  }
  int32_t result = matcher_internal::runScanStopping(pc);
  // A run costs a step a byte it passed.
  if (memo.attemptStart + s.offset > entry) stepCount += memo.attemptStart + s.offset - entry;
  // The last follow test: where the run stopped, or before the character
  // that failed it (at most a sequence's length back).
  const bool stopped = result == HANDLER_STOPPED;
  const int64_t last =
      memo.attemptStart + s.offset -
      (result == matcher_internal::HANDLER_CONTINUE || stopped ? 0 : mode == ENCODING_UTF8 ? 6 : 1);
  // Stopped in a stretch: the run's outcome is the stretch's.
  if (stopped) result = towardMatch ? HANDLER_ACCEPT : HANDLER_FAIL;
  if (last <= entry) return result;
  if (an.inBody[slot]) {
    // Its verdict comes with the run's state's (settlePending, bodyMatched).
    if (key <= INT32_MAX) pend(entry, last, static_cast<int32_t>(key));
    return result;
  }
  noteMarked(last);
  mergeInterval(&stretch.from, &stretch.to, entry, last);
  return result;
}

namespace {

// Records the states and scan runs pending above `frame` as failed, or as
// leading to their body's MATCH.
void resolvePending(int32_t frame, bool matched) {
  while (memo.pendingCount > 0 && memo.pending[memo.pendingCount - 1].entryTop >= frame) {
    const Pending& p = memo.pending[--memo.pendingCount];
    if (p.key == PENDING_PAGE_BIT) {
      setPageBit(p.a, p.b, matched);
    } else if (p.key >= 0) {
      Stretch& stretch = stretchOf(p.key, true);
      if (matched) {
        mergeInterval(&stretch.matchFrom, &stretch.matchTo, p.a, p.b);
      } else {
        mergeInterval(&stretch.from, &stretch.to, p.a, p.b);
      }
    } else {
      setBit(matched ? p.a + an.states : p.a);
      noteMarked(p.b);
    }
  }
}

}  // namespace

void settlePending(int32_t frame) { resolvePending(frame, false); }

void bodyMatched(int32_t frame) { resolvePending(frame, true); }

void dropPending(int32_t frame) {
  while (memo.pendingCount > 0 && memo.pending[memo.pendingCount - 1].entryTop >= frame) {
    --memo.pendingCount;
  }
}

int32_t bodyFrameLimit() { return goals.frameLimit; }

void setBodyFrameLimit(int32_t frames) {
  goals.frameLimit = frames > 0 ? frames : BODY_FRAME_LIMIT;
}

bool takeGoal(const Instruction* pc) {
  const MatcherState& s = m();
  const int32_t slot = static_cast<int32_t>(pc - memo.program);
  if (an.pageBase[slot] < 0) return false;
  const int64_t key = stateKey(slot, s.offset);
  const int64_t position = memo.attemptStart + s.offset;
  if (key < 0) return false;
  // Its answer must be recorded, or the run that waits for it would come
  // back to it again.
  const uint64_t* page = pageOf(position, true);
  const int64_t state = an.pageBase[slot] + key - an.stateBase[slot];
  const int64_t bit = pageBitOf(position, state);
  if (page == nullptr || pageBitIsSet(page, bit) || pageBitIsSet(page, bit + 1)) return false;
  if (goals.count + 1 >= goals.capacity) {
    const int32_t wanted = goals.capacity < 64 ? 64 : goals.capacity * 2;
    if (!memGrowArray(&goals.stack, wanted)) return false;
    goals.capacity = wanted;
  }
  goals.taken = Goal{slot, position, key, state};
  return true;
}

}  // namespace backtrack_memo

bool memoTakesProgram() {
  return regexEngine() != REGEX_ENGINE_BACKTRACK && backtrack_memo::memoRunsLookAheadBodies();
}

namespace backtrack_memo {

bool memoRunsLookAheadBodies() {
  if (compiledPattern.program == nullptr) return false;
  const int32_t mode = compiledPattern.encodingMode;
  // The slots of a SET depend on the mode the program was compiled for.
  if ((mode == ENCODING_UTF8) != (textSource.charMode == ENCODING_UTF8)) return false;
  const Instruction* program = compiledPattern.program;
  const int32_t lastSlot = compiledPattern.lastSlot;
  if (analysisDescribes(program, lastSlot, mode)) return an.usable;
  // Bits kept from the last search go while the rows that placed them are
  // still the analysis's.
  if (memo.bits != nullptr && an.valid) endSearch();
  if (!analyze(program, lastSlot, mode)) {
    an.valid = false;
    return false;
  }
  return an.usable;
}

namespace {

// A new search of the current program, whose first position lies `behind`
// bytes before the matcher's pointer (and began on a continuation byte of
// UTF-8 text when `continuation` says so): false when the memo cannot be
// had. What the bodies found is kept from the last
// search when it was over the same text with the same analysis: the
// stretches, and with `keepBits` the bits too, which then all belong to
// bodies (the VM's searches mark no other state).
bool startSearch(bool keepBits, int64_t behind, bool continuation) {
  if (!prepareMemo()) return false;
  memo.program = compiledPattern.program;
  int64_t base = 0;
  uint32_t text = textSource.TextPlace != nullptr ? textSource.TextPlace(m().cur, &base) : 0;
  base -= behind;
  // A search that starts on a continuation byte of UTF-8 text reads the
  // bytes up to the next character start as characters of their own, where
  // other searches pass them inside a character: its stretches could tell
  // another search of runs that the other never makes.
  if (continuation) text = 0;
  memo.searchStamp = ++memo.stamps;
  const bool sameText = text != 0 && text == memo.text && an.generation == memo.analysis &&
                        textSource.charMode == memo.charMode;
  if (!sameText) memo.textStamp = ++memo.stamps;
  memo.text = text;
  memo.analysis = an.generation;
  memo.charMode = textSource.charMode;
  memo.base = text != 0 ? base : 0;
  memo.attemptStart = memo.base;
  memo.pendingCount = 0;
  startPages(sameText, memo.base);
  releasePagesBefore(memo.base);
  if (sameText && keepBits) {
    // The ring only moves on: positions behind it go unrecorded.
    if (memo.base > memo.ringFrom) {
      clearRows(memo.ringFrom, memo.base);
      memo.ringFrom = memo.base;
    }
    return true;
  }
  endSearch();
  memo.ringFrom = memo.base;
  return true;
}

}  // namespace

int32_t beginLookAheadBodies(int64_t searchPosition, bool continuation) {
  return memoRunsLookAheadBodies() && startSearch(true, searchPosition, continuation)
             ? 0
             : REGEX_OUT_OF_MEMORY;
}

void endLookAheadBodies() {
  // Over a text that the next search may share, the bits stay for it.
  if (memo.text == 0) endSearch();
  memo.pendingCount = 0;
}

namespace {

// Asking what the stretches already say of a body at a position: a body
// matches when any of its paths reaches its MATCH, so its answer there is
// known when one path is known to reach it, or every path known to fail,
// each by a stretch that holds the position. Every position up to `until`
// lies in each of those stretches, and so has the same answer. A path may
// also read a few characters from the window, as the matcher reads them
// straight, on to a state of the pages (a loop's branch back) whose answer
// is kept: that answer holds at the position alone.
struct PathQuery {
  int64_t position;
  int64_t until;
  int32_t budget;  // instructions still to follow: the question stays cheap
};

// `offset`: the bytes the path has read from the position.
int32_t knownPathOutcome(int32_t slot, int32_t offset, PathQuery* q);

inline void holdsHereOnly(PathQuery* q) {
  if (q->position + 1 < q->until) q->until = q->position + 1;
}

// The answer the pages keep for the state at the slot, `offset` bytes on:
// for a state without live items, whose number the slot alone gives.
int32_t knownPagedOutcome(int32_t slot, int32_t offset, PathQuery* q) {
  if (an.liveFirst[slot] != an.liveFirst[slot + 1]) return -1;
  const int64_t position = q->position + offset;
  const uint64_t* page = pageOf(position, false);
  if (page == nullptr) return -1;
  const int64_t bit = pageBitOf(position, an.pageBase[slot]);
  const int32_t known = pageBitIsSet(page, bit) ? 0 : pageBitIsSet(page, bit + 1) ? 1 : -1;
  if (known >= 0) holdsHereOnly(q);
  return known;
}

// Whether the item at the slot takes the byte `offset` bytes on, where the
// matcher reads it straight from the window (more than two bytes before
// the window's end, where every item reads straight; in UTF-8 text an ASCII
// byte six before it, a character of its own): 1 or 0; -1 where the
// matcher might ask the source or decode a sequence.
int32_t itemTakesByte(const Instruction& in, int32_t offset, PathQuery* q) {
  const MatcherState& s = m();
  const int32_t mode = textSource.charMode;
  if (s.windowEnd - s.cur - offset <= (mode == ENCODING_UTF8 ? 6 : 2)) return -1;
  const uint32_t c = s.cur[offset];
  if (mode == ENCODING_UTF8) {
    if (c >= 0x80) return -1;
    holdsHereOnly(q);
    const int32_t code = static_cast<int32_t>(c);
    switch (in.opcode) {
      case OP_CHAR:
        return matcher_internal::utf8CharMatches(&in, code) ? 1 : 0;
      case OP_ANY:
        return 1;
      case OP_SET:
        return matcher_internal::utf8SetHas(&in, code) ? 1 : 0;
      default:
        return -1;
    }
  }
  holdsHereOnly(q);
  switch (in.opcode) {
    case OP_CHAR:
      return c == in.accepted() || c == in.acceptedVariant() ? 1 : 0;
    case OP_ANY:
      return mode == ENCODING_SINGLE_BYTE ? 1 : -1;
    case OP_SET:
      return mode == ENCODING_SINGLE_BYTE ? (matcher_internal::setBitmapHas(&in, c) ? 1 : 0) : -1;
    default:
      return -1;
  }
}

// The stretch of the scan state at `branch`, the branch after a scan, when
// its key is the same from wherever the path came (no live items): null
// where none is kept.
const Stretch* stretchAfterScan(int32_t branch) {
  if (textSource.charMode == ENCODING_DOUBLE_BYTE || branch >= an.copySlots ||
      an.stateBase[branch] < 0 || an.liveFirst[branch] != an.liveFirst[branch + 1]) {
    return nullptr;
  }
  return &stretchOf(an.stateBase[branch], true);
}

int32_t inStretch(int64_t from, int64_t to, int32_t outcome, PathQuery* q) {
  if (q->position < from || q->position >= to) return -1;
  if (to < q->until) q->until = to;
  return outcome;
}

// A scan at the position, as runScanOnce answers at its entry.
int32_t knownScanOutcome(int32_t slot, PathQuery* q) {
  const Instruction& in = memo.program[slot];
  const Stretch* stretch =
      stretchAfterScan(slot + (in.opcode == OP_SET_SCAN ? setSlotCount(in, an.encodingMode) : 1));
  if (stretch == nullptr) return -1;
  const int32_t failed = inStretch(stretch->from, stretch->to, 0, q);
  return failed >= 0 ? failed : inStretch(stretch->matchFrom, stretch->matchTo, 1, q);
}

// A forward branch: either way may reach the MATCH. Where it enters a
// one-item loop whose scan ends in a branch back with the same exit, that
// branch back is this one again at each position the scan passed: a run
// that failed from `from` passed every position up to `to` and tried the
// exit there too, so inside its stretch both ways are known to fail.
int32_t knownBranchOutcome(int32_t slot, int32_t offset, PathQuery* q) {
  const Instruction& in = memo.program[slot];
  const int32_t first = slot + in.branch();
  const int32_t second = slot + in.next();
  if (first >= an.copySlots || second >= an.copySlots) return -1;
  const Instruction& item = memo.program[first];
  if (offset == 0 && (item.opcode == OP_ANY_SCAN || item.opcode == OP_SET_SCAN || item.opcode == OP_CHAR_SCAN)) {
    const int32_t back =
        first + (item.opcode == OP_SET_SCAN ? setSlotCount(item, an.encodingMode) : 1);
    const Instruction& loop = memo.program[back];
    const Stretch* stretch = back < an.copySlots && (loop.opcode == OP_SPLIT ||
                                                     loop.opcode == OP_SPLIT_FIRST) &&
                                     loop.passGuard() == 0 && back + loop.branch() == first &&
                                     back + loop.next() == second
                                 ? stretchAfterScan(back)
                                 : nullptr;
    if (stretch != nullptr && q->position > stretch->from) {
      const int32_t failed = inStretch(stretch->from, stretch->to, 0, q);
      if (failed >= 0) return failed;
    }
  }
  const int32_t a = knownPathOutcome(first, offset, q);
  if (a == 1) return 1;
  const int32_t b = knownPathOutcome(second, offset, q);
  return b == 1 ? 1 : a == 0 && b == 0 ? 0 : -1;
}

int32_t knownPathOutcome(int32_t slot, int32_t offset, PathQuery* q) {
  while (--q->budget >= 0 && slot > 0 && slot < an.copySlots) {
    const Instruction& in = memo.program[slot];
    if (an.pageBase[slot] >= 0) {
      const int32_t known = knownPagedOutcome(slot, offset, q);
      if (known >= 0) return known;
    }
    switch (in.opcode) {
      case OP_MATCH:
        return 1;
      case OP_GROUP_START:
      case OP_GROUP_END:
      case OP_MARK_CURSOR:
        ++slot;
        break;
      case OP_JUMP:
        if (in.next() <= 0) return -1;
        slot += in.next();
        break;
      case OP_NOT_AHEAD: {
        // The path goes on past the inner body where that body fails.
        const int32_t inner = knownPathOutcome(slot + 1, offset, q);
        if (inner != 0) return inner < 0 ? -1 : 0;
        if (in.next() <= 0) return -1;
        slot += in.next();
        break;
      }
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
        if (in.passGuard() != 0 || in.branch() <= 0 || in.next() <= 0) return -1;
        return knownBranchOutcome(slot, offset, q);
      case OP_ANY_SCAN:
      case OP_SET_SCAN:
      case OP_CHAR_SCAN:
        return offset == 0 ? knownScanOutcome(slot, q) : -1;
      case OP_CHAR:
      case OP_ANY:
      case OP_SET: {
        // The path ends where the item fails; it goes on a byte further.
        const int32_t takes = itemTakesByte(in, offset, q);
        if (takes <= 0) return takes;
        ++offset;
        slot += in.opcode == OP_SET ? setSlotCount(in, an.encodingMode) : 1;
        break;
      }
      default:
        return -1;
    }
  }
  return -1;
}

// Sets the registers that the goal's state holds, as its key says: the
// counters of the loops around it, and its pass-start flags (a flag set
// says the pass began at the run's start, offset 0).
void setGoalRegisters(const Goal& goal) {
  MatcherState& s = m();
  int64_t rest = goal.key - an.stateBase[goal.slot];
  for (int32_t k = an.liveFirst[goal.slot]; k < an.liveFirst[goal.slot + 1]; ++k) {
    const LiveItem& item = an.live[k];
    const int32_t value = static_cast<int32_t>(rest / item.stride % item.radix);
    if (item.counter >= 0) {
      s.counters[item.counter] = value;
    } else if (item.reg < s.passStartCount) {
      s.passStarts[item.reg] = value != 0 ? 0 : -1;
    }
  }
}

// Runs the body of the look-ahead at `notAhead` at the pointer, as
// lookAheadBodyMatchesMemoized does, with the stack kept small: a run whose
// stack has grown to the frame limit at a state that the pages record (a
// branch back, deep in a loop) is left, that state is run on its own
// first, as a goal, and its answer recorded, and the run is made again,
// now to find that state answered. The goal's own run may leave for a
// goal of its own further on; the runs waiting form a stack of goals, a
// goal for each stretch of the limit's frames. Each goal is a state not
// answered before, whose answer is then kept, so the runs end; a run made
// again repeats no more than the frames it held, so the work stays within
// a small multiple of the plain run's, and the frames within the limit.
// 1, 0 or -8, with the pointer and the registers as they were.
int32_t runBodyByGoals(const Instruction* notAhead, int64_t* steps) {
  MatcherState& s = m();
  const int64_t origin = memo.attemptStart;
  int32_t counters[REPEAT_COUNTERS];
  std::memcpy(counters, s.counters, sizeof counters);
  if (goals.passStartCapacity < s.passStartCount) {
    if (!memGrowArray(&goals.passStarts, s.passStartCount)) return REGEX_OUT_OF_MEMORY;
    goals.passStartCapacity = s.passStartCount;
  }
  const size_t passStartBytes = static_cast<size_t>(s.passStartCount) * sizeof(int32_t);
  if (passStartBytes > 0) std::memcpy(goals.passStarts, s.passStarts, passStartBytes);
  const auto restoreFirstRegisters = [&]() {
    std::memcpy(s.counters, counters, sizeof counters);
    if (passStartBytes > 0) std::memcpy(s.passStarts, goals.passStarts, passStartBytes);
  };
  goals.count = 0;
  Goal current{static_cast<int32_t>(notAhead + 1 - memo.program), origin, -1, -1};
  for (;;) {
    memo.attemptStart = current.position;
    const Instruction* from = memo.program + current.slot;
    const int32_t result = matcher_internal::lookAheadBodyMatchesMemoized(notAhead, from, steps);
    if (result == matcher_internal::LOOK_AHEAD_TOO_DEEP) {
      // The pointer stands at the goal taken.
      goals.stack[goals.count++] = current;
      current = goals.taken;
      ++goalRuns;
      setGoalRegisters(current);
      continue;
    }
    if (result >= 0 && goals.count > 0) {
      // A goal answered: the run that waited for it is made again.
      setPageBit(current.position, current.state, result == 1);
      const int64_t left = current.position;
      current = goals.stack[--goals.count];
      matcher_internal::movePointerBack(left - current.position);
      if (goals.count > 0) {
        setGoalRegisters(current);
      } else {
        restoreFirstRegisters();
      }
      continue;
    }
    // The first run answered, or memory ran out.
    if (result < 0) matcher_internal::movePointerBack(current.position - origin);
    goals.count = 0;
    restoreFirstRegisters();
    memo.attemptStart = origin;
    return result;
  }
}

// The answer of the body at `notAhead` at the position, and the positions
// that share it, when the stretches hold it: 1, 0, or -1 with *until
// undefined.
int32_t knownBodyOutcome(const Instruction* notAhead, int64_t position, int64_t* until) {
  PathQuery q{position, INT64_MAX, 64};
  const int32_t known = knownPathOutcome(static_cast<int32_t>(notAhead - memo.program) + 1, 0, &q);
  *until = q.until;
  return known;
}

}  // namespace

int32_t lookAheadBodyMatchesAt(const Instruction* notAhead, int64_t searchPosition,
                               int64_t* steps, int64_t* until) {
  const int64_t position = memo.base + searchPosition;
  const int32_t known = knownBodyOutcome(notAhead, position, until);
  if (known >= 0) {
    if (*until != INT64_MAX) *until -= memo.base;
    ++*steps;
    return known;
  }
  // The ring moves on with the furthest position asked: no body reads
  // before it, but for a few asked again behind it, which go unrecorded
  // there.
  if (position > memo.ringFrom) {
    clearRows(memo.ringFrom, position);
    memo.ringFrom = position;
    releasePagesBefore(position);
  }
  memo.attemptStart = position;
  const int32_t result = runBodyByGoals(notAhead, steps);
  // The stretches the run left may answer the next positions too.
  if (result < 0 || knownBodyOutcome(notAhead, position, until) != result) *until = position + 1;
  if (*until != INT64_MAX) *until -= memo.base;
  return result;
}

}  // namespace backtrack_memo

int32_t runMemoizedSearch(const PikeCandidates& candidates) {
  const bool continuation = textSource.charMode == ENCODING_UTF8 &&
                            (matcher_internal::byteAtPointer() & 0xC0) == 0x80;
  if (!backtrack_memo::startSearch(false, 0, continuation)) return REGEX_OUT_OF_MEMORY;
  const bool utf8 = textSource.charMode == ENCODING_UTF8;
  for (;;) {
    if ((memo.attemptStart == memo.base || !candidates.once) && pikeCandidateAllowed(candidates)) {
      const int32_t result = runProgramMemoized(compiledPattern.program);
      if (result != 0) {
        endSearch();
        return result == 1 ? 0 : result;
      }
    }
    // Nothing recorded past this position: the search goes on without the
    // memo, with its own scans for candidates.
    if (candidates.once || memo.marked <= memo.attemptStart + 1) {
      endSearch();
      return 1;
    }
    if (matcher_internal::byteAtPointer() < 0) {
      endSearch();
      return PIKE_TEXT_END;
    }
    // One position on: in UTF-8 text past the character as it decodes, or
    // past the continuation bytes after the byte, as the search's own scan
    // would go.
    int32_t length = 1;
    if (utf8 && candidates.stepCharacters) characterLength(&length);
    int64_t moved = 0;
    do {
      if (!matcher_internal::stepPointer()) {
        endSearch();
        return PIKE_TEXT_END;
      }
      ++moved;
    } while (moved < length || (utf8 && !candidates.stepCharacters && (matcher_internal::byteAtPointer() & 0xC0) == 0x80));
    clearRows(memo.attemptStart, memo.attemptStart + moved);
    memo.attemptStart += moved;
    memo.ringFrom = memo.attemptStart;
    releasePagesBefore(memo.ringFrom);
  }
}

int64_t memoSteps() { return stepCount; }
void clearMemoSteps() {
  stepCount = 0;
  goalRuns = 0;
}
int64_t memoGoalRuns() { return goalRuns; }

int64_t lookAheadAnswerBytes() { return pages.held * pages.words * 8 + backwardBodyBytes(); }

int64_t memoBitmapBytes() { return memo.bitWords * static_cast<int64_t>(sizeof(uint64_t)); }
