// Test archive builders: public writer API in, files and bytes out.
#include "support/archive_builder.h"

#include <fstream>
#include <iterator>

#include <zlib.h>

namespace tesra::test {

ArchiveSpec ArchiveSpec::simple() {
    ArchiveSpec spec;
    ObjectSpec volume;
    volume.id = 3;
    volume.name = "volume";
    CounterSpec key;
    key.id = 1;
    key.name = "name";
    key.ctype = 0x2010;
    key.size = 16;
    key.is_key = true;
    CounterSpec ops;
    ops.id = 2;
    ops.name = "ops";
    volume.counters = {key, ops};
    spec.objects = {volume};
    return spec;
}

// ---- Instances ----------------------------------------------------------------------------

Instances &Instances::u32(uint32_t v) {
    put_u32(bytes_, v);
    return *this;
}

Instances &Instances::u64(uint64_t v) {
    put_u64(bytes_, v);
    return *this;
}

Instances &Instances::str(const std::string &s, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes_.push_back(i < s.size() ? static_cast<std::byte>(s[i]) : std::byte{0});
    }
    return *this;
}

Instances &Instances::raw(std::span<const std::byte> b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
}

// ---- ArchiveBuilder -----------------------------------------------------------------------

ArchiveBuilder::ArchiveBuilder(ArchiveSpec spec) : spec_(std::move(spec)) {}

ArchiveBuilder::~ArchiveBuilder() {
    if (file_ != nullptr) tesra_close_data_file(file_);
}

