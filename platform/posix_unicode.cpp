// MultiByteToWideChar, WideCharToMultiByte and the wide case conversions.
//
// UTF-8 is decoded here, by the byte ranges of well-formed UTF-8: a sequence
// that breaks off yields one U+FFFD for the bytes taken so far (the maximal
// part that could have begun a character) and decoding resumes at the byte
// that broke it; a byte that can begin nothing yields U+FFFD on its own. Code
// points above the BMP become surrogate pairs; an unpaired surrogate becomes
// U+FFFD on the way back. The Latin code pages convert by table. The ASCII
// code page lets bytes 0x80-0xFF through as the Latin-1 characters of the same
// number, so that every byte survives a round trip. Double-byte code pages
// convert one character at a time through iconv. Lengths follow Win32: -1
// means up to and including the NUL, an output length of 0 asks for the size
// needed, and a too small output fails with ERROR_INSUFFICIENT_BUFFER.
#include "platform/posix_internal.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cstring>

#include "platform/win32.h"

namespace {

constexpr uint32_t REPLACEMENT = 0xFFFD;
constexpr DWORD MB_ERR_INVALID_CHARS_FLAG = 0x8;
constexpr DWORD WC_ERR_INVALID_CHARS_FLAG = 0x80;
constexpr uint32_t ILL_FORMED = 0xFFFFFFFFu;  // a decoder's answer for bytes of no character

// Collects output units; with a capacity of 0 it only counts them.
template <typename Unit>
struct Sink {
  Unit* out;
  size_t capacity;
  size_t count = 0;
  bool overflow = false;

