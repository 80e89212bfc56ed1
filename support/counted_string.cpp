// Counted strings: a length and the characters, no terminator, in storage
// of 1024 bytes of which the owner uses 80, 512 or 1024 (the capacity it
// passes to every operation).
//
// Appending a NUL-terminated text is all-or-nothing (a file specification
// that does not fit stays empty); appending or copying a counted string cuts
// it to what fits. Moves within one buffer use memmove. Character-aware
// operations (findChar, stripChar) step over double-byte characters when the
// code page has them, and over whole UTF-8 sequences in UTF-8 mode. Nothing
// here allocates. Tested by counted_string_test.cpp.
#include "support/counted_string.h"

#include <cstring>

#include "support/text_encoding.h"

namespace {

// Capacities above the storage count as the storage; negative ones as 0.
int32_t usableCapacity(int32_t capacity) {
  if (capacity < 0) return 0;
  return capacity > COUNTED_MAX_CAPACITY ? COUNTED_MAX_CAPACITY : capacity;
}

// A length as stored may have been set by hand; never trust it beyond the
// storage.
int32_t usableLength(const CountedString& s) {
  return usableCapacity(s.length);
}

int32_t textLength(const char* text) {
  if (text == nullptr) return 0;
  size_t length = std::strlen(text);
  return length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(length);
}

}  // namespace

void appendText(CountedString& s, const char* text, int32_t capacity) {
  int32_t length = usableLength(s);
  int32_t added = textLength(text);
  if (added > usableCapacity(capacity) - length) return;
  std::memcpy(s.characters + length, text, static_cast<size_t>(added));
  s.length = length + added;
}

void appendCounted(CountedString& destination, const CountedString& source, int32_t capacity) {
  int32_t length = usableLength(destination);
  int32_t room = usableCapacity(capacity) - length;
  int32_t added = usableLength(source);
  if (added > room) added = room;
  if (added <= 0) return;
  std::memmove(destination.characters + length, source.characters, static_cast<size_t>(added));
  destination.length = length + added;
}

void copyCounted(CountedString& destination, const CountedString& source, int32_t capacity) {
  int32_t length = usableLength(source);
  int32_t limit = usableCapacity(capacity);
  if (length > limit) length = limit;
  std::memmove(destination.characters, source.characters, static_cast<size_t>(length));
  destination.length = length;
}

void assignText(CountedString& s, const char* text) {
  assignTextMax(s, text, COUNTED_MAX_CAPACITY);
}

void assignTextMax(CountedString& s, const char* text, int32_t maximum) {
  int32_t length = textLength(text);
  int32_t limit = usableCapacity(maximum);
  if (length > limit) length = limit;
  std::memmove(s.characters, text, static_cast<size_t>(length));
  s.length = length;
}

char* toText(char* buffer, const CountedString& s, int32_t size) {
  if (size <= 0) return buffer;
  int32_t length = usableLength(s);
  if (length > size - 1) length = size - 1;
  std::memmove(buffer, s.characters, static_cast<size_t>(length));
  buffer[length] = '\0';
  return buffer;
}

char* toSharedText(const CountedString& s) {
  static char sharedText[COUNTED_MAX_CAPACITY + 1];
  return toText(sharedText, s, sizeof sharedText);
}

void deleteChars(CountedString& s, int32_t position, int32_t count) {
  int32_t length = usableLength(s);
  if (position < 1 || position > length || count < 0) return;
  if (count <= length - position) {
    std::memmove(s.characters + position - 1, s.characters + position - 1 + count,
                 static_cast<size_t>(length - (position - 1) - count));
    s.length = length - count;
  } else {
    s.length = position - 1;
  }
}

int32_t directoryPartLength(const CountedString& s) {
  for (int32_t i = usableLength(s); i > 0; --i) {
    char c = s.characters[i - 1];
    if (c == '\\' || c == '/' || c == ':') return i;
  }
  return 0;
}

int32_t hasWildcard(const CountedString& s) {
  int32_t length = usableLength(s);
  for (int32_t i = 0; i < length; ++i) {
    if (s.characters[i] == '*' || s.characters[i] == '?') return 1;
  }
  return 0;
}

int32_t findChar(char c, const CountedString& s, int32_t start) {
  int32_t length = usableLength(s);
  if (start < 1) start = 1;
  // Only a double-byte code page needs the walk from the front: there a byte
  // equal to c may be the second half of a character.
  bool doubleByte = systemDbcs != 0 && utf8Mode == 0;
  int32_t i = doubleByte ? 0 : start - 1;
  while (i < length) {
    if (i >= start - 1 && s.characters[i] == c) return i + 1;
    auto byte = static_cast<uint8_t>(s.characters[i]);
    i += doubleByte && leadByteTable[byte] != 0 ? 2 : 1;
  }
  return 0;
}

void quoteText(CountedString& s, int32_t capacity) {
  int32_t limit = usableCapacity(capacity);
  if (limit == 0) {
    s.length = 0;
    return;
  }
  int32_t kept = usableLength(s);
  if (kept > limit - 1) kept = limit - 1;
  std::memmove(s.characters + 1, s.characters, static_cast<size_t>(kept));
  s.characters[0] = '"';
  int32_t length = kept + 1;
  if (length < limit) s.characters[length++] = '"';
  s.length = length;
}

void stripChar(CountedString& s, char side, char c, int32_t exact) {
  int32_t length = usableLength(s);
  trimCharacter(s.characters, &length, side, c, exact);
  s.length = length;
}

void padLeft(CountedString& s, int32_t width, char fill) {
  int32_t length = usableLength(s);
  int32_t target = usableCapacity(width);
  if (length >= target) return;
  int32_t shift = target - length;
  std::memmove(s.characters + shift, s.characters, static_cast<size_t>(length));
  std::memset(s.characters, fill, static_cast<size_t>(shift));
  s.length = target;
}

void numberText(CountedString& s, int64_t value) {
  char digits[24];
  int32_t count = 0;
  // Work on the negative value so that the most negative one needs no
  // special case.
  int64_t rest = value < 0 ? value : -value;
  do {
    digits[count++] = static_cast<char>('0' - rest % 10);
    rest /= 10;
  } while (rest != 0);
  int32_t length = 0;
  if (value < 0) s.characters[length++] = '-';
  while (count > 0) s.characters[length++] = digits[--count];
  s.length = length;
}

void copyTerminated(char* out, const char* text, int32_t capacity) {
  if (capacity <= 0) return;
  int32_t n = 0;
  while (n < capacity - 1 && text[n] != 0) {
    out[n] = text[n];
    ++n;
  }
  out[n] = 0;
}

void appendTerminated(char* out, const char* text, int32_t capacity) {
  int32_t n = static_cast<int32_t>(std::strlen(out));
  if (n < capacity) copyTerminated(out + n, text, capacity - n);
}
