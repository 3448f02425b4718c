// Validation of caller definition records: which code a record gets, in check order.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

namespace {

const char *const kTwoLabels[] = {"a", "b"};
const char *const kSecondMissing[] = {"a", nullptr};

tesra_counter_def_t_v6_0 valid_counter() {
    tesra_counter_def_t_v6_0 d{};
    d.major_v = 6;
    d.name = "reads";
    d.desc = "read ops";
    d.priv = "basic";
    d.num_periods = 1;
    d.periods[0] = 60000;
    return d;
}

struct CounterCase {
    std::string name;
    std::function<void(tesra_counter_def_t_v6_0 &)> change;
    tesra_error_t expected;
};

class CounterValidation : public ::testing::TestWithParam<CounterCase> {};

TEST_P(CounterValidation, GivesExpectedCode) {
    tesra_counter_def_t_v6_0 d = valid_counter();
    GetParam().change(d);
    EXPECT_EQ(tesra_validate_counter_def_v6_0(&d), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases,
    CounterValidation,
    ::testing::Values(
        CounterCase{"Valid", [](auto &) {}, TESRA_SUCCESS},
        CounterCase{"NoName", [](auto &d) { d.name = nullptr; }, TESRA_NULL_POINTER},
        CounterCase{"NoDesc", [](auto &d) { d.desc = nullptr; }, TESRA_NULL_POINTER},
        // A missing string is reported before the period is looked at.
        CounterCase{"NoPrivAndBadPeriod",
                    [](auto &d) {
                        d.priv = nullptr;
                        d.periods[0] = 7000;
                    },
                    TESRA_NULL_POINTER},
        CounterCase{"TwoValidPeriods",
                    [](auto &d) {
                        d.num_periods = 2;
                        d.periods[1] = 300000;
                    },
                    TESRA_INVALID_ARGUMENTS},
        CounterCase{"NoPeriod", [](auto &d) { d.num_periods = 0; }, TESRA_INVALID_ARGUMENTS},
        CounterCase{"UnknownPeriod", [](auto &d) { d.periods[0] = 7000; }, TESRA_INVALID_ARGUMENTS},
        CounterCase{"PeriodBeforeLabels",
                    [](auto &d) {
                        d.periods[0] = 0;
                        d.num_x_items = 2;
                    },
                    TESRA_INVALID_ARGUMENTS},
        CounterCase{"NoXItemsNoLabels", [](auto &d) { d.num_x_items = 0; }, TESRA_SUCCESS},
        CounterCase{"XLabelsComplete",
                    [](auto &d) {
                        d.num_x_items = 2;
                        d.x_names = const_cast<const char **>(kTwoLabels);
                    },
                    TESRA_SUCCESS},
        CounterCase{"XLabelsArrayMissing", [](auto &d) { d.num_x_items = 2; }, TESRA_NULL_POINTER},
        CounterCase{"SecondXLabelMissing",
                    [](auto &d) {
                        d.num_x_items = 2;
                        d.x_names = const_cast<const char **>(kSecondMissing);
                    },
                    TESRA_NULL_POINTER},
        CounterCase{"SecondYLabelMissing",
                    [](auto &d) {
                        d.num_y_items = 2;
                        d.y_names = const_cast<const char **>(kSecondMissing);
                    },
                    TESRA_NULL_POINTER},
        // Validation does not look at the version pair.
        CounterCase{"VersionIgnored", [](auto &d) { d.major_v = 5; }, TESRA_SUCCESS}),
    [](const auto &param_info) { return param_info.param.name; });

tesra_query_def_t_v6_0 valid_query() {
    tesra_query_def_t_v6_0 q{};
    q.object_name = "volume";
    q.period = 60000;
    q.start_time = 10;
    q.end_time = 20;
    return q;
}

struct QueryCase {
    std::string name;
    std::function<void(tesra_query_def_t_v6_0 &)> change;
    tesra_error_t expected;
};

class QueryValidation : public ::testing::TestWithParam<QueryCase> {};

TEST_P(QueryValidation, GivesExpectedCode) {
    tesra_query_def_t_v6_0 q = valid_query();
    GetParam().change(q);
    EXPECT_EQ(tesra_validate_query_def_v6_0(&q), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases,
    QueryValidation,
    ::testing::Values(
        QueryCase{"Valid", [](auto &) {}, TESRA_SUCCESS},
        QueryCase{"EqualTimes", [](auto &q) { q.end_time = q.start_time; }, TESRA_SUCCESS},
        QueryCase{"StartAfterEnd", [](auto &q) { q.start_time = 21; }, TESRA_INVALID_TIMESTAMP},
        QueryCase{"PeriodZero", [](auto &q) { q.period = 0; }, TESRA_PERIOD_NOT_FOUND},
        // The period is checked before the time range.
        QueryCase{"BadPeriodAndTimes",
                  [](auto &q) {
                      q.period = 7000;
                      q.start_time = 99;
                  },
                  TESRA_PERIOD_NOT_FOUND},
        QueryCase{"NoObject", [](auto &q) { q.object_name = nullptr; }, TESRA_NULL_POINTER},
        QueryCase{"KeyNameMissing",
                  [](auto &q) {
                      q.num_key_cnts = 2;
                      q.key_cnt_names = const_cast<const char **>(kSecondMissing);
                      q.period = 0;
                  },
                  TESRA_NULL_POINTER},
        QueryCase{"CounterNamesMissing", [](auto &q) { q.num_cnts = 1; }, TESRA_NULL_POINTER},
        QueryCase{"CounterNamesComplete",
                  [](auto &q) {
                      q.num_cnts = 2;
                      q.cnt_names = const_cast<const char **>(kTwoLabels);
                  },
                  TESRA_SUCCESS}),
    [](const auto &param_info) { return param_info.param.name; });

TEST(Validation, NullRecordGivesNullPointerForEveryKind) {
    EXPECT_EQ(tesra_validate_system_def_v6_0(nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_validate_header_def_v6_0(nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_validate_attr_def_v6_0(nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_validate_object_def_v6_0(nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_validate_counter_def_v6_0(nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_validate_aggregation_def_v6_0(nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_validate_query_def_v6_0(nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_validate_directory_def_v6_0(nullptr), TESRA_NULL_POINTER);
}

TEST(Validation, SystemNeedsEveryTextField) {
    tesra_system_def_t_v6_0 s{0,    0,    1,    "9.1", "uuid", "host", "m",
                              "sn", "id", "cl", "cid", "proc", "store"};
    EXPECT_EQ(tesra_validate_system_def_v6_0(&s), TESRA_SUCCESS);
    using Field = const char *tesra_system_def_t_v6_0::*;
    const Field fields[] = {
        &tesra_system_def_t_v6_0::nelvo_version, &tesra_system_def_t_v6_0::node_uuid,
        &tesra_system_def_t_v6_0::hostname,      &tesra_system_def_t_v6_0::model,
        &tesra_system_def_t_v6_0::serial_number, &tesra_system_def_t_v6_0::system_id,
        &tesra_system_def_t_v6_0::cluster_name,  &tesra_system_def_t_v6_0::cluster_id,
        &tesra_system_def_t_v6_0::process_name,  &tesra_system_def_t_v6_0::store_name};
    for (size_t i = 0; i < std::size(fields); ++i) {
        tesra_system_def_t_v6_0 broken = s;
        broken.*fields[i] = nullptr;
        EXPECT_EQ(tesra_validate_system_def_v6_0(&broken), TESRA_NULL_POINTER) << "field " << i;
    }
}

TEST(Validation, SmallRecordsNeedTheirRequiredStrings) {
    tesra_header_def_t_v6_0 h{6, 0, 3, nullptr};
    EXPECT_EQ(tesra_validate_header_def_v6_0(&h), TESRA_NULL_POINTER);
    h.preset_version = "p1";
    EXPECT_EQ(tesra_validate_header_def_v6_0(&h), TESRA_SUCCESS);

    tesra_attribute_def_t_v6_0 a{6, 0, "n", 1, nullptr};
    EXPECT_EQ(tesra_validate_attr_def_v6_0(&a), TESRA_NULL_POINTER);
    a.desc = "d";
    EXPECT_EQ(tesra_validate_attr_def_v6_0(&a), TESRA_SUCCESS);

    tesra_object_def_t_v6_0 o{6, 0, "vol", 4, nullptr};
    EXPECT_EQ(tesra_validate_object_def_v6_0(&o), TESRA_NULL_POINTER);
    o.priv = "basic";
    EXPECT_EQ(tesra_validate_object_def_v6_0(&o), TESRA_SUCCESS);

    tesra_directory_def_t_v6_0 d{6, 0, nullptr, 0, 0, 0};
    EXPECT_EQ(tesra_validate_directory_def_v6_0(&d), TESRA_NULL_POINTER);
    char path[] = "/tmp";
    d.directory_path = path;
    EXPECT_EQ(tesra_validate_directory_def_v6_0(&d), TESRA_SUCCESS);
}

TEST(Validation, AggregationNameAndFilterAreOptional) {
    tesra_aggregation_def_t_v6_0 a{6, 0, "sum", nullptr, nullptr, 500, "inst", "uuid"};
    EXPECT_EQ(tesra_validate_aggregation_def_v6_0(&a), TESRA_SUCCESS);
    a.inst_uuid = nullptr;
    EXPECT_EQ(tesra_validate_aggregation_def_v6_0(&a), TESRA_NULL_POINTER);
    a.inst_uuid = "uuid";
    a.aggr_type = nullptr;
    EXPECT_EQ(tesra_validate_aggregation_def_v6_0(&a), TESRA_NULL_POINTER);
}

}  // namespace
