// Random access to gzip files against zlib's own gzseek/gzread on the same files: every kind of
// stream a reader can meet, random seek and read sequences, the cost of a backward seek and the
// memory held.
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "read/reader_test_support.h"
#include "support/archive_builder.h"

// The layer is internal to the reader library (hidden), so it is compiled into the test too.
#include "read/gz_access_index.cc"
#include "read/gz_engine.cc"
#include "read/gz_fast_inflate.cc"
#include "read/gz_isal_engine.cc"
#include "read/gz_random_access.cc"
#include "read/gz_span_cache.cc"
#include "read/gz_zlib_engine.cc"

namespace tesra::test {
namespace {

using read::GzAccessOptions;
using read::GzRandomAccess;
using Bytes = std::vector<unsigned char>;

// Small spans and points and a cache of eight spans: the sequences below cross many points,
// evict spans and restart inflation all the time.
constexpr GzAccessOptions kTight{32 << 10, 8 << 10, 64 << 10};
constexpr GzAccessOptions kTightZlib{32 << 10, 8 << 10, 64 << 10, false};

// Text-like samples with repeats: compresses about as well as an archive's records.
Bytes sample_bytes(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(n);
    while (out.size() < n) {
        const std::string line = "obj=" + std::to_string(rng() % 40) +
                                 " inst=" + std::to_string(rng() % 300) +
                                 " value=" + std::to_string(rng() % 100000) + "\n";
        out.insert(out.end(), line.begin(), line.end());
    }
    out.resize(n);
    return out;
}

struct MemberSpec {
    int level = Z_DEFAULT_COMPRESSION;
    std::size_t flush_every = 0;  // a Z_SYNC_FLUSH after every this many input bytes
    bool header_extras = false;   // name, comment and header CRC in the gzip header
};

// One gzip member holding `data`.
Bytes gzip_member(const Bytes &data, const MemberSpec &spec = {}) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, spec.level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    gz_header head{};
    char name[] = "samples.txt";
    char comment[] = "made by the test";
    if (spec.header_extras) {
        head.name = reinterpret_cast<Bytef *>(name);
        head.comment = reinterpret_cast<Bytef *>(comment);
        head.hcrc = 1;
        EXPECT_EQ(deflateSetHeader(&zs, &head), Z_OK);
    }
    Bytes out(deflateBound(&zs, data.size()) + data.size() / 64 + 1024);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    const std::size_t step = spec.flush_every ? spec.flush_every : data.size() + 1;
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(step, data.size() - at);
        zs.next_in = const_cast<Bytef *>(data.data() + at);
        zs.avail_in = static_cast<uInt>(n);
        at += n;
        const int flush = at == data.size() ? Z_FINISH : Z_SYNC_FLUSH;
        const int rc = deflate(&zs, flush);
        EXPECT_TRUE(rc == Z_OK || rc == Z_STREAM_END);
    } while (at < data.size());
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes first_bytes(const Bytes &b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + n);
}

void write_bytes(const std::string &path, const Bytes &bytes, const char *mode = "wb") {
    std::FILE *f = std::fopen(path.c_str(), mode);
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    ASSERT_EQ(std::fclose(f), 0);
}

struct GzCloser {
    void operator()(gzFile gz) const noexcept { gzclose(gz); }
};
using GzPtr = std::unique_ptr<gzFile_s, GzCloser>;

// zlib's stream and the layer over the same file, driven in step.
class Pair {
public:
    Pair(const std::string &path, const GzAccessOptions &options)
        : gz_(gzopen(path.c_str(), "rb")), layer_(GzRandomAccess::open(path.c_str(), options)) {}
    bool ok() const { return gz_ && layer_; }
    GzRandomAccess &layer() { return *layer_; }

