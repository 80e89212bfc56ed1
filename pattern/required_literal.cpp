// The literal that every match of a program must contain.
//
// The program is read as a graph: each instruction leads to the slot after
// it, a branch to its targets, a look-ahead only past its body (a body never
// reaches the final MATCH). A CHAR is required when no path from slot 0 to
// the final MATCH avoids it, that is when it dominates the MATCH: one pass of
// an iterative dominator algorithm finds every such CHAR at once, so a
// program of thousands of characters (a long or periodic search text) is
// analysed in time near its size. Required CHARs that follow one another,
// with only group, cursor and counter slots between them and no other way
// into the later ones, consume consecutive bytes of every match; the longest
// such run is the literal. Ignore-case CHARs carry both forms of a letter, so
// the literal is then compared through upperTable. In UTF-8 mode a CHAR holds
// a code point and stands in the literal for its UTF-8 bytes (see
// characterBytes).
//
// When no run of two bytes or more is required, the program may still
// divide: from slot 0 (past zero-width steps) a branch leads to two slots,
// and every path goes on from one of them. A run required from each (the
// same test with the search started there), or in turn a set under each,
// makes a set of literals one of which every match holds: for the branches
// of PM_RESUME|PM_SUSPEND, the two words. A set is also taken over a
// required run that is shorter than each of its literals: "struct" or
// "union" before " {" in (struct|union) [a-z_]+ \{, since longer literals
// pass fewer lines. The literal (every literal of the set) is leading when
// only zero-width steps come before it on every path: every match then
// begins with it, and its occurrences are the search's candidates.
//
// A run that ends where the program divides, each way beginning with
// characters, is carried into the ways: after "ab" x 300, (c|d) makes the set
// of "...abc" and "...abd" (the last bytes of the run and those of each
// way), since "abab..." alone occurs wherever the text repeats "ab" and
// hands each such place to an attempt over 600 bytes. The set is taken when
// each of its literals is at least as long as the run chosen, or half as long
// as a literal may be: each then holds bytes of its way, which a text made
// of repeats of the run lacks.
//
// The scan is the vectorised search of literal_set_search.cpp, which
// compares two probe bytes of every literal of the set at once. Where the
// literals do not suit it (a byte with more than two case forms in every
// position), the scan looks first for the literal's rarest byte with memchr
// (both forms of a letter, two memchr streams merged) and compares the whole
// literal around each hit; a set is then scanned piece by piece of text, each
// piece for every literal, the pieces growing: the cost stays in proportion to
// the distance to the first hit even when one literal never occurs.
//
// Tested by required_literal_test.cpp.
#include "pattern/required_literal.h"

#include <cstring>

#include "pattern/compiled_pattern.h"
#include "pattern/text_source.h"
#include "support/case_folding.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

// Programs larger than this are not analysed: a wide alternation makes the
// dominator search climb chains as long as the alternation is wide.
constexpr int32_t ANALYSIS_SLOT_LIMIT = 1 << 16;

struct ProgramGraph {
  int32_t slots = 0;
  int32_t* successors = nullptr;  // two per slot, -1 for none
  uint8_t* isInstruction = nullptr;
  int32_t* predecessorStart = nullptr;  // slot s's predecessors: [start[s], start[s + 1])
  int32_t* predecessors = nullptr;
  // Filled for one start at a time by markRequired.
  int32_t* postorder = nullptr;  // a slot's number in the depth-first postorder, -1 unreached
  int32_t* order = nullptr;      // the reached slots, in postorder
  int32_t* dominator = nullptr;  // the immediate dominator of a reached slot
  int32_t* stack = nullptr;
  uint8_t* required = nullptr;   // on every path from the start to the final MATCH
  int64_t climbs = 0;            // dominator-chain steps left to markRequired
};

