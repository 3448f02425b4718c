/* Client view of the tesra archive libraries: opaque handle types and every exported operation
 * whose parameters are public records or opaque handles.
 *
 * What holds for every call below unless its comment says otherwise:
 * - Checks come first and change nothing: a null handle (or a null argument that the call
 *   checks) gives TESRA_INVALID_ARGUMENTS, then a handle whose major version is not 6 gives
 *   TESRA_INVALID_VERSION; a refused call leaves its out-parameters as they were. Other
 *   out-parameter pointers are not checked and must be valid.
 * - Every failed allocation or string copy is TESRA_NULL_POINTER.
 * - Times and periods are milliseconds; periods are values of _tesra_period_map. Calls on an
 *   open archive take and give absolute times (the system base_time plus the archive-relative
 *   time) except where a comment says "relative".
 * - Walks end in success: first/next/find calls report "nothing more" as TESRA_SUCCESS with a
 *   NULL handle; a code other than TESRA_SUCCESS is a real failure.
 * - Ownership: handles handed out by first/next/find steps belong to their parent. Header,
 *   object and counter handles stay valid until the archive is closed; a record, query,
 *   timestamp, instance or counter data stays valid until its parent's next step of the same
 *   kind (or a new query or record walk above it) or the close. Callers never free them and
 *   copy out what they keep. The info calls copy a definition whose strings and arrays stay
 *   the handle's. */
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

/** Stores the leading version pair of any record or handle `data` (not checked: must be valid). */
TESRA_API void tesra_get_version(void *data, uint32_t *major_v, uint32_t *minor_v);
/** True when `data` has major version `major_v` and a minor version of at least `minor_v`: a 6.1
 *  record passes the test for 6.0, a 6.0 record fails the test for 6.1. */
TESRA_API bool tesra_is_version(void *data, uint32_t major_v, uint32_t minor_v);
/** Stamps `data` with the latest format version, 6.1; use it on definition records you fill. */
TESRA_API void tesra_set_latest_version(void *data);

/* ---- libtesrautil: definition records ---------------------------------------------------- */

/* Validation, as the writer and the reader apply it before they accept a record. It reads the
 * record only and ignores its version pair. A NULL record is TESRA_NULL_POINTER. */

/** @return TESRA_SUCCESS; TESRA_NULL_POINTER (one of the ten strings missing). */
TESRA_API tesra_error_t tesra_validate_system_def_v6_0(tesra_system_def_t_v6_0 *def);
/** @return TESRA_SUCCESS; TESRA_NULL_POINTER (preset_version missing). */
TESRA_API tesra_error_t tesra_validate_header_def_v6_0(tesra_header_def_t_v6_0 *def);
/** @return TESRA_SUCCESS; TESRA_NULL_POINTER (name or desc missing). */
TESRA_API tesra_error_t tesra_validate_attr_def_v6_0(tesra_attribute_def_t_v6_0 *def);
/** @return TESRA_SUCCESS; TESRA_NULL_POINTER (name or priv missing). */
TESRA_API tesra_error_t tesra_validate_object_def_v6_0(tesra_object_def_t_v6_0 *def);
/** A counter definition names exactly one period; further periods are added by adding the same
 *  counter id again.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (name, desc or priv missing, checked first; or one
 *  of num_x_items x_names / num_y_items y_names missing); TESRA_INVALID_ARGUMENTS (num_periods
 *  not 1, or periods[0] not a table period). */
TESRA_API tesra_error_t tesra_validate_counter_def_v6_0(tesra_counter_def_t_v6_0 *def);
/** aggr_name and inst_list_req_filter may be missing.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (inst_name, inst_uuid or aggr_type missing). */
TESRA_API tesra_error_t tesra_validate_aggregation_def_v6_0(tesra_aggregation_def_t_v6_0 *def);
/** Key values are not looked at.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (object_name, or one of num_key_cnts key names or
 *  num_cnts counter names missing); TESRA_PERIOD_NOT_FOUND (period not a table period);
 *  TESRA_INVALID_TIMESTAMP (start_time after end_time; equal times are valid). */
TESRA_API tesra_error_t tesra_validate_query_def_v6_0(tesra_query_def_t_v6_0 *def);
/** @return TESRA_SUCCESS; TESRA_NULL_POINTER (directory_path missing). */
TESRA_API tesra_error_t tesra_validate_directory_def_v6_0(tesra_directory_def_t_v6_0 *def);

/* Deep copies of a validated `src` into `dst`, which must be zero-filled (one that still holds
 * strings is a programming error and aborts). Version pair and scalars are copied, strings and
 * arrays duplicated as new C memory that `dst` owns (release with free()). A failed copy stops
 * at once and leaves what it made in `dst`, to be released the same way.
 * Each returns TESRA_SUCCESS; TESRA_NULL_POINTER (src or dst NULL, allocation);
 * TESRA_INVALID_VERSION (src not of major version 6). */

/** Copies base_time and the ten strings. */
TESRA_API tesra_error_t tesra_copy_system_def_v6_0(tesra_system_def_t_v6_0 *src,
                                                   tesra_system_def_t_v6_0 *dst);
/** Copies generation_id and preset_version. */
TESRA_API tesra_error_t tesra_copy_header_def_v6_0(tesra_header_def_t_v6_0 *src,
                                                   tesra_header_def_t_v6_0 *dst);
