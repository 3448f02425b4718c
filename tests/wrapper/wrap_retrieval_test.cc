// The retrieval calls against archives written by the writer library: results, error text,
// system-log messages, and the release calls.
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tesra/tesra_wrapper_header.h"
#include "close_failure.h"
#include "wrapper_archives.h"

namespace tesra::test {
namespace {

using ::testing::ElementsAre;

std::string take_error(char *error) {
    std::string text = error != nullptr ? error : "";
    std::free(error);
    return text;
}

// ---- version --------------------------------------------------------------------------------

TEST_F(WrapperTest, VersionIsTheArchiveFormatVersion) {
    for (uint32_t minor : {0u, 1u}) {
        const std::string base = write(volume_spec(minor), volume_records(),
                                       "1_300_1000000000000_90000" + std::to_string(minor));
        char *error = reinterpret_cast<char *>(1);
        const tesra_wrapper_file_version v = get_tesra_file_version(base.c_str(), &error);
        EXPECT_EQ(v.major_v, 6u);
        EXPECT_EQ(v.minor_v, minor);
        EXPECT_EQ(error, nullptr);
        EXPECT_TRUE(log_messages().empty());
    }
}

TEST_F(WrapperTest, VersionOfArchiveWithoutMetaFileIsTheSentinelWithLabelAndLogLine) {
    const std::string base = write(volume_spec(1), volume_records());
    ASSERT_EQ(unlink((base + ".meta").c_str()), 0);

    char *error = nullptr;
    const tesra_wrapper_file_version v = get_tesra_file_version(base.c_str(), &error);
    EXPECT_EQ(v.major_v, 0xFFFFFFFFu);
    EXPECT_EQ(v.minor_v, 0xFFFFFFFFu);
    EXPECT_EQ(std::string(error), "TESRA_FILE_NOT_FOUND");
    free_tesra_file_version(error);

    // The whole frame: mask, open, one error message, close.
    const auto &events = log_events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].call, LogCall::kSetMask);
    EXPECT_EQ(events[0].mask, LOG_UPTO(LOG_NOTICE));
    EXPECT_EQ(events[1].call, LogCall::kOpen);
    EXPECT_EQ(events[1].ident, "tesra_wrapper_get_timestamps");
    EXPECT_EQ(events[1].option, LOG_PID | LOG_CONS | LOG_NDELAY);
    EXPECT_EQ(events[1].facility, LOG_LOCAL1);
    EXPECT_EQ(events[2].call, LogCall::kMessage);
    EXPECT_EQ(events[2].priority, LOG_ERR);
    EXPECT_EQ(events[2].ident, "tesra_wrapper_get_timestamps");
    EXPECT_EQ(events[2].text, "Error opening file: " + base + ", error : TESRA_FILE_NOT_FOUND\n");
    EXPECT_EQ(events[3].call, LogCall::kClose);
}

TEST_F(WrapperTest, NullPathIsRefusedWithoutReachingTheReader) {
    char *error = nullptr;
    const tesra_wrapper_file_version v = get_tesra_file_version(nullptr, &error);
    EXPECT_EQ(v.major_v, FILE_VERSION_ERROR);
    EXPECT_EQ(take_error(error), "TESRA_INVALID_ARGUMENTS");
    EXPECT_THAT(message_texts(),
                ElementsAre("Error opening file: (null), error : TESRA_INVALID_ARGUMENTS\n"));
}

// ---- periods --------------------------------------------------------------------------------

TEST_F(WrapperTest, PeriodsOfAnObjectAscending) {
    const std::string base = write(volume_spec(1), volume_records());
    uint64_t *periods = nullptr;
    uint32_t count = 99;
    char *error = nullptr;
    ASSERT_TRUE(get_periods_list(base.c_str(), "volume", &periods, &count, &error));
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(periods[0], kMinute);
    EXPECT_EQ(periods[1], kFiveMinutes);
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(log_messages().empty());
    free_tesra_wrapper_periods_data(periods, error);
}

