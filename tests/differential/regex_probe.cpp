// A small program for the differential test of the regular-expression
// engine: it reads cases from standard input and prints every match the
// engine reports, the way the search driver walks a text (after a match of
// length L the next search starts L bytes on, or 1 byte for an empty match).
//
// Input, per case: a header line "DIALECT IGNORECASE PATTERNLENGTH TEXTLENGTH
// SOURCE ENCODING" followed by the pattern bytes and the text bytes. ENCODING
// is the text's mode (0 single-byte, 2 UTF-8, where the walk steps over an
// empty match by a whole character). SOURCE is S to
// search the text as a string in memory (one line), or F to search it as a
// file through the text window, lines and all: the text is written to the
// file named by the program's argument. The walk over a file ends, as the
// driver's does, when it moves to the end of the file. Output, per case,
// one line: "E STATUS" when the pattern does not compile, otherwise "M"
// followed by " START LENGTH" for each match (START 0-based).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/search_driver.h"
#include "support/text_encoding.h"
#include "tests/unit/match_walk.h"

namespace {

bool readBytes(std::vector<uint8_t>& into, long length) {
  into.resize(static_cast<size_t>(length));
  return length == 0 ||
         std::fread(into.data(), 1, static_cast<size_t>(length), stdin) ==
             static_cast<size_t>(length);
}

// False when the file cannot be written or read back, or a search fails.
bool printFileMatches(const std::string& name, const std::vector<uint8_t>& text,
                      int32_t encoding) {
  // A new file each time: some file systems flush the data of a file that is
  // truncated and written again when it is closed, which takes far longer.
  std::remove(name.c_str());
  FILE* out = std::fopen(name.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = text.empty() || std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (std::fclose(out) != 0 || !written) return false;
  const int32_t status = match_walk::walkFile(name, 0, encoding, nullptr, [&](int64_t offset) {
    const int32_t length = compiledPattern.matchLength;
    std::printf(" %lld %d", static_cast<long long>(offset), length);
    return static_cast<int64_t>(
        length > 0 ? length
                   : match_walk::emptyStep(text.data(), static_cast<int64_t>(text.size()), offset,
                                           encoding, true));
  });
  return status >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  char dialect;
  int ignoreCase;
  long patternLength;
  long textLength;
  char source;
  int encoding;
  std::vector<uint8_t> pattern;
  std::vector<uint8_t> text;
  const std::string fileName = argc > 1 ? argv[1] : "";
  int result = 0;
  while (std::fscanf(stdin, " %c %d %ld %ld %c %d", &dialect, &ignoreCase, &patternLength,
                     &textLength, &source, &encoding) == 6) {
    if (std::fgetc(stdin) != '\n') return 2;
    if (!readBytes(pattern, patternLength) || !readBytes(text, textLength)) return 2;
    if (ignoreCase) {
      upperCaseSearchText(reinterpret_cast<char*>(pattern.data()),
                          static_cast<int32_t>(pattern.size()), dialect,
                          encoding == ENCODING_UTF8 ? 1 : 0);
    }
    int32_t status = CompileRegex(pattern.data(), static_cast<int32_t>(pattern.size()),
                                  ignoreCase, dialect, 0, encoding);
    if (status != 0) {
      std::printf("E %d\n", status);
      continue;
    }
    std::fputs("M", stdout);
    if (source == 'F') {
      if (fileName.empty() || !printFileMatches(fileName, text, encoding)) {
        result = 2;
        break;
      }
    } else {
      for (const match_walk::Match& m : match_walk::findAllInMemory(
               text.data(), static_cast<int32_t>(text.size()), encoding, true)) {
        std::printf(" %lld %d", static_cast<long long>(m.start), m.length);
      }
    }
    std::fputc('\n', stdout);
  }
  if (!fileName.empty()) std::remove(fileName.c_str());
  return result;
}