    void seek(int64_t offset) {
        EXPECT_EQ(layer_->seek(offset), gzseek64(gz_.get(), offset, SEEK_SET)) << offset;
    }
    // Reads `len` from both; the shared result (-1 on error), or -2 when they differ.
    int read(unsigned len) {
        Bytes want(len + 1, 0xAA), got(len + 1, 0x55);
        const int expected = gzread(gz_.get(), want.data(), len);
        const int actual = layer_->read(got.data(), len);
        EXPECT_EQ(actual, expected) << "read of " << len;
        if (actual != expected) return -2;
        if (expected > 0) {
            EXPECT_TRUE(std::equal(want.begin(), want.begin() + expected, got.begin()))
                << "bytes of a read of " << len;
        }
        return expected;
    }

private:
    GzPtr gz_;
    std::unique_ptr<GzRandomAccess> layer_;
};

// Seeks forward, backward and past the end, with reads from nothing to several spans.
void run_random_sequence(Pair &pair, std::size_t stream_size, uint32_t seed, int steps) {
    std::mt19937 rng(seed);
    const uint64_t reach = stream_size + 3 * kTight.span_size + 10;
    int64_t position = 0;
    for (int i = 0; i < steps && !::testing::Test::HasFailure(); ++i) {
        switch (rng() % 4) {
            case 0:
                position = static_cast<int64_t>(rng() % reach);
                break;
            case 1:
                position = std::max<int64_t>(0, position - static_cast<int64_t>(rng() % 70000));
                break;
            case 2:
                position += static_cast<int64_t>(rng() % 5000);
                break;
            default:
                break;  // read on from where the last read stopped
        }
        pair.seek(position);
        const unsigned len = rng() % 3 == 0 ? rng() % 25 : rng() % 100000;
        const int n = pair.read(len);
        if (n > 0) position += n;
    }
}

struct StreamCase {
    const char *name;
    Bytes (*make)();
};

const Bytes &data_a() {
    static const Bytes b = sample_bytes(600000, 1);
    return b;
}
const Bytes &data_b() {
    static const Bytes b = sample_bytes(250000, 2);
    return b;
}

const StreamCase kStreams[] = {
    {"SingleMember", [] { return gzip_member(data_a()); }},
    {"FlushedBlocks",
     [] {
         return gzip_member(data_a(), {6, 3000, false});
     }},
    {"StoredBlocks",
     [] {
         return gzip_member(data_b(), {0, 0, false});
     }},
    {"LongRuns", [] { return gzip_member(Bytes(3 << 20, 'z')); }},
    {"MembersWithAnEmptyOne",
     [] {
         return join({gzip_member(data_b(), {6, 0, true}), gzip_member({}),
                      gzip_member(data_a(), {1, 7000, false}), gzip_member(Bytes(10, 'x'))});
     }},
    {"TrailingGarbage",
     [] {
         return join({gzip_member(data_b()), Bytes(100, 0x00), Bytes{0x1f, 0x8b}});
     }},
    {"TrailingMagicByte",
     [] {
         return join({gzip_member(data_b()), Bytes{0x1f}});
     }},
    {"CutInTheHeader",
     [] {
         return first_bytes(gzip_member(data_a(), {6, 0, true}), 12);
     }},
    {"CutInTheData", [] { return first_bytes(gzip_member(data_a()), 40000); }},
    {"CutInTheTrailer",
     [] {
         const Bytes m = gzip_member(data_a());
         return first_bytes(m, m.size() - 3);
     }},
    {"CutInTheSecondMember",
     [] {
         const Bytes m = gzip_member(data_a());
         return join({gzip_member(data_b()), first_bytes(m, m.size() / 2)});
     }},
    {"NotGzip", [] { return data_b(); }},
    {"MagicFirstByteOnly",
     [] {
         return join({Bytes{0x1f}, data_b()});
     }},
    {"OneByte", [] { return Bytes{0x1f}; }},
    {"Empty", [] { return Bytes{}; }},
};

