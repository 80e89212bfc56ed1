// Feeds the literal search a search text and a text to search, in each of its
// modes: plain, ignore case, double-byte (code page 932), double-byte with
// ignore case, and UTF-8 with ignore case; with each candidate scan and work
// budget. The text is searched through the file text window, as the driver
// does, optionally behind filler that puts it across the window boundary; in
// the single-byte modes also as a block of memory.
//
// Input: byte 0 chooses the mode (value mod 5 of bits 0-2), the scan (bits
// 3-4), the budget (bits 5-6) and the filler (bit 7); byte 1 the search text
// length (up to 64); then the search text, then the text.
//
// Checks, beyond the sanitizers: every match the searches report, in order,
// is what comparing at every offset finds (byte for byte, through the case
// tables when case is ignored, by case folds in UTF-8 text, at character
// starts only in double-byte text).
// UTF-8 texts are compared only when both are well-formed.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/search_driver.h"
#include "driver/text_window.h"
#include "fuzz/fuzz_support.h"
#include "pattern/literal_search.h"
#include "support/case_folding.h"
#include "tests/unit/match_walk.h"

namespace {

constexpr size_t PATTERN_MAX = 64;

enum Mode { PLAIN, IGNORE_CASE, DOUBLE_BYTE, DOUBLE_BYTE_IGNORE_CASE, UTF8_IGNORE_CASE };

struct Budget {
  int32_t perByte;
  int32_t allowance;
};
const Budget BUDGETS[4] = {{-1, -1}, {0, 0}, {1, 2}, {0, 25}};

// A character of UTF-8 text compared without case: its case fold; malformed
// bytes one by one.
uint32_t foldedCharacterAt(const std::string& text, size_t t, size_t* length) {
  const uint8_t* start = reinterpret_cast<const uint8_t*>(text.data()) + t;
  uint32_t codePoint = 0;
  const uint8_t* next =
      decodeUtf8(start, reinterpret_cast<const uint8_t*>(text.data()) + text.size(), &codePoint);
  *length = static_cast<size_t>(next - start);
  return codePoint == INVALID_CODE_POINT ? codePoint : foldCodePoint(codePoint);
}

bool equalAt(Mode mode, const std::string& text, size_t s, const std::string& pattern,
             const std::string& lower, bool leadInPattern) {
  if (mode == UTF8_IGNORE_CASE) {
    size_t t = s;
    for (size_t i = 0; i < pattern.size();) {
      size_t patternStep = 0;
      size_t textStep = 0;
      const uint32_t wanted = foldedCharacterAt(pattern, i, &patternStep);
      if (t >= text.size() || foldedCharacterAt(text, t, &textStep) != wanted) return false;
      i += patternStep;
      t += textStep;
    }
    return true;
  }
  if (s + pattern.size() > text.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const uint8_t c = static_cast<uint8_t>(text[s + i]);
    const uint8_t p = static_cast<uint8_t>(pattern[i]);
    switch (mode) {
      case PLAIN:
      case DOUBLE_BYTE:
        if (c != p) return false;
        break;
      case DOUBLE_BYTE_IGNORE_CASE:
        // With a lead byte in the search text, a text byte matches the
        // byte's upper- or lower-case form as the search text has them.
        if (leadInPattern) {
          if (c != p && c != static_cast<uint8_t>(lower[i])) return false;
          break;
        }
        [[fallthrough]];
      default:
        if (upperTable[c] != p) return false;
        break;
    }
  }
  return true;
}

std::vector<int64_t> naiveMatches(Mode mode, const std::string& text, const std::string& pattern) {
  std::vector<int64_t> found;
  if (pattern.empty()) return found;
  std::string lower = pattern;
  lowerCaseText(lower.data(), static_cast<int32_t>(lower.size()), 0);
  const bool doubleByte = mode == DOUBLE_BYTE || mode == DOUBLE_BYTE_IGNORE_CASE;
  const bool leadInPattern =
      std::any_of(pattern.begin(), pattern.end(),
                  [](char c) { return leadByteTable[static_cast<uint8_t>(c)] != 0; });
  for (size_t s = 0; s < text.size(); ++s) {
    const uint8_t* start = reinterpret_cast<const uint8_t*>(text.data());
    if (doubleByte && !isCharacterStart(start, start + s)) continue;
    if (equalAt(mode, text, s, pattern, lower, leadInPattern)) {
      found.push_back(static_cast<int64_t>(s));
    }
  }
  return found;
}

// Every match start through the file text window, as the driver walks them:
// search, note the cursor, move one byte on.
std::vector<int64_t> windowMatches(const std::string& name, const std::string& pattern,
                                   int32_t charMode, size_t textLength) {
  std::vector<int64_t> found;
  const auto* bytes = reinterpret_cast<const uint8_t*>(pattern.data());
  const int32_t length = static_cast<int32_t>(pattern.size());
  const auto take = [&](int64_t offset) {
    found.push_back(offset);
    FUZZ_CHECK(found.size() <= textLength, static_cast<long long>(found.size()),
               static_cast<long long>(textLength));
    return int64_t{1};
  };
  const int32_t status =
      match_walk::walkFile(name, 0, charMode, nullptr, take, [&] { return SearchLiteral(bytes, length); });
  FUZZ_CHECK(status == 0 || status == 1, status, 0);
  return found;
}

std::vector<int64_t> memoryMatches(const std::string& text, const std::string& pattern) {
  std::vector<int64_t> found;
  const auto* block = reinterpret_cast<const uint8_t*>(text.data());
  const auto* bytes = reinterpret_cast<const uint8_t*>(pattern.data());
  int32_t start = 1;
  for (;;) {
    const int32_t at = FindLiteralInMemory(start, bytes, static_cast<int32_t>(pattern.size()),
                                           block, static_cast<int32_t>(text.size()));
    if (at == 0) break;
    FUZZ_CHECK(at >= start, at, start);
    found.push_back(at - 1);
    start = at + 1;
  }
  return found;
}

// A byte that no match can use, to fill the text up to the window boundary.
char fillerFor(const std::string& pattern) {
  for (const char candidate : {'\n', '\0', ' ', '~', '#'}) {
    bool used = false;
    for (const char c : pattern) {
      const uint8_t b = static_cast<uint8_t>(c);
      const uint8_t f = static_cast<uint8_t>(candidate);
      used = used || c == candidate || upperTable[f] == b || lowerTable[f] == b ||
             upperTable[b] == f || lowerTable[b] == f;
    }
    if (!used) return candidate;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const Mode mode = static_cast<Mode>((data[0] & 7) % 5);
  const int32_t scanner = (data[0] >> 3) & 3;
  const Budget& budget = BUDGETS[(data[0] >> 5) & 3];
  const bool acrossWindow = (data[0] & 0x80) != 0;
  const size_t patternLength = std::min<size_t>(data[1] % (PATTERN_MAX + 1), size - 2);
  std::string pattern(reinterpret_cast<const char*>(data + 2), patternLength);
  std::string text(reinterpret_cast<const char*>(data + 2 + patternLength),
                   size - 2 - patternLength);

  const int32_t charMode = mode == DOUBLE_BYTE || mode == DOUBLE_BYTE_IGNORE_CASE ? ENCODING_DOUBLE_BYTE
                           : mode == UTF8_IGNORE_CASE                           ? ENCODING_UTF8
                                                                                : ENCODING_SINGLE_BYTE;
  const bool ignoreCase = mode == IGNORE_CASE || mode == DOUBLE_BYTE_IGNORE_CASE ||
                          mode == UTF8_IGNORE_CASE;
  fuzz::useCharacterMode(charMode);
  // The driver hands the search text over upper-cased when case is ignored.
  if (ignoreCase) {
    upperCaseSearchText(pattern.data(), static_cast<int32_t>(pattern.size()), 0,
                        mode == UTF8_IGNORE_CASE ? 1 : 0);
  }
  selectLiteralScanner(scanner);
  setLiteralWorkBudget(budget.perByte, budget.allowance);

  if (acrossWindow) {
    const char filler = fillerFor(pattern);
    const size_t before = WINDOW_SIZE - std::min<size_t>(text.size() / 2, WINDOW_SIZE);
    if (filler != 0) text.insert(0, before, filler);
  }

  const int32_t compiled =
      CompileLiteral(reinterpret_cast<const uint8_t*>(pattern.data()),
                     static_cast<int32_t>(pattern.size()), ignoreCase ? 1 : 0, charMode);
  FUZZ_CHECK(compiled == 0, compiled, 0);
  const std::string name = fuzz::scratchDirectory("literal_fuzzer") + "/text";
  fuzz::writeFile(name, text.data(), text.size());
  const std::vector<int64_t> inWindow = windowMatches(name, pattern, charMode, text.size());
  const std::vector<int64_t> inMemory =
      charMode == ENCODING_SINGLE_BYTE ? memoryMatches(text, pattern) : std::vector<int64_t>{};

  const bool comparable =
      mode != UTF8_IGNORE_CASE || (fuzz::validUtf8(reinterpret_cast<const uint8_t*>(text.data()),
                                                   text.size()) &&
                                   fuzz::validUtf8(reinterpret_cast<const uint8_t*>(pattern.data()),
                                                   pattern.size()));
  if (!comparable) return 0;
  const std::vector<int64_t> expected = naiveMatches(mode, text, pattern);
  const auto firstDifference = [&](const std::vector<int64_t>& found) {
    size_t i = 0;
    while (i < found.size() && i < expected.size() && found[i] == expected[i]) ++i;
    return i;
  };
  const size_t windowAt = firstDifference(inWindow);
  FUZZ_CHECK(inWindow == expected,
             windowAt < inWindow.size() ? inWindow[windowAt] : -1,
             windowAt < expected.size() ? expected[windowAt] : -1);
  if (charMode == ENCODING_SINGLE_BYTE) {
    const size_t memoryAt = firstDifference(inMemory);
    FUZZ_CHECK(inMemory == expected,
               memoryAt < inMemory.size() ? inMemory[memoryAt] : -1,
               memoryAt < expected.size() ? expected[memoryAt] : -1);
  }
  return 0;
}
