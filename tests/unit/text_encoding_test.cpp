// Double-byte stepping, byte search, trimming, case conversion, locale
// comparison, UTF-8 decoding and stepping, and the Unicode conversions for
// names.
#include "support/text_encoding.h"

#include <algorithm>
#include <tuple>

#include "support/case_folding.h"
#include "tests/unit/test_support.h"

namespace {

const uint8_t* bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

std::string trimmed(std::string text, char mode, char c, int32_t tabToo) {
  int32_t length = static_cast<int32_t>(text.size());
  trimCharacter(text.data(), &length, mode, c, tabToo);
  return text.substr(0, static_cast<size_t>(length));
}

// Double-byte rules with lead bytes 0x81 to 0x9F, restored afterwards.
class DoubleByteRules : public ::testing::Test {
 protected:
  void SetUp() override { encoding.doubleByte(); }
  test::EncodingScope encoding;
};

class SingleByteRules : public DoubleByteRules {
 protected:
  void SetUp() override { encoding.singleByte(); }
};

}  // namespace

TEST_F(SingleByteRules, EveryByteStartsACharacterAndStepsBackOne) {
  const char* text = "\x81\x81x";
  for (int i = 0; i <= 3; ++i) EXPECT_TRUE(isCharacterStart(bytes(text), bytes(text) + i)) << i;
  EXPECT_EQ(previousCharacter(bytes(text), bytes(text) + 3), bytes(text) + 2);
  EXPECT_EQ(previousCharacter(bytes(text), bytes(text)), bytes(text));
}

TEST_F(DoubleByteRules, CharacterStartsFollowTheParityOfLeadByteRuns) {
  using Case = std::tuple<const char*, int, bool>;
  // L L x: the pair is L L and x stands alone; L L L x: the pairs are L L and L x.
  const Case cases[] = {
      {"\x81x", 1, false}, {"\x81x", 2, true}, {"\x81\x81x", 1, false}, {"\x81\x81x", 2, true},
      {"\x81\x81\x81x", 3, false}, {"\x81\x81\x81x", 2, true}, {"a\x81x", 2, false},
      {"\x81x", 0, true},
  };
  for (const auto& [text, position, start] : cases) {
    EXPECT_EQ(isCharacterStart(bytes(text), bytes(text) + position), start)
        << text << " at " << position;
  }
}

TEST_F(DoubleByteRules, PreviousCharacterStepsOverWholePairs) {
  using Case = std::tuple<const char*, int, int>;
  const Case cases[] = {
      {"\x81\x81x", 3, 2}, {"\x81x", 2, 0}, {"\x81\x81\x81x", 4, 2}, {"a\x81x", 3, 1},
      {"ab", 2, 1},        {"ab", 0, 0},    {"\x81\x81\x81\x81x", 5, 4},
  };
  for (const auto& [text, position, previous] : cases) {
    EXPECT_EQ(previousCharacter(bytes(text), bytes(text) + position) - bytes(text),
              previous)
        << text << " at " << position;
  }
}

TEST_F(DoubleByteRules, FindBytesNeverStartsOnASecondByte) {
  const char* text = "\x81" "AA";
  EXPECT_EQ(findBytesOffset("A", 1, text, 3, 1, 0), 3);
  EXPECT_EQ(findBytesOffset("A", 1, text, 3, 1, 1), 2) << "the single-byte flag";
  EXPECT_EQ(findBytesOffset("\x81" "A", 2, text, 3, 1, 0), 1);
  EXPECT_EQ(findBytes("A", 1, text, 3, 1, 0), text + 2);
  systemDbcs = 0;
  EXPECT_EQ(findBytesOffset("A", 1, text, 3, 1, 0), 2);

  struct Case {
    const char* needle;
    const char* text;
    int32_t start;
    int32_t offset;
  };
  const Case cases[] = {
      {"ca", "abcabc", 1, 3}, {"ca", "abcabc", 4, 0},   {"abc", "abcabc", 2, 4},
      {"abc", "abcabc", 0, 1}, {"abc", "abcabc", -5, 1}, {"abcd", "abc", 1, 0},
      {"", "abc", 1, 0},      {"c", "abc", 3, 3},       {"c", "abc", 4, 0},
      {"bb", "abab bb", 1, 6},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(findBytesOffset(c.needle, static_cast<int32_t>(std::strlen(c.needle)), c.text,
                              static_cast<int32_t>(std::strlen(c.text)), c.start, 1),
              c.offset)
        << c.needle << " in " << c.text << " from " << c.start;
  }
}

