// The metric text of `tesra export`: name mapping, escaping and number formatting as a table,
// and the tool on archives whose names need escaping or collide after mapping.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <tuple>

#include "openmetrics/export_model.h"
#include "openmetrics/export_text.h"
#include "openmetrics/metric_text.h"
#include "support/archive_builder.h"
#include "tools/tool_runner.h"

namespace {

using namespace tesra::cli::om;

struct TextCase {
    const char *what;
    std::string got;
    std::string expected;
};

std::string label_value(std::string_view v) {
    std::string out;
    append_label_value(out, v);
    return out;
}

std::string help(std::string_view v, bool quote) {
    std::string out;
    append_help(out, v, quote);
    return out;
}

std::string seconds(uint64_t ms) {
    std::string out;
    append_seconds(out, ms);
    return out;
}

std::string number(uint64_t v) {
    std::string out;
    append_uint(out, v);
    return out;
}

TEST(MetricText, MapsEscapesAndFormats) {
    const TextCase cases[] = {
        {"dots and dashes", map_name("cpu.busy-time"), "cpu_busy_time"},
        {"every byte of a multi-byte character", map_name("t\xc3\xa9mp"), "t__mp"},
        {"leading digit of a label", label_name("9lives"), "_9lives"},
        {"empty label", label_name(""), ""},
        {"family with unit", family_name("vol", "space", "bytes"), "tesra_vol_space_bytes"},
        {"unit already the suffix", family_name("vol", "used_bytes", "bytes"),
         "tesra_vol_used_bytes"},
        {"unit as a mere ending", family_name("vol", "xbytes", "bytes"), "tesra_vol_xbytes_bytes"},
        {"empty counter name", family_name("vol", "", ""), ""},
        {"empty object name", family_name("", "ops", ""), ""},
        {"bytes unit code", std::string(unit_name(0x20208)), "bytes"},
        {"seconds unit code", std::string(unit_name(0x40208)), "seconds"},
        {"operations: no base unit", std::string(unit_name(0x10108)), ""},
        {"quote, backslash, newline", label_value("a\"b\\c\nd"), "a\\\"b\\\\c\\nd"},
        {"escaped text left alone otherwise", label_value("tab\tand {}=,"), "tab\tand {}=,"},
        {"help keeps quotes in text format", help("say \"x\"\\\n", false), "say \"x\"\\\\\\n"},
        {"help escapes quotes in OpenMetrics", help("say \"x\"", true), "say \\\"x\\\""},
        {"whole second", seconds(1765000000000), "1765000000.000"},
        {"milliseconds padded", seconds(1765000000007), "1765000000.007"},
        {"below one second", seconds(999), "0.999"},
        {"largest count", number(UINT64_MAX), "18446744073709551615"},
        {"odd number of digits", number(1000001), "1000001"},
        {"zero", number(0), "0"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.got, c.expected) << c.what;
}

// Collects the text; refuses every chunk from the `fail_from`-th on.
class Collect : public TextOut {
public:
    explicit Collect(size_t fail_from = SIZE_MAX) : fail_from_(fail_from) {}
    bool write(std::string_view chunk, uint64_t lines) override {
        if (chunks_++ >= fail_from_) return false;
        text.append(chunk);
        samples += lines;
        return true;
    }
    std::string text;
    uint64_t samples = 0;

private:
    size_t fail_from_;
    size_t chunks_ = 0;
};

// Families of several chunks each, with a value list larger than a spool's buffer and a label
// set longer than a text block's spare room: formatted on threads they come out as on one,
// and a sink that fails stops every thread.
TEST(ExportText, FamiliesFormattedOnThreadsComeOutInFamilyOrder) {
    tesra::test::TempDir tmp;
    SpoolDir dir;
    ASSERT_TRUE(dir.create(tmp.path()));
    Instances instances;
    instances.find_or_add("k=\"a\"", 0);
    instances.find_or_add("k=\"" + std::string(40000, 'x') + "\"", 0);
    std::vector<std::unique_ptr<Family>> families;
    std::vector<const Family *> order;
    for (uint64_t i = 0; i < 5; ++i) {
        auto &f = *families.emplace_back(std::make_unique<Family>());
        f.name = f.sample_name = "f" + std::to_string(i);
        f.spool.attach(dir, 64 << 10, i % 2 == 0);
        for (uint64_t t = 0; t < 3000; ++t) {
            const uint64_t v = t * i;
            ASSERT_TRUE(f.spool.mark_time(1000 * t) && f.spool.put_numbers(0, &v, 1));
        }
        const std::vector<uint64_t> many(10000, i);
        ASSERT_TRUE(f.spool.put_numbers(0, many.data(), 10000) && f.spool.put_numbers(1, &i, 1));
        ASSERT_TRUE(f.spool.flush());
        f.samples = 3000 + 10000 + 1;
        order.push_back(&f);
    }
    Collect one, two;
    std::string error;
    ASSERT_TRUE(write_families(order, instances, TextStyle::kOpenMetrics, one, error, 1)) << error;
    ASSERT_TRUE(write_families(order, instances, TextStyle::kOpenMetrics, two, error, 2)) << error;
    EXPECT_EQ(one.samples, 5 * 13001u);
    EXPECT_NE(one.text.find("# TYPE f3 gauge\nf3{k=\"a\"} 0 0.000\nf3{k=\"a\"} 3 1.000\n"),
              std::string::npos);
    EXPECT_NE(one.text.find(",x=\"9999\"} 3 2999.000\nf3{k=\"xxx"), std::string::npos);
    EXPECT_NE(one.text.find("xxx\"} 3 2999.000\n# TYPE f4 gauge\n"), std::string::npos);
    EXPECT_TRUE(one.text == two.text);  // megabytes: no diff printed

    Collect failing(3);
    EXPECT_FALSE(write_families(order, instances, TextStyle::kOpenMetrics, failing, error, 2));
    EXPECT_TRUE(error.empty()) << error;
}

using tesra::test::ArchiveSpec;
using tesra::test::Instances;
using tesra::test::make_counter;
using tesra::tooltest::run_tesra;

// One object "vol" keyed by "name" with the counters given after the key, two samples.
std::string write_archive(tesra::test::TempDir &dir,
                          std::vector<tesra::test::CounterSpec> counters,
                          const std::vector<std::string> &keys) {
    ArchiveSpec spec = ArchiveSpec::simple();
    spec.objects[0].name = "vol";
    counters.insert(counters.begin(), make_counter(1, "name", 0x2000, 16, {60000}, true));
    spec.objects[0].counters = counters;
    std::vector<tesra::test::RecordSpec> records;
    for (uint64_t t : {0, 60000}) {
        Instances body;
        for (const auto &k : keys) {
            body.str(k, 16);
            for (size_t c = 1; c < counters.size(); ++c) body.u64(t / 1000 + c);
        }
        records.push_back({t, 3, 60000, body.bytes()});
    }
    std::string base = dir.base("1_60_1000000000000_900000");
    EXPECT_EQ(tesra::test::write_archive(spec, base, records), TESRA_SUCCESS);
    return base;
}

TEST(ExportTool, KeyNeedingEscapesBecomesAnEscapedLabelValue) {
    tesra::test::TempDir dir;
    std::string base =
        write_archive(dir, {make_counter(2, "ops", 0x10108, 8, {60000})}, {"a\"b\\c\nd", "plain"});
    auto r = run_tesra({"export", base});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("tesra_vol_ops{name=\"a\\\"b\\\\c\\nd\",node=\"node1\",node_uuid="
                         "\"node-uuid\",cluster=\"cluster\",cluster_uuid=\"cluster-id\"} 61 "
                         "1000000060.000\n"),
              std::string::npos)
        << r.out;
}

// An export ended early takes its spooled files with it: by a reader that leaves at once, as
// `| head` does (the export ends quietly with status 1), and by SIGTERM while it is blocked
// writing to a pipe nobody reads (the process still ends by that signal).
TEST(ExportTool, EndingEarlyLeavesNoTemporaryFiles) {
    tesra::test::TempDir dir;
    std::vector<std::string> keys;
    for (int i = 0; i < 100; ++i) keys.push_back("volume" + std::to_string(i));
    std::string base = write_archive(dir, {make_counter(2, "ops", 0x10108, 8, {60000})}, keys);
    for (const bool terminate : {false, true}) {
        SCOPED_TRACE(terminate ? "SIGTERM while blocked" : "reader gone");
        const std::string spool = dir.base(terminate ? "spool-term" : "spool-pipe");
        ASSERT_TRUE(std::filesystem::create_directory(spool));
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        // One page of pipe: the export's text (about 30 KB) cannot fit, so the writer blocks.
        if (terminate) ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
        if (!terminate) ::close(fds[0]);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::execl(TESRA_CLI_PATH, "tesra", "export", base.c_str(), "--temp-dir", spool.c_str(),
                    static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        if (terminate) {
            // The pipe fills only once the text is being written, after everything is spooled.
            int queued = 0;
            for (int tries = 0; tries < 2000 && queued < 4096; ++tries) {
                ::usleep(5000);
                ::ioctl(fds[0], FIONREAD, &queued);
            }
            ASSERT_GE(queued, 4096);
            ::kill(pid, SIGTERM);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (terminate) {
            ::close(fds[0]);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        }
        EXPECT_TRUE(std::filesystem::is_empty(spool));
    }
}

TEST(ExportTool, NamesThatCollideAfterMappingAreReportedNotMerged) {
    tesra::test::TempDir dir;
    std::string base = write_archive(dir,
                                     {make_counter(2, "read.ops", 0x10108, 8, {60000}),
                                      make_counter(3, "read_ops", 0x10108, 8, {60000})},
                                     {"v0"});
    auto r = run_tesra({"export", base});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("counter 'read_ops' maps to the metric name 'tesra_vol_read_ops' of "
                         "'vol/read.ops'; left out"),
              std::string::npos)
        << r.err;
    // The first family keeps its own values only: 2 at the first sample, never read_ops' 3.
    EXPECT_NE(r.out.find("tesra_vol_read_ops{name=\"v0\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("} 3 1000000000.000"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("# EOF\n"));
}

TEST(ExportTool, CounterTypeGivesTheTotalSuffixAndUnknownNamesAreReported) {
    tesra::test::TempDir dir;
    std::string base = write_archive(dir, {make_counter(2, "used", 0x20208, 8, {60000})}, {"v0"});
    auto r = run_tesra({"export", base, "--counter-type", "used=counter"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# TYPE tesra_vol_used_bytes counter\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("# UNIT tesra_vol_used_bytes bytes\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\ntesra_vol_used_bytes_total{name=\"v0\""), std::string::npos);

    r = run_tesra({"export", base, "--counter-type", "nosuch=counter"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nosuch: --counter-type names no exported counter"), std::string::npos)
        << r.err;
}

}  // namespace

namespace {

// The sample lines of an export stamped with `stamp` (" <seconds>\n"), in order.
std::string lines_at(const std::string &text, std::string_view stamp) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + at, end - at);
        if (line.front() != '#' && line.ends_with(stamp)) out += line;
        at = end;
    }
    return out;
}

}  // namespace

// Two archives of a series share half an hour: the later file index answers for it, the
// earlier one for the time before, and the overlap is reported.
TEST(ExportTool, SeriesTakesTheLaterFileIndexWhereArchivesOverlap) {
    tesra::test::TempDir dir;
    const std::string first = dir.base("1_60_1765000000000_3600000");
    const std::string second = dir.base("2_60_1765001800000_3600000");
    for (const auto &[base, start, seed] :
         {std::tuple{first, "1765000000000", "1"}, std::tuple{second, "1765001800000", "2"}}) {
        auto g = run_tesra({"gen", base, "--objects", "1", "--instances", "2", "--counters", "2",
                            "--duration", "1h", "--period", "60s", "--start", start, "--seed",
                            seed});
        ASSERT_EQ(g.status, 0) << g.err;
    }
    auto series = run_tesra({"export", dir.path()});
    auto earlier = run_tesra({"export", first});
    auto later = run_tesra({"export", second});
    ASSERT_EQ(series.status, 0) << series.err;
    ASSERT_EQ(earlier.status, 0) << earlier.err;
    ASSERT_EQ(later.status, 0) << later.err;
    EXPECT_NE(series.err.find("are used there"), std::string::npos) << series.err;

    const std::string_view shared = " 1765002700.000\n";  // 45 minutes in
    ASSERT_FALSE(lines_at(later.out, shared).empty());
    ASSERT_NE(lines_at(earlier.out, shared), lines_at(later.out, shared));  // seeds differ
    EXPECT_EQ(lines_at(series.out, shared), lines_at(later.out, shared));
    const std::string_view before = " 1765000600.000\n";
    ASSERT_FALSE(lines_at(earlier.out, before).empty());
    EXPECT_EQ(lines_at(series.out, before), lines_at(earlier.out, before));
}
