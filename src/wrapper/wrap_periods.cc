// Sampling periods of one object of an archive.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "tesra/tesra_wrapper_header.h"
#include "wrap_archive.h"
#include "wrap_log.h"

using tesra::wrap::label_of;
using tesra::wrap::log_error;
using tesra::wrap::MessageStyle;
using tesra::wrap::shown;

namespace {

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

}  // namespace

extern "C" bool get_periods_list(const char *kelb_file_path,
                                 const char *current_obj,
                                 uint64_t **time_period_list,
                                 uint32_t *num_periods,
                                 char **error) {
    tesra::wrap::SystemLog log(tesra::wrap::kTimestampsIdent);
    if (error != nullptr) *error = nullptr;
    if (time_period_list == nullptr || num_periods == nullptr) {
        tesra::wrap::set_error(error, TESRA_INVALID_ARGUMENTS);
        return false;
    }
    *time_period_list = nullptr;

    return tesra::wrap::with_archive(
        kelb_file_path, MessageStyle::kTimestamps, error, [&](tesra_file_handle_t *file) {
            tesra::wrap::ArchiveObject target;
            if (const tesra_error_t rc = tesra::wrap::locate_object(
                    file, kelb_file_path, current_obj, MessageStyle::kTimestamps, &target);
                rc != TESRA_SUCCESS) {
                return rc;
            }
            uint64_t *raw_periods = nullptr;
            uint32_t count = 0;
            const tesra_error_t rc = tesra_get_object_periods(target.object, &raw_periods, &count);
            // Owned from here on every path, so it is released exactly once.
            const std::unique_ptr<uint64_t, FreeDeleter> periods(raw_periods);
            if (rc != TESRA_SUCCESS) {
                log_error("Couldn't get the object periods error : %s, object : %s for file : %s",
                          label_of(rc), shown(current_obj), shown(kelb_file_path));
                return rc;
            }
            auto *list =
                static_cast<uint64_t *>(std::calloc(count != 0 ? count : 1, sizeof(uint64_t)));
            if (list == nullptr) {
                log_error("Couldn't allocate memory for timestamp_list for file : %s",
                          shown(kelb_file_path));
                return tesra::wrap::kOwnAllocationFailed;
            }
            if (count != 0) std::copy_n(periods.get(), count, list);
            *time_period_list = list;
            *num_periods = count;
            return TESRA_SUCCESS;
        });
}

extern "C" void free_tesra_wrapper_periods_data(uint64_t *time_period_list, char *error) {
    std::free(time_period_list);
    std::free(error);
}
