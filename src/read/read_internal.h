// Helpers shared by the reader's record, instance, counter-value, query and timestamp code:
// handle creation, the "a step frees what the previous step handed out" rule, and slot decoding.
// Nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"

namespace tesra::read {

// ---- versions ----------------------------------------------------------------------------------

// tesra_is_version(handle, 6, 0), inline: the walks through instances and counter values make
// this test once per value.
inline bool is_version_6(const void *handle) noexcept {
    tesra_version_t v;
    std::memcpy(&v, handle, sizeof v);
    return v.major_v == 6;
}

// ---- release and ownership -------------------------------------------------------------------

inline void release(tesra_record_handle_t *p) noexcept {
    tesra_free_record(p);
}
inline void release(tesra_timestamp_handle_t *p) noexcept {
    tesra_free_timestamp(p);
}
inline void release(tesra_instance_handle_t *p) noexcept {
    tesra_free_instance(p);
}
inline void release(tesra_counter_data_handle_t *p) noexcept {
    tesra_free_counter_data(p);
}
inline void release(tesra_query_handle_t *p) noexcept {
    tesra_free_query(p);
}

struct HandleDeleter {
    template <class T>
    void operator()(T *p) const noexcept {
        release(p);
    }
};
// A handle being built: released through its release operation unless published.
template <class T>
using owned = std::unique_ptr<T, HandleDeleter>;

// The one place where a parent drops the item its previous step handed out and takes the next.
template <class T>
void replace_current(T *&current, T *next) noexcept {
    T *old = current;
    current = next;
    release(old);
}

// A zero-filled handle that carries its parent's version pair, as every child handle does.
template <class T, class Parent>
owned<T> new_child_handle(const Parent &parent) noexcept {
    owned<T> h(c_calloc<T>());
    if (h) {
        h->major_v = parent.major_v;
        h->minor_v = parent.minor_v;
    }
    return h;
}

// ---- archive names -----------------------------------------------------------------------------

// An archive named before its time span was known is still being written (or was never
// finished): it is indexed from its data stream, whatever its metadata file holds.
inline bool has_partial_template(std::string_view path) noexcept {
    return path.find(format::kPartialArchiveTemplate) != std::string_view::npos;
}

// The object-index section is absent when its offset was never written (0 in the document), as
// in an archive whose writer has not closed it yet or never did.
inline bool has_index_section(const tesra_header_handle_t &header) noexcept {
    if (header.i6_0.section_defs == nullptr) return false;
    const uint64_t offset = header.i6_0.section_defs[TESRA_OBJECT_INDEX].section_offset;
    return offset != 0 && offset != header.i6_0.header_offset;
}

// ---- archive times -----------------------------------------------------------------------------

inline uint64_t base_time(const tesra_file_handle_t &file) noexcept {
    const tesra_header_handle_t *h = file.i6_0.header;
    return h == nullptr ? 0 : h->i6_0.system.e6_0.base_time;
}

inline uint64_t round_to_second(uint64_t t) noexcept {
    return t - t % 1000;
}

// The archive's relative start time on the whole-second grid that walks and slots use.
inline uint64_t start_second(const tesra_file_handle_t &file) noexcept {
    return round_to_second(file.i6_0.start_time);
}

// Slot of relative time t in `period`'s table, measured from the archive start `start`; false
// when t lies before the table. The once-per-archive period counts seconds so that only its
// first second maps to slot 0.
inline bool slot_of(uint64_t t,
                    uint64_t start,
                    const tesra_period_t &period,
                    uint64_t *out) noexcept {
    const uint64_t v = format::is_once_per_archive(period.period) ? 1000 : period.period;
    if (v == 0 || t / v < start / v) return false;
    *out = t / v - start / v;
    return true;
}

// The slot entry of relative time t, or the no-record value when the table has no such slot.
inline uint64_t slot_entry(uint64_t t, uint64_t start, const tesra_period_t &period) noexcept {
    uint64_t slot = 0;
    if (period.record_offsets == nullptr || !slot_of(t, start, period, &slot) ||
        slot >= period.num_offsets) {
        return format::kNoRecord;
    }
    if (format::is_once_per_archive(period.period) && slot != 0) return format::kNoRecord;
    return period.record_offsets[slot];
}

tesra_period_t *find_object_period(const tesra_object_handle_t &object, uint64_t period) noexcept;

// ---- counter values ----------------------------------------------------------------------------

// Frees the value list's array and, for strings, each string; leaves `data` empty.
void clear_counter_data(tesra_counter_data_t_v6_0 &data) noexcept;

// Deep copy of a value list into `data`, an empty list or one that holds values already: a
// numeric list of the same length keeps its array, anything else is freed and built anew.
tesra_error_t copy_counter_data(const tesra_counter_data_t_v6_0 &src,
                                tesra_counter_data_t_v6_0 &data) noexcept;

// Decodes `counter`'s slot at `offset` inside `instance` into `data`, an empty value list or one
// that holds values already, whose arrays are kept where the new values fit them; with
// `same_counter` (decoded from this counter before) string buffers are kept too. On failure the
// list is left as it was or emptied, never half-owned. The slot must lie inside the instance:
// offsets and sizes come from the metadata and the bytes from the data stream, and the two can
// disagree in a damaged archive.
tesra_error_t decode_slot(const tesra_counter_handle_t &counter,
                          std::span<const char> instance,
                          uint64_t offset,
                          tesra_counter_data_t_v6_0 &data,
                          bool same_counter) noexcept;

// The counter list of an instance's source: the query's counters or the record's, which follow
// the instance's key counters in its counter data.
struct CounterList {
    tesra_counter_handle_t **counters = nullptr;
    uint32_t count = 0;
    tesra_object_handle_t *object = nullptr;
};
CounterList counter_list(const tesra_instance_handle_t &instance) noexcept;

// Where `counter`'s slot starts in the instance: in a record instance, at the counter's offset in
// its period; in a query instance (the instance's bytes from each query period, in list order),
// inside the part of the counter's own period, or of the once-per-archive period when no part
// has that one. TESRA_PERIOD_NOT_FOUND when no part holds the counter.
tesra_error_t counter_offset(const tesra_instance_handle_t &instance,
                             const tesra_counter_handle_t &counter,
                             tesra_offset_t *out) noexcept;

// Whether a slot of `size` bytes at `offset` fits in `instance_size` bytes.
inline bool slot_fits(uint64_t offset, uint64_t size, uint64_t instance_size) noexcept {
    uint64_t end = 0;
    return !__builtin_add_overflow(offset, size, &end) && end <= instance_size;
}

}  // namespace tesra::read
