// The sliding window over the file being searched, and the text-source
// operations the search functions read it through.
//
// One 65536-byte buffer of four holds one block of the file at a time;
// another keeps the block held before, so that a search that looked past
// the block's end and moves back, and then on again, reads nothing twice,
// and another the block after it, read ahead. Each block has its home
// buffer, its block number modulo four, so that a block read again (a
// search that went forward through a long line and back) comes back to the
// same addresses, where what the engines kept by pointer still holds. A
// forward load that finds its block nowhere reads it and the next in one
// call where their home buffers lie side by side, and the load after takes
// the second from there: a system call per 64 KiB costs a search that finds
// little some 10 % of its time. A separate buffer serves the backward
// search for a line start.
// In line mode the window keeps the cursor's line number, the start of its
// line (as a pointer where the window holds it, and as a file offset) and the
// end of the line in the window. Forward moves count the line feeds over the
// bytes they pass and note the last one; moves within the current line are
// pointer assignments. Backward moves walk back with the same bookkeeping,
// reloading the previous block when they leave the window. A caller that
// needs no more line numbers (setLineTracking) spares the forward moves the
// counting, or the whole line bookkeeping. In record mode
// lines play no part: the window is reloaded where a move needs it and the
// boundaries are computed from the record length and base.
//
// Counting and finding line feeds is the hot path of a search over a large
// file, so it runs over 32-byte (AVX2) or 16-byte (SSE2) blocks, chosen once
// at run time, with a plain loop for processors that have neither.
//
// Bytes outside the window are read back from the stream one at a time; a
// failed seek or read counts as no byte, and a block read that yields nothing
// ends the data. Tested by text_window_test.cpp and literal_search_test.cpp.
#include "driver/text_window.h"

#include <immintrin.h>

#include <cstring>

#include "console/message_catalogue.h"
#include "pattern/text_source.h"
#include "support/text_encoding.h"

namespace {

// The window's buffers: the one the window holds, the one that keeps the
// block it held before, the one that holds the block after it, read ahead,
// and one more, so that each block has a home buffer.
constexpr int32_t BLOCK_BUFFERS = 4;
alignas(4096) uint8_t blockBuffers[BLOCK_BUFFERS][WINDOW_SIZE];

}  // namespace

TextWindow textWindow = [] {
  TextWindow window{};
  window.window = blockBuffers[0];
  return window;
}();

namespace {

alignas(64) uint8_t backwardBuffer[WINDOW_SIZE];

// ---------------------------------------------------------------------------
// Line-feed scanning

struct LineScanner {
  int64_t (*count)(const uint8_t* from, const uint8_t* to);
  const uint8_t* (*findFirst)(const uint8_t* from, const uint8_t* to);  // null when none
  const uint8_t* (*findLast)(const uint8_t* from, const uint8_t* to);   // null when none
  // The line feeds in [from, to), and in *last the last of them when there
  // is one: what a forward move needs, in one pass where the range is short.
  int64_t (*countNotingLast)(const uint8_t* from, const uint8_t* to, const uint8_t** last);
  // The first line feed in [from, to), or to; *plain as findLineFeedNoting.
  const uint8_t* (*findFirstNoting)(const uint8_t* from, const uint8_t* to, bool* plain);
};

int64_t countScalar(const uint8_t* from, const uint8_t* to) {
  int64_t count = 0;
  for (const uint8_t* q = from; q < to; ++q) count += *q == '\n';
  return count;
}

const uint8_t* findFirstScalar(const uint8_t* from, const uint8_t* to) {
  if (from >= to) return nullptr;
  return static_cast<const uint8_t*>(std::memchr(from, '\n', static_cast<size_t>(to - from)));
}

const uint8_t* findLastScalar(const uint8_t* from, const uint8_t* to) {
  for (const uint8_t* q = to; q > from;) {
    if (*--q == '\n') return q;
  }
  return nullptr;
}

bool shownOtherwise(uint8_t c) { return c == '\r' || c == 0x01; }

const uint8_t* findFirstNotingScalar(const uint8_t* from, const uint8_t* to, bool* plain) {
  bool others = false;
  const uint8_t* q = from;
  for (; q < to && *q != '\n'; ++q) others |= shownOtherwise(*q);
  *plain = !others;
  return q;
}

// The vector scans read whole aligned blocks of 16 or 32 bytes and mask off
// the bytes outside [from, to): a short range, as between two matches on
// nearby lines, then costs a block or two and no byte-by-byte loop at its
// ends. Every range lies in the window or the backward buffer, which are
// aligned and a whole number of blocks long, so no block reaches outside
// them.
template <int32_t BLOCK>
const uint8_t* blockOf(const uint8_t* p) {
  return reinterpret_cast<const uint8_t*>(reinterpret_cast<uintptr_t>(p) &
                                          ~static_cast<uintptr_t>(BLOCK - 1));
}

// The bits of a block's mask for the bytes at index `from` and after, and
// for those before index `to` (0 < to <= 32).
inline uint32_t bitsFrom(int64_t from) { return ~0u << from; }
inline uint32_t bitsBefore(int64_t to) { return to >= 32 ? ~0u : (1u << to) - 1; }

[[gnu::target("sse2")]] inline uint32_t lineFeedMask16(const uint8_t* block) {
  const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
}

[[gnu::target("avx2")]] inline uint32_t lineFeedMask32(const uint8_t* block) {
  const __m256i bytes = _mm256_load_si256(reinterpret_cast<const __m256i*>(block));
  return static_cast<uint32_t>(
      _mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n'))));
}

[[gnu::target("sse2")]] int64_t countSse2(const uint8_t* from, const uint8_t* to) {
  if (from >= to) return 0;
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  int64_t count = 0;
  // The first block alone, then whole blocks into byte counters, which
  // overflow after 255 blocks and are folded into the total before that;
  // the last block, partly in the range, by its mask.
  const uint8_t* q = blockOf<16>(from);
  count += __builtin_popcount(lineFeedMask16(q) & bitsFrom(from - q) & bitsBefore(to - q));
  q += 16;
  while (to - q >= 16) {
    __m128i counters = zero;
    int32_t blocks = 0;
    while (to - q >= 16 && blocks < 255) {
      counters = _mm_sub_epi8(
          counters, _mm_cmpeq_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(q)), lineFeed));
      q += 16;
      ++blocks;
    }
    const __m128i sums = _mm_sad_epu8(counters, zero);
    count += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
  }
  if (to > q) count += __builtin_popcount(lineFeedMask16(q) & bitsBefore(to - q));
  return count;
}

