// C allocations for records that are handed to callers or hung in a handle tree.
// Such memory is released with free() or the release operations, so it must come from the C
// allocator; scratch memory inside a function uses RAII types instead.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

namespace tesra {

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
template <class T>
using c_ptr = std::unique_ptr<T, FreeDeleter>;

// Zero-filled array of n elements; never asks the allocator for 0 bytes, so a successful call
// always yields a non-null pointer.
template <class T>
T *c_calloc(std::size_t n = 1) noexcept {
    return static_cast<T *>(std::calloc(n == 0 ? 1 : n, sizeof(T)));
}

// Copy of a NUL-terminated string, or nullptr when s is null or the allocation fails.
inline char *c_strdup(const char *s) noexcept {
    if (s == nullptr) return nullptr;
    const std::size_t n = std::strlen(s) + 1;
    auto *d = static_cast<char *>(std::malloc(n));
    if (d != nullptr) std::memcpy(d, s, n);
    return d;
}

// free() for pointers the C records declare const (strings the handle owns nonetheless).
inline void c_free(const void *p) noexcept { std::free(const_cast<void *>(p)); }

}  // namespace tesra
