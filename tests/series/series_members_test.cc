// Members of a series: which one answers for which times (gaps, overlaps, spans by contents),
// damaged and growing archives, and how many archives are open at once.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tesra/tesra_int_defs.h"

#include "series/series_fixture.h"
#include "series/series_internal.h"

namespace tesra::test {
namespace {

using SeriesMembers = SeriesTest;

// Every sample time of "volume" over the whole series as "minute/member".
std::vector<std::string> times(tesra_series_t *series) {
    uint64_t *t = nullptr;
    size_t *m = nullptr;
    size_t n = 0;
    std::vector<std::string> out;
    EXPECT_EQ(tesra_series_get_times(series, "volume", kMinute, 0, UINT64_MAX, &t, &m, &n),
              TESRA_SUCCESS);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(std::to_string((t[i] - kEpoch) / kMinute) + "/" + std::to_string(m[i]));
    }
    free(t);
    free(m);
    return out;
}

std::vector<std::string> minutes(uint64_t from, uint64_t to, size_t member) {
    std::vector<std::string> out;
    for (uint64_t i = from; i < to; ++i) {
        out.push_back(std::to_string(i) + "/" + std::to_string(member));
    }
    return out;
}

std::vector<std::string> join(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(SeriesMembers, GapsAndOverlapsAreReportedAndTheLaterIndexWins) {
    write({1, 0, 10});
    write({2, 15, 10});
    write({3, 20, 10});
    // Named [30, 40) but holding minutes 32..43: read by its contents.
    write({4, 32, 12, "node1", 30});
    ASSERT_EQ(open({dir_.path()}), TESRA_SUCCESS);

    const auto gaps = findings(TESRA_SERIES_GAP);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].from, kEpoch + 10 * kMinute);
    EXPECT_EQ(gaps[0].to, kEpoch + 15 * kMinute);
    const auto overlaps = findings(TESRA_SERIES_OVERLAP);
    ASSERT_EQ(overlaps.size(), 1u);
    EXPECT_EQ(overlaps[0].member, 1u);
    EXPECT_EQ(overlaps[0].other, 2u);
    EXPECT_EQ(overlaps[0].to, kEpoch + 25 * kMinute);

    EXPECT_EQ(times(series_), join({minutes(0, 10, 0), minutes(15, 20, 1), minutes(20, 30, 2),
                                    minutes(32, 44, 3)}));
    ASSERT_EQ(findings(TESRA_SERIES_SPAN_MISMATCH).size(), 1u);
    EXPECT_EQ(findings(TESRA_SERIES_SPAN_MISMATCH)[0].member, 3u);
    EXPECT_EQ(member(3).window_end, kEpoch + 44 * kMinute);
}

TEST_F(SeriesMembers, DamagedArchiveIsSkippedUnlessStrict) {
    // Either shows only when a call reads the archive: the series opens by names.
    for (const char *broken : {".meta", ".gz"}) {
        SCOPED_TRACE(broken);
        where_ = dir_.base(std::string("case") + broken);
        std::filesystem::create_directory(where_);
        write({1, 0, 5});
        const std::string bad = write({2, 5, 5});
        write({3, 10, 5});
        // Garbage metadata; a data stream cut short, as by an interrupted copy.
        auto bytes = read_file(bad + broken);
        bytes.resize(bytes.size() / 2);
        if (std::string(broken) == ".meta") bytes.assign(300, std::byte{'x'});
        write_file(bad + broken, bytes);

        ASSERT_EQ(open({where_}), TESRA_SUCCESS);
        tesra_series_query_t q{};
        q.object_name = "volume";
        q.key_filters = nullptr;
        // Whatever the cut archive still held whole may come first; the rest of the series
        // follows it.
        const auto all = rows(q);
        ASSERT_GE(all.size(), 20u);
        ASSERT_LT(all.size(), 30u);
        EXPECT_EQ(all.front(), row(0, 0, 0));
        EXPECT_EQ(all[all.size() - 10], row(10, 2, 0));
        EXPECT_EQ(all.back(), row(14, 2, 1));
        const auto damaged = findings(TESRA_SERIES_DAMAGED);
        ASSERT_EQ(damaged.size(), 1u);
        EXPECT_EQ(damaged[0].member, 1u);
        EXPECT_NE(std::string(damaged[0].message).find(bad), std::string::npos);
        // The rows read before the damage were handed out: the finding must not disown them.
        const bool rows_came = all.size() > 20;
        EXPECT_NE(std::string(damaged[0].message)
                      .find(rows_came ? "read up to the damage" : "archive skipped"),
                  std::string::npos)
            << damaged[0].message;
        EXPECT_EQ(member(1).state, TESRA_SERIES_MEMBER_DAMAGED);

        tesra_series_options_t strict{};
        strict.strict = 1;
        const tesra_error_t rc = open({where_}, strict);
        if (rc == TESRA_SUCCESS) {
            const auto cut = rows(q);
            ASSERT_LT(cut.size(), 21u) << "the walk ends at the damaged archive";
            EXPECT_EQ(cut.back().substr(0, 3), "rc ");
        }
        ASSERT_FALSE(findings(TESRA_SERIES_DAMAGED).empty());
        EXPECT_EQ(findings(TESRA_SERIES_DAMAGED)[0].is_error, 1);
    }
}

