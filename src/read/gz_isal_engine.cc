// The fast engine: the fast inflater, whose access points are its saved states. A saved state
// can be taken almost anywhere inside a member's data but weighs tens of KiB, so the points are
// spaced by their size as well.
#include <new>
#include <utility>

#include "read/gz_engine.h"
#include "read/gz_fast_inflate.h"

namespace tesra::read {

namespace {

// Index bytes a point may add per decompressed byte, at most: 1 in 28 keeps the index under
// 4 % of the stream.
constexpr uint64_t kStreamBytesPerIndexByte = 28;

class FastEngine final : public GzEngine {
public:
    explicit FastEngine(std::unique_ptr<FastInflater> inflater) noexcept
        : inflater_(std::move(inflater)) {}

    bool is_reference() const noexcept override { return false; }
    bool takes_header(const unsigned char *p, std::size_t n) const noexcept override {
        return FastInflater::takes_header(p, n);
    }
    bool start_member() noexcept override {
        inflater_->start_member();
        return true;
    }

    Step inflate(GzInput &in,
                 unsigned char *out,
                 std::size_t room,
                 std::size_t *produced) noexcept override {
        const unsigned char *next = in.next();
        std::size_t avail = in.avail();
        std::size_t unused = 0;
        const FastInflater::Step step =
            inflater_->inflate(next, avail, out, room, produced, &unused);
        in.consume(in.avail() - avail);
        switch (step) {
            case FastInflater::Step::kOk:
                return Step::kOk;
            case FastInflater::Step::kMemberEnd:
                // Bytes it took in as bits past the trailer are read again from the file.
                in.reset(in.position() - unused);
                return Step::kMemberEnd;
            case FastInflater::Step::kError:
                break;
        }
        return Step::kError;
    }

    bool point_due(uint64_t gap) const noexcept override {
        return inflater_->can_save() &&
               gap >= inflater_->saved_size() * kStreamBytesPerIndexByte;
    }

    bool save(const GzInput &in, GzAccessPoint &point) const override {
        point.in = in.position();
        point.state_size = inflater_->saved_size();
        point.state = GzBytes(new unsigned char[point.state_size]);
        inflater_->save(point.state.get());
        return true;
    }

    bool restore(const GzAccessPoint &point, GzInput &in) noexcept override {
        in.reset(point.in);
        return inflater_->restore(point.state.get(), point.state_size);
    }

private:
    std::unique_ptr<FastInflater> inflater_;
};

}  // namespace

std::unique_ptr<GzEngine> make_fast_engine() noexcept {
    auto inflater = FastInflater::create();
    if (!inflater) return nullptr;
    return std::unique_ptr<GzEngine>(new (std::nothrow) FastEngine(std::move(inflater)));
}

}  // namespace tesra::read
