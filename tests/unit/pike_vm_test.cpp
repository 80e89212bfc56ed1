// Tests of the linear engines, the Pike VM and the memoizing backtracker:
// their work grows with the text and not faster, on the shapes that take the
// backtracker exponential or quadratic time; and they report what the plain
// backtracker reports, on random programs of the three dialects, in memory,
// over a file by lines and by records, the memo also in double-byte and
// UTF-8 text.
//
// PIKE_AGREEMENT_ROUNDS=n runs n random programs instead of the seeded
// slice, and PIKE_AGREEMENT_SEED=s starts from another seed.
#include "pattern/pike_vm.h"

#include "pattern/backtrack_memo.h"
#include "pattern/body_backward.h"
#include "pattern/matcher.h"
#include "support/memory_pool.h"

#include <cstdlib>
#include <cstring>
#include <random>

#include "tests/unit/regex_test_support.h"

namespace {

using regex_test::compile;

using regex_test::Match;

// Every match the way the driver walks the text: the next search starts
// after the cursor mark when the match set one, else after the match, and
// one byte on after an empty one.
struct Report {
  int64_t start;
  int32_t length;
  int32_t mark;
  uint32_t groups;
  std::vector<int32_t> spans;  // start and end of each group with a bit in `groups`
  bool operator==(const Report& other) const {
    return start == other.start && length == other.length && mark == other.mark &&
           groups == other.groups && spans == other.spans;
  }
};

std::ostream& operator<<(std::ostream& out, const Report& r) {
  out << "{" << r.start << "," << r.length << " mark " << r.mark << " groups " << r.groups;
  for (int32_t v : r.spans) out << " " << v;
  return out << "}";
}

Report reportOf(int64_t start) {
  Report r{start,
           compiledPattern.matchLength,
           compiledPattern.cursorMark,
           compiledPattern.groupMask,
           {}};
  for (int32_t g = 0; g < CAPTURE_GROUPS; ++g) {
    if ((r.groups >> g) & 1u) {
      r.spans.push_back(compiledPattern.groupSpans[g][0]);
      r.spans.push_back(compiledPattern.groupSpans[g][1]);
    }
  }
  return r;
}

int64_t advanceAfter(const Report& r) {
  const int64_t advance = r.mark != 0 ? r.mark - 1 : r.length;
  return advance > 0 ? advance : 1;
}

std::vector<Report> reportsInMemory(const std::string& text, int32_t mode = 0) {
  std::vector<Report> found;
  int64_t start = 1;
  while (start <= static_cast<int64_t>(text.size()) + 1) {
    const int32_t at = FindRegexInMemory(static_cast<int32_t>(start), nullptr, 0, test::bytes(text),
                                         static_cast<int32_t>(text.size()), mode);
    if (at == 0) break;
    found.push_back(reportOf(at - 1));
    start = at + advanceAfter(found.back());
  }
  return found;
}

std::vector<Report> reportsInFile(const std::string& content, int32_t recordLength,
                                  int32_t mode = 0) {
  std::vector<Report> found;
  const int64_t size = static_cast<int64_t>(content.size());
  regex_test::walkMatchesInFile(content, recordLength, mode, nullptr, [&found, size](int64_t offset) {
    found.push_back(reportOf(offset));
    // Each report moves the walk on: more than a report a byte is a search
    // that keeps finding the same match, and the walk is ended past the end.
    if (static_cast<int64_t>(found.size()) > size + 1) {
      ADD_FAILURE() << "more reports than bytes, the last at " << offset;
      return size + 1;
    }
    return advanceAfter(found.back());
  });
  return found;
}


// ---------------------------------------------------------------------------
// Work against text length

// N in a first match's start or length stands for the text length n.
constexpr int64_t N = int64_t{1} << 40;

struct GrowthCase {
  const char* pattern;
  // The text of n bytes of `unit` repeated, then `matchTail` or `otherTail`
  // (after `matchHead` with a match), and the first match in it; none
  // without a match.
  const char* unit;
  const char* matchTail;
  const char* otherTail;
  int64_t start;
  int64_t length;
  // The engine that runs it from the start, and the character mode.
  RegexEngine engine = REGEX_ENGINE_PIKE;
  int32_t mode = 0;
  // Every match, each found by a search of its own over a file, as the
  // driver walks a file, and how many there are (every `walk` bytes one);
  // else the first in memory.
  int64_t walk = 0;
  const char* matchHead = "";
};

std::string run(char c, int64_t n) { return std::string(static_cast<size_t>(n), c); }

std::string repeated(const std::string& piece, int64_t n) {
  std::string text;
  while (static_cast<int64_t>(text.size()) < n) text += piece;
  return text;
}

TEST(PikeVm, WorkGrowsWithTheTextAndNoFaster) {
  const RegexEngine MEMO = REGEX_ENGINE_MEMO;
  const RegexEngine PIKE = REGEX_ENGINE_PIKE;
  const GrowthCase cases[] = {
      {"a*b", "a", "b", "", 0, N + 1},
      {"[A-Za-z0-9]+_",
       "QGtFVhZ2c2VkUVpWawVESPRVZq9HRJ51WklmdDhUUYNGbzJ0TSdmatJURMFlYnxX", "_", "", 0, N + 1},
      // Every a or b is a match: the text without one is the same.
      {"(a|b)+", "ab", "", "", 0, N},
      {"(a*)*b", "a", "cb", "c", N + 1, 1},
      {"(x+x+)+y", "x", "y", "", 0, N + 1},
      {"(a|aa)*c", "a", "c", "", 0, N + 1},
      {"(.*,){12}X", "a,", "X", "", 0, N + 1},
      {"(a|a){1,30}b", "a", "b", "", N - 30, 31},
      {"(a{1,5}){1,20}b", "a", "b", "", N - 100, 101},
      // Look-ahead, and text of several bytes a character: the memo.
      {"(a*)*(?!b)c", "a", "c", "b", 0, N + 1, MEMO},
      {"(x+x+)+(?!x)y", "x", "y", "", 0, N + 1, MEMO},
      {"(?!x)a[a-z]*_", "a", "_", "", 0, N + 1, MEMO},
      {"(é|éé)*(?!x)c", "é", "c", "", 0, N + 1, MEMO, 2},
      // Text of several bytes a character on the VM.
      {"(é|éé)*c", "é", "c", "", 0, N + 1, PIKE, 2},
      {"(.|..)*c", "\x81" "a", "c", "", 0, N + 1, PIKE, 1},
      {"(.|..)*(?!x)c", "\x81" "a", "c", "", 0, N + 1, MEMO, 1},
      // Look-ahead of a short body on the VM, a group in the loop after it;
      // the body read straight, and run by the backtracker over characters
      // of several bytes.
      {"(?!x)(ab)*c", "ab", "c", "", 0, N + 1},
      {"(?!x)(a|b)*c", "ab", "c", "", 0, N + 1},
      {"(é|éé)*(?!é?x)c", "é", "c", "", 0, N + 1, PIKE, 2},
      {"(.|..)*(?!x)c", "\x81" "a", "c", "", 0, N + 1, PIKE, 1},
      // Look-ahead bodies with open loops, on both engines, answered from
      // what the body found at earlier positions: a y at the end makes
      // every body match; one nested in another.
      {"a(?!.*y)", "a", "yab", "y", N + 1, 1},
      {"a(?!.*y)", "a", "yab", "y", N + 1, 1, MEMO},
      {"(a|aa)*(?!.*y)c", "a", "c", "cy", 0, N + 1},
      {"(a|aa)*(?!.*y)c", "a", "c", "cy", 0, N + 1, MEMO},
      {"a(?!(?!.*x).*y)", "a", "y", "y", 0, 1, PIKE, 0, false, "ax"},
      // Every a a match, each search starting after the last match: what
      // the bodies found, and the backtracker's budget, go on from one
      // search to the next over the same file.
      {"a(?!.*y)", "a", "bc", "y", 0, 1, PIKE, 0, 1},
      {"a(?!.*y)", "a", "bc", "y", 0, 1, MEMO, 0, 1},
      {"a(?!.*y)", "a", "bc", "y", 0, 1, REGEX_ENGINE_AUTO, 0, 1},
      // Bodies whose loop is a group: each body read to the line's end,
      // failing there (every b a match; the b at the end) or matching there
      // (none). The states of a body's loops are kept across its runs.
      {"b(?!(ab)*c)", "ab", "", "c", 1, 1, PIKE, 0, 2},
      {"b(?!(a|b)*c)", "ab", "", "c", 1, 1, PIKE, 0, 2},
      {"(?!(ba)*c)b$", "ab", "", "ac", N - 1, 1},
      {"(?!(ba|ab)*c)b$", "ab", "", "ac", N - 1, 1},
      {"(?!(ba){2,}c)b$", "ab", "", "ac", N - 1, 1},
      {"(?!((ba)+,?)*c)b$", "ab", "", "ac", N - 1, 1},
  };
  const int64_t SIZES[] = {1000, 10000, 100000};
  // The engine's own work, so every search runs on it from the start (an
  // ordinary search begins on the backtracker and hands over when an attempt
  // runs long; the end-to-end rows time that on long lines).
  test::EncodingScope encoding;
  encoding.doubleByte();
  for (const GrowthCase& c : cases) {
    ASSERT_EQ(compile(c.pattern, 'U', 0, c.mode), 0) << c.pattern;
    for (const bool match : {false, true}) {
      int64_t steps[3] = {};
      for (int32_t k = 0; k < 3; ++k) {
        const int64_t n = SIZES[k];
        // Each walk starts on the engine chosen, not on one handed over to.
        setRegexEngine(c.engine);
        const std::string text = (match ? c.matchHead : "") + repeated(c.unit, n).substr(0, n) +
                                 (match ? c.matchTail : c.otherTail);
        const auto ofN = [n](int64_t value) { return value >= N / 2 ? value - N + n : value; };
        clearPikeVmSteps();
        clearMemoSteps();
        const std::vector<Report> found =
            c.walk != 0 ? reportsInFile(text, 0, c.mode) : reportsInMemory(text, c.mode);
        // The VM's bodies with open loops run on the memo.
        steps[k] = pikeVmSteps() + memoSteps();
        const std::string what = std::string(c.pattern) + (match ? " with" : " without") +
                                 " a match over " + std::to_string(n);
        ASSERT_GT(c.engine == REGEX_ENGINE_MEMO ? memoSteps() : pikeVmSteps(), 0)
            << what << ": not run by the engine";
        if (c.walk != 0) {
          EXPECT_EQ(static_cast<int64_t>(found.size()), match ? n / c.walk : 0) << what;
        }
        if (match) {
          ASSERT_FALSE(found.empty()) << what;
          EXPECT_EQ(Match({found[0].start, found[0].length}),
                    Match({ofN(c.start), static_cast<int32_t>(ofN(c.length))}))
              << what;
        } else if (std::string(c.pattern) != "(a|b)+") {
          EXPECT_TRUE(found.empty()) << what;
        }
      }
      // Ten times the text may cost ten times the work, and a little for the
      // start (a body read to the line's end in runs of its own, whose share
      // of the work grows up to some thousand bytes); a search that read the
      // text once per start would cost a hundred times as much.
      EXPECT_LE(steps[1], 12 * steps[0] + 1000) << c.pattern << (match ? " with" : " without");
      EXPECT_LE(steps[2], 11 * steps[1] + 1000) << c.pattern << (match ? " with" : " without");
    }
  }
  setRegexEngine(REGEX_ENGINE_AUTO);
  releaseCompiledPattern(&compiledPattern);
}

// Over text that repeats a few bytes the VM passes whole cycles of its
// steps instead of replaying each byte (a list of two threads or more takes
// at least two steps a byte, far past the bounds here), with the
// backtracker's reports: groups, the
// cursor mark, a cycle broken off in the middle, starts kept inside a cycle.
// A body that reads a few bytes is asked over the first cycle only: where
// the bytes it reads repeat the cycle, so do its answers. One read to the
// line's end is asked where its kept answer ends. Over a file, a body
// whose loop is no scan leaves the states it explored, as far as the memo
// keeps them pending, to the next search: the driver starts one after each
// match, here at every b, and a body run to the line's end by each search
// would take 10^7 steps. Programs whose matches end at a line end within a
// bounded length are tried only near line ends.
TEST(PikeVm, RepeatingTextIsPassedCycleByCycle) {
  const std::string ab = repeated("ab", 3000);
  const struct {
    const char* pattern;
    std::string text;
    int64_t stepsAtMost;
    bool inFile = false;
  } cases[] = {
      {"a*b", run('a', 3000) + "b", 600},
      {"(a|b)+", ab, 600},
      {"(a|b)*\\cc", ab + "c", 600},
      {"(ab)+c", ab + "a" + ab + "c", 600},
      {"[ab]*(ab)*c", ab + "ac", 600},
      {"(?!x)(ab)*c", ab + "c", 1200},
      {"(a|aa)*(?!x)c", run('a', 3000) + "c", 1200},
      {"(a|aa)*(?!.*y)c", run('a', 3000) + "c", 7000},
      {"[ab]*(?!(?!.*,).*b)c", ab + "c,b", 7000},
      {"b(?!(ab)*c)", repeated("ab", 6000), 480000, true},
      // A match of these ends at a line end a byte after its start: only
      // the positions next to one are tried, and no body is read across
      // the line (the searches would take 80000 steps and more).
      {"(?!(ba)*c)b$", ab + "\n" + ab, 600, true},
      {"(?!(b|a)*c)b$", ab + "\n" + ab, 600, true},
      {"(?!(ba){2,}c)b$", ab + "\n" + ab, 600, true},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(compile(c.pattern, 'U'), 0) << c.pattern;
    const auto reports = [&c] {
      return c.inFile ? reportsInFile(c.text, 0) : reportsInMemory(c.text);
    };
    setRegexEngine(REGEX_ENGINE_BACKTRACK);
    const std::vector<Report> expected = reports();
    setRegexEngine(REGEX_ENGINE_PIKE);
    clearPikeVmSteps();
    clearMemoSteps();
    EXPECT_EQ(reports(), expected) << c.pattern;
    EXPECT_LE(pikeVmSteps() + memoSteps(), c.stepsAtMost) << c.pattern;
  }
  setRegexEngine(REGEX_ENGINE_AUTO);
  releaseCompiledPattern(&compiledPattern);
}

// A cycle whose steps take no look-ahead answers is passed by comparing the
// text with itself one period back, a block of bytes at a time: wherever
// the repetition breaks (every offset around a block's bounds), the VM
// takes the bytes from there one by one and reports what the backtracker
// reports.
TEST(PikeVm, CyclesEndWhereTheTextStopsRepeating) {
  const char* const patterns[] = {"(a|b)+", "(ab)+c", "[ab]*(ab)*c", "(a|b)+\\cb", "(abc|ab)+"};
  const char* const breaks[] = {"x", "ba", "c", "abc"};
  for (const char* pattern : patterns) {
    ASSERT_EQ(compile(pattern, 'U'), 0) << pattern;
    for (const char* cut : breaks) {
      for (int64_t at = 400; at < 400 + 140; at += 3) {
        const std::string text = repeated("ab", at / 2) + (at % 2 == 1 ? "a" : "") + cut +
                                 repeated("ab", 300) + "c";
        setRegexEngine(REGEX_ENGINE_BACKTRACK);
        const std::vector<Report> expected = reportsInMemory(text);
        setRegexEngine(REGEX_ENGINE_PIKE);
        EXPECT_EQ(reportsInMemory(text), expected) << pattern << " broken by " << cut << " at " << at;
      }
    }
  }
  setRegexEngine(REGEX_ENGINE_AUTO);
  releaseCompiledPattern(&compiledPattern);
}

// Memory stays the program's on a long match: an attempt of the backtracker
// hands over before its stack holds a frame per loop pass, and look-ahead
// runs on the VM, which holds none, and a body read to the line's end has
// the states deep in its loop answered first. The stack may not grow past
// 4096 frames here, where a frame per pass would take 200000.
TEST(PikeVm, LongMatchesKeepTheStackSmall) {
  setRegexEngine(REGEX_ENGINE_AUTO);
  memFree(matcher.stack);
  matcher.stack = nullptr;
  matcher.capacity = 0;
  matcher.stackLimit = 4096;
  const std::string text = repeated("ab", 200000) + "c";
  const struct {
    const char* pattern;
    int32_t length;
  } cases[] = {{"(a|b)+", 200000},      {"(?!x)(ab)*c", 200001}, {"(?!x)(a|b)*c", 200001},
               {"^(?!(ab)*d)a", 1},     {"^(?!(a|b)*d)ab", 2}};
  // No ASSERT here: the limit must be lifted again for the tests after.
  for (const auto& c : cases) {
    EXPECT_EQ(compile(c.pattern, 'U'), 0) << c.pattern;
    const std::vector<Report> found = reportsInMemory(text);
    EXPECT_EQ(found.empty() ? Match({-1, 0}) : Match({found[0].start, found[0].length}),
              Match({0, c.length}))
        << c.pattern;
  }
  matcher.stackLimit = 0;
  releaseCompiledPattern(&compiledPattern);
}

// The engine of each program: the backtracker for what the Pike VM cannot
// run (look-ahead, back-references, counted loops with more states than its
// bound, a program compiled for another character mode than the text's) and
// for what it runs in linear time itself (no loop but a fixed count or a run
// to the end, few alternatives).
TEST(PikeVm, TakesTheProgramsTheBacktrackerCouldTakeLongOver) {
  const struct {
    const char* pattern;
    int32_t charMode;
    bool taken;
  } cases[] = {
      {"a(?!b)", 0, false},
      {"(a)\\1", 0, false},
      {"(a{1,300}){1,300}b", 0, false},
      {"(ab|a)*c", 1, true},
      {"(ab|a)*c", 2, false},
      {"^#define", 0, false},
      {"PM_RESUME|PM_SUSPEND", 0, false},
      {"unicode[a-z]*", 0, false},
      {"[0-9]{4}-[0-9]{2}", 0, false},
      {"(a|b|c|d|e|f)x", 0, true},
      {"[A-Z]+_SUSPEND", 0, true},
      {"a{1,1000}b", 0, true},
      {"(ab|a)*c", 0, true},
      {"a{100}", 0, true},
      {"a*?", 0, true},
  };
  setRegexEngine(REGEX_ENGINE_AUTO);
  for (const auto& c : cases) {
    ASSERT_EQ(compile(c.pattern, 'U'), 0) << c.pattern;
    const std::string text = "xaababcA_SUSPEND#define";
    const TextSource saved = textSource;
    textSource.charMode = c.charMode;
    EXPECT_EQ(pikeVmTakesProgram(), c.taken) << c.pattern << " in mode " << c.charMode;
    textSource = saved;
    clearPikeVmSteps();
    const int32_t at = FindRegexInMemory(1, nullptr, 0, test::bytes(text),
                                         static_cast<int32_t>(text.size()), c.charMode);
    // On a short text every attempt of the backtracker ends soon: the VM,
    // slower there, is not called in.
    EXPECT_EQ(pikeVmSteps(), 0) << c.pattern << " in mode " << c.charMode;
    setRegexEngine(REGEX_ENGINE_BACKTRACK);
    EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes(text), static_cast<int32_t>(text.size()),
                                c.charMode),
              at)
        << c.pattern;
    setRegexEngine(REGEX_ENGINE_AUTO);
  }
  // A compiled program's analysis is known again by the compiler's number;
  // programs put in place otherwise have none and are compared slot by slot:
  // two of the same length after a compiled one are told apart.
  ASSERT_EQ(compile("(ab|a)*c", 'U'), 0);
  EXPECT_TRUE(pikeVmTakesProgram());
  for (const bool backReference : {false, true, false}) {
    regex_test::InstalledProgram installed(
        (backReference ? regex_test::ProgramBuilder().op(OP_BACKREF, 1)
                       : regex_test::ProgramBuilder().chr('a'))
            .match()
            .build());
    const regex_test::EngineScope pike(REGEX_ENGINE_PIKE);
    EXPECT_EQ(pikeVmTakesProgram(), !backReference);
  }
  // An attempt that runs long hands the search over to the VM, from its
  // start on, with the backtracker's answer; a program that went over stays
  // with the VM for the next search.
  for (const char* text : {"c", "b"}) {
    ASSERT_EQ(compile("(a|aa)*c", 'U'), 0);
    const std::string line = std::string(100000, 'a') + text;
    clearPikeVmSteps();
    EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes(line), static_cast<int32_t>(line.size()), 0),
              text[0] == 'c' ? 1 : 0);
    EXPECT_GT(pikeVmSteps(), 0);
    clearPikeVmSteps();
    EXPECT_EQ(FindRegexInMemory(1, nullptr, 0, test::bytes("xac"), 3, 0), 2);
    EXPECT_GT(pikeVmSteps(), 0);
  }
  releaseCompiledPattern(&compiledPattern);
}

