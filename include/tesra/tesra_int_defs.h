/* Handle layouts of the tesra archive libraries, shared by the utility, writer and reader
 * libraries, and the exported version-6 bodies that take these internal types.
 * Compiles as C11 and as C++; the layouts are fixed, callers of the client API never need them. */
#ifndef TESRA_INT_DEFS_H
#define TESRA_INT_DEFS_H

#include <stdio.h>

#include "tesra_common_defs.h"
#include "tesra_ext_defs.h"

/* The 7z reader state of a core-file record. */
#include "7z.h"
#include "7zFile.h"

#ifdef __cplusplus
extern "C" {
#endif

/* zlib's gzFile is `struct gzFile_s *`; declared here so this header does not need zlib.h. */
struct gzFile_s;
/* libxml2's element node, for the metadata parse bodies. */
struct _xmlNode;

/* Offset into the decompressed data stream, or into the metadata file's index section. */
typedef uint64_t tesra_offset_t;

/* Slot value of a record-offset table without a record. */
#define TESRA_NO_RECORD_OFFSET UINT64_C(0x7FFFFFFFFFFFFFFF)
/* The relative start time of an archive that holds no record yet. */
#define TESRA_UNSET_START_TIME UINT64_C(0xFFFFFFFFFFFFFFFF)

typedef enum tesra_section {
    TESRA_OBJECT_INDEX = 0,
    TESRA_NEXT_HEADER = 1,
    TOTAL_NUM_SECTIONS = 2
} tesra_section_t;

/* The three chains in which an object's counters are linked. */
typedef enum tesra_cnt_group {
    TESRA_CNT_ID = 0,
    TESRA_CNT_KEY = 1,
    TESRA_CNT_PERIOD = 2
} tesra_cnt_group_t;

typedef struct tesra_section_def_v6_0 {
    tesra_section_t section_type;
    uint32_t section_version;
    tesra_offset_t section_offset;
    tesra_offset_t header_offset;
} tesra_section_def_t_v6_0;

/* The data-stream offsets of the partial records of one slot, in writing order. */
typedef struct tesra_iterative_record_offsets {
    uint32_t num_offsets;
    tesra_offset_t *offsets;
    uint32_t offsets_size;
} tesra_iterative_record_offsets_t;

/* One period at which one object is sampled, with its record-offset table. */
typedef struct tesra_period {
    tesra_object_handle_t *object;
    uint64_t period;
    uint32_t period_index;
    struct tesra_period *next_period;
    tesra_counter_handle_t *cnt_list;
    uint32_t num_cnts;
    uint64_t cnts_size;
    tesra_offset_t *record_offsets;
    tesra_iterative_record_offsets_t *iterative_record_offsets;
    tesra_counter_handle_t *current_cnt;
    uint32_t num_offsets;
} tesra_period_t;

/* ---- file --------------------------------------------------------------------------------- */

typedef struct tesra_file_int_v6_0 {
    FILE *metadata_file;
    char *metadata_file_path;
    struct gzFile_s *data_file;
    char *data_file_path;
    uint32_t access_flag;
    tesra_header_handle_t *header;
    uint64_t start_time;
    uint64_t end_time;
    uint64_t metadata_written_count;
    uint64_t data_written_count;
    tesra_offset_t iterator_offset;
    tesra_offset_t current_offset;
    uint64_t duration;
    tesra_query_handle_t *query;
    tesra_record_handle_t *current_record;
    tesra_order_type_t order_type;
    tesra_period_t *current_period;
    uint64_t current_timestamp;
    uint64_t data_start_time;
    uint64_t max_period;
} tesra_file_int_t_v6_0;

struct tesra_file_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_file_def_t_v6_0 e6_0;
    };
    union {
        tesra_file_int_t_v6_0 i6_0;
    };
};

/* ---- header ------------------------------------------------------------------------------- */

typedef struct tesra_header_system {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_system_def_t_v6_0 e6_0;
    };
} tesra_header_system_t;

