// The archives a command reads: one archive base, or a series (a directory, a glob or several
// bases) opened through the series library, whose findings are printed as warnings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tesra/tesra_series.h"

#include "record_copy.h"

namespace CLI {
class App;
}

namespace tesra::cli {

struct SourceOptions {
    std::vector<std::string> sources;
    std::string node;     // --node: the host to read when the sources hold several
    bool strict = false;  // --strict: a damaged archive is an error, not skipped
};

// Adds --node and --strict.
void add_series_options(CLI::App &cmd, SourceOptions &opt);

// Whether the sources name more than one archive base: several of them, a directory or a glob.
bool is_series(const std::vector<std::string> &sources);

// An open series; its findings are printed on stderr as warnings (errors when they failed a
// call), each once.
class Series {
public:
    Series() = default;
    Series(const Series &) = delete;
    Series &operator=(const Series &) = delete;
    ~Series();

    // Opens the sources; on failure prints the findings and the failure.
    bool open(const SourceOptions &opt);
    tesra_series_t *get() const { return series_; }
    std::string member_base(size_t index) const;
    // Checks the node of every member that meets [from, to) (half-open) without opening it:
    // for commands that read the members' files themselves, or must see every member. On
    // failure prints the findings and the failure.
    bool check_members(const std::string &what, uint64_t from, uint64_t to);
    // Gaps and overlaps that do not meet [from, to) (half-open) are not printed: a question
    // about part of the series warns about that part only.
    void limit_findings(uint64_t from, uint64_t to);
    // Prints the findings not printed yet.
    void print_findings();

private:
    tesra_series_t *series_ = nullptr;
    size_t printed_ = 0;
    uint64_t from_ = 0;
    uint64_t to_ = UINT64_MAX;
};

// The members of the series that hold sample times in [from, to] (inclusive), each with the
// times it answers for, in series order; damaged ones are left out with a warning (an error
// with --strict). nullopt: a failure, reported; `*status` is the exit status.
std::optional<std::vector<CopySource>> series_members(const SourceOptions &opt,
                                                      uint64_t from,
                                                      uint64_t to,
                                                      int *status);

}  // namespace tesra::cli
