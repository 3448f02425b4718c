// The record-stream scanner: see record_scan.h.
#include "format/record_scan.h"

#include <algorithm>
#include <climits>

#include "tesra/tesra_ext_defs.h"

namespace tesra::format {

void RecordRules::add_period(uint32_t obj_id, uint64_t period, uint64_t instance_size) {
    uint32_t index = 0;
    if (tesra_get_period_index(period, &index) != TESRA_SUCCESS) return;
    Periods &periods = objects_[obj_id];
    periods.sampled |= uint32_t{1} << index;
    periods.instance_size[index] = instance_size;
    if (!is_once_per_archive(period) && (finest_period_ == 0 || period < finest_period_)) {
        finest_period_ = period;
    }
}

StopReason RecordRules::judge(const RecordHeader &record, uint64_t *instance_size) const {
    uint32_t index = 0;
    if (tesra_get_period_index(record.period, &index) != TESRA_SUCCESS) {
        return StopReason::kUnknownPeriod;
    }
    if (!has_preset_) return StopReason::kNone;
    auto object = objects_.find(record.obj_id);
    if (object == objects_.end()) return StopReason::kUnknownObject;
    if ((object->second.sampled >> index & 1) == 0) return StopReason::kPeriodNotSampled;
    const uint64_t size = object->second.instance_size[index];
    if (size == 0 || record.size % size != 0) {
        *instance_size = size;
        return StopReason::kPartialInstance;
    }
    return StopReason::kNone;
}

RecordScanner::RecordScanner(StreamSource &source,
                             const RecordRules &rules,
                             Bodies bodies,
                             const ScanPoint &from)
    : source_(source),
      rules_(rules),
      bodies_(bodies),
      offset_(from.offset),
      start_(from.start),
      last_time_(from.last_time) {}

bool RecordScanner::finish(StopReason reason, uint64_t got, tesra_error_t error) {
    ended_ = true;
    end_ = ScanStop{reason, offset_, last_time_, current_, got, 0, start_.value_or(0), error};
    return false;
}

// The writer indexes no record before the start's slot, nor so far after it that a slot table
// would outgrow its bound; a header whose time does so was not written as it reads.
StopReason RecordScanner::judge_time(const RecordHeader &record) const {
    if (!rules_.has_preset() || !start_) return StopReason::kNone;
    const uint64_t s = *start_;
    const uint64_t p = record.period;
    const uint64_t t = aligned_time(record.msecs_since_base, p);
    if (t < s && t < s - s % p) return StopReason::kBeforeStart;
    const bool beyond_own = !is_once_per_archive(p) && t >= s && t / p - s / p >= kMaxSlots;
    const uint64_t f = rules_.finest_period();
    const bool beyond_finest = f != 0 && t > s && t / f - s / f + 1 > kMaxSlots;
    return beyond_own || beyond_finest ? StopReason::kBeyondReach : StopReason::kNone;
}

bool RecordScanner::next(ScannedRecord *out) {
    if (ended_) return false;
    constexpr std::size_t kHeader = kRecordHeaderSize;
    const std::span<std::byte, kHeader> head(head_.data(), kHeader);
    current_ = RecordHeader{};
    if (!head_read_) {
        if (auto rc = source_.read_at(offset_, head, &head_got_); rc != TESRA_SUCCESS) {
            return finish(StopReason::kReadFailed, 0, rc);
        }
        head_read_ = true;
    }
    if (head_got_ == 0) return finish(StopReason::kEnd);
    if (head_got_ < kHeader) return finish(StopReason::kHeaderCut, head_got_);
    current_ = decode_record_header(head);
    const uint32_t size = current_.size;
    // Bounded before anything is read or allocated for the body.
    if (size > kMaxRecordBodySize) return finish(StopReason::kBodyTooLarge);
    uint64_t next = 0;
    if (__builtin_add_overflow(offset_, kHeader + uint64_t{size}, &next) ||
        next > static_cast<uint64_t>(LLONG_MAX)) {
        return finish(StopReason::kOffsetTooLarge);
    }

    ScannedRecord record;
    std::size_t got = 0;
    if (bodies_ == Bodies::kRead) {
        // The body and the next header in one read.
        buffer_.resize(size + kHeader);
        if (auto rc = source_.read_at(offset_ + kHeader, buffer_, &got); rc != TESRA_SUCCESS) {
            return finish(StopReason::kReadFailed, 0, rc);
        }
        if (got < size) return finish(StopReason::kBodyCut, got);
        record.body = std::span<const std::byte>(buffer_.data(), size);
        head_got_ = got - size;
        std::copy_n(buffer_.begin() + size, head_got_, head_.begin());
    } else if (size == 0) {
        if (auto rc = source_.read_at(next, head, &head_got_); rc != TESRA_SUCCESS) {
            return finish(StopReason::kReadFailed, 0, rc);
        }
    } else {
        // The body's last byte with the next header: one read per record, and a body that is
        // not complete yet (a writer still at it) is not handed out.
        std::array<std::byte, kHeader + 1> joined{};
        if (auto rc = source_.read_at(next - 1, joined, &got); rc != TESRA_SUCCESS) {
            return finish(StopReason::kReadFailed, 0, rc);
        }
        if (got == 0) {
            // What the cut body still holds; a source that cannot tell leaves 0.
            buffer_.resize(size);
            std::size_t there = 0;
            if (source_.read_at(offset_ + kHeader, buffer_, &there) != TESRA_SUCCESS) there = 0;
            return finish(StopReason::kBodyCut, there);
        }
        head_got_ = got - 1;
        std::copy_n(joined.begin() + 1, kHeader, head_.begin());
    }

    record.offset = offset_;
    record.header = current_;
    record.breach = rules_.judge(current_, &record.instance_size);
    if (record.breach == StopReason::kNone) record.breach = judge_time(current_);
    offset_ = next;
    *out = record;
    return true;
}

void RecordScanner::take(const ScannedRecord &record) {
    if (!start_) start_ = aligned_time(record.header.msecs_since_base, record.header.period);
    last_time_ = record.header.msecs_since_base;
}

ScanStop RecordScanner::stop_at(const ScannedRecord &record,
                                StopReason reason,
                                tesra_error_t error) const {
    return ScanStop{reason, record.offset,        last_time_,         record.header,
                    0,      record.instance_size, start_.value_or(0), error};
}

}  // namespace tesra::format
