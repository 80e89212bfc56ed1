// Tests of the regular-expression compiler: the slots emitted for each
// construct of the 'R' and 'U' dialects, the limits and syntax errors, group
// numbering, the first-character record, the double-byte pre-pass, and a
// robustness run over random and mutated patterns in every dialect and mode.
// Programs are compared in a compact written form (see describeProgram); the
// loop pass may turn one-item loops into scan instructions, which are written
// as the plain instruction they stand for.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>

#include "pattern/compiled_pattern.h"
#include "pattern/regex_double_byte.h"
#include "pattern/unicode_set.h"
#include "tests/unit/test_support.h"

namespace {

int32_t compileWith(const std::string& pattern, int32_t syntax, int32_t ignoreCase = 0,
                    int32_t encodingMode = 0, int32_t recordLength = 0) {
  return CompileRegex(test::bytes(pattern), static_cast<int32_t>(pattern.size()), ignoreCase,
                      syntax, recordLength, encodingMode);
}

// A byte as itself when printable, else as #number.
std::string byteText(uint32_t c) {
  char text[16];
  std::snprintf(text, sizeof text, c >= 0x21 && c < 0x7F ? "%c" : "#%u", c);
  return text;
}

// One word per instruction: 'a' or 'a/A' (CHAR op1/op2; ! marks crossLines),
// split(op4,op5) and first(...) for SPLIT and SPLIT_FIRST ("g0": guarded by
// register 0), jump(op5), not(op5), loop1(op4,op5,min..max) and minloop1 (the
// digit is the counter), reset1, guard0, (0 )0 \0 for groups and
// back-references, ^ $ $1 any nl cursor match set. Scan instructions read as
// the instruction they stand for, and the member data of a SET is skipped.
std::string describeProgram() {
  static const char* const NAMES[] = {"",    "split", "first", "jump",  "any",     "cursor",
                                      "^",   "$",     "(",     ")",     "not",     "match",
                                      "set", "reset", "loop",  "minloop", "\\",    "nl"};
  const CompiledPattern& cp = compiledPattern;
  std::string out;
  for (int32_t i = 0; i <= cp.lastSlot;) {
    const Instruction& s = cp.program[i];
    uint8_t op = s.opcode;
    if (op == OP_CHAR_SCAN) op = OP_CHAR;
    if (op == OP_ANY_SCAN) op = OP_ANY;
    if (op == OP_SET_SCAN) op = OP_SET;
    if (op >= std::size(NAMES)) return out + " ?";
    const char* name = NAMES[op];
    char guard[16] = "";
    if (s.op3 != 0) std::snprintf(guard, sizeof guard, " g%d", s.op3 - 1);
    char word[96];
    switch (op) {
      case OP_CHAR:
        std::snprintf(word, sizeof word, "'%s%s%s'%s", byteText(s.op1).c_str(),
                      s.op1 != s.op2 ? "/" : "", s.op1 != s.op2 ? byteText(s.op2).c_str() : "",
                      s.op4 != 0 ? "!" : "");
        break;
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
        std::snprintf(word, sizeof word, "%s(%+d,%+d%s)", name, s.op4, s.op5, guard);
        break;
      case OP_JUMP:
      case OP_NOT_AHEAD:
        std::snprintf(word, sizeof word, "%s(%+d)", name, s.op5);
        break;
      case OP_ANY:
      case OP_SET:
        std::snprintf(word, sizeof word, "%s%s", name, s.op4 != 0 ? "!" : "");
        break;
      case OP_LINE_END:
        std::snprintf(word, sizeof word, "%s", s.op4 != 0 ? "$1" : "$");
        break;
      case OP_GROUP_START:
      case OP_GROUP_END:
      case OP_BACKREF:
        std::snprintf(word, sizeof word, "%s%d", name, s.op4);
        break;
      case OP_COUNT_RESET:
        if (s.op2 == PASS_START_MARK) {
          std::snprintf(word, sizeof word, "guard%d", s.op3);
        } else {
          std::snprintf(word, sizeof word, "reset%u", s.op1);
        }
        break;
      case OP_COUNT_LOOP:
      case OP_COUNT_LOOP_MIN:
        std::snprintf(word, sizeof word, "%s%u(%+d,%+d,%d..%d%s)", name, s.op1, s.op4, s.op5, s.op6,
                      s.op7, guard);
        break;
      default:
        std::snprintf(word, sizeof word, "%s", name);
    }
    if (!out.empty()) out += ' ';
    out += word;
    i += op == OP_SET ? std::max(1, setSlotCount(s, cp.encodingMode)) : 1;
  }
  return out;
}

std::string compiled(const std::string& pattern, int32_t syntax, int32_t ignoreCase = 0,
                     int32_t encodingMode = 0, int32_t recordLength = 0) {
  const int32_t status = compileWith(pattern, syntax, ignoreCase, encodingMode, recordLength);
  if (status != 0) return "status " + std::to_string(status);
  return describeProgram();
}

// The bytes of the first-character table, or "invalid".
std::string firstCharacters() {
  if (!compiledPattern.firstCharValid) return "invalid";
  std::string members;
  for (int32_t c = 0; c < 256; ++c) {
    if (compiledPattern.firstCharTable[c]) members += static_cast<char>(c);
  }
  return members;
}

struct ProgramCase {
  char syntax;
  const char* pattern;
  const char* program;
};

void expectPrograms(const std::vector<ProgramCase>& cases, int32_t ignoreCase = 0) {
  for (const ProgramCase& c : cases) {
    EXPECT_EQ(compiled(c.pattern, c.syntax, ignoreCase), c.program)
        << c.syntax << " " << c.pattern;
  }
}

}  // namespace

