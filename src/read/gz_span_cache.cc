#include "read/gz_span_cache.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

namespace tesra::read {

namespace {

// Spans are carved from blocks of this size, which the kernel may back with huge pages: a
// cache filling up with fresh spans then costs few page faults.
constexpr std::size_t kSpanBlockSize = std::size_t{2} << 20;

}  // namespace

GzSpanPool::GzSpanPool(std::size_t span_size)
    : span_size_(span_size), per_block_(std::max<std::size_t>(1, kSpanBlockSize / span_size)) {}

void GzSpanPool::BlockFree::operator()(unsigned char *p) const noexcept {
    std::free(p);
}

unsigned char *GzSpanPool::take() {
    if (free_.empty()) add_block();
    unsigned char *p = free_.back();
    free_.pop_back();
    ++in_use_;
    return p;
}

void GzSpanPool::add_block() {
    const std::size_t bytes =
        (per_block_ * span_size_ + kSpanBlockSize - 1) / kSpanBlockSize * kSpanBlockSize;
    auto *block = static_cast<unsigned char *>(std::aligned_alloc(kSpanBlockSize, bytes));
    if (block == nullptr) throw std::bad_alloc();
    blocks_.emplace_back(block);
    ::madvise(block, bytes, MADV_HUGEPAGE);  // a hint; without it pages are just smaller
    free_.reserve(blocks_.size() * per_block_);
    for (std::size_t i = per_block_; i-- > 0;) free_.push_back(block + i * span_size_);
}

GzSpanCache::GzSpanCache(std::size_t span_size, std::size_t capacity)
    : pool_(span_size), span_size_(span_size), capacity_(std::max<std::size_t>(capacity, 1)) {}

const unsigned char *GzSpanCache::find(uint64_t index) {
    auto it = map_.find(index);
    if (it == map_.end()) return nullptr;
    Entry &e = *it->second;
    list_of(e).splice(list_of(e).begin(), list_of(e), it->second);
    return e.data.get();
}

void GzSpanCache::delivered(uint64_t index, std::size_t n) {
    auto it = map_.find(index);
    if (it == map_.end()) return;
    Entry &e = *it->second;
    e.delivered += n;
    if (e.consumed || e.delivered < span_size_) return;
    e.consumed = true;
    consumed_.splice(consumed_.begin(), fresh_, it->second);
    while (consumed_.size() > kConsumedKept) erase(consumed_.back().index);
}

void GzSpanCache::insert(uint64_t index, GzSpan data, std::size_t delivered) {
    if (contains(index)) return;
    while (map_.size() >= capacity_) {
        erase(!consumed_.empty() ? consumed_.back().index : fresh_.back().index);
    }
    fresh_.push_front(Entry{index, std::move(data), 0, false});
    map_.emplace(index, fresh_.begin());
    if (delivered > 0) this->delivered(index, delivered);
}

void GzSpanCache::erase(uint64_t index) {
    auto it = map_.find(index);
    list_of(*it->second).erase(it->second);
    map_.erase(it);
}

}  // namespace tesra::read
