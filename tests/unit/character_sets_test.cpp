// Tests of bracket expressions and predefined classes: the members of the SET
// that a pattern compiles to (read from the emitted bitmap, or from the
// serialized UnicodeSet in UTF-8 mode), negation, subtraction, intersection,
// ranges, escapes, case folding, double-byte members, code points reaching a
// code page, property escapes, the syntax errors of sets, and the expansions
// of the predefined classes.
#include "pattern/character_sets.h"

#include "pattern/compiled_pattern.h"
#include "pattern/unicode_set.h"
#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::compile;

const Instruction* firstSet() {
  for (int32_t i = 0; i <= compiledPattern.lastSlot; ++i) {
    const Instruction& s = compiledPattern.program[i];
    if (s.opcode == OP_SET || s.opcode == OP_SET_SCAN) return &s;
  }
  return nullptr;
}

// The member bytes of the first SET of the compiled pattern, in byte order,
// or a status text.
std::string setMembers(const std::string& pattern, int32_t syntax, int32_t ignoreCase = 0,
                       int32_t encodingMode = ENCODING_SINGLE_BYTE) {
  const int32_t status = compile(pattern, syntax, ignoreCase, encodingMode);
  if (status != 0) return "status " + std::to_string(status);
  const Instruction* set = firstSet();
  if (set == nullptr) return "no set";
  const CharacterBitmap& bitmap = *reinterpret_cast<const CharacterBitmap*>(set + 1);
  std::string members;
  for (int32_t c = 0; c < 256; ++c) {
    if (bitmapHas(bitmap, c)) members += static_cast<char>(c);
  }
  return members;
}

std::string byteRange(int32_t first, int32_t last) {
  std::string members;
  for (int32_t c = first; c <= last; ++c) members += static_cast<char>(c);
  return members;
}

// Membership in the first SET of a pattern compiled in UTF-8 mode.
bool utf8SetHas(int64_t codePoint) {
  const Instruction* set = firstSet();
  return set != nullptr && serializedSetContains(reinterpret_cast<const uint8_t*>(set + 1), codePoint);
}

}  // namespace

