// Instances of records and of query timestamps: key decoding, key matching within the slot's
// bytes, joining across periods, and finding an instance by its keys.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/sample_archives.h"

namespace tesra::test {
namespace {

std::vector<std::string> record_instance_names(tesra_record_handle_t *rec) {
    std::vector<std::string> names;
    tesra_instance_handle_t *inst = nullptr;
    EXPECT_EQ(tesra_first_instance_from_record(rec, &inst), TESRA_SUCCESS);
    while (inst != nullptr) {
        tesra_instance_data_t_v6_0 data{};
        EXPECT_EQ(tesra_get_instance_data(inst, &data), TESRA_SUCCESS);
        EXPECT_EQ(data.num_key_cnts, 1u);
        EXPECT_STREQ(data.key_cnt_names[0], "name");
        names.push_back(str_value(data.key_cnt_values[0]));
        EXPECT_EQ(tesra_next_instance_from_record(rec, &inst), TESRA_SUCCESS);
    }
    return names;
}

class RecordInstances : public SampleArchiveTest {};

TEST_F(RecordInstances, WalkDecodesEachInstancesKeys) {
    tesra_record_handle_t *rec = nullptr;
    ASSERT_EQ(tesra_first_record(file(), TESRA_LINEAR_ORDER, kBase, &rec), TESRA_SUCCESS);
    EXPECT_EQ(record_instance_names(rec), (std::vector<std::string>{"vol-a", "vol-b"}));
    // A walk that has ended stays ended; a first starts again.
    tesra_instance_handle_t *inst = nullptr;
    EXPECT_EQ(tesra_next_instance_from_record(rec, &inst), TESRA_SUCCESS);
    EXPECT_EQ(inst, nullptr);
    EXPECT_EQ(record_instance_names(rec).size(), 2u);
}

TEST_F(RecordInstances, EmptyRecordHasNoInstances) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec = sample_spec();
    spec.objects.resize(1);
    ASSERT_EQ(write_archive(spec, base, {{0, kVolume, 1000, {}}, {1000, kVolume, 1000, {}}}),
              TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_record_handle_t *rec = nullptr;
    ASSERT_EQ(tesra_first_record(archive.get(), TESRA_RAW_ORDER, 0, &rec), TESRA_SUCCESS);
    ASSERT_NE(rec, nullptr);
    tesra_instance_handle_t *inst = reinterpret_cast<tesra_instance_handle_t *>(0x1);
    EXPECT_EQ(tesra_first_instance_from_record(rec, &inst), TESRA_SUCCESS);
    EXPECT_EQ(inst, nullptr);
}

// ---- key matching on raw instance bytes ------------------------------------------------------

class KeyMatching : public ::testing::Test {
protected:
    void SetUp() override {
        key_.e6_0.size = 8;
        key_.e6_0.is_key = true;
        key_.i6_0.record_offsets[0] = 4;
        period_.period = 1000;
        period_.period_index = 0;
        period_.cnts_size = 12;
        // Exactly the instance's bytes on the heap, so a read past them is caught by ASan.
        instance_ = static_cast<char *>(std::malloc(12));
        const unsigned char bytes[12] = {9, 9, 9, 9, 1, 0, 0, 0, 2, 0, 0, 0};
        std::memcpy(instance_, bytes, 12);
    }
    void TearDown() override { std::free(instance_); }

    tesra_error_t match(tesra_counter_data_t_v6_0 values, bool *equal) {
        tesra_counter_handle_t *keys[] = {&key_};
        return tesra_is_instance_equal_v6_0(keys, &values, 1, &period_, instance_, equal);
    }

