// Regular-expression search: candidate start positions, SearchRegex and
// FindRegexInMemory.
//
// SearchRegex moves forward over the text from the source's current position
// and runs the matcher (matcher.cpp) at each candidate; the first success is
// the leftmost match, and at that position the first in the program's
// priority order. Candidates come from one of three strategies:
//   - a first-character filter: only bytes (code points in UTF-8 mode) that
//     the compiler listed as possible match starts are tried; the byte scan
//     is memchr when one byte qualifies, and reads eight bytes at a time for
//     two bytes or a few ranges of ASCII bytes. In UTF-8 text the scan looks
//     for the ASCII members and the lead bytes of the others and decodes
//     only at a lead byte;
//   - the program's leading instruction: an anchored program is tried at
//     line starts (or ends) reached through the source, a leading character
//     at the positions that hold it. A leading negative look-ahead moves
//     nothing, so the item after it leads: its body is asked only where
//     that item may start;
//   - every position (UTF-8: every character start, each byte of a broken
//     sequence being one), including once at the end of the text, where a
//     program that matches the empty string matches.
// Whatever the strategy, a position that lies on no line is never tried: the
// line feed of a CR LF, and the end of a text whose last line is ended.
// The window is scanned with pointer arithmetic; the source is called to
// cross window boundaries. Where the source also describes its whole block
// of data (GetWindow), the byte scans run over the block and cross the
// windows inside it with one AdvanceTo per candidate.
//
// In front of the candidates sits a gate for programs whose every match holds
// a literal and stays on one line: a candidate whose line lacks the literal
// from the candidate on is never tried, and the search moves at once to the
// line that holds the literal's next occurrence, found by one scan over the
// source's block of data. Where the lazy DFA's table already tells that a
// line on the way holds the literal but no match ([a-z]+_[a-z]+_[a-z]+ over
// source code, where most "_" begin none), that line is passed in the block
// too, without moving the window to it (skimLines); where it tells that one
// does, the line's scan is not made again. The literal may be a set, one of
// which every match holds (see required_literal.cpp). Where the literal
// begins every match, or
// lies at most a few bytes into it, the occurrences themselves give the
// candidates: only the positions that distance before each one are tried,
// and no line is walked from its start (see "Candidates around the required
// literal").
//
// A program whose every match passes a line end and takes at most a few
// bytes, (?!(ba)*c)b$, is tried only near the places where a line end may
// hold (the last bytes of the window, which ends at the end of a line or of
// the data in memory): the scans move the pointer past the positions further
// back, and over a long line window after window, reading a few bytes past
// each to see whether a line end follows within reach.
//
// Two program shapes need no engine at a candidate: a run of one set before
// a literal ([A-Za-z_]+\(, whose match from a position of the run before the
// gate's occurrence is the rest of the run and the literal) and a literal, a
// set looped and a literal ("[^"]*", a comparison and a scan); see
// matchOfRunAndLiteral and matchOfQuotedRun.
//
// FindRegexInMemory runs the same search over a string through a text source
// of its own, and puts the caller's table back afterwards.
//
// Tested by regex_search_test.cpp.
#include <immintrin.h>

#include <cstring>

#include "pattern/alternative_skip.h"
#include "pattern/backtrack_memo.h"
#include "pattern/compiled_pattern.h"
#include "pattern/lazy_dfa.h"
#include "pattern/literal_trie.h"
#include "pattern/literal_set_search.h"
#include "pattern/matcher.h"
#include "pattern/matcher_internal.h"
#include "pattern/pike_vm.h"
#include "pattern/required_literal.h"
#include "pattern/text_source.h"
#include "pattern/unicode_set.h"
#include "support/byte_scan.h"
#include "support/case_folding.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

using matcher_internal::decodeDirect;
using matcher_internal::decodeThroughSource;
using matcher_internal::NO_CHARACTER;
using matcher_internal::refreshWindow;

namespace {

// Statuses of SearchRegex and of the scans and attempts it is made of;
// negative values are errors.
constexpr int32_t REGEX_FOUND = 0;
constexpr int32_t REGEX_NO_MATCH = 1;

MatcherState& state = matcher;  // the matcher's pointer and window

// The description number of the program under search (holdProgramDescription),
// for what is derived from the program once and kept across searches.
uint32_t programGeneration = 0;

// Holds the program's description for one search.
struct DescriptionHold {
  DescriptionHold() { programGeneration = holdProgramDescription(); }
  ~DescriptionHold() { releaseProgramDescription(); }
  DescriptionHold(const DescriptionHold&) = delete;
  DescriptionHold& operator=(const DescriptionHold&) = delete;
};

// Whether the pointer lies on a line, where a match may start. Two positions
// belong to no line: the line feed of a CR LF pair (the pair is one line end,
// which its carriage return begins) and the end of a text whose last line
// has its terminator, or of an empty text. The source tells them apart: at
// the end of the text only the end of an unterminated last line is a line
// end, and a line feed after a carriage return is not one of its own.
bool startsOnLine() {
  if (state.cur < state.windowEnd && *state.cur != '\n') return true;
  textSource.SetPosition(state.cur);
  const int32_t c = state.cur < state.windowEnd ? *state.cur : textSource.PeekChar(0);
  if (c < 0) return textSource.AtLineEnd(0, 0) != 0;
  return c != '\n' || textSource.AtLineEnd(-1, 0) != LINE_END_CRLF;
}

// The engine of a search. A program that the Pike VM can run but whose
// backtracking could take more than linear time starts on the backtracker,
// which is the faster of the two on ordinary text, with a budget of steps:
// a stock to begin with and a few more for every attempt. An attempt that
// runs out hands the search over to the Pike VM from its start position on,
// and the program stays with the VM for later searches. The work of a
// search is so bounded by the budget plus the VM's linear pass, while a
// search in which every attempt ends soon never pays for the VM.
constexpr int64_t STEPS_AT_START = 1 << 16;
constexpr int64_t STEPS_PER_ATTEMPT = 16;

// A program without back-references that the VM does not take (look-ahead,
// too many states) is handed over the same way to the backtracker with the
// memo of failed states, which is linear too (backtrack_memo.cpp).
bool pikeActive = false;           // this search runs on the Pike VM
bool pikeStandsBy = false;         // the VM takes over when the steps run out
bool memoActive = false;           // this search runs on the memoizing backtracker
bool memoStandsBy = false;         // the memo takes over when the steps run out
bool trieActive = false;           // the program is an alternation of literals, run as a trie
int64_t stepsLeft = 0;

// How often a shortcut was tried and failed (see worthTrying).
struct TryCounts {
  uint32_t tried;
  uint32_t failed;
  uint32_t declined;  // chances declined since the last try
};

// The anchored runs of the current program (see attemptByDfa).
TryCounts anchoredRuns{};

// A search over the same text as the last one, with the same program and
// from further on, keeps what that one left of the budget, and gains
// STEPS_PER_BYTE for each byte its start moved on. The driver starts a
// search after each match: a fresh stock for each would let a walk over a
// line with a match at every byte cost the backtracker a stock per match.
constexpr int64_t STEPS_PER_BYTE = 8;

struct SearchPlace {
  uint32_t text;  // TextPlace's number; 0 none
  uint32_t program;
  int64_t offset;
};

SearchPlace lastSearch{};

// Sets the budget for a search that starts at `offset` of text `text`
// (TextPlace's answers; text 0 none).
void chargeBudget(uint32_t text, int64_t offset) {
  const int64_t moved = offset - lastSearch.offset;
  if (text != 0 && text == lastSearch.text && programGeneration == lastSearch.program &&
      moved >= 0 && moved < STEPS_AT_START / STEPS_PER_BYTE) {
    stepsLeft += moved * STEPS_PER_BYTE;
    if (stepsLeft > STEPS_AT_START) stepsLeft = STEPS_AT_START;
  } else {
    stepsLeft = STEPS_AT_START;
  }
  lastSearch.text = text;
  lastSearch.program = programGeneration;
  lastSearch.offset = offset;
}

void prepareBudget() {
  // Scalars, not a SearchPlace on the stack: comparing a structure just
  // written field by field stalls the load that reads two fields at once.
  int64_t offset = 0;
  const uint32_t text =
      textSource.TextPlace != nullptr ? textSource.TextPlace(state.cur, &offset) : 0;
  chargeBudget(text, offset);
}

// Which engines may run the program: found by asking each engine about it,
// and kept for the searches that follow while nothing the answers rest on
// changes. The driver starts a search after every match, and the questions
// cost more than a short search. A program put in place other than by the
// compiler (generation 0) is asked about at every search.
struct EnginePlan {
  // What the answers rest on.
  uint32_t description;  // programGeneration: changes with any other program analysed
  uint32_t compiled;     // compiledPattern.generation
  int32_t encodingMode;
  int32_t loopGuards;
  int32_t charMode;
  int32_t askLineBounds;
  int32_t fullWindowReads;
  bool hasWindow;
  RegexEngine engine;
  LazyDfaUse dfaUse;
  int32_t dfaLinesGivenUp;
  // The answers.
  bool trie;
  bool dfaTakes;
  bool pikeCan;
  bool memoCan;
  bool linear;  // the backtracker runs the program in linear time
  bool anchored;  // the lazy DFA's anchored runs may take the backtracker's attempts
};

EnginePlan enginePlan{};

bool planStands(const EnginePlan& plan, RegexEngine engine) {
  return plan.compiled != 0 && plan.compiled == compiledPattern.generation &&
         plan.description == programGeneration && plan.encodingMode == compiledPattern.encodingMode &&
         plan.loopGuards == compiledPattern.loopGuards && plan.charMode == textSource.charMode &&
         plan.askLineBounds == textSource.askLineBounds &&
         plan.fullWindowReads == textSource.fullWindowReads &&
         plan.hasWindow == (textSource.GetWindow != nullptr) && plan.engine == engine &&
         plan.dfaUse == lazyDfaUse() && plan.dfaLinesGivenUp == lazyDfaLinesGivenUp();
}

const EnginePlan& planEngines() {
  const RegexEngine engine = regexEngine();
  EnginePlan& plan = enginePlan;
  if (planStands(plan, engine)) return plan;
  // A trie runs each start in the time of its longest literal: no other
  // engine or filter is worth its set-up then.
  plan.trie = engine == REGEX_ENGINE_AUTO && literalTrieRuns(compiledPattern.literalTrie);
  plan.dfaTakes = !plan.trie && lazyDfaTakesProgram();
  plan.pikeCan = !plan.trie && engine != REGEX_ENGINE_MEMO && pikeVmTakesProgram();
  plan.memoCan = !plan.trie && engine != REGEX_ENGINE_BACKTRACK &&
                 (engine == REGEX_ENGINE_MEMO || !pikeVmRunsProgram()) && memoTakesProgram();
  plan.linear = !plan.trie && backtrackerRunsLinear();
  plan.anchored = !plan.trie && engine == REGEX_ENGINE_AUTO && lazyDfaRunsAnchored();
  anchoredRuns = TryCounts{};
  plan.description = programGeneration;
  plan.compiled = compiledPattern.generation;
  plan.encodingMode = compiledPattern.encodingMode;
  plan.loopGuards = compiledPattern.loopGuards;
  plan.charMode = textSource.charMode;
  plan.askLineBounds = textSource.askLineBounds;
  plan.fullWindowReads = textSource.fullWindowReads;
  plan.hasWindow = textSource.GetWindow != nullptr;
  plan.engine = engine;
  plan.dfaUse = lazyDfaUse();
  plan.dfaLinesGivenUp = lazyDfaLinesGivenUp();
  return plan;
}

// The backtracker's attempts of a program without back-references,
// look-ahead or cursor mark go first to the lazy DFA's anchored run
// (lazy_dfa.cpp), which finds the same match from the same start in a table
// step a byte, where the backtracker pays a handler call per instruction and
// a frame per choice ([a-z]{3,40}_ tries every count). A program with
// groups has the backtracker record their bounds where the run found a
// match, so the run answers only the starts without one. Where the run finds
// no match within ANCHORED_SURE_BYTES, that is the attempt's answer: each
// start so costs at most that many bytes. A longer run that finds none
// still goes to the backtracker, which notes the loops it passed there for
// the candidates after it, so that a long run of a loop is not read again
// from each of its positions; where more than a quarter of the runs end so
// (or give up), they are taken seldom (worthTrying).
bool anchoredActive = false;
constexpr int64_t ANCHORED_SURE_BYTES = 64;

bool worthTrying(TryCounts* counts);

// Puts a match found without the backtracker in the matcher's record, as the
// backtracker leaves one: its length at the pointer, no groups, no mark.
void recordPlainMatch(int64_t length) {
  MatcherState& s = matcher;
  s.matchLength = static_cast<int32_t>(length);
  s.cursorMark = 0;
  s.top = 0;
  s.offset = 0;
  BacktrackFrame& base = s.stack[0];
  base.endMask = 0;
  base.startMask = 0;
  base.cursorMark = 0;
}

enum DfaAttempt { DFA_FOUND, DFA_NONE, DFA_ASK_ENGINE };

// Runs the anchored DFA at the pointer: DFA_FOUND with the match in the
// matcher's record, DFA_NONE when no match starts there, DFA_ASK_ENGINE when
// the backtracker is to run there. On a budget of steps (`steps`), each
// byte the run reads costs a step, as it would the backtracker, whose budget
// bounds the reading of all the attempts of a search; the run is not made
// once the budget is spent.
DfaAttempt attemptByDfa(int64_t* steps = nullptr) {
  if ((steps != nullptr && *steps <= 0) || !worthTrying(&anchoredRuns)) return DFA_ASK_ENGINE;
  int64_t length = 0;
  int64_t read = 0;
  const int32_t answer = matchAtWithDfa(&length, &read);
  if (steps != nullptr) *steps -= read;
  if (answer == ANCHORED_NO_MATCH && read <= ANCHORED_SURE_BYTES) return DFA_NONE;
  // The backtracker records the group bounds of the match found.
  if (answer == ANCHORED_MATCH_TO_RECORD) return DFA_ASK_ENGINE;
  if (answer != ANCHORED_MATCH) {
    ++anchoredRuns.failed;
    return DFA_ASK_ENGINE;
  }
  recordPlainMatch(length);
  return DFA_FOUND;
}

bool matchOfRunAndLiteral();
int32_t matchOfQuotedRun();

// Runs the program at the pointer: REGEX_FOUND, REGEX_NO_MATCH (try on), or
// -8. The Pike VM and the memo also start the program at the later
// candidates they pass on their way and leave the pointer at the last of them
// (or end the search with PIKE_TEXT_END), so that no position of the text is
// read twice for them.
inline int32_t attempt(const uint8_t* firstBytes, bool once, bool (*mayStartAt)() = startsOnLine) {
  const bool byCharacters = mayStartAt != startsOnLine;
  if (trieActive) {
    if (!startsOnLine()) return REGEX_NO_MATCH;
    return runLiteralTrie(compiledPattern.literalTrie) == 1 ? REGEX_FOUND : REGEX_NO_MATCH;
  }
  if (pikeActive) return runPikeVm(PikeCandidates{firstBytes, mayStartAt, once, byCharacters});
  if (memoActive) {
    return runMemoizedSearch(PikeCandidates{firstBytes, mayStartAt, once, byCharacters});
  }
  if (!startsOnLine()) return REGEX_NO_MATCH;
  if (matchOfRunAndLiteral()) return REGEX_FOUND;
  const int32_t quoted = matchOfQuotedRun();
  if (quoted >= 0) return quoted == 1 ? REGEX_FOUND : REGEX_NO_MATCH;
  int32_t result;
  if (pikeStandsBy || memoStandsBy) {
    stepsLeft += STEPS_PER_ATTEMPT;
    if (anchoredActive) {
      const DfaAttempt byDfa = attemptByDfa(&stepsLeft);
      if (byDfa != DFA_ASK_ENGINE) return byDfa == DFA_FOUND ? REGEX_FOUND : REGEX_NO_MATCH;
    }
    result = runProgram(compiledPattern.program, &stepsLeft);
    if (result == MATCHER_OUT_OF_STEPS && pikeStandsBy) {
      pikeActive = true;
      handOverToPikeVm();
      return runPikeVm(PikeCandidates{firstBytes, mayStartAt, once, byCharacters});
    }
    if (result == MATCHER_OUT_OF_STEPS) {
      memoActive = true;
      return runMemoizedSearch(PikeCandidates{firstBytes, mayStartAt, once, byCharacters});
    }
  } else {
    if (anchoredActive) {
      const DfaAttempt byDfa = attemptByDfa();
      if (byDfa != DFA_ASK_ENGINE) return byDfa == DFA_FOUND ? REGEX_FOUND : REGEX_NO_MATCH;
    }
    result = runProgram(compiledPattern.program);
  }
  return result == 1 ? REGEX_FOUND : result == 0 ? REGEX_NO_MATCH : result;
}

// ---------------------------------------------------------------------------
// Byte scans

// The bytes that can begin a match, with the shortcut of the scan.
constexpr int32_t FILTER_RANGE_LIMIT = 4;

struct ByteFilter {
  uint8_t member[256];
  int32_t count;
  uint8_t values[2];  // the members when there are one or two
  // The members as ranges of ASCII bytes [low, high], when they are no more
  // than FILTER_RANGE_LIMIT such ranges (rangeCount 0 otherwise).
  int32_t rangeCount;
  uint8_t low[FILTER_RANGE_LIMIT];
  uint8_t high[FILTER_RANGE_LIMIT];
  // In UTF-8 text, the whole spellings of the characters sought, when their
  // lead bytes alone would stop at most characters of their script; the
  // members are then those lead bytes, for a spelling cut by the range end.
  const LiteralSet* spellings;
  int32_t longestSpelling;
  // One or two members, each rarer in text than the lower-case letters and
  // common punctuation: their own scan stops seldom.
  bool rareMembers;
};

// The frequency rank (literalByteRank) from which a byte counts as rare:
// that of the first upper-case letter in the order.
constexpr int32_t RARE_BYTE_RANK = 45;

ByteFilter firstByteFilter;
bool firstByteFilterValid = false;

void buildFilter(ByteFilter* filter) {
  filter->count = 0;
  filter->rangeCount = 0;
  filter->spellings = nullptr;
  filter->longestSpelling = 0;
  bool rangesFit = true;
  for (int32_t b = 0; b < 256; ++b) {
    if (filter->member[b] == 0) continue;
    filter->member[b] = 1;
    if (filter->count < 2) filter->values[filter->count] = static_cast<uint8_t>(b);
    ++filter->count;
    if (b >= 0x80) {
      rangesFit = false;
    } else if (b > 0 && filter->member[b - 1] != 0) {
      filter->high[filter->rangeCount - 1] = static_cast<uint8_t>(b);
    } else if (filter->rangeCount == FILTER_RANGE_LIMIT) {
      rangesFit = false;
    } else if (rangesFit) {
      filter->low[filter->rangeCount] = static_cast<uint8_t>(b);
      filter->high[filter->rangeCount] = static_cast<uint8_t>(b);
      ++filter->rangeCount;
    }
  }
  if (!rangesFit) filter->rangeCount = 0;
  filter->rareMembers = filter->count <= 2;
  for (int32_t i = 0; i < filter->count && i < 2; ++i) {
    if (literalByteRank(filter->values[i]) < RARE_BYTE_RANK) filter->rareMembers = false;
  }
}

// The filter of the compiled pattern's first-character table, rebuilt only
// when the table changed since the last search.
// The table and program the filter was made for last.
const uint8_t* firstByteFilterTable = nullptr;
uint32_t firstByteFilterGeneration = 0;

const ByteFilter& filterOfTable(const uint8_t* table) {
  // A search per match asks for the same program's filter again and again:
  // the compiler's program number tells it is the same, without comparing.
  const uint32_t generation = compiledPattern.generation;
  if (firstByteFilterValid && generation != 0 && generation == firstByteFilterGeneration &&
      table == firstByteFilterTable) {
    return firstByteFilter;
  }
  firstByteFilterTable = table;
  firstByteFilterGeneration = generation;
  uint8_t normalized[256];
  for (int32_t b = 0; b < 256; ++b) normalized[b] = table[b] != 0;
  if (!firstByteFilterValid || std::memcmp(normalized, firstByteFilter.member, 256) != 0) {
    std::memcpy(firstByteFilter.member, normalized, 256);
    buildFilter(&firstByteFilter);
    firstByteFilterValid = true;
  }
  return firstByteFilter;
}

// The filter of a leading character's byte and its case variant. Made once
// for the bytes and kept: a walk over a line with a match at every other
// byte starts a search at each, and making a filter costs more than the
// search ((?!(ba){2,}c)b over "abab...").
const ByteFilter& filterOfLeadingByte(const Instruction& lead) {
  static ByteFilter filter;
  static int32_t madeFor = -1;  // the two bytes, as one number
  const int32_t bytes =
      static_cast<int32_t>((lead.accepted() & 0xFF) << 8 | (lead.acceptedVariant() & 0xFF));
  if (bytes == madeFor) return filter;
  std::memset(filter.member, 0, sizeof filter.member);
  filter.member[lead.accepted() & 0xFF] = 1;
  filter.member[lead.acceptedVariant() & 0xFF] = 1;
  buildFilter(&filter);
  madeFor = bytes;
  return filter;
}

constexpr uint64_t EVERY_BYTE_ONE = 0x0101010101010101ull;
constexpr uint64_t EVERY_BYTE_HIGH = 0x8080808080808080ull;
constexpr uint64_t EVERY_BYTE_LOW7 = 0x7F7F7F7F7F7F7F7Full;


// A byte of a few ASCII ranges, eight bytes at a time: with the high bit of
// each byte set and its low seven bits x, (0x80 + x) - low and
// (0x80 + x) - (high + 1) borrow from no other byte, and their high bits
// tell x >= low and x > high. Bytes of 0x80 and above are never members.
// The same sixteen bytes at a time: a byte x lies in [low, high] when
// x - low, taken modulo 256, is at most high - low; a byte of 0x80 and above
// gives more than that, as high is below 0x80.
[[gnu::target("sse2")]] const uint8_t* findInRangesSse2(const uint8_t* from, const uint8_t* to,
                                                        const ByteFilter& filter) {
  __m128i lows[FILTER_RANGE_LIMIT];
  __m128i widths[FILTER_RANGE_LIMIT];
  const int32_t ranges = filter.rangeCount;
  for (int32_t r = 0; r < ranges; ++r) {
    lows[r] = _mm_set1_epi8(static_cast<char>(filter.low[r]));
    widths[r] = _mm_set1_epi8(static_cast<char>(filter.high[r] - filter.low[r]));
  }
  const uint8_t* p = from;
  for (; to - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_setzero_si128();
    for (int32_t r = 0; r < ranges; ++r) {
      const __m128i above = _mm_sub_epi8(block, lows[r]);
      hits = _mm_or_si128(hits, _mm_cmpeq_epi8(_mm_min_epu8(above, widths[r]), above));
    }
    const uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(hits));
    if (mask != 0) return p + __builtin_ctz(mask);
  }
  for (; p < to; ++p) {
    if (filter.member[*p]) return p;
  }
  return nullptr;
}

