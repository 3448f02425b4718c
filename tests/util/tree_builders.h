// Hand-built handle trees for the release tests: everything is calloc'ed and strdup'ed exactly
// as the writer and reader build it, so releasing it must leave nothing behind.
#pragma once

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "tesra/tesra_int_defs.h"

namespace tesra::test {

template <class T>
T *make(std::size_t n = 1) {
    return static_cast<T *>(std::calloc(n, sizeof(T)));
}

template <class T>
T *make_handle() {
    T *h = make<T>();
    h->major_v = 6;
    h->minor_v = 1;
    return h;
}

inline char *dup(const char *s) {
    return strdup(s);
}

inline const char **dup_list(std::initializer_list<const char *> names) {
    auto **out = make<const char *>(names.size());
    std::size_t i = 0;
    for (const char *n : names) out[i++] = dup(n);
    return out;
}

inline tesra_counter_handle_t *make_counter(uint32_t id, bool with_labels) {
    auto *c = make_handle<tesra_counter_handle_t>();
    c->e6_0.major_v = 6;
    c->e6_0.cnt_id = id;
    c->e6_0.name = dup("cnt");
    c->e6_0.priv = dup("basic");
    c->e6_0.desc = dup("a counter");
    if (with_labels) {
        c->e6_0.x_names = dup_list({"r", "w"});
        c->e6_0.num_x_items = 2;
        c->e6_0.y_names = dup_list({"a", "b", "c"});
        c->e6_0.num_y_items = 3;
    }
    return c;
}

// A period with `slots` record offsets; slot 1 holds a partial-record list, and slot 2 holds
// one whose count has dropped to 0 while its storage is still allocated.
inline tesra_period_t *make_period(uint64_t period, uint32_t slots) {
    auto *p = make<tesra_period_t>();
    p->period = period;
    p->num_offsets = slots;
    p->record_offsets = make<tesra_offset_t>(slots);
    p->iterative_record_offsets = make<tesra_iterative_record_offsets_t>(slots);
    if (slots > 1) {
        p->iterative_record_offsets[1].offsets = make<tesra_offset_t>(4);
        p->iterative_record_offsets[1].offsets_size = 4;
        p->iterative_record_offsets[1].num_offsets = 2;
    }
    if (slots > 2) {
        p->iterative_record_offsets[2].offsets = make<tesra_offset_t>(4);
        p->iterative_record_offsets[2].offsets_size = 4;
    }
    return p;
}

inline tesra_aggregation_handle_t *make_aggregation(bool with_optional) {
    auto *a = make_handle<tesra_aggregation_handle_t>();
    a->e6_0.aggr_type = dup("sum");
    a->e6_0.inst_name = dup("inst");
    a->e6_0.inst_uuid = dup("uuid");
    if (with_optional) {
        a->e6_0.aggr_name = dup("total");
        a->e6_0.inst_list_req_filter = dup("f");
    }
    return a;
}

// An object with three counters (one key counter, one with labels), two aggregations and two
// periods, linked as the writer links them.
inline tesra_object_handle_t *make_object(uint32_t id) {
    auto *o = make_handle<tesra_object_handle_t>();
    o->e6_0.obj_id = id;
    o->e6_0.name = dup("object");
    o->e6_0.priv = dup("basic");
    tesra_counter_handle_t *c1 = make_counter(1, false), *c2 = make_counter(2, true),
                           *c3 = make_counter(3, false);
    c1->e6_0.is_key = true;
    c1->i6_0.next_cnt_by_id = c2;
    c2->i6_0.next_cnt_by_id = c3;
    o->i6_0.cnt_list = c1;
    o->i6_0.num_cnts_sampled = 3;
    o->i6_0.key_cnt_list = c1;
    o->i6_0.num_key_cnts_sampled = 1;
    tesra_aggregation_handle_t *a1 = make_aggregation(true), *a2 = make_aggregation(false);
    a1->i6_0.next_agg_in_list = a2;
    o->i6_0.aggregation_list = a1;
    tesra_period_t *p1 = make_period(60000, 3), *p2 = make_period(3600000, 1);
    p1->next_period = p2;
    p1->cnt_list = c2;
    p2->cnt_list = c3;
    p1->object = p2->object = o;
    c2->i6_0.periods[4] = p1;
    c3->i6_0.periods[8] = p2;
    o->i6_0.period_list = p1;
    o->i6_0.num_periods = 2;
    o->i6_0.current_cnt = c2;
    return o;
}

inline tesra_system_def_t_v6_0 make_system() {
    tesra_system_def_t_v6_0 s{};
    s.major_v = 6;
    s.nelvo_version = dup("9.14");
    s.node_uuid = dup("uuid");
    s.hostname = dup("host");
    s.model = dup("model");
    s.serial_number = dup("sn");
    s.system_id = dup("sid");
    s.cluster_name = dup("cluster");
    s.cluster_id = dup("cid");
    s.process_name = dup("proc");
    s.store_name = dup("store");
    return s;
}

// A header with attribute definitions, sections, a sparse objects array and its object index.
inline tesra_header_handle_t *make_header() {
    auto *h = make_handle<tesra_header_handle_t>();
    h->e6_0.preset_version = dup("preset");
    h->i6_0.system.major_v = 6;
    h->i6_0.system.e6_0 = make_system();
    h->i6_0.attr_array_size = 4;
    h->i6_0.attr_defs = make<tesra_attribute_def_t_v6_0 *>(4);
    for (int i = 0; i < 2; ++i) {
        auto *a = make<tesra_attribute_def_t_v6_0>();
        a->major_v = 6;
        a->name = dup("attr");
        a->desc = dup("desc");
        h->i6_0.attr_defs[i] = a;
    }
    h->i6_0.num_attr_defs = 2;
    h->i6_0.section_defs = make<tesra_section_def_t_v6_0>(TOTAL_NUM_SECTIONS);
    h->i6_0.objects_array_size = 8;
    h->i6_0.objects = make<tesra_object_handle_t *>(8);
    tesra_object_handle_t *o2 = make_object(2), *o5 = make_object(5);
    h->i6_0.objects[2] = o2;
    h->i6_0.objects[5] = o5;
    o2->i6_0.next_object = o5;
    o2->i6_0.header = o5->i6_0.header = h;
    h->i6_0.object_list = o2;
    h->i6_0.current_object = o5;
    h->i6_0.num_objects_sampled = 2;
    h->i6_0.object_index = make<tesra_offset_t>(2 * TESRA_NUM_PERIODS);
    return h;
}

// Key counters: one of 8-byte values, one of strings.
inline void fill_key_counters(const char **&names,
                              tesra_counter_data_t_v6_0 *&values,
                              uint32_t &count) {
    names = dup_list({"node", "vol"});
    values = make<tesra_counter_data_t_v6_0>(2);
    values[0].value_type = TESRA_CNT_8BYTES;
    values[0].num_values = 2;
    values[0].values = make<tesra_cnt_value_t>(2);
    values[1].value_type = TESRA_CNT_STRING;
    values[1].num_values = 2;
    values[1].values = make<tesra_cnt_value_t>(2);
    values[1].values[0].val_str = dup("vol0");
    values[1].values[1].val_str = dup("vol1");
    count = 2;
}

inline tesra_counter_data_handle_t *make_counter_data(bool strings) {
    auto *d = make_handle<tesra_counter_data_handle_t>();
    d->e6_0.value_type = strings ? TESRA_CNT_STRING : TESRA_CNT_4BYTES;
    d->e6_0.num_values = 2;
    d->e6_0.values = make<tesra_cnt_value_t>(2);
    if (strings) {
        d->e6_0.values[0].val_str = dup("s0");
        d->e6_0.values[1].val_str = dup("s1");
    }
    return d;
}

inline tesra_instance_handle_t *make_instance(char *owner_buffer) {
    auto *i = make_handle<tesra_instance_handle_t>();
    fill_key_counters(i->e6_0.key_cnt_names, i->e6_0.key_cnt_values, i->e6_0.num_key_cnts);
    i->i6_0.instance_buffer = owner_buffer;  // borrowed
    i->i6_0.current_counter_data = make_counter_data(true);
    return i;
}

inline tesra_query_handle_t *make_query() {
    auto *q = make_handle<tesra_query_handle_t>();
    q->e6_0.object_name = dup("object");
    fill_key_counters(q->e6_0.key_cnt_names, q->e6_0.key_cnt_values, q->e6_0.num_key_cnts);
    q->e6_0.cnt_names = dup_list({"a", "b"});
    q->e6_0.num_cnts = 2;
    q->i6_0.timestamps = make<uint64_t>(3);
    q->i6_0.num_timestamps = 3;
    q->i6_0.counters = make<tesra_counter_handle_t *>(2);
    q->i6_0.key_counters = make<tesra_counter_handle_t *>(2);
    q->i6_0.periods = make<tesra_period_t *>(1);
    auto *ts = make_handle<tesra_timestamp_handle_t>();
    ts->i6_0.query = q;
    ts->i6_0.instances_buffer = make<char>(64);
    ts->i6_0.current_instance = make_instance(ts->i6_0.instances_buffer + 16);
    q->i6_0.current_timestamp = ts;
    return q;
}

inline tesra_record_handle_t *make_record() {
    auto *r = make_handle<tesra_record_handle_t>();
    r->i6_0.data_buffer = make<char>(128);
    r->i6_0.counters = make<tesra_counter_handle_t *>(3);
    r->i6_0.current_instance = make_instance(r->i6_0.data_buffer);
    return r;
}

inline tesra_file_def_t_v6_0 make_file_def() {
    tesra_file_def_t_v6_0 f{};
    f.major_v = 6;
    f.file_path = dup("/a/1_60_0_10");
    f.meta_path = dup("/a/1_60_0_10.meta");
    f.data_path = dup("/a/1_60_0_10.gz");
    return f;
}

}  // namespace tesra::test
