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

/** Links `counter` into the chain headed by `*counter_list` in ascending cnt_id, after any equal
 *  id: TESRA_CNT_ID (next_cnt_by_id), TESRA_CNT_KEY (next_cnt_by_key) or TESRA_CNT_PERIOD
 *  (next_cnt_by_period at `period`'s index; `period` is ignored otherwise). Links, does not own.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL, `type` above 2);
 *  TESRA_VERSION_MISMATCH (counter does not fit the head's version); TESRA_INVALID_VERSION;
 *  TESRA_PERIOD_NOT_FOUND (TESRA_CNT_PERIOD with a period outside the table; nothing linked). */
TESRA_API tesra_error_t tesra_add_counter_to_list(tesra_counter_handle_t **counter_list,
                                                  tesra_counter_handle_t *counter,
                                                  tesra_cnt_group_t type,
                                                  uint64_t period);
/** Reads the object-index entry of row `obj_count` (the object's position in the header's object
 *  list) for `period`.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (header NULL, or it has no object index);
 *  TESRA_OBJECT_NOT_FOUND (row beyond the header's objects); TESRA_PERIOD_NOT_FOUND (not a table
 *  period); `*offset` is written on success only. */
TESRA_API tesra_error_t tesra_get_object_period_offset(tesra_header_handle_t *header,
                                                       uint32_t obj_count,
                                                       uint64_t period,
                                                       tesra_offset_t *offset);
/** Writes the object-index entry of row `obj_count` for `period`.
 *  @return as tesra_get_object_period_offset; nothing is written on failure. */
TESRA_API tesra_error_t tesra_set_object_period_offset(tesra_header_handle_t *header,
                                                       uint32_t obj_count,
                                                       uint64_t period,
                                                       tesra_offset_t offset);
/** Frees the ten strings of the system record (by value: the caller's copy dangles). */
TESRA_API void tesra_free_system(tesra_header_system_t system);
/** Frees a whole period list, starting at `period`, with its slot tables; NULL is accepted. */
TESRA_API void tesra_free_period(tesra_period_t *period);

/* ---- libtesrawrite: bodies ---------------------------------------------------------------- */

/* A body tesra_<op>_v6_0 does what the public call tesra_<op> does once that call's checks have
 * passed: it checks neither its arguments nor versions (they must be valid and of major version
 * 6) and answers the public call's other codes. Bodies that walk or look up take `update_iter`:
 * true moves the parent's cursor as the public call does, false leaves the caller's walk where
 * it is (lookups made on a caller's behalf). A failed allocation is TESRA_NULL_POINTER. */

/** Body of tesra_create_data_file: `*data_file` is NULL after any failure; a version other than 6
 *  or a duration of 0 gives TESRA_INVALID_ARGUMENTS. */
TESRA_API tesra_error_t tesra_create_data_file_v6_0(const char *file_path,
                                                    uint32_t major_v,
                                                    uint32_t minor_v,
                                                    uint64_t duration,
                                                    tesra_file_handle_t **data_file,
                                                    const char **meta_path,
                                                    const char **data_path);
/** Body of tesra_create_header (no argument or version checks). */
TESRA_API tesra_error_t tesra_create_header_v6_0(tesra_file_handle_t *data_file,
                                                 tesra_header_def_t_v6_0 *header_def,
                                                 tesra_system_def_t_v6_0 *system_def,
                                                 tesra_header_handle_t **header);
/** Body of tesra_add_attr_def (no argument or version checks). */
TESRA_API tesra_error_t tesra_add_attr_def_v6_0(tesra_header_handle_t *header,
                                                tesra_attribute_def_t_v6_0 *attr_def);
/** Body of tesra_add_object (no argument or version checks). */
TESRA_API tesra_error_t tesra_add_object_v6_0(tesra_header_handle_t *header,
                                              tesra_object_def_t_v6_0 *object_def,
                                              tesra_object_handle_t **object);
/** Body of tesra_add_aggregation (no argument or version checks). */
TESRA_API tesra_error_t tesra_add_aggregation_v6_0(tesra_object_handle_t *object,
                                                   tesra_aggregation_def_t_v6_0 *aggr_def,
                                                   tesra_aggregation_handle_t **aggregation);
