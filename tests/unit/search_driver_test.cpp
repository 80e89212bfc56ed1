// The search driver over a temporary file with standard output sent to a
// file: a search that runs out of memory part way is reported and fails.

#include "console/message_catalogue.h"
#include "driver/search_driver.h"
#include "driver/search_options.h"
#include "pattern/matcher.h"
#include "pattern/pike_vm.h"
#include "support/text_encoding.h"
#include "tests/unit/test_support.h"

namespace {

class SearchDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = searchOptions;
    searchOptions = SearchOptions{};
  }
  void TearDown() override {
    matcher.stackLimit = 0;
    searchOptions = saved_;
  }

  // Runs one specification naming input.txt through the whole driver, with a
  // regular expression of the syntax given or (0) a literal search text; the
  // printed output and the status come back.
  std::string searchInput(const std::string& content, const std::string& text, int32_t syntax,
                          int32_t* status) {
    dir_.write("input.txt", content);
    pattern_ = text;
    searchOptions.searchText = reinterpret_cast<uint8_t*>(pattern_.data());
    searchOptions.searchLength = static_cast<int32_t>(pattern_.size());
    searchOptions.syntax = syntax;
    CountedString specification;
    appendText(specification, path.c_str(), COUNTED_SPEC_CAPACITY);
    test::OutputCapture output;
    *status = searchSpecification(specification, 2, 0, syntax, 0);
    return output.finish();
  }

  test::TempDir dir_;
  const std::string path = dir_ / "input.txt";
  std::string pattern_;
  SearchOptions saved_;
};

// The matcher's stack cannot grow on the second line: the rest of the file
// goes unsearched, which is reported and fails the file-spec instead of
// passing for the end of the matches. Without the limit all three are found.
TEST_F(SearchDriverTest, AMatcherOutOfMemoryIsReportedAndFailsTheSpecification) {
  const std::string content = "az\n" + std::string(5000, 'a') + "z\naz\n";
  const std::string first = path + " 1 1:az\r\n";
  int32_t status = 1;
  // The backtracker's stack is the one limited; the Pike VM needs no stack.
  setRegexEngine(REGEX_ENGINE_BACKTRACK);
  matcher.stackLimit = 400;
  EXPECT_EQ(searchInput(content, "(?:a|b)*z", 'U', &status),
            first + messageText(MSG_OUT_OF_MEMORY) + "\r\n");
  EXPECT_EQ(status, REGEX_OUT_OF_MEMORY);
  matcher.stackLimit = 0;
  setRegexEngine(REGEX_ENGINE_AUTO);
  EXPECT_EQ(searchInput(content, "(?:a|b)*z", 'U', &status),
            first + path + " 2 1:" + std::string(5000, 'a') + "z\r\n" + path + " 3 1:az\r\n");
  EXPECT_EQ(status, 0);
}

// -W in UTF-8 text: the characters on each side of a match are decoded
// whole and judged by the word set, by default the letters and digits of every
// script with '_' and '$'; a -W= set is read as UTF-8.
TEST_F(SearchDriverTest, WholeWordsInUtf8TextJudgeWholeCharacters) {
  struct Case {
    std::string content;
    std::string text;
    std::string wordSet;  // empty: the default
    std::string reports;  // "line column" of each accepted match
  };
  const Case cases[] = {
      {"\xC3\xBC" "ber ber\n", "ber", "", "1 7"},
      {"x\xE6\x97\xA5\xE6\x9C\xAC \xE6\x97\xA5\xE6\x9C\xAC\n", "\xE6\x97\xA5\xE6\x9C\xAC", "", "1 9"},
      {"ber\xCE\xB1 \xD9\xA3" "ber ber_ ber$\n", "ber", "", ""},  // alpha, Arabic-Indic three
      {"\xFF" "ber \xC3\xA4\xC3\xA4" "berber ber\n", "ber", "", "1 2 1 17"},
      {"a-ber ber\n", "ber", "[\\p{L}\\p{N}_-]", "1 7"},
      {"\xC3\xA4" "ber ber\n", "ber", "[a-z]", "1 3 1 7"},
  };
  for (const Case& c : cases) {
    searchOptions = SearchOptions{};
    searchOptions.textEncoding = ENCODING_UTF8;
    searchOptions.wholeWord = 1;
    if (!c.wordSet.empty()) {
      appendText(searchOptions.wordCharacters, c.wordSet.c_str(), COUNTED_WORDSET_CAPACITY);
      searchOptions.wordSetGiven = 1;
    }
    int32_t status = 1;
    const std::string printed = searchInput(c.content, c.text, 0, &status);
    EXPECT_EQ(status, 0);
    std::string reports;
    for (size_t at = 0; (at = printed.find(path + " ", at)) != std::string::npos;) {
      at += path.size() + 1;
      if (!reports.empty()) reports += ' ';
      reports.append(printed, at, printed.find(':', at) - at);
    }
    EXPECT_EQ(reports, c.reports) << c.content;
  }
}

// A literal with a match every other byte, through the whole driver: lines
// of 1 to 40 pairs of "a" and another letter over three blocks of the
// window, so that the search goes on from the candidates it kept within a
// line, within a block and across its end, and starts afresh in the next
// block. Every match is reported with its line and column, and -C counts
// them all.
TEST_F(SearchDriverTest, EveryMatchOfADenseLiteralIsReportedAndCounted) {
  std::string content;
  std::string expected;
  int64_t count = 0;
  for (int64_t line = 1; content.size() < 3 * 65536; ++line) {
    std::string text;
    for (int64_t pair = 0; pair <= line % 40; ++pair) {
      text += 'a';
      text += static_cast<char>('b' + (line + pair) % 25);
    }
    for (size_t column = 1; column < text.size(); column += 2, ++count) {
      expected += path + " " + std::to_string(line) + " " + std::to_string(column) + ":" + text +
                  "\r\n";
    }
    content += text + "\n";
  }
  int32_t status = 1;
  EXPECT_EQ(searchInput(content, "a", 0, &status), expected);
  EXPECT_EQ(status, 0);
  searchOptions.countOnly = 1;
  EXPECT_EQ(searchInput(content, "a", 0, &status),
            path + " 1 1: " + std::to_string(count) + "\r\n");
}

// Ignoring case, the search text is upper-cased, except in a regular
// expression the ASCII character after a backslash (\p is not \P); a
// character of several bytes after one is upper-cased whole.
TEST(UpperCaseSearchText, KeepsTheCaseOfEscapeLettersInRegularExpressions) {
  struct Case {
    std::string text;
    int32_t syntax;
    int32_t utf8;
    std::string expected;
  };
  const Case cases[] = {
      {"a\\pb", 0, 0, "A\\PB"},
      {"\\p{lu}x", 'U', 0, "\\p{LU}X"},
      {"\\x41z\\om", 'R', 0, "\\x41Z\\oM"},
      {"\\\xD1\x91\\p", 'U', 1, "\\\xD0\x81\\p"},  // \ё\p
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    upperCaseSearchText(text.data(), static_cast<int32_t>(text.size()), c.syntax, c.utf8);
    EXPECT_EQ(text, c.expected) << c.text;
  }
}

}  // namespace
