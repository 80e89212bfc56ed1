// Path names: name and extension parts, roots, the current directory of a
// drive, absolute paths, file-name comparison, and the search for a program
// file, with which the program finds its own directory.
//
// "\", "/" and ":" all separate path components. Scans from the end step by
// whole characters under a double-byte code page, so a second byte equal to
// "\" is never taken for a separator. absolutePath works on a copy in which
// every "/" is a "\", resolves "." and ".." components against the current
// directory, and writes the separator of the system in what it returns: on
// POSIX systems the current directory is "/home/x", whose root is "/".
// findProgram follows the Windows rules where the system has them (shell
// built-ins, the program extensions, COMSPEC); elsewhere a program is an
// executable file of exactly its name, found where the name points or along
// PATH. programName and shortenForDisplay prepare names for the program's
// own texts.
//
// Tested by paths_test.cpp.
#include "files/paths.h"

#include <cstring>

#include "files/dir_search.h"
#include "files/file_handles.h"
#include "platform/platform.h"
#include "support/counted_string.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

constexpr int32_t PATH_MAX_LENGTH = PATH_CAPACITY - 1;
constexpr int32_t FIND_END = -18;
// Program lookups find files only, hidden and system ones included.
constexpr uint32_t PROGRAM_LOOKUP_MASK = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool isSeparator(char c) { return c == '\\' || c == '/' || c == ':'; }

bool doubleByteRules() { return systemDbcs != 0 && utf8Mode == 0; }

constexpr char DEFAULT_PROGRAM_NAME[] = "grep";
constexpr char ELLIPSIS[] = "...";

int32_t length(const char* text) { return static_cast<int32_t>(std::strlen(text)); }

void appendChar(char* out, char c, int32_t capacity) {
  int32_t n = length(out);
  if (n < capacity - 1) {
    out[n] = c;
    out[n + 1] = 0;
  }
}

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c; }

bool sameTextNoCase(const char* a, const char* b) {
  return sameFileName(a, length(a), b, length(b));
}

// The length of the root of the current directory (with "\" as separator):
// "C:\" for a drive, the server and share of a UNC path, "\" for a POSIX root.
int32_t currentRootLength(const char* directory) {
  int32_t size = length(directory);
  if (size >= 2 && directory[1] == ':') return size < 3 ? size : 3;
  if (directory[0] == '\\' && directory[1] == '\\') {
    int32_t root = rootLength(directory);
    return root > 0 ? root + 1 : 2;
  }
  if (directory[0] == '\\') return 1;
  return size < 3 ? size : 3;
}

bool endsInSeparatorOf(const char* text, char a, char b) {
  int32_t n = length(text);
  return n > 0 && (text[n - 1] == a || text[n - 1] == b);
}

// --- Program search ------------------------------------------------------

const char* const SHELL_BUILT_INS[] = {"BREAK", "CD",    "CHDIR", "CLS",    "COPY", "CTTY",  "DATE",
                                       "DEL",   "DIR",   "ECHO",  "ERASE",  "MD",   "MKDIR", "MOVE",
                                       "PATH",  "PAUSE", "REN",   "RENAME", "RD",   "RMDIR", "SET",
                                       "TIME",  "TYPE",  "VER",   "VERIFY", "VOL",  "START"};

bool isShellBuiltIn(const char* name) {
  if (length(name) == 2 && name[1] == ':') return true;
  if (std::strpbrk(name, "<>|") != nullptr) return true;
  char word[16];
  int32_t n = 0;
  for (; name[n] != 0 && name[n] != '/' && name[n] != '=' && name[n] != '\\'; ++n) {
    if (n == static_cast<int32_t>(sizeof word) - 1) return false;
    word[n] = upperAscii(name[n]);
  }
  word[n] = 0;
  for (const char* builtIn : SHELL_BUILT_INS) {
    if (std::strcmp(word, builtIn) == 0) return true;
  }
  return false;
}

void shellName(char* out, int32_t capacity) {
  DWORD got = GetEnvironmentVariableA("COMSPEC", out, static_cast<DWORD>(capacity));
  if (got == 0 || got >= static_cast<DWORD>(capacity)) copyTerminated(out, "COMMAND.COM", capacity);
}

