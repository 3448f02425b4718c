// tesra export: the numeric counters of an archive or a series as OpenMetrics text, or pushed to
// a Prometheus-compatible import endpoint. Each member is walked once in time order, over the
// times the series gives it, and every family's samples are spooled to its own temporary file;
// the families are then written one after another, so the lines of a family stand together and
// each series is in time order, across archives too, while memory stays flat in their size.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fmt/core.h>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "cli_common.h"
#include "commands.h"
#include "common/archive_format.h"
#include "openmetrics/export_model.h"
#include "openmetrics/export_text.h"
#include "openmetrics/metric_text.h"
#include "openmetrics/push.h"
#include "series_source.h"
#include "tesra/tesra_values.h"

namespace tesra::cli {
namespace {

using om::Family;
using om::FamilyKind;

struct ExportOptions {
    SourceOptions sources;
    std::string format = "openmetrics";
    std::string output;
    std::vector<std::string> objects;
    std::vector<std::string> counters;
    std::vector<std::string> keys;
    std::vector<std::string> counter_types;
    std::string from, to;
    bool no_info = false;
    bool partial_ok = false;
    std::string push;
    unsigned attempts = 6;
    unsigned retry_wait_ms = 500;
    size_t batch_kib = 8192;
    std::string temp_dir;
};

// Label names the export sets itself; a key counter may not map onto one of them.
const std::set<std::string> kOwnLabels = {"node", "node_uuid", "cluster", "cluster_uuid",
                                          "x",    "y",         "value"};

// Spool files held open at once; well under the usual limit of 1024 open files.
constexpr size_t kOpenSpools = 512;

struct CounterRoute {
    Family *family = nullptr;
    uint64_t period = 0;  // the counter's shortest period: the one exported
};

struct ObjectRoute {
    std::string name;
    std::unordered_map<tesra_counter_handle_t *, CounterRoute> counters;
    // Per period: the counter met at each place of an instance's counter walk and its route
    // (null: not exported), as the last instance had them; the order rarely changes.
    std::unordered_map<uint64_t,
                       std::vector<std::pair<tesra_counter_handle_t *, const CounterRoute *>>>
        walk_order;
    // Per period: the label text and instance number at each place of the last record.
    std::unordered_map<uint64_t, std::vector<std::pair<std::string, uint32_t>>> instance_order;
    std::map<std::string, std::string> key_labels;   // key counter name -> label name
    std::map<std::string, std::string> key_filters;  // key counter name -> required text
};

// Calls `visit(route, values)` for each counter of `instance` that `route` exports at `period`,
// in the instance's order, until it returns a failure; the values are the reader's, valid for
// the call. The one place that reads counter data (a value list per counter).
template <typename Visit>
tesra_error_t read_instance_values(tesra_instance_handle_t *instance,
                                   ObjectRoute &route,
                                   uint64_t period,
                                   Visit &&visit) {
    tesra_instance_values_t_v6_0 all{};
    if (auto rc = tesra_get_instance_values(instance, &all); rc != TESRA_SUCCESS) return rc;
    auto &order = route.walk_order[period];
    if (order.size() < all.num_cnts) order.resize(all.num_cnts, {nullptr, nullptr});
    for (uint32_t slot = 0; slot < all.num_cnts; ++slot) {
        tesra_counter_handle_t *counter = all.counters[slot];
        if (order[slot].first != counter) {
            auto r = route.counters.find(counter);
            bool exported = r != route.counters.end() && r->second.period == period;
            order[slot] = {counter, exported ? &r->second : nullptr};
        }
        if (order[slot].second == nullptr) continue;
        if (auto rc = visit(*order[slot].second, all.values[slot]); rc != TESRA_SUCCESS) return rc;
    }
    return TESRA_SUCCESS;
}

// The text of a counter value list: strings as they are, numbers in decimal, joined by ",".
void value_text(const tesra_counter_data_t &data, std::string &out) {
    out.clear();
    for (uint32_t i = 0; data.values != nullptr && i < data.num_values; ++i) {
        if (i > 0) out += ',';
        switch (data.value_type) {
            case TESRA_CNT_STRING:
                if (data.values[i].val_str != nullptr) out += data.values[i].val_str;
                break;
            case TESRA_CNT_4BYTES:
                om::append_uint(out, data.values[i].val_4B);
                break;
            default:
                om::append_uint(out, data.values[i].val_8B);
                break;
        }
    }
}

// Writes text chunks to a stream's descriptor: large ones as they come, small ones gathered
// first. The chunks are already large; a stream's buffer would only copy them once more.
class FileOut : public om::TextOut {
public:
    explicit FileOut(std::FILE *f) : fd_(fileno(f)) {}
    bool write(std::string_view text, uint64_t samples) override {
        samples_ += samples;
        bytes_ += text.size();
        if (text.size() < kGather) {
            gathered_.append(text);
            return gathered_.size() < kGather || drain();
        }
        return drain() && put(text);
    }
    // Writes what is gathered; false when a write failed (error() says why).
    bool finish() { return drain(); }
    int error() const { return error_; }
    uint64_t samples() const { return samples_; }
    uint64_t bytes() const { return bytes_; }

private:
    static constexpr size_t kGather = 256 << 10;

