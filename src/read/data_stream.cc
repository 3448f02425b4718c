// Data-stream access: through the random-access layer that hangs in the archive's header, or
// through zlib's own seek and read when the layer cannot be set up.
#include "read/data_stream.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>

#include "read/gz_engine.h"
#include "read/gz_random_access.h"

namespace tesra::read {

namespace {

// Handles opened by the reader for reading only: a handle that may also write keeps zlib's
// stream, since its data stream can change under a cache.
constexpr uint32_t kReadOnlyAccess = 1;
constexpr uint32_t kAccessBits = 3;

// What the metadata stream of a read-only handle carries: the file itself and the handle's
// state. The state lives as long as the stream, and the stream is closed by every release of
// the handle (tesra_free_file), so the reader cleans up after itself without the generic
// release knowing anything of it, and without anything in the header being called.
struct MetadataStream {
    int fd = -1;
    StreamState state;
};

ssize_t stream_read(void *cookie, char *buf, size_t size) {
    auto *s = static_cast<MetadataStream *>(cookie);
    for (;;) {
        const ssize_t n = ::read(s->fd, buf, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

int stream_seek(void *cookie, off64_t *offset, int whence) {
    auto *s = static_cast<MetadataStream *>(cookie);
    const off64_t at = ::lseek64(s->fd, *offset, whence);
    if (at < 0) return -1;
    *offset = at;
    return 0;
}

int stream_close(void *cookie) {
    std::unique_ptr<MetadataStream> s(static_cast<MetadataStream *>(cookie));
    return ::close(s->fd);
}

// Marks a header slot as the reader's own: the address of an object private to this library,
// which no caller value can stand for by accident. It is compared, never called.
constexpr char kStreamStateTag = 0;

uint64_t stream_state_tag() noexcept {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&kStreamStateTag));
}

MetadataStream *metadata_stream_of(const tesra_file_handle_t &file) noexcept {
    const tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr) return nullptr;
    const tesra_header_int_t_v6_0 &slot = header->i6_0;
    if (slot.pid == nullptr || slot.pc != stream_state_tag()) return nullptr;
    return static_cast<MetadataStream *>(slot.pid);
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

StreamState *stream_state(tesra_file_handle_t &file) noexcept {
    if (!is_read_only(file)) return nullptr;
    MetadataStream *stream = metadata_stream_of(file);
    return stream != nullptr ? &stream->state : nullptr;
}

FILE *open_metadata_stream(const char *path, void **state) noexcept {
    *state = nullptr;
    std::unique_ptr<MetadataStream> s(new (std::nothrow) MetadataStream);
    if (!s) return nullptr;
    s->fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (s->fd < 0) return nullptr;
    const cookie_io_functions_t io{stream_read, nullptr, stream_seek, stream_close};
    FILE *stream = fopencookie(s.get(), "r", io);
    if (stream == nullptr) {
        ::close(s->fd);
        return nullptr;
    }
    *state = s.release();  // the stream's close frees it from now on
    return stream;
}

void hang_stream_state(tesra_file_handle_t &file, void *state) noexcept {
    tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr || state == nullptr) return;
    header->i6_0.pid = state;
    header->i6_0.pc = stream_state_tag();
}

int metadata_file_descriptor(const tesra_file_handle_t &file) noexcept {
    if (const MetadataStream *stream = metadata_stream_of(file)) return stream->fd;
    return file.i6_0.metadata_file != nullptr ? ::fileno(file.i6_0.metadata_file) : -1;
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

int stream_file_descriptor(tesra_file_handle_t &file) noexcept {
    GzRandomAccess *layer = random_access_of(file);
    return layer != nullptr ? layer->file_descriptor() : -1;
}

struct gzFile_s *open_data_stream(const char *path, const char *mode) noexcept {
    return gzopen(path, mode);
}

tesra_error_t check_data_stream_format(const char *path) noexcept {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return TESRA_FILE_NOT_FOUND;
    unsigned char magic[2] = {};
    const int64_t got = read_file_at(fd, magic, sizeof magic, 0);
    ::close(fd);
    if (got < 0) return TESRA_READ_FAILED;
    if (got == 0) return TESRA_SUCCESS;
    // A lone first byte of the magic is not gzip to zlib either: a writer pushes the whole
    // header out at once.
    return got == 2 && magic[0] == 0x1f && magic[1] == 0x8b ? TESRA_SUCCESS : TESRA_READ_FAILED;
}

tesra_error_t read_data_at(tesra_file_handle_t &file,
                           uint64_t offset,
                           std::span<std::byte> out,
                           std::size_t *got) noexcept {
    *got = 0;
    gzFile gz = file.i6_0.data_file;
    if (gz == nullptr) return TESRA_FILE_NOT_FOUND;
    if (offset > static_cast<uint64_t>(LLONG_MAX)) return TESRA_SEEK_FAILED;
    // The open found the stream gzip or still empty; one that later turns out to be something
    // else (the stream was empty at the open) is refused on each read.
    tesra_error_t rc = TESRA_SUCCESS;
    if (GzRandomAccess *layer = random_access_of(file)) {
        rc = seek_and_read(
            offset, out, got, [layer](int64_t at) { return layer->seek(at); },
            [layer](void *buf, unsigned len) { return layer->read(buf, len); });
        if (rc == TESRA_SUCCESS && layer->reads_plain_bytes()) rc = TESRA_READ_FAILED;
    } else {
        rc = seek_and_read(
            offset, out, got, [gz](int64_t at) { return gzseek64(gz, at, SEEK_SET); },
            [gz](void *buf, unsigned len) { return gzread(gz, buf, len); });
        if (rc == TESRA_SUCCESS && gzdirect(gz) != 0) rc = TESRA_READ_FAILED;
    }
    if (rc != TESRA_SUCCESS) *got = 0;
    return rc;
}

tesra_error_t read_data_exact(tesra_file_handle_t &file,
                              uint64_t offset,
                              std::span<std::byte> out) noexcept {
    std::size_t got = 0;
    if (auto rc = read_data_at(file, offset, out, &got); rc != TESRA_SUCCESS) return rc;
    return got == out.size() ? TESRA_SUCCESS : TESRA_READ_FAILED;
}

}  // namespace tesra::read
