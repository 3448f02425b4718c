/* The preset of an archive (system, attribute, object, aggregation and counter definitions)
 * read from the XML part of its metadata file alone, and copied into a new archive. Tools that
 * salvage or rewrite archives use it where the index section or the data stream cannot be
 * trusted. */
#ifndef TESRA_PRESET_H
#define TESRA_PRESET_H

#include "tesra_ext_defs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- libtesraread ------------------------------------------------------------------------ */

/** Parses the XML document of the metadata file `meta_path` (a `<base>.meta` path; nothing after
 *  its 0x00 byte is read, nor the data stream) into a header `*preset`, which the caller owns
 *  and releases with tesra_free_meta_preset; navigate it with the header operations (objects,
 *  counters, periods, system and header information).
 *  Returns TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS for a null argument; TESRA_FILE_NOT_FOUND when
 *  the file does not open; TESRA_PARSING_ERROR when the XML does not parse or is not an archive
 *  document; TESRA_INVALID_VERSION for a format major version other than 6; TESRA_NULL_POINTER
 *  when memory runs out; or the code with which a definition of the document is refused (as
 *  tesra_open_data_file refuses it). `*preset` is set on success only. */
TESRA_API tesra_error_t tesra_read_meta_preset(const char *meta_path,
                                               tesra_header_handle_t **preset);

/** Releases a preset from tesra_read_meta_preset and everything it holds; NULL does nothing. */
TESRA_API void tesra_free_meta_preset(tesra_header_handle_t *preset);

/** Builds the header of `data_file`, a new archive from tesra_create_data_file, from `preset`:
 *  its header and system definitions, attribute definitions, and every object with its
 *  aggregations and its counters at each of their periods, stamped with `data_file`'s version.
 *  `preset` stays the caller's; `*header` is the archive's (as from tesra_create_header). Call
 *  tesra_finalize_header next. On failure what was built so far stays with `data_file`.
 *  Returns TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS for a null argument; or the first failing code
 *  of header building (tesra_create_header, tesra_add_attr_def, tesra_add_object,
 *  tesra_add_aggregation, tesra_add_counter). `*header` is set on success only. */
TESRA_API tesra_error_t tesra_copy_meta_preset(tesra_header_handle_t *preset,
                                               tesra_file_handle_t *data_file,
                                               tesra_header_handle_t **header);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_PRESET_H */
