// The lazy DFA: a line filter over the Pike VM's states, and anchored runs
// that find the match at one start (see "Anchored runs" below).
//
// Most lines of a text hold no match, and the exact engines (the
// backtracker, matcher.cpp, and the Pike VM, pike_vm.cpp) spend their time
// proving it, one start position after the other or one thread list per byte.
// This filter runs first over a line and tells whether a match starts in it
// at all; a line without one is passed whole, and only a line with one goes
// to the exact engine, which then reports exactly what it reports without
// the filter (start, length, cursor mark, order).
//
// A DFA state is the list of the Pike VM's states (instruction or tail,
// live counters, pass-start flags; no group bounds, no cursor mark) that threads
// started anywhere from the scan's start on can stand in at one position,
// in the order the VM keeps them; a new thread joins at every position. The
// states are built on demand: the first time a state meets a byte, the VM's
// own step (pikeTakeByte, pikeFollowStates) computes the next one, which is
// kept in a table of 256 entries per state. Away from the window's edges a
// step depends on nothing but the state and the byte (the VM's transition
// cache rests on the same fact), so the table answers there; at the edges
// (a line's first byte and its last three, where the line-end and line-start
// tests ask the text source) every step is the VM's own, so the filter answers
// as the VM does at line ends, CR LF pairs and the window's borders, and a
// line longer than the window is followed into the next one.
//
// A line's tail is mostly not stepped the long way: where the window ends
// with the line's line feed and the bytes before it are ASCII and no CR, an
// item reads its byte there as inside the window and a line test fails as
// inside, but for a LINE_END at the line feed. So the table answers up to
// the line feed; with line tests up to the byte before it, whose step is
// taken the long way once per state and byte and then known by whether it
// reaches MATCH (the line-end bits). Where the tail is not so, every state
// knows the fewest bytes that still lead to MATCH, and when the bytes left
// before the line end are fewer, no match can start in the rest of the line.
//
// When the first thread reaches MATCH the scan stops: that is the earliest
// end e of any match from the scan's start. The leftmost match starts no
// earlier than the last position f before e where every thread started
// before f had died: no such thread reached MATCH, as e is the first end,
// nor can it any more. A state that holds only threads started at its own
// position (reached by a step on which every thread of the state before
// died, or the start) is fresh, and the same list reached otherwise is
// another state; so f is the last position where the scan stood in a fresh
// state. Inside the window every fresh step leads to the same fresh state,
// the start state, and the table's loop notes where it last passed there at
// the cost of a comparison. A program whose matches are at most L bytes long
// also has its leftmost match start no earlier than e - L. The pointer is
// moved to the later of the two, and the exact engine starts there: on
// `x = foo(bar)` under [a-z]+\(, at foo, not at the line's start where it
// would try every start of every word before; over a line of megabytes with
// one match near its end, the engines run over a few bytes. The positions
// between f and the leftmost start (threads that lived on past f and died
// before e, as in a.b.c( under [a-z]+\.[a-z]+\() are left to the engine.
//
// Where the caller knows the last position of the line at which a match may
// start (the last occurrence of a one-byte required literal), a fresh state
// past it ends the scan: no thread but the one started there lives, and none
// started there or later can match.
//
// Where a program has no line test, a line the data in memory holds can be
// read by the table alone, outside the window and without the frame of a
// scan (skimLineWithDfa): from a fresh thread at the first byte where a
// match may start, every step must be kept and none may reach MATCH for the
// line to pass; a step not kept (a lead byte in UTF-8 text, a byte not met
// before) leaves the line to the scan. The search's gate passes so the
// lines that hold its literal but no match.
//
// The table and the state lists have a fixed budget (LAZY_DFA_BUDGET). When
// it is used up the cache is cleared; when that happens too often for the
// bytes it covered, the filter gives up on the line (the exact engine takes
// the whole line as it would without the filter), and after a few such lines
// on the program.
//
// Double-byte and UTF-8 text. The VM takes a character of several bytes
// at its first byte and waits out the rest in tail states, each a state of
// its own that takes any byte; so the filter steps bytes here too, and a
// tail state's fewest bytes to MATCH are its item's, less the byte the item
// counts, plus the bytes it still waits. The table may keep a step only
// where the byte alone decides it. In UTF-8 text that holds for a byte
// below 0xC2 or above 0xFD, which is a character of its own whatever
// follows (ASCII, or code point -1: a continuation byte, an overlong or
// never-leading byte), and for any byte a tail state waits out; a lead byte
// is taken the long way every time, since its character depends on the
// bytes after it. In double-byte text only a SET whose row for a lead byte
// is partial reads the trail byte to decide, so those lead bytes go the
// long way. The edges widen to seven bytes from the window's end, so that
// every read of a kept step is straight from the window.
//
// New threads join at every position, continuation and trail bytes too:
// more starts than the search tries, which can only make a line pass for a
// candidate, never hide one. A match starts no earlier than the first end
// less the longest match, counted in bytes (a CHAR takes its character's
// bytes, or four under -I, where a case form may be longer; ANY and SET up
// to six in UTF-8, two in double-byte text). That position may lie inside a
// character; the search then tries it, and no match starts there: a match
// from a continuation byte takes it as one byte of code point -1 with an
// item counted as six, so it would end before the first end. A fresh
// position f may lie inside a character too, after a thread that died at
// the character's lead byte, and there the new thread of the continuation
// byte may well match: in UTF-8 text f moves back to the nearest byte at or
// before it that is no continuation byte, which starts a character wherever
// it stands (or stays, when five continuation bytes come before it, which no
// lead byte reaches past). Double-byte engines test a start's boundary
// themselves.
//
// The filter runs only where its answer is sure to be the exact engine's:
// programs the VM can run (no BACKREF, no NOT_AHEAD) that take at least one
// byte. In lines, the program's matches must stay on their line (no NEWLINE,
// nothing that crosses line ends as \om does, no item that takes a CR or LF;
// with \om the filter is not used). In fixed-length records, where the
// window is a whole block and a match may run on across record ends, the
// program must have no line test (LINE_START, LINE_END, NEWLINE: the source
// answers them at every position), and a scan reads on to the first match's
// end or the text's end. Tested by lazy_dfa_test.cpp.
#include "pattern/lazy_dfa.h"

#include <cstring>

#include "pattern/compiled_pattern.h"
#include "pattern/literal_trie.h"
#include "pattern/matcher.h"
#include "pattern/matcher_internal.h"
#include "pattern/pike_vm.h"
#include "pattern/text_source.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

using matcher_internal::movePointerBack;
using matcher_internal::refreshWindow;
using matcher_internal::stepPointer;

constexpr int32_t LAZY_DFA_BUDGET = 1 << 20;
// Programs with more VM states than this are left to the exact engines: the
// working lists are sized by it.
constexpr int32_t DFA_PROGRAM_STATE_LIMIT = 4096;
// Bytes a cleared cache must have covered per state it held, or the clear
// counts as thrashing; after this many thrashing lines the program is left
// to the exact engines.
constexpr int64_t THRASH_BYTES_PER_STATE = 16;
constexpr int32_t THRASH_LINE_LIMIT = 4;
constexpr int32_t NO_DISTANCE = INT32_MAX;
constexpr int64_t UNBOUNDED = -1;

LazyDfaUse dfaUse = LAZY_DFA_AUTO;
int64_t linesPassed = 0;
int64_t anchoredAnswers = 0;  // anchored runs that answered, for tests

// ---------------------------------------------------------------------------
// Program analysis

