// Sample times and counter values across a series: one reader query per member in range, run
// over the member's window only, so that every time comes from exactly one archive and the
// whole walk is in time order. One member is open for the walk at a time.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tesra/tesra_series.h"
#include "tesra/tesra_values.h"

#include "common/c_memory.h"
#include "common/guard.h"
#include "series/series_internal.h"

namespace tesra::series {
namespace {

struct KeyFilter {
    std::string name;
    std::string text;
    tesra_counter_data_t data{};
    tesra_cnt_value_t cell{};
};

// One instance at one time, in storage that is reused from row to row.
struct RowStore {
    tesra_series_row_t row{};
    std::vector<tesra_counter_data_t> cells;
    std::vector<tesra_cnt_value_t> values;
    std::vector<std::string> strings;
};

// A reader query over one member after another. With `values` false only the times are read.
class Walker {
public:
    Walker(Series &s, std::string object, uint64_t period, uint64_t from, uint64_t to)
        : s_(s), object_(std::move(object)), period_(period), from_(from), to_(to) {}
    ~Walker() { finish_member(); }
    Walker(const Walker &) = delete;
    Walker &operator=(const Walker &) = delete;

    // Names of the counters to read (empty: the default) and NAME=VALUE key filters.
    tesra_error_t resolve(const std::vector<std::string> &counters,
                          const std::vector<std::string> &filters);
    // Times only: no columns, the reader's default counters.
    void plan_times() { todo_ = s_.members_meeting(from_, to_); }

    // Steps to the next sample time; `*done` at the end. With `rows`, fills one row per
    // instance.
    tesra_error_t next_time(std::vector<RowStore> *rows, size_t *num_rows, bool *done);

    uint64_t time() const { return time_; }
    size_t member() const { return current_.member; }
    const std::vector<tesra_series_column_t> &columns() const { return columns_; }

private:
    tesra_error_t start_member(size_t index, bool *started);
    void finish_member();
    tesra_error_t skip_or_fail(size_t index,
                               tesra_error_t rc,
                               const std::string &what,
                               bool records_read = false);
    void report(size_t index, const std::string &what, bool is_error = false);
    tesra_error_t read_rows(tesra_timestamp_handle_t *ts,
                            std::vector<RowStore> *rows,
                            size_t *num_rows);
    tesra_error_t read_instance(tesra_instance_handle_t *instance, RowStore &r);
    // One step of the current member: `*ts_found` false at its end.
    tesra_error_t step_query(std::vector<RowStore> *rows, size_t *num_rows, bool *found);

    Series &s_;
    std::string object_;
    uint64_t period_;
    uint64_t from_;
    uint64_t to_;
    bool with_columns_ = false;
    std::vector<CounterDef> defs_;  // one per column
    std::vector<tesra_series_column_t> columns_;
    std::vector<KeyFilter> filters_;
    std::vector<size_t> todo_;
    size_t next_ = 0;

