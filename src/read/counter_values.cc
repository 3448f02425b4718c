// Counter values of an instance: decoding a counter's slot into values, finding where a counter's
// slot lies in an instance, and the walk over an instance's key counters and read counters.
#include <cstring>
#include <optional>

#include "tesra/tesra_int_defs.h"

#include "common/guard.h"
#include "read/read_internal.h"

namespace tesra::read {

void clear_counter_data(tesra_counter_data_t_v6_0 &data) noexcept {
    if (data.values != nullptr && data.value_type == TESRA_CNT_STRING) {
        for (uint32_t i = 0; i < data.num_values; ++i) c_free(data.values[i].val_str);
    }
    std::free(data.values);
    data.values = nullptr;
    data.num_values = 0;
}

tesra_error_t copy_counter_data(const tesra_counter_data_t_v6_0 &src,
                                tesra_counter_data_t_v6_0 &data) noexcept {
    const bool is_string = src.value_type == TESRA_CNT_STRING;
    // A numeric list of the same length keeps its array; anything else starts afresh.
    const bool keep = !is_string && src.values != nullptr && data.values != nullptr &&
                      data.value_type != TESRA_CNT_STRING && data.num_values == src.num_values;
    if (!keep) {
        clear_counter_data(data);
        data.values = c_calloc<tesra_cnt_value_t>(src.num_values);
        if (data.values == nullptr) return TESRA_NULL_POINTER;
        // Cells not yet filled are null strings, which clear_counter_data frees harmlessly.
        data.num_values = src.num_values;
    }
    data.value_type = src.value_type;
    for (uint32_t i = 0; i < src.num_values; ++i) {
        if (!is_string) {
            data.values[i] = src.values[i];
            continue;
        }
        char *s = c_strdup(src.values[i].val_str == nullptr ? "" : src.values[i].val_str);
        if (s == nullptr) {
            clear_counter_data(data);
            return TESRA_NULL_POINTER;
        }
        data.values[i].val_str = s;
    }
    return TESRA_SUCCESS;
}

namespace {

uint32_t get_le32(const char *p) {
    return format::detail::get_le<uint32_t>(reinterpret_cast<const std::byte *>(p));
}
uint64_t get_le64(const char *p) {
    return format::detail::get_le<uint64_t>(reinterpret_cast<const std::byte *>(p));
}

// Decodes the `counter.size` bytes at `slot` (the caller has bounded them) into `data`, an
// empty value list or one that holds values already. A list of the same length and kind keeps
// its array, so stepping through an instance's counters allocates nothing; its strings are kept
// only with `same_counter` (decoded from this counter before, so each buffer has room for the
// counter's width). On failure `data` is left as it was or emptied, never half-owned.
tesra_error_t decode_values(const tesra_counter_handle_t &counter,
                            const char *slot,
                            tesra_counter_data_t_v6_0 &data,
                            bool same_counter) {
    const auto &def = counter.e6_0;
    const uint64_t n = format::value_count(def.num_x_items, def.num_y_items);
    // Every value takes at least one byte of the slot; more labels than bytes cannot describe
    // the slot and would only size an allocation.
    if (n > 1 && n > def.size) return TESRA_CORRUPT_ARCHIVE;
    const uint64_t width = n == 1 ? def.size : def.size / n;  // n is 1 for most counters
    const bool is_string = format::is_string_ctype(def.ctype);
    const bool keep = data.values != nullptr && data.num_values == n &&
                      (data.value_type == TESRA_CNT_STRING) == is_string &&
                      (!is_string || same_counter);
    if (!keep) {
        clear_counter_data(data);
        data.values = c_calloc<tesra_cnt_value_t>(n);
        if (data.values == nullptr) return TESRA_NULL_POINTER;
        // A fresh list's strings are null until the loop gives them buffers; clear_counter_data
        // frees what it finds should one of those allocations fail.
        data.num_values = static_cast<uint32_t>(n);
    }
    // Widths other than 4 and 8 hold nothing this reader decodes: such cells stay 0, typed as
    // 4-byte values.
    data.value_type =
        is_string ? TESRA_CNT_STRING : (width == 8 ? TESRA_CNT_8BYTES : TESRA_CNT_4BYTES);
    for (uint64_t k = 0; k < n; ++k) {
        const char *p = slot + k * width;
        if (is_string) {
            // The reader allocated these buffers itself; the field is const for callers only.
            char *s = const_cast<char *>(data.values[k].val_str);
            if (s == nullptr) {
                s = c_calloc<char>(width + 1);
                if (s == nullptr) {
                    clear_counter_data(data);
                    return TESRA_NULL_POINTER;
                }
                data.values[k].val_str = s;
            }
            const std::size_t len = strnlen(p, width);
            std::memcpy(s, p, len);
            std::memset(s + len, 0, width + 1 - len);
            continue;
        }
        // A kept cell ends up as a fresh zeroed one would: a 4-byte value leaves the upper
        // bytes 0.
        tesra_cnt_value_t cell;
        std::memset(&cell, 0, sizeof cell);
        if (width == 4) {
            cell.val_4B = get_le32(p);
        } else if (width == 8) {
            cell.val_8B = get_le64(p);
        }
        data.values[k] = cell;
    }
    return TESRA_SUCCESS;
}

}  // namespace

CounterList counter_list(const tesra_instance_handle_t &instance) noexcept {
    if (const tesra_timestamp_handle_t *ts = instance.i6_0.timestamp; ts != nullptr) {
        const tesra_query_handle_t *q = ts->i6_0.query;
        return {q->i6_0.counters, q->i6_0.counters == nullptr ? 0 : q->e6_0.num_cnts,
                q->i6_0.object};
    }
    const tesra_record_handle_t *r = instance.i6_0.record;
    return {r->i6_0.counters, r->i6_0.counters == nullptr ? 0 : r->i6_0.num_cnts, r->i6_0.object};
}

tesra_error_t counter_offset(const tesra_instance_handle_t &instance,
                             const tesra_counter_handle_t &counter,
                             tesra_offset_t *out) noexcept {
    if (const tesra_record_handle_t *r = instance.i6_0.record; r != nullptr) {
        *out = counter.i6_0.record_offsets[r->i6_0.period->period_index];
        return TESRA_SUCCESS;
    }
    const tesra_query_handle_t &q = *instance.i6_0.timestamp->i6_0.query;
    if (counter.e6_0.is_key) {
        *out = counter.i6_0.record_offsets[q.i6_0.periods[0]->period_index];
        return TESRA_SUCCESS;
    }
    // A timestamp entry is the instance's bytes from each query period, in list order; the
    // counter is read from the part of its shortest period. The once-per-archive part stands in
    // only when no part has that period (a once-per-archive query), so a once-per-archive period
    // listed first cannot take the place of a later part that holds the counter.
    const uint64_t own = counter.e6_0.periods[0];
    std::optional<tesra_offset_t> fallback;
    uint64_t sum = 0;
    for (uint32_t i = 0; i < q.i6_0.num_periods; ++i) {
        const tesra_period_t &p = *q.i6_0.periods[i];
        if (p.period == own) {
            *out = sum + counter.i6_0.record_offsets[p.period_index];
            return TESRA_SUCCESS;
        }
        // A counter that is not sampled once per archive has no slot in that part.
        if (!fallback && format::is_once_per_archive(p.period) &&
            counter.i6_0.periods[p.period_index] != nullptr) {
            fallback = sum + counter.i6_0.record_offsets[p.period_index];
        }
        sum += p.cnts_size;
    }
    if (!fallback) return TESRA_PERIOD_NOT_FOUND;
    *out = *fallback;
    return TESRA_SUCCESS;
}

namespace {

// Builds the counter data of position `index` in the instance's counter order: key counters
// first, then its source's counter list. `cd` is a fresh handle or the one the previous step
// handed out, whose value array is reused where it can be.
tesra_error_t make_counter_data(tesra_instance_handle_t &instance,
                                const CounterList &list,
                                uint32_t index,
                                tesra_counter_handle_t **counter_out,
                                tesra_counter_data_handle_t &cd) {
    tesra_counter_handle_t *counter = nullptr;
    const uint32_t nk = instance.e6_0.num_key_cnts;
    if (index < nk) {
        if (auto rc = tesra_find_counter_by_name_v6_0(
                list.object, instance.e6_0.key_cnt_names[index], &counter, false);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        if (auto rc = copy_counter_data(instance.e6_0.key_cnt_values[index], cd.e6_0);
            rc != TESRA_SUCCESS) {
            return rc;
        }
    } else {
        counter = list.counters[index - nk];
        tesra_offset_t offset = 0;
        if (auto rc = counter_offset(instance, *counter, &offset); rc != TESRA_SUCCESS) return rc;
        if (auto rc = decode_slot(*counter, {instance.i6_0.instance_buffer, instance.i6_0.size},
                                  offset, cd.e6_0, false);
            rc != TESRA_SUCCESS) {
            return rc;
        }
    }
    cd.i6_0.instance = &instance;
    cd.i6_0.counter = counter;
    *counter_out = counter;
    return TESRA_SUCCESS;
}

tesra_error_t step_counter_data(tesra_instance_handle_t &instance,
                                bool first,
                                tesra_counter_handle_t **counter,
                                tesra_counter_data_handle_t **counter_data,
                                bool update_iter) {
    *counter = nullptr;
    *counter_data = nullptr;
    // Counter data is reached through the instance's key counters; an instance without them
    // has none, as archives have always been read.
    if (instance.e6_0.num_key_cnts == 0) return TESRA_SUCCESS;
    auto &ii = instance.i6_0;
    // What the previous step handed out is invalid from here on, as if released; its memory
    // carries the next step's counter data.
    owned<tesra_counter_data_handle_t> cd(ii.current_counter_data);
    ii.current_counter_data = nullptr;
    if (first && update_iter) ii.next_counter_index = 0;
    const uint32_t index = first ? 0 : ii.next_counter_index;
    const CounterList list = counter_list(instance);
    const uint64_t total = uint64_t{instance.e6_0.num_key_cnts} + list.count;
    if (index >= total) return TESRA_SUCCESS;

    if (!cd) {
        cd = new_child_handle<tesra_counter_data_handle_t>(instance);
        if (!cd) return TESRA_NULL_POINTER;
    }
    tesra_counter_handle_t *c = nullptr;
    if (auto rc = make_counter_data(instance, list, index, &c, *cd); rc != TESRA_SUCCESS) {
        return rc;
    }
    if (update_iter) ii.next_counter_index = index + 1;
    *counter = c;
    *counter_data = cd.get();
    ii.current_counter_data = cd.release();
    return TESRA_SUCCESS;
}

tesra_error_t find_counter_data(tesra_instance_handle_t &instance,
                                const char *name,
                                tesra_counter_handle_t **counter,
                                tesra_counter_data_handle_t **counter_data,
                                bool update_iter) {
    const uint32_t saved = instance.i6_0.next_counter_index;
    tesra_counter_handle_t *c = nullptr;
    tesra_counter_data_handle_t *cd = nullptr;
    auto rc = step_counter_data(instance, true, &c, &cd, true);
    while (rc == TESRA_SUCCESS && c != nullptr && std::strcmp(c->e6_0.name, name) != 0) {
        rc = step_counter_data(instance, false, &c, &cd, true);
    }
    if (!update_iter) instance.i6_0.next_counter_index = saved;
    if (rc != TESRA_SUCCESS) return rc;
    if (c == nullptr) {
        *counter = nullptr;
        *counter_data = nullptr;
        return TESRA_COUNTER_NOT_FOUND;
    }
    *counter = c;
    *counter_data = cd;
    return TESRA_SUCCESS;
}

}  // namespace

tesra_error_t decode_slot(const tesra_counter_handle_t &counter,
                          std::span<const char> instance,
                          uint64_t offset,
                          tesra_counter_data_t_v6_0 &data,
                          bool same_counter) noexcept {
    if (!slot_fits(offset, counter.e6_0.size, instance.size())) return TESRA_CORRUPT_ARCHIVE;
    return guarded(
        [&] { return decode_values(counter, instance.data() + offset, data, same_counter); });
}

}  // namespace tesra::read

using tesra::guarded;

// ---- public entries
// ------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_first_counter_data(tesra_instance_handle_t *instance,
                                                  tesra_counter_handle_t **counter,
                                                  tesra_counter_data_handle_t **counter_data) {
    if (instance == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(instance)) return TESRA_INVALID_VERSION;
    return tesra_first_counter_data_v6_0(instance, counter, counter_data, true);
}

