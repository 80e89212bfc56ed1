// Tests of the regular-expression search: the three candidate strategies
// (first-character filter, leading instruction, every position) over strings
// and files, anchored programs, line ends, matches across the 65536-byte
// window boundary and backtracking back across it, record mode, and the
// string text source of FindRegexInMemory.
#include <algorithm>
#include <random>

#include "pattern/backtrack_memo.h"
#include "pattern/pike_vm.h"
#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::findAllInFile;
using regex_test::findAllInMemory;
using regex_test::InstalledProgram;
using regex_test::Match;
using regex_test::ProgramBuilder;
using B = ProgramBuilder;

// A first-character table or set that a test gives the installed program.
struct FirstCharacters {
  std::string bytes;                 // byte modes
  std::vector<uint32_t> codePoints;  // UTF-8 mode
};

struct Strategy {
  const char* name;
  B program;
  FirstCharacters first;  // none: the leading instruction decides
  std::string text;
  std::vector<Match> inString;
  std::vector<Match> inFile;
  int32_t charMode = 0;
};

TEST(RegexSearch, CandidateStrategiesFindTheLeftmostMatch) {
  const B bThenA = B().chr('b').chr('a').match();
  const Strategy cases[] = {
      {"first-byte filter of one byte", bThenA, {"b", {}}, "abbaxba", {{2, 2}, {5, 2}},
       {{2, 2}, {5, 2}}},
      {"first-byte filter of two bytes", B().chr2('b', 'B').match(), {"bB", {}}, "aBxb",
       {{1, 1}, {3, 1}}, {{1, 1}, {3, 1}}},
      {"leading character", bThenA, {}, "abbaxba", {{2, 2}, {5, 2}}, {{2, 2}, {5, 2}}},
      {"leading character after a group start", B().op(OP_GROUP_START, 0).chr('b').match(), {},
       "abab", {{1, 1}, {3, 1}}, {{1, 1}, {3, 1}}},
      {"leading character after a negative look-ahead, not the body's",
       B().notAhead("on").chr('x').chr('y').match().label("on").chr2('x', 'z').match(), {},
       "xyzxa", {{2, 1}, {3, 1}}, {{2, 1}, {3, 1}}},
      {"every position", B().any().chr('b').match(), {}, "abcb", {{0, 2}, {2, 2}},
       {{0, 2}, {2, 2}}},
      {"empty program at every position and the end", B().match(), {}, "ab",
       {{0, 0}, {1, 0}, {2, 0}}, {{0, 0}, {1, 0}}},
      {"empty program on empty text: a string is one line, a file none", B().match(), {}, "",
       {{0, 0}}, {}},
      {"first-character set in UTF-8", B().chr(0xE9).match(), {"", {0xE9}}, "x\xC3\xA9y\xC3\xA9",
       {{1, 2}, {4, 2}}, {{1, 2}, {4, 2}}, 2},
      {"leading code point in UTF-8", B().chr(0x20AC).match(), {}, "\xE2\x82\xAC x\xE2\x82\xAC",
       {{0, 3}, {5, 3}}, {{0, 3}, {5, 3}}, 2},
      {"every character start in UTF-8", B().any().match(), {}, "\xC3\xA9x", {{0, 2}, {2, 1}},
       {{0, 2}, {2, 1}}, 2},
  };
  for (const Strategy& c : cases) {
    InstalledProgram installed(c.program.build(), 0, false, c.charMode);
    uint8_t table[256] = {};
    UnicodeSet set;
    unicodeSetInit(&set);
    if (!c.first.bytes.empty() || !c.first.codePoints.empty()) {
      for (unsigned char b : c.first.bytes) table[b] = 1;
      for (uint32_t code : c.first.codePoints) unicodeSetAdd(&set, code);
      compiledPattern.firstCharValid = 1;
      compiledPattern.firstCharTable = table;
      compiledPattern.firstCharSet = &set;
    }
    EXPECT_EQ(findAllInMemory(c.text, c.charMode), c.inString) << c.name;
    EXPECT_EQ(findAllInFile(c.text, 0, c.charMode), c.inFile) << c.name;
    compiledPattern.firstCharSet = nullptr;
    unicodeSetFree(&set);
  }
}

// The first-byte scan of a filter of a few ASCII ranges reads eight bytes at
// a time: it finds what the search over every position finds, on texts with
// the bytes at each range's edges and bytes of 0x80 and above.
TEST(RegexSearch, FirstByteRangesFindWhatEveryPositionFinds) {
  const char* const patterns[] = {"[0-9]{2}", "[A-Z]+_", "[a-cx-z]b", "[!-/:-@]", "[\\x7f]x",
                                  "[a-ce-gi-kmo]", "[0-9A-Fa-f]-"};
  const std::string alphabet = std::string("09/:@[AZ`az{_bx-!\x7f\x80\xb0\xff\n") + '\0';
  std::mt19937 random(5);
  for (const char* pattern : patterns) {
    regex_test::CompiledScope compiled(pattern, 'U');
    ASSERT_EQ(compiled.status(), 0) << pattern;
    ASSERT_EQ(compiledPattern.firstCharValid, 1) << pattern;
    for (int32_t round = 0; round < 40; ++round) {
      std::string text(random() % 100, ' ');
      for (char& c : text) c = alphabet[random() % alphabet.size()];
      compiledPattern.firstCharValid = 1;
      const std::vector<Match> filtered = findAllInMemory(text);
      compiledPattern.firstCharValid = 0;
      EXPECT_EQ(filtered, findAllInMemory(text)) << pattern;
    }
  }
}

