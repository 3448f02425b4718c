// Turning a metadata document back into a header: conversions, defaults, refusals, and a
// round trip of everything the writer was given.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "read/reader_test_support.h"

namespace tesra::test {
namespace {

class MetaParseTest : public ::testing::Test {
protected:
    tesra_error_t open_doc(const std::string &text) {
        return archive.open(write_partial_archive(dir, {}, text));
    }
    tesra_object_handle_t *volume() { return object_by_id(archive.header(), 3); }

    TempDir dir;
    OpenedArchive archive;
    std::string doc = partial_meta_doc();
};

struct EditCase {
    const char *name;
    const char *from;
    const char *to;
    tesra_error_t expected;
};

class MetaParseEditTest : public MetaParseTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(MetaParseEditTest, EditedDocumentGivesItsCode) {
    ASSERT_TRUE(replace_once(doc, GetParam().from, GetParam().to)) << GetParam().name;
    EXPECT_EQ(open_doc(doc), GetParam().expected) << GetParam().name;
}

const EditCase kEdits[] = {
    {"RootNotArchive", "<archive version=\"6.1\"", "<archiv version=\"6.1\"", TESRA_PARSING_ERROR},
    {"DurationNotHex", "duration=\"           DBBA0\"", "duration=\"1A2G\"", TESRA_PARSING_ERROR},
    {"DurationEmpty", "duration=\"           DBBA0\"", "duration=\"\"", TESRA_PARSING_ERROR},
    {"DurationMissing", "duration=\"           DBBA0\"", "", TESRA_PARSING_ERROR},
    {"DurationTrailingBlank", "duration=\"           DBBA0\"", "duration=\"DBBA0 \"",
     TESRA_PARSING_ERROR},
    {"HeaderOffsetNegative", "header_offset=\"2140\"", "header_offset=\"-1\"", TESRA_PARSING_ERROR},
    {"EndTimeBeyond64Bits", "end_time=\"               0\"", "end_time=\"1FFFFFFFFFFFFFFFF\"",
     TESRA_PARSING_ERROR},
    {"GenerationMissing", "generation=\"4\"", "", TESRA_PARSING_ERROR},
    {"PresetVersionMissing", "preset_version=\"1.0\"", "", TESRA_NULL_POINTER},
    // Without an index these are times a writer holds: records of one aligned time so far, or
    // a start it set ahead of its records.
    {"StartEqualsEndWithoutIndex", "start_time=\"FFFFFFFFFFFFFFFF\" end_time=\"               0\"",
     "start_time=\"1000\" end_time=\"1000\"", TESRA_SUCCESS},
    {"EndBeforeStartWithoutIndex", "start_time=\"FFFFFFFFFFFFFFFF\" end_time=\"               0\"",
     "start_time=\"2000\" end_time=\"1000\"", TESRA_SUCCESS},
    {"UnsetStartWithEnd", "end_time=\"               0\"", "end_time=\"1\"",
     TESRA_INVALID_TIMESTAMP},
    {"CommentUnderRoot", "\t<preset>", "<!-- c --><preset>", TESRA_PARSING_ERROR},
    {"CommentInSystem", "<model>", "<!-- c --><model>", TESRA_PARSING_ERROR},
    {"CommentInObject", "<id>3</id>", "<id>3</id><!-- c -->", TESRA_SUCCESS},
    {"UnknownRootChild", "\t<preset>", "<extra/><preset>", TESRA_PARSING_ERROR},
    {"NoSystem", "<system>", "<systemx>", TESRA_PARSING_ERROR},
    {"UnknownSystemChild", "<model>model</model>", "<modell>model</modell>", TESRA_PARSING_ERROR},
    {"BaseTimeNotDecimal", "<base_time>1000000000000<", "<base_time>12a<", TESRA_PARSING_ERROR},
    {"SystemStringMissingIn61", "<store_name>store</store_name>", "", TESRA_NULL_POINTER},
    {"UnknownAttributeChild", "<value>7</value>", "<value>7</value><x/>", TESRA_PARSING_ERROR},
    {"AttributeWithoutName", "<name>attr</name>", "", TESRA_NULL_POINTER},
    {"SectionTypeBeyondTable", "<section_type>1</section_type>", "<section_type>2</section_type>",
     TESRA_PARSING_ERROR},
    {"SectionTypeNegative", "<section_type>1</section_type>", "<section_type>-1</section_type>",
     TESRA_PARSING_ERROR},
    {"SectionWithoutType", "<section_type>1</section_type>", "", TESRA_PARSING_ERROR},
    {"SectionOffsetNotHex", "<section_offset>               0</section_offset>",
     "<section_offset>0x</section_offset>", TESRA_PARSING_ERROR},
    {"SectionOffsetWrapsWithHeaderOffset", "<section_offset>               0</section_offset>",
     "<section_offset>FFFFFFFFFFFFFFFF</section_offset>", TESRA_PARSING_ERROR},
    {"UnknownSectionChild", "<section_version>1</section_version>",
     "<section_version>1</section_version><y/>", TESRA_PARSING_ERROR},
    {"NonObjectInPreset", "\t</preset>", "<attribute_def/></preset>", TESRA_PARSING_ERROR},
    {"ObjectIdBeyondBound", "<id>3</id>", "<id>4000000000</id>", TESRA_PARSING_ERROR},
    {"ObjectIdAtBound", "<id>3</id>", "<id>1048575</id>", TESRA_SUCCESS},
    {"ObjectWithoutPrivilege", "<privilege>basic</privilege>\n\t\t\t<aggregation", "<aggregation",
     TESRA_NULL_POINTER},
    {"PeriodOutsideTable", "<period>60000</period>", "<period>7000</period>",
     TESRA_PERIOD_NOT_FOUND},
    {"PeriodNotNumber", "<period>60000</period>", "<period>60000x</period>", TESRA_PARSING_ERROR},
    {"UnknownCounterChild", "<base_id>0</base_id>", "<base_id>0</base_id><z/>",
     TESRA_PARSING_ERROR},
    {"CounterWithoutIsKey", "is_key=\"0\" ", "", TESRA_PARSING_ERROR},
    {"CounterWithoutName", "<name>ops</name>", "", TESRA_NULL_POINTER},
    {"CounterAgainWithOtherDescription", "\t\t</object>",
     "<counter is_key=\"0\" ctype=\"264\"><name>ops</name><description>other</description>"
     "<id>2</id><base_id>0</base_id><size>8</size><privilege>basic</privilege>"
     "<period>300000</period></counter></object>",
     TESRA_COUNTER_MISMATCH},
    {"CounterWithoutPeriodIsSkipped", "<period>60000</period>\n\t\t\t</counter>\n\t\t\t<counter",
     "</counter><counter", TESRA_SUCCESS},
    {"UnknownAggregationChild", "<instance_name>", "<w/><instance_name>", TESRA_PARSING_ERROR},
    {"AggregationWithoutType", "<aggregation type=\"sum\">", "<aggregation>", TESRA_NULL_POINTER},
    {"AggregationWithoutUuid", "<instance_uuid>iuuid</instance_uuid>", "", TESRA_NULL_POINTER},
    {"EntityDeclaration", "]>", "\t<!ENTITY e \"x\">\n]>", TESRA_PARSING_ERROR},
    {"InstanceSizeBeyond32Bits", "<size>8</size>", "<size>4294967295</size>",
     TESRA_CORRUPT_ARCHIVE},
};

INSTANTIATE_TEST_SUITE_P(Documents,
                         MetaParseEditTest,
                         ::testing::ValuesIn(kEdits),
                         [](const auto &row) { return std::string(row.param.name); });

TEST_F(MetaParseTest, ArchiveWithoutRecordsTakesTheDefaultDuration) {
    ASSERT_TRUE(
        replace_once(doc, "duration=\"           DBBA0\"", "duration=\"           12345\""));
    ASSERT_EQ(open_doc(doc), TESRA_SUCCESS);
    EXPECT_EQ(archive->i6_0.duration, 900000u);
    EXPECT_EQ(period_of(volume(), 60000)->num_offsets, 16u);
}

TEST_F(MetaParseTest, SectionOffsetIsStoredAsAnAbsolutePosition) {
    ASSERT_TRUE(replace_once(doc, "<section_offset>               0</section_offset>",
                             "<section_offset>             1F0</section_offset>"));
    ASSERT_EQ(open_doc(doc), TESRA_SUCCESS);
    EXPECT_EQ(archive.header()->i6_0.header_offset, 2140u);
    EXPECT_EQ(archive.header()->i6_0.section_defs[0].section_offset, 2140u + 0x1F0);
    EXPECT_EQ(archive.header()->i6_0.section_defs[1].section_offset, 2140u);
}

TEST_F(MetaParseTest, CounterPeriodsAreAddedInAscendingOrder) {
    ASSERT_TRUE(replace_once(doc,
                             "<size>8</size>\n\t\t\t\t<privilege>basic</privilege>\n"
                             "\t\t\t\t<period>60000</period>",
                             "<size>8</size><privilege>basic</privilege><period>60000</period>"
                             "<period>5000</period><period>5000</period>"));
    ASSERT_EQ(open_doc(doc), TESRA_SUCCESS);
    tesra_counter_handle_t *ops = nullptr;
    ASSERT_EQ(tesra_find_counter_by_id(volume(), 2, &ops), TESRA_SUCCESS);
    ASSERT_EQ(ops->e6_0.num_periods, 2);
    EXPECT_EQ(ops->e6_0.periods[0], 5000u);
    EXPECT_EQ(ops->e6_0.periods[1], 60000u);
    EXPECT_NE(ops->i6_0.periods[1], nullptr);
    EXPECT_NE(ops->i6_0.periods[4], nullptr);
}

TEST_F(MetaParseTest, AggregationDefaultsApplyWhenElementsAreAbsent) {
    ASSERT_EQ(open_doc(doc), TESRA_SUCCESS);
    const tesra_aggregation_handle_t *aggr = volume()->i6_0.aggregation_list;
    ASSERT_NE(aggr, nullptr);
    EXPECT_EQ(aggr->e6_0.gi_max_records, 500u);
    EXPECT_EQ(aggr->e6_0.aggr_name, nullptr);
    EXPECT_EQ(aggr->e6_0.inst_list_req_filter, nullptr);
    EXPECT_STREQ(aggr->e6_0.aggr_type, "sum");
}

TEST_F(MetaParseTest, TwoObjectElementsWithOneIdMakeOneObject) {
    ASSERT_TRUE(replace_once(
        doc, "\t</preset>",
        "<object><name>again</name><id>3</id><privilege>p</privilege>"
        "<counter is_key=\"0\" ctype=\"264\"><name>reads</name><description>r</description>"
        "<id>9</id><base_id>0</base_id><size>4</size><privilege>basic</privilege>"
        "<period>60000</period></counter></object></preset>"));
    ASSERT_EQ(open_doc(doc), TESRA_SUCCESS);
    EXPECT_EQ(archive.header()->i6_0.num_objects_sampled, 1u);
    EXPECT_STREQ(volume()->e6_0.name, "volume");
    EXPECT_EQ(volume()->i6_0.num_cnts_sampled, 3u);
}

TEST_F(MetaParseTest, VersionSixZeroBlanksMissingClusterAndStoreFields) {
    ASSERT_TRUE(replace_once(doc, "version=\"6.1\"", "version=\"6.0\""));
    for (const char *gone :
         {"<cluster_name>cluster</cluster_name>", "<cluster_id>cid</cluster_id>",
          "<process_name>proc</process_name>", "<store_name>store</store_name>"}) {
        ASSERT_TRUE(replace_once(doc, gone, ""));
    }
    ASSERT_EQ(open_doc(doc), TESRA_SUCCESS);
    const auto &system = archive.header()->i6_0.system.e6_0;
    EXPECT_STREQ(system.cluster_name, "");
    EXPECT_STREQ(system.store_name, "");
    EXPECT_STREQ(system.hostname, "host");
}

TEST_F(MetaParseTest, ParseBodiesRefuseNullArguments) {
    EXPECT_EQ(tesra_parse_xml_header_v6_0(nullptr, nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_parse_attribute_def_v6_0(nullptr, nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_parse_objects_v6_0(nullptr, nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_parse_counter_v6_0(nullptr, nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_parse_aggregation_v6_0(nullptr, nullptr), TESRA_NULL_POINTER);
}

// ---- round trip through the writer ----------------------------------------------------------

ArchiveSpec rich_spec(uint32_t minor) {
    ArchiveSpec spec;
    spec.minor = minor;
    spec.generation = 42;
    spec.preset_version = "p<1>&\"q\"";
    spec.system.hostname = "host & 'co'";
    spec.system.cluster_name = "<cluster>";
    spec.attributes = {{"a&b", 9, "desc \"quoted\""}, {"plain", 0, "d"}};
    ObjectSpec obj;
    obj.id = 7;
    obj.name = "disk<0>";
    obj.priv = "admin&";
    AggregationSpec named;
    named.type = "avg";
    named.name = "n'ame";
    named.filter = "f>1";
    named.max_records = 77;
    obj.aggregations = {named, AggregationSpec{}};
    CounterSpec key;
    key.id = 1;
    key.name = "key";
    key.is_key = true;
    key.ctype = 0x2010;
    key.size = 16;
    CounterSpec arr;
    arr.id = 4;
    arr.name = "hist&o";
    arr.ctype = 0x00012004;
    arr.size = 24;
    arr.base_id = 3;
    arr.periods = {300000, 60000};
    arr.x_names = {"x<1", "x2", "x3"};
    arr.y_names = {"y1", "y\"2"};
    obj.counters = {key, arr};
    ObjectSpec other;
    other.id = 2;
    other.name = "other";
    other.counters = {CounterSpec{}};
    spec.objects = {obj, other};
    return spec;
}

class MetaRoundTripTest : public MetaParseTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(MetaRoundTripTest, EverythingTheWriterWasGivenComesBackUnescaped) {
    const ArchiveSpec spec = rich_spec(GetParam());
    const std::string base = dir.base(kFinishedName);
    const std::vector<std::byte> body7(16 + 24);
    const std::vector<std::byte> body2(8);
    ASSERT_EQ(write_archive(spec, base,
                            {{60000, 7, 60000, body7},
                             {300000, 7, 300000, std::vector<std::byte>(16 + 24)},
                             {120000, 2, 60000, body2}}),
              TESRA_SUCCESS);
    ASSERT_EQ(archive.open(base), TESRA_SUCCESS);
    tesra_header_handle_t *header = archive.header();

    tesra_header_def_t_v6_0 hdef{};
    ASSERT_EQ(tesra_get_header_info(header, &hdef), TESRA_SUCCESS);
    EXPECT_EQ(hdef.generation_id, 42u);
    EXPECT_STREQ(hdef.preset_version, spec.preset_version.c_str());

    tesra_system_def_t_v6_0 sys{};
    ASSERT_EQ(tesra_get_system_info(header, &sys), TESRA_SUCCESS);
    EXPECT_EQ(sys.base_time, spec.system.base_time);
    EXPECT_STREQ(sys.hostname, spec.system.hostname.c_str());
    EXPECT_STREQ(sys.nelvo_version, spec.system.nelvo_version.c_str());
    EXPECT_STREQ(sys.cluster_name, GetParam() == 0 ? "" : spec.system.cluster_name.c_str());

    ASSERT_EQ(header->i6_0.num_attr_defs, 2u);
    EXPECT_STREQ(header->i6_0.attr_defs[0]->name, "a&b");
    EXPECT_EQ(header->i6_0.attr_defs[0]->value, 9u);
    EXPECT_STREQ(header->i6_0.attr_defs[0]->desc, "desc \"quoted\"");

    tesra_object_handle_t *object = nullptr;
    ASSERT_EQ(tesra_find_object(header, "disk<0>", &object), TESRA_SUCCESS);
    tesra_object_def_t_v6_0 odef{};
    ASSERT_EQ(tesra_get_object_info(object, &odef), TESRA_SUCCESS);
    EXPECT_EQ(odef.obj_id, 7u);
    EXPECT_STREQ(odef.priv, "admin&");

    const tesra_aggregation_handle_t *aggr = object->i6_0.aggregation_list;
    ASSERT_NE(aggr, nullptr);
    EXPECT_STREQ(aggr->e6_0.aggr_type, "avg");
    EXPECT_STREQ(aggr->e6_0.aggr_name, "n'ame");
    EXPECT_STREQ(aggr->e6_0.inst_list_req_filter, "f>1");
    EXPECT_EQ(aggr->e6_0.gi_max_records, 77u);
    ASSERT_NE(aggr->i6_0.next_agg_in_list, nullptr);
    EXPECT_EQ(aggr->i6_0.next_agg_in_list->e6_0.aggr_name, nullptr);

    tesra_counter_handle_t *counter = nullptr;
    ASSERT_EQ(tesra_find_counter_by_name(object, "hist&o", &counter), TESRA_SUCCESS);
    tesra_counter_def_t_v6_0 cdef{};
    ASSERT_EQ(tesra_get_counter_info(counter, &cdef), TESRA_SUCCESS);
    EXPECT_EQ(cdef.cnt_id, 4u);
    EXPECT_EQ(cdef.base_id, 3u);
    EXPECT_EQ(cdef.size, 24u);
    EXPECT_EQ(cdef.ctype, 0x00012004u);
    ASSERT_EQ(cdef.num_periods, 2);
    EXPECT_EQ(cdef.periods[0], 60000u);
    EXPECT_EQ(cdef.periods[1], 300000u);
    ASSERT_EQ(cdef.num_x_items, 3u);
    EXPECT_STREQ(cdef.x_names[0], "x<1");
    EXPECT_STREQ(cdef.x_names[2], "x3");
    ASSERT_EQ(cdef.num_y_items, 2u);
    EXPECT_STREQ(cdef.y_names[1], "y\"2");

    tesra_counter_handle_t *key = nullptr;
    ASSERT_EQ(tesra_find_counter_by_id(object, 1, &key), TESRA_SUCCESS);
    EXPECT_TRUE(key->e6_0.is_key);
    EXPECT_EQ(object->i6_0.num_key_cnts_sampled, 1u);
}

INSTANTIATE_TEST_SUITE_P(Versions, MetaRoundTripTest, ::testing::Values(0u, 1u));

}  // namespace
}  // namespace tesra::test