// ---------------------------------------------------------------------------
// Agreement with the backtracker

std::string pick(std::mt19937& random, const std::vector<std::string>& choices) {
  return choices[random() % choices.size()];
}

// A random pattern of `syntax` over the letters a, b, A (so that ignoring
// case matters) and the line ends.
std::string randomPattern(std::mt19937& random, char syntax, int32_t depth) {
  static const std::vector<std::string> U_ITEMS = {
      "a", "b", "A", ".", "[ab]", "[^a]", "\\n", "x", "^", "$", "\\c", "\\om", "\\ol", ",", "(?!a)", "é",
      "(?!ab|b)", "(?!a?b)", "(?![ab]{2}x)", "(?!.*x)", "(?!a*[b,])", "(?!(?!.*,)[ab]*b)",
      "(?!(ab)*x)", "(?!(a|b)+,)", "(?!(a|ab){2,}b)", "(?!(a(?!.*x)|b)*$)"};
  static const std::vector<std::string> U_LOOPS = {
      "", "", "", "*", "+", "?", "*?", "+?", "??", "{2}", "{1,3}", "{0,2}?", "{2,}", "{,2}"};
  static const std::vector<std::string> R_ITEMS = {"a", "b",   "A",   "?",   "[ab]", "[~a]", "\\n",
                                                   "x", "^",   "$",   "\\c", "\\om", ",",    "~b"};
  static const std::vector<std::string> R_LOOPS = {"",  "",   "",     "*",     "+",   "@",
                                                   "#", ":2", ":1,3", ":*0,2", ":2,", ":*1,"};
  static const std::vector<std::string> B_ITEMS = {"a", "b", "A", "?", "[ab]", "[~a]",
                                                   "*", "x", "<", ">", "\\c",  ","};
  static const std::vector<std::string> B_LOOPS = {
      "", "", "", "+", "@", "\\:2", "\\:1,3", "\\:0,2?", "\\:*", "\\:+", "\\:@"};
  const std::vector<std::string>& items = syntax == 'U'   ? U_ITEMS
                                          : syntax == 'R' ? R_ITEMS
                                                          : B_ITEMS;
  const std::vector<std::string>& loops = syntax == 'U'   ? U_LOOPS
                                          : syntax == 'R' ? R_LOOPS
                                                          : B_LOOPS;
  const std::string open = syntax == 'U' ? "(" : "{";
  const std::string close = syntax == 'U' ? ")" : "}";
  std::string pattern;
  const int32_t count = 1 + static_cast<int32_t>(random() % 3);
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t kind = random() % (depth > 0 ? 10 : 7);
    if (kind < 7) {
      pattern += pick(random, items);
    } else if (kind == 7) {
      pattern += open + randomPattern(random, syntax, depth - 1) + close;
    } else if (kind == 8 && syntax != 'B') {
      pattern += (syntax == 'U' ? "(?:" : "(") + randomPattern(random, syntax, depth - 1) + ")";
    } else {
      pattern += open + randomPattern(random, syntax, depth - 1) + "|" +
                 randomPattern(random, syntax, depth - 1) + close;
    }
    const std::string& last = pattern;
    if (!last.empty() && last.back() != '^' && last.back() != '<') pattern += pick(random, loops);
  }
  return pattern;
}

