// The first bytes of alternatives.
//
// A long alternation (a list of thousands of patterns joined by |) is a
// chain of SPLIT_FIRST instructions, each preferring its alternative and
// falling back to the next link. The backtracker tries every alternative at
// every start: it pushes a frame for each, fails at its first item and pops
// the frame again. For a SPLIT_FIRST whose preferred way meets a consuming
// item before anything else (past groups, the cursor mark, jumps and more
// splits), the bytes that item may take first follow from the program
// alone. Where the byte at the pointer is not among them the way fails at
// once, and the matcher goes on along the fallback with no frame: the
// result is the same, as the way could only have failed.
//
// A link's successor is the SPLIT_FIRST its fallback leads to. Chains of
// many links are indexed by byte: for every byte the links whose way may
// begin with it, in chain order, so that the links that cannot begin with
// the byte at the pointer are passed in one step (a binary search in that
// list) and a start costs the alternatives that may match there, not all
// of them. Loops keep their frames: only a SPLIT_FIRST without an
// empty-pass guard is a link, and a loop's way back to its body is passed
// the same way when the body cannot begin with the byte.
//
// The bytes are those of items that take one byte (oneByteItem), and in
// UTF-8 text the lead bytes of the case forms of a CHAR's character, after
// which the next byte is not known; a way that begins with anything else
// has no link. Double-byte text, where a
// byte may be the trail of a character, has none. The bytes at the pointer
// are read straight from the window: an item that takes a character there
// takes one that begins with them, whether it reads them straight or
// through the source. Tables are made once per program the compiler
// numbered and text mode. Tested by alternative_skip_test.cpp.
#include "pattern/alternative_skip.h"

#include <algorithm>
#include <cstring>

#include "pattern/compiled_pattern.h"
#include "pattern/matcher.h"
#include "pattern/text_source.h"
#include "support/case_folding.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"


AlternativeSkipKey alternativeSkipKey{};

