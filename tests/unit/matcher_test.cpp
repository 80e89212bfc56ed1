// Tests of the backtracking matcher with programs assembled by hand: branch
// priority, loops, look-ahead, captures and back-references, counted loops,
// empty-pass guards, the three character modes, and the
// backtrack stack's growth and exhaustion. Every program is run as written
// and again after the loop pass, which must not change any result, over a
// string and (where lines play no part) over a file.
#include "pattern/matcher.h"

#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::findAllInFile;
using regex_test::findAllInMemory;
using regex_test::InstalledProgram;
using regex_test::Match;
using regex_test::ProgramBuilder;
using B = ProgramBuilder;

struct Case {
  const char* name;
  B program;
  std::string text;
  std::vector<Match> expected;  // every match, as the driver walks the text
  int32_t charMode = 0;
  int32_t ignoreCase = 0;
};

void expectCase(const Case& c) {
  for (bool loopPass : {false, true}) {
    InstalledProgram installed(c.program.build(), c.ignoreCase, loopPass, c.charMode);
    SCOPED_TRACE(std::string(c.name) + (loopPass ? " (loop pass)" : ""));
    EXPECT_EQ(findAllInMemory(c.text, c.charMode), c.expected) << "string";
    if (c.text.find_first_of("\r\n") == std::string::npos) {
      // The driver's walk ends when it moves to the end of a file, so an
      // empty match there is found only by a search that starts there; an
      // empty file holds no line, where anything could match.
      std::vector<Match> inFile = c.expected;
      if (inFile.size() > 1 && inFile.back().start == static_cast<int64_t>(c.text.size())) {
        inFile.pop_back();
      }
      if (c.text.empty()) inFile.clear();
      EXPECT_EQ(findAllInFile(c.text, 0, c.charMode), inFile) << "file";
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
  InstalledProgram installed(maximalLoop('a').chr('z').match().build());
  // k letters a leave k + 1 choice points pending when z matches.
  for (int32_t pending : {199, 200, 399, 400, 800, 1600}) {
    const std::string text = std::string(pending - 1, 'a') + "z";
    EXPECT_EQ(findAllInMemory(text), (std::vector<Match>{{0, pending}})) << pending;
  }
  // A growth that fails ends the search with -8; no match is reported.
  matcher.stackLimit = matcher.capacity;
  const int32_t beyond = 2 * matcher.capacity + 1;
  const std::string longer = std::string(beyond - 1, 'a') + "z";
  EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes(longer), beyond, 0), 0);
  int32_t status = 0;
  EXPECT_TRUE(findAllInFile("xx" + longer, 0, 0, &status).empty());
  EXPECT_EQ(status, REGEX_OUT_OF_MEMORY);
  matcher.stackLimit = 0;
  EXPECT_EQ(findAllInMemory(longer), (std::vector<Match>{{0, beyond}}));
}

TEST(Matcher, BranchesLoopsAndLookAhead) {
  const Case cases[] = {
      {"alternation takes the first branch, not the longest",
       B().splitFirst("l", "r").label("l").chr('a').jump("e").label("r").text("ab").label("e")
           .match(), "ab", {{0, 1}}},
      {"maximal loop", maximalLoop('a').match(), "aab", {{0, 2}, {2, 0}, {3, 0}}},
      {"minimal loop tries the exit first",
       B().split("body", "out").label("body").chr('a').split("body", "out").label("out").match(),
       "aab", {{0, 0}, {1, 0}, {2, 0}, {3, 0}}},
      {"minimal loop before a character",
       B().split("body", "out").label("body").chr('a').split("body", "out").label("out").chr('b')
           .match(), "aab", {{0, 3}}},
      {"maximal loop gives back", maximalLoop('a').text("ab").match(), "aaab", {{0, 4}}},
      {"look-ahead body matching fails the branch, failing lets it go on",
       B().notAhead("after").chr('b').match().label("after").any().match(), "bxb", {{1, 1}}},
      {"CHAR at the text end", B().text("ab").match(), "xa", {}},
      {"ANY at the text end", B().chr('a').any().match(), "xa", {}},
      {"set", B().set("0123456789").set("0123456789").match(), "a12b345", {{1, 2}, {4, 2}}},
      {"two accepted bytes", B().chr2('q', 'Q').match(), "aQbq", {{1, 1}, {3, 1}}},
  };
  for (const Case& c : cases) expectCase(c);
}