std::string randomText(std::mt19937& random) {
  static const std::vector<std::string> PIECES = {"a", "a",  "b",    "b",  "A",  "x",  ",",
                                                  "\n", "\r\n", "\r", "ab", "aa", "é", "\x81" "a"};
  std::string text;
  const int32_t pieces = static_cast<int32_t>(random() % 14);
  for (int32_t i = 0; i < pieces; ++i) text += pick(random, PIECES);
  return text;
}

size_t textBytesUnderLoops(const std::string& pattern) {
  int32_t loops = 0;
  for (const char c : pattern) loops += std::strchr("*+@#:{", c) != nullptr ? 1 : 0;
  return loops <= 1 ? 32 : loops == 2 ? 16 : loops == 3 ? 10 : 7;
}

// Whether no item of the pattern matches the letter z or a line end.
bool leavesFillerAlone(const std::string& pattern, char syntax) {
  const std::vector<std::string> any = syntax == 'U'   ? std::vector<std::string>{".", "[^", "\\n"}
                                       : syntax == 'R' ? std::vector<std::string>{"?", "[~", "\\n"}
                                                       : std::vector<std::string>{"?", "[~", "*"};
  for (const std::string& item : any) {
    if (pattern.find(item) != std::string::npos) return false;
  }
  return true;
}

uint32_t environmentNumber(const char* name, uint32_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? static_cast<uint32_t>(std::strtoul(value, nullptr, 10)) : fallback;
}

