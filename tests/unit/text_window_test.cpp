// Tests of the text window over a file: block loading, the line bookkeeping
// of forward and backward moves (compared with a simple count over the
// file's bytes), line-end and record-boundary tests, the moves to line ends
// and starts, reads outside the window, the line-start fix-up, the word
// tests, and 64-bit offsets in a file over 4 GiB.
#include "driver/text_window.h"

#include <algorithm>
#include <memory>

#include "pattern/literal_search.h"
#include "pattern/text_source.h"
#include <tuple>
#include <vector>

#include "tests/unit/test_support.h"

namespace {

// What the window must know about an offset of the text, by plain counting.
struct LineFacts {
  int64_t lineNumber;
  int64_t lineStartOffset;
  int64_t nextLineStart;  // one past the next line feed at or after the offset, or the text end
};

LineFacts factsAt(const std::string& text, int64_t offset) {
  LineFacts facts{1, 0, static_cast<int64_t>(text.size())};
  for (int64_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++facts.lineNumber;
      facts.lineStartOffset = i + 1;
    }
  }
  const size_t lineFeed = text.find('\n', static_cast<size_t>(offset));
  if (lineFeed != std::string::npos) facts.nextLineStart = static_cast<int64_t>(lineFeed) + 1;
  return facts;
}

// Text of lines "line N" up to the given size.
std::string numberedLines(size_t size) {
  std::string text;
  for (int32_t n = 1; text.size() < size; ++n) text += "line " + std::to_string(n) + "\n";
  text.resize(size);
  return text;
}

// A window over a temporary file, opened and closed around each test.
class TextWindowTest : public ::testing::Test {
 protected:
  void open(const std::string& content, int32_t recordLength = 0, int64_t recordBase = 0) {
    close();
    text = content;
    file = std::make_unique<test::TempFile>(content);
    openName(file->name(), recordLength, recordBase);
  }
  void openName(const std::string& name, int32_t recordLength = 0, int64_t recordBase = 0) {
    int32_t status = 0;
    stream = openStream(name.c_str(), "rb", &status, STREAM_FILE_CAPACITY);
    ASSERT_NE(stream, nullptr) << "status " << status;
    openTextWindow(stream, recordLength, recordBase, ENCODING_SINGLE_BYTE);
  }
  void close() {
    if (stream != nullptr) closeStream(stream);
    stream = nullptr;
  }
  void TearDown() override {
    close();
    selectLineScanner(-1);
  }

  static const uint8_t* pointerTo(int64_t offset) {
    return textWindow.window + (offset - textWindow.windowOffset);
  }
  static int32_t advanceTo(int64_t offset) { return textSource.AdvanceTo(pointerTo(offset)); }
  static int64_t dataLength() { return textWindow.dataEnd - textWindow.window; }
  static int64_t advanceLimitOffset() {
    const uint8_t *cursor, *limit, *end;
    textSource.GetWindow(&cursor, &limit, &end);
    return limit - textWindow.window + textWindow.windowOffset;
  }

  // The window's view of its cursor against plain counting.
  void expectFactsAtCursor(const std::string& context) {
    const int64_t offset = cursorOffset();
    const LineFacts facts = factsAt(text, offset);
    EXPECT_EQ(textWindow.lineNumber, facts.lineNumber) << context;
    EXPECT_EQ(textWindow.lineStartOffset, facts.lineStartOffset) << context;
    const int64_t windowEnd = textWindow.windowOffset + dataLength();
    EXPECT_EQ(advanceLimitOffset(), std::min(facts.nextLineStart, windowEnd)) << context;
    EXPECT_EQ(textWindow.lineStart,
              pointerTo(std::max(facts.lineStartOffset, textWindow.windowOffset)))
        << context;
  }

  std::string text;
  std::unique_ptr<test::TempFile> file;
  test::TempDir dir;  // removed after TearDown has closed the stream
  Stream* stream = nullptr;
};

