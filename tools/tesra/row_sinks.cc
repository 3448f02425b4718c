// The output formats of `tesra values`: an aligned table, CSV (one row per time and instance,
// one column per value) and JSON.
#include "row_sinks.h"

#include <fmt/core.h>
#include <nlohmann/json.hpp>

namespace tesra::cli {
namespace {

// Column names of a counter's values: "name", "name[x]" or "name[x,y]" (x-major order).
std::vector<std::string> value_columns(const CounterInfo &c) {
    uint32_t n = c.num_values();
    if (n == 1) return {c.name};
    std::vector<std::string> out;
    for (uint32_t k = 0; k < n; ++k) {
        if (!c.y_names.empty() && !c.x_names.empty()) {
            size_t ny = c.y_names.size();
            out.push_back(fmt::format("{}[{},{}]", c.name, c.x_names[k / ny], c.y_names[k % ny]));
        } else if (k < c.x_names.size()) {
            out.push_back(fmt::format("{}[{}]", c.name, c.x_names[k]));
        } else {
            out.push_back(fmt::format("{}[{}]", c.name, k));
        }
    }
    return out;
}

// ---- table ---------------------------------------------------------------------------------

std::string table_cell(const CounterValues &v) {
    if (v.size() == 1) return v.text(0);
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) {
        if (i > 0) out += ' ';
        out += v.text(i);
    }
    return out + "]";
}

std::vector<std::string> table_row(uint64_t time, const InstanceValues &instance) {
    std::vector<std::string> row{iso_time(time)};
    for (const auto &v : instance.counters) row.push_back(table_cell(v));
    return row;
}

class TableSink final : public RowSink {
public:
    explicit TableSink(std::FILE *out) : out_(out) {}

    void begin(const RowLayout &layout) override {
        std::vector<std::string> header{"TIME"};
        for (const auto *c : layout.columns) header.push_back(c->name);
        table_ = std::make_unique<TextTable>(std::move(header));
        for (size_t i = 0; i < layout.columns.size(); ++i) {
            if (!layout.columns[i]->is_string()) table_->right_align(i + 1);
        }
    }

    void row(uint64_t time, const InstanceValues &instance) override {
        table_->add(table_row(time, instance));
    }

    void end() override { table_->print(out_); }

private:
    std::FILE *out_;
    std::unique_ptr<TextTable> table_;
};

// Rows printed batch by batch: the widths are those of the header and the first batch with
// rows, and a wider cell later only pushes the rest of its line.
class StreamTableSink final : public RowSink {
public:
    explicit StreamTableSink(std::FILE *out) : out_(out) {}

    void begin(const RowLayout &layout) override {
        rows_.push_back({"TIME"});
        right_.push_back(false);
        for (const auto *c : layout.columns) {
            rows_.front().push_back(c->name);
            right_.push_back(!c->is_string());
        }
    }

    void row(uint64_t time, const InstanceValues &instance) override {
        rows_.push_back(table_row(time, instance));
    }

    void end() override {
        done_ = true;
        flush();
    }

    void flush() override {
        // The header waits for the first rows, which its widths depend on.
        if (widths_.empty() && rows_.size() < 2 && !done_) return;
        if (widths_.empty()) {
            widths_.assign(right_.size(), 0);
            for (const auto &row : rows_) {
                for (size_t i = 0; i < row.size() && i < widths_.size(); ++i) {
                    widths_[i] = std::max(widths_[i], row[i].size());
                }
            }
        }
        for (const auto &row : rows_) {
            std::string line;
            for (size_t i = 0; i < row.size() && i < widths_.size(); ++i) {
                size_t pad = widths_[i] > row[i].size() ? widths_[i] - row[i].size() : 0;
                bool last = i + 1 == row.size();
                if (right_[i]) line.append(pad, ' ');
                line += row[i];
                if (!right_[i] && !last) line.append(pad, ' ');
                if (!last) line += "  ";
            }
            while (!line.empty() && line.back() == ' ') line.pop_back();
            fmt::print(out_, "{}\n", line);
        }
        rows_.clear();
    }

private:
    std::FILE *out_;
    std::vector<std::vector<std::string>> rows_;  // the header until the first flush
    std::vector<bool> right_;
    std::vector<size_t> widths_;
    bool done_ = false;
};

// ---- CSV -----------------------------------------------------------------------------------

std::string csv_field(const std::string &field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos &&
        (field.empty() || (field.front() != ' ' && field.back() != ' '))) {
        return field;
    }
    std::string out = "\"";
    for (char ch : field) {
        if (ch == '"') out += '"';
        out += ch;
    }
    out += '"';
    return out;
}

class CsvSink final : public RowSink {
public:
    explicit CsvSink(std::FILE *out) : out_(out) {}

    void begin(const RowLayout &layout) override {
        std::vector<std::string> header{"time_ms", "time_utc"};
        for (const auto *c : layout.columns) {
            for (auto &name : value_columns(*c)) header.push_back(std::move(name));
        }
        print(header);
    }