const uint8_t* findInRanges(const uint8_t* from, const uint8_t* to, const ByteFilter& filter) {
  static const bool vectors = __builtin_cpu_supports("sse2");
  if (vectors) return findInRangesSse2(from, to, filter);
  uint64_t lows[FILTER_RANGE_LIMIT];
  uint64_t aboves[FILTER_RANGE_LIMIT];
  const int32_t ranges = filter.rangeCount;
  for (int32_t r = 0; r < ranges; ++r) {
    lows[r] = EVERY_BYTE_ONE * filter.low[r];
    aboves[r] = EVERY_BYTE_ONE * (filter.high[r] + 1u);
  }
  const uint8_t* p = from;
  while (to - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const uint64_t raised = (word & EVERY_BYTE_LOW7) | EVERY_BYTE_HIGH;
    uint64_t hits = 0;
    for (int32_t r = 0; r < ranges; ++r) hits |= (raised - lows[r]) & ~(raised - aboves[r]);
    if ((hits & ~word & EVERY_BYTE_HIGH) != 0) break;
    p += 8;
  }
  for (; p < to; ++p) {
    if (filter.member[*p]) return p;
  }
  return nullptr;
}

// The trie of a word list whose first bytes are compared together, while its
// search runs (see literal_trie.cpp): its starts are far rarer than its
// first bytes unless those are rare themselves.
const LiteralTrie* trieStarts = nullptr;

const uint8_t* findMember(const uint8_t* from, const uint8_t* to, const ByteFilter& filter) {
  if (from >= to) return nullptr;
  if (trieStarts != nullptr && !filter.rareMembers) {
    // Where a word's first character has forms beyond ASCII, a position
    // among bytes beyond it is found too, though it may lie inside a
    // character: only a member byte stands for a start.
    const uint8_t* found = findLiteralTrieStart(trieStarts, from, to);
    while (found != nullptr && filter.member[*found] == 0) {
      found = findLiteralTrieStart(trieStarts, found + 1, to);
    }
    return found;
  }
  if (filter.spellings != nullptr) {
    const uint8_t* found = findLiteralSet(*filter.spellings, from, to);
    // A spelling that the range end cuts: its lead byte is among the last
    // bytes; the caller decodes what it finds there.
    const uint8_t* p = to - from > filter.longestSpelling ? to - (filter.longestSpelling - 1) : from;
    for (; p < to && (found == nullptr || p < found); ++p) {
      if (filter.member[*p]) return p;
    }
    return found;
  }
  // After a match the next byte is often a member: no scan to set up.
  if (filter.member[*from] != 0) return from;
  if (filter.count == 1) {
    return static_cast<const uint8_t*>(
        std::memchr(from, filter.values[0], static_cast<size_t>(to - from)));
  }
  if (filter.count == 2) return findEitherByte(from, to, filter.values[0], filter.values[1]);
  if (filter.rangeCount > 0) return findInRanges(from, to, filter);
  for (const uint8_t* p = from; p < to; ++p) {
    if (filter.member[*p]) return p;
  }
  return nullptr;
}

// The end of the bytes after the window that may be read directly: the end
// of the source's block of data when it describes one that holds the window,
// else the window's end.
const uint8_t* dataLimit() {
  if (textSource.GetWindow == nullptr) return state.windowEnd;
  const uint8_t* cursor = nullptr;
  const uint8_t* advanceLimit = nullptr;
  const uint8_t* dataEnd = nullptr;
  textSource.SetPosition(state.cur);
  textSource.GetWindow(&cursor, &advanceLimit, &dataEnd);
  return cursor == state.cur && dataEnd > state.windowEnd ? dataEnd : state.windowEnd;
}

// Whether what was learnt of the line window [start, end) while the source
// had made `loads` loads holds now: the matcher's window is the same, over
// the same bytes. Pointers alone do not tell, as a reload may put other
// bytes of the file at the same addresses.
inline bool knownWindow(const uint8_t* start, const uint8_t* end, uint32_t loads) {
  return state.windowStart == start && state.windowEnd == end && textSource.windowLoads == loads;
}

// The lazy DFA filter's knowledge of the line (see "Lazy DFA filter" below).
struct DfaFilter {
  bool active;
  const uint8_t* knownStart;
  const uint8_t* knownEnd;
  uint32_t knownLoads;  // the source's windowLoads then
  const uint8_t* matchEndAt;
  // The start of the run before the literal whose candidate was tried
  // without the DFA (see skipsDfaAtRun).
  const uint8_t* triedRunStart;
};

DfaFilter dfa;

// Keeps a match the table saw in the window's line: the pointer moves to
// where it may start, and the candidates up to its end pass without another
// scan, and the budget gains the bytes read to find it (see passDfa).
void knowMatch(const SkimmedMatch& match) {
  state.cur = match.from;
  dfa.knownStart = state.windowStart;
  dfa.knownLoads = textSource.windowLoads;
  dfa.knownEnd = state.windowEnd;
  dfa.matchEndAt = match.end;
  stepsLeft += (match.end - match.from) * STEPS_PER_BYTE;
}

// ---------------------------------------------------------------------------
// Required-literal gate

enum GateAnswer { GATE_TRY, GATE_MOVED, GATE_END };

struct LiteralGate {
  bool active;
  // A line window known to hold the literal at literalAt: candidates up to
  // there pass without another scan. Only this positive knowledge is kept,
  // so knowledge that outlives its line (the window may be reloaded) costs
  // at most an attempt, never a match.
  const uint8_t* knownStart;
  const uint8_t* knownEnd;
  uint32_t knownLoads;  // the source's windowLoads then
  const uint8_t* literalAt;
  // literalAt is the literal's first occurrence from the pointer on (not the
  // window's end standing for an occurrence further on), and runStart the
  // first position from which a match may reach it (see passToLiteralRun).
  bool occurrence;
  const uint8_t* runStart;
  // The literal's last occurrence in that line, once asked for (null).
  const uint8_t* lastAt;
  // The line that runs on past the data in memory holds the literal further
  // on: its later windows pass without a scan until a window starts a line.
  bool lineHoldsLiteral;
};

LiteralGate gate;

void prepareGate() {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  // The literal is bytes of the mode the program was compiled for: UTF-8
  // bytes find their characters only in UTF-8 text, and byte-mode folding
  // only outside it.
  gate.active =
      literal.length > 0 && literal.singleLine && textSource.GetWindow != nullptr &&
      textSource.fullWindowReads == 0 &&
      (textSource.charMode == ENCODING_UTF8) == (compiledPattern.encodingMode == ENCODING_UTF8);
  gate.knownStart = gate.knownEnd = gate.literalAt = gate.runStart = gate.lastAt = nullptr;
  gate.occurrence = false;
  gate.lineHoldsLiteral = false;
}

