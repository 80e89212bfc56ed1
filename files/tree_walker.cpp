// The file tree walker: turns a directory and a name pattern into the files to
// search, calling the driver once for each.
//
// Not written yet: walkFiles reports no entry and returns -2 ("no file
// found") for every file name with a wildcard and for every -T search, so the
// search driver treats them as selecting nothing. The walk itself, which lists
// each directory with findFirstEntry/findNextEntry and matches every name
// against the compiled wildcard, comes with the wildcard matcher.
#include "files/tree_walker.h"

int32_t walkFiles(const CountedString&, const CountedString*, int32_t, WalkCallback, uint32_t,
                  DirectoryHook, DirectoryHook, const char* const*, int32_t) {
  return -2;
}
