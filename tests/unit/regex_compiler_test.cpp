// Tests of the regular-expression compiler: what each construct of the 'R',
// 'U' and 'B' dialects matches once compiled, the limits and syntax errors,
// the first-character record, the double-byte pre-pass, and long patterns in
// every mode; each program compiled is checked for branches and operands out
// of range. Random and mutated patterns are the regex fuzzer's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "pattern/compiled_pattern.h"
#include "pattern/unicode_set.h"
#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::findAllInMemory;
using regex_test::Match;

using regex_test::compile;

// The bytes of the first-character table, or "invalid".
std::string firstCharacters() {
  if (!compiledPattern.firstCharValid) return "invalid";
  std::string members;
  for (int32_t c = 0; c < 256; ++c) {
    if (compiledPattern.firstCharTable[c]) members += static_cast<char>(c);
  }
  return members;
}

// A pattern, a text and every match the compiled pattern finds in it.
struct MatchCase {
  char syntax;
  std::string pattern;
  std::string text;
  std::vector<Match> matches;
  int32_t encodingMode = ENCODING_SINGLE_BYTE;
  int32_t ignoreCase = 0;
};

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
    if (!ok) return "operands of slot " + std::to_string(i);
  }
  return "";
}


void expectMatches(const std::vector<MatchCase>& cases) {
  for (const MatchCase& c : cases) {
    ASSERT_EQ(compile(c.pattern, c.syntax, c.ignoreCase, c.encodingMode), 0)
        << c.syntax << " " << c.pattern;
    EXPECT_EQ(findAllInMemory(c.text, c.encodingMode), c.matches)
        << c.syntax << " " << c.pattern << " on " << c.text;
    EXPECT_EQ(programFault(), "") << c.syntax << " " << c.pattern;
  }
}

}  // namespace

TEST(RegexCompilerMatches, ItemsEscapesAndOptions) {
  test::EncodingScope encoding;
  encoding.singleByte();
  expectMatches({
      // An empty pattern matches everywhere.
      {'R', "", "ab", {{0, 0}, {1, 0}, {2, 0}}},
      {'U', "", "ab", {{0, 0}, {1, 0}, {2, 0}}},
      {'B', "", "ab", {{0, 0}, {1, 0}, {2, 0}}},
      {'R', "a?b", "ab axb", {{3, 3}}},
      {'U', "a.b", "ab axb", {{3, 3}}},
      {'R', "\\t\\r\\f\\b", "x\t\r\f\b", {{1, 4}}},
      {'U', "\\T\\b", "b\tb", {{1, 2}}},
      {'R', "\\065\\7\\255", "xA\x07\xFF", {{1, 3}}},
      {'R', "\\d1", "d1", {{0, 2}}},
      {'U', "\\d065\\D7", "A\x07", {{0, 2}}},
      {'U', "\\g1", "g1", {{0, 2}}},
      {'R', "\\x41\\X4A\\x7", "AJ\x07", {{0, 3}}},
      {'R', "\\x{41}\\x{e9}", "A\xE9", {{0, 2}}},
      {'R', "\\:\\{\\[\\*", ":{[*", {{0, 4}}},
      {'U', "\\.\\(\\{\\?", ".({?", {{0, 4}}},
      {'U', ")}]", ")}]", {{0, 3}}},
      {'R', "})]", "})]", {{0, 3}}},
      {'U', "a\\", "a\\", {{0, 2}}},
      {'R', "\\", "\\", {{0, 1}}},
      {'R', "\xFF", "a\xFF", {{1, 1}}},
      {'R', "Ab1", "AB1 ab1 aB2", {{0, 3}, {4, 3}}, 0, 1},
  });
  // \OM lets the items after it cross line ends, \ol stops that again (a
  // file has lines; a string is one line).
  ASSERT_EQ(compile("\\olab\\OM.\\ol.", 'U'), 0);
  EXPECT_EQ(regex_test::findAllInFile("abc\n ab\nc\n"), (std::vector<Match>{{5, 4}}));
}