TEST(RegexCompilerDesign, DialectsShareTheirLoopForms) {
  test::EncodingScope encoding;
  encoding.singleByte();
  const std::string minimalR = compiled("a*b", 'R');
  EXPECT_EQ(minimalR, "split(+1,+3) 'a' split(-1,+1) 'b' match");
  EXPECT_EQ(compiled("a*?b", 'U'), minimalR);
  const std::string maximalU = compiled("a*b", 'U');
  EXPECT_EQ(maximalU, "first(+1,+3) 'a' first(-1,+1) 'b' match");
  EXPECT_EQ(compiled("a@b", 'R'), maximalU);
  EXPECT_EQ(compiled("a+b", 'R'), compiled("a+?b", 'U'));
  EXPECT_EQ(compiled("a#b", 'R'), compiled("a+b", 'U'));
}

TEST(RegexCompilerDesign, AnEmptyPatternIsOneMatch) {
  for (char syntax : {'R', 'U', 'B'}) {
    ASSERT_EQ(compileWith("", syntax), 0);
    EXPECT_EQ(compiledPattern.lastSlot, 0);
    EXPECT_EQ(compiledPattern.program[0].opcode, OP_MATCH);
    EXPECT_EQ(compiledPattern.firstCharValid, 0);
    EXPECT_EQ(compiledPattern.direction, 1);
  }
}

TEST(RegexCompilerPrograms, ItemsAnchorsAndEscapes) {
  test::EncodingScope encoding;
  encoding.singleByte();
  expectPrograms({
      {'R', "a?b", "'a' any 'b' match"},
      {'U', "a.b", "'a' any 'b' match"},
      {'R', "^a$", "^ 'a' $ match"},
      {'U', "^a$", "^ 'a' $ match"},
      {'R', "\\c", "cursor match"},
      {'U', "a\\Cb", "'a' cursor 'b' match"},
      {'R', "\\n", "nl match"},
      {'R', "\\t\\r\\f\\b", "'#9' '#13' '#12' '#8' match"},
      {'U', "\\T\\b", "'#9' 'b' match"},
      {'R', "\\065\\7\\255", "'A' '#7' '#255' match"},
      {'R', "\\d1", "'d' '1' match"},
      {'U', "\\d065\\D7", "'A' '#7' match"},
      {'U', "\\g1", "'g' '1' match"},
      {'R', "\\x41\\X4A\\x7", "'A' 'J' '#7' match"},
      {'R', "\\x{41}\\x{e9}", "'A' '#233' match"},
      {'U', "\\:", "status -2500"},
      {'R', "\\:\\{\\[\\*", "':' '{' '[' '*' match"},
      {'U', "\\.\\(\\{\\?", "'.' '(' '{' '?' match"},
      {'U', ")}]", "')' '}' ']' match"},
      {'R', "})]", "'}' ')' ']' match"},
      {'U', "\\olab\\OM.\\ol.", "'a' 'b' any! any match"},
      {'R', "\\oma[x]\\olb", "'a'! set! 'b' match"},
      {'R', "\\om\\ol*", "match"},
      {'U', "a\\", "'a' '\\' match"},
      {'R', "\\", "'\\' match"},
      {'R', "\xFF", "'#255' match"},
  });
  EXPECT_EQ(compiled("a\\n", 'U', 0, 0, 80), "'a' $1 match");
  EXPECT_EQ(compiled("Ab1", 'R', 1), "'a/A' 'b/B' '1' match");
}

TEST(RegexCompilerPrograms, AlternativesAreRightNested) {
  expectPrograms({
      {'R', "a|b", "first(+1,+3) 'a' jump(+2) 'b' match"},
      {'U', "a|b|c", "first(+1,+3) 'a' jump(+5) first(+1,+3) 'b' jump(+2) 'c' match"},
      {'U', "a|", "first(+1,+3) 'a' jump(+2) jump(+1) match"},
      {'U', "|a", "first(+1,+2) jump(+2) 'a' match"},
      {'R', "ab|c", "first(+1,+4) 'a' 'b' jump(+2) 'c' match"},
      {'U', "(a|b)c", "(0 first(+1,+3) 'a' jump(+2) 'b' )0 'c' match"},
      {'U', "(?:a|bc)d", "first(+1,+3) 'a' jump(+3) 'b' 'c' 'd' match"},
      {'R', "{a|b}*c", "split(+1,+8) (0 first(+1,+3) 'a' jump(+2) 'b' )0 split(-6,+1) 'c' match"},
  });
}