bool buildGraph(const Instruction* program, int32_t lastSlot, int32_t encodingMode,
                ProgramGraph& graph) {
  const int32_t n = lastSlot + 1;
  graph.slots = n;
  const uint32_t count = static_cast<uint32_t>(n);
  graph.successors = static_cast<int32_t*>(memAlloc(count * 8));
  graph.isInstruction = static_cast<uint8_t*>(memAlloc(count));
  graph.predecessorStart = static_cast<int32_t*>(memAlloc((count + 1) * 4));
  graph.predecessors = static_cast<int32_t*>(memAlloc(count * 8));
  graph.postorder = static_cast<int32_t*>(memAlloc(count * 4));
  graph.order = static_cast<int32_t*>(memAlloc(count * 4));
  graph.dominator = static_cast<int32_t*>(memAlloc(count * 4));
  graph.stack = static_cast<int32_t*>(memAlloc(count * 8));
  graph.required = static_cast<uint8_t*>(memAlloc(count));
  if (graph.successors == nullptr || graph.isInstruction == nullptr ||
      graph.predecessorStart == nullptr || graph.predecessors == nullptr ||
      graph.postorder == nullptr || graph.order == nullptr || graph.dominator == nullptr ||
      graph.stack == nullptr || graph.required == nullptr) {
    return false;
  }
  std::memset(graph.isInstruction, 0, count);
  auto target = [n](int32_t slot) { return slot >= 0 && slot < n ? slot : -1; };
  for (int32_t s = 0; s < n;) {
    const Instruction& in = program[s];
    graph.isInstruction[s] = 1;
    int32_t* next = graph.successors + 2 * s;
    next[0] = -1;
    next[1] = -1;
    int32_t length = 1;
    switch (in.opcode) {
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
      case OP_COUNT_LOOP:
      case OP_COUNT_LOOP_MIN:
        next[0] = target(s + in.branch());
        next[1] = target(s + in.next());
        break;
      case OP_JUMP:
      case OP_NOT_AHEAD:
        next[0] = target(s + in.next());
        break;
      case OP_MATCH:
        break;
      case OP_SET:
      case OP_SET_SCAN:
        length = setSlotCount(in, encodingMode);
        if (length < 1) return false;
        next[0] = target(s + length);
        break;
      default:
        next[0] = target(s + 1);
        break;
    }
    s += length;
  }
  // Predecessor lists: counted, summed so that each count becomes the end of
  // its slot's range, then filled from the back of each range.
  std::memset(graph.predecessorStart, 0, (count + 1) * 4);
  for (int32_t s = 0; s < n; ++s) {
    if (!graph.isInstruction[s]) continue;
    for (int32_t k = 0; k < 2; ++k) {
      const int32_t t = graph.successors[2 * s + k];
      if (t >= 0) ++graph.predecessorStart[t];
    }
  }
  for (int32_t s = 1; s < n; ++s) graph.predecessorStart[s] += graph.predecessorStart[s - 1];
  graph.predecessorStart[n] = graph.predecessorStart[n - 1];
  for (int32_t s = 0; s < n; ++s) {
    if (!graph.isInstruction[s]) continue;
    for (int32_t k = 0; k < 2; ++k) {
      const int32_t t = graph.successors[2 * s + k];
      if (t >= 0) graph.predecessors[--graph.predecessorStart[t]] = s;
    }
  }
  return true;
}

void freeGraph(ProgramGraph& graph) {
  memFree(graph.successors);
  memFree(graph.isInstruction);
  memFree(graph.predecessorStart);
  memFree(graph.predecessors);
  memFree(graph.postorder);
  memFree(graph.order);
  memFree(graph.dominator);
  memFree(graph.stack);
  memFree(graph.required);
}

// The nearest common dominator of slots a and b: each climbs its dominator
// chain until the two meet (postorder numbers grow toward the start).
int32_t commonDominator(ProgramGraph& graph, int32_t a, int32_t b) {
  while (a != b) {
    while (graph.postorder[a] < graph.postorder[b]) {
      a = graph.dominator[a];
      --graph.climbs;
    }
    while (graph.postorder[b] < graph.postorder[a]) {
      b = graph.dominator[b];
      --graph.climbs;
    }
  }
  return a;
}

