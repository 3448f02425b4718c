// Opening the sources of a command as a series.
#include "series_source.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fmt/core.h>

#include "cli_common.h"

namespace tesra::cli {

void add_series_options(CLI::App &cmd, SourceOptions &opt) {
    cmd.add_option("--node", opt.node,
                   "Host name of the node to read when the sources hold archives of several");
    cmd.add_flag("--strict", opt.strict,
                 "Fail on a damaged or unreadable archive instead of skipping it with a warning");
}

bool is_series(const std::vector<std::string> &sources) {
    if (sources.size() != 1) return true;
    const std::string &s = sources.front();
    std::error_code ec;
    return std::filesystem::is_directory(s, ec) || s.find_first_of("*?[") != std::string::npos;
}

std::optional<std::vector<CopySource>> series_members(const SourceOptions &opt,
                                                      uint64_t from,
                                                      uint64_t to,
                                                      int *status) {
    Series series;
    if (!series.open(opt)) {
        *status = kExitProblem;
        return std::nullopt;
    }
    // Windows are half-open; the selection is inclusive.
    const uint64_t end = to == UINT64_MAX ? UINT64_MAX : to + 1;
    series.limit_findings(from, end);
    if (!series.check_members(
            opt.sources.size() == 1 ? opt.sources.front()
                                    : fmt::format("{} sources", opt.sources.size()),
            from, end)) {
        *status = kExitProblem;
        return std::nullopt;
    }
    std::vector<CopySource> out;
    const size_t n = tesra_series_member_count(series.get());
    for (size_t i = 0; i < n; ++i) {
        tesra_series_member_t m{};
        if (tesra_series_get_member(series.get(), i, &m) != TESRA_SUCCESS) continue;
        if (m.state == TESRA_SERIES_MEMBER_DAMAGED || m.window_start >= m.window_end) continue;
        if (m.window_end <= from || m.window_start > to) continue;
        out.push_back({m.base, m.file_index, m.window_start, m.window_end});
    }
    series.print_findings();
    *status = kExitOk;
    return out;
}

// ---- Series --------------------------------------------------------------------------------

Series::~Series() {
    tesra_series_close(series_);
}

bool Series::open(const SourceOptions &opt) {
    std::vector<const char *> sources;
    for (const auto &s : opt.sources) sources.push_back(s.c_str());
    tesra_series_options_t options{};
    options.node = opt.node.empty() ? nullptr : opt.node.c_str();
    options.strict = opt.strict ? 1 : 0;
    tesra_error_t rc = tesra_series_open(sources.data(), sources.size(), &options, &series_);
    if (rc != TESRA_SUCCESS) {
        print_findings();
        std::string what = opt.sources.size() == 1 ? opt.sources.front()
                                                   : fmt::format("{} sources", opt.sources.size());
        report_failure(what, "open the series", rc);
        return false;
    }
    return true;
}

std::string Series::member_base(size_t index) const {
    tesra_series_member_t m{};
    if (tesra_series_get_member(series_, index, &m) != TESRA_SUCCESS || m.base == nullptr) {
        return "?";
    }
    return m.base;
}

bool Series::check_members(const std::string &what, uint64_t from, uint64_t to) {
    tesra_error_t rc = tesra_series_check_members(series_, from, to);
    if (rc == TESRA_SUCCESS) return true;
    print_findings();
    report_failure(what, "read the archives of the series", rc);
    return false;
}

void Series::limit_findings(uint64_t from, uint64_t to) {
    from_ = from;
    to_ = to;
}

void Series::print_findings() {
    const size_t n = tesra_series_finding_count(series_);
    for (; printed_ < n; ++printed_) {
        tesra_series_finding_t f{};
        if (tesra_series_get_finding(series_, printed_, &f) != TESRA_SUCCESS) continue;
        const bool stretch = f.kind == TESRA_SERIES_GAP || f.kind == TESRA_SERIES_OVERLAP;
        if (stretch && !f.is_error && (f.to <= from_ || f.from >= to_)) continue;
        fmt::print(stderr, "tesra: {}: {}\n", f.is_error ? "error" : "warning",
                   f.message != nullptr ? f.message : "");
    }
}

}  // namespace tesra::cli
