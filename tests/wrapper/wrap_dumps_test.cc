// The text dumps: line format, the order in which they touch the output file and the archive,
// and their log messages.
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tesra/tesra_wrapper_header.h"
#include "wrapper/wrap_dump_format.h"
#include "wrapper_archives.h"

namespace tesra::test {
namespace {

using ::testing::ElementsAre;

constexpr const char *kUnwritable = "/nonexistent-tesra-dir/out.txt";

// volume (3): key "vol_id" (u64) and "hist" (two u32 values), both every minute.
ArchiveSpec histogram_spec() {
    ArchiveSpec spec;
    ObjectSpec volume;
    volume.id = kVolumeId;
    volume.name = "volume";
    CounterSpec hist = make_counter(2, "hist", 0x0104, 8, {kMinute});
    hist.x_names = {"lo", "hi"};
    volume.counters = {make_counter(1, "vol_id", 0x0108, 8, {kMinute}, true), hist};
    spec.objects = {volume};
    return spec;
}

// Minute 0: (5; 1, 2) and (7; 3, 4). Minute 1: (9; 0x80000000, 0xFFFFFFFF).
std::vector<RecordSpec> histogram_records() {
    return {{0, kVolumeId, kMinute, Instances().u64(5).u32(1).u32(2).u64(7).u32(3).u32(4).bytes()},
            {kMinute, kVolumeId, kMinute,
             Instances().u64(9).u32(0x80000000u).u32(0xFFFFFFFFu).bytes()}};
}

class WrapDumpTest : public WrapperTest {
protected:
    void SetUp() override {
        WrapperTest::SetUp();
        base_ = write(histogram_spec(), histogram_records());
        out_ = dir_.path() + "/dump.txt";
    }
    std::string base_;
    std::string out_;
};

size_t count_opens(const std::string &ident) {
    size_t n = 0;
    for (const LogEvent &e : log_events()) {
        if (e.call == LogCall::kOpen && e.ident == ident) ++n;
    }
    return n;
}

TEST_F(WrapDumpTest, CounterValuesAreOneQuotedListPerCounterAndALinePerInstance) {
    ASSERT_TRUE(write_counter_values_for_timestamp_to_file(base_.c_str(), out_.c_str(), kBase,
                                                           kMinute, "volume"));
    EXPECT_EQ(read_text(out_), "\"5\"\"1, 2\"\n\"7\"\"3, 4\"\n");
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(WrapDumpTest, FourByteValuesFromTheTopBitUpAreWrittenAsNegativeNumbers) {
    ASSERT_TRUE(write_counter_values_for_timestamp_to_file(
        base_.c_str(), out_.c_str(), kBase + kMinute, kMinute, "volume"));
    EXPECT_EQ(read_text(out_), "\"9\"\"-2147483648, -1\"\n");
}

TEST_F(WrapDumpTest, NoMatchingTimeLeavesAnEmptyFileAndSucceeds) {
    ASSERT_TRUE(write_counter_values_for_timestamp_to_file(
        base_.c_str(), out_.c_str(), kBase + 1, kMinute, "volume"));
    EXPECT_EQ(access(out_.c_str(), F_OK), 0);
    EXPECT_EQ(read_text(out_), "");
}

TEST_F(WrapDumpTest, CounterValuesToAnUnwritablePathFailBeforeTheArchiveIsOpened) {
    EXPECT_FALSE(write_counter_values_for_timestamp_to_file(base_.c_str(), kUnwritable, kBase,
                                                            kMinute, "volume"));
    EXPECT_THAT(message_texts(),
                ElementsAre(std::string("\nCould not dump counter values to file. Error opening "
                                        "output file : ") +
                            kUnwritable));
    EXPECT_EQ(log_messages()[0].ident, "tesra_wrapper_get_counter_data");
    // Only the dump's own log frame: the retrieval call never ran.
    EXPECT_EQ(count_opens("tesra_wrapper_get_counter_data"), 1u);
}

TEST_F(WrapDumpTest, CounterValuesOfAnUnknownObjectLeaveTheEmptyFileBehind) {
    EXPECT_FALSE(write_counter_values_for_timestamp_to_file(base_.c_str(), out_.c_str(), kBase,
                                                            kMinute, "nosuch"));
    EXPECT_EQ(access(out_.c_str(), F_OK), 0);
    EXPECT_EQ(read_text(out_), "");
    EXPECT_EQ(message_texts().size(), 1u);  // the retrieval call's own message
}

TEST_F(WrapDumpTest, TimestampsAreOneLineEach) {
    ASSERT_TRUE(write_timestamps_to_file(base_.c_str(), out_.c_str(), kMinute, "volume"));
    EXPECT_EQ(read_text(out_), "Timestamp: 1000000000000\nTimestamp: 1000000060000\n");
}

TEST_F(WrapDumpTest, TimestampsToAnUnwritablePathFailAfterTheArchiveWasRead) {
    EXPECT_FALSE(write_timestamps_to_file(base_.c_str(), kUnwritable, kMinute, "volume"));
    EXPECT_EQ(count_opens("tesra_wrapper_get_timestamps"), 1u);
    const auto messages = log_messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text,
              "Could not open output file to dump the timestamp values for file : " + base_);
    EXPECT_EQ(messages[0].ident, "tesra_wrapper_get_counter_data");
    EXPECT_EQ(messages[0].priority, LOG_ERR);
    EXPECT_EQ(log_events().back().call, LogCall::kClose);
}

TEST_F(WrapDumpTest, TimestampsThatCannotBeListedCreateNoFile) {
    EXPECT_FALSE(write_timestamps_to_file(base_.c_str(), out_.c_str(), kMinute, "nosuch"));
    EXPECT_NE(access(out_.c_str(), F_OK), 0);
    ASSERT_EQ(message_texts().size(), 2u);
    EXPECT_EQ(message_texts()[1],
              "get_timestamp_list routine failed to retrieve timestamps for file : " + base_);
}

// ---- line format on in-memory results -----------------------------------------------------

struct DumpText {
    std::string text;
    explicit DumpText(const std::vector<tesra_wrapper_counter_data_t> &data) {
        char *buffer = nullptr;
        size_t size = 0;
        std::FILE *f = open_memstream(&buffer, &size);
        tesra::wrap::write_dump_lines(f, data.data(), static_cast<uint32_t>(data.size()));
        std::fclose(f);
        text.assign(buffer, size);
        std::free(buffer);
    }
};

TEST(WrapDumpFormat, EmptyValueListIsTwoAdjacentQuotesAndStringsAreUnescaped) {
    tesra_cnt_value_t text{};
    text.val_str = "a, \"b\"";
    tesra_counter_data_t counters[2] = {{TESRA_CNT_8BYTES, nullptr, 0},
                                        {TESRA_CNT_STRING, &text, 1}};
    const DumpText dump({{0, counters, 2}});
    EXPECT_EQ(dump.text, "\"\"\"a, \"b\"\"\n");
}

TEST(WrapDumpFormat, CountsBeyondSixteenBitsAreWrittenInFull) {
    constexpr uint32_t kMany = 70000;
    std::vector<tesra_cnt_value_t> values(kMany);
    for (uint32_t v = 0; v < kMany; ++v) values[v].val_4B = v;
    tesra_counter_data_t wide{TESRA_CNT_4BYTES, values.data(), kMany};
    tesra_counter_data_t small{TESRA_CNT_4BYTES, values.data() + 3, 1};
    std::vector<tesra_wrapper_counter_data_t> data(kMany, {0, &small, 1});
    data[0] = {0, &wide, 1};

    const DumpText dump(data);
    size_t lines = 0;
    for (char c : dump.text) lines += c == '\n';
    EXPECT_EQ(lines, kMany);
    const std::string first = dump.text.substr(0, dump.text.find('\n'));
    size_t separators = 0;
    for (size_t at = first.find(", "); at != std::string::npos; at = first.find(", ", at + 2))
        ++separators;
    EXPECT_EQ(separators, kMany - 1);
    EXPECT_EQ(first.substr(first.size() - 13), "69998, 69999\"");
    EXPECT_EQ(dump.text.substr(dump.text.size() - 4), "\"3\"\n");
}

}  // namespace
}  // namespace tesra::test
