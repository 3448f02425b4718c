// Random writer sessions, read back while they are written and after they are closed: whatever
// the writer accepted opens, and every value reads back as written. Sessions mix objects with
// key, plain and array counters at several periods (the once-per-archive one included), write
// the header before, between or after the records, put records anywhere the writer takes them
// (several to a slot, before the start within its slot) and flush at random points.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tesra/tesra_live.h"

#include "read/reader_test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define TESRA_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESRA_TEST_SANITIZED 1
#endif
#endif

namespace tesra::test {
namespace {

#ifdef TESRA_TEST_SANITIZED
constexpr int kSessions = 12;
#else
constexpr int kSessions = 80;
#endif

constexpr uint64_t kOnce = 999999000;
constexpr uint64_t kPeriods[] = {1000, 5000, 60000, 300000, kOnce};

enum class Kind { kU32, kU64, kString, kArray };

struct Counter {
    CounterSpec spec;
    Kind kind;
};

struct Object {
    uint32_t id;
    std::vector<Counter> counters;  // ascending id, the key counter (id 1) first
    std::vector<uint64_t> periods;  // every period a counter brings
};

// The slot a record lands in: its object, period and aligned time over the period (0 for the
// once-per-archive period).
using SlotKey = std::tuple<uint32_t, uint64_t, uint64_t>;

class Session {
public:
    explicit Session(uint64_t seed) : rng_(seed) {
        const uint32_t objects = 1 + pick(3);
        std::vector<uint32_t> ids;
        while (ids.size() < objects) {
            const uint32_t id = 1 + pick(12);
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        }
        for (uint32_t id : ids) objects_.push_back(make_object(id));
        for (const Object &o : objects_) {
            ObjectSpec s;
            s.id = o.id;
            s.name = "o" + std::to_string(o.id);
            for (const Counter &c : o.counters) s.counters.push_back(c.spec);
            spec_.objects.push_back(s);
        }
        spec_.duration = std::vector<uint64_t>{60000, 900000, 3600000}[pick(3)];
    }

    const ArchiveSpec &spec() const { return spec_; }
    uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

    const Object &any_object() { return objects_[pick(static_cast<uint32_t>(objects_.size()))]; }

    // One record's body for `object` at `period` and the text each instance should read back.
    std::vector<std::byte> body(const Object &object,
                                uint64_t period,
                                std::vector<std::string> *texts) {
        Instances bytes;
        const uint32_t instances = 1 + pick(3);
        for (uint32_t i = 0; i < instances; ++i) {
            std::string text;
            for (const Counter &c : object.counters) {
                if (!c.spec.is_key && std::find(c.spec.periods.begin(), c.spec.periods.end(),
                                                period) == c.spec.periods.end()) {
                    continue;
                }
                text += c.spec.name + "=" + value(c, &bytes) + ";";
            }
            texts->push_back(text);
        }
        return bytes.bytes();
    }

private:
    Object make_object(uint32_t id) {
        Object o{id, {}, {}};
        const uint32_t plain = 1 + pick(3);
        for (uint32_t k = 0; k <= plain; ++k) {
            Counter c{CounterSpec{}, k == 0 ? Kind::kString : static_cast<Kind>(pick(4))};
            c.spec.id = k + 1;
            c.spec.name = "c" + std::to_string(k + 1);
            c.spec.is_key = k == 0;
            if (k == 0 && pick(2) == 0) c.kind = Kind::kU32;
            switch (c.kind) {
                case Kind::kU32:
                    c.spec.ctype = 0x0104;
                    c.spec.size = 4;
                    break;
                case Kind::kU64:
                    c.spec.ctype = 0x0108;
                    c.spec.size = 8;
                    break;
                case Kind::kString:
                    c.spec.ctype = 0x2010;
                    c.spec.size = 16;
                    break;
                case Kind::kArray:
                    c.spec.ctype = 0x0108;
                    c.spec.x_names = {"x0", "x1", "x2"};
                    c.spec.x_names.resize(2 + pick(2));
                    c.spec.size = static_cast<uint32_t>(8 * c.spec.x_names.size());
                    break;
            }
            c.spec.periods.clear();
            const uint32_t n = k == 0 ? 1 : 1 + pick(2);
            while (c.spec.periods.size() < n) {
                const uint64_t p = kPeriods[pick(std::size(kPeriods))];
                if (std::find(c.spec.periods.begin(), c.spec.periods.end(), p) ==
                    c.spec.periods.end()) {
                    c.spec.periods.push_back(p);
                }
            }
            std::sort(c.spec.periods.begin(), c.spec.periods.end());
            for (uint64_t p : c.spec.periods) {
                if (std::find(o.periods.begin(), o.periods.end(), p) == o.periods.end()) {
                    o.periods.push_back(p);
                }
            }
            o.counters.push_back(c);
        }
        return o;
    }

