// tesra values: the counter values of an object's instances over a time range, as an aligned
// table, CSV (one row per time and instance, one column per value) or JSON.
#include <cstdio>
#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include "cli_common.h"
#include "commands.h"
#include "query_run.h"

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
};

// Column names of a counter's values: "name", "name[x]" or "name[x,y]" (x-major order).
std::vector<std::string> value_columns(const CounterInfo &c) {
    uint32_t n = c.num_values();
    if (n == 1) return {c.name};
    std::vector<std::string> out;
    for (uint32_t k = 0; k < n; ++k) {
        if (!c.y_names.empty() && !c.x_names.empty()) {
            size_t ny = c.y_names.size();
            out.push_back(fmt::format("{}[{},{}]", c.name, c.x_names[k / ny], c.y_names[k % ny]));
        } else if (k < c.x_names.size()) {
            out.push_back(fmt::format("{}[{}]", c.name, c.x_names[k]));
        } else {
            out.push_back(fmt::format("{}[{}]", c.name, k));
        }
    }
    return out;
}

std::string csv_field(const std::string &field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos &&
        (field.empty() || (field.front() != ' ' && field.back() != ' '))) {
        return field;
    }
    std::string out = "\"";
    for (char ch : field) {
        if (ch == '"') out += '"';
        out += ch;
    }
    out += '"';
    return out;
}

void print_csv_row(const std::vector<std::string> &fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += ',';
        line += csv_field(fields[i]);
    }
    line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
}

nlohmann::json json_value(const CounterValues &v, size_t index) {
    if (v.type == TESRA_CNT_STRING) return v.strings[index];
    return v.numbers[index];
}

// A counter's values as JSON: a scalar, a list (x labels) or a list of lists (x by y).
nlohmann::json json_values(const CounterValues &v) {
    const CounterInfo *c = v.counter;
    size_t n = v.size();
    if (c == nullptr || c->num_values() == 1) {
        return n == 1 ? json_value(v, 0) : nlohmann::json(nullptr);
    }
    if (!c->x_names.empty() && !c->y_names.empty() && n == c->num_values()) {
        nlohmann::json rows = nlohmann::json::array();
        size_t ny = c->y_names.size();
        for (size_t x = 0; x < c->x_names.size(); ++x) {
            nlohmann::json row = nlohmann::json::array();
            for (size_t y = 0; y < ny; ++y) row.push_back(json_value(v, x * ny + y));
            rows.push_back(std::move(row));
        }
        return rows;
    }
    nlohmann::json list = nlohmann::json::array();
    for (size_t i = 0; i < n; ++i) list.push_back(json_value(v, i));
    return list;
}

std::string table_cell(const CounterValues &v) {
    if (v.size() == 1) return v.text(0);
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) {
        if (i > 0) out += ' ';
        out += v.text(i);
    }
    return out + "]";
}

