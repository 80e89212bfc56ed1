// Tests of the Brief translator: every row of its two tables, the joining of
// fragments with '|', '{' ... '}' and '[' ... ']', tokens of more than one
// byte, and long and deeply joined patterns. That a 'B' pattern compiles as
// its translation is the end-to-end suite's, which searches with -B.
#include "pattern/brief_translator.h"

#include "tests/unit/test_support.h"

namespace {

std::string translated(const std::string& brief, int32_t encodingMode = ENCODING_SINGLE_BYTE) {
  const uint8_t* out = nullptr;
  int32_t length = -1;
  const int32_t status = briefTranslator.translate(
      test::bytes(brief), static_cast<int32_t>(brief.size()), encodingMode, &out, &length);
  if (status != 0) return "status " + std::to_string(status);
  return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(length));
}

struct Translation {
  const char* brief;
  const char* unix;
};

void expectTranslations(const std::vector<Translation>& rows) {
  for (const Translation& row : rows) EXPECT_EQ(translated(row.brief), row.unix) << row.brief;
}

}  // namespace

TEST(BriefTranslator, OrdinaryCharacters) {
  expectTranslations({
      {"abc", "abc"},
      {"a*b", "a.*?b"},
      {"a?b", "a.b"},
      {"a+", "a+?"},
      {"a@", "a*?"},
      {"<a%b>", "^a^b$"},
      {"^.()", "\\^\\.\\(\\)"},
      {"]}", "]}"},
      {"", ""},
  });
}

TEST(BriefTranslator, GroupsSetsAndAlternatives) {
  expectTranslations({
      {"a|bc", "(?:a|b)c"},
      {"a|b|c", "(?:(?:a|b)|c)"},
      {"ab|*", "a(?:b|.*?)"},
      {"{a}", "(a)"},
      {"{ab}+", "(ab)+?"},
      {"{a|b}", "(a|b)"},
      {"{a|b}|{c}", "(?:(a|b)|(c))"},
      {"{a|b|c}", "((?:a|b)|c)"},
      {"{a|b}c", "(a|b)c"},
      {"{{a}}", "((a))"},
      {"x|{a", "x|(a"},
      {"{|a}", "(|a)"},
      {"|a", "(?:|a)"},
      {"a|", "a|"},
      {"a||b", "a|(?:|b)"},
      {"{@0x}", "(?1x)"},
      {"{@9x}", "(?0x)"},
      {"{@x}", "(*?x)"},
      {"x{a@1}", "x(a*?1)"},
      {"[abc]", "[abc]"},
      {"[~abc]", "[^abc]"},
      {"[~]", "."},
      {"a[~]b", "a.b"},
      {"[a|{*?}]", "[a|{*?}]"},
      {"a|[bc]", "(?:a|[bc])"},
      {"[a", "[a"},
      {"a|\\x41", "a|\\x41"},
      {"a|@", "a|*?"},
  });
}

TEST(BriefTranslator, BackslashSequences) {
  expectTranslations({
      {"\\0\\9", "\\1\\0"},
      {"[\\1]", "[1]"},
      {"\\d065\\D1", "\\d065\\D1"},
      {"\\d1234", "\\d1234"},
      {"\\dx", "dx"},
      {"\\p{IsGreek}x", "\\p{IsGreek}x"},
      {"[\\P{L}]", "[\\P{L}]"},
      {"\\x41\\x4g", "\\x41\\x4g"},
      {"\\x{20AC}", "\\x{20AC}"},
      {"\\x", "\\x"},
      {"\\(a|b\\)", "(?:(?:a|b))"},
      {"[\\(\\)]", "[\\(\\)]"},
      {"\\oM\\OL", "\\oM\\OL"},
      {"\\ol\\om", "olom"},
      {"[\\oM]", "[oM]"},
      {"\\:d\\:Q", "\\:d\\:Q"},
      {"a\\:*", "a.*"},
      {"a\\:+\\:@", "a+*"},
      {"a\\:3", "a{3}"},
      {"a\\:3,", "a{3,}"},
      {"a\\:3,5", "a{3,5}"},
      {"a\\:,5", "a{,5}"},
      {"a\\:3,5?", "a{3,5}?"},
      {"a\\:3?", "a{3}?"},
      {"a\\:,5?", "a{,5}?"},
      {"\\:x\\:", ":x:"},
      {"\\:(", ":\\("},
      {"[\\:d]", "[:d]"},
      {"\\q\\*", "\\q\\*"},
  });
}

TEST(BriefTranslator, MendedLimits) {
  // A translation may be much longer than its input.
  EXPECT_EQ(translated(std::string(1000, '*')).size(), 3000u);
  EXPECT_EQ(translated(std::string(400, '|') + "a").size(), 399u + 6u);
  // No fragment is dropped, however many there are.
  const std::string many(5000, 'a');
  EXPECT_EQ(translated(many), many);
  const std::string manyGroups = std::string(3000, '{') + std::string(3000, '}');
  EXPECT_EQ(translated(manyGroups), std::string(3000, '(') + std::string(3000, ')'));
  // Counts keep every digit.
  EXPECT_EQ(translated("x\\:123456,1234567"), "x{123456,1234567}");
  // A digit after an explicit group number or a back-reference stays a
  // character of its own.
  EXPECT_EQ(translated("{@95}"), "(?0(?#)5)");
  EXPECT_EQ(translated("\\12"), "\\2(?#)2");
  // A backslash at the end stands for itself.
  EXPECT_EQ(translated("C:\\temp\\"), "C:\\temp\\\\");
  EXPECT_EQ(translated("[a\\"), "[a\\\\");
}

TEST(BriefTranslator, MultiByteCharactersAreOneToken) {
  test::EncodingScope encoding;
  encoding.doubleByte(0x81, 0x9F);
  // The trail bytes '|', '{' and '\' are no syntax.
  EXPECT_EQ(translated("\x81|b\x81{\\\x81\\", ENCODING_DOUBLE_BYTE), "\x81|b\x81{\\\x81\\");
  EXPECT_EQ(translated("a|\x81\x40", ENCODING_DOUBLE_BYTE), "(?:a|\x81\x40)");
  EXPECT_EQ(translated("\x81|b", ENCODING_SINGLE_BYTE), "(?:\x81|b)");
  EXPECT_EQ(translated("[\x81]]", ENCODING_DOUBLE_BYTE), "[\x81]]");
  EXPECT_EQ(translated("\xC3\xA9|x", ENCODING_UTF8), "(?:\xC3\xA9|x)");
  EXPECT_EQ(translated("\xC3", ENCODING_UTF8), "\xC3");
}

