// Random access to a gzip file: a forward pass inflates it member by member and leaves access
// points at deflate block boundaries (input position, pending bits and the 32 KiB window that
// the next block may refer back into); a read behind the forward pass restarts inflation at the
// nearest access point before it. Decompressed spans are kept in a least-recently-used cache.
#include "read/gz_random_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <list>
#include <new>
#include <sys/mman.h>
#include <unordered_map>
#include <vector>

#include <zlib.h>

#include "read/gz_fast_inflate.h"

namespace tesra::read {

namespace {

constexpr std::size_t kWindowSize = 32768;  // deflate's largest back-reference distance
constexpr std::size_t kForwardInputSize = std::size_t{128} << 10;
constexpr std::size_t kRestartInputSize = std::size_t{64} << 10;
// Spans are carved from blocks of this size, which the kernel may back with huge pages: a
// cache filling up with fresh spans then costs few page faults.
constexpr std::size_t kBlockSize = std::size_t{2} << 20;
constexpr int kGzipWindowBits = 15 + 16;  // gzip wrapper only, as gzread inflates
constexpr int kRawWindowBits = -15;

using Bytes = std::unique_ptr<unsigned char[]>;

Bytes allocate_bytes(std::size_t n) {
    return Bytes(new unsigned char[n]);
}

// pread until `len` bytes or the end of the file: bytes read, or -1 on an I/O error.
int64_t read_file_at(int fd, unsigned char *buf, std::size_t len, uint64_t offset) noexcept {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, buf + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool is_gzip_magic(const unsigned char *p) noexcept {
    return p[0] == 0x1f && p[1] == 0x8b;
}

}  // namespace

// Parts of the layer's state; a named namespace because the state is a member type.
namespace gz_parts {

// A place where inflation can restart without the bytes before it.
struct AccessPoint {
    uint64_t out = 0;           // decompressed position
    uint64_t in = 0;            // file offset of the first whole input byte still unread
    int bits = 0;               // bits of the byte before `in` that are still to be used
    bool member_start = false;  // a gzip member header starts at `in`; no window needed
    Bytes window;               // the member's last output bytes before `out`
    uInt window_size = 0;
    Bytes saved;  // the fast inflater's saved state, for its points
    std::size_t saved_size = 0;
};

// Input for the fast inflater: a buffer over the file from a given offset.
class FastInput {
public:
    explicit FastInput(std::size_t size) : buf_(allocate_bytes(size)), size_(size) {}

    void reset(uint64_t at) noexcept {
        next_ = buf_.get();
        avail_ = 0;
        next_read_ = at;
    }
    // As Inflater::refill.
    int64_t refill(int fd) noexcept {
        if (avail_ > 0 && next_ != buf_.get()) std::memmove(buf_.get(), next_, avail_);
        next_ = buf_.get();
        const int64_t n = read_file_at(fd, buf_.get() + avail_, size_ - avail_, next_read_);
        if (n > 0) {
            avail_ += static_cast<std::size_t>(n);
            next_read_ += static_cast<uint64_t>(n);
        }
        return n;
    }
    uint64_t position() const noexcept { return next_read_ - avail_; }
    const unsigned char *&next() noexcept { return next_; }
    std::size_t &avail() noexcept { return avail_; }

private:
    Bytes buf_;
    std::size_t size_;
    const unsigned char *next_ = nullptr;
    std::size_t avail_ = 0;
    uint64_t next_read_ = 0;
};

// One z_stream with its own input buffer, reading the file from a given offset.
class Inflater {
public:
    explicit Inflater(std::size_t input_size)
        : input_(allocate_bytes(input_size)), size_(input_size) {}
    ~Inflater() {
        if (ready_) inflateEnd(&zs_);
    }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // Starts over at file offset `in` with a fresh stream of `window_bits`; false on failure.
    bool reset(int window_bits, uint64_t in) noexcept {
        if (!ready_) {
            zs_ = z_stream{};
            if (inflateInit2(&zs_, window_bits) != Z_OK) return false;
            ready_ = true;
        } else if (inflateReset2(&zs_, window_bits) != Z_OK) {
            return false;
        }
        zs_.next_in = input_.get();
        zs_.avail_in = 0;
        next_read_ = in;
        return true;
    }

