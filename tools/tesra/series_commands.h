// info, counters, timestamps and values over a series of archives (a directory, a glob or
// several bases): the same answers as for one archive, across archive boundaries, with the
// archive each answer came from in JSON and with --verbose.
#pragma once

#include <string>
#include <vector>

#include "series_source.h"

namespace CLI {
class App;
}

namespace tesra::cli {

// The options a command takes besides its own for reading a series: --node, --strict and
// --verbose.
struct SeriesFlags {
    SourceOptions sources;
    bool verbose = false;
};
void add_series_flags(CLI::App &cmd, SeriesFlags &flags);

// Splits the positional list of a command that takes BASE... then `trailing` more arguments.
// Returns false (reported, usage) when there are too few.
bool split_sources(std::vector<std::string> &all, size_t trailing, std::vector<std::string> &rest);

int run_series_info(const SeriesFlags &flags);
int run_series_counters(const SeriesFlags &flags, const std::string &object);
int run_series_timestamps(const SeriesFlags &flags,
                          const std::string &object,
                          const std::string &period);

struct SeriesValuesArgs {
    std::string object, period, at, from, to, format;
    std::vector<std::string> keys, counters;
};
int run_series_values(const SeriesFlags &flags, const SeriesValuesArgs &args);

}  // namespace tesra::cli
