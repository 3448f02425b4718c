// Where the rows of `tesra values` go: one sink per output format. A run opens the sink once,
// hands it each instance at each sample time as the walk reaches it, and closes it when the walk
// has succeeded; a failed walk stops without closing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli_common.h"
#include "query_run.h"

namespace tesra::cli {

// What every row of one run shares: where the values come from and the columns.
struct RowLayout {
    std::string archive;
    std::string object;
    uint64_t period = 0;
    uint64_t from = 0;  // the query's time range (absolute ms)
    uint64_t to = 0;
    std::vector<const CounterInfo *> columns;  // key counters, then the selected counters
};

class RowSink {
public:
    virtual ~RowSink() = default;

    // Before the first row. `layout` outlives the sink.
    virtual void begin(const RowLayout &layout) = 0;
    // One instance at one sample time; its values come in the layout's column order.
    virtual void row(uint64_t time, const InstanceValues &instance) = 0;
    // After the last row, once the whole walk has succeeded.
    virtual void end() = 0;
    // When following: the rows so far are a batch to print now.
    virtual void flush() {}
};

// The sink of "table" (aligned columns, written at the end: widths need every row), "csv" (each
// row as it arrives) or "json" (one document, written at the end); nullptr for another name.
std::unique_ptr<RowSink> make_row_sink(std::string_view format, std::FILE *out);

// The sinks of a run that follows a growing archive, which print every batch at once: "table"
// sets its column widths by the header and the first batch, "csv" as above, "json" one object
// per line for each time and instance (as the document's "samples" hold them).
std::unique_ptr<RowSink> make_follow_sink(std::string_view format, std::FILE *out);

}  // namespace tesra::cli
