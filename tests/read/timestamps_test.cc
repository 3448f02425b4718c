// Query timestamps: the grid of the query period from the first stored record, the query's own
// time range, records in every period read, and absolute times handed out.
#include <vector>

#include <gtest/gtest.h>

#include "read/sample_archives.h"

namespace tesra::test {
namespace {

class Timestamps : public SampleArchiveTest {
protected:
    tesra_query_handle_t *query(uint64_t start, uint64_t end, uint64_t period, const char *cnt) {
        name_ = cnt;
        tesra_query_def_t_v6_0 d{};
        tesra_set_latest_version(&d);
        d.object_name = "volume";
        d.num_cnts = 1;
        d.cnt_names = &name_;
        d.start_time = start;
        d.end_time = end;
        d.period = period;
        tesra_query_handle_t *q = nullptr;
        EXPECT_EQ(tesra_query(file(), &d, &q), TESRA_SUCCESS);
        return q;
    }
    std::vector<uint64_t> absolute_times(tesra_query_handle_t *q) {
        std::vector<uint64_t> out;
        tesra_timestamp_handle_t *ts = nullptr;
        EXPECT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
        while (ts != nullptr) {
            uint64_t t = 0;
            EXPECT_EQ(tesra_get_timestamp(ts, &t), TESRA_SUCCESS);
            out.push_back(t);
            EXPECT_EQ(tesra_next_timestamp(q, &ts), TESRA_SUCCESS);
        }
        return out;
    }
    const char *name_ = nullptr;
};

TEST_F(Timestamps, TimesAreAbsoluteAndInsideTheQueryRange) {
    auto *q = query(kBase + 2500, kBase + 6000, 1000, "ops");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(absolute_times(q),
              (std::vector<uint64_t>{kBase + 3000, kBase + 4000, kBase + 5000, kBase + 6000}));
}

TEST_F(Timestamps, CoarserQueryPeriodKeepsOnlyItsGrid) {
    auto *q = query(kBase, kBase + 10000, 5000, "ops");
    EXPECT_EQ(absolute_times(q), (std::vector<uint64_t>{kBase, kBase + 5000, kBase + 10000}));
}

TEST_F(Timestamps, RangeBetweenSamplesYieldsNoTimestamp) {
    auto *q = query(kBase + 1001, kBase + 1999, 1000, "ops");
    ASSERT_NE(q, nullptr);
    tesra_timestamp_handle_t *ts = reinterpret_cast<tesra_timestamp_handle_t *>(0x1);
    EXPECT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
    EXPECT_EQ(ts, nullptr);
}

TEST_F(Timestamps, FirstWithoutUpdatingLeavesTheCursor) {
    auto *q = query(kBase, kBase + 10000, 1000, "ops");
    tesra_timestamp_handle_t *ts = nullptr;
    ASSERT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
    ASSERT_EQ(tesra_next_timestamp(q, &ts), TESRA_SUCCESS);
    ASSERT_EQ(tesra_first_timestamp_v6_0(q, &ts, false), TESRA_SUCCESS);
    EXPECT_EQ(ts->i6_0.timestamp, 0u);
    ASSERT_EQ(tesra_next_timestamp(q, &ts), TESRA_SUCCESS);
    EXPECT_EQ(ts->i6_0.timestamp, 2000u);
}

TEST_F(Timestamps, HostileArchiveSpanIsBoundedByTheSlotTable) {
    auto *q = query(kBase, kBase + 10000, 1000, "ops");
    ASSERT_NE(q, nullptr);
    // An end time far beyond the tables: the candidate count must follow the table, not the span.
    file()->i6_0.end_time = uint64_t{1} << 60;
    ASSERT_EQ(tesra_get_timestamps_v6_0(q), TESRA_SUCCESS);
    EXPECT_EQ(q->i6_0.num_timestamps, 11u);
}

TEST_F(Timestamps, ValidityNeedsARecordInEveryPeriodReadAndTheQueryRange) {
    auto *q = query(kBase, kBase + 10000, 5000, "lat");
    ASSERT_NE(q, nullptr);
    bool valid = false;
    EXPECT_EQ(tesra_is_timestamp_valid_v6_0(5000, q, &valid), TESRA_SUCCESS);
    EXPECT_TRUE(valid);
    EXPECT_EQ(tesra_is_timestamp_valid_v6_0(15000, q, &valid), TESRA_SUCCESS);
    EXPECT_FALSE(valid);
    tesra_period_t *slow = archive_.period(kVolume, 5000);
    const uint64_t saved = slow->record_offsets[1];
    slow->record_offsets[1] = TESRA_NO_RECORD_OFFSET;
    EXPECT_EQ(tesra_is_timestamp_valid_v6_0(5000, q, &valid), TESRA_SUCCESS);
    EXPECT_FALSE(valid);
    slow->record_offsets[1] = saved;
}

TEST_F(Timestamps, RecordsWithoutInstancesGiveAnEmptyTimestamp) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec = sample_spec();
    spec.objects.resize(1);
    ASSERT_EQ(write_archive(spec, base,
                            {{0, kVolume, 1000, volume_fast("a", 1)}, {1000, kVolume, 1000, {}}}),
              TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_query_def_t_v6_0 d{};
    tesra_set_latest_version(&d);
    d.object_name = "volume";
    const char *names[] = {"ops"};
    d.num_cnts = 1;
    d.cnt_names = names;
    d.start_time = kBase;
    d.end_time = kBase + 1000;
    d.period = 1000;
    tesra_query_handle_t *q = nullptr;
    ASSERT_EQ(tesra_query(archive.get(), &d, &q), TESRA_SUCCESS);
    tesra_timestamp_handle_t *ts = nullptr;
    ASSERT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
    ASSERT_EQ(tesra_next_timestamp(q, &ts), TESRA_SUCCESS);
    ASSERT_NE(ts, nullptr);
    EXPECT_EQ(ts->i6_0.num_instances, 0u);
    tesra_instance_handle_t *inst = reinterpret_cast<tesra_instance_handle_t *>(0x1);
    EXPECT_EQ(tesra_first_instance(ts, &inst), TESRA_SUCCESS);
    EXPECT_EQ(inst, nullptr);
}

TEST_F(Timestamps, QueryPeriodWithoutAnyStoredRecordFailsTheQuery) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec = sample_spec();
    ASSERT_EQ(write_archive(spec, base,
                            {{0, kVolume, 1000, volume_fast("a", 1)},
                             {1000, kVolume, 1000, volume_fast("a", 2)}}),
              TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_query_def_t_v6_0 d{};
    tesra_set_latest_version(&d);
    d.object_name = "disk";
    d.start_time = kBase;
    d.end_time = kBase + 1000;
    d.period = 5000;
    tesra_query_handle_t *q = nullptr;
    EXPECT_EQ(tesra_query(archive.get(), &d, &q), TESRA_RECORD_NOT_FOUND);
    EXPECT_EQ(q, nullptr);
}

TEST_F(Timestamps, EntriesRefuseNullHandles) {
    tesra_timestamp_handle_t *ts = nullptr;
    uint64_t t = 7;
    EXPECT_EQ(tesra_first_timestamp(nullptr, &ts), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_next_timestamp(nullptr, &ts), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_get_timestamp(nullptr, &t), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(t, 7u);
}

}  // namespace
}  // namespace tesra::test