class GzEquivalence : public ::testing::TestWithParam<StreamCase> {
protected:
    void SetUp() override {
        path_ = dir_.base("stream.gz");
        bytes_ = GetParam().make();
        write_bytes(path_, bytes_);
        // The stream's length as zlib sees it bounds the random positions.
        GzPtr gz(gzopen(path_.c_str(), "rb"));
        ASSERT_TRUE(gz);
        Bytes buf(1 << 20);
        int n = 0;
        while ((n = gzread(gz.get(), buf.data(), static_cast<unsigned>(buf.size()))) > 0) {
            length_ += static_cast<std::size_t>(n);
        }
    }
    TempDir dir_;
    std::string path_;
    Bytes bytes_;
    std::size_t length_ = 0;
};

TEST_P(GzEquivalence, RandomSeeksAndReadsMatchZlib) {
    for (const GzAccessOptions &options : {kTight, kTightZlib}) {
        for (uint32_t seed : {1u, 2u, 3u}) {
            Pair pair(path_, options);
            ASSERT_TRUE(pair.ok());
            run_random_sequence(pair, length_, seed, 150);
        }
    }
}

TEST_P(GzEquivalence, SequentialReadAndRereadMatchZlib) {
    Pair pair(path_, kTight);
    ASSERT_TRUE(pair.ok());
    for (int pass = 0; pass < 2; ++pass) {
        pair.seek(0);
        int n = 0;
        while ((n = pair.read(65536)) > 0) {
        }
        EXPECT_EQ(n, 0);
        EXPECT_EQ(pair.read(10), 0);  // still at the end
    }
}

TEST_P(GzEquivalence, DefaultOptionsMatchZlib) {
    Pair pair(path_, GzAccessOptions{});
    ASSERT_TRUE(pair.ok());
    run_random_sequence(pair, length_, 9, 60);
}

INSTANTIATE_TEST_SUITE_P(Streams,
                         GzEquivalence,
                         ::testing::ValuesIn(kStreams),
                         [](const auto &row) { return std::string(row.param.name); });

// ---- damaged streams: both fail, and agree on every byte either returns -------------------

// Reads `step` bytes at a time from zlib and the layer (each seeking to the next offset first
// when `seek`) until both have failed: every byte both return agrees, neither goes on past
// `limit`, and the layer's failure sticks, as zlib's does.
void read_both_until_they_fail(
    gzFile gz, GzRandomAccess &layer, unsigned step, int64_t limit, bool seek) {
    Bytes want(step), got(step);
    bool zlib_failed = false, layer_failed = false;
    for (int64_t at = 0; !(zlib_failed && layer_failed); at += step) {
        ASSERT_LT(at, limit) << "a reader went on past the damage";
        const int64_t zs = zlib_failed ? -1 : seek ? gzseek64(gz, at, SEEK_SET) : at;
        const int64_t ls = layer_failed ? -1 : seek ? layer.seek(at) : at;
        const int zn = zs < 0 ? -1 : gzread(gz, want.data(), step);
        const int ln = ls < 0 ? -1 : layer.read(got.data(), step);
        zlib_failed = zn < 0;
        layer_failed = ln < 0;
        if (zn >= 0 && ln >= 0) {
            ASSERT_EQ(zn, ln);
            ASSERT_TRUE(std::equal(want.begin(), want.begin() + zn, got.begin()));
            ASSERT_GT(zn, 0) << "both reached the end without an error";
        }
    }
    EXPECT_EQ(layer.seek(0), -1);
    EXPECT_EQ(layer.read(got.data(), 1), -1);
}

class GzDamaged : public ::testing::TestWithParam<int> {};

