// The record copier of extract and merge. Definitions come from each source opened with the
// reader; record bodies come from a front-to-back walk of each data stream with the format's
// scanner, so every byte of a copied counter is kept as stored, whatever its width.
#include "record_copy.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fmt/core.h>
#include <map>
#include <set>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_preset.h"

#include "archive_output.h"
#include "archive_writer.h"
#include "cli_common.h"
#include "common/archive_format.h"
#include "recover_scan.h"

namespace tesra::cli {
namespace {

// A counter definition copied out of a header, everything the writer is given.
struct CounterDef {
    uint32_t id = 0;
    std::string name, priv, desc;
    uint32_t ctype = 0, size = 0, base_id = 0;
    bool is_key = false;
    std::vector<uint64_t> periods;
    std::vector<std::string> x_names, y_names;

    bool operator==(const CounterDef &) const = default;
    bool sampled_at(uint64_t p) const {
        return std::find(periods.begin(), periods.end(), p) != periods.end();
    }
    std::string summary() const {
        std::string periods_text;
        for (uint64_t p : periods)
            periods_text += (periods_text.empty() ? "" : ",") + period_name(p);
        return fmt::format("'{}' {}size {} type 0x{:X} periods {} labels {}x{}", name,
                           is_key ? "key " : "", size, ctype, is_key ? "(all)" : periods_text,
                           x_names.size(), y_names.size());
    }
};

struct ObjectDef {
    uint32_t id = 0;
    std::string name, priv;
    std::vector<CounterDef> counters;  // ascending id

    const CounterDef *counter(uint32_t cid) const {
        for (const auto &c : counters) {
            if (c.id == cid) return &c;
        }
        return nullptr;
    }
    std::vector<uint64_t> periods() const {
        std::set<uint64_t> out;
        for (const auto &c : counters) {
            if (!c.is_key) out.insert(c.periods.begin(), c.periods.end());
        }
        return {out.begin(), out.end()};
    }
};

// What one source contributes: its identity and definitions.
struct SourceDefs {
    CopySource source;
    uint32_t major = 6, minor = 1;
    uint64_t base_time = 0;
    std::vector<std::string> system;  // the ten strings of the system section
    uint32_t generation = 0;
    std::string preset_version;
    std::vector<ObjectDef> objects;

