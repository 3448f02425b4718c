// tesra gen: a synthetic archive for tests and benchmarks. The same seed and sizes always give
// the same records.
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
    uint64_t samples = *duration / *period;
    uint64_t chunks = (opt.instances + opt.chunk - 1) / opt.chunk;
    uint64_t total_records = samples * opt.objects * chunks;

    // A directory gets an archive named by the convention; anything else is the base path.
    std::string base = archive_base(opt.base);
    if (is_directory(base)) {
        base = fmt::format("{}/1_{}_{}_{}", base, *period / 1000, opt.start, *duration);
    }

    std::vector<ObjectSpec> preset;
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
        preset.push_back(std::move(object));
    }

    SystemSpec system;
    system.base_time = opt.start;
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

    ArchiveWriter writer;
    auto failed = [&](tesra_error_t rc) {
        report_failure(base, writer.failed_step(), rc);
        tesra_unlink(base.c_str());
        return kExitProblem;
    };
    if (auto rc = writer.create(base, *duration, system, "gen-1", 1, opt.level);
        rc != TESRA_SUCCESS) {
        return report_failure(base, writer.failed_step(), rc);
    }
    for (const auto &object : preset) {
        if (auto rc = writer.add_object(object); rc != TESRA_SUCCESS) return failed(rc);
    }
    if (auto rc = writer.finalize_header(); rc != TESRA_SUCCESS) return failed(rc);

    Random random(opt.seed);
    Progress progress("generating", total_records);
    uint64_t written = 0;
    for (uint64_t s = 0; s < samples; ++s) {
        uint64_t time = s * *period;
        for (const auto &object : preset) {
            for (uint32_t first = 0; first < opt.instances; first += opt.chunk) {
                uint32_t count = std::min(opt.chunk, opt.instances - first);
                auto body = pack_instances(object, *period, count, [&](uint32_t i, Slot &slot) {
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
                            slot.set_u64(k, (s + 1) * 1000 * (instance + 1) + random.below(1000));
                        }
                    }
                });
                if (auto rc = writer.write(time, object.id, *period, body); rc != TESRA_SUCCESS) {
                    return failed(rc);
                }
                progress.update(++written);
            }
        }
    }
    if (auto rc = writer.close(); rc != TESRA_SUCCESS) {
        report_failure(base, writer.failed_step(), rc);
        return kExitProblem;
    }
    progress.finish();
    fmt::print("{}\n", base);
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
    add_level_option(*cmd, &opt->level);
    cmd->callback([opt, &status] { status = run_gen(*opt); });
}

}  // namespace tesra::cli