TEST_F(WrapperTest, PeriodsOfAnUnknownObjectFailWithItsNameInTheLog) {
    const std::string base = write(volume_spec(1), volume_records());
    uint64_t *periods = reinterpret_cast<uint64_t *>(1);
    uint32_t count = 7;
    char *error = nullptr;
    EXPECT_FALSE(get_periods_list(base.c_str(), "nosuch", &periods, &count, &error));
    EXPECT_EQ(periods, nullptr);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(std::string(error), "TESRA_OBJECT_NOT_FOUND");
    EXPECT_THAT(message_texts(),
                ElementsAre("Couldn't get the object error : TESRA_OBJECT_NOT_FOUND, object : "
                            "nosuch for file : " +
                            base));
    EXPECT_EQ(log_messages()[0].ident, "tesra_wrapper_get_timestamps");
    free_tesra_wrapper_periods_data(periods, error);
}

TEST_F(WrapperTest, FailingCloseIsLoggedAfterASuccessAndAfterAFailure) {
    const std::string base = write(volume_spec(1), volume_records());
    uint64_t *periods = nullptr;
    uint32_t count = 0;
    char *error = nullptr;
    fail_next_stream_close();
    EXPECT_FALSE(get_periods_list(base.c_str(), "volume", &periods, &count, &error));
    EXPECT_EQ(std::string(error), "TESRA_CLOSE_FILE_FAILED");
    EXPECT_THAT(message_texts(),
                ElementsAre("Error closing file: " + base + ", error : TESRA_CLOSE_FILE_FAILED\n"));
    free_tesra_wrapper_periods_data(periods, error);

    // After a failing step the step's code is the one reported; the close only adds its line.
    clear_log();
    periods = nullptr;
    error = nullptr;
    fail_next_stream_close();
    EXPECT_FALSE(get_periods_list(base.c_str(), "nosuch", &periods, &count, &error));
    EXPECT_EQ(std::string(error), "TESRA_OBJECT_NOT_FOUND");
    const auto texts = message_texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], "\nCould not close kelb data file handler, error : "
                        "TESRA_CLOSE_FILE_FAILED for file : " + base);
    free_tesra_wrapper_periods_data(periods, error);
}

TEST_F(WrapperTest, MissingOutParametersAreRefused) {
    char *error = nullptr;
    uint32_t count = 0;
    EXPECT_FALSE(get_periods_list("x", "volume", nullptr, &count, &error));
    EXPECT_EQ(take_error(error), "TESRA_INVALID_ARGUMENTS");
    uint64_t *list = nullptr;
    EXPECT_FALSE(get_timestamp_list("x", kMinute, "volume", &list, nullptr, &error));
    EXPECT_EQ(take_error(error), "TESRA_INVALID_ARGUMENTS");
    EXPECT_FALSE(get_counter_values_for_timestamp(
        "x", kBase, kMinute, "volume", nullptr, &count, nullptr, &count, &error));
    EXPECT_EQ(take_error(error), "TESRA_INVALID_ARGUMENTS");
}

// ---- timestamps -----------------------------------------------------------------------------

TEST_F(WrapperTest, TimestampsAtEachPeriodAreAbsoluteSampleTimes) {
    const std::string base = write(volume_spec(1), volume_records());
    uint64_t *list = nullptr;
    uint32_t count = 0;
    char *error = nullptr;
    ASSERT_TRUE(get_timestamp_list(base.c_str(), kMinute, "volume", &list, &count, &error));
    std::vector<uint64_t> minutes(list, list + count);
    EXPECT_THAT(minutes,
                ElementsAre(kBase, kBase + kMinute, kBase + 2 * kMinute, kBase + 3 * kMinute,
                            kBase + 4 * kMinute, kBase + 5 * kMinute));
    free_tesra_wrapper_timestamps_data(list, error);

    ASSERT_TRUE(get_timestamp_list(base.c_str(), kFiveMinutes, "volume", &list, &count, &error));
    std::vector<uint64_t> fives(list, list + count);
    EXPECT_THAT(fives, ElementsAre(kBase, kBase + kFiveMinutes));
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(log_messages().empty());
    free_tesra_wrapper_timestamps_data(list, error);
}

