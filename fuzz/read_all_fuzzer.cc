// Reads everything a fuzzed archive holds: every record in both orders (raw and linear) with
// instances and counter data, then for every object and period a query with all its counters,
// every timestamp, every instance and every counter value, and the lookup of an instance by its
// keys. Flag bit 1 of the input names the archive as one still being written.
//
// A time-ordered walk and a query cost a step per due second of their span, whether or not a
// record is stored there, so a few records far apart make an input cost seconds under the
// sanitizers; the fuzzer then spends its time on them and finds nothing new. Past a budget of
// steps the target skips the linear walk and queries a window at the start of the span only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tesra/tesra_ext_defs.h"

#include "fuzz_support.h"

namespace {

struct ObjectQuery {
    std::string name;
    std::vector<uint64_t> periods;
    std::vector<std::string> counters;
};

std::vector<ObjectQuery> collect_objects(tesra_file_handle_t *file) {
    std::vector<ObjectQuery> out;
    tesra_header_handle_t *header = nullptr;
    if (tesra_get_header(file, &header) != TESRA_SUCCESS || header == nullptr) return out;
    tesra_object_handle_t *object = nullptr;
    for (tesra_error_t rc = tesra_first_object(header, &object);
         rc == TESRA_SUCCESS && object != nullptr; rc = tesra_next_object(header, &object)) {
        tesra_object_def_t_v6_0 def{};
        tesra_set_latest_version(&def);
        if (tesra_get_object_info(object, &def) != TESRA_SUCCESS || def.name == nullptr) continue;
        ObjectQuery q;
        q.name = def.name;
        uint64_t *periods = nullptr;
        uint32_t num_periods = 0;
        if (tesra_get_object_periods(object, &periods, &num_periods) == TESRA_SUCCESS &&
            periods != nullptr) {
            q.periods.assign(periods, periods + num_periods);
        }
        std::free(periods);
        tesra_counter_handle_t *counter = nullptr;
        for (tesra_error_t crc = tesra_first_counter(object, &counter);
             crc == TESRA_SUCCESS && counter != nullptr;
             crc = tesra_next_counter(object, &counter)) {
            tesra_counter_def_t_v6_0 cdef{};
            tesra_set_latest_version(&cdef);
            if (tesra_get_counter_info(counter, &cdef) == TESRA_SUCCESS && cdef.name != nullptr) {
                q.counters.emplace_back(cdef.name);
            }
        }
        out.push_back(std::move(q));
    }
    return out;
}

// The key values an instance reports, copied out of it so that they outlive it.
struct KeyCopy {
    std::vector<std::string> names;
    std::vector<tesra_counter_data_t_v6_0> values;
    std::vector<std::vector<tesra_cnt_value_t>> cells;
    std::vector<std::vector<std::string>> strings;
};

bool copy_keys(tesra_instance_handle_t *instance, KeyCopy &out) {
    tesra_instance_data_t_v6_0 keys{};
    if (tesra_get_instance_data(instance, &keys) != TESRA_SUCCESS || keys.num_key_cnts == 0 ||
        keys.key_cnt_names == nullptr || keys.key_cnt_values == nullptr) {
        return false;
    }
    for (uint32_t i = 0; i < keys.num_key_cnts; ++i) {
        if (keys.key_cnt_names[i] == nullptr) return false;
        out.names.emplace_back(keys.key_cnt_names[i]);
        const tesra_counter_data_t_v6_0 &v = keys.key_cnt_values[i];
        out.values.push_back(v);
        out.cells.emplace_back(v.values, v.values + (v.values != nullptr ? v.num_values : 0));
        out.strings.emplace_back();
        if (v.value_type != TESRA_CNT_STRING) continue;
        for (const auto &cell : out.cells.back()) {
            out.strings.back().emplace_back(cell.val_str != nullptr ? cell.val_str : "");
        }
    }
    for (std::size_t i = 0; i < out.values.size(); ++i) {
        for (std::size_t k = 0; k < out.strings[i].size(); ++k) {
            out.cells[i][k].val_str = out.strings[i][k].c_str();
        }
        out.values[i].values = out.cells[i].empty() ? nullptr : out.cells[i].data();
        out.values[i].num_values = static_cast<uint32_t>(out.cells[i].size());
    }
    return true;
}

// Looks an instance up by its key values, as a caller filtering by key would.
void find_by_keys(tesra_timestamp_handle_t *timestamp, KeyCopy &keys) {
    std::vector<const char *> names;
    for (const auto &n : keys.names) names.push_back(n.c_str());
    tesra_instance_handle_t *found = nullptr;
    if (tesra_find_instance(timestamp, names.data(), keys.values.data(),
                            static_cast<uint32_t>(names.size()), &found) == TESRA_SUCCESS &&
        found != nullptr) {
        tesra::fuzz::walk_instance(found);
    }
}

void run_query(tesra_file_handle_t *file,
               const ObjectQuery &object,
               uint64_t period,
               uint64_t start,
               uint64_t end) {
    std::vector<const char *> names;
    for (const auto &c : object.counters) names.push_back(c.c_str());
    tesra_query_def_t_v6_0 def{};
    tesra_set_latest_version(&def);
    def.object_name = object.name.c_str();
    def.num_cnts = static_cast<uint32_t>(names.size());
    def.cnt_names = names.empty() ? nullptr : names.data();
    def.start_time = start;
    def.end_time = end;
    def.period = period;

    tesra_query_handle_t *query = nullptr;
    if (tesra_query(file, &def, &query) != TESRA_SUCCESS || query == nullptr) return;
    tesra_timestamp_handle_t *timestamp = nullptr;
    bool looked_up = false;
    for (tesra_error_t rc = tesra_first_timestamp(query, &timestamp);
         rc == TESRA_SUCCESS && timestamp != nullptr;
         rc = tesra_next_timestamp(query, &timestamp)) {
        uint64_t time = 0;
        tesra_get_timestamp(timestamp, &time);
        KeyCopy keys;
        bool have_keys = false;
        tesra_instance_handle_t *instance = nullptr;
        for (tesra_error_t irc = tesra_first_instance(timestamp, &instance);
             irc == TESRA_SUCCESS && instance != nullptr;
             irc = tesra_next_instance(timestamp, &instance)) {
            tesra::fuzz::walk_instance(instance);
            if (!looked_up && !have_keys) have_keys = copy_keys(instance, keys);
        }
        if (have_keys) {
            looked_up = true;
            find_by_keys(timestamp, keys);
        }
    }
}

constexpr uint64_t kStepBudget = uint64_t{1} << 15;

// Due seconds a time-ordered walk over [start, end] passes: one per period step of every object.
uint64_t walk_steps(const std::vector<ObjectQuery> &objects, uint64_t start, uint64_t end) {
    if (end < start) return 0;
    uint64_t steps = 0;
    for (const auto &object : objects) {
        for (uint64_t period : object.periods) {
            if (period == 0 || period == TESRA_ONCE_PER_ARCHIVE_PERIOD) continue;
            steps += (end - start) / period + 1;
            if (steps > kStepBudget) return steps;
        }
    }
    return steps;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    auto input = tesra::fuzz::split_archive_input(data, size);
    const char *name = (input.flags & tesra::fuzz::kPartialName) != 0 ? tesra::fuzz::kPartialBase
                                                                      : tesra::fuzz::kFinishedBase;
    const std::string base = tesra::fuzz::write_archive_pair(input, name);
    if (base.empty()) std::abort();

    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *gz = nullptr;
    if (tesra_open_data_file(base.c_str(), "r", &file, &meta, &gz) != TESRA_SUCCESS) {
        if (file != nullptr) std::abort();
        return 0;
    }
    tesra::fuzz::walk_records(file, TESRA_RAW_ORDER);

    tesra_file_def_t_v6_0 info{};
    tesra_set_latest_version(&info);
    const bool have_span = tesra_get_file_info(file, &info) == TESRA_SUCCESS;
    const auto objects = collect_objects(file);
    const bool affordable =
        have_span && walk_steps(objects, info.start_time, info.end_time) <= kStepBudget;
    if (affordable) tesra::fuzz::walk_records(file, TESRA_LINEAR_ORDER);
    for (const auto &object : objects) {
        for (uint64_t period : object.periods) {
            if (affordable) {
                run_query(file, object, period, info.start_time, info.end_time);
                run_query(file, object, period, 0, UINT64_MAX);
            } else if (have_span) {
                constexpr uint64_t kWindowSteps = kStepBudget / 8;
                const uint64_t window =
                    period > UINT64_MAX / kWindowSteps ? UINT64_MAX : kWindowSteps * period;
                const uint64_t end = UINT64_MAX - info.start_time < window
                                         ? UINT64_MAX
                                         : info.start_time + window;
                run_query(file, object, period, info.start_time, end);
            }
        }
    }
    tesra_close_data_file(file);
    return 0;
}