typedef struct tesra_header_int_v6_0 {
    tesra_file_handle_t *data_file;
    tesra_header_system_t system;
    tesra_attribute_def_t_v6_0 **attr_defs;
    uint32_t attr_array_size;
    uint32_t num_attr_defs;
    uint32_t num_objects_sampled;
    tesra_object_handle_t **objects;
    uint32_t objects_array_size;
    tesra_offset_t header_offset;
    tesra_section_def_t_v6_0 *section_defs;
    tesra_offset_t *object_index;
    tesra_object_handle_t *object_list;
    tesra_object_handle_t *current_object;
    tesra_offset_t duration_header_offset;
    tesra_offset_t start_time_header_offset;
    tesra_offset_t end_time_header_offset;
    uint64_t pc;
    void *pid;
} tesra_header_int_t_v6_0;

struct tesra_header_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_header_def_t_v6_0 e6_0;
    };
    union {
        tesra_header_int_t_v6_0 i6_0;
    };
};

/* ---- object, counter, aggregation --------------------------------------------------------- */

typedef struct tesra_object_int_v6_0 {
    tesra_header_handle_t *header;
    uint32_t iterator_index;
    tesra_aggregation_handle_t *aggregation_list;
    tesra_counter_handle_t *key_cnt_list;
    uint32_t num_key_cnts_sampled;
    tesra_period_t *period_list;
    uint32_t num_periods;
    tesra_counter_handle_t *cnt_list;
    uint32_t num_cnts_sampled;
    tesra_counter_handle_t *current_cnt;
    tesra_object_handle_t *next_object;
} tesra_object_int_t_v6_0;

struct tesra_object_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_object_def_t_v6_0 e6_0;
    };
    union {
        tesra_object_int_t_v6_0 i6_0;
    };
};

typedef struct tesra_counter_int_v6_0 {
    tesra_object_handle_t *object;
    tesra_period_t *periods[TESRA_NUM_PERIODS];
    tesra_offset_t record_offsets[TESRA_NUM_PERIODS];
    tesra_counter_handle_t *next_cnt_by_id;
    tesra_counter_handle_t *next_cnt_by_key;
    tesra_counter_handle_t *next_cnt_by_period[TESRA_NUM_PERIODS];
} tesra_counter_int_t_v6_0;

struct tesra_counter_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_counter_def_t_v6_0 e6_0;
    };
    union {
        tesra_counter_int_t_v6_0 i6_0;
    };
};

typedef struct tesra_aggregation_int_v6_0 {
    tesra_object_handle_t *object;
    tesra_aggregation_handle_t *next_agg_in_list;
} tesra_aggregation_int_t_v6_0;

struct tesra_aggregation_handle {
    uint32_t major_v;
    uint32_t minor_v;
    tesra_aggregation_def_t_v6_0 e6_0;
    tesra_aggregation_int_t_v6_0 i6_0;
};

/* ---- record, timestamp, instance, counter data, query ------------------------------------- */

typedef struct tesra_record_int_v5_0 {
    char *data_buffer;
    uint32_t num_instances;
    uint64_t instance_offset;
    tesra_instance_handle_t *current_instance;
    tesra_offset_t offset;
    tesra_object_handle_t *object;
    tesra_period_t *period;
    tesra_counter_handle_t **counters;
    uint32_t num_cnts;
} tesra_record_int_t_v5_0;
typedef tesra_record_int_t_v5_0 tesra_record_int_t_v6_0;

struct tesra_record_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_record_header_data_t_v6_0 e6_0;
    };
    union {
        tesra_record_int_t_v6_0 i6_0;
    };
};

typedef struct tesra_timestamp_int_v5_0 {
    tesra_query_handle_t *query;
    uint64_t timestamp;
    uint32_t num_instances;
    uint64_t size;
    char *instances_buffer;
    uint64_t next_instance;
    tesra_instance_handle_t *current_instance;
} tesra_timestamp_int_t_v5_0;
typedef tesra_timestamp_int_t_v5_0 tesra_timestamp_int_t_v6_0;

struct tesra_timestamp_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_timestamp_int_t_v6_0 i6_0;
    };
};

