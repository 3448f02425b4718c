// The frame that every retrieval call runs in: open one archive read-only, run the call's steps,
// close it, and turn the first failure into the caller's error text.
#pragma once

#include <cstdint>
#include <vector>

#include "tesra/tesra_wrapper_header.h"

namespace tesra::wrap {

// A step that failed inside the wrapper itself (one of its own allocations). It has no label,
// so the caller's error text stays null; the step has already logged what went wrong.
inline constexpr tesra_error_t kOwnAllocationFailed = TESRA_ERROR_CODES_MAX_INDEX;

// The counter-data call words its messages differently from the other retrieval calls.
enum class MessageStyle { kTimestamps, kCounterData };

// `*error` receives a new copy of the code's label; nothing for success or the wrapper's own
// failures (or when even that copy cannot be made).
void set_error(char **error, tesra_error_t code);

// Opens `path` read-only; logs a failure in the call's wording.
tesra_error_t open_archive(const char *path, MessageStyle style, tesra_file_handle_t **out);

// Closes the archive after the call's steps ended with `code` and reports the call's result.
bool close_archive(tesra_file_handle_t *file, const char *path, tesra_error_t code, char **error);

template <class Steps>
bool with_archive(const char *path, MessageStyle style, char **error, Steps &&steps) {
    tesra_file_handle_t *file = nullptr;
    if (const tesra_error_t rc = open_archive(path, style, &file); rc != TESRA_SUCCESS) {
        set_error(error, rc);
        return false;
    }
    return close_archive(file, path, steps(file), error);
}

// The object a call asks about, with the archive's record-time range around it.
struct ArchiveObject {
    uint64_t oldest = 0;
    uint64_t newest = 0;
    tesra_object_handle_t *object = nullptr;
    tesra_object_def_t info{};
};

// Record-time range, header, object by name and its information; logs the failing step.
tesra_error_t locate_object(tesra_file_handle_t *file,
                            const char *path,
                            const char *object_name,
                            MessageStyle style,
                            ArchiveObject *out);

// Names (borrowed from the archive) of the object's counters at `period`. The list grows with
// the object, so an object with any number of counters is covered. Logs nothing.
tesra_error_t collect_counter_names(tesra_object_handle_t *object,
                                    uint64_t period,
                                    std::vector<const char *> *out);

// Query over the archive's whole record-time range for the named counters at `period`.
// `*out` stays null when the range misses the archive. Logs nothing.
tesra_error_t run_query(tesra_file_handle_t *file,
                        const ArchiveObject &target,
                        const std::vector<const char *> &counter_names,
                        uint64_t period,
                        tesra_query_handle_t **out);

}  // namespace tesra::wrap
