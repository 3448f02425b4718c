// Record walks in time and stream order, partial records joined into one, and the limits that a
// stored record is held to.
#include <cstring>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "read/sample_archives.h"

namespace tesra::test {
namespace {

using Seen = std::tuple<uint64_t, uint32_t, uint64_t>;  // relative time, object, period

std::vector<Seen> walk(tesra_file_handle_t *file, tesra_order_type_t order, uint64_t start) {
    std::vector<Seen> seen;
    tesra_record_handle_t *rec = nullptr;
    EXPECT_EQ(tesra_first_record(file, order, start, &rec), TESRA_SUCCESS);
    while (rec != nullptr) {
        tesra_record_header_data_t_v6_0 info{};
        EXPECT_EQ(tesra_get_record_info(rec, &info), TESRA_SUCCESS);
        seen.emplace_back(info.msecs_since_base, info.obj_id, info.period);
        if (seen.size() > 1000) break;
        EXPECT_EQ(tesra_next_record(file, &rec), TESRA_SUCCESS);
    }
    return seen;
}

class RecordWalk : public SampleArchiveTest {};

// The sample archive's records in time order: once-per-archive records at the first second.
std::vector<Seen> sample_in_time_order() {
    std::vector<Seen> expected;
    for (uint64_t t = 0; t <= 10000; t += 1000) {
        expected.emplace_back(t, kVolume, 1000);
        if (t % 5000 == 0) {
            expected.emplace_back(t, kVolume, 5000);
            expected.emplace_back(t, kDisk, 5000);
        }
        if (t == 0) expected.emplace_back(0, kNode, kOnce);
    }
    return expected;
}

TEST_F(RecordWalk, LinearOrderIsTimeThenObjectThenPeriod) {
    // Starts before the archive's start begin at its first second, once-per-archive included.
    for (uint64_t start : {kBase, kBase - 3500, uint64_t{0}}) {
        EXPECT_EQ(walk(file(), TESRA_LINEAR_ORDER, start), sample_in_time_order()) << start;
    }
}

TEST(RecordWalkClock, DueSlotsFollowTheTimeSinceBaseNotTheAbsoluteTime) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec = sample_spec();
    spec.system.base_time = kBase + 1000;  // no multiple of 5000
    ASSERT_EQ(write_archive(spec, base, sample_records()), TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    EXPECT_EQ(walk(archive.get(), TESRA_LINEAR_ORDER, 0), sample_in_time_order());
}

// The start is the first record's time on its own grid; a coarser period's record at that time
// lies in its first slot, whose time comes before the start.
TEST(RecordWalkStart, RecordOfTheStartsSlotBeforeTheStartIsWalked) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    const std::vector<RecordSpec> records = {
        {2000, kVolume, 1000, volume_fast("a", 1)},
        {2000, kVolume, 5000, volume_slow("a", 2)},
        {3000, kVolume, 1000, volume_fast("a", 3)},
    };
    ASSERT_EQ(write_archive(sample_spec(), base, records), TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    EXPECT_EQ(
        walk(archive.get(), TESRA_LINEAR_ORDER, 0),
        (std::vector<Seen>{{2000, kVolume, 5000}, {2000, kVolume, 1000}, {3000, kVolume, 1000}}));
}

// A walk visits the due seconds only: stepping through every second of this archive's
// hundred thousand weekly slots would take hours.
TEST(RecordWalkSpan, LinearWalkCrossesALongSpanOfACoarsePeriod) {
    constexpr uint64_t kWeek = 604800000;
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec;
    ObjectSpec node;
    node.id = kNode;
    node.name = "node";
    node.counters = {make_counter(1, "node_id", 0x0104, 4, {kWeek}, true),
                     make_counter(2, "boot", 0x0108, 8, {kWeek})};
    spec.objects = {node};
    const std::vector<RecordSpec> records = {
        {0, kNode, kWeek, Instances().u32(1).u64(1).bytes()},
        {7 * kWeek, kNode, kWeek, Instances().u32(1).u64(2).bytes()},
        {100000 * kWeek, kNode, kWeek, Instances().u32(1).u64(3).bytes()},
    };
    ASSERT_EQ(write_archive(spec, base, records), TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    EXPECT_EQ(walk(archive.get(), TESRA_LINEAR_ORDER, 0),
              (std::vector<Seen>{{0, kNode, kWeek}, {7 * kWeek, kNode, kWeek},
                                 {100000 * kWeek, kNode, kWeek}}));
}

TEST_F(RecordWalk, LinearWalkStartingMidSecondBeginsAtThatSecondWithoutOncePerArchive) {
    const auto seen = walk(file(), TESRA_LINEAR_ORDER, kBase + 1500);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), Seen(1000, kVolume, 1000));
    for (const auto &s : seen) EXPECT_NE(std::get<1>(s), kNode);
    EXPECT_EQ(seen.size(), 10u + 2 * 2);  // seconds 1..10, plus the two 5000-ms pairs
}

TEST_F(RecordWalk, RawOrderFollowsTheStreamToItsEndAndStaysThere) {
    const auto seen = walk(file(), TESRA_RAW_ORDER, 0);
    const auto records = sample_records();
    ASSERT_EQ(seen.size(), records.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], Seen(records[i].msecs, records[i].obj_id, records[i].period)) << i;
    }
    tesra_record_handle_t *rec = nullptr;
    EXPECT_EQ(tesra_next_record(file(), &rec), TESRA_SUCCESS);
    EXPECT_EQ(rec, nullptr);
}

