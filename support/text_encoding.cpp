// The active code page and the Unicode services.
//
// Three process-wide tables describe the ANSI code page: which bytes lead a
// double-byte character, and the upper- and lower-case form of every byte.
// The case tables are built by a static object before main runs (the system's
// CharUpperBuffA/CharLowerBuffA applied to all 256 bytes, lead bytes kept as
// they are); the lead-byte table is filled by initDbcs at the start of main.
// Character stepping under a double-byte code page counts runs of lead bytes:
// a byte after a run of lead bytes of even length starts a character.
//
// File contents are never converted. Only names travel through the Unicode
// services: UTF-8 to UTF-16 for the wide calls, UTF-8 to the code page (via
// UTF-16, checked by converting back) for the ANSI calls, and back again for
// the names the system returns. Invalid UTF-8 and characters the code page
// cannot hold yield no text, and the file operation then fails.
//
// Tested by text_encoding_test.cpp.
#include "support/text_encoding.h"

#include <cstring>

#include "support/memory_pool.h"

uint32_t systemDbcs = 0;
uint32_t leadByteTable[256] = {};
uint8_t upperTable[256] = {};
uint8_t lowerTable[256] = {};
int32_t utf8Mode = 0;
int32_t unicodeCallsAvailable = 0;

namespace {

// Builds the case tables during static initialisation, before main.
struct CaseTablesAtStart {
  CaseTablesAtStart() { initCaseTables(); }
};
CaseTablesAtStart caseTablesAtStart;

bool isLead(uint8_t byte) { return leadByteTable[byte] != 0; }

// A growable buffer of a conversion service; lives until the process ends.
struct ServiceBuffer {
  void* data = nullptr;
  uint32_t size = 0;

