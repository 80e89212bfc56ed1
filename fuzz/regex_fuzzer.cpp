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
//  - the first match in memory is where the matcher, run on its own at every
//    candidate start, first succeeds, with the same length, and no match is
//    reported when no start succeeds;
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

#include "driver/text_window.h"
#include "fuzz/fuzz_support.h"
#include "pattern/compiled_pattern.h"
#include "pattern/matcher.h"
#include "pattern/text_source.h"
#include "support/stream.h"

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

struct Match {
  int64_t start;
  int32_t length;
};

// A text source over a string, with the behaviour the string search gives
// its own: the whole string is one window and one line. It lets the harness
// run the matcher at a start position of its choosing.
struct StringText {
  const uint8_t* start;
  const uint8_t* end;
  const uint8_t* current;
  const uint8_t* saved;
};
StringText text;

int64_t left() { return text.end - text.current; }

void installStringSource(const uint8_t* bytes, size_t length, int32_t charMode) {
  text = {bytes, bytes + length, bytes, bytes};
  textSource = TextSource{};
  TextSource& ts = textSource;
  ts.SetPosition = [](const uint8_t* p) { text.current = p; };
  ts.AdvanceTo = [](const uint8_t* p) -> int32_t {
    if (p > text.end) {
      text.current = text.end;
      return -1;
    }
    text.current = p;
    return p == text.end ? ADVANCE_AT_END : 0;
  };
  ts.Advance = [](int32_t n) -> int32_t {
    if (n >= left()) {
      text.current = text.end;
      return ADVANCE_AT_END;
    }
    text.current += n;
    return 0;
  };
  ts.PeekChar = [](int32_t n) -> int32_t {
    if (n >= left() || -static_cast<int64_t>(n) > text.current - text.start) return -1;
    return text.current[n];
  };
  ts.GetLineWindow = [](const uint8_t** cursor, const uint8_t** lineStart, const uint8_t** lineEnd,
                        uint32_t* stamp) {
    *cursor = text.current;
    *lineStart = text.start;
    *lineEnd = text.end;
    *stamp = 0;
  };
  ts.NextChar = []() -> int32_t { return text.current < text.end ? *text.current++ : -1; };
  ts.MoveBy = [](int32_t n) -> int32_t {
    if (-static_cast<int64_t>(n) > text.current - text.start) {
      text.current = text.start;
      return -1;
    }
    if (n > left()) {
      text.current = text.end;
      return -1;
    }
    text.current += n;
    return 0;
  };
  ts.SeekRelative = [](int32_t n) -> int32_t {
    if (n > left()) {
      text.current = text.end;
      return -1;
    }
    return textSource.AdvanceTo(text.current + n);
  };
  ts.AtLineEnd = [](int32_t n, int32_t) -> int32_t { return n == left() ? 1 : 0; };
  ts.AtLineStart = [](int32_t n) -> int32_t {
    return -static_cast<int64_t>(n) == text.current - text.start ? 1 : 0;
  };
  ts.GoLineEnd = [](int32_t stay) -> int32_t {
    if (stay == 0 || text.current > text.end) return -1;
    text.current = text.end;
    return 0;
  };
  ts.GoLineStart = [](int32_t stay) -> int32_t {
    if (stay == 0 || text.current > text.start) return -1;
    text.current = text.start;
    return 0;
  };
  ts.HasMore = [](int32_t n, int32_t) -> int32_t { return n < left() ? 1 : 0; };
  ts.SaveMark = [](void* mark) -> int32_t {
    if (mark != nullptr) text.saved = text.current;
    return 0;
  };
  ts.RestoreMark = [](const void*) -> int32_t {
    text.current = text.saved;
    return 0;
  };
  ts.StopRequested = []() -> int32_t { return 0; };
  ts.ReportPosition = [](int32_t*, int32_t*, int32_t*) {};
  ts.charMode = charMode;
}

// The matcher alone at one start position: 1 matched (length in *length),
// 0 not, -8 out of memory.
int32_t attemptAt(size_t position, int32_t* length) {
  textSource.SetPosition(text.start + position);
  loadMatcherWindow();
  matcher.top = 0;
  const int32_t result = runProgram(compiledPattern.program);
  *length = matcher.matchLength;
  return result;
}

// The start positions the search tries: every byte in the byte modes (in
// double-byte text the matcher itself refuses a trail byte), the starts of
// characters in UTF-8, and the end of the text.
bool isCandidate(const uint8_t* bytes, size_t length, size_t position, int32_t charMode) {
  if (charMode != ENCODING_UTF8 || position == 0 || position == length) return true;
  return (bytes[position] & 0xC0) != 0x80;
}

