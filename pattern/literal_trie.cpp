// An alternation of plain literals run as a trie.
//
// A pattern that lists many words (w00001|w00002|... read from a pattern
// file) compiles to a chain of SPLITs, one row of CHARs per word, and a word
// may hold character sets too ([a-z]value[0-9]). The backtracker tries every
// row at every candidate, the Pike VM holds a thread per row, and the lazy
// DFA's states grow with the rows until its cache thrashes: a search costs
// the number of words times the text. Here the rows
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
// A SET is an edge of its own: a node left by a SET has no other edge, and
// the rows that pass it there hold the very same SET (the same slots), so a
// step stays one way. The step is the matcher's own test of the SET at the
// pointer, so the SET reads the text as it does in the backtracker; rows
// whose sets differ at one node, or a set and a character, leave the program
// to the other engines.
//
// The rows are read from the program by following its branches in the order
// the backtracker tries them; only CHAR, SET, SPLIT, SPLIT_FIRST, JUMP and
// MATCH may appear, every branch going forward. The rows' items in all may
// not pass a few times the program's slots, so nested alternations that
// multiply out ((a|b)(c|d)...) stay with the engines built for them.
//
// A long list of words begins at most letters of the text, so a scan for
// the first bytes would stop nearly everywhere. The trie therefore keeps a
// filter of the words' first bytes, up to eight of them (as many as every
// word has, and only bytes that stand for themselves in the text). Where the
// words begin with a few items of one byte each that are no such bytes (a
// set of ASCII letters), the bytes compared are those after them, the same
// number of bytes into every word: a position p is then a start when the
// bytes from p + skip pass. The bytes at a position are loaded as one word
// and hashed, and two entries of a table picked by the hash must both be
// marked, as they are for every spelling of a word's first bytes and seldom
// for other bytes. The scan
// hashes four positions at a time and reads the second entry only where the
// first is marked. Where a character has two forms (its cases), the bytes
// are compared with bit 0x20 set, so that both forms give one key; where one
// form lies beyond ASCII (the Kelvin sign for k), a position whose bytes
// leave ASCII is a start too. A range end that cuts the compared bytes
// leaves the first byte to decide, as the first item of some word takes it.
//
// Tested by literal_trie_test.cpp against the backtracker on random word
// lists, and by the end-to-end suite.
#include "pattern/literal_trie.h"

#include <cstring>

#include "pattern/compiled_pattern.h"
#include "pattern/matcher.h"
#include "pattern/matcher_internal.h"
#include "pattern/text_source.h"
#include "pattern/unicode_set.h"
#include "support/case_folding.h"
#include "support/memory_pool.h"

using matcher_internal::comparableCodePoint;
using matcher_internal::fetchCharByte;
using matcher_internal::fetchUtf8Char;
using matcher_internal::returnToStart;

