// Line format of the counter-value dump: one line per instance, each counter's values in
// double quotes, separated by ", ", counters back to back.
#pragma once

#include <cinttypes>
#include <cstdio>

#include "tesra/tesra_wrapper_header.h"

namespace tesra::wrap {

inline void write_dump_value(std::FILE *out,
                             tesra_cnt_data_type_t type,
                             const tesra_cnt_value_t &value) {
    switch (type) {
        case TESRA_CNT_8BYTES:
            std::fprintf(out, "%" PRIu64, value.val_8B);
            break;
        case TESRA_CNT_4BYTES:
            // Readers of the dump take 4-byte values as signed numbers.
            std::fprintf(out, "%d", static_cast<int32_t>(value.val_4B));
            break;
        case TESRA_CNT_STRING:
            // Written as is: quotes and commas inside a value are not escaped.
            std::fputs(value.val_str != nullptr ? value.val_str : "", out);
            break;
    }
}

// Indexes are as wide as the counts, so an object with more than 65535 instances, counters or
// values is written in full instead of wrapping around.
inline void write_dump_lines(std::FILE *out,
                             const tesra_wrapper_counter_data_t *data,
                             uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const tesra_wrapper_counter_data_t &entry = data[i];
        for (uint32_t c = 0; c < entry.num_of_counters_count; ++c) {
            const tesra_counter_data_t &counter = entry.counter_values[c];
            std::fputc('"', out);
            for (uint32_t v = 0; v < counter.num_values; ++v) {
                if (v != 0) std::fputs(", ", out);
                write_dump_value(out, counter.value_type, counter.values[v]);
            }
            std::fputc('"', out);
        }
        std::fputc('\n', out);
    }
}

}  // namespace tesra::wrap
