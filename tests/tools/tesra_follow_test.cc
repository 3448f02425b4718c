// The tool following an archive while this process writes it through the writer library: each
// sample is two partial records flushed one at a time, so that a follower often finds a sample
// with only some of its instances.
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tesra/tesra_int_defs.h"

#include "support/archive_builder.h"
#include "tool_runner.h"

namespace tesra::tooltest {
namespace {

using tesra::test::ArchiveBuilder;
using tesra::test::ArchiveSpec;
using tesra::test::Instances;

constexpr uint64_t kPeriod = 60000;
constexpr uint64_t kBaseTime = 1000000000000;  // of ArchiveSpec::simple()
constexpr uint32_t kVolume = 3;
constexpr int kTimeoutMs = 30000;

class Follow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(writer_.create(live_), TESRA_SUCCESS);
        ASSERT_EQ(writer_.finalize(), TESRA_SUCCESS);
    }

    // Sample `s`: instances "a" and "b" of the volume, ops = s, in two flushed records.
    void write_sample(uint64_t s, std::chrono::milliseconds pause = {}) {
        for (const char *name : {"a", "b"}) {
            ASSERT_EQ(writer_.write(s * kPeriod, kVolume, kPeriod,
                                    Instances().str(name, 16).u64(s).bytes()),
                      TESRA_SUCCESS);
            ASSERT_EQ(gzflush(writer_.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
            std::this_thread::sleep_for(pause);
        }
    }

    // The lines of a JSON-lines output as (time, name) -> ops; fails on a line that does not
    // parse, a repeated instance or times out of order.
    static std::map<std::pair<uint64_t, std::string>, uint64_t> samples(const std::string &out) {
        std::map<std::pair<uint64_t, std::string>, uint64_t> seen;
        uint64_t last = 0;
        for (const auto &line : lines(out)) {
            auto j = nlohmann::json::parse(line, nullptr, false);
            EXPECT_FALSE(j.is_discarded()) << line;
            if (j.is_discarded()) continue;
            uint64_t time = j["time_ms"];
            EXPECT_GE(time, last) << line;
            last = time;
            bool fresh = seen.emplace(std::pair{time, j["keys"]["name"]}, j["values"]["ops"]).second;
            EXPECT_TRUE(fresh) << "printed twice: " << line;
        }
        return seen;
    }

    // Waits until `tool` has printed `count` lines: it has opened the archive and looked.
    static void wait_for_lines(const ToolProcess &tool, size_t count) {
        for (int waited = 0; lines(tool.out()).size() < count && waited < kTimeoutMs;
             waited += 10) {
            usleep(10000);
        }
    }

    TempDir dir_;
    const std::string live_ = dir_.base("1_60_0000000000000_0000000");
    ArchiveBuilder writer_{ArchiveSpec::simple()};
};

TEST_F(Follow, EverySampleOnceInOrderUntilTheWriterClosesAndRenames) {
    for (uint64_t s = 0; s < 3; ++s) write_sample(s);
    ToolProcess values({"values", live_, "volume", "--follow", "--format", "json", "--interval",
                        "10ms"});
    ToolProcess raw({"records", live_, "--raw", "--follow", "--interval", "10ms"});
    ToolProcess linear({"records", live_, "--follow", "--interval", "10ms"});
    // Samples 0 and 1 (2 is held back), 6 records, 2 samples, each after a header.
    wait_for_lines(values, 4);
    wait_for_lines(raw, 7);
    wait_for_lines(linear, 3);
    for (uint64_t s = 3; s < 10; ++s) write_sample(s, std::chrono::milliseconds(25));
    ASSERT_EQ(writer_.close(), TESRA_SUCCESS);
    const std::string final = dir_.base("1_60_1000000000000_600000");
    for (const char *ext : {".meta", ".gz"}) {
        ASSERT_EQ(std::rename((live_ + ext).c_str(), (final + ext).c_str()), 0);
    }

    ToolResult r = values.wait(kTimeoutMs);
    ASSERT_EQ(r.status, 0) << r.err;
    auto seen = samples(r.out);
    ASSERT_EQ(seen.size(), 20u) << r.out;
    for (uint64_t s = 0; s < 10; ++s) {
        for (const char *name : {"a", "b"}) {
            auto it = seen.find({kBaseTime + s * kPeriod, name});
            ASSERT_NE(it, seen.end()) << s << name << "\n" << r.out;
            EXPECT_EQ(it->second, s);
        }
    }

    // In stream order every record once, with offsets that run on across the refreshes.
    ToolResult walk = raw.wait(kTimeoutMs);
    ASSERT_EQ(walk.status, 0) << walk.err;
    auto rows = lines(walk.out);
    ASSERT_EQ(rows.size(), 21u) << walk.out;
    for (size_t i = 1; i < rows.size(); ++i) {
        // 24-byte header and one 24-byte instance per record.
        EXPECT_EQ(std::stoull(rows[i]), (i - 1) * 48) << walk.out;
        EXPECT_EQ(std::stoull(rows[i].substr(14)), kBaseTime + (i - 1) / 2 * kPeriod) << walk.out;
    }
    // In time order one line per sample, its two records joined.
    walk = linear.wait(kTimeoutMs);
    ASSERT_EQ(walk.status, 0) << walk.err;
    rows = lines(walk.out);
    ASSERT_EQ(rows.size(), 11u) << walk.out;
    for (size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(std::stoull(rows[i]), kBaseTime + (i - 1) * kPeriod) << walk.out;
        EXPECT_EQ(rows[i].back(), '2') << walk.out;  // instances
    }
}

TEST_F(Follow, InterruptExitsZeroWithWholeSamplesPrinted) {
    for (uint64_t s = 0; s < 4; ++s) write_sample(s);
    ToolProcess values({"values", live_, "volume", "--follow", "--format", "json", "--interval",
                        "10ms"});
    // The newest sample is held back while its writer may still add instances to it.
    wait_for_lines(values, 6);
    values.signal(SIGINT);
    ToolResult r = values.wait(kTimeoutMs);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(samples(r.out).size(), 6u) << r.out;
    EXPECT_EQ(r.out.back(), '\n');
}

}  // namespace
}  // namespace tesra::tooltest
