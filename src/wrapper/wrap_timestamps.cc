// Sample times of one object of an archive at one period.
#include <cstdlib>
#include <vector>

#include "tesra/tesra_wrapper_header.h"
#include "wrap_archive.h"
#include "wrap_log.h"

using tesra::wrap::label_of;
using tesra::wrap::log_error;
using tesra::wrap::MessageStyle;
using tesra::wrap::shown;

extern "C" bool get_timestamp_list(const char *kelb_file_path,
                                   uint64_t time_period,
                                   const char *current_obj,
                                   uint64_t **timestamp_list,
                                   uint32_t *num_timestamps,
                                   char **error) {
    tesra::wrap::SystemLog log(tesra::wrap::kTimestampsIdent);
    if (error != nullptr) *error = nullptr;
    if (timestamp_list == nullptr || num_timestamps == nullptr) {
        tesra::wrap::set_error(error, TESRA_INVALID_ARGUMENTS);
        return false;
    }
    *timestamp_list = nullptr;
    const char *path = shown(kelb_file_path);

    return tesra::wrap::with_archive(
        kelb_file_path, MessageStyle::kTimestamps, error, [&](tesra_file_handle_t *file) {
            tesra::wrap::ArchiveObject target;
            if (const tesra_error_t rc = tesra::wrap::locate_object(
                    file, kelb_file_path, current_obj, MessageStyle::kTimestamps, &target);
                rc != TESRA_SUCCESS) {
                return rc;
            }
            // Published at once: on a later failure the caller still releases what was listed.
            auto *list = static_cast<uint64_t *>(std::malloc(sizeof(uint64_t)));
            if (list == nullptr) {
                log_error("Couldn't allocate memory for timestamp_list for file : %s", path);
                return tesra::wrap::kOwnAllocationFailed;
            }
            *timestamp_list = list;

            std::vector<const char *> names;
            if (const tesra_error_t rc =
                    tesra::wrap::collect_counter_names(target.object, time_period, &names);
                rc != TESRA_SUCCESS) {
                log_error(
                    "Couldn't get the counter information, error: %s, object : %s for file : %s",
                    label_of(rc), shown(current_obj), path);
                return rc;
            }
            tesra_query_handle_t *query = nullptr;
            if (const tesra_error_t rc =
                    tesra::wrap::run_query(file, target, names, time_period, &query);
                rc != TESRA_SUCCESS) {
                log_error("Couldn't run the query error : %s for file : %s", label_of(rc), path);
                return rc;
            }
            uint32_t count = 0;
            // A query whose range misses the archive has no sample times at all.
            tesra_timestamp_handle_t *timestamp = nullptr;
            if (query != nullptr) {
                if (const tesra_error_t rc = tesra_first_timestamp(query, &timestamp);
                    rc != TESRA_SUCCESS) {
                    log_error("Couldn't get the timestamp error : %s for file : %s", label_of(rc),
                              path);
                    return rc;
                }
            }
            while (timestamp != nullptr) {
                uint64_t time = 0;
                if (const tesra_error_t rc = tesra_get_timestamp(timestamp, &time);
                    rc != TESRA_SUCCESS) {
                    log_error("Couldn't get timestamp error : %s for file : %s", label_of(rc),
                              path);
                    return rc;
                }
                auto *grown = static_cast<uint64_t *>(std::realloc(
                    *timestamp_list, (static_cast<size_t>(count) + 1) * sizeof(uint64_t)));
                if (grown == nullptr) {
                    log_error("Couldn't re-allocate memory for timestamp_list for file : %s", path);
                    return tesra::wrap::kOwnAllocationFailed;
                }
                *timestamp_list = grown;
                grown[count++] = time;
                const tesra_error_t rc = tesra_next_timestamp(query, &timestamp);
                if (rc != TESRA_SUCCESS && rc != TESRA_RECORD_EMPTY) {
                    log_error("Couldn't get the next timestamp error : %s for file : %s",
                              label_of(rc), path);
                    return rc;
                }
            }
            *num_timestamps = count;
            return TESRA_SUCCESS;
        });
}

extern "C" void free_tesra_wrapper_timestamps_data(uint64_t *timestamps, char *error) {
    std::free(timestamps);
    std::free(error);
}
