// Spooled families as OpenMetrics or Prometheus text.
#include "openmetrics/export_text.h"

#include <sys/mman.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "openmetrics/metric_text.h"

namespace tesra::cli::om {
namespace {

// Text chunks and spool reads: large enough that calls are few, small enough that their pages,
// which a first touch makes costly, are few as well.
constexpr size_t kChunkBytes = 256 << 10;
constexpr size_t kReadBytes = 256 << 10;

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};

std::string_view type_word(FamilyKind kind) {
    switch (kind) {
        case FamilyKind::kCounter:
            return "counter";
        case FamilyKind::kInfo:
            return "info";
        default:
            return "gauge";
    }
}

void append_metadata(std::string &out, const Family &family) {
    out += "# TYPE ";
    out += family.name;
    out += ' ';
    out += type_word(family.kind);
    out += '\n';
    if (!family.help.empty()) {
        out += "# HELP ";
        out += family.name;
        out += ' ';
        append_help(out, family.help, true);
        out += '\n';
    }
    if (!family.unit.empty()) {
        out += "# UNIT ";
        out += family.name;
        out += ' ';
        out += family.unit;
        out += '\n';
    }
}

// Reads the spool back entry by entry, through a buffer of its own: entries are small, and a
// stream call for each costs more than the formatting.
class SpoolReader {
public:
    SpoolReader(const std::string &path, std::vector<char> &buffer)
        : file_(std::fopen(path.c_str(), "rb")), buffer_(buffer) {
        if (buffer_.size() < kReadBytes) buffer_.resize(kReadBytes);
    }
    bool opened() const { return file_ != nullptr; }
    // The next `n` bytes, valid until the next call; null when fewer are left.
    const char *take(size_t n) {
        if (end_ - pos_ < n && !refill(n)) return nullptr;
        const char *p = buffer_.data() + pos_;
        pos_ += n;
        return p;
    }
    // True at a clean end: nothing left, no read error.
    bool at_end() {
        return pos_ == end_ && std::feof(file_.get()) != 0 && !std::ferror(file_.get());
    }

private:
    bool refill(size_t n) {
        std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
        if (buffer_.size() < n) buffer_.resize(n);
        end_ += std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_.get());
        return end_ >= n;
    }

    std::unique_ptr<std::FILE, FileCloser> file_;
    std::vector<char> &buffer_;
    size_t pos_ = 0;
    size_t end_ = 0;
};

constexpr size_t kSlack = 16 << 10;
constexpr size_t kBlockBytes = kChunkBytes + kSlack;

// Text handed to the sink in chunks of about kChunkBytes: lines are written straight into the
// block, which always has room for a line of the usual kinds; a longer one grows it.
class TextChunk {
public:
    explicit TextChunk(TextBlock &block) : block_(block) {
        if (block_.capacity < kBlockBytes) grow(kBlockBytes);
    }
    // Room for `n` more bytes; the caller writes them and moves the end on with advance().
    char *room(size_t n) {
        if (block_.capacity - used_ < n) grow(used_ + n);
        return block_.data + used_;
    }
    void advance(char *end) { used_ = static_cast<size_t>(end - block_.data); }
    void append(std::string_view text) {
        char *p = room(text.size());
        std::memcpy(p, text.data(), text.size());
        advance(p + text.size());
    }
    void line_done() { ++samples_; }
    bool full() const { return used_ >= kChunkBytes; }
    bool hand_on(TextOut &out) {
        const bool ok = out.write_block(block_, used_, samples_);
        used_ = 0;
        samples_ = 0;
        if (block_.capacity < kBlockBytes) grow(kBlockBytes);
        return ok;
    }

private:
    void grow(size_t need) {
        TextBlock bigger;
        bigger.capacity = std::max({need, kBlockBytes, 2 * block_.capacity});
        bigger.own = std::make_unique_for_overwrite<char[]>(bigger.capacity);
        bigger.data = bigger.own.get();
        if (used_ != 0) std::memcpy(bigger.data, block_.data, used_);
        std::swap(block_.data, bigger.data);
        std::swap(block_.capacity, bigger.capacity);
        std::swap(block_.own, bigger.own);
        // A block of a pool goes away unused here; the pool still owns its memory.
    }

    TextBlock &block_;
    size_t used_ = 0;
    uint64_t samples_ = 0;
};

}  // namespace

