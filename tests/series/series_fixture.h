// Series for the series tests: archives of object "volume" (key "name", counter "ops") with
// two instances sampled every minute, written into one scratch directory, and small helpers
// that read a series back through the public calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tesra/tesra_series.h"

#include "support/archive_builder.h"

namespace tesra::test {

inline constexpr uint64_t kMinute = 60000;
inline constexpr uint64_t kEpoch = 1700000000000;  // minute 0 of every test series

// The value "ops" of instance `vol` holds at absolute time `t`: unique per time and instance.
inline uint64_t ops_at(uint64_t t, int vol) { return (t - kEpoch) / kMinute * 10 + vol; }

struct MemberSpec {
    uint32_t index;
    uint64_t first_minute;  // first sample, minutes after kEpoch
    uint64_t minutes;       // samples, one a minute
    std::string host = "node1";
    // Name the archive as covering [name_minute, name_minute + minutes) instead.
    int64_t name_minute = -1;
    bool partial_name = false;
    bool ops32 = false;    // "ops" as a 4-byte counter
    bool with_lat = false; // a further counter "lat" (id 4, value 7)
};

class SeriesTest : public ::testing::Test {
public:
    SeriesTest() : where_(dir_.path()) {}
    ~SeriesTest() override { tesra_series_close(series_); }

    // Writes one archive of the series and returns its base path.
    std::string write(const MemberSpec &m, ArchiveSpec spec = ArchiveSpec::simple()) {
        spec.system.hostname = m.host;
        auto &counters = spec.objects[0].counters;
        if (m.ops32) {
            counters[1].ctype = 0x0104;
            counters[1].size = 4;
        }
        if (m.with_lat) counters.push_back(make_counter(4, "lat", 0x0108, 8, {kMinute}));
        spec.system.base_time = kEpoch + m.first_minute * kMinute;
        const uint64_t name_start =
            kEpoch + (m.name_minute >= 0 ? uint64_t(m.name_minute) : m.first_minute) * kMinute;
        const std::string name =
            m.partial_name ? std::to_string(m.index) + "_60_0000000000000_0000000"
                           : std::to_string(m.index) + "_60_" + std::to_string(name_start) + "_" +
                                 std::to_string(m.minutes * kMinute);
        const std::string base = where_ + "/" + name;
        std::vector<RecordSpec> records;
        for (uint64_t i = 0; i < m.minutes; ++i) {
            const uint64_t t = spec.system.base_time + i * kMinute;
            Instances body;
            for (int vol = 0; vol < 2; ++vol) {
                body.str("vol" + std::to_string(vol), 16);
                if (m.ops32) {
                    body.u32(static_cast<uint32_t>(ops_at(t, vol)));
                } else {
                    body.u64(ops_at(t, vol));
                }
                if (m.with_lat) body.u64(7);
            }
            records.push_back({i * kMinute, 3, kMinute, body.bytes()});
        }
        EXPECT_EQ(write_archive(spec, base, records), TESRA_SUCCESS) << base;
        return base;
    }

    tesra_error_t open(std::vector<std::string> sources, tesra_series_options_t opt = {}) {
        std::vector<const char *> c;
        for (const auto &s : sources) c.push_back(s.c_str());
        tesra_series_close(series_);
        series_ = nullptr;
        return tesra_series_open(c.data(), c.size(), &opt, &series_);
    }

    tesra_series_member_t member(size_t i) const {
        tesra_series_member_t m{};
        EXPECT_EQ(tesra_series_get_member(series_, i, &m), TESRA_SUCCESS);
        return m;
    }

    std::vector<tesra_series_finding_t> findings(tesra_series_finding_kind_t kind) const {
        std::vector<tesra_series_finding_t> out;
        for (size_t i = 0; i < tesra_series_finding_count(series_); ++i) {
            tesra_series_finding_t f{};
            EXPECT_EQ(tesra_series_get_finding(series_, i, &f), TESRA_SUCCESS);
            if (f.kind == kind) out.push_back(f);
        }
        return out;
    }

    // Every row of a values walk as "time member vol ops", or the failing code as "rc N".
    std::vector<std::string> rows(tesra_series_query_t q) {
        std::vector<std::string> out;
        tesra_series_cursor_t *cursor = nullptr;
        tesra_error_t rc = tesra_series_query_values(series_, &q, &cursor);
        const tesra_series_row_t *row = nullptr;
        while (rc == TESRA_SUCCESS && (rc = tesra_series_next_row(cursor, &row)) == TESRA_SUCCESS &&
               row != nullptr) {
            std::string line = std::to_string((row->time - kEpoch) / kMinute) + " m" +
                               std::to_string(row->member);
            for (uint32_t c = 0; c < row->num_columns; ++c) {
                const tesra_counter_data_t &v = row->values[c];
                line += ' ';
                if (v.num_values == 0) line += '-';
                for (uint32_t i = 0; i < v.num_values; ++i) {
                    line += v.value_type == TESRA_CNT_STRING ? std::string(v.values[i].val_str)
                            : v.value_type == TESRA_CNT_4BYTES
                                ? std::to_string(v.values[i].val_4B)
                                : std::to_string(v.values[i].val_8B);
                }
            }
            out.push_back(line);
        }
        tesra_series_free_cursor(cursor);
        if (rc != TESRA_SUCCESS) out.push_back("rc " + std::to_string(rc));
        return out;
    }

    // The expected row of instance `vol` at minute `minute` from member `m`.
    static std::string row(uint64_t minute, size_t m, int vol) {
        return std::to_string(minute) + " m" + std::to_string(m) + " vol" + std::to_string(vol) +
               " " + std::to_string(ops_at(kEpoch + minute * kMinute, vol));
    }

    TempDir dir_;
    std::string where_;  // directory that write() writes into
    tesra_series_t *series_ = nullptr;
};

}  // namespace tesra::test