[[gnu::target("sse2")]] const uint8_t* findFirstSse2(const uint8_t* from, const uint8_t* to) {
  if (from >= to) return nullptr;
  const uint8_t* block = blockOf<16>(from);
  uint32_t bits = lineFeedMask16(block) & bitsFrom(from - block);
  while (bits == 0) {
    block += 16;
    if (block >= to) return nullptr;
    bits = lineFeedMask16(block);
  }
  const uint8_t* found = block + __builtin_ctz(bits);
  return found < to ? found : nullptr;
}

[[gnu::target("sse2")]] const uint8_t* findLastSse2(const uint8_t* from, const uint8_t* to) {
  if (from >= to) return nullptr;
  const uint8_t* block = blockOf<16>(to - 1);
  uint32_t bits = lineFeedMask16(block) & bitsBefore(to - block);
  while (bits == 0) {
    if (block <= from) return nullptr;
    block -= 16;
    bits = lineFeedMask16(block);
  }
  const uint8_t* found = block + (31 - __builtin_clz(bits));
  return found >= from ? found : nullptr;
}

// A block's line feeds, and its carriage returns and 0x01 bytes.
[[gnu::target("sse2")]] inline uint32_t shownOtherwiseMask16(const uint8_t* block) {
  const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(
      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8(0x01)))));
}

[[gnu::target("avx2")]] inline uint32_t shownOtherwiseMask32(const uint8_t* block) {
  const __m256i bytes = _mm256_load_si256(reinterpret_cast<const __m256i*>(block));
  return static_cast<uint32_t>(_mm256_movemask_epi8(
      _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\r')),
                      _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(0x01)))));
}

// Whether the bytes that `others` marks, up to the first that `feeds` marks,
// leave the line plain.
inline bool plainBeforeFirst(uint32_t feeds, uint32_t others) {
  return (others & ((feeds & (0 - feeds)) - 1)) == 0;
}

[[gnu::target("sse2")]] const uint8_t* findFirstNotingSse2(const uint8_t* from, const uint8_t* to,
                                                           bool* plain) {
  bool others = false;
  for (const uint8_t* block = blockOf<16>(from); block < to; block += 16) {
    uint32_t inRange = bitsBefore(to - block);
    if (block < from) inRange &= bitsFrom(from - block);
    const uint32_t feeds = lineFeedMask16(block) & inRange;
    const uint32_t marked = shownOtherwiseMask16(block) & inRange;
    if (feeds != 0) {
      *plain = !others && plainBeforeFirst(feeds, marked);
      return block + __builtin_ctz(feeds);
    }
    others |= marked != 0;
  }
  *plain = !others;
  return to;
}

[[gnu::target("avx2,popcnt")]] int64_t countAvx2(const uint8_t* from, const uint8_t* to) {
  if (from >= to) return 0;
  const __m256i lineFeed = _mm256_set1_epi8('\n');
  const __m256i zero = _mm256_setzero_si256();
  const uint8_t* q = blockOf<32>(from);
  int64_t count =
      __builtin_popcount(lineFeedMask32(q) & bitsFrom(from - q) & bitsBefore(to - q));
  q += 32;
  while (to - q >= 32) {
    __m256i counters = zero;
    // Four blocks a step, into two counters, so that the loop's own work and
    // the chain of additions do not set the pace. The two together take at
    // most 252 blocks, and the single blocks after them up to 255 in all.
    __m256i others = zero;
    int32_t blocks = 0;
    while (to - q >= 128 && blocks < 252) {
      const __m256i* at = reinterpret_cast<const __m256i*>(q);
      counters = _mm256_sub_epi8(counters, _mm256_cmpeq_epi8(_mm256_load_si256(at), lineFeed));
      others = _mm256_sub_epi8(others, _mm256_cmpeq_epi8(_mm256_load_si256(at + 1), lineFeed));
      counters = _mm256_sub_epi8(counters, _mm256_cmpeq_epi8(_mm256_load_si256(at + 2), lineFeed));
      others = _mm256_sub_epi8(others, _mm256_cmpeq_epi8(_mm256_load_si256(at + 3), lineFeed));
      q += 128;
      blocks += 4;
    }
    counters = _mm256_add_epi8(counters, others);
    while (to - q >= 32 && blocks < 255) {
      const __m256i bytes = _mm256_load_si256(reinterpret_cast<const __m256i*>(q));
      counters = _mm256_sub_epi8(counters, _mm256_cmpeq_epi8(bytes, lineFeed));
      q += 32;
      ++blocks;
    }
    const __m256i sums = _mm256_sad_epu8(counters, zero);
    const __m128i pairs =
        _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    count += _mm_cvtsi128_si32(pairs) + _mm_cvtsi128_si32(_mm_srli_si128(pairs, 8));
  }
  if (to > q) count += __builtin_popcount(lineFeedMask32(q) & bitsBefore(to - q));
  return count;
}

[[gnu::target("avx2")]] const uint8_t* findFirstAvx2(const uint8_t* from, const uint8_t* to) {
  if (from >= to) return nullptr;
  const uint8_t* block = blockOf<32>(from);
  uint32_t bits = lineFeedMask32(block) & bitsFrom(from - block);
  while (bits == 0) {
    block += 32;
    if (block >= to) return nullptr;
    bits = lineFeedMask32(block);
  }
  const uint8_t* found = block + __builtin_ctz(bits);
  return found < to ? found : nullptr;
}

