// Instances: the walks over a record's and a timestamp's instances, key-value matching, and the
// gathering of a timestamp's instances by joining each one across the query periods' records.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "tesra/tesra_int_defs.h"

#include "common/assert.h"
#include "common/guard.h"
#include "read/key_index.h"
#include "read/read_internal.h"

namespace tesra::read {
namespace {

// A timestamp's joined instances may not grow past this: every entry repeats bytes of records
// that are at most 4 GiB each, and a damaged archive must not make the join allocate without end.
constexpr uint64_t kMaxJoinedBytes = UINT32_MAX;

uint32_t instance_size(const tesra_record_handle_t &record) {
    return record.i6_0.num_instances == 0 ? 0 : record.e6_0.size / record.i6_0.num_instances;
}

// Decoded key values that release themselves.
class KeyValues {
public:
    KeyValues() = default;
    KeyValues(const KeyValues &) = delete;
    KeyValues &operator=(const KeyValues &) = delete;
    ~KeyValues() {
        for (auto &v : values_) clear_counter_data(v);
    }
    std::vector<tesra_counter_data_t_v6_0> &values() { return values_; }

private:
    std::vector<tesra_counter_data_t_v6_0> values_;
};

// The object's key counters in key-chain order, at most `num_key_cnts_sampled` of them.
std::vector<tesra_counter_handle_t *> key_counters_of(const tesra_object_handle_t &object) {
    std::vector<tesra_counter_handle_t *> keys;
    for (tesra_counter_handle_t *c = object.i6_0.key_cnt_list;
         c != nullptr && keys.size() < object.i6_0.num_key_cnts_sampled;
         c = c->i6_0.next_cnt_by_key) {
        keys.push_back(c);
    }
    return keys;
}

tesra_error_t decode_keys(const std::vector<tesra_counter_handle_t *> &keys,
                          const tesra_period_t &period,
                          std::span<const char> instance,
                          KeyValues *out) {
    out->values().reserve(keys.size());
    for (const tesra_counter_handle_t *k : keys) {
        tesra_counter_data_t_v6_0 v{};
        if (auto rc =
                decode_slot(*k, instance, k->i6_0.record_offsets[period.period_index], v, false);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        out->values().push_back(v);
    }
    return TESRA_SUCCESS;
}

tesra_error_t is_instance_equal(tesra_counter_handle_t **key_cnts,
                                const tesra_counter_data_t_v6_0 *vals,
                                uint32_t num_key_cnts,
                                const tesra_period_t &period,
                                const char *instance,
                                bool *is_equal) {
    *is_equal = true;
    TESRA_READ_ASSERT(period.period_index < TESRA_NUM_PERIODS);
    for (uint32_t i = 0; i < num_key_cnts; ++i) {
        const tesra_counter_handle_t &key = *key_cnts[i];
        const tesra_counter_data_t_v6_0 &v = vals[i];
        const uint64_t offset = key.i6_0.record_offsets[period.period_index];
        const uint64_t size = key.e6_0.size;
        // The instance holds cnts_size bytes; a key slot outside them is not this layout's.
        if (!slot_fits(offset, size, period.cnts_size)) {
            *is_equal = false;
            return TESRA_CORRUPT_ARCHIVE;
        }
        const char *p = instance + offset;
        bool equal = true;
        // The caller's type is read as plain bits: a C caller may pass any value.
        uint32_t type = 0;
        static_assert(sizeof(v.value_type) == sizeof(type));
        std::memcpy(&type, &v.value_type, sizeof(type));
        switch (type) {
            case TESRA_CNT_4BYTES:
            case TESRA_CNT_8BYTES: {
                const uint64_t width = type == TESRA_CNT_4BYTES ? 4 : 8;
                // More values than the slot holds can never match it.
                if (uint64_t{v.num_values} * width > size) {
                    equal = false;
                    break;
                }
                for (uint32_t k = 0; k < v.num_values && equal; ++k, p += width) {
                    const auto *b = reinterpret_cast<const std::byte *>(p);
                    equal = width == 4 ? format::detail::get_le<uint32_t>(b) == v.values[k].val_4B
                                       : format::detail::get_le<uint64_t>(b) == v.values[k].val_8B;
                }
                break;
            }
            case TESRA_CNT_STRING: {
                if (v.num_values == 0) break;
                const uint64_t width = size / v.num_values;
                for (uint32_t k = 0; k < v.num_values && equal; ++k, p += width) {
                    const char *want = v.values[k].val_str == nullptr ? "" : v.values[k].val_str;
                    equal = std::strncmp(p, want, width) == 0;
                }
                break;
            }
            default:
                *is_equal = false;
                return TESRA_COUNTER_TYPE_NOT_FOUND;
        }
        if (!equal) {
            *is_equal = false;
            return TESRA_SUCCESS;
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t instance_key_counters(tesra_instance_handle_t &instance) {
    const tesra_object_handle_t *object = nullptr;
    const tesra_period_t *period = nullptr;
    if (const tesra_record_handle_t *r = instance.i6_0.record; r != nullptr) {
        object = r->i6_0.object;
        period = r->i6_0.period;
    } else {
        const tesra_query_handle_t *q = instance.i6_0.timestamp->i6_0.query;
        object = q->i6_0.object;
        period = q->i6_0.periods[0];
    }
    const auto keys = key_counters_of(*object);
    KeyValues values;
    if (auto rc = decode_keys(keys, *period, {instance.i6_0.instance_buffer, instance.i6_0.size},
                              &values);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    const auto nk = static_cast<uint32_t>(keys.size());
    c_ptr<const char *> names(c_calloc<const char *>(nk));
    c_ptr<tesra_counter_data_t_v6_0> vals(c_calloc<tesra_counter_data_t_v6_0>(nk));
    if (!names || !vals) return TESRA_NULL_POINTER;
    for (uint32_t i = 0; i < nk; ++i) {
        names.get()[i] = c_strdup(keys[i]->e6_0.name);
        if (names.get()[i] == nullptr) {
            for (uint32_t j = 0; j < i; ++j) c_free(names.get()[j]);
            return TESRA_NULL_POINTER;
        }
    }
    // Nothing below can fail: the decoded values move into the instance.
    std::copy(values.values().begin(), values.values().end(), vals.get());
    values.values().clear();
    instance.e6_0.key_cnt_names = names.release();
    instance.e6_0.key_cnt_values = vals.release();
    instance.e6_0.num_key_cnts = nk;
    return TESRA_SUCCESS;
}

// Decodes the keys of the entry `spare` now points at into the arrays it holds from the
// parent's previous entry: same object, so the same keys and names. False when its arrays do
// not match the keys; the caller then builds a fresh handle.
bool refresh_key_values(tesra_instance_handle_t &spare,
                        const tesra_object_handle_t &object,
                        const tesra_period_t &period,
                        tesra_error_t *rc) {
    *rc = TESRA_SUCCESS;
    auto &def = spare.e6_0;
    if (def.key_cnt_names == nullptr || def.key_cnt_values == nullptr) return false;
    uint32_t i = 0;
    for (const tesra_counter_handle_t *c = object.i6_0.key_cnt_list;
         c != nullptr && i < object.i6_0.num_key_cnts_sampled; c = c->i6_0.next_cnt_by_key, ++i) {
        if (i >= def.num_key_cnts) return false;
    }
    if (i != def.num_key_cnts) return false;
    i = 0;
    for (const tesra_counter_handle_t *c = object.i6_0.key_cnt_list; i < def.num_key_cnts;
         c = c->i6_0.next_cnt_by_key, ++i) {
        *rc = decode_slot(*c, {spare.i6_0.instance_buffer, spare.i6_0.size},
                          c->i6_0.record_offsets[period.period_index], def.key_cnt_values[i], true);
        if (*rc != TESRA_SUCCESS) return true;
    }
    return true;
}

// Makes `entry` the parent's current instance and decodes its keys. The handle the parent
// handed out before (`spare`, invalid to the caller from now on) carries it when its arrays
// fit; otherwise a fresh handle does.
template <class Parent>
tesra_error_t hand_out_instance(Parent &parent,
                                tesra_instance_handle_t *&current,
                                owned<tesra_instance_handle_t> spare,
                                char *entry,
                                uint64_t size,
                                tesra_instance_handle_t **out) {
    if (spare) {
        const tesra_object_handle_t *object = nullptr;
        const tesra_period_t *period = nullptr;
        if constexpr (std::is_same_v<Parent, tesra_record_handle_t>) {
            object = parent.i6_0.object;
            period = parent.i6_0.period;
        } else {
            object = parent.i6_0.query->i6_0.object;
            period = parent.i6_0.query->i6_0.periods[0];
        }
        spare->i6_0.instance_buffer = entry;
        spare->i6_0.size = size;
        spare->i6_0.next_counter_index = 0;
        tesra_error_t rc = TESRA_SUCCESS;
        if (refresh_key_values(*spare, *object, *period, &rc)) {
            if (rc != TESRA_SUCCESS) return rc;
            *out = spare.get();
            current = spare.release();
            return TESRA_SUCCESS;
        }
        spare.reset();
    }
    auto inst = new_child_handle<tesra_instance_handle_t>(parent);
    if (!inst) return TESRA_NULL_POINTER;
    inst->i6_0.instance_buffer = entry;
    inst->i6_0.size = size;
    if constexpr (std::is_same_v<Parent, tesra_record_handle_t>) {
        inst->i6_0.record = &parent;
    } else {
        inst->i6_0.timestamp = &parent;
    }
    if (auto rc = instance_key_counters(*inst); rc != TESRA_SUCCESS) return rc;
    *out = inst.get();
    current = inst.release();
    return TESRA_SUCCESS;
}

tesra_error_t step_timestamp_instance(tesra_timestamp_handle_t &ts,
                                      bool first,
                                      tesra_instance_handle_t **out,
                                      bool update_iter) {
    *out = nullptr;
    auto &ti = ts.i6_0;
    owned<tesra_instance_handle_t> spare(ti.current_instance);
    ti.current_instance = nullptr;
    if (first && update_iter) ti.next_instance = 0;
    const uint64_t index = first ? 0 : ti.next_instance;
    if (ti.num_instances == 0 || index >= ti.num_instances || ti.instances_buffer == nullptr) {
        return TESRA_SUCCESS;
    }
    const uint64_t size = ti.size / ti.num_instances;
    if (update_iter) ti.next_instance = index + 1;
    return hand_out_instance(ts, ti.current_instance, std::move(spare),
                             ti.instances_buffer + index * size, size, out);
}

tesra_error_t step_record_instance(tesra_record_handle_t &record, tesra_instance_handle_t **out) {
    *out = nullptr;
    auto &ri = record.i6_0;
    owned<tesra_instance_handle_t> spare(ri.current_instance);
    ri.current_instance = nullptr;
    if (ri.num_instances == 0 || ri.instance_offset >= ri.num_instances) return TESRA_SUCCESS;
    const uint64_t size = instance_size(record);
    const uint64_t index = ri.instance_offset++;
    return hand_out_instance(record, ri.current_instance, std::move(spare),
                             ri.data_buffer + index * size, size, out);
}

tesra_error_t find_instance(tesra_timestamp_handle_t &ts,
                            const char **names,
                            tesra_counter_data_t_v6_0 *values,
                            uint32_t num_key_cnts,
                            tesra_instance_handle_t **out,
                            bool update_iter) {
    const tesra_query_handle_t &q = *ts.i6_0.query;
    if (num_key_cnts != q.i6_0.object->i6_0.num_key_cnts_sampled) return TESRA_INVALID_ARGUMENTS;
    if (num_key_cnts > 0 && (names == nullptr || values == nullptr)) {
        return TESRA_INVALID_ARGUMENTS;
    }
    const uint64_t saved = ts.i6_0.next_instance;
    tesra_error_t rc = TESRA_SUCCESS;
    tesra_instance_handle_t *inst = nullptr;
    *out = nullptr;
    std::vector<tesra_counter_handle_t *> keys(num_key_cnts);
    rc = step_timestamp_instance(ts, true, &inst, true);
    for (uint32_t i = 0; rc == TESRA_SUCCESS && i < num_key_cnts; ++i) {
        rc = tesra_find_counter_by_name_v6_0(q.i6_0.object, names[i], &keys[i], false);
    }
    while (rc == TESRA_SUCCESS && inst != nullptr) {
        bool equal = false;
        rc = is_instance_equal(keys.data(), values, num_key_cnts, *q.i6_0.periods[0],
                               inst->i6_0.instance_buffer, &equal);
        if (rc != TESRA_SUCCESS || equal) break;
        rc = step_timestamp_instance(ts, false, &inst, true);
    }
    if (!update_iter) ts.i6_0.next_instance = saved;
    if (rc != TESRA_SUCCESS) return rc;
    if (inst == nullptr) return TESRA_INSTANCE_NOT_FOUND;
    *out = inst;
    return TESRA_SUCCESS;
}

// Appends `entry` to the timestamp's buffer. The buffer's capacity is the next power of two of
// its size, so appending instance by instance copies each byte a bounded number of times.
tesra_error_t append_entry(tesra_timestamp_handle_t &ts, const std::vector<char> &entry) {
    auto &ti = ts.i6_0;
    uint64_t new_size = 0;
    if (__builtin_add_overflow(ti.size, entry.size(), &new_size) || new_size > kMaxJoinedBytes ||
        ti.num_instances == UINT32_MAX) {
        return TESRA_CORRUPT_ARCHIVE;
    }
    const uint64_t capacity = ti.instances_buffer == nullptr ? 0 : std::bit_ceil(ti.size);
    if (new_size > capacity || ti.instances_buffer == nullptr) {
        const uint64_t grown = std::bit_ceil(new_size == 0 ? 1 : new_size);
        auto *buf = static_cast<char *>(std::realloc(ti.instances_buffer, grown));
        if (buf == nullptr) return TESRA_NULL_POINTER;
        ti.instances_buffer = buf;
    }
    if (!entry.empty()) std::memcpy(ti.instances_buffer + ti.size, entry.data(), entry.size());
    ti.size = new_size;
    ti.num_instances += 1;
    return TESRA_SUCCESS;
}

// The first instance of `rr` whose keys equal `values`, found by comparing key by key.
tesra_error_t scan_for_match(std::vector<tesra_counter_handle_t *> &keys,
                             KeyValues &values,
                             const tesra_record_handle_t &rr,
                             const char **match) {
    *match = nullptr;
    const uint32_t size_r = instance_size(rr);
    for (uint32_t k = 0; k < rr.i6_0.num_instances; ++k) {
        const char *candidate = rr.i6_0.data_buffer + uint64_t{k} * size_r;
        bool equal = false;
        if (auto rc = is_instance_equal(keys.data(), values.values().data(),
                                        static_cast<uint32_t>(keys.size()), *rr.i6_0.period,
                                        candidate, &equal);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        if (equal) {
            *match = candidate;
            return TESRA_SUCCESS;
        }
    }
    return TESRA_SUCCESS;
}

// Buffers a timestamp's join reuses from one instance to the next.
struct JoinScratch {
    std::vector<tesra_counter_handle_t *> keys;  // the query object's key counters
    std::string canonical;
    std::vector<char> entry;
};

// Joins instance `j` of the first record with its match in every other record and appends the
// entry. `indexes`, when given, holds for each record r >= 1 a built index or nullptr.
tesra_error_t join_instance(tesra_timestamp_handle_t &ts,
                            uint32_t j,
                            tesra_record_handle_t **records,
                            uint32_t n,
                            const std::vector<const KeyIndex *> *indexes,
                            JoinScratch &scratch) {
    if (n == 0 || j >= records[0]->i6_0.num_instances) return TESRA_INVALID_ARGUMENTS;
    const tesra_record_handle_t &r0 = *records[0];
    const uint32_t size0 = instance_size(r0);
    const char *e0 = r0.i6_0.data_buffer + uint64_t{j} * size0;
    std::vector<tesra_counter_handle_t *> &keys = scratch.keys;

    // Keys with a canonical form are matched through the indexes; the others (and records
    // without an index) are decoded and compared key by key, which also reports their faults.
    const bool has_canonical = canonical_keys(keys, *r0.i6_0.period, e0, &scratch.canonical);
    KeyValues key_values;
    bool decoded = false;
    auto decode = [&]() -> tesra_error_t {
        decoded = true;
        return decode_keys(keys, *r0.i6_0.period, {e0, size0}, &key_values);
    };
    if (!has_canonical) {
        if (auto rc = decode(); rc != TESRA_SUCCESS) return rc;
    }
    std::vector<char> &entry = scratch.entry;
    entry.assign(e0, e0 + size0);
    for (uint32_t r = 1; r < n; ++r) {
        const tesra_record_handle_t &rr = *records[r];
        const char *match = nullptr;
        const KeyIndex *index = has_canonical && indexes != nullptr ? (*indexes)[r] : nullptr;
        if (index != nullptr) {
            const int64_t k = index->find(scratch.canonical);
            if (k >= 0) match = rr.i6_0.data_buffer + uint64_t(k) * instance_size(rr);
        } else {
            if (!decoded) {
                if (auto rc = decode(); rc != TESRA_SUCCESS) return rc;
            }
            if (auto rc = scan_for_match(keys, key_values, rr, &match); rc != TESRA_SUCCESS) {
                return rc;
            }
        }
        if (match == nullptr) return TESRA_SUCCESS;  // not sampled in every period: left out
        entry.insert(entry.end(), match, match + instance_size(rr));
    }
    return append_entry(ts, entry);
}

tesra_error_t add_instance(tesra_timestamp_handle_t &ts,
                           uint32_t j,
                           tesra_record_handle_t **records,
                           uint32_t n) {
    JoinScratch scratch;
    scratch.keys = key_counters_of(*ts.i6_0.query->i6_0.object);
    return join_instance(ts, j, records, n, nullptr, scratch);
}

tesra_error_t get_instances(tesra_timestamp_handle_t &ts) {
    const tesra_query_handle_t &q = *ts.i6_0.query;
    const uint32_t n = q.i6_0.num_periods;
    if (n == 0) return TESRA_RECORD_NOT_FOUND;
    tesra_file_handle_t *file = q.i6_0.data_file;

    std::vector<owned<tesra_record_handle_t>> records(n);
    std::vector<tesra_record_handle_t *> raw(n);
    for (uint32_t i = 0; i < n; ++i) {
        if (auto rc = tesra_get_record_v6_0(file, ts.i6_0.timestamp, q.i6_0.periods[i], &raw[i]);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        records[i].reset(raw[i]);
        if (raw[i]->e6_0.size == 0) {
            std::free(ts.i6_0.instances_buffer);
            ts.i6_0.instances_buffer = nullptr;
            ts.i6_0.size = 0;
            ts.i6_0.num_instances = 0;
            return TESRA_RECORD_EMPTY;
        }
    }
    const tesra_record_handle_t &r0 = *raw[0];
    const uint32_t size0 = instance_size(r0);
    // Each other record is indexed once by its instances' keys, so joining costs one lookup
    // per instance and period instead of a scan.
    JoinScratch scratch;
    scratch.keys = key_counters_of(*q.i6_0.object);
    std::vector<KeyIndex> built(n);
    std::vector<const KeyIndex *> indexes(n, nullptr);
    for (uint32_t i = 1; i < n; ++i) {
        if (built[i].build(scratch.keys, *raw[i])) indexes[i] = &built[i];
    }
    bool appended = false;
    for (uint32_t j = 0; j < r0.i6_0.num_instances; ++j) {
        bool equal = false;
        if (auto rc = is_instance_equal(q.i6_0.key_counters, q.e6_0.key_cnt_values,
                                        q.e6_0.num_key_cnts, *r0.i6_0.period,
                                        r0.i6_0.data_buffer + uint64_t{j} * size0, &equal);
            rc != TESRA_SUCCESS) {
            return rc;
        }
        if (!equal) continue;
        const uint32_t before = ts.i6_0.num_instances;
        if (auto rc = join_instance(ts, j, raw.data(), n, &indexes, scratch); rc != TESRA_SUCCESS) {
            return rc;
        }
        appended = appended || ts.i6_0.num_instances != before;
    }
    if (!appended && q.e6_0.num_key_cnts > 0) return TESRA_INSTANCE_NOT_FOUND;
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::read

using tesra::guarded;

// ---- public entries
// ------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_first_instance(tesra_timestamp_handle_t *timestamp,
                                              tesra_instance_handle_t **instance) {
    if (timestamp == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(timestamp)) return TESRA_INVALID_VERSION;
    return tesra_first_instance_v6_0(timestamp, instance, true);
}

extern "C" tesra_error_t tesra_next_instance(tesra_timestamp_handle_t *timestamp,
                                             tesra_instance_handle_t **instance) {
    if (timestamp == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(timestamp)) return TESRA_INVALID_VERSION;
    return tesra_next_instance_v6_0(timestamp, instance, true);
}

extern "C" tesra_error_t tesra_find_instance(tesra_timestamp_handle_t *timestamp,
                                             const char **key_cnt_names,
                                             void *key_cnt_values,
                                             uint32_t num_key_cnts,
                                             tesra_instance_handle_t **instance) {
    if (timestamp == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(timestamp)) return TESRA_INVALID_VERSION;
    return tesra_find_instance_v6_0(timestamp, key_cnt_names,
                                    static_cast<tesra_counter_data_t_v6_0 *>(key_cnt_values),
                                    num_key_cnts, instance, true);
}

extern "C" tesra_error_t tesra_first_instance_from_record(tesra_record_handle_t *record,
                                                          tesra_instance_handle_t **instance) {
    if (record == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(record)) return TESRA_INVALID_VERSION;
    return tesra_first_instance_from_record_v6_0(record, instance);
}

extern "C" tesra_error_t tesra_next_instance_from_record(tesra_record_handle_t *record,
                                                         tesra_instance_handle_t **instance) {
    if (record == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(record)) return TESRA_INVALID_VERSION;
    return tesra_next_instance_from_record_v6_0(record, instance);
}

extern "C" tesra_error_t tesra_get_instance_data(tesra_instance_handle_t *instance,
                                                 void *instance_data) {
    if (instance == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(instance)) return TESRA_INVALID_VERSION;
    return tesra_get_instance_data_v6_0(instance,
                                        static_cast<tesra_instance_data_t_v6_0 *>(instance_data));
}

// ---- bodies
// --------------------------------------------------------------------------------------

extern "C" tesra_error_t tesra_first_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                   tesra_instance_handle_t **instance,
                                                   bool update_iter) {
    return guarded([&] {
        return tesra::read::step_timestamp_instance(*timestamp, true, instance, update_iter);
    });
}

extern "C" tesra_error_t tesra_next_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                  tesra_instance_handle_t **instance,
                                                  bool update_iter) {
    return guarded([&] {
        return tesra::read::step_timestamp_instance(*timestamp, false, instance, update_iter);
    });
}

extern "C" tesra_error_t tesra_find_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                  const char **key_cnt_names,
                                                  tesra_counter_data_t_v6_0 *key_cnt_values,
                                                  uint32_t num_key_cnts,
                                                  tesra_instance_handle_t **instance,
                                                  bool update_iter) {
    return guarded([&] {
        return tesra::read::find_instance(*timestamp, key_cnt_names, key_cnt_values, num_key_cnts,
                                          instance, update_iter);
    });
}

extern "C" tesra_error_t tesra_first_instance_from_record_v6_0(tesra_record_handle_t *record,
                                                               tesra_instance_handle_t **instance) {
    record->i6_0.instance_offset = 0;
    return tesra_next_instance_from_record_v6_0(record, instance);
}

extern "C" tesra_error_t tesra_next_instance_from_record_v6_0(tesra_record_handle_t *record,
                                                              tesra_instance_handle_t **instance) {
    return guarded([&] { return tesra::read::step_record_instance(*record, instance); });
}

extern "C" tesra_error_t tesra_get_instance_data_v6_0(tesra_instance_handle_t *instance,
                                                      tesra_instance_data_t_v6_0 *instance_data) {
    *instance_data = instance->e6_0;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_get_instances_v6_0(tesra_timestamp_handle_t *timestamp) {
    return guarded([&] { return tesra::read::get_instances(*timestamp); });
}

extern "C" tesra_error_t tesra_add_instance_v6_0(tesra_timestamp_handle_t *timestamp,
                                                 uint32_t instance_index,
                                                 tesra_record_handle_t **records,
                                                 uint32_t num_records) {
    return guarded([&] {
        return tesra::read::add_instance(*timestamp, instance_index, records, num_records);
    });
}

extern "C" tesra_error_t tesra_is_instance_equal_v6_0(tesra_counter_handle_t **key_cnts,
                                                      tesra_counter_data_t_v6_0 *key_cnts_vals,
                                                      uint32_t num_key_cnts,
                                                      tesra_period_t *period,
                                                      char *instance_buffer,
                                                      bool *is_equal) {
    return tesra::read::is_instance_equal(key_cnts, key_cnts_vals, num_key_cnts, *period,
                                          instance_buffer, is_equal);
}

extern "C" tesra_error_t tesra_get_instance_key_counters_v6_0(tesra_instance_handle_t *instance) {
    return guarded([&] { return tesra::read::instance_key_counters(*instance); });
}

extern "C" uint32_t tesra_get_instance_size_v6_0(tesra_record_handle_t *record) {
    return tesra::read::instance_size(*record);
}