TEST(RegexSearch, LineAnchorsAndLineEnds) {
  const struct {
    const char* name;
    B program;
    std::string text;
    std::vector<Match> inFile;
  } cases[] = {
      // After the first match the walk goes on from the middle of a line.
      {"line start", B().op(OP_LINE_START).chr('a').match(), "ab\nab\nb\na",
       {{0, 1}, {3, 1}, {8, 1}}},
      {"line end", B().op(OP_LINE_END).match(), "ab\ncd\r\nef\n", {{2, 0}, {5, 0}, {9, 0}}},
      {"newline over a line feed and a carriage return with line feed",
       B().chr('x').op(OP_NEWLINE).chr('y').match(), "x\r\ny\nx\ny", {{0, 4}, {5, 3}}},
      {"character before a line end", B().chr('b').op(OP_LINE_END).match(), "abc\nab\r\nb\n",
       {{5, 1}, {8, 1}}},
      {"ANY does not match a line end", B().chr('b').any().match(), "ab\nab\r\nbc", {{7, 2}}},
      {"ANY crossing lines", B().chr('b').any(1).chr('c').match(), "ab\nc", {{1, 3}}},
      // A CR LF is one line end: neither of its bytes is a character, and its
      // line feed, like the end after the last line, lies on no line.
      {"ANY takes neither byte of a CR LF", B().any().match(), "ab\r\n\r\ncd\r\n",
       {{0, 1}, {1, 1}, {6, 1}, {7, 1}}},
      {"no match on the line feed of a CR LF nor after the last line",
       B().notAhead("on").op(OP_LINE_END).match().label("on").match(), "ca\r\nc\n",
       {{0, 0}, {1, 0}, {4, 0}}},
  };
  for (const auto& c : cases) {
    InstalledProgram installed(c.program.build());
    EXPECT_EQ(findAllInFile(c.text), c.inFile) << c.name;
  }

  // A string is one line: anchors hold only at its ends.
  InstalledProgram anchored(B().op(OP_LINE_START).chr('a').match().build());
  EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes("ab"), 2, 0), 1);
  EXPECT_EQ(FindRegexInMemory(0, nullptr, 0, test::bytes("ab"), 2, 0), 1);
  EXPECT_EQ(FindRegexInMemory(-5, nullptr, 0, test::bytes("ab"), 2, 0), 1);
  EXPECT_EQ(FindRegexInMemory(2, nullptr, 0, test::bytes("aab"), 3, 0), 0);
  InstalledProgram newline(B().chr('x').op(OP_NEWLINE).match().build());
  EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes("x\n"), 2, 0), 0);

  // An empty string is a line start and end wherever it lies, at address
  // null too.
  const std::string empty;
  for (const uint8_t anchor : {OP_LINE_START, OP_LINE_END}) {
    InstalledProgram installed(B().op(anchor).match().build());
    for (const uint8_t* at : {test::bytes(empty), static_cast<const uint8_t*>(nullptr)}) {
      EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, at, 0, 0), 1) << int{anchor};
      EXPECT_EQ(compiledPattern.matchLength, 0) << int{anchor};
    }
  }
}

// With askLineBounds clear, LINE_START and LINE_END ask the source only at
// the window's edges; a source that calls every position a line start and
// end shows where they were asked.
TEST(RegexSearch, LineTestsAskTheSourceOnlyAtWindowEdges) {
  static int32_t asked;
  const struct {
    const char* name;
    B program;
    std::string text;
    uint8_t askLineBounds;
    std::vector<Match> expected;
    int32_t asked;
  } cases[] = {
      {"line end far from the window end", B().chr('a').op(OP_LINE_END).match(), "abcd", 0, {}, 0},
      {"line end asked with askLineBounds", B().chr('a').op(OP_LINE_END).match(), "abcd", 1,
       {{0, 1}}, 1},
      {"line end near the window end", B().chr('a').op(OP_LINE_END).match(), "xab", 0, {{1, 1}}, 1},
      {"line start inside the window", B().chr('a').op(OP_LINE_START).match(), "ab", 0, {}, 0},
      {"line start asked with askLineBounds", B().chr('a').op(OP_LINE_START).match(), "ab", 1,
       {{0, 1}}, 1},
  };
  for (const auto& c : cases) {
    InstalledProgram installed(c.program.build());
    asked = 0;
    const auto adjust = [&c] {
      textSource.askLineBounds = c.askLineBounds;
      textSource.AtLineEnd = [](int32_t, int32_t) -> int32_t {
        ++asked;
        return LINE_END_LF;
      };
      textSource.AtLineStart = [](int32_t) -> int32_t {
        ++asked;
        return 1;
      };
    };
    EXPECT_EQ(findAllInFile(c.text, 0, 0, nullptr, adjust), c.expected) << c.name;
    EXPECT_EQ(asked, c.asked) << c.name;
  }
}

TEST(RegexSearch, MatchesAcrossTheWindowBoundary) {
  const std::string before(65530, 'x');
  const B letters = B().text("abcdefghij").match();
  const std::string straddling = before + "abcdefghij\n";
  uint8_t table[256] = {};
  table['a'] = 1;
  for (int32_t strategy = 0; strategy < 3; ++strategy) {
    InstalledProgram installed(strategy == 2 ? B().any().text("bcdefghij").match().build()
                                             : letters.build());
    if (strategy == 0) {
      compiledPattern.firstCharValid = 1;
      compiledPattern.firstCharTable = table;
    }
    EXPECT_EQ(findAllInFile(straddling), (std::vector<Match>{{65530, 10}})) << strategy;
  }

  // The first branch runs past the boundary and fails; backtracking brings
  // the position back into the block before it.
  InstalledProgram backtracking(B().splitFirst("l", "r").label("l").label("loop").chr('a')
                                    .splitFirst("loop", "b").label("b").chr('b').jump("e")
                                    .label("r").text("aa").label("e").match().build());
  std::vector<Match> pairs;
  for (int64_t at = 65530; at < 65550; at += 2) pairs.push_back({at, 2});
  const std::string text = before + std::string(20, 'a') + "c";
  EXPECT_EQ(findAllInFile(text), pairs);
  EXPECT_EQ(findAllInMemory(text), pairs);
}

