// The sliding 64 KiB window over the file being searched, with the cursor's
// line bookkeeping; it fills the TextSource table for the search functions.
#pragma once

#include <cstdint>

#include "console/stream.h"

constexpr int32_t WINDOW_SIZE = 65536;

struct TextWindow {
  // One of two page-aligned buffers of WINDOW_SIZE bytes (the system copies
  // a block into a buffer that starts a page a little faster); the other
  // keeps the block the window held before.
  uint8_t* window;
  int64_t windowOffset;  // file offset of window[0]
  uint8_t* dataEnd;
  uint8_t* cursor;
  uint8_t* lineStart;
  uint8_t* lineEnd;
  int64_t lineNumber;
  int64_t lineStartOffset;
  int64_t fileSize;
  Stream* stream;
  int32_t recordLength;  // 0 line mode
  int64_t recordBase;
  int32_t lineTracking;  // LINES_*; openTextWindow sets LINES_NUMBERED
};

extern TextWindow textWindow;

// Sets the window up on a stream and fills the TextSource table.
void openTextWindow(Stream* stream, int32_t recordLength, int64_t recordBase, int32_t charMode);
// File offset of the cursor; inline, as the driver asks it for every match.
inline int64_t cursorOffset() {
  return textWindow.cursor - textWindow.window + textWindow.windowOffset;
}
// What the forward moves of line mode keep of the cursor's line. A caller
// that needs no further line numbers in this file (a count) keeps the line's
// bounds only, which a regular expression reads; a literal search needs not
// even those, and the window then treats all its data as the cursor's line
// (lineStart is the window, lineEnd the data end), so that every move within
// it is a pointer assignment. Backward moves keep what they always kept.
constexpr int32_t LINES_NUMBERED = 0;
constexpr int32_t LINES_BOUNDED = 1;
constexpr int32_t LINES_UNTRACKED = 2;
void setLineTracking(int32_t kind);
// Moves lineStartOffset past a carriage return that begins the line.
void fixLineStart();
// Whether the byte before the cursor / at cursor + n is in the 256-entry table.
bool wordCharBeforeCursor(const uint8_t* wordTable);
bool wordCharAt(int32_t n, const uint8_t* wordTable);
// UTF-8 text: the character at cursor + n, decoded whole as the pattern
// engine reads it (a lead byte and the continuation bytes it announces; -1
// for a byte that begins no such sequence, which counts as one byte), with
// its length in *length; -2 beyond the end of the text. And the well-formed
// character that ends at the cursor (-1 for an invalid byte, -2 at the start
// of the text).
int32_t characterAtCursor(int32_t n, int32_t* length);
int32_t characterBeforeCursor();

// The bytes of the file from `offset` that the window keeps besides its own,
// up to the end of that block: the block it held before, or the one after
// it, which is then read ahead for the window's next fill. False when it
// keeps none there.
bool keptBytesAt(int64_t offset, const uint8_t** from, const uint8_t** end);

// The first line feed in the window's data at or after `from` (which lies in
// the data), or the data end when there is none; *plain says whether the
// bytes before it are free of carriage returns and 0x01 bytes, which a report
// does not show as they are. One pass answers both.
const uint8_t* findLineFeedNoting(const uint8_t* from, bool* plain);

// Line-feed counting and finding over the bytes a move passes. Chosen
// automatically at the first openTextWindow; tests select each kind. Returns
// the kind in use, which falls back to the best one the processor has.
constexpr int32_t LINE_SCAN_SCALAR = 1;
constexpr int32_t LINE_SCAN_SSE2 = 2;
constexpr int32_t LINE_SCAN_AVX2 = 3;
int32_t selectLineScanner(int32_t kind);  // -1: the best available
