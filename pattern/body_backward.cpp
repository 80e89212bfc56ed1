// Look-ahead bodies answered by a backward pass over the line.
//
// Whether a look-ahead's body B matches at position p depends on the text
// from p to the end of what B may read, and on nothing else: the text from p
// is in L(B) followed by anything. Read backwards, that is a question a
// reversed automaton answers for every position in one pass. The body's
// program is unfolded into nodes (an instruction and the counters of the
// counted loops around it, each held as the VM holds it), and R(q), the
// nodes from which the body's MATCH is reachable at position q, follows
// from R(q + L) for the character of L bytes at q and the line tests at q:
// an item node is in it when it takes the character and its successor is
// in R(q + L); an empty-width node when one of its ways (LINE_START and
// LINE_END where they hold) leads to a node in it. The sets that matter are
// few, so they are states of a lazy DFA of fixed size, built as the pass
// meets them, with the transitions kept by state, class of character (the
// set of item nodes that take it) and line tests; the answer at q is whether
// the body's first node is in R(q). Over a run of bytes with no line test
// whose transitions are kept, the pass is a lookup a byte (sweepPlain).
//
// A look-ahead inside the body is one more test at its position: whether
// its own body fails there, which again depends on the text from there
// alone. Its body is unfolded into an automaton of its own, run in the
// same pass: at each position the inner bodies' states are made first and
// their answers join the line tests of the body's step (the more tests, the
// fewer classes the fixed transition table keeps), and the checkpoints
// keep every automaton's sets. An inner body may hold look-aheads of its
// own, answered the same way before it: the bodies nested in a body, at
// any depth, form its chain, each after those nested in it. Three
// look-aheads a body at most, eight bodies a chain; more is left to the
// memo.
//
// A body reads within its line: the route takes bodies in single-byte,
// double-byte and UTF-8 text read from a file (the text source reads its
// text back a block at a time, ReadAt), by lines where the body's items
// take no line break and it holds no NEWLINE: an item that reads across
// lines (\om) and takes neither CR nor LF fails at the line's end as one
// that stays on its line does, so it reads within its line too. A body
// whose items all read across lines and take a line feed, \om(?!(a[^x])*c),
// reads on to the end of the text: its stretch runs there, and the line
// tests hold at every line end (LINE_END: a line feed, the carriage return
// of a CR LF) and after it (LINE_START). Its items take a carriage return
// that ends no line as a character, and LINE_END holds there as the
// matcher's window says (below). So is a body with a NEWLINE: where
// LINE_END holds, the NEWLINE takes a line feed, or a carriage return and
// the byte after it, as the matcher moves over the line end (items of its
// own). An ANY or SET that stays on its line takes no line break where
// the matcher asks the source for the line's end (a line feed, a CR LF, a
// carriage return that ends no line near the window's end): such a
// position has a character of its own class (LINE_BREAK_FLAG). Not in
// double-byte text, where these bodies are left to the memo. Asked
// at a position p of a line whose rest is long, it finds the line's end e
// reading forward, then makes one backward pass from e to p that keeps only
// the sets at every block boundary (BLOCK_BYTES apart: 320 of them on a
// 20 MB line); when the search reaches a block, a backward pass over that
// block from the checkpoint after it gives a bit for every position of the
// block, unless the first pass kept the block's answers as a few runs of
// matching positions (RUN_LIMIT), as on text where they seldom change. At
// most three reads of the line, in time linear in it, with memory of the
// program's size, the checkpoints and runs (a few words a block) and a
// block of bits. A shorter rest of line is left to the memoized
// backtracker (backtrack_memo.cpp), whose records are then as short, and a
// source that cannot read back (a pipe) too.
//
// A carriage return that ends no line is a character where the matcher
// reads its window straight and a line end near the window's end, where it
// asks the source (loneReturnIsCharacter): the pass takes it as the matcher
// would there, from where the file's window blocks end. Its window ends one
// past the line feed that ends the line, or at the end of a block, so
// across lines only a block's end comes near enough to a carriage return
// that ends no line for LINE_END to hold there. By records every
// byte is a character and the items read on across the records to the end
// of the text, which ends the stretch; the line tests hold at the record
// boundaries, which the source's own test finds once a stretch, and at the
// text's end, but for a newline escape (\n), which wants another record
// after the boundary.
//
// In double-byte text a lead byte and the trail after it are one character
// to ANY and a SET, where the matcher can read the trail (not at the line's
// end, nor a carriage return it reads as a line end), while a CHAR compares
// one byte. Where characters begin is known only reading forward from the
// line's start, but what the body reads from q depends on q alone: R(q) is
// made at every byte as though a character began there, from R(q + 1) for
// the items that take one byte and R(q + 2) for those that take a pair. A
// state holds R(q) and R(q + 1) both, and the class of a pair tells the
// items that take one byte from those that take two; the search asks only
// at the starts of characters. An ANY or SET that crosses lines takes the
// line break after a lead byte as its trail, as the pass across lines does.
//
// An item that may read across lines, a cursor mark (the body's marks never
// leave it: the look-ahead is negative), the empty-pass guards (a pass that
// consumed nothing only comes back to its loop's start, so ignoring the
// guard adds no way to the MATCH): none changes whether the body matches.
// Tested by pike_vm_test.cpp (agreement with the plain backtracker on random
// programs over files, memory over a long line) and the end-to-end suite.
#include "pattern/body_backward.h"

#include <bit>
#include <cstring>

#include "pattern/compiled_pattern.h"
#include "pattern/matcher_internal.h"
#include "pattern/text_source.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

// Nodes a body may unfold to, and the item nodes among them (a class of
// characters is a set of item nodes, a word per 64).
constexpr int32_t NODE_LIMIT = 8192;
// The slots of the table that finds a node by its slot and counters.
constexpr int32_t NODE_HASH_SLOTS = 2 * NODE_LIMIT;
constexpr int32_t ITEM_WORDS_LIMIT = NODE_LIMIT / 64;
// The words of a state's set.
constexpr int32_t SET_WORDS_LIMIT = NODE_LIMIT / 64 + 1;
// In double-byte text a character at q is one byte or a pair: a pair's
// class marks the items that take the whole pair apart from those that
// take its lead byte alone (PAIR_FLAG | lead << 8 | trail).
constexpr int32_t PAIR_FLAG = 0x10000;
// Across lines, a line break where the matcher asks for the line's end,
// which the ANY and SET items that stay on their line do not take.
constexpr int32_t LINE_BREAK_FLAG = 0x40000;
// The lazy DFA: states, character classes, and the transition table of
// STATE_LIMIT x KEYS_PER_STATE (512 KiB). A key is a class and the tests at
// the position: the two line tests and, for a body with inner look-aheads,
// whether each inner body fails there; the more tests, the fewer classes.
constexpr int32_t STATE_LIMIT = 256;
constexpr int32_t KEYS_PER_STATE = 512;
// Bodies of one program answered at once, the look-aheads a body may hold,
// the bodies nested in one body at any depth, and the nested bodies of all
// the program's bodies.
constexpr int32_t BODY_LIMIT = 16;
constexpr int32_t INNER_LIMIT = 3;
constexpr int32_t CHAIN_LIMIT = 8;
constexpr int32_t NESTED_LIMIT = 64;
// A rest of line shorter than this is left to the memo; the blocks.
constexpr int64_t SHORTEST_STRETCH = 65536;
constexpr int64_t BLOCK_BYTES = 65536;
// The pass from the line's end keeps, for each block, the runs of
// positions where the body matches when they are this few: the block's
// bits are then laid out again from them, without a second pass.
constexpr int32_t RUN_LIMIT = 8;
// A UTF-8 character is at most 6 bytes: the sets of the positions after it
// that a step may need.
constexpr int32_t RING = 8;
constexpr int32_t SPAN_UTF8 = 6;
constexpr int32_t LINE_TEST_START = 1;
constexpr int32_t LINE_TEST_END = 2;
constexpr int32_t LINE_TESTS = 2;

// The test that inner look-ahead k's body fails at the position: its
// look-ahead holds.
constexpr int32_t innerFails(int32_t k) { return 1 << (LINE_TESTS + k); }

int64_t shortestStretch = SHORTEST_STRETCH;
int64_t blockBytes = BLOCK_BYTES;
int64_t stretchesAnswered = 0;
int64_t stretchesAcrossLines = 0;

enum NodeKind : uint8_t { NODE_ITEM, NODE_EMPTY, NODE_ACCEPT };

struct Node {
  int32_t slot;
  NodeKind kind;
  int32_t next;    // an item's successor
  int32_t target;  // its index among the targets, -1 for none
  int32_t item;    // an item's index among the items
  int32_t counters[REPEAT_COUNTERS];
};

// An empty-width way, stored by its end: `from` goes on to the node that
// owns the list when the tests of `test` (none, line tests, an inner body's
// failure) hold.
struct Way {
  int32_t from;
  int32_t test;
};

