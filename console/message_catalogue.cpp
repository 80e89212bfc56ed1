// The message catalogue: the texts of all messages, looked up by number in
// the file grep.kvb, with ten argument slots filled in on the way out.
//
// File format (32-bit little-endian signed integers): the magic 0x1122, the
// byte offset of the text area, then index records of (message number, text
// offset from the start of the text area), ended by a record whose text
// offset is negative (-1, -1). The texts are NUL-terminated byte strings.
// Because the header has the shape of a record, the text area offset is
// 8 times the number of records including header and terminator.
//
// On the first lookup the whole file is read into memory and checked: any
// record, offset or text that would lead outside the file makes the whole
// catalogue "not valid", so nothing is ever read out of bounds. Then a table
// indexed by -number is filled with pointers into the file image; numbers
// without an entry fall back to entry 0. A text is expanded into a result
// buffer: "%%" is a percent sign, "%s" and a digit is that argument slot,
// "%s" and anything else is "%s<index> index too large". Tested by
// message_catalogue_test.cpp.
#include "console/message_catalogue.h"

#include <cstdio>
#include <cstring>

#include "files/file_handles.h"
#include "support/counted_string.h"
#include "support/memory_pool.h"

namespace {

constexpr int32_t SLOT_COUNT = 10;
constexpr int32_t RECORD_SIZE = 8;

char cataloguePath[CATALOGUE_PATH_MAX + 1];
char* fileImage = nullptr;
const char** textTable = nullptr;  // from pomAlloc, indexed by -number
int32_t tableCount = 0;
bool needsLoading = true;
char argumentSlots[SLOT_COUNT][MESSAGE_SLOT_SIZE];
char* resultBuffer = nullptr;
uint32_t resultCapacity = 0;
uint32_t resultLength = 0;
char errorText[CATALOGUE_PATH_MAX + 80];

int32_t readInt32(const uint8_t* at) {
  uint32_t value = static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                   static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
  return static_cast<int32_t>(value);
}

// Puts the catalogue path into a load-error text and returns it.
const char* withPath(const char* format) {
  std::snprintf(errorText, sizeof errorText, format, cataloguePath);
  return errorText;
}

// Walks the index of a valid image, calling visit(index, text) per record.
template <typename Visit>
void walkIndex(const uint8_t* image, Visit visit) {
  int32_t textArea = readInt32(image + 4);
  for (int32_t at = RECORD_SIZE;; at += RECORD_SIZE) {
    int32_t number = readInt32(image + at);
    int32_t offset = readInt32(image + at + 4);
    if (offset < 0) return;
    visit(-static_cast<int64_t>(number),
          reinterpret_cast<const char*>(image) + textArea + offset);
  }
}

bool growResult(uint32_t needed) {
  if (needed <= resultCapacity) return true;
  uint32_t capacity = resultCapacity < 256 ? 256 : resultCapacity;
  while (capacity < needed) capacity *= 2;
  auto* grown = static_cast<char*>(memRealloc(resultBuffer, capacity));
  if (grown == nullptr) return false;
  resultBuffer = grown;
  resultCapacity = capacity;
  return true;
}

// Appends to the result; what does not fit in memory is left out.
void appendResult(const char* text, size_t length) {
  if (length > 0x10000000 || !growResult(resultLength + static_cast<uint32_t>(length) + 1)) {
    return;
  }
  std::memcpy(resultBuffer + resultLength, text, length);
  resultLength += static_cast<uint32_t>(length);
}

void appendResultText(const char* text) { appendResult(text, std::strlen(text)); }

const char* expandText(const char* text, int64_t index) {
  resultLength = 0;
  const char* p = text;
  while (*p != '\0') {
    if (*p != '%') {
      const char* run = p;
      while (*p != '\0' && *p != '%') ++p;
      appendResult(run, static_cast<size_t>(p - run));
      continue;
    }
    char next = p[1];
    if (next == '%') {
      appendResult("%", 1);
      p += 2;
    } else if (next == 's') {
      char digit = p[2];
      if (digit >= '0' && digit <= '9') {
        appendResultText(argumentSlots[digit - '0']);
        p += 3;
      } else {
        char tooLarge[48];
        std::snprintf(tooLarge, sizeof tooLarge, "%%s%lld index too large",
                      static_cast<long long>(index));
        appendResultText(tooLarge);
        if (digit == '\0') break;
        p += 3;
      }
    } else {
      // A lone percent sign stays; what follows it is ordinary text.
      appendResult("%", 1);
      ++p;
    }
  }
  if (!growResult(resultLength + 1)) return "";
  resultBuffer[resultLength] = '\0';
  return resultBuffer;
}

// Reads the file and fills the table. Returns a load-error text, or null.
const char* loadCatalogue() {
  memFree(fileImage);
  fileImage = nullptr;
  tableCount = 0;

  char* image = nullptr;
  int64_t length = 0;
  if (readWholeFile(cataloguePath, &image, &length, 0) != 0) {
    return withPath("Unable to open message file '%s' not found");
  }
  needsLoading = false;
  fileImage = image;
  const auto* bytes = reinterpret_cast<const uint8_t*>(image);
  if (catalogueImageValid(bytes, length) == 0) {
    return withPath("Message file '%s' not valid");
  }

  int64_t highest = -1;
  walkIndex(bytes, [&](int64_t index, const char*) {
    if (index > highest) highest = index;
  });
  if (highest < 0) return nullptr;  // no records: the table stays empty
  auto count = static_cast<uint32_t>(highest + 1);
  auto* table = static_cast<const char**>(
      pomRealloc(textTable, count * static_cast<uint32_t>(sizeof(const char*))));
  if (table == nullptr) {
    return withPath("Message file '%s' too large for the memory available");
  }
  textTable = table;
  for (uint32_t i = 0; i < count; ++i) textTable[i] = nullptr;
  // A later record for the same number replaces an earlier one.
  walkIndex(bytes, [&](int64_t index, const char* text) { textTable[index] = text; });
  tableCount = static_cast<int32_t>(count);
  return nullptr;
}

int64_t messageIndex(int32_t number) { return number <= 0 ? -static_cast<int64_t>(number) : 0; }

}  // namespace