TEST_F(RecordWalk, RawOrderSkipsRecordsBeforeTheStartTime) {
    // A start equal to a record's time keeps that record.
    for (uint64_t start : {kBase + 9500, kBase + 10000}) {
        const auto seen = walk(file(), TESRA_RAW_ORDER, start);
        ASSERT_FALSE(seen.empty()) << start;
        EXPECT_EQ(seen.front(), Seen(10000, kVolume, 1000)) << start;
        EXPECT_EQ(seen.size(), 3u) << start;
    }
}

TEST_F(RecordWalk, NextBeforeAnyFirstGivesNoRecord) {
    auto *rec = reinterpret_cast<tesra_record_handle_t *>(0x1);
    EXPECT_EQ(tesra_next_record(file(), &rec), TESRA_SUCCESS);
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(walk(file(), TESRA_LINEAR_ORDER, kBase), sample_in_time_order());
}

TEST_F(RecordWalk, StartAfterTheArchiveEndGivesNoRecordInEitherOrder) {
    for (auto order : {TESRA_LINEAR_ORDER, TESRA_RAW_ORDER}) {
        tesra_record_handle_t *rec = reinterpret_cast<tesra_record_handle_t *>(0x1);
        EXPECT_EQ(tesra_first_record(file(), order, kBase + 10001, &rec), TESRA_SUCCESS);
        EXPECT_EQ(rec, nullptr);
        EXPECT_EQ(tesra_next_record(file(), &rec), TESRA_SUCCESS);
        EXPECT_EQ(rec, nullptr);
    }
}

TEST_F(RecordWalk, RecordDescribesItsObjectAndInstances) {
    tesra_record_handle_t *rec = nullptr;
    ASSERT_EQ(tesra_first_record(file(), TESRA_LINEAR_ORDER, kBase, &rec), TESRA_SUCCESS);
    ASSERT_NE(rec, nullptr);
    tesra_object_handle_t *obj = nullptr;
    EXPECT_EQ(tesra_get_object_from_record(rec, &obj), TESRA_SUCCESS);
    EXPECT_EQ(obj, archive_.object(kVolume));
    EXPECT_EQ(rec->i6_0.num_instances, 2u);
    EXPECT_EQ(tesra_get_instance_size_v6_0(rec), 24u);
    ASSERT_EQ(rec->i6_0.num_cnts, 1u);
    EXPECT_STREQ(rec->i6_0.counters[0]->e6_0.name, "ops");
}

TEST_F(RecordWalk, EntriesRefuseNullAndForeignVersionsWithoutTouchingOutputs) {
    auto *sentinel = reinterpret_cast<tesra_record_handle_t *>(0x1);
    tesra_record_handle_t *rec = sentinel;
    EXPECT_EQ(tesra_first_record(nullptr, TESRA_LINEAR_ORDER, 0, &rec), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_first_record(file(), TESRA_MAX_ORDER_TYPES, 0, &rec), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_next_record(nullptr, &rec), TESRA_INVALID_ARGUMENTS);
    file()->major_v = 5;
    EXPECT_EQ(tesra_first_record(file(), TESRA_LINEAR_ORDER, 0, &rec), TESRA_INVALID_VERSION);
    EXPECT_EQ(tesra_next_record(file(), &rec), TESRA_INVALID_VERSION);
    file()->major_v = 6;
    EXPECT_EQ(rec, sentinel);
}