    // Reads more input once the buffer is used up (keeping what is left at its front): the
    // bytes added, 0 at the end of the file, -1 on an I/O error.
    int64_t refill(int fd) noexcept {
        if (zs_.avail_in > 0 && zs_.next_in != input_.get()) {
            std::memmove(input_.get(), zs_.next_in, zs_.avail_in);
        }
        zs_.next_in = input_.get();
        const int64_t n =
            read_file_at(fd, input_.get() + zs_.avail_in, size_ - zs_.avail_in, next_read_);
        if (n > 0) {
            zs_.avail_in += static_cast<uInt>(n);
            next_read_ += static_cast<uint64_t>(n);
        }
        return n;
    }

    // File offset of the next input byte inflate would take.
    uint64_t input_position() const noexcept { return next_read_ - zs_.avail_in; }
    z_stream &stream() noexcept { return zs_; }

private:
    z_stream zs_{};
    bool ready_ = false;
    Bytes input_;
    std::size_t size_;
    uint64_t next_read_ = 0;
};

// Span buffers: slices of large blocks, handed back to a free list when a span is dropped.
class SpanPool {
public:
    explicit SpanPool(std::size_t span_size)
        : span_size_(span_size), per_block_(std::max<std::size_t>(1, kBlockSize / span_size)) {}

    unsigned char *take() {
        if (free_.empty()) add_block();
        unsigned char *p = free_.back();
        free_.pop_back();
        ++in_use_;
        return p;
    }
    // Cannot fail: the free list has room for every span of every block.
    void give(unsigned char *p) noexcept {
        free_.push_back(p);
        --in_use_;
    }
    std::size_t bytes_in_use() const noexcept { return in_use_ * span_size_; }

private:
    struct BlockFree {
        void operator()(unsigned char *p) const noexcept { std::free(p); }
    };
    void add_block() {
        const std::size_t bytes =
            (per_block_ * span_size_ + kBlockSize - 1) / kBlockSize * kBlockSize;
        auto *block = static_cast<unsigned char *>(std::aligned_alloc(kBlockSize, bytes));
        if (block == nullptr) throw std::bad_alloc();
        blocks_.emplace_back(block);
        ::madvise(block, bytes, MADV_HUGEPAGE);  // a hint; without it pages are just smaller
        free_.reserve(blocks_.size() * per_block_);
        for (std::size_t i = per_block_; i-- > 0;) free_.push_back(block + i * span_size_);
    }
    std::size_t span_size_;
    std::size_t per_block_;
    std::size_t in_use_ = 0;
    std::vector<std::unique_ptr<unsigned char, BlockFree>> blocks_;
    std::vector<unsigned char *> free_;
};

struct SpanReturn {
    SpanPool *pool = nullptr;
    void operator()(unsigned char *p) const noexcept { pool->give(p); }
};
using Span = std::unique_ptr<unsigned char, SpanReturn>;

// Decompressed spans by index. A span whose every byte has been read is "consumed": readers
// seldom come back to it, so consumed spans are evicted first and only a few are kept, and
// their buffers go round again while still warm in the processor's caches. Spans not yet read
// through (ahead of a time-ordered walk, or another object's records) are kept up to the
// budget, least recently used evicted first.
class SpanCache {
public:
    SpanCache(std::size_t span_size, std::size_t capacity)
        : pool_(span_size), span_size_(span_size), capacity_(std::max<std::size_t>(capacity, 1)) {}

    // The span's bytes, marked as just used; nullptr when not cached.
    const unsigned char *find(uint64_t index) {
        auto it = map_.find(index);
        if (it == map_.end()) return nullptr;
        Entry &e = *it->second;
        list_of(e).splice(list_of(e).begin(), list_of(e), it->second);
        return e.data.get();
    }
    bool contains(uint64_t index) const { return map_.count(index) != 0; }

