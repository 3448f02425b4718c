/* A plain C11 client of the archive libraries, built with -pedantic -Werror: it writes a small
 * archive, reads it back through the record walk and through a query, and releases everything
 * it owns. It also pins the facts a C client relies on without seeing our sources: sizes and
 * offsets of the records it fills in, and result values it compares against.
 *
 * Each phase checks what it got; the first phase that fails names itself and the check, and the
 * later phases are skipped (they would only fail for the same reason). */
#define _POSIX_C_SOURCE 200809L

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tesra_common_defs.h"
#include "tesra_ext_defs.h"
#include "tesra_int_defs.h"
#include "tesra_live.h"
#include "tesra_preset.h"
#include "tesra_series.h"
#include "tesra_values.h"
#include "tesra_wrapper_header.h"
#include "tesra_write_ext.h"

_Static_assert(sizeof(tesra_version_t) == 8, "version pair is two uint32");
_Static_assert(offsetof(tesra_version_t, minor_v) == 4, "minor follows major");
_Static_assert(sizeof(tesra_error_t) == 4, "results are 32-bit");
_Static_assert(TESRA_SUCCESS == 0, "success is zero");
_Static_assert(sizeof(tesra_cnt_value_t) == 8, "counter values are 8-byte slots");
_Static_assert(TESRA_NUM_PERIODS == 14, "per-period arrays have 14 slots");

/* ---- checks ------------------------------------------------------------------------------ */

static const char *phase = "start";
static int failures;

static bool check(bool ok, const char *what, int line) {
    if (!ok) {
        fprintf(stderr, "c_api: %s: line %d: %s\n", phase, line, what);
        ++failures;
    }
    return ok;
}

static bool check_rc(tesra_error_t rc, const char *call, int line) {
    if (rc == TESRA_SUCCESS) return true;
    const char *label = (unsigned)rc < TESRA_ERROR_CODES_MAX_INDEX ? tesra_error_labels[rc] : "?";
    fprintf(stderr, "c_api: %s: line %d: %s gave %d (%s)\n", phase, line, call, (int)rc, label);
    ++failures;
    return false;
}

