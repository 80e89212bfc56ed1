// The search driver: one file specification from set-up to the last report.
//
// For each specification the search text is set up once (literal tables or a
// compiled regular expression, and the word-character set for -W), then the
// specification is searched as a single file, through the tree walker, or as
// standard input. For each file the text window is set up on a stream and the
// search function is called until it finds nothing more; every accepted match
// prints one report line (or, with -C, counts towards one summary line) and
// the window moves past it; a counted match after the first needs no more
// than that move. The match loop finds each match's line (or record) from
// the window's line bookkeeping and hands its position to the report printer
// (report_printer.cpp), which formats the line. What cannot be
// read back as it was (a pipe, a file that reports no size but has bytes) is
// searched in a temporary copy. Tested by search_driver_test.cpp and the
// end-to-end suite.
#include "driver/search_driver.h"

#include <cstring>

#include "console/message_catalogue.h"
#include "console/stream.h"
#include "driver/report_printer.h"
#include "driver/search_options.h"
#include "driver/text_window.h"
#include "files/file_handles.h"
#include "files/paths.h"
#include "pattern/compiled_pattern.h"
#include "pattern/literal_search.h"
#include "pattern/text_source.h"
#include "pattern/unicode_set.h"
#include "platform/platform.h"
#include "platform/win32.h"
#include "selection/tree_walker.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

CompiledPattern wordSetPattern;
uint8_t wordCharacterTable[256];

