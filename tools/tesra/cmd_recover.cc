// tesra recover: a closed, indexed archive from a damaged or never-closed one. The preset comes
// from the XML part of the metadata file alone; the records come from a walk of the data stream
// from its first byte, never from the old index. Every record up to the first one that cannot
// be what the writer wrote is written again, unchanged, through the writer library; the place
// where the data stops is named.
#include <cstdio>
#include <filesystem>
#include <fmt/core.h>
#include <memory>

#include "tesra/tesra_int_defs.h"

#include "archive_writer.h"
#include "cli_common.h"
#include "commands.h"
#include "recover_scan.h"

namespace tesra::cli {
namespace {

// The creation duration only sizes the first tables, which grow as records arrive.
constexpr uint64_t kCreationDuration = 900000;

struct RecoverOptions {
    std::string base;
    std::string out;
    bool force = false;
    int level = kLibraryLevel;
};

template <class Def>
void stamp(Def &def, uint32_t major, uint32_t minor) {
    def.major_v = major;
    def.minor_v = minor;
}

// The damaged archive's header, definition by definition, into a new archive: system and header
// definitions, attribute definitions, then each object with its aggregations and its counters
// at every period they are linked to. `*step` names the step that failed.
tesra_error_t copy_preset(const XmlPart &xml, tesra_file_handle_t *out, std::string *step) {
    tesra_header_handle_t *src = xml.header();
    const uint32_t major = xml.major();
    const uint32_t minor = xml.minor();

    tesra_header_def_t_v6_0 header_def = src->e6_0;
    tesra_system_def_t_v6_0 system_def = src->i6_0.system.e6_0;
    stamp(header_def, major, minor);
    stamp(system_def, major, minor);
    tesra_header_handle_t *header = nullptr;
    *step = "create header";
    if (auto rc = tesra_create_header(out, &header_def, &system_def, &header);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    for (uint32_t i = 0; i < src->i6_0.num_attr_defs; ++i) {
        tesra_attribute_def_t_v6_0 attr = *src->i6_0.attr_defs[i];
        stamp(attr, major, minor);
        *step = fmt::format("add attribute '{}'", attr.name != nullptr ? attr.name : "");
        if (auto rc = tesra_add_attr_def(header, &attr); rc != TESRA_SUCCESS) return rc;
    }
    for (auto *o = src->i6_0.object_list; o != nullptr; o = o->i6_0.next_object) {
        tesra_object_def_t_v6_0 object_def = o->e6_0;
        stamp(object_def, major, minor);
        const std::string name = object_def.name != nullptr ? object_def.name : "";
        tesra_object_handle_t *object = nullptr;
        *step = fmt::format("add object '{}'", name);
        if (auto rc = tesra_add_object(header, &object_def, &object); rc != TESRA_SUCCESS) {
            return rc;
        }
        for (auto *a = o->i6_0.aggregation_list; a != nullptr; a = a->i6_0.next_agg_in_list) {
            tesra_aggregation_def_t_v6_0 aggr = a->e6_0;
            stamp(aggr, major, minor);
            tesra_aggregation_handle_t *added = nullptr;
            *step = fmt::format("add aggregation of '{}'", name);
            if (auto rc = tesra_add_aggregation(object, &aggr, &added); rc != TESRA_SUCCESS) {
                return rc;
            }
        }
        // A definition names one period: a counter is added once for each period it is
        // linked to (a key counter is linked to one and lies in every period regardless).
        for (auto *c = o->i6_0.cnt_list; c != nullptr; c = c->i6_0.next_cnt_by_id) {
            tesra_counter_def_t_v6_0 counter_def = c->e6_0;
            stamp(counter_def, major, minor);
            for (uint32_t k = 0; k < TESRA_NUM_PERIODS; ++k) {
                if (c->i6_0.periods[k] == nullptr) continue;
                counter_def.periods[0] = _tesra_period_map[k];
                counter_def.num_periods = 1;
                tesra_counter_handle_t *added = nullptr;
                *step = fmt::format("add counter '{}' of '{}'",
                                    counter_def.name != nullptr ? counter_def.name : "", name);
                if (auto rc = tesra_add_counter(object, &counter_def, &added);
                    rc != TESRA_SUCCESS) {
                    return rc;
                }
            }
        }
    }
    *step = "write header";
    return tesra_finalize_header(out);
}

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
        *step = create_step();
        if (auto rc = tesra_create_data_file(scratch_.c_str(), major, minor, kCreationDuration,
                                             &file_, &meta, &data);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        *step = "set level";
        return apply_level(file_, level);
    }
    tesra_file_handle_t *file() const { return file_; }

    // Relative start and end of the records written so far.
    uint64_t start() const { return file_->i6_0.start_time; }
    uint64_t end() const { return file_->i6_0.end_time; }

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
    if (out.find("_0000000000000_0000000") != std::string::npos) return;
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

    XmlPart xml;
    std::string error;
    if (!xml.open(base, &error)) return report_problem(base, error);
    auto rules = xml.rules();
    if (!rules) return report_problem(base, "reading the preset from the metadata failed");

    Output output(out_base);
    std::string step;
    if (auto rc = output.create(xml.major(), xml.minor(), opt.level, &step); rc != TESRA_SUCCESS) {
        return report_failure(out_base, step, rc);
    }
    if (auto rc = copy_preset(xml, output.file(), &step); rc != TESRA_SUCCESS) {
        return report_failure(out_base, step, rc);
    }

    std::optional<uint64_t> first_time;
    uint64_t last_time = 0;
    auto write = [&](const ScannedRecord &r, std::span<const uint8_t> body, bool) -> std::string {
        tesra_record_header_data_t_v6_0 info{};
        stamp(info, xml.major(), xml.minor());
        info.msecs_since_base = r.time;
        info.size = r.size;
        info.obj_id = r.obj_id;
        info.period = r.period;
        static const uint8_t kEmpty = 0;
        const void *data = body.empty() ? &kEmpty : static_cast<const void *>(body.data());
        if (auto rc = tesra_write_record(output.file(), &info, data); rc != TESRA_SUCCESS) {
            return fmt::format("the writer refuses the record: {}", error_label(rc));
        }
        if (!first_time) first_time = r.time;
        first_time = std::min(*first_time, r.time);
        last_time = std::max(last_time, r.time);
        return "";
    };
    ScanOptions options;
    options.want_bodies = true;
    StreamScan scan = scan_data_stream(base + ".gz", *rules, options, write);
    if (!scan.opened) return report_problem(base, fmt::format("cannot open {}.gz", base));

    const uint64_t base_time = rules->base_time;
    auto say_stop = [&] {
        if (!scan.stop) return;
        fmt::print("{}: {}\n", base, stop_line(*scan.stop));
        fmt::print("{}: {}\n", base, stop_remainder(*scan.stop));
    };
    if (scan.good_records == 0 || output.start() == TESRA_UNSET_START_TIME ||
        output.end() <= output.start()) {
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
