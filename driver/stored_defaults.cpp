// The stored defaults block and -D, which writes a copy of an executable with
// new defaults in it.
//
// The block lives in the program's initialised data and starts with a marker
// text. -D copies the source file to the destination in blocks of 64 KiB and
// looks for the marker with the literal search, using the bytes of this very
// block as the pattern, so that the marker exists only once in the program.
// The last 255 bytes of every full block are carried into the next one, so a
// marker (and the fields after it) that a block boundary cuts is found and
// patched whole in the next pass.
//
// Nothing is written before the copy is known to be one: the source must hold
// the marker, and a file that already stands under the destination's name is
// replaced only when it holds the marker too, that is, when it is an earlier
// copy of a program. Any other file (a catalogue, a text, a device) and a
// directory are refused with the reason, as is a destination that the system
// will not create. A copy that fails part way (a full disk, a failed read of
// the source) is removed again when this run created it, so no truncated
// program is left behind under the new name; an earlier copy that was there
// before is not deleted. A copy looks for its message catalogue in its own
// directory; when there is none there, the catalogue in use is copied beside
// it, so that a copy written elsewhere can still show its texts.
#include "driver/stored_defaults.h"

#include <cstring>

#include "console/message_catalogue.h"
#include "console/stream.h"
#include "driver/search_options.h"
#include "driver/text_window.h"
#include "files/file_handles.h"
#include "files/paths.h"
#include "pattern/literal_search.h"
#include "platform/file_identity.h"
#include "support/counted_string.h"
#include "support/memory_pool.h"

StoredDefaults storedDefaults = {"DEFAULT OPTIONS 1.05: ", 0, 0, 0, 0, 0};

namespace {

constexpr int32_t COPY_BLOCK = WINDOW_SIZE;
constexpr int32_t CARRY = 255;
constexpr int32_t IGNORE_CASE_AT = 24;
constexpr int32_t SYNTAX_AT = 28;

// Reasons a destination is refused, shown after its name in
// MSG_D_DESTINATION_OPEN in place of a file-layer code's text.
constexpr int32_t MSG_D_IS_SOURCE = -3680;
constexpr int32_t MSG_D_IS_DIRECTORY = -3681;
constexpr int32_t MSG_D_NOT_A_COPY = -3682;

[[noreturn]] void failWith(int32_t message, const char* argument) {
  if (argument != nullptr) setMessageArgument(1, argument);
  printMessageLine(messageText(message));
  exitProgram(1);
}

// The destination cannot be written; reason is a message number, the text of
// which says why.
[[noreturn]] void refuseDestination(const char* name, int32_t reason) {
  setMessageArgument(2, messageText(reason));
  failWith(MSG_D_DESTINATION_OPEN, name);
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

// 1 when the marker occurs anywhere in the rest of the open file, 0 when it
// does not, or the status of a failed read. Reads through the copy buffer,
// keeping the bytes that could start a marker cut by a block's end.
int32_t holdsMarker(FileHandle file, const uint8_t* marker) {
  uint8_t* buffer = textWindow.window;
  int32_t kept = 0;
  for (;;) {
    const int32_t got = fileRead(file, buffer + kept, COPY_BLOCK - kept);
    if (got <= 0) return got;
    const int32_t total = kept + got;
    if (FindLiteralInMemory(1, marker, DEFAULTS_MARKER_LENGTH, buffer, total) > 0) return 1;
    kept = total < DEFAULTS_MARKER_LENGTH - 1 ? total : DEFAULTS_MARKER_LENGTH - 1;
    std::memmove(buffer, buffer + total - kept, static_cast<size_t>(kept));
  }
}

// Refuses a destination that must not be replaced: a directory, a device or
// pipe (whose reading might never end), and a file that is no earlier copy of
// a program. Returns whether something stands under the name.
bool checkDestination(const char* name, const uint8_t* marker) {
  if (isDirectory(name, 0)) refuseDestination(name, MSG_D_IS_DIRECTORY);
  DirEntry entry;
  int32_t search = SEARCH_HANDLE_RESERVED;
  if (findFirstEntry(name, &search, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, &entry) != 0) {
    return false;
  }
  if ((entry.attributes & FILE_ATTRIBUTE_DEVICE) != 0) refuseDestination(name, MSG_D_NOT_A_COPY);
  const FileHandle existing = fileOpen(name, OPEN_READ);
  if (existing < 0) refuseDestination(name, existing);
  const int32_t copy = holdsMarker(existing, marker);
  fileClose(existing, -1);
  if (copy < 0) refuseDestination(name, copy);
  if (copy == 0) refuseDestination(name, MSG_D_NOT_A_COPY);
  return true;
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
  if (platformSameFile(sourceName, destinationName)) {
    refuseDestination(destinationName, MSG_D_IS_SOURCE);
  }
  uint8_t marker[DEFAULTS_MARKER_LENGTH];
  std::memcpy(marker, storedDefaults.marker, sizeof marker);
  if (CompileLiteral(marker, DEFAULTS_MARKER_LENGTH, 1, 0) != 0) failWith(MSG_OUT_OF_MEMORY, nullptr);
  const int32_t sourceMarker = holdsMarker(source, marker);
  if (sourceMarker < 0) failWith(MSG_LIST_READ, sourceName);
  if (sourceMarker == 0) failWith(MSG_D_NO_MARKER, sourceName);
  if (fileSeek(source, 0, 0) != 0) failWith(MSG_LIST_READ, sourceName);

  const bool existed = checkDestination(destinationName, marker);
  FileHandle destination = fileOpen(destinationName, OPEN_WRITE);
  if (destination < 0) refuseDestination(destinationName, destination);
  openDestination = destination;
  if (!existed) createdDestination = destinationName;

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
  // The source changed after it was looked at.
  if (!found) failCopy(MSG_D_NO_MARKER, sourceName);
  platformCopyPermissions(sourceName, destinationName);
  copyCatalogueBeside(destinationName);
  exitProgram(0);
}
