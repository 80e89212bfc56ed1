// The double-byte pre-pass.
//
// In a double-byte code page a character may be a lead byte and a trail byte.
// Wrapping the pair in a group makes a following quantifier repeat the whole
// character. The copy follows the parser's view of the text: a backslash
// takes the whole character after it, a bracket expression (with its nested
// "-[" and "&[" sets, its escapes and its \p{..} names) and a 'U' comment are
// copied without wrapping, and a trail byte is always copied with its lead
// byte, so a trail byte that equals '|', ']', ')' or '\' never acts as syntax.
// A lead byte at the very end has no trail byte and is copied alone. Nothing
// is read past the text. Tested by regex_compiler_test.cpp.
#include "pattern/regex_double_byte.h"

#include "pattern/compiled_pattern.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

uint8_t* scratchBuffer = nullptr;
int64_t scratchCapacity = 0;

class DoubleByteCopy {
 public:
  DoubleByteCopy(const uint8_t* text, int32_t length, int32_t unixSyntax, uint8_t* out)
      : text_(text), length_(length), unix_(unixSyntax != 0), out_(out) {}

  int32_t run() {
    while (position_ < length_) {
      const uint8_t byte = text_[position_];
      if (byte == '\\') {
        copyByte();
        if (position_ < length_) copyCharacter();
      } else if (byte == '[') {
        copySet();
      } else if (unix_ && byte == '(' && at(1) == '?' && at(2) == '#') {
        copyComment();
      } else if (leadByteTable[byte] != 0 && position_ + 1 < length_) {
        copyWrapped();
      } else {
        copyByte();
      }
    }
    return written_;
  }

 private:
  int32_t at(int32_t offset) const {
    return offset < length_ - position_ ? text_[position_ + offset] : -1;
  }
  void put(uint8_t byte) { out_[written_++] = byte; }
  void copyByte() { put(text_[position_++]); }
  void copyCharacter() {
    const bool pair = leadByteTable[text_[position_]] != 0 && position_ + 1 < length_;
    copyByte();
    if (pair) copyByte();
  }
  void copyWrapped() {
    put('(');
    if (unix_) {
      put('?');
      put(':');
    }
    copyByte();
    copyByte();
    put(')');
  }
  void copyComment() {
    copyByte();
    copyByte();
    copyByte();
    while (position_ < length_) {
      const bool closing = text_[position_] == ')';
      copyCharacter();
      if (closing) return;
    }
  }
  // After the '[' of a set or nested set: its negation.
  void copySetOpening() {
    const int32_t c = at(0);
    if (unix_ ? c == '^' && at(1) != ']' : c == '~' || c == '^') copyByte();
  }
  void copySet() {
    copyByte();
    copySetOpening();
    int32_t depth = 1;
    bool first = true;
    while (position_ < length_) {
      const uint8_t c = text_[position_];
      if (c == ']' && !(unix_ && first)) {
        copyByte();
        if (--depth == 0) return;
        first = false;
      } else if ((c == '-' || c == '&') && at(1) == '[') {
        copyByte();
        copyByte();
        copySetOpening();
        ++depth;
        first = true;
      } else if (c == '\\') {
        copyByte();
        if ((at(0) == 'p' || at(0) == 'P') && at(1) == '{') {
          while (position_ < length_) {
            const bool closing = text_[position_] == '}';
            copyCharacter();
            if (closing) break;
          }
        } else if (position_ < length_) {
          copyCharacter();
        }
        first = false;
      } else {
        copyCharacter();
        first = false;
      }
    }
  }

  const uint8_t* text_;
  int32_t length_;
  bool unix_;
  uint8_t* out_;
  int32_t position_ = 0;
  int32_t written_ = 0;
};

}  // namespace

int64_t doubleByteTextCapacity(int32_t length) {
  const int64_t n = length > 0 ? length : 0;
  return n + (n / 2) * 4 + 12;
}

int32_t wrapDoubleByteText(const uint8_t* text, int32_t length, int32_t unixSyntax, uint8_t* out) {
  return DoubleByteCopy(text, length > 0 ? length : 0, unixSyntax, out).run();
}

int32_t wrapDoubleBytePattern(const uint8_t* text, int32_t length, int32_t unixSyntax,
                              const uint8_t** out, int32_t* outLength) {
  const int64_t needed = doubleByteTextCapacity(length);
  if (needed > scratchCapacity) {
    if (needed > 0x7FFFFFFF) return REGEX_OUT_OF_MEMORY;
    void* grown = memRealloc(scratchBuffer, static_cast<uint32_t>(needed));
    if (grown == nullptr) return REGEX_OUT_OF_MEMORY;
    scratchBuffer = static_cast<uint8_t*>(grown);
    scratchCapacity = needed;
  }
  *outLength = wrapDoubleByteText(text, length, unixSyntax, scratchBuffer);
  *out = scratchBuffer;
  return 0;
}
