// Spooled families as OpenMetrics or Prometheus text.
#include "openmetrics/export_text.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "openmetrics/metric_text.h"

namespace tesra::cli::om {
namespace {

constexpr size_t kChunkBytes = 1 << 20;

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
        if (buffer_.size() < kChunkBytes) buffer_.resize(kChunkBytes);
    }
    bool opened() const { return file_ != nullptr; }
    // false when fewer than `n` bytes are left.
    bool read(void *out, size_t n) {
        if (end_ - pos_ < n && !refill(n)) return false;
        std::memcpy(out, buffer_.data() + pos_, n);
        pos_ += n;
        return true;
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

}  // namespace

bool write_family(const Family &family,
                  const Instances &instances,
                  TextStyle style,
                  TextOut &out,
                  std::string &error) {
    // Kept from family to family: fresh megabyte buffers for each would cost page faults.
    static thread_local std::string text;
    static thread_local std::vector<char> read_buffer;
    text.clear();
    text.reserve(kChunkBytes + 4096);
    uint64_t chunk_samples = 0;
    if (style == TextStyle::kOpenMetrics) append_metadata(text, family);
    if (family.samples == 0) return out.write(text, 0);

    SpoolReader spool(family.spool.path(), read_buffer);
    if (!spool.opened()) {
        error = "cannot open the spool file " + family.spool.path();
        return false;
    }
    std::string stamp;  // " <time>\n" of the current time marker
    std::vector<uint64_t> values;
    std::string value_text;
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
    while (true) {
        uint32_t head[2];
        if (!spool.read(head, sizeof head)) {
            if (spool.at_end()) break;
            error = "cannot read the spool file " + family.spool.path();
            return false;
        }
        bool ok = true;
        if (head[0] == Spool::kTimeMarker) {
            uint64_t time = 0;
            ok = spool.read(&time, sizeof time);
            stamp.assign(1, ' ');
            if (style == TextStyle::kOpenMetrics) {
                append_seconds(stamp, time);
            } else {
                append_uint(stamp, time);
            }
            stamp += '\n';
        } else if (head[0] >= instances.labels.size()) {
            ok = false;
        } else if (family.kind == FamilyKind::kInfo) {
            uint32_t length = 0;
            ok = spool.read(&length, sizeof length) && length <= (1u << 24);
            if (ok) {
                value_text.resize(length);
                ok = length == 0 || spool.read(value_text.data(), length);
            }
            if (ok) {
                text += prefix(head[0], head[1]);
                append_label_value(text, value_text);
                text += "\"} 1";
                text += stamp;
                ++chunk_samples;
            }
        } else {
            const uint32_t n = head[1];
            ok = n <= (1u << 20);
            if (ok) {
                values.resize(n);
                ok = n == 0 || spool.read(values.data(), sizeof(uint64_t) * n);
            }
            for (uint32_t k = 0; ok && k < n; ++k) {
                char digits[24];
                const char *end = std::to_chars(digits, digits + sizeof digits, values[k]).ptr;
                text.append(prefix(head[0], k))
                    .append(digits, static_cast<size_t>(end - digits))
                    .append(stamp);
            }
            chunk_samples += ok ? n : 0;
        }
        if (!ok) {
            error = "damaged spool file " + family.spool.path();
            return false;
        }
        if (text.size() >= kChunkBytes) {
            if (!out.write(text, chunk_samples)) return false;
            text.clear();
            chunk_samples = 0;
        }
    }
    return out.write(text, chunk_samples);
}

}  // namespace tesra::cli::om
