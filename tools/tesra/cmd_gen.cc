// tesra gen: a synthetic archive for tests and benchmarks. The same seed and sizes always give
// the same records.
#include <filesystem>
#include <fmt/core.h>
#include <sys/stat.h>

#include "archive_writer.h"
#include "cli_common.h"
#include "commands.h"

namespace tesra::cli {
namespace {

struct GenOptions {
    std::string base;
    uint32_t objects = 0;
    uint32_t instances = 0;
    uint32_t counters = 0;
    std::string duration;
    std::string period;
    uint64_t seed = 1;
    uint32_t chunk = 500;
    uint64_t start = 1765000000000;
    int level = kLibraryLevel;
    uint32_t archives = 0;  // 0: one archive, BASE may be a path; else a series in a directory
    uint32_t gap = 0;       // the archive of the series left out (1-based), 0 for none
    bool live = false;      // the series' last archive is left unclosed
};

// splitmix64: small, fast and the same everywhere.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t bound) { return bound == 0 ? 0 : next() % bound; }

private:
    uint64_t state_;
};

// Counter kinds cycle: 8-byte count, 4-byte level, 8-byte array with 4 labels, 16-byte text.
CounterSpec make_counter(uint32_t index, uint64_t period) {
    CounterSpec c;
    c.id = index + 2;  // id 1 is the key
    c.periods = {period};
    switch (index % 4) {
        case 0:
            c.name = fmt::format("count_{:03}", index);
            c.description = "Cumulative operations";
            c.ctype = 8 | kTypeRaw | kUnitOps;
            c.size = 8;
            break;
        case 1:
            c.name = fmt::format("level_{:03}", index);
            c.description = "Instantaneous level";
            c.ctype = 4 | kTypeGauge | kUnitNone;
            c.size = 4;
            break;
        case 2:
            c.name = fmt::format("hist_{:03}", index);
            c.description = "Distribution over four buckets";
            c.ctype = 8 | kTypeRaw | kUnitOps;
            c.size = 32;
            c.x_names = {"b0", "b1", "b2", "b3"};
            break;
        default:
            c.name = fmt::format("state_{:03}", index);
            c.description = "State text";
            c.ctype = kTypeString;
            c.size = 16;
            break;
    }
    return c;
}

bool is_directory(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What every archive of one run shares: the preset, the node and the sampling.
struct GenPlan {
    std::vector<ObjectSpec> preset;
    SystemSpec system;
    uint64_t period = 0;
    uint64_t duration = 0;
    uint64_t samples = 0;  // per archive
    uint32_t instances = 0;
    uint32_t chunk = 0;
    int level = kLibraryLevel;
};

// Writes one archive of `plan` at `base`, starting at `start` (its base time); `first_sample`
// numbers its first sample within the series, so that cumulative counts keep growing from one
// archive to the next. `live` leaves it unclosed. kExitOk, or the failure's status (reported;
// the archive is removed).
int write_archive(const GenPlan &plan,
                  const std::string &base,
                  uint64_t start,
                  uint64_t first_sample,
                  bool live,
                  Random &random,
                  Progress &progress,
                  uint64_t &written) {
    SystemSpec system = plan.system;
    system.base_time = start;
    ArchiveWriter writer;
    auto failed = [&](tesra_error_t rc) {
        report_failure(base, writer.failed_step(), rc);
        tesra_unlink(base.c_str());
        return kExitProblem;
    };
    if (auto rc = writer.create(base, plan.duration, system, "gen-1", 1, plan.level);
        rc != TESRA_SUCCESS) {
        return report_failure(base, writer.failed_step(), rc);
    }
    for (const auto &object : plan.preset) {
        if (auto rc = writer.add_object(object); rc != TESRA_SUCCESS) return failed(rc);
    }
    if (auto rc = writer.finalize_header(); rc != TESRA_SUCCESS) return failed(rc);

    for (uint64_t s = 0; s < plan.samples; ++s) {
        uint64_t time = s * plan.period;
        uint64_t sample = first_sample + s;
        for (const auto &object : plan.preset) {
            for (uint32_t first = 0; first < plan.instances; first += plan.chunk) {
                uint32_t count = std::min(plan.chunk, plan.instances - first);
                auto body =
                    pack_instances(object, plan.period, count, [&](uint32_t i, Slot &slot) {
                        const CounterSpec &c = slot.counter();
                        uint32_t instance = first + i;
                        if (c.is_key) {
                            slot.set_string(0, fmt::format("inst_{:05}", instance));
                            return;
                        }
                        for (uint32_t k = 0; k < c.num_values(); ++k) {
                            if (c.is_string()) {
                                static const char *kStates[] = {"online", "degraded", "offline"};
                                slot.set_string(k, kStates[random.below(3)]);
                            } else if (c.element_width() == 4) {
                                slot.set_u32(k, static_cast<uint32_t>(random.below(1000)));
                            } else {
                                // Cumulative: grows with time, differs per instance.
                                slot.set_u64(k, (sample + 1) * 1000 * (instance + 1) +
                                                    random.below(1000));
                            }
                        }
                    });
                if (auto rc = writer.write(time, object.id, plan.period, body);
                    rc != TESRA_SUCCESS) {
                    return failed(rc);
                }
                progress.update(++written);
            }
        }
    }
    if (auto rc = live ? writer.abandon() : writer.close(); rc != TESRA_SUCCESS) {
        report_failure(base, writer.failed_step(), rc);
        return kExitProblem;
    }
    return kExitOk;
}

int run_gen(const GenOptions &opt) {
    auto period = parse_period(opt.period);
    if (!period || *period == TESRA_ONCE_PER_ARCHIVE_PERIOD) {
        return report_usage(
            fmt::format("--period: not a repeating sampling period: '{}'", opt.period));
    }
    auto duration = parse_duration(opt.duration);
    if (!duration || *duration == 0) {
        return report_usage(fmt::format("--duration: not a duration: '{}'", opt.duration));
    }
    if (*duration < 2 * *period) {
        return report_usage("--duration must hold at least two samples of --period");
    }
    if (opt.objects == 0 || opt.instances == 0 || opt.counters == 0 || opt.chunk == 0) {
        return report_usage("--objects, --instances, --counters and --chunk must be at least 1");
    }
    if (opt.archives == 0 && (opt.gap != 0 || opt.live)) {
        return report_usage("--gap and --live need --archives");
    }
    if (opt.gap > opt.archives) {
        return report_usage(fmt::format("--gap {}: the series has {} archives", opt.gap,
                                        opt.archives));
    }
    GenPlan plan;
    plan.period = *period;
    plan.duration = *duration;
    plan.samples = *duration / *period;
    plan.instances = opt.instances;
    plan.chunk = opt.chunk;
    plan.level = opt.level;
    uint64_t chunks = (opt.instances + opt.chunk - 1) / opt.chunk;
    uint64_t archives = std::max<uint64_t>(opt.archives, 1) - (opt.gap != 0 ? 1 : 0);
    uint64_t total_records = plan.samples * opt.objects * chunks * archives;

    std::string base = archive_base(opt.base);
    if (opt.archives > 0) {
        std::error_code ec;
        std::filesystem::create_directories(base, ec);
        if (!is_directory(base)) {
            return report_problem(base, "--archives needs a directory to write the series into");
        }
    }

    for (uint32_t o = 0; o < opt.objects; ++o) {
        ObjectSpec object;
        object.id = o + 1;
        object.name = fmt::format("object_{:03}", o + 1);
        CounterSpec key;
        key.id = 1;
        key.name = "instance_name";
        key.description = "Instance name";
        key.is_key = true;
        key.ctype = kTypeString;
        key.size = 32;
        key.periods = {*period};
        object.counters.push_back(key);
        for (uint32_t c = 0; c < opt.counters; ++c)
            object.counters.push_back(make_counter(c, *period));
        uint64_t instance_bytes = object.instance_size(*period);
        if (instance_bytes * std::min(opt.instances, opt.chunk) > format::kMaxRecordBodySize) {
            return report_usage("a record would pass 2 MiB: lower --chunk or --counters");
        }
        plan.preset.push_back(std::move(object));
    }

    SystemSpec &system = plan.system;
    system.os_version = "9.14.1";
    system.node_uuid = fmt::format("00000000-0000-4000-8000-{:012x}", opt.seed & 0xFFFFFFFFFFFFull);
    system.hostname = "gen-node-01";
    system.model = "synthetic";
    system.serial_number = fmt::format("GEN{:08}", opt.seed % 100000000);
    system.system_id = "0000000001";
    system.cluster_name = "gen-cluster";
    system.cluster_id = "00000000-0000-4000-8000-000000000001";
    system.process_name = "tesra-gen";
    system.store_name = "synthetic";

    Random random(opt.seed);
    Progress progress("generating", total_records);
    uint64_t written = 0;
    if (opt.archives == 0) {
        // A directory gets an archive named by the convention; anything else is the base path.
        if (is_directory(base)) {
            base = fmt::format("{}/1_{}_{}_{}", base, *period / 1000, opt.start, *duration);
        }
        if (int status = write_archive(plan, base, opt.start, 0, false, random, progress, written);
            status != kExitOk) {
            return status;
        }
        progress.finish();
        fmt::print("{}\n", base);
        return kExitOk;
    }

    // A series: file index k + 1 covers the k-th span of DURATION after --start. An archive
    // still being written has no span yet and carries the template in its name.
    std::vector<std::string> bases;
    for (uint32_t k = 0; k < opt.archives; ++k) {
        if (k + 1 == opt.gap) continue;
        uint64_t start = opt.start + uint64_t{k} * *duration;
        bool live = opt.live && k + 1 == opt.archives;
        std::string name =
            live ? fmt::format("{}_{}{}", k + 1, *period / 1000, format::kPartialArchiveTemplate)
                 : fmt::format("{}_{}_{}_{}", k + 1, *period / 1000, start, *duration);
        // The template ends in the full stop that precedes a suffix; the base has none.
        if (!name.empty() && name.back() == '.') name.pop_back();
        std::string archive = fmt::format("{}/{}", base, name);
        if (int status = write_archive(plan, archive, start, uint64_t{k} * plan.samples, live,
                                       random, progress, written);
            status != kExitOk) {
            return status;
        }
        bases.push_back(std::move(archive));
    }
    progress.finish();
    for (const auto &b : bases) fmt::print("{}\n", b);
    return kExitOk;
}

}  // namespace

void add_gen_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<GenOptions>();
    CLI::App *cmd = app.add_subcommand(
        "gen",
        "Write a synthetic archive: N objects of M instances, each with one key counter and C "
        "counters (8-byte counts, 4-byte levels, 4-value arrays, text), sampled every PERIOD "
        "for DURATION. The same seed gives the same archive. BASE may be a directory, which "
        "then gets an archive named by the convention; the base path is printed.");
    cmd->add_option("BASE", opt->base, "Archive base path or directory")->required();
    cmd->add_option("--objects", opt->objects, "Number of objects")->required();
    cmd->add_option("--instances", opt->instances, "Instances per object")->required();
    cmd->add_option("--counters", opt->counters, "Counters per object besides the key")->required();
    cmd->add_option("--duration", opt->duration, "Time covered: ms or 15m, 1h, 1d")->required();
    cmd->add_option("--period", opt->period, "Sampling period: ms or 1s, 60s, 5m, 1h")->required();
    cmd->add_option("--seed", opt->seed, "Seed of the values")->capture_default_str();
    cmd->add_option("--chunk", opt->chunk,
                    "Most instances per stored record; more are split into partial records")
        ->capture_default_str();
    cmd->add_option("--start", opt->start, "Base time in ms since 1970")->capture_default_str();
    auto *archives = cmd->add_option(
        "--archives", opt->archives,
        "Write a series of N archives of one node into the directory BASE instead: file indexes "
        "1 to N, each covering the DURATION after the one before; the base paths are printed");
    cmd->add_option("--gap", opt->gap,
                    "Leave archive K of the series out: its span is missing, the file index "
                    "skips it")
        ->needs(archives);
    cmd->add_flag("--live", opt->live,
                  "Leave the series' last archive as its writer leaves it before the close: "
                  "every record flushed, no index, the name without a span")
        ->needs(archives);
    add_level_option(*cmd, &opt->level);
    cmd->callback([opt, &status] { status = run_gen(*opt); });
}

}  // namespace tesra::cli
