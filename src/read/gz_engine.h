// The inflaters of the random-access layer behind one interface. An engine inflates gzip members
// from a buffered file input, starts members, leaves access points and restarts from the points
// it left. zlib's engine is the reference: its results, errors included, are what a reader of
// the file through zlib sees. The fast engine (ISA-L's igzip) gives the same bytes for every
// stream it gets through and reports anything it cannot settle exactly as zlib would as an
// error, after which the layer goes back to zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "read/gz_access_index.h"

namespace tesra::read {

// pread until `len` bytes or the end of the file: bytes read, or -1 on an I/O error.
int64_t read_file_at(int fd, unsigned char *buf, std::size_t len, uint64_t offset) noexcept;

// A buffer over a file from a given offset: what an engine inflates from.
class GzInput {
public:
    GzInput(int fd, std::size_t size);

    // Drops what is buffered; the next refill reads from file offset `at`.
    void reset(uint64_t at) noexcept {
        next_ = buf_.get();
        avail_ = 0;
        next_read_ = at;
    }
    // Reads more input (keeping what is left at the buffer's front): the bytes added, 0 at the
    // end of the file, -1 on an I/O error.
    int64_t refill() noexcept;

    // File offset of the next input byte.
    uint64_t position() const noexcept { return next_read_ - avail_; }
    const unsigned char *next() const noexcept { return next_; }
    std::size_t avail() const noexcept { return avail_; }
    // The next `n` bytes (at most avail()) were taken.
    void consume(std::size_t n) noexcept {
        next_ += n;
        avail_ -= n;
    }

private:
    int fd_;
    GzBytes buf_;
    std::size_t size_;
    const unsigned char *next_ = nullptr;
    std::size_t avail_ = 0;
    uint64_t next_read_ = 0;
};

class GzEngine {
public:
    enum class Step {
        kOk,         // input used up or output full; call again
        kMemberEnd,  // the member's data ended (and its trailer checked, if it was read)
        kError,      // damaged data; from the fast engine, also anything zlib might judge otherwise
    };

    virtual ~GzEngine() = default;

    // Whether this engine's results are zlib's for every stream, damaged or cut short: the
    // layer then has nothing to go back to.
    virtual bool is_reference() const noexcept = 0;
    // Whether a member starting with these bytes (at least four, or it is refused) is one this
    // engine reads exactly as zlib does.
    virtual bool takes_header(const unsigned char *p, std::size_t n) const noexcept = 0;
    // Starts a gzip member whose header is the input's next bytes; false on failure.
    virtual bool start_member() noexcept = 0;
    // Inflates from `in` into `out`; *produced is the number of bytes written. After kMemberEnd
    // `in` stands at the first byte after the member.
    virtual Step inflate(GzInput &in,
                         unsigned char *out,
                         std::size_t room,
                         std::size_t *produced) noexcept = 0;

    // Whether an access point may be left where the engine stands, `gap` bytes of output after
    // the last one (the forward pass has already checked the layer's spacing).
    virtual bool point_due(uint64_t gap) const noexcept = 0;
    // Fills `point.in` and `point.state` for the place where the engine stands, `in` being the
    // input it inflates from; false when no point can be left here after all.
    virtual bool save(const GzInput &in, GzAccessPoint &point) const = 0;
    // Restarts inside a member at a point an engine of this kind saved, placing `in` where it
    // reads on; false when that fails.
    virtual bool restore(const GzAccessPoint &point, GzInput &in) noexcept = 0;
};

// zlib's engine. One for the forward pass stops at every block boundary, the only places its
// access points can be; restarts inflate straight through.
std::unique_ptr<GzEngine> make_zlib_engine(bool stops_at_blocks);
// The fast engine; nullptr when the library was built without it or memory is short.
std::unique_ptr<GzEngine> make_fast_engine() noexcept;

}  // namespace tesra::read
