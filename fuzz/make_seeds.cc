// Writes the seed corpora of the fuzz targets into <out>/<target>/: small archives written by the
// writer library (typical, partial records, once-per-archive only, still being written, being
// written with no record yet), store dumps and archive names. Run it by hand when the archive
// layout changes (it is built with the tests):
//   tesra_fuzz_seeds fuzz/corpus
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <zlib.h>

#include "tesra/tesra_int_defs.h"

#include "support/archive_builder.h"

#include "fuzz_support.h"

namespace {

using tesra::test::ArchiveSpec;
using tesra::test::Instances;
using tesra::test::make_counter;
using tesra::test::ObjectSpec;
using tesra::test::RecordSpec;

constexpr uint64_t kOnce = TESRA_ONCE_PER_ARCHIVE_PERIOD;
using Bytes = std::vector<uint8_t>;

Bytes as_bytes(const std::vector<std::byte> &in) {
    Bytes out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) out[i] = static_cast<uint8_t>(in[i]);
    return out;
}

void save(const std::filesystem::path &dir, const std::string &name, std::span<const uint8_t> b) {
    std::filesystem::create_directories(dir);
    if (!tesra::fuzz::write_bytes((dir / name).string(), b)) {
        std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
        std::exit(1);
    }
}

// volume: key "name" (16-byte string), "ops" (u64, 1 s), "lat" (u32, 5 s);
// node: key "node_id" (u32), "boot" (u64, once per archive).
ArchiveSpec typical_spec() {
    ArchiveSpec spec;
    ObjectSpec volume;
    volume.id = 3;
    volume.name = "volume";
    volume.counters = {make_counter(1, "name", 0x2010, 16, {1000}, true),
                       make_counter(2, "ops", 0x0108, 8, {1000}),
                       make_counter(3, "lat", 0x0104, 4, {5000})};
    ObjectSpec node;
    node.id = 7;
    node.name = "node";
    node.counters = {make_counter(1, "node_id", 0x0104, 4, {kOnce}, true),
                     make_counter(2, "boot", 0x0108, 8, {kOnce})};
    spec.objects = {volume, node};
    return spec;
}

std::vector<std::byte> volume_fast(const std::string &name, uint64_t ops) {
    return Instances().str(name, 16).u64(ops).bytes();
}

std::vector<RecordSpec> typical_records() {
    std::vector<RecordSpec> r;
    r.push_back({0, 7, kOnce, Instances().u32(1).u64(42).bytes()});
    for (uint64_t t = 0; t <= 6000; t += 1000) {
        auto body = volume_fast("vol-a", t / 1000);
        const auto second = volume_fast("vol-b", 100 + t / 1000);
        body.insert(body.end(), second.begin(), second.end());
        r.push_back({t, 3, 1000, body});
        if (t % 5000 == 0) {
            r.push_back({t, 3, 5000, Instances().str("vol-a", 16).u32(7).bytes()});
        }
    }
    return r;
}

// Several records in one slot of the 1-second table: a partial-record list.
std::vector<RecordSpec> partial_records() {
    return {{0, 3, 1000, volume_fast("vol-a", 1)},
            {300, 3, 1000, volume_fast("vol-b", 2)},
            {700, 3, 1000, volume_fast("vol-c", 3)},
            {2000, 3, 1000, volume_fast("vol-a", 4)},
            {5000, 3, 5000, Instances().str("vol-a", 16).u32(9).bytes()}};
}

ArchiveSpec once_only_spec() {
    ArchiveSpec spec;
    ObjectSpec node;
    node.id = 7;
    node.name = "node";
    node.counters = {make_counter(1, "node_id", 0x0104, 4, {kOnce}, true),
                     make_counter(2, "boot", 0x0108, 8, {kOnce})};
    spec.objects = {node};
    return spec;
}

// Two records in the archive's one slot: a span of a single instant is refused by the writer.
std::vector<RecordSpec> once_only_records() {
    return {{0, 7, kOnce, Instances().u32(1).u64(42).u32(2).u64(43).bytes()},
            {4000, 7, kOnce, Instances().u32(3).u64(44).bytes()}};
}

struct Pair {
    Bytes meta;
    Bytes gz;     // the .gz file as written
    Bytes plain;  // its decompressed record stream
};

Bytes gunzip(const std::string &path) {
    Bytes out;
    gzFile gz = gzopen(path.c_str(), "rb");
    if (gz == nullptr) return out;
    uint8_t buf[4096];
    int n = 0;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    gzclose(gz);
    return out;
}

