// The system's allocator: memAlloc, memRealloc and memFree over two block
// pools and the runtime heap, plus the separate allocator of the growable
// pointer tables (pomAlloc, pomRealloc, pomFree).
//
// A pool block is a 32-bit header word (the block size, header and trailer
// included; bit 0 set while the block is free), the caller's payload, and a
// 32-bit trailer word holding the size again. Requests below 505 bytes come
// from the small pool (blocks of 16 to 512 bytes in steps of 16), requests
// below 32761 bytes from the medium pool (512 to 32768 bytes in steps of 256).
// Each pool carves blocks from large chunks and keeps freed blocks on
// circular, doubly linked free lists, one per size class, with a bitmap that
// says which lists are non-empty; an allocation takes the smallest non-empty
// class that fits and cuts off the rest when that is big enough to be a block
// of its own. A freed block is merged with free neighbours as long as the
// result stays within the pool's largest block size. Every chunk begins and
// ends with the word 4, a permanently used pseudo-block, so merging never
// leaves the chunk; the uncarved rest of the current chunk is preceded by the
// same word. The links of a free block are 32-bit offsets from
// platformPoolBase(): two 64-bit pointers would not fit in a 16-byte block.
//
// Larger requests go to the runtime heap: the block size (request + 8,
// rounded up to 1024) sits in the word directly in front of a 16-byte
// aligned payload and the heap pointer is kept further in front, so memFree
// tells the three kinds apart by the size word alone.
//
// Under AddressSanitizer the pool tells the checker which payload bytes a
// caller owns: the slack after a request and the payload of a free block
// (beyond its links) are marked unusable, headers and trailers stay usable.
//
// Pool memory never goes back to the system. Tested by memory_pool_test.cpp.
#include "support/memory_pool.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr uint32_t FREE_BIT = 1;
constexpr uint32_t EDGE_WORD = 4;  // size of the pseudo-block at chunk edges
constexpr uint32_t LARGEST_REQUEST = 0x7FFFFFFF;
constexpr uint32_t SMALL_LIMIT = 505;    // requests below go to the small pool
constexpr uint32_t MEDIUM_LIMIT = 32761;  // requests below go to the medium pool
constexpr uint32_t LARGE_GRANULARITY = 1024;
constexpr uintptr_t LARGE_ALIGNMENT = 16;
// In front of a large payload: the heap pointer at -16, the size word at -4.
constexpr uintptr_t LARGE_PREFIX = 16;

struct MemoryPool {
  int32_t chunkSize;
  int32_t granularity;
  int32_t minimumBlock;
  int32_t maximumBlock;
  int32_t unused1;
  int32_t unused2;
  int32_t classCount;
  uint8_t** listHeads;  // header address of each class's newest free block
  int32_t bitmapBytes;
  uint8_t* bitmap;      // bit c set while class c's list is not empty
  uint8_t* chunk;       // first usable byte of the current chunk
  int32_t carved;       // bytes of the current chunk already handed out
};

MemoryPool smallPool = {10240, 16, 16, 512, 0, 0, 32, nullptr, 4, nullptr, nullptr, 0};
MemoryPool mediumPool = {65536, 256, 512, 32768, 0, 0, 127, nullptr, 16, nullptr, nullptr, 0};
uint32_t chunksTaken = 0;

uint32_t readWord(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void writeWord(uint8_t* at, uint32_t value) { std::memcpy(at, &value, sizeof value); }

uint32_t sizeOf(const uint8_t* header) { return readWord(header) & ~FREE_BIT; }

bool isFree(const uint8_t* header) { return (readWord(header) & FREE_BIT) != 0; }

// Writes header and trailer of a block.
void markBlock(uint8_t* header, uint32_t size, uint32_t freeBit) {
  writeWord(header, size | freeBit);
  writeWord(header + size - 4, size);
}

// Free-list links live in the payload: next at +4, previous at +8.
uint8_t* linkAt(const uint8_t* header, int which) {
  return reinterpret_cast<uint8_t*>(platformPoolBase() + readWord(header + 4 + 4 * which));
}

void setLink(uint8_t* header, int which, const uint8_t* target) {
  writeWord(header + 4 + 4 * which,
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(target) - platformPoolBase()));
}

uint8_t* nextOf(const uint8_t* header) { return linkAt(header, 0); }
uint8_t* previousOf(const uint8_t* header) { return linkAt(header, 1); }

int32_t classOf(const MemoryPool& pool, uint32_t size) {
  return (static_cast<int32_t>(size) - pool.minimumBlock) / pool.granularity;
}