// Marks in graph.required the slots that every path from slot start to the
// final MATCH passes: the chain of the MATCH's dominators. They come from
// Cooper, Harvey and Kennedy's iterative algorithm: slots are visited in
// reverse postorder, each taking as its dominator the common dominator of
// its reached predecessors, until nothing changes (a few rounds; loops add
// one). Chains are as long as an alternation is wide, so the climbs have a
// budget in proportion to the program; past it the program goes without a
// literal. False then, and when the MATCH cannot be reached from start.
bool markRequired(ProgramGraph& graph, int32_t start) {
  const int32_t n = graph.slots;
  const int32_t last = n - 1;
  std::memset(graph.required, 0, static_cast<size_t>(n));
  for (int32_t s = 0; s < n; ++s) graph.postorder[s] = -1;
  // Depth-first from start, each stack entry a slot and its next successor.
  int32_t reached = 0;
  int32_t depth = 0;
  graph.postorder[start] = -2;  // on the stack
  graph.stack[0] = start;
  graph.stack[1] = 0;
  depth = 1;
  while (depth > 0) {
    const int32_t s = graph.stack[2 * depth - 2];
    int32_t& k = graph.stack[2 * depth - 1];
    if (k < 2) {
      const int32_t t = graph.successors[2 * s + k++];
      if (t >= 0 && graph.isInstruction[t] && graph.postorder[t] == -1) {
        graph.postorder[t] = -2;
        graph.stack[2 * depth] = t;
        graph.stack[2 * depth + 1] = 0;
        ++depth;
      }
      continue;
    }
    graph.order[reached] = s;
    graph.postorder[s] = reached++;
    --depth;
  }
  if (graph.postorder[last] < 0) return false;
  for (int32_t i = 0; i < reached; ++i) graph.dominator[graph.order[i]] = -1;
  graph.dominator[start] = start;
  graph.climbs = 16 * static_cast<int64_t>(n) + 4096;
  for (bool changed = true; changed;) {
    changed = false;
    for (int32_t i = reached - 2; i >= 0; --i) {  // the start is last in postorder
      if (graph.climbs < 0) return false;
      const int32_t s = graph.order[i];
      int32_t found = -1;
      for (int32_t j = graph.predecessorStart[s]; j < graph.predecessorStart[s + 1]; ++j) {
        const int32_t p = graph.predecessors[j];
        if (graph.postorder[p] < 0 || graph.dominator[p] < 0) continue;
        found = found < 0 ? p : commonDominator(graph, p, found);
      }
      if (found != graph.dominator[s]) {
        graph.dominator[s] = found;
        changed = true;
      }
    }
  }
  for (int32_t s = last;; s = graph.dominator[s]) {
    graph.required[s] = 1;
    if (s == start) break;
  }
  return true;
}

bool isCharacter(const Instruction& in) {
  return in.opcode == OP_CHAR || in.opcode == OP_CHAR_SCAN;
}

bool isZeroWidthStep(const Instruction& in) {
  return in.opcode == OP_GROUP_START || in.opcode == OP_GROUP_END ||
         in.opcode == OP_MARK_CURSOR || in.opcode == OP_COUNT_RESET;
}

// Whether a consuming instruction may take a line feed, or a line end may be
// passed some other way.
bool crossesLines(const Instruction& in) {
  switch (in.opcode) {
    case OP_CHAR:
    case OP_CHAR_SCAN:
      return in.crossLines() != 0 || in.accepted() == '\n' || in.acceptedVariant() == '\n';
    case OP_ANY:
    case OP_ANY_SCAN:
    case OP_SET:
    case OP_SET_SCAN:
      return in.crossLines() != 0;
    case OP_NEWLINE:
      return true;
    case OP_LINE_END:
      return in.newlineEscape() != 0;
    default:
      return false;
  }
}

// The upper-case form that both bytes of a CHAR fold to, or -1.
int32_t foldedByte(const Instruction& in) {
  uint8_t a = static_cast<uint8_t>(in.accepted());
  uint8_t b = static_cast<uint8_t>(in.acceptedVariant());
  if (in.accepted() > 255 || in.acceptedVariant() > 255) return -1;
  if (upperTable[a] != upperTable[b]) return -1;
  return upperTable[a];
}

// The bytes that a CHAR takes in the text, as the literal holds them (upper
// case when folding); 0 when the CHAR cannot be part of a literal. In UTF-8
// text a character without case forms is the UTF-8 encoding of its code
// point: the decoder takes no other form of it, and the encoding of a whole
// character never begins inside another, so the byte scan finds exactly its
// occurrences. Ignoring case, a letter is usable only when every form of its
// fold is ASCII, for the scan folds bytes through upperTable: i, k and s,
// whose forms include İ, ı, the Kelvin sign and ſ, end a run there, as does
// every letter beyond ASCII.
int32_t characterBytes(const Instruction& in, bool ignoreCase, int32_t encodingMode,
                       uint8_t* out) {
  if (encodingMode != ENCODING_UTF8) {
    const int32_t value = ignoreCase ? foldedByte(in)
                                     : (in.accepted() == in.acceptedVariant() && in.accepted() < 256
                                            ? static_cast<int32_t>(in.accepted())
                                            : -1);
    if (value < 0) return 0;
    out[0] = static_cast<uint8_t>(value);
    return 1;
  }
  if (!ignoreCase)
    return in.accepted() == in.acceptedVariant() ? encodeUtf8(in.accepted(), out) : 0;
  const uint32_t fold = in.acceptedVariant();
  uint32_t form = fold;
  do {
    if (form >= 0x80) return 0;
    form = nextCaseForm(form);
  } while (form != fold);
  out[0] = upperTable[fold];
  return 1;
}