  bool reserve(uint32_t bytes) {
    if (bytes <= size) return true;
    void* grown = memRealloc(data, bytes);
    if (grown == nullptr) return false;
    data = grown;
    size = bytes;
    return true;
  }
};

ServiceBuffer utf16Result;  // utf8ToUtf16
ServiceBuffer ansiWide;     // utf8ToAnsi: the UTF-16 step
ServiceBuffer ansiResult;   // utf8ToAnsi
ServiceBuffer ansiCheck;    // utf8ToAnsi: the text converted back
ServiceBuffer backWide;     // ansiToUtf8: the UTF-16 step
ServiceBuffer backBytes;    // utf16ToUtf8 when the output must be cut

int32_t textLength(const char* text, int32_t length) {
  return length < 0 ? static_cast<int32_t>(std::strlen(text)) : length;
}

bool isWellFormedUtf8(const uint8_t* text, int32_t length) {
  const uint8_t* end = text + length;
  while (text < end) {
    uint32_t codePoint = 0;
    text = nextUtf8Character(text, end, &codePoint);
    if (codePoint == INVALID_CODE_POINT) return false;
  }
  return true;
}

// UTF-8 to UTF-16 into the given buffer, NUL-terminated; the number of units
// (without the NUL), 0 when nothing came out.
int32_t convertToWide(UINT codePage, const char* text, int32_t length, ServiceBuffer& buffer) {
  if (length <= 0) return 0;
  int needed = MultiByteToWideChar(codePage, 0, text, length, nullptr, 0);
  if (needed <= 0) return 0;
  if (!buffer.reserve(static_cast<uint32_t>(needed + 1) * sizeof(WCHAR))) return 0;
  WCHAR* wide = static_cast<WCHAR*>(buffer.data);
  int written = MultiByteToWideChar(codePage, 0, text, length, wide, needed);
  if (written <= 0 || written > needed) return 0;
  wide[written] = 0;
  return written;
}

// A locale comparison function of the system, looked up once.
typedef int(WINAPI* CompareFunction)(LCID, DWORD, LPCSTR, int, LPCSTR, int);
bool compareLookedUp = false;
CompareFunction compareFunction = nullptr;

CompareFunction findCompareFunction() {
  if (compareLookedUp) return compareFunction;
  compareLookedUp = true;
  char path[MAX_PATH + 16];
  UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  if (path[length - 1] != '\\') path[length++] = '\\';
  std::memcpy(path + length, "kernel32.dll", sizeof "kernel32.dll");
  HMODULE library = LoadLibraryA(path);
  if (library == nullptr) return nullptr;
  FARPROC address = GetProcAddress(library, "CompareStringA");
  if (address == nullptr) return nullptr;
  static_assert(sizeof address == sizeof compareFunction);
  std::memcpy(&compareFunction, &address, sizeof compareFunction);
  return compareFunction;
}

int32_t compareWithFlags(DWORD flags, const char* a, int32_t lengthA, const char* b,
                         int32_t lengthB) {
  CompareFunction compare = findCompareFunction();
  if (compare == nullptr) return 0;
  int result = compare(LOCALE_USER_DEFAULT, flags, a, lengthA, b, lengthB);
  if (result == CSTR_LESS_THAN) return -1;
  if (result == CSTR_GREATER_THAN) return 1;
  return 0;
}

// One character at *position under the current rules; its length in bytes and
// whether it is the single byte c (or a tab when tabs count as well).
int32_t characterLength(const uint8_t* position, const uint8_t* end) {
  if (utf8Mode != 0) {
    if (*position < 0x80) return 1;
    uint32_t codePoint = 0;
    return static_cast<int32_t>(decodeUtf8(position, end, &codePoint) - position);
  }
  if (systemDbcs != 0 && isLead(*position) && position + 1 < end) return 2;
  return 1;
}

const uint8_t* previousCharacterByMode(const uint8_t* start, const uint8_t* position) {
  if (utf8Mode != 0) {
    uint32_t codePoint = 0;
    return previousUtf8Character(position, start, &codePoint);
  }
  return previousCharacter(start, position);
}

// Whether the bytes [from, to) are one byte to strip.
bool isStripped(const uint8_t* from, const uint8_t* to, char c, bool tabsToo) {
  if (to - from != 1) return false;
  return *from == static_cast<uint8_t>(c) || (tabsToo && *from == '\t');
}

typedef uint32_t (*CodePointCase)(uint32_t);

void convertUtf8Case(char* text, int32_t length, CodePointCase convert) {
  uint8_t* position = reinterpret_cast<uint8_t*>(text);
  uint8_t* end = position + length;
  while (position < end) {
    uint32_t codePoint = 0;
    uint8_t* next = const_cast<uint8_t*>(nextUtf8Character(position, end, &codePoint));
    if (codePoint != INVALID_CODE_POINT) {
      uint32_t converted = convert(codePoint);
      if (converted != codePoint) {
        uint8_t encoded[4];
        int32_t encodedLength = encodeUtf8(converted, encoded);
        if (encodedLength == next - position) std::memcpy(position, encoded, encodedLength);
      }
    }
    position = next;
  }
}

bool isContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

void initDbcs() {
  systemDbcs = GetSystemMetrics(SM_DBCSENABLED) != 0 ? 1 : 0;
  for (int32_t b = 0; b < 256; ++b) {
    leadByteTable[b] = systemDbcs != 0 && IsDBCSLeadByte(static_cast<BYTE>(b)) ? 1 : 0;
  }
}

void initCaseTables() {
  bool dbcs = GetSystemMetrics(SM_DBCSENABLED) != 0;
  bool lead[256] = {};
  for (int32_t b = 0; b < 256; ++b) {
    lead[b] = dbcs && IsDBCSLeadByte(static_cast<BYTE>(b));
    // A lead byte alone is no character; 0 keeps the conversion from
    // pairing it with the next byte of the table.
    upperTable[b] = lead[b] ? 0 : static_cast<uint8_t>(b);
    lowerTable[b] = upperTable[b];
  }
  CharUpperBuffA(reinterpret_cast<char*>(upperTable), 256);
  CharLowerBuffA(reinterpret_cast<char*>(lowerTable), 256);
  for (int32_t b = 0; b < 256; ++b) {
    if (lead[b]) {
      upperTable[b] = static_cast<uint8_t>(b);
      lowerTable[b] = static_cast<uint8_t>(b);
    }
  }
}

bool isCharacterStart(const uint8_t* start, const uint8_t* position) {
  if (systemDbcs == 0 || position <= start || !isLead(position[-1])) return true;
  const uint8_t* runStart = position - 1;
  while (runStart > start && isLead(runStart[-1])) --runStart;
  return ((position - runStart) & 1) == 0;
}

const uint8_t* previousCharacter(const uint8_t* start, const uint8_t* position) {
  if (position <= start) return start;
  if (position - 1 == start || !isLead(position[-2])) return position - 1;
  // The run of lead bytes before the last byte; the byte before the run (or
  // the start) begins a character, and characters are pairs from there on.
  const uint8_t* runStart = position - 2;
  while (runStart > start && isLead(runStart[-1])) --runStart;
  const uint8_t* step = runStart;
  while (step + 2 < position) step += 2;
  return step;
}

const char* findBytes(const char* needle, int32_t needleLength, const char* text,
                      int32_t textLength, int32_t start, int32_t singleByte) {
  if (start < 1) start = 1;
  if (needleLength <= 0 || textLength - (start - 1) < needleLength) return nullptr;
  const char* position = text + (start - 1);
  const char* last = text + (textLength - needleLength);  // the last possible start
  if (singleByte != 0 || systemDbcs == 0) {
    while (position <= last) {
      const void* found =
          std::memchr(position, needle[0], static_cast<size_t>(last - position) + 1);
      if (found == nullptr) return nullptr;
      position = static_cast<const char*>(found);
      if (std::memcmp(position, needle, static_cast<size_t>(needleLength)) == 0) return position;
      ++position;
    }
    return nullptr;
  }
  // Every candidate is a character start: a double-byte character is passed
  // over whole, so its second byte is never taken for the needle's start.
  while (position <= last) {
    if (*position == needle[0] &&
        std::memcmp(position, needle, static_cast<size_t>(needleLength)) == 0) {
      return position;
    }
    position += isLead(static_cast<uint8_t>(*position)) ? 2 : 1;
  }
  return nullptr;
}

int32_t findBytesOffset(const char* needle, int32_t needleLength, const char* text,
                        int32_t textLength, int32_t start, int32_t singleByte) {
  const char* found = findBytes(needle, needleLength, text, textLength, start, singleByte);
  return found == nullptr ? 0 : static_cast<int32_t>(found - text) + 1;
}

void trimCharacter(char* text, int32_t* length, char mode, char c, int32_t tabToo) {
  bool tabsToo = c == ' ' && tabToo == 0;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(text);
  if (mode != 'T') {
    int32_t removed = 0;
    while (removed < *length) {
      int32_t size = characterLength(bytes + removed, bytes + *length);
      if (!isStripped(bytes + removed, bytes + removed + size, c, tabsToo)) break;
      removed += size;
    }
    if (removed > 0) {
      std::memmove(text, text + removed, static_cast<size_t>(*length - removed));
      *length -= removed;
    }
  }
  if (mode != 'L') {
    while (*length > 0) {
      const uint8_t* end = bytes + *length;
      const uint8_t* last = previousCharacterByMode(bytes, end);
      if (!isStripped(last, end, c, tabsToo)) break;
      *length = static_cast<int32_t>(last - bytes);
    }
  }
}

void upperCaseText(char* text, int32_t length, int32_t utf8) {
  if (length <= 0) return;
  if (utf8 != 0) {
    upperCaseUtf8(text, length);
  } else if (systemDbcs != 0) {
    CharUpperBuffA(text, static_cast<DWORD>(length));
  } else {
    for (int32_t i = 0; i < length; ++i) {
      text[i] = static_cast<char>(upperTable[static_cast<uint8_t>(text[i])]);
    }
  }
}

void lowerCaseText(char* text, int32_t length, int32_t utf8) {
  if (length <= 0) return;
  if (utf8 != 0) {
    lowerCaseUtf8(text, length);
  } else if (systemDbcs != 0) {
    CharLowerBuffA(text, static_cast<DWORD>(length));
  } else {
    for (int32_t i = 0; i < length; ++i) {
      text[i] = static_cast<char>(lowerTable[static_cast<uint8_t>(text[i])]);
    }
  }
}

void upperCaseString(char* text) {
  upperCaseText(text, static_cast<int32_t>(std::strlen(text)), utf8Mode);
}

void lowerCaseString(char* text) {
  lowerCaseText(text, static_cast<int32_t>(std::strlen(text)), utf8Mode);
}

int32_t compareTextLocale(const char* a, int32_t lengthA, const char* b, int32_t lengthB) {
  return compareWithFlags(0, a, lengthA, b, lengthB);
}

int32_t compareTextLocaleNoCase(const char* a, int32_t lengthA, const char* b, int32_t lengthB) {
  return compareWithFlags(NORM_IGNORECASE, a, lengthA, b, lengthB);
}

const uint8_t* decodeUtf8(const uint8_t* position, const uint8_t* end, uint32_t* codePoint) {
  uint8_t lead = *position;
  int32_t following;
  uint32_t value;
  if ((lead & 0xE0) == 0xC0) {
    following = 1;
    value = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    following = 2;
    value = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    following = 3;
    value = lead & 0x07u;
  } else if ((lead & 0xFC) == 0xF8) {
    following = 4;
    value = lead & 0x03u;
  } else if ((lead & 0xFE) == 0xFC) {
    following = 5;
    value = lead & 0x01u;
  } else if (lead < 0x80) {
    *codePoint = lead;
    return position + 1;
  } else {
    *codePoint = INVALID_CODE_POINT;
    return position + 1;
  }
  if (end - position <= following) {
    *codePoint = INVALID_CODE_POINT;
    return position + 1;
  }
  for (int32_t i = 1; i <= following; ++i) value = (value << 6) | (position[i] & 0x3Fu);
  *codePoint = value;
  return position + 1 + following;
}

const WCHAR* utf8ToUtf16(const char* text, int32_t length) {
  length = textLength(text, length);
  if (length == 0 || !isWellFormedUtf8(reinterpret_cast<const uint8_t*>(text), length)) {
    return nullptr;
  }
  if (convertToWide(CP_UTF8, text, length, utf16Result) == 0) return nullptr;
  return static_cast<const WCHAR*>(utf16Result.data);
}

namespace {

// UTF-16 to the ANSI code page in ansiResult, NUL-terminated; null when
// nothing came out. A character the code page lacks comes out as a
// substitute (or a look-alike) that would name another file, so the result
// is converted back and must give the same units.
const char* wideToAnsi(const WCHAR* wide, int32_t units) {
  if (units <= 0) return nullptr;
  int needed = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, nullptr, nullptr);
  if (needed <= 0 || !ansiResult.reserve(static_cast<uint32_t>(needed) + 1)) return nullptr;
  char* ansi = static_cast<char*>(ansiResult.data);
  int written = WideCharToMultiByte(CP_ACP, 0, wide, units, ansi, needed, nullptr, nullptr);
  if (written <= 0 || written > needed) return nullptr;
  ansi[written] = 0;
  int32_t checkUnits = convertToWide(CP_ACP, ansi, written, ansiCheck);
  if (checkUnits != units ||
      std::memcmp(ansiCheck.data, wide, static_cast<size_t>(units) * sizeof(WCHAR)) != 0) {
    return nullptr;
  }
  return ansi;
}

}  // namespace