    OpenArchive current_;
    // A member is read through a reader query over its window: the reader finds the object's
    // records through the index, so the records of other objects are never copied, and it stops
    // at the object's last record instead of inflating the rest of the member.
    bool active_ = false;
    tesra_query_handle_t *query_ = nullptr;
    bool first_step_ = true;
    std::vector<tesra_counter_handle_t *> handles_;  // per column in the current member
    std::vector<size_t> first_value_;                // scratch of read_rows
    std::vector<tesra_counter_data_t> empty_cells_;  // a row's cells before its values
    uint64_t time_ = 0;
};

void Walker::report(size_t index, const std::string &what, bool is_error) {
    Finding f;
    f.kind = TESRA_SERIES_DEFINITION_CHANGE;
    f.is_error = is_error;
    f.member = index;
    f.path = s_.members()[index].base;
    f.message = s_.members()[index].base + ": " + what;
    s_.add_finding(std::move(f));
}

tesra_error_t Walker::resolve(const std::vector<std::string> &counters,
                              const std::vector<std::string> &filters) {
    with_columns_ = true;
    todo_ = s_.members_meeting(from_, to_);
    for (const auto &text : filters) {
        const auto eq = text.find('=');
        if (eq == std::string::npos || eq == 0) return TESRA_INVALID_ARGUMENTS;
        KeyFilter k;
        k.name = text.substr(0, eq);
        k.text = text.substr(eq + 1);
        filters_.push_back(std::move(k));
    }
    // The first member in range that has the object gives the period, the keys and the
    // default counters; a counter asked for by name may first appear in a later member.
    bool have_object = false;
    std::vector<std::optional<CounterDef>> named(counters.size());
    auto unresolved = [&] {
        return std::any_of(named.begin(), named.end(), [](const auto &d) { return !d; });
    };
    for (size_t index : todo_) {
        if (have_object && !unresolved()) break;
        OpenArchive a;
        if (auto rc = s_.take(index, &a); rc != TESRA_SUCCESS) {
            if (!s_.skippable(index)) return rc;
            continue;
        }
        tesra_object_handle_t *object = nullptr;
        std::vector<CounterDef> all;
        std::vector<uint64_t> periods;
        tesra_error_t rc = tesra_find_object(a.header, object_.c_str(), &object);
        if (rc == TESRA_SUCCESS) rc = read_counters(object, &all);
        if (rc == TESRA_SUCCESS) rc = read_object_periods(object, &periods);
        s_.give_back(a);
        if (rc == TESRA_OBJECT_NOT_FOUND) continue;
        if (rc != TESRA_SUCCESS) return rc;
        auto find = [&](const std::string &name) -> const CounterDef * {
            for (const auto &d : all) {
                if (d.name == name) return &d;
            }
            return nullptr;
        };
        for (size_t i = 0; i < counters.size(); ++i) {
            const CounterDef *d = named[i] ? nullptr : find(counters[i]);
            if (d != nullptr) named[i] = *d;
        }
        if (have_object) continue;
        have_object = true;

        if (period_ == 0 && !periods.empty()) period_ = periods.front();
        if (std::find(periods.begin(), periods.end(), period_) == periods.end()) {
            return TESRA_PERIOD_NOT_FOUND;
        }
        for (const auto &d : all) {
            if (d.is_key) defs_.push_back(d);
        }
        if (counters.empty()) {
            for (const auto &d : all) {
                if (!d.is_key && d.sampled_at(period_)) defs_.push_back(d);
            }
        }
        for (auto &k : filters_) {
            const CounterDef *d = find(k.name);
            if (d == nullptr || !d->is_key) return TESRA_COUNTER_NOT_FOUND;
            k.data.value_type = d->value_type();
            k.data.num_values = 1;
            if (k.data.value_type != TESRA_CNT_STRING) {
                uint64_t number = 0;
                const char *end = k.text.data() + k.text.size();
                auto [ptr, ec] = std::from_chars(k.text.data(), end, number);
                if (k.text.empty() || ec != std::errc() || ptr != end) {
                    return TESRA_INVALID_ARGUMENTS;
                }
                if (k.data.value_type == TESRA_CNT_4BYTES) {
                    if (number > UINT32_MAX) return TESRA_INVALID_ARGUMENTS;
                    k.cell.val_4B = static_cast<uint32_t>(number);
                } else {
                    k.cell.val_8B = number;
                }
            }
        }
    }
    if (!have_object) return todo_.empty() ? TESRA_SUCCESS : TESRA_OBJECT_NOT_FOUND;
    if (unresolved()) return TESRA_COUNTER_NOT_FOUND;
    for (const auto &d : named) {
        // Key counters come with every row anyway.
        const bool twice = std::any_of(defs_.begin(), defs_.end(),
                                       [&](const CounterDef &c) { return c.name == d->name; });
        if (!d->is_key && !twice) defs_.push_back(*d);
    }
    for (const auto &d : defs_) {
        tesra_series_column_t c{};
        c.name = d.name.c_str();
        c.is_key = d.is_key ? 1 : 0;
        c.cnt_id = d.id;
        c.ctype = d.ctype;
        c.value_type = d.value_type();
        c.num_values = d.num_values();
        columns_.push_back(c);
        tesra_counter_data_t empty{};
        empty.value_type = c.value_type;
        empty_cells_.push_back(empty);
    }
    return TESRA_SUCCESS;
}

tesra_error_t Walker::skip_or_fail(size_t index,
                                   tesra_error_t rc,
                                   const std::string &what,
                                   bool records_read) {
    finish_member();
    s_.mark_damaged(index, rc, what, records_read);
    return s_.strict() ? rc : TESRA_SUCCESS;
}

void Walker::finish_member() {
    // The query and the walk belong to the file handle, which releases them with the next
    // query or walk, or the close.
    active_ = false;
    query_ = nullptr;
    s_.close_archive(current_);
    current_ = OpenArchive{};
}

tesra_error_t Walker::start_member(size_t index, bool *started) {
    *started = false;
    const Member &m = s_.members()[index];
    if (std::max(from_, m.window_start) >= std::min(to_, m.window_end)) {
        return TESRA_SUCCESS;  // opening earlier members moved this window away
    }

    if (auto rc = s_.take(index, &current_); rc != TESRA_SUCCESS) {
        return s_.skippable(index) ? TESRA_SUCCESS : rc;
    }
    // Opening may have taught the member's true span.
    const uint64_t lo = std::max(from_, m.window_start);
    const uint64_t hi = std::min(to_, m.window_end);
    if (lo >= hi) {
        finish_member();
        return TESRA_SUCCESS;
    }
    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_find_object(current_.header, object_.c_str(), &object);
    if (rc == TESRA_OBJECT_NOT_FOUND) {
        report(index, "has no object '" + object_ + "'; no values from it");
        finish_member();
        return TESRA_SUCCESS;
    }
    std::vector<uint64_t> periods;
    if (rc == TESRA_SUCCESS) rc = read_object_periods(object, &periods);
    if (rc != TESRA_SUCCESS) return skip_or_fail(index, rc, "header cannot be read");
    if (period_ != 0 && std::find(periods.begin(), periods.end(), period_) == periods.end()) {
        report(index, "object '" + object_ + "' is not sampled at " + std::to_string(period_) +
                          " ms there; no values from it");
        finish_member();
        return TESRA_SUCCESS;
    }

    std::vector<const char *> names;
    handles_.assign(defs_.size(), nullptr);
    if (with_columns_) {
        std::vector<CounterDef> here;
        if (rc = read_counters(object, &here); rc != TESRA_SUCCESS) {
            return skip_or_fail(index, rc, "header cannot be read");
        }
        bool any_value = false;
        for (size_t i = 0; i < defs_.size(); ++i) {
            auto it = std::find_if(here.begin(), here.end(),
                                   [&](const CounterDef &d) { return d.name == defs_[i].name; });
            if (it == here.end()) {
                report(index, "has no counter '" + object_ + "." + defs_[i].name +
                                  "'; its column stays empty for this archive");
                continue;
            }
            if (!it->same_shape(defs_[i])) {
                report(index,
                       "counter '" + object_ + "." + defs_[i].name + "' is defined differently (" +
                           it->difference(defs_[i]) + ")",
                       true);
                finish_member();
                return TESRA_COUNTER_MISMATCH;
            }
            handles_[i] = it->handle;
            if (!it->is_key) {
                names.push_back(defs_[i].name.c_str());
                any_value = true;
            }
        }
        for (const auto &k : filters_) {
            auto it = std::find_if(here.begin(), here.end(),
                                   [&](const CounterDef &d) { return d.name == k.name; });
            if (it == here.end() || !it->is_key) {
                report(index, "has no key counter '" + k.name + "'; no instance matches there");
                finish_member();
                return TESRA_SUCCESS;
            }
        }
        const bool wanted_values =
            std::any_of(defs_.begin(), defs_.end(), [](const CounterDef &d) { return !d.is_key; });
        // Without any of the counters asked for, the reader would read all of them instead.
        if (wanted_values && !any_value) {
            finish_member();
            return TESRA_SUCCESS;
        }
    }

    std::vector<const char *> key_names;
    std::vector<tesra_counter_data_t> key_values(filters_.size());
    for (size_t i = 0; i < filters_.size(); ++i) {
        key_names.push_back(filters_[i].name.c_str());
        key_values[i] = filters_[i].data;
        key_values[i].values = &filters_[i].cell;
        if (filters_[i].data.value_type == TESRA_CNT_STRING) {
            filters_[i].cell.val_str = filters_[i].text.c_str();
        }
    }
    tesra_query_def_t def{};
    tesra_set_latest_version(&def);
    def.object_name = object_.c_str();
    def.num_key_cnts = static_cast<uint32_t>(key_names.size());
    def.key_cnt_names = key_names.empty() ? nullptr : key_names.data();
    def.key_cnt_values = key_values.empty() ? nullptr : key_values.data();
    def.num_cnts = static_cast<uint32_t>(names.size());
    def.cnt_names = names.empty() ? nullptr : names.data();
    def.start_time = lo;
    def.end_time = hi - 1;  // the reader's range includes its end
    def.period = period_ != 0 ? period_ : (periods.empty() ? 0 : periods.front());
    rc = tesra_query(current_.file, &def, &query_);
    if (rc == TESRA_RECORD_NOT_FOUND || rc == TESRA_INVALID_QUERY ||
        (rc == TESRA_SUCCESS && query_ == nullptr)) {
        finish_member();  // nothing at that period or in that range
        return TESRA_SUCCESS;
    }
    if (rc != TESRA_SUCCESS) return skip_or_fail(index, rc, "query failed");
    first_step_ = true;
    active_ = true;
    *started = true;
    return TESRA_SUCCESS;
}

tesra_error_t Walker::read_instance(tesra_instance_handle_t *instance, RowStore &r) {
    // Every row starts from the empty cells of the columns: a counter the member lacks keeps its
    // empty cell.
    r.cells = empty_cells_;
    r.values.clear();
    r.strings.clear();
    const size_t n = handles_.size();
    first_value_.resize(n);
    // The whole instance in one call, in lists the reader reuses from instance to instance.
    tesra_instance_values_t_v6_0 all{};
    if (tesra_error_t rc = tesra_get_instance_values(instance, &all); rc != TESRA_SUCCESS) {
        return rc;
    }
    size_t column = 0;  // counters come in column order: the search starts after the last match
    for (uint32_t c = 0; c < all.num_cnts; ++c) {
        const tesra_counter_handle_t *counter = all.counters[c];
        size_t tried = 0;
        for (; tried < n && handles_[column] != counter; ++tried) {
            column = column + 1 == n ? 0 : column + 1;
        }
        if (tried < n) {
            const tesra_counter_data_t &v = all.values[c];
            const uint32_t count = v.values != nullptr ? v.num_values : 0;
            first_value_[column] = r.values.size();
            if (v.value_type != TESRA_CNT_STRING) {
                if (count == 1) {
                    r.values.push_back(v.values[0]);
                } else {
                    r.values.insert(r.values.end(), v.values, v.values + count);
                }
            } else {
                for (uint32_t i = 0; i < count; ++i) {
                    // Strings are parked by index until the row's storage stops moving.
                    const char *text = v.values[i].val_str;
                    r.strings.emplace_back(text != nullptr ? text : "");
                    tesra_cnt_value_t cell{};
                    cell.val_8B = r.strings.size() - 1;
                    r.values.push_back(cell);
                }
            }
            r.cells[column].value_type = v.value_type;
            r.cells[column].num_values = count;
            column = column + 1 == n ? 0 : column + 1;
        }
    }
    for (size_t i = 0; i < r.cells.size(); ++i) {
        tesra_counter_data_t &c = r.cells[i];
        if (c.num_values == 0) continue;
        c.values = r.values.data() + first_value_[i];
        if (c.value_type != TESRA_CNT_STRING) continue;
        for (uint32_t j = 0; j < c.num_values; ++j) {
            c.values[j].val_str = r.strings[static_cast<size_t>(c.values[j].val_8B)].c_str();
        }
    }
    r.row.time = time_;
    r.row.member = current_.member;
    r.row.values = r.cells.data();
    r.row.num_columns = static_cast<uint32_t>(r.cells.size());
    return TESRA_SUCCESS;
}

tesra_error_t Walker::read_rows(tesra_timestamp_handle_t *ts,
                                std::vector<RowStore> *rows,
                                size_t *num_rows) {
    *num_rows = 0;
    tesra_instance_handle_t *instance = nullptr;
    tesra_error_t rc = tesra_first_instance(ts, &instance);
    while (rc == TESRA_SUCCESS && instance != nullptr) {
        if (rows->size() == *num_rows) rows->emplace_back();
        if (rc = read_instance(instance, (*rows)[*num_rows]); rc != TESRA_SUCCESS) break;
        ++*num_rows;
        rc = tesra_next_instance(ts, &instance);
    }
    return rc;
}

tesra_error_t Walker::step_query(std::vector<RowStore> *rows, size_t *num_rows, bool *found) {
    tesra_timestamp_handle_t *ts = nullptr;
    tesra_error_t rc = TESRA_INSTANCE_NOT_FOUND;
    // A time at which no instance matches the key filters is skipped by the next step.
    while (rc == TESRA_INSTANCE_NOT_FOUND) {
        rc = first_step_ ? tesra_first_timestamp(query_, &ts) : tesra_next_timestamp(query_, &ts);
        first_step_ = false;
    }
    if (rc == TESRA_SUCCESS && ts != nullptr) rc = tesra_get_timestamp(ts, &time_);
    if (rc == TESRA_SUCCESS && ts != nullptr && rows != nullptr) rc = read_rows(ts, rows, num_rows);
    *found = ts != nullptr;
    return rc;
}

tesra_error_t Walker::next_time(std::vector<RowStore> *rows, size_t *num_rows, bool *done) {
    *done = false;
    if (num_rows != nullptr) *num_rows = 0;
    while (true) {
        if (!active_) {
            if (next_ >= todo_.size()) {
                *done = true;
                return TESRA_SUCCESS;
            }
            bool started = false;
            if (auto rc = start_member(todo_[next_++], &started); rc != TESRA_SUCCESS) return rc;
            continue;
        }
        bool found = false;
        const tesra_error_t rc = step_query(rows, num_rows, &found);
        if (rc != TESRA_SUCCESS) {
            if (auto r = skip_or_fail(current_.member, rc, "reading its records failed", true);
                r != TESRA_SUCCESS) {
                return r;
            }
            continue;
        }
        if (!found) {
            finish_member();
            continue;
        }
        return TESRA_SUCCESS;
    }
}

}  // namespace
}  // namespace tesra::series