TEST_F(RecordWalk, WalksAbandonedHalfWayAreReleasedWithTheFile) {
    tesra_record_handle_t *rec = nullptr;
    ASSERT_EQ(tesra_first_record(file(), TESRA_LINEAR_ORDER, kBase, &rec), TESRA_SUCCESS);
    tesra_instance_handle_t *inst = nullptr;
    ASSERT_EQ(tesra_first_instance_from_record(rec, &inst), TESRA_SUCCESS);
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_first_counter_data(inst, &cnt, &cd), TESRA_SUCCESS);
    ASSERT_NE(cd, nullptr);
    // Closing now must release record, instance and counter data (the sanitizer build checks).
    EXPECT_EQ(archive_.close(), TESRA_SUCCESS);
}

// ---- partial records ---------------------------------------------------------------------------

class PartialRecords : public ::testing::Test {
protected:
    void write(std::vector<RecordSpec> extra) {
        auto records = std::vector<RecordSpec>{
            {0, kVolume, 1000, volume_fast("vol-a", 1)},
            {1000, kVolume, 1000, volume_fast("p1", 10)},
            {1300, kVolume, 1000, concat({volume_fast("p2", 20), volume_fast("p3", 30)})},
            {1700, kVolume, 1000, volume_fast("p4", 40)},
            {2000, kVolume, 1000, volume_fast("vol-a", 2)}};
        records.insert(records.end(), extra.begin(), extra.end());
        ArchiveSpec spec = sample_spec();
        spec.objects.resize(1);
        ASSERT_EQ(write_archive(spec, base_, records), TESRA_SUCCESS);
        ASSERT_EQ(archive_.open(base_), TESRA_SUCCESS);
    }

    TempDir dir_;
    std::string base_ = dir_.base(kArchiveName);
    OpenArchive archive_;
};

TEST_F(PartialRecords, SlotRecordsAreJoinedInWritingOrder) {
    write({});
    tesra_record_handle_t *rec = nullptr;
    ASSERT_EQ(tesra_get_record_v6_0(archive_.get(), 1000, archive_.period(kVolume, 1000), &rec),
              TESRA_SUCCESS);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->e6_0.msecs_since_base, 1000u);
    EXPECT_EQ(rec->e6_0.size, 4u * 24);
    EXPECT_EQ(rec->i6_0.num_instances, 4u);
    const auto expected = concat({volume_fast("p1", 10), volume_fast("p2", 20),
                                  volume_fast("p3", 30), volume_fast("p4", 40)});
    EXPECT_EQ(std::memcmp(rec->i6_0.data_buffer, expected.data(), expected.size()), 0);
    tesra_free_record(rec);
}

TEST_F(PartialRecords, RawWalkHandsThemOutOneByOne) {
    write({});
    const auto seen = walk(archive_.get(), TESRA_RAW_ORDER, 0);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[2], Seen(1300, kVolume, 1000));
}

TEST_F(PartialRecords, ListThatRepeatsAnOffsetIsCorrupt) {
    write({});
    tesra_period_t *p = archive_.period(kVolume, 1000);
    auto &list = p->iterative_record_offsets[1];
    ASSERT_EQ(list.num_offsets, 3u);
    list.offsets[2] = list.offsets[1];
    tesra_record_handle_t *rec = nullptr;
    EXPECT_EQ(tesra_get_record_v6_0(archive_.get(), 1000, p, &rec), TESRA_CORRUPT_ARCHIVE);
    EXPECT_EQ(rec, nullptr);
}

TEST_F(PartialRecords, ListNamingRecordsBeyondTheStreamFailsOnTheRead) {
    write({});
    tesra_period_t *p = archive_.period(kVolume, 1000);
    auto &list = p->iterative_record_offsets[1];
    list.offsets[2] = uint64_t{1} << 40;
    tesra_record_handle_t *rec = nullptr;
    EXPECT_EQ(tesra_get_record_v6_0(archive_.get(), 1000, p, &rec), TESRA_READ_FAILED);
    EXPECT_EQ(rec, nullptr);
}

TEST_F(PartialRecords, SlotPointingAtAnotherPeriodsRecordIsCorrupt) {
    ArchiveSpec spec = sample_spec();
    spec.objects.resize(1);
    ASSERT_EQ(write_archive(spec, base_,
                            {{0, kVolume, 1000, volume_fast("a", 1)},
                             {0, kVolume, 5000, volume_slow("a", 2)},
                             {5000, kVolume, 1000, volume_fast("a", 3)}}),
              TESRA_SUCCESS);
    ASSERT_EQ(archive_.open(base_), TESRA_SUCCESS);
    tesra_period_t *fast = archive_.period(kVolume, 1000);
    tesra_period_t *slow = archive_.period(kVolume, 5000);
    fast->record_offsets[0] = slow->record_offsets[0];
    tesra_record_handle_t *rec = nullptr;
    EXPECT_EQ(tesra_get_record_v6_0(archive_.get(), 0, fast, &rec), TESRA_CORRUPT_ARCHIVE);
}

