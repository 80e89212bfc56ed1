// Tests of the required literal: which literal (or set of literals) the
// analysis finds in compiled programs, the scan against a naive search on
// random data, and the gate of the file search, which must never lose a match.
#include <random>

#include "pattern/required_literal.h"
#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::findAllInFile;
using regex_test::findAllInMemory;
using regex_test::Match;

using Compiled = regex_test::CompiledScope;

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
      {'U', "a[bc]d", 0, {"d"}, false, true},  // the rarer of two runs of one length
      {'U', "[A-Z]+_SUSPEND", 0, {"_SUSPEND"}, false, true},
      {'U', "^#define", 0, {"#define"}, false, true},
      {'U', "unicode[a-z]*", 1, {"UNICODE"}, true, true},
      {'R', "{Py}[A-Z]@_", 0, {"Py"}, false, true},
      {'U', "a?bc|bcd", 0, {"bc", "bcd"}, false, true},
      // No single literal of two bytes: one literal per branch.
      {'U', "PM_RESUME|PM_SUSPEND", 0, {"PM_RESUME", "PM_SUSPEND"}, false, true},
      // A branch's literal runs on where the branches join.
      {'U', "(foo|ba)x", 0, {"foox", "bax"}, false, true},
      {'U', "(struct|union) [a-z_]+ \\{", 0, {"struct ", "union "}, false, true},
      {'U', "(ab|cd)(ef|gh)", 0, {"ab", "cd"}, false, true},
      {'U', "Get|Set|Put", 1, {"GET", "SET", "PUT"}, true, true},
      {'U', "((bc|de)x|fg)", 0, {"bcx", "dex", "fg"}, false, true},
      // A run that ends where the program divides goes on into each way,
      // keeping its last bytes: "abab..." alone occurs all over a text of ab.
      {'U', "xyzab(c|d)", 0, {"xyzabc", "xyzabd"}, false, true},
      {'U', "abababababababababababababababababab(cd|e)", 0,
       {"abababababababababababababababcd", "abababababababababababababababe"}, false, true},
      {'U', "ab(c|d)+", 0, {"abc", "abd"}, false, true},
      // A branch without a literal of two bytes, or too many branches.
      {'U', "(foo|b)[xy]z", 0, {"z"}, false, true},
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
  // A search text of hundreds of characters, periodic here, has its literal
  // too: the one that holds the rare final byte, not one of the periodic runs.
  std::string periodic;
  for (int i = 0; i < 300; ++i) periodic += "ab";
  Compiled longText((periodic + "c").c_str(), 'U', 0);
  EXPECT_EQ(literalsOf(compiledPattern.requiredLiteral),
            std::vector<std::string>{periodic.substr(1, 31) + "c"});
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
    std::string text(pick(round % 4 < 2 ? 300 : 1200), ' ');
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
    // Half the rounds take the vectorised search, half the byte-by-byte one.
    if (round % 4 >= 2) {
      const uint8_t* members[REQUIRED_LITERAL_ALTERNATIVES];
      int32_t lengths[REQUIRED_LITERAL_ALTERNATIVES];
      for (int32_t k = 0; k < count; ++k) {
        members[k] = test::bytes(literals[k]);
        lengths[k] = static_cast<int32_t>(literals[k].size());
      }
      prepareLiteralSet(members, lengths, count, fold, &literal.set);
    }

    const size_t from = text.empty() ? 0 : pick(static_cast<uint32_t>(text.size()));
    const size_t end = from + pick(static_cast<uint32_t>(text.size() - from + 1));
    const uint8_t* base = test::bytes(text);
    const uint8_t* at = scanRequiredLiteral(literal, base + from, base + end);
    EXPECT_EQ(at == nullptr ? -1 : at - base, naiveScan(text, from, end, literals, fold))
        << "round " << round;
  }
}

