// Deep copies of definition records into the zero-filled bodies of new handles. A failed copy
// stops at once and leaves what it had duplicated in the destination, which the caller releases
// with the handle, so no path here needs its own cleanup.
#include "tesra/tesra_ext_defs.h"

#include "common/assert.h"
#include "common/c_memory.h"
#include "util_internal.h"

namespace {

// Steps shared by every copy: both records present, and a source of format version 6.
tesra_error_t check_copy(const void *src, const void *dst) {
    if (src == nullptr || dst == nullptr) return TESRA_NULL_POINTER;
    if (!tesra::util::is_v6(src)) return TESRA_INVALID_VERSION;
    return TESRA_SUCCESS;
}

template <class Def>
void copy_version(const Def &src, Def &dst) {
    dst.major_v = src.major_v;
    dst.minor_v = src.minor_v;
}

// Duplicates `src` into `*dst`; false when the duplicate cannot be made (or the source string
// is missing, which a validated record never has).
template <class Str>
bool dup_into(const char *src, Str *dst) {
    char *copy = tesra::c_strdup(src);
    *dst = copy;
    return copy != nullptr;
}

// A label array: `count` duplicated strings, or absent when there are none. The array is hung
// in the destination before it is filled so that a failure midway leaves it releasable.
tesra_error_t copy_name_list(const char *const *src, uint32_t count, const char ***dst) {
    if (count == 0) {
        *dst = nullptr;
        return TESRA_SUCCESS;
    }
    if (src == nullptr) return TESRA_NULL_POINTER;
    const char **names = tesra::c_calloc<const char *>(count);
    if (names == nullptr) return TESRA_NULL_POINTER;
    *dst = names;
    for (uint32_t i = 0; i < count; ++i) {
        if (!dup_into(src[i], &names[i])) return TESRA_NULL_POINTER;
    }
    return TESRA_SUCCESS;
}

// One key counter's value list; string values are duplicated, others copied as they are.
tesra_error_t copy_counter_values(const tesra_counter_data_t_v6_0 &src,
                                  tesra_counter_data_t_v6_0 &dst) {
    dst.value_type = src.value_type;
    dst.num_values = src.num_values;
    if (src.values == nullptr) return TESRA_NULL_POINTER;
    auto *values = tesra::c_calloc<tesra_cnt_value_t>(src.num_values);
    if (values == nullptr) return TESRA_NULL_POINTER;
    dst.values = values;
    for (uint32_t i = 0; i < src.num_values; ++i) {
        if (src.value_type == TESRA_CNT_STRING) {
            if (!dup_into(src.values[i].val_str, &values[i].val_str)) return TESRA_NULL_POINTER;
        } else {
            values[i] = src.values[i];
        }
    }
    return TESRA_SUCCESS;
}

}  // namespace

extern "C" tesra_error_t tesra_copy_system_def_v6_0(tesra_system_def_t_v6_0 *src,
                                                    tesra_system_def_t_v6_0 *dst) {
    if (auto rc = check_copy(src, dst); rc != TESRA_SUCCESS) return rc;
    TESRA_UTIL_ASSERT(dst->nelvo_version == nullptr && dst->node_uuid == nullptr &&
                      dst->hostname == nullptr && dst->model == nullptr &&
                      dst->serial_number == nullptr && dst->system_id == nullptr &&
                      dst->cluster_name == nullptr && dst->cluster_id == nullptr &&
                      dst->process_name == nullptr && dst->store_name == nullptr);
    copy_version(*src, *dst);
    dst->base_time = src->base_time;
    const bool ok = dup_into(src->nelvo_version, &dst->nelvo_version) &&
                    dup_into(src->node_uuid, &dst->node_uuid) &&
                    dup_into(src->hostname, &dst->hostname) && dup_into(src->model, &dst->model) &&
                    dup_into(src->serial_number, &dst->serial_number) &&
                    dup_into(src->system_id, &dst->system_id) &&
                    dup_into(src->cluster_name, &dst->cluster_name) &&
                    dup_into(src->cluster_id, &dst->cluster_id) &&
                    dup_into(src->process_name, &dst->process_name) &&
                    dup_into(src->store_name, &dst->store_name);
    return ok ? TESRA_SUCCESS : TESRA_NULL_POINTER;
}

