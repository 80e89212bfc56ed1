// The Pike VM: a compiled program run over the text in one forward pass.
//
// The backtracking matcher (matcher.cpp) follows one path at a time and can
// take time exponential in the text on loops that match the same text in
// more than one way; tried at every start position it reads a long line
// once per position, and every loop pass costs it a frame. This engine runs
// all paths at once instead (Thompson's simulation, in the form of Pike and
// of RE2's nfa.cc): a thread is a path through the program that waits at a
// consuming instruction, and all threads stand at the same position. At each
// position the threads are kept in priority order, the order in which the
// backtracker would try them; each step tests the byte at the position for
// every thread and lets the successful ones go on, in order, to their next
// consuming instruction. Two threads that reach the same state at the same
// position have the same future, so only the first, of higher priority, is
// kept: the thread list never holds more than the program's states. A new
// thread starts at every candidate position at the lowest priority (the
// backtracker tries later starts only after earlier ones failed); when a
// thread reaches MATCH, every thread after it is dropped, and the threads
// before it may still find a match they would have reported first. So the
// answer is the backtracker's: the leftmost start, and there the first match
// in priority order, with the same length, cursor mark and groups. Where the
// last thread ends the search goes on over the next few bytes with an empty
// list, starting threads at the candidates there (IDLE_LIMIT): candidates
// that stand close together, every b of "abab" under (?!(ba)*c)b[^a], are
// so passed in one search, not a search each.
//
// A state is the instruction plus whatever decides the future there: the
// counters of the counted loops around it (a counter above an unbounded
// loop's minimum is held at the minimum, where every higher count behaves
// alike) and, for the loops whose body may be empty, whether the pass began
// at the current position. The group bounds and the cursor mark ride along
// in each thread and are never part of the state. A program is run here only
// when its states stay within PIKE_STATE_LIMIT and it has no BACKREF; the
// others stay with the backtracker (backtrack_memo.cpp).
//
// A look-ahead (NOT_AHEAD) is a test of the text after the position, and
// whether its body matches there depends on the position alone, not on the
// thread that asks. So the first thread to reach it at a position has the
// body run there, by the backtracker itself on the body's slots, and every
// later thread at the position takes that answer. A body without an open
// loop and with few paths (lookAheadBodiesAreShort) is bounded by the
// program, so the search stays linear, in memory of the program's size: no
// frame is kept per loop pass, as the backtracker keeps them. A body with an
// open loop (?!.*x) could read to the line's end at every position: it is
// run by the memoizing backtracker (backtrack_memo.cpp), which keeps what
// the body found across the positions of a search, and of the searches of
// one text, so that together they read the text once; it tells how far on
// its answer holds, and the VM asks again only past that. A skipped cycle
// (below) checks no answer that is so known. A body of a few plain items is read
// straight from the window, and where its first item does not take the byte
// the answer (the body fails) holds over the run of such bytes after it; the
// answers of a body that reads a few characters are kept by those bytes, so
// that text which repeats itself is not run through the body again; a step
// of the transition cache that took answers is replayed only where they
// hold (over a skipped cycle, where the bytes a body reads repeat, without
// asking). A body's answer is a property of the text at its position: answers
// are kept by offset in the text from one search to the next while the text
// source names the same text.
//
// Every thread stands at the same byte. A character of several bytes (the
// line-end pair CR LF of NEWLINE; in double-byte text a lead byte and its
// trail; a UTF-8 sequence) is tested at its first byte, by the matcher's own
// item routines (performChar, performAny, performSet, which decode and
// compare exactly as the backtracker does), and the thread then waits out
// its other bytes in tail states, one a byte. In double-byte text no thread
// starts on a trail byte; in UTF-8 text threads start where the search's own
// scan would try a start.
//
// Text is read as the matcher reads it: straight from the window where the
// matcher reads straight, through the text source with the same questions
// (HasMore, AtLineEnd, AtLineStart) where it asks them, so the window edges
// answer alike. The scan instructions of the loop pass run as their plain
// items: a scan only skips the positions where its loop's continuation
// cannot begin. Away from the window's edges a step over a byte that is a
// character of its own (any byte in single-byte text, an ASCII byte in UTF-8
// text, in double-byte text a byte whose trail no thread reads) depends only
// on the thread states, the byte and whether a thread starts next, by
// records too where the program has no line test, so such steps are
// recorded in a transition cache of fixed size and replayed (see the cache's
// section), and so is the follow of the new thread a search begins with.
// A search after every match of a line where matches stand a few bytes
// apart (b(?!x) over a line of b) then costs a few lookups: its cached steps
// are followed by their states alone, and the match's record is made from
// the operations of the threads it descends from; the search the driver
// starts just after such a match goes to the short run at once, at the next
// candidate (resumePikeVm), without a search's set-up. Where the list comes
// back to the same cached state every few bytes over text that repeats them
// (a long run of "a" under a*b, "abab" under (a|b)+), whole cycles of such
// steps are passed after their bytes and look-ahead answers are checked,
// without touching the records, when that provably leaves the same records
// as the replay (see the section on skipping cycles). Memory is the
// program's: two thread lists, a mark per state, a work stack, all bounded
// by the states, and the cache. The program is chosen
// per search by pikeVmTakesProgram: the backtracker keeps the programs it
// runs in linear time itself, being faster on them. Tested by
// pike_vm_test.cpp (steps against text length, the choice of engine,
// agreement with the backtracker on random programs and on lines of short
// matches) and the end-to-end suite.
#include "pattern/pike_vm.h"

#include <bit>
#include <cstring>

#include "pattern/backtrack_memo.h"
#include "pattern/body_backward.h"
#include "pattern/compiled_pattern.h"
#include "pattern/covering_ranges.h"
#include "pattern/lazy_dfa.h"
#include "pattern/matcher.h"
#include "pattern/matcher_internal.h"
#include "pattern/text_source.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

using matcher_internal::byteAtPointer;
using matcher_internal::m;
using matcher_internal::movePointerBack;
using matcher_internal::OFFSET_LIMIT;
using matcher_internal::refreshWindow;
using matcher_internal::setBitmapHas;
using matcher_internal::stepPointer;

// States (instruction and loop state) a program may have; beyond this the
// program stays with the backtracker. With a thread record of about ten
// words this keeps the thread lists within about 2 MiB each.
constexpr int64_t PIKE_STATE_LIMIT = 1 << 15;
// Pass-start flags are bits of one word.
constexpr int32_t PIKE_REGISTER_LIMIT = 62;

RegexEngine engineChoice = REGEX_ENGINE_AUTO;
int64_t stepCount = 0;

// The candidates of the last search whose match a short run found, for the
// search the driver starts just after it (resumePikeVm); once: none.
PikeCandidates resumeCandidates{nullptr, nullptr, true};
uint32_t resumeAnalysis = 0;  // the analysis they were found under

// What pikeCandidateAllowed answered under those candidates for each byte,
// -1 not yet asked. Inside the window the search's start tests answer a
// byte other than a line feed alike wherever it stands (the first bytes,
// the start of a line, which only a line feed breaks, the ASCII members of
// the first characters; in UTF-8 text a byte from 0x80 on is a character's
// to answer), so the resumed searches, which test a position or two after
// every match, ask once per byte.
int8_t resumeByteAnswers[256];

// ---------------------------------------------------------------------------
// Program analysis

// Fields of a thread record, 64-bit words; the group bounds (start, end per
// group used) and the counters follow.
enum ThreadField : int32_t {
  FIELD_PC = 0,  // instruction index; past the program: the tail of a NEWLINE
  FIELD_START,   // position where the thread started
  FIELD_MARK,    // cursor mark, offset + 1; 0 none
  FIELD_ENDS,    // bit g: group g recorded an end
  FIELD_PASSES,  // bit r: pass-start register r was set at this position
  FIELD_CAPTURES,
};

// A part of the state at an instruction: a counter (field, radix) or a
// pass-start flag (bit).
struct LiveItem {
  int32_t field;  // counter field, or -1 for a pass-start flag
  int32_t bit;
  int64_t radix;
  int64_t stride;
};

struct Shape {
  // The program the analysis describes, kept to recognize it again.
  Instruction* copy;
  int32_t copySlots;
  // The compiler's number of the program (compiledPattern.generation) once
  // the copy was found to be it; 0 none.
  uint32_t compiledGeneration;
  int32_t loopGuards;
  bool valid;
  bool usable;
  bool backtrackerLinear;  // the backtracker runs it in linear time (see backtrackerIsLinear)
  bool handedOver;         // the backtracker ran out of steps on it in a search
  bool lookAhead;          // it has NOT_AHEAD
  bool lineTests;          // it has LINE_START, LINE_END or NEWLINE: by records they ask the source
  int32_t slots;           // instructions and member data of the program
  int32_t textMode;        // the character mode of the text (charMode)
  int32_t setMode;         // the mode that decides a SET's slots
  int32_t pcCount;         // slots plus the tails
  int32_t* tailOf;         // per slot: its first tail index, else -1
  int32_t* ownerOfTail;
  int64_t* stateBase;  // per index: its first state number
  int32_t* liveFirst;  // per index: its first live item; pcCount + 1 entries
  LiveItem* live;
  int32_t liveCount;
  int32_t liveCapacity;
  int32_t counterField[REPEAT_COUNTERS];
  int32_t groups;
  int32_t fields;
  int64_t states;
  // Per NOT_AHEAD slot, in single-byte and UTF-8 text: the number of items
  // of a body that is a row of CHAR, ANY and SET items; 0 for others.
  int32_t* bodyItems;
  // Per NOT_AHEAD slot: the most characters its body reads, when its answer
  // depends on them alone; -1 for others, BODY_BY_MEMO for a body that the
  // memoized backtracker answers.
  int32_t* bodyReach;
  bool bodiesByMemo;  // some body is answered by the memo
  int32_t* lookAheadSlots;  // the NOT_AHEAD slots
  int32_t lookAheadCount;
};

constexpr int32_t BODY_BY_MEMO = -2;

Shape shape;
// Counts the analyses, so that the transition cache knows its program.
uint32_t analysisGeneration = 1;

bool isSet(uint8_t opcode) { return opcode == OP_SET || opcode == OP_SET_SCAN; }

bool isBranchBack(uint8_t opcode) {
  return opcode == OP_SPLIT || opcode == OP_SPLIT_FIRST || opcode == OP_COUNT_LOOP ||
         opcode == OP_COUNT_LOOP_MIN;
}

// The bytes after the first that a thread at the instruction may have to
// wait out, each a tail state: the line feed of a CR LF that NEWLINE takes,
// and in double-byte and UTF-8 text the rest of a character of several bytes
// (CHAR in double-byte text tests and takes the lead byte alone).
int32_t tailCount(uint8_t opcode, int32_t textMode) {
  switch (opcode) {
    case OP_NEWLINE:
      return 1;
    case OP_CHAR:
    case OP_CHAR_SCAN:
      return textMode == ENCODING_UTF8 ? 5 : 0;
    case OP_ANY:
    case OP_ANY_SCAN:
    case OP_SET:
    case OP_SET_SCAN:
      return textMode == ENCODING_UTF8 ? 5 : textMode == ENCODING_DOUBLE_BYTE ? 1 : 0;
    default:
      return 0;
  }
}

bool addLive(int32_t field, int32_t bit, int64_t radix) {
  if (shape.liveCount == shape.liveCapacity) {
    const int32_t wanted = shape.liveCapacity < 64 ? 64 : shape.liveCapacity * 2;
    if (!memGrowArray(&shape.live, wanted)) return false;
    shape.liveCapacity = wanted;
  }
  shape.live[shape.liveCount++] = LiveItem{field, bit, radix, 0};
  return true;
}

// Where an instruction's loops begin and end: a counted loop's counter lives
// from its body's first slot to its COUNT_LOOP, a pass-start register from
// the slot after its record to the branch that reads it.
struct LiveRange {
  int32_t from;
  int32_t to;
  int32_t field;
  int32_t bit;
  int64_t radix;
};

// Whether the backtracker's work on the program is bounded by the program
// alone at every start, and no attempt reads text that a later start reads
// again: the backtracker, faster per byte, keeps such programs. That holds
// when the program has no loop but a repetition of a fixed count of a
// straight body (x{4}) and a one-item loop that runs to the program's end
// (x*, which then matches, so no later start reads its run again), and at
// most PATHS_LIMIT_LOG2 forward branches (alternations, optional parts).
constexpr int32_t PATHS_LIMIT_LOG2 = 4;
constexpr int32_t FIXED_COUNT_LIMIT = 64;

bool isStraight(uint8_t opcode) {
  switch (opcode) {
    case OP_CHAR:
    case OP_ANY:
    case OP_SET:
    case OP_MARK_CURSOR:
    case OP_LINE_START:
    case OP_LINE_END:
    case OP_GROUP_START:
    case OP_GROUP_END:
    case OP_NEWLINE:
      return true;
    default:
      return false;
  }
}

bool backtrackerIsLinear(const Instruction* program, int32_t lastSlot) {
  int32_t forwardBranches = 0;
  for (int32_t pc = 0; pc <= lastSlot;) {
    const Instruction& in = program[pc];
    const int32_t length = isSet(in.opcode) ? setSlotCount(in, shape.setMode) : 1;
    switch (in.opcode) {
      case OP_SPLIT:
      case OP_SPLIT_FIRST: {
        if (in.branch() > 0 && in.next() > 0) {
          ++forwardBranches;
          break;
        }
        // The branch back of a one-item loop that the loop pass made a scan
        // to the program's end.
        const Instruction& item = program[pc + in.branch()];
        const bool tail = in.next() == 1 && pc + 1 == lastSlot && in.branch() < 0 &&
                          (item.opcode == OP_ANY_SCAN || item.opcode == OP_SET_SCAN ||
                           item.opcode == OP_CHAR_SCAN) &&
                          item.followKind() >= RUN_TO_END_CROSSING &&
                          pc + in.branch() + (isSet(item.opcode) ? 3 : 1) == pc;
        if (!tail) return false;
        break;
      }
      case OP_JUMP:
        if (in.next() <= 0) return false;
        break;
      case OP_COUNT_LOOP:
      case OP_COUNT_LOOP_MIN: {
        if (in.minimum() != in.maximum() || in.maximum() > FIXED_COUNT_LIMIT) return false;
        if (in.branch() >= 0) return false;
        for (int32_t k = pc + in.branch(); k < pc;) {
          if (!isStraight(program[k].opcode)) return false;
          k += isSet(program[k].opcode) ? setSlotCount(program[k], shape.setMode) : 1;
        }
        break;
      }
      case OP_COUNT_RESET:
        if (in.passMark() == PASS_START_MARK) return false;
        break;
      case OP_ANY_SCAN:
      case OP_SET_SCAN:
      case OP_CHAR_SCAN:
        if (in.followKind() < RUN_TO_END_CROSSING) return false;
        break;
      default:
        break;
    }
    pc += length;
  }
  return forwardBranches <= PATHS_LIMIT_LOG2;
}