struct Body {
  int32_t slot;  // the NOT_AHEAD's
  bool usable;
  // Items that read a line break (a CHAR of CR or LF, an item that crosses
  // lines and takes CR or LF): the body reads past the line, which a file
  // read by lines declines. A record-mode newline escape (a LINE_END that
  // wants another record after it) fails at the end of the text, where a
  // plain LINE_END holds: a body with both kinds (its own, or an inner
  // body's) is declined by records.
  bool readsLineBreaks;
  bool ownEscapedLineEnd;
  bool ownPlainLineEnd;
  bool mixedLineEnds;
  // An ANY or SET that stays on its line: a body that reads line breaks is
  // then read across lines only where the route takes the line's end alone.
  // (A CHAR reads the byte it compares whether it stays or not.)
  bool itemsStay;
  // A NEWLINE, read across lines as a line end and the bytes it takes.
  bool hasNewline;
  // The inner look-aheads' bodies, answered in the same pass, position by
  // position before this body.
  Body* inner[INNER_LIMIT];
  int32_t innerSlot[INNER_LIMIT];
  int32_t innerCount;
  // Of a program's body: the bodies nested in it at any depth, each after
  // those nested in it, as the pass makes their states at a position. Of
  // each body: its ring in the pass (0 for the program's body, 1 + its
  // place in the chain for the others).
  Body* chain[CHAIN_LIMIT];
  int32_t chainCount;
  int32_t ringIndex;
  int32_t testKeys;    // the combinations of tests: keys per class
  int32_t classLimit;  // KEYS_PER_STATE / testKeys
  Node* nodes;
  int32_t nodeCount;
  int32_t start;
  int32_t accept;
  Way* ways;  // into each node, grouped by node
  int32_t* wayFirst;
  int32_t itemCount;
  int32_t* itemNode;
  int32_t targetCount;  // item successors and the start node
  // The words of a set of targets, and of a state's set: in double-byte
  // text R(q) and then R(q + 1), which a pair at q - 1 goes on to.
  int32_t targetWords;
  int32_t words;
  // The words of a set of items, and of a class: in double-byte text the
  // items that take one byte, then those that take two.
  int32_t takeWords;
  int32_t itemWords;
  // The DFA.
  uint64_t* stateSets;  // STATE_LIMIT x words
  uint8_t* stateAnswer;
  int32_t stateCount;
  int32_t* hashSlots;  // 2 x STATE_LIMIT
  int32_t* transitions;
  uint64_t* classSets;  // classLimit x itemWords
  int32_t classCount;
  int16_t byteClass[256];  // -1 unknown
  int16_t* pairClass;      // in double-byte text, by lead and trail
  uint32_t flushes;
  // The stretch of text answered: [from, end], end being the line's end,
  // or by records the text's.
  uint32_t text;
  int64_t from;
  int64_t end;
  bool declined;
  bool records;
  // By lines, a body whose items cross lines and take line breaks: the
  // stretch runs to the end of the text, with the line tests at every line
  // end (see sweep).
  bool across;
  bool fromStartsLine;
  bool endIsLineEnd;
  bool endStartsLine;
  // By lines: one past the last byte of the matcher's window where it
  // reads the line's end (see loneReturnIsCharacter). By records: the first
  // record boundary from `from` on and the record length (INT64_MAX when
  // no second boundary lies before the end).
  int64_t windowLimit;
  int64_t firstBoundary;
  int64_t boundaryPeriod;
  uint64_t* checkpoints;  // per block boundary after the first: span sets
  int64_t checkpointCount;
  // Per block: its runs of matching positions, [start, end) from the
  // block's start, RUN_LIMIT pairs a block; runCount -1 for more.
  uint32_t* runs;
  int32_t* runCount;
  int64_t block;  // the block whose bits are held, -1 none
  uint64_t* bits;
};

struct Program {
  const Instruction* program;
  uint32_t generation;
  int32_t lastSlot;
  int32_t charMode;
  int32_t ignoreCase;  // UTF-8 text is compared by its case fold under it
  Instruction* copy;
  Body bodies[BODY_LIMIT];
  Body nested[NESTED_LIMIT];
  int32_t bodyCount;
  int32_t nestedCount;
  bool valid;
};

Program current;

// Scratch of a step.
uint8_t* reached = nullptr;
int32_t* queue = nullptr;
uint64_t* scratchSet = nullptr;
uint64_t* spanSets = nullptr;  // the ring's sets kept over a flush
uint8_t* blockBuffer = nullptr;
int64_t blockBufferBytes = 0;

bool utf8Text() { return current.charMode == ENCODING_UTF8; }
bool doubleByteText() { return current.charMode == ENCODING_DOUBLE_BYTE; }
int32_t span() { return utf8Text() ? SPAN_UTF8 : 1; }

bool isItem(uint8_t opcode) {
  return opcode == OP_CHAR || opcode == OP_ANY || opcode == OP_SET || opcode == OP_CHAR_SCAN ||
         opcode == OP_ANY_SCAN || opcode == OP_SET_SCAN;
}

bool isSetItem(uint8_t opcode) { return opcode == OP_SET || opcode == OP_SET_SCAN; }

// An ANY or SET that stays on its line: it takes no line break where the
// matcher asks for the line's end. (A CHAR reads the byte it compares.)
bool staysOnLine(const Instruction& in) {
  return in.crossLines() == 0 && in.opcode != OP_CHAR && in.opcode != OP_CHAR_SCAN;
}

// A NEWLINE's items have slots of their own below 0: the line feed it
// takes, the carriage return, and the byte after that.
constexpr int32_t NEWLINE_LF = 0;
constexpr int32_t NEWLINE_CR = 1;
constexpr int32_t NEWLINE_BYTE = 2;
int32_t newlineItemSlot(int32_t slot, int32_t kind) { return -1 - (3 * slot + kind); }

// Whether the NEWLINE's item of the slot takes the character c (a byte,
// or a code point in UTF-8 text: the byte after a carriage return is
// taken where it is a character of one byte).
bool newlineItemTakes(int32_t itemSlot, int32_t c) {
  switch ((-1 - itemSlot) % 3) {
    case NEWLINE_LF:
      return c == '\n';
    case NEWLINE_CR:
      return c == '\r';
    default:
      return !utf8Text() || c < 0x80;
  }
}

int32_t setMode() {
  return compiledPattern.encodingMode == ENCODING_UTF8 ? ENCODING_UTF8 : ENCODING_SINGLE_BYTE;
}

bool itemTakes(const Instruction& in, int32_t c);
struct Body;
bool unfoldBody(const Instruction* program, int32_t notAhead, Body* b, bool takesInner);

// ---------------------------------------------------------------------------
// Unfolding the body

struct Unfolder {
  const Instruction* program;
  Body* b;
  int32_t first;  // the body's first slot
  int32_t match;  // its MATCH
  bool takesInner;  // whether the body may hold look-aheads
  Way* ways;      // forward: (from, test) with the end in `ends`
  int32_t* ends;
  int32_t wayCount;
  int32_t wayCapacity;
  int32_t* nodeHash;  // NODE_HASH_SLOTS nodes, -1 for none

  // The node of the slot with the counters, made when new; -1 over the
  // limit.
  int32_t nodeOf(int32_t slot, const int32_t* counters) {
    uint32_t hash = static_cast<uint32_t>(slot) * 0x9E3779B1u;
    for (int32_t k = 0; k < REPEAT_COUNTERS; ++k) {
      hash = (hash ^ static_cast<uint32_t>(counters[k])) * 0x85EBCA6Bu;
    }
    uint32_t at = (hash ^ hash >> 15) % NODE_HASH_SLOTS;
    for (;; at = (at + 1) % NODE_HASH_SLOTS) {
      const int32_t n = nodeHash[at];
      if (n < 0) break;
      if (b->nodes[n].slot == slot &&
          std::memcmp(b->nodes[n].counters, counters, sizeof b->nodes[n].counters) == 0) {
        return n;
      }
    }
    if (b->nodeCount == NODE_LIMIT) return -1;
    nodeHash[at] = b->nodeCount;
    Node& node = b->nodes[b->nodeCount];
    node.slot = slot;
    node.kind = NODE_EMPTY;
    node.next = -1;
    node.target = -1;
    node.item = -1;
    std::memcpy(node.counters, counters, sizeof node.counters);
    return b->nodeCount++;
  }

  bool addWay(int32_t from, int32_t to, int32_t test) {
    if (to < 0) return false;
    if (wayCount == wayCapacity) {
      const int32_t wanted = wayCapacity < 64 ? 64 : wayCapacity * 2;
      if (!memGrowArray(&ways, wanted) || !memGrowArray(&ends, wanted)) return false;
      wayCapacity = wanted;
    }
    ways[wayCount] = Way{from, test};
    ends[wayCount++] = to;
    return true;
  }

  bool inBody(int64_t slot) const { return slot >= first && slot <= match; }

  // The item of kind `kind` of the NEWLINE at the slot, going on to `next`;
  // -1 over the limit.
  int32_t newlineItem(int32_t slot, int32_t kind, const int32_t* counters, int32_t next) {
    if (next < 0) return -1;
    const int32_t n = nodeOf(newlineItemSlot(slot, kind), counters);
    if (n < 0) return -1;
    b->nodes[n].kind = NODE_ITEM;
    b->nodes[n].next = next;
    return n;
  }

