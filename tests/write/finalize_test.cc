// Close and removal: the index section layout, the in-place patches, and every way a close can
// end without an index while still releasing the handle.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

#include "writer_fixture.h"

namespace tesra::test {
namespace {

constexpr uint64_t kNoRecord = 0x7FFFFFFFFFFFFFFF;
constexpr uint64_t kPartial = 0x8000000000000000;

bool exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string hex16(const std::string &text, uint64_t at) {
    return text.substr(at, 16);
}

class Close : public WriterTest {};

// Object 1 (lower id) only at 60 s with four slots, slot 2 holding two records; object 5 only at
// 5 min with one slot. The section is 284 bytes, its partial-record list at 256.
TEST_F(Close, SectionLayoutOfTwoObjectsIsByteExact) {
    ArchiveSpec spec;
    spec.objects = {object(5, "late", {counter(1, "x", 8, {300000})}),
                    object(1, "early", {counter(1, "y", 8, {60000})})};
    auto b = open(spec);
    const uint64_t doc_length = b->file()->i6_0.metadata_written_count;
    ASSERT_EQ(b->write(300000, 1, 60000, body(8)), TESRA_SUCCESS);   // 0, slot 0
    ASSERT_EQ(b->write(300000, 5, 300000, body(8)), TESRA_SUCCESS);  // 32
    ASSERT_EQ(b->write(420000, 1, 60000, body(8)), TESRA_SUCCESS);   // 64, slot 2
    ASSERT_EQ(b->write(421000, 1, 60000, body(8)), TESRA_SUCCESS);   // 96, slot 2
    ASSERT_EQ(b->write(480000, 1, 60000, body(8)), TESRA_SUCCESS);   // 128, slot 3
    ASSERT_EQ(b->close(), TESRA_SUCCESS);

    std::vector<std::byte> expected;
    std::vector<uint64_t> index(28, 0);
    index[4] = 224;
    index[14 + 5] = 276;
    for (uint64_t v : index) put_u64(expected, v);
    for (uint64_t v : {uint64_t{0}, kNoRecord, kPartial | 256, uint64_t{128}}) put_u64(expected, v);
    put_u32(expected, 2);
    put_u64(expected, 64);
    put_u64(expected, 96);
    put_u64(expected, 32);
    ASSERT_EQ(expected.size(), 284u);

    const auto meta = read_file(b->meta_path());
    ASSERT_EQ(meta.size(), doc_length + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), meta.begin() + doc_length));
}

TEST_F(Close, PatchesTimesAndSectionOffsetInPlace) {
    auto b = open(ArchiveSpec::simple());
    const uint64_t doc_length = b->file()->i6_0.metadata_written_count;
    const std::string before = read_text(b->meta_path());
    ASSERT_EQ(b->write(125000, 3, 60000, body(24)), TESRA_SUCCESS);
    ASSERT_EQ(b->write(305000, 3, 60000, body(24)), TESRA_SUCCESS);
    ASSERT_EQ(b->close(), TESRA_SUCCESS);

    const std::string after = read_text(b->meta_path());
    ASSERT_GT(after.size(), doc_length);
    auto at = [&](const std::string &opening) { return after.find(opening) + opening.size(); };
    EXPECT_EQ(hex16(after, at("duration=\"")), "           2BF20");
    EXPECT_EQ(hex16(after, at("start_time=\"")), "           1D4C0");
    EXPECT_EQ(hex16(after, at("end_time=\"")), "           493E0");
    const auto first = after.find("<section_offset>") + 16;
    const auto second = after.find("<section_offset>", first) + 16;
    char want[17];
    std::snprintf(want, sizeof want, "%16lX", static_cast<unsigned long>(doc_length - 2140));
    EXPECT_EQ(hex16(after, first), want);
    EXPECT_EQ(hex16(after, second), "               0");
    // Only the fixed-width fields changed: the document keeps its length and everything else.
    std::string masked = after.substr(0, doc_length);
    for (auto pos : {at("duration=\""), at("start_time=\""), at("end_time=\""), first}) {
        masked.replace(pos, 16, before.substr(pos, 16));
    }
    EXPECT_EQ(masked, before);
}

TEST_F(Close, TrimsTablesToTheArchiveSpan) {
    auto b = open(ArchiveSpec::simple());
    ASSERT_EQ(b->write(125000, 3, 60000, body(24)), TESRA_SUCCESS);
    ASSERT_EQ(b->write(300000, 3, 60000, body(24)), TESRA_SUCCESS);
    tesra_period_t *p = period_of(b->object(3), 60000);
    ASSERT_EQ(p->num_offsets, 16u);
    ASSERT_EQ(tesra_write_object_index_v6_0(b->file()), TESRA_SUCCESS);
    EXPECT_EQ(p->num_offsets, 4u);
    EXPECT_EQ(p->record_offsets[3], 48u);
    EXPECT_EQ(b->close(), TESRA_SUCCESS);
}