namespace {

bool enabled = true;


// Chains shorter than this are passed link by link; a SPLIT_FIRST alone
// (a loop, or an alternation of two) is no link: the test would cost more
// than the frame it may save.
constexpr int32_t CHAIN_MIN = 2;
// Chains shorter than this are passed link by link.
constexpr int32_t INDEXED_CHAIN = 8;
// The slots looked at to find the first bytes of one way.
constexpr int32_t WAY_SLOT_LIMIT = 64;
// The entries of all the byte lists, at most (36 bytes each: a chain whose
// ways may begin with most bytes is passed link by link instead).
constexpr int64_t ENTRY_LIMIT = int64_t{1} << 17;

struct Link {
  int32_t slot;
  int32_t chain;  // -1 until found
  int32_t index;  // in its chain
  uint8_t bytes[32];   // what its way may take first
  uint8_t second[32];  // and next
};

// A link in the list of a byte its way may begin with.
struct Entry {
  int32_t index;  // in its chain
  uint8_t second[32];
};

struct Chain {
  int32_t firstSlot;  // into chainSlots: the slots of its links in order
  int32_t count;
  int32_t endSlot;     // where the last link's fallback leads
  int64_t byteStarts;  // into byteStarts: 257 bounds; -1 when not indexed
};

struct Skips {
  const Instruction* program;
  int32_t slots;
  int32_t* linkOf;  // per slot, the link there or -1
  Link* links;
  int32_t linkCount;
  int32_t liveLinks;  // those of chains of CHAIN_MIN links or more
  Chain* chains;
  int32_t chainCount;
  int32_t* chainSlots;
  int64_t* byteStarts;
  Entry* entries;  // ascending by index per byte
};

Skips skips{};

int32_t slotLength(const Instruction& in, int32_t encodingMode) {
  return in.opcode == OP_SET || in.opcode == OP_SET_SCAN ? setSlotCount(in, encodingMode) : 1;
}

// The first bytes of the characters a CHAR (or a CHAR_SCAN's item) takes in
// UTF-8 text: every case form of its character when case is ignored, each
// by the lead byte of its sequence; *ascii tells whether all the forms are
// ASCII, each a byte of its own. False for any other item or text.
bool characterLeadBytes(const Instruction& in, int32_t charMode, uint8_t* bytes, bool* ascii) {
  *ascii = true;
  std::memset(bytes, 0, 32);
  if (charMode != ENCODING_UTF8 || (in.opcode != OP_CHAR && in.opcode != OP_CHAR_SCAN)) {
    return false;
  }
  const bool fold = compiledPattern.ignoreCase != 0;
  uint32_t form = fold ? in.acceptedVariant() : in.accepted();
  const uint32_t first = form;
  int32_t forms = 0;
  do {
    if (form >= 0x80) *ascii = false;
    const uint8_t lead = utf8LeadByte(form);
    bytes[lead >> 3] |= static_cast<uint8_t>(1u << (lead & 7));
    if (!fold) break;
    if (++forms > 64) return false;
    form = nextCaseForm(form);
  } while (form != first);
  return true;
}

// The bytes the ways from `start` may take first; false when one may do
// anything else first (test, end, count, read several bytes) or they are
// not known within WAY_SLOT_LIMIT slots. With `second`, also the bytes they
// may take next, after a first item of one byte: every byte where that is
// not known.
bool firstBytesOfWay(const Instruction* program, int32_t slots, int32_t start, int32_t charMode,
                     uint8_t* bytes, uint8_t* second) {
  std::memset(bytes, 0, 32);
  int32_t pending[WAY_SLOT_LIMIT];
  int32_t seen[WAY_SLOT_LIMIT];
  int32_t items[WAY_SLOT_LIMIT];  // the first items' slots, a scan as -1
  int32_t pendingCount = 0;
  int32_t seenCount = 0;
  int32_t itemCount = 0;
  const auto visit = [&](int64_t pc) {
    if (pc < 0 || pc >= slots) return false;
    for (int32_t k = 0; k < seenCount; ++k) {
      if (seen[k] == pc) return true;
    }
    if (seenCount == WAY_SLOT_LIMIT) return false;
    seen[seenCount++] = static_cast<int32_t>(pc);
    pending[pendingCount++] = static_cast<int32_t>(pc);
    return true;
  };
  if (!visit(start)) return false;
  while (pendingCount > 0) {
    const int32_t pc = pending[--pendingCount];
    const Instruction& in = program[pc];
    switch (in.opcode) {
      case OP_GROUP_START:
      case OP_GROUP_END:
      case OP_MARK_CURSOR:
      case OP_COUNT_RESET:  // before a counted loop's first pass, which it must take
        if (!visit(pc + 1)) return false;
        break;
      case OP_JUMP:
        if (!visit(int64_t{pc} + in.next())) return false;
        break;
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
        if (in.passGuard() != 0 || !visit(int64_t{pc} + in.branch()) ||
            !visit(int64_t{pc} + in.next())) {
          return false;
        }
        break;
      case OP_CHAR:
      case OP_SET:
      case OP_ANY:
      case OP_CHAR_SCAN:
      case OP_SET_SCAN: {
        // An item that reads across lines may take a CR LF pair as its line
        // feed; a scan takes its item once before anything else.
        if (in.crossLines() != 0) return false;
        uint8_t item[32];
        bool oneByte = oneByteItem(in, charMode, item, true);
        if (!oneByte && !characterLeadBytes(in, charMode, item, &oneByte)) return false;
        for (int32_t k = 0; k < 32; ++k) bytes[k] |= item[k];
        const bool scan = in.opcode == OP_CHAR_SCAN || in.opcode == OP_SET_SCAN;
        // After a character of several bytes the next item's byte is not
        // at the next offset.
        items[itemCount++] = scan || !oneByte ? -1 : pc;
        break;
      }
      default:
        return false;
    }
  }
  if (second == nullptr) return true;
  std::memset(second, 0, 32);
  for (int32_t k = 0; k < itemCount; ++k) {
    uint8_t after[32];
    const int32_t pc = items[k];
    if (pc < 0 || !firstBytesOfWay(program, slots,
                                   pc + slotLength(program[pc], compiledPattern.encodingMode),
                                   charMode, after, nullptr)) {
      std::memset(second, 0xFF, 32);
      break;
    }
    for (int32_t b = 0; b < 32; ++b) second[b] |= after[b];
  }
  return true;
}

void freeTables() {
  memFree(skips.linkOf);
  memFree(skips.links);
  memFree(skips.chains);
  memFree(skips.chainSlots);
  memFree(skips.byteStarts);
  memFree(skips.entries);
  skips = Skips{};
}

bool makeTables(const Instruction* program, int32_t slots, int32_t charMode) {
  const int32_t encodingMode = compiledPattern.encodingMode;
  if (!memGrowArray(&skips.linkOf, slots)) return false;
  int32_t capacity = 0;
  for (int32_t pc = 0; pc < slots;) {
    const Instruction& in = program[pc];
    skips.linkOf[pc] = -1;
    const int32_t length = slotLength(in, encodingMode);
    for (int32_t k = 1; k < length && pc + k < slots; ++k) skips.linkOf[pc + k] = -1;
    uint8_t bytes[32];
    uint8_t second[32];
    if (in.opcode == OP_SPLIT_FIRST && in.passGuard() == 0 && in.next() > 0 &&
        firstBytesOfWay(program, slots, pc + in.branch(), charMode, bytes, second)) {
      if (skips.linkCount == capacity) {
        capacity = capacity < 64 ? 64 : capacity * 2;
        if (!memGrowArray(&skips.links, capacity)) return false;
      }
      Link& link = skips.links[skips.linkCount];
      link.slot = pc;
      link.chain = -1;
      link.index = 0;
      std::memcpy(link.bytes, bytes, 32);
      std::memcpy(link.second, second, 32);
      skips.linkOf[pc] = skips.linkCount++;
    }
    pc += length < 1 ? 1 : length;
  }
  if (skips.linkCount == 0) return true;
  // Chains, from their first links (which come first in the program: a
  // fallback leads forward).
  if (!memGrowArray(&skips.chains, skips.linkCount) ||
      !memGrowArray(&skips.chainSlots, skips.linkCount)) {
    return false;
  }
  int32_t placed = 0;
  for (int32_t id = 0; id < skips.linkCount; ++id) {
    if (skips.links[id].chain >= 0) continue;
    Chain& chain = skips.chains[skips.chainCount];
    chain.firstSlot = placed;
    chain.count = 0;
    chain.byteStarts = -1;
    int32_t at = id;
    for (;;) {
      Link& link = skips.links[at];
      link.chain = skips.chainCount;
      link.index = chain.count++;
      skips.chainSlots[placed++] = link.slot;
      const int64_t fallback = int64_t{link.slot} + program[link.slot].next();
      chain.endSlot = static_cast<int32_t>(fallback);
      if (fallback >= slots || skips.linkOf[fallback] < 0 ||
          skips.links[skips.linkOf[fallback]].chain >= 0) {
        break;
      }
      at = skips.linkOf[fallback];
    }
    ++skips.chainCount;
  }
  // Links of short chains are dropped.
  for (int32_t c = 0; c < skips.chainCount; ++c) {
    const Chain& chain = skips.chains[c];
    if (chain.count >= CHAIN_MIN) {
      skips.liveLinks += chain.count;
      continue;
    }
    for (int32_t k = 0; k < chain.count; ++k) skips.linkOf[skips.chainSlots[chain.firstSlot + k]] = -1;
  }
  // The byte lists of the long chains.
  int64_t entryCount = 0;
  int64_t boundCount = 0;
  for (int32_t c = 0; c < skips.chainCount; ++c) {
    const Chain& chain = skips.chains[c];
    if (chain.count < INDEXED_CHAIN) continue;
    int64_t entries = 0;
    for (int32_t k = 0; k < chain.count; ++k) {
      const Link& link = skips.links[skips.linkOf[skips.chainSlots[chain.firstSlot + k]]];
      for (int32_t b = 0; b < 32; ++b) entries += __builtin_popcount(link.bytes[b]);
    }
    if (entryCount + entries > ENTRY_LIMIT) continue;
    skips.chains[c].byteStarts = boundCount;
    boundCount += 257;
    entryCount += entries;
  }
  if (boundCount == 0) return true;
  if (!memGrowArray(&skips.byteStarts, boundCount) ||
      !memGrowArray(&skips.entries, entryCount > 0 ? entryCount : 1)) {
    return false;
  }
  int64_t next = 0;
  for (int32_t c = 0; c < skips.chainCount; ++c) {
    const Chain& chain = skips.chains[c];
    if (chain.byteStarts < 0) continue;
    for (int32_t b = 0; b < 256; ++b) {
      skips.byteStarts[chain.byteStarts + b] = next;
      for (int32_t k = 0; k < chain.count; ++k) {
        const Link& link = skips.links[skips.linkOf[skips.chainSlots[chain.firstSlot + k]]];
        if ((link.bytes[b >> 3] >> (b & 7)) & 1) {
          Entry& entry = skips.entries[next++];
          entry.index = k;
          std::memcpy(entry.second, link.second, 32);
        }
      }
    }
    skips.byteStarts[chain.byteStarts + 256] = next;
  }
  return true;
}

}  // namespace

