// Directory listings for a caller that reads only what kind each entry is.
#pragma once

#include "platform/win32.h"

// Starts a directory search as FindFirstFileA and FindFirstFileW do, for a
// caller that reads of each entry only its name and the attribute bits that
// tell its kind: directory, device, hidden, system. FindNextFileA/W and
// FindClose continue and end the search as usual. Where the listing itself
// tells an entry's kind (POSIX: the entry type that readdir gives for regular
// files and directories), the entry is not examined further, and its times,
// its size and the read-only bit are left zero; links and entries of unknown
// type are examined as FindFirstFile examines every entry. Windows lists
// every field at no extra cost and fills them all.
HANDLE platformFindFirstKinds(LPCSTR pattern, LPWIN32_FIND_DATAA data);
HANDLE platformFindFirstKindsWide(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
