// Decompressed spans of the random-access layer: fixed-size buffers carved from large blocks, and
// a cache of them by span index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

namespace tesra::read {

// Span buffers: slices of large blocks, handed back to a free list when a span is dropped.
class GzSpanPool {
public:
    explicit GzSpanPool(std::size_t span_size);

    unsigned char *take();
    // Cannot fail: the free list has room for every span of every block.
    void give(unsigned char *p) noexcept {
        free_.push_back(p);
        --in_use_;
    }
    std::size_t bytes_in_use() const noexcept { return in_use_ * span_size_; }

private:
    struct BlockFree {
        void operator()(unsigned char *p) const noexcept;
    };
    void add_block();

    std::size_t span_size_;
    std::size_t per_block_;
    std::size_t in_use_ = 0;
    std::vector<std::unique_ptr<unsigned char, BlockFree>> blocks_;
    std::vector<unsigned char *> free_;
};

struct GzSpanReturn {
    GzSpanPool *pool = nullptr;
    void operator()(unsigned char *p) const noexcept { pool->give(p); }
};
using GzSpan = std::unique_ptr<unsigned char, GzSpanReturn>;

// Decompressed spans by index. A span whose every byte has been read is "consumed": readers
// seldom come back to it, so consumed spans are evicted first and only a few are kept, and
// their buffers go round again while still warm in the processor's caches. Spans not yet read
// through (ahead of a time-ordered walk, or another object's records) are kept up to the
// budget, least recently used evicted first.
class GzSpanCache {
public:
    GzSpanCache(std::size_t span_size, std::size_t capacity);

    // The span's bytes, marked as just used; nullptr when not cached.
    const unsigned char *find(uint64_t index);
    bool contains(uint64_t index) const { return map_.count(index) != 0; }

    // Counts `n` bytes of a cached span as read.
    void delivered(uint64_t index, std::size_t n);
    // Caches a span of which `delivered` bytes have been read already.
    void insert(uint64_t index, GzSpan data, std::size_t delivered = 0);

    void clear() noexcept {
        map_.clear();
        fresh_.clear();
        consumed_.clear();
    }

    GzSpan take_buffer() { return GzSpan(pool_.take(), GzSpanReturn{&pool_}); }
    std::size_t bytes() const noexcept { return pool_.bytes_in_use(); }

private:
    // Enough for a reader that steps back over a record or two.
    static constexpr std::size_t kConsumedKept = 16;
    struct Entry {
        uint64_t index;
        GzSpan data;
        std::size_t delivered;  // bytes read from it, repeats included
        bool consumed;
    };
    using List = std::list<Entry>;

    List &list_of(const Entry &e) { return e.consumed ? consumed_ : fresh_; }
    void erase(uint64_t index);

    GzSpanPool pool_;  // first in, last out: every span below returns to it
    std::size_t span_size_;
    std::size_t capacity_;
    List fresh_;     // most recent first
    List consumed_;  // most recent first
    std::unordered_map<uint64_t, List::iterator> map_;
};

}  // namespace tesra::read
