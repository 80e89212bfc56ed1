// Feeds the regular-expression compiler a pattern in one of the three syntaxes
// ('R', 'U', 'B'), with or without ignore case, in one of the three character
// modes, then searches a short text with the compiled program: in memory
// (FindRegexInMemory) and through the file text window, as the driver does.
//
// Input: byte 0 chooses syntax (bits 0-1), ignore case (bit 2), character
// mode (bits 3-4) and record mode (bit 5, record length from bits 6-7);
// byte 1 the pattern length (up to 64); then the pattern, then the text.
// A backtracking run of k chained unbounded loops costs about (text
// length)^k steps where they overlap, and nested loops ("(a#)#", or a loop
// around a predefined class that holds one) about 2^(text length): such work
// is exponential, not endless, and would only stop the run on a timeout. So
// the text is cut to 64 bytes under one loop, 16 under two and 10 under
// three, and patterns with more loops are skipped.
//
// Checks, beyond the sanitizers:
//  - a compile fails only with the syntax-error or out-of-memory status;
//  - a search in memory from any start up to the first match finds that
//    match, with the same length, and none finds one when there is none;
//  - on a text of one line, the window search finds the matches the memory
//    search finds (bar an empty match at the very end, where the window
//    search stops). An empty text is no line in a file but one empty line in
//    memory, so "$" and what depends on it differ there: it is left out.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "console/stream.h"
#include "driver/search_driver.h"
#include "driver/text_window.h"
#include "fuzz/fuzz_support.h"
#include "pattern/compiled_pattern.h"
#include "pattern/text_source.h"
#include "tests/unit/match_walk.h"

namespace {

constexpr size_t PATTERN_MAX = 64;
constexpr size_t TEXT_MAX = 64;
constexpr int32_t LOOPS_MAX = 3;
constexpr size_t TEXT_MAX_UNDER_LOOPS[LOOPS_MAX + 1] = {TEXT_MAX, TEXT_MAX, 16, 10};

// The unbounded loops a pattern may hold, counted generously over all
// dialects: each repetition character, and the loops inside the predefined
// classes reached with ':' ('R') or "\:" ('U').
int32_t countLoops(const std::string& pattern) {
  int32_t loops = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '*' || c == '+' || c == '@' || c == '#' || c == '{') {
      ++loops;
    } else if (c == ':' && i + 1 < pattern.size()) {
      const char next = static_cast<char>(std::tolower(static_cast<unsigned char>(pattern[i + 1])));
      if ((next >= '0' && next <= '9') || next == '*') {
        ++loops;
      } else if (std::strchr("bfhivw", next) != nullptr && next != 0) {
        loops += 1;
      } else if (next == 'q') {
        loops += 2;
      } else if (next == 'n' || next == 'p') {
        loops += 4;
      }
    }
  }
  return loops;
}
constexpr int32_t FOUND = 0;
using match_walk::Match;

