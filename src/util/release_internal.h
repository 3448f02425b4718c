// Small helpers of the release operations, shared by the two files that hold them.
#pragma once

#include "common/assert.h"
#include "common/c_memory.h"
#include "util_internal.h"

namespace tesra::util {

// Frees an owned pointer field and clears it, so that nothing can reach the freed memory.
template <class P>
void free_field(P &field) noexcept {
    tesra::c_free(field);
    field = nullptr;
}

// Only the version-6 layout exists, so a handle of another version cannot be taken apart. A
// handle that was allocated but never stamped (0.0) is all zero and is released as version 6.
inline void assert_releasable(const void *handle) noexcept {
    const tesra_version_t v = read_version(handle);
    TESRA_UTIL_ASSERT(v.major_v == kFormatMajor || (v.major_v == 0 && v.minor_v == 0));
}

}  // namespace tesra::util
