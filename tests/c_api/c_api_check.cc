// The installed headers seen from C++: they must compile here too, and their functions must keep
// C linkage, which the call below proves at link time.
#include <cstdio>
#include <type_traits>

#include "tesra_common_defs.h"
#include "tesra_ext_defs.h"
#include "tesra_int_defs.h"
#include "tesra_live.h"
#include "tesra_preset.h"
#include "tesra_series.h"
#include "tesra_values.h"
#include "tesra_wrapper_header.h"
#include "tesra_write_ext.h"

static_assert(std::is_standard_layout_v<tesra_version_t>);
static_assert(std::is_trivially_copyable_v<tesra_counter_data_t_v6_0>);

int main() {
    tesra_version_t v{6, 1};
    if (!tesra_is_version(&v, 6, 1) || tesra_is_version(&v, 7, 0)) {
        std::fprintf(stderr, "c_api: tesra_is_version gives wrong answers from C++\n");
        return 1;
    }
    if (tesra_is_being_written(nullptr, nullptr) != TESRA_INVALID_ARGUMENTS) {
        std::fprintf(stderr, "c_api: tesra_is_being_written takes a null handle from C++\n");
        return 1;
    }
    if (tesra_series_member_count(nullptr) != 0) {
        std::fprintf(stderr, "c_api: tesra_series_member_count(NULL) is not 0 from C++\n");
        return 1;
    }
    return 0;
}