TEST_P(GzDamaged, BothFailAndAgreeBeforeTheFailure) {
    TempDir dir;
    const std::string path = dir.base("damaged.gz");
    Bytes bytes = join({gzip_member(data_a()), gzip_member(data_b())});
    switch (GetParam()) {
        case 0:
            bytes[bytes.size() / 3] ^= 0x55;
            break;  // inside the first member's data
        case 1:
            bytes[bytes.size() - 6] ^= 0x01;
            break;  // the second member's CRC
        case 2:
            bytes.insert(bytes.end(), {0x1f, 0x8b, 0x07, 0x00});
            break;  // a bad member
        default:
            break;
    }
    write_bytes(path, bytes);
    GzPtr gz(gzopen(path.c_str(), "rb"));
    auto layer = GzRandomAccess::open(path.c_str(), kTight);
    ASSERT_TRUE(gz && layer);
    read_both_until_they_fail(gz.get(), *layer, 50000, int64_t{1} << 24, true);
}

INSTANTIATE_TEST_SUITE_P(Damage, GzDamaged, ::testing::Values(0, 1, 2));

// A short member whose data refers back before its own start.
Bytes far_back_member() {
    return {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x63, 0x60, 0x80, 0x00,
            0x09, 0x20, 0x66, 0x06, 0xe2, 0x17, 0xcc, 0x10, 0x7e, 0x59, 0x7e, 0x8e, 0x6e, 0x22,
            0x03, 0x02, 0x30, 0x42, 0x69, 0x1d, 0x46, 0x5c, 0xea, 0x93, 0x90, 0xd4, 0x33, 0x41,
            0xe9, 0x3d, 0x4c, 0xb8, 0xd5, 0x27, 0x23, 0xa9, 0x87, 0x0a, 0x33, 0x5c, 0x60, 0x27,
            0xce, 0x3d, 0x2c, 0x50, 0xba, 0xff, 0xff, 0xff, 0xff, 0x40, 0xd5, 0xc3, 0xf8, 0xe8,
            0xea, 0x39, 0x81, 0x18, 0x00, 0xb5, 0xec, 0xbb, 0xaa, 0xec, 0x00, 0x00, 0x00};
}

// The fast inflater's library fails on it with its input count run below zero; the failure
// must leave the caller's input where it was, not gigabytes beyond it.
TEST(GzDamagedMember, FastInflaterFailureTakesNoMoreInputThanItWasGiven) {
    auto inflater = read::FastInflater::create();
    if (!inflater) GTEST_SKIP() << "built without the fast inflater";
    const Bytes bytes = far_back_member();
    inflater->start_member();
    const unsigned char *in = bytes.data();
    std::size_t avail = bytes.size();
    Bytes out(1 << 16);
    read::FastInflater::Step step = read::FastInflater::Step::kOk;
    for (int i = 0; i < 4 && step == read::FastInflater::Step::kOk; ++i) {
        std::size_t produced = 0, unused = 0;
        step = inflater->inflate(in, avail, out.data(), out.size(), &produced, &unused);
        EXPECT_LE(produced, out.size());
    }
    EXPECT_EQ(step, read::FastInflater::Step::kError);
    EXPECT_LE(avail, bytes.size());
    const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
    const auto at = reinterpret_cast<std::uintptr_t>(in);
    EXPECT_GE(at, start);
    EXPECT_EQ(at + avail, start + bytes.size());
}

// Through the layer both readers fail, agree on every byte both return, and the failure sticks.
TEST(GzDamagedMember, DistanceTooFarBackFailsAsWithZlib) {
    const Bytes bytes = far_back_member();
    TempDir dir;
    const std::string path = dir.base("far-back.gz");
    write_bytes(path, bytes);
    for (const GzAccessOptions &options : {kTightZlib, kTight, GzAccessOptions{}}) {
        SCOPED_TRACE(options.fast_inflater ? "fast" : "zlib");
        GzPtr gz(gzopen(path.c_str(), "rb"));
        auto layer = GzRandomAccess::open(path.c_str(), options);
        ASSERT_TRUE(gz && layer);
        read_both_until_they_fail(gz.get(), *layer, 24, 4096, false);
    }
}

// ---- cost and memory ----------------------------------------------------------------------

