// The state of one regular-expression compile and the pattern reader that the
// parser, the set parser and the predefined-class expansions share: the
// cursor over the pattern text (or over a class expansion, with the
// ExpansionStack to return), the escape table of both dialects, and the one
// error exit. See regex_reader.cpp.
#pragma once

#include <cstdint>

// The compile's error exit: thrown anywhere below CompileRegex and caught
// there, carrying -2500 (syntax) or -8 (memory).
struct RegexFailure {
  int32_t status;
};
[[noreturn]] void regexFail(int32_t status);
[[noreturn]] void regexSyntaxError();
// Turns a nonzero status of a helper (the UnicodeSet operations) into the
// error exit.
inline void regexCheck(int32_t status) {
  if (status != 0) regexFail(status);
}

constexpr int32_t REGEX_NESTING_LIMIT = 19;   // bracketed levels, the whole pattern counting as one
constexpr int32_t SET_NESTING_LIMIT = 19;     // "-[" / "&[" levels inside one bracket expression
constexpr int32_t EXPANSION_STACK_SIZE = 4;
constexpr int32_t UNDECODABLE_BYTE = -1;      // an undecodable UTF-8 byte read as one character

struct ExpansionEntry {
  const uint8_t* cursor;
  const uint8_t* end;
  int32_t unixSyntax;
};

// Where the reader returns to when a class expansion is used up.
struct ExpansionStack {
  ExpansionEntry entries[EXPANSION_STACK_SIZE];
  int32_t depth;
};

struct RegexCompiler {
  // Reader: `current` is the character under the reader (a byte, or a code
  // point in UTF-8 mode); `cursor` points past it. `exhausted` is set once the
  // reader has passed the end of the pattern (current is then 0).
  const uint8_t* cursor;
  const uint8_t* end;
  int32_t current;
  bool exhausted;
  ExpansionStack expansionStack;

  int32_t unixSyntax;
  int32_t encodingMode;
  int32_t ignoreCase;
  int32_t recordLength;
  int32_t groupCounter;
  int32_t explicitNumbering;
  int32_t nestingDepth;
  int32_t crossLines;
  bool atStart;  // the next consuming item may begin a match
};

extern RegexCompiler regexCompiler;

// Starts reading text (the pattern after any translation and pre-pass).
void startReading(const uint8_t* text, int32_t length);
// Moves to the next character, returning from finished expansions.
void readNextChar();
// The byte k places after the current character, -1 beyond the text being read.
int32_t peekByte(int32_t k);
// Pushes the reading position and reads the first character of an expansion
// text in dialect 'R'.
void pushExpansion(const char* text);

bool isDigitChar(int32_t c);
bool isHexDigitChar(int32_t c);
int32_t asciiLowerChar(int32_t c);
bool isLeadByteChar(int32_t c);

// Whether the current character is the lead byte of a double-byte character
// whose trail byte is still in the text; if so, consumes the trail byte and
// returns the pair as lead * 256 + trail in *pair.
bool takeDoubleBytePair(int32_t* pair);

// One escape after a backslash, as both dialects read it.
enum EscapeKind : int32_t {
  ESCAPE_CHARACTER,    // value: a byte, a double-byte pair (pair set) or a code point (UTF-8)
  ESCAPE_CODE_POINT,   // \x{..} in a byte mode whose value needs the code page
  ESCAPE_NEWLINE,      // \n
  ESCAPE_CURSOR,       // \c
  ESCAPE_BACKREF,      // value: group 0..9
  ESCAPE_CROSS_LINES,  // \ol, \om: value 0 or 1
  ESCAPE_CLASS,        // 'U' \:x: value the class letter, on which the reader stays
  ESCAPE_PROPERTY,     // \p, \P (sets only): value 1 for \P; the reader stands after the letter
  ESCAPE_LEAD_BYTES,   // \od (sets only)
};

struct PatternEscape {
  EscapeKind kind;
  int64_t value;
  bool pair;
};

// Reads the escape whose backslash is the current character and leaves the
// reader on the character after it. Inside a set, escapes that stand for no
// character give the escaped character itself.
PatternEscape readEscape(bool inSet);
