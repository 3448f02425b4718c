// The whole archive of a representative preset against expected bytes: the metadata document
// against a hand-written golden file, the index section and the data stream against bytes
// built here from the format's layout.
#include <cstring>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

#include "writer_fixture.h"

namespace tesra::test {
namespace {

constexpr uint64_t kNoRecord = 0x7FFFFFFFFFFFFFFF;
constexpr uint64_t kPartial = 0x8000000000000000;

ArchiveSpec representative_spec() {
    ArchiveSpec spec;
    spec.minor = 1;
    spec.generation = 7;
    spec.preset_version = "1.0 <beta> & \"rc\" 'x'";
    spec.system.base_time = 1600000000000;
    spec.system.nelvo_version = "9.13";
    spec.system.node_uuid = "uuid-1";
    spec.system.hostname = "host<1>";
    spec.system.model = "M&1";
    spec.system.serial_number = "s1";
    spec.system.system_id = "sys";
    spec.system.cluster_name = "c'1";
    spec.system.cluster_id = "cid";
    spec.system.process_name = "proc\"1\"";
    spec.system.store_name = "store";
    spec.attributes = {{"retention", 30, "days & hours"}, {"mode", 2, "plain"}};

    auto admin = [](CounterSpec c, uint32_t ctype, const std::string &desc) {
        c.priv = "admin";
        c.ctype = ctype;
        c.desc = desc;
        return c;
    };
    CounterSpec ops = admin(counter(9, "ops", 8, {300000}), 0x0108, "all ops");
    ops.base_id = 4;
    CounterSpec ops_again = ops;
    ops_again.periods = {60000};
    CounterSpec hist = admin(counter(5, "lat_hist", 12, {60000}), 0x0104, "latency histogram");
    hist.x_names = {"<1ms", "1-10ms", ">10ms"};
    CounterSpec matrix = admin(counter(10, "matrix", 8, {60000}), 0x0104, "2x1");
    matrix.x_names = {"a", "b"};
    matrix.y_names = {"r&w"};

    ObjectSpec disk =
        object(2, "disk",
               {ops, admin(counter(1, "name", 16, {60000, 300000}, true), 0x2010, "disk name"),
                admin(counter(4, "reads", 8, {60000}), 0x10108, "read ops"), matrix, hist,
                admin(counter(6, "label", 8, {300000}), 0x2008, "label"), ops_again});
    disk.priv = "admin";
    AggregationSpec sum;
    sum.type = "sum";
    sum.name = "by <node>";
    sum.filter = "state=\"up\"";
    sum.max_records = 100;
    sum.inst_name = "disk_name";
    sum.inst_uuid = "disk_uuid";
    AggregationSpec avg;
    avg.type = "avg";
    avg.name = "";
    avg.inst_name = "n";
    avg.inst_uuid = "u";
    disk.aggregations = {sum, avg};

    CounterSpec boot_id = counter(1, "id", 8, {999999000}, true);
    boot_id.desc = "boot id";
    CounterSpec boot = counter(2, "boot", 8, {999999000});
    boot.desc = "boot time";
    // Added before the lower id: the document lists objects by id, not by insertion.
    spec.objects = {object(7, "once", {boot_id, boot}), disk};
    return spec;
}

TEST(MetaWriter, RepresentativeArchiveMatchesExpectedBytes) {
    TempDir dir;
    ArchiveBuilder b(representative_spec());
    ASSERT_EQ(b.create(dir.base("golden")), TESRA_SUCCESS);
    ASSERT_EQ(b.finalize(), TESRA_SUCCESS);

    // disk: 16 key + 8 reads + 12 histogram + 8 ops + 8 matrix at 60 s; 16 + 8 label + 8 ops at
    // 5 min. once: 8 + 8.
    struct Rec {
        uint64_t t;
        uint32_t obj;
        uint64_t period;
        std::vector<std::byte> body;
    };
    std::vector<Rec> recs = {
        {125000, 2, 60000,
         Instances().str("d0", 16).u64(1).u32(1).u32(2).u32(3).u64(4).u32(5).u32(6).bytes()},
        {185000, 2, 60000,
         Instances().str("d0", 16).u64(2).u32(0).u32(0).u32(0).u64(8).u64(9).bytes()},
        {301000, 2, 300000, Instances().str("d1", 16).str("lbl", 8).u64(77).bytes()},
        {305000, 2, 60000, Instances().str("d0", 16).u64(3).u64(0).u32(0).u64(0).u64(1).bytes()},
        {310000, 2, 60000, Instances().str("d1", 16).u64(4).u64(0).u32(0).u64(0).u64(2).bytes()},
        {200000, 7, 999999000, Instances().u64(11).u64(12).bytes()},
        {250000, 7, 999999000, Instances().u64(21).u64(22).bytes()},
    };
    std::vector<std::byte> expected_data;
    for (const Rec &r : recs) {
        ASSERT_EQ(b.write(r.t, r.obj, r.period, r.body), TESRA_SUCCESS);
        auto bytes = record_bytes(r.t, r.obj, r.period, r.body);
        expected_data.insert(expected_data.end(), bytes.begin(), bytes.end());
    }
    ASSERT_EQ(expected_data.size(), 440u);
    ASSERT_EQ(b.close(), TESRA_SUCCESS);

    const std::string golden =
        read_text(std::string(TESRA_TEST_SOURCE_DIR) + "/write/golden/writer_archive.meta.xml");
    ASSERT_FALSE(golden.empty());
    // Record offsets 0, 76, 152, 208, 284, 360, 400; start 120000, end 300000.
    std::vector<std::byte> section;
    std::vector<uint64_t> index(2 * 14, 0);
    index[4] = 224;        // disk, 60 s
    index[5] = 276;        // disk, 5 min
    index[14 + 13] = 292;  // once, once-per-archive
    for (uint64_t v : index) put_u64(section, v);
    for (uint64_t v : {uint64_t{0}, uint64_t{76}, kNoRecord, kPartial | 256}) put_u64(section, v);
    put_u32(section, 2);
    put_u64(section, 208);
    put_u64(section, 284);
    for (uint64_t v : {kNoRecord, uint64_t{152}}) put_u64(section, v);
    put_u64(section, kPartial | 300);
    put_u32(section, 2);
    put_u64(section, 360);
    put_u64(section, 400);
    ASSERT_EQ(section.size(), 320u);

    const std::vector<std::byte> meta = read_file(b.meta_path());
    ASSERT_EQ(meta.size(), golden.size() + 1 + section.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(meta.data()), golden.size()), golden);
    EXPECT_EQ(meta[golden.size()], std::byte{0});
    EXPECT_TRUE(std::equal(section.begin(), section.end(), meta.begin() + golden.size() + 1));

