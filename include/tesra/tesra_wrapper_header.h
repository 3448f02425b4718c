/* Extraction calls for data-collection services: each call opens one archive (by base path),
 * answers one question, closes it and hands back plain arrays that the caller releases with
 * the matching free_* call. Failures also hand back the failing code's label in `*error`. */
#ifndef TESRA_WRAPPER_HEADER_H
#define TESRA_WRAPPER_HEADER_H

#include "tesra_common_defs.h"
#include "tesra_ext_defs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Both fields of a failed version lookup. */
#define FILE_VERSION_ERROR 0xFFFFFFFFu

typedef struct {
    uint32_t major_v;
    uint32_t minor_v;
} tesra_wrapper_file_version;

/* The counter values of one instance. */
typedef struct {
    uint32_t index;
    tesra_counter_data_t *counter_values;
    uint32_t num_of_counters_count;
} tesra_wrapper_counter_data_t;

typedef struct {
    uint32_t counter_id;
    char *counter_name;
} counter_wrapper_headers;

/** Format version of the archive, or FILE_VERSION_ERROR twice; `*error`: free_tesra_file_version. */
TESRA_API tesra_wrapper_file_version get_tesra_file_version(const char *kelb_file_path,
                                                            char **error);
TESRA_API void free_tesra_file_version(char *error);

/** Periods (ms) at which `current_obj` is sampled; release with free_tesra_wrapper_periods_data. */
TESRA_API bool get_periods_list(const char *kelb_file_path,
                                const char *current_obj,
                                uint64_t **time_period_list,
                                uint32_t *num_periods,
                                char **error);
TESRA_API void free_tesra_wrapper_periods_data(uint64_t *time_period_list, char *error);

/** Absolute sample times of `current_obj` at `time_period`. */
TESRA_API bool get_timestamp_list(const char *kelb_file_path,
                                  uint64_t time_period,
                                  const char *current_obj,
                                  uint64_t **timestamp_list,
                                  uint32_t *num_timestamps,
                                  char **error);
TESRA_API void free_tesra_wrapper_timestamps_data(uint64_t *timestamps, char *error);

/** Counter values of every instance of the object at sample time `time`, and the counter
 *  headers of the first instance; release everything with free_tesra_wrapper_counter_data. */
TESRA_API bool get_counter_values_for_timestamp(const char *kelb_file_path,
                                                uint64_t time,
                                                uint64_t time_period,
                                                const char *current_obj_char,
                                                tesra_wrapper_counter_data_t **wrapper_counter_data,
                                                uint32_t *counter_data_handle_count,
                                                counter_wrapper_headers **wrapper_headers,
                                                uint32_t *header_count,
                                                char **error);
TESRA_API void free_tesra_wrapper_counter_data(tesra_wrapper_counter_data_t *counter_data_output,
                                               uint32_t instance_count,
                                               counter_wrapper_headers *wrapper_headers,
                                               uint32_t header_count,
                                               char *error);
TESRA_API void free_counter_headers(counter_wrapper_headers *counter_values_headers_array,
                                    uint32_t header_count);

/** Names (borrowed from the open archive) of the object's non-key counters at `time_period`. */
TESRA_API tesra_error_t get_counter_info(tesra_object_handle_t *current_object,
                                         uint64_t time_period,
                                         const char **cnt_names,
                                         uint32_t *cnt_idx);

/** Writes "Timestamp: <t>" lines; only in the variant with text dumps. */
TESRA_API bool write_timestamps_to_file(const char *kelb_file_path,
                                        const char *output_file_path,
                                        uint64_t time_period,
                                        const char *current_obj);
/** Writes one line of quoted value lists per instance; only in the variant with text dumps. */
TESRA_API bool write_counter_values_for_timestamp_to_file(const char *kelb_file_path,
                                                          const char *output_file_path,
                                                          uint64_t time,
                                                          uint64_t time_period,
                                                          const char *current_obj_char);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_WRAPPER_HEADER_H */