extern "C" tesra_error_t tesra_next_counter_data(tesra_instance_handle_t *instance,
                                                 tesra_counter_handle_t **counter,
                                                 tesra_counter_data_handle_t **counter_data) {
    if (instance == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(instance)) return TESRA_INVALID_VERSION;
    return tesra_next_counter_data_v6_0(instance, counter, counter_data, true);
}

extern "C" tesra_error_t tesra_find_counter_data(tesra_instance_handle_t *instance,
                                                 const char *counter_name,
                                                 tesra_counter_handle_t **counter,
                                                 tesra_counter_data_handle_t **counter_data) {
    if (instance == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (counter_name == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(instance)) return TESRA_INVALID_VERSION;
    return tesra_find_counter_data_v6_0(instance, counter_name, counter, counter_data, true);
}

extern "C" tesra_error_t tesra_get_counter_data_value(tesra_counter_data_handle_t *counter_data,
                                                      void *counter_data_value) {
    if (counter_data == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(counter_data)) return TESRA_INVALID_VERSION;
    return tesra_get_counter_data_value_v6_0(
        counter_data, static_cast<tesra_counter_data_t_v6_0 *>(counter_data_value));
}

// ---- bodies
// --------------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_first_counter_data_v6_0(tesra_instance_handle_t *instance,
                                                       tesra_counter_handle_t **counter,
                                                       tesra_counter_data_handle_t **counter_data,
                                                       bool update_iter) {
    return guarded([&] {
        return tesra::read::step_counter_data(*instance, true, counter, counter_data, update_iter);
    });
}

