// Archive base names: tesra_parse_filename on any text, and the name-only path of
// tesra_get_basic_file_info_v6_0, which must agree with it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tesra/tesra_ext_defs.h"

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    // The name is a C string: it ends at the first NUL of the input.
    std::vector<char> name(data, data + size);
    name.push_back('\0');
    const std::string path(name.data());

    uint32_t index = 0;
    uint64_t period = 0, start = 0, end = 0;
    const tesra_error_t rc = tesra_parse_filename(name.data(), &index, &period, &start, &end);
    // The parse leaves its text as it was.
    if (std::string_view(name.data()) != path) std::abort();
    if (rc == TESRA_SUCCESS) {
        if (index == 0 || start > end) std::abort();
        if (period != 0 && !tesra_is_period_valid(period)) std::abort();
    } else if (rc != TESRA_FILENAME_FORMAT_ERROR) {
        std::abort();
    }

    // A name carrying the template of an archive still being written would be opened; the
    // archive open targets cover that.
    if (path.find("_0000000000000_0000000.") != std::string::npos) return 0;
    uint32_t info_index = 0;
    uint64_t info_period = 0, info_start = 0, info_end = 0;
    const tesra_error_t info_rc = tesra_get_basic_file_info_v6_0(
        path.c_str(), &info_index, &info_period, &info_start, &info_end);
    if (info_rc != rc) std::abort();
    if (rc == TESRA_SUCCESS && (info_index != index || info_period != period ||
                                info_start != start || info_end != end)) {
        std::abort();
    }
    return 0;
}
