// The file tree walker: turns a directory and a name pattern into the
// entries to search, calling a visitor once for each. See tree_walker.cpp.
#pragma once

#include <cstdint>

#include "files/dir_search.h"
#include "files/paths.h"
#include "support/counted_string.h"

// Walk flags.
constexpr int32_t WALK_FLAG_RECURSE = 0x1;     // every subdirectory too, with the hooks
constexpr int32_t WALK_FLAG_FULL_NAMES = 0x2;  // names given to a WalkCallback start with the path

// In the attribute mask: directory entries themselves are reported.
constexpr uint32_t WALK_REPORT_DIRECTORIES = 0x10;

// Messages the walk prints itself, for entries it skips and goes on.
constexpr int32_t MSG_WALK_PATH_TOO_LONG = -3665;     // %s1: the directory holding the entry
constexpr int32_t MSG_WALK_PATTERN_TOO_LONG = -3666;  // %s1: the name pattern

typedef int32_t (*WalkCallback)(const CountedString& path, const CountedString& displayName);
typedef void (*DirectoryHook)(const char* directory);
// Receives the path of the directory holding the entry twice (the same
// text), the entry and the walk's user value. Of the entry the walk lists
// only the name and the attribute bits of its kind (see ENTRY_KINDS_ONLY):
// a visitor that needs a file's times or size asks for them by name.
typedef void (*EntryVisitor)(const char* directory, const char* sameDirectory,
                             const DirEntry* entry, int32_t userValue);

// One name pattern of a walk: a plain name, or the expression compiled from
// a wildcard.
struct NamePattern {
  char text[PATH_CAPACITY];
  int32_t length;    // of text; -1 for a pattern that can select no name
  int32_t wildcard;  // non-zero when the pattern held "*" or "?"
};

// 0 when at least one entry was reported, -2 when none was, -18 when there
// is no name pattern at all, -8 without memory for the patterns, or the error
// of the start directory's listing.
int32_t walkFiles(const CountedString& directory, const CountedString* namePattern,
                  int32_t walkFlags, WalkCallback callback, uint32_t attributeMask,
                  DirectoryHook enterHook, DirectoryHook leaveHook, const char* const* patterns,
                  int32_t patternCount);
int32_t walkTree(const char* startDirectory, const char* namePattern, int32_t walkFlags,
                 EntryVisitor visitor, uint32_t attributeMask, DirectoryHook enterHook,
                 DirectoryHook leaveHook, int32_t userValue, const char* const* patterns,
                 int32_t patternCount);

// Whether a pattern matches the name: a plain one by sameFileName, a
// wildcard by matchWildcard. A pattern that selects nothing is passed over.
bool matchNamePatterns(const char* name, const NamePattern* patterns, int32_t count);
