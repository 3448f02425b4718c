// The one walker of the record stream: each 24-byte record header and its body from a given
// offset on, each record judged against the rules every record the writer wrote meets, and a
// precise account of where and why the records end. A scan can be resumed from where it
// stopped, so a stream that grows is followed at the cost of its new bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "tesra/tesra_common_defs.h"

#include "common/archive_format.h"

namespace tesra::format {

// Where the decompressed bytes come from.
class StreamSource {
public:
    // Up to out.size() bytes from decompressed `offset` on; `*got` is smaller only where the
    // readable data ends. A scan reads at growing offsets, except once at a body cut short
    // while bodies are skipped (to count what is there).
    virtual tesra_error_t read_at(uint64_t offset, std::span<std::byte> out, std::size_t *got) = 0;

protected:
    ~StreamSource() = default;
};

enum class StopReason : uint8_t {
    kNone,  // a whole record that meets every rule
    // The records cannot be chained past these.
    kEnd,             // the readable data ends where a record would begin
    kHeaderCut,       // it ends inside a record header
    kBodyCut,         // it ends inside a record body
    kBodyTooLarge,    // a body over the size limit
    kOffsetTooLarge,  // a record that would end beyond the largest stream offset
    kReadFailed,      // the source failed (`error`)
    // Whole records that cannot be what the writer wrote.
    kUnknownPeriod,     // not in the period table
    kUnknownObject,     // an object id the preset does not have
    kPeriodNotSampled,  // a period the object does not have
    kPartialInstance,   // a body that is not a whole number of instances
    kBeforeStart,       // a time before the archive's first slot
    kBeyondReach,       // a time beyond any span an archive from its start can hold
    // A whole record that meets every rule, refused by the scan's user (`error`).
    kRefused,
};

// Whether the records can be walked past a stop for this reason.
constexpr bool chains_past(StopReason reason) {
    return reason == StopReason::kNone || reason >= StopReason::kUnknownPeriod;
}

struct ScanStop {
    StopReason reason = StopReason::kNone;
    uint64_t offset = 0;                // the record, or the byte, where the data stops
    std::optional<uint64_t> last_time;  // relative time of the last record taken before it
    RecordHeader record{};              // the record's header, once it was read whole
    uint64_t got = 0;                   // bytes of a cut header or body that are there
    uint64_t instance_size = 0;         // kPartialInstance
    uint64_t start = 0;                 // the archive start the time rules measured from
    tesra_error_t error = TESRA_SUCCESS;
};

// What a record must agree with. Without a preset records are held to the period table alone;
// with one, also to its objects, their periods and instance sizes, and to the reach of the
// archive's time grid.
class RecordRules {
public:
    RecordRules() = default;
    static RecordRules for_preset() {
        RecordRules rules;
        rules.has_preset_ = true;
        return rules;
    }

    // An object of the preset, with none of its periods yet.
    void add_object(uint32_t obj_id) { objects_.try_emplace(obj_id); }
    // The object samples `period` with instances of `instance_size` bytes.
    void add_period(uint32_t obj_id, uint64_t period, uint64_t instance_size);

    bool has_preset() const { return has_preset_; }
    // The finest period with a time grid (0: none): it bounds how far an archive can reach.
    uint64_t finest_period() const { return finest_period_; }
    // The rules that need no archive start; `*instance_size` is set for kPartialInstance.
    StopReason judge(const RecordHeader &record, uint64_t *instance_size) const;

private:
    struct Periods {
        std::array<uint64_t, TESRA_NUM_PERIODS> instance_size{};
        uint32_t sampled = 0;  // bit per period-table index
    };
    bool has_preset_ = false;
    std::unordered_map<uint32_t, Periods> objects_;
    uint64_t finest_period_ = 0;
};

// Where a scan stands: the offset of the next record to read, and what the records taken so far
// fixed. A scanner started from it goes on as the first one would have.
struct ScanPoint {
    uint64_t offset = 0;
    std::optional<uint64_t> start;      // aligned time of the first record taken
    std::optional<uint64_t> last_time;  // relative time of the last record taken
};

struct ScannedRecord {
    uint64_t offset = 0;
    RecordHeader header{};
    std::span<const std::byte> body;  // when bodies are read; valid until the next step
    StopReason breach = StopReason::kNone;
    uint64_t instance_size = 0;  // kPartialInstance
};

class RecordScanner {
public:
    // Skipping reads one byte of each body (with the next header, so one read per record);
    // reading hands out every body.
    enum class Bodies { kSkip, kRead };

    RecordScanner(StreamSource &source,
                  const RecordRules &rules,
                  Bodies bodies,
                  const ScanPoint &from = {});

    // The next record whose header and body are whole, judged; false when the records cannot
    // be chained any further, and end() says why.
    bool next(ScannedRecord *out);
    // Takes a record as one of the archive's: the first fixes the archive's start, the time
    // rules measure from it, and the last is the time a later stop names.
    void take(const ScannedRecord &record);

    // The stop of a record that breaks a rule (its breach) or that the user refuses.
    ScanStop stop_at(const ScannedRecord &record,
                     StopReason reason,
                     tesra_error_t error = TESRA_SUCCESS) const;
    // Where the chain ended, after next() gave false.
    const ScanStop &end() const { return end_; }
    // Where a scan resumes: after the last record handed out, or at the record that ended the
    // chain.
    ScanPoint point() const { return {offset_, start_, last_time_}; }

private:
    bool finish(StopReason reason, uint64_t got = 0, tesra_error_t error = TESRA_SUCCESS);
    StopReason judge_time(const RecordHeader &record) const;

    StreamSource &source_;
    const RecordRules &rules_;
    Bodies bodies_;
    uint64_t offset_;
    std::optional<uint64_t> start_;
    std::optional<uint64_t> last_time_;
    // The header at offset_, read together with the record before it.
    std::array<std::byte, kRecordHeaderSize> head_{};
    std::size_t head_got_ = 0;
    bool head_read_ = false;
    RecordHeader current_{};
    std::vector<std::byte> buffer_;
    bool ended_ = false;
    ScanStop end_;
};

}  // namespace tesra::format