namespace {

constexpr int32_t NO_RANK = INT32_MAX;
constexpr uint32_t NO_NODE = UINT32_MAX;
// What leaves a node, besides a SET's slot: nothing yet, or edges keyed by
// characters.
constexpr int32_t NO_EDGES = -1;
constexpr int32_t CHARACTER_EDGES = -2;
// The key of a SET's edge in the table of edges: no byte or code point.
constexpr uint32_t SET_KEY = UINT32_MAX;

// What a step of the search reads of a node, kept side by side.
struct TrieNode {
  int32_t rank;         // lowest rank of the rows ending at the node, NO_RANK none
  int32_t lowestBelow;  // lowest rank ending at the node or below it
  int32_t setSlot;      // the slot of the SET on the node's one edge, or NO_EDGES, CHARACTER_EDGES
};

struct Edge {
  uint32_t node;  // NO_NODE: a free entry
  uint32_t key;   // the byte, or the comparable code point
  int32_t child;
};

// The most leading bytes of a word that the filter of starts hashes: one
// 64-bit load.
constexpr int32_t PREFIX_LIMIT = 8;
// A row's keys with more combinations of forms than this leave the trie
// without a filter.
constexpr int32_t PREFIX_COMBINATIONS = 16;
// The table of starts has about this many entries per key, so that a
// position that begins no word seldom finds its entry set. A list of a few
// hundred words keeps it within the first-level cache; for tens of thousands
// a larger table costs cache misses, but far fewer walks down the trie from
// positions that pass by chance (half a megabyte took a list of 20,000
// words over text from 0.50 to 0.14 s per 30 MB).
constexpr int32_t PREFIX_ENTRIES_PER_KEY = 64;
constexpr int32_t PREFIX_TABLE_LOG_MIN = 10;
constexpr int32_t PREFIX_TABLE_LOG_MAX = 19;

// The most leading items of one byte each that the filter passes over to
// reach bytes it can compare.
constexpr int32_t PREFIX_SKIP_LIMIT = 4;
constexpr int32_t PREFIX_ITEMS = PREFIX_SKIP_LIMIT + PREFIX_LIMIT;

// The first items of a row as the text may spell them.
struct RowPrefix {
  uint32_t plain;        // bit i: item i is a plain byte of the two forms[i]
  uint32_t beyondAscii;  // bit i: plain item i has a form beyond ASCII besides these
  uint32_t oneByte;      // bit i: item i takes one byte, whatever byte it takes
  uint8_t forms[PREFIX_ITEMS][2];
};

// The number of consecutive bits set in `bits` from bit `from` on.
int32_t runOfBits(uint32_t bits, int32_t from) {
  const uint32_t rest = ~(bits >> from);
  return rest == 0 ? 32 - from : __builtin_ctz(rest);
}

}  // namespace

