// Opening a series: which files become members, in which order, and which sources are refused
// with a code and a finding that says why.
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "series/series_fixture.h"

namespace tesra::test {
namespace {

using SeriesOpen = SeriesTest;

TEST_F(SeriesOpen, OrdersMembersByStartAndSkipsFilesThatAreNoArchives) {
    write({2, 10, 10});
    write({1, 0, 10});
    write({3, 20, 10});
    write_text_file(dir_.base("notes.txt"), "not an archive");
    write_text_file(dir_.base("7_60_1_1.gz"), "a data stream without metadata");
    write_text_file(dir_.base("bad_name.meta"), "<archive/>");
    std::filesystem::create_directory(dir_.base("subdir"));

    ASSERT_EQ(open({dir_.path()}), TESRA_SUCCESS);
    ASSERT_EQ(tesra_series_member_count(series_), 3u);
    // The open reads names (and the two ends' identity); the rest on demand.
    ASSERT_EQ(tesra_series_check_members(series_, 0, UINT64_MAX), TESRA_SUCCESS);
    for (size_t i = 0; i < 3; ++i) {
        const tesra_series_member_t m = member(i);
        EXPECT_EQ(m.file_index, i + 1);
        EXPECT_STREQ(m.hostname, "node1");
        EXPECT_EQ(m.window_start, kEpoch + i * 10 * kMinute);
        EXPECT_EQ(m.window_end, kEpoch + (i + 1) * 10 * kMinute);
        EXPECT_EQ(m.contents_known, 0) << "opening a series reads no data stream";
    }
    EXPECT_EQ(findings(TESRA_SERIES_NOT_ARCHIVE).size(), 3u);
    EXPECT_TRUE(findings(TESRA_SERIES_GAP).empty());
    EXPECT_TRUE(findings(TESRA_SERIES_OVERLAP).empty());

    // The same archives named by a glob and by one base each make the same series.
    ASSERT_EQ(open({dir_.base("[12]_*.meta"),
                    dir_.base("3_60_") + std::to_string(kEpoch + 20 * kMinute) + "_600000"}),
              TESRA_SUCCESS);
    EXPECT_EQ(tesra_series_member_count(series_), 3u);
}

TEST_F(SeriesOpen, SourcesThatMakeNoSeriesAreRefusedWithAFinding) {
    struct Case {
        const char *name;
        std::function<std::vector<std::string>(SeriesTest &)> make;
        const char *node;
        tesra_error_t rc;
        tesra_series_finding_kind_t kind;
    };
    const std::vector<Case> cases = {
        {"empty directory", [](SeriesTest &t) { return std::vector<std::string>{t.where_}; },
         nullptr, TESRA_FILE_NOT_FOUND, TESRA_SERIES_EMPTY},
        {"no such base",
         [](SeriesTest &t) { return std::vector<std::string>{t.where_ + "/1_60_0_60000"}; },
         nullptr, TESRA_FILE_NOT_FOUND, TESRA_SERIES_NOT_ARCHIVE},
        {"two nodes",
         [](SeriesTest &t) {
             t.write({1, 0, 5});
             t.write({2, 5, 5, "node2"});
             return std::vector<std::string>{t.where_};
         },
         nullptr, TESRA_INVALID_ARGUMENTS, TESRA_SERIES_NODES},
        {"node not there",
         [](SeriesTest &t) {
             t.write({1, 0, 5});
             return std::vector<std::string>{t.where_};
         },
         "node9", TESRA_FILE_NOT_FOUND, TESRA_SERIES_NODES},
        {"same file index twice",
         [](SeriesTest &t) {
             const std::string first = t.where_ + "/a", second = t.where_ + "/b";
             std::filesystem::create_directory(first);
             std::filesystem::create_directory(second);
             t.where_ = first;
             t.write({1, 0, 5});
             t.where_ = second;
             t.write({1, 5, 5});
             return std::vector<std::string>{first, second};
         },
         nullptr, TESRA_CORRUPT_ARCHIVE, TESRA_SERIES_DUPLICATE_INDEX},
        {"time going backwards",
         [](SeriesTest &t) {
             t.write({1, 10, 5});
             t.write({2, 0, 5});
             return std::vector<std::string>{t.where_};
         },
         nullptr, TESRA_INVALID_TIMESTAMP, TESRA_SERIES_TIME_BACKWARDS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        where_ = dir_.base(c.name);
        std::filesystem::create_directory(where_);
        tesra_series_options_t opt{};
        opt.node = c.node;
        EXPECT_EQ(open(c.make(*this), opt), c.rc);
        ASSERT_NE(series_, nullptr) << "a refused series still carries its findings";
        EXPECT_EQ(tesra_series_member_count(series_), 0u);
        const auto found = findings(c.kind);
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found.front().is_error, 1);
        EXPECT_STRNE(found.front().message, "");
    }
}

TEST_F(SeriesOpen, ChosenNodeKeepsItsOwnArchivesOnly) {
    write({1, 0, 5});
    write({1, 0, 5, "node2"});
    write({2, 5, 5, "node2"});
    tesra_series_options_t opt{};
    opt.node = "node2";
    ASSERT_EQ(open({dir_.path()}, opt), TESRA_SUCCESS);
    ASSERT_EQ(tesra_series_member_count(series_), 2u);
    EXPECT_STREQ(member(0).hostname, "node2");
    EXPECT_STREQ(member(1).hostname, "node2");
}

// Between two ends of one node, another node's archive is only found by a call that reads
// it: that call is refused as the open would have been, and --node still picks.
TEST_F(SeriesOpen, AnotherNodesArchiveIsRefusedByTheCallThatReadsIt) {
    write({1, 0, 5});
    const std::string foreign = write({2, 5, 5, "node2"});
    write({3, 10, 5});
    ASSERT_EQ(open({dir_.path()}), TESRA_SUCCESS);
    ASSERT_EQ(tesra_series_member_count(series_), 3u);

    tesra_series_query_t q{};
    q.object_name = "volume";
    q.to = kEpoch + 5 * kMinute;
    EXPECT_EQ(rows(q).size(), 10u) << "a range that does not reach it is answered";
    EXPECT_TRUE(findings(TESRA_SERIES_NODES).empty());

    q.to = 0;
    EXPECT_EQ(rows(q).back(), "rc " + std::to_string(TESRA_INVALID_ARGUMENTS));
    const auto refused = findings(TESRA_SERIES_NODES);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].is_error, 1);
    EXPECT_EQ(refused[0].other, 1u);
    EXPECT_STREQ(refused[0].path, foreign.c_str());
    tesra_series_catalogue_t *cat = nullptr;
    EXPECT_EQ(tesra_series_get_catalogue(series_, 0, UINT64_MAX, &cat), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(cat, nullptr);

    // Checking without reading: refused on a fresh series too, and only over its span.
    ASSERT_EQ(open({dir_.path()}), TESRA_SUCCESS);
    EXPECT_EQ(tesra_series_check_members(series_, 0, kEpoch + 5 * kMinute), TESRA_SUCCESS);
    EXPECT_EQ(tesra_series_check_members(series_, 0, UINT64_MAX), TESRA_INVALID_ARGUMENTS);

    tesra_series_options_t opt{};
    opt.node = "node1";
    ASSERT_EQ(open({dir_.path()}, opt), TESRA_SUCCESS);
    EXPECT_EQ(tesra_series_member_count(series_), 2u);
    EXPECT_EQ(tesra_series_check_members(series_, 0, UINT64_MAX), TESRA_SUCCESS);
}

TEST_F(SeriesOpen, RefusesNullArguments) {
    const char *source = "x";
    tesra_series_t *out = nullptr;
    EXPECT_EQ(tesra_series_open(nullptr, 1, nullptr, &out), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_series_open(&source, 0, nullptr, &out), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_series_open(&source, 1, nullptr, nullptr), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(out, nullptr);
    tesra_series_member_t m{};
    EXPECT_EQ(tesra_series_get_member(nullptr, 0, &m), TESRA_INVALID_ARGUMENTS);
    tesra_series_close(nullptr);
}

}  // namespace
}  // namespace tesra::test
