// Release of the handle tree that hangs from an open archive: file, header, objects with their
// counters, aggregations and periods, and the record, query, timestamp, instance and counter
// data that the walks hand out. Every step accepts fields that were never set (null), so a
// half-built handle is released by the same operation as a finished one.
#include <cstdio>

#include <zlib.h>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "release_internal.h"

namespace tesra::util {
namespace {

// The strings of a value list, when the list holds strings, and then the list itself.
void free_counter_values(tesra_counter_data_t_v6_0 &data) noexcept {
    if (data.value_type == TESRA_CNT_STRING && data.values != nullptr) {
        for (uint32_t i = 0; i < data.num_values; ++i) free_field(data.values[i].val_str);
    }
    free_field(data.values);
}

// Key-counter names and values of a query or an instance; either array may be missing in a
// half-built handle.
void free_key_counters(const char **&names,
                       tesra_counter_data_t_v6_0 *&values,
                       uint32_t count) noexcept {
    for (uint32_t j = 0; j < count; ++j) {
        if (names != nullptr) free_field(names[j]);
        if (values != nullptr) free_counter_values(values[j]);
    }
    free_field(names);
    free_field(values);
}

void free_name_list(const char **&names, uint32_t count) noexcept {
    if (names != nullptr) {
        for (uint32_t i = 0; i < count; ++i) free_field(names[i]);
    }
    free_field(names);
}

}  // namespace
}  // namespace tesra::util

using tesra::util::free_field;

extern "C" tesra_error_t tesra_free_file(tesra_file_handle_t *data_file) {
    if (data_file == nullptr) return TESRA_SUCCESS;
    tesra::util::assert_releasable(data_file);
    tesra_error_t result = TESRA_SUCCESS;
    tesra_file_def_t_v6_0 &def = data_file->e6_0;
    tesra_file_int_t_v6_0 &body = data_file->i6_0;

    free_field(def.file_path);
    free_field(def.meta_path);
    free_field(def.data_path);
    if (body.metadata_file != nullptr) {
        std::fclose(body.metadata_file);
        body.metadata_file = nullptr;
    }
    // gzclose reports deferred write and stream errors; it frees the stream either way, so the
    // release goes on and the failure is only reported.
    if (body.data_file != nullptr) {
        if (gzclose(body.data_file) != Z_OK) result = TESRA_CLOSE_FILE_FAILED;
        body.data_file = nullptr;
    }
    free_field(body.metadata_file_path);
    free_field(body.data_file_path);
    tesra_free_header(body.header);
    body.header = nullptr;
    tesra_free_query(body.query);
    body.query = nullptr;
    tesra_free_record(body.current_record);
    body.current_record = nullptr;
    body.current_period = nullptr;
    std::free(data_file);
    return result;
}

extern "C" void tesra_free_header(tesra_header_handle_t *header) {
    if (header == nullptr) return;
    tesra::util::assert_releasable(header);
    tesra_header_int_t_v6_0 &body = header->i6_0;

    free_field(header->e6_0.preset_version);
    tesra_free_system(body.system);
    if (body.attr_defs != nullptr) {
        for (uint32_t i = 0; i < body.num_attr_defs; ++i) {
            tesra_free_attr_def(body.attr_defs[i]);
            body.attr_defs[i] = nullptr;
        }
    }
    free_field(body.attr_defs);
    free_field(body.section_defs);
    // Objects are owned through this array only; object_list links the same objects.
    if (body.objects != nullptr) {
        for (uint32_t i = 0; i < body.objects_array_size; ++i) {
            tesra_free_object(body.objects[i]);
            body.objects[i] = nullptr;
        }
    }
    free_field(body.objects);
    free_field(body.object_index);
    body.object_list = nullptr;
    body.current_object = nullptr;
    body.data_file = nullptr;
    // `pc` and `pid` are not the release's to interpret: a caller may keep anything there, and
    // the reader frees what it hangs there when the handle's metadata stream is closed.
    body.pid = nullptr;
    body.pc = 0;
    std::free(header);
}

extern "C" void tesra_free_system(tesra_header_system_t system) {
    tesra_system_def_t_v6_0 &def = system.e6_0;
    free_field(def.nelvo_version);
    free_field(def.node_uuid);
    free_field(def.hostname);
    free_field(def.model);
    free_field(def.serial_number);
    free_field(def.system_id);
    free_field(def.cluster_name);
    free_field(def.cluster_id);
    free_field(def.process_name);
    free_field(def.store_name);
}

extern "C" void tesra_free_attr_def(void *attr_def) {
    if (attr_def == nullptr) return;
    tesra::util::assert_releasable(attr_def);
    auto *def = static_cast<tesra_attribute_def_t_v6_0 *>(attr_def);
    free_field(def->name);
    free_field(def->desc);
    std::free(def);
}

extern "C" void tesra_free_object(tesra_object_handle_t *object) {
    if (object == nullptr) return;
    tesra::util::assert_releasable(object);
    tesra_object_int_t_v6_0 &body = object->i6_0;

    free_field(object->e6_0.name);
    free_field(object->e6_0.priv);
    // Counters are owned through the id chain; the key and period chains link the same ones.
    for (tesra_counter_handle_t *c = body.cnt_list; c != nullptr;) {
        tesra_counter_handle_t *next = c->i6_0.next_cnt_by_id;
        tesra_free_counter(c);
        c = next;
    }
    body.cnt_list = nullptr;
    for (tesra_aggregation_handle_t *a = body.aggregation_list; a != nullptr;) {
        tesra_aggregation_handle_t *next = a->i6_0.next_agg_in_list;
        tesra_free_aggregation(a);
        a = next;
    }
    body.aggregation_list = nullptr;
    tesra_free_period(body.period_list);
    body.period_list = nullptr;
    body.key_cnt_list = nullptr;
    body.current_cnt = nullptr;
    body.next_object = nullptr;
    body.header = nullptr;
    std::free(object);
}

