// The interposed file operations of write_faults.h. Built as a shared library that the test
// binaries link ahead of the C library, so that the archive libraries' calls (and zlib's) reach
// these definitions first; each finds the C library's own through dlsym(RTLD_NEXT).
#include "write/write_faults.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <sys/types.h>

namespace tesra::test::faults {
namespace {

// Test-only state: one test thread arms and disarms around the calls it drives.
bool armed = false;
long counted = 0;
long chosen = 0;
Action chosen_action = Action::kFailOnce;
int chosen_errno = 0;
const char *hit_name = "none";

template <class F>
F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Whether this call of `name` fails; kills the process when that is the action.
bool inject(const char *name) {
    if (!armed) return false;
    ++counted;
    if (counted == chosen) hit_name = name;
    const bool hit = chosen != 0 && (counted == chosen ||
                                     (chosen_action == Action::kFailFrom && counted > chosen));
    if (!hit) return false;
    if (chosen_action == Action::kKill) raise(SIGKILL);
    errno = chosen_errno;
    return true;
}

}  // namespace

void arm(long point, Action action, int error_number) noexcept {
    counted = 0;
    chosen = point;
    chosen_action = action;
    chosen_errno = error_number;
    hit_name = "none";
    armed = true;
}

long disarm() noexcept {
    armed = false;
    return counted;
}

const char *last_hit() noexcept {
    return hit_name;
}

}  // namespace tesra::test::faults

using tesra::test::faults::inject;
using tesra::test::faults::real;

#define TESRA_FAULT_EXPORT extern "C" __attribute__((visibility("default")))

TESRA_FAULT_EXPORT ssize_t write(int fd, const void *buf, size_t count) {
    static const auto next = real<ssize_t (*)(int, const void *, size_t)>("write");
    if (inject("write")) return -1;
    return next(fd, buf, count);
}

TESRA_FAULT_EXPORT size_t fwrite(const void *ptr, size_t size, size_t n, FILE *stream) {
    static const auto next = real<size_t (*)(const void *, size_t, size_t, FILE *)>("fwrite");
    if (inject("fwrite")) return 0;
    return next(ptr, size, n, stream);
}

TESRA_FAULT_EXPORT int fflush(FILE *stream) {
    static const auto next = real<int (*)(FILE *)>("fflush");
    if (inject("fflush")) return EOF;
    return next(stream);
}

TESRA_FAULT_EXPORT int fseeko(FILE *stream, off_t offset, int whence) {
    static const auto next = real<int (*)(FILE *, off_t, int)>("fseeko");
    if (inject("fseeko")) return -1;
    return next(stream, offset, whence);
}

TESRA_FAULT_EXPORT int fseeko64(FILE *stream, off64_t offset, int whence) {
    static const auto next = real<int (*)(FILE *, off64_t, int)>("fseeko64");
    if (inject("fseeko")) return -1;
    return next(stream, offset, whence);
}

TESRA_FAULT_EXPORT int vfprintf(FILE *stream, const char *format, va_list args) {
    static const auto next = real<int (*)(FILE *, const char *, va_list)>("vfprintf");
    if (inject("vfprintf")) return -1;
    return next(stream, format, args);
}

// Fortified builds route vfprintf here.
TESRA_FAULT_EXPORT int __vfprintf_chk(FILE *stream, int flag, const char *format, va_list args);
TESRA_FAULT_EXPORT int __vfprintf_chk(FILE *stream, int flag, const char *format, va_list args) {
    static const auto next = real<int (*)(FILE *, int, const char *, va_list)>("__vfprintf_chk");
    if (inject("vfprintf")) return -1;
    return next(stream, flag, format, args);
}