  void put(Unit unit) {
    if (capacity != 0) {
      if (count >= capacity) {
        overflow = true;
        return;
      }
      out[count] = unit;
    }
    ++count;
  }
};

void putCodePointAsUtf16(Sink<WCHAR>& sink, uint32_t codePoint) {
  if (codePoint >= 0x10000) {
    codePoint -= 0x10000;
    sink.put(static_cast<WCHAR>(0xD800 + (codePoint >> 10)));
    sink.put(static_cast<WCHAR>(0xDC00 + (codePoint & 0x3FF)));
  } else {
    sink.put(static_cast<WCHAR>(codePoint));
  }
}

void putCodePointAsUtf8(Sink<char>& sink, uint32_t codePoint) {
  if (codePoint < 0x80) {
    sink.put(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    sink.put(static_cast<char>(0xC0 | (codePoint >> 6)));
    sink.put(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    sink.put(static_cast<char>(0xE0 | (codePoint >> 12)));
    sink.put(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    sink.put(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    sink.put(static_cast<char>(0xF0 | (codePoint >> 18)));
    sink.put(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    sink.put(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    sink.put(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// Decodes one UTF-8 character at text[*position]; advances the position and
// answers the code point, or ILL_FORMED after an ill-formed part.
uint32_t decodeOneUtf8(const uint8_t* text, size_t length, size_t* position) {
  size_t i = *position;
  uint8_t lead = text[i];
  if (lead < 0x80) {
    *position = i + 1;
    return lead;
  }
  size_t following;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  uint32_t codePoint;
  if (lead >= 0xC2 && lead <= 0xDF) {
    following = 1;
    codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    following = 2;
    codePoint = lead & 0x0F;
    if (lead == 0xE0) {
      low = 0xA0;
    } else if (lead == 0xED) {
      high = 0x9F;  // no encoded surrogates
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    following = 3;
    codePoint = lead & 0x07;
    if (lead == 0xF0) {
      low = 0x90;
    } else if (lead == 0xF4) {
      high = 0x8F;
    }
  } else {
    *position = i + 1;
    return ILL_FORMED;
  }
  ++i;
  for (size_t k = 0; k < following; ++k, ++i) {
    if (i >= length || text[i] < low || text[i] > high) {
      *position = i;
      return ILL_FORMED;
    }
    codePoint = (codePoint << 6) | (text[i] & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  *position = i;
  return codePoint;
}

// Reads one code point from UTF-16 units; an unpaired surrogate answers
// ILL_FORMED.
uint32_t decodeOneUtf16(const WCHAR* text, size_t length, size_t* position) {
  size_t i = *position;
  uint32_t unit = text[i];
  *position = i + 1;
  if (unit < 0xD800 || unit > 0xDFFF) {
    return unit;
  }
  if (unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
    *position = i + 2;
    return 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
  }
  return ILL_FORMED;
}

// Bytes 0x80-0x9F of Windows-1252.
constexpr uint16_t WINDOWS_1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The bytes where ISO-8859-15 differs from ISO-8859-1.
struct ByteCharacter {
  uint8_t byte;
  uint16_t character;
};
constexpr ByteCharacter ISO_8859_15_CHANGES[] = {{0xA4, 0x20AC}, {0xA6, 0x0160}, {0xA8, 0x0161},
                                                 {0xB4, 0x017D}, {0xB8, 0x017E}, {0xBC, 0x0152},
                                                 {0xBD, 0x0153}, {0xBE, 0x0178}};

uint32_t characterOfSingleByte(uint32_t codePage, uint8_t byte) {
  if (codePage == 1252 && byte >= 0x80 && byte <= 0x9F) {
    return WINDOWS_1252_HIGH[byte - 0x80];
  }
  if (codePage == 28605) {
    for (const ByteCharacter& change : ISO_8859_15_CHANGES) {
      if (change.byte == byte) {
        return change.character;
      }
    }
  }
  return byte;
}

// The byte of a character in a single-byte code page, or -1.
int singleByteOfCharacter(uint32_t codePage, uint32_t character) {
  if (character < 0x80) {
    return static_cast<int>(character);
  }
  for (unsigned byte = 0x80; byte < 0x100; ++byte) {
    if (characterOfSingleByte(codePage, static_cast<uint8_t>(byte)) == character) {
      return static_cast<int>(byte);
    }
  }
  return -1;
}

bool isDoubleBytePage(uint32_t codePage) {
  return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

// The code page a conversion call means, or 0 when it is not supported.
uint32_t resolveCodePage(UINT codePage) {
  if (codePage == CP_ACP || codePage == 1 /* CP_OEMCP */ || codePage == 3 /* CP_THREAD_ACP */) {
    return activeCodePage();
  }
  switch (codePage) {
    case 932:
    case 936:
    case 949:
    case 950:
    case 1252:
    case 28591:
    case 28605:
    case 20127:
    case 65001:
      return codePage;
    default:
      return 0;
  }
}

// One converter per double-byte code page and direction, opened on first use
// and kept for the life of the process.
struct Converter {
  uint32_t codePage;
  bool toUnicode;
  iconv_t handle;
};
Converter converters[8];
int converterCount = 0;

iconv_t converterFor(uint32_t codePage, bool toUnicode) {
  for (int i = 0; i < converterCount; ++i) {
    if (converters[i].codePage == codePage && converters[i].toUnicode == toUnicode) {
      return converters[i].handle;
    }
  }
  const char* names[2] = {nullptr, nullptr};
  switch (codePage) {
    case 932:
      names[0] = "CP932";
      names[1] = "SHIFT_JIS";
      break;
    case 936:
      names[0] = "CP936";
      names[1] = "GBK";
      break;
    case 949:
      names[0] = "CP949";
      names[1] = "UHC";
      break;
    default:
      names[0] = "CP950";
      names[1] = "BIG5";
      break;
  }
  iconv_t handle = reinterpret_cast<iconv_t>(-1);
  for (const char* name : names) {
    handle = toUnicode ? iconv_open("UTF-32LE", name) : iconv_open(name, "UTF-32LE");
    if (handle != reinterpret_cast<iconv_t>(-1)) {
      break;
    }
  }
  if (converterCount < 8) {
    converters[converterCount++] = Converter{codePage, toUnicode, handle};
  }
  return handle;
}

// Converts the bytes of one double-byte-code-page character; ILL_FORMED
// when it is not a character of the code page.
uint32_t decodeDoubleByteCharacter(uint32_t codePage, const uint8_t* bytes, size_t length) {
  iconv_t handle = converterFor(codePage, true);
  if (handle == reinterpret_cast<iconv_t>(-1)) {
    return ILL_FORMED;
  }
  char input[2];
  std::memcpy(input, bytes, length);
  unsigned char output[4];
  char* in = input;
  size_t inLeft = length;
  char* out = reinterpret_cast<char*>(output);
  size_t outLeft = sizeof output;
  iconv(handle, nullptr, nullptr, nullptr, nullptr);
  if (iconv(handle, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1) || inLeft != 0 ||
      outLeft != 0) {
    return ILL_FORMED;
  }
  return output[0] | (output[1] << 8) | (output[2] << 16) | (static_cast<uint32_t>(output[3]) << 24);
}

// The bytes of one character in a double-byte code page; their count, 0 when
// the code page lacks the character.
size_t encodeDoubleByteCharacter(uint32_t codePage, uint32_t character, uint8_t* bytes) {
  iconv_t handle = converterFor(codePage, false);
  if (handle == reinterpret_cast<iconv_t>(-1)) {
    return 0;
  }
  unsigned char input[4] = {static_cast<unsigned char>(character),
                            static_cast<unsigned char>(character >> 8),
                            static_cast<unsigned char>(character >> 16),
                            static_cast<unsigned char>(character >> 24)};
  char* in = reinterpret_cast<char*>(input);
  size_t inLeft = sizeof input;
  char output[4];
  char* out = output;
  size_t outLeft = sizeof output;
  iconv(handle, nullptr, nullptr, nullptr, nullptr);
  if (iconv(handle, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) {
    return 0;
  }
  size_t count = sizeof output - outLeft;
  if (count == 0 || count > 2) {
    return 0;
  }
  std::memcpy(bytes, output, count);
  return count;
}

// Decodes length bytes of the code page into the sink; false at the first
// invalid character when strict.
bool decodeBytes(uint32_t codePage, const uint8_t* text, size_t length, bool strict,
                 Sink<WCHAR>& sink) {
  size_t i = 0;
  while (i < length) {
    uint32_t character;
    if (codePage == 65001) {
      character = decodeOneUtf8(text, length, &i);
    } else if (isDoubleBytePage(codePage) && text[i] >= 0x80) {
      bool lead = (codePage == 932) ? ((text[i] >= 0x81 && text[i] <= 0x9F) ||
                                       (text[i] >= 0xE0 && text[i] <= 0xFC))
                                    : (text[i] >= 0x81 && text[i] <= 0xFE);
      if (lead && i + 1 < length) {
        character = decodeDoubleByteCharacter(codePage, text + i, 2);
        i += character == ILL_FORMED ? 1 : 2;
      } else if (lead) {
        character = ILL_FORMED;
        ++i;
      } else {
        character = decodeDoubleByteCharacter(codePage, text + i, 1);
        ++i;
      }
    } else {
      character = characterOfSingleByte(codePage, text[i]);
      ++i;
    }
    if (character == ILL_FORMED) {
      if (strict) {
        return false;
      }
      character = REPLACEMENT;
    }
    putCodePointAsUtf16(sink, character);
  }
  return true;
}

// Encodes length UTF-16 units into the code page. In UTF-8 an unpaired
// surrogate becomes U+FFFD (false when strict); elsewhere a character the code
// page lacks becomes the default character and sets *usedDefault.
bool encodeUnits(uint32_t codePage, const WCHAR* text, size_t length, bool strict,
                 const char* defaultChar, BOOL* usedDefault, Sink<char>& sink) {
  size_t i = 0;
  while (i < length) {
    uint32_t character = decodeOneUtf16(text, length, &i);
    if (codePage == 65001) {
      if (character == ILL_FORMED) {
        if (strict) {
          return false;
        }
        character = REPLACEMENT;
      }
      putCodePointAsUtf8(sink, character);
      continue;
    }
    uint8_t bytes[2];
    size_t count = 0;
    if (character != ILL_FORMED) {
      if (character < 0x80) {
        bytes[0] = static_cast<uint8_t>(character);
        count = 1;
      } else if (isDoubleBytePage(codePage)) {
        count = encodeDoubleByteCharacter(codePage, character, bytes);
      } else {
        int byte = singleByteOfCharacter(codePage, character);
        if (byte >= 0) {
          bytes[0] = static_cast<uint8_t>(byte);
          count = 1;
        }
      }
    }
    if (count == 0) {
      if (usedDefault != nullptr) {
        *usedDefault = TRUE;
      }
      const char* replacement = (defaultChar != nullptr && defaultChar[0] != '\0') ? defaultChar : "?";
      sink.put(replacement[0]);
      continue;
    }
    for (size_t k = 0; k < count; ++k) {
      sink.put(static_cast<char>(bytes[k]));
    }
  }
  return true;
}

size_t wideLength(const WCHAR* text) {
  size_t length = 0;
  while (text[length] != 0) {
    ++length;
  }
  return length;
}

// The locale whose towupper/towlower serve the wide case conversions.
locale_t unicodeLocale() {
  static bool tried = false;
  static locale_t locale = static_cast<locale_t>(0);
  if (!tried) {
    tried = true;
    static const char* const NAMES[] = {"C.UTF-8", "C.utf8", "en_US.UTF-8"};
    for (const char* name : NAMES) {
      locale = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
      if (locale != static_cast<locale_t>(0)) {
        break;
      }
    }
  }
  return locale;
}

DWORD foldUnits(LPWSTR text, DWORD length, bool toUpper) {
  if (text == nullptr) {
    return 0;
  }
  locale_t locale = unicodeLocale();
  for (DWORD i = 0; i < length; ++i) {
    uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      continue;
    }
    uint32_t folded;
    if (locale != static_cast<locale_t>(0)) {
      folded = static_cast<uint32_t>(toUpper ? towupper_l(static_cast<wint_t>(unit), locale)
                                             : towlower_l(static_cast<wint_t>(unit), locale));
    } else if (toUpper) {
      // Without a Unicode locale: ASCII and Latin-1 letters.
      bool letter = (unit >= 'a' && unit <= 'z') || (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7);
      folded = letter ? unit - 0x20 : unit;
    } else {
      bool letter = (unit >= 'A' && unit <= 'Z') || (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7);
      folded = letter ? unit + 0x20 : unit;
    }
    if (folded <= 0xFFFF && (folded < 0xD800 || folded > 0xDFFF)) {
      text[i] = static_cast<WCHAR>(folded);
    }
  }
  return length;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR out,
                        int outLength) {
  uint32_t page = resolveCodePage(codePage);
  if (page == 0 || text == nullptr || length == 0 || length < -1 || outLength < 0 ||
      (out == nullptr && outLength != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t byteCount = length == -1 ? std::strlen(text) + 1 : static_cast<size_t>(length);
  Sink<WCHAR> sink{out, static_cast<size_t>(outLength)};
  bool strict = (flags & MB_ERR_INVALID_CHARS_FLAG) != 0;
  if (!decodeBytes(page, reinterpret_cast<const uint8_t*>(text), byteCount, strict, sink)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (sink.overflow) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return static_cast<int>(sink.count);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR out,
                        int outLength, LPCSTR defaultChar, BOOL* usedDefault) {
  uint32_t page = resolveCodePage(codePage);
  if (page == 0 || text == nullptr || length == 0 || length < -1 || outLength < 0 ||
      (out == nullptr && outLength != 0) ||
      (page == 65001 && (defaultChar != nullptr || usedDefault != nullptr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (usedDefault != nullptr) {
    *usedDefault = FALSE;
  }
  size_t unitCount = length == -1 ? wideLength(text) + 1 : static_cast<size_t>(length);
  Sink<char> sink{out, static_cast<size_t>(outLength)};
  bool strict = (flags & WC_ERR_INVALID_CHARS_FLAG) != 0;
  if (!encodeUnits(page, text, unitCount, strict, defaultChar, usedDefault, sink)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (sink.overflow) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return static_cast<int>(sink.count);
}

DWORD CharUpperBuffW(LPWSTR text, DWORD length) {
  return foldUnits(text, length, true);
}

DWORD CharLowerBuffW(LPWSTR text, DWORD length) {
  return foldUnits(text, length, false);
}

int utf8ToWideName(const char* text, WCHAR* out, size_t capacity) {
  Sink<WCHAR> sink{out, capacity};
  decodeBytes(65001, reinterpret_cast<const uint8_t*>(text), std::strlen(text) + 1, false, sink);
  if (sink.overflow || capacity == 0) {
    return -1;
  }
  return static_cast<int>(sink.count) - 1;
}

int wideToUtf8Name(const WCHAR* text, char* out, size_t capacity) {
  Sink<char> sink{out, capacity};
  encodeUnits(65001, text, wideLength(text) + 1, false, nullptr, nullptr, sink);
  if (sink.overflow || capacity == 0) {
    return -1;
  }
  return static_cast<int>(sink.count) - 1;
}
