// Query timestamps: the sample times at which every period a query reads has a record, computed
// once per query, and the walk that gathers each time's instances.
#include <algorithm>
#include <array>
#include <vector>

#include "tesra/tesra_int_defs.h"

#include "common/guard.h"
#include "read/data_stream.h"
#include "read/read_internal.h"

namespace tesra::read {
namespace {

bool is_timestamp_valid(uint64_t t, const tesra_query_handle_t &query) {
    const tesra_file_handle_t &file = *query.i6_0.data_file;
    uint64_t absolute = 0;
    if (__builtin_add_overflow(base_time(file), t, &absolute)) return false;
    if (absolute < query.e6_0.start_time || absolute > query.e6_0.end_time) return false;
    for (uint32_t i = 0; i < query.i6_0.num_periods; ++i) {
        const tesra_period_t &p = *query.i6_0.periods[i];
        if (format::is_empty_entry(slot_entry(t, file.i6_0.start_time, p))) return false;
    }
    return true;
}

// Data-stream offset of the first stored record in `period`'s table.
tesra_error_t first_record_offset(const tesra_period_t &period, uint64_t *out) {
    if (period.record_offsets == nullptr) return TESRA_RECORD_NOT_FOUND;
    for (uint32_t slot = 0; slot < period.num_offsets; ++slot) {
        const uint64_t entry = period.record_offsets[slot];
        if (format::is_empty_entry(entry)) continue;
        if (!format::is_partial_entry(entry)) {
            *out = entry;
            return TESRA_SUCCESS;
        }
        const tesra_iterative_record_offsets_t *list = period.iterative_record_offsets == nullptr
                                                           ? nullptr
                                                           : &period.iterative_record_offsets[slot];
        if (list == nullptr || list->num_offsets == 0 || list->offsets == nullptr) {
            return TESRA_CORRUPT_ARCHIVE;
        }
        *out = list->offsets[0];
        return TESRA_SUCCESS;
    }
    return TESRA_RECORD_NOT_FOUND;
}

tesra_error_t get_timestamps(tesra_query_handle_t &query) {
    tesra_file_handle_t &file = *query.i6_0.data_file;
    const uint64_t q = query.e6_0.period;
    const uint64_t start = file.i6_0.start_time;
    const uint64_t end = file.i6_0.end_time;
    if (q == 0) return TESRA_PERIOD_NOT_FOUND;

    // The candidate count is a 32-bit quantity; the archive times behind it come from the file,
    // so it is bounded by the slots that the query period's table really has.
    uint32_t n = static_cast<uint32_t>(end / q) - static_cast<uint32_t>(start / q) + 1;
    const tesra_period_t *grid = find_object_period(*query.i6_0.object, q);

    uint64_t first = start;
    if (format::is_once_per_archive(q)) {
        n = std::min<uint32_t>(n, 1);
    } else {
        if (grid == nullptr) return TESRA_NULL_POINTER;
        n = std::min(n, grid->num_offsets);
        uint64_t offset = 0;
        if (auto rc = first_record_offset(*grid, &offset); rc != TESRA_SUCCESS) return rc;
        std::array<std::byte, format::kRecordHeaderSize> raw{};
        if (auto rc = read_data_exact(file, offset, raw); rc != TESRA_SUCCESS) return rc;
        first = format::aligned_time(format::decode_record_header(raw).msecs_since_base, q);
    }

    std::vector<uint64_t> kept;
    kept.reserve(n);
    uint64_t t = first;
    for (uint32_t k = 0; k < n; ++k) {
        if (is_timestamp_valid(t, query)) kept.push_back(t);
        if (__builtin_add_overflow(t, q, &t)) break;
    }

    c_ptr<uint64_t> timestamps;
    if (!kept.empty()) {
        timestamps.reset(c_calloc<uint64_t>(kept.size()));
        if (!timestamps) return TESRA_NULL_POINTER;
        std::copy(kept.begin(), kept.end(), timestamps.get());
    }
    std::free(query.i6_0.timestamps);
    query.i6_0.timestamps = timestamps.release();
    query.i6_0.num_timestamps = static_cast<uint32_t>(kept.size());
    return TESRA_SUCCESS;
}

tesra_error_t next_timestamp(tesra_query_handle_t &query,
                             tesra_timestamp_handle_t **out,
                             bool update_iter) {
    *out = nullptr;
    auto &qi = query.i6_0;
    replace_current(qi.current_timestamp, static_cast<tesra_timestamp_handle_t *>(nullptr));
    if (qi.num_timestamps == 0 || qi.next_timestamp >= qi.num_timestamps) return TESRA_SUCCESS;

    auto ts = new_child_handle<tesra_timestamp_handle_t>(query);
    if (!ts) return TESRA_NULL_POINTER;
    ts->i6_0.query = &query;
    ts->i6_0.timestamp = qi.timestamps[qi.next_timestamp];
    // The cursor moves on even when gathering fails, so the next step tries the following time.
    if (update_iter) qi.next_timestamp += 1;

    const auto rc = tesra_get_instances_v6_0(ts.get());
    if (rc != TESRA_SUCCESS && rc != TESRA_RECORD_EMPTY) return rc;
    *out = ts.get();
    qi.current_timestamp = ts.release();
    return TESRA_SUCCESS;
}

tesra_error_t first_timestamp(tesra_query_handle_t &query,
                              tesra_timestamp_handle_t **out,
                              bool update_iter) {
    const uint32_t saved = query.i6_0.next_timestamp;
    query.i6_0.next_timestamp = 0;
    const auto rc = next_timestamp(query, out, update_iter);
    if (!update_iter) query.i6_0.next_timestamp = saved;
    return rc;
}

}  // namespace
}  // namespace tesra::read