// The look-ahead bodies the VM can evaluate: a thread that reaches NOT_AHEAD
// at a position asks whether the body matches there, and the backtracker
// runs the body to answer (matcher.cpp). The answer depends on the position
// alone, so it is asked once a position, and the VM stays linear when each
// such run is bounded: a body without open loops (a counted loop of a small
// maximum, x? and x{2,3}, is bounded), whose paths times their length stay
// within LOOK_AHEAD_WORK_LIMIT steps. A body with an open loop (?!.*x) could
// read to the line's end at every position; such programs stay with the
// memoizing backtracker.
constexpr int64_t LOOK_AHEAD_WORK_LIMIT = 512;
constexpr int32_t LOOK_AHEAD_PASS_LIMIT = 16;
// A body that reads at most this many characters and never asks the line's
// bounds has its answers kept by the bytes it could read (VerdictEntry).
constexpr int32_t BODY_REACH_LIMIT = 16;

// The paths from a slot to the end of a range and the most instructions on
// one of them; `paths` beyond the limit means the range is not such a body.
// `reach` is the most characters a path reads, and `plain` says that no path
// asks the line's bounds (LINE_START, LINE_END, NEWLINE): the answer of such
// a body then depends on the next `reach` characters alone.
struct PathBound {
  int64_t paths;
  int64_t length;
  int64_t reach;
  bool plain;
};

constexpr PathBound NO_BOUND = PathBound{LOOK_AHEAD_WORK_LIMIT + 1, 0, 0, false};

inline int64_t capped(int64_t value) {
  return value > LOOK_AHEAD_WORK_LIMIT ? LOOK_AHEAD_WORK_LIMIT + 1 : value;
}

struct BodyReader {
  const Instruction* program;
  const uint8_t* isStart;

  bool lands(int64_t target, int32_t from, int32_t end) const {
    return target > from && target <= end && isStart[target];
  }

  // From slot k to slot `end`, where the range is left.
  PathBound bound(int32_t k, int32_t end, int32_t depth) const {
    if (k == end) return PathBound{1, 0, 0, true};
    if (depth > LOOK_AHEAD_WORK_LIMIT) return NO_BOUND;
    const Instruction& in = program[k];
    const int32_t next = k + (isSet(in.opcode) ? setSlotCount(in, shape.setMode) : 1);
    switch (in.opcode) {
      case OP_CHAR:
      case OP_ANY:
      case OP_SET:
        return lands(next, k, end) ? step(bound(next, end, depth + 1), 1, 1) : NO_BOUND;
      case OP_MARK_CURSOR:
      case OP_GROUP_START:
      case OP_GROUP_END:
        return lands(next, k, end) ? step(bound(next, end, depth + 1), 1, 0) : NO_BOUND;
      case OP_LINE_START:
      case OP_LINE_END:
      case OP_NEWLINE: {
        if (!lands(next, k, end)) return NO_BOUND;
        PathBound after = step(bound(next, end, depth + 1), 1, 2);
        after.plain = false;
        return after;
      }
      case OP_JUMP:
        return lands(int64_t{k} + in.next(), k, end)
                   ? step(bound(k + in.next(), end, depth + 1), 1, 0)
                   : NO_BOUND;
      case OP_SPLIT:
      case OP_SPLIT_FIRST: {
        if (!lands(int64_t{k} + in.branch(), k, end) || !lands(int64_t{k} + in.next(), k, end)) {
          return NO_BOUND;
        }
        // Each path found costs a call at most: the count stops at the limit.
        const PathBound a = bound(k + in.branch(), end, depth + 1);
        if (a.paths > LOOK_AHEAD_WORK_LIMIT) return NO_BOUND;
        const PathBound b = bound(k + in.next(), end, depth + 1);
        return PathBound{capped(a.paths + b.paths), 1 + (a.length > b.length ? a.length : b.length),
                         a.reach > b.reach ? a.reach : b.reach, a.plain && b.plain};
      }
      case OP_NOT_AHEAD: {
        // The inner body is run, then the path goes on past it.
        const int64_t inner = int64_t{k} + in.next() - 1;
        if (!lands(inner, k, end) || program[inner].opcode != OP_MATCH) return NO_BOUND;
        const PathBound body = bound(k + 1, static_cast<int32_t>(inner), depth + 1);
        if (body.paths > LOOK_AHEAD_WORK_LIMIT) return NO_BOUND;
        PathBound after = step(bound(static_cast<int32_t>(inner) + 1, end, depth + 1),
                               1 + capped(body.paths * (body.length + 1)), 0);
        if (body.reach > after.reach) after.reach = body.reach;
        after.plain = after.plain && body.plain;
        return after;
      }
      case OP_COUNT_RESET:
        if (in.passMark() == PASS_START_MARK) {
          return lands(next, k, end) ? step(bound(next, end, depth + 1), 1, 0) : NO_BOUND;
        }
        return countedLoop(k, end, depth);
      default:
        return NO_BOUND;
    }
  }

  static PathBound step(PathBound after, int64_t cost, int64_t characters) {
    return PathBound{after.paths, capped(after.length + cost), capped(after.reach + characters),
                     after.plain};
  }

  // COUNT_RESET at k (a zero minimum is a SPLIT before it, which may pass
  // the loop by), the body after it and its COUNT_LOOP: the first pass is
  // always made, so every count of passes from 1, or the minimum, to the
  // maximum, each pass one of the body's paths.
  PathBound countedLoop(int32_t k, int32_t end, int32_t depth) const {
    for (int32_t back = k + 1; back < end; ++back) {
      const Instruction& loop = program[back];
      if (!isStart[back] || (loop.opcode != OP_COUNT_LOOP && loop.opcode != OP_COUNT_LOOP_MIN) ||
          loop.counter() != program[k].counter()) {
        continue;
      }
      if (int64_t{back} + loop.branch() != k + 1 || loop.next() != 1 ||
          loop.maximum() > LOOK_AHEAD_PASS_LIMIT || loop.minimum() < 0 ||
          loop.minimum() > loop.maximum() || !lands(int64_t{back} + 1, k, end)) {
        return NO_BOUND;
      }
      const PathBound body = bound(k + 1, back, depth + 1);
      if (body.paths > LOOK_AHEAD_WORK_LIMIT) return NO_BOUND;
      const PathBound after = bound(back + 1, end, depth + 1);
      int64_t loopPaths = 0;
      int64_t power = 1;
      for (int32_t passes = 1; passes <= loop.maximum(); ++passes) {
        power = capped(power * body.paths);
        if (passes >= loop.minimum()) loopPaths = capped(loopPaths + power);
      }
      return PathBound{capped(loopPaths * after.paths),
                       capped(loop.maximum() * (body.length + 2) + 1 + after.length),
                       capped(loop.maximum() * body.reach + after.reach),
                       body.plain && after.plain};
    }
    return NO_BOUND;
  }
};

// Whether every look-ahead body of the program is such, or else answered by
// the memoized backtracker, whose work over all the positions of a search
// is linear (backtrack_memo.cpp).
bool lookAheadBodiesAreShort(const Instruction* program, int32_t lastSlot, const uint8_t* isStart) {
  const BodyReader reader{program, isStart};
  shape.bodiesByMemo = false;
  shape.lookAheadCount = 0;
  for (int32_t pc = 0; pc <= lastSlot; ++pc) {
    if (!isStart[pc] || program[pc].opcode != OP_NOT_AHEAD) continue;
    shape.lookAheadSlots[shape.lookAheadCount++] = pc;
    const int64_t match = static_cast<int64_t>(pc) + program[pc].next() - 1;
    if (match <= pc || match >= lastSlot || !isStart[match] || program[match].opcode != OP_MATCH) {
      return false;
    }
    const PathBound body = reader.bound(pc + 1, static_cast<int32_t>(match), 0);
    if (body.paths * (body.length + 1) > LOOK_AHEAD_WORK_LIMIT) {
      if (!backtrack_memo::memoRunsLookAheadBodies()) return false;
      shape.bodyReach[pc] = BODY_BY_MEMO;
      shape.bodiesByMemo = true;
      continue;
    }
    const bool byBytes = body.plain && body.reach <= BODY_REACH_LIMIT &&
                         shape.textMode != ENCODING_DOUBLE_BYTE;
    shape.bodyReach[pc] = byBytes ? static_cast<int32_t>(body.reach) : -1;
  }
  return true;
}

// Bodies that test a few bytes, (?!x) and (?![a-z]_) above all, are
// answered by reading the window straight, without running the backtracker.
constexpr int32_t BODY_ITEMS_LIMIT = 8;

void countBodyItems(const Instruction* program, int32_t lastSlot, const uint8_t* isStart) {
  for (int32_t pc = 0; pc <= lastSlot; ++pc) {
    if (!isStart[pc] || program[pc].opcode != OP_NOT_AHEAD) continue;
    int32_t items = 0;
    int32_t k = pc + 1;
    while (shape.textMode != ENCODING_DOUBLE_BYTE && items <= BODY_ITEMS_LIMIT && k < lastSlot &&
           (program[k].opcode == OP_CHAR || program[k].opcode == OP_ANY ||
            program[k].opcode == OP_SET)) {
      k += isSet(program[k].opcode) ? setSlotCount(program[k], shape.setMode) : 1;
      ++items;
    }
    const bool row = items > 0 && items <= BODY_ITEMS_LIMIT && program[k].opcode == OP_MATCH;
    shape.bodyItems[pc] = row ? items : 0;
  }
}

// Fills the shape for the program; false when out of memory (the shape is
// then unusable).
bool analyze(const Instruction* program, int32_t lastSlot) {
  Shape& sh = shape;
  sh.usable = false;
  sh.valid = false;
  sh.handedOver = false;
  ++analysisGeneration;
  const int32_t slots = lastSlot + 1;
  if (slots < 1) return true;
  if (!memGrowArray(&sh.copy, slots)) return false;
  std::memcpy(sh.copy, program, static_cast<size_t>(slots) * sizeof(Instruction));
  sh.copySlots = slots;
  sh.compiledGeneration = 0;
  sh.loopGuards = compiledPattern.loopGuards;
  sh.valid = true;
  sh.slots = slots;
  sh.textMode = textSource.charMode;
  sh.setMode = compiledPattern.encodingMode == ENCODING_UTF8 ? ENCODING_UTF8 : ENCODING_SINGLE_BYTE;

  // Instruction starts; anything the engine cannot run sends the program
  // to the backtracker.
  uint8_t* isStart = nullptr;
  if (!memGrowArray(&isStart, slots)) return false;
  std::memset(isStart, 0, static_cast<size_t>(slots));
  if (!memGrowArray(&sh.tailOf, slots)) {
    memFree(isStart);
    return false;
  }
  int32_t tails = 0;
  sh.groups = 0;
  sh.lookAhead = false;
  sh.lineTests = false;
  sh.bodiesByMemo = false;
  bool runnable = true;
  for (int32_t pc = 0; pc <= lastSlot && runnable;) {
    const Instruction& in = program[pc];
    isStart[pc] = 1;
    sh.tailOf[pc] = -1;
    if (in.opcode >= OPCODE_COUNT || in.opcode == OP_BACKREF) {
      runnable = false;
      break;
    }
    if (in.opcode == OP_NOT_AHEAD) sh.lookAhead = true;
    if (in.opcode == OP_LINE_START || in.opcode == OP_LINE_END || in.opcode == OP_NEWLINE) {
      sh.lineTests = true;
    }
    const int32_t waits = tailCount(in.opcode, sh.textMode);
    if (waits > 0) {
      sh.tailOf[pc] = tails;
      tails += waits;
    }
    if ((in.opcode == OP_GROUP_START || in.opcode == OP_GROUP_END) &&
        static_cast<uint32_t>(in.group()) < CAPTURE_GROUPS && in.group() + 1 > sh.groups) {
      sh.groups = in.group() + 1;
    }
    if (in.opcode == OP_COUNT_RESET && in.passMark() == PASS_START_MARK &&
        (in.passRegister() < 0 || in.passRegister() >= PIKE_REGISTER_LIMIT)) {
      runnable = false;
    }
    if ((in.opcode == OP_COUNT_LOOP || in.opcode == OP_COUNT_LOOP_MIN) &&
        in.counter() >= static_cast<uint32_t>(REPEAT_COUNTERS)) {
      runnable = false;
    }
    const int32_t length = isSet(in.opcode) ? setSlotCount(in, sh.setMode) : 1;
    if (length < 1) {
      runnable = false;
      break;
    }
    for (int32_t k = 1; k < length && pc + k <= lastSlot; ++k) sh.tailOf[pc + k] = -1;
    pc += length;
  }
  if (program[lastSlot].opcode != OP_MATCH || !isStart[lastSlot]) runnable = false;
  // Every branch lands on an instruction.
  for (int32_t pc = 0; pc <= lastSlot && runnable; ++pc) {
    if (!isStart[pc]) continue;
    const Instruction& in = program[pc];
    const bool twoWay = in.opcode == OP_SPLIT || in.opcode == OP_SPLIT_FIRST ||
                        in.opcode == OP_COUNT_LOOP || in.opcode == OP_COUNT_LOOP_MIN;
    if (twoWay || in.opcode == OP_JUMP) {
      const int64_t b = static_cast<int64_t>(pc) + in.next();
      if (b < 0 || b > lastSlot || !isStart[b]) runnable = false;
    }
    if (twoWay) {
      const int64_t a = static_cast<int64_t>(pc) + in.branch();
      if (a < 0 || a > lastSlot || !isStart[a]) runnable = false;
    }
  }
  if (runnable && sh.lookAhead) {
    if (!memGrowArray(&sh.bodyItems, slots) || !memGrowArray(&sh.bodyReach, slots) ||
        !memGrowArray(&sh.lookAheadSlots, slots)) {
      memFree(isStart);
      return false;
    }
    runnable = lookAheadBodiesAreShort(program, lastSlot, isStart);
    countBodyItems(program, lastSlot, isStart);
  }
  if (!runnable) {
    memFree(isStart);
    return true;
  }

  // Counters and pass-start registers, with the slots where they live.
  for (int32_t c = 0; c < REPEAT_COUNTERS; ++c) sh.counterField[c] = -1;
  int32_t fields = FIELD_CAPTURES + 2 * sh.groups;
  LiveRange* ranges = nullptr;
  int32_t rangeCount = 0;
  // At most a counter and a register per branch back.
  if (!memGrowArray(&ranges, 2 * static_cast<int64_t>(slots) + 1)) {
    memFree(isStart);
    return false;
  }
  uint64_t registersSeen = 0;
  for (int32_t pc = 0; pc <= lastSlot && runnable; ++pc) {
    if (!isStart[pc]) continue;
    const Instruction& in = program[pc];
    if (in.opcode == OP_COUNT_RESET && in.passMark() != PASS_START_MARK &&
        in.counter() < static_cast<uint32_t>(REPEAT_COUNTERS) &&
        sh.counterField[in.counter()] < 0) {
      sh.counterField[in.counter()] = fields++;
    }
    if (in.opcode == OP_COUNT_LOOP || in.opcode == OP_COUNT_LOOP_MIN) {
      // The counter is set to 0 by the COUNT_RESET just before the body and
      // read only within it; so outside it, it is no part of the state.
      const int32_t body = pc + in.branch();
      const Instruction& reset = program[body - 1 >= 0 ? body - 1 : 0];
      const bool bounded = in.maximum() != COUNT_UNBOUNDED;
      const int64_t radix =
          bounded ? static_cast<int64_t>(in.maximum()) : static_cast<int64_t>(in.minimum()) + 1;
      if (body < 1 || body > pc || !isStart[body - 1] || reset.opcode != OP_COUNT_RESET ||
          reset.passMark() == PASS_START_MARK || reset.counter() != in.counter() ||
          in.minimum() < 0 || radix < 1 || radix > PIKE_STATE_LIMIT) {
        runnable = false;
        break;
      }
      if (sh.counterField[in.counter()] < 0) sh.counterField[in.counter()] = fields++;
      ranges[rangeCount++] = LiveRange{body, pc, sh.counterField[in.counter()], -1, radix};
    }
    if (isBranchBack(in.opcode) && in.passGuard() != 0) {
      // The pass-start record sits at the body's first slot, the branch
      // back reads it; between them it is part of the state.
      const int32_t reg = in.passGuard() - 1;
      const int32_t guard = pc + in.branch();
      const Instruction& record = program[guard];
      if (reg < 0 || reg >= PIKE_REGISTER_LIMIT || (registersSeen >> reg) & 1u || guard > pc ||
          record.opcode != OP_COUNT_RESET || record.passMark() != PASS_START_MARK ||
          record.passRegister() != reg) {
        runnable = false;
        break;
      }
      registersSeen |= uint64_t{1} << reg;
      ranges[rangeCount++] = LiveRange{guard + 1, pc, -1, reg, 2};
    }
  }
  sh.fields = fields;
  if (!runnable) {
    memFree(ranges);
    memFree(isStart);
    return true;
  }

  // The live items of each instruction, their strides and the state
  // numbers. A tail has the live items of its instruction.
  sh.pcCount = slots + tails;
  bool grown = memGrowArray(&sh.ownerOfTail, tails + 1) &&
               memGrowArray(&sh.stateBase, sh.pcCount + 1) && memGrowArray(&sh.liveFirst, sh.pcCount + 1);
  if (!grown) {
    memFree(ranges);
    memFree(isStart);
    return false;
  }
  for (int32_t tail = 0; tail < tails; ++tail) sh.ownerOfTail[tail] = -1;
  for (int32_t k = 0; k < slots; ++k) {
    if (!isStart[k] || sh.tailOf[k] < 0) continue;
    const int32_t waits = tailCount(program[k].opcode, sh.textMode);
    for (int32_t tail = sh.tailOf[k]; tail < sh.tailOf[k] + waits; ++tail) sh.ownerOfTail[tail] = k;
  }
  // The ranges that cover each slot, in their order.
  int32_t* coverFirst = nullptr;
  int32_t* cover = nullptr;
  if (!coveringRanges(ranges, rangeCount, slots, &coverFirst, &cover)) {
    memFree(ranges);
    memFree(isStart);
    return false;
  }
  sh.liveCount = 0;
  int64_t states = 0;
  for (int32_t index = 0; index < sh.pcCount; ++index) {
    const int32_t pc = index >= slots ? sh.ownerOfTail[index - slots] : index;
    sh.liveFirst[index] = sh.liveCount;
    sh.stateBase[index] = states;
    if (pc < 0 || !isStart[pc]) continue;
    int64_t stride = 1;
    for (int32_t c = coverFirst[pc]; c < coverFirst[pc + 1]; ++c) {
      const LiveRange& range = ranges[cover[c]];
      for (int32_t k = sh.liveFirst[index]; k < sh.liveCount; ++k) {
        if (range.field >= 0 && sh.live[k].field == range.field) runnable = false;
      }
      if (!addLive(range.field, range.bit, range.radix)) {
        memFree(coverFirst);
        memFree(cover);
        memFree(ranges);
        memFree(isStart);
        return false;
      }
      sh.live[sh.liveCount - 1].stride = stride;
      stride *= range.radix;
      if (stride > PIKE_STATE_LIMIT) runnable = false;
      if (!runnable) break;
    }
    states += stride;
    if (states > PIKE_STATE_LIMIT || !runnable) {
      runnable = false;
      break;
    }
  }
  sh.liveFirst[sh.pcCount] = sh.liveCount;
  sh.stateBase[sh.pcCount] = states;
  sh.states = states;
  memFree(coverFirst);
  memFree(cover);
  memFree(ranges);
  memFree(isStart);
  sh.usable = runnable;
  sh.backtrackerLinear = backtrackerIsLinear(program, lastSlot);
  return true;
}

