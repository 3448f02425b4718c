/* Public records, enumerations and value types of the tesra archive libraries.
 * Callers fill these records to describe what is written or asked for, and read them back.
 * Compiles as C11 and as C++. */
#ifndef TESRA_COMMON_DEFS_H
#define TESRA_COMMON_DEFS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define TESRA_API __attribute__((visibility("default")))
#else
#define TESRA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Result of every library operation. 0 is success; every other value is a failure whose
 *  printable name is tesra_error_labels[code]. The numbering is fixed: callers store and compare
 *  the numbers, and the wrapper hands their labels out as error text. Codes marked "not raised"
 *  keep their number and label for older callers; no operation of these libraries returns them. */
typedef enum tesra_error {
    /** The operation did its job. A walk (first/next/find) that has nothing more to hand out
     *  also succeeds, with a NULL handle. */
    TESRA_SUCCESS = 0,
    /** Archive data breaks the format's limits: a record body over 2 MiB, a record period
     *  outside the period table, a record of an object the header lacks, an index entry that
     *  points outside its table, a counter slot outside its instance. */
    TESRA_CORRUPT_ARCHIVE = 1,
    /** No counter of that name or id in the object. */
    TESRA_COUNTER_NOT_FOUND = 2,
    /** Not raised. */
    TESRA_COUNTER_DATA_NOT_FOUND = 3,
    /** A counter id added again to an object with a different name, privilege, type, size,
     *  base id, description or key flag. */
    TESRA_COUNTER_MISMATCH = 4,
    /** A key value list whose value_type is none of TESRA_CNT_4BYTES, _8BYTES, _STRING. */
    TESRA_COUNTER_TYPE_NOT_FOUND = 5,
    /** Not raised. */
    TESRA_CLOSE_DIRECTORY_FAILED = 6,
    /** Closing the gzip data stream failed while a file handle was released; the handle is
     *  released all the same. */
    TESRA_CLOSE_FILE_FAILED = 7,
    /** The .meta or .gz file cannot be opened, or a file handle has no open data stream. */
    TESRA_FILE_NOT_FOUND = 8,
    /** An archive base name is not "<index>_<period s>_<start ms>_<duration ms>...". */
    TESRA_FILENAME_FORMAT_ERROR = 9,
    /** Not raised. */
    TESRA_INCONSISTENT_FILE_TYPES = 10,
    /** No instance holds the key values asked for. */
    TESRA_INSTANCE_NOT_FOUND = 11,
    /** A null handle or required pointer, or an argument out of its range (an access string,
     *  an order type, a counter definition without exactly one table period, ...). */
    TESRA_INVALID_ARGUMENTS = 12,
    /** Not raised. */
    TESRA_INVALID_COUNTER_DATA = 13,
    /** Not raised. */
    TESRA_INVALID_FILE_TYPE = 14,
    /** A query without counter names on an object that has no non-key counter. */
    TESRA_INVALID_QUERY = 15,
    /** A record body that is not a whole number of its period's instances, or of a period its
     *  object does not have. */
    TESRA_INVALID_RECORD = 16,
    /** Not raised. */
    TESRA_INVALID_SIZE = 17,
    /** A time that does not fit: a query ending before it starts, a record before the archive's
     *  first slot or too far after it, a start time set twice, an archive whose records do not
     *  span two distinct slot times. */
    TESRA_INVALID_TIMESTAMP = 18,
    /** A record or handle whose major version is not 6. */
    TESRA_INVALID_VERSION = 19,
    /** A required string or record is missing, or an allocation or string copy failed. */
    TESRA_NULL_POINTER = 20,
    /** No object of that name or id; an object-index row beyond the header's objects. */
    TESRA_OBJECT_NOT_FOUND = 21,
    /** The metadata document cannot be read as an archive description. */
    TESRA_PARSING_ERROR = 22,
    /** A period that is not in the period table, or at which the object is not sampled. */
    TESRA_PERIOD_NOT_FOUND = 23,
    /** A read of the metadata or data file failed or came back short. */
    TESRA_READ_FAILED = 24,
    /** The records of a query period at a sample time hold no instances. The timestamp walk
     *  turns it into success (a timestamp without instances). */
    TESRA_RECORD_EMPTY = 25,
    /** No record in the slot asked for, or none at all in a query's period. */
    TESRA_RECORD_NOT_FOUND = 26,
    /** Positioning in the metadata or data file failed. */
    TESRA_SEEK_FAILED = 27,
    /** Not raised. */
    TESRA_TIMESTAMP_OUT_OF_RANGE = 28,
    /** Removing an archive file failed. */
    TESRA_UNLINK_ERROR = 29,
    /** A record attached to a handle is not of the handle's major version or has a lower minor
     *  version. */
    TESRA_VERSION_MISMATCH = 30,
    /** A write to the metadata or data file failed or was short, or the archive cannot be
     *  completed (its header was never written, or a record was lost). */
    TESRA_WRITE_FAILED = 31,
    /** More than 100000 partial records in one slot. */
    TESRA_INVALID_NUM_PARTIAL_RECORDS = 32,
    /** The counter already has that period. */
    TESRA_PERIOD_EXISTS = 33,
    /** Not a result: the number of codes, and of entries in tesra_error_labels. */
    TESRA_ERROR_CODES_MAX_INDEX = 34
} tesra_error_t;

