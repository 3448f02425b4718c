// Walking a data stream that may be damaged: see recover_scan.h.
#include "recover_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fmt/core.h>

#include "cli_common.h"

namespace tesra::cli {

namespace {

constexpr size_t kInputChunk = size_t{1} << 16;

}  // namespace

// ---- GzipInput -----------------------------------------------------------------------------

GzipInput::~GzipInput() {
    if (zs_ready_) inflateEnd(&zs_);
    if (file_ != nullptr) std::fclose(file_);
}

bool GzipInput::open(const std::string &path) {
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) return false;
    in_.resize(kInputChunk);
    // 16 + window bits: gzip members only, with their header and trailer checked.
    if (inflateInit2(&zs_, 16 + MAX_WBITS) != Z_OK) return false;
    zs_ready_ = true;
    return true;
}

bool GzipInput::refill() {
    if (zs_.avail_in > 0) return true;
    size_t n = std::fread(in_.data(), 1, in_.size(), file_);
    zs_.next_in = in_.data();
    zs_.avail_in = static_cast<uInt>(n);
    consumed_ += n;
    return n > 0;
}

void GzipInput::finish(End end, std::string detail) {
    end_ = end;
    detail_ = std::move(detail);
    if (end == End::kClean) return;
    // Whatever inflate has not used, and the rest of the file, gave no data.
    uint64_t rest = zs_.avail_in;
    while (true) {
        size_t n = std::fread(in_.data(), 1, in_.size(), file_);
        if (n == 0) break;
        rest += n;
    }
    zs_.avail_in = 0;
    unread_compressed_ = rest;
}

size_t GzipInput::read(std::span<uint8_t> out) {
    size_t done = 0;
    while (done < out.size() && end_ == End::kNone) {
        if (!in_member_) {
            if (!refill()) {
                finish(End::kClean, "");
                break;
            }
            // The magic may straddle two reads: keep the first byte and fetch more behind it.
            if (zs_.avail_in == 1) {
                in_[0] = *zs_.next_in;
                size_t n = std::fread(in_.data() + 1, 1, in_.size() - 1, file_);
                consumed_ += n;
                zs_.next_in = in_.data();
                zs_.avail_in = static_cast<uInt>(1 + n);
            }
            if (zs_.avail_in < 2 || zs_.next_in[0] != 0x1f || zs_.next_in[1] != 0x8b) {
                const bool first = consumed_ == zs_.avail_in;
                finish(End::kGarbage,
                       first ? "the data file does not begin with a gzip member" : "");
                if (!first) {
                    detail_ = fmt::format("{} bytes after the last gzip member are not gzip data",
                                          unread_compressed_);
                }
                break;
            }
            inflateReset(&zs_);
            in_member_ = true;
        }
        if (!refill()) {
            finish(End::kCut, "the gzip stream is cut short");
            break;
        }
        zs_.next_out = out.data() + done;
        zs_.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - done, 1u << 30));
        const uInt before = zs_.avail_out;
        int rc = inflate(&zs_, Z_NO_FLUSH);
        done += before - zs_.avail_out;
        if (rc == Z_STREAM_END) {
            in_member_ = false;
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            finish(End::kDamaged, fmt::format("the gzip data is damaged ({})",
                                              zs_.msg != nullptr ? zs_.msg : "inflate failed"));
        }
    }
    return done;
}

// ---- Preset --------------------------------------------------------------------------------

bool Preset::read(const std::string &base, std::string *error) {
    const std::string meta = base + ".meta";
    code_ = tesra_read_meta_preset(meta.c_str(), &header_);
    if (code_ == TESRA_FILE_NOT_FOUND) {
        *error = fmt::format("cannot open {}.meta", base);
        return false;
    }
    if (code_ != TESRA_SUCCESS) {
        header_ = nullptr;
        *error =
            fmt::format("the XML part of {}.meta does not read back: {}", base, error_label(code_));
        return false;
    }
    tesra_get_version(header_, &major_, &minor_);
    return true;
}

