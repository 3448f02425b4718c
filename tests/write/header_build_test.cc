// Creating archives and building headers: refusals, table growth, and how counters bring
// period records and links.
#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

#include "writer_fixture.h"

namespace tesra::test {
namespace {

struct CreateCase {
    uint32_t major;
    uint32_t minor;
    uint64_t duration;
    tesra_error_t code;
};

class CreateDataFile : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateDataFile, AnswersAndLeavesNoHandleBehindARefusal) {
    TempDir dir;
    const CreateCase &c = GetParam();
    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    ASSERT_EQ(tesra_create_data_file(dir.base("c").c_str(), c.major, c.minor, c.duration, &file,
                                     &meta, nullptr),
              c.code);
    if (c.code == TESRA_SUCCESS) {
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(std::string(meta), dir.base("c") + ".meta");
        EXPECT_EQ(file->i6_0.access_flag, 2u);
        EXPECT_EQ(file->i6_0.start_time, 0xFFFFFFFFFFFFFFFFu);
        EXPECT_EQ(tesra_close_data_file(file), TESRA_NULL_POINTER);  // no header was made
    } else {
        EXPECT_EQ(file, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Create,
                         CreateDataFile,
                         ::testing::Values(CreateCase{6, 1, 900000, TESRA_SUCCESS},
                                           CreateCase{6, 0, 0, TESRA_INVALID_ARGUMENTS},
                                           CreateCase{5, 0, 900000, TESRA_INVALID_VERSION},
                                           CreateCase{7, 0, 900000, TESRA_INVALID_VERSION}));

TEST(CreateHeader, MissingStoreNameOfA61ArchiveGivesNullPointer) {
    TempDir dir;
    tesra_file_handle_t *file = nullptr;
    ASSERT_EQ(tesra_create_data_file(dir.base("h").c_str(), 6, 1, 900000, &file, nullptr, nullptr),
              TESRA_SUCCESS);
    tesra_system_def_t_v6_0 sys{6, 1, 0, "v", "u", "h", "m", "s", "i", "c", "ci", "p", nullptr};
    tesra_header_def_t_v6_0 hdr{6, 1, 1, "1"};
    tesra_header_handle_t *header = nullptr;
    EXPECT_EQ(tesra_create_header(file, &hdr, &sys, &header), TESRA_NULL_POINTER);
    tesra_header_def_t_v6_0 old_hdr{6, 0, 1, "1"};
    EXPECT_EQ(tesra_create_header(file, &old_hdr, &sys, &header), TESRA_VERSION_MISMATCH);
    EXPECT_EQ(header, nullptr);
    tesra_close_data_file(file);
}

TEST(CreateHeader, Version60BlanksTheCallersClusterAndStoreFields) {
    TempDir dir;
    tesra_file_handle_t *file = nullptr;
    ASSERT_EQ(tesra_create_data_file(dir.base("h").c_str(), 6, 0, 900000, &file, nullptr, nullptr),
              TESRA_SUCCESS);
    tesra_system_def_t_v6_0 sys{6, 0, 0, "v", "u", "h", "m", "s", "i", "c", "ci", "p", "st"};
    tesra_header_def_t_v6_0 hdr{6, 0, 1, "1"};
    tesra_header_handle_t *header = nullptr;
    ASSERT_EQ(tesra_create_header(file, &hdr, &sys, &header), TESRA_SUCCESS);
    EXPECT_STREQ(sys.cluster_name, "");
    EXPECT_STREQ(sys.store_name, "");
    EXPECT_STREQ(header->i6_0.system.e6_0.process_name, "");
    EXPECT_EQ(header->i6_0.objects_array_size, 250u);
    EXPECT_EQ(header->i6_0.attr_array_size, 32u);
    tesra_close_data_file(file);
}

class HeaderBuild : public WriterTest {
protected:
    void SetUp() override {
        b_ = std::make_unique<ArchiveBuilder>(ArchiveSpec{});
        ASSERT_EQ(b_->create(dir_.base("hb")), TESRA_SUCCESS);
        header_ = b_->header();
    }
    tesra_object_handle_t *add_object(uint32_t id, const char *name = "o") {
        tesra_object_def_t_v6_0 def{6, 1, name, id, "p"};
        tesra_object_handle_t *o = nullptr;
        EXPECT_EQ(tesra_add_object(header_, &def, &o), TESRA_SUCCESS);
        return o;
    }
    tesra_counter_def_t_v6_0 counter_def(uint32_t id, uint64_t period, bool is_key = false) {
        tesra_counter_def_t_v6_0 d{};
        d.major_v = 6;
        d.minor_v = 1;
        d.name = "n";
        d.priv = "p";
        d.desc = "d";
        d.ctype = 0x108;
        d.size = 8;
        d.is_key = is_key;
        d.periods[0] = period;
        d.num_periods = 1;
        d.cnt_id = id;
        return d;
    }
    tesra_counter_handle_t *add(tesra_object_handle_t *o, tesra_counter_def_t_v6_0 d) {
        tesra_counter_handle_t *c = nullptr;
        EXPECT_EQ(tesra_add_counter(o, &d, &c), TESRA_SUCCESS);
        return c;
    }

    std::unique_ptr<ArchiveBuilder> b_;
    tesra_header_handle_t *header_ = nullptr;
};

TEST_F(HeaderBuild, ObjectTableDoublesUntilItCoversTheId) {
    add_object(300);
    EXPECT_EQ(header_->i6_0.objects_array_size, 500u);
    add_object(1000);
    EXPECT_EQ(header_->i6_0.objects_array_size, 2000u);
    EXPECT_EQ(header_->i6_0.num_objects_sampled, 2u);
    EXPECT_EQ(header_->i6_0.object_list->e6_0.obj_id, 300u);
}

TEST_F(HeaderBuild, AbsurdObjectIdIsRefusedWithoutATable) {
    tesra_object_def_t_v6_0 def{6, 1, "o", 0xFFFFFFFFu, "p"};
    tesra_object_handle_t *o = nullptr;
    EXPECT_EQ(tesra_add_object(header_, &def, &o), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(header_->i6_0.objects_array_size, 250u);
}

TEST_F(HeaderBuild, SameObjectIdHandsOutTheFirstObject) {
    tesra_object_handle_t *first = add_object(4, "first");
    EXPECT_EQ(add_object(4, "second"), first);
    EXPECT_EQ(header_->i6_0.num_objects_sampled, 1u);
}

TEST_F(HeaderBuild, ObjectVersionChecksComeInOrder) {
    tesra_object_def_t_v6_0 older{6, 0, "o", 1, "p"};
    tesra_object_handle_t *o = nullptr;
    EXPECT_EQ(tesra_add_object(nullptr, &older, &o), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_add_object(header_, &older, &o), TESRA_VERSION_MISMATCH);
    EXPECT_EQ(o, nullptr);
}

TEST_F(HeaderBuild, AttributeTableDoublesPast32) {
    for (uint32_t i = 0; i < 33; ++i) {
        tesra_attribute_def_t_v6_0 a{6, 1, "n", i, "d"};
        ASSERT_EQ(tesra_add_attr_def(header_, &a), TESRA_SUCCESS);
    }
    EXPECT_EQ(header_->i6_0.attr_array_size, 64u);
    EXPECT_EQ(header_->i6_0.num_attr_defs, 33u);
    EXPECT_EQ(header_->i6_0.attr_defs[32]->value, 32u);
}

TEST_F(HeaderBuild, NonKeyCounterAtTwoPeriodsGetsTwoLinksAndTwoPeriodRecords) {
    auto *o = add_object(1);
    auto *c = add(o, counter_def(5, 300000));
    EXPECT_EQ(add(o, counter_def(5, 60000)), c);
    ASSERT_EQ(o->i6_0.num_periods, 2u);
    EXPECT_EQ(o->i6_0.period_list->period, 60000u);
    EXPECT_EQ(o->i6_0.period_list->next_period->period, 300000u);
    EXPECT_EQ(c->i6_0.periods[4], o->i6_0.period_list);
    EXPECT_EQ(c->i6_0.periods[5], o->i6_0.period_list->next_period);
    EXPECT_EQ(c->e6_0.num_periods, 2);
    EXPECT_EQ(o->i6_0.period_list->cnt_list, c);
    EXPECT_EQ(o->i6_0.num_cnts_sampled, 1u);
}

TEST_F(HeaderBuild, KeyCounterLinksOnlyItsFirstPeriod) {
    auto *o = add_object(1);
    auto *k = add(o, counter_def(1, 60000, true));
    EXPECT_EQ(add(o, counter_def(1, 300000, true)), k);
    EXPECT_EQ(o->i6_0.num_periods, 1u);
    EXPECT_EQ(k->i6_0.periods[4], o->i6_0.period_list);
    EXPECT_EQ(k->i6_0.periods[5], nullptr);
    EXPECT_EQ(k->e6_0.num_periods, 2);
    EXPECT_EQ(k->e6_0.periods[1], 300000u);
    EXPECT_EQ(o->i6_0.key_cnt_list, k);
    EXPECT_EQ(o->i6_0.period_list->cnt_list, nullptr);
}

TEST_F(HeaderBuild, SameCounterTwiceChangesNothing) {
    auto *o = add_object(1);
    auto *c = add(o, counter_def(2, 60000));
    EXPECT_EQ(add(o, counter_def(2, 60000)), c);
    EXPECT_EQ(c->e6_0.num_periods, 1);
    EXPECT_EQ(o->i6_0.period_list->num_cnts, 1u);
}

TEST_F(HeaderBuild, NewPeriodTablesAreSizedFromTheCreationDuration) {
    auto *o = add_object(1);
    add(o, counter_def(2, 60000));
    add(o, counter_def(3, 999999000));
    EXPECT_EQ(o->i6_0.period_list->num_offsets, 16u);
    EXPECT_EQ(o->i6_0.period_list->record_offsets[15], 0x7FFFFFFFFFFFFFFFu);
    EXPECT_EQ(o->i6_0.period_list->next_period->num_offsets, 1u);
}

TEST_F(HeaderBuild, StartTimeIsSetOnce) {
    EXPECT_EQ(tesra_set_start_time(b_->file(), 60000), TESRA_SUCCESS);
    EXPECT_EQ(tesra_set_start_time(b_->file(), 0), TESRA_INVALID_TIMESTAMP);
    EXPECT_EQ(b_->file()->i6_0.start_time, 60000u);
    // A table made before any record still gets at least one slot.
    auto *o = add_object(1);
    add(o, counter_def(2, 60000));
    EXPECT_GE(o->i6_0.period_list->num_offsets, 1u);
}

TEST_F(HeaderBuild, CopyAndDeleteOperationsChangeNothing) {
    auto *o = add_object(1);
    auto *c = add(o, counter_def(2, 60000));
    EXPECT_EQ(tesra_delete_counter(o, c), TESRA_SUCCESS);
    EXPECT_EQ(tesra_delete_object(header_, o), TESRA_SUCCESS);
    EXPECT_EQ(tesra_copy_counter(o, c), TESRA_SUCCESS);
    EXPECT_EQ(tesra_copy_object(header_, o), TESRA_SUCCESS);
    EXPECT_EQ(tesra_copy_header(b_->file(), header_), TESRA_SUCCESS);
    EXPECT_EQ(tesra_delete_counter(nullptr, c), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(o->i6_0.cnt_list, c);
    EXPECT_EQ(header_->i6_0.objects[1], o);
}

// Each row changes one field of an existing counter.
struct Mismatch {
    const char *field;
    void (*change)(tesra_counter_def_t_v6_0 *);
};

class CounterMismatch : public HeaderBuild, public ::testing::WithParamInterface<Mismatch> {};

TEST_P(CounterMismatch, IsRefusedAndLeavesTheCounter) {
    auto *o = add_object(1);
    auto *c = add(o, counter_def(2, 60000));
    auto d = counter_def(2, 300000);
    GetParam().change(&d);
    tesra_counter_handle_t *out = nullptr;
    EXPECT_EQ(tesra_add_counter(o, &d, &out), TESRA_COUNTER_MISMATCH) << GetParam().field;
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(c->e6_0.num_periods, 1);
    EXPECT_EQ(o->i6_0.num_periods, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Fields,
    CounterMismatch,
    ::testing::Values(Mismatch{"name", [](tesra_counter_def_t_v6_0 *d) { d->name = "other"; }},
                      Mismatch{"privilege", [](tesra_counter_def_t_v6_0 *d) { d->priv = "other"; }},
                      Mismatch{"type", [](tesra_counter_def_t_v6_0 *d) { d->ctype = 0x104; }},
                      Mismatch{"size", [](tesra_counter_def_t_v6_0 *d) { d->size = 4; }},
                      Mismatch{"base id", [](tesra_counter_def_t_v6_0 *d) { d->base_id = 9; }},
                      Mismatch{"description",
                               [](tesra_counter_def_t_v6_0 *d) { d->desc = "other"; }},
                      Mismatch{"key flag", [](tesra_counter_def_t_v6_0 *d) { d->is_key = true; }}));

}  // namespace
}  // namespace tesra::test