typedef struct tesra_instance_int_v5_0 {
    tesra_timestamp_handle_t *timestamp;
    tesra_record_handle_t *record;
    char *instance_buffer;
    uint64_t size;
    uint32_t next_counter_index;
    tesra_counter_data_handle_t *current_counter_data;
} tesra_instance_int_t_v5_0;
typedef tesra_instance_int_t_v5_0 tesra_instance_int_t_v6_0;

struct tesra_instance_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_instance_data_t_v6_0 e6_0;
    };
    union {
        tesra_instance_int_t_v6_0 i6_0;
    };
};

typedef struct tesra_counter_data_int_v5_0 {
    tesra_instance_handle_t *instance;
    tesra_counter_handle_t *counter;
} tesra_counter_data_int_t_v5_0;
typedef tesra_counter_data_int_t_v5_0 tesra_counter_data_int_t_v6_0;

struct tesra_counter_data_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_counter_data_t_v6_0 e6_0;
    };
    union {
        tesra_counter_data_int_t_v6_0 i6_0;
    };
};

typedef struct tesra_query_int_v6_0 {
    tesra_file_handle_t *data_file;
    tesra_object_handle_t *object;
    uint64_t *timestamps;
    uint32_t num_timestamps;
    tesra_counter_handle_t **counters;
    tesra_counter_handle_t **key_counters;
    tesra_period_t **periods;
    uint32_t num_periods;
    uint32_t next_timestamp;
    tesra_timestamp_handle_t *current_timestamp;
} tesra_query_int_t_v6_0;

struct tesra_query_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_query_def_t_v6_0 e6_0;
    };
    union {
        tesra_query_int_t_v6_0 i6_0;
    };
};

/* ---- records of the companion libraries (released here, built elsewhere) ------------------ */

typedef struct tesra_directory_int_v6_0 {
    uint32_t num_files;
    tesra_file_def_t_v6_0 *file_infos;
    uint32_t array_size;
    uint32_t file_index;
    tesra_file_type_t file_type;
    bool check_partial;
} tesra_directory_int_t_v6_0;

struct tesra_directory_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_directory_def_t_v6_0 e6_0;
    };
    union {
        tesra_directory_int_t_v6_0 i6_0;
    };
};

typedef struct tesra_store_int_v6_0 {
    tesra_store_def_t_v6_0 store_info;
    tesra_file_def_t_v6_0 *files;
    uint32_t files_size;
    uint32_t num_files;
    uint32_t current_file_index;
    tesra_file_handle_t *current_file;
    tesra_file_type_t file_type;
} tesra_store_int_t_v6_0;

typedef struct tesra_collection_int_v6_0 {
    char *cluster_id;
    char *cluster_name;
    tesra_store_int_t_v6_0 *all_stores;
    uint32_t all_stores_size;
    uint32_t num_total_stores;
    uint32_t current_store_index;
    tesra_order_type_t order_type;
    uint32_t current_drovik_index;
    uint64_t min_start_time;
    uint64_t max_end_time;
} tesra_collection_int_t_v6_0;

struct tesra_collection_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_collection_def_t_v6_0 e6_0;
    };
    union {
        tesra_collection_int_t_v6_0 i6_0;
    };
};

typedef struct tesra_corefile_int_v6_0 {
    char **file_names;
    uint32_t num_files;
    uint32_t file_index;
    tesra_file_handle_t *current_file;
    char **dir_names;
    uint32_t num_dirs;
    uint32_t dir_index;
    tesra_directory_handle_t *current_dir;
    char *temp_dir;
    CFileInStream archiveStream;
    CLookToRead lookStream;
    CSzArEx db;
    ISzAlloc allocImp;
    ISzAlloc allocTempImp;
} tesra_corefile_int_t_v6_0;

struct tesra_corefile_handle {
    uint32_t major_v;
    uint32_t minor_v;
    union {
        tesra_corefile_def_t_v6_0 e6_0;
    };
    union {
        tesra_corefile_int_t_v6_0 i6_0;
    };
};

/* ---- libtesrautil: operations on internal types ------------------------------------------- */