/* Number of entries of the period table; every per-period array has this many slots. */
#define TESRA_NUM_PERIODS 14
/* The once-per-archive period (ms): all records of such an object share one slot. */
#define TESRA_ONCE_PER_ARCHIVE_PERIOD UINT64_C(999999000)

/* Format version pair; every definition record and handle starts with these two fields. */
typedef struct tesra_version {
    uint32_t major_v;
    uint32_t minor_v;
} tesra_version_t;

/* How a counter value list holds its values: 32-bit, 64-bit numbers or NUL-terminated text. */
typedef enum tesra_cnt_data_type {
    TESRA_CNT_4BYTES = 0,
    TESRA_CNT_8BYTES = 1,
    TESRA_CNT_STRING = 2
} tesra_cnt_data_type_t;

/* One value of a list; value_type of the list says which member is set. */
typedef union tesra_cnt_value {
    uint32_t val_4B;
    uint64_t val_8B;
    const char *val_str;
} tesra_cnt_value_t;

/* Order of a record walk: by sample time (linear) or as the records lie in the data stream
 * (raw). */
typedef enum tesra_order_type {
    TESRA_LINEAR_ORDER = 0,
    TESRA_RAW_ORDER = 1,
    TESRA_MAX_ORDER_TYPES = 2
} tesra_order_type_t;

typedef uint8_t tesra_file_type_t;
typedef uint32_t tesra_cnt_size_t;
typedef uint32_t tesra_cnt_type_t;
typedef uint32_t tesra_cnt_unit_t;

/* One counter's value list: one value for a scalar counter, several for an array counter. */
typedef struct tesra_counter_data_v5_0 {
    tesra_cnt_data_type_t value_type;
    tesra_cnt_value_t *values;
    uint32_t num_values;
} tesra_counter_data_t_v5_0;
typedef tesra_counter_data_t_v5_0 tesra_counter_data_t_v6_0;

/* The key counters that identify an instance. */
typedef struct tesra_instance_data_v5_0 {
    const char **key_cnt_names;
    tesra_counter_data_t_v6_0 *key_cnt_values;
    uint32_t num_key_cnts;
} tesra_instance_data_t_v5_0;
typedef tesra_instance_data_t_v5_0 tesra_instance_data_t_v6_0;

/* The node that produced an archive. Record times are relative to base_time (ms). */
typedef struct tesra_system_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    uint64_t base_time;
    const char *nelvo_version;
    const char *node_uuid;
    const char *hostname;
    const char *model;
    const char *serial_number;
    const char *system_id;
    const char *cluster_name;
    const char *cluster_id;
    const char *process_name;
    const char *store_name;
} tesra_system_def_t_v6_0;

typedef struct tesra_header_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    uint32_t generation_id;
    const char *preset_version;
} tesra_header_def_t_v6_0;