using tesra::guarded;

// ---- public entries
// ------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_first_timestamp(tesra_query_handle_t *query,
                                               tesra_timestamp_handle_t **timestamp) {
    if (query == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(query, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_first_timestamp_v6_0(query, timestamp, true);
}

extern "C" tesra_error_t tesra_next_timestamp(tesra_query_handle_t *query,
                                              tesra_timestamp_handle_t **timestamp) {
    if (query == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(query, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_next_timestamp_v6_0(query, timestamp, true);
}

extern "C" tesra_error_t tesra_get_timestamp(tesra_timestamp_handle_t *timestamp, uint64_t *time) {
    if (timestamp == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra_is_version(timestamp, 6, 0)) return TESRA_INVALID_VERSION;
    return tesra_get_timestamp_v6_0(timestamp, time);
}

// ---- bodies
// --------------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_first_timestamp_v6_0(tesra_query_handle_t *query,
                                                    tesra_timestamp_handle_t **timestamp,
                                                    bool update_iter) {
    return guarded([&] { return tesra::read::first_timestamp(*query, timestamp, update_iter); });
}

extern "C" tesra_error_t tesra_next_timestamp_v6_0(tesra_query_handle_t *query,
                                                   tesra_timestamp_handle_t **timestamp,
                                                   bool update_iter) {
    return guarded([&] { return tesra::read::next_timestamp(*query, timestamp, update_iter); });
}

extern "C" tesra_error_t tesra_get_timestamp_v6_0(tesra_timestamp_handle_t *timestamp,
                                                  uint64_t *time) {
    *time =
        timestamp->i6_0.timestamp + tesra::read::base_time(*timestamp->i6_0.query->i6_0.data_file);
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_timestamps_v6_0(tesra_query_handle_t *query) {
    return guarded([&] { return tesra::read::get_timestamps(*query); });
}

extern "C" tesra_error_t tesra_is_timestamp_valid_v6_0(uint64_t ts_msb,
                                                       tesra_query_handle_t *query,
                                                       bool *is_valid) {
    *is_valid = tesra::read::is_timestamp_valid(ts_msb, *query);
    return TESRA_SUCCESS;
}