// The hold of the program (lazy_dfa.h) under which the shape was last found
// to describe it: within that search the answer stands.
uint32_t shapeHold = 0;

// Whether the shape is of this program, the compiled pattern's. The program
// the compiler made last time is known by its number, without comparing its
// slots: the driver starts a search after every match.
bool shapeDescribes(const Instruction* program, int32_t lastSlot) {
  const uint32_t hold = programHoldNumber();
  if (hold != 0 && shape.valid && shapeHold == hold) return true;
  const uint32_t generation = compiledPattern.generation;
  const bool describes =
      shape.valid && shape.copySlots == lastSlot + 1 &&
      shape.loopGuards == compiledPattern.loopGuards && shape.textMode == textSource.charMode &&
      shape.setMode == (compiledPattern.encodingMode == ENCODING_UTF8 ? ENCODING_UTF8
                                                                      : ENCODING_SINGLE_BYTE) &&
      ((generation != 0 && shape.compiledGeneration == generation) ||
       std::memcmp(shape.copy, program, static_cast<size_t>(lastSlot + 1) * sizeof(Instruction)) ==
           0);
  if (describes) {
    shapeHold = hold;
    shape.compiledGeneration = generation;
  }
  return describes;
}

// ---------------------------------------------------------------------------
// Run-time buffers

struct ThreadList {
  int64_t* records;
  int32_t count;
  int64_t words;  // room in 64-bit words; records of different programs differ in size
};

struct Job {
  int32_t field;  // the field a restore job gives back, or -1 for an instruction to follow
  int32_t pc;
  int64_t value;
};

// What following a thread did to its record, kept while a step is recorded
// for the transition cache: a field set to a constant, to the thread's
// offset plus a constant, or ORed with a constant.
enum OpKind : int32_t { RECORD_SET, RECORD_SET_OFFSET, RECORD_OR };

struct RecordOp {
  int32_t field;
  int32_t kind;
  int64_t value;
};

// A thread of the list a cached transition makes: its parent in the list
// before (-1: a new thread started at the position), its instruction and
// its operations.
struct CachedThread {
  int32_t parent;
  int32_t pc;
  int32_t opFirst;
  int32_t opCount;
};

struct Runtime {
  ThreadList lists[2];
  int64_t* work;      // the record of the thread being followed
  int64_t* seed;      // a new thread's record
  int64_t* best;      // the record of the match in hand
  int64_t bestEnd;    // its end position
  uint32_t* visited;  // per state: the round that visited it
  int64_t visitedCapacity;
  uint32_t round;
  Job* jobs;
  int32_t jobCount;
  int32_t jobCapacity;
  int32_t recordCapacity;  // fields the work, seed and best records hold
  // Recording a step for the transition cache.
  bool recording;
  bool memoBegun;             // the memo's search has begun (runPikeVm)
  bool foundByShortRun;       // the search's match came from replayShortRun
  bool startsOnContinuation;  // the search began on a UTF-8 continuation byte
  int32_t parent;  // the thread being followed: its index in the list before the step
  RecordOp* log;   // operations on the path being followed
  int32_t logCount;
  int32_t logCapacity;
  int32_t* movedParent;  // per thread past its byte: its index in the list before
  int32_t movedParentCapacity;
  int64_t nextSeed;  // UTF-8 text by characters: the next position a thread may start at
  int64_t lastSeed;  // and the last position found to be one
  // Per NOT_AHEAD slot: the offsets [verdictFrom, verdictTo) in the text of
  // its last verdict (verdictTo 0: none), and whether its body matched there.
  // A body's answer is a property of the text at its position, so verdicts
  // are kept from one search to the next over the same text (TextPlace's
  // number, verdictText; 0 when the source cannot name it) with the same
  // program analysis; verdictBase is the offset of the search's position 0.
  int64_t* verdictFrom;
  int64_t* verdictTo;
  uint8_t* bodyMatched;
  int32_t verdictCapacity;
  uint32_t verdictText;
  uint32_t verdictAnalysis;
  int64_t verdictBase;
  struct VerdictEntry* verdictTable;
  uint32_t verdictTableGeneration;
  uint32_t preparedAnalysis;  // the analysis whose program the buffers are grown for
};

Runtime rt;

// A body's answer kept by the bytes it could read from the position (see
// BODY_REACH_LIMIT), in a table of VERDICT_ENTRIES placed by hash: a text
// that repeats itself asks the same few questions again and again.
// The bytes are kept as the two words they fill, loaded from the text in
// its order, with zero past the body's reach: a key compared in two steps.
struct VerdictEntry {
  int32_t pc;  // the NOT_AHEAD slot, -1 for an empty entry
  uint8_t bodyMatched;
  uint64_t words[2];
};
static_assert(BODY_REACH_LIMIT <= 2 * sizeof(uint64_t), "a verdict key holds the body's reach");

constexpr int32_t VERDICT_ENTRIES = 1024;  // a power of two

bool prepareBuffers();

bool prepareRuntime() {
  Shape& sh = shape;
  if (rt.preparedAnalysis != analysisGeneration && !prepareBuffers()) return false;
  if (sh.lookAhead) {
    int64_t base = 0;
    uint32_t text = textSource.TextPlace != nullptr ? textSource.TextPlace(m().cur, &base) : 0;
    // A search that starts on a continuation byte of UTF-8 text reads its
    // first bytes as characters of their own; its answers are not kept.
    if (sh.textMode == ENCODING_UTF8 && (byteAtPointer() & 0xC0) == 0x80) text = 0;
    if (text == 0 || text != rt.verdictText || rt.verdictAnalysis != analysisGeneration) {
      for (int32_t k = 0; k < sh.lookAheadCount; ++k) rt.verdictTo[sh.lookAheadSlots[k]] = 0;
    }
    rt.verdictText = text;
    rt.verdictAnalysis = analysisGeneration;
    rt.verdictBase = text != 0 ? base : 0;
  }
  rt.lists[0].count = 0;
  rt.lists[1].count = 0;
  return true;
}

// The buffers of the program the analysis describes, grown once for it.
bool prepareBuffers() {
  Shape& sh = shape;
  if (rt.recordCapacity < sh.fields) {
    if (!memGrowArray(&rt.work, sh.fields) || !memGrowArray(&rt.seed, sh.fields) ||
        !memGrowArray(&rt.best, sh.fields)) {
      return false;
    }
    rt.recordCapacity = sh.fields;
  }
  if (rt.visitedCapacity < sh.states) {
    if (!memGrowArray(&rt.visited, sh.states)) return false;
    rt.visitedCapacity = sh.states;
    std::memset(rt.visited, 0, static_cast<size_t>(sh.states) * sizeof(uint32_t));
    rt.round = 0;
  }
  if (sh.lookAhead && rt.verdictCapacity < sh.slots) {
    rt.verdictText = 0;
    if (!memGrowArray(&rt.verdictFrom, sh.slots) || !memGrowArray(&rt.verdictTo, sh.slots) ||
        !memGrowArray(&rt.bodyMatched, sh.slots)) {
      return false;
    }
    std::memset(rt.verdictTo, 0, static_cast<size_t>(sh.slots) * sizeof(int64_t));
    rt.verdictCapacity = sh.slots;
  }
  if (sh.lookAhead) {
    if (rt.verdictTable == nullptr && !memGrowArray(&rt.verdictTable, VERDICT_ENTRIES)) return false;
    if (rt.verdictTableGeneration != analysisGeneration) {
      for (int32_t i = 0; i < VERDICT_ENTRIES; ++i) rt.verdictTable[i].pc = -1;
      rt.verdictTableGeneration = analysisGeneration;
    }
  }
  rt.preparedAnalysis = analysisGeneration;
  return true;
}

void nextRound() {
  if (++rt.round == 0) {
    std::memset(rt.visited, 0, static_cast<size_t>(rt.visitedCapacity) * sizeof(uint32_t));
    rt.round = 1;
  }
}

// Records are a few words: a plain loop beats a call to memcpy.
inline void copyRecord(int64_t* to, const int64_t* from) {
  const int32_t fields = shape.fields;
  for (int32_t i = 0; i < fields; ++i) to[i] = from[i];
}

bool appendThread(ThreadList* list, const int64_t* record) {
  const int32_t fields = shape.fields;
  const int64_t needed = (static_cast<int64_t>(list->count) + 1) * fields;
  if (needed > list->words) {
    const int64_t wanted = needed < 256 ? 256 : needed * 2;
    if (!memGrowArray(&list->records, wanted)) {
      return false;
    }
    list->words = wanted;
  }
  copyRecord(list->records + static_cast<int64_t>(list->count) * fields, record);
  ++list->count;
  return true;
}

bool pushJob(int32_t field, int32_t pc, int64_t value) {
  if (rt.jobCount == rt.jobCapacity) {
    const int32_t wanted = rt.jobCapacity < 64 ? 64 : rt.jobCapacity * 2;
    if (!memGrowArray(&rt.jobs, wanted)) {
      return false;
    }
    rt.jobCapacity = wanted;
  }
  rt.jobs[rt.jobCount++] = Job{field, pc, value};
  return true;
}

// An instruction to follow later; the operations logged after it was pushed
// are dropped when it is taken up.
inline bool pushAlternative(int32_t pc) { return pushJob(-1, pc, rt.logCount); }

bool logOp(int32_t field, int32_t kind, int64_t value) {
  if (rt.logCount == rt.logCapacity) {
    const int32_t wanted = rt.logCapacity < 64 ? 64 : rt.logCapacity * 2;
    if (!memGrowArray(&rt.log, wanted)) {
      return false;
    }
    rt.logCapacity = wanted;
  }
  rt.log[rt.logCount++] = RecordOp{field, kind, value};
  return true;
}

// Sets a field of the work record; the old value comes back when the work
// stack unwinds to an alternative pushed before. While a step is recorded,
// the operation is logged in its position-independent form.
inline bool assign(int32_t field, int64_t value, int32_t kind = RECORD_SET, int64_t logged = 0) {
  if (!pushJob(field, 0, rt.work[field])) return false;
  if (rt.recording && !logOp(field, kind, kind == RECORD_SET ? value : logged)) return false;
  rt.work[field] = value;
  return true;
}

// Marks the state of the work record at index pc; false when this round
// has visited it already.
inline bool visitState(int32_t index) {
  const Shape& sh = shape;
  int64_t id = sh.stateBase[index];
  for (int32_t k = sh.liveFirst[index]; k < sh.liveFirst[index + 1]; ++k) {
    const LiveItem& item = sh.live[k];
    const int64_t value =
        item.field >= 0 ? rt.work[item.field] : (rt.work[FIELD_PASSES] >> item.bit) & 1;
    // A value outside the analysed range would name another state; such a
    // state is followed without being marked.
    if (value < 0 || value >= item.radix) return true;
    id += value * item.stride;
  }
  if (rt.visited[id] == rt.round) return false;
  rt.visited[id] = rt.round;
  return true;
}

// ---------------------------------------------------------------------------
// Reading the text as the matcher reads it

// The byte at the pointer for CHAR; -1 when there is none.
inline int32_t byteForChar(const Instruction* in) {
  MatcherState& s = m();
  const bool full = textSource.fullWindowReads != 0;
  if (s.windowEnd - s.cur > (full ? 0 : 1)) return *s.cur;
  textSource.SetPosition(s.cur);
  if (full && textSource.HasMore(0, in->crossLines()) == 0) return -1;
  return textSource.PeekChar(0);
}

