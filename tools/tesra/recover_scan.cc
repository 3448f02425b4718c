// Walking a data stream that may be damaged: see recover_scan.h.
#include "recover_scan.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fmt/core.h>
#include <fstream>
#include <iterator>

#include "cli_common.h"

namespace tesra::cli {

namespace {

constexpr uint64_t kMaxSlots = uint64_t{1} << 20;
constexpr size_t kInputChunk = size_t{1} << 16;
// A name the reader takes for an archive still being written: it rebuilds the index from the
// (empty) data stream instead of reading an index section.
constexpr const char *kHeaderOnlyName = "1_0_0000000000000_0000000.xml-part";

uint64_t le(const uint8_t *p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

bool is_once(uint64_t period) {
    return period == TESRA_ONCE_PER_ARCHIVE_PERIOD;
}

uint64_t aligned(uint64_t time, uint64_t period) {
    return is_once(period) || period == 0 ? time : time - time % period;
}

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

// ---- XmlPart -------------------------------------------------------------------------------

XmlPart::~XmlPart() {
    if (file_ != nullptr) tesra_close_data_file(file_);
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

bool XmlPart::open(const std::string &base, std::string *error) {
    std::ifstream in(base + ".meta", std::ios::binary);
    if (!in) {
        *error = fmt::format("cannot open {}.meta", base);
        return false;
    }
    std::vector<char> meta((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The XML document ends at the first 0x00 byte; the index section after it is not used.
    auto zero = std::find(meta.begin(), meta.end(), '\0');
    meta.erase(zero, meta.end());
    meta.push_back('\0');

    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = fmt::format("{}/tesra-xml-XXXXXX", tmp != nullptr && *tmp ? tmp : "/tmp");
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        *error = fmt::format("cannot make a temporary directory under {}", pattern);
        return false;
    }
    dir_ = name.data();
    base_ = fmt::format("{}/{}", dir_, kHeaderOnlyName);
    {
        std::ofstream out(base_ + ".meta", std::ios::binary);
        out.write(meta.data(), static_cast<std::streamsize>(meta.size()));
        if (!out) {
            *error = fmt::format("cannot write {}.meta", base_);
            return false;
        }
    }
    gzFile empty = gzopen((base_ + ".gz").c_str(), "wb");
    if (empty == nullptr || gzclose(empty) != Z_OK) {
        *error = fmt::format("cannot write {}.gz", base_);
        return false;
    }

    const char *meta_path = nullptr;
    const char *data_path = nullptr;
    tesra_error_t rc = tesra_open_data_file(base_.c_str(), "r", &file_, &meta_path, &data_path);
    if (rc != TESRA_SUCCESS) {
        file_ = nullptr;
        *error =
            fmt::format("the XML part of {}.meta does not read back: {}", base, error_label(rc));
        return false;
    }
    tesra_file_def_t info{};
    if (rc = tesra_get_file_info(file_, &info); rc == TESRA_SUCCESS) {
        rc = tesra_get_header(file_, &header_);
    }
    if (rc != TESRA_SUCCESS || header_ == nullptr) {
        *error = fmt::format("reading the header of {}.meta failed: {}", base,
                             error_label(rc == TESRA_SUCCESS ? TESRA_NULL_POINTER : rc));
        return false;
    }
    major_ = info.major_v;
    minor_ = info.minor_v;
    return true;
}

std::optional<RecordRules> XmlPart::rules() const {
    RecordRules rules;
    tesra_system_def_t_v6_0 system{};
    if (tesra_get_system_info(header_, &system) != TESRA_SUCCESS) return std::nullopt;
    rules.base_time = system.base_time;
    tesra_object_handle_t *object = nullptr;
    tesra_error_t rc = tesra_first_object(header_, &object);
    while (rc == TESRA_SUCCESS && object != nullptr) {
        tesra_object_def_t def{};
        if (tesra_get_object_info(object, &def) != TESRA_SUCCESS) return std::nullopt;
        auto counters = object_counters(base_, object);
        if (!counters) return std::nullopt;
        auto &sizes = rules.instance_sizes[def.obj_id];
        for (uint64_t period : object_periods(object)) {
            sizes[period] = instance_size(*counters, period);
            if (!is_once(period) && (rules.finest_period == 0 || period < rules.finest_period)) {
                rules.finest_period = period;
            }
        }
        rules.names[def.obj_id] = def.name != nullptr ? def.name : "";
        rc = tesra_next_object(header_, &object);
    }
    if (rc != TESRA_SUCCESS) return std::nullopt;
    return rules;
}

// ---- the record walk -----------------------------------------------------------------------

namespace {

// Why a record cannot be one the writer wrote for this preset; empty when it can.
class RecordJudge {
public:
    explicit RecordJudge(const RecordRules &rules) : rules_(rules) {}

    std::string breach(const ScannedRecord &r) const {
        if (!is_table_period(r.period)) {
            return fmt::format("the record header is damaged: period {} is not a sampling period",
                               r.period);
        }
        if (!rules_.has_preset) return "";
        auto object = rules_.instance_sizes.find(r.obj_id);
        if (object == rules_.instance_sizes.end()) {
            return fmt::format("the record header is damaged: object id {} is not in the preset",
                               r.obj_id);
        }
        const std::string &name = rules_.names.at(r.obj_id);
        auto size = object->second.find(r.period);
        if (size == object->second.end()) {
            return fmt::format("the record header is damaged: object '{}' is not sampled every {}",
                               name, period_name(r.period));
        }
        if (size->second == 0 || r.size % size->second != 0) {
            return fmt::format(
                "the record does not match its object: {} bytes are not a whole number of "
                "{}-byte instances of '{}'",
                r.size, size->second, name);
        }
        return time_breach(r);
    }

    // The first good record fixes the archive's start, as it does for the writer.
    void accept(const ScannedRecord &r) {
        if (!has_start_) start_ = aligned(r.time, r.period);
        has_start_ = true;
    }

private:
    // The writer indexes no record before the start's slot, nor so far after it that a slot
    // table would outgrow its bound; a header whose time does so was not written as it reads.
    std::string time_breach(const ScannedRecord &r) const {
        if (!has_start_) return "";
        const uint64_t s = start_;
        const uint64_t p = r.period;
        const uint64_t t = aligned(r.time, p);
        if (t < s && t < s - s % p) {
            return fmt::format(
                "the record header is damaged: sample time {} lies before the archive's start "
                "{}",
                rules_.base_time + r.time, rules_.base_time + s);
        }
        const bool beyond_own = !is_once(p) && t >= s && t / p - s / p >= kMaxSlots;
        const uint64_t f = rules_.finest_period;
        const bool beyond_finest = f != 0 && t > s && t / f - s / f + 1 > kMaxSlots;
        if (beyond_own || beyond_finest) {
            return fmt::format(
                "the record header is damaged: sample time {} lies beyond any span an archive "
                "starting at {} can hold",
                rules_.base_time + r.time, rules_.base_time + s);
        }
        return "";
    }

    const RecordRules &rules_;
    bool has_start_ = false;
    uint64_t start_ = 0;
};

}  // namespace

StreamScan scan_data_stream(const std::string &gz_path,
                            const RecordRules &rules,
                            const ScanOptions &options,
                            const RecordVisitor &visit) {
    StreamScan scan;
    GzipInput in;
    if (!in.open(gz_path)) return scan;
    scan.opened = true;

    RecordJudge judge(rules);
    uint64_t total = 0;  // decompressed bytes read
    auto read = [&](std::span<uint8_t> out) {
        size_t got = in.read(out);
        total += got;
        return got;
    };
    std::optional<uint64_t> last_time;
    auto stop_at = [&](uint64_t offset, std::string reason) {
        if (!scan.stop) scan.stop = StreamStop{offset, last_time, std::move(reason)};
    };

    uint64_t offset = 0;
    std::vector<uint8_t> body;
    std::array<uint8_t, kStreamHeaderSize> head{};
    while (true) {
        size_t got = read(head);
        if (got == 0) break;
        if (got < head.size()) {
            scan.chain_break = {ChainBreak::Kind::kHeaderCut, offset, got, head.size(), ""};
            stop_at(offset, fmt::format("the stream ends inside a record header ({} of {} bytes)",
                                        got, head.size()));
            break;
        }
        ScannedRecord r;
        r.offset = offset;
        r.time = le(head.data(), 8);
        r.size = static_cast<uint32_t>(le(head.data() + 8, 4));
        r.obj_id = static_cast<uint32_t>(le(head.data() + 12, 4));
        r.period = le(head.data() + 16, 8);
        // Bounded before anything is allocated for the body.
        if (r.size > kStreamMaxBodySize) {
            scan.chain_break = {ChainBreak::Kind::kBodyTooLarge, offset, 0, r.size, ""};
            stop_at(offset,
                    fmt::format("the record header is damaged: a body of {} bytes is over the "
                                "{}-byte limit",
                                r.size, kStreamMaxBodySize));
            break;
        }
        body.resize(r.size);
        got = read(body);
        if (got < r.size) {
            scan.chain_break = {ChainBreak::Kind::kBodyCut, offset, got, r.size, ""};
            stop_at(offset, fmt::format("the stream ends inside a record body ({} of {} bytes)",
                                        got, r.size));
            break;
        }
        const bool good = !scan.stop;
        if (good) {
            std::string refusal = judge.breach(r);
            if (refusal.empty()) {
                refusal = visit(r,
                                options.want_bodies ? std::span<const uint8_t>(body)
                                                    : std::span<const uint8_t>(),
                                true);
            }
            if (refusal.empty()) {
                judge.accept(r);
                ++scan.good_records;
                last_time = rules.base_time + r.time;
            } else {
                stop_at(offset, std::move(refusal));
            }
        }
        if (scan.stop) {
            if (!options.walk_past_stop) break;
            visit(r,
                  options.want_bodies ? std::span<const uint8_t>(body) : std::span<const uint8_t>(),
                  false);
        }
        offset += kStreamHeaderSize + uint64_t{r.size};
        if (options.progress) options.progress(in.compressed_done());
    }
    scan.length = offset;

    // The rest of the readable stream, to say how much lies after the stop.
    std::vector<uint8_t> sink(kInputChunk);
    while (read(sink) > 0) {
    }
    if (in.end() != GzipInput::End::kClean) {
        const bool record_cut = scan.chain_break.kind == ChainBreak::Kind::kHeaderCut ||
                                scan.chain_break.kind == ChainBreak::Kind::kBodyCut;
        if (scan.chain_break.kind == ChainBreak::Kind::kNone && scan.length == total) {
            scan.chain_break = {ChainBreak::Kind::kGzip, offset, 0, 0, in.end_detail()};
        } else {
            scan.chain_break.detail = in.end_detail();
        }
        if (!scan.stop) {
            stop_at(offset, in.end_detail());
        } else if (record_cut && scan.stop->offset == scan.chain_break.offset) {
            // The record was cut where the gzip data ends; say why it ends there.
            scan.stop->reason += fmt::format(": {}", in.end_detail());
        }
    }
    if (scan.stop) {
        scan.stop->bytes_after = total - std::min(total, scan.stop->offset);
        scan.stop->unread_compressed = in.unread_compressed();
    }
    return scan;
}

std::string stop_line(const StreamStop &stop) {
    std::string when = stop.last_time ? fmt::format("sample time {}", *stop.last_time)
                                      : std::string("no sample time");
    return fmt::format("data stops at offset {} ({}): {}", stop.offset, when, stop.reason);
}

std::string stop_remainder(const StreamStop &stop) {
    std::string text = fmt::format("{} decompressed byte{} from offset {} on {} not used",
                                   stop.bytes_after, stop.bytes_after == 1 ? "" : "s", stop.offset,
                                   stop.bytes_after == 1 ? "is" : "are");
    if (stop.unread_compressed > 0) {
        text += fmt::format(", nor {} compressed byte{} that give no data", stop.unread_compressed,
                            stop.unread_compressed == 1 ? "" : "s");
    }
    return text;
}

}  // namespace tesra::cli
