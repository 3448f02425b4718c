// The deflate level of the data stream: every level gives the same records, the level chosen by
// the call or the environment is the one used, and a choice that comes too late or names no
// level is refused.
#include <stdlib.h>

#include <optional>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tesra/tesra_write_ext.h"

#include "writer_fixture.h"

namespace tesra::test {
namespace {

// Sets (or with nullopt unsets) the level variable for one scope and restores what was there.
class LevelVariable {
public:
    explicit LevelVariable(std::optional<std::string> value) {
        if (const char *old = std::getenv(TESRA_GZIP_LEVEL_ENV)) old_ = old;
        set(value);
    }
    ~LevelVariable() { set(old_); }
    LevelVariable(const LevelVariable &) = delete;
    LevelVariable &operator=(const LevelVariable &) = delete;

private:
    static void set(const std::optional<std::string> &value) {
        if (value) {
            setenv(TESRA_GZIP_LEVEL_ENV, value->c_str(), 1);
        } else {
            unsetenv(TESRA_GZIP_LEVEL_ENV);
        }
    }
    std::optional<std::string> old_;
};

bool exists(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

class CompressionLevel : public WriterTest {
protected:
    // 2000 instances of the simple preset: distinct names and growing counts, which every level
    // but 0 shrinks to well below their size.
    static std::vector<std::byte> volumes(uint64_t step) {
        Instances in;
        for (uint32_t i = 0; i < 2000; ++i)
            in.str("vol" + std::to_string(i), 16).u64(step * 1000 * (i + 1) + i % 7);
        return in.bytes();
    }
    // The two records of every archive here, as the decompressed stream holds them.
    static std::vector<std::byte> stream() {
        auto bytes = record_bytes(60000, 3, 60000, volumes(1));
        const auto second = record_bytes(120000, 3, 60000, volumes(2));
        bytes.insert(bytes.end(), second.begin(), second.end());
        return bytes;
    }
    // Writes the two records, closes, and hands back the compressed data file.
    static std::vector<std::byte> finish(ArchiveBuilder &b) {
        EXPECT_EQ(b.write(60000, 3, 60000, volumes(1)), TESRA_SUCCESS);
        EXPECT_EQ(b.write(120000, 3, 60000, volumes(2)), TESRA_SUCCESS);
        EXPECT_EQ(b.close(), TESRA_SUCCESS);
        EXPECT_EQ(gunzip_file(b.data_path()), stream());
        return read_file(b.data_path());
    }
};

TEST_F(CompressionLevel, EveryLevelGivesTheSameRecordsAndDefaultIsItsOwnLevel) {
    LevelVariable unset(std::nullopt);
    std::vector<std::vector<std::byte>> gz;
    for (int level = TESRA_MIN_COMPRESSION_LEVEL; level <= TESRA_MAX_COMPRESSION_LEVEL; ++level) {
        SCOPED_TRACE(level);
        auto b = open(ArchiveSpec::simple(), "level" + std::to_string(level));
        ASSERT_EQ(tesra_set_compression_level(b->file(), level), TESRA_SUCCESS);
        gz.push_back(finish(*b));
    }
    const std::size_t raw = stream().size();
    EXPECT_GT(gz[0].size(), raw);  // stored blocks: the level reached zlib
    EXPECT_LT(gz[1].size(), raw / 2);

    auto b = open(ArchiveSpec::simple(), "default");
    EXPECT_EQ(finish(*b), gz[TESRA_DEFAULT_COMPRESSION_LEVEL]);
}

TEST_F(CompressionLevel, ChoiceIsRefusedOnceARecordIsInTheStream) {
    LevelVariable unset(std::nullopt);
    auto b = open(ArchiveSpec::simple());
    EXPECT_EQ(tesra_set_compression_level(nullptr, 1), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_set_compression_level(b->file(), -1), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_set_compression_level(b->file(), 10), TESRA_INVALID_ARGUMENTS);
    // A refused record leaves the stream empty, so the choice is still open.
    EXPECT_EQ(b->write(60000, 7, 60000, volumes(1)), TESRA_OBJECT_NOT_FOUND);
    ASSERT_EQ(tesra_set_compression_level(b->file(), 9), TESRA_SUCCESS);
    ASSERT_EQ(tesra_set_compression_level(b->file(), 0), TESRA_SUCCESS);

    ASSERT_EQ(b->write(60000, 3, 60000, volumes(1)), TESRA_SUCCESS);
    EXPECT_EQ(tesra_set_compression_level(b->file(), 9), TESRA_INVALID_ARGUMENTS);
    ASSERT_EQ(b->write(120000, 3, 60000, volumes(2)), TESRA_SUCCESS);
    ASSERT_EQ(b->close(), TESRA_SUCCESS);
    EXPECT_GT(read_file(b->data_path()).size(), stream().size());  // still level 0 throughout
}

TEST_F(CompressionLevel, EnvironmentChoosesTheLevelUnlessTheCallDoes) {
    {
        LevelVariable stored("0");
        ArchiveBuilder b(ArchiveSpec::simple());
        ASSERT_EQ(b.create(dir_.base("env")), TESRA_SUCCESS);
        ASSERT_EQ(b.finalize(), TESRA_SUCCESS);
        EXPECT_GT(finish(b).size(), stream().size());
    }
    LevelVariable stored("0");
    ArchiveBuilder b(ArchiveSpec::simple());
    ASSERT_EQ(b.create(dir_.base("call")), TESRA_SUCCESS);
    ASSERT_EQ(tesra_set_compression_level(b.file(), 1), TESRA_SUCCESS);
    ASSERT_EQ(b.finalize(), TESRA_SUCCESS);
    EXPECT_LT(finish(b).size(), stream().size() / 2);
}

TEST_F(CompressionLevel, EnvironmentValueThatIsNoLevelRefusesCreationAndCreatesNothing) {
    for (const char *value : {"", "10", "-1", "+3", " 3", "3 ", "03", "x", "3x"}) {
        SCOPED_TRACE(std::string("'") + value + "'");
        LevelVariable bad(value);
        const std::string base = dir_.base("bad");
        tesra_file_handle_t *file = reinterpret_cast<tesra_file_handle_t *>(&file);
        const char *meta = nullptr;
        EXPECT_EQ(tesra_create_data_file(base.c_str(), 6, 1, 900000, &file, &meta, nullptr),
                  TESRA_INVALID_ARGUMENTS);
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(meta, nullptr);
        EXPECT_FALSE(exists(base + ".meta"));
        EXPECT_FALSE(exists(base + ".gz"));
    }
}

}  // namespace
}  // namespace tesra::test