int run_values(const ValuesOptions &opt) {
    if (opt.format != "table" && opt.format != "csv" && opt.format != "json") {
        return report_usage(fmt::format("unknown format '{}' (table, csv or json)", opt.format));
    }
    std::optional<uint64_t> period_arg;
    if (!opt.period.empty()) {
        period_arg = parse_period(opt.period);
        if (!period_arg)
            return report_usage(fmt::format("not a sampling period: '{}'", opt.period));
    }
    std::optional<uint64_t> at, from, to;
    for (auto [text, out, flag] :
         {std::tuple{&opt.at, &at, "--at"}, std::tuple{&opt.from, &from, "--from"},
          std::tuple{&opt.to, &to, "--to"}}) {
        if (text->empty()) continue;
        *out = parse_time(*text);
        if (!*out) return report_usage(fmt::format("{}: not a time: '{}'", flag, *text));
    }
    if (from && to && *from > *to) return report_usage("--from is after --to");

    Archive archive;
    if (!archive.open(archive_base(opt.base))) return kExitProblem;
    tesra_object_handle_t *object = archive.find_object(opt.object);
    if (object == nullptr) return kExitProblem;
    auto counters = object_counters(archive.base(), object);
    if (!counters) return kExitProblem;
    auto periods = object_periods(object);
    if (periods.empty()) {
        return report_problem(archive.base(),
                              fmt::format("object '{}' has no periods", opt.object));
    }
    uint64_t period = period_arg.value_or(periods.front());
    if (std::find(periods.begin(), periods.end(), period) == periods.end()) {
        std::string list;
        for (uint64_t p : periods) list += (list.empty() ? "" : ", ") + period_name(p);
        return report_problem(archive.base(),
                              fmt::format("object '{}' is not sampled every {} (periods: {})",
                                          opt.object, period_name(period), list));
    }

    QuerySpec spec(archive, object, opt.object, std::move(*counters), period);
    for (const auto &k : opt.keys) {
        if (!spec.add_key(k)) return k.find('=') == std::string::npos ? kExitUsage : kExitProblem;
    }
    for (const auto &c : opt.counters) {
        if (!spec.add_counter(c)) return kExitProblem;
    }
    spec.use_default_counters();
    if (spec.selected().empty()) {
        return report_problem(
            archive.base(), fmt::format("object '{}' has no counters sampled every {}", opt.object,
                                        period_name(period)));
    }
    if (at) {
        spec.set_range(*at, *at);
    } else {
        spec.set_range(from.value_or(archive.start_time()), to.value_or(archive.end_time()));
    }

    // Column layout: time, key counters, then the selected counters.
    std::vector<const CounterInfo *> columns = spec.key_counters();
    columns.insert(columns.end(), spec.selected().begin(), spec.selected().end());

    uint64_t span = spec.end() >= spec.start() ? spec.end() - spec.start() : 0;
    uint64_t expected = period == TESRA_ONCE_PER_ARCHIVE_PERIOD ? 1 : span / period + 1;
    Progress progress("reading", opt.format == "table" ? 0 : expected);

    uint64_t rows = 0;
    std::optional<uint64_t> visited;
    if (opt.format == "csv") {
        std::vector<std::string> header{"time_ms", "time_utc"};
        for (const auto *c : columns) {
            for (auto &name : value_columns(*c)) header.push_back(std::move(name));
        }
        print_csv_row(header);
        uint64_t done = 0;
        visited = spec.run([&](uint64_t time, std::vector<InstanceValues> &instances) {
            for (const auto &inst : instances) {
                std::vector<std::string> fields{std::to_string(time), iso_time(time)};
                for (const auto &v : inst.counters) {
                    uint32_t n = v.counter != nullptr ? v.counter->num_values()
                                                      : static_cast<uint32_t>(v.size());
                    for (uint32_t k = 0; k < n; ++k) fields.push_back(v.text(k));
                }
                print_csv_row(fields);
                ++rows;
            }
            progress.update(++done);
            return true;
        });
    } else if (opt.format == "json") {
        nlohmann::json doc;
        doc["archive"] = archive.base();
        doc["object"] = opt.object;
        doc["period_ms"] = period;
        doc["from_ms"] = spec.start();
        doc["to_ms"] = spec.end();
        nlohmann::json defs = nlohmann::json::array();
        for (const auto *c : columns) {
            nlohmann::json d;
            d["name"] = c->name;
            d["id"] = c->id;
            d["key"] = c->is_key;
            d["type"] =
                c->is_string() ? "string" : (c->size / c->num_values() == 4 ? "u32" : "u64");
            if (!c->x_names.empty()) d["x_names"] = c->x_names;
            if (!c->y_names.empty()) d["y_names"] = c->y_names;
            defs.push_back(std::move(d));
        }
        doc["counters"] = std::move(defs);
        nlohmann::json samples = nlohmann::json::array();
        uint64_t done = 0;
        visited = spec.run([&](uint64_t time, std::vector<InstanceValues> &instances) {
            for (const auto &inst : instances) {
                nlohmann::json sample;
                sample["time_ms"] = time;
                sample["time"] = iso_time(time);
                nlohmann::json keys = nlohmann::json::object();
                nlohmann::json values = nlohmann::json::object();
                for (const auto &v : inst.counters) {
                    if (v.counter == nullptr) continue;
                    (v.counter->is_key ? keys : values)[v.counter->name] = json_values(v);
                }
                sample["keys"] = std::move(keys);
                sample["values"] = std::move(values);
                samples.push_back(std::move(sample));
                ++rows;
            }
            progress.update(++done);
            return true;
        });
        if (visited) {
            doc["samples"] = std::move(samples);
            std::string text = doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
            fmt::print("{}\n", text);
        }
    } else {
        std::vector<std::string> header{"TIME"};
        for (const auto *c : columns) header.push_back(c->name);
        TextTable table(header);
        for (size_t i = 0; i < columns.size(); ++i) {
            if (!columns[i]->is_string()) table.right_align(i + 1);
        }
        visited = spec.run([&](uint64_t time, std::vector<InstanceValues> &instances) {
            for (const auto &inst : instances) {
                std::vector<std::string> row{iso_time(time)};
                for (const auto &v : inst.counters) row.push_back(table_cell(v));
                table.add(std::move(row));
                ++rows;
            }
            return true;
        });
        if (visited) table.print(stdout);
    }
    if (!visited) return kExitProblem;
    progress.finish();
    if (at && rows == 0) {
        return report_problem(archive.base(),
                              fmt::format("no sample of '{}' at {} ({} ms) every {}", opt.object,
                                          iso_time(*at), *at, period_name(period)));
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
    cmd->add_option("BASE", opt->base, "Archive base path")->required();
    cmd->add_option("OBJECT", opt->object, "Object name")->required();
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
    cmd->add_option("--format", opt->format, "table, csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    cmd->callback([opt, &status] { status = run_values(*opt); });
}

}  // namespace tesra::cli
