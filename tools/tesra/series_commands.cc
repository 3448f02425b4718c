// The reading commands over a series, through the series library.
#include "series_commands.h"

#include <CLI/CLI.hpp>
#include <fmt/core.h>
#include <map>
#include <memory>

#include "cli_common.h"
#include "query_run.h"
#include "row_sinks.h"

namespace tesra::cli {
namespace {

std::string text(const char *s) {
    return s != nullptr ? s : "";
}

const char *state_name(tesra_series_state_t state) {
    switch (state) {
        case TESRA_SERIES_MEMBER_BEING_WRITTEN:
            return "being written";
        case TESRA_SERIES_MEMBER_DAMAGED:
            return "damaged, skipped";
        default:
            return "closed";
    }
}

std::string periods_text(const uint64_t *periods, uint8_t n) {
    std::string out;
    for (uint8_t i = 0; i < n && i < TESRA_NUM_PERIODS; ++i) {
        out += (out.empty() ? "" : ",") + period_name(periods[i]);
    }
    return out.empty() ? "-" : out;
}

struct CatalogueDeleter {
    void operator()(tesra_series_catalogue_t *c) const { tesra_series_free_catalogue(c); }
};
using Catalogue = std::unique_ptr<tesra_series_catalogue_t, CatalogueDeleter>;

Catalogue read_catalogue(Series &series, const std::string &what) {
    tesra_series_catalogue_t *c = nullptr;
    tesra_error_t rc = tesra_series_get_catalogue(series.get(), 0, UINT64_MAX, &c);
    Catalogue out(c);
    if (rc != TESRA_SUCCESS) {
        series.print_findings();
        report_failure(what, "read the definitions of the series", rc);
        return nullptr;
    }
    return out;
}

const tesra_series_object_t *find_object(const tesra_series_catalogue_t &c,
                                         const std::string &name) {
    for (uint32_t i = 0; i < c.num_objects; ++i) {
        if (text(c.objects[i].name) == name) return &c.objects[i];
    }
    return nullptr;
}

std::string what(const SeriesFlags &flags) {
    return flags.sources.sources.size() == 1
               ? flags.sources.sources.front()
               : fmt::format("series of {} sources", flags.sources.sources.size());
}

}  // namespace

void add_series_flags(CLI::App &cmd, SeriesFlags &flags) {
    add_series_options(cmd, flags.sources);
    cmd.add_flag("--verbose", flags.verbose,
                 "Over a series: name the archive each answer comes from");
}

bool split_sources(std::vector<std::string> &all, size_t trailing, std::vector<std::string> &rest) {
    if (all.size() < trailing + 1) {
        report_usage("an archive base (or a series) and the arguments after it are required");
        return false;
    }
    rest.assign(all.end() - static_cast<std::ptrdiff_t>(trailing), all.end());
    all.resize(all.size() - trailing);
    return true;
}

int run_series_info(const SeriesFlags &flags) {
    Series series;
    if (!series.open(flags.sources)) return kExitProblem;
    Catalogue catalogue = read_catalogue(series, what(flags));
    // The catalogue read the members that answer for some time; the rest are named too.
    if (!catalogue || !series.check_members(what(flags), 0, UINT64_MAX)) return kExitProblem;

    const size_t n = tesra_series_member_count(series.get());
    std::vector<tesra_series_member_t> members(n);
    for (size_t i = 0; i < n; ++i) tesra_series_get_member(series.get(), i, &members[i]);
    uint64_t first = UINT64_MAX, last = 0;
    size_t damaged = 0;
    for (const auto &m : members) {
        if (m.state == TESRA_SERIES_MEMBER_DAMAGED) ++damaged;
        if (m.window_start >= m.window_end) continue;
        first = std::min(first, m.window_start);
        last = std::max(last, m.window_end);
    }
    const tesra_series_member_t *any = n > 0 ? &members.front() : nullptr;
    fmt::print("Series      {} archive{} ({} damaged, skipped)\n", n, n == 1 ? "" : "s", damaged);
    if (any != nullptr) {
        fmt::print("Node        {}  cluster {}  store {}  process {}\n", text(any->hostname),
                   text(any->cluster_name), text(any->store_name), text(any->process_name));
    }
    if (first < last) {
        fmt::print("Time range  {} .. {}  ({} .. {} ms)\n", iso_time(first), iso_time(last), first,
                   last);
    }

    fmt::print("\nArchives\n");
    TextTable table({"INDEX", "ARCHIVE", "STATE", "ANSWERS FOR", "SAMPLES"});
    table.right_align(0);
    for (const auto &m : members) {
        std::string window =
            m.window_start < m.window_end
                ? fmt::format("{} .. {}", iso_time(m.window_start), iso_time(m.window_end))
                : "-";
        std::string samples = m.contents_known ? fmt::format("{} .. {}", iso_time(m.contents_first),
                                                             iso_time(m.contents_last))
                                               : "-";
        table.add(
            {std::to_string(m.file_index), text(m.base), state_name(m.state), window, samples});
    }
    table.print(stdout, "  ");

    fmt::print("\nObjects ({})\n", catalogue->num_objects);
    TextTable objects({"ID", "NAME", "PERIODS", "COUNTERS", "ARCHIVES", "CHANGES"});
    for (size_t column : {0, 3, 4}) objects.right_align(column);
    for (uint32_t i = 0; i < catalogue->num_objects; ++i) {
        const auto &o = catalogue->objects[i];
        size_t changed = 0;
        for (uint32_t k = 0; k < o.num_counters; ++k) changed += o.counters[k].changed ? 1 : 0;
        objects.add(
            {std::to_string(o.obj_id), text(o.name), periods_text(o.periods, o.num_periods),
             std::to_string(o.num_counters), std::to_string(o.num_members),
             changed == 0 ? "-" : fmt::format("{} counter{}", changed, changed == 1 ? "" : "s")});
    }
    objects.print(stdout, "  ");

    const size_t findings = tesra_series_finding_count(series.get());
    if (findings > 0) {
        fmt::print("\nFindings ({})\n", findings);
        for (size_t i = 0; i < findings; ++i) {
            tesra_series_finding_t f{};
            if (tesra_series_get_finding(series.get(), i, &f) == TESRA_SUCCESS) {
                fmt::print("  {}\n", text(f.message));
            }
        }
    }
    return kExitOk;
}

int run_series_counters(const SeriesFlags &flags, const std::string &object) {
    Series series;
    if (!series.open(flags.sources)) return kExitProblem;
    Catalogue catalogue = read_catalogue(series, what(flags));
    if (!catalogue) return kExitProblem;
    series.print_findings();
    const tesra_series_object_t *o = find_object(*catalogue, object);
    if (o == nullptr) {
        return report_failure(what(flags), fmt::format("find object '{}'", object),
                              TESRA_OBJECT_NOT_FOUND);
    }
    std::vector<std::string> header{"ID",   "NAME",    "KEY",      "BYTES",  "VALUES",
                                    "TYPE", "PERIODS", "ARCHIVES", "CHANGED"};
    if (flags.verbose) {
        header.push_back("FIRST ARCHIVE");
        header.push_back("LAST ARCHIVE");
    }
    TextTable table(header);
    for (size_t column : {0, 3, 4, 7}) table.right_align(column);
    for (uint32_t k = 0; k < o->num_counters; ++k) {
        const auto &c = o->counters[k];
        std::vector<std::string> row{std::to_string(c.cnt_id),
                                     text(c.name),
                                     c.is_key ? "yes" : "no",
                                     std::to_string(c.size),
                                     std::to_string(c.num_values),
                                     fmt::format("0x{:04X}", c.ctype & 0xFF00u),
                                     c.is_key ? "(all)" : periods_text(c.periods, c.num_periods),
                                     std::to_string(c.num_members),
                                     c.changed ? "yes" : "no"};
        if (flags.verbose) {
            row.push_back(series.member_base(c.first_member));
            row.push_back(series.member_base(c.last_member));
        }
        table.add(std::move(row));
    }
    fmt::print("Object '{}': {} counters in {} archive{}\n\n", object, o->num_counters,
               o->num_members, o->num_members == 1 ? "" : "s");
    table.print(stdout);
    return kExitOk;
}

int run_series_timestamps(const SeriesFlags &flags,
                          const std::string &object,
                          const std::string &period_text) {
    auto period = parse_period(period_text);
    if (!period) return report_usage(fmt::format("not a sampling period: '{}'", period_text));
    Series series;
    if (!series.open(flags.sources)) return kExitProblem;
    uint64_t *times = nullptr;
    size_t *members = nullptr;
    size_t count = 0;
    tesra_error_t rc = tesra_series_get_times(series.get(), object.c_str(), *period, 0, UINT64_MAX,
                                              &times, &members, &count);
    std::unique_ptr<uint64_t, decltype(&std::free)> own_times(times, &std::free);
    std::unique_ptr<size_t, decltype(&std::free)> own_members(members, &std::free);
    series.print_findings();
    if (rc != TESRA_SUCCESS) {
        return report_failure(
            what(flags), fmt::format("sample times of '{}' every {}", object, period_name(*period)),
            rc);
    }
    for (size_t i = 0; i < count; ++i) {
        if (flags.verbose && members != nullptr) {
            fmt::print("{}  {}  {}\n", times[i], iso_time(times[i]),
                       series.member_base(members[i]));
        } else {
            fmt::print("{}  {}\n", times[i], iso_time(times[i]));
        }
    }
    return kExitOk;
}

namespace {

// The columns of a values walk as the sinks take them. Array labels come from the archive of
// the first row, since the series describes a counter by its number of values only.
class SeriesColumns {
public:
    void resolve(const tesra_series_column_t *columns,
                 uint32_t n,
                 Series &series,
                 const std::string &object,
                 std::optional<size_t> member) {
        std::map<std::string, CounterInfo> labelled;
        if (member) {
            tesra_file_handle_t *file = nullptr;
            if (tesra_series_open_member(series.get(), *member, &file) == TESRA_SUCCESS) {
                tesra_header_handle_t *header = nullptr;
                tesra_object_handle_t *o = nullptr;
                if (tesra_get_header(file, &header) == TESRA_SUCCESS &&
                    tesra_find_object(header, object.c_str(), &o) == TESRA_SUCCESS &&
                    o != nullptr) {
                    if (auto counters = object_counters(series.member_base(*member), o)) {
                        for (auto &c : *counters) labelled[c.name] = std::move(c);
                    }
                }
                tesra_close_data_file(file);
            }
        }
        infos_.clear();
        infos_.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            const auto &col = columns[i];
            CounterInfo info;
            if (auto it = labelled.find(text(col.name)); it != labelled.end()) info = it->second;
            info.handle = nullptr;
            info.id = col.cnt_id;
            info.name = text(col.name);
            info.is_key = col.is_key != 0;
            info.ctype = col.ctype;
            if (info.num_values() != col.num_values) {
                info.x_names.clear();
                info.y_names.clear();
                for (uint32_t k = 0; col.num_values > 1 && k < col.num_values; ++k) {
                    info.x_names.push_back(std::to_string(k));
                }
            }
            if (info.size == 0 && col.value_type != TESRA_CNT_STRING) {
                info.size = col.num_values * (col.value_type == TESRA_CNT_4BYTES ? 4 : 8);
            }
            infos_.push_back(std::move(info));
        }
    }

