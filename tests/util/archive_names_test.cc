// Parsing of archive names: the four numbers, both separators, and every way a name is refused.
#include <string>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

namespace {

struct NameCase {
    std::string label;
    std::string path;
    tesra_error_t rc;
    uint32_t file_index;
    uint64_t period;  // the untouched marker 77 when the name gives none
    uint64_t start;
    uint64_t end;
};

class ParseFilename : public ::testing::TestWithParam<NameCase> {};

TEST_P(ParseFilename, GivesCodeAndFields) {
    const NameCase &c = GetParam();
    std::string path = c.path;
    uint32_t index = 5;
    uint64_t period = 77, start = 5, end = 5;
    EXPECT_EQ(tesra_parse_filename(path.data(), &index, &period, &start, &end), c.rc);
    EXPECT_EQ(index, c.file_index);
    EXPECT_EQ(period, c.period);
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(end, c.end);
    EXPECT_EQ(path, c.path) << "the path is not modified";
}

constexpr uint64_t kMax = UINT64_MAX;
constexpr tesra_error_t kOk = TESRA_SUCCESS;
constexpr tesra_error_t kBad = TESRA_FILENAME_FORMAT_ERROR;

INSTANTIATE_TEST_SUITE_P(
    Names,
    ParseFilename,
    ::testing::Values(
        NameCase{"SlashPath", "/data/arch/3_60_1000_500.meta", kOk, 3, 60000, 1000, 1500},
        NameCase{"BackslashPath", "C:\\x\\7_300_0_0.gz", kOk, 7, 300000, 0, 0},
        NameCase{"MixedSeparatorsAndTrailingSlash", "a\\b/4_3600_10_5/", kOk, 4, 3600000, 10, 15},
        NameCase{"BareName", "5_0_100_50.gz", kOk, 5, 0, 100, 150},
        NameCase{"NoSuffix", "2_60_5_9", kOk, 2, 60000, 5, 14},
        NameCase{"AnythingAfterFourthNumber", "2_60_5_9xyz_1", kOk, 2, 60000, 5, 14},
        NameCase{"PartialTemplate", "/d/9_3600_0000000000000_0000000.meta", kOk, 9, 3600000, 0, 0},
        NameCase{"OncePerArchive", "1_999999_0_1", kOk, 1, 999999000, 0, 1},
        NameCase{"LargestIndex", "4294967295_1_0_0", kOk, 4294967295u, 1000, 0, 0},
        NameCase{"EndAtTopOfRange", "1_1_18446744073709551614_1", kOk, 1, 1000, kMax - 1, kMax},
        // Refusals after the numbers were read keep them in the out-parameters.
        NameCase{"IndexZero", "0_60_1_1.meta", kBad, 0, 60000, 1, 2},
        NameCase{"PeriodNotInTable", "2_7_1_1.meta", kBad, 2, 7000, 1, 2},
        NameCase{"EndWraps", "1_60_18446744073709551615_1", kBad, 1, 60000, kMax, 0},
        // Refusals before that leave zeros and the period untouched.
        NameCase{"ThreeNumbers", "2_60_5.meta", kBad, 0, 77, 0, 0},
        NameCase{"EmptyPath", "", kBad, 0, 77, 0, 0},
        NameCase{"OnlySeparators", "/", kBad, 0, 77, 0, 0},
        NameCase{"OnlyBackslashes", "\\\\", kBad, 0, 77, 0, 0},
        NameCase{"TrailingSeparatorSkipped", "1_60_0_0/", kOk, 1, 60000, 0, 0},
        NameCase{"LetterInsteadOfNumber", "1_x_0_0", kBad, 0, 77, 0, 0},
        NameCase{"DoubleUnderscore", "1__60_0_0", kBad, 0, 77, 0, 0},
        NameCase{"SignedNumber", "-1_60_0_0", kBad, 0, 77, 0, 0},
        NameCase{"IndexOverflows32Bits", "4294967296_60_0_0", kBad, 0, 77, 0, 0},
        NameCase{"StartOverflows64Bits", "1_60_18446744073709551616_0", kBad, 0, 77, 0, 0},
        NameCase{"DurationOverflows64Bits", "1_60_0_99999999999999999999", kBad, 0, 77, 0, 0},
        NameCase{"PeriodInMsOverflows", "1_18446744073709552_0_0", kBad, 0, 77, 0, 0}),
    [](const auto &param_info) { return param_info.param.label; });

TEST(ParseFilenameLimits, PathLongerThanAnyScratchBufferParses) {
    std::string path(10000, 'd');
    path += "/12_86400_5_5.meta";
    uint32_t index = 0;
    uint64_t period = 0, start = 0, end = 0;
    ASSERT_EQ(tesra_parse_filename(path.data(), &index, &period, &start, &end), TESRA_SUCCESS);
    EXPECT_EQ(index, 12u);
    EXPECT_EQ(period, 86400000u);
    EXPECT_EQ(end, 10u);
}

TEST(ParseFilenameLimits, NullPathIsAFormatError) {
    uint32_t index = 3;
    uint64_t period = 1, start = 3, end = 3;
    EXPECT_EQ(tesra_parse_filename(nullptr, &index, &period, &start, &end), kBad);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(end, 0u);
}

}  // namespace