extern "C" tesra_error_t tesra_copy_header_def_v6_0(tesra_header_def_t_v6_0 *src,
                                                    tesra_header_def_t_v6_0 *dst) {
    if (auto rc = check_copy(src, dst); rc != TESRA_SUCCESS) return rc;
    TESRA_UTIL_ASSERT(dst->preset_version == nullptr);
    copy_version(*src, *dst);
    dst->generation_id = src->generation_id;
    return dup_into(src->preset_version, &dst->preset_version) ? TESRA_SUCCESS : TESRA_NULL_POINTER;
}

extern "C" tesra_error_t tesra_copy_attr_def_v6_0(tesra_attribute_def_t_v6_0 *src,
                                                  tesra_attribute_def_t_v6_0 *dst) {
    if (auto rc = check_copy(src, dst); rc != TESRA_SUCCESS) return rc;
    TESRA_UTIL_ASSERT(dst->name == nullptr && dst->desc == nullptr);
    copy_version(*src, *dst);
    dst->value = src->value;
    const bool ok = dup_into(src->name, &dst->name) && dup_into(src->desc, &dst->desc);
    return ok ? TESRA_SUCCESS : TESRA_NULL_POINTER;
}

extern "C" tesra_error_t tesra_copy_object_def_v6_0(tesra_object_def_t_v6_0 *src,
                                                    tesra_object_def_t_v6_0 *dst) {
    if (auto rc = check_copy(src, dst); rc != TESRA_SUCCESS) return rc;
    TESRA_UTIL_ASSERT(dst->name == nullptr && dst->priv == nullptr);
    copy_version(*src, *dst);
    dst->obj_id = src->obj_id;
    const bool ok = dup_into(src->name, &dst->name) && dup_into(src->priv, &dst->priv);
    return ok ? TESRA_SUCCESS : TESRA_NULL_POINTER;
}

