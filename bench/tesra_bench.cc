// Reading and writing archives against a plain gzip stream of the same bytes. Every figure is a
// ratio to a baseline measured in the same run, on the same machine and the same files:
//   B = one sequential gzread of the archive's .gz in 1 MiB reads (default buffer).
// Each repetition runs in a child process, which reports its time and the peak memory it added.
//
//   tesra_bench [--quick | --self-check] [--dir <scratch dir>]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

#include <zlib.h>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"
#include "tesra/tesra_live.h"
#include "tesra/tesra_series.h"
#include "tesra/tesra_wrapper_header.h"
#include "tesra/tesra_write_ext.h"

#include "support/archive_builder.h"

namespace {

using tesra::test::ArchiveBuilder;
using tesra::test::ArchiveSpec;
using tesra::test::CounterSpec;
using tesra::test::ObjectSpec;

constexpr uint64_t kBaseTime = 1000000000000;
constexpr uint64_t kFast = 60000, kSlow = 300000;
constexpr uint32_t kObjects = 3;
constexpr uint32_t kInstances = 400;
constexpr uint32_t kFastCounters = 30, kSlowCounters = 10;
constexpr std::size_t kKeySize = 16;
constexpr double kMiB = 1024.0 * 1024.0;

enum class Profile { kTypical, kDense };
enum class Order { kInterleaved, kBatched };

// ---- archives -------------------------------------------------------------------------------

ArchiveSpec bench_spec() {
    ArchiveSpec spec;
    for (uint32_t o = 0; o < kObjects; ++o) {
        ObjectSpec obj;
        obj.id = 10 + o;
        obj.name = "object" + std::to_string(o);
        CounterSpec key;
        key.id = 1;
        key.name = "instance";
        key.ctype = 0x2010;
        key.size = kKeySize;
        key.is_key = true;
        key.periods = {kFast, kSlow};
        obj.counters.push_back(key);
        for (uint32_t c = 0; c < kFastCounters + kSlowCounters; ++c) {
            CounterSpec cnt;
            cnt.id = 2 + c;
            cnt.name = "c" + std::to_string(c);
            cnt.periods = {c < kFastCounters ? kFast : kSlow};
            obj.counters.push_back(cnt);
        }
        spec.objects.push_back(obj);
    }
    return spec;
}

// One record body: every instance's key and its counters at `period`. Typical values grow
// steadily per instance and counter (as real counters do); dense ones are random.
void make_body(
    uint32_t object, uint64_t period, uint64_t step, Profile profile, std::vector<std::byte> &out) {
    const uint32_t counters = period == kFast ? kFastCounters : kSlowCounters;
    out.resize(kInstances * (kKeySize + 8 * counters));
    std::mt19937_64 rng(object * 1000003 + step * 7 + period);
    std::byte *p = out.data();
    for (uint32_t i = 0; i < kInstances; ++i) {
        char key[kKeySize] = {};
        std::snprintf(key, sizeof key, "o%u-inst-%05u", object, i);
        std::memcpy(p, key, kKeySize);
        p += kKeySize;
        for (uint32_t c = 0; c < counters; ++c) {
            uint64_t v;
            if (profile == Profile::kDense) {
                v = rng();
            } else {
                const uint64_t rate = (i * 31 + c * 17) % 997;
                v = rate * step * (period / 1000) + (rng() % 64);
                if (c % 5 == 4) v = 0;  // idle counters
            }
            std::memcpy(p, &v, 8);
            p += 8;
        }
    }
}

struct Record {
    uint64_t msecs;
    uint32_t object;
    uint64_t period;
    uint64_t step;
};

// Records for about `mb` MB of data stream. Interleaved: time by time, each slow record written
// when its five-minute interval closes (so a time-ordered walk jumps back); batched: one
// object after another.
std::vector<Record> plan_records(double mb, Order order) {
    const double per_interval =
        kObjects * kInstances *
        (5.0 * (kKeySize + 8 * kFastCounters) + kKeySize + 8 * kSlowCounters);
    const uint64_t intervals = std::max<uint64_t>(1, std::llround(mb * 1e6 / per_interval));
    std::vector<Record> records;
    if (order == Order::kInterleaved) {
        for (uint64_t n = 0; n < intervals; ++n) {
            for (uint64_t m = 0; m < 5; ++m) {
                for (uint32_t o = 0; o < kObjects; ++o) {
                    records.push_back({(n * 5 + m) * kFast, 10 + o, kFast, n * 5 + m});
                }
            }
            for (uint32_t o = 0; o < kObjects; ++o)
                records.push_back({n * kSlow, 10 + o, kSlow, n});
        }
    } else {
        for (uint32_t o = 0; o < kObjects; ++o) {
            for (uint64_t s = 0; s < intervals * 5; ++s)
                records.push_back({s * kFast, 10 + o, kFast, s});
            for (uint64_t n = 0; n < intervals; ++n)
                records.push_back({n * kSlow, 10 + o, kSlow, n});
        }
    }
    return records;
}

std::string archive_name(const std::string &dir, const std::string &tag, uint64_t duration) {
    return dir + "/1_300_" + std::to_string(kBaseTime) + "_" + std::to_string(duration) + "." + tag;
}

bool write_archive(const std::string &base, const std::vector<Record> &records, Profile profile) {
    ArchiveBuilder b(bench_spec());
    if (b.create(base) != TESRA_SUCCESS || b.finalize() != TESRA_SUCCESS) return false;
    std::vector<std::byte> body;
    for (const Record &r : records) {
        make_body(r.object - 10, r.period, r.step, profile, body);
        if (b.write(r.msecs, r.object, r.period, body) != TESRA_SUCCESS) return false;
    }
    return b.close() == TESRA_SUCCESS;
}

struct Archive {
    std::string base;
    double size_mb = 0;  // decompressed data stream
    uint64_t last_time = 0;
};

Archive make_archive(
    const std::string &dir, const std::string &tag, double mb, Order order, Profile profile) {
    const auto records = plan_records(mb, order);
    uint64_t last = 0;
    for (const Record &r : records) last = std::max(last, r.msecs);
    Archive a;
    a.base = archive_name(dir, tag, last + kSlow);
    a.last_time = kBaseTime + last;
    if (!write_archive(a.base, records, profile)) {
        std::fprintf(stderr, "writing %s failed\n", a.base.c_str());
        std::exit(2);
    }
    gzFile gz = gzopen((a.base + ".gz").c_str(), "rb");
    std::vector<char> buf(1 << 20);
    uint64_t total = 0;
    int n;
    while ((n = gzread(gz, buf.data(), static_cast<unsigned>(buf.size()))) > 0) total += n;
    gzclose(gz);
    a.size_mb = total / 1e6;
    return a;
}

// ---- measuring -----------------------------------------------------------------------------

long status_kib(const char *field) {
    std::FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long v = 0;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, n) == 0) v = std::strtol(line + n + 1, nullptr, 10);
    }
    std::fclose(f);
    return v;
}

