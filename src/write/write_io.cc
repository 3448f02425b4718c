// The writer's only contact with stdio and zlib results, and the slot-table storage helpers.
#include <algorithm>
#include <cstdarg>

#include <zlib.h>

#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "write_internal.h"

namespace tesra::write {

tesra_error_t write_formatted_v(FILE *file, uint64_t *count, const char *format, va_list args) {
    const int written = std::vfprintf(file, format, args);
    if (written < 0) return TESRA_WRITE_FAILED;
    *count += static_cast<uint64_t>(written);
    return TESRA_SUCCESS;
}

tesra_error_t write_formatted(FILE *file, uint64_t *count, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const tesra_error_t rc = write_formatted_v(file, count, format, args);
    va_end(args);
    return rc;
}

tesra_error_t write_raw(FILE *file, const void *data, std::size_t size) {
    if (size == 0) return TESRA_SUCCESS;
    return std::fwrite(data, 1, size, file) == size ? TESRA_SUCCESS : TESRA_WRITE_FAILED;
}

tesra_error_t seek_to(FILE *file, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return TESRA_SEEK_FAILED;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 ? TESRA_SUCCESS
                                                                   : TESRA_SEEK_FAILED;
}

tesra_error_t flush(FILE *file) {
    return std::fflush(file) == 0 ? TESRA_SUCCESS : TESRA_WRITE_FAILED;
}

tesra_error_t gz_write_all(struct gzFile_s *file, const void *data, std::size_t size) {
    if (size == 0) return TESRA_SUCCESS;
    // gzwrite takes and answers an int-sized count; record bodies are far below that.
    if (size > static_cast<std::size_t>(INT32_MAX)) return TESRA_WRITE_FAILED;
    const int written = gzwrite(file, data, static_cast<unsigned>(size));
    return written == static_cast<int>(size) ? TESRA_SUCCESS : TESRA_WRITE_FAILED;
}

tesra_error_t resize_slot_tables(tesra_period_t *period, uint32_t n) {
    c_ptr<tesra_offset_t> offsets(c_calloc<tesra_offset_t>(n));
    c_ptr<tesra_iterative_record_offsets_t> lists(c_calloc<tesra_iterative_record_offsets_t>(n));
    if (!offsets || !lists) return TESRA_NULL_POINTER;

    const uint32_t old_n = period->record_offsets != nullptr ? period->num_offsets : 0;
    const uint32_t kept = std::min(old_n, n);
    std::fill_n(offsets.get(), n, format::kNoRecord);
    if (kept != 0) {
        std::copy_n(period->record_offsets, kept, offsets.get());
        // The kept lists move: their offset arrays now belong to the new table.
        std::copy_n(period->iterative_record_offsets, kept, lists.get());
    }
    if (period->iterative_record_offsets != nullptr) {
        for (uint32_t j = kept; j < old_n; ++j)
            std::free(period->iterative_record_offsets[j].offsets);
    }
    std::free(period->record_offsets);
    std::free(period->iterative_record_offsets);
    period->record_offsets = offsets.release();
    period->iterative_record_offsets = lists.release();
    period->num_offsets = n;
    return TESRA_SUCCESS;
}

uint32_t initial_slot_count(const tesra_file_handle_t *file, uint64_t period) {
    uint64_t n = 1;
    if (file != nullptr) {
        const auto &f = file->i6_0;
        // While no record fixes the start (or the start was set ahead of every record, leaving
        // the end below it) the table is sized for the creation duration; it grows on demand
        // and gets its exact length when the index is laid out.
        if (f.start_time != format::kUnsetStartTime && f.end_time >= f.start_time) {
            n = format::slot_count64(f.start_time, f.end_time, period);
        } else {
            n = format::slot_count64(0, f.duration, period);
        }
    }
    return static_cast<uint32_t>(std::clamp<uint64_t>(n, 1, kMaxSlots));
}

}  // namespace tesra::write
