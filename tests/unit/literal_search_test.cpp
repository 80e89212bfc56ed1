// Tests of the literal search: the probe-and-align loop over a text source
// (a small in-memory source with a tiny window, and the file text window),
// the candidate filter in front of it (every scan kind must report exactly
// what the plain loop reports), the linear search that takes over when the
// comparisons outrun their budget (forced anywhere by lowering the budget,
// and its work measured on periodic patterns), the double-byte and UTF-8
// variants, and the search over a block of memory.
#include "pattern/literal_search.h"

#include <algorithm>
#include <tuple>

#include "driver/search_driver.h"
#include "driver/text_window.h"
#include "pattern/text_source.h"
#include "support/case_folding.h"
#include "tests/unit/test_support.h"

namespace {

using test::bytes;

const int32_t ALL_SCANNERS[] = {LITERAL_SCAN_PLAIN, LITERAL_SCAN_SCALAR, LITERAL_SCAN_SSE2,
                                LITERAL_SCAN_AVX2};

// Work budgets: the default (the linear search seldom starts on short
// texts), none (it starts at the first failed comparison), and small ones
// that switch somewhere in between.
struct Budget {
  int32_t perByte;
  int32_t allowance;
};
const Budget ALL_BUDGETS[] = {{-1, -1}, {0, 0}, {1, 2}, {0, 25}};

void useBudget(const Budget& budget) { setLiteralWorkBudget(budget.perByte, budget.allowance); }

// A text source over a string that holds only `windowSize` bytes of it at a
// time, so that probes and candidates run past the window and every move
// beyond the advance limit reloads it. The advance limit is the middle of the
// window, so both kinds of move happen. It tells where its window lies
// (TextPlace), so the search keeps its candidates from one match to the next
// while the window stays, and must drop them when a reload puts other bytes
// under the same pointers.
struct MemorySource {
  std::string text;
  int32_t windowSize = 7;
  int64_t windowStart = 0;
  int64_t dataLength = 0;
  int64_t cursor = 0;
  bool limitAtWindowStart = false;  // every move goes through AdvanceTo
  std::vector<uint8_t> buffer;
  std::vector<int64_t> advanceTargets;
  uint32_t identity = 0;

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
    textSource.TextPlace = [](const uint8_t* p, int64_t* offset) {
      *offset = active->offsetOf(p);
      return active->identity;
    };
    identity = newTextIdentity();
    textSource.charMode = charMode;
  }
};

MemorySource* MemorySource::active = nullptr;