struct Sample {
    double seconds;
    double mem_mb;
    double cpu_s;
};

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Runs `work` in a child: its wall time, its CPU time and the peak resident memory it added.
Sample run_child(const std::function<bool()> &work) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(2);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (std::FILE *f = std::fopen("/proc/self/clear_refs", "w")) {  // resets the peak
            std::fputs("5", f);
            std::fclose(f);
        }
        const long before = status_kib("VmRSS:");
        const double cpu0 = process_cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = work();
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        Sample out{ok ? s : -1.0, (status_kib("VmHWM:") - before) / 1024.0,
                   process_cpu_seconds() - cpu0};
        if (write(fds[1], &out, sizeof out) != sizeof out) _exit(3);
        _exit(0);
    }
    close(fds[1]);
    Sample out{-1, 0, 0};
    if (read(fds[0], &out, sizeof out) != sizeof out) out.seconds = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

struct Figures {
    double min_s = 0, median_s = 0, mem_mb = 0;
    double min_cpu_s = 0;
    bool failed = false;
};

// Each job `reps` times, in rounds of one run per job, so that a change of load on a shared
// machine falls on every job alike rather than on whichever ran at the time.
std::vector<Figures> measure_rounds(int reps, const std::vector<std::function<bool()>> &jobs) {
    std::vector<std::vector<Sample>> samples(jobs.size());
    for (int i = 0; i < reps; ++i) {
        for (std::size_t j = 0; j < jobs.size(); ++j) samples[j].push_back(run_child(jobs[j]));
    }
    std::vector<Figures> out(jobs.size());
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        Figures &f = out[j];
        std::vector<double> times;
        f.min_cpu_s = samples[j].front().cpu_s;
        for (const Sample &s : samples[j]) {
            if (s.seconds < 0) f.failed = true;
            times.push_back(s.seconds);
            f.mem_mb = std::max(f.mem_mb, s.mem_mb);
            f.min_cpu_s = std::min(f.min_cpu_s, s.cpu_s);
        }
        std::sort(times.begin(), times.end());
        f.min_s = times.front();
        f.median_s = times[times.size() / 2];
    }
    return out;
}

Figures measure(int reps, const std::function<bool()> &work) {
    return measure_rounds(reps, {work}).front();
}

// ---- the work ------------------------------------------------------------------------------

bool gz_sequential(const std::string &path) {
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) return false;
    std::vector<char> buf(1 << 20);
    int n;
    while ((n = gzread(gz, buf.data(), static_cast<unsigned>(buf.size()))) > 0) {
    }
    gzclose(gz);
    return n == 0;
}

tesra_file_handle_t *open_archive(const Archive &a) {
    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr, *data = nullptr;
    if (tesra_open_data_file(a.base.c_str(), "r", &file, &meta, &data) != TESRA_SUCCESS)
        return nullptr;
    return file;
}

// Reads every instance of a record, so that its body is used.
bool touch_record(tesra_record_handle_t *rec) {
    tesra_instance_handle_t *inst = nullptr;
    if (tesra_first_instance_from_record(rec, &inst) != TESRA_SUCCESS) return false;
    while (inst != nullptr) {
        if (tesra_next_instance_from_record(rec, &inst) != TESRA_SUCCESS) return false;
    }
    return true;
}

