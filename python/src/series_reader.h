// A node's archive series behind the Python package: members, findings, the catalogue of
// objects and counters, sample times and values across archives, over libtesraseries.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "reader.h"
#include "tesra/tesra_series.h"

namespace tesra::py {

struct SeriesMember {
    std::string base;
    uint32_t file_index = 0;
    std::string hostname;
    std::string node_uuid;
    bool contents_known = false;
    uint64_t first = 0, last = 0;  // sample times held, when known
    uint64_t window_start = 0, window_end = 0;
    std::string state;  // "closed", "being written", "damaged"
};

struct SeriesFinding {
    std::string kind;
    bool is_error = false;
    int64_t member = -1, other = -1;
    std::string path;
    uint64_t from = 0, to = 0;
    std::string message;
};

struct SeriesCounter {
    std::string name;
    uint32_t id = 0;
    bool is_key = false;
    uint32_t ctype = 0;
    uint32_t size = 0;
    uint32_t num_values = 1;
    std::vector<uint64_t> periods;
    std::string description;
    size_t first_member = 0;
    bool changed = false;
};

struct SeriesObject {
    std::string name;
    uint32_t id = 0;
    std::vector<uint64_t> periods;
    size_t first_member = 0, last_member = 0;
    std::vector<SeriesCounter> counters;
};

// What a values walk over a series reads; the range is inclusive, as for one archive.
struct SeriesValuesRequest {
    ValuesRequest values;
    // Column names of array counters ("name[x]"), from the definitions with their labels.
    std::vector<std::pair<std::string, std::vector<std::string>>> labels;
};

class SeriesReader {
public:
    SeriesReader(const std::vector<std::string> &sources, std::optional<std::string> node,
                 bool strict);
    ~SeriesReader();
    SeriesReader(const SeriesReader &) = delete;
    SeriesReader &operator=(const SeriesReader &) = delete;

    void close();
    bool is_open() const;
    const std::string &name() const { return name_; }

    std::vector<SeriesMember> members();
    std::vector<SeriesFinding> findings();
    std::vector<SeriesObject> catalogue();
    std::vector<uint64_t> timestamps(const std::string &object, uint64_t period);
    ValuesResult values(const SeriesValuesRequest &request);

private:
    void check_open() const;
    std::vector<SeriesFinding> findings_locked() const;
    [[noreturn]] void fail(tesra_error_t rc, const std::string &operation) const;

    mutable std::mutex mutex_;
    std::string name_;  // the sources, for messages
    tesra_series_t *series_ = nullptr;
};

}  // namespace tesra::py
