/* An outside client of an installed tesra: reads the format version of an archive through the
 * extraction library and the interface version of the reader, and checks that the utility
 * library agrees on the latest format, and opens the archive as a series of one. Built by tests/install/cmake (find_package) and by
 * scripts/check-install (pkg-config and cc). Usage: client <archive base path> */
#include <stdio.h>

#include "tesra_ext_defs.h"
#include "tesra_series.h"
#include "tesra_wrapper_header.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s BASE\n", argv[0]);
        return 2;
    }
    char *error = NULL;
    tesra_wrapper_file_version version = get_tesra_file_version(argv[1], &error);
    if (version.major_v == FILE_VERSION_ERROR) {
        fprintf(stderr, "client: %s: %s\n", argv[1], error != NULL ? error : "no error text");
        free_tesra_file_version(error);
        return 1;
    }
    free_tesra_file_version(error);

    tesra_version_t latest = {0, 0};
    tesra_set_latest_version(&latest);
    if (version.major_v != latest.major_v || version.minor_v != latest.minor_v) {
        fprintf(stderr, "client: archive is %u.%u, latest format is %u.%u\n",
                (unsigned)version.major_v, (unsigned)version.minor_v, (unsigned)latest.major_v,
                (unsigned)latest.minor_v);
        return 1;
    }
    const char *sources[1] = {argv[1]};
    tesra_series_t *series = NULL;
    tesra_error_t rc = tesra_series_open(sources, 1, NULL, &series);
    const size_t members = tesra_series_member_count(series);
    tesra_series_close(series);
    if (rc != TESRA_SUCCESS || members != 1) {
        fprintf(stderr, "client: %s as a series: %s, %u member(s)\n", argv[1],
                tesra_error_labels[rc], (unsigned)members);
        return 1;
    }
    printf("format %u.%u, reader interface %u.%u\n", (unsigned)version.major_v,
           (unsigned)version.minor_v, (unsigned)tesra_get_major_version(),
           (unsigned)tesra_get_minor_version());
    return 0;
}