    std::string value(const Counter &c, Instances *bytes) {
        switch (c.kind) {
            case Kind::kU32: {
                const auto v = static_cast<uint32_t>(rng_());
                bytes->u32(v);
                return std::to_string(v);
            }
            case Kind::kU64: {
                const uint64_t v = rng_();
                bytes->u64(v);
                return std::to_string(v);
            }
            case Kind::kString: {
                const std::string v = "s" + std::to_string(rng_() % 100000000);
                bytes->str(v, 16);
                return v;
            }
            case Kind::kArray: {
                std::string text;
                for (std::size_t k = 0; k < c.spec.x_names.size(); ++k) {
                    const uint64_t v = rng_();
                    bytes->u64(v);
                    text += std::to_string(v) + ",";
                }
                return text;
            }
        }
        return {};
    }

    std::mt19937_64 rng_;
    std::vector<Object> objects_;
    ArchiveSpec spec_;
};

std::string value_text(const tesra_counter_data_t_v6_0 &data) {
    if (data.num_values == 1 && data.value_type == TESRA_CNT_STRING) {
        return data.values[0].val_str;
    }
    if (data.num_values == 1) {
        return std::to_string(data.value_type == TESRA_CNT_4BYTES ? data.values[0].val_4B
                                                                  : data.values[0].val_8B);
    }
    std::string text;
    for (uint32_t k = 0; k < data.num_values; ++k) {
        text += std::to_string(data.values[k].val_8B) + ",";
    }
    return text;
}

std::vector<std::string> instance_texts(tesra_record_handle_t *record) {
    std::vector<std::string> out;
    tesra_instance_handle_t *instance = nullptr;
    EXPECT_EQ(tesra_first_instance_from_record(record, &instance), TESRA_SUCCESS);
    while (instance != nullptr) {
        std::string text;
        tesra_counter_handle_t *counter = nullptr;
        tesra_counter_data_handle_t *data = nullptr;
        EXPECT_EQ(tesra_first_counter_data(instance, &counter, &data), TESRA_SUCCESS);
        while (data != nullptr) {
            text += std::string(counter->e6_0.name) + "=" + value_text(data->e6_0) + ";";
            EXPECT_EQ(tesra_next_counter_data(instance, &counter, &data), TESRA_SUCCESS);
        }
        out.push_back(text);
        EXPECT_EQ(tesra_next_instance_from_record(record, &instance), TESRA_SUCCESS);
    }
    return out;
}

// Checks an open archive against what the writer took: its span, and for every slot the
// instances of its records in writing order, and no record besides.
void expect_holds(const OpenedArchive &archive,
                  const std::map<SlotKey, std::vector<std::string>> &slots,
                  uint64_t start,
                  uint64_t end) {
    if (slots.empty()) return;
    EXPECT_EQ(archive->i6_0.start_time, start);
    EXPECT_EQ(archive->i6_0.end_time, end);
    std::size_t occupied = 0;
    for (auto *o = archive.header()->i6_0.object_list; o != nullptr; o = o->i6_0.next_object) {
        for (auto *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            for (uint32_t i = 0; i < p->num_offsets; ++i) {
                occupied += !format::is_empty_entry(p->record_offsets[i]);
            }
        }
    }
    EXPECT_EQ(occupied, slots.size());
    for (const auto &[key, expected] : slots) {
        const auto [obj_id, period, slot] = key;
        tesra_period_t *p = period_of(object_by_id(archive.header(), obj_id), period);
        ASSERT_NE(p, nullptr);
        const uint64_t at = period == kOnce ? archive->i6_0.start_time : slot * period;
        tesra_record_handle_t *record = nullptr;
        ASSERT_EQ(tesra_get_record_v6_0(archive.get(), at, p, &record), TESRA_SUCCESS)
            << obj_id << "/" << period << " at " << at;
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(instance_texts(record), expected) << obj_id << "/" << period << " at " << at;
        tesra_free_record(record);
    }
}

void expect_reads_back(const std::string &base,
                       const std::map<SlotKey, std::vector<std::string>> &slots,
                       uint64_t start,
                       uint64_t end) {
    OpenedArchive archive;
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    expect_holds(archive, slots, start, end);
}

// A follower opened at the first flush and refreshed at each later one holds what an archive
// opened afresh holds, and takes each record exactly once.
class Follower {
public:
    void catch_up(const std::string &base, uint32_t written_since) {
        uint32_t added = 0;
        if (archive_.get() == nullptr) {
            ASSERT_EQ(archive_.open(base), TESRA_SUCCESS);
            return;
        }
        ASSERT_EQ(tesra_refresh_data_file(archive_.get(), &added), TESRA_SUCCESS);
        EXPECT_EQ(added, written_since);
    }
    const OpenedArchive &archive() const { return archive_; }
    int being_written() const {
        int flag = -1;
        EXPECT_EQ(tesra_is_being_written(archive_.get(), &flag), TESRA_SUCCESS);
        return flag;
    }

private:
    OpenedArchive archive_;
};

TEST(LiveSession, WhatTheWriterTookReadsBackWhileWrittenAndAfterClose) {
    for (int seed = 0; seed < kSessions; ++seed) {
        SCOPED_TRACE("session " + std::to_string(seed));
        Session session(static_cast<uint64_t>(seed) * 7919 + 17);
        TempDir dir;
        const std::string live = dir.base("1_60_0000000000000_0000000.live");
        ArchiveBuilder writer(session.spec());
        ASSERT_EQ(writer.create(live), TESRA_SUCCESS);

        const uint32_t records = 4 + session.pick(40);
        // The header goes before the first record, after the last, or anywhere between.
        const uint32_t header_at =
            std::vector<uint32_t>{0, records, session.pick(records + 1)}[session.pick(3)];
        bool finalized = false;
        std::map<SlotKey, std::vector<std::string>> slots;
        const uint64_t origin = session.pick(600000);
        const uint64_t reach = std::vector<uint64_t>{20000, 900000, 7200000}[session.pick(3)];
        std::vector<uint64_t> times;
        Follower follower;
        uint32_t since_flush = 0;
        for (uint32_t r = 0; r <= records; ++r) {
            if (r == header_at) {
                ASSERT_EQ(writer.finalize(), TESRA_SUCCESS);
                finalized = true;
            }
            if (r == records) break;
            const Object &object = session.any_object();
            const uint64_t period = object.periods[session.pick(object.periods.size())];
            // Now and then a time already used, so that slots gather several records.
            const uint64_t t = !times.empty() && session.pick(4) == 0
                                   ? times[session.pick(static_cast<uint32_t>(times.size()))]
                                   : origin + session.pick(static_cast<uint32_t>(reach));
            std::vector<std::string> texts;
            const auto body = session.body(object, period, &texts);
            const tesra_error_t rc = writer.write(t, object.id, period, body);
            // Before the start's slot is the one place a writer turns a record away here.
            ASSERT_TRUE(rc == TESRA_SUCCESS || rc == TESRA_INVALID_TIMESTAMP) << rc;
            if (rc != TESRA_SUCCESS) continue;
            times.push_back(t);
            ++since_flush;
            const uint64_t slot = period == kOnce ? 0 : t / period;
            auto &seen = slots[{object.id, period, slot}];
            seen.insert(seen.end(), texts.begin(), texts.end());

            if (finalized && (session.pick(4) == 0 || r + 1 == records)) {
                ASSERT_EQ(gzflush(writer.file()->i6_0.data_file, Z_SYNC_FLUSH), Z_OK);
                std::fflush(writer.file()->i6_0.metadata_file);
                expect_reads_back(live, slots, writer.file()->i6_0.start_time,
                                  writer.file()->i6_0.end_time);
                follower.catch_up(live, since_flush);
                since_flush = 0;
                EXPECT_EQ(follower.being_written(), 1);
                expect_holds(follower.archive(), slots, writer.file()->i6_0.start_time,
                             writer.file()->i6_0.end_time);
            }
        }
        const uint64_t start = writer.file()->i6_0.start_time;
        const uint64_t end = writer.file()->i6_0.end_time;
        // Records of a single aligned time get no index; the archive stays readable without.
        const tesra_error_t closed = writer.close();
        ASSERT_TRUE(closed == TESRA_SUCCESS || closed == TESRA_INVALID_TIMESTAMP) << closed;
        expect_reads_back(live, slots, start, end);
        // Closing wrote the index section the follower now takes; the records flushed by the
        // close itself are new to it.
        follower.catch_up(live, since_flush);
        EXPECT_EQ(follower.being_written(), closed == TESRA_SUCCESS ? 0 : 1);
        expect_holds(follower.archive(), slots, start, end);
        const std::string finished = dir.base("1_60_1000_900000");
        for (const char *ext : {".meta", ".gz"}) {
            ASSERT_EQ(std::rename((live + ext).c_str(), (finished + ext).c_str()), 0);
        }
        expect_reads_back(finished, slots, start, end);
    }
}

}  // namespace
}  // namespace tesra::test
