// Tests of the lazy DFA line filter (pattern/lazy_dfa.cpp): with the filter
// on, a search over a file reports exactly what it reports with the filter
// off (start, length and cursor mark of every match, in order), on lines
// ended by LF, CR LF, a lone CR or the end of the text, on lines longer
// than the window, on random programs of the three syntaxes, in single-byte,
// double-byte and UTF-8 text, and with a cache too small for the states;
// the filter really passes lines, and leaves the pointer where the leftmost
// match may start.
#include "pattern/lazy_dfa.h"

#include <random>

#include "pattern/matcher.h"
#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::compile;

struct Report {
  int64_t start;
  int32_t length;
  int32_t mark;
  bool operator==(const Report& other) const {
    return start == other.start && length == other.length && mark == other.mark;
  }
};

std::ostream& operator<<(std::ostream& out, const Report& r) {
  return out << "{" << r.start << ", " << r.length << ", mark " << r.mark << "}";
}

std::vector<Report> reportsInFile(const std::string& text, int32_t recordLength, LazyDfaUse use,
                                  int32_t mode) {
  const LazyDfaUse saved = lazyDfaUse();
  setLazyDfaUse(use);
  std::vector<Report> found;
  regex_test::walkMatchesInFile(text, recordLength, mode, nullptr, [&found](int64_t offset) {
    const int32_t length = compiledPattern.matchLength;
    found.push_back({offset, length, compiledPattern.cursorMark});
    return static_cast<int64_t>(length > 0 ? length : 1);
  });
  setLazyDfaUse(saved);
  return found;
}


// The character mode of the text; double-byte text has the lead bytes of
// code page 932.
void useMode(test::EncodingScope* encoding, int32_t mode) {
  encoding->singleByte();
  if (mode == 2) encoding->utf8();
  if (mode != 1) return;
  encoding->doubleByte(0x81, 0xFC);
  for (int32_t b = 0xA0; b < 0xE0; ++b) leadByteTable[b] = 0;
}

// The reports with the filter on, after checking them, and those of the
// automatic choice (anchored runs without the filter in front), against the
// filter off.
std::vector<Report> checkedReports(const std::string& pattern, char syntax, const std::string& text,
                                   int32_t ignoreCase = 0, bool compiled = false,
                                   int32_t recordLength = 0, int32_t mode = 0) {
  if (!compiled) {
    EXPECT_EQ(compile(pattern, syntax, ignoreCase, mode, recordLength), 0) << pattern;
  }
  const std::vector<Report> on = reportsInFile(text, recordLength, LAZY_DFA_ALWAYS, mode);
  const std::vector<Report> off = reportsInFile(text, recordLength, LAZY_DFA_OFF, mode);
  EXPECT_EQ(on, off) << syntax << " '" << pattern << "' records of " << recordLength << " mode "
                     << mode << " on " << ::testing::PrintToString(text);
  EXPECT_EQ(reportsInFile(text, recordLength, LAZY_DFA_AUTO, mode), off)
      << "automatic: " << syntax << " '" << pattern << "' records of " << recordLength << " mode "
      << mode << " on " << ::testing::PrintToString(text);
  return on;
}

