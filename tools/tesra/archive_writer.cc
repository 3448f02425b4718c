// Writing archives through the writer library for the demo and generator subcommands, and the
// deflate level option of every subcommand that writes.
#include "archive_writer.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fmt/core.h>

#include "tesra/tesra_write_ext.h"

namespace tesra::cli {

uint32_t CounterSpec::num_values() const {
    if (x_names.empty()) return 1;
    if (y_names.empty()) return static_cast<uint32_t>(x_names.size());
    return static_cast<uint32_t>(x_names.size() * y_names.size());
}

bool CounterSpec::sampled_at(uint64_t period) const {
    return std::find(periods.begin(), periods.end(), period) != periods.end();
}

std::vector<uint64_t> ObjectSpec::periods() const {
    std::vector<uint64_t> out;
    for (const auto &c : counters) {
        if (c.is_key) continue;
        out.insert(out.end(), c.periods.begin(), c.periods.end());
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::vector<const CounterSpec *> ObjectSpec::layout(uint64_t period) const {
    std::vector<const CounterSpec *> out;
    for (const auto &c : counters) {
        if (c.is_key || c.sampled_at(period)) out.push_back(&c);
    }
    std::sort(out.begin(), out.end(), [](auto *a, auto *b) { return a->id < b->id; });
    return out;
}

uint32_t ObjectSpec::instance_size(uint64_t period) const {
    uint32_t size = 0;
    for (const auto *c : layout(period)) size += c->size;
    return size;
}

// ---- Slot ----------------------------------------------------------------------------------

namespace {

template <class T>
void store_le(std::span<std::byte> out, T value) {
    for (size_t i = 0; i < sizeof(T) && i < out.size(); ++i) {
        out[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    }
}

}  // namespace

void Slot::set_u32(uint32_t index, uint32_t value) {
    uint32_t width = counter_.element_width();
    if (index >= counter_.num_values() || width < 4) return;
    store_le(bytes_.subspan(size_t{index} * width, 4), value);
}

void Slot::set_u64(uint32_t index, uint64_t value) {
    uint32_t width = counter_.element_width();
    if (index >= counter_.num_values() || width < 8) return;
    store_le(bytes_.subspan(size_t{index} * width, 8), value);
}

void Slot::set_string(uint32_t index, std::string_view value) {
    uint32_t width = counter_.element_width();
    if (index >= counter_.num_values()) return;
    auto out = bytes_.subspan(size_t{index} * width, width);
    std::fill(out.begin(), out.end(), std::byte{0});
    std::memcpy(out.data(), value.data(), std::min<size_t>(value.size(), width));
}

std::vector<std::byte> pack_instances(const ObjectSpec &object,
                                      uint64_t period,
                                      uint32_t num_instances,
                                      const FillSlot &fill) {
    auto layout = object.layout(period);
    uint32_t size = object.instance_size(period);
    std::vector<std::byte> body(size_t{size} * num_instances, std::byte{0});
    for (uint32_t i = 0; i < num_instances; ++i) {
        size_t offset = size_t{size} * i;
        for (const auto *counter : layout) {
            Slot slot(*counter, std::span(body).subspan(offset, counter->size));
            fill(i, slot);
            offset += counter->size;
        }
    }
    return body;
}

// ---- deflate level ---------------------------------------------------------------------------

void add_level_option(CLI::App &cmd, int *level) {
    cmd.add_option("--level", *level,
                   fmt::format("Deflate level of the data stream, 0 (stored) to 9 (smallest); "
                               "default: ${} or {}",
                               TESRA_GZIP_LEVEL_ENV, TESRA_DEFAULT_COMPRESSION_LEVEL))
        ->check(CLI::Range(TESRA_MIN_COMPRESSION_LEVEL, TESRA_MAX_COMPRESSION_LEVEL));
}

tesra_error_t apply_level(tesra_file_handle_t *file, int level) {
    return level == kLibraryLevel ? TESRA_SUCCESS : tesra_set_compression_level(file, level);
}

std::string create_step() {
    const char *value = std::getenv(TESRA_GZIP_LEVEL_ENV);
    if (value == nullptr || (value[0] >= '0' && value[0] <= '9' && value[1] == '\0')) {
        return "create";
    }
    return fmt::format("create ({}='{}' is not a level: one digit 0-9)", TESRA_GZIP_LEVEL_ENV,
                       value);
}

// ---- ArchiveWriter -------------------------------------------------------------------------

ArchiveWriter::~ArchiveWriter() {
    // Only reached after a failure: release the handle; the caller removes the files.
    if (file_ != nullptr) tesra_close_data_file(file_);
}

tesra_error_t ArchiveWriter::fail(std::string step, tesra_error_t rc) {
    failed_step_ = std::move(step);
    return rc;
}

tesra_object_handle_t *ArchiveWriter::object_handle(uint32_t id) const {
    for (const auto &[object_id, handle] : objects_) {
        if (object_id == id) return handle;
    }
    return nullptr;
}

tesra_error_t ArchiveWriter::create(const std::string &base,
                                    uint64_t duration,
                                    const SystemSpec &system,
                                    const std::string &preset_version,
                                    uint32_t generation,
                                    int level) {
    const char *meta_path = nullptr;
    const char *data_path = nullptr;
    tesra_file_handle_t *file = nullptr;
    tesra_error_t rc =
        tesra_create_data_file(base.c_str(), 6, 1, duration, &file, &meta_path, &data_path);
    if (rc != TESRA_SUCCESS) return fail(create_step(), rc);
    file_ = file;
    if (rc = apply_level(file_, level); rc != TESRA_SUCCESS) return fail("set level", rc);

    tesra_header_def_t_v6_0 header_def{};
    tesra_set_latest_version(&header_def);
    header_def.generation_id = generation;
    header_def.preset_version = preset_version.c_str();

    tesra_system_def_t_v6_0 system_def{};
    tesra_set_latest_version(&system_def);
    system_def.base_time = system.base_time;
    system_def.nelvo_version = system.os_version.c_str();
    system_def.node_uuid = system.node_uuid.c_str();
    system_def.hostname = system.hostname.c_str();
    system_def.model = system.model.c_str();
    system_def.serial_number = system.serial_number.c_str();
    system_def.system_id = system.system_id.c_str();
    system_def.cluster_name = system.cluster_name.c_str();
    system_def.cluster_id = system.cluster_id.c_str();
    system_def.process_name = system.process_name.c_str();
    system_def.store_name = system.store_name.c_str();
    if (rc = tesra_create_header(file_, &header_def, &system_def, &header_); rc != TESRA_SUCCESS) {
        return fail("create header", rc);
    }
    return TESRA_SUCCESS;
}

tesra_error_t ArchiveWriter::add_object(const ObjectSpec &object) {
    static const char kPrivilege[] = "basic";
    tesra_object_def_t_v6_0 object_def{};
    tesra_set_latest_version(&object_def);
    object_def.name = object.name.c_str();
    object_def.obj_id = object.id;
    object_def.priv = kPrivilege;
    tesra_object_handle_t *handle = nullptr;
    if (tesra_error_t rc = tesra_add_object(header_, &object_def, &handle); rc != TESRA_SUCCESS) {
        return fail(fmt::format("add object '{}'", object.name), rc);
    }
    objects_.emplace_back(object.id, handle);

    auto periods = object.periods();
    for (const auto &counter : object.counters) {
        std::vector<const char *> x_names, y_names;
        for (const auto &x : counter.x_names) x_names.push_back(x.c_str());
        for (const auto &y : counter.y_names) y_names.push_back(y.c_str());

        tesra_counter_def_t_v6_0 def{};
        tesra_set_latest_version(&def);
        def.name = counter.name.c_str();
        def.priv = kPrivilege;
        def.ctype = counter.ctype;
        def.size = counter.size;
        def.is_key = counter.is_key;
        def.num_periods = 1;
        def.cnt_id = counter.id;
        def.desc = counter.description.c_str();
        def.base_id = 0;
        def.x_names = x_names.empty() ? nullptr : x_names.data();
        def.num_x_items = static_cast<uint32_t>(x_names.size());
        def.y_names = y_names.empty() ? nullptr : y_names.data();
        def.num_y_items = static_cast<uint32_t>(y_names.size());

        // A definition names one period: a counter sampled at several is added once per
        // period. Key counters are part of every instance and are added once.
        std::vector<uint64_t> add_at = counter.periods;
        if (counter.is_key) {
            add_at.assign(1, counter.periods.empty() ? (periods.empty() ? 0 : periods.front())
                                                     : counter.periods.front());
        }
        for (uint64_t period : add_at) {
            def.periods[0] = period;
            tesra_counter_handle_t *counter_handle = nullptr;
            if (tesra_error_t rc = tesra_add_counter(handle, &def, &counter_handle);
                rc != TESRA_SUCCESS) {
                return fail(fmt::format("add counter '{}' of '{}'", counter.name, object.name), rc);
            }
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t ArchiveWriter::add_aggregation(uint32_t object_id,
                                             const std::string &type,
                                             const std::string &inst_name,
                                             const std::string &inst_uuid) {
    tesra_object_handle_t *object = object_handle(object_id);
    if (object == nullptr) return fail("add aggregation", TESRA_OBJECT_NOT_FOUND);
    tesra_aggregation_def_t_v6_0 def{};
    tesra_set_latest_version(&def);
    def.aggr_type = type.c_str();
    def.gi_max_records = 500;
    def.inst_name = inst_name.c_str();
    def.inst_uuid = inst_uuid.c_str();
    tesra_aggregation_handle_t *handle = nullptr;
    if (tesra_error_t rc = tesra_add_aggregation(object, &def, &handle); rc != TESRA_SUCCESS) {
        return fail("add aggregation", rc);
    }
    return TESRA_SUCCESS;
}

tesra_error_t ArchiveWriter::finalize_header() {
    if (tesra_error_t rc = tesra_finalize_header(file_); rc != TESRA_SUCCESS) {
        return fail("write header", rc);
    }
    return TESRA_SUCCESS;
}

tesra_error_t ArchiveWriter::write(uint64_t time,
                                   uint32_t object_id,
                                   uint64_t period,
                                   std::span<const std::byte> body) {
    tesra_record_header_data_t_v6_0 info{};
    tesra_set_latest_version(&info);
    info.msecs_since_base = time;
    info.size = static_cast<uint32_t>(body.size());
    info.obj_id = object_id;
    info.period = period;
    // The writer reads `size` bytes; an empty body still needs a valid pointer.
    static const std::byte kEmpty{};
    const void *data = body.empty() ? &kEmpty : static_cast<const void *>(body.data());
    if (tesra_error_t rc = tesra_write_record(file_, &info, data); rc != TESRA_SUCCESS) {
        return fail(
            fmt::format("write record (object {}, period {}, time {})", object_id, period, time),
            rc);
    }
    ++records_;
    return TESRA_SUCCESS;
}

tesra_error_t ArchiveWriter::close() {
    tesra_file_handle_t *file = file_;
    file_ = nullptr;
    header_ = nullptr;
    objects_.clear();
    if (tesra_error_t rc = tesra_close_data_file(file); rc != TESRA_SUCCESS) {
        return fail("close", rc);
    }
    return TESRA_SUCCESS;
}

tesra_error_t ArchiveWriter::abandon() {
    tesra_file_handle_t *file = file_;
    file_ = nullptr;
    header_ = nullptr;
    objects_.clear();
    if (tesra_error_t rc = tesra_free_file(file); rc != TESRA_SUCCESS) {
        return fail("release", rc);
    }
    return TESRA_SUCCESS;
}

}  // namespace tesra::cli