TEST(RegexCompilerPrograms, LoopsAndCountedRepeats) {
  expectPrograms({
      {'R', "a+", "'a' split(-1,+1) match"},
      {'R', "a#", "'a' first(-1,+1) match"},
      {'U', "a+?", "'a' split(-1,+1) match"},
      {'U', "ab*c", "'a' first(+1,+3) 'b' first(-1,+1) 'c' match"},
      {'R', "a:2", "reset1 'a' loop1(-1,+1,2..2) match"},
      {'R', "a:2,", "reset1 'a' loop1(-1,+1,2..2147483646) match"},
      {'R', "a:2,5", "reset1 'a' loop1(-1,+1,2..5) match"},
      {'R', "a:0,", "first(+1,+4) reset1 'a' loop1(-1,+1,0..2147483646) match"},
      {'R', "a:*2", "reset1 'a' minloop1(-1,+1,2..2) match"},
      {'R', "a:*2,", "reset1 'a' minloop1(-1,+1,2..2147483646) match"},
      {'R', "a:*,3", "split(+1,+4) reset1 'a' minloop1(-1,+1,0..3) match"},
      {'R', "a:d", "'a' set match"},
      {'U', "a?", "first(+1,+4) reset1 'a' loop1(-1,+1,0..1) match"},
      {'U', "a??", "split(+1,+4) reset1 'a' minloop1(-1,+1,0..1) match"},
      {'U', "a{3}", "reset1 'a' loop1(-1,+1,3..3) match"},
      {'U', "a{2,}", "reset1 'a' loop1(-1,+1,2..2147483646) match"},
      {'U', "a{2,3}?", "reset1 'a' minloop1(-1,+1,2..3) match"},
      {'U', "a{,2}", "first(+1,+4) reset1 'a' loop1(-1,+1,0..2) match"},
      {'U', "x{99999999}", "reset1 'x' loop1(-1,+1,99999999..99999999) match"},
      {'U', "x{2147483646}", "reset1 'x' loop1(-1,+1,2147483646..2147483646) match"},
      // The counter of a counted loop is its nesting depth.
      {'U', "(?:a{2}){3}", "reset1 reset2 'a' loop2(-1,+1,2..2) loop1(-3,+1,3..3) match"},
      // A quantifier with nothing to repeat adds nothing; with a zero minimum it
      // makes a zero-width item skippable, but never repeats it.
      {'U', "*a{2}{3}", "reset1 'a' loop1(-1,+1,2..2) match"},
      {'R', "^*\\c@", "split(+1,+5) ^ first(+1,+5) cursor jump(+3) first(+1,+2) cursor match"},
      {'U', "(?#x)+a", "'a' match"},
  });
}

TEST(RegexCompilerPrograms, EmptyPassGuards) {
  // Only bodies that may be passed without consuming get a guard; each guard
  // has a register of its own.
  expectPrograms({
      {'U', "(?:a|)*", "first(+1,+7) guard0 first(+1,+3) 'a' jump(+2) jump(+1) first(-5,+1 g0) match"},
      {'R', "{a|}#",
       "guard0 (0 first(+1,+3) 'a' jump(+2) jump(+1) )0 first(-7,+1 g0) match"},
      {'U', "(a*){3}",
       "reset1 guard0 (0 first(+1,+3) 'a' first(-1,+1) )0 loop1(-6,+1,3..3 g0) match"},
      {'U', "(?:a?){0,2}b",
       "first(+1,+8) reset1 guard0 first(+1,+4) reset2 'a' loop2(-1,+1,0..1) loop1(-5,+1,0..2 g0) "
       "'b' match"},
      {'U', "(?!a)*", "first(+1,+6) guard0 not(+3) 'a' match first(-4,+1 g0) match"},
      {'U', "(a)\\1*",
       "(0 'a' )0 first(+1,+4) guard0 \\0 first(-2,+1 g0) match"},
      {'U', "(?:x*)*(?:y?)+",
       "first(+1,+13) guard0 first(+1,+3) 'x' first(-1,+1) first(-4,+1 g0) guard1 first(+1,+4) "
       "reset2 'y' loop2(-1,+1,0..1) first(-5,+1 g1) jump(+7) guard1 first(+1,+4) reset2 'y' "
       "loop2(-1,+1,0..1) first(-5,+1 g1) match"},
      {'U', "(?:ab)*", "first(+1,+4) 'a' 'b' first(-2,+1) match"},
  });
}

