// An alternation of plain literals run as a trie.
//
// A pattern that lists many words (w00001|w00002|... read from a pattern
// file) compiles to a chain of SPLITs, one row of CHARs per word. The
// backtracker tries every row at every candidate, the Pike VM holds a thread
// per row, and the lazy DFA's states grow with the rows until its cache
// thrashes: a search costs the number of words times the text. Here the rows
// are put in a trie instead, built once when the pattern is compiled, and a
// start is tried by walking the text down the trie: the cost of a start is
// the length of the longest word, whatever the number of words.
//
// The backtracker reports, at a start, the first row in the pattern's order
// that matches there. Each row is put in the trie with its rank in that
// order, and the node where a row ends keeps the lowest rank that ends there;
// the walk follows the text as far as the trie goes and keeps the lowest
// rank it passed, so it finds the same row. The walk stops early where no
// row below the node ranks lower than the one found.
//
// A step compares the text character as the CHAR instruction does: in the
// byte modes the byte against the instruction's two accepted bytes (its two
// case forms), in UTF-8 mode the character's comparable code point (its case
// fold when the pattern ignores case) against the instruction's. Each edge of
// the trie is keyed by one such byte or code point; in the byte modes an
// instruction adds an edge for each of its two bytes to the same child, and a
// program whose rows would need one byte to lead to two children (the case
// forms of a byte differing between rows) is left to the other engines, as is
// double-byte text, where a match may not start on a trail byte.
//
// The rows are read from the program by following its branches in the order
// the backtracker tries them; only CHAR, SPLIT, SPLIT_FIRST, JUMP and MATCH
// may appear, every branch going forward. The rows' characters in all may
// not pass a few times the program's slots, so nested alternations that
// multiply out ((a|b)(c|d)...) stay with the engines built for them.
//
// Tested by literal_trie_test.cpp against the backtracker on random word
// lists, and by the end-to-end suite.
#include "pattern/literal_trie.h"

#include "pattern/compiled_pattern.h"
#include "pattern/matcher.h"
#include "pattern/matcher_internal.h"
#include "pattern/text_source.h"
#include "support/memory_pool.h"

using matcher_internal::comparableCodePoint;
using matcher_internal::fetchCharByte;
using matcher_internal::fetchUtf8Char;
using matcher_internal::returnToStart;

namespace {

constexpr int32_t NO_RANK = INT32_MAX;
constexpr uint32_t NO_NODE = UINT32_MAX;

struct Edge {
  uint32_t node;  // NO_NODE: a free entry
  uint32_t key;   // the byte, or the comparable code point
  int32_t child;
};

}  // namespace

struct LiteralTrie {
  int32_t mode;         // ENCODING_SINGLE_BYTE or ENCODING_UTF8
  int32_t crossLines;   // of every CHAR
  int32_t nodes;        // node 0 is the root
  int32_t nodeCapacity;
  int32_t* rank;        // lowest rank of the rows ending at the node, NO_RANK none
  int32_t* lowestBelow; // lowest rank ending at the node or below it
  int32_t* parent;
  uint64_t* forms;      // byte modes: the two accepted bytes of the edge into the node
  Edge* edges;          // open addressing by (node, key)
  uint32_t edgeMask;    // entries - 1, a power of two less one
  int32_t edgeCount;
};

