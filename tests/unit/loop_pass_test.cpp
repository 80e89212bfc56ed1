// Tests of the loop pass and the scan instructions: how far one execution of
// a scan instruction consumes before it hands control on (a MATCH in place of
// the loop's branch makes that the match length), over a string and over a
// file, and that programs with scans find what the plain loops find, for each
// kind of instruction that may follow a loop.
#include "pattern/loop_pass.h"

#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::findAllInFile;
using regex_test::findAllInMemory;
using regex_test::InstalledProgram;
using regex_test::Match;
using regex_test::ProgramBuilder;
using B = ProgramBuilder;

// One execution of a scan instruction, measured by putting a MATCH where
// the loop's branch stands: the bytes consumed at the first position, in a
// string (the whole string is one line) and in a file.
constexpr int32_t FAILS = -1;  // the item fails at the first position
constexpr int32_t UNCHECKED = -2;

struct Execution {
  const char* name;
  B program;  // a one-item loop that the pass rewrites
  std::string text;
  int32_t inString;
  int32_t inFile;
  int32_t charMode = ENCODING_SINGLE_BYTE;
};

void expectFirst(const std::vector<Match>& found, int32_t consumed, const std::string& what) {
  if (consumed == UNCHECKED) return;
  const std::vector<Match> first =
      !found.empty() && found[0].start == 0 ? std::vector<Match>{found[0]} : std::vector<Match>{};
  std::vector<Match> expected;
  if (consumed != FAILS) expected.push_back({0, consumed});
  EXPECT_EQ(first, expected) << what;
}

TEST(ScanInstructions, OneExecutionConsumesUpToWhereTheContinuationCanBegin) {
  const regex_test::BacktrackerOnly backtracker;
  const Execution cases[] = {
      {"CHAR x before y", B().chr('x').plus().chr('y').match(), "xxy", 2, 2},
      {"CHAR x before y, item fails", B().chr('x').plus().chr('y').match(), "xxz", FAILS, FAILS},
      {"ANY before y", B().any().plus().chr('y').match(), "abcyd", 3, 3},
      {"ANY before a case pair", B().any().plus().chr2('y', 'Y').match(), "abcYd", 3, 3},
      {"ANY before y does not pass a line end", B().any().plus().chr('y').match(), "abc\ndy", 5,
       FAILS},
      {"ANY before a set", B().any().plus().set("0123456789").match(), "ab1", 2, 2},
      {"ANY before a line end", B().any().plus().op(OP_LINE_END).match(), "abc", 3, UNCHECKED},
      {"ANY before a carriage return and line feed", B().any().plus().op(OP_LINE_END).match(),
       "ab\r\nc", UNCHECKED, 2},
      {"ANY before a newline", B().any().plus().op(OP_NEWLINE).chr('c').match(), "ab\nc", UNCHECKED,
       2},
      {"CHAR run to the text end", B().chr('a').plus().match(), "aaa", 3, 3},
      {"CHAR run up to another character", B().chr('a').plus().match(), "aaab", 3, 3},
      {"SET run", B().set("ab").plus().match(), "abac", 3, 3},
      {"SET run stops at the line end", B().set("ab\n").plus().match(), "ab\nab", 5, 2},
      {"ANY run to the line end", B().any().plus().match(), "abc\ndef", 7, 3},
      {"ANY run across lines", B().any(1).plus().match(), "ab\ncd", 5, 5},
      {"crossing CHAR run stops at another character", B().chr('b', 1).plus().match(), "bbc", 2, 2},
      {"crossing SET run", B().set("ab\n", 1).plus().match(), "ab\nbc", 4, 4},
      {"UTF-8 ANY before a character", B().any().plus().chr(0xE9).match(), "a\xE2\x82\xAC\xC3\xA9",
       4, 4, ENCODING_UTF8},
      {"UTF-8 CHAR run", B().chr(0x20AC).plus().match(), "\xE2\x82\xAC\xE2\x82\xAC" "a", 6, 6,
       ENCODING_UTF8},
      {"UTF-8 SET run", B().setUtf8({{0x20AC, 0x20AC}}).plus().match(), "\xE2\x82\xAC\xE2\x82\xAC",
       6, 6, ENCODING_UTF8},
      {"UTF-8 CHAR before a set that crosses lines",
       B().chr('a').plus().setUtf8({{'\n', '\n'}}, 1).match(), "aa\nb", 2, 2, ENCODING_UTF8},
  };
  for (const Execution& c : cases) {
    std::vector<Instruction> program = c.program.build();
    runLoopPass(program.data(), static_cast<int32_t>(program.size()) - 1, c.charMode);
    ASSERT_GE(program[0].opcode, OP_ANY_SCAN) << c.name;
    program[program[0].opcode == OP_SET_SCAN ? setSlotCount(program[0], c.charMode) : 1].opcode =
        OP_MATCH;
    InstalledProgram installed(program, 0, false, c.charMode);
    expectFirst(findAllInMemory(c.text, c.charMode), c.inString, std::string(c.name) + " (string)");
    expectFirst(findAllInFile(c.text, 0, c.charMode), c.inFile, std::string(c.name) + " (file)");
  }
}