// The matches over the file, as the driver walks it. A search that went back
// would make the walk loop for ever: it is cut off past the text's length.
std::vector<Match> findAllInFile(const std::string& name, int32_t recordLength,
                                             int32_t charMode) {
  std::vector<Match> found;
  const int32_t status =
      match_walk::walkFile(name, recordLength, charMode, nullptr, [&found](int64_t offset) {
        const int32_t length = compiledPattern.matchLength;
        found.push_back({offset, length});
        FUZZ_CHECK(found.size() <= TEXT_MAX + 2, static_cast<long long>(found.size()), offset);
        return static_cast<int64_t>(length > 0 ? length : 1);
      });
  FUZZ_CHECK(status == FOUND || status == 1 || status == REGEX_OUT_OF_MEMORY, status, 0);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const int32_t SYNTAXES[4] = {'R', 'U', 'B', 'U'};
  const int32_t syntax = SYNTAXES[data[0] & 3];
  const int32_t ignoreCase = (data[0] >> 2) & 1;
  static const int32_t MODES[3] = {ENCODING_SINGLE_BYTE, ENCODING_DOUBLE_BYTE, ENCODING_UTF8};
  const int32_t mode = MODES[((data[0] >> 3) & 3) % 3];
  const int32_t recordLength = (data[0] & 0x20) != 0 ? 1 + ((data[0] >> 6) & 3) * 5 : 0;
  const size_t patternLength = std::min<size_t>(data[1] % (PATTERN_MAX + 1), size - 2);
  std::string pattern(reinterpret_cast<const char*>(data + 2), patternLength);
  const int32_t loops = countLoops(pattern);
  if (loops > LOOPS_MAX) return 0;
  const size_t textLength = std::min(TEXT_MAX_UNDER_LOOPS[loops], size - 2 - patternLength);
  const uint8_t* textBytes = data + 2 + patternLength;

  fuzz::useCharacterMode(mode);
  if (ignoreCase) {
    upperCaseSearchText(pattern.data(), static_cast<int32_t>(pattern.size()), syntax,
                        mode == ENCODING_UTF8 ? 1 : 0);
  }
  const int32_t compiled =
      CompileRegex(reinterpret_cast<const uint8_t*>(pattern.data()),
                   static_cast<int32_t>(pattern.size()), ignoreCase, syntax, recordLength, mode);
  FUZZ_CHECK(compiled == 0 || compiled == REGEX_SYNTAX_ERROR || compiled == REGEX_OUT_OF_MEMORY,
             compiled, 0);
  if (compiled != 0) return 0;

  // A copy of exactly the text's length, so that a read past it is caught.
  const std::vector<uint8_t> textCopy(textBytes, textBytes + textLength);
  const uint8_t* bytes = textCopy.data();
  const int32_t length = static_cast<int32_t>(textLength);
  const int32_t first = FindRegexInMemory(1, nullptr, 0, bytes, length, mode);
  const int32_t firstLength = compiledPattern.matchLength;

  // A search from any start up to the first match finds that match again:
  // a start that the candidate filter skipped would show up as a later one.
  // In UTF-8 a start inside a character, or in malformed text, is no start
  // the search itself would take.
  const bool wellFormed = mode != ENCODING_UTF8 || fuzz::validUtf8(bytes, textLength);
  const int32_t limit = first > 0 ? first : length + 1;
  for (int32_t start = 2; start <= limit && wellFormed; ++start) {
    if (mode == ENCODING_UTF8 && start <= length && (bytes[start - 1] & 0xC0) == 0x80) continue;
    const int32_t again = FindRegexInMemory(start, nullptr, 0, bytes, length, mode);
    FUZZ_CHECK(again == (first > 0 ? first : 0), start, again);
    if (first > 0) FUZZ_CHECK(compiledPattern.matchLength == firstLength, start, firstLength);
  }

  std::string name = fuzz::scratchDirectory("regex_fuzzer") + "/text";
  fuzz::writeFile(name, bytes, textLength);
  const std::vector<Match> inFile = findAllInFile(name, recordLength, mode);
  bool oneLine = recordLength == 0 && textLength > 0;
  for (size_t i = 0; i < textLength; ++i) {
    if (bytes[i] == '\n' || bytes[i] == '\r') oneLine = false;
  }
  if (!oneLine) return 0;
  const std::vector<Match> inMemory = match_walk::findAllInMemory(bytes, length, mode);
  FUZZ_CHECK(inFile.size() <= inMemory.size(), static_cast<long long>(inFile.size()),
             static_cast<long long>(inMemory.size()));
  for (size_t i = 0; i < inMemory.size(); ++i) {
    if (i >= inFile.size()) {
      // Only matches at the very end may be missing from the window search.
      FUZZ_CHECK(inMemory[i].start == length, inMemory[i].start, static_cast<long long>(i));
      continue;
    }
    FUZZ_CHECK(inFile[i].start == inMemory[i].start, inFile[i].start, inMemory[i].start);
    FUZZ_CHECK(inFile[i].length == inMemory[i].length, inFile[i].length, inMemory[i].length);
  }
  return 0;
}