namespace {

inline uint32_t edgeSlot(uint32_t node, uint32_t key, uint32_t mask) {
  uint64_t h = (uint64_t{node} << 32 | key) * 0x9E3779B97F4A7C15ull;
  return static_cast<uint32_t>(h >> 32) & mask;
}

inline int32_t childOf(const LiteralTrie& trie, uint32_t node, uint32_t key) {
  for (uint32_t k = edgeSlot(node, key, trie.edgeMask);; k = (k + 1) & trie.edgeMask) {
    const Edge& e = trie.edges[k];
    if (e.node == NO_NODE) return -1;
    if (e.node == node && e.key == key) return e.child;
  }
}

bool placeEdge(LiteralTrie* trie, uint32_t node, uint32_t key, int32_t child) {
  if (int64_t{trie->edgeCount + 1} * 2 > int64_t{trie->edgeMask} + 1) {
    const uint32_t entries = (trie->edgeMask + 1) * 2;
    Edge* grown = static_cast<Edge*>(memAlloc(entries * static_cast<uint32_t>(sizeof(Edge))));
    if (grown == nullptr) return false;
    for (uint32_t k = 0; k < entries; ++k) grown[k].node = NO_NODE;
    for (uint32_t k = 0; k <= trie->edgeMask; ++k) {
      const Edge& e = trie->edges[k];
      if (e.node == NO_NODE) continue;
      uint32_t at = edgeSlot(e.node, e.key, entries - 1);
      while (grown[at].node != NO_NODE) at = (at + 1) & (entries - 1);
      grown[at] = e;
    }
    memFree(trie->edges);
    trie->edges = grown;
    trie->edgeMask = entries - 1;
  }
  uint32_t at = edgeSlot(node, key, trie->edgeMask);
  while (trie->edges[at].node != NO_NODE) at = (at + 1) & trie->edgeMask;
  trie->edges[at] = Edge{node, key, child};
  ++trie->edgeCount;
  return true;
}

int32_t newNode(LiteralTrie* trie, int32_t parent, uint64_t forms) {
  if (trie->nodes == trie->nodeCapacity) {
    const int32_t wanted = trie->nodeCapacity * 2;
    if (!memGrowArray(&trie->rank, wanted) || !memGrowArray(&trie->lowestBelow, wanted) ||
        !memGrowArray(&trie->parent, wanted) || !memGrowArray(&trie->forms, wanted)) {
      return -1;
    }
    trie->nodeCapacity = wanted;
  }
  const int32_t node = trie->nodes++;
  trie->rank[node] = NO_RANK;
  trie->lowestBelow[node] = NO_RANK;
  trie->parent[node] = parent;
  trie->forms[node] = forms;
  return node;
}

// Adds the row of CHARs at the slots `row` with its rank; false when the
// row cannot be placed (out of memory, or a byte that would lead two ways).
bool addRow(LiteralTrie* trie, const Instruction* program, const int32_t* row, int32_t length,
            int32_t rank) {
  int32_t node = 0;
  for (int32_t i = 0; i < length; ++i) {
    const Instruction& in = program[row[i]];
    int32_t child;
    if (trie->mode == ENCODING_UTF8) {
      child = childOf(*trie, static_cast<uint32_t>(node), in.acceptedVariant());
      if (child < 0) {
        child = newNode(trie, node, 0);
        if (child < 0 || !placeEdge(trie, static_cast<uint32_t>(node), in.acceptedVariant(), child)) {
          return false;
        }
      }
    } else {
      const uint32_t a = in.accepted() < in.acceptedVariant() ? in.accepted() : in.acceptedVariant();
      const uint32_t b = in.accepted() < in.acceptedVariant() ? in.acceptedVariant() : in.accepted();
      if (b > 0xFF) return false;
      const uint64_t forms = uint64_t{a} << 32 | b;
      const int32_t byA = childOf(*trie, static_cast<uint32_t>(node), a);
      const int32_t byB = childOf(*trie, static_cast<uint32_t>(node), b);
      if (byA < 0 && byB < 0) {
        child = newNode(trie, node, forms);
        if (child < 0 || !placeEdge(trie, static_cast<uint32_t>(node), a, child) ||
            (b != a && !placeEdge(trie, static_cast<uint32_t>(node), b, child))) {
          return false;
        }
      } else {
        child = byA >= 0 ? byA : byB;
        if (byA != child || byB != child || trie->forms[child] != forms) return false;
      }
    }
    node = child;
  }
  if (trie->rank[node] == NO_RANK) trie->rank[node] = rank;
  return true;
}

struct Walk {
  int32_t pc;
  int32_t length;  // characters of the row so far
};

// Follows the program's branches in the backtracker's order and adds every
// row it reaches MATCH with; false when the program is not such an
// alternation or memory ran out.
bool readRows(LiteralTrie* trie, const Instruction* program, int32_t lastSlot) {
  const int64_t characterLimit = 4 * int64_t{lastSlot + 1} + 64;
  const int64_t stepLimit = 16 * int64_t{lastSlot + 1} + 1024;
  int32_t* row = nullptr;
  Walk* pending = nullptr;
  int32_t pendingCount = 0;
  int64_t pendingCapacity = 0;
  int64_t rowCapacity = 0;
  int64_t characters = 0;
  int64_t steps = 0;
  int32_t rows = 0;
  bool ok = memGrowArray(&pending, 16) && memGrowArray(&row, 16);
  pendingCapacity = rowCapacity = 16;
  trie->crossLines = -1;
  if (ok) pending[pendingCount++] = Walk{0, 0};
  while (ok && pendingCount > 0) {
    Walk walk = pending[--pendingCount];
    for (;;) {
      if (++steps > stepLimit || walk.pc < 0 || walk.pc > lastSlot) {
        ok = false;
        break;
      }
      const Instruction& in = program[walk.pc];
      if (in.opcode == OP_CHAR) {
        if (trie->crossLines < 0) trie->crossLines = in.crossLines();
        if (in.crossLines() != trie->crossLines || ++characters > characterLimit ||
            (walk.length == rowCapacity && !memGrowArray(&row, rowCapacity *= 2))) {
          ok = false;
          break;
        }
        row[walk.length++] = walk.pc++;
        continue;
      }
      if (in.opcode == OP_MATCH) {
        ok = walk.length > 0 && addRow(trie, program, row, walk.length, rows++);
        break;
      }
      const int32_t branch = walk.pc + in.branch();
      const int32_t next = walk.pc + in.next();
      int32_t first;
      int32_t second = -1;
      if (in.opcode == OP_JUMP) {
        first = next;
      } else if (in.opcode == OP_SPLIT_FIRST) {
        first = branch;
        second = next;
      } else if (in.opcode == OP_SPLIT) {
        first = next;
        second = branch;
      } else {
        ok = false;
        break;
      }
      if (first <= walk.pc || (second >= 0 && second <= walk.pc)) {
        ok = false;
        break;
      }
      if (second >= 0) {
        if (pendingCount == pendingCapacity && !memGrowArray(&pending, pendingCapacity *= 2)) {
          ok = false;
          break;
        }
        pending[pendingCount++] = Walk{second, walk.length};
      }
      walk.pc = first;
    }
  }
  memFree(row);
  memFree(pending);
  return ok && rows >= 2;
}

void freeParts(LiteralTrie* trie) {
  memFree(trie->rank);
  memFree(trie->lowestBelow);
  memFree(trie->parent);
  memFree(trie->forms);
  memFree(trie->edges);
}

// The next text character as the trie's keys compare it; negative where
// there is none (line end, text end, an invalid UTF-8 byte).
inline int64_t nextKey(const LiteralTrie& trie) {
  if (trie.mode != ENCODING_UTF8) return fetchCharByte(trie.crossLines);
  const int32_t c = fetchUtf8Char();
  return c < 0 ? -1 : int64_t{comparableCodePoint(c)};
}

}  // namespace

