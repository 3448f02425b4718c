// Keeps C++ exceptions from crossing the C boundary. Our code throws nothing itself; what can
// escape a body is the standard library's report of a failed allocation (std::bad_alloc, or
// std::length_error from a container asked to outgrow its maximum size). Both mean "could not
// allocate", which the C interface reports as TESRA_NULL_POINTER like every other allocation
// failure, so one catch-all covers them and anything else that might escape.
#pragma once

#include "tesra/tesra_common_defs.h"

namespace tesra {

template <class F>
tesra_error_t guarded(F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return TESRA_NULL_POINTER;
    }
}

}  // namespace tesra
