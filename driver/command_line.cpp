// The entry point: start-up, the command line, and the exit.
//
// Start-up prepares the process-wide state in a fixed order (lead-byte table,
// catalogue path beside the executable, standard output, stored defaults).
// The command line is then read in two phases. In the option phase every
// argument that begins with "-" is an option and the first other argument is
// the search text; the phase ends at the first non-option once the search
// text is known, or at -L. In the file phase every argument is a file
// specification, a list file (-L name) or a tree prefix (-T/+T spec). Each
// specification goes to the search driver; the exit status is the result of
// the last one searched. "--" ends the option phase: the argument after it
// is the search text when none is known yet, and every later argument is a
// plain file name. Arguments are read as main received them until
// -utf8 turns the UTF-8 mode on, and in UTF-8 from there; a search text read
// before it is read again, so that names and the search text are always in
// the form the mode uses. Where the system handed main a lossy form of what
// was typed (Windows puts "?" or a look-alike for a character the code page
// lacks), such an argument is refused instead of being used: a "?" would
// select other files as a wildcard. List files and pattern files saved with a
// byte-order mark are read without it; a list file in UTF-16 is converted to
// the form names take. Standard output that cannot be written ends the
// program: quietly with status 2 when the reader has gone (a closed pipe),
// otherwise after a message on standard error, the one place left for it.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/message_catalogue.h"
#include "console/stream.h"
#include "driver/search_driver.h"
#include "driver/search_options.h"
#include "driver/stored_defaults.h"
#include "files/file_handles.h"
#include "files/paths.h"
#include "pattern/compiled_pattern.h"
#include "pattern/literal_search.h"
#include "platform/platform.h"
#include "platform/win32.h"
#include "support/counted_string.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

SearchOptions searchOptions = {
    nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, WALK_FULL_NAMES, 0,
    CountedString{13, "[A-Za-z0-9_$]"}, nullptr, 0, 0};

namespace {

constexpr int32_t LIST_READ_CHUNK = 1000;
constexpr int32_t EXIT_OUTPUT_FAILED = 2;
constexpr char MARK_SET[] = "(*)";
constexpr char MARK_CLEAR[] = "   ";
// Room for a name shown in a message, which is cut in the middle beyond it.
constexpr int32_t DISPLAY_NAME_CAPACITY = 200;
constexpr int32_t PROGRAM_NAME_CAPACITY = 80;
constexpr char END_OF_OPTIONS[] = "--";
constexpr uint8_t UTF8_MARK[] = {0xEF, 0xBB, 0xBF};

// Messages of the command line beyond the catalogue's common ones.
constexpr int32_t MSG_ARGUMENT_SUBSTITUTED = -3671;
constexpr int32_t MSG_LIST_NAME_SUBSTITUTED = -3672;
constexpr int32_t MSG_NUMBER_TOO_LARGE = -3673;

// The name the program was started by, for the usage screen.
char startedAs[PROGRAM_NAME_CAPACITY];

// The arguments as main received them; the UTF-8 form is fetched on demand.
int argumentCount = 0;
char** systemArguments = nullptr;

char upperAscii(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool sameTextNoCase(const char* a, const char* b) {
  for (; *a != 0 && *b != 0; ++a, ++b) {
    if (upperAscii(*a) != upperAscii(*b)) return false;
  }
  return *a == *b;
}

void printWithName(int32_t message, const char* name) {
  char shown[DISPLAY_NAME_CAPACITY];
  shortenForDisplay(shown, sizeof shown, name);
  setMessageArgument(1, shown);
  printMessageLine(messageText(message));
}

[[noreturn]] void failWith(int32_t message, const char* argument) {
  if (argument != nullptr) setMessageArgument(1, argument);
  printMessageLine(messageText(message));
  exitProgram(1);
}

// Whether the system replaced characters of argument `index` before main got
// it: its conversion to UTF-8 differs from the UTF-8 the system made from
// the command line as typed. Never where the arguments are bytes as typed
// (POSIX), which is where the UTF-8 vector is main's own.
bool argumentSubstituted(int index) {
  char** utf8 = platformUtf8Arguments(argumentCount, systemArguments);
  if (utf8 == nullptr || utf8 == systemArguments) return false;
  const char* ansi = systemArguments[index];
  size_t size = std::strlen(ansi);
  // A byte of the code page becomes at most three bytes of UTF-8.
  if (size > 0x10000000u) return false;
  int32_t capacity = static_cast<int32_t>(size) * 3 + 4;
  char* converted = static_cast<char*>(memAlloc(static_cast<uint32_t>(capacity)));
  if (converted == nullptr) failWith(MSG_OUT_OF_MEMORY, nullptr);
  int32_t length = 0;
  ansiToUtf8(ansi, static_cast<int32_t>(size), converted, capacity, &length);
  bool same = static_cast<size_t>(length) == std::strlen(utf8[index]) &&
              std::memcmp(converted, utf8[index], static_cast<size_t>(length)) == 0;
  memFree(converted);
  return !same;
}

[[noreturn]] void failSubstituted(const char* argument) {
  printWithName(MSG_ARGUMENT_SUBSTITUTED, argument);
  exitProgram(1);
}

// The decimal number at the start of the text, as a record length or base
// takes it; a number beyond the field's range is refused.
int32_t recordNumber(const char* text, const char* argument) {
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > 0x7FFFFFFF) {
      printWithName(MSG_NUMBER_TOO_LARGE, argument);
      exitProgram(1);
    }
  }
  return static_cast<int32_t>(value);
}