// The literal's first occurrence in [from, end), as scanRequiredLiteral
// finds it: a literal of one byte compared as it stands is memchr's, which
// costs less to set up on the short stretches a search mostly scans.
const uint8_t* findLiteral(const RequiredLiteral& literal, const uint8_t* from,
                           const uint8_t* end, const uint8_t* readable = nullptr) {
  if (literal.length == 1 && literal.otherCount == 0 && literal.fold == 0) {
    return from < end ? static_cast<const uint8_t*>(
                            std::memchr(from, literal.bytes[0], static_cast<size_t>(end - from)))
                      : nullptr;
  }
  return scanRequiredLiteral(literal, from, end, readable);
}

// The start of the line that holds position p, not before from: eight
// bytes at a time back to the word that holds a line feed.
const uint8_t* lineStartBefore(const uint8_t* from, const uint8_t* p) {
  const uint64_t lineFeeds = EVERY_BYTE_ONE * '\n';
  while (p - from >= 8) {
    uint64_t word;
    std::memcpy(&word, p - 8, sizeof word);
    const uint64_t x = word ^ lineFeeds;
    if (((x - EVERY_BYTE_ONE) & ~x & EVERY_BYTE_HIGH) != 0) break;
    p -= 8;
  }
  while (p > from && p[-1] != '\n') --p;
  return p;
}

// What skimLines learnt of the line it stopped at.
struct LineSkim {
  const uint8_t* runStart;  // the run of S before the literal (see LiteralRun), or null
  SkimmedMatch match;       // the match the table saw (end null: none)
};

void skimLines(const uint8_t** from, const uint8_t** next, const uint8_t* limit, bool oneByte,
               LineSkim* skim);

// Decides about the candidate at the pointer: try it; or the pointer has
// moved on to a later line start from which candidates are scanned again; or
// the text has ended.
GateAnswer passGate() {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  if (state.cur >= state.windowEnd || state.windowEnd <= state.windowStart) return GATE_TRY;
  if (knownWindow(gate.knownStart, gate.knownEnd, gate.knownLoads) &&
      state.cur <= gate.literalAt) {
    return GATE_TRY;
  }
  if (gate.lineHoldsLiteral) {
    textSource.SetPosition(state.windowStart);
    const bool startsLine = textSource.AtLineStart(0) != 0;
    textSource.SetPosition(state.cur);
    if (!startsLine) {
      gate.knownStart = state.windowStart;
      gate.knownLoads = textSource.windowLoads;
      gate.knownEnd = state.windowEnd;
      gate.literalAt = state.windowEnd;
      gate.occurrence = false;
      return GATE_TRY;
    }
    gate.lineHoldsLiteral = false;
  }
  // The bytes after the line, up to the end of the data, may be read; a
  // literal of one byte found by memchr reads none of them, and the limit
  // is then asked for only when the line lacks the literal.
  const bool memchrAlone = literal.length == 1 && literal.otherCount == 0 && literal.fold == 0;
  const uint8_t* limit = memchrAlone ? nullptr : dataLimit();
  const uint8_t* at = findLiteral(literal, state.cur, state.windowEnd, limit);
  if (at != nullptr) {
    gate.knownStart = state.windowStart;
    gate.knownLoads = textSource.windowLoads;
    gate.knownEnd = state.windowEnd;
    gate.literalAt = at;
    gate.occurrence = true;
    gate.runStart = nullptr;
    gate.lastAt = nullptr;
    return GATE_TRY;
  }
  if (limit == nullptr) limit = dataLimit();
  // A window that ends inside its line (the line runs on past the data in
  // memory) may hold the literal further on. The rest of the line is read
  // through the source, however long: where the line ends first, or the
  // text, no candidate of the rest of the line can match; where the literal
  // occurs, the search goes on from the pointer and every candidate of the
  // line passes without another scan, and only an attempt can tell. Past a
  // line end, the next line starts at the window end.
  if (state.windowEnd[-1] != '\n') {
    if (state.windowEnd >= limit) {
      const LineFollowing rest = followLineForLiteral(literal, state.cur, limit);
      if (rest == TEXT_ENDS_WITHOUT_LITERAL) return GATE_END;
      refreshWindow();
      if (rest == LINE_LACKS_LITERAL) return GATE_MOVED;
      gate.lineHoldsLiteral = true;
    }
    gate.knownStart = state.windowStart;
    gate.knownLoads = textSource.windowLoads;
    gate.knownEnd = state.windowEnd;
    gate.literalAt = state.windowEnd;
    gate.occurrence = false;
    return GATE_TRY;
  }
  const uint8_t* from = state.windowEnd;
  const uint8_t* next = from < limit ? findLiteral(literal, from, limit) : nullptr;
  // Lines that hold the literal but no match are passed here, without
  // moving the window to each (see skimLines).
  LineSkim skim{};
  if (next != nullptr && dfa.active) skimLines(&from, &next, limit, memchrAlone, &skim);
  const uint8_t* target = lineStartBefore(from, next != nullptr ? next : limit);
  textSource.SetPosition(state.cur);
  if (textSource.AdvanceTo(target) != 0) return GATE_END;
  refreshWindow();
  // The occurrence found lies in the line moved to: its candidates up to it
  // pass without a second scan.
  if (next != nullptr && state.cur == target && next >= state.windowStart &&
      next < state.windowEnd) {
    gate.knownStart = state.windowStart;
    gate.knownLoads = textSource.windowLoads;
    gate.knownEnd = state.windowEnd;
    gate.literalAt = next;
    gate.occurrence = true;
    // The run before it, where the skim found it.
    gate.runStart = skim.runStart != nullptr && skim.runStart >= state.windowStart ? skim.runStart
                                                                                   : nullptr;
    gate.lastAt = nullptr;
    // So do the candidates up to the end of the match the table saw, from
    // where the match may start (see passDfa).
    if (skim.match.end != nullptr && skim.match.end < state.windowEnd) knowMatch(skim.match);
  }
  return GATE_MOVED;
}

// ---------------------------------------------------------------------------
// Lazy DFA filter
//
// Behind the gate, the lazy DFA (lazy_dfa.cpp) reads the candidate's line
// and passes it whole when no match starts in it; where one does, the
// candidates up to the end of the first match it saw go to the exact engine
// without another scan.

void prepareDfaFilter(bool takes) {
  dfa.active = takes;
  dfa.knownStart = dfa.knownEnd = dfa.matchEndAt = dfa.triedRunStart = nullptr;
}

// Whether a shortcut whose outcomes `counts` keeps is worth a try now: while
// more than a quarter of its tries fail, only one chance in 64 is taken, so
// the counts can recover. The counts are halved now and then to follow the
// text.
bool worthTrying(TryCounts* counts) {
  if (4 * counts->failed > counts->tried && ++counts->declined < 64) return false;
  counts->declined = 0;
  if (counts->tried >= 1024) {
    counts->tried /= 2;
    counts->failed /= 2;
  }
  ++counts->tried;
  return true;
}

// Whether the candidate at the pointer goes to the engine without the DFA's
// scan: the first candidate of the run before a known occurrence of the
// literal (passToLiteralRun), once a search. Where a match is the rule there
// ([A-Za-z_]+\( over source code), the engine reads what the DFA would and
// the scan is saved; a failed attempt costs about the scan it saved, and
// every later candidate passes the DFA as before. How often these attempts
// failed is kept across searches, in counts halved now and then so that they
// follow the text: where more than a quarter fail ([a-z]+_[a-z]+_[a-z]+,
// whose "_" mostly begins no match), the DFA reads first again.
TryCounts runAttempts{};

bool skipsDfaAtRun() {
  if (!gate.occurrence || gate.runStart != state.cur || dfa.triedRunStart == state.cur ||
      !knownWindow(gate.knownStart, gate.knownEnd, gate.knownLoads)) {
    return false;
  }
  if (!worthTrying(&runAttempts)) return false;
  dfa.triedRunStart = state.cur;
  return true;
}

// Counts the outcome of an attempt that skipped the DFA.
void noteRunAttempt(int32_t result) {
  if (dfa.triedRunStart == state.cur && result == REGEX_NO_MATCH) ++runAttempts.failed;
}

// The last position of the line where the gate's literal occurs, when the
// window holds the whole line and the gate knows an occurrence in it: no
// match starts after it. Null otherwise. The literal is one byte; in
// double-byte text such a byte may be a trail byte too, which only puts the
// position later.
const uint8_t* lastLiteralOfLine() {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  if (!gate.active || !gate.occurrence ||
      !knownWindow(gate.knownStart, gate.knownEnd, gate.knownLoads) || literal.length != 1 ||
      literal.otherCount != 0 || literal.fold != 0 || state.windowEnd[-1] != '\n' ||
      gate.literalAt < state.cur) {
    return nullptr;
  }
  if (gate.lastAt == nullptr) {
    gate.lastAt = findLastByte(gate.literalAt, state.windowEnd, literal.bytes[0]);
  }
  return gate.lastAt;
}

// GATE_MOVED also when the pointer moved on inside the line, to the first
// position where the match may start.
GateAnswer passDfa() {
  if (state.cur >= state.windowEnd) return GATE_TRY;
  if (knownWindow(dfa.knownStart, dfa.knownEnd, dfa.knownLoads) && state.cur <= dfa.matchEndAt) {
    return GATE_TRY;
  }
  const uint8_t* before = state.cur;
  // Where the window holds the rest of the line, the table alone mostly
  // tells, without the frame of a scan.
  if (state.windowEnd[-1] == '\n') {
    const uint8_t* lineFeed = state.windowEnd - 1;
    const uint8_t* last = lastLiteralOfLine();
    SkimmedMatch skimmed{nullptr, nullptr};
    const int32_t skim =
        skimLineWithDfa(state.cur, lineFeed, last != nullptr ? last : lineFeed - 1, &skimmed);
    if (skim == DFA_NO_MATCH) {
      textSource.SetPosition(state.cur);
      if (textSource.AdvanceTo(state.windowEnd) != 0) return GATE_END;
      refreshWindow();
      return GATE_MOVED;
    }
    if (skim == DFA_MATCH) {
      knowMatch(skimmed);
      return state.cur != before ? GATE_MOVED : GATE_TRY;
    }
  }
  int64_t firstEnd = 0;
  const int32_t verdict = scanLineWithDfa(startsOnLine, &firstEnd, lastLiteralOfLine());
  if (verdict == DFA_NO_MATCH) return GATE_MOVED;
  if (verdict != DFA_MATCH && verdict != DFA_UNKNOWN) return GATE_END;
  dfa.knownStart = state.windowStart;
  dfa.knownLoads = textSource.windowLoads;
  dfa.knownEnd = state.windowEnd;
  dfa.matchEndAt = verdict == DFA_MATCH && firstEnd < state.windowEnd - state.cur
                       ? state.cur + firstEnd
                       : state.windowEnd;
  // A match ends firstEnd bytes on, so the attempts from here read up to
  // there anyway: the budget gains the bytes the DFA read to find it, which no
  // later scan reads again (the next search starts past the end of the
  // match found), and a long match (a*b over a line of megabytes of "a")
  // stays with the backtracker instead of being read again by the VM.
  if (verdict == DFA_MATCH) stepsLeft += firstEnd * STEPS_PER_BYTE;
  return state.cur != before ? GATE_MOVED : GATE_TRY;
}

int32_t characterAtPointer(int32_t* length);
bool stepOver(int32_t length);
bool codePointMayStart(int32_t c);
bool codePointStartsHere();

// Programs whose every match passes a line end ($) and takes a bounded
// number of bytes, (?!(ba)*c)b$ above all: a match that starts at p meets
// a line end within that many bytes of p, so every position more than the
// bound before the first place where a line end may hold is passed without
// an attempt. Without it each position of a long line would be an attempt,
// and a look-ahead asked at each.
constexpr int32_t END_BOUND_SLOTS = 512;
constexpr int64_t END_BOUND_LIMIT = 64;

struct EndBound {
  uint32_t generation;  // the program description it was found for (programGeneration)
  int64_t bytes;        // the most bytes a match takes; -1 when the program is not such
};

EndBound endBound{0, -1};

// The most bytes a match takes, where every match passes LINE_END, in text
// of `charMode`; -1 otherwise. Only programs whose paths outside look-ahead
// bodies run forward (no loop) qualify: the bound is then the longest path.
int64_t bytesToLineEnd(int32_t charMode) {
  const Instruction* program = compiledPattern.program;
  const int32_t slots = compiledPattern.lastSlot + 1;
  if (charMode == ENCODING_DOUBLE_BYTE || slots < 1 || slots > END_BOUND_SLOTS) return -1;
  const int32_t setMode = compiledPattern.encodingMode == ENCODING_UTF8 ? ENCODING_UTF8
                                                                        : ENCODING_SINGLE_BYTE;
  // A character of UTF-8 text as the matcher decodes it takes at most six
  // bytes; a line terminator two.
  const int64_t characterBytes = charMode == ENCODING_UTF8 ? 6 : 1;
  bool reached[END_BOUND_SLOTS] = {};
  int32_t nextOf[END_BOUND_SLOTS][2];
  reached[0] = true;
  for (int32_t s = 0; s < slots; ++s) {
    nextOf[s][0] = -1;
    nextOf[s][1] = -1;
    if (!reached[s]) continue;
    const Instruction& in = program[s];
    switch (in.opcode) {
      case OP_CHAR:
      case OP_ANY:
      case OP_GROUP_START:
      case OP_GROUP_END:
      case OP_MARK_CURSOR:
      case OP_LINE_START:
      case OP_NEWLINE:
        nextOf[s][0] = s + 1;
        break;
      case OP_LINE_END:
        if (in.newlineEscape() != 0) return -1;
        nextOf[s][0] = s + 1;
        break;
      case OP_SET:
        nextOf[s][0] = s + setSlotCount(in, setMode);
        break;
      case OP_JUMP:
      case OP_NOT_AHEAD:  // its body tests the text ahead and takes none of it
        nextOf[s][0] = s + in.next();
        break;
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
        nextOf[s][0] = s + in.branch();
        nextOf[s][1] = s + in.next();
        break;
      case OP_MATCH:
        break;
      default:
        return -1;
    }
    for (const int32_t next : nextOf[s]) {
      if (next == -1) continue;
      if (next <= s || next >= slots) return -1;
      reached[next] = true;
    }
  }
  // From the end back: the most bytes to MATCH, and whether every way there
  // passes LINE_END.
  int64_t bytes[END_BOUND_SLOTS];
  bool anchored[END_BOUND_SLOTS];
  for (int32_t s = slots - 1; s >= 0; --s) {
    if (!reached[s]) continue;
    const Instruction& in = program[s];
    if (in.opcode == OP_MATCH) {
      bytes[s] = 0;
      anchored[s] = false;
      continue;
    }
    const int32_t a = nextOf[s][0];
    const int32_t b = nextOf[s][1];
    bytes[s] = b >= 0 && bytes[b] > bytes[a] ? bytes[b] : bytes[a];
    anchored[s] = anchored[a] && (b < 0 || anchored[b]);
    if (in.opcode == OP_CHAR || in.opcode == OP_ANY || in.opcode == OP_SET) {
      bytes[s] += characterBytes;
    } else if (in.opcode == OP_NEWLINE) {
      bytes[s] += 2;
    } else if (in.opcode == OP_LINE_END) {
      anchored[s] = true;
    }
  }
  return anchored[0] && bytes[0] <= END_BOUND_LIMIT ? bytes[0] : -1;
}

