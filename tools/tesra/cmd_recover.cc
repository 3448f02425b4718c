// tesra recover: a closed, indexed archive from a damaged or never-closed one. The preset comes
// from the XML part of the metadata file alone; the records come from a walk of the data stream
// from its first byte, never from the old index. Every record up to the first one that cannot
// be what the writer wrote is written again, unchanged, through the writer library; the place
// where the data stops is named.
#include <cstdio>
#include <fmt/core.h>
#include <memory>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_preset.h"

#include "archive_output.h"
#include "archive_writer.h"
#include "cli_common.h"
#include "commands.h"
#include "common/archive_format.h"
#include "recover_scan.h"

namespace tesra::cli {
namespace {

struct RecoverOptions {
    std::string base;
    std::string out;
    bool force = false;
    int level = kLibraryLevel;
};

int run_recover(const RecoverOptions &opt) {
    const std::string base = archive_base(opt.base);
    const std::string out_base = archive_base(opt.out);
    if (auto bad = check_output_name(out_base)) return report_usage(*bad);
    if (out_base == base || same_file(base + ".meta", out_base + ".meta") ||
        same_file(base + ".gz", out_base + ".gz")) {
        return report_usage("OUT_BASE must not be the archive being recovered");
    }
    if (!opt.force && archive_exists(out_base)) {
        return report_usage(fmt::format("{} exists; give --force to replace it", out_base));
    }

    Preset preset;
    std::string error;
    if (!preset.read(base, &error)) return report_problem(base, error);
    auto rules = preset.rules(base);
    if (!rules) return report_problem(base, "reading the preset from the metadata failed");

    ScratchArchive output(out_base + ".recovering");
    std::string step;
    if (auto rc = output.create(preset.major(), preset.minor(), opt.level, &step);
        rc != TESRA_SUCCESS) {
        return report_failure(out_base, step, rc);
    }
    tesra_header_handle_t *header = nullptr;
    if (auto rc = tesra_copy_meta_preset(preset.header(), output.file(), &header);
        rc != TESRA_SUCCESS) {
        return report_failure(out_base, "copy the preset", rc);
    }
    if (auto rc = tesra_finalize_header(output.file()); rc != TESRA_SUCCESS) {
        return report_failure(out_base, "write header", rc);
    }

    std::optional<uint64_t> first_time;
    uint64_t last_time = 0;
    auto write = [&](const format::ScannedRecord &r, bool) {
        tesra_record_header_data_t_v6_0 info{};
        info.major_v = preset.major();
        info.minor_v = preset.minor();
        info.msecs_since_base = r.header.msecs_since_base;
        info.size = r.header.size;
        info.obj_id = r.header.obj_id;
        info.period = r.header.period;
        static const std::byte kEmpty{};
        const void *data = r.body.empty() ? &kEmpty : static_cast<const void *>(r.body.data());
        if (auto rc = tesra_write_record(output.file(), &info, data); rc != TESRA_SUCCESS) {
            return rc;
        }
        const uint64_t t = r.header.msecs_since_base;
        first_time = std::min(first_time.value_or(t), t);
        last_time = std::max(last_time, t);
        return TESRA_SUCCESS;
    };
    StreamScan scan = scan_data_stream(base + ".gz", *rules, ScanOptions{}, write);
    if (!scan.opened) return report_problem(base, fmt::format("cannot open {}.gz", base));

    const uint64_t base_time = rules->base_time;
    auto say_stop = [&] {
        if (!scan.stop) return;
        fmt::print("{}: {}\n", base, stop_line(scan, *rules));
        fmt::print("{}: {}\n", base, stop_remainder(scan));
    };
    if (scan.good_records == 0 || !output.spans_two_times()) {
        say_stop();
        return report_problem(
            base, fmt::format("{} whole record{} at one sample time at most: a closed archive "
                              "needs records at two different times; nothing written",
                              scan.good_records, scan.good_records == 1 ? "" : "s"));
    }
    if (auto rc = output.close(); rc != TESRA_SUCCESS) return report_failure(out_base, "close", rc);
    if (!output.commit(out_base, &error)) return report_problem(out_base, error);

    fmt::print("{}: {} record{} recovered, sample times {} .. {}\n", out_base, scan.good_records,
               scan.good_records == 1 ? "" : "s", base_time + *first_time, base_time + last_time);
    if (scan.stop) {
        say_stop();
    } else {
        fmt::print("{}: the data stream is whole: every record is recovered\n", base);
    }
    note_name_span(out_base, base_time + *first_time, base_time + last_time);
    return kExitOk;
}

}  // namespace

void add_recover_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<RecoverOptions>();
    CLI::App *cmd = app.add_subcommand(
        "recover",
        "Write a closed, indexed archive at OUT_BASE holding every whole record of a damaged or "
        "never-closed archive. The preset comes from the XML part of BASE.meta (the index "
        "section is not used); the records are read from the start of BASE.gz and written "
        "again unchanged, up to the first one that is cut short or cannot be what the writer "
        "wrote. That place is printed as 'data stops at offset <n> (sample time <t>): <reason>', "
        "with <n> the offset in the decompressed stream and <t> the absolute time of the last "
        "whole record before it. Exit status 1 when no archive can be written: the XML part "
        "does not read, or fewer than two sample times survive.");
    cmd->add_option("BASE", opt->base, "Archive base path of the damaged archive")->required();
    cmd->add_option("OUT_BASE", opt->out,
                    "Base path of the new archive (an archive name, e.g. 1_60_<start>_<duration>)")
        ->required();
    cmd->add_flag("--force", opt->force, "Replace an existing archive at OUT_BASE");
    add_level_option(*cmd, &opt->level);
    cmd->callback([opt, &status] { status = run_recover(*opt); });
}

}  // namespace tesra::cli