// The whole payload becomes usable again, for the pool's own writes.
void exposePayload(uint8_t* header) { platformMarkPoolBytes(header + 4, sizeOf(header) - 8, 1); }

// Only the request's bytes stay usable for the caller.
void* handOut(uint8_t* header, uint32_t request) {
  platformMarkPoolBytes(header + 4, sizeOf(header) - 8, 0);
  platformMarkPoolBytes(header + 4, request, 1);
  return header + 4;
}

// A free block keeps its two links usable and hides the rest.
void hideFreePayload(uint8_t* header) {
  platformMarkPoolBytes(header + 12, sizeOf(header) - 16, 0);
}

void insertFree(MemoryPool& pool, uint8_t* header) {
  int32_t c = classOf(pool, sizeOf(header));
  uint8_t* head = pool.listHeads[c];
  if (head == nullptr) {
    setLink(header, 0, header);
    setLink(header, 1, header);
  } else {
    uint8_t* last = previousOf(head);
    setLink(header, 0, head);
    setLink(header, 1, last);
    setLink(last, 0, header);
    setLink(head, 1, header);
  }
  pool.listHeads[c] = header;
  pool.bitmap[c / 8] = static_cast<uint8_t>(pool.bitmap[c / 8] | (1u << (c % 8)));
}

void removeFree(MemoryPool& pool, uint8_t* header) {
  int32_t c = classOf(pool, sizeOf(header));
  uint8_t* next = nextOf(header);
  if (next == header) {
    pool.listHeads[c] = nullptr;
    pool.bitmap[c / 8] = static_cast<uint8_t>(pool.bitmap[c / 8] & ~(1u << (c % 8)));
    return;
  }
  uint8_t* previous = previousOf(header);
  setLink(previous, 0, next);
  setLink(next, 1, previous);
  if (pool.listHeads[c] == header) pool.listHeads[c] = next;
}

// The smallest class at or above `wanted` whose list holds a block, or -1.
int32_t findClass(const MemoryPool& pool, int32_t wanted) {
  for (int32_t byte = wanted / 8; byte < pool.bitmapBytes; ++byte) {
    uint32_t bits = pool.bitmap[byte];
    if (byte == wanted / 8) bits &= ~((1u << (wanted % 8)) - 1);
    if (bits == 0) continue;
    for (int32_t bit = 0; bit < 8; ++bit) {
      int32_t c = byte * 8 + bit;
      if ((bits & (1u << bit)) != 0 && c < pool.classCount && pool.listHeads[c] != nullptr) {
        return c;
      }
    }
  }
  return -1;
}

void releaseToPool(MemoryPool& pool, uint8_t* header) {
  exposePayload(header);
  uint32_t size = sizeOf(header);
  const uint32_t maximum = static_cast<uint32_t>(pool.maximumBlock);

  uint8_t* next = header + size;
  if (isFree(next) && size + sizeOf(next) <= maximum) {
    removeFree(pool, next);
    size += sizeOf(next);
  }
  // The trailer in front of the header leads to the previous block; at the
  // start of a chunk it is the pseudo-block's word 4, which is never free.
  uint8_t* previous = header - readWord(header - 4);
  if (isFree(previous) && size + sizeOf(previous) <= maximum) {
    removeFree(pool, previous);
    size += sizeOf(previous);
    header = previous;
  }
  markBlock(header, size, FREE_BIT);
  insertFree(pool, header);
  hideFreePayload(header);
}

bool createTables(MemoryPool& pool) {
  if (pool.bitmap != nullptr) return true;
  auto* heads = static_cast<uint8_t**>(std::calloc(static_cast<size_t>(pool.classCount),
                                                   sizeof(uint8_t*)));
  auto* bitmap = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(pool.bitmapBytes), 1));
  if (heads == nullptr || bitmap == nullptr) {
    std::free(heads);
    std::free(bitmap);
    return false;
  }
  pool.listHeads = heads;
  pool.bitmap = bitmap;
  return true;
}

void* carveBlock(MemoryPool& pool, uint32_t size, uint32_t request) {
  uint8_t* header = pool.chunk + pool.carved;
  markBlock(header, size, 0);
  writeWord(header + size, EDGE_WORD);
  pool.carved += static_cast<int32_t>(size);
  return handOut(header, request);
}

