/* Companion libraries: listings of archive folders and store collections (libtesradir) and
 * packed core files (libtesracore). They fill the directory, collection and core-file records
 * that libtesrautil releases. Compiles as C11 and as C++. */
#ifndef TESRA_COMPANION_H
#define TESRA_COMPANION_H

#include "tesra/tesra_ext_defs.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Lists the archives of folder `directory_path`: every `<base>.meta` whose base is an archive
 *  name, ascending by file index. `*out` is the caller's; release it with tesra_free_directory. */
TESRA_API tesra_error_t tesra_dir_open(const char *directory_path, tesra_directory_handle_t **out);

/** Opens folder `collection_path` as a collection with one store per subfolder, each listing
 *  that subfolder's archives. `*out` is the caller's; release it with tesra_free_collection. */
TESRA_API tesra_error_t tesra_collection_open(const char *collection_path,
                                              tesra_collection_handle_t **out);

/** Opens the 7z archive `file_path` and lists its entries (files and folders, names in ASCII).
 *  `*out` is the caller's and keeps the archive open; release it with tesra_free_corefile. */
TESRA_API tesra_error_t tesra_corefile_open(const char *file_path, tesra_corefile_handle_t **out);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_COMPANION_H */