/** Body of tesra_add_counter (no argument or version checks). */
TESRA_API tesra_error_t tesra_add_counter_v6_0(tesra_object_handle_t *object,
                                               tesra_counter_def_t_v6_0 *counter_def,
                                               tesra_counter_handle_t **counter);
/** Body of tesra_set_start_time (no argument or version checks). */
TESRA_API tesra_error_t tesra_set_start_time_v6_0(tesra_file_handle_t *data_file,
                                                  uint64_t start_time);
/** Body of tesra_write_record; it does not check the 2 MiB body limit. */
TESRA_API tesra_error_t tesra_write_record_v6_0(tesra_file_handle_t *data_file,
                                                tesra_record_header_data_t_v6_0 *record_info,
                                                const void *buffer);
/** Enters one record into the in-memory index: slot time `r_period_timestamp` (relative, aligned to
 *  `r_period`), object id `r_oid`, data-stream offset `r_offset`. The first record fixes the start
 *  time; the end time and the longest period follow the records. A slot entered twice becomes a
 *  partial-record list. Also used by the reader to rebuild an index.
 *  @return TESRA_SUCCESS; TESRA_OBJECT_NOT_FOUND (no header, or no object with that id);
 *  TESRA_PERIOD_NOT_FOUND (the object has no such period); TESRA_INVALID_TIMESTAMP (before the
 *  start's slot, or too far after it); TESRA_INVALID_NUM_PARTIAL_RECORDS; TESRA_NULL_POINTER. */
TESRA_API tesra_error_t tesra_update_object_index_v6_0(tesra_file_handle_t *data_file,
                                                       uint64_t r_period_timestamp,
                                                       uint64_t r_period,
                                                       uint32_t r_oid,
                                                       tesra_offset_t r_offset);
/** Slot count of a period's table between two relative times: 1 for the once-per-archive period,
 *  else end / period - start / period + 1 (meaningful when end >= start). @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_get_num_record_offsets_v6_0(uint64_t start_time,
                                                          uint64_t end_time,
                                                          uint64_t period,
                                                          uint32_t *num_offsets);
/** Lays out and writes the object-index section at the end of the metadata file (close does this
 *  for a writing handle): the object index, then every record-offset table and partial-record list.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (allocation); TESRA_INVALID_TIMESTAMP (an object has
 *  periods while the records do not span two slot times); TESRA_SEEK_FAILED; TESRA_WRITE_FAILED;
 *  the codes of tesra_set_object_period_offset. */
TESRA_API tesra_error_t tesra_write_object_index_v6_0(tesra_file_handle_t *data_file);
/** Plans (`write_flag` false: resizes the table to the archive's span, enters its section position
 *  in object-index row `obj_count` and advances `*written_count`) or writes (true) the
 *  record-offset table of `period`.
 *  @return TESRA_SUCCESS; TESRA_INVALID_TIMESTAMP (end time not after start time, or a table over
 *  2^20 slots); TESRA_NULL_POINTER; TESRA_WRITE_FAILED; the codes of
 *  tesra_set_object_period_offset. */
TESRA_API tesra_error_t tesra_write_period_offsets_v6_0(tesra_file_handle_t *data_file,
                                                        tesra_period_t *period,
                                                        uint32_t obj_count,
                                                        uint64_t *written_count,
                                                        bool write_flag);
/** Plans (`write_flag` false: enters the list's section position in the slot entry and advances
 *  `*written_count`) or writes (true) the partial-record list of slot `offset_index`; does nothing
 *  for a slot without one. @return TESRA_SUCCESS; TESRA_WRITE_FAILED. */
TESRA_API tesra_error_t tesra_write_iterative_record_offsets_v6_0(tesra_file_handle_t *data_file,
                                                                  tesra_period_t *period,
                                                                  uint32_t offset_index,
                                                                  uint64_t *written_count,
                                                                  bool write_flag);
/** Body of tesra_ftell (no argument or version checks). */
TESRA_API tesra_error_t tesra_ftell_v6_0(tesra_file_handle_t *data_file, uint64_t *count);
/** Body of tesra_get_oldest_record_time (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_oldest_record_time_v6_0(tesra_file_handle_t *data_file,
                                                          uint64_t *time);
/** Body of tesra_get_newest_record_time (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_newest_record_time_v6_0(tesra_file_handle_t *data_file,
                                                          uint64_t *time);
/** Body of tesra_finalize_header (no argument or version checks). */
TESRA_API tesra_error_t tesra_finalize_header_v6_0(tesra_file_handle_t *data_file);
/** Body of tesra_close_data_file (no argument or version checks). */
TESRA_API tesra_error_t tesra_close_data_file_v6_0(tesra_file_handle_t *data_file);

