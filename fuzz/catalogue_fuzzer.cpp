// Feeds the message catalogue arbitrary bytes as its grep.kvb file: the file
// is loaded and every message number its index names, and a range around the
// ones the program prints, is looked up and expanded with argument slots
// that hold placeholders themselves.
//
// Checks, beyond the sanitizers: the loader accepts exactly the files that
// catalogueImageValid accepts, and then knows a message exactly when the
// index holds a record for its number; every lookup answers a NUL-terminated
// text.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "console/message_catalogue.h"
#include "fuzz/fuzz_support.h"

namespace {

int32_t readInt32(const uint8_t* at) {
  return static_cast<int32_t>(static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                              static_cast<uint32_t>(at[2]) << 16 |
                              static_cast<uint32_t>(at[3]) << 24);
}

// The message numbers of the index records of a valid image.
std::set<int32_t> indexedNumbers(const uint8_t* image) {
  std::set<int32_t> numbers;
  for (size_t at = 8;; at += 8) {
    if (readInt32(image + at + 4) < 0) return numbers;
    numbers.insert(readInt32(image + at));
  }
}

void lookUp(int32_t number) {
  const char* text = messageText(number);
  FUZZ_CHECK(text != nullptr, number, 0);
  // The whole text must be readable up to its terminator.
  volatile size_t length = std::strlen(text);
  (void)length;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& directory = fuzz::scratchDirectory("catalogue_fuzzer");
  setCataloguePath((directory + "/").c_str(), CATALOGUE_FILE_NAME);
  const char* const arguments[] = {"name", "%s1", "%%", "%s", "", "%", "%s9x", "100%", "\x81%", "9"};
  for (int32_t slot = 0; slot < 10; ++slot) setMessageArgument(slot, arguments[slot]);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::writeFile(catalogueFilePath(), data, size);
  resetMessageCatalogue();
  const bool valid = catalogueImageValid(data, static_cast<int64_t>(size)) == 1;
  lookUp(MSG_USAGE);
  if (!valid) {
    FUZZ_CHECK(messageTableCount() == 0, messageTableCount(), 0);
    FUZZ_CHECK(messageExists(MSG_NOT_FOUND) == 0, 0, 0);
    return 0;
  }
  const std::set<int32_t> numbers = indexedNumbers(data);
  int32_t highest = -1;
  for (const int32_t number : numbers) {
    highest = std::max(highest, -number);
    FUZZ_CHECK(messageExists(number) == 1, number, 0);
    lookUp(number);
  }
  FUZZ_CHECK(messageTableCount() == highest + 1, messageTableCount(), highest + 1);
  for (int32_t number = MSG_CATALOGUE_NOT_COPIED - 2; number <= 2; ++number) {
    if (number > -3580 && number < -60) number = -60;
    lookUp(number);
    // A positive number is looked up as entry 0.
    const int32_t key = number <= 0 ? number : 0;
    FUZZ_CHECK(messageExists(number) == (numbers.count(key) != 0 ? 1 : 0), number, 0);
  }
  return 0;
}
