#include "read/gz_engine.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tesra::read {

int64_t read_file_at(int fd, unsigned char *buf, std::size_t len, uint64_t offset) noexcept {
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::pread(fd, buf + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<int64_t>(done);
}

GzInput::GzInput(int fd, std::size_t size)
    : fd_(fd), buf_(new unsigned char[size]), size_(size), next_(buf_.get()) {}

int64_t GzInput::refill() noexcept {
    if (avail_ > 0 && next_ != buf_.get()) std::memmove(buf_.get(), next_, avail_);
    next_ = buf_.get();
    const int64_t n = read_file_at(fd_, buf_.get() + avail_, size_ - avail_, next_read_);
    if (n > 0) {
        avail_ += static_cast<std::size_t>(n);
        next_read_ += static_cast<uint64_t>(n);
    }
    return n;
}

}  // namespace tesra::read
