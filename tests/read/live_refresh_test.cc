// Refreshing a followed archive when its files change in ways no writer changes them: the
// refresh refuses, and the handle keeps reading what it had.
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tesra/tesra_live.h"

#include "read/reader_test_support.h"

namespace tesra::test {
namespace {

constexpr uint64_t kMinute = 60000;
constexpr uint32_t kVolume = 3;
constexpr uint32_t kInstances = 7;  // 192-byte records: offsets 0, 192, 384, ...
constexpr uint64_t kRecordSize = 24 + 24 * kInstances;

ArchiveSpec volume_spec() {
    ObjectSpec volume;
    volume.id = kVolume;
    volume.name = "volume";
    volume.counters = {make_counter(1, "name", 0x2010, 16, {kMinute}, true),
                       make_counter(2, "ops", 0x0108, 8, {kMinute})};
    ArchiveSpec spec;
    spec.objects = {volume};
    return spec;
}

std::vector<std::byte> volume_body(uint64_t seed) {
    std::vector<std::byte> body(24 * kInstances);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = std::byte(i * 7 + seed);
    return body;
}

// Record times of a time-ordered walk.
std::vector<uint64_t> walk_times(tesra_file_handle_t *file) {
    std::vector<uint64_t> times;
    tesra_record_handle_t *record = nullptr;
    EXPECT_EQ(tesra_first_record(file, TESRA_LINEAR_ORDER, 0, &record), TESRA_SUCCESS);
    while (record != nullptr) {
        times.push_back(record->e6_0.msecs_since_base);
        EXPECT_EQ(tesra_next_record(file, &record), TESRA_SUCCESS);
    }
    return times;
}

// Swaps the first two 8-byte occurrences of `a` and `b` in the metadata file's index section
// (after the document), each of which must be there exactly once.
void swap_index_entries(const std::string &meta, uint64_t a, uint64_t b) {
    std::vector<std::byte> bytes = read_file(meta);
    const std::string text(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    const std::size_t index = text.find("</archive>");
    ASSERT_NE(index, std::string::npos);
    auto find_once = [&](uint64_t v) {
        std::vector<std::byte> pattern;
        put_u64(pattern, v);
        const std::string p(reinterpret_cast<const char *>(pattern.data()), pattern.size());
        const std::size_t at = text.find(p, index);
        return at == std::string::npos || text.find(p, at + 1) != std::string::npos
                   ? std::string::npos
                   : at;
    };
    const std::size_t at_a = find_once(a), at_b = find_once(b);
    ASSERT_NE(at_a, std::string::npos);
    ASSERT_NE(at_b, std::string::npos);
    std::vector<std::byte> raw_a, raw_b;
    put_u64(raw_a, a);
    put_u64(raw_b, b);
    std::copy(raw_b.begin(), raw_b.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at_a));
    std::copy(raw_a.begin(), raw_a.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at_b));
    write_file(meta, bytes);
}

TEST(LiveRefresh, FilesChangedBehindTheFollowerAreRefusedAndWhatItHadStays) {
    struct Case {
        const char *name;
        std::function<void(ArchiveBuilder &)> change;
    };
    const Case cases[] = {
        {"stream cut below what was indexed",
         [](ArchiveBuilder &w) { ASSERT_EQ(::truncate(w.data_path().c_str(), 20), 0); }},
        {"stream rewritten, longer",
         [](ArchiveBuilder &w) {
             std::vector<std::byte> stream;
             for (uint64_t k = 1; k <= 8; ++k) {
                 append(stream, record_bytes(k * kMinute, kVolume, kMinute, volume_body(k + 50)));
             }
             ASSERT_TRUE(write_gz(w.data_path(), stream));
         }},
        // The first two records' slots trade places: a well-formed index that contradicts what
        // the follower indexed.
        {"closing index that disagrees",
         [](ArchiveBuilder &w) {
             ASSERT_EQ(w.close(), TESRA_SUCCESS);
             swap_index_entries(w.meta_path(), kRecordSize, 2 * kRecordSize);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ArchiveBuilder writer(volume_spec());
        ASSERT_EQ(writer.create(dir.base("1_60_0000000000000_0000000.live")), TESRA_SUCCESS);
        ASSERT_EQ(writer.finalize(), TESRA_SUCCESS);
        for (uint64_t k = 1; k <= 3; ++k) {
            ASSERT_EQ(writer.write(k * kMinute, kVolume, kMinute, volume_body(k)), TESRA_SUCCESS);
        }
        ASSERT_EQ(gzflush(writer.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
        ASSERT_EQ(std::fflush(writer.file()->i6_0.metadata_file), 0);

        OpenedArchive follower;
        ASSERT_EQ(follower.open(writer.base_path()), TESRA_SUCCESS);
        const std::vector<uint64_t> had = {kMinute, 2 * kMinute, 3 * kMinute};
        ASSERT_EQ(walk_times(follower.get()), had);

        for (uint64_t k = 4; k <= 5; ++k) {
            ASSERT_EQ(writer.write(k * kMinute, kVolume, kMinute, volume_body(k)), TESRA_SUCCESS);
        }
        ASSERT_EQ(gzflush(writer.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
        c.change(writer);

        uint32_t added = 99;
        EXPECT_EQ(tesra_refresh_data_file(follower.get(), &added), TESRA_CORRUPT_ARCHIVE);
        EXPECT_EQ(added, 0u);
        int being_written = -1;
        EXPECT_EQ(tesra_is_being_written(follower.get(), &being_written), TESRA_SUCCESS);
        EXPECT_EQ(being_written, 1);
        EXPECT_EQ(walk_times(follower.get()), had);
    }
}

}  // namespace
}  // namespace tesra::test
