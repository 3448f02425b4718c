// zlib's engine: inflates as gzread does. Its access points sit at deflate block boundaries and
// keep the input position, the bits of the byte before it still to be used and the 32 KiB window
// the next block may refer back into.
#include <climits>
#include <cstring>

#include <zlib.h>

#include "read/gz_engine.h"

namespace tesra::read {

namespace {

constexpr std::size_t kZlibWindowSize = 32768;  // deflate's largest back-reference distance
constexpr int kGzipWindowBits = 15 + 16;        // gzip wrapper only, as gzread inflates
constexpr int kRawWindowBits = -15;

class ZlibEngine final : public GzEngine {
public:
    explicit ZlibEngine(bool stops_at_blocks) : stops_at_blocks_(stops_at_blocks) {}
    ~ZlibEngine() override {
        if (ready_) inflateEnd(&zs_);
    }
    ZlibEngine(const ZlibEngine &) = delete;
    ZlibEngine &operator=(const ZlibEngine &) = delete;

    bool is_reference() const noexcept override { return true; }
    bool takes_header(const unsigned char *, std::size_t) const noexcept override { return true; }
    bool start_member() noexcept override { return reset(kGzipWindowBits); }

    Step inflate(GzInput &in,
                 unsigned char *out,
                 std::size_t room,
                 std::size_t *produced) noexcept override {
        const std::size_t take = in.avail() > UINT_MAX ? UINT_MAX : in.avail();
        const std::size_t offered = room > UINT_MAX ? UINT_MAX : room;
        zs_.next_in = const_cast<Bytef *>(in.next());  // read only; the field is not const
        zs_.avail_in = static_cast<uInt>(take);
        zs_.next_out = out;
        zs_.avail_out = static_cast<uInt>(offered);
        // Without input inflate may still have output pending from bits it holds.
        const int rc = ::inflate(&zs_, stops_at_blocks_ && take > 0 ? Z_BLOCK : Z_NO_FLUSH);
        *produced = offered - zs_.avail_out;
        in.consume(take - zs_.avail_in);
        switch (rc) {
            case Z_STREAM_END:
                return Step::kMemberEnd;
            case Z_OK:
            case Z_BUF_ERROR:  // no progress; the caller sees it
                return Step::kOk;
            default:
                return Step::kError;
        }
    }

    // At a block boundary that is not the stream's end: a restart there needs only the window
    // and the pending bits.
    bool point_due(uint64_t) const noexcept override {
        return (zs_.data_type & 128) != 0 && (zs_.data_type & 64) == 0;
    }

    bool save(const GzInput &in, GzAccessPoint &point) const override {
        unsigned char window[kZlibWindowSize];
        uInt size = kZlibWindowSize;
        if (inflateGetDictionary(const_cast<z_stream *>(&zs_), window, &size) != Z_OK) {
            return false;
        }
        point.in = in.position();
        point.state_size = 1 + std::size_t{size};
        point.state = GzBytes(new unsigned char[point.state_size]);
        point.state[0] = static_cast<unsigned char>(zs_.data_type & 7);
        std::memcpy(point.state.get() + 1, window, size);
        return true;
    }

    bool restore(const GzAccessPoint &point, GzInput &in) noexcept override {
        if (point.state_size < 1 || point.state_size > 1 + kZlibWindowSize) return false;
        const int bits = point.state[0];
        if (bits > 7 || !reset(kRawWindowBits)) return false;
        in.reset(point.in - (bits != 0 ? 1 : 0));
        if (bits != 0) {
            if (in.refill() <= 0) return false;
            const int value = in.next()[0] >> (8 - bits);
            in.consume(1);
            if (inflatePrime(&zs_, bits, value) != Z_OK) return false;
        }
        return inflateSetDictionary(&zs_, point.state.get() + 1,
                                    static_cast<uInt>(point.state_size - 1)) == Z_OK;
    }

private:
    bool reset(int window_bits) noexcept {
        if (ready_) return inflateReset2(&zs_, window_bits) == Z_OK;
        zs_ = z_stream{};
        if (inflateInit2(&zs_, window_bits) != Z_OK) return false;
        ready_ = true;
        return true;
    }

    z_stream zs_{};
    bool ready_ = false;
    bool stops_at_blocks_;
};

}  // namespace

std::unique_ptr<GzEngine> make_zlib_engine(bool stops_at_blocks) {
    return std::make_unique<ZlibEngine>(stops_at_blocks);
}

}  // namespace tesra::read