// Forward moves of every size, including whole blocks at once, against plain
// counting, with every line-feed scan kind: over lines of up to 100000 bytes,
// and many short moves over short lines, where a move passes line feeds on
// both sides of the blocks it starts and ends in.
TEST_F(TextWindowTest, ForwardMovesKeepTheLineBookkeepingOverManyBlocks) {
  const struct {
    size_t size;
    size_t longest;
    uint32_t largest[4];
  } texts[] = {{5 * WINDOW_SIZE + 123, 100000, {1, 100, 5000, 150000}},
               {2 * WINDOW_SIZE + 123, 40, {1, 40, 100, 600}}};
  for (const auto& [size, longest, largest] : texts) {
    std::mt19937 random(5);
    std::string content;
    while (content.size() < size) {
      const size_t lineLength = random() % 10 == 0 ? random() % longest : random() % 70;
      content.append(lineLength, "abc \r"[random() % 5]);
      content += '\n';
      if (random() % 7 == 0) content += "\n\n";
    }
    for (const int32_t kind : {LINE_SCAN_SCALAR, LINE_SCAN_SSE2, LINE_SCAN_AVX2}) {
      selectLineScanner(kind);
      open(content);
      std::mt19937 steps(kind);
      for (int64_t offset = 0;;) {
        const uint32_t limit = largest[steps() % 4];
        offset += limit == 1 ? 1 : steps() % limit;
        if (offset >= static_cast<int64_t>(content.size())) break;
        ASSERT_EQ(advanceTo(offset), 0);
        ASSERT_EQ(cursorOffset(), offset);
        expectFactsAtCursor("kind " + std::to_string(kind) + " at " + std::to_string(offset));
        if (HasFailure()) return;
      }
      EXPECT_EQ(advanceTo(static_cast<int64_t>(content.size())), -1);
    }
  }
}

// Nothing but line feeds: every byte counter of the vector scans runs up to
// its limit.
TEST_F(TextWindowTest, LongRunsOfLineFeedsAreCountedExactly) {
  for (const int32_t kind : {LINE_SCAN_SCALAR, LINE_SCAN_SSE2, LINE_SCAN_AVX2}) {
    selectLineScanner(kind);
    open(std::string(3 * WINDOW_SIZE + 5, '\n'));
    for (const int64_t offset : {1, 9000, 70001, 3 * WINDOW_SIZE + 4}) {
      ASSERT_EQ(advanceTo(offset), 0);
      EXPECT_EQ(textWindow.lineNumber, offset + 1) << "kind " << kind;
      EXPECT_EQ(textWindow.lineStartOffset, offset) << "kind " << kind;
    }
  }
}

// The line feed that ends the line from a position, or the window's data
// end, and whether a carriage return or 0x01 comes before it, against a plain
// look at the bytes, from every position of a window of short and long lines
// whose data stops inside a line, with every line-feed scan kind.
TEST_F(TextWindowTest, TheLineFeedAfterAPositionNotesCarriageReturnsAndOnes) {
  std::mt19937 random(3);
  std::string content;
  while (content.size() < WINDOW_SIZE + 200) {
    const size_t lineLength = random() % 8 == 0 ? random() % 300 : random() % 40;
    for (size_t i = 0; i < lineLength; ++i) {
      content += random() % 50 == 0 ? "\r\x01"[random() % 2] : 'a';
    }
    content += '\n';
  }
  content.replace(WINDOW_SIZE - 100, 200, std::string(200, 'b'));  // a line across the data end
  for (const int32_t kind : {LINE_SCAN_SCALAR, LINE_SCAN_SSE2, LINE_SCAN_AVX2}) {
    selectLineScanner(kind);
    open(content);
    ASSERT_EQ(dataLength(), WINDOW_SIZE);
    for (int64_t from = 0; from < WINDOW_SIZE; ++from) {
      const size_t lineFeed = content.find('\n', static_cast<size_t>(from));
      const int64_t end = std::min<int64_t>(static_cast<int64_t>(lineFeed), WINDOW_SIZE);
      const bool plain =
          content.substr(from, end - from).find_first_of("\r\x01") == std::string::npos;
      bool notedPlain = !plain;
      ASSERT_EQ(findLineFeedNoting(textWindow.window + from, &notedPlain), textWindow.window + end)
          << "kind " << kind << " from " << from;
      ASSERT_EQ(notedPlain, plain) << "kind " << kind << " from " << from;
    }
  }
}