// Each literal of a set placed at every offset of a text, against every
// alignment of the start: the vectorised search finds it there, not one byte
// before its end, and not after it. The fillers make the probes agree without
// a whole literal (near misses) or never.
TEST(LiteralSetSearch, FindsEachLiteralAtEveryAlignment) {
  test::EncodingScope encoding;
  encoding.singleByte();
  const struct {
    std::vector<std::string> literals;  // upper-cased when folded
    bool fold;
    std::string text[2];  // the literals as they stand in the text
  } cases[] = {
      {{"x"}, false, {"x"}},
      {{"_SUSPEND"}, false, {"_SUSPEND"}},
      {{"struct ", "union "}, false, {"struct ", "union "}},
      {{"MAX_"}, true, {"max_"}},
      {{"GET", "SET", "PUT", "DEL"}, true, {"gEt", "Del"}},
      {{"abc", "bcd"}, false, {"abc", "bcd"}},
      {{"ab", "cd", "ef"}, false, {"ab", "ef"}},
      {{"printf(", "strcpy", "memset", "->next"}, false, {"strcpy", "->next"}},
      {{"0123456789abcdefghijklmnopqrstuv"}, false, {"0123456789abcdefghijklmnopqrstuv"}},
  };
  for (const auto& c : cases) {
    std::vector<const uint8_t*> members;
    std::vector<int32_t> lengths;
    for (const std::string& literal : c.literals) {
      members.push_back(test::bytes(literal));
      lengths.push_back(static_cast<int32_t>(literal.size()));
    }
    LiteralSet set;
    ASSERT_TRUE(prepareLiteralSet(members.data(), lengths.data(),
                                  static_cast<int32_t>(members.size()), c.fold, &set));
    for (const std::string& placed : c.text) {
      if (placed.empty()) continue;
      // A near miss: the literal with its last byte changed, over and over.
      std::string nearMiss = placed;
      nearMiss.back() = '-';
      for (const std::string& unit : {std::string("-"), nearMiss}) {
        std::string filler;
        while (filler.size() < 240) filler += unit;
        for (size_t offset = 0; offset + placed.size() <= 200; ++offset) {
          std::string text = filler;
          text.replace(offset, placed.size(), placed);
          const uint8_t* base = test::bytes(text);
          const uint8_t* end = base + text.size();
          for (size_t from = 0; from <= offset && from < 40; from += 1 + from / 8) {
            ASSERT_EQ(findLiteralSet(set, base + from, end), base + offset)
                << placed << " at " << offset << " from " << from;
          }
          // Not when the range ends one byte short, even where the bytes after
          // it may be read.
          EXPECT_EQ(findLiteralSet(set, base, base + offset + placed.size() - 1, end), nullptr)
              << placed << " at " << offset;
          EXPECT_EQ(findLiteralSet(set, base + offset + 1, end), nullptr) << placed << " at " << offset;
        }
      }
    }
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

// Lines longer than the file search's window of 65536 bytes: the gate reads
// on through the line for the literal, across window boundaries, and finds
// what the search without it finds, a literal cut by a boundary included.
TEST(RequiredLiteral, TheGateFollowsLinesAcrossWindows) {
  test::EncodingScope encoding;
  encoding.singleByte();
  constexpr size_t WINDOW = 65536;
  const std::string run(3 * WINDOW, 'x');
  const struct {
    size_t before;    // bytes of the long line before the literal
    const char* hit;  // the literal with the bytes the pattern wants before it
    size_t after;     // bytes of the line after it
  } cases[] = {
      {WINDOW + 100, "", 0},  // no literal: the line is passed whole
      {2 * WINDOW + 7, "", 5},
      // The literal "_alloc" starts `before` + 10 bytes into the text: here
      // across the first boundary, or just before or after it.
      {WINDOW - 13, "ab_alloc", 200},
      {WINDOW - 11, "ab_alloc", 0},
      {WINDOW - 16, "ab_alloc", 9},
      {WINDOW - 10, "ab_alloc", 9},
      {2 * WINDOW - 12, "ab_free", 40000},  // the second literal across the second boundary
      {WINDOW * 2 + 300, "ab_alloc", 100},
      {10, "ab_alloc", 2 * WINDOW},  // the literal before the line runs on
  };
  Compiled compiled("[a-z]+_alloc|[a-z]+_free", 'U');
  ASSERT_EQ(compiled.status(), 0);
  ASSERT_EQ(compiledPattern.requiredLiteral.otherCount, 1);
  for (const auto& c : cases) {
    const std::string text = "y_free\n" + run.substr(0, c.before) + " " + c.hit +
                             run.substr(0, c.after) + "\nz_alloc\n";
    const RequiredLiteral literal = compiledPattern.requiredLiteral;
    const std::vector<Match> withGate = findAllInFile(text);
    compiledPattern.requiredLiteral.length = 0;
    const std::vector<Match> withoutGate = findAllInFile(text);
    compiledPattern.requiredLiteral = literal;
    EXPECT_EQ(withGate, withoutGate) << c.before << " " << c.hit;
    EXPECT_EQ(withGate.size(), c.hit[0] != 0 ? 3u : 2u) << c.before << " " << c.hit;
  }
}

// In UTF-8 text the gate (file) and the byte scans for first characters
// (file and string) find what a search without them finds, every character
// start tried as the matcher decodes it, in valid and invalid bytes, with and
// without ignoring case. The plain search puts the pattern behind an empty
// alternation, which leaves it no first character or literal.
TEST(RequiredLiteral, Utf8FastPathsAgreeWithThePlainSearch) {
  const char* const patterns[] = {
      "[A-Z]+_s[a-z]*", "k[a-z]+", "\xC5\xBF[a-z]", "\xE2\x84\xAAx|\xC3\xA4x",
      "[\xC3\xA4\xC3\xA9]+_", "[^a-z]x", ".x", "x[^\xC3\xA4]k", "[^\xC2\x80-\xF4\x8F\xBF\xBF]x",
      "\xE6\x97\xA5s?", "(ab|sk)_K", "[ak]+s", "\xD0\xAF\xD0\x9D[\xD1\x8C\xD0\xAF]"};
  const char* const pieces[] = {
      "a", "b", "k", "s", "x", "_", "S", "K", "A", "\xC3\xA4", "\xC3\x84", "\xC3\xA9",
      "\xC5\xBF", "\xE2\x84\xAA", "\xE6\x97\xA5", "\n", "\r\n", " ", "\xC3", "\x84",
      "\xFF", "\xE2\x84", "\xF0\x9F\x98", "\xD0\xAF", "\xD1\x8F\xD0\xBD", "\xD0\x9D"};
  constexpr int32_t PATTERNS = sizeof patterns / sizeof patterns[0];
  constexpr int32_t PIECES = sizeof pieces / sizeof pieces[0];
  std::mt19937 random(15);
  for (int32_t round = 0; round < 260; ++round) {
    const std::string pattern = patterns[round % PATTERNS];
    const int32_t ignoreCase = (round / PATTERNS) % 2;
    // Some texts have a character across the file search's 65536-byte window,
    // or cut one or two bytes before it.
    std::string text;
    if (round % 5 == 1) text = std::string(65533 + round % 3, 'b') + pieces[9 + round % 6];
    if (round % 10 == 6) text = std::string(65533 + round % 3, 'b') + pieces[23 + round % 3];
    for (int32_t i = random() % 120; i >= 0; --i) text += pieces[random() % PIECES];
    Compiled plain("(?:|)" + pattern, 'U', ignoreCase, ENCODING_UTF8);
    ASSERT_EQ(plain.status(), 0) << pattern;
    compiledPattern.firstCharValid = 0;
    compiledPattern.requiredLiteral.length = 0;
    const std::vector<Match> inFile = findAllInFile(text, 0, ENCODING_UTF8);
    const std::vector<Match> inMemory = findAllInMemory(text, ENCODING_UTF8);
    Compiled fast(pattern, 'U', ignoreCase, ENCODING_UTF8);
    EXPECT_EQ(findAllInFile(text, 0, ENCODING_UTF8), inFile) << pattern << " case " << ignoreCase;
    EXPECT_EQ(findAllInMemory(text, ENCODING_UTF8), inMemory) << pattern << " case " << ignoreCase;
  }
}

}  // namespace