struct tesra_series_cursor {
    tesra_series_cursor(tesra::series::Series &s, const tesra_series_query_t &q)
        : walker(s, q.object_name, q.period, q.from, q.to == 0 ? tesra::series::kEndOfTime : q.to) {
    }
    tesra::series::Walker walker;
    std::vector<tesra::series::RowStore> rows;
    size_t num_rows = 0;
    size_t next_row = 0;
    bool done = false;
    tesra_error_t failure = TESRA_SUCCESS;
};

extern "C" tesra_error_t tesra_series_query_values(tesra_series_t *series,
                                                   const tesra_series_query_t *query,
                                                   tesra_series_cursor_t **out) {
    if (series == nullptr || query == nullptr || out == nullptr || query->object_name == nullptr ||
        (query->num_counters > 0 && query->counter_names == nullptr) ||
        (query->num_key_filters > 0 && query->key_filters == nullptr)) {
        return TESRA_INVALID_ARGUMENTS;
    }
    if (query->to != 0 && query->from > query->to) return TESRA_INVALID_TIMESTAMP;
    if (query->period != 0 && !tesra_is_period_valid(query->period)) return TESRA_PERIOD_NOT_FOUND;
    return tesra::guarded([&] {
        std::vector<std::string> counters, filters;
        for (uint32_t i = 0; i < query->num_counters; ++i) {
            if (query->counter_names[i] == nullptr) return TESRA_INVALID_ARGUMENTS;
            counters.emplace_back(query->counter_names[i]);
        }
        for (uint32_t i = 0; i < query->num_key_filters; ++i) {
            if (query->key_filters[i] == nullptr) return TESRA_INVALID_ARGUMENTS;
            filters.emplace_back(query->key_filters[i]);
        }
        auto cursor = std::make_unique<tesra_series_cursor>(*series, *query);
        if (auto rc = cursor->walker.resolve(counters, filters); rc != TESRA_SUCCESS) return rc;
        *out = cursor.release();
        return TESRA_SUCCESS;
    });
}

