// Exploring an opened archive's header: information copies, object and counter lookups and
// walks with their cursors, an object's periods, and the choice of periods a query reads.
// Everything here only reads the in-memory header; no archive file is touched.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"

namespace tesra::read {
namespace {

bool is_v6(void *handle) {
    return tesra_is_version(handle, 6, 0);
}

tesra_period_t *find_period_entry(tesra_object_handle_t &object, uint64_t period) {
    for (auto *p = object.i6_0.period_list; p != nullptr; p = p->next_period) {
        if (p->period == period) return p;
    }
    return nullptr;
}

// One protocol for every walk: `first` stores the head, `next` continues from the cursor and
// leaves the caller's variable alone when there is no cursor, and a find sets or clears it.
template <class Handle>
tesra_error_t walk_first(Handle *head, Handle **cursor, Handle **out, bool update_iter) {
    *out = head;
    if (update_iter) *cursor = head;
    return TESRA_SUCCESS;
}

template <class Handle, class Next>
tesra_error_t walk_next(Handle **cursor, Handle **out, bool update_iter, Next next_of) {
    if (*cursor == nullptr) return TESRA_SUCCESS;
    Handle *next = next_of(*cursor);
    *out = next;
    if (update_iter) *cursor = next;
    return TESRA_SUCCESS;
}

template <class Handle, class Next, class Match>
tesra_error_t walk_find(Handle *head,
                        Handle **cursor,
                        Handle **out,
                        bool update_iter,
                        Next next_of,
                        Match matches,
                        tesra_error_t not_found) {
    Handle *found = head;
    while (found != nullptr && !matches(*found)) found = next_of(found);
    *out = found;
    if (update_iter) *cursor = found;
    return found != nullptr ? TESRA_SUCCESS : not_found;
}

auto next_object_of = [](tesra_object_handle_t *o) { return o->i6_0.next_object; };
auto next_counter_of = [](tesra_counter_handle_t *c) { return c->i6_0.next_cnt_by_id; };

bool same_text(const char *a, const char *b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

}  // namespace
}  // namespace tesra::read

// ---- header and information copies ----------------------------------------------------------

extern "C" tesra_error_t tesra_get_header(tesra_file_handle_t *data_file,
                                          tesra_header_handle_t **header) {
    if (data_file == nullptr || header == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(data_file)) return TESRA_INVALID_VERSION;
    return tesra_get_header_v6_0(data_file, header);
}

extern "C" tesra_error_t tesra_get_header_v6_0(tesra_file_handle_t *data_file,
                                               tesra_header_handle_t **header) {
    if (data_file->i6_0.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    *header = data_file->i6_0.header;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_file_info(tesra_file_handle_t *data_file, void *file_info) {
    if (data_file == nullptr || file_info == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(data_file)) return TESRA_INVALID_VERSION;
    return tesra_get_file_info_v6_0(data_file, static_cast<tesra_file_def_t_v6_0 *>(file_info));
}

extern "C" tesra_error_t tesra_get_file_info_v6_0(tesra_file_handle_t *data_file,
                                                  tesra_file_def_t_v6_0 *file_info) {
    if (data_file->i6_0.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    *file_info = data_file->e6_0;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_header_info(tesra_header_handle_t *header, void *header_info) {
    if (header == nullptr || header_info == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(header)) return TESRA_INVALID_VERSION;
    return tesra_get_header_info_v6_0(header, static_cast<tesra_header_def_t_v6_0 *>(header_info));
}

extern "C" tesra_error_t tesra_get_header_info_v6_0(tesra_header_handle_t *header,
                                                    tesra_header_def_t_v6_0 *header_info) {
    *header_info = header->e6_0;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_system_info(tesra_header_handle_t *header, void *system_info) {
    if (header == nullptr || system_info == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(header)) return TESRA_INVALID_VERSION;
    return tesra_get_system_info_v6_0(header, static_cast<tesra_system_def_t_v6_0 *>(system_info));
}

extern "C" tesra_error_t tesra_get_system_info_v6_0(tesra_header_handle_t *header,
                                                    tesra_system_def_t_v6_0 *system_info) {
    *system_info = header->i6_0.system.e6_0;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_object_info(tesra_object_handle_t *object, void *object_info) {
    if (object == nullptr || object_info == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(object)) return TESRA_INVALID_VERSION;
    return tesra_get_object_info_v6_0(object, static_cast<tesra_object_def_t_v6_0 *>(object_info));
}

extern "C" tesra_error_t tesra_get_object_info_v6_0(tesra_object_handle_t *object,
                                                    tesra_object_def_t_v6_0 *object_info) {
    *object_info = object->e6_0;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_counter_info(tesra_counter_handle_t *counter,
                                                void *counter_info) {
    if (counter == nullptr || counter_info == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(counter)) return TESRA_INVALID_VERSION;
    return tesra_get_counter_info_v6_0(counter,
                                       static_cast<tesra_counter_def_t_v6_0 *>(counter_info));
}

extern "C" tesra_error_t tesra_get_counter_info_v6_0(tesra_counter_handle_t *counter,
                                                     tesra_counter_def_t_v6_0 *counter_info) {
    *counter_info = counter->e6_0;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_counter_type(tesra_counter_handle_t *counter,
                                                tesra_cnt_size_t *size,
                                                tesra_cnt_type_t *type,
                                                tesra_cnt_unit_t *unit) {
    if (counter == nullptr || size == nullptr || type == nullptr || unit == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    if (!tesra::read::is_v6(counter)) return TESRA_INVALID_VERSION;
    return tesra_get_counter_type_v6_0(counter, size, type, unit);
}

extern "C" tesra_error_t tesra_get_counter_type_v6_0(tesra_counter_handle_t *counter,
                                                     tesra_cnt_size_t *size,
                                                     tesra_cnt_type_t *type,
                                                     tesra_cnt_unit_t *unit) {
    const uint32_t ctype = counter->e6_0.ctype;
    *size = ctype & tesra::format::kCtypeSizeMask;
    *type = ctype & tesra::format::kCtypeTypeMask;
    *unit = ctype & tesra::format::kCtypeUnitMask;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_object_periods(tesra_object_handle_t *object,
                                                  uint64_t **periods,
                                                  uint32_t *num_periods) {
    if (object == nullptr || periods == nullptr || num_periods == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    if (!tesra::read::is_v6(object)) return TESRA_INVALID_VERSION;
    return tesra_get_object_periods_v6_0(object, periods, num_periods);
}

extern "C" tesra_error_t tesra_get_object_periods_v6_0(tesra_object_handle_t *object,
                                                       uint64_t **periods,
                                                       uint32_t *num_periods) {
    const uint32_t n = object->i6_0.num_periods;
    *num_periods = n;
    *periods = nullptr;
    if (n == 0) return TESRA_SUCCESS;
    tesra::c_ptr<uint64_t> array(tesra::c_calloc<uint64_t>(n));
    if (!array) return TESRA_NULL_POINTER;
    const tesra_period_t *p = object->i6_0.period_list;
    for (uint32_t i = 0; i < n; ++i, p = p->next_period) {
        if (p == nullptr) return TESRA_NULL_POINTER;  // the list is shorter than its count
        array.get()[i] = p->period;
    }
    *periods = array.release();
    return TESRA_SUCCESS;
}

// ---- objects -----------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_find_object(tesra_header_handle_t *header,
                                           const char *object_name,
                                           tesra_object_handle_t **object) {
    if (header == nullptr || object_name == nullptr || object == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    if (!tesra::read::is_v6(header)) return TESRA_INVALID_VERSION;
    return tesra_find_object_v6_0(header, object_name, object, true);
}

extern "C" tesra_error_t tesra_find_object_v6_0(tesra_header_handle_t *header,
                                                const char *object_name,
                                                tesra_object_handle_t **object,
                                                bool update_iter) {
    return tesra::read::walk_find(
        header->i6_0.object_list, &header->i6_0.current_object, object, update_iter,
        tesra::read::next_object_of,
        [&](const tesra_object_handle_t &o) {
            return tesra::read::same_text(o.e6_0.name, object_name);
        },
        TESRA_OBJECT_NOT_FOUND);
}

extern "C" tesra_error_t tesra_first_object(tesra_header_handle_t *header,
                                            tesra_object_handle_t **object) {
    if (header == nullptr || object == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(header)) return TESRA_INVALID_VERSION;
    return tesra_first_object_v6_0(header, object, true);
}

extern "C" tesra_error_t tesra_first_object_v6_0(tesra_header_handle_t *header,
                                                 tesra_object_handle_t **object,
                                                 bool update_iter) {
    return tesra::read::walk_first(header->i6_0.object_list, &header->i6_0.current_object, object,
                                   update_iter);
}

extern "C" tesra_error_t tesra_next_object(tesra_header_handle_t *header,
                                           tesra_object_handle_t **object) {
    if (header == nullptr || object == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(header)) return TESRA_INVALID_VERSION;
    return tesra_next_object_v6_0(header, object, true);
}

extern "C" tesra_error_t tesra_next_object_v6_0(tesra_header_handle_t *header,
                                                tesra_object_handle_t **object,
                                                bool update_iter) {
    return tesra::read::walk_next(&header->i6_0.current_object, object, update_iter,
                                  tesra::read::next_object_of);
}

// ---- counters of an object ---------------------------------------------------------------------

extern "C" tesra_error_t tesra_find_counter_by_id(tesra_object_handle_t *object,
                                                  uint32_t counter_id,
                                                  tesra_counter_handle_t **counter) {
    if (object == nullptr || counter == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(object)) return TESRA_INVALID_VERSION;
    return tesra_find_counter_by_id_v6_0(object, counter_id, counter, true);
}

extern "C" tesra_error_t tesra_find_counter_by_id_v6_0(tesra_object_handle_t *object,
                                                       uint32_t counter_id,
                                                       tesra_counter_handle_t **counter,
                                                       bool update_iter) {
    return tesra::read::walk_find(
        object->i6_0.cnt_list, &object->i6_0.current_cnt, counter, update_iter,
        tesra::read::next_counter_of,
        [&](const tesra_counter_handle_t &c) { return c.e6_0.cnt_id == counter_id; },
        TESRA_COUNTER_NOT_FOUND);
}

extern "C" tesra_error_t tesra_find_counter_by_name(tesra_object_handle_t *object,
                                                    const char *counter_name,
                                                    tesra_counter_handle_t **counter) {
    if (object == nullptr || counter_name == nullptr || counter == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    if (!tesra::read::is_v6(object)) return TESRA_INVALID_VERSION;
    return tesra_find_counter_by_name_v6_0(object, counter_name, counter, true);
}

extern "C" tesra_error_t tesra_find_counter_by_name_v6_0(tesra_object_handle_t *object,
                                                         const char *counter_name,
                                                         tesra_counter_handle_t **counter,
                                                         bool update_iter) {
    return tesra::read::walk_find(
        object->i6_0.cnt_list, &object->i6_0.current_cnt, counter, update_iter,
        tesra::read::next_counter_of,
        [&](const tesra_counter_handle_t &c) {
            return tesra::read::same_text(c.e6_0.name, counter_name);
        },
        TESRA_COUNTER_NOT_FOUND);
}

extern "C" tesra_error_t tesra_first_counter(tesra_object_handle_t *object,
                                             tesra_counter_handle_t **counter) {
    if (object == nullptr || counter == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(object)) return TESRA_INVALID_VERSION;
    return tesra_first_counter_v6_0(object, counter, true);
}

extern "C" tesra_error_t tesra_first_counter_v6_0(tesra_object_handle_t *object,
                                                  tesra_counter_handle_t **counter,
                                                  bool update_iter) {
    return tesra::read::walk_first(object->i6_0.cnt_list, &object->i6_0.current_cnt, counter,
                                   update_iter);
}

extern "C" tesra_error_t tesra_next_counter(tesra_object_handle_t *object,
                                            tesra_counter_handle_t **counter) {
    if (object == nullptr || counter == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(object)) return TESRA_INVALID_VERSION;
    return tesra_next_counter_v6_0(object, counter, true);
}

extern "C" tesra_error_t tesra_next_counter_v6_0(tesra_object_handle_t *object,
                                                 tesra_counter_handle_t **counter,
                                                 bool update_iter) {
    return tesra::read::walk_next(&object->i6_0.current_cnt, counter, update_iter,
                                  tesra::read::next_counter_of);
}

// ---- counters of an object at one period (key counters are in no period chain) -----------

extern "C" tesra_error_t tesra_first_counter_by_period(tesra_object_handle_t *object,
                                                       uint64_t period,
                                                       tesra_counter_handle_t **counter) {
    if (object == nullptr || counter == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(object)) return TESRA_INVALID_VERSION;
    return tesra_first_counter_by_period_v6_0(object, period, counter, true);
}

extern "C" tesra_error_t tesra_first_counter_by_period_v6_0(tesra_object_handle_t *object,
                                                            uint64_t period,
                                                            tesra_counter_handle_t **counter,
                                                            bool update_iter) {
    if (object->i6_0.num_cnts_sampled == 0) {
        *counter = nullptr;
        return TESRA_SUCCESS;
    }
    tesra_period_t *entry = tesra::read::find_period_entry(*object, period);
    if (entry == nullptr) {
        *counter = nullptr;
        return TESRA_PERIOD_NOT_FOUND;
    }
    *counter = entry->cnt_list;
    if (entry->cnt_list != nullptr && update_iter) entry->current_cnt = entry->cnt_list;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_next_counter_by_period(tesra_object_handle_t *object,
                                                      uint64_t period,
                                                      tesra_counter_handle_t **counter) {
    if (object == nullptr || counter == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_v6(object)) return TESRA_INVALID_VERSION;
    return tesra_next_counter_by_period_v6_0(object, period, counter, true);
}

extern "C" tesra_error_t tesra_next_counter_by_period_v6_0(tesra_object_handle_t *object,
                                                           uint64_t period,
                                                           tesra_counter_handle_t **counter,
                                                           bool update_iter) {
    uint32_t index = 0;
    tesra_period_t *entry = nullptr;
    if (tesra_get_period_index(period, &index) == TESRA_SUCCESS) {
        entry = tesra::read::find_period_entry(*object, period);
    }
    if (entry == nullptr) {
        *counter = nullptr;
        return TESRA_PERIOD_NOT_FOUND;
    }
    if (entry->current_cnt == nullptr) return TESRA_SUCCESS;
    tesra_counter_handle_t *next = entry->current_cnt->i6_0.next_cnt_by_period[index];
    *counter = next;
    if (update_iter) entry->current_cnt = next;
    return TESRA_SUCCESS;
}

// ---- periods a query reads -----------------------------------------------------------------

extern "C" tesra_error_t tesra_get_counters_periods_v6_0(tesra_query_handle_t *query) {
    if (query == nullptr) return TESRA_NULL_POINTER;
    constexpr uint32_t kOnce = tesra::format::kOnceIndex;
    tesra_period_t *chosen[TESRA_NUM_PERIODS] = {};
    uint32_t count = 0;
    const uint32_t num_cnts = query->i6_0.counters == nullptr ? 0 : query->e6_0.num_cnts;
    for (uint32_t i = 0; i < num_cnts; ++i) {
        const tesra_counter_handle_t *c = query->i6_0.counters[i];
        if (c == nullptr) continue;
        if (tesra::format::is_once_per_archive(query->e6_0.period)) {
            // The once-per-archive period is read only where a counter is sampled at it.
            if (c->i6_0.periods[kOnce] != nullptr) {
                chosen[0] = c->i6_0.periods[kOnce];
                count = 1;
                break;
            }
            continue;
        }
        // Otherwise each counter is read at its own smallest period.
        if (c->e6_0.num_periods == 0) continue;
        tesra_period_t *entry = nullptr;
        for (tesra_period_t *p : c->i6_0.periods) {
            if (p != nullptr && p->period == c->e6_0.periods[0]) {
                entry = p;
                break;
            }
        }
        if (entry == nullptr) continue;
        bool listed = false;
        for (uint32_t k = 0; k < count; ++k) listed = listed || chosen[k] == entry;
        // Distinct entries of one object are distinct periods, so the list never outgrows
        // the period table.
        if (!listed && count < TESRA_NUM_PERIODS) chosen[count++] = entry;
    }
    if (count == 0) return TESRA_PERIOD_NOT_FOUND;
    tesra::c_ptr<tesra_period_t *> periods(tesra::c_calloc<tesra_period_t *>(count));
    if (!periods) return TESRA_NULL_POINTER;
    std::copy_n(chosen, count, periods.get());
    std::free(query->i6_0.periods);
    query->i6_0.periods = periods.release();
    query->i6_0.num_periods = count;
    return TESRA_SUCCESS;
}
