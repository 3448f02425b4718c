// Record walks over an open archive, in time order (slot tables) or stream order (record headers),
// and the reading of one logical record: a stored record plus the partial records of its slot.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tesra/tesra_int_defs.h"

#include "common/guard.h"
#include "read/data_stream.h"
#include "read/read_internal.h"

namespace tesra::read {

tesra_period_t *find_object_period(const tesra_object_handle_t &object, uint64_t period) noexcept {
    for (tesra_period_t *p = object.i6_0.period_list; p != nullptr; p = p->next_period) {
        if (p->period == period) return p;
    }
    return nullptr;
}

namespace {

tesra_error_t read_record_header(tesra_file_handle_t &file,
                                 uint64_t offset,
                                 format::RecordHeader *out) noexcept {
    std::array<std::byte, format::kRecordHeaderSize> raw{};
    if (auto rc = read_data_exact(file, offset, raw); rc != TESRA_SUCCESS) return rc;
    *out = format::decode_record_header(raw);
    return TESRA_SUCCESS;
}

// Fills the record's counter list from its period's chain of non-key counters.
tesra_error_t set_record_counters(tesra_record_handle_t &record, const tesra_period_t &period) {
    if (period.num_cnts == 0) return TESRA_SUCCESS;
    c_ptr<tesra_counter_handle_t *> counters(c_calloc<tesra_counter_handle_t *>(period.num_cnts));
    if (!counters) return TESRA_NULL_POINTER;
    uint32_t n = 0;
    for (tesra_counter_handle_t *c = period.cnt_list; c != nullptr && n < period.num_cnts;
         c = c->i6_0.next_cnt_by_period[period.period_index]) {
        counters.get()[n++] = c;
    }
    record.i6_0.counters = counters.release();
    record.i6_0.num_cnts = n;
    return TESRA_SUCCESS;
}

tesra_error_t add_record_data(tesra_record_handle_t &record,
                              tesra_offset_t offset,
                              tesra_file_handle_t &file) {
    format::RecordHeader hdr{};
    if (auto rc = read_record_header(file, offset, &hdr); rc != TESRA_SUCCESS) return rc;

    if (hdr.size > format::kMaxRecordBodySize || !tesra_is_period_valid(hdr.period)) {
        return TESRA_CORRUPT_ARCHIVE;
    }
    const tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr) return TESRA_NULL_POINTER;
    if (hdr.obj_id >= header->i6_0.objects_array_size || header->i6_0.objects == nullptr ||
        header->i6_0.objects[hdr.obj_id] == nullptr) {
        return TESRA_CORRUPT_ARCHIVE;
    }
    tesra_object_handle_t *object = header->i6_0.objects[hdr.obj_id];
    tesra_period_t *period = find_object_period(*object, hdr.period);
    // The full 64-bit instance size: counter sizes are metadata and their sum may not fit 32 bits.
    if (period == nullptr || period->cnts_size == 0 || hdr.size % period->cnts_size != 0) {
        return TESRA_INVALID_RECORD;
    }
    const auto instances = static_cast<uint32_t>(hdr.size / period->cnts_size);

    if (record.i6_0.object == nullptr) {
        c_ptr<char> body(c_calloc<char>(hdr.size));
        if (!body) return TESRA_NULL_POINTER;
        if (auto rc =
                read_data_exact(file, offset + format::kRecordHeaderSize,
                                std::as_writable_bytes(std::span<char>(body.get(), hdr.size)));
            rc != TESRA_SUCCESS) {
            return rc;
        }
        if (auto rc = set_record_counters(record, *period); rc != TESRA_SUCCESS) return rc;
        record.e6_0.major_v = record.major_v;
        record.e6_0.minor_v = record.minor_v;
        record.e6_0.msecs_since_base = hdr.msecs_since_base;
        record.e6_0.size = hdr.size;
        record.e6_0.obj_id = hdr.obj_id;
        record.e6_0.period = hdr.period;
        std::free(record.i6_0.data_buffer);
        record.i6_0.data_buffer = body.release();
        record.i6_0.num_instances = instances;
        record.i6_0.object = object;
        record.i6_0.period = period;
        record.i6_0.instance_offset = 0;
        replace_current(record.i6_0.current_instance,
                        static_cast<tesra_instance_handle_t *>(nullptr));
        return TESRA_SUCCESS;
    }

