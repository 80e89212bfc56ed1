// File-name wildcards.
//
// A wildcard becomes an anchored expression of the program's own regular
// expression dialect: "*" turns into "?*" (any character, any number of
// times), "?" stays the any-character operator, brackets stay a character
// set, and the dialect's other operator characters are quoted. A pattern
// ending in "*.*" first loses the ".*", so "*.*" means every name, with a dot
// or without. Under a double-byte code page a double-byte character is copied
// whole: its second byte may equal "\" or "[" and is neither quoted nor read
// as syntax.
//
// Matching takes shortcuts for the common forms: "^?*$" ("*" and "*.*")
// matches every name, and "^?*.X$" compares the name's extension with ".X"
// ("*." matches the names without one). Every other form runs the pattern
// engine, compiled case-insensitively; in UTF-8 the engine compares code
// points as they are, so there the wildcard and the name are both upper-cased
// first, code point by code point. The engine keeps one compiled pattern
// at a time, the search pattern; the compiled wildcard is a second block that
// this file owns. Compiling and matching take the search pattern's block out
// of the engine, put the wildcard's in, and put both back where they belong,
// so the search pattern is intact after every name test. The last wildcard's
// block is kept as long as the same text comes again; a text that does not
// compile is remembered as such and its partial program is released at once,
// never run.
//
// Tested by wildcards_test.cpp and tree_walker_test.cpp.
#include "selection/wildcards.h"

#include <cstring>

#include "pattern/compiled_pattern.h"
#include "pattern/text_source.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

// The characters of the dialect that stand for something other than
// themselves where a wildcard may hold them. "?", ".", "[", "]" and "-" are
// not among them: they keep their meaning in a wildcard too.
constexpr char QUOTED_CHARACTERS[] = "+@#$}{^~:()|\\";
constexpr char EVERY_NAME[] = "^?*$";
constexpr int32_t EVERY_NAME_LENGTH = 4;
constexpr char EXTENSION_FORM_START[] = "^?*.";
constexpr int32_t EXTENSION_FORM_PREFIX = 4;
constexpr int32_t CACHE_SLACK = 100;
constexpr int32_t SELECTS_EVERY_NAME = -1;

bool doubleByteNames() { return systemDbcs != 0 && utf8Mode == 0; }

bool isQuoted(char c) { return c != 0 && std::strchr(QUOTED_CHARACTERS, c) != nullptr; }

// The longest name a name test upper-cases (a file name component of 255
// UTF-16 units needs at most 765 bytes).
constexpr int32_t FOLDED_NAME_CAPACITY = 1024;

// The compiled wildcard kept between name tests.
struct WildcardCache {
  char* text = nullptr;    // as given, and (from text + capacity) as compiled
  char* compiledText = nullptr;
  int32_t length = 0;
  int32_t capacity = 0;
  int32_t encodingMode = 0;
  int32_t status = 0;  // of the compile: 0 compiled, else the wildcard selects every name
  bool filled = false;
  CompiledPattern pattern = {};
};

WildcardCache cache;

bool isCachedText(const char* compiled, int32_t length, int32_t encodingMode) {
  return cache.filled && cache.length == length && cache.encodingMode == encodingMode &&
         std::memcmp(cache.text, compiled, static_cast<size_t>(length)) == 0;
}

// Compiles the text into the cache's own block. The search pattern's block is
// taken out of the engine first, so the compile allocates fresh buffers and
// never writes into the search pattern's.
bool compileIntoCache(const char* compiled, int32_t length, int32_t encodingMode) {
  if (cache.capacity < length) {
    char* grown = static_cast<char*>(memAlloc(static_cast<uint32_t>(2 * (length + CACHE_SLACK))));
    if (grown == nullptr) return false;
    memFree(cache.text);
    cache.text = grown;
    cache.capacity = length + CACHE_SLACK;
    cache.compiledText = grown + cache.capacity;
  }
  std::memcpy(cache.text, compiled, static_cast<size_t>(length));
  std::memcpy(cache.compiledText, compiled, static_cast<size_t>(length));
  // Letters are never quoted in a wildcard, so upper-casing keeps its syntax.
  if (encodingMode == ENCODING_UTF8) upperCaseUtf8(cache.compiledText, length);
  cache.length = length;
  cache.encodingMode = encodingMode;
  cache.filled = true;

  releaseCompiledPattern(&cache.pattern);
  CompiledPattern search = takeCompiledPattern();
  cache.status = CompileRegex(reinterpret_cast<const uint8_t*>(cache.compiledText), length, 1, 0, 1,
                              encodingMode);
  cache.pattern = takeCompiledPattern();
  compiledPattern = search;
  // Whatever a failed compile left behind is no program to run.
  if (cache.status != 0) releaseCompiledPattern(&cache.pattern);
  return true;
}

