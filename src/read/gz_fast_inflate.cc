#include "read/gz_fast_inflate.h"

#include <climits>
#include <cstring>
#include <new>

#if defined(TESRA_HAVE_ISAL)
#include <isa-l/igzip_lib.h>
#endif

namespace tesra::read {

#if defined(TESRA_HAVE_ISAL)

struct FastInflater::State {
    inflate_state zs;
};

namespace {

// Everything before the output history buffer, then the history's valid bytes.
constexpr std::size_t kFixedPart = offsetof(inflate_state, tmp_out_buffer);
constexpr std::size_t kHistoryCapacity = sizeof(inflate_state::tmp_out_buffer);

}  // namespace

std::unique_ptr<FastInflater> FastInflater::create() noexcept {
    auto state = std::unique_ptr<State>(new (std::nothrow) State);
    if (!state) return nullptr;
    isal_inflate_init(&state->zs);
    return std::unique_ptr<FastInflater>(new (std::nothrow) FastInflater(std::move(state)));
}

bool FastInflater::takes_header(const unsigned char *p, std::size_t n) noexcept {
    // Deflate, and no flag bits beyond the five defined ones: zlib refuses other headers, and
    // the two inflaters must never disagree.
    return n >= 4 && p[0] == 0x1f && p[1] == 0x8b && p[2] == 8 && (p[3] & 0xE0) == 0;
}

void FastInflater::start_member() noexcept {
    isal_inflate_reset(&state_->zs);
    state_->zs.crc_flag = ISAL_GZIP;
}

FastInflater::Step FastInflater::inflate(const unsigned char *&in,
                                         std::size_t &avail_in,
                                         unsigned char *out,
                                         std::size_t room,
                                         std::size_t *produced,
                                         std::size_t *unused_behind) noexcept {
    inflate_state &zs = state_->zs;
    *produced = 0;
    *unused_behind = 0;
    const std::size_t take = avail_in > UINT_MAX ? UINT_MAX : avail_in;
    zs.next_in = const_cast<uint8_t *>(in);  // read only; the field is not const
    zs.avail_in = static_cast<uint32_t>(take);
    zs.next_out = out;
    const std::size_t offered = room > UINT_MAX ? UINT_MAX : room;
    zs.avail_out = static_cast<uint32_t>(offered);
    const int rc = isal_inflate(&zs);
    // On some damaged streams (a distance reaching before the data's start) the call fails
    // with its input count run below zero. Counts beyond what was offered are not believed:
    // nothing was taken or produced, and the failure stands.
    if (zs.avail_in > take || zs.avail_out > offered) return Step::kError;
    *produced = offered - zs.avail_out;
    const std::size_t used = take - zs.avail_in;
    in += used;
    avail_in -= used;
    if (rc != ISAL_DECOMP_OK) return Step::kError;
    if (zs.block_state == ISAL_BLOCK_FINISH) {
        // Whole bytes still buffered as bits were read past the trailer.
        *unused_behind = static_cast<std::size_t>(zs.read_in_length / 8);
        return Step::kMemberEnd;
    }
    return Step::kOk;
}

bool FastInflater::can_save() const noexcept {
    const inflate_state &zs = state_->zs;
    switch (zs.block_state) {
        case ISAL_BLOCK_NEW_HDR:
        case ISAL_BLOCK_HDR:
        case ISAL_BLOCK_TYPE0:
        case ISAL_BLOCK_CODED:
            return zs.tmp_out_valid >= 0 &&
                   static_cast<std::size_t>(zs.tmp_out_valid) <= kHistoryCapacity;
        default:
            return false;
    }
}

std::size_t FastInflater::saved_size() const noexcept {
    return kFixedPart + static_cast<std::size_t>(state_->zs.tmp_out_valid);
}

void FastInflater::save(unsigned char *out) const noexcept {
    const auto *raw = reinterpret_cast<const unsigned char *>(&state_->zs);
    std::memcpy(out, raw, saved_size());
}

bool FastInflater::restore(const unsigned char *saved, std::size_t size) noexcept {
    if (size < kFixedPart) return false;
    inflate_state probe;
    std::memcpy(static_cast<void *>(&probe), saved, kFixedPart);
    if (probe.tmp_out_valid < 0 ||
        static_cast<std::size_t>(probe.tmp_out_valid) != size - kFixedPart) {
        return false;
    }
    std::memcpy(static_cast<void *>(&state_->zs), saved, size);
    state_->zs.next_in = nullptr;
    state_->zs.avail_in = 0;
    state_->zs.next_out = nullptr;
    state_->zs.avail_out = 0;
    return true;
}

#else  // without ISA-L

struct FastInflater::State {};

std::unique_ptr<FastInflater> FastInflater::create() noexcept {
    return nullptr;
}
bool FastInflater::takes_header(const unsigned char *, std::size_t) noexcept {
    return false;
}
void FastInflater::start_member() noexcept {}
FastInflater::Step FastInflater::inflate(const unsigned char *&,
                                         std::size_t &,
                                         unsigned char *,
                                         std::size_t,
                                         std::size_t *produced,
                                         std::size_t *unused_behind) noexcept {
    *produced = 0;
    *unused_behind = 0;
    return Step::kError;
}
bool FastInflater::can_save() const noexcept {
    return false;
}
std::size_t FastInflater::saved_size() const noexcept {
    return 0;
}
void FastInflater::save(unsigned char *) const noexcept {}
bool FastInflater::restore(const unsigned char *, std::size_t) noexcept {
    return false;
}

#endif

FastInflater::FastInflater(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
FastInflater::~FastInflater() = default;

}  // namespace tesra::read