// The bound for the current program and text, kept by the program's
// description; -1 where positions are not so passed. Record bounds are the
// source's to tell: they may fall anywhere.
int64_t bytesToLineEndOfProgram() {
  if (endBound.generation != programGeneration || programGeneration == 0) {
    endBound = EndBound{programGeneration, bytesToLineEnd(textSource.charMode)};
  }
  return textSource.askLineBounds ? -1 : endBound.bytes;
}

// The bytes from the pointer to the first position where a line end may
// hold; at least `bound` when there are that many. The matcher takes a line
// end (LINE_END, NEWLINE) only within two bytes of the window's end, which
// is the end of the line or of the data in memory, and asks the source
// there; a source puts line ends at line feeds, carriage returns and the
// end of the text. So where the window ends inside a line, the bytes just
// past it, read through the source, tell whether a line end comes within
// reach after it.
int64_t bytesToPossibleLineEnd(int64_t bound) {
  const int64_t inWindow = state.windowEnd - state.cur;
  if (inWindow <= 2) return 0;
  const uint8_t* end = state.windowEnd;
  if (end[-1] == '\n' || end[-1] == '\r' || end[-2] == '\r' || inWindow > INT32_MAX - bound) {
    return inWindow - 2;
  }
  textSource.SetPosition(state.cur);
  for (int64_t k = 0; k < bound; ++k) {
    const int32_t c = textSource.PeekChar(static_cast<int32_t>(inWindow + k));
    if (c < 0 || c == '\n' || c == '\r') return inWindow - 2;
  }
  return inWindow + bound;
}

// Moves the pointer on to the first position in the window from which a
// match may reach a line end (in UTF-8 text a character start at or before
// it), or to the window's end, from where the caller's scan goes on into
// the next window.
void passPositionsFarFromLineEnd(int64_t bound) {
  const int64_t ahead = bytesToPossibleLineEnd(bound);
  if (ahead <= bound) return;
  int64_t target = ahead - bound;  // at most the bytes left in the window
  // In UTF-8 text the target must be a position that the walk over the
  // characters stops at: a byte other than a continuation byte, which no
  // character holds past its first byte, or a continuation byte more than a
  // sequence's length (six bytes at most) past the last such byte, which no
  // character holds either. At the window's end that byte is read through
  // the source: a character may run on past the window.
  if (textSource.charMode == ENCODING_UTF8) {
    const int64_t inWindow = state.windowEnd - state.cur;
    textSource.SetPosition(state.cur);
    const auto continues = [inWindow](int64_t at) {
      const int32_t c =
          at < inWindow ? state.cur[at] : textSource.PeekChar(static_cast<int32_t>(at));
      return c >= 0 && (c & 0xC0) == 0x80;
    };
    if (continues(target)) {
      for (int64_t back = 1; back < 6 && target - back >= 0; ++back) {
        if (!continues(target - back)) {
          target -= back;
          break;
        }
      }
    }
  }
  state.cur += target;
}

// With the gate active, each line is put to the gate before its bytes are
// scanned, and a line without a candidate left is passed as a whole: the
// scan for the literal, not the one for the first bytes, carries the search
// over lines that cannot match.
//
// In UTF-8 text (utf8) the filter holds the ASCII first characters and the
// lead bytes of the others (see utf8FilterOf). A byte found is a character
// start: the scan begins at one, and a byte below 0x80 or from 0xC0 up is
// never inside a character. A lead byte is decoded and its character
// checked, and the search steps over whole characters.
bool passToLiteralRun(bool passUnreached = true);
bool literalRunIsRare();

void readBranchPrefix();
int32_t branchPrefixLength();
bool branchPrefixAllows(const uint8_t* p, const uint8_t* end);

extern const ByteFilter* utf8StartFilter;

int32_t searchBytes(const ByteFilter& filter, bool utf8 = false) {
  utf8StartFilter = utf8 ? &filter : nullptr;
  readBranchPrefix();
  const bool prefixTests = branchPrefixLength() >= 2;
  bool newLine = gate.active;
  // The run start the gate moved the pointer to: a candidate there has
  // passed the gate already.
  const uint8_t* passedAt = nullptr;
  const int64_t bound = bytesToLineEndOfProgram();
  for (;;) {
    if (newLine) {
      newLine = false;
      passedAt = nullptr;
      const GateAnswer answer = passGate();
      if (answer == GATE_END) return REGEX_NO_MATCH;
      // Where the run's bytes are few ([0-9]+\.), occurrences of the
      // literal that no match can reach are passed before the line is
      // scanned for candidates, which would read far for them. Otherwise
      // the pointer moves on to the run before the literal at once: the
      // candidates before it would be passed one by one.
      if (answer == GATE_MOVED) {
        newLine = true;
        continue;
      }
      if (!literalRunIsRare()) {
        if (passToLiteralRun(false)) passedAt = state.cur;
      } else if (passToLiteralRun()) {
        newLine = true;
        continue;
      }
    }
    if (bound >= 0) passPositionsFarFromLineEnd(bound);
    const uint8_t* found = findMember(state.cur, state.windowEnd, filter);
    if (found != nullptr) {
      state.cur = found;
    } else if (gate.active) {
      textSource.SetPosition(state.cur);
      if (textSource.AdvanceTo(state.windowEnd) != 0) return REGEX_NO_MATCH;
      refreshWindow();
      newLine = true;
      continue;
    } else {
      // Past the window, a candidate is reached with one move through the
      // source; without one, the whole block of data is passed.
      const uint8_t* limit = dataLimit();
      found = findMember(state.windowEnd, limit, filter);
      textSource.SetPosition(state.cur);
      if (textSource.AdvanceTo(found != nullptr ? found : limit) != 0) return REGEX_NO_MATCH;
      refreshWindow();
      if (found == nullptr) continue;
    }
    int32_t length = 1;
    if (utf8 && *state.cur >= 0x80) {
      const int32_t c = characterAtPointer(&length);
      if (c == NO_CHARACTER) return REGEX_NO_MATCH;
      if (!codePointMayStart(c)) {
        if (!stepOver(length)) return REGEX_NO_MATCH;
        continue;
      }
    }
    if (gate.active && state.cur != passedAt) {
      const GateAnswer answer = passGate();
      if (answer == GATE_END) return REGEX_NO_MATCH;
      if (answer == GATE_MOVED || passToLiteralRun()) continue;
    }
    passedAt = nullptr;
    if (dfa.active && !skipsDfaAtRun()) {
      const GateAnswer answer = passDfa();
      if (answer == GATE_END) return REGEX_NO_MATCH;
      if (answer == GATE_MOVED) {
        // A line passed whole: the gate looks for the literal's next line
        // before any candidate of the next one is sought.
        newLine = gate.active && state.cur == state.windowStart;
        continue;
      }
    }
    const bool refused = prefixTests && !branchPrefixAllows(state.cur, state.windowEnd);
    if (!utf8) {
      const int32_t result = refused ? REGEX_NO_MATCH : attempt(filter.member, false);
      if (result != REGEX_NO_MATCH) return result;
      noteRunAttempt(result);
      ++state.cur;
      continue;
    }
    const int32_t result = refused ? REGEX_NO_MATCH : attempt(nullptr, false, codePointStartsHere);
    if (result != REGEX_NO_MATCH) return result;
    noteRunAttempt(result);
    // The engines that pass candidates on their own leave the pointer at
    // the last one.
    if (characterAtPointer(&length) == NO_CHARACTER || !stepOver(length)) return REGEX_NO_MATCH;
  }
}

// ---------------------------------------------------------------------------
// UTF-8 scans

// The character at the pointer; NO_CHARACTER when the text ends first.
int32_t characterAtPointer(int32_t* length) {
  if (state.windowEnd - state.cur >= 6) return decodeDirect(state.cur, length);
  if (state.cur >= state.windowEnd) {
    textSource.SetPosition(state.cur);
    if (textSource.AdvanceTo(state.cur) != 0) return NO_CHARACTER;
    refreshWindow();
  }
  textSource.SetPosition(state.cur);
  return decodeThroughSource(0, length);
}

// Moves past `length` bytes; false when the text ends.
bool stepOver(int32_t length) {
  if (length <= state.windowEnd - state.cur) {
    state.cur += length;
    return true;
  }
  textSource.SetPosition(state.cur);
  if (textSource.Advance(length) != 0) return false;
  refreshWindow();
  return true;
}

inline bool firstSetHas(const UnicodeSet* set, int32_t code) {
  if (code < 0) return false;
  const uint32_t c = static_cast<uint32_t>(code);
  if (c <= 0xFFFF) return c >= set->low && c <= set->high && ((set->bitmap[c >> 3] >> (c & 7)) & 1);
  return unicodeSetContains(set, code);
}

// The first characters of a search by code points: those in the set, or
// equal to `code` when set is null.
struct CodePointFilter {
  const UnicodeSet* set;
  int32_t code;
};

CodePointFilter codePointFilter;

bool codePointMayStart(int32_t c) {
  const UnicodeSet* set = codePointFilter.set;
  const int32_t code = codePointFilter.code;
  // An invalid byte (-1) is tried wherever it stands: a negated set takes it.
  return set != nullptr ? c == -1 || firstSetHas(set, c)
                        : c >= 0 && matcher_internal::comparableCodePoint(c) == static_cast<uint32_t>(code);
}

// For the engines that pass candidates on their own: a character start on a
// line whose character may begin a match. An ASCII byte is a character of
// its own, and the byte filter of the search (utf8StartFilter) holds every
// ASCII byte that may begin one: no decoding is needed there.
const ByteFilter* utf8StartFilter = nullptr;

bool codePointStartsHere() {
  if (utf8StartFilter != nullptr && state.cur < state.windowEnd && *state.cur < 0x80) {
    return utf8StartFilter->member[*state.cur] != 0 && startsOnLine();
  }
  int32_t length = 1;
  const int32_t c = characterAtPointer(&length);
  return c != NO_CHARACTER && codePointMayStart(c) && startsOnLine();
}

// Marks the first bytes of the code points first..last: every lead byte
// between those of the two ends, which the lead byte of each length class
// orders as the code points.
void addLeadBytes(uint8_t* member, uint32_t first, uint32_t last) {
  static constexpr uint32_t CLASS_ENDS[] = {0x7F, 0x7FF, 0xFFFF, 0x1FFFFF, 0x3FFFFFF, 0x7FFFFFFF};
  for (uint32_t classEnd : CLASS_ENDS) {
    if (first > last) return;
    if (first > classEnd) continue;
    const uint32_t end = last < classEnd ? last : classEnd;
    for (uint32_t b = utf8LeadByte(first); b <= utf8LeadByte(end); ++b) member[b] = 1;
    first = end + 1;
  }
}

// Whether the program holds a SET that takes an invalid byte (code point
// -1), which may then begin a match wherever it stands.
bool programTakesInvalidBytes() {
  // Kept by the program's description number: a program of many slots is
  // searched once per match, and the answer is the program's.
  static uint32_t answeredFor = 0;
  static bool answer = false;
  if (answeredFor != 0 && answeredFor == programGeneration) return answer;
  const Instruction* program = compiledPattern.program;
  answer = false;
  for (int32_t s = 0; s <= compiledPattern.lastSlot && !answer;) {
    const Instruction& in = program[s];
    if (in.opcode != OP_SET && in.opcode != OP_SET_SCAN) {
      ++s;
      continue;
    }
    const int32_t slots = setSlotCount(in, ENCODING_UTF8);
    answer = (in.setFlags() & SET_HOLDS_INVALID_BYTES) != 0 || slots < 1;
    s += slots;
  }
  answeredFor = programGeneration;
  return answer;
}

// Whether the set's bitmap part (below U+10000) may hold a code point of
// first..last: it is read in whole bytes, eight at a time, so a byte that
// the range cuts may answer for a neighbour, and a lead byte then joins the
// filter for nothing (the decoding passes over its characters).
bool bitmapHoldsAny(const UnicodeSet* set, uint32_t first, uint32_t last) {
  if (last < set->low || first > set->high) return false;
  uint32_t from = (first < set->low ? set->low : first) >> 3;
  const uint32_t to = ((last > set->high ? set->high : last) >> 3) + 1;
  for (; to - from >= 8; from += 8) {
    uint64_t word;
    std::memcpy(&word, set->bitmap + from, sizeof word);
    if (word != 0) return true;
  }
  for (; from < to; ++from) {
    if (set->bitmap[from] != 0) return true;
  }
  return false;
}

// The byte filter of the first-character set in UTF-8 text: the ASCII
// members and the lead bytes of the others; where an invalid byte may begin
// a match, every byte from 0x80 up, so that the scan stops at the first
// byte of a longer character or of an invalid one, which is then decoded.
// Built for each search: a lead byte is settled by the first word of
// members among its 64 or 4096 code points, so that a dense set costs
// little and a sparse one a pass over its bitmap.
ByteFilter utf8Filter;

const ByteFilter& utf8FilterOf(const UnicodeSet* set) {
  uint8_t member[256] = {};
  const uint32_t asciiEnd = set->high < 0x80 ? set->high : 0x7F;
  for (uint32_t c = set->low; c <= asciiEnd; ++c) member[c] = (set->bitmap[c >> 3] >> (c & 7)) & 1;
  for (uint32_t lead = 0xC2; lead <= 0xEF; ++lead) {
    const uint32_t first =
        lead < 0xE0 ? (lead - 0xC0) << 6 : lead == 0xE0 ? 0x800 : (lead - 0xE0) << 12;
    const uint32_t last = lead < 0xE0 ? ((lead - 0xC0) << 6) + 63 : ((lead - 0xE0) << 12) + 4095;
    if (bitmapHoldsAny(set, first, last)) member[lead] = 1;
  }
  // Above U+FFFF a lead byte stands for 2^18 code points or more: the lead
  // bytes from the first member's to the last one's, which may hold a few
  // that no member has, found and passed over by decoding.
  if (set->rangeCount > 0) {
    addLeadBytes(member, set->ranges[0], set->ranges[2 * set->rangeCount - 1]);
  }
  if (programTakesInvalidBytes()) std::memset(member + 0x80, 1, 0x80);
  if (std::memcmp(member, utf8Filter.member, sizeof member) != 0) {
    std::memcpy(utf8Filter.member, member, sizeof member);
    buildFilter(&utf8Filter);
  }
  return utf8Filter;
}

// The spellings of the characters last sought, kept while a search goes on.
LiteralSet spellingSet;
uint32_t spelledCharacters[LITERAL_SET_CAPACITY];
int32_t spelledCount = 0;
uint32_t spellingsMade = 0;  // counts the times spellingSet was made anew