int32_t rareByteIndex(const uint8_t* bytes, int32_t length, bool fold) {
  int32_t best = 0;
  int32_t bestRank = -1;
  for (int32_t i = 0; i < length; ++i) {
    uint8_t value = bytes[i];
    int32_t rank = literalByteRank(value);
    if (fold && lowerTable[value] != value) rank -= 20;  // two forms to look for
    if (rank > bestRank) {
      bestRank = rank;
      best = i;
    }
  }
  return best;
}

struct Run {
  int32_t length = 0;
  uint8_t bytes[REQUIRED_LITERAL_CAPACITY];
  int32_t slotOf[REQUIRED_LITERAL_CAPACITY];  // the CHAR each byte belongs to
  int32_t firstSlot = -1;
  int32_t lastSlot = -1;
  bool leading = false;  // every path from where the run was sought begins with it
  // The path goes on from the run's last CHAR through zero-width steps to a
  // branch at this slot, or -1.
  int32_t branchAfter = -1;
};

// The first slot from `start` that is not a zero-width step with one way on:
// where every path from start takes its first byte, or divides.
int32_t firstStepFrom(const Instruction* program, const ProgramGraph& graph, int32_t start) {
  int32_t at = start;
  for (int32_t steps = 0; steps < graph.slots; ++steps) {
    const Instruction& in = program[at];
    const int32_t next = graph.successors[2 * at];
    if (next < 0 || graph.successors[2 * at + 1] >= 0) break;
    if (!isZeroWidthStep(in) && in.opcode != OP_JUMP && in.opcode != OP_LINE_START) break;
    at = next;
  }
  return at;
}

// How rare the bytes of a run are together, for choosing between runs of one
// length: "cpy" of str?cpy skips more lines than "str".
int32_t runRarity(const Run& run) {
  int32_t sum = 0;
  for (int32_t i = 0; i < run.length; ++i) {
    const int32_t rank = literalByteRank(run.bytes[i]);
    sum += rank < 100 ? rank : 100;
  }
  return sum;
}

bool isBranch(const Instruction& in) {
  return in.opcode == OP_SPLIT || in.opcode == OP_SPLIT_FIRST;
}

// The run of CHARs from the CHAR at slot s: each CHAR that the one before it
// always leads to, reached from it alone or where branches join, as the blank
// after "(struct|union)" (every path through the run's CHARs takes it next,
// whatever other paths reach it). Length 0 when s's own bytes do not fit.
Run runFrom(const Instruction* program, const ProgramGraph& graph, int32_t s, bool ignoreCase,
            int32_t encodingMode) {
  Run run;
  run.firstSlot = s;
  int32_t at = s;
  for (;;) {
    uint8_t bytes[4];
    const int32_t length = characterBytes(program[at], ignoreCase, encodingMode, bytes);
    if (length == 0 || run.length + length > REQUIRED_LITERAL_CAPACITY) break;
    std::memcpy(run.bytes + run.length, bytes, static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) run.slotOf[run.length + i] = at;
    run.length += length;
    run.lastSlot = at;
    int32_t next = graph.successors[2 * at];
    if (graph.successors[2 * at + 1] >= 0 || program[at].opcode == OP_CHAR_SCAN) break;
    for (int32_t steps = 0; steps < graph.slots && next >= 0 &&
                            (isZeroWidthStep(program[next]) || program[next].opcode == OP_JUMP) &&
                            graph.successors[2 * next + 1] < 0;
         ++steps) {
      next = graph.successors[2 * next];
    }
    if (next >= 0 && isBranch(program[next]) && graph.successors[2 * next + 1] >= 0) {
      run.branchAfter = next;
    }
    if (next < 0 || !isCharacter(program[next])) break;
    at = next;
  }
  return run;
}

// Whether run a is to be preferred to run b: longer, or as long and rarer.
bool betterRun(const Run& a, const Run& b) {
  return a.length > b.length || (a.length == b.length && runRarity(a) > runRarity(b));
}

// The longest run of CHARs that every path from slot start to the final MATCH
// passes; length 0 when there is none, or when no path reaches the MATCH.
// *beforeBranch, when given, is the longest such run that ends at a branch.
Run longestRequiredRun(const Instruction* program, ProgramGraph& graph, int32_t start,
                       bool ignoreCase, int32_t encodingMode, Run* beforeBranch = nullptr) {
  Run best;
  const int32_t lastSlot = graph.slots - 1;
  if (!markRequired(graph, start)) return best;
  for (int32_t s = 0; s < lastSlot; ++s) {
    if (!graph.isInstruction[s] || !isCharacter(program[s])) continue;
    if (!graph.required[s]) continue;
    const Run run = runFrom(program, graph, s, ignoreCase, encodingMode);
    if (betterRun(run, best)) best = run;
    if (beforeBranch != nullptr && run.branchAfter >= 0 && betterRun(run, *beforeBranch)) {
      *beforeBranch = run;
    }
  }
  best.leading = best.length > 0 && firstStepFrom(program, graph, start) == best.firstSlot;
  return best;
}