/** Copies name, value and desc. */
TESRA_API tesra_error_t tesra_copy_attr_def_v6_0(tesra_attribute_def_t_v6_0 *src,
                                                 tesra_attribute_def_t_v6_0 *dst);
/** Copies name, obj_id and priv. */
TESRA_API tesra_error_t tesra_copy_object_def_v6_0(tesra_object_def_t_v6_0 *src,
                                                   tesra_object_def_t_v6_0 *dst);
/** Copies every field and the label arrays, but of the period list only periods[0] with
 *  num_periods (a definition carries one period). */
TESRA_API tesra_error_t tesra_copy_counter_def_v6_0(tesra_counter_def_t_v6_0 *src,
                                                    tesra_counter_def_t_v6_0 *dst);
/** Copies every field; aggr_name and inst_list_req_filter stay NULL when missing in `src`. */
TESRA_API tesra_error_t tesra_copy_aggregation_def_v6_0(tesra_aggregation_def_t_v6_0 *src,
                                                        tesra_aggregation_def_t_v6_0 *dst);
/** Copies object name, times, period and the key names and values (string values duplicated;
 *  both key arrays exist even for no key). cnt_names is not copied: only num_cnts is.
 *  Also TESRA_NULL_POINTER when num_key_cnts > 0 and a key array or value list is missing. */
TESRA_API tesra_error_t tesra_copy_query_def_v6_0(tesra_query_def_t_v6_0 *src,
                                                  tesra_query_def_t_v6_0 *dst);
/** Copies directory_path, start_time, end_time and period. */
TESRA_API tesra_error_t tesra_copy_directory_def_v6_0(tesra_directory_def_t_v6_0 *src,
                                                      tesra_directory_def_t_v6_0 *dst);
/** Copies collection_path, start_time and end_time. */
TESRA_API tesra_error_t tesra_copy_collection_def_v6_0(tesra_collection_def_t_v6_0 *src,
                                                       tesra_collection_def_t_v6_0 *dst);

/** XML-escapes `num_strs` strings (" & ' < > become entities; bytes from 0x80 are kept). The
 *  caller provides `dsts` and `encoded_flags`, one slot per string. `dsts[i]` is `srcs[i]` itself
 *  when it needs no escaping (flag false; a NULL source passes through as NULL) or a new buffer
 *  (flag true) that tesra_free_xml_encoded_strs releases. Nothing is allocated when no string
 *  needs escaping.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an array NULL while num_strs > 0);
 *  TESRA_NULL_POINTER (allocation: later flags are cleared, earlier buffers stay releasable). */
TESRA_API tesra_error_t tesra_xml_encode(uint32_t num_strs,
                                         const char **srcs,
                                         char **dsts,
                                         bool *encoded_flags);
/** Frees and clears every `dsts` slot whose flag is true; passed-through strings are never
 *  freed, flags are left as they are. NULL arrays are accepted. */
TESRA_API void tesra_free_xml_encoded_strs(uint32_t num_strs, char **dsts, bool *encoded_flags);

/* ---- libtesrautil: periods, lists, names, release ---------------------------------------- */

/** Index of `period` in _tesra_period_map.
 *  @return TESRA_SUCCESS; TESRA_PERIOD_NOT_FOUND (not a table value; out left untouched). */
TESRA_API tesra_error_t tesra_get_period_index(uint64_t period, uint32_t *period_index);
/** True when `period` is one of the 14 table values (0 is not). */
TESRA_API bool tesra_is_period_valid(uint64_t period);
/** Inserts `period` (a table value) into the counter's ascending definition period list.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (counter NULL); TESRA_PERIOD_EXISTS (already
 *  listed; list unchanged); TESRA_INVALID_ARGUMENTS (the list already holds 14 periods). */
TESRA_API tesra_error_t tesra_add_period_to_counter_v6_0(uint64_t period,
                                                         tesra_counter_handle_t *counter);

/** Links `object` into the list headed by `*object_list` in ascending obj_id, after any equal
 *  id; the list does not own its objects.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (either argument NULL); TESRA_VERSION_MISMATCH
 *  (object of another major version or a lower minor version than the head);
 *  TESRA_INVALID_VERSION (object not of major version 6). */
TESRA_API tesra_error_t tesra_add_object_to_list(tesra_object_handle_t **object_list,
                                                 tesra_object_handle_t *object);
/** Appends `aggr_h` at the end of the list headed by `*aggr_list`; no version test.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (either argument NULL). */
TESRA_API tesra_error_t tesra_add_aggregation_to_list(tesra_aggregation_handle_t **aggr_list,
                                                      tesra_aggregation_handle_t *aggr_h);

/** Parses the last component of `file_path` ('/' or '\' separated), an archive base name
 *  "<index>_<longest period s>_<start ms>_<duration ms>" followed by anything: `*period` gets
 *  the period in ms, `*end_time` start + duration. `*file_index`, `*start_time` and `*end_time`
 *  are zeroed first; a name refused after its four numbers were read (index 0, a period that is
 *  neither 0 nor a table period, an end that wraps) leaves the parsed values in the
 *  out-parameters, so look at the result first. The path is not modified.
 *  @return TESRA_SUCCESS; TESRA_FILENAME_FORMAT_ERROR. */
TESRA_API tesra_error_t tesra_parse_filename(char *file_path,
                                             uint32_t *file_index,
                                             uint64_t *period,
                                             uint64_t *start_time,
                                             uint64_t *end_time);

