// Walking a data stream that may be damaged, for `tesra recover` and `tesra check`: the preset
// read from the XML part of the metadata file alone (the index section is never trusted), a
// gzip reader that tells a clean end from a cut member, damaged deflate data and trailing
// garbage, and a record walk that finds the first place where the records stop making sense.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <zlib.h>

#include "tesra/tesra_common_defs.h"
#include "tesra/tesra_ext_defs.h"

namespace tesra::cli {

inline constexpr uint32_t kStreamHeaderSize = 24;
inline constexpr uint32_t kStreamMaxBodySize = 0x200000;

// The decompressed bytes of a gzip file, member after member, read front to back. Unlike
// gzread it reports bytes after the last member that are not another member, and tells a
// member cut short from damaged deflate data.
class GzipInput {
public:
    enum class End { kNone, kClean, kCut, kDamaged, kGarbage };

    GzipInput() = default;
    GzipInput(const GzipInput &) = delete;
    GzipInput &operator=(const GzipInput &) = delete;
    ~GzipInput();

    // False when the file cannot be opened.
    bool open(const std::string &path);
    // Up to `out.size()` bytes; fewer only at the end of the readable data (see end()).
    size_t read(std::span<uint8_t> out);

    End end() const { return end_; }
    // Why the data ends, for kCut, kDamaged and kGarbage.
    const std::string &end_detail() const { return detail_; }
    // Compressed bytes after the readable data (garbage, or a damaged member's rest).
    uint64_t unread_compressed() const { return unread_compressed_; }
    // Compressed bytes inflated so far.
    uint64_t compressed_done() const { return consumed_ - zs_.avail_in; }

private:
    bool refill();
    void finish(End end, std::string detail);

    std::FILE *file_ = nullptr;
    z_stream zs_{};
    bool zs_ready_ = false;
    bool in_member_ = false;
    std::vector<uint8_t> in_;
    uint64_t file_size_ = 0;
    uint64_t consumed_ = 0;  // compressed bytes handed to inflate so far
    End end_ = End::kNone;
    std::string detail_;
    uint64_t unread_compressed_ = 0;
};

// What a record must agree with: for each object id, the instance size at each of its periods.
struct RecordRules {
    // False when the preset is unknown: records are then only held to the period table.
    bool has_preset = true;
    std::unordered_map<uint32_t, std::map<uint64_t, uint64_t>> instance_sizes;
    std::unordered_map<uint32_t, std::string> names;
    // The finest period with a time grid (0: none); it bounds how far the archive can reach.
    uint64_t finest_period = 0;
    uint64_t base_time = 0;
};

// The XML part of an archive's metadata file, opened through the reader on its own: copied
// beside an empty data stream under the name of an archive still being written, so that the
// reader neither looks for the index section nor walks the damaged data stream.
class XmlPart {
public:
    XmlPart() = default;
    XmlPart(const XmlPart &) = delete;
    XmlPart &operator=(const XmlPart &) = delete;
    ~XmlPart();

    // False with `*error` set when the metadata file is missing or its XML does not parse.
    bool open(const std::string &base, std::string *error);

    tesra_file_handle_t *file() const { return file_; }
    tesra_header_handle_t *header() const { return header_; }
    uint32_t major() const { return major_; }
    uint32_t minor() const { return minor_; }
    // Object ids, periods and instance sizes of the preset; nullopt when a step fails.
    std::optional<RecordRules> rules() const;

private:
    std::string dir_;
    std::string base_;
    tesra_file_handle_t *file_ = nullptr;
    tesra_header_handle_t *header_ = nullptr;
    uint32_t major_ = 0, minor_ = 0;
};

struct ScannedRecord {
    uint64_t offset = 0;
    uint64_t time = 0;  // relative to the base time
    uint32_t size = 0;
    uint32_t obj_id = 0;
    uint64_t period = 0;
};

// Where the usable records of a data stream end, if before the end of the stream.
struct StreamStop {
    uint64_t offset = 0;                // decompressed offset of the first byte not used
    std::optional<uint64_t> last_time;  // absolute time of the last whole record before it
    std::string reason;
    uint64_t bytes_after = 0;        // decompressed bytes from `offset` to the end
    uint64_t unread_compressed = 0;  // compressed bytes that gave no data at all
};

// How a walk ended where the records could no longer be chained (record header cut short, a
// body over the size limit or cut short, the gzip data ending or damaged); check prints these.
struct ChainBreak {
    enum class Kind { kNone, kHeaderCut, kBodyTooLarge, kBodyCut, kGzip } kind = Kind::kNone;
    uint64_t offset = 0;
    uint64_t got = 0;
    uint64_t want = 0;
    std::string detail;
};

struct StreamScan {
    bool opened = false;
    uint64_t length = 0;  // decompressed bytes walked as whole records
    uint64_t good_records = 0;
    std::optional<StreamStop> stop;
    ChainBreak chain_break;
};

// Called for every record that can be chained; `good` is true while no record before it (and
// not the record itself) broke the rules. `body` is only filled when asked for. For a good
// record, a non-empty answer refuses it: the data stops there, for the reason given.
using RecordVisitor = std::function<std::string(
    const ScannedRecord &record, std::span<const uint8_t> body, bool good)>;

struct ScanOptions {
    bool want_bodies = false;
    // Keep walking records after the stop as long as they chain (check lists their problems).
    bool walk_past_stop = false;
    // Told the compressed bytes used so far after each record.
    std::function<void(uint64_t)> progress;
};

// Walks a data stream from offset 0, checking each record against `rules`; the first record
// that breaks them, or that the visitor refuses, is where the data stops.
StreamScan scan_data_stream(const std::string &gz_path,
                            const RecordRules &rules,
                            const ScanOptions &options,
                            const RecordVisitor &visit);

// "data stops at offset <n> (sample time <t>): <reason>", the line both commands print.
std::string stop_line(const StreamStop &stop);
// What the stop leaves behind: "<n> bytes after it not recovered ...".
std::string stop_remainder(const StreamStop &stop);

}  // namespace tesra::cli