    // Counts `n` bytes of a cached span as read.
    void delivered(uint64_t index, std::size_t n) {
        auto it = map_.find(index);
        if (it == map_.end()) return;
        Entry &e = *it->second;
        e.delivered += n;
        if (e.consumed || e.delivered < span_size_) return;
        e.consumed = true;
        consumed_.splice(consumed_.begin(), fresh_, it->second);
        while (consumed_.size() > kConsumedKept) erase(consumed_.back().index);
    }

    // Caches a span of which `delivered` bytes have been read already.
    void insert(uint64_t index, Span data, std::size_t delivered = 0) {
        if (contains(index)) return;
        while (map_.size() >= capacity_) {
            erase(!consumed_.empty() ? consumed_.back().index : fresh_.back().index);
        }
        fresh_.push_front(Entry{index, std::move(data), 0, false});
        map_.emplace(index, fresh_.begin());
        if (delivered > 0) this->delivered(index, delivered);
    }

    void clear() noexcept {
        map_.clear();
        fresh_.clear();
        consumed_.clear();
    }

    Span take_buffer() {
        unsigned char *p = pool_.take();
        return Span(p, SpanReturn{&pool_});
    }
    std::size_t bytes() const noexcept { return pool_.bytes_in_use(); }

private:
    // Enough for a reader that steps back over a record or two.
    static constexpr std::size_t kConsumedKept = 16;
    struct Entry {
        uint64_t index;
        Span data;
        std::size_t delivered;  // bytes read from it, repeats included
        bool consumed;
    };
    using List = std::list<Entry>;

    List &list_of(const Entry &e) { return e.consumed ? consumed_ : fresh_; }
    void erase(uint64_t index) {
        auto it = map_.find(index);
        list_of(*it->second).erase(it->second);
        map_.erase(it);
    }

    SpanPool pool_;  // first in, last out: every span below returns to it
    std::size_t span_size_;
    std::size_t capacity_;
    List fresh_;     // most recent first
    List consumed_;  // most recent first
    std::unordered_map<uint64_t, List::iterator> map_;
};

enum class Format { kUnknown, kGzip, kTransparent };
enum class Forward { kLook, kMember, kFinished, kFailed };

}  // namespace gz_parts

using namespace gz_parts;

struct GzRandomAccess::State {
    State(int file, const GzAccessOptions &opts)
        : fd(file),
          options(opts),
          cache(opts.span_size, opts.cache_budget / opts.span_size),
          forward(kForwardInputSize),
          restart(kRestartInputSize),
          fast_in(kForwardInputSize) {
        if (opts.fast_inflater) {
            fast_forward = FastInflater::create();
            for (Cursor &c : cursors) {
                c.inflater = FastInflater::create();
                if (!c.inflater) fast_forward.reset();
            }
        }
    }
    ~State() { ::close(fd); }

    int fd;
    GzAccessOptions options;
    SpanCache cache;

    // Reader-visible position, and where zlib's own stream would stand after the last read: a
    // seek before it rewinds, and only a rewind lets a stream that hit the end of the file see
    // bytes appended since.
    uint64_t position = 0;
    uint64_t stream_position = 0;
    bool end_latched = false;
    bool failed = false;  // sticky, as zlib's stream errors are

    Format format = Format::kUnknown;

    // Forward pass: everything before `forward_out` has been inflated (and checked) once.
    Inflater forward;
    bool forward_started = false;
    Forward forward_state = Forward::kLook;
    uint64_t forward_out = 0;
    Span forward_span;                  // the span that holds forward_out, being filled
    std::size_t forward_delivered = 0;  // bytes of forward_span read so far
    uint64_t last_point_out = 0;
    std::vector<AccessPoint> points;
    uint64_t inflated = 0;

    // Restarts behind the forward pass.
    Inflater restart;
    Span scratch;

    // The fast inflater's forward pass and restarts, while it is in use.
    std::unique_ptr<FastInflater> fast_forward;
    FastInput fast_in;
    // Restarts of the fast inflater stay where they stopped: a reader going through several
    // regions behind the forward pass (one object's records after another's, in a stream
    // written in batches) goes on from there instead of restarting at a point each time.
    struct Cursor {
        std::unique_ptr<FastInflater> inflater;
        FastInput in{kRestartInputSize};
        bool valid = false;
        uint64_t pos = 0;       // decompressed position it stands at
        std::size_t point = 0;  // the access point it started from
        uint64_t used = 0;      // for least-recently-used replacement
    };
    std::array<Cursor, 4> cursors;
    uint64_t cursor_clock = 0;

