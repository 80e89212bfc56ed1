// The contract between the pattern engine and whoever provides the text.
//
// The search functions never see a file: they read and move through the
// TextSource table, which the file window of the driver fills for files and
// the in-memory search fills for strings. A provider keeps a window of bytes
// in memory; positions are pointers into it, and operations that leave it
// (CharAt beyond the data, AdvanceTo past the data end, MoveBy before the
// window) do the provider's own loading and bookkeeping.
#pragma once

#include <cstdint>

// Status of a search function: 0 found (the current position is the first
// byte of the match), 1 not found, -8 out of memory.
typedef int32_t (*SearchFunction)(const uint8_t* text, int32_t length);

constexpr int32_t LINE_END_LF = -2501;    // a one-byte line terminator follows
constexpr int32_t LINE_END_CRLF = -2502;  // a two-byte line terminator follows
constexpr int32_t ADVANCE_AT_END = -2503;

struct TextSource {
  void (*SetPosition)(const uint8_t* position);
  void (*GetWindow)(const uint8_t** cursor, const uint8_t** advanceLimit, const uint8_t** dataEnd);
  int32_t (*CharAt)(int32_t n);
  int32_t (*AdvanceTo)(const uint8_t* position);
  int32_t (*Advance)(int32_t n);
  int32_t (*PeekChar)(int32_t n);
  void (*GetLineWindow)(const uint8_t** cursor, const uint8_t** lineStart, const uint8_t** lineEnd,
                        uint32_t* stamp);
  int32_t (*NextChar)();
  int32_t (*MoveBy)(int32_t n);
  int32_t (*SeekRelative)(int32_t n);
  int32_t (*AtLineEnd)(int32_t n, int32_t ignored);
  int32_t (*AtLineStart)(int32_t n);
  int32_t (*GoLineEnd)(int32_t flag);
  int32_t (*GoLineStart)(int32_t flag);
  int32_t (*HasMore)(int32_t n, int32_t crossLines);
  int32_t (*SaveMark)(void* mark);
  int32_t (*RestoreMark)(const void* mark);
  int32_t (*StopRequested)();
  void (*ReportPosition)(int32_t* a, int32_t* b, int32_t* c);

  uint8_t fullWindowReads;
  uint8_t askLineBounds;
  // Counts the times the window has taken other bytes of the text: what an
  // engine kept by pointer into the window holds while the count stays.
  uint32_t windowLoads;
  int32_t charMode;  // ENCODING_SINGLE_BYTE, ENCODING_DOUBLE_BYTE or ENCODING_UTF8

  // Where a window pointer lies: its offset from the start of the text, and
  // the number that names the text (newTextIdentity), which stays the same
  // from one search to the next for as long as the text's bytes do; 0 when
  // the source cannot promise that. What an engine learnt of the text at
  // given offsets is used again only under the same number. May be null.
  uint32_t (*TextPlace)(const uint8_t* position, int64_t* offset);

  // Copies up to `length` bytes of the text from `offset` (as TextPlace
  // counts it) into `buffer`, without moving the window or the position:
  // the count copied, 0 at the end of the text, -1 where the source cannot
  // read its text back (a pipe). A block at a time, where CharAt reads a
  // byte at a time. May be null.
  int64_t (*ReadAt)(int64_t offset, uint8_t* buffer, int64_t length);
};

// A file read by lines is held in its window one block of this many bytes at
// a time, the blocks lying end to end from the file's start. The matcher
// reads its window straight and asks the source only near the window's end,
// so where a block ends decides whether it takes a carriage return that
// ends no line as a character or as a line end.
constexpr int64_t TEXT_BLOCK_BYTES = 65536;

// A number no text has had before in this process, for a source that begins
// a new text (another file, or the same one read again).
inline uint32_t newTextIdentity() {
  static uint32_t last = 0;
  if (++last == 0) ++last;
  return last;
}

// The difference between a text offset (TextPlace) and the window pointer
// to it: while the text and this difference stay, the window holds the same
// bytes at the same addresses, and what an engine kept by pointer holds.
inline int64_t windowBase(const uint8_t* pointer, int64_t offset) {
  return offset - static_cast<int64_t>(reinterpret_cast<uintptr_t>(pointer));
}

extern TextSource textSource;
