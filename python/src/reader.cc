// The archive reader behind the Python package, over the public C interface.
#include "reader.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/mman.h>
#include <type_traits>

#include "tesra/tesra_values.h"

namespace tesra::py {

namespace {

std::string text_of(const char *s) {
    return s != nullptr ? std::string(s) : std::string();
}

std::string period_text(uint64_t period) {
    if (period == TESRA_ONCE_PER_ARCHIVE_PERIOD) return "once";
    if (period % 3600000 == 0) return std::to_string(period / 3600000) + "h";
    if (period % 60000 == 0) return std::to_string(period / 60000) + "m";
    if (period % 1000 == 0) return std::to_string(period / 1000) + "s";
    return std::to_string(period) + "ms";
}

}  // namespace

ReaderError::ReaderError(tesra_error_t code, std::string archive, std::string operation)
    : std::runtime_error(archive + ": " + operation + ": " + error_label(code)),
      code_(code),
      archive_(std::move(archive)),
      operation_(std::move(operation)) {}

std::string error_label(tesra_error_t code) {
    auto index = static_cast<uint32_t>(code);
    if (index < TESRA_ERROR_CODES_MAX_INDEX && tesra_error_labels[index] != nullptr) {
        return tesra_error_labels[index];
    }
    return "error code " + std::to_string(index);
}

std::string iso_time(uint64_t ms) {
    auto seconds = static_cast<time_t>(ms / 1000);
    std::tm tm{};
    if (gmtime_r(&seconds, &tm) == nullptr) return std::to_string(ms) + " ms";
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[80];
    std::snprintf(out, sizeof out, "%s.%03uZ", buf, static_cast<unsigned>(ms % 1000));
    return out;
}

// ---- definitions ---------------------------------------------------------------------------

uint32_t CounterDef::num_values() const {
    if (x_names.empty()) return 1;
    if (y_names.empty()) return static_cast<uint32_t>(x_names.size());
    return static_cast<uint32_t>(x_names.size() * y_names.size());
}

bool CounterDef::sampled_at(uint64_t period) const {
    return std::find(periods.begin(), periods.end(), period) != periods.end();
}

std::vector<std::string> CounterDef::column_names() const {
    uint32_t n = num_values();
    if (n == 1) return {name};
    std::vector<std::string> out;
    out.reserve(n);
    for (uint32_t k = 0; k < n; ++k) {
        if (!y_names.empty() && !x_names.empty()) {
            size_t ny = y_names.size();
            out.push_back(name + "[" + x_names[k / ny] + "," + y_names[k % ny] + "]");
        } else if (k < x_names.size()) {
            out.push_back(name + "[" + x_names[k] + "]");
        } else {
            out.push_back(name + "[" + std::to_string(k) + "]");
        }
    }
    return out;
}

// ---- columns -------------------------------------------------------------------------------

void Column::push_number(const tesra_cnt_value_t &v, tesra_cnt_data_type_t type) {
    uint64_t n = type == TESRA_CNT_4BYTES ? v.val_4B : type == TESRA_CNT_8BYTES ? v.val_8B : 0;
    switch (kind) {
        case Kind::kU32:
            u32.push_back(static_cast<uint32_t>(n));
            break;
        case Kind::kU64:
            u64.push_back(n);
            break;
        case Kind::kString:
            push_string(type == TESRA_CNT_STRING ? std::string_view(text_of(v.val_str))
                                                 : std::string_view(std::to_string(n)));
            break;
    }
}

void Column::push_string(std::string_view s) {
    if (kind != Kind::kString) {
        push_missing();
        return;
    }
    auto it = lookup_.find(s);
    if (it == lookup_.end()) {
        it = lookup_.emplace(std::string(s), static_cast<uint32_t>(strings.size())).first;
        strings.emplace_back(s);
    }
    codes.push_back(it->second);
}

void Column::push_text(std::string_view s, size_t position) {
    if (kind != Kind::kString) {
        push_missing();
        return;
    }
    if (position < by_position_.size()) {
        uint32_t code = by_position_[position];
        if (code < strings.size() && strings[code] == s) {
            codes.push_back(code);
            return;
        }
    } else {
        by_position_.resize(position + 1, UINT32_MAX);
    }
    push_string(s);
    by_position_[position] = codes.back();
}

void Column::reserve(size_t rows) {
    switch (kind) {
        case Kind::kU32:
            u32.reserve(rows);
            break;
        case Kind::kU64:
            u64.reserve(rows);
            break;
        case Kind::kString:
            codes.reserve(rows);
            break;
    }
}

void Column::reserve_in(const std::shared_ptr<ColumnArena> &arena, size_t rows) {
    auto move_to = [&](auto &values) {
        using Values = std::remove_reference_t<decltype(values)>;
        Values moved{typename Values::allocator_type(arena)};
        moved.reserve(std::max(rows, values.size()));
        moved.insert(moved.end(), values.begin(), values.end());
        values = std::move(moved);
    };
    switch (kind) {
        case Kind::kU32:
            move_to(u32);
            break;
        case Kind::kU64:
            move_to(u64);
            break;
        case Kind::kString:
            move_to(codes);
            break;
    }
}

std::shared_ptr<ColumnArena> ColumnArena::create(size_t bytes) {
    constexpr size_t kHuge = size_t{2} << 20;
    if (bytes == 0 || bytes > SIZE_MAX - 2 * kHuge) return nullptr;
    // Aligned to the huge page size, so that the kernel can back the whole block with them.
    const size_t size = (bytes + kHuge - 1) / kHuge * kHuge;
    const size_t mapped = size + kHuge;
    void *p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    auto *mapping = static_cast<char *>(p);
    const auto misalign = reinterpret_cast<uintptr_t>(mapping) % kHuge;
    char *base = mapping + (misalign == 0 ? 0 : kHuge - misalign);
#ifdef MADV_HUGEPAGE
    madvise(base, size, MADV_HUGEPAGE);  // advice only: without it the block still works
#endif
    return std::shared_ptr<ColumnArena>(new ColumnArena(mapping, mapped, base, size));
}

ColumnArena::~ColumnArena() {
    munmap(mapping_, mapped_);
}

void *ColumnArena::take(size_t bytes, size_t align) {
    const size_t start = (used_ + align - 1) / align * align;
    if (start > size_ || bytes > size_ - start) return nullptr;
    used_ = start + bytes;
    return base_ + start;
}

void Column::push_missing() {
    if (missing.size() < size()) missing.resize(size(), 0);
    missing.push_back(1);
    switch (kind) {
        case Kind::kU32:
            u32.push_back(0);
            break;
        case Kind::kU64:
            u64.push_back(0);
            break;
        case Kind::kString:
            push_string("");
            break;
    }
}

size_t Column::size() const {
    switch (kind) {
        case Kind::kU32:
            return u32.size();
        case Kind::kU64:
            return u64.size();
        default:
            return codes.size();
    }
}

// ---- Reader --------------------------------------------------------------------------------

Reader::Reader(const std::string &base) : base_(base) {
    const char *meta = nullptr;
    const char *data = nullptr;
    tesra_file_handle_t *file = nullptr;
    if (tesra_error_t rc = tesra_open_data_file(base.c_str(), "r", &file, &meta, &data);
        rc != TESRA_SUCCESS) {
        throw ReaderError(rc, base_, "open");
    }
    file_ = file;
    tesra_file_def_t info{};
    tesra_system_def_t_v6_0 system{};
    tesra_error_t rc = tesra_get_file_info(file_, &info);
    if (rc == TESRA_SUCCESS) rc = tesra_get_header(file_, &header_);
    if (rc == TESRA_SUCCESS && header_ == nullptr) rc = TESRA_NULL_POINTER;
    if (rc == TESRA_SUCCESS) rc = tesra_get_system_info(header_, &system);
    if (rc != TESRA_SUCCESS) {
        tesra_close_data_file(file_);
        file_ = nullptr;
        throw ReaderError(rc, base_, "read the header");
    }
    base_time_ = system.base_time;
    start_time_ = info.start_time;
    end_time_ = info.end_time;
}

Reader::~Reader() {
    if (file_ != nullptr) tesra_close_data_file(file_);
}

void Reader::close() {
    std::lock_guard lock(mutex_);
    if (file_ == nullptr) return;
    tesra_error_t rc = tesra_close_data_file(file_);
    file_ = nullptr;
    header_ = nullptr;
    ++walk_;
    if (rc != TESRA_SUCCESS) throw ReaderError(rc, base_, "close");
}

bool Reader::is_open() const {
    std::lock_guard lock(mutex_);
    return file_ != nullptr;
}

void Reader::check_open() const {
    if (file_ == nullptr) throw std::invalid_argument("archive " + base_ + " is closed");
}

void Reader::fail(tesra_error_t rc, const std::string &operation) const {
    throw ReaderError(rc, base_, operation);
}

ArchiveInfo Reader::info() {
    std::lock_guard lock(mutex_);
    check_open();
    ArchiveInfo out;
    tesra_file_def_t file{};
    tesra_system_def_t_v6_0 system{};
    tesra_header_def_t_v6_0 header{};
    if (tesra_error_t rc = tesra_get_file_info(file_, &file); rc != TESRA_SUCCESS) {
        fail(rc, "read file information");
    }
    if (tesra_error_t rc = tesra_get_system_info(header_, &system); rc != TESRA_SUCCESS) {
        fail(rc, "read system information");
    }
    if (tesra_error_t rc = tesra_get_header_info(header_, &header); rc != TESRA_SUCCESS) {
        fail(rc, "read header information");
    }
    out.base = base_;
    out.meta_path = text_of(file.meta_path);
    out.data_path = text_of(file.data_path);
    out.major = file.major_v;
    out.minor = file.minor_v;
    out.base_time = system.base_time;
    out.start_time = file.start_time;
    out.end_time = file.end_time;
    out.generation_id = header.generation_id;
    out.preset_version = text_of(header.preset_version);
    out.system = {{"hostname", text_of(system.hostname)},
                  {"node_uuid", text_of(system.node_uuid)},
                  {"model", text_of(system.model)},
                  {"serial_number", text_of(system.serial_number)},
                  {"system_id", text_of(system.system_id)},
                  {"cluster_name", text_of(system.cluster_name)},
                  {"cluster_id", text_of(system.cluster_id)},
                  {"process_name", text_of(system.process_name)},
                  {"store_name", text_of(system.store_name)},
                  {"software_version", text_of(system.nelvo_version)}};
    // A writer names an archive it has not closed yet with this template in place of its
    // start time and duration.
    out.being_written = base_.find("_0000000000000_0000000.") != std::string::npos;
    return out;
}

std::vector<uint64_t> Reader::periods_of(tesra_object_handle_t *object) {
    uint64_t *periods = nullptr;
    uint32_t count = 0;
    if (tesra_error_t rc = tesra_get_object_periods(object, &periods, &count);
        rc != TESRA_SUCCESS) {
        fail(rc, "read object periods");
    }
    std::vector<uint64_t> out;
    if (periods != nullptr) out.assign(periods, periods + count);
    std::free(periods);
    return out;
}

std::vector<ObjectDef> Reader::objects() {
    std::lock_guard lock(mutex_);
    check_open();
    std::vector<ObjectDef> out;
    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_first_object(header_, &object);
    while (rc == TESRA_SUCCESS && object != nullptr) {
        tesra_object_def_t def{};
        if (rc = tesra_get_object_info(object, &def); rc != TESRA_SUCCESS) break;
        out.push_back({text_of(def.name), def.obj_id, periods_of(object)});
        rc = tesra_next_object(header_, &object);
    }
    if (rc != TESRA_SUCCESS) fail(rc, "walk objects");
    return out;
}

tesra_object_handle_t *Reader::find_object(const std::string &name) {
    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_find_object(header_, name.c_str(), &object);
    if (rc == TESRA_SUCCESS && object == nullptr) rc = TESRA_OBJECT_NOT_FOUND;
    if (rc != TESRA_SUCCESS) fail(rc, "find object '" + name + "'");
    return object;
}

std::vector<CounterDef> Reader::counters_locked(tesra_object_handle_t *object) {
    std::vector<CounterDef> out;
    tesra_counter_handle_t *counter = nullptr;
    tesra_error_t rc = tesra_first_counter(object, &counter);
    while (rc == TESRA_SUCCESS && counter != nullptr) {
        tesra_counter_def_t def{};
        if (rc = tesra_get_counter_info(counter, &def); rc != TESRA_SUCCESS) break;
        CounterDef c;
        c.handle = counter;
        c.id = def.cnt_id;
        c.name = text_of(def.name);
        c.description = text_of(def.desc);
        c.is_key = def.is_key;
        c.ctype = def.ctype;
        c.size = def.size;
        for (uint32_t i = 0; i < def.num_periods && i < TESRA_NUM_PERIODS; ++i) {
            c.periods.push_back(def.periods[i]);
        }
        for (uint32_t i = 0; def.x_names != nullptr && i < def.num_x_items; ++i) {
            c.x_names.push_back(text_of(def.x_names[i]));
        }
        for (uint32_t i = 0; def.y_names != nullptr && i < def.num_y_items; ++i) {
            c.y_names.push_back(text_of(def.y_names[i]));
        }
        out.push_back(std::move(c));
        rc = tesra_next_counter(object, &counter);
    }
    if (rc != TESRA_SUCCESS) fail(rc, "walk counters");
    return out;
}

std::vector<CounterDef> Reader::counters(const std::string &object) {
    std::lock_guard lock(mutex_);
    check_open();
    return counters_locked(find_object(object));
}

namespace {

// The query definition of a request, with the storage its pointers refer to.
struct QueryDef {
    std::vector<const char *> names;
    std::vector<const char *> key_names;
    std::vector<tesra_counter_data_t> key_values;
    std::vector<tesra_cnt_value_t> cells;
    tesra_query_def_t def{};
};

// One column of a values row: the value it takes from the instance's lists, or none.
struct RowStep {
    static constexpr uint32_t kMissing = UINT32_MAX;
    Column *column;
    uint32_t value;  // index in the instance's value lists, or kMissing
    uint32_t k;      // value within the list
};

Column::Kind kind_of(const CounterDef &c) {
    if (c.is_string()) return Column::Kind::kString;
    return c.element_width() == 4 ? Column::Kind::kU32 : Column::Kind::kU64;
}

uint64_t parse_key_number(const CounterDef &c, const std::string &text) {
    uint64_t number = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        throw std::invalid_argument("key counter '" + c.name + "' holds numbers, not '" + text +
                                    "'");
    }
    if (c.element_width() == 4 && number > UINT32_MAX) {
        throw std::invalid_argument("key counter '" + c.name + "' holds 32-bit numbers, not " +
                                    text);
    }
    return number;
}

}  // namespace

