// The reader's random-access layer against zlib: for any file and any sequence of seeks and
// reads, the layer must return what zlib reads from the file's start, at the same offsets,
// whichever inflater it uses, and fail only where zlib fails. Input:
//   u8  options: bit 0 set: zlib only; bits 1-2: span and point spacing, from tight to default
//   u8  number of operations (at most 24), then 5 bytes each: u8 kind, u32 little-endian value
//       (kind % 4: 0 seek to value, 1 seek back by value % 2^17, 2 read value % 2^17 bytes,
//       3 read value % 64 bytes)
//   the file, byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <zlib.h>

#include "fuzz_support.h"

// The layer is internal to the reader library (hidden), so it is compiled in here.
#include "read/gz_access_index.cc"
#include "read/gz_engine.cc"
#include "read/gz_fast_inflate.cc"
#include "read/gz_isal_engine.cc"
#include "read/gz_random_access.cc"
#include "read/gz_span_cache.cc"
#include "read/gz_zlib_engine.cc"

namespace {

struct Op {
    uint8_t kind;
    uint32_t value;
};

uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

tesra::read::GzAccessOptions options_for(uint8_t flags) {
    tesra::read::GzAccessOptions o;
    switch ((flags >> 1) & 3) {
        case 0:
            o = {32 << 10, 8 << 10, 64 << 10};
            break;
        case 1:
            o = {64 << 10, 16 << 10, 32 << 10};
            break;
        case 2:
            o = {256 << 10, 64 << 10, 1 << 20};
            break;
        default:
            break;  // the defaults
    }
    o.fast_inflater = (flags & 1) == 0;
    return o;
}

// Every byte zlib can inflate from the file read from its start, member after member as gzread
// goes (a file that does not start as gzip is read as it is; bytes after a member that do not
// start another one end the stream), and whether an error ended it. gzread itself is not the
// reference: on a stream cut short it stops a few hundred bytes early or not, depending on the
// sizes of the reads and on seeks.
// Inflated only as far as the reads need (a few short reads of a stream that inflates to
// megabytes are the common input), into one buffer kept across inputs: fresh megabytes per
// input cost more in page faults and sanitizer bookkeeping than the inflating itself.
constexpr std::size_t kMaxInflated = std::size_t{64} << 20;

// How far the reads of an input may reach into the decompressed stream: every byte up to the
// furthest one is inflated twice, by the layer and here, so an input reaching megabytes costs
// tens of milliseconds. 1.5 MiB still takes a stream past an access point at the default spacing
// (1 MiB) and past the fast inflater's (about 600 KiB), with room to read behind them; inputs
// reaching further into a stream that long are skipped. (A failing read is still checked against
// zlib up to kMaxInflated.) The regression inputs reach a few megabytes: their replay sets
// TESRA_FUZZ_GZ_FULL_REACH, which lifts the cap to kMaxInflated.
std::size_t max_reach() {
    static const std::size_t cap =
        std::getenv("TESRA_FUZZ_GZ_FULL_REACH") != nullptr ? kMaxInflated : std::size_t{3} << 19;
    return cap;
}

class Reference {
public:
    // The inflater is made once and reset for each input: freed in one input and made again
    // in the next, its memory would count as leaked by the input that made it, and libFuzzer
    // runs such an input a second time to look for a leak.
    void reset(std::span<const uint8_t> file) {
        bytes_.clear();
        failed_ = false;
        complete_ = false;
        if (file.size() < 2 || file[0] != 0x1f || file[1] != 0x8b) {
            bytes_.assign(file.begin(), file.end());
            complete_ = true;
            return;
        }
        if (!made_) {
            if (inflateInit2(&zs_, 15 + 16) != Z_OK) std::abort();
            made_ = true;
        } else if (inflateReset(&zs_) != Z_OK) {
            std::abort();
        }
        zs_.next_in = const_cast<Bytef *>(file.data());
        zs_.avail_in = static_cast<uInt>(file.size());
    }
    // Inflates until `size` bytes are known or the stream ends; false past `limit`.
    bool ensure(std::size_t size, std::size_t limit) {
        constexpr std::size_t kStep = 1 << 16;
        while (!complete_ && bytes_.size() < size) {
            if (bytes_.size() > limit) return false;
            const std::size_t had = bytes_.size();
            bytes_.resize(had + kStep);
            zs_.next_out = bytes_.data() + had;
            zs_.avail_out = static_cast<uInt>(kStep);
            const int rc = inflate(&zs_, Z_NO_FLUSH);
            bytes_.resize(had + kStep - zs_.avail_out);
            if (rc == Z_STREAM_END) {
                if (zs_.avail_in < 2 || zs_.next_in[0] != 0x1f || zs_.next_in[1] != 0x8b) {
                    complete_ = true;
                } else if (inflateReset(&zs_) != Z_OK) {
                    std::abort();
                }
                continue;
            }
            if (rc == Z_BUF_ERROR && zs_.avail_in == 0) {
                complete_ = true;  // cut short: what it held is all
            } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
                failed_ = complete_ = true;
            }
        }
        return true;
    }
    // Whether zlib fails anywhere in the file; false when it inflates past kMaxInflated.
    bool finish() { return ensure(SIZE_MAX, kMaxInflated); }