/* ---- libtesraread: bodies ----------------------------------------------------------------- */

/* Bodies and the reader's internal steps, exported so that the libraries and their tests can
 * call them; the conventions of the writer's bodies hold here too. */

/** Rebuilds the header of `data_file` from the metadata document's root element through the
 *  writer's header-building calls, and sets the archive's times. A partly built header stays with
 *  the file handle and goes with it.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (an argument NULL, required text missing, allocation);
 *  TESRA_PARSING_ERROR; TESRA_INVALID_TIMESTAMP (end time not after start time);
 *  TESRA_PERIOD_NOT_FOUND; TESRA_CORRUPT_ARCHIVE; and the codes of tesra_create_header and the add
 *  calls. */
TESRA_API tesra_error_t tesra_parse_xml_header_v6_0(struct _xmlNode *root_node,
                                                    tesra_file_handle_t *data_file);
/** Reads the system element and creates the header with tesra_create_header(data_file, header_def,
 *  ...), which links it into `data_file` and stores it in `*header`.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (an argument NULL); TESRA_PARSING_ERROR (unknown
 *  child, bad base_time); the codes of tesra_create_header. */
TESRA_API tesra_error_t tesra_parse_system_v6_0(struct _xmlNode *system_node,
                                                tesra_file_handle_t *data_file,
                                                tesra_header_def_t_v6_0 *header_def,
                                                tesra_header_handle_t **header);
/** Adds the attribute definition of one attribute_def element.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_PARSING_ERROR (unknown child); the codes of
 *  tesra_add_attr_def. */
TESRA_API tesra_error_t tesra_parse_attribute_def_v6_0(struct _xmlNode *attr_def_node,
                                                       tesra_header_handle_t *header);
/** Fills the section entry that a section_def element names (its offset made absolute with the
 *  header's header_offset).
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (an argument NULL, no section table);
 *  TESRA_PARSING_ERROR (section_type missing or out of range, unknown child, bad offset). */
TESRA_API tesra_error_t tesra_parse_section_def_v6_0(struct _xmlNode *section_def_node,
                                                     tesra_header_handle_t *header);
/** Adds every object of a preset element with its counters and aggregations.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_PARSING_ERROR (a child that is not an object);
 *  the codes of tesra_parse_object_v6_0. */
TESRA_API tesra_error_t tesra_parse_objects_v6_0(struct _xmlNode *preset_node,
                                                 tesra_header_handle_t *header);
/** Adds the object of one object element, then its counters and aggregations in document order.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_PARSING_ERROR; the codes of tesra_add_object
 *  and of the counter and aggregation parsers. */
TESRA_API tesra_error_t tesra_parse_object_v6_0(struct _xmlNode *object_node,
                                                tesra_header_handle_t *header);
/** Adds the counter of one counter element once per listed period, ascending; one without a period
 *  is not added.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_PARSING_ERROR; TESRA_PERIOD_NOT_FOUND (a period
 *  outside the table); TESRA_CORRUPT_ARCHIVE; the codes of tesra_add_counter. */
TESRA_API tesra_error_t tesra_parse_counter_v6_0(struct _xmlNode *counter_node,
                                                 tesra_object_handle_t *object);
/** Adds the aggregation of one aggregation element (get_instances_max_records defaults to 500).
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_PARSING_ERROR; the codes of
 *  tesra_add_aggregation. */
TESRA_API tesra_error_t tesra_parse_aggregation_v6_0(struct _xmlNode *aggr_node,
                                                     tesra_object_handle_t *object);

/** Loads the object index and every record-offset table and partial-record list from the metadata
 *  file's index section.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_SEEK_FAILED; TESRA_READ_FAILED;
 *  TESRA_CORRUPT_ARCHIVE; TESRA_INVALID_NUM_PARTIAL_RECORDS; TESRA_OBJECT_NOT_FOUND;
 *  TESRA_PERIOD_NOT_FOUND. */
TESRA_API tesra_error_t tesra_parse_object_index_v6_0(tesra_file_handle_t *data_file);
/** Loads the record-offset table of `period` for object row `obj_count`, and the partial-record
 *  lists it names. @return as tesra_parse_object_index_v6_0. */
