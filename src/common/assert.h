// Preconditions that only a programming error can break. They name the library's component and
// the function, then abort: such a state is never reported as a result code.
#pragma once

#include <cstdio>
#include <cstdlib>

#define TESRA_ASSERT_IMPL(component, cond)                                                     \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "%s: %s: assertion failed: %s\n", component, __func__, #cond); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

#define TESRA_UTIL_ASSERT(cond) TESRA_ASSERT_IMPL("src/api/tesra_util", cond)
#define TESRA_WRITE_ASSERT(cond) TESRA_ASSERT_IMPL("src/api/tesra_write", cond)
#define TESRA_READ_ASSERT(cond) TESRA_ASSERT_IMPL("src/api/tesra_read", cond)
