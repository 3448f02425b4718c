// The catalogue of a series: objects and counters of the members in a range, merged by name,
// with every counter or object that appears, disappears or changes definition reported.
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tesra/tesra_series.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "common/guard.h"
#include "series/series_internal.h"

namespace tesra::series {

uint32_t CounterDef::num_values() const {
    return static_cast<uint32_t>(format::value_count(static_cast<uint32_t>(x_names.size()),
                                                     static_cast<uint32_t>(y_names.size())));
}

tesra_cnt_data_type_t CounterDef::value_type() const {
    if (format::is_string_ctype(ctype)) return TESRA_CNT_STRING;
    const uint32_t n = std::max<uint32_t>(num_values(), 1);
    return size / n == 4 ? TESRA_CNT_4BYTES : TESRA_CNT_8BYTES;
}

bool CounterDef::sampled_at(uint64_t period) const {
    return std::find(periods.begin(), periods.end(), period) != periods.end();
}

bool CounterDef::same_shape(const CounterDef &o) const {
    return difference(o).empty();
}

std::string CounterDef::difference(const CounterDef &o) const {
    auto hex = [](uint32_t v) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%x", v);
        return std::string(text);
    };
    if (id != o.id) return "id " + std::to_string(o.id) + " -> " + std::to_string(id);
    if (ctype != o.ctype) return "type " + hex(o.ctype) + " -> " + hex(ctype);
    if (size != o.size) return "size " + std::to_string(o.size) + " -> " + std::to_string(size);
    if (is_key != o.is_key) return is_key ? "becomes a key counter" : "is no longer a key counter";
    if (x_names != o.x_names || y_names != o.y_names) return "labels change";
    return "";
}

tesra_error_t read_counters(tesra_object_handle_t *object, std::vector<CounterDef> *out) {
    std::vector<CounterDef> defs;
    tesra_counter_handle_t *c = nullptr;
    tesra_error_t rc = tesra_first_counter(object, &c);
    while (rc == TESRA_SUCCESS && c != nullptr) {
        tesra_counter_def_t info{};
        tesra_set_latest_version(&info);
        if (rc = tesra_get_counter_info(c, &info); rc != TESRA_SUCCESS) return rc;
        CounterDef d;
        d.handle = c;
        d.name = info.name != nullptr ? info.name : "";
        d.desc = info.desc != nullptr ? info.desc : "";
        d.id = info.cnt_id;
        d.ctype = info.ctype;
        d.size = info.size;
        d.is_key = info.is_key;
        for (uint8_t i = 0; i < info.num_periods && i < TESRA_NUM_PERIODS; ++i) {
            d.periods.push_back(info.periods[i]);
        }
        for (uint32_t i = 0; info.x_names != nullptr && i < info.num_x_items; ++i) {
            d.x_names.emplace_back(info.x_names[i] != nullptr ? info.x_names[i] : "");
        }
        for (uint32_t i = 0; info.y_names != nullptr && i < info.num_y_items; ++i) {
            d.y_names.emplace_back(info.y_names[i] != nullptr ? info.y_names[i] : "");
        }
        defs.push_back(std::move(d));
        rc = tesra_next_counter(object, &c);
    }
    if (rc != TESRA_SUCCESS) return rc;
    *out = std::move(defs);
    return TESRA_SUCCESS;
}

tesra_error_t read_object_periods(tesra_object_handle_t *object, std::vector<uint64_t> *out) {
    uint64_t *periods = nullptr;
    uint32_t n = 0;
    if (auto rc = tesra_get_object_periods(object, &periods, &n); rc != TESRA_SUCCESS) return rc;
    c_ptr<uint64_t> owned(periods);
    out->assign(periods, periods + (periods != nullptr ? n : 0));
    return TESRA_SUCCESS;
}

namespace {

struct Presence {
    size_t num_members = 0;
    size_t first = TESRA_SERIES_NO_MEMBER;
    size_t last = TESRA_SERIES_NO_MEMBER;

    void seen(size_t member) {
        if (num_members++ == 0) first = member;
        last = member;
    }
};

struct CounterAcc {
    CounterDef def;  // the first member's
    CounterDef latest;
    std::set<uint64_t> periods;
    Presence presence;
    bool changed = false;
};

struct ObjectAcc {
    uint32_t obj_id = 0;
    std::set<uint64_t> periods;
    Presence presence;
    std::map<std::string, CounterAcc> counters;
};

class Catalogue {
public:
    explicit Catalogue(Series &s) : s_(s) {}