    uint64_t span_of(uint64_t pos) const noexcept { return pos / options.span_size; }

    // ---- forward pass --------------------------------------------------------------------

    void add_member_start(uint64_t in) {
        AccessPoint p;
        p.out = forward_out;
        p.in = in;
        p.member_start = true;
        points.push_back(std::move(p));
        last_point_out = forward_out;
    }

    void add_block_point() {
        z_stream &zs = forward.stream();
        unsigned char window[kWindowSize];
        uInt size = kWindowSize;
        if (inflateGetDictionary(&zs, window, &size) != Z_OK) return;
        AccessPoint p;
        p.out = forward_out;
        p.in = forward.input_position();
        p.bits = zs.data_type & 7;
        p.window = allocate_bytes(size == 0 ? 1 : size);
        std::memcpy(p.window.get(), window, size);
        p.window_size = size;
        points.push_back(std::move(p));
        last_point_out = forward_out;
    }

    // Between members (or before the first): decides what the next input bytes are, the way
    // gzread looks at them. False when the pass cannot go on for now.
    bool look() {
        Inflater &f = forward;
        z_stream &zs = f.stream();
        if (zs.avail_in < 2 && !end_latched && f.refill(fd) < 0) {
            forward_state = Forward::kFailed;
            return false;
        }
        if (zs.avail_in == 0) {  // nothing more for now; a member appended later may follow
            end_latched = true;
            return false;
        }
        if (zs.avail_in >= 2 && is_gzip_magic(zs.next_in)) {
            format = Format::kGzip;
            // A fresh member: a new stream over the same input buffer.
            if (inflateReset2(&zs, kGzipWindowBits) != Z_OK) {
                forward_state = Forward::kFailed;
                return false;
            }
            add_member_start(f.input_position());
            forward_state = Forward::kMember;
            return true;
        }
        // Not gzip at the start of the file: read as it is. After a member: trailing bytes that
        // do not start another member are ignored.
        if (format == Format::kUnknown) format = Format::kTransparent;
        forward_state = Forward::kFinished;
        return false;
    }

    void take_forward_span() {
        if (!forward_span) forward_span = cache.take_buffer();
    }

    // ---- the fast inflater ------------------------------------------------------------

    // Index bytes a point may add per decompressed byte, at most: 1 in 28 keeps the index
    // under 4 % of the stream.
    static constexpr uint64_t kStreamBytesPerIndexByte = 28;

    // Everything the fast inflater built is dropped and zlib starts again from the first byte.
    // Bytes already handed out stay right: both inflaters give the same bytes for every stream
    // the fast one got through.
    void fall_back_to_zlib() noexcept {
        fast_forward.reset();
        for (Cursor &c : cursors) {
            c.inflater.reset();
            c.valid = false;
        }
        forward_started = false;
        forward_state = Forward::kLook;
        forward_out = 0;
        forward_span.reset();
        forward_delivered = 0;
        last_point_out = 0;
        points.clear();
        cache.clear();
        end_latched = false;
        format = Format::kUnknown;
    }

    void add_fast_point() {
        AccessPoint p;
        p.out = forward_out;
        p.in = fast_in.position();
        p.saved_size = fast_forward->saved_size();
        p.saved = allocate_bytes(p.saved_size);
        fast_forward->save(p.saved.get());
        points.push_back(std::move(p));
        last_point_out = forward_out;
    }

