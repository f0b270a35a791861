#include "alloc_counter.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

// glibc's own allocator under its internal names, so that the interposed
// functions below can count and then hand the call on.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<bool> counting{false};
std::atomic<uint64_t> mallocCalls{0};
std::atomic<uint64_t> newCalls{0};

void countMalloc() {
    if (counting.load(std::memory_order_relaxed)) mallocCalls.fetch_add(1, std::memory_order_relaxed);
}

void* countedNew(size_t size, size_t alignment = 0) {
    if (counting.load(std::memory_order_relaxed)) newCalls.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    return alignment ? __libc_memalign(alignment, size) : __libc_malloc(size);
}

void* newOrThrow(size_t size, size_t alignment = 0) {
    void* block = countedNew(size, alignment);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

namespace bench {

void startCountingAllocations() {
    mallocCalls = 0;
    newCalls = 0;
    counting = true;
}

AllocationCount stopCountingAllocations() {
    counting = false;
    return {mallocCalls.load(), newCalls.load()};
}

}  // namespace bench

#define INTERPOSED __attribute__((visibility("default")))

extern "C" {

INTERPOSED void* malloc(size_t size) {
    countMalloc();
    return __libc_malloc(size);
}

INTERPOSED void* calloc(size_t count, size_t size) {
    countMalloc();
    return __libc_calloc(count, size);
}

INTERPOSED void* realloc(void* pointer, size_t size) {
    countMalloc();
    return __libc_realloc(pointer, size);
}

INTERPOSED void free(void* pointer) { __libc_free(pointer); }

INTERPOSED void* memalign(size_t alignment, size_t size) {
    countMalloc();
    return __libc_memalign(alignment, size);
}

INTERPOSED void* aligned_alloc(size_t alignment, size_t size) {
    countMalloc();
    return __libc_memalign(alignment, size);
}

INTERPOSED int posix_memalign(void** result, size_t alignment, size_t size) {
    countMalloc();
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *result = block;
    return 0;
}

}  // extern "C"

INTERPOSED void* operator new(size_t size) { return newOrThrow(size); }
INTERPOSED void* operator new[](size_t size) { return newOrThrow(size); }
INTERPOSED void* operator new(size_t size, const std::nothrow_t&) noexcept { return countedNew(size); }
INTERPOSED void* operator new[](size_t size, const std::nothrow_t&) noexcept { return countedNew(size); }
INTERPOSED void* operator new(size_t size, std::align_val_t alignment) {
    return newOrThrow(size, static_cast<size_t>(alignment));
}
INTERPOSED void* operator new[](size_t size, std::align_val_t alignment) {
    return newOrThrow(size, static_cast<size_t>(alignment));
}
INTERPOSED void operator delete(void* pointer) noexcept { __libc_free(pointer); }
INTERPOSED void operator delete[](void* pointer) noexcept { __libc_free(pointer); }
INTERPOSED void operator delete(void* pointer, size_t) noexcept { __libc_free(pointer); }
INTERPOSED void operator delete[](void* pointer, size_t) noexcept { __libc_free(pointer); }
INTERPOSED void operator delete(void* pointer, std::align_val_t) noexcept { __libc_free(pointer); }
INTERPOSED void operator delete[](void* pointer, std::align_val_t) noexcept { __libc_free(pointer); }
INTERPOSED void operator delete(void* pointer, size_t, std::align_val_t) noexcept { __libc_free(pointer); }
INTERPOSED void operator delete[](void* pointer, size_t, std::align_val_t) noexcept { __libc_free(pointer); }
