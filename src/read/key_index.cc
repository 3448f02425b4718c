#include "read/key_index.h"

#include <cstring>

#include "common/archive_format.h"
#include "read/read_internal.h"

namespace tesra::read {

namespace {

void append_u32(std::string *out, uint32_t v) {
    out->append(reinterpret_cast<const char *>(&v), sizeof v);
}

}  // namespace

bool canonical_keys(std::span<tesra_counter_handle_t *const> keys,
                    const tesra_period_t &period,
                    const char *instance,
                    std::string *out) {
    out->clear();
    if (period.period_index >= TESRA_NUM_PERIODS) return false;
    for (const tesra_counter_handle_t *key : keys) {
        const auto &def = key->e6_0;
        const uint64_t offset = key->i6_0.record_offsets[period.period_index];
        if (!slot_fits(offset, def.size, period.cnts_size)) return false;
        const uint64_t n = format::value_count(def.num_x_items, def.num_y_items);
        if (n == 0 || (n > 1 && n > def.size)) return false;
        const uint64_t width = n == 1 ? def.size : def.size / n;  // n is 1 for most counters
        const char *slot = instance + offset;
        if (format::is_string_ctype(def.ctype)) {
            for (uint64_t k = 0; k < n; ++k) {
                const char *p = slot + k * width;
                const std::size_t len = strnlen(p, width);
                append_u32(out, static_cast<uint32_t>(len));
                out->append(p, len);
            }
        } else if (width == 4 || width == 8) {
            out->append(slot, n * width);
        } else {
            return false;
        }
    }
    return true;
}

bool KeyIndex::build(std::span<tesra_counter_handle_t *const> keys,
                     const tesra_record_handle_t &record) {
    keys_.clear();
    first_.clear();
    const uint32_t count = record.i6_0.num_instances;
    if (count == 0) return true;
    const uint64_t size = record.e6_0.size / count;
    keys_.resize(count);
    first_.reserve(count);
    for (uint32_t k = 0; k < count; ++k) {
        if (!canonical_keys(keys, *record.i6_0.period, record.i6_0.data_buffer + k * size,
                            &keys_[k])) {
            return false;
        }
    }
    // Views are taken once every string is in place: the vector no longer moves them.
    for (uint32_t k = 0; k < count; ++k) first_.try_emplace(keys_[k], k);
    return true;
}

int64_t KeyIndex::find(std::string_view canonical) const {
    auto it = first_.find(canonical);
    return it == first_.end() ? -1 : static_cast<int64_t>(it->second);
}

}  // namespace tesra::read
