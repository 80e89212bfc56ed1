// The report printer: turns an accepted match into its report line, and a
// file's count into its -C summary line.
//
// A report line is the display name, the position (line and column, or
// " offset=" and the byte offset with -PO; after the -V heading, the match
// length in place of the name) and the text of the line. The text is taken
// from the text window, or read back from the window's stream where it lies
// outside the window; every shown byte passes one rule: carriage returns are
// dropped and 0x01 is shown as a blank. Every line ends in "\r\n".
//
// A search with many matches spends much of its time here, so the common
// report, a match inside one line that the window holds whole, in the default
// form, takes a short path of its own and is written in one piece straight
// into the output buffer. The line's end and whether it
// holds a byte shown otherwise are found in one pass and kept for the next
// report, which is often on the same line; the name and line number in front
// of the column are kept too, and only the growth of the line number is added
// to its digits. Tested by the end-to-end suite, which checks the exact bytes
// of each report form.
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

constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int32_t decimalLength(uint64_t value) {
  int32_t length = 1;
  for (uint64_t limit = 10; value >= limit; limit *= 10) {
    ++length;
    if (length == 20) break;  // the next limit, 10^20, is past 64 bits
  }
  return length;
}

// A number in signed decimal, without leading zeros or blanks, written at
// out; returns its end. The length is counted first, so that the digits go
// straight to their places, two a step from the last.
char* putNumber(char* out, int64_t value) {
  uint64_t magnitude =
      value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  if (value < 0) *out++ = '-';
  char* const end = out + decimalLength(magnitude);
  char* p = end;
  for (; magnitude >= 100; magnitude /= 100) {
    p -= 2;
    std::memcpy(p, DIGIT_PAIRS + 2 * (magnitude % 100), 2);
  }
  if (magnitude >= 10) {
    std::memcpy(p - 2, DIGIT_PAIRS + 2 * magnitude, 2);
  } else {
    p[-1] = static_cast<char>('0' + magnitude);
  }
  return end;
}

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
  void addNumber(int64_t value) {
    length = static_cast<int32_t>(putNumber(text + length, value) - text);
  }
  void write() const { writeBytes(text, length); }
};

// The default report's text in front of its column: the display name, a
// blank, the line number and a blank, kept from one report to the next of a
// file. After it there is room for the column and the colon.
struct Lead {
  char text[COUNTED_MAX_CAPACITY + 64];
  int32_t length = 0;
  int32_t numberStart = 0;  // where the line number's digits begin
  int64_t line = -1;        // the line number shown; -1 when nothing is kept
};
Lead lead;

void startLead(const CountedString& name, int64_t line) {
  std::memcpy(lead.text, name.characters, static_cast<size_t>(name.length));
  lead.numberStart = name.length + 1;
  lead.text[name.length] = ' ';
  char* end = putNumber(lead.text + lead.numberStart, line);
  *end++ = ' ';
  lead.length = static_cast<int32_t>(end - lead.text);
  lead.line = line;
}

// Adds the growth of the line number to the digits kept: from one report to
// the next it is mostly small, so only the last digit or two change. False
// when the number gains a digit, which leaves the lead to be started again.
bool growLeadLine(int64_t line) {
  uint64_t carry = static_cast<uint64_t>(line - lead.line);
  char* digit = lead.text + lead.length - 2;
  if (carry <= static_cast<uint64_t>('9' - *digit)) {
    *digit = static_cast<char>(*digit + carry);
    lead.line = line;
    return true;
  }
  for (; carry != 0; --digit) {
    if (digit < lead.text + lead.numberStart) return false;
    const uint64_t sum = static_cast<uint64_t>(*digit - '0') + carry;
    *digit = static_cast<char>('0' + sum % 10);
    carry = sum / 10;
  }
  lead.line = line;
  return true;
}

// The default report's prefix, the lead and then the column and the colon,
// left in lead.text; returns its length.
[[gnu::always_inline]] inline int32_t putDefaultPrefix(const CountedString& name, int64_t line,
                                                      int64_t column) {
  if (line != lead.line && (line < lead.line || lead.line < 0 || !growLeadLine(line))) {
    startLead(name, line);
  }
  char* end = putNumber(lead.text + lead.length, column);
  *end++ = ':';
  return static_cast<int32_t>(end - lead.text);
}

