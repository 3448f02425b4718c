/* A plain C11 user of every installed header, built with -pedantic -Werror. The facts below are
 * the ones a C client relies on without seeing our sources: sizes and offsets of the records it
 * fills in, and result values it compares against. */
#include <stddef.h>
#include <stdio.h>

#include "tesra_common_defs.h"
#include "tesra_ext_defs.h"
#include "tesra_int_defs.h"
#include "tesra_preset.h"
#include "tesra_wrapper_header.h"

_Static_assert(sizeof(tesra_version_t) == 8, "version pair is two uint32");
_Static_assert(offsetof(tesra_version_t, minor_v) == 4, "minor follows major");
_Static_assert(sizeof(tesra_error_t) == 4, "results are 32-bit");
_Static_assert(TESRA_SUCCESS == 0, "success is zero");
_Static_assert(sizeof(tesra_cnt_value_t) == 8, "counter values are 8-byte slots");
_Static_assert(TESRA_NUM_PERIODS == 14, "per-period arrays have 14 slots");

static int failures;

static void expect(bool got, bool want, const char *what) {
    if (got != want) {
        fprintf(stderr, "c_api: %s: got %d, want %d\n", what, (int)got, (int)want);
        ++failures;
    }
}

int main(void) {
    tesra_version_t v = {6, 1};

    /* Major must match exactly; the minor version is a lower bound. */
    expect(tesra_is_version(&v, 6, 0), true, "6.1 is at least 6.0");
    expect(tesra_is_version(&v, 6, 1), true, "6.1 is at least 6.1");
    expect(tesra_is_version(&v, 6, 2), false, "6.1 is not 6.2");
    expect(tesra_is_version(&v, 5, 0), false, "6.1 is not major 5");
    return failures == 0 ? 0 : 1;
}