extern "C" void tesra_free_counter(tesra_counter_handle_t *counter) {
    if (counter == nullptr) return;
    tesra::util::assert_releasable(counter);
    tesra_counter_def_t_v6_0 &def = counter->e6_0;
    tesra_counter_int_t_v6_0 &body = counter->i6_0;

    free_field(def.name);
    free_field(def.priv);
    free_field(def.desc);
    tesra::util::free_name_list(def.x_names, def.num_x_items);
    tesra::util::free_name_list(def.y_names, def.num_y_items);
    body.next_cnt_by_id = nullptr;
    body.next_cnt_by_key = nullptr;
    body.object = nullptr;
    for (uint32_t i = 0; i < TESRA_NUM_PERIODS; ++i) {
        body.periods[i] = nullptr;
        body.next_cnt_by_period[i] = nullptr;
    }
    std::free(counter);
}

extern "C" void tesra_free_aggregation(tesra_aggregation_handle_t *aggregation) {
    if (aggregation == nullptr) return;
    tesra::util::assert_releasable(aggregation);
    tesra_aggregation_def_t_v6_0 &def = aggregation->e6_0;
    free_field(def.aggr_type);
    free_field(def.inst_name);
    free_field(def.inst_uuid);
    free_field(def.aggr_name);
    free_field(def.inst_list_req_filter);
    aggregation->i6_0.object = nullptr;
    aggregation->i6_0.next_agg_in_list = nullptr;
    std::free(aggregation);
}

extern "C" void tesra_free_period(tesra_period_t *period) {
    while (period != nullptr) {
        tesra_period_t *next = period->next_period;
        free_field(period->record_offsets);
        if (period->iterative_record_offsets != nullptr) {
            // Every allocated list is freed, also one whose count has fallen back to 0.
            for (uint32_t i = 0; i < period->num_offsets; ++i) {
                free_field(period->iterative_record_offsets[i].offsets);
            }
        }
        free_field(period->iterative_record_offsets);
        period->cnt_list = nullptr;
        period->current_cnt = nullptr;
        period->object = nullptr;
        period->next_period = nullptr;
        std::free(period);
        period = next;
    }
}

extern "C" void tesra_free_record(tesra_record_handle_t *record) {
    if (record == nullptr) return;
    tesra::util::assert_releasable(record);
    tesra_record_int_t_v6_0 &body = record->i6_0;
    free_field(body.data_buffer);
    free_field(body.counters);
    tesra_free_instance(body.current_instance);
    body.current_instance = nullptr;
    body.object = nullptr;
    body.period = nullptr;
    std::free(record);
}

extern "C" void tesra_free_query(tesra_query_handle_t *query) {
    if (query == nullptr) return;
    tesra::util::assert_releasable(query);
    tesra_query_def_t_v6_0 &def = query->e6_0;
    tesra_query_int_t_v6_0 &body = query->i6_0;

    free_field(def.object_name);
    tesra::util::free_key_counters(def.key_cnt_names, def.key_cnt_values, def.num_key_cnts);
    tesra::util::free_name_list(def.cnt_names, def.num_cnts);
    free_field(body.timestamps);
    free_field(body.counters);
    free_field(body.key_counters);
    free_field(body.periods);
    tesra_free_timestamp(body.current_timestamp);
    body.current_timestamp = nullptr;
    body.object = nullptr;
    body.data_file = nullptr;
    std::free(query);
}

extern "C" void tesra_free_timestamp(tesra_timestamp_handle_t *timestamp) {
    if (timestamp == nullptr) return;
    tesra::util::assert_releasable(timestamp);
    tesra_timestamp_int_t_v6_0 &body = timestamp->i6_0;
    free_field(body.instances_buffer);
    tesra_free_instance(body.current_instance);
    body.current_instance = nullptr;
    body.query = nullptr;
    std::free(timestamp);
}

extern "C" void tesra_free_instance(tesra_instance_handle_t *instance) {
    if (instance == nullptr) return;
    tesra::util::assert_releasable(instance);
    tesra_instance_data_t_v6_0 &def = instance->e6_0;
    tesra_instance_int_t_v6_0 &body = instance->i6_0;

    tesra::util::free_key_counters(def.key_cnt_names, def.key_cnt_values, def.num_key_cnts);
    tesra_free_counter_data(body.current_counter_data);
    body.current_counter_data = nullptr;
    // The instance bytes belong to the owner's buffer.
    body.instance_buffer = nullptr;
    body.timestamp = nullptr;
    body.record = nullptr;
    std::free(instance);
}

extern "C" void tesra_free_counter_data(tesra_counter_data_handle_t *counter_data) {
    if (counter_data == nullptr) return;
    tesra::util::assert_releasable(counter_data);
    tesra::util::free_counter_values(counter_data->e6_0);
    counter_data->i6_0.counter = nullptr;
    counter_data->i6_0.instance = nullptr;
    std::free(counter_data);
}