// The first carriage return or 0x01 in [p, to), or to.
const uint8_t* findShownStop(const uint8_t* p, const uint8_t* to) {
  const uint8_t* found = findEitherByte(p, to, '\r', 0x01);
  return found != nullptr ? found : to;
}

// Bytes [from, to) of a file's text as a report shows them, copied to out:
// carriage returns dropped, 0x01 shown as a blank, every other byte (a line
// feed included) unchanged. Returns the end of the copy.
uint8_t* copyShownBytes(uint8_t* out, const uint8_t* from, const uint8_t* to) {
  const uint8_t* run = from;
  for (const uint8_t* p = findShownStop(from, to); p < to; p = findShownStop(p + 1, to)) {
    std::memcpy(out, run, static_cast<size_t>(p - run));
    out += p - run;
    if (*p == 0x01) *out++ = ' ';
    run = p + 1;
  }
  std::memcpy(out, run, static_cast<size_t>(to - run));
  return out + (to - run);
}

constexpr int32_t CHUNK_SIZE = 4096;

// Writes bytes [from, to) as a report shows them, a chunk at a time.
void writeShownBytes(const uint8_t* from, const uint8_t* to) {
  uint8_t shown[CHUNK_SIZE];
  while (from < to) {
    const uint8_t* part = to - from > CHUNK_SIZE ? from + CHUNK_SIZE : to;
    const uint8_t* end = copyShownBytes(shown, from, part);
    writeBytes(reinterpret_cast<const char*>(shown), end - shown);
    from = part;
  }
}

int64_t windowDataLength() { return textWindow.dataEnd - textWindow.window; }

// The line a report shows, when the window holds it whole: its bytes up to
// the line feed that ends it (or to the end of the file), kept for the next
// report, which is often on the same line.
struct ShownLine {
  int64_t start = -1;  // file offset of its first byte; -1 when none is kept
  int64_t windowOffset = 0;
  const uint8_t* dataEnd = nullptr;  // with windowOffset, the window it lies in
  const uint8_t* from = nullptr;
  const uint8_t* to = nullptr;
  int64_t endOffset = 0;  // file offset of `to`
  bool plain = false;     // no carriage return and no 0x01 in it
};
ShownLine shownLine;

// Finds the line that starts at a file offset in the window; false when the
// window does not hold it whole.
[[gnu::always_inline]] inline bool findShownLine(int64_t lineStart) {
  if (shownLine.start == lineStart && shownLine.windowOffset == textWindow.windowOffset &&
      shownLine.dataEnd == textWindow.dataEnd) {
    return true;
  }
  const int64_t inWindow = lineStart - textWindow.windowOffset;
  if (inWindow < 0 || inWindow >= windowDataLength()) return false;
  const uint8_t* from = textWindow.window + inWindow;
  bool plain = false;
  const uint8_t* to = findLineFeedNoting(from, &plain);
  // The line may go on past the window's data, unless that is the file's end.
  if (to == textWindow.dataEnd &&
      textWindow.windowOffset + windowDataLength() != textWindow.fileSize) {
    return false;
  }
  shownLine = {lineStart, textWindow.windowOffset, textWindow.dataEnd, from, to,
               lineStart + (to - from), plain};
  return true;
}

// Bytes of the file from an offset on, as far as one look reaches: the
// window's data when it holds the offset, else the block the window keeps
// beside it, else a chunk read from the window's stream; the last two stop
// where the window begins (the window's bytes are shown as the search saw
// them) and at the size the file had when it was opened (the text window's
// end of the text). Empty at that end or when a read fails.
struct TextSpan {
  const uint8_t* from;
  const uint8_t* end;
};

