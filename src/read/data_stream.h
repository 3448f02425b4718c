// The reader's one door to the decompressed data stream of an open archive. Every read of the
// `.gz` file goes through here, so the implementation can change (caching, access points)
// without touching its callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

#include "tesra/tesra_int_defs.h"

#include "format/record_scan.h"

namespace tesra::read {

class GzRandomAccess;

// What the reader keeps for an open archive beside its C structures: the random-access layer,
// and how far the index of an archive still being written reaches into the data stream. It
// travels with the handle's metadata stream (open_metadata_stream), whose close at every
// release of the handle frees it; the header only marks where to find it.
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

// The handle's state; nullptr when the handle may write, has no header, or its header's slot
// holds anything but the reader's mark (a caller's values).
StreamState *stream_state(tesra_file_handle_t &file) noexcept;

// Opens the metadata file of a handle that only reads, as a stream that also carries the
// handle's StreamState, so that closing the metadata file, which every release of the handle
// does, releases the state with it. `*state` receives that state, for hang_stream_state once
// the handle has a header; nullptr (and *state nullptr) when the file cannot be opened.
FILE *open_metadata_stream(const char *path, void **state) noexcept;

// Marks `file`'s header as carrying the state that open_metadata_stream gave for its metadata
// file, so that the reads of the handle find it.
void hang_stream_state(tesra_file_handle_t &file, void *state) noexcept;

// The descriptor the handle's metadata file is read through (it follows the file when the pair
// is renamed); -1 when there is none.
int metadata_file_descriptor(const tesra_file_handle_t &file) noexcept;

// Reads treat the data stream as one a writer is still writing (see
// GzRandomAccess::follow_growth): reaching its end costs no second pass over it.
void follow_stream_growth(tesra_file_handle_t &file) noexcept;

// The next read past the end of the data stream looks at the file again and sees the bytes a
// writer appended since; reading goes on from where it stopped.
void look_past_stream_end(tesra_file_handle_t &file) noexcept;

// File offset of the first compressed byte not read yet (every byte before it was read).
uint64_t stream_input_taken(tesra_file_handle_t &file) noexcept;

// The descriptor the data stream is read through, which follows the file even when the pair is
// renamed; -1 when reads go through zlib's own stream.
int stream_file_descriptor(tesra_file_handle_t &file) noexcept;

// Opens `path` as a gzip read stream with zlib `mode` ("r" or "rb"); nullptr when it cannot.
struct gzFile_s *open_data_stream(const char *path, const char *mode) noexcept;

// Whether the data stream at `path` starts as gzip does. zlib reads any other file as it is,
// which would let a file of something else pass for a stream without records, so its first
// bytes not being the gzip magic gives TESRA_READ_FAILED. An empty file passes: its writer has
// pushed nothing out yet.
tesra_error_t check_data_stream_format(const char *path) noexcept;

// Reads up to out.size() bytes starting at decompressed `offset`. *got receives the bytes read:
// fewer than asked means the stream ended. A failed positioning gives TESRA_SEEK_FAILED, a
// decompression or I/O error TESRA_READ_FAILED, and so does a stream that turns out not to be
// gzip (read as it is); a missing stream TESRA_FILE_NOT_FOUND.
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
