// Joining a timestamp's instances across periods whose records list them in other orders, and
// walks whose handles carry one step's values into the next: every value must be the one its
// own counter and instance hold, whatever the previous step held.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/sample_archives.h"

namespace tesra::test {
namespace {

constexpr uint32_t kDev = 4;

// Object "dev": key "name" (16-byte string), "a" (8 bytes) and "tags" (two 8-byte strings) at
// 1000 ms, "b" (4 bytes) at 5000 ms.
ArchiveSpec dev_spec() {
    ArchiveSpec spec;
    ObjectSpec dev;
    dev.id = kDev;
    dev.name = "dev";
    CounterSpec tags = make_counter(4, "tags", 0x2008, 16, {1000});
    tags.x_names = {"first", "second"};
    dev.counters = {make_counter(1, "name", 0x2010, 16, {1000}, true),
                    make_counter(2, "a", 0x0108, 8, {1000}),
                    make_counter(3, "b", 0x0104, 4, {5000}), tags};
    spec.objects = {dev};
    return spec;
}

std::vector<std::byte> fast_instance(const std::string &name,
                                     uint64_t a,
                                     const std::string &t1,
                                     const std::string &t2) {
    return Instances().str(name, 16).u64(a).str(t1, 8).str(t2, 8).bytes();
}

std::vector<std::byte> slow_instance(const std::string &name, uint32_t b) {
    return Instances().str(name, 16).u32(b).bytes();
}

class JoinAndReuse : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = dir_.base(kArchiveName);
        // The slow record lists its instances in another order, holds "d1" twice (the first
        // one is the match) and pads "d1" with bytes after its terminator, which are not part
        // of the key. "d3" is in the slow record only; "d4" in the fast record only.
        std::vector<std::byte> key_with_tail = Instances().str("d1", 16).bytes();
        key_with_tail[5] = std::byte{'x'};
        std::vector<std::byte> d1_slow = key_with_tail;
        const auto b1 = Instances().u32(11).bytes();
        d1_slow.insert(d1_slow.end(), b1.begin(), b1.end());
        const std::vector<RecordSpec> records = {
            {0, kDev, 1000,
             concat({fast_instance("d0", 100, "x", "y"), fast_instance("d1", 101, "longtag1", ""),
                     fast_instance("d2-long-name", 102, "p", "q"),
                     fast_instance("d4", 104, "", "z")})},
            {0, kDev, 5000,
             concat({slow_instance("d3", 13), slow_instance("d2-long-name", 12), d1_slow,
                     slow_instance("d1", 99), slow_instance("d0", 10)})},
            // A later sample, so that the archive spans more than its start.
            {1000, kDev, 1000, fast_instance("d0", 200, "", "")},
        };
        ASSERT_EQ(write_archive(dev_spec(), base_, records), TESRA_SUCCESS);
        ASSERT_EQ(archive_.open(base_), TESRA_SUCCESS);
    }