// The line-end test tells a CR LF pair from a lone line feed; the end of a
// file whose last line has no line feed ends that line: the answer is
// positive, so a line end is found there but no line terminator. After a
// final line feed, and in an empty file, there is no line to end, and at the
// end nothing more is read.
TEST_F(TextWindowTest, LineEndTestTellsTerminatorsAndTheEndOfTheLastLine) {
  constexpr int32_t END = 1;  // any positive answer
  const std::string crlf = "ab\r\ncd\nef\r";
  const struct {
    std::string content;
    int64_t cursor;
    int32_t n;
    int32_t expected;
  } cases[] = {
      {crlf, 0, 0, 0},   {crlf, 0, 2, LINE_END_CRLF}, {crlf, 0, 3, 0},  {crlf, 0, 6, LINE_END_LF},
      {crlf, 0, 9, LINE_END_CRLF}, {crlf, 6, 0, LINE_END_LF}, {crlf, 2, 0, LINE_END_CRLF},
      {crlf, 4, -1, 0},  {crlf, 7, -1, LINE_END_LF},
      {"\nx", 0, 0, LINE_END_LF},  // no carriage return before the first byte
      {"ab\ncd", 5, 0, END},       {"ab\ncd", 3, 2, END}, {"ab\r", 3, 0, END},
      {"ab\n", 3, 0, 0},           {"ab\r\n", 2, 2, 0},  {"", 0, 0, 0},
      {std::string(WINDOW_SIZE + 10, 'a'), 0, WINDOW_SIZE + 10, END},
      {std::string(WINDOW_SIZE + 10, 'a'), 0, WINDOW_SIZE + 9, 0},
  };
  for (const auto& c : cases) {
    open(c.content);
    textSource.SetPosition(pointerTo(c.cursor));
    const int32_t result = textSource.AtLineEnd(c.n, 0);
    const std::string context = testing::PrintToString(c.content.substr(0, 12)) + " at " +
                                std::to_string(c.cursor) + " + " + std::to_string(c.n);
    EXPECT_EQ(c.expected == END && result > 0 ? END : result, c.expected) << context;
    if (c.cursor + c.n == static_cast<int64_t>(c.content.size())) {
      EXPECT_EQ(textSource.HasMore(c.n, 1), 0) << context << ": nothing more to read";
    }
  }
  // The carriage return of a pair lies in the block before the window.
  open(std::string(WINDOW_SIZE - 1, 'a') + "\r\nnext\n");
  ASSERT_EQ(advanceTo(WINDOW_SIZE), 0);
  EXPECT_EQ(textWindow.windowOffset, WINDOW_SIZE);
  EXPECT_EQ(textSource.AtLineEnd(0, 0), 0);
  EXPECT_EQ(textSource.AtLineEnd(-1, 0), LINE_END_CRLF);
}

TEST_F(TextWindowTest, CharAtReadsOutsideTheWindowWithoutMovingIt) {
  const std::string content = numberedLines(WINDOW_SIZE + 10);
  open(content);
  ASSERT_EQ(advanceTo(5), 0);
  EXPECT_EQ(textSource.CharAt(WINDOW_SIZE + 4), static_cast<uint8_t>(content[WINDOW_SIZE + 9]));
  EXPECT_EQ(textSource.CharAt(WINDOW_SIZE + 5), -1) << "beyond the last byte";
  EXPECT_EQ(textSource.CharAt(-5), static_cast<uint8_t>(content[0]));
  EXPECT_EQ(textSource.CharAt(-6), -1) << "before the first byte";
  EXPECT_EQ(textWindow.windowOffset, 0);
  EXPECT_EQ(dataLength(), WINDOW_SIZE);
  EXPECT_EQ(cursorOffset(), 5);
}