namespace {

// The word characters of UTF-8 text when -W names none: the letters and
// digits of every script, '_' and '$'.
constexpr char UTF8_WORD_CHARACTERS[] = "[\\p{L}\\p{N}_$]";

// Nonzero once a file named by the current file-spec could not be searched to
// its end (the matcher ran out of memory); that file-spec then fails.
int32_t specificationStatus;
// The syntax the search text was compiled with: 0 literal, else 'R', 'U' or
// 'B'. It says where a match's length is kept.
int32_t patternSyntax;

// Compiles the word-character set while keeping the compiler's state of the
// search pattern. The word set keeps its own buffers, so later compiles of the
// search pattern never write into it.
int32_t compileWordSet() {
  CompiledPattern saved = takeCompiledPattern();
  const bool utf8 = searchOptions.textEncoding == ENCODING_UTF8;
  const uint8_t* set = reinterpret_cast<const uint8_t*>(searchOptions.wordCharacters.characters);
  int32_t length = searchOptions.wordCharacters.length;
  if (utf8 && searchOptions.wordSetGiven == 0) {
    set = reinterpret_cast<const uint8_t*>(UTF8_WORD_CHARACTERS);
    length = static_cast<int32_t>(sizeof UTF8_WORD_CHARACTERS - 1);
  }
  int32_t status = CompileRegex(set, length, 0, 0, 0, utf8 ? ENCODING_UTF8 : 0);
  releaseCompiledPattern(&wordSetPattern);
  wordSetPattern = takeCompiledPattern();
  compiledPattern = saved;
  if (status != 0) {
    printMessageLine(messageText(MSG_BAD_WORD_SET));
    return status;
  }
  if (!wordSetPattern.firstCharValid ||
      (utf8 ? wordSetPattern.firstCharSet == nullptr : wordSetPattern.firstCharTable == nullptr)) {
    printMessageLine(messageText(MSG_BAD_WORD_SET));
    return 1;
  }
  if (utf8) {
    // The ASCII part as a table, so that most characters are judged by one look-up.
    for (int32_t c = 0; c < 256; ++c) {
      wordCharacterTable[c] = c < 0x80 && unicodeSetContains(wordSetPattern.firstCharSet, c);
    }
  } else {
    std::memcpy(wordCharacterTable, wordSetPattern.firstCharTable, sizeof wordCharacterTable);
  }
  return 0;
}

// A stream over a spool file. The stream layer opens files by name in its own
// modes, none of which is removed by the system, so the stream is made
// without a file and given the spool's handle.
Stream* openSpool(const char* name) {
  const FileHandle handle = fileOpen(name, OPEN_TEMPORARY);
  if (handle < 0) return nullptr;
  int32_t status = 0;
  Stream* spool = openStream(nullptr, "a+", &status, STREAM_FILE_CAPACITY);
  if (spool == nullptr) {
    fileClose(handle, -1);
    return nullptr;
  }
  spool->handle = handle;
  return spool;
}

// Copies the rest of a file that cannot be read back (a pipe), or that may
// read differently a second time, to a temporary file, and searches that
// copy: the search reads lines back from where they start, and that needs a
// file that stays as it was. The copy is removed when it is closed, and by
// the system on any other way out of the process.
void searchSpooled(FileHandle source, const CountedString& displayName, const char* shownName) {
  char directory[MAX_PATH + 1];
  char spoolName[MAX_PATH + 16];
  DWORD length = GetTempPathA(sizeof directory, directory);
  if (length == 0 || length > MAX_PATH || GetTempFileNameA(directory, "grp", 0, spoolName) == 0) {
    setMessageArgument(1, shownName);
    printMessageLine(messageText(MSG_FILE_OPEN));
    return;
  }
  Stream* spool = openSpool(spoolName);
  if (spool == nullptr) {
    deleteFile(spoolName);
    setMessageArgument(1, spoolName);
    printMessageLine(messageText(MSG_FILE_OPEN));
    return;
  }
  bool copied = true;
  for (;;) {
    int32_t got = fileRead(source, textWindow.window, WINDOW_SIZE);
    if (got < 0) {
      printMessageLine(messageText(MSG_READ_FAILED));
      copied = false;
      break;
    }
    if (got == 0) break;
    if (writeItems(textWindow.window, 1, got, spool) != got) {
      setMessageArgument(1, spoolName);
      printMessageLine(messageText(MSG_WRITE_FAILED));
      copied = false;
      break;
    }
  }
  if (copied && flushStream(spool, 0) == 0 && seekStream(spool, 0, 0) == 0) {
    searchStream(spool, displayName);
  }
  closeStream(spool);
}

// Whether an open file reports a size of 0 and yet holds bytes, as the files
// that the system makes up as they are read do (/proc/cpuinfo). Such a file
// has to be read to its end instead of being taken for empty. Leaves the
// file at its start.
bool holdsUnreportedBytes(FileHandle file) {
  if (fileSeek(file, 0, 2) != 0) return false;  // a size, or no end to seek to (a pipe)
  uint8_t first;
  const bool some = fileSeek(file, 0, 0) == 0 && fileRead(file, &first, 1) == 1;
  fileSeek(file, 0, 0);
  return some;
}

// Searches an open file (standard input included): in place when it can be
// read back as it is, else through a spool file. A named pipe (a FIFO, or
// /dev/fd/N of a shell's process substitution) cannot seek: a search that
// reads back over it would read the pipe's later bytes in their place.
void searchOpenFile(Stream* stream, const CountedString& displayName, const char* shownName) {
  if (!fileCanSeek(stream->handle) || holdsUnreportedBytes(stream->handle)) {
    searchSpooled(stream->handle, displayName, shownName);
  } else {
    searchStream(stream, displayName);
  }
}

void searchStandardInput() {
  CountedString noName;
  if (!fileCanSeek(0)) {
    searchSpooled(0, noName, "standard input");
    return;
  }
  int32_t status = 0;
  Stream* input = openStream(nullptr, "rb", &status, STREAM_FILE_CAPACITY);
  if (input != nullptr) searchOpenFile(input, noName, "standard input");
}

// Whether a character of the text (a code point in UTF-8 text, else a byte)
// is a word character.
bool isWordCharacter(int32_t c) {
  if (c < 0) return false;
  if (textSource.charMode != ENCODING_UTF8 || c < 0x80) return c < 256 && wordCharacterTable[c] != 0;
  return unicodeSetContains(wordSetPattern.firstCharSet, c);
}

// The length of the character at the cursor: two bytes for a lead byte and
// its second byte in double-byte text, a whole sequence in UTF-8 text, else
// one.
int32_t characterLengthAtCursor() {
  if (textSource.charMode == ENCODING_UTF8) {
    int32_t length = 1;
    characterAtCursor(0, &length);
    return length;
  }
  if (!searchOptions.multiByte) return 1;
  const int32_t lead = textSource.CharAt(0);
  if (lead < 0 || lead == '\n' || leadByteTable[lead] == 0) return 1;
  const int32_t second = textSource.CharAt(1);
  return second < 0 || second == '\n' ? 1 : 2;
}

// Whether every match that starts at the cursor is rejected because a word
// character stands right before it.
bool startFollowsWordCharacter() {
  if (textSource.AtLineStart(0) || textSource.AtLineEnd(0, 0) != 0) return false;
  if (textSource.charMode == ENCODING_UTF8) return isWordCharacter(characterBeforeCursor());
  return wordCharBeforeCursor(wordCharacterTable);
}

// Moves the cursor on from the start of a rejected match. A whole word may
// begin inside that match ("ab ab" in "xab ab ab"), so the search goes on one
// character after its start, not after its end; the starts that follow a
// word character are passed at once, which keeps a search over a long word
// linear. -1 at the end of the data.
int32_t passRejectedStart() {
  if (textSource.AdvanceTo(textWindow.cursor + characterLengthAtCursor()) != 0) return -1;
  while (startFollowsWordCharacter()) {
    const int32_t step = textSource.charMode == ENCODING_UTF8 ? characterLengthAtCursor() : 1;
    if (textSource.AdvanceTo(textWindow.cursor + step) != 0) return -1;
  }
  return 0;
}

}  // namespace