TextSpan spanAt(int64_t offset, uint8_t (&chunk)[CHUNK_SIZE]) {
  const int64_t inWindow = offset - textWindow.windowOffset;
  if (inWindow >= 0 && inWindow < windowDataLength()) {
    return {textWindow.window + inWindow, textWindow.dataEnd};
  }
  int64_t wanted = textWindow.fileSize - offset;
  if (inWindow < 0 && wanted > -inWindow) wanted = -inWindow;
  const uint8_t* kept = nullptr;
  const uint8_t* keptEnd = nullptr;
  if (wanted > 0 && keptBytesAt(offset, &kept, &keptEnd)) {
    return {kept, keptEnd - kept > wanted ? kept + wanted : keptEnd};
  }
  if (wanted > CHUNK_SIZE) wanted = CHUNK_SIZE;
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

// Copies n bytes to out and returns the end of the copy. A report's prefix
// and the text of a short line are a few dozen bytes, which two overlapping
// moves copy faster than a call to memcpy.
inline uint8_t* putBytes(uint8_t* out, const void* from, int64_t n) {
  const auto* p = static_cast<const uint8_t*>(from);
  if (n >= 16 && n <= 32) {
    uint8_t head[16];
    uint8_t tail[16];
    std::memcpy(head, p, 16);
    std::memcpy(tail, p + n - 16, 16);
    std::memcpy(out, head, 16);
    std::memcpy(out + n - 16, tail, 16);
  } else if (n >= 8 && n < 16) {
    uint64_t head;
    uint64_t tail;
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
    std::memcpy(out, &head, 8);
    std::memcpy(out + n - 8, &tail, 8);
  } else {
    std::memcpy(out, p, static_cast<size_t>(n));
  }
  return out + n;
}

// Writes the report of a match inside the line that shownLine holds, after
// the prefix given, straight into the output buffer; false when the buffer
// has no room for it.
[[gnu::always_inline]] inline bool putShownLineReport(const char* prefix, int32_t prefixLength) {
  const int64_t textLength = shownLine.to - shownLine.from;
  uint8_t* out = outputRoom(prefixLength + textLength + 2);
  if (out == nullptr) return false;
  out = putBytes(out, prefix, prefixLength);
  if (shownLine.plain) {
    out = putBytes(out, shownLine.from, textLength);
  } else {
    out = copyShownBytes(out, shownLine.from, shownLine.to);
  }
  *out++ = '\r';
  *out++ = '\n';
  takeOutput(out);
  return true;
}

// Every report form, from a line held in the window or read back.
[[gnu::noinline]] void printAnyReportLine(const CountedString& displayName, bool firstInFile,
                                          const MatchPosition& match) {
  // The text in front of the line's: none with -M.
  Prefix other;
  const char* prefix = other.text;
  int32_t prefixLength = 0;
  if (!searchOptions.omitLocation && !searchOptions.verbose && !storedDefaults.reportOffsets) {
    prefix = lead.text;
    prefixLength = putDefaultPrefix(displayName, match.line, columnOf(match));
  } else if (!searchOptions.omitLocation) {
    if (searchOptions.verbose) {
      if (firstInFile) {
        writeText("File ");
        writeBytes(displayName.characters, displayName.length);
        writeBytes("\r\n", 2);
        flushOutput();
      }
      other.add("  ", 2);
      other.addNumber(match.matchLength);
    } else {
      other.add(displayName.characters, displayName.length);
    }
    addPosition(other, match.line, columnOf(match), match.reported);
    other.add(":", 1);
    prefixLength = other.length;
  }

  if (searchOptions.recordLength == 0 && findShownLine(match.lineStart) &&
      match.matchEnd <= shownLine.endOffset) {
    // A match inside one line that the window holds whole.
    if (!putShownLineReport(prefix, prefixLength)) {
      writeBytes(prefix, prefixLength);
      writeShownBytes(shownLine.from, shownLine.to);
      writeBytes("\r\n", 2);
    }
  } else {
    writeBytes(prefix, prefixLength);
    if (searchOptions.recordLength > 0) {
      writeRecordText(match.lineStart, match.matchEnd);
    } else {
      writeLineText(match.lineStart, match.matchEnd);
    }
    writeBytes("\r\n", 2);
  }
}

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
  if (firstInFile) {
    lead.line = -1;
    shownLine.start = -1;
  }
  // The common report, in the default form of a match inside a line that the
  // window holds whole, without the frame of the general one.
  const bool written =
      !searchOptions.omitLocation && !searchOptions.verbose && !storedDefaults.reportOffsets &&
      searchOptions.recordLength == 0 && findShownLine(match.lineStart) &&
      match.matchEnd <= shownLine.endOffset &&
      putShownLineReport(lead.text, putDefaultPrefix(displayName, match.line, columnOf(match)));
  if (!written) printAnyReportLine(displayName, firstInFile, match);
  if (flushEveryLine) flushOutput();
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
  prefix.add("\r\n", 2);
  prefix.write();
  if (flushEveryLine) flushOutput();
}