// The shell command that runs a batch file: COMSPEC " /c " candidate " ";
// a candidate with a blank gets its directory's short form, or quotes.
void makeShellCommand(char* out, int32_t capacity, const char* candidate) {
  char command[PATH_CAPACITY];
  shellName(command, PATH_CAPACITY);
  appendTerminated(command, " /c ", PATH_CAPACITY);
  if (std::strchr(candidate, ' ') == nullptr) {
    appendTerminated(command, candidate, PATH_CAPACITY);
  } else {
    char directory[PATH_CAPACITY];
    char shortDirectory[PATH_CAPACITY];
    int32_t nameStart = nameOffset(candidate);
    copyTerminated(directory, candidate, nameStart + 1 < PATH_CAPACITY ? nameStart + 1 : PATH_CAPACITY);
    DWORD got = GetShortPathNameA(directory, shortDirectory, PATH_CAPACITY);
    if (nameStart > 0 && got > 0 && got < static_cast<DWORD>(PATH_CAPACITY) &&
        std::strchr(shortDirectory, ' ') == nullptr) {
      appendTerminated(command, shortDirectory, PATH_CAPACITY);
      appendTerminated(command, candidate + nameStart, PATH_CAPACITY);
    } else {
      appendChar(command, '"', PATH_CAPACITY);
      appendTerminated(command, candidate, PATH_CAPACITY);
      appendChar(command, '"', PATH_CAPACITY);
    }
  }
  appendChar(command, ' ', PATH_CAPACITY);
  copyTerminated(out, command, capacity);
}

enum ProgramKind { KIND_NONE, KIND_COM, KIND_EXE, KIND_PIF, KIND_BAT, KIND_CMD };

ProgramKind programKind(const char* path) {
  char extension[8];
  extensionOf(path, extension, sizeof extension);
  if (sameTextNoCase(extension, ".COM")) return KIND_COM;
  if (sameTextNoCase(extension, ".EXE")) return KIND_EXE;
  if (sameTextNoCase(extension, ".PIF")) return KIND_PIF;
  if (sameTextNoCase(extension, ".BAT")) return KIND_BAT;
  if (sameTextNoCase(extension, ".CMD") && !isWindows95Family()) return KIND_CMD;
  return KIND_NONE;
}

// The Windows rules: a name with a program extension is looked up as it is;
// otherwise name.* is listed and the extensions found decide.
int32_t resolveWithExtensions(const char* candidate, char* out, int32_t capacity,
                              int32_t* needsShell, int32_t makeShell) {
  char lookup[PATH_CAPACITY];
  copyTerminated(lookup, candidate, PATH_CAPACITY);
  ProgramKind kind = programKind(candidate);
  int32_t handle = SEARCH_HANDLE_RESERVED;
  if (kind != KIND_NONE) {
    if (findFirstName(lookup, &handle, PROGRAM_LOOKUP_MASK) != 0) return FIND_END;
    if (kind == KIND_BAT || kind == KIND_CMD) {
      *needsShell = 1;
      if (makeShell != 0) {
        makeShellCommand(out, capacity, lookup);
        return 0;
      }
    }
    copyTerminated(out, lookup, capacity);
    return 0;
  }
  appendTerminated(lookup, ".*", PATH_CAPACITY);
  bool seen[KIND_CMD + 1] = {};
  int32_t result = findFirstName(lookup, &handle, PROGRAM_LOOKUP_MASK);
  while (result == 0) {
    ProgramKind found = programKind(lookup);
    if (found == KIND_COM) {
      copyTerminated(out, lookup, capacity);
      return 0;
    }
    seen[found] = true;
    result = findNextName(lookup, handle);
  }
  char program[PATH_CAPACITY];
  copyTerminated(program, candidate, PATH_CAPACITY);
  const char* batchExtension = seen[KIND_BAT] ? ".BAT" : seen[KIND_CMD] ? ".CMD" : nullptr;
  if (seen[KIND_EXE]) {
    if (batchExtension != nullptr) {
      appendTerminated(program, batchExtension, PATH_CAPACITY);
      *needsShell = 1;
    } else {
      appendTerminated(program, ".EXE", PATH_CAPACITY);
    }
  } else if (seen[KIND_PIF]) {
    appendTerminated(program, ".PIF", PATH_CAPACITY);
  } else if (batchExtension != nullptr) {
    appendTerminated(program, batchExtension, PATH_CAPACITY);
    *needsShell = 1;
    if (makeShell != 0) {
      makeShellCommand(out, capacity, program);
      return 0;
    }
  } else {
    return FIND_END;
  }
  copyTerminated(out, program, capacity);
  return 0;
}

