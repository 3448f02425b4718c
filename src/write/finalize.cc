// Closing an archive handle (index section and in-place patches for a writing handle, release
// only for a reading one) and removing an archive pair from disk.
#include <cstdio>
#include <cstring>

#include <zlib.h>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "write_internal.h"

namespace {

inline constexpr int kFixedHexWidth = 16;

// Overwrites one 16-character field of the document in place.
tesra_error_t patch_field(FILE *meta, uint64_t position, uint64_t value) {
    if (auto rc = tesra::write::seek_to(meta, position); rc != TESRA_SUCCESS) return rc;
    uint64_t written = 0;
    if (auto rc = tesra::write::write_formatted(meta, &written, TESRA_FMT_FIXED_HEX, value);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    return written == kFixedHexWidth ? TESRA_SUCCESS : TESRA_WRITE_FAILED;
}

// Index section, the three time fields and the section offsets of a writing handle, in an
// order that leaves a readable archive wherever it stops. The records go to disk first: an
// index must never name bytes that a full disk kept in zlib's buffers (the stream's own close
// comes later, when a failure could no longer take the index back). The section offsets come
// last: until the index section's offset is in the document, readers index the records from
// the data stream, so a failure (or the process's death) before that point loses no record,
// and times half patched are never taken for an index's.
tesra_error_t complete_archive(tesra_file_handle_t *data_file) {
    auto &f = data_file->i6_0;
    auto &hi = f.header->i6_0;
    // A stream that failed before (a flush of the caller's) cannot be pushed out either.
    int stream_error = Z_OK;
    gzerror(f.data_file, &stream_error);
    if (stream_error != Z_OK || gzflush(f.data_file, Z_SYNC_FLUSH) != Z_OK) {
        return TESRA_CLOSE_FILE_FAILED;
    }
    if (auto rc = tesra_write_object_index_v6_0(data_file); rc != TESRA_SUCCESS) return rc;
    f.duration = f.end_time - f.start_time;
    if (auto rc = patch_field(f.metadata_file, hi.duration_header_offset, f.duration);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    if (auto rc = patch_field(f.metadata_file, hi.start_time_header_offset, f.start_time);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    if (auto rc = patch_field(f.metadata_file, hi.end_time_header_offset, f.end_time);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    // The index and the times reach the file before the offset that makes readers use them.
    if (auto rc = tesra::write::flush(f.metadata_file); rc != TESRA_SUCCESS) return rc;
    for (int i = 0; i < TOTAL_NUM_SECTIONS; ++i) {
        const tesra_section_def_t_v6_0 &s = hi.section_defs[i];
        if (auto rc = tesra::write::seek_to(f.metadata_file, s.header_offset); rc != TESRA_SUCCESS)
            return rc;
        // A zero offset means "no such section", which the document already says.
        if (s.section_offset != 0) {
            if (auto rc = patch_field(f.metadata_file, s.header_offset,
                                      s.section_offset - hi.header_offset);
                rc != TESRA_SUCCESS) {
                return rc;
            }
        }
    }
    // Closing the stream later reports nothing, so the offsets are pushed out here where a
    // failure can still be told to the caller.
    return tesra::write::flush(f.metadata_file);
}

}  // namespace

extern "C" tesra_error_t tesra_close_data_file(tesra_file_handle_t *data_file) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_close_data_file_v6_0(data_file);
}

extern "C" tesra_error_t tesra_close_data_file_v6_0(tesra_file_handle_t *data_file) {
    auto &f = data_file->i6_0;
    if (f.data_file == nullptr) return TESRA_FILE_NOT_FOUND;

    tesra_error_t noted = TESRA_SUCCESS;
    if (f.header == nullptr) {
        noted = TESRA_NULL_POINTER;
    } else if ((f.access_flag & tesra::write::kReadAccess) != 0) {
        // Opened by the reader: nothing of it is ours to write.
    } else if (tesra::write::has_lost_write_access(data_file)) {
        // The index names a record whose bytes never reached the stream; writing it would
        // point readers at data that is not there.
        noted = TESRA_WRITE_FAILED;
    } else if (f.metadata_written_count == 0) {
        // The document was never (completely) written: the remembered field positions are
        // all 0, and an index or patches would land on the start of the file. The archive is
        // unusable; the caller learns so and removes it.
        noted = TESRA_WRITE_FAILED;
    } else {
        noted = complete_archive(data_file);
    }
    const tesra_error_t released = tesra_free_file(data_file);
    return noted != TESRA_SUCCESS ? noted : released;
}

extern "C" tesra_error_t tesra_unlink(const char *file_path) {
    if (file_path == nullptr) return TESRA_INVALID_ARGUMENTS;
    const std::size_t length = std::strlen(file_path);
    tesra::c_ptr<char> meta_path(static_cast<char *>(std::malloc(length + sizeof ".meta")));
    if (!meta_path) return TESRA_NULL_POINTER;
    tesra::c_ptr<char> data_path(static_cast<char *>(std::malloc(length + sizeof ".gz")));
    if (!data_path) return TESRA_NULL_POINTER;
    std::snprintf(meta_path.get(), length + sizeof ".meta", "%s.meta", file_path);
    std::snprintf(data_path.get(), length + sizeof ".gz", "%s.gz", file_path);
    // The metadata file goes first: without it nothing takes the pair for an archive, so a
    // failure part-way never leaves a pair that looks whole.
    if (std::remove(meta_path.get()) != 0) return TESRA_UNLINK_ERROR;
    if (std::remove(data_path.get()) != 0) return TESRA_UNLINK_ERROR;
    return TESRA_SUCCESS;
}