// The search text as the driver hands it over when case is ignored.
std::string upperCased(std::string pattern, bool utf8) {
  upperCaseSearchText(pattern.data(), static_cast<int32_t>(pattern.size()), 0, utf8 ? 1 : 0);
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

// Every offset where the (folded) text equals the pattern, by trying them all.
std::vector<int64_t> referenceMatches(const std::string& text, const std::string& pattern,
                                      bool ignoreCase) {
  std::vector<int64_t> found;
  for (size_t s = 0; !pattern.empty() && s + pattern.size() <= text.size(); ++s) {
    size_t i = 0;
    while (i < pattern.size() &&
           (ignoreCase ? upperTable[static_cast<uint8_t>(text[s + i])]
                       : static_cast<uint8_t>(text[s + i])) == static_cast<uint8_t>(pattern[i])) {
      ++i;
    }
    if (i == pattern.size()) found.push_back(static_cast<int64_t>(s));
  }
  return found;
}

// Random text over an alphabet of pieces; with `period` set, mostly the
// period repeated with a random piece now and then, so that long partial
// matches of a periodic pattern are everywhere.
std::string randomText(std::mt19937& random, const std::vector<std::string>& pieces, size_t size,
                       const std::string& period = "") {
  std::string text;
  while (text.size() < size) {
    text += !period.empty() && random() % 6 != 0 ? period : pieces[random() % pieces.size()];
  }
  return text;
}

std::string times(const std::string& unit, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += unit;
  return out;
}

// Restores the scan kind and the code-page state after each test.
class LiteralSearch : public ::testing::Test {
 protected:
  void TearDown() override {
    selectLiteralScanner(-1);
    setLiteralWorkBudget(-1, -1);
  }
  test::EncodingScope encoding;
  MemorySource source;
};

TEST_F(LiteralSearch, EmptyPatternIsNeverFound) {
  ASSERT_EQ(compile("", false), 0);
  source.install("anything", 7, ENCODING_SINGLE_BYTE);
  EXPECT_EQ(search(""), 1);
  EXPECT_EQ(FindLiteralInMemory(1, bytes(""), 0, bytes("abc"), 3), 0);
}

// The scan a test chooses is the one a compile leaves in force, so that the
// tests of every scan run each of them: the plain loop, unlike the vector
// scans, moves by the pattern length past a probe byte the pattern lacks.
TEST_F(LiteralSearch, TheChosenScanStaysInForceAcrossACompile) {
  selectLiteralScanner(LITERAL_SCAN_PLAIN);
  ASSERT_EQ(compile("abc", false), 0);
  source.limitAtWindowStart = true;
  source.install("xxxxxxxxxxxx", 64, ENCODING_SINGLE_BYTE);
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
      // A run of lead bytes long enough for the linear search to pass it as
      // periodic: the alignment's role flips with every byte it moves.
      {std::string("x") + std::string(41, '\x81') + "AB", std::string(40, '\x81') + "AB", false,
       {}},
      {std::string("x") + std::string(42, '\x81') + "AB", std::string(40, '\x81') + "AB", false,
       {3}},
  };
  for (const Case& row : cases) {
    for (const int32_t scanner : ALL_SCANNERS) {
      selectLiteralScanner(scanner);
      for (const Budget& budget : ALL_BUDGETS) {
        useBudget(budget);
        for (const int32_t windowSize : {2, 7, 64}) {
          ASSERT_EQ(compile(row.pattern, row.ignoreCase, ENCODING_DOUBLE_BYTE), 0);
          EXPECT_EQ(memoryMatches(source, row.text, row.pattern, windowSize, ENCODING_DOUBLE_BYTE),
                    row.expected)
              << "pattern " << row.pattern << " window " << windowSize << " scan " << scanner
              << " budget " << budget.perByte << "/" << budget.allowance;
        }
      }
    }
  }
}

