// tesra recover: a closed, indexed archive from a damaged or never-closed one. The preset comes
// from the XML part of the metadata file alone; the records come from a walk of the data stream
// from its first byte, never from the old index. Every record up to the first one that cannot
// be what the writer wrote is written again, unchanged, through the writer library; the place
// where the data stops is named.
#include <cstdio>
#include <filesystem>
#include <fmt/core.h>
#include <memory>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_preset.h"

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

// The output is written under a scratch name beside its final one and renamed when it is
// complete, so that a failed recovery leaves no half-written archive behind, nor destroys an
// archive that --force would have replaced.
class Output {
public:
    explicit Output(std::string base) : base_(std::move(base)), scratch_(base_ + ".recovering") {}
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    ~Output() {
        if (file_ != nullptr) tesra_close_data_file(file_);
        if (!done_) {
            std::remove((scratch_ + ".meta").c_str());
            std::remove((scratch_ + ".gz").c_str());
        }
    }

    tesra_error_t create(uint32_t major, uint32_t minor, int level, std::string *step) {
        const char *meta = nullptr;
        const char *data = nullptr;
        // The creation duration only sizes the first tables, which grow as records arrive.
        *step = create_step();
        if (auto rc = tesra_create_data_file(scratch_.c_str(), major, minor,
                                             format::kDefaultPartialDuration, &file_, &meta, &data);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        *step = "set level";
        return apply_level(file_, level);
    }
    tesra_file_handle_t *file() const { return file_; }

    // Whether the records written so far lie at two different sample times or more, as an
    // archive needs to be closed with an index.
    bool spans_two_times() const {
        uint64_t oldest = 0, newest = 0;
        return tesra_get_oldest_record_time(file_, &oldest) == TESRA_SUCCESS &&
               tesra_get_newest_record_time(file_, &newest) == TESRA_SUCCESS && newest > oldest;
    }

    tesra_error_t close() {
        tesra_file_handle_t *file = file_;
        file_ = nullptr;
        return tesra_close_data_file(file);
    }

    // The data file first: a metadata file is what makes the pair an archive.
    bool commit(std::string *error) {
        for (const char *suffix : {".gz", ".meta"}) {
            std::error_code ec;
            std::filesystem::rename(scratch_ + suffix, base_ + suffix, ec);
            if (ec) {
                *error = fmt::format("cannot rename {}{} to {}{}: {}", scratch_, suffix, base_,
                                     suffix, ec.message());
                return false;
            }
        }
        done_ = true;
        return true;
    }

private:
    std::string base_;
    std::string scratch_;
    tesra_file_handle_t *file_ = nullptr;
    bool done_ = false;
};

bool exists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

bool same_file(const std::string &a, const std::string &b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

// The output's name must be one the reader accepts; its span should cover the records.
std::optional<std::string> check_output_name(const std::string &out) {
    std::vector<char> path(out.begin(), out.end());
    path.push_back('\0');
    uint32_t index = 0;
    uint64_t longest = 0, start = 0, end = 0;
    if (tesra_parse_filename(path.data(), &index, &longest, &start, &end) != TESRA_SUCCESS) {
        return fmt::format(
            "OUT_BASE '{}' is not an archive name: the reader opens only "
            "<index>_<longest period in s>_<start ms>_<duration ms>",
            out);
    }
    return std::nullopt;
}

void note_name_span(const std::string &out, uint64_t first, uint64_t last) {
    std::vector<char> path(out.begin(), out.end());
    path.push_back('\0');
    uint32_t index = 0;
    uint64_t longest = 0, start = 0, end = 0;
    if (tesra_parse_filename(path.data(), &index, &longest, &start, &end) != TESRA_SUCCESS) return;
    // Also a name that ends where the template's dot would follow.
    std::string_view being_written = format::kPartialArchiveTemplate;
    being_written.remove_suffix(1);
    if (out.find(being_written) != std::string::npos) return;
    if (first < start || last > end) {
        fmt::print(stderr,
                   "tesra: {}: note: the records span {} .. {} ms, outside the name's {} .. {} "
                   "ms; tesra check will report it\n",
                   out, first, last, start, end);
    }
}

int run_recover(const RecoverOptions &opt) {
    const std::string base = archive_base(opt.base);
    const std::string out_base = archive_base(opt.out);
    if (auto bad = check_output_name(out_base)) return report_usage(*bad);
    if (out_base == base || same_file(base + ".meta", out_base + ".meta") ||
        same_file(base + ".gz", out_base + ".gz")) {
        return report_usage("OUT_BASE must not be the archive being recovered");
    }
    if (!opt.force && (exists(out_base + ".meta") || exists(out_base + ".gz"))) {
        return report_usage(fmt::format("{} exists; give --force to replace it", out_base));
    }

    Preset preset;
    std::string error;
    if (!preset.read(base, &error)) return report_problem(base, error);
    auto rules = preset.rules(base);
    if (!rules) return report_problem(base, "reading the preset from the metadata failed");

    Output output(out_base);
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
    if (!output.commit(&error)) return report_problem(out_base, error);

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