// In double-byte and UTF-8 text too: trail bytes that are ASCII letters,
// sets that hold part of a lead byte's row, invalid and cut UTF-8
// sequences, case forms of another length (the Kelvin sign matches k) and
// characters across the end of the first block.
TEST(LazyDfa, ReportsWhatTheEnginesReportAtLineEndsAndAnchors) {
  struct Case {
    const char* pattern;
    char syntax;
    std::string text;
    int32_t mode = 0;
  };
  const std::string zs(65534, 'z');
  const Case CASES[] = {
      {"(a|a){1,3}b", 'U', "xx aaab yy\nnothing here\r\nab\nzzz aab\r\nlast aaaab"},
      {"^ab+c", 'U', "ab\nabbc\r\n abbc\nxabc\nabbbbbbbbc"},
      {"b+c$", 'U', "abc\r\nbbc \nbcbc\nab\rbc\nxxxxxxbc\r\nxbc"},
      {"[^a]b{2}", 'U', "\r\nbb\naabb\r\nxx\rbb\nqqqqqqqq\rbbq"},
      {"x[a-c]*y", 'U', "xy\nxaaaaaaaaaaaay\r\nx\ny\nxabcabcz\nabxcy"},
      {"a.c", 'U', "a\r\nc\nabc\na\rc\nzzzzzzza\rc\nzzzz"},
      {"ab\\cc", 'U', "zzzzzabc\nabc\r\nab\nc"},
      {"<ab>", 'B', "ab\nxab\nab\r\naab\r\nzzzzzzzzzzzzab"},
      {"a:2,3b", 'R', "ab\naab\naaaab\r\nzzzzzzzzzaaab"},
      {"{ab}#c", 'R', "abc\nababababc\r\nabab\nc"},
      {"x|^ab", 'U', "zzzzabzzzz\nabzz\nzzzzzx"},
      {"[^a]b{2}", 'U', "zzzzzzzz\xC3\xA9" "bb\nzzzzzzzz\xFF\xFE" "bb\nzzzzzzzza\xE6\x97" "bb\n",
       2},
      {"x[\xCE\xB1-\xCF\x89]*y", 'U', "zzzzzzzzx\xCE\xB1\xCE\x92y\nzzzzzzzzx\xCE\xB1\xCEy\n",
       2},
      {"[^\xE6\x97\xA5]y", 'U', "zzzzzzzz\xE6\x97\xA5y\nzzzzzzzz\xA5y\n", 2},
      {"z\xC3\xA9" "b", 'U', "zzzzzzzz\xC3\xBC" "bzzzzzzzz\xC3\xA9" "bzzzzzzzz\n", 2},
      {"ak{1,3}b", 'U', "zzzzzzzzzzzza\xE2\x84\xAA\xE2\x84\xAA" "bzzzzzzzz\n", 2},
      {"[^z]{2}b", 'U', zs + "\xE6\x97\xA5\xE6\x97\xA5" "b\n", 2},
      {".b", 'U', zs + "\xE6\x97\n" + std::string(60000, '\xC3') + "b\n", 2},
      {"A+x", 'U', "zzzzzzzz\x83\x41x\nzzzzzzzz\x83\x41" "Ax\n", 1},
      {"[\x83\x41]b", 'U',
       "zzzzzzzz\x83\x43" "bzzzzzzzz\x83\x41" "bzzzzzzzz\nzzzzzzzz\x83\x43" "bzzzzzzzz\n", 1},
      {"(.|a){1,4}b", 'U', "zzzzzzzz\x83\x42" "Bzz\x82zzzzzz\x83\n", 1},
      {".b", 'U', zs + "z\x83\x62" "b\n", 1},
      // A line's last bytes, stepped by the table up to the line feed where
      // they are ASCII and no CR, with and without a line test.
      {"[a-z]+\\(", 'U', "f(\nab(\r\nx(\rab(x\n(\nzzzzzzzzzzzzzzab(\nzzzzzzzzab(\xC3\xA9\n"},
      {"[a-z]+\\($", 'U', "zzzzzzab(x\nf(\nab(\r\nx(\rab( \nzzzzzzzzzzzzzzab(\nzzzzzzzzab(\r\n"},
      {"[^a]b$", 'U', "zzzzzzzzzz\xC3\xA9" "b\nzzzzzzzzzzzzb\nzzzzzzzzzzzz\xA9" "b\r\n", 2},
      // The rest of a line after the last occurrence of a one-byte literal
      // is passed once every thread has died: a match may start at that
      // occurrence, or before it and end after it, and the occurrence the
      // gate found first need not be the last.
      {"_[a-z]+", 'U', "zz_ab cd_ef gh, zz\nxx_ yy_q\n_\n"},
      {"[a-z]+_[a-z]+", 'U', "ab_ x_y zz zz\nq_ a_bcd efg\r\n"},
      {"[a-z]_[a-z]", 'U', "a_ b c_d e f\nzz a_ b_\n"},
      {"[a-z]_[a-z]", 'U', "zz \xC3\xA9_ a_b\xC3\xA9 zz\n", 2},
      {"_x", 'U', "zz\x83_x _ _x\x83_\n", 1},
  };
  test::EncodingScope encoding;
  int64_t passed[3] = {};
  for (const Case& c : CASES) {
    useMode(&encoding, c.mode);
    const int64_t before = lazyDfaLinesPassed();
    for (const int32_t ignoreCase : {0, 1}) {
      checkedReports(c.pattern, c.syntax, c.text, ignoreCase, false, 0, c.mode);
    }
    passed[c.mode] += lazyDfaLinesPassed() - before;
  }
  useMode(&encoding, 0);
  for (const int64_t n : passed) EXPECT_GT(n, 0);
  EXPECT_EQ(checkedReports("b+c$", 'U', "abc\r\nbbc \nxxxxxxbc\r\nxbc"),
            (std::vector<Report>{{1, 2, 0}, {16, 2, 0}, {21, 2, 0}}));
  // In records a match may run on into the next record.
  EXPECT_EQ(checkedReports("(a|a){1,3}b", 'U', "xxaa\nabzzaaab", 0, false, 4),
            (std::vector<Report>{{5, 2, 0}, {9, 4, 0}}));
  EXPECT_EQ(checkedReports("a.", 'U', "xxxxa\n", 0, false, 3), (std::vector<Report>{{4, 2, 0}}));
  // The line feed of a CR LF is no start, and no item takes the carriage
  // return: every line is passed, none goes to an engine for nothing.
  const int64_t before = lazyDfaLinesPassed();
  std::string lines;
  for (int32_t i = 0; i < 50; ++i) lines += i % 2 == 0 ? "aaaaaa\r\n" : "aa\r\n";
  EXPECT_TRUE(checkedReports("[^a]", 'U', lines).empty());
  EXPECT_EQ(lazyDfaLinesPassed() - before, 50);
  releaseCompiledPattern(&compiledPattern);
}