extern "C" tesra_error_t tesra_series_cursor_columns(const tesra_series_cursor_t *cursor,
                                                     const tesra_series_column_t **columns,
                                                     uint32_t *num_columns) {
    if (cursor == nullptr || columns == nullptr || num_columns == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    const auto &c = cursor->walker.columns();
    *columns = c.empty() ? nullptr : c.data();
    *num_columns = static_cast<uint32_t>(c.size());
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_series_next_row(tesra_series_cursor_t *cursor,
                                               const tesra_series_row_t **row) {
    if (cursor == nullptr || row == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (cursor->failure != TESRA_SUCCESS) return cursor->failure;
    return tesra::guarded([&] {
        while (cursor->next_row >= cursor->num_rows) {
            if (cursor->done) {
                *row = nullptr;
                return TESRA_SUCCESS;
            }
            cursor->next_row = 0;
            tesra_error_t rc =
                cursor->walker.next_time(&cursor->rows, &cursor->num_rows, &cursor->done);
            if (rc != TESRA_SUCCESS) {
                cursor->failure = rc;
                cursor->num_rows = 0;
                return rc;
            }
        }
        *row = &cursor->rows[cursor->next_row++].row;
        return TESRA_SUCCESS;
    });
}

extern "C" void tesra_series_free_cursor(tesra_series_cursor_t *cursor) {
    delete cursor;
}

extern "C" tesra_error_t tesra_series_get_times(tesra_series_t *series,
                                                const char *object_name,
                                                uint64_t period,
                                                uint64_t from,
                                                uint64_t to,
                                                uint64_t **times,
                                                size_t **members,
                                                size_t *count) {
    if (series == nullptr || object_name == nullptr || times == nullptr || count == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    if (from > to) return TESRA_INVALID_TIMESTAMP;
    if (!tesra_is_period_valid(period)) return TESRA_PERIOD_NOT_FOUND;
    return tesra::guarded([&] {
        tesra::series::Walker walker(*series, object_name, period, from, to);
        walker.plan_times();
        std::vector<uint64_t> found_times;
        std::vector<size_t> found_members;
        while (true) {
            bool done = false;
            if (auto rc = walker.next_time(nullptr, nullptr, &done); rc != TESRA_SUCCESS) {
                return rc;
            }
            if (done) break;
            found_times.push_back(walker.time());
            found_members.push_back(walker.member());
        }
        const size_t n = found_times.size();
        tesra::c_ptr<uint64_t> t(n ? tesra::c_calloc<uint64_t>(n) : nullptr);
        tesra::c_ptr<size_t> m(n && members != nullptr ? tesra::c_calloc<size_t>(n) : nullptr);
        if (n != 0 && (!t || (members != nullptr && !m))) return TESRA_NULL_POINTER;
        if (n != 0) std::copy(found_times.begin(), found_times.end(), t.get());
        if (m) std::copy(found_members.begin(), found_members.end(), m.get());
        *times = t.release();
        if (members != nullptr) *members = m.release();
        *count = n;
        return TESRA_SUCCESS;
    });
}
