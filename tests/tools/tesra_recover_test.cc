// tesra recover and the place where check says the data stops: archives written by the writer
// library, damaged in the ways storage and dying writers damage them, recovered, then checked
// and read back against the records that lay before the damage.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>
#include <zlib.h>

#include "support/archive_builder.h"
#include "tool_runner.h"

namespace tesra::tooltest {
namespace {

constexpr uint64_t kBaseTime = 1765000000000;  // the generator's default base time
const std::string kName = "1_60_1765000000000_600000";
const std::string kBeingWritten = "1_60_0000000000000_0000000.part";

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// The "data stops at ..." line of a command's output, without the archive name before it.
std::string stop_line_of(const std::string &out) {
    for (const auto &line : lines(out)) {
        size_t at = line.find("data stops at offset ");
        if (at != std::string::npos) return line.substr(at);
    }
    return "";
}

void append_member(const std::string &gz_path, const std::vector<uint8_t> &bytes) {
    gzFile gz = gzopen(gz_path.c_str(), "ab");
    ASSERT_NE(gz, nullptr);
    ASSERT_GT(gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size())), 0);
    ASSERT_EQ(gzclose(gz), Z_OK);
}

struct ObjectPeriod {
    std::string object;
    std::string period;
};

class Recover : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *sub : {"pristine", "damaged", "out", "expect"}) {
            std::filesystem::create_directory(dir_.path() + "/" + sub);
        }
    }

    std::string at(const std::string &sub, const std::string &name) const {
        return dir_.path() + "/" + sub + "/" + name;
    }

    void clear_out() {
        std::filesystem::remove(at("out", kName) + ".meta");
        std::filesystem::remove(at("out", kName) + ".gz");
    }

    // 2 objects x 3 instances at 60 s for 10 minutes; chunk 2 makes every sample two partial
    // records (2 + 1 instances): 40 records.
    void gen_pristine() {
        ToolResult r = run_tesra({"gen", dir_.path() + "/pristine", "--objects", "2", "--instances",
                                  "3", "--counters", "4", "--duration", "10m", "--period", "60s",
                                  "--chunk", "2", "--seed", "11"});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(trim(r.out), at("pristine", kName));
        pristine_ = at("pristine", kName);
        stream_ = read_stream(pristine_ + ".gz");
        records_ = stream_records(stream_);
        ASSERT_EQ(records_.size(), 40u);
        views_ = {{"object_001", "1m"}, {"object_002", "1m"}};
    }

    // The damaged copy: the pristine metadata file and `stream` as one gzip member.
    std::string damaged_with_stream(const std::vector<uint8_t> &stream,
                                    const std::string &name = kName) {
        std::string base = at("damaged", name);
        write_file(base + ".meta", read_file(pristine_ + ".meta"));
        write_stream(base + ".gz", stream);
        return base;
    }

    std::vector<uint8_t> prefix(uint64_t end) const {
        return {stream_.begin(), stream_.begin() + static_cast<long>(end)};
    }

    // Every value of every object and period, as the tool prints them.
    std::string all_values(const std::string &base) const {
        std::string text;
        for (const auto &v : views_) {
            ToolResult r =
                run_tesra({"values", base, v.object, "--period", v.period, "--format", "csv"});
            text +=
                v.object + " " + v.period + " status " + std::to_string(r.status) + "\n" + r.out;
        }
        return text;
    }

    // What the records before `end` read back as: the pristine XML and that prefix of the
    // stream, opened as an archive still being written (the reader indexes its records).
    std::string values_of_prefix(uint64_t end) {
        std::string base = at("expect", kBeingWritten);
        write_file(base + ".meta", as_being_written(read_file(pristine_ + ".meta")));
        write_stream(base + ".gz", prefix(end));
        return all_values(base);
    }

    // Recovers `damaged`; the result must pass check, hold exactly the stream's first `end`
    // bytes and read back as they do. Returns recover's output.
    ToolResult recover_and_verify(const std::string &damaged, uint64_t end) {
        std::string out = at("out", kName);
        ToolResult r = run_tesra({"recover", damaged, out});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        ToolResult check = run_tesra({"check", out});
        EXPECT_EQ(check.status, 0) << check.out;
        EXPECT_NE(check.out.find("clean"), std::string::npos) << check.out;
        EXPECT_TRUE(read_stream(out + ".gz") == prefix(end)) << "recovered stream differs";
        EXPECT_EQ(all_values(out), values_of_prefix(end));
        return r;
    }

    // Recover and check name the same place: `offset` and the last whole record's time.
    void expect_stop(const std::string &damaged,
                     const ToolResult &recovered,
                     uint64_t offset,
                     const std::string &reason) {
        std::string line = stop_line_of(recovered.out);
        std::string time = "no sample time";
        for (const auto &r : records_) {
            if (r.offset + 24 + r.size <= offset)
                time = "sample time " + std::to_string(kBaseTime + r.time);
        }
        EXPECT_EQ(
            line.rfind("data stops at offset " + std::to_string(offset) + " (" + time + "): ", 0),
            0u)
            << recovered.out;
        EXPECT_NE(line.find(reason), std::string::npos) << line;
        ToolResult check = run_tesra({"check", damaged});
        EXPECT_EQ(check.status, 1) << check.out;
        EXPECT_EQ(stop_line_of(check.out), line) << check.out;
    }

    TempDir dir_;
    std::string pristine_;
    std::vector<uint8_t> stream_;
    std::vector<StreamRecord> records_;
    std::vector<ObjectPeriod> views_;
};