/* Release operations accept NULL and then do nothing. A handle of a major version other than 6
 * is a programming error and aborts. Each frees what the handle owns and the handle itself;
 * nothing that led to it may be used afterwards. Handles that a parent owns (everything a
 * first/next/find step or an add call handed out) are released with their parent: passing
 * them here as well frees them twice. */

/** Releases a file handle and its whole tree (header, query, current record) and closes both
 *  files without completing the archive: tesra_close_data_file does that for a writing handle.
 *  @return TESRA_SUCCESS (also for NULL); TESRA_CLOSE_FILE_FAILED (closing the data stream
 *  reported an error; everything is released all the same). */
TESRA_API tesra_error_t tesra_free_file(tesra_file_handle_t *data_file);
/** Releases a header with its system strings, attribute definitions, section table, object
 *  index and objects. What `pc` and `pid` hold is neither called nor freed. */
TESRA_API void tesra_free_header(tesra_header_handle_t *header);
/** Releases a malloc'ed tesra_attribute_def_t_v6_0 with its name and desc. */
TESRA_API void tesra_free_attr_def(void *attr_def);
/** Releases an object with its counters, aggregations and period records. */
TESRA_API void tesra_free_object(tesra_object_handle_t *object);
/** Releases a counter with its strings and label arrays. */
TESRA_API void tesra_free_counter(tesra_counter_handle_t *counter);
/** Releases an aggregation and its strings. */
TESRA_API void tesra_free_aggregation(tesra_aggregation_handle_t *aggregation);
/** Releases a record with its data and its current instance. */
TESRA_API void tesra_free_record(tesra_record_handle_t *record);
/** Releases a query with its copied definition, arrays and current timestamp. */
TESRA_API void tesra_free_query(tesra_query_handle_t *query);
/** Releases a timestamp with its instances and its current instance. */
TESRA_API void tesra_free_timestamp(tesra_timestamp_handle_t *timestamp);
/** Releases an instance with its key names and values and its current counter data. */
TESRA_API void tesra_free_instance(tesra_instance_handle_t *instance);
/** Releases counter data with its values (strings included). */
TESRA_API void tesra_free_counter_data(tesra_counter_data_handle_t *counter_data);
/** Frees the three paths of `file_def`; the caller's copy keeps dangling pointers. Never for a
 *  record filled by tesra_get_file_info, whose paths are the handle's. */
TESRA_API void tesra_free_file_def(tesra_file_def_t file_def);
/** Frees the five strings of `store_def` (such as one filled by the store-information calls);
 *  the caller's copy keeps dangling pointers. */
TESRA_API void tesra_free_store_def(tesra_store_def_t store_def);
/** Releases a directory handle of the companion library with its file list. */
TESRA_API void tesra_free_directory(tesra_directory_handle_t *directory);
/** Releases a collection handle of the companion library with its stores and their files. */
TESRA_API void tesra_free_collection(tesra_collection_handle_t *collection);
/** Releases a core-file handle of the companion library, closing its open 7z archive. */
TESRA_API void tesra_free_corefile(tesra_corefile_handle_t *corefile);

/* ---- libtesrawrite ----------------------------------------------------------------------- */

/* Writing order: tesra_create_data_file, tesra_create_header, the add calls (an object before
 * its counters and aggregations), tesra_finalize_header, tesra_write_record for every sample,
 * tesra_close_data_file. The definition records passed in stay the caller's; handles keep deep
 * copies. */

/** Creates (or truncates) `<file_path>.meta` and `<file_path>.gz` and returns a writing handle
 *  in `*data_file`, NULL after a failure (files already created stay on disk). `duration` (ms,
 *  not 0) sizes the slot tables until the first record fixes the start. `*meta_path` and
 *  `*data_path` (each optional: may be NULL) receive the handle's own path strings, valid until
 *  close; never free them.
 *  @return TESRA_SUCCESS; TESRA_INVALID_VERSION (major_v not 6, checked first);
 *  TESRA_INVALID_ARGUMENTS (file_path or data_file NULL, duration 0); TESRA_NULL_POINTER
 *  (allocation, or a file cannot be created). */
TESRA_API tesra_error_t tesra_create_data_file(const char *file_path,
                                               uint32_t major_v,
                                               uint32_t minor_v,
                                               uint64_t duration,
                                               tesra_file_handle_t **data_file,
                                               const char **meta_path,
                                               const char **data_path);
/** Builds the archive's header from a tesra_header_def_t_v6_0 and a tesra_system_def_t_v6_0.
 *  For a 6.0 archive the caller's system record is changed: its cluster_name, cluster_id,
 *  process_name and store_name become "" (6.0 archives carry none). `*header` belongs to the
 *  file handle until close.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (data_file or a record NULL);
 *  TESRA_VERSION_MISMATCH (a record of another major or a lower minor version than the file);
 *  TESRA_INVALID_VERSION; TESRA_FILE_NOT_FOUND (no data stream); TESRA_NULL_POINTER
 *  (preset_version or a system string missing, allocation). */
TESRA_API tesra_error_t tesra_create_header(tesra_file_handle_t *data_file,
                                            void *header_def,
                                            void *system_def,
                                            tesra_header_handle_t **header);
/** Adds a copy of a tesra_attribute_def_t_v6_0; duplicates are kept, in the order added.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL); TESRA_VERSION_MISMATCH
 *  (record does not fit the header's version); TESRA_INVALID_VERSION; TESRA_NULL_POINTER (name
 *  or desc missing, allocation). */
