// Data-stream access through zlib's own seek and read.
#include "read/data_stream.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace tesra::read {

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
    if (gzseek64(gz, static_cast<z_off64_t>(offset), SEEK_SET) == -1) return TESRA_SEEK_FAILED;
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t chunk = std::min<std::size_t>(out.size() - done, 1u << 30);
        const int n = gzread(gz, out.data() + done, static_cast<unsigned>(chunk));
        if (n < 0) return TESRA_READ_FAILED;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    *got = done;
    return TESRA_SUCCESS;
}

tesra_error_t read_data_exact(tesra_file_handle_t &file,
                              uint64_t offset,
                              std::span<std::byte> out) noexcept {
    std::size_t got = 0;
    if (auto rc = read_data_at(file, offset, out, &got); rc != TESRA_SUCCESS) return rc;
    return got == out.size() ? TESRA_SUCCESS : TESRA_READ_FAILED;
}

}  // namespace tesra::read
