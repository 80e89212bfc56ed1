// Tests of the counted-string operations.
#include "support/counted_string.h"

#include "files/file_handles.h"
#include "files/paths.h"
#include <tuple>

#include "tests/unit/test_support.h"

namespace {

CountedString counted(const std::string& text) {
  CountedString s;
  s.length = static_cast<int32_t>(text.size());
  text.copy(s.characters, text.size());
  return s;
}

std::string textOf(const CountedString& s) { return std::string(s.characters, s.length); }

TEST(CountedString, AppendIsAllOrNothingForTextsAndCutsCountedSources) {
  CountedString s;
  appendText(s, std::string(1025, 'a').c_str(), COUNTED_SPEC_CAPACITY);
  EXPECT_EQ(s.length, 0) << "a text longer than the capacity leaves the string empty";
  appendText(s, std::string(1024, 'b').c_str(), COUNTED_SPEC_CAPACITY);
  EXPECT_EQ(textOf(s), std::string(1024, 'b'));
  s = counted("ab");
  appendText(s, "cd", 3);
  EXPECT_EQ(textOf(s), "ab");
  appendText(s, "cd", 4);
  EXPECT_EQ(textOf(s), "abcd");

  struct Case {
    std::string destination;
    std::string source;
    int32_t capacity;
    std::string expected;
  };
  for (const Case& c : {Case{"abc", "defgh", 5, "abcde"}, Case{"abc", "defgh", 3, "abc"},
                        Case{"", "xyz", 2, "xy"}}) {
    CountedString destination = counted(c.destination);
    appendCounted(destination, counted(c.source), c.capacity);
    EXPECT_EQ(textOf(destination), c.expected) << c.destination << "+" << c.source;
  }
  CountedString self = counted("ab");
  appendCounted(self, self, 10);
  EXPECT_EQ(textOf(self), "abab");
}

TEST(CountedString, CopyAssignAndToTextStayWithinTheirLimits) {
  CountedString s = counted("old text");
  copyCounted(s, counted("abcdef"), 4);
  EXPECT_EQ(textOf(s), "abcd");
  assignText(s, std::string(1500, 'z').c_str());
  EXPECT_EQ(s.length, COUNTED_MAX_CAPACITY) << "never beyond the storage";
  assignTextMax(s, "hello", 3);
  EXPECT_EQ(textOf(s), "hel");

  char buffer[8];
  std::memset(buffer, 'X', sizeof buffer);
  EXPECT_STREQ(toText(buffer, counted("abcdef"), 4), "abc");
  EXPECT_EQ(buffer[4], 'X') << "nothing written past the size";
  EXPECT_STREQ(toText(buffer, counted("abcdef"), 1), "");
  const char* shared = toSharedText(counted(std::string(1024, 'q')));
  EXPECT_EQ(std::string(shared), std::string(1024, 'q'));
  EXPECT_EQ(toSharedText(counted("next")), shared) << "one process-wide buffer";
  EXPECT_STREQ(shared, "next");
}

TEST(CountedString, DeleteRemovesOrCuts) {
  using Case = std::tuple<int32_t, int32_t, std::string>;
  const Case cases[] = {
      {3, 10, "ab"}, {3, 2, "abe"},   {1, 1, "bcde"},  {5, 1, "abcd"},   {1, 5, ""},
      {2, 0, "abcde"}, {0, 1, "abcde"}, {6, 1, "abcde"}, {2, -1, "abcde"},
  };
  for (const auto& [position, count, expected] : cases) {
    CountedString s = counted("abcde");
    deleteChars(s, position, count);
    EXPECT_EQ(textOf(s), expected) << "position " << position << " count " << count;
  }
}

TEST(CountedString, DirectoryPartAndWildcards) {
  using Case = std::tuple<std::string, int32_t, int32_t>;
  const Case cases[] = {
      {"c:f", 2, 0},  {"a\\b/c", 4, 0},       {"name", 0, 0},  {"", 0, 0},
      {"dir/", 4, 0}, {"d:\\x\\*.txt", 5, 1}, {"a?b", 0, 1},
  };
  for (const auto& [text, directoryPart, wildcard] : cases) {
    EXPECT_EQ(directoryPartLength(counted(text)), directoryPart) << text;
    EXPECT_EQ(hasWildcard(counted(text)), wildcard) << text;
  }
}

TEST(CountedString, FindCharSkipsSecondBytesOfDoubleByteCharacters) {
  test::EncodingScope encoding;
  encoding.singleByte();
  struct Case {
    int32_t start;
    int32_t expected;
  };
  for (const Case& c : {Case{1, 3}, Case{3, 3}, Case{4, 6}, Case{-5, 3}, Case{7, 0}}) {
    EXPECT_EQ(findChar('c', counted("abcabc"), c.start), c.expected) << "from " << c.start;
  }
  EXPECT_EQ(findChar('z', counted("abcabc"), 1), 0);

  // 0x81 'a' is one double-byte character, and so is 0x81 0x81.
  const CountedString s = counted("\x81" "aa\x81\x81" "a");
  EXPECT_EQ(findChar('a', s, 1), 2);
  encoding.doubleByte(0x81, 0x81);
  EXPECT_EQ(findChar('a', s, 1), 3);
  EXPECT_EQ(findChar('a', s, 4), 6);
  EXPECT_EQ(findChar('\x81', s, 2), 4);
  utf8Mode = 1;
  EXPECT_EQ(findChar('a', s, 1), 2) << "UTF-8 mode ignores the lead-byte table";
}

TEST(CountedString, QuoteCutsToCapacity) {
  // Of 1023 characters and more there is no room for the closing quote.
  for (size_t length : {2, 1022, 1023, 1024}) {
    CountedString s = counted(std::string(length, 'x'));
    quoteText(s, COUNTED_SPEC_CAPACITY);
    std::string quoted(1, '"');
    quoted.append(length < 1023 ? length : 1023, 'x');
    if (length < 1023) quoted.push_back('"');
    EXPECT_EQ(textOf(s), quoted) << length;
  }
}

TEST(CountedString, StripRemovesWholeCharactersFromTheChosenSides) {
  test::EncodingScope encoding;
  encoding.singleByte();
  struct Case {
    std::string text;
    char side;
    char c;
    int32_t exact;
    std::string expected;
  };
  const Case cases[] = {
      {"  ab  ", 'L', ' ', 0, "ab  "}, {"  ab  ", 'T', ' ', 0, "  ab"}, {"xxxx", 'B', 'x', 0, ""},
      {" \tab\t ", 'B', ' ', 0, "ab"}, {" \tab\t ", 'B', ' ', 1, "\tab\t"},
      {"xxaxx", 'T', 'x', 0, "xxa"},   {"a\xC3\xA9", 'T', '\xA9', 0, "a\xC3"},
  };
  for (const Case& c : cases) {
    CountedString s = counted(c.text);
    stripChar(s, c.side, c.c, c.exact);
    EXPECT_EQ(textOf(s), c.expected) << "'" << c.text << "' side " << c.side;
  }
  encoding.utf8();  // U+00E9 is 0xC3 0xA9: its last byte is no character
  CountedString s = counted("\xA9" "a\xC3\xA9");
  stripChar(s, 'B', '\xA9', 0);
  EXPECT_EQ(textOf(s), "a\xC3\xA9") << "a lone invalid byte is one character";
  encoding.doubleByte(0x81, 0x81);
  s = counted("  \x81  ");
  stripChar(s, 'B', ' ', 0);
  EXPECT_EQ(textOf(s), "\x81 ") << "the blank after the lead byte is its second half";
}

TEST(CountedString, PadLeftAndNumbers) {
  CountedString s = counted("42");
  padLeft(s, 5, '0');
  EXPECT_EQ(textOf(s), "00042");
  padLeft(s, 3, ' ');
  EXPECT_EQ(textOf(s), "00042");
  struct Case {
    int64_t value;
    std::string text;
  };
  for (const Case& c : {Case{0, "0"}, Case{-7, "-7"}, Case{INT64_MIN, "-9223372036854775808"},
                        Case{INT64_MAX, "9223372036854775807"}}) {
    numberText(s, c.value);
    EXPECT_EQ(textOf(s), c.text);
  }
}

TEST(CountedString, CurrentDirectoryAndOpenUseTheCountedForm) {
  CountedString s = counted("junk");
  ASSERT_EQ(currentDirectory(s, 0), 0);
  char plain[600];
  const int32_t length = getCurrentDirectory(plain, sizeof plain);
  ASSERT_GT(length, 0);
  EXPECT_EQ(textOf(s), std::string(plain, length) + platformSeparator());

  // The counted name has no terminator: bytes after it must not count.
  test::TempDir dir;
  CountedString name = counted(dir / "counted.tmpXYZ");
  name.length -= 3;
  FileHandle handle = openCounted(name, OPEN_WRITE);
  ASSERT_GE(handle, 3);
  EXPECT_EQ(fileWrite(handle, "data", 4), 4);
  EXPECT_EQ(fileClose(handle, -1), 0);
  EXPECT_EQ(fileSize((dir / "counted.tmp").c_str()), 4);
  EXPECT_EQ(deleteFile((dir / "counted.tmp").c_str()), 0);
  EXPECT_EQ(openCounted(name, OPEN_READ), -2) << "a missing file";
}

}  // namespace