TEST(RegexCompilerPrograms, ItemsThatMayBePassedAreCopiedAfterAPassableSequence) {
  // The second copy carries the sequence's paths that consumed nothing.
  expectPrograms({
      {'U', "a*b*",
       "first(+1,+7) 'a' first(-1,+1) first(+1,+7) 'b' first(-1,+1) jump(+4) first(+1,+3) 'b' "
       "first(-1,+1) match"},
      {'U', "a?\\c", "first(+1,+6) reset1 'a' loop1(-1,+1,0..1) cursor jump(+3) cursor jump(+1) match"},
      {'R', "a*^", "split(+1,+5) 'a' split(-1,+1) ^ jump(+3) ^ jump(+1) match"},
      {'R', "a*bc*", "split(+1,+3) 'a' split(-1,+1) 'b' split(+1,+3) 'c' split(-1,+1) match"},
  });
}

TEST(RegexCompilerPrograms, GroupsAndLookAheads) {
  expectPrograms({
      {'R', "{a}", "(0 'a' )0 match"},
      {'R', "(a)", "'a' match"},
      {'U', "(a)", "(0 'a' )0 match"},
      {'U', "(?:a)", "'a' match"},
      {'U', "(?#com)ment)a", "'m' 'e' 'n' 't' ')' 'a' match"},
      {'U', "(?!a)b", "not(+3) 'a' match 'b' match"},
      {'R', "~ab", "not(+3) 'a' match 'b' match"},
      {'R', "~~a", "not(+5) not(+3) 'a' match match match"},
      {'R', "~a*", "not(+5) split(+1,+3) 'a' split(-1,+1) match match"},
      {'R', "~^b", "not(+3) ^ match 'b' match"},
      {'R', "~", "not(+2) match match"},
      {'R', "{#3x}", "(3 'x' )3 match"},
      {'R', "{#10x}", "'x' match"},
      {'U', "(?1x)", "(0 'x' )0 match"},
      {'U', "(?0x)", "(9 'x' )9 match"},
      {'U', "(?05x)", "(4 'x' )4 match"},
      {'U', "(?10x)", "'x' match"},
      {'U', "(?3a)(b)", "(2 'a' )2 'b' match"},
      {'R', "{#3a}{b}", "(3 'a' )3 (0 'b' )0 match"},
      {'U', "(a)\\1\\9\\0\\10", "(0 'a' )0 \\0 \\8 \\9 \\9 match"},
      {'R', "{a}\\g0\\G9", "(0 'a' )0 \\0 \\9 match"},
  });
}

TEST(RegexCompilerPrograms, TheEleventhGroupIsNotRecorded) {
  std::string expected;
  for (int32_t g = 0; g < 10; ++g) {
    expected += '(';
    expected += std::to_string(g);
    expected += " 'x' )";
    expected += std::to_string(g);
    expected += ' ';
  }
  expected += "'y' match";
  EXPECT_EQ(compiled("(x)(x)(x)(x)(x)(x)(x)(x)(x)(x)(y)", 'U'), expected);
  EXPECT_EQ(compiled("{x}{x}{x}{x}{x}{x}{x}{x}{x}{x}{y}", 'R'), expected);
  // After ten automatic groups an explicit number records nothing either.
  EXPECT_EQ(compiled("{x}{x}{x}{x}{x}{x}{x}{x}{x}{x}{#2y}", 'R'), expected);
}

TEST(RegexCompilerLimits, NestingStopsAtNineteenLevels) {
  for (const char* open : {"(", "(?:", "(?!"}) {
    std::string accepted;
    for (int32_t i = 0; i < 18; ++i) accepted += open;
    accepted += "a";
    accepted += std::string(18, ')');
    EXPECT_EQ(compileWith(accepted, 'U'), 0) << open;
    EXPECT_EQ(compileWith("(" + accepted + ")", 'U'), REGEX_SYNTAX_ERROR) << open;
  }
  const std::string accepted = std::string(18, '{') + "a" + std::string(18, '}');
  EXPECT_EQ(compileWith(accepted, 'R'), 0);
  EXPECT_EQ(compileWith("(" + accepted + ")", 'R'), REGEX_SYNTAX_ERROR);
  // Expansions count their groups too; ':p' holds ':f' two levels down.
  EXPECT_EQ(compileWith(std::string(15, '(') + ":p" + std::string(15, ')'), 'R'), 0);
  EXPECT_EQ(compileWith(std::string(16, '(') + ":p" + std::string(16, ')'), 'R'),
            REGEX_SYNTAX_ERROR);
}