bool write_family(const Family &family,
                  const Instances &instances,
                  TextStyle style,
                  TextOut &out,
                  std::string &error) {
    // Kept from family to family: fresh megabyte buffers for each would cost page faults.
    static thread_local TextBlock text_block;
    static thread_local std::vector<char> read_buffer;
    TextChunk text(text_block);
    if (style == TextStyle::kOpenMetrics) {
        std::string meta;
        append_metadata(meta, family);
        text.append(meta);
    }
    if (family.samples == 0) return text.hand_on(out);

    SpoolReader spool(family.spool.path(), read_buffer);
    if (!spool.opened()) {
        error = "cannot open the spool file " + family.spool.path();
        return false;
    }
    std::string stamp;  // " <time>\n" of the current time marker
    char stamp_bytes[32] = {};
    std::string value_text, escaped;
    // Everything of a line before its value, per instance and element, built on first use:
    // a line is then one copy, the value's digits and the time.
    const std::string_view opening = family.kind == FamilyKind::kInfo ? ",value=\"" : "} ";
    std::vector<std::vector<std::string>> prefixes(instances.labels.size());
    auto prefix = [&](uint32_t instance, size_t element) -> const std::string & {
        auto &row = prefixes[instance];
        if (element >= row.size()) row.resize(element + 1);
        std::string &p = row[element];
        if (!p.empty()) return p;
        p += family.sample_name;
        p += '{';
        p += instances.labels[instance];
        if (element < family.element_labels.size()) {
            p += family.element_labels[element];
        } else if (element > 0 || !family.element_labels.empty()) {
            p += ",x=\"";
            append_uint(p, element);
            p += '"';
        }
        p += opening;
        return p;
    };
    auto u32_at = [](const char *p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    while (true) {
        const char *head = spool.take(8);
        if (head == nullptr) {
            if (spool.at_end()) break;
            error = "cannot read the spool file " + family.spool.path();
            return false;
        }
        const uint32_t instance = u32_at(head);
        const uint32_t second = u32_at(head + 4);
        bool ok = true;
        if (instance == Spool::kTimeMarker) {
            const char *p = spool.take(8);
            ok = p != nullptr;
            uint64_t time = 0;
            if (ok) std::memcpy(&time, p, 8);
            stamp.assign(1, ' ');
            if (style == TextStyle::kOpenMetrics) {
                append_seconds(stamp, time);
            } else {
                append_uint(stamp, time);
            }
            stamp += '\n';
            // Padded, so that a line copies it at a fixed size.
            std::memcpy(stamp_bytes, stamp.data(), std::min(stamp.size(), sizeof stamp_bytes));
        } else if (instance >= instances.labels.size()) {
            ok = false;
        } else if (family.kind == FamilyKind::kInfo) {
            const char *p = spool.take(4);
            const uint32_t length = p != nullptr ? u32_at(p) : UINT32_MAX;
            ok = length <= (1u << 24);
            if (ok) {
                p = length == 0 ? "" : spool.take(length);
                ok = p != nullptr;
                if (ok) value_text.assign(p, length);
            }
            if (ok) {
                text.append(prefix(instance, second));
                escaped.clear();
                append_label_value(escaped, value_text);
                escaped += "\"} 1";
                escaped += stamp;
                text.append(escaped);
                text.line_done();
            }
        } else {
            const uint32_t n = second;
            const char *values = n <= (1u << 20) ? spool.take(size_t{8} * n) : nullptr;
            ok = values != nullptr || n == 0;
            for (uint32_t k = 0; ok && k < n; ++k) {
                uint64_t value;
                std::memcpy(&value, values + size_t{8} * k, 8);
                const std::string &before = prefix(instance, k);
                char *p = text.room(before.size() + kUintRoom + sizeof stamp_bytes);
                std::memcpy(p, before.data(), before.size());
                p = write_uint(p + before.size(), value);
                std::memcpy(p, stamp_bytes, sizeof stamp_bytes);
                text.advance(p + stamp.size());
                text.line_done();
                // A large array is many lines: hand them on as they fill a chunk.
                if (text.full() && !text.hand_on(out)) return false;
            }
        }
        if (!ok) {
            error = "damaged spool file " + family.spool.path();
            return false;
        }
        if (text.full() && !text.hand_on(out)) return false;
    }
    return text.hand_on(out);
}

namespace {

// Text blocks for the formatting threads, carved from huge-page regions, so that their pages
// cost a few faults. Blocks go back to the pool once written; regions stay mapped until the
// pool goes away.
class BlockPool {
public:
    BlockPool() = default;
    BlockPool(const BlockPool &) = delete;
    BlockPool &operator=(const BlockPool &) = delete;
    ~BlockPool() {
        for (void *region : regions_) ::munmap(region, kHugeRegionBytes);
    }
    // A block of kBlockBytes; one of its own (heap) when no region can be mapped.
    TextBlock take() {
        TextBlock block;
        block.capacity = kBlockBytes;
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            block.data = free_.back();
            free_.pop_back();
        } else if (has_room()) {
            block.data = next_;
            next_ += kBlockBytes;
        } else {
            block.own = std::make_unique_for_overwrite<char[]>(kBlockBytes);
            block.data = block.own.get();
        }
        return block;
    }
    void give(TextBlock &&block) {
        if (block.own != nullptr || block.data == nullptr) return;  // not the pool's
        std::lock_guard lock(mutex_);
        free_.push_back(block.data);
    }

private:
    bool has_room() {
        if (static_cast<size_t>(end_ - next_) >= kBlockBytes) return true;
        char *region = map_huge_region();
        if (region == nullptr) return false;
        regions_.push_back(region);
        next_ = region;
        end_ = region + kHugeRegionBytes;
        return true;
    }

    std::mutex mutex_;
    std::vector<void *> regions_;
    std::vector<char *> free_;
    char *next_ = nullptr;
    char *end_ = nullptr;
};

// What a formatting thread hands to the writing one: a text block, the end of a family, or a
// failure (with its reason; none when the sink failed).
struct Chunk {
    enum class Kind { kText, kFamilyEnd, kFailed };
    Kind kind = Kind::kText;
    TextBlock block;
    size_t size = 0;
    uint64_t samples = 0;
    std::string error;
};

// A bounded queue of chunks from one formatting thread to the writing one. Blocks move through
// it whole and go back to the pool once written. Cancelling wakes the formatting side for good.
class ChunkQueue : public TextOut {
public:
    static constexpr size_t kDepth = 2;

    explicit ChunkQueue(BlockPool &pool) : pool_(pool) {}

    // Formatting side: waits while the queue is full; false once cancelled.
    bool write(std::string_view text, uint64_t samples) override {
        TextBlock block = pool_.take();
        if (block.capacity < text.size()) {
            block.own = std::make_unique_for_overwrite<char[]>(text.size());
            block.data = block.own.get();
            block.capacity = text.size();
        }
        std::memcpy(block.data, text.data(), text.size());
        return write_block(block, text.size(), samples);
    }
    bool write_block(TextBlock &block, size_t size, uint64_t samples) override {
        Chunk c;
        c.block = std::move(block);
        c.size = size;
        c.samples = samples;
        block = pool_.take();
        return put(std::move(c));
    }
    bool put(Chunk c) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return cancelled_ || queue_.size() < kDepth; });
        if (cancelled_) return false;
        queue_.push_back(std::move(c));
        ready_.notify_one();
        return true;
    }
    // Writing side: waits for the next chunk.
    Chunk get() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !queue_.empty(); });
        Chunk c = std::move(queue_.front());
        queue_.pop_front();
        room_.notify_one();
        return c;
    }
    void cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        room_.notify_all();
    }

