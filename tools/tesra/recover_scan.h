// Walking a data stream that may be damaged, for `tesra recover` and `tesra check`: the preset
// read from the XML part of the metadata file alone (the index section is never trusted), a
// gzip reader that tells a clean end from a cut member, damaged deflate data and trailing
// garbage, and a walk with the format's record scanner that finds the first place where the
// records stop making sense.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <zlib.h>

#include "tesra/tesra_common_defs.h"
#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_preset.h"

#include "format/record_scan.h"

namespace tesra::cli {

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
    uint64_t consumed_ = 0;  // compressed bytes handed to inflate so far
    End end_ = End::kNone;
    std::string detail_;
    uint64_t unread_compressed_ = 0;
};

// The rules records are judged by, and what the messages about them name.
struct StreamRules {
    format::RecordRules records;
    std::unordered_map<uint32_t, std::string> names;
    uint64_t base_time = 0;
};

// The preset of an archive's metadata file, read from its XML part alone: neither a missing or
// damaged index section nor the data stream matter.
class Preset {
public:
    Preset() = default;
    Preset(const Preset &) = delete;
    Preset &operator=(const Preset &) = delete;
    ~Preset() { tesra_free_meta_preset(header_); }

    // False with `*error` set when the metadata file is missing or its XML does not read; the
    // code is kept (code()).
    bool read(const std::string &base, std::string *error);

    tesra_header_handle_t *header() const { return header_; }
    tesra_error_t code() const { return code_; }
    uint32_t major() const { return major_; }
    uint32_t minor() const { return minor_; }
    // Object ids, periods and instance sizes of the preset; nullopt when a step fails.
    std::optional<StreamRules> rules(const std::string &base) const;

private:
    tesra_header_handle_t *header_ = nullptr;
    tesra_error_t code_ = TESRA_SUCCESS;
    uint32_t major_ = 0, minor_ = 0;
};

struct StreamScan {
    bool opened = false;
    uint64_t length = 0;  // decompressed bytes walked as whole records
    uint64_t good_records = 0;
    format::ScanStop end;                  // where the records could no longer be chained
    std::optional<format::ScanStop> stop;  // where the data stops, if before the end of the stream
    std::string gzip_end;                  // why the gzip data ends, when it does not end cleanly
    uint64_t bytes_after = 0;              // decompressed bytes from the stop to the end
    uint64_t unread_compressed = 0;        // compressed bytes that gave no data at all
};

// Called for every record that can be chained, body included; `good` is true while no record
// before it (and not the record itself) broke the rules. For a good record, a failing code (the
// writer's) refuses it: the data stops there.
using RecordVisitor = std::function<tesra_error_t(const format::ScannedRecord &record, bool good)>;

struct ScanOptions {
    // Keep walking records after the stop as long as they chain (check lists their problems).
    bool walk_past_stop = false;
    // Told the compressed bytes used so far after each record.
    std::function<void(uint64_t)> progress;
};

// Walks a data stream from offset 0, judging each record by `rules`; the first record that
// breaks them, or that the visitor refuses, is where the data stops.
StreamScan scan_data_stream(const std::string &gz_path,
                            const StreamRules &rules,
                            const ScanOptions &options,
                            const RecordVisitor &visit);

// "data stops at offset <n> (sample time <t>): <reason>", the line both commands print.
std::string stop_line(const StreamScan &scan, const StreamRules &rules);
// What the stop leaves behind: "<n> bytes after it not recovered ...".
std::string stop_remainder(const StreamScan &scan);

}  // namespace tesra::cli