TESRA_API tesra_error_t tesra_parse_record_offsets_v6_0(tesra_file_handle_t *data_file,
                                                        tesra_period_t *period,
                                                        uint32_t obj_count);
/** Loads the partial-record list of slot `index` of `period`.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_INVALID_ARGUMENTS (slot beyond the table);
 *  TESRA_SEEK_FAILED; TESRA_READ_FAILED; TESRA_INVALID_NUM_PARTIAL_RECORDS (over 100000). */
TESRA_API tesra_error_t tesra_parse_iterative_record_offsets_v6_0(tesra_file_handle_t *data_file,
                                                                  tesra_period_t *period,
                                                                  uint32_t index);
/** Rebuilds the record-offset tables and the archive's start, end and duration from the record
 *  headers of the data stream, for an archive without an index. A record cut short ends the scan; a
 *  record of a period outside the table is skipped.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_SEEK_FAILED; TESRA_READ_FAILED;
 *  TESRA_CORRUPT_ARCHIVE; and the codes of tesra_update_object_index_v6_0. */
TESRA_API tesra_error_t tesra_recreate_object_index_v6_0(tesra_file_handle_t *data_file);
/** Trims each period's slot count to the archive's span; never raises it.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (no file or header). */
TESRA_API tesra_error_t tesra_update_num_record_offsets_v6_0(tesra_file_handle_t *data_file);
/** Lays out the instances: each counter's byte offset per period and each period's instance size
 *  (key counters first place in every period, then ascending cnt_id).
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (header NULL); TESRA_CORRUPT_ARCHIVE (an instance
 *  over 4 GiB). */
TESRA_API tesra_error_t tesra_set_counter_value_offsets_v6_0(tesra_header_handle_t *header);

/** Body of tesra_get_header (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_header_v6_0(tesra_file_handle_t *data_file,
                                              tesra_header_handle_t **header);
/** Body of tesra_get_file_info (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_file_info_v6_0(tesra_file_handle_t *data_file,
                                                 tesra_file_def_t_v6_0 *file_info);
/** Body of tesra_get_header_info (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_header_info_v6_0(tesra_header_handle_t *header,
                                                   tesra_header_def_t_v6_0 *header_info);
/** Body of tesra_get_system_info (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_system_info_v6_0(tesra_header_handle_t *header,
                                                   tesra_system_def_t_v6_0 *system_info);
/** Body of tesra_get_object_info (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_object_info_v6_0(tesra_object_handle_t *object,
                                                   tesra_object_def_t_v6_0 *object_info);
/** Body of tesra_get_counter_info (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_counter_info_v6_0(tesra_counter_handle_t *counter,
                                                    tesra_counter_def_t_v6_0 *counter_info);
/** Body of tesra_get_counter_type (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_counter_type_v6_0(tesra_counter_handle_t *counter,
                                                    tesra_cnt_size_t *size,
                                                    tesra_cnt_type_t *type,
                                                    tesra_cnt_unit_t *unit);
/** Body of tesra_get_object_periods (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_object_periods_v6_0(tesra_object_handle_t *object,
                                                      uint64_t **periods,
                                                      uint32_t *num_periods);
/** Body of tesra_find_object (no argument or version checks). */
TESRA_API tesra_error_t tesra_find_object_v6_0(tesra_header_handle_t *header,
                                               const char *object_name,
                                               tesra_object_handle_t **object,
                                               bool update_iter);
/** Body of tesra_first_object (no argument or version checks). */
TESRA_API tesra_error_t tesra_first_object_v6_0(tesra_header_handle_t *header,
                                                tesra_object_handle_t **object,
                                                bool update_iter);
/** Body of tesra_next_object (no argument or version checks). */
TESRA_API tesra_error_t tesra_next_object_v6_0(tesra_header_handle_t *header,
                                               tesra_object_handle_t **object,
                                               bool update_iter);
/** Body of tesra_find_counter_by_id (no argument or version checks). */
TESRA_API tesra_error_t tesra_find_counter_by_id_v6_0(tesra_object_handle_t *object,
                                                      uint32_t counter_id,
                                                      tesra_counter_handle_t **counter,
                                                      bool update_iter);
