// The system's allocator: two block pools for small and medium requests,
// the runtime heap for large ones, and a separate allocator for the growable
// pointer tables. See memory_pool.cpp for the block layout.
#pragma once

#include <cstdint>

// Returns null for sizes above 2147483647 or when no memory can be had.
void* memAlloc(uint32_t size);
// With a null pointer the same as memAlloc. On failure the old block stays.
void* memRealloc(void* block, uint32_t size);
// A null pointer is ignored.
void memFree(void* block);

// The size word in front of a block handed out by memAlloc: the block size in
// bytes, header and trailer included (large blocks: request + 8 rounded up to
// 1024). Used by memRealloc and by tests.
uint32_t memBlockSize(const void* block);

// Chunks the two pools have taken from the system so far (tests: freed
// blocks are reused before a new chunk is taken).
uint32_t memChunkCount();

// Allocator of the growable pointer tables (the message catalogue's text
// table). Requests up to 512 bytes come from 8-byte size classes carved out of
// 8192-byte chunks; larger ones from the runtime heap.
void* pomAlloc(uint32_t size);
void* pomRealloc(void* block, uint32_t size);
void pomFree(void* block);

// Grows (or first allocates) the array at *array to hold count elements of T;
// false, with the array as it was, when the pool cannot give that much.
template <typename T>
bool memGrowArray(T** array, int64_t count) {
  const int64_t bytes = count * static_cast<int64_t>(sizeof(T));
  if (bytes > INT32_MAX) return false;
  void* grown = memRealloc(*array, static_cast<uint32_t>(bytes < 8 ? 8 : bytes));
  if (grown == nullptr) return false;
  *array = static_cast<T*>(grown);
  return true;
}