tesra_error_t ArchiveBuilder::create(const std::string &base_path) {
    base_ = base_path;
    const char *meta = nullptr;
    const char *data = nullptr;
    tesra_file_handle_t *file = nullptr;
    tesra_error_t rc = tesra_create_data_file(base_.c_str(), spec_.major, spec_.minor,
                                              spec_.duration, &file, &meta, &data);
    if (rc != TESRA_SUCCESS) return rc;
    file_ = file;

    const SystemSpec &s = spec_.system;
    tesra_system_def_t_v6_0 system{spec_.major,          spec_.minor,
                                   s.base_time,          s.nelvo_version.c_str(),
                                   s.node_uuid.c_str(),  s.hostname.c_str(),
                                   s.model.c_str(),      s.serial_number.c_str(),
                                   s.system_id.c_str(),  s.cluster_name.c_str(),
                                   s.cluster_id.c_str(), s.process_name.c_str(),
                                   s.store_name.c_str()};
    tesra_header_def_t_v6_0 header{spec_.major, spec_.minor, spec_.generation,
                                   spec_.preset_version.c_str()};
    rc = tesra_create_header(file_, &header, &system, &header_);
    if (rc != TESRA_SUCCESS) return rc;

    for (const AttributeSpec &a : spec_.attributes) {
        tesra_attribute_def_t_v6_0 def{spec_.major, spec_.minor, a.name.c_str(), a.value,
                                       a.desc.c_str()};
        rc = tesra_add_attr_def(header_, &def);
        if (rc != TESRA_SUCCESS) return rc;
    }
    for (const ObjectSpec &o : spec_.objects) {
        tesra_object_def_t_v6_0 obj_def{spec_.major, spec_.minor, o.name.c_str(), o.id,
                                        o.priv.c_str()};
        tesra_object_handle_t *object = nullptr;
        rc = tesra_add_object(header_, &obj_def, &object);
        if (rc != TESRA_SUCCESS) return rc;
        objects_.emplace_back(o.id, object);
        for (const AggregationSpec &g : o.aggregations) {
            tesra_aggregation_def_t_v6_0 agg{spec_.major,
                                             spec_.minor,
                                             g.type.c_str(),
                                             g.name ? g.name->c_str() : nullptr,
                                             g.filter ? g.filter->c_str() : nullptr,
                                             g.max_records,
                                             g.inst_name.c_str(),
                                             g.inst_uuid.c_str()};
            tesra_aggregation_handle_t *aggregation = nullptr;
            rc = tesra_add_aggregation(object, &agg, &aggregation);
            if (rc != TESRA_SUCCESS) return rc;
        }
        for (const CounterSpec &c : o.counters) {
            std::vector<const char *> xs;
            std::vector<const char *> ys;
            for (const auto &x : c.x_names) xs.push_back(x.c_str());
            for (const auto &y : c.y_names) ys.push_back(y.c_str());
            for (uint64_t period : c.periods) {
                tesra_counter_def_t_v6_0 def{};
                def.major_v = spec_.major;
                def.minor_v = spec_.minor;
                def.name = c.name.c_str();
                def.priv = c.priv.c_str();
                def.ctype = c.ctype;
                def.size = c.size;
                def.is_key = c.is_key;
                def.periods[0] = period;
                def.num_periods = 1;
                def.cnt_id = c.id;
                def.desc = c.desc.c_str();
                def.base_id = c.base_id;
                def.x_names = xs.empty() ? nullptr : xs.data();
                def.num_x_items = static_cast<uint32_t>(xs.size());
                def.y_names = ys.empty() ? nullptr : ys.data();
                def.num_y_items = static_cast<uint32_t>(ys.size());
                tesra_counter_handle_t *counter = nullptr;
                rc = tesra_add_counter(object, &def, &counter);
                if (rc != TESRA_SUCCESS) return rc;
            }
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t ArchiveBuilder::finalize() {
    return tesra_finalize_header(file_);
}

tesra_error_t ArchiveBuilder::write(uint64_t msecs,
                                    uint32_t obj_id,
                                    uint64_t period,
                                    std::span<const std::byte> body) {
    tesra_record_header_data_t_v6_0 info{
        spec_.major, spec_.minor, msecs, static_cast<uint32_t>(body.size()), obj_id, period};
    static const std::byte kEmpty{};
    return tesra_write_record(file_, &info, body.empty() ? &kEmpty : body.data());
}

tesra_error_t ArchiveBuilder::close() {
    tesra_file_handle_t *file = file_;
    file_ = nullptr;
    header_ = nullptr;
    objects_.clear();
    return tesra_close_data_file(file);
}

tesra_object_handle_t *ArchiveBuilder::object(uint32_t id) const {
    for (const auto &[oid, handle] : objects_) {
        if (oid == id) return handle;
    }
    return nullptr;
}

tesra_error_t write_archive(const ArchiveSpec &spec,
                            const std::string &base_path,
                            const std::vector<RecordSpec> &records) {
    ArchiveBuilder b(spec);
    if (auto rc = b.create(base_path); rc != TESRA_SUCCESS) return rc;
    if (auto rc = b.finalize(); rc != TESRA_SUCCESS) return rc;
    for (const RecordSpec &r : records) {
        if (auto rc = b.write(r.msecs, r.obj_id, r.period, r.body); rc != TESRA_SUCCESS) return rc;
    }
    return b.close();
}

// ---- files --------------------------------------------------------------------------------

std::vector<std::byte> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::byte> bytes(chars.size());
    for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<std::byte>(chars[i]);
    return bytes;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, std::span<const std::byte> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void write_text_file(const std::string &path, const std::string &text) {
    write_file(path, std::as_bytes(std::span(text.data(), text.size())));
}

bool write_gz(const std::string &path, std::span<const std::byte> bytes) {
    gzFile gz = gzopen(path.c_str(), "wb");
    if (gz == nullptr) return false;
    bool ok = true;
    if (!bytes.empty()) {
        ok = gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size())) ==
             static_cast<int>(bytes.size());
    }
    return gzclose(gz) == Z_OK && ok;
}

std::optional<std::vector<std::byte>> gunzip_file(const std::string &path) {
    gzFile in = gzopen(path.c_str(), "rb");
    if (in == nullptr) return std::nullopt;
    std::vector<std::byte> out;
    std::byte chunk[16384];
    int n = 0;
    while ((n = gzread(in, chunk, sizeof chunk)) > 0) out.insert(out.end(), chunk, chunk + n);
    int err = Z_OK;
    gzerror(in, &err);
    gzclose(in);
    // A stream cut short (Z_BUF_ERROR) still hands back what it held; anything else is corrupt.
    if (n < 0 && err != Z_BUF_ERROR) return std::nullopt;
    return out;
}

void put_u32(std::vector<std::byte> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>((v >> (8 * i)) & 0xFF));
}

void put_u64(std::vector<std::byte> &out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::byte>((v >> (8 * i)) & 0xFF));
}

uint32_t get_u32(std::span<const std::byte> in, std::size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::to_integer<uint32_t>(in[at + i]) << (8 * i);
    return v;
}

uint64_t get_u64(std::span<const std::byte> in, std::size_t at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::to_integer<uint64_t>(in[at + i]) << (8 * i);
    return v;
}

std::vector<std::byte> record_bytes(uint64_t msecs,
                                    uint32_t obj_id,
                                    uint64_t period,
                                    std::span<const std::byte> body) {
    std::vector<std::byte> out;
    put_u64(out, msecs);
    put_u32(out, static_cast<uint32_t>(body.size()));
    put_u32(out, obj_id);
    put_u64(out, period);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace tesra::test