const char* utf8ToAnsi(const char* text, int32_t length) {
  length = textLength(text, length);
  if (length == 0 || !isWellFormedUtf8(reinterpret_cast<const uint8_t*>(text), length)) {
    return nullptr;
  }
  int32_t units = convertToWide(CP_UTF8, text, length, ansiWide);
  if (units == 0) return nullptr;
  return wideToAnsi(static_cast<const WCHAR*>(ansiWide.data), units);
}

const char* utf16ToAnsi(const WCHAR* text, int32_t units) { return wideToAnsi(text, units); }

int32_t utf16ToUtf8(const WCHAR* start, const WCHAR* end, char* out, int32_t capacity,
                    int32_t* outLength) {
  *outLength = 0;
  if (end <= start || capacity <= 0) return 0;
  int units = static_cast<int>(end - start);
  int needed = WideCharToMultiByte(CP_UTF8, 0, start, units, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return 0;
  int32_t written = 0;
  if (needed <= capacity) {
    int result = WideCharToMultiByte(CP_UTF8, 0, start, units, out, needed, nullptr, nullptr);
    if (result <= 0 || result > needed) return 0;
    written = result;
  } else {
    // Too long: convert whole, then keep the characters that fit.
    if (!backBytes.reserve(static_cast<uint32_t>(needed))) return 0;
    char* whole = static_cast<char*>(backBytes.data);
    int result = WideCharToMultiByte(CP_UTF8, 0, start, units, whole, needed, nullptr, nullptr);
    if (result <= 0 || result > needed) return 0;
    written = capacity;
    while (written > 0 && isContinuation(static_cast<uint8_t>(whole[written]))) --written;
    std::memcpy(out, whole, static_cast<size_t>(written));
  }
  *outLength = written;
  return written;
}

int32_t ansiToUtf8(const char* text, int32_t length, char* out, int32_t capacity,
                   int32_t* outLength) {
  *outLength = 0;
  length = textLength(text, length);
  int32_t units = convertToWide(CP_ACP, text, length, backWide);
  if (units == 0) return 0;
  const WCHAR* wide = static_cast<const WCHAR*>(backWide.data);
  return utf16ToUtf8(wide, wide + units, out, capacity, outLength);
}

uint32_t upperCodePoint(uint32_t codePoint) {
  if (codePoint < 0x80) {
    return codePoint >= 'a' && codePoint <= 'z' ? codePoint - 0x20 : codePoint;
  }
  if (codePoint >= 0x10000 || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return codePoint;
  WCHAR unit = static_cast<WCHAR>(codePoint);
  CharUpperBuffW(&unit, 1);
  return static_cast<uint32_t>(unit);
}

uint32_t lowerCodePoint(uint32_t codePoint) {
  if (codePoint < 0x80) {
    return codePoint >= 'A' && codePoint <= 'Z' ? codePoint + 0x20 : codePoint;
  }
  if (codePoint >= 0x10000 || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return codePoint;
  WCHAR unit = static_cast<WCHAR>(codePoint);
  CharLowerBuffW(&unit, 1);
  return static_cast<uint32_t>(unit);
}

void upperCaseUtf8(char* text, int32_t length) { convertUtf8Case(text, length, upperCodePoint); }

void lowerCaseUtf8(char* text, int32_t length) { convertUtf8Case(text, length, lowerCodePoint); }

const uint8_t* nextUtf8Character(const uint8_t* position, const uint8_t* bound,
                                 uint32_t* codePoint) {
  uint8_t lead = *position;
  if (lead < 0x80) {
    *codePoint = lead;
    return position + 1;
  }
  int32_t following;
  uint32_t value;
  uint8_t low = 0x80;  // the range of the second byte that keeps the form shortest
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    following = 1;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    following = 2;
    value = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    following = 3;
    value = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *codePoint = INVALID_CODE_POINT;
    return position + 1;
  }
  if (bound - position <= following || position[1] < low || position[1] > high) {
    *codePoint = INVALID_CODE_POINT;
    return position + 1;
  }
  for (int32_t i = 1; i <= following; ++i) {
    if (!isContinuation(position[i])) {
      *codePoint = INVALID_CODE_POINT;
      return position + 1;
    }
    value = (value << 6) | (position[i] & 0x3Fu);
  }
  *codePoint = value;
  return position + 1 + following;
}

const uint8_t* previousUtf8Character(const uint8_t* position, const uint8_t* bound,
                                     uint32_t* codePoint) {
  if (position <= bound) {
    *codePoint = INVALID_CODE_POINT;
    return bound;
  }
  // A character ends at position when a well-formed sequence that starts at
  // most four bytes back runs exactly up to it.
  const uint8_t* candidate = position - 1;
  while (candidate > bound && position - candidate < 4 && isContinuation(*candidate)) {
    --candidate;
  }
  uint32_t value = 0;
  if (nextUtf8Character(candidate, position, &value) == position && value != INVALID_CODE_POINT) {
    *codePoint = value;
    return candidate;
  }
  const uint8_t* last = position - 1;
  nextUtf8Character(last, position, codePoint);
  return last;
}

int32_t encodeUtf8(uint32_t codePoint, uint8_t* out) {
  if (codePoint < 0x80) {
    out[0] = static_cast<uint8_t>(codePoint);
    return 1;
  }
  if (codePoint < 0x800) {
    out[0] = static_cast<uint8_t>(0xC0 | (codePoint >> 6));
    out[1] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
    return 2;
  }
  if (codePoint < 0x10000) {
    if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;
    out[0] = static_cast<uint8_t>(0xE0 | (codePoint >> 12));
    out[1] = static_cast<uint8_t>(0x80 | ((codePoint >> 6) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
    return 3;
  }
  if (codePoint <= 0x10FFFF) {
    out[0] = static_cast<uint8_t>(0xF0 | (codePoint >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((codePoint >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((codePoint >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
    return 4;
  }
  return 0;
}

int32_t nameCallForm() {
  if (utf8Mode == 0) return 0;
  return unicodeCallsAvailable == 0 ? 1 : 2;
}

bool toSystemName(const char* name, SystemName* out) {
  out->ansi = nullptr;
  out->wide = nullptr;
  switch (nameCallForm()) {
    case 0:
      out->ansi = name;
      return true;
    case 1:
      out->ansi = utf8ToAnsi(name, -1);
      return out->ansi != nullptr;
    default:
      out->wide = utf8ToUtf16(name, -1);
      return out->wide != nullptr;
  }
}

int32_t wideLength(const WCHAR* text) {
  int32_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

int32_t fromSystemWide(const WCHAR* wide, char* out, int32_t capacity) {
  int32_t length = 0;
  utf16ToUtf8(wide, wide + wideLength(wide), out, capacity, &length);
  out[length] = 0;
  return length;
}

int32_t fromSystemAnsi(const char* ansi, char* out, int32_t capacity, int32_t convertAnsi) {
  int32_t length = 0;
  if (convertAnsi != 0) {
    ansiToUtf8(ansi, -1, out, capacity, &length);
  } else {
    while (length < capacity && ansi[length] != 0) {
      out[length] = ansi[length];
      ++length;
    }
  }
  out[length] = 0;
  return length;
}