TEST_F(LiteralSearch, Utf8IgnoreCaseFoldsWholeCharacters) {
  // pattern: as typed; upper-cased before the search
  using Case = std::tuple<std::string, std::string, std::vector<int64_t>>;
  const std::string kelvins = times("\xE2\x84\xAA", 45);
  // été finds été, ÉTÉ and éTé; é is not è.
  const Case cases[] = {
      {"l'\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9", {2}},
      {"L'\xC3\x89T\xC3\x89 \xC3\xA9T\xC3\xA9", "\xC3\xA9t\xC3\xA9", {2, 8}},
      {"caf\xC3\xA9 CAFE", "cafe", {6}}, {"\xC3\xA9", "\xC3\xA8", {}},
      {"\xCE\xA3\xCF\x83\xCF\x82", "\xCF\x82", {0, 2, 4}},  // the three sigmas
      // Case forms of another length: the Kelvin sign, the long s, capital sharp s,
      // dotless and dotted i. A match may span more or fewer bytes than the pattern.
      {"\xE2\x84\xAA k K", "k", {0, 4, 6}},
      {"x\xE2\x84\xAA" "elvin", "KELVIN", {1}},
      {"\xC5\xBFun SUN", "sun", {0, 5}},
      {"sun", "\xC5\xBFUN", {0}},
      {"stra\xC3\x9F" "e STRA\xE1\xBA\x9E" "E", "STRA\xC3\x9F" "E", {0, 8}},
      {"I \xC4\xB1 i \xC4\xB0", "i", {0, 2, 5, 7}},
      {"K\xC4\xB0SS k\xC4\xB1\xC5\xBFs \xE2\x84\xAAiss", "kiss", {0, 6, 13}},
      // A character cut by the end of the text is no match, and nothing past it is read.
      {"ab\xE2\x84", "k", {}}, {"\xC5", "s", {}},
      // Periodic runs long enough for the linear search to pass them whole,
      // in case forms of other lengths: the match begins 90 (or 60)
      // characters before its end, whatever their sizes.
      {times("k", 20) + kelvins + times("k", 40) + "NEEDLE", times("k", 90) + "needle", {15}},
      {times("k", 20) + kelvins + times("k", 40) + "NEEDLE", times("k", 90) + "needlf", {}},
      {std::string("x") + times("\xC5\xBF", 45) + times("S", 50) + "X", times("s", 90) + "x", {11}},
      {times("\xC3\x9F", 30) + times("\xE1\xBA\x9E", 50) + "!", times("\xC3\x9F", 60) + "!", {40}},
      // Lone lead bytes, the last of which begins a character (the euro sign).
      {times("\xE2", 100) + "\xE2\x82\xAC!", times("\xE2", 40) + "\xE2\x82\xAC!", {60}},
  };
  for (const auto& [text, typed, expected] : cases) {
    const std::string pattern = upperCased(typed, true);
    for (const int32_t scanner : ALL_SCANNERS) {
      selectLiteralScanner(scanner);
      for (const Budget& budget : ALL_BUDGETS) {
        useBudget(budget);
        for (const int32_t windowSize : {1, 3, 7, 64}) {
          ASSERT_EQ(compile(pattern, true, ENCODING_UTF8), 0);
          EXPECT_EQ(memoryMatches(source, text, pattern, windowSize, ENCODING_UTF8), expected)
              << text.substr(0, 16) << " / " << typed.substr(0, 16) << " window " << windowSize
              << " scan " << scanner << " budget " << budget.perByte << "/" << budget.allowance;
        }
      }
    }
  }
}

// A pattern for a random round: a piece of the text, a random string, or a
// repeated unit with an odd piece at its end (then also planted in the text).
std::string randomPattern(std::mt19937& random, const std::vector<std::string>& pieces,
                          std::string& text, const std::string& unit) {
  std::string pattern;
  if (!unit.empty()) {
    for (size_t n = 1 + random() % 12; n > 0; --n) pattern += unit;
    if (random() % 2 == 0) pattern += pieces[random() % pieces.size()];
    if (random() % 2 == 0) text.insert(random() % (text.size() + 1), pattern);
  } else if (!text.empty() && random() % 3 != 0) {
    pattern = text.substr(random() % text.size(), 1 + random() % 6);
  } else {
    pattern = randomText(random, pieces, 1 + random() % 4);
  }
  return pattern;
}

