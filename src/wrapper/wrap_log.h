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
class SystemLog {
public:
    explicit SystemLog(const char *ident) : ident_(ident) {
        setlogmask(LOG_UPTO(LOG_NOTICE));
        reopen();
    }
    ~SystemLog() { closelog(); }
    SystemLog(const SystemLog &) = delete;
    SystemLog &operator=(const SystemLog &) = delete;

    // A nested extraction call closes the shared log connection on its way out; the caller's
    // identity has to be put back before its own messages are written.
    void reopen() const { openlog(ident_, LOG_PID | LOG_CONS | LOG_NDELAY, LOG_LOCAL1); }

private:
    const char *ident_;
};

// Codes outside the label table come only from a broken library; they must not index past it.
inline const char *label_of(tesra_error_t code) {
    const auto index = static_cast<unsigned>(code);
    if (index >= static_cast<unsigned>(TESRA_ERROR_CODES_MAX_INDEX)) return "TESRA_UNKNOWN_ERROR";
    return tesra_error_labels[index];
}

// Text arguments of the calls may be null; the log must never be handed a null for "%s".
inline const char *shown(const char *text) { return text != nullptr ? text : "(null)"; }

}  // namespace tesra::wrap
