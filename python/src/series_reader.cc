// A node's archive series behind the Python package, over libtesraseries.
#include "series_reader.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace tesra::py {

namespace {

std::string text_of(const char *s) {
    return s != nullptr ? std::string(s) : std::string();
}

const char *kind_name(tesra_series_finding_kind_t kind) {
    switch (kind) {
        case TESRA_SERIES_GAP:
            return "gap";
        case TESRA_SERIES_OVERLAP:
            return "overlap";
        case TESRA_SERIES_NOT_ARCHIVE:
            return "not an archive";
        case TESRA_SERIES_DAMAGED:
            return "damaged";
        case TESRA_SERIES_SPAN_MISMATCH:
            return "span mismatch";
        case TESRA_SERIES_DEFINITION_CHANGE:
            return "definition change";
        case TESRA_SERIES_DUPLICATE_INDEX:
            return "duplicate index";
        case TESRA_SERIES_TIME_BACKWARDS:
            return "time backwards";
        case TESRA_SERIES_NODES:
            return "nodes";
        case TESRA_SERIES_EMPTY:
            return "empty";
    }
    return "unknown";
}

int64_t member_position(size_t m) {
    return m == TESRA_SERIES_NO_MEMBER ? -1 : static_cast<int64_t>(m);
}

struct CursorDeleter {
    void operator()(tesra_series_cursor_t *c) const noexcept { tesra_series_free_cursor(c); }
};

}  // namespace

SeriesReader::SeriesReader(const std::vector<std::string> &sources,
                           std::optional<std::string> node,
                           bool strict) {
    for (const auto &s : sources) name_ += (name_.empty() ? "" : ", ") + s;
    std::vector<const char *> paths;
    for (const auto &s : sources) paths.push_back(s.c_str());
    tesra_series_options_t options{};
    options.node = node ? node->c_str() : nullptr;
    options.strict = strict ? 1 : 0;
    tesra_series_t *series = nullptr;
    tesra_error_t rc = tesra_series_open(paths.data(), paths.size(), &options, &series);
    series_ = series;
    if (rc != TESRA_SUCCESS) {
        // The findings explain the refusal: name them in the error.
        std::string why;
        for (const auto &f : findings_locked()) {
            if (f.is_error) why += (why.empty() ? "" : "; ") + f.message;
        }
        tesra_series_close(series_);
        series_ = nullptr;
        throw ReaderError(rc, name_, why.empty() ? "open series" : "open series (" + why + ")");
    }
}

SeriesReader::~SeriesReader() {
    tesra_series_close(series_);
}

void SeriesReader::close() {
    std::lock_guard lock(mutex_);
    tesra_series_close(series_);
    series_ = nullptr;
}

bool SeriesReader::is_open() const {
    std::lock_guard lock(mutex_);
    return series_ != nullptr;
}

void SeriesReader::check_open() const {
    if (series_ == nullptr) throw std::invalid_argument("series " + name_ + " is closed");
}

void SeriesReader::fail(tesra_error_t rc, const std::string &operation) const {
    throw ReaderError(rc, name_, operation);
}

