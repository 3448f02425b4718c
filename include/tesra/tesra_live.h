/* Reader extensions for archives that a writer is still writing: follow the data stream as it
 * grows, and tell whether an open archive is still being written.
 *
 * An archive opened while its writer still holds it has no index section on disk; the reader
 * indexes the records it finds in the data stream. tesra_refresh_data_file extends that index
 * with what the writer flushed since, reading only the new bytes, so that a follower polling an
 * archive for hours costs time in proportion to the data, not to the number of polls. */
#ifndef TESRA_LIVE_H
#define TESRA_LIVE_H

#include <stdint.h>

#include "tesra_common_defs.h"
#include "tesra_ext_defs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- libtesraread ------------------------------------------------------------------------ */

/** Extends the index of `file`, an archive opened with tesra_open_data_file, with the records
 *  its writer appended to the data stream since the open or the last refresh. Only the new bytes
 *  are read. A record cut short at the end of the stream is left for a later refresh. When the
 *  writer has closed the archive since (its metadata file now holds the index section), the
 *  handle takes the closed archive's index and end time and reads from then on as a closed
 *  archive; refreshing a closed archive finds nothing new. Walks, queries and timestamp lists
 *  started after the call see the new records; items handed out before it stay valid until
 *  their next step or release.
 *  `*new_records` (may be NULL) receives the number of records added to the index.
 *  Returns TESRA_SUCCESS (also when nothing is new); TESRA_INVALID_ARGUMENTS for a null handle
 *  and for a handle still being written that was opened with access "rw" (it reads through
 *  zlib's own stream and keeps no place to resume from);
 *  TESRA_INVALID_VERSION for a handle that is not 6.x; TESRA_INVALID_FILE_TYPE for a handle made
 *  by the writer; TESRA_FILE_NOT_FOUND for a closed handle; TESRA_CORRUPT_ARCHIVE when the data
 *  stream is shorter than or differs from what was already indexed, when a new record breaks the
 *  record rules, or when an index section that appeared does not match the records already
 *  indexed; TESRA_READ_FAILED when a file cannot be read; TESRA_NULL_POINTER when memory runs
 *  out. On failure the handle keeps the index it had and stays usable for it, and
 *  `*new_records` is 0. */
TESRA_API tesra_error_t tesra_refresh_data_file(tesra_file_handle_t *file,
                                                uint32_t *new_records);

/** Sets `*being_written` to 1 when `file`, an archive opened with tesra_open_data_file, has no
 *  index section (its writer has not closed it, or died before closing it) and to 0 when it was
 *  opened, or refreshed, as a closed archive.
 *  Returns TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS for a null argument; TESRA_INVALID_VERSION for
 *  a handle that is not 6.x; TESRA_INVALID_FILE_TYPE for a handle made by the writer;
 *  TESRA_FILE_NOT_FOUND for a closed handle. `*being_written` is set on success only. */
TESRA_API tesra_error_t tesra_is_being_written(const tesra_file_handle_t *file,
                                               int *being_written);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_LIVE_H */
