// Counts live blocks by standing in front of the C allocator: glibc lets a program replace
// malloc and friends, and its own functions (strdup, fopen, ...) then allocate through them.
#include "heap_count.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {
std::atomic<long> g_live{0};
}  // namespace

#if defined(__SANITIZE_ADDRESS__)

namespace tesra::test {
bool heap_is_counted() {
    return false;
}
long live_heap_blocks() {
    return 0;
}
}  // namespace tesra::test

#else

extern "C" {
void *__libc_malloc(std::size_t n);
void *__libc_calloc(std::size_t count, std::size_t n);
void *__libc_realloc(void *p, std::size_t n);
void *__libc_memalign(std::size_t alignment, std::size_t n);
void __libc_free(void *p);
}

namespace {
void *counted(void *p) {
    if (p != nullptr) g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}
}  // namespace

extern "C" void *malloc(std::size_t n) noexcept {
    return counted(__libc_malloc(n));
}
extern "C" void *calloc(std::size_t count, std::size_t n) noexcept {
    return counted(__libc_calloc(count, n));
}
extern "C" void *realloc(void *p, std::size_t n) noexcept {
    void *q = __libc_realloc(p, n);
    if (p == nullptr && q != nullptr) g_live.fetch_add(1, std::memory_order_relaxed);
    if (p != nullptr && n == 0 && q == nullptr) g_live.fetch_sub(1, std::memory_order_relaxed);
    return q;
}
extern "C" void *memalign(std::size_t alignment, std::size_t n) noexcept {
    return counted(__libc_memalign(alignment, n));
}
extern "C" void *aligned_alloc(std::size_t alignment, std::size_t n) noexcept {
    return counted(__libc_memalign(alignment, n));
}
extern "C" int posix_memalign(void **out, std::size_t alignment, std::size_t n) noexcept {
    void *p = __libc_memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = counted(p);
    return 0;
}
extern "C" void free(void *p) noexcept {
    if (p != nullptr) g_live.fetch_sub(1, std::memory_order_relaxed);
    __libc_free(p);
}

namespace tesra::test {
bool heap_is_counted() {
    return true;
}
long live_heap_blocks() {
    return g_live.load(std::memory_order_relaxed);
}
}  // namespace tesra::test

#endif