struct Analysis {
  Instruction* copy;  // the program analysed, kept to recognize it again
  int32_t slots;
  int32_t textMode;    // and the character mode and letter case it was analysed for
  int32_t ignoreCase;
  uint32_t generation;  // the compiled pattern's number for it, 0 none
  bool eligible;        // in lines: its matches stay on their line
  bool recordEligible;  // in records: no line test, which the source would answer
  bool hasLineStart;
  bool lineTests;  // a LINE_START, LINE_END or NEWLINE, which ask the source at a line's ends
  // Anchored runs may take the program: it is eligible in lines, records no
  // cursor mark, and the text is not double-byte. Group bounds are left to
  // the backtracker, which records them at a start where a run found a match.
  bool anchoredEligible;
  bool groupBounds;
  bool startMeetsLineStart;  // see startMeetsLineStart
  bool anchoredThrashed;  // the cache thrashed under anchored runs
  int32_t* distance;  // per slot: the fewest bytes from there to MATCH
  int64_t longest;    // the most bytes a match takes, or UNBOUNDED
  // The most bytes a match takes before its required literal (one of the
  // set) begins, or UNBOUNDED.
  int64_t literalReach;
  int32_t thrashingLines;
  // The program runs as a trie (literal_trie.cpp), which needs no filter:
  // it is not analysed further, which would cost memory in proportion to the
  // program (a word list of thousands of slots), while no other engine or
  // filter is asked to run it.
  bool leftToTrie;
  // Per byte: whether every state's step on it depends on the byte alone,
  // so that the table may keep it (see the comment at the top).
  uint8_t byteAlone[256];
};

Analysis analysis;

bool isSet(uint8_t opcode) { return opcode == OP_SET || opcode == OP_SET_SCAN; }
bool isItem(uint8_t opcode) {
  return opcode == OP_CHAR || opcode == OP_ANY || opcode == OP_SET || opcode == OP_CHAR_SCAN ||
         opcode == OP_ANY_SCAN || opcode == OP_SET_SCAN;
}

int32_t slotLength(const Instruction& in) {
  return isSet(in.opcode) ? setSlotCount(in, analysis.textMode) : 1;
}

// The most bytes one character of an item takes: a CHAR in double-byte text
// tests the lead byte alone; in UTF-8 a CHAR takes its own character, or
// under -I a case form of it (at most four bytes, as every letter), a SET of
// ASCII members one byte, and ANY and other SETs any sequence the decoder
// accepts.
int32_t itemBytes(const Instruction& in) {
  if (analysis.textMode == ENCODING_DOUBLE_BYTE) {
    return in.opcode == OP_CHAR || in.opcode == OP_CHAR_SCAN ? 1 : 2;
  }
  if (analysis.textMode != ENCODING_UTF8) return 1;
  if (isSet(in.opcode) && (in.setFlags() & SET_HOLDS_INVALID_BYTES) == 0) {
    // A set of ASCII members alone takes one byte: its header (low, high,
    // pairs above U+FFFF) follows the slot.
    uint32_t header[3];
    std::memcpy(header, &in + 1, sizeof header);
    if (header[2] == 0 && header[1] < 0x80) return 1;
  }
  if (in.opcode != OP_CHAR && in.opcode != OP_CHAR_SCAN) return 6;
  const uint32_t c = in.acceptedVariant();
  const int32_t own = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : c < 0x200000 ? 4 : 6;
  return analysis.ignoreCase != 0 && own < 4 ? 4 : own;
}

// Whether no match can run past its line's last byte before the line end:
// such an item would be a NEWLINE, a line-crossing item or LINE_END, or a
// CHAR of CR or LF (the text source lets the VM read a CR LF pair's bytes
// through some of these).
bool staysOnLine(const Instruction& in) {
  if (in.opcode == OP_NEWLINE) return false;
  if (isItem(in.opcode) && in.crossLines() != 0) return false;
  if (in.opcode == OP_LINE_END && in.newlineEscape() != 0) return false;
  if (in.opcode == OP_CHAR || in.opcode == OP_CHAR_SCAN) {
    if (in.accepted() == '\n' || in.accepted() == '\r' || in.acceptedVariant() == '\n' ||
        in.acceptedVariant() == '\r')
      return false;
  }
  return true;
}

// The fewest bytes from each slot to MATCH, counters aside (a counted loop
// may exit at any pass): a lower bound, which is what the tail test needs.
void computeDistances(const Instruction* program, int32_t slots, const uint8_t* isStart) {
  int32_t* d = analysis.distance;
  for (int32_t pc = 0; pc < slots; ++pc) d[pc] = NO_DISTANCE;
  for (bool changed = true; changed;) {
    changed = false;
    for (int32_t pc = slots - 1; pc >= 0; --pc) {
      if (!isStart[pc]) continue;
      const Instruction& in = program[pc];
      int32_t best = d[pc];
      auto via = [&](int64_t target, int32_t cost) {
        if (target < 0 || target >= slots || d[target] == NO_DISTANCE) return;
        if (d[target] + cost < best) best = d[target] + cost;
      };
      switch (in.opcode) {
        case OP_MATCH:
          best = 0;
          break;
        case OP_JUMP:
          via(pc + static_cast<int64_t>(in.next()), 0);
          break;
        case OP_SPLIT:
        case OP_SPLIT_FIRST:
        case OP_COUNT_LOOP:
        case OP_COUNT_LOOP_MIN:
          via(pc + static_cast<int64_t>(in.branch()), 0);
          via(pc + static_cast<int64_t>(in.next()), 0);
          break;
        default:
          via(pc + slotLength(in), isItem(in.opcode) ? 1 : 0);
          break;
      }
      if (best < d[pc]) {
        d[pc] = best;
        changed = true;
      }
    }
  }
}