int32_t catalogueImageValid(const uint8_t* image, int64_t length) {
  if (image == nullptr || length < 2 * RECORD_SIZE) return 0;
  if (readInt32(image) != CATALOGUE_MAGIC) return 0;
  int64_t textArea = readInt32(image + 4);
  if (textArea < 2 * RECORD_SIZE || textArea % RECORD_SIZE != 0 || textArea > length) return 0;
  for (int64_t at = RECORD_SIZE;; at += RECORD_SIZE) {
    if (at + RECORD_SIZE > textArea) return 0;  // no terminator before the texts
    int32_t number = readInt32(image + at);
    int32_t offset = readInt32(image + at + 4);
    if (offset < 0) return 1;
    if (number > 0 || -static_cast<int64_t>(number) > CATALOGUE_INDEX_LIMIT) return 0;
    int64_t start = textArea + offset;
    if (start >= length) return 0;
    if (std::memchr(image + start, 0, static_cast<size_t>(length - start)) == nullptr) return 0;
  }
}

void setCataloguePath(const char* directory, const char* fileName) {
  std::snprintf(cataloguePath, sizeof cataloguePath, "%s%s", directory != nullptr ? directory : "",
                fileName != nullptr ? fileName : "");
}

const char* catalogueFilePath() { return cataloguePath; }

const char* messageText(int32_t number) {
  int64_t index = messageIndex(number);
  if (needsLoading) {
    const char* failure = loadCatalogue();
    if (failure != nullptr) return failure;
  }
  if (tableCount == 0) return withPath("Message file '%s' empty");
  const char* text = index < tableCount ? textTable[index] : nullptr;
  if (text == nullptr) text = textTable[0];
  if (text == nullptr) {
    std::snprintf(errorText, sizeof errorText, "Message %d not found in message file '%s'",
                  static_cast<int>(number), cataloguePath);
    return errorText;
  }
  return expandText(text, index);
}

void setMessageArgument(int32_t slot, const char* text) {
  if (slot < 0 || slot >= SLOT_COUNT) return;
  std::snprintf(argumentSlots[slot], MESSAGE_SLOT_SIZE, "%s", text != nullptr ? text : "(null)");
}

void setMessageNumberArgument(int32_t slot, int64_t value) {
  CountedString digits;
  numberText(digits, value);
  char text[32];
  setMessageArgument(slot, toText(text, digits, sizeof text));
}

int32_t messageExists(int32_t number) {
  int64_t index = messageIndex(number);
  if (needsLoading && loadCatalogue() != nullptr) return 0;
  return index < tableCount && textTable[index] != nullptr ? 1 : 0;
}

int32_t messageTableCount() { return tableCount; }

void resetMessageCatalogue() {
  memFree(fileImage);
  fileImage = nullptr;
  tableCount = 0;
  needsLoading = true;
}