bool oneByteItem(const Instruction& in, int32_t charMode, uint8_t* bitmap, bool scans) {
  std::memset(bitmap, 0, 32);
  const bool utf8 = charMode == ENCODING_UTF8;
  const uint8_t opcode = !scans                       ? in.opcode
                         : in.opcode == OP_CHAR_SCAN ? static_cast<uint8_t>(OP_CHAR)
                         : in.opcode == OP_SET_SCAN  ? static_cast<uint8_t>(OP_SET)
                                                     : in.opcode;
  switch (opcode) {
    case OP_CHAR:
      if (in.accepted() > 0xFF || in.acceptedVariant() > 0xFF ||
          (utf8 && (in.accepted() >= 0x80 || in.acceptedVariant() >= 0x80 ||
                    compiledPattern.ignoreCase != 0))) {
        return false;
      }
      bitmap[in.accepted() >> 3] |= static_cast<uint8_t>(1u << (in.accepted() & 7));
      bitmap[in.acceptedVariant() >> 3] |= static_cast<uint8_t>(1u << (in.acceptedVariant() & 7));
      return true;
    case OP_ANY:
      if (utf8) return false;
      std::memset(bitmap, 0xFF, 32);
      return true;
    case OP_SET: {
      const uint8_t* data = reinterpret_cast<const uint8_t*>(&in + 1);
      if (!utf8) {
        std::memcpy(bitmap, data, 32);
        return true;
      }
      // A serialized set of ASCII members alone: low, high, no pairs, and
      // the bitmap bytes from low's to high's.
      uint32_t header[3];
      std::memcpy(header, data, sizeof header);
      if ((in.setFlags() & SET_HOLDS_INVALID_BYTES) != 0 || header[2] != 0 || header[1] >= 0x80) {
        return false;
      }
      for (uint32_t k = header[0] >> 3; header[0] <= header[1] && k <= header[1] >> 3; ++k) {
        bitmap[k] = data[sizeof header + k - (header[0] >> 3)];
      }
      return true;
    }
    default:
      return false;
  }
}