TEST_F(SingleByteRules, TrimCharacterStripsTheChosenEnds) {
  struct Case {
    const char* text;
    char mode;
    char c;
    int32_t tabToo;
    const char* result;
  };
  const Case cases[] = {
      {"  \tab  ", 'L', ' ', 0, "ab  "}, {"ab \t ", 'T', ' ', 0, "ab"},
      {" \t ab \t ", 'B', ' ', 0, "ab"}, {"\t ab \t", 'B', ' ', 1, "\t ab \t"},
      {"  ab  ", 'B', ' ', 1, "ab"},     {"xxaxx", 'X', 'x', 0, "a"},
      {"xx", 'B', 'x', 0, ""},           {"", 'B', ' ', 0, ""},
      {"\tab", 'L', '\t', 0, "ab"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trimmed(c.text, c.mode, c.c, c.tabToo), c.result) << c.text << " " << c.mode;
  }
  encoding.doubleByte();  // a pair is never split
  EXPECT_EQ(trimmed("\x81x", 'T', 'x', 0), "\x81x");
  EXPECT_EQ(trimmed("\x81xx", 'T', 'x', 0), "\x81x");
  EXPECT_EQ(trimmed("\x81x", 'L', '\x81', 0), "\x81x");
  encoding.utf8();  // 0xA9 is the second byte of e acute, not a character
  EXPECT_EQ(trimmed("caf\xC3\xA9", 'T', '\xA9', 0), "caf\xC3\xA9");
  EXPECT_EQ(trimmed("\xE2\x82\xAC-", 'T', '-', 0), "\xE2\x82\xAC");
}


TEST(Utf8Case, InPlaceConversionKeepsTheLength) {
  using Case = std::tuple<std::string, bool, std::string>;
  const Case cases[] = {
      {"stra\xC3\x9F" "e", true, "STRA\xC3\x9F" "E"},  // sharp s has no one-character capital
      {"\xC3\xA9" "a", true, "\xC3\x89" "A"},
      {"\xC3\x89" "A", false, "\xC3\xA9" "a"},
      {"\xC4\xB1", true, "\xC4\xB1"},  // dotless i: its capital I is one byte shorter
      {"\xCE\xB1\xCE\xB2", true, "\xCE\x91\xCE\x92"},
      {"\xFF" "a\xC3", true, "\xFF" "A\xC3"},  // invalid bytes stay
      {"\xF0\x9F\x98\x80x", true, "\xF0\x9F\x98\x80X"},
  };
  for (const auto& [input, upper, result] : cases) {
    std::string text = input;
    (upper ? upperCaseUtf8 : lowerCaseUtf8)(text.data(), static_cast<int32_t>(text.size()));
    EXPECT_EQ(text, result) << input;
  }
  std::string viaText = "\xC3\xA9t\xC3\xA9";
  upperCaseText(viaText.data(), static_cast<int32_t>(viaText.size()), 1);
  EXPECT_EQ(viaText, "\xC3\x89T\xC3\x89");

  EXPECT_EQ(upperCodePoint(0xE9), 0xC9u);
  EXPECT_EQ(lowerCodePoint(0x391), 0x3B1u);
  EXPECT_EQ(upperCodePoint(0x10428), 0x10428u) << "outside the basic plane";
  EXPECT_EQ(upperCodePoint(0xD800), 0xD800u);
  EXPECT_EQ(upperCodePoint(0xFFFFFFFFu), 0xFFFFFFFFu);
}