private:
    BlockPool &pool_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<Chunk> queue_;
    bool cancelled_ = false;
};

}  // namespace

bool write_families(const std::vector<const Family *> &families,
                    const Instances &instances,
                    TextStyle style,
                    TextOut &out,
                    std::string &error,
                    unsigned threads) {
    threads = static_cast<unsigned>(std::min<size_t>(threads, families.size()));
    auto one_by_one = [&] {
        for (const Family *f : families) {
            if (!write_family(*f, instances, style, out, error)) return false;
        }
        return true;
    };
    if (threads <= 1) return one_by_one();
    // Thread k formats families k, k + threads, ... into its own queue; this thread takes the
    // queues in turn, so the text comes out in family order while memory holds a few chunks.
    // Nothing is shared but the read-only families and instances, and the queues.
    BlockPool pool;
    std::vector<std::unique_ptr<ChunkQueue>> queues;
    for (unsigned k = 0; k < threads; ++k) queues.push_back(std::make_unique<ChunkQueue>(pool));
    auto format = [&](unsigned k) {
        ChunkQueue &q = *queues[k];
        for (size_t i = k; i < families.size(); i += threads) {
            Chunk end;
            end.kind = Chunk::Kind::kFamilyEnd;
            try {
                if (!write_family(*families[i], instances, style, q, end.error)) {
                    end.kind = Chunk::Kind::kFailed;
                }
            } catch (const std::exception &e) {
                end.kind = Chunk::Kind::kFailed;
                end.error = e.what();
            }
            const bool failed = end.kind == Chunk::Kind::kFailed;
            // Refused once cancelled: nobody waits for the rest then.
            if (!q.put(std::move(end)) || failed) return;
        }
    };
    std::vector<std::thread> workers;
    auto stop = [&] {
        for (auto &q : queues) q->cancel();
        for (auto &w : workers) {
            if (w.joinable()) w.join();
        }
    };
    // Joins on every way out, an exception on the writing side included: a thread still
    // joinable when its destructor runs ends the process.
    struct StopOnExit {
        decltype(stop) &run;
        ~StopOnExit() { run(); }
    } stop_on_exit{stop};
    try {
        for (unsigned k = 0; k < threads; ++k) workers.emplace_back(format, k);
    } catch (const std::system_error &) {
        stop();  // nothing is written yet: the calling thread does it all
        return one_by_one();
    }
    bool ok = true;
    for (size_t i = 0; ok && i < families.size(); ++i) {
        ChunkQueue &q = *queues[i % threads];
        while (ok) {
            Chunk c = q.get();
            if (c.kind == Chunk::Kind::kFamilyEnd) break;
            if (c.kind == Chunk::Kind::kFailed) {
                error = std::move(c.error);
                ok = false;
                break;
            }
            ok = out.write({c.block.data, c.size}, c.samples);
            pool.give(std::move(c.block));
        }
    }
    stop();
    return ok;
}

}  // namespace tesra::cli::om