TEST(RegexCompilerMatches, AlternativesAndGroups) {
  expectMatches({
      {'R', "a|b", "xbya", {{1, 1}, {3, 1}}},
      {'U', "a|b|c", "cxba", {{0, 1}, {2, 1}, {3, 1}}},
      {'U', "a|", "ba", {{0, 0}, {1, 1}, {2, 0}}},
      {'R', "ab|c", "acb", {{1, 1}}},
      {'U', "(a|b)c", "acbcc", {{0, 2}, {2, 2}}},
      {'U', "(?:a|bc)d", "bcd ad", {{0, 3}, {4, 2}}},
      {'R', "{a|b}*c", "abac c", {{0, 4}, {5, 1}}},
      {'R', "(ab)#", "abab", {{0, 4}}},
      {'U', "(?#com)ment)a", "ment)a", {{0, 6}}},
      {'R', "~ab", "ab bb", {{1, 1}, {3, 1}, {4, 1}}},
      {'R', "~~a?", "ab ba", {{0, 1}, {4, 1}}},
      // Explicit group numbers, and the back-references that name them.
      {'R', "{a}\\g0", "aa ab", {{0, 2}}},
      {'R', "{#3x}\\g3", "xx xy", {{0, 2}}},
      {'U', "(?3a)\\3", "aa", {{0, 2}}},
      {'U', "(?0x)\\0", "xx", {{0, 2}}},
      {'U', "(a)\\1", "ab aa", {{3, 2}}},
  });
}

TEST(RegexCompilerMatches, LoopsAndCountedRepeats) {
  expectMatches({
      {'R', "a+", "aaa", {{0, 1}, {1, 1}, {2, 1}}},
      {'R', "a#", "aaa b a", {{0, 3}, {6, 1}}},
      {'U', "a+?", "aa", {{0, 1}, {1, 1}}},
      {'R', "a@", "baa", {{0, 0}, {1, 2}, {3, 0}}},
      {'R', "a:2", "aaaaa", {{0, 2}, {2, 2}}},
      {'R', "a:2,", "a aaaaa", {{2, 5}}},
      {'R', "a:2,5", "aaaaaaa", {{0, 5}, {5, 2}}},
      {'R', "a:*2,", "aaaa", {{0, 2}, {2, 2}}},
      {'R', "a:*,3b", "aab", {{0, 3}}},
      {'R', "a:d", "a1 ab a9", {{0, 2}, {6, 2}}},
      {'U', "a{3}", "aaaaaaa", {{0, 3}, {3, 3}}},
      {'U', "a{2,3}?", "aaaaa", {{0, 2}, {2, 2}}},
      {'U', "a{,2}b", "aaab", {{1, 3}}},
      {'U', "x{99999999}", "xxx", {}},
      {'U', "(?:a{2}){3}", "aaaaaaa", {{0, 6}}},
      // A quantifier with nothing to repeat adds nothing.
      {'U', "*a{2}{3}", "aaaa", {{0, 2}, {2, 2}}},
      {'U', "(?#x)+a", "a", {{0, 1}}},
      // Bodies that may be passed without consuming end their loops.
      {'U', "(?:a|)*b", "aab", {{0, 3}}},
      {'R', "{a|}#b", "aab b", {{0, 3}, {4, 1}}},
      {'U', "(a*){3}b", "aab", {{0, 3}}},
      {'U', "(?:a?){0,2}b", "aaab", {{1, 3}}},
      {'U', "(?!a)*b", "b", {{0, 1}}},
      {'U', "(a)\\1*", "aaa", {{0, 3}}},
      {'U', "(?:x*)*(?:y?)+z", "xxyyz", {{0, 5}}},
      {'U', "a*b*c", "abc bc c", {{0, 3}, {4, 2}, {7, 1}}},
      {'R', "a*bc*", "aabcc", {{0, 3}}},
  });
}

