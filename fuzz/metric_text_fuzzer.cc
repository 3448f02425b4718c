// Exported metric text: archive names and values of any bytes become valid metric and label
// names, and escaped label values and help text that read back as the original.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "openmetrics/metric_text.h"

namespace {

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Reads escaped text back; aborts on a bare quote or newline, or an unknown escape.
std::string unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"' || c == '\n') std::abort();
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == text.size()) std::abort();
        switch (text[i]) {
            case '\\':
                out += '\\';
                break;
            case '"':
                out += '"';
                break;
            case 'n':
                out += '\n';
                break;
            default:
                std::abort();
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    namespace om = tesra::cli::om;

    const std::string mapped = om::map_name(text);
    if (mapped.size() != text.size()) std::abort();
    for (char c : mapped) {
        if (!is_name_char(c)) std::abort();
    }
    const std::string label = om::label_name(text);
    if (label.empty() != text.empty()) std::abort();
    if (!label.empty() && label[0] >= '0' && label[0] <= '9') std::abort();

    std::string value;
    om::append_label_value(value, text);
    if (unescape(value) != text) std::abort();
    std::string help;
    om::append_help(help, text, true);
    if (unescape(help) != text) std::abort();

    uint64_t ms = 0;
    if (size > 0) std::memcpy(&ms, data, size < sizeof ms ? size : sizeof ms);
    std::string seconds;
    om::append_seconds(seconds, ms);
    const size_t dot = seconds.find('.');
    if (dot == std::string::npos || seconds.size() - dot != 4) std::abort();
    if (std::to_string(ms / 1000) != seconds.substr(0, dot)) std::abort();
    if (std::strtoul(seconds.c_str() + dot + 1, nullptr, 10) != ms % 1000) std::abort();
    return 0;
}
