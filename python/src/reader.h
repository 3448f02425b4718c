// The archive reader behind the Python package: an open archive, its definitions, and the walks
// that copy values out into plain C++ columns. Nothing here knows Python, so the walks can run
// with the interpreter lock released; the bindings turn the columns into numpy arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tesra/tesra_common_defs.h"
#include "tesra/tesra_ext_defs.h"

namespace tesra::py {

// A reader call that failed: its result code and what was being done, for the message.
class ReaderError : public std::runtime_error {
public:
    ReaderError(tesra_error_t code, std::string archive, std::string operation);
    tesra_error_t code() const { return code_; }
    const std::string &archive() const { return archive_; }
    const std::string &operation() const { return operation_; }

private:
    tesra_error_t code_;
    std::string archive_;
    std::string operation_;
};

// The printable label of a result code ("TESRA_CORRUPT_ARCHIVE").
std::string error_label(tesra_error_t code);

// "2025-12-06T05:46:40.000Z", for messages that name a sample time.
std::string iso_time(uint64_t ms);

struct CounterDef {
    tesra_counter_handle_t *handle = nullptr;
    uint32_t id = 0;
    std::string name;
    std::string description;
    bool is_key = false;
    uint32_t ctype = 0;
    uint32_t size = 0;  // bytes per instance, every value of an array counter together
    std::vector<uint64_t> periods;
    std::vector<std::string> x_names;
    std::vector<std::string> y_names;

    bool is_string() const { return (ctype & 0xFF00u) == 0x2000u; }
    uint32_t num_values() const;
    uint32_t element_width() const { return size / num_values(); }
    bool sampled_at(uint64_t period) const;
    // "name", or "name[x]" / "name[x,y]" per value, x-major, as the tool's CSV names them.
    std::vector<std::string> column_names() const;
};

struct ObjectDef {
    std::string name;
    uint32_t id = 0;
    std::vector<uint64_t> periods;  // ascending
};

struct ArchiveInfo {
    std::string base;
    std::string meta_path;
    std::string data_path;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint64_t base_time = 0;
    uint64_t start_time = 0;  // absolute ms
    uint64_t end_time = 0;
    uint32_t generation_id = 0;
    std::string preset_version;
    // hostname, node_uuid, model, serial_number, system_id, cluster_name, cluster_id,
    // process_name, store_name, version (the system section's strings)
    std::vector<std::pair<std::string, std::string>> system;
    bool being_written = false;
};

// One block of memory that a result's columns share, backed by huge pages where the system
// grants them. Filling millions of values into fresh memory otherwise costs one page fault per
// 4 KiB, which on some machines takes longer than reading the archive. Space is handed out
// front to back and returned only with the whole block, once the last column using it is gone.
class ColumnArena {
public:
    // nullptr when the system refuses the block; the columns then use the ordinary heap.
    static std::shared_ptr<ColumnArena> create(size_t bytes);
    ~ColumnArena();
    ColumnArena(const ColumnArena &) = delete;
    ColumnArena &operator=(const ColumnArena &) = delete;

    void *take(size_t bytes, size_t align);  // nullptr when the block is used up
    bool owns(const void *p) const {
        auto *c = static_cast<const char *>(p);
        return c >= base_ && c < base_ + size_;
    }

private:
    ColumnArena(char *mapping, size_t mapped, char *base, size_t size)
        : mapping_(mapping), mapped_(mapped), base_(base), size_(size) {}
    char *mapping_;
    size_t mapped_;
    char *base_;
    size_t size_;
    size_t used_ = 0;
};

// A vector allocator that takes from an arena while it has room, else from the heap.
template <class T>
struct ArenaAllocator {
    using value_type = T;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    std::shared_ptr<ColumnArena> arena;

    ArenaAllocator() = default;
    explicit ArenaAllocator(std::shared_ptr<ColumnArena> a) : arena(std::move(a)) {}
    template <class U>
    ArenaAllocator(const ArenaAllocator<U> &other) : arena(other.arena) {}

    T *allocate(size_t n) {
        if (arena != nullptr && n <= SIZE_MAX / sizeof(T)) {
            if (void *p = arena->take(n * sizeof(T), alignof(T))) return static_cast<T *>(p);
        }
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T *p, size_t n) {
        if (arena == nullptr || !arena->owns(p)) std::allocator<T>().deallocate(p, n);
    }
    template <class U>
    bool operator==(const ArenaAllocator<U> &other) const {
        return arena == other.arena;
    }
};

template <class T>
using ColumnValues = std::vector<T, ArenaAllocator<T>>;

// One column of values. Numbers keep their width; strings are kept once each, with a code per
// row, so that the bindings make one Python string per distinct value.
struct Column {
    enum class Kind { kU32, kU64, kString };
    std::string name;
    Kind kind = Kind::kU64;
    ColumnValues<uint32_t> u32;
    ColumnValues<uint64_t> u64;
    ColumnValues<uint32_t> codes;
    std::vector<std::string> strings;
    // Rows without a value (a member of a series that lacks the counter): 1 there. Empty
    // while every row has one.
    std::vector<uint8_t> missing;