    // look() for the fast pass.
    bool look_fast() {
        if (fast_in.avail() < 4 && !end_latched && fast_in.refill(fd) < 0) {
            forward_state = Forward::kFailed;
            return false;
        }
        if (fast_in.avail() == 0) {
            end_latched = true;
            return false;
        }
        if (fast_in.avail() >= 2 && is_gzip_magic(fast_in.next())) {
            if (!FastInflater::takes_header(fast_in.next(), fast_in.avail())) {
                fall_back_to_zlib();
                return false;
            }
            format = Format::kGzip;
            fast_forward->start_member();
            add_member_start(fast_in.position());
            forward_state = Forward::kMember;
            return true;
        }
        if (format == Format::kUnknown) format = Format::kTransparent;
        forward_state = Forward::kFinished;
        return false;
    }

    // advance() with the fast inflater; falls back to zlib when it cannot go on exactly.
    void advance_fast(uint64_t target) {
        if (!forward_started) {
            fast_in.reset(0);
            forward_started = true;
        }
        while (forward_out < target && fast_forward) {
            if (forward_state == Forward::kLook) {
                if (!look_fast()) return;
                continue;
            }
            if (forward_state != Forward::kMember) return;
            if (fast_in.avail() == 0 && !end_latched && fast_in.refill(fd) < 0) {
                forward_state = Forward::kFailed;
                return;
            }
            const bool input_ended = fast_in.avail() == 0;
            const std::size_t avail_before = fast_in.avail();
            take_forward_span();
            const std::size_t at = forward_out % options.span_size;
            const std::size_t room = options.span_size - at;
            std::size_t produced = 0, unused = 0;
            const FastInflater::Step step = fast_forward->inflate(
                fast_in.next(), fast_in.avail(), forward_span.get() + at, room, &produced, &unused);
            forward_out += produced;
            inflated += produced;
            if (produced == room) {
                cache.insert(span_of(forward_out - 1), std::move(forward_span), forward_delivered);
                forward_delivered = 0;
            }
            if (step == FastInflater::Step::kError) {
                fall_back_to_zlib();
                return;
            }
            if (step == FastInflater::Step::kMemberEnd) {
                fast_in.reset(fast_in.position() - unused);
                forward_state = Forward::kLook;
                continue;
            }
            // The input ended inside the member (cut short, or still being written), or
            // nothing moved: zlib settles what the stream holds.
            if ((input_ended && produced == 0) ||
                (produced == 0 && fast_in.avail() == avail_before)) {
                fall_back_to_zlib();
                return;
            }
            const uint64_t gap = forward_out - last_point_out;
            if (gap >= options.point_spacing && fast_forward->can_save() &&
                gap >= fast_forward->saved_size() * kStreamBytesPerIndexByte) {
                add_fast_point();
            }
        }
    }

    // Where a restart filling span `index` puts the bytes at `pos`: the target span; a whole
    // span on the way that is not cached (`side`, cached once full); or the scratch span.
    unsigned char *fill_destination(uint64_t index, uint64_t pos, Span &target, Span &side) {
        const uint64_t span = span_of(pos);
        if (span == index) return target.get();
        if (pos % options.span_size == 0 && !side && !cache.contains(span)) {
            side = cache.take_buffer();
            return side.get();
        }
        return side ? side.get() : scratch.get();
    }

    bool restart_fast_at(Cursor &c, std::size_t point) {
        const AccessPoint &p = points[point];
        c.valid = false;
        c.in.reset(p.in);
        c.point = point;
        c.pos = p.out;
        if (p.member_start) {
            c.inflater->start_member();
        } else if (!c.inflater->restore(p.saved.get(), p.saved_size)) {
            return false;
        }
        c.valid = true;
        return true;
    }

    // The cursor to fill from `start` with: one already between the nearest access point and
    // `start`, or the least recently used one, restarted at that point.
    Cursor *cursor_for(uint64_t start) {
        const std::size_t point = point_before(start);
        Cursor *best = nullptr;
        Cursor *oldest = &cursors[0];
        for (Cursor &c : cursors) {
            if (c.valid && c.pos <= start && c.pos >= points[point].out &&
                (best == nullptr || c.pos > best->pos)) {
                best = &c;
            }
            if (c.used < oldest->used) oldest = &c;
        }
        Cursor *c = best;
        if (c == nullptr) {
            c = oldest;
            if (!restart_fast_at(*c, point)) return nullptr;
        }
        c->used = ++cursor_clock;
        return c;
    }

