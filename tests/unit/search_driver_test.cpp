// The search driver's match loop and reports, run over temporary files with
// standard output sent to a file: the whole-word test with a hand-filled
// word table, record mode, and line text that reaches outside the window.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "driver/search_driver.h"
#include "driver/search_options.h"
#include "driver/stored_defaults.h"
#include "pattern/literal_search.h"
#include "support/stream.h"

namespace {

std::string readFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& name, const std::string& content) {
  std::ofstream out(name, std::ios::binary);
  out << content;
}

class SearchDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    base_ = std::string("driver_test_") + info->name();
    inputName_ = base_ + ".in";
    outputName_ = base_ + ".out";
    saved_ = searchOptions;
    savedOffsets_ = storedDefaults.reportOffsets;
    searchOptions.recordLength = 0;
    searchOptions.recordBase = 0;
    searchOptions.countOnly = 0;
    searchOptions.verbose = 0;
    searchOptions.omitLocation = 0;
    searchOptions.wholeWord = 0;
    searchOptions.syntax = 0;
    searchOptions.ignoreCase = 0;
    searchOptions.multiByte = 0;
    storedDefaults.reportOffsets = 0;
  }
  void TearDown() override {
    searchOptions = saved_;
    storedDefaults.reportOffsets = savedOffsets_;
    std::remove(inputName_.c_str());
    std::remove(outputName_.c_str());
  }

  // Searches the file for the literal and returns what was printed.
  std::string search(const std::string& content, const std::string& literal,
                     const std::string& display = "f") {
    writeFile(inputName_, content);
    pattern_ = literal;
    searchOptions.searchText = reinterpret_cast<uint8_t*>(pattern_.data());
    searchOptions.searchLength = static_cast<int32_t>(pattern_.size());
    searchOptions.searchFunction = SearchLiteral;
    EXPECT_EQ(0, CompileLiteral(searchOptions.searchText, searchOptions.searchLength, 0, 0));

    Stream* console = stdoutStream;
    int32_t status = 0;
    stdoutStream = openStream(outputName_.c_str(), "wb", &status, STREAM_STDOUT_CAPACITY);
    EXPECT_NE(nullptr, stdoutStream);
    CountedString path;
    appendText(path, inputName_.c_str(), COUNTED_SPEC_CAPACITY);
    CountedString name;
    appendText(name, display.c_str(), COUNTED_SPEC_CAPACITY);
    EXPECT_EQ(0, searchOneFile(path, name));
    EXPECT_EQ(0, closeStream(stdoutStream));
    stdoutStream = console;
    return readFile(outputName_);
  }

  void useWordCharacters(const char* members) {
    std::memset(wordCharacterTable, 0, sizeof wordCharacterTable);
    for (const char* c = members; *c != 0; ++c) wordCharacterTable[static_cast<uint8_t>(*c)] = 1;
    searchOptions.wholeWord = 1;
  }

  std::string base_, inputName_, outputName_, pattern_;
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
}

TEST_F(SearchDriverTest, WholeWordTreatsCarriageReturnLineEndsAsBoundaries) {
  useWordCharacters(DEFAULT_WORD_CHARACTERS);
  EXPECT_EQ("f 1 1:ab\r\nf 3 2: ab\r\n", search("ab\r\nxab\r\n ab\r\nab1\r\n", "ab"));
}

TEST_F(SearchDriverTest, WholeWordUsesOnlyTheGivenSet) {
  useWordCharacters("abc");
  EXPECT_EQ("f 1 6:cdex1de2\r\n", search("cdex1de2", "de"));
}

TEST_F(SearchDriverTest, RecordModeReportsRecordNumberAndColumn) {
  searchOptions.recordLength = 10;
  std::string text = std::string(25, 'a') + "ZZ" + std::string(13, 'b');
  EXPECT_EQ("f 3 6:aaaaaZZbbb\r\n", search(text, "ZZ"));
  searchOptions.recordBase = 5;
  EXPECT_EQ("f 3 1:ZZbbbbbbbb\r\n", search(text, "ZZ"));
}

TEST_F(SearchDriverTest, RecordModePrintsLineFeedsAndDropsCarriageReturns) {
  searchOptions.recordLength = 6;
  EXPECT_EQ("f 2 1:x\nyz\r\n", search("abcdefx\r\nyz", "x"));
}

TEST_F(SearchDriverTest, LineStartingBeforeTheWindowIsPrintedWhole) {
  std::string line = std::string(65600, 'x') + " needle";
  EXPECT_EQ("f 1 65602:" + line + "\r\n", search(line + "\nnext\n", "needle"));
}

TEST_F(SearchDriverTest, MatchStraddlingTheWindowEnd) {
  std::string line = std::string(65533, 'x') + " needle tail";
  EXPECT_EQ("f 2 65535:" + line + "\r\n", search("\n" + line, "needle"));
}

TEST_F(SearchDriverTest, CountModeSummarisesFirstMatchAndCount) {
  searchOptions.countOnly = 1;
  EXPECT_EQ("f 2 3: 3\r\n", search("none\nxxab ab\nab\n", "ab"));
  EXPECT_EQ("", search("nothing here\n", "ab"));
  storedDefaults.reportOffsets = 1;
  EXPECT_EQ("f offset=7: 3\r\n", search("none\nxxab ab\nab\n", "ab"));
  searchOptions.omitLocation = 1;
  EXPECT_EQ("3\r\n", search("none\nxxab ab\nab\n", "ab"));
}

TEST_F(SearchDriverTest, ReportForms) {
  EXPECT_EQ("f 1 1:abab\r\nf 1 3:abab\r\n", search("abab\n", "ab"));
  EXPECT_EQ("\"a b\" 1 2:xab\r\n", search("xab", "ab", "a b"));
  storedDefaults.reportOffsets = 1;
  EXPECT_EQ("f offset=6:xab\r\n", search("q\r\nq\nxab", "ab"));
  storedDefaults.reportOffsets = 0;
  searchOptions.verbose = 1;
  EXPECT_EQ("File f\r\n  2 1 2:xab\r\n  2 2 1:ab\r\n", search("xab\nab\n", "ab"));
  EXPECT_EQ("", search("none\n", "ab"));
  searchOptions.verbose = 0;
  searchOptions.omitLocation = 1;
  EXPECT_EQ("x  y ab\r\n", search("x\x01\r y\r ab\r\n", "ab"));
}

}  // namespace