  // Follows node n's instruction: false when the body has a shape the
  // route does not take, or a limit is passed.
  bool unfold(int32_t n) {
    const Node node = b->nodes[n];
    if (node.slot < 0) return true;  // a NEWLINE's item, made with its successor
    const Instruction& in = program[node.slot];
    int32_t counters[REPEAT_COUNTERS];
    std::memcpy(counters, node.counters, sizeof counters);
    const auto to = [&](int64_t slot) { return inBody(slot) ? nodeOf(static_cast<int32_t>(slot), counters) : -1; };
    if (node.slot == match) {
      b->nodes[n].kind = NODE_ACCEPT;
      return true;
    }
    if (isItem(in.opcode)) {
      // A CHAR of a line break takes it where the matcher reads without
      // asking for the line's end. An item that crosses lines reads the
      // line break as any character: one that takes neither CR nor LF
      // fails there as an item that stays on its line does.
      const bool isChar = in.opcode == OP_CHAR || in.opcode == OP_CHAR_SCAN;
      if (staysOnLine(in)) b->itemsStay = true;
      if (in.crossLines() != 0
              ? itemTakes(in, '\r') || itemTakes(in, '\n')
              : isChar && (in.accepted() == '\r' || in.accepted() == '\n' ||
                           in.acceptedVariant() == '\r' || in.acceptedVariant() == '\n')) {
        b->readsLineBreaks = true;
      }
      // In double-byte text ANY and a SET that cross lines take a line
      // break as the trail of a lead byte before it.
      if (doubleByteText() && in.crossLines() != 0 && !isChar) {
        b->readsLineBreaks = true;
      }
      const int32_t length = isSetItem(in.opcode) ? setSlotCount(in, setMode()) : 1;
      const int32_t next = to(int64_t{node.slot} + length);
      if (next < 0) return false;
      b->nodes[n].kind = NODE_ITEM;
      b->nodes[n].next = next;
      return true;
    }
    switch (in.opcode) {
      case OP_GROUP_START:
      case OP_GROUP_END:
      case OP_MARK_CURSOR:
        return addWay(n, to(node.slot + 1), 0);
      case OP_LINE_START:
        return addWay(n, to(node.slot + 1), LINE_TEST_START);
      case OP_LINE_END:
        (in.newlineEscape() == 1 ? b->ownEscapedLineEnd : b->ownPlainLineEnd) = true;
        return addWay(n, to(node.slot + 1), LINE_TEST_END);
      case OP_JUMP:
        return addWay(n, to(int64_t{node.slot} + in.next()), 0);
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
        return addWay(n, to(int64_t{node.slot} + in.branch()), 0) &&
               addWay(n, to(int64_t{node.slot} + in.next()), 0);
      case OP_COUNT_RESET:
        if (in.passMark() != PASS_START_MARK) {
          if (in.counter() >= static_cast<uint32_t>(REPEAT_COUNTERS)) return false;
          counters[in.counter()] = 0;
        }
        return addWay(n, to(node.slot + 1), 0);
      case OP_COUNT_LOOP:
      case OP_COUNT_LOOP_MIN: {
        // As the VM counts: an unbounded loop's count is held at its
        // minimum above it; the count is read only within the loop, so it
        // leaves the state at the exit.
        if (in.counter() >= static_cast<uint32_t>(REPEAT_COUNTERS) || in.maximum() < 1) return false;
        const int32_t c = static_cast<int32_t>(in.counter());
        const int64_t before = counters[c];
        if (before >= in.maximum()) return true;
        const int64_t count = before + 1;
        const int64_t held =
            in.maximum() == COUNT_UNBOUNDED && count > in.minimum() ? in.minimum() : count;
        const int64_t body = int64_t{node.slot} + in.branch();
        const int64_t exit = int64_t{node.slot} + in.next();
        if (count < in.maximum()) {
          counters[c] = static_cast<int32_t>(count < in.minimum() ? count : held);
          if (!addWay(n, to(body), 0)) return false;
        }
        if (count >= in.minimum()) {
          counters[c] = 0;
          if (!addWay(n, to(exit), 0)) return false;
        }
        return true;
      }
      case OP_NOT_AHEAD: {
        // Goes on past the inner body where that body fails at the
        // position, which its own automaton says in the same pass.
        if (!takesInner) return false;
        int32_t k = 0;
        while (k < b->innerCount && b->innerSlot[k] != node.slot) ++k;
        if (k == b->innerCount) {
          if (k == INNER_LIMIT || current.nestedCount == NESTED_LIMIT) return false;
          Body* d = &current.nested[current.nestedCount++];
          if (!unfoldBody(program, node.slot, d, true)) return false;
          b->inner[k] = d;
          b->innerSlot[k] = node.slot;
          ++b->innerCount;
          b->readsLineBreaks = b->readsLineBreaks || d->readsLineBreaks;
          b->mixedLineEnds = b->mixedLineEnds || d->mixedLineEnds;
          b->itemsStay = b->itemsStay || d->itemsStay;
        }
        return addWay(n, to(int64_t{node.slot} + in.next()), innerFails(k));
      }
      case OP_NEWLINE: {
        // Where LINE_END holds, a line feed, or a carriage return and the
        // byte after it (the LF of a CR LF), as the matcher moves on over
        // the line end: items of their own.
        b->hasNewline = true;
        b->readsLineBreaks = true;
        const int32_t next = to(node.slot + 1);
        const int32_t lineFeed = newlineItem(node.slot, NEWLINE_LF, counters, next);
        const int32_t byte = newlineItem(node.slot, NEWLINE_BYTE, counters, next);
        const int32_t carriageReturn = newlineItem(node.slot, NEWLINE_CR, counters, byte);
        return addWay(n, lineFeed, LINE_TEST_END) && addWay(n, carriageReturn, LINE_TEST_END);
      }
      default:
        return false;  // BACKREF
    }
  }
};

bool allocateBody(Body* b) {
  return memGrowArray(&b->nodes, NODE_LIMIT) && memGrowArray(&b->itemNode, NODE_LIMIT) &&
         memGrowArray(&b->wayFirst, NODE_LIMIT + 1);
}

bool isScan(uint8_t opcode) {
  return opcode == OP_CHAR_SCAN || opcode == OP_ANY_SCAN || opcode == OP_SET_SCAN;
}

// Whether the body has a loop that is no scan: a group, or a counted loop.
// The memo keeps what a scan passed as a stretch of positions, in memory of
// the program's size, and answers such bodies at least as fast; the states
// of other loops it keeps by position.
bool hasGroupLoop(const Instruction* program, int32_t first, int32_t match) {
  for (int32_t k = first; k < match;) {
    const Instruction& in = program[k];
    if (in.opcode == OP_COUNT_LOOP || in.opcode == OP_COUNT_LOOP_MIN) return true;
    if ((in.opcode == OP_SPLIT || in.opcode == OP_SPLIT_FIRST) && in.branch() < 0) {
      const int64_t target = int64_t{k} + in.branch();
      const Instruction& item = program[target >= 0 ? target : 0];
      const int32_t length = isSetItem(item.opcode) ? setSlotCount(item, setMode()) : 1;
      if (target < first || !isScan(item.opcode) || target + length != k) return true;
    }
    k += isSetItem(in.opcode) ? setSlotCount(in, setMode()) : 1;
  }
  return false;
}

// Unfolds the body and numbers its targets, and those of the inner
// look-aheads' bodies, where `takesInner` lets it hold any; false when the
// route does not take it or memory runs out.
bool unfoldBody(const Instruction* program, int32_t notAhead, Body* b, bool takesInner) {
  const int32_t match = notAhead + program[notAhead].next() - 1;
  if (match <= notAhead || match > current.lastSlot || program[match].opcode != OP_MATCH) return false;
  if (!allocateBody(b)) return false;
  Unfolder u{program, b, notAhead + 1, match, takesInner, nullptr, nullptr, 0, 0, nullptr};
  if (!memGrowArray(&u.nodeHash, NODE_HASH_SLOTS)) return false;
  for (int32_t k = 0; k < NODE_HASH_SLOTS; ++k) u.nodeHash[k] = -1;
  b->nodeCount = 0;
  b->innerCount = 0;
  b->readsLineBreaks = false;
  b->ownEscapedLineEnd = false;
  b->ownPlainLineEnd = false;
  b->mixedLineEnds = false;
  b->itemsStay = false;
  b->hasNewline = false;
  int32_t zero[REPEAT_COUNTERS] = {};
  b->start = u.nodeOf(notAhead + 1, zero);
  bool ok = true;
  for (int32_t n = 0; n < b->nodeCount && ok; ++n) ok = u.unfold(n);
  b->accept = -1;
  b->itemCount = 0;
  for (int32_t n = 0; n < b->nodeCount && ok; ++n) {
    if (b->nodes[n].kind == NODE_ACCEPT) b->accept = n;
    if (b->nodes[n].kind == NODE_ITEM) {
      b->nodes[n].item = b->itemCount;
      b->itemNode[b->itemCount++] = n;
    }
  }
  ok = ok && b->accept >= 0;
  b->mixedLineEnds = b->mixedLineEnds || (b->ownEscapedLineEnd && b->ownPlainLineEnd);
  // The ways grouped by their end, for the walk back from the nodes that
  // reach the MATCH.
  if (ok) ok = memGrowArray(&b->ways, u.wayCount + 1);
  if (ok) {
    for (int32_t n = 0; n <= b->nodeCount; ++n) b->wayFirst[n] = 0;
    for (int32_t w = 0; w < u.wayCount; ++w) ++b->wayFirst[u.ends[w] + 1];
    for (int32_t n = 0; n < b->nodeCount; ++n) b->wayFirst[n + 1] += b->wayFirst[n];
    int32_t* fill = nullptr;
    ok = memGrowArray(&fill, b->nodeCount + 1);
    if (ok) {
      std::memcpy(fill, b->wayFirst, sizeof(int32_t) * static_cast<size_t>(b->nodeCount));
      for (int32_t w = 0; w < u.wayCount; ++w) b->ways[fill[u.ends[w]]++] = u.ways[w];
    }
    memFree(fill);
  }
  memFree(u.ways);
  memFree(u.ends);
  memFree(u.nodeHash);
  if (!ok) return false;
  b->targetCount = 0;
  for (int32_t n = 0; n < b->nodeCount; ++n) b->nodes[n].target = -1;
  b->nodes[b->start].target = b->targetCount++;
  for (int32_t i = 0; i < b->itemCount; ++i) {
    Node& next = b->nodes[b->nodes[b->itemNode[i]].next];
    if (next.target < 0) next.target = b->targetCount++;
  }
  const int32_t widths = doubleByteText() ? 2 : 1;
  b->targetWords = (b->targetCount + 63) / 64;
  b->words = b->targetWords * widths;
  b->takeWords = (b->itemCount + 63) / 64;
  if (b->takeWords == 0) b->takeWords = 1;
  b->itemWords = b->takeWords * widths;
  b->testKeys = 1 << (LINE_TESTS + b->innerCount);
  b->classLimit = KEYS_PER_STATE / b->testKeys;
  return b->itemWords <= ITEM_WORDS_LIMIT && b->words <= SET_WORDS_LIMIT;
}

// ---------------------------------------------------------------------------
// The lazy DFA

void flushStates(Body* b) {
  ++b->flushes;
  b->stateCount = 0;
  for (int32_t k = 0; k < 2 * STATE_LIMIT; ++k) b->hashSlots[k] = -1;
}

