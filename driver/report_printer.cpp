// The report printer: turns an accepted match into its report line, and a
// file's count into its -C summary line.
//
// A report line is the display name, the position (line and column, or
// " offset=" and the byte offset with -PO; after the -V heading, the match
// length in place of the name) and the text of the line. The text is taken
// from the text window, or read back from the window's stream where it lies
// outside the window; every shown byte passes one rule, writeShownBytes:
// carriage returns are dropped and 0x01 is shown as a blank. Every line ends
// in "\r\n". Tested by the end-to-end suite, which checks the exact bytes of
// each report form.
#include "driver/report_printer.h"

#include <cstring>

#include "console/stream.h"
#include "driver/search_options.h"
#include "driver/stored_defaults.h"
#include "driver/text_window.h"
#include "platform/win32.h"
#include "support/byte_scan.h"

namespace {

// Line-by-line flushing matters only where someone watches the output; into a
// file or a pipe the stream's buffer flushes as it fills.
bool flushEveryLine;

// The pieces of a report in front of its line text, gathered so that they
// reach the stream in one write: the display name (at most
// COUNTED_MAX_CAPACITY bytes) and a few numbers.
struct Prefix {
  char text[COUNTED_MAX_CAPACITY + 96];
  int32_t length = 0;

  void add(const char* bytes, int32_t count) {
    std::memcpy(text + length, bytes, static_cast<size_t>(count));
    length += count;
  }
  // Signed decimal, without leading zeros or blanks; two digits a step,
  // since every report shows a line number and a column.
  void addNumber(int64_t value) {
    static constexpr char PAIRS[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char digits[24];
    int32_t count = 0;
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    while (magnitude >= 10) {
      const uint64_t pair = magnitude % 100;
      magnitude /= 100;
      digits[count++] = PAIRS[2 * pair + 1];
      digits[count++] = PAIRS[2 * pair];
    }
    if (count == 0 || magnitude != 0) digits[count++] = static_cast<char>('0' + magnitude);
    if (value < 0) digits[count++] = '-';
    while (count > 0) text[length++] = digits[--count];
  }
  void write() const { writeBytes(text, length); }
};

void endLine() {
  writeBytes("\r\n", 2);
  if (flushEveryLine) flushOutput();
}

// The first carriage return or 0x01 in [p, to), or to.
const uint8_t* findShownStop(const uint8_t* p, const uint8_t* to) {
  const uint8_t* found = findEitherByte(p, to, '\r', 0x01);
  return found != nullptr ? found : to;
}

// Writes bytes [from, to) of a file's text as a report shows them: carriage
// returns dropped, 0x01 shown as a blank, every other byte (a line feed
// included) unchanged.
void writeShownBytes(const uint8_t* from, const uint8_t* to) {
  const uint8_t* run = from;
  for (const uint8_t* p = findShownStop(from, to); p < to; p = findShownStop(p + 1, to)) {
    if (p > run) writeBytes(reinterpret_cast<const char*>(run), p - run);
    if (*p == 0x01) writeBytes(" ", 1);
    run = p + 1;
  }
  if (to > run) writeBytes(reinterpret_cast<const char*>(run), to - run);
}

int64_t windowDataLength() { return textWindow.dataEnd - textWindow.window; }

// Bytes of the file from an offset on, as far as one look reaches: the
// window's data when it holds the offset, else a chunk read from the window's
// stream, which stops where the window begins (the window's bytes are shown
// as the search saw them) and at the size the file had when it was opened
// (the text window's end of the text). Empty at that end or when a read
// fails.
struct TextSpan {
  const uint8_t* from;
  const uint8_t* end;
};

constexpr int32_t CHUNK_SIZE = 4096;

TextSpan spanAt(int64_t offset, uint8_t (&chunk)[CHUNK_SIZE]) {
  const int64_t inWindow = offset - textWindow.windowOffset;
  if (inWindow >= 0 && inWindow < windowDataLength()) {
    return {textWindow.window + inWindow, textWindow.dataEnd};
  }
  int64_t wanted = textWindow.fileSize - offset;
  if (wanted > CHUNK_SIZE) wanted = CHUNK_SIZE;
  if (inWindow < 0 && wanted > -inWindow) wanted = -inWindow;
  if (wanted <= 0 || seekStream(textWindow.stream, offset, 0) != 0) return {chunk, chunk};
  const int64_t got = readItems(chunk, 1, wanted, textWindow.stream);
  return {chunk, chunk + (got > 0 ? got : 0)};
}

// Line mode: the lines the match touches, the last one only up to the match
// end. A match inside one line prints that line without its line end.
void writeLineText(int64_t lineStart, int64_t matchEnd) {
  uint8_t chunk[CHUNK_SIZE];
  bool seenLineFeed = false;
  int64_t offset = lineStart;
  for (;;) {
    if (seenLineFeed && offset >= matchEnd) return;
    const TextSpan span = spanAt(offset, chunk);
    const uint8_t* from = span.from;
    if (from == span.end) return;
    // The bytes up to the next line feed; past a line feed, no further than
    // the match end.
    const uint8_t* end = span.end;
    if (seenLineFeed && matchEnd - offset < end - from) end = from + (matchEnd - offset);
    const uint8_t* lineFeed =
        static_cast<const uint8_t*>(std::memchr(from, '\n', static_cast<size_t>(end - from)));
    const uint8_t* stop = lineFeed != nullptr ? lineFeed : end;
    writeShownBytes(from, stop);
    offset += stop - from;
    if (lineFeed == nullptr) continue;
    // The byte at offset is a line feed.
    seenLineFeed = true;
    if (offset >= matchEnd) return;
    writeBytes("\r\n", 2);
    ++offset;
  }
}

// Record mode: recordLength bytes from the record start, or up to the match
// end when that lies further; line feeds are printed as they are.
void writeRecordText(int64_t lineStart, int64_t matchEnd) {
  int64_t count = searchOptions.recordLength;
  if (matchEnd - lineStart > count) count = matchEnd - lineStart;
  const int64_t end = lineStart + count;
  uint8_t chunk[CHUNK_SIZE];
  for (int64_t offset = lineStart; offset < end;) {
    const TextSpan span = spanAt(offset, chunk);
    if (span.from == span.end) return;
    int64_t run = span.end - span.from;
    if (end - offset < run) run = end - offset;
    writeShownBytes(span.from, span.from + run);
    offset += run;
  }
}

// " offset=N" with -PO, else " line column".
void addPosition(Prefix& prefix, int64_t line, int64_t column, int64_t reported) {
  if (storedDefaults.reportOffsets) {
    prefix.add(" offset=", 8);
    prefix.addNumber(reported);
  } else {
    prefix.add(" ", 1);
    prefix.addNumber(line);
    prefix.add(" ", 1);
    prefix.addNumber(column);
  }
}

int64_t columnOf(const MatchPosition& match) { return match.reported - match.lineStart + 1; }

}  // namespace

void chooseReportFlushing() {
  // Reports reach a console line by line; other character devices, such as
  // the null device, take them in whole buffers like files and pipes.
  DWORD consoleMode = 0;
  flushEveryLine =
      stdoutStream != nullptr && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &consoleMode);
}