std::optional<StreamRules> Preset::rules(const std::string &base) const {
    StreamRules rules;
    rules.records = format::RecordRules::for_preset();
    tesra_system_def_t_v6_0 system{};
    if (tesra_get_system_info(header_, &system) != TESRA_SUCCESS) return std::nullopt;
    rules.base_time = system.base_time;
    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_first_object(header_, &object);
    while (rc == TESRA_SUCCESS && object != nullptr) {
        tesra_object_def_t def{};
        if (tesra_get_object_info(object, &def) != TESRA_SUCCESS) return std::nullopt;
        auto counters = object_counters(base, object);
        if (!counters) return std::nullopt;
        rules.records.add_object(def.obj_id);
        for (uint64_t period : object_periods(object)) {
            rules.records.add_period(def.obj_id, period, instance_size(*counters, period));
        }
        rules.names[def.obj_id] = def.name != nullptr ? def.name : "";
        rc = tesra_next_object(header_, &object);
    }
    if (rc != TESRA_SUCCESS) return std::nullopt;
    return rules;
}

// ---- the record walk -----------------------------------------------------------------------

namespace {

using format::StopReason;

// A gzip file as the scanner's source: read once, front to back.
class GzipSource final : public format::StreamSource {
public:
    bool open(const std::string &path) { return in_.open(path); }

    tesra_error_t read_at(uint64_t offset, std::span<std::byte> out, std::size_t *got) override {
        *got = 0;
        if (offset < position_) return TESRA_SEEK_FAILED;
        while (position_ < offset) {
            sink_.resize(kInputChunk);
            const size_t want =
                static_cast<size_t>(std::min<uint64_t>(sink_.size(), offset - position_));
            if (read(std::span(sink_).first(want)) == 0) return TESRA_SUCCESS;
        }
        *got = read(std::span(reinterpret_cast<uint8_t *>(out.data()), out.size()));
        return TESRA_SUCCESS;
    }

    // Reads the rest; the decompressed bytes of the whole readable data.
    uint64_t drain() {
        sink_.resize(kInputChunk);
        while (read(sink_) > 0) {
        }
        return position_;
    }

    const GzipInput &input() const { return in_; }

private:
    size_t read(std::span<uint8_t> out) {
        const size_t n = in_.read(out);
        position_ += n;
        return n;
    }

    GzipInput in_;
    uint64_t position_ = 0;
    std::vector<uint8_t> sink_;
};

bool is_record_cut(StopReason reason) {
    return reason == StopReason::kHeaderCut || reason == StopReason::kBodyCut;
}

std::string reason_text(const format::ScanStop &stop, const StreamRules &rules) {
    const format::RecordHeader &r = stop.record;
    auto name = [&] {
        auto it = rules.names.find(r.obj_id);
        return it == rules.names.end() ? std::string() : it->second;
    };
    switch (stop.reason) {
        case StopReason::kHeaderCut:
            return fmt::format("the stream ends inside a record header ({} of {} bytes)", stop.got,
                               format::kRecordHeaderSize);
        case StopReason::kBodyCut:
            return fmt::format("the stream ends inside a record body ({} of {} bytes)", stop.got,
                               r.size);
        case StopReason::kBodyTooLarge:
            return fmt::format(
                "the record header is damaged: a body of {} bytes is over the {}-byte limit",
                r.size, format::kMaxRecordBodySize);
        case StopReason::kOffsetTooLarge:
            return fmt::format(
                "the record header is damaged: a body of {} bytes would end beyond the largest "
                "stream offset",
                r.size);
        case StopReason::kReadFailed:
            return fmt::format("the data stream does not read: {}", error_label(stop.error));
        case StopReason::kUnknownPeriod:
            return fmt::format("the record header is damaged: period {} is not a sampling period",
                               r.period);
        case StopReason::kUnknownObject:
            return fmt::format("the record header is damaged: object id {} is not in the preset",
                               r.obj_id);
        case StopReason::kPeriodNotSampled:
            return fmt::format("the record header is damaged: object '{}' is not sampled every {}",
                               name(), period_name(r.period));
        case StopReason::kPartialInstance:
            return fmt::format(
                "the record does not match its object: {} bytes are not a whole number of "
                "{}-byte instances of '{}'",
                r.size, stop.instance_size, name());
        case StopReason::kBeforeStart:
            return fmt::format(
                "the record header is damaged: sample time {} lies before the archive's start "
                "{}",
                rules.base_time + r.msecs_since_base, rules.base_time + stop.start);
        case StopReason::kBeyondReach:
            return fmt::format(
                "the record header is damaged: sample time {} lies beyond any span an archive "
                "starting at {} can hold",
                rules.base_time + r.msecs_since_base, rules.base_time + stop.start);
        case StopReason::kRefused:
            return fmt::format("the writer refuses the record: {}", error_label(stop.error));
        case StopReason::kNone:
        case StopReason::kEnd:
            break;
    }
    return "";
}

}  // namespace

