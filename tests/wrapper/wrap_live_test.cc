// The extraction calls on an archive whose writer is still writing it: what was pushed out so
// far is there, the newest sample time included, and a later call sees what came since.
#include <cstdio>
#include <string>
#include <vector>

#include <zlib.h>

#include "tesra/tesra_int_defs.h"
#include "tesra/tesra_wrapper_header.h"

#include "wrapper_archives.h"

namespace tesra::test {
namespace {

using ::testing::ElementsAre;

std::vector<uint64_t> minute_times(const std::string &base) {
    uint64_t *list = nullptr;
    uint32_t count = 0;
    char *error = nullptr;
    EXPECT_TRUE(get_timestamp_list(base.c_str(), kMinute, "volume", &list, &count, &error))
        << (error != nullptr ? error : "");
    std::vector<uint64_t> times(list, list + (list != nullptr ? count : 0));
    free_tesra_wrapper_timestamps_data(list, error);
    return times;
}

// ops of each instance at absolute `time`, or nothing when the call fails.
std::vector<uint64_t> ops_at(const std::string &base, uint64_t time) {
    tesra_wrapper_counter_data_t *data = nullptr;
    counter_wrapper_headers *headers = nullptr;
    uint32_t count = 0, header_count = 0;
    char *error = nullptr;
    std::vector<uint64_t> ops;
    if (get_counter_values_for_timestamp(base.c_str(), time, kMinute, "volume", &data, &count,
                                         &headers, &header_count, &error)) {
        for (uint32_t i = 0; i < count; ++i) {
            EXPECT_EQ(data[i].num_of_counters_count, 2u);
            if (data[i].num_of_counters_count == 2) {
                ops.push_back(data[i].counter_values[1].values[0].val_8B);
            }
        }
    } else {
        ADD_FAILURE() << (error != nullptr ? error : "");
    }
    free_tesra_wrapper_counter_data(data, count, headers, header_count, error);
    return ops;
}

TEST_F(WrapperTest, ArchiveStillBeingWrittenGivesItsNewestSampleTime) {
    const std::string base = dir_.base("1_300_0000000000000_0000000.live");
    ArchiveBuilder writer(volume_spec(1));
    ASSERT_EQ(writer.create(base), TESRA_SUCCESS);
    ASSERT_EQ(writer.finalize(), TESRA_SUCCESS);
    for (const RecordSpec &r : volume_records()) {
        ASSERT_EQ(writer.write(r.msecs, r.obj_id, r.period, r.body), TESRA_SUCCESS);
    }
    ASSERT_EQ(gzflush(writer.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
    ASSERT_EQ(std::fflush(writer.file()->i6_0.metadata_file), 0);

    EXPECT_THAT(minute_times(base),
                ElementsAre(kBase, kBase + kMinute, kBase + 2 * kMinute, kBase + 3 * kMinute,
                            kBase + 4 * kMinute, kBase + 5 * kMinute));
    EXPECT_THAT(ops_at(base, kBase + 5 * kMinute), ElementsAre(15u, 25u, 35u));

    // A sixth minute pushed out later.
    Instances next;
    for (const char *name : {"vol-a", "vol-b", "vol-c"}) next.str(name, 16).u64(600);
    ASSERT_EQ(writer.write(6 * kMinute, kVolumeId, kMinute, next.bytes()), TESRA_SUCCESS);
    ASSERT_EQ(gzflush(writer.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
    EXPECT_EQ(minute_times(base).back(), kBase + 6 * kMinute);
    EXPECT_THAT(ops_at(base, kBase + 6 * kMinute), ElementsAre(600u, 600u, 600u));
    EXPECT_TRUE(log_messages().empty());
}

}  // namespace
}  // namespace tesra::test