TESRA_API tesra_error_t tesra_add_attr_def(tesra_header_handle_t *header, void *attr_def);
/** Adds a tesra_object_def_t_v6_0 (copied). When the header already has an object with that
 *  obj_id, `*object` is that object and nothing changes (name and priv are not compared).
 *  `*object` belongs to the header until close.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (header or record NULL, obj_id above
 *  1048575); TESRA_VERSION_MISMATCH; TESRA_INVALID_VERSION; TESRA_NULL_POINTER (name or priv
 *  missing, allocation). */
TESRA_API tesra_error_t tesra_add_object(tesra_header_handle_t *header,
                                         void *object_def,
                                         tesra_object_handle_t **object);
/** Adds a tesra_aggregation_def_t_v6_0 (copied) at the end of the object's list; when one with
 *  equal aggr_type, inst_name and inst_uuid exists, `*aggregation` is that one. `*aggregation`
 *  belongs to the object until close.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL); TESRA_VERSION_MISMATCH;
 *  TESRA_INVALID_VERSION; TESRA_NULL_POINTER (aggr_type, inst_name or inst_uuid missing,
 *  allocation). */
TESRA_API tesra_error_t tesra_add_aggregation(tesra_object_handle_t *object,
                                              void *aggr_def,
                                              tesra_aggregation_handle_t **aggregation);
/** Adds a tesra_counter_def_t_v6_0 at its one period. The first call for a cnt_id creates the
 *  counter (and, for a period new to the object, its period record and slot table); a later
 *  call with the same cnt_id and equal fields adds its period to that counter and hands it out
 *  (a key counter, which has a slot in every period of its object, keeps only its first
 *  period's link).
 *  `*counter` belongs to the object until close.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (object or record NULL; not exactly one
 *  period, or one outside the table); TESRA_VERSION_MISMATCH; TESRA_INVALID_VERSION;
 *  TESRA_NULL_POINTER (name, desc, priv or counted labels missing, allocation);
 *  TESRA_COUNTER_MISMATCH (same cnt_id with another name, priv, ctype, size, base_id, desc or
 *  is_key). */
TESRA_API tesra_error_t tesra_add_counter(tesra_object_handle_t *object,
                                          void *counter_def,
                                          tesra_counter_handle_t **counter);
/** Fixes the archive's relative start time (ms after base_time), from which every slot table is
 *  laid out; without this call the first record fixes it at its slot time.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS; TESRA_INVALID_VERSION;
 *  TESRA_INVALID_TIMESTAMP (the start time is already set). */
TESRA_API tesra_error_t tesra_set_start_time(tesra_file_handle_t *data_file, uint64_t start_time);
/** Kept for older callers: checks its arguments and changes nothing (a counter stays).
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL); TESRA_VERSION_MISMATCH
 *  (counter does not fit the object's version); TESRA_INVALID_VERSION. */
TESRA_API tesra_error_t tesra_delete_counter(tesra_object_handle_t *object,
                                             tesra_counter_handle_t *counter);
/** Kept for older callers: checks its arguments and changes nothing (an object stays).
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL); TESRA_VERSION_MISMATCH
 *  (object does not fit the header's version); TESRA_INVALID_VERSION. */
TESRA_API tesra_error_t tesra_delete_object(tesra_header_handle_t *header,
                                            tesra_object_handle_t *object);
/** Kept for older callers: checks nothing and changes nothing. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_copy_counter(tesra_object_handle_t *object,
                                           tesra_counter_handle_t *counter);
/** Kept for older callers: checks nothing and changes nothing. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_copy_header(tesra_file_handle_t *data_file,
                                          tesra_header_handle_t *header);
/** Kept for older callers: checks nothing and changes nothing. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_copy_object(tesra_header_handle_t *header,
                                          tesra_object_handle_t *object);
/** Writes the metadata document (XML, then a 0x00 byte) from the header. Call it once, after
 *  every definition was added and before close; records may come before or after it. After a
 *  failure the archive cannot be completed: close it and remove it with tesra_unlink.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS; TESRA_INVALID_VERSION; TESRA_FILE_NOT_FOUND
 *  (a file is not open); TESRA_NULL_POINTER (no header, allocation); TESRA_WRITE_FAILED. */
TESRA_API tesra_error_t tesra_finalize_header(tesra_file_handle_t *data_file);
/** Appends one record: a tesra_record_header_data_t_v6_0 (msecs_since_base relative to
 *  base_time, `size`, obj_id, period) and `size` body bytes from `buffer`, whole instances laid
 *  out by the header's counters (only read, not checked). A refused record is not written. After
 *  TESRA_WRITE_FAILED the handle takes no more records and close writes no index.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL); TESRA_VERSION_MISMATCH
 *  (record header does not fit the file's version); TESRA_INVALID_VERSION;
 *  TESRA_INVALID_ARGUMENTS (size above 2 MiB, checked after the versions);
 *  TESRA_FILE_NOT_FOUND (no data stream); TESRA_OBJECT_NOT_FOUND (no such object);
 *  TESRA_PERIOD_NOT_FOUND (period 0 or not sampled by the object);
 *  TESRA_INVALID_TIMESTAMP (before the slot of the start time, or over 2^20 slots after it);
 *  TESRA_INVALID_NUM_PARTIAL_RECORDS (over 100000 records in one slot); TESRA_NULL_POINTER
 *  (allocation); TESRA_WRITE_FAILED. */