TEST_F(WrapperTest, TimestampsAtAPeriodTheObjectIsNotSampledAtFail) {
    const std::string base = write(volume_spec(1), volume_records());
    uint64_t *list = nullptr;
    uint32_t count = 42;
    char *error = nullptr;
    EXPECT_FALSE(get_timestamp_list(base.c_str(), 5000, "volume", &list, &count, &error));
    EXPECT_EQ(std::string(error), "TESRA_PERIOD_NOT_FOUND");
    EXPECT_EQ(count, 42u);
    EXPECT_THAT(message_texts(),
                ElementsAre("Couldn't get the counter information, error: TESRA_PERIOD_NOT_FOUND, "
                            "object : volume for file : " +
                            base));
    free_tesra_wrapper_timestamps_data(list, error);
}

// ---- counter values -------------------------------------------------------------------------

struct CounterValues {
    tesra_wrapper_counter_data_t *data = nullptr;
    uint32_t count = 0;
    counter_wrapper_headers *headers = nullptr;
    uint32_t header_count = 0;
    char *error = nullptr;
    bool ok = false;

    CounterValues(const std::string &base, uint64_t time, uint64_t period, const char *object) {
        ok = get_counter_values_for_timestamp(
            base.c_str(), time, period, object, &data, &count, &headers, &header_count, &error);
    }
    ~CounterValues() { free_tesra_wrapper_counter_data(data, count, headers, header_count, error); }
    CounterValues(const CounterValues &) = delete;
    CounterValues &operator=(const CounterValues &) = delete;
};

TEST_F(WrapperTest, CounterValuesAtASampleTimeCoverEveryInstanceAsCopies) {
    const std::string base = write(volume_spec(1), volume_records());
    const CounterValues r(base, kBase + 2 * kMinute, kMinute, "volume");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.error, nullptr);
    EXPECT_TRUE(log_messages().empty());

    ASSERT_EQ(r.header_count, 2u);
    EXPECT_EQ(r.headers[0].counter_id, 1u);
    EXPECT_STREQ(r.headers[0].counter_name, "name");
    EXPECT_EQ(r.headers[1].counter_id, 2u);
    EXPECT_STREQ(r.headers[1].counter_name, "ops");

    // Read after the archive was closed: every string is the caller's own copy.
    ASSERT_EQ(r.count, 3u);
    const char *names[] = {"vol-a", "vol-b", "vol-c"};
    for (uint32_t i = 0; i < 3; ++i) {
        const tesra_wrapper_counter_data_t &entry = r.data[i];
        EXPECT_EQ(entry.index, i);
        ASSERT_EQ(entry.num_of_counters_count, 2u);
        ASSERT_EQ(entry.counter_values[0].value_type, TESRA_CNT_STRING);
        ASSERT_EQ(entry.counter_values[0].num_values, 1u);
        EXPECT_STREQ(entry.counter_values[0].values[0].val_str, names[i]);
        ASSERT_EQ(entry.counter_values[1].value_type, TESRA_CNT_8BYTES);
        ASSERT_EQ(entry.counter_values[1].num_values, 1u);
        EXPECT_EQ(entry.counter_values[1].values[0].val_8B, 10u * (i + 1) + 2);
    }
}