void flushClasses(Body* b) {
  b->classCount = 0;
  for (int16_t& c : b->byteClass) c = -1;
  if (doubleByteText()) std::memset(b->pairClass, 0xFF, sizeof(int16_t) * 65536);
  flushStates(b);
}

bool prepareDfa(Body* b) {
  if (!memGrowArray(&b->stateSets, int64_t{STATE_LIMIT} * b->words) ||
      !memGrowArray(&b->stateAnswer, STATE_LIMIT) || !memGrowArray(&b->hashSlots, 2 * STATE_LIMIT) ||
      !memGrowArray(&b->transitions, int64_t{STATE_LIMIT} * KEYS_PER_STATE) ||
      !memGrowArray(&b->classSets, int64_t{b->classLimit} * b->itemWords) ||
      (doubleByteText() && !memGrowArray(&b->pairClass, 65536))) {
    return false;
  }
  flushClasses(b);
  for (int32_t k = 0; k < b->innerCount; ++k) {
    if (!prepareDfa(b->inner[k])) return false;
  }
  return true;
}

// Whether the item at the slot takes the character (a byte in single-byte
// text, a code point or -1 in UTF-8 text), as the matcher's items do.
bool itemTakes(const Instruction& in, int32_t c) {
  using matcher_internal::setBitmapHas;
  using matcher_internal::utf8CharMatches;
  using matcher_internal::utf8SetHas;
  const bool utf8 = utf8Text();
  switch (in.opcode) {
    case OP_CHAR:
    case OP_CHAR_SCAN:
      return utf8 ? utf8CharMatches(&in, c)
                  : static_cast<uint32_t>(c) == in.accepted() ||
                        static_cast<uint32_t>(c) == in.acceptedVariant();
    case OP_ANY:
    case OP_ANY_SCAN:
      return true;
    default:
      return utf8 ? utf8SetHas(&in, c) : setBitmapHas(&in, c);
  }
}

// Double-byte text: the bytes the item takes of the character at q (a
// byte, or a pair with PAIR_FLAG), 0 for none, as the matcher's items read
// it: a CHAR compares one byte; ANY and a SET take a lead byte's trail
// along where there is one to read, a SET's partial row only with it.
int32_t bytesItemTakes(const Instruction& in, int32_t c) {
  using matcher_internal::setBitmapHas;
  using matcher_internal::setRowHas;
  using matcher_internal::setRowIsPartial;
  const bool pair = c >= PAIR_FLAG;
  const int32_t lead = pair ? (c >> 8) & 0xFF : c;
  const int32_t taken = pair ? 2 : 1;
  switch (in.opcode) {
    case OP_CHAR:
    case OP_CHAR_SCAN:
      return static_cast<uint32_t>(lead) == in.accepted() ||
                     static_cast<uint32_t>(lead) == in.acceptedVariant()
                 ? 1
                 : 0;
    case OP_ANY:
    case OP_ANY_SCAN:
      return taken;
    default:
      if (leadByteTable[lead] == 0) return setBitmapHas(&in, lead) ? 1 : 0;
      if (setBitmapHas(&in, lead)) return taken;
      return pair && setRowIsPartial(&in, lead) && setRowHas(&in, lead, c & 0xFF) ? 2 : 0;
  }
}

// The class of the character: the set of item nodes that take it (in
// double-byte text, by the bytes they take); -1 when the table is full (the
// step is then made without the transition table).
int32_t classOf(Body* b, int32_t c, uint64_t* set) {
  for (int32_t w = 0; w < b->itemWords; ++w) set[w] = 0;
  const bool doubleByte = doubleByteText();
  for (int32_t i = 0; i < b->itemCount; ++i) {
    const int32_t slot = b->nodes[b->itemNode[i]].slot;
    const int32_t byte = c >= 0 ? c & ~LINE_BREAK_FLAG : c;
    if (slot < 0) {
      if (newlineItemTakes(slot, byte)) set[i >> 6] |= uint64_t{1} << (i & 63);
      continue;
    }
    const Instruction& in = current.program[slot];
    if (c != byte) {
      // A line break to the ANY and SET items that stay on their line: they
      // take none, or in double-byte text the lead byte of a pair alone.
      const bool stays = staysOnLine(in);
      int32_t taken = 0;
      if (!doubleByte) {
        taken = !stays && itemTakes(in, byte) ? 1 : 0;
      } else if (!stays) {
        taken = bytesItemTakes(in, byte);
      } else if (byte >= PAIR_FLAG) {
        taken = bytesItemTakes(in, (byte >> 8) & 0xFF);
      }
      if (taken > 0) set[(taken - 1) * b->takeWords + (i >> 6)] |= uint64_t{1} << (i & 63);
      continue;
    }
    const int32_t taken = doubleByte ? bytesItemTakes(in, c) : itemTakes(in, c) ? 1 : 0;
    if (taken > 0) set[(taken - 1) * b->takeWords + (i >> 6)] |= uint64_t{1} << (i & 63);
  }
  const size_t bytes = sizeof(uint64_t) * static_cast<size_t>(b->itemWords);
  for (int32_t k = 0; k < b->classCount; ++k) {
    if (std::memcmp(b->classSets + int64_t{k} * b->itemWords, set, bytes) == 0) return k;
  }
  if (b->classCount == b->classLimit) return -1;
  std::memcpy(b->classSets + int64_t{b->classCount} * b->itemWords, set, bytes);
  return b->classCount++;
}

inline int32_t classOfByte(Body* b, int32_t c) {
  if (b->byteClass[c] < 0) {
    const int32_t k = classOf(b, c, scratchSet);
    if (k < 0) return -1;
    b->byteClass[c] = static_cast<int16_t>(k);
  }
  return b->byteClass[c];
}

// Double-byte text: the class of a pair, kept by its bytes; else as
// classOf, with the set in `items`.
inline int32_t classOfPair(Body* b, int32_t c, uint64_t* items) {
  int16_t& kept = b->pairClass[c & 0xFFFF];
  if (kept >= 0) return kept;
  const int32_t k = classOf(b, c, items);
  if (k >= 0) kept = static_cast<int16_t>(k);
  return k;
}

// R(q) from R(q + L) (`after`, null for none), the class's item set and the
// line tests at q, into `out`; the body's answer at q.
bool computeSet(const Body* b, const uint64_t* after, const uint64_t* items, int32_t tests,
                uint64_t* out) {
  std::memset(reached, 0, static_cast<size_t>(b->nodeCount));
  int32_t count = 0;
  reached[b->accept] = 1;
  queue[count++] = b->accept;
  // In double-byte text an item that takes two bytes goes on to R(q + 2),
  // the second half of the set at q + 1.
  const int32_t widths = b->itemWords / b->takeWords;
  if (after != nullptr) {
    for (int32_t i = 0; i < b->itemCount; ++i) {
      const int32_t n = b->itemNode[i];
      const int32_t t = b->nodes[b->nodes[n].next].target;
      for (int32_t k = 0; k < widths; ++k) {
        const uint64_t* taking = items + k * b->takeWords;
        const uint64_t* following = after + k * b->targetWords;
        if (((taking[i >> 6] >> (i & 63)) & 1) != 0 && ((following[t >> 6] >> (t & 63)) & 1) != 0) {
          reached[n] = 1;
          queue[count++] = n;
          break;
        }
      }
    }
  }
  for (int32_t k = 0; k < count; ++k) {
    const int32_t n = queue[k];
    for (int32_t w = b->wayFirst[n]; w < b->wayFirst[n + 1]; ++w) {
      const Way& way = b->ways[w];
      if (reached[way.from] || (way.test & ~tests) != 0) continue;
      reached[way.from] = 1;
      queue[count++] = way.from;
    }
  }
  for (int32_t w = 0; w < b->words; ++w) out[w] = 0;
  for (int32_t n = 0; n < b->nodeCount; ++n) {
    const int32_t t = b->nodes[n].target;
    if (t >= 0 && reached[n]) out[t >> 6] |= uint64_t{1} << (t & 63);
  }
  if (widths == 2 && after != nullptr) {
    const size_t bytes = sizeof(uint64_t) * static_cast<size_t>(b->targetWords);
    std::memcpy(out + b->targetWords, after, bytes);
  }
  return reached[b->start] != 0;
}

uint32_t hashSet(const Body* b, const uint64_t* set) {
  uint64_t h = 1469598103934665603ull;
  for (int32_t w = 0; w < b->words; ++w) h = (h ^ set[w]) * 1099511628211ull;
  return static_cast<uint32_t>(h ^ (h >> 29));
}

// The state of the set, made when new; the table is emptied when full, and
// the ring's states (ids of positions still needed) are made again.
int32_t stateOf(Body* b, const uint64_t* set, bool answer, int32_t* ring) {
  const size_t bytes = sizeof(uint64_t) * static_cast<size_t>(b->words);
  const uint32_t h = hashSet(b, set);
  for (uint32_t slot = h;; ++slot) {
    const int32_t s = b->hashSlots[slot & (2 * STATE_LIMIT - 1)];
    if (s < 0) break;
    if (std::memcmp(b->stateSets + int64_t{s} * b->words, set, bytes) == 0) return s;
  }
  if (b->stateCount == STATE_LIMIT) {
    // The ring's sets, and the new one, outlive the flush.
    for (int32_t k = 0; k < RING && ring != nullptr; ++k) {
      if (ring[k] >= 0) {
        std::memcpy(spanSets + int64_t{k} * b->words, b->stateSets + int64_t{ring[k]} * b->words, bytes);
      }
    }
    uint64_t* kept = spanSets + int64_t{RING} * b->words;
    std::memcpy(kept, set, bytes);
    uint8_t answers[RING];
    for (int32_t k = 0; k < RING && ring != nullptr; ++k) answers[k] = ring[k] >= 0 ? b->stateAnswer[ring[k]] : 0;
    flushStates(b);
    for (int32_t k = 0; k < RING && ring != nullptr; ++k) {
      if (ring[k] >= 0) ring[k] = stateOf(b, spanSets + int64_t{k} * b->words, answers[k] != 0, nullptr);
    }
    return stateOf(b, kept, answer, nullptr);
  }
  const int32_t s = b->stateCount++;
  std::memcpy(b->stateSets + int64_t{s} * b->words, set, bytes);
  b->stateAnswer[s] = answer ? 1 : 0;
  for (int32_t k = 0; k < KEYS_PER_STATE; ++k) b->transitions[int64_t{s} * KEYS_PER_STATE + k] = -1;
  for (uint32_t slot = h;; ++slot) {
    int32_t& entry = b->hashSlots[slot & (2 * STATE_LIMIT - 1)];
    if (entry < 0) {
      entry = s;
      break;
    }
  }
  return s;
}

