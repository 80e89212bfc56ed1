// The search driver's match loop and reports, run over temporary files with
// standard output sent to a file: the whole-word test with a hand-filled
// word table, record mode, and line text that reaches outside the window.

#include "driver/search_driver.h"
#include "driver/search_options.h"
#include "driver/stored_defaults.h"
#include "pattern/literal_search.h"
#include "pattern/matcher.h"
#include "pattern/pike_vm.h"
#include "support/message_catalogue.h"
#include "tests/unit/test_support.h"

namespace {

class SearchDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = searchOptions;
    savedOffsets_ = storedDefaults.reportOffsets;
    searchOptions = SearchOptions{};
    storedDefaults.reportOffsets = 0;
  }
  void TearDown() override {
    matcher.stackLimit = 0;
    searchOptions = saved_;
    storedDefaults.reportOffsets = savedOffsets_;
  }

  // Searches the file for the literal and returns what was printed.
  std::string search(const std::string& content, const std::string& literal,
                     const std::string& display = "f") {
    const std::string input = dir_.write("input.txt", content);
    pattern_ = literal;
    searchOptions.searchText = reinterpret_cast<uint8_t*>(pattern_.data());
    searchOptions.searchLength = static_cast<int32_t>(pattern_.size());
    searchOptions.searchFunction = SearchLiteral;
    EXPECT_EQ(0, CompileLiteral(searchOptions.searchText, searchOptions.searchLength, 0, 0));
    CountedString path;
    appendText(path, input.c_str(), COUNTED_SPEC_CAPACITY);
    CountedString name;
    appendText(name, display.c_str(), COUNTED_SPEC_CAPACITY);
    test::OutputCapture output;
    EXPECT_EQ(0, searchOneFile(path, name));
    return output.finish();
  }

  // Runs one specification naming the file through the whole driver with a
  // 'U' regular expression; the printed output and the status come back.
  std::string searchSpecificationU(const std::string& content, const std::string& expression,
                                   const std::string& path, int32_t* status) {
    dir_.write("input.txt", content);
    pattern_ = expression;
    searchOptions.searchText = reinterpret_cast<uint8_t*>(pattern_.data());
    searchOptions.searchLength = static_cast<int32_t>(pattern_.size());
    searchOptions.syntax = 'U';
    CountedString specification;
    appendText(specification, path.c_str(), COUNTED_SPEC_CAPACITY);
    test::OutputCapture output;
    *status = searchSpecification(specification, 2, 0, 'U', 0);
    return output.finish();
  }

  void useWordCharacters(const char* members) {
    std::memset(wordCharacterTable, 0, sizeof wordCharacterTable);
    for (const char* c = members; *c != 0; ++c) wordCharacterTable[static_cast<uint8_t>(*c)] = 1;
    searchOptions.wholeWord = 1;
  }

  test::TempDir dir_;
  std::string pattern_;
  SearchOptions saved_;
  int32_t savedOffsets_ = 0;
};

constexpr char DEFAULT_WORD_CHARACTERS[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_$";

TEST_F(SearchDriverTest, WholeWordRejectsMatchesTouchingWordCharacters) {
  useWordCharacters(DEFAULT_WORD_CHARACTERS);
  EXPECT_EQ(
      "f 1 1:ab xab abx ab\r\n"
      "f 1 12:ab xab abx ab\r\n"
      "f 2 10:$ab ab_ (ab)\r\n"
      "f 3 1:ab\r\n",
      search("ab xab abx ab\n$ab ab_ (ab)\nab", "ab"));
  // Carriage-return line ends are boundaries too.
  EXPECT_EQ("f 1 1:ab\r\nf 3 2: ab\r\n", search("ab\r\nxab\r\n ab\r\nab1\r\n", "ab"));
  useWordCharacters("abc");
  EXPECT_EQ("f 1 6:cdex1de2\r\n", search("cdex1de2", "de")) << "only the given set counts";
}

TEST_F(SearchDriverTest, RecordModeReportsRecordNumberAndColumn) {
  searchOptions.recordLength = 10;
  const std::string text = std::string(25, 'a') + "ZZ" + std::string(13, 'b');
  EXPECT_EQ("f 3 6:aaaaaZZbbb\r\n", search(text, "ZZ"));
  searchOptions.recordBase = 5;
  EXPECT_EQ("f 3 1:ZZbbbbbbbb\r\n", search(text, "ZZ"));
  searchOptions.recordLength = 6;
  searchOptions.recordBase = 0;
  EXPECT_EQ("f 2 1:x\nyz\r\n", search("abcdefx\r\nyz", "x")) << "line feeds kept, CR dropped";
}

TEST_F(SearchDriverTest, LinesReachingOutsideTheWindowArePrintedWhole) {
  const std::string before = std::string(65600, 'x') + " needle";
  EXPECT_EQ("f 1 65602:" + before + "\r\n", search(before + "\nnext\n", "needle"));
  const std::string straddling = std::string(65533, 'x') + " needle tail";
  EXPECT_EQ("f 2 65535:" + straddling + "\r\n", search("\n" + straddling, "needle"));
}

// The matcher's stack cannot grow on the second line: the rest of the file
// goes unsearched, which is reported and fails the file-spec instead of
// passing for the end of the matches. Without the limit all three are found.
TEST_F(SearchDriverTest, AMatcherOutOfMemoryIsReportedAndFailsTheSpecification) {
  const std::string path = dir_ / "input.txt";
  const std::string content = "az\n" + std::string(5000, 'a') + "z\naz\n";
  const std::string first = path + " 1 1:az\r\n";
  int32_t status = 1;
  // The backtracker's stack is the one limited; the Pike VM needs no stack.
  setRegexEngine(REGEX_ENGINE_BACKTRACK);
  matcher.stackLimit = 400;
  EXPECT_EQ(searchSpecificationU(content, "(?:a|b)*z", path, &status),
            first + messageText(MSG_OUT_OF_MEMORY) + "\r\n");
  EXPECT_EQ(status, REGEX_OUT_OF_MEMORY);
  matcher.stackLimit = 0;
  setRegexEngine(REGEX_ENGINE_AUTO);
  EXPECT_EQ(searchSpecificationU(content, "(?:a|b)*z", path, &status),
            first + path + " 2 1:" + std::string(5000, 'a') + "z\r\n" + path + " 3 1:az\r\n");
  EXPECT_EQ(status, 0);
}

}  // namespace
