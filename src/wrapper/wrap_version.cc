// Format version of an archive.
#include <cstdlib>

#include "tesra/tesra_wrapper_header.h"
#include "wrap_archive.h"
#include "wrap_log.h"

using tesra::wrap::label_of;
using tesra::wrap::log_error;
using tesra::wrap::MessageStyle;

extern "C" tesra_wrapper_file_version get_tesra_file_version(const char *kelb_file_path,
                                                             char **error) {
    tesra::wrap::SystemLog log(tesra::wrap::kTimestampsIdent);
    if (error != nullptr) *error = nullptr;

    tesra_wrapper_file_version version{};
    const bool ok = tesra::wrap::with_archive(
        kelb_file_path, MessageStyle::kTimestamps, error, [&](tesra_file_handle_t *file) {
            tesra_file_def_t info{};
            if (const tesra_error_t rc = tesra_get_file_info(file, &info); rc != TESRA_SUCCESS) {
                log_error("Error getting file info, error : %s\n", label_of(rc));
                return rc;
            }
            // The paths in `info` stay the handle's; only the version pair is kept.
            version.major_v = info.major_v;
            version.minor_v = info.minor_v;
            return TESRA_SUCCESS;
        });
    if (!ok) version = {FILE_VERSION_ERROR, FILE_VERSION_ERROR};
    return version;
}

extern "C" void free_tesra_file_version(char *error) { std::free(error); }
