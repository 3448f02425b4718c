// Keeps C++ exceptions from crossing the C boundary: allocation failures inside C++ helpers
// become TESRA_NULL_POINTER, as every other allocation failure is reported.
#pragma once

#include <new>
#include <stdexcept>

#include "tesra/tesra_common_defs.h"

namespace tesra {

template <class F>
tesra_error_t guarded(F &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return TESRA_NULL_POINTER;
    } catch (const std::length_error &) {
        return TESRA_NULL_POINTER;
    } catch (...) {
        return TESRA_NULL_POINTER;
    }
}

}  // namespace tesra