// ---- the data stream cut short -----------------------------------------------------------------

TEST_F(Recover, StreamCutInsideARecordHeaderOrBody) {
    gen_pristine();
    struct Cut {
        size_t record;
        uint64_t into;  // bytes of the record kept
        const char *reason;
    };
    for (Cut cut : {Cut{13, 10, "the stream ends inside a record header (10 of 24 bytes)"},
                    Cut{13, 24 + 5, "the stream ends inside a record body (5 of "},
                    Cut{5, 24 + 1, "inside a record body (1 of "}}) {
        SCOPED_TRACE(cut.reason);
        const uint64_t offset = records_[cut.record].offset;
        std::string damaged = damaged_with_stream(prefix(offset + cut.into));
        ToolResult r = recover_and_verify(damaged, offset);
        expect_stop(damaged, r, offset, cut.reason);
        // What lies after the stop is counted, not dropped in silence.
        EXPECT_NE(r.out.find(std::to_string(cut.into) + " decompressed bytes from offset " +
                             std::to_string(offset) + " on are not used"),
                  std::string::npos)
            << r.out;
        clear_out();
    }
}

TEST_F(Recover, GzipFileCutInsideAMember) {
    gen_pristine();
    std::string damaged = at("damaged", kName);
    write_file(damaged + ".meta", read_file(pristine_ + ".meta"));
    auto gz = read_file(pristine_ + ".gz");
    gz.resize(gz.size() * 2 / 3);
    write_file(damaged + ".gz", gz);

    // Whole records of what still decompresses, up to the first one cut short.
    const uint64_t readable = read_stream(damaged + ".gz").size();
    uint64_t end = 0;
    for (const auto &r : records_) {
        if (r.offset + 24 + r.size <= readable) end = r.offset + 24 + r.size;
    }
    ASSERT_GT(end, 0u);
    ASSERT_LT(end, stream_.size());
    ToolResult r = recover_and_verify(damaged, end);
    expect_stop(damaged, r, end, "the gzip stream is cut short");
}

// ---- the metadata file without a usable index ------------------------------------------------

TEST_F(Recover, MetadataWithoutOrWithADamagedIndexSection) {
    gen_pristine();
    auto meta = read_file(pristine_ + ".meta");
    auto no_index = meta;
    no_index.resize(index_section(meta));
    auto garbled = meta;
    for (size_t i = index_section(meta); i < garbled.size(); i += 3) garbled[i] ^= 0x5A;

    for (const auto *edited : {&no_index, &garbled}) {
        std::string damaged = at("damaged", kName);
        write_file(damaged + ".meta", *edited);
        write_file(damaged + ".gz", read_file(pristine_ + ".gz"));
        ToolResult r = recover_and_verify(damaged, stream_.size());
        EXPECT_NE(r.out.find("the data stream is whole"), std::string::npos) << r.out;
        EXPECT_EQ(stop_line_of(r.out), "");
        // Recovered from a whole stream, the archive is the pristine one byte for byte.
        EXPECT_TRUE(read_file(at("out", kName) + ".meta") == meta);
        clear_out();
    }
}