/** Inserts `counter` into one of its object's chains (by id, key or period), ascending cnt_id. */
TESRA_API tesra_error_t tesra_add_counter_to_list(tesra_counter_handle_t **counter_list,
                                                  tesra_counter_handle_t *counter,
                                                  tesra_cnt_group_t type,
                                                  uint64_t period);
/** Reads the object-index entry of row `obj_count` for `period`. */
TESRA_API tesra_error_t tesra_get_object_period_offset(tesra_header_handle_t *header,
                                                       uint32_t obj_count,
                                                       uint64_t period,
                                                       tesra_offset_t *offset);
/** Writes the object-index entry of row `obj_count` for `period`. */
TESRA_API tesra_error_t tesra_set_object_period_offset(tesra_header_handle_t *header,
                                                       uint32_t obj_count,
                                                       uint64_t period,
                                                       tesra_offset_t offset);
/** Frees the ten strings of the system record. */
TESRA_API void tesra_free_system(tesra_header_system_t system);
/** Frees a whole period list, starting at `period`. */
TESRA_API void tesra_free_period(tesra_period_t *period);

/* ---- libtesrawrite: bodies ---------------------------------------------------------------- */

TESRA_API tesra_error_t tesra_create_data_file_v6_0(const char *file_path,
                                                    uint32_t major_v,
                                                    uint32_t minor_v,
                                                    uint64_t duration,
                                                    tesra_file_handle_t **data_file,
                                                    const char **meta_path,
                                                    const char **data_path);
TESRA_API tesra_error_t tesra_create_header_v6_0(tesra_file_handle_t *data_file,
                                                 tesra_header_def_t_v6_0 *header_def,
                                                 tesra_system_def_t_v6_0 *system_def,
                                                 tesra_header_handle_t **header);
TESRA_API tesra_error_t tesra_add_attr_def_v6_0(tesra_header_handle_t *header,
                                                tesra_attribute_def_t_v6_0 *attr_def);
TESRA_API tesra_error_t tesra_add_object_v6_0(tesra_header_handle_t *header,
                                              tesra_object_def_t_v6_0 *object_def,
                                              tesra_object_handle_t **object);
TESRA_API tesra_error_t tesra_add_aggregation_v6_0(tesra_object_handle_t *object,
                                                   tesra_aggregation_def_t_v6_0 *aggr_def,
                                                   tesra_aggregation_handle_t **aggregation);
TESRA_API tesra_error_t tesra_add_counter_v6_0(tesra_object_handle_t *object,
                                               tesra_counter_def_t_v6_0 *counter_def,
                                               tesra_counter_handle_t **counter);
TESRA_API tesra_error_t tesra_set_start_time_v6_0(tesra_file_handle_t *data_file,
                                                  uint64_t start_time);
TESRA_API tesra_error_t tesra_write_record_v6_0(tesra_file_handle_t *data_file,
                                                tesra_record_header_data_t_v6_0 *record_info,
                                                const void *buffer);
/** Enters one record (aligned time, period, object id, data-stream offset) into the index. */
TESRA_API tesra_error_t tesra_update_object_index_v6_0(tesra_file_handle_t *data_file,
                                                       uint64_t r_period_timestamp,
                                                       uint64_t r_period,
                                                       uint32_t r_oid,
                                                       tesra_offset_t r_offset);
/** Slot count of a period's table between two relative times; always succeeds. */
TESRA_API tesra_error_t tesra_get_num_record_offsets_v6_0(uint64_t start_time,
                                                          uint64_t end_time,
                                                          uint64_t period,
                                                          uint32_t *num_offsets);
TESRA_API tesra_error_t tesra_write_object_index_v6_0(tesra_file_handle_t *data_file);
TESRA_API tesra_error_t tesra_write_period_offsets_v6_0(tesra_file_handle_t *data_file,
                                                        tesra_period_t *period,
                                                        uint32_t obj_count,
                                                        uint64_t *written_count,
                                                        bool write_flag);
TESRA_API tesra_error_t tesra_write_iterative_record_offsets_v6_0(tesra_file_handle_t *data_file,
                                                                  tesra_period_t *period,
                                                                  uint32_t offset_index,
                                                                  uint64_t *written_count,
                                                                  bool write_flag);
