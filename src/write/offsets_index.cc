// Laying out the object index section at close: a planning pass places every record-offset
// table and partial-record list, then a writing pass writes them where they were placed.
#include <bit>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "write_internal.h"

// Tables and lists are written straight from memory; the format is little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

uint64_t section_start(const tesra_file_handle_t *data_file) {
    return data_file->i6_0.header->i6_0.section_defs[TESRA_OBJECT_INDEX].section_offset;
}

// One pass over every table and list in section order.
tesra_error_t walk_section(tesra_file_handle_t *data_file, uint64_t *position, bool write_flag) {
    uint32_t obj_count = 0;
    for (auto *o = data_file->i6_0.header->i6_0.object_list; o != nullptr;
         o = o->i6_0.next_object, ++obj_count) {
        for (auto *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            if (auto rc =
                    tesra_write_period_offsets_v6_0(data_file, p, obj_count, position, write_flag);
                rc != TESRA_SUCCESS) {
                return rc;
            }
            for (uint32_t j = 0; j < p->num_offsets; ++j) {
                if (auto rc = tesra_write_iterative_record_offsets_v6_0(data_file, p, j, position,
                                                                        write_flag);
                    rc != TESRA_SUCCESS) {
                    return rc;
                }
            }
        }
    }
    return TESRA_SUCCESS;
}

}  // namespace

extern "C" tesra_error_t tesra_write_object_index_v6_0(tesra_file_handle_t *data_file) {
    auto &f = data_file->i6_0;
    auto &hi = f.header->i6_0;
    const uint64_t start = f.metadata_written_count;
    hi.section_defs[TESRA_OBJECT_INDEX].section_offset = start;

    const uint64_t cells = static_cast<uint64_t>(hi.num_objects_sampled) * TESRA_NUM_PERIODS;
    tesra::c_ptr<tesra_offset_t> table(tesra::c_calloc<tesra_offset_t>(cells));
    if (!table) return TESRA_NULL_POINTER;
    std::free(hi.object_index);
    hi.object_index = table.get();
    // The header holds the table while the passes fill it; a failure takes it back and frees it.
    auto fail = [&hi](tesra_error_t rc) {
        hi.object_index = nullptr;
        return rc;
    };

    uint64_t position = start + cells * sizeof(tesra_offset_t);
    if (auto rc = walk_section(data_file, &position, false); rc != TESRA_SUCCESS) return fail(rc);
    // The index goes right behind the document's 0x00 byte.
    if (auto rc = tesra::write::seek_to(f.metadata_file, start); rc != TESRA_SUCCESS)
        return fail(rc);
    if (auto rc =
            tesra::write::write_raw(f.metadata_file, table.get(), cells * sizeof(tesra_offset_t));
        rc != TESRA_SUCCESS) {
        return fail(rc);
    }
    uint64_t unused = position;
    if (auto rc = walk_section(data_file, &unused, true); rc != TESRA_SUCCESS) return fail(rc);
    f.metadata_written_count = position;
    table.release();
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_write_period_offsets_v6_0(tesra_file_handle_t *data_file,
                                                         tesra_period_t *period,
                                                         uint32_t obj_count,
                                                         uint64_t *written_count,
                                                         bool write_flag) {
    const auto &f = data_file->i6_0;
    // A reader derives every table's length from the two times and refuses a span without
    // two distinct aligned times, so no index can describe such an archive.
    if (f.end_time <= f.start_time) return TESRA_INVALID_TIMESTAMP;
    const uint64_t n64 = tesra::format::slot_count64(f.start_time, f.end_time, period->period);
    if (n64 > tesra::format::kMaxSlots) return TESRA_INVALID_TIMESTAMP;
    const auto n = static_cast<uint32_t>(n64);
    if (period->num_offsets != n) {
        if (auto rc = tesra::write::resize_slot_tables(period, n); rc != TESRA_SUCCESS) return rc;
    }
    if (!write_flag) {
        if (auto rc = tesra_set_object_period_offset(f.header, obj_count, period->period,
                                                     *written_count - section_start(data_file));
            rc != TESRA_SUCCESS) {
            return rc;
        }
        *written_count += sizeof(tesra_offset_t) * n;
        return TESRA_SUCCESS;
    }
    return tesra::write::write_raw(f.metadata_file, period->record_offsets,
                                   sizeof(tesra_offset_t) * n);
}

extern "C" tesra_error_t tesra_write_iterative_record_offsets_v6_0(tesra_file_handle_t *data_file,
                                                                   tesra_period_t *period,
                                                                   uint32_t offset_index,
                                                                   uint64_t *written_count,
                                                                   bool write_flag) {
    uint64_t &entry = period->record_offsets[offset_index];
    if (!tesra::format::is_partial_entry(entry)) return TESRA_SUCCESS;
    const tesra_iterative_record_offsets_t &list = period->iterative_record_offsets[offset_index];
    const uint32_t count = list.num_offsets;
    if (!write_flag) {
        entry = tesra::format::make_partial_entry(*written_count - section_start(data_file));
        *written_count += sizeof(uint32_t) + sizeof(tesra_offset_t) * count;
        return TESRA_SUCCESS;
    }
    FILE *meta = data_file->i6_0.metadata_file;
    if (auto rc = tesra::write::write_raw(meta, &count, sizeof count); rc != TESRA_SUCCESS)
        return rc;
    return tesra::write::write_raw(meta, list.offsets, sizeof(tesra_offset_t) * count);
}