// Random and periodic texts over a small alphabet (so that matches and
// near-matches are frequent), random and periodic patterns, both cases:
// every scan kind under every budget must report what a naive search does.
TEST_F(LiteralSearch, EveryScanAndBudgetReportsWhatANaiveSearchReports) {
  std::mt19937 random(20240611);
  const std::vector<std::string> pieces = {"a", "b", "A", "B", "\n", "\xE9", "\xC9", "x"};
  for (int32_t round = 0; round < 600; ++round) {
    const std::string unit = round % 2 == 1 ? randomText(random, pieces, 1 + random() % 4) : "";
    std::string text = randomText(random, pieces, random() % 400, unit);
    std::string pattern = randomPattern(random, pieces, text, unit);
    const bool ignoreCase = random() % 2 == 0;
    if (ignoreCase) pattern = upperCased(pattern, false);
    // Tiny windows make every alignment straddle; larger ones let the vector
    // scans run over whole blocks.
    const int32_t windowSize =
        1 + static_cast<int32_t>(random() % 2 == 0 ? random() % 20 : 32 + random() % 300);
    const std::vector<int64_t> expected = referenceMatches(text, pattern, ignoreCase);
    for (const int32_t scanner : ALL_SCANNERS) {
      selectLiteralScanner(scanner);
      for (const Budget& budget : ALL_BUDGETS) {
        useBudget(budget);
        ASSERT_EQ(compile(pattern, ignoreCase), 0);
        ASSERT_EQ(memoryMatches(source, text, pattern, windowSize), expected)
            << "round " << round << " scan " << scanner << " window " << windowSize << " budget "
            << budget.perByte << "/" << budget.allowance;
      }
    }
    // The search over a block of memory, from a random start (below 1 now
    // and then, which counts as 1), finds the first of the same matches at
    // or after it, as a 1-based offset.
    const int32_t start =
        static_cast<int32_t>(random() % (text.size() + 2)) - (round % 8 == 0 ? 8 : 0);
    const auto first = std::lower_bound(expected.begin(), expected.end(), std::max(start, 1) - 1);
    ASSERT_EQ(FindLiteralInMemory(start, bytes(pattern), static_cast<int32_t>(pattern.size()),
                                  bytes(text), static_cast<int32_t>(text.size())),
              first == expected.end() ? 0 : static_cast<int32_t>(*first + 1))
        << "round " << round << " from " << start;
  }
}

// The search keeps the unverified candidates of the block it found a match
// in, for the next search from just after the match. Sets of one to four
// literals over text dense with candidates: the next start found from the
// kept candidates, stepping on by one to three bytes, is the one a fresh
// search from there finds, to the end of the text.
TEST_F(LiteralSearch, KeptCandidatesGiveTheStartsAFreshSearchGives) {
  std::mt19937 random(20261208);
  const std::vector<std::string> pieces = {"a", "b", "ab", "A", "\n", "ba"};
  for (int32_t round = 0; round < 300; ++round) {
    const std::string text = randomText(random, pieces, 1 + random() % 700);
    const bool fold = random() % 2 == 0;
    std::vector<std::string> literals(1 + random() % LITERAL_SET_CAPACITY);
    for (std::string& literal : literals) {
      literal = randomText(random, pieces, 1 + random() % 5);
      if (fold) literal = upperCased(literal, false);
    }
    std::vector<const uint8_t*> starts;
    std::vector<int32_t> lengths;
    for (const std::string& literal : literals) {
      starts.push_back(bytes(literal));
      lengths.push_back(static_cast<int32_t>(literal.size()));
    }
    LiteralSet set;
    ASSERT_TRUE(prepareLiteralSet(starts.data(), lengths.data(),
                                  static_cast<int32_t>(literals.size()), fold, &set));
    const uint8_t* begin = bytes(text);
    const uint8_t* end = begin + text.size();
    LiteralSetHits kept{};
    const uint8_t* from = begin;
    for (bool first = true; from <= end; first = false) {
      const uint8_t* expected = findLiteralSet(set, from, end);
      const uint8_t* found = !first && literalSetHitsCover(kept, from, end)
                                 ? resumeLiteralSet(set, from, &kept)
                                 : findLiteralSetKeeping(set, from, end, &kept);
      ASSERT_EQ(found, expected) << "round " << round << " from " << (from - begin);
      if (found == nullptr) break;
      from = found + 1 + random() % 3;
    }
  }
}

