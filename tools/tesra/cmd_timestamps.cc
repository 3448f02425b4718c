// tesra timestamps: the sample times of an object at one period, one per line.
#include <fmt/core.h>

#include "cli_common.h"
#include "commands.h"
#include "query_run.h"
#include "series_commands.h"

namespace tesra::cli {
namespace {

struct TimestampsOptions {
    std::string base;
    std::string object;
    std::string period;
    SeriesFlags series;
};

int run_timestamps(const TimestampsOptions &opt) {
    auto period = parse_period(opt.period);
    if (!period) return report_usage(fmt::format("not a sampling period: '{}'", opt.period));

    Archive archive;
    if (!archive.open(archive_base(opt.base))) return kExitProblem;
    tesra_object_handle_t *object = archive.find_object(opt.object);
    if (object == nullptr) return kExitProblem;
    auto periods = object_periods(object);
    if (std::find(periods.begin(), periods.end(), *period) == periods.end()) {
        return report_failure(
            archive.base(),
            fmt::format("sample times of '{}' every {}", opt.object, period_name(*period)),
            TESRA_PERIOD_NOT_FOUND);
    }
    auto counters = object_counters(archive.base(), object);
    if (!counters) return kExitProblem;

    QuerySpec spec(archive, object, opt.object, std::move(*counters), *period);
    spec.use_default_counters();
    if (spec.selected().empty()) {
        return report_problem(
            archive.base(), fmt::format("object '{}' has no counters sampled every {}", opt.object,
                                        period_name(*period)));
    }
    auto visited = spec.run(
        [](uint64_t time, std::vector<InstanceValues> &) {
            fmt::print("{}  {}\n", time, iso_time(time));
            return true;
        },
        /*with_values=*/false);
    if (!visited) return kExitProblem;
    return archive.close() ? kExitOk : kExitProblem;
}

}  // namespace

void add_timestamps_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<TimestampsOptions>();
    CLI::App *cmd = app.add_subcommand(
        "timestamps",
        "Print the sample times of an object at one period: milliseconds and UTC, one a line.");
    // CLI11 cannot end a list of positionals before the last ones: BASE... OBJECT PERIOD is
    // split here.
    cmd->add_option("BASE", opt->series.sources.sources,
                    "Archive base path (several, a directory or a glob for a series), then the "
                    "object name and the sampling period (ms or 60s, 5m, 1h, once)")
        ->expected(3, -1)
        ->required();
    add_series_flags(*cmd, opt->series);
    cmd->callback([opt, &status] {
        std::vector<std::string> rest;
        if (!split_sources(opt->series.sources.sources, 2, rest)) {
            status = kExitUsage;
            return;
        }
        opt->object = rest[0];
        opt->period = rest[1];
        if (is_series(opt->series.sources.sources)) {
            status = run_series_timestamps(opt->series, opt->object, opt->period);
            return;
        }
        opt->base = opt->series.sources.sources.front();
        status = run_timestamps(*opt);
    });
}

}  // namespace tesra::cli
