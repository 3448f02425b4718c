// Makes every record of an opened archive reachable by object, period and slot: loads the
// object index, record-offset tables and partial-record lists from the metadata file, or rebuilds
// them from the data stream of an archive still being written; then lays out each instance.
#include <algorithm>
#include <array>
#include <climits>
#include <vector>

#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/byte_cursor.h"
#include "common/c_memory.h"
#include "common/guard.h"
#include "format/record_scan.h"
#include "read/data_stream.h"
#include "read/live_index.h"
#include "read/meta_file.h"

namespace tesra::read {

tesra_error_t metadata_file_size(FILE *file, uint64_t *out) noexcept {
    if (file == nullptr) return TESRA_FILE_NOT_FOUND;
    if (std::fseek(file, 0, SEEK_END) != 0) return TESRA_SEEK_FAILED;
    const long size = std::ftell(file);
    if (size < 0) return TESRA_SEEK_FAILED;
    *out = static_cast<uint64_t>(size);
    return TESRA_SUCCESS;
}

tesra_error_t read_metadata_at(FILE *file, uint64_t offset, std::span<std::byte> out) noexcept {
    if (file == nullptr) return TESRA_FILE_NOT_FOUND;
    if (offset > static_cast<uint64_t>(LONG_MAX)) return TESRA_SEEK_FAILED;
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0) return TESRA_SEEK_FAILED;
    if (out.empty()) return TESRA_SUCCESS;
    return std::fread(out.data(), 1, out.size(), file) == out.size() ? TESRA_SUCCESS
                                                                     : TESRA_READ_FAILED;
}

namespace {

// Whether the archive's times describe a span. A writer may set the start ahead of its records,
// so an archive still being written can carry an end below its start.
bool has_span(const tesra_file_int_t_v6_0 &f) {
    return f.start_time != format::kUnsetStartTime && f.end_time >= f.start_time;
}

uint64_t index_section_start(const tesra_header_handle_t &header) {
    return header.i6_0.section_defs[TESRA_OBJECT_INDEX].section_offset;
}

tesra_error_t parse_object_index(tesra_file_handle_t &file) {
    tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr || header->i6_0.section_defs == nullptr) return TESRA_NULL_POINTER;
    uint64_t file_size = 0;
    if (auto rc = metadata_file_size(file.i6_0.metadata_file, &file_size); rc != TESRA_SUCCESS) {
        return rc;
    }
    const uint64_t start = index_section_start(*header);
    const uint64_t rows = header->i6_0.num_objects_sampled;
    const uint64_t bytes = rows * format::kObjectIndexRowBytes;  // rows < 2^32: no overflow
    // Bounded by the file before anything is allocated: a forged object count or section
    // offset ends here instead of in a giant allocation.
    if (start > file_size) return TESRA_SEEK_FAILED;
    if (!fits_in_file(start, bytes, file_size)) return TESRA_READ_FAILED;

    std::vector<std::byte> raw(bytes);
    if (auto rc = read_metadata_at(file.i6_0.metadata_file, start, raw); rc != TESRA_SUCCESS) {
        return rc;
    }
    c_ptr<tesra_offset_t> table(c_calloc<tesra_offset_t>(rows * TESRA_NUM_PERIODS));
    if (!table) return TESRA_NULL_POINTER;
    ByteCursor cursor(raw);
    for (uint64_t i = 0; i < rows * TESRA_NUM_PERIODS; ++i) cursor.read_u64(&table.get()[i]);
    std::free(header->i6_0.object_index);
    header->i6_0.object_index = table.release();

