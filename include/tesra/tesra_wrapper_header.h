/* Extraction calls for data-collection services. Each retrieval call takes the base path of one
 * archive (`kelb_file_path`, without .meta/.gz), opens it read-only, answers one question, closes
 * it and hands back plain C arrays that the caller releases with the matching free_* call; no
 * archive handle is kept between calls.
 * A failed call returns false (or FILE_VERSION_ERROR), logs what failed to the system log
 * (facility LOG_LOCAL1, priority LOG_ERR) and sets `*error` to a new copy of the failing code's
 * label (tesra_error_labels), or NULL when the call's own allocation failed; `error` itself may
 * be NULL. A successful call leaves `*error` NULL. The free_* calls accept NULL pointers. */
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

/* The counter values of one instance: index is its position (0, 1, ...) in the reader's order,
 * counter_values one deep-copied value list per counter, num_of_counters_count their number. */
typedef struct {
    uint32_t index;
    tesra_counter_data_t *counter_values;
    uint32_t num_of_counters_count;
} tesra_wrapper_counter_data_t;

/* Id (cnt_id) and a copy of the name of one counter. */
typedef struct {
    uint32_t counter_id;
    char *counter_name;
} counter_wrapper_headers;

/** Format version of the archive, or FILE_VERSION_ERROR in both fields on failure, such as an
 *  archive that cannot be opened (`*error` "TESRA_FILE_NOT_FOUND"). Release `*error` with
 *  free_tesra_file_version. */
TESRA_API tesra_wrapper_file_version get_tesra_file_version(const char *kelb_file_path,
                                                            char **error);
/** Frees the error text of get_tesra_file_version. */
TESRA_API void free_tesra_file_version(char *error);

/** Periods (ms, ascending) at which object `current_obj` is sampled. On success
 *  `*time_period_list` is a new array of `*num_periods` entries (an object without periods gives
 *  an array and 0); on failure it is NULL and `*num_periods` is not written. Release the list and
 *  `*error` with free_tesra_wrapper_periods_data.
 *  Error labels: TESRA_INVALID_ARGUMENTS (an out-pointer NULL), the codes of
 *  tesra_open_data_file, TESRA_OBJECT_NOT_FOUND (no object of that name), TESRA_NULL_POINTER. */
TESRA_API bool get_periods_list(const char *kelb_file_path,
                                const char *current_obj,
                                uint64_t **time_period_list,
                                uint32_t *num_periods,
                                char **error);
/** Frees what get_periods_list handed back: the list and the error text. */
TESRA_API void free_tesra_wrapper_periods_data(uint64_t *time_period_list, char *error);

/** Absolute sample times (ms), ascending, of object `current_obj` at period `time_period` over
 *  the whole archive; each matches get_counter_values_for_timestamp's `time` exactly.
 *  `*timestamp_list` is a new array of `*num_timestamps` entries. On failure the list read so
 *  far stays in `*timestamp_list` and `*num_timestamps` is not written. Release the list and
 *  `*error` with free_tesra_wrapper_timestamps_data in every case.
 *  Error labels: TESRA_INVALID_ARGUMENTS, the codes of tesra_open_data_file,
 *  TESRA_OBJECT_NOT_FOUND, TESRA_PERIOD_NOT_FOUND (object not sampled at `time_period`), and
 *  those of tesra_query and the timestamp walk. */
TESRA_API bool get_timestamp_list(const char *kelb_file_path,
                                  uint64_t time_period,
                                  const char *current_obj,
                                  uint64_t **timestamp_list,
                                  uint32_t *num_timestamps,
                                  char **error);
/** Frees what get_timestamp_list handed back: the list and the error text. */
TESRA_API void free_tesra_wrapper_timestamps_data(uint64_t *timestamps, char *error);

