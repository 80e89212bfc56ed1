// Directory listings by kind on Windows: the system's listing already holds
// every field of an entry, so the full search serves.
#include "platform/entry_listing.h"

HANDLE platformFindFirstKinds(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  return FindFirstFileA(pattern, data);
}

HANDLE platformFindFirstKindsWide(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  return FindFirstFileW(pattern, data);
}