class GzRandomAccessCost : public ::testing::Test {
protected:
    void write_stream(const Bytes &data, const MemberSpec &spec) {
        path_ = dir_.base("cost.gz");
        write_bytes(path_, gzip_member(data, spec));
    }
    TempDir dir_;
    std::string path_;
};

TEST_F(GzRandomAccessCost, BackwardSeekInflatesAtMostOneSpacingAndOneSpan) {
    const Bytes data = sample_bytes(2 << 20, 5);
    // A block boundary every 4 KiB of input, so points sit close to their spacing.
    write_stream(data, {6, 4096, false});
    auto layer = GzRandomAccess::open(path_.c_str(), kTightZlib);
    ASSERT_TRUE(layer);
    Bytes all(data.size() + 1);
    ASSERT_EQ(layer->read(all.data(), static_cast<unsigned>(all.size())),
              static_cast<int>(data.size()));
    EXPECT_EQ(layer->stats().inflated_bytes, data.size());
    EXPECT_GE(layer->stats().access_points, data.size() / kTight.point_spacing - 1);

    std::mt19937 rng(11);
    for (int i = 0; i < 40; ++i) {
        const uint64_t at = rng() % data.size();
        const uint64_t before = layer->stats().inflated_bytes;
        unsigned char byte = 0;
        ASSERT_EQ(layer->seek(static_cast<int64_t>(at)), static_cast<int64_t>(at));
        ASSERT_EQ(layer->read(&byte, 1), 1);
        EXPECT_EQ(byte, data[at]);
        EXPECT_LE(layer->stats().inflated_bytes - before,
                  kTight.point_spacing + 4096 + kTight.span_size)
            << at;
    }
}

// Saved states of the fast inflater are the access points; restarts from them give zlib's
// bytes, and they are spaced so the index stays within its share.
TEST_F(GzRandomAccessCost, FastInflaterRestartsFromSavedStatesAsZlibReads) {
    const Bytes a = sample_bytes(5 << 20, 8), b = sample_bytes(3 << 20, 9);
    path_ = dir_.base("fast.gz");
    write_bytes(path_, join({gzip_member(a), gzip_member(b, {1, 50000, false})}));
    Pair pair(path_, kTight);
    ASSERT_TRUE(pair.ok());
    if (!pair.layer().stats().fast_inflater) GTEST_SKIP() << "built without the fast inflater";
    run_random_sequence(pair, a.size() + b.size(), 21, 120);
    const auto stats = pair.layer().stats();
    EXPECT_TRUE(stats.fast_inflater) << "fell back to zlib on a sound stream";
    EXPECT_GE(stats.access_points, 5u);  // two member starts and saved states
    EXPECT_LE(stats.index_bytes, (a.size() + b.size()) * 4 / 100);

    // A backward seek costs at most the widest spacing the index share allows, and a span.
    auto layer = GzRandomAccess::open(path_.c_str(), kTight);
    Bytes all(a.size() + b.size() + 1);
    ASSERT_EQ(layer->read(all.data(), static_cast<unsigned>(all.size())),
              static_cast<int>(a.size() + b.size()));
    std::mt19937 rng(4);
    for (int i = 0; i < 30; ++i) {
        const uint64_t at = rng() % (a.size() + b.size());
        const uint64_t before = layer->stats().inflated_bytes;
        unsigned char byte = 0;
        ASSERT_EQ(layer->seek(static_cast<int64_t>(at)), static_cast<int64_t>(at));
        ASSERT_EQ(layer->read(&byte, 1), 1);
        EXPECT_EQ(byte, all[at]);
        EXPECT_LE(layer->stats().inflated_bytes - before, (3u << 20) + kTight.span_size) << at;
    }
}

