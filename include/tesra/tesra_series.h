/* Archive series: the archives one node writes one after another (file index 1, 2, 3, ...),
 * read as one body of samples over any time range.
 *
 * A series is opened from directories, globs or archive bases. Its members are ordered by the
 * start their names give (file index breaking ties) and belong to one node, told apart by the
 * store identity in their metadata. The series answers what one archive answers (objects and
 * counters, sample times, counter values) across archive boundaries, and reports what does not
 * fit together as findings: gaps, overlaps (the later file index wins), damaged archives
 * (skipped unless strict), files that are no archives, spans whose name and contents disagree,
 * counters that change definition, archives of another node.
 *
 * What an open reads. When the names fit together (no file index twice, none starting before
 * a lower one) and no node is asked for, an open reads the names of the members and the store
 * identity of two of them, the first and the last (the first readable from each end): the
 * series is that node's. Every other member is read only when a call needs it: its identity
 * when the call first reads it, its data stream when a question reaches its window. A member
 * of another node is thus refused by the first call that reads it, as the open refuses it when
 * it is one of the two ends; a member with damaged metadata is found, skipped and reported
 * (failing the call with `strict`) by the first call that reads it. When the names do not fit
 * together, or `node` is given, the open reads every member's identity, keeps the node's
 * archives (refusing several nodes when none is asked for) and only then checks the names
 * again. Archives with a partial name are
 * opened to learn their span. A catalogue over all times checks every member that answers for
 * some time; tesra_series_check_members over all times checks every member, reading only the
 * heads of their metadata. Gaps and overlaps between all members are reported when the series
 * opens, from the spans the names give (each carries its stretch, so that a caller asking
 * about part of the series can leave out those elsewhere).
 *
 * At most `max_open` members are open at once, so a series of thousands of archives is read
 * in bounded memory.
 *
 * Times are absolute milliseconds; ranges are half-open, [from, to). Everything handed out is
 * owned as each call says; nothing here is thread-safe (use one series per thread). */
#ifndef TESRA_SERIES_H
#define TESRA_SERIES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "tesra_common_defs.h"
#include "tesra_ext_defs.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- libtesraseries ---------------------------------------------------------------------- */

/** An open series. Opaque; released with tesra_series_close. */
typedef struct tesra_series tesra_series_t;
/** A walk over counter values of a series. Opaque; released with tesra_series_free_cursor. */
typedef struct tesra_series_cursor tesra_series_cursor_t;

/** Member and finding positions that name no member. */
#define TESRA_SERIES_NO_MEMBER ((size_t)-1)
/** Archives kept open at once when the options say 0. */
#define TESRA_SERIES_DEFAULT_MAX_OPEN 4u

/** How a series is opened. A zero-filled record gives the defaults. */
typedef struct tesra_series_options {
    /** Node to read when the sources hold archives of several nodes: compared with the host
     *  name of each archive's store identity. NULL: the sources must hold exactly one node. */
    const char *node;
    /** Nonzero: a damaged or unreadable archive fails the call that meets it instead of being
     *  skipped with a finding. */
    int strict;
    /** Most archives open at once (0: TESRA_SERIES_DEFAULT_MAX_OPEN). */
    uint32_t max_open;
} tesra_series_options_t;

/** What is known about a member's state. */
typedef enum tesra_series_state {
    /** Not opened yet, or opened and found closed by its writer. */
    TESRA_SERIES_MEMBER_CLOSED = 0,
    /** Opened and found without its index section: its writer still writes it. */
    TESRA_SERIES_MEMBER_BEING_WRITTEN = 1,
    /** Cannot be read (metadata, index or data damaged, a file unreadable); skipped. A data
     *  stream damaged part-way has given what came before the damage to the walk that found it;
     *  the member answers for nothing afterwards. */
    TESRA_SERIES_MEMBER_DAMAGED = 2
} tesra_series_state_t;

/** One archive of the series, in series order. Strings belong to the series until close. */
typedef struct tesra_series_member {
    /** Base path (without .meta/.gz), as found. */
    const char *base;
    uint32_t file_index;
    /** Longest period (ms) by name; 0 when the name gives none. */
    uint64_t longest_period;
    /** Store identity from the metadata ("" when the archive has none); NULL until a call has
     *  read the member (see the head of this file), and when its metadata is damaged. */
    const char *hostname;
    const char *cluster_id;
    const char *cluster_name;
    const char *process_name;
    const char *store_name;
    /** Node uuid of the system section; NULL until the member has been opened. */
    const char *node_uuid;
    /** Span by name, [name_start, name_end); both 0 for a partial name. */
    uint64_t name_start;
    uint64_t name_end;
    /** Nonzero once the member has been opened: first and last sample time it holds. */
    int contents_known;
    uint64_t contents_first;
    uint64_t contents_last;
    /** Times this member answers for, [window_start, window_end): its span (by contents when
     *  known and at odds with the name), less what a later file index covers. Empty for a
     *  damaged member. */
    uint64_t window_start;
    uint64_t window_end;
    tesra_series_state_t state;
} tesra_series_member_t;

