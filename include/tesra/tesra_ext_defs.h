/* Client view of the tesra archive libraries: opaque handle types and every exported operation
 * whose parameters are public records or opaque handles.
 * Ownership: handles handed out by first/next/find steps belong to their parent and stay valid
 * until the parent's next step or until the archive is closed; callers never free them. */
#ifndef TESRA_EXT_DEFS_H
#define TESRA_EXT_DEFS_H

#include "tesra_common_defs.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tesra_file_handle tesra_file_handle_t;
typedef struct tesra_header_handle tesra_header_handle_t;
typedef struct tesra_object_handle tesra_object_handle_t;
typedef struct tesra_counter_handle tesra_counter_handle_t;
typedef struct tesra_aggregation_handle tesra_aggregation_handle_t;
typedef struct tesra_record_handle tesra_record_handle_t;
typedef struct tesra_timestamp_handle tesra_timestamp_handle_t;
typedef struct tesra_instance_handle tesra_instance_handle_t;
typedef struct tesra_counter_data_handle tesra_counter_data_handle_t;
typedef struct tesra_query_handle tesra_query_handle_t;
typedef struct tesra_directory_handle tesra_directory_handle_t;
typedef struct tesra_collection_handle tesra_collection_handle_t;
typedef struct tesra_corefile_handle tesra_corefile_handle_t;

/* ---- libtesrautil: versions ------------------------------------------------------------- */

/** Stores the leading version pair of any record or handle `data`. */
TESRA_API void tesra_get_version(void *data, uint32_t *major_v, uint32_t *minor_v);
/** True when `data` has major version `major_v` and a minor version of at least `minor_v`. */
TESRA_API bool tesra_is_version(void *data, uint32_t major_v, uint32_t minor_v);
/** Stamps `data` with the latest format version, 6.1. */
TESRA_API void tesra_set_latest_version(void *data);

/* ---- libtesrautil: definition records ---------------------------------------------------- */

TESRA_API tesra_error_t tesra_validate_system_def_v6_0(tesra_system_def_t_v6_0 *def);
TESRA_API tesra_error_t tesra_validate_header_def_v6_0(tesra_header_def_t_v6_0 *def);
TESRA_API tesra_error_t tesra_validate_attr_def_v6_0(tesra_attribute_def_t_v6_0 *def);
TESRA_API tesra_error_t tesra_validate_object_def_v6_0(tesra_object_def_t_v6_0 *def);
TESRA_API tesra_error_t tesra_validate_counter_def_v6_0(tesra_counter_def_t_v6_0 *def);
TESRA_API tesra_error_t tesra_validate_aggregation_def_v6_0(tesra_aggregation_def_t_v6_0 *def);
TESRA_API tesra_error_t tesra_validate_query_def_v6_0(tesra_query_def_t_v6_0 *def);
TESRA_API tesra_error_t tesra_validate_directory_def_v6_0(tesra_directory_def_t_v6_0 *def);

/* Deep copies into a zero-filled `dst`; `dst` then owns every string and array of the copy. */
TESRA_API tesra_error_t tesra_copy_system_def_v6_0(tesra_system_def_t_v6_0 *src,
                                                   tesra_system_def_t_v6_0 *dst);
TESRA_API tesra_error_t tesra_copy_header_def_v6_0(tesra_header_def_t_v6_0 *src,
                                                   tesra_header_def_t_v6_0 *dst);
TESRA_API tesra_error_t tesra_copy_attr_def_v6_0(tesra_attribute_def_t_v6_0 *src,
                                                 tesra_attribute_def_t_v6_0 *dst);
TESRA_API tesra_error_t tesra_copy_object_def_v6_0(tesra_object_def_t_v6_0 *src,
                                                   tesra_object_def_t_v6_0 *dst);
TESRA_API tesra_error_t tesra_copy_counter_def_v6_0(tesra_counter_def_t_v6_0 *src,
                                                    tesra_counter_def_t_v6_0 *dst);
TESRA_API tesra_error_t tesra_copy_aggregation_def_v6_0(tesra_aggregation_def_t_v6_0 *src,
                                                        tesra_aggregation_def_t_v6_0 *dst);