// Characters of two bytes or more, at most LITERAL_SET_CAPACITY of them, are
// found by their whole spellings, since a lead byte alone begins most
// characters of its script (Cyrillic, Greek): the filter takes the set of
// spellings, its members then serving for a spelling cut by a range end.
void spellWhole(ByteFilter* filter, const uint32_t* characters, int32_t count) {
  if (count < 1 || count > LITERAL_SET_CAPACITY) return;
  uint8_t spelled[LITERAL_SET_CAPACITY][8];
  const uint8_t* spellings[LITERAL_SET_CAPACITY];
  int32_t lengths[LITERAL_SET_CAPACITY];
  int32_t longest = 0;
  for (int32_t i = 0; i < count; ++i) {
    lengths[i] = encodeUtf8(characters[i], spelled[i]);
    if (lengths[i] < 2) return;
    spellings[i] = spelled[i];
    if (lengths[i] > longest) longest = lengths[i];
  }
  if (count != spelledCount ||
      std::memcmp(characters, spelledCharacters, sizeof(uint32_t) * static_cast<size_t>(count)) != 0) {
    spelledCount = 0;
    ++spellingsMade;
    if (!prepareLiteralSet(spellings, lengths, count, false, &spellingSet)) return;
    std::memcpy(spelledCharacters, characters, sizeof(uint32_t) * static_cast<size_t>(count));
    spelledCount = count;
  }
  filter->spellings = &spellingSet;
  filter->longestSpelling = longest;
}

// The characters whose code point is in the set, or whose comparable form
// equals `code` when set is null, found by their bytes.
int32_t searchUtf8Bytes(const UnicodeSet* set, const Instruction* lead) {
  if (set != nullptr) {
    codePointFilter = CodePointFilter{set, 0};
    // The filter is the program's: made once for its description, not at
    // every search (a search ends at each match).
    static const UnicodeSet* filteredSet = nullptr;
    static uint32_t filteredFor = 0;
    static uint32_t spellingsThen = 0;
    if (set == filteredSet && filteredFor != 0 && filteredFor == programGeneration &&
        spellingsThen == spellingsMade) {
      return searchBytes(utf8Filter, true);
    }
    const ByteFilter& filter = utf8FilterOf(set);
    // A set of a few characters (a letter and its case forms) is sought by
    // their spellings, unless an invalid byte may begin a match.
    uint32_t members[LITERAL_SET_CAPACITY + 1];
    int32_t count = 0;
    if (set->rangeCount == 0 && set->low <= set->high && set->high - set->low < 4096 &&
        !programTakesInvalidBytes()) {
      for (uint32_t c = set->low; c <= set->high && count <= LITERAL_SET_CAPACITY; ++c) {
        if ((set->bitmap[c >> 3] >> (c & 7)) & 1) members[count++] = c;
      }
    }
    ByteFilter& spelled = utf8Filter;
    spelled.spellings = nullptr;
    spellWhole(&spelled, members, count);
    filteredSet = set;
    filteredFor = programGeneration;
    spellingsThen = spellingsMade;
    return searchBytes(filter, true);
  }
  const uint32_t code = lead->acceptedVariant();
  codePointFilter = CodePointFilter{nullptr, static_cast<int32_t>(code)};
  // The filter of the last character sought serves again while its spellings
  // stand: an all-matches walk starts a search at every match.
  static ByteFilter filter;
  static bool filterValid = false;
  static uint32_t filterCode = 0;
  static uint32_t filterAccepted = 0;
  static int32_t filterIgnoreCase = 0;
  static uint32_t filterSpellings = 0;
  if (filterValid && filterCode == code && filterAccepted == lead->accepted() &&
      filterIgnoreCase == compiledPattern.ignoreCase && filterSpellings == spellingsMade) {
    return searchBytes(filter, true);
  }
  std::memset(filter.member, 0, sizeof filter.member);
  // Ignoring case, every form of the fold; a CHAR never takes an invalid byte.
  uint32_t form = compiledPattern.ignoreCase != 0 ? code : lead->accepted();
  const uint32_t first = form;
  uint32_t forms[LITERAL_SET_CAPACITY + 1];
  int32_t count = 0;
  do {
    filter.member[utf8LeadByte(form)] = 1;
    if (count <= LITERAL_SET_CAPACITY) forms[count++] = form;
    if (compiledPattern.ignoreCase == 0) break;
    form = nextCaseForm(form);
  } while (form != first);
  buildFilter(&filter);
  spellWhole(&filter, forms, count);
  filterValid = true;
  filterCode = code;
  filterAccepted = lead->accepted();
  filterIgnoreCase = compiledPattern.ignoreCase;
  filterSpellings = spellingsMade;
  return searchBytes(filter, true);
}

// ---------------------------------------------------------------------------
// Leading-instruction strategies

// The first instruction that decides where a match may start. A leading
// negative look-ahead reads without moving: a match at a position also
// passes what follows it there, so the candidates are that item's, and the
// body is never asked where the item cannot start ((?!(ba)*c)b is tried at
// the b's only).
const Instruction* leadingInstruction(const Instruction* program) {
  const Instruction* in = program;
  for (;;) {
    if (in->opcode == OP_MARK_CURSOR || in->opcode == OP_GROUP_START ||
        in->opcode == OP_GROUP_END || in->opcode == OP_COUNT_RESET) {
      ++in;
    } else if (in->opcode == OP_NOT_AHEAD && in->next() > 0) {
      in += in->next();
    } else {
      return in;
    }
  }
}

// An anchored program: tried where the source puts the line starts (or
// ends), one line after the other.
int32_t searchAnchored(bool atLineStart) {
  int32_t stay = 1;
  // The position of the last failed attempt. A flag of its own, not a null
  // pointer: an empty text may lie at address null.
  bool tried = false;
  const uint8_t* lastTried = nullptr;
  const uint8_t* lastWindow = nullptr;
  for (;;) {
    textSource.SetPosition(state.cur);
    const int32_t moved = atLineStart ? textSource.GoLineStart(stay) : textSource.GoLineEnd(stay);
    if (moved != 0) return REGEX_NO_MATCH;
    refreshWindow();
    if (tried && state.cur == lastTried && state.windowStart == lastWindow) {
      // A line end that the source does not move past (a lone carriage
      // return): go on one byte further.
      textSource.SetPosition(state.cur);
      if (textSource.Advance(1) != 0) return REGEX_NO_MATCH;
      refreshWindow();
      stay = 1;
      tried = false;
      continue;
    }
    if (gate.active && atLineStart) {
      const GateAnswer answer = passGate();
      if (answer == GATE_END) return REGEX_NO_MATCH;
      if (answer == GATE_MOVED) {
        stay = 1;
        tried = false;
        continue;
      }
    }
    // A match of an anchored program starts at the line start, so the
    // filter leaves the pointer there unless the line holds none.
    if (dfa.active && atLineStart) {
      const GateAnswer answer = passDfa();
      if (answer == GATE_END) return REGEX_NO_MATCH;
      if (answer == GATE_MOVED) {
        stay = 1;
        tried = false;
        continue;
      }
    }
    const int32_t result = attempt(nullptr, true);
    if (result != REGEX_NO_MATCH) return result;
    tried = true;
    lastTried = state.cur;
    lastWindow = state.windowStart;
    stay = 0;
  }
}

// UTF-8 text: every character start on a line. A function of its own, so
// that the engines that pass candidates on their own step over characters as
// they decode.
bool characterStartsOnLine() { return startsOnLine(); }

// Every position, one byte (UTF-8: one character, as the matcher decodes it,
// so that each byte of a broken sequence is tried as the character it is)
// after the other; the position where the text ends is tried once.
int32_t searchEveryPosition() {
  const bool utf8 = textSource.charMode == ENCODING_UTF8;
  const int64_t bound = bytesToLineEndOfProgram();
  int32_t exhausted = 0;
  for (;;) {
    if (state.cur >= state.windowEnd) {
      textSource.SetPosition(state.cur);
      exhausted = textSource.SeekRelative(0);
      refreshWindow();
    }
    if (bound >= 0 && exhausted == 0 && state.cur < state.windowEnd) {
      passPositionsFarFromLineEnd(bound);
      if (state.cur >= state.windowEnd) continue;
    }
    if (gate.active && exhausted == 0) {
      const GateAnswer answer = passGate();
      if (answer == GATE_END) return REGEX_NO_MATCH;
      if (answer == GATE_MOVED) continue;
    }
    if (dfa.active && exhausted == 0) {
      const GateAnswer answer = passDfa();
      if (answer == GATE_END) return REGEX_NO_MATCH;
      if (answer == GATE_MOVED) continue;
    }
    const int32_t result =
        utf8 ? attempt(nullptr, false, characterStartsOnLine) : attempt(nullptr, false);
    if (result != REGEX_NO_MATCH) return result;
    if (exhausted != 0) return REGEX_NO_MATCH;
    int32_t length = 1;
    if (utf8 && characterAtPointer(&length) == NO_CHARACTER) return REGEX_NO_MATCH;
    if (length <= state.windowEnd - state.cur) {
      state.cur += length;
      continue;
    }
    // A character that runs on past the window; the end of the text after
    // it is still tried.
    textSource.SetPosition(state.cur);
    const int32_t moved = textSource.SeekRelative(length);
    refreshWindow();
    if (moved != 0 && moved != ADVANCE_AT_END) return REGEX_NO_MATCH;
  }
}

// ---------------------------------------------------------------------------
// Candidates around the required literal
//
// Where every match holds the required literal (one of the set) at most
// `reach` bytes after its start, a match starts only in the reach bytes
// before an occurrence, on the occurrence's line, or at the occurrence
// itself: the literal scan over the block of data finds the occurrences, and
// only those positions that may begin a match are tried, with no walk over
// the lines between them. A literal that runs on past the end of the block
// is not found by the scan; the positions whose literal could do so, the
// last reach + longest - 1 bytes of the block, are tried as they stand.
// Every position is tried at most once and in text order, so the first
// success is the leftmost match; after each attempt the search goes on from
// the pointer, as the window may have moved under it. Once the Pike VM or
// the memo runs the search, it passes candidates on its own.

// The most bytes before the literal for which this pays: every failed
// attempt scans again from the pointer up to the occurrence.
constexpr int64_t LITERAL_REACH_LIMIT = 64;

int32_t searchEveryCandidate();

struct LiteralStarts {
  int64_t reach;
  int32_t longest;              // the longest literal of the set
  uint8_t mayStart[256];        // the bytes a match may start with
  // mayStart holds the first bytes of the leading literals of the program
  // described as `generation`, compiled for `encodingMode`.
  bool leadingKnown;
  uint32_t generation;
  int32_t encodingMode;
  // Or, where the literal lies further in, reach and mayStart (and whether
  // they allow the literal's occurrences to lead) for that program in text
  // of `charMode`.
  bool innerKnown;
  bool innerAllows;
  int32_t charMode;
};

LiteralStarts literalStarts;

// The reach and first bytes of a program whose literal lies further in than
// its start; false where they cannot lead the search.
bool innerLiteralStarts(LiteralStarts* starts) {
  starts->reach = bytesBeforeRequiredLiteral();
  if (starts->reach < 0 || starts->reach > LITERAL_REACH_LIMIT) return false;
  if (textSource.charMode != ENCODING_UTF8) {
    if (compiledPattern.firstCharValid) {
      std::memcpy(starts->mayStart, filterOfTable(compiledPattern.firstCharTable).member, 256);
    } else {
      std::memset(starts->mayStart, 1, sizeof starts->mayStart);
    }
    return true;
  }
  if (!compiledPattern.firstCharValid) return false;
  // In UTF-8 text only first characters of ASCII alone, which never lie
  // inside another character.
  const ByteFilter& filter = utf8FilterOf(compiledPattern.firstCharSet);
  for (int32_t b = 0x80; b < 256; ++b) {
    if (filter.member[b] != 0) return false;
  }
  std::memcpy(starts->mayStart, filter.member, 256);
  return true;
}

// Whether the search goes by the literal's occurrences: the gate holds, the
// text is not double-byte (where an occurrence may begin on a trail byte),
// and the literal starts every match or lies a bounded distance into it with
// a test of the first byte that stops only at character starts. The lazy
// DFA is not run over these lines: an attempt at a candidate mostly ends
// within a few bytes, and the step budget bounds those that do not.
bool prepareLiteralStarts() {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  LiteralStarts& starts = literalStarts;
  if (!gate.active || pikeActive || memoActive || textSource.charMode == ENCODING_DOUBLE_BYTE) {
    return false;
  }
  // The lazy DFA set to run on every program it can takes the lines.
  if (dfa.active && lazyDfaUse() == LAZY_DFA_ALWAYS) return false;
  starts.longest = literal.length;
  for (int32_t i = 0; i < literal.otherCount; ++i) {
    if (literal.others[i].length > starts.longest) starts.longest = literal.others[i].length;
  }
  if (literal.leading != 0) {
    starts.reach = 0;
    // The first bytes of the literals (with their case forms under the case
    // table the program was compiled with) follow from the program alone:
    // set once for it, not at every search of a line.
    const bool same = starts.leadingKnown && starts.generation == programGeneration &&
                      starts.encodingMode == compiledPattern.encodingMode;
    starts.leadingKnown = true;
    starts.innerKnown = false;
    starts.generation = programGeneration;
    starts.encodingMode = compiledPattern.encodingMode;
    if (same) return true;
    std::memset(starts.mayStart, 0, sizeof starts.mayStart);
    for (int32_t i = 0; i <= literal.otherCount; ++i) {
      const uint8_t first = i == 0 ? literal.bytes[0] : literal.others[i - 1].bytes[0];
      starts.mayStart[first] = 1;
      if (literal.fold == 0) continue;
      for (int32_t b = 0; b < 256; ++b) {
        if (upperTable[b] == first) starts.mayStart[b] = 1;
      }
    }
    return true;
  }
  starts.leadingKnown = false;
  // These too follow from the program and the text's mode alone.
  if (starts.innerKnown && starts.generation == programGeneration &&
      starts.encodingMode == compiledPattern.encodingMode &&
      starts.charMode == textSource.charMode) {
    return starts.innerAllows;
  }
  starts.innerKnown = true;
  starts.generation = programGeneration;
  starts.encodingMode = compiledPattern.encodingMode;
  starts.charMode = textSource.charMode;
  starts.innerAllows = innerLiteralStarts(&starts);
  return starts.innerAllows;
}

// The bytes every match holds at its first offsets, where it begins with
// items of one byte each (a CHAR, a SET, ANY in the byte modes, a counted
// run of one of them up to its minimum): a candidate whose bytes differ
// there begins no match and is passed without an attempt. Read again only
// when the program's first slots or the text's mode change.
constexpr int32_t PREFIX_LIMIT = 16;
constexpr int32_t PREFIX_SLOT_LIMIT = 64;