// The whole-word test: a match touching a word character on either side is
// rejected. Line ends and the file's ends count as non-word.
bool rejectedAsPartOfWord(int32_t matchLength) {
  if (startFollowsWordCharacter()) return true;
  if (textSource.AtLineEnd(matchLength, 0) != 0) return false;
  if (textSource.charMode == ENCODING_UTF8) {
    int32_t length = 1;
    return isWordCharacter(characterAtCursor(matchLength, &length));
  }
  return wordCharAt(matchLength, wordCharacterTable);
}

int32_t searchSpecification(const CountedString& specification, int32_t walkFlags,
                            int32_t ignoreCase, int32_t syntax, int32_t attributeFlags) {
  searchOptions.searchFunction = syntax != 0 ? SearchRegex : SearchLiteral;
  return prepareAndWalk(specification, walkFlags, ignoreCase, syntax, attributeFlags);
}

void upperCaseSearchText(char* text, int32_t length, int32_t syntax, int32_t utf8) {
  if (syntax == 0 || length < 2) {
    upperCaseText(text, length, utf8);
    return;
  }
  char* original = static_cast<char*>(memAlloc(static_cast<uint32_t>(length)));
  if (original == nullptr) {
    upperCaseText(text, length, 0);
    return;
  }
  std::memcpy(original, text, static_cast<size_t>(length));
  upperCaseText(text, length, utf8);
  for (int32_t i = 1; i < length; ++i) {
    // Only an ASCII byte: a character of several bytes stays whole, upper-cased.
    if (original[i - 1] == '\\' && static_cast<uint8_t>(original[i]) < 0x80) text[i] = original[i];
  }
  memFree(original);
}

// The length of the file-spec's directory part, up to its last
// separator. Under a double-byte code page the second byte of a character may
// be a backslash; it belongs to the name and does not split it.
static int32_t directoryLengthOf(const CountedString& specification) {
  char text[COUNTED_SPEC_CAPACITY + 1];
  return nameOffset(toText(text, specification, sizeof text));
}

// Whether a tree search's file-spec names an existing directory (src, src/,
// .\ or a drive): then it searches every file of that directory's tree, as
// src/* does. A name with wildcards, or of anything but a directory, is a
// name pattern looked for in every directory.
static bool namesDirectoryTree(const CountedString& specification) {
  if (specification.length == 0 || specification.length >= COUNTED_SPEC_CAPACITY ||
      hasWildcard(specification)) {
    return false;
  }
  char text[COUNTED_SPEC_CAPACITY + 1];
  return isDirectory(toText(text, specification, sizeof text), 0) == 1;
}

int32_t prepareAndWalk(const CountedString& specification, int32_t walkFlags, int32_t ignoreCase,
                       int32_t syntax, int32_t attributeFlags) {
  attributeFlags |= 7;
  chooseReportFlushing();

  CountedString directory;
  copyCounted(directory, specification, COUNTED_SPEC_CAPACITY);
  directory.length = directoryLengthOf(specification);
  CountedString namePattern;
  copyCounted(namePattern, specification, COUNTED_SPEC_CAPACITY);
  bool walk = (walkFlags & WALK_RECURSE) != 0 || hasWildcard(specification);
  if (walk) deleteChars(namePattern, 1, directory.length);
  const bool wholeTree = (walkFlags & WALK_RECURSE) != 0 && namesDirectoryTree(specification);
  if (wholeTree) {
    copyCounted(directory, specification, COUNTED_SPEC_CAPACITY);
    if (directory.length > directoryLengthOf(specification)) {
      directory.characters[directory.length++] = platformSeparator();
    }
    namePattern.length = 0;
    namePattern.characters[namePattern.length++] = '*';
  }

  if (searchOptions.wholeWord) {
    int32_t status = compileWordSet();
    if (status != 0) return status;
  }
  if (ignoreCase) {
    upperCaseSearchText(reinterpret_cast<char*>(searchOptions.searchText),
                        searchOptions.searchLength, syntax,
                        searchOptions.textEncoding == ENCODING_UTF8 ? 1 : 0);
  }
  const int32_t encoding = searchOptions.textEncoding;
  int32_t status =
      syntax != 0
          ? CompileRegex(searchOptions.searchText, searchOptions.searchLength, ignoreCase, syntax,
                         searchOptions.recordLength, encoding)
          : CompileLiteral(searchOptions.searchText, searchOptions.searchLength, ignoreCase,
                           encoding);
  if (status != 0) {
    printMessageLine(messageText(status == MSG_OUT_OF_MEMORY ? MSG_OUT_OF_MEMORY : MSG_BAD_PATTERN));
    return status;
  }
  patternSyntax = syntax;

  specificationStatus = 0;
  if (namePattern.length == 0) {
    searchStandardInput();
    return specificationStatus;
  }
  if (!walk) {
    searchOneFile(namePattern, namePattern);
    return specificationStatus;
  }
  // The walk goes on past a file that failed; the file-spec still fails.
  status = walkFiles(directory, &namePattern, walkFlags, searchOneFile,
                     static_cast<uint32_t>(attributeFlags), nullptr, nullptr, nullptr, 0);
  // An empty directory, like a wildcard that selects nothing, is no error.
  if (wholeTree && status == MSG_NOT_FOUND) status = 0;
  return specificationStatus != 0 ? specificationStatus : status;
}

