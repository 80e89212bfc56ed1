// Tests of the literal search: the probe-and-align loop over a text source
// (a small in-memory source with a tiny window, and the file text window),
// the candidate filter in front of it (every scan kind must report exactly
// what the plain loop reports), the double-byte and UTF-8 variants, and the
// search over a block of memory.
#include "pattern/literal_search.h"

#include <algorithm>
#include <tuple>

#include "driver/text_window.h"
#include "pattern/text_source.h"
#include "tests/unit/test_support.h"

namespace {

using test::bytes;

const int32_t ALL_SCANNERS[] = {LITERAL_SCAN_PLAIN, LITERAL_SCAN_SCALAR, LITERAL_SCAN_SSE2,
                                LITERAL_SCAN_AVX2};

// A text source over a string that holds only `windowSize` bytes of it at a
// time, so that probes and candidates run past the window and every move
// beyond the advance limit reloads it. The advance limit is the middle of the
// window, so both kinds of move happen.
struct MemorySource {
  std::string text;
  int32_t windowSize = 7;
  int64_t windowStart = 0;
  int64_t dataLength = 0;
  int64_t cursor = 0;
  bool limitAtWindowStart = false;  // every move goes through AdvanceTo
  std::vector<uint8_t> buffer;
  std::vector<int64_t> advanceTargets;

  static MemorySource* active;

  void load(int64_t offset) {
    windowStart = offset;
    dataLength = std::max<int64_t>(
        0, std::min<int64_t>(windowSize, static_cast<int64_t>(text.size()) - offset));
    std::copy_n(text.data() + offset, dataLength, buffer.begin());
  }
  int64_t offsetOf(const uint8_t* p) const { return windowStart + (p - buffer.data()); }
  const uint8_t* pointerTo(int64_t offset) const { return buffer.data() + (offset - windowStart); }