    std::vector<const CounterInfo *> pointers() const {
        std::vector<const CounterInfo *> out;
        for (const auto &i : infos_) out.push_back(&i);
        return out;
    }

    // One row as the sinks take it.
    void convert(const tesra_series_row_t &row, InstanceValues &out) const {
        out.counters.clear();
        for (uint32_t i = 0; i < row.num_columns && i < infos_.size(); ++i) {
            const tesra_counter_data_t &d = row.values[i];
            CounterValues cv;
            cv.counter = &infos_[i];
            cv.type = d.value_type;
            for (uint32_t k = 0; d.values != nullptr && k < d.num_values; ++k) {
                switch (d.value_type) {
                    case TESRA_CNT_STRING:
                        cv.strings.emplace_back(text(d.values[k].val_str));
                        break;
                    case TESRA_CNT_4BYTES:
                        cv.numbers.push_back(d.values[k].val_4B);
                        break;
                    default:
                        cv.numbers.push_back(d.values[k].val_8B);
                        break;
                }
            }
            out.counters.push_back(std::move(cv));
        }
    }

private:
    std::vector<CounterInfo> infos_;
};

struct CursorDeleter {
    void operator()(tesra_series_cursor_t *c) const { tesra_series_free_cursor(c); }
};

}  // namespace