[[gnu::target("avx2")]] const uint8_t* findLastAvx2(const uint8_t* from, const uint8_t* to) {
  if (from >= to) return nullptr;
  const uint8_t* block = blockOf<32>(to - 1);
  uint32_t bits = lineFeedMask32(block) & bitsBefore(to - block);
  while (bits == 0) {
    if (block <= from) return nullptr;
    block -= 32;
    bits = lineFeedMask32(block);
  }
  const uint8_t* found = block + (31 - __builtin_clz(bits));
  return found >= from ? found : nullptr;
}

[[gnu::target("avx2")]] const uint8_t* findFirstNotingAvx2(const uint8_t* from, const uint8_t* to,
                                                           bool* plain) {
  bool others = false;
  for (const uint8_t* block = blockOf<32>(from); block < to; block += 32) {
    uint32_t inRange = bitsBefore(to - block);
    if (block < from) inRange &= bitsFrom(from - block);
    const uint32_t feeds = lineFeedMask32(block) & inRange;
    const uint32_t marked = shownOtherwiseMask32(block) & inRange;
    if (feeds != 0) {
      *plain = !others && plainBeforeFirst(feeds, marked);
      return block + __builtin_ctz(feeds);
    }
    others |= marked != 0;
  }
  *plain = !others;
  return to;
}

template <int64_t (*COUNT)(const uint8_t*, const uint8_t*),
          const uint8_t* (*FIND_LAST)(const uint8_t*, const uint8_t*)>
int64_t countThenFindLast(const uint8_t* from, const uint8_t* to, const uint8_t** last) {
  const int64_t count = COUNT(from, to);
  if (count != 0) *last = FIND_LAST(from, to);
  return count;
}

// Up to this many bytes the masks of the blocks are counted one by one,
// which notes the last line feed on the way; over longer ranges the byte
// counters of countAvx2 are faster, and the last line feed is searched for
// back from the end.
constexpr int64_t SHORT_RANGE = 512;

[[gnu::target("avx2,popcnt")]] int64_t countNotingLastAvx2(const uint8_t* from, const uint8_t* to,
                                                           const uint8_t** last) {
  if (to - from > SHORT_RANGE) return countThenFindLast<countAvx2, findLastAvx2>(from, to, last);
  int64_t count = 0;
  const uint8_t* lastBlock = nullptr;
  uint32_t lastBits = 0;
  for (const uint8_t* block = blockOf<32>(from); block < to; block += 32) {
    uint32_t bits = lineFeedMask32(block) & bitsBefore(to - block);
    if (block < from) bits &= bitsFrom(from - block);
    count += __builtin_popcount(bits);
    if (bits != 0) {
      lastBlock = block;
      lastBits = bits;
    }
  }
  if (count != 0) *last = lastBlock + (31 - __builtin_clz(lastBits));
  return count;
}

const LineScanner SCANNER_SCALAR = {countScalar, findFirstScalar, findLastScalar,
                                    countThenFindLast<countScalar, findLastScalar>,
                                    findFirstNotingScalar};
const LineScanner SCANNER_SSE2 = {countSse2, findFirstSse2, findLastSse2,
                                  countThenFindLast<countSse2, findLastSse2>, findFirstNotingSse2};
const LineScanner SCANNER_AVX2 = {countAvx2, findFirstAvx2, findLastAvx2, countNotingLastAvx2,
                                  findFirstNotingAvx2};

const LineScanner* lineScanner = nullptr;
int32_t lineScannerKind = -1;

void chooseLineScanner(int32_t kind) {
  __builtin_cpu_init();
  if (kind < LINE_SCAN_SCALAR || kind > LINE_SCAN_AVX2) kind = LINE_SCAN_AVX2;
  if (kind == LINE_SCAN_AVX2 &&
      (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("popcnt"))) {
    kind = LINE_SCAN_SSE2;
  }
  if (kind == LINE_SCAN_SSE2 && !__builtin_cpu_supports("sse2")) kind = LINE_SCAN_SCALAR;
  lineScannerKind = kind;
  lineScanner = kind == LINE_SCAN_AVX2   ? &SCANNER_AVX2
                : kind == LINE_SCAN_SSE2 ? &SCANNER_SSE2
                                         : &SCANNER_SCALAR;
}

// ---------------------------------------------------------------------------
// Window bookkeeping

TextWindow& tw = textWindow;

int64_t dataLength() { return tw.dataEnd - tw.window; }

// File offset of the byte at window + i; i may lie outside the window.
int64_t offsetAt(int64_t i) { return i + tw.windowOffset; }
int64_t offsetOf(const uint8_t* p) { return offsetAt(p - tw.window); }

// The file opened last; 0 for a stream that cannot seek, whose bytes are not
// read back the same.
uint32_t openedText = 0;

// A block of the file kept in a buffer besides the window's.
struct KeptBlock {
  uint8_t* bytes = nullptr;
  int64_t offset = -1;  // file offset of bytes[0]; -1 when it holds nothing
  int64_t count = 0;

  bool holds(int64_t at) const { return offset >= 0 && at >= offset && at - offset < count; }
  bool holdsExactly(int64_t from, int64_t length) const {
    return offset == from && count == length && length > 0;
  }
  bool within(const uint8_t* from, int64_t length) const {
    return offset >= 0 && bytes >= from && bytes < from + length;
  }
};

// The block the window held before its current one (spare), and the one
// after the window's data, read ahead (ahead). A search that looked past the
// window's end (an engine reading on through a line, a match that began
// before the block it ended in) moves back into the block before, and then
// forward again: both moves take the block from here instead of reading it
// once more. Only for a text that reads back the same (openedText is not 0).
KeptBlock spare;
KeptBlock ahead;

// The kept block that holds a file offset, or null.
const KeptBlock* keptBlockAt(int64_t offset) {
  if (spare.holds(offset)) return &spare;
  if (ahead.holds(offset)) return &ahead;
  return nullptr;
}

// Forgets the kept blocks whose buffer lies in [from, from + length), which a
// read is about to fill.
void forgetKeptIn(const uint8_t* from, int64_t length) {
  if (spare.within(from, length)) spare.offset = -1;
  if (ahead.within(from, length)) ahead.offset = -1;
}

