// The extraction calls on a fuzzed archive: version, periods of every object, sample times at
// each period, counter values at some of those times (and at one time that is not among them),
// the counter names of an object, and both text dumps into the scratch folder. Every result is
// handed back through the release calls, failure or not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_wrapper_header.h"

#include "fuzz_support.h"

namespace {

// Sample times looked at per period: the first few, the last, and one between two of them.
constexpr uint32_t kTimesPerPeriod = 3;

struct ObjectInfo {
    std::string name;
    std::vector<uint64_t> periods;
};

// Object names and periods as the reader sees them, and the wrapper's own counter-name lookup
// on each object while the archive is open.
std::vector<ObjectInfo> list_objects(const std::string &base) {
    std::vector<ObjectInfo> out;
    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *gz = nullptr;
    if (tesra_open_data_file(base.c_str(), "r", &file, &meta, &gz) != TESRA_SUCCESS) return out;
    tesra_header_handle_t *header = nullptr;
    tesra_object_handle_t *object = nullptr;
    if (tesra_get_header(file, &header) == TESRA_SUCCESS && header != nullptr) {
        for (tesra_error_t rc = tesra_first_object(header, &object);
             rc == TESRA_SUCCESS && object != nullptr; rc = tesra_next_object(header, &object)) {
            tesra_object_def_t_v6_0 def{};
            tesra_set_latest_version(&def);
            if (tesra_get_object_info(object, &def) != TESRA_SUCCESS || def.name == nullptr) {
                continue;
            }
            ObjectInfo info{def.name, {}};
            uint64_t *periods = nullptr;
            uint32_t count = 0;
            if (tesra_get_object_periods(object, &periods, &count) == TESRA_SUCCESS &&
                periods != nullptr) {
                info.periods.assign(periods, periods + count);
            }
            std::free(periods);
            for (uint64_t period : info.periods) {
                uint32_t counters = 0;
                tesra_counter_handle_t *c = nullptr;
                for (tesra_error_t crc = tesra_first_counter_by_period(object, period, &c);
                     crc == TESRA_SUCCESS && c != nullptr;
                     crc = tesra_next_counter_by_period(object, period, &c)) {
                    ++counters;
                }
                std::vector<const char *> names(counters + 1u, nullptr);
                uint32_t found = 0;
                if (get_counter_info(object, period, names.data(), &found) == TESRA_SUCCESS &&
                    found > counters) {
                    std::abort();  // more names than the object has counters at the period
                }
            }
            out.push_back(std::move(info));
        }
    }
    tesra_close_data_file(file);
    return out;
}

void values_at(const std::string &base, const ObjectInfo &object, uint64_t period, uint64_t time) {
    tesra_wrapper_counter_data_t *data = nullptr;
    uint32_t instances = 0;
    counter_wrapper_headers *headers = nullptr;
    uint32_t header_count = 0;
    char *error = nullptr;
    get_counter_values_for_timestamp(base.c_str(), time, period, object.name.c_str(), &data,
                                     &instances, &headers, &header_count, &error);
    free_tesra_wrapper_counter_data(data, instances, headers, header_count, error);
}

void walk_period(const std::string &base, const ObjectInfo &object, uint64_t period) {
    uint64_t *times = nullptr;
    uint32_t count = 0;
    char *error = nullptr;
    const bool ok =
        get_timestamp_list(base.c_str(), period, object.name.c_str(), &times, &count, &error);
    std::vector<uint64_t> picked;
    if (ok && times != nullptr) {
        for (uint32_t i = 0; i < count && i < kTimesPerPeriod; ++i) picked.push_back(times[i]);
        if (count > kTimesPerPeriod) picked.push_back(times[count - 1]);
        if (count >= 2 && times[1] - times[0] > 1) picked.push_back(times[0] + 1);
    }
    free_tesra_wrapper_timestamps_data(times, error);
    for (uint64_t t : picked) values_at(base, object, period, t);

    const std::string out = tesra::fuzz::scratch_path("dump.txt");
    write_timestamps_to_file(base.c_str(), out.c_str(), period, object.name.c_str());
    if (!picked.empty()) {
        write_counter_values_for_timestamp_to_file(base.c_str(), out.c_str(), picked.front(),
                                                   period, object.name.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    auto input = tesra::fuzz::split_archive_input(data, size);
    const std::string base = tesra::fuzz::write_archive_pair(input, tesra::fuzz::kFinishedBase);
    if (base.empty()) std::abort();

    char *error = nullptr;
    get_tesra_file_version(base.c_str(), &error);
    free_tesra_file_version(error);

    for (const auto &object : list_objects(base)) {
        uint64_t *periods = nullptr;
        uint32_t count = 0;
        error = nullptr;
        get_periods_list(base.c_str(), object.name.c_str(), &periods, &count, &error);
        free_tesra_wrapper_periods_data(periods, error);
        for (uint64_t period : object.periods) walk_period(base, object, period);
    }
    // An object the archive does not have.
    uint64_t *periods = nullptr;
    uint32_t count = 0;
    error = nullptr;
    get_periods_list(base.c_str(), "no such object", &periods, &count, &error);
    free_tesra_wrapper_periods_data(periods, error);
    return 0;
}