TEST(PikeVm, ReportsWhatTheBacktrackerReports) {
  const uint32_t rounds = environmentNumber("PIKE_AGREEMENT_ROUNDS", 900);
  std::mt19937 random(environmentNumber("PIKE_AGREEMENT_SEED", 20261207));
  const char SYNTAXES[] = {'U', 'R', 'B'};
  int32_t runByThePikeVm = 0;
  int32_t lookAheadByThePikeVm = 0;
  int32_t runByTheMemo = 0;
  int32_t goalRounds = 0;  // engine runs in which a body's run left for a goal
  int32_t pastBlockRounds = 0;
  int32_t disagreements = 0;
  // Nested loops take the backtracker time exponential in the text: a round
  // whose attempt runs past the bound is not compared.
  int32_t boundedRounds = 0;
  matcher.stepLimit = 1 << 20;
  std::string filler;
  while (filler.size() < 65530) filler += "zzzzzzzzz\n";
  for (uint32_t round = 0; round < rounds && disagreements < 10; ++round) {
    const char syntax = SYNTAXES[round % 3];
    std::string pattern = randomPattern(random, syntax, 2);
    // Now and then an item and a look-ahead first: over the repeated text
    // below, a match every few bytes, each one byte long or a few.
    if (round % 12 == 0) {
      pattern = pick(random, {"a", "b", "[ab]", ".", "b\\c", "(b)"}) +
                pick(random, {"(?!a)", "(?!ab|b)", "(?!a?b)", "(?![ab],)", "(?!(ab)*x)",
                              "(?!a*[b,])"}) +
                (random() % 2 == 0 ? "" : pattern);
    }
    const int32_t ignoreCase = static_cast<int32_t>(random() % 2);
    const int32_t recordLength = random() % 4 == 0 ? 3 + static_cast<int32_t>(random() % 4) : 0;
    // The backtracker takes time exponential in the text under nested
    // loops; the text is cut to keep its answers quick.
    std::string text = randomText(random).substr(0, textBytesUnderLoops(pattern));
    // Every fourth time under one loop at most, a few bytes repeated at
    // length and a short tail: the VM passes cycles of its steps there.
    if (round % 4 == 2 && textBytesUnderLoops(pattern) == 32 && !text.empty()) {
      const std::string unit = text.substr(0, 1 + round / 4 % 4);
      text = repeated(unit, 60 + round % 60) + text.substr(text.size() / 2);
    }
    // Every fourth time the whole text repeated: many short matches a line,
    // each a search of its own from the cache, whose look-ahead answers
    // change from one candidate to the next.
    if (round % 4 == 0 && textBytesUnderLoops(pattern) == 32 && !text.empty()) {
      text = repeated(text, 300);
    }
    if (compile(pattern, syntax, ignoreCase, 0, recordLength) != 0) continue;
    // Now and then the file holds short lines of z first, so that the text
    // straddles the end of the window's first block of 65536 bytes.
    const bool pastBlock = round % 40 == 39 && leavesFillerAlone(pattern, syntax);
    const std::string before = pastBlock ? filler : "";
    pastBlockRounds += pastBlock ? 1 : 0;
    // Else every other time a few lines of z follow, so that the window
    // reaches well past the text: items are read straight from it there.
    const std::string after =
        !pastBlock && round % 2 == 1 && leavesFillerAlone(pattern, syntax) ? filler.substr(0, 200) : "";

    // The Pike VM against the backtracker in single-byte text, then the
    // memo and the VM against the backtracker in the round's character mode
    // (0, then double-byte with the lead bytes 0x81 to 0x9F, then UTF-8).
    const int32_t mode = static_cast<int32_t>(round / 3 % 3);
    test::EncodingScope encoding;
    if (mode == 1) encoding.doubleByte();
    std::vector<Report> answers[5][2];  // by engine: in memory, in a file
    const RegexEngine ENGINES[] = {REGEX_ENGINE_PIKE, REGEX_ENGINE_BACKTRACK, REGEX_ENGINE_MEMO,
                                   REGEX_ENGINE_BACKTRACK, REGEX_ENGINE_PIKE};
    // A body's run for the VM leaves for a run of a state deep in it at
    // a few frames: on these short texts only so is that path taken.
    backtrack_memo::setBodyFrameLimit(round % 2 == 0 ? 2 + static_cast<int32_t>(round / 2 % 5) : 0);
    for (const int32_t engine : {0, 1, 2, 3, 4}) {
      if (engine == 2 && mode != 0 && compile(pattern, syntax, ignoreCase, mode, recordLength) != 0) {
        break;
      }
      std::vector<Report>* into = answers[engine];
      setRegexEngine(ENGINES[engine]);
      clearPikeVmSteps();
      clearMemoSteps();
      const int32_t textMode = engine < 2 ? 0 : mode;
      if (recordLength == 0 && !pastBlock) into[0] = reportsInMemory(text + after, textMode);
      into[1] = reportsInFile(before + text + after, recordLength, textMode);
      if ((engine == 0 || engine == 4) && pikeVmSteps() > 0) {
        ++runByThePikeVm;
        const char* lookAhead = syntax == 'U' ? "(?!" : syntax == 'R' ? "~b" : nullptr;
        if (lookAhead != nullptr && pattern.find(lookAhead) != std::string::npos) {
          ++lookAheadByThePikeVm;
        }
      }
      if (engine == 2 && memoSteps() > 0) ++runByTheMemo;
      goalRounds += memoGoalRuns() > 0 ? 1 : 0;
    }
    setRegexEngine(REGEX_ENGINE_AUTO);
    backtrack_memo::setBodyFrameLimit(0);
    boundedRounds += matcher.stepLimitReached ? 1 : 0;
    if (std::exchange(matcher.stepLimitReached, false)) continue;
    // Each engine against the backtracker in the same character mode.
    for (const auto& [engine, reference] : {std::pair{0, 1}, std::pair{2, 3}, std::pair{4, 3}}) {
      for (const int32_t where : {0, 1}) {
        if (answers[engine][where] == answers[reference][where]) continue;
        ++disagreements;
        ADD_FAILURE() << syntax << " '" << pattern << "'" << (ignoreCase ? " ignoring case" : "")
                      << " record length " << recordLength << " mode " << (engine < 2 ? 0 : mode)
                      << " on " << (pastBlock ? "lines, then " : "")
                      << ::testing::PrintToString(text)
                      << (after.empty() ? "" : " then lines of z")
                      << (where == 0 ? " in memory" : " in a file")
                      << (engine == 2 ? ": memo " : ": Pike VM ")
                      << ::testing::PrintToString(answers[engine][where]) << ", backtracker "
                      << ::testing::PrintToString(answers[reference][where]);
      }
    }
  }
  matcher.stepLimit = 0;
  EXPECT_LT(boundedRounds, static_cast<int32_t>(rounds / 100 + 1));
  // Most random programs are the Pike VM's; the comparison must not pass
  // because the backtracker answered both times.
  EXPECT_GT(runByThePikeVm, static_cast<int32_t>(rounds / 3));
  EXPECT_GT(lookAheadByThePikeVm, static_cast<int32_t>(rounds / 20));
  EXPECT_GT(runByTheMemo, static_cast<int32_t>(rounds / 2));
  EXPECT_GT(goalRounds, static_cast<int32_t>(rounds / 200));
  EXPECT_GT(pastBlockRounds, static_cast<int32_t>(rounds / 200));
  releaseCompiledPattern(&compiledPattern);
}


// Lines where every few bytes are a match, each found by a search of its
// own that the cache's entry and steps replay, often without a list: the
// reports are the backtracker's where the look-ahead answers change from
// one candidate to the next (the replay holds only where they are the ones
// it took), where the match's groups and cursor mark come from the replayed
// operations, where a new thread would start after the byte, and in
// double-byte text where a SET's partial row takes some pairs of a lead
// byte and not others. Lines of 70000 bytes pass the window's and the
// backward pass's blocks.
TEST(PikeVm, ShortSearchesFromTheCacheReportWhatTheBacktrackerReports) {
  const std::string line = repeated("abbab,abab", 70000);
  const std::string pairs = repeated("\x81" "a\x81" "b\x81" "a\x81" "a" "x", 70000);
  const int32_t DB = ENCODING_DOUBLE_BYTE;
  const struct {
    const char* pattern;
    std::string text;
    int32_t mode = 0;
    int32_t recordLength = 0;
  } cases[] = {
      {"b(?!a)", line + "\n" + line},
      {"b(?![ab],)", line + "\r\n" + line},
      {"(?!b,)b", line},
      {"b(?!(ab)*,)", line + "\n" + line},
      {"(b)(?!a)", line},
      {"b\\c(?!b)", line},
      {"(?!(ba)*,)(b|a)", line + "\n" + line},
      {"ab(?!,)|b", line},
      {"b(?!a)", line, 0, 2000},
      {"b(?!(ab)*,)", line, 0, 999},
      {"b(?!a)", line + "é" + line, ENCODING_UTF8},
      {"\\omb(?!(ab)*,)", line + "\n," + line},
      {"[\x81" "a](?!\x81" "b)", pairs, DB},
      {"\x81" "a(?!\x81" "b)", pairs + "\n" + pairs, DB},
      {"[\x81" "ax](?!x)", pairs, DB, 1000},
      // The search after a match starts a few bytes on at the next byte
      // that may begin one, unless it is the trail of a pair.
      {"a(?!x)", repeated("aa\x81" "a", 70000), DB},
  };
  for (const auto& c : cases) {
    test::EncodingScope encoding;
    if (c.mode == DB) encoding.doubleByte();
    ASSERT_EQ(compile(c.pattern, 'U', 0, c.mode, c.recordLength), 0) << c.pattern;
    setRegexEngine(REGEX_ENGINE_BACKTRACK);
    const std::vector<Report> expected = reportsInFile(c.text, c.recordLength, c.mode);
    EXPECT_GT(expected.size(), c.text.size() / 20) << c.pattern;
    setRegexEngine(REGEX_ENGINE_PIKE);
    clearPikeVmSteps();
    EXPECT_EQ(reportsInFile(c.text, c.recordLength, c.mode), expected) << c.pattern;
    EXPECT_GT(pikeVmSteps(), 0) << c.pattern;
  }
  setRegexEngine(REGEX_ENGINE_AUTO);
  releaseCompiledPattern(&compiledPattern);
}