extern "C" tesra_error_t tesra_copy_counter_def_v6_0(tesra_counter_def_t_v6_0 *src,
                                                     tesra_counter_def_t_v6_0 *dst) {
    if (auto rc = check_copy(src, dst); rc != TESRA_SUCCESS) return rc;
    TESRA_UTIL_ASSERT(dst->name == nullptr && dst->desc == nullptr && dst->priv == nullptr &&
                      dst->x_names == nullptr && dst->y_names == nullptr);
    copy_version(*src, *dst);
    dst->ctype = src->ctype;
    dst->size = src->size;
    dst->is_key = src->is_key;
    dst->cnt_id = src->cnt_id;
    dst->base_id = src->base_id;
    dst->num_x_items = src->num_x_items;
    dst->num_y_items = src->num_y_items;
    if (!dup_into(src->name, &dst->name) || !dup_into(src->priv, &dst->priv) ||
        !dup_into(src->desc, &dst->desc))
        return TESRA_NULL_POINTER;
    if (auto rc = copy_name_list(src->x_names, src->num_x_items, &dst->x_names);
        rc != TESRA_SUCCESS)
        return rc;
    if (auto rc = copy_name_list(src->y_names, src->num_y_items, &dst->y_names);
        rc != TESRA_SUCCESS)
        return rc;
    // A definition carries one period; the handle's list grows later, one period at a time.
    dst->periods[0] = src->periods[0];
    dst->num_periods = src->num_periods;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_copy_aggregation_def_v6_0(tesra_aggregation_def_t_v6_0 *src,
                                                         tesra_aggregation_def_t_v6_0 *dst) {
    if (auto rc = check_copy(src, dst); rc != TESRA_SUCCESS) return rc;
    TESRA_UTIL_ASSERT(dst->aggr_type == nullptr && dst->inst_name == nullptr &&
                      dst->inst_uuid == nullptr);
    copy_version(*src, *dst);
    dst->gi_max_records = src->gi_max_records;
    if (!dup_into(src->aggr_type, &dst->aggr_type) || !dup_into(src->inst_name, &dst->inst_name) ||
        !dup_into(src->inst_uuid, &dst->inst_uuid))
        return TESRA_NULL_POINTER;
    if (src->aggr_name != nullptr && !dup_into(src->aggr_name, &dst->aggr_name))
        return TESRA_NULL_POINTER;
    if (src->inst_list_req_filter != nullptr &&
        !dup_into(src->inst_list_req_filter, &dst->inst_list_req_filter))
        return TESRA_NULL_POINTER;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_copy_query_def_v6_0(tesra_query_def_t_v6_0 *src,
                                                   tesra_query_def_t_v6_0 *dst) {
    if (auto rc = check_copy(src, dst); rc != TESRA_SUCCESS) return rc;
    TESRA_UTIL_ASSERT(dst->object_name == nullptr && dst->key_cnt_names == nullptr &&
                      dst->key_cnt_values == nullptr && dst->cnt_names == nullptr);
    copy_version(*src, *dst);
    dst->num_key_cnts = src->num_key_cnts;
    dst->num_cnts = src->num_cnts;
    dst->start_time = src->start_time;
    dst->end_time = src->end_time;
    dst->period = src->period;
    if (!dup_into(src->object_name, &dst->object_name)) return TESRA_NULL_POINTER;

    // Both key arrays exist even for a query without key counters.
    const uint32_t n = src->num_key_cnts;
    if (n != 0 && (src->key_cnt_names == nullptr || src->key_cnt_values == nullptr))
        return TESRA_NULL_POINTER;
    const char **names = tesra::c_calloc<const char *>(n);
    if (names == nullptr) return TESRA_NULL_POINTER;
    dst->key_cnt_names = names;
    for (uint32_t j = 0; j < n; ++j) {
        if (!dup_into(src->key_cnt_names[j], &names[j])) return TESRA_NULL_POINTER;
    }
    auto *values = tesra::c_calloc<tesra_counter_data_t_v6_0>(n);
    if (values == nullptr) return TESRA_NULL_POINTER;
    dst->key_cnt_values = values;
    for (uint32_t j = 0; j < n; ++j) {
        if (auto rc = copy_counter_values(src->key_cnt_values[j], values[j]); rc != TESRA_SUCCESS)
            return rc;
    }
    // The counter names are not kept: the query resolves its counters from the caller's record
    // while it is built, and the copy keeps only their number.
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_copy_directory_def_v6_0(tesra_directory_def_t_v6_0 *src,
                                                       tesra_directory_def_t_v6_0 *dst) {
    if (auto rc = check_copy(src, dst); rc != TESRA_SUCCESS) return rc;
    TESRA_UTIL_ASSERT(dst->directory_path == nullptr);
    copy_version(*src, *dst);
    dst->start_time = src->start_time;
    dst->end_time = src->end_time;
    dst->period = src->period;
    return dup_into(src->directory_path, &dst->directory_path) ? TESRA_SUCCESS : TESRA_NULL_POINTER;
}

extern "C" tesra_error_t tesra_copy_collection_def_v6_0(tesra_collection_def_t_v6_0 *src,
                                                        tesra_collection_def_t_v6_0 *dst) {
    if (auto rc = check_copy(src, dst); rc != TESRA_SUCCESS) return rc;
    TESRA_UTIL_ASSERT(dst->collection_path == nullptr);
    copy_version(*src, *dst);
    dst->start_time = src->start_time;
    dst->end_time = src->end_time;
    return dup_into(src->collection_path, &dst->collection_path) ? TESRA_SUCCESS
                                                                 : TESRA_NULL_POINTER;
}
