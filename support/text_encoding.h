// The active code page as the program sees it: lead bytes, case tables,
// character stepping, case conversion, locale comparison, UTF-8 decoding, and
// the Unicode conversions through which UTF-8 file names reach the system.
// See text_encoding.cpp.
#pragma once

#include <cstdint>

#include "platform/win32.h"

constexpr int32_t ENCODING_SINGLE_BYTE = 0;
constexpr int32_t ENCODING_DOUBLE_BYTE = 1;
constexpr int32_t ENCODING_UTF8 = 2;

// What the UTF-8 decoders give for bytes that are no well-formed character.
constexpr uint32_t INVALID_CODE_POINT = 0xFFFFFFFFu;

// The lead byte of the UTF-8 sequence of a code point, as the decoders take
// sequences of up to six bytes.
inline uint8_t utf8LeadByte(uint32_t c) {
  if (c < 0x80) return static_cast<uint8_t>(c);
  if (c < 0x800) return static_cast<uint8_t>(0xC0 | (c >> 6));
  if (c < 0x10000) return static_cast<uint8_t>(0xE0 | (c >> 12));
  if (c < 0x200000) return static_cast<uint8_t>(0xF0 | (c >> 18));
  if (c < 0x4000000) return static_cast<uint8_t>(0xF8 | (c >> 24));
  return static_cast<uint8_t>(0xFC | (c >> 30));
}

extern uint32_t systemDbcs;
extern uint32_t leadByteTable[256];
extern uint8_t upperTable[256];
extern uint8_t lowerTable[256];
extern int32_t utf8Mode;
extern int32_t unicodeCallsAvailable;

void initDbcs();
void initCaseTables();

bool isCharacterStart(const uint8_t* start, const uint8_t* position);
const uint8_t* previousCharacter(const uint8_t* start, const uint8_t* position);
const char* findBytes(const char* needle, int32_t needleLength, const char* text,
                      int32_t textLength, int32_t start, int32_t singleByte);
int32_t findBytesOffset(const char* needle, int32_t needleLength, const char* text,
                        int32_t textLength, int32_t start, int32_t singleByte);
void trimCharacter(char* text, int32_t* length, char mode, char c, int32_t tabToo);
void upperCaseText(char* text, int32_t length, int32_t utf8);
void lowerCaseText(char* text, int32_t length, int32_t utf8);
void upperCaseString(char* text);  // NUL-terminated, UTF-8 flag from utf8Mode
void lowerCaseString(char* text);
int32_t compareTextLocale(const char* a, int32_t lengthA, const char* b, int32_t lengthB);
int32_t compareTextLocaleNoCase(const char* a, int32_t lengthA, const char* b, int32_t lengthB);
const uint8_t* decodeUtf8(const uint8_t* position, const uint8_t* end, uint32_t* codePoint);

// Unicode conversion services. The converted texts live in buffers of the
// service and stay valid until its next call; null when nothing came out
// (invalid UTF-8, an empty text, or characters the ANSI code page lacks).
const WCHAR* utf8ToUtf16(const char* text, int32_t length);
const char* utf8ToAnsi(const char* text, int32_t length);
const char* utf16ToAnsi(const WCHAR* text, int32_t units);
// Both write at most capacity bytes, never splitting a character, and no NUL;
// the result is the number of bytes written, also stored in *outLength.
int32_t utf16ToUtf8(const WCHAR* start, const WCHAR* end, char* out, int32_t capacity,
                    int32_t* outLength);
int32_t ansiToUtf8(const char* text, int32_t length, char* out, int32_t capacity,
                   int32_t* outLength);
uint32_t upperCodePoint(uint32_t codePoint);
uint32_t lowerCodePoint(uint32_t codePoint);
// In place: a character whose other case has a different encoded length is
// left as it is, so the text keeps its length.
void upperCaseUtf8(char* text, int32_t length);
void lowerCaseUtf8(char* text, int32_t length);
// Well-formed stepping over UTF-8 text; invalid bytes count as one character
// of code point 0xFFFFFFFF.
const uint8_t* nextUtf8Character(const uint8_t* position, const uint8_t* bound,
                                 uint32_t* codePoint);
const uint8_t* previousUtf8Character(const uint8_t* position, const uint8_t* bound,
                                     uint32_t* codePoint);
// The UTF-8 encoding of a code point; returns its length (1 to 4), 0 when it
// cannot be encoded.
int32_t encodeUtf8(uint32_t codePoint, uint8_t* out);

// Name conversion for the name-based Win32 calls: which form to call.
// 0: ANSI unchanged, 1: ANSI converted from UTF-8, 2: wide from UTF-8.
int32_t nameCallForm();

// A name ready for a name-based Win32 call: exactly one of the two texts is
// set, wide for the …W call and ansi for the …A call. The converted text
// lives in the conversion service's buffer (valid until its next call).
struct SystemName {
  const char* ansi = nullptr;
  const WCHAR* wide = nullptr;
};
// False when the conversion yields no text; the caller then fails with -2
// without calling the system.
bool toSystemName(const char* name, SystemName* out);
// A name coming back from the system in the program's form (UTF-8 in UTF-8
// mode): from the …W call (wide) or the …A call (ansi, converted from the
// code page when convertAnsi is set). Writes at most capacity bytes and a NUL
// after them (out has room for capacity + 1); returns the length, 0 when
// nothing came out.
int32_t fromSystemWide(const WCHAR* wide, char* out, int32_t capacity);
int32_t fromSystemAnsi(const char* ansi, char* out, int32_t capacity, int32_t convertAnsi);
// The length of a NUL-terminated UTF-16 text.
int32_t wideLength(const WCHAR* text);