// On the first line holding a match, the filter leaves the pointer where
// the leftmost match may start: past every position all of whose threads
// died before the first match's end (in UTF-8 text, at a character's start
// at or before it), and no further back than the longest match from that
// end.
TEST(LazyDfa, LeavesThePointerWhereTheLeftmostMatchMayStart) {
  struct Case {
    const char* pattern;
    std::string text;
    int64_t pointer;
    int32_t mode = 0;
    int32_t recordLength = 0;
  };
  const std::string spaces(70000, ' ');
  const Case CASES[] = {
      {"[A-Za-z_]+\\(", "int x;\nx = foo(bar) + baz(1)\n", 11},
      {"[A-Za-z_]+\\(", "\xC3\xA9 = foo(bar)\n", 5, 2},
      {"[a-z]+\\(", "\x83\x41 = f(x)\n", 5, 1},
      {"[a-z]+\\(", "ab cd(x)", 3, 0, 8},
      {"[0-9]+$", "abc 12\n", 4},
      {"[0-9]+$", "abc 12\n", 4, 2},
      // Lines across the window's end.
      {"[A-Za-z_]+\\(", spaces + "foo(1)\n", 70000},
      {"[A-Za-z_]+\\(", spaces + "foo(1)\n", 70000, 2},
      {"[a-z]+ [a-z]+\\(", std::string(70000, 'a') + " b(\n", 0},
      // The last fresh position is the continuation byte after the lead
      // byte of 日: the pointer goes back to the lead byte.
      {"[^\xE6\x97\xA5]y", "zzzzzzzzzz\xE6\x97\xA5y\n", 10, 2},
      // The longest match bounds the start more tightly than the threads.
      {"a{1,3}b", "aaaaaab\n", 3},
  };
  test::EncodingScope encoding;
  setLazyDfaUse(LAZY_DFA_ALWAYS);
  for (const Case& c : CASES) {
    useMode(&encoding, c.mode);
    ASSERT_EQ(compile(c.pattern, 'U', 0, c.mode, c.recordLength), 0) << c.pattern;
    const test::TempFile file(c.text);
    int64_t pointer = -1;
    match_walk::walkFile(
        file.name(), c.recordLength, c.mode, nullptr,
        [&pointer](int64_t offset) {
          pointer = offset;
          return int64_t{0};
        },
        [] {
          if (!lazyDfaTakesProgram()) return 1;
          loadMatcherWindow();
          for (;;) {
            int64_t firstEnd = 0;
            const int32_t verdict = scanLineWithDfa([] { return true; }, &firstEnd);
            if (verdict == DFA_MATCH) {
              textSource.SetPosition(matcher.cur);
              return 0;
            }
            if (verdict != DFA_NO_MATCH) return 1;
          }
        });
    EXPECT_EQ(pointer, c.pointer) << c.pattern << " mode " << c.mode << " records of "
                                  << c.recordLength;
  }
  setLazyDfaUse(LAZY_DFA_AUTO);
  useMode(&encoding, 0);
  releaseCompiledPattern(&compiledPattern);
}