    const ObjectDef *object(uint32_t id) const {
        for (const auto &o : objects) {
            if (o.id == id) return &o;
        }
        return nullptr;
    }
    // Host, cluster, process and store: what tells a node's archives from another's.
    std::string store_identity() const {
        return fmt::format("{} {} {} {} {}", system[2], system[7], system[6], system[8], system[9]);
    }
};

std::string text(const char *s) {
    return s != nullptr ? s : "";
}

std::optional<SourceDefs> read_defs(const CopySource &source) {
    Archive archive;
    if (!archive.open(source.base)) return std::nullopt;
    SourceDefs out;
    out.source = source;
    out.major = archive.major();
    out.minor = archive.minor();
    out.base_time = archive.base_time();
    const auto &s = archive.system();
    out.system = {text(s.nelvo_version), text(s.node_uuid),     text(s.hostname),
                  text(s.model),         text(s.serial_number), text(s.system_id),
                  text(s.cluster_name),  text(s.cluster_id),    text(s.process_name),
                  text(s.store_name)};
    out.generation = archive.header_def().generation_id;
    out.preset_version = text(archive.header_def().preset_version);

    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_first_object(archive.header(), &object);
    while (rc == TESRA_SUCCESS && object != nullptr) {
        tesra_object_def_t def{};
        if (rc = tesra_get_object_info(object, &def); rc != TESRA_SUCCESS) break;
        ObjectDef o{def.obj_id, text(def.name), text(def.priv), {}};
        tesra_counter_handle_t *counter = nullptr;
        rc = tesra_first_counter(object, &counter);
        while (rc == TESRA_SUCCESS && counter != nullptr) {
            tesra_counter_def_t c{};
            if (rc = tesra_get_counter_info(counter, &c); rc != TESRA_SUCCESS) break;
            CounterDef d;
            d.id = c.cnt_id;
            d.name = text(c.name);
            d.priv = text(c.priv);
            d.desc = text(c.desc);
            d.ctype = c.ctype;
            d.size = c.size;
            d.base_id = c.base_id;
            d.is_key = c.is_key;
            for (uint32_t i = 0; i < c.num_periods && i < TESRA_NUM_PERIODS; ++i) {
                d.periods.push_back(c.periods[i]);
            }
            for (uint32_t i = 0; c.x_names != nullptr && i < c.num_x_items; ++i) {
                d.x_names.push_back(text(c.x_names[i]));
            }
            for (uint32_t i = 0; c.y_names != nullptr && i < c.num_y_items; ++i) {
                d.y_names.push_back(text(c.y_names[i]));
            }
            o.counters.push_back(std::move(d));
            rc = tesra_next_counter(object, &counter);
        }
        if (rc != TESRA_SUCCESS) break;
        std::sort(o.counters.begin(), o.counters.end(),
                  [](const CounterDef &a, const CounterDef &b) { return a.id < b.id; });
        out.objects.push_back(std::move(o));
        rc = tesra_next_object(archive.header(), &object);
    }
    if (rc != TESRA_SUCCESS) {
        report_failure(source.base, "read definitions", rc);
        return std::nullopt;
    }
    if (!archive.close()) return std::nullopt;
    return out;
}

// One counter's place in an instance: where it is in the source and in the output.
struct Slice {
    uint32_t from = 0, to = 0, size = 0;
};

// A key filter on one key counter: the values any of which an instance must hold.
struct KeyFilter {
    uint32_t offset = 0, size = 0;  // in the source instance
    bool is_string = false;
    uint32_t width = 0;
    std::vector<std::string> strings;
    std::vector<uint64_t> numbers;