typedef struct tesra_attribute_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    const char *name;
    uint32_t value;
    const char *desc;
} tesra_attribute_def_t_v6_0;

typedef struct tesra_object_def_v5_0 {
    uint32_t major_v;
    uint32_t minor_v;
    const char *name;
    uint32_t obj_id;
    const char *priv;
} tesra_object_def_t_v5_0;
typedef tesra_object_def_t_v5_0 tesra_object_def_t_v6_0;

typedef struct tesra_counter_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    const char *name;
    const char *priv;
    uint32_t ctype;
    uint32_t size;
    bool is_key;
    uint64_t periods[TESRA_NUM_PERIODS];
    uint8_t num_periods;
    uint32_t cnt_id;
    const char *desc;
    uint32_t base_id;
    const char **x_names;
    uint32_t num_x_items;
    const char **y_names;
    uint32_t num_y_items;
} tesra_counter_def_t_v6_0;

typedef struct tesra_aggregation_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    const char *aggr_type;
    const char *aggr_name;
    const char *inst_list_req_filter;
    uint32_t gi_max_records;
    const char *inst_name;
    const char *inst_uuid;
} tesra_aggregation_def_t_v6_0;

/* What a query reads: one object, optional key values, counters, an absolute time range and
 * a period. */
typedef struct tesra_query_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    const char *object_name;
    uint32_t num_key_cnts;
    const char **key_cnt_names;
    tesra_counter_data_t_v6_0 *key_cnt_values;
    uint32_t num_cnts;
    const char **cnt_names;
    uint64_t start_time;
    uint64_t end_time;
    uint64_t period;
} tesra_query_def_t_v6_0;

typedef struct tesra_file_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    char *file_path;
    char *meta_path;
    char *data_path;
    uint32_t file_index;
    uint64_t start_time;
    uint64_t end_time;
    tesra_file_type_t file_type;
} tesra_file_def_t_v6_0;

typedef struct tesra_store_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    char *cluster_id;
    char *cluster_name;
    char *node_name;
    char *process_name;
    char *store_name;
    uint32_t generation_id;
} tesra_store_def_t_v6_0;

typedef struct tesra_directory_def_v5_0 {
    uint32_t major_v;
    uint32_t minor_v;
    char *directory_path;
    uint64_t start_time;
    uint64_t end_time;
    uint64_t period;
} tesra_directory_def_t_v5_0;
typedef tesra_directory_def_t_v5_0 tesra_directory_def_t_v6_0;

typedef struct tesra_collection_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    char *collection_path;
    uint64_t start_time;
    uint64_t end_time;
} tesra_collection_def_t_v6_0;

typedef struct tesra_corefile_def_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    char *file_path;
} tesra_corefile_def_t_v6_0;

/* Header of one record; the last four fields are stored (24 bytes, little-endian). */
typedef struct tesra_record_header_data_v6_0 {
    uint32_t major_v;
    uint32_t minor_v;
    uint64_t msecs_since_base;
    uint32_t size;
    uint32_t obj_id;
    uint64_t period;
} tesra_record_header_data_t_v6_0;

/* Current-version names used by clients. */
typedef tesra_file_def_t_v6_0 tesra_file_def_t;
typedef tesra_store_def_t_v6_0 tesra_store_def_t;
typedef tesra_counter_data_t_v6_0 tesra_counter_data_t;
typedef tesra_instance_data_t_v6_0 tesra_instance_data_t;
typedef tesra_counter_def_t_v6_0 tesra_counter_def_t;
typedef tesra_object_def_t_v6_0 tesra_object_def_t;
typedef tesra_query_def_t_v6_0 tesra_query_def_t;

/** Printable name of each result code, indexed by the code (below TESRA_ERROR_CODES_MAX_INDEX). */
TESRA_API extern const char *const tesra_error_labels[TESRA_ERROR_CODES_MAX_INDEX];

/** The 14 sampling periods (ms), ascending; a period's index is its position here. */
TESRA_API extern const uint64_t _tesra_period_map[TESRA_NUM_PERIODS];

#ifdef __cplusplus
}
#endif

#endif /* TESRA_COMMON_DEFS_H */