    tesra_error_t add_member(size_t index, tesra_header_handle_t *header) {
        std::map<std::string, std::map<std::string, CounterDef>> now;
        std::map<std::string, std::pair<uint32_t, std::vector<uint64_t>>> objects;
        tesra_object_handle_t *o = nullptr;
        tesra_error_t rc = tesra_first_object(header, &o);
        while (rc == TESRA_SUCCESS && o != nullptr) {
            tesra_object_def_t info{};
            tesra_set_latest_version(&info);
            if (rc = tesra_get_object_info(o, &info); rc != TESRA_SUCCESS) return rc;
            const std::string name = info.name != nullptr ? info.name : "";
            std::vector<uint64_t> periods;
            if (rc = read_object_periods(o, &periods); rc != TESRA_SUCCESS) return rc;
            std::vector<CounterDef> counters;
            if (rc = read_counters(o, &counters); rc != TESRA_SUCCESS) return rc;
            objects[name] = {info.obj_id, std::move(periods)};
            auto &slot = now[name];
            for (auto &c : counters) slot.emplace(c.name, std::move(c));
            rc = tesra_next_object(header, &o);
        }
        if (rc != TESRA_SUCCESS) return rc;
        merge(index, now, objects);
        return TESRA_SUCCESS;
    }

    size_t members_read() const { return members_read_; }

    tesra_error_t publish(tesra_series_catalogue_t **out) const;

private:
    void report(size_t index, const std::string &what) {
        Finding f;
        f.kind = TESRA_SERIES_DEFINITION_CHANGE;
        f.member = index;
        f.other = previous_;
        f.path = s_.members()[index].base;
        f.message = s_.members()[index].base + ": " + what;
        if (previous_ != TESRA_SERIES_NO_MEMBER) {
            f.message += " (compared with " + s_.members()[previous_].base + ")";
        }
        s_.add_finding(std::move(f));
    }

    void merge(size_t index,
               const std::map<std::string, std::map<std::string, CounterDef>> &now,
               const std::map<std::string, std::pair<uint32_t, std::vector<uint64_t>>> &objs) {
        const bool first_read = members_read_++ == 0;
        for (const auto &[name, counters] : now) {
            auto [it, fresh] = objects_.try_emplace(name);
            ObjectAcc &acc = it->second;
            if (fresh) acc.obj_id = objs.at(name).first;
            if (!first_read && !in_previous_.count(name)) {
                report(index, "object '" + name + "' appears");
            }
            acc.presence.seen(index);
            acc.periods.insert(objs.at(name).second.begin(), objs.at(name).second.end());
            const auto previous = previous_counters_.find(name);
            for (const auto &[cname, def] : counters) {
                auto [cit, cfresh] = acc.counters.try_emplace(cname);
                CounterAcc &c = cit->second;
                if (cfresh) {
                    c.def = def;
                    c.latest = def;
                } else if (!def.same_shape(c.latest)) {
                    c.changed = true;
                    report(index, "counter '" + name + "." + cname +
                                      "' changes definition: " + def.difference(c.latest));
                    c.latest = def;
                }
                if (previous != previous_counters_.end() && !previous->second.count(cname)) {
                    report(index, "counter '" + name + "." + cname + "' appears");
                }
                c.presence.seen(index);
                c.periods.insert(def.periods.begin(), def.periods.end());
            }
            if (previous != previous_counters_.end()) {
                for (const auto &cname : previous->second) {
                    if (!counters.count(cname)) {
                        report(index, "counter '" + name + "." + cname + "' disappears");
                    }
                }
            }
        }
        for (const auto &name : in_previous_) {
            if (!now.count(name)) report(index, "object '" + name + "' disappears");
        }
        in_previous_.clear();
        previous_counters_.clear();
        for (const auto &[name, counters] : now) {
            in_previous_.insert(name);
            auto &names = previous_counters_[name];
            for (const auto &entry : counters) names.insert(entry.first);
        }
        previous_ = index;
    }