TESRA_API tesra_error_t tesra_write_record(tesra_file_handle_t *data_file,
                                           void *record_info,
                                           const void *buffer);
/** Bytes written so far: the metadata document plus the decompressed data stream.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS; TESRA_INVALID_VERSION;
 *  TESRA_FILE_NOT_FOUND (no data stream). */
TESRA_API tesra_error_t tesra_ftell(tesra_file_handle_t *data_file, uint64_t *count);
/** Absolute time of the archive's first slot (relative start time plus base_time), also on a
 *  reading handle; meaningful once the archive holds a record.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS; TESRA_INVALID_VERSION;
 *  TESRA_FILE_NOT_FOUND (no data stream). */
TESRA_API tesra_error_t tesra_get_oldest_record_time(tesra_file_handle_t *data_file,
                                                     uint64_t *time);
/** Absolute time of the archive's last slot, as tesra_get_oldest_record_time.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS; TESRA_INVALID_VERSION;
 *  TESRA_FILE_NOT_FOUND (no data stream). */
TESRA_API tesra_error_t tesra_get_newest_record_time(tesra_file_handle_t *data_file,
                                                     uint64_t *time);
/** Closes any archive handle and releases it with everything it handed out. A writing handle
 *  first gets its index section and final time fields written; a reading one writes nothing.
 *  Apart from the refusals and TESRA_FILE_NOT_FOUND the handle is gone whatever the result.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS; TESRA_INVALID_VERSION;
 *  TESRA_FILE_NOT_FOUND (no data stream; nothing released); TESRA_NULL_POINTER (no header,
 *  allocation); TESRA_WRITE_FAILED (a write failed, the header was never written or a record
 *  was lost: remove the archive); TESRA_SEEK_FAILED; TESRA_INVALID_TIMESTAMP (the records do
 *  not span two slot times, or there are none while objects have periods: no index is
 *  written); TESRA_CLOSE_FILE_FAILED (the data stream could not be pushed out or closed; when
 *  that happens before the index is written, none is: readers index the records from the
 *  stream). The index section's offset is the last field written, so an archive whose close
 *  stops anywhere before it reads as one still being written. */
TESRA_API tesra_error_t tesra_close_data_file(tesra_file_handle_t *data_file);
/** Removes `<file_path>.meta`, then, only if that worked, `<file_path>.gz`. The archive must
 *  not be open.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (file_path NULL); TESRA_NULL_POINTER
 *  (allocation); TESRA_UNLINK_ERROR (a file could not be removed). */
TESRA_API tesra_error_t tesra_unlink(const char *file_path);

/* ---- libtesraread ------------------------------------------------------------------------ */

/** Interface version of the reader library, 1.4; unrelated to archive format versions. */
TESRA_API uint32_t tesra_get_major_version(void);
/** Minor interface version of the reader library (4). */
TESRA_API uint32_t tesra_get_minor_version(void);

/** Opens the archive `<file_path>.meta`/`.gz` and loads its header and index; the last path
 *  component must be an archive name (tesra_parse_filename). An archive whose name holds
 *  "_0000000000000_0000000." or whose index was never written is indexed from the records its
 *  data stream holds now. `access_type` is "r", "rb", "rw" or "wr"; all open read-only and
 *  nothing is ever written. On success `*data_file` is a new handle (close it with
 *  tesra_close_data_file) and `*meta_path`/`*data_path` its own paths, valid until then; on
 *  failure the out-parameters are left untouched.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL, another access string);
 *  TESRA_FILE_NOT_FOUND (a file cannot be opened); TESRA_FILENAME_FORMAT_ERROR;
 *  TESRA_PARSING_ERROR; TESRA_NULL_POINTER (version not "major.minor", required text missing,
 *  allocation); TESRA_INVALID_VERSION (major not 6); TESRA_INVALID_TIMESTAMP,
 *  TESRA_PERIOD_NOT_FOUND, TESRA_COUNTER_MISMATCH, TESRA_OBJECT_NOT_FOUND,
 *  TESRA_CORRUPT_ARCHIVE, TESRA_INVALID_NUM_PARTIAL_RECORDS, TESRA_SEEK_FAILED,
 *  TESRA_READ_FAILED (damaged metadata, index or data stream). */
TESRA_API tesra_error_t tesra_open_data_file(const char *file_path,
                                             const char *access_type,
                                             tesra_file_handle_t **data_file,
                                             const char **meta_path,
                                             const char **data_path);
/** File index, longest period and absolute start and end of the archive with base path
 *  `file_path`, from its name without touching the files; a name with the partial template
 *  takes the times from the archive's records (tesra_get_partial_file_info_v6_0).
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL);
 *  TESRA_FILENAME_FORMAT_ERROR (the out-parameters may hold parsed values); and for a partial
 *  name the codes of tesra_get_partial_file_info_v6_0. */
TESRA_API tesra_error_t tesra_get_basic_file_info_v6_0(const char *file_path,
                                                       uint32_t *file_index,
                                                       uint64_t *longest_period,
                                                       uint64_t *start_time,
                                                       uint64_t *end_time);
/** Longest period and absolute start and end of an archive (base path `file_path`) taken from
 *  its contents: opens it read-only and closes it again. Out-parameters are written on success.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL, a path containing ".gz"
 *  or ".meta"); the codes of tesra_open_data_file; TESRA_INVALID_TIMESTAMP (no record yet, or
 *  none at or after the start the writer set); TESRA_CLOSE_FILE_FAILED. */
