// Building an archive's header in memory: system, attribute definitions, objects, aggregations
// and counters with the period records they bring. The reader rebuilds headers through the same
// operations, so nothing here assumes a handle that is open for writing.
#include <algorithm>
#include <cstring>
#include <memory>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "write_internal.h"

namespace tesra::write {
namespace {

inline constexpr uint32_t kInitialAttrDefs = 32;
inline constexpr uint32_t kInitialObjects = 250;

struct HeaderReleaser {
    void operator()(tesra_header_handle_t *h) const noexcept { tesra_free_header(h); }
};
struct ObjectReleaser {
    void operator()(tesra_object_handle_t *o) const noexcept { tesra_free_object(o); }
};
struct CounterReleaser {
    void operator()(tesra_counter_handle_t *c) const noexcept { tesra_free_counter(c); }
};
struct AggregationReleaser {
    void operator()(tesra_aggregation_handle_t *a) const noexcept { tesra_free_aggregation(a); }
};
struct AttrDefReleaser {
    void operator()(tesra_attribute_def_t_v6_0 *a) const noexcept { tesra_free_attr_def(a); }
};
struct PeriodReleaser {
    void operator()(tesra_period_t *p) const noexcept { tesra_free_period(p); }
};

bool same_text(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return a == b;
    return std::strcmp(a, b) == 0;
}

template <class T>
void take_version(T *child, const void *parent) {
    tesra_get_version(const_cast<void *>(parent), &child->major_v, &child->minor_v);
}

// The existing counter must describe the same values; the first differing field decides.
bool counter_matches(const tesra_counter_def_t_v6_0 &existing,
                     const tesra_counter_def_t_v6_0 &def) {
    return same_text(existing.name, def.name) && same_text(existing.priv, def.priv) &&
           existing.ctype == def.ctype && existing.size == def.size &&
           existing.base_id == def.base_id && same_text(existing.desc, def.desc) &&
           existing.is_key == def.is_key;
}

tesra_counter_handle_t *find_counter(tesra_object_handle_t *object, uint32_t cnt_id) {
    for (auto *c = object->i6_0.cnt_list; c != nullptr; c = c->i6_0.next_cnt_by_id) {
        if (c->e6_0.cnt_id == cnt_id) return c;
    }
    return nullptr;
}

// A period record with an empty slot table sized for the archive as it stands.
tesra_error_t make_period(tesra_object_handle_t *object,
                          uint64_t period,
                          uint32_t period_index,
                          std::unique_ptr<tesra_period_t, PeriodReleaser> *out) {
    std::unique_ptr<tesra_period_t, PeriodReleaser> rec(c_calloc<tesra_period_t>());
    if (!rec) return TESRA_NULL_POINTER;
    rec->object = object;
    rec->period = period;
    rec->period_index = period_index;
    const tesra_file_handle_t *file = object->i6_0.header->i6_0.data_file;
    if (auto rc = resize_slot_tables(rec.get(), initial_slot_count(file, period));
        rc != TESRA_SUCCESS) {
        return rc;
    }
    *out = std::move(rec);
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::write

// ---- header ---------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_create_header(tesra_file_handle_t *data_file,
                                             void *header_def,
                                             void *system_def,
                                             tesra_header_handle_t **header) {
    if (data_file == nullptr || header_def == nullptr || system_def == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    if (!tesra_is_version(header_def, data_file->major_v, data_file->minor_v)) {
        return TESRA_VERSION_MISMATCH;
    }
    if (!tesra_is_version(system_def, data_file->major_v, data_file->minor_v)) {
        return TESRA_VERSION_MISMATCH;
    }
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_create_header_v6_0(data_file, static_cast<tesra_header_def_t_v6_0 *>(header_def),
                                    static_cast<tesra_system_def_t_v6_0 *>(system_def), header);
}

extern "C" tesra_error_t tesra_create_header_v6_0(tesra_file_handle_t *data_file,
                                                  tesra_header_def_t_v6_0 *header_def,
                                                  tesra_system_def_t_v6_0 *system_def,
                                                  tesra_header_handle_t **header) {
    if (data_file->i6_0.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    // Version 6.0 archives carry no cluster or store identity; the caller's record is blanked
    // so that what is validated and copied is what the archive will say.
    if (data_file->major_v == 6 && data_file->minor_v == 0) {
        system_def->cluster_name = "";
        system_def->cluster_id = "";
        system_def->process_name = "";
        system_def->store_name = "";
    }
    if (auto rc = tesra_validate_header_def_v6_0(header_def); rc != TESRA_SUCCESS) return rc;
    if (auto rc = tesra_validate_system_def_v6_0(system_def); rc != TESRA_SUCCESS) return rc;

    std::unique_ptr<tesra_header_handle_t, tesra::write::HeaderReleaser> h(
        tesra::c_calloc<tesra_header_handle_t>());
    if (!h) {
        *header = nullptr;
        return TESRA_NULL_POINTER;
    }
    tesra::write::take_version(h.get(), data_file);
    tesra::write::take_version(&h->i6_0.system, data_file);
    auto &hi = h->i6_0;
    bool built = tesra_copy_header_def_v6_0(header_def, &h->e6_0) == TESRA_SUCCESS &&
                 tesra_copy_system_def_v6_0(system_def, &hi.system.e6_0) == TESRA_SUCCESS;
    if (built) {
        hi.objects = tesra::c_calloc<tesra_object_handle_t *>(tesra::write::kInitialObjects);
        hi.attr_defs =
            tesra::c_calloc<tesra_attribute_def_t_v6_0 *>(tesra::write::kInitialAttrDefs);
        hi.section_defs = tesra::c_calloc<tesra_section_def_t_v6_0>(TOTAL_NUM_SECTIONS);
        built = hi.objects != nullptr && hi.attr_defs != nullptr && hi.section_defs != nullptr;
    }
    if (!built) {
        *header = nullptr;
        return TESRA_NULL_POINTER;
    }
    hi.objects_array_size = tesra::write::kInitialObjects;
    hi.attr_array_size = tesra::write::kInitialAttrDefs;
    for (int i = 0; i < TOTAL_NUM_SECTIONS; ++i) {
        hi.section_defs[i].section_type = static_cast<tesra_section_t>(i);
        hi.section_defs[i].section_version = tesra::format::kSectionVersion;
    }
    hi.data_file = data_file;
    data_file->i6_0.header = h.get();
    *header = h.release();
    return TESRA_SUCCESS;
}

// ---- attribute definitions ------------------------------------------------------------------

extern "C" tesra_error_t tesra_add_attr_def(tesra_header_handle_t *header, void *attr_def) {
    if (header == nullptr || attr_def == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(attr_def, header->major_v, header->minor_v)) {
        return TESRA_VERSION_MISMATCH;
    }
    if (!tesra_is_version(attr_def, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_add_attr_def_v6_0(header, static_cast<tesra_attribute_def_t_v6_0 *>(attr_def));
}

extern "C" tesra_error_t tesra_add_attr_def_v6_0(tesra_header_handle_t *header,
                                                 tesra_attribute_def_t_v6_0 *attr_def) {
    if (auto rc = tesra_validate_attr_def_v6_0(attr_def); rc != TESRA_SUCCESS) return rc;
    auto &hi = header->i6_0;
    if (hi.num_attr_defs == hi.attr_array_size) {
        if (hi.attr_array_size > UINT32_MAX / 2) return TESRA_NULL_POINTER;
        const uint32_t capacity =
            hi.attr_array_size == 0 ? tesra::write::kInitialAttrDefs : hi.attr_array_size * 2;
        auto *table = tesra::c_calloc<tesra_attribute_def_t_v6_0 *>(capacity);
        if (table == nullptr) return TESRA_NULL_POINTER;
        if (hi.num_attr_defs != 0) std::copy_n(hi.attr_defs, hi.num_attr_defs, table);
        std::free(hi.attr_defs);
        hi.attr_defs = table;
        hi.attr_array_size = capacity;
    }
    std::unique_ptr<tesra_attribute_def_t_v6_0, tesra::write::AttrDefReleaser> entry(
        tesra::c_calloc<tesra_attribute_def_t_v6_0>());
    if (!entry) return TESRA_NULL_POINTER;
    // A half-copied entry is released here: the header frees only the counted entries.
    if (auto rc = tesra_copy_attr_def_v6_0(attr_def, entry.get()); rc != TESRA_SUCCESS) return rc;
    hi.attr_defs[hi.num_attr_defs++] = entry.release();
    return TESRA_SUCCESS;
}

// ---- objects --------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_add_object(tesra_header_handle_t *header,
                                          void *object_def,
                                          tesra_object_handle_t **object) {
    if (header == nullptr || object_def == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(object_def, header->major_v, header->minor_v)) {
        return TESRA_VERSION_MISMATCH;
    }
    if (!tesra_is_version(object_def, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_add_object_v6_0(header, static_cast<tesra_object_def_t_v6_0 *>(object_def),
                                 object);
}

extern "C" tesra_error_t tesra_add_object_v6_0(tesra_header_handle_t *header,
                                               tesra_object_def_t_v6_0 *object_def,
                                               tesra_object_handle_t **object) {
    if (auto rc = tesra_validate_object_def_v6_0(object_def); rc != TESRA_SUCCESS) return rc;
    auto &hi = header->i6_0;
    const uint32_t id = object_def->obj_id;
    if (id < hi.objects_array_size && hi.objects[id] != nullptr) {
        *object = hi.objects[id];
        return TESRA_SUCCESS;
    }
    if (id > tesra::format::kMaxObjectId) return TESRA_INVALID_ARGUMENTS;

    std::unique_ptr<tesra_object_handle_t, tesra::write::ObjectReleaser> obj(
        tesra::c_calloc<tesra_object_handle_t>());
    if (!obj) return TESRA_NULL_POINTER;
    tesra::write::take_version(obj.get(), header);
    if (auto rc = tesra_copy_object_def_v6_0(object_def, &obj->e6_0); rc != TESRA_SUCCESS) {
        return rc;
    }
    obj->i6_0.header = header;

    if (id >= hi.objects_array_size) {
        uint64_t capacity =
            hi.objects_array_size == 0 ? tesra::write::kInitialObjects : hi.objects_array_size;
        while (capacity <= id) capacity *= 2;
        auto *table = tesra::c_calloc<tesra_object_handle_t *>(capacity);
        if (table == nullptr) return TESRA_NULL_POINTER;
        if (hi.objects_array_size != 0) std::copy_n(hi.objects, hi.objects_array_size, table);
        std::free(hi.objects);
        hi.objects = table;
        hi.objects_array_size = static_cast<uint32_t>(capacity);
    }
    // The list insertion is the only step that can still fail; the table and count follow it.
    if (auto rc = tesra_add_object_to_list(&hi.object_list, obj.get()); rc != TESRA_SUCCESS) {
        return rc;
    }
    hi.objects[id] = obj.get();
    ++hi.num_objects_sampled;
    *object = obj.release();
    return TESRA_SUCCESS;
}

// ---- aggregations ---------------------------------------------------------------------------

extern "C" tesra_error_t tesra_add_aggregation(tesra_object_handle_t *object,
                                               void *aggr_def,
                                               tesra_aggregation_handle_t **aggregation) {
    if (object == nullptr || aggr_def == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(aggr_def, object->major_v, object->minor_v)) {
        return TESRA_VERSION_MISMATCH;
    }
    if (!tesra_is_version(object, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_add_aggregation_v6_0(object, static_cast<tesra_aggregation_def_t_v6_0 *>(aggr_def),
                                      aggregation);
}

extern "C" tesra_error_t tesra_add_aggregation_v6_0(tesra_object_handle_t *object,
                                                    tesra_aggregation_def_t_v6_0 *aggr_def,
                                                    tesra_aggregation_handle_t **aggregation) {
    if (auto rc = tesra_validate_aggregation_def_v6_0(aggr_def); rc != TESRA_SUCCESS) return rc;
    for (auto *a = object->i6_0.aggregation_list; a != nullptr; a = a->i6_0.next_agg_in_list) {
        if (tesra::write::same_text(a->e6_0.aggr_type, aggr_def->aggr_type) &&
            tesra::write::same_text(a->e6_0.inst_name, aggr_def->inst_name) &&
            tesra::write::same_text(a->e6_0.inst_uuid, aggr_def->inst_uuid)) {
            *aggregation = a;
            return TESRA_SUCCESS;
        }
    }
    std::unique_ptr<tesra_aggregation_handle_t, tesra::write::AggregationReleaser> agg(
        tesra::c_calloc<tesra_aggregation_handle_t>());
    if (!agg) return TESRA_NULL_POINTER;
    tesra::write::take_version(agg.get(), object);
    if (auto rc = tesra_copy_aggregation_def_v6_0(aggr_def, &agg->e6_0); rc != TESRA_SUCCESS) {
        return rc;
    }
    agg->i6_0.object = object;
    if (auto rc = tesra_add_aggregation_to_list(&object->i6_0.aggregation_list, agg.get());
        rc != TESRA_SUCCESS) {
        return rc;
    }
    *aggregation = agg.release();
    return TESRA_SUCCESS;
}

// ---- counters -------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_add_counter(tesra_object_handle_t *object,
                                           void *counter_def,
                                           tesra_counter_handle_t **counter) {
    if (object == nullptr || counter_def == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(counter_def, object->major_v, object->minor_v)) {
        return TESRA_VERSION_MISMATCH;
    }
    if (!tesra_is_version(object, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_add_counter_v6_0(object, static_cast<tesra_counter_def_t_v6_0 *>(counter_def),
                                  counter);
}

extern "C" tesra_error_t tesra_add_counter_v6_0(tesra_object_handle_t *object,
                                                tesra_counter_def_t_v6_0 *counter_def,
                                                tesra_counter_handle_t **counter) {
    if (auto rc = tesra_validate_counter_def_v6_0(counter_def); rc != TESRA_SUCCESS) return rc;
    const uint64_t p = counter_def->periods[0];
    const bool is_key = counter_def->is_key;
    auto &oi = object->i6_0;

    std::unique_ptr<tesra_counter_handle_t, tesra::write::CounterReleaser> fresh;
    tesra_counter_handle_t *k = tesra::write::find_counter(object, counter_def->cnt_id);
    if (k == nullptr) {
        fresh.reset(tesra::c_calloc<tesra_counter_handle_t>());
        if (!fresh) return TESRA_NULL_POINTER;
        tesra::write::take_version(fresh.get(), object);
        if (auto rc = tesra_copy_counter_def_v6_0(counter_def, &fresh->e6_0); rc != TESRA_SUCCESS) {
            return rc;
        }
        fresh->i6_0.object = object;
        k = fresh.get();
    } else {
        if (!tesra::write::counter_matches(k->e6_0, *counter_def)) return TESRA_COUNTER_MISMATCH;
        const tesra_error_t rc = tesra_add_period_to_counter_v6_0(p, k);
        if (rc != TESRA_SUCCESS && rc != TESRA_PERIOD_EXISTS) return rc;
        *counter = k;
        // A key counter lies in every period of its object already; only its first period
        // carries a link.
        if (is_key || rc == TESRA_PERIOD_EXISTS) return TESRA_SUCCESS;
    }

    tesra_period_t *prev = nullptr;
    tesra_period_t *at = oi.period_list;
    while (at != nullptr && at->period < p) {
        prev = at;
        at = at->next_period;
    }
    uint32_t period_index = 0;
    if (auto rc = tesra_get_period_index(p, &period_index); rc != TESRA_SUCCESS) return rc;

    // Everything that can fail is prepared before any list is touched, so that a failure never
    // leaves a released counter linked into the object.
    std::unique_ptr<tesra_period_t, tesra::write::PeriodReleaser> made;
    tesra_period_t *target = at;
    if (at == nullptr || at->period != p) {
        if (auto rc = tesra::write::make_period(object, p, period_index, &made);
            rc != TESRA_SUCCESS)
            return rc;
        target = made.get();
    }

    if (fresh && is_key) {
        if (auto rc = tesra_add_counter_to_list(&oi.key_cnt_list, k, TESRA_CNT_KEY, 0);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        ++oi.num_key_cnts_sampled;
    }
    if (!is_key) {
        if (auto rc = tesra_add_counter_to_list(&target->cnt_list, k, TESRA_CNT_PERIOD, p);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        ++target->num_cnts;
    }
    if (made) {
        made->next_period = at;
        (prev == nullptr ? oi.period_list : prev->next_period) = made.release();
        ++oi.num_periods;
    }
    k->i6_0.periods[period_index] = target;
    if (fresh) {
        if (auto rc = tesra_add_counter_to_list(&oi.cnt_list, k, TESRA_CNT_ID, 0);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        ++oi.num_cnts_sampled;
        fresh.release();
    }
    *counter = k;
    return TESRA_SUCCESS;
}

// ---- operations kept for callers of older interfaces: they accept and change nothing --------

extern "C" tesra_error_t tesra_delete_counter(tesra_object_handle_t *object,
                                              tesra_counter_handle_t *counter) {
    if (object == nullptr || counter == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(counter, object->major_v, object->minor_v)) return TESRA_VERSION_MISMATCH;
    if (!tesra_is_version(counter, 6, 0)) return TESRA_INVALID_VERSION;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_delete_object(tesra_header_handle_t *header,
                                             tesra_object_handle_t *object) {
    if (header == nullptr || object == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(object, header->major_v, header->minor_v)) return TESRA_VERSION_MISMATCH;
    if (!tesra_is_version(object, 6, 0)) return TESRA_INVALID_VERSION;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_copy_counter(tesra_object_handle_t *, tesra_counter_handle_t *) {
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_copy_header(tesra_file_handle_t *, tesra_header_handle_t *) {
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_copy_object(tesra_header_handle_t *, tesra_object_handle_t *) {
    return TESRA_SUCCESS;
}