TESRA_API tesra_error_t tesra_ftell_v6_0(tesra_file_handle_t *data_file, uint64_t *count);
TESRA_API tesra_error_t tesra_get_oldest_record_time_v6_0(tesra_file_handle_t *data_file,
                                                          uint64_t *time);
TESRA_API tesra_error_t tesra_get_newest_record_time_v6_0(tesra_file_handle_t *data_file,
                                                          uint64_t *time);
TESRA_API tesra_error_t tesra_finalize_header_v6_0(tesra_file_handle_t *data_file);
TESRA_API tesra_error_t tesra_close_data_file_v6_0(tesra_file_handle_t *data_file);

/* ---- libtesraread: bodies ----------------------------------------------------------------- */

TESRA_API tesra_error_t tesra_parse_xml_header_v6_0(struct _xmlNode *root_node,
                                                    tesra_file_handle_t *data_file);
TESRA_API tesra_error_t tesra_parse_system_v6_0(struct _xmlNode *system_node,
                                                tesra_file_handle_t *data_file,
                                                tesra_header_def_t_v6_0 *header_def,
                                                tesra_header_handle_t **header);
TESRA_API tesra_error_t tesra_parse_attribute_def_v6_0(struct _xmlNode *attr_def_node,
                                                       tesra_header_handle_t *header);
TESRA_API tesra_error_t tesra_parse_section_def_v6_0(struct _xmlNode *section_def_node,
                                                     tesra_header_handle_t *header);
TESRA_API tesra_error_t tesra_parse_objects_v6_0(struct _xmlNode *preset_node,
                                                 tesra_header_handle_t *header);
TESRA_API tesra_error_t tesra_parse_object_v6_0(struct _xmlNode *object_node,
                                                tesra_header_handle_t *header);
TESRA_API tesra_error_t tesra_parse_counter_v6_0(struct _xmlNode *counter_node,
                                                 tesra_object_handle_t *object);
TESRA_API tesra_error_t tesra_parse_aggregation_v6_0(struct _xmlNode *aggr_node,
                                                     tesra_object_handle_t *object);

TESRA_API tesra_error_t tesra_parse_object_index_v6_0(tesra_file_handle_t *data_file);
TESRA_API tesra_error_t tesra_parse_record_offsets_v6_0(tesra_file_handle_t *data_file,
                                                        tesra_period_t *period,
                                                        uint32_t obj_count);
TESRA_API tesra_error_t tesra_parse_iterative_record_offsets_v6_0(tesra_file_handle_t *data_file,
                                                                  tesra_period_t *period,
                                                                  uint32_t index);
TESRA_API tesra_error_t tesra_recreate_object_index_v6_0(tesra_file_handle_t *data_file);
TESRA_API tesra_error_t tesra_update_num_record_offsets_v6_0(tesra_file_handle_t *data_file);
TESRA_API tesra_error_t tesra_set_counter_value_offsets_v6_0(tesra_header_handle_t *header);

TESRA_API tesra_error_t tesra_get_header_v6_0(tesra_file_handle_t *data_file,
                                              tesra_header_handle_t **header);
TESRA_API tesra_error_t tesra_get_file_info_v6_0(tesra_file_handle_t *data_file,
                                                 tesra_file_def_t_v6_0 *file_info);
TESRA_API tesra_error_t tesra_get_header_info_v6_0(tesra_header_handle_t *header,
                                                   tesra_header_def_t_v6_0 *header_info);
TESRA_API tesra_error_t tesra_get_system_info_v6_0(tesra_header_handle_t *header,
                                                   tesra_system_def_t_v6_0 *system_info);
TESRA_API tesra_error_t tesra_get_object_info_v6_0(tesra_object_handle_t *object,
                                                   tesra_object_def_t_v6_0 *object_info);
TESRA_API tesra_error_t tesra_get_counter_info_v6_0(tesra_counter_handle_t *counter,
                                                    tesra_counter_def_t_v6_0 *counter_info);
TESRA_API tesra_error_t tesra_get_counter_type_v6_0(tesra_counter_handle_t *counter,
                                                    tesra_cnt_size_t *size,
                                                    tesra_cnt_type_t *type,
                                                    tesra_cnt_unit_t *unit);
