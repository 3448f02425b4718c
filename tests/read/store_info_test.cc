// Store identity from an archive's metadata document and from the head of a collector's dump.
#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "read/sample_archives.h"

namespace tesra::test {
namespace {

std::optional<std::string> text(const char *s) {
    return s == nullptr ? std::nullopt : std::optional<std::string>(s);
}

class StoreInfoFromMeta : public ::testing::Test {
protected:
    void write_meta(const std::string &xml) {
        std::string bytes = xml;
        bytes.push_back('\0');
        bytes += "\x01\x02binary index";
        write_text_file(base_ + ".meta", bytes);
    }

    TempDir dir_;
    std::string base_ = dir_.base(kArchiveName);
    tesra_store_def_t_v6_0 info_{};
};

TEST_F(StoreInfoFromMeta, ArchiveOfVersion61CarriesTheNodesValues) {
    ArchiveSpec spec = sample_spec();
    spec.generation = 17;
    spec.system.hostname = "node-a";
    spec.system.store_name = "st1";
    ASSERT_EQ(write_archive(spec, base_,
                            {{0, kVolume, 1000, volume_fast("a", 1)},
                             {1000, kVolume, 1000, volume_fast("a", 2)}}),
              TESRA_SUCCESS);
    ASSERT_EQ(tesra_get_store_info_from_meta_file_v6_0(base_.c_str(), &info_), TESRA_SUCCESS);
    EXPECT_EQ(info_.major_v, 6u);
    EXPECT_EQ(info_.minor_v, 1u);
    EXPECT_EQ(info_.generation_id, 17u);
    EXPECT_EQ(text(info_.node_name), "node-a");
    EXPECT_EQ(text(info_.store_name), "st1");
    EXPECT_EQ(text(info_.cluster_name), "cluster");
    EXPECT_EQ(text(info_.cluster_id), "cluster-id");
    EXPECT_EQ(text(info_.process_name), "process");
    tesra_free_store_def(info_);
}

TEST_F(StoreInfoFromMeta, ArchiveOfVersion60HasEmptyStoreFields) {
    ArchiveSpec spec = sample_spec();
    spec.minor = 0;
    ASSERT_EQ(write_archive(spec, base_,
                            {{0, kVolume, 1000, volume_fast("a", 1)},
                             {1000, kVolume, 1000, volume_fast("a", 2)}}),
              TESRA_SUCCESS);
    ASSERT_EQ(tesra_get_store_info_from_meta_file_v6_0(base_.c_str(), &info_), TESRA_SUCCESS);
    EXPECT_EQ(info_.minor_v, 0u);
    EXPECT_EQ(text(info_.node_name), "node1");
    EXPECT_EQ(text(info_.cluster_name), "");
    EXPECT_EQ(text(info_.cluster_id), "");
    EXPECT_EQ(text(info_.process_name), "");
    EXPECT_EQ(text(info_.store_name), "");
    tesra_free_store_def(info_);
}

TEST_F(StoreInfoFromMeta, DocumentWithoutSystemGivesVersionAndGenerationOnly) {
    write_meta("<archive version=\"6.1\" generation=\"9\"><preset/></archive>\n");
    ASSERT_EQ(tesra_get_store_info_from_meta_file_v6_0(base_.c_str(), &info_), TESRA_SUCCESS);
    EXPECT_EQ(info_.generation_id, 9u);
    EXPECT_EQ(info_.node_name, nullptr);
    EXPECT_EQ(info_.store_name, nullptr);
}

TEST_F(StoreInfoFromMeta, RepeatedElementKeepsTheLastCopyOnly) {
    write_meta(
        "<archive version=\"6.1\" generation=\"1\"><system><hostname>a</hostname>"
        "<hostname>b</hostname></system></archive>\n");
    ASSERT_EQ(tesra_get_store_info_from_meta_file_v6_0(base_.c_str(), &info_), TESRA_SUCCESS);
    EXPECT_EQ(text(info_.node_name), "b");
    tesra_free_store_def(info_);
}

struct MetaFailure {
    const char *name;
    const char *xml;  // nullptr: no file at all
    tesra_error_t expected;
};

class StoreInfoFromBadMeta : public StoreInfoFromMeta,
                             public ::testing::WithParamInterface<MetaFailure> {};

TEST_P(StoreInfoFromBadMeta, FailsWithItsCode) {
    if (GetParam().xml != nullptr) write_meta(GetParam().xml);
    EXPECT_EQ(tesra_get_store_info_from_meta_file_v6_0(base_.c_str(), &info_), GetParam().expected);
    EXPECT_EQ(info_.node_name, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Documents,
    StoreInfoFromBadMeta,
    ::testing::Values(
        MetaFailure{"NoFile", nullptr, TESRA_FILE_NOT_FOUND},
        MetaFailure{"NotXml", "archive version=6.1", TESRA_PARSING_ERROR},
        MetaFailure{"OtherRoot", "<store version=\"6.1\"/>", TESRA_PARSING_ERROR},
        MetaFailure{"VersionWithoutMinor", "<archive version=\"6\"/>", TESRA_NULL_POINTER},
        MetaFailure{"NoVersion", "<archive generation=\"1\"/>", TESRA_NULL_POINTER},
        MetaFailure{"OtherMajor",
                    "<archive version=\"5.0\"><system><hostname>h</hostname></system></archive>",
                    TESRA_INVALID_VERSION},
        // Entities are never written; declaring one could make every fetched text explode.
        MetaFailure{"DeclaresEntities",
                    "<!DOCTYPE archive [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
                    "<archive version=\"6.1\"><system><hostname>&b;</hostname></system></archive>",
                    TESRA_PARSING_ERROR}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(StoreInfoFromMeta, OtherMajorStillReportsTheVersionRead) {
    write_meta("<archive version=\"5.0\"/>");
    EXPECT_EQ(tesra_get_store_info_from_meta_file_v6_0(base_.c_str(), &info_),
              TESRA_INVALID_VERSION);
    EXPECT_EQ(info_.major_v, 5u);
    EXPECT_EQ(info_.minor_v, 0u);
}

// ---- collector dumps
// -----------------------------------------------------------------------------

struct DumpCase {
    const char *name;
    std::string head;  // written first
    size_t total;      // padded with a filler line of 'x' up to this size (at least the head)
    tesra_error_t expected;
    std::optional<std::string> node, cluster_id, cluster_name;
};

class StoreInfoFromDump : public ::testing::TestWithParam<DumpCase> {};

TEST_P(StoreInfoFromDump, ReadsTheMarkersOfTheFirst1024Bytes) {
    const auto &c = GetParam();
    TempDir dir;
    const auto path = dir.base("dump.txt");
    std::string content = c.head;
    if (content.size() < c.total) content += std::string(c.total - content.size(), 'x');
    write_text_file(path, content);

    tesra_store_def_t_v6_0 info{};
    ASSERT_EQ(tesra_get_store_info_from_drovik_file_v6_0(path.c_str(), &info), c.expected);
    EXPECT_EQ(info.major_v, 6u);
    EXPECT_EQ(info.minor_v, 1u);
    if (c.expected != TESRA_SUCCESS) {
        EXPECT_EQ(info.node_name, nullptr);
        return;
    }
    EXPECT_EQ(text(info.node_name), c.node);
    EXPECT_EQ(text(info.cluster_id), c.cluster_id);
    EXPECT_EQ(text(info.cluster_name), c.cluster_name);
    EXPECT_EQ(text(info.process_name), "drovikd");
    EXPECT_EQ(text(info.store_name), "");
    EXPECT_EQ(info.generation_id, 0u);
    tesra_free_store_def(info);
}

const std::string kMarkers = "NODE-NAME node-a\nCLUSTER UUID 1111-2222\nCLUSTER NAME,cl1\n";

INSTANTIATE_TEST_SUITE_P(
    Dumps,
    StoreInfoFromDump,
    ::testing::Values(
        DumpCase{"MarkersInOrder", "header\n" + kMarkers, 1100, TESRA_SUCCESS, "node-a",
                 "1111-2222", "cl1"},
        DumpCase{"ClusterNameEndsTheScan", "CLUSTER NAME\tcl1\nNODE-NAME node-a\nCLUSTER UUID u\n",
                 1024, TESRA_SUCCESS, std::nullopt, std::nullopt, "cl1"},
        DumpCase{"LaterLineReplacesEarlier", "NODE-NAME a\nNODE-NAME ,b\n", 1024, TESRA_SUCCESS,
                 "b", std::nullopt, std::nullopt},
        DumpCase{"MarkersBeyondTheHead", std::string(1100, 'y') + "\n" + kMarkers, 0, TESRA_SUCCESS,
                 std::nullopt, std::nullopt, std::nullopt},
        DumpCase{"MarkerCutAtByte1024", std::string(1010, 'y') + "\nNODE-NAME node-abcdef", 0,
                 TESRA_SUCCESS, "nod", std::nullopt, std::nullopt},
        DumpCase{"MarkerLinesWithTooFewTokens", "NODE-NAME\nCLUSTER UUID\nCLUSTER NAME\n", 1024,
                 TESRA_SUCCESS, std::nullopt, std::nullopt, std::nullopt},
        DumpCase{"NulEndsTheText", std::string("NODE-NAME a\n\0CLUSTER UUID x y\n", 30), 1024,
                 TESRA_SUCCESS, "a", std::nullopt, std::nullopt},
        DumpCase{"ShorterThan1024", kMarkers, 1000, TESRA_READ_FAILED, std::nullopt, std::nullopt,
                 std::nullopt}),
    [](const auto &p) { return std::string(p.param.name); });

TEST(StoreInfoFromDumpFile, MissingFileIsNotFound) {
    tesra_store_def_t_v6_0 info{};
    EXPECT_EQ(tesra_get_store_info_from_drovik_file_v6_0("/nonexistent/dump", &info),
              TESRA_FILE_NOT_FOUND);
    EXPECT_EQ(info.major_v, 0u);
}

}  // namespace
}  // namespace tesra::test