void* allocateFromPool(MemoryPool& pool, uint32_t request) {
  const uint32_t granularity = static_cast<uint32_t>(pool.granularity);
  uint32_t size = request + 8;
  if (size < static_cast<uint32_t>(pool.minimumBlock)) {
    size = static_cast<uint32_t>(pool.minimumBlock);
  }
  size = (size + granularity - 1) / granularity * granularity;
  if (!createTables(pool)) return nullptr;

  int32_t found = findClass(pool, classOf(pool, size));
  if (found >= 0) {
    uint8_t* header = pool.listHeads[found];
    removeFree(pool, header);
    exposePayload(header);
    uint32_t blockSize = sizeOf(header);
    uint32_t rest = blockSize - size;
    if (rest >= static_cast<uint32_t>(pool.minimumBlock)) {
      markBlock(header, size, 0);
      markBlock(header + size, rest, FREE_BIT);
      insertFree(pool, header + size);
      hideFreePayload(header + size);
    } else {
      markBlock(header, blockSize, 0);
    }
    return handOut(header, request);
  }

  uint32_t left = pool.chunk == nullptr ? 0 : static_cast<uint32_t>(pool.chunkSize - pool.carved);
  if (size <= left) return carveBlock(pool, size, request);

  if (left >= static_cast<uint32_t>(pool.minimumBlock)) {
    uint8_t* header = pool.chunk + pool.carved;
    markBlock(header, left, 0);
    pool.carved = pool.chunkSize;
    releaseToPool(pool, header);
  }
  auto* raw = static_cast<uint8_t*>(platformPoolChunk(static_cast<uint32_t>(pool.chunkSize) + 8));
  if (raw == nullptr) return nullptr;
  ++chunksTaken;
  writeWord(raw, EDGE_WORD);
  writeWord(raw + 4 + pool.chunkSize, EDGE_WORD);
  pool.chunk = raw + 4;
  pool.carved = 0;
  return carveBlock(pool, size, request);
}

void* allocateLarge(uint32_t request) {
  uint32_t size = (request + 8 + LARGE_GRANULARITY - 1) / LARGE_GRANULARITY * LARGE_GRANULARITY;
  auto* raw = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size) + LARGE_PREFIX +
                                                LARGE_ALIGNMENT));
  if (raw == nullptr) return nullptr;
  uintptr_t address = reinterpret_cast<uintptr_t>(raw) + LARGE_PREFIX;
  address = (address + LARGE_ALIGNMENT - 1) & ~(LARGE_ALIGNMENT - 1);
  auto* payload = reinterpret_cast<uint8_t*>(address);
  std::memcpy(payload - LARGE_PREFIX, &raw, sizeof raw);
  writeWord(payload - 4, size);
  return payload;
}

}  // namespace

void* memAlloc(uint32_t size) {
  if (size > LARGEST_REQUEST) return nullptr;
  if (size < SMALL_LIMIT) return allocateFromPool(smallPool, size);
  if (size < MEDIUM_LIMIT) return allocateFromPool(mediumPool, size);
  return allocateLarge(size);
}

uint32_t memBlockSize(const void* block) {
  return readWord(static_cast<const uint8_t*>(block) - 4) & ~FREE_BIT;
}

uint32_t memChunkCount() { return chunksTaken; }

void memFree(void* block) {
  if (block == nullptr) return;
  auto* payload = static_cast<uint8_t*>(block);
  uint32_t size = memBlockSize(block);
  if (size <= static_cast<uint32_t>(smallPool.maximumBlock)) {
    releaseToPool(smallPool, payload - 4);
  } else if (size <= static_cast<uint32_t>(mediumPool.maximumBlock)) {
    releaseToPool(mediumPool, payload - 4);
  } else {
    uint8_t* raw;
    std::memcpy(&raw, payload - LARGE_PREFIX, sizeof raw);
    std::free(raw);
  }
}

void* memRealloc(void* block, uint32_t size) {
  if (block == nullptr) return memAlloc(size);
  if (size > LARGEST_REQUEST) return nullptr;
  void* fresh = memAlloc(size);
  if (fresh == nullptr) return nullptr;
  uint32_t oldSize = memBlockSize(block);
  uint32_t oldPayload = oldSize - 8;
  // The copy may take the old block's slack as well as its request.
  if (oldSize <= static_cast<uint32_t>(mediumPool.maximumBlock)) {
    exposePayload(static_cast<uint8_t*>(block) - 4);
  }
  std::memcpy(fresh, block, size < oldPayload ? size : oldPayload);
  memFree(block);
  return fresh;
}

// ---------------------------------------------------------------------------
// The allocator of the growable pointer tables. Every block has an 8-byte
// header (payload size, kind) so that the payload stays 8-byte aligned.
// Pooled blocks come in 8-byte size classes with one singly linked free list
// each, carved from chunks of the runtime heap; a freed block goes back on
// its class list and is never merged. Larger blocks come from the heap.

