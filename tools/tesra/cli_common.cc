// Shared pieces of the tesra command-line tool.
#include "cli_common.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fmt/core.h>

#include "tesra/tesra_live.h"

namespace tesra::cli {

namespace {
std::string &program_name_storage() {
    static std::string name = "tesra";
    return name;
}
}  // namespace

void set_program_name(const char *argv0) {
    if (argv0 != nullptr && std::strchr(argv0, '/') != nullptr) program_name_storage() = argv0;
}

const std::string &program_name() {
    return program_name_storage();
}

std::string error_label(tesra_error_t rc) {
    auto index = static_cast<uint32_t>(rc);
    if (index < TESRA_ERROR_CODES_MAX_INDEX && tesra_error_labels[index] != nullptr) {
        return tesra_error_labels[index];
    }
    return fmt::format("error code {}", index);
}

int report_failure(std::string_view archive, std::string_view operation, tesra_error_t rc) {
    fmt::print(stderr, "tesra: {}: {}: {}\n", archive, operation, error_label(rc));
    return kExitProblem;
}

int report_problem(std::string_view archive, std::string_view message) {
    fmt::print(stderr, "tesra: {}: {}\n", archive, message);
    return kExitProblem;
}

int report_usage(std::string_view message) {
    fmt::print(stderr, "tesra: {}\nRun with --help for more information.\n", message);
    return kExitUsage;
}

std::string archive_base(std::string_view arg) {
    for (std::string_view suffix : {std::string_view(".meta"), std::string_view(".gz")}) {
        if (arg.size() > suffix.size() && arg.substr(arg.size() - suffix.size()) == suffix) {
            return std::string(arg.substr(0, arg.size() - suffix.size()));
        }
    }
    return std::string(arg);
}

// ---- Archive -------------------------------------------------------------------------------

Archive::~Archive() {
    if (file_ != nullptr) tesra_close_data_file(file_);
}

bool Archive::open(const std::string &base) {
    base_ = base;
    const char *meta_path = nullptr;
    const char *data_path = nullptr;
    tesra_file_handle_t *file = nullptr;
    tesra_error_t rc = tesra_open_data_file(base.c_str(), "r", &file, &meta_path, &data_path);
    if (rc != TESRA_SUCCESS) {
        report_failure(base, "open", rc);
        return false;
    }
    file_ = file;
    if (rc = tesra_get_file_info(file_, &info_); rc != TESRA_SUCCESS) {
        report_failure(base, "read file information", rc);
        return false;
    }
    if (rc = tesra_get_header(file_, &header_); rc != TESRA_SUCCESS || header_ == nullptr) {
        report_failure(base, "read header", rc == TESRA_SUCCESS ? TESRA_NULL_POINTER : rc);
        return false;
    }
    if (rc = tesra_get_system_info(header_, &system_); rc != TESRA_SUCCESS) {
        report_failure(base, "read system information", rc);
        return false;
    }
    if (rc = tesra_get_header_info(header_, &header_def_); rc != TESRA_SUCCESS) {
        report_failure(base, "read header information", rc);
        return false;
    }
    return true;
}

bool Archive::close() {
    if (file_ == nullptr) return true;
    tesra_error_t rc = tesra_close_data_file(file_);
    file_ = nullptr;
    header_ = nullptr;
    if (rc != TESRA_SUCCESS) {
        report_failure(base_, "close", rc);
        return false;
    }
    return true;
}

tesra_error_t Archive::refresh(uint32_t *new_records) {
    if (tesra_error_t rc = tesra_refresh_data_file(file_, new_records); rc != TESRA_SUCCESS) {
        return rc;
    }
    return tesra_get_file_info(file_, &info_);
}

std::optional<bool> Archive::being_written() const {
    int state = 0;
    if (tesra_error_t rc = tesra_is_being_written(file_, &state); rc != TESRA_SUCCESS) {
        report_failure(base_, "ask whether the archive is being written", rc);
        return std::nullopt;
    }
    return state != 0;
}

tesra_object_handle_t *Archive::find_object(const std::string &name) const {
    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_find_object(header_, name.c_str(), &object);
    if (rc != TESRA_SUCCESS || object == nullptr) {
        report_failure(base_, fmt::format("find object '{}'", name),
                       rc == TESRA_SUCCESS ? TESRA_OBJECT_NOT_FOUND : rc);
        return nullptr;
    }
    return object;
}

// ---- periods, durations, times -------------------------------------------------------------

namespace {

std::optional<uint64_t> parse_unsigned(std::string_view text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// "<number>[ms|s|m|h|d]" in milliseconds.
std::optional<uint64_t> parse_with_unit(std::string_view text) {
    static constexpr struct {
        std::string_view suffix;
        uint64_t factor;
    } kUnits[] = {{"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000}, {"d", 86400000}};
    for (const auto &unit : kUnits) {
        if (text.size() > unit.suffix.size() &&
            text.substr(text.size() - unit.suffix.size()) == unit.suffix) {
            auto number = parse_unsigned(text.substr(0, text.size() - unit.suffix.size()));
            uint64_t out = 0;
            if (!number || __builtin_mul_overflow(*number, unit.factor, &out)) return std::nullopt;
            return out;
        }
    }
    return parse_unsigned(text);
}

}  // namespace

bool is_table_period(uint64_t period_ms) {
    return std::find(std::begin(_tesra_period_map), std::end(_tesra_period_map), period_ms) !=
           std::end(_tesra_period_map);
}

std::optional<uint64_t> parse_period(std::string_view text) {
    if (text == "once") return TESRA_ONCE_PER_ARCHIVE_PERIOD;
    auto value = parse_with_unit(text);
    if (!value || !is_table_period(*value)) return std::nullopt;
    return value;
}

std::string period_name(uint64_t period_ms) {
    if (period_ms == TESRA_ONCE_PER_ARCHIVE_PERIOD) return "once";
    if (period_ms % 86400000 == 0) return fmt::format("{}d", period_ms / 86400000);
    if (period_ms % 3600000 == 0) return fmt::format("{}h", period_ms / 3600000);
    if (period_ms % 60000 == 0) return fmt::format("{}m", period_ms / 60000);
    if (period_ms % 1000 == 0) return fmt::format("{}s", period_ms / 1000);
    return fmt::format("{}ms", period_ms);
}

std::optional<uint64_t> parse_duration(std::string_view text) {
    return parse_with_unit(text);
}

std::optional<uint64_t> parse_time(std::string_view text) {
    if (auto ms = parse_unsigned(text)) return ms;
    // YYYY-MM-DDTHH:MM:SS[.mmm][Z]
    std::string s(text);
    if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.pop_back();
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, consumed = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d%*1[T ]%2d:%2d:%2d%n", &year, &month, &day, &hour,
                    &minute, &second, &consumed) != 6) {
        return std::nullopt;
    }
    uint64_t millis = 0;
    std::string_view rest(s.c_str() + consumed);
    if (!rest.empty()) {
        if (rest.front() != '.' || rest.size() > 4 || rest.size() < 2) return std::nullopt;
        auto fraction = parse_unsigned(rest.substr(1));
        if (!fraction) return std::nullopt;
        millis = *fraction;
        for (size_t i = rest.size() - 1; i < 3; ++i) millis *= 10;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
        year < 1970) {
        return std::nullopt;
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    time_t seconds = timegm(&tm);
    if (seconds < 0) return std::nullopt;
    return static_cast<uint64_t>(seconds) * 1000 + millis;
}

std::string iso_time(uint64_t ms) {
    auto seconds = static_cast<time_t>(ms / 1000);
    std::tm tm{};
    if (gmtime_r(&seconds, &tm) == nullptr) return fmt::format("{}ms", ms);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return fmt::format("{}.{:03}Z", buf, ms % 1000);
}

std::string human_size(uint64_t bytes) {
    if (bytes < 1024) return fmt::format("{} B", bytes);
    double value = static_cast<double>(bytes);
    const char *units[] = {"KiB", "MiB", "GiB", "TiB"};
    int unit = -1;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return fmt::format("{:.1f} {}", value, units[unit]);
}

// ---- objects and counters ------------------------------------------------------------------

std::vector<uint64_t> object_periods(tesra_object_handle_t *object) {
    uint64_t *periods = nullptr;
    uint32_t count = 0;
    std::vector<uint64_t> out;
    if (tesra_get_object_periods(object, &periods, &count) == TESRA_SUCCESS && periods != nullptr) {
        out.assign(periods, periods + count);
    }
    std::free(periods);
    return out;
}

uint32_t CounterInfo::num_values() const {
    if (x_names.empty()) return 1;
    if (y_names.empty()) return static_cast<uint32_t>(x_names.size());
    return static_cast<uint32_t>(x_names.size() * y_names.size());
}

bool CounterInfo::sampled_at(uint64_t period) const {
    return std::find(periods.begin(), periods.end(), period) != periods.end();
}

std::optional<CounterInfo> counter_info(const std::string &archive, tesra_counter_handle_t *c) {
    tesra_counter_def_t def{};
    if (tesra_error_t rc = tesra_get_counter_info(c, &def); rc != TESRA_SUCCESS) {
        report_failure(archive, "read counter information", rc);
        return std::nullopt;
    }
    CounterInfo info;
    info.handle = c;
    info.id = def.cnt_id;
    info.name = def.name != nullptr ? def.name : "";
    info.description = def.desc != nullptr ? def.desc : "";
    info.is_key = def.is_key;
    info.ctype = def.ctype;
    info.size = def.size;
    for (uint32_t i = 0; i < def.num_periods && i < TESRA_NUM_PERIODS; ++i) {
        info.periods.push_back(def.periods[i]);
    }
    for (uint32_t i = 0; def.x_names != nullptr && i < def.num_x_items; ++i) {
        info.x_names.emplace_back(def.x_names[i] != nullptr ? def.x_names[i] : "");
    }
    for (uint32_t i = 0; def.y_names != nullptr && i < def.num_y_items; ++i) {
        info.y_names.emplace_back(def.y_names[i] != nullptr ? def.y_names[i] : "");
    }
    return info;
}

std::optional<std::vector<CounterInfo>> object_counters(const std::string &archive,
                                                        tesra_object_handle_t *object) {
    std::vector<CounterInfo> out;
    tesra_counter_handle_t *counter = nullptr;
    tesra_error_t rc = tesra_first_counter(object, &counter);
    while (rc == TESRA_SUCCESS && counter != nullptr) {
        auto info = counter_info(archive, counter);
        if (!info) return std::nullopt;
        out.push_back(std::move(*info));
        rc = tesra_next_counter(object, &counter);
    }
    if (rc != TESRA_SUCCESS) {
        report_failure(archive, "walk counters", rc);
        return std::nullopt;
    }
    return out;
}

uint64_t instance_size(const std::vector<CounterInfo> &counters, uint64_t period) {
    uint64_t size = 0;
    for (const auto &c : counters) {
        if (c.is_key || c.sampled_at(period)) size += c.size;
    }
    return size;
}

// ---- TextTable -----------------------------------------------------------------------------

void TextTable::print(std::FILE *out, std::string_view indent) const {
    std::vector<size_t> widths(header_.size(), 0);
    auto measure = [&](const std::vector<std::string> &row) {
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    };
    measure(header_);
    for (const auto &row : rows_) measure(row);
    auto emit = [&](const std::vector<std::string> &row) {
        std::string line(indent);
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            bool last = i + 1 == row.size();
            bool right = std::find(right_.begin(), right_.end(), i) != right_.end();
            size_t pad = widths[i] - row[i].size();
            if (right) line.append(pad, ' ');
            line += row[i];
            if (!right && !last) line.append(pad, ' ');
            if (!last) line += "  ";
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        fmt::print(out, "{}\n", line);
    };
    emit(header_);
    for (const auto &row : rows_) emit(row);
}

// ---- Progress ------------------------------------------------------------------------------

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total), active_(isatty(STDERR_FILENO) == 1 && total > 0) {}

Progress::~Progress() {
    // Left early (a failure): end the bar's line without claiming completion.
    if (active_) fmt::print(stderr, "\n");
}

void Progress::update(uint64_t done) {
    if (!active_) return;
    int permille = static_cast<int>(std::min<uint64_t>(done, total_) * 1000 / total_);
    if (permille / 5 == last_permille_ / 5) return;
    last_permille_ = permille;
    draw(done);
}

void Progress::draw(uint64_t done) {
    constexpr int kWidth = 30;
    int filled = last_permille_ * kWidth / 1000;
    fmt::print(stderr, "\r{} [{}{}] {:3}% ({}/{})", label_, std::string(filled, '#'),
               std::string(kWidth - filled, ' '), last_permille_ / 10, std::min(done, total_),
               total_);
    std::fflush(stderr);
}

void Progress::finish() {
    if (!active_) return;
    last_permille_ = 1000;
    draw(total_);
    fmt::print(stderr, "\n");
    active_ = false;
}

}  // namespace tesra::cli
