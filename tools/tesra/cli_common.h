// Shared pieces of the tesra command-line tool: exit codes, error reporting, an owning archive
// handle, time and period parsing and printing, aligned text tables and a terminal progress bar.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tesra/tesra_common_defs.h"
#include "tesra/tesra_ext_defs.h"

#include "common/archive_format.h"

namespace tesra::cli {

// Exit codes: everything fine, a problem in an archive (or an operation that failed on it),
// a command line that does not make sense.
inline constexpr int kExitOk = 0;
inline constexpr int kExitProblem = 1;
inline constexpr int kExitUsage = 2;

// How the tool was invoked (argv[0] when it holds a path, else "tesra"), for hints to run it.
void set_program_name(const char *argv0);
const std::string &program_name();

// The printable label of a result code ("TESRA_FILE_NOT_FOUND"); out-of-range codes as numbers.
std::string error_label(tesra_error_t rc);

// "tesra: <archive>: <operation>: <label>" on stderr; returns kExitProblem.
int report_failure(std::string_view archive, std::string_view operation, tesra_error_t rc);
// "tesra: <archive>: <message>" on stderr; returns kExitProblem.
int report_problem(std::string_view archive, std::string_view message);
// "tesra: <message>" and a pointer to --help on stderr; returns kExitUsage.
int report_usage(std::string_view message);

// Accepts "<base>", "<base>.meta" or "<base>.gz" and gives "<base>".
std::string archive_base(std::string_view arg);

// An archive opened for reading; closed when the object goes away.
class Archive {
public:
    Archive() = default;
    Archive(const Archive &) = delete;
    Archive &operator=(const Archive &) = delete;
    ~Archive();

    // Opens `base` read-only; on failure reports it on stderr (naming the archive).
    bool open(const std::string &base);
    // Closes now and reports a failing close; true when the close succeeded.
    bool close();
    // Takes in what the writer added since the open or the last refresh (the times follow);
    // the library's code, not reported.
    tesra_error_t refresh(uint32_t *new_records);
    // Whether the writer still holds the archive (no index section yet); nullopt (reported)
    // when the library cannot tell.
    std::optional<bool> being_written() const;

    tesra_file_handle_t *handle() const { return file_; }
    tesra_header_handle_t *header() const { return header_; }
    const std::string &base() const { return base_; }

    // Absolute first and last slot times, base time and format version of the open archive.
    uint64_t start_time() const { return info_.start_time; }
    uint64_t end_time() const { return info_.end_time; }
    uint64_t base_time() const { return system_.base_time; }
    uint32_t major() const { return info_.major_v; }
    uint32_t minor() const { return info_.minor_v; }
    const tesra_system_def_t_v6_0 &system() const { return system_; }
    const tesra_header_def_t_v6_0 &header_def() const { return header_def_; }

    // Looks an object up by name; reports a missing one on stderr.
    tesra_object_handle_t *find_object(const std::string &name) const;

private:
    std::string base_;
    tesra_file_handle_t *file_ = nullptr;
    tesra_header_handle_t *header_ = nullptr;
    tesra_file_def_t info_{};
    tesra_system_def_t_v6_0 system_{};
    tesra_header_def_t_v6_0 header_def_{};
};

// Periods and their textual forms: "60000", "60s", "5m", "1h", "1d", "once".
std::optional<uint64_t> parse_period(std::string_view text);
std::string period_name(uint64_t period_ms);
bool is_table_period(uint64_t period_ms);

// Durations: plain milliseconds or with an s/m/h/d suffix.
std::optional<uint64_t> parse_duration(std::string_view text);

// Times: absolute milliseconds, or ISO 8601 UTC ("2025-12-06T05:46:40Z", optional ".mmm").
std::optional<uint64_t> parse_time(std::string_view text);
// "2025-12-06T05:46:40.000Z".
std::string iso_time(uint64_t ms);

// Human sizes: "1.5 MiB".
std::string human_size(uint64_t bytes);

// The object's periods (ascending); empty when it has none.
std::vector<uint64_t> object_periods(tesra_object_handle_t *object);

// One counter definition as the tool uses it, copied out of the header.
struct CounterInfo {
    tesra_counter_handle_t *handle = nullptr;
    uint32_t id = 0;
    std::string name;
    std::string description;
    bool is_key = false;
    uint32_t ctype = 0;
    uint32_t size = 0;
    std::vector<uint64_t> periods;
    std::vector<std::string> x_names;
    std::vector<std::string> y_names;

    bool is_string() const { return format::is_string_ctype(ctype); }
    uint32_t num_values() const;
    bool sampled_at(uint64_t period) const;
};

// Every counter of the object in ascending id; nullopt (reported) on a failing step.
std::optional<std::vector<CounterInfo>> object_counters(const std::string &archive,
                                                        tesra_object_handle_t *object);
std::optional<CounterInfo> counter_info(const std::string &archive, tesra_counter_handle_t *c);

// Bytes of one instance of the object's records at `period`: every key counter and every
// counter sampled at that period.
uint64_t instance_size(const std::vector<CounterInfo> &counters, uint64_t period);

// Column-aligned text output; the last column is not padded.
class TextTable {
public:
    explicit TextTable(std::vector<std::string> header) : header_(std::move(header)) {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    void right_align(size_t column) { right_.push_back(column); }
    void print(std::FILE *out, std::string_view indent = "") const;
    bool empty() const { return rows_.empty(); }

private:
    std::vector<std::string> header_;
    std::vector<std::vector<std::string>> rows_;
    std::vector<size_t> right_;
};

// A progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
public:
    Progress(std::string label, uint64_t total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void update(uint64_t done);
    void finish();

private:
    void draw(uint64_t done);

    std::string label_;
    uint64_t total_;
    bool active_;
    int last_permille_ = -1;
};

}  // namespace tesra::cli