    tesra_counter_handle_t key_{};
    tesra_period_t period_{};
    char *instance_ = nullptr;
};

TEST_F(KeyMatching, ValuesWithinTheSlotAreCompared) {
    tesra_cnt_value_t vals[2];
    vals[0].val_4B = 1;
    vals[1].val_4B = 2;
    bool equal = false;
    EXPECT_EQ(match({TESRA_CNT_4BYTES, vals, 2}, &equal), TESRA_SUCCESS);
    EXPECT_TRUE(equal);
    vals[1].val_4B = 3;
    EXPECT_EQ(match({TESRA_CNT_4BYTES, vals, 2}, &equal), TESRA_SUCCESS);
    EXPECT_FALSE(equal);
}

TEST_F(KeyMatching, ListLongerThanTheSlotNeverMatchesAndReadsNothingBeyond) {
    tesra_cnt_value_t vals[3];
    vals[0].val_4B = 1;
    vals[1].val_4B = 2;
    vals[2].val_4B = 0;
    bool equal = true;
    EXPECT_EQ(match({TESRA_CNT_4BYTES, vals, 3}, &equal), TESRA_SUCCESS);
    EXPECT_FALSE(equal);
    tesra_cnt_value_t wide[2];
    wide[0].val_8B = 0x200000001;
    wide[1].val_8B = 0;
    equal = true;
    EXPECT_EQ(match({TESRA_CNT_8BYTES, wide, 2}, &equal), TESRA_SUCCESS);
    EXPECT_FALSE(equal);
    EXPECT_EQ(match({TESRA_CNT_8BYTES, wide, 1}, &equal), TESRA_SUCCESS);
    EXPECT_TRUE(equal);
}

TEST_F(KeyMatching, KeySlotOutsideTheInstanceIsCorrupt) {
    key_.i6_0.record_offsets[0] = 8;
    tesra_cnt_value_t v[1];
    v[0].val_4B = 2;
    bool equal = true;
    EXPECT_EQ(match({TESRA_CNT_4BYTES, v, 1}, &equal), TESRA_CORRUPT_ARCHIVE);
    EXPECT_FALSE(equal);
}

TEST_F(KeyMatching, UnknownValueTypeIsRefusedAndEmptyStringListImposesNothing) {
    bool equal = true;
    EXPECT_EQ(match({static_cast<tesra_cnt_data_type_t>(7), nullptr, 0}, &equal),
              TESRA_COUNTER_TYPE_NOT_FOUND);
    EXPECT_FALSE(equal);
    EXPECT_EQ(match({TESRA_CNT_STRING, nullptr, 0}, &equal), TESRA_SUCCESS);
    EXPECT_TRUE(equal);
}

TEST_F(KeyMatching, StringFillingTheWholeSlotIsComparedToItsLastByte) {
    std::memcpy(instance_ + 4, "abcdefgh", 8);  // no terminating NUL within the slot
    tesra_cnt_value_t v[1];
    bool equal = false;
    for (const auto &[text, expected] : {std::pair{"abcdefgh", true}, {"abcdefgX", false}}) {
        v[0].val_str = text;
        EXPECT_EQ(match({TESRA_CNT_STRING, v, 1}, &equal), TESRA_SUCCESS);
        EXPECT_EQ(equal, expected) << text;
    }
}

// ---- timestamp instances -----------------------------------------------------------------------

class TimestampInstances : public SampleArchiveTest {
protected:
    tesra_query_handle_t *query(uint64_t period, std::vector<const char *> counters) {
        names_ = std::move(counters);
        tesra_query_def_t_v6_0 def{};
        tesra_set_latest_version(&def);
        def.object_name = "volume";
        def.num_cnts = static_cast<uint32_t>(names_.size());
        def.cnt_names = names_.empty() ? nullptr : names_.data();
        def.start_time = kBase;
        def.end_time = kBase + 10000;
        def.period = period;
        tesra_query_handle_t *q = nullptr;
        EXPECT_EQ(tesra_query(file(), &def, &q), TESRA_SUCCESS);
        return q;
    }
    std::vector<const char *> names_;
};

TEST_F(TimestampInstances, InstanceMissingFromASecondPeriodIsLeftOut) {
    tesra_query_handle_t *q = query(5000, {"ops", "lat"});
    ASSERT_NE(q, nullptr);
    ASSERT_EQ(q->i6_0.num_periods, 2u);
    tesra_timestamp_handle_t *ts = nullptr;
    ASSERT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);  // 0: both instances
    EXPECT_EQ(ts->i6_0.num_instances, 2u);
    ASSERT_EQ(tesra_next_timestamp(q, &ts), TESRA_SUCCESS);  // 5000: vol-b has no 5000 record
    ASSERT_NE(ts, nullptr);
    EXPECT_EQ(ts->i6_0.timestamp, 5000u);
    ASSERT_EQ(ts->i6_0.num_instances, 1u);
    EXPECT_EQ(ts->i6_0.size, 24u + 20u);
    tesra_instance_handle_t *inst = nullptr;
    ASSERT_EQ(tesra_first_instance(ts, &inst), TESRA_SUCCESS);
    EXPECT_EQ(str_value(inst->e6_0.key_cnt_values[0]), "vol-a");
    ASSERT_EQ(tesra_next_instance(ts, &inst), TESRA_SUCCESS);
    EXPECT_EQ(inst, nullptr);
}

TEST_F(TimestampInstances, FindNeedsEveryKeyAndContinuesBehindTheFoundInstance) {
    tesra_query_handle_t *q = query(1000, {"ops"});
    tesra_timestamp_handle_t *ts = nullptr;
    ASSERT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
    ASSERT_NE(ts, nullptr);

    const char *names[] = {"name"};
    tesra_cnt_value_t v[1];
    v[0].val_str = "vol-a";
    tesra_counter_data_t_v6_0 values[] = {{TESRA_CNT_STRING, v, 1}};
    tesra_instance_handle_t *inst = nullptr;
    EXPECT_EQ(tesra_find_instance(ts, names, values, 0, &inst), TESRA_INVALID_ARGUMENTS);

    ASSERT_EQ(tesra_find_instance(ts, names, values, 1, &inst), TESRA_SUCCESS);
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(str_value(inst->e6_0.key_cnt_values[0]), "vol-a");
    ASSERT_EQ(tesra_next_instance(ts, &inst), TESRA_SUCCESS);
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(str_value(inst->e6_0.key_cnt_values[0]), "vol-b");

    v[0].val_str = "vol-c";
    EXPECT_EQ(tesra_find_instance(ts, names, values, 1, &inst), TESRA_INSTANCE_NOT_FOUND);
    EXPECT_EQ(inst, nullptr);
    const char *unknown[] = {"nom"};
    EXPECT_EQ(tesra_find_instance(ts, unknown, values, 1, &inst), TESRA_COUNTER_NOT_FOUND);
}

TEST_F(TimestampInstances, FindWithoutUpdatingKeepsTheWalkWhereItWas) {
    tesra_query_handle_t *q = query(1000, {"ops"});
    tesra_timestamp_handle_t *ts = nullptr;
    ASSERT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
    const char *names[] = {"name"};
    tesra_cnt_value_t v[1];
    v[0].val_str = "vol-b";
    tesra_counter_data_t_v6_0 values[] = {{TESRA_CNT_STRING, v, 1}};
    tesra_instance_handle_t *inst = nullptr;
    ASSERT_EQ(tesra_find_instance_v6_0(ts, names, values, 1, &inst, false), TESRA_SUCCESS);
    EXPECT_EQ(str_value(inst->e6_0.key_cnt_values[0]), "vol-b");
    ASSERT_EQ(tesra_next_instance(ts, &inst), TESRA_SUCCESS);
    EXPECT_EQ(str_value(inst->e6_0.key_cnt_values[0]), "vol-a");
}

TEST_F(TimestampInstances, CounterDataOfEachCounterComesFromItsOwnPeriod) {
    tesra_query_handle_t *q = query(5000, {"lat", "ops"});
    tesra_timestamp_handle_t *ts = nullptr;
    ASSERT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
    ASSERT_EQ(tesra_next_timestamp(q, &ts), TESRA_SUCCESS);
    ASSERT_EQ(ts->i6_0.timestamp, 5000u);
    tesra_instance_handle_t *inst = nullptr;
    ASSERT_EQ(tesra_first_instance(ts, &inst), TESRA_SUCCESS);
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_first_counter_data(inst, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_STREQ(cnt->e6_0.name, "name");
    ASSERT_EQ(tesra_next_counter_data(inst, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_STREQ(cnt->e6_0.name, "lat");
    EXPECT_EQ(cd->e6_0.value_type, TESRA_CNT_4BYTES);
    EXPECT_EQ(cd->e6_0.values[0].val_4B, 12u);  // 7 + 5
    ASSERT_EQ(tesra_next_counter_data(inst, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_STREQ(cnt->e6_0.name, "ops");
    EXPECT_EQ(cd->e6_0.values[0].val_8B, 5u);
    ASSERT_EQ(tesra_next_counter_data(inst, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_EQ(cnt, nullptr);
}

}  // namespace
}  // namespace tesra::test