// The most bytes a match takes, from the slots in reverse: a branch back
// makes it unbounded, except a counted loop's with a maximum, whose body is
// measured up to its COUNT_LOOP (counted as 0 there) and taken that many
// times at its COUNT_RESET. With stop slots, the most bytes taken before
// one of them is reached (a stop inside a counted loop's body is not
// measured: the length is then unbounded).
int64_t computeLongest(const Instruction* program, int32_t slots, const uint8_t* isStart,
                       const int32_t* stops = nullptr, int32_t stopCount = 0) {
  auto isStop = [stops, stopCount](int32_t pc) {
    for (int32_t i = 0; i < stopCount; ++i) {
      if (stops[i] == pc) return true;
    }
    return false;
  };
  constexpr int64_t CAP = int64_t{1} << 40;
  int64_t* longest = nullptr;
  int32_t* loopOfReset = nullptr;
  if (!memGrowArray(&longest, slots) || !memGrowArray(&loopOfReset, slots)) {
    memFree(longest);
    memFree(loopOfReset);
    return UNBOUNDED;
  }
  for (int32_t pc = 0; pc < slots; ++pc) loopOfReset[pc] = -1;
  for (int32_t pc = 0; pc < slots; ++pc) {
    const Instruction& in = program[pc];
    if (!isStart[pc] || (in.opcode != OP_COUNT_LOOP && in.opcode != OP_COUNT_LOOP_MIN)) continue;
    // A pass is counted from the COUNT_RESET just before the body; a loop
    // without one leaves the length unbounded.
    const int64_t body = pc + static_cast<int64_t>(in.branch());
    if (body < 1 || body > pc || program[body - 1].opcode != OP_COUNT_RESET ||
        program[body - 1].passMark() == PASS_START_MARK || loopOfReset[body - 1] >= 0) {
      memFree(longest);
      memFree(loopOfReset);
      return UNBOUNDED;
    }
    loopOfReset[body - 1] = static_cast<int32_t>(pc);
  }
  auto at = [&](int64_t target, int32_t from) -> int64_t {
    if (target <= from || target >= slots) return UNBOUNDED;
    return longest[target];
  };
  auto add = [](int64_t a, int64_t b) -> int64_t {
    if (a == UNBOUNDED || b == UNBOUNDED || a + b > CAP) return UNBOUNDED;
    return a + b;
  };
  for (int32_t pc = slots - 1; pc >= 0; --pc) {
    if (!isStart[pc]) continue;
    const Instruction& in = program[pc];
    const int32_t next = pc + slotLength(in);
    int64_t value = UNBOUNDED;
    if (isStop(pc)) {
      longest[pc] = 0;
      continue;
    }
    switch (in.opcode) {
      case OP_MATCH:
      case OP_COUNT_LOOP:
      case OP_COUNT_LOOP_MIN:
        value = 0;  // a pass of a counted loop ends here; see COUNT_RESET
        break;
      case OP_CHAR:
      case OP_ANY:
      case OP_SET:
        value = add(itemBytes(in), at(next, pc));
        break;
      case OP_JUMP:
        value = at(pc + static_cast<int64_t>(in.next()), pc);
        break;
      case OP_SPLIT:
      case OP_SPLIT_FIRST: {
        const int64_t a = at(pc + static_cast<int64_t>(in.branch()), pc);
        const int64_t b = at(pc + static_cast<int64_t>(in.next()), pc);
        value = a == UNBOUNDED || b == UNBOUNDED ? UNBOUNDED : (a > b ? a : b);
        break;
      }
      case OP_COUNT_RESET: {
        const int32_t loop = loopOfReset[pc];
        if (loop < 0) {
          value = at(next, pc);
          break;
        }
        const Instruction& back = program[loop];
        // Every slot of the body must lead only into the body or to its loop.
        bool closed = back.maximum() != COUNT_UNBOUNDED && back.next() > 0;
        for (int32_t k = next; k < loop && closed; ++k) {
          if (!isStart[k]) continue;
          if (isStop(k)) closed = false;
          const Instruction& inner = program[k];
          const bool branch =
              inner.opcode == OP_JUMP || inner.opcode == OP_SPLIT || inner.opcode == OP_SPLIT_FIRST;
          if (branch &&
              (k + static_cast<int64_t>(inner.next()) > loop ||
               (inner.opcode != OP_JUMP && k + static_cast<int64_t>(inner.branch()) > loop))) {
            closed = false;
          }
        }
        const int64_t body = closed ? longest[next] : UNBOUNDED;
        const int64_t after = at(loop + static_cast<int64_t>(back.next()), loop);
        if (body == UNBOUNDED || after == UNBOUNDED || body * back.maximum() > CAP) break;
        value = add(body * back.maximum(), after);
        break;
      }
      case OP_MARK_CURSOR:
      case OP_LINE_START:
      case OP_LINE_END:
      case OP_GROUP_START:
      case OP_GROUP_END:
        value = at(next, pc);
        break;
      default:  // scan items (one-item loops) and anything else
        value = UNBOUNDED;
        break;
    }
    longest[pc] = value;
  }
  const int64_t result = longest[0];
  memFree(longest);
  memFree(loopOfReset);
  return result;
}

// Whether a thread started at the program's first slot meets a LINE_START
// before it takes a byte: only then does its follow ask the source about
// the line start there.
bool startMeetsLineStart(const Instruction* program, int32_t slots) {
  uint8_t* seen = nullptr;
  int32_t* pending = nullptr;
  if (!memGrowArray(&seen, slots) || !memGrowArray(&pending, slots)) {
    memFree(seen);
    memFree(pending);
    return true;
  }
  std::memset(seen, 0, static_cast<size_t>(slots));
  int32_t count = 0;
  bool meets = false;
  auto push = [&](int64_t pc) {
    if (pc < 0 || pc >= slots) {
      meets = true;  // not a program to reason about: take the safe answer
      return;
    }
    if (seen[pc] == 0) {
      seen[pc] = 1;
      pending[count++] = static_cast<int32_t>(pc);
    }
  };
  push(0);
  while (count > 0 && !meets) {
    const int32_t pc = pending[--count];
    const Instruction& in = program[pc];
    switch (in.opcode) {
      case OP_LINE_START:
      case OP_NOT_AHEAD:
        meets = true;
        break;
      case OP_JUMP:
        push(pc + static_cast<int64_t>(in.next()));
        break;
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
      case OP_COUNT_LOOP:
      case OP_COUNT_LOOP_MIN:
        push(pc + static_cast<int64_t>(in.branch()));
        push(pc + static_cast<int64_t>(in.next()));
        break;
      case OP_LINE_END:
      case OP_GROUP_START:
      case OP_GROUP_END:
      case OP_MARK_CURSOR:
      case OP_COUNT_RESET:
        push(pc + slotLength(in));
        break;
      default:  // an item takes a byte first; MATCH ends the thread
        break;
    }
  }
  memFree(seen);
  memFree(pending);
  return meets;
}

// In UTF-8 text a byte below 0xC2 or above 0xFD is a character of its own
// whatever follows (ASCII, or code point -1: a continuation byte, an
// overlong lead, a byte that never leads), and a tail waits it out whatever
// it is; a lead byte's character depends on the bytes after it. In
// double-byte text only a SET whose row for a lead byte is partial reads
// the trail byte to decide; ANY takes the pair, CHAR the lead byte alone.
void markBytesAlone(const Instruction* program, int32_t slots, const uint8_t* isStart) {
  uint8_t* alone = analysis.byteAlone;
  for (int32_t b = 0; b < 256; ++b) {
    alone[b] = analysis.textMode != ENCODING_UTF8 || b < 0xC2 || b > 0xFD ? 1 : 0;
  }
  if (analysis.textMode != ENCODING_DOUBLE_BYTE) return;
  for (int32_t pc = 0; pc < slots; ++pc) {
    if (!isStart[pc] || !isSet(program[pc].opcode)) continue;
    for (int32_t b = 0; b < 256; ++b) {
      if (leadByteTable[b] != 0 && matcher_internal::setRowIsPartial(program + pc, b)) alone[b] = 0;
    }
  }
}

// Whether the search runs a trie of the program in the text's mode, and
// nothing else.
bool trieAlone() {
  return regexEngine() == REGEX_ENGINE_AUTO && dfaUse == LAZY_DFA_AUTO &&
         literalTrieRuns(compiledPattern.literalTrie);
}

bool analysisDescribes(const Instruction* program, int32_t slots) {
  if (analysis.slots != slots || analysis.textMode != textSource.charMode ||
      analysis.ignoreCase != compiledPattern.ignoreCase) {
    return false;
  }
  // The program the compiler made last time: no need to compare its slots.
  const uint32_t generation = compiledPattern.generation;
  if (analysis.leftToTrie) return trieAlone() && analysis.generation == generation;
  if (analysis.copy == nullptr) return false;
  if (generation != 0 && analysis.generation == generation) return true;
  if (std::memcmp(analysis.copy, program, static_cast<size_t>(slots) * sizeof(Instruction)) != 0) {
    return false;
  }
  analysis.generation = generation;
  return true;
}

