// Following an archive that its writer is still writing: the poll loop shared by the commands
// that take --follow. It prints what is there, then sleeps, refreshes and prints what is new,
// until the writer closes the archive (and usually renames it to its final name) or Ctrl-C.
#pragma once

#include <cstdint>
#include <string>

#include "cli_common.h"

namespace CLI {
class App;
}

namespace tesra::cli {

// What a following command shows of its archive.
class FollowView {
public:
    virtual ~FollowView() = default;

    virtual Archive &archive() = 0;
    // Prints what is new since the last call. While the archive is being written the newest
    // sample time is held back (its instances may still be on their way in several records);
    // `complete` (the writer has closed the archive) prints it too. False: a failure, reported.
    virtual bool show(bool complete) = 0;
    // The writer closed the archive and renamed it: go on with it under `base`. False: a
    // failure, reported.
    virtual bool reopen(const std::string &base) = 0;
    // True once nothing more can come that the command would print (past --to).
    virtual bool done() const { return false; }
};

// --follow and --interval of a command.
struct FollowOptions {
    bool follow = false;
    std::string interval = "1s";
};
void add_follow_options(CLI::App &cmd, FollowOptions &opt);
// The interval in milliseconds; nullopt (reported as a usage error) when it makes no sense.
std::optional<uint64_t> follow_interval(const FollowOptions &opt);

// Runs the loop on `view`, whose archive is open and whose first show has not happened yet.
// kExitOk when the writer closed the archive or the user interrupted (output flushed either
// way), kExitProblem on a failure (reported).
int follow(FollowView &view, uint64_t interval_ms);

// The archive a writer made of `partial_base` when it closed it: the same directory, file index
// and longest period, a name with its span, both files present. Empty when there is none.
std::string find_closed_successor(const std::string &partial_base);

}  // namespace tesra::cli