  void install(const std::string& content, int32_t size, int32_t charMode) {
    active = this;
    text = content;
    windowSize = size;
    buffer.assign(static_cast<size_t>(size) + 1, 0);
    load(0);
    cursor = 0;
    advanceTargets.clear();
    textSource = TextSource{};
    textSource.SetPosition = [](const uint8_t* p) { active->cursor = active->offsetOf(p); };
    textSource.GetWindow = [](const uint8_t** c, const uint8_t** limit, const uint8_t** end) {
      MemorySource& s = *active;
      *c = s.pointerTo(s.cursor);
      *limit = s.limitAtWindowStart ? s.buffer.data() : s.buffer.data() + s.dataLength / 2;
      *end = s.buffer.data() + s.dataLength;
    };
    textSource.CharAt = [](int32_t n) -> int32_t {
      const int64_t offset = active->cursor + n;
      if (offset < 0 || offset >= static_cast<int64_t>(active->text.size())) return -1;
      return static_cast<uint8_t>(active->text[offset]);
    };
    textSource.PeekChar = textSource.CharAt;
    textSource.AdvanceTo = [](const uint8_t* p) -> int32_t {
      MemorySource& s = *active;
      const int64_t offset = s.offsetOf(p);
      s.advanceTargets.push_back(offset);
      if (offset >= static_cast<int64_t>(s.text.size())) {
        s.cursor = static_cast<int64_t>(s.text.size());
        return -1;
      }
      if (offset >= s.windowStart + s.dataLength || offset < s.windowStart) s.load(offset);
      s.cursor = offset;
      return 0;
    };
    textSource.Advance = [](int32_t n) {
      return textSource.AdvanceTo(active->pointerTo(active->cursor + n));
    };
    textSource.MoveBy = [](int32_t n) -> int32_t {
      MemorySource& s = *active;
      const int64_t offset = s.cursor + n;
      if (offset < 0) return -1;
      if (offset < s.windowStart) s.load(std::max<int64_t>(0, offset - s.windowSize / 2));
      s.cursor = offset;
      return 0;
    };
    textSource.AtLineStart = [](int32_t) -> int32_t {
      const MemorySource& s = *active;
      return s.cursor == 0 || s.text[s.cursor - 1] == '\n' ? 1 : 0;
    };
    textSource.charMode = charMode;
  }
};

MemorySource* MemorySource::active = nullptr;

std::string upperCased(std::string pattern, bool utf8) {
  upperCaseText(pattern.data(), static_cast<int32_t>(pattern.size()), utf8 ? 1 : 0);
  return pattern;
}

int32_t compile(const std::string& pattern, bool ignoreCase,
                int32_t encodingMode = ENCODING_SINGLE_BYTE) {
  return CompileLiteral(bytes(pattern), static_cast<int32_t>(pattern.size()), ignoreCase ? 1 : 0,
                        encodingMode);
}

int32_t search(const std::string& pattern) {
  return SearchLiteral(bytes(pattern), static_cast<int32_t>(pattern.size()));
}

// Every match start, as the driver finds them: search, note the cursor,
// move one byte on, search again.
template <typename Match>
std::vector<Match> allMatches(const std::string& pattern, Match (*current)()) {
  std::vector<Match> found;
  while (search(pattern) == 0) {
    found.push_back(current());
    const uint8_t *cursor, *limit, *end;
    textSource.GetWindow(&cursor, &limit, &end);
    if (textSource.AdvanceTo(cursor + 1) != 0) break;
  }
  return found;
}

std::vector<int64_t> memoryMatches(MemorySource& source, const std::string& text,
                                   const std::string& pattern, int32_t windowSize,
                                   int32_t charMode = ENCODING_SINGLE_BYTE) {
  source.install(text, windowSize, charMode);
  return allMatches<int64_t>(pattern, [] { return MemorySource::active->cursor; });
}

// Leftmost-first reference: every offset where the (folded) text equals the
// pattern, optionally only at double-byte character boundaries.
std::vector<int64_t> referenceMatches(const std::string& text, const std::string& pattern,
                                      bool ignoreCase, bool doubleByte) {
  std::vector<int64_t> found;
  const auto fold = [&](char c) {
    return ignoreCase ? upperTable[static_cast<uint8_t>(c)] : static_cast<uint8_t>(c);
  };
  for (size_t s = 0; s + pattern.size() <= text.size() && !pattern.empty(); ++s) {
    bool equal = true;
    for (size_t i = 0; i < pattern.size() && equal; ++i) {
      equal = fold(text[s + i]) == static_cast<uint8_t>(pattern[i]);
    }
    size_t leads = 0;
    for (size_t q = s; doubleByte && q > 0 && text[q - 1] != '\n' &&
                       leadByteTable[static_cast<uint8_t>(text[q - 1])] != 0;
         --q) {
      ++leads;
    }
    if (equal && leads % 2 == 0) found.push_back(static_cast<int64_t>(s));
  }
  return found;
}

// Restores the scan kind and the code-page state after each test.
class LiteralSearch : public ::testing::Test {
 protected:
  void TearDown() override { selectLiteralScanner(-1); }
  test::EncodingScope encoding;
  MemorySource source;
};

TEST_F(LiteralSearch, EmptyPatternIsNeverFound) {
  ASSERT_EQ(compile("", false), 0);
  source.install("anything", 7, ENCODING_SINGLE_BYTE);
  EXPECT_EQ(search(""), 1);
  EXPECT_EQ(FindLiteralInMemory(1, bytes(""), 0, bytes("abc"), 3), 0);
}

TEST_F(LiteralSearch, FindsTheFirstMatchInEveryWindowSizeAndScanKind) {
  struct Case {
    const char* text;
    const char* pattern;
    bool ignoreCase;   // the pattern arrives upper-cased
    int64_t expected;  // 0-based offset of the first match, -1 when none
  };
  const Case cases[] = {
      {"abaabab", "abab", false, 3}, {"abaabab", "abab", true, 3}, {"xxAbCxx", "ABC", true, 2},
      {"xxabcxx", "ABC", false, -1}, {"aaaaaaab", "aab", false, 5}, {"ab", "abc", false, -1},
      {"zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzq", "q", false, 51},
      {"x\ny\nz", "\nz", false, 3},
  };
  for (const Case& row : cases) {
    const std::string pattern = row.ignoreCase ? upperCased(row.pattern, false) : row.pattern;
    for (const int32_t scanner : ALL_SCANNERS) {
      selectLiteralScanner(scanner);
      for (const int32_t windowSize : {1, 2, 3, 7, 64}) {
        ASSERT_EQ(compile(pattern, row.ignoreCase), 0);
        source.install(row.text, windowSize, ENCODING_SINGLE_BYTE);
        SCOPED_TRACE(std::string(row.text) + " / " + row.pattern + " window " +
                     std::to_string(windowSize) + " scan " + std::to_string(scanner));
        EXPECT_EQ(search(pattern), row.expected < 0 ? 1 : 0);
        if (row.expected >= 0) {
          EXPECT_EQ(source.cursor, row.expected);
        }
      }
    }
  }
}

TEST_F(LiteralSearch, AnAbsentProbeByteShiftsByThePatternLength) {
  selectLiteralScanner(LITERAL_SCAN_PLAIN);
  ASSERT_EQ(compile("abc", false), 0);
  source.limitAtWindowStart = true;
  source.install("xxxxxxxxxxxx", 7, ENCODING_SINGLE_BYTE);
  EXPECT_EQ(search("abc"), 1);
  EXPECT_EQ(source.advanceTargets, (std::vector<int64_t>{3, 6, 9, 12}));
}

TEST_F(LiteralSearch, DoubleByteTextReportsMatchesOnlyAtCharacterStarts) {
  encoding.doubleByte(0x81, 0x82);
  struct Case {
    std::string text;
    std::string pattern;
    bool ignoreCase;
    std::vector<int64_t> expected;
  };
  // "AB" behind a lead byte begins on a trail byte, behind an even run of
  // them it does not, and a line start ends the run. Lead bytes in an
  // ignore-case pattern match both case forms of the byte after them.
  const Case cases[] = {
      {"\x81" "ABAB", "AB", false, {3}},      {"\x81\x81" "AB", "AB", false, {2}},
      {"\x81\x81\x81" "AB", "AB", false, {}}, {"x\x81\n\x81\x81" "AB", "AB", false, {5}},
      {"\x82" "ab\x82" "ab", "AB", true, {}}, {"\x82" "abab", "AB", true, {3}},
      {"x\x81" "a\x81" "A", "\x81" "A", true, {1, 3}}, {"\x81\x81" "a", "\x81" "A", true, {}},
  };
  for (const Case& row : cases) {
    for (const int32_t scanner : ALL_SCANNERS) {
      selectLiteralScanner(scanner);
      for (const int32_t windowSize : {2, 7, 64}) {
        ASSERT_EQ(compile(row.pattern, row.ignoreCase, ENCODING_DOUBLE_BYTE), 0);
        EXPECT_EQ(memoryMatches(source, row.text, row.pattern, windowSize, ENCODING_DOUBLE_BYTE),
                  row.expected)
            << "pattern " << row.pattern << " window " << windowSize << " scan " << scanner;
      }
    }
  }
}

TEST_F(LiteralSearch, Utf8IgnoreCaseFoldsWholeCharacters) {
  // pattern: as typed; upper-cased before the search
  using Case = std::tuple<const char*, const char*, std::vector<int64_t>>;
  // été finds été, ÉTÉ and éTé; é is not è.
  const Case cases[] = {
      {"l'\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9", {2}},
      {"L'\xC3\x89T\xC3\x89 \xC3\xA9T\xC3\xA9", "\xC3\xA9t\xC3\xA9", {2, 8}},
      {"caf\xC3\xA9 CAFE", "cafe", {6}}, {"\xC3\xA9", "\xC3\xA8", {}},
  };
  for (const auto& [text, typed, expected] : cases) {
    const std::string pattern = upperCased(typed, true);
    for (const int32_t windowSize : {1, 3, 7, 64}) {
      ASSERT_EQ(compile(pattern, true, ENCODING_UTF8), 0);
      EXPECT_EQ(memoryMatches(source, text, pattern, windowSize, ENCODING_UTF8), expected)
          << text << " / " << typed << " window " << windowSize;
    }
  }
}

TEST_F(LiteralSearch, FindLiteralInMemoryReturnsOneBasedOffsets) {
  struct Case {
    std::string block;
    std::string pattern;
    bool ignoreCase;
    int32_t start;
    int32_t expected;
  };
  const Case cases[] = {
      {"abaabab", "abab", false, 1, 4}, {"abaabab", "abab", false, 5, 0},
      {"abaabab", "aba", false, 2, 4},  {"abaabab", "aba", false, -7, 1},  // below 1 counts as 1
      {"xxAbCabc", "ABC", true, 4, 6},  {"xxAbCabc", "ABC", false, 1, 0},
      {"xxAbCABC", "ABC", false, 1, 6}, {"abc", "abcd", false, 1, 0},
      {"GREPDEFAULTS", "DEFAULTS", true, 1, 5}, {"GREPDEFAULTS", "DEFAULTS", true, 6, 0},
  };
  for (const Case& row : cases) {
    ASSERT_EQ(compile(row.pattern, row.ignoreCase), 0);
    EXPECT_EQ(FindLiteralInMemory(row.start, bytes(row.pattern),
                                  static_cast<int32_t>(row.pattern.size()), bytes(row.block),
                                  static_cast<int32_t>(row.block.size())),
              row.expected)
        << row.block << " / " << row.pattern << " from " << row.start;
  }
}

// Random texts over a small alphabet (so that matches and near-matches are
// frequent), random patterns, both cases: every scan kind must report the
// same positions as the plain loop, and both the same as a naive search.
TEST_F(LiteralSearch, FilteredScansReportExactlyWhatThePlainLoopReports) {
  std::mt19937 random(20240611);
  const std::string alphabet = "abAB\n\xE9\xC9x";
  for (int32_t round = 0; round < 600; ++round) {
    std::string text(random() % 400, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    std::string pattern;
    if (!text.empty() && random() % 3 != 0) {
      pattern = text.substr(random() % text.size(), 1 + random() % 6);
    } else {
      pattern.assign(1 + random() % 4, ' ');
      for (char& c : pattern) c = alphabet[random() % 4];
    }
    const bool ignoreCase = random() % 2 == 0;
    if (ignoreCase) pattern = upperCased(pattern, false);
    // Tiny windows make every alignment straddle; larger ones let the vector
    // scans run over whole blocks.
    const int32_t windowSize =
        1 + static_cast<int32_t>(random() % 2 == 0 ? random() % 20 : 32 + random() % 300);
    const std::vector<int64_t> expected = referenceMatches(text, pattern, ignoreCase, false);
    for (const int32_t scanner : ALL_SCANNERS) {
      selectLiteralScanner(scanner);
      ASSERT_EQ(compile(pattern, ignoreCase), 0);
      ASSERT_EQ(memoryMatches(source, text, pattern, windowSize), expected)
          << "round " << round << " scan " << scanner << " window " << windowSize;
    }
  }
}

TEST_F(LiteralSearch, FilteredScansKeepTheBoundaryTestInDoubleByteText) {
  encoding.doubleByte(0x81, 0x81);
  std::mt19937 random(7);
  const std::string alphabet = "\x81\x81" "abA\n";
  for (int32_t round = 0; round < 400; ++round) {
    std::string text(random() % 120, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    std::string pattern(1 + random() % 3, ' ');
    for (char& c : pattern) c = "abA"[random() % 3];
    const int32_t windowSize =
        1 + static_cast<int32_t>(random() % 2 == 0 ? random() % 12 : 40 + random() % 100);
    const std::vector<int64_t> expected = referenceMatches(text, pattern, false, true);
    for (const int32_t scanner : ALL_SCANNERS) {
      selectLiteralScanner(scanner);
      ASSERT_EQ(compile(pattern, false, ENCODING_DOUBLE_BYTE), 0);
      ASSERT_EQ(memoryMatches(source, text, pattern, windowSize, ENCODING_DOUBLE_BYTE), expected)
          << "round " << round << " scan " << scanner;
    }
  }
}

// ---------------------------------------------------------------------------
// Over the file text window

using FileMatch = std::tuple<int64_t, int64_t, int64_t>;  // offset, line number, line start

std::vector<FileMatch> fileMatches(const std::string& fileName, const std::string& pattern,
                                   int32_t charMode = ENCODING_SINGLE_BYTE) {
  int32_t status = 0;
  Stream* stream = openStream(fileName.c_str(), "rb", &status, STREAM_FILE_CAPACITY);
  EXPECT_NE(stream, nullptr) << "status " << status;
  if (stream == nullptr) return {};
  openTextWindow(stream, 0, 0, charMode);
  std::vector<FileMatch> found = allMatches<FileMatch>(pattern, [] {
    return FileMatch{cursorOffset(), textWindow.lineNumber, textWindow.lineStartOffset};
  });
  closeStream(stream);
  return found;
}

std::vector<FileMatch> referenceFileMatches(const std::string& text, const std::string& pattern,
                                            bool ignoreCase) {
  std::vector<FileMatch> found;
  int64_t lineNumber = 1;
  int64_t lineStart = 0;
  int64_t counted = 0;  // line feeds before this offset are counted
  for (const int64_t offset : referenceMatches(text, pattern, ignoreCase, false)) {
    for (; counted < offset; ++counted) {
      if (text[counted] == '\n') {
        ++lineNumber;
        lineStart = counted + 1;
      }
    }
    found.emplace_back(offset, lineNumber, lineStart);
  }
  return found;
}

TEST_F(LiteralSearch, AMatchStraddlingTheWindowDataEndIsFound) {
  // 65536 bytes fill the first block; the match begins 3 bytes before its end.
  std::string text(WINDOW_SIZE - 3, 'x');
  text[100] = '\n';
  const test::TempFile file(text + "needle and more\n");
  for (const int32_t scanner : ALL_SCANNERS) {
    selectLiteralScanner(scanner);
    ASSERT_EQ(compile("needle", false), 0);
    EXPECT_EQ(fileMatches(file.name(), "needle"),
              (std::vector<FileMatch>{{WINDOW_SIZE - 3, 2, 101}}))
        << "scan " << scanner;
  }
}

// The lead bytes before a candidate lie in the previous block: the boundary
// test steps back across the block start and forward again.
TEST_F(LiteralSearch, DoubleByteBoundaryTestReachesBackIntoThePreviousBlock) {
  encoding.doubleByte(0x81, 0x81);
  std::string evenRun(WINDOW_SIZE - 2, 'x');
  std::string oddRun(WINDOW_SIZE - 1, 'x');
  evenRun[10] = oddRun[10] = '\n';
  const test::TempFile evenFile(evenRun + "\x81\x81" "AB tail\n");
  const test::TempFile oddFile(oddRun + "\x81" "AB then AB\n");
  for (const int32_t scanner : ALL_SCANNERS) {
    selectLiteralScanner(scanner);
    ASSERT_EQ(compile("AB", false, ENCODING_DOUBLE_BYTE), 0);
    EXPECT_EQ(fileMatches(evenFile.name(), "AB", ENCODING_DOUBLE_BYTE),
              (std::vector<FileMatch>{{WINDOW_SIZE, 2, 11}}))
        << "scan " << scanner;
    EXPECT_EQ(fileMatches(oddFile.name(), "AB", ENCODING_DOUBLE_BYTE),
              (std::vector<FileMatch>{{WINDOW_SIZE + 8, 2, 11}}))
        << "scan " << scanner;
  }
}

TEST_F(LiteralSearch, FileSearchReportsEveryMatchWithItsLine) {
  std::mt19937 random(99);
  // Over 3 blocks of text with lines of random length, some of them long.
  std::string text;
  while (text.size() < 3 * WINDOW_SIZE + 777) {
    const size_t lineLength = random() % 8 == 0 ? random() % 20000 : random() % 90;
    for (size_t i = 0; i < lineLength; ++i) text += "abcdefgh ABX"[random() % 12];
    text += random() % 4 == 0 ? "\r\n" : "\n";
  }
  const test::TempFile file(text);
  struct Query {
    std::string pattern;
    bool ignoreCase;
  };
  const Query queries[] = {{"abc", false},        {"abc", true},  {"h\na", false},
                           {"X", false},          {"cdefgh abx", true}, {"zzz", false},
                           {std::string(300, 'a'), false}};
  for (Query query : queries) {
    if (query.ignoreCase) query.pattern = upperCased(query.pattern, false);
    const std::vector<FileMatch> expected =
        referenceFileMatches(text, query.pattern, query.ignoreCase);
    for (const int32_t scanner : ALL_SCANNERS) {
      selectLiteralScanner(scanner);
      ASSERT_EQ(compile(query.pattern, query.ignoreCase), 0);
      EXPECT_EQ(fileMatches(file.name(), query.pattern), expected)
          << "pattern " << query.pattern.substr(0, 20) << " scan " << scanner;
    }
  }
}

}  // namespace