TEST(Matcher, CapturesAndBackReferences) {
  const B repeatedCharacter =
      B().op(OP_GROUP_START, 0).any().op(OP_GROUP_END, 0).op(OP_BACKREF, 0).match();
  const Case cases[] = {
      {"back-reference", repeatedCharacter, "abccd", {{2, 2}}},
      {"back-reference to a group without an end fails", B().op(OP_BACKREF, 3).chr('x').match(),
       "x", {}},
      {"back-reference to an empty capture consumes nothing",
       B().op(OP_GROUP_START, 0).op(OP_GROUP_END, 0).op(OP_BACKREF, 0).chr('x').match(), "x",
       {{0, 1}}},
      {"case-sensitive back-reference", repeatedCharacter, "aA", {}},
      {"case-insensitive back-reference", repeatedCharacter, "aA", {{0, 2}}, 0, 1},
      {"back-reference of several bytes",
       B().op(OP_GROUP_START, 2).any().any().op(OP_GROUP_END, 2).chr('-').op(OP_BACKREF, 2).match(),
       "ab-ac-ac", {{3, 5}}},
  };
  for (const Case& c : cases) expectCase(c);

  // A capture made in an abandoned branch or inside a look-ahead is not
  // reported.
  const struct {
    const char* name;
    B program;
    std::string text;
    uint32_t groupMask;
  } reports[] = {
      {"abandoned branch",
       B().splitFirst("l", "r").label("l").op(OP_GROUP_START, 0).chr('a').op(OP_GROUP_END, 0)
           .chr('x').jump("e").label("r").text("ab").label("e").match(), "ab", 0},
      {"look-ahead",
       B().notAhead("after").op(OP_GROUP_START, 1).chr('b').op(OP_GROUP_END, 1).chr('c').match()
           .label("after").any().match(), "bx", 0},
      {"kept capture", B().chr('a').op(OP_GROUP_START, 4).chr('b').op(OP_GROUP_END, 4).match(),
       "xab", 1u << 4},
  };
  for (const auto& r : reports) {
    InstalledProgram installed(r.program.build());
    EXPECT_NE(FindRegexInMemory(1, nullptr, 0, test::bytes(r.text),
                                static_cast<int32_t>(r.text.size()), 0),
              0)
        << r.name;
    EXPECT_EQ(compiledPattern.groupMask, r.groupMask) << r.name;
    if (r.groupMask != 0) {
      EXPECT_EQ(compiledPattern.groupSpans[4][0], 1);
      EXPECT_EQ(compiledPattern.groupSpans[4][1], 2);
    }
  }
}

TEST(Matcher, CountedLoops) {
  auto counted = [](bool minimal, int32_t min, int32_t max) {
    return B().countReset(0).label("body").chr('a').countLoop(minimal, 0, "body", "out", min, max)
        .label("out");
  };
  const Case cases[] = {
      {"minimum equals maximum", counted(false, 2, 2).chr('b').match(), "aaab", {{1, 3}}},
      {"maximal stops at the maximum", counted(false, 1, 3).match(), "aaaa", {{0, 3}, {3, 1}}},
      {"minimal takes the minimum", counted(true, 1, 3).match(), "aaa", {{0, 1}, {1, 1}, {2, 1}}},
      {"maximal gives back passes", counted(false, 1, 3).text("ab").match(), "aaab", {{0, 4}}},
      {"minimal counts the passes it adds", counted(true, 1, 2).chr('b').match(), "aaab", {{1, 3}}},
      {"below the minimum fails", counted(false, 3, 5).match(), "aa", {}},
      {"nested counters",
       B().countReset(0).label("outer").countReset(1).label("inner").chr('a')
           .countLoop(false, 1, "inner", "innerOut", 2, 2).label("innerOut")
           .countLoop(false, 0, "outer", "out", 2, 2).label("out").match(), "aaaaa", {{0, 4}}},
  };
  for (const Case& c : cases) expectCase(c);
}