TEST(RegexCompilerLimits, SyntaxErrors) {
  struct Case {
    char syntax;
    const char* pattern;
  };
  const Case cases[] = {
      // Missing ')' or '}'.
      {'U', "(a"}, {'U', "(?:a"}, {'U', "(?!a"}, {'U', "(?#a"}, {'R', "(a"}, {'R', "{a"},
      {'R', "{#3a"}, {'U', "((a)"},
      // End of the pattern inside a set.
      {'U', "[a"}, {'R', "["}, {'U', "[a-"}, {'R', "[\\"}, {'U', "[^"}, {'U', "[]"},
      // Bad escapes.
      {'U', "\\p{L}"}, {'R', "\\P"}, {'U', "\\d"}, {'U', "\\dx"}, {'U', "\\x"}, {'R', "\\xg"},
      {'R', "\\256"}, {'U', "\\d256"}, {'U', "\\x{"}, {'U', "\\x{}"}, {'R', "\\x{123456789}"},
      {'U', "\\x{80000000}"}, {'U', "\\x{12"}, {'R', "\\x{1g}"}, {'U', "\\oa"}, {'R', "\\o"},
      // Bad counts.
      {'U', "a{"}, {'U', "a{}"}, {'U', "a{,}"}, {'U', "a{x}"}, {'U', "a{2"}, {'U', "a{0}"},
      {'U', "a{0,0}"}, {'U', "a{2,1}"}, {'U', "a{2147483648}"}, {'U', "a{2147483647}"},
      {'U', "a{1,2147483647}"}, {'U', "a{99999999999999999999}"}, {'R', "a:0"},
      {'R', "a:0,0"}, {'R', "a:3,2"}, {'R', "a:*"}, {'R', "a:*,"}, {'R', "a:*x"},
      {'R', "a:99999999999"},
      // Class letters outside the table.
      {'R', ":z"}, {'R', ":"}, {'R', "a:-"}, {'U', "\\:z"}, {'U', "\\:"},
      // "(?" followed by anything else.
      {'U', "(?"}, {'U', "(?x)"}, {'U', "(?=a)"}, {'U', "(?<a)"},
      // Group and back-reference numbers above the limits.
      {'R', "{#11a}"}, {'R', "{#x}"}, {'R', "{#}"}, {'R', "\\g10"}, {'U', "(?11a)"},
      {'U', "\\11"}, {'U', "\\100"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compileWith(c.pattern, c.syntax), REGEX_SYNTAX_ERROR) << c.syntax << " " << c.pattern;
    EXPECT_EQ(compiledPattern.firstCharValid, 0) << c.pattern;
  }
}