// A line that runs on past the window: the source is read ahead for the
// literal every match holds. Where the line ends first, the rest of it is
// passed at once (a nested loop would otherwise try every start in vain);
// a literal that starts in the window and ends past it, or lies further
// than the look-ahead, still lets the candidates be tried.
TEST(RegexSearch, ALineLongerThanTheWindowIsPassedWhenItLacksTheLiteral) {
  const int64_t W = 65536;
  const struct {
    const char* pattern;
    std::string text;
    std::vector<Match> matches;
  } cases[] = {
      {"(a*)*b", std::string(100000, 'a') + "\nab\n", {{100001, 2}}},
      {"a*b", std::string(W + 1000, 'a') + "\naab\n", {{W + 1001, 3}}},
      {"(a*)*b", std::string(W + 10, 'a'), {}},
      {"needle", std::string(W - 2, 'x') + "needle\n", {{W - 2, 6}}},
      {"ne+dle", std::string(W + 70000, 'y') + "needle", {{W + 70000, 6}}},
      {"[a-z]*needle", std::string(W + 3, '.') + "xneedle\n", {{W + 3, 7}}},
  };
  for (const auto& c : cases) {
    regex_test::CompiledScope compiled(c.pattern, 'U');
    ASSERT_EQ(compiled.status(), 0) << c.pattern;
    ASSERT_GT(compiledPattern.requiredLiteral.length, 0) << c.pattern;
    EXPECT_EQ(findAllInFile(c.text), c.matches) << c.pattern << " over " << c.text.size();
  }
}

// Where every match holds the required literal at its start or a bounded
// distance into it, the file search tries only the positions that distance
// before each occurrence whose first bytes agree with the items every match
// begins with; it finds what it finds without the literal:
// occurrences in runs, on the line after the one a distance would reach
// back into, cut by the end of the 65536-byte block, ignoring case, in
// UTF-8 text, and after the backtracker runs out of steps on a long line.
TEST(RegexSearch, CandidatesNearTheRequiredLiteralAreTheCandidatesWithout) {
  test::EncodingScope encoding;
  const struct {
    const char* pattern;
    int32_t ignoreCase;
    int32_t mode;
    std::string text;
  } cases[] = {
      {"0x[0-9a-f]{4}", 0, 0, "0x12 0x1234 00x0x12345\n0x\n"},
      {"(struct|union) [a-z_]+ \\{", 0, 0, "struct a { union  b { struct c {\nunion x_y {"},
      {"[0-9]{4}-[0-9]{2}", 0, 0, "12345-123\n1234\n-12 2024-07-01 ---- 1-2 1234--12"},
      {"[0-9]{4}-[0-9]{2}", 0, 2, "\xC3\xA9" "1234-12 12\xC3\xA9" "34-56 9999-9"},
      {"^#define", 0, 0, "#define a\n #define b\n##define\n#define"},
      {"str.cpy", 0, 2, "strcpy str\xC3\xA9" "cpy strncpy st\nrxcpy"},
      {"max_(size|len)", 1, 0, "MAX_SIZE max_Len maX_ max_size"},
      {"x{2}[0-9]{3}y", 0, 0, "xx123y xx12y xxx123y x1234y"},
      {"Ab.D", 1, 0, "aBcd ABxD ab\nd aBDD"},
      {"[a-c]{2,3}de", 0, 2, "abde abcde abcdde \xC3\xA9" "bde"},
      {"ab(a|b)*c", 0, 0, [] {
         std::string pairs;
         for (int32_t i = 0; i < 20000; ++i) pairs += "ab";
         return pairs + "\nabbac";
       }()},
  };
  const int64_t W = 65536;
  for (const auto& c : cases) {
    c.mode == 2 ? encoding.utf8() : encoding.singleByte();
    regex_test::CompiledScope compiled(c.pattern, 'U', c.ignoreCase, c.mode);
    ASSERT_EQ(compiled.status(), 0) << c.pattern;
    ASSERT_GT(compiledPattern.requiredLiteral.length, 0) << c.pattern;
    for (const int64_t shift : {int64_t{0}, W - 9, W - 7, W - 5, W - 4, W - 3, W - 2, W - 1}) {
      const std::string text = std::string(shift, '.') + c.text;
      const std::vector<Match> found = findAllInFile(text, 0, c.mode);
      const RequiredLiteral literal = compiledPattern.requiredLiteral;
      compiledPattern.requiredLiteral.length = 0;
      EXPECT_EQ(found, findAllInFile(text, 0, c.mode)) << c.pattern << " after " << shift;
      compiledPattern.requiredLiteral = literal;
    }
  }
}

// A program whose every match ends at a line end within a bounded length
// is tried only near line ends: it finds what the same program finds with a
// loop before the line end (x*, over text without x), which keeps every
// position a candidate. Line ends with carriage returns, a line that runs
// past the window's block of 65536 bytes or ends at its edge, and in UTF-8
// text continuation bytes where the search lands, broken sequences too.
TEST(RegexSearch, PositionsFarFromALineEndArePassed) {
  test::EncodingScope encoding;
  const struct {
    const char* bounded;
    const char* unbounded;
    int32_t mode;
  } cases[] = {
      {"(?!(ba)*c)b$", "(?!(ba)*c)bx*$", 0}, {"(?!(b|a)*c)b$", "(?!(b|a)*c)bx*$", 0},
      {"b.$", "b.x*$", 0},                   {"(a|b\\r?)$", "(a|b\\r?)x*$", 0},
      {"..$", "..x*$", 2},                   {"(?!\xC3\xA9)[^a].$", "(?!\xC3\xA9)[^a].x*$", 2},
  };
  const std::string ends[] = {"ab\n",
                              "a\r\nb\n",
                              "\xC3\xA9\rb\n",
                              "\xA9\xA9\xA9\xA9\xA9\xA9\xA9" "b\n",
                              "\xE2\x82\xAC" "b",
                              "\xC3\xA9\xE2\x82\n",
                              "a\rbbbbbbbbbbbbbbbbbbbb\n"};
  const int64_t W = 65536;
  for (const auto& c : cases) {
    c.mode == 2 ? encoding.utf8() : encoding.singleByte();
    for (const int64_t length : {int64_t{5}, W - 9, W - 4, W - 3, W - 2, W - 1, W + 5, 3 * W}) {
      for (const std::string& end : ends) {
        std::string text;
        while (static_cast<int64_t>(text.size()) < length) text += "ab\xC3\xA9";
        text = text.substr(0, static_cast<size_t>(length)) + end;
        std::vector<Match> found[2][2];
        for (const int32_t k : {0, 1}) {
          regex_test::CompiledScope compiled(k == 0 ? c.bounded : c.unbounded, 'U', 0, c.mode);
          ASSERT_EQ(compiled.status(), 0) << c.bounded;
          found[k][0] = findAllInFile(text, 0, c.mode);
          found[k][1] = findAllInMemory(text, c.mode);
        }
        EXPECT_EQ(found[0][0], found[1][0]) << c.bounded << " in a file of " << length;
        EXPECT_EQ(found[0][1], found[1][1]) << c.bounded << " in memory, " << length;
      }
    }
  }
}

