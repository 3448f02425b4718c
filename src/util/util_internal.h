// Helpers shared by the source files of libtesrautil; nothing here is exported.
#pragma once

#include <cstdint>
#include <optional>

#include "tesra/tesra_common_defs.h"

namespace tesra::util {

// The version that tesra_set_latest_version stamps: a constant, not a setting.
inline constexpr uint32_t kLatestMajor = 6;
inline constexpr uint32_t kLatestMinor = 1;
// The only format whose layouts exist.
inline constexpr uint32_t kFormatMajor = 6;

tesra_version_t read_version(const void *data) noexcept;
bool is_version(const void *data, uint32_t major_v, uint32_t minor_v) noexcept;
inline bool is_v6(const void *data) noexcept {
    return is_version(data, kFormatMajor, 0);
}

// Position of `period` in the period table.
std::optional<uint32_t> period_index(uint64_t period) noexcept;

}  // namespace tesra::util