// Loops whose body can match the empty string end after an empty pass, with
// the matches a backtracking engine such as Python's re gives.
TEST(Matcher, EmptyPassGuardsEndLoops) {
  // (a*)*b and the 'R' form {a@}@.
  const B starOfStar = B().splitFirst("pass", "out").label("pass").passStart(0)
      .op(OP_GROUP_START, 0).splitFirst("a", "end").label("a").chr('a').splitFirst("a", "end")
      .label("end").op(OP_GROUP_END, 0).splitFirst("pass", "out").guard(0).label("out");
  // (a|)+
  const B plusOfEmpty = B().label("pass").passStart(0).op(OP_GROUP_START, 0).splitFirst("a", "end")
      .label("a").chr('a').label("end").op(OP_GROUP_END, 0).splitFirst("pass", "out").guard(0)
      .label("out").match();
  // (x?)*y
  const B optionalStar = B().splitFirst("pass", "out").label("pass").passStart(0)
      .op(OP_GROUP_START, 0).splitFirst("q", "end").label("q").countReset(1).label("x").chr('x')
      .countLoop(false, 1, "x", "end", 0, 1).label("end").op(OP_GROUP_END, 0)
      .splitFirst("pass", "out").guard(0).label("out").chr('y').match();
  // (a*){2,}
  const B countedStar = B().countReset(0).label("pass").passStart(0).op(OP_GROUP_START, 0)
      .splitFirst("a", "end").label("a").chr('a').splitFirst("a", "end").label("end")
      .op(OP_GROUP_END, 0).countLoop(false, 0, "pass", "out", 2, COUNT_UNBOUNDED).guard(0)
      .label("out").match();
  const Case cases[] = {
      {"(a*)*b", B(starOfStar).chr('b').match(), "aab xb ac", {{0, 3}, {5, 1}}},
      {"{a@}@", B(starOfStar).match(), "aa", {{0, 2}, {2, 0}}},
      {"(a|)+", plusOfEmpty, "aab", {{0, 2}, {2, 0}, {3, 0}}},
      {"(x?)*y", optionalStar, "xxy y", {{0, 3}, {4, 1}}},
      {"(a*){2,}", countedStar, "aaa", {{0, 3}, {3, 0}}},
      {"(a*){2,} on nothing", countedStar, "", {{0, 0}}},
  };
  for (const Case& c : cases) expectCase(c);
}

TEST(Matcher, DoubleByteText) {
  test::EncodingScope encoding;
  encoding.doubleByte(0x81, 0x9F);
  const B pair = B().op(OP_GROUP_START, 0).any().op(OP_GROUP_END, 0).op(OP_BACKREF, 0).match();
  const Case cases[] = {
      {"a match may not start on a trail byte", B().chr('A').match(), "\x81" "AA", {{2, 1}}, 1},
      {"ANY takes the trail byte", B().chr('x').any().chr('y').match(), "x\x81" "Ay", {{0, 4}}, 1},
      {"ANY keeps a lead byte without trail", B().chr('x').any().match(), "x\x81", {{0, 2}}, 1},
      {"SET takes the trail byte", B().set("\x81").chr('y').match(), "\x81" "Ay", {{0, 3}}, 1},
      {"back-reference of a double-byte character", pair, "\x81" "a\x81" "a", {{0, 4}}, 1, 1},
      {"double-byte characters are compared unfolded", pair, "\x81" "a\x81" "A", {}, 1, 1},
      {"single-byte characters fold", pair, "bB", {{0, 2}}, 1, 1},
  };
  for (const Case& c : cases) expectCase(c);
}

TEST(Matcher, Utf8Text) {
  const Case cases[] = {
      {"code point of a two-byte sequence", B().chr(0xE9).match(), "x\xC3\xA9", {{1, 2}}, 2},
      {"a byte that is no continuation byte breaks the sequence", B().any().chr(')').match(),
       "\xC3\x29", {{0, 2}}, 2},
      {"six-byte sequence", B().chr(0x4000000).match(), "\xFC\x84\x80\x80\x80\x80", {{0, 6}}, 2},
      {"0xFF is code point -1 and no CHAR's", B().chr(0xFFFFFFFF).match(), "\xFF", {}, 2},
      {"ANY reads 0xFF as one character", B().any().match(), "\xFF", {{0, 1}}, 2},
      {"a sequence cut by the text end is bytes of their own", B().any().match(), "\xE2\x82",
       {{0, 1}, {1, 1}}, 2},
      {"an invalid byte is no CHAR's", B().chr(0xE9).match(), "\xC3\x29", {}, 2},
      {"candidates are character starts", B().any().any().chr('x').match(), "\xE2\x82\xACx", {},
       2},
      {"a stray continuation byte is a character start", B().any().chr('x').match(),
       "\xC3\xA9\xA9x", {{2, 2}}, 2},
      {"set of code points", B().setUtf8({{0xE9, 0xE9}, {0x10000, 0x10FFFF}}).match(),
       "a\xC3\xA9\xF0\x9F\x98\x80", {{1, 2}, {3, 4}}, 2},
      {"back-reference compares code points",
       B().op(OP_GROUP_START, 0).any().op(OP_GROUP_END, 0).op(OP_BACKREF, 0).match(),
       "\xC3\xA9\xC3\xA9", {{0, 4}}, 2},
  };
  for (const Case& c : cases) expectCase(c);
}

}  // namespace