    bool drain() {
        const bool ok = put(gathered_);
        gathered_.clear();
        return ok;
    }
    bool put(std::string_view text) {
        while (error_ == 0 && !text.empty()) {
            const ssize_t n = ::write(fd_, text.data(), text.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = n < 0 ? errno : EIO;
                break;
            }
            text.remove_prefix(static_cast<size_t>(n));
        }
        return error_ == 0;
    }

    int fd_;
    int error_ = 0;
    std::string gathered_;
    uint64_t samples_ = 0;
    uint64_t bytes_ = 0;
};

// Pushes text chunks and draws the progress.
class ProgressPush : public om::TextOut {
public:
    ProgressPush(om::Pusher &pusher, Progress &progress) : pusher_(pusher), progress_(progress) {}
    bool write(std::string_view text, uint64_t samples) override {
        bool ok = pusher_.write(text, samples);
        progress_.update(pusher_.samples_sent());
        return ok;
    }

private:
    om::Pusher &pusher_;
    Progress &progress_;
};

class Exporter {
public:
    explicit Exporter(const ExportOptions &opt) : opt_(opt) {}
    int run();

private:
    int parse_options();
    std::optional<std::vector<CopySource>> collect_sources();
    bool prepare(const Archive &archive,
                 std::unordered_map<tesra_object_handle_t *, ObjectRoute> &routes);
    Family *family_for(const std::string &object, const CounterInfo &counter);
    bool walk(const Archive &archive,
              const CopySource &member,
              uint32_t archive_index,
              std::unordered_map<tesra_object_handle_t *, ObjectRoute> &routes);
    tesra_error_t spool_instance(tesra_instance_handle_t *instance,
                                 ObjectRoute &route,
                                 size_t place,
                                 uint64_t time,
                                 uint64_t period,
                                 uint32_t node,
                                 uint32_t archive_index);
    int write_output();
    tesra_error_t spool_failed() {
        spool_error_ = errno != 0 ? errno : EIO;
        return TESRA_WRITE_FAILED;
    }

    const ExportOptions &opt_;
    std::optional<uint64_t> from_, to_;
    std::map<std::string, FamilyKind> kinds_;  // --counter-type, by counter or family name
    std::set<std::string> kinds_used_;
    std::set<std::string> objects_seen_, counters_seen_;
    std::string push_url_;

