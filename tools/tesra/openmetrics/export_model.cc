// Spooled families and the instance table of an export.
#include "openmetrics/export_model.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>

#include "openmetrics/metric_text.h"

namespace tesra::cli::om {

char *map_huge_region() {
    // Twice the size, to cut an aligned region out of it.
    void *map = ::mmap(nullptr, 2 * kHugeRegionBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return nullptr;
    char *start = static_cast<char *>(map);
    const size_t misalign = reinterpret_cast<uintptr_t>(start) % kHugeRegionBytes;
    char *region = start + (misalign == 0 ? 0 : kHugeRegionBytes - misalign);
    if (region != start) ::munmap(start, static_cast<size_t>(region - start));
    char *tail = region + kHugeRegionBytes;
    ::munmap(tail, static_cast<size_t>(start + 2 * kHugeRegionBytes - tail));
#if defined(MADV_HUGEPAGE)
    ::madvise(region, kHugeRegionBytes, MADV_HUGEPAGE);  // a hint; small pages do as well
#endif
    return region;
}

namespace {

// The spool directory a fatal signal removes before the process ends: an interrupted export of a
// large series would otherwise leave everything it spooled. The handler may only call
// async-signal-safe functions, so the path is kept ready in a fixed buffer and the file count in
// an atomic; files are numbered from 0 and a name counted but not yet created unlinks as nothing.
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
char g_signal_dir[PATH_MAX];
std::atomic<size_t> g_signal_files{0};
std::atomic<bool> g_signal_armed{false};
struct sigaction g_previous[std::size(kCleanupSignals)];

void remove_spool_and_die(int sig) {
    if (g_signal_armed.exchange(false)) {
        char path[PATH_MAX + 24];
        const size_t len = std::strlen(g_signal_dir);
        std::memcpy(path, g_signal_dir, len);
        path[len] = '/';
        const size_t files = g_signal_files.load();
        for (size_t i = 0; i < files; ++i) {
            char digits[24];
            size_t n = 0;
            for (size_t v = i; n == 0 || v != 0; v /= 10)
                digits[n++] = static_cast<char>('0' + v % 10);
            for (size_t k = 0; k < n; ++k) path[len + 1 + k] = digits[n - 1 - k];
            path[len + 1 + n] = '\0';
            ::unlink(path);
        }
        ::rmdir(g_signal_dir);
    }
    // End as the signal would have ended the process, so that a shell sees the same status.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// False when another directory is armed already or the path does not fit.
bool arm_signal_cleanup(const std::string &path) {
    if (path.size() >= sizeof g_signal_dir || g_signal_armed.load()) return false;
    std::memcpy(g_signal_dir, path.c_str(), path.size() + 1);
    g_signal_files.store(0);
    g_signal_armed.store(true);
    struct sigaction action {};
    action.sa_handler = remove_spool_and_die;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        ::sigaction(kCleanupSignals[i], nullptr, &g_previous[i]);
        // A signal the caller chose to ignore (nohup) stays ignored.
        if (g_previous[i].sa_handler == SIG_IGN) continue;
        ::sigaction(kCleanupSignals[i], &action, nullptr);
    }
    return true;
}

void disarm_signal_cleanup() {
    if (!g_signal_armed.exchange(false)) return;
    for (size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        ::sigaction(kCleanupSignals[i], &g_previous[i], nullptr);
    }
}

}  // namespace

SpoolDir::~SpoolDir() {
    for (void *region : regions_) ::munmap(region, kHugeRegionBytes);
    if (path_.empty()) return;
    if (armed_) disarm_signal_cleanup();
    for (size_t i = 0; i < files_; ++i) ::unlink(file(i).c_str());
    ::rmdir(path_.c_str());
}

bool SpoolDir::create(const std::string &parent) {
    std::string templ = (parent.empty() ? std::string("/tmp") : parent) + "/tesra-export-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) return false;
    path_ = templ;
    armed_ = arm_signal_cleanup(path_);
    return true;
}

std::string SpoolDir::file(size_t index) const {
    return path_ + "/" + std::to_string(index);
}

char *SpoolDir::take_buffer(size_t bytes) {
    if (bytes > kHugeRegionBytes / 8) return nullptr;
    if (static_cast<size_t>(end_ - next_) < bytes) {
        char *region = map_huge_region();
        if (region == nullptr) return nullptr;
        regions_.push_back(region);
        next_ = region;
        end_ = region + kHugeRegionBytes;
    }
    char *buffer = next_;
    next_ += bytes;
    return buffer;
}

Spool::~Spool() {
    if (fd_ >= 0) ::close(fd_);
}

void Spool::attach(SpoolDir &dir, size_t buffer_bytes, bool keep_open) {
    dir_ = &dir;
    path_ = dir.file(dir.files_++);
    if (dir.armed_) g_signal_files.store(dir.files_);
    limit_ = buffer_bytes;
    keep_open_ = keep_open;
}

char *Spool::make_room(size_t n) {
    if (!flush()) return nullptr;
    if (buffer_ == nullptr && n <= limit_) {
        buffer_ = dir_->take_buffer(limit_);
        capacity_ = buffer_ != nullptr ? limit_ : 0;
    }
    if (capacity_ < n) {
        capacity_ = std::max(limit_, n);
        own_ = std::make_unique_for_overwrite<char[]>(capacity_);
        buffer_ = own_.get();
    }
    used_ = n;
    return buffer_;
}

bool Spool::put_text(uint32_t instance, uint32_t element, std::string_view text) {
    char *p = room(12 + text.size());
    if (p == nullptr) return false;
    store_u32(p, instance);
    store_u32(p + 4, element);
    store_u32(p + 8, static_cast<uint32_t>(text.size()));
    if (!text.empty()) std::memcpy(p + 12, text.data(), text.size());
    return true;
}

bool Spool::flush() {
    if (failed_) return false;
    if (used_ == 0) return true;
    // Opened per flush unless the caller lets it stay open: an export may hold more families
    // than a process may hold open files.
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    bool ok = fd_ >= 0;
    for (size_t done = 0; ok && done < used_;) {
        ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    if (fd_ >= 0 && (!keep_open_ || !ok)) {
        ok = ::close(fd_) == 0 && ok;
        fd_ = -1;
    }
    used_ = 0;
    if (!ok) failed_ = true;
    return ok;
}

std::vector<std::string> element_label_table(const std::vector<std::string> &x_names,
                                             const std::vector<std::string> &y_names) {
    std::vector<std::string> out;
    auto label = [](std::string_view name, const std::string &text, size_t index) {
        std::string part = ",";
        part += name;
        part += "=\"";
        append_label_value(part, text.empty() ? std::to_string(index) : text);
        part += '"';
        return part;
    };
    if (x_names.empty()) return out;
    if (y_names.empty()) {
        for (size_t x = 0; x < x_names.size(); ++x) out.push_back(label("x", x_names[x], x));
        return out;
    }
    // x-major: value k holds x = k / ny, y = k % ny.
    for (size_t x = 0; x < x_names.size(); ++x) {
        for (size_t y = 0; y < y_names.size(); ++y) {
            out.push_back(label("x", x_names[x], x) + label("y", y_names[y], y));
        }
    }
    return out;
}

uint32_t Instances::find_or_add(const std::string &label_text, uint32_t node_index) {
    auto [it, added] = index.try_emplace(label_text, static_cast<uint32_t>(labels.size()));
    if (added) {
        labels.push_back(label_text);
        node.push_back(node_index);
    }
    return it->second;
}

}  // namespace tesra::cli::om
