// tesra demo: writes a sample archive of a storage node with the writer library, reads it back
// through the extraction calls and prints a short tour of what it holds.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fmt/core.h>

#include "tesra/tesra_wrapper_header.h"

#include "archive_writer.h"
#include "cli_common.h"
#include "commands.h"

namespace tesra::cli {
namespace {

constexpr uint64_t kMinute = 60000;
constexpr uint64_t kFiveMinutes = 300000;
constexpr uint64_t kDuration = 900000;
constexpr uint64_t kBaseTime = 1765000000000;  // 2025-12-06T05:46:40Z

struct DemoOptions {
    std::string dir;
};

CounterSpec counter(uint32_t id,
                    std::string name,
                    std::string description,
                    uint32_t ctype,
                    uint32_t size,
                    std::vector<uint64_t> periods) {
    CounterSpec c;
    c.id = id;
    c.name = std::move(name);
    c.description = std::move(description);
    c.ctype = ctype;
    c.size = size;
    c.periods = std::move(periods);
    return c;
}

CounterSpec key(
    uint32_t id, std::string name, std::string description, uint32_t size, uint64_t period) {
    CounterSpec c =
        counter(id, std::move(name), std::move(description), kTypeString, size, {period});
    c.is_key = true;
    return c;
}

std::vector<ObjectSpec> demo_preset() {
    std::vector<ObjectSpec> preset;

    ObjectSpec volume{1, "volume", {}};
    volume.counters = {
        key(1, "instance_name", "Volume name", 64, kMinute),
        counter(2, "read_ops", "Read operations since boot", 8 | kTypeRaw | kUnitOps, 8,
                {kMinute, kFiveMinutes}),
        counter(3, "write_ops", "Write operations since boot", 8 | kTypeRaw | kUnitOps, 8,
                {kMinute, kFiveMinutes}),
        counter(4, "avg_latency_us", "Average operation latency", 8 | kTypeGauge | kUnitMicros, 8,
                {kMinute}),
        counter(5, "read_latency_hist", "Reads by latency bucket", 8 | kTypeRaw | kUnitOps, 48,
                {kMinute}),
        counter(6, "space_used", "Bytes in use", 8 | kTypeGauge | kUnitBytes, 8, {kFiveMinutes}),
        counter(7, "state", "Volume state", kTypeString, 16, {kFiveMinutes}),
    };
    volume.counters[4].x_names = {"<1ms", "<2ms", "<4ms", "<8ms", "<16ms", ">=16ms"};
    preset.push_back(volume);

    ObjectSpec processor{2, "processor", {}};
    processor.counters = {
        key(1, "instance_name", "Processor name", 32, kMinute),
        counter(2, "busy_pct", "Share of time busy", 4 | kTypePercent, 4, {kMinute}),
        counter(3, "interrupts", "Interrupts since boot", 8 | kTypeRaw | kUnitOps, 8, {kMinute}),
    };
    preset.push_back(processor);

    ObjectSpec system{3, "system", {}};
    system.counters = {
        key(1, "node_name", "Node name", 64, kMinute),
        counter(2, "cpu_busy_by_domain", "Busy time per CPU and domain",
                4 | kTypeGauge | kUnitMicros, 48, {kMinute}),
        counter(3, "total_ops", "Operations since boot", 8 | kTypeRaw | kUnitOps, 8,
                {kMinute, kFiveMinutes}),
        counter(4, "uptime_s", "Seconds since boot", 8 | kTypeGauge | kUnitSeconds, 8,
                {kFiveMinutes}),
    };
    system.counters[1].x_names = {"cpu0", "cpu1", "cpu2", "cpu3"};
    system.counters[1].y_names = {"user", "kernel", "storage"};
    preset.push_back(system);

    ObjectSpec config{4, "node_config", {}};
    config.counters = {
        key(1, "node_name", "Node name", 64, TESRA_ONCE_PER_ARCHIVE_PERIOD),
        counter(2, "os_version", "Storage OS version", kTypeString, 32,
                {TESRA_ONCE_PER_ARCHIVE_PERIOD}),
        counter(3, "memory_mb", "Installed memory", 8 | kTypeGauge | kUnitBytes, 8,
                {TESRA_ONCE_PER_ARCHIVE_PERIOD}),
        counter(4, "num_cpus", "Processors", 4 | kTypeGauge, 4, {TESRA_ONCE_PER_ARCHIVE_PERIOD}),
    };
    preset.push_back(config);
    return preset;
}

// The sample values: plausible, reproducible, and moving with time.
void fill_sample(const ObjectSpec &object, uint64_t minute, uint32_t instance, Slot &slot) {
    static const char *kVolumes[] = {"vol0", "vol_data", "vol_logs"};
    const CounterSpec &c = slot.counter();
    uint64_t wobble = (minute * 7 + instance * 13) % 11;
    if (object.name == "volume") {
        uint64_t rate = 1200 + 800 * instance;
        switch (c.id) {
            case 1:
                slot.set_string(0, kVolumes[instance]);
                break;
            case 2:
                slot.set_u64(0, 5000000 + instance * 750000 + minute * rate * 60 + wobble);
                break;
            case 3:
                slot.set_u64(0, 2000000 + instance * 310000 + minute * rate * 25 + wobble);
                break;
            case 4:
                slot.set_u64(0, 380 + instance * 95 + wobble * 7);
                break;
            case 5: {
                uint64_t base = (minute + 1) * rate;
                uint64_t shares[] = {52, 27, 12, 6, 2, 1};
                for (uint32_t k = 0; k < 6; ++k) slot.set_u64(k, base * shares[k] + wobble);
                break;
            }
            case 6:
                slot.set_u64(0,
                             (uint64_t{40} << 30) * (instance + 1) + minute * (uint64_t{3} << 20));
                break;
            case 7:
                slot.set_string(0, instance == 2 && minute >= 10 ? "restricted" : "online");
                break;
        }
    } else if (object.name == "processor") {
        switch (c.id) {
            case 1:
                slot.set_string(0, fmt::format("processor{}", instance));
                break;
            case 2:
                slot.set_u32(0, static_cast<uint32_t>(35 + instance * 6 + wobble * 2));
                break;
            case 3:
                slot.set_u64(0, 90000000 + minute * 540000 + instance * 1000 + wobble);
                break;
        }
    } else if (object.name == "system") {
        switch (c.id) {
            case 1:
                slot.set_string(0, "node-a1");
                break;
            case 2:
                for (uint32_t cpu = 0; cpu < 4; ++cpu) {
                    for (uint32_t domain = 0; domain < 3; ++domain) {
                        uint32_t share = (domain == 2 ? 31 : 12 - domain * 4) + cpu * 2;
                        slot.set_u32(cpu * 3 + domain,
                                     static_cast<uint32_t>(share * 600000 + wobble * 1000));
                    }
                }
                break;
            case 3:
                slot.set_u64(0, 7000000 + minute * 220000 + wobble);
                break;
            case 4:
                slot.set_u64(0, 1296000 + minute * 60);
                break;
        }
    } else {
        switch (c.id) {
            case 1:
                slot.set_string(0, "node-a1");
                break;
            case 2:
                slot.set_string(0, "9.14.1P3");
                break;
            case 3:
                slot.set_u64(0, 262144);
                break;
            case 4:
                slot.set_u32(0, 4);
                break;
        }
    }
}

uint32_t demo_instances(const ObjectSpec &object) {
    if (object.name == "volume") return 3;
    if (object.name == "processor") return 4;
    return 1;
}

// Writes the archive; on failure reports it and returns false.
bool write_demo(const std::string &base, const std::vector<ObjectSpec> &preset) {
    SystemSpec system;
    system.base_time = kBaseTime;
    system.os_version = "9.14.1P3";
    system.node_uuid = "6f1c2a4e-3b7d-11f0-9a41-00a098d1c2e5";
    system.hostname = "node-a1";
    system.model = "SA-800";
    system.serial_number = "721948000153";
    system.system_id = "0537124012";
    system.cluster_name = "east-cluster";
    system.cluster_id = "a3e5a0f2-3b7d-11f0-9a41-00a098d1c2e5";
    system.process_name = "ctrmgrd";
    system.store_name = "perf-default";

    ArchiveWriter writer;
    auto failed = [&](tesra_error_t rc) {
        report_failure(base, writer.failed_step(), rc);
        return false;
    };
    if (auto rc = writer.create(base, kDuration, system, "9.14.1-default", 3);
        rc != TESRA_SUCCESS) {
        return failed(rc);
    }
    for (const auto &object : preset) {
        if (auto rc = writer.add_object(object); rc != TESRA_SUCCESS) return failed(rc);
    }
    if (auto rc =
            writer.add_aggregation(1, "node", "node-a1", "6f1c2a4e-3b7d-11f0-9a41-00a098d1c2e5");
        rc != TESRA_SUCCESS) {
        return failed(rc);
    }
    if (auto rc = writer.finalize_header(); rc != TESRA_SUCCESS) return failed(rc);

    for (uint64_t time = 0; time < kDuration; time += kMinute) {
        for (const auto &object : preset) {
            for (uint64_t period : object.periods()) {
                bool due = period == TESRA_ONCE_PER_ARCHIVE_PERIOD ? time == 0 : time % period == 0;
                if (!due) continue;
                auto body = pack_instances(object, period, demo_instances(object),
                                           [&](uint32_t instance, Slot &slot) {
                                               fill_sample(object, time / kMinute, instance, slot);
                                           });
                if (auto rc = writer.write(time, object.id, period, body); rc != TESRA_SUCCESS) {
                    return failed(rc);
                }
            }
        }
    }
    if (auto rc = writer.close(); rc != TESRA_SUCCESS) return failed(rc);
    return true;
}

std::string wrapper_error(char *error) {
    return error != nullptr ? std::string(error) : std::string("unknown error");
}

std::string value_text(const tesra_counter_data_t &data) {
    std::string out;
    for (uint32_t i = 0; i < data.num_values && data.values != nullptr; ++i) {
        if (i > 0) out += ' ';
        switch (data.value_type) {
            case TESRA_CNT_STRING:
                out += data.values[i].val_str != nullptr ? data.values[i].val_str : "";
                break;
            case TESRA_CNT_4BYTES:
                out += std::to_string(data.values[i].val_4B);
                break;
            default:
                out += std::to_string(data.values[i].val_8B);
                break;
        }
    }
    return data.num_values > 1 ? "[" + out + "]" : out;
}

// The tour: everything below goes through the extraction calls, as a collection service would.
bool tour(const std::string &base, const std::vector<ObjectSpec> &preset) {
    char *error = nullptr;
    tesra_wrapper_file_version version = get_tesra_file_version(base.c_str(), &error);
    if (version.major_v == FILE_VERSION_ERROR) {
        report_problem(base, fmt::format("read format version: {}", wrapper_error(error)));
        free_tesra_file_version(error);
        return false;
    }
    fmt::print("Format version {}.{}\n\n", version.major_v, version.minor_v);

    fmt::print("Objects and their sampling periods:\n");
    for (const auto &object : preset) {
        uint64_t *periods = nullptr;
        uint32_t count = 0;
        error = nullptr;
        if (!get_periods_list(base.c_str(), object.name.c_str(), &periods, &count, &error)) {
            report_problem(base,
                           fmt::format("periods of '{}': {}", object.name, wrapper_error(error)));
            free_tesra_wrapper_periods_data(periods, error);
            return false;
        }
        std::string list;
        for (uint32_t i = 0; i < count; ++i) list += (i ? ", " : "") + period_name(periods[i]);
        fmt::print("  {:<12} {}\n", object.name, list);
        free_tesra_wrapper_periods_data(periods, error);
    }

    const std::string object = "volume";
    uint64_t *times = nullptr;
    uint32_t num_times = 0;
    error = nullptr;
    if (!get_timestamp_list(base.c_str(), kFiveMinutes, object.c_str(), &times, &num_times,
                            &error)) {
        report_problem(base, fmt::format("sample times of '{}': {}", object, wrapper_error(error)));
        free_tesra_wrapper_timestamps_data(times, error);
        return false;
    }
    fmt::print("\nSample times of '{}' every 5 minutes:\n", object);
    for (uint32_t i = 0; i < num_times; ++i) {
        fmt::print("  {}  {}\n", times[i], iso_time(times[i]));
    }
    uint64_t when = num_times > 1 ? times[1] : (num_times == 1 ? times[0] : 0);
    free_tesra_wrapper_timestamps_data(times, error);
    if (num_times == 0) {
        report_problem(base, "no sample times");
        return false;
    }

    tesra_wrapper_counter_data_t *data = nullptr;
    uint32_t num_instances = 0;
    counter_wrapper_headers *headers = nullptr;
    uint32_t num_headers = 0;
    error = nullptr;
    if (!get_counter_values_for_timestamp(base.c_str(), when, kFiveMinutes, object.c_str(), &data,
                                          &num_instances, &headers, &num_headers, &error)) {
        report_problem(base, fmt::format("values of '{}': {}", object, wrapper_error(error)));
        free_tesra_wrapper_counter_data(data, num_instances, headers, num_headers, error);
        return false;
    }
    fmt::print("\nValues of '{}' at {} (5-minute counters):\n", object, iso_time(when));
    std::vector<std::string> header;
    for (uint32_t h = 0; h < num_headers; ++h) header.emplace_back(headers[h].counter_name);
    TextTable table(header);
    for (uint32_t h = 1; h < num_headers; ++h) table.right_align(h);
    for (uint32_t i = 0; i < num_instances; ++i) {
        std::vector<std::string> row;
        for (uint32_t c = 0; c < data[i].num_of_counters_count; ++c) {
            row.push_back(value_text(data[i].counter_values[c]));
        }
        table.add(std::move(row));
    }
    table.print(stdout, "  ");
    free_tesra_wrapper_counter_data(data, num_instances, headers, num_headers, error);
    return true;
}

int run_demo(const DemoOptions &opt) {
    std::string dir = opt.dir;
    if (dir.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/tesra-demo-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) {
            return report_problem(pattern,
                                  fmt::format("cannot make a directory: {}", std::strerror(errno)));
        }
        dir = buf.data();
    } else {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            return report_problem(dir, fmt::format("cannot make a directory: {}", ec.message()));
        }
    }
    auto preset = demo_preset();
    std::string base = fmt::format("{}/1_{}_{}_{}", dir, kFiveMinutes / 1000, kBaseTime, kDuration);
    if (!write_demo(base, preset)) return kExitProblem;