/* Both leave the current phase function with `false` when the check fails. */
#define CHECK(cond)                                         \
    do {                                                    \
        if (!check((cond), #cond, __LINE__)) return false;  \
    } while (0)
#define CHECK_RC(call)                                         \
    do {                                                       \
        if (!check_rc((call), #call, __LINE__)) return false;  \
    } while (0)

/* ---- what the archive holds ---------------------------------------------------------------- */

#define BASE_TIME UINT64_C(1000000000000)
#define MINUTE UINT64_C(60000)
#define VOLUME_ID 3u
#define NUM_TIMES 3u
#define NUM_VOLUMES 2u
/* Per instance: the key "name" (16-byte string), "ops" (8 bytes), "lat" (two 4-byte values). */
#define NAME_BYTES 16u
#define INSTANCE_BYTES (NAME_BYTES + 8u + 8u)

static const char *const volume_names[NUM_VOLUMES] = {"vol-a", "vol-b"};
static const char *lat_labels[2] = {"read", "write"};

static uint64_t ops_of(uint32_t volume, uint32_t time) {
    return 100u * (volume + 1u) + time;
}
static uint32_t lat_of(uint32_t volume, uint32_t time, uint32_t x) {
    return x == 0 ? 10u * volume + time : 1000u + 10u * volume + time;
}

static void put_le(unsigned char *out, uint64_t v, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) out[i] = (unsigned char)(v >> (8u * i));
}

/* Record bodies hold the counters in id order, little-endian, instance after instance. */
static void fill_body(unsigned char *body, uint32_t time) {
    for (uint32_t k = 0; k < NUM_VOLUMES; ++k) {
        unsigned char *at = body + k * INSTANCE_BYTES;
        memset(at, 0, NAME_BYTES);
        memcpy(at, volume_names[k], strlen(volume_names[k]));
        put_le(at + NAME_BYTES, ops_of(k, time), 8);
        put_le(at + NAME_BYTES + 8, lat_of(k, time, 0), 4);
        put_le(at + NAME_BYTES + 12, lat_of(k, time, 1), 4);
    }
}

static tesra_counter_def_t counter_def(uint32_t id, const char *name, uint32_t ctype,
                                       uint32_t size, bool is_key) {
    tesra_counter_def_t def;
    memset(&def, 0, sizeof def);
    tesra_set_latest_version(&def);
    def.name = name;
    def.priv = "basic";
    def.desc = name;
    def.ctype = ctype;
    def.size = size;
    def.is_key = is_key;
    def.periods[0] = MINUTE;
    def.num_periods = 1;
    def.cnt_id = id;
    return def;
}

/* ---- phases ---------------------------------------------------------------------------------- */

static bool check_versions(void) {
    phase = "versions";
    tesra_version_t v = {6, 1};
    /* Major must match exactly; the minor version is a lower bound. */
    CHECK(tesra_is_version(&v, 6, 0));
    CHECK(tesra_is_version(&v, 6, 1));
    CHECK(!tesra_is_version(&v, 6, 2));
    CHECK(!tesra_is_version(&v, 5, 0));
    return true;
}

static bool write_archive(const char *base) {
    phase = "create";
    tesra_file_handle_t *file = NULL;
    const char *meta = NULL;
    const char *data = NULL;
    CHECK_RC(tesra_create_data_file(base, 6, 1, 15 * MINUTE, &file, &meta, &data));
    CHECK(file != NULL && meta != NULL && data != NULL);
    CHECK(strncmp(meta, base, strlen(base)) == 0 && strcmp(meta + strlen(base), ".meta") == 0);
    CHECK(strncmp(data, base, strlen(base)) == 0 && strcmp(data + strlen(base), ".gz") == 0);
    /* A caller may trade size for speed before the first record. */
    CHECK_RC(tesra_set_compression_level(file, 1));

    phase = "header";
    tesra_header_def_t_v6_0 header_def = {6, 1, 7, "1.0"};
    tesra_system_def_t_v6_0 system_def = {6,         1,          BASE_TIME, "9.1",
                                          "uuid-1",  "node-a",   "model",   "serial",
                                          "sysid",   "cluster",  "cid",     "process",
                                          "store-1"};
    tesra_header_handle_t *header = NULL;
    bool ok = check_rc(tesra_create_header(file, &header_def, &system_def, &header),
                       "tesra_create_header", __LINE__);
    tesra_object_def_t object_def = {6, 1, "volume", VOLUME_ID, "basic"};
    tesra_object_handle_t *object = NULL;
    if (ok) {
        ok = check_rc(tesra_add_object(header, &object_def, &object), "tesra_add_object",
                      __LINE__);
    }
    tesra_counter_def_t defs[3];
    defs[0] = counter_def(1, "name", 0x2010, NAME_BYTES, true);
    defs[1] = counter_def(2, "ops", 0x0108, 8, false);
    defs[2] = counter_def(3, "lat", 0x0104, 8, false);
    defs[2].x_names = lat_labels;
    defs[2].num_x_items = 2;
    for (unsigned i = 0; ok && i < 3; ++i) {
        tesra_counter_handle_t *counter = NULL;
        ok = check_rc(tesra_add_counter(object, &defs[i], &counter), defs[i].name, __LINE__) &&
             check(counter != NULL, "counter handle", __LINE__);
    }
    if (ok) ok = check_rc(tesra_finalize_header(file), "tesra_finalize_header", __LINE__);

    phase = "records";
    unsigned char body[NUM_VOLUMES * INSTANCE_BYTES];
    for (uint32_t t = 0; ok && t < NUM_TIMES; ++t) {
        tesra_record_header_data_t_v6_0 info = {6, 1, t * MINUTE, sizeof body, VOLUME_ID,
                                                MINUTE};
        fill_body(body, t);
        ok = check_rc(tesra_write_record(file, &info, body), "tesra_write_record", __LINE__);
    }
    if (ok) {
        uint64_t oldest = 0;
        uint64_t newest = 0;
        ok = check_rc(tesra_get_oldest_record_time(file, &oldest), "oldest", __LINE__) &&
             check_rc(tesra_get_newest_record_time(file, &newest), "newest", __LINE__) &&
             check(oldest == BASE_TIME, "oldest == BASE_TIME", __LINE__) &&
             check(newest == BASE_TIME + (NUM_TIMES - 1) * MINUTE, "newest", __LINE__);
    }

    /* Closed even after a failure, so that the handle is not leaked. */
    phase = "close after writing";
    CHECK_RC(tesra_close_data_file(file));
    return ok;
}

/* The key value and both counters of one instance, as written for volume `k` at time `t`. */
static bool check_instance(tesra_instance_handle_t *instance, uint32_t k, uint32_t t) {
    tesra_instance_data_t keys;
    memset(&keys, 0, sizeof keys);
    CHECK_RC(tesra_get_instance_data(instance, &keys));
    CHECK(keys.num_key_cnts == 1);
    CHECK(strcmp(keys.key_cnt_names[0], "name") == 0);
    CHECK(keys.key_cnt_values[0].value_type == TESRA_CNT_STRING);
    CHECK(keys.key_cnt_values[0].num_values == 1);
    CHECK(strcmp(keys.key_cnt_values[0].values[0].val_str, volume_names[k]) == 0);

    tesra_counter_handle_t *counter = NULL;
    tesra_counter_data_handle_t *data = NULL;
    tesra_counter_data_t value;
    CHECK_RC(tesra_find_counter_data(instance, "ops", &counter, &data));
    CHECK(counter != NULL && data != NULL);
    CHECK_RC(tesra_get_counter_data_value(data, &value));
    CHECK(value.value_type == TESRA_CNT_8BYTES && value.num_values == 1);
    CHECK(value.values[0].val_8B == ops_of(k, t));

    CHECK_RC(tesra_find_counter_data(instance, "lat", &counter, &data));
    CHECK_RC(tesra_get_counter_data_value(data, &value));
    CHECK(value.value_type == TESRA_CNT_4BYTES && value.num_values == 2);
    CHECK(value.values[0].val_4B == lat_of(k, t, 0));
    CHECK(value.values[1].val_4B == lat_of(k, t, 1));

    /* The same values in one call, in reader-owned lists: the key first, nothing to free. */
    tesra_instance_values_t_v6_0 all;
    CHECK_RC(tesra_get_instance_values(instance, &all));
    CHECK(all.num_cnts >= 3 && strcmp(all.counters[0]->e6_0.name, "name") == 0);
    CHECK(strcmp(all.values[0].values[0].val_str, volume_names[k]) == 0);
    uint32_t seen = 0;
    for (uint32_t i = 1; i < all.num_cnts; ++i) {
        const tesra_counter_data_t *v = &all.values[i];
        if (strcmp(all.counters[i]->e6_0.name, "ops") == 0) {
            CHECK(v->num_values == 1 && v->values[0].val_8B == ops_of(k, t));
            seen |= 1;
        } else if (strcmp(all.counters[i]->e6_0.name, "lat") == 0) {
            CHECK(v->num_values == 2 && v->values[1].val_4B == lat_of(k, t, 1));
            seen |= 2;
        }
    }
    CHECK(seen == 3);
    return true;
}

static bool check_definitions(tesra_file_handle_t *file, const char *base) {
    phase = "definitions";
    tesra_header_handle_t *header = NULL;
    CHECK_RC(tesra_get_header(file, &header));
    tesra_header_def_t_v6_0 header_info;
    CHECK_RC(tesra_get_header_info(header, &header_info));
    CHECK(header_info.generation_id == 7);
    CHECK(strcmp(header_info.preset_version, "1.0") == 0);
    tesra_system_def_t_v6_0 system;
    CHECK_RC(tesra_get_system_info(header, &system));
    CHECK(system.base_time == BASE_TIME);
    CHECK(strcmp(system.hostname, "node-a") == 0);

    tesra_object_handle_t *object = NULL;
    CHECK_RC(tesra_find_object(header, "volume", &object));
    tesra_object_def_t object_info;
    CHECK_RC(tesra_get_object_info(object, &object_info));
    CHECK(object_info.obj_id == VOLUME_ID);

    tesra_counter_handle_t *lat = NULL;
    CHECK_RC(tesra_find_counter_by_name(object, "lat", &lat));
    tesra_counter_def_t lat_info;
    CHECK_RC(tesra_get_counter_info(lat, &lat_info));
    CHECK(lat_info.cnt_id == 3 && lat_info.size == 8 && !lat_info.is_key);
    CHECK(lat_info.num_x_items == 2 && lat_info.num_y_items == 0);
    CHECK(strcmp(lat_info.x_names[0], "read") == 0 && strcmp(lat_info.x_names[1], "write") == 0);

    /* The period list is the caller's. */
    uint64_t *periods = NULL;
    uint32_t num_periods = 0;
    CHECK_RC(tesra_get_object_periods(object, &periods, &num_periods));
    const bool one_minute = num_periods == 1 && periods != NULL && periods[0] == MINUTE;
    free(periods);
    CHECK(one_minute);

    /* So are the store strings. */
    tesra_store_def_t store;
    memset(&store, 0, sizeof store);
    CHECK_RC(tesra_get_store_info_from_meta_file_v6_0(base, &store));
    const bool same_store = store.node_name != NULL && strcmp(store.node_name, "node-a") == 0 &&
                            store.store_name != NULL && strcmp(store.store_name, "store-1") == 0 &&
                            store.generation_id == 7;
    tesra_free_store_def(store);
    CHECK(same_store);
    return true;
}

static bool check_record_walk(tesra_file_handle_t *file) {
    phase = "record walk";
    tesra_record_handle_t *record = NULL;
    uint32_t t = 0;
    CHECK_RC(tesra_first_record(file, TESRA_LINEAR_ORDER, BASE_TIME, &record));
    for (; record != NULL; ++t) {
        CHECK(t < NUM_TIMES);
        tesra_record_header_data_t_v6_0 info;
        CHECK_RC(tesra_get_record_info(record, &info));
        CHECK(info.msecs_since_base == t * MINUTE);
        CHECK(info.obj_id == VOLUME_ID && info.period == MINUTE);
        CHECK(info.size == NUM_VOLUMES * INSTANCE_BYTES);

        tesra_instance_handle_t *instance = NULL;
        uint32_t k = 0;
        CHECK_RC(tesra_first_instance_from_record(record, &instance));
        for (; instance != NULL; ++k) {
            CHECK(k < NUM_VOLUMES);
            if (!check_instance(instance, k, t)) return false;
            CHECK_RC(tesra_next_instance_from_record(record, &instance));
        }
        CHECK(k == NUM_VOLUMES);
        CHECK_RC(tesra_next_record(file, &record));
    }
    CHECK(t == NUM_TIMES);
    return true;
}

/* Every time of the archive, only the instance whose key is "vol-b". */
static bool check_query(tesra_file_handle_t *file) {
    phase = "query";
    const char *key_names[1] = {"name"};
    tesra_cnt_value_t key_value[1];
    key_value[0].val_str = volume_names[1];
    tesra_counter_data_t key_values[1] = {{TESRA_CNT_STRING, key_value, 1}};
    const char *counter_names[2] = {"ops", "lat"};
    tesra_query_def_t def;
    memset(&def, 0, sizeof def);
    tesra_set_latest_version(&def);
    def.object_name = "volume";
    def.num_key_cnts = 1;
    def.key_cnt_names = key_names;
    def.key_cnt_values = key_values;
    def.num_cnts = 2;
    def.cnt_names = counter_names;
    def.start_time = BASE_TIME;
    def.end_time = BASE_TIME + (NUM_TIMES - 1) * MINUTE;
    def.period = MINUTE;

    tesra_query_handle_t *query = NULL;
    CHECK_RC(tesra_query(file, &def, &query));
    CHECK(query != NULL);
    tesra_timestamp_handle_t *timestamp = NULL;
    uint32_t t = 0;
    CHECK_RC(tesra_first_timestamp(query, &timestamp));
    for (; timestamp != NULL; ++t) {
        CHECK(t < NUM_TIMES);
        uint64_t time = 0;
        CHECK_RC(tesra_get_timestamp(timestamp, &time));
        CHECK(time == BASE_TIME + t * MINUTE);
        tesra_instance_handle_t *instance = NULL;
        CHECK_RC(tesra_first_instance(timestamp, &instance));
        CHECK(instance != NULL);
        if (!check_instance(instance, 1, t)) return false;
        CHECK_RC(tesra_next_instance(timestamp, &instance));
        CHECK(instance == NULL);
        CHECK_RC(tesra_next_timestamp(query, &timestamp));
    }
    CHECK(t == NUM_TIMES);
    return true;
}

static bool read_archive(const char *base) {
    phase = "open";
    tesra_file_handle_t *file = NULL;
    const char *meta = NULL;
    const char *data = NULL;
    CHECK_RC(tesra_open_data_file(base, "r", &file, &meta, &data));
    CHECK(file != NULL);
    /* A closed archive: nothing is being written and a refresh finds nothing new. */
    int being_written = -1;
    uint32_t new_records = 1;
    CHECK_RC(tesra_is_being_written(file, &being_written));
    CHECK(being_written == 0);
    CHECK_RC(tesra_refresh_data_file(file, &new_records));
    CHECK(new_records == 0);
    const bool ok = check_definitions(file, base) && check_record_walk(file) && check_query(file);
    /* Closing releases the header, the walk and the query with everything they handed out. */
    phase = "close after reading";
    CHECK_RC(tesra_close_data_file(file));
    return ok;
}

/* The archive as a series of one: every instance's "ops" and "lat" in time order. */
static bool check_series_rows(tesra_series_t *series) {
    CHECK(tesra_series_member_count(series) == 1);
    tesra_series_member_t member;
    CHECK_RC(tesra_series_get_member(series, 0, &member));
    CHECK(member.file_index == 1 && strcmp(member.hostname, "node-a") == 0);

    tesra_series_query_t query;
    memset(&query, 0, sizeof query);
    query.object_name = "volume";
    tesra_series_cursor_t *cursor = NULL;
    CHECK_RC(tesra_series_query_values(series, &query, &cursor));
    const tesra_series_column_t *columns = NULL;
    uint32_t num_columns = 0;
    bool ok = check_rc(tesra_series_cursor_columns(cursor, &columns, &num_columns),
                       "tesra_series_cursor_columns", __LINE__) &&
              check(num_columns == 3 && columns[2].num_values == 2, "columns", __LINE__);
    uint32_t n = 0;
    const tesra_series_row_t *row = NULL;
    while (ok && check_rc(tesra_series_next_row(cursor, &row), "tesra_series_next_row",
                          __LINE__) &&
           row != NULL) {
        const uint32_t t = n / NUM_VOLUMES, k = n % NUM_VOLUMES;
        ok = check(row->time == BASE_TIME + t * MINUTE && row->num_columns == 3 &&
                       strcmp(row->values[0].values[0].val_str, volume_names[k]) == 0 &&
                       row->values[1].values[0].val_8B == ops_of(k, t) &&
                       row->values[2].values[1].val_4B == lat_of(k, t, 1),
                   "series row", __LINE__);
        ++n;
    }
    tesra_series_free_cursor(cursor);
    return ok && check(n == NUM_TIMES * NUM_VOLUMES && row == NULL, "series rows", __LINE__);
}

static bool read_series(const char *dir) {
    phase = "series";
    const char *sources[1] = {dir};
    tesra_series_t *series = NULL;
    CHECK_RC(tesra_series_open(sources, 1, NULL, &series));
    const bool ok = check_series_rows(series);
    tesra_series_close(series);
    return ok;
}

int main(void) {
    char dir[512];
    const char *tmp = getenv("TMPDIR");
    snprintf(dir, sizeof dir, "%s/tesra-c-api-XXXXXX", tmp != NULL && *tmp != '\0' ? tmp : "/tmp");
    if (mkdtemp(dir) == NULL) {
        perror("c_api: mkdtemp");
        return 1;
    }
    char base[600];
    snprintf(base, sizeof base, "%s/1_60_1000000000000_900000", dir);

    if (check_versions() && write_archive(base) && read_archive(base)) read_series(dir);

    phase = "clean-up";
    check_rc(tesra_unlink(base), "tesra_unlink", __LINE__);
    if (rmdir(dir) != 0) perror("c_api: rmdir");
    if (failures == 0) printf("c_api: archive written, read back and released\n");
    return failures == 0 ? 0 : 1;
}
