// The names of an object's counters at one period, for queries over those counters, and the
// release of counter headers.
#include <cstdlib>
#include <new>

#include "tesra/tesra_wrapper_header.h"
#include "wrap_archive.h"

namespace tesra::wrap {
namespace {

// Walks the object's non-key counters at `period`, handing each name (borrowed from the
// archive) to `store`. Returns the walk's code; `*count` is written only when the chain ends
// (success or TESRA_PERIOD_NOT_FOUND).
template <class Store>
tesra_error_t walk_counter_names(tesra_object_handle_t *object,
                                 uint64_t period,
                                 uint32_t *count,
                                 Store &&store) {
    tesra_counter_handle_t *counter = nullptr;
    tesra_error_t rc = tesra_first_counter_by_period(object, period, &counter);
    uint32_t stored = 0;
    while (rc == TESRA_SUCCESS && counter != nullptr) {
        tesra_counter_def_t info{};
        if (const tesra_error_t info_rc = tesra_get_counter_info(counter, &info);
            info_rc != TESRA_SUCCESS) {
            return info_rc;
        }
        if (const tesra_error_t store_rc = store(stored, info.name); store_rc != TESRA_SUCCESS) {
            return store_rc;
        }
        ++stored;
        // The walk's end leaves `counter` untouched when the cursor is already gone.
        tesra_counter_handle_t *next = nullptr;
        rc = tesra_next_counter_by_period(object, period, &next);
        counter = next;
    }
    // An object not sampled at `period` ends the chain as an empty one would: the count
    // stored is reported with the code. Any other failing step leaves `*count` alone.
    if (rc != TESRA_SUCCESS && rc != TESRA_PERIOD_NOT_FOUND) return rc;
    *count = stored;
    return rc;
}

}  // namespace

tesra_error_t collect_counter_names(tesra_object_handle_t *object,
                                    uint64_t period,
                                    std::vector<const char *> *out) {
    out->clear();
    uint32_t count = 0;
    return walk_counter_names(object, period, &count, [out](uint32_t, const char *name) {
        try {
            out->push_back(name);
        } catch (const std::bad_alloc &) {
            return TESRA_NULL_POINTER;
        }
        return TESRA_SUCCESS;
    });
}

}  // namespace tesra::wrap

extern "C" tesra_error_t get_counter_info(tesra_object_handle_t *current_object,
                                          uint64_t time_period,
                                          const char **cnt_names,
                                          uint32_t *cnt_idx) {
    if (current_object == nullptr || cnt_names == nullptr || cnt_idx == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    // The caller sizes `cnt_names` for every counter of the period; there is no way to tell
    // its length from here.
    return tesra::wrap::walk_counter_names(current_object,
                                           time_period,
                                           cnt_idx,
                                           [cnt_names](uint32_t position, const char *name) {
                                               cnt_names[position] = name;
                                               return TESRA_SUCCESS;
                                           });
}

extern "C" void free_counter_headers(counter_wrapper_headers *counter_values_headers_array,
                                     uint32_t header_count) {
    if (counter_values_headers_array == nullptr) return;
    for (uint32_t i = 0; i < header_count; ++i)
        std::free(counter_values_headers_array[i].counter_name);
    std::free(counter_values_headers_array);
}