TEST(RegexCompilerLimits, NestingStopsAtNineteenLevels) {
  for (const char* open : {"(", "(?:", "(?!"}) {
    std::string accepted;
    for (int32_t i = 0; i < 18; ++i) accepted += open;
    accepted += "a";
    accepted += std::string(18, ')');
    EXPECT_EQ(compile(accepted, 'U'), 0) << open;
    EXPECT_EQ(compile("(" + accepted + ")", 'U'), REGEX_SYNTAX_ERROR) << open;
  }
  const std::string accepted = std::string(18, '{') + "a" + std::string(18, '}');
  EXPECT_EQ(compile(accepted, 'R'), 0);
  EXPECT_EQ(compile("(" + accepted + ")", 'R'), REGEX_SYNTAX_ERROR);
  // Expansions count their groups too; ':p' holds ':f' two levels down.
  EXPECT_EQ(compile(std::string(15, '(') + ":p" + std::string(15, ')'), 'R'), 0);
  EXPECT_EQ(compile(std::string(16, '(') + ":p" + std::string(16, ')'), 'R'),
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
      {'R', ":z"}, {'R', ":"}, {'R', "a::"}, {'R', "a:-"}, {'U', "\\:z"}, {'U', "\\:"},
      // "(?" followed by anything else.
      {'U', "(?"}, {'U', "(?x)"}, {'U', "(?=a)"}, {'U', "(?<a)"},
      // Group and back-reference numbers above the limits.
      {'R', "{#11a}"}, {'R', "{#x}"}, {'R', "{#}"}, {'R', "\\g10"}, {'U', "(?11a)"},
      {'U', "\\11"}, {'U', "\\100"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compile(c.pattern, c.syntax), REGEX_SYNTAX_ERROR) << c.syntax << " " << c.pattern;
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
      {'R', "", 0, "invalid"},  {'U', "", 0, "invalid"}, {'B', "", 0, "invalid"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(compile(c.pattern, c.syntax, c.ignoreCase), 0) << c.pattern;
    EXPECT_EQ(firstCharacters(), c.first) << c.syntax << " " << c.pattern;
  }
}

TEST(RegexCompilerMatches, ADoubleByteCharacterIsOneItem) {
  test::EncodingScope encoding;
  encoding.doubleByte(0x81, 0x9F);
  expectMatches({
      {'U', "\x81\x40*x", "\x81\x40\x81\x40x \x81\x40\x40x", {{0, 5}, {9, 1}}, ENCODING_DOUBLE_BYTE},
      {'R', "\x81\x40#", "\x81\x40\x81\x40\x40", {{0, 4}}, ENCODING_DOUBLE_BYTE},
      {'U', "\x81|", "\x81|", {{0, 2}}, ENCODING_DOUBLE_BYTE},
      {'R', "\\\x81\\", "\x81\\", {{0, 2}}, ENCODING_DOUBLE_BYTE},
      {'U', "(?#\x81))b", "b", {{0, 1}}, ENCODING_DOUBLE_BYTE},
      // A trail byte that looks like syntax stays with its lead byte, in sets
      // and comments too.
      {'U', "\x81|\x81)", "\x81|\x81)", {{0, 4}}, ENCODING_DOUBLE_BYTE},
      {'U', "[\x81]x]\x81\x40", "x\x81\x40 \x81]\x81\x40 \x81\x40", {{0, 3}, {4, 4}}, ENCODING_DOUBLE_BYTE},
      {'U', "[^]\x81\x40]", "]\x81\x40 ^\x81\x40]", {{4, 4}}, ENCODING_DOUBLE_BYTE},
      {'U', "[a-[\x81\x40]\x81\x40]\x81\x40", "b\x81\x40 a\x81\x40", {{4, 3}}, ENCODING_DOUBLE_BYTE},
      {'U', "(?#\x81))\x81\x40", "\x81\x40", {{0, 2}}, ENCODING_DOUBLE_BYTE},
  });
  // Nothing is read past the end of a pattern that ends inside a character.
  for (const char* pattern : {"a\x81", "\\", "\\\x81", "[\x81", ""}) {
    EXPECT_GE(compile(pattern, 'U', 0, ENCODING_DOUBLE_BYTE), REGEX_SYNTAX_ERROR) << pattern;
  }
  const std::string pairs(100001, '\x81');
  EXPECT_EQ(compile(pairs, 'U', 0, ENCODING_DOUBLE_BYTE), 0);
  ASSERT_EQ(compile("\x81\x40", 'U', 0, ENCODING_DOUBLE_BYTE), 0);
  EXPECT_EQ(firstCharacters(), "\x81");
}

TEST(RegexCompilerMatches, Utf8CharactersAreCodePoints) {
  test::EncodingScope encoding;
  encoding.singleByte();
  expectMatches({
      {'U', "\xC3\xA9x\\x{20AC}\\xE9", "\xC3\xA9x\xE2\x82\xAC\xC3\xA9", {{0, 8}}, ENCODING_UTF8},
      {'U', "a.b", "a\xE2\x82\xAC" "b", {{0, 5}}, ENCODING_UTF8},
      // An undecodable byte is one character that never matches.
      {'R', "\xFF\xC3", "\xFF\xC3", {}, ENCODING_UTF8},
  });
  ASSERT_EQ(compile("\xC3\xA9|b", 'U', 0, ENCODING_UTF8), 0);
  ASSERT_EQ(compiledPattern.firstCharValid, 1);
  EXPECT_TRUE(unicodeSetContains(compiledPattern.firstCharSet, 0xE9));
  EXPECT_TRUE(unicodeSetContains(compiledPattern.firstCharSet, 'b'));
  EXPECT_FALSE(unicodeSetContains(compiledPattern.firstCharSet, 'a'));
  // A later compile starts from an empty set.
  ASSERT_EQ(compile("c", 'U', 0, ENCODING_UTF8), 0);
  EXPECT_FALSE(unicodeSetContains(compiledPattern.firstCharSet, 'b'));
}

// Ignoring case in UTF-8 text, a CHAR, a set and a back-reference compare
// case folds: every case form of a letter matches, also one of another
// encoded length (the Kelvin sign for k, the long s for s).
TEST(RegexCompilerMatches, Utf8IgnoreCaseComparesCaseFolds) {
  const int32_t U8 = ENCODING_UTF8;
  expectMatches({
      {'U', "\xC3\xA4rger", "\xC3\x84RGER \xC3\xA4rger", {{0, 6}, {7, 6}}, U8, 1},
      {'U', "\xCF\x83+", "\xCE\xA3\xCF\x83\xCF\x82", {{0, 6}}, U8, 1},
      {'U', "k", "K k \xE2\x84\xAA", {{0, 1}, {2, 1}, {4, 3}}, U8, 1},
      {'U', "[k]", "K k \xE2\x84\xAA", {{0, 1}, {2, 1}, {4, 3}}, U8, 1},
      {'U', "[^k]x", "\xE2\x84\xAAx ax", {{5, 2}}, U8, 1},
      {'U', "[\xC3\xA0-\xC3\xBF]+", "\xC3\x80\xC3\x89", {{0, 4}}, U8, 1},
      {'U', "[\xC3\xA0-\xC3\xBF]+", "\xC3\x80\xC3\x89", {}, U8, 0},
      {'U', "[\xCE\xB1-\xCF\x89]+", "\xCE\x91\xCE\x9B", {{0, 4}}, U8, 1},
      {'U', "(\xC3\xA4)\\1", "\xC3\x84\xC3\xA4", {{0, 4}}, U8, 1},
      {'U', "(\xC3\xA4)\\1", "\xC3\x84\xC3\xA4", {}, U8, 0},
      {'U', "(s)\\1", "s\xC5\xBF", {{0, 3}}, U8, 1},
      {'R', "?BER", "\xC3\xBC" "ber", {{0, 5}}, U8, 1},
      {'B', "stra\xC3\x9F" "e", "STRA\xE1\xBA\x9E" "E", {{0, 8}}, U8, 1},
      // A broken sequence is its lead byte alone: only '.' and negated sets take
      // it, and the character after it is found.
      {'U', "\\(", "\xC3(", {{1, 1}}, U8},
      {'U', ".\\(", "\xC3(", {{0, 2}}, U8},
      {'U', "[^a]\\(", "\xC3(", {{0, 2}}, U8},
      {'U', "[\xC3\x80-\xC3\xBF]\\(", "\xC3(", {}, U8},
      // An overlong form hides no character: C1 AF is not '/', but two bytes.
      {'U', "/", "\xC1\xAF/", {{2, 1}}, U8},
      {'U', "..", "\xC1\xAF\xED\xA0\x80", {{0, 2}, {2, 2}}, U8},
  });
  // The first-character set holds every case form.
  ASSERT_EQ(compile("k", 'U', 1, ENCODING_UTF8), 0);
  EXPECT_TRUE(unicodeSetContains(compiledPattern.firstCharSet, 0x212A));
}

TEST(RegexCompilerMatches, ACodePointTheCodePageLacksMatchesNothing) {
  test::EncodingScope encoding;
  encoding.singleByte();
  // Without the UTF-8 option nothing is converted: an empty set, never a NUL.
  expectMatches({
      {'U', "a\\x{20AC}", std::string("a\x80 a\0 a\xE2", 8), {}},
      {'R', "\\x{a0}\\x{FF}", "\xA0\xFF", {{0, 2}}},
  });
  ASSERT_EQ(compile("\\x{80}", 'R'), 0);
  EXPECT_EQ(firstCharacters(), "");

  test::CodePageScope latin(1252);
  if (GetACP() != 1252) GTEST_SKIP() << "the code page cannot be chosen here";
  encoding.utf8();
  expectMatches({
      {'U', "\\x{20AC}", "a\x80", {{1, 1}}},
      {'U', "\\x{3A3}", "\x80\xD3", {}},
  });
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
      EXPECT_EQ(compile(c.pattern, c.syntax, 0, mode), c.status)
          << c.syntax << " " << c.pattern.substr(0, 12) << "... mode " << mode;
      if (c.status == 0) {
        EXPECT_EQ(programFault(), "") << c.pattern.substr(0, 12);
      }
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
  }
}


