// Tests of the required literal: which literal (or set of literals) the
// analysis finds in compiled programs, the scan against a naive search on
// random data, and the gate of the file search, which must never lose a match.
#include <random>

#include "pattern/required_literal.h"
#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::findAllInFile;
using regex_test::Match;

// Compiles into the current compiled pattern for the scope and puts the one
// before back afterwards.
class Compiled {
 public:
  Compiled(const std::string& pattern, char syntax, int32_t ignoreCase = 0,
           int32_t encodingMode = 0)
      : saved_(takeCompiledPattern()) {
    status_ = CompileRegex(test::bytes(pattern), static_cast<int32_t>(pattern.size()), ignoreCase,
                           syntax, 0, encodingMode);
  }
  ~Compiled() {
    releaseCompiledPattern(&compiledPattern);
    compiledPattern = saved_;
  }
  int32_t status() const { return status_; }
  Compiled(const Compiled&) = delete;
  Compiled& operator=(const Compiled&) = delete;

 private:
  CompiledPattern saved_;
  int32_t status_;
};

// The literals of a RequiredLiteral, the first one first.
std::vector<std::string> literalsOf(const RequiredLiteral& literal) {
  std::vector<std::string> found;
  if (literal.length <= 0) return found;
  found.emplace_back(reinterpret_cast<const char*>(literal.bytes), literal.length);
  for (int32_t i = 0; i < literal.otherCount; ++i) {
    found.emplace_back(reinterpret_cast<const char*>(literal.others[i].bytes),
                       literal.others[i].length);
  }
  return found;
}

TEST(RequiredLiteral, FoundInCompiledPrograms) {
  test::EncodingScope encoding;
  encoding.singleByte();
  const struct {
    char syntax;
    const char* pattern;
    int32_t ignoreCase;
    std::vector<std::string> literals;
    bool fold;
    bool singleLine;
  } cases[] = {
      {'U', "a*bcd", 0, {"bcd"}, false, true},
      {'U', "(ab)+c", 0, {"ab"}, false, true},
      {'U', "x|y", 0, {}, false, true},
      {'U', "a[bc]d", 0, {"a"}, false, true},
      {'U', "[A-Z]+_SUSPEND", 0, {"_SUSPEND"}, false, true},
      {'U', "^#define", 0, {"#define"}, false, true},
      {'U', "unicode[a-z]*", 1, {"UNICODE"}, true, true},
      {'R', "{Py}[A-Z]@_", 0, {"Py"}, false, true},
      {'U', "a?bc|bcd", 0, {"bc", "bcd"}, false, true},
      // No single literal of two bytes: one literal per branch.
      {'U', "PM_RESUME|PM_SUSPEND", 0, {"PM_RESUME", "PM_SUSPEND"}, false, true},
      {'U', "(foo|ba)x", 0, {"foo", "ba"}, false, true},
      {'U', "(ab|cd)(ef|gh)", 0, {"ab", "cd"}, false, true},
      {'U', "Get|Set|Put", 1, {"GET", "SET", "PUT"}, true, true},
      {'U', "((bc|de)x|fg)", 0, {"bc", "de", "fg"}, false, true},
      // A branch without a literal of two bytes, or too many branches.
      {'U', "(foo|b)x", 0, {"x"}, false, true},
      {'U', "foo|", 0, {}, false, true},
      {'U', "ab|cd|ef|gh|ij", 0, {}, false, true},
      // What ends singleLine.
      {'U', "ab\\omc.", 0, {"abc"}, false, false},
      {'U', "ab\\n", 0, {"ab"}, false, false},
      {'U', "ab[^x]", 0, {"ab"}, false, true},
  };
  for (const auto& c : cases) {
    Compiled compiled(c.pattern, c.syntax, c.ignoreCase);
    ASSERT_EQ(compiled.status(), 0) << c.pattern;
    const RequiredLiteral& literal = compiledPattern.requiredLiteral;
    EXPECT_EQ(literalsOf(literal), c.literals) << c.pattern;
    if (!c.literals.empty()) {
      EXPECT_EQ(literal.fold != 0, c.fold) << c.pattern;
    }
    EXPECT_EQ(literal.singleLine != 0, c.singleLine) << c.pattern;
    EXPECT_LT(literal.rareIndex, literal.length > 0 ? literal.length : 1) << c.pattern;
  }
  // In UTF-8 mode nothing is found.
  Compiled utf8("abc", 'U', 0, 2);
  ASSERT_EQ(utf8.status(), 0);
  EXPECT_EQ(compiledPattern.requiredLiteral.length, 0);
}