void analyze(const Instruction* program, int32_t slots) {
  Analysis& a = analysis;
  a.eligible = false;
  a.recordEligible = false;
  a.anchoredEligible = false;
  a.anchoredThrashed = false;
  a.slots = 0;
  a.thrashingLines = 0;
  a.literalReach = UNBOUNDED;
  a.textMode = textSource.charMode;
  a.ignoreCase = compiledPattern.ignoreCase;
  a.generation = compiledPattern.generation;
  // A program the compiler made is known again by its number alone.
  a.leftToTrie = trieAlone() && a.generation != 0;
  if (a.leftToTrie) {
    memFree(a.copy);
    memFree(a.distance);
    a.copy = nullptr;
    a.distance = nullptr;
    a.slots = slots;
    return;
  }
  if (!memGrowArray(&a.copy, slots) || !memGrowArray(&a.distance, slots)) return;
  std::memcpy(a.copy, program, static_cast<size_t>(slots) * sizeof(Instruction));
  a.slots = slots;
  if (!pikeVmRunsHere() || pikeStateCount() > DFA_PROGRAM_STATE_LIMIT) return;
  uint8_t* isStart = nullptr;
  if (!memGrowArray(&isStart, slots)) return;
  std::memset(isStart, 0, static_cast<size_t>(slots));
  bool eligible = true;
  bool lineTests = false;
  bool cursorMark = false;
  bool groupBounds = false;
  a.hasLineStart = false;
  for (int32_t pc = 0; pc < slots; pc += slotLength(program[pc])) {
    isStart[pc] = 1;
    const uint8_t op = program[pc].opcode;
    if (op == OP_GROUP_START || op == OP_GROUP_END) groupBounds = true;
    if (op == OP_MARK_CURSOR) cursorMark = true;
    if (!staysOnLine(program[pc])) eligible = false;
    if (program[pc].opcode == OP_LINE_START) a.hasLineStart = true;
    const uint8_t opcode = program[pc].opcode;
    if (opcode == OP_LINE_START || opcode == OP_LINE_END || opcode == OP_NEWLINE) lineTests = true;
  }
  markBytesAlone(program, slots, isStart);
  a.startMeetsLineStart = startMeetsLineStart(program, slots);
  computeDistances(program, slots, isStart);
  a.longest = computeLongest(program, slots, isStart);
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  if (literal.length > 0 && literal.firstSlot >= 0) {
    int32_t stops[REQUIRED_LITERAL_ALTERNATIVES] = {literal.firstSlot};
    for (int32_t i = 0; i < literal.otherCount; ++i) stops[i + 1] = literal.others[i].firstSlot;
    a.literalReach = computeLongest(program, slots, isStart, stops, literal.otherCount + 1);
  }
  memFree(isStart);
  const bool takesBytes = a.distance[0] >= 1 && a.distance[0] != NO_DISTANCE;
  a.eligible = eligible && takesBytes;
  a.recordEligible = !lineTests && takesBytes;
  a.anchoredEligible = a.eligible && !cursorMark && a.textMode != ENCODING_DOUBLE_BYTE;
  a.groupBounds = groupBounds;
  a.lineTests = lineTests;
}

// ---------------------------------------------------------------------------
// The cache of states and transitions

constexpr int32_t NOT_BUILT = -1;
constexpr int32_t MATCHED = -2;
constexpr int32_t LINE_END_WORDS = 2 * 256 / 32;
enum LineEndAnswer : int32_t { LINE_END_UNKNOWN, LINE_END_PASSED, LINE_END_MATCHED };

struct Cache {
  int32_t budget;
  bool allocated;
  int32_t maxStates;
  int32_t hashSlots;  // a power of two, at least twice maxStates
  // Per state and byte: the next state's row (its number times 256, which
  // saves the hot loop a multiplication), NOT_BUILT or MATCHED.
  int32_t* next;
  int32_t* first;     // per state: its members in `members`
  int32_t* length;
  int32_t* distance;  // per state: the fewest bytes its threads need to MATCH
  // Per state: its StateKind. A scan's state holds only threads started at
  // its position (STATE_FRESH, see scanLine) or not; the same list reached
  // otherwise is another state.
  uint8_t* fresh;
  // Per state, two bits per byte: the step on it into a line feed is known,
  // and reaches MATCH (see tableEnd).
  uint32_t* lineEnd;
  int32_t* slots;     // hash table of the states
  int32_t* members;
  int32_t memberCapacity;
  int32_t memberCount;
  int32_t count;
  int32_t start[2];  // a new thread's state away from the edges, off or at a line start
  int32_t anchoredStart[2];  // the same, for an anchored run
  uint32_t program;  // the analysis the states belong to
  bool records;      // and the text: lines or records
  int64_t clears;
  int64_t bytesSinceClear;
  bool thrashing;
  // Working lists, each of room for the program's states.
  int32_t* listA;
  int32_t* listB;
  int32_t* listC;
  int32_t listCapacity;
};

Cache cache;
uint32_t programGeneration = 0;

void freeCache() {
  memFree(cache.next);
  memFree(cache.first);
  memFree(cache.length);
  memFree(cache.distance);
  memFree(cache.fresh);
  memFree(cache.lineEnd);
  cache.lineEnd = nullptr;
  memFree(cache.slots);
  memFree(cache.members);
  cache.next = cache.first = cache.length = cache.distance = cache.slots = cache.members = nullptr;
  cache.fresh = nullptr;
  cache.allocated = false;
}

void clearCache() {
  cache.count = 0;
  cache.memberCount = 0;
  cache.start[0] = cache.start[1] = -1;
  cache.anchoredStart[0] = cache.anchoredStart[1] = -1;
  for (int32_t i = 0; i < cache.hashSlots; ++i) cache.slots[i] = -1;
  cache.program = programGeneration;
}

bool prepareCache() {
  if (!cache.allocated) {
    const int64_t budget = cache.budget > 0 ? cache.budget : LAZY_DFA_BUDGET;
    // A quarter for the members, the rest for the table and the records of
    // each state (256 entries, the line-end bits, three words, a flag and
    // two hash slots).
    cache.memberCapacity = static_cast<int32_t>(budget / 4 / sizeof(int32_t));
    const int64_t perState =
        (256 + LINE_END_WORDS + 3 + 2) * static_cast<int64_t>(sizeof(int32_t)) + 1;
    cache.maxStates = static_cast<int32_t>((budget - budget / 4) / perState);
    if (cache.maxStates < 1) cache.maxStates = 1;
    cache.hashSlots = 1;
    while (cache.hashSlots < 2 * cache.maxStates) cache.hashSlots *= 2;
    if (!memGrowArray(&cache.next, int64_t{cache.maxStates} * 256) ||
        !memGrowArray(&cache.first, cache.maxStates) ||
        !memGrowArray(&cache.length, cache.maxStates) ||
        !memGrowArray(&cache.distance, cache.maxStates) ||
        !memGrowArray(&cache.fresh, cache.maxStates) ||
        !memGrowArray(&cache.lineEnd, int64_t{cache.maxStates} * LINE_END_WORDS) ||
        !memGrowArray(&cache.slots, cache.hashSlots) ||
        !memGrowArray(&cache.members, cache.memberCapacity)) {
      freeCache();
      return false;
    }
    cache.allocated = true;
    clearCache();
  }
  const bool records = textSource.askLineBounds != 0;
  if (cache.program != programGeneration || cache.records != records) clearCache();
  cache.records = records;
  const int32_t states = pikeStateCount();
  if (cache.listCapacity < states) {
    if (!memGrowArray(&cache.listA, states) || !memGrowArray(&cache.listB, states) ||
        !memGrowArray(&cache.listC, states)) {
      return false;
    }
    cache.listCapacity = states;
  }
  return true;
}

// Empties the cache; a clear that comes before the cache covered enough
// bytes for the states it held marks the scan as thrashing.
void clearFullCache() {
  ++cache.clears;
  if (cache.bytesSinceClear < THRASH_BYTES_PER_STATE * cache.count) cache.thrashing = true;
  cache.bytesSinceClear = 0;
  clearCache();
}

// The kinds of state: a scan's lists, where a new thread joins at every
// position, kept apart by whether every thread started at the state's own
// position (fresh); and an anchored run's lists, which no thread joins.
enum StateKind : uint8_t { STATE_JOINED = 0, STATE_FRESH = 1, STATE_ANCHORED = 2 };

uint32_t hashList(const int32_t* list, int32_t n, uint8_t kind) {
  uint32_t h = (2166136261u ^ static_cast<uint32_t>(n)) + kind;
  for (int32_t i = 0; i < n; ++i) h = (h ^ static_cast<uint32_t>(list[i])) * 16777619u;
  return h;
}

