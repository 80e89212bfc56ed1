// Tests of the counted-string operations.
#include "support/counted_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files/file_handles.h"
#include "files/text_encoding.h"

namespace {

CountedString counted(const std::string& text) {
  CountedString s;
  s.length = static_cast<int32_t>(text.size());
  text.copy(s.characters, text.size());
  return s;
}

std::string textOf(const CountedString& s) { return std::string(s.characters, s.length); }

// A quote, count x characters and, when asked, the closing quote.
std::string quotedXs(size_t count, bool closing) {
  std::string text(1, '"');
  text.append(count, 'x');
  if (closing) text.push_back('"');
  return text;
}

// Sets the code-page description for one test and restores it afterwards.
class EncodingScope {
 public:
  EncodingScope(uint32_t dbcs, int32_t utf8, uint8_t leadByte)
      : savedDbcs_(systemDbcs), savedUtf8_(utf8Mode), leadByte_(leadByte),
        savedLead_(leadByteTable[leadByte]) {
    systemDbcs = dbcs;
    utf8Mode = utf8;
    leadByteTable[leadByte] = dbcs;
  }
  ~EncodingScope() {
    systemDbcs = savedDbcs_;
    utf8Mode = savedUtf8_;
    leadByteTable[leadByte_] = savedLead_;
  }