    auto data = gunzip_file(b.data_path());
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(*data, expected_data);
}

TEST(MetaWriter, HeaderWritingRemembersFieldPositions) {
    TempDir dir;
    ArchiveSpec spec = ArchiveSpec::simple();
    spec.minor = 0;
    spec.attributes = {{"a", 1, "b"}};
    ArchiveBuilder b(spec);
    ASSERT_EQ(b.create(dir.base("h")), TESRA_SUCCESS);
    ASSERT_EQ(b.finalize(), TESRA_SUCCESS);
    const auto &hi = b.header()->i6_0;
    const std::string text = read_text(b.meta_path());
    ASSERT_EQ(text.size(), b.file()->i6_0.metadata_written_count);
    EXPECT_EQ(hi.header_offset, 2140u);
    EXPECT_EQ(text.compare(2140, 9, "<archive "), 0);
    EXPECT_EQ(text.back(), '\0');

    auto field_after = [&](const std::string &opening) {
        return text.find(opening, 2140) + opening.size();
    };
    EXPECT_EQ(hi.duration_header_offset, field_after("duration=\""));
    EXPECT_EQ(hi.start_time_header_offset, field_after("start_time=\""));
    EXPECT_EQ(hi.end_time_header_offset, field_after("end_time=\""));
    EXPECT_EQ(text.substr(hi.duration_header_offset, 16), "           DBBA0");
    EXPECT_EQ(text.substr(hi.start_time_header_offset, 16), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(text.substr(hi.end_time_header_offset, 16), "               0");
    for (int i = 0; i < 2; ++i) {
        const auto at = hi.section_defs[i].header_offset;
        EXPECT_EQ(text.substr(at, 16), "               0");
        EXPECT_EQ(text.substr(at - 16, 16), "<section_offset>");
    }
    // A 6.0 archive carries no cluster or store identity, whatever the caller gave.
    EXPECT_NE(text.find("<cluster_name></cluster_name>"), std::string::npos);
    EXPECT_NE(text.find("<store_name></store_name>"), std::string::npos);
    EXPECT_NE(text.find("<archive version=\"6.0\""), std::string::npos);
}

TEST(MetaWriter, FinalizeWithoutHeaderGivesNullPointer) {
    TempDir dir;
    tesra_file_handle_t *file = nullptr;
    ASSERT_EQ(tesra_create_data_file(dir.base("x").c_str(), 6, 1, 900000, &file, nullptr, nullptr),
              TESRA_SUCCESS);
    EXPECT_EQ(tesra_finalize_header(file), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_close_data_file(file), TESRA_NULL_POINTER);
}

}  // namespace
}  // namespace tesra::test
