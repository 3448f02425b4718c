// The reader's one door to the decompressed data stream of an open archive. Every read of the
// `.gz` file goes through here, so the implementation can change (caching, access points)
// without touching its callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "tesra/tesra_int_defs.h"

namespace tesra::read {

// Opens `path` as a gzip read stream with zlib `mode` ("r" or "rb"); nullptr when it cannot.
struct gzFile_s *open_data_stream(const char *path, const char *mode) noexcept;

// Opens the metadata file of a handle that only reads. The stream also carries the state of the
// handle's data-stream layer (set up on the first read), so that closing the metadata file,
// which every release of the handle does, releases the layer with it. `*state` receives that
// state, for hang_stream_state once the handle has a header; nullptr when the file cannot be
// opened.
FILE *open_metadata_stream(const char *path, void **state) noexcept;

// Marks `file`'s header as carrying the state that open_metadata_stream gave for its metadata
// file, so that the reads of the handle find their layer.
void hang_stream_state(tesra_file_handle_t &file, void *state) noexcept;

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

}  // namespace tesra::read
