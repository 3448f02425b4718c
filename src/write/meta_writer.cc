// Writing the metadata document from the in-memory header, remembering where the fixed-width
// fields lie so that close can overwrite them in place.
#include <array>
#include <cstdarg>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "write_internal.h"

namespace {

// A group of strings escaped together and released when the group goes out of scope. An absent
// string stays absent.
template <std::size_t N>
class Escaped {
public:
    explicit Escaped(const std::array<const char *, N> &sources) : sources_(sources) {
        status_ = tesra_xml_encode(N, sources_.data(), out_.data(), flags_.data());
    }
    ~Escaped() { tesra_free_xml_encoded_strs(N, out_.data(), flags_.data()); }
    Escaped(const Escaped &) = delete;
    Escaped &operator=(const Escaped &) = delete;

    tesra_error_t status() const { return status_; }
    const char *operator[](std::size_t i) const { return out_[i]; }

private:
    std::array<const char *, N> sources_;
    std::array<char *, N> out_{};
    std::array<bool, N> flags_{};
    tesra_error_t status_;
};

bool has_text(const char *s) {
    return s != nullptr && s[0] != '\0';
}

class MetaWriter {
public:
    MetaWriter(FILE *file, uint64_t count) : file_(file), count_(count) {}
    uint64_t count() const { return count_; }

    __attribute__((format(printf, 2, 3))) tesra_error_t put(const char *format, ...) {
        va_list args;
        va_start(args, format);
        const tesra_error_t rc = tesra::write::write_formatted_v(file_, &count_, format, args);
        va_end(args);
        return rc;
    }
    tesra_error_t put_raw(const void *data, std::size_t size) {
        if (auto rc = tesra::write::write_raw(file_, data, size); rc != TESRA_SUCCESS) return rc;
        count_ += size;
        return TESRA_SUCCESS;
    }

private:
    FILE *file_;
    uint64_t count_;
};

#define TESRA_TRY(expr)                                                   \
    do {                                                                  \
        if (tesra_error_t rc_ = (expr); rc_ != TESRA_SUCCESS) return rc_; \
    } while (0)

tesra_error_t write_system(MetaWriter &out, const tesra_system_def_t_v6_0 &s) {
    Escaped<10> e({s.nelvo_version, s.node_uuid, s.hostname, s.model, s.serial_number, s.system_id,
                   s.cluster_name, s.cluster_id, s.process_name, s.store_name});
    TESRA_TRY(e.status());
    return out.put(TESRA_FMT_SYSTEM, e[0], s.base_time, e[1], e[2], e[3], e[4], e[5], e[6], e[7],
                   e[8], e[9]);
}

tesra_error_t write_aggregation(MetaWriter &out, const tesra_aggregation_def_t_v6_0 &a) {
    Escaped<5> e({a.aggr_type, a.aggr_name, a.inst_list_req_filter, a.inst_name, a.inst_uuid});
    TESRA_TRY(e.status());
    TESRA_TRY(out.put(TESRA_FMT_AGGREGATION_START, e[0]));
    if (has_text(e[1])) TESRA_TRY(out.put(TESRA_FMT_AGGREGATION_NAME, e[1]));
    if (has_text(e[2])) TESRA_TRY(out.put(TESRA_FMT_AGGREGATION_FILTER, e[2]));
    TESRA_TRY(out.put(TESRA_FMT_AGGREGATION_INSTANCE_NAME, e[3]));
    TESRA_TRY(out.put(TESRA_FMT_AGGREGATION_INSTANCE_UUID, e[4]));
    TESRA_TRY(out.put(TESRA_FMT_AGGREGATION_MAX_RECORDS, a.gi_max_records));
    return out.put(TESRA_FMT_AGGREGATION_END);
}

tesra_error_t write_labels(MetaWriter &out, bool x_axis, const char **labels, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        Escaped<1> e({labels[i]});
        TESRA_TRY(e.status());
        TESRA_TRY(x_axis ? out.put(TESRA_FMT_COUNTER_X_NAME, e[0])
                         : out.put(TESRA_FMT_COUNTER_Y_NAME, e[0]));
    }
    return TESRA_SUCCESS;
}

tesra_error_t write_counter(MetaWriter &out, const tesra_counter_handle_t &c) {
    const tesra_counter_def_t_v6_0 &d = c.e6_0;
    {
        Escaped<3> e({d.name, d.desc, d.priv});
        TESRA_TRY(e.status());
        TESRA_TRY(out.put(TESRA_FMT_COUNTER_START, d.is_key ? 1 : 0, d.ctype, e[0], e[1], d.cnt_id,
                          d.base_id, d.size, e[2]));
    }
    for (const tesra_period_t *p : c.i6_0.periods) {
        if (p != nullptr) TESRA_TRY(out.put(TESRA_FMT_COUNTER_PERIOD, p->period));
    }
    TESRA_TRY(write_labels(out, true, d.x_names, d.num_x_items));
    TESRA_TRY(write_labels(out, false, d.y_names, d.num_y_items));
    return out.put(TESRA_FMT_COUNTER_END);
}

