// Records entering the data stream and the in-memory index: slots, partial lists, refusals that
// must leave the stream untouched, table growth and its bound, and a broken data stream.
#include <unistd.h>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

#include "writer_fixture.h"

namespace tesra::test {
namespace {

constexpr uint64_t kNoRecord = 0x7FFFFFFFFFFFFFFF;
constexpr uint64_t kPartial = 0x8000000000000000;
constexpr uint64_t kOnce = 999999000;

// Object 3 sampled at 30 s (counter 2), 60 s (counter 3), once per archive (counter 5); object
// 4 at 1 s. Every instance is 8 bytes.
ArchiveSpec periods_spec() {
    ArchiveSpec spec;
    spec.objects = {object(3, "vol",
                           {counter(2, "a", 8, {30000}), counter(3, "b", 8, {60000}),
                            counter(5, "c", 8, {kOnce})}),
                    object(4, "fast", {counter(1, "f", 8, {1000})})};
    return spec;
}

class RecordWrite : public WriterTest {
protected:
    void SetUp() override { b_ = open(periods_spec()); }
    tesra_period_t *period(uint32_t obj, uint64_t p) { return period_of(b_->object(obj), p); }
    const tesra_file_int_t_v6_0 &file() { return b_->file()->i6_0; }

    std::unique_ptr<ArchiveBuilder> b_;
};

TEST_F(RecordWrite, FirstRecordsFixStartAndShareTheirSlot) {
    ASSERT_EQ(b_->write(125000, 3, 60000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(file().start_time, 120000u);
    EXPECT_EQ(file().end_time, 120000u);
    EXPECT_EQ(file().data_written_count, 32u);
    tesra_period_t *p = period(3, 60000);
    EXPECT_EQ(p->record_offsets[0], 0u);

    ASSERT_EQ(b_->write(179999, 3, 60000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(p->record_offsets[0], kPartial | 0);
    ASSERT_EQ(p->iterative_record_offsets[0].num_offsets, 2u);
    EXPECT_EQ(p->iterative_record_offsets[0].offsets[0], 0u);
    EXPECT_EQ(p->iterative_record_offsets[0].offsets[1], 32u);
    EXPECT_EQ(p->record_offsets[1], kNoRecord);
}

TEST_F(RecordWrite, RecordBeforeTheStartSlotIsRefusedAndNotWritten) {
    ASSERT_EQ(b_->write(125000, 3, 60000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(b_->write(61000, 3, 60000, body(8)), TESRA_INVALID_TIMESTAMP);
    EXPECT_EQ(file().data_written_count, 32u);
}

TEST_F(RecordWrite, RecordInsideTheStartSlotOfACoarserPeriodIsAccepted) {
    ASSERT_EQ(b_->write(150000, 3, 30000, body(8)), TESRA_SUCCESS);
    ASSERT_EQ(b_->write(125000, 3, 60000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(period(3, 60000)->record_offsets[0], 32u);
    EXPECT_EQ(file().start_time, 150000u);
}

struct Refusal {
    const char *what;
    uint32_t obj;
    uint64_t period;
    tesra_error_t code;
};

class RecordRefusal : public RecordWrite, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RecordRefusal, IsNotWrittenAndTheNextRecordTakesItsOffset) {
    const Refusal &r = GetParam();
    ASSERT_EQ(b_->write(60000, 3, 60000, body(8, 1)), TESRA_SUCCESS);
    EXPECT_EQ(b_->write(120000, r.obj, r.period, body(8, 2)), r.code) << r.what;
    ASSERT_EQ(b_->write(120000, 3, 60000, body(8, 3)), TESRA_SUCCESS);
    EXPECT_EQ(period(3, 60000)->record_offsets[1], 32u);
    ASSERT_EQ(b_->close(), TESRA_SUCCESS);

    auto expected = record_bytes(60000, 3, 60000, body(8, 1));
    auto second = record_bytes(120000, 3, 60000, body(8, 3));
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(gunzip_file(b_->data_path()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Records,
    RecordRefusal,
    ::testing::Values(Refusal{"id beyond the object table", 1000, 60000, TESRA_OBJECT_NOT_FOUND},
                      Refusal{"empty object entry", 5, 60000, TESRA_OBJECT_NOT_FOUND},
                      Refusal{"period the object lacks", 3, 300000, TESRA_PERIOD_NOT_FOUND},
                      Refusal{"period outside the table", 3, 7000, TESRA_PERIOD_NOT_FOUND},
                      Refusal{"period 0", 3, 0, TESRA_PERIOD_NOT_FOUND}));

TEST_F(RecordWrite, OncePerArchiveRecordsShareSlotZeroAndLeaveMaxPeriod) {
    ASSERT_EQ(b_->write(125000, 3, kOnce, body(8)), TESRA_SUCCESS);
    ASSERT_EQ(b_->write(7000000, 3, kOnce, body(8)), TESRA_SUCCESS);
    tesra_period_t *p = period(3, kOnce);
    EXPECT_EQ(p->num_offsets, 1u);
    EXPECT_EQ(p->record_offsets[0], kPartial | 0);
    EXPECT_EQ(p->iterative_record_offsets[0].num_offsets, 2u);
    EXPECT_EQ(file().max_period, 0u);
    ASSERT_EQ(b_->write(125000, 3, 60000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(file().max_period, 60000u);
}

TEST_F(RecordWrite, TableGrowsByDoublingUntilItCoversTheSlot) {
    tesra_period_t *p = period(3, 60000);
    ASSERT_EQ(p->num_offsets, 16u);  // 900000 ms of creation duration
    ASSERT_EQ(b_->write(0, 3, 60000, body(8)), TESRA_SUCCESS);
    ASSERT_EQ(b_->write(40 * 60000, 3, 60000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(p->num_offsets, 64u);
    EXPECT_EQ(p->record_offsets[40], 32u);
    for (uint32_t j = 16; j < 64; ++j) {
        if (j != 40) {
            EXPECT_EQ(p->record_offsets[j], kNoRecord) << j;
        }
    }
}

TEST_F(RecordWrite, RecordFarAfterTheStartIsRefusedWithoutGrowingTables) {
    ASSERT_EQ(b_->write(0, 4, 1000, body(8)), TESRA_SUCCESS);
    const uint32_t before = period(4, 1000)->num_offsets;
    const uint64_t ten_years = 10ull * 365 * 86400 * 1000;
    EXPECT_EQ(b_->write(ten_years, 4, 1000, body(8)), TESRA_INVALID_TIMESTAMP);
    // A coarse period alone would fit, but the 1-second table would follow it to the same end.
    EXPECT_EQ(b_->write(ten_years, 3, 60000, body(8)), TESRA_INVALID_TIMESTAMP);
    EXPECT_EQ(b_->write(ten_years, 3, kOnce, body(8)), TESRA_INVALID_TIMESTAMP);
    EXPECT_EQ(period(4, 1000)->num_offsets, before);
    EXPECT_EQ(file().end_time, 0u);
    EXPECT_EQ(file().data_written_count, 32u);
}

TEST_F(RecordWrite, SlotBoundAcceptsTheLastSlotAndRefusesTheNext) {
    constexpr uint64_t kBound = 1u << 20;
    ASSERT_EQ(b_->write(0, 4, 1000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(b_->write(kBound * 1000, 4, 1000, body(8)), TESRA_INVALID_TIMESTAMP);
    EXPECT_EQ(b_->write((kBound - 1) * 1000, 4, 1000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(period(4, 1000)->num_offsets, kBound);
}

TEST_F(RecordWrite, PartialListStopsAtTheLengthReadersAccept) {
    constexpr uint32_t kLimit = 100000;
    for (uint32_t i = 0; i < kLimit; ++i) {
        ASSERT_EQ(b_->write(0, 3, kOnce, body(0)), TESRA_SUCCESS) << i;
    }
    EXPECT_EQ(b_->write(0, 3, kOnce, body(0)), TESRA_INVALID_NUM_PARTIAL_RECORDS);
    EXPECT_EQ(period(3, kOnce)->iterative_record_offsets[0].num_offsets, kLimit);
    EXPECT_EQ(file().data_written_count, 24ull * kLimit);
}

TEST_F(RecordWrite, FtellCountsMetadataAndDecompressedData) {
    const uint64_t meta = file().metadata_written_count;
    ASSERT_GT(meta, 2140u);
    ASSERT_EQ(b_->write(0, 3, 60000, body(100)), TESRA_SUCCESS);
    ASSERT_EQ(b_->write(60000, 3, 60000, body(100)), TESRA_SUCCESS);
    uint64_t count = 0;
    ASSERT_EQ(tesra_ftell(b_->file(), &count), TESRA_SUCCESS);
    EXPECT_EQ(count, meta + 248);
}

TEST_F(RecordWrite, RecordTimesAreAbsoluteSlotTimes) {
    ASSERT_EQ(b_->write(125000, 3, 60000, body(8)), TESRA_SUCCESS);
    ASSERT_EQ(b_->write(310000, 3, 60000, body(8)), TESRA_SUCCESS);
    const uint64_t base = b_->spec().system.base_time;
    uint64_t oldest = 0;
    uint64_t newest = 0;
    ASSERT_EQ(tesra_get_oldest_record_time(b_->file(), &oldest), TESRA_SUCCESS);
    ASSERT_EQ(tesra_get_newest_record_time(b_->file(), &newest), TESRA_SUCCESS);
    EXPECT_EQ(oldest, base + 120000);
    EXPECT_EQ(newest, base + 300000);
}

TEST_F(RecordWrite, EntryRefusesBadArgumentsBeforeTouchingTheStream) {
    tesra_record_header_data_t_v6_0 info{6, 1, 0, 8, 3, 60000};
    const auto bytes = body(8);
    EXPECT_EQ(tesra_write_record(nullptr, &info, bytes.data()), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_write_record(b_->file(), nullptr, bytes.data()), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_write_record(b_->file(), &info, nullptr), TESRA_INVALID_ARGUMENTS);
    tesra_record_header_data_t_v6_0 older{6, 0, 0, 8, 3, 60000};
    EXPECT_EQ(tesra_write_record(b_->file(), &older, bytes.data()), TESRA_VERSION_MISMATCH);
    // Readers refuse bodies beyond 2 MiB as corrupt, so the writer never produces one.
    std::vector<std::byte> huge(0x200001);
    tesra_record_header_data_t_v6_0 big{6, 1, 0, 0x200001, 3, 60000};
    EXPECT_EQ(tesra_write_record(b_->file(), &big, huge.data()), TESRA_INVALID_ARGUMENTS);
    // The version checks come first: an oversized body does not hide a wrong version.
    big.minor_v = 0;
    EXPECT_EQ(tesra_write_record(b_->file(), &big, huge.data()), TESRA_VERSION_MISMATCH);
    b_->file()->major_v = big.major_v = 7;
    big.minor_v = 1;
    EXPECT_EQ(tesra_write_record(b_->file(), &big, huge.data()), TESRA_INVALID_VERSION);
    b_->file()->major_v = 6;
    EXPECT_EQ(file().data_written_count, 0u);
    EXPECT_EQ(file().start_time, 0xFFFFFFFFFFFFFFFFu);
}

TEST(RecordSlots, SlotCountFollowsTheArchiveSpan) {
    uint32_t n = 0;
    ASSERT_EQ(tesra_get_num_record_offsets_v6_0(120000, 300000, 60000, &n), TESRA_SUCCESS);
    EXPECT_EQ(n, 4u);
    ASSERT_EQ(tesra_get_num_record_offsets_v6_0(120000, 300000, kOnce, &n), TESRA_SUCCESS);
    EXPECT_EQ(n, 1u);
    ASSERT_EQ(tesra_get_num_record_offsets_v6_0(0, 900000, 60000, &n), TESRA_SUCCESS);
    EXPECT_EQ(n, 16u);
}

// The data file is a device that refuses every byte: a record too large for zlib's buffer
// fails in gzwrite, small ones only when the stream is closed.
class BrokenDataStream : public WriterTest {
protected:
    std::unique_ptr<ArchiveBuilder> open_on_full_device() {
        if (access("/dev/full", W_OK) != 0) return nullptr;
        const std::string base = dir_.base("full");
        EXPECT_EQ(symlink("/dev/full", (base + ".gz").c_str()), 0);
        auto b = std::make_unique<ArchiveBuilder>(periods_spec());
        EXPECT_EQ(b->create(base), TESRA_SUCCESS);
        EXPECT_EQ(b->finalize(), TESRA_SUCCESS);
        return b;
    }
    static std::vector<std::byte> incompressible(std::size_t size) {
        std::vector<std::byte> out(size);
        uint32_t x = 2463534242u;
        for (auto &v : out) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            v = static_cast<std::byte>(x);
        }
        return out;
    }
};

TEST_F(BrokenDataStream, FailedRecordStopsTheArchiveAndCloseWritesNoIndex) {
    auto b = open_on_full_device();
    if (!b) GTEST_SKIP() << "no /dev/full";
    const uint64_t meta_length = b->file()->i6_0.metadata_written_count;
    ASSERT_EQ(b->write(0, 3, 60000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(b->write(60000, 3, 60000, incompressible(1 << 20)), TESRA_WRITE_FAILED);
    EXPECT_EQ(b->file()->i6_0.access_flag & 2u, 0u);
    // The index already names the lost record; nothing more may follow it.
    EXPECT_EQ(b->write(120000, 3, 60000, body(8)), TESRA_WRITE_FAILED);
    EXPECT_EQ(b->close(), TESRA_WRITE_FAILED);
    const std::string text = read_text(b->meta_path());
    EXPECT_EQ(text.size(), meta_length);
    EXPECT_NE(text.find("start_time=\"FFFFFFFFFFFFFFFF\""), std::string::npos);
}

TEST_F(BrokenDataStream, StreamThatFailsOnlyAtCloseIsReportedByClose) {
    auto b = open_on_full_device();
    if (!b) GTEST_SKIP() << "no /dev/full";
    ASSERT_EQ(b->write(0, 3, 60000, body(8)), TESRA_SUCCESS);
    ASSERT_EQ(b->write(60000, 3, 60000, body(8)), TESRA_SUCCESS);
    EXPECT_EQ(b->close(), TESRA_CLOSE_FILE_FAILED);
}

}  // namespace
}  // namespace tesra::test