/** Body of tesra_find_counter_by_name (no argument or version checks). */
TESRA_API tesra_error_t tesra_find_counter_by_name_v6_0(tesra_object_handle_t *object,
                                                        const char *counter_name,
                                                        tesra_counter_handle_t **counter,
                                                        bool update_iter);
/** Body of tesra_first_counter (no argument or version checks). */
TESRA_API tesra_error_t tesra_first_counter_v6_0(tesra_object_handle_t *object,
                                                 tesra_counter_handle_t **counter,
                                                 bool update_iter);
/** Body of tesra_next_counter (no argument or version checks). */
TESRA_API tesra_error_t tesra_next_counter_v6_0(tesra_object_handle_t *object,
                                                tesra_counter_handle_t **counter,
                                                bool update_iter);
/** Body of tesra_first_counter_by_period (no argument or version checks). */
TESRA_API tesra_error_t tesra_first_counter_by_period_v6_0(tesra_object_handle_t *object,
                                                           uint64_t period,
                                                           tesra_counter_handle_t **counter,
                                                           bool update_iter);
/** Body of tesra_next_counter_by_period (no argument or version checks). */
TESRA_API tesra_error_t tesra_next_counter_by_period_v6_0(tesra_object_handle_t *object,
                                                          uint64_t period,
                                                          tesra_counter_handle_t **counter,
                                                          bool update_iter);
/** Chooses the periods a query reads, from its resolved counters: each counter's smallest period,
 *  each once (for a once-per-archive query, that period of the first counter sampled at it).
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (query NULL, allocation); TESRA_PERIOD_NOT_FOUND (no
 *  counter gives a period). */
TESRA_API tesra_error_t tesra_get_counters_periods_v6_0(tesra_query_handle_t *query);

/** Body of tesra_first_record (no argument or version checks). */
TESRA_API tesra_error_t tesra_first_record_v6_0(tesra_file_handle_t *data_file,
                                                tesra_order_type_t order_type,
                                                uint64_t start_time,
                                                tesra_record_handle_t **record);
/** Body of tesra_next_record (no argument or version checks). */
TESRA_API tesra_error_t tesra_next_record_v6_0(tesra_file_handle_t *data_file,
                                               tesra_record_handle_t **record);
/** Body of tesra_get_record_info (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_record_info_v6_0(tesra_record_handle_t *record,
                                                   tesra_record_header_data_t_v6_0 *record_info);
/** Body of tesra_get_object_from_record (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_object_from_record_v6_0(tesra_record_handle_t *record,
                                                          tesra_object_handle_t **object);
/** Reads the record of `period` at relative time `timestamp`, partial records joined. `*record` is
 *  a new handle that the caller owns (release with tesra_free_record).
 *  @return TESRA_SUCCESS; TESRA_RECORD_NOT_FOUND (no record in that slot; `*record` NULL);
 *  TESRA_NULL_POINTER; TESRA_SEEK_FAILED; TESRA_READ_FAILED; TESRA_CORRUPT_ARCHIVE;
 *  TESRA_INVALID_RECORD. */
TESRA_API tesra_error_t tesra_get_record_v6_0(tesra_file_handle_t *data_file,
                                              uint64_t timestamp,
                                              tesra_period_t *period,
                                              tesra_record_handle_t **record);
/** Reads the stored record at data-stream offset `record_offset` into `record`: the first one fills
 *  it, a further one (a partial record of the same object and period) is appended.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_SEEK_FAILED; TESRA_READ_FAILED (header or body
 *  cut short); TESRA_CORRUPT_ARCHIVE; TESRA_INVALID_RECORD. */
TESRA_API tesra_error_t tesra_add_record_data_v6_0(tesra_record_handle_t *record,
                                                   tesra_offset_t record_offset,
                                                   tesra_file_handle_t *data_file);
/** Moves the raw walk's stream position past the records that lie before absolute `time`; the end
 *  of the stream ends the skip. @return TESRA_SUCCESS; TESRA_SEEK_FAILED. */
TESRA_API tesra_error_t tesra_find_next_record_after_time_v6_0(tesra_file_handle_t *data_file,
                                                               uint64_t time);
/** Replaces `*period` by the linear walk's next period: the next one of its object, else the first
 *  of the next object; for NULL the first period of the first object; NULL at the end.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (data_file NULL). */
TESRA_API tesra_error_t tesra_get_next_period_v6_0(tesra_file_handle_t *data_file,
                                                   tesra_period_t **period);

