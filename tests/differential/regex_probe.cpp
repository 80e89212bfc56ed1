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

#include "console/stream.h"
#include "driver/search_driver.h"
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

// The length of the character at a 0-based offset: one byte, or in UTF-8 a
// lead byte and its continuation bytes.
int32_t characterLength(const std::vector<uint8_t>& text, size_t at, int32_t encoding) {
  int32_t length = 1;
  if (encoding != ENCODING_UTF8) return 1;
  while (at + length < text.size() && (text[at + length] & 0xC0) == 0x80) ++length;
  return length;
}

void printStringMatches(const std::vector<uint8_t>& pattern, const std::vector<uint8_t>& text,
                        int32_t encoding) {
  const int32_t n = static_cast<int32_t>(text.size());
  int32_t position = 1;
  while (position <= n + 1) {
    const int32_t found =
        FindRegexInMemory(position, pattern.data(), static_cast<int32_t>(pattern.size()),
                          text.data(), n, encoding);
    if (found == 0) break;
    const int32_t length = compiledPattern.matchLength;
    std::printf(" %d %d", found - 1, length);
    position = found + (length > 0 ? length : characterLength(text, found - 1, encoding));
  }
}

// False when the file cannot be written or read back.
bool printFileMatches(const std::string& name, const std::vector<uint8_t>& text,
                      int32_t encoding) {
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
  openTextWindow(stream, 0, 0, encoding);
  while (SearchRegex(nullptr, 0) == 0) {
    const int32_t length = compiledPattern.matchLength;
    const int64_t offset = cursorOffset();
    std::printf(" %lld %d", static_cast<long long>(offset), length);
    const int32_t step =
        length > 0 ? length : characterLength(text, static_cast<size_t>(offset), encoding);
    if (textSource.AdvanceTo(textWindow.cursor + step) != 0) break;
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
      printStringMatches(pattern, text, encoding);
    }
    std::fputc('\n', stdout);
  }
  if (!fileName.empty()) std::remove(fileName.c_str());
  return result;
}
