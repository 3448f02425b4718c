// Data-stream access: through the random-access layer that hangs in the archive's header, or
// through zlib's own seek and read when the layer cannot be set up.
#include "read/data_stream.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>

#include "read/gz_random_access.h"

namespace tesra::read {

namespace {

// Handles opened by the reader for reading only: a handle that may also write keeps zlib's
// stream, since its data stream can change under a cache.
constexpr uint32_t kReadOnlyAccess = 1;
constexpr uint32_t kAccessBits = 3;

void release_stream_state(void *state) noexcept {
    delete static_cast<StreamState *>(state);
}

uint64_t release_address() noexcept {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&release_stream_state));
}

// The layer, set up on the first read; nullptr when the handle has no state or the layer cannot
// be set up.
GzRandomAccess *random_access_of(tesra_file_handle_t &file) noexcept {
    if (file.i6_0.data_file_path == nullptr) return nullptr;
    StreamState *state = stream_state(file);
    if (state == nullptr) return nullptr;
    if (!state->layer) state->layer = GzRandomAccess::open(file.i6_0.data_file_path);
    return state->layer.get();
}

// gzseek64 + gzread, or the layer's equivalents; the same loop over either.
template <class Seek, class Read>
tesra_error_t seek_and_read(uint64_t offset,
                            std::span<std::byte> out,
                            std::size_t *got,
                            Seek &&seek,
                            Read &&read) noexcept {
    if (seek(static_cast<int64_t>(offset)) == -1) return TESRA_SEEK_FAILED;
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t chunk = std::min<std::size_t>(out.size() - done, 1u << 30);
        const int n = read(out.data() + done, static_cast<unsigned>(chunk));
        if (n < 0) return TESRA_READ_FAILED;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    *got = done;
    return TESRA_SUCCESS;
}

}  // namespace

bool is_read_only(const tesra_file_handle_t &file) noexcept {
    return (file.i6_0.access_flag & kAccessBits) == kReadOnlyAccess;
}

StreamState::StreamState() noexcept = default;
StreamState::~StreamState() = default;

// The header's slot: `pid` holds the state, `pc` the address of the function that releases it,
// so the state goes with the handle when its header is freed.
StreamState *stream_state(tesra_file_handle_t &file) noexcept {
    tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr || !is_read_only(file)) return nullptr;
    tesra_header_int_t_v6_0 &slot = header->i6_0;
    if (slot.pid != nullptr) {
        return slot.pc == release_address() ? static_cast<StreamState *>(slot.pid) : nullptr;
    }
    if (slot.pc != 0) return nullptr;
    auto *state = new (std::nothrow) StreamState;
    if (state == nullptr) return nullptr;
    slot.pid = state;
    slot.pc = release_address();
    return state;
}

void follow_stream_growth(tesra_file_handle_t &file) noexcept {
    if (GzRandomAccess *layer = random_access_of(file)) layer->follow_growth();
}

void look_past_stream_end(tesra_file_handle_t &file) noexcept {
    if (GzRandomAccess *layer = random_access_of(file)) {
        layer->look_past_end();
    } else if (file.i6_0.data_file != nullptr) {
        gzclearerr(file.i6_0.data_file);
    }
}

uint64_t stream_input_taken(tesra_file_handle_t &file) noexcept {
    if (GzRandomAccess *layer = random_access_of(file)) return layer->input_taken();
    if (file.i6_0.data_file == nullptr) return 0;
    const int64_t taken = gzoffset64(file.i6_0.data_file);
    return taken < 0 ? 0 : static_cast<uint64_t>(taken);
}

struct gzFile_s *open_data_stream(const char *path, const char *mode) noexcept {
    return gzopen(path, mode);
}

tesra_error_t read_data_at(tesra_file_handle_t &file,
                           uint64_t offset,
                           std::span<std::byte> out,
                           std::size_t *got) noexcept {
    *got = 0;
    gzFile gz = file.i6_0.data_file;
    if (gz == nullptr) return TESRA_FILE_NOT_FOUND;
    if (offset > static_cast<uint64_t>(LLONG_MAX)) return TESRA_SEEK_FAILED;
    if (GzRandomAccess *layer = random_access_of(file)) {
        return seek_and_read(
            offset, out, got, [layer](int64_t at) { return layer->seek(at); },
            [layer](void *buf, unsigned len) { return layer->read(buf, len); });
    }
    return seek_and_read(
        offset, out, got, [gz](int64_t at) { return gzseek64(gz, at, SEEK_SET); },
        [gz](void *buf, unsigned len) { return gzread(gz, buf, len); });
}

tesra_error_t read_data_exact(tesra_file_handle_t &file,
                              uint64_t offset,
                              std::span<std::byte> out) noexcept {
    std::size_t got = 0;
    if (auto rc = read_data_at(file, offset, out, &got); rc != TESRA_SUCCESS) return rc;
    return got == out.size() ? TESRA_SUCCESS : TESRA_READ_FAILED;
}

}  // namespace tesra::read