    // Every counter of every instance at the first timestamp, as "name:counter=value" lines.
    std::vector<std::string> query_lines() {
        const char *names[] = {"a", "tags", "b"};
        tesra_query_def_t_v6_0 def{};
        tesra_set_latest_version(&def);
        def.object_name = "dev";
        def.num_cnts = 3;
        def.cnt_names = names;
        def.start_time = kBase;
        def.end_time = kBase;
        def.period = 5000;
        tesra_query_handle_t *q = nullptr;
        EXPECT_EQ(tesra_query(archive_.get(), &def, &q), TESRA_SUCCESS);
        std::vector<std::string> lines;
        if (q == nullptr) return lines;
        tesra_timestamp_handle_t *ts = nullptr;
        EXPECT_EQ(tesra_first_timestamp(q, &ts), TESRA_SUCCESS);
        if (ts == nullptr) return lines;
        tesra_instance_handle_t *inst = nullptr;
        EXPECT_EQ(tesra_first_instance(ts, &inst), TESRA_SUCCESS);
        while (inst != nullptr) {
            const std::string key = str_value(inst->e6_0.key_cnt_values[0]);
            tesra_counter_handle_t *c = nullptr;
            tesra_counter_data_handle_t *cd = nullptr;
            EXPECT_EQ(tesra_first_counter_data(inst, &c, &cd), TESRA_SUCCESS);
            while (cd != nullptr) {
                tesra_counter_data_t_v6_0 v{};
                EXPECT_EQ(tesra_get_counter_data_value(cd, &v), TESRA_SUCCESS);
                std::string text = key + ":" + c->e6_0.name + "=";
                for (uint32_t k = 0; k < v.num_values; ++k) {
                    if (k > 0) text += ",";
                    switch (v.value_type) {
                        case TESRA_CNT_STRING:
                            text += v.values[k].val_str;
                            break;
                        case TESRA_CNT_4BYTES:
                            text += std::to_string(v.values[k].val_4B);
                            break;
                        case TESRA_CNT_8BYTES:
                            text += std::to_string(v.values[k].val_8B);
                            break;
                    }
                }
                lines.push_back(text);
                EXPECT_EQ(tesra_next_counter_data(inst, &c, &cd), TESRA_SUCCESS);
            }
            EXPECT_EQ(tesra_next_instance(ts, &inst), TESRA_SUCCESS);
        }
        return lines;
    }

    TempDir dir_;
    std::string base_;
    OpenArchive archive_;
};

TEST_F(JoinAndReuse, EachInstanceMeetsTheFirstSameKeyedInstanceOfTheOtherPeriod) {
    const std::vector<std::string> want = {
        "d0:name=d0",
        "d0:a=100",
        "d0:tags=x,y",
        "d0:b=10",
        "d1:name=d1",
        "d1:a=101",
        "d1:tags=longtag1,",
        "d1:b=11",
        "d2-long-name:name=d2-long-name",
        "d2-long-name:a=102",
        "d2-long-name:tags=p,q",
        "d2-long-name:b=12",
    };
    EXPECT_EQ(query_lines(), want);
    // Twice over the same archive: the second query's handles reuse nothing stale.
    EXPECT_EQ(query_lines(), want);
}

TEST_F(JoinAndReuse, RecordWalkValuesAreTheirOwnAfterEveryKindOfPreviousValue) {
    tesra_record_handle_t *rec = nullptr;
    ASSERT_EQ(tesra_first_record(archive_.get(), TESRA_RAW_ORDER, kBase, &rec), TESRA_SUCCESS);
    ASSERT_NE(rec, nullptr);
    std::vector<std::string> seen;
    tesra_instance_handle_t *inst = nullptr;
    ASSERT_EQ(tesra_first_instance_from_record(rec, &inst), TESRA_SUCCESS);
    while (inst != nullptr) {
        tesra_counter_handle_t *c = nullptr;
        tesra_counter_data_handle_t *cd = nullptr;
        ASSERT_EQ(tesra_first_counter_data(inst, &c, &cd), TESRA_SUCCESS);
        std::string line;
        while (cd != nullptr) {
            const auto &v = cd->e6_0;
            line += std::string(c->e6_0.name) + "=";
            for (uint32_t k = 0; k < v.num_values; ++k) {
                line += v.value_type == TESRA_CNT_STRING ? std::string(v.values[k].val_str)
                                                         : std::to_string(v.values[k].val_8B);
                line += ";";
            }
            ASSERT_EQ(tesra_next_counter_data(inst, &c, &cd), TESRA_SUCCESS);
        }
        seen.push_back(line);
        ASSERT_EQ(tesra_next_instance_from_record(rec, &inst), TESRA_SUCCESS);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "name=d0;a=100;tags=x;y;", "name=d1;a=101;tags=longtag1;;",
                        "name=d2-long-name;a=102;tags=p;q;", "name=d4;a=104;tags=;z;"}));
}

}  // namespace
}  // namespace tesra::test