Pair read_pair(const std::string &base) {
    return {as_bytes(tesra::test::read_file(base + ".meta")),
            as_bytes(tesra::test::read_file(base + ".gz")), gunzip(base + ".gz")};
}

Pair finished(const ArchiveSpec &spec, const std::vector<RecordSpec> &records) {
    tesra::test::TempDir dir;
    const std::string base = dir.base(tesra::fuzz::kFinishedBase);
    if (const auto rc = tesra::test::write_archive(spec, base, records); rc != TESRA_SUCCESS) {
        std::fprintf(stderr, "writing an archive failed: %s\n", tesra_error_labels[rc]);
        std::exit(1);
    }
    return read_pair(base);
}

// Written, flushed and copied while the writer still holds it open.
Pair being_written(const ArchiveSpec &spec, const std::vector<RecordSpec> &records) {
    tesra::test::TempDir dir;
    const std::string base = dir.base(tesra::fuzz::kPartialBase);
    tesra::test::ArchiveBuilder b(spec);
    bool ok = b.create(base) == TESRA_SUCCESS && b.finalize() == TESRA_SUCCESS;
    for (const auto &r : records) {
        ok = ok && b.write(r.msecs, r.obj_id, r.period, r.body) == TESRA_SUCCESS;
    }
    ok = ok && gzflush(b.file()->i6_0.data_file, Z_SYNC_FLUSH) == Z_OK &&
         std::fflush(b.file()->i6_0.metadata_file) == 0;
    if (!ok) {
        std::fprintf(stderr, "writing a partial archive failed\n");
        std::exit(1);
    }
    Pair p = read_pair(base);
    b.close();
    return p;
}

void save_archive(const std::filesystem::path &dir,
                  const std::string &name,
                  const Pair &p,
                  uint8_t name_flag) {
    save(dir, name + "-gz", tesra::fuzz::pack_archive_input(p.meta, p.gz, name_flag));
    save(dir, name + "-plain",
         tesra::fuzz::pack_archive_input(p.meta, p.plain, name_flag | tesra::fuzz::kPlainData));
}

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes dump(const std::string &head) {
    // A dump's head is read whole, so it is at least that long.
    std::string s = head;
    while (s.size() < 1100) s += "COUNTER-LINE\t0\t0\n";
    Bytes out{0};  // first byte even: a collector's dump
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path out(argv[1]);

    const Pair typical = finished(typical_spec(), typical_records());
    const Pair partial = finished(typical_spec(), partial_records());
    const Pair once = finished(once_only_spec(), once_only_records());
    const Pair writing = being_written(typical_spec(), typical_records());

    for (const char *target : {"archive_open", "read_all", "wrapper"}) {
        save_archive(out / target, "typical", typical, 0);
        save_archive(out / target, "partial-records", partial, 0);
        save_archive(out / target, "once-only", once, 0);
    }
    // The extraction-call target takes its question from bits 2-3 of the flags: 2 sample times
    // and counter values, 3 the same through the text dumps.
    save_archive(out / "wrapper", "typical-values", typical, 2 << 2);
    save_archive(out / "wrapper", "typical-dumps", typical, 3 << 2);
    save_archive(out / "read_all", "being-written", writing, tesra::fuzz::kPartialName);
    save_archive(out / "partial_rebuild", "being-written", writing, 0);
    save_archive(out / "partial_rebuild", "once-only",
                 being_written(once_only_spec(), once_only_records()), 0);
    save_archive(out / "partial_rebuild", "no-record", being_written(typical_spec(), {}), 0);

    const auto store = out / "store_info";
    save(store, "dump", dump("DROVIK STATISTICS DUMP\nNODE-NAME node-7\n"
                             "CLUSTER UUID  6f1c2a9e-0000-4000-8000-000000000001\n"
                             "CLUSTER NAME  cluster-east\n"));
    save(store, "dump-no-cluster", dump("NODE-NAME,node-8\n"));
    Bytes meta{1};  // first byte odd: an archive's metadata file
    meta.insert(meta.end(), typical.meta.begin(), typical.meta.end());
    save(store, "meta", meta);

    const auto names = out / "filename";
    save(names, "finished", text("1_60_1000000000000_900000"));
    save(names, "with-dir", text("/var/archives/12_300_1700000000000_3600000.meta"));
    save(names, "partial", text("2_60_0000000000000_0000000.part"));
    save(names, "backslash", text("c:\\data\\7_0_5_10"));
    save(names, "bad-period", text("3_7_100_200"));
    save(names, "overflow", text("4_18446744073709551_18446744073709551615_1"));
    return 0;
}