struct MatchPrefix {
  int32_t length;                     // offsets known
  uint8_t allowed[PREFIX_LIMIT][32];  // per offset a bitmap of the bytes
  Instruction read[PREFIX_SLOT_LIMIT];
  int32_t readCount;  // the slots the prefix was read from, to know them again
  int32_t charMode;
  int32_t ignoreCase;
  int32_t encodingMode;
  uint32_t generation;  // the program description it was read under
};

MatchPrefix matchPrefix;

int32_t prefixSlotLength(const Instruction& in) {
  return in.opcode == OP_SET ? setSlotCount(in, compiledPattern.encodingMode) : 1;
}

// ---------------------------------------------------------------------------
// The run before the required literal
//
// Where every path from the program's start to the literal's first slot
// takes only characters of one byte from a set S (a run such as [a-z]+ in
// [a-z]+_[a-z]+ or [A-Za-z_]+\(), a match that starts at s holds the
// literal at an occurrence a from s on with every byte of [s, a) in S. A
// match that starts before the literal's first occurrence a0 from the
// pointer on reaches one at a0 or later, so every byte from its start up to
// a0 is in S: it starts inside the run of S bytes that ends at a0. The
// positions before that run cannot begin a match, and the search moves past
// them before the lazy DFA or an engine reads them. In
// UTF-8 text S must hold ASCII bytes alone, which never lie inside a
// character; double-byte text, where a trail byte may look like one, is
// left out.
constexpr int32_t LITERAL_RUN_SLOT_LIMIT = 256;

struct LiteralRun {
  uint32_t generation;  // the program description it was found for (programGeneration)
  int32_t charMode;
  bool valid;
  // Every path to the literal takes at least one byte of S, and the
  // literal's first byte is none of S: an occurrence right after a byte
  // outside S ([0-9]+\. over "x.y") can end no match's run, and no match
  // starts at or before it.
  bool emptyRunEndsNone;
  bool rare;  // S holds at most RARE_RUN_BYTES bytes
  // The program is one item over S, looped one or more times, then the
  // literal and MATCH, and the literal begins with no byte of S and holds no
  // line break: from any position of the run of S before an occurrence, the
  // one match is the rest of the run and the literal ([A-Za-z_]+\( over
  // "f(foo(x)"), with nothing to record on the way.
  bool wholeMatch;
  uint8_t member[256];  // S
};

constexpr int32_t RARE_RUN_BYTES = 16;

LiteralRun literalRun{};

bool findLiteralRun(LiteralRun* run) {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  const Instruction* program = compiledPattern.program;
  const int32_t slots = compiledPattern.lastSlot + 1;
  const int32_t mode = textSource.charMode;
  if (literal.length < 1 || literal.otherCount != 0 || literal.firstSlot < 1 ||
      literal.firstSlot >= slots || mode == ENCODING_DOUBLE_BYTE ||
      slots > LITERAL_RUN_SLOT_LIMIT) {
    return false;
  }
  uint8_t set[32] = {};
  bool reached[LITERAL_RUN_SLOT_LIMIT] = {};
  // Reached from the start without an item.
  bool bare[LITERAL_RUN_SLOT_LIMIT] = {};
  int32_t pending[2 * LITERAL_RUN_SLOT_LIMIT];
  int32_t count = 0;
  pending[count++] = 0;
  reached[0] = true;
  bare[0] = true;
  while (count > 0) {
    const int32_t pc = pending[--count];
    if (pc == literal.firstSlot) continue;
    const Instruction& in = program[pc];
    bool item = false;
    int64_t next[2] = {-1, -1};
    switch (in.opcode) {
      case OP_GROUP_START:
      case OP_GROUP_END:
      case OP_MARK_CURSOR:
      case OP_LINE_START:
      case OP_COUNT_RESET:
        next[0] = pc + 1;
        break;
      case OP_JUMP:
        next[0] = pc + static_cast<int64_t>(in.next());
        break;
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
      case OP_COUNT_LOOP:
      case OP_COUNT_LOOP_MIN:
        next[0] = pc + static_cast<int64_t>(in.branch());
        next[1] = pc + static_cast<int64_t>(in.next());
        break;
      case OP_CHAR:
      case OP_SET:
      case OP_CHAR_SCAN:
      case OP_SET_SCAN: {
        uint8_t bytes[32];
        if (!oneByteItem(in, mode, bytes, true)) return false;
        for (int32_t k = 0; k < 32; ++k) set[k] |= bytes[k];
        next[0] = pc + (in.opcode == OP_SET || in.opcode == OP_SET_SCAN
                            ? setSlotCount(in, compiledPattern.encodingMode)
                            : 1);
        item = true;
        break;
      }
      default:
        return false;
    }
    for (const int64_t target : next) {
      if (target == -1) continue;
      if (target < 0 || target >= slots) return false;
      // A slot reached bare is walked again when first reached through an
      // item, so that bareness spreads to all it leads to.
      const bool bareThere = bare[pc] && !item && !bare[target];
      if (!reached[target] || bareThere) {
        reached[target] = true;
        if (bareThere) bare[target] = true;
        pending[count++] = static_cast<int32_t>(target);
      }
    }
  }
  int32_t members = 0;
  for (int32_t b = 0; b < 256; ++b) {
    run->member[b] = (set[b >> 3] >> (b & 7)) & 1;
    members += run->member[b];
  }
  run->rare = members <= RARE_RUN_BYTES;
  run->emptyRunEndsNone = !bare[literal.firstSlot] && literal.fold == 0 &&
                          run->member[literal.bytes[0]] == 0;
  return true;
}

// Reads the CHAR slots from *pc that each take exactly one byte (no line
// break), at most `capacity` of them, into bytes; their count.
int32_t readPlainBytes(const Instruction* program, int32_t slots, int32_t* pc, uint8_t* bytes,
                       int32_t capacity) {
  int32_t count = 0;
  while (*pc < slots && count < capacity && program[*pc].opcode == OP_CHAR) {
    uint8_t set[32];
    if (!oneByteItem(program[*pc], textSource.charMode, set)) break;
    int32_t members = 0;
    int32_t byte = 0;
    for (int32_t b = 0; b < 256; ++b) {
      if (((set[b >> 3] >> (b & 7)) & 1) != 0) {
        ++members;
        byte = b;
      }
    }
    if (members != 1 || byte == '\n' || byte == '\r') break;
    bytes[count++] = static_cast<uint8_t>(byte);
    ++*pc;
  }
  return count;
}

// Whether the SPLIT at pc goes on to `a` one way and to `b` the other.
bool splitsTo(const Instruction* program, int32_t slots, int32_t pc, int64_t a, int64_t b) {
  if (pc >= slots) return false;
  const Instruction& in = program[pc];
  if (in.opcode != OP_SPLIT && in.opcode != OP_SPLIT_FIRST) return false;
  const int64_t one = pc + static_cast<int64_t>(in.branch());
  const int64_t other = pc + static_cast<int64_t>(in.next());
  return (one == a && other == b) || (one == b && other == a);
}

// Whether the program is the run's item looped and the literal alone (see
// LiteralRun::wholeMatch), the item taking the bytes of `member`.
bool runAndLiteralAlone(const uint8_t* member) {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  const Instruction* program = compiledPattern.program;
  const int32_t slots = compiledPattern.lastSlot + 1;
  const Instruction& item = program[0];
  const bool isSet = item.opcode == OP_SET || item.opcode == OP_SET_SCAN;
  if (!isSet && item.opcode != OP_CHAR && item.opcode != OP_CHAR_SCAN) return false;
  const int32_t loop = isSet ? setSlotCount(item, compiledPattern.encodingMode) : 1;
  if (loop + 1 != literal.firstSlot) return false;
  if (!splitsTo(program, slots, loop, 0, loop + 1)) return false;
  int32_t pc = literal.firstSlot;
  uint8_t bytes[REQUIRED_LITERAL_CAPACITY];
  if (readPlainBytes(program, slots, &pc, bytes, literal.length) != literal.length ||
      std::memcmp(bytes, literal.bytes, static_cast<size_t>(literal.length)) != 0) {
    return false;
  }
  return pc < slots && program[pc].opcode == OP_MATCH && member[literal.bytes[0]] == 0 &&
         member['\n'] == 0 && member['\r'] == 0;
}

[[gnu::noinline]] void describeLiteralRun(LiteralRun* run) {
  run->valid = findLiteralRun(run);
  run->wholeMatch =
      run->valid && !compiledPattern.requiredLiteral.fold && runAndLiteralAlone(run->member);
  run->generation = programGeneration;
  run->charMode = textSource.charMode;
}

// The run of the program being searched, found on first use. Asked at every
// attempt, so the check stays inline and the analysis out of line.
inline const LiteralRun& currentLiteralRun() {
  LiteralRun& run = literalRun;
  if (run.generation != programGeneration || run.charMode != textSource.charMode ||
      programGeneration == 0) {
    describeLiteralRun(&run);
  }
  return run;
}

// Past the window's line, the gate passes the lines that hold the literal
// but no match, as the lazy DFA's table shows them (skimLineWithDfa),
// without moving the window to each: *from moves on to the first line not
// so passed, and *next to the literal's first occurrence there (null when
// the data ends first). A match starts no earlier than the start of the run
// of S before the occurrence, where the program has one (S then holds no
// line feed, so the run ends at the line's start), nor after a one-byte
// literal's last occurrence. Where the program is the run and the literal
// alone, a run before the occurrence is a match already.
void skimLines(const uint8_t** from, const uint8_t** next, const uint8_t* limit, bool oneByte,
               LineSkim* skim) {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  const LiteralRun& run = currentLiteralRun();
  const bool byRun = run.valid && run.member['\n'] == 0;
  while (*next != nullptr) {
    const uint8_t* start = *next;
    if (byRun) {
      while (start > *from && run.member[start[-1]] != 0) --start;
      skim->runStart = start;
      if (run.wholeMatch && start < *next) return;
    } else {
      start = lineStartBefore(*from, *next);
    }
    // The line's end, and where the literal last occurs before it.
    const uint8_t* lastStart = nullptr;
    const uint8_t* lineFeed =
        oneByte ? findByteNotingLast(*next, limit, '\n', literal.bytes[0], &lastStart)
                : static_cast<const uint8_t*>(
                      std::memchr(*next, '\n', static_cast<size_t>(limit - *next)));
    if (lineFeed == nullptr) break;
    if (!oneByte) lastStart = lineFeed - 1;
    const int32_t verdict = skimLineWithDfa(start, lineFeed, lastStart, &skim->match);
    if (verdict != DFA_NO_MATCH) {
      if (verdict != DFA_MATCH) skim->match.end = nullptr;
      return;
    }
    *from = lineFeed + 1;
    *next = *from < limit ? findLiteral(literal, *from, limit) : nullptr;
  }
  skim->runStart = nullptr;
}

// An attempt that needs no engine: where the program is a run and the literal
// alone (LiteralRun::wholeMatch) and the pointer stands in the run before the
// occurrence the gate knows, the match is the rest of the run and the
// literal; true with it in the matcher's record. Lines only: in records the
// record's end would stop the run.
bool matchOfRunAndLiteral() {
  if (!gate.occurrence || gate.runStart == nullptr || state.cur < gate.runStart ||
      state.cur >= gate.literalAt || !knownWindow(gate.knownStart, gate.knownEnd, gate.knownLoads) ||
      textSource.askLineBounds != 0 ||
      textSource.fullWindowReads != 0 || regexEngine() != REGEX_ENGINE_AUTO) {
    return false;
  }
  const LiteralRun& run = currentLiteralRun();
  if (!run.valid || !run.wholeMatch) return false;
  recordPlainMatch(gate.literalAt + compiledPattern.requiredLiteral.length - state.cur);
  return true;
}

// A program that is a literal, one set looped any number of times and a
// second literal ("[^"]*", '[a-z]*'), where the second literal begins with
// no byte of the set and neither literal holds a line break: at a start, the
// one match there, if any, runs over the literal, every byte of the set that
// follows, and the second literal, which must stand where the set's bytes
// end. The test is a comparison and a scan, where the anchored DFA would
// step a table. In UTF-8 text the literals are ASCII and the scan stops at
// any other byte, where an engine tells.
constexpr int32_t QUOTE_CAPACITY = 8;

struct QuotedRun {
  uint32_t generation;  // programGeneration it was found for
  int32_t charMode;
  bool valid;
  int32_t openLength;
  int32_t closeLength;
  uint8_t open[QUOTE_CAPACITY];
  uint8_t close[QUOTE_CAPACITY];
  uint8_t member[256];
  bool staysOnLine;  // the item takes no line end
};

QuotedRun quotedRun{};

// The ASCII bytes the loop's item takes, into member; false for an item of
// another kind. In UTF-8 text the other bytes are left out (the scan stops
// there and an engine tells).
bool asciiMembers(const Instruction& item, uint8_t* member) {
  uint8_t set[32];
  if (oneByteItem(item, textSource.charMode, set, true)) {
    for (int32_t b = 0; b < 256; ++b) member[b] = (set[b >> 3] >> (b & 7)) & 1;
  } else if (textSource.charMode == ENCODING_UTF8 &&
             (item.opcode == OP_SET || item.opcode == OP_SET_SCAN)) {
    for (int32_t b = 0; b < 256; ++b) member[b] = b < 0x80 && matcher_internal::setRecordHas(&item, b);
  } else {
    return false;
  }
  if (textSource.charMode == ENCODING_UTF8) std::memset(member + 0x80, 0, 0x80);
  return true;
}

bool findQuotedRun(QuotedRun* quoted) {
  const Instruction* program = compiledPattern.program;
  const int32_t slots = compiledPattern.lastSlot + 1;
  const int32_t mode = textSource.charMode;
  if (!(mode == ENCODING_SINGLE_BYTE && compiledPattern.encodingMode == 0) &&
      !(mode == ENCODING_UTF8 && compiledPattern.encodingMode == ENCODING_UTF8)) {
    return false;
  }
  int32_t pc = 0;
  quoted->openLength = readPlainBytes(program, slots, &pc, quoted->open, QUOTE_CAPACITY);
  if (quoted->openLength == 0 || pc + 1 >= slots) return false;
  // SPLIT over the loop, its item, the SPLIT back to the item or on.
  const int32_t itemAt = pc + 1;
  const Instruction& item = program[itemAt];
  const bool isSet = item.opcode == OP_SET || item.opcode == OP_SET_SCAN;
  if (!isSet && item.opcode != OP_CHAR && item.opcode != OP_CHAR_SCAN) return false;
  if (!asciiMembers(item, quoted->member)) return false;
  const int32_t back = itemAt + (isSet ? setSlotCount(item, compiledPattern.encodingMode) : 1);
  if (!splitsTo(program, slots, pc, itemAt, back + 1) ||
      !splitsTo(program, slots, back, itemAt, back + 1)) {
    return false;
  }
  pc = back + 1;
  quoted->closeLength = readPlainBytes(program, slots, &pc, quoted->close, QUOTE_CAPACITY);
  if (quoted->closeLength == 0 || pc >= slots || program[pc].opcode != OP_MATCH) return false;
  // A line break stops the scan, and the engine then tells whether the set
  // takes it (across lines, or a carriage return that ends no line).
  quoted->member['\n'] = 0;
  quoted->member['\r'] = 0;
  quoted->staysOnLine = item.crossLines() == 0;
  return quoted->member[quoted->close[0]] == 0;
}

