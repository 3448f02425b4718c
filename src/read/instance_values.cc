// Every counter value of an instance in one call: the counter-data walk's output, with the
// counters looked up and their slots placed once per record or sample time instead of once per
// counter and instance.
//
// Where the lists live. The handle structs are fixed, so the scratch hangs in the one place an
// instance already owns memory for its counter data: its counter-data slot
// (i6_0.current_counter_data). The slot holds one allocation that starts with an empty counter
// data handle and carries the counters, the value lists, the slot placement and the decoded
// cells behind it. Whatever releases the instance releases that handle, and with it the whole
// block, through the ordinary release (an empty value list frees nothing more); a walk step takes
// the block for its own handle like the handle of its previous step. The instance handle lives
// as long as its record or sample time (a step to the next instance reuses it), so the placement
// made for the first instance serves every later one, and nothing is allocated per instance.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "tesra/tesra_int_defs.h"
#include "tesra/tesra_values.h"

#include "common/guard.h"
#include "read/read_internal.h"

namespace tesra::read {
namespace {

// Marks the block's handle as this file's: its address is compared, never followed.
constexpr char kBlockTag = 0;

tesra_counter_handle_t *block_tag() noexcept {
    return reinterpret_cast<tesra_counter_handle_t *>(const_cast<char *>(&kBlockTag));
}

enum class Kind : uint8_t { k8, k4, kZero, kString };

// A read counter's slot in the instance and where its values go.
struct Slot {
    uint64_t offset = 0;
    uint64_t first_char = 0;  // its strings' first byte in the character area
    uint32_t first_cell = 0;
    uint32_t count = 0;
    uint32_t width = 0;
    Kind kind = Kind::kZero;
};

// What the placement was made for. Everything that decides it is here: the instance's source and
// its counter list, its key counters and its size (the same for every instance of a record or
// sample time, so slots are bounded once). The header's offsets do not change once the archive
// is open.
struct LayoutKey {
    const void *source = nullptr;  // record or timestamp
    tesra_counter_handle_t *const *list = nullptr;
    uint32_t list_count = 0;
    const void *period = nullptr;  // record: its period; query: its period list
    uint32_t num_periods = 0;
    const char *const *key_names = nullptr;
    uint32_t num_keys = 0;
    uint64_t instance_size = 0;

