// A small program for the differential test of the regular-expression
// engine: it reads cases from standard input and prints every match the
// engine reports, the way the search driver walks a text (after a match of
// length L the next search starts L bytes on, or 1 byte for an empty match).
//
// Input, per case: a header line "DIALECT IGNORECASE PATTERNLENGTH TEXTLENGTH"
// followed by the pattern bytes and the text bytes. Output, per case, one
// line: "E STATUS" when the pattern does not compile, otherwise "M" followed by
// " START LENGTH" for each match (START 0-based).
#include <cstdint>
#include <cstdio>
#include <vector>

#include "files/text_encoding.h"
#include "pattern/compiled_pattern.h"

namespace {

bool readBytes(std::vector<uint8_t>& into, long length) {
  into.resize(static_cast<size_t>(length));
  return length == 0 ||
         std::fread(into.data(), 1, static_cast<size_t>(length), stdin) ==
             static_cast<size_t>(length);
}

}  // namespace

int main() {
  char dialect;
  int ignoreCase;
  long patternLength;
  long textLength;
  std::vector<uint8_t> pattern;
  std::vector<uint8_t> text;
  while (std::fscanf(stdin, " %c %d %ld %ld", &dialect, &ignoreCase, &patternLength,
                     &textLength) == 4) {
    if (std::fgetc(stdin) != '\n') return 2;
    if (!readBytes(pattern, patternLength) || !readBytes(text, textLength)) return 2;
    if (ignoreCase) {
      // As the search driver does: upper-cased, escape letters kept.
      std::vector<uint8_t> original = pattern;
      for (size_t i = 0; i < pattern.size(); ++i) {
        if (i == 0 || original[i - 1] != '\\') pattern[i] = upperTable[pattern[i]];
      }
    }
    int32_t status = CompileRegex(pattern.data(), static_cast<int32_t>(pattern.size()),
                                  ignoreCase, dialect, 0, 0);
    if (status != 0) {
      std::printf("E %d\n", status);
      continue;
    }
    std::fputs("M", stdout);
    const int32_t n = static_cast<int32_t>(text.size());
    int32_t position = 1;
    while (position <= n + 1) {
      int32_t found = FindRegexInMemory(position, pattern.data(),
                                        static_cast<int32_t>(pattern.size()), text.data(), n, 0);
      if (found == 0) break;
      int32_t length = compiledPattern.matchLength;
      std::printf(" %d %d", found - 1, length);
      position = found + (length > 0 ? length : 1);
    }
    std::fputc('\n', stdout);
  }
  return 0;
}
