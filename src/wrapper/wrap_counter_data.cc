// Counter values of every instance of one object at one sample time, deep-copied for the
// caller, and their release.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tesra/tesra_wrapper_header.h"
#include "wrap_archive.h"
#include "wrap_log.h"

namespace {

using tesra::wrap::kOwnAllocationFailed;
using tesra::wrap::label_of;
using tesra::wrap::log_error;

// Grows a C array by one zero-filled entry. A zero entry is what the release call stops at,
// so a half-built result can always be released. The array is unchanged on failure.
template <class T>
T *append_zeroed(T **array, uint32_t count) {
    auto *grown =
        static_cast<T *>(std::realloc(*array, (static_cast<size_t>(count) + 1) * sizeof(T)));
    if (grown == nullptr) return nullptr;
    std::memset(&grown[count], 0, sizeof(T));
    *array = grown;
    return &grown[count];
}

// What the call hands back. Counts are kept current as entries are added, so that whatever a
// failure leaves behind is released in full by free_tesra_wrapper_counter_data.
struct Results {
    tesra_wrapper_counter_data_t **data;
    uint32_t *instance_count;
    counter_wrapper_headers **headers;
    uint32_t *header_count;
};

// Deep copy of one value list into a zeroed `dst`; false when an allocation fails (what was
// copied stays in `dst` for the release call).
bool copy_values(const tesra_counter_data_t &src, tesra_counter_data_t *dst) {
    // Never null, even for an empty list: the release call stops at a counter without values.
    auto *values = static_cast<tesra_cnt_value_t *>(
        std::calloc(src.num_values != 0 ? src.num_values : 1, sizeof(tesra_cnt_value_t)));
    if (values == nullptr) return false;
    dst->values = values;
    dst->value_type = src.value_type;
    dst->num_values = src.num_values;
    for (uint32_t i = 0; i < src.num_values; ++i) {
        switch (src.value_type) {
            case TESRA_CNT_8BYTES:
                values[i].val_8B = src.values[i].val_8B;
                break;
            case TESRA_CNT_4BYTES:
                values[i].val_4B = src.values[i].val_4B;
                break;
            case TESRA_CNT_STRING:
                if (src.values[i].val_str != nullptr) {
                    values[i].val_str = strdup(src.values[i].val_str);
                    if (values[i].val_str == nullptr) return false;
                }
                break;
        }
    }
    return true;
}

tesra_error_t read_counters(tesra_instance_handle_t *instance,
                            tesra_wrapper_counter_data_t *entry,
                            bool describe_counters,
                            const Results &out,
                            const char *path) {
    tesra_counter_handle_t *counter = nullptr;
    tesra_counter_data_handle_t *counter_data = nullptr;
    if (const tesra_error_t rc = tesra_first_counter_data(instance, &counter, &counter_data);
        rc != TESRA_SUCCESS) {
        log_error("\nCould not get first counter data error : %s for file : %s", label_of(rc),
                  path);
        return rc;
    }
    while (counter_data != nullptr) {
        tesra_counter_def_t info{};
        if (const tesra_error_t rc = tesra_get_counter_info(counter, &info); rc != TESRA_SUCCESS) {
            log_error("\nCould not get counter info error : %s for file : %s", label_of(rc), path);
            return rc;
        }
        if (describe_counters) {
            counter_wrapper_headers *header = append_zeroed(out.headers, *out.header_count);
            if (header == nullptr) {
                log_error("\nCould not allocate memory for wrapper_header in file : %s", path);
                return kOwnAllocationFailed;
            }
            ++*out.header_count;
            header->counter_id = info.cnt_id;
            if (info.name != nullptr) {
                header->counter_name = strdup(info.name);
                if (header->counter_name == nullptr) {
                    log_error("\nCould not allocate memory for wrapper_header in file : %s", path);
                    return kOwnAllocationFailed;
                }
            }
        }
        tesra_counter_data_t value{};
        if (const tesra_error_t rc = tesra_get_counter_data_value(counter_data, &value);
            rc != TESRA_SUCCESS) {
            log_error("\nCould not get counter data value error : %s for file : %s", label_of(rc),
                      path);
            return rc;
        }
        tesra_counter_data_t *copy =
            append_zeroed(&entry->counter_values, entry->num_of_counters_count);
        if (copy == nullptr) {
            log_error(
                "\nCould not allocate memory for wrapper_counter_data's counter_values for file "
                ": %s",
                path);
            return kOwnAllocationFailed;
        }
        ++entry->num_of_counters_count;
        if (!copy_values(value, copy)) {
            log_error(
                "\nCould not allocate memory for wrapper_counter_data's counter_values values for "
                "file : %s",
                path);
            return kOwnAllocationFailed;
        }
        if (const tesra_error_t rc = tesra_next_counter_data(instance, &counter, &counter_data);
            rc != TESRA_SUCCESS) {
            log_error("\nCould not get next counter data error : %d for file : %s", rc, path);
            return rc;
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t read_instances(tesra_timestamp_handle_t *timestamp,
                             const Results &out,
                             const char *path) {
    tesra_instance_handle_t *instance = nullptr;
    if (const tesra_error_t rc = tesra_first_instance(timestamp, &instance); rc != TESRA_SUCCESS) {
        log_error("\nCould not get the first instance error : %s for file : %s", label_of(rc),
                  path);
        return rc;
    }
    uint32_t position = 0;
    while (instance != nullptr) {
        tesra_wrapper_counter_data_t *entry = append_zeroed(out.data, position);
        if (entry == nullptr) {
            log_error(
                "\nCould not allocate memory for wrapper_counter_data after query in file : %s",
                path);
            return kOwnAllocationFailed;
        }
        *out.instance_count = position + 1;
        tesra_instance_data_t keys{};
        if (const tesra_error_t rc = tesra_get_instance_data(instance, &keys);
            rc != TESRA_SUCCESS) {
            log_error("\nCould not get instance data error : %s for file : %s", label_of(rc), path);
            return rc;
        }
        entry->index = position;
        // The headers describe the first instance's counters, in its order.
        if (const tesra_error_t rc = read_counters(instance, entry, position == 0, out, path);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        if (const tesra_error_t rc = tesra_next_instance(timestamp, &instance);
            rc != TESRA_SUCCESS) {
            log_error("\nCould not get next instance error : %d for file : %s", rc, path);
            return rc;
        }
        ++position;
    }
    return TESRA_SUCCESS;
}

}  // namespace

extern "C" bool get_counter_values_for_timestamp(
    const char *kelb_file_path,
    uint64_t time,
    uint64_t time_period,
    const char *current_obj_char,
    tesra_wrapper_counter_data_t **wrapper_counter_data,
    uint32_t *counter_data_handle_count,
    counter_wrapper_headers **wrapper_headers,
    uint32_t *header_count,
    char **error) {
    using tesra::wrap::MessageStyle;
    using tesra::wrap::shown;

    tesra::wrap::SystemLog log(tesra::wrap::kCounterDataIdent);
    if (error != nullptr) *error = nullptr;
    if (wrapper_counter_data == nullptr || counter_data_handle_count == nullptr ||
        wrapper_headers == nullptr || header_count == nullptr) {
        tesra::wrap::set_error(error, TESRA_INVALID_ARGUMENTS);
        return false;
    }
    *wrapper_headers = nullptr;
    *wrapper_counter_data = nullptr;
    *counter_data_handle_count = 0;
    *header_count = 0;
    const char *path = shown(kelb_file_path);
    const Results out{wrapper_counter_data, counter_data_handle_count, wrapper_headers,
                      header_count};

    return tesra::wrap::with_archive(
        kelb_file_path, MessageStyle::kCounterData, error, [&](tesra_file_handle_t *file) {
            tesra::wrap::ArchiveObject target;
            if (const tesra_error_t rc = tesra::wrap::locate_object(
                    file, kelb_file_path, current_obj_char, MessageStyle::kCounterData, &target);
                rc != TESRA_SUCCESS) {
                return rc;
            }
            std::vector<const char *> names;
            if (const tesra_error_t rc =
                    tesra::wrap::collect_counter_names(target.object, time_period, &names);
                rc != TESRA_SUCCESS) {
                log_error(
                    "Couldn't get the counter information, error: %s, object : %s for file : %s",
                    label_of(rc), shown(current_obj_char), path);
                return rc;
            }
            tesra_query_handle_t *query = nullptr;
            if (const tesra_error_t rc =
                    tesra::wrap::run_query(file, target, names, time_period, &query);
                rc != TESRA_SUCCESS) {
                log_error("\nCould not run the query error : %s for file : %s", label_of(rc), path);
                return rc;
            }
            // A query whose range misses the archive has no sample time to match.
            if (query == nullptr) return TESRA_SUCCESS;
            tesra_timestamp_handle_t *timestamp = nullptr;
            if (const tesra_error_t rc = tesra_first_timestamp(query, &timestamp);
                rc != TESRA_SUCCESS) {
                log_error("\nCould not get the first timestamp error : %s for file : %s",
                          label_of(rc), path);
                return rc;
            }
            while (timestamp != nullptr) {
                uint64_t sample_time = 0;
                if (const tesra_error_t rc = tesra_get_timestamp(timestamp, &sample_time);
                    rc != TESRA_SUCCESS) {
                    log_error("\nCould not get the timestamp error : %s for file : %s",
                              label_of(rc), path);
                    return rc;
                }
                // Later sample times are not visited once the requested one was read.
                if (sample_time == time) return read_instances(timestamp, out, path);
                const tesra_error_t rc = tesra_next_timestamp(query, &timestamp);
                if (rc != TESRA_SUCCESS && rc != TESRA_RECORD_EMPTY) {
                    log_error("\nCould not get next timestamp error : %s for file : %s",
                              label_of(rc), path);
                    return rc;
                }
            }
            return TESRA_SUCCESS;
        });
}

extern "C" void free_tesra_wrapper_counter_data(tesra_wrapper_counter_data_t *counter_data_output,
                                                uint32_t instance_count,
                                                counter_wrapper_headers *wrapper_headers,
                                                uint32_t header_count,
                                                char *error) {
    if (counter_data_output != nullptr) {
        for (uint32_t i = 0; i < instance_count; ++i) {
            tesra_wrapper_counter_data_t &entry = counter_data_output[i];
            if (entry.counter_values == nullptr) break;
            for (uint32_t c = 0; c < entry.num_of_counters_count; ++c) {
                tesra_counter_data_t &counter = entry.counter_values[c];
                if (counter.values == nullptr) break;
                if (counter.value_type == TESRA_CNT_STRING) {
                    for (uint32_t v = 0; v < counter.num_values; ++v) {
                        // The strings are our own copies; the union only types them const.
                        std::free(const_cast<char *>(counter.values[v].val_str));
                    }
                }
                std::free(counter.values);
            }
            std::free(entry.counter_values);
        }
        std::free(counter_data_output);
    }
    if (wrapper_headers != nullptr) free_counter_headers(wrapper_headers, header_count);
    std::free(error);
}
