// Bounds-checked little-endian reads over untrusted bytes: every read checks what is left first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "tesra/tesra_common_defs.h"

namespace tesra {

class ByteCursor {
public:
    explicit ByteCursor(std::span<const std::byte> bytes) noexcept : bytes_(bytes) {}

    std::size_t remaining() const noexcept { return bytes_.size() - pos_; }
    std::size_t position() const noexcept { return pos_; }

    tesra_error_t read_u32(uint32_t *out) noexcept { return read_le(out); }
    tesra_error_t read_u64(uint64_t *out) noexcept { return read_le(out); }

    tesra_error_t read_bytes(void *dst, std::size_t n) noexcept {
        if (n > remaining()) return TESRA_READ_FAILED;
        if (n != 0) std::memcpy(dst, bytes_.data() + pos_, n);
        pos_ += n;
        return TESRA_SUCCESS;
    }

private:
    template <class T>
    tesra_error_t read_le(T *out) noexcept {
        if (sizeof(T) > remaining()) return TESRA_READ_FAILED;
        T v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            v |= static_cast<T>(std::to_integer<uint8_t>(bytes_[pos_ + i])) << (8 * i);
        }
        pos_ += sizeof(T);
        *out = v;
        return TESRA_SUCCESS;
    }

    std::span<const std::byte> bytes_;
    std::size_t pos_ = 0;
};

}  // namespace tesra
