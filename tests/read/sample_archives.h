// Archives shared by the record, instance, counter-value, query and timestamp tests, written
// through the public writer API, and a handle that closes what it opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

#include "support/archive_builder.h"

namespace tesra::test {

inline constexpr uint64_t kBase = 1000000000000;  // SystemSpec's base_time, whole seconds
inline constexpr uint64_t kOnce = TESRA_ONCE_PER_ARCHIVE_PERIOD;
inline constexpr uint32_t kVolume = 3, kDisk = 5, kNode = 7;
// A finished archive's base name: file index 1, no longest period, start and duration.
inline const std::string kArchiveName = "1_0_1000000000000_900000";

// volume (3): key "name" (16-byte string), "ops" (u64, 1000 ms), "lat" (u32, 5000 ms).
// disk (5):   key "disk_id" (u32), "busy" (u64, 5000 ms).
// node (7):   key "node_id" (u32), "boot" (u64, once per archive).
inline ArchiveSpec sample_spec() {
    ArchiveSpec spec;
    ObjectSpec volume;
    volume.id = kVolume;
    volume.name = "volume";
    volume.counters = {make_counter(1, "name", 0x2010, 16, {1000}, true),
                       make_counter(2, "ops", 0x0108, 8, {1000}),
                       make_counter(3, "lat", 0x0104, 4, {5000})};
    ObjectSpec disk;
    disk.id = kDisk;
    disk.name = "disk";
    disk.counters = {make_counter(1, "disk_id", 0x0104, 4, {5000}, true),
                     make_counter(2, "busy", 0x0108, 8, {5000})};
    ObjectSpec node;
    node.id = kNode;
    node.name = "node";
    node.counters = {make_counter(1, "node_id", 0x0104, 4, {kOnce}, true),
                     make_counter(2, "boot", 0x0108, 8, {kOnce})};
    spec.objects = {volume, disk, node};
    return spec;
}

inline std::vector<std::byte> volume_fast(const std::string &name, uint64_t ops) {
    return Instances().str(name, 16).u64(ops).bytes();
}
inline std::vector<std::byte> volume_slow(const std::string &name, uint32_t lat) {
    return Instances().str(name, 16).u32(lat).bytes();
}
inline std::vector<std::byte> concat(std::vector<std::vector<std::byte>> parts) {
    std::vector<std::byte> out;
    for (auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Records of the sample archive, relative times 0 to 10000 ms:
// - volume at 1000 ms every second, instances vol-a (ops = s) and vol-b (ops = 100 + s), s the
//   second;
// - volume at 5000 ms at 0, 5000, 10000: vol-a (lat = 7 + s) and, except at 5000, vol-b
//   (lat = 50 + s);
// - disk at 5000 ms at 0, 5000, 10000: disk 1 (busy = s);
// - node once, at 0.
inline std::vector<RecordSpec> sample_records() {
    std::vector<RecordSpec> records;
    records.push_back({0, kNode, kOnce, Instances().u32(1).u64(42).bytes()});
    for (uint64_t t = 0; t <= 10000; t += 1000) {
        const uint64_t s = t / 1000;
        records.push_back(
            {t, kVolume, 1000, concat({volume_fast("vol-a", s), volume_fast("vol-b", 100 + s)})});
        if (t % 5000 == 0) {
            auto slow = volume_slow("vol-a", static_cast<uint32_t>(7 + s));
            if (t != 5000)
                slow = concat({slow, volume_slow("vol-b", static_cast<uint32_t>(50 + s))});
            records.push_back({t, kVolume, 5000, slow});
            records.push_back({t, kDisk, 5000, Instances().u32(1).u64(s).bytes()});
        }
    }
    return records;
}

// An archive opened for reading, closed (and with it everything it handed out) on destruction.
class OpenArchive {
public:
    OpenArchive() = default;
    OpenArchive(const OpenArchive &) = delete;
    OpenArchive &operator=(const OpenArchive &) = delete;
    ~OpenArchive() { close(); }

    tesra_error_t open(const std::string &base) {
        const char *meta = nullptr;
        const char *data = nullptr;
        return tesra_open_data_file(base.c_str(), "r", &file_, &meta, &data);
    }
    tesra_error_t close() {
        tesra_error_t rc = TESRA_SUCCESS;
        if (file_ != nullptr) rc = tesra_close_data_file(file_);
        file_ = nullptr;
        return rc;
    }
    tesra_file_handle_t *get() const { return file_; }
    tesra_object_handle_t *object(uint32_t id) const {
        return file_->i6_0.header->i6_0.objects[id];
    }
    tesra_period_t *period(uint32_t obj_id, uint64_t value) const {
        for (tesra_period_t *p = object(obj_id)->i6_0.period_list; p != nullptr;
             p = p->next_period) {
            if (p->period == value) return p;
        }
        return nullptr;
    }

private:
    tesra_file_handle_t *file_ = nullptr;
};

// Fixture with the sample archive written and opened.
class SampleArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = dir_.base(kArchiveName);
        ASSERT_EQ(write_archive(sample_spec(), base_, sample_records()), TESRA_SUCCESS);
        ASSERT_EQ(archive_.open(base_), TESRA_SUCCESS);
    }
    tesra_file_handle_t *file() const { return archive_.get(); }

    TempDir dir_;
    std::string base_;
    OpenArchive archive_;
};

// The string value of a counter data record (the first value by default).
inline std::string str_value(const tesra_counter_data_t_v6_0 &d, uint32_t k = 0) {
    return d.values[k].val_str;
}

}  // namespace tesra::test
