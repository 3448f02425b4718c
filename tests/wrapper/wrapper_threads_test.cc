// Several threads calling the extraction library and walking archives with the reader at once,
// as a data-collection service does: each thread on its own handles, several of them on the
// same archive names, one archive still being written. Every answer must equal the answer of a
// single-threaded run. Built also under ThreadSanitizer (scripts/test), which checks that the
// libraries share no unguarded state between such calls.
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tesra/tesra_int_defs.h"
#include "tesra/tesra_wrapper_header.h"

#include "support/archive_builder.h"

// The system-log functions, counted under a lock so that the failing calls of every thread can
// be checked without sending anything to the machine's log. Each message is counted under the
// identity the log had when it was written: calls on other threads must not change it.
namespace {
std::mutex log_mutex;
std::string log_ident;
std::map<std::string, int> logged_messages;  // by identity ("" when the log was closed)

void count_message() {
    const std::lock_guard<std::mutex> lock(log_mutex);
    ++logged_messages[log_ident];
}
}  // namespace

#define TESRA_TEST_EXPORT __attribute__((visibility("default")))
extern "C" {
TESRA_TEST_EXPORT int setlogmask(int mask);
TESRA_TEST_EXPORT void openlog(const char *ident, int option, int facility);
TESRA_TEST_EXPORT void syslog(int priority, const char *format, ...);
TESRA_TEST_EXPORT void __syslog_chk(int priority, int flag, const char *format, ...);
TESRA_TEST_EXPORT void vsyslog(int priority, const char *format, va_list args);
TESRA_TEST_EXPORT void __vsyslog_chk(int priority, int flag, const char *format, va_list args);
TESRA_TEST_EXPORT void closelog(void);

int setlogmask(int mask) {
    return mask;
}
void openlog(const char *ident, int, int) {
    const std::lock_guard<std::mutex> lock(log_mutex);
    log_ident = ident != nullptr ? ident : "";
}
void syslog(int, const char *, ...) { count_message(); }
void __syslog_chk(int, int, const char *, ...) { count_message(); }
void vsyslog(int, const char *, va_list) { count_message(); }
void __vsyslog_chk(int, int, const char *, va_list) { count_message(); }
void closelog(void) {
    const std::lock_guard<std::mutex> lock(log_mutex);
    log_ident.clear();
}
}  // extern "C"

