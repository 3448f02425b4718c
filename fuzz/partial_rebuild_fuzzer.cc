// An archive still being written: its name carries the partial template, so the reader rebuilds
// the index from the records the data stream already holds, whatever the metadata says. Also the
// time-span calls, which open such an archive to learn its span.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tesra/tesra_ext_defs.h"

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    auto input = tesra::fuzz::split_archive_input(data, size);
    const std::string base = tesra::fuzz::write_archive_pair(input, tesra::fuzz::kPartialBase);
    if (base.empty()) std::abort();

    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *gz = nullptr;
    if (tesra_open_data_file(base.c_str(), "r", &file, &meta, &gz) == TESRA_SUCCESS) {
        tesra::fuzz::walk_records(file, TESRA_RAW_ORDER);
        tesra_close_data_file(file);
    } else if (file != nullptr) {
        std::abort();
    }

    // The time-span calls open the archive again and rebuild its index. For a name carrying the
    // partial template the basic call hands over to the partial one, so one of the two is asked
    // per input (bit 2 of the flags: the partial one itself), not both for the same answer.
    uint64_t period = 0, start = 0, end = 0;
    uint32_t index = 0;
    const tesra_error_t rc =
        (input.flags & 4) != 0
            ? tesra_get_partial_file_info_v6_0(base.c_str(), &period, &start, &end)
            : tesra_get_basic_file_info_v6_0(base.c_str(), &index, &period, &start, &end);
    if (rc == TESRA_SUCCESS && start > end) std::abort();
    return 0;
}