TESRA_API tesra_error_t tesra_copy_query_def_v6_0(tesra_query_def_t_v6_0 *src,
                                                  tesra_query_def_t_v6_0 *dst);
TESRA_API tesra_error_t tesra_copy_directory_def_v6_0(tesra_directory_def_t_v6_0 *src,
                                                      tesra_directory_def_t_v6_0 *dst);
TESRA_API tesra_error_t tesra_copy_collection_def_v6_0(tesra_collection_def_t_v6_0 *src,
                                                       tesra_collection_def_t_v6_0 *dst);

/** XML-escapes `num_strs` strings; `dsts[i]` is `srcs[i]` or a new buffer (`encoded_flags[i]`). */
TESRA_API tesra_error_t tesra_xml_encode(uint32_t num_strs,
                                         const char **srcs,
                                         char **dsts,
                                         bool *encoded_flags);
/** Frees the buffers that tesra_xml_encode allocated (slots whose flag is true). */
TESRA_API void tesra_free_xml_encoded_strs(uint32_t num_strs, char **dsts, bool *encoded_flags);

/* ---- libtesrautil: periods, lists, names, release ---------------------------------------- */

/** Index of `period` in _tesra_period_map, or TESRA_PERIOD_NOT_FOUND (out untouched). */
TESRA_API tesra_error_t tesra_get_period_index(uint64_t period, uint32_t *period_index);
/** True when `period` is one of the 14 table values. */
TESRA_API bool tesra_is_period_valid(uint64_t period);
/** Inserts `period` into the counter's ascending definition period list. */
TESRA_API tesra_error_t tesra_add_period_to_counter_v6_0(uint64_t period,
                                                         tesra_counter_handle_t *counter);

/** Inserts `object` into the list in ascending object id (equal ids keep insertion order). */
TESRA_API tesra_error_t tesra_add_object_to_list(tesra_object_handle_t **object_list,
                                                 tesra_object_handle_t *object);
/** Appends `aggr_h` at the end of the list. */
TESRA_API tesra_error_t tesra_add_aggregation_to_list(tesra_aggregation_handle_t **aggr_list,
                                                      tesra_aggregation_handle_t *aggr_h);

/** Parses an archive base name "<index>_<longest period s>_<start ms>_<duration ms>…". */
TESRA_API tesra_error_t tesra_parse_filename(char *file_path,
                                             uint32_t *file_index,
                                             uint64_t *period,
                                             uint64_t *start_time,
                                             uint64_t *end_time);

/* Release operations accept NULL and then do nothing. */
TESRA_API tesra_error_t tesra_free_file(tesra_file_handle_t *data_file);
TESRA_API void tesra_free_header(tesra_header_handle_t *header);
TESRA_API void tesra_free_attr_def(void *attr_def);
TESRA_API void tesra_free_object(tesra_object_handle_t *object);
TESRA_API void tesra_free_counter(tesra_counter_handle_t *counter);
TESRA_API void tesra_free_aggregation(tesra_aggregation_handle_t *aggregation);
TESRA_API void tesra_free_record(tesra_record_handle_t *record);
TESRA_API void tesra_free_query(tesra_query_handle_t *query);
TESRA_API void tesra_free_timestamp(tesra_timestamp_handle_t *timestamp);
TESRA_API void tesra_free_instance(tesra_instance_handle_t *instance);
TESRA_API void tesra_free_counter_data(tesra_counter_data_handle_t *counter_data);
/** Frees the three paths of `file_def`; the caller's copy keeps dangling pointers. */
TESRA_API void tesra_free_file_def(tesra_file_def_t file_def);
/** Frees the five strings of `store_def`; the caller's copy keeps dangling pointers. */
TESRA_API void tesra_free_store_def(tesra_store_def_t store_def);
TESRA_API void tesra_free_directory(tesra_directory_handle_t *directory);
TESRA_API void tesra_free_collection(tesra_collection_handle_t *collection);
TESRA_API void tesra_free_corefile(tesra_corefile_handle_t *corefile);