// A literal cut by the end of the block, on a long line: the lazy DFA reads
// the line up to where a match may start, and no engine runs over the line
// (the backtracker would run out of steps and the Pike VM read it all).
TEST(RegexSearch, ALongLineBeforeTheLiteralIsReadByTheLazyDfa) {
  regex_test::CompiledScope compiled("(a|a){1,30}b", 'U');
  ASSERT_EQ(compiled.status(), 0);
  const std::string text = std::string(300000, 'a') + "b\n";
  clearPikeVmSteps();
  EXPECT_EQ(findAllInFile(text), (std::vector<Match>{{299970, 31}}));
  EXPECT_LT(pikeVmSteps(), 10000);
}

// A match as long as the line: the DFA has read it to its end, so the
// backtracker's budget pays for reading it again from the start. Without
// that the budget runs out, the VM reads the line a third time and takes
// the program over for the rest of the file.
TEST(RegexSearch, ALongMatchTheDfaFoundStaysWithTheBacktracker) {
  regex_test::CompiledScope compiled("a*b", 'U');
  ASSERT_EQ(compiled.status(), 0);
  const std::string text = std::string(300000, 'a') + "b\nxab\n";
  EXPECT_EQ(findAllInFile(text), (std::vector<Match>{{0, 300001}, {300003, 2}}));
  EXPECT_FALSE(pikeVmStartsAtOnce());
}

TEST(RegexSearch, RecordMode) {
  // Every position is tried, also the first one after a window end that is
  // a record boundary.
  std::string text(65536 + 32, 'x');
  text[65537] = 'a';
  text[65538] = 'b';
  {
    InstalledProgram installed(B().any().chr('b').match().build());
    EXPECT_EQ(findAllInFile(text, 16), (std::vector<Match>{{65537, 2}}));
  }
  {
    InstalledProgram installed(B().chr('a').any().chr('b').match().build());
    text[65535] = 'a';
    text[65537] = 'b';
    EXPECT_EQ(findAllInFile(text, 16), (std::vector<Match>{{65535, 3}}));
  }
  InstalledProgram anchored(B().op(OP_LINE_START).chr('x').match().build());
  EXPECT_EQ(findAllInFile("xaaaxbbbyccc", 4), (std::vector<Match>{{0, 1}, {4, 1}}));
}

// The last byte of the text lies just past the window's block and is read
// through the source by an attempt that then fails: the attempt must come
// back to its own start. It came back one byte early, so the search tried
// the same start for ever (and with (?!ab)* reported one match for ever).
TEST(RegexSearch, RecordModeAttemptsReadingTheLastByteComeBack) {
  const std::string text = std::string(65535, 'z') + "ab";
  for (const char* pattern : {"(?!ab)", "(?!ab)*"}) {
    for (const int32_t recordLength : {1, 5}) {
      const regex_test::CompiledScope scope(pattern, 'U');
      ASSERT_EQ(scope.status(), 0);
      std::vector<int64_t> starts;
      regex_test::walkMatchesInFile(text, recordLength, ENCODING_SINGLE_BYTE, nullptr,
                                    [&starts, &text](int64_t offset) -> int64_t {
                                      starts.push_back(offset);
                                      return starts.size() > text.size() + 1 ? 0 : 1;
                                    });
      // Every position of the text but the "ab" that the look-ahead refuses.
      const bool loop = pattern[6] == '*';
      EXPECT_EQ(starts.size(), loop ? 65537u : 65536u) << pattern << " records of " << recordLength;
      EXPECT_EQ(starts.empty() ? -1 : starts.back(), 65536) << pattern;
    }
  }
}

TEST(RegexSearch, FindInMemoryLeavesTheCallersSourceAlone) {
  test::TempFile file("abc\nxyz\n");
  int32_t status = 0;
  Stream* stream = openStream(file.name().c_str(), "rb", &status, STREAM_FILE_CAPACITY);
  ASSERT_NE(stream, nullptr);
  openTextWindow(stream, 0, 0, 0);
  InstalledProgram installed(B().chr('y').match().build());
  const TextSource before = textSource;
  EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes("ayb"), 3, 0), 2);
  EXPECT_EQ(compiledPattern.matchLength, 1);
  EXPECT_EQ(FindRegexInMemory(3, nullptr, 0, test::bytes("ayb"), 3, 0), 0);
  EXPECT_EQ(FindRegexInMemory(5, nullptr, 0, test::bytes("ayb"), 3, 0), 0);
  EXPECT_EQ(std::memcmp(&before, &textSource, sizeof before), 0);
  // The file search goes on where it stood.
  EXPECT_EQ(SearchRegex(nullptr, 0), 0);
  EXPECT_EQ(cursorOffset(), 5);
  closeStream(stream);
}

}  // namespace

