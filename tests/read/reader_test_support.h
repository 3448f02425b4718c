// Helpers for the reader's tests: hand-written metadata documents for an archive still being
// written (so no index section is needed), archives still being written from such a document
// and raw record bytes, and an owning wrapper for opened handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "support/archive_builder.h"

namespace tesra::test {

// A base name that parses (index 2, longest period 60 s) and carries the partial template.
inline constexpr const char *kPartialName = "2_60_0000000000000_0000000.part";
// A finished archive's base name: index 5, longest period 300 s.
inline constexpr const char *kFinishedName = "5_300_1000_900000";

// Metadata document of a 6.1 archive with no record yet: one object "volume" (id 3) with key
// counter 1 "name" (16 bytes) and counter 2 "ops" (8 bytes) at 60000 ms, one aggregation, one
// attribute. Tests edit it by text replacement.
inline std::string partial_meta_doc() {
    std::string doc(format::kXmlDeclaration);
    doc += format::kDtd;
    doc +=
        "<archive version=\"6.1\" generation=\"4\" preset_version=\"1.0\" header_offset=\"2140\" "
        "duration=\"           DBBA0\" start_time=\"FFFFFFFFFFFFFFFF\" "
        "end_time=\"               0\">\n"
        "\t<system>\n\t\t<version>9.1</version>\n\t\t<base_time>1000000000000</base_time>\n"
        "\t\t<node_uuid>uuid</node_uuid>\n\t\t<hostname>host</hostname>\n"
        "\t\t<model>model</model>\n\t\t<serial_number>serial</serial_number>\n"
        "\t\t<system_id>sysid</system_id>\n\t\t<cluster_name>cluster</cluster_name>\n"
        "\t\t<cluster_id>cid</cluster_id>\n\t\t<process_name>proc</process_name>\n"
        "\t\t<store_name>store</store_name>\n\t</system>\n"
        "\t<attribute_def>\n\t\t<name>attr</name>\n\t\t<value>7</value>\n"
        "\t\t<description>an attribute</description>\n\t</attribute_def>\n"
        "\t<section_def>\n\t\t<section_type>0</section_type>\n"
        "\t\t<section_version>1</section_version>\n"
        "\t\t<section_offset>               0</section_offset>\n\t</section_def>\n"
        "\t<section_def>\n\t\t<section_type>1</section_type>\n"
        "\t\t<section_version>1</section_version>\n"
        "\t\t<section_offset>               0</section_offset>\n\t</section_def>\n"
        "\t<preset>\n"
        "\t\t<object>\n\t\t\t<name>volume</name>\n\t\t\t<id>3</id>\n"
        "\t\t\t<privilege>basic</privilege>\n"
        "\t\t\t<aggregation type=\"sum\">\n"
        "\t\t\t\t<instance_name>iname</instance_name>\n"
        "\t\t\t\t<instance_uuid>iuuid</instance_uuid>\n"
        "                       </aggregation>\n"
        "\t\t\t<counter is_key=\"1\" ctype=\"8208\">\n\t\t\t\t<name>name</name>\n"
        "\t\t\t\t<description>key</description>\n\t\t\t\t<id>1</id>\n"
        "\t\t\t\t<base_id>0</base_id>\n\t\t\t\t<size>16</size>\n"
        "\t\t\t\t<privilege>basic</privilege>\n\t\t\t\t<period>60000</period>\n"
        "\t\t\t</counter>\n"
        "\t\t\t<counter is_key=\"0\" ctype=\"264\">\n\t\t\t\t<name>ops</name>\n"
        "\t\t\t\t<description>operations</description>\n\t\t\t\t<id>2</id>\n"
        "\t\t\t\t<base_id>0</base_id>\n\t\t\t\t<size>8</size>\n"
        "\t\t\t\t<privilege>basic</privilege>\n\t\t\t\t<period>60000</period>\n"
        "\t\t\t</counter>\n"
        "\t\t</object>\n"
        "\t</preset>\n"
        "</archive>\n";
    doc.push_back('\0');
    return doc;
}

// Replaces the first occurrence of `from` (which must be there) by `to`.
inline bool replace_once(std::string &text, const std::string &from, const std::string &to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) return false;
    text.replace(at, from.size(), to);
    return true;
}

// An archive still being written, at dir/kPartialName: `doc` as its metadata and `stream` as
// its (gzip-compressed) data stream. The base path.
inline std::string write_partial_archive(const TempDir &dir,
                                         const std::vector<std::byte> &stream,
                                         const std::string &doc = partial_meta_doc()) {
    const std::string base = dir.base(kPartialName);
    write_text_file(base + ".meta", doc);
    if (!write_gz(base + ".gz", stream)) ADD_FAILURE() << "cannot write " << base << ".gz";
    return base;
}

inline void append(std::vector<std::byte> &out, const std::vector<std::byte> &more) {
    out.insert(out.end(), more.begin(), more.end());
}

// A record of object 3 ("volume") at 60000 ms holding `n` instances of 24 zero bytes.
inline std::vector<std::byte> volume_record(uint64_t msecs, uint32_t n = 1) {
    const std::vector<std::byte> body(24 * n);
    return record_bytes(msecs, 3, 60000, body);
}

// An opened archive, closed when the test ends.
class OpenedArchive {
public:
    OpenedArchive() = default;
    ~OpenedArchive() { reset(); }
    OpenedArchive(const OpenedArchive &) = delete;
    OpenedArchive &operator=(const OpenedArchive &) = delete;

    tesra_error_t open(const std::string &base, const char *access = "rb") {
        reset();
        return tesra_open_data_file(base.c_str(), access, &file_, &meta_, &data_);
    }
    void reset() {
        if (file_ != nullptr) tesra_close_data_file(file_);
        file_ = nullptr;
    }
    tesra_file_handle_t *get() const { return file_; }
    tesra_file_handle_t *operator->() const { return file_; }
    tesra_header_handle_t *header() const { return file_->i6_0.header; }
    const char *meta_path() const { return meta_; }
    const char *data_path() const { return data_; }

private:
    tesra_file_handle_t *file_ = nullptr;
    const char *meta_ = nullptr;
    const char *data_ = nullptr;
};

inline tesra_object_handle_t *object_by_id(tesra_header_handle_t *header, uint32_t id) {
    for (auto *o = header->i6_0.object_list; o != nullptr; o = o->i6_0.next_object) {
        if (o->e6_0.obj_id == id) return o;
    }
    return nullptr;
}

inline tesra_period_t *period_of(tesra_object_handle_t *object, uint64_t period) {
    for (auto *p = object->i6_0.period_list; p != nullptr; p = p->next_period) {
        if (p->period == period) return p;
    }
    return nullptr;
}

// The slots of a period's table, with each partial-record list spelled out: equal for a
// writer's in-memory index and a reader's loaded or rebuilt one (a partial slot's own entry
// differs by design: list position on disk, first offset in memory).
struct SlotView {
    bool partial;
    uint64_t single;
    std::vector<uint64_t> list;
    bool operator==(const SlotView &) const = default;
};

inline std::vector<SlotView> slots_of(const tesra_period_t &p) {
    std::vector<SlotView> out;
    for (uint32_t i = 0; i < p.num_offsets; ++i) {
        const uint64_t e = p.record_offsets[i];
        SlotView v{format::is_partial_entry(e), format::is_partial_entry(e) ? 0 : e, {}};
        if (v.partial) {
            const auto &l = p.iterative_record_offsets[i];
            v.list.assign(l.offsets, l.offsets + l.num_offsets);
        }
        out.push_back(v);
    }
    return out;
}

}  // namespace tesra::test