/* ---- libtesrawrite ----------------------------------------------------------------------- */

/** Creates `<file_path>.meta` and `<file_path>.gz`; the out paths are the handle's own strings. */
TESRA_API tesra_error_t tesra_create_data_file(const char *file_path,
                                               uint32_t major_v,
                                               uint32_t minor_v,
                                               uint64_t duration,
                                               tesra_file_handle_t **data_file,
                                               const char **meta_path,
                                               const char **data_path);
/** Builds the header from a tesra_header_def_t_v6_0 and a tesra_system_def_t_v6_0. */
TESRA_API tesra_error_t tesra_create_header(tesra_file_handle_t *data_file,
                                            void *header_def,
                                            void *system_def,
                                            tesra_header_handle_t **header);
/** Adds a tesra_attribute_def_t_v6_0 (copied). */
TESRA_API tesra_error_t tesra_add_attr_def(tesra_header_handle_t *header, void *attr_def);
/** Adds a tesra_object_def_t_v6_0; `*object` (new or existing with that id) is the header's. */
TESRA_API tesra_error_t tesra_add_object(tesra_header_handle_t *header,
                                         void *object_def,
                                         tesra_object_handle_t **object);
/** Adds a tesra_aggregation_def_t_v6_0; `*aggregation` belongs to the object. */
TESRA_API tesra_error_t tesra_add_aggregation(tesra_object_handle_t *object,
                                              void *aggr_def,
                                              tesra_aggregation_handle_t **aggregation);
/** Adds a tesra_counter_def_t_v6_0 at its one period; `*counter` belongs to the object. */
TESRA_API tesra_error_t tesra_add_counter(tesra_object_handle_t *object,
                                          void *counter_def,
                                          tesra_counter_handle_t **counter);
/** Fixes the relative start time once, before any record. */
TESRA_API tesra_error_t tesra_set_start_time(tesra_file_handle_t *data_file, uint64_t start_time);
TESRA_API tesra_error_t tesra_delete_counter(tesra_object_handle_t *object,
                                             tesra_counter_handle_t *counter);
TESRA_API tesra_error_t tesra_delete_object(tesra_header_handle_t *header,
                                            tesra_object_handle_t *object);
TESRA_API tesra_error_t tesra_copy_counter(tesra_object_handle_t *object,
                                           tesra_counter_handle_t *counter);
TESRA_API tesra_error_t tesra_copy_header(tesra_file_handle_t *data_file,
                                          tesra_header_handle_t *header);
TESRA_API tesra_error_t tesra_copy_object(tesra_header_handle_t *header,
                                          tesra_object_handle_t *object);
/** Writes the metadata document; call once, after every definition was added. */
TESRA_API tesra_error_t tesra_finalize_header(tesra_file_handle_t *data_file);
/** Appends one record (a tesra_record_header_data_t_v6_0 and `size` body bytes). */
TESRA_API tesra_error_t tesra_write_record(tesra_file_handle_t *data_file,
                                           void *record_info,
                                           const void *buffer);
/** Bytes written so far: metadata plus decompressed data. */
TESRA_API tesra_error_t tesra_ftell(tesra_file_handle_t *data_file, uint64_t *count);
/** Absolute time of the archive's first slot. */
TESRA_API tesra_error_t tesra_get_oldest_record_time(tesra_file_handle_t *data_file,
                                                     uint64_t *time);
/** Absolute time of the archive's last slot. */
TESRA_API tesra_error_t tesra_get_newest_record_time(tesra_file_handle_t *data_file,
                                                     uint64_t *time);
/** Closes any archive handle (writes the index for a writing handle) and releases it. */
TESRA_API tesra_error_t tesra_close_data_file(tesra_file_handle_t *data_file);
/** Removes `<file_path>.meta`, then `<file_path>.gz`. */
TESRA_API tesra_error_t tesra_unlink(const char *file_path);

/* ---- libtesraread ------------------------------------------------------------------------ */