TEST_F(Close, ArchiveWithoutObjectsGetsAnEmptySectionBehindTheTerminator) {
    ArchiveSpec spec;
    auto b = open(spec);
    const uint64_t doc_length = b->file()->i6_0.metadata_written_count;
    ASSERT_EQ(b->close(), TESRA_SUCCESS);
    const std::string text = read_text(b->meta_path());
    EXPECT_EQ(text.size(), doc_length);
    const auto first = text.find("<section_offset>") + 16;
    char want[17];
    std::snprintf(want, sizeof want, "%16lX", static_cast<unsigned long>(doc_length - 2140));
    EXPECT_EQ(hex16(text, first), want);
}

struct NoIndexCase {
    const char *what;
    std::vector<uint64_t> times;  // 60 s records of object 3
};

class CloseWithoutIndex : public WriterTest, public ::testing::WithParamInterface<NoIndexCase> {};

TEST_P(CloseWithoutIndex, ReportsInvalidTimestampKeepsPlaceholdersAndReleases) {
    auto b = open(ArchiveSpec::simple());
    for (uint64_t t : GetParam().times) ASSERT_EQ(b->write(t, 3, 60000, body(24)), TESRA_SUCCESS);
    const std::string before = read_text(b->meta_path());
    EXPECT_EQ(b->close(), TESRA_INVALID_TIMESTAMP) << GetParam().what;
    EXPECT_EQ(read_text(b->meta_path()), before);
}

INSTANTIATE_TEST_SUITE_P(Close,
                         CloseWithoutIndex,
                         ::testing::Values(NoIndexCase{"one aligned time", {125000, 179999}},
                                           NoIndexCase{"no record", {}}));

TEST_F(Close, HandleWhoseHeaderWasNeverWrittenIsReleasedWithWriteFailed) {
    ArchiveBuilder b(ArchiveSpec::simple());
    ASSERT_EQ(b.create(dir_.base("unwritten")), TESRA_SUCCESS);
    ASSERT_EQ(b.write(125000, 3, 60000, body(24)), TESRA_SUCCESS);
    ASSERT_EQ(b.write(305000, 3, 60000, body(24)), TESRA_SUCCESS);
    EXPECT_EQ(b.close(), TESRA_WRITE_FAILED);
    EXPECT_TRUE(read_file(b.meta_path()).empty());
}

TEST_F(Close, HandleOpenedForReadingWritesNothing) {
    auto b = open(ArchiveSpec::simple());
    ASSERT_EQ(b->write(125000, 3, 60000, body(24)), TESRA_SUCCESS);
    ASSERT_EQ(b->write(305000, 3, 60000, body(24)), TESRA_SUCCESS);
    const std::string before = read_text(b->meta_path());
    b->file()->i6_0.access_flag |= 1;
    EXPECT_EQ(b->close(), TESRA_SUCCESS);
    EXPECT_EQ(read_text(b->meta_path()), before);
}

TEST_F(Close, EntryRefusesNullAndForeignVersions) {
    EXPECT_EQ(tesra_close_data_file(nullptr), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_finalize_header(nullptr), TESRA_INVALID_ARGUMENTS);
    auto b = open(ArchiveSpec::simple());
    b->file()->major_v = 5;
    EXPECT_EQ(tesra_close_data_file(b->file()), TESRA_INVALID_VERSION);
    EXPECT_EQ(tesra_finalize_header(b->file()), TESRA_INVALID_VERSION);
    b->file()->major_v = 6;
}

TEST_F(Close, UnlinkRemovesBothFilesOrLeavesTheDataFile) {
    auto b = open(ArchiveSpec::simple());
    const std::string base = b->base_path();
    ASSERT_EQ(b->close(), TESRA_INVALID_TIMESTAMP);
    ASSERT_TRUE(exists(base + ".gz"));
    ASSERT_EQ(std::remove((base + ".meta").c_str()), 0);
    EXPECT_EQ(tesra_unlink(base.c_str()), TESRA_UNLINK_ERROR);
    EXPECT_TRUE(exists(base + ".gz"));

    auto c = open(ArchiveSpec::simple(), "b");
    ASSERT_EQ(c->close(), TESRA_INVALID_TIMESTAMP);
    EXPECT_EQ(tesra_unlink(c->base_path().c_str()), TESRA_SUCCESS);
    EXPECT_FALSE(exists(c->meta_path()));
    EXPECT_FALSE(exists(c->data_path()));
    EXPECT_EQ(tesra_unlink(nullptr), TESRA_INVALID_ARGUMENTS);
}

}  // namespace
}  // namespace tesra::test