// Runs the cached block over the name, with the search pattern's block and
// the text-source table out of the way for the time of the call.
int32_t runCachedPattern(const char* name, int32_t encodingMode) {
  int32_t nameLength = static_cast<int32_t>(std::strlen(name));
  char folded[FOLDED_NAME_CAPACITY];
  if (encodingMode == ENCODING_UTF8 && nameLength <= FOLDED_NAME_CAPACITY) {
    std::memcpy(folded, name, static_cast<size_t>(nameLength));
    upperCaseUtf8(folded, nameLength);
    name = folded;
  }
  CompiledPattern search = takeCompiledPattern();
  TextSource savedSource = textSource;
  compiledPattern = cache.pattern;
  int32_t found = FindRegexInMemory(1, reinterpret_cast<const uint8_t*>(cache.compiledText), cache.length,
                                    reinterpret_cast<const uint8_t*>(name), nameLength, encodingMode);
  // The run may have given the block new buffers (its mark buffer): take it
  // back whole, not the copy made before the run.
  cache.pattern = takeCompiledPattern();
  compiledPattern = search;
  textSource = savedSource;
  return found;
}

// Whether the compiled text has the form "^?*.X$" whose X the shortcut can
// compare as it stands: no wildcard, no dot, no quoted character and no set.
bool isExtensionForm(const char* compiled, int32_t length) {
  if (length < EXTENSION_FORM_PREFIX + 1 || compiled[length - 1] != '$' ||
      std::memcmp(compiled, EXTENSION_FORM_START, EXTENSION_FORM_PREFIX) != 0) {
    return false;
  }
  for (int32_t i = EXTENSION_FORM_PREFIX; i < length - 1; ++i) {
    char c = compiled[i];
    if (c == '*' || c == '?' || c == '.' || c == '\\' || c == '[' || c == ']') return false;
  }
  return true;
}

}  // namespace

int32_t wildcardEncodingMode() {
  if (utf8Mode != 0) return ENCODING_UTF8;
  return systemDbcs != 0 ? ENCODING_DOUBLE_BYTE : ENCODING_SINGLE_BYTE;
}

bool compileWildcard(int32_t wildcardFlag, char* out, int32_t* outLength, const char* pattern) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pattern);
  int32_t end = static_cast<int32_t>(std::strlen(pattern));
  bool doubleByte = doubleByteNames();
  int32_t n = 0;
  out[n++] = '^';
  auto fail = [&]() {
    out[0] = 0;
    *outLength = 0;
    return false;
  };
  if (wildcardFlag == 0) {
    if (n + end > WILDCARD_TEXT_MAX) return fail();
    std::memcpy(out + n, pattern, static_cast<size_t>(end));
    n += end;
    out[n] = 0;
    *outLength = n;
    return true;
  }
  // "x*.*" is "x*": the kept asterisk stands where the ending began.
  if (end >= 3 && std::memcmp(pattern + end - 3, "*.*", 3) == 0 &&
      (!doubleByte || isCharacterStart(bytes, bytes + end - 3))) {
    end -= 2;
  }
  for (int32_t i = 0; i < end; ++i) {
    char c = pattern[i];
    if (doubleByte && leadByteTable[bytes[i]] != 0 && i + 1 < end) {
      if (n + 2 > WILDCARD_TEXT_MAX) return fail();
      out[n++] = c;
      out[n++] = pattern[++i];
    } else if (c == '*' || isQuoted(c)) {
      if (n + 2 > WILDCARD_TEXT_MAX) return fail();
      out[n++] = c == '*' ? '?' : '\\';
      out[n++] = c;
    } else {
      if (n + 1 > WILDCARD_TEXT_MAX) return fail();
      out[n++] = c;
    }
  }
  if (n + 1 > WILDCARD_TEXT_MAX) return fail();
  out[n++] = '$';
  out[n] = 0;
  *outLength = n;
  return true;
}

int32_t matchWildcard(const char* name, const char* compiled, int32_t compiledLength) {
  if (compiledLength == EVERY_NAME_LENGTH && std::memcmp(compiled, EVERY_NAME, 4) == 0) return 1;
  if (isExtensionForm(compiled, compiledLength)) {
    char extension[PATH_CAPACITY];
    extensionOf(name, extension, PATH_CAPACITY);
    // "*." has nothing after its dot: the names without an extension.
    if (extension[0] == 0) return compiledLength == EXTENSION_FORM_PREFIX + 1 ? 1 : 0;
    const char* wanted = compiled + EXTENSION_FORM_PREFIX - 1;
    int32_t wantedLength = compiledLength - EXTENSION_FORM_PREFIX;
    return sameFileName(extension, -1, wanted, wantedLength) ? 1 : 0;
  }
  return matchWildcardWithEngine(name, compiled, compiledLength);
}

int32_t matchWildcardWithEngine(const char* name, const char* compiled, int32_t compiledLength) {
  int32_t encodingMode = wildcardEncodingMode();
  if (!isCachedText(compiled, compiledLength, encodingMode) &&
      !compileIntoCache(compiled, compiledLength, encodingMode)) {
    return SELECTS_EVERY_NAME;
  }
  if (cache.status != 0) return SELECTS_EVERY_NAME;
  return runCachedPattern(name, encodingMode);
}
