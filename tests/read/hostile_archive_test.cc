// Hostile archives: every class of damaged or forged input gets a code, never a crash, a hang
// or a huge allocation. Run under the sanitizer build, these also prove that failed opens leak
// nothing.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tesra/tesra_live.h"

#include "read/reader_test_support.h"

namespace tesra::test {
namespace {

class HostileArchiveTest : public ::testing::Test {
protected:
    // A finished archive with two periods, a partial-record list and an attribute.
    void SetUp() override {
        ArchiveSpec spec = ArchiveSpec::simple();
        spec.attributes = {{"attr", 1, "d"}};
        spec.objects[0].counters[1].periods = {60000, 300000};
        base = dir.base(kFinishedName);
        const std::vector<std::byte> body(24);
        ASSERT_EQ(write_archive(spec, base,
                                {{120000, 3, 60000, body},
                                 {130000, 3, 60000, body},
                                 {300000, 3, 300000, body},
                                 {420000, 3, 60000, body}}),
                  TESRA_SUCCESS);
        meta = read_file(base + ".meta");
        for (std::size_t i = 0; i < meta.size(); ++i) {
            if (meta[i] == std::byte{0}) {
                index_start = i + 1;
                break;
            }
        }
        ASSERT_GT(index_start, 0u);
        ASSERT_LT(index_start, meta.size());
    }

    tesra_error_t open_with_meta(const std::vector<std::byte> &bytes) {
        write_file(base + ".meta", bytes);
        return archive.open(base);
    }
    tesra_error_t open_with_text(const std::string &text) {
        write_text_file(base + ".meta", text);
        return archive.open(base);
    }
    std::string meta_text() const {
        return std::string(reinterpret_cast<const char *>(meta.data()), meta.size());
    }

