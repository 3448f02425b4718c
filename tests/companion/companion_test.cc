// The companion libraries fill directory, collection and core-file records that libtesrautil
// releases; these tests build real folders and 7z archives and release what comes back.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tesra/tesra_int_defs.h"

#include "companion/tesra_companion.h"
#include "support/temp_dir.h"
#include "util/heap_count.h"

namespace {

namespace fs = std::filesystem;
using tesra::test::HeapBalance;

class Companion : public ::testing::Test {
protected:
    static void touch(const fs::path &p, const std::string &content = "x") {
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
    }

    tesra::test::TempDir tmp_;
    fs::path dir_ = tmp_.path();
};

TEST_F(Companion, DirectoryListsArchivesByFileIndex) {
    touch(dir_ / "3_60_1000_500.meta");
    touch(dir_ / "3_60_1000_500.gz");
    touch(dir_ / "1_300_200_100.meta");
    touch(dir_ / "notes.meta");      // not an archive name
    touch(dir_ / "2_60_0_10.gz");    // data without metadata
    touch(dir_ / "0_60_0_10.meta");  // index 0 is refused
    HeapBalance balance;
    tesra_directory_handle_t *d = nullptr;
    ASSERT_EQ(tesra_dir_open(dir_.c_str(), &d), TESRA_SUCCESS);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(tesra_is_version(d, 6, 0));
    EXPECT_STREQ(d->e6_0.directory_path, dir_.c_str());
    ASSERT_EQ(d->i6_0.num_files, 2u);
    EXPECT_GE(d->i6_0.array_size, 2u);
    const tesra_file_def_t_v6_0 &first = d->i6_0.file_infos[0];
    EXPECT_EQ(first.file_index, 1u);
    EXPECT_EQ(first.start_time, 200u);
    EXPECT_EQ(first.end_time, 300u);
    EXPECT_EQ(std::string(first.meta_path), (dir_ / "1_300_200_100.meta").string());
    EXPECT_EQ(std::string(first.data_path), (dir_ / "1_300_200_100.gz").string());
    EXPECT_EQ(std::string(first.file_path), (dir_ / "1_300_200_100").string());
    EXPECT_EQ(d->i6_0.file_infos[1].file_index, 3u);
    EXPECT_EQ(d->e6_0.start_time, 200u);
    EXPECT_EQ(d->e6_0.end_time, 1500u);
    EXPECT_EQ(d->e6_0.period, 300000u);
    tesra_free_directory(d);
}

TEST_F(Companion, DirectoryRefusalsLeaveOutUntouched) {
    tesra_directory_handle_t *d = reinterpret_cast<tesra_directory_handle_t *>(0x1);
    EXPECT_EQ(tesra_dir_open((dir_ / "missing").c_str(), &d), TESRA_FILE_NOT_FOUND);
    EXPECT_EQ(tesra_dir_open(nullptr, &d), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(d, reinterpret_cast<tesra_directory_handle_t *>(0x1));
}

TEST_F(Companion, CollectionHasOneStorePerSubfolder) {
    touch(dir_ / "alpha" / "1_60_100_50.meta");
    touch(dir_ / "alpha" / "2_60_150_50.meta");
    touch(dir_ / "beta" / "readme.txt");
    touch(dir_ / "loose_file.meta");
    HeapBalance balance;
    tesra_collection_handle_t *c = nullptr;
    ASSERT_EQ(tesra_collection_open(dir_.c_str(), &c), TESRA_SUCCESS);
    ASSERT_NE(c, nullptr);
    const tesra_collection_int_t_v6_0 &body = c->i6_0;
    ASSERT_EQ(body.num_total_stores, 2u);
    const tesra_store_int_t_v6_0 &alpha = body.all_stores[0];
    EXPECT_STREQ(alpha.store_info.store_name, "alpha");
    EXPECT_EQ(alpha.num_files, 2u);
    EXPECT_EQ(alpha.files[1].file_index, 2u);
    // The cluster strings are the collection's own, shared by the stores.
    EXPECT_EQ(alpha.store_info.cluster_name, body.cluster_name);
    EXPECT_EQ(body.all_stores[1].store_info.cluster_id, body.cluster_id);
    EXPECT_EQ(body.all_stores[1].num_files, 0u);
    EXPECT_EQ(body.min_start_time, 100u);
    EXPECT_EQ(body.max_end_time, 200u);
    tesra_free_collection(c);
}

// The 7z signature header of an archive with no entries: signature, version 0.4, the CRC of the
// 20 bytes that follow, and a next header of size 0.
void write_empty_7z(const fs::path &p) {
    std::array<unsigned char, 32> h{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
    const uLong crc = crc32(0L, h.data() + 12, 20);
    for (int i = 0; i < 4; ++i) h[8 + i] = static_cast<unsigned char>(crc >> (8 * i));
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(h.data()), h.size());
}

TEST_F(Companion, EmptyArchiveOpensAndReleasesWithItsFile) {
    write_empty_7z(dir_ / "empty.7z");
    HeapBalance balance;
    tesra_corefile_handle_t *core = nullptr;
    ASSERT_EQ(tesra_corefile_open((dir_ / "empty.7z").c_str(), &core), TESRA_SUCCESS);
    EXPECT_NE(core->i6_0.archiveStream.file.file, nullptr);
    EXPECT_EQ(core->i6_0.num_files, 0u);
    EXPECT_EQ(core->i6_0.num_dirs, 0u);
    tesra_free_corefile(core);  // closes the archive file: the balance counts its FILE
}

TEST_F(Companion, ArchiveMadeBy7zListsFilesAndFolders) {
    if (std::system("command -v 7z >/dev/null 2>&1") != 0) GTEST_SKIP() << "7z is not installed";
    touch(dir_ / "src" / "core.txt", "core dump text");
    touch(dir_ / "src" / "logs" / "messages", "log");
    const std::string cmd = "cd '" + (dir_ / "src").string() +
                            "' && 7z a -t7z ../core.7z core.txt logs >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    HeapBalance balance;
    tesra_corefile_handle_t *core = nullptr;
    ASSERT_EQ(tesra_corefile_open((dir_ / "core.7z").c_str(), &core), TESRA_SUCCESS);
    EXPECT_STREQ(core->e6_0.file_path, (dir_ / "core.7z").c_str());
    ASSERT_EQ(core->i6_0.num_files, 2u);
    ASSERT_EQ(core->i6_0.num_dirs, 1u);
    std::vector<std::string> files(core->i6_0.file_names, core->i6_0.file_names + 2);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files[0], "core.txt");
    EXPECT_EQ(files[1].substr(files[1].size() - 8), "messages");
    EXPECT_STREQ(core->i6_0.dir_names[0], "logs");
    tesra_free_corefile(core);
}

TEST_F(Companion, CorefileRefusals) {
    touch(dir_ / "plain.txt", "this is not a 7z archive, just some text long enough");
    tesra_corefile_handle_t *core = nullptr;
    EXPECT_EQ(tesra_corefile_open((dir_ / "plain.txt").c_str(), &core), TESRA_PARSING_ERROR);
    EXPECT_EQ(tesra_corefile_open((dir_ / "missing.7z").c_str(), &core), TESRA_FILE_NOT_FOUND);
    EXPECT_EQ(tesra_corefile_open(nullptr, &core), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(core, nullptr);
}

}  // namespace