std::vector<Match> findAllInMemory(const uint8_t* bytes, int32_t length, int32_t charMode) {
  std::vector<Match> found;
  int32_t start = 1;
  while (start <= length + 1) {
    const int32_t at = FindRegexInMemory(start, nullptr, 0, bytes, length, charMode);
    if (at == 0) break;
    found.push_back({at - 1, compiledPattern.matchLength});
    start = at + (compiledPattern.matchLength > 0 ? compiledPattern.matchLength : 1);
  }
  return found;
}

std::vector<Match> findAllInFile(const std::string& name, int32_t recordLength,
                                 int32_t charMode) {
  std::vector<Match> found;
  int32_t status = 0;
  Stream* stream = openStream(name.c_str(), "rb", &status, STREAM_FILE_CAPACITY);
  FUZZ_CHECK(stream != nullptr, status, 0);
  openTextWindow(stream, recordLength, 0, charMode);
  // A search that makes no progress would loop for ever; the text is short.
  for (int32_t round = 0; round <= static_cast<int32_t>(TEXT_MAX) + 2; ++round) {
    status = SearchRegex(nullptr, 0);
    if (status != FOUND) break;
    const int32_t matchLength = compiledPattern.matchLength;
    found.push_back({cursorOffset(), matchLength});
    if (textSource.AdvanceTo(textWindow.cursor + (matchLength > 0 ? matchLength : 1)) != 0) break;
    FUZZ_CHECK(round < static_cast<int32_t>(TEXT_MAX) + 2, round, 0);
  }
  FUZZ_CHECK(status == FOUND || status == 1 || status == REGEX_OUT_OF_MEMORY, status, 0);
  closeStream(stream);
  return found;
}

// The search text as the driver hands it over with ignore case: upper-cased,
// except the letter after a backslash.
std::string upperCasedPattern(const std::string& pattern) {
  std::string out = pattern;
  upperCaseText(out.data(), static_cast<int32_t>(out.size()), 0);
  for (size_t i = 1; i < out.size(); ++i) {
    if (pattern[i - 1] == '\\') out[i] = pattern[i];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const int32_t SYNTAXES[4] = {'R', 'U', 'B', 'U'};
  const int32_t syntax = SYNTAXES[data[0] & 3];
  const int32_t ignoreCase = (data[0] >> 2) & 1;
  const int32_t mode = ((data[0] >> 3) & 3) % 3;
  const int32_t recordLength = (data[0] & 0x20) != 0 ? 1 + ((data[0] >> 6) & 3) * 5 : 0;
  const size_t patternLength = std::min<size_t>(data[1] % (PATTERN_MAX + 1), size - 2);
  std::string pattern(reinterpret_cast<const char*>(data + 2), patternLength);
  const int32_t loops = countLoops(pattern);
  if (loops > LOOPS_MAX) return 0;
  const size_t textLength = std::min(TEXT_MAX_UNDER_LOOPS[loops], size - 2 - patternLength);
  const uint8_t* textBytes = data + 2 + patternLength;

  fuzz::useCharacterMode(mode);
  if (ignoreCase) pattern = upperCasedPattern(pattern);
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

  // The matcher on its own at every candidate start.
  FUZZ_CHECK(prepareMatcherStack() == 0, 0, 0);
  FUZZ_CHECK(preparePassStarts(compiledPattern.loopGuards) == 0, 0, 0);
  const TextSource saved = textSource;
  installStringSource(bytes, textLength, mode);
  // Malformed UTF-8 may end a search early, and the candidates inside it
  // depend on how the search steps over it; the checks need well-formed text.
  const bool wellFormed = mode != ENCODING_UTF8 || fuzz::validUtf8(bytes, textLength);
  const size_t limit = first > 0 ? static_cast<size_t>(first - 1) : textLength;
  bool outOfMemory = false;
  for (size_t p = 0; p <= limit && !outOfMemory; ++p) {
    if (!wellFormed && !(first > 0 && p == limit)) continue;
    if (!isCandidate(bytes, textLength, p, mode)) continue;
    int32_t matchLength = 0;
    const int32_t result = attemptAt(p, &matchLength);
    outOfMemory = result < 0;
    if (first > 0 && p == limit) {
      FUZZ_CHECK(result == 1 || outOfMemory, static_cast<long long>(p), result);
      FUZZ_CHECK(outOfMemory || matchLength == firstLength, matchLength, firstLength);
    } else {
      FUZZ_CHECK(result != 1, static_cast<long long>(p), matchLength);
    }
  }
  textSource = saved;

  std::string name = fuzz::scratchDirectory("regex_fuzzer") + "/text";
  fuzz::writeFile(name, bytes, textLength);
  const std::vector<Match> inFile = findAllInFile(name, recordLength, mode);
  bool oneLine = recordLength == 0 && !outOfMemory && textLength > 0;
  for (size_t i = 0; i < textLength; ++i) {
    if (bytes[i] == '\n' || bytes[i] == '\r') oneLine = false;
  }
  if (!oneLine) return 0;
  const std::vector<Match> inMemory = findAllInMemory(bytes, length, mode);
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