// Readers going through regions far apart, behind the forward pass and beyond the cache (one
// object's records after another's, in a stream written in batches): each region costs about
// one inflation of itself, not a restart per span, with either inflater.
TEST_F(GzRandomAccessCost, RegionsBeyondTheCacheAreReadOnFromWhereTheyStopped) {
    const Bytes data = sample_bytes(12 << 20, 12);
    write_stream(data, {});
    for (bool fast : {true, false}) {
        SCOPED_TRACE(fast ? "fast" : "zlib");
        GzAccessOptions options;
        options.span_size = 64 << 10;
        options.cache_budget = 1 << 20;
        options.fast_inflater = fast;
        auto layer = GzRandomAccess::open(path_.c_str(), options);
        ASSERT_TRUE(layer);
        if (layer->stats().fast_inflater != fast) continue;  // built without the fast inflater
        const std::size_t lanes = 3, gap = 4 << 20, step = 50000;
        Bytes buf(step);
        for (std::size_t at = 0; at + (lanes - 1) * gap + step <= data.size(); at += step) {
            for (std::size_t lane = lanes; lane-- > 0;) {
                const std::size_t pos = at + lane * gap;
                ASSERT_EQ(layer->seek(static_cast<int64_t>(pos)), static_cast<int64_t>(pos));
                ASSERT_EQ(layer->read(buf.data(), step), static_cast<int>(step));
                ASSERT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + pos)) << pos;
            }
        }
        EXPECT_EQ(layer->stats().fast_inflater, fast);
        // The forward pass once, each region once more, and a first restart per region.
        EXPECT_LE(layer->stats().inflated_bytes, 2 * data.size() + lanes * (3 << 20));
    }
}

// What the fast inflater cannot settle exactly as zlib does goes back to zlib, which then
// decides every byte and every error.
TEST(GzFastInflaterFallback, CutShortAndUnusualStreamsEndOnZlib) {
    TempDir dir;
    const Bytes member = gzip_member(data_a());
    Bytes reserved_flag = gzip_member(data_b());
    reserved_flag[3] |= 0x20;  // a header flag zlib does not know
    const std::pair<const char *, Bytes> cases[] = {
        {"cut", first_bytes(member, member.size() / 2)},
        {"flag", reserved_flag},
        {"corrupt",
         [&] {
             Bytes m = member;
             m[m.size() / 2] ^= 0x5a;
             return m;
         }()},
    };
    for (const auto &[name, bytes] : cases) {
        SCOPED_TRACE(name);
        const std::string path = dir.base(std::string(name) + ".gz");
        write_bytes(path, bytes);
        Pair pair(path, kTight);
        ASSERT_TRUE(pair.ok());
        while (pair.read(30000) > 0) {
        }
        EXPECT_FALSE(pair.layer().stats().fast_inflater);
        pair.seek(1000);
        pair.read(5000);
    }
}

// Spans read through are recycled: a walk in stream order holds a few spans, not the budget.
TEST_F(GzRandomAccessCost, ReadingInStreamOrderHoldsOnlyAFewSpans) {
    const Bytes data = sample_bytes(8 << 20, 10);
    write_stream(data, {});
    auto layer = GzRandomAccess::open(path_.c_str(), GzAccessOptions{});
    ASSERT_TRUE(layer);
    Bytes buf(100000);
    std::size_t total = 0;
    int n = 0;
    while ((n = layer->read(buf.data(), static_cast<unsigned>(buf.size()))) > 0) {
        ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + n, data.begin() + total));
        total += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(total, data.size());
    EXPECT_LE(layer->stats().cache_bytes, std::size_t{20} * GzAccessOptions{}.span_size);
}

TEST_F(GzRandomAccessCost, ReadsJumpingBackWithinTheCacheInflateEveryByteOnce) {
    const Bytes data = sample_bytes(3 << 20, 6);
    write_stream(data, {});
    auto layer = GzRandomAccess::open(path_.c_str(), GzAccessOptions{});
    ASSERT_TRUE(layer);
    // Four interleaved readers a few hundred KiB apart, as a time-ordered walk reads records.
    const std::size_t lanes = 4, gap = 300000, step = 997;
    Bytes buf(step);
    for (std::size_t at = 0; at + (lanes - 1) * gap + step <= data.size(); at += step) {
        for (std::size_t lane = lanes; lane-- > 0;) {
            const std::size_t pos = at + lane * gap;
            ASSERT_EQ(layer->seek(static_cast<int64_t>(pos)), static_cast<int64_t>(pos));
            ASSERT_EQ(layer->read(buf.data(), step), static_cast<int>(step));
            ASSERT_TRUE(std::equal(buf.begin(), buf.end(), data.begin() + pos));
        }
    }
    EXPECT_LE(layer->stats().inflated_bytes, data.size());
}