std::vector<SeriesMember> SeriesReader::members() {
    std::lock_guard lock(mutex_);
    check_open();
    std::vector<SeriesMember> out;
    const size_t n = tesra_series_member_count(series_);
    for (size_t i = 0; i < n; ++i) {
        tesra_series_member_t m{};
        if (tesra_error_t rc = tesra_series_get_member(series_, i, &m); rc != TESRA_SUCCESS) {
            fail(rc, "read series member");
        }
        SeriesMember s;
        s.base = text_of(m.base);
        s.file_index = m.file_index;
        s.hostname = text_of(m.hostname);
        s.node_uuid = text_of(m.node_uuid);
        s.contents_known = m.contents_known != 0;
        s.first = m.contents_first;
        s.last = m.contents_last;
        s.window_start = m.window_start;
        s.window_end = m.window_end;
        s.state = m.state == TESRA_SERIES_MEMBER_DAMAGED          ? "damaged"
                  : m.state == TESRA_SERIES_MEMBER_BEING_WRITTEN ? "being written"
                                                                  : "closed";
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<SeriesFinding> SeriesReader::findings_locked() const {
    std::vector<SeriesFinding> out;
    const size_t n = tesra_series_finding_count(series_);
    for (size_t i = 0; i < n; ++i) {
        tesra_series_finding_t f{};
        if (tesra_series_get_finding(series_, i, &f) != TESRA_SUCCESS) continue;
        out.push_back({kind_name(f.kind), f.is_error != 0, member_position(f.member),
                       member_position(f.other), text_of(f.path), f.from, f.to,
                       text_of(f.message)});
    }
    return out;
}

std::vector<SeriesFinding> SeriesReader::findings() {
    std::lock_guard lock(mutex_);
    check_open();
    return findings_locked();
}

std::vector<SeriesObject> SeriesReader::catalogue() {
    std::lock_guard lock(mutex_);
    check_open();
    tesra_series_catalogue_t *catalogue = nullptr;
    if (tesra_error_t rc = tesra_series_get_catalogue(series_, 0, UINT64_MAX, &catalogue);
        rc != TESRA_SUCCESS) {
        fail(rc, "read the catalogue");
    }
    std::unique_ptr<tesra_series_catalogue_t, void (*)(tesra_series_catalogue_t *)> owner(
        catalogue, tesra_series_free_catalogue);
    std::vector<SeriesObject> out;
    for (uint32_t i = 0; catalogue != nullptr && i < catalogue->num_objects; ++i) {
        const tesra_series_object_t &o = catalogue->objects[i];
        SeriesObject obj;
        obj.name = text_of(o.name);
        obj.id = o.obj_id;
        obj.periods.assign(o.periods, o.periods + std::min<uint8_t>(o.num_periods, TESRA_NUM_PERIODS));
        obj.first_member = o.first_member;
        obj.last_member = o.last_member;
        for (uint32_t k = 0; k < o.num_counters; ++k) {
            const tesra_series_counter_t &c = o.counters[k];
            SeriesCounter sc;
            sc.name = text_of(c.name);
            sc.id = c.cnt_id;
            sc.is_key = c.is_key != 0;
            sc.ctype = c.ctype;
            sc.size = c.size;
            sc.num_values = std::max<uint32_t>(1, c.num_values);
            sc.periods.assign(c.periods,
                              c.periods + std::min<uint8_t>(c.num_periods, TESRA_NUM_PERIODS));
            sc.description = text_of(c.desc);
            sc.first_member = c.first_member;
            sc.changed = c.changed != 0;
            obj.counters.push_back(std::move(sc));
        }
        out.push_back(std::move(obj));
    }
    // Ascending id, as one archive lists them.
    std::sort(out.begin(), out.end(),
              [](const SeriesObject &a, const SeriesObject &b) { return a.id < b.id; });
    return out;
}

std::vector<uint64_t> SeriesReader::timestamps(const std::string &object, uint64_t period) {
    std::lock_guard lock(mutex_);
    check_open();
    uint64_t *times = nullptr;
    size_t count = 0;
    if (tesra_error_t rc = tesra_series_get_times(series_, object.c_str(), period, 0, UINT64_MAX,
                                                  &times, nullptr, &count);
        rc != TESRA_SUCCESS) {
        fail(rc, "sample times of '" + object + "'");
    }
    std::vector<uint64_t> out(times, times + count);
    std::free(times);
    return out;
}

ValuesResult SeriesReader::values(const SeriesValuesRequest &request) {
    std::lock_guard lock(mutex_);
    check_open();
    const ValuesRequest &r = request.values;
    std::vector<const char *> names;
    for (const auto &c : r.counters) names.push_back(c.c_str());
    std::vector<std::string> filters;
    for (const auto &[k, v] : r.keys) filters.push_back(k + "=" + v);
    std::vector<const char *> filter_ptrs;
    for (const auto &f : filters) filter_ptrs.push_back(f.c_str());
    if (r.has_start && r.has_end && r.start > r.end) {
        throw std::invalid_argument("the start of the range is after its end");
    }
    tesra_series_query_t query{};
    query.object_name = r.object.c_str();
    query.period = r.has_period ? r.period : 0;
    query.from = r.has_start ? r.start : 0;
    // Inclusive end; 0 is the walk's "no bound".
    query.to = r.has_end ? (r.end == UINT64_MAX ? 0 : r.end + 1) : 0;
    query.counter_names = names.empty() ? nullptr : names.data();
    query.num_counters = static_cast<uint32_t>(names.size());
    query.key_filters = filter_ptrs.empty() ? nullptr : filter_ptrs.data();
    query.num_key_filters = static_cast<uint32_t>(filter_ptrs.size());

    tesra_series_cursor_t *raw = nullptr;
    if (tesra_error_t rc = tesra_series_query_values(series_, &query, &raw); rc != TESRA_SUCCESS) {
        fail(rc, "query '" + r.object + "'");
    }
    std::unique_ptr<tesra_series_cursor_t, CursorDeleter> cursor(raw);
    const tesra_series_column_t *columns = nullptr;
    uint32_t num_columns = 0;
    if (tesra_error_t rc = tesra_series_cursor_columns(cursor.get(), &columns, &num_columns);
        rc != TESRA_SUCCESS) {
        fail(rc, "read the columns of '" + r.object + "'");
    }

    ValuesResult out;
    out.period = query.period;
    std::vector<size_t> first(num_columns);
    for (uint32_t i = 0; i < num_columns; ++i) {
        const tesra_series_column_t &c = columns[i];
        std::vector<Column> &into = c.is_key ? out.keys : out.columns;
        first[i] = into.size();
        std::vector<std::string> col_names;
        for (const auto &[name, labelled] : request.labels) {
            if (name == text_of(c.name) && labelled.size() == c.num_values) col_names = labelled;
        }
        for (uint32_t k = 0; k < std::max<uint32_t>(1, c.num_values); ++k) {
            Column col;
            col.name = !col_names.empty() ? col_names[k]
                       : c.num_values > 1 ? text_of(c.name) + "[" + std::to_string(k) + "]"
                                          : text_of(c.name);
            col.kind = c.value_type == TESRA_CNT_STRING  ? Column::Kind::kString
                       : c.value_type == TESRA_CNT_4BYTES ? Column::Kind::kU32
                                                          : Column::Kind::kU64;
            into.push_back(std::move(col));
        }
    }

    uint64_t last_time = 0;
    size_t position = 0;  // of the row's instance among those of its time
    while (true) {
        const tesra_series_row_t *row = nullptr;
        if (tesra_error_t rc = tesra_series_next_row(cursor.get(), &row); rc != TESRA_SUCCESS) {
            fail(rc, out.times.empty()
                         ? "read the first sample of '" + r.object + "'"
                         : "read the sample after " + iso_time(last_time) + " of '" + r.object +
                               "'");
        }
        if (row == nullptr) break;
        if (out.times.empty() || row->time != out.times.back()) {
            out.times.push_back(row->time);
            position = 0;
        }
        last_time = row->time;
        out.row_time.push_back(static_cast<uint32_t>(out.times.size() - 1));
        for (uint32_t i = 0; i < num_columns; ++i) {
            std::vector<Column> &into = columns[i].is_key ? out.keys : out.columns;
            const uint32_t n = std::max<uint32_t>(1, columns[i].num_values);
            const tesra_counter_data_t *v = i < row->num_columns ? &row->values[i] : nullptr;
            for (uint32_t k = 0; k < n; ++k) {
                Column &col = into[first[i] + k];
                if (v == nullptr || v->values == nullptr || k >= v->num_values) {
                    col.push_missing();
                } else {
                    col.push_value(v->values[k], v->value_type, position);
                }
            }
        }
        ++position;
    }
    return out;
}

}  // namespace tesra::py
