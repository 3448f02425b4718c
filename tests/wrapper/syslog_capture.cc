// Stand-ins for the system-log functions; see syslog_capture.h.
#include "syslog_capture.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

namespace tesra::test {
namespace {

struct LogState {
    std::vector<LogEvent> events;
    std::string ident;
    int option = 0;
    int facility = 0;
    int mask = 0xff;
    bool open = false;
};

LogState &state() {
    static LogState s;
    return s;
}

LogEvent make_event(LogCall call) {
    const LogState &s = state();
    LogEvent e;
    e.call = call;
    e.ident = s.open ? s.ident : std::string();
    e.option = s.option;
    e.facility = s.facility;
    e.mask = s.mask;
    return e;
}

__attribute__((format(printf, 2, 0))) void record_message(int priority,
                                                              const char *format,
                                                              va_list args) {
    char buffer[4096];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    LogEvent e = make_event(LogCall::kMessage);
    e.priority = priority;
    e.text = buffer;
    state().events.push_back(std::move(e));
}

}  // namespace

const std::vector<LogEvent> &log_events() { return state().events; }

std::vector<LogEvent> log_messages() {
    std::vector<LogEvent> out;
    for (const LogEvent &e : state().events) {
        if (e.call == LogCall::kMessage) out.push_back(e);
    }
    return out;
}

void clear_log() { state().events.clear(); }

}  // namespace tesra::test

using tesra::test::LogCall;

// Tests are built with hidden visibility; these must be exported for the libraries to bind to them.
#define TESRA_TEST_EXPORT __attribute__((visibility("default")))

extern "C" {

TESRA_TEST_EXPORT int setlogmask(int mask);
TESRA_TEST_EXPORT void openlog(const char *ident, int option, int facility);
TESRA_TEST_EXPORT void syslog(int priority, const char *format, ...);
TESRA_TEST_EXPORT void __syslog_chk(int priority, int flag, const char *format, ...);
TESRA_TEST_EXPORT void vsyslog(int priority, const char *format, va_list args);
TESRA_TEST_EXPORT void __vsyslog_chk(int priority, int flag, const char *format, va_list args);
TESRA_TEST_EXPORT void closelog(void);

int setlogmask(int mask) {
    auto &s = tesra::test::state();
    const int previous = s.mask;
    if (mask != 0) s.mask = mask;
    s.events.push_back(tesra::test::make_event(LogCall::kSetMask));
    return previous;
}

void openlog(const char *ident, int option, int facility) {
    auto &s = tesra::test::state();
    s.ident = ident != nullptr ? ident : "";
    s.option = option;
    s.facility = facility;
    s.open = true;
    s.events.push_back(tesra::test::make_event(LogCall::kOpen));
}

// Format attributes as glibc declares them, so the format is checked where it is passed on.
__attribute__((format(printf, 2, 3)))
void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    tesra::test::record_message(priority, format, args);
    va_end(args);
}

// Fortified builds route syslog here.
__attribute__((format(printf, 3, 4)))
void __syslog_chk(int priority, int /*flag*/, const char *format, ...) {
    va_list args;
    va_start(args, format);
    tesra::test::record_message(priority, format, args);
    va_end(args);
}

__attribute__((format(printf, 2, 0)))
void vsyslog(int priority, const char *format, va_list args) {
    tesra::test::record_message(priority, format, args);
}

__attribute__((format(printf, 3, 0)))
void __vsyslog_chk(int priority, int /*flag*/, const char *format, va_list args) {
    tesra::test::record_message(priority, format, args);
}

void closelog(void) {
    auto &s = tesra::test::state();
    s.events.push_back(tesra::test::make_event(LogCall::kClose));
    s.open = false;
    s.ident.clear();
}

}  // extern "C"