 private:
  uint32_t savedDbcs_;
  int32_t savedUtf8_;
  uint8_t leadByte_;
  uint32_t savedLead_;
};

TEST(CountedAppend, TextIsAllOrNothing) {
  CountedString s;
  s.length = 0;
  appendText(s, std::string(1025, 'a').c_str(), COUNTED_SPEC_CAPACITY);
  EXPECT_EQ(s.length, 0) << "a text longer than the capacity leaves the string empty";
  appendText(s, std::string(1024, 'b').c_str(), COUNTED_SPEC_CAPACITY);
  EXPECT_EQ(textOf(s), std::string(1024, 'b'));

  s = counted("ab");
  appendText(s, "cd", 3);
  EXPECT_EQ(textOf(s), "ab");
  appendText(s, "cd", 4);
  EXPECT_EQ(textOf(s), "abcd");
  appendText(s, "", 4);
  EXPECT_EQ(textOf(s), "abcd");

  s.length = 0;
  appendText(s, std::string(81, 'w').c_str(), COUNTED_WORDSET_CAPACITY);
  EXPECT_EQ(s.length, 0) << "the word set has capacity 80";
}

TEST(CountedAppend, CountedSourceIsCut) {
  struct Case {
    std::string destination;
    std::string source;
    int32_t capacity;
    std::string expected;
  };
  const Case cases[] = {
      {"abc", "defgh", 5, "abcde"},
      {"abc", "defgh", 3, "abc"},
      {"abc", "defgh", 100, "abcdefgh"},
      {"", "xyz", 2, "xy"},
  };
  for (const Case& c : cases) {
    CountedString destination = counted(c.destination);
    appendCounted(destination, counted(c.source), c.capacity);
    EXPECT_EQ(textOf(destination), c.expected) << c.destination << "+" << c.source;
  }
  CountedString self = counted("ab");
  appendCounted(self, self, 10);
  EXPECT_EQ(textOf(self), "abab");
}

TEST(CountedCopy, CopyAndAssignCutToTheirLimits) {
  CountedString destination = counted("old text");
  copyCounted(destination, counted("abcdef"), 4);
  EXPECT_EQ(textOf(destination), "abcd");
  copyCounted(destination, counted("xy"), 4);
  EXPECT_EQ(textOf(destination), "xy");

  CountedString s;
  assignText(s, "hello");
  EXPECT_EQ(textOf(s), "hello");
  assignText(s, std::string(1500, 'z').c_str());
  EXPECT_EQ(s.length, COUNTED_MAX_CAPACITY) << "never beyond the storage";
  assignTextMax(s, "hello", 3);
  EXPECT_EQ(textOf(s), "hel");
  assignTextMax(s, "hi", 3);
  EXPECT_EQ(textOf(s), "hi");
}

TEST(CountedToText, TerminatesWithinTheBuffer) {
  char buffer[8];
  std::memset(buffer, 'X', sizeof buffer);
  EXPECT_STREQ(toText(buffer, counted("abcdef"), 4), "abc");
  EXPECT_EQ(buffer[4], 'X') << "nothing written past the size";
  EXPECT_STREQ(toText(buffer, counted("abcdef"), 1), "");
  EXPECT_STREQ(toText(buffer, counted("ab"), 8), "ab");

  const char* shared = toSharedText(counted(std::string(1024, 'q')));
  EXPECT_EQ(std::string(shared), std::string(1024, 'q'));
  const char* again = toSharedText(counted("next"));
  EXPECT_EQ(shared, again) << "one process-wide buffer";
  EXPECT_STREQ(again, "next");
}

TEST(CountedDelete, RemovesOrCuts) {
  struct Case {
    int32_t position;
    int32_t count;
    std::string expected;
  };
  const Case cases[] = {
      {3, 10, "ab"},   {3, 3, "ab"},     {3, 2, "abe"},    {1, 1, "bcde"}, {5, 1, "abcd"},
      {1, 5, ""},      {2, 0, "abcde"},  {0, 1, "abcde"},  {6, 1, "abcde"}, {2, -1, "abcde"},
  };
  for (const Case& c : cases) {
    CountedString s = counted("abcde");
    deleteChars(s, c.position, c.count);
    EXPECT_EQ(textOf(s), c.expected) << "position " << c.position << " count " << c.count;
  }
}

TEST(CountedScan, DirectoryPartAndWildcards) {
  struct Case {
    std::string text;
    int32_t directoryPart;
    int32_t wildcard;
  };
  const Case cases[] = {
      {"c:f", 2, 0},        {"a\\b/c", 4, 0},     {"name", 0, 0},    {"", 0, 0},
      {"dir/", 4, 0},       {"d:\\x\\*.txt", 5, 1}, {"a?b", 0, 1},     {"src/x*", 4, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(directoryPartLength(counted(c.text)), c.directoryPart) << c.text;
    EXPECT_EQ(hasWildcard(counted(c.text)), c.wildcard) << c.text;
  }
}

TEST(CountedFind, FindsFromTheStartPosition) {
  EncodingScope singleByte(0, 0, 0x81);
  struct Case {
    char c;
    int32_t start;
    int32_t expected;
  };
  const Case cases[] = {
      {'c', 1, 3}, {'c', 3, 3}, {'c', 4, 6}, {'c', 0, 3}, {'c', -5, 3}, {'c', 7, 0}, {'z', 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(findChar(c.c, counted("abcabc"), c.start), c.expected) << c.c << " from " << c.start;
  }
}

TEST(CountedFind, SkipsSecondBytesOfDoubleByteCharacters) {
  // 0x81 'a' is one double-byte character; the lone 'a' after it is the
  // first one that counts.
  const CountedString s = counted("\x81" "aa\x81\x81" "a");
  {
    EncodingScope doubleByte(1, 0, 0x81);
    EXPECT_EQ(findChar('a', s, 1), 3);
    EXPECT_EQ(findChar('a', s, 2), 3);
    EXPECT_EQ(findChar('a', s, 4), 6) << "0x81 0x81 is one character, 'a' stands alone";
    EXPECT_EQ(findChar('\x81', s, 2), 4);
  }
  {
    EncodingScope utf8(1, 1, 0x81);
    EXPECT_EQ(findChar('a', s, 1), 2) << "UTF-8 mode ignores the lead-byte table";
  }
  {
    EncodingScope singleByte(0, 0, 0x81);
    EXPECT_EQ(findChar('a', s, 1), 2);
  }
}

TEST(CountedQuote, QuotesAndCutsToCapacity) {
  CountedString s = counted("ab");
  quoteText(s, 80);
  EXPECT_EQ(textOf(s), "\"ab\"");

  s = counted(std::string(1023, 'x'));
  quoteText(s, COUNTED_SPEC_CAPACITY);
  EXPECT_EQ(textOf(s), quotedXs(1023, false)) << "no room for the closing quote";

  s = counted(std::string(1022, 'x'));
  quoteText(s, COUNTED_SPEC_CAPACITY);
  EXPECT_EQ(textOf(s), quotedXs(1022, true));

  s = counted(std::string(1024, 'x'));
  quoteText(s, COUNTED_SPEC_CAPACITY);
  EXPECT_EQ(textOf(s), quotedXs(1023, false));
}

TEST(CountedStrip, SidesTabsAndExactness) {
  EncodingScope singleByte(0, 0, 0x81);
  struct Case {
    std::string text;
    char side;
    char c;
    int32_t exact;
    std::string expected;
  };
  const Case cases[] = {
      {"  ab  ", 'L', ' ', 0, "ab  "},
      {"  ab  ", 'T', ' ', 0, "  ab"},
      {"  ab  ", 'B', ' ', 0, "ab"},
      {" \tab\t ", 'B', ' ', 0, "ab"},
      {" \tab\t ", 'B', ' ', 1, "\tab\t"},
      {"\t\tab", 'L', '\t', 0, "ab"},
      {"xxaxx", 'T', 'x', 0, "xxa"},
      {"xxxx", 'B', 'x', 0, ""},
      {"", 'B', ' ', 0, ""},
  };
  for (const Case& c : cases) {
    CountedString s = counted(c.text);
    stripChar(s, c.side, c.c, c.exact);
    EXPECT_EQ(textOf(s), c.expected) << "'" << c.text << "' side " << c.side;
  }
}

TEST(CountedStrip, ComparesWholeCharacters) {
  // U+00E9 is 0xC3 0xA9: in UTF-8 mode its last byte is no character.
  {
    EncodingScope utf8(0, 1, 0x81);
    CountedString s = counted("\xA9" "a\xC3\xA9");
    stripChar(s, 'B', '\xA9', 0);
    EXPECT_EQ(textOf(s), "a\xC3\xA9") << "a lone invalid byte is one character";
  }
  {
    EncodingScope singleByte(0, 0, 0x81);
    CountedString s = counted("a\xC3\xA9");
    stripChar(s, 'T', '\xA9', 0);
    EXPECT_EQ(textOf(s), "a\xC3");
  }
  {
    EncodingScope doubleByte(1, 0, 0x81);
    CountedString s = counted("  \x81  ");
    stripChar(s, 'B', ' ', 0);
    EXPECT_EQ(textOf(s), "\x81 ") << "the blank after the lead byte is its second half";
  }
}

TEST(CountedFormat, PadLeftAndNumbers) {
  CountedString s = counted("42");
  padLeft(s, 5, '0');
  EXPECT_EQ(textOf(s), "00042");
  padLeft(s, 3, ' ');
  EXPECT_EQ(textOf(s), "00042");

  struct Case {
    int64_t value;
    std::string text;
  };
  const Case cases[] = {
      {0, "0"},
      {7, "7"},
      {-7, "-7"},
      {1234567890, "1234567890"},
      {INT32_MIN, "-2147483648"},
      {INT64_MIN, "-9223372036854775808"},
      {INT64_MAX, "9223372036854775807"},
  };
  for (const Case& c : cases) {
    numberText(s, c.value);
    EXPECT_EQ(textOf(s), c.text);
  }
}

TEST(CountedFiles, CurrentDirectoryEndsInASeparator) {
  CountedString s = counted("junk");
  ASSERT_EQ(currentDirectory(s, 0), 0);
  ASSERT_GT(s.length, 0);
  char last = s.characters[s.length - 1];
  EXPECT_TRUE(last == '\\' || last == '/') << textOf(s);
  char plain[600];
  int32_t length = getCurrentDirectory(plain, sizeof plain);
  ASSERT_GT(length, 0);
  EXPECT_EQ(textOf(s).substr(0, static_cast<size_t>(length)), std::string(plain, length));
}

TEST(CountedFiles, OpenCountedUsesTheWholeName) {
  // The counted name has no terminator: bytes after it must not count.
  CountedString name = counted("counted_string_test.tmpXYZ");
  name.length -= 3;
  FileHandle handle = openCounted(name, OPEN_WRITE);
  ASSERT_GE(handle, 3);
  EXPECT_EQ(fileWrite(handle, "data", 4), 4);
  EXPECT_EQ(fileClose(handle, -1), 0);
  EXPECT_EQ(fileSize("counted_string_test.tmp"), 4);
  EXPECT_EQ(deleteFile("counted_string_test.tmp"), 0);
  EXPECT_EQ(openCounted(name, OPEN_READ), -2) << "a missing file";
}

}  // namespace