TEST(CharacterSets, MembersOfByteModeSets) {
  test::EncodingScope encoding;
  encoding.singleByte();
  std::string allButAToZ = byteRange(0, 'a' - 1) + byteRange('z' + 1, 255);
  struct Case {
    char syntax;
    const char* pattern;
    int32_t ignoreCase;
    std::string members;
  };
  const Case cases[] = {
      {'R', "[abc]", 0, "abc"},
      {'U', "[a-e]", 0, "abcde"},
      {'R', "[a-z-[aeiou]]", 0, "bcdfghjklmnpqrstvwxyz"},
      {'U', "[a-z&[a-f]]", 0, "abcdef"},
      {'U', "[a-c-[b]x]", 0, "acx"},
      {'U', "[a-f&[^c-d]]", 0, "abef"},
      {'U', "[]]", 0, "]"},
      {'U', "[^]]", 0, "^"},
      {'U', "[]a-]", 0, "-]a"},
      {'R', "[]", 0, ""},
      {'R', "[~]", 0, byteRange(0, 255)},
      {'R', "[~a-z]", 0, allButAToZ},
      {'R', "[^a-z]", 0, allButAToZ},
      {'U', "[^a-z]", 0, allButAToZ},
      {'R', "[~]a]", 0, byteRange(0, 255)},
      {'U', "[z-a]", 0, ""},
      {'R', "[a-c]", 1, "ABCabc"},
      {'U', "[X-Z]", 1, "XYZxyz"},
      {'U', "[-a]", 0, "-a"},
      {'U', "[a-]", 0, "-a"},
      {'U', "[a\\-z]", 0, "-az"},
      {'U', "[+--]", 0, "+,-"},
      {'R', "[\\t\\n\\x41\\066\\]\\\\]", 0, "\t\nAB\\]"},
      {'R', "[\\b\\d]", 0, "\bd"},
      {'U', "[\\d065\\1\\b\\c\\g\\o\\:]", 0, "1:Abcgo"},
      {'U', "[a-\\x{63}]", 0, "abc"},
      {'U', "[\\x{e9}\\x{A0}-\\x{A1}]", 0, "\xA0\xA1\xE9"},
      {'U', "[\\x{80}\\x{20AC}a]", 0, "a"},
      {'U', "[\\p{IsBasicLatin}]", 0, byteRange(0, 127)},
      {'U', "[\\P{IsBasicLatin}]", 0, byteRange(128, 255)},
      {'U', "[\\p{Lu}]", 0, byteRange('A', 'Z')},
      {'U', "[\\p{Nd}x]", 0, "0123456789x"},
      {'U', "[\\p{Lu}&[\\x{0}-C]]", 0, "ABC"},
      {'U', "[\\od]", 0, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(setMembers(c.pattern, c.syntax, c.ignoreCase), c.members)
        << c.syntax << " " << c.pattern;
  }
  // [^]] is the set holding '^' followed by a literal ']'.
  ASSERT_EQ(compile("[^]]", 'U'), 0);
  EXPECT_EQ(regex_test::findAllInMemory("]^]"), (std::vector<regex_test::Match>{{1, 2}}));
}

// In double-byte text a set holds characters of two bytes one by one: a
// member matches only itself, a range the characters between its ends, and
// negation and subtraction take out single characters; a lead byte given as
// a byte (\od, \x81) stands for every character it begins.
TEST(CharacterSets, DoubleByteMembersAreWholeCharacters) {
  test::EncodingScope encoding;
  encoding.doubleByte(0x81, 0x84);
  const struct {
    const char* pattern;
    char syntax;
    std::string text;
    std::vector<regex_test::Match> expected;
  } cases[] = {
      {"[\x81\x40]", 'U', "\x81\x40\x81\x41\x82\x40", {{0, 2}}},
      // The trail byte ']' belongs to its character, so the set goes on.
      {"[\x82]x]", 'U', "x\x82]\x82x", {{0, 1}, {1, 2}}},
      {"[\x81\x40-\x83\x40]", 'U', "\x81\x3F\x81\x40\x80\x83\x40\x83\x41\x82\xFF",
       {{2, 2}, {5, 2}, {9, 2}}},
      {"[a-\x81\x40]", 'U', "`a\x81\x40\x81\x41\x85", {{1, 1}, {2, 2}, {6, 1}}},
      {"[^\x81\x40]", 'R', "\x81\x40\x81\x41x", {{2, 2}, {4, 1}}},
      {"[\\od-[\x82\x41]]", 'U', "\x82\x41\x82\x42" "a", {{2, 2}}},
      {"[\\od&[\x82\x41-\x84\x41]]", 'U', "\x81\x41\x82\x42\x84\x42", {{2, 2}}},
      // A lead byte without its trail byte, at the end of the text.
      {"[\\od]", 'U', "a\x84\x99\x81", {{1, 2}, {3, 1}}},
      {"[\\x81]", 'U', "\x81\x40\x82\x40", {{0, 2}}},
      {"[\\\x84\\]", 'U', "\x84\\\x84]", {{0, 2}}},
      // A loop over the set to the pattern's end, and before a character.
      {"[^\x81\x40]+", 'U', "ab\x81\x40\x81\x41", {{0, 2}, {4, 2}}},
      {"[\x81\x40]*x", 'U', "\x81\x40\x81\x41x\x81\x40x", {{4, 1}, {5, 3}}},
  };
  for (const auto& c : cases) {
    const std::string pattern = c.pattern;
    ASSERT_EQ(compile(pattern, c.syntax, 0, ENCODING_DOUBLE_BYTE), 0) << pattern;
    EXPECT_EQ(regex_test::findAllInMemory(c.text, ENCODING_DOUBLE_BYTE), c.expected) << pattern;
  }
  EXPECT_EQ(setMembers("[\x81", 'U', 0, ENCODING_DOUBLE_BYTE), "status -2500");
}

TEST(CharacterSets, CodePointsReachTheCodePageUnderTheUtf8Option) {
  test::EncodingScope encoding;
  test::CodePageScope latin(1252);
  if (GetACP() != 1252) GTEST_SKIP() << "the code page cannot be chosen here";
  encoding.singleByte();
  EXPECT_EQ(setMembers("[\\x{20AC}\\p{IsLatin-1Supplement}]", 'U'), "");
  encoding.utf8();
  struct Case {
    const char* pattern;
    int32_t ignoreCase;
    std::string members;
  };
  const Case cases[] = {
      {"[\\x{20AC}]", 0, "\x80"},
      {"[\\x{152}-\\x{153}]", 0, "\x8C\x9C"},

      {"[\\x{80}\\x{3A3}]", 0, ""},
      // The code page keeps five C1 controls at their own numbers.
      {"[\\p{IsLatin-1Supplement}]", 0, "\x81\x8D\x8F\x90\x9D" + byteRange(0xA0, 0xFF)},
      {"[\\p{IsGreek}]", 0, ""},
      {"[\\p{Sc}]", 0, "$\x80\xA2\xA3\xA4\xA5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(setMembers(c.pattern, 'U', c.ignoreCase), c.members) << c.pattern;
  }
  // Under ignore case a converted character adds its case variants.
  std::string variants;
  variants += static_cast<char>(upperTable[0x9C]);
  variants += static_cast<char>(lowerTable[upperTable[0x9C]]);
  if (static_cast<uint8_t>(variants[0]) > static_cast<uint8_t>(variants[1])) {
    std::swap(variants[0], variants[1]);
  }
  if (variants[0] == variants[1]) variants.resize(1);
  EXPECT_EQ(setMembers("[\\x{153}]", 'U', 1), variants);
}

TEST(CharacterSets, Utf8SetsHoldCodePoints) {
  test::EncodingScope encoding;
  encoding.singleByte();
  struct Case {
    const char* pattern;
    int32_t ignoreCase;
    std::vector<int64_t> members;
    std::vector<int64_t> others;
  };
  const Case cases[] = {
      {"[a-c\xC3\xA9]", 0, {'a', 'c', 0xE9}, {'d', 0xC3, 0xA9}},
      {"[\\x{3a3}]", 1, {0x3A3, 0x3C2, 0x3C3}, {0x3A4}},
      {"[\\x{3c3}]", 0, {0x3C3}, {0x3A3, 0x3C2}},
      {"[\\p{IsPrivateUse}]", 0, {0xE000, 0xF8FF, 0xF0000, 0x10FFFD}, {0xDFFF, 0x10FFFE}},
      {"[\\p{isbasiclatin}]", 0, {0, 0x7F}, {0x80}},
      {"[\\p{IsxmlDigit}]", 0, {'0', '9', 0x660}, {'a'}},
      {"[\\p{Lul}]", 0, {'A', 'a'}, {'0'}},
      {"[\\P{L}]", 0, {'0', 0x10000}, {'a', 0x3A3}},
      {"[^a]", 0, {'b', 0x10000, 0x7FFFFFFF}, {'a'}},
      {"[\\x{10000}-\\x{10010}-[\\x{10005}]]", 0, {0x10000, 0x10010}, {0x10005}},
      {"[\xFF]", 0, {}, {0xFF, -1}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(compile(c.pattern, 'U', c.ignoreCase, ENCODING_UTF8), 0) << c.pattern;
    for (int64_t member : c.members) EXPECT_TRUE(utf8SetHas(member)) << c.pattern << " " << member;
    for (int64_t other : c.others) EXPECT_FALSE(utf8SetHas(other)) << c.pattern << " " << other;
  }
  // A property and the range it names compile to the same set.
  ASSERT_EQ(compile("[\\p{IsBasicLatin}]", 'U', 0, ENCODING_UTF8), 0);
  const int32_t slots = firstSet()->op7;
  const std::string property(reinterpret_cast<const char*>(firstSet() + 1),
                             static_cast<size_t>(slots - 1) * sizeof(Instruction));
  ASSERT_EQ(compile("[\\x{0}-\\x{7f}]", 'U', 0, ENCODING_UTF8), 0);
  EXPECT_EQ(firstSet()->op7, slots);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(firstSet() + 1), property.size()), property);
  // The set is the first item: its members are the first characters.
  EXPECT_EQ(compiledPattern.firstCharValid, 1);
  EXPECT_TRUE(unicodeSetContains(compiledPattern.firstCharSet, 0x7F));
  EXPECT_FALSE(unicodeSetContains(compiledPattern.firstCharSet, 0x80));
}

// A bitmap over the whole BMP needs 8192 bytes: more than one growth step of
// the program, and the item after the set must still follow it.
TEST(CharacterSets, ALongUtf8SetGetsRoomForAllItsSlots) {
  ASSERT_EQ(compile("a[\\x{0}\\x{FFFF}\\x{20000}]b", 'U', 0, ENCODING_UTF8), 0);
  EXPECT_EQ(regex_test::findAllInMemory("a\xEF\xBF\xBF" "b a\xE8\x80\x80" "b a\xF0\xA0\x80\x80" "b",
                                        ENCODING_UTF8),
            (std::vector<regex_test::Match>{{0, 5}, {12, 6}}));
}

TEST(CharacterSets, SyntaxErrors) {
  const char* const patterns[] = {
      "[a",          "[a-",           "[\\p]",         "[\\pL]",        "[\\P{IsNothing}]",
      "[\\p{Xx}]",   "[\\p{L",        "[\\p{}]",       "[\\p{L\xC3\xA9}]", "[a-\\p{L}]",
      "[\\x{}]",     "[\\x{110",      "[\\xq]",        "[a-[b]",        "[\\d]",
  };
  for (const char* pattern : patterns) {
    for (int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_UTF8}) {
      EXPECT_EQ(compile(pattern, 'U', 0, mode), REGEX_SYNTAX_ERROR) << pattern << " " << mode;
    }
  }
  const std::string longName = "[\\p{Is" + std::string(196, 'x') + "}]";
  EXPECT_EQ(compile(longName, 'U'), REGEX_SYNTAX_ERROR);
  std::string deep = "[";
  for (int32_t level = 1; level < 19; ++level) deep += "a-[";
  EXPECT_EQ(compile(deep + "b" + std::string(19, ']'), 'U'), 0);
  EXPECT_EQ(compile(deep + "a-[b" + std::string(20, ']'), 'U'), REGEX_SYNTAX_ERROR);
}