// Keeps the search text in a block of exactly its length; an empty text
// leaves no search text, so the next non-option argument is taken instead.
void takeSearchText(const char* text, size_t length) {
  if (length == 0) return;
  if (length > 0x7FFFFFFFu) failWith(MSG_OUT_OF_MEMORY, nullptr);
  uint8_t* block = static_cast<uint8_t*>(memAlloc(static_cast<uint32_t>(length)));
  if (block == nullptr) failWith(MSG_OUT_OF_MEMORY, nullptr);
  std::memcpy(block, text, length);
  searchOptions.searchText = block;
  searchOptions.searchLength = static_cast<int32_t>(length);
}

// -F and -FB: the whole content of the file is the search text. Without B a
// UTF-8 byte-order mark at the start (an editor's, not part of the text), one
// trailing 0x1A, then one line feed, then one carriage return are dropped.
void takePatternFile(const char* name, bool keepEnding) {
  FileHandle handle = fileOpen(name, OPEN_READ);
  if (handle < 0) failWith(MSG_F_OPEN, name);
  int64_t size = fileSeek(handle, 0, 2);
  if (size < 0 || fileSeek(handle, 0, 0) < 0) {
    fileClose(handle, -1);
    failWith(MSG_READ_FAILED, name);
  }
  if (size > 0x7FFFFFFF) {
    fileClose(handle, -1);
    failWith(MSG_OUT_OF_MEMORY, nullptr);
  }
  char* text = static_cast<char*>(memAlloc(static_cast<uint32_t>(size) + 1));
  if (text == nullptr) {
    fileClose(handle, -1);
    failWith(MSG_OUT_OF_MEMORY, nullptr);
  }
  int64_t length = 0;
  while (length < size) {
    int32_t chunk = size - length > 0x40000000 ? 0x40000000 : static_cast<int32_t>(size - length);
    int32_t got = fileRead(handle, text + length, chunk);
    if (got < 0) {
      fileClose(handle, -1);
      failWith(MSG_READ_FAILED, name);
    }
    if (got == 0) break;
    length += got;
  }
  fileClose(handle, -1);
  int64_t start = 0;
  if (!keepEnding) {
    if (length >= 3 && std::memcmp(text, UTF8_MARK, 3) == 0) start = 3;
    if (length > start && text[length - 1] == 0x1A) --length;
    if (length > start && text[length - 1] == '\n') --length;
    if (length > start && text[length - 1] == '\r') --length;
  }
  takeSearchText(text + start, static_cast<size_t>(length - start));
  memFree(text);
}

