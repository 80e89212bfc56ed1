// The file tree walker.
//
// walkTree lists the start directory with "*.*" and, with the recurse flag,
// every directory below it, depth first: a subdirectory is walked the moment
// the listing meets it, so its entries are reported before the entries that
// follow it in its parent, and before the subdirectory itself when
// directories are reported at all. Entries come in the order the file system
// gives them. Names are matched here, against plain names (compared without
// regard to case) or compiled wildcards, and every entry that passes goes to
// the visitor with the path of its directory. walkFiles is the search
// driver's form: it builds the name of each file and calls the driver's
// callback. Directories are always requested from the listing so that the
// walk can descend; the attribute mask decides whether hidden and system
// entries are listed and whether directories are reported. Device entries (on
// POSIX a FIFO, a socket or a device node) are never visited.
//
// The path of the directory being listed is one buffer of 511 characters
// that grows by a name and the system's separator on the way down and is cut
// back on the way up. An entry whose path would not fit is skipped with a
// message naming its directory; a cut path would name another file.
//
// A directory that is reached again through a link back up the tree (a
// symbolic link, a junction, a bind mount) has the file identity of one of
// the directories being listed, and is not entered again; so the walk ends on
// any tree, and reaches each file once along every path that is not a loop.
//
// The listings of the first levels stay open while a subdirectory is walked.
// Deeper down a level closes its listing before it descends and afterwards
// lists its directory again, up to the entry it left at, so that the open
// listings, and with them the memory of a walk, stay bounded however deep
// the tree is.
//
// Tested by tree_walker_test.cpp and the end-to-end suite.
#include "selection/tree_walker.h"

#include <cstring>

#include "console/message_catalogue.h"
#include "console/stream.h"
#include "platform/file_identity.h"
#include "platform/platform.h"
#include "selection/wildcards.h"
#include "support/memory_pool.h"
#include "support/text_encoding.h"

