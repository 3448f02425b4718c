// The random-access layer's index: places in the decompressed stream where inflation can restart
// without the bytes before them, in stream order, as the forward pass leaves them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tesra::read {

using GzBytes = std::unique_ptr<unsigned char[]>;

struct GzAccessPoint {
    uint64_t out = 0;           // decompressed position
    uint64_t in = 0;            // file offset the inflater's input resumes from
    bool member_start = false;  // a gzip member header starts at `in`; nothing else is needed
    GzBytes state;              // what the engine that left the point needs to restart there
    std::size_t state_size = 0;
};

class GzAccessIndex {
public:
    // Points go in with nondecreasing `out`; the first one is the first member's start.
    void add(GzAccessPoint point);
    void add_member_start(uint64_t out, uint64_t in);
    void clear() noexcept { points_.clear(); }

    std::size_t size() const noexcept { return points_.size(); }
    const GzAccessPoint &operator[](std::size_t i) const noexcept { return points_[i]; }
    // Decompressed position of the last point, 0 without points.
    uint64_t last_out() const noexcept { return points_.empty() ? 0 : points_.back().out; }
    // Index of the last point at or before `pos`; there must be one.
    std::size_t last_at_or_before(uint64_t pos) const noexcept;
    // Memory held: the points and their saved states.
    std::size_t bytes() const noexcept;

private:
    std::vector<GzAccessPoint> points_;
};

}  // namespace tesra::read
