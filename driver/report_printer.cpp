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

namespace {

// Line-by-line flushing matters only where someone watches the output; into a
// file or a pipe the stream's buffer flushes as it fills.
bool flushEveryLine;

void writeNumber(int64_t value) {
  char digits[24];
  int32_t count = 0;
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[count++] = '-';
  char text[24];
  for (int32_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  writeBytes(text, count);
}

void endLine() {
  writeBytes("\r\n", 2);
  if (flushEveryLine) flushOutput();
}

// Writes bytes [from, to) of a file's text as a report shows them: carriage
// returns dropped, 0x01 shown as a blank, every other byte (a line feed
// included) unchanged.
void writeShownBytes(const uint8_t* from, const uint8_t* to) {
  const uint8_t* run = from;
  for (const uint8_t* p = from; p < to; ++p) {
    if (*p == '\r' || *p == 0x01) {
      if (p > run) writeBytes(reinterpret_cast<const char*>(run), p - run);
      if (*p == 0x01) writeBytes(" ", 1);
      run = p + 1;
    }
  }
  if (to > run) writeBytes(reinterpret_cast<const char*>(run), to - run);
}

void writeShownByte(int32_t c) {
  const uint8_t byte = static_cast<uint8_t>(c);
  writeShownBytes(&byte, &byte + 1);
}

// Reads the file byte by byte from an offset outside the window, up to the
// size the file had when it was opened (the text window's end of the text).
struct StreamReader {
  int64_t next = -1;
  int32_t byteAt(int64_t offset) {
    if (offset >= textWindow.fileSize) return -1;
    if (offset != next) {
      if (seekStream(textWindow.stream, offset, 0) != 0) return -1;
    }
    int32_t c = getByte(textWindow.stream);
    next = c < 0 ? -1 : offset + 1;
    return c;
  }
};

int64_t windowDataLength() { return textWindow.dataEnd - textWindow.window; }

// Line mode: the lines the match touches, the last one only up to the match
// end. A match inside one line prints that line without its line end.
void writeLineText(int64_t lineStart, int64_t matchEnd) {
  StreamReader reader;
  bool seenLineFeed = false;
  int64_t offset = lineStart;
  for (;;) {
    if (seenLineFeed && offset >= matchEnd) return;
    int64_t inWindow = offset - textWindow.windowOffset;
    if (inWindow >= 0 && inWindow < windowDataLength()) {
      // Fast path: copy the window's bytes up to the next line feed.
      const uint8_t* from = textWindow.window + inWindow;
      const uint8_t* end = textWindow.dataEnd;
      if (seenLineFeed && matchEnd - offset < end - from) end = from + (matchEnd - offset);
      const uint8_t* lineFeed =
          static_cast<const uint8_t*>(std::memchr(from, '\n', static_cast<size_t>(end - from)));
      const uint8_t* stop = lineFeed != nullptr ? lineFeed : end;
      writeShownBytes(from, stop);
      offset += stop - from;
      if (lineFeed == nullptr) continue;
    } else {
      int32_t c = reader.byteAt(offset);
      if (c < 0) return;
      if (c != '\n') {
        writeShownByte(c);
        ++offset;
        continue;
      }
    }
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
  StreamReader reader;
  for (int64_t offset = lineStart; offset < end;) {
    int64_t inWindow = offset - textWindow.windowOffset;
    if (inWindow >= 0 && inWindow < windowDataLength()) {
      int64_t run = windowDataLength() - inWindow;
      if (end - offset < run) run = end - offset;
      writeShownBytes(textWindow.window + inWindow, textWindow.window + inWindow + run);
      offset += run;
    } else {
      int32_t c = reader.byteAt(offset);
      if (c < 0) return;
      writeShownByte(c);
      ++offset;
    }
  }
}

void writeDisplayName(const CountedString& name) { writeBytes(name.characters, name.length); }

// " offset=N" with -PO, else " line column".
void writePosition(int64_t line, int64_t column, int64_t reported) {
  if (storedDefaults.reportOffsets) {
    writeText(" offset=");
    writeNumber(reported);
  } else {
    writeBytes(" ", 1);
    writeNumber(line);
    writeBytes(" ", 1);
    writeNumber(column);
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
    if (searchOptions.verbose) {
      if (firstInFile) {
        writeText("File ");
        writeDisplayName(displayName);
        writeBytes("\r\n", 2);
        flushOutput();
      }
      writeBytes("  ", 2);
      writeNumber(match.matchLength);
    } else {
      writeDisplayName(displayName);
    }
    writePosition(match.line, columnOf(match), match.reported);
    writeBytes(":", 1);
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
  if (!searchOptions.omitLocation) {
    writeDisplayName(displayName);
    writePosition(first.line, columnOf(first), first.reported);
    writeBytes(": ", 2);
  }
  writeNumber(matchCount);
  endLine();
}