// The search after a match goes to the VM's short run at once, without the
// choice of engine a search begins with: an engine chosen between two
// searches of a walk (as the agreement tests do) must still run the next.
TEST(PikeVm, AnEngineChosenBetweenSearchesRunsTheNext) {
  const std::string line = repeated("ab", 5000);
  ASSERT_EQ(compile("b(?!(ab)*c)", 'U', 0), 0);
  setRegexEngine(REGEX_ENGINE_PIKE);
  int64_t reports = 0;
  int64_t stepsAfterTheSwitch = -1;
  regex_test::walkMatchesInFile(line, 0, 0, nullptr, [&](int64_t) {
    if (++reports == 100) {
      setRegexEngine(REGEX_ENGINE_BACKTRACK);
      clearPikeVmSteps();
    }
    if (reports == 200) stepsAfterTheSwitch = pikeVmSteps();
    return static_cast<int64_t>(compiledPattern.matchLength);
  });
  EXPECT_EQ(reports, 2500);
  EXPECT_EQ(stepsAfterTheSwitch, 0);
  setRegexEngine(REGEX_ENGINE_AUTO);
  releaseCompiledPattern(&compiledPattern);
}

// Answers the VM does not ask the body for are the body's own. A body of a
// few characters has its answers kept by the bytes it reads: here a key of
// 8, 9 and 16 bytes (and 8 characters of 9 bytes in UTF-8 text) meets the
// same bytes but the last, also 15 bytes before the text's end, where fewer
// than 16 are left to load. Over text that repeats a cycle such answers are
// taken from the cycle before, up to where the body would read past the
// repeats: a body of 16 bytes matches 15 bytes before a break, inside the
// cycles passed. And an ANY scan in UTF-8 text passes runs of ASCII bytes
// at once, up to a character of several bytes, the follow's character in
// either case, or the window's last bytes.
TEST(PikeVm, AnswersNotAskedAreTheBodysOwn) {
  const std::string ab = repeated("ab", 600);
  const std::string as = run('a', 300);
  const int32_t UTF8 = ENCODING_UTF8;
  const struct {
    const char* pattern;
    std::string text;
    int32_t mode = 0;
    int32_t ignoreCase = 0;
  } cases[] = {
      {"(?!abcdefgh|z)[a-z]", repeated("abcdefgh", 400) + "abcdefgXabcdefghabcdefgXyyyyyyy"},
      {"(?!abcdefgh|z)[a-z]", repeated("abcdefgh", 400) + "abcdefgXyyyyyyy", UTF8},
      {"(?!abcdefghi|z)[a-z]", repeated("abcdefghi", 450) + "abcdefghXabcdefghiyyyyyyyyyyyyy"},
      {"(?!abcdefghijklmnop|z)[a-z]",
       repeated("abcdefghijklmnop", 800) + "abcdefghijklmnoXabcdefghijklmnopy"},
      {"(?!éabcdefg|z)[a-zé]", repeated("éabcdefg", 450) + "éabcdefXéabcdefgyyyyyyyyyy", UTF8},
      {"((?!babababababababx|z)[ab])*x", ab + "x" + ab},
      {"((?!babababababababx|z)[ab])*x", ab + "x" + ab, UTF8},
      {"((?!bab|z)[ab])*c", ab + "b" + ab + "c"},
      {"(?!foo|bar)(a|b)*c", ab + "fo" + ab + "c" + ab + "bar" + ab + "c"},
      {"a(?!.*y)", as + "é" + as + "y" + as + "yé" + as, UTF8},
      {"a(?!.*y)", as + "y" + run('a', 6) + "y", UTF8},
      {"a(?!.*y)", as + "é" + as + "Y" + run('a', 50), UTF8, 1},
      {"a(?!.*é)", as + "é" + as, UTF8},
      {"a(?!.*[xy])", as + "x" + as + "é" + as + "y" + run('a', 7), UTF8},
      {"(a|aa)*(?!.*y)c", run('a', 16) + "yé" + as + "c" + run('a', 5), UTF8},
      {"a(?!.*$)", as + "é\n" + as, UTF8},
      {"a(?!.*b)..", as + "b" + as, UTF8},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(compile(c.pattern, 'U', c.ignoreCase, c.mode), 0) << c.pattern;
    setRegexEngine(REGEX_ENGINE_BACKTRACK);
    const std::vector<Report> expected = reportsInMemory(c.text, c.mode);
    const std::vector<Report> expectedInFile = reportsInFile(c.text, 0, c.mode);
    setRegexEngine(REGEX_ENGINE_PIKE);
    EXPECT_EQ(reportsInMemory(c.text, c.mode), expected) << c.pattern;
    EXPECT_EQ(reportsInFile(c.text, 0, c.mode), expectedInFile) << c.pattern;
  }
  // Cycles of 1 to 4 bytes broken off by a few others, under a body of up
  // to 16 bytes that reads across the break.
  std::mt19937 random(environmentNumber("PIKE_AGREEMENT_SEED", 20261208));
  const uint32_t rounds = environmentNumber("PIKE_AGREEMENT_ROUNDS", 150);
  for (uint32_t round = 0; round < rounds; ++round) {
    std::string cycle;
    for (uint32_t k = 1 + random() % 4; k > 0; --k) cycle += "ab"[random() % 2];
    std::string text = repeated(cycle, 60 + random() % 60) + "x";
    const size_t broken = text.size();
    for (uint32_t n = random() % 3; n > 0; --n) text += "abx"[random() % 3];
    text += repeated(cycle, 60 + random() % 60);
    text += 'c';
    text += repeated(cycle, 100);
    // The body matches where it starts, in the repeats before the break.
    const size_t length = 1 + random() % 16;
    const std::string body = text.substr(broken - length, length);
    const std::string pattern =
        round % 2 == 0 ? "((?!" + body + "|z)[abx])*c" : "(?!" + body + "|z)[abx]";
    const int32_t mode = round % 3 == 2 ? UTF8 : 0;
    ASSERT_EQ(compile(pattern, 'U', 0, mode), 0) << pattern;
    setRegexEngine(REGEX_ENGINE_BACKTRACK);
    const std::vector<Report> expected = reportsInMemory(text, mode);
    setRegexEngine(REGEX_ENGINE_PIKE);
    EXPECT_EQ(reportsInMemory(text, mode), expected) << pattern << " over " << text;
  }
  setRegexEngine(REGEX_ENGINE_AUTO);
  releaseCompiledPattern(&compiledPattern);
}

// ---------------------------------------------------------------------------
// Look-ahead bodies answered by a backward pass over the line

