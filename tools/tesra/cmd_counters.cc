// tesra counters: the counter definitions of one object.
#include <fmt/core.h>

#include "cli_common.h"
#include "commands.h"
#include "series_commands.h"

namespace tesra::cli {
namespace {

struct CountersOptions {
    std::string base;
    std::string object;
    SeriesFlags series;
};

std::string join(const std::vector<std::string> &items, std::string_view sep) {
    std::string out;
    for (const auto &item : items) {
        if (!out.empty()) out += sep;
        out += item;
    }
    return out;
}

std::string shape(const CounterInfo &c) {
    if (c.x_names.empty()) return "1";
    if (c.y_names.empty()) return fmt::format("{}", c.x_names.size());
    return fmt::format("{}x{}", c.x_names.size(), c.y_names.size());
}

int run_counters(const CountersOptions &opt) {
    Archive archive;
    if (!archive.open(archive_base(opt.base))) return kExitProblem;
    tesra_object_handle_t *object = archive.find_object(opt.object);
    if (object == nullptr) return kExitProblem;
    auto counters = object_counters(archive.base(), object);
    if (!counters) return kExitProblem;

    TextTable table(
        {"ID", "NAME", "KEY", "BYTES", "VALUES", "SIZE", "TYPE", "UNIT", "PERIODS", "DESCRIPTION"});
    table.right_align(0);
    table.right_align(3);
    table.right_align(4);
    for (const auto &c : *counters) {
        tesra_cnt_size_t size = 0;
        tesra_cnt_type_t type = 0;
        tesra_cnt_unit_t unit = 0;
        if (tesra_error_t rc = tesra_get_counter_type(c.handle, &size, &type, &unit);
            rc != TESRA_SUCCESS) {
            return report_failure(archive.base(), fmt::format("type of counter '{}'", c.name), rc);
        }
        std::vector<std::string> periods;
        for (uint64_t p : c.periods) periods.push_back(period_name(p));
        table.add({std::to_string(c.id), c.name, c.is_key ? "yes" : "no", std::to_string(c.size),
                   shape(c), fmt::format("{}", size),
                   fmt::format("0x{:04X}{}", type, c.is_string() ? " string" : ""),
                   fmt::format("0x{:05X}", unit), c.is_key ? "(all)" : join(periods, ","),
                   c.description});
    }
    fmt::print("Object '{}': {} counters\n\n", opt.object, counters->size());
    table.print(stdout);

    bool labels_header = false;
    for (const auto &c : *counters) {
        if (c.x_names.empty() && c.y_names.empty()) continue;
        if (!labels_header) {
            fmt::print("\nArray labels (values are stored x-major: x0y0, x0y1, ...)\n");
            labels_header = true;
        }
        fmt::print("  {}\n    x: {}\n", c.name, join(c.x_names, ", "));
        if (!c.y_names.empty()) fmt::print("    y: {}\n", join(c.y_names, ", "));
    }
    return archive.close() ? kExitOk : kExitProblem;
}

}  // namespace

void add_counters_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<CountersOptions>();
    CLI::App *cmd = app.add_subcommand(
        "counters",
        "Print the counter definitions of an object: id, name, key flag, bytes per instance, "
        "number of values, the size/type/unit fields of the type code, periods, array labels "
        "and description.");
    // CLI11 cannot end a list of positionals before a last one: BASE... OBJECT is split here.
    cmd->add_option("BASE", opt->series.sources.sources,
                    "Archive base path (several, a directory or a glob for a series), then the "
                    "object name")
        ->expected(2, -1)
        ->required();
    add_series_flags(*cmd, opt->series);
    cmd->callback([opt, &status] {
        std::vector<std::string> rest;
        if (!split_sources(opt->series.sources.sources, 1, rest)) {
            status = kExitUsage;
            return;
        }
        opt->object = rest[0];
        if (is_series(opt->series.sources.sources)) {
            status = run_series_counters(opt->series, opt->object);
            return;
        }
        opt->base = opt->series.sources.sources.front();
        status = run_counters(*opt);
    });
}

}  // namespace tesra::cli
