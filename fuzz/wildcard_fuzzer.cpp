// Feeds the wildcard compiler a file-name wildcard and the matcher a name
// against it, under each character mode, through the shortcuts and the
// pattern engine alike.
//
// Input: byte 0 chooses the wildcard flag (bit 0) and the character mode
// (bits 1-2, value mod 3); the rest is the wildcard, a NUL, and the name.
// Each "*" becomes a loop, which the search runs in time linear in the name
// once an attempt runs long: a wildcard may have up to 32 stars and the name
// 255 bytes, a file name's length. Without the flag the text is a regular
// expression as it stands, which may hold a back-reference, and such a
// program can still take time exponential in the name: there at most four
// stars and names of 64 bytes are taken.
//
// Checks, beyond the sanitizers: a wildcard of printable ASCII characters
// other than brackets, matched against a printable ASCII name without path
// separators, selects the name exactly when a plain matcher says so: "*" any
// run of characters, "?" one character, everything else itself; "x*.*" is
// "x*", and "*." selects the names without an extension. Letters compare
// without regard to case in every character mode.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "selection/wildcards.h"

namespace {

constexpr std::ptrdiff_t WILDCARD_STARS_MAX = 32;
constexpr size_t WILDCARD_NAME_LENGTH_MAX = 255;
constexpr std::ptrdiff_t EXPRESSION_STARS_MAX = 4;
constexpr size_t EXPRESSION_NAME_LENGTH_MAX = 64;

// Whether the name matches the glob, by dynamic programming over prefixes:
// row[j] says whether the pattern read so far matches the first j
// characters of the name.
bool globMatches(const std::string& pattern, const std::string& name) {
  std::vector<char> row(name.size() + 1, 0);
  row[0] = 1;
  for (const char p : pattern) {
    std::vector<char> next(name.size() + 1, 0);
    for (size_t j = 0; j <= name.size(); ++j) {
      if (p == '*') {
        next[j] = row[j] || (j > 0 && next[j - 1]);
      } else if (j > 0) {
        const char c = name[j - 1];
        const bool same = p == '?' || std::toupper(static_cast<unsigned char>(p)) ==
                                              std::toupper(static_cast<unsigned char>(c));
        next[j] = row[j - 1] && same;
      }
    }
    row.swap(next);
  }
  return row[name.size()] != 0;
}

bool referenceMatches(std::string pattern, const std::string& name) {
  if (pattern.size() >= 3 && pattern.compare(pattern.size() - 3, 3, "*.*") == 0) {
    pattern.resize(pattern.size() - 2);
  }
  if (pattern == "*.") {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot + 1 == name.size();
  }
  return globMatches(pattern, name);
}

bool plainAscii(const std::string& text, const char* excluded) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E || std::strchr(excluded, c) != nullptr) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int32_t wildcardFlag = data[0] & 1;
  static const int32_t MODES[3] = {ENCODING_SINGLE_BYTE, ENCODING_DOUBLE_BYTE, ENCODING_UTF8};
  const int32_t mode = MODES[((data[0] >> 1) & 3) % 3];
  fuzz::useCharacterMode(mode);
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t split = rest.find('\0');
  const std::string wildcard = rest.substr(0, split);
  const std::string name =
      split == std::string::npos ? std::string() : rest.substr(split + 1).c_str();
  const bool asWildcard = wildcardFlag != 0;
  if (std::count(wildcard.begin(), wildcard.end(), '*') >
          (asWildcard ? WILDCARD_STARS_MAX : EXPRESSION_STARS_MAX) ||
      name.size() > (asWildcard ? WILDCARD_NAME_LENGTH_MAX : EXPRESSION_NAME_LENGTH_MAX)) {
    return 0;
  }

  char compiled[WILDCARD_TEXT_MAX + 1];
  int32_t compiledLength = -1;
  const bool fits = compileWildcard(wildcardFlag, compiled, &compiledLength, wildcard.c_str());
  FUZZ_CHECK(compiledLength >= 0 && compiledLength <= WILDCARD_TEXT_MAX, compiledLength, 0);
  FUZZ_CHECK(compiled[compiledLength] == 0, compiledLength, 0);
  if (!fits) {
    FUZZ_CHECK(compiledLength == 0, compiledLength, 0);
    return 0;
  }
  const int32_t matched = matchWildcard(name.c_str(), compiled, compiledLength);
  FUZZ_CHECK(matched >= -1, matched, 0);
  // The same name again runs from the kept compiled block.
  FUZZ_CHECK(matchWildcard(name.c_str(), compiled, compiledLength) == matched, matched, 0);

  if (wildcardFlag == 0 || !plainAscii(wildcard, "[]") || !plainAscii(name, "/\\:")) return 0;
  const bool expected = referenceMatches(wildcard, name);
  FUZZ_CHECK((matched != 0) == expected, matched, expected);
  return 0;
}
