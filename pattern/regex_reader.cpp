// Reading a regular expression: characters, escapes and class expansions.
//
// The reader keeps one character of look-ahead in `current`. In UTF-8 mode a
// byte of 0x80 or more starts a sequence that is decoded into one code point
// by the lenient one-to-six-byte rule (an invalid lead byte, or a sequence cut
// off by the end of the text, is one UNDECODABLE_BYTE character); in the byte
// modes every byte is a character, and the parsers take a lead byte's trail
// byte themselves. A predefined class switches the reader to its expansion
// text; when that text is used up the reader returns, through the
// ExpansionStack, to the character after the class letter, so the expansion
// reads as one item of the surrounding pattern. Nothing is ever read at or
// past the end of a text.
//
// Tested through regex_compiler_test.cpp and character_sets_test.cpp.
#include "pattern/regex_reader.h"

#include <cstring>

#include "pattern/compiled_pattern.h"
#include "support/text_encoding.h"

RegexCompiler regexCompiler;

void regexFail(int32_t status) { throw RegexFailure{status}; }

void regexSyntaxError() { regexFail(REGEX_SYNTAX_ERROR); }

void startReading(const uint8_t* text, int32_t length) {
  RegexCompiler& rc = regexCompiler;
  rc.cursor = text;
  rc.end = text + (length > 0 ? length : 0);
  rc.expansionStack.depth = 0;
  rc.exhausted = false;
  readNextChar();
}

void readNextChar() {
  RegexCompiler& rc = regexCompiler;
  while (rc.cursor >= rc.end) {
    if (rc.expansionStack.depth == 0) {
      rc.exhausted = true;
      rc.current = 0;
      return;
    }
    const ExpansionEntry& entry = rc.expansionStack.entries[--rc.expansionStack.depth];
    rc.cursor = entry.cursor;
    rc.end = entry.end;
    rc.unixSyntax = entry.unixSyntax;
  }
  const uint8_t byte = *rc.cursor;
  if (rc.encodingMode == ENCODING_UTF8 && byte >= 0x80) {
    uint32_t codePoint = 0;
    rc.cursor = decodeUtf8(rc.cursor, rc.end, &codePoint);
    rc.current = codePoint > 0x7FFFFFFFu ? UNDECODABLE_BYTE : static_cast<int32_t>(codePoint);
  } else {
    rc.current = byte;
    ++rc.cursor;
  }
}

int32_t peekByte(int32_t k) {
  const RegexCompiler& rc = regexCompiler;
  return k < rc.end - rc.cursor ? rc.cursor[k] : -1;
}

void pushExpansion(const char* text) {
  RegexCompiler& rc = regexCompiler;
  ExpansionStack& stack = rc.expansionStack;
  if (stack.depth >= EXPANSION_STACK_SIZE) regexSyntaxError();
  stack.entries[stack.depth++] = ExpansionEntry{rc.cursor, rc.end, rc.unixSyntax};
  rc.cursor = reinterpret_cast<const uint8_t*>(text);
  rc.end = rc.cursor + std::strlen(text);
  rc.unixSyntax = 0;
  readNextChar();
}

bool isDigitChar(int32_t c) { return c >= '0' && c <= '9'; }