namespace {

// Makes the tables for the compiled pattern's program in the text's mode.
void makeAlternativeSkips() {
  const Instruction* program = compiledPattern.program;
  const int32_t mode = textSource.charMode;
  const uint32_t generation = compiledPattern.generation;
  freeTables();
  AlternativeSkipKey& key = alternativeSkipKey;
  key = AlternativeSkipKey{program, generation, mode, compiledPattern.ignoreCase, false};
  const int32_t slots = compiledPattern.lastSlot + 1;
  if (!enabled || generation == 0 || mode == ENCODING_DOUBLE_BYTE || slots < 1) return;
  if (!makeTables(program, slots, mode)) {
    freeTables();
    return;
  }
  skips.program = program;
  skips.slots = slots;
  key.linked = skips.liveLinks > 0;
}

}  // namespace

const Instruction* makeAndPassAlternatives(const Instruction* in) {
  makeAlternativeSkips();
  return alternativeSkipKey.linked ? passLinkedAlternatives(in) : in;
}

const Instruction* passLinkedAlternatives(const Instruction* in) {
  const int64_t at = in - skips.program;
  if (at < 0 || at >= skips.slots) return in;
  const int32_t id = skips.linkOf[at];
  if (id < 0) return in;
  // An item that takes a character there has it begin with the byte at
  // the pointer, however it reads it (straight, or through the source at
  // the window's end); the byte after is known while the window holds it,
  // and every byte stands for it otherwise.
  const MatcherState& s = matcher;
  if (s.cur >= s.windowEnd) return in;
  const uint8_t b = s.cur[0];
  const Link& link = skips.links[id];
  const bool second = s.windowEnd - s.cur > 1;
  const uint8_t after = second ? s.cur[1] : 0;
  const auto mayFollow = [second, after](const uint8_t* bytes) {
    return !second || ((bytes[after >> 3] >> (after & 7)) & 1) != 0;
  };
  if (((link.bytes[b >> 3] >> (b & 7)) & 1) && mayFollow(link.second)) return in;
  const Chain& chain = skips.chains[link.chain];
  if (chain.byteStarts < 0) return in + in->next();
  const Entry* first = skips.entries + skips.byteStarts[chain.byteStarts + b];
  const Entry* last = skips.entries + skips.byteStarts[chain.byteStarts + b + 1];
  const Entry* found = std::upper_bound(
      first, last, link.index, [](int32_t index, const Entry& entry) { return index < entry.index; });
  while (found != last && !mayFollow(found->second)) ++found;
  if (found == last) return skips.program + chain.endSlot;
  return skips.program + skips.chainSlots[chain.firstSlot + found->index];
}

int32_t alternativeSkipLinks() { return alternativeSkipKey.linked ? skips.liveLinks : 0; }

void setAlternativeSkipsEnabled(bool on) {
  enabled = on;
  alternativeSkipKey = AlternativeSkipKey{};
}
