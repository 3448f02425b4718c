// Live C allocations of the whole process, for tests that check a release frees everything it
// owns. The sanitizer build checks leaks itself and counts nothing here.
#pragma once

#include <cstddef>

#include <gtest/gtest.h>

namespace tesra::test {

// Whether this build counts allocations (false under AddressSanitizer).
bool heap_is_counted();
// Blocks handed out by the C allocator and not yet freed.
long live_heap_blocks();

// Every block allocated while it lives must be freed by the time it ends.
class HeapBalance {
public:
    HeapBalance() : before_(live_heap_blocks()) {}
    ~HeapBalance() {
        if (heap_is_counted()) {
            EXPECT_EQ(live_heap_blocks(), before_) << "blocks left allocated";
        }
    }
    HeapBalance(const HeapBalance &) = delete;
    HeapBalance &operator=(const HeapBalance &) = delete;

private:
    long before_;
};

}  // namespace tesra::test