int32_t resolveProgram(const char* candidate, char* out, int32_t capacity, int32_t* needsShell,
                       int32_t makeShell) {
  if (platformProgramExtensions() == 1) {
    return resolveWithExtensions(candidate, out, capacity, needsShell, makeShell);
  }
  if (platformIsExecutableFile(candidate) == 0) return FIND_END;
  copyTerminated(out, candidate, capacity);
  return 0;
}

// Whether a program name points at a place of its own instead of being
// looked for: on Windows a backslash, elsewhere the system's separator too.
bool namesItsPlace(const char* name) {
  return std::strchr(name, '\\') != nullptr || std::strchr(name, platformSeparator()) != nullptr;
}

}  // namespace

bool hasWildcardText(const char* text, int32_t length) {
  for (int32_t i = length - 1; i >= 0; --i) {
    if (text[i] == '*' || text[i] == '?') return true;
  }
  return false;
}

bool sameFileName(const char* a, int32_t lengthA, const char* b, int32_t lengthB) {
  if (lengthA < 0) lengthA = length(a);
  if (lengthB < 0) lengthB = length(b);
  const uint8_t* x = reinterpret_cast<const uint8_t*>(a);
  const uint8_t* y = reinterpret_cast<const uint8_t*>(b);
  if (utf8Mode != 0) {
    const uint8_t* endX = x + lengthA;
    const uint8_t* endY = y + lengthB;
    while (x < endX && y < endY) {
      uint32_t codeX = *x;
      uint32_t codeY = *y;
      x = codeX < 0x80 ? x + 1 : decodeUtf8(x, endX, &codeX);
      y = codeY < 0x80 ? y + 1 : decodeUtf8(y, endY, &codeY);
      if (upperCodePoint(codeX) != upperCodePoint(codeY)) return false;
    }
    return x == endX && y == endY;
  }
  if (systemDbcs != 0) {
    int32_t i = 0;
    while (i < lengthA && i < lengthB) {
      bool pairA = leadByteTable[x[i]] != 0 && i + 1 < lengthA;
      bool pairB = leadByteTable[y[i]] != 0 && i + 1 < lengthB;
      if (pairA) {
        if (!pairB) return false;
        char unitA[2] = {a[i], a[i + 1]};
        char unitB[2] = {b[i], b[i + 1]};
        CharUpperBuffA(unitA, 2);
        CharUpperBuffA(unitB, 2);
        if (unitA[0] != unitB[0] || unitA[1] != unitB[1]) return false;
        i += 2;
      } else {
        if (leadByteTable[y[i]] != 0 || upperTable[x[i]] != upperTable[y[i]]) return false;
        ++i;
      }
    }
    return i == lengthA && i == lengthB;
  }
  if (lengthA != lengthB) return false;
  for (int32_t i = 0; i < lengthA; ++i) {
    if (upperTable[x[i]] != upperTable[y[i]]) return false;
  }
  return true;
}

int32_t nameOffset(const char* path) {
  int32_t n = length(path);
  if (doubleByteRules()) {
    const uint8_t* start = reinterpret_cast<const uint8_t*>(path);
    const uint8_t* position = start + n;
    while (position > start) {
      const uint8_t* previous = previousCharacter(start, position);
      if (position - previous == 1 && isSeparator(static_cast<char>(*previous))) {
        return static_cast<int32_t>(position - start);
      }
      position = previous;
    }
    return 0;
  }
  for (int32_t i = n - 1; i >= 0; --i) {
    if (isSeparator(path[i])) return i + 1;
  }
  return 0;
}

