// tesra merge: several archives of one node, with compatible definitions, as one archive.
#include <fmt/core.h>
#include <memory>

#include "archive_writer.h"
#include "cli_common.h"
#include "commands.h"
#include "record_copy.h"
#include "series_source.h"

namespace tesra::cli {
namespace {

struct MergeOptions {
    SourceOptions sources;
    CopyOptions copy;
};

int run_merge(MergeOptions &opt) {
    opt.copy.out = opt.sources.sources.back();
    opt.sources.sources.pop_back();
    opt.copy.strict = opt.sources.strict;
    int status = kExitOk;
    auto members = series_members(opt.sources, 0, UINT64_MAX, &status);
    if (!members) return status;
    opt.copy.command = "merge";
    return copy_records(*members, CopySelection{}, opt.copy);
}

}  // namespace

void add_merge_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<MergeOptions>();
    CLI::App *cmd = app.add_subcommand(
        "merge",
        "Write the records of several archives of one node into one closed, indexed archive "
        "at OUT_BASE (an archive name, or a directory where it is named by the convention). "
        "Where two archives cover the same times the later file index wins. The same object or "
        "counter id defined differently in two archives is refused, naming both archives and "
        "the definitions, and nothing is written. The output is written under a scratch name "
        "and renamed when complete. Exit status 0 when written; 1 when nothing is written; 2 "
        "for a command line that does not make sense or an existing OUT_BASE without --force.");
    // The last path is the output: CLI11 cannot stop a list of positionals before a last one.
    cmd->add_option("SOURCES", opt->sources.sources,
                    "Archive bases, directories or globs of one node's archives, then OUT_BASE: "
                    "the base path of the new archive, or a directory")
        ->expected(2, -1)
        ->required();
    cmd->add_flag("--force", opt->copy.force, "Replace an existing archive at OUT_BASE");
    add_level_option(*cmd, &opt->copy.level);
    add_series_options(*cmd, opt->sources);
    cmd->callback([opt, &status] { status = run_merge(*opt); });
}

}  // namespace tesra::cli