// The state at q from the state at q + L (`after`, -1 for none: no
// character at q), the character's class and the line tests.
int32_t step(Body* b, int32_t after, int32_t cls, const uint64_t* items, int32_t tests,
             int32_t* ring) {
  const int64_t key =
      cls >= 0 && after >= 0 ? int64_t{after} * KEYS_PER_STATE + cls * b->testKeys + tests : -1;
  if (key >= 0 && b->transitions[key] >= 0) return b->transitions[key];
  uint64_t* out = scratchSet + ITEM_WORDS_LIMIT;
  const bool answer =
      computeSet(b, after >= 0 ? b->stateSets + int64_t{after} * b->words : nullptr,
                 cls >= 0 ? b->classSets + int64_t{cls} * b->itemWords : items, tests, out);
  const uint32_t flushes = b->flushes;
  const int32_t s = stateOf(b, out, answer, ring);
  if (key >= 0 && flushes == b->flushes) b->transitions[key] = s;
  return s;
}

// ---------------------------------------------------------------------------
// Passes over the text

bool readText(int64_t offset, uint8_t* buffer, int64_t length) {
  int64_t done = 0;
  while (done < length) {
    const int64_t count = textSource.ReadAt(offset + done, buffer + done, length - done);
    if (count <= 0) return false;
    done += count;
  }
  return true;
}

int64_t blockCount(const Body* b) { return (b->end - b->from) / blockBytes + 1; }

int64_t blockStart(const Body* b, int64_t k) { return b->from + k * blockBytes; }

// Whether q is a record boundary: the end of the text is one.
bool onBoundary(const Body* b, int64_t q) {
  if (q == b->end) return true;
  if (q < b->firstBoundary) return false;
  if (b->boundaryPeriod == INT64_MAX) return q == b->firstBoundary;
  return (q - b->firstBoundary) % b->boundaryPeriod == 0;
}

// The last record boundary before q, -1 for none.
int64_t boundaryBefore(const Body* b, int64_t q) {
  if (q <= b->firstBoundary) return -1;
  if (b->boundaryPeriod == INT64_MAX) return b->firstBoundary;
  return b->firstBoundary + (q - 1 - b->firstBoundary) / b->boundaryPeriod * b->boundaryPeriod;
}

// The line tests at q, from what the stretch's search for its end found.
// By records both hold at every boundary, as the source's tests say.
int32_t testsAt(const Body* b, int64_t q) {
  if (b->records) return onBoundary(b, q) ? LINE_TEST_START | LINE_TEST_END : 0;
  int32_t tests = 0;
  if (q == b->from && b->fromStartsLine) tests |= LINE_TEST_START;
  if (q == b->end) {
    if (b->endIsLineEnd) tests |= LINE_TEST_END;
    if (q != b->from && b->endStartsLine) tests |= LINE_TEST_START;
  }
  return tests;
}

// A carriage return at q that ends no line, in a file read by lines: the
// matcher reads it as a character where it reads its window straight, more
// than two bytes before the window's end (in UTF-8 text at least six, a
// whole sequence); nearer, its items ask the text source, which says the
// line ends there, and LINE_END holds within two bytes of the window's end.
// The window holds one block of the file at a time (TEXT_BLOCK_BYTES, the
// blocks end to end from the file's start, as its forward and backward
// loads keep them), and as the matcher reads it, it ends at the block's
// end or one past the line feed that ends the line (at windowLimit), the
// nearer. Whether
// the matcher takes the carriage return as a character; LINE_TEST_END
// joins *tests where LINE_END holds.
bool loneReturnIsCharacterBefore(int64_t windowLimit, int64_t q, int32_t* tests) {
  int64_t windowEnd = (q / TEXT_BLOCK_BYTES + 1) * TEXT_BLOCK_BYTES;
  if (windowEnd > windowLimit) windowEnd = windowLimit;
  const int64_t left = windowEnd - q;
  if (left <= 2) *tests |= LINE_TEST_END;
  return left > (utf8Text() ? 5 : 2);
}

// loneReturnIsCharacterBefore within the line the stretch lies in.
bool loneReturnIsCharacter(const Body* b, int64_t q, int32_t* tests) {
  return loneReturnIsCharacterBefore(b->windowLimit, q, tests);
}

// Across lines: the line tests at q (the byte *p; p[-1] to p[6] readable)
// into *tests, and whether the matcher asks the source for the line's end
// there, where an ANY or SET that stays on its line takes no character: a
// line feed, the carriage return of a CR LF, a carriage return that ends no
// line near the window's end (in UTF-8 text within six bytes of it, the
// window ending one past the next line feed or at the block's end).
bool lineBreakAt(const Body* b, const uint8_t* p, int64_t q, int32_t* tests) {
  if (p[-1] == '\n') *tests |= LINE_TEST_START;
  if (*p == '\n') {
    if (p[-1] != '\r') *tests |= LINE_TEST_END;
    return true;
  }
  if (*p != '\r') return false;
  if (p[1] == '\n') {
    *tests |= LINE_TEST_END;
    return true;
  }
  int64_t windowLimit = b->end;
  for (int32_t k = 1; k <= SPAN_UTF8; ++k) {
    if (p[k] == '\n') {
      windowLimit = q + k + 1;
      break;
    }
  }
  return !loneReturnIsCharacterBefore(windowLimit, q, tests);
}

// Double-byte text: whether the matcher reads the byte at r as the trail of
// a lead byte before it. Not at the stretch's end (by lines a line end,
// which the items ask about; by records and across lines the end of the
// text). Across lines every other byte, which the items that cross lines
// take as a trail; by lines a carriage return that ends no line where the
// matcher reads it as a character.
bool trailIsRead(const Body* b, int64_t r, uint8_t byte) {
  if (r >= b->end) return false;
  if (b->records || b->across || byte != '\r') return true;
  int32_t tests = 0;
  return loneReturnIsCharacter(b, r, &tests);
}

// Keeps the run [from, to) of matching positions of block k (from its
// start) while the block has room.
inline void keepRun(Body* b, int64_t k, int64_t from, int64_t to) {
  int32_t& count = b->runCount[k];
  if (count < 0) return;
  if (count == RUN_LIMIT) {
    count = -1;
    return;
  }
  uint32_t* run = b->runs + (k * RUN_LIMIT + count++) * 2;
  run[0] = static_cast<uint32_t>(from);
  run[1] = static_cast<uint32_t>(to);
}

// The states of the positions a step may still need, by body: the body's
// own ring first, then the rings of the bodies of its chain.
struct Rings {
  int32_t of[1 + CHAIN_LIMIT][RING];
};

// The tests of d's inner look-aheads at q: whether each inner body fails
// there, from its state at q, made before d's.
inline int32_t innerTestsAt(const Body* d, const Rings* rings, int64_t q) {
  int32_t tests = 0;
  for (int32_t k = 0; k < d->innerCount; ++k) {
    const Body* inner = d->inner[k];
    if (inner->stateAnswer[rings->of[inner->ringIndex][q & (RING - 1)]] == 0) tests |= innerFails(k);
  }
  return tests;
}

void clearRings(Rings* rings) {
  for (auto& ring : rings->of) {
    for (int32_t& id : ring) id = -1;
  }
}

// The state of body d at a position where c (`wide`: a UTF-8 character of
// several bytes or none, or a double-byte pair) is the character, or none
// where `character` is false; its states after the position in the ring,
// `after` the one where the character ends.
inline int32_t stateAt(Body* d, int32_t c, bool wide, bool character, int32_t tests, int32_t* ring,
                       int32_t after) {
  uint64_t items[ITEM_WORDS_LIMIT];
  if (!character) {
    // No item takes a character here, as at the end of the stretch.
    uint64_t none[ITEM_WORDS_LIMIT] = {};
    return step(d, -1, -1, none, tests, ring);
  }
  int32_t cls;
  if (c >= 0 && (c & LINE_BREAK_FLAG) != 0) {
    cls = classOf(d, c, items);
  } else if (c >= PAIR_FLAG) {
    cls = classOfPair(d, c, items);
  } else if (wide) {
    cls = classOf(d, c, items);
  } else {
    cls = classOfByte(d, c);
    if (cls < 0) classOf(d, c, items);
  }
  // The transition kept for the state, class and tests, else a step.
  const int64_t key = int64_t{after} * KEYS_PER_STATE + cls * d->testKeys + tests;
  const int32_t kept = cls >= 0 && after >= 0 ? d->transitions[key] : -1;
  return kept >= 0 ? kept : step(d, after, cls, items, tests, ring);
}

// Sets q's bit where the body matches at q (state s), and keeps the runs of
// such positions of block `runBlock` when it is 0 or more.
inline void noteAnswer(Body* b, int32_t s, int64_t q, int64_t lo, uint64_t* bits, int64_t runBlock,
                       int64_t* runEnd) {
  const bool answer = b->stateAnswer[s] != 0;
  if (bits != nullptr && answer) bits[(q - lo) >> 6] |= uint64_t{1} << ((q - lo) & 63);
  if (runBlock >= 0 && answer != (*runEnd >= 0)) {
    if (*runEnd >= 0) {
      keepRun(b, runBlock, q + 1 - lo, *runEnd - lo);
      *runEnd = -1;
    } else {
      *runEnd = q + 1;
    }
  }
}

