// The tool over a series of archives and the archives extract and merge write: what `values`
// answers on the new archive must equal what it answers on the sources.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool_runner.h"

namespace tesra::tooltest {
namespace {

namespace fs = std::filesystem;

class SeriesTool : public ::testing::Test {
protected:
    // `archives` consecutive 10-minute archives of one node in `dir`: 2 objects x 3 instances at
    // 60 s, each sample in two partial records (chunk 2). `gap`: the archive left out, 0 none.
    std::string series(const std::string &name, int archives, int gap = 0) {
        std::string dir = dir_.path() + "/" + name;
        fs::create_directories(dir);
        ToolResult r =
            run_tesra({"gen", dir, "--archives", std::to_string(archives), "--gap",
                       std::to_string(gap), "--objects", "2", "--instances", "3", "--counters", "4",
                       "--duration", "10m", "--period", "60s", "--chunk", "2"});
        EXPECT_EQ(r.status, 0) << r.err;
        return dir;
    }

    // The single archive `extract` or `merge` wrote into `out` (a directory it named it in).
    std::string written(const std::string &out) {
        std::vector<std::string> metas;
        for (const auto &e : fs::directory_iterator(out)) {
            if (e.path().extension() == ".meta") metas.push_back(e.path().string());
        }
        EXPECT_EQ(metas.size(), 1u) << out;
        return metas.empty() ? "" : metas[0].substr(0, metas[0].size() - 5);
    }

    std::string out_dir(const std::string &name) {
        std::string out = dir_.path() + "/" + name;
        fs::create_directories(out);
        return out;
    }