    bool matches(const std::byte *instance) const {
        const char *p = reinterpret_cast<const char *>(instance) + offset;
        if (is_string) {
            std::string_view held(p, strnlen(p, width));
            return std::find(strings.begin(), strings.end(), held) != strings.end();
        }
        uint64_t v = 0;
        for (uint32_t i = 0; i < std::min<uint32_t>(width, 8); ++i) {
            v |= uint64_t{static_cast<uint8_t>(p[i])} << (8 * i);
        }
        return std::find(numbers.begin(), numbers.end(), v) != numbers.end();
    }
};

// How records of one object at one period of one source become output records.
struct RecordPlan {
    uint32_t source_instance = 0;
    uint32_t out_instance = 0;
    std::vector<Slice> slices;
    std::vector<KeyFilter> keys;
};

// The output object: the reference definitions of the selected counters.
struct OutObject {
    ObjectDef def;  // selected counters only
    std::vector<uint64_t> periods;
    std::vector<std::pair<std::string, std::string>> keys;  // NAME=VALUE filters
    size_t source = 0;                                      // the source `def` was taken from
};

uint32_t instance_bytes(const ObjectDef &o, uint64_t period) {
    uint32_t n = 0;
    for (const auto &c : o.counters) {
        if (c.is_key || c.sampled_at(period)) n += c.size;
    }
    return n;
}

// Offset of counter `cid` in an instance of `o` at `period`.
std::optional<uint32_t> offset_of(const ObjectDef &o, uint64_t period, uint32_t cid) {
    uint32_t at = 0;
    for (const auto &c : o.counters) {
        if (!c.is_key && !c.sampled_at(period)) continue;
        if (c.id == cid) return at;
        at += c.size;
    }
    return std::nullopt;
}

std::optional<RecordPlan> make_plan(const ObjectDef &src, const OutObject &out, uint64_t period) {
    RecordPlan plan;
    plan.source_instance = instance_bytes(src, period);
    plan.out_instance = instance_bytes(out.def, period);
    uint32_t at = 0;
    for (const auto &c : out.def.counters) {
        if (!c.is_key && !c.sampled_at(period)) continue;
        auto from = offset_of(src, period, c.id);
        if (!from) return std::nullopt;
        plan.slices.push_back({*from, at, c.size});
        at += c.size;
    }
    for (const auto &[name, value] : out.keys) {
        const CounterDef *key = nullptr;
        for (const auto &c : src.counters) {
            if (c.is_key && c.name == name) key = &c;
        }
        if (key == nullptr) return std::nullopt;
        auto offset = offset_of(src, period, key->id);
        if (!offset) return std::nullopt;
        auto it = std::find_if(plan.keys.begin(), plan.keys.end(),
                               [&](const KeyFilter &k) { return k.offset == *offset; });
        if (it == plan.keys.end()) {
            KeyFilter k;
            k.offset = *offset;
            k.size = key->size;
            k.is_string = format::is_string_ctype(key->ctype);
            uint32_t n = std::max<uint32_t>(1, static_cast<uint32_t>(key->x_names.size()) *
                                                   std::max<uint32_t>(1, key->y_names.size()));
            k.width = key->size / n;
            plan.keys.push_back(std::move(k));
            it = plan.keys.end() - 1;
        }
        if (it->is_string) {
            it->strings.push_back(value);
        } else {
            uint64_t number = 0;
            std::from_chars(value.data(), value.data() + value.size(), number);
            it->numbers.push_back(number);
        }
    }
    return plan;
}

class Copier {
public:
    Copier(const CopySelection &sel, const CopyOptions &opt) : sel_(sel), opt_(opt) {}
    int run(const std::vector<CopySource> &sources);

private:
    int check_selection();
    int check_sources();
    int select();
    tesra_error_t build_header(tesra_file_handle_t *file, std::string *step);
    int copy_source(size_t index, ScratchArchive &out);