// ---- a corrupt record in the middle ----------------------------------------------------------

TEST_F(Recover, CorruptRecordInTheMiddleEndsTheRecoveryThere) {
    gen_pristine();
    struct Damage {
        const char *name;
        void (*edit)(std::vector<uint8_t> &stream, const StreamRecord &r);
        const char *reason;
    };
    const Damage damages[] = {
        {"unknown object", [](auto &s, const auto &r) { put_u32(s, r.offset + 12, 9); },
         "object id 9 is not in the preset"},
        {"impossible size", [](auto &s, const auto &r) { put_u32(s, r.offset + 8, 0x7FFFFFF0); },
         "a body of 2147483632 bytes is over the 2097152-byte limit"},
        {"body not a whole number of instances",
         [](auto &s, const auto &r) { put_u32(s, r.offset + 8, r.size - 3); },
         "are not a whole number of"},
        {"time out of reach",
         [](auto &s, const auto &r) { put_u64(s, r.offset, uint64_t{1} << 60); },
         "lies beyond any span an archive"},
        {"period outside the table",
         [](auto &s, const auto &r) { put_u64(s, r.offset + 16, 7000); },
         "period 7000 is not a sampling period"},
    };
    for (const auto &d : damages) {
        SCOPED_TRACE(d.name);
        auto stream = stream_;
        const StreamRecord &victim = records_[22];
        d.edit(stream, victim);
        std::string damaged = damaged_with_stream(stream);
        ToolResult r = recover_and_verify(damaged, victim.offset);
        expect_stop(damaged, r, victim.offset, d.reason);
        EXPECT_NE(r.out.find(std::to_string(stream.size() - victim.offset) +
                             " decompressed bytes from offset " + std::to_string(victim.offset)),
                  std::string::npos)
            << r.out;
        clear_out();
    }
}

// ---- gzip members and garbage ------------------------------------------------------------------

TEST_F(Recover, SeveralGzipMembersAreOneStreamAndGarbageAfterThemIsNamed) {
    gen_pristine();
    std::string damaged = at("damaged", kName);
    write_file(damaged + ".meta", read_file(pristine_ + ".meta"));
    const uint64_t split = records_[17].offset;
    std::filesystem::remove(damaged + ".gz");
    append_member(damaged + ".gz", prefix(split));
    append_member(damaged + ".gz",
                  std::vector<uint8_t>(stream_.begin() + static_cast<long>(split), stream_.end()));
    ToolResult whole = recover_and_verify(damaged, stream_.size());
    EXPECT_NE(whole.out.find("the data stream is whole"), std::string::npos) << whole.out;

    auto gz = read_file(damaged + ".gz");
    gz.insert(gz.end(), {'n', 'o', 't', ' ', 'g', 'z', 'i', 'p'});
    write_file(damaged + ".gz", gz);
    clear_out();
    ToolResult r = recover_and_verify(damaged, stream_.size());
    expect_stop(damaged, r, stream_.size(), "8 bytes after the last gzip member are not gzip data");
    EXPECT_NE(r.out.find("nor 8 compressed bytes that give no data"), std::string::npos) << r.out;
}

// ---- an archive still being written ----------------------------------------------------------

TEST_F(Recover, ArchiveStillBeingWrittenWithATornTail) {
    gen_pristine();
    std::string live = at("damaged", kBeingWritten);
    write_file(live + ".meta", as_being_written(read_file(pristine_ + ".meta")));
    // The writer's last record is half on disk.
    const StreamRecord &last = records_[31];
    write_stream(live + ".gz", prefix(last.offset + 24 + last.size / 2));
    ToolResult r = recover_and_verify(live, last.offset);
    expect_stop(live, r, last.offset, "the stream ends inside a record body");
}

// ---- several periods, the once-per-archive period, a 6.0 archive -------------------------------