TEST(RegexCompilerFirstCharacters, TheTableHoldsEveryByteAMatchCanBeginWith) {
  test::EncodingScope encoding;
  encoding.singleByte();
  struct Case {
    char syntax;
    const char* pattern;
    int32_t ignoreCase;
    const char* first;
  };
  const Case cases[] = {
      {'R', "abc", 0, "a"},
      {'R', "a|b", 0, "ab"},
      {'R', "a*b", 0, "ab"},
      {'R', "a+b", 0, "a"},
      {'U', "a?b", 0, "ab"},
      {'U', "x{0,2}y", 0, "xy"},
      {'U', "x{1,2}y", 0, "x"},
      {'U', "(?:|a)b", 0, "ab"},
      {'U', "(?:a*|x)b", 0, "abx"},
      {'U', "(?:a|b*)c", 0, "abc"},
      {'U', "(a|)(b|)c", 0, "abc"},
      {'U', "(a*)b", 0, "ab"},
      {'U', "(ab)*c", 0, "ac"},
      {'U', "\\ca", 0, "a"},
      {'R', "[a-c]x", 0, "abc"},
      {'R', ":d", 0, "0123456789"},
      {'U', "a\\n", 0, "a"},
      {'R', "ab", 1, "Aa"},
      {'U', "a*|b", 0, "invalid"},    // may match the empty string
      {'U', "(a|)", 0, "invalid"},
      {'U', "a*", 0, "invalid"},
      {'U', "^a", 0, "invalid"},
      {'U', "$", 0, "invalid"},
      {'U', "a.b", 0, "invalid"},     // ANY anywhere
      {'U', "(?!x)a", 0, "invalid"},
      {'R', "~xa", 0, "invalid"},
      {'U', "(x*)\\1", 0, "invalid"},
      {'U', "\\na", 0, "invalid"},
      {'R', "", 0, "invalid"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(compileWith(c.pattern, c.syntax, c.ignoreCase), 0) << c.pattern;
    EXPECT_EQ(firstCharacters(), c.first) << c.syntax << " " << c.pattern;
  }
  // The word-character set of the whole-word option.
  ASSERT_EQ(compileWith("[A-Za-z0-9_]", 0), 0);
  EXPECT_EQ(firstCharacters(),
            "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz");
}

TEST(RegexCompilerDoubleByte, ThePrePassWrapsEachCharacterWhereTheParserReadsItems) {
  test::EncodingScope encoding;
  encoding.doubleByte(0x81, 0x9F);
  struct Case {
    int32_t unixSyntax;
    std::string pattern;
    std::string wrapped;
  };
  const Case cases[] = {
      {1, "\x81\x40*", "(?:\x81\x40)*"},
      {0, "a\x81\x40", "a(\x81\x40)"},
      // A backslash takes the whole character after it.
      {1, "\\\x81\x7C|b", "\\\x81\x7C|b"},
      // A trail byte that looks like syntax stays with its lead byte.
      {1, "\x81|\x81)", "(?:\x81|)(?:\x81))"},
      // Sets and comments are copied as they are.
      {1, "[\x81]x]\x81\x40", "[\x81]x](?:\x81\x40)"},
      {1, "[]\x81\x40]", "[]\x81\x40]"},
      {0, "[]\x81\x40", "[](\x81\x40)"},
      {1, "[^]\x81\x40]", "[^](?:\x81\x40)]"},
      {1, "[a-[\x81\x40]\x81\x40]\x81\x40", "[a-[\x81\x40]\x81\x40](?:\x81\x40)"},
      {1, "[\\p{\x81}}]\x81\x40]", "[\\p{\x81}}](?:\x81\x40)]"},
      {1, "(?#\x81))\x81\x40", "(?#\x81))(?:\x81\x40)"},
      {0, "(?#\x81\x40)", "(?#(\x81\x40))"},
      // Nothing is read past the end.
      {1, "a\x81", "a\x81"},
      {1, "\\", "\\"},
      {1, "\\\x81", "\\\x81"},
      {1, "[\x81", "[\x81"},
      {1, "", ""},
  };
  for (const Case& c : cases) {
    const int32_t length = static_cast<int32_t>(c.pattern.size());
    std::vector<uint8_t> out(static_cast<size_t>(doubleByteTextCapacity(length)));
    const int32_t written = wrapDoubleByteText(test::bytes(c.pattern), length, c.unixSyntax, out.data());
    EXPECT_EQ(std::string(out.begin(), out.begin() + written), c.wrapped) << c.pattern;
  }
  // The worst case fills the capacity without passing it.
  const std::string pairs(1000, '\x81');
  EXPECT_LE(wrapDoubleByteText(test::bytes(pairs), 1000, 1, std::vector<uint8_t>(3012).data()),
            doubleByteTextCapacity(1000));
}

TEST(RegexCompilerDoubleByte, ACharacterIsOneItem) {
  test::EncodingScope encoding;
  encoding.doubleByte(0x81, 0x9F);
  struct Case {
    char syntax;
    std::string pattern;
    const char* program;
  };
  const Case cases[] = {
      {'U', "\x81\x40*", "first(+1,+4) '#129' '@' first(-2,+1) match"},
      {'R', "\x81\x40#", "'#129' '@' first(-2,+1) match"},
      {'U', "\x81|", "'#129' '|' match"},
      {'R', "\\\x81\\", "'#129' '\\' match"},
      {'U', "a\x81", "'a' '#129' match"},
      {'U', "(?#\x81))b", "'b' match"},
      {'U', "\\", "'\\' match"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compiled(c.pattern, c.syntax, 0, ENCODING_DOUBLE_BYTE), c.program) << c.pattern;
  }
  ASSERT_EQ(compileWith("\x81\x40", 'U', 0, ENCODING_DOUBLE_BYTE), 0);
  EXPECT_EQ(firstCharacters(), "\x81");
}

TEST(RegexCompilerUtf8, CharactersAreCodePoints) {
  test::EncodingScope encoding;
  encoding.singleByte();
  EXPECT_EQ(compiled("\xC3\xA9x\\x{20AC}\\xE9", 'U', 0, ENCODING_UTF8),
            "'#233' 'x' '#8364' '#233' match");
  // An undecodable byte is one character that never matches.
  EXPECT_EQ(compiled("\xFF\xC3", 'R', 0, ENCODING_UTF8), "'#4294967295' '#4294967295' match");
  ASSERT_EQ(compileWith("\xC3\xA9|b", 'U', 0, ENCODING_UTF8), 0);
  ASSERT_EQ(compiledPattern.firstCharValid, 1);
  EXPECT_TRUE(unicodeSetContains(compiledPattern.firstCharSet, 0xE9));
  EXPECT_TRUE(unicodeSetContains(compiledPattern.firstCharSet, 'b'));
  EXPECT_FALSE(unicodeSetContains(compiledPattern.firstCharSet, 'a'));
  // A later compile starts from an empty set.
  ASSERT_EQ(compileWith("c", 'U', 0, ENCODING_UTF8), 0);
  EXPECT_FALSE(unicodeSetContains(compiledPattern.firstCharSet, 'b'));
  EXPECT_EQ(compiledPattern.encodingMode, ENCODING_UTF8);
}

TEST(RegexCompilerCodePoints, ACodePointTheCodePageLacksMatchesNothing) {
  test::EncodingScope encoding;
  encoding.singleByte();
  // Without the UTF-8 option nothing is converted: an empty set, never a NUL.
  ASSERT_EQ(compiled("a\\x{20AC}", 'U'), "'a' set match");
  const uint8_t* bitmap = reinterpret_cast<const uint8_t*>(&compiledPattern.program[2]);
  EXPECT_EQ(std::count(bitmap, bitmap + 32, 0), 32);
  EXPECT_EQ(compiled("\\x{80}", 'R'), "set match");
  EXPECT_EQ(firstCharacters(), "");
  EXPECT_EQ(compiled("\\x{a0}\\x{FF}", 'R'), "'#160' '#255' match");

  test::CodePageScope latin(1252);
  if (GetACP() != 1252) GTEST_SKIP() << "the code page cannot be chosen here";
  encoding.utf8();
  EXPECT_EQ(compiled("\\x{20AC}", 'U'), "'#128' match");
  EXPECT_EQ(compiled("\\x{3A3}", 'U'), "set match");
}

TEST(RegexCompilerRobustness, LongAndMalformedPatternsEndInAStatus) {
  test::EncodingScope encoding;
  encoding.doubleByte(0x81, 0x9F);
  const auto repeat = [](const std::string& piece, size_t times, const char* before = "",
                          const char* after = "") {
    std::string text(before);
    for (size_t i = 0; i < times; ++i) text += piece;
    text += after;
    return text;
  };
  struct Case {
    char syntax;
    std::string pattern;
    int32_t status;
  };
  const Case cases[] = {
      {'U', repeat("a|", 50000, "", "a"), 0},
      {'R', repeat("ab|", 33333), 0},
      {'U', repeat("a*", 50000), 0},
      {'U', repeat("a?", 50000), 0},
      {'R', repeat("~", 100000), 0},
      {'R', repeat("\\ol", 33333), 0},
      {'U', repeat("(?#)", 25000), 0},
      {'R', repeat("[a]", 33333), 0},
      {'U', repeat("(", 100000), REGEX_SYNTAX_ERROR},
      {'U', repeat(")", 100000), 0},
      {'U', repeat("[", 100000), REGEX_SYNTAX_ERROR},
      {'U', repeat("a-[", 40000, "["), REGEX_SYNTAX_ERROR},
      {'R', repeat("{", 100000), REGEX_SYNTAX_ERROR},
      {'U', repeat("1", 100000, "\\x{"), REGEX_SYNTAX_ERROR},
      {'U', repeat("9", 100000, "x{", "}"), REGEX_SYNTAX_ERROR},
      {'U', "x{99999999}", 0},
      {'U', "[a", REGEX_SYNTAX_ERROR},
      {'U', "\x81", 0},
      {'U', repeat("\x81", 100001), 0},
      // Brief nests each further alternative one group deeper.
      {'B', repeat("a|", 50000), REGEX_SYNTAX_ERROR},
      {'B', repeat("{", 100000), REGEX_SYNTAX_ERROR},
      {'B', repeat("*", 100000), 0},
  };
  for (const Case& c : cases) {
    for (int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_DOUBLE_BYTE, ENCODING_UTF8}) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(compileWith(c.pattern, c.syntax, 0, mode), c.status)
          << c.syntax << " " << c.pattern.substr(0, 12) << "... mode " << mode;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
  }
}

