// Random access to a gzip file: a forward pass inflates it member by member and leaves access
// points behind; a read behind the forward pass restarts inflation at the nearest access point
// before it. Decompressed spans are kept in a least-recently-used cache. Inflation goes through
// an engine (gz_engine.h): the fast one while it can settle everything exactly as zlib does,
// zlib's otherwise.
#include "read/gz_random_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "read/gz_access_index.h"
#include "read/gz_engine.h"
#include "read/gz_span_cache.h"

namespace tesra::read {

namespace {

constexpr std::size_t kForwardInputSize = std::size_t{128} << 10;
constexpr std::size_t kRestartInputSize = std::size_t{64} << 10;
// Restarts kept standing where they stopped.
constexpr std::size_t kCursorCount = 4;

bool is_gzip_magic(const unsigned char *p) noexcept {
    return p[0] == 0x1f && p[1] == 0x8b;
}

}  // namespace

struct GzRandomAccess::State {
    enum class Format { kUnknown, kGzip, kTransparent };
    enum class Pass { kLook, kMember, kFinished, kFailed };

    // The forward pass: inflates the file once from its first byte, member after member, and
    // leaves access points behind. Everything before `out` has been inflated (and checked).
    struct ForwardPass {
        explicit ForwardPass(int fd) : in(fd, kForwardInputSize) {}

        // Back to the first byte, inflating with `with`.
        void restart(std::unique_ptr<GzEngine> with) noexcept {
            engine = std::move(with);
            started = false;
            state = Pass::kLook;
            format = Format::kUnknown;
            out = 0;
            span.reset();
            delivered = 0;
            end_latched = false;
        }

        std::unique_ptr<GzEngine> engine;
        GzInput in;
        bool started = false;
        Pass state = Pass::kLook;
        Format format = Format::kUnknown;
        uint64_t out = 0;
        GzSpan span;                // the span that holds `out`, being filled
        std::size_t delivered = 0;  // bytes of `span` read so far
        // The input met the end of the file (or, for a file read as it is, a read did): the
        // pass waits there and goes on from where it stopped once this is cleared.
        bool end_latched = false;
    };

    // A restart behind the forward pass. Restarts stay where they stopped: a reader going
    // through several regions behind the forward pass (one object's records after another's,
    // in a stream written in batches) goes on from there instead of restarting at a point
    // each time.
    struct Cursor {
        explicit Cursor(int fd) : in(fd, kRestartInputSize) {}
        std::unique_ptr<GzEngine> engine;
        GzInput in;
        bool valid = false;
        uint64_t pos = 0;       // decompressed position it stands at
        std::size_t point = 0;  // the access point it started from
        uint64_t used = 0;      // for least-recently-used replacement
    };

    State(int file, const GzAccessOptions &opts)
        : fd(file),
          options(opts),
          cache(opts.span_size, opts.cache_budget / opts.span_size),
          forward(file) {
        cursors.reserve(kCursorCount);
        for (std::size_t i = 0; i < kCursorCount; ++i) cursors.emplace_back(file);
        if (opts.fast_inflater) {
            forward.engine = make_fast_engine();
            fast = forward.engine != nullptr;
            for (Cursor &c : cursors) {
                c.engine = make_fast_engine();
                fast = fast && c.engine != nullptr;
            }
        }
        if (!fast) use_zlib();
    }
    ~State() { ::close(fd); }

    int fd;
    GzAccessOptions options;
    GzSpanCache cache;
    GzAccessIndex index;
    bool fast = false;       // inflating with the fast engine (not fallen back to zlib)
    bool following = false;  // a member cut short at the end of the file is waited on

    // Reader-visible position, and where zlib's own stream would stand after the last read: a
    // seek before it rewinds, and only a rewind lets a stream that hit the end of the file see
    // bytes appended since.
    uint64_t position = 0;
    uint64_t stream_position = 0;
    bool failed = false;  // sticky, as zlib's stream errors are

    ForwardPass forward;
    uint64_t inflated = 0;  // every byte inflated, forward pass and restarts together

