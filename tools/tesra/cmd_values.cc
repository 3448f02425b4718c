// tesra values: the counter values of an object's instances over a time range, as an aligned
// table, CSV (one row per time and instance, one column per value) or JSON.
#include <algorithm>
#include <cstdio>
#include <fmt/core.h>
#include <memory>
#include <optional>
#include <tuple>

#include "cli_common.h"
#include "commands.h"
#include "follow.h"
#include "query_run.h"
#include "row_sinks.h"
#include "series_commands.h"

namespace tesra::cli {
namespace {

struct ValuesOptions {
    std::string base;
    std::string object;
    std::string period;
    std::string at, from, to;
    std::vector<std::string> keys;
    std::vector<std::string> counters;
    std::string format = "table";
    SeriesFlags series;
    FollowOptions follow;
};

// The period and times of the command line, checked.
struct ValuesArgs {
    std::optional<uint64_t> period;
    std::optional<uint64_t> at, from, to;
};

// kExitOk, or the status of a command line that does not make sense (reported).
int parse_args(const ValuesOptions &opt, ValuesArgs &args) {
    if (!opt.period.empty()) {
        args.period = parse_period(opt.period);
        if (!args.period)
            return report_usage(fmt::format("not a sampling period: '{}'", opt.period));
    }
    for (auto [text, out, flag] :
         {std::tuple{&opt.at, &args.at, "--at"}, std::tuple{&opt.from, &args.from, "--from"},
          std::tuple{&opt.to, &args.to, "--to"}}) {
        if (text->empty()) continue;
        *out = parse_time(*text);
        if (!*out) return report_usage(fmt::format("{}: not a time: '{}'", flag, *text));
    }
    if (args.from && args.to && *args.from > *args.to) {
        return report_usage("--from is after --to");
    }
    return kExitOk;
}

// The query of the command line on the open archive: object, period, keys, counters and time
// range. kExitOk with `spec` set, or the status of what went wrong (reported).
int build_query(const ValuesOptions &opt,
                const ValuesArgs &args,
                const Archive &archive,
                std::optional<QuerySpec> &spec) {
    tesra_object_handle_t *object = archive.find_object(opt.object);
    if (object == nullptr) return kExitProblem;
    auto counters = object_counters(archive.base(), object);
    if (!counters) return kExitProblem;
    auto periods = object_periods(object);
    if (periods.empty()) {
        return report_problem(archive.base(),
                              fmt::format("object '{}' has no periods", opt.object));
    }
    uint64_t period = args.period.value_or(periods.front());
    if (std::find(periods.begin(), periods.end(), period) == periods.end()) {
        std::string list;
        for (uint64_t p : periods) list += (list.empty() ? "" : ", ") + period_name(p);
        return report_problem(archive.base(),
                              fmt::format("object '{}' is not sampled every {} (periods: {})",
                                          opt.object, period_name(period), list));
    }

    QuerySpec &q = spec.emplace(archive, object, opt.object, std::move(*counters), period);
    for (const auto &k : opt.keys) {
        if (!q.add_key(k)) return k.find('=') == std::string::npos ? kExitUsage : kExitProblem;
    }
    for (const auto &c : opt.counters) {
        if (!q.add_counter(c)) return kExitProblem;
    }
    q.use_default_counters();
    if (q.selected().empty()) {
        return report_problem(
            archive.base(), fmt::format("object '{}' has no counters sampled every {}", opt.object,
                                        period_name(period)));
    }
    if (args.at) {
        q.set_range(*args.at, *args.at);
    } else {
        q.set_range(args.from.value_or(archive.start_time()), args.to.value_or(archive.end_time()));
    }
    return kExitOk;
}

// `values --follow`: after every refresh the query runs again over the times after the last one
// printed. The newest time is held back while the writer may still be adding its instances.
class ValuesFollower final : public FollowView {
public:
    ValuesFollower(const ValuesOptions &opt, const ValuesArgs &args, RowSink &sink)
        : opt_(opt), args_(args), sink_(sink) {}

    bool open(const std::string &base) {
        query_.reset();
        archive_ = std::make_unique<Archive>();
        if (!archive_->open(base)) return false;
        if (build_query(opt_, args_, *archive_, query_) != kExitOk) return false;
        if (!layout_) {
            const QuerySpec &spec = *query_;
            layout_.emplace(RowLayout{.archive = archive_->base(),
                                      .object = opt_.object,
                                      .period = spec.period(),
                                      .from = spec.start(),
                                      .to = args_.to.value_or(UINT64_MAX),
                                      .columns = spec.key_counters()});
            layout_->columns.insert(layout_->columns.end(), spec.selected().begin(),
                                    spec.selected().end());
            sink_.begin(*layout_);
        }
        return true;
    }

    Archive &archive() override { return *archive_; }
    bool reopen(const std::string &base) override { return open(base); }
    bool done() const override { return past_to_; }

    bool show(bool complete) override {
        uint64_t from = last_ ? *last_ + 1 : args_.from.value_or(archive_->start_time());
        uint64_t to = archive_->end_time();
        if (from > to || archive_->start_time() > to) return true;  // nothing there yet
        query_->set_range(from, to);
        std::optional<uint64_t> held;
        std::vector<InstanceValues> held_instances;
        auto print_held = [&] {
            for (const auto &inst : held_instances) sink_.row(*held, inst);
            last_ = held;
        };
        std::optional<uint64_t> visited =
            query_->run([&](uint64_t time, std::vector<InstanceValues> &instances) {
                if (args_.to && time > *args_.to) {
                    past_to_ = true;
                    return false;
                }
                if (held) print_held();
                held = time;
                held_instances = std::move(instances);
                return true;
            });
        if (!visited) return false;
        if (held && (complete || past_to_)) print_held();
        sink_.flush();
        return true;
    }