// A forward load reads its block and the next in one call, and the load
// after reads nothing. A look past the window's end, by a character read or
// by a caller that shows a line going on, reads the next block whole, once:
// the move into it reads nothing more, and a move back into the block
// before (no longer kept) and on again still finds the file's bytes.
TEST_F(TextWindowTest, ALookPastTheWindowReadsTheNextBlockOnce) {
  const std::string content = numberedLines(4 * WINDOW_SIZE + 500);
  const int64_t size = static_cast<int64_t>(content.size());
  const auto keptFrom = [&content](int64_t offset, int64_t blockEnd) {
    const uint8_t *from, *end;
    if (!keptBytesAt(offset, &from, &end)) return std::string("none");
    const std::string bytes(reinterpret_cast<const char*>(from), end - from);
    return bytes == content.substr(offset, blockEnd - offset) ? std::string("file") : bytes;
  };
  for (const bool byCharacter : {true, false}) {
    open(content);
    ASSERT_EQ(advanceTo(WINDOW_SIZE + 10), 0);
    EXPECT_EQ(tellStream(stream), 3 * WINDOW_SIZE) << "two blocks in one read";
    ASSERT_EQ(advanceTo(2 * WINDOW_SIZE + 10), 0);
    ASSERT_EQ(textWindow.windowOffset, 2 * WINDOW_SIZE);
    EXPECT_EQ(tellStream(stream), 3 * WINDOW_SIZE) << "the second taken from where it was read";
    EXPECT_EQ(keptFrom(2 * WINDOW_SIZE - 5, 2 * WINDOW_SIZE), "file") << "the block before";
    if (byCharacter) {
      EXPECT_EQ(textSource.CharAt(WINDOW_SIZE - 7),
                static_cast<uint8_t>(content[3 * WINDOW_SIZE + 3]));
    } else {
      EXPECT_EQ(keptFrom(3 * WINDOW_SIZE + 3, 4 * WINDOW_SIZE), "file");
    }
    EXPECT_EQ(tellStream(stream), 4 * WINDOW_SIZE) << "the block read whole";
    ASSERT_EQ(advanceTo(3 * WINDOW_SIZE + 20), 0);
    EXPECT_EQ(tellStream(stream), 4 * WINDOW_SIZE) << "and not again";
  }
  EXPECT_EQ(keptFrom(2 * WINDOW_SIZE - 5, 2 * WINDOW_SIZE), "none") << "two blocks back";
  EXPECT_EQ(keptFrom(size, 0), "none") << "the file's end";
  const uint8_t *cursor, *limit, *end;
  textSource.GetWindow(&cursor, &limit, &end);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(textWindow.window), end - textWindow.window),
            content.substr(3 * WINDOW_SIZE, WINDOW_SIZE));
  expectFactsAtCursor("in the block read ahead");
  ASSERT_EQ(textSource.MoveBy(static_cast<int32_t>(-(WINDOW_SIZE + 30))), 0);
  EXPECT_EQ(cursorOffset(), 2 * WINDOW_SIZE - 10);
  EXPECT_EQ(textSource.CharAt(0), static_cast<uint8_t>(content[2 * WINDOW_SIZE - 10]));
  expectFactsAtCursor("back two blocks");
  ASSERT_EQ(advanceTo(4 * WINDOW_SIZE + 400), 0);
  EXPECT_EQ(textSource.CharAt(0), static_cast<uint8_t>(content[4 * WINDOW_SIZE + 400]));
  expectFactsAtCursor("on again");
}

// A block read again after the window left it comes back to the addresses
// it had: a search that went forward through a long line and back finds
// what it kept by pointer where it was.
TEST_F(TextWindowTest, ABlockReadAgainComesBackToItsAddresses) {
  const std::string content(9 * WINDOW_SIZE + 10, 'a');
  open(content);
  std::vector<const uint8_t*> first;
  for (int64_t block = 0; block < 9; ++block) {
    ASSERT_EQ(advanceTo(block * WINDOW_SIZE + 1), 0);
    first.push_back(textWindow.window);
  }
  for (int64_t block = 8; block >= 0; --block) {
    ASSERT_EQ(textSource.MoveBy(static_cast<int32_t>(block * WINDOW_SIZE + 1 - cursorOffset())), 0);
    EXPECT_EQ(textWindow.window, first[block]) << "back at block " << block;
  }
  for (int64_t block = 0; block < 9; ++block) {
    ASSERT_EQ(advanceTo(block * WINDOW_SIZE + 1), 0);
    EXPECT_EQ(textWindow.window, first[block]) << "on again at block " << block;
  }
}