TEST_F(Recover, SeveralPeriodsAndOncePerArchiveRecordsReadBackTheSame) {
    ASSERT_EQ(run_tesra({"demo", dir_.path() + "/pristine"}).status, 0);
    const std::string name = "1_300_1765000000000_900000";
    pristine_ = at("pristine", name);
    stream_ = read_stream(pristine_ + ".gz");
    records_ = stream_records(stream_);
    views_ = {{"volume", "1m"}, {"volume", "5m"}, {"processor", "1m"},
              {"system", "1m"}, {"system", "5m"}, {"node_config", "once"}};
    // Cut in the body of a record two thirds in: every period has records before it.
    const StreamRecord &victim = records_[records_.size() * 2 / 3];
    std::string damaged = damaged_with_stream(prefix(victim.offset + 30), name);
    std::string out = at("out", name);
    ToolResult r = run_tesra({"recover", damaged, out});
    ASSERT_EQ(r.status, 0) << r.err;
    ToolResult check = run_tesra({"check", out});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_TRUE(read_stream(out + ".gz") == prefix(victim.offset));
    std::string got = all_values(out);
    EXPECT_NE(got.find("node_config once status 0"), std::string::npos) << got;
    EXPECT_EQ(got, values_of_prefix(victim.offset));
}

TEST(RecoverHeader, AVersion60PresetWithAttributesAndAggregationsIsCopiedWhole) {
    using namespace tesra::test;
    ArchiveSpec spec = ArchiveSpec::simple();
    spec.minor = 0;
    spec.attributes = {{"rate", 7, "sampling rate"}, {"a&b", 2, "<quoted>"}};
    AggregationSpec agg;
    agg.name = "by volume";
    agg.filter = "name=vol*";
    agg.max_records = 42;
    spec.objects[0].aggregations = {agg, AggregationSpec{}};
    CounterSpec array = make_counter(4, "latency", 0x0104, 12, {60000, 300000});
    array.x_names = {"r", "w", "o"};
    spec.objects[0].counters.push_back(array);
    TempDir dir;
    const std::string base = dir.path() + "/2_300_1000000000000_900000";
    std::vector<RecordSpec> records;
    for (uint64_t t = 0; t < 600000; t += 60000) {
        auto body = Instances().str("vol0", 16).u64(t).u32(1).u32(2).u32(3).bytes();
        records.push_back({t, 3, 60000, body});
        if (t % 300000 == 0) {
            records.push_back(
                {t, 3, 300000, Instances().str("vol0", 16).u32(4).u32(5).u32(6).bytes()});
        }
    }
    ASSERT_EQ(write_archive(spec, base, records), TESRA_SUCCESS);
    auto meta = tooltest::read_file(base + ".meta");
    auto damaged = meta;
    damaged.resize(index_section(meta));
    tooltest::write_file(base + ".meta", damaged);

    std::filesystem::create_directory(dir.path() + "/out");
    const std::string out = dir.path() + "/out/2_300_1000000000000_900000";
    ToolResult r = run_tesra({"recover", base, out});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(tooltest::read_file(out + ".meta") == meta) << "the preset was not copied whole";
    EXPECT_EQ(run_tesra({"check", out}).status, 0);
}

// ---- refusals ----------------------------------------------------------------------------------

TEST_F(Recover, RefusesToOverwriteToMisnameOrToWriteNothing) {
    gen_pristine();
    std::string out = at("out", kName);
    ASSERT_EQ(run_tesra({"recover", pristine_, out}).status, 0);
    auto before = read_file(out + ".meta");

    ToolResult again = run_tesra({"recover", pristine_, out});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;
    EXPECT_EQ(run_tesra({"recover", pristine_, at("out", "recovered")}).status, 2);
    EXPECT_EQ(run_tesra({"recover", pristine_, pristine_ + ".gz", "--force"}).status, 2);
    EXPECT_EQ(run_tesra({"recover", at("damaged", "9_60_1_1"), at("out", "3_60_1_1")}).status, 1);

    // Nothing but a torn first record: nothing to write, and the old output stays.
    std::string damaged = damaged_with_stream(prefix(30));
    ToolResult none = run_tesra({"recover", damaged, out, "--force"});
    EXPECT_EQ(none.status, 1) << none.out << none.err;
    EXPECT_NE(stop_line_of(none.out).find("data stops at offset 0 (no sample time)"),
              std::string::npos)
        << none.out;
    EXPECT_TRUE(read_file(out + ".meta") == before);
    EXPECT_FALSE(std::filesystem::exists(out + ".recovering.meta"));
}

}  // namespace
}  // namespace tesra::tooltest