namespace tesra::test {
namespace {

constexpr uint64_t kBase = 1000000000000;
constexpr uint64_t kMinute = 60000;
constexpr uint64_t kFiveMinutes = 300000;
constexpr uint32_t kVolumeId = 3;
constexpr int kThreads = 8;
constexpr int kRoundsPerThread = 40;  // 8 threads x 40 rounds x (5 calls + 1 walk)

ArchiveSpec volume_spec() {
    ArchiveSpec spec;
    ObjectSpec volume;
    volume.id = kVolumeId;
    volume.name = "volume";
    volume.counters = {make_counter(1, "name", 0x2010, 16, {kMinute}, true),
                       make_counter(2, "ops", 0x0108, 8, {kMinute}),
                       make_counter(3, "lat", 0x0104, 4, {kFiveMinutes})};
    spec.objects = {volume};
    return spec;
}

// Archive `n` holds n + 2 volumes over 15 minutes, with values that differ between archives.
std::vector<RecordSpec> volume_records(uint32_t n) {
    std::vector<RecordSpec> records;
    for (uint64_t minute = 0; minute < 15; ++minute) {
        Instances fast, slow;
        for (uint32_t k = 0; k < n + 2; ++k) {
            const std::string name = "vol-" + std::to_string(k);
            fast.str(name, 16).u64(1000 * n + 10 * k + minute);
            slow.str(name, 16).u32(static_cast<uint32_t>(100 * n + k + minute));
        }
        records.push_back({minute * kMinute, kVolumeId, kMinute, fast.bytes()});
        if (minute % 5 == 0) {
            records.push_back({minute * kMinute, kVolumeId, kFiveMinutes, slow.bytes()});
        }
    }
    return records;
}

std::string values_text(const tesra_counter_data_t &d) {
    std::ostringstream out;
    for (uint32_t i = 0; i < d.num_values; ++i) {
        if (d.value_type == TESRA_CNT_STRING) {
            out << (d.values[i].val_str != nullptr ? d.values[i].val_str : "(null)") << ',';
        } else {
            out << d.values[i].val_8B << ',';
        }
    }
    return out.str();
}

std::string take(char *error) {
    std::string text = error != nullptr ? error : "-";
    std::free(error);
    return text;
}

// Every answer about one archive as one text: the wrapper's calls, then a raw walk of its
// records through the reader.
std::string answers(const std::string &base) {
    std::ostringstream out;
    char *error = nullptr;
    const tesra_wrapper_file_version v = get_tesra_file_version(base.c_str(), &error);
    out << "version " << v.major_v << '.' << v.minor_v << ' ' << take(error) << '\n';

    uint64_t *periods = nullptr;
    uint32_t num_periods = 0;
    error = nullptr;
    const bool periods_ok =
        get_periods_list(base.c_str(), "volume", &periods, &num_periods, &error);
    out << "periods " << periods_ok;
    for (uint32_t i = 0; periods_ok && i < num_periods; ++i) out << ' ' << periods[i];
    free_tesra_wrapper_periods_data(periods, error);
    out << '\n';

    uint64_t *times = nullptr;
    uint32_t num_times = 0;
    error = nullptr;
    const bool times_ok =
        get_timestamp_list(base.c_str(), kMinute, "volume", &times, &num_times, &error);
    out << "times " << times_ok << ' ' << (error != nullptr ? error : "-");
    std::vector<uint64_t> picked;
    for (uint32_t i = 0; times_ok && i < num_times; ++i) {
        out << ' ' << times[i];
        if (i % 7 == 0) picked.push_back(times[i]);
    }
    free_tesra_wrapper_timestamps_data(times, error);
    out << '\n';
    if (picked.empty()) picked.push_back(kBase);

    for (uint64_t time : picked) {
        tesra_wrapper_counter_data_t *data = nullptr;
        counter_wrapper_headers *headers = nullptr;
        uint32_t count = 0, header_count = 0;
        error = nullptr;
        const bool ok = get_counter_values_for_timestamp(
            base.c_str(), time, kMinute, "volume", &data, &count, &headers, &header_count, &error);
        out << "values@" << time << ' ' << ok << ' ' << (error != nullptr ? error : "-");
        for (uint32_t h = 0; h < header_count; ++h) {
            out << ' ' << headers[h].counter_id << '=' << headers[h].counter_name;
        }
        for (uint32_t i = 0; i < count; ++i) {
            for (uint32_t c = 0; c < data[i].num_of_counters_count; ++c) {
                out << " [" << values_text(data[i].counter_values[c]) << ']';
            }
        }
        free_tesra_wrapper_counter_data(data, count, headers, header_count, error);
        out << '\n';
    }

    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *data = nullptr;
    const tesra_error_t open_rc = tesra_open_data_file(base.c_str(), "rb", &file, &meta, &data);
    out << "walk " << open_rc;
    if (open_rc == TESRA_SUCCESS) {
        tesra_record_handle_t *rec = nullptr;
        tesra_error_t rc = tesra_first_record(file, TESRA_LINEAR_ORDER, 0, &rec);
        while (rc == TESRA_SUCCESS && rec != nullptr) {
            tesra_record_header_data_t_v6_0 info{};
            rc = tesra_get_record_info(rec, &info);
            out << ' ' << info.msecs_since_base << '/' << info.period << '/' << info.size;
            if (rc == TESRA_SUCCESS) rc = tesra_next_record(file, &rec);
        }
        out << " end " << rc << " close " << tesra_close_data_file(file);
    }
    out << '\n';
    return out.str();
}

TEST(WrapperThreads, ConcurrentCallsAnswerAsASingleThreadDoes) {
    TempDir dir;
    std::vector<std::string> bases;
    for (uint32_t n = 0; n < 4; ++n) {
        bases.push_back(dir.base(std::to_string(n + 1) + "_300_1000000000000_900000"));
        ASSERT_EQ(write_archive(volume_spec(), bases.back(), volume_records(n)), TESRA_SUCCESS);
    }
    // An archive still being written: its readers rebuild the index from the flushed stream.
    ArchiveBuilder writing(volume_spec());
    bases.push_back(dir.base("5_300_0000000000000_0000000.part"));
    ASSERT_EQ(writing.create(bases.back()), TESRA_SUCCESS);
    ASSERT_EQ(writing.finalize(), TESRA_SUCCESS);
    for (const RecordSpec &r : volume_records(4)) {
        ASSERT_EQ(writing.write(r.msecs, r.obj_id, r.period, r.body), TESRA_SUCCESS);
    }
    ASSERT_EQ(gzflush(writing.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
    ASSERT_EQ(std::fflush(writing.file()->i6_0.metadata_file), 0);
    bases.push_back(dir.base("6_300_1000000000000_900000"));  // no such archive: every call fails

    std::map<std::string, std::string> expected;
    for (const std::string &base : bases) expected[base] = answers(base);
    EXPECT_NE(expected[bases[0]], expected[bases[1]]);
    EXPECT_NE(expected[bases[4]].find("walk 0 "), std::string::npos);
    const std::map<std::string, int> messages_per_missing = [] {
        const std::lock_guard<std::mutex> lock(log_mutex);
        return logged_messages;
    }();
    ASSERT_FALSE(messages_per_missing.empty());
    ASSERT_EQ(messages_per_missing.count(""), 0u);

    std::atomic<int> mismatches{0};
    std::vector<std::string> first_mismatch(kThreads);
    std::vector<int> missing_calls(kThreads, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRoundsPerThread; ++i) {
                    // Neighbouring threads land on the same archive in the same round.
                    const std::string &base = bases[(t / 2 + i) % bases.size()];
                    if (base == bases.back()) ++missing_calls[t];
                    const std::string got = answers(base);
                    if (got != expected[base] && mismatches++ == 0) first_mismatch[t] = got;
                }
            });
        }
    }
    EXPECT_EQ(mismatches.load(), 0);
    for (const std::string &m : first_mismatch) EXPECT_EQ(m, "");
    int total_missing = 0;
    for (int n : missing_calls) total_missing += n;
    // Every message under its own call's identity, as many as the calls on the missing archive.
    std::map<std::string, int> expected_messages = messages_per_missing;
    for (auto &[ident, n] : expected_messages) n *= 1 + total_missing;
    const std::lock_guard<std::mutex> lock(log_mutex);
    EXPECT_EQ(logged_messages, expected_messages);
}

}  // namespace
}  // namespace tesra::test