/** Body of tesra_first_instance (no argument or version checks). */
TESRA_API tesra_error_t tesra_first_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                  tesra_instance_handle_t **instance,
                                                  bool update_iter);
/** Body of tesra_next_instance (no argument or version checks). */
TESRA_API tesra_error_t tesra_next_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                 tesra_instance_handle_t **instance,
                                                 bool update_iter);
/** Body of tesra_find_instance (no argument or version checks). */
TESRA_API tesra_error_t tesra_find_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                 const char **key_cnt_names,
                                                 tesra_counter_data_t_v6_0 *key_cnt_values,
                                                 uint32_t num_key_cnts,
                                                 tesra_instance_handle_t **instance,
                                                 bool update_iter);
/** Body of tesra_first_instance_from_record (no argument or version checks). */
TESRA_API tesra_error_t tesra_first_instance_from_record_v6_0(tesra_record_handle_t *record,
                                                              tesra_instance_handle_t **instance);
/** Body of tesra_next_instance_from_record (no argument or version checks). */
TESRA_API tesra_error_t tesra_next_instance_from_record_v6_0(tesra_record_handle_t *record,
                                                             tesra_instance_handle_t **instance);
/** Body of tesra_get_instance_data (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_instance_data_v6_0(tesra_instance_handle_t *instance,
                                                     tesra_instance_data_t_v6_0 *instance_data);
/** Body of tesra_first_counter_data (no argument or version checks). */
TESRA_API tesra_error_t tesra_first_counter_data_v6_0(tesra_instance_handle_t *instance,
                                                      tesra_counter_handle_t **counter,
                                                      tesra_counter_data_handle_t **counter_data,
                                                      bool update_iter);
/** Body of tesra_next_counter_data (no argument or version checks). */
TESRA_API tesra_error_t tesra_next_counter_data_v6_0(tesra_instance_handle_t *instance,
                                                     tesra_counter_handle_t **counter,
                                                     tesra_counter_data_handle_t **counter_data,
                                                     bool update_iter);
/** Body of tesra_find_counter_data (no argument or version checks). `counter_name` must not be
 *  NULL. */
TESRA_API tesra_error_t tesra_find_counter_data_v6_0(tesra_instance_handle_t *instance,
                                                     const char *counter_name,
                                                     tesra_counter_handle_t **counter,
                                                     tesra_counter_data_handle_t **counter_data,
                                                     bool update_iter);
/** Body of tesra_get_counter_data_value (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_counter_data_value_v6_0(
    tesra_counter_data_handle_t *counter_data, tesra_counter_data_t_v6_0 *counter_data_value);
/** Gathers the instances of a new timestamp: those of the first query period's record that hold the
 *  query's key values, each joined with its data in the other periods' records (an instance missing
 *  from one of them is left out).
 *  @return TESRA_SUCCESS; TESRA_RECORD_EMPTY (a record at that time holds no instances);
 *  TESRA_RECORD_NOT_FOUND (no period, or no record at that time); TESRA_INSTANCE_NOT_FOUND (key
 *  values given, none held); TESRA_COUNTER_TYPE_NOT_FOUND; TESRA_NULL_POINTER;
 *  TESRA_CORRUPT_ARCHIVE; the codes of tesra_get_record_v6_0. */
TESRA_API tesra_error_t tesra_get_instances_v6_0(tesra_timestamp_handle_t *timestamp);
/** Joins instance `instance_index` of `records[0]` with its match in each further record and
 *  appends it to the timestamp, or leaves it out when a record lacks it.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (no record, index beyond records[0]);
 *  TESRA_NULL_POINTER; TESRA_CORRUPT_ARCHIVE; TESRA_COUNTER_TYPE_NOT_FOUND. */
TESRA_API tesra_error_t tesra_add_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                uint32_t instance_index,
                                                tesra_record_handle_t **records,
                                                uint32_t num_records);
/** Sets `*is_equal` to whether the instance at `instance_buffer`, laid out for `period`, holds
 *  every given key value (the value type given decides the width compared).
 *  @return TESRA_SUCCESS; TESRA_COUNTER_TYPE_NOT_FOUND (a value list of unknown type; `*is_equal`
 *  false); TESRA_CORRUPT_ARCHIVE (a key slot outside the instance). */
