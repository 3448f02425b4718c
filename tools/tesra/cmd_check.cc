// tesra check: an integrity check of an archive. It walks the data stream on its own (zlib,
// front to back), opens the archive with the reader for the preset, reads the index section of
// the metadata file byte by byte and cross-checks the three: every slot and partial-record list
// must point at a record of the right object, period and slot, and every record must be
// indexed exactly once. Each problem is one line on stdout; the exit status is 1 if any. Where
// the records stop being what the writer wrote, it names the place as recover does.
#include <cstring>
#include <fmt/core.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unordered_map>

#include <zlib.h>

#include "cli_common.h"
#include "commands.h"
#include "common/archive_format.h"
#include "recover_scan.h"
#include "series_source.h"

namespace tesra::cli {
namespace {

using format::StopReason;

struct CheckOptions {
    std::string base;
    uint64_t max_problems = 100;
    SourceOptions series;
};

struct StoredRecord {
    uint64_t offset = 0;
    uint64_t time = 0;
    uint32_t size = 0;
    uint32_t obj_id = 0;
    uint64_t period = 0;
    uint32_t refs = 0;
    bool valid = false;  // object and period known, size fits the instance size
};

struct ObjectLayout {
    uint32_t id = 0;
    std::string name;
    std::vector<uint64_t> periods;
};

// The `archive` element's attributes and the fields around it, read from the XML text.
struct MetaFields {
    std::optional<uint64_t> header_offset, duration, start_time, end_time, base_time;
    std::optional<uint64_t> index_section, next_section;
    size_t archive_tag = std::string::npos;
};

// A little-endian field of the index section.
template <class T>
uint64_t field_at(const uint8_t *p) {
    return format::detail::get_le<T>(reinterpret_cast<const std::byte *>(p));
}

std::optional<uint64_t> parse_number(std::string_view text, int base) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (char ch : text) {
        int digit = -1;
        if (ch >= '0' && ch <= '9') digit = ch - '0';
        if (base == 16 && ch >= 'A' && ch <= 'F') digit = ch - 'A' + 10;
        if (base == 16 && ch >= 'a' && ch <= 'f') digit = ch - 'a' + 10;
        if (digit < 0 || digit >= base) return std::nullopt;
        if (__builtin_mul_overflow(value, static_cast<uint64_t>(base), &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(digit), &value)) {
            return std::nullopt;
        }
    }
    return value;
}

std::optional<std::string_view> attribute(std::string_view tag, std::string_view name) {
    std::string key = fmt::format(" {}=\"", name);
    size_t at = tag.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    size_t begin = at + key.size();
    size_t end = tag.find('"', begin);
    if (end == std::string_view::npos) return std::nullopt;
    return tag.substr(begin, end - begin);
}

std::optional<std::string_view> element(std::string_view text,
                                        std::string_view name,
                                        size_t from,
                                        size_t *after = nullptr) {
    std::string open = fmt::format("<{}>", name);
    std::string close = fmt::format("</{}>", name);
    size_t begin = text.find(open, from);
    if (begin == std::string_view::npos) return std::nullopt;
    begin += open.size();
    size_t end = text.find(close, begin);
    if (end == std::string_view::npos) return std::nullopt;
    if (after != nullptr) *after = end + close.size();
    return text.substr(begin, end - begin);
}

class Checker {
public:
    Checker(std::string base, uint64_t max_problems)
        : base_(std::move(base)), max_problems_(max_problems) {}

    int run();

private:
    template <class... Args>
    void problem(fmt::format_string<Args...> format, Args &&...args) {
        ++problems_;
        if (max_problems_ == 0 || problems_ <= max_problems_) {
            fmt::print("{}: {}\n", base_, fmt::format(format, std::forward<Args>(args)...));
        }
    }

    void walk_stream();
    bool read_meta();
    void scan_meta_fields();
    bool load_preset();
    void check_records();
    void check_times();
    void check_index();
    void check_table(size_t object_number, uint64_t period);
    void check_reference(uint64_t offset,
                         const ObjectLayout &object,
                         uint64_t period,
                         uint64_t slot,
                         const std::string &where);
    void check_indexed_once();

