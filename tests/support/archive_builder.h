// Test builders shared by every library's tests: describe an archive (objects, counters,
// aggregations, attributes, system), write it through the public writer API into a temporary
// directory (support/temp_dir.h), and read the resulting files back as bytes.
//
// Typical use:
//   tesra::test::TempDir dir;
//   tesra::test::ArchiveBuilder b(tesra::test::ArchiveSpec::simple());
//   ASSERT_EQ(b.create(dir.base("a")), TESRA_SUCCESS);   // create + header + definitions
//   ASSERT_EQ(b.finalize(), TESRA_SUCCESS);                // writes the metadata document
//   ASSERT_EQ(b.write(125000, 3, 60000, tesra::test::Instances().u64(1).u64(7).bytes()),
//             TESRA_SUCCESS);
//   ASSERT_EQ(b.close(), TESRA_SUCCESS);                   // index section and patches
//   auto meta = tesra::test::read_file(b.meta_path());
//   auto data = tesra::test::gunzip_file(b.data_path());
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tesra/tesra_ext_defs.h"

#include "support/temp_dir.h"

namespace tesra::test {

// ---- description of an archive ------------------------------------------------------------

struct CounterSpec {
    uint32_t id = 1;
    std::string name = "counter";
    std::string desc = "description";
    std::string priv = "basic";
    uint32_t ctype = 0x0108;  // size code 8, plain number
    uint32_t size = 8;        // bytes per instance, all values together
    bool is_key = false;
    uint32_t base_id = 0;
    std::vector<uint64_t> periods = {60000};  // the counter is added once per period, in order
    std::vector<std::string> x_names;
    std::vector<std::string> y_names;
};

// A counter in one line: id, name, ctype, bytes per instance, periods, key flag.
inline CounterSpec make_counter(uint32_t id,
                                std::string name,
                                uint32_t ctype,
                                uint32_t size,
                                std::vector<uint64_t> periods,
                                bool is_key = false) {
    CounterSpec c;
    c.id = id;
    c.name = std::move(name);
    c.ctype = ctype;
    c.size = size;
    c.periods = std::move(periods);
    c.is_key = is_key;
    return c;
}

struct AggregationSpec {
    std::string type = "sum";
    std::optional<std::string> name;    // absent: no aggregation_name
    std::optional<std::string> filter;  // absent: no instance_list_required_filter
    uint32_t max_records = 500;
    std::string inst_name = "instance_name";
    std::string inst_uuid = "instance_uuid";
};

struct ObjectSpec {
    uint32_t id = 1;
    std::string name = "object";
    std::string priv = "basic";
    std::vector<AggregationSpec> aggregations;
    std::vector<CounterSpec> counters;  // added in this order
};

struct AttributeSpec {
    std::string name;
    uint32_t value = 0;
    std::string desc;
};

struct SystemSpec {
    uint64_t base_time = 1000000000000;
    std::string nelvo_version = "9.1";
    std::string node_uuid = "node-uuid";
    std::string hostname = "node1";
    std::string model = "model";
    std::string serial_number = "serial";
    std::string system_id = "sysid";
    std::string cluster_name = "cluster";
    std::string cluster_id = "cluster-id";
    std::string process_name = "process";
    std::string store_name = "store";
};

struct ArchiveSpec {
    uint32_t major = 6;
    uint32_t minor = 1;
    uint64_t duration = 900000;  // creation duration, ms
    uint32_t generation = 1;
    std::string preset_version = "1.0";
    SystemSpec system;
    std::vector<AttributeSpec> attributes;
    std::vector<ObjectSpec> objects;

    // One object (id 3, "volume") with key counter 1 "name" (16-byte string) and counter 2
    // "ops" (8 bytes), both at 60000 ms.
    static ArchiveSpec simple();
};

// ---- instance bytes -----------------------------------------------------------------------

// Packs counter values little-endian, back to back, as record bodies hold them.
class Instances {
public:
    Instances &u32(uint32_t v);
    Instances &u64(uint64_t v);
    // `s` padded with 0x00 (or cut) to exactly `width` bytes.
    Instances &str(const std::string &s, std::size_t width);
    Instances &raw(std::span<const std::byte> b);
    const std::vector<std::byte> &bytes() const { return bytes_; }

private:
    std::vector<std::byte> bytes_;
};

// ---- writing an archive -------------------------------------------------------------------

// Drives the public writer API. Every step returns the library's code unchanged; the handle is
// closed by close() or, if still open, by the destructor (result ignored).
class ArchiveBuilder {
public:
    explicit ArchiveBuilder(ArchiveSpec spec);
    ~ArchiveBuilder();
    ArchiveBuilder(const ArchiveBuilder &) = delete;
    ArchiveBuilder &operator=(const ArchiveBuilder &) = delete;

    // tesra_create_data_file, tesra_create_header, then every attribute, object, aggregation
    // and counter of the description in order. Stops at the first failure.
    tesra_error_t create(const std::string &base_path);
    tesra_error_t finalize();  // tesra_finalize_header
    // tesra_write_record with the file's version; `msecs` is relative to base_time.
    tesra_error_t write(uint64_t msecs,
                        uint32_t obj_id,
                        uint64_t period,
                        std::span<const std::byte> body);
    tesra_error_t close();  // tesra_close_data_file; the handle is gone afterwards

    tesra_file_handle_t *file() const { return file_; }
    tesra_header_handle_t *header() const { return header_; }
    // Object handle handed out by tesra_add_object for `id` (null if none).
    tesra_object_handle_t *object(uint32_t id) const;
    const std::string &base_path() const { return base_; }
    std::string meta_path() const { return base_ + ".meta"; }
    std::string data_path() const { return base_ + ".gz"; }
    const ArchiveSpec &spec() const { return spec_; }

private:
    ArchiveSpec spec_;
    std::string base_;
    tesra_file_handle_t *file_ = nullptr;
    tesra_header_handle_t *header_ = nullptr;
    std::vector<std::pair<uint32_t, tesra_object_handle_t *>> objects_;
};

struct RecordSpec {
    uint64_t msecs;
    uint32_t obj_id;
    uint64_t period;
    std::vector<std::byte> body;
};

// create + finalize + every record + close; the first failing step's code.
tesra_error_t write_archive(const ArchiveSpec &spec,
                            const std::string &base_path,
                            const std::vector<RecordSpec> &records);

// ---- files --------------------------------------------------------------------------------

// Whole file as bytes; empty if it cannot be read.
std::vector<std::byte> read_file(const std::string &path);
std::string read_text(const std::string &path);
void write_file(const std::string &path, std::span<const std::byte> bytes);
void write_text_file(const std::string &path, const std::string &text);
// Replaces a data stream: `bytes` as one complete gzip member (with its trailer); false if the
// file could not be written.
[[nodiscard]] bool write_gz(const std::string &path, std::span<const std::byte> bytes);
// Decompressed content of a gzip file; std::nullopt if it cannot be opened or is corrupt
// (a stream cut short yields what could be decompressed).
std::optional<std::vector<std::byte>> gunzip_file(const std::string &path);

// Little-endian helpers for building expected bytes.
void put_u32(std::vector<std::byte> &out, uint32_t v);
void put_u64(std::vector<std::byte> &out, uint64_t v);
uint32_t get_u32(std::span<const std::byte> in, std::size_t at);
uint64_t get_u64(std::span<const std::byte> in, std::size_t at);

// The 24-byte record header followed by `body`.
std::vector<std::byte> record_bytes(uint64_t msecs,
                                    uint32_t obj_id,
                                    uint64_t period,
                                    std::span<const std::byte> body);

}  // namespace tesra::test