// The state of a list of VM states of a kind, added when new; -1 when the
// list does not fit even into an empty cache, or out of memory. *cleared
// tells whether the cache was emptied to make room.
int32_t internList(const int32_t* list, int32_t n, uint8_t kind, bool* cleared) {
  const uint32_t h = hashList(list, n, kind);
  const int32_t mask = cache.hashSlots - 1;
  for (uint32_t slot = h;; ++slot) {
    const int32_t state = cache.slots[slot & mask];
    if (state < 0) break;
    if (cache.length[state] == n && cache.fresh[state] == kind &&
        std::memcmp(cache.members + cache.first[state], list, n * sizeof(int32_t)) == 0) {
      return state;
    }
  }
  if (n > cache.memberCapacity) return -1;
  if (cache.count == cache.maxStates || cache.memberCount + n > cache.memberCapacity) {
    clearFullCache();
    *cleared = true;
  }
  int32_t distance = NO_DISTANCE;
  for (int32_t i = 0; i < n; ++i) {
    // A tail state still waits out bytes of its item's character, then
    // goes on after the item: its item's distance less the one byte the
    // item counts, plus the bytes waited.
    int32_t waits = 0;
    const int32_t pc = pikeStateInstruction(list[i], &waits);
    if (pc < 0 || pc >= analysis.slots) return -1;
    int32_t d = analysis.distance[pc];
    if (waits > 0 && d != NO_DISTANCE) d += waits - 1;
    if (d < distance) distance = d;
  }
  const int32_t state = cache.count++;
  cache.first[state] = cache.memberCount;
  cache.length[state] = n;
  cache.distance[state] = distance;
  cache.fresh[state] = kind;
  if (n > 0) std::memcpy(cache.members + cache.memberCount, list, n * sizeof(int32_t));
  cache.memberCount += n;
  int32_t* row = cache.next + static_cast<int64_t>(state) * 256;
  for (int32_t b = 0; b < 256; ++b) row[b] = NOT_BUILT;
  std::memset(cache.lineEnd + static_cast<int64_t>(state) * LINE_END_WORDS, 0,
              LINE_END_WORDS * sizeof(uint32_t));
  for (uint32_t slot = h;; ++slot) {
    if (cache.slots[slot & mask] < 0) {
      cache.slots[slot & mask] = state;
      break;
    }
  }
  return state;
}

int32_t lineEndAnswer(int32_t state, uint8_t byte) {
  const uint32_t word = cache.lineEnd[static_cast<int64_t>(state) * LINE_END_WORDS + byte / 16];
  return static_cast<int32_t>((word >> (byte % 16 * 2)) & 3);
}

void keepLineEndAnswer(int32_t state, uint8_t byte, int32_t answer) {
  cache.lineEnd[static_cast<int64_t>(state) * LINE_END_WORDS + byte / 16] |=
      static_cast<uint32_t>(answer) << (byte % 16 * 2);
}

// ---------------------------------------------------------------------------
// Moving the pointer as the VM moves it

// Moves the pointer to p of the current window, or past its end; false when
// the text ends.
bool advancePointerTo(const uint8_t* p) {
  textSource.SetPosition(matcher.cur);
  if (textSource.AdvanceTo(p) != 0) return false;
  refreshWindow();
  return true;
}

bool lineStartHere() {
  MatcherState& s = matcher;
  if (!analysis.hasLineStart || s.cur != s.windowStart) return false;
  textSource.SetPosition(s.cur);
  return textSource.AtLineStart(0) == 1;
}

// ---------------------------------------------------------------------------
// The scan

// A step that fails for want of memory, or meets a state the analysis does
// not number, gives up: the exact engine takes the line as it would without
// the filter. STEP_STAYED: it gave up before the pointer moved.
enum StepResult : int32_t {
  STEP_DONE,
  STEP_MATCHED,
  STEP_LINE_OVER,
  STEP_TEXT_END,
  STEP_GIVE_UP,
  STEP_STAYED,
};

// One step taken the VM's way, from the list `from` at the pointer: its
// states take the byte, the pointer moves on, and they are followed, with a
// new thread where the line goes on and one may start. The list after it is
// in listC (*count states). *fresh: no state of `from` took the byte.
int32_t stepTheLongWay(const int32_t* from, int32_t n, bool (*mayStartAt)(), int32_t* count,
                       bool* started, bool* fresh) {
  MatcherState& s = matcher;
  *count = 0;
  *started = false;
  if (pikeTakeByte(from, n, cache.listB) != 0) return STEP_STAYED;
  *fresh = true;
  for (int32_t i = 0; i < n && *fresh; ++i) *fresh = cache.listB[i] == PIKE_STATE_DEAD;
  // A line feed at the window's end ends the line: in line mode the window
  // is the line, as far as the window holds it.
  const bool lineEnds =
      !cache.records && s.cur < s.windowEnd && s.windowEnd - s.cur == 1 && *s.cur == '\n';
  if (!stepPointer()) return STEP_TEXT_END;
  const bool startHere = !lineEnds && mayStartAt();
  *started = startHere;
  const int32_t followed = pikeFollowStates(cache.listB, n, startHere, cache.listC, count);
  if (followed < 0) return STEP_GIVE_UP;
  if (followed == PIKE_FOLLOW_MATCHED) return STEP_MATCHED;
  return lineEnds ? STEP_LINE_OVER : STEP_DONE;
}

// Copies a state's members to listA (they may be cleared from the cache).
int32_t loadMembers(int32_t state) {
  const int32_t n = cache.length[state];
  std::memcpy(cache.listA, cache.members + cache.first[state], n * sizeof(int32_t));
  return n;
}

// The state of a new thread at the pointer, away from the window's end.
int32_t startState(bool* matched) {
  const int32_t key = lineStartHere() ? 1 : 0;
  if (cache.start[key] >= 0) return cache.start[key];
  int32_t n = 0;
  const int32_t followed = pikeFollowStates(nullptr, 0, true, cache.listC, &n);
  if (followed != 0) {
    *matched = followed == PIKE_FOLLOW_MATCHED;
    return -1;
  }
  bool cleared = false;
  const int32_t state = internList(cache.listC, n, STATE_FRESH, &cleared);
  if (state >= 0) cache.start[key] = state;
  return state;
}

// How many more bytes a thread of this line may take from the pointer: up to
// the line feed that ends the window, or up to the text's end there; -1 when
// the line goes on past the window.
int64_t bytesLeftOnLine() {
  MatcherState& s = matcher;
  if (cache.records) return -1;
  if (s.windowEnd > s.windowStart && s.windowEnd[-1] == '\n') return s.windowEnd - 1 - s.cur;
  textSource.SetPosition(s.cur);
  if (textSource.PeekChar(static_cast<int32_t>(s.windowEnd - s.cur)) < 0) {
    return s.windowEnd - s.cur;
  }
  return -1;
}

struct Scan {
  int64_t pos;  // bytes from the scan's start to the pointer
  int32_t state;
  int64_t fresh;  // the last position the scan met in a fresh state
};

// In UTF-8 text a fresh position may lie inside a character, where the
// search never starts: it moves back to the nearest byte that is no
// continuation byte, which starts a character wherever it stands, unless
// the five bytes before it are all continuation bytes, which no lead byte
// reaches past. Where those bytes are no longer in the window, the scan's
// start.
int64_t characterStartFrom(const Scan& scan, int64_t at) {
  const MatcherState& s = matcher;
  if (analysis.textMode != ENCODING_UTF8 || at == 0) return at;
  const auto continuation = [](uint8_t b) { return b >= 0x80 && b < 0xC0; };
  const int64_t back = scan.pos - at;
  if (back >= s.cur - s.windowStart) return 0;
  const uint8_t* p = s.cur - back;
  if (!continuation(*p)) return at;
  for (int32_t k = 1; k <= 5; ++k) {
    if (at - k < 0 || p - k < s.windowStart) return 0;
    if (!continuation(p[-k])) return at - k;
  }
  return at;
}

