// The text of exported metrics: family and label names mapped from archive names, label values
// and help text escaped, numbers and timestamps formatted. Pure string work, shared by the
// OpenMetrics writer, the push to an import endpoint, their tests and a fuzz target.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tesra::cli::om {

// Every character outside [a-zA-Z0-9_] becomes '_' (each byte of a multi-byte character too).
std::string map_name(std::string_view text);

// A label name: mapped as above, with '_' in front of a leading digit. Empty for empty text.
std::string label_name(std::string_view text);

// The unit name of a counter's unit code (bits 16-19 of its type code) where it names a base
// unit; empty where none is known.
std::string_view unit_name(uint32_t ctype);

// "tesra_<object>_<counter>", with "_<unit>" added unless the mapped name already ends so.
// Empty when the object or the counter name is empty.
std::string family_name(std::string_view object, std::string_view counter, std::string_view unit);

// Appends `value` as the inside of a quoted label value: \ " and newline escaped.
void append_label_value(std::string &out, std::string_view value);
// Appends `text` as help text: \ and newline escaped, and " too for OpenMetrics.
void append_help(std::string &out, std::string_view text, bool escape_quote);
// Writes the decimal digits of `value` at `out`, which has room for kUintRoom bytes (those after
// the digits are scratch); returns the end of the digits. Inline: it runs for every sample.
constexpr size_t kUintRoom = 20;
inline char *write_uint(char *out, uint64_t value) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    // Right-aligned in a scratch buffer, then copied whole: a fixed-size copy is a few moves.
    char digits[2 * kUintRoom];
    char *p = digits + kUintRoom;
    while (value >= 100) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * value, 2);
    } else {
        *--p = static_cast<char>('0' + value);
    }
    std::memcpy(out, p, kUintRoom);
    return out + (digits + kUintRoom - p);
}
// Appends the decimal digits of `value`.
void append_uint(std::string &out, uint64_t value);
// Appends a time in milliseconds as seconds with a three-digit fraction ("1765000000.250").
void append_seconds(std::string &out, uint64_t ms);

}  // namespace tesra::cli::om