TEST(LazyDfa, FollowsLinesLongerThanTheWindow) {
  const std::string as(200000, 'a');
  test::EncodingScope encoding;
  for (const int32_t mode : {0, 2}) {
    useMode(&encoding, mode);
    const auto reports = [mode](const char* pattern, const std::string& text) {
      return checkedReports(pattern, 'U', text, 0, false, 0, mode);
    };
    // One match at the end of a long line; its start is found from the
    // match's longest length, without running an engine over the line.
    EXPECT_EQ(reports("(a|a){1,30}b", as + "b\nab\n"),
              (std::vector<Report>{{199970, 31, 0}, {200002, 2, 0}}));
    EXPECT_EQ(reports("(a{1,5}){1,20}b", as + "b"), (std::vector<Report>{{199900, 101, 0}}));
    // An unbounded loop, and a match across the end of the first block.
    EXPECT_EQ(reports("[a-z]+_", as + "_\n"), (std::vector<Report>{{0, 200001, 0}}));
    EXPECT_EQ(reports("xa{2,9}y", std::string(65530, 'z') + "xaaaaaay\n" + as),
              (std::vector<Report>{{65530, 8, 0}}));
    EXPECT_TRUE(reports("(a|a){1,30}b", as + "\n" + as).empty());
    // A line end just past the end of a window: the table carries the scan
    // across a window's end only where the line goes on.
    for (int32_t length = 65534; length <= 65538; ++length) {
      const std::string line(static_cast<size_t>(length), 'a');
      for (const char* end : {"\n", "\r\n"}) {
        EXPECT_EQ(reports("a{2}$", line + end + "ab\n").size(), 1u) << length << " mode " << mode;
      }
      reports("a{2}$", line + "\rab\n");
    }
  }
  releaseCompiledPattern(&compiledPattern);
}

