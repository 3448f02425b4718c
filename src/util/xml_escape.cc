// XML escaping of the strings that go into the metadata document. Strings without a special
// character are passed through without allocating, which is the common case.
#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

#include "tesra/tesra_ext_defs.h"

#include "common/c_memory.h"
#include "common/guard.h"

namespace tesra::util {
namespace {

// The replacement of a byte that XML text cannot carry as it is, or empty.
constexpr std::string_view entity_for(char c) {
    switch (c) {
        case '"':
            return "&quot;";
        case '&':
            return "&amp;";
        case '\'':
            return "&apos;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        default:
            return {};
    }
}

std::size_t encoded_length(std::string_view s) {
    std::size_t n = 0;
    for (char c : s) {
        const std::string_view e = entity_for(c);
        n += e.empty() ? 1 : e.size();
    }
    return n;
}

void write_encoded(std::string_view s, char *out) {
    for (char c : s) {
        const std::string_view e = entity_for(c);
        if (e.empty()) {
            *out++ = c;
        } else {
            std::memcpy(out, e.data(), e.size());
            out += e.size();
        }
    }
    *out = '\0';
}

tesra_error_t xml_encode(uint32_t num_strs, const char **srcs, char **dsts, bool *encoded_flags) {
    // Encoded lengths are computed once; 0 marks a string passed through as it is.
    std::vector<std::size_t> lengths(num_strs, 0);
    for (uint32_t i = 0; i < num_strs; ++i) {
        // A missing string has nothing to escape; it is passed through as missing.
        if (srcs[i] != nullptr) {
            const std::string_view s(srcs[i]);
            const std::size_t n = encoded_length(s);
            if (n > s.size()) lengths[i] = n;
        }
        encoded_flags[i] = lengths[i] != 0;
    }
    // With no flag set this loop only passes pointers through: nothing is allocated.
    for (uint32_t i = 0; i < num_strs; ++i) {
        if (!encoded_flags[i]) {
            dsts[i] = const_cast<char *>(srcs[i]);
            continue;
        }
        char *buf = tesra::c_calloc<char>(lengths[i] + 1);
        if (buf == nullptr) {
            // Slots before i keep their flags so that their buffers can still be released.
            for (uint32_t j = i; j < num_strs; ++j) encoded_flags[j] = false;
            return TESRA_NULL_POINTER;
        }
        write_encoded(srcs[i], buf);
        dsts[i] = buf;
    }
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::util

extern "C" tesra_error_t tesra_xml_encode(uint32_t num_strs,
                                          const char **srcs,
                                          char **dsts,
                                          bool *encoded_flags) {
    if (num_strs != 0 && (srcs == nullptr || dsts == nullptr || encoded_flags == nullptr))
        return TESRA_INVALID_ARGUMENTS;
    return tesra::guarded(
        [&] { return tesra::util::xml_encode(num_strs, srcs, dsts, encoded_flags); });
}

extern "C" void tesra_free_xml_encoded_strs(uint32_t num_strs, char **dsts, bool *encoded_flags) {
    if (dsts == nullptr || encoded_flags == nullptr) return;
    for (uint32_t i = 0; i < num_strs; ++i) {
        // Passed-through slots point at the caller's own strings and are never freed.
        if (encoded_flags[i] && dsts[i] != nullptr) {
            std::free(dsts[i]);
            dsts[i] = nullptr;
        }
    }
}