void extensionOf(const char* path, char* out, int32_t size) {
  if (size <= 0) return;
  out[0] = 0;
  const uint8_t* start = reinterpret_cast<const uint8_t*>(path);
  const uint8_t* position = start + length(path);
  while (position > start) {
    const uint8_t* previous = doubleByteRules() ? previousCharacter(start, position) : position - 1;
    if (position - previous == 1) {
      char c = static_cast<char>(*previous);
      if (isSeparator(c)) return;
      if (c == '.') {
        copyTerminated(out, reinterpret_cast<const char*>(previous), size);
        return;
      }
    }
    position = previous;
  }
}

int32_t rootLength(const char* path) {
  if (path[0] == '\\' && path[1] == '\\') {
    const char* first = std::strchr(path + 2, '\\');
    if (first != nullptr) {
      const char* second = std::strchr(first + 1, '\\');
      if (second != nullptr) return static_cast<int32_t>(second - path);
    }
  }
  if (path[0] != 0 && path[1] == ':') return 2;
  return 0;
}

bool isDriveRoot(const char* path) {
  int32_t n = length(path);
  if (n == 2) return path[1] == ':';
  return n == 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

int32_t driveCurrentDirectory(char* out, int32_t drive) {
  char directory[PATH_CAPACITY];
  out[0] = 0;
  if (getCurrentDirectory(directory, PATH_CAPACITY) == 0) {
    return mapSystemError(GetLastError(), -3);
  }
  char letter = static_cast<char>(64 + drive);
  bool otherDrive = drive != 0 && !(directory[0] != 0 && directory[1] == ':' &&
                                    upperAscii(directory[0]) == letter);
  if (otherDrive) {
    char variable[4] = {'=', letter, ':', 0};
    DWORD got = GetEnvironmentVariableA(variable, out, PATH_CAPACITY);
    if (got > 0 && got < static_cast<DWORD>(PATH_CAPACITY)) {
      if (!endsInSeparatorOf(out, '\\', '/')) appendChar(out, '\\', PATH_CAPACITY);
    } else {
      char root[4] = {letter, ':', '\\', 0};
      copyTerminated(out, root, PATH_CAPACITY);
    }
    return 0;
  }
  copyTerminated(out, directory, PATH_CAPACITY);
  if (!endsInSeparatorOf(out, '\\', '/')) appendChar(out, platformSeparator(), PATH_CAPACITY);
  return 0;
}

char lastCharacter(const char* text) {
  int32_t n = length(text);
  if (n == 0) return ' ';
  if (doubleByteRules()) {
    const uint8_t* start = reinterpret_cast<const uint8_t*>(text);
    if (start + n - previousCharacter(start, start + n) == 2) return 0;
  }
  return text[n - 1];
}

int32_t absolutePath(char* out, const char* path) {
  char work[PATH_CAPACITY];
  copyTerminated(work, path, PATH_CAPACITY);
  for (char* c = work; *c != 0; ++c) {
    if (*c == '/') *c = '\\';
  }
  int32_t end = length(work);
  while (end > 0 && work[end - 1] == '"') work[--end] = 0;
  int32_t begin = 0;
  while (work[begin] == '"') ++begin;

  const char* source = work + begin;
  int32_t position;  // where the components begin in source
  int32_t rootEnd;   // ".." never shortens the output below this
  if (source[0] == '\\' && source[1] == '\\') {
    copyTerminated(out, "\\\\", PATH_CAPACITY);
    position = 2;
    rootEnd = 2;
  } else if (source[0] != 0 && source[1] == ':' && source[2] == '\\') {
    copyTerminated(out, source, 4);
    position = 3;
    rootEnd = 3;
  } else {
    bool driveRelative = source[0] != 0 && source[1] == ':';
    int32_t drive = driveRelative ? upperAscii(source[0]) - 64 : 0;
    int32_t result = driveCurrentDirectory(out, drive);
    if (result != 0) {
      out[0] = 0;
      return result;
    }
    for (char* c = out; *c != 0; ++c) {
      if (*c == '/') *c = '\\';
    }
    if (!endsInSeparatorOf(out, '\\', '\\')) appendChar(out, '\\', PATH_CAPACITY);
    rootEnd = currentRootLength(out);
    if (driveRelative) {
      position = 2;
    } else if (source[0] == '\\') {
      out[rootEnd] = 0;
      position = 1;
    } else {
      position = 0;
    }
  }

  int32_t outLength = length(out);
  while (source[position] != 0) {
    int32_t componentEnd = position;
    while (source[componentEnd] != 0 && source[componentEnd] != '\\') ++componentEnd;
    int32_t size = componentEnd - position;
    bool followed = source[componentEnd] == '\\';
    bool dot = size == 1 && source[position] == '.';
    bool dotDot = size == 2 && source[position] == '.' && source[position + 1] == '.';
    if (followed && dotDot) {
      if (outLength > rootEnd) {
        --outLength;
        while (outLength > rootEnd && out[outLength - 1] != '\\') --outLength;
        out[outLength] = 0;
      }
    } else if (!(followed && dot)) {
      int32_t take = size + (followed ? 1 : 0);
      if (take > PATH_MAX_LENGTH - outLength) take = PATH_MAX_LENGTH - outLength;
      std::memcpy(out + outLength, source + position, static_cast<size_t>(take));
      outLength += take;
      out[outLength] = 0;
    }
    position = followed ? componentEnd + 1 : componentEnd;
  }

  char separator = platformSeparator();
  if (separator != '\\') {
    for (char* c = out; *c != 0; ++c) {
      if (*c == '\\') *c = separator;
    }
  }
  return 0;
}

int32_t findProgram(char* out, const char* name, int32_t capacity, int32_t* needsShell,
                    int32_t currentDirectoryFirst, int32_t makeShellCommandFlag) {
  *needsShell = 0;
  copyTerminated(out, name, capacity);
  if (platformProgramExtensions() == 1 && makeShellCommandFlag != 0 && isShellBuiltIn(name)) {
    char command[PATH_CAPACITY];
    shellName(command, PATH_CAPACITY);
    appendTerminated(command, " /c ", PATH_CAPACITY);
    appendTerminated(command, name, PATH_CAPACITY);
    copyTerminated(out, command, capacity);
    *needsShell = 1;
    return 0;
  }
  if (namesItsPlace(name)) {
    return resolveProgram(name, out, capacity, needsShell, makeShellCommandFlag) == 0 ? 0 : -2;
  }
  if (currentDirectoryFirst != 0 &&
      resolveProgram(name, out, capacity, needsShell, makeShellCommandFlag) == 0) {
    return 0;
  }
  DWORD needed = GetEnvironmentVariableA("PATH", nullptr, 0);
  if (needed == 0) {
    return resolveProgram(name, out, capacity, needsShell, makeShellCommandFlag) == 0 ? 0 : -2;
  }
  char* list = static_cast<char*>(memAlloc(needed + 1));
  if (list == nullptr) return -2;
  DWORD got = GetEnvironmentVariableA("PATH", list, needed + 1);
  if (got == 0 || got > needed) {
    memFree(list);
    return -2;
  }
  int32_t candidateCapacity = capacity < PATH_CAPACITY ? capacity : PATH_CAPACITY;
  char listSeparator = platformPathListSeparator();
  char separator = platformSeparator();
  int32_t result = -2;
  const char* entry = list;
  while (result != 0) {
    while (*entry == ' ') ++entry;
    const char* entryEnd = entry;
    while (*entryEnd != 0 && *entryEnd != listSeparator) ++entryEnd;
    char candidate[PATH_CAPACITY];
    int32_t size = static_cast<int32_t>(entryEnd - entry);
    if (size > candidateCapacity - 1) size = candidateCapacity - 1;
    std::memcpy(candidate, entry, static_cast<size_t>(size));
    candidate[size] = 0;
    if (size > 0 && !endsInSeparatorOf(candidate, '\\', '/')) {
      appendChar(candidate, separator, candidateCapacity);
    }
    appendTerminated(candidate, name, candidateCapacity);
    if (resolveProgram(candidate, out, capacity, needsShell, makeShellCommandFlag) == 0) {
      result = 0;
    }
    if (*entryEnd == 0) break;
    entry = entryEnd + 1;
  }
  memFree(list);
  return result;
}

int32_t programDirectory(char* out, const char* firstArgument) {
  char program[PATH_CAPACITY];
  copyTerminated(program, firstArgument, PATH_CAPACITY);
  if (nameOffset(firstArgument) == 0) {
    int32_t needsShell = 0;
    if (findProgram(program, firstArgument, PATH_CAPACITY, &needsShell, 1, 1) != 0) {
      copyTerminated(program, firstArgument, PATH_CAPACITY);
    }
  }
  if (absolutePath(out, program) != 0) return 0;
  platformResolveLinks(out, PATH_CAPACITY);
  int32_t directoryLength = nameOffset(out);
  out[directoryLength] = 0;
  return directoryLength;
}

void stripPathParts(char* path, char letter) {
  switch (letter) {
    case 'P': {
      int32_t nameStart = nameOffset(path);
      std::memmove(path, path + nameStart, static_cast<size_t>(length(path) - nameStart + 1));
      break;
    }
    case 'D':
      if (path[0] != 0 && path[1] == ':') {
        std::memmove(path, path + 2, static_cast<size_t>(length(path) - 1));
      }
      break;
    case 'N':
      path[nameOffset(path)] = 0;
      break;
    case 'E': {
      char extension[20];
      extensionOf(path, extension, sizeof extension);
      path[length(path) - length(extension)] = 0;
      break;
    }
    case 'B':
      stripPathParts(path, 'E');
      stripPathParts(path, 'P');
      break;
    default:
      break;
  }
}

void programName(char* out, int32_t capacity, const char* firstArgument) {
  if (capacity <= 0) return;
  const char* name = firstArgument != nullptr ? firstArgument + nameOffset(firstArgument) : "";
  int32_t size = length(name);
  const char* suffix = platformExecutableSuffix();
  int32_t suffixSize = length(suffix);
  if (suffixSize > 0 && size > suffixSize &&
      sameFileName(name + size - suffixSize, suffixSize, suffix, suffixSize)) {
    size -= suffixSize;
  }
  if (size == 0) {
    name = DEFAULT_PROGRAM_NAME;
    size = length(name);
  }
  if (size > capacity - 1) size = capacity - 1;
  std::memcpy(out, name, static_cast<size_t>(size));
  out[size] = 0;
}

namespace {

bool startsCharacter(const char* text, int32_t at) {
  const uint8_t* start = reinterpret_cast<const uint8_t*>(text);
  if (utf8Mode != 0) return (start[at] & 0xC0) != 0x80;
  return !doubleByteRules() || isCharacterStart(start, start + at);
}

}  // namespace

void shortenForDisplay(char* out, int32_t capacity, const char* text) {
  if (capacity <= 0) return;
  int32_t size = length(text);
  if (size < capacity) {
    std::memcpy(out, text, static_cast<size_t>(size) + 1);
    return;
  }
  // A third of the room for the start (the root), the rest for the end,
  // where the name is. Each cut moves to a character start in the direction
  // that keeps within the room.
  const int32_t ellipsis = length(ELLIPSIS);
  const int32_t room = capacity - 1 - ellipsis;
  if (room < 2) {
    out[0] = 0;
    return;
  }
  int32_t head = room / 3;
  while (head > 0 && !startsCharacter(text, head)) --head;
  int32_t tail = size - (room - head);
  while (tail < size && !startsCharacter(text, tail)) ++tail;
  std::memcpy(out, text, static_cast<size_t>(head));
  std::memcpy(out + head, ELLIPSIS, static_cast<size_t>(ellipsis));
  std::memcpy(out + head + ellipsis, text + tail, static_cast<size_t>(size - tail) + 1);
}

int32_t currentDirectory(CountedString& s, int32_t drive) {
  char directory[COUNTED_MAX_CAPACITY + 1] = {};
  int32_t status = driveCurrentDirectory(directory, drive);
  if (status != 0) {
    s.length = 0;
    return status;
  }
  directory[COUNTED_MAX_CAPACITY] = '\0';
  assignText(s, directory);
  return 0;
}

int32_t openCounted(const CountedString& s, int32_t mode) {
  char name[COUNTED_MAX_CAPACITY + 1];
  return fileOpen(toText(name, s, sizeof name), mode);
}
