// The stored defaults block and -D, which writes a copy of an executable with
// new defaults in it.
//
// The block lives in the program's initialised data and starts with a marker
// text. -D copies the source file to the destination in blocks of 64 KiB and
// looks for the marker with the literal search, using the bytes of this very
// block as the pattern, so that the marker exists only once in the program.
// The last 255 bytes of every full block are carried into the next one, so a
// marker (and the fields after it) that a block boundary cuts is found and
// patched whole in the next pass. A copy that fails part way (a full disk, a
// failed read of the source) is removed again when this run created it, so
// no truncated program is left behind under the new name; a file that was
// there before (an older copy, a device such as /dev/full) is not deleted.
// A copy without the marker is whole, and stays. A copy looks for its message catalogue in
// its own directory; when there is none there, the catalogue in use is copied
// beside it, so that a copy written elsewhere can still show its texts.
#include "driver/stored_defaults.h"

#include <cstring>

#include "driver/search_options.h"
#include "driver/text_window.h"
#include "files/file_handles.h"
#include "files/paths.h"
#include "pattern/literal_search.h"
#include "platform/file_identity.h"
#include "support/counted_string.h"
#include "support/memory_pool.h"
#include "support/message_catalogue.h"
#include "support/stream.h"

StoredDefaults storedDefaults = {"DEFAULT OPTIONS 1.05: ", 0, 0, 0, 0, 0};

namespace {

constexpr int32_t COPY_BLOCK = WINDOW_SIZE;
constexpr int32_t CARRY = 255;
constexpr int32_t IGNORE_CASE_AT = 24;
constexpr int32_t SYNTAX_AT = 28;

[[noreturn]] void failWith(int32_t message, const char* argument) {
  if (argument != nullptr) setMessageArgument(1, argument);
  printMessageLine(messageText(message));
  exitProgram(1);
}

// The destination being written, and whether this run created it.
FileHandle openDestination = -1;
const char* createdDestination = nullptr;

// Ends a copy that could not be finished: the partial file goes when it is
// this run's own, then the failure is reported.
[[noreturn]] void failCopy(int32_t message, const char* argument) {
  if (openDestination >= 0) fileClose(openDestination, -1);
  if (createdDestination != nullptr) deleteFile(createdDestination);
  failWith(message, argument);
}

void putWord(uint8_t* at, int32_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

// Writes the whole image to a new file; 0 or a negative status. A file that
// already exists is left alone (the open fails).
int32_t writeNewFile(const char* name, const char* image, int64_t length) {
  FileHandle file = fileOpen(name, OPEN_CREATE_NEW);
  if (file < 0) return file;
  int32_t status = 0;
  for (int64_t done = 0; status == 0 && done < length;) {
    int32_t part = length - done > COPY_BLOCK ? COPY_BLOCK : static_cast<int32_t>(length - done);
    int32_t written = fileWrite(file, image + done, part);
    if (written != part) status = written < 0 ? written : MSG_SHORT_TRANSFER;
    done += part;
  }
  if (fileClose(file, -1) != 0 && status == 0) status = MSG_CLOSE_FAILED;
  if (status != 0) deleteFile(name);
  return status;
}

void copyCatalogueBeside(const char* destinationName) {
  char targetName[PATH_CAPACITY];
  copyTerminated(targetName, destinationName, PATH_CAPACITY);
  targetName[nameOffset(targetName)] = 0;
  appendTerminated(targetName, CATALOGUE_FILE_NAME, PATH_CAPACITY);
  if (fileExists(targetName, 1)) return;

  setMessageArgument(1, catalogueFilePath());
  setMessageArgument(2, targetName);
  char* image = nullptr;
  int64_t length = 0;
  int32_t status = readWholeFile(catalogueFilePath(), &image, &length, 1);
  if (status == 0) {
    status = writeNewFile(targetName, image, length);
    memFree(image);
  }
  printMessageLine(messageText(status == 0 ? MSG_CATALOGUE_COPIED : MSG_CATALOGUE_NOT_COPIED));
  if (status != 0) exitProgram(1);
}

}  // namespace

[[noreturn]] void storeDefaults(const char* sourceName, const char* destinationName) {
  FileHandle source = fileOpen(sourceName, OPEN_READ);
  if (source < 0) failWith(MSG_D_SOURCE_OPEN, sourceName);
  // Opening the destination for writing empties it: when it is the source
  // under any name, that would destroy the source.
  if (platformSameFile(sourceName, destinationName)) failWith(MSG_D_DESTINATION_OPEN, destinationName);
  const bool existed = fileExists(destinationName, 1) != 0;
  FileHandle destination = fileOpen(destinationName, OPEN_WRITE);
  if (destination < 0) failWith(MSG_D_DESTINATION_OPEN, destinationName);
  openDestination = destination;
  if (!existed) createdDestination = destinationName;

  uint8_t marker[DEFAULTS_MARKER_LENGTH];
  std::memcpy(marker, storedDefaults.marker, sizeof marker);
  if (CompileLiteral(marker, DEFAULTS_MARKER_LENGTH, 1, 0) != 0) failCopy(MSG_OUT_OF_MEMORY, nullptr);

  uint8_t* buffer = textWindow.window;
  int32_t carry = 0;
  bool found = false;
  for (;;) {
    int32_t got = fileRead(source, buffer + carry, COPY_BLOCK - carry);
    if (got < 0) failCopy(MSG_LIST_READ, sourceName);
    int32_t total = carry + got;
    if (total == 0) break;
    if (!found) {
      int32_t at = FindLiteralInMemory(1, marker, DEFAULTS_MARKER_LENGTH, buffer, total);
      if (at > 0 && !(at > COPY_BLOCK - CARRY && total == COPY_BLOCK)) {
        putWord(buffer + at - 1 + IGNORE_CASE_AT, searchOptions.ignoreCase);
        putWord(buffer + at - 1 + SYNTAX_AT, searchOptions.syntax);
        found = true;
      }
    }
    int32_t toWrite = total < COPY_BLOCK ? total : total - CARRY;
    if (fileWrite(destination, buffer, toWrite) != toWrite) failCopy(MSG_D_WRITE, nullptr);
    carry = total < COPY_BLOCK ? 0 : CARRY;
    if (carry != 0) std::memmove(buffer, buffer + total - CARRY, CARRY);
  }
  fileClose(source, -1);
  openDestination = -1;
  if (fileClose(destination, -1) != 0) failCopy(MSG_D_WRITE, nullptr);
  if (!found) failWith(MSG_D_NO_MARKER, nullptr);
  platformCopyPermissions(sourceName, destinationName);
  copyCatalogueBeside(destinationName);
  exitProgram(0);
}
