// The text of exported metrics: family and label names mapped from archive names, label values
// and help text escaped, numbers and timestamps formatted. Pure string work, shared by the
// OpenMetrics writer, the push to an import endpoint, their tests and a fuzz target.
#pragma once

#include <cstdint>
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
// Appends the decimal digits of `value`.
void append_uint(std::string &out, uint64_t value);
// Appends a time in milliseconds as seconds with a three-digit fraction ("1765000000.250").
void append_seconds(std::string &out, uint64_t ms);

}  // namespace tesra::cli::om