TESRA_API tesra_error_t tesra_get_object_periods_v6_0(tesra_object_handle_t *object,
                                                      uint64_t **periods,
                                                      uint32_t *num_periods);
TESRA_API tesra_error_t tesra_find_object_v6_0(tesra_header_handle_t *header,
                                               const char *object_name,
                                               tesra_object_handle_t **object,
                                               bool update_iter);
TESRA_API tesra_error_t tesra_first_object_v6_0(tesra_header_handle_t *header,
                                                tesra_object_handle_t **object,
                                                bool update_iter);
TESRA_API tesra_error_t tesra_next_object_v6_0(tesra_header_handle_t *header,
                                               tesra_object_handle_t **object,
                                               bool update_iter);
TESRA_API tesra_error_t tesra_find_counter_by_id_v6_0(tesra_object_handle_t *object,
                                                      uint32_t counter_id,
                                                      tesra_counter_handle_t **counter,
                                                      bool update_iter);
TESRA_API tesra_error_t tesra_find_counter_by_name_v6_0(tesra_object_handle_t *object,
                                                        const char *counter_name,
                                                        tesra_counter_handle_t **counter,
                                                        bool update_iter);
TESRA_API tesra_error_t tesra_first_counter_v6_0(tesra_object_handle_t *object,
                                                 tesra_counter_handle_t **counter,
                                                 bool update_iter);
TESRA_API tesra_error_t tesra_next_counter_v6_0(tesra_object_handle_t *object,
                                                tesra_counter_handle_t **counter,
                                                bool update_iter);
TESRA_API tesra_error_t tesra_first_counter_by_period_v6_0(tesra_object_handle_t *object,
                                                           uint64_t period,
                                                           tesra_counter_handle_t **counter,
                                                           bool update_iter);
TESRA_API tesra_error_t tesra_next_counter_by_period_v6_0(tesra_object_handle_t *object,
                                                          uint64_t period,
                                                          tesra_counter_handle_t **counter,
                                                          bool update_iter);
TESRA_API tesra_error_t tesra_get_counters_periods_v6_0(tesra_query_handle_t *query);

TESRA_API tesra_error_t tesra_first_record_v6_0(tesra_file_handle_t *data_file,
                                                tesra_order_type_t order_type,
                                                uint64_t start_time,
                                                tesra_record_handle_t **record);
TESRA_API tesra_error_t tesra_next_record_v6_0(tesra_file_handle_t *data_file,
                                               tesra_record_handle_t **record);
TESRA_API tesra_error_t tesra_get_record_info_v6_0(tesra_record_handle_t *record,
                                                   tesra_record_header_data_t_v6_0 *record_info);
TESRA_API tesra_error_t tesra_get_object_from_record_v6_0(tesra_record_handle_t *record,
                                                          tesra_object_handle_t **object);
TESRA_API tesra_error_t tesra_get_record_v6_0(tesra_file_handle_t *data_file,
                                              uint64_t timestamp,
                                              tesra_period_t *period,
                                              tesra_record_handle_t **record);
TESRA_API tesra_error_t tesra_add_record_data_v6_0(tesra_record_handle_t *record,
                                                   tesra_offset_t record_offset,
                                                   tesra_file_handle_t *data_file);
TESRA_API tesra_error_t tesra_find_next_record_after_time_v6_0(tesra_file_handle_t *data_file,
                                                               uint64_t time);
TESRA_API tesra_error_t tesra_get_next_period_v6_0(tesra_file_handle_t *data_file,
                                                   tesra_period_t **period);

TESRA_API tesra_error_t tesra_first_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                  tesra_instance_handle_t **instance,
                                                  bool update_iter);
TESRA_API tesra_error_t tesra_next_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                 tesra_instance_handle_t **instance,
                                                 bool update_iter);
TESRA_API tesra_error_t tesra_find_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                 const char **key_cnt_names,
                                                 tesra_counter_data_t_v6_0 *key_cnt_values,
                                                 uint32_t num_key_cnts,
                                                 tesra_instance_handle_t **instance,
                                                 bool update_iter);