int32_t finishWithMatch(Scan* scan, int64_t* firstEnd) {
  // The pointer is at the end of the first match seen.
  int64_t from = characterStartFrom(*scan, scan->fresh);
  if (analysis.longest != UNBOUNDED && scan->pos - analysis.longest > from) {
    from = scan->pos - analysis.longest;
  }
  movePointerBack(scan->pos - from);
  *firstEnd = scan->pos - from;
  return DFA_MATCH;
}

// A window that ends inside its line, with no CR or LF among its last two
// bytes and the byte after it: there the VM's step on a byte that decides it
// alone is the table's step up to the window's last byte, as inside the
// window (no line test holds, a new thread starts at every position, and
// such a byte is read without the bytes after it). The table so carries the
// scan across the window's end, where the VM's reads through the source
// would reload the window.
enum EdgeResult : int32_t { EDGE_NOT_TAKEN, EDGE_MOVED, EDGE_MATCHED, EDGE_TEXT_END };

int32_t crossWindowEnd(Scan* scan) {
  MatcherState& s = matcher;
  if (cache.records || s.windowEnd - s.cur < 1 || s.windowEnd - s.windowStart < 2) {
    return EDGE_NOT_TAKEN;
  }
  // The VM asks the source about line ends at the window's last two bytes
  // and at the byte after it: none may be a CR or LF (a lone CR there is a
  // line end to the source).
  const auto lineByte = [](int32_t c) { return c < 0 || c == '\r' || c == '\n'; };
  textSource.SetPosition(s.cur);
  const int32_t after = textSource.PeekChar(static_cast<int32_t>(s.windowEnd - s.cur));
  if (lineByte(after) || lineByte(s.windowEnd[-1]) || lineByte(s.windowEnd[-2])) {
    return EDGE_NOT_TAKEN;
  }
  int32_t result = EDGE_NOT_TAKEN;
  while (s.cur < s.windowEnd) {
    const int32_t t = cache.next[static_cast<int64_t>(scan->state) * 256 + *s.cur];
    const int32_t next = t >> 8;
    if (t == NOT_BUILT) break;
    ++scan->pos;
    ++cache.bytesSinceClear;
    result = t == MATCHED ? EDGE_MATCHED : EDGE_MOVED;
    if (t != MATCHED) {
      scan->state = next;
      if (cache.fresh[next] == STATE_FRESH) scan->fresh = scan->pos;
    }
    if (s.windowEnd - s.cur > 1) {
      ++s.cur;
    } else {
      // The window's last byte: the source moves on to the next window.
      return stepPointer() ? result : EDGE_TEXT_END;
    }
    if (t == MATCHED) break;
  }
  return result;
}

// Where the table stops answering in the window: `margin` bytes before its
// end. But where the window is a line up to its line feed and the bytes
// before the line feed, from the margin on, are ASCII and no CR, a step
// there is the step inside the window (an item reads its byte alone, a new
// thread starts at every position up to the line feed, and a line test
// fails as inside) but for the one into the line feed, where a LINE_END
// holds: the table answers up to the line feed, or, with line tests, up to
// the byte before it, whose step only needs to tell whether it reaches
// MATCH (*toLineEnd; the line-end bits keep that answer).
const uint8_t* tableEnd(int64_t margin, bool* toLineEnd) {
  const MatcherState& s = matcher;
  const uint8_t* end = s.windowEnd - margin;
  *toLineEnd = false;
  if (cache.records || s.windowEnd - s.windowStart < 2 || s.windowEnd[-1] != '\n') return end;
  if (margin < 8 && s.windowEnd - s.windowStart >= 8) {
    // The eight bytes up to the line feed at once: any byte of them that is
    // no ASCII or a CR (one before the margin too) keeps the margin.
    uint64_t word;
    std::memcpy(&word, s.windowEnd - 8, sizeof word);
    constexpr uint64_t LOW = 0x0101010101010101ull;
    constexpr uint64_t HIGH = 0x8080808080808080ull;
    const uint64_t carriageReturns = word ^ (LOW * '\r');
    if (((word | ((carriageReturns - LOW) & ~carriageReturns)) & HIGH) != 0) return end;
  } else {
    for (const uint8_t* p = end > s.windowStart ? end : s.windowStart; p < s.windowEnd - 1; ++p) {
      if (*p >= 0x80 || *p == '\r') return end;
    }
  }
  *toLineEnd = analysis.lineTests;
  return s.windowEnd - (analysis.lineTests ? 2 : 1);
}

int32_t giveUp(Scan* scan) {
  movePointerBack(scan->pos);
  return DFA_UNKNOWN;
}

