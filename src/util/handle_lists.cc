// The ordered chains of a header's objects and of an object's counters (by id, key and
// period), and the insertion-ordered chain of its aggregations.
#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "util_internal.h"

namespace tesra::util {
namespace {

// A new element joins a list only when it is at least as new as the list's head: the head's
// fields are what the list's owner was built with, and an older element may lack some.
bool fits_list(const void *head, const void *element) {
    if (head == nullptr) return true;
    const tesra_version_t h = read_version(head);
    return is_version(element, h.major_v, h.minor_v);
}

// Inserts `element` after every element whose key is not greater (so equal keys keep their
// insertion order). `next` names the link field that forms this chain.
template <class Handle, class Key, class Next>
void insert_ordered(Handle **head, Handle *element, Key key, Next next) {
    Handle **link = head;
    while (*link != nullptr && key(*link) <= key(element)) link = &next(*link);
    next(element) = *link;
    *link = element;
}

tesra_error_t add_object_to_list_v6_0(tesra_object_handle_t **object_list,
                                      tesra_object_handle_t *object) {
    insert_ordered(
        object_list, object, [](tesra_object_handle_t *o) { return o->e6_0.obj_id; },
        [](tesra_object_handle_t *o) -> tesra_object_handle_t *& { return o->i6_0.next_object; });
    return TESRA_SUCCESS;
}

tesra_error_t add_counter_to_list_v6_0(tesra_counter_handle_t **counter_list,
                                       tesra_counter_handle_t *counter,
                                       tesra_cnt_group_t type,
                                       uint64_t period) {
    const auto by_id = [](tesra_counter_handle_t *c) { return c->e6_0.cnt_id; };
    switch (type) {
        case TESRA_CNT_ID:
            insert_ordered(counter_list, counter, by_id,
                           [](tesra_counter_handle_t *c) -> tesra_counter_handle_t *& {
                               return c->i6_0.next_cnt_by_id;
                           });
            return TESRA_SUCCESS;
        case TESRA_CNT_KEY:
            insert_ordered(counter_list, counter, by_id,
                           [](tesra_counter_handle_t *c) -> tesra_counter_handle_t *& {
                               return c->i6_0.next_cnt_by_key;
                           });
            return TESRA_SUCCESS;
        case TESRA_CNT_PERIOD: {
            const auto index = period_index(period);
            if (!index) return TESRA_PERIOD_NOT_FOUND;
            insert_ordered(counter_list, counter, by_id,
                           [slot = *index](tesra_counter_handle_t *c) -> tesra_counter_handle_t *& {
                               return c->i6_0.next_cnt_by_period[slot];
                           });
            return TESRA_SUCCESS;
        }
    }
    return TESRA_INVALID_ARGUMENTS;
}

tesra_error_t add_aggregation_to_list_v6_0(tesra_aggregation_handle_t **aggr_list,
                                           tesra_aggregation_handle_t *aggr_h) {
    tesra_aggregation_handle_t **link = aggr_list;
    while (*link != nullptr) link = &(*link)->i6_0.next_agg_in_list;
    aggr_h->i6_0.next_agg_in_list = nullptr;
    *link = aggr_h;
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::util

extern "C" tesra_error_t tesra_add_object_to_list(tesra_object_handle_t **object_list,
                                                  tesra_object_handle_t *object) {
    if (object == nullptr || object_list == nullptr) return TESRA_NULL_POINTER;
    if (!tesra::util::fits_list(*object_list, object)) return TESRA_VERSION_MISMATCH;
    // Only the version-6 layout exists; linking anything else through it would corrupt the list.
    if (!tesra::util::is_v6(object)) return TESRA_INVALID_VERSION;
    return tesra::util::add_object_to_list_v6_0(object_list, object);
}

extern "C" tesra_error_t tesra_add_counter_to_list(tesra_counter_handle_t **counter_list,
                                                   tesra_counter_handle_t *counter,
                                                   tesra_cnt_group_t type,
                                                   uint64_t period) {
    if (counter == nullptr || counter_list == nullptr || static_cast<uint32_t>(type) > 2)
        return TESRA_INVALID_ARGUMENTS;
    if (!tesra::util::fits_list(*counter_list, counter)) return TESRA_VERSION_MISMATCH;
    if (!tesra::util::is_v6(counter)) return TESRA_INVALID_VERSION;
    return tesra::util::add_counter_to_list_v6_0(counter_list, counter, type, period);
}

extern "C" tesra_error_t tesra_add_aggregation_to_list(tesra_aggregation_handle_t **aggr_list,
                                                       tesra_aggregation_handle_t *aggr_h) {
    if (aggr_h == nullptr || aggr_list == nullptr) return TESRA_INVALID_ARGUMENTS;
    return tesra::util::add_aggregation_to_list_v6_0(aggr_list, aggr_h);
}