    void row(uint64_t time, const InstanceValues &instance) override {
        fields_.assign({std::to_string(time), iso_time(time)});
        for (const auto &v : instance.counters) {
            uint32_t n =
                v.counter != nullptr ? v.counter->num_values() : static_cast<uint32_t>(v.size());
            for (uint32_t k = 0; k < n; ++k) fields_.push_back(v.text(k));
        }
        print(fields_);
    }

    void end() override {}

private:
    void print(const std::vector<std::string> &fields) {
        line_.clear();
        for (size_t i = 0; i < fields.size(); ++i) {
            if (i > 0) line_ += ',';
            line_ += csv_field(fields[i]);
        }
        line_ += "\r\n";
        std::fwrite(line_.data(), 1, line_.size(), out_);
    }

    std::FILE *out_;
    std::vector<std::string> fields_;
    std::string line_;
};

// ---- JSON ----------------------------------------------------------------------------------

nlohmann::json json_value(const CounterValues &v, size_t index) {
    if (v.type == TESRA_CNT_STRING) return v.strings[index];
    return v.numbers[index];
}

// A counter's values as JSON: a scalar, a list (x labels) or a list of lists (x by y).
nlohmann::json json_values(const CounterValues &v) {
    const CounterInfo *c = v.counter;
    size_t n = v.size();
    if (c == nullptr || c->num_values() == 1) {
        return n == 1 ? json_value(v, 0) : nlohmann::json(nullptr);
    }
    if (!c->x_names.empty() && !c->y_names.empty() && n == c->num_values()) {
        nlohmann::json rows = nlohmann::json::array();
        size_t ny = c->y_names.size();
        for (size_t x = 0; x < c->x_names.size(); ++x) {
            nlohmann::json row = nlohmann::json::array();
            for (size_t y = 0; y < ny; ++y) row.push_back(json_value(v, x * ny + y));
            rows.push_back(std::move(row));
        }
        return rows;
    }
    nlohmann::json list = nlohmann::json::array();
    for (size_t i = 0; i < n; ++i) list.push_back(json_value(v, i));
    return list;
}

// One time and instance: {"time_ms", "time", "keys": {name: value}, "values": {name: value}}.
nlohmann::json json_sample(uint64_t time, const InstanceValues &instance) {
    nlohmann::json sample;
    sample["time_ms"] = time;
    sample["time"] = iso_time(time);
    nlohmann::json keys = nlohmann::json::object();
    nlohmann::json values = nlohmann::json::object();
    for (const auto &v : instance.counters) {
        if (v.counter == nullptr) continue;
        (v.counter->is_key ? keys : values)[v.counter->name] = json_values(v);
    }
    sample["keys"] = std::move(keys);
    sample["values"] = std::move(values);
    if (!instance.archive.empty()) sample["archive"] = instance.archive;
    return sample;
}

// The samples are gathered into one document: it is printed whole or not at all.
class JsonSink final : public RowSink {
public:
    explicit JsonSink(std::FILE *out) : out_(out) {}

    void begin(const RowLayout &layout) override {
        doc_["archive"] = layout.archive;
        doc_["object"] = layout.object;
        doc_["period_ms"] = layout.period;
        doc_["from_ms"] = layout.from;
        doc_["to_ms"] = layout.to;
        nlohmann::json defs = nlohmann::json::array();
        for (const auto *c : layout.columns) {
            nlohmann::json d;
            d["name"] = c->name;
            d["id"] = c->id;
            d["key"] = c->is_key;
            d["type"] =
                c->is_string() ? "string" : (c->size / c->num_values() == 4 ? "u32" : "u64");
            if (!c->x_names.empty()) d["x_names"] = c->x_names;
            if (!c->y_names.empty()) d["y_names"] = c->y_names;
            defs.push_back(std::move(d));
        }
        doc_["counters"] = std::move(defs);
    }

    void row(uint64_t time, const InstanceValues &instance) override {
        samples_.push_back(json_sample(time, instance));
    }

    void end() override {
        doc_["samples"] = std::move(samples_);
        std::string text = doc_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        fmt::print(out_, "{}\n", text);
    }

private:
    std::FILE *out_;
    nlohmann::json doc_;
    nlohmann::json samples_ = nlohmann::json::array();
};

// One line per time and instance, printed as it comes: a follower's output never ends.
class JsonLinesSink final : public RowSink {
public:
    explicit JsonLinesSink(std::FILE *out) : out_(out) {}

    void begin(const RowLayout &) override {}

    void row(uint64_t time, const InstanceValues &instance) override {
        std::string text = json_sample(time, instance)
                               .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        fmt::print(out_, "{}\n", text);
    }

    void end() override {}

private:
    std::FILE *out_;
};

}  // namespace

std::unique_ptr<RowSink> make_row_sink(std::string_view format, std::FILE *out) {
    if (format == "table") return std::make_unique<TableSink>(out);
    if (format == "csv") return std::make_unique<CsvSink>(out);
    if (format == "json") return std::make_unique<JsonSink>(out);
    return nullptr;
}

std::unique_ptr<RowSink> make_follow_sink(std::string_view format, std::FILE *out) {
    if (format == "table") return std::make_unique<StreamTableSink>(out);
    if (format == "json") return std::make_unique<JsonLinesSink>(out);
    return make_row_sink(format, out);
}

}  // namespace tesra::cli