TEST_F(SeriesMembers, ArchiveStillBeingWrittenEndsTheSeries) {
    write({1, 0, 10});
    // A writer in the middle of its archive: records pushed out to the data stream, the
    // archive not closed.
    ArchiveSpec spec = ArchiveSpec::simple();
    spec.system.hostname = "node1";
    spec.system.base_time = kEpoch + 10 * kMinute;
    ArchiveBuilder writer(spec);
    ASSERT_EQ(writer.create(dir_.base("2_60_0000000000000_0000000")), TESRA_SUCCESS);
    ASSERT_EQ(writer.finalize(), TESRA_SUCCESS);
    for (uint64_t i = 0; i < 5; ++i) {
        const uint64_t t = spec.system.base_time + i * kMinute;
        Instances body;
        body.str("vol0", 16).u64(ops_at(t, 0)).str("vol1", 16).u64(ops_at(t, 1));
        ASSERT_EQ(writer.write(i * kMinute, 3, kMinute, body.bytes()), TESRA_SUCCESS);
    }
    ASSERT_EQ(gzflush(writer.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);

    ASSERT_EQ(open({dir_.path()}), TESRA_SUCCESS);
    ASSERT_EQ(tesra_series_member_count(series_), 2u);
    EXPECT_EQ(member(1).state, TESRA_SERIES_MEMBER_BEING_WRITTEN);
    EXPECT_EQ(member(1).window_end, UINT64_MAX);
    EXPECT_EQ(times(series_), join({minutes(0, 10, 0), minutes(10, 15, 1)}));
}

TEST_F(SeriesMembers, OnlyMembersInRangeAreOpenedAndFewAtOnce) {
    for (uint32_t i = 0; i < 12; ++i) write({i + 1, i * 5, 5});
    tesra_series_options_t opt{};
    opt.max_open = 2;
    ASSERT_EQ(open({dir_.path()}, opt), TESRA_SUCCESS);

    tesra_series_query_t q{};
    q.object_name = "volume";
    q.from = kEpoch + 22 * kMinute;
    q.to = kEpoch + 37 * kMinute;
    tesra_series_cursor_t *cursor = nullptr;
    ASSERT_EQ(tesra_series_query_values(series_, &q, &cursor), TESRA_SUCCESS);
    const tesra_series_row_t *r = nullptr;
    size_t count = 0;
    while (tesra_series_next_row(cursor, &r) == TESRA_SUCCESS && r != nullptr) ++count;
    tesra_series_free_cursor(cursor);
    EXPECT_EQ(count, 15u * 2);
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(member(i).contents_known, i >= 4 && i <= 7 ? 1 : 0) << "member " << i;
        // Besides those read, only the two ends had their metadata read, for the node.
        const bool read = (i >= 4 && i <= 7) || i == 0 || i == 11;
        EXPECT_EQ(member(i).hostname != nullptr, read) << "member " << i;
    }

    // A question over every member leaves no more of them open than allowed.
    tesra_series_catalogue_t *cat = nullptr;
    ASSERT_EQ(tesra_series_get_catalogue(series_, 0, UINT64_MAX, &cat), TESRA_SUCCESS);
    EXPECT_EQ(cat->num_members_read, 12u);
    tesra_series_free_catalogue(cat);
    EXPECT_EQ(static_cast<series::Series *>(series_)->cached(), 2u);
}

}  // namespace
}  // namespace tesra::test
