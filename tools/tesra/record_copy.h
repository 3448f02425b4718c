// Copying records of one or more archives of a node into a new archive through the writer
// library, for `tesra extract` and `tesra merge`: the definitions of the selected objects and
// counters are carried over (and must agree between the sources), each record is rewritten
// with its time unchanged, keeping only the selected counters and the instances whose keys
// match, and the result is renamed into place only when it is complete.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace tesra::cli {

// One source archive and the times it answers for, [from, to) (absolute ms): a series gives
// each member what a later file index does not cover.
struct CopySource {
    std::string base;
    uint32_t file_index = 0;
    uint64_t from = 0;
    uint64_t to = std::numeric_limits<uint64_t>::max();
};

// What to copy. Empty lists select everything. A record is selected by its sample time (its
// time aligned to its period's grid), from..to inclusive. Key filters NAME=VALUE keep the
// instances whose key counter NAME holds VALUE; several values for one name keep any of them.
// Objects without every named key counter, and with --counter objects without any named
// counter, are left out.
struct CopySelection {
    std::optional<uint64_t> from, to;
    std::vector<std::string> objects;
    std::vector<std::string> counters;
    std::vector<std::string> keys;
};

struct CopyOptions {
    std::string command;  // "extract" or "merge", for messages
    std::string out;      // an archive name, or a directory that gets one by the convention
    bool force = false;
    bool strict = false;  // damaged data in a source fails the copy, not only ends its part
    int level = -1;       // kLibraryLevel
};

// Runs the copy and reports on stdout (what was written) and stderr (what went wrong).
// Returns the exit status: kExitOk; kExitProblem when a source cannot be read, definitions
// conflict, the sources are of different nodes or nothing is selected (nothing is written);
// kExitUsage for a selection or output name that does not make sense.
int copy_records(const std::vector<CopySource> &sources,
                 const CopySelection &selection,
                 const CopyOptions &options);

}  // namespace tesra::cli
