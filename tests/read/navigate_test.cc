// Navigating an opened header: walks and their cursors, lookups, periods, counter types,
// refusals by the entries, and the periods a query reads.
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/reader_test_support.h"

namespace tesra::test {
namespace {

class NavigateTest : public ::testing::Test {
protected:
    void SetUp() override {
        ArchiveSpec spec;
        ObjectSpec disk;
        disk.id = 4;
        disk.name = "disk";
        CounterSpec key;
        key.id = 1;
        key.name = "key";
        key.is_key = true;
        CounterSpec c3;
        c3.id = 3;
        c3.name = "c3";
        c3.ctype = 0x00012008;
        c3.periods = {300000, 60000};
        CounterSpec c7;
        c7.id = 7;
        c7.name = "c7";
        CounterSpec c12;
        c12.id = 12;
        c12.name = "c12";
        c12.periods = {300000};
        disk.counters = {c12, c3, key, c7};
        ObjectSpec lun;
        lun.id = 2;
        lun.name = "lun";
        lun.counters = {CounterSpec{}};
        spec.objects = {disk, lun};
        const std::string base = dir.base(kFinishedName);
        ASSERT_EQ(write_archive(spec, base,
                                {{60000, 4, 60000, std::vector<std::byte>(24)},
                                 {300000, 4, 300000, std::vector<std::byte>(24)}}),
                  TESRA_SUCCESS);
        ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
        header = archive.header();
        ASSERT_EQ(tesra_find_object(header, "disk", &disk_), TESRA_SUCCESS);
    }

    std::vector<uint32_t> walk_counters() {
        std::vector<uint32_t> ids;
        tesra_counter_handle_t *c = nullptr;
        EXPECT_EQ(tesra_first_counter(disk_, &c), TESRA_SUCCESS);
        while (c != nullptr) {
            ids.push_back(c->e6_0.cnt_id);
            EXPECT_EQ(tesra_next_counter(disk_, &c), TESRA_SUCCESS);
        }
        return ids;
    }

