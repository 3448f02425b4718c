// Query creation: counter resolution, key filters, period lists, and what a failing or missing
// query does to the file's previous one.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/sample_archives.h"

namespace tesra::test {
namespace {

class Query : public SampleArchiveTest {
protected:
    tesra_query_def_t_v6_0 def(const char *object, uint64_t period) {
        tesra_query_def_t_v6_0 d{};
        tesra_set_latest_version(&d);
        d.object_name = object;
        d.start_time = kBase;
        d.end_time = kBase + 10000;
        d.period = period;
        return d;
    }
    void name_counters(tesra_query_def_t_v6_0 &d, std::vector<const char *> names) {
        names_ = std::move(names);
        d.num_cnts = static_cast<uint32_t>(names_.size());
        d.cnt_names = names_.data();
    }
    // Values of counter `name` for every instance at every timestamp, in order.
    std::vector<uint64_t> values(tesra_query_handle_t *q, const char *name) {
        std::vector<uint64_t> out;
        tesra_timestamp_handle_t *ts = nullptr;
        EXPECT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
        while (ts != nullptr) {
            tesra_instance_handle_t *inst = nullptr;
            EXPECT_EQ(tesra_first_instance(ts, &inst), TESRA_SUCCESS);
            while (inst != nullptr) {
                tesra_counter_handle_t *c = nullptr;
                tesra_counter_data_handle_t *cd = nullptr;
                EXPECT_EQ(tesra_find_counter_data(inst, name, &c, &cd), TESRA_SUCCESS);
                if (cd == nullptr) return out;
                out.push_back(cd->e6_0.value_type == TESRA_CNT_4BYTES ? cd->e6_0.values[0].val_4B
                                                                      : cd->e6_0.values[0].val_8B);
                EXPECT_EQ(tesra_next_instance(ts, &inst), TESRA_SUCCESS);
            }
            EXPECT_EQ(tesra_next_timestamp(q, &ts), TESRA_SUCCESS);
        }
        return out;
    }

    std::vector<const char *> names_;
};

TEST_F(Query, WithoutCounterNamesReadsEveryNonKeyCounterInIdOrder) {
    auto d = def("volume", 5000);
    tesra_query_handle_t *q = nullptr;
    ASSERT_EQ(tesra_query(file(), &d, &q), TESRA_SUCCESS);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(file()->i6_0.query, q);
    ASSERT_EQ(q->e6_0.num_cnts, 2u);
    EXPECT_STREQ(q->e6_0.cnt_names[0], "ops");
    EXPECT_STREQ(q->e6_0.cnt_names[1], "lat");
    EXPECT_STREQ(q->i6_0.counters[1]->e6_0.name, "lat");
    EXPECT_EQ(q->i6_0.num_timestamps, 3u);
}

TEST_F(Query, TwoPeriodValuesComeFromEachCountersOwnPeriod) {
    auto d = def("volume", 5000);
    name_counters(d, {"ops", "lat"});
    tesra_query_handle_t *q = nullptr;
    ASSERT_EQ(tesra_query(file(), &d, &q), TESRA_SUCCESS);
    ASSERT_EQ(q->i6_0.num_periods, 2u);
    EXPECT_EQ(q->i6_0.periods[0]->period, 1000u);
    EXPECT_EQ(q->i6_0.periods[1]->period, 5000u);
    // t=0: vol-a, vol-b; t=5000: vol-a only (vol-b has no 5000-ms sample); t=10000: both.
    EXPECT_EQ(values(q, "ops"), (std::vector<uint64_t>{0, 100, 5, 10, 110}));
    EXPECT_EQ(values(q, "lat"), (std::vector<uint64_t>{7, 50, 12, 17, 60}));
}

TEST_F(Query, KeyValuesFilterTheInstances) {
    auto d = def("volume", 1000);
    name_counters(d, {"ops"});
    const char *keys[] = {"name"};
    tesra_cnt_value_t v[1];
    v[0].val_str = "vol-b";
    tesra_counter_data_t_v6_0 key_values[] = {{TESRA_CNT_STRING, v, 1}};
    d.num_key_cnts = 1;
    d.key_cnt_names = keys;
    d.key_cnt_values = key_values;
    tesra_query_handle_t *q = nullptr;
    ASSERT_EQ(tesra_query(file(), &d, &q), TESRA_SUCCESS);
    const auto ops = values(q, "ops");
    ASSERT_EQ(ops.size(), 11u);
    for (size_t s = 0; s < ops.size(); ++s) EXPECT_EQ(ops[s], 100 + s);
}

TEST_F(Query, KeyValuesThatNoInstanceHoldsFailTheStepWhichThenMovesOn) {
    auto d = def("volume", 1000);
    const char *keys[] = {"name"};
    tesra_cnt_value_t v[1];
    v[0].val_str = "vol-z";
    tesra_counter_data_t_v6_0 key_values[] = {{TESRA_CNT_STRING, v, 1}};
    d.num_key_cnts = 1;
    d.key_cnt_names = keys;
    d.key_cnt_values = key_values;
    tesra_query_handle_t *q = nullptr;
    ASSERT_EQ(tesra_query(file(), &d, &q), TESRA_SUCCESS);
    tesra_timestamp_handle_t *ts = nullptr;
    EXPECT_EQ(tesra_first_timestamp(q, &ts), TESRA_INSTANCE_NOT_FOUND);
    EXPECT_EQ(ts, nullptr);
    EXPECT_EQ(q->i6_0.next_timestamp, 1u);
    EXPECT_EQ(tesra_next_timestamp(q, &ts), TESRA_INSTANCE_NOT_FOUND);
    EXPECT_EQ(q->i6_0.next_timestamp, 2u);
}

TEST_F(Query, RangeMissingTheArchiveLeavesThePreviousQueryUsable) {
    auto d = def("volume", 1000);
    name_counters(d, {"ops"});
    tesra_query_handle_t *first = nullptr;
    ASSERT_EQ(tesra_query(file(), &d, &first), TESRA_SUCCESS);
    for (auto [start, end] : {std::pair{kBase + 10001, kBase + 20000}, std::pair{0ul, kBase - 1}}) {
        auto miss = def("volume", 1000);
        miss.start_time = start;
        miss.end_time = end;
        tesra_query_handle_t *q = reinterpret_cast<tesra_query_handle_t *>(0x1);
        EXPECT_EQ(tesra_query(file(), &miss, &q), TESRA_SUCCESS);
        EXPECT_EQ(q, nullptr);
    }
    EXPECT_EQ(file()->i6_0.query, first);
    EXPECT_EQ(values(first, "ops").size(), 22u);
}

struct FailureCase {
    const char *name;
    const char *object;
    uint64_t period;
    std::vector<const char *> counters;
    const char *key;
    tesra_error_t expected;
    bool keeps_previous;
};

class QueryFailures : public Query, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(QueryFailures, GiveTheirOwnCode) {
    const auto &c = GetParam();
    auto good = def("volume", 1000);
    name_counters(good, {"ops"});
    tesra_query_handle_t *previous = nullptr;
    ASSERT_EQ(tesra_query(file(), &good, &previous), TESRA_SUCCESS);

