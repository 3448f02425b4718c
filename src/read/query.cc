// Queries: one object's chosen counters over a time range, resolved once against the header
// into counter handles, key counters, the periods to read and the sample times.
#include <vector>

#include "tesra/tesra_int_defs.h"

#include "common/guard.h"
#include "read/read_internal.h"

namespace tesra::read {
namespace {

// Counter names and handles being resolved; the names are freed unless published.
struct ResolvedCounters {
    std::vector<c_ptr<char>> names;
    std::vector<tesra_counter_handle_t *> counters;
};

tesra_error_t resolve_all_counters(const tesra_object_handle_t &object, ResolvedCounters *out) {
    const uint32_t total = object.i6_0.num_cnts_sampled;
    const uint32_t keys = object.i6_0.num_key_cnts_sampled;
    const uint32_t n = total > keys ? total - keys : 0;
    for (tesra_counter_handle_t *c = object.i6_0.cnt_list; c != nullptr && out->counters.size() < n;
         c = c->i6_0.next_cnt_by_id) {
        if (c->e6_0.is_key) continue;
        c_ptr<char> name(c_strdup(c->e6_0.name));
        if (!name) return TESRA_NULL_POINTER;
        out->names.push_back(std::move(name));
        out->counters.push_back(c);
    }
    return out->counters.empty() ? TESRA_INVALID_QUERY : TESRA_SUCCESS;
}

tesra_error_t resolve_named_counters(tesra_object_handle_t &object,
                                     const tesra_query_def_t_v6_0 &def,
                                     ResolvedCounters *out) {
    for (uint32_t i = 0; i < def.num_cnts; ++i) {
        c_ptr<char> name(c_strdup(def.cnt_names == nullptr ? nullptr : def.cnt_names[i]));
        if (!name) return TESRA_NULL_POINTER;
        tesra_counter_handle_t *c = nullptr;
        // Callers have always been told TESRA_NULL_POINTER for a counter the object lacks.
        if (tesra_find_counter_by_name_v6_0(&object, name.get(), &c, false) != TESRA_SUCCESS) {
            return TESRA_NULL_POINTER;
        }
        out->names.push_back(std::move(name));
        out->counters.push_back(c);
    }
    return TESRA_SUCCESS;
}

tesra_error_t get_query_counters(tesra_query_handle_t &query, const tesra_query_def_t_v6_0 &def) {
    tesra_object_handle_t *object = query.i6_0.object;
    if (object == nullptr) return TESRA_NULL_POINTER;

    c_ptr<tesra_counter_handle_t *> key_counters(
        c_calloc<tesra_counter_handle_t *>(def.num_key_cnts));
    if (!key_counters) return TESRA_NULL_POINTER;
    for (uint32_t i = 0; i < def.num_key_cnts; ++i) {
        const char *name = def.key_cnt_names == nullptr ? nullptr : def.key_cnt_names[i];
        if (name == nullptr) return TESRA_NULL_POINTER;
        if (auto rc = tesra_find_counter_by_name_v6_0(object, name, &key_counters.get()[i], false);
            rc != TESRA_SUCCESS) {
            return rc;
        }
    }

    ResolvedCounters resolved;
    auto rc = def.num_cnts == 0 ? resolve_all_counters(*object, &resolved)
                                : resolve_named_counters(*object, def, &resolved);
    if (rc != TESRA_SUCCESS) return rc;

    const auto n = static_cast<uint32_t>(resolved.counters.size());
    c_ptr<const char *> names(c_calloc<const char *>(n));
    c_ptr<tesra_counter_handle_t *> counters(c_calloc<tesra_counter_handle_t *>(n));
    if (!names || !counters) return TESRA_NULL_POINTER;
    // Nothing below can fail. The copied definition's own names give way to the resolved ones.
    for (uint32_t i = 0; i < n; ++i) {
        names.get()[i] = resolved.names[i].release();
        counters.get()[i] = resolved.counters[i];
    }
    if (query.e6_0.cnt_names != nullptr) {
        for (uint32_t i = 0; i < query.e6_0.num_cnts; ++i) c_free(query.e6_0.cnt_names[i]);
        c_free(query.e6_0.cnt_names);
    }
    query.e6_0.cnt_names = names.release();
    query.e6_0.num_cnts = n;
    std::free(query.i6_0.counters);
    query.i6_0.counters = counters.release();
    std::free(query.i6_0.key_counters);
    query.i6_0.key_counters = key_counters.release();
    return TESRA_SUCCESS;
}

tesra_error_t run_query(tesra_file_handle_t &file,
                        tesra_query_def_t_v6_0 &def,
                        tesra_query_handle_t **out) {
    *out = nullptr;
    if (file.i6_0.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    if (auto rc = tesra_validate_query_def_v6_0(&def); rc != TESRA_SUCCESS) return rc;
    // A range that misses the archive leaves no trace, not even on the previous query.
    if (def.start_time > file.e6_0.end_time || def.end_time < file.e6_0.start_time) {
        return TESRA_SUCCESS;
    }
    tesra_object_handle_t *object = nullptr;
    if (auto rc = tesra_find_object_v6_0(file.i6_0.header, def.object_name, &object, false);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    replace_current(file.i6_0.query, static_cast<tesra_query_handle_t *>(nullptr));

    auto query = new_child_handle<tesra_query_handle_t>(file);
    if (!query) return TESRA_NULL_POINTER;
    if (auto rc = tesra_copy_query_def_v6_0(&def, &query->e6_0); rc != TESRA_SUCCESS) return rc;
    query->i6_0.data_file = &file;
    query->i6_0.object = object;
    if (auto rc = tesra_get_query_counters_v6_0(query.get(), &def); rc != TESRA_SUCCESS) return rc;
    if (auto rc = tesra_get_counters_periods_v6_0(query.get()); rc != TESRA_SUCCESS) return rc;
    if (auto rc = tesra_get_timestamps_v6_0(query.get()); rc != TESRA_SUCCESS) return rc;
    *out = query.get();
    file.i6_0.query = query.release();
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::read

using tesra::guarded;

extern "C" tesra_error_t tesra_query(tesra_file_handle_t *data_file,
                                     void *query_def,
                                     tesra_query_handle_t **query) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (query_def == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_query_v6_0(data_file, static_cast<tesra_query_def_t_v6_0 *>(query_def), query);
}

extern "C" tesra_error_t tesra_query_v6_0(tesra_file_handle_t *data_file,
                                          tesra_query_def_t_v6_0 *query_def,
                                          tesra_query_handle_t **query) {
    return guarded([&] { return tesra::read::run_query(*data_file, *query_def, query); });
}

extern "C" tesra_error_t tesra_get_query_counters_v6_0(tesra_query_handle_t *query_h,
                                                       tesra_query_def_t_v6_0 *query_def) {
    if (query_h == nullptr || query_def == nullptr) return TESRA_NULL_POINTER;
    if (!tesra_is_version(query_h, 6, 0)) return TESRA_INVALID_VERSION;
    return guarded([&] { return tesra::read::get_query_counters(*query_h, *query_def); });
}