namespace {

// What is wrong with the compiled program, or "" when every branch lands on an
// instruction of the program, every operand is within its range and the last
// instruction is MATCH.
std::string programFault() {
  const CompiledPattern& cp = compiledPattern;
  if (cp.lastSlot < 0) return "no slots";
  std::vector<bool> boundary(static_cast<size_t>(cp.lastSlot) + 1, false);
  int32_t last = 0;
  for (int32_t i = 0; i <= cp.lastSlot;) {
    const Instruction& s = cp.program[i];
    if (s.opcode >= OPCODE_COUNT) return "opcode " + std::to_string(s.opcode);
    boundary[static_cast<size_t>(i)] = true;
    last = i;
    const bool set = s.opcode == OP_SET || s.opcode == OP_SET_SCAN;
    const int32_t step = set ? setSlotCount(s, cp.encodingMode) : 1;
    if (step < 1 || step > cp.lastSlot + 1 - i) return "set length at " + std::to_string(i);
    i += step;
  }
  if (cp.program[last].opcode != OP_MATCH) return "no final MATCH";
  const auto lands = [&](int32_t from, int32_t distance) {
    const int64_t target = static_cast<int64_t>(from) + distance;
    return target >= 0 && target <= cp.lastSlot && boundary[static_cast<size_t>(target)];
  };
  for (int32_t i = 0; i <= cp.lastSlot; ++i) {
    if (!boundary[static_cast<size_t>(i)]) continue;
    const Instruction& s = cp.program[i];
    bool ok = true;
    switch (s.opcode) {
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
        ok = lands(i, s.op4) && lands(i, s.op5) && s.op3 >= 0 && s.op3 <= cp.loopGuards;
        break;
      case OP_JUMP:
      case OP_NOT_AHEAD:
        ok = lands(i, s.op5);
        break;
      case OP_COUNT_LOOP:
      case OP_COUNT_LOOP_MIN:
        ok = lands(i, s.op4) && lands(i, s.op5) && s.op1 < REPEAT_COUNTERS && s.op6 <= s.op7 &&
             s.op3 >= 0 && s.op3 <= cp.loopGuards;
        break;
      case OP_COUNT_RESET:
        ok = s.op2 == PASS_START_MARK ? s.op3 >= 0 && s.op3 < cp.loopGuards
                                      : s.op1 < REPEAT_COUNTERS;
        break;
      case OP_GROUP_START:
      case OP_GROUP_END:
      case OP_BACKREF:
        ok = s.op4 >= 0 && s.op4 < CAPTURE_GROUPS;
        break;
      default:
        break;
    }
    if (!ok) return "operands of slot " + std::to_string(i) + ": " + describeProgram();
  }
  return "";
}

const char* const PATTERN_PIECES[] = {
    "a", "b", "Z", "0", "9", ",", "-", "&", "(", ")", "(?:", "(?!", "(?#", "(?1", "(?0", "(?10",
    "[", "]", "[^", "[~", "-[", "&[", "{", "}", "{#3", "{2}", "{,3}", "{1,}", "{0}", "*", "+",
    "?", "@", "#", "|", "~", ":", ":d", ":p", ":f", ":q", ":3", ":*2,", ":*,2", "\\", "\\x{41}",
    "\\x{20AC}", "\\x{", "\\x4", "\\p{L}", "\\P{IsGreek}", "\\p{", "\\p{Lu", "\\od", "\\ol",
    "\\om", "\\c", "\\n", "\\1", "\\0", "\\g1", "\\d065", "\\065", "\\:d", "\\:", "^", "$", ".",
    "\x81", "\x81\x40", "\x81]", "\xC3\xA9", "\xFF", "\x80", "\xE2\x82", "%", "<", ">", "\\(",
    "\\)", "\\:2,3", "\\:*", "\\:,4?", "[~]", "{@1", "\\9"};

const char* const SEED_PATTERNS[] = {
    "a*b", "(a|b)*c", "{#3x}:2,5", "[a-z-[aeiou]]+", "(?:a?){0,2}b", "~a:d", ":p|:n",
    "\\x{41}[\\p{L}&[a-f]]", "(?!x)(y)\\1", "a{2,}?b|c??", "{a|}#\\c", "[^]]x", "\\:q\\n$"};

std::string randomPattern(std::mt19937* random) {
  std::string pattern;
  const int32_t pieces = static_cast<int32_t>((*random)() % 24);
  for (int32_t i = 0; i < pieces; ++i) {
    pattern += PATTERN_PIECES[(*random)() % std::size(PATTERN_PIECES)];
  }
  return pattern;
}

std::string mutatedPattern(std::mt19937* random) {
  std::string pattern = SEED_PATTERNS[(*random)() % std::size(SEED_PATTERNS)];
  const int32_t edits = 1 + static_cast<int32_t>((*random)() % 4);
  for (int32_t e = 0; e < edits; ++e) {
    const size_t at = pattern.empty() ? 0 : (*random)() % (pattern.size() + 1);
    switch ((*random)() % 4) {
      case 0:
        pattern.insert(at, PATTERN_PIECES[(*random)() % std::size(PATTERN_PIECES)]);
        break;
      case 1:
        pattern.erase(at, 1 + (*random)() % 3);
        break;
      case 2:
        if (at < pattern.size()) pattern[at] = static_cast<char>((*random)() % 256);
        break;
      default:
        pattern.resize(at);
    }
  }
  return pattern;
}

}  // namespace