std::vector<uint64_t> Reader::timestamps(const std::string &object_name, uint64_t period) {
    ValuesRequest request;
    request.object = object_name;
    request.has_period = true;
    request.period = period;
    request.times_only = true;
    ValuesResult result = values(request);
    return std::move(result.times);
}

ValuesResult Reader::values(const ValuesRequest &request) {
    std::lock_guard lock(mutex_);
    check_open();
    ++walk_;  // the query shares the file handle with record walks
    tesra_object_handle_t *object = find_object(request.object);
    std::vector<CounterDef> defs = counters_locked(object);
    std::vector<uint64_t> periods = periods_of(object);
    if (periods.empty()) {
        throw std::invalid_argument("object '" + request.object + "' has no sampling periods");
    }
    ValuesResult out;
    out.period = request.has_period ? request.period : periods.front();
    if (std::find(periods.begin(), periods.end(), out.period) == periods.end()) {
        std::string list;
        for (uint64_t p : periods) list += (list.empty() ? "" : ", ") + period_text(p);
        throw std::invalid_argument("object '" + request.object + "' is not sampled every " +
                                    period_text(out.period) + " (periods: " + list + ")");
    }
    auto find_def = [&](const std::string &name) -> const CounterDef * {
        for (const auto &c : defs) {
            if (c.name == name) return &c;
        }
        return nullptr;
    };

    // The counters read: the named ones (key counters come with every instance anyway), or
    // every non-key counter sampled at the period.
    std::vector<const CounterDef *> selected;
    for (const auto &name : request.counters) {
        const CounterDef *c = find_def(name);
        if (c == nullptr) {
            throw std::invalid_argument("object '" + request.object + "' has no counter '" + name +
                                        "'");
        }
        if (!c->is_key && std::find(selected.begin(), selected.end(), c) == selected.end()) {
            selected.push_back(c);
        }
    }
    if (request.counters.empty()) {
        for (const auto &c : defs) {
            if (!c.is_key && c.sampled_at(out.period)) selected.push_back(&c);
        }
    }
    if (selected.empty()) {
        throw std::invalid_argument("object '" + request.object +
                                    "' has no counters sampled every " + period_text(out.period));
    }

    QueryDef q;
    q.cells.resize(request.keys.size());
    std::vector<std::string> key_texts;
    key_texts.reserve(request.keys.size());
    for (size_t i = 0; i < request.keys.size(); ++i) {
        const auto &[name, text] = request.keys[i];
        const CounterDef *c = find_def(name);
        if (c == nullptr || !c->is_key) {
            throw std::invalid_argument("object '" + request.object + "' has no key counter '" +
                                        name + "'");
        }
        for (size_t j = 0; j < i; ++j) {
            if (request.keys[j].first == name) {
                throw std::invalid_argument("key counter '" + name + "' given twice");
            }
        }
        tesra_counter_data_t data{};
        key_texts.push_back(text);
        if (c->is_string()) {
            data.value_type = TESRA_CNT_STRING;
            q.cells[i].val_str = key_texts.back().c_str();
        } else if (c->element_width() == 4) {
            data.value_type = TESRA_CNT_4BYTES;
            q.cells[i].val_4B = static_cast<uint32_t>(parse_key_number(*c, text));
        } else {
            data.value_type = TESRA_CNT_8BYTES;
            q.cells[i].val_8B = parse_key_number(*c, text);
        }
        data.values = &q.cells[i];
        data.num_values = 1;
        q.key_names.push_back(c->name.c_str());
        q.key_values.push_back(data);
    }
    for (const auto *c : selected) q.names.push_back(c->name.c_str());

    // An open end reaches past the given bound, so that a range beyond the archive reads
    // nothing instead of failing as a range that ends before it starts.
    uint64_t start = request.has_start ? request.start : std::min(start_time_, end_time_);
    uint64_t end = request.has_end ? request.end : std::max(end_time_, start);
    if (!request.has_start) start = std::min(start, end);
    if (start > end) throw std::invalid_argument("the start of the range is after its end");

    // Columns: every value of every key counter, then of every selected counter.
    std::vector<const CounterDef *> order;
    std::vector<size_t> first_column;
    auto add_columns = [&](const CounterDef &c, std::vector<Column> &into, size_t offset) {
        first_column.push_back(offset + into.size());
        order.push_back(&c);
        for (auto &name : c.column_names()) {
            Column col;
            col.name = std::move(name);
            col.kind = kind_of(c);
            into.push_back(std::move(col));
        }
    };
    for (const auto &c : defs) {
        if (c.is_key) add_columns(c, out.keys, 0);
    }
    const size_t key_columns = out.keys.size();
    for (const auto *c : selected) add_columns(*c, out.columns, key_columns);
    auto column_at = [&](size_t index) -> Column & {
        return index < key_columns ? out.keys[index] : out.columns[index - key_columns];
    };
    const size_t total_columns = key_columns + out.columns.size();

    q.def = tesra_query_def_t{};
    tesra_set_latest_version(&q.def);
    q.def.object_name = request.object.c_str();
    q.def.num_key_cnts = static_cast<uint32_t>(q.key_names.size());
    q.def.key_cnt_names = q.key_names.empty() ? nullptr : q.key_names.data();
    q.def.key_cnt_values = q.key_values.empty() ? nullptr : q.key_values.data();
    q.def.num_cnts = static_cast<uint32_t>(q.names.size());
    q.def.cnt_names = q.names.data();
    q.def.start_time = start;
    q.def.end_time = end;
    q.def.period = out.period;

    // Counter data come in a fixed order (keys, then the query's counters); each position is
    // checked against the handle so that a surprise cannot shift columns. The order is the same
    // for every instance of a sample time, and mostly of the whole query, so which value goes
    // to which column (or which column gets none) is worked out when the counters change.
    std::vector<RowStep> plan;
    std::vector<const tesra_counter_handle_t *> plan_for;
    bool plan_ready = false;
    auto plan_row = [&](const tesra_instance_values_t_v6_0 &all) {
        plan_for.assign(all.counters, all.counters + all.num_cnts);
        plan.clear();
        plan_ready = true;
        size_t filled_to = 0;  // columns [0, filled_to) of the row have a step
        size_t position = 0;
        for (uint32_t i = 0; i < all.num_cnts; ++i) {
            const tesra_counter_handle_t *counter = all.counters[i];
            size_t slot = position;
            if (slot >= order.size() || order[slot]->handle != counter) {
                slot = order.size();
                for (size_t k = 0; k < order.size(); ++k) {
                    if (order[k]->handle == counter) slot = k;
                }
            }
            if (slot < order.size() && first_column[slot] >= filled_to) {
                for (size_t k = filled_to; k < first_column[slot]; ++k) {
                    plan.push_back({&column_at(k), RowStep::kMissing, 0});
                }
                const uint32_t n = order[slot]->num_values();
                for (uint32_t k = 0; k < n; ++k) {
                    plan.push_back({&column_at(first_column[slot] + k), i, k});
                }
                filled_to = first_column[slot] + n;
            }
            position = slot + 1;
        }
        for (size_t k = filled_to; k < total_columns; ++k) {
            plan.push_back({&column_at(k), RowStep::kMissing, 0});
        }
    };

    tesra_query_handle_t *query = nullptr;
    if (tesra_error_t rc = tesra_query(file_, &q.def, &query); rc != TESRA_SUCCESS) {
        fail(rc, "query '" + request.object + "'");
    }
    if (query == nullptr) return out;  // the range misses the archive

    tesra_timestamp_handle_t *ts = nullptr;
    uint64_t last_time = 0;
    bool any_time = false;
    tesra_error_t rc = tesra_first_timestamp(query, &ts);
    while (true) {
        // A time at which no instance holds the key values is skipped by the next step.
        if (rc == TESRA_INSTANCE_NOT_FOUND) {
            rc = tesra_next_timestamp(query, &ts);
            continue;
        }
        if (rc != TESRA_SUCCESS) {
            fail(rc, any_time ? "read the sample after " + iso_time(last_time) + " of '" +
                                    request.object + "'"
                              : "read the first sample of '" + request.object + "'");
        }
        if (ts == nullptr) break;
        uint64_t time = 0;
        if (rc = tesra_get_timestamp(ts, &time); rc != TESRA_SUCCESS) fail(rc, "read sample time");
        last_time = time;
        any_time = true;
        const auto time_index = static_cast<uint32_t>(out.times.size());
        out.times.push_back(time);
        if (request.times_only) {
            rc = tesra_next_timestamp(query, &ts);
            continue;
        }

        tesra_instance_handle_t *instance = nullptr;
        size_t instance_position = 0;
        rc = tesra_first_instance(ts, &instance);
        while (rc == TESRA_SUCCESS && instance != nullptr) {
            out.row_time.push_back(time_index);
            // One call decodes the whole instance into lists the reader reuses.
            tesra_instance_values_t_v6_0 all{};
            rc = tesra_get_instance_values(instance, &all);
            if (rc != TESRA_SUCCESS) break;
            if (!plan_ready || plan_for.size() != all.num_cnts ||
                !std::equal(plan_for.begin(), plan_for.end(), all.counters)) {
                plan_row(all);
            }
            for (const RowStep &step : plan) {
                if (step.value == RowStep::kMissing) {
                    step.column->push_missing();
                    continue;
                }
                const tesra_counter_data_t &value = all.values[step.value];
                if (value.values == nullptr || step.k >= value.num_values) {
                    step.column->push_missing();
                } else {
                    step.column->push_value(value.values[step.k], value.value_type,
                                            instance_position);
                }
            }
            ++instance_position;
            rc = tesra_next_instance(ts, &instance);
        }
        if (time_index == 0 && instance_position > 0) {
            // Room for every row at once: the times the range can hold at the period, each
            // with as many instances as the first. Growing as the walk goes would copy every
            // column several times over.
            uint64_t from = std::max(start, start_time_), to = std::min(end, end_time_);
            uint64_t times = out.period == TESRA_ONCE_PER_ARCHIVE_PERIOD || to < from
                                 ? 1
                                 : (to - from) / out.period + 1;
            size_t rows = static_cast<size_t>(
                std::min<uint64_t>(times * instance_position, uint64_t{1} << 26));
            out.row_time.reserve(rows);
            size_t row_bytes = 0;
            for (size_t k = 0; k < total_columns; ++k) row_bytes += column_at(k).row_bytes();
            // Small results stay on the heap: a huge page each would cost more than it saves,
            // and would stay resident for as long as any of their columns lives.
            constexpr size_t kArenaFrom = size_t{8} << 20;
            std::shared_ptr<ColumnArena> arena;
            if (rows <= SIZE_MAX / std::max<size_t>(row_bytes, 1) - total_columns * 8 &&
                rows * row_bytes >= kArenaFrom) {
                arena = ColumnArena::create(rows * row_bytes + total_columns * 8);
            }
            for (size_t k = 0; k < total_columns; ++k) {
                if (arena != nullptr) {
                    column_at(k).reserve_in(arena, rows);
                } else {
                    column_at(k).reserve(rows);
                }
            }
        }
        if (rc != TESRA_SUCCESS) {
            fail(rc, "read the instances of '" + request.object + "' at " + iso_time(time));
        }
        rc = tesra_next_timestamp(query, &ts);
    }
    return out;
}