// One automaton's table, read in the sweep's common step.
struct PlainDfa {
  const int16_t* byteClass;
  const int16_t* pairClass;  // in double-byte text, by lead and trail
  const int32_t* transitions;
  const uint8_t* answers;
  int32_t testKeys;
  int32_t* ring;
  int32_t innerCount;
  int32_t inner[INNER_LIMIT];  // the inner bodies' automata, by ring
};

// The body, or for k 1 and on the body of its chain k - 1.
Body* bodyOfRing(Body* b, int32_t k) { return k == 0 ? b : b->chain[k - 1]; }

// The common steps of a sweep, from q down to lo: a byte that is a
// character of its own (`special` marks the others: a carriage return by
// lines, a UTF-8 lead or continuation byte, a double-byte lead byte; read
// ACROSS lines, a line feed) at a position with no line test (ACROSS, none
// after a line feed), whose transitions every automaton has kept. Each is a
// lookup per automaton (CHAIN of them nested in the body, -1: as many as
// its chain holds), the nested ones first; the step must be made in full at
// the position returned (lo - 1: none is left), where *next is the state
// after. buffer[-1] is the byte before lo.
template <int32_t CHAIN, bool ACROSS>
int64_t sweepPlain(Body* b, const uint8_t* buffer, int64_t q, int64_t lo, int64_t boundary,
                   const uint8_t* special, Rings* rings, int32_t* next, uint64_t* bits,
                   int64_t runBlock, int64_t* runEnd) {
  const int32_t chain = CHAIN >= 0 ? CHAIN : b->chainCount;
  PlainDfa dfas[1 + CHAIN_LIMIT];
  for (int32_t k = 0; k <= chain; ++k) {
    const Body* d = bodyOfRing(b, k);
    dfas[k] = PlainDfa{d->byteClass, d->pairClass, d->transitions, d->stateAnswer, d->testKeys,
                       rings->of[k], d->innerCount, {}};
    for (int32_t m = 0; m < d->innerCount; ++m) dfas[k].inner[m] = d->inner[m]->ringIndex;
  }
  // The states made at the position, by ring.
  int32_t states[1 + CHAIN_LIMIT];
  // In double-byte text a lead byte and the trail after it, where the
  // matcher reads the trail, are a character of their own class, and a
  // state holds the sets of two positions, so that the step still goes
  // from the state one byte on: a pair whose trail is a carriage return by
  // lines, or lies past the stretch, is made in full.
  const bool pairs = doubleByteText();
  const bool records = b->records;
  const int64_t end = b->end;
  const int16_t* const byteClass = b->byteClass;
  const int32_t* const transitions = b->transitions;
  const uint8_t* const answers = b->stateAnswer;
  const int32_t testKeys = b->testKeys;
  int32_t* const ring = rings->of[0];
  // The stretch's first position has its line tests.
  const int64_t stop = lo > b->from ? lo : lo + 1;
  int32_t after = *next;
  int64_t inRun = *runEnd;
  for (; q >= stop && after >= 0; --q) {
    const int32_t c = buffer[q - lo];
    if (q == boundary || (ACROSS && buffer[q - lo - 1] == '\n')) break;
    int32_t pair = -1;  // the pair's bytes, lead and trail
    if (special[c] != 0) {
      const int32_t trail = buffer[q - lo + 1];
      if (!pairs || leadByteTable[c] == 0 || q + 1 >= end || (!records && trail == '\r')) break;
      pair = c << 8 | trail;
    }
    const auto innerTests = [&](const PlainDfa& d) {
      int32_t tests = 0;
      if constexpr (CHAIN == 0) return tests;
      for (int32_t m = 0; m < d.innerCount; ++m) {
        if (dfas[d.inner[m]].answers[states[d.inner[m]]] == 0) tests |= innerFails(m);
      }
      return tests;
    };
    bool kept = true;
    for (int32_t k = 1; k <= chain; ++k) {
      const PlainDfa& d = dfas[k];
      const int32_t innerAfter = d.ring[(q + 1) & (RING - 1)];
      const int32_t cls = pair >= 0 ? d.pairClass[pair] : d.byteClass[c];
      const int32_t s =
          cls >= 0 && innerAfter >= 0
              ? d.transitions[int64_t{innerAfter} * KEYS_PER_STATE + cls * d.testKeys + innerTests(d)]
              : -1;
      if (s < 0) {
        kept = false;
        break;
      }
      d.ring[q & (RING - 1)] = s;
      states[k] = s;
    }
    const int32_t tests = kept ? innerTests(dfas[0]) : 0;
    const int32_t cls = pair >= 0 ? dfas[0].pairClass[pair] : byteClass[c];
    if (!kept || cls < 0) break;
    const int32_t s = transitions[int64_t{after} * KEYS_PER_STATE + cls * testKeys + tests];
    if (s < 0) break;
    ring[q & (RING - 1)] = s;
    after = s;
    if (answers[s] == 0) {
      if (runBlock >= 0 && inRun >= 0) {
        keepRun(b, runBlock, q + 1 - lo, inRun - lo);
        inRun = -1;
      }
    } else {
      if (bits != nullptr) bits[(q - lo) >> 6] |= uint64_t{1} << ((q - lo) & 63);
      if (runBlock >= 0 && inRun < 0) inRun = q + 1;
    }
  }
  *next = after;
  *runEnd = inRun;
  return q;
}

int64_t sweepPlainSteps(Body* b, const uint8_t* buffer, int64_t q, int64_t lo, int64_t boundary,
                        const uint8_t* special, Rings* rings, int32_t* next, uint64_t* bits,
                        int64_t runBlock, int64_t* runEnd) {
  const auto run = b->across ? (b->chainCount == 0   ? sweepPlain<0, true>
                                : b->chainCount == 1 ? sweepPlain<1, true>
                                : b->chainCount == 2 ? sweepPlain<2, true>
                                                     : sweepPlain<-1, true>)
                             : (b->chainCount == 0   ? sweepPlain<0, false>
                                : b->chainCount == 1 ? sweepPlain<1, false>
                                : b->chainCount == 2 ? sweepPlain<2, false>
                                                     : sweepPlain<-1, false>);
  return run(b, buffer, q, lo, boundary, special, rings, next, bits, runBlock, runEnd);
}

// Runs the DFAs back from position hi - 1 to lo, the rings holding the
// states of the positions from hi on (a block at most): at each position
// the inner bodies first, whose answers are tests of the body's step; with
// `bits`, sets the bits of the positions of [lo, hi) where the body
// matches; with `runBlock` 0 or more, keeps that block's runs of them.
// False when the text cannot be read back or memory runs out.
bool sweep(Body* b, int64_t lo, int64_t hi, Rings* rings, uint64_t* bits, int64_t* steps,
           int64_t runBlock = -1) {
  if (runBlock >= 0) b->runCount[runBlock] = 0;
  if (hi <= lo) return true;
  const int64_t bytes = hi - lo;
  if (blockBufferBytes < bytes + 9) {
    if (!memGrowArray(&blockBuffer, bytes + 9)) return false;
    blockBufferBytes = bytes + 9;
  }
  // The bytes after the stretch's end take part in no character: zeros,
  // which continue no UTF-8 sequence either. Before them the byte before
  // lo, which tells across lines whether a line starts at lo (the text's
  // start does).
  uint8_t* const buffer = blockBuffer + 1;
  const int64_t wanted = hi + 8 <= b->end ? bytes + 8 : b->end - lo;
  std::memset(blockBuffer, 0, static_cast<size_t>(bytes + 9));
  if (!readText(lo, buffer, wanted)) return false;
  const bool across = b->across;
  if (across) {
    blockBuffer[0] = '\n';
    if (lo > 0 && !readText(lo - 1, blockBuffer, 1)) return false;
  }
  *steps += bytes * (1 + b->chainCount);
  const bool utf8 = utf8Text();
  const bool doubleByte = doubleByteText();
  const bool records = b->records;
  const int32_t chainCount = b->chainCount;
  int64_t boundary = records ? boundaryBefore(b, hi) : -1;
  int32_t* ring = rings->of[0];
  int32_t next = ring[hi & (RING - 1)];
  int64_t runEnd = -1;  // one past the run of matching positions going on
  uint8_t special[256];
  for (int32_t c = 0; c < 256; ++c) {
    special[c] = (!records && c == '\r') || (across && c == '\n') || (utf8 && c >= 0x80) ||
                 (doubleByte && leadByteTable[c] != 0);
  }
  for (int64_t q = hi - 1; q >= lo; --q) {
    q = sweepPlainSteps(b, buffer, q, lo, boundary, special, rings, &next, bits, runBlock,
                        &runEnd);
    if (q < lo) break;
    const uint8_t* p = buffer + (q - lo);
    int32_t length = 1;
    int32_t c = *p;
    int32_t tests = q == b->from ? testsAt(b, q) : 0;
    bool character = true;
    bool stayingItemsFail = false;
    if (across) {
      // The line tests at q, and whether an ANY or SET that stays on its
      // line takes the byte; the next line begins after a line feed.
      stayingItemsFail = lineBreakAt(b, p, q, &tests) && b->itemsStay;
    } else if (records) {
      if (q == boundary) {
        tests = LINE_TEST_START | LINE_TEST_END;
        boundary = boundaryBefore(b, q);
      }
    } else if (c == '\r') {
      // Before the line's end every carriage return ends no line.
      character = loneReturnIsCharacter(b, q, &tests);
    }
    if (utf8 && c >= 0x80) {
      c = matcher_internal::decodeDirect(p, &length);
      // A NEWLINE after a carriage return that ends no line takes the
      // first byte of the character after it: left to the memo.
      if (across && length > 1 && p[-1] == '\r' && b->hasNewline) return false;
    }
    bool wide = utf8 && (c >= 0x80 || c < 0);
    if (doubleByte && character && leadByteTable[c] != 0 && trailIsRead(b, q + 1, p[1])) {
      // Where the trail is a line break to them, the items that stay on
      // their line take the lead byte alone.
      int32_t trailTests = 0;
      if (across && b->itemsStay && lineBreakAt(b, p + 1, q + 1, &trailTests)) stayingItemsFail = true;
      c = PAIR_FLAG | c << 8 | p[1];
      wide = true;
    }
    if (stayingItemsFail) c |= LINE_BREAK_FLAG;
    for (int32_t k = 0; k < chainCount; ++k) {
      Body* d = b->chain[k];
      int32_t* innerRing = rings->of[1 + k];
      innerRing[q & (RING - 1)] =
          stateAt(d, c, wide, character, tests | innerTestsAt(d, rings, q), innerRing,
                  innerRing[(q + length) & (RING - 1)]);
    }
    const int32_t ownTests = tests | innerTestsAt(b, rings, q);
    // The state one byte on is the last one made: kept at hand, not read
    // back from the ring.
    const int32_t after = length == 1 ? next : ring[(q + length) & (RING - 1)];
    const int32_t s = stateAt(b, c, wide, character, ownTests, ring, after);
    ring[q & (RING - 1)] = s;
    next = s;
    noteAnswer(b, s, q, lo, bits, runBlock, &runEnd);
  }
  if (runEnd >= 0) keepRun(b, runBlock, 0, runEnd - lo);
  return true;
}