inline bool anyTakes(const Instruction* in) {
  MatcherState& s = m();
  if (s.windowEnd - s.cur > (textSource.fullWindowReads ? 0 : 2)) return true;
  textSource.SetPosition(s.cur);
  return textSource.HasMore(0, in->crossLines()) != 0 && textSource.PeekChar(0) >= 0;
}

inline int32_t byteForSet(const Instruction* in) {
  MatcherState& s = m();
  if (s.windowEnd - s.cur > 2) return *s.cur;
  textSource.SetPosition(s.cur);
  if (textSource.HasMore(0, in->crossLines()) == 0) return -1;
  return textSource.PeekChar(0);
}

inline bool byteExists() {
  MatcherState& s = m();
  if (s.cur < s.windowEnd) return true;
  textSource.SetPosition(s.cur);
  return textSource.PeekChar(0) >= 0;
}

bool lineStartHere() {
  MatcherState& s = m();
  if (s.cur != s.windowStart && !textSource.askLineBounds) return false;
  textSource.SetPosition(s.cur);
  return textSource.AtLineStart(0) == 1;
}

bool lineEndHere(const Instruction* in) {
  MatcherState& s = m();
  if (s.windowEnd - s.cur > 2 && !textSource.askLineBounds) return false;
  textSource.SetPosition(s.cur);
  if (textSource.AtLineEnd(0, 0) == 0) return false;
  return in->newlineEscape() != 1 || !textSource.fullWindowReads || textSource.HasMore(0, 1) != 0;
}

// NEWLINE at the pointer: the bytes of the line terminator it takes, 0 when
// it fails.
int32_t newlineLength() {
  MatcherState& s = m();
  if (s.windowEnd - s.cur > 2 && !textSource.askLineBounds) return 0;
  textSource.SetPosition(s.cur);
  const int32_t r = textSource.AtLineEnd(0, 0);
  return r == LINE_END_LF ? 1 : r == LINE_END_CRLF ? 2 : 0;
}

bool atTextEnd() { return byteAtPointer() < 0; }

// ---------------------------------------------------------------------------
// Following a thread to its consuming instructions

inline bool passWasEmpty(const Instruction* in) {
  const uint32_t reg = static_cast<uint32_t>(in->passGuard()) - 1u;
  return in->passGuard() != 0 && reg < static_cast<uint32_t>(PIKE_REGISTER_LIMIT) &&
         ((rt.work[FIELD_PASSES] >> reg) & 1) != 0;
}

enum FollowResult { FOLLOW_DONE, FOLLOW_MATCHED, FOLLOW_OUT_OF_MEMORY };

// COUNT_LOOP and COUNT_LOOP_MIN on the work record; the next instruction,
// or -1 when the path fails.
int32_t countLoop(const Instruction* in, int32_t pc, bool preferExit) {
  const int32_t field = shape.counterField[in->counter()];
  const int64_t before = rt.work[field];
  if (before >= in->maximum()) return -1;
  const int64_t n = before + 1;
  // Above an unbounded loop's minimum every count behaves alike.
  const int64_t held = in->maximum() == COUNT_UNBOUNDED && n > in->minimum() ? in->minimum() : n;
  const int32_t body = pc + in->branch();
  const int32_t exit = pc + in->next();
  const bool empty = passWasEmpty(in);
  // As in the backtracker: an empty pass ends the loop only beyond the
  // minimum, and below it every pass is made, an empty one too.
  if (n == in->maximum() || (empty && n > in->minimum())) {
    if (!assign(field, held)) return -2;
    return exit;
  }
  if (n < in->minimum()) {
    if (!assign(field, n)) return -2;
    return body;
  }
  if (!assign(field, held) || !pushAlternative(preferExit ? body : exit)) return -2;
  return preferExit ? exit : body;
}

// ---------------------------------------------------------------------------
// The transition cache
//
// Away from the window's edges a step depends on nothing but the states of
// the threads, in order, the byte, and whether a thread starts at the next
// position: bytes are read straight from the window, LINE_START and LINE_END
// do not hold there and NEWLINE takes no byte. What such a step did (the
// list it made, and for each thread its parent in the list before and the
// operations on its record) is kept, and replayed when the same list meets
// the same byte again: the step then costs a copy of each record instead of
// following every thread through the program. The cache has a fixed size and
// is emptied when it is full, so memory stays bounded; lists of more than
// CACHE_LIST_LIMIT threads are not cached.

constexpr int32_t CACHE_STATES = 128;
constexpr int32_t CACHE_KEYS_PER_STATE = 512;  // byte, and whether a thread starts
constexpr int32_t CACHE_STATE_WORDS = 16384;
constexpr int32_t CACHE_TRANSITIONS = 8192;
constexpr int32_t CACHE_THREADS = 32768;
constexpr int32_t CACHE_OPS = 65536;
constexpr int32_t CACHE_LIST_LIMIT = 512;
constexpr int32_t CACHE_HASH_SLOTS = 512;  // a power of two, at least twice CACHE_STATES
constexpr int32_t CACHE_VERDICTS = 4096;
constexpr int32_t NO_MATCH = -2;

struct CachedTransition {
  int32_t next;  // the list after, as a cache state
  int32_t threadFirst;
  int32_t threadCount;
  int32_t matchParent;  // NO_MATCH, or the parent of the thread that matched
  int32_t matchOpFirst;
  int32_t matchOpCount;
  int32_t verdictFirst;  // the look-ahead answers the step took at the position after the byte
  int32_t verdictCount;
  bool standsAtSet;  // a thread of the list stands at a SET (cachedListReadsTrail)
};

// A look-ahead answer a cached step depends on: the body at the slot matched
// or not.
struct CachedVerdict {
  int32_t pc;
  int32_t bodyMatched;
};

struct TransitionCache {
  bool allocated;
  uint32_t generation;  // the program analysis it belongs to
  int64_t* words;       // the state numbers of the cached lists
  int32_t wordCount;
  int32_t stateFirst[CACHE_STATES];
  int32_t stateLength[CACHE_STATES];
  int32_t stateCount;
  int32_t hashSlots[CACHE_HASH_SLOTS];
  int32_t* transitionOf;  // per state and key: a transition, or -1
  CachedTransition* transitions;
  int32_t transitionCount;
  CachedThread* threads;
  int32_t threadCount;
  RecordOp* ops;
  int32_t opCount;
  CachedVerdict* verdicts;
  int32_t verdictCount;
  // The follow of a lone new thread at a search's first position, away from
  // the window's edges: a transition whose threads all start there, or -1.
  int32_t entry;
  uint32_t flushes;
  // The step being recorded.
  bool recordFailed;
  uint32_t recordFlushes;
  int32_t recordThreadFirst;
  CachedTransition pending;
};

TransitionCache cache;

void flushCache() {
  ++cache.flushes;
  cache.wordCount = 0;
  cache.stateCount = 0;
  cache.transitionCount = 0;
  cache.threadCount = 0;
  cache.opCount = 0;
  cache.verdictCount = 0;
  cache.entry = -1;
  for (int32_t& slot : cache.hashSlots) slot = -1;
  cache.generation = analysisGeneration;
}

bool prepareCache() {
  if (!cache.allocated) {
    if (!memGrowArray(&cache.words, CACHE_STATE_WORDS) ||
        !memGrowArray(&cache.transitionOf, int64_t{CACHE_STATES} * CACHE_KEYS_PER_STATE) ||
        !memGrowArray(&cache.transitions, CACHE_TRANSITIONS) ||
        !memGrowArray(&cache.threads, CACHE_THREADS) || !memGrowArray(&cache.ops, CACHE_OPS) ||
        !memGrowArray(&cache.verdicts, CACHE_VERDICTS)) {
      return false;
    }
    cache.allocated = true;
    flushCache();
  }
  if (cache.generation != analysisGeneration) flushCache();
  return true;
}

// The state number of a thread, or -1 when a value lies outside its range.
int64_t stateNumber(const int64_t* record) {
  const Shape& sh = shape;
  const int32_t index = static_cast<int32_t>(record[FIELD_PC]);
  int64_t id = sh.stateBase[index];
  for (int32_t k = sh.liveFirst[index]; k < sh.liveFirst[index + 1]; ++k) {
    const LiveItem& item = sh.live[k];
    const int64_t value =
        item.field >= 0 ? record[item.field] : (record[FIELD_PASSES] >> item.bit) & 1;
    if (value < 0 || value >= item.radix) return -1;
    id += value * item.stride;
  }
  return id;
}

// The cache state of a thread list, added when new; -1 when the list is not
// cached.
int32_t listState(const ThreadList* list) {
  const int32_t fields = shape.fields;
  if (list->count > CACHE_LIST_LIMIT) return -1;
  int64_t numbers[CACHE_LIST_LIMIT];
  uint64_t hash = 1469598103934665603ull;
  for (int32_t i = 0; i < list->count; ++i) {
    numbers[i] = stateNumber(list->records + static_cast<int64_t>(i) * fields);
    if (numbers[i] < 0) return -1;
    hash = (hash ^ static_cast<uint64_t>(numbers[i])) * 1099511628211ull;
  }
  for (uint32_t slot = static_cast<uint32_t>(hash);; ++slot) {
    const int32_t state = cache.hashSlots[slot & (CACHE_HASH_SLOTS - 1)];
    if (state < 0) break;
    // Lists are a few threads long: compared in place, without a call.
    if (cache.stateLength[state] != list->count) continue;
    const int64_t* words = cache.words + cache.stateFirst[state];
    int32_t same = 0;
    while (same < list->count && words[same] == numbers[same]) ++same;
    if (same == list->count) return state;
  }
  if (cache.stateCount == CACHE_STATES || cache.wordCount + list->count > CACHE_STATE_WORDS) {
    flushCache();
  }
  const int32_t state = cache.stateCount++;
  cache.stateFirst[state] = cache.wordCount;
  cache.stateLength[state] = list->count;
  if (list->count > 0) {
    std::memcpy(cache.words + cache.wordCount, numbers,
                static_cast<size_t>(list->count) * sizeof(int64_t));
  }
  cache.wordCount += list->count;
  for (int32_t k = 0; k < CACHE_KEYS_PER_STATE; ++k) {
    cache.transitionOf[static_cast<int64_t>(state) * CACHE_KEYS_PER_STATE + k] = -1;
  }
  for (uint32_t slot = static_cast<uint32_t>(hash);; ++slot) {
    int32_t& entry = cache.hashSlots[slot & (CACHE_HASH_SLOTS - 1)];
    if (entry < 0) {
      entry = state;
      break;
    }
  }
  return state;
}

// Keeps the logged operations of the path followed so far; false when the
// cache has no room (the step is then not kept).
bool keepLoggedOps(int32_t* first, int32_t* count) {
  if (cache.opCount + rt.logCount > CACHE_OPS) return false;
  *first = cache.opCount;
  *count = rt.logCount;
  for (int32_t k = 0; k < rt.logCount; ++k) cache.ops[cache.opCount + k] = rt.log[k];
  cache.opCount += rt.logCount;
  return true;
}

// A thread reached a consuming instruction while a step is recorded.
bool noteThread(int32_t pc) {
  if (!rt.recording || cache.recordFailed) return true;
  int32_t first = 0;
  int32_t count = 0;
  if (cache.threadCount == CACHE_THREADS || !keepLoggedOps(&first, &count)) {
    cache.recordFailed = true;
    return true;
  }
  cache.threads[cache.threadCount++] = CachedThread{rt.parent, pc, first, count};
  return true;
}

bool noteMatch() {
  if (!rt.recording || cache.recordFailed) return true;
  cache.pending.matchParent = rt.parent;
  if (!keepLoggedOps(&cache.pending.matchOpFirst, &cache.pending.matchOpCount)) {
    cache.recordFailed = true;
  }
  return true;
}

void beginRecording() {
  rt.recording = true;
  cache.recordFailed = false;
  cache.recordFlushes = cache.flushes;
  cache.recordThreadFirst = cache.threadCount;
  cache.pending =
      CachedTransition{-1, cache.threadCount, 0, NO_MATCH, 0, 0, cache.verdictCount, 0, false};
}

// A look-ahead answer taken while a step is recorded; the step is replayed
// only where the same answers hold.
void noteVerdict(int32_t pc, int32_t bodyMatched) {
  if (!rt.recording || cache.recordFailed) return;
  const CachedTransition& t = cache.pending;
  for (int32_t k = t.verdictFirst; k < t.verdictFirst + t.verdictCount; ++k) {
    if (cache.verdicts[k].pc == pc) return;
  }
  if (cache.verdictCount == CACHE_VERDICTS) {
    cache.recordFailed = true;
    return;
  }
  cache.verdicts[cache.verdictCount++] = CachedVerdict{pc, bodyMatched};
  ++cache.pending.verdictCount;
}

// Applies a cached thread's operations to a record at `offset` bytes from
// the thread's start.
inline void applyOps(int64_t* to, int32_t opFirst, int32_t opCount, int64_t offset) {
  for (int32_t k = opFirst; k < opFirst + opCount; ++k) {
    const RecordOp& op = cache.ops[k];
    if (op.kind == RECORD_SET) {
      to[op.field] = op.value;
    } else if (op.kind == RECORD_SET_OFFSET) {
      to[op.field] = offset + op.value;
    } else {
      to[op.field] |= op.value;
    }
  }
}

// Builds a record of the list after a cached step: the parent's record (or
// a new thread's), then the operations.
inline void buildRecord(int64_t* to, const ThreadList* before, int32_t parent, int32_t opFirst,
                        int32_t opCount, int64_t pos) {
  const int32_t fields = shape.fields;
  if (parent >= 0) {
    copyRecord(to, before->records + static_cast<int64_t>(parent) * fields);
    to[FIELD_PASSES] = 0;
  } else {
    for (int32_t i = 0; i < fields; ++i) to[i] = 0;
    to[FIELD_START] = pos;
  }
  applyOps(to, opFirst, opCount, pos - to[FIELD_START]);
}

// Replays a cached step from `before` into `after` at position pos (the
// position after the byte); false when a thread would pass the offset limit
// or memory runs out, and the step must be taken the long way.
bool replay(const CachedTransition& t, const ThreadList* before, ThreadList* after, int64_t pos,
            bool* matched) {
  const int32_t fields = shape.fields;
  const int64_t needed = static_cast<int64_t>(t.threadCount) * fields;
  if (needed > after->words) {
    if (!memGrowArray(&after->records, needed)) return false;
    after->words = needed;
  }
  // A step that fails here leaves `after` to be made again the long way.
  for (int32_t i = 0; i < t.threadCount; ++i) {
    const CachedThread& thread = cache.threads[t.threadFirst + i];
    if (thread.parent >= 0 &&
        pos - before->records[static_cast<int64_t>(thread.parent) * fields + FIELD_START] >
            OFFSET_LIMIT) {
      return false;
    }
    int64_t* to = after->records + static_cast<int64_t>(i) * fields;
    buildRecord(to, before, thread.parent, thread.opFirst, thread.opCount, pos);
    to[FIELD_PC] = thread.pc;
  }
  after->count = t.threadCount;
  if (t.matchParent != NO_MATCH) {
    buildRecord(rt.best, before, t.matchParent, t.matchOpFirst, t.matchOpCount, pos);
    rt.bestEnd = pos;
    *matched = true;
  }
  return true;
}

