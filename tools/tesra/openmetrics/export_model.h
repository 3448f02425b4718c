// What an export collects before it writes: metric families with their samples spooled to
// private temporary files, and the label sets of the instances they belong to. Samples reach a
// family in time order (one walk per archive, archives by start time); writing then takes one
// family after another, so all lines of a family stand together while memory stays flat in the
// size of the archives.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tesra::cli::om {

enum class FamilyKind { kGauge, kCounter, kInfo };

// Buffers the export touches over and over come from regions of this size, aligned and marked
// so that the kernel may back each with one huge page: their first touch is then one page fault,
// not hundreds (costly under virtualisation). Unmapped with munmap(region, kHugeRegionBytes).
constexpr size_t kHugeRegionBytes = size_t{2} << 20;
// A new region, or null when none can be mapped.
char *map_huge_region();

// A private temporary directory, removed with everything in it when the object goes away, and
// also when the process is ended by SIGINT, SIGTERM or SIGHUP while it exists (the first one
// made in a process; one export makes one).
class SpoolDir {
public:
    SpoolDir() = default;
    SpoolDir(const SpoolDir &) = delete;
    SpoolDir &operator=(const SpoolDir &) = delete;
    ~SpoolDir();

    // Makes "tesra-export-XXXXXX" in `parent`; false (errno set) when it cannot.
    bool create(const std::string &parent);
    const std::string &path() const { return path_; }
    std::string file(size_t index) const;

private:
    // A spool buffer carved from a huge-page region: a hundred families' buffers are then a few
    // page faults. Null when `bytes` is more than a region's share or no region can be mapped;
    // buffers live as long as the directory.
    char *take_buffer(size_t bytes);

    std::string path_;
    size_t files_ = 0;
    bool armed_ = false;  // this directory is the one a fatal signal removes
    std::vector<void *> regions_;
    char *next_ = nullptr;
    char *end_ = nullptr;
    friend class Spool;
};

// The spooled samples of one family: an append-only file, written through a memory buffer
// and read back once, in the order written. Appending is inline: it runs for every sample.
//   time marker:   u32 0xFFFFFFFF, u32 0, u64 absolute ms
//   numeric entry: u32 instance, u32 n, n x u64 values
//   info entry:    u32 instance, u32 element, u32 length, `length` bytes
class Spool {
public:
    static constexpr uint32_t kTimeMarker = 0xFFFFFFFFu;

    Spool() = default;
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;
    ~Spool();

    // `keep_open`: hold the file open between flushes (the caller bounds how many do).
    void attach(SpoolDir &dir, size_t buffer_bytes, bool keep_open);
    // Appends a time marker when `time` differs from the last one written.
    bool mark_time(uint64_t time) {
        if (has_time_ && time == time_) return true;
        has_time_ = true;
        time_ = time;
        char *p = room(16);
        if (p == nullptr) return false;
        store_u32(p, kTimeMarker);
        store_u32(p + 4, 0);
        std::memcpy(p + 8, &time, 8);
        return true;
    }
    // `values`: n unsigned 8-byte integers in host order, as bytes.
    bool put_numbers(uint32_t instance, const void *values, uint32_t n) {
        char *p = room(8 + size_t{8} * n);
        if (p == nullptr) return false;
        store_u32(p, instance);
        store_u32(p + 4, n);
        if (n != 0) std::memcpy(p + 8, values, size_t{8} * n);
        return true;
    }
    bool put_text(uint32_t instance, uint32_t element, std::string_view text);
    // Writes out what is buffered; false (errno set) on a failing write.
    bool flush();
    bool failed() const { return failed_; }
    const std::string &path() const { return path_; }

private:
    static void store_u32(char *p, uint32_t v) { std::memcpy(p, &v, 4); }
    // `n` bytes at the end of the buffer for the caller to fill, written out first when they
    // do not fit; null when that write failed.
    char *room(size_t n) {
        if (capacity_ - used_ < n) return make_room(n);
        char *p = buffer_ + used_;
        used_ += n;
        return p;
    }
    char *make_room(size_t n);

    SpoolDir *dir_ = nullptr;
    std::string path_;
    char *buffer_ = nullptr;       // taken at the first entry: a family may get none
    std::unique_ptr<char[]> own_;  // the buffer, where an entry is too large for the usual one
    size_t capacity_ = 0;
    size_t used_ = 0;
    size_t limit_ = 0;
    int fd_ = -1;
    bool keep_open_ = false;
    bool has_time_ = false;
    bool failed_ = false;
    uint64_t time_ = 0;
};

struct Family {
    std::string object;
    std::string counter;
    std::string name;         // the family's name in its metadata lines
    std::string sample_name;  // its samples' name: with "_total" for counters, "_info" for info
    FamilyKind kind = FamilyKind::kGauge;
    std::string help;
    std::string unit;
    // Per value index: the array labels (",x=\"...\"" and ",y=\"...\""), empty for a scalar.
    std::vector<std::string> element_labels;

    Spool spool;
    uint64_t samples = 0;
    uint64_t series = 0;
    uint64_t overlapping = 0;  // samples left out: not after the series' previous one
    // Per node: the newest time spooled and the archive it came from (UINT32_MAX: none yet).
    std::vector<std::pair<uint64_t, uint32_t>> newest;
    std::vector<uint32_t> instance_values;                // per instance, the most values seen
    std::unordered_map<uint64_t, std::string> last_text;  // info: (instance, element) -> value
    std::unordered_set<std::string> info_series;          // info: (instance, element, value)
};

// Labels of one family's element: "x" (and "y") named by the counter's labels, or the index.
std::vector<std::string> element_label_table(const std::vector<std::string> &x_names,
                                             const std::vector<std::string> &y_names);

// Every instance met: its label text (key labels, then the node's) and its node.
struct Instances {
    std::vector<std::string> labels;
    std::vector<uint32_t> node;
    std::unordered_map<std::string, uint32_t> index;

    uint32_t find_or_add(const std::string &label_text, uint32_t node_index);
};

}  // namespace tesra::cli::om