bool walk(const Archive &a, tesra_order_type_t order) {
    tesra_file_handle_t *file = open_archive(a);
    if (!file) return false;
    tesra_record_handle_t *rec = nullptr;
    bool ok = tesra_first_record(file, order, kBaseTime, &rec) == TESRA_SUCCESS;
    uint64_t n = 0;
    while (ok && rec != nullptr) {
        ok = touch_record(rec) && tesra_next_record(file, &rec) == TESRA_SUCCESS;
        ++n;
    }
    tesra_close_data_file(file);
    return ok && n > 0;
}

bool query_object(const Archive &a) {
    tesra_file_handle_t *file = open_archive(a);
    if (!file) return false;
    std::vector<std::string> names;
    for (uint32_t c = 0; c < kFastCounters + kSlowCounters; ++c)
        names.push_back("c" + std::to_string(c));
    std::vector<const char *> cnames;
    for (auto &s : names) cnames.push_back(s.c_str());
    tesra_query_def_t_v6_0 def{};
    tesra_set_latest_version(&def);
    def.object_name = "object0";
    def.num_cnts = static_cast<uint32_t>(cnames.size());
    def.cnt_names = cnames.data();
    def.start_time = kBaseTime;
    def.end_time = a.last_time;
    def.period = kFast;
    tesra_query_handle_t *q = nullptr;
    bool ok = tesra_query(file, &def, &q) == TESRA_SUCCESS && q != nullptr;
    uint64_t values = 0;
    tesra_timestamp_handle_t *ts = nullptr;
    ok = ok && tesra_first_timestamp(q, &ts) == TESRA_SUCCESS;
    while (ok && ts != nullptr) {
        tesra_instance_handle_t *inst = nullptr;
        ok = tesra_first_instance(ts, &inst) == TESRA_SUCCESS;
        while (ok && inst != nullptr) {
            tesra_counter_handle_t *c = nullptr;
            tesra_counter_data_handle_t *cd = nullptr;
            ok = tesra_first_counter_data(inst, &c, &cd) == TESRA_SUCCESS;
            while (ok && cd != nullptr) {
                tesra_counter_data_t_v6_0 v{};
                ok = tesra_get_counter_data_value(cd, &v) == TESRA_SUCCESS;
                values += v.num_values;
                ok = ok && tesra_next_counter_data(inst, &c, &cd) == TESRA_SUCCESS;
            }
            ok = ok && tesra_next_instance(ts, &inst) == TESRA_SUCCESS;
        }
        ok = ok && tesra_next_timestamp(q, &ts) == TESRA_SUCCESS;
    }
    tesra_close_data_file(file);
    return ok && values > 0;
}

bool random_records(const Archive &a, int count) {
    tesra_file_handle_t *file = open_archive(a);
    if (!file) return false;
    std::mt19937_64 rng(42);
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        const uint64_t t = kBaseTime + (rng() % (a.last_time - kBaseTime + 1)) / kFast * kFast;
        tesra_record_handle_t *rec = nullptr;
        ok = tesra_first_record(file, TESRA_LINEAR_ORDER, t, &rec) == TESRA_SUCCESS &&
             rec != nullptr && touch_record(rec);
    }
    tesra_close_data_file(file);
    return ok;
}

bool open_and_close(const Archive &a) {
    tesra_file_handle_t *file = open_archive(a);
    if (!file) return false;
    return tesra_close_data_file(file) == TESRA_SUCCESS;
}

bool wrapper_last_sample(const Archive &a) {
    tesra_wrapper_counter_data_t *data = nullptr;
    counter_wrapper_headers *headers = nullptr;
    uint32_t n_data = 0, n_headers = 0;
    char *error = nullptr;
    const bool ok = get_counter_values_for_timestamp(a.base.c_str(), a.last_time, kFast, "object0",
                                                     &data, &n_data, &headers, &n_headers, &error);
    free_tesra_wrapper_counter_data(data, n_data, headers, n_headers, error);
    return ok && n_data == kInstances;
}

// ---- export ---------------------------------------------------------------------------------

// The values the main archive holds: one sample each in an export.
double archive_values(double mb) {
    double n = 0;
    for (const Record &r : plan_records(mb, Order::kInterleaved)) {
        n += kInstances * (r.period == kFast ? kFastCounters : kSlowCounters);
    }
    return n;
}