int run_series_values(const SeriesFlags &flags, const SeriesValuesArgs &args) {
    tesra_series_query_t query{};
    query.object_name = args.object.c_str();
    if (!args.period.empty()) {
        auto period = parse_period(args.period);
        if (!period) return report_usage(fmt::format("not a sampling period: '{}'", args.period));
        query.period = *period;
    }
    std::optional<uint64_t> at, from, to;
    for (auto [text_arg, out, flag] :
         {std::tuple{&args.at, &at, "--at"}, std::tuple{&args.from, &from, "--from"},
          std::tuple{&args.to, &to, "--to"}}) {
        if (text_arg->empty()) continue;
        *out = parse_time(*text_arg);
        if (!*out) return report_usage(fmt::format("{}: not a time: '{}'", flag, *text_arg));
    }
    if (from && to && *from > *to) return report_usage("--from is after --to");
    // The series takes half-open ranges; --to and --at name the last time included.
    if (at) {
        query.from = *at;
        query.to = *at + 1;
    } else {
        query.from = from.value_or(0);
        query.to = to ? *to + 1 : 0;
    }
    std::vector<const char *> counters, keys;
    for (const auto &c : args.counters) counters.push_back(c.c_str());
    for (const auto &k : args.keys) keys.push_back(k.c_str());
    query.counter_names = counters.empty() ? nullptr : counters.data();
    query.num_counters = static_cast<uint32_t>(counters.size());
    query.key_filters = keys.empty() ? nullptr : keys.data();
    query.num_key_filters = static_cast<uint32_t>(keys.size());

    // Over a series, every format streams: CSV as always, the table and JSON as a follower
    // prints them (widths by the first sample time, one JSON object per line).
    std::unique_ptr<RowSink> sink = args.format == "csv" ? make_row_sink(args.format, stdout)
                                                         : make_follow_sink(args.format, stdout);
    if (!sink) {
        return report_usage(fmt::format("unknown format '{}' (table, csv or json)", args.format));
    }

    Series series;
    if (!series.open(flags.sources)) return kExitProblem;
    series.limit_findings(query.from, query.to == 0 ? UINT64_MAX : query.to);
    tesra_series_cursor_t *raw = nullptr;
    tesra_error_t rc = tesra_series_query_values(series.get(), &query, &raw);
    std::unique_ptr<tesra_series_cursor_t, CursorDeleter> cursor(raw);
    if (rc != TESRA_SUCCESS) {
        series.print_findings();
        return report_failure(what(flags), fmt::format("query '{}'", args.object), rc);
    }
    const tesra_series_column_t *columns = nullptr;
    uint32_t num_columns = 0;
    tesra_series_cursor_columns(cursor.get(), &columns, &num_columns);

    SeriesColumns infos;
    RowLayout layout{.archive = what(flags),
                     .object = args.object,
                     .period = query.period,
                     .from = query.from,
                     .to = query.to == 0 ? UINT64_MAX : query.to - 1,
                     .columns = {}};
    bool begun = false;
    auto begin = [&](std::optional<size_t> member) {
        infos.resolve(columns, num_columns, series, args.object, member);
        layout.columns = infos.pointers();
        sink->begin(layout);
        begun = true;
    };

    InstanceValues instance;
    std::optional<uint64_t> last_time;
    std::optional<size_t> last_member;
    uint64_t rows = 0;
    while (true) {
        const tesra_series_row_t *row = nullptr;
        rc = tesra_series_next_row(cursor.get(), &row);
        series.print_findings();
        if (rc != TESRA_SUCCESS) {
            sink->flush();
            return report_failure(what(flags), "read the values of the series", rc);
        }
        if (row == nullptr) break;
        if (!begun) begin(row->member);
        if (last_time && *last_time != row->time) sink->flush();
        if (flags.verbose && last_member != row->member) {
            std::fflush(stdout);
            fmt::print(stderr, "tesra: rows from {} at {}\n", series.member_base(row->member),
                       iso_time(row->time));
        }
        infos.convert(*row, instance);
        if (instance.archive.empty() || last_member != row->member) {
            instance.archive = series.member_base(row->member);
        }
        last_time = row->time;
        last_member = row->member;
        sink->row(row->time, instance);
        ++rows;
    }
    if (!begun) begin(std::nullopt);
    sink->end();
    if (at && rows == 0) {
        return report_problem(what(flags), fmt::format("no sample of '{}' at {} ({} ms)",
                                                       args.object, iso_time(*at), *at));
    }
    return kExitOk;
}

}  // namespace tesra::cli