// The first start of any of the literals in text[from, end), by comparing at
// every position; -1 for none.
int64_t naiveScan(const std::string& text, size_t from, size_t end,
                  const std::vector<std::string>& literals, bool fold) {
  for (size_t p = from; p < end; ++p) {
    for (const std::string& literal : literals) {
      if (p + literal.size() > end) continue;
      bool same = true;
      for (size_t i = 0; i < literal.size() && same; ++i) {
        const uint8_t byte = static_cast<uint8_t>(text[p + i]);
        same = (fold ? upperTable[byte] : byte) == static_cast<uint8_t>(literal[i]);
      }
      if (same) return static_cast<int64_t>(p);
    }
  }
  return -1;
}

TEST(RequiredLiteral, ScanAgreesWithANaiveSearch) {
  test::EncodingScope encoding;
  encoding.singleByte();
  std::mt19937 random(7);
  auto pick = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  // Small alphabets make hits, near misses and literals cut by the range end
  // common; the second holds both forms of letters for the folding scan.
  const std::string alphabets[] = {"ab", "abc\n", "aAbB-", "xyzXYZ\xe9\xc9"};
  for (int32_t round = 0; round < 3000; ++round) {
    const bool fold = round % 2 == 1;
    const std::string& alphabet = alphabets[pick(4)];
    std::string text(pick(300), ' ');
    for (char& c : text) c = alphabet[pick(static_cast<uint32_t>(alphabet.size()))];

    RequiredLiteral literal{};
    literal.fold = fold ? 1 : 0;
    const int32_t count = 1 + static_cast<int32_t>(pick(REQUIRED_LITERAL_ALTERNATIVES));
    std::vector<std::string> literals;
    for (int32_t k = 0; k < count; ++k) {
      std::string bytes(1 + pick(k == 0 && round % 3 == 0 ? 1 : 5), ' ');
      for (char& c : bytes) {
        c = alphabet[pick(static_cast<uint32_t>(alphabet.size()))];
        if (fold) c = static_cast<char>(upperTable[static_cast<uint8_t>(c)]);
      }
      const int32_t length = static_cast<int32_t>(bytes.size());
      const int32_t rare = static_cast<int32_t>(pick(static_cast<uint32_t>(length)));
      if (k == 0) {
        literal.length = length;
        literal.rareIndex = rare;
        std::memcpy(literal.bytes, bytes.data(), bytes.size());
      } else {
        LiteralAlternative& other = literal.others[k - 1];
        other.length = length;
        other.rareIndex = rare;
        std::memcpy(other.bytes, bytes.data(), bytes.size());
      }
      literals.push_back(bytes);
    }
    literal.otherCount = count - 1;

    const size_t from = text.empty() ? 0 : pick(static_cast<uint32_t>(text.size()));
    const size_t end = from + pick(static_cast<uint32_t>(text.size() - from + 1));
    const uint8_t* base = test::bytes(text);
    const uint8_t* at = scanRequiredLiteral(literal, base + from, base + end);
    EXPECT_EQ(at == nullptr ? -1 : at - base, naiveScan(text, from, end, literals, fold))
        << "round " << round;
  }
}