// A step back over a block boundary inside a long line keeps the line's start
// as it knows it: the file is not read back to the start of the line (which
// made every such step cost the whole line before it). The block stepped
// back into is the one the window held before, kept: nothing is read, and
// the stream stands after the last block read.
TEST_F(TextWindowTest, AStepBackWithinALongLineDoesNotSearchForItsStartAgain) {
  open("ab\n" + std::string(5 * WINDOW_SIZE, 'x') + "\n");
  ASSERT_EQ(advanceTo(3 * WINDOW_SIZE), 0);
  ASSERT_EQ(textSource.MoveBy(-1), 0);
  EXPECT_EQ(cursorOffset(), 3 * WINDOW_SIZE - 1);
  EXPECT_EQ(textWindow.windowOffset, 2 * WINDOW_SIZE);
  EXPECT_EQ(tellStream(stream), 4 * WINDOW_SIZE);
  expectFactsAtCursor("one step back");
  // Back into the line before: its start is searched for.
  ASSERT_EQ(textSource.MoveBy(static_cast<int32_t>(-(3 * WINDOW_SIZE - 2))), 0);
  expectFactsAtCursor("back on the first line");
}

// The block left by a move is kept: a move back into it and on again reads
// nothing, in line and record mode, and every byte is the file's. A block
// kept from one file never stands for another's, even at the same offset.
TEST_F(TextWindowTest, TheBlockLeftServesAMoveBackAndOnWithoutAReadButOnlyInItsFile) {
  for (const int32_t recordLength : {0, 100}) {
    const std::string first = numberedLines(3 * WINDOW_SIZE + 77);
    open(first, recordLength);
    ASSERT_EQ(advanceTo(WINDOW_SIZE + 10), 0);
    const int64_t after = tellStream(stream);
    for (int32_t round = 0; round < 3; ++round) {
      ASSERT_EQ(textSource.MoveBy(-20), 0) << recordLength;
      EXPECT_EQ(cursorOffset(), WINDOW_SIZE - 10) << recordLength;
      EXPECT_EQ(textSource.CharAt(0), static_cast<uint8_t>(first[WINDOW_SIZE - 10]));
      EXPECT_EQ(textSource.CharAt(20), static_cast<uint8_t>(first[WINDOW_SIZE + 10]));
      ASSERT_EQ(advanceTo(WINDOW_SIZE + 10), 0) << recordLength;
      EXPECT_EQ(textSource.CharAt(0), static_cast<uint8_t>(first[WINDOW_SIZE + 10]));
      EXPECT_EQ(textSource.CharAt(-21), static_cast<uint8_t>(first[WINDOW_SIZE - 11]))
          << "a byte of the block left, read from where it is kept";
    }
    if (recordLength == 0) {
      EXPECT_EQ(tellStream(stream), after) << "the moves read nothing";
      expectFactsAtCursor("after the moves back and on");
    }
    // The window at the third block keeps the second.
    ASSERT_EQ(advanceTo(2 * WINDOW_SIZE + 10), 0);

    // The next file, of other bytes, with the same window offsets, moved
    // into its second block.
    std::string second = first;
    std::replace(second.begin(), second.end(), 'l', 'L');
    open(second, recordLength);
    ASSERT_EQ(advanceTo(WINDOW_SIZE + 10), 0);
    const uint8_t *cursor, *limit, *end;
    textSource.GetWindow(&cursor, &limit, &end);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(textWindow.window), end - textWindow.window),
              second.substr(static_cast<size_t>(textWindow.windowOffset),
                            static_cast<size_t>(end - textWindow.window)))
        << recordLength;
  }
}

