// The record-stream scanner on streams built in memory: where a scan cut short ends, that a scan
// resumed there goes on as one uninterrupted scan, and the stop reason of each rule.
#include "format/record_scan.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace tesra::format {
namespace {

constexpr uint64_t kMinute = 60000;

struct Record {
    uint64_t time;
    uint32_t size;
    uint32_t obj_id;
    uint64_t period;
};

std::vector<std::byte> stream_of(const std::vector<Record> &records) {
    std::vector<std::byte> out;
    for (const Record &r : records) {
        std::array<std::byte, kRecordHeaderSize> head{};
        encode_record_header({r.time, r.size, r.obj_id, r.period}, head);
        out.insert(out.end(), head.begin(), head.end());
        for (uint32_t i = 0; i < r.size; ++i) out.push_back(static_cast<std::byte>(out.size()));
    }
    return out;
}

// The first `readable` bytes of a stream, as a writer that is still at it leaves them.
class MemorySource final : public StreamSource {
public:
    MemorySource(const std::vector<std::byte> &bytes, std::size_t readable)
        : bytes_(bytes), readable_(std::min(readable, bytes.size())) {}
    tesra_error_t read_at(uint64_t offset, std::span<std::byte> out, std::size_t *got) override {
        *got = offset >= readable_ ? 0 : std::min<std::size_t>(out.size(), readable_ - offset);
        std::copy_n(bytes_.begin() + static_cast<long>(std::min<uint64_t>(offset, readable_)), *got,
                    out.begin());
        return TESRA_SUCCESS;
    }

private:
    const std::vector<std::byte> &bytes_;
    std::size_t readable_;
};

struct Seen {
    uint64_t offset;
    uint64_t time;
    StopReason breach;
    std::vector<std::byte> body;
    bool operator==(const Seen &) const = default;
};

// Every record a scanner hands out, each taken when it meets the rules.
std::vector<Seen> scan_all(RecordScanner &scanner) {
    std::vector<Seen> seen;
    ScannedRecord r;
    while (scanner.next(&r)) {
        seen.push_back({r.offset, r.header.msecs_since_base, r.breach,
                        std::vector<std::byte>(r.body.begin(), r.body.end())});
        if (r.breach == StopReason::kNone) scanner.take(r);
    }
    return seen;
}

RecordRules preset_rules() {
    RecordRules rules = RecordRules::for_preset();
    rules.add_object(1);
    rules.add_period(1, kMinute, 8);
    rules.add_period(1, TESRA_ONCE_PER_ARCHIVE_PERIOD, 4);
    return rules;
}

TEST(RecordScan, AScanCutAnywhereEndsPreciselyAndResumesAsOneUninterruptedScan) {
    // An empty body, a once-per-archive record, and a last record before the archive's start:
    // judging that one needs the start the first scan fixed.
    const std::vector<Record> records = {{2 * kMinute, 16, 1, kMinute},
                                         {2 * kMinute, 0, 1, kMinute},
                                         {2 * kMinute + 5, 4, 1, TESRA_ONCE_PER_ARCHIVE_PERIOD},
                                         {3 * kMinute, 8, 1, kMinute},
                                         {0, 8, 1, kMinute}};
    const std::vector<std::byte> bytes = stream_of(records);
    const RecordRules rules = preset_rules();
    for (auto bodies : {RecordScanner::Bodies::kSkip, RecordScanner::Bodies::kRead}) {
        MemorySource whole_source(bytes, bytes.size());
        RecordScanner whole(whole_source, rules, bodies);
        const std::vector<Seen> expected = scan_all(whole);
        ASSERT_EQ(expected.size(), records.size());
        EXPECT_EQ(expected.back().breach, StopReason::kBeforeStart);
        EXPECT_EQ(whole.end().reason, StopReason::kEnd);

        for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
            SCOPED_TRACE(::testing::Message()
                         << "cut at " << cut << ", bodies " << static_cast<int>(bodies));
            MemorySource cut_source(bytes, cut);
            RecordScanner first(cut_source, rules, bodies);
            std::vector<Seen> seen = scan_all(first);
            const ScanStop &end = first.end();
            const ScanPoint point = first.point();
            EXPECT_EQ(end.offset, point.offset);
            // Only whole records are handed out; the cut one is named with what is there of it.
            const uint64_t there = cut - end.offset;
            if (there == 0) {
                EXPECT_EQ(end.reason, StopReason::kEnd);
            } else if (there < kRecordHeaderSize) {
                EXPECT_EQ(end.reason, StopReason::kHeaderCut);
                EXPECT_EQ(end.got, there);
            } else {
                EXPECT_EQ(end.reason, StopReason::kBodyCut);
                EXPECT_EQ(end.got, there - kRecordHeaderSize);
                EXPECT_LT(end.got, end.record.size);
            }

            MemorySource rest_source(bytes, bytes.size());
            RecordScanner rest(rest_source, rules, bodies, point);
            std::vector<Seen> more = scan_all(rest);
            seen.insert(seen.end(), more.begin(), more.end());
            EXPECT_EQ(seen, expected);
            EXPECT_EQ(rest.end().reason, StopReason::kEnd);
        }
    }
}

