// Opening archives: access strings, missing files, names, versions, finished and partial
// archives, and the time-span lookups.
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <zlib.h>

#include "read/reader_test_support.h"

namespace tesra::test {
namespace {

class OpenTest : public ::testing::Test {
protected:
    // A finished 6.1 archive of ArchiveSpec::simple() with records at 120000 and 240000 ms.
    std::string write_finished(const std::string &name = kFinishedName) {
        const std::string base = dir.base(name);
        const auto body = Instances().str("vol0", 16).u64(5).bytes();
        EXPECT_EQ(write_archive(ArchiveSpec::simple(), base,
                                {{125000, 3, 60000, body}, {245000, 3, 60000, body}}),
                  TESRA_SUCCESS);
        return base;
    }
    // A partial archive from a hand-written document and raw data-stream bytes.
    std::string write_partial(const std::vector<std::byte> &stream,
                              const std::string &doc = partial_meta_doc()) {
        return write_partial_archive(dir, stream, doc);
    }

    TempDir dir;
    OpenedArchive archive;
};

class AccessStringTest : public OpenTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(AccessStringTest, UnknownAccessStringIsRefusedBeforeAnythingIsOpened) {
    const std::string base = write_finished();
    const auto meta_before = read_file(base + ".meta");
    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *data = nullptr;
    EXPECT_EQ(tesra_open_data_file(base.c_str(), GetParam(), &file, &meta, &data),
              TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(read_file(base + ".meta"), meta_before);
}

INSTANTIATE_TEST_SUITE_P(Refused, AccessStringTest, ::testing::Values("w", "a", "r+", "", "rwb"));

TEST_F(OpenTest, ReadAccessStringsGiveFlagOneAndReadWriteStringsFlagThree) {
    const std::string base = write_finished();
    for (const auto &[access, flag] : {std::pair{"r", 1u}, {"rb", 1u}, {"rw", 3u}, {"wr", 3u}}) {
        ASSERT_EQ(archive.open(base, access), TESRA_SUCCESS) << access;
        EXPECT_EQ(archive->i6_0.access_flag, flag) << access;
    }
}

TEST_F(OpenTest, ReadWriteAccessNeverTruncatesOrRewritesEitherFile) {
    const std::string base = write_finished();
    const auto meta_before = read_file(base + ".meta");
    const auto data_before = read_file(base + ".gz");
    for (const char *access : {"rw", "wr"}) {
        ASSERT_EQ(archive.open(base, access), TESRA_SUCCESS);
        archive.reset();
        EXPECT_EQ(read_file(base + ".meta"), meta_before) << access;
        EXPECT_EQ(read_file(base + ".gz"), data_before) << access;
    }
}

TEST_F(OpenTest, MissingDataFileGivesFileNotFound) {
    const std::string base = write_finished();
    std::remove((base + ".gz").c_str());
    EXPECT_EQ(archive.open(base), TESRA_FILE_NOT_FOUND);
    EXPECT_EQ(archive.get(), nullptr);
}

TEST_F(OpenTest, MissingMetadataFileGivesFileNotFound) {
    const std::string base = write_finished();
    std::remove((base + ".meta").c_str());
    EXPECT_EQ(archive.open(base), TESRA_FILE_NOT_FOUND);
}

TEST_F(OpenTest, ValidPairUnderMalformedNameGivesFilenameFormatError) {
    write_finished("archive");
    EXPECT_EQ(archive.open(dir.base("archive")), TESRA_FILENAME_FORMAT_ERROR);
}

TEST_F(OpenTest, FinishedArchiveFillsTheHandleFromNameAndMetadata) {
    const std::string base = write_finished();
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    EXPECT_STREQ(archive.meta_path(), (base + ".meta").c_str());
    EXPECT_STREQ(archive.data_path(), (base + ".gz").c_str());
    EXPECT_EQ(archive.meta_path(), archive->i6_0.metadata_file_path);  // the handle's own
    EXPECT_EQ(archive->major_v, 6u);
    EXPECT_EQ(archive->minor_v, 1u);
    EXPECT_STREQ(archive->e6_0.file_path, base.c_str());
    EXPECT_EQ(archive->e6_0.file_index, 5u);
    EXPECT_EQ(archive->e6_0.file_type, 1);
    EXPECT_EQ(archive->i6_0.max_period, 300000u);
    EXPECT_EQ(archive->i6_0.start_time, 120000u);
    EXPECT_EQ(archive->i6_0.end_time, 240000u);
    const uint64_t base_time = ArchiveSpec::simple().system.base_time;
    EXPECT_EQ(archive->e6_0.start_time, base_time + 120000);
    EXPECT_EQ(archive->e6_0.end_time, base_time + 240000);
}

struct VersionCase {
    const char *version;
    tesra_error_t expected;
};

class VersionAttributeTest : public OpenTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionAttributeTest, RootVersionDecidesWhetherTheArchiveOpens) {
    const std::string base = write_finished();
    std::string meta = read_text(base + ".meta");
    ASSERT_TRUE(replace_once(meta, "version=\"6.1\"",
                             std::string("version=\"") + GetParam().version + "\""));
    write_text_file(base + ".meta", meta);
    EXPECT_EQ(archive.open(base), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Versions,
                         VersionAttributeTest,
                         ::testing::Values(VersionCase{"6", TESRA_NULL_POINTER},
                                           VersionCase{"", TESRA_NULL_POINTER},
                                           VersionCase{"...", TESRA_NULL_POINTER},
                                           VersionCase{"7.0", TESRA_INVALID_VERSION},
                                           VersionCase{"5.0", TESRA_INVALID_VERSION},
                                           VersionCase{"6.1", TESRA_SUCCESS}));

TEST_F(OpenTest, VersionSixZeroArchiveReportsSixZero) {
    ArchiveSpec spec = ArchiveSpec::simple();
    spec.minor = 0;
    const std::string base = dir.base(kFinishedName);
    const auto body = Instances().str("v", 16).u64(1).bytes();
    ASSERT_EQ(write_archive(spec, base, {{60000, 3, 60000, body}, {120000, 3, 60000, body}}),
              TESRA_SUCCESS);
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    EXPECT_EQ(archive->minor_v, 0u);
    EXPECT_STREQ(archive.header()->i6_0.system.e6_0.cluster_name, "");
}

TEST_F(OpenTest, UnreadableDocumentGivesParsingError) {
    const std::string base = write_partial({}, "this is not xml");
    EXPECT_EQ(archive.open(base), TESRA_PARSING_ERROR);
}

// ---- archives still being written -----------------------------------------------------------

TEST_F(OpenTest, PartialArchiveOpensWhileItsWriterHoldsItOpen) {
    const std::string base = dir.base(kPartialName);
    ArchiveBuilder writer(ArchiveSpec::simple());
    ASSERT_EQ(writer.create(base), TESRA_SUCCESS);
    ASSERT_EQ(writer.finalize(), TESRA_SUCCESS);
    const auto body = Instances().str("a", 16).u64(1).str("b", 16).u64(2).bytes();
    for (uint64_t t : {60000, 61000, 185000, 300000}) {
        ASSERT_EQ(writer.write(t, 3, 60000, body), TESRA_SUCCESS);
    }
    ASSERT_EQ(gzflush(writer.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
    std::fflush(writer.file()->i6_0.metadata_file);

    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_period_t *read = period_of(object_by_id(archive.header(), 3), 60000);
    tesra_period_t *written = period_of(writer.object(3), 60000);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(archive->i6_0.start_time, 60000u);
    EXPECT_EQ(archive->i6_0.end_time, 300000u);
    EXPECT_EQ(archive->i6_0.duration, 240000u);
    ASSERT_EQ(read->num_offsets, 5u);  // trimmed to the span
    auto expected = slots_of(*written);
    expected.resize(5);
    EXPECT_EQ(slots_of(*read), expected);
}

TEST_F(OpenTest, PartialArchiveCutInsideItsLastRecordHeaderIndexesTheCompleteRecords) {
    std::vector<std::byte> stream;
    append(stream, volume_record(60000, 2));
    append(stream, volume_record(120000));
    const std::size_t second = 24 + 48;
    const auto third = volume_record(180000);
    for (std::size_t cut = 0; cut < 24; ++cut) {
        std::vector<std::byte> cut_stream = stream;
        cut_stream.insert(cut_stream.end(), third.begin(), third.begin() + cut);
        const std::string base = write_partial(cut_stream);
        ASSERT_EQ(archive.open(base), TESRA_SUCCESS) << cut;
        tesra_period_t *p = period_of(object_by_id(archive.header(), 3), 60000);
        ASSERT_EQ(p->num_offsets, 2u) << cut;
        EXPECT_EQ(p->record_offsets[0], 0u);
        EXPECT_EQ(p->record_offsets[1], second);
        EXPECT_EQ(archive->i6_0.end_time, 120000u);
    }
}

TEST_F(OpenTest, PartialArchiveWithoutRecordsOpensButHasNoTimeSpan) {
    const std::string base = write_partial({});
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    EXPECT_EQ(archive->i6_0.start_time, format::kUnsetStartTime);
    EXPECT_EQ(archive->i6_0.end_time, 0u);
    EXPECT_EQ(archive->i6_0.duration, format::kDefaultPartialDuration);
    archive.reset();

    uint64_t period = 11, start = 22, end = 33;
    EXPECT_EQ(tesra_get_partial_file_info_v6_0(base.c_str(), &period, &start, &end),
              TESRA_INVALID_TIMESTAMP);
    EXPECT_EQ(start, 22u);
}

TEST_F(OpenTest, PartialFileInfoAnswersFromTheRecords) {
    std::vector<std::byte> stream;
    append(stream, volume_record(125000));
    append(stream, volume_record(185000));
    const std::string base = write_partial(stream);
    uint64_t period = 0, start = 0, end = 0;
    ASSERT_EQ(tesra_get_partial_file_info_v6_0(base.c_str(), &period, &start, &end), TESRA_SUCCESS);
    EXPECT_EQ(period, 60000u);
    EXPECT_EQ(start, 1000000000000u + 120000);
    EXPECT_EQ(end, 1000000000000u + 180000);

    uint32_t index = 0;
    period = start = end = 0;
    ASSERT_EQ(tesra_get_basic_file_info_v6_0(base.c_str(), &index, &period, &start, &end),
              TESRA_SUCCESS);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(start, 1000000000000u + 120000);
    EXPECT_EQ(end, 1000000000000u + 180000);
}

TEST_F(OpenTest, PartialFileInfoWantsTheBasePath) {
    uint64_t period = 0, start = 0, end = 0;
    const std::string base = dir.base(kPartialName);
    for (const std::string &path : {base + ".gz", base + ".meta"}) {
        EXPECT_EQ(tesra_get_partial_file_info_v6_0(path.c_str(), &period, &start, &end),
                  TESRA_INVALID_ARGUMENTS);
    }
}

TEST_F(OpenTest, BasicFileInfoOfAFinishedNameNeedsNoFiles) {
    uint32_t index = 0;
    uint64_t period = 0, start = 0, end = 0;
    const std::string base = dir.base("7_300_5000_900000");
    ASSERT_EQ(tesra_get_basic_file_info_v6_0(base.c_str(), &index, &period, &start, &end),
              TESRA_SUCCESS);
    EXPECT_EQ(index, 7u);
    EXPECT_EQ(period, 300000u);
    EXPECT_EQ(start, 5000u);
    EXPECT_EQ(end, 905000u);
    EXPECT_EQ(tesra_get_basic_file_info_v6_0(dir.base(kPartialName).c_str(), &index, &period,
                                             &start, &end),
              TESRA_FILE_NOT_FOUND);
}

TEST_F(OpenTest, ArchiveWithoutIndexSectionIsIndexedFromItsRecords) {
    // Written and flushed but never closed, under a finished archive's name.
    const std::string base = dir.base(kFinishedName);
    {
        ArchiveBuilder writer(ArchiveSpec::simple());
        ASSERT_EQ(writer.create(base), TESRA_SUCCESS);
        ASSERT_EQ(writer.finalize(), TESRA_SUCCESS);
        const auto body = Instances().str("a", 16).u64(1).bytes();
        ASSERT_EQ(writer.write(60000, 3, 60000, body), TESRA_SUCCESS);
        ASSERT_EQ(writer.write(180000, 3, 60000, body), TESRA_SUCCESS);
        ASSERT_EQ(gzflush(writer.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
        std::fflush(writer.file()->i6_0.metadata_file);
        ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    }
    tesra_period_t *p = period_of(object_by_id(archive.header(), 3), 60000);
    ASSERT_EQ(p->num_offsets, 3u);
    EXPECT_EQ(p->record_offsets[0], 0u);
    EXPECT_EQ(p->record_offsets[1], format::kNoRecord);
    EXPECT_EQ(p->record_offsets[2], 24u + 24);
}

TEST(ReaderVersion, InterfaceVersionIsOneFour) {
    EXPECT_EQ(tesra_get_major_version(), 1u);
    EXPECT_EQ(tesra_get_minor_version(), 4u);
}

}  // namespace
}  // namespace tesra::test