TEST(PredefinedClasses, EachLetterExpandsToItsText) {
  const char letters[] = "abcdfhinpqvw";
  for (const char* letter = letters; *letter != '\0'; ++letter) {
    const char* text = predefinedClassText(*letter);
    ASSERT_NE(text, nullptr) << *letter;
    EXPECT_EQ(predefinedClassText(*letter - 'a' + 'A'), text);
    ASSERT_EQ(compile(text, 'R'), 0) << text;
    const std::vector<Instruction> expansion(compiledPattern.program,
                                             compiledPattern.program + compiledPattern.lastSlot + 1);
    for (const std::string& pattern : {std::string(":") + *letter, std::string("\\:") + *letter}) {
      const int32_t syntax = pattern[0] == ':' ? 'R' : 'U';
      ASSERT_EQ(compile(pattern, syntax), 0) << pattern;
      ASSERT_EQ(compiledPattern.lastSlot + 1, static_cast<int32_t>(expansion.size())) << pattern;
      EXPECT_EQ(std::memcmp(compiledPattern.program, expansion.data(),
                            expansion.size() * sizeof(Instruction)),
                0)
          << pattern;
    }
  }
  for (int32_t c = 0; c < 256; ++c) {
    if (std::strchr("abcdfhinpqvwABCDFHINPQVW", c) == nullptr || c == 0) {
      EXPECT_EQ(predefinedClassText(c), nullptr) << c;
    }
  }
  EXPECT_STREQ(predefinedClassText('f'), "([~\\[\\]\\:\\\\/<>|=+;, \\t\"']#)");
}

TEST(PredefinedClasses, AnExpansionIsOneItemOfThePattern) {
  EXPECT_EQ(setMembers(":d", 'R'), "0123456789");
  EXPECT_EQ(setMembers("\\:D", 'U'), "0123456789");
  EXPECT_EQ(setMembers(":f", 'R'),
            byteRange(0, 8) + byteRange(10, 31) + "!#$%&()*-.0123456789?@" +
                byteRange('A', 'Z') + "^_`" + byteRange('a', 'z') + "{}~" + byteRange(127, 255));
  // A count or a loop after an expansion repeats all of it.
  ASSERT_EQ(compile("x:d:2", 'R'), 0);
  EXPECT_EQ(regex_test::findAllInMemory("x1 x12 x123"), (std::vector<regex_test::Match>{{3, 3}, {7, 3}}));
  ASSERT_EQ(compile("\\:i*y", 'U'), 0);
  EXPECT_EQ(regex_test::findAllInMemory("12y y"), (std::vector<regex_test::Match>{{0, 3}, {4, 1}}));
  for (const char* pattern : {":p", ":n:q", "{:v}\\g0", ":b:h:w:a:c"}) {
    EXPECT_EQ(compile(pattern, 'R'), 0) << pattern;
  }
}