// The attempt at the pointer for such a program: 1 with the match in the
// matcher's record, 0 when none starts there, -1 when an engine is to tell
// (another program, or a match that would run to the window's end).
int32_t matchOfQuotedRun() {
  QuotedRun& quoted = quotedRun;
  if (quoted.generation != programGeneration || quoted.charMode != textSource.charMode ||
      programGeneration == 0) {
    quoted.valid = findQuotedRun(&quoted);
    quoted.generation = programGeneration;
    quoted.charMode = textSource.charMode;
  }
  if (!quoted.valid || regexEngine() != REGEX_ENGINE_AUTO || textSource.askLineBounds != 0 ||
      textSource.fullWindowReads != 0) {
    return -1;
  }
  const uint8_t* end = state.windowEnd;
  const uint8_t* p = state.cur;
  if (end - p < quoted.openLength) return -1;
  if (std::memcmp(p, quoted.open, static_cast<size_t>(quoted.openLength)) != 0) return 0;
  p += quoted.openLength;
  while (p < end && quoted.member[*p] != 0) ++p;
  // A long scan that found nothing goes to the engines, which note the loop
  // they passed, so that the later starts of the run ('a[a-z]*;' over
  // "aaa...aX;") do not each read it again; where the opening literal
  // begins with no byte of the set, no later start lies in the run.
  const bool sure =
      p - state.cur <= ANCHORED_SURE_BYTES || quoted.member[quoted.open[0]] == 0;
  // The line end that ends the window (lines only, see above), which an
  // item that stays on its line does not take.
  if (quoted.staysOnLine && p < end &&
      ((*p == '\n' && end - p == 1) || (*p == '\r' && end - p == 2 && p[1] == '\n'))) {
    return sure ? 0 : -1;
  }
  if (end - p < quoted.closeLength || *p == '\n' || *p == '\r' || *p >= 0x80) return -1;
  if (std::memcmp(p, quoted.close, static_cast<size_t>(quoted.closeLength)) != 0) {
    return sure ? 0 : -1;
  }
  recordPlainMatch(p + quoted.closeLength - state.cur);
  return 1;
}

bool literalRunIsRare() {
  const LiteralRun& run = currentLiteralRun();
  return run.valid && run.rare;
}

// Moves the pointer on to the run of S bytes before the literal's next
// occurrence, where the gate knows it; true when it moved.
bool passToLiteralRun(bool passUnreached) {
  if (!gate.occurrence || !knownWindow(gate.knownStart, gate.knownEnd, gate.knownLoads) ||
      state.cur > gate.literalAt) {
    return false;
  }
  const LiteralRun& run = currentLiteralRun();
  if (!run.valid) return false;
  if (gate.runStart == nullptr) {
    const uint8_t* p = gate.literalAt;
    while (p > state.windowStart && run.member[p[-1]] != 0) --p;
    gate.runStart = p;
  }
  if (gate.runStart == gate.literalAt && run.emptyRunEndsNone) {
    if (!passUnreached) return false;
    state.cur = gate.literalAt + 1;
    return true;
  }
  if (gate.runStart <= state.cur) return false;
  state.cur = gate.runStart;
  return true;
}

void readMatchPrefix() {
  MatchPrefix& prefix = matchPrefix;
  const Instruction* program = compiledPattern.program;
  const int32_t slots = compiledPattern.lastSlot + 1;
  const int32_t mode = textSource.charMode;
  if (prefix.readCount > 0 && prefix.generation == programGeneration &&
      prefix.charMode == mode && prefix.encodingMode == compiledPattern.encodingMode) {
    return;  // read from this very program: the search holds its description
  }
  if (prefix.readCount > 0 && prefix.readCount <= slots && prefix.charMode == mode &&
      prefix.ignoreCase == compiledPattern.ignoreCase &&
      std::memcmp(prefix.read, program, sizeof(Instruction) * prefix.readCount) == 0) {
    return;
  }
  int32_t n = 0;
  int32_t pc = 0;
  int32_t readEnd = 0;  // past the last slot looked at
  auto look = [&readEnd](int32_t end) {
    if (end > readEnd) readEnd = end;
  };
  while (n < PREFIX_LIMIT && pc < slots && pc < PREFIX_SLOT_LIMIT) {
    const Instruction& in = program[pc];
    look(pc + 1);
    if (in.opcode == OP_GROUP_START || in.opcode == OP_GROUP_END ||
        in.opcode == OP_MARK_CURSOR || in.opcode == OP_LINE_START) {
      ++pc;
      continue;
    }
    if (in.opcode == OP_COUNT_RESET && in.passMark() != PASS_START_MARK && pc + 1 < slots) {
      // COUNT_RESET, the item, the COUNT_LOOP back to it.
      const int32_t item = pc + 1;
      const int32_t loopAt = item + prefixSlotLength(program[item]);
      if (loopAt >= slots || loopAt >= PREFIX_SLOT_LIMIT) break;
      look(loopAt + 1);
      const Instruction& loop = program[loopAt];
      uint8_t itemBytes[32];
      if ((loop.opcode != OP_COUNT_LOOP && loop.opcode != OP_COUNT_LOOP_MIN) ||
          loopAt + static_cast<int64_t>(loop.branch()) != item || loop.counter() != in.counter() ||
          !oneByteItem(program[item], mode, itemBytes)) {
        break;
      }
      for (int32_t k = 0; k < loop.minimum() && n < PREFIX_LIMIT; ++k) {
        std::memcpy(prefix.allowed[n++], itemBytes, 32);
      }
      if (loop.minimum() != loop.maximum()) break;
      pc = loopAt + loop.next();
      continue;
    }
    look(pc + prefixSlotLength(in));
    if (!oneByteItem(in, mode, prefix.allowed[n])) break;
    ++n;
    pc += prefixSlotLength(in);
  }
  if (readEnd > slots) readEnd = slots;
  if (readEnd > PREFIX_SLOT_LIMIT) {
    n = 0;  // not to be known again: no prefix
    readEnd = 0;
  }
  prefix.length = n;
  prefix.readCount = readEnd;
  std::memcpy(prefix.read, program, sizeof(Instruction) * prefix.readCount);
  prefix.charMode = mode;
  prefix.ignoreCase = compiledPattern.ignoreCase;
  prefix.encodingMode = compiledPattern.encodingMode;
  prefix.generation = programGeneration;
}

// Whether the bytes at p (up to end) are among those `allowed` at their
// offsets below `length`, from offset `from` on.
inline bool offsetsAllow(const uint8_t (*allowed)[32], int32_t length, int32_t from,
                         const uint8_t* p, const uint8_t* end) {
  const int32_t n = end - p < length ? static_cast<int32_t>(end - p) : length;
  for (int32_t i = from; i < n; ++i) {
    if (((allowed[i][p[i] >> 3] >> (p[i] & 7)) & 1) == 0) return false;
  }
  return true;
}

// Whether the bytes at p (up to end) agree with the prefix.
inline bool prefixAllows(const uint8_t* p, const uint8_t* end) {
  return offsetsAllow(matchPrefix.allowed, matchPrefix.length, 0, p, end);
}

// The bytes a match may hold at each of its first offsets over every way
// through the program, alternatives and loops included: per offset the
// union of what the items there take, up to the first offset where some
// way ends or takes an item that is not one byte. Where a program is a
// long alternation whose ways differ after their first item
// ([a-z]00001[x-z]?|[a-z]00002[x-z]?|... by the thousand, too many states
// for the automata), most candidates fail these tests at once, where an
// engine would try every way at every candidate. Found once per program by
// following (slot, offset) pairs, each once, a bounded number of them.
constexpr int64_t BRANCH_PAIR_LIMIT = int64_t{1} << 24;

struct BranchPrefix {
  int32_t length;  // offsets known; 0 none, and below 2 nothing more than the first byte
  uint8_t allowed[PREFIX_LIMIT][32];
  uint32_t generation;  // the program description it was found for; 0 none
  int32_t charMode;
};

BranchPrefix branchPrefix;

void readBranchPrefix() {
  BranchPrefix& prefix = branchPrefix;
  const int32_t mode = textSource.charMode;
  if (prefix.generation == programGeneration && programGeneration != 0 &&
      prefix.charMode == mode) {
    return;
  }
  prefix.generation = programGeneration;
  prefix.charMode = mode;
  prefix.length = 0;
  std::memset(prefix.allowed, 0, sizeof prefix.allowed);
  const Instruction* program = compiledPattern.program;
  const int64_t slots = compiledPattern.lastSlot + 1;
  // In double-byte text a byte may be the trail of a character; the pairs
  // to follow are too many to be worth it past the limit.
  if (mode == ENCODING_DOUBLE_BYTE || slots < 1 ||
      slots * (PREFIX_LIMIT + 1) > BRANCH_PAIR_LIMIT) {
    return;
  }
  const int64_t pairs = slots * (PREFIX_LIMIT + 1);
  uint64_t* seen = nullptr;
  int64_t* pending = nullptr;
  int64_t capacity = 256;
  if (!memGrowArray(&seen, (pairs + 63) / 64) || !memGrowArray(&pending, capacity)) {
    memFree(seen);
    memFree(pending);
    return;
  }
  std::memset(seen, 0, static_cast<size_t>((pairs + 63) / 64) * sizeof(uint64_t));
  int64_t count = 0;
  int32_t length = PREFIX_LIMIT;
  bool failed = false;
  const auto visit = [&](int64_t pc, int32_t offset) {
    if (pc < 0 || pc >= slots) {
      if (offset < length) length = offset;
      return;
    }
    const int64_t pair = pc * (PREFIX_LIMIT + 1) + offset;
    if ((seen[pair >> 6] >> (pair & 63)) & 1) return;
    seen[pair >> 6] |= uint64_t{1} << (pair & 63);
    if (count == capacity) {
      if (!memGrowArray(&pending, capacity * 2)) {
        failed = true;
        return;
      }
      capacity *= 2;
    }
    pending[count++] = pair;
  };
  visit(0, 0);
  while (count > 0 && !failed) {
    const int64_t pair = pending[--count];
    const int64_t pc = pair / (PREFIX_LIMIT + 1);
    const int32_t offset = static_cast<int32_t>(pair % (PREFIX_LIMIT + 1));
    if (offset >= length) continue;  // beyond what every way reaches
    const Instruction& in = program[pc];
    switch (in.opcode) {
      case OP_GROUP_START:
      case OP_GROUP_END:
      case OP_MARK_CURSOR:
        visit(pc + 1, offset);
        break;
      case OP_JUMP:
        visit(pc + in.next(), offset);
        break;
      case OP_SPLIT:
      case OP_SPLIT_FIRST:
        visit(pc + in.branch(), offset);
        visit(pc + in.next(), offset);
        break;
      case OP_CHAR:
      case OP_ANY:
      case OP_SET: {
        // An item that reads across lines may take a CR LF pair as its
        // line feed: two bytes.
        uint8_t bytes[32];
        if (in.crossLines() != 0 || !oneByteItem(in, mode, bytes)) {
          length = offset;
          break;
        }
        for (int32_t k = 0; k < 32; ++k) prefix.allowed[offset][k] |= bytes[k];
        visit(pc + prefixSlotLength(in), offset + 1);
        break;
      }
      default:  // MATCH, line tests, loops by count, scans, look-ahead, back-references
        length = offset;
        break;
    }
  }
  memFree(seen);
  memFree(pending);
  prefix.length = failed ? 0 : length;
}

int32_t branchPrefixLength() { return branchPrefix.length; }

// Whether the bytes at p (up to end) may begin a match by branchPrefix
// (its first byte the caller's scan has tested).
inline bool branchPrefixAllows(const uint8_t* p, const uint8_t* end) {
  return offsetsAllow(branchPrefix.allowed, branchPrefix.length, 1, p, end);
}

// The first position that may begin a match, from `from` on, up to the
// next occurrence of the literal in [from, limit) or, without one, up to
// limit (*unseen tells that its literal may lie past limit); null when there
// is none.
const uint8_t* nextLiteralCandidate(const uint8_t* from, const uint8_t* limit, bool* unseen) {
  const RequiredLiteral& literal = compiledPattern.requiredLiteral;
  const LiteralStarts& starts = literalStarts;
  for (;;) {
    const uint8_t* at = findLiteral(literal, from, limit, limit);
    const uint8_t* first = from;
    const uint8_t* last = limit;
    if (at != nullptr) {
      if (at - first > starts.reach) first = at - starts.reach;
      last = at + 1;
    } else if (limit - first > starts.reach + starts.longest - 1) {
      first = limit - (starts.reach + starts.longest - 1);
    }
    // A match stays on the line of its literal.
    for (const uint8_t* q = last; q > first; --q) {
      if (q[-1] == '\n') {
        first = q;
        break;
      }
    }
    while (first < last && starts.mayStart[*first] == 0) ++first;
    *unseen = at == nullptr;
    if (first < last) return first;
    if (at == nullptr) return nullptr;
    from = last;
  }
}

int32_t searchNearLiteral() {
  const bool utf8 = textSource.charMode == ENCODING_UTF8;
  const int64_t bound = bytesToLineEndOfProgram();
  for (;;) {
    if (pikeActive || memoActive) return searchEveryCandidate();
    if (state.cur >= state.windowEnd) {
      textSource.SetPosition(state.cur);
      if (textSource.SeekRelative(0) != 0) return REGEX_NO_MATCH;
      refreshWindow();
    }
    if (bound >= 0) passPositionsFarFromLineEnd(bound);
    const uint8_t* limit = dataLimit();
    bool unseen = false;
    const uint8_t* candidate = nextLiteralCandidate(state.cur, limit, &unseen);
    textSource.SetPosition(state.cur);
    if (textSource.AdvanceTo(candidate != nullptr ? candidate : limit) != 0) return REGEX_NO_MATCH;
    refreshWindow();
    if (candidate == nullptr) continue;
    // A candidate whose literal is not in memory may stand on a long line
    // that holds no match for megabytes: the lazy DFA reads on to where a
    // match may start, where the engines would each read the line.
    if (unseen && dfa.active) {
      const GateAnswer answer = passDfa();
      if (answer == GATE_END) return REGEX_NO_MATCH;
      if (answer == GATE_MOVED) continue;
    }
    const int32_t result = !prefixAllows(state.cur, state.windowEnd) ? REGEX_NO_MATCH
                           : utf8 ? attempt(nullptr, false, characterStartsOnLine)
                                  : attempt(literalStarts.mayStart, false);
    if (result != REGEX_NO_MATCH) return result;
    int32_t length = 1;
    if (utf8 && (characterAtPointer(&length) == NO_CHARACTER || !stepOver(length))) {
      return REGEX_NO_MATCH;
    }
    if (!utf8) ++state.cur;
  }
}