// The kept candidates belong to one pattern and one window's bytes: a new
// compile of other bytes in the same place, and a block loaded under the
// same pointers, each drop them. The file window holds its blocks in one
// buffer, so a move of one block and a byte puts the cursor just after the
// last match's pointer, with the same data end, over bytes of another phase.
TEST_F(LiteralSearch, KeptCandidatesAreDroppedByANewCompileAndANewBlock) {
  const int64_t W = WINDOW_SIZE;
  // "ba" starts at odd offsets in the first block and at even ones after it.
  const test::TempFile file(times("ab", W / 2) + "b" + times("ab", W));
  int32_t status = 0;
  Stream* stream = openStream(file.name().c_str(), "rb", &status, STREAM_FILE_CAPACITY);
  ASSERT_NE(stream, nullptr);
  openTextWindow(stream, 0, 0, ENCODING_SINGLE_BYTE);
  std::string pattern = "ab";
  ASSERT_EQ(compile(pattern, false), 0);
  ASSERT_EQ(search(pattern), 0);
  EXPECT_EQ(cursorOffset(), 0);
  ASSERT_EQ(textSource.AdvanceTo(textWindow.cursor + 1), 0);
  pattern = "ba";  // the same place and length
  ASSERT_EQ(compile(pattern, false), 0);
  ASSERT_EQ(search(pattern), 0);
  EXPECT_EQ(cursorOffset(), 1);
  ASSERT_EQ(textSource.AdvanceTo(textWindow.cursor + W + 1), 0);
  EXPECT_EQ(search(pattern), 0);
  EXPECT_EQ(cursorOffset(), W + 2);
  // On from there the bytes of the new block are read, pair after pair.
  for (const int64_t expected : {W + 4, W + 6}) {
    ASSERT_EQ(textSource.AdvanceTo(textWindow.cursor + 1), 0);
    EXPECT_EQ(search(pattern), 0);
    EXPECT_EQ(cursorOffset(), expected);
  }
  closeStream(stream);
}

