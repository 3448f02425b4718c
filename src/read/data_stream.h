// The reader's one door to the decompressed data stream of an open archive. Every read of the
// `.gz` file goes through here, so the implementation can change (caching, access points)
// without touching its callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "tesra/tesra_int_defs.h"

#include "format/record_scan.h"

namespace tesra::read {

class GzRandomAccess;

// What the reader keeps for an open archive beside its C structures, hung on its header: the
// random-access layer, and how far the index of an archive still being written reaches into
// the data stream.
struct StreamState {
    StreamState() noexcept;
    ~StreamState();
    StreamState(const StreamState &) = delete;
    StreamState &operator=(const StreamState &) = delete;

    std::unique_ptr<GzRandomAccess> layer;  // nullptr: reads go through zlib's own stream
    // Decompressed offset just after the last record the index took from the stream.
    uint64_t indexed_end = 0;
    // The compressed bytes read when the index last grew, and a check of the last of them,
    // so that a stream cut short or rewritten behind the reader is noticed.
    uint64_t input_taken = 0;
    uint32_t tail_size = 0;
    uint32_t tail_crc = 0;
    // Size of the metadata file when it was last read: it changes when the writer closes.
    uint64_t meta_size = 0;
};

// Whether the handle was opened for reading only. A handle that may also write keeps zlib's
// stream and no state: its data stream can change under a cache.
bool is_read_only(const tesra_file_handle_t &file) noexcept;

// The handle's state, created on first use; nullptr when the handle may write or has no header,
// another library holds the header's slot or memory is short.
StreamState *stream_state(tesra_file_handle_t &file) noexcept;

// Reads treat the data stream as one a writer is still writing (see
// GzRandomAccess::follow_growth): reaching its end costs no second pass over it.
void follow_stream_growth(tesra_file_handle_t &file) noexcept;

// The next read past the end of the data stream looks at the file again and sees the bytes a
// writer appended since; reading goes on from where it stopped.
void look_past_stream_end(tesra_file_handle_t &file) noexcept;

// File offset of the first compressed byte not read yet (every byte before it was read).
uint64_t stream_input_taken(tesra_file_handle_t &file) noexcept;

// Opens `path` as a gzip read stream with zlib `mode` ("r" or "rb"); nullptr when it cannot.
struct gzFile_s *open_data_stream(const char *path, const char *mode) noexcept;

// Reads up to out.size() bytes starting at decompressed `offset`. *got receives the bytes read:
// fewer than asked means the stream ended. A failed positioning gives TESRA_SEEK_FAILED, a
// decompression or I/O error TESRA_READ_FAILED; a missing stream TESRA_FILE_NOT_FOUND.
tesra_error_t read_data_at(tesra_file_handle_t &file,
                           uint64_t offset,
                           std::span<std::byte> out,
                           std::size_t *got) noexcept;

// read_data_at that insists on every byte: a short read is TESRA_READ_FAILED.
tesra_error_t read_data_exact(tesra_file_handle_t &file,
                              uint64_t offset,
                              std::span<std::byte> out) noexcept;

// The data stream of an open archive, for the record scanner.
class DataStreamSource final : public format::StreamSource {
public:
    explicit DataStreamSource(tesra_file_handle_t &file) : file_(file) {}
    tesra_error_t read_at(uint64_t offset, std::span<std::byte> out, std::size_t *got) override {
        return read_data_at(file_, offset, out, got);
    }

private:
    tesra_file_handle_t &file_;
};

}  // namespace tesra::read