    // fill_span() with the fast inflater.
    bool fill_span_fast(uint64_t index) {
        const uint64_t start = index * options.span_size;
        const uint64_t end = start + options.span_size;
        Cursor *cursor = cursor_for(start);
        if (cursor == nullptr) return false;
        Cursor &c = *cursor;
        c.valid = false;  // until it stands somewhere known again
        bool at_last_member_end = false;
        if (!scratch) scratch = cache.take_buffer();
        Span target = cache.take_buffer();
        Span side;
        while (c.pos < end) {
            const uint64_t span = span_of(c.pos);
            const std::size_t at = c.pos % options.span_size;
            unsigned char *dst = fill_destination(index, c.pos, target, side);
            if (c.in.avail() == 0 && c.in.refill(fd) < 0) return false;
            const std::size_t avail_before = c.in.avail();
            // Stop at the span's end, so the cursor stands at the next span's first byte.
            const std::size_t room = options.span_size - at;
            std::size_t produced = 0, unused = 0;
            const FastInflater::Step step =
                c.inflater->inflate(c.in.next(), c.in.avail(), dst + at, room, &produced, &unused);
            c.pos += produced;
            inflated += produced;
            if (side && span_of(c.pos) != span) cache.insert(span, std::move(side));
            if (step == FastInflater::Step::kError) return false;
            if (step == FastInflater::Step::kMemberEnd) {
                // The next member, if the forward pass found one, starts at the last access
                // point at this position.
                const std::size_t next = point_before(c.pos);
                if (next > c.point && points[next].out == c.pos) {
                    if (!restart_fast_at(c, next)) return false;
                    c.valid = false;
                } else if (c.pos < end) {
                    return false;  // the stream ends inside a span it filled before
                } else {
                    at_last_member_end = true;
                }
                if (c.pos >= end) break;
                continue;
            }
            if (c.pos >= end) break;
            // These bytes were inflated once already, so the input cannot run out here.
            if (produced == 0 && c.in.avail() == avail_before) return false;
        }
        c.valid = !at_last_member_end;
        cache.insert(index, std::move(target));
        return true;
    }

    // ---- zlib ----------------------------------------------------------------------------

    // Inflates forward until `target` is covered, the input ends or an error stops the pass.
    void advance(uint64_t target) {
        if (fast_forward) {
            advance_fast(target);
            if (fast_forward) return;
            // Fell back: zlib takes it from the first byte.
        }
        if (!forward_started) {
            if (!forward.reset(kGzipWindowBits, 0)) {
                forward_state = Forward::kFailed;
                return;
            }
            forward_started = true;
        }
        while (forward_out < target) {
            if (forward_state == Forward::kLook) {
                if (!look()) return;
                continue;
            }
            if (forward_state != Forward::kMember) return;
            z_stream &zs = forward.stream();
            if (zs.avail_in == 0 && !end_latched && forward.refill(fd) < 0) {
                forward_state = Forward::kFailed;
                return;
            }
            // Without input inflate may still have output pending from bits it holds.
            const bool input_ended = zs.avail_in == 0;
            take_forward_span();
            const std::size_t at = forward_out % options.span_size;
            const std::size_t room = options.span_size - at;
            zs.next_out = forward_span.get() + at;
            zs.avail_out = static_cast<uInt>(room);
            const int rc = inflate(&zs, input_ended ? Z_NO_FLUSH : Z_BLOCK);
            const std::size_t produced = room - zs.avail_out;
            forward_out += produced;
            inflated += produced;
            if (produced == room) {
                cache.insert(span_of(forward_out - 1), std::move(forward_span), forward_delivered);
                forward_delivered = 0;
            }
            if (rc == Z_STREAM_END) {
                forward_state = Forward::kLook;
                continue;
            }
            if (input_ended && produced == 0 && rc == Z_BUF_ERROR) {
                end_latched = true;  // cut short; inflation resumes if the file grows
                return;
            }
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                forward_state = Forward::kFailed;
                return;
            }
            // At a block boundary that is not the stream's end, with enough output since the
            // last point: a restart here needs only the window and the pending bits.
            if ((zs.data_type & 128) != 0 && (zs.data_type & 64) == 0 &&
                forward_out - last_point_out >= options.point_spacing) {
                add_block_point();
            }
        }
    }

