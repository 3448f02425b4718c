/* Writer extensions: the deflate level of an archive's data stream.
 * The stream stays an ordinary gzip stream whatever the level; readers need nothing to read it.
 * The level is chosen per archive, in this order of precedence:
 *   1. tesra_set_compression_level on the writing handle, before its first record;
 *   2. the environment variable TESRA_GZIP_LEVEL, read once by tesra_create_data_file, for
 *      services that cannot change their code: a single digit 0-9. Any other value (empty,
 *      signed, spaced, two digits, text) makes the creation fail with TESRA_INVALID_ARGUMENTS
 *      before either file is created, rather than fall back to the default unnoticed;
 *   3. TESRA_DEFAULT_COMPRESSION_LEVEL.
 * No other call of the libraries reads the environment. */
#ifndef TESRA_WRITE_EXT_H
#define TESRA_WRITE_EXT_H

#include "tesra_common_defs.h"
#include "tesra_ext_defs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Levels run from 0 (stored, no compression) to 9 (smallest output, slowest). */
#define TESRA_MIN_COMPRESSION_LEVEL 0
#define TESRA_MAX_COMPRESSION_LEVEL 9
/* The level of a new archive when neither the call nor the environment chooses one. */
#define TESRA_DEFAULT_COMPRESSION_LEVEL 4
/* Name of the environment variable read by tesra_create_data_file. */
#define TESRA_GZIP_LEVEL_ENV "TESRA_GZIP_LEVEL"

/** Sets the deflate level (0-9) of the data stream of `data_file`, a handle made by
 * tesra_create_data_file, for all its records; it overrides TESRA_GZIP_LEVEL. Nothing is
 * handed out. Valid until the first record enters the stream (a record the writer refused does
 * not count); any number of calls before it, the last one wins.
 * Result codes: TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS for a null handle, a level outside 0-9 or
 * a call after the first record; TESRA_INVALID_VERSION for a handle that is not 6.x;
 * TESRA_INVALID_FILE_TYPE for a handle opened by the reader (tesra_open_data_file);
 * TESRA_FILE_NOT_FOUND for a handle without a data stream; TESRA_WRITE_FAILED when the stream
 * refuses the change (it has already failed). */
TESRA_API tesra_error_t tesra_set_compression_level(tesra_file_handle_t *data_file, int level);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_WRITE_EXT_H */
