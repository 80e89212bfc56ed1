// Tests of the backtracking matcher, run alone: captures and
// back-references, loops whose passes may be empty, the two multi-byte
// character modes, over a string and (where lines play no part) over a file;
// and the backtrack stack's growth and exhaustion, with a program assembled by
// hand so that every pass of its loop leaves a choice point. What the other
// constructs of the dialects match is pinned by the compiler's tests.
#include "pattern/matcher.h"

#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::findAllInFile;
using regex_test::findAllInMemory;
using regex_test::Match;
using B = regex_test::ProgramBuilder;

struct Case {
  char syntax;
  const char* pattern;
  std::string text;
  std::vector<Match> expected;  // every match, as the driver walks the text
  int32_t charMode = ENCODING_SINGLE_BYTE;
  int32_t ignoreCase = 0;
};

void expectCases(const std::vector<Case>& cases) {
  const regex_test::BacktrackerOnly backtracker;
  for (const Case& c : cases) {
    const regex_test::CompiledScope compiled(c.pattern, c.syntax, c.ignoreCase, c.charMode);
    ASSERT_EQ(compiled.status(), 0) << c.pattern;
    EXPECT_EQ(findAllInMemory(c.text, c.charMode), c.expected) << c.pattern << " (string)";
    if (c.text.find_first_of("\r\n") == std::string::npos) {
      EXPECT_EQ(findAllInFile(c.text, 0, c.charMode), regex_test::inFileOf(c.expected, c.text))
          << c.pattern << " (file)";
    }
  }
}

// `a@` then the rest: a maximal loop of one character.
B maximalLoop(char item) {
  return B().splitFirst("body", "out").label("body").chr(item).splitFirst("body", "out")
      .label("out");
}

// The stack grows as far as a match needs, and a growth that cannot be had
// ends the search with -8 instead of a wrong answer.
TEST(MatcherStack, GrowsAsNeededAndEndsTheSearchWhenItCannot) {
  const regex_test::BacktrackerOnly backtracker;
  ASSERT_EQ(prepareMatcherStack(), 0);
  regex_test::InstalledProgram installed(maximalLoop('a').chr('z').match().build());
  // k letters a leave k + 1 choice points pending when z matches.
  for (int32_t pending : {199, 200, 399, 400, 800, 1600}) {
    const std::string text = std::string(pending - 1, 'a') + "z";
    EXPECT_EQ(findAllInMemory(text), (std::vector<Match>{{0, pending}})) << pending;
  }
  // A growth that fails ends the search with -8; no match is reported.
  matcher.stackLimit = matcher.capacity;
  const int32_t beyond = 2 * matcher.capacity + 1;
  const std::string longer = std::string(beyond - 1, 'a') + "z";
  EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes(longer), beyond, ENCODING_SINGLE_BYTE), 0);
  int32_t status = 0;
  EXPECT_TRUE(findAllInFile("xx" + longer, 0, ENCODING_SINGLE_BYTE, &status).empty());
  EXPECT_EQ(status, REGEX_OUT_OF_MEMORY);
  matcher.stackLimit = 0;
  EXPECT_EQ(findAllInMemory(longer), (std::vector<Match>{{0, beyond}}));
}

TEST(Matcher, CapturesAndBackReferences) {
  expectCases({
      {'U', "(.)\\1", "abccd", {{2, 2}}},
      {'U', "()\\1x", "x", {{0, 1}}},
      {'U', "(.)\\1", "aA", {}},
      {'U', "(.)\\1", "aA", {{0, 2}}, ENCODING_SINGLE_BYTE, 1},
      {'U', "(..)-\\1", "ab-ac-ac", {{3, 5}}},
      // A loop whose passes are empty ends (more such loops are the regex
      // search's tests, on this engine too).
      {'U', "(a*){2,}", "", {{0, 0}}},
  });
  // A capture made in an abandoned branch or inside a look-ahead is not
  // reported.
  const struct {
    const char* pattern;
    std::string text;
    uint32_t groupMask;
  } reports[] = {{"(a)x|ab", "ab", 0}, {"(?!(b)c).", "bx", 0}, {"a(?5b)", "xab", 1u << 4}};
  const regex_test::BacktrackerOnly backtracker;
  for (const auto& r : reports) {
    const regex_test::CompiledScope compiled(r.pattern, 'U');
    ASSERT_EQ(compiled.status(), 0) << r.pattern;
    EXPECT_NE(FindRegexInMemory(1, nullptr, 0, test::bytes(r.text),
                                static_cast<int32_t>(r.text.size()), ENCODING_SINGLE_BYTE),
              0)
        << r.pattern;
    EXPECT_EQ(compiledPattern.groupMask, r.groupMask) << r.pattern;
    if (r.groupMask != 0) {
      EXPECT_EQ(compiledPattern.groupSpans[4][0], 1);
      EXPECT_EQ(compiledPattern.groupSpans[4][1], 2);
    }
  }
}

TEST(Matcher, DoubleByteText) {
  test::EncodingScope encoding;
  encoding.doubleByte(0x81, 0x9F);
  const int32_t DB = ENCODING_DOUBLE_BYTE;
  expectCases({
      {'U', "A", "\x81" "AA", {{2, 1}}, DB},       // no match starts on a trail byte
      {'U', "x.y", "x\x81" "Ay", {{0, 4}}, DB},    // . takes the whole character
      {'U', "x.", "x\x81", {{0, 2}}, DB},          // and a lead byte without its trail
      {'U', "(.)\\1", "\x81" "a\x81" "a", {{0, 4}}, DB, 1},
      {'U', "(.)\\1", "\x81" "a\x81" "A", {}, DB, 1},  // a pair is compared unfolded
      {'U', "(.)\\1", "bB", {{0, 2}}, DB, 1},
  });
}

TEST(Matcher, Utf8Text) {
  const int32_t U8 = ENCODING_UTF8;
  expectCases({
      {'U', "\\x{e9}", "x\xC3\xA9", {{1, 2}}, U8},
      {'U', "\\x{e9}", "\xC3\x29", {}, U8},     // a byte that is no continuation byte
      {'U', ".\\)", "\xC3\x29", {{0, 2}}, U8},  // breaks the sequence
      {'U', ".", "\xFF", {{0, 1}}, U8},
      {'U', ".", "\xE2\x82", {{0, 1}, {1, 1}}, U8},  // a cut sequence is bytes of their own
      {'U', "..x", "\xE2\x82\xACx", {}, U8},        // candidates are character starts
      {'U', ".x", "\xC3\xA9\xA9x", {{2, 2}}, U8},   // and so is a stray continuation byte
      {'U', "[\\x{e9}\\x{10000}-\\x{10FFFF}]", "a\xC3\xA9\xF0\x9F\x98\x80", {{1, 2}, {3, 4}}, U8},
      {'U', "(.)\\1", "\xC3\xA9\xC3\xA9", {{0, 4}}, U8},
  });
}

}  // namespace