namespace {

using regex_test::CompiledScope;
using regex_test::inFileOf;

// The program as written, before the loop pass: every scan instruction back
// to its plain item.
std::vector<Instruction> withoutScans(const CompiledPattern& pattern) {
  std::vector<Instruction> program(pattern.program, pattern.program + pattern.lastSlot + 1);
  for (size_t i = 0; i < program.size();) {
    Instruction& in = program[i];
    if (in.opcode >= OP_ANY_SCAN) {
      in.opcode = in.opcode == OP_ANY_SCAN ? OP_ANY : in.opcode == OP_SET_SCAN ? OP_SET : OP_CHAR;
      in.op3 = 0;
      in.op5 = 0;
    }
    i += in.opcode == OP_SET ? setSlotCount(in, pattern.encodingMode) : 1;
  }
  return program;
}

// Every match as Python's re.finditer reports it for the same text: the
// same leftmost-first backtracking order, also where loop bodies can match
// the empty string.
TEST(RegexSearchCompiled, MatchesLikeABacktrackingEngine) {
  const struct {
    char syntax;
    const char* pattern;
    std::string text;
    std::vector<Match> expected;
  } cases[] = {
      {'U', "a|ab", "ab", {{0, 1}}},
      {'U', "(a*)*b", "aab xb ac", {{0, 3}, {5, 1}}},
      {'U', "(a|)+", "aab", {{0, 2}, {2, 0}, {3, 0}}},
      {'U', "(x?)*y", "xxy y", {{0, 3}, {4, 1}}},
      {'U', "(a*){2,}", "aaa", {{0, 3}, {3, 0}}},
      {'R', "{a@}@", "aa", {{0, 2}, {2, 0}}},
      {'U', "(a?){3}", "aa", {{0, 2}, {2, 0}}},
      {'U', "x{1,2}?y", "xxxy", {{1, 3}}},
      {'U', "(a+)+b", "aaab", {{0, 4}}},
      {'U', "(?:a|b)*?c", "abac", {{0, 4}}},
      {'U', "((a)|b)+", "ab", {{0, 2}}},
      {'U', "a\\omb+", "abbc", {{0, 3}}},
      {'U', "(.)\\1", "abccd", {{2, 2}}},
      {'U', "a(?!b)", "abac", {{2, 1}}},
      // Counted loops over bodies with lazy or optional parts, and a loop
      // whose every pass may be empty before one that must consume.
      {'U', "(?:a??.){1,2}c", "axyc", {{0, 4}}},
      {'U', "^(b+?|a){1,2}?c", "bbbac", {{0, 5}}},
      {'U', "^(ba|b*){1,2}?bc", "bbabc", {{0, 5}}},
      {'U', "a(?:b(a{1,2}){0,2})*?\\1", "abaaba", {{0, 6}}},
      {'U', "(?:a?){2,}(?:c){2}", "abcc", {{2, 2}}},
  };
  auto expectMatches = [](const char* pattern, const std::string& text,
                          const std::vector<Match>& expected, char syntax = 'U') {
    CompiledScope compiled(pattern, syntax);
    ASSERT_EQ(compiled.status(), 0) << pattern;
    EXPECT_EQ(findAllInMemory(text), expected) << pattern;
    EXPECT_EQ(findAllInFile(text), inFileOf(expected, text)) << pattern;
  };
  for (const auto& c : cases) expectMatches(c.pattern, c.text, c.expected, c.syntax);
  // A counted loop makes the passes of its minimum, empty or not, and then
  // one more, which may consume where the last of them did not; only an
  // empty pass after that ends it. Both engines.
  for (RegexEngine engine : {REGEX_ENGINE_BACKTRACK, REGEX_ENGINE_PIKE}) {
    regex_test::EngineScope scope(engine);
    expectMatches("(c|(..|^)){3}", "Bac", {{0, 3}});
    expectMatches("((c?\?){4}|.{2,}){3,4}[^c]", "cccccAa", {{0, 7}});
  }

  // The mark of a branch or an attempt that failed is not reported.
  CompiledScope failedBranch("a\\cb|ac", 'U');
  EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes("ac"), 2, 0), 1);
  EXPECT_EQ(compiledPattern.matchLength, 2);
  EXPECT_EQ(compiledPattern.cursorMark, 0);
  CompiledScope failedAttempt("aaaa\\cb|a", 'U');
  for (int32_t start = 1; start <= 4; ++start) {
    EXPECT_EQ(FindRegexInMemory(start, nullptr, 0, test::bytes("aaaay"), 5, 0), start);
    EXPECT_EQ(compiledPattern.cursorMark, 0) << start;
  }
  // On the successful path the last mark performed counts; a pass of a loop
  // that is given back takes its mark with it.
  const struct {
    const char* pattern;
    const char* text;
    int32_t at;
    int32_t mark;
  } marks[] = {{"a\\cb", "xab", 2, 2}, {"(?:a\\c)*a", "aa", 1, 2}, {"(?:a\\c)*", "aa", 1, 3}};
  for (const auto& c : marks) {
    CompiledScope compiled(c.pattern, 'U');
    const int32_t length = static_cast<int32_t>(std::strlen(c.text));
    EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes(c.text), length, 0), c.at) << c.pattern;
    EXPECT_EQ(compiledPattern.cursorMark, c.mark) << c.pattern;
    InstalledProgram plain(withoutScans(compiledPattern));
    EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes(c.text), length, 0), c.at) << c.pattern;
    EXPECT_EQ(compiledPattern.cursorMark, c.mark) << c.pattern << " before the loop pass";
  }
}

// A random pattern in the 'U' dialect over the letters a, b and c.
std::string randomPattern(std::mt19937& random, int32_t depth, bool anyCharacter) {
  auto pick = [&random](int32_t n) { return static_cast<int32_t>(random() % n); };
  static const char* const QUANTIFIERS[] = {"",   "",   "",    "*",     "+",      "?",   "*?",
                                            "+?", "??", "{2}", "{1,2}", "{0,2}?", "{2,}"};
  const char* const ITEMS[] = {"a",    "b", anyCharacter ? "." : "c",
                               "[ab]", anyCharacter ? "[^a]" : "b", "\\1"};
  std::string pattern;
  const int32_t items = 1 + pick(3);
  for (int32_t i = 0; i < items; ++i) {
    const int32_t kind = pick(depth > 0 ? 9 : 6);
    if (kind < 6) {
      pattern += ITEMS[kind];
    } else if (kind < 8) {
      pattern += (kind == 6 ? "(" : "(?:") + randomPattern(random, depth - 1, anyCharacter) + ")";
    } else {
      pattern += "(" + randomPattern(random, depth - 1, anyCharacter) + "|" +
                 randomPattern(random, depth - 1, anyCharacter) + ")";
    }
    pattern += QUANTIFIERS[pick(13)];
  }
  return pattern;
}