    TempDir dir;
    std::string base;
    std::vector<std::byte> meta;
    std::size_t index_start = 0;
    OpenedArchive archive;
};

TEST_F(HostileArchiveTest, MetadataCutAtAnyPointFailsTheOpen) {
    ASSERT_EQ(open_with_meta(meta), TESRA_SUCCESS);
    // A cut document does not parse; a whole document whose index section would start beyond
    // the cut cannot be sought to; an index cut short cannot be read whole.
    const std::size_t document_end = meta_text().rfind('>', index_start) + 1;
    // Every cut inside the index section, and a stride through the document.
    for (std::size_t cut = 0; cut < meta.size(); cut += (cut < index_start - 64 ? 7 : 1)) {
        const std::vector<std::byte> cut_meta(meta.begin(), meta.begin() + cut);
        const tesra_error_t expected = cut < document_end  ? TESRA_PARSING_ERROR
                                       : cut < index_start ? TESRA_SEEK_FAILED
                                                           : TESRA_READ_FAILED;
        EXPECT_EQ(open_with_meta(cut_meta), expected) << "cut " << cut;
        EXPECT_EQ(archive.get(), nullptr);
    }
}

TEST_F(HostileArchiveTest, FlippedIndexBytesGiveACodeOrAConsistentOpen) {
    // A flipped offset still inside the file opens (it is found out on the read) or points
    // beyond it; a flipped list length is over the limit or runs past the file's end.
    const std::set<tesra_error_t> kIndexCodes = {TESRA_SUCCESS, TESRA_SEEK_FAILED,
                                                 TESRA_INVALID_NUM_PARTIAL_RECORDS,
                                                 TESRA_READ_FAILED};
    for (std::size_t at = index_start; at < meta.size(); ++at) {
        for (uint8_t mask : {0xFF, 0x80, 0x01}) {
            std::vector<std::byte> flipped = meta;
            flipped[at] ^= std::byte{mask};
            const tesra_error_t rc = open_with_meta(flipped);
            EXPECT_TRUE(kIndexCodes.count(rc)) << "byte " << at << " gave " << rc;
            if (rc != TESRA_SUCCESS) continue;
            // An altered record offset is only found out when the record is read; every list
            // that was loaded must still be whole and within the format's limit.
            for (auto *p = object_by_id(archive.header(), 3)->i6_0.period_list; p != nullptr;
                 p = p->next_period) {
                for (uint32_t i = 0; i < p->num_offsets; ++i) {
                    const auto &list = p->iterative_record_offsets[i];
                    EXPECT_EQ(list.num_offsets, list.offsets_size);
                    EXPECT_LE(list.num_offsets, format::kMaxPartialRecords);
                }
            }
        }
    }
}

struct ForgedCase {
    const char *name;
    const char *from;
    const char *to;
    tesra_error_t expected;
};

class ForgedAttributeTest : public HostileArchiveTest,
                            public ::testing::WithParamInterface<ForgedCase> {};

// Same-width edits keep every byte position of the finished archive, so only the forged value
// differs.
TEST_P(ForgedAttributeTest, ForgedValueIsRefused) {
    std::string text = meta_text();
    ASSERT_TRUE(replace_once(text, GetParam().from, GetParam().to)) << GetParam().name;
    EXPECT_EQ(open_with_text(text), GetParam().expected);
    EXPECT_EQ(archive.get(), nullptr);
}

const ForgedCase kForged[] = {
    // Billions of one-second slots: more than the metadata file could hold.
    {"EndTimeNearTwoToTheSixtyFour", "end_time=\"           668A0\"",
     "end_time=\"FFFFFFFFFFFFFFF0\"", TESRA_CORRUPT_ARCHIVE},
    {"SpanLargerThanTheFileHolds", "end_time=\"           668A0\"", "end_time=\"        FFFFFFF0\"",
     TESRA_CORRUPT_ARCHIVE},
    // No writer lays out an index for a single aligned time.
    {"StartEqualsEndWithAnIndex", "end_time=\"           668A0\"", "end_time=\"           1D4C0\"",
     TESRA_INVALID_TIMESTAMP},
    {"HeaderOffsetBeyondFile", "header_offset=\"2140\"", "header_offset=\"9999\"",
     TESRA_SEEK_FAILED},
    {"ObjectIdHuge", "<id>3</id>", "<id>4000000000</id>", TESRA_PARSING_ERROR},
    {"SectionTypeOutOfRange", "<section_type>1</section_type>", "<section_type>9</section_type>",
     TESRA_PARSING_ERROR},
    {"CounterSizeHuge", "<size>8</size>", "<size>4294967295</size>", TESRA_CORRUPT_ARCHIVE},
};

INSTANTIATE_TEST_SUITE_P(Attributes,
                         ForgedAttributeTest,
                         ::testing::ValuesIn(kForged),
                         [](const auto &row) { return std::string(row.param.name); });

// A forged end_time far beyond every slot table must not keep a time-ordered walk stepping
// through empty seconds: the walk ends where the tables end.
TEST(HostileWalkTest, ForgedEndTimeDoesNotStretchTheLinearWalk) {
    ArchiveSpec spec = ArchiveSpec::simple();
    spec.objects[0].counters[0].periods = {999999000};
    spec.objects[0].counters[1].periods = {999999000};
    TempDir dir;
    const std::string base = dir.base(kFinishedName);
    const std::vector<std::byte> body(24);
    ASSERT_EQ(write_archive(spec, base,
                            {{120000, 3, 999999000, body}, {180000, 3, 999999000, body}}),
              TESRA_SUCCESS);
    std::string text = read_text(base + ".meta");
    ASSERT_TRUE(
        replace_once(text, "end_time=\"           2BF20\"", "end_time=\"FFFFFFFFFFFFFFF0\""));
    write_text_file(base + ".meta", text);

    OpenedArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_record_handle_t *record = nullptr;
    ASSERT_EQ(tesra_first_record(archive.get(), TESRA_LINEAR_ORDER, 0, &record), TESRA_SUCCESS);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->e6_0.size, 48u);  // both partial records of the one slot, joined
    ASSERT_EQ(tesra_next_record(archive.get(), &record), TESRA_SUCCESS);
    EXPECT_EQ(record, nullptr);
}

TEST_F(HostileArchiveTest, SectionOffsetBeyondTheFileGivesSeekFailed) {
    std::string text = meta_text();
    const std::size_t at = text.find("<section_offset>") + std::strlen("<section_offset>");
    text.replace(at, 16, "        FFFFFFFF");
    EXPECT_EQ(open_with_text(text), TESRA_SEEK_FAILED);
}

TEST_F(HostileArchiveTest, ForgedObjectCountCannotReadBeyondTheFile) {
    // Many more objects than the index section has rows for.
    std::string text = meta_text();
    std::string extra;
    for (int i = 10; i < 200; ++i) {
        extra += "<object><name>o" + std::to_string(i) + "</name><id>" + std::to_string(i) +
                 "</id><privilege>p</privilege></object>";
    }
    ASSERT_TRUE(replace_once(text, "\t</preset>", extra + "</preset>"));
    EXPECT_EQ(open_with_text(text), TESRA_READ_FAILED);
}

TEST_F(HostileArchiveTest, PartialRecordCountsAreBoundedByLimitAndFile) {
    // The only partial-record list is the 60000 ms slot 0 (two records); find its count.
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    const uint64_t section = archive.header()->i6_0.section_defs[0].section_offset;
    tesra_period_t *p = period_of(object_by_id(archive.header(), 3), 60000);
    ASSERT_TRUE(format::is_partial_entry(p->record_offsets[0]));
    const std::size_t count_at = section + format::entry_position(p->record_offsets[0]);
    archive.reset();
    ASSERT_EQ(get_u32(meta, count_at), 2u);

    for (const auto &[count, expected] :
         {std::pair{100001u, TESRA_INVALID_NUM_PARTIAL_RECORDS},
          {100000u, TESRA_READ_FAILED},  // at the limit, but the file has no room for it
          {0xFFFFFFFFu, TESRA_INVALID_NUM_PARTIAL_RECORDS}}) {
        std::vector<std::byte> forged = meta;
        std::vector<std::byte> le;
        put_u32(le, count);
        std::copy(le.begin(), le.end(), forged.begin() + count_at);
        const tesra_error_t rc = open_with_meta(forged);
        EXPECT_EQ(rc, expected) << count;
    }
}

// zlib reads a file that is not gzip as it is: such a data stream must neither pass for one
// without records nor hand out records read from its plain bytes. An empty one belongs to an
// archive whose writer has pushed nothing out yet.
TEST_F(HostileArchiveTest, DataStreamThatIsNotGzipIsRefused) {
    const auto closed = gunzip_file(base + ".gz");
    ASSERT_TRUE(closed && !closed->empty());
    std::vector<std::byte> written;
    append(written, volume_record(60000));
    append(written, volume_record(120000));
    const std::string partial = write_partial_archive(dir, {});
    const struct {
        const char *name;
        std::string base;
        std::vector<std::byte> stream;
        tesra_error_t expected;
    } cases[] = {
        {"closed, records stored uncompressed", base, *closed, TESRA_READ_FAILED},
        {"being written, records stored uncompressed", partial, written, TESRA_READ_FAILED},
        {"being written, nothing pushed out yet", partial, {}, TESRA_SUCCESS},
    };
    for (const auto &c : cases) {
        write_file(c.base + ".gz", c.stream);
        EXPECT_EQ(archive.open(c.base), c.expected) << c.name;
    }
    // The follower of that empty stream refuses plain bytes that show up in it later.
    ASSERT_NE(archive.get(), nullptr);
    write_file(partial + ".gz", written);
    uint32_t added = 99;
    EXPECT_EQ(tesra_refresh_data_file(archive.get(), &added), TESRA_READ_FAILED);
    EXPECT_EQ(added, 0u);
}

// ---- the rebuild of an archive still being written ------------------------------------------

class HostileStreamTest : public ::testing::Test {
protected:
    tesra_error_t open_stream(const std::vector<std::byte> &stream,
                              const std::string &doc = partial_meta_doc()) {
        const std::string base = write_partial_archive(dir, stream, doc);
        return archive.open(base);
    }
    TempDir dir;
    OpenedArchive archive;
};

TEST_F(HostileStreamTest, RecordSizeAboveTheFormatLimitIsCorrupt) {
    std::vector<std::byte> stream;
    append(stream, volume_record(60000));
    std::vector<std::byte> header = record_bytes(120000, 3, 60000, {});
    header[8] = std::byte{0x01};
    header[10] = std::byte{0x30};  // size 0x300001
    append(stream, header);
    EXPECT_EQ(open_stream(stream), TESRA_CORRUPT_ARCHIVE);
}

TEST_F(HostileStreamTest, RecordAtTheSizeLimitChainsNormally) {
    std::vector<std::byte> stream;
    append(stream, record_bytes(60000, 3, 60000, std::vector<std::byte>(0x200000 - 0x200000 % 24)));
    append(stream, volume_record(120000));
    ASSERT_EQ(open_stream(stream), TESRA_SUCCESS);
    EXPECT_EQ(archive->i6_0.end_time, 120000u);
}

TEST_F(HostileStreamTest, GarbageAfterTheLastRecordEndsTheScan) {
    std::vector<std::byte> stream;
    append(stream, volume_record(60000));
    for (int i = 0; i < 23; ++i) stream.push_back(std::byte{0xEE});
    ASSERT_EQ(open_stream(stream), TESRA_SUCCESS);
    EXPECT_EQ(archive->i6_0.end_time, 60000u);
}

TEST_F(HostileStreamTest, CorruptCompressedStreamGivesReadFailed) {
    std::vector<std::byte> stream;
    for (int i = 0; i < 200; ++i) append(stream, volume_record(60000 * (i + 1)));
    const std::string base = write_partial_archive(dir, stream);
    auto gz = read_file(base + ".gz");
    for (std::size_t i = 20; i < gz.size() - 8; i += 3) gz[i] ^= std::byte{0x5A};
    write_file(base + ".gz", gz);
    // The damage starts inside the first record, so the scan's first inflation fails.
    EXPECT_EQ(archive.open(base), TESRA_READ_FAILED);
}

TEST_F(HostileStreamTest, ManyFarApartRecordsGrowNoTableBeyondTheWritersBound) {
    // Eight objects at the 1-second period, each given a record a million seconds after the
    // start: records a writer accepts, so the archive opens, holding what the writer held.
    std::string doc = partial_meta_doc();
    std::string objects;
    for (int id = 10; id < 18; ++id) {
        objects += "<object><name>o" + std::to_string(id) + "</name><id>" + std::to_string(id) +
                   "</id><privilege>p</privilege><counter is_key=\"0\" ctype=\"264\">"
                   "<name>c</name><description>d</description><id>1</id><base_id>0</base_id>"
                   "<size>8</size><privilege>p</privilege><period>1000</period></counter>"
                   "</object>";
    }
    ASSERT_TRUE(replace_once(doc, "\t</preset>", objects + "</preset>"));
    std::vector<std::byte> stream;
    append(stream, record_bytes(0, 10, 1000, std::vector<std::byte>(8)));
    for (uint32_t id = 10; id < 18; ++id) {
        append(stream, record_bytes(1000000000, id, 1000, std::vector<std::byte>(8)));
    }
    ASSERT_EQ(open_stream(stream, doc), TESRA_SUCCESS);
    for (uint32_t id = 10; id < 18; ++id) {
        const tesra_period_t *p = period_of(object_by_id(archive.header(), id), 1000);
        EXPECT_EQ(p->num_offsets, 1000001u);
    }
}

TEST_F(HostileStreamTest, RecordFarBeyondTheSlotBoundIsRefused) {
    std::vector<std::byte> stream;
    append(stream, volume_record(0));
    append(stream, volume_record(UINT64_C(0xFFFFFFFFFFFF0000)));
    // The slot tables it would need are beyond any archive the writer can make.
    EXPECT_EQ(open_stream(stream), TESRA_CORRUPT_ARCHIVE);
}

}  // namespace
}  // namespace tesra::test
