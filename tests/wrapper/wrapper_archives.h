// Archives the extraction calls are tested against, written through the public writer API,
// and small helpers to look at what the calls hand back.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/archive_builder.h"
#include "syslog_capture.h"
#include "tesra/tesra_wrapper_header.h"

namespace tesra::test {

inline constexpr uint64_t kBase = 1000000000000;  // SystemSpec's base_time
inline constexpr uint64_t kMinute = 60000;
inline constexpr uint64_t kFiveMinutes = 300000;
inline constexpr uint32_t kVolumeId = 3;
// Archive base names carry index, longest period (s), start and duration.
inline const std::string kArchiveName = "1_300_1000000000000_900000";

// volume (3): key "name" (16-byte string), "ops" (u64, every minute), "lat" (u32, every five).
inline ArchiveSpec volume_spec(uint32_t minor) {
    ArchiveSpec spec;
    spec.minor = minor;
    ObjectSpec volume;
    volume.id = kVolumeId;
    volume.name = "volume";
    volume.counters = {make_counter(1, "name", 0x2010, 16, {kMinute}, true),
                       make_counter(2, "ops", 0x0108, 8, {kMinute}),
                       make_counter(3, "lat", 0x0104, 4, {kFiveMinutes})};
    spec.objects = {volume};
    return spec;
}

// Minutes 0 to 5: vol-a, vol-b, vol-c with ops = 10 * (k + 1) + minute; at minutes 0 and 5
// also lat = 100 + minute for each of them.
inline std::vector<RecordSpec> volume_records() {
    const char *names[] = {"vol-a", "vol-b", "vol-c"};
    std::vector<RecordSpec> records;
    for (uint64_t minute = 0; minute <= 5; ++minute) {
        Instances fast;
        for (uint64_t k = 0; k < 3; ++k) fast.str(names[k], 16).u64(10 * (k + 1) + minute);
        records.push_back({minute * kMinute, kVolumeId, kMinute, fast.bytes()});
        if (minute % 5 == 0) {
            Instances slow;
            for (const char *name : names)
                slow.str(name, 16).u32(static_cast<uint32_t>(100 + minute));
            records.push_back({minute * kMinute, kVolumeId, kFiveMinutes, slow.bytes()});
        }
    }
    return records;
}

// Clears the captured log before each test and writes archives into a fresh directory.
class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override { clear_log(); }

    std::string write(const ArchiveSpec &spec,
                      const std::vector<RecordSpec> &records,
                      const std::string &name = kArchiveName) {
        const std::string base = dir_.base(name);
        EXPECT_EQ(write_archive(spec, base, records), TESRA_SUCCESS);
        clear_log();
        return base;
    }

    TempDir dir_;
};

inline std::vector<std::string> message_texts() {
    std::vector<std::string> out;
    for (const LogEvent &e : log_messages()) out.push_back(e.text);
    return out;
}

}  // namespace tesra::test