TESRA_API tesra_error_t tesra_get_partial_file_info_v6_0(const char *file_path,
                                                         uint64_t *longest_period,
                                                         uint64_t *utc_start_time,
                                                         uint64_t *utc_end_time);

/* Navigation of an open archive's header; nothing here reads the files. Walks keep one cursor
 * per list (the header's objects, an object's counters, an object's counters at one period),
 * which the find calls move too: interleaved walks over one list disturb each other. A find
 * positions the walk (next continues after the item found); a failed find clears the cursor.
 * Every call here can also answer TESRA_INVALID_ARGUMENTS (an argument NULL) and
 * TESRA_INVALID_VERSION. */

/** `*header` is the archive's header, owned by the file handle until close.
 *  @return TESRA_SUCCESS; TESRA_FILE_NOT_FOUND (no data stream). */
TESRA_API tesra_error_t tesra_get_header(tesra_file_handle_t *data_file,
                                         tesra_header_handle_t **header);
/** Fills a tesra_file_def_t_v6_0: version, file_path, meta_path, data_path (the handle's
 *  strings: never free them), file_index, absolute start_time and end_time, file_type.
 *  @return TESRA_SUCCESS; TESRA_FILE_NOT_FOUND (no data stream). */
TESRA_API tesra_error_t tesra_get_file_info(tesra_file_handle_t *data_file, void *file_info);
/** Fills a tesra_header_def_t_v6_0 (generation_id, preset_version). @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_get_header_info(tesra_header_handle_t *header, void *header_info);
/** Fills a tesra_system_def_t_v6_0 (base_time and the node's ten strings). 6.0 archives have
 *  empty cluster, process and store strings. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_get_system_info(tesra_header_handle_t *header, void *system_info);
/** Fills a tesra_object_def_t_v6_0 (name, obj_id, priv). @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_get_object_info(tesra_object_handle_t *object, void *object_info);
/** Fills a tesra_counter_def_t_v6_0 with the whole definition: every period of the counter
 *  (ascending) and the label arrays. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_get_counter_info(tesra_counter_handle_t *counter,
                                               void *counter_info);
/** Splits the counter's ctype into size (ctype & 0xFF), type (ctype & 0xFF00; 0x2000 marks a
 *  text counter) and unit (ctype & 0xF0000), each left in place, not shifted down.
 *  @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_get_counter_type(tesra_counter_handle_t *counter,
                                               tesra_cnt_size_t *size,
                                               tesra_cnt_type_t *type,
                                               tesra_cnt_unit_t *unit);
/** The object's periods, ascending: `*periods` is a new array the caller frees with free(),
 *  NULL with `*num_periods` 0 when the object has none.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (allocation; `*periods` NULL). */
TESRA_API tesra_error_t tesra_get_object_periods(tesra_object_handle_t *object,
                                                 uint64_t **periods,
                                                 uint32_t *num_periods);
/** The object named exactly `object_name` (case-sensitive).
 *  @return TESRA_SUCCESS; TESRA_OBJECT_NOT_FOUND (`*object` NULL). */
TESRA_API tesra_error_t tesra_find_object(tesra_header_handle_t *header,
                                          const char *object_name,
                                          tesra_object_handle_t **object);
/** First object in ascending obj_id, NULL when there is none. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_first_object(tesra_header_handle_t *header,
                                           tesra_object_handle_t **object);
/** Object after the cursor, NULL at the end; without a cursor (no walk begun, or past the end)
 *  `*object` is left as it is. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_next_object(tesra_header_handle_t *header,
                                          tesra_object_handle_t **object);
/** The object's counter whose cnt_id is `counter_id`.
 *  @return TESRA_SUCCESS; TESRA_COUNTER_NOT_FOUND (`*counter` NULL). */
TESRA_API tesra_error_t tesra_find_counter_by_id(tesra_object_handle_t *object,
                                                 uint32_t counter_id,
                                                 tesra_counter_handle_t **counter);
/** The object's counter named exactly `counter_name` (case-sensitive).
 *  @return TESRA_SUCCESS; TESRA_COUNTER_NOT_FOUND (`*counter` NULL). */
TESRA_API tesra_error_t tesra_find_counter_by_name(tesra_object_handle_t *object,
                                                   const char *counter_name,
                                                   tesra_counter_handle_t **counter);
/** First counter of the object, key counters included, in ascending cnt_id; NULL when none.
 *  @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_first_counter(tesra_object_handle_t *object,
                                            tesra_counter_handle_t **counter);
/** Counter after the cursor, NULL at the end; without a cursor `*counter` is left as it is.
 *  @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_next_counter(tesra_object_handle_t *object,
                                           tesra_counter_handle_t **counter);
/** First non-key counter sampled at `period` (key counters are in no period walk), NULL when
 *  there is none, and for an object without counters whatever the period.
 *  @return TESRA_SUCCESS; TESRA_PERIOD_NOT_FOUND (the object is not sampled at `period`;
 *  `*counter` NULL). */
TESRA_API tesra_error_t tesra_first_counter_by_period(tesra_object_handle_t *object,
                                                      uint64_t period,
                                                      tesra_counter_handle_t **counter);