// ---- limits of a stored record (data stream replaced by hand) -----------------------------------

struct StoredRecordCase {
    const char *name;
    uint32_t size;
    uint64_t period;
    tesra_error_t expected;
};

class StoredRecordLimits : public ::testing::TestWithParam<StoredRecordCase> {};

TEST_P(StoredRecordLimits, RawReadOfTheRecord) {
    const auto &c = GetParam();
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec = sample_spec();
    spec.objects.resize(1);
    ASSERT_EQ(write_archive(spec, base,
                            {{0, kVolume, 1000, volume_fast("a", 1)},
                             {1000, kVolume, 1000, volume_fast("a", 2)}}),
              TESRA_SUCCESS);
    std::vector<std::byte> body(c.size);
    ASSERT_TRUE(write_gz(base + ".gz", record_bytes(0, kVolume, c.period, body)));
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_record_handle_t *rec = nullptr;
    EXPECT_EQ(tesra_first_record(archive.get(), TESRA_RAW_ORDER, 0, &rec), c.expected);
    EXPECT_EQ(rec == nullptr, c.expected != TESRA_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Format,
    StoredRecordLimits,
    ::testing::Values(StoredRecordCase{"WholeInstances", 48, 1000, TESRA_SUCCESS},
                      StoredRecordCase{"OverTwoMiB", 0x200001, 1000, TESRA_CORRUPT_ARCHIVE},
                      StoredRecordCase{"PeriodNotInTable", 48, 2000, TESRA_CORRUPT_ARCHIVE},
                      StoredRecordCase{"PeriodObjectLacks", 48, 60000, TESRA_INVALID_RECORD},
                      StoredRecordCase{"PartOfAnInstance", 50, 1000, TESRA_INVALID_RECORD},
                      StoredRecordCase{"Empty", 0, 1000, TESRA_SUCCESS}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(StoredRecordLimit, ExactlyTwoMiBIsAccepted) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec = sample_spec();
    spec.objects = {spec.objects[1]};  // disk: 4 + 8 = 12-byte instances at 5000 ms
    spec.objects[0].counters[0].size = 8;
    spec.objects[0].counters[0].ctype = 0x0108;
    ASSERT_EQ(write_archive(spec, base,
                            {{0, kDisk, 5000, Instances().u64(1).u64(1).bytes()},
                             {5000, kDisk, 5000, Instances().u64(1).u64(2).bytes()}}),
              TESRA_SUCCESS);
    std::vector<std::byte> body(0x200000);
    ASSERT_TRUE(write_gz(base + ".gz", record_bytes(0, kDisk, 5000, body)));
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_record_handle_t *rec = nullptr;
    ASSERT_EQ(tesra_first_record(archive.get(), TESRA_RAW_ORDER, 0, &rec), TESRA_SUCCESS);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->i6_0.num_instances, 0x200000u / 16);
}

TEST(StoredRecordLimit, InstanceSizeIsNotTakenModulo32Bits) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec = sample_spec();
    spec.objects.resize(1);
    ASSERT_EQ(write_archive(spec, base,
                            {{0, kVolume, 1000, volume_fast("a", 1)},
                             {1000, kVolume, 1000, volume_fast("a", 2)}}),
              TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    // Counter sizes summing past 4 GiB: the low 32 bits alone would claim 24-byte instances.
    archive.period(kVolume, 1000)->cnts_size = (uint64_t{1} << 32) + 24;
    tesra_record_handle_t *rec = nullptr;
    EXPECT_EQ(tesra_first_record(archive.get(), TESRA_RAW_ORDER, 0, &rec), TESRA_INVALID_RECORD);
    EXPECT_EQ(rec, nullptr);
}

TEST(StoredRecordLimit, TruncatedBodyEndsARawWalk) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec = sample_spec();
    spec.objects.resize(1);
    ASSERT_EQ(write_archive(spec, base,
                            {{0, kVolume, 1000, volume_fast("a", 1)},
                             {1000, kVolume, 1000, volume_fast("a", 2)}}),
              TESRA_SUCCESS);
    auto data = *gunzip_file(base + ".gz");
    data.resize(data.size() - 5);
    ASSERT_TRUE(write_gz(base + ".gz", data));
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    EXPECT_EQ(walk(archive.get(), TESRA_RAW_ORDER, 0).size(), 1u);
}

}  // namespace
}  // namespace tesra::test