    TempDir dir_;
};

// Each row: what extract selects, and the same selection as `values` arguments.
struct ExtractCase {
    const char *name;
    std::vector<std::string> extract;
    std::vector<std::string> values;
};

TEST_F(SeriesTool, ExtractHoldsExactlyWhatValuesReadsFromTheSources) {
    std::string src = series("src", 3);
    const std::vector<ExtractCase> cases = {
        {"whole", {}, {}},
        // A window across an archive boundary, one counter, one instance of the partial records.
        {"window",
         {"--from", "1765000420000", "--to", "1765000840000", "--object", "object_002", "--counter",
          "level_001", "--key", "instance_name=inst_00001"},
         {"--from", "1765000420000", "--to", "1765000840000", "--counter", "level_001", "--key",
          "instance_name=inst_00001"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = out_dir(c.name);
        std::vector<std::string> args{"extract", src, out};
        args.insert(args.end(), c.extract.begin(), c.extract.end());
        ToolResult r = run_tesra(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string base = written(out);
        ToolResult check = run_tesra({"check", base});
        EXPECT_EQ(check.status, 0) << check.out;

        std::vector<std::string> on_src{"values", src, "object_002", "--format", "csv"};
        std::vector<std::string> on_out{"values", base, "object_002", "--format", "csv"};
        on_src.insert(on_src.end(), c.values.begin(), c.values.end());
        ToolResult want = run_tesra(on_src);
        ToolResult got = run_tesra(on_out);
        ASSERT_EQ(want.status, 0) << want.err;
        ASSERT_EQ(got.status, 0) << got.err;
        EXPECT_GT(lines(want.out).size(), 1u);
        EXPECT_EQ(got.out, want.out);
    }
}

// The demo archive has several periods, string and array counters and a once-per-archive
// record; merging it with nothing else must give it back.
TEST_F(SeriesTool, MergeOfOneArchiveKeepsEveryPeriodAndTheOncePerArchiveRecord) {
    ASSERT_EQ(run_tesra({"demo", dir_.path()}).status, 0);
    std::string src = dir_.path() + "/1_300_1765000000000_900000";
    std::string out = out_dir("out");
    ToolResult r = run_tesra({"merge", src, out});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string base = written(out);
    for (auto [object, period] :
         {std::pair{"volume", "1m"}, std::pair{"volume", "5m"}, std::pair{"node_config", "once"}}) {
        SCOPED_TRACE(std::string(object) + " " + period);
        ToolResult want =
            run_tesra({"values", src, object, "--period", period, "--format", "json"});
        ToolResult got =
            run_tesra({"values", base, object, "--period", period, "--format", "json"});
        ASSERT_EQ(want.status, 0) << want.err;
        auto drop_archive = [](std::string s) { return s.substr(s.find("\"counters\"")); };
        EXPECT_EQ(drop_archive(got.out), drop_archive(want.out));
    }
}

TEST_F(SeriesTool, MergeRefusesConflictingDefinitionsNamingBothArchivesAndWritesNothing) {
    std::string a = dir_.path() + "/1_60_1765000000000_600000";
    std::string b = dir_.path() + "/2_60_1765000600000_600000";
    for (auto [base, counters, start] :
         {std::tuple{a, "4", "1765000000000"}, std::tuple{b, "3", "1765000600000"}}) {
        ASSERT_EQ(run_tesra({"gen", base, "--objects", "1", "--instances", "2", "--counters",
                             counters, "--duration", "10m", "--period", "60s", "--start", start})
                      .status,
                  0);
    }
    std::string out = out_dir("out");
    ToolResult r = run_tesra({"merge", a, b, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(a), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(b), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("state_003"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(SeriesTool, AnExistingOutputIsReplacedOnlyWithForce) {
    std::string src = series("src", 2);
    std::string target = dir_.path() + "/1_60_1765000000000_1200000";
    ASSERT_EQ(run_tesra({"merge", src, target}).status, 0);
    auto before = read_file(target + ".meta");

    ToolResult again = run_tesra({"extract", src, target, "--object", "object_001"});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;
    EXPECT_EQ(read_file(target + ".meta"), before);

    ToolResult forced = run_tesra({"extract", src, target, "--object", "object_001", "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(read_file(target + ".meta"), before);
    for (const auto &e : fs::directory_iterator(dir_.path())) {
        EXPECT_EQ(e.path().string().find("extract-"), std::string::npos) << e.path();
    }
}

// Archive 2 left out (a gap), archive 3 cut short (damaged): the query answers from 1 and 4,
// warning about both; --strict fails instead.
TEST_F(SeriesTool, QueryAcrossAGapSkipsADamagedArchiveWithAWarning) {
    std::string src = series("src", 4, 2);
    std::string damaged = src + "/3_60_1765001200000_600000";
    auto gz = read_file(damaged + ".gz");
    ASSERT_GT(gz.size(), 100u);
    gz.resize(gz.size() / 2);
    write_file(damaged + ".gz", gz);
    write_file(src + "/README.txt", {'h', 'i', '\n'});

    ToolResult r = run_tesra({"values", src, "object_001", "--counter", "count_000", "--format",
                              "json", "--key", "instance_name=inst_00000"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(damaged), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("README.txt"), std::string::npos) << r.err;
    std::set<std::string> archives;
    for (const auto &line : lines(r.out)) {
        auto sample = nlohmann::json::parse(line);
        archives.insert(sample["archive"].get<std::string>());
    }
    EXPECT_TRUE(archives.count(src + "/1_60_1765000000000_600000")) << r.out;
    EXPECT_TRUE(archives.count(src + "/4_60_1765001800000_600000")) << r.out;
    EXPECT_NE(r.err.find("no archive covers"), std::string::npos) << r.err;
    // A range within archive 4 warns about neither the gap nor archive 3.
    ToolResult late = run_tesra({"values", src, "object_001", "--counter", "count_000", "--from",
                                 "1765001800000", "--to", "1765001900000", "--format", "csv"});
    ASSERT_EQ(late.status, 0) << late.err;
    EXPECT_EQ(late.err.find("no archive covers"), std::string::npos) << late.err;
    EXPECT_EQ(late.err.find(damaged), std::string::npos) << late.err;

    // extract reads the damaged archive as the query does.
    ToolResult strict = run_tesra({"extract", src, out_dir("out"), "--strict"});
    EXPECT_EQ(strict.status, 1);
    EXPECT_TRUE(fs::is_empty(dir_.path() + "/out"));
    ASSERT_EQ(run_tesra({"extract", src, dir_.path() + "/out"}).status, 0);
    ToolResult want = run_tesra({"values", src, "object_001", "--format", "csv"});
    ToolResult got = run_tesra({"values", written(dir_.path() + "/out"), "object_001", "--format",
                                "csv"});
    EXPECT_EQ(got.out, want.out);
}

}  // namespace
}  // namespace tesra::tooltest