    // ---- restarts ------------------------------------------------------------------------

    // Index of the last access point at or before `pos`.
    std::size_t point_before(uint64_t pos) const {
        auto it = std::upper_bound(points.begin(), points.end(), pos,
                                   [](uint64_t p, const AccessPoint &a) { return p < a.out; });
        return static_cast<std::size_t>(it - points.begin()) - 1;
    }

    bool restart_at(const AccessPoint &p) {
        if (p.member_start) return restart.reset(kGzipWindowBits, p.in);
        const uint64_t first = p.in - (p.bits != 0 ? 1 : 0);
        if (!restart.reset(kRawWindowBits, first)) return false;
        z_stream &zs = restart.stream();
        if (p.bits != 0) {
            if (restart.refill(fd) <= 0) return false;
            const int value = zs.next_in[0] >> (8 - p.bits);
            ++zs.next_in;
            --zs.avail_in;
            if (inflatePrime(&zs, p.bits, value) != Z_OK) return false;
        }
        return inflateSetDictionary(&zs, p.window.get(), p.window_size) == Z_OK;
    }

    // Inflates the complete span `index` (it lies wholly behind the forward pass) into the
    // cache, and with it the whole spans between the access point and it.
    bool fill_span(uint64_t index) {
        const uint64_t start = index * options.span_size;
        const uint64_t end = start + options.span_size;
        std::size_t point = point_before(start);
        if (!restart_at(points[point])) return false;
        uint64_t pos = points[point].out;
        if (!scratch) scratch = cache.take_buffer();
        Span target = cache.take_buffer();
        Span side;  // a whole earlier span on the way, cached too
        while (pos < end) {
            const uint64_t span = span_of(pos);
            const std::size_t at = pos % options.span_size;
            unsigned char *dst = fill_destination(index, pos, target, side);
            z_stream &zs = restart.stream();
            if (zs.avail_in == 0 && restart.refill(fd) < 0) return false;
            const std::size_t room = options.span_size - at;
            zs.next_out = dst + at;
            zs.avail_out = static_cast<uInt>(room);
            const int rc = inflate(&zs, Z_NO_FLUSH);
            const std::size_t produced = room - zs.avail_out;
            pos += produced;
            inflated += produced;
            if (side && span_of(pos) != span) cache.insert(span, std::move(side));
            if (pos >= end) break;
            if (rc == Z_STREAM_END) {
                // The member ended; the next one (behind the forward pass too) starts at the
                // last access point at this position.
                const std::size_t next = point_before(pos);
                if (next <= point || points[next].out != pos) return false;
                point = next;
                if (!restart_at(points[point])) return false;
                continue;
            }
            // The bytes were inflated once already, so the input cannot run out here.
            if (rc != Z_OK && rc != Z_BUF_ERROR) return false;
            if (rc == Z_BUF_ERROR && zs.avail_in == 0) return false;
        }
        cache.insert(index, std::move(target));
        return true;
    }

    // Bytes of span `index` from `pos` on; nullptr if they cannot be produced (after a
    // fallback to zlib, *retry says to look again).
    const unsigned char *span_bytes(uint64_t index, bool *retry) {
        *retry = false;
        if (index == span_of(forward_out)) return forward_span.get();
        if (const unsigned char *p = cache.find(index)) return p;
        if (fast_forward) {
            if (!fill_span_fast(index)) {
                fall_back_to_zlib();
                *retry = true;
                return nullptr;
            }
        } else if (!fill_span(index)) {
            return nullptr;
        }
        return cache.find(index);
    }

    // ---- reads ---------------------------------------------------------------------------

    int64_t read_transparent(unsigned char *buf, std::size_t len) {
        if (end_latched) return 0;
        const int64_t n = read_file_at(fd, buf, len, position);
        if (n >= 0 && static_cast<std::size_t>(n) < len) end_latched = true;
        return n;
    }