// A random look-ahead whose body loops over a group or counts its passes,
// with a little before and after it; `nested`, with look-aheads in the body
// too, now and then one more in theirs.
std::string randomGroupLoopLookAhead(std::mt19937& random, bool nested = false) {
  static const std::vector<std::string> PLAIN_PARTS = {
      "a", "b", "A", ".", "[ab]", "[^a]", "$", "^", "\\c", "é", "(?:x|)", "(a|ab)", "(ba)", "(a?b?)",
      "\\n"};
  static const std::vector<std::string> NESTED_PARTS = {
      "a", "b", "[^a]", "$", "(ba)", "(?!x)", "(?!a)", "(?!b$)", "(?!(ab)*c)", "(?![ab]a)",
      "(?!\\c)", "(?!(ba){2,}$)", "(?!é)", "(?!a(?!b))", "(?!(b(?!(ab)*c)a)*$)"};
  const std::vector<std::string>& PARTS = nested ? NESTED_PARTS : PLAIN_PARTS;
  static const std::vector<std::string> LOOPS = {"*", "+", "*?", "{2,}", "{1,3}", "{0,2}", "{3}", "+?"};
  static const std::vector<std::string> OUTER = {"", "", "b", "a", "[^a]", "$", "^", "\\c", "b$", "a?"};
  std::string body;
  const int32_t count = 1 + static_cast<int32_t>(random() % 3);
  // Appended one pick at a time, so that the picks come in one order.
  for (int32_t i = 0; i < count; ++i) {
    if (i > 0 && random() % 2 == 0) {
      body += pick(random, PARTS);
      continue;
    }
    const bool alternatives = random() % 4 == 0;
    body += "(";
    body += pick(random, PARTS);
    if (alternatives) body += "|";
    body += pick(random, PARTS);
    body += ")";
    body += pick(random, LOOPS);
  }
  if (random() % 2 == 0) body += pick(random, {"c", "x", ",", "$", "a", "é", "\\n"});
  std::string pattern = random() % 2 == 0 ? pick(random, OUTER) : "";
  pattern += "(?!";
  pattern += body;
  pattern += ")";
  pattern += pick(random, OUTER);
  return pattern;
}

std::string randomLineText(std::mt19937& random, int32_t pieces) {
  static const std::vector<std::string> PIECES = {
      "ab", "ab", "ba", "a", "b", "A", "x", ",", "c", "\n", "\r\n", "é", "\x81" "a", "abab", "\r",
      "\x81", "\x81\x81" "b", "\x9f\r"};
  std::string text;
  for (int32_t i = 0; i < pieces; ++i) text += pick(random, PIECES);
  return text;
}

// Whether the text holds a carriage return that ends no line.
bool holdsLoneReturn(const std::string& text) {
  for (size_t k = 0; k < text.size(); ++k) {
    if (text[k] == '\r' && (k + 1 == text.size() || text[k + 1] != '\n')) return true;
  }
  return false;
}

// With every stretch of a line taken and blocks of a few bytes, so that the
// checkpoints between blocks take part, the VM reports what the plain
// backtracker reports, by lines and by records, in single-byte, double-byte
// and UTF-8 text, on lines and across them (\om), with look-aheads in the
// bodies and without; now and then after lines of z that
// bring the text across the end of the window's first block, 1 to 12 bytes
// into it: a carriage return that ends no line is a character where the
// matcher reads its window straight and a line end near the window's end.
TEST(PikeVm, BodiesAnsweredBackwardReportWhatTheBacktrackerReports) {
  const uint32_t rounds = environmentNumber("PIKE_AGREEMENT_ROUNDS", 600);
  std::mt19937 random(environmentNumber("PIKE_AGREEMENT_SEED", 20261208));
  matcher.stepLimit = 1 << 20;
  int32_t disagreements = 0;
  int32_t answeredRounds = 0;
  int32_t answeredRecords = 0;
  int32_t answeredLoneReturns = 0;
  int32_t answeredAcrossLines = 0;
  int32_t answeredReadingLineBreaks = 0;  // bodies whose items take line feeds
  int32_t answeredBreaksLoneReturns = 0;  // ... over a carriage return that ends no line
  int32_t answeredBreaksDoubleByte = 0;   // ... in double-byte text
  int32_t answeredNewlines = 0;           // ... where the body takes line ends (\n)
  int32_t answeredNested = 0;
  int32_t boundedRounds = 0;
  std::string filler;
  while (filler.size() < 65520) filler += "zzzzzzzzz\n";
  const int32_t MODES[] = {ENCODING_SINGLE_BYTE, ENCODING_DOUBLE_BYTE, ENCODING_UTF8};
  int32_t answeredDoubleByte = 0;
  for (uint32_t round = 0; round < rounds && disagreements < 10; ++round) {
    // Across lines now and then after the lines of z, whose bodies the
    // backtracker reads to the end of the text from every position.
    const bool acrossLines = round % 4 == 1 || round % 56 == 11;
    std::string pattern = acrossLines ? "\\om" : "";
    const bool nested = round % 3 == 1;
    pattern += randomGroupLoopLookAhead(random, nested);
    const int32_t ignoreCase = static_cast<int32_t>(random() % 2);
    const int32_t mode = MODES[round / 3 % 3];
    test::EncodingScope encoding;
    if (mode == ENCODING_DOUBLE_BYTE) {
      encoding.doubleByte();
      // A character of two bytes in the pattern where the others have é.
      for (size_t at; (at = pattern.find("é")) != std::string::npos;) pattern.replace(at, 2, "\x81" "a");
    }
    const int32_t recordLength = round % 5 == 4 ? 3 + static_cast<int32_t>(random() % 4) : 0;
    const size_t into = 1 + random() % 12;
    std::string text = round % 8 == 3 ? filler + std::string(15 - into, 'z') + "\n" : "";
    const size_t textStart = text.size();
    text += randomLineText(random, 2 + static_cast<int32_t>(random() % 12));
    if (compile(pattern, 'U', ignoreCase, mode, recordLength) != 0) continue;
    setBackwardBodyLimits(1 + random() % 3, 1 + random() % 7);
    setRegexEngine(REGEX_ENGINE_PIKE);
    const int64_t stretches = backwardBodyStretches();
    const int64_t readAcross = backwardBodyStretchesAcrossLines();
    const std::vector<Report> vm = reportsInFile(text, recordLength, mode);
    const bool answered = backwardBodyStretches() > stretches;
    const bool readingLineBreaks = backwardBodyStretchesAcrossLines() > readAcross;
    answeredReadingLineBreaks += readingLineBreaks ? 1 : 0;
    answeredBreaksLoneReturns += readingLineBreaks && holdsLoneReturn(text) ? 1 : 0;
    answeredBreaksDoubleByte += readingLineBreaks && mode == ENCODING_DOUBLE_BYTE ? 1 : 0;
    answeredNewlines += readingLineBreaks && pattern.find("\\n") != std::string::npos ? 1 : 0;
    answeredRounds += answered ? 1 : 0;
    answeredRecords += answered && recordLength > 0 ? 1 : 0;
    answeredLoneReturns += answered && recordLength == 0 && holdsLoneReturn(text) ? 1 : 0;
    answeredAcrossLines += answered && recordLength == 0 && acrossLines ? 1 : 0;
    answeredNested += answered && nested ? 1 : 0;
    answeredDoubleByte += answered && mode == ENCODING_DOUBLE_BYTE ? 1 : 0;
    setRegexEngine(REGEX_ENGINE_BACKTRACK);
    const std::vector<Report> reference = reportsInFile(text, recordLength, mode);
    boundedRounds += matcher.stepLimitReached ? 1 : 0;
    if (std::exchange(matcher.stepLimitReached, false)) continue;
    if (vm == reference) continue;
    ++disagreements;
    ADD_FAILURE() << "'" << pattern << "'" << (ignoreCase ? " ignoring case" : "") << " mode "
                  << mode << " record length " << recordLength << " on "
                  << ::testing::PrintToString(text.substr(textStart))
                  << (textStart > 0 ? " after lines of z to " + std::to_string(textStart) : "")
                  << ": Pike VM "
                  << ::testing::PrintToString(vm) << ", backtracker "
                  << ::testing::PrintToString(reference);
  }
  matcher.stepLimit = 0;
  setBackwardBodyLimits(0, 0);
  setRegexEngine(REGEX_ENGINE_AUTO);
  EXPECT_LT(boundedRounds, static_cast<int32_t>(rounds / 100 + 1));
  // The comparison must not pass because the route declined every body,
  // or every body by records, on a line with a lone carriage return,
  // across lines, with look-aheads inside or in double-byte text.
  EXPECT_GT(answeredRounds, static_cast<int32_t>(rounds / 5));
  EXPECT_GT(answeredRecords, static_cast<int32_t>(rounds / 40));
  EXPECT_GT(answeredLoneReturns, static_cast<int32_t>(rounds / 40));
  EXPECT_GT(answeredAcrossLines, static_cast<int32_t>(rounds / 40));
  EXPECT_GT(answeredReadingLineBreaks, static_cast<int32_t>(rounds / 150));
  EXPECT_GT(answeredBreaksLoneReturns, static_cast<int32_t>(rounds / 100));
  EXPECT_GT(answeredBreaksDoubleByte, static_cast<int32_t>(rounds / 150));
  EXPECT_GT(answeredNewlines, static_cast<int32_t>(rounds / 100));
  EXPECT_GT(answeredNested, static_cast<int32_t>(rounds / 20));
  EXPECT_GT(answeredDoubleByte, static_cast<int32_t>(rounds / 20));
  releaseCompiledPattern(&compiledPattern);
}

// The line of "ab" with the byte in place of each byte at the offsets: by
// default a carriage return that ends no line.
std::string withReturns(std::string line, const std::vector<int64_t>& offsets, char byte = '\r') {
  for (const int64_t at : offsets) line.at(static_cast<size_t>(at)) = byte;
  return line;
}