// Case folds: one form for every letter of a case pair, across scripts and
// across encoded lengths; the forms of one fold form a cycle.
TEST(CaseFolding, FoldsAndTheirForms) {
  struct Case {
    uint32_t codePoint;
    uint32_t fold;
    std::vector<uint32_t> forms;  // every code point of the fold, in order
    bool lengthsVary;
  };
  const Case cases[] = {
      {'A', 'a', {'A', 'a'}, false},
      {0xC4, 0xE4, {0xC4, 0xE4}, false},                    // Ä ä
      {0x3C2, 0x3C3, {0x3A3, 0x3C2, 0x3C3}, false},         // the three sigmas
      {0x401, 0x451, {0x401, 0x451}, false},                // Cyrillic Ё ё
      {0x531, 0x561, {0x531, 0x561}, false},                // Armenian
      {0xFF21, 0xFF41, {0xFF21, 0xFF41}, false},            // full-width A a
      {0x212A, 'k', {'K', 'k', 0x212A}, true},              // Kelvin sign
      {0x17F, 's', {'S', 's', 0x17F}, true},                // long s
      {0x131, 'i', {'I', 'i', 0x130, 0x131}, true},         // dotless and dotted i
      {0x1E9E, 0xDF, {0xDF, 0x1E9E}, true},                 // capital sharp s
      {'1', '1', {'1'}, false},
      {0x10428, 0x10428, {0x10428}, false},  // above the plane nothing folds
      {0xFFFFFFFFu, 0xFFFFFFFFu, {0xFFFFFFFFu}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(foldCodePoint(c.codePoint), c.fold) << std::hex << c.codePoint;
    EXPECT_EQ(caseFormsVaryInLength(c.codePoint), c.lengthsVary) << std::hex << c.codePoint;
    std::vector<uint32_t> forms = {c.codePoint};
    for (uint32_t f = nextCaseForm(c.codePoint); f != c.codePoint && forms.size() < 8;
         f = nextCaseForm(f)) {
      forms.push_back(f);
    }
    std::sort(forms.begin(), forms.end());
    EXPECT_EQ(forms, c.forms) << std::hex << c.codePoint;
  }
  // Over the whole plane a fold is its own fold and its cycle shares it.
  for (uint32_t c = 0; c < 0x10000; ++c) {
    ASSERT_EQ(foldCodePoint(foldCodePoint(c)), foldCodePoint(c)) << std::hex << c;
    ASSERT_EQ(foldCodePoint(nextCaseForm(c)), foldCodePoint(c)) << std::hex << c;
  }
}

TEST(Utf8Decoding, DecodeTakesFollowingBytesAsTheyCome) {
  struct Case {
    std::string text;
    size_t end;  // bytes available
    uint32_t codePoint;
    int advance;
  };
  // The second byte's top bits are not tested; a sequence cut off by the end,
  // or a byte that starts none, is one byte of 0xFFFFFFFF.
  const Case cases[] = {
      {"\xC3\xA9", 2, 0xE9, 2},        {"\xF0\x9F\x98\x80", 4, 0x1F600, 4},
      {"\xF8\x88\x80\x80\x80", 5, 0x200000, 5}, {"\xFC\x84\x80\x80\x80\x80", 6, 0x4000000, 6},
      {"\xC3\x41", 2, 0xC1, 2},        {"\xE2\x82\xAC", 2, 0xFFFFFFFF, 1},
      {"\x80", 1, 0xFFFFFFFF, 1},       {"\xFE\x80", 2, 0xFFFFFFFF, 1}, {"\xFF", 1, 0xFFFFFFFF, 1},
  };
  for (const Case& c : cases) {
    const uint8_t* start = bytes(c.text.c_str());
    uint32_t codePoint = 0;
    const uint8_t* next = decodeUtf8(start, start + c.end, &codePoint);
    EXPECT_EQ(codePoint, c.codePoint) << c.text;
    EXPECT_EQ(next - start, c.advance) << c.text;
  }
}

TEST(Utf8Decoding, SteppingAcceptsOnlyWellFormedCharacters) {
  using Case = std::tuple<std::string, uint32_t, int>;
  // Not well formed: a bad second byte, overlong forms, a surrogate, a code
  // point beyond U+10FFFF, a cut sequence.
  const Case cases[] = {
      {"a", 'a', 1},                     {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
      {"\xC3\x41", 0xFFFFFFFF, 1},      {"\xC0\x80", 0xFFFFFFFF, 1},
      {"\xE0\x80\x80", 0xFFFFFFFF, 1},  {"\xED\xA0\x80", 0xFFFFFFFF, 1},
      {"\xF4\x90\x80\x80", 0xFFFFFFFF, 1}, {"\xE2\x82", 0xFFFFFFFF, 1},
  };
  for (const auto& [text, expected, advance] : cases) {
    const uint8_t* start = bytes(text.c_str());
    uint32_t codePoint = 0;
    const uint8_t* next = nextUtf8Character(start, start + text.size(), &codePoint);
    EXPECT_EQ(codePoint, expected) << text;
    EXPECT_EQ(next - start, advance) << text;
  }

  const std::string text = "a\xC3\xA9\xF0\x9F\x98\x80\xA9";
  const uint8_t* start = bytes(text.c_str());
  std::vector<std::pair<int, uint32_t>> backwards;
  for (const uint8_t* p = start + text.size(); p > start;) {
    uint32_t codePoint = 0;
    p = previousUtf8Character(p, start, &codePoint);
    backwards.emplace_back(static_cast<int>(p - start), codePoint);
  }
  EXPECT_EQ(backwards,
            (std::vector<std::pair<int, uint32_t>>{
                {7, 0xFFFFFFFF}, {3, 0x1F600}, {1, 0xE9}, {0, 'a'}}));
}

TEST(Utf8Encoding, EncodesEveryScalarValue) {
  using Case = std::tuple<uint32_t, std::string>;
  const Case cases[] = {
      {0x41, "A"},          {0x7FF, "\xDF\xBF"}, {0x20AC, "\xE2\x82\xAC"}, {0xFFFF, "\xEF\xBF\xBF"},
      {0x1F600, "\xF0\x9F\x98\x80"}, {0xD800, ""}, {0xDFFF, ""},           {0x110000, ""},
  };
  for (const auto& [codePoint, encoded] : cases) {
    uint8_t out[4] = {};
    const int32_t length = encodeUtf8(codePoint, out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(length)), encoded)
        << codePoint;
  }
}

TEST(UnicodeConversion, Utf8AndUtf16RoundTripWithACharacterBeyondTheBasicPlane) {
  const std::string text = "a\xE2\x82\xAC\xF0\x9F\x98\x80z";
  const WCHAR* wide = utf8ToUtf16(text.c_str(), -1);
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::vector<uint32_t>(wide, wide + 6),
            (std::vector<uint32_t>{'a', 0x20AC, 0xD83D, 0xDE00, 'z', 0}));
  EXPECT_EQ(wideLength(wide), 5);

  char out[32];
  int32_t length = -1;
  EXPECT_EQ(utf16ToUtf8(wide, wide + 5, out, 32, &length), 9);
  EXPECT_EQ(std::string(out, length), text);
  // Cut at a character boundary: the 4-byte character does not fit in 5.
  EXPECT_EQ(utf16ToUtf8(wide, wide + 5, out, 5, &length), 4);
  EXPECT_EQ(std::string(out, length), "a\xE2\x82\xAC");

  wide = utf8ToUtf16(text.c_str(), 4);  // a counted length stops early
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wideLength(wide), 2);

  for (const char* invalid : {"ab\xFF", "\xC3", "\xED\xA0\x80", ""}) {
    EXPECT_EQ(utf8ToUtf16(invalid, -1), nullptr) << invalid;
  }
  EXPECT_EQ(utf8ToAnsi("ab\xFF", -1), nullptr);
  EXPECT_EQ(utf8ToAnsi("", 0), nullptr);
  const WCHAR empty[1] = {0};
  length = 77;
  EXPECT_EQ(utf16ToUtf8(empty, empty, out, 8, &length), 0);
  EXPECT_EQ(length, 0);
}