LiteralTrie* buildLiteralTrie(const Instruction* program, int32_t lastSlot, int32_t encodingMode) {
  if (program == nullptr || lastSlot < 1 || encodingMode == ENCODING_DOUBLE_BYTE) return nullptr;
  auto* trie = static_cast<LiteralTrie*>(memAlloc(sizeof(LiteralTrie)));
  if (trie == nullptr) return nullptr;
  *trie = LiteralTrie{};
  trie->mode = encodingMode;
  trie->nodeCapacity = 64;
  trie->edges = static_cast<Edge*>(memAlloc(64 * sizeof(Edge)));
  bool ok = trie->edges != nullptr && memGrowArray(&trie->rank, 64) &&
            memGrowArray(&trie->lowestBelow, 64) && memGrowArray(&trie->parent, 64) &&
            memGrowArray(&trie->forms, 64);
  if (ok) {
    trie->edgeMask = 63;
    for (int32_t k = 0; k < 64; ++k) trie->edges[k].node = NO_NODE;
    ok = newNode(trie, -1, 0) == 0 && readRows(trie, program, lastSlot);
  }
  if (!ok) {
    freeLiteralTrie(trie);
    return nullptr;
  }
  // A child is made after its parent, so one pass from the last node back
  // carries each node's lowest rank up to its parent.
  for (int32_t node = trie->nodes - 1; node >= 0; --node) {
    int32_t& lowest = trie->lowestBelow[node];
    if (trie->rank[node] < lowest) lowest = trie->rank[node];
    const int32_t up = trie->parent[node];
    if (up >= 0 && lowest < trie->lowestBelow[up]) trie->lowestBelow[up] = lowest;
  }
  return trie;
}

void freeLiteralTrie(LiteralTrie* trie) {
  if (trie == nullptr) return;
  freeParts(trie);
  memFree(trie);
}

bool literalTrieRuns(const LiteralTrie* trie) {
  return trie != nullptr && textSource.charMode == trie->mode;
}

int32_t runLiteralTrie(const LiteralTrie* trie) {
  MatcherState& s = matcher;
  s.offset = 0;
  uint32_t node = 0;
  int32_t best = NO_RANK;
  int32_t bestLength = 0;  // characters of the best row
  for (int32_t length = 1; trie->lowestBelow[node] < best; ++length) {
    const int64_t key = nextKey(*trie);
    if (key < 0) break;
    const int32_t child = childOf(*trie, node, static_cast<uint32_t>(key));
    if (child < 0) break;
    node = static_cast<uint32_t>(child);
    if (trie->rank[node] < best) {
      best = trie->rank[node];
      bestLength = length;
    }
  }
  returnToStart();
  if (best == NO_RANK) return 0;
  // Read the row found once more, to leave the pointer at its end as MATCH
  // finds it.
  for (int32_t i = 0; i < bestLength; ++i) nextKey(*trie);
  s.matchLength = s.offset;
  textSource.SetPosition(s.cur);
  if (textSource.ReportPosition != nullptr) {
    int32_t unused[3];
    textSource.ReportPosition(&unused[0], &unused[1], &unused[2]);
  }
  returnToStart();
  BacktrackFrame& base = s.stack[0];
  base.endMask = 0;
  base.startMask = 0;
  base.cursorMark = 0;
  s.cursorMark = 0;
  s.top = 0;
  return 1;
}
