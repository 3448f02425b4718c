// tesra records: the record walk, one line per record: in time order (partial records of one
// slot joined), or with --raw in the order of the data stream (each stored record on its own).
#include <fmt/core.h>
#include <map>

#include "cli_common.h"
#include "commands.h"

namespace tesra::cli {
namespace {

struct RecordsOptions {
    std::string base;
    bool raw = false;
};

struct ObjectLayout {
    std::string name;
    std::vector<CounterInfo> counters;
};

int run_records(const RecordsOptions &opt) {
    Archive archive;
    if (!archive.open(archive_base(opt.base))) return kExitProblem;

    std::map<uint32_t, ObjectLayout> objects;
    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_first_object(archive.header(), &object);
    while (rc == TESRA_SUCCESS && object != nullptr) {
        tesra_object_def_t def{};
        if (rc = tesra_get_object_info(object, &def); rc != TESRA_SUCCESS) break;
        auto counters = object_counters(archive.base(), object);
        if (!counters) return kExitProblem;
        objects[def.obj_id] = {def.name != nullptr ? def.name : "", std::move(*counters)};
        rc = tesra_next_object(archive.header(), &object);
    }
    if (rc != TESRA_SUCCESS) return report_failure(archive.base(), "walk objects", rc);

    if (opt.raw) {
        fmt::print("{:>12}  {:>15}  {:<24}  {:<20}  {:>6}  {:>9}  {:>9}\n", "OFFSET", "TIME_MS",
                   "TIME", "OBJECT", "PERIOD", "BYTES", "INSTANCES");
    } else {
        fmt::print("{:>15}  {:<24}  {:<20}  {:>6}  {:>9}  {:>9}\n", "TIME_MS", "TIME", "OBJECT",
                   "PERIOD", "BYTES", "INSTANCES");
    }

    uint64_t offset = 0;
    uint64_t count = 0;
    tesra_record_handle_t *record = nullptr;
    rc = tesra_first_record(archive.handle(), opt.raw ? TESRA_RAW_ORDER : TESRA_LINEAR_ORDER,
                            opt.raw ? 0 : archive.start_time(), &record);
    while (rc == TESRA_SUCCESS && record != nullptr) {
        tesra_record_header_data_t_v6_0 info{};
        if (rc = tesra_get_record_info(record, &info); rc != TESRA_SUCCESS) break;
        uint64_t time = archive.base_time() + info.msecs_since_base;
        std::string name = fmt::format("#{}", info.obj_id);
        std::string instances = "?";
        if (auto it = objects.find(info.obj_id); it != objects.end()) {
            name = it->second.name;
            uint64_t size = instance_size(it->second.counters, info.period);
            if (size > 0) instances = std::to_string(info.size / size);
        }
        if (opt.raw) {
            fmt::print("{:>12}  {:>15}  {:<24}  {:<20}  {:>6}  {:>9}  {:>9}\n", offset, time,
                       iso_time(time), name, period_name(info.period), info.size, instances);
            offset += 24 + uint64_t{info.size};
        } else {
            fmt::print("{:>15}  {:<24}  {:<20}  {:>6}  {:>9}  {:>9}\n", time, iso_time(time), name,
                       period_name(info.period), info.size, instances);
        }
        ++count;
        rc = tesra_next_record(archive.handle(), &record);
    }
    if (rc != TESRA_SUCCESS) {
        return report_failure(archive.base(), fmt::format("read record {}", count + 1), rc);
    }
    return archive.close() ? kExitOk : kExitProblem;
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
    cmd->callback([opt, &status] { status = run_records(*opt); });
}

}  // namespace tesra::cli