// A run of two bytes or more counts as a literal of a set.
constexpr int32_t SET_MEMBER_MINIMUM = 2;
// A run carried into the ways of a branch makes literals this long at least,
// or as long as the run chosen without them.
constexpr int32_t CARRIED_LITERAL_MINIMUM = REQUIRED_LITERAL_CAPACITY / 2;
constexpr int32_t SET_DEPTH_LIMIT = 4;

bool collectAlternatives(const Instruction* program, ProgramGraph& graph, int32_t start,
                         bool ignoreCase, int32_t encodingMode, int32_t depth, Run* runs,
                         int32_t* count);

// Adds to runs[] the literals of the two ways of the first branch from slot
// start, one of which every path from there holds; false when there are none
// or too many.
bool collectBranches(const Instruction* program, ProgramGraph& graph, int32_t start,
                     bool ignoreCase, int32_t encodingMode, int32_t depth, Run* runs,
                     int32_t* count) {
  if (depth == SET_DEPTH_LIMIT) return false;
  // Past the steps that every path from start takes, to the branch.
  int32_t at = start;
  for (int32_t steps = 0; steps < graph.slots; ++steps) {
    const Instruction& in = program[at];
    const int32_t next = graph.successors[2 * at];
    if (next < 0 || graph.successors[2 * at + 1] >= 0) break;
    if (!isZeroWidthStep(in) && in.opcode != OP_JUMP) break;
    at = next;
  }
  const int32_t left = graph.successors[2 * at];
  const int32_t right = graph.successors[2 * at + 1];
  if (left < 0 || right < 0) return false;
  return collectAlternatives(program, graph, left, ignoreCase, encodingMode, depth + 1, runs,
                             count) &&
         collectAlternatives(program, graph, right, ignoreCase, encodingMode, depth + 1, runs,
                             count);
}

// Adds to runs[] (count so far in *count) literals one of which every path
// from slot start holds; false when there are none or too many.
bool collectAlternatives(const Instruction* program, ProgramGraph& graph, int32_t start,
                         bool ignoreCase, int32_t encodingMode, int32_t depth, Run* runs,
                         int32_t* count) {
  const Run run = longestRequiredRun(program, graph, start, ignoreCase, encodingMode);
  if (run.length >= SET_MEMBER_MINIMUM) {
    if (*count == REQUIRED_LITERAL_ALTERNATIVES) return false;
    runs[(*count)++] = run;
    return true;
  }
  return collectBranches(program, graph, start, ignoreCase, encodingMode, depth, runs, count);
}

// Adds to runs[] the run that every path from slot start begins with, or
// those of the ways where it divides first, each leading forward; false when
// a path begins with anything else, or there are too many.
bool collectLeadingRuns(const Instruction* program, const ProgramGraph& graph, int32_t start,
                        bool ignoreCase, int32_t encodingMode, int32_t depth, Run* runs,
                        int32_t* count) {
  int32_t at = start;
  for (int32_t steps = 0; steps < graph.slots && at >= 0 &&
                          (isZeroWidthStep(program[at]) || program[at].opcode == OP_JUMP) &&
                          graph.successors[2 * at + 1] < 0;
       ++steps) {
    at = graph.successors[2 * at];
  }
  if (at < 0) return false;
  if (isBranch(program[at]) && graph.successors[2 * at + 1] >= 0) {
    // A way back (a loop's next pass) is left to the run alone.
    return depth < SET_DEPTH_LIMIT && graph.successors[2 * at] > at &&
           graph.successors[2 * at + 1] > at &&
           collectLeadingRuns(program, graph, graph.successors[2 * at], ignoreCase, encodingMode,
                              depth + 1, runs, count) &&
           collectLeadingRuns(program, graph, graph.successors[2 * at + 1], ignoreCase,
                              encodingMode, depth + 1, runs, count);
  }
  if (!isCharacter(program[at]) || *count == REQUIRED_LITERAL_ALTERNATIVES) return false;
  runs[*count] = runFrom(program, graph, at, ignoreCase, encodingMode);
  return runs[(*count)++].length > 0;
}

