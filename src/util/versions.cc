// The version pair that heads every record and handle, and the test by which an operation
// recognises format version 6.
#include <cstddef>
#include <cstring>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "util_internal.h"

namespace {

// Every record and handle starts with the pair, so these offsets hold for all of them.
static_assert(offsetof(tesra_version_t, major_v) == 0);
static_assert(offsetof(tesra_version_t, minor_v) == 4);
static_assert(offsetof(tesra_file_handle_t, minor_v) == 4);
static_assert(offsetof(tesra_counter_def_t_v6_0, minor_v) == 4);
static_assert(offsetof(tesra_record_header_data_t_v6_0, minor_v) == 4);

}  // namespace

namespace tesra::util {

// Read through memcpy: the pointer may designate any of a dozen record types.
tesra_version_t read_version(const void *data) noexcept {
    tesra_version_t v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

bool is_version(const void *data, uint32_t major_v, uint32_t minor_v) noexcept {
    const tesra_version_t v = read_version(data);
    return v.major_v == major_v && v.minor_v >= minor_v;
}

}  // namespace tesra::util

extern "C" void tesra_get_version(void *data, uint32_t *major_v, uint32_t *minor_v) {
    const tesra_version_t v = tesra::util::read_version(data);
    *major_v = v.major_v;
    *minor_v = v.minor_v;
}

extern "C" bool tesra_is_version(void *data, uint32_t major_v, uint32_t minor_v) {
    return tesra::util::is_version(data, major_v, minor_v);
}

extern "C" void tesra_set_latest_version(void *data) {
    const tesra_version_t latest{tesra::util::kLatestMajor, tesra::util::kLatestMinor};
    std::memcpy(data, &latest, sizeof latest);
}