int32_t searchCandidates() {
  if (prepareLiteralStarts()) {
    readMatchPrefix();
    return searchNearLiteral();
  }
  return searchEveryCandidate();
}

int32_t searchEveryCandidate() {
  if (state.cur >= state.windowEnd && compiledPattern.firstCharValid) {
    textSource.SetPosition(state.cur);
    if (textSource.SeekRelative(0) != 0) return REGEX_NO_MATCH;
    refreshWindow();
  }
  const bool utf8 = textSource.charMode == ENCODING_UTF8;
  if (compiledPattern.firstCharValid) {
    if (utf8) return searchUtf8Bytes(compiledPattern.firstCharSet, nullptr);
    return searchBytes(filterOfTable(compiledPattern.firstCharTable));
  }
  const Instruction* lead = leadingInstruction(compiledPattern.program);
  switch (lead->opcode) {
    case OP_LINE_START:
      return searchAnchored(true);
    case OP_LINE_END:
    case OP_NEWLINE:
      return searchAnchored(false);
    case OP_CHAR:
    case OP_CHAR_SCAN: {
      if (state.cur >= state.windowEnd) {
        textSource.SetPosition(state.cur);
        if (textSource.SeekRelative(0) != 0) return REGEX_NO_MATCH;
        refreshWindow();
      }
      if (utf8) return searchUtf8Bytes(nullptr, lead);
      return searchBytes(filterOfLeadingByte(*lead));
    }
    default:
      return searchEveryPosition();
  }
}

// ---------------------------------------------------------------------------
// The string text source

struct StringSource {
  const uint8_t* start;
  const uint8_t* end;
  const uint8_t* current;
  const uint8_t* saved;
  // A number of its own for each call: the string's bytes stay the same for
  // as long as its search runs, which may call an engine several times.
  uint32_t identity;
};

StringSource text;

int64_t distanceToEnd() { return text.end - text.current; }

void stringSetPosition(const uint8_t* p) { text.current = p; }

int32_t stringAdvanceTo(const uint8_t* p) {
  if (p > text.end) {
    text.current = text.end;
    return -1;
  }
  text.current = p;
  return p == text.end ? ADVANCE_AT_END : 0;
}

int32_t stringAdvance(int32_t n) {
  if (n >= distanceToEnd()) {
    text.current = text.end;
    return ADVANCE_AT_END;
  }
  text.current += n;
  return 0;
}

int32_t stringPeekChar(int32_t n) {
  if (n >= distanceToEnd() || -static_cast<int64_t>(n) > text.current - text.start) return -1;
  return text.current[n];
}

void stringGetLineWindow(const uint8_t** cursor, const uint8_t** lineStart, const uint8_t** lineEnd,
                         uint32_t* stamp) {
  *cursor = text.current;
  *lineStart = text.start;
  *lineEnd = text.end;
  *stamp = 0;
}

int32_t stringNextChar() {
  if (text.current >= text.end) return -1;
  return *text.current++;
}

int32_t stringMoveBy(int32_t n) {
  if (-static_cast<int64_t>(n) > text.current - text.start) {
    text.current = text.start;
    return -1;
  }
  if (n > distanceToEnd()) {
    text.current = text.end;
    return -1;
  }
  text.current += n;
  return 0;
}

int32_t stringSeekRelative(int32_t n) {
  if (n > distanceToEnd()) {
    text.current = text.end;
    return -1;
  }
  return stringAdvanceTo(text.current + n);
}

int32_t stringAtLineEnd(int32_t n, int32_t) { return n == distanceToEnd() ? 1 : 0; }

int32_t stringAtLineStart(int32_t n) {
  return -static_cast<int64_t>(n) == text.current - text.start;
}

int32_t stringGoLineEnd(int32_t stay) {
  if (stay == 0 || text.current > text.end) return -1;
  text.current = text.end;
  return 0;
}

int32_t stringGoLineStart(int32_t stay) {
  if (stay == 0 || text.current > text.start) return -1;
  text.current = text.start;
  return 0;
}

int32_t stringHasMore(int32_t n, int32_t) { return n < distanceToEnd() ? 1 : 0; }

int32_t stringSaveMark(void* mark) {
  if (mark != nullptr) text.saved = text.current;
  return 0;
}

int32_t stringRestoreMark(const void*) {
  text.current = text.saved;
  return 0;
}

int32_t stringStopRequested() { return 0; }

void stringReportPosition(int32_t*, int32_t*, int32_t*) {}

uint32_t stringTextPlace(const uint8_t* position, int64_t* offset) {
  *offset = position - text.start;
  return text.identity;
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// The search after a match
//
// Where matches stand a few bytes apart ("b" over "abab...", b(?!(ab)*c)
// over the same line), the set-up of a search (the plan, the gate, the
// filters, the scans) costs several times more than finding the match. The
// driver starts its next search just where the match ends, so the place is
// kept: the text (TextPlace's number), the difference between an offset and
// its window pointer, the window's end and the pointer the next search
// should start at. A search that starts there, over the same window, with
// the program of the last one, tries the first few positions after the
// pointer at once with the engine that found the match:
//   - the Pike VM tries its short run at the first candidate after the
//     pointer (resumePikeVm): every way of searching starts the VM there
//     with the same answer, the others only pass positions where no match
//     can start, and every engine finds the backtracker's match;
//   - the backtracker is run at each of the next RESUME_REACH positions
//     that the program's first characters allow, within the line, as the
//     full search would run it there: the gate and the lazy DFA only pass
//     positions where no match starts. It runs on the budget of steps of
//     the search it resumes (where the VM or the memo takes over when it
//     runs out), or without one where every attempt that fails ends within
//     the program's paths (backtrackerRunsLinear); other programs are not
//     resumed this way. In double-byte text every byte is a position, as
//     in the full search, and the attempt itself refuses a start on the
//     second byte of a character.
// Where the resumed search does not settle it, the search is made in full
// from the pointer.

struct ResumePlace {
  uint32_t text;  // 0: nothing kept
  uint32_t compiled;
  int64_t base;
  const uint8_t* from;
  const uint8_t* windowEnd;
  RegexEngine engine;  // the engine chosen then (regexEngine)
  bool byBacktracker;  // false: by the Pike VM's short run
};

ResumePlace resume{};

// The most bytes passed to the first candidate.
constexpr int32_t RESUME_REACH = 8;

// Bytes the backtracker's resumed candidates keep from the window's end,
// where a character may run past it.
constexpr int32_t RESUME_MARGIN = 8;

// How often the backtracker's resumed searches found nothing: where the
// next match mostly stands further on, the full search is made at once.
TryCounts backtrackerResumes{};

// Keeps the place after the match at the pointer; `known` the place of the
// search that found it, which read the same window (0: ask the source).
void keepResumePlace(const ResumePlace& known) {
  resume.text = 0;
  if (trieActive || textSource.TextPlace == nullptr) return;
  bool byBacktracker = false;
  if (pikeActive) {
    if (dfa.active || !pikeVmMayResume()) return;
  } else {
    if (memoActive || !(pikeStandsBy || memoStandsBy || enginePlan.linear) ||
        !worthTrying(&backtrackerResumes)) {
      return;
    }
    byBacktracker = true;
  }
  int32_t advance = matcher.cursorMark != 0 ? matcher.cursorMark - 1 : matcher.matchLength;
  // After an empty match the driver goes on one character: the backtracker
  // resumes there when the character is a byte (single-byte text, ASCII in
  // UTF-8 text).
  if (advance == 0 && byBacktracker && matcher.cur < state.windowEnd &&
      (textSource.charMode != ENCODING_UTF8 || *matcher.cur < 0x80)) {
    advance = 1;
  }
  if (advance <= 0 || advance > state.windowEnd - matcher.cur) return;
  if (known.text != 0) {
    resume = known;
  } else {
    int64_t offset = 0;
    resume.text = textSource.TextPlace(matcher.cur, &offset);
    resume.base = windowBase(matcher.cur, offset);
    resume.windowEnd = state.windowEnd;
    resume.compiled = compiledPattern.generation;
    resume.engine = regexEngine();
  }
  resume.from = matcher.cur + advance;
  resume.byBacktracker = byBacktracker;
}

// Hands the match at the pointer to the caller.
int32_t reportFound(const ResumePlace& known = ResumePlace{}) {
  keepResumePlace(known);
  textSource.SetPosition(matcher.cur);
  compiledPattern.matchLength = matcher.matchLength;
  compiledPattern.cursorMark = matcher.cursorMark;
  const BacktrackFrame& base = matcher.stack[0];
  compiledPattern.groupMask = base.endMask;
  if (base.endMask != 0)
    std::memcpy(compiledPattern.groupSpans, base.captures, sizeof base.captures);
  return REGEX_FOUND;
}

// Whether a match may begin with the character at the pointer, of `length`
// bytes: false where the program's first characters rule it out.
bool resumedCandidate(int32_t* length) {
  const uint8_t byte = *state.cur;
  if (textSource.charMode != ENCODING_UTF8) {
    return compiledPattern.firstCharValid == 0 || compiledPattern.firstCharTable[byte] != 0;
  }
  const int32_t c = byte < 0x80 ? byte : decodeDirect(state.cur, length);
  return compiledPattern.firstCharValid == 0 || c == -1 ||
         firstSetHas(compiledPattern.firstCharSet, c);
}

// The backtracker's search from the place kept, at the pointer:
// REGEX_FOUND, -8, or REGEX_NO_MATCH when it must be made in full.
int32_t resumeBacktracker(const ResumePlace& place, int64_t offset) {
  chargeBudget(place.text, offset);
  bool tried = false;  // an attempt failed or a candidate was passed
  for (int32_t passed = 0; passed <= RESUME_REACH;) {
    if (state.windowEnd - state.cur < RESUME_MARGIN || *state.cur == '\n' || *state.cur == '\r') {
      break;
    }
    int32_t length = 1;
    tried = true;
    if (resumedCandidate(&length)) {
      matcher.top = 0;
      int32_t result;
      if (pikeStandsBy || memoStandsBy) {
        stepsLeft += STEPS_PER_ATTEMPT;
        result = runProgram(compiledPattern.program, &stepsLeft);
      } else {
        result = runProgram(compiledPattern.program);
      }
      if (result == 1) return reportFound(place);
      if (result != 0) break;
    }
    state.cur += length;
    passed += length;
  }
  // Where the line ends at once, the search in full costs no more.
  if (tried) ++backtrackerResumes.failed;
  state.cur = place.from;
  textSource.SetPosition(state.cur);
  return REGEX_NO_MATCH;
}

// The search from the place kept: REGEX_FOUND, -8, or REGEX_NO_MATCH when
// it must be made in full.
int32_t resumeSearch() {
  const ResumePlace place = resume;
  resume.text = 0;
  loadMatcherWindow();
  if (state.cur != place.from || state.windowEnd != place.windowEnd ||
      compiledPattern.generation != place.compiled || place.compiled == 0) {
    return REGEX_NO_MATCH;
  }
  int64_t offset = 0;
  if (textSource.TextPlace(state.cur, &offset) != place.text ||
      windowBase(state.cur, offset) != place.base) {
    return REGEX_NO_MATCH;
  }
  if (place.byBacktracker) {
    // The backtracker resumes only the searches of the engine it ran for.
    if (regexEngine() != place.engine) return REGEX_NO_MATCH;
    return resumeBacktracker(place, offset);
  }
  matcher.top = 0;
  const int32_t found = resumePikeVm(RESUME_REACH, place.text, offset);
  if (found < 0) return found;
  if (found > 0) return reportFound(place);
  // The candidate tests move the source's position along.
  textSource.SetPosition(matcher.cur);
  return REGEX_NO_MATCH;
}

}  // namespace

int32_t SearchRegex(const uint8_t*, int32_t) {
  compiledPattern.groupMask = 0;
  compiledPattern.cursorMark = 0;
  if (compiledPattern.program == nullptr) return REGEX_NO_MATCH;
  if (resume.text != 0) {
    const int32_t resumed = resumeSearch();
    if (resumed != REGEX_NO_MATCH) return resumed;
  }
  const DescriptionHold hold;
  if (prepareMatcherStack() != 0 || preparePassStarts(compiledPattern.loopGuards) != 0) {
    return REGEX_OUT_OF_MEMORY;
  }
  matcher.top = 0;
  loadMatcherWindow();
  prepareGate();
  const EnginePlan& plan = planEngines();
  trieActive = plan.trie;
  trieStarts = trieActive && literalTriePrefixLength(compiledPattern.literalTrie) > 0
                   ? compiledPattern.literalTrie
                   : nullptr;
  if (trieActive) {
    dfa = DfaFilter{};
  } else {
    prepareDfaFilter(plan.dfaTakes);
  }
  pikeActive = plan.pikeCan && pikeVmStartsAtOnce();
  pikeStandsBy = plan.pikeCan && !pikeActive;
  memoActive = plan.memoCan && plan.engine == REGEX_ENGINE_MEMO;
  memoStandsBy = plan.memoCan && !memoActive;
  anchoredActive = plan.anchored;
  prepareBudget();
  const int32_t result = searchCandidates();
  if (result == PIKE_TEXT_END) return REGEX_NO_MATCH;
  if (result != REGEX_FOUND) return result;
  return reportFound();
}

int32_t FindRegexInMemory(int32_t start, const uint8_t* pattern, int32_t length,
                          const uint8_t* textBytes, int32_t textLength, int32_t charMode) {
  if (start < 1) start = 1;
  if (textLength < 0 || start - 1 > textLength) return 0;
  const TextSource saved = textSource;
  textSource = TextSource{};
  text.start = textBytes;
  text.end = textBytes + textLength;
  text.current = textBytes + (start - 1);
  text.saved = text.current;
  text.identity = newTextIdentity();
  TextSource& ts = textSource;
  ts.SetPosition = stringSetPosition;
  ts.AdvanceTo = stringAdvanceTo;
  ts.Advance = stringAdvance;
  ts.PeekChar = stringPeekChar;
  ts.GetLineWindow = stringGetLineWindow;
  ts.NextChar = stringNextChar;
  ts.MoveBy = stringMoveBy;
  ts.SeekRelative = stringSeekRelative;
  ts.AtLineEnd = stringAtLineEnd;
  ts.AtLineStart = stringAtLineStart;
  ts.GoLineEnd = stringGoLineEnd;
  ts.GoLineStart = stringGoLineStart;
  ts.HasMore = stringHasMore;
  ts.SaveMark = stringSaveMark;
  ts.RestoreMark = stringRestoreMark;
  ts.StopRequested = stringStopRequested;
  ts.ReportPosition = stringReportPosition;
  ts.TextPlace = stringTextPlace;
  ts.fullWindowReads = 0;
  ts.askLineBounds = 0;
  ts.charMode = charMode;

  const int32_t result = SearchRegex(pattern, length);
  const int64_t position = text.current - text.start;
  textSource = saved;
  return result == REGEX_FOUND ? static_cast<int32_t>(position) + 1 : 0;
}