// A result of -2 (nothing matched) counts as success for a specification that
// holds wildcards.
int32_t searchAndJudge(const CountedString& specification, int32_t walkFlags) {
  int32_t status = searchSpecification(specification, walkFlags, searchOptions.ignoreCase,
                                       searchOptions.syntax, searchOptions.attributeFlags);
  if (status == MSG_NOT_FOUND && hasWildcard(specification)) status = 0;
  return status;
}

void removeLeadingBlanks(CountedString& line) { stripChar(line, 'L', ' ', 1); }

int32_t searchListLine(CountedString& line) {
  removeLeadingBlanks(line);
  int32_t walkFlags = WALK_FULL_NAMES;
  if (line.length >= 2 && (line.characters[0] == '-' || line.characters[0] == '+') &&
      upperAscii(line.characters[1]) == 'T') {
    deleteChars(line, 1, 2);
    removeLeadingBlanks(line);
    walkFlags |= WALK_RECURSE;
  }
  int32_t status = searchAndJudge(line, walkFlags);
  line.length = 0;
  return status;
}

// The forms a list file can take, told apart by the byte-order mark at its
// start: bytes as they are (no mark, or UTF-8's, which is dropped), or UTF-16
// in either byte order, as Notepad's "Unicode" saves it.
enum class ListForm { UNDECIDED, BYTES, UTF16_LE, UTF16_BE };

struct ByteOrderMark {
  uint8_t bytes[3];
  int32_t length;
  ListForm form;
};

constexpr ByteOrderMark LIST_MARKS[] = {
    {{0xEF, 0xBB, 0xBF}, 3, ListForm::BYTES},
    {{0xFF, 0xFE, 0}, 2, ListForm::UTF16_LE},
    {{0xFE, 0xFF, 0}, 2, ListForm::UTF16_BE},
};

// Reads a list file byte by byte and searches every complete line; bytes
// after the last line feed are dropped. A line of UTF-16 is converted to the
// form names take (UTF-8 in the UTF-8 mode, else the ANSI code page); a name
// the code page cannot hold is skipped with a message rather than searched
// under a substitute.
class ListFileReader {
 public:
  ListFileReader(const char* name, int32_t status) : name_(name), status_(status) {}

  void take(uint8_t byte) {
    switch (form_) {
      case ListForm::UNDECIDED: decide(byte); break;
      case ListForm::BYTES: takeByte(byte); break;
      default:
        if (pending_ < 0) {
          pending_ = byte;
        } else {
          takeUnit(form_ == ListForm::UTF16_LE ? static_cast<WCHAR>(pending_ | byte << 8)
                                               : static_cast<WCHAR>(pending_ << 8 | byte));
          pending_ = -1;
        }
        break;
    }
  }

  int32_t status() const { return status_; }

 private:
  // Collects the first bytes while they may still be a mark; bytes that turn
  // out not to be one are taken as text.
  void decide(uint8_t byte) {
    head_[headLength_++] = byte;
    bool possible = false;
    for (const ByteOrderMark& mark : LIST_MARKS) {
      if (headLength_ > mark.length || std::memcmp(head_, mark.bytes, headLength_) != 0) continue;
      if (headLength_ == mark.length) {
        form_ = mark.form;
        return;
      }
      possible = true;
    }
    if (possible) return;
    form_ = ListForm::BYTES;
    for (int32_t i = 0; i < headLength_; ++i) takeByte(head_[i]);
  }

  void takeByte(uint8_t byte) {
    if (byte == '\n') {
      status_ = searchListLine(line_);
    } else if (byte != '\r' && byte != 0x1A) {
      if (line_.length >= COUNTED_SPEC_CAPACITY) failWith(MSG_LIST_LINE_LONG, name_);
      line_.characters[line_.length++] = static_cast<char>(byte);
    }
  }