/** Kinds of findings. */
typedef enum tesra_series_finding_kind {
    /** No member covers [from, to) between two members. */
    TESRA_SERIES_GAP = 0,
    /** Members `member` and `other` (the later file index, which wins) both cover [from, to). */
    TESRA_SERIES_OVERLAP = 1,
    /** `path` is not an archive (or half of an archive pair) and was skipped. */
    TESRA_SERIES_NOT_ARCHIVE = 2,
    /** `member` cannot be read and was skipped (with `strict`, the call failed); the message
     *  says when a walk read it up to the damage before skipping the rest. */
    TESRA_SERIES_DAMAGED = 3,
    /** The name and the contents of `member` disagree about its span; the contents are used. */
    TESRA_SERIES_SPAN_MISMATCH = 4,
    /** A counter or object appears, disappears or changes definition at `member` (`other` is
     *  the member compared with). */
    TESRA_SERIES_DEFINITION_CHANGE = 5,
    /** `member` and `other` carry the same file index. */
    TESRA_SERIES_DUPLICATE_INDEX = 6,
    /** `other`, a later file index than `member`, starts before it. */
    TESRA_SERIES_TIME_BACKWARDS = 7,
    /** The sources hold archives of more than one node (`path` names one per finding), or
     *  none of the node asked for; or `other`, read by a call, is of another node than
     *  `member`, whose node the series reads (an error: the call failed); or `other`, once
     *  opened, names another node uuid than `member` under the same store identity. */
    TESRA_SERIES_NODES = 8,
    /** The sources hold no archive at all. */
    TESRA_SERIES_EMPTY = 9
} tesra_series_finding_kind_t;

/** One finding. Strings belong to the series until close. */
typedef struct tesra_series_finding {
    tesra_series_finding_kind_t kind;
    /** Nonzero when this finding made the call that found it fail. */
    int is_error;
    /** Members concerned, or TESRA_SERIES_NO_MEMBER. */
    size_t member;
    size_t other;
    /** File concerned when it is no member (or the member's base); "" when none. */
    const char *path;
    /** Stretch concerned (gap, overlap, span mismatch); 0, 0 otherwise. */
    uint64_t from;
    uint64_t to;
    /** One printable line, naming the archives concerned. */
    const char *message;
} tesra_series_finding_t;

/** Opens the series made of `sources` (`num_sources` of them): each a directory (its archives;
 *  other files give TESRA_SERIES_NOT_ARCHIVE findings), a glob pattern, or an archive base
 *  (also "<base>.meta" or "<base>.gz", also a partial name). `options` may be NULL (defaults).
 *  Reads the store identity of the first and last member only, or of every member when the
 *  names do not fit together or a node is asked for (see the head of this file); partial names
 *  are opened to learn their span. `*out` receives a new series, also on failures found in the
 *  sources, where it
 *  holds no member but the findings that explain the failure: set `*out` to NULL before the
 *  call and release it with tesra_series_close whenever it is not NULL afterwards.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (`sources` or `out` NULL, a source NULL, no
 *  source: `*out` untouched; archives of several nodes and no node chosen: with findings);
 *  TESRA_NULL_POINTER (allocation; `*out` untouched); TESRA_FILE_NOT_FOUND (no archive at all,
 *  a named base or directory that does not exist, no archive of the node asked for);
 *  TESRA_CORRUPT_ARCHIVE (two members with one file index);
 *  TESRA_INVALID_TIMESTAMP (a later file index starting before an earlier one); with `strict`,
 *  the reader's code for a damaged or unreadable archive. */
TESRA_API tesra_error_t tesra_series_open(const char *const *sources,
                                          size_t num_sources,
                                          const tesra_series_options_t *options,
                                          tesra_series_t **out);

/** Releases the series with everything it still owns (members, findings, open archives).
 *  Cursors must be freed before. NULL is accepted. */
TESRA_API void tesra_series_close(tesra_series_t *series);

/** Number of members (0 for NULL). */
TESRA_API size_t tesra_series_member_count(const tesra_series_t *series);

/** Fills `*out` with member `index`; the strings belong to the series until close, the
 *  values are a snapshot (contents and windows fill in as members are opened).
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL, `index` out of range). */
TESRA_API tesra_error_t tesra_series_get_member(const tesra_series_t *series,
                                                size_t index,
                                                tesra_series_member_t *out);

