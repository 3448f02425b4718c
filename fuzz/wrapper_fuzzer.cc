// The extraction calls on a fuzzed archive. The target lists the objects and periods itself (and
// asks the wrapper's counter-name lookup on each), then asks one question that the high six bits
// of the flags byte pick:
//   bits 0-1: 0 the version or (bit 2 clear) the periods of an object the archive does not have,
//             also asked when it has none; 1 the periods of the picked object; 2 its sample times
//             at the picked period and the counter values at one of them (or at a time that is
//             not among them); 3 the same through the two text dumps into the scratch folder;
//   the rest, by division: the object, then its period, then the sample time (pick_time).
// Every result is handed back through the release calls, failure or not. Each call opens the
// archive anew and shares nothing with the others, so asking one question per input loses no
// path and keeps inputs fast; the fuzzer reaches the others by flipping the picking bits.
#include <dlfcn.h>
#include <syslog.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_wrapper_header.h"

#include "fuzz_support.h"

// The calls open the system log with LOG_CONS, so on a machine without a log daemon every message
// they log goes to the system console, which costs milliseconds each. The messages are still
// formatted and handed to the log here; only the console fallback is dropped.
extern "C" __attribute__((visibility("default"))) void openlog(const char *ident, int option,
                                                              int facility) {
    using Openlog = void (*)(const char *, int, int);
    static const auto real = reinterpret_cast<Openlog>(dlsym(RTLD_NEXT, "openlog"));
    if (real != nullptr) real(ident, option & ~LOG_CONS, facility);
}

namespace {

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

// One of `times`, as `pick` chooses: the first, second or last, or one between the first two.
uint64_t pick_time(const uint64_t *times, uint32_t count, unsigned pick) {
    switch (pick & 3) {
        case 0:
            return times[0];
        case 1:
            return times[count > 1 ? 1 : 0];
        case 2:
            return times[count - 1];
        default:
            return count >= 2 && times[1] - times[0] > 1 ? times[0] + 1 : times[0];
    }
}

// The sample times the timestamp dump wrote, one "Timestamp: <ms>" line each.
std::vector<uint64_t> read_dumped_times(const std::string &path) {
    std::vector<uint64_t> times;
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return times;
    unsigned long long t = 0;
    while (std::fscanf(f, "Timestamp: %llu\n", &t) == 1) times.push_back(t);
    std::fclose(f);
    return times;
}

// The sample times of `period` and the counter values at the one `pick` chooses (pick_time):
// through the list and values calls, or through the timestamp dump and the counter-values dump
// (each dump makes the call it dumps).
void walk_period(const std::string &base,
                 const ObjectInfo &object,
                 uint64_t period,
                 unsigned pick,
                 bool dumps) {
    if (dumps) {
        const std::string out = tesra::fuzz::scratch_path("dump.txt");
        if (!write_timestamps_to_file(base.c_str(), out.c_str(), period, object.name.c_str())) {
            return;
        }
        const auto times = read_dumped_times(out);
        if (times.empty()) return;
        const uint64_t time = pick_time(times.data(), static_cast<uint32_t>(times.size()), pick);
        write_counter_values_for_timestamp_to_file(base.c_str(), out.c_str(), time, period,
                                                   object.name.c_str());
        return;
    }
    uint64_t *times = nullptr;
    uint32_t count = 0;
    char *error = nullptr;
    const bool ok =
        get_timestamp_list(base.c_str(), period, object.name.c_str(), &times, &count, &error);
    const bool have_time = ok && times != nullptr && count > 0;
    const uint64_t time = have_time ? pick_time(times, count, pick) : 0;
    free_tesra_wrapper_timestamps_data(times, error);
    if (have_time) values_at(base, object, period, time);
}

void periods_of(const std::string &base, const char *name) {
    uint64_t *periods = nullptr;
    uint32_t count = 0;
    char *error = nullptr;
    get_periods_list(base.c_str(), name, &periods, &count, &error);
    free_tesra_wrapper_periods_data(periods, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    auto input = tesra::fuzz::split_archive_input(data, size);
    const std::string base = tesra::fuzz::write_archive_pair(input, tesra::fuzz::kFinishedBase);
    if (base.empty()) std::abort();

    const auto objects = list_objects(base);
    unsigned pick = input.flags >> 2;
    const unsigned question = pick & 3;
    pick >>= 2;
    if (objects.empty() || question == 0) {
        // Most mutated archives list no object: one of the two questions (the next bit) each.
        if ((pick & 1) != 0) {
            char *error = nullptr;
            get_tesra_file_version(base.c_str(), &error);
            free_tesra_file_version(error);
        } else {
            periods_of(base, "no such object");
        }
        return 0;
    }
    const ObjectInfo &object = objects[pick % objects.size()];
    pick /= static_cast<unsigned>(objects.size());
    if (question == 1) {
        periods_of(base, object.name.c_str());
        return 0;
    }
    if (object.periods.empty()) return 0;
    const uint64_t period = object.periods[pick % object.periods.size()];
    walk_period(base, object, period, pick / static_cast<unsigned>(object.periods.size()),
                question == 3);
    return 0;
}