// The buffer of the block at `offset`: its home, or where the window or a
// block to keep stands there (a jump by a multiple of four blocks, a block
// that does not start at a multiple of the block size), the next other.
int32_t homeOf(int64_t offset) {
  return static_cast<int32_t>((offset / WINDOW_SIZE) % BLOCK_BUFFERS);
}

int32_t bufferFor(int64_t offset, const KeptBlock& keep) {
  int32_t index = homeOf(offset);
  while (blockBuffers[index] == tw.window || (keep.offset >= 0 && blockBuffers[index] == keep.bytes)) {
    index = (index + 1) % BLOCK_BUFFERS;
  }
  return index;
}

// The part of `length` bytes from `offset` that lies within the file's size
// as it was when it was opened. A file that grows while it is searched is
// searched as it was: every test of the end of the text answers by that
// size, so data read past it would be searched by some operations and not by
// others, and a match that ran across the old end would be lost while later
// ones were found.
int64_t lengthWithinFile(int64_t offset, int64_t length) {
  const int64_t left = tw.fileSize - offset;
  if (left <= 0) return 0;
  return left < length ? left : length;
}

// A look past the window's end (whether a line that runs on goes on, the
// rest of a line shown): the block that follows is read whole into a buffer
// that neither the window nor the block before it takes, where the window's
// next fill finds it, instead of a piece of it through the stream's buffer
// and the rest again. The kept block that then holds `offset`, or null.
const KeptBlock* readAhead(int64_t offset) {
  const int64_t next = tw.windowOffset + dataLength();
  if (openedText == 0 || offset < next || offset - next >= WINDOW_SIZE) return nullptr;
  const int64_t wanted = lengthWithinFile(next, WINDOW_SIZE);
  if (wanted <= 0) return nullptr;
  ahead = {blockBuffers[bufferFor(next, spare)], -1, 0};
  if (seekStream(tw.stream, next, 0) != 0 ||
      readItems(ahead.bytes, 1, wanted, tw.stream) != wanted) {
    return nullptr;
  }
  ahead.offset = next;
  ahead.count = wanted;
  return ahead.holds(offset) ? &ahead : nullptr;
}

// The kept block that holds a file offset, reading the block after the
// window ahead when the offset lies there; null otherwise.
const KeptBlock* keptOrReadAhead(int64_t offset) {
  const KeptBlock* kept = keptBlockAt(offset);
  return kept != nullptr ? kept : readAhead(offset);
}

// The byte at a file offset: from the window when it holds it, else read
// from the stream; -1 when there is none or the read fails.
int32_t byteAtOffset(int64_t offset) {
  if (offset < 0 || offset >= tw.fileSize) return -1;
  const int64_t inWindow = offset - tw.windowOffset;
  if (inWindow >= 0 && inWindow < dataLength()) return tw.window[inWindow];
  const KeptBlock* kept = keptOrReadAhead(offset);
  if (kept != nullptr) return kept->bytes[offset - kept->offset];
  if (seekStream(tw.stream, offset, 0) != 0) return -1;
  return getByte(tw.stream);
}

int32_t byteBeforeCursor() {
  if (tw.cursor > tw.window) return tw.cursor[-1];
  return byteAtOffset(tw.windowOffset - 1);
}

// One past the first line feed at or after p, or the data end.
uint8_t* lineEndFrom(uint8_t* p) {
  if (tw.lineTracking == LINES_UNTRACKED) return tw.dataEnd;
  const uint8_t* lineFeed = lineScanner->findFirst(p, tw.dataEnd);
  return lineFeed != nullptr ? const_cast<uint8_t*>(lineFeed) + 1 : tw.dataEnd;
}

// Counts the line feeds in [from, to) into the cursor's line.
void passLineFeeds(uint8_t* from, uint8_t* to) {
  if (from >= to || tw.lineTracking == LINES_UNTRACKED) return;
  const uint8_t* lineFeed = nullptr;
  if (tw.lineTracking == LINES_NUMBERED) {
    const int64_t count = lineScanner->countNotingLast(from, to, &lineFeed);
    if (count == 0) return;
    tw.lineNumber += count;
  } else {
    lineFeed = lineScanner->findLast(from, to);
    if (lineFeed == nullptr) return;
  }
  tw.lineStart = const_cast<uint8_t*>(lineFeed) + 1;
  tw.lineStartOffset = offsetOf(tw.lineStart);
}

// Takes back the line feeds in [from, to) when the cursor moves back over
// them; the lowest one passed ends the cursor's new line.
void passLineFeedsBackward(uint8_t* from, uint8_t* to) {
  if (from >= to) return;
  const int64_t count = lineScanner->count(from, to);
  if (count == 0) return;
  tw.lineNumber -= count;
  tw.lineEnd = const_cast<uint8_t*>(lineScanner->findFirst(from, to)) + 1;
}

// Makes the window hold the file's bytes from `offset` on, up to `length` of
// them: from a kept block that holds exactly those, else read (after a seek,
// which only `mustSeek` requires to succeed) into its buffer, together with
// the block after it when the load goes forward over a text that reads back
// the same and the next buffer is that block's home. The block left becomes
// the spare. Returns the count held; 0 or less (end of file, or a failure)
// leaves the window as it was.
int64_t fillWindow(int64_t offset, int64_t length, bool mustSeek) {
  const int64_t wanted = lengthWithinFile(offset, length);
  const KeptBlock left = {tw.window, tw.windowOffset, dataLength()};
  uint8_t* filled = nullptr;
  int64_t count = wanted;
  if (openedText != 0 && ahead.holdsExactly(offset, wanted)) {
    filled = ahead.bytes;
    ahead.offset = -1;
  } else if (openedText != 0 && spare.holdsExactly(offset, wanted)) {
    filled = spare.bytes;
  } else {
    const int32_t index = bufferFor(offset, KeptBlock{});
    filled = blockBuffers[index];
    const bool forward = openedText != 0 && length == WINDOW_SIZE &&
                         offset == left.offset + left.count && index + 1 < BLOCK_BUFFERS &&
                         blockBuffers[index + 1] != tw.window &&
                         homeOf(offset + WINDOW_SIZE) == index + 1;
    const int64_t asked = forward ? lengthWithinFile(offset, 2 * WINDOW_SIZE) : wanted;
    forgetKeptIn(filled, asked);
    if (seekStream(tw.stream, offset, 0) != 0 && mustSeek) return -1;
    const int64_t got = readItems(filled, 1, asked, tw.stream);
    if (got <= 0) return got;
    count = got < wanted ? got : wanted;
    if (got > wanted) ahead = {filled + wanted, offset + wanted, got - wanted};
  }
  spare = left;
  tw.window = filled;
  tw.windowOffset = offset;
  tw.dataEnd = tw.window + count;
  ++textSource.windowLoads;
  return count;
}