TEST(RegexCompilerRobustness, RandomAndMutatedPatternsCompileToSoundProgramsOrFail) {
  test::EncodingScope encoding;
  std::mt19937 random(20240611);
  std::set<int32_t> statuses;
  int32_t compiledCount = 0;
  for (int32_t round = 0; round < 6000; ++round) {
    const std::string pattern = round % 2 == 0 ? randomPattern(&random) : mutatedPattern(&random);
    for (int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_DOUBLE_BYTE, ENCODING_UTF8}) {
      if (mode == ENCODING_DOUBLE_BYTE) {
        encoding.doubleByte(0x81, 0x9F);
      } else if (round % 4 == 1) {
        encoding.utf8();
      } else {
        encoding.singleByte();
      }
      for (char syntax : {'R', 'U', 'B'}) {
        const int32_t status = compileWith(pattern, syntax, static_cast<int32_t>(random() % 2),
                                           mode, random() % 3 == 0 ? 80 : 0);
        statuses.insert(status);
        ASSERT_TRUE(status == 0 || status == REGEX_SYNTAX_ERROR || status == REGEX_OUT_OF_MEMORY)
            << status << " for " << syntax << " " << pattern;
        if (status != 0) continue;
        ++compiledCount;
        ASSERT_EQ(programFault(), "") << syntax << " mode " << mode << " " << pattern;
      }
    }
  }
  // Both outcomes occur often enough for the run to mean something.
  EXPECT_TRUE(statuses.count(0) && statuses.count(REGEX_SYNTAX_ERROR));
  EXPECT_GT(compiledCount, 5000);
}