TEST_F(GzRandomAccessCost, MemoryStaysWithinTheBudgetAndTheIndexShare) {
    const Bytes data = sample_bytes(12 << 20, 7);
    write_stream(data, {1, 0, false});
    GzAccessOptions options;
    options.cache_budget = 2 << 20;
    auto layer = GzRandomAccess::open(path_.c_str(), options);
    ASSERT_TRUE(layer);
    std::mt19937 rng(3);
    Bytes buf(70000);
    for (int i = 0; i < 120; ++i) {
        const uint64_t at = rng() % data.size();
        ASSERT_EQ(layer->seek(static_cast<int64_t>(at)), static_cast<int64_t>(at));
        ASSERT_GT(layer->read(buf.data(), static_cast<unsigned>(buf.size())), 0);
        const auto stats = layer->stats();
        // The budget, plus the span being filled, a scratch span and one spare.
        ASSERT_LE(stats.cache_bytes, options.cache_budget + 3 * options.span_size);
    }
    EXPECT_LE(layer->stats().index_bytes, data.size() * 4 / 100);
}

// ---- growing files -------------------------------------------------------------------------

TEST(GzRandomAccessGrowth, AppendedBytesShowAfterABackwardSeekAsWithZlib) {
    TempDir dir;
    const std::string path = dir.base("growing.gz");
    const Bytes member = gzip_member(data_a());
    const std::size_t cut = member.size() / 2;
    write_bytes(path, first_bytes(member, cut));
    Pair pair(path, kTight);
    ASSERT_TRUE(pair.ok());
    pair.seek(0);
    while (pair.read(40000) > 0) {
    }
    write_bytes(path, Bytes(member.begin() + static_cast<std::ptrdiff_t>(cut), member.end()), "ab");
    EXPECT_EQ(pair.read(40000), 0);  // the end of the file was seen on this pass
    pair.seek(100);
    int total = 0, n = 0;
    while ((n = pair.read(40000)) > 0) total += n;
    EXPECT_EQ(total + 100, static_cast<int>(data_a().size()));
}

// ---- opening and release -------------------------------------------------------------------

TEST(GzRandomAccessOpen, MissingFileOrUnusableOptionsGiveNoLayer) {
    TempDir dir;
    EXPECT_EQ(GzRandomAccess::open(dir.base("absent.gz").c_str()), nullptr);
    EXPECT_EQ(GzRandomAccess::open(nullptr), nullptr);
    write_bytes(dir.base("x.gz"), Bytes{1, 2, 3});
    EXPECT_EQ(GzRandomAccess::open(dir.base("x.gz").c_str(), {0, 4096, 1 << 20}), nullptr);
    EXPECT_EQ(GzRandomAccess::open(dir.base("x.gz").c_str(), {4096, 0, 1 << 20}), nullptr);
}

TEST(GzRandomAccessOpen, OversizedReadFailsAndTheFailureSticks) {
    TempDir dir;
    write_bytes(dir.base("x.gz"), gzip_member(data_b()));
    auto layer = GzRandomAccess::open(dir.base("x.gz").c_str());
    ASSERT_TRUE(layer);
    unsigned char byte = 0;
    EXPECT_EQ(layer->read(&byte, 0u - 1u), -1);
    EXPECT_EQ(layer->seek(0), -1);
    EXPECT_EQ(layer->read(&byte, 1), -1);
}

