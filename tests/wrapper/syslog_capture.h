// Records what the code under test sends to the system log. The test program defines the
// system-log functions itself, so the libraries' calls land here instead of in the C library.
#pragma once

#include <string>
#include <vector>

namespace tesra::test {

enum class LogCall { kSetMask, kOpen, kMessage, kClose };

struct LogEvent {
    LogCall call;
    std::string ident;  // identity in effect (empty while the log is closed)
    int option = 0;
    int facility = 0;
    int mask = 0;       // mask in effect
    int priority = 0;   // messages only
    std::string text;   // messages only, fully formatted
};

// Every call since the last clear, in order.
const std::vector<LogEvent> &log_events();
// Only the messages.
std::vector<LogEvent> log_messages();
void clear_log();

}  // namespace tesra::test