    std::vector<Cursor> cursors;
    uint64_t cursor_clock = 0;
    GzSpan scratch;

    uint64_t span_of(uint64_t pos) const noexcept { return pos / options.span_size; }

    // ---- engines -------------------------------------------------------------------------

    // zlib's engines in place of whatever the pass and the restarts held; the pass starts again
    // from the first byte.
    void use_zlib() {
        fast = false;
        forward.restart(make_zlib_engine(/*stops_at_blocks=*/true));
        for (Cursor &c : cursors) {
            c.engine = make_zlib_engine(/*stops_at_blocks=*/false);
            c.valid = false;
        }
    }

    // Everything the fast engine built is dropped and zlib starts again from the first byte.
    // Bytes already handed out stay right: both engines give the same bytes for every stream
    // the fast one got through.
    void fall_back_to_zlib() {
        index.clear();
        cache.clear();
        use_zlib();
    }

    // ---- forward pass --------------------------------------------------------------------

    // Inflates forward until `target` is covered, the input ends or an error stops the pass.
    void advance(uint64_t target) {
        while (forward.out < target && step_forward()) {
        }
    }

    // One step of the forward pass; false when it cannot go on for now.
    bool step_forward() {
        if (!forward.started) {
            forward.in.reset(0);
            forward.started = true;
        }
        switch (forward.state) {
            case Pass::kLook:
                return look();
            case Pass::kMember:
                return inflate_forward();
            default:
                return false;
        }
    }

    bool stop_forward() noexcept {
        forward.state = Pass::kFailed;
        return false;
    }

    // The engine cannot go on: zlib's failure is the stream's, the fast engine's sends the
    // pass back to zlib (whether the pass goes on).
    bool engine_failed() {
        if (!fast) return stop_forward();
        fall_back_to_zlib();
        return true;
    }

    // Between members (or before the first): decides what the next input bytes are, the way
    // gzread looks at them.
    bool look() {
        GzInput &in = forward.in;
        if (in.avail() < 4 && !forward.end_latched && in.refill() < 0) return stop_forward();
        if (in.avail() == 0) {  // nothing more for now; a member appended later may follow
            forward.end_latched = true;
            return false;
        }
        if (in.avail() >= 2 && is_gzip_magic(in.next())) {
            if (!forward.engine->takes_header(in.next(), in.avail())) return engine_failed();
            if (!forward.engine->start_member()) return engine_failed();
            forward.format = Format::kGzip;
            index.add_member_start(forward.out, in.position());
            forward.state = Pass::kMember;
            return true;
        }
        // Not gzip at the start of the file: read as it is. After a member: trailing bytes that
        // do not start another member are ignored.
        if (forward.format == Format::kUnknown) forward.format = Format::kTransparent;
        forward.state = Pass::kFinished;
        return false;
    }

    bool inflate_forward() {
        GzInput &in = forward.in;
        if (in.avail() == 0 && !forward.end_latched && in.refill() < 0) return stop_forward();
        const bool input_ended = in.avail() == 0;
        const std::size_t avail_before = in.avail();
        if (!forward.span) forward.span = cache.take_buffer();
        const std::size_t at = forward.out % options.span_size;
        const std::size_t room = options.span_size - at;
        std::size_t produced = 0;
        const GzEngine::Step step =
            forward.engine->inflate(in, forward.span.get() + at, room, &produced);
        forward.out += produced;
        inflated += produced;
        if (produced == room) {
            cache.insert(span_of(forward.out - 1), std::move(forward.span), forward.delivered);
            forward.delivered = 0;
        }
        if (step == GzEngine::Step::kError) return engine_failed();
        if (step == GzEngine::Step::kMemberEnd) {
            forward.state = Pass::kLook;
            return true;
        }
        if (produced == 0 && in.avail() == avail_before) {
            // Nothing moved. With the input at its end the member is cut short or still being
            // written, and zlib waits for the file to grow; the fast engine leaves that (unless
            // the file is followed as it grows), and anything else it cannot get through, to
            // zlib.
            if (input_ended && (forward.engine->is_reference() || following)) {
                forward.end_latched = true;
                return false;
            }
            return engine_failed();
        }
        const uint64_t gap = forward.out - index.last_out();
        if (gap >= options.point_spacing && forward.engine->point_due(gap)) {
            GzAccessPoint p;
            p.out = forward.out;
            if (forward.engine->save(in, p)) index.add(std::move(p));
        }
        return true;
    }

