// Release of handle trees, whole and half-built. Leaks and double frees show up in the
// sanitizer build; the tests here also check what each release reports.
#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tesra/tesra_int_defs.h"

#include "heap_count.h"
#include "support/temp_dir.h"
#include "tree_builders.h"

namespace {

using namespace tesra::test;

class Release : public ::testing::Test {
protected:
    // A file handle carrying everything a file handle can own.
    tesra_file_handle_t *make_file(gzFile data) {
        auto *f = make_handle<tesra_file_handle_t>();
        f->e6_0 = make_file_def();
        f->i6_0.metadata_file = std::fopen((dir_ / "x.meta").c_str(), "w");
        f->i6_0.metadata_file_path = dup((dir_ / "x.meta").c_str());
        f->i6_0.data_file = data;
        f->i6_0.data_file_path = dup((dir_ / "x.gz").c_str());
        f->i6_0.header = make_header();
        f->i6_0.header->i6_0.data_file = f;
        f->i6_0.query = make_query();
        f->i6_0.query->i6_0.data_file = f;
        f->i6_0.current_record = make_record();
        f->i6_0.current_period = f->i6_0.header->i6_0.objects[2]->i6_0.period_list;
        return f;
    }

    TempDir tmp_;
    std::filesystem::path dir_ = tmp_.path();
};

TEST_F(Release, WholeFileTreeIsReleasedAndDataStreamClosed) {
    const std::string gz = (dir_ / "x.gz").string();
    HeapBalance balance;
    gzFile data = gzopen(gz.c_str(), "wb");
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(gzwrite(data, "sample", 6), 6);
    tesra_file_handle_t *f = make_file(data);
    ASSERT_NE(f->i6_0.metadata_file, nullptr);
    EXPECT_EQ(tesra_free_file(f), TESRA_SUCCESS);

    // The deferred write reached the file: the stream was closed, not dropped.
    gzFile in = gzopen(gz.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char buf[16] = {};
    EXPECT_EQ(gzread(in, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "sample");
    gzclose(in);
}

TEST_F(Release, FailingDataStreamCloseIsReportedAfterReleasingTheRest) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
    HeapBalance balance;
    gzFile data = gzopen("/dev/full", "wb");
    ASSERT_NE(data, nullptr);
    // Buffered by zlib; the write error only surfaces when the stream is closed.
    ASSERT_EQ(gzwrite(data, "pending", 7), 7);
    tesra_file_handle_t *f = make_file(data);
    EXPECT_EQ(tesra_free_file(f), TESRA_CLOSE_FILE_FAILED);
}

TEST_F(Release, EveryReleaseAcceptsNull) {
    EXPECT_EQ(tesra_free_file(nullptr), TESRA_SUCCESS);
    tesra_free_header(nullptr);
    tesra_free_attr_def(nullptr);
    tesra_free_object(nullptr);
    tesra_free_counter(nullptr);
    tesra_free_aggregation(nullptr);
    tesra_free_period(nullptr);
    tesra_free_record(nullptr);
    tesra_free_query(nullptr);
    tesra_free_timestamp(nullptr);
    tesra_free_instance(nullptr);
    tesra_free_counter_data(nullptr);
    tesra_free_directory(nullptr);
    tesra_free_collection(nullptr);
    tesra_free_corefile(nullptr);
    tesra_free_system(tesra_header_system_t{});
    tesra_free_file_def(tesra_file_def_t{});
    tesra_free_store_def(tesra_store_def_t{});
}

TEST_F(Release, FreshlyAllocatedHandlesOfEveryKindRelease) {
    HeapBalance balance;
    EXPECT_EQ(tesra_free_file(make<tesra_file_handle_t>()), TESRA_SUCCESS);
    tesra_free_header(make<tesra_header_handle_t>());
    tesra_free_attr_def(make<tesra_attribute_def_t_v6_0>());
    tesra_free_object(make<tesra_object_handle_t>());
    tesra_free_counter(make<tesra_counter_handle_t>());
    tesra_free_aggregation(make<tesra_aggregation_handle_t>());
    tesra_free_period(make<tesra_period_t>());
    tesra_free_record(make<tesra_record_handle_t>());
    tesra_free_query(make<tesra_query_handle_t>());
    tesra_free_timestamp(make<tesra_timestamp_handle_t>());
    tesra_free_instance(make<tesra_instance_handle_t>());
    tesra_free_counter_data(make<tesra_counter_data_handle_t>());
    tesra_free_directory(make<tesra_directory_handle_t>());
    tesra_free_collection(make<tesra_collection_handle_t>());
    tesra_free_corefile(make<tesra_corefile_handle_t>());
}

// Counts set before a failed step allocated their arrays must not send a release into them.
TEST_F(Release, CountsWithoutTheirArraysAreSkipped) {
    HeapBalance balance;
    auto *h = make_handle<tesra_header_handle_t>();
    h->i6_0.num_attr_defs = 3;
    h->i6_0.objects_array_size = 4;
    tesra_free_header(h);

    auto *c = make_handle<tesra_counter_handle_t>();
    c->e6_0.num_x_items = 5;
    c->e6_0.num_y_items = 2;
    c->e6_0.name = dup("half");
    tesra_free_counter(c);

    auto *q = make_handle<tesra_query_handle_t>();
    q->e6_0.num_cnts = 4;  // cnt_names never allocated
    q->e6_0.key_cnt_names = dup_list({"only-names"});
    q->e6_0.num_key_cnts = 1;  // key_cnt_values never allocated
    tesra_free_query(q);

    auto *i = make_handle<tesra_instance_handle_t>();
    i->e6_0.num_key_cnts = 2;
    i->e6_0.key_cnt_values = make<tesra_counter_data_t_v6_0>(2);
    i->e6_0.key_cnt_values[0].value_type = TESRA_CNT_STRING;
    i->e6_0.key_cnt_values[0].num_values = 9;  // values never allocated
    tesra_free_instance(i);

    auto *d = make_handle<tesra_counter_data_handle_t>();
    d->e6_0.value_type = TESRA_CNT_STRING;
    d->e6_0.num_values = 3;
    tesra_free_counter_data(d);

    auto *p = make<tesra_period_t>();
    p->num_offsets = 6;
    p->record_offsets = make<tesra_offset_t>(6);
    tesra_free_period(p);

    auto *dir = make_handle<tesra_directory_handle_t>();
    dir->i6_0.num_files = 2;
    tesra_free_directory(dir);

    auto *coll = make_handle<tesra_collection_handle_t>();
    coll->i6_0.num_total_stores = 2;
    tesra_free_collection(coll);

    auto *core = make_handle<tesra_corefile_handle_t>();
    core->i6_0.num_files = 3;
    core->i6_0.num_dirs = 1;
    tesra_free_corefile(core);
}

TEST_F(Release, SubtreesReleaseOnTheirOwn) {
    HeapBalance balance;
    tesra_free_object(make_object(3));
    tesra_free_query(make_query());
    tesra_free_record(make_record());
    tesra_header_system_t sys{};
    sys.e6_0 = make_system();
    tesra_free_system(sys);
}

// `pc` and `pid` are the caller's to fill: a function's address there is never called, and
// what `pid` points to is never freed.
int calls_through_pc = 0;
void record_call(void *) {
    ++calls_through_pc;
}

TEST_F(Release, HeaderCallsAndFreesNothingFromPcOrPid) {
    HeapBalance balance;
    calls_through_pc = 0;
    void *own = std::malloc(64);
    tesra_header_handle_t *h = make_header();
    h->i6_0.pid = own;
    h->i6_0.pc = reinterpret_cast<uintptr_t>(&record_call);
    tesra_free_header(h);
    EXPECT_EQ(calls_through_pc, 0);
    std::free(own);  // still the caller's: freeing it twice would abort the sanitizer build
}

TEST_F(Release, DirectoryReleasesEveryListedFile) {
    HeapBalance balance;
    auto *dir = make_handle<tesra_directory_handle_t>();
    dir->e6_0.directory_path = dup("/a");
    dir->i6_0.array_size = 4;
    dir->i6_0.file_infos = make<tesra_file_def_t_v6_0>(4);
    dir->i6_0.file_infos[0] = make_file_def();
    dir->i6_0.file_infos[1] = make_file_def();
    dir->i6_0.num_files = 2;
    tesra_free_directory(dir);
}

TEST_F(Release, CollectionSharesClusterStringsWithItsStores) {
    HeapBalance balance;
    auto *coll = make_handle<tesra_collection_handle_t>();
    coll->e6_0.collection_path = dup("/c");
    coll->i6_0.cluster_id = dup("cid");
    coll->i6_0.cluster_name = dup("cluster");
    coll->i6_0.all_stores_size = 3;
    coll->i6_0.all_stores = make<tesra_store_int_t_v6_0>(3);
    for (uint32_t s = 0; s < 2; ++s) {
        tesra_store_int_t_v6_0 &store = coll->i6_0.all_stores[s];
        store.store_info.cluster_id = coll->i6_0.cluster_id;  // shared, freed once
        store.store_info.cluster_name = coll->i6_0.cluster_name;
        store.store_info.node_name = dup("node");
        store.store_info.process_name = dup("proc");
        store.store_info.store_name = dup("store");
        store.files_size = 2;
        store.files = make<tesra_file_def_t_v6_0>(2);
        store.files[0] = make_file_def();
        store.num_files = 1;
    }
    // One store has a file open.
    tesra_file_handle_t *open = make_handle<tesra_file_handle_t>();
    open->e6_0 = make_file_def();
    open->i6_0.header = make_header();
    coll->i6_0.all_stores[1].current_file = open;
    coll->i6_0.num_total_stores = 2;
    tesra_free_collection(coll);
}

TEST_F(Release, CorefileWithoutOpenArchiveReleasesItsNames) {
    HeapBalance balance;
    auto *core = make_handle<tesra_corefile_handle_t>();
    core->e6_0.file_path = dup("/core.7z");
    core->i6_0.file_names = const_cast<char **>(dup_list({"a", "b"}));
    core->i6_0.num_files = 2;
    core->i6_0.dir_names = const_cast<char **>(dup_list({"d"}));
    core->i6_0.num_dirs = 1;
    core->i6_0.temp_dir = dup("/tmp/x");
    tesra_free_corefile(core);
}

TEST_F(Release, ByValueReleasesFreeTheStrings) {
    HeapBalance balance;
    tesra_free_file_def(make_file_def());
    tesra_store_def_t store{};
    store.cluster_id = dup("a");
    store.cluster_name = dup("b");
    store.node_name = dup("c");
    store.process_name = dup("d");
    store.store_name = dup("e");
    tesra_free_store_def(store);
}

}  // namespace