// The set of the run `tail`, which ends at a branch, carried into each way
// of the branch: the run's last bytes (from a character's first byte) and
// the way's first ones, as many as a literal holds. Every literal starts at
// the same CHAR of the run, so that a match holds one of them no further
// from its start than that CHAR is. 0 when a way does not begin with
// characters.
int32_t carryIntoBranch(const Instruction* program, const ProgramGraph& graph, const Run& tail,
                        bool ignoreCase, int32_t encodingMode, Run* set) {
  Run ways[REQUIRED_LITERAL_ALTERNATIVES];
  int32_t count = 0;
  if (!collectLeadingRuns(program, graph, tail.branchAfter, ignoreCase, encodingMode, 0, ways,
                          &count) ||
      count < 2) {
    return 0;
  }
  int32_t from = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t room = tail.length - (REQUIRED_LITERAL_CAPACITY - ways[i].length);
    if (room > from) from = room;
  }
  while (from < tail.length && from > 0 && tail.slotOf[from] == tail.slotOf[from - 1]) ++from;
  if (from >= tail.length) return 0;
  for (int32_t i = 0; i < count; ++i) {
    Run& literal = set[i];
    literal.length = 0;
    literal.firstSlot = tail.slotOf[from];
    literal.leading = tail.leading && from == 0;
    for (int32_t k = from; k < tail.length; ++k) literal.bytes[literal.length++] = tail.bytes[k];
    std::memcpy(literal.bytes + literal.length, ways[i].bytes, static_cast<size_t>(ways[i].length));
    literal.length += ways[i].length;
  }
  return count;
}

}  // namespace

void findRequiredLiteral(const Instruction* program, int32_t lastSlot, int32_t encodingMode,
                         RequiredLiteral* literal) {
  literal->length = 0;
  literal->otherCount = 0;
  literal->fold = 0;
  literal->singleLine = 0;
  literal->rareIndex = 0;
  literal->firstSlot = -1;
  literal->leading = 0;
  literal->set.count = 0;
  if (program == nullptr || lastSlot < 0 || lastSlot >= ANALYSIS_SLOT_LIMIT) return;
  if (program[lastSlot].opcode != OP_MATCH) return;

  ProgramGraph graph;
  if (!buildGraph(program, lastSlot, encodingMode, graph)) {
    freeGraph(graph);
    return;
  }
  bool singleLine = true;
  bool ignoreCase = false;
  int32_t characters = 0;
  for (int32_t s = 0; s <= lastSlot; ++s) {
    if (!graph.isInstruction[s]) continue;
    if (crossesLines(program[s])) singleLine = false;
    if (isCharacter(program[s])) {
      ++characters;
      if (program[s].accepted() != program[s].acceptedVariant()) ignoreCase = true;
    }
  }
  // In UTF-8 mode an ignore-case CHAR holds the character and its fold,
  // which are one code point for a character that is its own fold.
  if (encodingMode == ENCODING_UTF8 && compiledPattern.ignoreCase != 0) ignoreCase = true;
  literal->singleLine = singleLine ? 1 : 0;
  if (characters == 0) {
    freeGraph(graph);
    return;
  }

  Run runs[REQUIRED_LITERAL_ALTERNATIVES];
  int32_t count = 0;
  Run tail;
  runs[0] = longestRequiredRun(program, graph, 0, ignoreCase, encodingMode, &tail);
  if (runs[0].length > 0) count = 1;
  tail.leading = tail.length > 0 && firstStepFrom(program, graph, 0) == tail.firstSlot;
  // Without a literal of two bytes, or with one shorter than every literal
  // of the branches before it ("struct" or "union" before " {"), the set.
  Run alternatives[REQUIRED_LITERAL_ALTERNATIVES];
  int32_t found = 0;
  const bool branches =
      runs[0].length < SET_MEMBER_MINIMUM
          ? collectAlternatives(program, graph, 0, ignoreCase, encodingMode, 0, alternatives, &found)
          : collectBranches(program, graph, 0, ignoreCase, encodingMode, 0, alternatives, &found);
  bool longer = found > 1;
  for (int32_t i = 0; i < found; ++i) longer = longer && alternatives[i].length > runs[0].length;
  if (branches && longer) {
    for (int32_t i = 0; i < found; ++i) runs[i] = alternatives[i];
    count = found;
  } else if (tail.length > 0) {
    Run carried[REQUIRED_LITERAL_ALTERNATIVES];
    const int32_t ways = carryIntoBranch(program, graph, tail, ignoreCase, encodingMode, carried);
    bool better = ways > 1;
    for (int32_t i = 0; i < ways; ++i) {
      better = better && (carried[i].length >= runs[0].length ||
                          carried[i].length >= CARRIED_LITERAL_MINIMUM);
    }
    if (better) {
      for (int32_t i = 0; i < ways; ++i) runs[i] = carried[i];
      count = ways;
    }
  }
  freeGraph(graph);
  if (count == 0) return;
  literal->fold = ignoreCase ? 1 : 0;
  literal->length = runs[0].length;
  std::memcpy(literal->bytes, runs[0].bytes, static_cast<size_t>(runs[0].length));
  literal->rareIndex = rareByteIndex(literal->bytes, literal->length, ignoreCase);
  literal->firstSlot = runs[0].firstSlot;
  bool leading = true;
  for (int32_t i = 0; i < count; ++i) leading = leading && runs[i].leading;
  literal->leading = leading ? 1 : 0;
  for (int32_t i = 1; i < count; ++i) {
    LiteralAlternative& other = literal->others[i - 1];
    other.length = runs[i].length;
    std::memcpy(other.bytes, runs[i].bytes, static_cast<size_t>(runs[i].length));
    other.rareIndex = rareByteIndex(other.bytes, other.length, ignoreCase);
    other.firstSlot = runs[i].firstSlot;
  }
  literal->otherCount = count - 1;
  const uint8_t* bytes[REQUIRED_LITERAL_ALTERNATIVES] = {literal->bytes};
  int32_t lengths[REQUIRED_LITERAL_ALTERNATIVES] = {literal->length};
  for (int32_t i = 1; i < count; ++i) {
    bytes[i] = literal->others[i - 1].bytes;
    lengths[i] = literal->others[i - 1].length;
  }
  prepareLiteralSet(bytes, lengths, count, ignoreCase, &literal->set);
}