    // A further partial record of the same sample. Its instances must have the first one's
    // layout, or the joined buffer could not be cut into instances.
    if (hdr.obj_id != record.e6_0.obj_id || hdr.period != record.e6_0.period) {
        return TESRA_INVALID_RECORD;
    }
    uint32_t total_size = 0;
    uint32_t total_instances = 0;
    if (__builtin_add_overflow(record.e6_0.size, hdr.size, &total_size) ||
        __builtin_add_overflow(record.i6_0.num_instances, instances, &total_instances)) {
        return TESRA_CORRUPT_ARCHIVE;
    }
    // The body is read before the joined buffer grows, so a slot list naming records the stream
    // does not hold fails on the read instead of on an allocation sized by the list.
    std::vector<char> body(hdr.size);
    if (auto rc = read_data_exact(file, offset + format::kRecordHeaderSize,
                                  std::as_writable_bytes(std::span<char>(body)));
        rc != TESRA_SUCCESS) {
        return rc;
    }
    auto *joined = static_cast<char *>(
        std::realloc(record.i6_0.data_buffer, total_size == 0 ? 1 : total_size));
    if (joined == nullptr) return TESRA_NULL_POINTER;
    if (!body.empty()) std::memcpy(joined + record.e6_0.size, body.data(), body.size());
    record.i6_0.data_buffer = joined;
    record.e6_0.size = total_size;
    record.i6_0.num_instances = total_instances;
    return TESRA_SUCCESS;
}

// Reads the logical record in one slot entry of `period`; the entry is not the no-record value.
tesra_error_t read_slot(tesra_file_handle_t &file,
                        const tesra_period_t &period,
                        uint64_t slot,
                        tesra_record_handle_t &record) {
    const uint64_t entry = period.record_offsets[slot];
    if (!format::is_partial_entry(entry)) {
        if (auto rc = add_record_data(record, entry, file); rc != TESRA_SUCCESS) return rc;
    } else {
        const tesra_iterative_record_offsets_t *list = period.iterative_record_offsets == nullptr
                                                           ? nullptr
                                                           : &period.iterative_record_offsets[slot];
        if (list == nullptr || list->num_offsets == 0 || list->offsets == nullptr) {
            return TESRA_CORRUPT_ARCHIVE;
        }
        // Partial records were written one after the other, so each lies behind the previous
        // one. Holding lists to that keeps the joined record within what the stream holds.
        uint64_t next_free = 0;
        for (uint32_t i = 0; i < list->num_offsets; ++i) {
            const uint64_t offset = list->offsets[i];
            if (i > 0 && offset < next_free) return TESRA_CORRUPT_ARCHIVE;
            const uint32_t size_before = record.e6_0.size;
            if (auto rc = add_record_data(record, offset, file); rc != TESRA_SUCCESS) return rc;
            next_free = offset + format::kRecordHeaderSize + (record.e6_0.size - size_before);
        }
    }
    // The index is metadata and the record bytes are stream data: a slot that points at another
    // object's or period's record would be decoded with the wrong layout.
    if (record.i6_0.period != &period) return TESRA_CORRUPT_ARCHIVE;
    return TESRA_SUCCESS;
}

tesra_error_t get_record(tesra_file_handle_t &file,
                         uint64_t t,
                         tesra_period_t &period,
                         tesra_record_handle_t **out) {
    *out = nullptr;
    uint64_t slot = 0;
    if (period.record_offsets == nullptr || !slot_of(t, start_second(file), period, &slot) ||
        slot >= period.num_offsets || (format::is_once_per_archive(period.period) && slot != 0) ||
        format::is_empty_entry(period.record_offsets[slot])) {
        return TESRA_RECORD_NOT_FOUND;
    }
    auto record = new_child_handle<tesra_record_handle_t>(file);
    if (!record) return TESRA_NULL_POINTER;
    if (auto rc = read_slot(file, period, slot, *record); rc != TESRA_SUCCESS) return rc;
    *out = record.release();
    return TESRA_SUCCESS;
}

tesra_period_t *next_period(const tesra_file_handle_t &file, const tesra_period_t *period) {
    if (period == nullptr) {
        const tesra_header_handle_t *header = file.i6_0.header;
        if (header == nullptr || header->i6_0.object_list == nullptr) return nullptr;
        return header->i6_0.object_list->i6_0.period_list;
    }
    if (period->next_period != nullptr) return period->next_period;
    if (period->object != nullptr && period->object->i6_0.next_object != nullptr) {
        return period->object->i6_0.next_object->i6_0.period_list;
    }
    return nullptr;
}

bool is_due(const tesra_file_handle_t &file, const tesra_period_t &period, uint64_t t) {
    if (format::is_once_per_archive(period.period)) return t == start_second(file);
    return period.period != 0 && t % period.period == 0;
}

// The first second at which any slot table can hold a record: a period's first slot begins at
// the start rounded down to that period, so a coarser period's record taken into the start's
// slot lies before the start.
uint64_t first_walk_second(const tesra_file_handle_t &file) {
    const uint64_t s = start_second(file);
    uint64_t first = s;
    const tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr) return first;
    for (const tesra_object_handle_t *o = header->i6_0.object_list; o != nullptr;
         o = o->i6_0.next_object) {
        for (const tesra_period_t *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            if (p->period == 0 || format::is_once_per_archive(p->period)) continue;
            first = std::min(first, s / p->period * p->period);
        }
    }
    return first;
}

