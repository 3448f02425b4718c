// Values and the catalogue across archive boundaries: the same answers one archive gives, in
// time order, with counters that change between archives reported instead of merged.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "series/series_fixture.h"

namespace tesra::test {
namespace {

using SeriesValues = SeriesTest;

TEST_F(SeriesValues, ValuesAcrossBoundariesAreThoseOfEachArchive) {
    write({1, 0, 10});
    write({2, 10, 10});
    write({3, 20, 10});
    ASSERT_EQ(open({dir_.path()}), TESRA_SUCCESS);

    const char *counters[] = {"ops", "name"};  // a key counter named again adds no column
    const char *keys[] = {"name=vol1"};
    tesra_series_query_t q{};
    q.object_name = "volume";
    q.counter_names = counters;
    q.num_counters = 2;
    q.key_filters = keys;
    q.num_key_filters = 1;
    q.from = kEpoch + 5 * kMinute;
    q.to = kEpoch + 25 * kMinute;  // not included
    std::vector<std::string> expected;
    for (uint64_t minute = 5; minute < 25; ++minute) expected.push_back(row(minute, minute / 10, 1));
    EXPECT_EQ(rows(q), expected);

    tesra_series_cursor_t *cursor = nullptr;
    ASSERT_EQ(tesra_series_query_values(series_, &q, &cursor), TESRA_SUCCESS);
    const tesra_series_column_t *columns = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(tesra_series_cursor_columns(cursor, &columns, &n), TESRA_SUCCESS);
    ASSERT_EQ(n, 2u);
    EXPECT_STREQ(columns[0].name, "name");
    EXPECT_EQ(columns[0].value_type, TESRA_CNT_STRING);
    EXPECT_STREQ(columns[1].name, "ops");
    EXPECT_EQ(columns[1].value_type, TESRA_CNT_8BYTES);
    tesra_series_free_cursor(cursor);

    // Without filters and counters: every instance, every non-key counter.
    q.counter_names = nullptr;
    q.num_counters = 0;
    q.key_filters = nullptr;
    q.num_key_filters = 0;
    const auto all = rows(q);
    ASSERT_EQ(all.size(), 40u);
    EXPECT_EQ(all[10], row(10, 1, 0));
    EXPECT_EQ(all[11], row(10, 1, 1));

    // What the query cannot mean is refused before any row.
    const char *unknown[] = {"nope"};
    const char *bad_key[] = {"name"};
    tesra_series_query_t wrong = q;
    wrong.counter_names = unknown;
    wrong.num_counters = 1;
    EXPECT_EQ(rows(wrong), std::vector<std::string>{"rc " + std::to_string(TESRA_COUNTER_NOT_FOUND)});
    wrong = q;
    wrong.key_filters = bad_key;
    wrong.num_key_filters = 1;
    EXPECT_EQ(rows(wrong),
              std::vector<std::string>{"rc " + std::to_string(TESRA_INVALID_ARGUMENTS)});
    wrong = q;
    wrong.object_name = "cpu";
    EXPECT_EQ(rows(wrong),
              std::vector<std::string>{"rc " + std::to_string(TESRA_OBJECT_NOT_FOUND)});
}

TEST_F(SeriesValues, CountersThatChangeAreReportedNotMerged) {
    write({1, 0, 5});
    MemberSpec narrow{2, 5, 5};
    narrow.ops32 = true;
    write(narrow);
    MemberSpec extra{3, 10, 5};
    extra.ops32 = true;
    extra.with_lat = true;
    write(extra);
    ASSERT_EQ(open({dir_.path()}), TESRA_SUCCESS);

    tesra_series_catalogue_t *cat = nullptr;
    ASSERT_EQ(tesra_series_get_catalogue(series_, 0, UINT64_MAX, &cat), TESRA_SUCCESS);
    ASSERT_EQ(cat->num_objects, 1u);
    EXPECT_EQ(cat->num_members_read, 3u);
    const tesra_series_object_t &volume = cat->objects[0];
    EXPECT_STREQ(volume.name, "volume");
    ASSERT_EQ(volume.num_counters, 3u);
    EXPECT_STREQ(volume.counters[1].name, "ops");
    EXPECT_EQ(volume.counters[1].changed, 1);
    EXPECT_EQ(volume.counters[1].size, 8u) << "the first archive's definition";
    EXPECT_STREQ(volume.counters[2].name, "lat");
    EXPECT_EQ(volume.counters[2].num_members, 1u);
    EXPECT_EQ(volume.counters[2].first_member, 2u);
    tesra_series_free_catalogue(cat);
    const auto changes = findings(TESRA_SERIES_DEFINITION_CHANGE);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].member, 1u);
    EXPECT_EQ(changes[1].member, 2u);

    // Values of the first archive, then the walk stops where "ops" changes its width.
    tesra_series_query_t q{};
    q.object_name = "volume";
    const auto got = rows(q);
    ASSERT_EQ(got.size(), 11u);
    EXPECT_EQ(got[9], row(4, 0, 1));
    EXPECT_EQ(got[10], "rc " + std::to_string(TESRA_COUNTER_MISMATCH));

    // From the second archive on, "ops" is 4 bytes wide; "lat" is empty where it is missing.
    const char *counters[] = {"ops", "lat"};
    q.from = kEpoch + 9 * kMinute;
    q.to = kEpoch + 11 * kMinute;
    q.counter_names = counters;
    q.num_counters = 2;
    EXPECT_EQ(rows(q), (std::vector<std::string>{row(9, 1, 0) + " -", row(9, 1, 1) + " -",
                                                 row(10, 2, 0) + " 7", row(10, 2, 1) + " 7"}));
}

}  // namespace
}  // namespace tesra::test