    // Bytes copied from `position` on, or -1 when the stream fails before the request is met.
    int64_t read_at(unsigned char *buf, std::size_t len) {
        if (format == Format::kUnknown) advance(1);
        if (format == Format::kTransparent) return read_transparent(buf, len);
        std::size_t done = 0;
        while (done < len) {
            const uint64_t pos = position + done;
            if (pos >= forward_out) {
                if (forward_state == Forward::kFailed) return -1;
                const uint64_t before = forward_out;
                // Span by span, so a read larger than the cache copies each span while it
                // is still there.
                advance(std::min<uint64_t>(position + len, (span_of(pos) + 1) * options.span_size));
                if (forward_out == before) {
                    if (forward_state == Forward::kFailed) return -1;
                    break;  // the end of the stream, for now
                }
                continue;
            }
            const uint64_t index = span_of(pos);
            bool retry = false;
            const unsigned char *src = span_bytes(index, &retry);
            if (src == nullptr) {
                if (retry) continue;
                return -1;
            }
            const uint64_t span_end = std::min((index + 1) * options.span_size, forward_out);
            const std::size_t n =
                static_cast<std::size_t>(std::min<uint64_t>(span_end - pos, len - done));
            std::memcpy(buf + done, src + pos % options.span_size, n);
            if (index == span_of(forward_out)) {
                forward_delivered += n;
            } else {
                cache.delivered(index, n);
            }
            done += n;
        }
        return static_cast<int64_t>(done);
    }
};

GzRandomAccess::GzRandomAccess(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
GzRandomAccess::~GzRandomAccess() = default;

std::unique_ptr<GzRandomAccess> GzRandomAccess::open(const char *path,
                                                     const GzAccessOptions &options) noexcept {
    if (path == nullptr || options.span_size == 0 || options.point_spacing == 0 ||
        options.span_size > UINT_MAX) {
        return nullptr;
    }
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::unique_ptr<State> state;
    try {
        state = std::make_unique<State>(fd, options);
    } catch (const std::bad_alloc &) {
        ::close(fd);
        return nullptr;
    }
    // From here the state owns the descriptor.
    return std::unique_ptr<GzRandomAccess>(new (std::nothrow) GzRandomAccess(std::move(state)));
}

int64_t GzRandomAccess::seek(int64_t offset) noexcept {
    State &s = *state_;
    if (s.failed || offset < 0) return -1;
    const uint64_t target = static_cast<uint64_t>(offset);
    // zlib rewinds for a backward seek and seeks a transparent file directly; both forget
    // that the end of the file was reached.
    if (target < s.stream_position || s.format == Format::kTransparent) s.end_latched = false;
    s.position = target;
    return offset;
}

int GzRandomAccess::read(void *buf, unsigned len) noexcept {
    State &s = *state_;
    if (s.failed) return -1;
    if (len > static_cast<unsigned>(INT_MAX)) {
        s.failed = true;
        return -1;
    }
    if (len == 0) return 0;
    int64_t n = -1;
    try {
        n = s.read_at(static_cast<unsigned char *>(buf), len);
    } catch (const std::bad_alloc &) {
        n = -1;
    }
    if (n < 0) {
        s.failed = true;
        return -1;
    }
    if (s.format != Format::kTransparent) s.position = std::min(s.position, s.forward_out);
    s.position += static_cast<uint64_t>(n);
    s.stream_position = s.position;
    return static_cast<int>(n);
}

GzAccessStats GzRandomAccess::stats() const noexcept {
    const State &s = *state_;
    GzAccessStats out;
    out.inflated_bytes = s.inflated;
    out.access_points = s.points.size();
    out.index_bytes = s.points.capacity() * sizeof(AccessPoint);
    for (const AccessPoint &p : s.points) out.index_bytes += p.window_size + p.saved_size;
    out.fast_inflater = s.fast_forward != nullptr;
    out.cache_bytes = s.cache.bytes();
    return out;
}

void release_gz_random_access(void *state) noexcept {
    delete static_cast<GzRandomAccess *>(state);
}

}  // namespace tesra::read