TESRA_API tesra_error_t tesra_is_instance_equal_v6_0(tesra_counter_handle_t **key_cnts,
                                                     tesra_counter_data_t_v6_0 *key_cnts_vals,
                                                     uint32_t num_key_cnts,
                                                     tesra_period_t *period,
                                                     char *instance_buffer,
                                                     bool *is_equal);
/** Decodes the instance's key counters into its definition body (names and values that it owns).
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_CORRUPT_ARCHIVE. */
TESRA_API tesra_error_t tesra_get_instance_key_counters_v6_0(tesra_instance_handle_t *instance);
/** Bytes of one instance of `record`: size / num_instances, 0 for a record without instances. */
TESRA_API uint32_t tesra_get_instance_size_v6_0(tesra_record_handle_t *record);
/** Decodes the counter's slot (`size` bytes at `counter_buffer`) into `counter_data`, whose values
 *  array and strings are new C memory the caller owns.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER; TESRA_CORRUPT_ARCHIVE (more values than bytes). */
TESRA_API tesra_error_t tesra_get_counter_data_v6_0(tesra_counter_handle_t *counter,
                                                    char *counter_buffer,
                                                    tesra_counter_data_t_v6_0 *counter_data);
/** Byte offset of the counter's slot in the instance's data (for a timestamp's instance, in the
 *  part of the counter's smallest period).
 *  @return TESRA_SUCCESS; TESRA_PERIOD_NOT_FOUND (no slot in the periods read). */
TESRA_API tesra_error_t tesra_get_counter_offset_v6_0(tesra_instance_handle_t *instance,
                                                      tesra_counter_handle_t *counter,
                                                      tesra_offset_t *counter_offset);

/** Body of tesra_query (no argument or version checks). */
TESRA_API tesra_error_t tesra_query_v6_0(tesra_file_handle_t *data_file,
                                         tesra_query_def_t_v6_0 *query_def,
                                         tesra_query_handle_t **query);
/** Resolves the key counters and the counters to read of `query_h` from the caller's `query_def`
 *  (every non-key counter when it names none) and stores their names in the query.
 *  @return TESRA_SUCCESS; TESRA_NULL_POINTER (an argument NULL, a name missing or unknown,
 *  allocation); TESRA_INVALID_VERSION; TESRA_COUNTER_NOT_FOUND (unknown key name);
 *  TESRA_INVALID_QUERY (no names and no non-key counter). */
TESRA_API tesra_error_t tesra_get_query_counters_v6_0(tesra_query_handle_t *query_h,
                                                      tesra_query_def_t_v6_0 *query_def);
/** Body of tesra_first_timestamp (no argument or version checks). */
TESRA_API tesra_error_t tesra_first_timestamp_v6_0(tesra_query_handle_t *query,
                                                   tesra_timestamp_handle_t **timestamp,
                                                   bool update_iter);
/** Body of tesra_next_timestamp (no argument or version checks). */
TESRA_API tesra_error_t tesra_next_timestamp_v6_0(tesra_query_handle_t *query,
                                                  tesra_timestamp_handle_t **timestamp,
                                                  bool update_iter);
/** Body of tesra_get_timestamp (no argument or version checks). */
TESRA_API tesra_error_t tesra_get_timestamp_v6_0(tesra_timestamp_handle_t *timestamp,
                                                 uint64_t *time);
/** Builds the query's sample times: the multiples of its period from the object's first record at
 *  that period on, within the query's range, at which every period the query reads has a record.
 *  @return TESRA_SUCCESS; TESRA_PERIOD_NOT_FOUND (period 0); TESRA_NULL_POINTER (the object has no
 *  such period, allocation); TESRA_RECORD_NOT_FOUND (no record at that period); TESRA_SEEK_FAILED;
 *  TESRA_READ_FAILED; TESRA_CORRUPT_ARCHIVE. */
TESRA_API tesra_error_t tesra_get_timestamps_v6_0(tesra_query_handle_t *query);
/** Sets `*is_valid` to whether relative time `ts_msb` lies in the query's range and every period
 *  the query reads has a record there. @return TESRA_SUCCESS. */
TESRA_API tesra_error_t tesra_is_timestamp_valid_v6_0(uint64_t ts_msb,
                                                      tesra_query_handle_t *query,
                                                      bool *is_valid);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_INT_DEFS_H */