// Over lines longer than the window's block of 65536 bytes, with the route's
// own blocks: the same reports as the memo gives when it answers every body.
// A carriage return that ends no line, 1 to 7 bytes before the end of one of
// the window's blocks, is a character or a line end as the matcher reads it
// there; by records the bodies read across the records.
TEST(PikeVm, LongLinesAnsweredBackwardAsByTheMemo) {
  const std::string ab = repeated("ab", 140002);
  constexpr int64_t BLOCK = 65536;
  // Four blocks and a little more.
  const std::string longAb = repeated("ab", 4 * BLOCK + 100);
  const std::string returns = withReturns(longAb, {BLOCK - 1, BLOCK - 2, 2 * BLOCK - 3, 2 * BLOCK - 4,
                                               3 * BLOCK - 5, 3 * BLOCK - 6, 4 * BLOCK - 7});
  const std::string returnsOdd = withReturns(longAb, {BLOCK - 2, BLOCK - 3, 2 * BLOCK - 4, 2 * BLOCK - 5,
                                                  3 * BLOCK - 6, 3 * BLOCK - 7, 4 * BLOCK - 1});
  // An x on either side of each block boundary, which inner bodies read.
  const std::string xs = withReturns(longAb, {BLOCK - 1, BLOCK, 2 * BLOCK - 2, 2 * BLOCK + 1,
                                          3 * BLOCK + 2, 4 * BLOCK - 3}, 'x');
  // Lead bytes of double-byte text (0x81 to 0x9F) whose pairs end on
  // either side of a block boundary, before a carriage return that ends no
  // line, and before the end of the line.
  const std::string leads = withReturns(returnsOdd, {BLOCK - 1, BLOCK - 4, 2 * BLOCK - 6, 2 * BLOCK,
                                                 3 * BLOCK - 8, 4 * BLOCK - 2, 4 * BLOCK + 99},
                                        '\x81');
  // Pairs whose trail is a carriage return, 2 bytes and 1 byte before the
  // end of a block.
  const std::string leadReturns =
      withReturns(withReturns(longAb, {BLOCK - 3, 2 * BLOCK - 2}, '\x81'), {BLOCK - 2, 2 * BLOCK - 1});
  // Lines with a carriage return 1 to 6 bytes before their line feed.
  std::string returnsNearFeeds;
  for (int32_t i = 0; i < 3000; ++i) {
    returnsNearFeeds += repeated("ab", 1 + i % 9) + "\r" + std::string("abab").substr(0, i % 6) + "\n";
  }
  std::string manyLines;
  for (int32_t i = 0; i < 4000; ++i) manyLines += repeated("ab", 1 + i % 37) + "\n";
  const int32_t DB = ENCODING_DOUBLE_BYTE;
  const struct {
    const char* pattern;
    int32_t mode;
    std::string text;
    int32_t recordLength = 0;
  } cases[] = {
      {"b(?!(a.)*$)", ENCODING_SINGLE_BYTE, returns + "\n" + ab},
      {"b(?!(a.)*$)", ENCODING_SINGLE_BYTE, returnsOdd},
      {"b(?!(a.)*$)", ENCODING_UTF8, returns + "\n"},
      {"b(?!(a.)*$)", ENCODING_UTF8, returnsOdd + "\r\n"},
      {"(?!(.b)*c)a", ENCODING_UTF8, returnsOdd + "c\n" + returns},
      {"a(?!(b[^x])*c)", ENCODING_SINGLE_BYTE, returns + "c\r\n" + returnsOdd},
      {"b(?!(ab)*c)", ENCODING_SINGLE_BYTE, ab + "c\n" + ab, 2000},
      {"(?!(ba){2,}$)b", ENCODING_UTF8, ab + "\n" + ab + "é", 999},
      {"(?!(ba)*\nc)b", ENCODING_SINGLE_BYTE, ab + "\nc" + ab, 4096},
      {"(?!(ba)*c)b[^a]", ENCODING_SINGLE_BYTE, ab + "\r\n" + ab + "c" + ab + "b\n"},
      {"b(?!(ab)*c)", ENCODING_SINGLE_BYTE, ab + "c\n" + ab.substr(0, 5) + "\r" + ab},
      {"(?!(ba){2,}c)b", ENCODING_UTF8, "é" + ab + "c\n" + ab + "éc" + ab},
      {"(?!(ab|é)*$)a", ENCODING_UTF8, ab + "é" + ab + "b\n" + ab + "\n" + ab},
      {"(?!(ab){3,}x)a", ENCODING_SINGLE_BYTE, ab + "x\nababx\nababababx"},
      {"\\omb(?!(ab)*c)", ENCODING_SINGLE_BYTE, returns + "c\r\n" + returnsOdd + "\nc" + ab},
      {"\\om(?!(ba){2,}$)b[^x]", ENCODING_UTF8, returnsOdd + "\r\n" + ab + "é\n" + returns},
      {"b(?!(ab(?!x))*c)", ENCODING_SINGLE_BYTE, xs + "c\n" + returns + "c\r\n" + xs},
      {"(?!(b(?!ax)a)*$)b", ENCODING_UTF8, xs + "\n" + returnsOdd + "é\n" + xs, 0},
      {"a(?!(?!(ba){2,}x)(b(?!$)a)*c)", ENCODING_SINGLE_BYTE, xs + "c\n" + returns},
      {"\\omb(?!(a(?!x)b)*c)", ENCODING_SINGLE_BYTE, xs + "\r\nc" + xs, 3000},
      {"b(?!(a[^x])*c)", DB, leads + "c\n" + leads + "\r\n" + returns},
      {"(?!(b.)*$)b", DB, leads + "\n" + leads},
      {"(?!(b[^a])*$)a", DB, leads + "\r\n" + ab + "\x81" "b"},
      {"\\omb(?!(a\x81?b)*\x81" "a)", DB, leads + "\x81" "a\n" + leads + "c\n"},
      {"(?!(ba){2,}$)b", DB, leads + "\n" + ab + "\x81", 999},
      // The lone lead byte at the line's end is met first, as a character
      // of one byte; the pair near its start is one of two, which ANY takes
      // whole, so that the body matches there and the b before is no match.
      {"b(?!(.c)*x)", DB, "bab\x81" "cx" + ab + "\x81\n" + ab},
      // Across lines, bodies whose items take line feeds read on to the end
      // of the text, with the line tests at every line feed: over lines of
      // every length, one of which ends just before a block of the route.
      {"\\om(?!(a[^x])*c)b", ENCODING_SINGLE_BYTE, longAb + "\n" + manyLines + ab + "c\n" + ab},
      {"\\omb(?!(a.)*c)", ENCODING_UTF8, manyLines + "é" + ab + "\nc\n" + longAb},
      {"\\om(?!([ab]\n?)*c)a", ENCODING_SINGLE_BYTE, ab + "\n\n" + manyLines + "c" + ab},
      {"\\oma(?!(b[^x])*$)", ENCODING_SINGLE_BYTE, manyLines + ab + "\n" + ab},
      {"\\omb(?!(a(?!\n)[^x])*c)", ENCODING_SINGLE_BYTE, manyLines + ab + "c\n" + manyLines},
      // Across carriage returns that end no line, a line end 1 or 2 bytes
      // before the end of the window's block only; and in double-byte
      // text, where a lead byte takes the line break after it as its trail.
      {"\\omb(?!(a[^x])*$)", ENCODING_SINGLE_BYTE, returns + "\n" + manyLines + returnsOdd + "\r\n" + ab},
      {"\\om(?!(a.)*$)b", ENCODING_UTF8, returnsOdd + "\r" + manyLines + returns},
      {"\\omb(?!(a[^x])*$)", DB, leads + "\n" + manyLines + leads + "\x81\r\n" + ab},
      {"\\om(?!(b.)*c)a", DB, leads + "\x81\nc" + manyLines + leads + "c"},
      {"\\om(?!(..)*c)[ab]", DB, leadReturns + "c" + ab},
      // Bodies that take line ends (\n): a line feed, or a carriage return
      // where a line ends and the byte after it, as where a window's
      // block ends after a carriage return that ends no line.
      {"b(?!(ab)*\\nc)", ENCODING_SINGLE_BYTE, returns + "\nc" + manyLines + ab + "\r\nc" + returnsOdd + "c"},
      {"b(?!(ab)*\r\\nc)", ENCODING_SINGLE_BYTE, ab + "\r\nc" + manyLines + returns + "\r\nc"},
      {"(?!(ba)*\\n(ab)*c)b", ENCODING_UTF8, returnsOdd + "\n" + ab + "c\n" + returns + "é\r\n" + ab + "c"},
      // The same where ANY and SET stay on their line, and take no line
      // break where the matcher asks for the line's end: a line feed, a
      // CR LF, a carriage return that ends no line near a block's end or,
      // in UTF-8 text, less than six bytes before a line feed.
      {"b(?!(a.)*\\nc)", ENCODING_SINGLE_BYTE, returns + "\nc" + manyLines + returnsOdd + "\r\nc" + ab},
      {"b(?!(a[^x])*\\n(ab)*c)", ENCODING_UTF8, returnsOdd + "\r\nc" + returnsNearFeeds + "c" + returns + "\nabc"},
      {"b(?!(a.)*$)", ENCODING_UTF8, returnsNearFeeds + ab + "\r\n" + ab},
      // In double-byte text the ANY and SET items that stay on their line
      // take a lead byte alone where its trail is a line break to them.
      {"b(?!(a.)*\\nc)", DB, leadReturns + "a\x81\nc" + manyLines + leads + "a\x81\r\nc" + ab},
      {"(?!(b[^x])*\r?$)a", DB, leads + "\x81\r\n" + leadReturns + "\x81\n" + ab},
      // By records a newline escape, a record boundary with another record
      // after it: at the text's end it fails, where $ holds (a body with
      // both is left to the memo).
      {"b(?!(ab)*\\n)", ENCODING_SINGLE_BYTE, ab + "c" + ab, 3000},
      {"(?!(ba)*\\nc?)b", ENCODING_UTF8, ab + "é" + ab, 4096},
      // Look-aheads nested three deep, and three in one body.
      {"b(?!(a(?!(b(?!x)a)*c)b)*c)", ENCODING_SINGLE_BYTE, xs + "c\n" + returns + "xc"},
      {"b(?!(a(?!x)(?!b$)(?!(ba)*c)b)*c)", ENCODING_UTF8, xs + "c\n" + ab + "é\n" + returnsOdd},
  };
  for (const auto& c : cases) {
    test::EncodingScope encoding;
    if (c.mode == DB) encoding.doubleByte();
    ASSERT_EQ(compile(c.pattern, 'U', 0, c.mode, c.recordLength), 0) << c.pattern;
    setRegexEngine(REGEX_ENGINE_PIKE);
    setBackwardBodyLimits(INT64_MAX, 0);
    const std::vector<Report> expected = reportsInFile(c.text, c.recordLength, c.mode);
    EXPECT_FALSE(expected.empty()) << c.pattern;
    for (const int64_t block : {int64_t{0}, int64_t{4099}}) {
      setBackwardBodyLimits(0, block);
      const int64_t stretches = backwardBodyStretches();
      EXPECT_EQ(reportsInFile(c.text, c.recordLength, c.mode), expected)
          << c.pattern << " blocks " << block << " record length " << c.recordLength;
      EXPECT_GT(backwardBodyStretches(), stretches) << c.pattern << ": not answered backward";
    }
  }
  setBackwardBodyLimits(0, 0);
  setRegexEngine(REGEX_ENGINE_AUTO);
  releaseCompiledPattern(&compiledPattern);
}

