// The system-log frame of the extraction calls, safe for calls on several threads at once.
#include "wrap_log.h"

#include <cstdarg>
#include <mutex>

namespace tesra::wrap {
namespace {

constexpr int kOptions = LOG_PID | LOG_CONS | LOG_NDELAY;

std::mutex &log_mutex() {
    static std::mutex m;
    return m;
}

// The identity the log was last opened under, null once closed; guarded by log_mutex.
const char *opened_ident = nullptr;

// The innermost extraction call running on this thread.
thread_local const char *current_ident = nullptr;

// The caller holds log_mutex.
void open_locked(const char *ident) {
    openlog(ident, kOptions, LOG_LOCAL1);
    opened_ident = ident;
}

}  // namespace

SystemLog::SystemLog(const char *ident) : ident_(ident), outer_(current_ident) {
    current_ident = ident;
    const std::lock_guard<std::mutex> lock(log_mutex());
    setlogmask(LOG_UPTO(LOG_NOTICE));
    open_locked(ident_);
}

SystemLog::~SystemLog() {
    current_ident = outer_;
    const std::lock_guard<std::mutex> lock(log_mutex());
    closelog();
    opened_ident = nullptr;
}

void SystemLog::reopen() const {
    const std::lock_guard<std::mutex> lock(log_mutex());
    open_locked(ident_);
}

void log_error(const char *format, ...) {
    const std::lock_guard<std::mutex> lock(log_mutex());
    if (current_ident != nullptr && opened_ident != current_ident) open_locked(current_ident);
    va_list args;
    va_start(args, format);
    vsyslog(LOG_ERR, format, args);
    va_end(args);
}

}  // namespace tesra::wrap
