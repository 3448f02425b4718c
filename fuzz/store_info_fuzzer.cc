// Store identity: the head of an outside collector's text dump, and an archive's metadata
// document. The first input byte picks which: even for the dump, odd for the metadata file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "tesra/tesra_ext_defs.h"

#include "fuzz_support.h"

namespace {

void check_dump(tesra_error_t rc, const tesra_store_def_t &store) {
    // A dump read always names the collector's process and carries no generation.
    if (rc == TESRA_SUCCESS && (store.process_name == nullptr || store.store_name == nullptr ||
                                store.generation_id != 0)) {
        std::abort();
    }
}

void check_meta(tesra_error_t rc, const tesra_store_def_t &store) {
    // Only a version-6 document gives an identity.
    if (rc == TESRA_SUCCESS && store.major_v != 6) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const bool meta = (data[0] & 1) != 0;
    const std::span<const uint8_t> body(data + 1, size - 1);

    tesra_store_def_t store{};
    if (meta) {
        const std::string base = tesra::fuzz::scratch_path("1_0_1000000000000_900000");
        if (!tesra::fuzz::write_bytes(base + ".meta", body)) std::abort();
        check_meta(tesra_get_store_info_from_meta_file_v6_0(base.c_str(), &store), store);
    } else {
        const std::string path = tesra::fuzz::scratch_path("dump.txt");
        if (!tesra::fuzz::write_bytes(path, body)) std::abort();
        check_dump(tesra_get_store_info_from_drovik_file_v6_0(path.c_str(), &store), store);
    }
    // Whatever was filled is the caller's, success or not.
    tesra_free_store_def(store);
    return 0;
}
