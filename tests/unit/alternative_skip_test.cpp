// Tests of the first bytes of alternatives: programs find with the tables
// exactly what they find without them, and a long alternation is searched
// without trying every alternative at every start.
#include "pattern/alternative_skip.h"

#include <random>

#include "pattern/backtrack_memo.h"
#include "pattern/pike_vm.h"
#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::CompiledScope;
using regex_test::findAllInFile;
using regex_test::findAllInMemory;
using regex_test::Match;

// The tables off for the scope.
class WithoutSkips {
 public:
  WithoutSkips() { setAlternativeSkipsEnabled(false); }
  ~WithoutSkips() { setAlternativeSkipsEnabled(true); }
};

// Random texts of the bytes the patterns' ways begin with, near misses,
// line ends (LF, CR LF, a lone CR) and characters of two and three bytes;
// one of them after blanks that bring it across the 64 KiB block boundary.
std::vector<std::string> texts() {
  static const char* const pieces[] = {"a", "b", "c", "d", "f", "o", "0", "r", "x", "y", "A",
                                       "B", "C", "\xC3\xA9", " ", "\n", "\r\n", "\r", "ab",
                                       "ca", "do", "foo", "k", "K", "\xE2\x84\xAA", "\xC3\x89"};
  std::mt19937 random(7);
  std::vector<std::string> result;
  for (int32_t n = 0; n < 6; ++n) {
    std::string text;
    while (text.size() < 400) text += pieces[random() % std::size(pieces)];
    result.push_back(text);
  }
  result.push_back(std::string(65536 - 5, ' ') + result[0]);
  return result;
}

TEST(AlternativeSkip, ProgramsFindWhatTheyFindWithoutTheTables) {
  const struct {
    const char* pattern;
    int32_t ignoreCase;
    bool linked;  // the tables hold a link
  } patterns[] = {
      {"cat|dog|cow|ca.|d[o0]g|c|b|a|f|r|x|y", 0, true},  // a chain long enough to index
      {"(ab|ac|b)+x", 0, true},                           // a chain in a loop, and the way back
      {"x(a|b)*y|xy|x", 0, true},                         // a loop whose body is a chain
      {"(foo|f(o|0)+d|fa)r", 0, true},                    // a way that begins with a split
      {"(ab|a\\c[cb]|b)c", 0, true},                      // a cursor mark inside a way
      {"(Ab|aC|AB|bA|Ba|cc|CA|dd|ox)c", 1, true},         // case variants
      {"(a|\xC3\xA9|b)c|\xC3\xA9", 0, false},  // a way that begins with two bytes: no link
      {"(a$|b|c$)|r", 0, true},                           // line ends after the first byte
      {"(a{2,3}|b{1,2}|c)d", 0, true},                    // counted loops
      {"(a[^b]|a|y.)(bc|c|o)", 0, true},                  // second bytes of any kind
      // Ignoring case in UTF-8 text, forms of other lengths: the Kelvin
      // sign for k, and É for é.
      {"(ka|\xC3\xA9" "b|kc|ok|o\xC3\xA9)", 1, true},
  };
  const std::vector<std::string> cases = texts();
  for (const int32_t mode : {ENCODING_SINGLE_BYTE, ENCODING_UTF8}) {
    for (const auto& p : patterns) {
      CompiledScope compiled(p.pattern, 'U', p.ignoreCase, mode);
      ASSERT_EQ(compiled.status(), 0) << p.pattern;
      size_t found = 0;
      for (const std::string& text : cases) {
        const std::vector<Match> inFile = findAllInFile(text, 0, mode);
        const std::vector<Match> inMemory = findAllInMemory(text, mode);
        const std::vector<Match> inRecords = findAllInFile(text, 7, mode);
        if (p.linked && mode == ENCODING_SINGLE_BYTE) {
          EXPECT_GT(alternativeSkipLinks(), 0) << p.pattern;
        }
        found += inFile.size();
        const WithoutSkips plain;
        EXPECT_EQ(findAllInFile(text, 0, mode), inFile) << p.pattern << " mode " << mode;
        EXPECT_EQ(findAllInMemory(text, mode), inMemory) << p.pattern << " mode " << mode;
        EXPECT_EQ(findAllInFile(text, 7, mode), inRecords) << p.pattern << " mode " << mode;
      }
      EXPECT_GT(found, 0u) << p.pattern << " mode " << mode;
    }
  }
}

// Twenty thousand words, each with its last letter any character: more
// states than the automata take, so the backtracker with the memo runs it,
// and without the tables it would try every word at every start.
TEST(AlternativeSkip, ALongAlternationTriesOnlyTheWaysThatMayBeginThere) {
  std::string pattern;
  std::vector<std::string> words;
  std::mt19937 random(11);
  for (int32_t i = 0; i < 20000; ++i) {
    std::string word;
    for (int32_t k = 0; k < 6; ++k) word += static_cast<char>('a' + random() % 26);
    words.push_back(word);
    if (i > 0) pattern += '|';
    pattern += word.substr(0, 5);
    pattern += '.';
  }
  CompiledScope compiled(pattern, 'U');
  ASSERT_EQ(compiled.status(), 0);
  std::string text;
  std::vector<Match> expected;
  for (int32_t line = 0; line < 600; ++line) {
    text += "the quick brown fox jumps over the lazy dog, ";
    if (line % 60 == 0) {
      expected.push_back({static_cast<int64_t>(text.size()), 6});
      text += words[line * 31].substr(0, 5) + "!";
    }
    text += "\n";
  }
  clearMemoSteps();
  clearPikeVmSteps();
  EXPECT_EQ(findAllInFile(text), expected);
  EXPECT_GT(alternativeSkipLinks(), 19000);
  // Without the tables: some 40,000 steps at each of the 27,000 starts.
  EXPECT_LT(memoSteps() + pikeVmSteps(), 20000000);
}

}  // namespace
