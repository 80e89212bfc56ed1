// The code-page tables, double-byte stepping, byte search, trimming, case
// conversion, locale comparison, UTF-8 decoding and stepping, and the Unicode
// conversions for names.
#include "files/text_encoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

const uint8_t LEAD = 0x81;

// Switches double-byte rules on with a hand-filled lead-byte table (0x81 to
// 0x9F lead) and restores the process's tables afterwards.
class DoubleByteRules : public ::testing::Test {
 protected:
  void SetUp() override {
    savedDbcs_ = systemDbcs;
    savedUtf8_ = utf8Mode;
    std::memcpy(savedTable_, leadByteTable, sizeof savedTable_);
    for (int b = 0; b < 256; ++b) leadByteTable[b] = b >= 0x81 && b <= 0x9F ? 1 : 0;
    systemDbcs = 1;
    utf8Mode = 0;
  }
  void TearDown() override {
    systemDbcs = savedDbcs_;
    utf8Mode = savedUtf8_;
    std::memcpy(leadByteTable, savedTable_, sizeof savedTable_);
  }

 private:
  uint32_t savedDbcs_ = 0;
  int32_t savedUtf8_ = 0;
  uint32_t savedTable_[256] = {};
};

// Single-byte rules with an empty lead-byte table.
class SingleByteRules : public DoubleByteRules {
 protected:
  void SetUp() override {
    DoubleByteRules::SetUp();
    systemDbcs = 0;
    std::memset(leadByteTable, 0, sizeof leadByteTable);
  }
};

class Utf8Rules : public DoubleByteRules {
 protected:
  void SetUp() override {
    DoubleByteRules::SetUp();
    systemDbcs = 0;
    std::memset(leadByteTable, 0, sizeof leadByteTable);
    utf8Mode = 1;
  }
};

const uint8_t* bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

std::string trimmed(std::string text, char mode, char c, int32_t tabToo) {
  int32_t length = static_cast<int32_t>(text.size());
  trimCharacter(text.data(), &length, mode, c, tabToo);
  return text.substr(0, static_cast<size_t>(length));
}

}  // namespace

TEST(CaseTables, MapLettersAndLeaveLeadBytesAlone) {
  EXPECT_EQ(upperTable['a'], 'A');
  EXPECT_EQ(upperTable['z'], 'Z');
  EXPECT_EQ(upperTable['A'], 'A');
  EXPECT_EQ(upperTable['5'], '5');
  EXPECT_EQ(lowerTable['Q'], 'q');
  EXPECT_EQ(lowerTable['q'], 'q');
  EXPECT_EQ(upperTable[0], 0);
  initDbcs();
  for (int b = 0; b < 256; ++b) {
    if (leadByteTable[b] != 0) {
      EXPECT_EQ(upperTable[b], b);
      EXPECT_EQ(lowerTable[b], b);
    }
  }
  if (systemDbcs == 0) {
    for (int b = 0; b < 256; ++b) EXPECT_EQ(leadByteTable[b], 0u) << b;
  }
}

TEST_F(SingleByteRules, EveryByteStartsACharacterAndStepsBackOne) {
  const char* text = "\x81\x81x";
  for (int i = 0; i <= 3; ++i) EXPECT_TRUE(isCharacterStart(bytes(text), bytes(text) + i)) << i;
  EXPECT_EQ(previousCharacter(bytes(text), bytes(text) + 3), bytes(text) + 2);
  EXPECT_EQ(previousCharacter(bytes(text), bytes(text)), bytes(text));
}