void printReportLine(const CountedString& displayName, bool firstInFile,
                     const MatchPosition& match) {
  if (!searchOptions.omitLocation) {
    Prefix prefix;
    if (searchOptions.verbose) {
      if (firstInFile) {
        writeText("File ");
        writeBytes(displayName.characters, displayName.length);
        writeBytes("\r\n", 2);
        flushOutput();
      }
      prefix.add("  ", 2);
      prefix.addNumber(match.matchLength);
    } else {
      prefix.add(displayName.characters, displayName.length);
    }
    addPosition(prefix, match.line, columnOf(match), match.reported);
    prefix.add(":", 1);
    prefix.write();
  }
  if (searchOptions.recordLength > 0) {
    writeRecordText(match.lineStart, match.matchEnd);
  } else {
    writeLineText(match.lineStart, match.matchEnd);
  }
  endLine();
}

void printSummaryLine(const CountedString& displayName, const MatchPosition& first,
                      int64_t matchCount) {
  Prefix prefix;
  if (!searchOptions.omitLocation) {
    prefix.add(displayName.characters, displayName.length);
    addPosition(prefix, first.line, columnOf(first), first.reported);
    prefix.add(": ", 2);
  }
  prefix.addNumber(matchCount);
  prefix.write();
  endLine();
}