// A body of items read straight from the window, where the matcher too
// reads them straight (and in UTF-8 text each a character of one byte): 1
// or 0, or -1 when the body must be run.
inline int32_t bodyMatchesInWindow(int32_t pc) {
  const int32_t items = shape.bodyItems[pc];
  const MatcherState& s = m();
  if (items == 0 || s.windowEnd - s.cur <= items + 6 || textSource.askLineBounds ||
      textSource.fullWindowReads) {
    return -1;
  }
  const bool utf8 = shape.textMode == ENCODING_UTF8;
  const Instruction* in = compiledPattern.program + pc + 1;
  for (int32_t i = 0; i < items; ++i) {
    const int32_t c = s.cur[i];
    if (utf8 && c >= 0x80) return -1;
    ++stepCount;
    bool taken = true;
    if (in->opcode == OP_CHAR) {
      taken = utf8 ? matcher_internal::utf8CharMatches(in, c)
                   : static_cast<uint32_t>(c) == in->accepted() ||
                         static_cast<uint32_t>(c) == in->acceptedVariant();
    } else if (in->opcode == OP_SET) {
      taken = utf8 ? matcher_internal::utf8SetHas(in, c) : setBitmapHas(in, c);
    }
    if (!taken) return 0;
    in += isSet(in->opcode) ? setSlotCount(*in, shape.setMode) : 1;
  }
  return 1;
}

// A body read straight from the window fails wherever its first item does
// not take the byte. Where the body failed at the pointer (position pos), the
// end of the run of positions after it where that is so, and the body would
// be read straight, up to FAILED_RUN_LIMIT bytes on: one answer serves them
// all. The search asks again at the end of the run, so a bound on each run
// keeps a search that ends soon from reading far.
constexpr int64_t FAILED_RUN_LIMIT = 256;

int64_t firstItemFailsTo(int32_t pc, int64_t pos) {
  const MatcherState& s = m();
  const bool utf8 = shape.textMode == ENCODING_UTF8;
  const Instruction* in = compiledPattern.program + pc + 1;
  if (in->opcode == OP_ANY) return pos + 1;
  const uint8_t* end = s.windowEnd - (shape.bodyItems[pc] + 6);
  if (end - s.cur > FAILED_RUN_LIMIT) end = s.cur + FAILED_RUN_LIMIT;
  const uint8_t* p = s.cur + 1;
  if (in->opcode == OP_CHAR && !utf8) {
    const uint32_t a = in->accepted();
    const uint32_t b = in->acceptedVariant();
    while (p < end && *p != a && *p != b) ++p;
  } else if (in->opcode == OP_CHAR) {
    while (p < end && *p < 0x80 && !matcher_internal::utf8CharMatches(in, *p)) ++p;
  } else if (utf8) {
    while (p < end && *p < 0x80 && !matcher_internal::utf8SetHas(in, *p)) ++p;
  } else {
    while (p < end && !setBitmapHas(in, *p)) ++p;
  }
  const int64_t passed = p > s.cur ? p - s.cur : 1;
  stepCount += passed;
  return pos + passed;
}

// The part of a word loaded from memory that holds its first `bytes` bytes
// (0 to 8).
inline uint64_t firstBytesMask(int32_t bytes) {
  if (bytes >= 8) return ~uint64_t{0};
  if (bytes <= 0) return 0;
  return std::endian::native == std::endian::little ? (uint64_t{1} << (8 * bytes)) - 1
                                                    : ~uint64_t{0} << (8 * (8 - bytes));
}

// The entry that keeps the answer of the body at slot pc for the bytes at
// the pointer, and in `words` those bytes as its key; null where the answer
// may depend on more than those bytes (the window's end near, record bounds
// asked, a UTF-8 character of several bytes among them).
VerdictEntry* entryForBytes(int32_t pc, uint64_t* words) {
  const int32_t reach = shape.bodyReach[pc];
  const MatcherState& s = m();
  if (reach < 0 || s.windowEnd - s.cur <= reach + 6 || textSource.askLineBounds ||
      textSource.fullWindowReads) {
    return nullptr;
  }
  // Sixteen bytes are loaded at once where the window holds them; nearer
  // its end only the reach, which it holds.
  if (s.windowEnd - s.cur >= 16) {
    std::memcpy(words, s.cur, 16);
  } else {
    uint8_t bytes[16] = {};
    std::memcpy(bytes, s.cur, static_cast<size_t>(reach));
    std::memcpy(words, bytes, 16);
  }
  words[0] &= firstBytesMask(reach);
  words[1] &= firstBytesMask(reach - 8);
  if (shape.textMode == ENCODING_UTF8 && ((words[0] | words[1]) & 0x8080808080808080u) != 0) {
    return nullptr;
  }
  const uint64_t hash = (words[0] * 0x9E3779B97F4A7C15u) ^ (words[1] * 0xC2B2AE3D27D4EB4Fu) ^
                        (static_cast<uint64_t>(pc) * 0x165667B19E3779F9u);
  return &rt.verdictTable[(hash >> 40) & (VERDICT_ENTRIES - 1)];
}

// Whether the body of the look-ahead at slot pc matches at position pos,
// where the pointer is: 1 or 0, the same for every thread that asks at the
// position, and kept for the positions the memo says share it; -8 out of
// memory.
inline int32_t lookAheadBodyMatchesAt(int32_t pc, int64_t pos) {
  const int64_t at = rt.verdictBase + pos;  // the position as an offset in the text
  if (at >= rt.verdictTo[pc] || at < rt.verdictFrom[pc]) {
    int64_t until = pos + 1;
    int32_t result = shape.bodyReach[pc] == BODY_BY_MEMO ? -1 : bodyMatchesInWindow(pc);
    if (result == 0) until = firstItemFailsTo(pc, pos);
    if (result < 0) {
      uint64_t words[2];
      VerdictEntry* entry = entryForBytes(pc, words);
      if (entry != nullptr && entry->pc == pc && entry->words[0] == words[0] &&
          entry->words[1] == words[1]) {
        result = entry->bodyMatched;
      } else if (shape.bodyReach[pc] == BODY_BY_MEMO) {
        // A long rest of line is answered by a backward pass over it; the
        // rest by the memo.
        int64_t shared = 0;
        result = backwardBodyMatchesAt(compiledPattern.program + pc, m().cur, &stepCount, &shared);
        if (result >= 0) until = pos + shared;
        if (result == BODY_BACKWARD_DECLINED && !rt.memoBegun) {
          if (backtrack_memo::beginLookAheadBodies(pos, rt.startsOnContinuation) != 0) {
            return REGEX_OUT_OF_MEMORY;
          }
          rt.memoBegun = true;
        }
        if (result == BODY_BACKWARD_DECLINED) {
          result = backtrack_memo::lookAheadBodyMatchesAt(compiledPattern.program + pc, pos,
                                                          &stepCount, &until);
        }
      } else {
        result = matcher_internal::lookAheadBodyMatches(compiledPattern.program + pc, &stepCount);
        // The body read straight from the window, which stays where it was.
        if (result >= 0 && entry != nullptr) {
          entry->pc = pc;
          entry->bodyMatched = static_cast<uint8_t>(result);
          entry->words[0] = words[0];
          entry->words[1] = words[1];
        }
      }
    }
    if (result < 0) return result;
    rt.verdictFrom[pc] = at;
    rt.verdictTo[pc] = until == INT64_MAX ? until : rt.verdictBase + until;
    rt.bodyMatched[pc] = static_cast<uint8_t>(result);
  }
  if (rt.recording) noteVerdict(pc, rt.bodyMatched[pc]);
  return rt.bodyMatched[pc];
}

// Whether the look-ahead answers a cached step took hold at position pos,
// where every one of them is an answer kept (verdictFrom, verdictTo): 1 or
// 0, read without the text; -1 where some body must be asked.
inline int32_t keptAnswersHold(const CachedTransition& t, int64_t pos) {
  // A step being recorded notes the answers it takes, as they are asked.
  if (rt.recording) return -1;
  const int64_t at = rt.verdictBase + pos;
  int32_t hold = 1;
  for (int32_t k = t.verdictFirst; k < t.verdictFirst + t.verdictCount; ++k) {
    const CachedVerdict& v = cache.verdicts[k];
    if (at >= rt.verdictTo[v.pc] || at < rt.verdictFrom[v.pc]) return -1;
    if (rt.bodyMatched[v.pc] != v.bodyMatched) hold = 0;
  }
  return hold;
}