int32_t searchOneFile(const CountedString& path, const CountedString& displayName) {
  char name[COUNTED_SPEC_CAPACITY + 1];
  toText(name, path, sizeof name);
  int32_t status = 0;
  Stream* stream = openStream(name, "rb", &status, STREAM_FILE_CAPACITY);
  char shown[COUNTED_SPEC_CAPACITY + 1];
  toText(shown, displayName, sizeof shown);
  if (stream == nullptr) {
    setMessageArgument(1, shown);
    printMessageLine(messageText(MSG_FILE_OPEN));
    return 0;
  }
  searchOpenFile(stream, displayName, shown);
  closeStream(stream);
  return 0;
}

int32_t searchStream(Stream* stream, const CountedString& displayName) {
  CountedString name;
  copyCounted(name, displayName, COUNTED_SPEC_CAPACITY);
  if (findChar(' ', name, 1) != 0) quoteText(name, COUNTED_SPEC_CAPACITY);

  const bool recordMode = searchOptions.recordLength > 0;
  openTextWindow(stream, searchOptions.recordLength, recordMode ? searchOptions.recordBase : 0,
                 searchOptions.textEncoding);
  int64_t matchCount = 0;
  MatchPosition first{};
  int32_t result = 0;
  // An empty file holds no line, so not even a pattern that matches the
  // empty text (^, x*) finds anything in it.
  if (textWindow.fileSize == 0) return result;
  for (;;) {
    compiledPattern.cursorMark = 0;
    const int32_t found =
        searchOptions.searchFunction(searchOptions.searchText, searchOptions.searchLength);
    if (found != 0) {
      // Anything but "not found" means the rest of the file went unsearched,
      // which must not pass for the absence of further matches.
      if (found == REGEX_OUT_OF_MEMORY) {
        printMessageLine(messageText(MSG_OUT_OF_MEMORY));
        result = specificationStatus = REGEX_OUT_OF_MEMORY;
      }
      break;
    }
    const int64_t matchLength =
        patternSyntax != 0 ? compiledPattern.matchLength : literalMatchLength();
    // A count shows the position of the first match only: the later ones
    // need no offset and no line bounds, only the move past them.
    const bool positionShown = !searchOptions.countOnly || matchCount == 0;
    int64_t matchStart = 0;
    if (positionShown) {
      matchStart = cursorOffset();
      // A carriage return that begins the line does not count in the column,
      // unless the match begins on it: column 1 is the lowest there is.
      if (!recordMode && textWindow.lineStartOffset < matchStart) fixLineStart();
    }
    int64_t advance = matchLength;
    int64_t reported = matchStart;
    if (compiledPattern.cursorMark != 0) {
      advance = compiledPattern.cursorMark - 1;
      reported = matchStart + compiledPattern.cursorMark - 1;
    }
    // After an empty match the search goes on one character further, never
    // inside a character.
    if (advance == 0) advance = textSource.charMode == ENCODING_UTF8 ? characterLengthAtCursor() : 1;

    if (searchOptions.wholeWord && rejectedAsPartOfWord(static_cast<int32_t>(matchLength))) {
      if (passRejectedStart() != 0) break;
      continue;
    }
    ++matchCount;
    if (positionShown) {
      MatchPosition match;
      if (recordMode) {
        const int64_t record = (matchStart - searchOptions.recordBase) / searchOptions.recordLength;
        match.lineStart = record * searchOptions.recordLength + searchOptions.recordBase;
        match.line = record + 1;
      } else {
        match.line = textWindow.lineNumber;
        match.lineStart = textWindow.lineStartOffset;
      }
      match.reported = reported;
      match.matchLength = matchLength;
      match.matchEnd = matchStart + matchLength;
      if (!searchOptions.countOnly) {
        printReportLine(name, matchCount == 1, match);
      } else {
        first = match;
        // Later matches are only counted: the window need not number lines,
        // nor, for a literal search, find their bounds.
        setLineTracking(patternSyntax == 0 ? LINES_UNTRACKED : LINES_BOUNDED);
      }
    }
    if (textSource.AdvanceTo(textWindow.cursor + advance) != 0) break;
  }
  if (searchOptions.countOnly && matchCount > 0) printSummaryLine(name, first, matchCount);
  return result;
}