// Periodic patterns of 100 KB over 3 MB of text that agrees with them for
// long stretches at every alignment (the fast loops alone would compare some
// 10^11 bytes): the comparisons stay within a small multiple of the text and
// pattern lengths, in every mode, and the match is still found.
TEST_F(LiteralSearch, PeriodicPatternsTakeWorkLinearInTheText) {
  encoding.doubleByte(0x81, 0x81);
  const std::string run(3'000'000, 'x');
  const std::string abc = times("abc ", 375'000);
  struct Case {
    std::string text;
    std::string pattern;
    bool ignoreCase;
    int32_t mode;
    int64_t expected;  // offset of the first match
  };
  const Case cases[] = {
      {run + "NEEDLE", std::string(100'000, 'x') + "NEEDLE", false, ENCODING_SINGLE_BYTE,
       2'900'000},
      {abc + "X" + abc, times("abc ", 12'500) + "X" + times("abc ", 12'500), false,
       ENCODING_SINGLE_BYTE, 1'450'000},
      {run + "needle", std::string(100'000, 'X') + "NEEDLE", true, ENCODING_SINGLE_BYTE, 2'900'000},
      {times("\x81" "a", 1'500'000) + "\x81" "b", times("\x81" "a", 50'000) + "\x81" "b", false,
       ENCODING_DOUBLE_BYTE, 2'900'000},
      {times("\x81" "a", 1'500'000) + "\x81" "b", times("\x81" "A", 50'000) + "\x81" "B", true,
       ENCODING_DOUBLE_BYTE, 2'900'000},
      {times("\xC3\xA9", 1'500'000) + "x", times("\xC3\x89", 50'000) + "X", true, ENCODING_UTF8,
       2'900'000},
  };
  for (const Case& row : cases) {
    ASSERT_EQ(compile(row.pattern, row.ignoreCase, row.mode), 0);
    source.install(row.text, WINDOW_SIZE, row.mode);
    const int64_t before = literalComparisons();
    EXPECT_EQ(search(row.pattern), 0) << row.pattern.substr(0, 8);
    EXPECT_EQ(source.cursor, row.expected) << row.pattern.substr(0, 8);
    EXPECT_LE(literalComparisons() - before,
              8 * static_cast<int64_t>(row.text.size() + row.pattern.size()))
        << row.pattern.substr(0, 8);
  }
  const std::string block = run + "NEEDLE";
  const std::string pattern = std::string(100'000, 'x') + "NEEDLE";
  ASSERT_EQ(compile(pattern, false), 0);
  const int64_t before = literalComparisons();
  EXPECT_EQ(FindLiteralInMemory(1, bytes(pattern), static_cast<int32_t>(pattern.size()),
                                bytes(block), static_cast<int32_t>(block.size())),
            2'900'001);
  EXPECT_LE(literalComparisons() - before, 8 * static_cast<int64_t>(block.size() + pattern.size()));
}

TEST_F(LiteralSearch, ATablesTooLargeForMemoryGiveMinus8AndLeaveTheNextCompileWorking) {
  // Nothing of the text is read before the work area is sized.
  EXPECT_EQ(CompileLiteral(bytes("x"), 400'000'000, 0, ENCODING_SINGLE_BYTE), -8);
  ASSERT_EQ(compile("abab", false), 0);
  source.install("abaabab", 3, ENCODING_SINGLE_BYTE);
  EXPECT_EQ(search("abab"), 0);
  EXPECT_EQ(source.cursor, 3);
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

// Over the file, with every scan and budget: a match that begins 3 bytes
// before the first block's end; lead bytes before a candidate that lie in
// the previous block (the boundary test steps back across the block start
// and forward again); patterns longer than the window, whose match is found
// blocks after its start, with matches across block boundaries and lines
// counted on as the alignment moves; periodic patterns over text that agrees
// with them at every alignment, whose odd piece begins a block or straddles
// a block end, and the same with no match.
TEST_F(LiteralSearch, MatchesAcrossBlockBoundariesAreFound) {
  encoding.doubleByte(0x81, 0x81);
  const int64_t W = WINDOW_SIZE;
  const auto run = [](int64_t length, int64_t lineFeedAt) {
    std::string text(static_cast<size_t>(length), 'x');
    text[static_cast<size_t>(lineFeedAt)] = '\n';
    return text;
  };
  std::string planted = run(3 * W + 100'000, 1000);
  const int64_t plants[] = {3 * W - 2, 3 * W + 90'000};
  for (const int64_t at : plants) planted.replace(static_cast<size_t>(at), 8, "\x81\x81" "needle");
  const std::string longNeedle = std::string(70'000, 'x') + "\x81\x81" "needle";
  std::string periodic = run(3 * W, 500);
  periodic.replace(W, 6, "NEEDLE");
  periodic.replace(2 * W - 3, 6, "NEEDLE");
  const std::vector<FileMatch> periodicMatches = {{W - 1000, 2, 501}, {2 * W - 1003, 2, 501}};
  std::string abc;
  while (abc.size() < 3 * W) abc += "abc ";
  abc[100] = '\n';
  abc[W] = 'X';
  std::string abcPattern;
  for (int32_t i = 0; i < 300; ++i) abcPattern += "abc ";
  abcPattern += "Xbc " + abcPattern;
  const std::vector<FileMatch> plantedMatches = {{plants[0] - 70'000, 2, 1001},
                                                 {plants[1] - 70'000, 2, 1001}};
  // The same in UTF-8 with ignore case: a run of é (two bytes each).
  std::string accents = times("\xC3\xA9", 3 * W / 2);
  accents.replace(500, 2, "\nx");
  accents.replace(W, 6, "NEEDLE");
  accents.replace(2 * W - 4, 6, "NEEDLE");
  const std::string accentPattern = times("\xC3\x89", 500) + "NEEDLE";
  // Case forms of other lengths in a match that straddles a block end: 600
  // characters of k before NEEDLE, some of them Kelvin signs (three bytes).
  const std::string kelvin = "\xE2\x84\xAA";
  const std::string mixedK = kelvin + times("k", 300) + kelvin + times("K", 297) + kelvin;
  const std::string kelvinText = run(W - 100, 10) + mixedK + "NEEDLE" + run(W, 5) + "\n";
  // Double-byte text: a match must not begin on a trail byte, whose role
  // follows from the run of lead bytes before it, also where the search
  // passes that run as periodic. After an odd run the pattern's first byte
  // is a trail byte; on the next line it is not.
  const auto leads = [](int64_t count) {
    return std::string("x") + std::string(static_cast<size_t>(count), '\x81') + "Z\n" +
           std::string(1000, '\x81') + "Z\n";
  };
  const std::string trails = std::string("x") + times("A\x81", W) + "Z\n";
  const struct {
    std::string text;
    std::string pattern;
    bool ignoreCase;
    int32_t mode;
    std::vector<FileMatch> expected;
  } cases[] = {
      {run(W - 3, 100) + "needle and more\n", "needle", false, ENCODING_SINGLE_BYTE,
       {{W - 3, 2, 101}}},
      {run(W - 2, 10) + "\x81\x81" "AB tail\n", "AB", false, ENCODING_DOUBLE_BYTE, {{W, 2, 11}}},
      {run(W - 1, 10) + "\x81" "AB then AB\n", "AB", false, ENCODING_DOUBLE_BYTE, {{W + 8, 2, 11}}},
      {planted, longNeedle, false, ENCODING_SINGLE_BYTE, plantedMatches},
      {planted, std::string(70'000, 'X') + "\x81\x81" "NEEDLE", true, ENCODING_SINGLE_BYTE,
       plantedMatches},
      {planted, longNeedle, false, ENCODING_DOUBLE_BYTE, plantedMatches},
      {periodic, std::string(1000, 'x') + "NEEDLE", false, ENCODING_SINGLE_BYTE, periodicMatches},
      {periodic, std::string(1000, 'X') + "NEEDLE", true, ENCODING_SINGLE_BYTE, periodicMatches},
      {periodic, std::string(1000, 'x') + "NEEDLF", false, ENCODING_SINGLE_BYTE, {}},
      {abc, abcPattern, false, ENCODING_UTF8, {{W - 1200, 2, 101}}},
      {abc, abcPattern.substr(0, 1200) + "Ybc ", false, ENCODING_SINGLE_BYTE, {}},
      {accents, accentPattern, true, ENCODING_UTF8, {{W - 1000, 2, 501}, {2 * W - 1004, 2, 501}}},
      {accents, times("\xC3\x89", 500) + "NEEDLF", true, ENCODING_UTF8, {}},
      {kelvinText, times("K", 600) + "NEEDLE", true, ENCODING_UTF8, {{W - 100, 2, 11}}},
      {leads(2 * W + 1), std::string(1000, '\x81') + "Z", false, ENCODING_DOUBLE_BYTE,
       {{2 * W + 4, 2, 2 * W + 4}}},
      {leads(2 * W), std::string(1000, '\x81') + "Z", false, ENCODING_DOUBLE_BYTE,
       {{2 * W - 999, 1, 0}, {2 * W + 3, 2, 2 * W + 3}}},
      {trails, times("A\x81", 700) + "Z", false, ENCODING_DOUBLE_BYTE, {}},
      {trails, std::string("\x81") + times("A\x81", 700) + "Z", false, ENCODING_DOUBLE_BYTE,
       {{2 * W - 1400, 1, 0}}},
  };
  for (const auto& c : cases) {
    const test::TempFile file(c.text);
    for (const int32_t scanner : ALL_SCANNERS) {
      selectLiteralScanner(scanner);
      for (const Budget& budget : ALL_BUDGETS) {
        useBudget(budget);
        ASSERT_EQ(compile(c.pattern, c.ignoreCase, c.mode), 0);
        EXPECT_EQ(fileMatches(file.name(), c.pattern, c.mode), c.expected)
            << c.pattern.substr(0, 8) << " mode " << c.mode << " scan " << scanner << " budget "
            << budget.perByte << "/" << budget.allowance;
      }
    }
  }
}

}  // namespace
