// tesra records: the record walk, one line per record: in time order (partial records of one
// slot joined), or with --raw in the order of the data stream (each stored record on its own).
#include <fmt/core.h>
#include <map>
#include <memory>
#include <optional>

#include "cli_common.h"
#include "commands.h"
#include "follow.h"

namespace tesra::cli {
namespace {

struct RecordsOptions {
    std::string base;
    bool raw = false;
    FollowOptions follow;
};

struct ObjectLayout {
    std::string name;
    std::vector<CounterInfo> counters;
};

// The record walk of one archive, resumable: each show() prints the records after the last one
// printed, so that a follower can call it again after every refresh.
class RecordLister final : public FollowView {
public:
    explicit RecordLister(const RecordsOptions &opt) : opt_(opt) {}

    bool open(const std::string &base) {
        objects_.clear();
        archive_ = std::make_unique<Archive>();
        if (!archive_->open(base)) return false;
        tesra_object_handle_t *object = nullptr;
        tesra_error_t rc = tesra_first_object(archive_->header(), &object);
        while (rc == TESRA_SUCCESS && object != nullptr) {
            tesra_object_def_t def{};
            if (rc = tesra_get_object_info(object, &def); rc != TESRA_SUCCESS) break;
            auto counters = object_counters(archive_->base(), object);
            if (!counters) return false;
            objects_[def.obj_id] = {def.name != nullptr ? def.name : "", std::move(*counters)};
            rc = tesra_next_object(archive_->header(), &object);
        }
        if (rc != TESRA_SUCCESS) {
            report_failure(archive_->base(), "walk objects", rc);
            return false;
        }
        if (!header_printed_) {
            header_printed_ = true;
            if (opt_.raw) {
                fmt::print("{:>12}  {:>15}  {:<24}  {:<20}  {:>6}  {:>9}  {:>9}\n", "OFFSET",
                           "TIME_MS", "TIME", "OBJECT", "PERIOD", "BYTES", "INSTANCES");
            } else {
                fmt::print("{:>15}  {:<24}  {:<20}  {:>6}  {:>9}  {:>9}\n", "TIME_MS", "TIME",
                           "OBJECT", "PERIOD", "BYTES", "INSTANCES");
            }
        }
        return true;
    }

    Archive &archive() override { return *archive_; }
    bool reopen(const std::string &base) override { return open(base); }

    // In time order the records of the newest time are held back unless `complete`: more
    // partial records of its slots may follow. In stream order every record is whole; the walk
    // resumes at the time of the last record printed, past the records already printed there.
    bool show(bool complete) override {
        uint64_t from = opt_.raw ? last_time_.value_or(0)
                                 : (last_time_ ? *last_time_ + 1 : archive_->start_time());
        uint64_t skip = opt_.raw ? printed_at_last_ : 0;
        std::optional<uint64_t> held_time;
        std::vector<std::string> held;
        auto print_held = [&] {
            for (const auto &line : held) fmt::print("{}", line);
            held.clear();
            last_time_ = held_time;
        };
        tesra_record_handle_t *record = nullptr;
        tesra_error_t rc = tesra_first_record(
            archive_->handle(), opt_.raw ? TESRA_RAW_ORDER : TESRA_LINEAR_ORDER, from, &record);
        while (rc == TESRA_SUCCESS && record != nullptr) {
            tesra_record_header_data_t_v6_0 info{};
            if (rc = tesra_get_record_info(record, &info); rc != TESRA_SUCCESS) break;
            uint64_t time = archive_->base_time() + info.msecs_since_base;
            if (skip > 0) {
                --skip;
            } else if (opt_.raw) {
                fmt::print("{}", line(time, info));
                printed_at_last_ = last_time_ == time ? printed_at_last_ + 1 : 1;
                last_time_ = time;
            } else {
                if (held_time != time) print_held();
                held_time = time;
                held.push_back(line(time, info));
            }
            ++count_;
            rc = tesra_next_record(archive_->handle(), &record);
        }
        if (rc != TESRA_SUCCESS) {
            report_failure(archive_->base(), fmt::format("read record {}", count_ + 1), rc);
            return false;
        }
        if (complete) print_held();
        count_ = 0;
        return true;
    }

    int finish() { return archive_->close() ? kExitOk : kExitProblem; }

private:
    std::string line(uint64_t time, const tesra_record_header_data_t_v6_0 &info) {
        std::string name = fmt::format("#{}", info.obj_id);
        std::string instances = "?";
        if (auto it = objects_.find(info.obj_id); it != objects_.end()) {
            name = it->second.name;
            uint64_t size = instance_size(it->second.counters, info.period);
            if (size > 0) instances = std::to_string(info.size / size);
        }
        if (!opt_.raw) {
            return fmt::format("{:>15}  {:<24}  {:<20}  {:>6}  {:>9}  {:>9}\n", time,
                               iso_time(time), name, period_name(info.period), info.size,
                               instances);
        }
        std::string text =
            fmt::format("{:>12}  {:>15}  {:<24}  {:<20}  {:>6}  {:>9}  {:>9}\n", offset_, time,
                        iso_time(time), name, period_name(info.period), info.size, instances);
        offset_ += 24 + uint64_t{info.size};
        return text;
    }

    const RecordsOptions &opt_;
    std::unique_ptr<Archive> archive_;
    std::map<uint32_t, ObjectLayout> objects_;
    bool header_printed_ = false;
    std::optional<uint64_t> last_time_;  // of the last record printed
    uint64_t printed_at_last_ = 0;       // raw order: records printed at that time
    uint64_t offset_ = 0;                // raw order: stream offset of the next record
    uint64_t count_ = 0;                 // records read by this show
};

int run_records(const RecordsOptions &opt) {
    std::optional<uint64_t> interval;
    if (opt.follow.follow && !(interval = follow_interval(opt.follow))) return kExitUsage;
    RecordLister lister(opt);
    if (!lister.open(archive_base(opt.base))) return kExitProblem;
    if (opt.follow.follow) {
        if (int status = follow(lister, *interval); status != kExitOk) return status;
    } else if (!lister.show(true)) {
        return kExitProblem;
    }
    return lister.finish();
}

}  // namespace

void add_records_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<RecordsOptions>();
    CLI::App *cmd = app.add_subcommand(
        "records",
        "Walk the records of an archive, one line per record: in time order (the partial "
        "records of one sample joined), or in data-stream order with --raw.");
    cmd->add_option("BASE", opt->base, "Archive base path")->required();
    cmd->add_flag("--raw", opt->raw, "Data-stream order, with each record's offset");
    add_follow_options(*cmd, opt->follow);
    cmd->callback([opt, &status] { status = run_records(*opt); });
}

}  // namespace tesra::cli
