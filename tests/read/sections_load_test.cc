// Loading the index section of finished archives, rebuilding it from the data stream of archives
// being written, trimming slot counts and laying out instances.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "read/reader_test_support.h"

namespace tesra::test {
namespace {

class SectionsLoadTest : public ::testing::Test {
protected:
    // Two objects: 2 "low" at 60000 ms, 9 "high" at 60000 and 300000 ms.
    static ArchiveSpec two_objects() {
        ArchiveSpec spec;
        ObjectSpec low;
        low.id = 2;
        low.name = "low";
        low.counters = {CounterSpec{}};
        ObjectSpec high;
        high.id = 9;
        high.name = "high";
        CounterSpec c;
        c.periods = {60000, 300000};
        high.counters = {c};
        spec.objects = {low, high};
        return spec;
    }

    // Writes the archive twice over: closed (index on disk) and flushed but open (index only
    // in the writer's memory), so both can be compared with what the reader makes of them.
    void write_both(const std::vector<RecordSpec> &records) {
        closed_base = dir.base(kFinishedName);
        ASSERT_EQ(write_archive(two_objects(), closed_base, records), TESRA_SUCCESS);
        writer = std::make_unique<ArchiveBuilder>(two_objects());
        ASSERT_EQ(writer->create(dir.base(kPartialName)), TESRA_SUCCESS);
        ASSERT_EQ(writer->finalize(), TESRA_SUCCESS);
        for (const auto &r : records) {
            ASSERT_EQ(writer->write(r.msecs, r.obj_id, r.period, r.body), TESRA_SUCCESS);
        }
        ASSERT_EQ(gzflush(writer->file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
        std::fflush(writer->file()->i6_0.metadata_file);
    }

    static std::vector<RecordSpec> sample_records() {
        const std::vector<std::byte> body(8);
        return {{125000, 2, 60000, body},  {130000, 2, 60000, body}, {179000, 2, 60000, body},
                {240000, 2, 60000, body},  {120000, 9, 60000, body}, {300000, 9, 300000, body},
                {305000, 9, 300000, body}, {420000, 9, 60000, body}};
    }

    TempDir dir;
    std::string closed_base;
    std::unique_ptr<ArchiveBuilder> writer;
    OpenedArchive archive;
};

TEST_F(SectionsLoadTest, LoadedTablesMatchWhatTheWriterIndexed) {
    write_both(sample_records());
    ASSERT_EQ(archive.open(closed_base), TESRA_SUCCESS);
    tesra_header_handle_t *header = archive.header();
    ASSERT_NE(header->i6_0.object_index, nullptr);
    // start 120000, end 420000: 6 slots at 60000 ms, 2 at 300000 ms.
    for (const auto &[id, period, slots] :
         {std::tuple{2u, 60000u, 6u}, {9u, 60000u, 6u}, {9u, 300000u, 2u}}) {
        tesra_period_t *read = period_of(object_by_id(header, id), period);
        tesra_period_t *written = period_of(writer->object(id), period);
        ASSERT_EQ(read->num_offsets, slots) << id << "/" << period;
        auto expected = slots_of(*written);
        expected.resize(slots);
        EXPECT_EQ(slots_of(*read), expected) << id << "/" << period;
    }
    // Object 2 has no 300000 ms table; its row's entry is 0. Row 1 is object 9.
    EXPECT_EQ(header->i6_0.object_index[5], 0u);
    EXPECT_NE(header->i6_0.object_index[4], 0u);
    EXPECT_NE(header->i6_0.object_index[14 + 5], 0u);
}

TEST_F(SectionsLoadTest, PartialRecordListKeepsItsOffsetsInWriteOrder) {
    write_both(sample_records());
    ASSERT_EQ(archive.open(closed_base), TESRA_SUCCESS);
    tesra_period_t *p = period_of(object_by_id(archive.header(), 2), 60000);
    ASSERT_TRUE(format::is_partial_entry(p->record_offsets[0]));
    const auto &list = p->iterative_record_offsets[0];
    ASSERT_EQ(list.num_offsets, 3u);
    EXPECT_EQ(list.offsets_size, 3u);
    EXPECT_EQ(list.offsets[0], 0u);
    EXPECT_EQ(list.offsets[1], 32u);
    EXPECT_EQ(list.offsets[2], 64u);
}

TEST_F(SectionsLoadTest, RebuiltTablesMatchWhatTheWriterIndexed) {
    write_both(sample_records());
    ASSERT_EQ(archive.open(dir.base(kPartialName)), TESRA_SUCCESS);
    EXPECT_EQ(archive.header()->i6_0.object_index, nullptr);
    EXPECT_EQ(archive->i6_0.start_time, 120000u);
    EXPECT_EQ(archive->i6_0.end_time, 420000u);
    EXPECT_EQ(archive->i6_0.max_period, 300000u);
    for (const auto &[id, period] : {std::pair{2u, 60000u}, {9u, 60000u}, {9u, 300000u}}) {
        tesra_period_t *read = period_of(object_by_id(archive.header(), id), period);
        auto expected = slots_of(*period_of(writer->object(id), period));
        expected.resize(read->num_offsets);
        EXPECT_EQ(slots_of(*read), expected) << id << "/" << period;
    }
}

// Archives a writer produced open while it still writes them and after it closed them, with the
// tables the writer built, however the header and the records were ordered and however large
// the tables grew.
struct LiveCase {
    const char *name;
    uint32_t objects;  // ids 1..n, each with one 8-byte key counter at the 1-second period
    bool header_first;
    std::vector<uint64_t> seconds;  // every object gets a record at each
};

class LiveArchiveTest : public SectionsLoadTest, public ::testing::WithParamInterface<LiveCase> {};

TEST_P(LiveArchiveTest, OpensWhileBeingWrittenAndAfterClose) {
    const LiveCase &c = GetParam();
    ArchiveSpec spec;
    for (uint32_t id = 1; id <= c.objects; ++id) {
        ObjectSpec o;
        o.id = id;
        o.name = "o" + std::to_string(id);
        o.counters = {make_counter(1, "k", 0x0108, 8, {1000}, true)};
        spec.objects.push_back(o);
    }
    const std::string live = dir.base(kPartialName);
    ArchiveBuilder b(spec);
    ASSERT_EQ(b.create(live), TESRA_SUCCESS);
    if (c.header_first) {
        ASSERT_EQ(b.finalize(), TESRA_SUCCESS);
    }
    for (uint64_t s : c.seconds) {
        for (uint32_t id = 1; id <= c.objects; ++id) {
            ASSERT_EQ(b.write(s * 1000, id, 1000, Instances().u64(s).bytes()), TESRA_SUCCESS);
        }
    }
    if (!c.header_first) {
        ASSERT_EQ(b.finalize(), TESRA_SUCCESS);
    }
    ASSERT_EQ(gzflush(b.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
    std::fflush(b.file()->i6_0.metadata_file);

    ASSERT_EQ(archive.open(live), TESRA_SUCCESS);
    EXPECT_EQ(archive->i6_0.start_time, b.file()->i6_0.start_time);
    EXPECT_EQ(archive->i6_0.end_time, b.file()->i6_0.end_time);
    const uint64_t slots = c.seconds.back() - c.seconds.front() + 1;
    for (uint32_t id = 1; id <= c.objects; ++id) {
        const tesra_period_t *read = period_of(object_by_id(archive.header(), id), 1000);
        ASSERT_EQ(read->num_offsets, slots) << id;
        auto expected = slots_of(*period_of(b.object(id), 1000));
        expected.resize(slots);
        EXPECT_EQ(slots_of(*read), expected) << id;
    }
    archive.reset();

    ASSERT_EQ(b.close(), TESRA_SUCCESS);
    const std::string finished = dir.base(kFinishedName);
    for (const char *ext : {".meta", ".gz"}) {
        ASSERT_EQ(std::rename((live + ext).c_str(), (finished + ext).c_str()), 0);
    }
    ASSERT_EQ(archive.open(finished), TESRA_SUCCESS);
    EXPECT_NE(archive.header()->i6_0.object_index, nullptr);
    EXPECT_EQ(period_of(object_by_id(archive.header(), c.objects), 1000)->num_offsets, slots);
}

std::vector<uint64_t> seconds_up_to(uint64_t n) {
    std::vector<uint64_t> out(n);
    for (uint64_t i = 0; i < n; ++i) out[i] = i;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Sessions,
    LiveArchiveTest,
    ::testing::Values(
        // The header written after ten minutes of records: its times already span them.
        LiveCase{"RecordsBeforeTheHeader", 1, false, seconds_up_to(600)},
        // Forty tables of a day's seconds each, grown while the records are indexed.
        LiveCase{"ADayAtOneSecond", 40, true, {0, 86399}}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(SectionsLoadTest, RebuildSkipsRecordsOfUnknownPeriods) {
    std::vector<std::byte> stream;
    append(stream, volume_record(60000));
    append(stream, record_bytes(70000, 3, 7000, std::vector<std::byte>(100)));
    append(stream, volume_record(120000));
    const std::string base = write_partial_archive(dir, stream);
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_period_t *p = period_of(object_by_id(archive.header(), 3), 60000);
    ASSERT_EQ(p->num_offsets, 2u);
    EXPECT_EQ(p->record_offsets[1], 48u + 124u);
}

TEST_F(SectionsLoadTest, RebuildRefusesRecordOfUnknownObject) {
    std::vector<std::byte> stream;
    append(stream, volume_record(60000));
    append(stream, record_bytes(60000, 4, 60000, std::vector<std::byte>(24)));
    const std::string base = write_partial_archive(dir, stream);
    EXPECT_EQ(archive.open(base), TESRA_OBJECT_NOT_FOUND);
}

TEST_F(SectionsLoadTest, RebuildLeavesOutARecordWhoseBodyIsCutShort) {
    std::vector<std::byte> stream;
    append(stream, volume_record(60000));
    auto last = volume_record(120000);
    last.resize(last.size() - 1);
    append(stream, last);
    const std::string base = write_partial_archive(dir, stream);
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    EXPECT_EQ(archive->i6_0.end_time, 60000u);
    EXPECT_EQ(period_of(object_by_id(archive.header(), 3), 60000)->num_offsets, 1u);
}

TEST_F(SectionsLoadTest, InstanceLayoutPlacesKeyCountersInEveryPeriod) {
    ArchiveSpec spec;
    ObjectSpec obj;
    obj.id = 1;
    CounterSpec key;
    key.id = 1;
    key.name = "K";
    key.is_key = true;
    key.size = 8;
    CounterSpec c5;
    c5.id = 5;
    c5.name = "c5";
    c5.size = 4;
    CounterSpec c9;
    c9.id = 9;
    c9.name = "c9";
    c9.size = 8;
    c9.periods = {60000, 300000};
    obj.counters = {c9, key, c5};
    spec.objects = {obj};
    const std::string base = dir.base(kFinishedName);
    ASSERT_EQ(write_archive(spec, base,
                            {{60000, 1, 60000, std::vector<std::byte>(20)},
                             {300000, 1, 300000, std::vector<std::byte>(16)}}),
              TESRA_SUCCESS);
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_object_handle_t *o = object_by_id(archive.header(), 1);
    tesra_counter_handle_t *k = nullptr, *n5 = nullptr, *n9 = nullptr;
    ASSERT_EQ(tesra_find_counter_by_id(o, 1, &k), TESRA_SUCCESS);
    ASSERT_EQ(tesra_find_counter_by_id(o, 5, &n5), TESRA_SUCCESS);
    ASSERT_EQ(tesra_find_counter_by_id(o, 9, &n9), TESRA_SUCCESS);
    EXPECT_EQ(period_of(o, 60000)->cnts_size, 20u);
    EXPECT_EQ(period_of(o, 300000)->cnts_size, 16u);
    EXPECT_EQ(k->i6_0.record_offsets[4], 0u);
    EXPECT_EQ(n5->i6_0.record_offsets[4], 8u);
    EXPECT_EQ(n9->i6_0.record_offsets[4], 12u);
    EXPECT_EQ(k->i6_0.record_offsets[5], 0u);
    EXPECT_EQ(n9->i6_0.record_offsets[5], 8u);
}

TEST_F(SectionsLoadTest, TrimmingReleasesListsOfTheSlotsCutOff) {
    std::vector<std::byte> stream;
    append(stream, volume_record(60000));
    append(stream, volume_record(120000));
    const std::string base = write_partial_archive(dir, stream);
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_period_t *p = period_of(object_by_id(archive.header(), 3), 60000);
    ASSERT_EQ(p->num_offsets, 2u);
    // A list left in a slot beyond the span (as forged times could leave one) is released
    // by the trim, not leaked.
    p->num_offsets = 4;
    p->record_offsets[3] = format::make_partial_entry(0);
    p->iterative_record_offsets[3] = {1, static_cast<tesra_offset_t *>(std::calloc(1, 8)), 1};
    ASSERT_EQ(tesra_update_num_record_offsets_v6_0(archive.get()), TESRA_SUCCESS);
    EXPECT_EQ(p->num_offsets, 2u);
    EXPECT_EQ(p->iterative_record_offsets[3].offsets, nullptr);
}

TEST_F(SectionsLoadTest, LoadersRefuseNullArguments) {
    EXPECT_EQ(tesra_parse_object_index_v6_0(nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_parse_record_offsets_v6_0(nullptr, nullptr, 0), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_parse_iterative_record_offsets_v6_0(nullptr, nullptr, 0), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_recreate_object_index_v6_0(nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_set_counter_value_offsets_v6_0(nullptr), TESRA_INVALID_ARGUMENTS);
}

}  // namespace
}  // namespace tesra::test