    Series &s_;
    std::map<std::string, ObjectAcc> objects_;
    std::set<std::string> in_previous_;
    std::map<std::string, std::set<std::string>> previous_counters_;
    size_t previous_ = TESRA_SERIES_NO_MEMBER;
    size_t members_read_ = 0;
};

void fill_periods(const std::set<uint64_t> &from, uint64_t *to, uint8_t *count) {
    uint8_t n = 0;
    for (uint64_t p : from) {
        if (n == TESRA_NUM_PERIODS) break;
        to[n++] = p;
    }
    *count = n;
}

tesra_error_t Catalogue::publish(tesra_series_catalogue_t **out) const {
    c_ptr<tesra_series_catalogue_t> cat(c_calloc<tesra_series_catalogue_t>());
    if (!cat) return TESRA_NULL_POINTER;
    struct Release {
        void operator()(tesra_series_catalogue_t *c) const { tesra_series_free_catalogue(c); }
    };
    std::unique_ptr<tesra_series_catalogue_t, Release> guard(cat.release());
    tesra_series_catalogue_t &c = *guard;
    c.num_members_read = members_read_;
    c.objects = c_calloc<tesra_series_object_t>(objects_.size());
    if (c.objects == nullptr) return TESRA_NULL_POINTER;
    for (const auto &[name, acc] : objects_) {
        tesra_series_object_t &o = c.objects[c.num_objects++];
        o.name = c_strdup(name.c_str());
        if (o.name == nullptr) return TESRA_NULL_POINTER;
        o.obj_id = acc.obj_id;
        fill_periods(acc.periods, o.periods, &o.num_periods);
        o.num_members = acc.presence.num_members;
        o.first_member = acc.presence.first;
        o.last_member = acc.presence.last;
        std::vector<const CounterAcc *> counters;
        for (const auto &entry : acc.counters) counters.push_back(&entry.second);
        std::stable_sort(
            counters.begin(), counters.end(),
            [](const CounterAcc *a, const CounterAcc *b) { return a->def.id < b->def.id; });
        o.counters = c_calloc<tesra_series_counter_t>(counters.size());
        if (o.counters == nullptr) return TESRA_NULL_POINTER;
        for (const CounterAcc *ca : counters) {
            tesra_series_counter_t &k = o.counters[o.num_counters++];
            k.name = c_strdup(ca->def.name.c_str());
            k.desc = c_strdup(ca->def.desc.c_str());
            if (k.name == nullptr || k.desc == nullptr) return TESRA_NULL_POINTER;
            k.cnt_id = ca->def.id;
            k.is_key = ca->def.is_key ? 1 : 0;
            k.ctype = ca->def.ctype;
            k.size = ca->def.size;
            k.num_values = ca->def.num_values();
            fill_periods(ca->periods, k.periods, &k.num_periods);
            k.num_members = ca->presence.num_members;
            k.first_member = ca->presence.first;
            k.last_member = ca->presence.last;
            k.changed = ca->changed ? 1 : 0;
        }
    }
    *out = guard.release();
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::series

extern "C" tesra_error_t tesra_series_get_catalogue(tesra_series_t *series,
                                                    uint64_t from,
                                                    uint64_t to,
                                                    tesra_series_catalogue_t **out) {
    if (series == nullptr || out == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (from > to) return TESRA_INVALID_TIMESTAMP;
    return tesra::guarded([&] {
        tesra::series::Catalogue cat(*series);
        for (size_t index : series->members_meeting(from, to)) {
            tesra::series::OpenArchive a;
            tesra_error_t rc = series->take(index, &a);
            if (rc == TESRA_SUCCESS) {
                rc = cat.add_member(index, a.header);
                series->give_back(a);
                if (rc != TESRA_SUCCESS) series->mark_damaged(index, rc, "header cannot be read");
            }
            if (rc != TESRA_SUCCESS && !series->skippable(index)) return rc;
        }
        return cat.publish(out);
    });
}

extern "C" void tesra_series_free_catalogue(tesra_series_catalogue_t *catalogue) {
    if (catalogue == nullptr) return;
    for (uint32_t i = 0; catalogue->objects != nullptr && i < catalogue->num_objects; ++i) {
        tesra_series_object_t &o = catalogue->objects[i];
        for (uint32_t j = 0; o.counters != nullptr && j < o.num_counters; ++j) {
            tesra::c_free(o.counters[j].name);
            tesra::c_free(o.counters[j].desc);
        }
        std::free(o.counters);
        tesra::c_free(o.name);
    }
    std::free(catalogue->objects);
    std::free(catalogue);
}