    uint32_t position = 0;
    for (auto *o = header->i6_0.object_list; o != nullptr; o = o->i6_0.next_object, ++position) {
        for (auto *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            if (auto rc = tesra_parse_record_offsets_v6_0(&file, p, position);
                rc != TESRA_SUCCESS) {
                return rc;
            }
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t parse_record_offsets(tesra_file_handle_t &file,
                                   tesra_period_t &period,
                                   uint32_t obj_count) {
    tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr || header->i6_0.object_index == nullptr) return TESRA_NULL_POINTER;
    tesra_offset_t relative = 0;
    if (auto rc = tesra_get_object_period_offset(header, obj_count, period.period, &relative);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    // 0 marks a period the index does not hold, although the header says the object has it:
    // reading there would take the object index itself for a table.
    if (relative == 0) return TESRA_CORRUPT_ARCHIVE;
    // The table was sized from the archive's times by header building; the writer stored one of
    // exactly the length those times give, so any other length means the two disagree.
    const uint64_t expected =
        format::slot_count64(file.i6_0.start_time, file.i6_0.end_time, period.period);
    if (expected != period.num_offsets || period.record_offsets == nullptr) {
        return TESRA_CORRUPT_ARCHIVE;
    }
    uint64_t file_size = 0;
    if (auto rc = metadata_file_size(file.i6_0.metadata_file, &file_size); rc != TESRA_SUCCESS) {
        return rc;
    }
    uint64_t position = 0;
    if (__builtin_add_overflow(index_section_start(*header), relative, &position) ||
        position > file_size) {
        return TESRA_SEEK_FAILED;
    }
    const uint64_t bytes = uint64_t{period.num_offsets} * sizeof(uint64_t);
    if (!fits_in_file(position, bytes, file_size)) return TESRA_READ_FAILED;

    std::vector<std::byte> raw(bytes);
    if (auto rc = read_metadata_at(file.i6_0.metadata_file, position, raw); rc != TESRA_SUCCESS) {
        return rc;
    }
    ByteCursor cursor(raw);
    for (uint32_t i = 0; i < period.num_offsets; ++i) cursor.read_u64(&period.record_offsets[i]);

    for (uint32_t i = 0; i < period.num_offsets; ++i) {
        if (!format::is_partial_entry(period.record_offsets[i])) continue;
        if (auto rc = tesra_parse_iterative_record_offsets_v6_0(&file, &period, i);
            rc != TESRA_SUCCESS) {
            return rc;
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t parse_iterative_record_offsets(tesra_file_handle_t &file,
                                             tesra_period_t &period,
                                             uint32_t index) {
    tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr || period.record_offsets == nullptr ||
        period.iterative_record_offsets == nullptr) {
        return TESRA_NULL_POINTER;
    }
    if (index >= period.num_offsets) return TESRA_INVALID_ARGUMENTS;
    uint64_t file_size = 0;
    if (auto rc = metadata_file_size(file.i6_0.metadata_file, &file_size); rc != TESRA_SUCCESS) {
        return rc;
    }
    uint64_t position = 0;
    if (__builtin_add_overflow(index_section_start(*header),
                               format::entry_position(period.record_offsets[index]), &position) ||
        position > file_size) {
        return TESRA_SEEK_FAILED;
    }
    std::array<std::byte, sizeof(uint32_t)> count_raw{};
    if (auto rc = read_metadata_at(file.i6_0.metadata_file, position, count_raw);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    uint32_t count = 0;
    ByteCursor(count_raw).read_u32(&count);
    if (count > format::kMaxPartialRecords) return TESRA_INVALID_NUM_PARTIAL_RECORDS;
    const uint64_t bytes = uint64_t{count} * sizeof(uint64_t);
    if (!fits_in_file(position + sizeof(uint32_t), bytes, file_size)) return TESRA_READ_FAILED;

    std::vector<std::byte> raw(bytes);
    if (auto rc = read_metadata_at(file.i6_0.metadata_file, position + sizeof(uint32_t), raw);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    // An empty list keeps no array: the release frees a list's array only when it counts
    // offsets.
    c_ptr<tesra_offset_t> offsets(count == 0 ? nullptr : c_calloc<tesra_offset_t>(count));
    if (count != 0 && !offsets) return TESRA_NULL_POINTER;
    ByteCursor cursor(raw);
    for (uint32_t i = 0; i < count; ++i) cursor.read_u64(&offsets.get()[i]);

    tesra_iterative_record_offsets_t &list = period.iterative_record_offsets[index];
    std::free(list.offsets);
    list.offsets = offsets.release();
    list.num_offsets = count;
    list.offsets_size = count;
    return TESRA_SUCCESS;
}

// Enters one complete record into the index through the writer's own maintenance. Its bounds
// are the writer's (no table beyond the slot bound, no record outside the reach of the archive's
// time grid), so every archive the writer produced is rebuilt, and a forged stream can make the
// reader hold no more than a writer indexing the same records would have held.
tesra_error_t index_record(tesra_file_handle_t &file,
                           const format::RecordHeader &record,
                           uint64_t offset) {
    const uint64_t p = record.period;
    return tesra_update_object_index_v6_0(&file, format::aligned_time(record.msecs_since_base, p),
                                          p, record.obj_id, offset);
}

tesra_error_t recreate_object_index(tesra_file_handle_t &file) {
    tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr) return TESRA_NULL_POINTER;

    follow_stream_growth(file);
    // Object, period and time are left to the writer's index maintenance, which refuses them
    // with its own codes; the scanner holds records to the period table only.
    DataStreamSource source(file);
    const format::RecordRules rules;
    format::RecordScanner scanner(source, rules, format::RecordScanner::Bodies::kSkip);
    format::ScannedRecord record;
    while (scanner.next(&record)) {
        // Records of a period outside the table are skipped; their bodies still chain the
        // stream.
        if (record.breach == format::StopReason::kUnknownPeriod) continue;
        if (auto rc = index_record(file, record.header, record.offset); rc != TESRA_SUCCESS) {
            // A time the writer's index refuses cannot have been written: the stream is damaged
            // or forged, not merely unfinished.
            return rc == TESRA_INVALID_TIMESTAMP ? TESRA_CORRUPT_ARCHIVE : rc;
        }
    }
    // A header or body cut short is a record the writer has not finished: it is left out.
    switch (scanner.end().reason) {
        case format::StopReason::kReadFailed:
            return scanner.end().error;
        case format::StopReason::kBodyTooLarge:
        case format::StopReason::kOffsetTooLarge:
            return TESRA_CORRUPT_ARCHIVE;
        default:
            break;
    }

    note_indexed_stream(file, scanner.point().offset);
    auto &f = file.i6_0;
    if (has_span(f)) f.duration = f.end_time - f.start_time;
    const uint64_t base_time = header->i6_0.system.e6_0.base_time;
    file.e6_0.start_time = f.start_time + base_time;
    file.e6_0.end_time = f.end_time + base_time;
    return tesra_update_num_record_offsets_v6_0(&file);
}

tesra_error_t update_num_record_offsets(tesra_file_handle_t &file) {
    tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr) return TESRA_NULL_POINTER;
    const auto &f = file.i6_0;
    // Without a span (no record yet, or a start set ahead of every record) there is nothing to
    // trim to; the tables stay as built.
    if (!has_span(f)) return TESRA_SUCCESS;
    for (auto *o = header->i6_0.object_list; o != nullptr; o = o->i6_0.next_object) {
        for (auto *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            uint32_t n = 0;
            if (auto rc =
                    tesra_get_num_record_offsets_v6_0(f.start_time, f.end_time, p->period, &n);
                rc != TESRA_SUCCESS) {
                return rc;
            }
            if (p->num_offsets <= n) continue;
            // The slots cut off are no longer counted, so the release would miss their lists.
            for (uint32_t i = n; i < p->num_offsets; ++i) {
                tesra_iterative_record_offsets_t &list = p->iterative_record_offsets[i];
                std::free(list.offsets);
                list = tesra_iterative_record_offsets_t{};
            }
            p->num_offsets = n;
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t place_counter(tesra_counter_handle_t &counter, tesra_period_t &period) {
    counter.i6_0.record_offsets[period.period_index] = period.cnts_size;
    period.cnts_size += counter.e6_0.size;
    // A record's size is a 32-bit field, so a larger instance could never be stored; refusing it
    // here spares every later instance computation from overflow.
    return period.cnts_size <= UINT32_MAX ? TESRA_SUCCESS : TESRA_CORRUPT_ARCHIVE;
}

tesra_error_t set_counter_value_offsets(tesra_header_handle_t &header) {
    for (auto *o = header.i6_0.object_list; o != nullptr; o = o->i6_0.next_object) {
        for (auto *p = o->i6_0.period_list; p != nullptr; p = p->next_period) p->cnts_size = 0;
    }
    for (auto *o = header.i6_0.object_list; o != nullptr; o = o->i6_0.next_object) {
        for (auto *c = o->i6_0.cnt_list; c != nullptr; c = c->i6_0.next_cnt_by_id) {
            if (c->e6_0.is_key) {
                for (auto *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
                    if (auto rc = place_counter(*c, *p); rc != TESRA_SUCCESS) return rc;
                }
                continue;
            }
            for (tesra_period_t *p : c->i6_0.periods) {
                if (p == nullptr) continue;
                if (auto rc = place_counter(*c, *p); rc != TESRA_SUCCESS) return rc;
            }
        }
    }
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::read

using tesra::guarded;

extern "C" tesra_error_t tesra_parse_object_index_v6_0(tesra_file_handle_t *data_file) {
    if (data_file == nullptr) return TESRA_NULL_POINTER;
    return guarded([&] { return tesra::read::parse_object_index(*data_file); });
}

extern "C" tesra_error_t tesra_parse_record_offsets_v6_0(tesra_file_handle_t *data_file,
                                                         tesra_period_t *period,
                                                         uint32_t obj_count) {
    if (data_file == nullptr || period == nullptr) return TESRA_NULL_POINTER;
    return guarded(
        [&] { return tesra::read::parse_record_offsets(*data_file, *period, obj_count); });
}

extern "C" tesra_error_t tesra_parse_iterative_record_offsets_v6_0(tesra_file_handle_t *data_file,
                                                                   tesra_period_t *period,
                                                                   uint32_t index) {
    if (data_file == nullptr || period == nullptr) return TESRA_NULL_POINTER;
    return guarded(
        [&] { return tesra::read::parse_iterative_record_offsets(*data_file, *period, index); });
}

extern "C" tesra_error_t tesra_recreate_object_index_v6_0(tesra_file_handle_t *data_file) {
    if (data_file == nullptr) return TESRA_NULL_POINTER;
    return guarded([&] { return tesra::read::recreate_object_index(*data_file); });
}

extern "C" tesra_error_t tesra_update_num_record_offsets_v6_0(tesra_file_handle_t *data_file) {
    if (data_file == nullptr) return TESRA_NULL_POINTER;
    return tesra::read::update_num_record_offsets(*data_file);
}

extern "C" tesra_error_t tesra_set_counter_value_offsets_v6_0(tesra_header_handle_t *header) {
    if (header == nullptr) return TESRA_INVALID_ARGUMENTS;
    return tesra::read::set_counter_value_offsets(*header);
}