    const std::vector<unsigned char> &bytes() const { return bytes_; }
    bool complete() const { return complete_; }
    bool failed() const { return failed_; }

private:
    z_stream zs_{};
    bool made_ = false;
    std::vector<unsigned char> bytes_;
    bool failed_ = false;
    bool complete_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const std::size_t count = std::min<std::size_t>(data[1], 24);
    std::size_t at = 2;
    std::vector<Op> ops;
    for (std::size_t i = 0; i < count && at + 5 <= size; ++i, at += 5) {
        ops.push_back({data[at], le32(data + at + 1)});
    }
    const std::string path = tesra::fuzz::scratch_path("layer.gz");
    const std::span<const uint8_t> file(data + at, size - at);
    if (!tesra::fuzz::write_bytes(path, file)) return 0;
    static Reference ref;
    ref.reset(file);
    // The furthest byte any read can ask for, as if every read returned all it asked.
    std::size_t furthest = 0;
    {
        int64_t position = 0;
        for (const Op &op : ops) {
            if (op.kind % 4 == 0) position = op.value;
            if (op.kind % 4 == 1) position = std::max<int64_t>(0, position - (op.value % (1 << 17)));
            if (op.kind % 4 >= 2) {
                position += op.kind % 4 == 2 ? op.value % (1 << 17) : op.value % 64;
                furthest = std::max(furthest, static_cast<std::size_t>(position));
            }
        }
    }
    if (!ref.ensure(furthest, max_reach())) return 0;

    auto layer = tesra::read::GzRandomAccess::open(path.c_str(), options_for(flags));
    if (!layer) std::abort();
    static std::vector<unsigned char> got(1 << 17);
    int64_t position = 0;
    for (const Op &op : ops) {
        if (op.kind % 4 < 2) {
            const int64_t target = op.kind % 4 == 0
                                       ? int64_t{op.value}
                                       : std::max<int64_t>(0, position - (op.value % (1 << 17)));
            const int64_t result = layer->seek(target);
            if (result < 0) break;  // only after a failed read, which is checked below
            if (result != target) std::abort();
            position = target;
            continue;
        }
        const unsigned len = op.kind % 4 == 2 ? op.value % (1 << 17) : op.value % 64;
        const int n = layer->read(got.data(), len);
        // The layer fails only where zlib fails too (and may fail on a read that ends before
        // the damage, as zlib reads ahead too); otherwise it returns exactly zlib's bytes.
        if (n < 0) {
            if (!ref.finish()) return 0;
            if (!ref.failed()) std::abort();
            break;
        }
        const auto pos = static_cast<std::size_t>(position);
        const auto &bytes = ref.bytes();
        const std::size_t known = pos < bytes.size() ? bytes.size() - pos : 0;
        const std::size_t expected = std::min<std::size_t>(len, known);
        if (static_cast<std::size_t>(n) < expected) std::abort();
        // zlib refuses some damaged streams at a block header the fast inflater takes (an
        // incomplete Huffman code set, say); that inflater then goes on until the member's
        // check fails, as zlib itself does for damage inside a block. Bytes past zlib's stop
        // are then not compared. (Fewer bytes than asked means the reference is complete.)
        const bool may_outrun_zlib = ref.complete() && ref.failed() && layer->stats().fast_inflater;
        if (static_cast<std::size_t>(n) > expected && !may_outrun_zlib) std::abort();
        if (expected > 0 && std::memcmp(got.data(), bytes.data() + pos, expected) != 0) {
            std::abort();
        }
        position += n;
    }
    return 0;
}
