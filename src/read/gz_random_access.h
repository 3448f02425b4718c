// Random access to the decompressed bytes of one gzip file. It answers a seek and a read with
// the results zlib's gzseek64(SEEK_SET) and gzread give for the same file, but a backward seek
// costs at most one span of inflation instead of a restart from the first byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tesra::read {

struct GzAccessOptions {
    // Decompressed bytes between two access points; each point keeps a 32 KiB window, so the
    // index costs about 32 KiB per spacing (3 % at 1 MiB).
    uint64_t point_spacing = uint64_t{1} << 20;
    // Decompressed bytes per cached span; spans start at multiples of this size.
    std::size_t span_size = std::size_t{256} << 10;
    // Bytes of decompressed spans kept in memory, least recently used first out.
    std::size_t cache_budget = std::size_t{64} << 20;
    // Inflate with the fast inflater where the library has one. Its access points are saved
    // inflater states (tens of KiB each), spaced so the index stays under 4 % of the stream.
    // Whatever it cannot settle exactly as zlib would (damaged data, a member cut short, an
    // unusual header) sends the layer back to zlib from the first byte.
    bool fast_inflater = true;
};

// Counters for tests and the benchmark.
struct GzAccessStats {
    uint64_t inflated_bytes = 0;  // every byte inflated, forward pass and restarts together
    std::size_t access_points = 0;
    std::size_t index_bytes = 0;  // access points and their windows
    std::size_t cache_bytes = 0;  // spans held, cached or being filled
    bool fast_inflater = false;   // inflating with the fast inflater (not fallen back to zlib)
};

class GzRandomAccess {
public:
    // Opens `path` for raw reads; nothing is read yet. nullptr when the file cannot be opened
    // or memory is short.
    static std::unique_ptr<GzRandomAccess> open(const char *path,
                                                const GzAccessOptions &options = {}) noexcept;
    ~GzRandomAccess();
    GzRandomAccess(const GzRandomAccess &) = delete;
    GzRandomAccess &operator=(const GzRandomAccess &) = delete;

    // As gzseek64(file, offset, SEEK_SET): the new position, or -1 after an error.
    int64_t seek(int64_t offset) noexcept;
    // As gzread: bytes read (0 at the end of the stream), or -1 on a decompression or I/O error,
    // after which every seek and read fails.
    int read(void *buf, unsigned len) noexcept;

    GzAccessStats stats() const noexcept;

    // For a file that is still being written. A member cut short at the end of the file is
    // then taken for one whose writer has not pushed out the rest yet: the fast inflater waits
    // there for more instead of handing the file to zlib from its first byte. Either inflater
    // gives every byte of a member pushed out with a sync flush, but at another cut the fast one
    // may hold back the last few bytes zlib would give, until more input comes.
    void follow_growth() noexcept;
    // The next read past the end the layer has met looks at the file again, as zlib's stream
    // does after gzclearerr. The forward pass goes on from where it stopped, so only the new
    // bytes are inflated.
    void look_past_end() noexcept;
    // File offset of the first compressed byte the forward pass has not taken yet: every byte
    // before it has been read from the file.
    uint64_t input_taken() const noexcept;
    // The descriptor the layer reads the file through (it stays the layer's).
    int file_descriptor() const noexcept;
    // The file's first bytes were not gzip, so reads hand out its bytes as they are, as zlib's
    // do (gzdirect).
    bool reads_plain_bytes() const noexcept;

private:
    struct State;
    explicit GzRandomAccess(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

// Frees a GzRandomAccess passed as `void *`; the shape a handle's release hook calls.
void release_gz_random_access(void *state) noexcept;

}  // namespace tesra::read