// Whole programs with scans: the results of the loop pass equal those of
// the program as written.
TEST(ScanInstructions, KeepTheResultsOfThePlainLoops) {
  const struct {
    const char* name;
    B program;
    std::string text;
    std::vector<Match> expected;
  } cases[] = {
      {"x#y (one or more)", B().chr('x').plus().chr('y').match(), "xxy xy y", {{0, 3}, {4, 2}}},
      {"a\\omb+ on abbc", B().chr('a').chr('b', 1).plus().match(), "abbc", {{0, 3}}},
      {".*x", B().any().plus().chr('x').match(), "abxcxd", {{0, 5}}},
      {"minimal .*?x", B().label("i").any().split("i", "n").label("n").chr('x').match(), "abxcx",
       {{0, 3}, {3, 2}}},
      {"a mark after the loop", B().chr('x').plus().op(OP_MARK_CURSOR).chr('y').match(), "xxxy",
       {{0, 4}}},
      {"a group after the loop",
       B().any().plus().op(OP_GROUP_START, 0).chr('y').op(OP_GROUP_END, 0).match(), "abyy",
       {{0, 4}}},
      {"a set after the loop", B().any().plus().set("ab").match(), "xxaxbx", {{0, 5}}},
      {"a line end after the loop", B().chr('x').plus().op(OP_LINE_END).match(), "xxa xx",
       {{4, 2}}},
      {"a group end stepped over",
       B().op(OP_GROUP_START, 0).chr('x').plus().op(OP_GROUP_END, 0).chr('y').match(), "xxy y",
       {{0, 3}}},
      {"two loops in a row", B().chr('x').plus().chr('y').plus().match(), "xxyy xy y",
       {{0, 4}, {5, 2}}},
      {"a loop in a look-ahead body",
       B().notAhead("after").chr('x').plus().match().label("after").chr('z').match(), "xz z",
       {{1, 1}, {3, 1}}},
      {"a loop whose continuation is reached by a jump",
       B().chr('x').plus().jump("j").chr('q').label("j").chr('y').match(), "xxy xq xy",
       {{0, 3}, {7, 2}}},
      {"a loop not back to its item",
       B().chr('w').label("i").chr('x').splitFirst("w", "n").label("n").label("w").chr('y').match(),
       "wxy wy", {{0, 3}}},
  };
  for (const auto& c : cases) {
    for (bool loopPass : {false, true}) {
      InstalledProgram installed(c.program.build(), 0, loopPass);
      EXPECT_EQ(findAllInMemory(c.text), c.expected) << c.name << loopPass;
    }
  }
  // The mark and the group after a scanned loop are where the continuation
  // really began.
  InstalledProgram marked(cases[4].program.build(), 0, true);
  EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes("xxxy"), 4, ENCODING_SINGLE_BYTE), 1);
  EXPECT_EQ(compiledPattern.cursorMark, 4);
}

// A scan that runs to the end of a file of several blocks, through the
// file's SaveMark and RestoreMark at the end of the text.
TEST(ScanInstructions, RunToTheEndOfALongFile) {
  const std::string text = "s" + std::string(70000, 'a') + "\n" + std::string(70000, 'b');
  const struct {
    const char* name;
    B program;
    std::vector<Match> expected;
  } cases[] = {
      {"crossing ANY", B().chr('s').any(1).plus().match(),
       {{0, static_cast<int32_t>(text.size())}}},
      {"CHAR run", B().chr('s').chr('a').plus().match(), {{0, 70001}}},
      {"CHAR run at the file end", B().chr('\n').chr('b').plus().match(), {{70001, 70001}}},
  };
  for (const auto& c : cases) {
    InstalledProgram installed(c.program.build(), 0, true);
    EXPECT_EQ(findAllInFile(text), c.expected) << c.name;
    EXPECT_EQ(findAllInMemory(text), c.expected) << c.name;
  }
}

}  // namespace
