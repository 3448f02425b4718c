// Version pair operations and the result-code label table.
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

namespace {

struct VersionCase {
    uint32_t major_v, minor_v;  // the record
    uint32_t want_major, want_minor;
    bool expected;
};

class VersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionTest, IsVersionRequiresSameMajorAndAtLeastMinor) {
    const VersionCase &c = GetParam();
    tesra_counter_def_t_v6_0 def{};
    def.major_v = c.major_v;
    def.minor_v = c.minor_v;
    EXPECT_EQ(tesra_is_version(&def, c.want_major, c.want_minor), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Versions,
                         VersionTest,
                         ::testing::Values(VersionCase{6, 1, 6, 0, true},
                                           VersionCase{6, 0, 6, 1, false},
                                           VersionCase{6, 0, 6, 0, true},
                                           VersionCase{5, 9, 6, 0, false},
                                           VersionCase{7, 0, 6, 0, false},
                                           VersionCase{6, 0xFFFFFFFF, 6, 1, true},
                                           VersionCase{0, 0, 6, 0, false}));

TEST(Versions, SetLatestWritesSixOneAndNothingElse) {
    tesra_query_def_t_v6_0 def{};
    def.major_v = 6;
    def.minor_v = 0;
    def.num_key_cnts = 77;
    tesra_set_latest_version(&def);
    EXPECT_EQ(def.major_v, 6u);
    EXPECT_EQ(def.minor_v, 1u);
    EXPECT_EQ(def.num_key_cnts, 77u);
}

TEST(Versions, GetVersionReadsLeadingPairOfAHandle) {
    tesra_file_handle_t handle{};
    handle.major_v = 6;
    handle.minor_v = 3;
    uint32_t major = 0, minor = 0;
    tesra_get_version(&handle, &major, &minor);
    EXPECT_EQ(major, 6u);
    EXPECT_EQ(minor, 3u);
}

TEST(ErrorLabels, EntriesSpellTheirCodes) {
    EXPECT_STREQ(tesra_error_labels[TESRA_SUCCESS], "TESRA_SUCCESS");
    EXPECT_STREQ(tesra_error_labels[1], "TESRA_CORRUPT_ARCHIVE");
    EXPECT_STREQ(tesra_error_labels[TESRA_CLOSE_FILE_FAILED], "TESRA_CLOSE_FILE_FAILED");
    EXPECT_STREQ(tesra_error_labels[TESRA_FILENAME_FORMAT_ERROR], "TESRA_FILENAME_FORMAT_ERROR");
    EXPECT_STREQ(tesra_error_labels[TESRA_INVALID_ARGUMENTS], "TESRA_INVALID_ARGUMENTS");
    EXPECT_STREQ(tesra_error_labels[TESRA_INVALID_VERSION], "TESRA_INVALID_VERSION");
    EXPECT_STREQ(tesra_error_labels[20], "TESRA_NULL_POINTER");
    EXPECT_STREQ(tesra_error_labels[TESRA_RECORD_EMPTY], "TESRA_RECORD_EMPTY");
    EXPECT_STREQ(tesra_error_labels[TESRA_VERSION_MISMATCH], "TESRA_VERSION_MISMATCH");
    EXPECT_STREQ(tesra_error_labels[32], "TESRA_INVALID_NUM_PARTIAL_RECORDS");
    EXPECT_STREQ(tesra_error_labels[33], "TESRA_PERIOD_EXISTS");
}

TEST(ErrorLabels, EveryCodeHasADistinctPrefixedLabel) {
    std::set<std::string> seen;
    for (int i = 0; i < TESRA_ERROR_CODES_MAX_INDEX; ++i) {
        ASSERT_NE(tesra_error_labels[i], nullptr) << i;
        EXPECT_EQ(std::strncmp(tesra_error_labels[i], "TESRA_", 6), 0) << i;
        EXPECT_TRUE(seen.insert(tesra_error_labels[i]).second) << tesra_error_labels[i];
    }
}

}  // namespace