TEST(UnicodeConversion, AnsiConversionRefusesCharactersTheCodePageLacks) {
  test::CodePageScope latin1(28591);  // where the code page is emulated
  if (GetACP() != 28591 && GetACP() != 1252) {
    GTEST_SKIP() << "the active code page " << GetACP() << " is not a Latin one";
  }
  const char* ansi = utf8ToAnsi("caf\xC3\xA9", -1);
  ASSERT_NE(ansi, nullptr);
  EXPECT_STREQ(ansi, "caf\xE9");
  EXPECT_EQ(utf8ToAnsi("smile \xF0\x9F\x98\x80", -1), nullptr);
  EXPECT_EQ(utf8ToAnsi("\xCE\xB1", -1), nullptr);  // Greek alpha
  const WCHAR cafe[] = {'c', 'a', 'f', 0xE9};
  ASSERT_NE(utf16ToAnsi(cafe, 4), nullptr);
  EXPECT_STREQ(utf16ToAnsi(cafe, 4), "caf\xE9");
  const WCHAR alpha[] = {'a', 0x3B1};
  EXPECT_EQ(utf16ToAnsi(alpha, 2), nullptr);
  char out[16];
  int32_t length = 0;
  EXPECT_EQ(ansiToUtf8("caf\xE9", -1, out, 16, &length), 5);
  EXPECT_EQ(std::string(out, static_cast<size_t>(length)), "caf\xC3\xA9");
}