TESRA_API tesra_error_t tesra_first_instance_from_record_v6_0(tesra_record_handle_t *record,
                                                              tesra_instance_handle_t **instance);
TESRA_API tesra_error_t tesra_next_instance_from_record_v6_0(tesra_record_handle_t *record,
                                                             tesra_instance_handle_t **instance);
TESRA_API tesra_error_t tesra_get_instance_data_v6_0(tesra_instance_handle_t *instance,
                                                     tesra_instance_data_t_v6_0 *instance_data);
TESRA_API tesra_error_t tesra_first_counter_data_v6_0(tesra_instance_handle_t *instance,
                                                      tesra_counter_handle_t **counter,
                                                      tesra_counter_data_handle_t **counter_data,
                                                      bool update_iter);
TESRA_API tesra_error_t tesra_next_counter_data_v6_0(tesra_instance_handle_t *instance,
                                                     tesra_counter_handle_t **counter,
                                                     tesra_counter_data_handle_t **counter_data,
                                                     bool update_iter);
TESRA_API tesra_error_t tesra_find_counter_data_v6_0(tesra_instance_handle_t *instance,
                                                     const char *counter_name,
                                                     tesra_counter_handle_t **counter,
                                                     tesra_counter_data_handle_t **counter_data,
                                                     bool update_iter);
TESRA_API tesra_error_t tesra_get_counter_data_value_v6_0(
    tesra_counter_data_handle_t *counter_data, tesra_counter_data_t_v6_0 *counter_data_value);
TESRA_API tesra_error_t tesra_get_instances_v6_0(tesra_timestamp_handle_t *timestamp);
TESRA_API tesra_error_t tesra_add_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                uint32_t instance_index,
                                                tesra_record_handle_t **records,
                                                uint32_t num_records);
TESRA_API tesra_error_t tesra_is_instance_equal_v6_0(tesra_counter_handle_t **key_cnts,
                                                     tesra_counter_data_t_v6_0 *key_cnts_vals,
                                                     uint32_t num_key_cnts,
                                                     tesra_period_t *period,
                                                     char *instance_buffer,
                                                     bool *is_equal);
TESRA_API tesra_error_t tesra_get_instance_key_counters_v6_0(tesra_instance_handle_t *instance);
TESRA_API uint32_t tesra_get_instance_size_v6_0(tesra_record_handle_t *record);
TESRA_API tesra_error_t tesra_get_counter_data_v6_0(tesra_counter_handle_t *counter,
                                                    char *counter_buffer,
                                                    tesra_counter_data_t_v6_0 *counter_data);
TESRA_API tesra_error_t tesra_get_counter_offset_v6_0(tesra_instance_handle_t *instance,
                                                      tesra_counter_handle_t *counter,
                                                      tesra_offset_t *counter_offset);

TESRA_API tesra_error_t tesra_query_v6_0(tesra_file_handle_t *data_file,
                                         tesra_query_def_t_v6_0 *query_def,
                                         tesra_query_handle_t **query);
TESRA_API tesra_error_t tesra_get_query_counters_v6_0(tesra_query_handle_t *query_h,
                                                      tesra_query_def_t_v6_0 *query_def);
TESRA_API tesra_error_t tesra_first_timestamp_v6_0(tesra_query_handle_t *query,
                                                   tesra_timestamp_handle_t **timestamp,
                                                   bool update_iter);
TESRA_API tesra_error_t tesra_next_timestamp_v6_0(tesra_query_handle_t *query,
                                                  tesra_timestamp_handle_t **timestamp,
                                                  bool update_iter);
TESRA_API tesra_error_t tesra_get_timestamp_v6_0(tesra_timestamp_handle_t *timestamp,
                                                 uint64_t *time);
TESRA_API tesra_error_t tesra_get_timestamps_v6_0(tesra_query_handle_t *query);
TESRA_API tesra_error_t tesra_is_timestamp_valid_v6_0(uint64_t ts_msb,
                                                      tesra_query_handle_t *query,
                                                      bool *is_valid);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_INT_DEFS_H */
