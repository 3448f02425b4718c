/* Reader extension: every counter value of an instance in one call.
 *
 * The counter-data walk (tesra_first_counter_data, tesra_next_counter_data and
 * tesra_get_counter_data_value) hands out one counter at a time, looking the counter up and
 * placing its slot anew at every step. A consumer that wants all of them, such as a loader that
 * fills a column per counter, asks for the whole instance instead: the slots are placed once per
 * record or sample time and each instance costs one decoding pass over its bytes. */
#ifndef TESRA_VALUES_H
#define TESRA_VALUES_H

#include <stdint.h>

#include "tesra_common_defs.h"
#include "tesra_ext_defs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- libtesraread ------------------------------------------------------------------------ */

/** The counters of an instance and their value lists, in the counter-data walk's order. */
typedef struct tesra_instance_values_v6_0 {
    uint32_t num_cnts;                        /* key counters first, then the read counters */
    tesra_counter_handle_t *const *counters;  /* the header's counters */
    const tesra_counter_data_t_v6_0 *values;  /* one value list per counter */
} tesra_instance_values_t_v6_0;

/** Fills `*values` with what the counter-data walk of `instance` gives, counter by counter and
 *  in the same order: the instance's key counters with their values, then the counters of its
 *  record (every counter of the record's period) or of its query (the counters the query
 *  named), each decoded from its slot in the instance. An instance without key counters has no
 *  counter data, as for the walk: `num_cnts` is 0 and both arrays are NULL.
 *
 *  The arrays, the value lists and their strings are memory the reader owns and reuses for the
 *  instance's next call; the caller frees nothing. They stay valid until the next of: another
 *  tesra_get_instance_values call or a counter-data walk call (first, next, find) on the same
 *  instance; the next step of the walk that handed out the instance (which reuses or releases
 *  it); the release of the instance, its record or timestamp, or anything that releases those.
 *  The counter handles themselves belong to the archive's header and live as long as it does.
 *  A successful call may end what the counter-data walk of the instance last handed out, as a
 *  step of that walk does; the walk's position is left as it was.
 *
 *  Returns TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS for a null argument or an instance that
 *  belongs to neither a record nor a timestamp; TESRA_INVALID_VERSION for a handle that is not
 *  6.x; and where the walk would stop with an error, the code it would stop with, whichever
 *  counter it is at: TESRA_PERIOD_NOT_FOUND for a query counter that none of the query's
 *  periods holds, TESRA_CORRUPT_ARCHIVE for a slot outside the instance or more labels than
 *  slot bytes, TESRA_COUNTER_NOT_FOUND for a key the object lacks. Value lists that would take
 *  more than 64 MiB and more than 16 times the instance's size in all, which only slots that
 *  overlap can reach, also give TESRA_CORRUPT_ARCHIVE; TESRA_NULL_POINTER when memory runs out.
 *  On failure `*values` is { 0, NULL, NULL }. */
TESRA_API tesra_error_t tesra_get_instance_values(tesra_instance_handle_t *instance,
                                                  tesra_instance_values_t_v6_0 *values);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_VALUES_H */
