// Large aligned blocks kept from one input to the next, in the libFuzzer builds only.
//
// The reader's span pool carves its buffers from 2 MiB-aligned blocks, and every opened stream
// takes one. Under AddressSanitizer each such block is a fresh mapping of twice its size whose
// shadow is written whole when it is made and again when it is freed, and whose pages fault in
// anew every time: a few milliseconds per opened stream, more than everything else a small
// input costs. Here a freed block of that kind is kept and handed out again for the next request
// of the same size and alignment:
// - while kept it is poisoned, so a use after free still stops the run (reported as a use of
//   poisoned memory, without the free's stack); and it is handed out again only after
//   kHoldBack other blocks have been freed, so, as in the sanitizer's own quarantine, a
//   pointer left over from one opened stream does not land in the next one's spans (the
//   extraction calls open an archive several times per input);
// - when it is handed out again its first 4 KiB are filled with 0xbe and the rest keeps what it
//   held, which is what the sanitizer itself does with memory it hands out again (dropping the
//   pages instead would cost a tenth of a small input's time);
// - the block keeps the redzones of its first allocation, and a pointer into its middle still
//   reaches the sanitizer's free, which reports it.
// Everything else goes straight to the sanitizer's allocator. The fuzz targets run one thread.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sanitizer/asan_interface.h>

extern "C" void *__interceptor_aligned_alloc(std::size_t alignment, std::size_t size);
extern "C" void __interceptor_free(void *p);

namespace {

// Only blocks aligned this much or more are kept: nothing else asks for it.
constexpr std::size_t kMinAlignment = std::size_t{1} << 20;
constexpr std::size_t kMaxBlocks = 32;
constexpr uint64_t kHoldBack = 8;
// The sanitizer's defaults (malloc_fill_byte, max_malloc_fill_size).
constexpr int kFillByte = 0xbe;
constexpr std::size_t kFillSize = 4096;

struct Block {
    void *p = nullptr;
    std::size_t alignment = 0;
    std::size_t size = 0;
    bool kept = false;  // freed by its user, poisoned, waiting to be handed out again
    uint64_t freed_at = 0;
};

Block blocks[kMaxBlocks];
uint64_t frees = 0;  // blocks freed so far

Block *find(void *p) {
    for (Block &b : blocks) {
        if (b.p == p) return &b;
    }
    return nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void *aligned_alloc(std::size_t alignment,
                                                                      std::size_t size) {
    if (alignment < kMinAlignment || size == 0 || size % alignment != 0) {
        return __interceptor_aligned_alloc(alignment, size);
    }
    Block *oldest = nullptr;
    Block *empty = nullptr;
    for (Block &b : blocks) {
        if (b.p == nullptr && empty == nullptr) empty = &b;
        if (b.kept && b.alignment == alignment && b.size == size &&
            (oldest == nullptr || b.freed_at < oldest->freed_at)) {
            oldest = &b;
        }
    }
    // A new block while the kept ones are too recent, unless the table is full.
    if (oldest != nullptr && (frees - oldest->freed_at >= kHoldBack || empty == nullptr)) {
        ASAN_UNPOISON_MEMORY_REGION(oldest->p, oldest->size);
        std::memset(oldest->p, kFillByte, std::min(oldest->size, kFillSize));
        oldest->kept = false;
        return oldest->p;
    }
    void *p = __interceptor_aligned_alloc(alignment, size);
    if (p != nullptr && empty != nullptr) *empty = {p, alignment, size, false, 0};
    return p;
}

extern "C" __attribute__((visibility("default"))) void free(void *p) {
    if (p == nullptr || reinterpret_cast<std::uintptr_t>(p) % kMinAlignment != 0) {
        __interceptor_free(p);
        return;
    }
    Block *b = find(p);
    if (b == nullptr) {
        __interceptor_free(p);
        return;
    }
    if (b->kept) {
        std::fprintf(stderr, "fuzz: block %p freed twice\n", p);
        std::abort();
    }
    b->kept = true;
    b->freed_at = ++frees;
    ASAN_POISON_MEMORY_REGION(b->p, b->size);
}