// The memo's bitmap grows only as far as its attempts reach from their
// start: a body of open loops answered at every a of a long line from what
// its scans passed keeps it at its first size; attempts of nested loops that
// read to the line's end grow it.
TEST(PikeVm, MemoBitmapGrowsWhereAttemptsReachFar) {
  const struct {
    const char* pattern;
    std::string text;
    RegexEngine engine;
    bool grows;
  } cases[] = {
      {"a(?!.*y)", run('a', 1000000) + "bc\n", REGEX_ENGINE_AUTO, false},
      {"(x+x+)+(?!x)y", run('x', 100000) + "\n", REGEX_ENGINE_MEMO, true},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(compile(c.pattern, 'U'), 0) << c.pattern;
    setRegexEngine(c.engine);
    int64_t reports = 0;
    int64_t mostBytes = 0;
    regex_test::walkMatchesInFile(c.text, 0, ENCODING_SINGLE_BYTE, nullptr, [&](int64_t) {
      ++reports;
      if (memoBitmapBytes() > mostBytes) mostBytes = memoBitmapBytes();
      return int64_t{1};
    });
    if (memoBitmapBytes() > mostBytes) mostBytes = memoBitmapBytes();
    EXPECT_EQ(reports, c.grows ? 0 : 1000000) << c.pattern;
    EXPECT_GT(mostBytes, 0) << c.pattern << ": the memo took no part";
    if (c.grows) {
      EXPECT_GT(mostBytes, 256 * 1024) << c.pattern;
    } else {
      EXPECT_LE(mostBytes, 64 * 1024) << c.pattern;
    }
  }
  setRegexEngine(REGEX_ENGINE_AUTO);
  releaseCompiledPattern(&compiledPattern);
}

// The answers of a body over a 4 MB line take memory that does not grow with
// the line, and work that grows with it alone: a search at every b. So too
// where the line holds a carriage return that ends no line, by records of
// 2000 bytes, across which the bodies read, across lines, where the body
// holds a look-ahead of its own, and in double-byte text.
TEST(PikeVm, LongLineBodiesKeepTheirAnswersSmall) {
  const std::string pairs = repeated("ab", 4000000);
  const struct {
    const char* pattern;
    const char* end;
    int32_t recordLength;
    int32_t mode = ENCODING_SINGLE_BYTE;
  } cases[] = {
      {"(?!(ba)*c)b", "\n", 0},        {"b(?!(ab)*c)", "\n", 0},
      {"(?!(ba){2,}c)b", "\n", 0},     {"(?!(ba)*c)b", "\rx\n", 0},
      {"b(?!(ab)*c)", "\rc\n", 0},     {"b(?!(ab)*c)", "\n", 2000},
      {"(?!(ba){2,}c)b", "\n", 2000},
      {"\\omb(?!(ab)*c)", "\n", 0}, {"\\omb(?!(ab)*c)", "\r\nc\n", 0},
      {"b(?!(ab(?!x))*c)", "\n", 0},  {"(?!(ba(?!$))*c)b", "\rc\n", 0},
      {"b(?!(ab(?!x))*c)", "\n", 2000},
      {"b(?!(ab)*c)", "\x81\n", 0, ENCODING_DOUBLE_BYTE},
      {"(?!(ba){2,}c)b", "\r\x81\x81\n", 0, ENCODING_DOUBLE_BYTE},
      // A count of hundreds, five look-aheads in one program, across lines
      // over carriage returns that end no line and in double-byte text,
      // where the items take line breaks; look-aheads nested three deep,
      // and three in one body.
      {"b(?!(ab){300}c)", "\n", 0},
      {"b(?!(ab)*c)(?!(ab)*d)(?!(ab)*e)(?!(ab)*f)(?!(ab)*g)", "\n", 0},
      {"\\omb(?!(a[^x])*c)", "\r\rc\n", 0},
      {"\\omb(?!(a.)*c)", "\x81\r\n", 0, ENCODING_DOUBLE_BYTE},
      {"b(?!(a(?!(b(?!x)a)*c)b)*c)", "\n", 0},
      {"b(?!(a(?!x)(?!y)(?!z)b)*c)", "\rc\n", 0},
      {"b(?!(a.)*\\nc)", "\nx\n", 0},
      {"b(?!(ab)*\\nc)", "\n", 2000},
      {"b(?!(a.)*\\nc)", "\x81\r\nx\n", 0, ENCODING_DOUBLE_BYTE},
  };
  for (const auto& c : cases) {
    const std::string text = pairs + c.end;
    const std::string what = std::string(c.pattern) + " record length " +
                             std::to_string(c.recordLength) + " mode " + std::to_string(c.mode) +
                             " before " + ::testing::PrintToString(std::string(c.end));
    test::EncodingScope encoding;
    if (c.mode == ENCODING_DOUBLE_BYTE) encoding.doubleByte();
    ASSERT_EQ(compile(c.pattern, 'U', 0, c.mode, c.recordLength), 0) << what;
    setRegexEngine(REGEX_ENGINE_AUTO);
    clearPikeVmSteps();
    clearMemoSteps();
    int64_t reports = 0;
    int64_t mostBytes = 0;
    regex_test::walkMatchesInFile(text, c.recordLength, c.mode, nullptr, [&](int64_t) {
      ++reports;
      if (lookAheadAnswerBytes() > mostBytes) mostBytes = lookAheadAnswerBytes();
      return int64_t{1};
    });
    EXPECT_EQ(reports, 2000000) << what;
    EXPECT_LE(mostBytes, 256 * 1024) << what;
    EXPECT_LE(pikeVmSteps() + memoSteps(), 40 * static_cast<int64_t>(text.size())) << what;
  }
  releaseCompiledPattern(&compiledPattern);
}

}  // namespace