// A set that begins (or ends) every word of an alternation is stored once;
// the words keep their characters, and every match, its length and which
// word wins at a start stay as they were.
TEST(RegexCompilerSharedSets, WordsKeepTheirMatchesWhenASetIsStoredOnce) {
  struct SharedCase {
    MatchCase match;
    int32_t sets;  // SET instructions left in the program
  };
  const int32_t U8 = ENCODING_UTF8;
  const auto setCount = [] {
    int32_t sets = 0;
    for (int32_t i = 0; i <= compiledPattern.lastSlot;) {
      const Instruction& in = compiledPattern.program[i];
      const bool set = in.opcode == OP_SET;
      sets += set ? 1 : 0;
      i += set ? setSlotCount(in, compiledPattern.encodingMode) : 1;
    }
    return sets;
  };
  const auto check = [&](const std::vector<SharedCase>& cases) {
    for (const SharedCase& c : cases) {
      expectMatches({c.match});
      EXPECT_EQ(setCount(), c.sets) << c.match.pattern;
    }
  };
  test::EncodingScope encoding;
  encoding.singleByte();
  check({
      {{'U', "[a-z]ab[0-9]|[a-z]cd[0-9]", "xab1 ycd2 ab3 zcdx", {{0, 4}, {5, 4}}}, 2},
      // Sets that differ in one member stay apart; the shared one is folded.
      {{'U', "[a-y]ab[0-9]|[a-z]cd[0-9]", "zab1 zcd2 yab3", {{5, 4}, {10, 4}}}, 3},
      // The first word that matches at a start wins, before or after the set.
      {{'U', "[a-z]a|[a-z]ab", "xab", {{0, 2}}}, 1},
      {{'U', "a[0-9]|ab[0-9]", "ab1", {{0, 3}}}, 1},
      {{'U', "[ab][cd]x[ef]|[ab][cd]y[ef]", "acxe bdyf acye", {{0, 4}, {5, 4}, {10, 4}}}, 3},
      // A word that is the set alone keeps it.
      {{'U', "[a-z]|[a-z]x", "ax", {{0, 1}, {1, 1}}}, 2},
      {{'U', "[^0-9]ab|[^0-9]cd", "1ab xcd", {{4, 3}}}, 1},
      {{'U', "[a-c]x|[a-c]y", "AX by Cz", {{0, 2}, {3, 2}}, ENCODING_SINGLE_BYTE, 1}, 1},
      {{'U', "[a-z]ab|[a-z]ac", "xac", {{0, 3}}}, 1},
      {{'U', "(?:[a-z]1|[a-z]2)z", "a1z b2 c2z", {{0, 3}, {7, 3}}}, 1},
      {{'U', "([a-z]1|[a-z]2)\\1", "a1a1 b2c2 c2c2", {{0, 4}, {10, 4}}}, 1},
      {{'R', "[a-z]1|[a-z]2|[0-9]3", "a1 b2 93", {{0, 2}, {3, 2}, {6, 2}}}, 3},
      {{'U', "[\xC3\xA0-\xC3\xBF]x|[\xC3\xA0-\xC3\xBF]y", "\xC3\xA9x \xC3\xA0y ax",
        {{0, 3}, {4, 3}}, U8}, 1},
      {{'U', "[^a]x|[^a]y", "\xC3(x ay \xE2\x82\xACy", {{1, 2}, {7, 4}}, U8}, 1},
  });
  encoding.doubleByte(0x81, 0x9F);
  check({
      {{'U', "[\x81\x40-\x81\x50]x|[\x81\x40-\x81\x50]y", "\x81\x41x \x81\x45y \x81\x60x",
        {{0, 3}, {4, 3}}, ENCODING_DOUBLE_BYTE}, 1},
  });
}