    void push_number(const tesra_cnt_value_t &v, tesra_cnt_data_type_t type);
    void push_string(std::string_view s);
    // One value of an instance at `position` among its sample time's instances. Instances
    // mostly come in the same order at every time, so a text equal to the one at the same
    // position last time skips the lookup.
    void push_value(const tesra_cnt_value_t &v, tesra_cnt_data_type_t type, size_t position) {
        if (type == TESRA_CNT_STRING) {
            push_text(v.val_str != nullptr ? std::string_view(v.val_str) : std::string_view(),
                      position);
        } else if (kind == Kind::kU64) {
            u64.push_back(type == TESRA_CNT_8BYTES ? v.val_8B : v.val_4B);
        } else if (kind == Kind::kU32) {
            u32.push_back(type == TESRA_CNT_4BYTES ? v.val_4B : static_cast<uint32_t>(v.val_8B));
        } else {
            push_number(v, type);
        }
    }
    void push_text(std::string_view s, size_t position);
    void reserve(size_t rows);
    // Room for `rows` values in `arena`; the values held so far move there.
    void reserve_in(const std::shared_ptr<ColumnArena> &arena, size_t rows);
    // Bytes per row of the column's values.
    size_t row_bytes() const { return kind == Kind::kU64 ? 8 : 4; }
    // A row without a value: a placeholder, marked in `missing`.
    void push_missing();
    size_t size() const;

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> lookup_;
    std::vector<uint32_t> by_position_;  // code last seen at each instance position
};

struct ValuesRequest {
    std::string object;
    std::vector<std::string> counters;  // empty: every non-key counter sampled at the period
    bool has_start = false, has_end = false;
    uint64_t start = 0, end = 0;  // absolute ms, inclusive
    bool has_period = false;
    uint64_t period = 0;  // default: the object's shortest
    std::vector<std::pair<std::string, std::string>> keys;  // key counter name, value as text
    bool times_only = false;  // the sample times alone: no instance is read
};

// One row per sample time and instance: `row_time` indexes `times`.
struct ValuesResult {
    uint64_t period = 0;
    std::vector<uint64_t> times;
    std::vector<uint32_t> row_time;
    std::vector<Column> keys;     // one per key counter value, as the instances carry them
    std::vector<Column> columns;  // one per value of the selected counters
};

struct RecordInfo {
    uint64_t time = 0;  // absolute ms
    std::string object;
    uint64_t period = 0;
    uint32_t size = 0;
    uint32_t instances = 0;
};

// An archive open for reading. Every call takes the reader's lock, so a close from another
// thread waits for a walk that runs with the interpreter lock released, and a call on a closed
// reader fails cleanly instead of touching released handles.
class Reader {
public:
    explicit Reader(const std::string &base);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    void close();
    bool is_open() const;
    const std::string &base() const { return base_; }

    ArchiveInfo info();
    std::vector<ObjectDef> objects();
    std::vector<CounterDef> counters(const std::string &object);
    std::vector<uint64_t> timestamps(const std::string &object, uint64_t period);
    ValuesResult values(const ValuesRequest &request);

    // Record walks: `first` starts one (and invalidates any other), `next` continues the walk
    // numbered `walk`. False at the end.
    uint64_t start_walk(tesra_order_type_t order, uint64_t start);
    bool next_record(uint64_t walk, RecordInfo &out);

    // The plain C walk of every record in time order, touching every instance: the baseline
    // the package's benchmark measures values() against. Returns the number of records.
    uint64_t linear_walk();

private:
    // Caller holds mutex_.
    void check_open() const;
    tesra_object_handle_t *find_object(const std::string &name);
    std::vector<CounterDef> counters_locked(tesra_object_handle_t *object);
    std::vector<uint64_t> periods_of(tesra_object_handle_t *object);
    void fail(tesra_error_t rc, const std::string &operation) const;

    mutable std::mutex mutex_;
    std::string base_;
    tesra_file_handle_t *file_ = nullptr;
    tesra_header_handle_t *header_ = nullptr;
    uint64_t base_time_ = 0;
    uint64_t start_time_ = 0;
    uint64_t end_time_ = 0;
    uint64_t walk_ = 0;          // number of the current record walk
    bool walk_started_ = false;  // its first record has been read
    tesra_order_type_t walk_order_ = TESRA_LINEAR_ORDER;
    uint64_t walk_start_ = 0;
};

}  // namespace tesra::py
