// Length-prefixed strings: the form in which file specifications, list-file
// lines, path names and the word-character set travel through the program.
#pragma once

#include <cstdint>

constexpr int32_t COUNTED_WORDSET_CAPACITY = 80;
constexpr int32_t COUNTED_PATH_CAPACITY = 512;
constexpr int32_t COUNTED_SPEC_CAPACITY = 1024;
constexpr int32_t COUNTED_MAX_CAPACITY = 1024;

// A plain value: embedded in its owner and copied byte-wise. The owner decides
// the capacity in use (80, 512 or 1024) and passes it to every operation;
// the storage always has room for the largest. There is no terminator.
struct CountedString {
  int32_t length = 0;
  char characters[COUNTED_MAX_CAPACITY];
};

// Positions are 1-based. Capacities above COUNTED_MAX_CAPACITY count as it.
void appendText(CountedString& s, const char* text, int32_t capacity);
void appendCounted(CountedString& destination, const CountedString& source, int32_t capacity);
void copyCounted(CountedString& destination, const CountedString& source, int32_t capacity);
void assignText(CountedString& s, const char* text);
void assignTextMax(CountedString& s, const char* text, int32_t maximum);
char* toText(char* buffer, const CountedString& s, int32_t size);
char* toSharedText(const CountedString& s);
void deleteChars(CountedString& s, int32_t position, int32_t count);
int32_t directoryPartLength(const CountedString& s);
int32_t hasWildcard(const CountedString& s);
int32_t findChar(char c, const CountedString& s, int32_t start);
void quoteText(CountedString& s, int32_t capacity);
void stripChar(CountedString& s, char side, char c, int32_t exact);
void padLeft(CountedString& s, int32_t width, char fill);
void numberText(CountedString& s, int64_t value);

// NUL-terminated texts in buffers of `capacity` bytes (the NUL included):
// copies and appends are cut to fit, never overrun.
void copyTerminated(char* out, const char* text, int32_t capacity);
void appendTerminated(char* out, const char* text, int32_t capacity);
