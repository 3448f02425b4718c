// The poll loop of --follow: refresh, print what is new, notice the writer's close and rename,
// and leave cleanly on Ctrl-C.
#include "follow.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fmt/core.h>

#include "tesra/tesra_common_defs.h"

namespace tesra::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void on_interrupt(int) {
    g_interrupted = 1;
}

// Ctrl-C (and a plain kill) set a flag instead of ending the process: the loop then flushes
// what it has printed and exits 0. No SA_RESTART, so that a sleep ends at once.
void catch_interrupts() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Sleeps `ms`; false when interrupted.
bool sleep_interval(uint64_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (g_interrupted == 0) {
        if (nanosleep(&left, &left) == 0) return g_interrupted == 0;
        if (errno != EINTR) return g_interrupted == 0;
    }
    return false;
}

bool files_present(const std::string &base) {
    std::error_code ec;
    return std::filesystem::exists(base + ".meta", ec) && std::filesystem::exists(base + ".gz", ec);
}

// A writer closes and then renames the two files one after the other: give the rename a few
// intervals (at least two seconds) to complete before deciding the archive was removed.
std::string wait_for_successor(const std::string &base, uint64_t interval_ms) {
    const uint64_t tries = std::max<uint64_t>(5, 2000 / std::max<uint64_t>(interval_ms, 1));
    for (uint64_t i = 0;; ++i) {
        if (std::string next = find_closed_successor(base); !next.empty()) return next;
        if (files_present(base) || i == tries || !sleep_interval(interval_ms)) return {};
    }
}

}  // namespace

void add_follow_options(CLI::App &cmd, FollowOptions &opt) {
    cmd.add_flag("--follow,-f", opt.follow,
                 "Keep printing new samples as the writer adds them, until it closes the "
                 "archive or Ctrl-C");
    cmd.add_option("--interval", opt.interval,
                   "Pause between looks for new samples when following: ms or 200ms, 2s")
        ->capture_default_str();
}

std::optional<uint64_t> follow_interval(const FollowOptions &opt) {
    auto ms = parse_duration(opt.interval);
    if (!ms || *ms == 0 || *ms > 3600000) {
        report_usage(fmt::format("--interval: not a pause between 1 ms and 1 h: '{}'",
                                 opt.interval));
        return std::nullopt;
    }
    return ms;
}

std::string find_closed_successor(const std::string &partial_base) {
    namespace fs = std::filesystem;
    const fs::path path(partial_base);
    const std::string name = path.filename().string();
    // "<index>_<longest period>_": the part of the name that the close does not change.
    size_t first = name.find('_');
    size_t second = first == std::string::npos ? first : name.find('_', first + 1);
    if (second == std::string::npos) return {};
    const std::string prefix = name.substr(0, second + 1);
    const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::error_code ec;
    std::string found;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &entry = it->path();
        if (entry.extension() != ".meta") continue;
        const std::string stem = entry.stem().string();
        if (stem.rfind(prefix, 0) != 0 || stem == name) continue;
        if ((stem + ".").find(format::kPartialArchiveTemplate) != std::string::npos) continue;
        const std::string base = (dir / stem).string();
        if (!files_present(base)) continue;
        // Several closed archives of one index and period: the newest one written.
        if (found.empty() || fs::last_write_time(base + ".meta", ec) >
                                 fs::last_write_time(found + ".meta", ec)) {
            found = base;
        }
    }
    return found;
}

int follow(FollowView &view, uint64_t interval_ms) {
    catch_interrupts();
    auto writing = view.archive().being_written();
    if (!writing) return kExitProblem;
    if (!view.show(!*writing)) return kExitProblem;
    std::fflush(stdout);
    if (!*writing || view.done()) return kExitOk;

    while (sleep_interval(interval_ms)) {
        Archive &archive = view.archive();
        const std::string base = archive.base();
        uint32_t new_records = 0;
        tesra_error_t rc = archive.refresh(&new_records);
        const bool present = files_present(base);
        if (rc == TESRA_SUCCESS) {
            writing = archive.being_written();
            if (!writing) return kExitProblem;
            if (!*writing) {
                // Closed by its writer: the newest sample is whole now.
                bool shown = view.show(true);
                std::fflush(stdout);
                return shown ? kExitOk : kExitProblem;
            }
            if (present) {
                if (new_records > 0 && !view.show(false)) return kExitProblem;
                std::fflush(stdout);
                if (view.done()) return kExitOk;
                continue;
            }
        } else if (present) {
            return report_failure(base, "refresh", rc);
        }
        // The files are gone: the writer closed the archive and renamed it.
        std::string next = wait_for_successor(base, interval_ms);
        if (next.empty()) {
            if (g_interrupted != 0) break;
            if (files_present(base)) continue;
            return report_problem(base, "removed while being followed");
        }
        if (!view.reopen(next)) return kExitProblem;
        writing = view.archive().being_written();
        if (!writing) return kExitProblem;
        bool shown = view.show(!*writing);
        std::fflush(stdout);
        if (!shown) return kExitProblem;
        if (!*writing || view.done()) return kExitOk;
    }
    // Interrupted: what was printed is complete; the held-back newest sample is left out.
    std::fflush(stdout);
    return kExitOk;
}

}  // namespace tesra::cli