// The last second at which any slot table can hold a record. The walk stops there even when
// the archive's end_time (metadata, so outside input) claims more: valid archives size their
// tables to end_time, so nothing is lost, and a forged end_time cannot keep the walk stepping
// through empty seconds for years.
uint64_t last_walk_second(const tesra_file_handle_t &file) {
    const uint64_t s = start_second(file);
    uint64_t last = s;
    const tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr) return last;
    for (const tesra_object_handle_t *o = header->i6_0.object_list; o != nullptr;
         o = o->i6_0.next_object) {
        for (const tesra_period_t *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            if (p->period == 0 || format::is_once_per_archive(p->period) || p->num_offsets == 0) {
                continue;
            }
            const uint64_t first_slot = s / p->period;
            const uint64_t last_slot = first_slot + p->num_offsets - 1;
            if (last_slot > UINT64_MAX / p->period) return file.i6_0.end_time;
            last = std::max(last, last_slot * p->period);
        }
    }
    return std::min(last, file.i6_0.end_time);
}

// The first second after `t` at which any period is due. The walk jumps there instead of
// stepping through the seconds in between, where no slot can hold a record: a day-long period
// alone would otherwise cost 86,400 steps per slot, and a hostile table of a million weekly slots
// would keep the walk busy for days. Every period comes from the period table, whole seconds,
// so each due time lies on the walk's whole-second grid. UINT64_MAX when none is left.
uint64_t next_walk_second(const tesra_file_handle_t &file, uint64_t t) {
    const tesra_header_handle_t *header = file.i6_0.header;
    if (header == nullptr) return UINT64_MAX;
    const uint64_t s = start_second(file);
    uint64_t next = UINT64_MAX;
    for (const tesra_object_handle_t *o = header->i6_0.object_list; o != nullptr;
         o = o->i6_0.next_object) {
        for (const tesra_period_t *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            uint64_t due = UINT64_MAX;
            if (p->period == 0) {
                continue;
            } else if (format::is_once_per_archive(p->period)) {
                if (s > t) due = s;
            } else if (const uint64_t slot = t / p->period + 1; slot <= UINT64_MAX / p->period) {
                due = slot * p->period;
            }
            next = std::min(next, due);
        }
    }
    return next;
}