    // ---- restarts ------------------------------------------------------------------------

    bool restart_at(Cursor &c, std::size_t point) {
        const GzAccessPoint &p = index[point];
        c.valid = false;
        c.point = point;
        c.pos = p.out;
        if (p.member_start) {
            c.in.reset(p.in);
            if (!c.engine->start_member()) return false;
        } else if (!c.engine->restore(p, c.in)) {
            return false;
        }
        c.valid = true;
        return true;
    }

    // The cursor to fill from `start` with: one already between the nearest access point and
    // `start`, or the least recently used one, restarted at that point.
    Cursor *cursor_for(uint64_t start) {
        const std::size_t point = index.last_at_or_before(start);
        Cursor *best = nullptr;
        Cursor *oldest = &cursors[0];
        for (Cursor &c : cursors) {
            if (c.valid && c.pos <= start && c.pos >= index[point].out &&
                (best == nullptr || c.pos > best->pos)) {
                best = &c;
            }
            if (c.used < oldest->used) oldest = &c;
        }
        Cursor *c = best;
        if (c == nullptr) {
            c = oldest;
            if (!restart_at(*c, point)) return nullptr;
        }
        c->used = ++cursor_clock;
        return c;
    }

    // Where a restart filling span `index` puts the bytes at `pos`: the target span; a whole
    // span on the way that is not cached (`side`, cached once full); or the scratch span.
    unsigned char *fill_destination(uint64_t target_index,
                                    uint64_t pos,
                                    GzSpan &target,
                                    GzSpan &side) {
        const uint64_t span = span_of(pos);
        if (span == target_index) return target.get();
        if (pos % options.span_size == 0 && !side && !cache.contains(span)) {
            side = cache.take_buffer();
            return side.get();
        }
        return side ? side.get() : scratch.get();
    }

    // Inflates the complete span `index` (it lies wholly behind the forward pass) into the
    // cache, and with it the whole spans between the cursor and it.
    bool fill_span(uint64_t span_index) {
        const uint64_t start = span_index * options.span_size;
        const uint64_t end = start + options.span_size;
        Cursor *cursor = cursor_for(start);
        if (cursor == nullptr) return false;
        Cursor &c = *cursor;
        c.valid = false;  // until it stands somewhere known again
        bool at_last_member_end = false;
        if (!scratch) scratch = cache.take_buffer();
        GzSpan target = cache.take_buffer();
        GzSpan side;
        while (c.pos < end) {
            const uint64_t span = span_of(c.pos);
            const std::size_t at = c.pos % options.span_size;
            unsigned char *dst = fill_destination(span_index, c.pos, target, side);
            if (c.in.avail() == 0 && c.in.refill() < 0) return false;
            const std::size_t avail_before = c.in.avail();
            // Stop at the span's end, so the cursor stands at the next span's first byte.
            const std::size_t room = options.span_size - at;
            std::size_t produced = 0;
            const GzEngine::Step step = c.engine->inflate(c.in, dst + at, room, &produced);
            c.pos += produced;
            inflated += produced;
            if (side && span_of(c.pos) != span) cache.insert(span, std::move(side));
            if (step == GzEngine::Step::kError) return false;
            if (step == GzEngine::Step::kMemberEnd) {
                // The next member, if the forward pass found one, starts at the last access
                // point at this position.
                const std::size_t next = index.last_at_or_before(c.pos);
                if (next > c.point && index[next].out == c.pos) {
                    if (!restart_at(c, next)) return false;
                    c.valid = false;
                } else if (c.pos < end) {
                    return false;  // the stream ends inside a span it filled before
                } else {
                    at_last_member_end = true;
                }
                continue;
            }
            if (c.pos >= end) break;
            // These bytes were inflated once already, so the input cannot run out here.
            if (produced == 0 && c.in.avail() == avail_before) return false;
        }
        c.valid = !at_last_member_end;
        cache.insert(span_index, std::move(target));
        return true;
    }