// `tesra export` of the archive as OpenMetrics into /dev/null, in a process of its own.
bool export_openmetrics(const Archive &a) {
    const pid_t pid = fork();
    if (pid == 0) {
        const char *argv[] = {"tesra", "export", a.base.c_str(), "-o", "/dev/null", nullptr};
        if (std::FILE *null = std::freopen("/dev/null", "w", stderr)) (void)null;
        execv(TESRA_CLI_PATH, const_cast<char *const *>(argv));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
    std::printf("# export: peak memory of the tool %.1f MB\n", usage.ru_maxrss / 1024.0);
    std::fflush(stdout);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- writing and the deflate level ----------------------------------------------------------

// The writer's default level is the fastest whose .gz stays within this share of the size at
// zlib's default level, on the typical and on the dense archive alike. Write times closer than
// kLevelTimeTie are within a shared machine's noise, so they rank alike and the smaller output
// decides.
constexpr double kLevelSizeAllowance = 1.03;
constexpr double kLevelTimeTie = 1.05;
constexpr int kZlibDefaultLevel = 6;
constexpr int kLibraryDefault = -1;  // no tesra_set_compression_level call
// The default level's write time against gzwrite at zlib's default: the level table gives it
// 0.26 (full run) to 0.32 (quick run), plus the 10 % allowance the writer had over gzwrite at
// the same level.
constexpr double kWriteTarget = 0.35;

// One archive's records held in memory, written plainly with gzwrite at zlib's default level
// (the baseline) or through the writer at a chosen level, each into its own file.
class WriteBench {
public:
    WriteBench(const std::string &dir, const std::string &tag, double mb, Profile profile)
        : records_(plan_records(mb, Order::kInterleaved)), dir_(dir), tag_(tag) {
        for (const Record &r : records_) {
            bodies_.emplace_back();
            make_body(r.object - 10, r.period, r.step, profile, bodies_.back());
        }
    }

    std::string plain_path() const { return dir_ + "/plain." + tag_ + ".gz"; }
    std::string base_path(int level) const {
        const std::string name = level == kLibraryDefault ? "default" : std::to_string(level);
        return archive_name(dir_, "written_" + tag_ + "_" + name, records_.back().msecs + kSlow);
    }

    bool write_plain() const {
        gzFile gz = gzopen(plain_path().c_str(), "wb");
        if (!gz) return false;
        for (std::size_t i = 0; i < records_.size(); ++i) {
            std::byte header[24] = {};
            const uint64_t t = records_[i].msecs;
            const uint32_t size = static_cast<uint32_t>(bodies_[i].size()),
                           obj = records_[i].object;
            std::memcpy(header, &t, 8);
            std::memcpy(header + 8, &size, 4);
            std::memcpy(header + 12, &obj, 4);
            std::memcpy(header + 16, &records_[i].period, 8);
            if (gzwrite(gz, header, 24) != 24 ||
                gzwrite(gz, bodies_[i].data(), size) != static_cast<int>(size)) {
                gzclose(gz);
                return false;
            }
        }
        return gzclose(gz) == Z_OK;
    }

    bool write_archive(int level) const {
        ArchiveBuilder w(bench_spec());
        if (w.create(base_path(level)) != TESRA_SUCCESS) return false;
        if (level != kLibraryDefault &&
            tesra_set_compression_level(w.file(), level) != TESRA_SUCCESS) {
            return false;
        }
        if (w.finalize() != TESRA_SUCCESS) return false;
        for (std::size_t i = 0; i < records_.size(); ++i) {
            if (w.write(records_[i].msecs, records_[i].object, records_[i].period, bodies_[i]) !=
                TESRA_SUCCESS) {
                return false;
            }
        }
        return w.close() == TESRA_SUCCESS;
    }

private:
    std::vector<Record> records_;
    std::vector<std::vector<std::byte>> bodies_;
    std::string dir_;
    std::string tag_;
};

double file_bytes(const std::string &path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<double>(n);
}

// Writing times are CPU times (user + system of the child): on a shared machine they rank the
// levels where wall times would rank the neighbours' load. `typical_default` is the writer at
// its own default level; the level table and the level the rule picks in this run are printed.
struct WriteFigures {
    Figures base, typical_default;
};

WriteFigures measure_writing(const WriteBench &typical, const WriteBench &dense, int reps) {
    const WriteBench *benches[] = {&typical, &dense};
    std::vector<std::function<bool()>> jobs;
    for (const WriteBench *w : benches) jobs.push_back([w] { return w->write_plain(); });
    for (int level = 1; level <= kZlibDefaultLevel; ++level) {
        for (const WriteBench *w : benches) {
            jobs.push_back([w, level] { return w->write_archive(level); });
        }
    }
    jobs.push_back([&typical] { return typical.write_archive(kLibraryDefault); });
    const std::vector<Figures> f = measure_rounds(reps, jobs);

    std::printf(
        "# levels (%d rounds): write CPU time / gzwrite's at level %d, .gz size / level "
        "%d's\n",
        reps, kZlibDefaultLevel, kZlibDefaultLevel);
    struct Row {
        int level;
        double time, size;  // typical time; typical and dense size ratios added
        bool eligible;
    };
    std::vector<Row> rows;
    for (int level = 1; level <= kZlibDefaultLevel; ++level) {
        double time[2], size[2];
        bool failed = false;
        for (int k = 0; k < 2; ++k) {
            const Figures &g = f[2 + 2 * (level - 1) + k];
            time[k] = g.min_cpu_s / f[k].min_cpu_s;
            size[k] = file_bytes(benches[k]->base_path(level) + ".gz") /
                      file_bytes(benches[k]->plain_path());
            failed = failed || g.failed;
        }
        std::printf(
            "# level=%d typical_time=%.3f typical_size=%.4f dense_time=%.3f "
            "dense_size=%.4f%s\n",
            level, time[0], size[0], time[1], size[1], failed ? " FAILED" : "");
        rows.push_back({level, time[0], size[0] + size[1],
                        size[0] <= kLevelSizeAllowance && size[1] <= kLevelSizeAllowance});
    }
    // Among the eligible levels, times within kLevelTimeTie of the fastest are one rank; the
    // smallest output of that rank wins.
    double fastest = 0;
    for (const Row &r : rows) {
        if (r.eligible && (fastest == 0 || r.time < fastest)) fastest = r.time;
    }
    const Row *picked = nullptr;
    for (const Row &r : rows) {
        if (r.eligible && r.time <= fastest * kLevelTimeTie && (!picked || r.size < picked->size))
            picked = &r;
    }
    std::printf(
        "# levels: the rule picks %d (library default %d); gzwrite at level %d: typical %.3f s "
        "CPU for %.1f MB, dense %.3f s CPU for %.1f MB\n",
        picked ? picked->level : 0, TESRA_DEFAULT_COMPRESSION_LEVEL, kZlibDefaultLevel,
        f[0].min_cpu_s, file_bytes(typical.plain_path()) / 1e6, f[1].min_cpu_s,
        file_bytes(dense.plain_path()) / 1e6);
    return {f[0], f.back()};
}

// ---- report --------------------------------------------------------------------------------

struct Report {
    int within = 0, total = 0, broken = 0;
    void line(const std::string &name,
              double size_mb,
              double ratio,
              double target,
              double mem_mb,
              const Figures *f = nullptr,
              double base_s = 0) {
        const bool ok = ratio <= target && !(f && f->failed);
        ++total;
        within += ok;
        broken += f && f->failed;
        std::printf("scenario=%s size_mb=%.1f ratio=%.3f target=%.2f ok=%s mem_mb=%.1f",
                    name.c_str(), size_mb, ratio, target, ok ? "yes" : "no", mem_mb);
        if (f) {
            std::printf(" min_s=%.3f median_s=%.3f mb_per_s=%.1f base_s=%.3f", f->min_s,
                        f->median_s, size_mb / f->min_s, base_s);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
};

// ---- following a growing archive ----------------------------------------------------------

// An archive as a follower sees it grow: its metadata as the writer left it before closing, and
// its data stream in the pieces the writer pushed out with a sync flush after each `step_mb`
// of records.
struct GrowingArchive {
    std::string meta;          // the metadata document, without index section
    std::string stream;        // the whole data stream, compressed
    std::vector<size_t> cuts;  // stream length after each flush
    uint64_t records = 0;
};

std::string file_contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

GrowingArchive make_growing(const std::string &dir, double mb, double step_mb) {
    const auto records = plan_records(mb, Order::kInterleaved);
    const std::string base = dir + "/1_300_0000000000000_0000000.grown";
    GrowingArchive g;
    ArchiveBuilder b(bench_spec());
    if (b.create(base) != TESRA_SUCCESS || b.finalize() != TESRA_SUCCESS ||
        std::fflush(b.file()->i6_0.metadata_file) != 0) {
        std::fprintf(stderr, "creating %s failed\n", base.c_str());
        std::exit(2);
    }
    g.meta = file_contents(base + ".meta");
    std::vector<std::byte> body;
    double since_flush = 0;
    for (const Record &r : records) {
        make_body(r.object - 10, r.period, r.step, Profile::kTypical, body);
        if (b.write(r.msecs, r.object, r.period, body) != TESRA_SUCCESS) std::exit(2);
        since_flush += (24.0 + body.size()) / 1e6;
        if (since_flush >= step_mb) {
            if (gzflush(b.file()->i6_0.data_file, Z_SYNC_FLUSH) != Z_OK) std::exit(2);
            g.cuts.push_back(static_cast<size_t>(file_bytes(base + ".gz")));
            since_flush = 0;
        }
    }
    if (b.close() != TESRA_SUCCESS) std::exit(2);
    g.stream = file_contents(base + ".gz");
    g.cuts.push_back(g.stream.size());
    g.records = records.size();
    return g;
}

struct FollowRun {
    double total_s = 0;             // every refresh together
    std::vector<double> refresh_s;  // each refresh
    bool ok = false;
};

// Opens the archive with an empty data stream, then appends each flushed piece and refreshes;
// every record must come in exactly once.
FollowRun follow(const GrowingArchive &g, const std::string &base) {
    FollowRun run;
    {
        std::ofstream(base + ".meta", std::ios::binary | std::ios::trunc) << g.meta;
        std::ofstream(base + ".gz", std::ios::binary | std::ios::trunc);
    }
    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr, *data = nullptr;
    if (tesra_open_data_file(base.c_str(), "r", &file, &meta, &data) != TESRA_SUCCESS) return run;
    std::FILE *out = std::fopen((base + ".gz").c_str(), "ab");
    uint64_t seen = 0;
    bool ok = out != nullptr;
    size_t at = 0;
    for (size_t cut : g.cuts) {
        if (!ok) break;
        ok = std::fwrite(g.stream.data() + at, 1, cut - at, out) == cut - at &&
             std::fflush(out) == 0;
        at = cut;
        uint32_t added = 0;
        const auto t0 = std::chrono::steady_clock::now();
        ok = ok && tesra_refresh_data_file(file, &added) == TESRA_SUCCESS;
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        run.refresh_s.push_back(s);
        run.total_s += s;
        seen += added;
    }
    if (out != nullptr) std::fclose(out);
    tesra_close_data_file(file);
    run.ok = ok && seen == g.records;
    return run;
}

// 10: following an archive as it grows to the main size, a refresh after each MB: all refreshes
// together against one linear walk of the finished archive (linear, not quadratic), and one
// late refresh against reopening the grown archive.
void follow_scenario(Report &report,
                     const std::string &dir,
                     const Archive &main,
                     const Figures &linear_main,
                     int reps) {
    const GrowingArchive g = make_growing(dir, main.size_mb, 1.0);
    const std::string base = dir + "/1_300_0000000000000_0000000.following";
    FollowRun best;
    bool ok = true;
    for (int i = 0; i < reps; ++i) {
        FollowRun run = follow(g, base);
        ok = ok && run.ok;
        if (i == 0 || run.total_s < best.total_s) best = std::move(run);
    }
    const Archive grown{base, main.size_mb, main.last_time};
    Figures reopen = measure(reps, [&] { return open_and_close(grown); });
    // The last refreshes, where a cost growing with the archive would show; their median
    // keeps one disturbed call from deciding.
    std::vector<double> late(best.refresh_s.end() - std::min<size_t>(10, best.refresh_s.size()),
                             best.refresh_s.end());
    std::sort(late.begin(), late.end());
    const double one = late.empty() ? 0 : late[late.size() / 2];
    std::printf("# follow: %zu refreshes, %.3f s in all, late refresh %.5f s, reopen %.3f s%s\n",
                best.refresh_s.size(), best.total_s, one, reopen.min_s, ok ? "" : " FAILED");
    Figures total;
    total.min_s = total.median_s = best.total_s;
    total.failed = !ok;
    report.line("follow_refresh_total", main.size_mb, best.total_s / linear_main.min_s, 1.2, 0,
                &total, linear_main.min_s);
    reopen.failed = reopen.failed || !ok;
    report.line("follow_refresh_1mb", main.size_mb, one / reopen.min_s, 0.02, reopen.mem_mb,
                &reopen, reopen.min_s);
}

// ---- a series of archives -------------------------------------------------------------------

// Archive `index` (from 0) of a series in `dir`: the typical archive of `mb` MB, shifted to
// follow the one before it and named by the convention.
Archive make_series_member(const std::string &dir, uint32_t index, double mb) {
    const auto records = plan_records(mb, Order::kInterleaved);
    uint64_t last = 0;
    for (const Record &r : records) last = std::max(last, r.msecs);
    const uint64_t duration = last + kSlow;
    ArchiveSpec spec = bench_spec();
    spec.system.base_time = kBaseTime + index * duration;
    Archive a;
    a.base = dir + "/" + std::to_string(index + 1) + "_300_" +
             std::to_string(spec.system.base_time) + "_" + std::to_string(duration);
    a.last_time = spec.system.base_time + last;
    ArchiveBuilder b(spec);
    bool ok = b.create(a.base) == TESRA_SUCCESS && b.finalize() == TESRA_SUCCESS;
    std::vector<std::byte> body;
    for (std::size_t i = 0; ok && i < records.size(); ++i) {
        make_body(records[i].object - 10, records[i].period, records[i].step, Profile::kTypical,
                  body);
        ok = b.write(records[i].msecs, records[i].object, records[i].period, body) ==
             TESRA_SUCCESS;
    }
    if (!ok || b.close() != TESRA_SUCCESS) {
        std::fprintf(stderr, "writing %s failed\n", a.base.c_str());
        std::exit(2);
    }
    return a;
}

// Every value of every counter of object0 at the fast period over [from, to), through the
// series' values cursor, the series opened from its directory as a caller would.
bool series_values(const std::string &dir, uint64_t from, uint64_t to) {
    const char *sources[] = {dir.c_str()};
    tesra_series_t *series = nullptr;
    bool ok = tesra_series_open(sources, 1, nullptr, &series) == TESRA_SUCCESS;
    tesra_series_query_t q{};
    q.object_name = "object0";
    q.period = kFast;
    q.from = from;
    q.to = to;
    tesra_series_cursor_t *cursor = nullptr;
    ok = ok && tesra_series_query_values(series, &q, &cursor) == TESRA_SUCCESS;
    uint64_t values = 0;
    const tesra_series_row_t *row = nullptr;
    while (ok && (ok = tesra_series_next_row(cursor, &row) == TESRA_SUCCESS) && row != nullptr) {
        for (uint32_t c = 0; c < row->num_columns; ++c) values += row->values[c].num_values;
    }
    tesra_series_free_cursor(cursor);
    tesra_series_close(series);
    return ok && values > 0;
}

// 96 archives; a values query over the middle quarter against B on those archives' streams,
// and its peak memory against the same query on a series of that quarter alone.
void series_scenario(Report &report, const std::string &dir, int reps, bool small) {
    const uint32_t count = small ? 24 : 96;
    const double mb = small ? 0.5 : 2.0;
    const std::string all_dir = dir + "/series_all", part_dir = dir + "/series_part";
    // A --dir used before still holds the last run's series; its links would clash.
    std::filesystem::remove_all(all_dir);
    std::filesystem::remove_all(part_dir);
    std::filesystem::create_directories(all_dir);
    std::filesystem::create_directories(part_dir);
    std::vector<Archive> members;
    for (uint32_t i = 0; i < count; ++i) members.push_back(make_series_member(all_dir, i, mb));
    const uint32_t first = count * 3 / 8, end = count * 5 / 8;
    double size_mb = 0;
    for (uint32_t i = first; i < end; ++i) {
        for (const char *suffix : {".meta", ".gz"}) {
            const std::string from = members[i].base + suffix;
            std::filesystem::create_hard_link(
                from, part_dir + "/" + std::filesystem::path(from).filename().string());
        }
        const auto stream = tesra::test::gunzip_file(members[i].base + ".gz");
        members[i].size_mb = stream ? stream->size() / 1e6 : 0;
        size_mb += members[i].size_mb;
    }
    // The query's range: the middle archives' spans, end to end.
    uint64_t last = 0;
    for (const Record &r : plan_records(mb, Order::kInterleaved)) last = std::max(last, r.msecs);
    const uint64_t from = kBaseTime + first * (last + kSlow), to = kBaseTime + end * (last + kSlow);
    const Figures b = measure(reps, [&] {
        bool ok = true;
        for (uint32_t i = first; i < end; ++i) ok = gz_sequential(members[i].base + ".gz") && ok;
        return ok;
    });
    const std::vector<Figures> f =
        measure_rounds(reps, {[&] { return series_values(all_dir, from, to); },
                              [&] { return series_values(part_dir, from, to); }});
    std::printf("# series: %u archives, values over %u of them %.3f s, over them alone %.3f s\n",
                count, end - first, f[0].min_s, f[1].min_s);
    // CPU time tells the two apart on a loaded machine, where wall time mostly measures the load.
    std::printf("# series cpu: over %u of %u archives %.3f s, over them alone %.3f s (%.2f x), "
                "B %.3f s\n",
                end - first, count, f[0].min_cpu_s, f[1].min_cpu_s,
                f[1].min_cpu_s > 0 ? f[0].min_cpu_s / f[1].min_cpu_s : 0.0, b.min_cpu_s);
    report.line("series_values", size_mb, f[0].min_s / b.min_s, 1.3, f[0].mem_mb, &f[0], b.min_s);
    // Allowed: the peak of the quarter alone plus 2 MiB for the longer member list.
    report.line("series_memory", size_mb, f[0].mem_mb / (f[1].mem_mb + 2), 1.0, f[0].mem_mb);
}

}  // namespace

int main(int argc, char **argv) {
    bool quick = false, self_check = false;
    // Only writes the main archive into --dir and prints "<base> <MB>": the Python package's
    // benchmark reads the same archive.
    bool main_archive_only = false;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick")
            quick = true;
        else if (arg == "--self-check")
            self_check = true;
        else if (arg == "--dir" && i + 1 < argc)
            dir = argv[++i];
        else if (arg == "--main-archive-only")
            main_archive_only = true;
        else {
            std::fprintf(stderr, "usage: %s [--quick | --self-check] [--dir <scratch dir>]\n",
                         argv[0]);
            return 2;
        }
    }
    // Without --dir, a scratch directory that goes away however main returns.
    std::optional<tesra::test::TempDir> own_dir;
    if (dir.empty()) dir = own_dir.emplace().path();

    // Sizes of the scaling series (MB of data stream); the last is the main size.
    std::vector<double> sizes = {12.5, 25, 50, 100, 200};
    int reps = 3;
    if (quick) sizes = {12.5, 25, 50};
    if (self_check) {
        sizes = {2, 4, 8};
        reps = 1;
    }
    const double main_mb = sizes.back();
    if (main_archive_only) {
        char tag[32];
        std::snprintf(tag, sizeof tag, "typical%g", main_mb);
        const Archive a = make_archive(dir, tag, main_mb, Order::kInterleaved, Profile::kTypical);
        std::printf("%s %.1f\n", a.base.c_str(), a.size_mb);
        return 0;
    }
    std::printf(
        "# tesra_bench: %s, %d repetitions, baseline B = sequential gzread in 1 MiB reads\n",
        self_check ? "self-check"
        : quick    ? "quick"
                   : "full",
        reps);
#if defined(TESRA_HAVE_ISAL)
    std::printf("# reader inflates with ISA-L, zlib as fallback; B is zlib\n");
#else
    std::printf("# reader inflates with zlib\n");
#endif

    std::vector<Archive> series;
    for (double mb : sizes) {
        char tag[32];
        std::snprintf(tag, sizeof tag, "typical%g", mb);
        series.push_back(make_archive(dir, tag, mb, Order::kInterleaved, Profile::kTypical));
    }
    const Archive &main = series.back();
    const Archive dense = make_archive(dir, "dense", main_mb, Order::kInterleaved, Profile::kDense);
    const Archive batched =
        make_archive(dir, "batched", main_mb, Order::kBatched, Profile::kTypical);

    Report report;
    auto base_of = [&](const Archive &a) {
        return measure(reps, [&] { return gz_sequential(a.base + ".gz"); });
    };
    const Figures b_main = base_of(main);
    std::printf("# B: %.1f MB in %.3f s (%.1f MB/s)\n", main.size_mb, b_main.min_s,
                main.size_mb / b_main.min_s);

    auto scenario = [&](const std::string &name, const Archive &a, const Figures &b, double target,
                        const std::function<bool()> &work, double extra_base_s = 0) {
        const Figures f = measure(reps, work);
        report.line(name, a.size_mb, f.min_s / (b.min_s + extra_base_s), target, f.mem_mb, &f,
                    b.min_s + extra_base_s);
        return f;
    };

    // 1, 2: walks of every record.
    scenario("raw_walk", main, b_main, 1.05, [&] { return walk(main, TESRA_RAW_ORDER); });
    const Figures linear_main =
        scenario("linear_walk", main, b_main, 1.15, [&] { return walk(main, TESRA_LINEAR_ORDER); });
    const Figures b_dense = base_of(dense);
    scenario("linear_walk_dense", dense, b_dense, 1.15,
             [&] { return walk(dense, TESRA_LINEAR_ORDER); });

    // 3: scaling of the linear walk over the series' last three sizes (a fourfold range).
    {
        const Archive &small = series[series.size() >= 3 ? series.size() - 3 : 0];
        const Figures f_small = measure(reps, [&] { return walk(small, TESRA_LINEAR_ORDER); });
        const double per_doubling = std::sqrt(linear_main.min_s / f_small.min_s);
        std::printf("# linear walk: %.1f MB %.3f s, %.1f MB %.3f s\n", small.size_mb, f_small.min_s,
                    main.size_mb, linear_main.min_s);
        report.line("linear_scaling", main.size_mb, per_doubling, 2.2, linear_main.mem_mb);
        for (const Archive &a : series) {
            const Figures b = base_of(a);
            const Figures f = measure(reps, [&] { return walk(a, TESRA_LINEAR_ORDER); });
            std::printf("# series size_mb=%.1f linear_s=%.3f base_s=%.3f ratio=%.3f\n", a.size_mb,
                        f.min_s, b.min_s, f.min_s / b.min_s);
        }
    }

    // 4: the batch-written archive; its stream fits the 64 MiB cache or not.
    {
        const Figures b = base_of(batched);
        const double target = batched.size_mb * 1e6 <= 64 * kMiB ? 1.3 : 2.0;
        scenario("linear_walk_batched", batched, b, target,
                 [&] { return walk(batched, TESRA_LINEAR_ORDER); });
    }

    // 5: a query of every counter of one object over the whole range.
    scenario("query_object", main, b_main, 1.3, [&] { return query_object(main); });

    // 6: random record reads on a freshly opened archive.
    scenario("random_records", main, b_main, 2.0, [&] { return random_records(main, 200); });

    // 7: the extraction call at the last sample time, against B plus parsing the metadata.
    {
        const Figures open = measure(reps, [&] { return open_and_close(main); });
        std::printf("# metadata parse (open + close): %.3f s\n", open.min_s);
        scenario(
            "wrapper_last_sample", main, b_main, 1.5, [&] { return wrapper_last_sample(main); },
            open.min_s);
    }

    // 8: writing every record against gzwrite of the same bytes at zlib's default level, with
    // the table of deflate levels the writer's default is chosen from.
    {
        const Archive &a = series[series.size() > 1 ? series.size() - 2 : 0];
        const WriteBench typical(dir, "typical", a.size_mb, Profile::kTypical);
        const WriteBench dense_bench(dir, "dense", a.size_mb, Profile::kDense);
        if (const char *env = std::getenv(TESRA_GZIP_LEVEL_ENV)) {
            std::printf("# %s=%s: the writer's default is that level\n", TESRA_GZIP_LEVEL_ENV, env);
        }
        const WriteFigures w = measure_writing(typical, dense_bench, self_check ? 1 : 5);
        const Figures &f = w.typical_default;
        std::printf("# write_records: wall %.3f s against %.3f s\n", f.min_s, w.base.min_s);
        report.line("write_records", a.size_mb, f.min_cpu_s / w.base.min_cpu_s, kWriteTarget,
                    f.mem_mb, &f, w.base.min_s);
    }

    // 9: memory while reading: the peak of the linear walk against the index share plus the
    // cache budget.
    {
        const double allowed = 0.04 * main.size_mb * 1e6 / kMiB + 64;
        report.line("memory_while_reading", main.size_mb, linear_main.mem_mb / allowed, 1.0,
                    linear_main.mem_mb);
    }

    // 10: following an archive as it grows.
    follow_scenario(report, dir, main, linear_main, reps);
    // 11: a series of archives: a values query over the middle quarter of it.
    series_scenario(report, dir, reps, self_check || quick);
    // 12: exporting the main archive as OpenMetrics text into /dev/null with the tool.
    {
        const Figures f = scenario("export_openmetrics", main, b_main, 3.0,
                                   [&] { return export_openmetrics(main); });
        std::printf("# export: %.1f MB/s, %.2f M samples/s\n", main.size_mb / f.min_s,
                    archive_values(main_mb) / f.min_s / 1e6);
    }

    std::printf("%d of %d scenarios within target\n", report.within, report.total);
    // Missed targets are figures to read, not failures; a scenario that could not run is one.
    return report.broken == 0 ? 0 : 1;
}