TEST(GzRandomAccessOpen, ReleaseFreesAnUntypedLayer) {
    TempDir dir;
    write_bytes(dir.base("x.gz"), gzip_member(data_b()));
    GzRandomAccess *layer = GzRandomAccess::open(dir.base("x.gz").c_str()).release();
    ASSERT_NE(layer, nullptr);
    unsigned char byte = 0;
    ASSERT_EQ(layer->read(&byte, 1), 1);
    read::release_gz_random_access(layer);  // the sanitizer build checks that nothing is left
    read::release_gz_random_access(nullptr);
}

// ---- the reader's data stream through the layer ------------------------------------------

using Seen = std::tuple<uint64_t, uint32_t, uint64_t, uint32_t>;  // time, object, period, size

std::vector<Seen> walk(tesra_file_handle_t *file, tesra_order_type_t order) {
    std::vector<Seen> seen;
    tesra_record_handle_t *rec = nullptr;
    EXPECT_EQ(tesra_first_record(file, order, 0, &rec), TESRA_SUCCESS);
    while (rec != nullptr && seen.size() < 100000) {
        tesra_record_header_data_t_v6_0 info{};
        EXPECT_EQ(tesra_get_record_info(rec, &info), TESRA_SUCCESS);
        seen.emplace_back(info.msecs_since_base, info.obj_id, info.period, info.size);
        EXPECT_EQ(tesra_next_record(file, &rec), TESRA_SUCCESS);
    }
    return seen;
}

// An archive still being written: opening it indexes its records from the data stream.
class DataStreamLayer : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::byte> stream;
        for (uint32_t i = 0; i < 3000; ++i)
            append(stream, volume_record(60000 * (i + 1), 1 + i % 9));
        base_ = write_partial_archive(dir_, stream);
    }
    TempDir dir_;
    std::string base_;
};

// The layer goes with the handle's release (the sanitizer build checks that nothing is left).
TEST_F(DataStreamLayer, TheHandleCarriesOneLayerAcrossReads) {
    OpenedArchive archive;
    ASSERT_EQ(archive.open(base_), TESRA_SUCCESS);
    const tesra_header_int_t_v6_0 &slot = archive.header()->i6_0;
    EXPECT_NE(slot.pid, nullptr);
    EXPECT_NE(slot.pc, 0u);
    const void *layer = slot.pid;
    EXPECT_EQ(walk(archive.get(), TESRA_RAW_ORDER).size(), 3000u);
    EXPECT_EQ(slot.pid, layer);  // one layer per handle, kept across reads
}

TEST_F(DataStreamLayer, WalksMatchAHandleThatReadsThroughZlib) {
    OpenedArchive layered, plain;
    ASSERT_EQ(layered.open(base_, "rb"), TESRA_SUCCESS);
    ASSERT_EQ(plain.open(base_, "rw"), TESRA_SUCCESS);  // may write: no layer
    for (tesra_order_type_t order : {TESRA_RAW_ORDER, TESRA_LINEAR_ORDER}) {
        const auto expected = walk(plain.get(), order);
        EXPECT_EQ(expected.size(), 3000u);
        EXPECT_EQ(walk(layered.get(), order), expected);
    }
    EXPECT_EQ(plain.header()->i6_0.pid, nullptr);
    EXPECT_NE(layered.header()->i6_0.pid, nullptr);
}

TEST_F(DataStreamLayer, ATakenSlotLeavesTheHandleOnZlib) {
    OpenedArchive archive;
    ASSERT_EQ(archive.open(base_), TESRA_SUCCESS);
    tesra_header_int_t_v6_0 &slot = archive.header()->i6_0;
    const uint64_t tag = slot.pc;
    slot.pc = 2;  // someone else's bits in the slot: not the reader's state, never used as it
    EXPECT_EQ(walk(archive.get(), TESRA_LINEAR_ORDER).size(), 3000u);
    slot.pc = tag;
}

}  // namespace
}  // namespace tesra::test