// The block that follows the current data (line mode). On success the
// cursor and the line start are the window's first byte; an empty read
// leaves the window as it was.
int32_t loadNextBlock() {
  if (fillWindow(tw.windowOffset + dataLength(), WINDOW_SIZE, false) <= 0) return -1;
  tw.cursor = tw.lineStart = tw.window;
  tw.lineEnd = lineEndFrom(tw.window);
  return 0;
}

int32_t readBlockAt(int64_t offset, int64_t length) {
  return fillWindow(offset, length, true) > 0 ? 0 : -1;
}

void reportReadFailure() { printMessageLine(messageText(MSG_READ_FAILED)); }

// File offset of the start of the line that holds the byte before `offset`,
// searched backwards through the file in blocks; -1 after a short read.
int64_t findLineStartBefore(int64_t offset) {
  int64_t end = offset;
  while (end > 0) {
    const int64_t start = end > WINDOW_SIZE ? end - WINDOW_SIZE : 0;
    const int64_t wanted = end - start;
    if (seekStream(tw.stream, start, 0) != 0 ||
        readItems(backwardBuffer, 1, wanted, tw.stream) != wanted) {
      reportReadFailure();
      return -1;
    }
    const uint8_t* lineFeed = lineScanner->findLast(backwardBuffer, backwardBuffer + wanted);
    if (lineFeed != nullptr) return start + (lineFeed - backwardBuffer) + 1;
    end = start;
  }
  return 0;
}

bool onRecordBoundary(int64_t offset) {
  if (offset == tw.fileSize) return true;
  if (offset > tw.fileSize) return false;
  return (offset - tw.recordBase) % tw.recordLength == 0;
}

int32_t charAt(int32_t n) {
  const int64_t index = (tw.cursor - tw.window) + static_cast<int64_t>(n);
  if (index >= 0 && index < dataLength()) return tw.window[index];
  return byteAtOffset(offsetAt(index));
}

// ---------------------------------------------------------------------------
// Line mode

int32_t lineMoveBy(int32_t n);

int32_t lineAdvanceToIndex(int64_t target) {
  if (target < tw.lineEnd - tw.window) {
    if (target >= tw.lineStart - tw.window) {
      tw.cursor = tw.window + target;
      return 0;
    }
    return lineMoveBy(static_cast<int32_t>(target - (tw.cursor - tw.window)));
  }
  // Nothing between the cursor and the line feed that ends its line needs
  // counting. A cursor set past that line feed (to the data end, right after
  // a line feed that ends the data) counts from it too, so that it is
  // counted, unless a move has passed it already (the line then starts
  // after it): a move on from the end of the text counts it once.
  if ((target < dataLength() || tw.cursor >= tw.lineEnd) && tw.lineEnd > tw.window &&
      tw.lineStart < tw.lineEnd) {
    tw.cursor = tw.lineEnd - 1;
  }
  for (;;) {
    if (target < dataLength()) {
      uint8_t* position = tw.window + target;
      passLineFeeds(tw.cursor, position);
      tw.cursor = position;
      tw.lineEnd = lineEndFrom(position);
      return 0;
    }
    passLineFeeds(tw.cursor, tw.dataEnd);
    target -= dataLength();
    tw.cursor = tw.dataEnd;
    tw.lineEnd = tw.dataEnd;
    if (loadNextBlock() != 0) return -1;
  }
}

int32_t lineAdvanceTo(const uint8_t* position) {
  // Within the cursor's line, the move of every match of a dense search: no
  // line feed to count, so the cursor is all that changes.
  if (position < tw.lineEnd && position >= tw.lineStart) {
    tw.cursor = const_cast<uint8_t*>(position);
    return 0;
  }
  return lineAdvanceToIndex(position - tw.window);
}

int32_t lineMoveBy(int32_t n) {
  if (n >= 0) return n == 0 ? 0 : lineAdvanceToIndex((tw.cursor - tw.window) + n);
  const int64_t back = -static_cast<int64_t>(n);
  if (tw.cursor - tw.lineStart >= back) {
    tw.cursor -= back;
    return 0;
  }
  const int64_t startLine = tw.lineNumber;
  // Bytes still to go back once the cursor stands on the line start.
  int64_t remaining = back - (tw.cursor - tw.lineStart);
  tw.cursor = tw.lineStart;
  while (remaining > tw.cursor - tw.window) {
    passLineFeedsBackward(tw.window, tw.cursor);
    remaining -= tw.cursor - tw.window;
    tw.cursor = tw.lineStart = tw.window;
    if (tw.windowOffset <= 0) return -1;
    const int64_t start = tw.windowOffset > WINDOW_SIZE ? tw.windowOffset - WINDOW_SIZE : 0;
    if (readBlockAt(start, tw.windowOffset - start) != 0) return -1;
    tw.lineEnd = tw.dataEnd;
    tw.lineStart = tw.window;
    tw.cursor = tw.dataEnd;
  }
  passLineFeedsBackward(tw.cursor - remaining, tw.cursor);
  tw.cursor -= remaining;

  const uint8_t* lineFeed = lineScanner->findLast(tw.window, tw.cursor);
  if (lineFeed != nullptr) {
    tw.lineStart = const_cast<uint8_t*>(lineFeed) + 1;
    tw.lineStartOffset = offsetOf(tw.lineStart);
    return 0;
  }
  tw.lineStart = tw.window;
  // Back within the line the cursor was on, its start is known already. Only
  // a line left behind needs its start searched for; doing that on every
  // step back over a block boundary would read a long line back to its
  // start each time.
  if (tw.lineNumber == startLine) return 0;
  const int64_t lineStartOffset = findLineStartBefore(tw.windowOffset);
  if (lineStartOffset < 0) return -1;
  tw.lineStartOffset = lineStartOffset;
  return 0;
}

