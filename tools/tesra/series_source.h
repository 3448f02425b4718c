// The archives a command reads: one archive base, or a series (a directory, a glob or several
// bases) opened through the series library, whose findings are printed as warnings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// The members of the series that hold sample times in [from, to] (inclusive), each with the
// times it answers for, in series order; damaged ones are left out with a warning (an error
// with --strict). nullopt: a failure, reported; `*status` is the exit status.
std::optional<std::vector<CopySource>> series_members(const SourceOptions &opt,
                                                      uint64_t from,
                                                      uint64_t to,
                                                      int *status);

}  // namespace tesra::cli