TEST_F(WrapperTest, CounterValuesOfTheLongerPeriodComeFromItsRecords) {
    const std::string base = write(volume_spec(0), volume_records());
    const CounterValues r(base, kBase + kFiveMinutes, kFiveMinutes, "volume");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.header_count, 2u);
    EXPECT_STREQ(r.headers[1].counter_name, "lat");
    ASSERT_EQ(r.count, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(r.data[i].num_of_counters_count, 2u);
        EXPECT_EQ(r.data[i].counter_values[1].value_type, TESRA_CNT_4BYTES);
        EXPECT_EQ(r.data[i].counter_values[1].values[0].val_4B, 105u);
    }
}

TEST_F(WrapperTest, CounterValuesBetweenSampleTimesAreEmptyButSucceed) {
    const std::string base = write(volume_spec(1), volume_records());
    const CounterValues r(base, kBase + kMinute / 2, kMinute, "volume");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(r.headers, nullptr);
    EXPECT_EQ(r.header_count, 0u);
    EXPECT_EQ(r.error, nullptr);
}

TEST_F(WrapperTest, CounterValuesFailuresUseTheirOwnWording) {
    const std::string base = write(volume_spec(1), volume_records());
    {
        const CounterValues r(base, kBase, kMinute, "nosuch");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(std::string(r.error), "TESRA_OBJECT_NOT_FOUND");
        EXPECT_EQ(r.data, nullptr);
    }
    {
        const CounterValues r(base + "x", kBase, kMinute, "volume");
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(std::string(r.error), "TESRA_FILE_NOT_FOUND");
    }
    EXPECT_THAT(message_texts(),
                ElementsAre("\nCould not get the object : [nosuch], error : TESRA_OBJECT_NOT_FOUND "
                            "for file : " +
                                base,
                            "\nError opening file: " + base + "x, error : TESRA_FILE_NOT_FOUND\n"));
    for (const LogEvent &e : log_messages()) {
        EXPECT_EQ(e.ident, "tesra_wrapper_get_counter_data");
        EXPECT_EQ(e.priority, LOG_ERR);
    }
}

// ---- many counters --------------------------------------------------------------------------

// One object with a key and `n` 4-byte counters at one minute; two records (an archive spans at
// least two sample times) of one instance each, the same values in both.
std::string write_wide_archive(const TempDir &dir, uint32_t n) {
    ArchiveSpec spec;
    ObjectSpec wide;
    wide.id = 4;
    wide.name = "wide";
    wide.counters.push_back(make_counter(1, "id", 0x0104, 4, {kMinute}, true));
    Instances instance;
    instance.u32(77);
    for (uint32_t k = 0; k < n; ++k) {
        wide.counters.push_back(make_counter(k + 2, "c" + std::to_string(k), 0x0104, 4, {kMinute}));
        instance.u32(k);
    }
    spec.objects = {wide};
    const std::string base = dir.base("1_60_1000000000000_900000");
    EXPECT_EQ(
        write_archive(spec, base,
                      {{0, 4, kMinute, instance.bytes()}, {kMinute, 4, kMinute, instance.bytes()}}),
        TESRA_SUCCESS);
    clear_log();
    return base;
}

TEST_F(WrapperTest, ObjectsWithMoreThan512CountersAreReadInFull) {
    constexpr uint32_t kCounters = 600;
    const std::string base = write_wide_archive(dir_, kCounters);

    const CounterValues r(base, kBase, kMinute, "wide");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.header_count, kCounters + 1);
    ASSERT_EQ(r.count, 1u);
    ASSERT_EQ(r.data[0].num_of_counters_count, kCounters + 1);
    EXPECT_EQ(r.data[0].counter_values[0].values[0].val_4B, 77u);
    for (uint32_t k = 0; k < kCounters; ++k) {
        EXPECT_EQ(r.headers[k + 1].counter_id, k + 2);
        EXPECT_EQ(r.data[0].counter_values[k + 1].values[0].val_4B, k);
    }
    EXPECT_EQ(std::string(r.headers[kCounters].counter_name), "c" + std::to_string(kCounters - 1));

    uint64_t *list = nullptr;
    uint32_t count = 0;
    char *error = nullptr;
    ASSERT_TRUE(get_timestamp_list(base.c_str(), kMinute, "wide", &list, &count, &error));
    EXPECT_EQ(count, 2u);
    free_tesra_wrapper_timestamps_data(list, error);
}