// Three searches that must agree: over a file through the text window, over
// the same text in memory, and in memory with the program as it was before
// the loop pass.
TEST(RegexSearchCompiled, FileWindowStringAndPlainProgramAgree) {
  std::mt19937 random(20260101);
  const std::string filler(65500, 'z');
  for (int32_t round = 0; round < 400; ++round) {
    const bool longText = round % 50 == 0;
    const std::string pattern = randomPattern(random, 2, !longText);
    CompiledScope compiled(pattern, 'U');
    if (compiled.status() != 0) continue;
    std::string text = longText ? filler : "";
    const int32_t length = static_cast<int32_t>(random() % (longText ? 80 : 24));
    for (int32_t i = 0; i < length; ++i) text += "abc"[random() % 3];

    const std::vector<Match> inMemory = findAllInMemory(text);
    EXPECT_EQ(findAllInFile(text), inFileOf(inMemory, text))
        << pattern << " on " << text.substr(text.size() - length);
    InstalledProgram plain(withoutScans(compiledPattern));
    compiledPattern.firstCharValid = 0;
    EXPECT_EQ(findAllInMemory(text), inMemory)
        << pattern << " on " << text.substr(text.size() - length);
  }
}

// The matches of the current pattern over a file holding `text`, as
// searches of the string of each line (its terminator, LF or CR LF, cut
// off) find them, at their offsets in the file (and, as the driver's walk
// over a file, none at the end of the file).
std::vector<Match> findAllLineByLine(const std::string& text, int32_t mode) {
  std::vector<Match> found;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const size_t contentEnd = end > start && text[end - 1] == '\r' && end < text.size() ? end - 1 : end;
    for (const Match& m : findAllInMemory(text.substr(start, contentEnd - start), mode)) {
      found.push_back({m.start + static_cast<int64_t>(start), m.length});
    }
    start = end + 1;
  }
  return regex_test::inFileOf(found, text);
}

// After a match the next search starts where it ends, and its first
// positions are tried at once by the engine that found it, without the
// set-up of a search. Matches close together, separated by line ends (LF,
// CR LF, a lone CR), by characters of several bytes and bytes that begin
// none, and running over the window's end, are those a search of its own
// finds at each place: the walk over a file (which resumes) against the
// searches of each line's string (which never do), for programs the
// backtracker runs in linear time, runs on its budget of steps, and hands
// to the Pike VM.
TEST(RegexSearchCompiled, SearchesResumedAfterAMatchFindWhatAFreshSearchFinds) {
  const char* const patterns[] = {
      "b",        "[ab]c",   "a|bc",   "(a|b)+",   "[a-z]+_", "a*b",      "\xc3\xa9|b",
      "[\xc3\xa0-\xc3\xbf]+", "(ab|a)+c", "b(?!x)", "^b|c", "b$|a", "[^a-z_]",
      "b|[^a-z_\xc3\xa9]", "x*", "b?",
  };
  const std::string windowFiller(65531, 'z');
  const char* const texts[] = {
      "ababab\nab\r\nabab\rababc_ab_bc",
      "abcabc\xc3\xa9" "b\xc3\xa9\xc3\xa9" "bab\xe2\x82\xac" "bc_\xc3\xa0\xc3\xa9x",
      "a_b_c_ab_abc_aab_aaab_\r\n\r\nbb\nbc\nc\nbbc",
      "abacabadabacabae\xff\xfe" "b\xc3" "b\xa9\xa9" "a",
      // Code page 932: pairs whose second byte is a letter, and lead bytes
      // before a line end.
      "\x82\xa0" "ab\x82" "b\x82\x82" "bb\x88\x9f" "c\x81\n\x82" "bab\r\n\x83" "ab",
  };
  test::EncodingScope encoding;
  for (const char* pattern : patterns) {
    for (int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_UTF8, ENCODING_DOUBLE_BYTE}) {
      if (mode == ENCODING_DOUBLE_BYTE) {
        encoding.doubleByte(0x81, 0xFC);
        for (int32_t b = 0xA0; b < 0xE0; ++b) leadByteTable[b] = 0;
      } else {
        mode == ENCODING_UTF8 ? encoding.utf8() : encoding.singleByte();
      }
      CompiledScope compiled(pattern, 'U', 0, mode);
      ASSERT_EQ(compiled.status(), 0) << pattern;
      for (const char* body : texts) {
        for (const std::string& text :
             {std::string(body), windowFiller + body, std::string(body) + body + "\n"}) {
          EXPECT_EQ(findAllInFile(text, 0, mode), findAllLineByLine(text, mode))
              << pattern << " in mode " << mode << " over " << body;
        }
      }
    }
  }
}