// A list of 2,000 words, each between a set of letters and one of digits,
// compiles to about eight slots a word, with no spare slots kept.
TEST(RegexCompilerSharedSets, AClassWordListStaysSmall) {
  test::EncodingScope encoding;
  encoding.singleByte();
  constexpr int32_t WORDS = 2000;
  std::mt19937 random(5);
  std::vector<std::string> words;
  std::string pattern;
  for (int32_t w = 0; w < WORDS; ++w) {
    std::string word;
    for (int32_t i = 0; i < 6; ++i) word += static_cast<char>('a' + random() % 26);
    words.push_back(word);
    if (w > 0) pattern += '|';
    pattern.append("[a-z]").append(word).append("[0-9]");
  }
  ASSERT_EQ(compile(pattern, 'U', 0, ENCODING_UTF8), 0);
  EXPECT_EQ(programFault(), "");
  const int64_t bytes = int64_t{compiledPattern.capacity} * int64_t{sizeof(Instruction)};
  EXPECT_LE(bytes, int64_t{WORDS} * 9 * int64_t{sizeof(Instruction)});
  std::string text = "x";
  text.append(words[1999]).append("7 ").append(words[5]).append("1 q").append(words[0]).append("0");
  EXPECT_EQ(findAllInMemory(text, ENCODING_UTF8),
            (std::vector<Match>{{0, 8}, {static_cast<int64_t>(text.size()) - 8, 8}}));
}
