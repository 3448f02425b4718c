// The preset of an archive read from the XML part of its metadata file alone, and its copy into
// a new archive, for tools that salvage archives whose index or data stream is damaged.
#include "tesra/tesra_preset.h"

#include <unistd.h>

#include <cstdio>
#include <memory>

#include <zlib.h>

#include "tesra/tesra_int_defs.h"

#include "common/c_memory.h"
#include "common/guard.h"
#include "read/meta_document.h"

namespace tesra::read {
namespace {

struct FileHandleDeleter {
    void operator()(tesra_file_handle_t *f) const noexcept { tesra_free_file(f); }
};

// The preset hangs in a file handle of its own, with no data stream and its metadata file
// closed, so that it is navigated and released exactly as an opened archive's header is.
tesra_error_t read_meta_preset(const char *meta_path, tesra_header_handle_t **out) {
    std::unique_ptr<tesra_file_handle_t, FileHandleDeleter> file(c_calloc<tesra_file_handle_t>());
    if (!file) return TESRA_NULL_POINTER;
    file->major_v = file->e6_0.major_v = 6;  // as every handle released is
    // Open for its length: header building sizes tables from the document's times, and the
    // parse bounds them by the file as it does when the archive is opened.
    file->i6_0.metadata_file = std::fopen(meta_path, "rb");
    if (file->i6_0.metadata_file == nullptr) return TESRA_FILE_NOT_FOUND;
    // Header building wants an open data stream although the preset needs none: a read stream
    // over the metadata file stands in for it, and nothing is ever read through it.
    const int fd = ::dup(::fileno(file->i6_0.metadata_file));
    if (fd < 0) return TESRA_FILE_NOT_FOUND;
    file->i6_0.data_file = gzdopen(fd, "rb");
    if (file->i6_0.data_file == nullptr) {
        ::close(fd);
        return TESRA_NULL_POINTER;
    }
    if (auto rc = parse_meta_header(meta_path, *file); rc != TESRA_SUCCESS) return rc;
    tesra_header_handle_t *header = file->i6_0.header;
    if (auto rc = tesra_set_counter_value_offsets_v6_0(header); rc != TESRA_SUCCESS) return rc;
    std::fclose(file->i6_0.metadata_file);
    file->i6_0.metadata_file = nullptr;
    gzclose(file->i6_0.data_file);
    file->i6_0.data_file = nullptr;
    *out = header;
    file.release();
    return TESRA_SUCCESS;
}

template <class Def>
void stamp(Def &def, const tesra_file_handle_t &file) {
    def.major_v = file.major_v;
    def.minor_v = file.minor_v;
}

tesra_error_t copy_meta_preset(const tesra_header_handle_t &src,
                               tesra_file_handle_t &out,
                               tesra_header_handle_t **header_out) {
    tesra_header_def_t_v6_0 header_def = src.e6_0;
    tesra_system_def_t_v6_0 system_def = src.i6_0.system.e6_0;
    stamp(header_def, out);
    stamp(system_def, out);
    tesra_header_handle_t *header = nullptr;
    if (auto rc = tesra_create_header(&out, &header_def, &system_def, &header);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    for (uint32_t i = 0; i < src.i6_0.num_attr_defs; ++i) {
        tesra_attribute_def_t_v6_0 attr = *src.i6_0.attr_defs[i];
        stamp(attr, out);
        if (auto rc = tesra_add_attr_def(header, &attr); rc != TESRA_SUCCESS) return rc;
    }
    for (auto *o = src.i6_0.object_list; o != nullptr; o = o->i6_0.next_object) {
        tesra_object_def_t_v6_0 object_def = o->e6_0;
        stamp(object_def, out);
        tesra_object_handle_t *object = nullptr;
        if (auto rc = tesra_add_object(header, &object_def, &object); rc != TESRA_SUCCESS) {
            return rc;
        }
        for (auto *a = o->i6_0.aggregation_list; a != nullptr; a = a->i6_0.next_agg_in_list) {
            tesra_aggregation_def_t_v6_0 aggr = a->e6_0;
            stamp(aggr, out);
            tesra_aggregation_handle_t *added = nullptr;
            if (auto rc = tesra_add_aggregation(object, &aggr, &added); rc != TESRA_SUCCESS) {
                return rc;
            }
        }
        // A definition names one period: a counter is added once for each period it is
        // linked to (a key counter is linked to one and lies in every period regardless).
        for (auto *c = o->i6_0.cnt_list; c != nullptr; c = c->i6_0.next_cnt_by_id) {
            tesra_counter_def_t_v6_0 counter_def = c->e6_0;
            stamp(counter_def, out);
            for (uint32_t k = 0; k < TESRA_NUM_PERIODS; ++k) {
                if (c->i6_0.periods[k] == nullptr) continue;
                counter_def.periods[0] = _tesra_period_map[k];
                counter_def.num_periods = 1;
                tesra_counter_handle_t *added = nullptr;
                if (auto rc = tesra_add_counter(object, &counter_def, &added);
                    rc != TESRA_SUCCESS) {
                    return rc;
                }
            }
        }
    }
    *header_out = header;
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::read

extern "C" tesra_error_t tesra_read_meta_preset(const char *meta_path,
                                                tesra_header_handle_t **preset) {
    if (meta_path == nullptr || preset == nullptr) return TESRA_INVALID_ARGUMENTS;
    return tesra::guarded([&] { return tesra::read::read_meta_preset(meta_path, preset); });
}

extern "C" void tesra_free_meta_preset(tesra_header_handle_t *preset) {
    if (preset == nullptr) return;
    tesra_free_file(preset->i6_0.data_file);
}

extern "C" tesra_error_t tesra_copy_meta_preset(tesra_header_handle_t *preset,
                                                tesra_file_handle_t *data_file,
                                                tesra_header_handle_t **header) {
    if (preset == nullptr || data_file == nullptr || header == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    return tesra::guarded(
        [&] { return tesra::read::copy_meta_preset(*preset, *data_file, header); });
}
