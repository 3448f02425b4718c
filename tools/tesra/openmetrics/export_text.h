// Writing spooled families as text: OpenMetrics (metadata lines, timestamps in seconds, "# EOF"
// at the end) or the Prometheus text format an import endpoint takes (timestamps in
// milliseconds, samples only).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "openmetrics/export_model.h"

namespace tesra::cli::om {

enum class TextStyle { kOpenMetrics, kPrometheus };

// A buffer of text lines: `data` holds `capacity` bytes, owned by `own` or, where that is
// empty, by the pool it came from.
struct TextBlock {
    char *data = nullptr;
    size_t capacity = 0;
    std::unique_ptr<char[]> own;
};

// Where the text goes, in chunks of whole lines.
class TextOut {
public:
    virtual ~TextOut() = default;
    // `samples`: how many sample lines the chunk holds. false: failed (the sink reported it).
    virtual bool write(std::string_view text, uint64_t samples) = 0;
    // The first `size` bytes of `block`. A sink may keep the block and leave another (or none)
    // in its place: the text then travels on without a copy.
    virtual bool write_block(TextBlock &block, size_t size, uint64_t samples) {
        return write({block.data, size}, samples);
    }
};

// The family's metadata (OpenMetrics) and every sample it spooled, in spool order.
// false: the spool could not be read (`error` says why) or the sink failed (error empty).
bool write_family(const Family &family,
                  const Instances &instances,
                  TextStyle style,
                  TextOut &out,
                  std::string &error);

// The families one after another, as write_family; up to `threads` of them are formatted at once
// on threads of their own (1: all on the calling thread). `out` is called from the calling thread
// only, in family order. false as for write_family.
bool write_families(const std::vector<const Family *> &families,
                    const Instances &instances,
                    TextStyle style,
                    TextOut &out,
                    std::string &error,
                    unsigned threads);

}  // namespace tesra::cli::om
