// tesra info: what an archive holds: version, node, time range, objects, records, file sizes.
#include <fmt/core.h>
#include <map>
#include <sys/stat.h>
#include <tuple>

#include "cli_common.h"
#include "commands.h"
#include "series_commands.h"

namespace tesra::cli {
namespace {

struct InfoOptions {
    std::string base;
    SeriesFlags series;
};

struct ObjectSummary {
    uint32_t id = 0;
    std::string name;
    std::vector<uint64_t> periods;
    std::vector<CounterInfo> counters;
    uint64_t records = 0;
    uint64_t max_instances = 0;
};

std::optional<uint64_t> file_size(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

std::string duration_text(uint64_t ms) {
    uint64_t s = ms / 1000;
    if (s >= 86400) return fmt::format("{}d {}h {}m", s / 86400, s % 86400 / 3600, s % 3600 / 60);
    if (s >= 3600) return fmt::format("{}h {}m {}s", s / 3600, s % 3600 / 60, s % 60);
    if (s >= 60) return fmt::format("{}m {}s", s / 60, s % 60);
    return fmt::format("{}.{:03}s", s, ms % 1000);
}

int run_info(const InfoOptions &opt) {
    Archive archive;
    std::string base = archive_base(opt.base);
    if (!archive.open(base)) return kExitProblem;

    std::vector<ObjectSummary> objects;
    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_first_object(archive.header(), &object);
    while (rc == TESRA_SUCCESS && object != nullptr) {
        tesra_object_def_t def{};
        if (rc = tesra_get_object_info(object, &def); rc != TESRA_SUCCESS) break;
        auto counters = object_counters(base, object);
        if (!counters) return kExitProblem;
        objects.push_back({def.obj_id, def.name != nullptr ? def.name : "", object_periods(object),
                           std::move(*counters), 0, 0});
        rc = tesra_next_object(archive.header(), &object);
    }
    if (rc != TESRA_SUCCESS) return report_failure(base, "walk objects", rc);
    std::map<uint32_t, ObjectSummary *> by_id;
    for (auto &o : objects) by_id[o.id] = &o;

    // One pass over the data stream for record counts, instance counts and the stream size.
    auto gz_size = file_size(base + ".gz");
    auto meta_size = file_size(base + ".meta");
    uint64_t records = 0;
    uint64_t stream_bytes = 0;
    std::map<std::tuple<uint32_t, uint64_t, uint64_t>, uint64_t> sample_instances;
    {
        tesra_record_handle_t *record = nullptr;
        rc = tesra_first_record(archive.handle(), TESRA_RAW_ORDER, 0, &record);
        while (rc == TESRA_SUCCESS && record != nullptr) {
            tesra_record_header_data_t_v6_0 info{};
            if (rc = tesra_get_record_info(record, &info); rc != TESRA_SUCCESS) break;
            ++records;
            stream_bytes += 24 + uint64_t{info.size};
            if (auto it = by_id.find(info.obj_id); it != by_id.end()) {
                ObjectSummary &o = *it->second;
                ++o.records;
                // Partial records of one sample add up to its instances.
                uint64_t size = instance_size(o.counters, info.period);
                uint64_t t = info.msecs_since_base;
                if (info.period != TESRA_ONCE_PER_ARCHIVE_PERIOD && info.period != 0) {
                    t -= t % info.period;
                }
                if (size > 0) {
                    uint64_t &n = sample_instances[{info.obj_id, info.period, t}];
                    n += info.size / size;
                    o.max_instances = std::max(o.max_instances, n);
                }
            }
            rc = tesra_next_record(archive.handle(), &record);
        }
    }
    if (rc != TESRA_SUCCESS) return report_failure(base, "walk records", rc);

    const auto &sys = archive.system();
    const auto &hdr = archive.header_def();
    auto str = [](const char *s) { return std::string(s != nullptr ? s : ""); };
    auto writing = archive.being_written();
    if (!writing) return kExitProblem;

    fmt::print("Archive     {}\n", base);
    fmt::print("State       {}\n",
               *writing ? "being written (index rebuilt from the data stream)" : "closed");
    fmt::print("Version     {}.{}  (preset {}, generation {})\n", archive.major(), archive.minor(),
               str(hdr.preset_version), hdr.generation_id);
    fmt::print("Node        {}  model {}  serial {}  system id {}\n", str(sys.hostname),
               str(sys.model), str(sys.serial_number), str(sys.system_id));
    fmt::print("Node uuid   {}\n", str(sys.node_uuid));
    fmt::print("OS version  {}\n", str(sys.nelvo_version));
    fmt::print("Cluster     {}  uuid {}\n", str(sys.cluster_name), str(sys.cluster_id));
    fmt::print("Store       {}  process {}\n", str(sys.store_name), str(sys.process_name));
    fmt::print("Base time   {}  ({} ms)\n", iso_time(archive.base_time()), archive.base_time());
    uint64_t start = archive.start_time();
    uint64_t end = archive.end_time();
    fmt::print("Time range  {} .. {}  ({})\n", iso_time(start), iso_time(end),
               end >= start ? duration_text(end - start) : "empty");
    fmt::print("            {} .. {} ms\n", start, end);
    fmt::print("Records     {}\n", records);

    fmt::print("\nObjects ({})\n", objects.size());
    TextTable table({"ID", "NAME", "PERIODS", "COUNTERS", "KEYS", "INSTANCES", "RECORDS"});
    for (size_t column : {0, 3, 4, 5, 6}) table.right_align(column);
    for (const auto &o : objects) {
        std::string periods;
        for (uint64_t p : o.periods) periods += (periods.empty() ? "" : ",") + period_name(p);
        size_t keys = 0;
        for (const auto &c : o.counters) keys += c.is_key ? 1 : 0;
        table.add({std::to_string(o.id), o.name, periods.empty() ? "-" : periods,
                   std::to_string(o.counters.size()), std::to_string(keys),
                   std::to_string(o.max_instances), std::to_string(o.records)});
    }
    table.print(stdout, "  ");

    fmt::print("\nFiles\n");
    fmt::print("  {}.meta  {}\n", base, meta_size ? human_size(*meta_size) : "missing");
    if (gz_size) {
        std::string ratio = *gz_size > 0
                                ? fmt::format("{:.1f}:1", static_cast<double>(stream_bytes) /
                                                              static_cast<double>(*gz_size))
                                : "-";
        fmt::print("  {}.gz    {}  (records: {}, compression {})\n", base, human_size(*gz_size),
                   human_size(stream_bytes), ratio);
    } else {
        fmt::print("  {}.gz    missing\n", base);
    }
    return archive.close() ? kExitOk : kExitProblem;
}

}  // namespace

void add_info_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<InfoOptions>();
    CLI::App *cmd = app.add_subcommand(
        "info",
        "Summarise an archive: version, node, time range (UTC and ms), objects with their "
        "periods, counter and instance counts, records, file sizes and compression.");
    cmd->add_option("BASE", opt->series.sources.sources,
                    "Archive base path (<base>.meta and <base>.gz); several, a directory or a glob "
                    "for a series")
        ->required();
    add_series_flags(*cmd, opt->series);
    cmd->callback([opt, &status] {
        if (is_series(opt->series.sources.sources)) {
            status = run_series_info(opt->series);
            return;
        }
        opt->base = opt->series.sources.sources.front();
        status = run_info(*opt);
    });
}

}  // namespace tesra::cli
