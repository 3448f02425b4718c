// Creating an archive pair for writing, and fixing its start time.
#include <cstdio>
#include <memory>
#include <string>

#include <zlib.h>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "write_internal.h"

namespace tesra::write {
namespace {

struct FileReleaser {
    void operator()(tesra_file_handle_t *f) const noexcept { tesra_free_file(f); }
};
using FileOwner = std::unique_ptr<tesra_file_handle_t, FileReleaser>;

// "<base><suffix>" in a buffer sized exactly for it.
char *join_path(const char *base, const char *suffix) {
    const std::size_t size = std::strlen(base) + std::strlen(suffix) + 1;
    auto *path = static_cast<char *>(std::malloc(size));
    if (path != nullptr) std::snprintf(path, size, "%s%s", base, suffix);
    return path;
}

}  // namespace
}  // namespace tesra::write

extern "C" tesra_error_t tesra_create_data_file(const char *file_path,
                                                uint32_t major_v,
                                                uint32_t minor_v,
                                                uint64_t duration,
                                                tesra_file_handle_t **data_file,
                                                const char **meta_path,
                                                const char **data_path) {
    if (major_v != 6) return TESRA_INVALID_VERSION;
    if (file_path == nullptr || data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    return tesra_create_data_file_v6_0(file_path, major_v, minor_v, duration, data_file, meta_path,
                                       data_path);
}

extern "C" tesra_error_t tesra_create_data_file_v6_0(const char *file_path,
                                                     uint32_t major_v,
                                                     uint32_t minor_v,
                                                     uint64_t duration,
                                                     tesra_file_handle_t **data_file,
                                                     const char **meta_path,
                                                     const char **data_path) {
    // A failed creation leaves the out-parameter null rather than pointing at a released handle.
    *data_file = nullptr;
    tesra::write::FileOwner file(tesra::c_calloc<tesra_file_handle_t>());
    if (!file) return TESRA_NULL_POINTER;
    file->major_v = major_v;
    file->minor_v = minor_v;
    file->e6_0.major_v = major_v;
    file->e6_0.minor_v = minor_v;
    if (!tesra_is_version(file.get(), 6, 0) || duration == 0) return TESRA_INVALID_ARGUMENTS;
    // Read before anything is created, so that a bad level leaves no files behind.
    tesra::write::DataStreamMode mode{};
    if (auto rc = tesra::write::data_stream_mode(&mode); rc != TESRA_SUCCESS) return rc;

    auto &f = file->i6_0;
    f.metadata_file_path = tesra::write::join_path(file_path, ".meta");
    if (f.metadata_file_path == nullptr) return TESRA_NULL_POINTER;
    f.data_file_path = tesra::write::join_path(file_path, ".gz");
    if (f.data_file_path == nullptr) return TESRA_NULL_POINTER;

    f.access_flag = 2;
    f.duration = duration;
    f.start_time = tesra::format::kUnsetStartTime;
    f.end_time = 0;

    f.metadata_file = std::fopen(f.metadata_file_path, "w");
    if (f.metadata_file == nullptr) return TESRA_NULL_POINTER;
    f.data_file = gzopen(f.data_file_path, mode.data());
    if (f.data_file == nullptr) return TESRA_NULL_POINTER;
    file->e6_0.file_path = tesra::c_strdup(file_path);
    if (file->e6_0.file_path == nullptr) return TESRA_NULL_POINTER;

    if (meta_path != nullptr) *meta_path = f.metadata_file_path;
    if (data_path != nullptr) *data_path = f.data_file_path;
    *data_file = file.release();
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_set_start_time(tesra_file_handle_t *data_file, uint64_t start_time) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_set_start_time_v6_0(data_file, start_time);
}

extern "C" tesra_error_t tesra_set_start_time_v6_0(tesra_file_handle_t *data_file,
                                                   uint64_t start_time) {
    // The slot tables are laid out from the start, so it is fixed once and never moves.
    if (data_file->i6_0.start_time != tesra::format::kUnsetStartTime) {
        return TESRA_INVALID_TIMESTAMP;
    }
    data_file->i6_0.start_time = start_time;
    return TESRA_SUCCESS;
}