// The words a checkpoint keeps for one position: a set of the body's and
// one of each body's of its chain.
int64_t checkpointWords(const Body* b) {
  int64_t words = b->words;
  for (int32_t k = 0; k < b->chainCount; ++k) words += b->chain[k]->words;
  return words;
}

// Keeps the states of the span from the start of block k on, which the
// rings hold, as the block's checkpoint: each body's sets in turn.
void keepCheckpoint(Body* b, int64_t k, const Rings* rings) {
  const int64_t q = blockStart(b, k);
  uint64_t* saved = b->checkpoints + (k - 1) * span() * checkpointWords(b);
  for (int32_t r = 0; r <= b->chainCount; ++r) {
    const Body* d = bodyOfRing(b, r);
    const size_t setBytes = sizeof(uint64_t) * static_cast<size_t>(d->words);
    for (int32_t j = 0; j < span(); ++j) {
      if (q + j <= b->end) {
        const int32_t id = rings->of[r][(q + j) & (RING - 1)];
        std::memcpy(saved, d->stateSets + int64_t{id} * d->words, setBytes);
      }
      saved += d->words;
    }
  }
}

// The states at the stretch's end, where no item takes a character.
void startAtEnd(Body* b, Rings* rings) {
  const int32_t tests = testsAt(b, b->end);
  const int64_t at = b->end & (RING - 1);
  // By records a newline escape wants another record: none follows.
  const auto testsOf = [&](const Body* d) {
    const bool escaped = b->records && d->ownEscapedLineEnd;
    return (escaped ? tests & ~LINE_TEST_END : tests) | innerTestsAt(d, rings, b->end);
  };
  for (int32_t k = 0; k < b->chainCount; ++k) {
    Body* d = b->chain[k];
    rings->of[1 + k][at] = stateAt(d, 0, false, false, testsOf(d), rings->of[1 + k], -1);
  }
  rings->of[0][at] = stateAt(b, 0, false, false, testsOf(b), rings->of[0], -1);
}

int64_t bitWords() { return blockBytes / 64 + 1; }

// The bits of block k, from the checkpoint after it or from the end.
bool answerBlock(Body* b, int64_t k, int64_t* steps) {
  Rings rings;
  clearRings(&rings);
  const int64_t lo = blockStart(b, k);
  int64_t hi = blockStart(b, k + 1);
  std::memset(b->bits, 0, static_cast<size_t>(bitWords()) * sizeof(uint64_t));
  if (k + 1 >= blockCount(b)) {
    hi = b->end;
    startAtEnd(b, &rings);
    if (b->stateAnswer[rings.of[0][hi & (RING - 1)]]) {
      b->bits[(hi - lo) >> 6] |= uint64_t{1} << ((hi - lo) & 63);
    }
  } else {
    // Boundary k + 1's checkpoint, the (k + 1)-th kept.
    const uint64_t* saved = b->checkpoints + k * span() * checkpointWords(b);
    for (int32_t r = 0; r <= b->chainCount; ++r) {
      Body* d = bodyOfRing(b, r);
      // Whether the body's first node is in a set: its answer.
      const int32_t t = d->nodes[d->start].target;
      for (int32_t j = 0; j < span(); ++j) {
        if (hi + j <= b->end) {
          rings.of[r][(hi + j) & (RING - 1)] =
              stateOf(d, saved, ((saved[t >> 6] >> (t & 63)) & 1) != 0, rings.of[r]);
        }
        saved += d->words;
      }
    }
  }
  if (b->runCount[k] >= 0) {
    // The runs the pass from the end kept.
    for (int32_t r = 0; r < b->runCount[k]; ++r) {
      const uint32_t* run = b->runs + (k * RUN_LIMIT + r) * 2;
      for (int64_t i = run[0]; i < run[1]; ++i) b->bits[i >> 6] |= uint64_t{1} << (i & 63);
    }
    *steps += b->runCount[k];
  } else if (!sweep(b, lo, hi, &rings, b->bits, steps)) {
    return false;
  }
  b->block = k;
  return true;
}

// Reads the text forward from q, from the matcher's window first (which
// holds the text from the pointer on, up to the line's end or a block's),
// then in blocks read back, and hands each piece to `scan` (its offset in
// the text, its bytes, their count), which says whether it found where the
// stretch ends. The end of the text ends it too, and an unterminated last
// line. False when the text cannot be read (b->end is then q).
template <typename Scan>
bool readForward(Body* b, const uint8_t* pointer, int64_t q, Scan scan) {
  const uint8_t* windowEnd = matcher.windowEnd;
  int64_t at = q;
  const uint8_t* source = pointer;
  int64_t count = pointer < windowEnd ? windowEnd - pointer : 0;
  for (bool inWindow = count > 0;; inWindow = false) {
    if (!inWindow) {
      count = textSource.ReadAt(at, blockBuffer, blockBytes);
      source = blockBuffer;
    }
    if (count < 0) {
      b->end = q;
      return false;
    }
    if (count == 0) {
      b->end = at;
      b->windowLimit = at;
      uint8_t last = 0;
      const bool afterLineFeed = at > 0 && textSource.ReadAt(at - 1, &last, 1) == 1 && last == '\n';
      b->endIsLineEnd = at > 0 && !afterLineFeed;
      b->endStartsLine = at == 0 || afterLineFeed;
      return true;
    }
    if (scan(at, source, count)) return true;
    at += count;
  }
}

// By lines: finds the end of the line from q. A line feed ends it, at the
// carriage return before it when there is one.
bool findLineEnd(Body* b, const uint8_t* pointer, int64_t q, int64_t* steps) {
  return readForward(b, pointer, q, [&](int64_t at, const uint8_t* source, int64_t count) {
    const uint8_t* lineFeed =
        static_cast<const uint8_t*>(std::memchr(source, '\n', static_cast<size_t>(count)));
    const int64_t limit = lineFeed != nullptr ? lineFeed - source : count;
    *steps += limit;
    if (lineFeed == nullptr) return false;
    const int64_t feed = at + limit;
    b->windowLimit = feed + 1;
    b->end = feed;
    b->endIsLineEnd = true;
    b->endStartsLine = false;
    // The carriage return of a CR LF is the line's end.
    uint8_t before = 0;
    if (feed > q && (limit > 0 ? source[limit - 1] == '\r'
                               : textSource.ReadAt(feed - 1, &before, 1) == 1 && before == '\r')) {
      b->end = feed - 1;
    }
    return true;
  });
}

// Across lines: finds the end of the text from q, which ends the stretch.
bool findTextEnd(Body* b, const uint8_t* pointer, int64_t q, int64_t* steps) {
  return readForward(b, pointer, q, [&](int64_t, const uint8_t*, int64_t count) {
    *steps += count;
    return false;
  });
}

// By records: the text's end, and the record boundaries from q on, which
// the source's own test finds (it counts from the pointer, at q). False
// when the stretch is out of the test's reach.
bool findRecords(Body* b, const uint8_t* pointer, int64_t q) {
  textSource.SetPosition(pointer);
  // The end of the text: the first n from which HasMore says no more.
  if (textSource.HasMore(INT32_MAX - 1, 1) != 0) return false;
  int64_t low = 0;  // HasMore holds below `high`, not at it
  int64_t high = INT32_MAX - 1;
  if (textSource.HasMore(0, 1) == 0) high = 0;
  while (high - low > 1) {
    const int64_t middle = low + (high - low) / 2;
    if (textSource.HasMore(static_cast<int32_t>(middle), 1) != 0) {
      low = middle;
    } else {
      high = middle;
    }
  }
  b->end = q + high;
  b->firstBoundary = INT64_MAX;
  b->boundaryPeriod = INT64_MAX;
  for (int64_t n = 0; q + n < b->end; ++n) {
    if (textSource.AtLineStart(static_cast<int32_t>(n)) != 1) continue;
    if (b->firstBoundary == INT64_MAX) {
      b->firstBoundary = q + n;
    } else {
      b->boundaryPeriod = q + n - b->firstBoundary;
      break;
    }
  }
  return true;
}

