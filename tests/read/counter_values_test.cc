// Decoding of counter slots (scalars, x and x-by-y arrays, strings) and the counter-data walk of
// an instance: key counters first, then the source's counters, each slot inside the instance.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/sample_archives.h"

namespace tesra::test {
namespace {

void free_values(tesra_counter_data_t_v6_0 &d) {
    if (d.value_type == TESRA_CNT_STRING) {
        for (uint32_t i = 0; i < d.num_values; ++i)
            std::free(const_cast<char *>(d.values[i].val_str));
    }
    std::free(d.values);
}

struct DecodeCase {
    const char *name;
    uint32_t ctype;
    uint32_t size;
    uint32_t num_x;
    uint32_t num_y;
    tesra_cnt_data_type_t type;
    uint32_t num_values;
};

class SlotDecoding : public ::testing::TestWithParam<DecodeCase> {};

// Slot bytes: value k holds k + 1 in every byte position that the width allows.
TEST_P(SlotDecoding, ValuesFollowTheLabelsAndTheWidth) {
    const auto &c = GetParam();
    tesra_counter_handle_t counter{};
    counter.e6_0.ctype = c.ctype;
    counter.e6_0.size = c.size;
    counter.e6_0.num_x_items = c.num_x;
    counter.e6_0.num_y_items = c.num_y;
    const uint32_t width = c.size / c.num_values;
    std::vector<char> slot(c.size);
    for (uint32_t k = 0; k < c.num_values; ++k) {
        if (c.type == TESRA_CNT_STRING) {
            std::memset(slot.data() + k * width, 'a' + static_cast<int>(k), width);
        } else {
            slot[k * width] = static_cast<char>(k + 1);
        }
    }
    // `out` is written, never read: what it held before is the caller's, not a list to reuse.
    std::vector<tesra_cnt_value_t> stale(c.num_values);
    tesra_counter_data_t_v6_0 out{c.type, stale.data(), c.num_values};
    ASSERT_EQ(tesra_get_counter_data_v6_0(&counter, slot.data(), &out), TESRA_SUCCESS);
    EXPECT_NE(out.values, stale.data());
    EXPECT_EQ(out.value_type, c.type);
    ASSERT_EQ(out.num_values, c.num_values);
    for (uint32_t k = 0; k < c.num_values; ++k) {
        switch (c.type) {
            case TESRA_CNT_4BYTES:
                EXPECT_EQ(out.values[k].val_4B, k + 1);
                break;
            case TESRA_CNT_8BYTES:
                EXPECT_EQ(out.values[k].val_8B, k + 1);
                break;
            case TESRA_CNT_STRING:
                EXPECT_EQ(str_value(out, k), std::string(width, static_cast<char>('a' + k)));
                break;
        }
    }
    free_values(out);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts,
    SlotDecoding,
    ::testing::Values(DecodeCase{"Scalar4", 0x0104, 4, 0, 0, TESRA_CNT_4BYTES, 1},
                      DecodeCase{"Scalar8", 0x0108, 8, 0, 0, TESRA_CNT_8BYTES, 1},
                      DecodeCase{"XByY8", 0x0108, 48, 3, 2, TESRA_CNT_8BYTES, 6},
                      DecodeCase{"XOnly4", 0x0104, 16, 4, 0, TESRA_CNT_4BYTES, 4},
                      DecodeCase{"TwoStringsFillingTheirWidth", 0x2040, 64, 2, 0, TESRA_CNT_STRING,
                                 2},
                      DecodeCase{"FourByteString", 0x2004, 4, 0, 0, TESRA_CNT_STRING, 1},
                      DecodeCase{"YWithoutXIsScalar", 0x0108, 8, 0, 3, TESRA_CNT_8BYTES, 1}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(SlotDecodingStrings, ShortStringEndsAtItsNul) {
    tesra_counter_handle_t counter{};
    counter.e6_0.ctype = 0x2020;
    counter.e6_0.size = 32;
    char slot[32] = {'a', 'b', 'c'};
    slot[10] = 'z';  // after the NUL: not part of the text
    tesra_counter_data_t_v6_0 out{};
    ASSERT_EQ(tesra_get_counter_data_v6_0(&counter, slot, &out), TESRA_SUCCESS);
    EXPECT_EQ(str_value(out), "abc");
    free_values(out);
}

TEST(SlotDecodingOtherWidths, CellsStayZero) {
    tesra_counter_handle_t counter{};
    counter.e6_0.ctype = 0x0103;
    counter.e6_0.size = 6;
    counter.e6_0.num_x_items = 2;
    const char slot[6] = {1, 2, 3, 4, 5, 6};
    tesra_counter_data_t_v6_0 out{};
    ASSERT_EQ(tesra_get_counter_data_v6_0(&counter, const_cast<char *>(slot), &out), TESRA_SUCCESS);
    ASSERT_EQ(out.num_values, 2u);
    EXPECT_EQ(out.values[0].val_8B, 0u);
    EXPECT_EQ(out.values[1].val_8B, 0u);
    free_values(out);
}

TEST(SlotDecodingOtherWidths, MoreLabelsThanBytesIsRefused) {
    tesra_counter_handle_t counter{};
    counter.e6_0.ctype = 0x0108;
    counter.e6_0.size = 8;
    counter.e6_0.num_x_items = 100000;
    counter.e6_0.num_y_items = 100000;
    char slot[8] = {};
    tesra_counter_data_t_v6_0 out{};
    EXPECT_EQ(tesra_get_counter_data_v6_0(&counter, slot, &out), TESRA_CORRUPT_ARCHIVE);
    EXPECT_EQ(out.values, nullptr);
}

// ---- counter data of record instances ----------------------------------------------------------

class CounterDataWalk : public SampleArchiveTest {
protected:
    void SetUp() override {
        SampleArchiveTest::SetUp();
        ASSERT_EQ(tesra_first_record(file(), TESRA_LINEAR_ORDER, kBase + 1000, &record_),
                  TESRA_SUCCESS);
        ASSERT_NE(record_, nullptr);
        ASSERT_EQ(record_->e6_0.period, 1000u);
        ASSERT_EQ(tesra_first_instance_from_record(record_, &instance_), TESRA_SUCCESS);
        ASSERT_NE(instance_, nullptr);
    }

    tesra_record_handle_t *record_ = nullptr;
    tesra_instance_handle_t *instance_ = nullptr;
};

TEST_F(CounterDataWalk, KeyCountersComeFirstThenThePeriodsCounters) {
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_first_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    ASSERT_NE(cnt, nullptr);
    EXPECT_STREQ(cnt->e6_0.name, "name");
    tesra_counter_data_t_v6_0 value{};
    ASSERT_EQ(tesra_get_counter_data_value(cd, &value), TESRA_SUCCESS);
    ASSERT_EQ(value.value_type, TESRA_CNT_STRING);
    EXPECT_EQ(str_value(value), "vol-a");

    ASSERT_EQ(tesra_next_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    ASSERT_NE(cnt, nullptr);
    EXPECT_STREQ(cnt->e6_0.name, "ops");
    ASSERT_EQ(tesra_get_counter_data_value(cd, &value), TESRA_SUCCESS);
    EXPECT_EQ(value.value_type, TESRA_CNT_8BYTES);
    EXPECT_EQ(value.values[0].val_8B, 1u);

    ASSERT_EQ(tesra_next_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_EQ(cnt, nullptr);
    EXPECT_EQ(cd, nullptr);
}

TEST_F(CounterDataWalk, FindLooksAtKeyCountersToo) {
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_find_counter_data(instance_, "name", &cnt, &cd), TESRA_SUCCESS);
    EXPECT_STREQ(cnt->e6_0.name, "name");
    EXPECT_EQ(instance_->i6_0.next_counter_index, 1u);
    ASSERT_EQ(tesra_find_counter_data(instance_, "ops", &cnt, &cd), TESRA_SUCCESS);
    EXPECT_EQ(cd->e6_0.values[0].val_8B, 1u);
}

TEST_F(CounterDataWalk, FindWithAnUnknownNameGivesBothNull) {
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    EXPECT_EQ(tesra_find_counter_data(instance_, "OPS", &cnt, &cd), TESRA_COUNTER_NOT_FOUND);
    EXPECT_EQ(cnt, nullptr);
    EXPECT_EQ(cd, nullptr);
}

TEST_F(CounterDataWalk, FindWithoutUpdatingLeavesTheCursor) {
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_find_counter_data_v6_0(instance_, "ops", &cnt, &cd, false), TESRA_SUCCESS);
    EXPECT_EQ(instance_->i6_0.next_counter_index, 0u);
    ASSERT_EQ(tesra_next_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_STREQ(cnt->e6_0.name, "name");
}

TEST_F(CounterDataWalk, SlotOutsideTheInstanceIsRefused) {
    tesra_counter_handle_t *ops = record_->i6_0.counters[0];
    const uint32_t idx = record_->i6_0.period->period_index;
    ops->i6_0.record_offsets[idx] = 20;  // 20 + 8 > 24-byte instance
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_first_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_EQ(tesra_next_counter_data(instance_, &cnt, &cd), TESRA_CORRUPT_ARCHIVE);
    EXPECT_EQ(cnt, nullptr);
    EXPECT_EQ(cd, nullptr);
    ops->i6_0.record_offsets[idx] = 16;
}

TEST(CounterDataWithoutKeys, InstanceOfAnObjectWithoutKeyCountersYieldsNone) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec;
    ObjectSpec obj;
    obj.id = 2;
    obj.name = "plain";
    obj.counters = {make_counter(1, "a", 0x0108, 8, {1000})};
    spec.objects = {obj};
    ASSERT_EQ(write_archive(spec, base,
                            {{0, 2, 1000, Instances().u64(5).bytes()},
                             {1000, 2, 1000, Instances().u64(6).bytes()}}),
              TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_record_handle_t *rec = nullptr;
    ASSERT_EQ(tesra_first_record(archive.get(), TESRA_RAW_ORDER, 0, &rec), TESRA_SUCCESS);
    tesra_instance_handle_t *inst = nullptr;
    ASSERT_EQ(tesra_first_instance_from_record(rec, &inst), TESRA_SUCCESS);
    ASSERT_NE(inst, nullptr);
    auto *cnt = reinterpret_cast<tesra_counter_handle_t *>(0x1);
    auto *cd = reinterpret_cast<tesra_counter_data_handle_t *>(0x1);
    EXPECT_EQ(tesra_first_counter_data(inst, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_EQ(cnt, nullptr);
    EXPECT_EQ(cd, nullptr);
}

}  // namespace
}  // namespace tesra::test