tesra_error_t write_object(MetaWriter &out, const tesra_object_handle_t &o) {
    {
        Escaped<2> e({o.e6_0.name, o.e6_0.priv});
        TESRA_TRY(e.status());
        TESRA_TRY(out.put(TESRA_FMT_OBJECT_START, e[0], o.e6_0.obj_id, e[1]));
    }
    for (auto *a = o.i6_0.aggregation_list; a != nullptr; a = a->i6_0.next_agg_in_list) {
        TESRA_TRY(write_aggregation(out, a->e6_0));
    }
    for (auto *c = o.i6_0.cnt_list; c != nullptr; c = c->i6_0.next_cnt_by_id) {
        TESRA_TRY(write_counter(out, *c));
    }
    return out.put(TESRA_FMT_OBJECT_END);
}

tesra_error_t write_document(MetaWriter &out, tesra_file_handle_t *data_file) {
    tesra_header_handle_t *header = data_file->i6_0.header;
    auto &hi = header->i6_0;
    auto &f = data_file->i6_0;

    TESRA_TRY(
        out.put_raw(tesra::format::kXmlDeclaration.data(), tesra::format::kXmlDeclaration.size()));
    TESRA_TRY(out.put_raw(tesra::format::kDtd.data(), tesra::format::kDtd.size()));
    hi.header_offset = out.count();
    {
        Escaped<1> e({header->e6_0.preset_version});
        TESRA_TRY(e.status());
        TESRA_TRY(out.put(TESRA_FMT_ARCHIVE_START_1, data_file->major_v, data_file->minor_v,
                          header->e6_0.generation_id, e[0], hi.header_offset));
    }
    hi.duration_header_offset = out.count();
    TESRA_TRY(out.put(TESRA_FMT_ARCHIVE_START_2, f.duration));
    hi.start_time_header_offset = out.count();
    TESRA_TRY(out.put(TESRA_FMT_ARCHIVE_START_3, f.start_time));
    hi.end_time_header_offset = out.count();
    TESRA_TRY(out.put(TESRA_FMT_ARCHIVE_START_4, f.end_time));

    TESRA_TRY(write_system(out, hi.system.e6_0));
    for (uint32_t i = 0; i < hi.num_attr_defs && hi.attr_defs[i] != nullptr; ++i) {
        const tesra_attribute_def_t_v6_0 &a = *hi.attr_defs[i];
        Escaped<2> e({a.name, a.desc});
        TESRA_TRY(e.status());
        TESRA_TRY(out.put(TESRA_FMT_ATTRIBUTE_DEF, e[0], a.value, e[1]));
    }
    for (int i = 0; i < TOTAL_NUM_SECTIONS; ++i) {
        tesra_section_def_t_v6_0 &s = hi.section_defs[i];
        TESRA_TRY(out.put(TESRA_FMT_SECTION_DEF_1, static_cast<unsigned>(s.section_type),
                          s.section_version));
        s.header_offset = out.count();
        TESRA_TRY(out.put(TESRA_FMT_SECTION_DEF_2, s.section_offset));
    }

    TESRA_TRY(out.put(TESRA_FMT_PRESET_START));
    for (uint32_t id = 0; id < hi.objects_array_size; ++id) {
        if (hi.objects[id] != nullptr) TESRA_TRY(write_object(out, *hi.objects[id]));
    }
    TESRA_TRY(out.put(TESRA_FMT_PRESET_END));
    TESRA_TRY(out.put(TESRA_FMT_ARCHIVE_END));
    const char terminator = '\0';
    return out.put_raw(&terminator, 1);
}

}  // namespace

extern "C" tesra_error_t tesra_finalize_header(tesra_file_handle_t *data_file) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_finalize_header_v6_0(data_file);
}

extern "C" tesra_error_t tesra_finalize_header_v6_0(tesra_file_handle_t *data_file) {
    auto &f = data_file->i6_0;
    if (f.data_file == nullptr || f.metadata_file == nullptr) return TESRA_FILE_NOT_FOUND;
    if (f.header == nullptr) return TESRA_NULL_POINTER;
    MetaWriter out(f.metadata_file, f.metadata_written_count);
    if (auto rc = write_document(out, data_file); rc != TESRA_SUCCESS) return rc;
    f.metadata_written_count = out.count();
    return tesra::write::flush(f.metadata_file);
}