int32_t scanLine(bool (*mayStartAt)(), int64_t* firstEnd, const uint8_t* lastStart) {
  MatcherState& s = matcher;
  if (!prepareCache()) return DFA_UNKNOWN;
  // The table answers where every read of a step is straight from the
  // window: three bytes from its end in single-byte text, seven where a
  // character may take up to six.
  const int64_t margin = analysis.textMode == ENCODING_SINGLE_BYTE ? 3 : 7;
  const uint8_t* alone = analysis.byteAlone;
  cache.thrashing = false;
  const int32_t startDistance = analysis.distance[0];
  Scan scan{0, -1, 0};
  bool matched = false;
  // The position where the text ends, or one past the window, is the exact
  // engine's.
  if (s.cur >= s.windowEnd) return DFA_UNKNOWN;
  // Where the table answers in the current window.
  const uint8_t* windowStart = s.windowStart;
  const uint8_t* windowEnd = s.windowEnd;
  bool toLineEnd = false;
  const uint8_t* end = tableEnd(margin, &toLineEnd);
  if (s.cur < end) {
    scan.state = startState(&matched);
  } else {
    const int64_t left = bytesLeftOnLine();
    if (left >= 0 && left < startDistance) {
      return advancePointerTo(s.windowEnd) ? DFA_NO_MATCH : DFA_TEXT_END;
    }
    int32_t n = 0;
    const int32_t followed = pikeFollowStates(nullptr, 0, mayStartAt(), cache.listC, &n);
    matched = followed == PIKE_FOLLOW_MATCHED;
    if (followed == 0) {
      bool cleared = false;
      scan.state = internList(cache.listC, n, STATE_FRESH, &cleared);
    }
  }
  if (matched) return finishWithMatch(&scan, firstEnd);
  if (scan.state < 0) return DFA_UNKNOWN;

  for (;;) {
    // Away from the window's end the table answers.
    if (s.windowStart != windowStart || s.windowEnd != windowEnd) {
      lastStart = nullptr;  // a position of the window left
      windowStart = s.windowStart;
      windowEnd = s.windowEnd;
      end = tableEnd(margin, &toLineEnd);
    }
    const uint8_t* p = s.cur;
    const uint8_t* stop = s.cur < end ? end : s.cur;
    // Rows are unsigned, so that a row and a byte index the table without
    // a widening step; a negative entry is the unsigned one from 2^31 on.
    const uint32_t* table = reinterpret_cast<const uint32_t*>(cache.next);
    uint32_t row = static_cast<uint32_t>(scan.state) << 8;
    uint32_t t = 0;
    // Every fresh step of the table leads to the start state (see the top).
    const uint32_t freshRow = static_cast<uint32_t>(cache.start[0]) << 8;
    const uint8_t* freshAt = nullptr;
    // Up to lastStart the loop notes fresh positions; past it, a fresh
    // position ends the line's scan: only the thread started there lives,
    // and no match starts there or later. Two loops, so that the first
    // keeps its branch-free note.
    const uint8_t* checkFrom = stop;
    if (lastStart != nullptr && lastStart < stop) checkFrom = lastStart > p ? lastStart : p;
    while (p < checkFrom) {
      t = table[row + *p];
      if (static_cast<int32_t>(t) < 0) break;
      row = t;
      ++p;
      if (t == freshRow) freshAt = p;
    }
    if (p == checkFrom && checkFrom < stop) {
      while (p < stop) {
        t = table[row + *p];
        if (static_cast<int32_t>(t) < 0) break;
        row = t;
        ++p;
        if (t == freshRow) {
          s.cur = p;
          return advancePointerTo(s.windowEnd) ? DFA_NO_MATCH : DFA_TEXT_END;
        }
      }
    }
    const int32_t state = static_cast<int32_t>(row >> 8);
    if (freshAt != nullptr) scan.fresh = scan.pos + (freshAt - s.cur);
    scan.pos += p - s.cur;
    cache.bytesSinceClear += p - s.cur;
    s.cur = p;
    scan.state = state;
    if (p < stop && static_cast<int32_t>(t) == MATCHED) {
      ++s.cur;
      ++scan.pos;
      return finishWithMatch(&scan, firstEnd);
    }
    const bool interior = p < stop;
    const bool lineEndStep = toLineEnd && s.cur == end;
    if (lineEndStep) {
      const int32_t known = lineEndAnswer(state, *s.cur);
      if (known == LINE_END_MATCHED) {
        ++s.cur;
        ++scan.pos;
        return finishWithMatch(&scan, firstEnd);
      }
      if (known == LINE_END_PASSED) {
        return advancePointerTo(s.windowEnd) ? DFA_NO_MATCH : DFA_TEXT_END;
      }
    }
    if (!interior) {
      // The line's tail: no match starts in it when no thread can reach
      // MATCH with the bytes left.
      const int64_t left = bytesLeftOnLine();
      if (left >= 0 && cache.distance[state] > left && startDistance > left) {
        return advancePointerTo(s.windowEnd) ? DFA_NO_MATCH : DFA_TEXT_END;
      }
      const int32_t edge = left < 0 ? crossWindowEnd(&scan) : EDGE_NOT_TAKEN;
      if (edge == EDGE_MATCHED) return finishWithMatch(&scan, firstEnd);
      if (edge == EDGE_TEXT_END) return DFA_TEXT_END;
      if (edge == EDGE_MOVED) continue;
    }
    // The long way: the VM's own step.
    const uint8_t byte = interior ? *s.cur : 0;
    const int32_t n = loadMembers(state);
    int32_t count = 0;
    bool started = false;
    bool fresh = false;
    const int32_t r = stepTheLongWay(cache.listA, n, mayStartAt, &count, &started, &fresh);
    // The table keeps a step only where its byte decides it alone, and
    // with the new thread that joins at every position away from the edges
    // (in records a line feed after a carriage return takes none, and that
    // step is not kept; the table's steps then start one there, which can
    // only make the filter pass fewer lines).
    const bool keep = interior && alone[byte] != 0;
    if (r == STEP_STAYED) return giveUp(&scan);
    ++scan.pos;
    ++cache.bytesSinceClear;
    if (r == STEP_GIVE_UP) return giveUp(&scan);
    if (r == STEP_MATCHED) {
      if (keep) cache.next[static_cast<int64_t>(state) * 256 + byte] = MATCHED;
      if (lineEndStep) keepLineEndAnswer(state, byte, LINE_END_MATCHED);
      return finishWithMatch(&scan, firstEnd);
    }
    if (r == STEP_TEXT_END) return DFA_TEXT_END;
    if (r == STEP_LINE_OVER) {
      // Only a line feed ends the window, and no thread takes it.
      if (count != 0) return giveUp(&scan);
      return DFA_NO_MATCH;
    }
    bool cleared = false;
    const int32_t after =
        internList(cache.listC, count, fresh ? STATE_FRESH : STATE_JOINED, &cleared);
    if (after < 0 || cache.thrashing) {
      if (cache.thrashing) ++analysis.thrashingLines;
      return giveUp(&scan);
    }
    if (keep && started && !cleared) {
      cache.next[static_cast<int64_t>(state) * 256 + byte] = after << 8;
    }
    // From the line feed no thread reaches MATCH.
    if (lineEndStep && !cleared) keepLineEndAnswer(state, byte, LINE_END_PASSED);
    if (fresh) scan.fresh = scan.pos;
    scan.state = after;
  }
}

// ---------------------------------------------------------------------------
// Anchored runs
//
// At a start that the exact engine is about to try, the states followed
// from one thread there, with no thread joining later, tell the end of the
// match the backtracker finds there. Each step follows the states in the
// VM's priority order and stops at the first that reaches MATCH
// (pikeFollowStates), so the list after that step holds only threads that
// come before the match in priority, which may still find one of their own
// further on, as the backtracker would try them first. Once the list is
// empty, the last position where a step reached MATCH is the match's end;
// where none did, no match starts there. These lists are states of their
// own kind (STATE_ANCHORED), whose table entries are the next state's row
// with the low bit set where the step reached MATCH. Steps at the window's
// edges are taken the VM's way, as in a scan; the empty list's row is
// never filled, so the table's loop stops on it by itself.

constexpr uint32_t ROW_MATCHED = 1;

// The longest run: the match length must fit the matcher's record.
constexpr int64_t ANCHORED_RUN_LIMIT = int64_t{1} << 30;

// The anchored state of the one thread started at the pointer: away from
// the window's end, kept; -1 when it cannot be made (a match of no bytes,
// out of memory).
int32_t anchoredStartState(bool awayFromEnd) {
  const int32_t key = analysis.startMeetsLineStart && lineStartHere() ? 1 : 0;
  if (awayFromEnd && cache.anchoredStart[key] >= 0) return cache.anchoredStart[key];
  int32_t n = 0;
  if (pikeFollowStates(nullptr, 0, true, cache.listC, &n) != 0) return -1;
  bool cleared = false;
  const int32_t state = internList(cache.listC, n, STATE_ANCHORED, &cleared);
  if (state >= 0 && awayFromEnd) cache.anchoredStart[key] = state;
  return state;
}

int32_t runAnchored(int64_t* length, int64_t* bytesRead) {
  MatcherState& s = matcher;
  if (!prepareCache() || s.cur >= s.windowEnd) return ANCHORED_UNKNOWN;
  const int64_t margin = analysis.textMode == ENCODING_SINGLE_BYTE ? 3 : 7;
  const uint8_t* alone = analysis.byteAlone;
  cache.thrashing = false;
  const uint8_t* windowStart = s.windowStart;
  const uint8_t* windowEnd = s.windowEnd;
  bool toLineEnd = false;
  const uint8_t* end = tableEnd(margin, &toLineEnd);
  int32_t state = anchoredStartState(s.cur < end);
  if (state < 0) return ANCHORED_UNKNOWN;
  const uint32_t* table = reinterpret_cast<const uint32_t*>(cache.next);
  int64_t pos = 0;
  int64_t matchEnd = -1;
  auto giveUp = [&pos, bytesRead]() {
    *bytesRead = pos;
    movePointerBack(pos);
    return ANCHORED_UNKNOWN;
  };
  while (cache.length[state] > 0) {
    if (s.windowStart != windowStart || s.windowEnd != windowEnd) {
      windowStart = s.windowStart;
      windowEnd = s.windowEnd;
      end = tableEnd(margin, &toLineEnd);
    }
    // Away from the window's end the table answers.
    const uint8_t* p = s.cur;
    uint32_t row = static_cast<uint32_t>(state) << 8;
    const uint8_t* matchedAt = nullptr;
    while (p < end) {
      const uint32_t t = table[row + *p];
      if (static_cast<int32_t>(t) < 0) break;
      ++p;
      row = t & ~ROW_MATCHED;
      if ((t & ROW_MATCHED) != 0) matchedAt = p;
    }
    pos += p - s.cur;
    cache.bytesSinceClear += p - s.cur;
    if (matchedAt != nullptr) matchEnd = pos - (p - matchedAt);
    s.cur = p;
    state = static_cast<int32_t>(row >> 8);
    if (cache.length[state] == 0) break;
    if (pos >= ANCHORED_RUN_LIMIT) return giveUp();
    // The long way: the VM's own step. No thread takes the byte: the list
    // ends here, and the pointer need not pass it (a line feed, whose
    // passing would load the next line).
    const bool interior = p < end;
    const uint8_t byte = interior ? *p : 0;
    const bool keep = interior && alone[byte] != 0;
    const int32_t n = loadMembers(state);
    if (pikeTakeByte(cache.listA, n, cache.listB) != 0) return giveUp();
    bool alive = false;
    for (int32_t i = 0; i < n && !alive; ++i) alive = cache.listB[i] != PIKE_STATE_DEAD;
    int32_t count = 0;
    bool matched = false;
    if (alive) {
      if (!stepPointer()) return giveUp();
      ++pos;
      ++cache.bytesSinceClear;
      const int32_t followed = pikeFollowStates(cache.listB, n, false, cache.listC, &count);
      if (followed < 0) return giveUp();
      matched = followed == PIKE_FOLLOW_MATCHED;
      if (matched) matchEnd = pos;
    }
    bool cleared = false;
    const int32_t after = internList(cache.listC, count, STATE_ANCHORED, &cleared);
    if (after < 0 || cache.thrashing) {
      if (cache.thrashing) analysis.anchoredThrashed = true;
      return giveUp();
    }
    if (keep && !cleared) {
      cache.next[static_cast<int64_t>(state) * 256 + byte] =
          static_cast<int32_t>((static_cast<uint32_t>(after) << 8) | (matched ? ROW_MATCHED : 0));
    }
    state = after;
  }
  *bytesRead = pos;
  movePointerBack(pos);
  if (matchEnd < 0) return ANCHORED_NO_MATCH;
  *length = matchEnd;
  return ANCHORED_MATCH;
}

}  // namespace