extern "C" tesra_error_t tesra_next_counter_data_v6_0(tesra_instance_handle_t *instance,
                                                      tesra_counter_handle_t **counter,
                                                      tesra_counter_data_handle_t **counter_data,
                                                      bool update_iter) {
    return guarded([&] {
        return tesra::read::step_counter_data(*instance, false, counter, counter_data, update_iter);
    });
}

extern "C" tesra_error_t tesra_find_counter_data_v6_0(tesra_instance_handle_t *instance,
                                                      const char *counter_name,
                                                      tesra_counter_handle_t **counter,
                                                      tesra_counter_data_handle_t **counter_data,
                                                      bool update_iter) {
    return guarded([&] {
        return tesra::read::find_counter_data(*instance, counter_name, counter, counter_data,
                                              update_iter);
    });
}

extern "C" tesra_error_t tesra_get_counter_data_value_v6_0(
    tesra_counter_data_handle_t *counter_data, tesra_counter_data_t_v6_0 *counter_data_value) {
    *counter_data_value = counter_data->e6_0;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_counter_data_v6_0(tesra_counter_handle_t *counter,
                                                     char *counter_buffer,
                                                     tesra_counter_data_t_v6_0 *counter_data) {
    // The exported body trusts its caller for the slot's extent: the counter's own size. What
    // `counter_data` holds is the caller's and is not read; it is written on success only.
    tesra_counter_data_t_v6_0 data{TESRA_CNT_4BYTES, nullptr, 0};
    const tesra_error_t rc =
        guarded([&] { return tesra::read::decode_values(*counter, counter_buffer, data, false); });
    if (rc == TESRA_SUCCESS) *counter_data = data;
    return rc;
}

extern "C" tesra_error_t tesra_get_counter_offset_v6_0(tesra_instance_handle_t *instance,
                                                       tesra_counter_handle_t *counter,
                                                       tesra_offset_t *counter_offset) {
    return guarded(
        [&] { return tesra::read::counter_offset(*instance, *counter, counter_offset); });
}