/** Opens member `index` through the reader. `*out` is a new handle owned by the caller, who
 *  closes it with tesra_close_data_file; the series keeps no reference to it. The member's
 *  identity, contents span, node uuid and state are updated (and findings added) as for any
 *  read.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL, `index` out of range; the
 *  member is another node's: with a finding); the codes of tesra_open_data_file (the member is
 *  then marked damaged). */
TESRA_API tesra_error_t tesra_series_open_member(tesra_series_t *series,
                                                 size_t index,
                                                 tesra_file_handle_t **out);

/** Reads the store identity of every member that meets [from, to) (by its window, or its span
 *  when that is wider) and has not been read yet, from the head of its metadata without
 *  opening it, and checks each as the calls that read members do. For callers that read
 *  members' files on their own (by base) or must know every member's node now; from 0 to
 *  UINT64_MAX it checks every member.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (series NULL; a member of another node: with
 *  a TESRA_SERIES_NODES finding); TESRA_INVALID_TIMESTAMP (`from` after `to`); with `strict`,
 *  the code of a member whose metadata cannot be read (otherwise it is marked damaged with a
 *  finding and the others are still checked). */
TESRA_API tesra_error_t tesra_series_check_members(tesra_series_t *series,
                                                   uint64_t from,
                                                   uint64_t to);

/** Number of findings so far (0 for NULL). Calls that read members may add findings. */
TESRA_API size_t tesra_series_finding_count(const tesra_series_t *series);

/** Fills `*out` with finding `index`; its strings belong to the series until close.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL, `index` out of range). */
TESRA_API tesra_error_t tesra_series_get_finding(const tesra_series_t *series,
                                                 size_t index,
                                                 tesra_series_finding_t *out);

/* ---- catalogue ---------------------------------------------------------------------------- */

/** A counter as the members read define it. The definition is the first member's. */
typedef struct tesra_series_counter {
    const char *name;
    uint32_t cnt_id;
    int is_key;
    uint32_t ctype;
    /** Bytes per instance, all values together. */
    uint32_t size;
    /** Values per instance (labels x × y, at least 1). */
    uint32_t num_values;
    /** Periods of the counter, ascending, in any member read. */
    uint64_t periods[TESRA_NUM_PERIODS];
    uint8_t num_periods;
    const char *desc;
    /** Members read that carry it, and the first and last of them (series positions). */
    size_t num_members;
    size_t first_member;
    size_t last_member;
    /** Nonzero when a member defines it differently (id, type, size, key flag or labels). */
    int changed;
} tesra_series_counter_t;

/** An object and its counters in the members read. */
typedef struct tesra_series_object {
    const char *name;
    uint32_t obj_id;
    /** Periods of the object, ascending, in any member read. */
    uint64_t periods[TESRA_NUM_PERIODS];
    uint8_t num_periods;
    size_t num_members;
    size_t first_member;
    size_t last_member;
    /** Ascending cnt_id, key counters included. */
    tesra_series_counter_t *counters;
    uint32_t num_counters;
} tesra_series_object_t;

/** Objects and counters of the members whose window meets [from, to). */
typedef struct tesra_series_catalogue {
    /** Ascending name. */
    tesra_series_object_t *objects;
    uint32_t num_objects;
    /** Members read (damaged ones skipped are not counted). */
    size_t num_members_read;
} tesra_series_catalogue_t;

/** Reads the headers of the members whose window meets [from, to) and merges their objects
 *  and counters by name. A counter that appears, disappears or changes definition gives a
 *  TESRA_SERIES_DEFINITION_CHANGE finding. `*out` is a new record the caller releases with
 *  tesra_series_free_catalogue.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL; a member read is another
 *  node's: with a TESRA_SERIES_NODES finding); TESRA_INVALID_TIMESTAMP
 *  (`from` after `to`); TESRA_NULL_POINTER (allocation); with `strict`, a damaged member's
 *  code. */
TESRA_API tesra_error_t tesra_series_get_catalogue(tesra_series_t *series,
                                                   uint64_t from,
                                                   uint64_t to,
                                                   tesra_series_catalogue_t **out);

/** Releases a catalogue and all its arrays and strings. NULL is accepted. */
TESRA_API void tesra_series_free_catalogue(tesra_series_catalogue_t *catalogue);

/* ---- sample times ------------------------------------------------------------------------- */

