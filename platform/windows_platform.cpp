// The platform.h extras on Windows; the Win32 calls themselves are the
// system's.
//
// On a 32-bit Windows every address fits in 32 bits, so pool chunks can come
// from the process heap with base 0: the offset of a block is its address.
// A 64-bit build reserves one range of at most 4 GiB instead.
// Chunks are aligned to 16 bytes by hand (the heap promises 8) and never
// returned. The code page is the system's: platformSetCodePage leaves it
// alone, and tests see that through GetACP.
#include <fcntl.h>
#include <io.h>

#include <cstdlib>

#include "platform/code_page_names.h"
#include "platform/platform.h"
#include "platform/win32.h"

#if defined(_WIN64)
// A 64-bit program (the stand-in used where 32-bit programs cannot run)
// reserves one address range of at most 4 GiB and commits chunks inside it;
// offsets are counted from its start.
namespace {

struct PoolRange {
  char* base;
  uint64_t size;
  uint64_t used;
};
PoolRange poolRange;

void reservePool() {
  if (poolRange.base != nullptr) return;
  for (uint64_t size = uint64_t{1} << 32; size >= (uint64_t{1} << 26); size >>= 1) {
    void* range = VirtualAlloc(nullptr, static_cast<SIZE_T>(size), MEM_RESERVE, PAGE_READWRITE);
    if (range != nullptr) {
      poolRange.base = static_cast<char*>(range);
      poolRange.size = size;
      return;
    }
  }
}

}  // namespace

void* platformPoolChunk(uint32_t size) {
  constexpr uint64_t GRANULARITY = 65536;
  reservePool();
  uint64_t rounded = (static_cast<uint64_t>(size) + GRANULARITY - 1) & ~(GRANULARITY - 1);
  if (rounded == 0) rounded = GRANULARITY;
  if (poolRange.base == nullptr || rounded > poolRange.size - poolRange.used) return nullptr;
  void* chunk = VirtualAlloc(poolRange.base + poolRange.used, static_cast<SIZE_T>(rounded),
                             MEM_COMMIT, PAGE_READWRITE);
  if (chunk == nullptr) return nullptr;
  poolRange.used += rounded;
  return chunk;
}

uintptr_t platformPoolBase() {
  reservePool();
  return reinterpret_cast<uintptr_t>(poolRange.base);
}
#else
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
#endif

void platformMarkPoolBytes(void*, uint32_t, int) {
  // No memory checker runs in the Windows build.
}

void platformResolveLinks(char*, int) {
  // Program files are found by name; there is nothing to follow.
}

int platformProgramExtensions() {
  return 1;
}

const char* platformExecutableSuffix() {
  return ".exe";
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