struct LiteralTrie {
  int32_t mode;         // ENCODING_SINGLE_BYTE or ENCODING_UTF8
  int32_t crossLines;   // of every CHAR
  int32_t nodes;        // node 0 is the root
  int32_t nodeCapacity;
  TrieNode* node;       // as many as there are nodes once the trie is built
  // While the trie is built, in the byte modes: 1 for a node whose edge in
  // is keyed by two bytes (the two forms of its CHAR), 0 by one.
  uint8_t* twoForms;
  const Instruction* program;
  Edge* edges;          // open addressing by (node, key)
  uint32_t edgeMask;    // entries - 1, a power of two less one
  int32_t edgeCount;
  RowPrefix* prefixes;  // one per row, while the trie is built
  int32_t prefixCapacity;
  // The filter of starts: prefixLength 0 when there is none.
  int32_t prefixLength;
  int32_t prefixSkip;   // the bytes of a word before those compared
  uint64_t prefixMask;  // the first prefixLength bytes of a loaded word
  uint64_t prefixFold;  // 0x20 in each of those bytes when forms are merged
  // A character of some word's first bytes has a form beyond ASCII (the
  // Kelvin sign of k, the long s of s), which the keys leave out: a position
  // whose bytes are not all ASCII is a start too.
  bool nonAsciiStarts;
  int32_t prefixLog;    // the log of the table's entries
  uint8_t* prefixTable; // bit 0 at the first entry of every key, bit 1 at its second
  uint8_t firstBytes[256];  // 1 for a byte that may begin a word's spelling
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

// The table of edges is open addressing with linear probing, grown when it
// would be more than three quarters full: a list of thousands of words keeps
// about one edge per character, and a half-empty table was the largest part
// of the memory such a search takes.
bool placeEdge(LiteralTrie* trie, uint32_t node, uint32_t key, int32_t child) {
  if (int64_t{trie->edgeCount + 1} * 4 > (int64_t{trie->edgeMask} + 1) * 3) {
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

// A node made by the row of rank `rank`. Rows are added in rank order and
// every row that reaches a node ends at it or below, so the row that makes a
// node is the lowest-ranked row ending at or below it: its lowestBelow.
int32_t newNode(LiteralTrie* trie, int32_t rank, bool twoForms) {
  if (trie->nodes == trie->nodeCapacity) {
    const int32_t wanted = trie->nodeCapacity * 2;
    if (!memGrowArray(&trie->node, wanted) || !memGrowArray(&trie->twoForms, wanted)) return -1;
    trie->nodeCapacity = wanted;
  }
  const int32_t node = trie->nodes++;
  trie->node[node] = TrieNode{NO_RANK, rank, NO_EDGES};
  trie->twoForms[node] = twoForms ? 1 : 0;
  return node;
}

// The bytes a text may hold for a CHAR's character, as the filter of starts
// compares them: false when it is no plain byte (a line end, which the
// source may spell as two bytes, or a character beyond ASCII in UTF-8 text).
// An ASCII character's case forms beyond ASCII are left out and flagged.
bool plainForms(const LiteralTrie& trie, const Instruction& in, uint8_t forms[2],
                bool* beyondAscii) {
  uint32_t a = in.accepted();
  uint32_t b = in.acceptedVariant();
  *beyondAscii = false;
  if (trie.mode == ENCODING_UTF8) {
    a = b = in.acceptedVariant();
    if (a >= 0x80) return false;
    if (compiledPattern.ignoreCase != 0) {
      for (uint32_t c = nextCaseForm(a); c != a; c = nextCaseForm(c)) {
        if (c >= 0x80) {
          *beyondAscii = true;
        } else if (b != a) {
          return false;
        } else {
          b = c;
        }
      }
    }
  }
  if (a > 0xFF || b > 0xFF || a == '\n' || a == '\r' || b == '\n' || b == '\r') return false;
  forms[0] = static_cast<uint8_t>(a);
  forms[1] = static_cast<uint8_t>(b);
  return true;
}

// Whether a SET takes one byte whatever it matches: always in single-byte
// text; in UTF-8 text when its members are ASCII alone (the header of its
// serialized set, low, high and the pairs above U+FFFF, says so) and no
// invalid byte is one. Its bytes are marked in `bytes`.
bool oneByteSet(const LiteralTrie& trie, const Instruction& in, uint8_t bytes[256]) {
  const auto* data = reinterpret_cast<const uint8_t*>(&in + 1);
  if (trie.mode != ENCODING_UTF8) {
    for (int32_t b = 0; b < 256; ++b) bytes[b] |= (data[b >> 3] >> (b & 7)) & 1;
    return true;
  }
  uint32_t header[3];
  std::memcpy(header, data, sizeof header);
  if ((in.setFlags() & SET_HOLDS_INVALID_BYTES) != 0 || header[2] != 0 || header[1] >= 0x80) {
    return false;
  }
  for (int32_t c = 0; c < 0x80; ++c) bytes[c] |= serializedSetContains(data, c) ? 1 : 0;
  return true;
}

// Keeps what the filter needs of the first items of the row at index
// `rank`, and marks the bytes its first item may begin with.
bool notePrefix(LiteralTrie* trie, const Instruction* program, const int32_t* row, int32_t length,
                int32_t rank) {
  if (rank == trie->prefixCapacity) {
    const int32_t wanted = trie->prefixCapacity * 2;
    if (!memGrowArray(&trie->prefixes, wanted)) return false;
    trie->prefixCapacity = wanted;
  }
  RowPrefix& prefix = trie->prefixes[rank];
  prefix.plain = prefix.beyondAscii = prefix.oneByte = 0;
  for (int32_t i = 0; i < length && i < PREFIX_ITEMS; ++i) {
    const Instruction& in = program[row[i]];
    const uint32_t bit = 1u << i;
    uint8_t bytes[256] = {};
    bool beyond = false;
    if (in.opcode == OP_SET) {
      if (!oneByteSet(*trie, in, bytes)) break;
      prefix.oneByte |= bit;
    } else if (plainForms(*trie, in, prefix.forms[i], &beyond)) {
      prefix.plain |= bit;
      if (beyond) prefix.beyondAscii |= bit;
      if (!beyond) prefix.oneByte |= bit;
      bytes[prefix.forms[i][0]] = bytes[prefix.forms[i][1]] = 1;
    } else {
      break;
    }
    if (i == 0) {
      for (int32_t b = 0; b < 256; ++b) trie->firstBytes[b] |= bytes[b];
    }
  }
  return true;
}

// Adds the row of CHARs at the slots `row` with its rank; false when the
// row cannot be placed (out of memory, or a byte that would lead two ways).
bool addRow(LiteralTrie* trie, const Instruction* program, const int32_t* row, int32_t length,
            int32_t rank) {
  if (!notePrefix(trie, program, row, length, rank)) return false;
  int32_t node = 0;
  for (int32_t i = 0; i < length; ++i) {
    const Instruction& in = program[row[i]];
    int32_t child;
    int32_t& leaving = trie->node[node].setSlot;
    if (in.opcode == OP_SET) {
      if (leaving == NO_EDGES) {
        child = newNode(trie, rank, false);
        if (child < 0 || !placeEdge(trie, static_cast<uint32_t>(node), SET_KEY, child)) {
          return false;
        }
        // newNode may have moved the arrays.
        trie->node[node].setSlot = row[i];
      } else if (leaving >= 0 &&
                 setSlotCount(program[leaving], trie->mode) == setSlotCount(in, trie->mode) &&
                 std::memcmp(&program[leaving], &in,
                             sizeof(Instruction) * setSlotCount(in, trie->mode)) == 0) {
        child = childOf(*trie, static_cast<uint32_t>(node), SET_KEY);
      } else {
        return false;
      }
      node = child;
      continue;
    }
    if (leaving >= 0) return false;
    leaving = CHARACTER_EDGES;
    if (trie->mode == ENCODING_UTF8) {
      child = childOf(*trie, static_cast<uint32_t>(node), in.acceptedVariant());
      if (child < 0) {
        child = newNode(trie, rank, false);
        if (child < 0 || !placeEdge(trie, static_cast<uint32_t>(node), in.acceptedVariant(), child)) {
          return false;
        }
      }
    } else {
      const uint32_t a = in.accepted() < in.acceptedVariant() ? in.accepted() : in.acceptedVariant();
      const uint32_t b = in.accepted() < in.acceptedVariant() ? in.acceptedVariant() : in.accepted();
      if (b > 0xFF) return false;
      const int32_t byA = childOf(*trie, static_cast<uint32_t>(node), a);
      const int32_t byB = childOf(*trie, static_cast<uint32_t>(node), b);
      if (byA < 0 && byB < 0) {
        child = newNode(trie, rank, b != a);
        if (child < 0 || !placeEdge(trie, static_cast<uint32_t>(node), a, child) ||
            (b != a && !placeEdge(trie, static_cast<uint32_t>(node), b, child))) {
          return false;
        }
      } else {
        // Only the edges made with a node lead to it, so two bytes that
        // both lead to the child are its two forms; one byte that does may
        // be one of two forms, which this CHAR does not accept.
        child = byA >= 0 ? byA : byB;
        if (byA != child || byB != child || (trie->twoForms[child] != 0) != (b != a)) return false;
      }
    }
    node = child;
  }
  if (trie->node[node].rank == NO_RANK) trie->node[node].rank = rank;
  return true;
}

inline uint64_t loadWord(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The hash of the key read at p (eight bytes readable); its top prefixLog
// bits and the next as many are the key's two entries in the table.
inline uint64_t prefixHash(const LiteralTrie& trie, const uint8_t* p) {
  const uint64_t key = (loadWord(p) | trie.prefixFold) & trie.prefixMask;
  return key * 0x9E3779B97F4A7C15ull;
}

inline uint32_t firstEntry(const LiteralTrie& trie, uint64_t hash) {
  return static_cast<uint32_t>(hash >> (64 - trie.prefixLog));
}

inline uint32_t secondEntry(const LiteralTrie& trie, uint64_t hash) {
  return static_cast<uint32_t>(hash >> (64 - 2 * trie.prefixLog)) & ((1u << trie.prefixLog) - 1);
}

inline bool hashHits(const LiteralTrie& trie, uint64_t hash) {
  return (trie.prefixTable[firstEntry(trie, hash)] & 1) != 0 &&
         (trie.prefixTable[secondEntry(trie, hash)] & 2) != 0;
}

// Sets the entries of every spelling of the prefixLength bytes that the
// filter compares in the row.
void addPrefixKeys(LiteralTrie* trie, const RowPrefix& prefix) {
  const int32_t length = trie->prefixLength;
  const uint8_t (*forms)[2] = prefix.forms + trie->prefixSkip;
  const uint8_t fold = trie->prefixFold != 0 ? 0x20 : 0;
  int32_t choices[PREFIX_LIMIT];
  int32_t chosen = 0;
  for (int32_t i = 0; i < length; ++i) {
    if ((forms[i][0] | fold) != (forms[i][1] | fold)) {
      choices[chosen++] = i;
    }
  }
  for (int32_t combination = 0; combination < (1 << chosen); ++combination) {
    uint8_t bytes[PREFIX_LIMIT] = {};
    for (int32_t i = 0; i < length; ++i) bytes[i] = forms[i][0];
    for (int32_t c = 0; c < chosen; ++c) {
      if ((combination >> c) & 1) bytes[choices[c]] = forms[choices[c]][1];
    }
    const uint64_t hash = prefixHash(*trie, bytes);
    trie->prefixTable[firstEntry(*trie, hash)] |= 1;
    trie->prefixTable[secondEntry(*trie, hash)] |= 2;
  }
}

// The most plain bytes that every row has the same number of one-byte items
// into it, up to PREFIX_LIMIT, and that number (*skip, the fewest such).
int32_t choosePrefix(const LiteralTrie& trie, int32_t rows, int32_t* skip) {
  int32_t best = 0;
  for (int32_t k = 0; k <= PREFIX_SKIP_LIMIT; ++k) {
    int32_t length = PREFIX_LIMIT;
    for (int32_t r = 0; r < rows && length > best; ++r) {
      const RowPrefix& prefix = trie.prefixes[r];
      if (runOfBits(prefix.oneByte, 0) < k) length = 0;
      const int32_t run = runOfBits(prefix.plain, k);
      if (run < length) length = run;
    }
    if (length > best) {
      best = length;
      *skip = k;
    }
  }
  return best;
}

// Builds the filter of starts from the rows' prefixes, when every row has
// two plain bytes or more at the same distance from its start; false only
// when memory ran out.
bool buildPrefixFilter(LiteralTrie* trie, int32_t rows) {
  int32_t skip = 0;
  const int32_t length = choosePrefix(*trie, rows, &skip);
  bool twoForms = false;
  if (length < 2) return true;
  int64_t keys = 0;
  for (int32_t r = 0; r < rows; ++r) {
    int32_t combinations = 1;
    for (int32_t i = skip; i < skip + length; ++i) {
      const uint8_t* forms = trie->prefixes[r].forms[i];
      if (forms[0] == forms[1]) continue;
      twoForms = true;
      if ((forms[0] | 0x20) != (forms[1] | 0x20)) combinations *= 2;
    }
    if (combinations > PREFIX_COMBINATIONS) return true;
    keys += combinations;
    if (((trie->prefixes[r].beyondAscii >> skip) & ((1u << length) - 1)) != 0) {
      trie->nonAsciiStarts = true;
    }
  }
  int32_t log = PREFIX_TABLE_LOG_MIN;
  while (log < PREFIX_TABLE_LOG_MAX && (int64_t{1} << log) < keys * PREFIX_ENTRIES_PER_KEY) ++log;
  if (!memGrowArray(&trie->prefixTable, int64_t{1} << log)) return false;
  std::memset(trie->prefixTable, 0, size_t{1} << log);
  uint8_t mask[PREFIX_LIMIT] = {};
  uint8_t fold[PREFIX_LIMIT] = {};
  for (int32_t i = 0; i < length; ++i) {
    mask[i] = 0xFF;
    fold[i] = twoForms ? 0x20 : 0;
  }
  trie->prefixMask = loadWord(mask);
  trie->prefixFold = loadWord(fold);
  trie->prefixLog = log;
  trie->prefixLength = length;
  trie->prefixSkip = skip;
  for (int32_t r = 0; r < rows; ++r) addPrefixKeys(trie, trie->prefixes[r]);
  // A form beyond ASCII of a first character compared is a start too.
  if (trie->nonAsciiStarts && skip == 0) std::memset(trie->firstBytes + 0x80, 1, 0x80);
  return true;
}

struct Walk {
  int32_t pc;
  int32_t length;  // characters of the row so far
};

// Follows the program's branches in the backtracker's order and adds every
// row it reaches MATCH with, counting them in *rows; false when the program
// is not such an alternation (or has fewer than two rows) or memory ran out.
bool readRows(LiteralTrie* trie, const Instruction* program, int32_t lastSlot, int32_t* rows) {
  const int64_t characterLimit = 4 * int64_t{lastSlot + 1} + 64;
  const int64_t stepLimit = 16 * int64_t{lastSlot + 1} + 1024;
  int32_t* row = nullptr;
  Walk* pending = nullptr;
  int32_t pendingCount = 0;
  int64_t pendingCapacity = 0;
  int64_t rowCapacity = 0;
  int64_t characters = 0;
  int64_t steps = 0;
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
      if (in.opcode == OP_SET) {
        if (++characters > characterLimit ||
            (walk.length == rowCapacity && !memGrowArray(&row, rowCapacity *= 2))) {
          ok = false;
          break;
        }
        row[walk.length++] = walk.pc;
        walk.pc += setSlotCount(in, trie->mode);
        continue;
      }
      if (in.opcode == OP_MATCH) {
        ok = walk.length > 0 && addRow(trie, program, row, walk.length, (*rows)++);
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
  return ok && *rows >= 2;
}

void freeParts(LiteralTrie* trie) {
  memFree(trie->prefixes);
  memFree(trie->prefixTable);
  memFree(trie->node);
  memFree(trie->twoForms);
  memFree(trie->edges);
}

// The next text character as the trie's keys compare it; negative where
// there is none (line end, text end, an invalid UTF-8 byte).
inline int64_t nextKey(const LiteralTrie& trie) {
  if (trie.mode != ENCODING_UTF8) return fetchCharByte(trie.crossLines);
  const int32_t c = fetchUtf8Char();
  return c < 0 ? -1 : int64_t{comparableCodePoint(c)};
}

// Takes the text at the pointer down the edge out of `node` that it
// matches: the child, or -1 where none does.
inline int32_t stepDown(const LiteralTrie& trie, int32_t node) {
  const int32_t set = trie.node[node].setSlot;
  if (set >= 0) {
    return matcher_internal::performSet(trie.program + set)
               ? childOf(trie, static_cast<uint32_t>(node), SET_KEY)
               : -1;
  }
  const int64_t key = nextKey(trie);
  if (key < 0) return -1;
  return childOf(trie, static_cast<uint32_t>(node), static_cast<uint32_t>(key));
}

}  // namespace

LiteralTrie* buildLiteralTrie(const Instruction* program, int32_t lastSlot, int32_t encodingMode) {
  if (program == nullptr || lastSlot < 1 || encodingMode == ENCODING_DOUBLE_BYTE) return nullptr;
  auto* trie = static_cast<LiteralTrie*>(memAlloc(sizeof(LiteralTrie)));
  if (trie == nullptr) return nullptr;
  *trie = LiteralTrie{};
  trie->mode = encodingMode;
  trie->program = program;
  trie->nodeCapacity = 64;
  trie->edges = static_cast<Edge*>(memAlloc(64 * sizeof(Edge)));
  trie->prefixCapacity = 64;
  int32_t rows = 0;
  bool ok = trie->edges != nullptr && memGrowArray(&trie->node, 64) &&
            memGrowArray(&trie->twoForms, 64) && memGrowArray(&trie->prefixes, 64);
  if (ok) {
    trie->edgeMask = 63;
    for (int32_t k = 0; k < 64; ++k) trie->edges[k].node = NO_NODE;
    ok = newNode(trie, 0, false) == 0 && readRows(trie, program, lastSlot, &rows);
  }
  if (!ok) {
    freeLiteralTrie(trie);
    return nullptr;
  }
  // The nodes were grown by doubling: fitted to their count, those of a
  // list of thousands of words take a third less. The block they leave is
  // freed before the filter's table is taken, which may then reuse it.
  memFree(trie->twoForms);
  trie->twoForms = nullptr;
  if (!memGrowArray(&trie->node, trie->nodes) || !buildPrefixFilter(trie, rows)) {
    freeLiteralTrie(trie);
    return nullptr;
  }
  trie->nodeCapacity = trie->nodes;
  memFree(trie->prefixes);
  trie->prefixes = nullptr;
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

int32_t literalTriePrefixLength(const LiteralTrie* trie) { return trie->prefixLength; }

int64_t literalTrieBytes(const LiteralTrie* trie) {
  int64_t bytes = memBlockSize(trie) + memBlockSize(trie->node) + memBlockSize(trie->edges);
  if (trie->prefixTable != nullptr) bytes += memBlockSize(trie->prefixTable);
  return bytes;
}

namespace {

constexpr uint64_t EVERY_HIGH_BIT = 0x8080808080808080ull;

// Whether the key's bytes at p (eight bytes readable) go beyond ASCII.
inline bool leavesAscii(const LiteralTrie& trie, const uint8_t* p) {
  return (loadWord(p) & trie.prefixMask & EVERY_HIGH_BIT) != 0;
}

template <bool NON_ASCII_STARTS>
const uint8_t* scanStarts(const LiteralTrie& t, const uint8_t* from, const uint8_t* to) {
  const int32_t length = t.prefixLength;
  const int32_t skip = t.prefixSkip;
  const uint8_t* p = from;
  // Four positions a round while the last of them has eight bytes to load,
  // each by its first entry; the few that find it set are then checked in
  // order by their second. The two loads at p and p + 3 cover the bytes of
  // all four keys.
  if (to - from >= skip + PREFIX_LIMIT + 3) {
    const uint8_t* table = t.prefixTable;
    for (const uint8_t* last = to - (skip + PREFIX_LIMIT + 3); p <= last; p += 4) {
      const uint8_t* q = p + skip;
      const uint64_t h0 = prefixHash(t, q);
      const uint64_t h1 = prefixHash(t, q + 1);
      const uint64_t h2 = prefixHash(t, q + 2);
      const uint64_t h3 = prefixHash(t, q + 3);
      bool any = ((table[firstEntry(t, h0)] | table[firstEntry(t, h1)] | table[firstEntry(t, h2)] |
                   table[firstEntry(t, h3)]) & 1) != 0;
      if (NON_ASCII_STARTS) any = any || ((loadWord(q) | loadWord(q + 3)) & EVERY_HIGH_BIT) != 0;
      if (!any) continue;
      const uint64_t hashes[4] = {h0, h1, h2, h3};
      for (int32_t i = 0; i < 4; ++i) {
        if ((NON_ASCII_STARTS && leavesAscii(t, q + i)) || hashHits(t, hashes[i])) return p + i;
      }
    }
  }
  for (; to - p >= skip + length; ++p) {
    uint8_t bytes[PREFIX_LIMIT] = {};
    std::memcpy(bytes, p + skip, static_cast<size_t>(length));
    if ((NON_ASCII_STARTS && leavesAscii(t, bytes)) || hashHits(t, prefixHash(t, bytes))) return p;
  }
  // The range end cuts the first bytes of what follows: a start there is
  // known by its first byte alone.
  for (; p < to; ++p) {
    if (t.firstBytes[*p] != 0) return p;
  }
  return nullptr;
}

}  // namespace

const uint8_t* findLiteralTrieStart(const LiteralTrie* trie, const uint8_t* from,
                                    const uint8_t* to) {
  return trie->nonAsciiStarts ? scanStarts<true>(*trie, from, to)
                               : scanStarts<false>(*trie, from, to);
}

int32_t runLiteralTrie(const LiteralTrie* trie) {
  MatcherState& s = matcher;
  s.offset = 0;
  uint32_t node = 0;
  int32_t best = NO_RANK;
  int32_t bestLength = 0;  // characters of the best row
  for (int32_t length = 1; trie->node[node].lowestBelow < best; ++length) {
    const int32_t child = stepDown(*trie, static_cast<int32_t>(node));
    if (child < 0) break;
    node = static_cast<uint32_t>(child);
    const int32_t rank = trie->node[node].rank;
    if (rank < best) {
      best = rank;
      bestLength = length;
    }
  }
  returnToStart();
  if (best == NO_RANK) return 0;
  // Read the row found once more, to leave the pointer at its end as MATCH
  // finds it.
  for (int32_t i = 0, down = 0; i < bestLength; ++i) down = stepDown(*trie, down);
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