/** Sample times of `object_name` at `period` in [from, to), ascending across members, each
 *  taken from the member whose window holds it. `*times` and `*members` (member position of
 *  each time; pass NULL when not wanted) are new arrays the caller frees with free(); both NULL
 *  when `*count` is 0. Members without the object or period contribute nothing (a
 *  TESRA_SERIES_DEFINITION_CHANGE finding tells).
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (series, object_name, times or count NULL;
 *  a member read is another node's: with a finding); TESRA_INVALID_TIMESTAMP (`from` after
 *  `to`); TESRA_PERIOD_NOT_FOUND (not a table period);
 *  TESRA_NULL_POINTER (allocation); the reader's codes for a member it cannot read with
 *  `strict`. */
TESRA_API tesra_error_t tesra_series_get_times(tesra_series_t *series,
                                               const char *object_name,
                                               uint64_t period,
                                               uint64_t from,
                                               uint64_t to,
                                               uint64_t **times,
                                               size_t **members,
                                               size_t *count);

/* ---- counter values ----------------------------------------------------------------------- */

/** What a values walk reads. A zero-filled record with an object name reads every non-key
 *  counter at the object's smallest period over all times. */
typedef struct tesra_series_query {
    const char *object_name;
    /** Period whose grid gives the sample times (ms); 0: the object's smallest period in the
     *  first member read. */
    uint64_t period;
    /** Range [from, to); to == 0 means no upper bound. */
    uint64_t from;
    uint64_t to;
    /** Counters to read, by name (key counters named here are ignored: every row carries the
     *  keys); none: every non-key counter sampled at the period. */
    const char *const *counter_names;
    uint32_t num_counters;
    /** Key filters "NAME=VALUE": only instances whose key counter NAME holds VALUE (a number
     *  for a numeric key). */
    const char *const *key_filters;
    uint32_t num_key_filters;
} tesra_series_query_t;

/** One column of a values walk: key counters first (ascending id), then the counters read. */
typedef struct tesra_series_column {
    const char *name;
    int is_key;
    uint32_t cnt_id;
    uint32_t ctype;
    tesra_cnt_data_type_t value_type;
    /** Values per instance (1 for a scalar counter). */
    uint32_t num_values;
} tesra_series_column_t;

/** One instance at one sample time. */
typedef struct tesra_series_row {
    uint64_t time;
    /** Series position of the member the row comes from. */
    size_t member;
    /** One value list per column, in column order; num_values 0 (values NULL) where the member
     *  lacks the counter. String values are NUL-terminated. */
    const tesra_counter_data_t *values;
    uint32_t num_columns;
} tesra_series_row_t;

/** Starts a walk over the counter values of `query` (copied). The columns are resolved from
 *  the first member in range that has the object. `*out` is a new cursor owned by the caller,
 *  released with tesra_series_free_cursor before the series is closed.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL, no object name, a key
 *  filter not NAME=VALUE, a number filter on a numeric key that is not a number, a member read
 *  is another node's: with a finding); TESRA_INVALID_TIMESTAMP (`from` after a nonzero `to`); TESRA_OBJECT_NOT_FOUND (no member in
 *  range has the object); TESRA_COUNTER_NOT_FOUND (a counter or key name the object lacks);
 *  TESRA_PERIOD_NOT_FOUND; TESRA_NULL_POINTER; with `strict`, a damaged member's code. */
TESRA_API tesra_error_t tesra_series_query_values(tesra_series_t *series,
                                                  const tesra_series_query_t *query,
                                                  tesra_series_cursor_t **out);

/** The walk's columns: `*columns` belongs to the cursor until it is freed.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL). */
TESRA_API tesra_error_t tesra_series_cursor_columns(const tesra_series_cursor_t *cursor,
                                                    const tesra_series_column_t **columns,
                                                    uint32_t *num_columns);

/** Next row in time order (instances of one time in the order their archive gives them);
 *  `*row` belongs to the cursor until the next step or free; NULL at the end. A member that
 *  cannot be read is skipped with a finding (with `strict`, its code ends the walk); a member
 *  whose counters are defined differently from the columns ends the walk with
 *  TESRA_COUNTER_MISMATCH and a finding, one of another node with TESRA_INVALID_ARGUMENTS.
 *  @return TESRA_SUCCESS; TESRA_INVALID_ARGUMENTS (an argument NULL; a member of another
 *  node); TESRA_COUNTER_MISMATCH;
 *  TESRA_NULL_POINTER; the reader's codes. After a failure the cursor only answers it again. */
TESRA_API tesra_error_t tesra_series_next_row(tesra_series_cursor_t *cursor,
                                              const tesra_series_row_t **row);

/** Releases a cursor. NULL is accepted. */
TESRA_API void tesra_series_free_cursor(tesra_series_cursor_t *cursor);

#ifdef __cplusplus
}
#endif

#endif /* TESRA_SERIES_H */