// ---- record walks --------------------------------------------------------------------------

uint64_t Reader::start_walk(tesra_order_type_t order, uint64_t start) {
    std::lock_guard lock(mutex_);
    check_open();
    walk_started_ = false;
    walk_order_ = order;
    walk_start_ = start;
    return ++walk_;
}

bool Reader::next_record(uint64_t walk, RecordInfo &out) {
    std::lock_guard lock(mutex_);
    check_open();
    if (walk != walk_) {
        throw std::invalid_argument("the record walk of " + base_ +
                                    " was replaced by a later walk or query; start a new one");
    }
    tesra_record_handle_t *record = nullptr;
    tesra_error_t rc = walk_started_ ? tesra_next_record(file_, &record)
                                     : tesra_first_record(file_, walk_order_, walk_start_, &record);
    if (rc != TESRA_SUCCESS) {
        fail(rc, walk_started_ ? "read the record after " + iso_time(out.time)
                               : "read the first record");
    }
    walk_started_ = true;
    if (record == nullptr) return false;
    tesra_record_header_data_t_v6_0 header{};
    tesra_object_handle_t *object = nullptr;
    tesra_object_def_t def{};
    if (rc = tesra_get_record_info(record, &header); rc != TESRA_SUCCESS) fail(rc, "read record");
    if (rc = tesra_get_object_from_record(record, &object); rc != TESRA_SUCCESS) {
        fail(rc, "read record object");
    }
    if (object != nullptr && tesra_get_object_info(object, &def) == TESRA_SUCCESS) {
        out.object = text_of(def.name);
    } else {
        out.object.clear();
    }
    out.time = base_time_ + header.msecs_since_base;
    out.period = header.period;
    out.size = header.size;
    out.instances = 0;
    tesra_instance_handle_t *instance = nullptr;
    rc = tesra_first_instance_from_record(record, &instance);
    while (rc == TESRA_SUCCESS && instance != nullptr) {
        ++out.instances;
        rc = tesra_next_instance_from_record(record, &instance);
    }
    if (rc != TESRA_SUCCESS) fail(rc, "read the instances of the record at " + iso_time(out.time));
    return true;
}

uint64_t Reader::linear_walk() {
    std::lock_guard lock(mutex_);
    check_open();
    ++walk_;
    tesra_record_handle_t *record = nullptr;
    uint64_t count = 0;
    tesra_error_t rc = tesra_first_record(file_, TESRA_LINEAR_ORDER, start_time_, &record);
    while (rc == TESRA_SUCCESS && record != nullptr) {
        tesra_instance_handle_t *instance = nullptr;
        rc = tesra_first_instance_from_record(record, &instance);
        while (rc == TESRA_SUCCESS && instance != nullptr) {
            rc = tesra_next_instance_from_record(record, &instance);
        }
        if (rc != TESRA_SUCCESS) break;
        ++count;
        rc = tesra_next_record(file_, &record);
    }
    if (rc != TESRA_SUCCESS) fail(rc, "walk the records");
    return count;
}

}  // namespace tesra::py
