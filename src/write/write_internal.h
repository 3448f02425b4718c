// Helpers shared by the writer's source files: the one place where stdio and zlib results are
// translated into result codes, the slot-table arithmetic with its bounds, and the handle state
// that marks a data stream as broken.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"

namespace tesra::write {

// A record whose time would make any table of the archive longer than the format's slot bound
// is refused: without a bound, one record years after the start would double a table to billions
// of entries. Ids beyond the format's object-id bound are refused likewise.
using format::kMaxObjectId;
using format::kMaxSlots;

// Access bits of a file handle: the reader opens with bit 0, the writer creates with bit 1.
inline constexpr uint32_t kReadAccess = 1;
inline constexpr uint32_t kWriteAccess = 2;

// A writing handle whose data stream failed loses its write access: the record whose bytes were
// lost is already in the index, so the handle takes no more records and close writes no index
// that would name bytes missing from the stream.
inline void revoke_write_access(tesra_file_handle_t *file) {
    file->i6_0.access_flag &= ~kWriteAccess;
}
inline bool has_lost_write_access(const tesra_file_handle_t *file) {
    return (file->i6_0.access_flag & (kReadAccess | kWriteAccess)) == 0;
}

// ---- metadata file (buffered stdio) ---------------------------------------------------------

// Formatted write that adds the characters written to `*count`; TESRA_WRITE_FAILED on error.
__attribute__((format(printf, 3, 4))) tesra_error_t write_formatted(FILE *file,
                                                                    uint64_t *count,
                                                                    const char *format,
                                                                    ...);
tesra_error_t write_formatted_v(FILE *file, uint64_t *count, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));
// Raw write of exactly `size` bytes; TESRA_WRITE_FAILED when fewer are accepted.
tesra_error_t write_raw(FILE *file, const void *data, std::size_t size);
// Positions the stream at an absolute offset; TESRA_SEEK_FAILED on error.
tesra_error_t seek_to(FILE *file, uint64_t offset);
// Pushes buffered bytes to the file; TESRA_WRITE_FAILED on error.
tesra_error_t flush(FILE *file);

// ---- data stream (zlib) -----------------------------------------------------------------------

// gzopen mode of a new data stream: "wb" and the deflate level, which TESRA_GZIP_LEVEL may
// choose; TESRA_INVALID_ARGUMENTS when that variable is set to anything but one digit.
using DataStreamMode = std::array<char, 4>;
tesra_error_t data_stream_mode(DataStreamMode *out);
// gzwrite of exactly `size` bytes; TESRA_WRITE_FAILED when fewer are accepted.
tesra_error_t gz_write_all(struct gzFile_s *file, const void *data, std::size_t size);

// ---- slot tables ------------------------------------------------------------------------------

// Replaces the period's record-offset table and partial-record lists by ones of exactly `n`
// slots: the first min(old, n) slots are kept, new slots are empty, lists of dropped slots are
// released. On allocation failure the old tables stay and TESRA_NULL_POINTER is returned.
tesra_error_t resize_slot_tables(tesra_period_t *period, uint32_t n);

// Slot count for a new period table of `file`, clamped to [1, kMaxSlots]: the span since the
// start when records exist, else the creation duration.
uint32_t initial_slot_count(const tesra_file_handle_t *file, uint64_t period);

}  // namespace tesra::write
