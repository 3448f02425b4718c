// The period table, its lookups, a counter's period list and the object-index accessors.
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

namespace {

TEST(Periods, TableIsAscendingAndEndsWithOncePerArchive) {
    for (int i = 1; i < TESRA_NUM_PERIODS; ++i)
        EXPECT_LT(_tesra_period_map[i - 1], _tesra_period_map[i]);
    EXPECT_EQ(_tesra_period_map[0], 1000u);
    EXPECT_EQ(_tesra_period_map[8], 3600000u);
    EXPECT_EQ(_tesra_period_map[13], 999999000u);
}

TEST(Periods, IndexLookupFindsEveryTableValue) {
    for (uint32_t i = 0; i < TESRA_NUM_PERIODS; ++i) {
        uint32_t index = 99;
        ASSERT_EQ(tesra_get_period_index(_tesra_period_map[i], &index), TESRA_SUCCESS);
        EXPECT_EQ(index, i);
    }
}

TEST(Periods, UnknownPeriodIsRefusedWithoutTouchingOut) {
    uint32_t index = 42;
    EXPECT_EQ(tesra_get_period_index(2000, &index), TESRA_PERIOD_NOT_FOUND);
    EXPECT_EQ(index, 42u);
    EXPECT_FALSE(tesra_is_period_valid(0));
    EXPECT_FALSE(tesra_is_period_valid(60));
    EXPECT_TRUE(tesra_is_period_valid(60000));
}

class CounterPeriods : public ::testing::Test {
protected:
    void set_list(std::vector<uint64_t> periods) {
        counter_.e6_0.num_periods = static_cast<uint8_t>(periods.size());
        for (size_t i = 0; i < periods.size(); ++i) counter_.e6_0.periods[i] = periods[i];
    }
    std::vector<uint64_t> list() const {
        return {counter_.e6_0.periods, counter_.e6_0.periods + counter_.e6_0.num_periods};
    }
    tesra_counter_handle_t counter_{};
};

TEST_F(CounterPeriods, InsertionKeepsAscendingOrder) {
    set_list({60000});
    ASSERT_EQ(tesra_add_period_to_counter_v6_0(300000, &counter_), TESRA_SUCCESS);
    EXPECT_EQ(list(), (std::vector<uint64_t>{60000, 300000}));
    ASSERT_EQ(tesra_add_period_to_counter_v6_0(3600000, &counter_), TESRA_SUCCESS);
    EXPECT_EQ(list(), (std::vector<uint64_t>{60000, 300000, 3600000}));
    ASSERT_EQ(tesra_add_period_to_counter_v6_0(1000, &counter_), TESRA_SUCCESS);
    EXPECT_EQ(list(), (std::vector<uint64_t>{1000, 60000, 300000, 3600000}));
    ASSERT_EQ(tesra_add_period_to_counter_v6_0(600000, &counter_), TESRA_SUCCESS);
    EXPECT_EQ(list(), (std::vector<uint64_t>{1000, 60000, 300000, 600000, 3600000}));
}

TEST_F(CounterPeriods, DuplicateIsRefusedAndListUnchanged) {
    set_list({5000, 60000, 300000});
    EXPECT_EQ(tesra_add_period_to_counter_v6_0(60000, &counter_), TESRA_PERIOD_EXISTS);
    EXPECT_EQ(list(), (std::vector<uint64_t>{5000, 60000, 300000}));
    EXPECT_EQ(tesra_add_period_to_counter_v6_0(300000, &counter_), TESRA_PERIOD_EXISTS);
    EXPECT_EQ(list(), (std::vector<uint64_t>{5000, 60000, 300000}));
}

TEST_F(CounterPeriods, FullListIsRefusedInsteadOfOverflowing) {
    std::vector<uint64_t> all(_tesra_period_map, _tesra_period_map + TESRA_NUM_PERIODS);
    set_list(all);
    counter_.e6_0.num_x_items = 0xABCD;  // the field laid out after the list must survive
    EXPECT_EQ(tesra_add_period_to_counter_v6_0(7000, &counter_), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(list(), all);
    EXPECT_EQ(counter_.e6_0.num_x_items, 0xABCDu);
}

TEST_F(CounterPeriods, NullCounterGivesNullPointer) {
    EXPECT_EQ(tesra_add_period_to_counter_v6_0(1000, nullptr), TESRA_NULL_POINTER);
}

class ObjectIndex : public ::testing::Test {
protected:
    void SetUp() override {
        header_.major_v = 6;
        header_.i6_0.num_objects_sampled = 3;
        header_.i6_0.object_index = table_.data();
    }
    std::vector<tesra_offset_t> table_ = std::vector<tesra_offset_t>(3 * TESRA_NUM_PERIODS, 0);
    tesra_header_handle_t header_{};
};

TEST_F(ObjectIndex, SetThenGetUsesRowMajorPosition) {
    ASSERT_EQ(tesra_set_object_period_offset(&header_, 2, 5000, 0x1234), TESRA_SUCCESS);
    EXPECT_EQ(table_[29], 0x1234u);
    tesra_offset_t got = 0;
    ASSERT_EQ(tesra_get_object_period_offset(&header_, 2, 5000, &got), TESRA_SUCCESS);
    EXPECT_EQ(got, 0x1234u);
    ASSERT_EQ(tesra_set_object_period_offset(&header_, 0, 999999000, 7), TESRA_SUCCESS);
    EXPECT_EQ(table_[13], 7u);
}

TEST_F(ObjectIndex, RefusalsLeaveTableAndOutUntouched) {
    tesra_offset_t got = 555;
    EXPECT_EQ(tesra_get_object_period_offset(&header_, 3, 5000, &got), TESRA_OBJECT_NOT_FOUND);
    EXPECT_EQ(tesra_get_object_period_offset(&header_, 1, 7000, &got), TESRA_PERIOD_NOT_FOUND);
    EXPECT_EQ(got, 555u);
    EXPECT_EQ(tesra_set_object_period_offset(&header_, 3, 5000, 1), TESRA_OBJECT_NOT_FOUND);
    EXPECT_EQ(tesra_set_object_period_offset(&header_, 0, 7000, 1), TESRA_PERIOD_NOT_FOUND);
    for (tesra_offset_t v : table_) EXPECT_EQ(v, 0u);
    EXPECT_EQ(tesra_get_object_period_offset(nullptr, 0, 5000, &got), TESRA_NULL_POINTER);
}

TEST_F(ObjectIndex, MissingTableIsRefused) {
    header_.i6_0.object_index = nullptr;
    tesra_offset_t got = 1;
    EXPECT_EQ(tesra_get_object_period_offset(&header_, 0, 5000, &got), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_set_object_period_offset(&header_, 0, 5000, 9), TESRA_NULL_POINTER);
    EXPECT_EQ(got, 1u);
}

}  // namespace