// Whether the offset is the end of a file whose last line has no line feed:
// that end closes the last line. After a final line feed no line remains to
// be closed.
bool endsUnterminatedLastLine(int64_t offset) {
  return offset == tw.fileSize && offset > 0 && byteAtOffset(offset - 1) != '\n';
}

// Answered for the end of an unterminated last line. It is positive, so a
// line-end test succeeds there while a line terminator, which must be one of
// the negative answers, is not found.
constexpr int32_t LINE_END_AT_FILE_END = 1;

int32_t lineAtLineEnd(int32_t n, int32_t) {
  const int32_t c = charAt(n);
  if (c == '\r') return LINE_END_CRLF;
  if (c < 0) {
    return endsUnterminatedLastLine(offsetOf(tw.cursor) + n) ? LINE_END_AT_FILE_END : 0;
  }
  if (c != '\n') return 0;
  // No carriage return can stand before the file's first byte.
  if (offsetOf(tw.cursor) + n == 0) return LINE_END_LF;
  int32_t before;
  if (n == 0) {
    before = byteBeforeCursor();
    if (before < 0) return 0;
  } else {
    before = charAt(n - 1);
  }
  return before == '\r' ? 0 : LINE_END_LF;
}

int32_t lineAtLineStart(int32_t) {
  if (offsetOf(tw.cursor) == 0) return 1;
  return byteBeforeCursor() == '\n' ? 1 : 0;
}

int32_t lineGoLineEnd(int32_t flag) {
  const int64_t start = offsetOf(tw.cursor);
  // The end of the file is the last line end there is; from there no further
  // one can be reached, so a search that goes on from it ends.
  if (start >= tw.fileSize) return -1;
  const int32_t c = byteAtOffset(start);
  if (flag == 0) {
    if (c == '\r' && byteAtOffset(offsetOf(tw.cursor) + 1) == '\n') {
      if (lineAdvanceToIndex((tw.cursor - tw.window) + 2) != 0) return -1;
    } else if (c == '\n') {
      if (lineAdvanceToIndex((tw.cursor - tw.window) + 1) != 0) return -1;
    }
  } else if (c == '\n') {
    // A line feed at the file's first byte has no carriage return before it.
    const int32_t before = start == 0 ? '\n' : byteBeforeCursor();
    if (before < 0) return -1;
    if (before != '\r') return 0;
    if (lineAdvanceToIndex((tw.cursor - tw.window) + 1) != 0) return -1;
  }
  // No line feed is passed on the way, so the line number stays right.
  for (;;) {
    uint8_t* q = tw.cursor;
    while (q < tw.dataEnd && *q != '\r' && *q != '\n') ++q;
    if (q < tw.dataEnd) {
      tw.cursor = q;
      tw.lineEnd = lineEndFrom(q);
      return 0;
    }
    tw.cursor = tw.lineEnd = tw.dataEnd;
    if (loadNextBlock() != 0) return endsUnterminatedLastLine(offsetOf(tw.cursor)) ? 0 : -1;
  }
}

int32_t lineGoLineStart(int32_t flag) {
  if (flag != 0 && lineAtLineStart(0)) return 0;
  for (;;) {
    const uint8_t* lineFeed = lineScanner->findFirst(tw.cursor, tw.dataEnd);
    if (lineFeed != nullptr) return lineAdvanceToIndex((lineFeed - tw.window) + 1);
    tw.cursor = tw.lineEnd = tw.dataEnd;
    if (loadNextBlock() != 0) return -1;
  }
}

// ---------------------------------------------------------------------------
// Record mode

int32_t recordAdvanceToOffset(int64_t offset) {
  const int64_t index = offset - tw.windowOffset;
  if (index >= 0 && index < dataLength()) {
    tw.cursor = tw.window + index;
    return 0;
  }
  if (offset < 0 || readBlockAt(offset, WINDOW_SIZE) != 0) return -1;
  tw.cursor = tw.lineStart = tw.window;
  tw.lineEnd = tw.dataEnd;
  return 0;
}

int32_t recordAdvanceTo(const uint8_t* position) {
  return recordAdvanceToOffset(offsetOf(position));
}

// Reads the block that holds `target` half a window in, so that moves either
// way stay in it, and puts the cursor there; -1 when it cannot be read.
int32_t recordLoadAround(int64_t target) {
  const int64_t start = target > WINDOW_SIZE / 2 ? target - WINDOW_SIZE / 2 : 0;
  if (readBlockAt(start, WINDOW_SIZE) != 0) return -1;
  tw.lineStart = tw.window;
  tw.lineEnd = tw.dataEnd;
  tw.cursor = tw.window + (target - start);
  return 0;
}

int32_t recordMoveBy(int32_t n) {
  if (n <= 0 && tw.cursor - tw.window >= -static_cast<int64_t>(n)) {
    tw.cursor += n;
    return 0;
  }
  const int64_t target = offsetOf(tw.cursor) + n;
  if (target < 0 || recordLoadAround(target) != 0) {
    reportReadFailure();
    return -1;
  }
  return 0;
}

int32_t recordBoundaryTest(int32_t n) { return onRecordBoundary(offsetOf(tw.cursor) + n) ? 1 : 0; }

int32_t recordAtLineEnd(int32_t n, int32_t) { return recordBoundaryTest(n); }

int32_t recordGoNext(int32_t flag) {
  if (flag != 0 && recordBoundaryTest(0)) return 0;
  const int64_t offset = offsetOf(tw.cursor);
  const int64_t next =
      ((offset - tw.recordBase) / tw.recordLength + 1) * tw.recordLength + tw.recordBase;
  return recordAdvanceToOffset(next);
}