    const CopySelection &sel_;
    const CopyOptions &opt_;
    std::vector<SourceDefs> defs_;
    std::map<uint32_t, OutObject> out_;
    uint64_t out_base_ = 0;
    std::map<uint32_t, size_t> once_source_;  // object id: the source its once records come from
    uint64_t records_ = 0, instances_ = 0;
    std::vector<std::pair<std::string, std::string>> keys_;
};

int Copier::check_selection() {
    for (const auto &k : sel_.keys) {
        auto eq = k.find('=');
        if (eq == std::string::npos || eq == 0) {
            return report_usage(fmt::format("--key wants NAME=VALUE, not '{}'", k));
        }
        keys_.emplace_back(k.substr(0, eq), k.substr(eq + 1));
    }
    if (sel_.from && sel_.to && *sel_.from > *sel_.to) return report_usage("--from is after --to");
    return kExitOk;
}

// The sources must be one node's, and their sample grids must line up once rebased.
int Copier::check_sources() {
    const SourceDefs &first = defs_.front();
    for (const auto &d : defs_) {
        if (d.store_identity() != first.store_identity()) {
            fmt::print(stderr,
                       "tesra: {}: archives of different nodes: {} is '{}', {} is '{}'; nothing "
                       "written\n",
                       opt_.command, first.source.base, first.store_identity(), d.source.base,
                       d.store_identity());
            return kExitProblem;
        }
    }
    out_base_ = first.base_time;
    for (const auto &d : defs_) out_base_ = std::min(out_base_, d.base_time);
    return kExitOk;
}

// Resolves the selection against the sources' definitions and checks that every source that
// has a selected object defines its selected counters as the others do.
int Copier::select() {
    std::set<std::string> objects_found, counters_found;
    for (size_t i = 0; i < defs_.size(); ++i) {
        for (const auto &o : defs_[i].objects) {
            if (!sel_.objects.empty() &&
                std::find(sel_.objects.begin(), sel_.objects.end(), o.name) == sel_.objects.end()) {
                continue;
            }
            objects_found.insert(o.name);
            bool has_keys = std::all_of(keys_.begin(), keys_.end(), [&](const auto &k) {
                return std::any_of(o.counters.begin(), o.counters.end(),
                                   [&](const auto &c) { return c.is_key && c.name == k.first; });
            });
            if (!has_keys) continue;
            for (const auto &[name, value] : keys_) {
                for (const auto &c : o.counters) {
                    uint64_t number = 0;
                    auto [end, ec] =
                        std::from_chars(value.data(), value.data() + value.size(), number);
                    if (c.is_key && c.name == name && !format::is_string_ctype(c.ctype) &&
                        (ec != std::errc() || end != value.data() + value.size() ||
                         value.empty())) {
                        return report_usage(
                            fmt::format("key counter '{}' holds numbers, not '{}'", name, value));
                    }
                }
            }
            ObjectDef picked{o.id, o.name, o.priv, {}};
            for (const auto &c : o.counters) {
                bool named = std::find(sel_.counters.begin(), sel_.counters.end(), c.name) !=
                             sel_.counters.end();
                if (named) counters_found.insert(c.name);
                if (c.is_key || sel_.counters.empty() || named) picked.counters.push_back(c);
            }
            if (picked.periods().empty()) continue;

            auto [it, added] = out_.try_emplace(o.id);
            OutObject &out = it->second;
            if (added) {
                out.def = picked;
                out.keys = keys_;
                out.source = i;
                continue;
            }
            // The same object again: it must be the same object with the same counters.
            const SourceDefs *ref = &defs_[out.source];
            auto conflict = [&](const std::string &what, const std::string &a,
                                const std::string &b) {
                fmt::print(stderr,
                           "tesra: {}: conflicting definitions of {}:\n  {}: {}\n  {}: {}\n"
                           "nothing written\n",
                           opt_.command, what, ref->source.base, a, defs_[i].source.base, b);
                return kExitProblem;
            };
            if (out.def.name != picked.name || out.def.priv != picked.priv) {
                return conflict(fmt::format("object id {}", o.id),
                                fmt::format("object '{}'", out.def.name),
                                fmt::format("object '{}'", picked.name));
            }
            std::set<uint32_t> ids;
            for (const auto &c : out.def.counters) ids.insert(c.id);
            for (const auto &c : picked.counters) ids.insert(c.id);
            for (uint32_t cid : ids) {
                const CounterDef *a = out.def.counter(cid);
                const CounterDef *b = picked.counter(cid);
                if (a != nullptr && b != nullptr && *a == *b) continue;
                return conflict(fmt::format("counter id {} of object '{}'", cid, o.name),
                                a != nullptr ? a->summary() : std::string("no such counter"),
                                b != nullptr ? b->summary() : std::string("no such counter"));
            }
        }
    }
    for (const auto &name : sel_.objects) {
        if (!objects_found.count(name)) {
            return report_problem(opt_.command, fmt::format("no source has an object '{}'", name));
        }
    }
    for (const auto &name : sel_.counters) {
        if (!counters_found.count(name)) {
            return report_problem(opt_.command,
                                  fmt::format("no selected object has a counter '{}'", name));
        }
    }
    if (out_.empty()) {
        return report_problem(opt_.command,
                              "nothing selected: no object has the named key and counters");
    }
    for (auto &[id, o] : out_) o.periods = o.def.periods();
    // Rebased times keep their sample times only when every source's grid is the output's.
    for (const auto &d : defs_) {
        for (const auto &[id, o] : out_) {
            for (uint64_t p : o.periods) {
                if (p == TESRA_ONCE_PER_ARCHIVE_PERIOD || (d.base_time - out_base_) % p == 0) {
                    continue;
                }
                return report_problem(
                    d.source.base,
                    fmt::format("base time {} is off the {} grid of base time {}: its sample "
                                "times would move; nothing written",
                                d.base_time, period_name(p), out_base_));
            }
        }
    }
    return kExitOk;
}

// The first source's preset whole (attribute definitions and aggregations too) when the output
// keeps every definition of every source; else the selected definitions one by one.
tesra_error_t Copier::build_header(tesra_file_handle_t *file, std::string *step) {
    const SourceDefs &first = defs_.front();
    bool whole = first.base_time == out_base_;
    for (const auto &d : defs_) {
        for (const auto &o : d.objects) {
            auto it = out_.find(o.id);
            whole = whole && it != out_.end() && it->second.def.counters == o.counters;
        }
        whole = whole && d.objects.size() == out_.size();
    }
    tesra_header_handle_t *header = nullptr;
    if (whole) {
        Preset preset;
        std::string error;
        *step = "read the preset of " + first.source.base;
        if (!preset.read(first.source.base, &error)) return preset.code();
        *step = "copy the preset";
        return tesra_copy_meta_preset(preset.header(), file, &header);
    }

    tesra_header_def_t_v6_0 header_def{};
    tesra_set_latest_version(&header_def);
    header_def.generation_id = first.generation;
    header_def.preset_version = first.preset_version.c_str();
    tesra_system_def_t_v6_0 system{};
    tesra_set_latest_version(&system);
    system.base_time = out_base_;
    const auto &s = first.system;
    system.nelvo_version = s[0].c_str();
    system.node_uuid = s[1].c_str();
    system.hostname = s[2].c_str();
    system.model = s[3].c_str();
    system.serial_number = s[4].c_str();
    system.system_id = s[5].c_str();
    system.cluster_name = s[6].c_str();
    system.cluster_id = s[7].c_str();
    system.process_name = s[8].c_str();
    system.store_name = s[9].c_str();
    uint32_t major = 0, minor = 0;
    tesra_get_version(file, &major, &minor);
    header_def.minor_v = system.minor_v = minor;
    *step = "create header";
    if (auto rc = tesra_create_header(file, &header_def, &system, &header); rc != TESRA_SUCCESS) {
        return rc;
    }
    for (const auto &[id, o] : out_) {
        tesra_object_def_t_v6_0 od{};
        od.major_v = major;
        od.minor_v = minor;
        od.name = o.def.name.c_str();
        od.obj_id = o.def.id;
        od.priv = o.def.priv.c_str();
        tesra_object_handle_t *object = nullptr;
        *step = fmt::format("add object '{}'", o.def.name);
        if (auto rc = tesra_add_object(header, &od, &object); rc != TESRA_SUCCESS) return rc;
        for (const auto &c : o.def.counters) {
            std::vector<const char *> xs, ys;
            for (const auto &x : c.x_names) xs.push_back(x.c_str());
            for (const auto &y : c.y_names) ys.push_back(y.c_str());
            tesra_counter_def_t_v6_0 cd{};
            cd.major_v = major;
            cd.minor_v = minor;
            cd.name = c.name.c_str();
            cd.priv = c.priv.c_str();
            cd.ctype = c.ctype;
            cd.size = c.size;
            cd.is_key = c.is_key;
            cd.num_periods = 1;
            cd.cnt_id = c.id;
            cd.desc = c.desc.c_str();
            cd.base_id = c.base_id;
            cd.x_names = xs.empty() ? nullptr : xs.data();
            cd.num_x_items = static_cast<uint32_t>(xs.size());
            cd.y_names = ys.empty() ? nullptr : ys.data();
            cd.num_y_items = static_cast<uint32_t>(ys.size());
            // A key counter lies in every period; it is linked to the first one the output keeps,
            // so that it brings no period of its own.
            std::vector<uint64_t> at =
                c.is_key ? std::vector<uint64_t>{o.periods.front()} : c.periods;
            for (uint64_t p : at) {
                cd.periods[0] = p;
                tesra_counter_handle_t *added = nullptr;
                *step = fmt::format("add counter '{}' of '{}'", c.name, o.def.name);
                if (auto rc = tesra_add_counter(object, &cd, &added); rc != TESRA_SUCCESS) {
                    return rc;
                }
            }
        }
    }
    return TESRA_SUCCESS;
}

// Where the records of a source stop being what its writer wrote, if they do: the torn tail
// of an archive still being written is only what its writer has not finished.
bool is_damaged(const StreamScan &scan, const std::string &base) {
    if (!scan.stop) return false;
    std::string_view being_written = format::kPartialArchiveTemplate;
    being_written.remove_suffix(1);
    const bool torn = scan.stop->reason == format::StopReason::kHeaderCut ||
                      scan.stop->reason == format::StopReason::kBodyCut;
    return !(torn && base.find(being_written) != std::string::npos);
}

int Copier::copy_source(size_t index, ScratchArchive &out) {
    const SourceDefs &src = defs_[index];
    const std::string &base = src.source.base;
    Preset preset;
    std::string error;
    if (!preset.read(base, &error)) return report_problem(base, error);
    auto rules = preset.rules(base);
    if (!rules) return report_problem(base, "reading the preset from the metadata failed");
    std::map<std::pair<uint32_t, uint64_t>, std::optional<RecordPlan>> plans;
    const uint64_t from = sel_.from.value_or(0);
    const uint64_t to = sel_.to.value_or(UINT64_MAX);
    std::vector<std::byte> body;
    std::string failed;
    // The records of the newest sample time are held back until a later time comes: where the
    // data breaks off inside a sample, a query cannot read that sample, and neither is it copied.
    struct Pending {
        format::RecordHeader header;
        uint64_t sample;
        std::vector<std::byte> body;
        uint64_t instances;
    };
    std::vector<Pending> pending;
    auto write = [&](const Pending &p) -> tesra_error_t {
        tesra_record_header_data_t_v6_0 info{};
        tesra_get_version(out.file(), &info.major_v, &info.minor_v);
        info.msecs_since_base = src.base_time + p.header.msecs_since_base - out_base_;
        info.size = static_cast<uint32_t>(p.body.size());
        info.obj_id = p.header.obj_id;
        info.period = p.header.period;
        static const std::byte kEmpty{};
        const void *data = p.body.empty() ? &kEmpty : static_cast<const void *>(p.body.data());
        if (auto rc = tesra_write_record(out.file(), &info, data); rc != TESRA_SUCCESS) {
            failed = fmt::format("write the record of object {} at {} ms from {}", info.obj_id,
                                 src.base_time + p.header.msecs_since_base, base);
            return rc;
        }
        ++records_;
        instances_ += p.instances;
        return TESRA_SUCCESS;
    };
    auto flush = [&]() -> tesra_error_t {
        for (const auto &p : pending) {
            if (auto rc = write(p); rc != TESRA_SUCCESS) return rc;
        }
        pending.clear();
        return TESRA_SUCCESS;
    };
    auto visit = [&](const format::ScannedRecord &r, bool) -> tesra_error_t {
        const auto &h = r.header;
        auto object = out_.find(h.obj_id);
        if (object == out_.end()) return TESRA_SUCCESS;
        const bool once = h.period == TESRA_ONCE_PER_ARCHIVE_PERIOD;
        if (once) {
            // Once-per-archive records describe their archive as a whole: one archive's are
            // kept, those of the first source that has any, whatever the time window.
            auto [it, added] = once_source_.try_emplace(h.obj_id, index);
            if (it->second != index) return TESRA_SUCCESS;
        } else {
            const uint64_t sample =
                src.base_time + format::aligned_time(h.msecs_since_base, h.period);
            if (sample < from || sample > to || sample < src.source.from ||
                sample >= src.source.to) {
                return TESRA_SUCCESS;
            }
        }
        auto key = std::make_pair(h.obj_id, h.period);
        auto plan_it = plans.find(key);
        if (plan_it == plans.end()) {
            // A period none of the selected counters is sampled at holds nothing to copy.
            const auto &periods = object->second.periods;
            const ObjectDef *o = src.object(h.obj_id);
            std::optional<RecordPlan> plan;
            if (o != nullptr &&
                std::find(periods.begin(), periods.end(), h.period) != periods.end()) {
                plan = make_plan(*o, object->second, h.period);
            }
            plan_it = plans.emplace(key, std::move(plan)).first;
        }
        if (!plan_it->second) return TESRA_SUCCESS;
        const RecordPlan &plan = *plan_it->second;
        if (plan.source_instance == 0) return TESRA_SUCCESS;
        body.clear();
        const size_t n = r.body.size() / plan.source_instance;
        uint64_t kept = 0;
        for (size_t i = 0; i < n; ++i) {
            const std::byte *inst = r.body.data() + i * plan.source_instance;
            if (!std::all_of(plan.keys.begin(), plan.keys.end(),
                             [&](const KeyFilter &k) { return k.matches(inst); })) {
                continue;
            }
            for (const Slice &s : plan.slices) {
                body.insert(body.end(), inst + s.from, inst + s.from + s.size);
            }
            ++kept;
        }
        if (kept == 0 && n > 0) return TESRA_SUCCESS;
        const uint64_t sample =
            once ? h.msecs_since_base : format::aligned_time(h.msecs_since_base, h.period);
        if (!pending.empty() && pending.back().sample != sample) {
            if (auto rc = flush(); rc != TESRA_SUCCESS) return rc;
        }
        pending.push_back({h, sample, body, kept});
        return TESRA_SUCCESS;
    };
    StreamScan scan = scan_data_stream(base + ".gz", *rules, ScanOptions{}, visit);
    if (!scan.opened) return report_problem(base, fmt::format("cannot open {}.gz", base));
    if (scan.stop && scan.stop->reason == format::StopReason::kRefused) {
        return report_failure(opt_.command, failed, scan.stop->error);
    }
    if (scan.stop && is_damaged(scan, base)) {
        // As a query over the series reads it: the whole samples before the damage. A record cut
        // inside its body names its sample, whose records already taken are dropped.
        if (!opt_.strict) {
            const auto &cut = scan.stop->record;
            const bool body_cut = scan.stop->reason == format::StopReason::kBodyCut;
            std::erase_if(pending, [&](const Pending &p) {
                return body_cut && p.header.obj_id == cut.obj_id && p.header.period == cut.period &&
                       p.sample == format::aligned_time(cut.msecs_since_base, cut.period);
            });
            if (auto rc = flush(); rc != TESRA_SUCCESS) {
                return report_failure(opt_.command, failed, rc);
            }
            fmt::print(stderr, "tesra: warning: {}: {}; the records after it are left out\n", base,
                       stop_line(scan, *rules));
            return kExitOk;
        }
        {
            fmt::print(stderr, "tesra: {}: {}\n", base, stop_line(scan, *rules));
            return report_problem(base, "the data is damaged (--strict); nothing written");
        }
    }
    if (auto rc = flush(); rc != TESRA_SUCCESS) return report_failure(opt_.command, failed, rc);
    return kExitOk;
}

int Copier::run(const std::vector<CopySource> &sources) {
    if (int status = check_selection(); status != kExitOk) return status;
    if (sources.empty()) return report_problem(opt_.command, "no source archive; nothing written");

    // The output's name: given, or chosen by the convention in a given directory.
    std::error_code ec;
    const bool into_directory = std::filesystem::is_directory(opt_.out, ec);
    std::string out_base = into_directory ? std::string() : archive_base(opt_.out);
    if (!into_directory) {
        if (auto bad = check_output_name(out_base)) return report_usage(*bad);
        if (!opt_.force && archive_exists(out_base)) {
            return report_usage(fmt::format("{} exists; give --force to replace it", out_base));
        }
    }
    for (const auto &s : sources) {
        if (!into_directory &&
            (s.base == out_base || same_file(s.base + ".meta", out_base + ".meta"))) {
            return report_usage("OUT_BASE must not be one of the sources");
        }
    }

    for (const auto &s : sources) {
        auto d = read_defs(s);
        if (!d) return kExitProblem;
        defs_.push_back(std::move(*d));
    }
    if (int status = check_sources(); status != kExitOk) return status;
    if (int status = select(); status != kExitOk) return status;

    uint32_t minor = 0;
    for (const auto &d : defs_) minor = std::max(minor, d.minor);
    const std::string scratch_base =
        into_directory ? fmt::format("{}/.tesra-{}-{}", opt_.out, opt_.command, getpid())
                       : fmt::format("{}.{}-{}", out_base, opt_.command, getpid());
    ScratchArchive out(scratch_base);
    std::string step;
    if (auto rc = out.create(6, minor, opt_.level, &step); rc != TESRA_SUCCESS) {
        return report_failure(scratch_base, step, rc);
    }
    if (auto rc = build_header(out.file(), &step); rc != TESRA_SUCCESS) {
        return report_failure(scratch_base, step, rc);
    }
    if (auto rc = tesra_finalize_header(out.file()); rc != TESRA_SUCCESS) {
        return report_failure(scratch_base, "write header", rc);
    }
    Progress progress(opt_.command, defs_.size());
    for (size_t i = 0; i < defs_.size(); ++i) {
        if (int status = copy_source(i, out); status != kExitOk) return status;
        progress.update(i + 1);
    }
    progress.finish();
    if (records_ == 0 || !out.spans_two_times()) {
        return report_problem(
            opt_.command,
            fmt::format("the selection holds {} record{} at one sample time at most: an archive "
                        "needs records at two different times; nothing written",
                        records_, records_ == 1 ? "" : "s"));
    }
    uint64_t first = 0, last = 0;
    tesra_get_oldest_record_time(out.file(), &first);
    tesra_get_newest_record_time(out.file(), &last);
    uint64_t longest = 0;
    for (const auto &[id, o] : out_) {
        for (uint64_t p : o.periods) {
            if (p != TESRA_ONCE_PER_ARCHIVE_PERIOD) longest = std::max(longest, p);
        }
    }
    if (auto rc = out.close(); rc != TESRA_SUCCESS) {
        return report_failure(scratch_base, "close", rc);
    }
    if (into_directory) {
        // The name's span reaches one longest period past the last sample, as a writer's does.
        out_base = fmt::format("{}/{}_{}_{}_{}", opt_.out, defs_.front().source.file_index,
                               longest / 1000, first, last - first + longest);
        if (!opt_.force && archive_exists(out_base)) {
            return report_usage(fmt::format("{} exists; give --force to replace it", out_base));
        }
    }
    std::string error;
    if (!out.commit(out_base, &error)) return report_problem(out_base, error);
    fmt::print("{}\n", out_base);
    fmt::print("{}: {} record{} ({} instances) from {} archive{}, sample times {} .. {}\n",
               out_base, records_, records_ == 1 ? "" : "s", instances_, defs_.size(),
               defs_.size() == 1 ? "" : "s", iso_time(first), iso_time(last));
    if (!into_directory) note_name_span(out_base, first, last);
    return kExitOk;
}

}  // namespace

int copy_records(const std::vector<CopySource> &sources,
                 const CopySelection &selection,
                 const CopyOptions &options) {
    Copier copier(selection, options);
    return copier.run(sources);
}

}  // namespace tesra::cli