bool isHexDigitChar(int32_t c) {
  return isDigitChar(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int32_t asciiLowerChar(int32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool isLeadByteChar(int32_t c) { return c >= 0 && c <= 255 && leadByteTable[c] != 0; }

bool takeDoubleBytePair(int32_t* pair) {
  RegexCompiler& rc = regexCompiler;
  if (rc.encodingMode != ENCODING_DOUBLE_BYTE || rc.exhausted || !isLeadByteChar(rc.current) ||
      rc.cursor >= rc.end) {
    return false;
  }
  *pair = rc.current * 256 + *rc.cursor;
  ++rc.cursor;
  return true;
}

namespace {

int32_t hexValue(int32_t c) {
  if (isDigitChar(c)) return c - '0';
  return asciiLowerChar(c) - 'a' + 10;
}

// A decimal character code of one to three digits, at most 255; the current
// character is its first digit.
int32_t readDecimalCode() {
  int32_t value = 0;
  for (int32_t digits = 0; digits < 3 && isDigitChar(regexCompiler.current); ++digits) {
    value = value * 10 + (regexCompiler.current - '0');
    readNextChar();
  }
  if (value > 255) regexSyntaxError();
  return value;
}

// All the digits from the current character on; any value above `limit` is
// an error.
int32_t readBoundedNumber(int32_t limit) {
  int32_t value = 0;
  while (isDigitChar(regexCompiler.current)) {
    value = value * 10 + (regexCompiler.current - '0');
    if (value > limit) regexSyntaxError();
    readNextChar();
  }
  return value;
}

PatternEscape character(int64_t value) { return PatternEscape{ESCAPE_CHARACTER, value, false}; }

// \x: one or two hex digits, or "{", one to eight hex digits and "}".
PatternEscape readHexEscape() {
  RegexCompiler& rc = regexCompiler;
  if (!rc.exhausted && rc.current == '{') {
    readNextChar();
    int64_t value = 0;
    int32_t digits = 0;
    while (!rc.exhausted && isHexDigitChar(rc.current)) {
      if (++digits > 8) regexSyntaxError();
      value = value * 16 + hexValue(rc.current);
      readNextChar();
    }
    if (digits == 0 || rc.exhausted || rc.current != '}' || value > 0x7FFFFFFF) {
      regexSyntaxError();
    }
    readNextChar();
    if (rc.encodingMode == ENCODING_UTF8 || value < 0x80 || (value >= 160 && value <= 255)) {
      return character(value);
    }
    return PatternEscape{ESCAPE_CODE_POINT, value, false};
  }
  int32_t value = 0;
  int32_t digits = 0;
  while (digits < 2 && !rc.exhausted && isHexDigitChar(rc.current)) {
    value = value * 16 + hexValue(rc.current);
    ++digits;
    readNextChar();
  }
  if (digits == 0) regexSyntaxError();
  return character(value);
}

}  // namespace

PatternEscape readEscape(bool inSet) {
  RegexCompiler& rc = regexCompiler;
  readNextChar();
  // A backslash that ends the pattern stands for itself.
  if (rc.exhausted) return character('\\');
  const int32_t c = rc.current;
  const bool unix = rc.unixSyntax != 0;
  if (isDigitChar(c)) {
    if (!unix) return character(readDecimalCode());
    if (inSet) {
      readNextChar();
      return character(c);
    }
    // \1..\9 are groups 0..8; \0 and \10 are group 9.
    const int32_t number = readBoundedNumber(10);
    return PatternEscape{ESCAPE_BACKREF, number == 0 || number == 10 ? 9 : number - 1, false};
  }
  if (c == 'p' || c == 'P') {
    if (!inSet) regexSyntaxError();
    readNextChar();
    return PatternEscape{ESCAPE_PROPERTY, c == 'P' ? 1 : 0, false};
  }
  switch (asciiLowerChar(c)) {
    case 'c':
      readNextChar();
      return inSet ? character(c) : PatternEscape{ESCAPE_CURSOR, 0, false};
    case 'o': {
      readNextChar();
      const int32_t next = rc.exhausted ? 0 : asciiLowerChar(rc.current);
      if (inSet) {
        if (next != 'd') return character(c);
        readNextChar();
        return PatternEscape{ESCAPE_LEAD_BYTES, 0, false};
      }
      if (next != 'l' && next != 'm') regexSyntaxError();
      readNextChar();
      return PatternEscape{ESCAPE_CROSS_LINES, next == 'm' ? 1 : 0, false};
    }
    case 'g':
      readNextChar();
      if (!unix && !inSet && !rc.exhausted && isDigitChar(rc.current)) {
        return PatternEscape{ESCAPE_BACKREF, readBoundedNumber(9), false};
      }
      return character(c);
    case 'd':
      readNextChar();
      if (!unix) return character(c);
      if (rc.exhausted || !isDigitChar(rc.current)) regexSyntaxError();
      return character(readDecimalCode());
    case 'n':
      readNextChar();
      return PatternEscape{ESCAPE_NEWLINE, 10, false};
    case 't':
      readNextChar();
      return character(9);
    case 'r':
      readNextChar();
      return character(13);
    case 'f':
      readNextChar();
      return character(12);
    case 'b':
      readNextChar();
      return character(unix ? c : 8);
    case 'x':
      readNextChar();
      return readHexEscape();
    case ':':
      readNextChar();
      if (!unix || inSet) return character(':');
      // The reader stays on the class letter: the expansion returns to the
      // character after it.
      if (rc.exhausted) regexSyntaxError();
      return PatternEscape{ESCAPE_CLASS, rc.current, false};
    default:
      break;
  }
  int32_t pair = 0;
  if (takeDoubleBytePair(&pair)) {
    readNextChar();
    return PatternEscape{ESCAPE_CHARACTER, pair, true};
  }
  readNextChar();
  return character(c);
}