namespace {

// The first start of the literal bytes[0, m) in [from, end), or null.
const uint8_t* scanOne(const uint8_t* bytes, int32_t m, int32_t r, bool fold,
                       const uint8_t* from, const uint8_t* end) {
  if (m <= 0 || end - from < m) return nullptr;
  const uint8_t* low = from + r;
  const uint8_t* high = end - (m - 1 - r);  // the rare byte of a whole literal lies below
  const uint8_t key = bytes[r];
  auto matchesAt = [bytes, m, fold](const uint8_t* p) {
    if (fold) {
      for (int32_t i = 0; i < m; ++i) {
        if (upperTable[p[i]] != bytes[i]) return false;
      }
      return true;
    }
    return std::memcmp(p, bytes, static_cast<size_t>(m)) == 0;
  };

  // The byte values the scan looks for: the key, and with folding every byte
  // that folds to it.
  uint8_t forms[2] = {key, key};
  int32_t formCount = 1;
  if (fold) {
    formCount = 0;
    for (int32_t b = 0; b < 256; ++b) {
      if (upperTable[b] != key) continue;
      if (formCount == 2) {
        formCount = 3;
        break;
      }
      forms[formCount++] = static_cast<uint8_t>(b);
    }
  }
  if (formCount == 1) {
    for (const uint8_t* q = low; q < high;) {
      q = static_cast<const uint8_t*>(std::memchr(q, forms[0], static_cast<size_t>(high - q)));
      if (q == nullptr) return nullptr;
      if (matchesAt(q - r)) return q - r;
      ++q;
    }
    return nullptr;
  }
  if (formCount == 2) {
    // Two memchr streams, each remembering its next hit.
    const uint8_t* next[2] = {low, low};
    bool fresh[2] = {false, false};
    for (;;) {
      for (int32_t k = 0; k < 2; ++k) {
        if (!fresh[k] && next[k] != nullptr) {
          next[k] = next[k] < high ? static_cast<const uint8_t*>(std::memchr(
                                         next[k], forms[k], static_cast<size_t>(high - next[k])))
                                   : nullptr;
          fresh[k] = true;
        }
      }
      int32_t k;
      if (next[0] == nullptr && next[1] == nullptr) return nullptr;
      if (next[1] == nullptr || (next[0] != nullptr && next[0] < next[1])) {
        k = 0;
      } else {
        k = 1;
      }
      const uint8_t* q = next[k];
      if (matchesAt(q - r)) return q - r;
      next[k] = q + 1;
      fresh[k] = false;
    }
  }
  for (const uint8_t* q = low; q < high; ++q) {
    if (upperTable[*q] == key && matchesAt(q - r)) return q - r;
  }
  return nullptr;
}

// The first piece of text scanned for every literal of a set; each further
// piece is twice as long.
constexpr int64_t FIRST_PIECE = 256;

}  // namespace