/** Counter values of every instance of object `current_obj_char` at absolute sample time `time`
 *  (exact match) of period `time_period`: `*wrapper_counter_data` gets one entry per instance
 *  (`*counter_data_handle_count` of them), each holding the key counters' and then the period's
 *  non-key counters' value lists, deep-copied; `*wrapper_headers` gets the id and name of each
 *  counter of the first instance, in the same order (`*header_count`). All four are reset
 *  first; a time with no sample gives success, NULL arrays and counts 0. On failure what was
 *  built stays in the out-parameters. Release everything (and `*error`) in every case with
 *  free_tesra_wrapper_counter_data, passing the two counts handed back.
 *  Error labels: TESRA_INVALID_ARGUMENTS (an out-pointer NULL), the codes of
 *  tesra_open_data_file, TESRA_OBJECT_NOT_FOUND, TESRA_PERIOD_NOT_FOUND, and those of
 *  tesra_query and the timestamp, instance and counter-data walks. */
TESRA_API bool get_counter_values_for_timestamp(const char *kelb_file_path,
                                                uint64_t time,
                                                uint64_t time_period,
                                                const char *current_obj_char,
                                                tesra_wrapper_counter_data_t **wrapper_counter_data,
                                                uint32_t *counter_data_handle_count,
                                                counter_wrapper_headers **wrapper_headers,
                                                uint32_t *header_count,
                                                char **error);
/** Frees what get_counter_values_for_timestamp handed back: the first `instance_count` entries
 *  with their value lists and strings, the data array, the headers (free_counter_headers) and
 *  the error text. */
TESRA_API void free_tesra_wrapper_counter_data(tesra_wrapper_counter_data_t *counter_data_output,
                                               uint32_t instance_count,
                                               counter_wrapper_headers *wrapper_headers,
                                               uint32_t header_count,
                                               char *error);
/** Frees the names of the first `header_count` headers and the header array. */
TESRA_API void free_counter_headers(counter_wrapper_headers *counter_values_headers_array,
                                    uint32_t header_count);

/** Stores the names of the object's non-key counters sampled at `time_period`, in ascending
 *  counter id, in `cnt_names[0]`, `cnt_names[1]`, ... and their number in `*cnt_idx`. The names
 *  are the archive's (valid until it is closed; never free them).
 *  Precondition: `cnt_names` has a slot for every such counter; the call cannot know its length.
 *  Callers have used a fixed 512-slot array, which an object with more counters at that period
 *  overruns: count them first with tesra_first_counter_by_period/tesra_next_counter_by_period
 *  when an object may have more.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL); TESRA_INVALID_VERSION;
 *  TESRA_PERIOD_NOT_FOUND (object not sampled at `time_period`; `*cnt_idx` is then the number
 *  of names stored, 0 when the first step fails). `*cnt_idx` is written only on these two. */
TESRA_API tesra_error_t get_counter_info(tesra_object_handle_t *current_object,
                                         uint64_t time_period,
                                         const char **cnt_names,
                                         uint32_t *cnt_idx);

/** Writes the sample times that get_timestamp_list gives to `output_file_path` (created or
 *  truncated), one "Timestamp: <t>" line each. Only in the library variant with text dumps.
 *  Returns false, with a system-log message, when the list cannot be read (no file is written)
 *  or the output file cannot be opened or written. */
TESRA_API bool write_timestamps_to_file(const char *kelb_file_path,
                                        const char *output_file_path,
                                        uint64_t time_period,
                                        const char *current_obj);
/** Writes the counter values that get_counter_values_for_timestamp gives to `output_file_path`
 *  (created or truncated first): one line per instance, each counter's values between double
 *  quotes, separated by ", ", counters not separated; text values are written unescaped. A time
 *  with no sample leaves the file empty and returns true. Only in the library variant with text
 *  dumps. Returns false, with a system-log message, when the output file cannot be opened or
 *  written or the values cannot be read (the file then stays, empty). */
TESRA_API bool write_counter_values_for_timestamp_to_file(const char *kelb_file_path,
                                                          const char *output_file_path,
                                                          uint64_t time,
                                                          uint64_t time_period,
                                                          const char *current_obj_char);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_WRAPPER_HEADER_H */
