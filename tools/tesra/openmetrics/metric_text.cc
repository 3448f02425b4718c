// Name mapping, escaping and number formatting of exported metrics.
#include "openmetrics/metric_text.h"

namespace tesra::cli::om {
namespace {

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

std::string map_name(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        if (!is_name_char(c)) c = '_';
    }
    return out;
}

std::string label_name(std::string_view text) {
    std::string out = map_name(text);
    if (!out.empty() && out[0] >= '0' && out[0] <= '9') out.insert(out.begin(), '_');
    return out;
}

std::string_view unit_name(uint32_t ctype) {
    // The counter manager's unit codes; operations and microseconds have no base unit to name.
    switch (ctype & 0xF0000u) {
        case 0x20000u:
            return "bytes";
        case 0x40000u:
            return "seconds";
        default:
            return {};
    }
}

std::string family_name(std::string_view object, std::string_view counter, std::string_view unit) {
    if (object.empty() || counter.empty()) return {};
    std::string out = "tesra_" + map_name(object) + "_" + map_name(counter);
    if (!unit.empty()) {
        std::string suffix = "_" + std::string(unit);
        if (!ends_with(out, suffix)) out += suffix;
    }
    return out;
}

void append_label_value(std::string &out, std::string_view value) {
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                out += c;
        }
    }
}

void append_help(std::string &out, std::string_view text, bool escape_quote) {
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && escape_quote) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
}

void append_uint(std::string &out, uint64_t value) {
    char buf[kUintRoom];
    out.append(buf, static_cast<size_t>(write_uint(buf, value) - buf));
}

void append_seconds(std::string &out, uint64_t ms) {
    append_uint(out, ms / 1000);
    const auto frac = static_cast<unsigned>(ms % 1000);
    const char digits[4] = {'.', static_cast<char>('0' + frac / 100),
                            static_cast<char>('0' + frac / 10 % 10),
                            static_cast<char>('0' + frac % 10)};
    out.append(digits, 4);
}

}  // namespace tesra::cli::om