// One step of the time-ordered walk: every period of every object at each due second, in object
// list order and ascending period, until a due slot holds a record or the archive ends.
tesra_error_t linear_step(tesra_file_handle_t &file, tesra_record_handle_t **out) {
    auto &fi = file.i6_0;
    while (fi.current_period != nullptr) {
        tesra_record_handle_t *found = nullptr;
        if (is_due(file, *fi.current_period, fi.current_timestamp)) {
            auto rc = get_record(file, fi.current_timestamp, *fi.current_period, &found);
            if (rc != TESRA_SUCCESS && rc != TESRA_RECORD_NOT_FOUND) return rc;
            replace_current(fi.current_record, found);
        }
        tesra_period_t *next = next_period(file, fi.current_period);
        if (next == nullptr) {
            fi.current_timestamp = next_walk_second(file, fi.current_timestamp);
            if (fi.current_timestamp == UINT64_MAX ||
                fi.current_timestamp > last_walk_second(file)) {
                fi.current_period = nullptr;
                *out = found;
                return TESRA_SUCCESS;
            }
            next = next_period(file, nullptr);
        }
        fi.current_period = next;
        if (found != nullptr) {
            *out = found;
            return TESRA_SUCCESS;
        }
    }
    return TESRA_SUCCESS;
}

// Moves the stream position past the records that lie before absolute `time`, reading headers
// only. Every step moves forward by at least a header, so the loop ends with the stream.
tesra_error_t skip_to_time(tesra_file_handle_t &file, uint64_t time) {
    const uint64_t base = base_time(file);
    const uint64_t start = file.i6_0.start_time;
    if (time < base || time - base <= start) return TESRA_SUCCESS;
    const uint64_t target = time - base;
    for (;;) {
        format::RecordHeader hdr{};
        auto rc = read_record_header(file, file.i6_0.current_offset, &hdr);
        if (rc == TESRA_READ_FAILED) return TESRA_SUCCESS;  // the following read reports the end
        if (rc != TESRA_SUCCESS) return rc;
        if (hdr.msecs_since_base >= target) return TESRA_SUCCESS;
        file.i6_0.current_offset += format::kRecordHeaderSize + hdr.size;
    }
}

// One step of the stream-ordered walk. Each stored record comes out on its own, partial records
// included; the end of the stream ends the walk.
tesra_error_t raw_step(tesra_file_handle_t &file, tesra_record_handle_t **out) {
    auto record = new_child_handle<tesra_record_handle_t>(file);
    if (!record) return TESRA_NULL_POINTER;
    if (auto rc = skip_to_time(file, file.i6_0.data_start_time); rc != TESRA_SUCCESS) return rc;
    const uint64_t offset = file.i6_0.current_offset;
    auto rc = add_record_data(*record, offset, file);
    if (rc == TESRA_READ_FAILED) return TESRA_SUCCESS;
    if (rc != TESRA_SUCCESS) return rc;
    record->i6_0.offset = offset;
    file.i6_0.current_offset = offset + format::kRecordHeaderSize + record->e6_0.size;
    *out = record.get();
    replace_current(file.i6_0.current_record, record.release());
    return TESRA_SUCCESS;
}

tesra_error_t first_record(tesra_file_handle_t &file,
                           tesra_order_type_t order_type,
                           uint64_t start_time,
                           tesra_record_handle_t **out) {
    *out = nullptr;
    auto &fi = file.i6_0;
    replace_current(fi.current_record, static_cast<tesra_record_handle_t *>(nullptr));
    fi.current_period = nullptr;
    fi.current_timestamp = round_to_second(start_time);
    fi.data_start_time = start_time;
    fi.order_type = order_type;
    const uint64_t base = base_time(file);

    if (order_type == TESRA_LINEAR_ORDER) {
        // An archive without records has no time span to walk.
        if (fi.start_time == format::kUnsetStartTime) return TESRA_SUCCESS;
        if (start_time > base && start_time - base > fi.start_time) {
            if (start_time - base > fi.end_time) return TESRA_SUCCESS;
            fi.current_timestamp = round_to_second(fi.current_timestamp - base);
        } else {
            fi.current_timestamp = first_walk_second(file);
        }
        fi.current_period = next_period(file, nullptr);
        return linear_step(file, out);
    }
    if (order_type == TESRA_RAW_ORDER) {
        fi.current_offset = 0;
        if (start_time > base && start_time - base > fi.end_time) return TESRA_SUCCESS;
        return raw_step(file, out);
    }
    return TESRA_INVALID_ARGUMENTS;
}

