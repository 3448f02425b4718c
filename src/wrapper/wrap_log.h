// System-log frame and error-label helpers shared by every extraction call.
// Each call opens the log under its own identity and closes it before returning.
#pragma once

#include <syslog.h>

#include "tesra/tesra_wrapper_header.h"

namespace tesra::wrap {

inline constexpr const char kTimestampsIdent[] = "tesra_wrapper_get_timestamps";
inline constexpr const char kCounterDataIdent[] = "tesra_wrapper_get_counter_data";

// Opens the system log for the lifetime of one call. The data-collection service reads only
// errors, but notices are let through so that the mask does not hide anything we log.
//
// The log's identity is process-wide while calls run on several threads at once: one call's
// closelog, or another call's openlog, would otherwise put its messages under the wrong name or
// under none. Every log function therefore runs under one lock, and a message reopens the log
// under its own call's identity when something else changed it since (log_error).
class SystemLog {
public:
    explicit SystemLog(const char *ident);
    ~SystemLog();
    SystemLog(const SystemLog &) = delete;
    SystemLog &operator=(const SystemLog &) = delete;

    // A nested extraction call closes the shared log connection on its way out; the caller's
    // identity has to be put back before its own messages are written.
    void reopen() const;

private:
    const char *ident_;
    const char *outer_;  // the identity of the call this one runs inside, on this thread
};

// Writes one error message under the identity of the innermost call running on this thread.
__attribute__((format(printf, 1, 2))) void log_error(const char *format, ...);

// Codes outside the label table come only from a broken library; they must not index past it.
inline const char *label_of(tesra_error_t code) {
    const auto index = static_cast<unsigned>(code);
    if (index >= static_cast<unsigned>(TESRA_ERROR_CODES_MAX_INDEX)) return "TESRA_UNKNOWN_ERROR";
    return tesra_error_labels[index];
}

// Text arguments of the calls may be null; the log must never be handed a null for "%s".
inline const char *shown(const char *text) {
    return text != nullptr ? text : "(null)";
}

}  // namespace tesra::wrap