// ---------------------------------------------------------------------------
// Operations common to both modes

void setPosition(const uint8_t* position) { tw.cursor = const_cast<uint8_t*>(position); }

void getWindow(const uint8_t** cursor, const uint8_t** advanceLimit, const uint8_t** dataEnd) {
  *cursor = tw.cursor;
  *advanceLimit = tw.lineEnd;
  *dataEnd = tw.dataEnd;
}

void getLineWindow(const uint8_t** cursor, const uint8_t** lineStart, const uint8_t** lineEnd,
                   uint32_t* stamp) {
  *cursor = tw.cursor;
  *lineStart = tw.lineStart;
  *lineEnd = tw.lineEnd;
  *stamp = 0;
}

// A forward move by a count that ends exactly at the end of the file has
// consumed the last byte: the matcher counts that as success, so it is told
// apart from a move that runs past the end.
int32_t lineAdvance(int32_t n) {
  const int64_t target = offsetOf(tw.cursor) + n;
  const int32_t result = lineAdvanceToIndex((tw.cursor - tw.window) + n);
  if (result != 0 && target == tw.fileSize && offsetOf(tw.cursor) == tw.fileSize) {
    return ADVANCE_AT_END;
  }
  return result;
}

int32_t recordAdvance(int32_t n) {
  const int64_t target = offsetOf(tw.cursor) + n;
  if (target == tw.fileSize) {
    // A move onto the end of the text from a window that stops short of it
    // (the last byte read through the stream): the window is moved to
    // hold the end, so that the cursor stands where the move went, and a
    // move back afterwards comes back to the right byte. A block read at
    // the end itself would be empty.
    if (target != offsetAt(dataLength()) && recordLoadAround(target) != 0) return -1;
    tw.cursor = tw.dataEnd;
    return ADVANCE_AT_END;
  }
  return recordAdvanceToOffset(target);
}

int32_t lineNextChar() {
  const int32_t c = charAt(0);
  lineAdvance(1);
  return c;
}

int32_t recordNextChar() {
  const int32_t c = charAt(0);
  recordAdvance(1);
  return c;
}

int32_t hasMore(int32_t n, int32_t crossLines) {
  const int64_t offset = offsetOf(tw.cursor) + n;
  if (offset >= tw.fileSize) return 0;
  if (crossLines != 0) return 1;
  // The line feed of a CR LF pair is no line end of its own, but it is part
  // of one: no item that stays on its line may take it as a character.
  if (tw.recordLength == 0) return lineAtLineEnd(n, 0) == 0 && charAt(n) != '\n' ? 1 : 0;
  return n == 0 || !onRecordBoundary(offset) ? 1 : 0;
}

void reportPosition(int32_t*, int32_t*, int32_t*) {}

uint32_t textPlace(const uint8_t* position, int64_t* offset) {
  *offset = offsetOf(position);
  return openedText;
}

// A block of the file copied for an engine that reads ahead or back of the
// window without moving it. The stream is positioned anew before every read
// of the window, so reading elsewhere here disturbs nothing. A stream that
// cannot seek gives nothing back.
int64_t readAt(int64_t offset, uint8_t* buffer, int64_t length) {
  if (tw.fileSize == INT64_MAX || offset < 0) return -1;
  const int64_t wanted = lengthWithinFile(offset, length);
  if (wanted <= 0) return 0;
  const int64_t inWindow = offset - tw.windowOffset;
  if (inWindow >= 0 && inWindow + wanted <= dataLength()) {
    std::memcpy(buffer, tw.window + inWindow, static_cast<size_t>(wanted));
    return wanted;
  }
  if (seekStream(tw.stream, offset, 0) != 0) return -1;
  const int64_t count = readItems(buffer, 1, wanted, tw.stream);
  return count < 0 ? -1 : count;
}

// One saved position, kept here as a file offset (the mark buffer the caller
// passes is not used, so the size of a mark is 0). Restoring goes through the
// ordinary moves, so the window is reloaded and the line bookkeeping stays
// right when the window has moved since the save.
int64_t markedOffset = 0;

int32_t saveMark(void* mark) {
  if (mark != nullptr) markedOffset = offsetOf(tw.cursor);
  return 0;
}

int32_t restoreMark(const void*) {
  int64_t distance = markedOffset - offsetOf(tw.cursor);
  if (distance > 0) {
    return tw.recordLength > 0 ? recordAdvanceToOffset(markedOffset)
                               : lineAdvanceToIndex((tw.cursor - tw.window) + distance);
  }
  while (distance < 0) {
    const int32_t step = distance < INT32_MIN ? INT32_MIN : static_cast<int32_t>(distance);
    if ((tw.recordLength > 0 ? recordMoveBy(step) : lineMoveBy(step)) != 0) return -1;
    distance -= step;
  }
  return 0;
}

}  // namespace

int32_t selectLineScanner(int32_t kind) {
  chooseLineScanner(kind);
  return lineScannerKind;
}