    int finish() {
        sink_.end();
        return archive_->close() ? kExitOk : kExitProblem;
    }

private:
    const ValuesOptions &opt_;
    const ValuesArgs &args_;
    RowSink &sink_;
    std::unique_ptr<Archive> archive_;
    std::optional<QuerySpec> query_;
    std::optional<RowLayout> layout_;
    std::optional<uint64_t> last_;  // the newest time printed
    bool past_to_ = false;          // a time after --to was seen: everything up to it is out
};

int follow_values(const ValuesOptions &opt, const ValuesArgs &args) {
    auto interval = follow_interval(opt.follow);
    if (!interval) return kExitUsage;
    std::unique_ptr<RowSink> sink = make_follow_sink(opt.format, stdout);
    ValuesFollower follower(opt, args, *sink);
    if (!follower.open(archive_base(opt.base))) return kExitProblem;
    if (int status = follow(follower, *interval); status != kExitOk) return status;
    return follower.finish();
}

// Runs the query and feeds every instance at every sample time to the sink of the format.
int run_values(const ValuesOptions &opt) {
    std::unique_ptr<RowSink> sink = make_row_sink(opt.format, stdout);
    if (!sink) {
        return report_usage(fmt::format("unknown format '{}' (table, csv or json)", opt.format));
    }
    ValuesArgs args;
    if (int status = parse_args(opt, args); status != kExitOk) return status;
    if (opt.follow.follow) return follow_values(opt, args);
    Archive archive;
    if (!archive.open(archive_base(opt.base))) return kExitProblem;
    std::optional<QuerySpec> query;
    if (int status = build_query(opt, args, archive, query); status != kExitOk) return status;
    const QuerySpec &spec = *query;
    const uint64_t period = spec.period();

    // Column layout: time, key counters, then the selected counters.
    RowLayout layout{.archive = archive.base(),
                     .object = opt.object,
                     .period = period,
                     .from = spec.start(),
                     .to = spec.end(),
                     .columns = spec.key_counters()};
    layout.columns.insert(layout.columns.end(), spec.selected().begin(), spec.selected().end());

    uint64_t span = spec.end() >= spec.start() ? spec.end() - spec.start() : 0;
    uint64_t expected = period == TESRA_ONCE_PER_ARCHIVE_PERIOD ? 1 : span / period + 1;
    // CSV and JSON runs are often long and redirected: they draw a progress bar on a terminal.
    Progress progress("reading", opt.format == "table" ? 0 : expected);

    uint64_t rows = 0;
    uint64_t done = 0;
    sink->begin(layout);
    std::optional<uint64_t> visited =
        spec.run([&](uint64_t time, std::vector<InstanceValues> &instances) {
            for (const auto &inst : instances) {
                sink->row(time, inst);
                ++rows;
            }
            progress.update(++done);
            return true;
        });
    if (!visited) return kExitProblem;
    sink->end();
    progress.finish();
    if (args.at && rows == 0) {
        return report_problem(archive.base(),
                              fmt::format("no sample of '{}' at {} ({} ms) every {}", opt.object,
                                          iso_time(*args.at), *args.at, period_name(period)));
    }
    return archive.close() ? kExitOk : kExitProblem;
}

}  // namespace

void add_values_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<ValuesOptions>();
    CLI::App *cmd = app.add_subcommand(
        "values",
        "Print the counter values of an object's instances: one row per sample time and "
        "instance. Times are milliseconds or ISO 8601 UTC (2025-12-06T05:46:40Z).");
    // CLI11 cannot end a list of positionals before a last one: BASE... OBJECT is split in the
    // callback.
    cmd->add_option("BASE", opt->series.sources.sources,
                    "Archive base path (several, a directory or a glob for a series), then the "
                    "object name")
        ->expected(2, -1)
        ->required();
    cmd->add_option("--period", opt->period,
                    "Sampling period: ms or 60s, 5m, 1h, once (default: the shortest)");
    auto *at = cmd->add_option("--at", opt->at, "Only the sample at this time");
    auto *from = cmd->add_option("--from", opt->from, "First time (default: archive start)");
    auto *to = cmd->add_option("--to", opt->to, "Last time (default: archive end)");
    at->excludes(from)->excludes(to);
    cmd->add_option("--key", opt->keys, "Only instances whose key counter NAME holds VALUE")
        ->type_name("NAME=VALUE");
    cmd->add_option("--counter", opt->counters,
                    "Counter to print (repeatable; default: all sampled at the period)")
        ->type_name("NAME");
    cmd->add_option("--format", opt->format,
                    "table, csv or json (when following: one object per line)")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    add_follow_options(*cmd, opt->follow);
    at->excludes(cmd->get_option("--follow"));
    add_series_flags(*cmd, opt->series);
    cmd->callback([opt, &status] {
        std::vector<std::string> rest;
        if (!split_sources(opt->series.sources.sources, 1, rest)) {
            status = kExitUsage;
            return;
        }
        opt->object = rest[0];
        if (is_series(opt->series.sources.sources)) {
            if (opt->follow.follow) {
                status = report_usage("--follow reads one archive, not a series");
                return;
            }
            status = run_series_values(opt->series, {opt->object, opt->period, opt->at, opt->from,
                                                     opt->to, opt->format, opt->keys,
                                                     opt->counters});
            return;
        }
        opt->base = opt->series.sources.sources.front();
        status = run_values(*opt);
    });
}

}  // namespace tesra::cli