    fmt::print("Wrote a sample archive of node 'node-a1': 4 objects, 15 minutes of samples\n");
    fmt::print("  {}.meta\n  {}.gz\n\n", base, base);
    if (!tour(base, preset)) return kExitProblem;

    const std::string &tesra = program_name();
    fmt::print("\nTry next:\n");
    fmt::print("  {} info {}\n", tesra, base);
    fmt::print("  {} counters {} volume\n", tesra, base);
    fmt::print("  {} timestamps {} volume 60s\n", tesra, base);
    fmt::print("  {} values {} volume --format csv\n", tesra, base);
    fmt::print("  {} values {} system --at {} --format json\n", tesra, base,
               kBaseTime + kFiveMinutes);
    fmt::print("  {} records {} --raw\n", tesra, base);
    fmt::print("  {} check {}\n", tesra, base);
    return kExitOk;
}

}  // namespace

void add_demo_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<DemoOptions>();
    CLI::App *cmd = app.add_subcommand(
        "demo",
        "Write a sample archive of a storage node (volumes, processors, per-CPU busy time, a "
        "latency histogram, a once-per-archive configuration object; 15 minutes at 1- and "
        "5-minute periods), read it back and show what it holds.");
    cmd->add_option("DIR", opt->dir,
                    "Directory for the archive, made if missing (default: a new temporary one)");
    cmd->callback([opt, &status] { status = run_demo(*opt); });
}

}  // namespace tesra::cli