/** Non-key counter after the cursor of `period`, NULL at the end; without a cursor `*counter`
 *  is left as it is.
 *  @return TESRA_SUCCESS; TESRA_PERIOD_NOT_FOUND (not a table period, or the object is not
 *  sampled at it; `*counter` NULL). */
TESRA_API tesra_error_t tesra_next_counter_by_period(tesra_object_handle_t *object,
                                                     uint64_t period,
                                                     tesra_counter_handle_t **counter);

/* Record walks, one per file handle. A returned record belongs to the file handle until its
 * next tesra_first_record or tesra_next_record, or the close. */

/** Starts a walk at absolute `start_time` and hands out its first record, NULL when there is
 *  none. TESRA_LINEAR_ORDER: by sample time, a second at a time; within a second object by
 *  object (ascending obj_id) and period by period (ascending), the partial records of a slot
 *  joined into one record. TESRA_RAW_ORDER: each stored record as it lies in the data stream,
 *  from the first one whose time is not before `start_time`.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (data_file NULL, order type not linear or
 *  raw); TESRA_INVALID_VERSION; TESRA_NULL_POINTER; TESRA_SEEK_FAILED; TESRA_READ_FAILED (a
 *  record cut short; in raw order the end of the stream only ends the walk);
 *  TESRA_CORRUPT_ARCHIVE; TESRA_INVALID_RECORD. */
TESRA_API tesra_error_t tesra_first_record(tesra_file_handle_t *data_file,
                                           tesra_order_type_t order_type,
                                           uint64_t start_time,
                                           tesra_record_handle_t **record);
/** Next record of the walk, NULL at the end (and before any tesra_first_record).
 *  @return as tesra_first_record. */
TESRA_API tesra_error_t tesra_next_record(tesra_file_handle_t *data_file,
                                          tesra_record_handle_t **record);
/** Fills a tesra_record_header_data_t_v6_0: version, msecs_since_base (relative), size (all
 *  bodies of a joined record), obj_id, period.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (record NULL); TESRA_INVALID_VERSION. */
TESRA_API tesra_error_t tesra_get_record_info(tesra_record_handle_t *record, void *record_info);
/** `*object` is the record's object, owned by the header.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (record NULL); TESRA_INVALID_VERSION. */
TESRA_API tesra_error_t tesra_get_object_from_record(tesra_record_handle_t *record,
                                                     tesra_object_handle_t **object);

/* Instances and counter data. An instance belongs to its timestamp or record until the next
 * instance step there; counter data belongs to its instance until the next counter-data step
 * there. Only the first handle argument is checked: TESRA_INVALID_ARGUMENTS when NULL,
 * TESRA_INVALID_VERSION when not of version 6. Decoding can also answer TESRA_NULL_POINTER
 * and TESRA_CORRUPT_ARCHIVE (a slot outside the instance's data). */

/** First instance of the timestamp (the query's object at that time, joined across the periods
 *  the query reads), NULL when there is none; restarts the walk. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_first_instance(tesra_timestamp_handle_t *timestamp,
                                             tesra_instance_handle_t **instance);
/** Next instance of the timestamp, NULL at the end. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_next_instance(tesra_timestamp_handle_t *timestamp,
                                            tesra_instance_handle_t **instance);
/** First instance whose key counters hold the given values. `num_key_cnts` must be the
 *  object's number of key counters; `key_cnt_names` names each of them once, in any order, and
 *  `key_cnt_values` is an array of tesra_counter_data_t_v6_0, one per name.
 *  tesra_next_instance continues after the instance found.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (a key count other than the object's, an
 *  array NULL); TESRA_COUNTER_NOT_FOUND (a name is no counter of the object);
 *  TESRA_INSTANCE_NOT_FOUND (`*instance` NULL); TESRA_COUNTER_TYPE_NOT_FOUND (a value list of
 *  unknown type). */
TESRA_API tesra_error_t tesra_find_instance(tesra_timestamp_handle_t *timestamp,
                                            const char **key_cnt_names,
                                            void *key_cnt_values,
                                            uint32_t num_key_cnts,
                                            tesra_instance_handle_t **instance);
/** First instance of a record of a record walk, NULL when it has none. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_first_instance_from_record(tesra_record_handle_t *record,
                                                         tesra_instance_handle_t **instance);
/** Next instance of the record, NULL at the end. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_next_instance_from_record(tesra_record_handle_t *record,
                                                        tesra_instance_handle_t **instance);
/** Fills a tesra_instance_data_t_v6_0 with the instance's key counter names and values: the
 *  instance's own arrays, valid as long as it. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_get_instance_data(tesra_instance_handle_t *instance,
                                                void *instance_data);
/** First counter of the instance and its values. The order is the key counters first (key
 *  order), then the query's counters in query order, or for a record's instance its period's
 *  non-key counters. An instance of an object without key counters has no counter data: both
 *  out-parameters NULL. `*counter` belongs to the header.
 *  @return TESRA_SUCCESS; TESRA_COUNTER_NOT_FOUND, TESRA_PERIOD_NOT_FOUND (a counter without a
 *  place in the data read). */
TESRA_API tesra_error_t tesra_first_counter_data(tesra_instance_handle_t *instance,
                                                 tesra_counter_handle_t **counter,
                                                 tesra_counter_data_handle_t **counter_data);
/** Next counter of the instance and its values, both NULL at the end.
 *  @return as tesra_first_counter_data. */