TEST_F(WrapperTest, CounterInfoNamesThePeriodsCountersIntoTheCallersList) {
    const std::string base = write_wide_archive(dir_, 600);
    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *data = nullptr;
    ASSERT_EQ(tesra_open_data_file(base.c_str(), "r", &file, &meta, &data), TESRA_SUCCESS);
    tesra_header_handle_t *header = nullptr;
    tesra_object_handle_t *object = nullptr;
    ASSERT_EQ(tesra_get_header(file, &header), TESRA_SUCCESS);
    ASSERT_EQ(tesra_find_object(header, "wide", &object), TESRA_SUCCESS);

    std::vector<const char *> names(600, nullptr);
    uint32_t count = 0;
    EXPECT_EQ(get_counter_info(object, kMinute, names.data(), &count), TESRA_SUCCESS);
    EXPECT_EQ(count, 600u);
    EXPECT_STREQ(names[0], "c0");  // the key counter is no period counter
    EXPECT_STREQ(names[599], "c599");

    count = 12345;
    EXPECT_EQ(get_counter_info(object, kFiveMinutes, names.data(), &count), TESRA_PERIOD_NOT_FOUND);
    EXPECT_EQ(count, 0u);
    count = 12345;
    EXPECT_EQ(get_counter_info(nullptr, kMinute, names.data(), &count), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(get_counter_info(object, kMinute, nullptr, &count), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(get_counter_info(object, kMinute, names.data(), nullptr), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(count, 12345u);
    EXPECT_EQ(tesra_close_data_file(file), TESRA_SUCCESS);
}

// ---- release --------------------------------------------------------------------------------

TEST(WrapRelease, EveryReleaseCallAcceptsNulls) {
    free_tesra_file_version(nullptr);
    free_tesra_wrapper_periods_data(nullptr, nullptr);
    free_tesra_wrapper_timestamps_data(nullptr, nullptr);
    free_tesra_wrapper_counter_data(nullptr, 0, nullptr, 0, nullptr);
    free_tesra_wrapper_counter_data(nullptr, 5, nullptr, 5, nullptr);
    free_counter_headers(nullptr, 0);
    free_counter_headers(nullptr, 3);
    SUCCEED();  // the sanitizer build checks that nothing was touched
}

template <class T>
T *c_array(size_t n) {
    return static_cast<T *>(std::calloc(n, sizeof(T)));
}

TEST(WrapRelease, HalfBuiltCounterDataIsReleasedUpToWhereItStops) {
    // Two instances announced; the second never got its counters. The first has a string
    // counter and a counter whose values were never allocated (the release stops there).
    auto *data = c_array<tesra_wrapper_counter_data_t>(2);
    data[0].num_of_counters_count = 3;
    data[0].counter_values = c_array<tesra_counter_data_t>(3);
    data[0].counter_values[0].value_type = TESRA_CNT_STRING;
    data[0].counter_values[0].num_values = 2;
    data[0].counter_values[0].values = c_array<tesra_cnt_value_t>(2);
    data[0].counter_values[0].values[0].val_str = strdup("a");
    data[0].counter_values[0].values[1].val_str = strdup("b");
    data[0].counter_values[1].value_type = TESRA_CNT_8BYTES;
    auto *headers = c_array<counter_wrapper_headers>(2);
    headers[0].counter_name = strdup("name");
    free_tesra_wrapper_counter_data(data, 2, headers, 2, strdup("TESRA_NULL_POINTER"));
    SUCCEED();  // the leak checker fails the run if anything was left behind
}

}  // namespace
}  // namespace tesra::test