// Whether the look-ahead answers a cached step took hold at position pos,
// with the pointer there; -8 out of memory.
inline int32_t verdictsHold(const CachedTransition& t, int64_t pos) {
  const int32_t kept = keptAnswersHold(t, pos);
  if (kept >= 0) return kept;
  for (int32_t k = t.verdictFirst; k < t.verdictFirst + t.verdictCount; ++k) {
    const CachedVerdict& v = cache.verdicts[k];
    const int32_t matched = lookAheadBodyMatchesAt(v.pc, pos);
    if (matched < 0) return matched;
    if (matched != v.bodyMatched) return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Skipping repeated cycles of cached steps
//
// On a long run of text the list often comes back to the same cache state
// every few bytes (a*b over "aaaa": every byte; (a|b)+ over "abab": every
// two), and the replay then costs a copy of every record per byte. Such a
// cycle of cached steps, replayed once more, maps each thread of the list
// to the thread it descends from at the cycle's start (or to none: a thread
// started inside the cycle) and applies the same operations to it. Each
// operation sets a field to a constant or to the position less the
// thread's start plus a constant, or ORs a constant in, so applying a
// thread's operations twice equals applying them once at the later
// position. When that map is idempotent (the thread a thread descends from
// descends from itself), the records after n cycles are those after the
// last three taken from the list as it is now: the first makes the threads
// that descend from themselves right, the second every thread, the third
// the matches along the way. So the bytes of n - 3 cycles are only checked
// (each repeats the cycle's bytes and the look-ahead answers its steps took
// hold) and passed, and the last three are replayed. A body that reads a few
// characters is asked over the first cycle only: past it, where the bytes
// it reads repeat the cycle too, they are the bytes it read a cycle back,
// and so is its answer. A step that started a
// thread, or that would start one at some positions of the run and not at
// others, is not skipped, nor one that would give the search its first
// match: the cycle's keys must hold at every position it passes.

constexpr int32_t CYCLE_LIMIT = 4;      // the longest cycle looked for, in bytes
constexpr int32_t CYCLE_MARGIN = 16;    // bytes kept between a skip's end and the window's end
constexpr int32_t CYCLE_REPLAYED = 3;   // cycles replayed after a skip
constexpr int32_t CYCLE_WAIT_LIMIT = 63;

struct CycleStep {
  int32_t state;  // the cache state before the step
  int32_t transition;
  uint8_t byte;
  bool starts;    // the key's bit: a thread may start after the byte
};

struct CycleHistory {
  CycleStep steps[CYCLE_LIMIT];  // the latest replayed steps, oldest first
  int32_t count;
  uint32_t flushes;  // the cache's flushes when the first was kept
  int32_t idle;      // replayed steps to let pass after a skip that found nothing
  int32_t wait;      // and those still to pass
};

void rememberStep(CycleHistory* h, const CycleStep& step) {
  if (h->count > 0 && h->flushes != cache.flushes) h->count = 0;
  if (h->count == 0) h->flushes = cache.flushes;
  if (h->count == CYCLE_LIMIT) {
    for (int32_t k = 1; k < CYCLE_LIMIT; ++k) h->steps[k - 1] = h->steps[k];
    --h->count;
  }
  h->steps[h->count++] = step;
}

// Whether the cycle of steps may be passed without replay: the map from a
// thread after the cycle to its ancestor before it is idempotent, no step
// matches unless a match is in hand already (then no thread starts), and
// *seeds tells whether a thread started in some step is kept, or a step's
// key starts none, so that the key's bit must be checked at each position.
bool cycleMaySkip(const CycleStep* steps, int32_t period, int32_t threads, bool noStarts,
                  bool* seeds) {
  int32_t ancestor[CACHE_LIST_LIMIT];
  for (int32_t i = 0; i < threads; ++i) ancestor[i] = i;
  *seeds = false;
  for (int32_t k = period - 1; k >= 0; --k) {
    const CachedTransition& t = cache.transitions[steps[k].transition];
    if (noStarts && steps[k].starts) return false;
    if (!noStarts && t.matchParent != NO_MATCH) return false;
    // A step whose key starts no thread may meet a position that starts one.
    if (!noStarts && !steps[k].starts) *seeds = true;
    for (int32_t j = 0; j < t.threadCount; ++j) {
      if (cache.threads[t.threadFirst + j].parent < 0) *seeds = true;
    }
    for (int32_t i = 0; i < threads; ++i) {
      if (ancestor[i] >= 0) ancestor[i] = cache.threads[t.threadFirst + ancestor[i]].parent;
    }
  }
  for (int32_t i = 0; i < threads; ++i) {
    if (ancestor[i] >= 0 && ancestor[ancestor[i]] != ancestor[i]) return false;
  }
  return true;
}

// The position up to which (excluded) every look-ahead answer that the
// cycle's steps took is the answer kept for its body (verdictFrom,
// verdictTo), as it was at position q: there they hold without being asked.
// q when some answer is not so kept.
int64_t cycleAnswersKeptTo(const CycleStep* steps, int32_t period, int64_t q) {
  const int64_t at = rt.verdictBase + q;
  int64_t to = INT64_MAX;
  for (int32_t k = 0; k < period; ++k) {
    const CachedTransition& t = cache.transitions[steps[k].transition];
    for (int32_t i = t.verdictFirst; i < t.verdictFirst + t.verdictCount; ++i) {
      const CachedVerdict& v = cache.verdicts[i];
      if (at < rt.verdictFrom[v.pc] || at >= rt.verdictTo[v.pc] ||
          rt.bodyMatched[v.pc] != v.bodyMatched) {
        return q;
      }
      if (rt.verdictTo[v.pc] < to) to = rt.verdictTo[v.pc];
    }
  }
  return to == INT64_MAX ? to : to - rt.verdictBase;
}

// Bytes compared past those a question needs, so that the next few
// questions find them compared.
constexpr int64_t CYCLE_LOOK_AHEAD = 64;

// Whether the bytes from base up to base + to (excluded) repeat the cycle's
// bytes, where those up to base + *checkedTo are known to: *checkedTo grows
// as far as they do, up to CYCLE_LOOK_AHEAD bytes past `to` and at most to
// base + end.
[[gnu::noinline]] bool cycleRepeatsTo(const uint8_t* base, const CycleStep* steps, int32_t period,
                                      int64_t to, int64_t end, int64_t* checkedTo) {
  int64_t q = *checkedTo;
  int32_t k = static_cast<int32_t>(q % period);
  if (end > to + CYCLE_LOOK_AHEAD) end = to + CYCLE_LOOK_AHEAD;
  while (q < end && base[q] == steps[k].byte) {
    ++q;
    if (++k == period) k = 0;
  }
  *checkedTo = q;
  return q >= to;
}

// How far from base, up to `limit`, the bytes repeat those `period` bytes
// before them (base[q] == base[q - period]), from q = period on; compared a
// block at a time, so that a long periodic run costs little more than a
// memcmp.
int64_t repeatsBack(const uint8_t* base, int32_t period, int64_t limit) {
  constexpr int64_t BLOCK = 64;
  int64_t q = period;
  while (q + BLOCK <= limit && std::memcmp(base + q, base + q - period, BLOCK) == 0) q += BLOCK;
  while (q < limit && base[q] == base[q - period]) ++q;
  return q;
}

// The bytes the latest cycle of steps lets the VM pass at the pointer (pos
// the position, the list `ready` in the cycle's first state), 0 when none;
// -8 out of memory.
int64_t bytesToSkip(const CycleHistory& h, int32_t state, const ThreadList* ready, int64_t pos,
                    const PikeCandidates& candidates, bool noStarts) {
  MatcherState& s = m();
  // In double-byte text where characters begin depends on the bytes before
  // the cycle too: a new thread's start is asked at every position.
  if (shape.textMode == ENCODING_DOUBLE_BYTE) return 0;
  if (h.flushes != cache.flushes || s.windowEnd - s.cur <= CYCLE_MARGIN + CYCLE_LIMIT) return 0;
  // The shortest cycle back to this state whose bytes come next and which
  // may be skipped.
  const CycleStep* steps = nullptr;
  int32_t period = 0;
  bool seeds = false;
  for (int32_t p = 1; p <= h.count && period == 0; ++p) {
    const CycleStep* first = h.steps + (h.count - p);
    if (first->state != state) continue;
    int32_t k = 0;
    while (k < p && s.cur[k] == first[k].byte) ++k;
    if (k == p && cycleMaySkip(first, p, ready->count, noStarts, &seeds)) {
      steps = first;
      period = p;
    }
  }
  if (period == 0) return 0;
  // The most bytes a body of the cycle's answers reads when each of them
  // depends on those bytes alone (bodyReach), else -1; and whether a step
  // took answers at all, which the pass must then ask again.
  int32_t reach = textSource.askLineBounds || textSource.fullWindowReads ? -1 : 0;
  bool takesAnswers = false;
  for (int32_t k = 0; k < period; ++k) {
    const CachedTransition& t = cache.transitions[steps[k].transition];
    if (t.verdictCount > 0) takesAnswers = true;
    for (int32_t i = t.verdictFirst; i < t.verdictFirst + t.verdictCount && reach >= 0; ++i) {
      const int32_t bodyReach = shape.bodyReach[cache.verdicts[i].pc];
      reach = bodyReach < 0 ? -1 : bodyReach > reach ? bodyReach : reach;
    }
  }
  int64_t earliest = pos;
  for (int32_t i = 0; i < ready->count; ++i) {
    const int64_t start = ready->records[static_cast<int64_t>(i) * shape.fields + FIELD_START];
    if (start < earliest) earliest = start;
  }
  int64_t limit = s.windowEnd - s.cur - CYCLE_MARGIN;
  const int64_t offsetRoom = OFFSET_LIMIT - (pos - earliest) - 1;
  if (offsetRoom < limit) limit = offsetRoom;
  if (limit <= int64_t{CYCLE_REPLAYED} * period) return 0;
  const uint8_t* const base = s.cur;
  const uint8_t* const windowStart = s.windowStart;
  const uint8_t* const windowEnd = s.windowEnd;
  int64_t checked = 0;
  int64_t answersKeptTo = 0;
  // Every byte before base + periodicTo repeats the cycle's bytes (the loop
  // below compares those up to the pointer). Past the first cycle, where a
  // position's body reads only such bytes, straight from the window, they
  // are those it read one cycle back, where the same step's answers held:
  // so they hold here, unasked.
  int64_t periodicTo = 0;
  const int64_t inferredTo = reach >= 0 ? windowEnd - base - (reach + 7) : 0;
  if (!seeds && !takesAnswers) {
    // Nothing to ask on the way: only the bytes decide how far it goes. The
    // first period's bytes are the cycle's, as its choice above compared.
    checked = repeatsBack(base, period, limit);
    const int64_t cycles = checked / period;
    return cycles > CYCLE_REPLAYED ? (cycles - CYCLE_REPLAYED) * period : 0;
  }
  for (int32_t k = 0; checked < limit && base[checked] == steps[k].byte;) {
    const CachedTransition& t = cache.transitions[steps[k].transition];
    const int64_t at = pos + checked + 1;
    const bool askAnswers = t.verdictCount > 0 && at >= answersKeptTo &&
                            (checked >= inferredTo || checked < period ||
                             (periodicTo < checked + 1 + reach &&
                              !cycleRepeatsTo(base, steps, period, checked + 1 + reach,
                                              windowEnd - base, &periodicTo)));
    if (seeds || askAnswers) {
      // The key's bit and the look-ahead answers at the position after the byte.
      s.cur = base + checked + 1;
      const int32_t hold = seeds && pikeCandidateAllowed(candidates) != steps[k].starts ? 0
                           : askAnswers                                                ? verdictsHold(t, at)
                                                                                       : 1;
      if (s.windowStart != windowStart || s.windowEnd != windowEnd ||
          s.cur != base + checked + 1) {
        // A body read through the source moved the window: stop here.
        movePointerBack(checked + 1);
        return hold < 0 ? hold : 0;
      }
      s.cur = base;
      if (hold < 0) return hold;
      if (hold == 0) break;
      if (askAnswers) answersKeptTo = cycleAnswersKeptTo(steps, period, at);
    }
    ++checked;
    if (++k == period) k = 0;
  }
  const int64_t cycles = checked / period;
  return cycles > CYCLE_REPLAYED ? (cycles - CYCLE_REPLAYED) * period : 0;
}

// Follows the thread `record` at position `pos` through the instructions
// that consume nothing, depth first in priority order, and appends a thread
// to `out` at each consuming instruction it reaches first.
FollowResult followThread(const int64_t* record, int64_t pos, ThreadList* out) {
  const Shape& sh = shape;
  const Instruction* program = compiledPattern.program;
  int64_t* work = rt.work;
  copyRecord(work, record);
  rt.jobCount = 0;
  rt.logCount = 0;
  if (!pushAlternative(static_cast<int32_t>(work[FIELD_PC]))) return FOLLOW_OUT_OF_MEMORY;
  while (rt.jobCount > 0) {
    const Job job = rt.jobs[--rt.jobCount];
    if (job.field >= 0) {
      work[job.field] = job.value;
      continue;
    }
    rt.logCount = static_cast<int32_t>(job.value);
    int32_t pc = job.pc;
    while (pc >= 0) {
      ++stepCount;
      if (!visitState(pc)) break;
      if (pc >= sh.slots) {
        work[FIELD_PC] = pc;
        if (!appendThread(out, work) || !noteThread(pc)) return FOLLOW_OUT_OF_MEMORY;
        break;
      }
      const Instruction* in = program + pc;
      const int64_t offset = pos - work[FIELD_START];
      switch (in->opcode) {
        case OP_CHAR:
        case OP_ANY:
        case OP_SET:
        case OP_NEWLINE:
        case OP_ANY_SCAN:
        case OP_SET_SCAN:
        case OP_CHAR_SCAN:
          work[FIELD_PC] = pc;
          if (!appendThread(out, work) || !noteThread(pc)) return FOLLOW_OUT_OF_MEMORY;
          pc = -1;
          break;
        case OP_MATCH:
          if (!noteMatch()) return FOLLOW_OUT_OF_MEMORY;
          copyRecord(rt.best, work);
          rt.bestEnd = pos;
          return FOLLOW_MATCHED;
        case OP_JUMP:
          pc += in->next();
          break;
        case OP_SPLIT:
          if (!passWasEmpty(in) && !pushAlternative(pc + in->branch())) return FOLLOW_OUT_OF_MEMORY;
          pc += in->next();
          break;
        case OP_SPLIT_FIRST:
          if (passWasEmpty(in)) {
            pc += in->next();
          } else {
            if (!pushAlternative(pc + in->next())) return FOLLOW_OUT_OF_MEMORY;
            pc += in->branch();
          }
          break;
        case OP_MARK_CURSOR:
          if (!assign(FIELD_MARK, offset + 1, RECORD_SET_OFFSET, 1)) return FOLLOW_OUT_OF_MEMORY;
          ++pc;
          break;
        case OP_LINE_START:
          pc = lineStartHere() ? pc + 1 : -1;
          break;
        case OP_LINE_END:
          pc = lineEndHere(in) ? pc + 1 : -1;
          break;
        case OP_GROUP_START:
        case OP_GROUP_END:
          if (static_cast<uint32_t>(in->group()) < CAPTURE_GROUPS) {
            const bool end = in->opcode == OP_GROUP_END;
            if (!assign(FIELD_CAPTURES + 2 * in->group() + (end ? 1 : 0), offset, RECORD_SET_OFFSET,
                        0)) {
              return FOLLOW_OUT_OF_MEMORY;
            }
            const int64_t bit = int64_t{1} << in->group();
            if (end && !assign(FIELD_ENDS, work[FIELD_ENDS] | bit, RECORD_OR, bit)) {
              return FOLLOW_OUT_OF_MEMORY;
            }
          }
          ++pc;
          break;
        case OP_COUNT_RESET:
          if (in->passMark() == PASS_START_MARK) {
            const int64_t bit = int64_t{1} << in->passRegister();
            if (!assign(FIELD_PASSES, work[FIELD_PASSES] | bit, RECORD_OR, bit)) {
              return FOLLOW_OUT_OF_MEMORY;
            }
          } else if (in->counter() < static_cast<uint32_t>(REPEAT_COUNTERS) &&
                     sh.counterField[in->counter()] >= 0) {
            if (!assign(sh.counterField[in->counter()], 0)) return FOLLOW_OUT_OF_MEMORY;
          }
          ++pc;
          break;
        case OP_COUNT_LOOP:
        case OP_COUNT_LOOP_MIN:
          pc = countLoop(in, pc, in->opcode == OP_COUNT_LOOP_MIN);
          if (pc == -2) return FOLLOW_OUT_OF_MEMORY;
          break;
        case OP_NOT_AHEAD: {
          // The path goes on past the body only where the body fails.
          const int32_t matched = lookAheadBodyMatchesAt(pc, pos);
          if (matched < 0) return FOLLOW_OUT_OF_MEMORY;
          pc = matched == 0 ? pc + in->next() : -1;
          break;
        }
        default:
          pc = -1;
          break;
      }
    }
  }
  return FOLLOW_DONE;
}

// Double-byte and UTF-8 text: the item performed at the pointer exactly as
// the matcher performs it (the same fetches and comparisons), then the
// pointer put back; the thread goes on after the character's first byte,
// waiting out the others in tail states.
int32_t stepByItem(const Instruction* in, int32_t pc) {
  const Shape& sh = shape;
  MatcherState& s = m();
  s.offset = 0;
  bool taken;
  switch (in->opcode) {
    case OP_CHAR:
    case OP_CHAR_SCAN:
      taken = matcher_internal::performChar(in);
      break;
    case OP_ANY:
    case OP_ANY_SCAN:
      taken = matcher_internal::performAny(in);
      break;
    default:
      taken = matcher_internal::performSet(in);
      break;
  }
  const int32_t length = s.offset;
  movePointerBack(length);
  if (!taken || length < 1 || length - 1 > tailCount(in->opcode, sh.textMode)) return -1;
  if (length == 1) return pc + (isSet(in->opcode) ? setSlotCount(*in, sh.setMode) : 1);
  return sh.slots + sh.tailOf[pc] + length - 2;
}

// The next instruction of the thread after it consumed the byte at the
// pointer, or -1 when the byte does not fit.
int32_t stepThread(const int64_t* record) {
  const Shape& sh = shape;
  const int32_t pc = static_cast<int32_t>(record[FIELD_PC]);
  if (pc >= sh.slots) {
    // A byte waited out: the second of a CR LF pair that NEWLINE took as
    // one terminator, or a later byte of a character.
    const int32_t tail = pc - sh.slots;
    const int32_t owner = sh.ownerOfTail[tail];
    if (!byteExists()) return -1;
    if (tail > sh.tailOf[owner]) return pc - 1;
    const Instruction& item = compiledPattern.program[owner];
    return owner + (isSet(item.opcode) ? setSlotCount(item, sh.setMode) : 1);
  }
  const Instruction* in = compiledPattern.program + pc;
  if (in->opcode != OP_NEWLINE && tailCount(in->opcode, sh.textMode) > 0) {
    return stepByItem(in, pc);
  }
  switch (in->opcode) {
    case OP_CHAR:
    case OP_CHAR_SCAN: {
      const int32_t c = byteForChar(in);
      return c >= 0 && (static_cast<uint32_t>(c) == in->accepted() ||
                        static_cast<uint32_t>(c) == in->acceptedVariant())
                 ? pc + 1
                 : -1;
    }
    case OP_ANY:
    case OP_ANY_SCAN:
      return anyTakes(in) ? pc + 1 : -1;
    case OP_SET:
    case OP_SET_SCAN: {
      const int32_t c = byteForSet(in);
      return c >= 0 && setBitmapHas(in, c) ? pc + setSlotCount(*in, sh.setMode) : -1;
    }
    case OP_NEWLINE: {
      const int32_t length = newlineLength();
      if (length == 1) return pc + 1;
      return length == 2 ? sh.slots + sh.tailOf[pc] : -1;
    }
    default:
      return -1;
  }
}

// Whether the position is a candidate of the search's own scan, which in
// double-byte text never starts on a trail byte and in UTF-8 text passes a
// character as it decodes, or one byte and the continuation bytes after it.
bool seedPositionAllowed(const PikeCandidates& candidates, int64_t pos) {
  MatcherState& s = m();
  switch (shape.textMode) {
    case ENCODING_DOUBLE_BYTE:
      return matcher_internal::atCharacterBoundary();
    case ENCODING_UTF8: {
      if (!candidates.stepCharacters) return pos == 0 || (byteAtPointer() & 0xC0) != 0x80;
      // Asked again for the same position (the transition cache asks first).
      if (pos == rt.lastSeed) return true;
      if (pos < rt.nextSeed) return false;
      int32_t length = 1;
      if (s.cur < s.windowEnd && *s.cur < 0x80) {
        // A character of its own.
      } else if (s.windowEnd - s.cur >= 6) {
        matcher_internal::decodeDirect(s.cur, &length);
      } else {
        textSource.SetPosition(s.cur);
        if (matcher_internal::decodeThroughSource(0, &length) == matcher_internal::NO_CHARACTER) {
          length = 1;
        }
      }
      rt.nextSeed = pos + length;
      rt.lastSeed = pos;
      return true;
    }
    default:
      return true;
  }
}

// Whether a new thread starts at the pointer, position `pos` of the search.
// In UTF-8 text the position is asked first, as every position must be to
// follow the characters; elsewhere the cheaper test of the byte goes first.
inline bool threadStartsAt(const PikeCandidates& candidates, int64_t pos) {
  if (shape.textMode == ENCODING_UTF8) {
    return seedPositionAllowed(candidates, pos) && pikeCandidateAllowed(candidates);
  }
  return pikeCandidateAllowed(candidates) && seedPositionAllowed(candidates, pos);
}

void reportMatch() {
  MatcherState& s = m();
  const Shape& sh = shape;
  s.matchLength = static_cast<int32_t>(rt.bestEnd - rt.best[FIELD_START]);
  s.cursorMark = static_cast<int32_t>(rt.best[FIELD_MARK]);
  BacktrackFrame& base = s.stack[0];
  base.endMask = static_cast<uint32_t>(rt.best[FIELD_ENDS]);
  base.startMask = 0;
  for (int32_t g = 0; g < sh.groups; ++g) {
    base.captures[g][0] = static_cast<int32_t>(rt.best[FIELD_CAPTURES + 2 * g]);
    base.captures[g][1] = static_cast<int32_t>(rt.best[FIELD_CAPTURES + 2 * g + 1]);
  }
  s.top = 0;
  s.offset = 0;
}

// Whether a new thread starts at a position: asked there, or known.
enum SeedAnswer : int32_t { SEED_ASK = -1, SEED_NONE = 0, SEED_STARTS = 1 };

// Follows the threads past their byte at position pos, then a new thread
// when one starts there, into `ready`; *matched is set when one matched.
int32_t followAll(ThreadList* moved, ThreadList* ready, int64_t pos,
                  const PikeCandidates& candidates, bool* matched, SeedAnswer seed = SEED_ASK) {
  const Shape& sh = shape;
  nextRound();
  ready->count = 0;
  bool cut = false;
  for (int32_t i = 0; i < moved->count && !cut; ++i) {
    rt.parent = rt.movedParent[i];
    const FollowResult result =
        followThread(moved->records + static_cast<int64_t>(i) * sh.fields, pos, ready);
    if (result == FOLLOW_OUT_OF_MEMORY) return REGEX_OUT_OF_MEMORY;
    cut = result == FOLLOW_MATCHED;
  }
  if (!cut && !*matched && (pos == 0 || !candidates.once) &&
      (seed == SEED_ASK ? threadStartsAt(candidates, pos)
                        : seed == SEED_STARTS)) {
    int64_t* record = rt.seed;
    for (int32_t i = 0; i < sh.fields; ++i) record[i] = 0;
    record[FIELD_START] = pos;
    rt.parent = -1;
    const FollowResult result = followThread(record, pos, ready);
    if (result == FOLLOW_OUT_OF_MEMORY) return REGEX_OUT_OF_MEMORY;
    cut = result == FOLLOW_MATCHED;
  }
  if (cut) *matched = true;
  return 0;
}

// Each thread takes the byte at the pointer or ends; the survivors go to
// `moved`, with their index in `ready`.
int32_t stepAll(ThreadList* ready, ThreadList* moved, int64_t pos) {
  const Shape& sh = shape;
  moved->count = 0;
  if (rt.movedParentCapacity < ready->count) {
    if (!memGrowArray(&rt.movedParent, ready->count)) return REGEX_OUT_OF_MEMORY;
    rt.movedParentCapacity = ready->count;
  }
  for (int32_t i = 0; i < ready->count; ++i) {
    int64_t* record = ready->records + static_cast<int64_t>(i) * sh.fields;
    ++stepCount;
    const int32_t next = stepThread(record);
    if (next < 0 || pos + 1 - record[FIELD_START] > OFFSET_LIMIT) continue;
    record[FIELD_PC] = next;
    record[FIELD_PASSES] = 0;
    rt.movedParent[moved->count] = i;
    if (!appendThread(moved, record)) return REGEX_OUT_OF_MEMORY;
  }
  return 0;
}

// Whether the step from the pointer may come from the cache: the byte here
// and the next position lie inside the window, away from its edges.
// In UTF-8 text only an ASCII byte qualifies, which is a character of its own,
// with room for the direct reads of the characters after it; in double-byte
// text a lead byte qualifies where no thread reads its trail (stepReadsTrail),
// and the threads that take the pair wait out the trail in their tail
// states whatever it is. By records the items read the window straight as
// they do by lines, and only the line tests ask the source where the record
// bounds are: a program without them steps alike.
inline bool awayFromEdges() {
  MatcherState& s = m();
  const bool byRecords = textSource.askLineBounds && textSource.fullWindowReads;
  if ((textSource.askLineBounds || textSource.fullWindowReads) && (!byRecords || shape.lineTests)) {
    return false;
  }
  if (shape.textMode != ENCODING_UTF8) return s.windowEnd - s.cur > 3;
  return s.windowEnd - s.cur > 7 && *s.cur < 0x80;
}

// Double-byte text: whether a thread of the list would read the byte after
// the pointer too, a lead byte's trail, and its step depend on that byte: a
// SET, whose partial rows hold some pairs of a lead byte and not others. A
// CHAR compares one byte, and ANY takes the trail whatever it is, which
// away from the window's edges is there to read.
bool stepReadsTrail(const ThreadList* list) {
  if (shape.textMode != ENCODING_DOUBLE_BYTE || leadByteTable[*m().cur] == 0) return false;
  for (int32_t i = 0; i < list->count; ++i) {
    const int64_t pc = list->records[static_cast<int64_t>(i) * shape.fields + FIELD_PC];
    if (pc < shape.slots && isSet(compiledPattern.program[pc].opcode)) return true;
  }
  return false;
}

}  // namespace

bool pikeCandidateAllowed(const PikeCandidates& candidates) {
  if (candidates.firstBytes != nullptr) {
    const int32_t c = matcher_internal::byteAtPointer();
    if (c < 0 || candidates.firstBytes[c] == 0) return false;
  }
  return candidates.mayStartAt == nullptr || candidates.mayStartAt();
}

void setRegexEngine(RegexEngine engine) {
  engineChoice = engine;
  resumeCandidates.once = true;
  shape.handedOver = false;
}

void handOverToPikeVm() { shape.handedOver = true; }

bool pikeVmStartsAtOnce() {
  return engineChoice == REGEX_ENGINE_PIKE || (shape.valid && shape.handedOver);
}
RegexEngine regexEngine() { return engineChoice; }

int64_t pikeVmSteps() { return stepCount; }
void clearPikeVmSteps() { stepCount = 0; }

bool pikeVmRunsProgram() {
  // The slots of a SET depend on the mode the program was compiled for.
  if (compiledPattern.program == nullptr ||
      (textSource.charMode == ENCODING_UTF8) != (compiledPattern.encodingMode == ENCODING_UTF8)) {
    return false;
  }
  const Instruction* program = compiledPattern.program;
  const int32_t lastSlot = compiledPattern.lastSlot;
  if (!shapeDescribes(program, lastSlot) && !analyze(program, lastSlot)) {
    shape.valid = false;
    return false;
  }
  return shape.usable;
}

bool pikeVmRunsHere() { return pikeVmRunsProgram() && !shape.lookAhead; }

bool backtrackerRunsLinear() { return pikeVmRunsProgram() && shape.backtrackerLinear; }

bool pikeVmTakesProgram() {
  if (engineChoice == REGEX_ENGINE_BACKTRACK || !pikeVmRunsProgram()) return false;
  return engineChoice == REGEX_ENGINE_PIKE || !shape.backtrackerLinear;
}

namespace {

// Where the last thread ends and the next candidate is near, the search
// goes on to it, as a step of the list with no thread: a search for each
// candidate would cost far more where they stand close together. Past this
// many bytes without a thread the search hands back, and the caller's scan
// for candidates, faster over text that holds few, goes on.
constexpr int32_t IDLE_LIMIT = 16;

// The cached step under either key at `keys` (the list's state and the
// byte) in which a thread of the list reaches MATCH, with *starts its key's
// bit; -1 when neither is such.
inline int32_t stepToMatch(int64_t keys, bool* starts) {
  for (int32_t bit = 0; bit < 2; ++bit) {
    const int32_t t = cache.transitionOf[keys + bit];
    if (t >= 0 && cache.transitions[t].matchParent >= 0) {
      *starts = bit != 0;
      return t;
    }
  }
  return -1;
}

// Whether the cached step t from position pos (the pointer) may be replayed:
// a step past a look-ahead depends on the text after the byte too, and is
// replayed where the bodies answer as they did. -8 out of memory.
inline int32_t stepAnswersHold(int32_t t, int64_t pos) {
  if (cache.transitions[t].verdictCount == 0) return 1;
  // Answers kept are read without moving the pointer, which stays in the
  // window.
  const int32_t kept = keptAnswersHold(cache.transitions[t], pos + 1);
  if (kept >= 0) return kept;
  MatcherState& s = m();
  ++s.cur;
  const int32_t hold = verdictsHold(cache.transitions[t], pos + 1);
  // A body read near the window's end may have moved the window.
  movePointerBack(1);
  return hold <= 0 ? hold : awayFromEdges() ? 1 : 0;
}

// Keeps the step just recorded, which made the list of cache state `next`:
// its transition, or -1 when the cache has no room for it. A flush while the
// list was added took the step's threads with it.
int32_t keepRecordedStep(int32_t next) {
  if (next < 0 || cache.flushes != cache.recordFlushes ||
      cache.transitionCount == CACHE_TRANSITIONS) {
    return -1;
  }
  CachedTransition t = cache.pending;
  t.next = next;
  t.threadCount = cache.threadCount - cache.recordThreadFirst;
  t.standsAtSet = false;
  for (int32_t i = 0; i < t.threadCount; ++i) {
    const int32_t pc = cache.threads[t.threadFirst + i].pc;
    if (pc < shape.slots && isSet(compiledPattern.program[pc].opcode)) t.standsAtSet = true;
  }
  cache.transitions[cache.transitionCount] = t;
  return cache.transitionCount++;
}

// Whether the follow of a new thread at the pointer depends on nothing but
// the program and the look-ahead answers there: away from the window's
// edges, where LINE_START and LINE_END do not hold, as for a cached step.
inline bool entryAwayFromEdges() { return awayFromEdges() && m().cur != m().windowStart; }

// A search begins with a lone new thread at its first position, which every
// search after a match follows through the same instructions: the follow is
// kept as the cache's entry and replayed into `ready` where the look-ahead
// answers it took hold again. 1 when it was replayed (*state the list's
// cache state), 0 when the thread must be followed, -8 out of memory.
int32_t replayEntry(ThreadList* ready, ThreadList* before, bool* matched, int32_t* state) {
  if (cache.entry < 0 || !entryAwayFromEdges()) return 0;
  const CachedTransition& t = cache.transitions[cache.entry];
  if (t.verdictCount > 0) {
    const int32_t hold = verdictsHold(t, 0);
    // A body read near the window's end may have moved the window.
    if (hold <= 0 || !entryAwayFromEdges()) return hold;
  }
  before->count = 0;
  if (!replay(t, before, ready, 0, matched)) return 0;
  stepCount += ready->count + 1;
  *state = t.next;
  return 1;
}

// The steps a short search may take from the cache without a list.
constexpr int32_t SHORT_RUN_STEPS = 4;

// The thread at `index` of the list a cached step made (`step` -1: the
// entry's list).
inline const CachedThread& threadOfList(int32_t step, int32_t index) {
  const CachedTransition& t = step < 0 ? cache.transitions[cache.entry] : cache.transitions[step];
  return cache.threads[t.threadFirst + index];
}

// Double-byte text: whether a thread of a cached list stands at a SET, which
// may read the trail of a lead byte (see stepReadsTrail).
bool cachedListReadsTrail(int32_t step) {
  if (shape.textMode != ENCODING_DOUBLE_BYTE || leadByteTable[*m().cur] == 0) return false;
  const CachedTransition& t = step < 0 ? cache.transitions[cache.entry] : cache.transitions[step];
  return t.standsAtSet;
}

// The record of the last match a short search found, by the cached steps it
// took: the record follows from those steps alone, so a short search that
// takes the same steps (the next "b" of "abab..." under b(?!(ab)*c)) copies
// it instead of going back through the threads.
constexpr int32_t SHORT_RECORD_FIELDS = 24;

struct ShortRecord {
  bool valid;
  uint32_t flushes;     // the cache's, when the steps were taken
  uint32_t generation;  // the cache's analysis
  int32_t entry;
  int32_t steps;  // taken[0..steps)
  int32_t taken[SHORT_RUN_STEPS];
  int32_t from;  // the position where the matching thread started
  int64_t best[SHORT_RECORD_FIELDS];
};

ShortRecord shortRecord{};

bool shortRecordTook(const int32_t* taken, int32_t steps) {
  const ShortRecord& r = shortRecord;
  if (!r.valid || r.steps != steps || r.flushes != cache.flushes ||
      r.generation != cache.generation || r.entry != cache.entry) {
    return false;
  }
  for (int32_t j = 0; j < steps; ++j) {
    if (r.taken[j] != taken[j]) return false;
  }
  return true;
}

void keepShortRecord(const int32_t* taken, int32_t steps, int32_t from, const int64_t* best) {
  ShortRecord& r = shortRecord;
  r.valid = shape.fields <= SHORT_RECORD_FIELDS;
  if (!r.valid) return;
  r.flushes = cache.flushes;
  r.generation = cache.generation;
  r.entry = cache.entry;
  r.steps = steps;
  for (int32_t j = 0; j < steps; ++j) r.taken[j] = taken[j];
  r.from = from;
  std::memcpy(r.best, best, sizeof(int64_t) * static_cast<size_t>(shape.fields));
}

// A short search: every match a few bytes long after a look-ahead (b(?!x)
// over a line of b, a character of two bytes in double-byte text). From the
// entry's list the cached steps are followed by their states alone, each
// where its key and look-ahead answers hold, as the search would replay
// them, until one reaches MATCH and leaves no thread. The match's record
// then follows from the operations of the threads it descends from, step by
// step back to the one that started it: no list is made. 1 when the match
// is so found and reported (the pointer at its start), 0 when the search
// must run from the start (the pointer back there), -8 out of memory.
int32_t replayShortRun(const PikeCandidates& candidates) {
  if (cache.entry < 0 || !entryAwayFromEdges()) return 0;
  const CachedTransition& entry = cache.transitions[cache.entry];
  if (entry.matchParent != NO_MATCH) return 0;
  if (entry.verdictCount > 0) {
    const int32_t hold = verdictsHold(entry, 0);
    if (hold <= 0 || !entryAwayFromEdges()) return hold;
  }
  MatcherState& s = m();
  int32_t taken[SHORT_RUN_STEPS];
  int32_t advanced = 0;  // the bytes the pointer has passed
  int32_t state = entry.next;
  for (int32_t k = 0; k < SHORT_RUN_STEPS; ++k) {
    if ((k > 0 && !awayFromEdges()) || cachedListReadsTrail(k > 0 ? taken[k - 1] : -1)) break;
    const int64_t keys = static_cast<int64_t>(state) * CACHE_KEYS_PER_STATE + *s.cur * 2;
    bool starts = false;
    int32_t t = stepToMatch(keys, &starts);
    int32_t hold = t >= 0 ? stepAnswersHold(t, k) : 0;
    if (hold == 0) {
      ++s.cur;
      starts = !candidates.once && threadStartsAt(candidates, k + 1);
      --s.cur;
      t = cache.transitionOf[keys + (starts ? 1 : 0)];
      hold = t >= 0 ? stepAnswersHold(t, k) : 0;
    }
    if (hold < 0) {
      movePointerBack(advanced);
      return hold;
    }
    if (hold == 0) break;
    taken[k] = t;
    ++s.cur;
    ++advanced;
    const CachedTransition& step = cache.transitions[t];
    // Threads before the match may still find one of their own; with no
    // thread and no match the search passes bytes with none.
    if (step.threadCount > 0 && step.matchParent == NO_MATCH) {
      state = step.next;
      continue;
    }
    if (step.threadCount > 0 || step.matchParent == NO_MATCH) break;
    int64_t* best = rt.best;
    int32_t from = k + 1;  // the position where the thread started
    if (shortRecordTook(taken, k + 1)) {
      std::memcpy(best, shortRecord.best, sizeof(int64_t) * static_cast<size_t>(shape.fields));
      from = shortRecord.from;
    } else {
      // The threads the match descends from, back to the one that started
      // (none: a thread that started after the byte matched at once).
      int32_t ancestry[SHORT_RUN_STEPS];
      int32_t parent = step.matchParent;
      while (parent >= 0) {
        --from;
        ancestry[from] = parent;
        parent = threadOfList(from > 0 ? taken[from - 1] : -1, parent).parent;
      }
      for (int32_t i = 0; i < shape.fields; ++i) best[i] = 0;
      best[FIELD_START] = from;
      for (int32_t j = from; j <= k; ++j) {
        const CachedThread& thread = threadOfList(j > 0 ? taken[j - 1] : -1, ancestry[j]);
        if (j > from) best[FIELD_PASSES] = 0;
        applyOps(best, thread.opFirst, thread.opCount, j - from);
      }
      best[FIELD_PASSES] = 0;
      applyOps(best, step.matchOpFirst, step.matchOpCount, k + 1 - from);
      keepShortRecord(taken, k + 1, from, best);
    }
    rt.bestEnd = k + 1;
    stepCount += entry.threadCount + k + 2;
    movePointerBack(k + 1 - from);
    reportMatch();
    return 1;
  }
  movePointerBack(advanced);
  rt.nextSeed = 0;
  rt.lastSeed = -1;
  return 0;
}

int32_t runSearch(const PikeCandidates& candidates) {
  if (!prepareRuntime()) return REGEX_OUT_OF_MEMORY;
  const bool cached = prepareCache();
  ThreadList* ready = &rt.lists[0];  // threads at consuming instructions
  ThreadList* moved = &rt.lists[1];  // threads past their byte, still to follow
  bool matched = false;
  int64_t pos = 0;
  rt.recording = false;
  rt.nextSeed = 0;
  rt.lastSeed = -1;
  int32_t state = -1;
  // A thread may start at the first position wherever a character may
  // begin there (in double-byte text not on a trail byte); where the search
  // goes on, the position is asked again for the characters after it.
  const bool seeded =
      (shape.textMode != ENCODING_DOUBLE_BYTE || matcher_internal::atCharacterBoundary()) &&
      pikeCandidateAllowed(candidates);
  if (seeded && cached) {
    const int32_t found = replayShortRun(candidates);
    if (found > 0) rt.foundByShortRun = true;
    if (found != 0) return found > 0 ? 0 : REGEX_OUT_OF_MEMORY;
  }
  // In UTF-8 text by characters the answer there tells where the next
  // character begins; elsewhere it is the one above.
  if (shape.textMode == ENCODING_UTF8) seedPositionAllowed(candidates, pos);
  const int32_t entered = seeded && cached ? replayEntry(ready, moved, &matched, &state) : 0;
  if (entered < 0) return REGEX_OUT_OF_MEMORY;
  if (entered == 0) {
    if (seeded && cached && entryAwayFromEdges()) beginRecording();
    if (followAll(moved, ready, pos, candidates, &matched, seeded ? SEED_STARTS : SEED_NONE) != 0) {
      return REGEX_OUT_OF_MEMORY;
    }
    const bool recorded = rt.recording && !cache.recordFailed;
    rt.recording = false;
    state = cached ? listState(ready) : -1;
    if (recorded) {
      const int32_t t = keepRecordedStep(state);
      if (t >= 0) cache.entry = t;
    }
  }
  CycleHistory history;
  history.count = 0;
  history.flushes = 0;
  history.idle = 0;
  history.wait = 0;
  int32_t idle = 0;  // bytes passed since the list last held a thread
  for (;;) {
    if (ready->count > 0) {
      idle = 0;
    } else if (matched || candidates.once || idle++ >= IDLE_LIMIT) {
      break;
    }
    int64_t key = -1;
    SeedAnswer seed = SEED_ASK;
    if (state >= 0 && awayFromEdges() && !stepReadsTrail(ready)) {
      // The key: the list, the byte here, and whether a thread starts at
      // the next position.
      MatcherState& s = m();
      const uint8_t byte = *s.cur;
      const int64_t keys = static_cast<int64_t>(state) * CACHE_KEYS_PER_STATE + byte * 2;
      bool starts = false;
      // A step in which a thread of the list reaches MATCH starts no thread
      // (those after the match are dropped, and a new one would come last):
      // under either key it is the same step, and the question is not asked.
      int32_t t = matched || candidates.once ? -1 : stepToMatch(keys, &starts);
      if (t >= 0) {
        const int32_t hold = stepAnswersHold(t, pos);
        if (hold < 0) return REGEX_OUT_OF_MEMORY;
        if (hold == 0) t = -1;
      }
      if (t < 0) {
        ++s.cur;
        starts = !matched && !candidates.once && threadStartsAt(candidates, pos + 1);
        --s.cur;
        seed = starts ? SEED_STARTS : SEED_NONE;
        t = cache.transitionOf[keys + (starts ? 1 : 0)];
        if (t >= 0) {
          const int32_t hold = stepAnswersHold(t, pos);
          if (hold < 0) return REGEX_OUT_OF_MEMORY;
          if (hold == 0) t = -1;
        }
      }
      key = keys + (starts ? 1 : 0);
      if (t >= 0 && replay(cache.transitions[t], ready, moved, pos + 1, &matched)) {
        stepCount += ready->count + moved->count;
        ++s.cur;
        ++pos;
        ThreadList* swap = ready;
        ready = moved;
        moved = swap;
        rememberStep(&history, CycleStep{state, t, byte, starts});
        state = cache.transitions[t].next;
        if (matched && ready->count == 0) {
          // The search ends here.
        } else if (history.wait > 0) {
          --history.wait;
        } else if (awayFromEdges()) {
          const int64_t skip =
              bytesToSkip(history, state, ready, pos, candidates, matched || candidates.once);
          if (skip < 0) return REGEX_OUT_OF_MEMORY;
          s.cur += skip;
          pos += skip;
          if (ready->count == 0) {
            idle = skip < IDLE_LIMIT ? idle + static_cast<int32_t>(skip) : IDLE_LIMIT;
          }
          // Where no cycle can be skipped the steps stay replayed, and the
          // question is asked again only after a while.
          history.idle = skip > 0 ? 0 : history.idle < CYCLE_WAIT_LIMIT ? history.idle * 2 + 1
                                                                        : CYCLE_WAIT_LIMIT;
          history.wait = history.idle;
        }
        continue;
      }
      if (t < 0) beginRecording();
    }
    history.count = 0;
    if (stepAll(ready, moved, pos) != 0) return REGEX_OUT_OF_MEMORY;
    // With no thread left the pointer moves on only over a byte: at the end
    // of the text it would not move.
    const bool goesOn = moved->count > 0 || (!matched && !candidates.once && idle < IDLE_LIMIT &&
                                             byteExists());
    if (!goesOn || !stepPointer()) {
      rt.recording = false;
      break;
    }
    ++pos;
    if (followAll(moved, ready, pos, candidates, &matched, seed) != 0) return REGEX_OUT_OF_MEMORY;
    const bool recorded = rt.recording && !cache.recordFailed;
    rt.recording = false;
    state = cached ? listState(ready) : -1;
    if (recorded) {
      const int32_t t = keepRecordedStep(state);
      if (t >= 0) cache.transitionOf[key] = t;
    }
  }

  if (matched) {
    movePointerBack(pos - rt.best[FIELD_START]);
    reportMatch();
    return 0;
  }
  if (candidates.once) {
    movePointerBack(pos);
    return 1;
  }
  return atTextEnd() ? PIKE_TEXT_END : 1;
}

}  // namespace

int32_t runPikeVm(const PikeCandidates& candidates) {
  rt.foundByShortRun = false;
  int32_t result;
  if (!shape.bodiesByMemo) {
    result = runSearch(candidates);
  } else {
    // The memo begins its search with the first body it answers: the bodies
    // answered backward over long lines need none of its records.
    rt.memoBegun = false;
    rt.startsOnContinuation =
        shape.textMode == ENCODING_UTF8 && (byteAtPointer() & 0xC0) == 0x80;
    result = runSearch(candidates);
    if (rt.memoBegun) backtrack_memo::endLookAheadBodies();
  }
  resumeCandidates = candidates;
  resumeAnalysis = analysisGeneration;
  std::memset(resumeByteAnswers, -1, sizeof resumeByteAnswers);
  if (result != 0 || !rt.foundByShortRun) resumeCandidates.once = true;
  return result;
}

bool pikeVmMayResume() { return !resumeCandidates.once; }

namespace {

// pikeCandidateAllowed under the resumed candidates, at a pointer inside
// the window.
bool resumedCandidateAllowed() {
  const uint8_t byte = *m().cur;
  if (byte == '\n' || (byte >= 0x80 && shape.textMode == ENCODING_UTF8)) {
    return pikeCandidateAllowed(resumeCandidates);
  }
  int8_t& known = resumeByteAnswers[byte];
  if (known < 0) known = pikeCandidateAllowed(resumeCandidates) ? 1 : 0;
  return known != 0;
}

}  // namespace

int32_t resumePikeVm(int32_t reach, uint32_t text, int64_t offset) {
  MatcherState& s = m();
  const PikeCandidates& candidates = resumeCandidates;
  if (candidates.once || resumeAnalysis != analysisGeneration || !cache.allocated ||
      cache.generation != analysisGeneration || rt.preparedAnalysis != analysisGeneration ||
      shape.textMode != textSource.charMode) {
    return 0;
  }
  // No thread starts before the first candidate: the search from there is
  // the search from the pointer.
  int32_t passed = 0;
  for (;;) {
    if (!entryAwayFromEdges()) break;
    if (resumedCandidateAllowed() &&
        (shape.textMode != ENCODING_DOUBLE_BYTE || matcher_internal::atCharacterBoundary())) {
      // The search's position 0 is here; the answers kept stay, as
      // prepareRuntime keeps them over the same text.
      if (shape.lookAhead && (text == 0 || text != rt.verdictText ||
                              rt.verdictAnalysis != analysisGeneration)) {
        if (!prepareRuntime()) return REGEX_OUT_OF_MEMORY;
      } else {
        rt.verdictBase = offset + passed;
        rt.lists[0].count = 0;
        rt.lists[1].count = 0;
      }
      rt.recording = false;
      rt.nextSeed = 0;
      rt.lastSeed = -1;
      rt.memoBegun = false;
      rt.startsOnContinuation = false;
      const int32_t found = replayShortRun(candidates);
      if (rt.memoBegun) backtrack_memo::endLookAheadBodies();
      if (found > 0) return 1;
      if (found < 0) return REGEX_OUT_OF_MEMORY;
      break;
    }
    if (passed == reach) break;
    ++s.cur;
    ++passed;
  }
  movePointerBack(passed);
  return 0;
}

// ---------------------------------------------------------------------------
// State sets, for the lazy DFA
//
// The DFA keeps threads as state numbers. A number is turned back into a
// record (live values in place, every other field 0) to be followed with the
// VM's own followThread and stepThread, and the records reached are numbered
// again; the threads of a round are deduplicated as in a VM step.

namespace {

ThreadList setList;
int64_t* setRecord = nullptr;
int32_t setRecordFields = 0;

// The record of a state number; false when the number names no state.
bool recordOfState(int32_t state, int64_t* record) {
  const Shape& sh = shape;
  if (state < 0 || state >= sh.states) return false;
  int32_t low = 0;
  int32_t high = sh.pcCount - 1;
  while (low < high) {  // the last index whose first state is at most `state`
    const int32_t middle = (low + high + 1) / 2;
    if (sh.stateBase[middle] <= state) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  for (int32_t i = 0; i < sh.fields; ++i) record[i] = 0;
  record[FIELD_PC] = low;
  const int64_t offset = state - sh.stateBase[low];
  for (int32_t k = sh.liveFirst[low]; k < sh.liveFirst[low + 1]; ++k) {
    const LiveItem& item = sh.live[k];
    const int64_t value = (offset / item.stride) % item.radix;
    if (item.field >= 0) {
      record[item.field] = value;
    } else {
      record[FIELD_PASSES] |= value << item.bit;
    }
  }
  return true;
}

bool prepareSetRecord() {
  if (setRecordFields >= shape.fields) return true;
  if (!memGrowArray(&setRecord, shape.fields)) return false;
  setRecordFields = shape.fields;
  return true;
}

}  // namespace

int32_t pikeStateCount() { return static_cast<int32_t>(shape.states); }

int32_t pikeStateInstruction(int32_t state, int32_t* bytesToWait) {
  *bytesToWait = 0;
  if (!prepareSetRecord() || !recordOfState(state, setRecord)) return PIKE_STATE_UNKNOWN;
  const int32_t index = static_cast<int32_t>(setRecord[FIELD_PC]);
  if (index < shape.slots) return index;
  // A tail: its owner's first tail waits out one byte, each later one a
  // byte more.
  const int32_t owner = shape.ownerOfTail[index - shape.slots];
  if (owner < 0) return PIKE_STATE_UNKNOWN;
  *bytesToWait = index - shape.slots - shape.tailOf[owner] + 1;
  return owner;
}

int32_t pikeTakeByte(const int32_t* states, int32_t count, int32_t* moved) {
  if (!prepareSetRecord()) return REGEX_OUT_OF_MEMORY;
  for (int32_t i = 0; i < count; ++i) {
    if (!recordOfState(states[i], setRecord)) return PIKE_STATE_UNKNOWN;
    ++stepCount;
    const int32_t next = stepThread(setRecord);
    if (next < 0) {
      moved[i] = PIKE_STATE_DEAD;
      continue;
    }
    setRecord[FIELD_PC] = next;
    setRecord[FIELD_PASSES] = 0;
    const int64_t number = stateNumber(setRecord);
    if (number < 0) return PIKE_STATE_UNKNOWN;
    moved[i] = static_cast<int32_t>(number);
  }
  return 0;
}

int32_t pikeFollowStates(const int32_t* moved, int32_t count, bool startHere, int32_t* out,
                         int32_t* outCount) {
  *outCount = 0;
  if (!prepareRuntime() || !prepareSetRecord()) return REGEX_OUT_OF_MEMORY;
  rt.recording = false;
  nextRound();
  setList.count = 0;
  FollowResult result = FOLLOW_DONE;
  for (int32_t i = 0; i <= count && result == FOLLOW_DONE; ++i) {
    if (i == count) {
      if (!startHere) break;
      for (int32_t f = 0; f < shape.fields; ++f) setRecord[f] = 0;
    } else if (moved[i] == PIKE_STATE_DEAD) {
      continue;
    } else if (!recordOfState(moved[i], setRecord)) {
      return PIKE_STATE_UNKNOWN;
    }
    result = followThread(setRecord, 0, &setList);
  }
  if (result == FOLLOW_OUT_OF_MEMORY) return REGEX_OUT_OF_MEMORY;
  for (int32_t i = 0; i < setList.count; ++i) {
    const int64_t number = stateNumber(setList.records + static_cast<int64_t>(i) * shape.fields);
    if (number < 0) return PIKE_STATE_UNKNOWN;
    out[(*outCount)++] = static_cast<int32_t>(number);
  }
  return result == FOLLOW_MATCHED ? PIKE_FOLLOW_MATCHED : 0;
}
