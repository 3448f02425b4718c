// The period table, lookups on it, a counter's ascending period list and the header's
// object-index table (one row of period slots per object).
#include <cstddef>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "util_internal.h"

extern "C" {

const uint64_t _tesra_period_map[TESRA_NUM_PERIODS] = {
    1000,    5000,    10000,    30000,    60000,    300000,    600000,
    1800000, 3600000, 21600000, 43200000, 86400000, 604800000, TESRA_ONCE_PER_ARCHIVE_PERIOD,
};

}  // extern "C"

namespace tesra::util {

std::optional<uint32_t> period_index(uint64_t period) noexcept {
    for (uint32_t i = 0; i < TESRA_NUM_PERIODS; ++i) {
        if (_tesra_period_map[i] == period) return i;
    }
    return std::nullopt;
}

}  // namespace tesra::util

namespace {

// Where the entry of row `obj_count` and `period` lives, or the code that refuses the access.
tesra_error_t locate_object_index_entry(const tesra_header_handle_t *header,
                                        uint32_t obj_count,
                                        uint64_t period,
                                        std::size_t *out) {
    if (header == nullptr) return TESRA_NULL_POINTER;
    const tesra_header_int_t_v6_0 &hdr = header->i6_0;
    if (obj_count >= hdr.num_objects_sampled) return TESRA_OBJECT_NOT_FOUND;
    const auto index = tesra::util::period_index(period);
    if (!index) return TESRA_PERIOD_NOT_FOUND;
    // A header whose table was never allocated has no entry to read or write.
    if (hdr.object_index == nullptr) return TESRA_NULL_POINTER;
    *out = static_cast<std::size_t>(obj_count) * TESRA_NUM_PERIODS + *index;
    return TESRA_SUCCESS;
}

}  // namespace

extern "C" tesra_error_t tesra_get_period_index(uint64_t period, uint32_t *period_index) {
    const auto index = tesra::util::period_index(period);
    if (!index) return TESRA_PERIOD_NOT_FOUND;
    *period_index = *index;
    return TESRA_SUCCESS;
}

extern "C" bool tesra_is_period_valid(uint64_t period) {
    return tesra::util::period_index(period).has_value();
}

extern "C" tesra_error_t tesra_add_period_to_counter_v6_0(uint64_t period,
                                                          tesra_counter_handle_t *counter) {
    if (counter == nullptr) return TESRA_NULL_POINTER;
    tesra_counter_def_t_v6_0 &def = counter->e6_0;
    const uint32_t n = def.num_periods;
    for (uint32_t i = 0; i < n && i < TESRA_NUM_PERIODS; ++i) {
        if (def.periods[i] == period) return TESRA_PERIOD_EXISTS;
    }
    // A list already holding 14 values (only possible after adding one outside the table, or
    // with a corrupt count) has no free slot: refusing keeps the write inside the array.
    if (n >= TESRA_NUM_PERIODS) return TESRA_INVALID_ARGUMENTS;

    // Insertion into the ascending list: carry the larger value towards the end.
    uint64_t carried = period;
    for (uint32_t i = 0; i < n; ++i) {
        if (def.periods[i] > carried) {
            const uint64_t bigger = def.periods[i];
            def.periods[i] = carried;
            carried = bigger;
        }
    }
    def.periods[n] = carried;
    def.num_periods = static_cast<uint8_t>(n + 1);
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_object_period_offset(tesra_header_handle_t *header,
                                                        uint32_t obj_count,
                                                        uint64_t period,
                                                        tesra_offset_t *offset) {
    std::size_t pos = 0;
    if (auto rc = locate_object_index_entry(header, obj_count, period, &pos); rc != TESRA_SUCCESS)
        return rc;
    *offset = header->i6_0.object_index[pos];
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_set_object_period_offset(tesra_header_handle_t *header,
                                                        uint32_t obj_count,
                                                        uint64_t period,
                                                        tesra_offset_t offset) {
    std::size_t pos = 0;
    if (auto rc = locate_object_index_entry(header, obj_count, period, &pos); rc != TESRA_SUCCESS)
        return rc;
    header->i6_0.object_index[pos] = offset;
    return TESRA_SUCCESS;
}