// Backward moves within a line, across line feeds, across one and several
// block boundaries, and into a line that starts blocks before the window.
TEST_F(TextWindowTest, BackwardMovesReloadEarlierBlocksAndKeepTheLineNumber) {
  std::mt19937 random(11);
  std::string content = "ab\n" + std::string(200000, 'x');  // one line over three blocks
  while (content.size() < 7 * WINDOW_SIZE) {
    content.append(random() % 120, 'y');
    content += '\n';
  }
  using Move = std::tuple<int64_t, int64_t>;
  const Move moves[] = {
      {400000, 1},      {400000, 300},    {400000, 5000},   {262144, 1},     {262145, 2},
      {300000, 70000},  {300000, 140000}, {393000, 390000}, {200005, 70000}, {131072, 131069},
      {131072, 131070}, {131072, 131072}, {196608, 65536},  {203000, 2},     {203003, 3},
  };
  for (const int32_t kind : {LINE_SCAN_SCALAR, LINE_SCAN_AVX2}) {
    selectLineScanner(kind);
    for (const auto& [from, back] : moves) {
      open(content);
      ASSERT_EQ(advanceTo(from), 0);
      ASSERT_EQ(textSource.MoveBy(static_cast<int32_t>(-back)), 0);
      ASSERT_EQ(cursorOffset(), from - back);
      const std::string context = std::to_string(from) + " back " + std::to_string(back);
      expectFactsAtCursor(context);
      ASSERT_EQ(advanceTo(from + 10), 0);
      expectFactsAtCursor("forward again after " + context);
    }
  }
  open(content);
  EXPECT_EQ(textSource.MoveBy(-1), -1) << "nothing before the file";
}

TEST_F(TextWindowTest, RecordModeBoundariesCountFromTheRecordBase) {
  open("0123456789ABCDEFGHIJ", 5, 3);
  EXPECT_EQ(cursorOffset(), 3);
  using Boundary = std::tuple<int64_t, int32_t>;
  const Boundary cases[] = {{3, 1}, {4, 0}, {7, 0}, {8, 1}, {13, 1}, {19, 0}, {20, 1}, {21, 0}};
  for (const auto& [offset, expected] : cases) {
    const int32_t n = static_cast<int32_t>(offset - 3);
    EXPECT_EQ(textSource.AtLineEnd(n, 0), expected) << "offset " << offset;
    EXPECT_EQ(textSource.AtLineStart(n), expected) << "offset " << offset;
  }
  ASSERT_EQ(advanceTo(4), 0);
  EXPECT_EQ(textSource.GoLineStart(0), 0);
  EXPECT_EQ(cursorOffset(), 8);
  EXPECT_EQ(textSource.GoLineStart(1), 0) << "already on a boundary";
  EXPECT_EQ(cursorOffset(), 8);
  EXPECT_EQ(textSource.GoLineEnd(0), 0);
  EXPECT_EQ(cursorOffset(), 13);
  EXPECT_EQ(textSource.HasMore(5, 0), 0) << "a record boundary";
  EXPECT_EQ(textSource.HasMore(5, 1), 1);
  EXPECT_EQ(textSource.HasMore(7, 1), 0) << "the file's end";
  ASSERT_EQ(advanceTo(18), 0);
  EXPECT_EQ(textSource.GoLineStart(0), -1) << "the next record would start at the file's end";
}