// The anchored run takes the engines' attempts at a start (with the filter
// in front or without it) and finds their match there: the first in priority
// order among alternatives and lazy or greedy loops, up to a line's end
// before LF, CR LF or the text's end, across the window's end, on characters
// of several bytes and invalid bytes, under -I. A program that records a
// group has the backtracker record it where a match starts.
TEST(LazyDfa, AnchoredRunsFindTheEnginesMatch) {
  const std::string as(70000, 'a');
  const struct {
    const char* pattern;
    std::string text;
    std::vector<Report> expected;  // in single-byte text without -I
    bool exact = true;              // false: only the engines' reports count
  } cases[] = {
      {"a|ab+", "xab ab\n", {{1, 1, 0}, {4, 1, 0}}},
      {"ab+|a", "xab a", {{1, 2, 0}, {4, 1, 0}}},
      {"ba*?", "baa b\n", {{0, 1, 0}, {4, 1, 0}}},
      {"ba*?c", "baac bc\n", {{0, 4, 0}, {5, 2, 0}}},
      {"[a-z]+\\(", "x = foo(bar) + baz(\r\n", {{4, 4, 0}, {15, 4, 0}}},
      {"a+$", "aaa\r\naab\naa", {{0, 3, 0}, {9, 2, 0}}},
      {"a{2,3}$", "aaaaa\n", {{2, 3, 0}}},
      {"b+a{2,3}", "bbaaaa ba\n", {{0, 5, 0}}},
      {"xz?|xy", "xyz xz\n", {{0, 1, 0}, {4, 2, 0}}},
      {"b|^a+", "aab aa\na b\n", {{0, 2, 0}, {2, 1, 0}, {7, 1, 0}, {9, 1, 0}}},
      {"xa+y", std::string(65530, 'z') + "x" + as + "y\n", {{65530, 70002, 0}}},
      {"xa+y", "zx" + as + "\ny\n", {}},
      {"\xC3\xA9+b|.b", "\xC3\xA9\xC3\xA9" "b\xFF" "b\xE6\x97\xA5" "b\n", {}, false},
  };
  test::EncodingScope encoding;
  for (const int32_t mode : {0, 2}) {
    useMode(&encoding, mode);
    for (const int32_t ignoreCase : {0, 1}) {
      const int64_t answersBefore = lazyDfaAnchoredAnswers();
      for (const auto& c : cases) {
        ASSERT_EQ(compile(c.pattern, 'U', ignoreCase, mode), 0) << c.pattern;
        const int64_t before = lazyDfaAnchoredAnswers();
        const std::vector<Report> off = reportsInFile(c.text, 0, LAZY_DFA_OFF, mode);
        EXPECT_EQ(lazyDfaAnchoredAnswers(), before) << c.pattern;
        EXPECT_EQ(checkedReports(c.pattern, 'U', c.text, ignoreCase, true, 0, mode), off);
        if (mode == 0 && ignoreCase == 0 && c.exact) {
          EXPECT_EQ(off, c.expected) << c.pattern;
        }
      }
      EXPECT_GT(lazyDfaAnchoredAnswers() - answersBefore, 20) << "mode " << mode << " -I " << ignoreCase;
    }
  }
  // A group's bounds are the backtracker's to record: a run answers the
  // start at the first "a" (its thread still lives where the match starts,
  // so the filter leaves that start to the attempts), where no match starts,
  // and leaves the next, where one does, to the backtracker.
  ASSERT_EQ(compile("(a)b*c", 'U', 0, 0), 0);
  const auto withGroups = [](LazyDfaUse use) {
    setLazyDfaUse(use);
    std::vector<std::vector<int64_t>> found;
    regex_test::walkMatchesInFile("xabac zabbc\n", 0, 0, nullptr, [&found](int64_t offset) {
      const CompiledPattern& c = compiledPattern;
      found.push_back({offset, c.matchLength, c.groupMask, c.groupSpans[0][0], c.groupSpans[0][1]});
      return static_cast<int64_t>(c.matchLength > 0 ? c.matchLength : 1);
    });
    setLazyDfaUse(LAZY_DFA_AUTO);
    return found;
  };
  const int64_t before = lazyDfaAnchoredAnswers();
  const auto automatic = withGroups(LAZY_DFA_AUTO);
  EXPECT_GT(lazyDfaAnchoredAnswers(), before);
  EXPECT_EQ(automatic, withGroups(LAZY_DFA_OFF));
  EXPECT_EQ(automatic, (std::vector<std::vector<int64_t>>{{3, 2, 1, 0, 1}, {7, 4, 1, 0, 1}}));
  releaseCompiledPattern(&compiledPattern);
}

TEST(LazyDfa, ACacheTooSmallThrashesAndStillAnswersRight) {
  std::mt19937 random(7);
  std::string text;
  for (int32_t line = 0; line < 300; ++line) {
    for (int32_t i = 0; i < 40; ++i) text += "abcd"[random() % 4];
    text += line % 3 == 0 ? "\r\n" : "\n";
  }
  const int64_t clearsBefore = lazyDfaClears();
  setLazyDfaBudget(2048);
  const size_t found = checkedReports("(a|b)*c(a|b){3}d", 'U', text).size();
  setLazyDfaBudget(0);
  EXPECT_GT(found, 0u);
  EXPECT_GT(lazyDfaClears(), clearsBefore);
  releaseCompiledPattern(&compiledPattern);
}

