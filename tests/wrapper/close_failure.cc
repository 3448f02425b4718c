// The test program defines gzclose itself, so the libraries' calls land here first; the real
// one is found behind it and always called, so nothing leaks.
#include "close_failure.h"

#include <dlfcn.h>
#include <zlib.h>

namespace tesra::test {
namespace {
bool fail_next = false;
}  // namespace

void fail_next_stream_close() {
    fail_next = true;
}

}  // namespace tesra::test

extern "C" __attribute__((visibility("default"))) int gzclose(gzFile file) {
    using Close = int (*)(gzFile);
    static const auto real = reinterpret_cast<Close>(dlsym(RTLD_NEXT, "gzclose"));
    const int rc = real(file);
    if (!tesra::test::fail_next) return rc;
    tesra::test::fail_next = false;
    return Z_ERRNO;
}
