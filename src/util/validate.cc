// Validation of the definition records that callers fill, applied before a handle is built
// from one. The order of the checks fixes which code a record with several faults gets.
#include <initializer_list>

#include "tesra/tesra_ext_defs.h"

#include "util_internal.h"

namespace {

bool all_present(std::initializer_list<const void *> fields) {
    for (const void *f : fields) {
        if (f == nullptr) return false;
    }
    return true;
}

// A label array of `count` entries: absent is fine only when it is meant to be empty.
bool is_name_list_complete(const char *const *names, uint32_t count) {
    if (count == 0) return true;
    if (names == nullptr) return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (names[i] == nullptr) return false;
    }
    return true;
}

}  // namespace

extern "C" tesra_error_t tesra_validate_system_def_v6_0(tesra_system_def_t_v6_0 *def) {
    if (def == nullptr) return TESRA_NULL_POINTER;
    if (!all_present({def->nelvo_version, def->node_uuid, def->hostname, def->model,
                      def->serial_number, def->system_id, def->cluster_name, def->cluster_id,
                      def->process_name, def->store_name}))
        return TESRA_NULL_POINTER;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_validate_header_def_v6_0(tesra_header_def_t_v6_0 *def) {
    if (def == nullptr || def->preset_version == nullptr) return TESRA_NULL_POINTER;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_validate_attr_def_v6_0(tesra_attribute_def_t_v6_0 *def) {
    if (def == nullptr || !all_present({def->name, def->desc})) return TESRA_NULL_POINTER;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_validate_object_def_v6_0(tesra_object_def_t_v6_0 *def) {
    if (def == nullptr || !all_present({def->name, def->priv})) return TESRA_NULL_POINTER;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_validate_counter_def_v6_0(tesra_counter_def_t_v6_0 *def) {
    if (def == nullptr || !all_present({def->name, def->desc, def->priv}))
        return TESRA_NULL_POINTER;
    // A definition brings exactly one period; more are added to the handle afterwards.
    if (def->num_periods != 1 || !tesra::util::period_index(def->periods[0]))
        return TESRA_INVALID_ARGUMENTS;
    if (!is_name_list_complete(def->x_names, def->num_x_items)) return TESRA_NULL_POINTER;
    if (!is_name_list_complete(def->y_names, def->num_y_items)) return TESRA_NULL_POINTER;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_validate_aggregation_def_v6_0(tesra_aggregation_def_t_v6_0 *def) {
    // The aggregation name and the instance filter are optional.
    if (def == nullptr || !all_present({def->inst_name, def->inst_uuid, def->aggr_type}))
        return TESRA_NULL_POINTER;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_validate_query_def_v6_0(tesra_query_def_t_v6_0 *def) {
    if (def == nullptr || def->object_name == nullptr) return TESRA_NULL_POINTER;
    if (!is_name_list_complete(def->key_cnt_names, def->num_key_cnts)) return TESRA_NULL_POINTER;
    if (!is_name_list_complete(def->cnt_names, def->num_cnts)) return TESRA_NULL_POINTER;
    if (!tesra::util::period_index(def->period)) return TESRA_PERIOD_NOT_FOUND;
    if (def->start_time > def->end_time) return TESRA_INVALID_TIMESTAMP;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_validate_directory_def_v6_0(tesra_directory_def_t_v6_0 *def) {
    if (def == nullptr || def->directory_path == nullptr) return TESRA_NULL_POINTER;
    return TESRA_SUCCESS;
}