// The literals in a scan far apart: a set one member of which never occurs,
// over a text longer than the first pieces scanned.
TEST(RequiredLiteral, ScanOfASetFindsAFarHit) {
  test::EncodingScope encoding;
  encoding.singleByte();
  Compiled compiled("never|found", 'U');
  ASSERT_EQ(compiled.status(), 0);
  ASSERT_EQ(compiledPattern.requiredLiteral.otherCount, 1);
  for (size_t distance : {0u, 255u, 256u, 1000u, 70000u}) {
    const std::string text = std::string(distance, 'n') + "found" + std::string(10, 'n');
    const uint8_t* base = test::bytes(text);
    const uint8_t* at =
        scanRequiredLiteral(compiledPattern.requiredLiteral, base, base + text.size());
    ASSERT_NE(at, nullptr) << distance;
    EXPECT_EQ(static_cast<size_t>(at - base), distance);
    EXPECT_EQ(scanRequiredLiteral(compiledPattern.requiredLiteral, base, base + distance + 4),
              nullptr);
  }
}

// A random 'U' pattern over the letters a, b, c, with literal runs and
// alternations of them so that the analysis finds literals and sets.
std::string randomPattern(std::mt19937& random, int32_t depth) {
  auto pick = [&random](int32_t n) { return static_cast<int32_t>(random() % n); };
  static const char* const ITEMS[] = {"ab", "ba", "abc", "cab", "a", "b", "[ab]", "[^a]", ".",
                                      "c", "^", "$", "bb"};
  static const char* const QUANTIFIERS[] = {"", "", "", "*", "+", "?", "*?", "{2}", "{0,2}"};
  std::string pattern;
  const int32_t items = 1 + pick(3);
  // Groups take at most '?': loops nested in loops could take exponential
  // time over a line.
  for (int32_t i = 0; i < items; ++i) {
    if (depth > 0 && pick(3) == 0) {
      pattern += '(';
      pattern += randomPattern(random, depth - 1);
      pattern += '|';
      pattern += randomPattern(random, depth - 1);
      pattern += pick(3) == 0 ? ")?" : ")";
    } else {
      pattern += ITEMS[pick(13)];
      pattern += QUANTIFIERS[pick(9)];
    }
  }
  if (depth == 2 && pick(3) == 0) {
    pattern += '|';
    pattern += randomPattern(random, 1);
  }
  return pattern;
}

// The gate only skips lines that cannot hold a match: the file search finds
// the same matches with the required literal as without it.
TEST(RequiredLiteral, TheGateNeverLosesAMatch) {
  test::EncodingScope encoding;
  encoding.singleByte();
  std::mt19937 random(11);
  int32_t gated = 0;
  int32_t sets = 0;
  const std::string filler = std::string(40, 'c') + "\n";
  for (int32_t round = 0; round < 600; ++round) {
    const std::string pattern = randomPattern(random, 2);
    const int32_t ignoreCase = round % 5 == 0 ? 1 : 0;
    Compiled compiled(pattern, 'U', ignoreCase);
    if (compiled.status() != 0) continue;
    // Some texts cross the 65536-byte window of the file search.
    std::string text;
    if (round % 10 == 0) {
      while (text.size() < 65500) text += filler;
    }
    const int32_t length = 1 + static_cast<int32_t>(random() % 400);
    for (int32_t i = 0; i < length; ++i) text += "abc\nAB"[random() % (ignoreCase ? 6 : 4)];

    const RequiredLiteral literal = compiledPattern.requiredLiteral;
    if (literal.length > 0 && literal.singleLine) ++gated;
    if (literal.otherCount > 0) ++sets;
    const std::vector<Match> withGate = findAllInFile(text);
    compiledPattern.requiredLiteral.length = 0;
    const std::vector<Match> withoutGate = findAllInFile(text);
    compiledPattern.requiredLiteral = literal;
    EXPECT_EQ(withGate, withoutGate) << pattern << " ignore case " << ignoreCase;
  }
  // The patterns exercise the gate, with single literals and with sets.
  EXPECT_GT(gated, 150);
  EXPECT_GT(sets, 20);
}

}  // namespace