// Random programs over a, b, A and a few characters of several bytes with
// loops, classes and anchors, on lines of those ended by LF, CR LF or a
// lone CR, or in records, in single-byte, double-byte and UTF-8 text (with
// invalid and cut sequences); now and then after a block of filler lines,
// so that a line straddles the window's first block.
TEST(LazyDfa, AgreesWithTheEnginesOnRandomProgramsAndLines) {
  struct Syntax {
    char name;
    std::vector<std::string> items;
    std::vector<std::string> loops;
    std::string open, close;
  };
  const Syntax SYNTAXES[] = {
      {'U',
       {"a", "b", "A", ".", "[ab]", "[^a]", "x", "^", "$", "\\c", ",", "\xC3\xA9",
        "[^\xE6\x97\xA5]"},
       {"", "", "*", "+", "?", "*?", "+?", "{2}", "{1,3}", "{0,2}?", "{2,}"},
       "(",
       ")"},
      {'R',
       {"a", "b", "A", "?", "[ab]", "[~a]", "x", "^", "$", "\\c", ",", "\x83\x41", "[\xC3\xA9]"},
       {"", "", "*", "+", "@", "#", ":2", ":1,3", ":*0,2", ":2,"},
       "{",
       "}"},
      {'B',
       {"a", "b", "A", "?", "[ab]", "[~a]", "x", "<", ">", "\\c", ","},
       {"", "", "+", "@", "\\:2", "\\:1,3", "\\:0,2?", "\\:+"},
       "{",
       "}"},
  };
  const char* PIECES[] = {"a",    "b",    "A",  "x",      ",",    "ab",       "aab",
                          "bbbb", "\n",   "\r\n", "\r",     "\xFF", "\xC3\xA9", "\xE6\x97\xA5",
                          "\xE6\x97", "\x83\x41"};
  constexpr int32_t PIECE_COUNT = sizeof PIECES / sizeof PIECES[0];
  test::EncodingScope encoding;
  std::mt19937 random(20261207);
  const auto pick = [&random](const std::vector<std::string>& from) {
    return from[random() % from.size()];
  };
  std::string filler;
  while (filler.size() < 65520) filler += "zzzzzzzzzzzzz\n";
  const int64_t passedBefore = lazyDfaLinesPassed();
  constexpr int32_t ROUNDS = 600;
  for (int32_t round = 0; round < ROUNDS && !::testing::Test::HasFailure(); ++round) {
    const Syntax& syntax = SYNTAXES[round % 3];
    std::string pattern;
    for (int32_t part = 0, parts = 1 + random() % 4; part < parts; ++part) {
      if (random() % 4 == 0) {
        pattern += syntax.open + pick(syntax.items) + pick(syntax.items) + "|" +
                   pick(syntax.items) + syntax.close;
      } else {
        pattern += pick(syntax.items);
      }
      if (pattern.back() != '^' && pattern.back() != '<') pattern += pick(syntax.loops);
    }
    std::string text = round % 40 == 39 ? filler : "";
    for (int32_t i = 0, pieces = random() % 24; i < pieces; ++i) {
      text += PIECES[random() % PIECE_COUNT];
    }
    const int32_t mode = static_cast<int32_t>(round / 3 % 3);
    useMode(&encoding, mode);
    const int32_t ignoreCase = static_cast<int32_t>(random() % 2);
    const int32_t recordLength = round % 4 == 1 ? 3 + static_cast<int32_t>(random() % 5) : 0;
    if (compile(pattern, syntax.name, ignoreCase, mode, recordLength) != 0) continue;
    checkedReports(pattern, syntax.name, text, ignoreCase, true, recordLength, mode);
  }
  EXPECT_GT(lazyDfaLinesPassed() - passedBefore, ROUNDS / 2);
  releaseCompiledPattern(&compiledPattern);
}

}  // namespace
