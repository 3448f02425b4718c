#include "read/gz_access_index.h"

#include <algorithm>
#include <utility>

namespace tesra::read {

void GzAccessIndex::add(GzAccessPoint point) {
    points_.push_back(std::move(point));
}

void GzAccessIndex::add_member_start(uint64_t out, uint64_t in) {
    GzAccessPoint p;
    p.out = out;
    p.in = in;
    p.member_start = true;
    points_.push_back(std::move(p));
}

std::size_t GzAccessIndex::last_at_or_before(uint64_t pos) const noexcept {
    auto it = std::upper_bound(points_.begin(), points_.end(), pos,
                               [](uint64_t p, const GzAccessPoint &a) { return p < a.out; });
    return static_cast<std::size_t>(it - points_.begin()) - 1;
}

std::size_t GzAccessIndex::bytes() const noexcept {
    std::size_t n = points_.capacity() * sizeof(GzAccessPoint);
    for (const GzAccessPoint &p : points_) n += p.state_size;
    return n;
}

}  // namespace tesra::read