namespace {

constexpr int32_t PATH_MAX_LENGTH = PATH_CAPACITY - 1;
constexpr char LIST_EVERY_ENTRY[] = "*.*";
constexpr int32_t LIST_SUFFIX_LENGTH = 3;
// Levels below this many keep their listing open while a subdirectory is
// walked (a listing holds a directory stream and its buffer, tens of KiB).
constexpr int32_t OPEN_LISTING_LEVELS = 16;
// Every level adds a name and a separator to a path of at most 511
// characters, so no walk is deeper than this.
constexpr int32_t MAX_LEVELS = PATH_CAPACITY / 2 + 1;

struct Walk {
  char path[PATH_CAPACITY];  // the directory being listed, ending in a separator or empty
  int32_t length;
  char searchPath[PATH_CAPACITY];
  DirEntry scratch;  // for finding a listing's place again
  const NamePattern* patterns;
  int32_t patternCount;
  EntryVisitor visitor;
  uint32_t mask;
  DirectoryHook enterHook;
  DirectoryHook leaveHook;
  int32_t flags;
  int32_t userValue;
  FileIdentity levels[MAX_LEVELS];  // the directories being listed, start first
  bool levelKnown[MAX_LEVELS];
  int32_t depth;
  int32_t noEntryYet;
};

Walk walk;

// The driver's side of walkFiles.
int32_t filesWalkFlags;
WalkCallback filesCallback;

bool isDotName(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

void reportTooLong(int32_t message, const char* text) {
  setMessageArgument(1, text[0] != 0 ? text : ".");
  printMessageLine(messageText(message));
}

// The identity of the directory whose path (empty, or ending in a
// separator) is given; false when the system cannot tell.
bool directoryIdentity(const char* directory, int32_t length, FileIdentity* identity) {
  char name[PATH_CAPACITY];
  if (length + 1 > PATH_MAX_LENGTH) return false;
  std::memcpy(name, directory, static_cast<size_t>(length));
  name[length] = '.';
  name[length + 1] = 0;
  SystemName systemName;
  if (!toSystemName(name, &systemName)) return false;
  return (systemName.wide != nullptr ? platformFileIdentityWide(systemName.wide, identity)
                                     : platformFileIdentity(systemName.ansi, identity)) != 0;
}

bool isBeingListed(const FileIdentity& identity) {
  for (int32_t level = 0; level < walk.depth; ++level) {
    if (walk.levelKnown[level] && walk.levels[level].volume == identity.volume &&
        walk.levels[level].index == identity.index) {
      return true;
    }
  }
  return false;
}

void enterLevel() {
  walk.levelKnown[walk.depth] =
      directoryIdentity(walk.path, walk.length, &walk.levels[walk.depth]);
  ++walk.depth;
}

// Starts the listing of the directory in walk.path; the caller has made sure
// that "*.*" fits after it.
int32_t listDirectory(int32_t* handle, DirEntry* entry) {
  std::memcpy(walk.searchPath, walk.path, static_cast<size_t>(walk.length));
  std::memcpy(walk.searchPath + walk.length, LIST_EVERY_ENTRY, LIST_SUFFIX_LENGTH + 1);
  *handle = -1;
  return findFirstEntry(walk.searchPath, handle,
                        walk.mask | FILE_ATTRIBUTE_DIRECTORY | ENTRY_KINDS_ONLY, entry);
}

// Lists the directory again and moves on to the entry called name; the
// listing ends when that entry is gone.
int32_t findPlaceAgain(const char* name, int32_t* handle) {
  int32_t result = listDirectory(handle, &walk.scratch);
  while (result == 0 && std::strcmp(walk.scratch.name, name) != 0) {
    result = findNextEntry(*handle, &walk.scratch);
  }
  return result == 0 ? 0 : MSG_NO_MORE_ENTRIES;
}

int32_t walkDirectory();

// Walks the subdirectory `name` of the directory being listed. Returns the
// state of the parent's listing: 0 when it goes on, MSG_NO_MORE_ENTRIES when
// it lost its place (the handle may be a new one either way).
int32_t descend(const char* name, int32_t* handle) {
  int32_t parentLength = walk.length;
  int32_t nameLength = static_cast<int32_t>(std::strlen(name));
  if (parentLength + nameLength + 1 + LIST_SUFFIX_LENGTH > PATH_MAX_LENGTH) {
    reportTooLong(MSG_WALK_PATH_TOO_LONG, walk.path);
    return 0;
  }
  std::memcpy(walk.path + parentLength, name, static_cast<size_t>(nameLength));
  walk.path[parentLength + nameLength] = platformSeparator();
  walk.length = parentLength + nameLength + 1;
  walk.path[walk.length] = 0;

  FileIdentity identity = {};
  bool known = directoryIdentity(walk.path, walk.length, &identity);
  int32_t result = 0;
  if (!(known && isBeingListed(identity)) && walk.depth < MAX_LEVELS) {
    bool closeFirst = walk.depth > OPEN_LISTING_LEVELS;
    if (closeFirst) {
      closeEntrySearch(*handle);
      *handle = -1;
    }
    walk.levels[walk.depth] = identity;
    walk.levelKnown[walk.depth] = known;
    ++walk.depth;
    walkDirectory();
    --walk.depth;
    walk.length = parentLength;
    walk.path[parentLength] = 0;
    if (closeFirst) result = findPlaceAgain(name, handle);
  }
  walk.length = parentLength;
  walk.path[parentLength] = 0;
  return result;
}

// Lists the directory in walk.path and visits its matching entries, walking
// each subdirectory on the way when the walk recurses. Returns the listing's
// error, 0 when it ended normally.
int32_t walkDirectory() {
  if (walk.enterHook != nullptr) walk.enterHook(walk.path);
  DirEntry entry;
  int32_t handle = -1;
  int32_t result = listDirectory(&handle, &entry);
  while (result == 0) {
    bool directory = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory && (walk.flags & WALK_FLAG_RECURSE) != 0 && !isDotName(entry.name)) {
      result = descend(entry.name, &handle);
      if (result != 0) break;
    }
    // A device entry (a FIFO, a socket, a terminal) is no file to search: it
    // could block the walk on its open or its first read. Only a name given
    // directly reaches one.
    const bool device = (entry.attributes & FILE_ATTRIBUTE_DEVICE) != 0;
    if (!device && (!directory || (walk.mask & WALK_REPORT_DIRECTORIES) != 0) &&
        matchNamePatterns(entry.name, walk.patterns, walk.patternCount)) {
      if (walk.length + static_cast<int32_t>(std::strlen(entry.name)) > PATH_MAX_LENGTH) {
        reportTooLong(MSG_WALK_PATH_TOO_LONG, walk.path);
      } else {
        walk.noEntryYet = 0;
        walk.visitor(walk.path, walk.path, &entry, walk.userValue);
      }
    }
    result = findNextEntry(handle, &entry);
  }
  closeEntrySearch(handle);
  if (walk.leaveHook != nullptr) walk.leaveHook(walk.path);
  return result == MSG_NO_MORE_ENTRIES ? 0 : result;
}

// Fills one NamePattern; false (and a message) for a pattern too long to be
// kept whole, which then selects no name.
bool makeNamePattern(const char* text, NamePattern* pattern) {
  int32_t length = static_cast<int32_t>(std::strlen(text));
  pattern->wildcard = hasWildcard(text, length) ? 1 : 0;
  bool fits;
  if (pattern->wildcard != 0) {
    fits = compileWildcard(1, pattern->text, &pattern->length, text);
  } else {
    fits = length <= PATH_MAX_LENGTH;
    if (fits) {
      std::memcpy(pattern->text, text, static_cast<size_t>(length) + 1);
      pattern->length = length;
    }
  }
  if (!fits) {
    pattern->text[0] = 0;
    pattern->length = -1;
    reportTooLong(MSG_WALK_PATTERN_TOO_LONG, text);
  }
  return fits;
}

// The visitor of walkFiles: the file's name, with the directory's path in
// front when the walk asks for full names, goes to the driver's callback.
void visitFile(const char* directory, const char*, const DirEntry* entry, int32_t) {
  CountedString name;
  if ((filesWalkFlags & WALK_FLAG_FULL_NAMES) != 0) {
    appendText(name, directory, COUNTED_SPEC_CAPACITY);
  }
  for (const char* c = entry->name; *c != 0 && name.length < COUNTED_SPEC_CAPACITY; ++c) {
    name.characters[name.length++] = *c;
  }
  if ((entry->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      name.length < COUNTED_SPEC_CAPACITY) {
    name.characters[name.length++] = platformSeparator();
  }
  filesCallback(name, name);
}

}  // namespace

bool matchNamePatterns(const char* name, const NamePattern* patterns, int32_t count) {
  int32_t nameLength = -1;
  for (int32_t i = 0; i < count; ++i) {
    const NamePattern& pattern = patterns[i];
    if (pattern.length < 0) continue;
    if (pattern.wildcard != 0) {
      if (matchWildcard(name, pattern.text, pattern.length) != 0) return true;
    } else {
      if (nameLength < 0) nameLength = static_cast<int32_t>(std::strlen(name));
      if (sameFileName(name, nameLength, pattern.text, pattern.length)) return true;
    }
  }
  return false;
}

int32_t walkTree(const char* startDirectory, const char* namePattern, int32_t walkFlags,
                 EntryVisitor visitor, uint32_t attributeMask, DirectoryHook enterHook,
                 DirectoryHook leaveHook, int32_t userValue, const char* const* patterns,
                 int32_t patternCount) {
  const char* single = namePattern != nullptr ? namePattern : "";
  bool listGiven = patterns != nullptr && patternCount > 0;
  if (single[0] == 0 && !listGiven) return MSG_NO_MORE_ENTRIES;
  int32_t startLength = static_cast<int32_t>(std::strlen(startDirectory));
  if (startLength + LIST_SUFFIX_LENGTH > PATH_MAX_LENGTH) {
    reportTooLong(MSG_WALK_PATH_TOO_LONG, startDirectory);
    return MSG_NOT_FOUND;
  }
  if (!listGiven) {
    patterns = &single;
    patternCount = 1;
  }
  auto* compiled = static_cast<NamePattern*>(
      memAlloc(static_cast<uint32_t>(patternCount) * static_cast<uint32_t>(sizeof(NamePattern))));
  if (compiled == nullptr) return MSG_OUT_OF_MEMORY;
  bool anySelects = false;
  for (int32_t i = 0; i < patternCount; ++i) {
    if (makeNamePattern(patterns[i], &compiled[i])) anySelects = true;
  }

  std::memcpy(walk.path, startDirectory, static_cast<size_t>(startLength) + 1);
  walk.length = startLength;
  walk.patterns = compiled;
  walk.patternCount = patternCount;
  walk.visitor = visitor;
  walk.mask = attributeMask;
  bool recurse = (walkFlags & WALK_FLAG_RECURSE) != 0;
  walk.enterHook = recurse ? enterHook : nullptr;
  walk.leaveHook = recurse ? leaveHook : nullptr;
  walk.flags = walkFlags;
  walk.userValue = userValue;
  walk.depth = 0;
  walk.noEntryYet = MSG_NOT_FOUND;
  int32_t result = 0;
  if (anySelects) {
    enterLevel();
    result = walkDirectory();
    walk.depth = 0;
  }
  memFree(compiled);
  return result != 0 ? result : walk.noEntryYet;
}

int32_t walkFiles(const CountedString& directory, const CountedString* namePattern,
                  int32_t walkFlags, WalkCallback callback, uint32_t attributeMask,
                  DirectoryHook enterHook, DirectoryHook leaveHook, const char* const* patterns,
                  int32_t patternCount) {
  filesWalkFlags = walkFlags;
  filesCallback = callback;
  // Kept whole here: the walk refuses what does not fit instead of cutting it.
  char start[COUNTED_SPEC_CAPACITY + 1];
  char name[COUNTED_SPEC_CAPACITY + 1];
  toText(start, directory, sizeof start);
  name[0] = 0;
  if (namePattern != nullptr) toText(name, *namePattern, sizeof name);
  return walkTree(start, name, walkFlags, visitFile, attributeMask, enterHook, leaveHook, 0,
                  patterns, patternCount);
}
