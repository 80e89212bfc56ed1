// Process facts and the platform.h extras on POSIX: the system version,
// the missing registry, environment variables, the pool's address range,
// link resolution, the rules for program files and the arguments, which are
// the bytes typed in either mode.
//
// Pool chunks come from one address range reserved at first use with mmap
// (4 GiB where the address space allows, halved until the system agrees) and
// are handed out bump-wise, 16-byte aligned, so that any two pool addresses
// are a 32-bit offset apart. Reserved pages that are never touched cost
// nothing.
#include "platform/posix_internal.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32.h"

// The sanitizers' interface, present only in a sanitizer build: a plain
// build sees null addresses.
extern "C" {
void __lsan_register_root_region(const void* begin, size_t size) __attribute__((weak));
void __asan_poison_memory_region(void const volatile* at, size_t size) __attribute__((weak));
void __asan_unpoison_memory_region(void const volatile* at, size_t size) __attribute__((weak));
}

namespace {

constexpr DWORD ERROR_ENVVAR_NOT_FOUND_CODE = 203;
// Windows 8 (6.2, build 9200): what GetVersion reports to programs without a
// manifest on every later NT system.
constexpr DWORD NT_VERSION = (9200u << 16) | (2u << 8) | 6u;

constexpr uint64_t POOL_LARGEST_RANGE = 1ull << 32;
constexpr uint64_t POOL_SMALLEST_RANGE = 1ull << 24;
constexpr uint64_t POOL_ALIGNMENT = 16;

struct PoolRange {
  bool tried = false;
  char* base = nullptr;
  uint64_t size = 0;
  uint64_t used = 0;
};

PoolRange pool;

void reservePool() {
  if (pool.tried) {
    return;
  }
  pool.tried = true;
  uint64_t size = POOL_LARGEST_RANGE;
  if (sizeof(size_t) <= 4) {
    size = 1ull << 30;  // a 32-bit address space has no 4 GiB to spare
  }
  for (; size >= POOL_SMALLEST_RANGE; size /= 2) {
    void* range = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range != MAP_FAILED) {
      pool.base = static_cast<char*>(range);
      pool.size = size;
      return;
    }
  }
}

}  // namespace

DWORD GetVersion() {
  return NT_VERSION;
}

LSTATUS RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, HKEY* result) {
  if (result != nullptr) {
    *result = nullptr;
  }
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
  return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegCloseKey(HKEY) {
  return ERROR_SUCCESS;
}

// Win32 rules: the length without the NUL when the value fits, else the size
// needed with the NUL (the buffer untouched); 0 and ERROR_ENVVAR_NOT_FOUND
// when there is no such variable.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  const char* value = name == nullptr ? nullptr : std::getenv(name);
  if (value == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND_CODE);
    return 0;
  }
  size_t length = std::strlen(value);
  if (buffer == nullptr || size <= length) {
    return static_cast<DWORD>(length + 1);
  }
  std::memcpy(buffer, value, length + 1);
  return static_cast<DWORD>(length);
}

void* platformPoolChunk(uint32_t size) {
  reservePool();
  uint64_t rounded = (static_cast<uint64_t>(size) + POOL_ALIGNMENT - 1) & ~(POOL_ALIGNMENT - 1);
  if (rounded == 0) {
    rounded = POOL_ALIGNMENT;
  }
  if (pool.base == nullptr || rounded > pool.size - pool.used) {
    return nullptr;
  }
  void* chunk = pool.base + pool.used;
  pool.used += rounded;
  // Under LeakSanitizer the chunks are scanned for pointers like the heap, so
  // objects that only pool memory refers to do not count as leaked.
  if (__lsan_register_root_region != nullptr) {
    __lsan_register_root_region(chunk, static_cast<size_t>(rounded));
  }
  return chunk;
}

void platformMarkPoolBytes(void* at, uint32_t length, int usable) {
  if (usable != 0) {
    if (__asan_unpoison_memory_region != nullptr) __asan_unpoison_memory_region(at, length);
  } else {
    if (__asan_poison_memory_region != nullptr) __asan_poison_memory_region(at, length);
  }
}

uintptr_t platformPoolBase() {
  reservePool();
  return reinterpret_cast<uintptr_t>(pool.base);
}

void platformResolveLinks(char* path, int capacity) {
  char name[POSIX_NAME_CAPACITY];
  if (path == nullptr || capacity <= 0 || !toPosixName(path, name)) {
    return;
  }
  char* resolved = realpath(name, nullptr);
  if (resolved == nullptr) {
    return;
  }
  size_t length = std::strlen(resolved);
  if (length < static_cast<size_t>(capacity)) {
    std::memcpy(path, resolved, length + 1);
  }
  std::free(resolved);
}

int platformProgramExtensions() {
  return 0;
}

const char* platformExecutableSuffix() {
  return "";
}

int platformIsExecutableFile(const char* path) {
  char name[POSIX_NAME_CAPACITY];
  if (!toPosixName(path, name)) {
    return 0;
  }
  struct stat facts;
  if (stat(name, &facts) != 0 || !S_ISREG(facts.st_mode)) {
    return 0;
  }
  return access(name, X_OK) == 0 ? 1 : 0;
}

char platformSeparator() {
  return '/';
}

char platformPathListSeparator() {
  return ':';
}

void platformBinaryStandardHandles() {
  // POSIX never translates line ends.
}

char** platformUtf8Arguments(int, char** argv) {
  return argv;
}