/** Interface version of the reader library (1.4). */
TESRA_API uint32_t tesra_get_major_version(void);
TESRA_API uint32_t tesra_get_minor_version(void);

/** Opens `<file_path>.meta`/`.gz` ("r", "rb", "rw" or "wr"); close with tesra_close_data_file.
 *  `*meta_path` and `*data_path` are the handle's own strings. */
TESRA_API tesra_error_t tesra_open_data_file(const char *file_path,
                                             const char *access_type,
                                             tesra_file_handle_t **data_file,
                                             const char **meta_path,
                                             const char **data_path);
TESRA_API tesra_error_t tesra_get_basic_file_info_v6_0(const char *file_path,
                                                       uint32_t *file_index,
                                                       uint64_t *longest_period,
                                                       uint64_t *start_time,
                                                       uint64_t *end_time);
TESRA_API tesra_error_t tesra_get_partial_file_info_v6_0(const char *file_path,
                                                         uint64_t *longest_period,
                                                         uint64_t *utc_start_time,
                                                         uint64_t *utc_end_time);

/* Navigation; the info operations copy a definition whose strings stay the header's. */
TESRA_API tesra_error_t tesra_get_header(tesra_file_handle_t *data_file,
                                         tesra_header_handle_t **header);
/** Fills a tesra_file_def_t_v6_0. */
TESRA_API tesra_error_t tesra_get_file_info(tesra_file_handle_t *data_file, void *file_info);
/** Fills a tesra_header_def_t_v6_0. */
TESRA_API tesra_error_t tesra_get_header_info(tesra_header_handle_t *header, void *header_info);
/** Fills a tesra_system_def_t_v6_0. */
TESRA_API tesra_error_t tesra_get_system_info(tesra_header_handle_t *header, void *system_info);
/** Fills a tesra_object_def_t_v6_0. */
TESRA_API tesra_error_t tesra_get_object_info(tesra_object_handle_t *object, void *object_info);
/** Fills a tesra_counter_def_t_v6_0. */
TESRA_API tesra_error_t tesra_get_counter_info(tesra_counter_handle_t *counter,
                                               void *counter_info);
TESRA_API tesra_error_t tesra_get_counter_type(tesra_counter_handle_t *counter,
                                               tesra_cnt_size_t *size,
                                               tesra_cnt_type_t *type,
                                               tesra_cnt_unit_t *unit);
/** `*periods` is a new array the caller frees with free(); NULL when the object has none. */
TESRA_API tesra_error_t tesra_get_object_periods(tesra_object_handle_t *object,
                                                 uint64_t **periods,
                                                 uint32_t *num_periods);
TESRA_API tesra_error_t tesra_find_object(tesra_header_handle_t *header,
                                          const char *object_name,
                                          tesra_object_handle_t **object);
TESRA_API tesra_error_t tesra_first_object(tesra_header_handle_t *header,
                                           tesra_object_handle_t **object);
TESRA_API tesra_error_t tesra_next_object(tesra_header_handle_t *header,
                                          tesra_object_handle_t **object);
TESRA_API tesra_error_t tesra_find_counter_by_id(tesra_object_handle_t *object,
                                                 uint32_t counter_id,
                                                 tesra_counter_handle_t **counter);
TESRA_API tesra_error_t tesra_find_counter_by_name(tesra_object_handle_t *object,
                                                   const char *counter_name,
                                                   tesra_counter_handle_t **counter);
TESRA_API tesra_error_t tesra_first_counter(tesra_object_handle_t *object,
                                            tesra_counter_handle_t **counter);
TESRA_API tesra_error_t tesra_next_counter(tesra_object_handle_t *object,
                                           tesra_counter_handle_t **counter);
TESRA_API tesra_error_t tesra_first_counter_by_period(tesra_object_handle_t *object,
                                                      uint64_t period,
                                                      tesra_counter_handle_t **counter);
TESRA_API tesra_error_t tesra_next_counter_by_period(tesra_object_handle_t *object,
                                                     uint64_t period,
                                                     tesra_counter_handle_t **counter);

