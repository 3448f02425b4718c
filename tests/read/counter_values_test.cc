// Decoding of counter slots (scalars, x and x-by-y arrays, strings) and the counter-data walk of
// an instance: key counters first, then the source's counters, each slot inside the instance.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tesra/tesra_values.h"

#include "read/sample_archives.h"

namespace tesra::test {
namespace {

void free_values(tesra_counter_data_t_v6_0 &d) {
    if (d.value_type == TESRA_CNT_STRING) {
        for (uint32_t i = 0; i < d.num_values; ++i)
            std::free(const_cast<char *>(d.values[i].val_str));
    }
    std::free(d.values);
}

struct DecodeCase {
    const char *name;
    uint32_t ctype;
    uint32_t size;
    uint32_t num_x;
    uint32_t num_y;
    tesra_cnt_data_type_t type;
    uint32_t num_values;
};

class SlotDecoding : public ::testing::TestWithParam<DecodeCase> {};

// Slot bytes: value k holds k + 1 in every byte position that the width allows.
TEST_P(SlotDecoding, ValuesFollowTheLabelsAndTheWidth) {
    const auto &c = GetParam();
    tesra_counter_handle_t counter{};
    counter.e6_0.ctype = c.ctype;
    counter.e6_0.size = c.size;
    counter.e6_0.num_x_items = c.num_x;
    counter.e6_0.num_y_items = c.num_y;
    const uint32_t width = c.size / c.num_values;
    std::vector<char> slot(c.size);
    for (uint32_t k = 0; k < c.num_values; ++k) {
        if (c.type == TESRA_CNT_STRING) {
            std::memset(slot.data() + k * width, 'a' + static_cast<int>(k), width);
        } else {
            slot[k * width] = static_cast<char>(k + 1);
        }
    }
    // `out` is written, never read: what it held before is the caller's, not a list to reuse.
    std::vector<tesra_cnt_value_t> stale(c.num_values);
    tesra_counter_data_t_v6_0 out{c.type, stale.data(), c.num_values};
    ASSERT_EQ(tesra_get_counter_data_v6_0(&counter, slot.data(), &out), TESRA_SUCCESS);
    EXPECT_NE(out.values, stale.data());
    EXPECT_EQ(out.value_type, c.type);
    ASSERT_EQ(out.num_values, c.num_values);
    for (uint32_t k = 0; k < c.num_values; ++k) {
        switch (c.type) {
            case TESRA_CNT_4BYTES:
                EXPECT_EQ(out.values[k].val_4B, k + 1);
                break;
            case TESRA_CNT_8BYTES:
                EXPECT_EQ(out.values[k].val_8B, k + 1);
                break;
            case TESRA_CNT_STRING:
                EXPECT_EQ(str_value(out, k), std::string(width, static_cast<char>('a' + k)));
                break;
        }
    }
    free_values(out);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts,
    SlotDecoding,
    ::testing::Values(DecodeCase{"Scalar4", 0x0104, 4, 0, 0, TESRA_CNT_4BYTES, 1},
                      DecodeCase{"Scalar8", 0x0108, 8, 0, 0, TESRA_CNT_8BYTES, 1},
                      DecodeCase{"XByY8", 0x0108, 48, 3, 2, TESRA_CNT_8BYTES, 6},
                      DecodeCase{"XOnly4", 0x0104, 16, 4, 0, TESRA_CNT_4BYTES, 4},
                      DecodeCase{"TwoStringsFillingTheirWidth", 0x2040, 64, 2, 0, TESRA_CNT_STRING,
                                 2},
                      DecodeCase{"FourByteString", 0x2004, 4, 0, 0, TESRA_CNT_STRING, 1},
                      DecodeCase{"YWithoutXIsScalar", 0x0108, 8, 0, 3, TESRA_CNT_8BYTES, 1}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(SlotDecodingStrings, ShortStringEndsAtItsNul) {
    tesra_counter_handle_t counter{};
    counter.e6_0.ctype = 0x2020;
    counter.e6_0.size = 32;
    char slot[32] = {'a', 'b', 'c'};
    slot[10] = 'z';  // after the NUL: not part of the text
    tesra_counter_data_t_v6_0 out{};
    ASSERT_EQ(tesra_get_counter_data_v6_0(&counter, slot, &out), TESRA_SUCCESS);
    EXPECT_EQ(str_value(out), "abc");
    free_values(out);
}

TEST(SlotDecodingOtherWidths, CellsStayZero) {
    tesra_counter_handle_t counter{};
    counter.e6_0.ctype = 0x0103;
    counter.e6_0.size = 6;
    counter.e6_0.num_x_items = 2;
    const char slot[6] = {1, 2, 3, 4, 5, 6};
    tesra_counter_data_t_v6_0 out{};
    ASSERT_EQ(tesra_get_counter_data_v6_0(&counter, const_cast<char *>(slot), &out), TESRA_SUCCESS);
    ASSERT_EQ(out.num_values, 2u);
    EXPECT_EQ(out.values[0].val_8B, 0u);
    EXPECT_EQ(out.values[1].val_8B, 0u);
    free_values(out);
}

TEST(SlotDecodingOtherWidths, MoreLabelsThanBytesIsRefused) {
    tesra_counter_handle_t counter{};
    counter.e6_0.ctype = 0x0108;
    counter.e6_0.size = 8;
    counter.e6_0.num_x_items = 100000;
    counter.e6_0.num_y_items = 100000;
    char slot[8] = {};
    tesra_counter_data_t_v6_0 out{};
    EXPECT_EQ(tesra_get_counter_data_v6_0(&counter, slot, &out), TESRA_CORRUPT_ARCHIVE);
    EXPECT_EQ(out.values, nullptr);
}

// ---- counter data of record instances ----------------------------------------------------------

class CounterDataWalk : public SampleArchiveTest {
protected:
    void SetUp() override {
        SampleArchiveTest::SetUp();
        ASSERT_EQ(tesra_first_record(file(), TESRA_LINEAR_ORDER, kBase + 1000, &record_),
                  TESRA_SUCCESS);
        ASSERT_NE(record_, nullptr);
        ASSERT_EQ(record_->e6_0.period, 1000u);
        ASSERT_EQ(tesra_first_instance_from_record(record_, &instance_), TESRA_SUCCESS);
        ASSERT_NE(instance_, nullptr);
    }

    tesra_record_handle_t *record_ = nullptr;
    tesra_instance_handle_t *instance_ = nullptr;
};

TEST_F(CounterDataWalk, KeyCountersComeFirstThenThePeriodsCounters) {
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_first_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    ASSERT_NE(cnt, nullptr);
    EXPECT_STREQ(cnt->e6_0.name, "name");
    tesra_counter_data_t_v6_0 value{};
    ASSERT_EQ(tesra_get_counter_data_value(cd, &value), TESRA_SUCCESS);
    ASSERT_EQ(value.value_type, TESRA_CNT_STRING);
    EXPECT_EQ(str_value(value), "vol-a");

    ASSERT_EQ(tesra_next_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    ASSERT_NE(cnt, nullptr);
    EXPECT_STREQ(cnt->e6_0.name, "ops");
    ASSERT_EQ(tesra_get_counter_data_value(cd, &value), TESRA_SUCCESS);
    EXPECT_EQ(value.value_type, TESRA_CNT_8BYTES);
    EXPECT_EQ(value.values[0].val_8B, 1u);

    ASSERT_EQ(tesra_next_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_EQ(cnt, nullptr);
    EXPECT_EQ(cd, nullptr);
}

TEST_F(CounterDataWalk, FindLooksAtKeyCountersToo) {
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_find_counter_data(instance_, "name", &cnt, &cd), TESRA_SUCCESS);
    EXPECT_STREQ(cnt->e6_0.name, "name");
    EXPECT_EQ(instance_->i6_0.next_counter_index, 1u);
    ASSERT_EQ(tesra_find_counter_data(instance_, "ops", &cnt, &cd), TESRA_SUCCESS);
    EXPECT_EQ(cd->e6_0.values[0].val_8B, 1u);
}

TEST_F(CounterDataWalk, FindWithAnUnknownNameGivesBothNull) {
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    EXPECT_EQ(tesra_find_counter_data(instance_, "OPS", &cnt, &cd), TESRA_COUNTER_NOT_FOUND);
    EXPECT_EQ(cnt, nullptr);
    EXPECT_EQ(cd, nullptr);
}

TEST_F(CounterDataWalk, FindWithoutUpdatingLeavesTheCursor) {
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_find_counter_data_v6_0(instance_, "ops", &cnt, &cd, false), TESRA_SUCCESS);
    EXPECT_EQ(instance_->i6_0.next_counter_index, 0u);
    ASSERT_EQ(tesra_next_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_STREQ(cnt->e6_0.name, "name");
}

TEST_F(CounterDataWalk, SlotOutsideTheInstanceIsRefused) {
    tesra_counter_handle_t *ops = record_->i6_0.counters[0];
    const uint32_t idx = record_->i6_0.period->period_index;
    ops->i6_0.record_offsets[idx] = 20;  // 20 + 8 > 24-byte instance
    tesra_counter_handle_t *cnt = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    ASSERT_EQ(tesra_first_counter_data(instance_, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_EQ(tesra_next_counter_data(instance_, &cnt, &cd), TESRA_CORRUPT_ARCHIVE);
    EXPECT_EQ(cnt, nullptr);
    EXPECT_EQ(cd, nullptr);
    ops->i6_0.record_offsets[idx] = 16;
}

TEST(CounterDataWithoutKeys, InstanceOfAnObjectWithoutKeyCountersYieldsNone) {
    TempDir dir;
    const auto base = dir.base(kArchiveName);
    ArchiveSpec spec;
    ObjectSpec obj;
    obj.id = 2;
    obj.name = "plain";
    obj.counters = {make_counter(1, "a", 0x0108, 8, {1000})};
    spec.objects = {obj};
    ASSERT_EQ(write_archive(spec, base,
                            {{0, 2, 1000, Instances().u64(5).bytes()},
                             {1000, 2, 1000, Instances().u64(6).bytes()}}),
              TESRA_SUCCESS);
    OpenArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_record_handle_t *rec = nullptr;
    ASSERT_EQ(tesra_first_record(archive.get(), TESRA_RAW_ORDER, 0, &rec), TESRA_SUCCESS);
    tesra_instance_handle_t *inst = nullptr;
    ASSERT_EQ(tesra_first_instance_from_record(rec, &inst), TESRA_SUCCESS);
    ASSERT_NE(inst, nullptr);
    auto *cnt = reinterpret_cast<tesra_counter_handle_t *>(0x1);
    auto *cd = reinterpret_cast<tesra_counter_data_handle_t *>(0x1);
    EXPECT_EQ(tesra_first_counter_data(inst, &cnt, &cd), TESRA_SUCCESS);
    EXPECT_EQ(cnt, nullptr);
    EXPECT_EQ(cd, nullptr);
}

// ---- every counter of an instance in one call --------------------------------------------------

namespace values_call {

constexpr uint32_t kMix = 9, kPlain = 2;

// "mix": key "name" at every period; at 1000 ms "a" and "a2" (u64), "t" (two 8-byte strings)
// and "m" (2 x 2 u32); at 5000 ms "b" and "b2" (u32) and "w" (2 bytes, a width nothing
// decodes); once per archive "cfg" (u64). "plain" has no key counter.
ArchiveSpec mix_archive() {
    ArchiveSpec s;
    ObjectSpec mix;
    mix.id = kMix;
    mix.name = "mix";
    CounterSpec t = make_counter(4, "t", 0x2008, 16, {1000});
    t.x_names = {"first", "second"};
    CounterSpec m = make_counter(5, "m", 0x0104, 16, {1000});
    m.x_names = {"r0", "r1"};
    m.y_names = {"c0", "c1"};
    mix.counters = {make_counter(1, "name", 0x2010, 16, {1000, 5000, kOnce}, true),
                    make_counter(2, "a", 0x0108, 8, {1000}),
                    make_counter(3, "a2", 0x0108, 8, {1000}),
                    t,
                    m,
                    make_counter(6, "b", 0x0104, 4, {5000}),
                    make_counter(7, "b2", 0x0104, 4, {5000}),
                    make_counter(8, "w", 0x0102, 2, {5000}),
                    make_counter(9, "cfg", 0x0108, 8, {kOnce})};
    ObjectSpec plain;
    plain.id = kPlain;
    plain.name = "plain";
    plain.counters = {make_counter(1, "v", 0x0108, 8, {1000})};
    s.objects = {mix, plain};
    return s;
}

std::vector<std::byte> fast(const std::string &name, uint64_t a, uint32_t m0) {
    Instances i;
    i.str(name, 16).u64(a).u64(a + 1000).str(name + "-x", 8).str("", 8);
    for (uint32_t k = 0; k < 4; ++k) i.u32(m0 + k);
    return i.bytes();
}

std::vector<RecordSpec> records() {
    std::vector<RecordSpec> r;
    r.push_back({0, kMix, kOnce,
                 concat({Instances().str("k1", 16).u64(77).bytes(),
                         Instances().str("k2", 16).u64(78).bytes()})});
    for (uint64_t t = 0; t <= 5000; t += 1000) {
        const auto s = static_cast<uint32_t>(t / 1000);
        r.push_back({t, kMix, 1000, concat({fast("k1", s, 10 * s), fast("k2", 100 + s, 7)})});
        r.push_back({t, kPlain, 1000, Instances().u64(s).bytes()});
        if (t % 5000 == 0) {
            // Listed in the other order, so that joining has to match them.
            r.push_back(
                {t, kMix, 5000,
                 concat({Instances().str("k2", 16).u32(50 + s).u32(60 + s).str("w2", 2).bytes(),
                         Instances().str("k1", 16).u32(s).u32(9).str("w1", 2).bytes()})});
        }
    }
    return r;
}

// One counter's values, as text: numbers as all 8 bytes of their cell.
struct Entry {
    const tesra_counter_handle_t *counter;
    tesra_cnt_data_type_t type;
    std::vector<std::string> values;
    bool operator==(const Entry &) const = default;
};
struct Result {
    tesra_error_t rc = TESRA_SUCCESS;
    std::vector<Entry> entries;  // empty when rc fails: the walk's earlier steps do not count
    bool operator==(const Result &) const = default;
};

Entry entry_of(const tesra_counter_handle_t *c, const tesra_counter_data_t_v6_0 &d) {
    Entry e{c, d.value_type, {}};
    for (uint32_t k = 0; k < d.num_values; ++k) {
        e.values.push_back(d.value_type == TESRA_CNT_STRING ? std::string(d.values[k].val_str)
                                                            : std::to_string(d.values[k].val_8B));
    }
    return e;
}

Result by_call(tesra_instance_handle_t *inst) {
    Result r;
    tesra_instance_values_t_v6_0 v{};
    r.rc = tesra_get_instance_values(inst, &v);
    if (r.rc != TESRA_SUCCESS) {
        EXPECT_EQ(v.num_cnts, 0u);
        return r;
    }
    for (uint32_t i = 0; i < v.num_cnts; ++i)
        r.entries.push_back(entry_of(v.counters[i], v.values[i]));
    return r;
}

Result by_walk(tesra_instance_handle_t *inst) {
    Result r;
    tesra_counter_handle_t *c = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    r.rc = tesra_first_counter_data(inst, &c, &cd);
    while (r.rc == TESRA_SUCCESS && cd != nullptr) {
        r.entries.push_back(entry_of(c, cd->e6_0));
        r.rc = tesra_next_counter_data(inst, &c, &cd);
    }
    if (r.rc != TESRA_SUCCESS) r.entries.clear();
    return r;
}

struct ValuesCase {
    const char *name;
    const char *object;  // nullptr: every record of the archive, in time order
    uint64_t period;
    std::vector<const char *> counters;
    bool slot_outside;   // "a" placed past the end of its instances
    tesra_error_t want;  // the first failure met, or success
};

class InstanceValues : public ::testing::TestWithParam<ValuesCase> {
protected:
    // Calls `fn` on every instance the case walks.
    template <class F>
    void each_instance(F &&fn) {
        const auto &c = GetParam();
        if (c.object == nullptr) {
            tesra_record_handle_t *rec = nullptr;
            ASSERT_EQ(tesra_first_record(archive_.get(), TESRA_LINEAR_ORDER, kBase, &rec),
                      TESRA_SUCCESS);
            while (rec != nullptr) {
                tesra_instance_handle_t *inst = nullptr;
                ASSERT_EQ(tesra_first_instance_from_record(rec, &inst), TESRA_SUCCESS);
                while (inst != nullptr) {
                    fn(inst);
                    ASSERT_EQ(tesra_next_instance_from_record(rec, &inst), TESRA_SUCCESS);
                }
                ASSERT_EQ(tesra_next_record(archive_.get(), &rec), TESRA_SUCCESS);
            }
            return;
        }
        tesra_query_def_t_v6_0 d{};
        tesra_set_latest_version(&d);
        d.object_name = c.object;
        d.start_time = kBase;
        d.end_time = kBase + 5000;
        d.period = c.period;
        std::vector<const char *> names = c.counters;
        d.num_cnts = static_cast<uint32_t>(names.size());
        d.cnt_names = names.empty() ? nullptr : names.data();
        tesra_query_handle_t *q = nullptr;
        ASSERT_EQ(tesra_query(archive_.get(), &d, &q), TESRA_SUCCESS);
        tesra_timestamp_handle_t *ts = nullptr;
        ASSERT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
        while (ts != nullptr) {
            tesra_instance_handle_t *inst = nullptr;
            ASSERT_EQ(tesra_first_instance(ts, &inst), TESRA_SUCCESS);
            while (inst != nullptr) {
                fn(inst);
                ASSERT_EQ(tesra_next_instance(ts, &inst), TESRA_SUCCESS);
            }
            ASSERT_EQ(tesra_next_timestamp(q, &ts), TESRA_SUCCESS);
        }
    }

    TempDir dir_;
    OpenArchive archive_;
};

// The call alone (its lists reused from one instance to the next), then the walk followed by the
// call on each instance (which takes the slot back from the walk's handle): the same counters,
// values and codes every time.
TEST_P(InstanceValues, GiveWhatTheCounterDataWalkGives) {
    const auto &c = GetParam();
    const auto base = dir_.base(kArchiveName);
    ASSERT_EQ(write_archive(mix_archive(), base, records()), TESRA_SUCCESS);
    ASSERT_EQ(archive_.open(base), TESRA_SUCCESS);
    if (c.slot_outside) {
        tesra_counter_handle_t *a = nullptr;
        ASSERT_EQ(tesra_find_counter_by_name(archive_.object(kMix), "a", &a), TESRA_SUCCESS);
        a->i6_0.record_offsets[archive_.period(kMix, 1000)->period_index] = 70;  // 70 + 8 > 64
    }
    std::vector<Result> called, walked, called_after;
    each_instance([&](tesra_instance_handle_t *inst) { called.push_back(by_call(inst)); });
    each_instance([&](tesra_instance_handle_t *inst) {
        walked.push_back(by_walk(inst));
        called_after.push_back(by_call(inst));
    });
    EXPECT_EQ(called, walked);
    EXPECT_EQ(called_after, walked);
    tesra_error_t first = TESRA_SUCCESS;
    size_t values = 0;
    for (const auto &r : walked) {
        if (first == TESRA_SUCCESS) first = r.rc;
        for (const auto &e : r.entries) values += e.values.size();
    }
    EXPECT_EQ(first, c.want);
    EXPECT_GT(walked.size(), 0u);
    if (c.want == TESRA_SUCCESS) {
        EXPECT_GT(values, walked.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources,
    InstanceValues,
    ::testing::Values(
        // Records of every period, the once-per-archive one and the keyless object's.
        ValuesCase{"Records", nullptr, 0, {}, false, TESRA_SUCCESS},
        ValuesCase{"QueryJoiningTwoPeriods",
                   "mix",
                   5000,
                   {"w", "a2", "a", "t", "m", "b", "b2"},
                   false,
                   TESRA_SUCCESS},
        // Every counter: parts of 1000 ms, 5000 ms and once per archive.
        ValuesCase{"QueryOfEveryCounter", "mix", 1000, {}, false, TESRA_SUCCESS},
        ValuesCase{"OncePerArchiveQueryWithoutTheCountersPart",
                   "mix",
                   kOnce,
                   {"cfg", "a"},
                   false,
                   TESRA_PERIOD_NOT_FOUND},
        ValuesCase{"SlotOutsideTheInstance", nullptr, 0, {}, true, TESRA_CORRUPT_ARCHIVE},
        ValuesCase{
            "SlotOutsideTheJoinedInstance", "mix", 5000, {"b", "a"}, true, TESRA_CORRUPT_ARCHIVE}),
    [](const auto &row) { return std::string(row.param.name); });

}  // namespace values_call
}  // namespace
}  // namespace tesra::test
