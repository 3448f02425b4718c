// Appending records to the data stream and entering them into the in-memory index. The reader
// rebuilds the index of an archive still being written through the same index maintenance, so
// that part depends only on the header, never on the handle being open for writing.
#include <algorithm>
#include <array>
#include <span>

#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "write_internal.h"

namespace tesra::write {
namespace {

inline constexpr uint32_t kInitialPartialRecords = 4;

tesra_period_t *find_period(tesra_object_handle_t *object, uint64_t period) {
    for (auto *p = object->i6_0.period_list; p != nullptr; p = p->next_period) {
        if (p->period == period) return p;
    }
    return nullptr;
}

// Smallest period with a time grid among the header's objects; 0 when there is none. Period
// lists are ascending, so each object's first record is its smallest.
uint64_t smallest_grid_period(const tesra_header_handle_t *header) {
    uint64_t smallest = 0;
    for (auto *o = header->i6_0.object_list; o != nullptr; o = o->i6_0.next_object) {
        const tesra_period_t *first = o->i6_0.period_list;
        if (first == nullptr || format::is_once_per_archive(first->period)) continue;
        if (smallest == 0 || first->period < smallest) smallest = first->period;
    }
    return smallest;
}

// Every table is laid out from the start to the end time at close, so an end time is acceptable
// only while the finest table of the archive stays within the slot bound.
bool end_fits_slot_bound(const tesra_header_handle_t *header, uint64_t start, uint64_t end) {
    const uint64_t period = smallest_grid_period(header);
    return period == 0 || format::slot_count64(start, end, period) <= kMaxSlots;
}

// Grows the tables to the first doubling of their length that holds `slot`, in one step: a record
// far past the end would otherwise allocate, fill and copy every table size on the way.
tesra_error_t grow_to_cover(tesra_period_t *period, uint32_t slot) {
    if (period->num_offsets > slot) return TESRA_SUCCESS;
    // Doubling stops at the bound, which every accepted slot lies below.
    uint32_t n = std::max<uint32_t>(period->num_offsets, 1);
    while (n <= slot && n < kMaxSlots) n = std::min(n * 2, kMaxSlots);
    if (n <= slot) return TESRA_INVALID_TIMESTAMP;
    return resize_slot_tables(period, n);
}

tesra_error_t append_partial(tesra_iterative_record_offsets_t *list,
                             uint64_t first,
                             tesra_offset_t offset) {
    if (list->num_offsets >= format::kMaxPartialRecords) {
        // A reader refuses a list longer than this; refusing the record keeps the archive
        // readable.
        return TESRA_INVALID_NUM_PARTIAL_RECORDS;
    }
    if (list->num_offsets == 0 || list->num_offsets == list->offsets_size) {
        const uint32_t capacity =
            list->offsets_size == 0 ? kInitialPartialRecords : list->offsets_size * 2;
        auto *grown = c_calloc<tesra_offset_t>(capacity);
        if (grown == nullptr) return TESRA_NULL_POINTER;
        if (list->num_offsets == 0) {
            grown[0] = first;
            list->num_offsets = 1;
        } else {
            std::copy_n(list->offsets, list->num_offsets, grown);
        }
        std::free(list->offsets);
        list->offsets = grown;
        list->offsets_size = capacity;
    }
    list->offsets[list->num_offsets++] = offset;
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::write

using namespace tesra;
using namespace tesra::write;

extern "C" tesra_error_t tesra_write_record(tesra_file_handle_t *data_file,
                                            void *record_info,
                                            const void *buffer) {
    if (data_file == nullptr || record_info == nullptr || buffer == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    if (!tesra_is_version(record_info, data_file->major_v, data_file->minor_v)) {
        return TESRA_VERSION_MISMATCH;
    }
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    // A reader refuses a body beyond the format's limit as corrupt, so such a record would
    // make the whole archive unreadable. The size is read only once the layout is known.
    if (static_cast<tesra_record_header_data_t_v6_0 *>(record_info)->size >
        format::kMaxRecordBodySize) {
        return TESRA_INVALID_ARGUMENTS;
    }
    return tesra_write_record_v6_0(
        data_file, static_cast<tesra_record_header_data_t_v6_0 *>(record_info), buffer);
}

extern "C" tesra_error_t tesra_write_record_v6_0(tesra_file_handle_t *data_file,
                                                 tesra_record_header_data_t_v6_0 *record_info,
                                                 const void *buffer) {
    auto &f = data_file->i6_0;
    if (f.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    if (has_lost_write_access(data_file)) return TESRA_WRITE_FAILED;
    const uint64_t t = record_info->msecs_since_base;
    const uint64_t p = record_info->period;
    if (p == 0) return TESRA_PERIOD_NOT_FOUND;

    if (auto rc = tesra_update_object_index_v6_0(data_file, format::aligned_time(t, p), p,
                                                 record_info->obj_id, f.data_written_count);
        rc != TESRA_SUCCESS) {
        return rc;
    }

    std::array<std::byte, format::kRecordHeaderSize> head{};
    format::encode_record_header({t, record_info->size, record_info->obj_id, p}, head);
    tesra_error_t rc = gz_write_all(f.data_file, head.data(), head.size());
    if (rc == TESRA_SUCCESS) {
        f.data_written_count += head.size();
        rc = gz_write_all(f.data_file, buffer, record_info->size);
        if (rc == TESRA_SUCCESS) f.data_written_count += record_info->size;
    }
    if (rc != TESRA_SUCCESS) {
        // The index already names this record; nothing more may be appended behind the lost
        // bytes, and close must not write an index naming them.
        revoke_write_access(data_file);
    }
    return rc;
}

extern "C" tesra_error_t tesra_update_object_index_v6_0(tesra_file_handle_t *data_file,
                                                        uint64_t r_period_timestamp,
                                                        uint64_t r_period,
                                                        uint32_t r_oid,
                                                        tesra_offset_t r_offset) {
    auto &f = data_file->i6_0;
    tesra_header_handle_t *header = f.header;
    if (header == nullptr || r_oid >= header->i6_0.objects_array_size ||
        header->i6_0.objects[r_oid] == nullptr) {
        return TESRA_OBJECT_NOT_FOUND;
    }
    tesra_period_t *period = find_period(header->i6_0.objects[r_oid], r_period);
    if (period == nullptr) return TESRA_PERIOD_NOT_FOUND;

    if (f.start_time == format::kUnsetStartTime) {
        if (auto rc = tesra_set_start_time_v6_0(data_file, r_period_timestamp);
            rc != TESRA_SUCCESS) {
            return rc;
        }
    }
    const uint64_t t = r_period_timestamp;
    const uint64_t p = r_period;
    const uint64_t s = f.start_time;
    // A record earlier than the start but inside the start's own slot is still indexable.
    if (t < s && t < s - s % p) return TESRA_INVALID_TIMESTAMP;

    uint32_t slot = 0;
    if (!format::is_once_per_archive(p)) {
        if (t / p - s / p >= kMaxSlots) return TESRA_INVALID_TIMESTAMP;
        slot = format::writer_slot(t, s, p);
    }
    if (t > f.end_time && !end_fits_slot_bound(header, s, t)) return TESRA_INVALID_TIMESTAMP;
    if (!format::is_once_per_archive(p)) f.max_period = std::max(f.max_period, p);

    if (auto rc = grow_to_cover(period, slot); rc != TESRA_SUCCESS) return rc;
    uint64_t &entry = period->record_offsets[slot];
    if (format::is_empty_entry(entry)) {
        entry = r_offset;
    } else {
        if (auto rc = append_partial(&period->iterative_record_offsets[slot],
                                     format::entry_position(entry), r_offset);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        entry = format::make_partial_entry(entry);
    }
    f.end_time = std::max(f.end_time, t);
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_num_record_offsets_v6_0(uint64_t start_time,
                                                           uint64_t end_time,
                                                           uint64_t period,
                                                           uint32_t *num_offsets) {
    *num_offsets = static_cast<uint32_t>(format::slot_count64(start_time, end_time, period));
    return TESRA_SUCCESS;
}

// ---- small questions about a writing handle -------------------------------------------------

extern "C" tesra_error_t tesra_ftell(tesra_file_handle_t *data_file, uint64_t *count) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    if (data_file->i6_0.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    return tesra_ftell_v6_0(data_file, count);
}

extern "C" tesra_error_t tesra_ftell_v6_0(tesra_file_handle_t *data_file, uint64_t *count) {
    *count = data_file->i6_0.metadata_written_count + data_file->i6_0.data_written_count;
    return TESRA_SUCCESS;
}

namespace {
uint64_t base_time_of(const tesra_file_handle_t *data_file) {
    const tesra_header_handle_t *header = data_file->i6_0.header;
    return header == nullptr ? 0 : header->i6_0.system.e6_0.base_time;
}
}  // namespace

extern "C" tesra_error_t tesra_get_oldest_record_time(tesra_file_handle_t *data_file,
                                                      uint64_t *time) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_get_oldest_record_time_v6_0(data_file, time);
}

extern "C" tesra_error_t tesra_get_oldest_record_time_v6_0(tesra_file_handle_t *data_file,
                                                           uint64_t *time) {
    if (data_file->i6_0.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    *time = data_file->i6_0.start_time + base_time_of(data_file);
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_newest_record_time(tesra_file_handle_t *data_file,
                                                      uint64_t *time) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_get_newest_record_time_v6_0(data_file, time);
}

extern "C" tesra_error_t tesra_get_newest_record_time_v6_0(tesra_file_handle_t *data_file,
                                                           uint64_t *time) {
    if (data_file->i6_0.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    *time = data_file->i6_0.end_time + base_time_of(data_file);
    return TESRA_SUCCESS;
}
