// Following an archive while its writer still writes it: the archive is opened with its first
// data, then its data stream grows step by step (a refresh after each step) and its metadata may
// gain an index section before the last refresh, as when the writer closes it. Any code is fine;
// the handle must stay usable for a walk after every outcome. Input:
//   u8  flags: bit 0 set: the data part is the plain record stream, deflated here with a sync
//              flush after each step (bit 3 also ends the member after the last step); clear:
//              the .gz file's bytes as they are. Bit 1 set: the archive carries the partial name.
//              Bit 2 set: the final metadata replaces the first before the last refresh.
//   u8  steps after the open (at most 8), then a u16 little-endian length per step and one for
//       the data present at the open (the last step takes what is left)
//   u32 little-endian length of the first metadata, the first metadata,
//   u32 little-endian length of the final metadata, the final metadata,
//   the data part.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include <zlib.h>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_live.h"

#include "fuzz_support.h"

namespace {

constexpr uint8_t kPlain = 1;
constexpr uint8_t kPartial = 2;
constexpr uint8_t kCloses = 4;
constexpr uint8_t kFinish = 8;
constexpr std::size_t kMaxSteps = 8;

struct Reader {
    const uint8_t *p;
    std::size_t left;
    std::span<const uint8_t> take(std::size_t n) {
        n = n < left ? n : left;
        std::span<const uint8_t> out(p, n);
        p += n;
        left -= n;
        return out;
    }
    uint32_t le(std::size_t bytes) {
        uint32_t v = 0;
        const auto b = take(bytes);
        for (std::size_t i = 0; i < b.size(); ++i) v |= uint32_t{b[i]} << (8 * i);
        return v;
    }
};

bool append(const std::string &path, std::span<const uint8_t> bytes) {
    FILE *f = std::fopen(path.c_str(), "ab");
    if (f == nullptr) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The writer's way of growing a data stream: one gzip member, flushed to a byte boundary after
// each batch of records so a reader can inflate everything written so far.
class Deflater {
public:
    Deflater() { ok_ = deflateInit2(&z_, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK; }
    ~Deflater() {
        if (ok_) deflateEnd(&z_);
    }
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;

    std::vector<uint8_t> step(std::span<const uint8_t> in, bool finish) {
        std::vector<uint8_t> out;
        if (!ok_) return out;
        z_.next_in = const_cast<Bytef *>(in.data());
        z_.avail_in = static_cast<uInt>(in.size());
        const int flush = finish ? Z_FINISH : Z_SYNC_FLUSH;
        int rc = Z_OK;
        do {
            uint8_t buf[4096];
            z_.next_out = buf;
            z_.avail_out = sizeof buf;
            rc = deflate(&z_, flush);
            out.insert(out.end(), buf, buf + (sizeof buf - z_.avail_out));
        } while (rc == Z_OK && z_.avail_out == 0);
        return out;
    }

private:
    z_stream z_{};
    bool ok_ = false;
};

void walk(tesra_file_handle_t *file) {
    int being_written = -1;
    tesra_is_being_written(file, &being_written);
    tesra::fuzz::walk_records(file, TESRA_RAW_ORDER);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    Reader in{data, size};
    const uint8_t flags = static_cast<uint8_t>(in.le(1));
    const std::size_t steps = in.le(1) % (kMaxSteps + 1);
    std::vector<std::size_t> lengths;
    for (std::size_t i = 0; i <= steps; ++i) lengths.push_back(in.le(2));
    const auto first_meta = in.take(in.le(4));
    const auto final_meta = in.take(in.le(4));

    const char *name = (flags & kPartial) != 0 ? tesra::fuzz::kPartialBase
                                               : tesra::fuzz::kFinishedBase;
    const std::string base = tesra::fuzz::scratch_path(name);
    const std::string gz = base + ".gz";
    if (!tesra::fuzz::write_bytes(base + ".meta", first_meta) ||
        !tesra::fuzz::write_bytes(gz, {})) {
        std::abort();
    }
    Deflater deflater;
    auto grow = [&](std::size_t step) {
        const bool last = step == steps;
        const auto chunk = in.take(last ? in.left : lengths[step]);
        if ((flags & kPlain) == 0) return append(gz, chunk);
        return append(gz, deflater.step(chunk, last && (flags & kFinish) != 0));
    };
    if (!grow(0)) std::abort();

    tesra_file_handle_t *file = nullptr;
    const char *meta_name = nullptr;
    const char *gz_name = nullptr;
    if (tesra_open_data_file(base.c_str(), "r", &file, &meta_name, &gz_name) != TESRA_SUCCESS) {
        if (file != nullptr) std::abort();
        return 0;
    }
    for (std::size_t step = 1; step <= steps; ++step) {
        if (!grow(step)) std::abort();
        if (step == steps && (flags & kCloses) != 0 &&
            !tesra::fuzz::write_bytes(base + ".meta", final_meta)) {
            std::abort();
        }
        uint32_t added = 0;
        if (tesra_refresh_data_file(file, &added) != TESRA_SUCCESS && added != 0) std::abort();
    }
    walk(file);
    tesra_close_data_file(file);
    return 0;
}