TEST(LocaleComparison, OrdersTextsAndIgnoresCaseOnRequest) {
  EXPECT_EQ(compareTextLocale("abc", 3, "abd", 3), -1);
  EXPECT_EQ(compareTextLocale("abd", 3, "abc", 3), 1);
  EXPECT_EQ(compareTextLocale("abcx", 3, "abcy", 3), 0);
  EXPECT_EQ(compareTextLocale("ab", -1, "abc", -1), -1);
  EXPECT_NE(compareTextLocale("ABC", -1, "abc", -1), 0);
  EXPECT_EQ(compareTextLocaleNoCase("ABC", -1, "abc", -1), 0);
  EXPECT_EQ(compareTextLocaleNoCase("ABC", -1, "abd", -1), -1);
}

TEST(NameRule, TheCallFormFollowsBothSwitches) {
  test::EncodingScope encoding;
  struct Case {
    int32_t utf8;
    int32_t unicode;
    int32_t form;
  };
  // Without -utf8, -UnicodeCallsAvailable has no effect.
  for (const Case& c : {Case{0, 0, 0}, Case{0, 1, 0}, Case{1, 0, 1}, Case{1, 1, 2}}) {
    utf8Mode = c.utf8;
    unicodeCallsAvailable = c.unicode;
    EXPECT_EQ(nameCallForm(), c.form) << c.utf8 << c.unicode;
    SystemName name;
    ASSERT_TRUE(toSystemName("plain.txt", &name));
    EXPECT_EQ(name.wide != nullptr, c.form == 2);
    EXPECT_EQ(name.ansi != nullptr, c.form != 2);
    // Without UTF-8 mode a name goes to the system as its bytes stand.
    EXPECT_EQ(toSystemName("bad\xFF", &name), c.form == 0);
    if (c.form == 0) {
      EXPECT_STREQ(name.ansi, "bad\xFF");
    }
  }
}
