// Writing archives through the writer library: a preset described as plain data, record bodies
// packed from it (every key counter and every counter sampled at the record's period, in
// ascending counter id), and a writer that adds everything and reports the failing step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "tesra/tesra_common_defs.h"
#include "tesra/tesra_ext_defs.h"

namespace CLI {
class App;
}

namespace tesra::cli {

// Counter type codes used by the tool's presets: bits 0-7 element width, bits 8-15 the kind
// of value, bits 16-19 the unit.
inline constexpr uint32_t kTypeRaw = 0x0100;      // a cumulative count
inline constexpr uint32_t kTypeGauge = 0x0200;    // an instantaneous level
inline constexpr uint32_t kTypePercent = 0x0300;  // a share, in percent
inline constexpr uint32_t kTypeString = 0x2000;   // text (values are NUL-padded byte strings)
inline constexpr uint32_t kUnitNone = 0x00000;
inline constexpr uint32_t kUnitOps = 0x10000;
inline constexpr uint32_t kUnitBytes = 0x20000;
inline constexpr uint32_t kUnitMicros = 0x30000;
inline constexpr uint32_t kUnitSeconds = 0x40000;

struct CounterSpec {
    uint32_t id = 0;
    std::string name;
    std::string description;
    bool is_key = false;
    uint32_t ctype = 0;
    uint32_t size = 0;              // bytes per instance
    std::vector<uint64_t> periods;  // ascending; a key counter takes its object's first period
    std::vector<std::string> x_names;
    std::vector<std::string> y_names;

    uint32_t num_values() const;
    uint32_t element_width() const { return size / num_values(); }
    bool is_string() const { return (ctype & 0xFF00u) == kTypeString; }
    bool sampled_at(uint64_t period) const;
};

struct ObjectSpec {
    uint32_t id = 0;
    std::string name;
    std::vector<CounterSpec> counters;  // any order; laid out by ascending id

    std::vector<uint64_t> periods() const;  // ascending, without duplicates
    // The counters of an instance at `period`, ascending id.
    std::vector<const CounterSpec *> layout(uint64_t period) const;
    uint32_t instance_size(uint64_t period) const;
};

struct SystemSpec {
    uint64_t base_time = 0;
    std::string os_version, node_uuid, hostname, model, serial_number, system_id;
    std::string cluster_name, cluster_id, process_name, store_name;
};

// The bytes of one counter of one instance.
class Slot {
public:
    Slot(const CounterSpec &counter, std::span<std::byte> bytes)
        : counter_(counter), bytes_(bytes) {}
    const CounterSpec &counter() const { return counter_; }
    void set_u32(uint32_t index, uint32_t value);
    void set_u64(uint32_t index, uint64_t value);
    // Copies at most the element width; the rest stays NUL.
    void set_string(uint32_t index, std::string_view value);

private:
    const CounterSpec &counter_;
    std::span<std::byte> bytes_;
};

// Fills one counter of one instance.
using FillSlot = std::function<void(uint32_t instance, Slot &slot)>;

// A record body of `num_instances` packed instances of `object` at `period`.
std::vector<std::byte> pack_instances(const ObjectSpec &object,
                                      uint64_t period,
                                      uint32_t num_instances,
                                      const FillSlot &fill);

// --level when not given: the library chooses.
inline constexpr int kLibraryLevel = -1;

// Adds --level to a writing subcommand; `*level` keeps kLibraryLevel unless it is given.
void add_level_option(CLI::App &cmd, int *level);
// Sets the deflate level of a handle just created, unless it is kLibraryLevel.
tesra_error_t apply_level(tesra_file_handle_t *file, int level);
// The step to name when tesra_create_data_file fails: "create", and why when the level variable
// holds something that is not a level.
std::string create_step();

class ArchiveWriter {
public:
    ArchiveWriter() = default;
    ArchiveWriter(const ArchiveWriter &) = delete;
    ArchiveWriter &operator=(const ArchiveWriter &) = delete;
    ~ArchiveWriter();

    // `level`: the data stream's deflate level, or kLibraryLevel for what the library chooses
    // (TESRA_GZIP_LEVEL or its default).
    tesra_error_t create(const std::string &base,
                         uint64_t duration,
                         const SystemSpec &system,
                         const std::string &preset_version,
                         uint32_t generation,
                         int level = kLibraryLevel);
    tesra_error_t add_object(const ObjectSpec &object);
    tesra_error_t add_aggregation(uint32_t object_id,
                                  const std::string &type,
                                  const std::string &inst_name,
                                  const std::string &inst_uuid);
    tesra_error_t finalize_header();
    // `time` is relative to the base time.
    tesra_error_t write(uint64_t time,
                        uint32_t object_id,
                        uint64_t period,
                        std::span<const std::byte> body);
    tesra_error_t close();
    // Releases the handle without completing the archive, as a writer that stops before its
    // close leaves it: every record is in the data stream, the metadata has no index section.
    tesra_error_t abandon();

    // The step that failed last ("add counter 'read_ops' of 'volume'").
    const std::string &failed_step() const { return failed_step_; }
    uint64_t records_written() const { return records_; }

private:
    tesra_error_t fail(std::string step, tesra_error_t rc);
    tesra_object_handle_t *object_handle(uint32_t id) const;

    tesra_file_handle_t *file_ = nullptr;
    tesra_header_handle_t *header_ = nullptr;
    std::vector<std::pair<uint32_t, tesra_object_handle_t *>> objects_;
    std::string failed_step_;
    uint64_t records_ = 0;
};

}  // namespace tesra::cli