// The gate moves to the line of the literal's next occurrence, found over
// the block, and lets that line's candidates up to it pass without another
// scan; where every match reaches the literal through a run of bytes of one
// set, the search moves on to the run before the occurrence. Over lines of
// every length, with and without the literal, with characters of several
// bytes, ignoring case and across the block boundary, a file finds what the
// string finds (where no gate runs, and these matches stay on their line).
TEST(RegexSearchCompiled, TheGateFindsWhatTheStringSearchFinds) {
  const struct {
    const char* pattern;
    int32_t ignoreCase;
  } patterns[] = {
      {"[a-z]+\\(", 0},       {"[0-9]+\\.[0-9]+", 0},   {"[a-z]*b\\(\\.", 0},
      {"a[^\\n]*b\\(", 0},    {"[a-z]+_[a-z]+", 0},      {"(ab|a)+_", 0},
      {"x*[ab]+\\.", 0},       {"[A-Za-z_]+\\(", 0},     {"[a-z]+[0-9]\\(", 0},
      {"[a-z]+a\\(", 0},       {"[A-Z]+_K", 1},           {"b[a-b]*\\(", 0},
      // Occurrences after a byte outside the run are passed only where
      // every path takes a byte of the run before the literal.
      {"[0-9]*\\.[0-9]", 0},  {"(1|)\\.a", 0},           {"1{0,2}\\.a", 0},
      {"[1.]+\\.1", 0},        {"(a1|1)+\\.", 0},         {"_?1+_", 0},
      // A run and the literal alone take their match without an engine;
      // the shapes around it do not.
      {"[ab]+\\(\\.", 0},      {"a+?_K", 0},              {"[a(]+\\(", 0},
      {"[ab]+\\(a", 0},        {"[^(\\n]+\\(", 0},       {"[ab]+_K", 1},
      // So do a literal, a set looped and a literal (the set's non-ASCII
      // characters, line breaks and sets that take the closing byte left to
      // the engines).
      {"_[^_\\n]*_", 0},       {"\\([ab 1]*?\\.", 0},     {"K[^.\\n]*\\.", 0},
      {"_[^.\\n]*_", 0},       {"a\\(b*\\.a", 0},         {"K[a1 ]*K", 0},  
  };
  std::mt19937 random(7);
  const std::string alphabet[] = {"a", "b", "(", ".", "1", " ", "_", "K", "A", "\xC3\xA9"};
  for (const int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_UTF8}) {
    for (const auto& p : patterns) {
      CompiledScope compiled(p.pattern, 'U', p.ignoreCase, mode);
      ASSERT_EQ(compiled.status(), 0) << p.pattern;
      ASSERT_GT(compiledPattern.requiredLiteral.length, 0) << p.pattern;
      for (int32_t round = 0; round < 60; ++round) {
        std::string text = round % 6 == 0 ? std::string(65536 - random() % 40, 'z') : "";
        for (int32_t line = 0; line < 12; ++line) {
          const int32_t length = static_cast<int32_t>(random() % 18);
          for (int32_t i = 0; i < length; ++i) {
            // Most lines lack the literal.
            const std::string& c = alphabet[random() % std::size(alphabet)];
            text += (c == "(" || c == "." || c == "_") && random() % 3 != 0 ? "a" : c;
          }
          text += '\n';
        }
        const auto found = findAllInFile(text, 0, mode);
        EXPECT_EQ(found, inFileOf(findAllInMemory(text, mode), text))
            << p.pattern << " mode " << mode << " on "
            << text.substr(text.size() > 300 ? text.size() - 300 : 0);
        regex_test::BacktrackerOnly backtracker;
        EXPECT_EQ(found, findAllInFile(text, 0, mode)) << p.pattern << " mode " << mode;
      }
    }
  }
}

// Past the window's line the gate passes the lines that hold the literal but,
// by the lazy DFA's table, no match, without moving the window to each. Once
// the first lines have filled the table, every kind of line is met that way:
// a match at the line's very end, before a CR LF, before the first
// occurrence's run, on an unterminated last line and across the block
// boundary; lines the table cannot tell (a lead byte, a step not yet kept);
// and a literal of several forms (ignoring case). The quoted shapes take
// their match by a scan, which stops at the line's end.
TEST(RegexSearchCompiled, LinesTheTablePassesHoldNoMatch) {
  const struct {
    const char* pattern;
    int32_t ignoreCase;
  } patterns[] = {
      {"[a-z]+_[a-z]+_[a-z]+", 0}, {"_[a-z]+_", 0}, {"[a-z]+_[0-9]", 0},
      {"[a-z]+_k", 1},             {"(ab|cd)_x", 0}, {"[^ _\n]+_y", 0},
      // A literal, a set looped and a literal: the scan stops at the line
      // end or at a lone CR, which the set takes.
      {"_[^_]*_", 0},              {"K[^K]*?K", 0},
  };
  const char* const kinds[] = {
      "a_b c_d _e_ f__g\n",  "zz_ zz_ ab_cd_e\n", "ab_cd_e\r\n",    "_a_b\n",
      "abc_def_ghi_9\n",     "x_1 y_K cd_x\n",    "\xC3\xA9_a_b_\xC3\xA9\n", "no literal\n",
      "q_ q_ q_ q_ q_ q_\n",  "ab_x cd_y\r\n",     "a_\xff_b\n",       "\n",
      "a_b_c\n",             "f__1 x_1\n",          "_a\rb_ K\rK ........\n", "K_\r\n",
  };
  std::mt19937 random(11);
  for (const int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_UTF8}) {
    for (const auto& p : patterns) {
      CompiledScope compiled(p.pattern, 'U', p.ignoreCase, mode);
      ASSERT_EQ(compiled.status(), 0) << p.pattern;
      for (int32_t round = 0; round < 8; ++round) {
        std::string text = round % 2 == 0 ? std::string(65536 - random() % 30, 'z') + "\n" : "";
        for (int32_t line = 0; line < 400; ++line) text += kinds[random() % std::size(kinds)];
        if (round % 4 == 3) text += "ab_cd_ef";  // an unterminated last line
        EXPECT_EQ(findAllInFile(text, 0, mode), findAllLineByLine(text, mode))
            << p.pattern << " mode " << mode << " round " << round;
      }
    }
  }
}

