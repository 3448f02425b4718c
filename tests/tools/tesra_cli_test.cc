// The tesra tool run as a user runs it: on archives written by the writer library (through
// `tesra gen` and `tesra demo`), healthy and damaged, checking stdout, stderr and exit status.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace tesra::tooltest {
namespace {

constexpr uint64_t kStart = 1765000000000;  // the generator's default base time
constexpr uint32_t kMinuteIndex = 4;        // 60000 ms in the period table

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

class TesraTool : public ::testing::Test {
protected:
    // 2 objects x 3 instances, 4 counters (one of each kind), 10 minutes at 60 s. With
    // chunk 2 every sample is two partial records (2 + 1 instances).
    // `level`: the --level argument, none when empty.
    std::string gen(uint32_t chunk = 2,
                    uint64_t seed = 7,
                    const std::string &where = "",
                    const std::string &level = "") {
        std::vector<std::string> args({"gen", where.empty() ? dir_.path() : where, "--objects", "2",
                                       "--instances", "3", "--counters", "4", "--duration", "10m",
                                       "--period", "60s", "--chunk", std::to_string(chunk),
                                       "--seed", std::to_string(seed)});
        if (!level.empty()) args.insert(args.end(), {"--level", level});
        ToolResult r = run_tesra(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return trim(r.out);
    }

    TempDir dir_;
};

// ---- gen, info, counters, timestamps, records ------------------------------------------------

TEST_F(TesraTool, GenNamesTheArchiveByConventionAndInfoSummarisesIt) {
    std::string base = gen();
    EXPECT_EQ(std::filesystem::path(base).filename(), "1_60_1765000000000_600000");

    ToolResult r = run_tesra({"info", base});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Version     6.1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2025-12-06T05:46:40.000Z .. 2025-12-06T05:55:40.000Z"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("1765000000000 .. 1765000540000 ms"), std::string::npos) << r.out;
    // 10 samples x 2 objects x 2 partial records.
    EXPECT_NE(r.out.find("Records     40\n"), std::string::npos) << r.out;
    // id, name, periods, counters (key + 4), keys, instances joined over partial records, records.
    bool found = false;
    for (const auto &line : lines(r.out)) {
        if (line.find("object_002") == std::string::npos) continue;
        found = true;
        EXPECT_NE(line.find("1m"), std::string::npos) << line;
        std::vector<std::string> words;
        for (size_t at = 0; at < line.size();) {
            size_t begin = line.find_first_not_of(' ', at);
            if (begin == std::string::npos) break;
            size_t end = line.find(' ', begin);
            words.push_back(line.substr(begin, end - begin));
            at = end == std::string::npos ? line.size() : end;
        }
        ASSERT_EQ(words.size(), 7u) << line;
        EXPECT_EQ(words[3], "5");
        EXPECT_EQ(words[4], "1");
        EXPECT_EQ(words[5], "3");
        EXPECT_EQ(words[6], "20");
    }
    EXPECT_TRUE(found) << r.out;
    EXPECT_NE(r.out.find("compression"), std::string::npos);
}

TEST_F(TesraTool, InfoReadsAnArchiveStillBeingWritten) {
    // An archive under the template name whose metadata ends at the XML, as while writing.
    std::string base = dir_.path() + "/1_60_0000000000000_0000000.part";
    gen(2, 7, base);
    write_file(base + ".meta", as_being_written(read_file(base + ".meta")));

    ToolResult r = run_tesra({"info", base});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("being written"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Records     40\n"), std::string::npos) << r.out;

    ToolResult check = run_tesra({"check", base});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("no index yet"), std::string::npos) << check.out;
}

TEST_F(TesraTool, CountersListDefinitionsWithTypeFieldsAndLabels) {
    std::string base = gen();
    ToolResult r = run_tesra({"counters", base, "object_001"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto all = lines(r.out);
    auto row = [&](const std::string &name) {
        auto it = std::find_if(all.begin(), all.end(), [&](const std::string &l) {
            return l.find(" " + name + " ") != std::string::npos;
        });
        return it == all.end() ? std::string() : *it;
    };
    EXPECT_NE(row("instance_name").find("yes"), std::string::npos) << r.out;
    EXPECT_NE(row("instance_name").find("0x2000 string"), std::string::npos) << r.out;
    EXPECT_NE(row("count_000").find("0x10000"), std::string::npos) << r.out;  // unit: ops
    EXPECT_NE(row("hist_002").find(" 32 "), std::string::npos) << r.out;      // bytes
    EXPECT_NE(row("level_001").find("1m"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("x: b0, b1, b2, b3"), std::string::npos) << r.out;
}

TEST_F(TesraTool, TimestampsListEverySampleOnce) {
    std::string base = gen();
    ToolResult r = run_tesra({"timestamps", base, "object_001", "60000"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto times = lines(r.out);
    ASSERT_EQ(times.size(), 10u) << r.out;
    EXPECT_EQ(times.front(), "1765000000000  2025-12-06T05:46:40.000Z");
    EXPECT_EQ(times.back(), "1765000540000  2025-12-06T05:55:40.000Z");

    ToolResult wrong = run_tesra({"timestamps", base, "object_001", "5m"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("TESRA_PERIOD_NOT_FOUND"), std::string::npos) << wrong.err;
}

TEST_F(TesraTool, RawRecordWalkGivesStreamOffsets) {
    std::string base = gen();
    ToolResult r = run_tesra({"records", base, "--raw"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), 41u);  // header and 40 stored records
    auto records = stream_records(read_stream(base + ".gz"));
    ASSERT_EQ(records.size(), 40u);
    for (size_t i = 0; i < records.size(); ++i) {
        std::string offset = rows[i + 1].substr(0, rows[i + 1].find_first_not_of(" 0123456789"));
        EXPECT_EQ(std::stoull(offset), records[i].offset) << rows[i + 1];
    }

    // In time order the two partial records of a sample come out as one record.
    ToolResult linear = run_tesra({"records", base});
    ASSERT_EQ(linear.status, 0) << linear.err;
    EXPECT_EQ(lines(linear.out).size(), 21u) << linear.out;
}

// ---- values ----------------------------------------------------------------------------------

TEST_F(TesraTool, CsvHasOneRowPerTimeAndInstanceWithJoinedPartialRecords) {
    std::string base = gen();
    ToolResult r = run_tesra({"values", base, "object_001", "--format", "csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = parse_csv(r.out);
    ASSERT_EQ(rows.size(), 31u);
    const auto &header = rows[0];
    std::vector<std::string> expected{
        "time_ms",      "time_utc",     "instance_name", "count_000",    "level_001",
        "hist_002[b0]", "hist_002[b1]", "hist_002[b2]",  "hist_002[b3]", "state_003"};
    EXPECT_EQ(header, expected);
    std::set<std::string> states{"online", "degraded", "offline"};
    for (size_t i = 1; i < rows.size(); ++i) {
        const auto &row = rows[i];
        ASSERT_EQ(row.size(), header.size()) << i;
        uint64_t sample = (i - 1) / 3;
        uint64_t instance = (i - 1) % 3;
        EXPECT_EQ(std::stoull(row[0]), kStart + sample * 60000);
        EXPECT_EQ(row[2], "inst_0000" + std::to_string(instance));
        // The generator's counts: (sample + 1) * 1000 * (instance + 1) plus less than 1000.
        uint64_t count = std::stoull(row[3]);
        uint64_t floor = (sample + 1) * 1000 * (instance + 1);
        EXPECT_GE(count, floor) << "row " << i;
        EXPECT_LT(count, floor + 1000) << "row " << i;
        EXPECT_LT(std::stoull(row[4]), 1000u);
        EXPECT_TRUE(states.count(row[9])) << row[9];
    }
}

TEST_F(TesraTool, CsvQuotesFieldsThatHoldCommas) {
    ToolResult demo = run_tesra({"demo", dir_.path()});
    ASSERT_EQ(demo.status, 0) << demo.err;
    std::string base = dir_.path() + "/1_300_1765000000000_900000";
    ToolResult r = run_tesra({"values", base, "system", "--format", "csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"cpu_busy_by_domain[cpu0,user]\""), std::string::npos);
    auto rows = parse_csv(r.out);
    ASSERT_GE(rows.size(), 2u);
    // time x 2, the key, 12 array cells and total_ops.
    EXPECT_EQ(rows[0].size(), 16u);
    EXPECT_EQ(rows[0][4], "cpu_busy_by_domain[cpu0,kernel]");
    for (const auto &row : rows) EXPECT_EQ(row.size(), rows[0].size());
}

TEST_F(TesraTool, JsonIsValidAndComplete) {
    std::string base = gen();
    ToolResult r = run_tesra({"values", base, "object_002", "--format", "json"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["object"], "object_002");
    EXPECT_EQ(doc["period_ms"], 60000);
    ASSERT_EQ(doc["counters"].size(), 5u);
    EXPECT_EQ(doc["counters"][0]["name"], "instance_name");
    EXPECT_TRUE(doc["counters"][0]["key"].get<bool>());
    EXPECT_EQ(doc["counters"][3]["x_names"].size(), 4u);
    ASSERT_EQ(doc["samples"].size(), 30u);
    std::set<std::string> names;
    for (const auto &s : doc["samples"]) {
        names.insert(s["keys"]["instance_name"].get<std::string>());
        EXPECT_TRUE(s["values"]["count_000"].is_number_unsigned());
        ASSERT_TRUE(s["values"]["hist_002"].is_array());
        EXPECT_EQ(s["values"]["hist_002"].size(), 4u);
        EXPECT_TRUE(s["values"]["state_003"].is_string());
        EXPECT_EQ(s["time_ms"].get<uint64_t>() % 60000, kStart % 60000);
    }
    EXPECT_EQ(names, (std::set<std::string>{"inst_00000", "inst_00001", "inst_00002"}));
}

TEST_F(TesraTool, JsonNestsXByYArrays) {
    ASSERT_EQ(run_tesra({"demo", dir_.path()}).status, 0);
    std::string base = dir_.path() + "/1_300_1765000000000_900000";
    ToolResult r =
        run_tesra({"values", base, "system", "--at", "2025-12-06T05:51:40Z", "--format", "json"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc["samples"].size(), 1u);
    const auto &cpu = doc["samples"][0]["values"]["cpu_busy_by_domain"];
    ASSERT_EQ(cpu.size(), 4u);
    for (const auto &row : cpu) EXPECT_EQ(row.size(), 3u);
    EXPECT_EQ(doc["samples"][0]["time_ms"], 1765000300000u);
}

TEST_F(TesraTool, KeyFilterAndCounterSelectionNarrowTheRows) {
    std::string base = gen();
    ToolResult r = run_tesra({"values", base, "object_001", "--key", "instance_name=inst_00001",
                              "--counter", "level_001", "--format", "csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = parse_csv(r.out);
    ASSERT_EQ(rows.size(), 11u);
    EXPECT_EQ(rows[0],
              (std::vector<std::string>{"time_ms", "time_utc", "instance_name", "level_001"}));
    for (size_t i = 1; i < rows.size(); ++i) EXPECT_EQ(rows[i][2], "inst_00001");

    ToolResult none = run_tesra({"values", base, "object_001", "--key", "instance_name=nope"});
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(lines(none.out).size(), 1u) << none.out;  // the header alone
}

TEST_F(TesraTool, AtATimeWithoutSampleIsAProblem) {
    std::string base = gen();
    ToolResult hit =
        run_tesra({"values", base, "object_001", "--at", "1765000120000", "--format", "csv"});
    ASSERT_EQ(hit.status, 0) << hit.err;
    EXPECT_EQ(parse_csv(hit.out).size(), 4u);  // header and 3 instances

    ToolResult miss = run_tesra({"values", base, "object_001", "--at", "1765000130000"});
    EXPECT_EQ(miss.status, 1);
    EXPECT_NE(miss.err.find(base), std::string::npos) << miss.err;
}

TEST_F(TesraTool, GenIsDeterministicForASeed) {
    TempDir a, b, c;
    auto csv = [](const std::string &base) {
        return run_tesra({"values", base, "object_001", "--format", "csv"}).out;
    };
    std::string first = csv(gen(2, 42, a.path()));
    EXPECT_EQ(first, csv(gen(2, 42, b.path())));
    EXPECT_NE(first, csv(gen(2, 43, c.path())));
}

TEST_F(TesraTool, GenArchivesWritesAContiguousSeriesOfOneNode) {
    // Four archives of 10 minutes: the second left out, the last still being written.
    const std::string where = dir_.path() + "/series";
    ToolResult r = run_tesra({"gen", where, "--archives", "4", "--gap", "2", "--live",
                              "--objects", "1", "--instances", "2", "--counters", "1",
                              "--duration", "10m", "--period", "60s"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::pair<std::string, uint64_t>> archives = {
        {"1_60_1765000000000_600000", kStart},
        {"3_60_1765001200000_600000", kStart + 1200000},
        {"4_60_0000000000000_0000000", kStart + 1800000}};
    std::vector<std::string> printed;
    for (const auto &[name, start] : archives) printed.push_back(where + "/" + name);
    EXPECT_EQ(lines(r.out), printed);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(where), {}), 6);

    std::set<std::string> nodes;
    for (const auto &[name, start] : archives) {
        const std::string base = where + "/" + name;
        auto times = lines(run_tesra({"timestamps", base, "object_001", "60s"}).out);
        ASSERT_EQ(times.size(), 10u) << base;
        EXPECT_EQ(times.front().substr(0, 13), std::to_string(start)) << base;
        EXPECT_EQ(times.back().substr(0, 13), std::to_string(start + 540000)) << base;
        for (const auto &line : lines(run_tesra({"info", base}).out)) {
            if (line.rfind("Node uuid", 0) == 0) nodes.insert(line);
            if (line.rfind("State", 0) == 0) {
                EXPECT_EQ(line.find("being written") != std::string::npos,
                          name == archives.back().first)
                    << line;
            }
        }
    }
    EXPECT_EQ(nodes.size(), 1u);
}

// ---- demo --------------------------------------------------------------------------------------

TEST_F(TesraTool, DemoWritesReadsBackAndPointsFurther) {
    // Into a directory that does not exist yet: demo makes it.
    std::string dir = dir_.path() + "/made/by/demo";
    ToolResult r = run_tesra({"demo", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string base = dir + "/1_300_1765000000000_900000";
    EXPECT_NE(r.out.find(base + ".meta"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Format version 6.1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("node_config"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("tesra check " + base), std::string::npos) << r.out;
    // The table of one sample time: the three volumes.
    for (const char *volume : {"vol0", "vol_data", "vol_logs"}) {
        EXPECT_NE(r.out.find(volume), std::string::npos) << r.out;
    }

    ToolResult check = run_tesra({"check", base});
    EXPECT_EQ(check.status, 0) << check.out;

    ToolResult once =
        run_tesra({"values", base, "node_config", "--period", "once", "--format", "csv"});
    ASSERT_EQ(once.status, 0) << once.err;
    auto rows = parse_csv(once.out);
    ASSERT_EQ(rows.size(), 2u) << once.out;
    EXPECT_EQ(rows[1][2], "node-a1");
    EXPECT_EQ(rows[1][3], "9.14.1P3");
}

// ---- check
// ---------------------------------------------------------------------------------------

TEST_F(TesraTool, CheckPassesAWellFormedArchive) {
    // Partial and whole records, and a data stream of stored blocks only.
    for (auto [chunk, level] : {std::pair{2u, ""}, {500u, ""}, {2u, "0"}}) {
        TempDir where;
        std::string base = gen(chunk, 7, where.path(), level);
        ToolResult r = run_tesra({"check", base});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("clean"), std::string::npos) << r.out;
    }
}

TEST_F(TesraTool, CheckReportsATruncatedDataStream) {
    std::string base = gen();
    auto gz = read_file(base + ".gz");
    gz.resize(gz.size() / 2);
    write_file(base + ".gz", gz);
    ToolResult r = run_tesra({"check", base});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("data stream"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("past the end of the readable data stream"), std::string::npos) << r.out;
}

TEST_F(TesraTool, CheckReportsASlotPointingAtTheWrongRecord) {
    std::string base = gen(/*chunk=*/500);
    auto meta = read_file(base + ".meta");
    // Object 0, 60 s table: slot 1 takes slot 2's record.
    size_t slot1 = slot_position(meta, 0, kMinuteIndex, 1);
    put_u64(meta, slot1, get_u64(meta, slot1 + 8));
    write_file(base + ".meta", meta);
    ToolResult r = run_tesra({"check", base});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("slot 1: offset"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(slot 2)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("is indexed 2 times"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("is not indexed"), std::string::npos) << r.out;
}

TEST_F(TesraTool, CheckReportsAPartialRecordListNamingAnotherObject) {
    std::string base = gen(/*chunk=*/2);
    auto records = stream_records(read_stream(base + ".gz"));
    auto other = std::find_if(records.begin(), records.end(),
                              [](const StreamRecord &r) { return r.obj_id == 2; });
    ASSERT_NE(other, records.end());
    auto meta = read_file(base + ".meta");
    uint64_t slot0 = get_u64(meta, slot_position(meta, 0, kMinuteIndex, 0));
    ASSERT_NE(slot0 & (uint64_t{1} << 63), 0u) << "slot 0 should hold a partial-record list";
    size_t list = index_section(meta) + (slot0 & ~(uint64_t{1} << 63));
    put_u64(meta, list + 4, other->offset);  // entry 0 of the list
    write_file(base + ".meta", meta);
    ToolResult r = run_tesra({"check", base});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("slot 0 list entry 0: offset"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("of object 'object_002'"), std::string::npos) << r.out;
}

TEST_F(TesraTool, CheckReportsAFlippedByteInTheXml) {
    std::string base = gen();
    auto meta = read_file(base + ".meta");
    std::string text(meta.begin(), meta.end());
    size_t at = text.find("</system>");
    ASSERT_NE(at, std::string::npos);
    meta[at + 3] ^= 0x01;  // "</system>" becomes "</sxstem>"
    write_file(base + ".meta", meta);
    ToolResult r = run_tesra({"check", base});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("does not open"), std::string::npos) << r.out;
}

TEST_F(TesraTool, CheckSurvivesGarbageInEveryIndexByte) {
    // No damage to the index may crash the checker: every status is 0 or 1.
    std::string base = gen(/*chunk=*/2);
    auto pristine = read_file(base + ".meta");
    size_t section = index_section(pristine);
    for (size_t at = section; at < pristine.size(); at += 7) {
        auto meta = pristine;
        meta[at] ^= 0xA5;
        write_file(base + ".meta", meta);
        ToolResult r = run_tesra({"check", base, "--max-problems", "3"});
        ASSERT_TRUE(r.status == 0 || r.status == 1) << "byte " << at << ": " << r.status;
    }
}

// Each edit of the data stream (rewritten as a valid gzip stream) and the line check must print.
struct StreamEdit {
    const char *name;
    void (*edit)(std::vector<uint8_t> &stream, const std::vector<StreamRecord> &records);
    const char *expected;
};

class CheckStreamEdits : public ::testing::TestWithParam<StreamEdit> {};

TEST_P(CheckStreamEdits, AreReported) {
    TempDir dir;
    ToolResult made = run_tesra({"gen", dir.path(), "--objects", "2", "--instances", "3",
                                 "--counters", "4", "--duration", "10m", "--period", "60s"});
    ASSERT_EQ(made.status, 0) << made.err;
    std::string base = trim(made.out);
    auto stream = read_stream(base + ".gz");
    auto records = stream_records(stream);
    ASSERT_EQ(records.size(), 20u);
    GetParam().edit(stream, records);
    write_stream(base + ".gz", stream);

    ToolResult r = run_tesra({"check", base});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(GetParam().expected), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Damage,
    CheckStreamEdits,
    ::testing::Values(StreamEdit{"UnknownObject",
                                 [](std::vector<uint8_t> &s, const std::vector<StreamRecord> &r) {
                                     put_u32(s, r[3].offset + 12, 9);
                                 },
                                 "object id 9 is not in the preset"},
                      StreamEdit{"PeriodOutsideTheTable",
                                 [](std::vector<uint8_t> &s, const std::vector<StreamRecord> &r) {
                                     put_u64(s, r[5].offset + 16, 7000);
                                 },
                                 "period 7000 is not a sampling period"},
                      StreamEdit{"RecordWrittenTwice",
                                 [](std::vector<uint8_t> &s, const std::vector<StreamRecord> &r) {
                                     std::vector<uint8_t> first(s.begin(),
                                                                s.begin() + 24 + r[0].size);
                                     s.insert(s.end(), first.begin(), first.end());
                                 },
                                 "is not indexed"},
                      StreamEdit{"BodyShorterThanItsInstances",
                                 [](std::vector<uint8_t> &s, const std::vector<StreamRecord> &r) {
                                     put_u32(s, r.back().offset + 8, r.back().size - 1);
                                     s.pop_back();
                                 },
                                 "are not a whole number of"},
                      StreamEdit{"TornHeaderAtTheEnd",
                                 [](std::vector<uint8_t> &s, const std::vector<StreamRecord> &) {
                                     s.insert(s.end(), 10, uint8_t{0});
                                 },
                                 "ends inside the header of the record at offset"},
                      StreamEdit{"BodyOverTheLimit",
                                 [](std::vector<uint8_t> &s, const std::vector<StreamRecord> &r) {
                                     put_u32(s, r[10].offset + 8, 0x200001);
                                 },
                                 "over the 2097152-byte limit"}),
    [](const ::testing::TestParamInfo<StreamEdit> &p) { return p.param.name; });

// Edits of the metadata text that keep it readable but make its fields disagree.
struct MetaEdit {
    const char *name;
    const char *after;  // text that the replaced characters follow
    const char *value;
    const char *expected;
};

class CheckMetaEdits : public ::testing::TestWithParam<MetaEdit> {};

TEST_P(CheckMetaEdits, AreReported) {
    TempDir dir;
    ToolResult made = run_tesra({"gen", dir.path(), "--objects", "1", "--instances", "2",
                                 "--counters", "2", "--duration", "5m", "--period", "60s"});
    ASSERT_EQ(made.status, 0) << made.err;
    std::string base = trim(made.out);
    auto meta = read_file(base + ".meta");
    std::string text(meta.begin(), meta.end());
    size_t at = text.find(GetParam().after);
    ASSERT_NE(at, std::string::npos);
    std::string value = GetParam().value;
    std::copy(value.begin(), value.end(),
              meta.begin() + static_cast<long>(at + std::strlen(GetParam().after)));
    write_file(base + ".meta", meta);

    ToolResult r = run_tesra({"check", base});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(GetParam().expected), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Damage,
    CheckMetaEdits,
    ::testing::Values(
        MetaEdit{"Duration", "duration=\"", "           493E0", "is not end_time - start_time"},
        MetaEdit{"EndTime", "end_time=\"", "           2BF20", "but the newest record is at"},
        MetaEdit{"SecondSection",
                 "<section_type>1</section_type>\n\t\t<section_version>1"
                 "</section_version>\n\t\t<section_offset>",
                 "              10", "the second section offset is 16"}),
    [](const ::testing::TestParamInfo<MetaEdit> &p) { return p.param.name; });

TEST_F(TesraTool, CheckReportsBytesAfterTheLastList) {
    std::string base = gen();
    auto meta = read_file(base + ".meta");
    meta.insert(meta.end(), {1, 2, 3});
    write_file(base + ".meta", meta);
    ToolResult r = run_tesra({"check", base});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("the tables and lists fill"), std::string::npos) << r.out;
}

TEST_F(TesraTool, FromAndToBoundTheRowsInclusively) {
    std::string base = gen();
    ToolResult r = run_tesra({"values", base, "object_001", "--from", "2025-12-06T05:48:40Z",
                              "--to", "1765000300000", "--format", "csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = parse_csv(r.out);
    ASSERT_EQ(rows.size(), 1u + 4 * 3);  // minutes 2, 3, 4 and 5, three instances each
    EXPECT_EQ(rows[1][0], "1765000120000");
    EXPECT_EQ(rows.back()[0], "1765000300000");
}

TEST_F(TesraTool, OncePerArchiveRecordsComeFirstInTimeOrder) {
    ASSERT_EQ(run_tesra({"demo", dir_.path()}).status, 0);
    std::string base = dir_.path() + "/1_300_1765000000000_900000";
    ToolResult r = run_tesra({"records", base});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = lines(r.out);
    // 15 minutes of volume, processor and system at 1m, 3 extra samples of volume and system
    // at 5m, one configuration record: 52 in all, plus the header.
    ASSERT_EQ(rows.size(), 53u);
    size_t once = 0;
    for (size_t i = 1; i < rows.size(); ++i) {
        if (rows[i].find("node_config") != std::string::npos) once = i;
    }
    ASSERT_NE(once, 0u);
    EXPECT_NE(rows[once].find("1765000000000"), std::string::npos) << rows[once];
    EXPECT_NE(rows[once].find(" once "), std::string::npos) << rows[once];
}

// ---- usage and errors
// ----------------------------------------------------------------------------

class TesraUsage : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(TesraUsage, ExitsWithTwo) {
    ToolResult r = run_tesra(GetParam());
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_FALSE(r.err.empty());
}

INSTANTIATE_TEST_SUITE_P(
    BadCommandLines,
    TesraUsage,
    ::testing::Values(std::vector<std::string>{},
                      std::vector<std::string>{"frobnicate"},
                      std::vector<std::string>{"info"},
                      std::vector<std::string>{"values", "x"},
                      std::vector<std::string>{"values", "x", "obj", "--format", "xml"},
                      std::vector<std::string>{"values", "x", "obj", "--at", "1", "--from", "0"},
                      std::vector<std::string>{"values", "x", "obj", "--at", "yesterday"},
                      std::vector<std::string>{"values", "x", "obj", "--period", "7s"},
                      std::vector<std::string>{"timestamps", "x", "obj", "2h"},
                      std::vector<std::string>{"gen", "/tmp", "--objects", "0", "--instances", "1",
                                               "--counters", "1", "--duration", "10m", "--period",
                                               "60s"},
                      std::vector<std::string>{"gen", "/tmp", "--objects", "1", "--instances", "1",
                                               "--counters", "1", "--duration", "1m", "--period",
                                               "60s"},
                      std::vector<std::string>{"check"},
                      std::vector<std::string>{"records", "x", "--bogus"}));

TEST(TesraErrors, MissingArchiveIsNamedWithTheOperationAndLabel) {
    ToolResult r = run_tesra({"info", "/nonexistent/1_60_1_1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/nonexistent/1_60_1_1: open: TESRA_FILE_NOT_FOUND"), std::string::npos)
        << r.err;
}

TEST(TesraErrors, HelpOfASubcommandSucceeds) {
    ToolResult r = run_tesra({"values", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--format"), std::string::npos) << r.out;
}

TEST(TesraErrors, VersionAndTopLevelHelpSucceedWithoutASubcommand) {
    ToolResult version = run_tesra({"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out.rfind("tesra ", 0), 0u) << version.out;
    EXPECT_NE(version.out.find("archive format 6.1"), std::string::npos) << version.out;

    // One short line per subcommand; the long descriptions stay in each subcommand's help.
    ToolResult help = run_tesra({"--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 100u) << line;
    EXPECT_NE(help.out.find("  recover "), std::string::npos) << help.out;
}

}  // namespace
}  // namespace tesra::tooltest