    om::SpoolDir dir_;
    std::vector<std::unique_ptr<Family>> families_;
    std::unordered_map<std::string, Family *> by_counter_;  // "object\0counter"
    std::unordered_map<std::string, std::string> names_;    // metric name -> "object/counter"
    om::Instances instances_;
    std::vector<std::string> nodes_;
    std::string node_labels_;
    uint32_t node_ = 0;
    size_t spool_buffer_ = 64 << 10;
    int status_ = kExitOk;
    int spool_error_ = 0;
    std::vector<uint64_t> numbers_;  // scratch: one counter's 4-byte values, widened
    std::string labels_, key_text_;  // scratch: one instance's label text, one key's value
    bool partial_ = false;
};

int Exporter::parse_options() {
    if (opt_.format != "openmetrics") {
        return report_usage(fmt::format("unknown format '{}' (openmetrics)", opt_.format));
    }
    if (!opt_.push.empty()) {
        auto url = om::import_url(opt_.push);
        if (!url) {
            return report_usage(
                fmt::format("--push wants an http:// or https:// URL, not '{}'", opt_.push));
        }
        push_url_ = *url;
    }
    for (auto [text, out, flag] :
         {std::tuple{&opt_.from, &from_, "--from"}, std::tuple{&opt_.to, &to_, "--to"}}) {
        if (text->empty()) continue;
        *out = parse_time(*text);
        if (!*out) return report_usage(fmt::format("{}: not a time: '{}'", flag, *text));
    }
    if (from_ && to_ && *from_ > *to_) return report_usage("--from is after --to");
    for (const auto &k : opt_.keys) {
        if (k.find('=') == std::string::npos || k.front() == '=') {
            return report_usage(fmt::format("--key wants NAME=VALUE, not '{}'", k));
        }
    }
    for (const auto &t : opt_.counter_types) {
        auto eq = t.find('=');
        std::string type = eq == std::string::npos ? "" : t.substr(eq + 1);
        if (eq == 0 || (type != "counter" && type != "gauge")) {
            return report_usage(
                fmt::format("--counter-type wants NAME=counter or NAME=gauge, not '{}'", t));
        }
        kinds_[t.substr(0, eq)] = type == "counter" ? FamilyKind::kCounter : FamilyKind::kGauge;
    }
    return kExitOk;
}

// The series the sources make: its members in order, each with the times it answers for (a
// later file index wins where archives overlap); the findings are printed as warnings.
std::optional<std::vector<CopySource>> Exporter::collect_sources() {
    int status = kExitOk;
    auto members =
        series_members(opt_.sources, from_.value_or(0), to_.value_or(UINT64_MAX), &status);
    if (!members) status_ = status;
    return members;
}

Family *Exporter::family_for(const std::string &object, const CounterInfo &c) {
    std::string key = object + '\0' + c.name;
    if (auto it = by_counter_.find(key); it != by_counter_.end()) return it->second;
    Family *&slot = by_counter_[key];  // stays null for a counter left out

    const uint32_t n = c.num_values();
    const uint32_t width = n == 0 ? 0 : c.size / n;
    FamilyKind kind = FamilyKind::kGauge;
    if (c.is_string()) {
        if (opt_.no_info) return nullptr;
        kind = FamilyKind::kInfo;
    } else if (width != 4 && width != 8) {
        return nullptr;  // no value a reader decodes
    }
    std::string_view unit = kind == FamilyKind::kInfo ? "" : om::unit_name(c.ctype);
    std::string name = om::family_name(object, c.name, unit);
    if (name.empty()) {
        status_ = report_problem(
            object.empty() ? "(unnamed object)" : object,
            fmt::format("counter '{}' maps to an empty metric name; left out", c.name));
        return nullptr;
    }
    if (kind != FamilyKind::kInfo) {
        for (const std::string &label : {c.name, name}) {
            if (auto k = kinds_.find(label); k != kinds_.end()) {
                kind = k->second;
                kinds_used_.insert(label);
            }
        }
    }
    std::string sample_name = name;
    if (kind == FamilyKind::kCounter) sample_name += "_total";
    if (kind == FamilyKind::kInfo) sample_name += "_info";

    std::string who = object + "/" + c.name;
    for (const std::string &metric : {name, sample_name}) {
        auto taken = names_.find(metric);
        if (taken != names_.end() && taken->second != who) {
            status_ = report_problem(
                object, fmt::format("counter '{}' maps to the metric name '{}' of '{}'; left out",
                                    c.name, metric, taken->second));
            return nullptr;
        }
    }
    names_[name] = who;
    names_[sample_name] = who;

    auto family = std::make_unique<Family>();
    family->object = object;
    family->counter = c.name;
    family->name = std::move(name);
    family->sample_name = std::move(sample_name);
    family->kind = kind;
    family->help = c.description;
    family->unit = std::string(unit);
    family->element_labels = om::element_label_table(c.x_names, c.y_names);
    // Files stay open for the first families; beyond those, each flush opens its file.
    family->spool.attach(dir_, spool_buffer_, families_.size() < kOpenSpools);
    slot = family.get();
    families_.push_back(std::move(family));
    return slot;
}

// The routes of the archive's selected objects and counters, creating their families.
bool Exporter::prepare(const Archive &archive,
                       std::unordered_map<tesra_object_handle_t *, ObjectRoute> &routes) {
    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_first_object(archive.header(), &object);
    for (; rc == TESRA_SUCCESS && object != nullptr;
         rc = tesra_next_object(archive.header(), &object)) {
        tesra_object_def_t def{};
        if (rc = tesra_get_object_info(object, &def); rc != TESRA_SUCCESS) break;
        std::string name = def.name != nullptr ? def.name : "";
        if (!opt_.objects.empty() &&
            std::find(opt_.objects.begin(), opt_.objects.end(), name) == opt_.objects.end()) {
            continue;
        }
        objects_seen_.insert(name);
        auto counters = object_counters(archive.base(), object);
        if (!counters) return false;

        ObjectRoute route;
        route.name = name;
        std::set<std::string> labels;
        bool usable = true;
        for (const auto &c : *counters) {
            if (!c.is_key) continue;
            std::string label = om::label_name(c.name);
            if (label.empty() || label.rfind("__", 0) == 0 || kOwnLabels.count(label) != 0 ||
                !labels.insert(label).second) {
                status_ = report_problem(
                    archive.base(),
                    fmt::format("object '{}': key counter '{}' maps to the label name '{}', "
                                "which is empty, reserved or taken; object left out",
                                name, c.name, label));
                usable = false;
                break;
            }
            route.key_labels[c.name] = label;
        }
        if (!usable || route.key_labels.empty()) continue;  // no keys: no counter data
        for (const auto &k : opt_.keys) {
            auto eq = k.find('=');
            route.key_filters[k.substr(0, eq)] = k.substr(eq + 1);
        }
        bool filter_fits = true;
        for (const auto &f : route.key_filters) {
            if (route.key_labels.count(f.first) == 0) filter_fits = false;
        }
        if (!filter_fits) continue;  // an instance without that key cannot hold its value

        for (const auto &c : *counters) {
            if (c.is_key || c.periods.empty()) continue;
            if (!opt_.counters.empty() && std::find(opt_.counters.begin(), opt_.counters.end(),
                                                    c.name) == opt_.counters.end()) {
                continue;
            }
            counters_seen_.insert(c.name);
            Family *family = family_for(name, c);
            if (family == nullptr) continue;
            route.counters[c.handle] = {family,
                                        *std::min_element(c.periods.begin(), c.periods.end())};
        }
        if (!route.counters.empty()) routes.emplace(object, std::move(route));
    }
    if (rc != TESRA_SUCCESS) {
        report_failure(archive.base(), "walk objects", rc);
        return false;
    }
    return true;
}

tesra_error_t Exporter::spool_instance(tesra_instance_handle_t *instance,
                                       ObjectRoute &route,
                                       size_t place,
                                       uint64_t time,
                                       uint64_t period,
                                       uint32_t node,
                                       uint32_t archive_index) {
    tesra_instance_data_t keys{};
    if (tesra_error_t rc = tesra_get_instance_data(instance, &keys); rc != TESRA_SUCCESS) return rc;
    // Built in scratch strings kept across calls: this runs for every instance of every record.
    std::string &labels = labels_;
    std::string &key_text = key_text_;
    labels.clear();
    size_t filters_met = 0;
    for (uint32_t k = 0; k < keys.num_key_cnts; ++k) {
        const char *name = keys.key_cnt_names != nullptr ? keys.key_cnt_names[k] : nullptr;
        auto label = route.key_labels.find(name != nullptr ? name : "");
        if (label == route.key_labels.end()) continue;
        value_text(keys.key_cnt_values[k], key_text);
        if (auto f = route.key_filters.find(label->first); f != route.key_filters.end()) {
            if (f->second != key_text) return TESRA_SUCCESS;
            ++filters_met;
        }
        labels += label->second;
        labels += "=\"";
        om::append_label_value(labels, key_text);
        labels += "\",";
    }
    if (filters_met != route.key_filters.size()) return TESRA_SUCCESS;
    labels += node_labels_;
    // Records of an object list their instances in the same order, mostly: compare with the
    // instance at this place last time before looking the label text up.
    auto &places = route.instance_order[period];
    if (place >= places.size()) places.resize(place + 1, {std::string(), UINT32_MAX});
    if (places[place].second == UINT32_MAX || places[place].first != labels) {
        places[place] = {labels, instances_.find_or_add(labels, node)};
    }
    const uint32_t id = places[place].second;

    return read_instance_values(
        instance, route, period,
        [&](const CounterRoute &r, const tesra_counter_data_t &value) -> tesra_error_t {
            Family &f = *r.family;
            // Archives overlap: a series takes only samples after its newest one.
            if (node >= f.newest.size()) f.newest.resize(node + 1, {0, UINT32_MAX});
            auto &newest = f.newest[node];
            if (newest.second != UINT32_MAX &&
                (time < newest.first ||
                 (time == newest.first && newest.second != archive_index))) {
                ++f.overlapping;
                return TESRA_SUCCESS;
            }
            newest = {time, archive_index};

            if (value.values == nullptr) return TESRA_SUCCESS;
            if (id >= f.instance_values.size()) f.instance_values.resize(id + 1, 0);
            if (f.kind == FamilyKind::kInfo) {
                if (value.value_type != TESRA_CNT_STRING) return TESRA_SUCCESS;
                for (uint32_t e = 0; e < value.num_values; ++e) {
                    std::string_view text =
                        value.values[e].val_str != nullptr ? value.values[e].val_str : "";
                    auto [it, added] = f.last_text.try_emplace((uint64_t{id} << 32) | e);
                    if (!added && it->second == text) continue;  // once per change
                    it->second.assign(text);
                    if (!f.spool.mark_time(time) || !f.spool.put_text(id, e, text)) {
                        return spool_failed();
                    }
                    ++f.samples;
                    // Each value an instance's element takes is a series of its own.
                    std::string series_key(reinterpret_cast<const char *>(&it->first), 8);
                    if (f.info_series.insert(series_key.append(text)).second) ++f.series;
                }
                return TESRA_SUCCESS;
            }
            if (value.value_type == TESRA_CNT_STRING) return TESRA_SUCCESS;
            const uint32_t n = value.num_values;
            // 8-byte values are the spool's numbers already; 4-byte ones are widened.
            static_assert(sizeof(tesra_cnt_value_t) == sizeof(uint64_t));
            const void *numbers = value.values;
            if (value.value_type == TESRA_CNT_4BYTES) {
                numbers_.resize(n);
                for (uint32_t i = 0; i < n; ++i) numbers_[i] = value.values[i].val_4B;
                numbers = numbers_.data();
            }
            if (!f.spool.mark_time(time) || !f.spool.put_numbers(id, numbers, n)) {
                return spool_failed();
            }
            f.samples += n;
            if (f.instance_values[id] < n) {
                f.series += n - f.instance_values[id];
                f.instance_values[id] = n;
            }
            return TESRA_SUCCESS;
        });
}

bool Exporter::walk(const Archive &archive,
                    const CopySource &member,
                    uint32_t archive_index,
                    std::unordered_map<tesra_object_handle_t *, ObjectRoute> &routes) {
    const auto &sys = archive.system();
    node_labels_.clear();
    auto add_label = [&](std::string_view name, const char *value, bool always) {
        if (!always && (value == nullptr || *value == '\0')) return;
        if (!node_labels_.empty()) node_labels_ += ',';
        node_labels_ += name;
        node_labels_ += "=\"";
        om::append_label_value(node_labels_, value != nullptr ? value : "");
        node_labels_ += '"';
    };
    add_label("node", sys.hostname, true);
    add_label("node_uuid", sys.node_uuid, true);
    add_label("cluster", sys.cluster_name, false);
    add_label("cluster_uuid", sys.cluster_id, false);
    auto known = std::find(nodes_.begin(), nodes_.end(), node_labels_);
    node_ = static_cast<uint32_t>(known - nodes_.begin());
    if (known == nodes_.end()) nodes_.push_back(node_labels_);

    const uint64_t start =
        std::max({from_.value_or(0), archive.start_time(), member.from});
    uint64_t records = 0;
    uint64_t last_time = 0;
    tesra_record_handle_t *record = nullptr;
    tesra_error_t rc = tesra_first_record(archive.handle(), TESRA_LINEAR_ORDER, start, &record);
    while (rc == TESRA_SUCCESS && record != nullptr) {
        tesra_record_header_data_t_v6_0 info{};
        if (rc = tesra_get_record_info(record, &info); rc != TESRA_SUCCESS) break;
        const uint64_t time = archive.base_time() + info.msecs_since_base;
        if (to_ && time > *to_) break;
        // Times the series takes from another member are left to it.
        const uint64_t sample = archive.base_time() +
                                format::aligned_time(info.msecs_since_base, info.period);
        const bool outside = !format::is_once_per_archive(info.period) &&
                             (sample < member.from || sample >= member.to);
        tesra_object_handle_t *object = nullptr;
        if (rc = tesra_get_object_from_record(record, &object); rc != TESRA_SUCCESS) break;
        if (auto route = routes.find(object); !outside && route != routes.end()) {
            tesra_instance_handle_t *instance = nullptr;
            rc = tesra_first_instance_from_record(record, &instance);
            for (size_t place = 0; rc == TESRA_SUCCESS && instance != nullptr; ++place) {
                rc = spool_instance(instance, route->second, place, time, info.period, node_,
                                    archive_index);
                if (spool_error_ != 0) {
                    report_problem(dir_.path(), fmt::format("cannot write a temporary file: {}",
                                                            std::strerror(spool_error_)));
                    return false;
                }
                if (rc == TESRA_SUCCESS) rc = tesra_next_instance_from_record(record, &instance);
            }
            if (rc != TESRA_SUCCESS) break;
        }
        ++records;
        last_time = time;
        rc = tesra_next_record(archive.handle(), &record);
    }
    if (rc != TESRA_SUCCESS) {
        // What came before is whole and stays exported.
        std::string after = records == 0 ? std::string("at its first record")
                                         : fmt::format("after sample time {} ({} records)",
                                                       iso_time(last_time), records);
        fmt::print(stderr, "tesra: {}: warning: data stops {}: {}; exported what came before\n",
                   archive.base(), after, error_label(rc));
        partial_ = true;
    }
    return true;
}

int Exporter::write_output() {
    uint64_t total = 0, series = 0, overlapping = 0;
    for (const auto &f : families_) {
        if (!f->spool.flush()) {
            return report_problem(dir_.path(), fmt::format("cannot write a temporary file: {}",
                                                           std::strerror(errno)));
        }
        total += f->samples;
        series += f->series;
        overlapping += f->overlapping;
    }
    if (overlapping > 0) {
        fmt::print(stderr,
                   "tesra: warning: the archives overlap in time; {} samples not after their "
                   "series' previous one left out\n",
                   overlapping);
    }
    std::vector<const Family *> exported;
    for (const auto &f : families_) {
        if (f->samples > 0) exported.push_back(f.get());
    }
    // Families are formatted on two threads while this one writes: formatting is most of the
    // writing's work, and the families are independent.
    const unsigned threads = std::min(2u, std::max(1u, std::thread::hardware_concurrency()));
    std::string error;
    if (!push_url_.empty()) {
        om::PushOptions po;
        po.url = push_url_;
        po.attempts = std::max(1u, opt_.attempts);
        po.first_wait_ms = opt_.retry_wait_ms;
        po.batch_bytes = std::max<size_t>(opt_.batch_kib, 1) << 10;
        om::Pusher pusher(po);
        Progress progress("pushing", total);
        ProgressPush out(pusher, progress);
        bool ok = om::write_families(exported, instances_, om::TextStyle::kPrometheus, out, error,
                                     threads);
        if (ok) ok = pusher.finish();
        if (!ok) {
            if (!error.empty()) return report_problem(dir_.path(), error);
            return report_problem(push_url_,
                                  fmt::format("push failed: {}; {} of {} samples were sent",
                                              pusher.error(), pusher.samples_sent(), total));
        }
        progress.finish();
        fmt::print("pushed {} series, {} samples ({} gzip) to {}\n", series, total,
                   human_size(pusher.bytes_sent()), push_url_);
        return kExitOk;
    }

    const bool to_file = !opt_.output.empty() && opt_.output != "-";
    std::FILE *file = to_file ? std::fopen(opt_.output.c_str(), "wb") : stdout;
    if (file == nullptr) {
        return report_problem(opt_.output, fmt::format("cannot create: {}", std::strerror(errno)));
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> owned(to_file ? file : nullptr, std::fclose);
    // A reader that leaves early (`| head`) would otherwise end the process by SIGPIPE and leave
    // the spooled temporary files behind; the write fails with EPIPE instead, and the export
    // stops quietly with everything removed.
    if (!to_file) std::signal(SIGPIPE, SIG_IGN);
    bool ok = std::fflush(file) == 0;  // nothing is buffered; the text goes to its descriptor
    FileOut out(file);
    if (ok && !om::write_families(exported, instances_, om::TextStyle::kOpenMetrics, out, error,
                                  threads)) {
        if (!error.empty()) return report_problem(dir_.path(), error);
        ok = false;
    }
    ok = ok && out.write("# EOF\n", 0) && out.finish();
    const int write_error = out.error() != 0 ? out.error() : errno;
    if (to_file) ok = std::fclose(owned.release()) == 0 && ok;
    if (!ok && !to_file && write_error == EPIPE) return kExitProblem;
    if (!ok) {
        return report_problem(to_file ? opt_.output : "stdout",
                              fmt::format("write failed: {}", std::strerror(write_error)));
    }
    if (to_file) {
        fmt::print(stderr, "wrote {} families, {} series, {} samples ({}) to {}\n",
                   std::count_if(families_.begin(), families_.end(),
                                 [](const auto &f) { return f->samples > 0; }),
                   series, total, human_size(out.bytes()), opt_.output);
    }
    return kExitOk;
}

int Exporter::run() {
    if (int status = parse_options(); status != kExitOk) return status;
    const char *tmp = std::getenv("TMPDIR");
    std::string parent = !opt_.temp_dir.empty() ? opt_.temp_dir : (tmp != nullptr ? tmp : "");
    if (!dir_.create(parent)) {
        return report_problem(
            parent.empty() ? "/tmp" : parent,
            fmt::format("cannot make a temporary directory: {}", std::strerror(errno)));
    }
    std::optional<std::vector<CopySource>> members = collect_sources();
    if (!members) return status_;
    const std::vector<CopySource> &sources = *members;
    for (uint32_t i = 0; i < sources.size(); ++i) {
        Archive archive;
        if (!archive.open(sources[i].base)) {
            status_ = kExitProblem;
            continue;
        }
        std::unordered_map<tesra_object_handle_t *, ObjectRoute> routes;
        if (!prepare(archive, routes)) {
            status_ = kExitProblem;
            continue;
        }
        if (!walk(archive, sources[i], i, routes)) return kExitProblem;
        if (!archive.close()) status_ = kExitProblem;
    }
    for (const auto &o : opt_.objects) {
        if (objects_seen_.count(o) == 0 && !sources.empty()) {
            status_ = report_problem(o, "no archive has this object");
        }
    }
    for (const auto &c : opt_.counters) {
        if (counters_seen_.count(c) == 0 && !sources.empty()) {
            status_ = report_problem(c, "no selected object has this counter");
        }
    }
    for (const auto &[name, kind] : kinds_) {
        if (kinds_used_.count(name) == 0 && !sources.empty()) {
            status_ = report_problem(name, "--counter-type names no exported counter or family");
        }
    }
    if (int status = write_output(); status != kExitOk) return status;
    if (partial_ && !opt_.partial_ok) status_ = kExitProblem;
    return status_;
}

}  // namespace

void add_export_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<ExportOptions>();
    CLI::App *cmd = app.add_subcommand(
        "export",
        "Export the counters of archives as OpenMetrics text, or push them to a "
        "Prometheus-compatible import endpoint. SOURCES are one archive, or a series of one "
        "node's archives (a directory, a glob or several bases; --node picks a node when they "
        "hold several), read in order with a later file index winning where archives overlap. "
        "Each numeric counter of an object becomes the family "
        "tesra_<object>_<counter> (characters outside [a-zA-Z0-9_] mapped to _), a gauge unless "
        "--counter-type says otherwise, labelled with the instance's key counters, the node "
        "(node, node_uuid, cluster, cluster_uuid) and, for arrays, x and y. String counters "
        "that are not keys become an _info family with the value in the label 'value', one "
        "sample each time the value changes; --no-info leaves them out. Timestamps are "
        "seconds with a millisecond fraction. An archive whose data stops in the middle is "
        "exported up to there, with a warning and exit status 1 unless --partial-ok.");
    cmd->add_option("SOURCES", opt->sources.sources,
                    "Archive bases, directories or globs of one node's archives (a series)")
        ->required();
    add_series_options(*cmd, opt->sources);
    cmd->add_option("--format", opt->format, "Output format")
        ->check(CLI::IsMember({"openmetrics"}));
    auto *output = cmd->add_option("-o,--output", opt->output, "Output file (default: stdout)");
    cmd->add_option("--object", opt->objects, "Only this object (repeatable)")->type_name("NAME");
    cmd->add_option("--counter", opt->counters, "Only this counter (repeatable)")
        ->type_name("NAME");
    cmd->add_option("--from", opt->from, "First time (ms or ISO 8601 UTC)");
    cmd->add_option("--to", opt->to, "Last time");
    cmd->add_option("--key", opt->keys, "Only instances whose key counter NAME holds VALUE")
        ->type_name("NAME=VALUE");
    cmd->add_option("--counter-type", opt->counter_types,
                    "NAME=counter for a counter that only grows (family gets _total), by "
                    "counter or family name; NAME=gauge is the default")
        ->type_name("NAME=TYPE");
    cmd->add_flag("--no-info", opt->no_info, "Leave string counters out");
    cmd->add_flag("--partial-ok", opt->partial_ok,
                  "Exit 0 when an archive stops in the middle (what is whole is exported)");
    auto *push = cmd->add_option(
        "--push", opt->push,
        "Send the samples to this import endpoint instead (http:// or https://; a URL "
        "without a path gets /api/v1/import/prometheus)");
    push->excludes(output);
    cmd->add_option("--retries", opt->attempts,
                    "Attempts per batch, the first included, on 5xx answers and connection "
                    "errors (default 6)");
    cmd->add_option("--retry-wait", opt->retry_wait_ms,
                    "First wait between attempts in ms, doubled each time (default 500)");
    cmd->add_option("--batch", opt->batch_kib, "Uncompressed KiB per request (default 8192)");
    cmd->add_option("--temp-dir", opt->temp_dir,
                    "Where the per-family temporary files go (default: $TMPDIR or /tmp)");
    cmd->callback([opt, &status] { status = Exporter(*opt).run(); });
}

}  // namespace tesra::cli
