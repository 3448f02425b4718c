// Running a query on an open archive and copying out what it finds.
#include "query_run.h"

#include <charconv>
#include <fmt/core.h>

namespace tesra::cli {

std::string CounterValues::text(size_t index) const {
    if (type == TESRA_CNT_STRING) return index < strings.size() ? strings[index] : std::string();
    return index < numbers.size() ? std::to_string(numbers[index]) : std::string();
}

QuerySpec::QuerySpec(const Archive &archive,
                     tesra_object_handle_t *object,
                     std::string object_name,
                     std::vector<CounterInfo> counters,
                     uint64_t period)
    : archive_(archive),
      object_(object),
      object_name_(std::move(object_name)),
      counters_(std::move(counters)),
      period_(period),
      start_(archive.start_time()),
      end_(archive.end_time()) {}

const CounterInfo *QuerySpec::find(const std::string &name) const {
    for (const auto &c : counters_) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

const CounterInfo *QuerySpec::find(tesra_counter_handle_t *handle) const {
    for (const auto &c : counters_) {
        if (c.handle == handle) return &c;
    }
    return nullptr;
}

std::vector<const CounterInfo *> QuerySpec::key_counters() const {
    std::vector<const CounterInfo *> out;
    for (const auto &c : counters_) {
        if (c.is_key) out.push_back(&c);
    }
    return out;
}

bool QuerySpec::add_key(const std::string &assignment) {
    auto eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0) {
        report_usage(fmt::format("--key wants NAME=VALUE, not '{}'", assignment));
        return false;
    }
    std::string name = assignment.substr(0, eq);
    std::string value = assignment.substr(eq + 1);
    const CounterInfo *counter = find(name);
    if (counter == nullptr || !counter->is_key) {
        report_problem(archive_.base(),
                       fmt::format("object '{}' has no key counter '{}'", object_name_, name));
        return false;
    }
    for (const auto &k : keys_) {
        if (k.counter == counter) {
            report_usage(fmt::format("key counter '{}' given twice", name));
            return false;
        }
    }
    Key key{counter, {}, {}};
    if (counter->is_string()) {
        key.strings.push_back(value);
    } else {
        uint64_t number = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (ec != std::errc() || end != value.data() + value.size() || value.empty()) {
            report_usage(fmt::format("key counter '{}' holds numbers, not '{}'", name, value));
            return false;
        }
        tesra_cnt_value_t v{};
        if (counter->size / counter->num_values() == 4) {
            v.val_4B = static_cast<uint32_t>(number);
        } else {
            v.val_8B = number;
        }
        key.values.push_back(v);
    }
    keys_.push_back(std::move(key));
    return true;
}

bool QuerySpec::add_counter(const std::string &name) {
    const CounterInfo *counter = find(name);
    if (counter == nullptr) {
        report_problem(archive_.base(),
                       fmt::format("object '{}' has no counter '{}'", object_name_, name));
        return false;
    }
    // Key counters come with every instance anyway.
    if (!counter->is_key) selected_.push_back(counter);
    return true;
}

void QuerySpec::use_default_counters() {
    if (!selected_.empty()) return;
    for (const auto &c : counters_) {
        if (!c.is_key && c.sampled_at(period_)) selected_.push_back(&c);
    }
}

std::optional<uint64_t> QuerySpec::run(const Visit &visit, bool with_values) const {
    std::vector<const char *> names;
    for (const auto *c : selected_) names.push_back(c->name.c_str());
    std::vector<const char *> key_names;
    std::vector<tesra_counter_data_t> key_values;
    // One value cell per key; the query copies the definition and only reads them.
    std::vector<tesra_cnt_value_t> cells(keys_.size());
    for (size_t i = 0; i < keys_.size(); ++i) {
        const Key &k = keys_[i];
        key_names.push_back(k.counter->name.c_str());
        tesra_counter_data_t data{};
        if (k.counter->is_string()) {
            data.value_type = TESRA_CNT_STRING;
            cells[i].val_str = k.strings[0].c_str();
        } else {
            data.value_type = (k.counter->size / k.counter->num_values() == 4) ? TESRA_CNT_4BYTES
                                                                               : TESRA_CNT_8BYTES;
            cells[i] = k.values[0];
        }
        data.values = &cells[i];
        data.num_values = 1;
        key_values.push_back(data);
    }

    tesra_query_def_t def{};
    tesra_set_latest_version(&def);
    def.object_name = object_name_.c_str();
    def.num_key_cnts = static_cast<uint32_t>(key_names.size());
    def.key_cnt_names = key_names.empty() ? nullptr : key_names.data();
    def.key_cnt_values = key_values.empty() ? nullptr : key_values.data();
    def.num_cnts = static_cast<uint32_t>(names.size());
    def.cnt_names = names.empty() ? nullptr : names.data();
    def.start_time = start_;
    def.end_time = end_;
    def.period = period_;

    tesra_query_handle_t *query = nullptr;
    if (tesra_error_t rc = tesra_query(archive_.handle(), &def, &query); rc != TESRA_SUCCESS) {
        report_failure(archive_.base(), fmt::format("query '{}'", object_name_), rc);
        return std::nullopt;
    }
    uint64_t visited = 0;
    if (query == nullptr) return visited;  // the range misses the archive

    tesra_timestamp_handle_t *ts = nullptr;
    tesra_error_t rc = tesra_first_timestamp(query, &ts);
    while (true) {
        // A time at which no instance matches the key values is skipped by the next step.
        if (rc == TESRA_INSTANCE_NOT_FOUND) {
            rc = tesra_next_timestamp(query, &ts);
            continue;
        }
        if (rc != TESRA_SUCCESS) {
            report_failure(archive_.base(), "step to the next sample time", rc);
            return std::nullopt;
        }
        if (ts == nullptr) break;
        uint64_t time = 0;
        if (rc = tesra_get_timestamp(ts, &time); rc != TESRA_SUCCESS) {
            report_failure(archive_.base(), "read sample time", rc);
            return std::nullopt;
        }
        std::vector<InstanceValues> instances;
        if (with_values && !read_instances(ts, instances)) return std::nullopt;
        ++visited;
        if (!visit(time, instances)) break;
        rc = tesra_next_timestamp(query, &ts);
    }
    return visited;
}

bool QuerySpec::read_instances(tesra_timestamp_handle_t *ts,
                               std::vector<InstanceValues> &out) const {
    tesra_instance_handle_t *instance = nullptr;
    tesra_error_t rc = tesra_first_instance(ts, &instance);
    while (rc == TESRA_SUCCESS && instance != nullptr) {
        InstanceValues row;
        tesra_counter_handle_t *counter = nullptr;
        tesra_counter_data_handle_t *data = nullptr;
        rc = tesra_first_counter_data(instance, &counter, &data);
        while (rc == TESRA_SUCCESS && data != nullptr) {
            tesra_counter_data_t value{};
            if (rc = tesra_get_counter_data_value(data, &value); rc != TESRA_SUCCESS) break;
            CounterValues cv;
            cv.counter = find(counter);
            cv.type = value.value_type;
            for (uint32_t i = 0; value.values != nullptr && i < value.num_values; ++i) {
                switch (value.value_type) {
                    case TESRA_CNT_STRING:
                        cv.strings.emplace_back(
                            value.values[i].val_str != nullptr ? value.values[i].val_str : "");
                        break;
                    case TESRA_CNT_4BYTES:
                        cv.numbers.push_back(value.values[i].val_4B);
                        break;
                    default:
                        cv.numbers.push_back(value.values[i].val_8B);
                        break;
                }
            }
            row.counters.push_back(std::move(cv));
            rc = tesra_next_counter_data(instance, &counter, &data);
        }
        if (rc != TESRA_SUCCESS) break;
        out.push_back(std::move(row));
        rc = tesra_next_instance(ts, &instance);
    }
    if (rc != TESRA_SUCCESS) {
        report_failure(archive_.base(), "read instances", rc);
        return false;
    }
    return true;
}

}  // namespace tesra::cli
