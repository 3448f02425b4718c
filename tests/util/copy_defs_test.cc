// Deep copies of definition records: ownership of the copy, version checks and the state a
// failed copy leaves behind (released through the handle that holds it).
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

#include "heap_count.h"

namespace {

using tesra::test::HeapBalance;

template <class T>
T *calloc_handle() {
    auto *h = static_cast<T *>(std::calloc(1, sizeof(T)));
    h->major_v = 6;
    return h;
}

tesra_counter_def_t_v6_0 counter_def() {
    static const char *x[] = {"read", "write"};
    static const char *y[] = {"lo", "mid", "hi"};
    tesra_counter_def_t_v6_0 d{};
    d.major_v = 6;
    d.minor_v = 1;
    d.name = "latency";
    d.priv = "diag";
    d.desc = "histogram";
    d.ctype = 0x10203;
    d.size = 48;
    d.is_key = true;
    d.periods[0] = 60000;
    d.periods[1] = 300000;  // a definition carries one period; this one is not copied
    d.num_periods = 1;
    d.cnt_id = 17;
    d.base_id = 3;
    d.x_names = x;
    d.num_x_items = 2;
    d.y_names = y;
    d.num_y_items = 3;
    return d;
}

TEST(CopyDefs, CounterCopyOwnsEveryStringAndKeepsOnePeriod) {
    HeapBalance balance;
    tesra_counter_def_t_v6_0 src = counter_def();
    tesra_counter_handle_t *h = calloc_handle<tesra_counter_handle_t>();
    tesra_counter_def_t_v6_0 &dst = h->e6_0;
    ASSERT_EQ(tesra_copy_counter_def_v6_0(&src, &dst), TESRA_SUCCESS);
    EXPECT_EQ(dst.major_v, 6u);
    EXPECT_EQ(dst.minor_v, 1u);
    EXPECT_STREQ(dst.name, "latency");
    EXPECT_NE(dst.name, src.name);
    EXPECT_STREQ(dst.priv, "diag");
    EXPECT_STREQ(dst.desc, "histogram");
    EXPECT_EQ(dst.ctype, 0x10203u);
    EXPECT_EQ(dst.size, 48u);
    EXPECT_TRUE(dst.is_key);
    EXPECT_EQ(dst.cnt_id, 17u);
    EXPECT_EQ(dst.base_id, 3u);
    EXPECT_EQ(dst.num_periods, 1);
    EXPECT_EQ(dst.periods[0], 60000u);
    EXPECT_EQ(dst.periods[1], 0u);
    ASSERT_EQ(dst.num_x_items, 2u);
    ASSERT_NE(dst.x_names, src.x_names);
    EXPECT_STREQ(dst.x_names[1], "write");
    EXPECT_NE(dst.x_names[1], src.x_names[1]);
    ASSERT_EQ(dst.num_y_items, 3u);
    EXPECT_STREQ(dst.y_names[2], "hi");
    tesra_free_counter(h);
}

TEST(CopyDefs, CounterWithoutLabelsLeavesArraysAbsent) {
    tesra_counter_def_t_v6_0 src = counter_def();
    src.num_x_items = 0;
    src.num_y_items = 0;
    tesra_counter_handle_t *h = calloc_handle<tesra_counter_handle_t>();
    ASSERT_EQ(tesra_copy_counter_def_v6_0(&src, &h->e6_0), TESRA_SUCCESS);
    EXPECT_EQ(h->e6_0.x_names, nullptr);
    EXPECT_EQ(h->e6_0.y_names, nullptr);
    tesra_free_counter(h);
}

TEST(CopyDefs, FailedLabelCopyLeavesReleasableHalfCopy) {
    HeapBalance balance;
    // The second label is missing: the copy stops there, keeping what it had duplicated.
    static const char *x[] = {"read", nullptr};
    tesra_counter_def_t_v6_0 src = counter_def();
    src.x_names = x;
    tesra_counter_handle_t *h = calloc_handle<tesra_counter_handle_t>();
    EXPECT_EQ(tesra_copy_counter_def_v6_0(&src, &h->e6_0), TESRA_NULL_POINTER);
    EXPECT_STREQ(h->e6_0.name, "latency");
    ASSERT_NE(h->e6_0.x_names, nullptr);
    EXPECT_STREQ(h->e6_0.x_names[0], "read");
    EXPECT_EQ(h->e6_0.x_names[1], nullptr);
    EXPECT_EQ(h->e6_0.y_names, nullptr);
    EXPECT_EQ(h->e6_0.num_periods, 0);
    tesra_free_counter(h);  // the sanitizer build proves nothing leaks
}

TEST(CopyDefs, FiveZeroSourceIsRefusedForEveryKind) {
    tesra_system_def_t_v6_0 sys{5, 0, 1, "v", "u", "h", "m", "s", "i", "c", "ci", "p", "st"};
    tesra_system_def_t_v6_0 sys_dst{};
    EXPECT_EQ(tesra_copy_system_def_v6_0(&sys, &sys_dst), TESRA_INVALID_VERSION);
    EXPECT_EQ(sys_dst.nelvo_version, nullptr);
    EXPECT_EQ(sys_dst.major_v, 0u);

    tesra_header_def_t_v6_0 hdr{5, 0, 1, "p"}, hdr_dst{};
    EXPECT_EQ(tesra_copy_header_def_v6_0(&hdr, &hdr_dst), TESRA_INVALID_VERSION);
    tesra_attribute_def_t_v6_0 attr{5, 0, "n", 1, "d"}, attr_dst{};
    EXPECT_EQ(tesra_copy_attr_def_v6_0(&attr, &attr_dst), TESRA_INVALID_VERSION);
    tesra_object_def_t_v6_0 obj{5, 0, "n", 1, "p"}, obj_dst{};
    EXPECT_EQ(tesra_copy_object_def_v6_0(&obj, &obj_dst), TESRA_INVALID_VERSION);
    tesra_counter_def_t_v6_0 cnt = counter_def(), cnt_dst{};
    cnt.major_v = 5;
    EXPECT_EQ(tesra_copy_counter_def_v6_0(&cnt, &cnt_dst), TESRA_INVALID_VERSION);
    tesra_aggregation_def_t_v6_0 agg{5, 0, "t", nullptr, nullptr, 1, "i", "u"}, agg_dst{};
    EXPECT_EQ(tesra_copy_aggregation_def_v6_0(&agg, &agg_dst), TESRA_INVALID_VERSION);
    tesra_query_def_t_v6_0 q{}, q_dst{};
    q.major_v = 5;
    q.object_name = "o";
    EXPECT_EQ(tesra_copy_query_def_v6_0(&q, &q_dst), TESRA_INVALID_VERSION);
    char path[] = "/x";
    tesra_directory_def_t_v6_0 dir{5, 0, path, 1, 2, 3}, dir_dst{};
    EXPECT_EQ(tesra_copy_directory_def_v6_0(&dir, &dir_dst), TESRA_INVALID_VERSION);
    tesra_collection_def_t_v6_0 coll{7, 0, path, 1, 2}, coll_dst{};
    EXPECT_EQ(tesra_copy_collection_def_v6_0(&coll, &coll_dst), TESRA_INVALID_VERSION);
    EXPECT_EQ(coll_dst.collection_path, nullptr);
}

TEST(CopyDefs, NullSourceOrDestinationGivesNullPointer) {
    tesra_object_def_t_v6_0 obj{6, 0, "n", 1, "p"};
    EXPECT_EQ(tesra_copy_object_def_v6_0(nullptr, &obj), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_copy_object_def_v6_0(&obj, nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_copy_query_def_v6_0(nullptr, nullptr), TESRA_NULL_POINTER);
}

TEST(CopyDefs, SystemAndSmallRecordsAreDuplicated) {
    HeapBalance balance;
    tesra_system_def_t_v6_0 src{6,    1,     123,  "9.1", "uuid", "host", "m",
                                "sn", "sid", "cl", "cid", "proc", "store"};
    tesra_header_handle_t *h = calloc_handle<tesra_header_handle_t>();
    tesra_system_def_t_v6_0 &sys = h->i6_0.system.e6_0;
    ASSERT_EQ(tesra_copy_system_def_v6_0(&src, &sys), TESRA_SUCCESS);
    EXPECT_EQ(sys.base_time, 123u);
    EXPECT_EQ(sys.minor_v, 1u);
    EXPECT_STREQ(sys.nelvo_version, "9.1");
    EXPECT_STREQ(sys.store_name, "store");
    EXPECT_NE(sys.store_name, src.store_name);

    tesra_header_def_t_v6_0 hdr{6, 0, 42, "preset-7"};
    ASSERT_EQ(tesra_copy_header_def_v6_0(&hdr, &h->e6_0), TESRA_SUCCESS);
    EXPECT_EQ(h->e6_0.generation_id, 42u);
    EXPECT_STREQ(h->e6_0.preset_version, "preset-7");
    tesra_free_header(h);

    tesra_object_handle_t *o = calloc_handle<tesra_object_handle_t>();
    tesra_object_def_t_v6_0 obj{6, 0, "volume", 9, "basic"};
    ASSERT_EQ(tesra_copy_object_def_v6_0(&obj, &o->e6_0), TESRA_SUCCESS);
    EXPECT_EQ(o->e6_0.obj_id, 9u);
    EXPECT_STREQ(o->e6_0.priv, "basic");
    tesra_free_object(o);

    auto *attr = static_cast<tesra_attribute_def_t_v6_0 *>(
        std::calloc(1, sizeof(tesra_attribute_def_t_v6_0)));
    tesra_attribute_def_t_v6_0 a{6, 0, "mode", 4, "d"};
    ASSERT_EQ(tesra_copy_attr_def_v6_0(&a, attr), TESRA_SUCCESS);
    EXPECT_EQ(attr->value, 4u);
    EXPECT_STREQ(attr->name, "mode");
    tesra_free_attr_def(attr);
}

TEST(CopyDefs, AggregationOptionalFieldsFollowTheSource) {
    HeapBalance balance;
    tesra_aggregation_def_t_v6_0 src{6, 0, "sum", nullptr, nullptr, 250, "inst", "uuid"};
    tesra_aggregation_handle_t *h = calloc_handle<tesra_aggregation_handle_t>();
    ASSERT_EQ(tesra_copy_aggregation_def_v6_0(&src, &h->e6_0), TESRA_SUCCESS);
    EXPECT_EQ(h->e6_0.aggr_name, nullptr);
    EXPECT_EQ(h->e6_0.inst_list_req_filter, nullptr);
    EXPECT_EQ(h->e6_0.gi_max_records, 250u);
    EXPECT_STREQ(h->e6_0.inst_uuid, "uuid");
    tesra_free_aggregation(h);

    src.aggr_name = "total";
    src.inst_list_req_filter = "f=1";
    h = calloc_handle<tesra_aggregation_handle_t>();
    ASSERT_EQ(tesra_copy_aggregation_def_v6_0(&src, &h->e6_0), TESRA_SUCCESS);
    EXPECT_STREQ(h->e6_0.aggr_name, "total");
    EXPECT_STREQ(h->e6_0.inst_list_req_filter, "f=1");
    tesra_free_aggregation(h);
}

TEST(CopyDefs, QueryWithoutKeyCountersGetsEmptyArrays) {
    HeapBalance balance;
    static const char *names[] = {"reads"};
    tesra_query_def_t_v6_0 src{};
    src.major_v = 6;
    src.minor_v = 1;
    src.object_name = "volume";
    src.num_cnts = 1;
    src.cnt_names = names;
    src.start_time = 5;
    src.end_time = 9;
    src.period = 60000;
    tesra_query_handle_t *h = calloc_handle<tesra_query_handle_t>();
    ASSERT_EQ(tesra_copy_query_def_v6_0(&src, &h->e6_0), TESRA_SUCCESS);
    EXPECT_NE(h->e6_0.key_cnt_names, nullptr);
    EXPECT_NE(h->e6_0.key_cnt_values, nullptr);
    EXPECT_EQ(h->e6_0.num_key_cnts, 0u);
    // The counter names stay the caller's: only their number is kept.
    EXPECT_EQ(h->e6_0.cnt_names, nullptr);
    EXPECT_EQ(h->e6_0.num_cnts, 1u);
    EXPECT_EQ(h->e6_0.end_time, 9u);
    tesra_free_query(h);
}

TEST(CopyDefs, QueryKeyValuesAreDeepCopiedByType) {
    HeapBalance balance;
    static const char *key_names[] = {"node", "vol"};
    tesra_cnt_value_t node_vals[2];
    node_vals[0].val_8B = 0x1122334455667788u;
    node_vals[1].val_8B = 7;
    tesra_cnt_value_t vol_vals[1];
    vol_vals[0].val_str = "vol0";
    tesra_counter_data_t_v6_0 key_vals[2] = {{TESRA_CNT_8BYTES, node_vals, 2},
                                             {TESRA_CNT_STRING, vol_vals, 1}};
    tesra_query_def_t_v6_0 src{};
    src.major_v = 6;
    src.object_name = "volume";
    src.num_key_cnts = 2;
    src.key_cnt_names = key_names;
    src.key_cnt_values = key_vals;
    src.period = 60000;

    tesra_query_handle_t *h = calloc_handle<tesra_query_handle_t>();
    ASSERT_EQ(tesra_copy_query_def_v6_0(&src, &h->e6_0), TESRA_SUCCESS);
    const tesra_query_def_t_v6_0 &dst = h->e6_0;
    EXPECT_STREQ(dst.key_cnt_names[1], "vol");
    ASSERT_EQ(dst.key_cnt_values[0].num_values, 2u);
    EXPECT_EQ(dst.key_cnt_values[0].values[0].val_8B, 0x1122334455667788u);
    EXPECT_NE(dst.key_cnt_values[0].values, node_vals);
    EXPECT_EQ(dst.key_cnt_values[1].value_type, TESRA_CNT_STRING);
    EXPECT_STREQ(dst.key_cnt_values[1].values[0].val_str, "vol0");
    EXPECT_NE(dst.key_cnt_values[1].values[0].val_str, vol_vals[0].val_str);
    tesra_free_query(h);
}

TEST(CopyDefs, QueryKeyCounterWithoutValuesIsRefusedAndReleasable) {
    HeapBalance balance;
    static const char *key_names[] = {"node", "vol"};
    tesra_cnt_value_t one[1];
    one[0].val_str = "n1";
    tesra_counter_data_t_v6_0 key_vals[2] = {{TESRA_CNT_STRING, one, 1},
                                             {TESRA_CNT_4BYTES, nullptr, 3}};
    tesra_query_def_t_v6_0 src{};
    src.major_v = 6;
    src.object_name = "volume";
    src.num_key_cnts = 2;
    src.key_cnt_names = key_names;
    src.key_cnt_values = key_vals;
    tesra_query_handle_t *h = calloc_handle<tesra_query_handle_t>();
    EXPECT_EQ(tesra_copy_query_def_v6_0(&src, &h->e6_0), TESRA_NULL_POINTER);
    ASSERT_NE(h->e6_0.key_cnt_values, nullptr);
    EXPECT_STREQ(h->e6_0.key_cnt_values[0].values[0].val_str, "n1");
    EXPECT_EQ(h->e6_0.key_cnt_values[1].values, nullptr);
    tesra_free_query(h);
}

TEST(CopyDefs, DirectoryAndCollectionPathsAreDuplicated) {
    char path[] = "/var/archives";
    tesra_directory_def_t_v6_0 dir{6, 0, path, 1, 2, 60000}, dir_dst{};
    ASSERT_EQ(tesra_copy_directory_def_v6_0(&dir, &dir_dst), TESRA_SUCCESS);
    EXPECT_STREQ(dir_dst.directory_path, path);
    EXPECT_NE(dir_dst.directory_path, path);
    EXPECT_EQ(dir_dst.period, 60000u);
    std::free(dir_dst.directory_path);

    tesra_collection_def_t_v6_0 coll{6, 1, path, 10, 20}, coll_dst{};
    ASSERT_EQ(tesra_copy_collection_def_v6_0(&coll, &coll_dst), TESRA_SUCCESS);
    EXPECT_STREQ(coll_dst.collection_path, path);
    EXPECT_EQ(coll_dst.end_time, 20u);
    EXPECT_EQ(coll_dst.minor_v, 1u);
    std::free(coll_dst.collection_path);
}

}  // namespace