// A scan of a set or a character runs over bytes by a table of what the
// item takes and where the follow test stops, and goes the ordinary way at UTF-8 lead
// bytes and near the window's end: over runs with characters of several
// bytes, at line ends, at the text's end and across the 64 KiB block
// boundary, each kind of follow test finds what the program without scans
// finds, in single-byte and UTF-8 text, and ignoring case.
TEST(RegexSearchCompiled, ScansByTableFindWhatThePlainLoopsFind) {
  const struct {
    const char* pattern;
    int32_t ignoreCase;
  } patterns[] = {
      {"\"[^\"]*\"", 0},             // a character follows
      {"[A-Za-z_]+\\(", 0},           // a character follows, after a run that may fail
      {"[a-z]+_[a-z]+_[a-z]+", 0},     // runs one after another
      {"[0-9]+\\.[0-9]+", 0},
      {"[a-z\xC3\xA9]+[0-9(]", 0},    // a set follows
      {"[^ ]+", 0},                    // the run goes to the program's end
      {"[a-z]+$", 0},                  // a line end follows
      {"[A-Z]+K", 1},                  // a character of either case follows
      {"ab*c", 0},                     // a character run
      {"k+K", 1},                      // a run of either case before either case
      {"_e*", 0},                      // a character run to the program's end
      {"e+[0-9(]", 0},
  };
  const std::string tails[] = {
      "x = foo(bar_baz_qux(1.25, \"a\\\"b\xC3\xA9" "c\") + \"\" kK;\n",
      "abc\xC3\xA9" "def_ghi_jkl( \"\xE2\x82\xAC\" 3.14.15 xkKk\xC3\xA9(\r\n\"open\n",
      "abcdefghijklmnopqrstuvwxyz_abc_de(12.5\xC3\xA9\"x\" abbbbc ac abbb",
      // Runs that end at the last bytes of their lines.
      "\"a\"\n\"\"\n\"b\xC3\xA9\"\r\nab(\nx_y_z\n1.2\r\nabK\nq\"\n\"\nabbc\nkkKk\nx_eee\nee\r\n",
  };
  for (const int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_UTF8}) {
    for (const auto& p : patterns) {
      CompiledScope compiled(p.pattern, 'U', p.ignoreCase, mode);
      ASSERT_EQ(compiled.status(), 0) << p.pattern;
      const std::vector<Instruction> plainSlots = withoutScans(compiledPattern);
      ASSERT_TRUE(std::any_of(compiledPattern.program, compiledPattern.program + plainSlots.size(),
                              [](const Instruction& in) {
                                return in.opcode == OP_SET_SCAN || in.opcode == OP_CHAR_SCAN;
                              }))
          << p.pattern;
      size_t found = 0;
      for (const std::string& tail : tails) {
        for (const int32_t before : {1, 3, 6, 7, 9, 20}) {
          // Lines of blanks up to `before` bytes short of the block boundary.
          std::string text;
          while (65536 - before - static_cast<int64_t>(text.size()) > 80) {
            text += std::string(79, ' ') + "\n";
          }
          text += std::string(65536 - before - text.size(), ' ') + tail + tail;
          const std::vector<Match> inFile = findAllInFile(text, 0, mode);
          const std::vector<Match> inMemory = findAllInMemory(tail + tail, mode);
          found += inFile.size();
          const InstalledProgram plain(plainSlots, p.ignoreCase, false, mode);
          EXPECT_EQ(findAllInFile(text, 0, mode), inFile) << p.pattern << " mode " << mode;
          EXPECT_EQ(findAllInMemory(tail + tail, mode), inMemory) << p.pattern << " mode " << mode;
        }
      }
      EXPECT_GT(found, 0u) << p.pattern << " mode " << mode;
    }
  }
}

// A long alternation whose ways differ after their first item, too many
// states for the automata: the bytes every way may take at its first offsets
// turn away the candidates before an engine tries thousands of ways at each.
// The matches stand among near misses, on lines that end in CR LF, and one
// across the 64 KiB block boundary; the engines are asked few steps.
TEST(RegexSearchCompiled, ALongAlternationPassesCandidatesByItsFirstBytes) {
  std::string pattern = "(";
  for (int32_t i = 0; i < 5000; ++i) {
    char way[32];
    std::snprintf(way, sizeof way, "%s[a-z]%05d[x-z]?", i == 0 ? "" : "|", i);
    pattern += way;
  }
  pattern += ")+q";
  CompiledScope compiled(pattern.c_str(), 'U');
  ASSERT_EQ(compiled.status(), 0);
  const std::string filler = "int a = b0 + c1; /* near misses: x0004q a00 42 z9999q */\r\n";
  std::string text;
  std::vector<Match> expected;
  const auto add = [&](const std::string& piece, int32_t matchAt, int32_t length) {
    if (matchAt >= 0) expected.push_back({static_cast<int64_t>(text.size()) + matchAt, length});
    text += piece;
  };
  while (text.size() < 65536 - 200) add(filler, -1, 0);
  add(std::string(65536 - 3 - text.size(), ' '), -1, 0);
  add("b04999xq and more\n", 0, 8);  // across the block boundary
  for (int32_t i = 0; i < 600; ++i) add(filler, -1, 0);
  add("call(k01234a00017zq);\r\n", 5, 14);
  add("a05000q a4999q A00001q\n", -1, 0);
  clearMemoSteps();
  clearPikeVmSteps();
  EXPECT_EQ(findAllInFile(text), expected);
  EXPECT_LT(memoSteps() + pikeVmSteps(), 100000);
}

}  // namespace

namespace {

// The file window keeps one saved position; restoring it goes through the
// window's moves, also when the window has moved on or back since the save.
TEST(FileTextWindow, RestoresASavedPositionAcrossBlocks) {
  std::string text;
  for (int32_t n = 1; text.size() < 150000; ++n) text += "line " + std::to_string(n) + "\n";
  auto lineAt = [&text](int64_t offset) {
    return 1 + std::count(text.begin(), text.begin() + offset, '\n');
  };
  test::TempFile file(text);
  const struct {
    int32_t recordLength;
    int64_t saved;
    int64_t movedTo;
  } cases[] = {
      {0, 65530, 70000}, {0, 70000, 100}, {0, 131070, 149000}, {16, 100, 70000}, {16, 70000, 5}};
  for (const auto& c : cases) {
    int32_t status = 0;
    Stream* stream = openStream(file.name().c_str(), "rb", &status, STREAM_FILE_CAPACITY);
    ASSERT_NE(stream, nullptr);
    openTextWindow(stream, c.recordLength, 0, 0);
    auto moveTo = [](int64_t offset) {
      const int64_t distance = offset - cursorOffset();
      return distance >= 0 ? textSource.AdvanceTo(textWindow.cursor + distance)
                           : textSource.MoveBy(static_cast<int32_t>(distance));
    };
    ASSERT_EQ(moveTo(c.saved), 0);
    EXPECT_EQ(textSource.SaveMark(nullptr), 0);
    uint8_t mark[8];
    EXPECT_EQ(textSource.SaveMark(mark), 0);
    ASSERT_EQ(moveTo(c.movedTo), 0);
    EXPECT_EQ(textSource.RestoreMark(mark), 0);
    EXPECT_EQ(cursorOffset(), c.saved) << c.saved << " after " << c.movedTo;
    EXPECT_EQ(*textWindow.cursor, static_cast<uint8_t>(text[c.saved]));
    if (c.recordLength == 0) {
      EXPECT_EQ(textWindow.lineNumber, lineAt(c.saved)) << c.saved;
    }
    closeStream(stream);
  }
}

}  // namespace
