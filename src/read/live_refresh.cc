// Following an archive that its writer is still writing: the index rebuilt at the open grows with
// the records appended since, and once the writer has closed the archive the handle takes the
// index the writer laid out. The scan resumes where the last one stopped and the random-access
// layer goes on from where its forward pass stood, so a refresh costs the new bytes only.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <vector>

#include <zlib.h>

#include "tesra/tesra_int_defs.h"
#include "tesra/tesra_live.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "common/guard.h"
#include "format/record_scan.h"
#include "read/data_stream.h"
#include "read/gz_engine.h"
#include "read/live_index.h"
#include "read/meta_document.h"
#include "read/meta_file.h"
#include "read/read_internal.h"

namespace tesra::read {
namespace {

// Compressed bytes checked again before each refresh: enough to tell another stream or another
// writer's session from the one indexed, small enough to cost nothing beside the new data.
constexpr uint32_t kTailCheckBytes = 4096;
constexpr uint32_t kReaderAccess = 1;

// A file descriptor closed on every path.
class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// CRC of the `size` compressed bytes just before `end`. TESRA_CORRUPT_ARCHIVE when the file no
// longer reaches `end`, TESRA_READ_FAILED when it cannot be read.
tesra_error_t tail_crc(const char *path, uint64_t end, uint32_t size, uint32_t *crc) {
    const Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return TESRA_READ_FAILED;
    if (static_cast<uint64_t>(st.st_size) < end) return TESRA_CORRUPT_ARCHIVE;
    std::array<unsigned char, kTailCheckBytes> buf{};
    const int64_t got = read_file_at(fd.get(), buf.data(), size, end - size);
    if (got < 0) return TESRA_READ_FAILED;
    if (got != static_cast<int64_t>(size)) return TESRA_CORRUPT_ARCHIVE;
    *crc = static_cast<uint32_t>(::crc32(0, buf.data(), size));
    return TESRA_SUCCESS;
}

// The data stream still holds the compressed bytes the index was built from: it is no shorter,
// and the last bytes read before are the same.
tesra_error_t check_stream_unchanged(const tesra_file_handle_t &file, const StreamState &state) {
    if (state.input_taken == 0) return TESRA_SUCCESS;
    uint32_t crc = 0;
    if (auto rc = tail_crc(file.i6_0.data_file_path, state.input_taken, state.tail_size, &crc);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    return crc == state.tail_crc ? TESRA_SUCCESS : TESRA_CORRUPT_ARCHIVE;
}

void set_absolute_times(tesra_file_handle_t &file) {
    auto &f = file.i6_0;
    const uint64_t base = base_time(file);
    file.e6_0.start_time = f.start_time + base;
    file.e6_0.end_time = f.end_time + base;
}

// ---- extending the index from the stream ---------------------------------------------------

struct Taken {
    tesra_period_t *period;
    uint32_t slot;
};

// Takes back the last record entered into `slot`: the writer's index maintenance appends, so
// undoing in reverse order restores each slot exactly.
void untake(const Taken &t) {
    tesra_period_t &p = *t.period;
    uint64_t &entry = p.record_offsets[t.slot];
    if (!format::is_partial_entry(entry)) {
        entry = format::kNoRecord;
        return;
    }
    tesra_iterative_record_offsets_t &list = p.iterative_record_offsets[t.slot];
    if (list.num_offsets > 0) --list.num_offsets;
    if (list.num_offsets <= 1) {
        entry = list.num_offsets == 1 ? list.offsets[0] : format::kNoRecord;
        // An empty list keeps no array: the release frees only what a list counts.
        std::free(list.offsets);
        list = tesra_iterative_record_offsets_t{};
    }
}

// Indexes the whole records that follow `state.indexed_end`; on failure the index is as it was.
tesra_error_t extend_from_stream(tesra_file_handle_t &file, StreamState &state, uint32_t *added) {
    auto &f = file.i6_0;
    tesra_header_handle_t &header = *f.header;
    const uint64_t saved_start = f.start_time, saved_end = f.end_time;
    const uint64_t saved_max_period = f.max_period;

    DataStreamSource source(file);
    const format::RecordRules rules;
    format::RecordScanner scanner(source, rules, format::RecordScanner::Bodies::kSkip,
                                  format::ScanPoint{state.indexed_end, {}, {}});
    std::vector<Taken> taken;
    tesra_error_t rc = TESRA_SUCCESS;
    format::ScannedRecord record;
    while (rc == TESRA_SUCCESS && scanner.next(&record)) {
        // As at the open: a period outside the table is skipped, its body still chains.
        if (record.breach == format::StopReason::kUnknownPeriod) continue;
        const format::RecordHeader &h = record.header;
        const uint64_t t = format::aligned_time(h.msecs_since_base, h.period);
        rc = tesra_update_object_index_v6_0(&file, t, h.period, h.obj_id, record.offset);
        if (rc == TESRA_INVALID_TIMESTAMP) rc = TESRA_CORRUPT_ARCHIVE;
        if (rc != TESRA_SUCCESS) break;
        // The index maintenance found the object and period, so both are there.
        tesra_period_t *period = find_object_period(*header.i6_0.objects[h.obj_id], h.period);
        taken.push_back({period, format::writer_slot(t, f.start_time, h.period)});
    }
    if (rc == TESRA_SUCCESS) {
        switch (scanner.end().reason) {
            case format::StopReason::kReadFailed:
                rc = scanner.end().error;
                break;
            case format::StopReason::kBodyTooLarge:
            case format::StopReason::kOffsetTooLarge:
                rc = TESRA_CORRUPT_ARCHIVE;
                break;
            default:
                break;
        }
    }
    if (rc != TESRA_SUCCESS) {
        std::for_each(taken.rbegin(), taken.rend(), untake);
        f.start_time = saved_start;
        f.end_time = saved_end;
        f.max_period = saved_max_period;
        return rc;
    }
    // The tables keep the room they grew to: trimming them to the span would make the next
    // refresh copy each one again.
    if (f.start_time != format::kUnsetStartTime && f.end_time >= f.start_time) {
        f.duration = f.end_time - f.start_time;
    }
    set_absolute_times(file);
    note_indexed_stream(file, scanner.point().offset);
    *added = static_cast<uint32_t>(std::min<std::size_t>(taken.size(), UINT32_MAX));
    return TESRA_SUCCESS;
}

// ---- taking the closed archive's index -----------------------------------------------------

struct FileHandleDeleter {
    void operator()(tesra_file_handle_t *f) const noexcept { tesra_free_file(f); }
};
using FileHandlePtr = std::unique_ptr<tesra_file_handle_t, FileHandleDeleter>;

// The metadata file read afresh, with the index section it holds now; `*closed` false when it
// has none yet.
tesra_error_t load_written_index(const tesra_file_handle_t &live,
                                 FileHandlePtr &out,
                                 bool *closed) {
    *closed = false;
    FileHandlePtr fresh(c_calloc<tesra_file_handle_t>());
    if (!fresh) return TESRA_NULL_POINTER;
    fresh->major_v = fresh->e6_0.major_v = 6;
    fresh->minor_v = fresh->e6_0.minor_v = 0;
    auto &g = fresh->i6_0;
    g.access_flag = kReaderAccess;
    g.metadata_file_path = c_strdup(live.i6_0.metadata_file_path);
    if (g.metadata_file_path == nullptr) return TESRA_NULL_POINTER;
    g.metadata_file = std::fopen(g.metadata_file_path, "rb");
    if (g.metadata_file == nullptr) return TESRA_FILE_NOT_FOUND;
    // Header building wants an archive with both files; nothing is read from this one.
    g.data_file_path = c_strdup(live.i6_0.data_file_path);
    if (g.data_file_path == nullptr) return TESRA_NULL_POINTER;
    g.data_file = open_data_stream(g.data_file_path, "rb");
    if (g.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    if (auto rc = parse_meta_header(g.metadata_file_path, *fresh); rc != TESRA_SUCCESS) return rc;
    if (!has_index_section(*g.header)) return TESRA_SUCCESS;
    if (auto rc = tesra_parse_object_index_v6_0(fresh.get()); rc != TESRA_SUCCESS) return rc;
    *closed = true;
    out = std::move(fresh);
    return TESRA_SUCCESS;
}

// The offsets of one slot: none, the one record, or the partial records in writing order.
tesra_error_t slot_records(const tesra_period_t &p, uint32_t slot, std::vector<uint64_t> &out) {
    out.clear();
    if (p.record_offsets == nullptr || slot >= p.num_offsets) return TESRA_SUCCESS;
    const uint64_t entry = p.record_offsets[slot];
    if (format::is_empty_entry(entry)) return TESRA_SUCCESS;
    if (!format::is_partial_entry(entry)) {
        out.push_back(entry);
        return TESRA_SUCCESS;
    }
    const tesra_iterative_record_offsets_t *list =
        p.iterative_record_offsets == nullptr ? nullptr : &p.iterative_record_offsets[slot];
    if (list == nullptr || list->num_offsets == 0 || list->offsets == nullptr) {
        return TESRA_CORRUPT_ARCHIVE;
    }
    out.assign(list->offsets, list->offsets + list->num_offsets);
    return TESRA_SUCCESS;
}

tesra_object_handle_t *object_by_id(const tesra_header_handle_t &header, uint32_t id) {
    if (id >= header.i6_0.objects_array_size || header.i6_0.objects == nullptr) return nullptr;
    return header.i6_0.objects[id];
}

// Every object and period of one header is in the other's.
bool same_layout(const tesra_header_handle_t &a, const tesra_header_handle_t &b) {
    for (uint32_t id = 0; id < a.i6_0.objects_array_size; ++id) {
        const tesra_object_handle_t *oa = object_by_id(a, id);
        if (oa == nullptr) continue;
        const tesra_object_handle_t *ob = object_by_id(b, id);
        if (ob == nullptr) return false;
        for (const tesra_period_t *p = oa->i6_0.period_list; p != nullptr; p = p->next_period) {
            if (find_object_period(*ob, p->period) == nullptr) return false;
        }
    }
    return true;
}

// The written index holds, among the records before `indexed_end`, exactly those indexed
// already, slot by slot and in the same order; `*added` counts the records it holds beyond.
tesra_error_t check_written_index(const tesra_file_handle_t &live,
                                  const tesra_file_handle_t &written,
                                  uint64_t indexed_end,
                                  uint32_t *added) {
    const tesra_header_handle_t &lh = *live.i6_0.header;
    const tesra_header_handle_t &wh = *written.i6_0.header;
    if (!same_layout(lh, wh) || !same_layout(wh, lh)) return TESRA_CORRUPT_ARCHIVE;
    const bool has_records = live.i6_0.start_time != format::kUnsetStartTime;
    if (has_records && written.i6_0.start_time != live.i6_0.start_time) {
        return TESRA_CORRUPT_ARCHIVE;
    }
    uint64_t beyond = 0;
    std::vector<uint64_t> had, has;
    for (uint32_t id = 0; id < lh.i6_0.objects_array_size; ++id) {
        const tesra_object_handle_t *o = object_by_id(lh, id);
        if (o == nullptr) continue;
        for (const tesra_period_t *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            const tesra_period_t &w = *find_object_period(*object_by_id(wh, id), p->period);
            const uint32_t slots = std::max(p->num_offsets, w.num_offsets);
            for (uint32_t slot = 0; slot < slots; ++slot) {
                if (auto rc = slot_records(*p, slot, had); rc != TESRA_SUCCESS) return rc;
                if (auto rc = slot_records(w, slot, has); rc != TESRA_SUCCESS) return rc;
                const auto seen = std::stable_partition(
                    has.begin(), has.end(), [&](uint64_t at) { return at < indexed_end; });
                beyond += static_cast<uint64_t>(has.end() - seen);
                has.erase(seen, has.end());
                if (has != had) return TESRA_CORRUPT_ARCHIVE;
            }
        }
    }
    *added = static_cast<uint32_t>(std::min<uint64_t>(beyond, UINT32_MAX));
    return TESRA_SUCCESS;
}

// The live handle takes the written tables, index section and times; the written handle gets
// the old tables and frees them.
void take_written_index(tesra_file_handle_t &live, tesra_file_handle_t &written) {
    tesra_header_handle_t &lh = *live.i6_0.header;
    tesra_header_handle_t &wh = *written.i6_0.header;
    for (uint32_t id = 0; id < lh.i6_0.objects_array_size; ++id) {
        tesra_object_handle_t *o = object_by_id(lh, id);
        if (o == nullptr) continue;
        for (tesra_period_t *p = o->i6_0.period_list; p != nullptr; p = p->next_period) {
            tesra_period_t &w = *find_object_period(*object_by_id(wh, id), p->period);
            std::swap(p->record_offsets, w.record_offsets);
            std::swap(p->iterative_record_offsets, w.iterative_record_offsets);
            std::swap(p->num_offsets, w.num_offsets);
        }
    }
    std::swap(lh.i6_0.object_index, wh.i6_0.object_index);
    std::swap(lh.i6_0.num_objects_sampled, wh.i6_0.num_objects_sampled);
    for (int i = 0; i < TOTAL_NUM_SECTIONS; ++i) {
        lh.i6_0.section_defs[i].section_offset = wh.i6_0.section_defs[i].section_offset;
    }
    auto &f = live.i6_0;
    f.start_time = written.i6_0.start_time;
    f.end_time = written.i6_0.end_time;
    f.duration = written.i6_0.duration;
    set_absolute_times(live);
}

// ---- the calls -----------------------------------------------------------------------------

tesra_error_t refresh(tesra_file_handle_t &file, uint32_t *added) {
    auto &f = file.i6_0;
    if (f.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    if (f.header == nullptr || f.header->i6_0.section_defs == nullptr) return TESRA_NULL_POINTER;
    if (has_index_section(*f.header)) return TESRA_SUCCESS;  // closed: nothing grows
    if (!is_read_only(file)) return TESRA_INVALID_ARGUMENTS;
    StreamState *state = stream_state(file);
    if (state == nullptr) return TESRA_NULL_POINTER;
    if (auto rc = check_stream_unchanged(file, *state); rc != TESRA_SUCCESS) return rc;

    // The metadata file changes only when the writer closes the archive.
    uint64_t meta_size = 0;
    if (auto rc = metadata_file_size(f.metadata_file, &meta_size); rc != TESRA_SUCCESS) return rc;
    if (meta_size != state->meta_size) {
        FileHandlePtr written;
        bool closed = false;
        if (auto rc = load_written_index(file, written, &closed); rc != TESRA_SUCCESS) return rc;
        if (closed) {
            if (auto rc = check_written_index(file, *written, state->indexed_end, added);
                rc != TESRA_SUCCESS) {
                return rc;
            }
            take_written_index(file, *written);
            return TESRA_SUCCESS;
        }
    }
    look_past_stream_end(file);
    return extend_from_stream(file, *state, added);
}

}  // namespace

void note_indexed_stream(tesra_file_handle_t &file, uint64_t indexed_end) noexcept {
    StreamState *state = stream_state(file);
    if (state == nullptr) return;
    state->indexed_end = indexed_end;
    state->input_taken = stream_input_taken(file);
    state->tail_size = static_cast<uint32_t>(std::min<uint64_t>(state->input_taken,
                                                                kTailCheckBytes));
    if (tail_crc(file.i6_0.data_file_path, state->input_taken, state->tail_size,
                 &state->tail_crc) != TESRA_SUCCESS) {
        state->tail_size = 0;
        state->input_taken = 0;
    }
    if (state->meta_size == 0 &&
        metadata_file_size(file.i6_0.metadata_file, &state->meta_size) != TESRA_SUCCESS) {
        state->meta_size = 0;
    }
}

}  // namespace tesra::read

extern "C" tesra_error_t tesra_refresh_data_file(tesra_file_handle_t *file,
                                                 uint32_t *new_records) {
    if (new_records != nullptr) *new_records = 0;
    if (file == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(file)) return TESRA_INVALID_VERSION;
    if (file->e6_0.file_type != 1) return TESRA_INVALID_FILE_TYPE;
    uint32_t added = 0;
    const tesra_error_t rc =
        tesra::guarded([&] { return tesra::read::refresh(*file, &added); });
    if (rc == TESRA_SUCCESS && new_records != nullptr) *new_records = added;
    return rc;
}

extern "C" tesra_error_t tesra_is_being_written(const tesra_file_handle_t *file,
                                                int *being_written) {
    if (file == nullptr || being_written == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (!tesra::read::is_version_6(file)) return TESRA_INVALID_VERSION;
    if (file->e6_0.file_type != 1) return TESRA_INVALID_FILE_TYPE;
    if (file->i6_0.data_file == nullptr) return TESRA_FILE_NOT_FOUND;
    const tesra_header_handle_t *header = file->i6_0.header;
    if (header == nullptr) return TESRA_NULL_POINTER;
    *being_written = tesra::read::has_index_section(*header) ? 0 : 1;
    return TESRA_SUCCESS;
}
