// Shared fixture of the writer tests: a temp directory and small archive descriptions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

#include "support/archive_builder.h"

namespace tesra::test {

inline CounterSpec counter(uint32_t id,
                           const std::string &name,
                           uint32_t size,
                           std::vector<uint64_t> periods,
                           bool is_key = false) {
    CounterSpec c;
    c.id = id;
    c.name = name;
    c.size = size;
    c.periods = std::move(periods);
    c.is_key = is_key;
    return c;
}

inline ObjectSpec object(uint32_t id, const std::string &name, std::vector<CounterSpec> counters) {
    ObjectSpec o;
    o.id = id;
    o.name = name;
    o.counters = std::move(counters);
    return o;
}

// An archive of the given objects, created, with its header written.
class WriterTest : public ::testing::Test {
protected:
    std::unique_ptr<ArchiveBuilder> open(ArchiveSpec spec, const std::string &name = "a") {
        auto b = std::make_unique<ArchiveBuilder>(std::move(spec));
        EXPECT_EQ(b->create(dir_.base(name)), TESRA_SUCCESS);
        EXPECT_EQ(b->finalize(), TESRA_SUCCESS);
        return b;
    }
    static std::vector<std::byte> body(std::size_t size, uint8_t fill = 0xAB) {
        return std::vector<std::byte>(size, std::byte{fill});
    }
    static tesra_period_t *period_of(tesra_object_handle_t *o, uint64_t period) {
        for (auto *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            if (p->period == period) return p;
        }
        return nullptr;
    }

    TempDir dir_;
};

}  // namespace tesra::test