// Finds the end of the stretch from q (the line's, or by records the
// text's) and sets the stretch up: declined where the route does not take
// it. False when memory runs out.
bool startStretch(Body* b, uint32_t text, const uint8_t* pointer, int64_t q, int64_t* steps) {
  b->text = text;
  b->from = q;
  b->block = -1;
  b->declined = true;
  b->records = textSource.askLineBounds != 0;
  b->across = !b->records && b->readsLineBreaks;
  if (blockBufferBytes < blockBytes + 9) {
    if (!memGrowArray(&blockBuffer, blockBytes + 9)) return false;
    blockBufferBytes = blockBytes + 9;
  }
  const bool found = b->records  ? findRecords(b, pointer, q)
                     : b->across ? findTextEnd(b, pointer, q, steps)
                                 : findLineEnd(b, pointer, q, steps);
  if (!found) {
    b->end = q;
    return true;
  }
  if (b->end - q < shortestStretch) return true;
  uint8_t before = 0;
  const bool readBefore = q > 0 && textSource.ReadAt(q - 1, &before, 1) == 1;
  b->fromStartsLine = q == 0 || (readBefore && before == '\n');
  // The line feed of a CR LF is no line end of its own.
  if (b->end == q && readBefore && before == '\r') b->endIsLineEnd = false;
  // The backward pass from the end, keeping the checkpoints.
  const int64_t blocks = blockCount(b);
  const int64_t words = (blocks - 1) * span() * checkpointWords(b);
  if (words > 0 && !memGrowArray(&b->checkpoints, words)) return false;
  if (!memGrowArray(&b->runCount, blocks) || !memGrowArray(&b->runs, blocks * RUN_LIMIT * 2)) {
    return false;
  }
  b->runCount[0] = -1;
  b->checkpointCount = blocks - 1;
  if (!memGrowArray(&b->bits, bitWords())) return false;
  Rings rings;
  clearRings(&rings);
  startAtEnd(b, &rings);
  for (int64_t k = blocks - 1; k >= 1; --k) {
    const int64_t hi = k + 1 >= blocks ? b->end : blockStart(b, k + 1);
    if (!sweep(b, blockStart(b, k), hi, &rings, nullptr, steps, k)) return true;
    keepCheckpoint(b, k, &rings);
  }
  // The first block's answers come with the pass.
  std::memset(b->bits, 0, static_cast<size_t>(bitWords()) * sizeof(uint64_t));
  const int64_t firstEnd = blocks > 1 ? blockStart(b, 1) : b->end;
  if (blocks == 1 && b->stateAnswer[rings.of[0][b->end & (RING - 1)]]) {
    b->bits[(b->end - q) >> 6] |= uint64_t{1} << ((b->end - q) & 63);
  }
  if (!sweep(b, q, firstEnd, &rings, b->bits, steps)) return true;
  b->block = 0;
  b->declined = false;
  ++stretchesAnswered;
  if (b->across) ++stretchesAcrossLines;
  return true;
}

// ---------------------------------------------------------------------------
// The program

void dropBodies() {
  for (Body& b : current.bodies) {
    b.usable = false;
    b.text = 0;
  }
  current.bodyCount = 0;
  current.nestedCount = 0;
}

// Lists the bodies nested in d, each after those nested in it, in b's
// chain; false over the limit.
bool chainNested(Body* b, Body* d) {
  for (int32_t k = 0; k < d->innerCount; ++k) {
    Body* inner = d->inner[k];
    if (!chainNested(b, inner) || b->chainCount == CHAIN_LIMIT) return false;
    inner->ringIndex = 1 + b->chainCount;
    b->chain[b->chainCount++] = inner;
  }
  return true;
}

// Unfolds the program's body at the slot and lists its nested bodies.
bool unfoldProgramBody(const Instruction* program, int32_t slot, Body* b) {
  if (!unfoldBody(program, slot, b, true)) return false;
  b->ringIndex = 0;
  b->chainCount = 0;
  return chainNested(b, b);
}

bool describes(const Instruction* program) {
  if (!current.valid || current.program != program || current.lastSlot != compiledPattern.lastSlot ||
      current.charMode != textSource.charMode || current.ignoreCase != compiledPattern.ignoreCase) {
    return false;
  }
  const uint32_t generation = compiledPattern.generation;
  if (generation != 0 && generation == current.generation) return true;
  return std::memcmp(current.copy, program,
                     static_cast<size_t>(current.lastSlot + 1) * sizeof(Instruction)) == 0;
}

bool prepareScratch() {
  return memGrowArray(&reached, NODE_LIMIT) && memGrowArray(&queue, NODE_LIMIT) &&
         memGrowArray(&scratchSet, 2 * ITEM_WORDS_LIMIT + NODE_LIMIT / 64 + 1) &&
         memGrowArray(&spanSets, int64_t{RING + 1} * (NODE_LIMIT / 64 + 1));
}

// The body of the look-ahead at the slot, unfolded when first asked; null
// when the route does not take it.
Body* bodyOf(int32_t slot, bool* outOfMemory) {
  const Instruction* program = compiledPattern.program;
  if (!describes(program)) {
    dropBodies();
    current.valid = false;
    if (!memGrowArray(&current.copy, compiledPattern.lastSlot + 1)) {
      *outOfMemory = true;
      return nullptr;
    }
    std::memcpy(current.copy, program,
                static_cast<size_t>(compiledPattern.lastSlot + 1) * sizeof(Instruction));
    current.program = program;
    current.lastSlot = compiledPattern.lastSlot;
    current.charMode = textSource.charMode;
    current.ignoreCase = compiledPattern.ignoreCase;
    current.generation = compiledPattern.generation;
    current.valid = true;
  }
  for (int32_t k = 0; k < current.bodyCount; ++k) {
    if (current.bodies[k].slot == slot) return current.bodies[k].usable ? &current.bodies[k] : nullptr;
  }
  if (current.bodyCount == BODY_LIMIT) return nullptr;
  Body* b = &current.bodies[current.bodyCount++];
  b->slot = slot;
  b->usable = false;
  b->text = 0;
  if (!prepareScratch()) {
    *outOfMemory = true;
    return nullptr;
  }
  b->usable = hasGroupLoop(program, slot + 1, slot + program[slot].next() - 1) &&
              unfoldProgramBody(program, slot, b) &&
              prepareDfa(b);
  return b->usable ? b : nullptr;
}

// A file read by lines, or by records, whose source reads its text back.
bool routeApplies() {
  const int32_t mode = textSource.charMode;
  return textSource.ReadAt != nullptr && textSource.TextPlace != nullptr &&
         (textSource.askLineBounds != 0) == (textSource.fullWindowReads != 0) &&
         (mode == ENCODING_UTF8) == (compiledPattern.encodingMode == ENCODING_UTF8) &&
         (mode == ENCODING_DOUBLE_BYTE) == (compiledPattern.encodingMode == ENCODING_DOUBLE_BYTE);
}

}  // namespace

int32_t backwardBodyMatchesAt(const Instruction* notAhead, const uint8_t* at, int64_t* steps,
                              int64_t* reach) {
  if (!routeApplies()) return BODY_BACKWARD_DECLINED;
  int64_t q = 0;
  const uint32_t text = textSource.TextPlace(at, &q);
  if (text == 0) return BODY_BACKWARD_DECLINED;
  bool outOfMemory = false;
  Body* b = bodyOf(static_cast<int32_t>(notAhead - compiledPattern.program), &outOfMemory);
  if (outOfMemory) return REGEX_OUT_OF_MEMORY;
  if (b == nullptr) return BODY_BACKWARD_DECLINED;
  // By lines a body that reads line breaks is read across them, where its
  // items all cross lines.
  if (textSource.askLineBounds != 0 && b->mixedLineEnds) {
    return BODY_BACKWARD_DECLINED;
  }
  if (b->text != text || q < b->from || q > b->end) {
    if (!startStretch(b, text, at, q, steps)) return REGEX_OUT_OF_MEMORY;
  }
  if (b->declined) return BODY_BACKWARD_DECLINED;
  const int64_t k = (q - b->from) / blockBytes;
  if (k != b->block && !answerBlock(b, k, steps)) {
    // The memo answers where the text could not be read back again.
    b->declined = true;
    b->block = -1;
    return BODY_BACKWARD_DECLINED;
  }
  const int64_t lo = blockStart(b, k);
  const int64_t last = k + 1 < blockCount(b) ? blockStart(b, k + 1) - 1 : b->end;
  const uint64_t answer = (b->bits[(q - lo) >> 6] >> ((q - lo) & 63)) & 1;
  // The first position after q whose bit differs, a word of bits at a time.
  const uint64_t flip = answer != 0 ? ~uint64_t{0} : 0;
  int64_t word = (q + 1 - lo) >> 6;
  uint64_t differ = (b->bits[word] ^ flip) & (~uint64_t{0} << ((q + 1 - lo) & 63));
  const int64_t lastWord = (last - lo) >> 6;
  while (differ == 0 && word < lastWord) differ = b->bits[++word] ^ flip;
  int64_t p = differ != 0 ? lo + (word << 6) + std::countr_zero(differ) : last + 1;
  if (p > last + 1) p = last + 1;
  *reach = p - q;
  return static_cast<int32_t>(answer);
}

void setBackwardBodyLimits(int64_t shortest, int64_t block) {
  shortestStretch = shortest > 0 ? shortest : SHORTEST_STRETCH;
  blockBytes = block > 0 ? block : BLOCK_BYTES;
  for (Body& b : current.bodies) {
    b.text = 0;
    b.block = -1;
  }
}

int64_t backwardBodyBytes() {
  int64_t bytes = 0;
  for (int32_t k = 0; k < current.bodyCount; ++k) {
    const Body& b = current.bodies[k];
    if (b.text == 0 || b.declined) continue;
    const int64_t perBlock = span() * checkpointWords(&b) * 8 + RUN_LIMIT * 8 + 4;
    bytes += b.checkpointCount * perBlock + bitWords() * 8;
  }
  return bytes;
}

int64_t backwardBodyStretches() { return stretchesAnswered; }

int64_t backwardBodyStretchesAcrossLines() { return stretchesAcrossLines; }