  void takeUnit(WCHAR unit) {
    if (unit == '\n') {
      endWideLine();
    } else if (unit != '\r' && unit != 0x1A) {
      // Every unit gives at least one byte, so a longer line cannot fit.
      if (wideLength_ >= COUNTED_SPEC_CAPACITY) failWith(MSG_LIST_LINE_LONG, name_);
      wide_[wideLength_++] = unit;
    }
  }

  void endWideLine() {
    int32_t units = wideLength_;
    wideLength_ = 0;
    line_.length = 0;
    if (units > 0) {
      const char* converted = nullptr;
      int32_t length = 0;
      char utf8[COUNTED_SPEC_CAPACITY + 1];
      if (utf8Mode != 0) {
        // One byte more than a line holds tells a line that is too long.
        utf16ToUtf8(wide_, wide_ + units, utf8, sizeof utf8, &length);
        if (length > 0) converted = utf8;
      } else {
        converted = utf16ToAnsi(wide_, units);
        if (converted != nullptr) length = static_cast<int32_t>(std::strlen(converted));
      }
      if (converted == nullptr) {
        printWithName(MSG_LIST_NAME_SUBSTITUTED, name_);
        status_ = 1;
        return;
      }
      if (length > COUNTED_SPEC_CAPACITY) failWith(MSG_LIST_LINE_LONG, name_);
      std::memcpy(line_.characters, converted, static_cast<size_t>(length));
      line_.length = length;
    }
    status_ = searchListLine(line_);
  }

  const char* name_;
  int32_t status_;
  ListForm form_ = ListForm::UNDECIDED;
  uint8_t head_[3] = {0, 0, 0};
  int32_t headLength_ = 0;
  int32_t pending_ = -1;  // the first byte of a UTF-16 unit, -1 for none
  CountedString line_;
  WCHAR wide_[COUNTED_SPEC_CAPACITY];
  int32_t wideLength_ = 0;
};

// Searches every line of the list file. Returns the status of the last line
// searched, or `status` when the file held none.
int32_t processListFile(const char* name, int32_t status) {
  CountedString listName;
  appendText(listName, name, COUNTED_SPEC_CAPACITY);
  FileHandle handle = listName.length > 0 ? openCounted(listName, OPEN_READ) : MSG_NOT_FOUND;
  if (handle < 0) {
    printWithName(MSG_LIST_OPEN, name);
    exitProgram(1);
  }
  ListFileReader reader(name, status);
  uint8_t chunk[LIST_READ_CHUNK];
  for (;;) {
    int32_t got = fileRead(handle, chunk, LIST_READ_CHUNK);
    if (got < 0) failWith(MSG_LIST_READ, name);
    if (got == 0) break;
    for (int32_t i = 0; i < got; ++i) reader.take(chunk[i]);
  }
  fileClose(handle, -1);
  return reader.status();
}

// Called by the console output at the first failed write of standard output,
// straight after the failed call, so the system's error still tells a reader
// that has gone (nothing more to say to anyone) from a real failure.
void endOnOutputFailure(int32_t status) {
  DWORD error = GetLastError();
  // Windows answers a write into a pipe whose reader has gone with
  // ERROR_NO_DATA, Wine with ERROR_PIPE_NOT_CONNECTED.
  if (error != ERROR_BROKEN_PIPE && error != ERROR_NO_DATA && error != ERROR_PIPE_NOT_CONNECTED) {
    setMessageArgument(1, messageText(status));
    printErrorLine(messageText(MSG_OUTPUT_FAILED));
  }
  exitProgram(EXIT_OUTPUT_FAILED);
}

