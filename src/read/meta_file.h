// The metadata file as the reader sees it: its length (the bound for every count, offset and
// table read from it) and exact positioned reads of its binary index section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "tesra/tesra_common_defs.h"

namespace tesra::read {

// Length of the open metadata file in bytes; TESRA_SEEK_FAILED when it cannot be measured.
tesra_error_t metadata_file_size(FILE *file, uint64_t *out) noexcept;

// Reads exactly out.size() bytes at absolute `offset`: TESRA_SEEK_FAILED when the position cannot
// be reached, TESRA_READ_FAILED when fewer bytes are there.
tesra_error_t read_metadata_at(FILE *file, uint64_t offset, std::span<std::byte> out) noexcept;

// True when [offset, offset + length) lies inside a file of `file_size` bytes, without wrapping.
constexpr bool fits_in_file(uint64_t offset, uint64_t length, uint64_t file_size) {
    uint64_t end = 0;
    return !__builtin_add_overflow(offset, length, &end) && end <= file_size;
}

}  // namespace tesra::read