tesra_error_t next_record(tesra_file_handle_t &file, tesra_record_handle_t **out) {
    *out = nullptr;
    replace_current(file.i6_0.current_record, static_cast<tesra_record_handle_t *>(nullptr));
    switch (file.i6_0.order_type) {
        case TESRA_RAW_ORDER:
            return raw_step(file, out);
        case TESRA_LINEAR_ORDER:
            return linear_step(file, out);
        default:
            return TESRA_INVALID_ARGUMENTS;
    }
}

}  // namespace
}  // namespace tesra::read

using tesra::guarded;

// ---- public entries
// ------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_first_record(tesra_file_handle_t *data_file,
                                            tesra_order_type_t order_type,
                                            uint64_t start_time,
                                            tesra_record_handle_t **record) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (static_cast<uint32_t>(order_type) >= TESRA_MAX_ORDER_TYPES) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_first_record_v6_0(data_file, order_type, start_time, record);
}

extern "C" tesra_error_t tesra_next_record(tesra_file_handle_t *data_file,
                                           tesra_record_handle_t **record) {
    if (data_file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(data_file, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_next_record_v6_0(data_file, record);
}

extern "C" tesra_error_t tesra_get_record_info(tesra_record_handle_t *record, void *record_info) {
    if (record == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(record, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_get_record_info_v6_0(record,
                                      static_cast<tesra_record_header_data_t_v6_0 *>(record_info));
}

extern "C" tesra_error_t tesra_get_object_from_record(tesra_record_handle_t *record,
                                                      tesra_object_handle_t **object) {
    if (record == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(record, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_get_object_from_record_v6_0(record, object);
}

// ---- bodies
// --------------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_first_record_v6_0(tesra_file_handle_t *data_file,
                                                 tesra_order_type_t order_type,
                                                 uint64_t start_time,
                                                 tesra_record_handle_t **record) {
    return guarded(
        [&] { return tesra::read::first_record(*data_file, order_type, start_time, record); });
}

extern "C" tesra_error_t tesra_next_record_v6_0(tesra_file_handle_t *data_file,
                                                tesra_record_handle_t **record) {
    return guarded([&] { return tesra::read::next_record(*data_file, record); });
}

extern "C" tesra_error_t tesra_get_record_info_v6_0(tesra_record_handle_t *record,
                                                    tesra_record_header_data_t_v6_0 *record_info) {
    *record_info = record->e6_0;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_object_from_record_v6_0(tesra_record_handle_t *record,
                                                           tesra_object_handle_t **object) {
    *object = record->i6_0.object;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_record_v6_0(tesra_file_handle_t *data_file,
                                               uint64_t timestamp,
                                               tesra_period_t *period,
                                               tesra_record_handle_t **record) {
    return guarded([&] { return tesra::read::get_record(*data_file, timestamp, *period, record); });
}

extern "C" tesra_error_t tesra_add_record_data_v6_0(tesra_record_handle_t *record,
                                                    tesra_offset_t record_offset,
                                                    tesra_file_handle_t *data_file) {
    return guarded(
        [&] { return tesra::read::add_record_data(*record, record_offset, *data_file); });
}

extern "C" tesra_error_t tesra_find_next_record_after_time_v6_0(tesra_file_handle_t *data_file,
                                                                uint64_t time) {
    return guarded([&] { return tesra::read::skip_to_time(*data_file, time); });
}

extern "C" tesra_error_t tesra_get_next_period_v6_0(tesra_file_handle_t *data_file,
                                                    tesra_period_t **period) {
    if (data_file == nullptr) return TESRA_NULL_POINTER;
    *period = tesra::read::next_period(*data_file, *period);
    return TESRA_SUCCESS;
}
