// tesra extract: a new closed, indexed archive holding the selected records of one archive or a
// series: a time window, objects, counters and instances by key.
#include <fmt/core.h>
#include <memory>

#include "archive_writer.h"
#include "cli_common.h"
#include "commands.h"
#include "record_copy.h"
#include "series_source.h"

namespace tesra::cli {
namespace {

struct ExtractOptions {
    SourceOptions sources;
    std::string out;
    std::string from, to;
    CopySelection selection;
    CopyOptions copy;
};

int run_extract(ExtractOptions &opt) {
    for (auto [text, out, flag] : {std::tuple{&opt.from, &opt.selection.from, "--from"},
                                   std::tuple{&opt.to, &opt.selection.to, "--to"}}) {
        if (text->empty()) continue;
        *out = parse_time(*text);
        if (!*out) return report_usage(fmt::format("{}: not a time: '{}'", flag, *text));
    }
    opt.copy.out = opt.sources.sources.back();
    opt.sources.sources.pop_back();
    opt.copy.strict = opt.sources.strict;
    int status = kExitOk;
    auto members = series_members(opt.sources, opt.selection.from.value_or(0),
                                  opt.selection.to.value_or(UINT64_MAX), &status);
    if (!members) return status;
    opt.copy.command = "extract";
    return copy_records(*members, opt.selection, opt.copy);
}

}  // namespace

void add_extract_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<ExtractOptions>();
    CLI::App *cmd = app.add_subcommand(
        "extract",
        "Write a new closed, indexed archive holding the selected records of SOURCES: one "
        "archive, or a series (a directory, a glob or several bases of one node). Records are "
        "selected by sample time (--from/--to, inclusive), object, counter and key value; they "
        "keep their times, and the definitions of the selected objects and counters are carried "
        "over. Once-per-archive records come from the first archive that has them, whatever the "
        "window. OUT_BASE is an archive name, or a directory where the archive is named by the "
        "convention; it is written under a scratch name and renamed when complete. Exit status "
        "0 when written; 1 when nothing is written (a source cannot be read, definitions "
        "conflict, archives of different nodes, nothing selected, fewer than two sample times); "
        "2 for a command line that does not make sense or an existing OUT_BASE without --force.");
    // The last path is the output: CLI11 cannot stop a list of positionals before a last one.
    cmd->add_option("SOURCES", opt->sources.sources,
                    "Archive bases, directories or globs of one node's archives, then OUT_BASE: "
                    "the base path of the new archive, or a directory")
        ->expected(2, -1)
        ->required();
    cmd->add_option("--from", opt->from, "First sample time (ms or ISO 8601 UTC)");
    cmd->add_option("--to", opt->to, "Last sample time (ms or ISO 8601 UTC)");
    cmd->add_option("--object", opt->selection.objects, "Object to keep (repeatable; default all)")
        ->type_name("NAME");
    cmd->add_option("--counter", opt->selection.counters,
                    "Counter to keep (repeatable; default all; key counters always stay)")
        ->type_name("NAME");
    cmd->add_option("--key", opt->selection.keys,
                    "Keep only instances whose key counter NAME holds VALUE (repeatable; several "
                    "values for one NAME keep any of them)")
        ->type_name("NAME=VALUE");
    cmd->add_flag("--force", opt->copy.force, "Replace an existing archive at OUT_BASE");
    add_level_option(*cmd, &opt->copy.level);
    add_series_options(*cmd, opt->sources);
    cmd->callback([opt, &status] { status = run_extract(*opt); });
}

}  // namespace tesra::cli