    bool operator==(const LayoutKey &) const = default;
};

struct Block {
    tesra_counter_data_handle_t handle;  // first: the counter-data slot points at it
    std::size_t capacity;                // bytes of the whole allocation
    LayoutKey key;
    uint32_t num_cnts;
    uint32_t num_slots;  // steps of the decoding plan
    tesra_counter_handle_t **counters;
    tesra_counter_data_t_v6_0 *values;
    Slot *slots;
    tesra_cnt_value_t *cells;
    char *chars;
};

constexpr std::size_t round8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

LayoutKey key_of(const tesra_instance_handle_t &instance, const CounterList &list) {
    LayoutKey k;
    k.list = list.counters;
    k.list_count = list.count;
    if (const tesra_record_handle_t *r = instance.i6_0.record; r != nullptr) {
        k.source = r;
        k.period = r->i6_0.period;
    } else {
        const tesra_query_handle_t *q = instance.i6_0.timestamp->i6_0.query;
        k.source = instance.i6_0.timestamp;
        k.period = q->i6_0.periods;
        k.num_periods = q->i6_0.num_periods;
    }
    k.key_names = instance.e6_0.key_cnt_names;
    k.num_keys = instance.e6_0.num_key_cnts;
    k.instance_size = instance.i6_0.size;
    return k;
}

Block *block_of(const tesra_instance_handle_t &instance) noexcept {
    tesra_counter_data_handle_t *cd = instance.i6_0.current_counter_data;
    if (cd == nullptr || cd->i6_0.counter != block_tag() || cd->i6_0.instance != &instance) {
        return nullptr;
    }
    return reinterpret_cast<Block *>(cd);
}

// The placement of every counter, as the walk would meet them; its first fault is the code the
// walk stops with.
struct Layout {
    std::vector<tesra_counter_handle_t *> counters;
    std::vector<Slot> slots;
    uint64_t cells = 0;
    uint64_t chars = 0;
};

tesra_error_t place(const tesra_instance_handle_t &instance, const CounterList &list, Layout *out) {
    const uint32_t nk = instance.e6_0.num_key_cnts;
    out->counters.resize(uint64_t{nk} + list.count);
    out->slots.resize(list.count);
    for (uint32_t i = 0; i < nk; ++i) {
        if (auto rc = tesra_find_counter_by_name_v6_0(list.object, instance.e6_0.key_cnt_names[i],
                                                      &out->counters[i], false);
            rc != TESRA_SUCCESS) {
            return rc;
        }
    }
    // Slots that do not overlap decode into at most 10 bytes per slot byte (an 8-byte cell per
    // value of at least one byte, a string's bytes and its NUL); only overlapping ones, which a
    // damaged header can declare by the thousand, could ask for more than this.
    const uint64_t size = instance.i6_0.size;
    const uint64_t ceiling =
        std::max<uint64_t>(uint64_t{64} << 20, size > UINT64_MAX / 16 ? UINT64_MAX : size * 16);
    for (uint32_t j = 0; j < list.count; ++j) {
        tesra_counter_handle_t *c = list.counters[j];
        out->counters[nk + j] = c;
        tesra_offset_t offset = 0;
        if (auto rc = counter_offset(instance, *c, &offset); rc != TESRA_SUCCESS) return rc;
        const auto &def = c->e6_0;
        if (!slot_fits(offset, def.size, size)) return TESRA_CORRUPT_ARCHIVE;
        const uint64_t n = format::value_count(def.num_x_items, def.num_y_items);
        if (n > 1 && n > def.size) return TESRA_CORRUPT_ARCHIVE;
        const uint64_t width = n == 1 ? def.size : def.size / n;
        Slot &s = out->slots[j];
        s.offset = offset;
        s.first_cell = static_cast<uint32_t>(out->cells);
        s.count = static_cast<uint32_t>(n);
        s.width = static_cast<uint32_t>(width);
        s.first_char = out->chars;
        if (format::is_string_ctype(def.ctype)) {
            s.kind = Kind::kString;
            out->chars += n * (width + 1);
        } else {
            s.kind = width == 8 ? Kind::k8 : width == 4 ? Kind::k4 : Kind::kZero;
        }
        out->cells += n;
        // n and the width are bounded by the slot, the slot by the instance: no sum overflows.
        if (out->cells * sizeof(tesra_cnt_value_t) + out->chars > ceiling ||
            out->cells > UINT32_MAX) {
            return TESRA_CORRUPT_ARCHIVE;
        }
    }
    return TESRA_SUCCESS;
}

// Lays the block out for `key` from a placement without faults, in the instance's slot: the block
// already there when it is large enough, a new one otherwise (what the slot held is released).
tesra_error_t install(tesra_instance_handle_t &instance,
                      const LayoutKey &key,
                      const Layout &layout,
                      Block **out) {
    const std::size_t n = layout.counters.size();
    const std::size_t at_counters = round8(sizeof(Block));
    const std::size_t at_values = at_counters + round8(n * sizeof(tesra_counter_handle_t *));
    const std::size_t at_slots = at_values + round8(n * sizeof(tesra_counter_data_t_v6_0));
    const std::size_t at_cells = at_slots + round8(layout.slots.size() * sizeof(Slot));
    const std::size_t at_chars = at_cells + layout.cells * sizeof(tesra_cnt_value_t);
    const std::size_t total = at_chars + layout.chars;

    Block *block = block_of(instance);
    if (block == nullptr || block->capacity < total) {
        // Twice what is needed, so that a later layout a little larger fits as well.
        const std::size_t capacity = total <= SIZE_MAX / 2 ? total * 2 : total;
        void *raw = std::malloc(capacity);
        if (raw == nullptr) return TESRA_NULL_POINTER;
        std::memset(raw, 0, sizeof(Block));
        block = new (raw) Block{};
        block->handle.major_v = instance.major_v;
        block->handle.minor_v = instance.minor_v;
        block->handle.i6_0.instance = &instance;
        block->handle.i6_0.counter = block_tag();
        block->capacity = capacity;
        replace_current(instance.i6_0.current_counter_data, &block->handle);
    }
    char *base = reinterpret_cast<char *>(block);
    block->key = key;
    block->num_cnts = static_cast<uint32_t>(n);
    block->counters = reinterpret_cast<tesra_counter_handle_t **>(base + at_counters);
    block->values = reinterpret_cast<tesra_counter_data_t_v6_0 *>(base + at_values);
    block->slots = reinterpret_cast<Slot *>(base + at_slots);
    block->cells = reinterpret_cast<tesra_cnt_value_t *>(base + at_cells);
    block->chars = base + at_chars;
    std::copy(layout.counters.begin(), layout.counters.end(), block->counters);
    // Cells start at 0: those of other widths stay so, 4-byte ones keep their upper half 0.
    std::memset(block->cells, 0, layout.cells * sizeof(tesra_cnt_value_t));
    // The decoding plan: numbers of one width in adjacent slots (a period's counters mostly are)
    // make one step, whose cells are adjacent too; cells of other widths need none.
    uint32_t steps = 0;
    for (const Slot &s : layout.slots) {
        if (s.kind == Kind::kZero) continue;
        if (steps > 0 && (s.kind == Kind::k8 || s.kind == Kind::k4)) {
            Slot &last = block->slots[steps - 1];
            if (last.kind == s.kind && last.offset + uint64_t{last.count} * s.width == s.offset &&
                last.first_cell + last.count == s.first_cell) {
                last.count += s.count;
                continue;
            }
        }
        block->slots[steps++] = s;
    }
    block->num_slots = steps;
    const uint32_t nk = key.num_keys;
    for (uint32_t j = 0; j < layout.slots.size(); ++j) {
        const Slot &s = layout.slots[j];
        tesra_counter_data_t_v6_0 &v = block->values[nk + j];
        v.value_type = s.kind == Kind::kString ? TESRA_CNT_STRING
                       : s.kind == Kind::k8    ? TESRA_CNT_8BYTES
                                               : TESRA_CNT_4BYTES;
        v.values = block->cells + s.first_cell;
        v.num_values = s.count;
        if (s.kind != Kind::kString) continue;
        for (uint32_t k = 0; k < s.count; ++k) {
            v.values[k].val_str = block->chars + s.first_char + uint64_t{k} * (s.width + 1);
        }
    }
    *out = block;
    return TESRA_SUCCESS;
}

void decode(const Block &b, const char *instance) noexcept {
    for (uint32_t j = 0; j < b.num_slots; ++j) {
        const Slot &s = b.slots[j];
        const char *p = instance + s.offset;
        tesra_cnt_value_t *cell = b.cells + s.first_cell;
        switch (s.kind) {
            case Kind::k8:
                if constexpr (std::endian::native == std::endian::little) {
                    std::memcpy(cell, p, std::size_t{s.count} * 8);
                    break;
                }
                for (uint32_t k = 0; k < s.count; ++k, p += 8) {
                    cell[k].val_8B =
                        format::detail::get_le<uint64_t>(reinterpret_cast<const std::byte *>(p));
                }
                break;
            case Kind::k4:
                for (uint32_t k = 0; k < s.count; ++k, p += 4) {
                    cell[k].val_4B =
                        format::detail::get_le<uint32_t>(reinterpret_cast<const std::byte *>(p));
                }
                break;
            case Kind::kZero:
                break;
            case Kind::kString:
                for (uint32_t k = 0; k < s.count; ++k, p += s.width) {
                    // The reader's own buffers; the field is const for callers only.
                    char *text = const_cast<char *>(cell[k].val_str);
                    const std::size_t len = strnlen(p, s.width);
                    std::memcpy(text, p, len);
                    text[len] = '\0';
                }
                break;
        }
    }
}

tesra_error_t instance_values(tesra_instance_handle_t &instance,
                              tesra_instance_values_t_v6_0 &out) {
    out = {0, nullptr, nullptr};
    if (instance.i6_0.record == nullptr && instance.i6_0.timestamp == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    // Counter data is reached through the instance's key counters; without them there is none.
    if (instance.e6_0.num_key_cnts == 0) return TESRA_SUCCESS;
    const CounterList list = counter_list(instance);
    const LayoutKey key = key_of(instance, list);
    Block *block = block_of(instance);
    if (block == nullptr || !(block->key == key)) {
        Layout layout;
        if (auto rc = place(instance, list, &layout); rc != TESRA_SUCCESS) return rc;
        if (auto rc = install(instance, key, layout, &block); rc != TESRA_SUCCESS) return rc;
    }
    // The key values are the instance's own lists, decoded when the instance was handed out.
    std::copy_n(instance.e6_0.key_cnt_values, key.num_keys, block->values);
    decode(*block, instance.i6_0.instance_buffer);
    out = {block->num_cnts, block->counters, block->values};
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::read

extern "C" tesra_error_t tesra_get_instance_values(tesra_instance_handle_t *instance,
                                                   tesra_instance_values_t_v6_0 *values) {
    if (values != nullptr) *values = {0, nullptr, nullptr};
    if (instance == nullptr || values == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(instance)) return TESRA_INVALID_VERSION;
    return tesra::guarded([&] { return tesra::read::instance_values(*instance, *values); });
}
