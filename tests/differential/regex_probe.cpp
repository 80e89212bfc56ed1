// A small program for the differential test of the regular-expression
// engine: it reads cases from standard input and prints every match the
// engine reports, the way the search driver walks a text (after a match of
// length L the next search starts L bytes on, or 1 byte for an empty match).
//
// Input, per case: a header line "DIALECT IGNORECASE PATTERNLENGTH TEXTLENGTH
// SOURCE" followed by the pattern bytes and the text bytes. SOURCE is S to
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

#include "console/stream.h"
#include "driver/text_window.h"
#include "pattern/compiled_pattern.h"
#include "pattern/text_source.h"
#include "support/text_encoding.h"

namespace {

bool readBytes(std::vector<uint8_t>& into, long length) {
  into.resize(static_cast<size_t>(length));
  return length == 0 ||
         std::fread(into.data(), 1, static_cast<size_t>(length), stdin) ==
             static_cast<size_t>(length);
}

void printStringMatches(const std::vector<uint8_t>& pattern, const std::vector<uint8_t>& text) {
  const int32_t n = static_cast<int32_t>(text.size());
  int32_t position = 1;
  while (position <= n + 1) {
    const int32_t found =
        FindRegexInMemory(position, pattern.data(), static_cast<int32_t>(pattern.size()),
                          text.data(), n, 0);
    if (found == 0) break;
    const int32_t length = compiledPattern.matchLength;
    std::printf(" %d %d", found - 1, length);
    position = found + (length > 0 ? length : 1);
  }
}

// False when the file cannot be written or read back.
bool printFileMatches(const std::string& name, const std::vector<uint8_t>& text) {
  // A new file each time: some file systems flush the data of a file that is
  // truncated and written again when it is closed, which takes far longer.
  std::remove(name.c_str());
  FILE* out = std::fopen(name.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = text.empty() || std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (std::fclose(out) != 0 || !written) return false;
  int32_t status = 0;
  Stream* stream = openStream(name.c_str(), "rb", &status, STREAM_FILE_CAPACITY);
  if (stream == nullptr) return false;
  openTextWindow(stream, 0, 0, 0);
  while (SearchRegex(nullptr, 0) == 0) {
    const int32_t length = compiledPattern.matchLength;
    std::printf(" %lld %d", static_cast<long long>(cursorOffset()), length);
    if (textSource.AdvanceTo(textWindow.cursor + (length > 0 ? length : 1)) != 0) break;
  }
  closeStream(stream);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  char dialect;
  int ignoreCase;
  long patternLength;
  long textLength;
  char source;
  std::vector<uint8_t> pattern;
  std::vector<uint8_t> text;
  const std::string fileName = argc > 1 ? argv[1] : "";
  int result = 0;
  while (std::fscanf(stdin, " %c %d %ld %ld %c", &dialect, &ignoreCase, &patternLength,
                     &textLength, &source) == 5) {
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
    if (source == 'F') {
      if (fileName.empty() || !printFileMatches(fileName, text)) {
        result = 2;
        break;
      }
    } else {
      printStringMatches(pattern, text);
    }
    std::fputc('\n', stdout);
  }
  if (!fileName.empty()) std::remove(fileName.c_str());
  return result;
}