    auto d = def(c.object, c.period);
    if (!c.counters.empty()) name_counters(d, c.counters);
    const char *keys[] = {c.key};
    tesra_cnt_value_t v[1];
    v[0].val_4B = 1;
    tesra_counter_data_t_v6_0 key_values[] = {{TESRA_CNT_4BYTES, v, 1}};
    if (c.key != nullptr) {
        d.num_key_cnts = 1;
        d.key_cnt_names = keys;
        d.key_cnt_values = key_values;
    }
    tesra_query_handle_t *q = reinterpret_cast<tesra_query_handle_t *>(0x1);
    EXPECT_EQ(tesra_query(file(), &d, &q), c.expected);
    EXPECT_EQ(q, nullptr);
    if (c.keeps_previous) {
        EXPECT_EQ(file()->i6_0.query, previous);
        EXPECT_EQ(values(previous, "ops").size(), 22u);
    } else {
        EXPECT_EQ(file()->i6_0.query, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Resolution,
    QueryFailures,
    ::testing::Values(
        FailureCase{"UnknownObject", "Volume", 1000, {}, nullptr, TESRA_OBJECT_NOT_FOUND, true},
        FailureCase{
            "UnknownCounter", "volume", 1000, {"ops", "iops"}, nullptr, TESRA_NULL_POINTER, false},
        FailureCase{
            "UnknownKeyCounter", "volume", 1000, {"ops"}, "id", TESRA_COUNTER_NOT_FOUND, false},
        FailureCase{
            "PeriodTheObjectLacks", "volume", 60000, {"ops"}, nullptr, TESRA_NULL_POINTER, false},
        FailureCase{
            "PeriodNotInTable", "volume", 7000, {"ops"}, nullptr, TESRA_PERIOD_NOT_FOUND, true}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(Query, ObjectWhoseCountersAreAllKeysHasNothingToRead) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec;
    ObjectSpec obj;
    obj.id = 4;
    obj.name = "keys";
    obj.counters = {make_counter(1, "k1", 0x0104, 4, {1000}, true),
                    make_counter(2, "k2", 0x0104, 4, {1000}, true)};
    spec.objects = {obj};
    ASSERT_EQ(write_archive(spec, base,
                            {{0, 4, 1000, Instances().u32(1).u32(2).bytes()},
                             {1000, 4, 1000, Instances().u32(1).u32(2).bytes()}}),
              TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    auto d = def("keys", 1000);
    tesra_query_handle_t *q = nullptr;
    EXPECT_EQ(tesra_query(archive.get(), &d, &q), TESRA_INVALID_QUERY);
    EXPECT_EQ(q, nullptr);
}

TEST_F(Query, OncePerArchiveQueryHasOneTimeAtTheArchiveStart) {
    tesra_query_def_t_v6_0 d = def("node", kOnce);
    tesra_query_handle_t *q = nullptr;
    ASSERT_EQ(tesra_query(file(), &d, &q), TESRA_SUCCESS);
    ASSERT_EQ(q->i6_0.num_timestamps, 1u);
    EXPECT_EQ(q->i6_0.timestamps[0], 0u);
    EXPECT_EQ(values(q, "boot"), (std::vector<uint64_t>{42}));
}

// The joined entry holds each period's part in list order; naming the once-per-archive counter
// first puts its part first, and each counter must still be read from its own part.
TEST_F(Query, OrderOfNamesDoesNotMoveACountersPart) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec;
    ObjectSpec obj;
    obj.id = 9;
    obj.name = "mix";
    obj.counters = {make_counter(1, "id", 0x0104, 4, {1000, kOnce}, true),
                    make_counter(2, "cfg", 0x0108, 8, {kOnce}),
                    make_counter(3, "rate", 0x0108, 8, {1000})};
    spec.objects = {obj};
    ASSERT_EQ(write_archive(spec, base,
                            {{0, 9, kOnce, Instances().u32(1).u64(77).bytes()},
                             {0, 9, 1000, Instances().u32(1).u64(5).bytes()},
                             {1000, 9, 1000, Instances().u32(1).u64(6).bytes()}}),
              TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    for (auto order : {std::vector<const char *>{"cfg", "rate"}, {"rate", "cfg"}}) {
        auto d = def("mix", 1000);
        name_counters(d, order);
        tesra_query_handle_t *q = nullptr;
        ASSERT_EQ(tesra_query(archive.get(), &d, &q), TESRA_SUCCESS) << order[0];
        EXPECT_EQ(values(q, "rate"), (std::vector<uint64_t>{5})) << order[0];
        EXPECT_EQ(values(q, "cfg"), (std::vector<uint64_t>{77})) << order[0];
    }
}

TEST_F(Query, EntryRefusesMissingArgumentsAndForeignVersions) {
    auto d = def("volume", 1000);
    auto *sentinel = reinterpret_cast<tesra_query_handle_t *>(0x1);
    tesra_query_handle_t *q = sentinel;
    EXPECT_EQ(tesra_query(nullptr, &d, &q), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_query(file(), nullptr, &q), TESRA_INVALID_ARGUMENTS);
    file()->major_v = 7;
    EXPECT_EQ(tesra_query(file(), &d, &q), TESRA_INVALID_VERSION);
    file()->major_v = 6;
    EXPECT_EQ(q, sentinel);
}

TEST_F(Query, SecondQueryReplacesTheFirstAndStepsAbandonedHalfWayAreReleased) {
    auto d = def("volume", 5000);
    name_counters(d, {"ops", "lat"});
    tesra_query_handle_t *q = nullptr;
    ASSERT_EQ(tesra_query(file(), &d, &q), TESRA_SUCCESS);
    tesra_timestamp_handle_t *ts = nullptr;
    ASSERT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
    tesra_instance_handle_t *inst = nullptr;
    ASSERT_EQ(tesra_first_instance(ts, &inst), TESRA_SUCCESS);
    tesra_counter_handle_t *c = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_first_counter_data(inst, &c, &cd), TESRA_SUCCESS);
    auto again = def("disk", 5000);
    tesra_query_handle_t *q2 = nullptr;
    ASSERT_EQ(tesra_query(file(), &again, &q2), TESRA_SUCCESS);
    EXPECT_EQ(file()->i6_0.query, q2);
    ASSERT_EQ(tesra_first_timestamp(q2, &ts), TESRA_SUCCESS);
    ASSERT_EQ(tesra_first_instance(ts, &inst), TESRA_SUCCESS);
    ASSERT_NE(inst, nullptr);
    // Closing with this walk open releases it (the sanitizer build checks).
}

}  // namespace
}  // namespace tesra::test