    std::string object_name(uint32_t id) const;
    uint64_t slot_count(uint64_t period) const {
        return format::slot_count64(start_, end_, period);
    }
    std::optional<uint64_t> slot_of(uint64_t aligned_time, uint64_t period) const;
    std::string table_name(const ObjectLayout &object, uint64_t period) const {
        return fmt::format("object '{}' period {}", object.name, period_name(period));
    }

    std::string base_;
    uint64_t max_problems_;
    uint64_t problems_ = 0;

    std::vector<StoredRecord> records_;
    std::unordered_map<uint64_t, size_t> record_at_;
    uint64_t stream_length_ = 0;

    std::vector<uint8_t> meta_;
    size_t xml_end_ = 0;  // position of the 0x00 byte
    bool has_meta_ = false;
    MetaFields fields_;
    bool has_index_ = false;

    // The preset of the XML part, read once: the stream is judged by it even when the archive
    // does not open; records and index are held to it once the archive opens too.
    Preset preset_;
    std::optional<StreamRules> rules_;
    bool has_preset_ = false;
    std::vector<ObjectLayout> objects_;
    std::unordered_map<uint32_t, size_t> object_number_;
    uint64_t start_ = 0, end_ = 0;  // relative, from the archive attributes

    // Expected layout of the index section while it is walked in writing order.
    uint64_t layout_pos_ = 0;
    bool layout_ok_ = true;
    uint64_t tables_ = 0, slots_ = 0, lists_ = 0;
};

void Checker::walk_stream() {
    std::string path = base_ + ".gz";
    struct stat st {};
    uint64_t compressed = ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    // The stream is judged against the preset of the XML part alone, so that the place where
    // the data stops is found even when the index (or the whole reader open) fails.
    std::string ignored;
    if (preset_.read(base_, &ignored)) rules_ = preset_.rules(base_);
    StreamRules rules;
    if (rules_) {
        rules = *rules_;
    } else {
        rules.base_time = fields_.base_time.value_or(0);
    }
    Progress progress("checking records", compressed);
    ScanOptions options;
    options.walk_past_stop = true;
    options.progress = [&progress](uint64_t done) { progress.update(done); };
    auto collect = [this](const format::ScannedRecord &s, bool) {
        StoredRecord r;
        r.offset = s.offset;
        r.time = s.header.msecs_since_base;
        r.size = s.header.size;
        r.obj_id = s.header.obj_id;
        r.period = s.header.period;
        record_at_[r.offset] = records_.size();
        records_.push_back(r);
        return TESRA_SUCCESS;
    };
    StreamScan scan = scan_data_stream(path, rules, options, collect);
    progress.finish();
    if (!scan.opened) {
        problem("data stream: cannot open {}", path);
        return;
    }
    const format::ScanStop &end = scan.end;
    switch (end.reason) {
        case StopReason::kHeaderCut:
            problem(
                "data stream: ends inside the header of the record at offset {} ({} of {} "
                "bytes)",
                end.offset, end.got, format::kRecordHeaderSize);
            break;
        case StopReason::kBodyTooLarge:
            problem(
                "record at offset {}: body of {} bytes is over the {}-byte limit; the stream "
                "cannot be walked past it",
                end.offset, end.record.size, format::kMaxRecordBodySize);
            break;
        case StopReason::kBodyCut:
            problem(
                "data stream: ends inside the body of the record at offset {} ({} of {} "
                "bytes)",
                end.offset, end.got, end.record.size);
            break;
        default:
            break;
    }
    if (!scan.gzip_end.empty())
        problem("data stream: damaged after {} bytes: {}", scan.length, scan.gzip_end);
    if (scan.stop) {
        problem("{}", stop_line(scan, rules));
        fmt::print("{}: {}\n", base_, stop_remainder(scan));
    }
    stream_length_ = scan.length;
}

bool Checker::read_meta() {
    std::ifstream in(base_ + ".meta", std::ios::binary);
    if (!in) {
        problem("metadata: cannot open {}.meta", base_);
        return false;
    }
    meta_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    auto zero = std::find(meta_.begin(), meta_.end(), uint8_t{0});
    if (zero == meta_.end()) {
        problem("metadata: no 0x00 byte ends the XML document ({} bytes)", meta_.size());
        return false;
    }
    xml_end_ = static_cast<size_t>(zero - meta_.begin());
    has_meta_ = true;
    return true;
}

void Checker::scan_meta_fields() {
    std::string_view xml(reinterpret_cast<const char *>(meta_.data()), xml_end_);
    size_t tag = xml.find("<archive ");
    if (tag == std::string_view::npos) {
        problem("metadata: no archive element");
        return;
    }
    fields_.archive_tag = tag;
    size_t tag_end = xml.find('>', tag);
    std::string_view start_tag =
        xml.substr(tag, tag_end == std::string_view::npos ? std::string_view::npos : tag_end - tag);
    auto number_attr = [&](std::string_view name, int radix, std::optional<uint64_t> &out) {
        auto text = attribute(start_tag, name);
        if (!text) {
            problem("metadata: archive element has no {} attribute", name);
            return;
        }
        out = parse_number(*text, radix);
        if (!out) problem("metadata: archive attribute {}=\"{}\" is not a number", name, *text);
    };
    number_attr("header_offset", 10, fields_.header_offset);
    number_attr("duration", 16, fields_.duration);
    number_attr("start_time", 16, fields_.start_time);
    number_attr("end_time", 16, fields_.end_time);
    if (auto text = element(xml, "base_time", tag)) {
        fields_.base_time = parse_number(*text, 10);
        if (!fields_.base_time) problem("metadata: base_time \"{}\" is not a number", *text);
    } else {
        problem("metadata: no base_time element");
    }
    size_t from = tag;
    for (int i = 0; i < 2; ++i) {
        size_t after = 0;
        auto type = element(xml, "section_type", from, &after);
        auto offset = type ? element(xml, "section_offset", after, &from) : std::nullopt;
        if (!type || !offset) {
            problem("metadata: section table has {} of 2 entries", i);
            return;
        }
        auto value = parse_number(*offset, 16);
        if (!value) {
            problem("metadata: section_offset \"{}\" is not a number", *offset);
            continue;
        }
        (*type == "0" ? fields_.index_section : fields_.next_section) = value;
    }
}

bool Checker::load_preset() {
    const char *meta_path = nullptr;
    const char *data_path = nullptr;
    tesra_file_handle_t *file = nullptr;
    tesra_error_t rc = tesra_open_data_file(base_.c_str(), "r", &file, &meta_path, &data_path);
    if (rc != TESRA_SUCCESS) {
        problem("metadata: the archive does not open: {}", error_label(rc));
        return false;
    }
    tesra_close_data_file(file);
    tesra_header_handle_t *header = preset_.header();
    rc = header == nullptr ? preset_.code() : rules_ ? TESRA_SUCCESS : TESRA_NULL_POINTER;
    tesra_object_handle_t *object = nullptr;
    if (rc == TESRA_SUCCESS) rc = tesra_first_object(header, &object);
    while (rc == TESRA_SUCCESS && object != nullptr) {
        tesra_object_def_t def{};
        if (rc = tesra_get_object_info(object, &def); rc != TESRA_SUCCESS) break;
        object_number_[def.obj_id] = objects_.size();
        objects_.push_back(
            {def.obj_id, def.name != nullptr ? def.name : "", object_periods(object)});
        rc = tesra_next_object(header, &object);
    }
    if (rc != TESRA_SUCCESS) {
        problem("metadata: reading the preset failed: {}", error_label(rc));
        return false;
    }
    has_preset_ = true;
    return true;
}

std::string Checker::object_name(uint32_t id) const {
    auto it = object_number_.find(id);
    return it == object_number_.end() ? fmt::format("#{}", id)
                                      : fmt::format("'{}'", objects_[it->second].name);
}

std::optional<uint64_t> Checker::slot_of(uint64_t aligned_time, uint64_t period) const {
    if (period == TESRA_ONCE_PER_ARCHIVE_PERIOD) return 0;
    if (aligned_time / period < start_ / period) return std::nullopt;
    return aligned_time / period - start_ / period;
}

// Each record on its own, by the rules that need no archive start (time rules only decide where
// the data stops).
void Checker::check_records() {
    const format::RecordRules period_table;
    const format::RecordRules &rules = has_preset_ ? rules_->records : period_table;
    for (auto &r : records_) {
        uint64_t size = 0;
        const StopReason breach = rules.judge({r.time, r.size, r.obj_id, r.period}, &size);
        switch (breach) {
            case StopReason::kNone:
                r.valid = true;
                break;
            case StopReason::kUnknownPeriod:
                problem("record at offset {}: period {} is not a sampling period", r.offset,
                        r.period);
                break;
            case StopReason::kUnknownObject:
                problem("record at offset {}: object id {} is not in the preset", r.offset,
                        r.obj_id);
                break;
            case StopReason::kPeriodNotSampled:
                problem("record at offset {}: object {} is not sampled every {}", r.offset,
                        object_name(r.obj_id), period_name(r.period));
                break;
            default:
                problem(
                    "record at offset {}: {} bytes are not a whole number of {}-byte instances "
                    "of {}",
                    r.offset, r.size, size, object_name(r.obj_id));
                break;
        }
    }
}

void Checker::check_times() {
    const auto &f = fields_;
    if (!f.start_time || !f.end_time || !f.duration) return;
    bool closed = f.index_section.value_or(0) != 0;
    bool partial = base_.find(format::kPartialArchiveTemplate) != std::string::npos;
    if (!closed) {
        if (!partial) problem("metadata: the archive was never closed: there is no index section");
        return;
    }
    has_index_ = true;
    start_ = *f.start_time;
    end_ = *f.end_time;
    if (start_ == format::kUnsetStartTime) {
        problem("metadata: start_time is unset although the index section is written");
        has_index_ = false;
        return;
    }
    if (end_ <= start_) {
        problem("metadata: end_time {} is not after start_time {}", end_, start_);
        has_index_ = false;
        return;
    }
    if (*f.duration != end_ - start_) {
        problem("metadata: duration {} is not end_time - start_time = {}", *f.duration,
                end_ - start_);
    }
    if (f.header_offset && *f.header_offset != f.archive_tag) {
        problem("metadata: header_offset {} but the archive element begins at byte {}",
                *f.header_offset, f.archive_tag);
    }
    uint64_t section = f.header_offset.value_or(0) + *f.index_section;
    if (section != xml_end_ + 1) {
        problem(
            "metadata: the index section should begin at byte {} (after the 0x00 byte), "
            "the section table says {}",
            xml_end_ + 1, section);
    }
    if (f.next_section.value_or(0) != 0) {
        problem("metadata: the second section offset is {}, not 0", *f.next_section);
    }

    uint64_t newest = 0;
    bool any = false;
    for (const auto &r : records_) {
        if (!is_table_period(r.period)) continue;
        newest = std::max(newest, format::aligned_time(r.time, r.period));
        any = true;
    }
    if (any && newest != end_) {
        problem("metadata: end_time {} but the newest record is at aligned time {}", end_, newest);
    }

    // The archive name carries the span the archive was made for.
    if (!partial && f.base_time) {
        std::vector<char> path(base_.begin(), base_.end());
        path.push_back('\0');
        uint32_t index = 0;
        uint64_t longest = 0, name_start = 0, name_end = 0;
        if (tesra_parse_filename(path.data(), &index, &longest, &name_start, &name_end) ==
            TESRA_SUCCESS) {
            uint64_t first = *f.base_time + start_;
            uint64_t last = *f.base_time + end_;
            if (first < name_start || last > name_end) {
                problem("name: the records span {} .. {} ms, outside the name's {} .. {} ms", first,
                        last, name_start, name_end);
            }
            for (const auto &r : records_) {
                if (longest != 0 && r.period != TESRA_ONCE_PER_ARCHIVE_PERIOD &&
                    is_table_period(r.period) && r.period > longest) {
                    problem("name: longest period {} but a record has period {}",
                            period_name(longest), period_name(r.period));
                    break;
                }
            }
        }
    }
}

void Checker::check_reference(uint64_t offset,
                              const ObjectLayout &object,
                              uint64_t period,
                              uint64_t slot,
                              const std::string &where) {
    auto it = record_at_.find(offset);
    if (it == record_at_.end()) {
        if (offset >= stream_length_) {
            problem("{}: offset {} lies past the end of the readable data stream ({} bytes)", where,
                    offset, stream_length_);
        } else {
            problem("{}: offset {} is not the start of a record", where, offset);
        }
        return;
    }
    StoredRecord &r = records_[it->second];
    ++r.refs;
    if (r.obj_id != object.id) {
        problem("{}: offset {} holds a record of object {}", where, offset, object_name(r.obj_id));
    } else if (r.period != period) {
        problem("{}: offset {} holds a record of period {}", where, offset, period_name(r.period));
    } else if (auto s = slot_of(format::aligned_time(r.time, r.period), period); !s || *s != slot) {
        problem("{}: offset {} holds a record of time {} (slot {})", where, offset, r.time,
                s ? std::to_string(*s) : std::string("before the start"));
    }
}

void Checker::check_table(size_t number, uint64_t period) {
    const ObjectLayout &object = objects_[number];
    const uint8_t *section = meta_.data() + xml_end_ + 1;
    uint64_t length = meta_.size() - (xml_end_ + 1);
    uint32_t index = 0;
    tesra_get_period_index(period, &index);
    uint64_t entry =
        field_at<uint64_t>(section + number * format::kObjectIndexRowBytes + index * 8);
    std::string name = table_name(object, period);
    uint64_t n = slot_count(period);
    if (entry == 0) {
        problem("index: {} has no record-offset table", name);
        layout_ok_ = false;
        return;
    }
    if (layout_ok_ && entry != layout_pos_) {
        problem("index: the table of {} is at {}, expected {} (the layout breaks here)", name,
                entry, layout_pos_);
        layout_ok_ = false;
    }
    uint64_t table_end = 0;
    if (__builtin_mul_overflow(n, uint64_t{8}, &table_end) ||
        __builtin_add_overflow(table_end, entry, &table_end) || table_end > length) {
        problem(
            "index: the table of {} ({} slots at {}) runs past the end of the section ({} "
            "bytes)",
            name, n, entry, length);
        layout_ok_ = false;
        return;
    }
    ++tables_;
    layout_pos_ += n * 8;
    for (uint64_t j = 0; j < n; ++j) {
        uint64_t value = field_at<uint64_t>(section + entry + j * 8);
        ++slots_;
        if (format::is_empty_entry(value)) continue;
        std::string where = fmt::format("index: {} slot {}", name, j);
        if (!format::is_partial_entry(value)) {
            check_reference(value, object, period, j, where);
            continue;
        }
        uint64_t list = format::entry_position(value);
        ++lists_;
        if (layout_ok_ && list != layout_pos_) {
            problem("{}: partial-record list at {}, expected {} (the layout breaks here)", where,
                    list, layout_pos_);
            layout_ok_ = false;
        }
        if (list > length || length - list < 4) {
            problem("{}: partial-record list at {} lies outside the section ({} bytes)", where,
                    list, length);
            layout_ok_ = false;
            continue;
        }
        uint64_t count = field_at<uint32_t>(section + list);
        if (count > format::kMaxPartialRecords || (length - list - 4) / 8 < count) {
            problem(
                "{}: partial-record list at {} claims {} records, more than the section "
                "holds",
                where, list, count);
            layout_ok_ = false;
            continue;
        }
        if (count < 2) {
            problem("{}: partial-record list holds {} record(s); a list holds two or more", where,
                    count);
        }
        layout_pos_ += 4 + count * 8;
        for (uint64_t m = 0; m < count; ++m) {
            check_reference(field_at<uint64_t>(section + list + 4 + m * 8), object, period, j,
                            fmt::format("{} list entry {}", where, m));
        }
    }
}

void Checker::check_index() {
    uint64_t length = meta_.size() - (xml_end_ + 1);
    uint64_t rows = objects_.size() * uint64_t{format::kObjectIndexRowBytes};
    if (length < rows) {
        problem(
            "index: the section has {} bytes, too few for the object index of {} objects "
            "({} bytes)",
            length, objects_.size(), rows);
        return;
    }
    const uint8_t *section = meta_.data() + xml_end_ + 1;
    for (size_t i = 0; i < objects_.size(); ++i) {
        for (uint32_t k = 0; k < TESRA_NUM_PERIODS; ++k) {
            uint64_t period = _tesra_period_map[k];
            bool has = std::find(objects_[i].periods.begin(), objects_[i].periods.end(), period) !=
                       objects_[i].periods.end();
            uint64_t entry = field_at<uint64_t>(section + i * format::kObjectIndexRowBytes + k * 8);
            if (!has && entry != 0) {
                problem("index: object '{}' has no period {} but its index entry is {}",
                        objects_[i].name, period_name(period), entry);
            }
        }
    }
    layout_pos_ = rows;
    for (size_t i = 0; i < objects_.size(); ++i) {
        for (uint64_t period : objects_[i].periods) check_table(i, period);
    }
    if (layout_ok_ && layout_pos_ != length) {
        problem("index: the section has {} bytes, the tables and lists fill {}", length,
                layout_pos_);
    }
}

void Checker::check_indexed_once() {
    for (const auto &r : records_) {
        if (!r.valid) continue;
        if (r.refs == 0) {
            problem("record at offset {} (object {}, period {}, time {}) is not indexed", r.offset,
                    object_name(r.obj_id), period_name(r.period), r.time);
        } else if (r.refs > 1) {
            problem("record at offset {} (object {}, period {}, time {}) is indexed {} times",
                    r.offset, object_name(r.obj_id), period_name(r.period), r.time, r.refs);
        }
    }
}

int Checker::run() {
    const bool meta = read_meta();
    if (meta) scan_meta_fields();
    walk_stream();
    if (meta) load_preset();
    check_records();
    if (has_meta_ && has_preset_) {
        check_times();
        if (has_index_) {
            check_index();
            check_indexed_once();
        }
    }
    if (problems_ > 0) {
        if (max_problems_ != 0 && problems_ > max_problems_) {
            fmt::print("{}: ... {} more problems not shown\n", base_, problems_ - max_problems_);
        }
        fmt::print("{}: {} problem{} found\n", base_, problems_, problems_ == 1 ? "" : "s");
        return kExitProblem;
    }
    if (has_index_) {
        fmt::print("{}: clean: {} records, {} tables, {} slots, {} partial-record lists\n", base_,
                   records_.size(), tables_, slots_, lists_);
    } else {
        fmt::print("{}: clean: {} records (no index yet: the archive is being written)\n", base_,
                   records_.size());
    }
    return kExitOk;
}

int run_check(const CheckOptions &opt) {
    Checker checker(archive_base(opt.base), opt.max_problems);
    return checker.run();
}

// Every archive of the series in turn, damaged ones included: the series' findings (gaps,
// overlaps, files that are no archives) are warnings, a problem in any archive fails the check.
int run_series_check(const CheckOptions &opt) {
    Series series;
    if (!series.open(opt.series)) return kExitProblem;
    const std::string what = opt.series.sources.size() == 1
                                 ? opt.series.sources.front()
                                 : fmt::format("{} sources", opt.series.sources.size());
    if (!series.check_members(what, 0, UINT64_MAX)) return kExitProblem;
    series.print_findings();
    const size_t n = tesra_series_member_count(series.get());
    size_t failed = 0;
    for (size_t i = 0; i < n; ++i) {
        Checker checker(series.member_base(i), opt.max_problems);
        if (checker.run() != kExitOk) ++failed;
    }
    fmt::print("{} archive{} checked, {} with problems\n", n, n == 1 ? "" : "s", failed);
    return failed == 0 ? kExitOk : kExitProblem;
}

}  // namespace

void add_check_command(CLI::App &app, int &status) {
    auto opt = std::make_shared<CheckOptions>();
    CLI::App *cmd = app.add_subcommand(
        "check",
        "Check an archive's integrity: the metadata parses, its time fields agree with the "
        "records, every slot and partial-record list of the index points at a record of the "
        "right object, period and slot, every record is indexed exactly once and fits its "
        "instance size. Where the records stop being what the writer wrote, prints 'data stops "
        "at offset <n> (sample time <t>): <reason>' as recover does. Prints one line per "
        "problem; exit status 1 when there is any.");
    cmd->add_option("BASE", opt->series.sources,
                    "Archive base path; several, a directory or a glob for a series")
        ->required();
    add_series_options(*cmd, opt->series);
    cmd->add_option("--max-problems", opt->max_problems, "Print at most this many (0: all)")
        ->capture_default_str();
    cmd->callback([opt, &status] {
        if (is_series(opt->series.sources)) {
            status = run_series_check(*opt);
            return;
        }
        opt->base = opt->series.sources.front();
        status = run_check(*opt);
    });
}

}  // namespace tesra::cli