void setLazyDfaUse(LazyDfaUse use) { dfaUse = use; }
LazyDfaUse lazyDfaUse() { return dfaUse; }

void setLazyDfaBudget(int32_t bytes) {
  freeCache();
  cache.budget = bytes;
}

int64_t lazyDfaClears() { return cache.clears; }
int64_t lazyDfaLinesPassed() { return linesPassed; }

namespace {

bool descriptionHeld = false;
uint32_t holdCount = 0;   // holds begun so far
uint32_t holdNumber = 0;  // the hold in force, 0 none

void describeProgram() {
  if (descriptionHeld) return;
  const Instruction* program = compiledPattern.program;
  const int32_t slots = compiledPattern.lastSlot + 1;
  if (!analysisDescribes(program, slots)) {
    analyze(program, slots);
    ++programGeneration;
  }
}

}  // namespace

uint32_t holdProgramDescription() {
  descriptionHeld = false;
  holdNumber = 0;
  if (compiledPattern.program == nullptr) return programGeneration;
  describeProgram();
  descriptionHeld = true;
  holdCount = holdCount == UINT32_MAX ? 1 : holdCount + 1;
  holdNumber = holdCount;
  return programGeneration;
}

void releaseProgramDescription() {
  descriptionHeld = false;
  holdNumber = 0;
}

uint32_t programHoldNumber() { return holdNumber; }

int64_t bytesBeforeRequiredLiteral() {
  if (compiledPattern.program == nullptr) return UNBOUNDED;
  describeProgram();
  return analysis.literalReach;
}

bool lazyDfaTakesProgram() {
  // Lines ask the source only at the window's edges, records at every line
  // test (which the programs taken in records lack) and at the window's end.
  const bool lines = textSource.askLineBounds == 0 && textSource.fullWindowReads == 0;
  const bool records = textSource.askLineBounds != 0 && textSource.fullWindowReads != 0;
  if (dfaUse == LAZY_DFA_OFF || !(lines || records) || textSource.GetWindow == nullptr ||
      compiledPattern.program == nullptr) {
    return false;
  }
  describeProgram();
  const bool eligible = textSource.askLineBounds != 0 ? analysis.recordEligible : analysis.eligible;
  if (!eligible || analysis.thrashingLines >= THRASH_LINE_LIMIT) return false;
  return dfaUse == LAZY_DFA_ALWAYS || pikeVmTakesProgram();
}

int32_t lazyDfaLinesGivenUp() { return analysis.thrashingLines; }

bool lazyDfaRunsAnchored() {
  const bool lines = textSource.askLineBounds == 0 && textSource.fullWindowReads == 0;
  if (dfaUse == LAZY_DFA_OFF || !lines || textSource.GetWindow == nullptr ||
      compiledPattern.program == nullptr) {
    return false;
  }
  describeProgram();
  return analysis.anchoredEligible && !analysis.anchoredThrashed;
}

int32_t matchAtWithDfa(int64_t* length, int64_t* bytesRead) {
  *bytesRead = 0;
  if (analysis.anchoredThrashed) return ANCHORED_UNKNOWN;
  const int32_t answer = runAnchored(length, bytesRead);
  if (answer == ANCHORED_MATCH && analysis.groupBounds) return ANCHORED_MATCH_TO_RECORD;
  if (answer != ANCHORED_UNKNOWN) ++anchoredAnswers;
  return answer;
}

int64_t lazyDfaAnchoredAnswers() { return anchoredAnswers; }

int32_t scanLineWithDfa(bool (*mayStartAt)(), int64_t* firstEnd, const uint8_t* lastStart) {
  const int32_t verdict = scanLine(mayStartAt, firstEnd, lastStart);
  if (verdict == DFA_NO_MATCH || verdict == DFA_TEXT_END) ++linesPassed;
  return verdict;
}

int32_t skimLineWithDfa(const uint8_t* from, const uint8_t* lineFeed, const uint8_t* lastStart,
                        SkimmedMatch* match) {
  // Away from the window's edges a kept step depends on the state and the
  // byte alone; a program without line tests that stays on its line meets
  // no edge inside a line, and its threads cannot take the line feed, so
  // the table answers for every byte before it.
  const Analysis& a = analysis;
  if (dfaUse == LAZY_DFA_OFF || !a.eligible || a.lineTests || a.textMode == ENCODING_DOUBLE_BYTE ||
      !cache.allocated || cache.records || cache.program != programGeneration ||
      cache.start[0] < 0) {
    return DFA_UNKNOWN;
  }
  const uint32_t* table = reinterpret_cast<const uint32_t*>(cache.next);
  const uint32_t freshRow = static_cast<uint32_t>(cache.start[0]) << 8;
  uint32_t row = freshRow;
  uint32_t t = 0;
  const uint8_t* p = from;
  const uint8_t* freshAt = from;
  // Up to the last start, every byte, noting the last fresh position as the
  // scan does; past it, up to the first fresh step, after which only
  // threads started past the last start live.
  for (; p <= lastStart; ++p) {
    t = table[row + *p];
    if (static_cast<int32_t>(t) < 0) break;
    row = t;
    if (t == freshRow) freshAt = p + 1;
  }
  if (p > lastStart) {
    for (; p < lineFeed && row != freshRow; ++p) {
      t = table[row + *p];
      if (static_cast<int32_t>(t) < 0) break;
      row = t;
    }
  }
  cache.bytesSinceClear += p - from;
  if (static_cast<int32_t>(t) >= 0) {
    // The line feed, or a fresh step past the last start.
    ++linesPassed;
    return DFA_NO_MATCH;
  }
  if (static_cast<int32_t>(t) != MATCHED) return DFA_UNKNOWN;
  // The first match seen ends after this byte. A continuation byte here
  // is a character of its own (the table keeps no lead byte's step), so
  // the fresh position starts a character.
  match->end = p + 1;
  match->from = freshAt;
  if (a.longest != UNBOUNDED && match->end - a.longest > freshAt) match->from = match->end - a.longest;
  return DFA_MATCH;
}