    TempDir dir;
    OpenedArchive archive;
    tesra_header_handle_t *header = nullptr;
    tesra_object_handle_t *disk_ = nullptr;
};

TEST_F(NavigateTest, NextObjectBeforeFirstLeavesTheVariableAlone) {
    header->i6_0.current_object = nullptr;
    auto *sentinel = reinterpret_cast<tesra_object_handle_t *>(0x1);
    tesra_object_handle_t *o = sentinel;
    EXPECT_EQ(tesra_next_object(header, &o), TESRA_SUCCESS);
    EXPECT_EQ(o, sentinel);
}

TEST_F(NavigateTest, ObjectWalkIsInAscendingIdAndEndsInSuccessWithNull) {
    tesra_object_handle_t *o = nullptr;
    ASSERT_EQ(tesra_first_object(header, &o), TESRA_SUCCESS);
    ASSERT_NE(o, nullptr);
    EXPECT_STREQ(o->e6_0.name, "lun");
    ASSERT_EQ(tesra_next_object(header, &o), TESRA_SUCCESS);
    EXPECT_STREQ(o->e6_0.name, "disk");
    ASSERT_EQ(tesra_next_object(header, &o), TESRA_SUCCESS);
    EXPECT_EQ(o, nullptr);
    ASSERT_EQ(tesra_next_object(header, &o), TESRA_SUCCESS);
    EXPECT_EQ(o, nullptr);
}

TEST_F(NavigateTest, CounterWalkYieldsEveryCounterInAscendingId) {
    EXPECT_EQ(walk_counters(), (std::vector<uint32_t>{1, 3, 7, 12}));
    tesra_counter_handle_t *c = nullptr;
    EXPECT_EQ(tesra_next_counter(disk_, &c), TESRA_SUCCESS);
    EXPECT_EQ(c, nullptr);
}

TEST_F(NavigateTest, FindPositionsTheWalkAndAFailedFindClearsIt) {
    tesra_counter_handle_t *c = nullptr;
    ASSERT_EQ(tesra_find_counter_by_id(disk_, 7, &c), TESRA_SUCCESS);
    ASSERT_EQ(tesra_next_counter(disk_, &c), TESRA_SUCCESS);
    EXPECT_EQ(c->e6_0.cnt_id, 12u);

    ASSERT_EQ(tesra_find_counter_by_name(disk_, "c3", &c), TESRA_SUCCESS);
    ASSERT_EQ(tesra_next_counter(disk_, &c), TESRA_SUCCESS);
    EXPECT_EQ(c->e6_0.cnt_id, 7u);

    EXPECT_EQ(tesra_find_counter_by_id(disk_, 8, &c), TESRA_COUNTER_NOT_FOUND);
    EXPECT_EQ(c, nullptr);
    auto *sentinel = reinterpret_cast<tesra_counter_handle_t *>(0x1);
    c = sentinel;
    EXPECT_EQ(tesra_next_counter(disk_, &c), TESRA_SUCCESS);
    EXPECT_EQ(c, sentinel);

    EXPECT_EQ(tesra_find_counter_by_name(disk_, "C3", &c), TESRA_COUNTER_NOT_FOUND);
    EXPECT_EQ(disk_->i6_0.current_cnt, nullptr);
}

TEST_F(NavigateTest, ObjectLookupIsCaseSensitiveAndClearsTheCursorOnFailure) {
    tesra_object_handle_t *o = nullptr;
    EXPECT_EQ(tesra_find_object(header, "DISK", &o), TESRA_OBJECT_NOT_FOUND);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(header->i6_0.current_object, nullptr);
    ASSERT_EQ(tesra_find_object(header, "lun", &o), TESRA_SUCCESS);
    ASSERT_EQ(tesra_next_object(header, &o), TESRA_SUCCESS);
    EXPECT_STREQ(o->e6_0.name, "disk");
}

TEST_F(NavigateTest, InternalLookupsLeaveTheCursorAlone) {
    tesra_counter_handle_t *c = nullptr;
    ASSERT_EQ(tesra_first_counter(disk_, &c), TESRA_SUCCESS);
    ASSERT_EQ(tesra_find_counter_by_id_v6_0(disk_, 12, &c, false), TESRA_SUCCESS);
    EXPECT_EQ(tesra_find_counter_by_id_v6_0(disk_, 99, &c, false), TESRA_COUNTER_NOT_FOUND);
    ASSERT_EQ(tesra_next_counter(disk_, &c), TESRA_SUCCESS);
    EXPECT_EQ(c->e6_0.cnt_id, 3u);
}

TEST_F(NavigateTest, WalkByPeriodYieldsOnlyThatPeriodsNonKeyCounters) {
    for (const auto &[period, expected] : {std::pair{uint64_t{60000}, std::vector<uint32_t>{3, 7}},
                                           {uint64_t{300000}, std::vector<uint32_t>{3, 12}}}) {
        std::vector<uint32_t> ids;
        tesra_counter_handle_t *c = nullptr;
        ASSERT_EQ(tesra_first_counter_by_period(disk_, period, &c), TESRA_SUCCESS);
        while (c != nullptr) {
            ids.push_back(c->e6_0.cnt_id);
            ASSERT_EQ(tesra_next_counter_by_period(disk_, period, &c), TESRA_SUCCESS);
        }
        EXPECT_EQ(ids, expected) << period;
    }
}

TEST_F(NavigateTest, WalkByPeriodRefusesPeriodsTheObjectDoesNotHave) {
    auto *sentinel = reinterpret_cast<tesra_counter_handle_t *>(0x1);
    tesra_counter_handle_t *c = sentinel;
    EXPECT_EQ(tesra_first_counter_by_period(disk_, 5000, &c), TESRA_PERIOD_NOT_FOUND);
    EXPECT_EQ(c, nullptr);
    c = sentinel;
    EXPECT_EQ(tesra_next_counter_by_period(disk_, 7000, &c), TESRA_PERIOD_NOT_FOUND);
    EXPECT_EQ(c, nullptr);
    c = sentinel;
    EXPECT_EQ(tesra_next_counter_by_period(disk_, 5000, &c), TESRA_PERIOD_NOT_FOUND);
    EXPECT_EQ(c, nullptr);
}

TEST_F(NavigateTest, ObjectWithoutCountersSucceedsWithNullForAnyPeriod) {
    tesra_object_handle_t empty{};
    empty.major_v = 6;
    tesra_counter_handle_t *c = reinterpret_cast<tesra_counter_handle_t *>(0x1);
    EXPECT_EQ(tesra_first_counter_by_period(&empty, 7000, &c), TESRA_SUCCESS);
    EXPECT_EQ(c, nullptr);
}

TEST_F(NavigateTest, ObjectPeriodsComeBackAscendingInACallerOwnedArray) {
    uint64_t *periods = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(tesra_get_object_periods(disk_, &periods, &n), TESRA_SUCCESS);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(periods[0], 60000u);
    EXPECT_EQ(periods[1], 300000u);
    std::free(periods);

    tesra_object_handle_t empty{};
    empty.major_v = 6;
    periods = reinterpret_cast<uint64_t *>(0x1);
    ASSERT_EQ(tesra_get_object_periods(&empty, &periods, &n), TESRA_SUCCESS);
    EXPECT_EQ(periods, nullptr);
    EXPECT_EQ(n, 0u);
}

TEST_F(NavigateTest, ObjectPeriodsOfABrokenListGiveNullPointer) {
    tesra_object_handle_t broken{};
    broken.major_v = 6;
    broken.i6_0.num_periods = 3;
    broken.i6_0.period_list = disk_->i6_0.period_list;  // only two entries
    uint64_t *periods = reinterpret_cast<uint64_t *>(0x1);
    uint32_t n = 0;
    EXPECT_EQ(tesra_get_object_periods(&broken, &periods, &n), TESRA_NULL_POINTER);
    EXPECT_EQ(periods, nullptr);
    EXPECT_EQ(n, 3u);
}

TEST_F(NavigateTest, CounterTypeSplitsCtypeInPlace) {
    tesra_counter_handle_t *c = nullptr;
    ASSERT_EQ(tesra_find_counter_by_id(disk_, 3, &c), TESRA_SUCCESS);
    tesra_cnt_size_t size = 0;
    tesra_cnt_type_t type = 0;
    tesra_cnt_unit_t unit = 0;
    ASSERT_EQ(tesra_get_counter_type(c, &size, &type, &unit), TESRA_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, 0x2000u);
    EXPECT_EQ(unit, 0x10000u);
}

TEST_F(NavigateTest, FileInfoCopiesTheFileDefinition) {
    tesra_file_def_t_v6_0 info{};
    ASSERT_EQ(tesra_get_file_info(archive.get(), &info), TESRA_SUCCESS);
    EXPECT_STREQ(info.meta_path, archive.meta_path());
    EXPECT_EQ(info.file_index, 5u);
    EXPECT_EQ(info.start_time, archive->e6_0.start_time);
    tesra_header_handle_t *h = nullptr;
    ASSERT_EQ(tesra_get_header(archive.get(), &h), TESRA_SUCCESS);
    EXPECT_EQ(h, header);
}

TEST_F(NavigateTest, HandleWithoutDataStreamGivesFileNotFound) {
    tesra_file_handle_t closed{};
    closed.major_v = 6;
    tesra_header_handle_t *h = nullptr;
    tesra_file_def_t_v6_0 info{};
    EXPECT_EQ(tesra_get_header(&closed, &h), TESRA_FILE_NOT_FOUND);
    EXPECT_EQ(tesra_get_file_info(&closed, &info), TESRA_FILE_NOT_FOUND);
}

// Each public entry refuses a null handle and a handle of another major version, leaving its
// out-parameter as it was.
struct EntryCase {
    const char *name;
    std::function<tesra_error_t(void *handle, void **out)> call;
};

class NavigateEntryTest : public NavigateTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(NavigateEntryTest, NullAndWrongVersionHandlesAreRefusedWithoutTouchingOutput) {
    void *sentinel = reinterpret_cast<void *>(0x1);
    void *out = sentinel;
    EXPECT_EQ(GetParam().call(nullptr, &out), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(out, sentinel);
    // A zeroed buffer large enough for any handle, stamped version 5.0.
    std::vector<std::byte> fake(4096);
    reinterpret_cast<uint32_t *>(fake.data())[0] = 5;
    EXPECT_EQ(GetParam().call(fake.data(), &out), TESRA_INVALID_VERSION);
    EXPECT_EQ(out, sentinel);
}

template <class H, class O>
auto as(void *h, void **out) {
    return std::pair{static_cast<H *>(h), reinterpret_cast<O **>(out)};
}

const EntryCase kEntries[] = {
    {"GetHeader",
     [](void *h, void **o) {
         auto [f, out] = as<tesra_file_handle_t, tesra_header_handle_t>(h, o);
         return tesra_get_header(f, out);
     }},
    {"FindObject",
     [](void *h, void **o) {
         auto [hd, out] = as<tesra_header_handle_t, tesra_object_handle_t>(h, o);
         return tesra_find_object(hd, "disk", out);
     }},
    {"FirstObject",
     [](void *h, void **o) {
         auto [hd, out] = as<tesra_header_handle_t, tesra_object_handle_t>(h, o);
         return tesra_first_object(hd, out);
     }},
    {"NextObject",
     [](void *h, void **o) {
         auto [hd, out] = as<tesra_header_handle_t, tesra_object_handle_t>(h, o);
         return tesra_next_object(hd, out);
     }},
    {"FindCounterById",
     [](void *h, void **o) {
         auto [ob, out] = as<tesra_object_handle_t, tesra_counter_handle_t>(h, o);
         return tesra_find_counter_by_id(ob, 1, out);
     }},
    {"FindCounterByName",
     [](void *h, void **o) {
         auto [ob, out] = as<tesra_object_handle_t, tesra_counter_handle_t>(h, o);
         return tesra_find_counter_by_name(ob, "key", out);
     }},
    {"FirstCounter",
     [](void *h, void **o) {
         auto [ob, out] = as<tesra_object_handle_t, tesra_counter_handle_t>(h, o);
         return tesra_first_counter(ob, out);
     }},
    {"NextCounter",
     [](void *h, void **o) {
         auto [ob, out] = as<tesra_object_handle_t, tesra_counter_handle_t>(h, o);
         return tesra_next_counter(ob, out);
     }},
    {"FirstCounterByPeriod",
     [](void *h, void **o) {
         auto [ob, out] = as<tesra_object_handle_t, tesra_counter_handle_t>(h, o);
         return tesra_first_counter_by_period(ob, 60000, out);
     }},
    {"NextCounterByPeriod",
     [](void *h, void **o) {
         auto [ob, out] = as<tesra_object_handle_t, tesra_counter_handle_t>(h, o);
         return tesra_next_counter_by_period(ob, 60000, out);
     }},
    {"ObjectPeriods",
     [](void *h, void **o) {
         uint32_t n = 0;
         auto [ob, out] = as<tesra_object_handle_t, uint64_t>(h, o);
         return tesra_get_object_periods(ob, out, &n);
     }},
};

INSTANTIATE_TEST_SUITE_P(Entries,
                         NavigateEntryTest,
                         ::testing::ValuesIn(kEntries),
                         [](const auto &row) { return std::string(row.param.name); });

// ---- periods a query reads ------------------------------------------------------------------

TEST_F(NavigateTest, QueryReadsEachCounterAtItsSmallestPeriod) {
    tesra_counter_handle_t *c3 = nullptr, *c12 = nullptr, *c7 = nullptr;
    ASSERT_EQ(tesra_find_counter_by_id(disk_, 3, &c3), TESRA_SUCCESS);
    ASSERT_EQ(tesra_find_counter_by_id(disk_, 12, &c12), TESRA_SUCCESS);
    ASSERT_EQ(tesra_find_counter_by_id(disk_, 7, &c7), TESRA_SUCCESS);
    tesra_counter_handle_t *counters[] = {c3, c7, c12};
    tesra_query_handle_t query{};
    query.major_v = 6;
    query.e6_0.num_cnts = 3;
    query.e6_0.period = 1000;  // plays no part unless it is the once-per-archive period
    query.i6_0.counters = counters;
    ASSERT_EQ(tesra_get_counters_periods_v6_0(&query), TESRA_SUCCESS);
    ASSERT_EQ(query.i6_0.num_periods, 2u);
    EXPECT_EQ(query.i6_0.periods[0]->period, 60000u);
    EXPECT_EQ(query.i6_0.periods[1]->period, 300000u);
    std::free(query.i6_0.periods);

    query.e6_0.period = TESRA_ONCE_PER_ARCHIVE_PERIOD;
    query.i6_0.periods = nullptr;
    EXPECT_EQ(tesra_get_counters_periods_v6_0(&query), TESRA_PERIOD_NOT_FOUND);
    EXPECT_EQ(query.i6_0.periods, nullptr);
}

}  // namespace
}  // namespace tesra::test