struct RuleCase {
    const char *name;
    Record second;  // follows a good record at 2 minutes
    bool preset;
    StopReason breach;  // of the second record, or kNone when it ends the chain
    StopReason end;
};

class RecordRulesTable : public ::testing::TestWithParam<RuleCase> {};

TEST_P(RecordRulesTable, NameTheRecordThatBreaksThem) {
    const RuleCase &c = GetParam();
    const std::vector<std::byte> bytes = stream_of({{2 * kMinute, 16, 1, kMinute}, c.second});
    const RecordRules rules = c.preset ? preset_rules() : RecordRules();
    MemorySource source(bytes, bytes.size());
    RecordScanner scanner(source, rules, RecordScanner::Bodies::kSkip);
    ScannedRecord r;
    ASSERT_TRUE(scanner.next(&r));
    ASSERT_EQ(r.breach, StopReason::kNone);
    scanner.take(r);
    if (c.end != StopReason::kEnd) {
        EXPECT_FALSE(scanner.next(&r));
        EXPECT_EQ(scanner.end().reason, c.end);
        EXPECT_EQ(scanner.end().offset, 40u);
        return;
    }
    ASSERT_TRUE(scanner.next(&r));
    EXPECT_EQ(r.breach, c.breach);
    const ScanStop stop = scanner.stop_at(r, r.breach);
    EXPECT_EQ(stop.offset, 40u);
    EXPECT_EQ(stop.last_time, 2 * kMinute);
    EXPECT_EQ(stop.start, 2 * kMinute);
    if (c.breach == StopReason::kPartialInstance) {
        EXPECT_EQ(stop.instance_size, 8u);
    }
    EXPECT_FALSE(scanner.next(&r));
    EXPECT_EQ(scanner.end().reason, StopReason::kEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Rules,
    RecordRulesTable,
    ::testing::Values(
        RuleCase{"Good", {3 * kMinute, 8, 1, kMinute}, true, StopReason::kNone, StopReason::kEnd},
        RuleCase{"PeriodOutsideTheTable",
                 {3 * kMinute, 8, 1, 7000},
                 true,
                 StopReason::kUnknownPeriod,
                 StopReason::kEnd},
        RuleCase{"UnknownObject",
                 {3 * kMinute, 8, 9, kMinute},
                 true,
                 StopReason::kUnknownObject,
                 StopReason::kEnd},
        RuleCase{"UnknownObjectWithoutPreset",
                 {3 * kMinute, 8, 9, kMinute},
                 false,
                 StopReason::kNone,
                 StopReason::kEnd},
        RuleCase{"PeriodTheObjectLacks",
                 {3 * kMinute, 8, 1, 300000},
                 true,
                 StopReason::kPeriodNotSampled,
                 StopReason::kEnd},
        RuleCase{"PartialInstance",
                 {3 * kMinute, 12, 1, kMinute},
                 true,
                 StopReason::kPartialInstance,
                 StopReason::kEnd},
        RuleCase{"BeforeTheStartsSlot",
                 {kMinute + 59999, 8, 1, kMinute},
                 true,
                 StopReason::kBeforeStart,
                 StopReason::kEnd},
        RuleCase{"BeyondTheReachOfTheTables",
                 {2 * kMinute + kMinute * uint64_t{kMaxSlots}, 8, 1, kMinute},
                 true,
                 StopReason::kBeyondReach,
                 StopReason::kEnd},
        RuleCase{"LastSlotInReach",
                 {2 * kMinute + kMinute * (uint64_t{kMaxSlots} - 1), 8, 1, kMinute},
                 true,
                 StopReason::kNone,
                 StopReason::kEnd},
        RuleCase{"BodyOverTheLimit",
                 {3 * kMinute, kMaxRecordBodySize + 1, 1, kMinute},
                 true,
                 StopReason::kNone,
                 StopReason::kBodyTooLarge}),
    [](const ::testing::TestParamInfo<RuleCase> &p) { return p.param.name; });

}  // namespace
}  // namespace tesra::format