// GoLineEnd stops on the carriage return of a pair, moves past a line end it
// stands on unless the flag is set, never takes the line feed of a pair for
// a line end of its own, and fails when no line end follows; the end of the
// file closes the last line when no line feed does, once. A line feed as the
// file's first byte has no carriage return before it: with the flag it is a
// line end of its own. For GoLineStart the file's first byte is a line
// start. Both load the following blocks when the line runs on.
TEST_F(TextWindowTest, GoLineEndAndGoLineStartStopAtTheRightBytes) {
  struct Move {
    bool goEnd;  // GoLineEnd, else GoLineStart
    int32_t flag;
    int32_t result;
    int64_t offset;  // checked when the result is 0
  };
  constexpr bool END = true;
  constexpr bool START = false;
  // a0 b1 CR2 LF3 c4 d5 LF6 e7 f8 LF9 LF10 g11 h12
  const std::string lines = "ab\r\ncd\nef\n\ngh";
  const std::string longLine = "x\n" + std::string(2 * WINDOW_SIZE, 'q') + "\r\nlast\n";
  const struct {
    std::string content;
    int64_t start;
    std::vector<Move> moves;  // one after the other
  } cases[] = {
      {lines, 0, {{END, 0, 0, 2}}},     {lines, 2, {{END, 0, 0, 6}}},
      {lines, 2, {{END, 1, 0, 2}}},     {lines, 3, {{END, 1, 0, 6}}},
      {lines, 6, {{END, 1, 0, 6}}},     {lines, 11, {{END, 0, 0, 13}}},
      {lines, 0, {{START, 1, 0, 0}}},   {lines, 0, {{START, 0, 0, 4}}},
      {lines, 4, {{START, 1, 0, 4}}},   {lines, 5, {{START, 1, 0, 7}}},
      {lines, 9, {{START, 0, 0, 10}}},  {lines, 10, {{START, 0, 0, 11}}},
      {lines, 11, {{START, 0, -1, 0}}},
      {"ab\r\ncd", 4, {{END, 0, 0, 6}, {END, 0, -1, 0}, {END, 1, -1, 0}}},
      {"ab\r\ncd", 4, {{END, 1, 0, 6}, {END, 0, -1, 0}, {END, 1, -1, 0}}},
      {"ab\n", 0, {{END, 0, 0, 2}, {END, 0, -1, 0}}},
      {"", 0, {{END, 1, -1, 0}}},
      {"\nab\n", 0, {{END, 1, 0, 0}, {END, 0, 0, 3}}},
      {std::string(WINDOW_SIZE + 5, 'q'), 0, {{END, 1, 0, WINDOW_SIZE + 5}}},
      {longLine, 5, {{END, 0, 0, 2 * WINDOW_SIZE + 2}}},
      {longLine, 5, {{START, 0, 0, 2 * WINDOW_SIZE + 4}}},
  };
  for (const auto& c : cases) {
    open(c.content);
    ASSERT_EQ(c.start == 0 ? 0 : advanceTo(c.start), 0);
    std::string context = testing::PrintToString(c.content.substr(0, 12)) + " from " +
                          std::to_string(c.start);
    for (const Move& move : c.moves) {
      context += std::string(move.goEnd ? ", GoLineEnd(" : ", GoLineStart(") +
                 std::to_string(move.flag) + ")";
      const int32_t result =
          move.goEnd ? textSource.GoLineEnd(move.flag) : textSource.GoLineStart(move.flag);
      EXPECT_EQ(result, move.result) << context;
      if (result != 0) continue;
      EXPECT_EQ(cursorOffset(), move.offset) << context;
      expectFactsAtCursor(context);
    }
  }
}

TEST_F(TextWindowTest, HasMoreStopsAtLineEndsUnlessLinesAreCrossed) {
  open("ab\r\ncd");
  using Case = std::tuple<int32_t, int32_t, int32_t>;
  const Case cases[] = {{1, 0, 1}, {2, 0, 0}, {2, 1, 1}, {3, 0, 0}, {3, 1, 1}, {5, 0, 1}, {6, 1, 0}};
  for (const auto& [n, crossLines, expected] : cases) {
    EXPECT_EQ(textSource.HasMore(n, crossLines), expected)
        << "n " << n << " cross " << crossLines;
  }
}

