// Parsing of archive base names "<file index>_<longest period s>_<start ms>_<duration ms>...",
// from which an archive's identity and time span are known without opening it.
#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>

#include "tesra/tesra_ext_defs.h"

#include "util_internal.h"

namespace tesra::util {
namespace {

constexpr bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// The last non-empty component of a path written with either separator.
std::string_view last_component(std::string_view path) {
    while (!path.empty() && is_separator(path.back())) path.remove_suffix(1);
    std::size_t start = path.size();
    while (start > 0 && !is_separator(path[start - 1])) --start;
    return path.substr(start);
}

// Reads an unsigned decimal number of at least one digit from the front of `s` and consumes
// it; nothing when there is no digit or the value exceeds `max`.
std::optional<uint64_t> take_number(std::string_view &s, uint64_t max) {
    std::size_t i = 0;
    uint64_t value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(s[i] - '0');
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, digit, &value) || value > max)
            return std::nullopt;
    }
    if (i == 0) return std::nullopt;
    s.remove_prefix(i);
    return value;
}

bool take_underscore(std::string_view &s) {
    if (s.empty() || s.front() != '_') return false;
    s.remove_prefix(1);
    return true;
}

struct NameFields {
    uint64_t file_index;
    uint64_t period_s;
    uint64_t start;
    uint64_t duration;
};

// The four numbers at the front of a name; whatever follows the fourth is not looked at.
std::optional<NameFields> read_name_fields(std::string_view name) {
    constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
    constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();
    NameFields f{};
    const auto index = take_number(name, kMax32);
    if (!index || !take_underscore(name)) return std::nullopt;
    const auto period = take_number(name, kMax64);
    if (!period || !take_underscore(name)) return std::nullopt;
    const auto start = take_number(name, kMax64);
    if (!start || !take_underscore(name)) return std::nullopt;
    const auto duration = take_number(name, kMax64);
    if (!duration) return std::nullopt;
    f.file_index = *index;
    f.period_s = *period;
    f.start = *start;
    f.duration = *duration;
    return f;
}

}  // namespace
}  // namespace tesra::util

extern "C" tesra_error_t tesra_parse_filename(char *file_path,
                                              uint32_t *file_index,
                                              uint64_t *period,
                                              uint64_t *start_time,
                                              uint64_t *end_time) {
    *file_index = 0;
    *start_time = 0;
    *end_time = 0;
    if (file_path == nullptr) return TESRA_FILENAME_FORMAT_ERROR;

    const std::string_view name = tesra::util::last_component(file_path);
    if (name.empty()) return TESRA_FILENAME_FORMAT_ERROR;
    const auto fields = tesra::util::read_name_fields(name);
    if (!fields) return TESRA_FILENAME_FORMAT_ERROR;
    // The name gives seconds; a count too large for milliseconds names no period at all.
    uint64_t period_ms = 0;
    if (__builtin_mul_overflow(fields->period_s, 1000, &period_ms))
        return TESRA_FILENAME_FORMAT_ERROR;

    *file_index = static_cast<uint32_t>(fields->file_index);
    *period = period_ms;
    *start_time = fields->start;
    // Unsigned wrap-around is wanted here: a wrapped end is caught by the order test below.
    *end_time = fields->start + fields->duration;

    // From here the parsed values stay in the out-parameters even when the name is refused.
    if (*file_index == 0) return TESRA_FILENAME_FORMAT_ERROR;
    if (fields->period_s != 0 && !tesra::util::period_index(period_ms))
        return TESRA_FILENAME_FORMAT_ERROR;
    if (*start_time > *end_time) return TESRA_FILENAME_FORMAT_ERROR;
    return TESRA_SUCCESS;
}
