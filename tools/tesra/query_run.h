// Running a query on an open archive: the definition's storage, the key filter, and a walk over
// timestamps, instances and counter values that copies every value out before stepping on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli_common.h"

namespace tesra::cli {

// One counter's values at one instance, copied out of the reader.
struct CounterValues {
    const CounterInfo *counter = nullptr;
    tesra_cnt_data_type_t type = TESRA_CNT_8BYTES;
    std::vector<uint64_t> numbers;     // 4- and 8-byte values
    std::vector<std::string> strings;  // string values

    size_t size() const { return type == TESRA_CNT_STRING ? strings.size() : numbers.size(); }
    std::string text(size_t index) const;
};

struct InstanceValues {
    std::vector<CounterValues> counters;  // key counters first, then the queried counters
    std::string archive;                  // over a series: the archive the row comes from
};

// What to read: one object at one period, a time range, key values and counters.
class QuerySpec {
public:
    QuerySpec(const Archive &archive,
              tesra_object_handle_t *object,
              std::string object_name,
              std::vector<CounterInfo> counters,
              uint64_t period);

    // NAME=VALUE for a key counter; reports what is wrong and returns false.
    bool add_key(const std::string &assignment);
    // A counter by name; reports an unknown one.
    bool add_counter(const std::string &name);
    void set_range(uint64_t start, uint64_t end) {
        start_ = start;
        end_ = end;
    }

    // Without named counters: every non-key counter sampled at the period.
    void use_default_counters();

    uint64_t period() const { return period_; }
    uint64_t start() const { return start_; }
    uint64_t end() const { return end_; }
    const std::vector<const CounterInfo *> &selected() const { return selected_; }
    std::vector<const CounterInfo *> key_counters() const;
    const std::vector<CounterInfo> &counters() const { return counters_; }

    // Runs the query; `visit` gets every timestamp (absolute ms) with its instances and may
    // stop the walk by returning false. nullopt: a failure, already reported.
    using Visit = std::function<bool(uint64_t time, std::vector<InstanceValues> &instances)>;
    // `with_values` false walks the timestamps only (no instances are read).
    std::optional<uint64_t> run(const Visit &visit, bool with_values = true) const;

private:
    const CounterInfo *find(const std::string &name) const;
    const CounterInfo *find(tesra_counter_handle_t *handle) const;
    bool read_instances(tesra_timestamp_handle_t *ts, std::vector<InstanceValues> &out) const;

    const Archive &archive_;
    tesra_object_handle_t *object_;
    std::string object_name_;
    std::vector<CounterInfo> counters_;
    uint64_t period_;
    uint64_t start_ = 0;
    uint64_t end_ = 0;
    std::vector<const CounterInfo *> selected_;

    struct Key {
        const CounterInfo *counter;
        std::vector<std::string> strings;
        std::vector<tesra_cnt_value_t> values;
    };
    std::vector<Key> keys_;
};

}  // namespace tesra::cli