TESRA_API tesra_error_t tesra_next_counter_data(tesra_instance_handle_t *instance,
                                                tesra_counter_handle_t **counter,
                                                tesra_counter_data_handle_t **counter_data);
/** The counter named exactly `counter_name` (key counters included) and its values; the walk
 *  continues after it.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (counter_name NULL); TESRA_COUNTER_NOT_FOUND
 *  (both out-parameters NULL); the codes of tesra_next_counter_data. */
TESRA_API tesra_error_t tesra_find_counter_data(tesra_instance_handle_t *instance,
                                                const char *counter_name,
                                                tesra_counter_handle_t **counter,
                                                tesra_counter_data_handle_t **counter_data);
/** Fills a tesra_counter_data_t_v6_0 with value_type, values and num_values: the counter
 *  data's own array (strings included), valid as long as the counter data. @return
 *  TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_get_counter_data_value(tesra_counter_data_handle_t *counter_data,
                                                     void *counter_data_value);

/* Queries and their timestamps. A file handle has one query: it belongs to the file until the
 * next tesra_query that finds its object, or the close, which release it with its timestamp,
 * instances and counter data. A timestamp belongs to its query until the next timestamp step. */

/** Runs a tesra_query_def_t_v6_0 (copied; the record stays the caller's): the object, optional
 *  key values that instances must hold, the counters to read (all non-key counters when
 *  num_cnts is 0), the absolute range start_time..end_time (inclusive) and the period whose
 *  grid gives the sample times (one of the object's periods). Each counter is read at its own
 *  smallest period. `*query` is NULL, with success and the previous query kept, when the range
 *  misses the archive.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (data_file or query_def NULL);
 *  TESRA_INVALID_VERSION; TESRA_FILE_NOT_FOUND (no data stream); TESRA_NULL_POINTER (a name
 *  missing, a counter name the object lacks, a period the object lacks, allocation);
 *  TESRA_PERIOD_NOT_FOUND (not a table period, or no counter is sampled at a usable period);
 *  TESRA_INVALID_TIMESTAMP (start_time after end_time); TESRA_OBJECT_NOT_FOUND;
 *  TESRA_COUNTER_NOT_FOUND (a key name the object lacks); TESRA_INVALID_QUERY (no counter
 *  names and no non-key counter); TESRA_RECORD_NOT_FOUND (no record at all at the period);
 *  TESRA_SEEK_FAILED; TESRA_READ_FAILED; TESRA_CORRUPT_ARCHIVE. A failure after the object was
 *  found leaves the file without a query. */
TESRA_API tesra_error_t tesra_query(tesra_file_handle_t *data_file,
                                    void *query_def,
                                    tesra_query_handle_t **query);
/** First sample time of the query with its instances gathered, NULL when there is none;
 *  restarts the walk. A time whose records hold no instances comes back without instances.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (query NULL); TESRA_INVALID_VERSION;
 *  TESRA_NULL_POINTER; TESRA_INSTANCE_NOT_FOUND (the query has key values and no instance at
 *  that time holds them; `*timestamp` NULL, and the next step moves on to the following time);
 *  TESRA_RECORD_NOT_FOUND, TESRA_SEEK_FAILED, TESRA_READ_FAILED, TESRA_CORRUPT_ARCHIVE,
 *  TESRA_INVALID_RECORD, TESRA_COUNTER_TYPE_NOT_FOUND (reading that time's records). */
TESRA_API tesra_error_t tesra_first_timestamp(tesra_query_handle_t *query,
                                              tesra_timestamp_handle_t **timestamp);
/** Next sample time of the query, NULL at the end; as tesra_first_timestamp.
 *  @return as tesra_first_timestamp. */
TESRA_API tesra_error_t tesra_next_timestamp(tesra_query_handle_t *query,
                                             tesra_timestamp_handle_t **timestamp);
/** Absolute sample time of `timestamp`.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (timestamp NULL); TESRA_INVALID_VERSION. */
TESRA_API tesra_error_t tesra_get_timestamp(tesra_timestamp_handle_t *timestamp, uint64_t *time);

/* Store identity. The strings filled are new copies owned by the caller, released with
 * tesra_free_store_def; fields whose source is absent are not written, so pass a zero-filled
 * record. */

/** Store identity from the metadata file of base path `file_path`, without opening the
 *  archive: version pair, generation_id, and from the system element hostname (as node_name),
 *  cluster_id, cluster_name, process_name and store_name.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (an argument NULL, version not "major.minor",
 *  allocation: the copies made stay in the record); TESRA_FILE_NOT_FOUND;
 *  TESRA_PARSING_ERROR; TESRA_INVALID_VERSION (major not 6; the version pair is written). */
TESRA_API tesra_error_t tesra_get_store_info_from_meta_file_v6_0(
    const char *file_path, tesra_store_def_t_v6_0 *store_info);
/** Store identity from the first 1024 bytes of the drovik dump `file_path`: node_name from the
 *  "NODE-NAME" line, cluster_id and cluster_name from the "CLUSTER UUID" and "CLUSTER NAME"
 *  lines, process_name "drovikd", store_name "", generation_id 0, version 6.1.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (an argument NULL, allocation: no string is
 *  kept); TESRA_FILE_NOT_FOUND; TESRA_READ_FAILED (file shorter than 1024 bytes). */
TESRA_API tesra_error_t tesra_get_store_info_from_drovik_file_v6_0(
    const char *file_path, tesra_store_def_t_v6_0 *store_info);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_EXT_DEFS_H */