TEST_F(TextWindowTest, NextCharAndAdvanceStopAtTheFileEnd) {
  // A read or a move beyond the end of a text whose last line ends in a
  // line feed counts that line feed once, as a move back takes it back.
  for (const bool byNextChar : {true, false}) {
    open("ab\ncd\n");
    EXPECT_EQ(textSource.Advance(6), ADVANCE_AT_END);
    EXPECT_EQ(textWindow.lineNumber, 3);
    if (byNextChar) {
      EXPECT_LT(textSource.NextChar(), 0);
    } else {
      EXPECT_EQ(textSource.Advance(1), -1);
    }
    EXPECT_EQ(textSource.MoveBy(-2), 0);
    EXPECT_EQ(textWindow.lineNumber, 2) << (byNextChar ? "NextChar" : "Advance");
    expectFactsAtCursor("back from beyond the end");
  }
  open("ab\ncd");
  EXPECT_EQ(textSource.NextChar(), 'a');
  EXPECT_EQ(textSource.NextChar(), 'b');
  EXPECT_EQ(textSource.NextChar(), '\n');
  EXPECT_EQ(textWindow.lineNumber, 2);
  EXPECT_EQ(textSource.Advance(1), 0);
  EXPECT_EQ(textSource.PeekChar(0), 'd');
  // Past the last byte exactly to the end of the file, then beyond it.
  EXPECT_EQ(textSource.Advance(1), ADVANCE_AT_END);
  EXPECT_EQ(cursorOffset(), 5);
  EXPECT_EQ(textSource.Advance(1), -1);
  open(numberedLines(WINDOW_SIZE + 3));
  EXPECT_EQ(textSource.Advance(WINDOW_SIZE + 3), ADVANCE_AT_END) << "from the first block";
  open("0123456789", 4, 0);
  EXPECT_EQ(textSource.Advance(9), 0);
  EXPECT_EQ(textSource.NextChar(), '9') << "a record move may end at the file's end";
  EXPECT_EQ(cursorOffset(), 10);
}

TEST_F(TextWindowTest, WordTestsLookAtTheBytesAroundTheCursor) {
  uint8_t letters[256] = {};
  for (int32_t c = 'a'; c <= 'z'; ++c) letters[c] = 1;
  open("ab cd");
  EXPECT_FALSE(wordCharBeforeCursor(letters)) << "the start of the file";
  EXPECT_TRUE(wordCharAt(1, letters));
  EXPECT_FALSE(wordCharAt(2, letters));
  EXPECT_FALSE(wordCharAt(5, letters)) << "beyond the end";
  open(std::string(WINDOW_SIZE - 1, ' ') + "w!");
  ASSERT_EQ(advanceTo(WINDOW_SIZE), 0);
  EXPECT_EQ(textWindow.cursor, textWindow.window);
  EXPECT_TRUE(wordCharBeforeCursor(letters)) << "read back from the file";
}

// A sparse file of a little over 4 GiB: the search runs to its end and the
// last line comes out with its 64-bit offset and line number.
TEST_F(TextWindowTest, AFileOver4GiBIsSearchedToItsEnd) {
  const int64_t lastLine = (int64_t{4} << 30) + 1000;
  const std::string tail = "\nthe needle\n";
  const int64_t size = lastLine - 1 + static_cast<int64_t>(tail.size());
  const std::string name = dir / "sparse.bin";
  if (!test::makeSparseFile(name, size, {{int64_t{1} << 30, "\n"}, {int64_t{2} << 30, "\n"},
                                         {int64_t{3} << 30, "\n"}, {lastLine - 200000, "\n"},
                                         {lastLine - 1, tail}})) {
    GTEST_SKIP() << test::NO_SPARSE_FILE;
  }
  openName(name);
  EXPECT_EQ(textWindow.fileSize, size);
  ASSERT_EQ(CompileLiteral(test::bytes("needle"), 6, 0, ENCODING_SINGLE_BYTE), 0);
  ASSERT_EQ(SearchLiteral(test::bytes("needle"), 6), 0);
  EXPECT_EQ(cursorOffset(), lastLine + 4);
  EXPECT_EQ(textWindow.lineNumber, 6);
  EXPECT_EQ(textWindow.lineStartOffset, lastLine);
  EXPECT_EQ(textSource.CharAt(6), '\n');
  // Backward across the block boundary below the match, far beyond 4 GiB.
  ASSERT_EQ(textSource.MoveBy(-70000), 0);
  EXPECT_EQ(cursorOffset(), lastLine + 4 - 70000);
  EXPECT_EQ(textWindow.lineNumber, 5);
  EXPECT_EQ(textWindow.lineStartOffset, lastLine - 200000 + 1);
}

}  // namespace
