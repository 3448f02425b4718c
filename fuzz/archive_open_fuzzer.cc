// The open path of a finished archive: metadata document, index section and data stream from
// one input (see fuzz_support.h for its layout), then navigation over objects and counters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tesra/tesra_ext_defs.h"

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    auto input = tesra::fuzz::split_archive_input(data, size);
    const std::string base = tesra::fuzz::write_archive_pair(input, tesra::fuzz::kFinishedBase);
    if (base.empty()) std::abort();

    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *gz = nullptr;
    if (tesra_open_data_file(base.c_str(), "rb", &file, &meta, &gz) != TESRA_SUCCESS) {
        // A failed open hands nothing out.
        if (file != nullptr) std::abort();
        return 0;
    }
    tesra::fuzz::walk_header(file);
    tesra_close_data_file(file);
    return 0;
}
