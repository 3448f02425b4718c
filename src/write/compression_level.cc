// The deflate level of a writing handle's data stream: the one the environment asks for at
// creation, and the call that changes it before the first record.
#include <cstdlib>

#include <zlib.h>

#include "tesra/tesra_int_defs.h"
#include "tesra/tesra_write_ext.h"

#include "write_internal.h"

namespace tesra::write {

static_assert(TESRA_MIN_COMPRESSION_LEVEL == 0 && TESRA_MAX_COMPRESSION_LEVEL == 9,
              "one digit names every level, in zlib's own range");
static_assert(TESRA_DEFAULT_COMPRESSION_LEVEL >= TESRA_MIN_COMPRESSION_LEVEL &&
              TESRA_DEFAULT_COMPRESSION_LEVEL <= TESRA_MAX_COMPRESSION_LEVEL);

tesra_error_t data_stream_mode(DataStreamMode *out) {
    char level = '0' + TESRA_DEFAULT_COMPRESSION_LEVEL;
    if (const char *value = std::getenv(TESRA_GZIP_LEVEL_ENV); value != nullptr) {
        // Exactly one digit: a service that sets the variable wants that level, so anything
        // else is its mistake to hear about, not a reason to write at some other level.
        if (value[0] < '0' || value[0] > '9' || value[1] != '\0') return TESRA_INVALID_ARGUMENTS;
        level = value[0];
    }
    *out = {'w', 'b', level, '\0'};
    return TESRA_SUCCESS;
}

}  // namespace tesra::write

extern "C" tesra_error_t tesra_set_compression_level(tesra_file_handle_t *data_file, int level) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (level < TESRA_MIN_COMPRESSION_LEVEL || level > TESRA_MAX_COMPRESSION_LEVEL) {
        return TESRA_INVALID_ARGUMENTS;
    }
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;

    auto &f = data_file->i6_0;
    if ((f.access_flag & tesra::write::kReadAccess) != 0) return TESRA_INVALID_FILE_TYPE;
    if (f.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    // Records already in the stream were deflated at the old level, and a handle that lost
    // its stream takes no more records: either way the choice comes too late.
    if (f.data_written_count != 0 || tesra::write::has_lost_write_access(data_file)) {
        return TESRA_INVALID_ARGUMENTS;
    }
    // Nothing has entered zlib's buffers yet, so this only records the level for the first
    // deflate call; it fails only on a stream in error.
    return gzsetparams(f.data_file, level, Z_DEFAULT_STRATEGY) == Z_OK ? TESRA_SUCCESS
                                                                       : TESRA_WRITE_FAILED;
}