/* Records; a returned record belongs to the file handle until its next record step. */
TESRA_API tesra_error_t tesra_first_record(tesra_file_handle_t *data_file,
                                           tesra_order_type_t order_type,
                                           uint64_t start_time,
                                           tesra_record_handle_t **record);
TESRA_API tesra_error_t tesra_next_record(tesra_file_handle_t *data_file,
                                          tesra_record_handle_t **record);
/** Fills a tesra_record_header_data_t_v6_0 (time relative to base_time). */
TESRA_API tesra_error_t tesra_get_record_info(tesra_record_handle_t *record, void *record_info);
TESRA_API tesra_error_t tesra_get_object_from_record(tesra_record_handle_t *record,
                                                     tesra_object_handle_t **object);

/* Instances and counter data. */
TESRA_API tesra_error_t tesra_first_instance(tesra_timestamp_handle_t *timestamp,
                                             tesra_instance_handle_t **instance);
TESRA_API tesra_error_t tesra_next_instance(tesra_timestamp_handle_t *timestamp,
                                            tesra_instance_handle_t **instance);
/** `key_cnt_values` is an array of tesra_counter_data_t_v6_0, one per name. */
TESRA_API tesra_error_t tesra_find_instance(tesra_timestamp_handle_t *timestamp,
                                            const char **key_cnt_names,
                                            void *key_cnt_values,
                                            uint32_t num_key_cnts,
                                            tesra_instance_handle_t **instance);
TESRA_API tesra_error_t tesra_first_instance_from_record(tesra_record_handle_t *record,
                                                         tesra_instance_handle_t **instance);
TESRA_API tesra_error_t tesra_next_instance_from_record(tesra_record_handle_t *record,
                                                        tesra_instance_handle_t **instance);
/** Fills a tesra_instance_data_t_v6_0 with the instance's own arrays. */
TESRA_API tesra_error_t tesra_get_instance_data(tesra_instance_handle_t *instance,
                                                void *instance_data);
TESRA_API tesra_error_t tesra_first_counter_data(tesra_instance_handle_t *instance,
                                                 tesra_counter_handle_t **counter,
                                                 tesra_counter_data_handle_t **counter_data);
TESRA_API tesra_error_t tesra_next_counter_data(tesra_instance_handle_t *instance,
                                                tesra_counter_handle_t **counter,
                                                tesra_counter_data_handle_t **counter_data);
TESRA_API tesra_error_t tesra_find_counter_data(tesra_instance_handle_t *instance,
                                                const char *counter_name,
                                                tesra_counter_handle_t **counter,
                                                tesra_counter_data_handle_t **counter_data);
/** Fills a tesra_counter_data_t_v6_0 with the handle's own value array. */
TESRA_API tesra_error_t tesra_get_counter_data_value(tesra_counter_data_handle_t *counter_data,
                                                     void *counter_data_value);

/* Queries and their timestamps; the query belongs to the file handle. */
/** Runs a tesra_query_def_t_v6_0; `*query` is NULL when the range misses the archive. */
TESRA_API tesra_error_t tesra_query(tesra_file_handle_t *data_file,
                                    void *query_def,
                                    tesra_query_handle_t **query);
TESRA_API tesra_error_t tesra_first_timestamp(tesra_query_handle_t *query,
                                              tesra_timestamp_handle_t **timestamp);
TESRA_API tesra_error_t tesra_next_timestamp(tesra_query_handle_t *query,
                                             tesra_timestamp_handle_t **timestamp);
/** Absolute sample time of `timestamp`. */
TESRA_API tesra_error_t tesra_get_timestamp(tesra_timestamp_handle_t *timestamp, uint64_t *time);

/* Store identity; the strings filled are the caller's, released with tesra_free_store_def. */
TESRA_API tesra_error_t tesra_get_store_info_from_meta_file_v6_0(const char *file_path,
                                                                 tesra_store_def_t_v6_0 *store_info);
TESRA_API tesra_error_t tesra_get_store_info_from_drovik_file_v6_0(
    const char *file_path, tesra_store_def_t_v6_0 *store_info);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_EXT_DEFS_H */