StreamScan scan_data_stream(const std::string &gz_path,
                            const StreamRules &rules,
                            const ScanOptions &options,
                            const RecordVisitor &visit) {
    StreamScan scan;
    GzipSource source;
    if (!source.open(gz_path)) return scan;
    scan.opened = true;

    format::RecordScanner scanner(source, rules.records, format::RecordScanner::Bodies::kRead);
    format::ScannedRecord r;
    bool chained_to_end = true;
    while (scanner.next(&r)) {
        if (!scan.stop) {
            if (r.breach != StopReason::kNone) {
                scan.stop = scanner.stop_at(r, r.breach);
            } else if (auto rc = visit(r, true); rc != TESRA_SUCCESS) {
                scan.stop = scanner.stop_at(r, StopReason::kRefused, rc);
            } else {
                scanner.take(r);
                ++scan.good_records;
            }
        }
        if (scan.stop) {
            if (!options.walk_past_stop) {
                chained_to_end = false;
                break;
            }
            visit(r, false);
        }
        if (options.progress) options.progress(source.input().compressed_done());
    }
    scan.end = scanner.end();
    scan.length = chained_to_end ? scan.end.offset : r.offset;

    // The rest of the readable stream, to say how much lies after the stop.
    const uint64_t total = source.drain();
    const GzipInput &in = source.input();
    if (in.end() != GzipInput::End::kClean) scan.gzip_end = in.end_detail();
    if (!scan.stop && chained_to_end &&
        (scan.end.reason != StopReason::kEnd || !scan.gzip_end.empty())) {
        scan.stop = scan.end;
    }
    if (scan.stop) {
        scan.bytes_after = total - std::min(total, scan.stop->offset);
        scan.unread_compressed = in.unread_compressed();
    }
    return scan;
}

std::string stop_line(const StreamScan &scan, const StreamRules &rules) {
    const format::ScanStop &stop = *scan.stop;
    std::string reason = reason_text(stop, rules);
    if (stop.reason == StopReason::kEnd) {
        reason = scan.gzip_end;
    } else if (!scan.gzip_end.empty() && is_record_cut(stop.reason) &&
               stop.offset == scan.end.offset) {
        // The record was cut where the gzip data ends; say why it ends there.
        reason += fmt::format(": {}", scan.gzip_end);
    }
    std::string when = stop.last_time
                           ? fmt::format("sample time {}", rules.base_time + *stop.last_time)
                           : std::string("no sample time");
    return fmt::format("data stops at offset {} ({}): {}", stop.offset, when, reason);
}

std::string stop_remainder(const StreamScan &scan) {
    const uint64_t after = scan.bytes_after;
    const uint64_t offset = scan.stop->offset;
    std::string text = fmt::format("{} decompressed byte{} from offset {} on {} not used", after,
                                   after == 1 ? "" : "s", offset, after == 1 ? "is" : "are");
    if (scan.unread_compressed > 0) {
        text += fmt::format(", nor {} compressed byte{} that give no data", scan.unread_compressed,
                            scan.unread_compressed == 1 ? "" : "s");
    }
    return text;
}

}  // namespace tesra::cli