void startUp(const char* firstArgument) {
  initDbcs();
  char directory[PATH_CAPACITY];
  directory[0] = 0;
  if (firstArgument != nullptr) programDirectory(directory, firstArgument);
  setCataloguePath(directory, CATALOGUE_FILE_NAME);
  programName(startedAs, sizeof startedAs, firstArgument);
  // A console gets its lines as they come (the driver flushes each one); into
  // a file or a pipe a larger buffer saves a system call per 512 bytes.
  int32_t openStatus = 0;
  const bool console = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
  stdoutStream = openStream(nullptr, "wb", &openStatus,
                            console ? STREAM_STDOUT_CAPACITY : STREAM_STDOUT_PIPE_CAPACITY);
  if (stdoutStream == nullptr) std::exit(1);
  setOutputFailureHandler(endOnOutputFailure);
  searchOptions.ignoreCase = storedDefaults.ignoreCase;
  searchOptions.syntax = storedDefaults.syntax;
  searchOptions.omitLocation = storedDefaults.omitLocation;
  searchOptions.walkFlags = WALK_FULL_NAMES;
  searchOptions.searchLength = 0;
  searchOptions.attributeFlags = 0;
  searchOptions.multiByte = static_cast<int32_t>(systemDbcs);
  // Under the UTF-8 code page the text of files is searched as UTF-8, as the
  // terminal and the system's tools write it.
  searchOptions.textEncoding = GetACP() == CP_UTF8 ? ENCODING_UTF8
                               : systemDbcs != 0   ? ENCODING_DOUBLE_BYTE
                                                   : ENCODING_SINGLE_BYTE;
}

// An unknown option is reported and the option phase goes on.
void reportUnknownOption(const char* argument) {
  setMessageArgument(1, argument);
  printMessageLine(messageText(MSG_BAD_OPTION));
}

// Options that are words after "-U": the encoding switches and the syntax
// letter; anything else is accepted and ignored.
void takeUOption(const char* word) {
  if (sameTextNoCase(word, "utf8")) {
    utf8Mode = 1;
  } else if (sameTextNoCase(word, "UnicodeCallsAvailable")) {
    unicodeCallsAvailable = 1;
  } else if (sameTextNoCase(word, "u")) {
    searchOptions.syntax = 'U';
  }
}

// What an argument of the file phase is: a specification, or a prefix that
// takes the next argument as a list file (-L) or a tree-walk spec (-T, +T).
enum class FileArgument { SPECIFICATION, LIST_FILE, TREE_PREFIX };

FileArgument classifyFileArgument(const char* argument, bool plainNames) {
  if (plainNames) return FileArgument::SPECIFICATION;
  char first = argument[0];
  char second = first != 0 ? upperAscii(argument[1]) : 0;
  if (first == '-' && second == 'L') return FileArgument::LIST_FILE;
  if ((first == '-' || first == '+') && second == 'T') return FileArgument::TREE_PREFIX;
  return FileArgument::SPECIFICATION;
}

// A prefix with nothing after it would be dropped without a word, so the
// file phase is checked before anything is searched.
void checkFilePhase(char** argv, int index, int argc, bool plainNames) {
  while (index < argc) {
    FileArgument kind = classifyFileArgument(argv[index], plainNames);
    if (kind == FileArgument::SPECIFICATION) {
      ++index;
      continue;
    }
    if (index + 1 >= argc) {
      failWith(kind == FileArgument::LIST_FILE ? MSG_L_WITHOUT_NAME : MSG_T_WITHOUT_SPEC,
               argv[index]);
    }
    index += 2;
  }
}

// The vector the arguments are read from once the UTF-8 mode is on; main's
// own where the system has no other form of them.
char** utf8Arguments(int argc, char** argv) {
  char** utf8 = platformUtf8Arguments(argc, argv);
  return utf8 != nullptr ? utf8 : argv;
}

// Called by exitProgram before the process ends, when set.
ExitHandler exitHandler = nullptr;

}  // namespace

void setExitHandler(ExitHandler handler) { exitHandler = handler; }

[[noreturn]] void exitProgram(int32_t status) {
  std::fflush(stdout);
  flushOutput();
  if (exitHandler != nullptr) exitHandler(status);
  std::exit(status);
}