    // Bytes of span `index` from `pos` on; nullptr if they cannot be produced (after a
    // fallback to zlib, *retry says to look again).
    const unsigned char *span_bytes(uint64_t span_index, bool *retry) {
        *retry = false;
        if (span_index == span_of(forward.out)) return forward.span.get();
        if (const unsigned char *p = cache.find(span_index)) return p;
        if (!fill_span(span_index)) {
            if (fast) {
                fall_back_to_zlib();
                *retry = true;
            }
            return nullptr;
        }
        return cache.find(span_index);
    }

    // ---- reads ---------------------------------------------------------------------------

    int64_t read_transparent(unsigned char *buf, std::size_t len) {
        if (forward.end_latched) return 0;
        const int64_t n = read_file_at(fd, buf, len, position);
        if (n >= 0 && static_cast<std::size_t>(n) < len) forward.end_latched = true;
        return n;
    }

    // Bytes copied from `position` on, or -1 when the stream fails before the request is met.
    int64_t read_at(unsigned char *buf, std::size_t len) {
        if (forward.format == Format::kUnknown) advance(1);
        if (forward.format == Format::kTransparent) return read_transparent(buf, len);
        std::size_t done = 0;
        while (done < len) {
            const uint64_t pos = position + done;
            if (pos >= forward.out) {
                if (forward.state == Pass::kFailed) return -1;
                const uint64_t before = forward.out;
                // Span by span, so a read larger than the cache copies each span while it
                // is still there.
                advance(std::min<uint64_t>(position + len, (span_of(pos) + 1) * options.span_size));
                if (forward.out == before) {
                    if (forward.state == Pass::kFailed) return -1;
                    break;  // the end of the stream, for now
                }
                continue;
            }
            const uint64_t span_index = span_of(pos);
            bool retry = false;
            const unsigned char *src = span_bytes(span_index, &retry);
            if (src == nullptr) {
                if (retry) continue;
                return -1;
            }
            const uint64_t span_end = std::min((span_index + 1) * options.span_size, forward.out);
            const std::size_t n =
                static_cast<std::size_t>(std::min<uint64_t>(span_end - pos, len - done));
            std::memcpy(buf + done, src + pos % options.span_size, n);
            if (span_index == span_of(forward.out)) {
                forward.delivered += n;
            } else {
                cache.delivered(span_index, n);
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
    if (target < s.stream_position || s.forward.format == State::Format::kTransparent)
        s.forward.end_latched = false;
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
    if (s.forward.format != State::Format::kTransparent)
        s.position = std::min(s.position, s.forward.out);
    s.position += static_cast<uint64_t>(n);
    s.stream_position = s.position;
    return static_cast<int>(n);
}

GzAccessStats GzRandomAccess::stats() const noexcept {
    const State &s = *state_;
    GzAccessStats out;
    out.inflated_bytes = s.inflated;
    out.access_points = s.index.size();
    out.index_bytes = s.index.bytes();
    out.fast_inflater = s.fast;
    out.cache_bytes = s.cache.bytes();
    return out;
}

void GzRandomAccess::follow_growth() noexcept {
    state_->following = true;
}

void GzRandomAccess::look_past_end() noexcept {
    state_->forward.end_latched = false;
}

uint64_t GzRandomAccess::input_taken() const noexcept {
    const State &s = *state_;
    if (s.forward.format == State::Format::kTransparent) return s.stream_position;
    return s.forward.started ? s.forward.in.position() : 0;
}

int GzRandomAccess::file_descriptor() const noexcept {
    return state_->fd;
}

bool GzRandomAccess::reads_plain_bytes() const noexcept {
    return state_->forward.format == State::Format::kTransparent;
}

void release_gz_random_access(void *state) noexcept {
    delete static_cast<GzRandomAccess *>(state);
}

}  // namespace tesra::read