const uint8_t* scanRequiredLiteral(const RequiredLiteral& literal, const uint8_t* from,
                                   const uint8_t* end, const uint8_t* readable) {
  if (literal.length <= 0) return nullptr;
  if (literal.set.count > 0) return findLiteralSet(literal.set, from, end, readable);
  const bool fold = literal.fold != 0;
  if (literal.otherCount == 0) {
    return scanOne(literal.bytes, literal.length, literal.rareIndex, fold, from, end);
  }
  if (literal.length <= 0) return nullptr;
  // Each piece [at, pieceEnd) is searched for the starts of every literal in
  // it; the earliest of them is the answer once one is found.
  int64_t piece = FIRST_PIECE;
  for (const uint8_t* at = from; at < end; at += piece, piece *= 2) {
    if (end - at <= piece) piece = end - at;
    const uint8_t* pieceEnd = at + piece;
    auto reach = [pieceEnd, end](int32_t length) {
      return end - pieceEnd > length - 1 ? pieceEnd + (length - 1) : end;
    };
    const uint8_t* best =
        scanOne(literal.bytes, literal.length, literal.rareIndex, fold, at, reach(literal.length));
    for (int32_t i = 0; i < literal.otherCount; ++i) {
      const LiteralAlternative& other = literal.others[i];
      const uint8_t* limit = reach(other.length);
      if (best != nullptr && best + other.length < limit) limit = best + other.length;
      const uint8_t* hit = scanOne(other.bytes, other.length, other.rareIndex, fold, at, limit);
      if (hit != nullptr && (best == nullptr || hit < best)) best = hit;
    }
    if (best != nullptr) return best;
  }
  return nullptr;
}

namespace {

int32_t longestLiteral(const RequiredLiteral& literal) {
  int32_t longest = literal.length;
  for (int32_t i = 0; i < literal.otherCount; ++i) {
    if (literal.others[i].length > longest) longest = literal.others[i].length;
  }
  return longest;
}

// Moves the source back by `distance` bytes, in steps that MoveBy can take.
bool moveBack(int64_t distance) {
  constexpr int64_t STEP = 1 << 30;
  while (distance > 0) {
    const int64_t step = distance < STEP ? distance : STEP;
    if (textSource.MoveBy(-static_cast<int32_t>(step)) != 0) return false;
    distance -= step;
  }
  return true;
}

}  // namespace

LineFollowing followLineForLiteral(const RequiredLiteral& literal, const uint8_t* from,
                                   const uint8_t* end) {
  const int32_t keep = longestLiteral(literal) - 1;
  // The last `keep` bytes of the line read so far, then the first bytes of
  // the next block: a literal that starts before the block and ends in it.
  uint8_t junction[2 * REQUIRED_LITERAL_CAPACITY];
  int32_t carried = end - from < keep ? static_cast<int32_t>(end - from) : keep;
  std::memcpy(junction, end - carried, static_cast<size_t>(carried));
  int64_t moved = 0;  // from `from` to the source's cursor
  const uint8_t* cursor = from;
  const uint8_t* dataEnd = end;
  textSource.SetPosition(from);
  for (;;) {
    if (textSource.AdvanceTo(dataEnd) != 0) return TEXT_ENDS_WITHOUT_LITERAL;
    moved += dataEnd - cursor;
    const uint8_t* lineEnd = nullptr;
    textSource.GetWindow(&cursor, &lineEnd, &dataEnd);
    const int32_t length = lineEnd - cursor < keep ? static_cast<int32_t>(lineEnd - cursor) : keep;
    std::memcpy(junction + carried, cursor, static_cast<size_t>(length));
    if (scanRequiredLiteral(literal, junction, junction + carried + length) != nullptr ||
        scanRequiredLiteral(literal, cursor, lineEnd, dataEnd) != nullptr) {
      textSource.SetPosition(cursor);
      return moveBack(moved) ? LINE_HOLDS_LITERAL : TEXT_ENDS_WITHOUT_LITERAL;
    }
    if (lineEnd > cursor && lineEnd[-1] == '\n') {
      textSource.SetPosition(cursor);
      return textSource.AdvanceTo(lineEnd) == 0 ? LINE_LACKS_LITERAL : TEXT_ENDS_WITHOUT_LITERAL;
    }
    // The next junction begins with the last bytes of the line so far, which
    // a block shorter than them takes partly from the junction before.
    if (lineEnd - cursor >= keep) {
      carried = keep;
      std::memcpy(junction, lineEnd - keep, static_cast<size_t>(keep));
    } else {
      const int32_t total = carried + length;
      carried = total < keep ? total : keep;
      std::memmove(junction, junction + total - carried, static_cast<size_t>(carried));
    }
  }
}
