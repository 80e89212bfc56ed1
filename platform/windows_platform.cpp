// The platform.h extras on Windows; the Win32 calls themselves are the
// system's.
//
// On a 32-bit Windows every address fits in 32 bits, so pool chunks can come
// from the process heap with base 0: the offset of a block is its address.
// Chunks are aligned to 16 bytes by hand (the heap promises 8) and never
// returned. The code page is the system's: platformSetCodePage leaves it
// alone, and tests see that through GetACP.
#include <fcntl.h>
#include <io.h>

#include <cstdlib>

#include "platform/code_page_names.h"
#include "platform/platform.h"
#include "platform/win32.h"

static_assert(sizeof(void*) == 4,
              "pool offsets are addresses here, which needs a 32-bit Windows program");

void* platformPoolChunk(uint32_t size) {
  constexpr uintptr_t ALIGNMENT = 16;
  if (size > 0xFFFFFFFFu - ALIGNMENT) {
    return nullptr;
  }
  void* block = HeapAlloc(GetProcessHeap(), 0, size + ALIGNMENT);
  if (block == nullptr) {
    return nullptr;
  }
  uintptr_t address = (reinterpret_cast<uintptr_t>(block) + ALIGNMENT - 1) & ~(ALIGNMENT - 1);
  return reinterpret_cast<void*>(address);
}

uintptr_t platformPoolBase() {
  return 0;
}

void platformMarkPoolBytes(void*, uint32_t, int) {
  // No memory checker runs in the Windows build.
}

void platformResolveLinks(char*, int) {
  // Program files are found by name; there is nothing to follow.
}

int platformProgramExtensions() {
  return 1;
}

int platformIsExecutableFile(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

char platformSeparator() {
  return '\\';
}

char platformPathListSeparator() {
  return ';';
}

void platformBinaryStandardHandles() {
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
}

uint32_t platformCodePageOfLocaleName(const char* localeName) {
  return code_page_names::codePageOfLocaleName(localeName);
}

void platformSetCodePage(uint32_t) {
  // The system code page belongs to Windows.
}