[[noreturn]] void showUsage() {
  setMessageArgument(0, platformExecutableSuffix());
  setMessageArgument(1, searchOptions.ignoreCase == 1 ? MARK_SET : MARK_CLEAR);
  setMessageArgument(2, searchOptions.syntax == 0 ? MARK_SET : MARK_CLEAR);
  setMessageArgument(3, startedAs[0] != 0 ? startedAs : "grep");
  setMessageArgument(4, searchOptions.syntax == 'R' ? MARK_SET : MARK_CLEAR);
  setMessageArgument(5, searchOptions.syntax == 'U' ? MARK_SET : MARK_CLEAR);
  setMessageArgument(6, searchOptions.syntax == 'B' ? MARK_SET : MARK_CLEAR);
  setMessageArgument(7, searchOptions.ignoreCase == 0 ? MARK_SET : MARK_CLEAR);
  const char* text = messageText(MSG_USAGE);
  size_t length = std::strlen(text);
  writeTextWithCr(text, static_cast<int64_t>(length));
  // The usage text ends its own last line; a load error of the catalogue,
  // shown in its place, does not.
  if (length == 0 || text[length - 1] != '\n') writeTextWithCr("\n", 1);
  exitProgram(0);
}

int grepMain(int argc, char** argv) {
  startUp(argc > 0 ? argv[0] : nullptr);
  argumentCount = argc;
  systemArguments = argv;

  char** arguments = argv;
  bool plainNames = false;  // after "--": no argument is an option or a prefix
  int textArgument = 0;  // the argument the search text came from, 0 for none or a file
  int index = 1;
  int defaultsAt = 0;
  while (index < argc) {
    const char* argument = arguments[index];
    // A "?" the system put for a character it could not pass on is no request
    // for the usage screen.
    if (argument[0] == '?' && searchOptions.searchLength == 0 &&
        (arguments != argv || !argumentSubstituted(index))) {
      showUsage();
    }
    if (std::strcmp(argument, END_OF_OPTIONS) == 0) {
      plainNames = true;
      ++index;
      if (searchOptions.searchLength == 0 && index < argc) {
        takeSearchText(arguments[index], std::strlen(arguments[index]));
        textArgument = index;
        ++index;
      }
      break;
    }
    if (argument[0] != '-') {
      if (searchOptions.searchLength != 0) break;
      takeSearchText(argument, std::strlen(argument));
      textArgument = index;
      ++index;
      continue;
    }
    char letter = upperAscii(argument[1]);
    if (letter >= '0' && letter <= '9') {
      searchOptions.recordLength = recordNumber(argument + 1, argument);
      if (index + 1 < argc && arguments[index + 1][0] >= '0' && arguments[index + 1][0] <= '9') {
        ++index;
        searchOptions.recordBase = recordNumber(arguments[index], arguments[index]);
      }
      ++index;
      continue;
    }
    bool endOptions = false;
    switch (letter) {
      case 'B': searchOptions.syntax = 'B'; break;
      case 'C': searchOptions.countOnly = 1; break;
      case 'D':
        if (index + 2 >= argc) failWith(MSG_D_ARGUMENTS, nullptr);
        defaultsAt = index + 1;
        index += 2;
        break;
      case 'E':
        if (index + 1 >= argc) failWith(MSG_E_ARGUMENT, nullptr);
        if (searchOptions.searchLength != 0) failWith(MSG_TEXT_ALREADY_GIVEN, nullptr);
        ++index;
        takeSearchText(arguments[index], std::strlen(arguments[index]));
        textArgument = index;
        break;
      case 'F':
        if (index + 1 >= argc) failWith(MSG_F_ARGUMENT, nullptr);
        if (searchOptions.searchLength != 0) failWith(MSG_TEXT_ALREADY_GIVEN, nullptr);
        ++index;
        if (arguments == argv && argumentSubstituted(index)) failSubstituted(arguments[index]);
        takePatternFile(arguments[index], upperAscii(argument[2]) == 'B');
        break;
      case 'H': showUsage();
      case 'I': searchOptions.ignoreCase = 1; break;
      case 'L':
        if (searchOptions.searchLength == 0) failWith(MSG_L_BEFORE_TEXT, nullptr);
        endOptions = true;
        break;
      case 'M': searchOptions.omitLocation = 1; break;
      case 'N': searchOptions.syntax = 0; break;
      case 'O': searchOptions.attributeFlags |= ATTRIBUTES_O_OPTION; break;
      case 'P':
        if (upperAscii(argument[2]) == 'O') {
          storedDefaults.reportOffsets = 1;
        } else {
          reportUnknownOption(argument);
        }
        break;
      case 'R': searchOptions.syntax = 'R'; break;
      case 'T': searchOptions.walkFlags |= WALK_RECURSE; break;
      case 'U':
        takeUOption(argument + 1);
        if (utf8Mode != 0) arguments = utf8Arguments(argc, argv);
        break;
      case 'V': searchOptions.verbose = 1; break;
      case 'W':
        searchOptions.wholeWord = 1;
        if (argument[2] == '=') {
          searchOptions.wordCharacters.length = 0;
          appendText(searchOptions.wordCharacters, argument + 3, COUNTED_WORDSET_CAPACITY);
          searchOptions.wordSetGiven = 1;
        }
        break;
      case 'X': searchOptions.ignoreCase = 0; break;
      case 'Y':
        searchOptions.multiByte = 0;
        searchOptions.textEncoding = ENCODING_SINGLE_BYTE;
        break;
      default: reportUnknownOption(argument); break;
    }
    if (endOptions) break;
    ++index;
  }

  if (textArgument != 0 && arguments != argv) {
    memFree(searchOptions.searchText);
    searchOptions.searchText = nullptr;
    searchOptions.searchLength = 0;
    takeSearchText(arguments[textArgument], std::strlen(arguments[textArgument]));
  }
  if (arguments == argv) {
    if (textArgument != 0 && argumentSubstituted(textArgument)) {
      failSubstituted(arguments[textArgument]);
    }
    for (int i = defaultsAt; i != 0 && i < defaultsAt + 2; ++i) {
      if (argumentSubstituted(i)) failSubstituted(arguments[i]);
    }
  }
  if (defaultsAt != 0) storeDefaults(arguments[defaultsAt], arguments[defaultsAt + 1]);
  if (searchOptions.searchLength == 0) showUsage();

  if (index >= argc) {
    CountedString none;
    exitProgram(searchSpecification(none, searchOptions.walkFlags, searchOptions.ignoreCase,
                                    searchOptions.syntax, searchOptions.attributeFlags));
  }

  checkFilePhase(arguments, index, argc, plainNames);
  int32_t status = 0;
  for (; index < argc; ++index) {
    FileArgument kind = classifyFileArgument(arguments[index], plainNames);
    if (kind != FileArgument::SPECIFICATION) ++index;
    const char* argument = arguments[index];
    // A substituted name is skipped: searched, it would be another file's.
    if (arguments == argv && argumentSubstituted(index)) {
      printWithName(MSG_ARGUMENT_SUBSTITUTED, argument);
      status = 1;
      continue;
    }
    if (kind == FileArgument::LIST_FILE) {
      status = processListFile(argument, status);
      continue;
    }
    if (kind == FileArgument::TREE_PREFIX) searchOptions.walkFlags = WALK_RECURSE;
    // An empty specification would read standard input: a name too long to
    // be kept is reported as a file that cannot be opened.
    if (std::strlen(argument) > static_cast<size_t>(COUNTED_SPEC_CAPACITY)) {
      printWithName(MSG_FILE_OPEN, argument);
      status = 0;
      continue;
    }
    CountedString specification;
    appendText(specification, argument, COUNTED_SPEC_CAPACITY);
    status = searchAndJudge(specification, searchOptions.walkFlags | WALK_FULL_NAMES);
  }
  exitProgram(status);
}