void openTextWindow(Stream* stream, int32_t recordLength, int64_t recordBase, int32_t charMode) {
  if (lineScanner == nullptr) chooseLineScanner(-1);
  tw.stream = stream;
  tw.recordLength = recordLength;
  tw.recordBase = recordBase;
  tw.lineNumber = 1;
  tw.lineStartOffset = 0;
  tw.windowOffset = 0;
  tw.lineTracking = LINES_NUMBERED;

  // A stream that cannot seek (a pipe) has no known size; its bytes are read
  // as they come.
  if (seekStream(stream, 0, 2) == 0) {
    tw.fileSize = tellStream(stream);
  } else {
    tw.fileSize = INT64_MAX;
  }
  if (recordLength > 0) tw.windowOffset = recordBase;
  spare.offset = -1;
  ahead.offset = -1;
  tw.window = blockBuffers[homeOf(tw.windowOffset)];
  seekStream(stream, tw.windowOffset, 0);
  int64_t count = readItems(tw.window, 1, lengthWithinFile(tw.windowOffset, WINDOW_SIZE), stream);
  if (count < 0) count = 0;
  tw.cursor = tw.lineStart = tw.window;
  tw.dataEnd = tw.window + count;
  tw.lineEnd = recordLength > 0 ? tw.dataEnd : lineEndFrom(tw.window);

  TextSource& ts = textSource;
  const bool records = recordLength > 0;
  ts.SetPosition = setPosition;
  ts.GetWindow = getWindow;
  ts.CharAt = charAt;
  ts.AdvanceTo = records ? recordAdvanceTo : lineAdvanceTo;
  ts.Advance = records ? recordAdvance : lineAdvance;
  ts.PeekChar = charAt;
  ts.GetLineWindow = getLineWindow;
  ts.NextChar = records ? recordNextChar : lineNextChar;
  ts.MoveBy = records ? recordMoveBy : lineMoveBy;
  ts.SeekRelative = records ? recordAdvance : lineAdvance;
  ts.AtLineEnd = records ? recordAtLineEnd : lineAtLineEnd;
  ts.AtLineStart = records ? recordBoundaryTest : lineAtLineStart;
  ts.GoLineEnd = records ? recordGoNext : lineGoLineEnd;
  ts.GoLineStart = records ? recordGoNext : lineGoLineStart;
  ts.HasMore = hasMore;
  ts.SaveMark = saveMark;
  ts.RestoreMark = restoreMark;
  ts.ReportPosition = reportPosition;
  ts.TextPlace = textPlace;
  ts.ReadAt = readAt;
  ++ts.windowLoads;
  openedText = tw.fileSize != INT64_MAX ? newTextIdentity() : 0;
  ts.fullWindowReads = records ? 1 : 0;
  ts.askLineBounds = records ? 1 : 0;
  ts.charMode = charMode;
}

bool keptBytesAt(int64_t offset, const uint8_t** from, const uint8_t** end) {
  const KeptBlock* kept = keptOrReadAhead(offset);
  if (kept == nullptr) return false;
  *from = kept->bytes + (offset - kept->offset);
  *end = kept->bytes + kept->count;
  return true;
}

const uint8_t* findLineFeedNoting(const uint8_t* from, bool* plain) {
  return lineScanner->findFirstNoting(from, tw.dataEnd, plain);
}

void setLineTracking(int32_t kind) {
  tw.lineTracking = kind;
  if (kind == LINES_UNTRACKED && tw.recordLength == 0) {
    tw.lineStart = tw.window;
    tw.lineEnd = tw.dataEnd;
  }
}

void fixLineStart() {
  // Nearly always the line start lies in the window, and this runs once a match.
  const int64_t inWindow = tw.lineStartOffset - tw.windowOffset;
  const int32_t first = inWindow >= 0 && inWindow < dataLength() ? tw.window[inWindow]
                                                                 : byteAtOffset(tw.lineStartOffset);
  if (first == '\r') ++tw.lineStartOffset;
}

// In double-byte text, whether the byte before the cursor is the second byte
// of a character. The bytes before it that can begin a character are counted
// back to one that cannot (a character ends there, whatever it was): an odd
// count means the last of them begins the character the byte ends. The look
// back is bounded, so that a long run of such bytes costs no more than that.
bool secondByteBeforeCursor() {
  constexpr int32_t LOOK_BACK = 4096;
  int32_t leads = 0;
  for (int32_t n = -2; n >= -LOOK_BACK; --n) {
    const int32_t c = charAt(n);
    if (c < 0 || leadByteTable[c] == 0) break;
    ++leads;
  }
  return leads % 2 == 1;
}

// The character before the cursor is judged by its first byte, which is what
// the word set's table holds for a double-byte member.
bool wordCharBeforeCursor(const uint8_t* wordTable) {
  int32_t c = byteBeforeCursor();
  if (c >= 0 && textSource.charMode == ENCODING_DOUBLE_BYTE && secondByteBeforeCursor()) {
    c = charAt(-2);
  }
  return c >= 0 && wordTable[c] != 0;
}

bool wordCharAt(int32_t n, const uint8_t* wordTable) {
  const int32_t c = charAt(n);
  return c >= 0 && wordTable[c] != 0;
}

int32_t characterAtCursor(int32_t n, int32_t* length) {
  *length = 1;
  const int32_t lead = charAt(n);
  if (lead < 0) return -2;
  if (lead < 0x80) return lead;
  // The lead byte's sequence when every byte after it is a continuation
  // byte, as the pattern engine reads characters; else the byte alone.
  const int32_t wanted = lead >= 0xFE ? 0 : lead >= 0xFC ? 6 : lead >= 0xF8 ? 5 : lead >= 0xF0 ? 4
                         : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  uint8_t bytes[6] = {static_cast<uint8_t>(lead)};
  for (int32_t k = 1; k < wanted; ++k) {
    const int32_t c = charAt(n + k);
    if (c < 0 || (c & 0xC0) != 0x80) return -1;
    bytes[k] = static_cast<uint8_t>(c);
  }
  if (wanted == 0) return -1;
  uint32_t codePoint;
  decodeUtf8(bytes, bytes + wanted, &codePoint);
  constexpr uint32_t SMALLEST[7] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
  if (codePoint < SMALLEST[wanted] || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
      codePoint > 0x7FFFFFFF) {
    return -1;
  }
  *length = wanted;
  return static_cast<int32_t>(codePoint);
}

int32_t characterBeforeCursor() {
  const int32_t last = byteBeforeCursor();
  if (last < 0) return -2;
  if (last < 0x80) return last;
  uint8_t bytes[4];
  int32_t count = 0;
  for (; count < 4; ++count) {
    const int32_t c = charAt(-1 - count);
    if (c < 0) break;
    bytes[3 - count] = static_cast<uint8_t>(c);
  }
  uint32_t codePoint;
  previousUtf8Character(bytes + 4, bytes + 4 - count, &codePoint);
  return codePoint > 0x10FFFF ? -1 : static_cast<int32_t>(codePoint);
}