namespace {

constexpr uint32_t POM_HEADER = 8;
constexpr uint32_t POM_POOLED = 1;
constexpr uint32_t POM_HEAP = 2;

struct PomAllocator {
  uint32_t largestPooled = 0;
  uint32_t chunkSize = 0;
  void** freeLists = nullptr;  // class k holds payloads of 8 * (k + 1) bytes
  uint8_t* chunk = nullptr;
  uint32_t carved = 0;
};

PomAllocator pomAllocator;

bool createPomAllocator(PomAllocator& pom, uint32_t largestPooled, uint32_t chunkSize) {
  if (pom.freeLists != nullptr) return true;
  if (largestPooled < 8) largestPooled = 8;
  if (largestPooled > 32768) largestPooled = 32768;
  largestPooled = (largestPooled + 7) / 8 * 8;
  if (chunkSize > 65536) chunkSize = 65536;
  if (chunkSize < largestPooled + POM_HEADER) chunkSize = largestPooled + POM_HEADER;
  pom.freeLists = static_cast<void**>(std::calloc(largestPooled / 8, sizeof(void*)));
  if (pom.freeLists == nullptr) return false;
  pom.largestPooled = largestPooled;
  pom.chunkSize = chunkSize;
  return true;
}

void setPomHeader(uint8_t* header, uint32_t size, uint32_t kind) {
  writeWord(header, size);
  writeWord(header + 4, kind);
}

void* takeFromChunk(PomAllocator& pom, uint32_t size) {
  uint32_t needed = size + POM_HEADER;
  if (pom.chunk == nullptr || pom.chunkSize - pom.carved < needed) {
    uint32_t left = pom.chunk == nullptr ? 0 : pom.chunkSize - pom.carved;
    // A usable rest of the old chunk becomes a free block of its class.
    if (left >= POM_HEADER + 8) {
      uint8_t* header = pom.chunk + pom.carved;
      uint32_t restSize = left - POM_HEADER;
      setPomHeader(header, restSize, POM_POOLED);
      void** list = &pom.freeLists[restSize / 8 - 1];
      std::memcpy(header + POM_HEADER, list, sizeof(void*));
      *list = header + POM_HEADER;
    }
    auto* fresh = static_cast<uint8_t*>(std::malloc(pom.chunkSize));
    if (fresh == nullptr) return nullptr;
    pom.chunk = fresh;
    pom.carved = 0;
  }
  uint8_t* header = pom.chunk + pom.carved;
  pom.carved += needed;
  setPomHeader(header, size, POM_POOLED);
  return header + POM_HEADER;
}

uint32_t pomSize(const void* block) {
  return readWord(static_cast<const uint8_t*>(block) - POM_HEADER);
}

uint32_t pomKind(const void* block) {
  return readWord(static_cast<const uint8_t*>(block) - POM_HEADER + 4);
}

}  // namespace

void* pomAlloc(uint32_t size) {
  if (size > LARGEST_REQUEST) return nullptr;
  if (!createPomAllocator(pomAllocator, 512, 8192)) return nullptr;
  if (size < 8) size = 8;
  if (size > pomAllocator.largestPooled) {
    auto* header = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size) + POM_HEADER));
    if (header == nullptr) return nullptr;
    setPomHeader(header, size, POM_HEAP);
    return header + POM_HEADER;
  }
  size = (size + 7) / 8 * 8;
  void** list = &pomAllocator.freeLists[size / 8 - 1];
  if (*list != nullptr) {
    void* block = *list;
    std::memcpy(list, block, sizeof(void*));
    return block;
  }
  return takeFromChunk(pomAllocator, size);
}

void pomFree(void* block) {
  if (block == nullptr) return;
  auto* header = static_cast<uint8_t*>(block) - POM_HEADER;
  if (pomKind(block) == POM_HEAP) {
    std::free(header);
    return;
  }
  void** list = &pomAllocator.freeLists[pomSize(block) / 8 - 1];
  std::memcpy(block, list, sizeof(void*));
  *list = block;
}

void* pomRealloc(void* block, uint32_t size) {
  if (block == nullptr) return pomAlloc(size);
  if (size > LARGEST_REQUEST) return nullptr;
  uint32_t oldSize = pomSize(block);
  if (pomKind(block) == POM_POOLED && size <= oldSize) return block;
  void* fresh = pomAlloc(size);
  if (fresh == nullptr) return nullptr;
  std::memcpy(fresh, block, size < oldSize ? size : oldSize);
  pomFree(block);
  return fresh;
}