TEST_F(DoubleByteRules, CharacterStartsFollowTheParityOfLeadByteRuns) {
  struct Case {
    const char* text;
    int position;
    bool start;
  };
  const Case cases[] =
      {
          {"\x81x", 1, false},  // the second byte of a pair
          {"\x81x", 2, true},
          {"\x81\x81x", 1, false},  // L L x: the pair is L L, x stands alone
          {"\x81\x81x", 2, true},
          {"\x81\x81\x81x", 3, false},  // L L L x: the pairs are L L and L x
          {"\x81\x81\x81x", 2, true},
          {"a\x81x", 2, false},
          {"a\x81x", 1, true},
          {"ab", 1, true},
          {"\x81x", 0, true},
      };
  for (const Case& c : cases) {
    EXPECT_EQ(isCharacterStart(bytes(c.text), bytes(c.text) + c.position), c.start)
        << c.text << " at " << c.position;
  }
}

TEST_F(DoubleByteRules, PreviousCharacterStepsOverWholePairs) {
  struct Case {
    const char* text;
    int position;
    int previous;
  };
  const Case cases[] = {
      {"\x81\x81x", 3, 2},
      {"\x81x", 2, 0},
      {"\x81\x81\x81x", 4, 2},
      {"a\x81x", 3, 1},
      {"ab", 2, 1},
      {"ab", 0, 0},
      {"a", 1, 0},
      {"\x81\x81\x81\x81x", 5, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(previousCharacter(bytes(c.text), bytes(c.text) + c.position) - bytes(c.text),
              c.previous)
        << c.text << " at " << c.position;
  }
}

TEST_F(DoubleByteRules, FindBytesNeverStartsOnASecondByte) {
  const char* text =
      "\x81"
      "AA";
  EXPECT_EQ(findBytesOffset("A", 1, text, 3, 1, 0), 3);
  EXPECT_EQ(findBytesOffset("A", 1, text, 3, 1, 1), 2);
  EXPECT_EQ(findBytesOffset("\x81"
                            "A",
                            2, text, 3, 1, 0),
            1);
  EXPECT_EQ(findBytes("A", 1, text, 3, 1, 0), text + 2);
  systemDbcs = 0;
  EXPECT_EQ(findBytesOffset("A", 1, text, 3, 1, 0), 2);
}

TEST(FindBytes, FindsTheFirstOccurrenceFromTheStart) {
  struct Case {
    const char* needle;
    const char* text;
    int32_t start;
    int32_t offset;
  };
  const Case cases[] = {
      {"ca", "abcabc", 1, 3},  {"ca", "abcabc", 4, 0},   {"abc", "abcabc", 2, 4},
      {"abc", "abcabc", 0, 1}, {"abc", "abcabc", -5, 1}, {"abcd", "abc", 1, 0},
      {"", "abc", 1, 0},       {"c", "abc", 3, 3},       {"c", "abc", 4, 0},
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
}

TEST_F(DoubleByteRules, TrimCharacterNeverSplitsAPair) {
  EXPECT_EQ(trimmed("\x81x", 'T', 'x', 0), "\x81x");
  EXPECT_EQ(trimmed("\x81xx", 'T', 'x', 0), "\x81x");
  EXPECT_EQ(trimmed("\x81x", 'L', '\x81', 0), "\x81x");
  EXPECT_EQ(trimmed(" \x81x ", 'B', ' ', 0), "\x81x");
}

TEST_F(Utf8Rules, TrimCharacterStepsByDecodedCharacters) {
  // 0xA9 is the second byte of "é" and must not be taken for the character.
  EXPECT_EQ(trimmed("caf\xC3\xA9", 'T', '\xA9', 0), "caf\xC3\xA9");
  EXPECT_EQ(trimmed(" caf\xC3\xA9 ", 'B', ' ', 0), "caf\xC3\xA9");
  EXPECT_EQ(trimmed("\xE2\x82\xAC-", 'T', '-', 0), "\xE2\x82\xAC");
}

TEST_F(SingleByteRules, CaseConversionUsesTheTables) {
  char text[] = "abc1XyZ";
  upperCaseText(text, 7, 0);
  EXPECT_STREQ(text, "ABC1XYZ");
  lowerCaseText(text, 7, 0);
  EXPECT_STREQ(text, "abc1xyz");
  char partial[] = "abcd";
  upperCaseText(partial, 2, 0);
  EXPECT_STREQ(partial, "ABcd");
  char nulTerminated[] = "MiXed";
  upperCaseString(nulTerminated);
  EXPECT_STREQ(nulTerminated, "MIXED");
  lowerCaseString(nulTerminated);
  EXPECT_STREQ(nulTerminated, "mixed");
}

TEST(Utf8Case, InPlaceConversionKeepsTheLength) {
  struct Case {
    const char* text;
    bool upper;
    const char* result;
  };
  const Case cases[] = {
      {"stra\xC3\x9F"
       "e",
       true,
       "STRA\xC3\x9F"
       "E"},  // ß has no one-character capital
      {"\xC3\xA9"
       "a",
       true,
       "\xC3\x89"
       "A"},  // éa -> ÉA
      {"\xC3\x89"
       "A",
       false,
       "\xC3\xA9"
       "a"},
      {"\xC4\xB1", true, "\xC4\xB1"},  // dotless i: its capital I is one byte shorter
      {"\xCE\xB1\xCE\xB2", true, "\xCE\x91\xCE\x92"},  // Greek
      {"\xFF"
       "a\xC3",
       true,
       "\xFF"
       "A\xC3"},  // invalid bytes stay
      {"\xF0\x9F\x98\x80x", true, "\xF0\x9F\x98\x80X"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    if (c.upper) {
      upperCaseUtf8(text.data(), static_cast<int32_t>(text.size()));
    } else {
      lowerCaseUtf8(text.data(), static_cast<int32_t>(text.size()));
    }
    EXPECT_EQ(text, c.result) << c.text;
  }
  std::string viaText = "\xC3\xA9t\xC3\xA9";
  upperCaseText(viaText.data(), static_cast<int32_t>(viaText.size()), 1);
  EXPECT_EQ(viaText, "\xC3\x89T\xC3\x89");
}

TEST(Utf8Case, CodePointsMapWithinTheBasicPlaneOnly) {
  EXPECT_EQ(upperCodePoint('a'), static_cast<uint32_t>('A'));
  EXPECT_EQ(upperCodePoint('A'), static_cast<uint32_t>('A'));
  EXPECT_EQ(upperCodePoint(0xE9), 0xC9u);
  EXPECT_EQ(upperCodePoint(0x3B1), 0x391u);
  EXPECT_EQ(lowerCodePoint(0x391), 0x3B1u);
  EXPECT_EQ(upperCodePoint(0x10428), 0x10428u);  // Deseret: outside the basic plane
  EXPECT_EQ(upperCodePoint(0xD800), 0xD800u);
  EXPECT_EQ(upperCodePoint(0xFFFFFFFFu), 0xFFFFFFFFu);
}

TEST(Utf8Decoding, DecodeTakesFollowingBytesAsTheyCome) {
  struct Case {
    std::string text;
    size_t end;  // bytes available
    uint32_t codePoint;
    int advance;
  };
  const Case cases[] = {
      {"\xC3\xA9", 2, 0xE9, 2},
      {"\xE2\x82\xAC", 3, 0x20AC, 3},
      {"\xF0\x9F\x98\x80", 4, 0x1F600, 4},
      {"\xF8\x88\x80\x80\x80", 5, 0x200000, 5},
      {"\xFC\x84\x80\x80\x80\x80", 6, 0x4000000, 6},
      {"\xC3\x41", 2, 0xC1, 2},            // the second byte's top bits are not tested
      {"\xE2\x82\xAC", 2, 0xFFFFFFFF, 1},  // cut off by the end
      {"\xC3", 1, 0xFFFFFFFF, 1},
      {"\x80", 1, 0xFFFFFFFF, 1},
      {"\xFE\x80", 2, 0xFFFFFFFF, 1},
      {"\xFF", 1, 0xFFFFFFFF, 1},
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
  struct Case {
    std::string text;
    uint32_t codePoint;
    int advance;
  };
  const Case cases[] = {
      {"a", 'a', 1},
      {"\xC3\xA9", 0xE9, 2},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
      {"\xC3\x41", 0xFFFFFFFF, 1},
      {"\xC0\x80", 0xFFFFFFFF, 1},          // overlong
      {"\xE0\x80\x80", 0xFFFFFFFF, 1},      // overlong
      {"\xED\xA0\x80", 0xFFFFFFFF, 1},      // a surrogate
      {"\xF4\x90\x80\x80", 0xFFFFFFFF, 1},  // beyond U+10FFFF
      {"\xE2\x82", 0xFFFFFFFF, 1},
  };
  for (const Case& c : cases) {
    const uint8_t* start = bytes(c.text.c_str());
    uint32_t codePoint = 0;
    const uint8_t* next = nextUtf8Character(start, start + c.text.size(), &codePoint);
    EXPECT_EQ(codePoint, c.codePoint) << c.text;
    EXPECT_EQ(next - start, c.advance) << c.text;
  }

  std::string text = "a\xC3\xA9\xF0\x9F\x98\x80\xA9";
  const uint8_t* start = bytes(text.c_str());
  const uint8_t* end = start + text.size();
  std::vector<std::pair<int, uint32_t>> backwards;
  for (const uint8_t* p = end; p > start;) {
    uint32_t codePoint = 0;
    p = previousUtf8Character(p, start, &codePoint);
    backwards.emplace_back(static_cast<int>(p - start), codePoint);
  }
  std::vector<std::pair<int, uint32_t>> expected = {
      {7, 0xFFFFFFFF}, {3, 0x1F600}, {1, 0xE9}, {0, 'a'}};
  EXPECT_EQ(backwards, expected);
}

TEST(Utf8Encoding, EncodesEveryScalarValue) {
  struct Case {
    uint32_t codePoint;
    std::string encoded;
  };
  const Case cases[] = {
      {0x41, "A"},
      {0xE9, "\xC3\xA9"},
      {0x7FF, "\xDF\xBF"},
      {0x20AC, "\xE2\x82\xAC"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x1F600, "\xF0\x9F\x98\x80"},
      {0xD800, ""},
      {0xDFFF, ""},
      {0x110000, ""},
  };
  for (const Case& c : cases) {
    uint8_t out[4] = {};
    int32_t length = encodeUtf8(c.codePoint, out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(length)), c.encoded)
        << c.codePoint;
  }
}

TEST(UnicodeConversion, Utf8AndUtf16RoundTripWithACharacterBeyondTheBasicPlane) {
  std::string text = "a\xE2\x82\xAC\xF0\x9F\x98\x80z";
  const WCHAR* wide = utf8ToUtf16(text.c_str(), -1);
  ASSERT_NE(wide, nullptr);
  const uint32_t units[] = {'a', 0x20AC, 0xD83D, 0xDE00, 'z', 0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(static_cast<uint32_t>(wide[i]), units[i]) << i;
  EXPECT_EQ(wideLength(wide), 5);

  char out[32];
  int32_t length = -1;
  EXPECT_EQ(utf16ToUtf8(wide, wide + 5, out, 32, &length), 9);
  EXPECT_EQ(length, 9);
  EXPECT_EQ(std::string(out, 9), text);

  // Cut at a character boundary: the 4-byte character does not fit in 5.
  length = -1;
  EXPECT_EQ(utf16ToUtf8(wide, wide + 5, out, 5, &length), 4);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(std::string(out, 4), "a\xE2\x82\xAC");

  // A counted length stops early.
  wide = utf8ToUtf16(text.c_str(), 4);
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wideLength(wide), 2);
}

TEST(UnicodeConversion, InvalidOrEmptyTextYieldsNothing) {
  EXPECT_EQ(utf8ToUtf16("ab\xFF", -1), nullptr);
  EXPECT_EQ(utf8ToUtf16("\xC3", -1), nullptr);
  EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80", -1), nullptr);
  EXPECT_EQ(utf8ToUtf16("", -1), nullptr);
  EXPECT_EQ(utf8ToAnsi("ab\xFF", -1), nullptr);
  EXPECT_EQ(utf8ToAnsi("", 0), nullptr);
  char out[8];
  int32_t length = 77;
  const WCHAR empty[1] = {0};
  EXPECT_EQ(utf16ToUtf8(empty, empty, out, 8, &length), 0);
  EXPECT_EQ(length, 0);
}

TEST(UnicodeConversion, AnsiConversionRefusesCharactersTheCodePageLacks) {
  uint32_t saved = GetACP();
  platformSetCodePage(28591);  // Latin-1 where the code page is emulated
  uint32_t codePage = GetACP();
  if (codePage != 28591 && codePage != 1252) {
    platformSetCodePage(saved);
    GTEST_SKIP() << "the active code page " << codePage << " is not a Latin one";
  }
  const char* ansi = utf8ToAnsi("caf\xC3\xA9", -1);
  ASSERT_NE(ansi, nullptr);
  EXPECT_STREQ(ansi, "caf\xE9");
  EXPECT_EQ(utf8ToAnsi("smile \xF0\x9F\x98\x80", -1), nullptr);
  EXPECT_EQ(utf8ToAnsi("\xCE\xB1", -1), nullptr);  // Greek alpha
  char out[16];
  int32_t length = 0;
  EXPECT_EQ(ansiToUtf8("caf\xE9", -1, out, 16, &length), 5);
  EXPECT_EQ(std::string(out, static_cast<size_t>(length)), "caf\xC3\xA9");
  platformSetCodePage(saved);
}

TEST(LocaleComparison, OrdersTextsAndIgnoresCaseOnRequest) {
  EXPECT_EQ(compareTextLocale("abc", 3, "abd", 3), -1);
  EXPECT_EQ(compareTextLocale("abd", 3, "abc", 3), 1);
  EXPECT_EQ(compareTextLocale("abc", -1, "abc", -1), 0);
  EXPECT_EQ(compareTextLocale("abcx", 3, "abcy", 3), 0);
  EXPECT_EQ(compareTextLocale("ab", -1, "abc", -1), -1);
  EXPECT_NE(compareTextLocale("ABC", -1, "abc", -1), 0);
  EXPECT_EQ(compareTextLocaleNoCase("ABC", -1, "abc", -1), 0);
  EXPECT_EQ(compareTextLocaleNoCase("ABC", -1, "abd", -1), -1);
}

TEST(NameRule, TheCallFormFollowsBothSwitches) {
  int32_t savedUtf8 = utf8Mode;
  int32_t savedUnicode = unicodeCallsAvailable;
  struct Case {
    int32_t utf8;
    int32_t unicode;
    int32_t form;
  };
  const Case cases[] = {{0, 0, 0}, {0, 1, 0}, {1, 0, 1}, {1, 1, 2}};
  for (const Case& c : cases) {
    utf8Mode = c.utf8;
    unicodeCallsAvailable = c.unicode;
    EXPECT_EQ(nameCallForm(), c.form) << c.utf8 << c.unicode;
    SystemName name;
    ASSERT_TRUE(toSystemName("plain.txt", &name));
    EXPECT_EQ(name.wide != nullptr, c.form == 2);
    EXPECT_EQ(name.ansi != nullptr, c.form != 2);
    // Without UTF-8 mode a name goes to the system as its bytes stand.
    bool converted = toSystemName("bad\xFF", &name);
    EXPECT_EQ(converted, c.form == 0);
    if (c.form == 0) {
      EXPECT_STREQ(name.ansi, "bad\xFF");
    }
  }
  utf8Mode = savedUtf8;
  unicodeCallsAvailable = savedUnicode;
}
