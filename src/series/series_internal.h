// The series behind the C handle: its members in series order, its findings, and a small cache
// of open archives. Shared by the sources of libtesraseries only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tesra/tesra_series.h"

namespace tesra::series {

// Lays an unbounded window end over UINT64_MAX, the end of time.
inline constexpr uint64_t kEndOfTime = UINT64_MAX;

struct Member {
    std::string base;
    uint32_t file_index = 0;
    uint64_t longest_period = 0;
    bool partial = false;
    bool identity_known = false;
    std::string hostname, cluster_id, cluster_name, process_name, store_name;
    bool uuid_known = false;
    std::string node_uuid;
    uint64_t name_start = 0;
    uint64_t name_end = 0;
    bool contents_known = false;
    uint64_t first = 0;  // first and last sample time the archive holds
    uint64_t last = 0;
    bool span_by_contents = false;  // name and contents disagree: the contents rule
    uint64_t window_start = 0;
    uint64_t window_end = 0;
    tesra_series_state_t state = TESRA_SERIES_MEMBER_CLOSED;

    uint64_t span_start() const;
    uint64_t span_end() const;
    // Whether the member has anything to say about [from, to): its window or its span meets it
    // (a member without any known span meets only a range from 0).
    bool meets(uint64_t from, uint64_t to) const;
};

struct Finding {
    tesra_series_finding_kind_t kind = TESRA_SERIES_GAP;
    bool is_error = false;
    size_t member = TESRA_SERIES_NO_MEMBER;
    size_t other = TESRA_SERIES_NO_MEMBER;
    std::string path;
    uint64_t from = 0;
    uint64_t to = 0;
    std::string message;
};

// An open archive lent out by the cache: whoever holds it owns it until it gives it back.
struct OpenArchive {
    size_t member = TESRA_SERIES_NO_MEMBER;
    tesra_file_handle_t *file = nullptr;
    tesra_header_handle_t *header = nullptr;
};

class Series {
public:
    Series(bool strict, uint32_t max_open, std::string node)
        : strict_(strict), max_open_(max_open), node_(std::move(node)) {}
    ~Series();
    Series(const Series &) = delete;
    Series &operator=(const Series &) = delete;

    bool strict() const { return strict_; }
    const std::string &node() const { return node_; }
    std::vector<Member> &members() { return members_; }
    const std::vector<Member> &members() const { return members_; }
    const std::deque<Finding> &findings() const { return findings_; }

    // Adds a finding unless the same kind and message is already there, so that asking a
    // question twice does not repeat what it found.
    void add_finding(Finding f);

    // Takes member `index` open from the cache, or opens it; the caller gives it back with
    // give_back (or closes it). Learns the member's contents on its first open. A member that
    // cannot be opened is marked damaged and reported.
    tesra_error_t take(size_t index, OpenArchive *out);
    // Returns an archive to the cache, closing the least recently used past max_open.
    void give_back(OpenArchive archive);
    // Closes an archive a walk has finished with: a walk goes on to later members, and the
    // buffers of one it has left are better given to the next one than kept.
    void close_archive(OpenArchive archive);
    // Marks a member damaged (a read failed in it), with a finding naming it and saying what
    // became of it: skipped whole, or, with `records_read`, read up to the damage.
    void mark_damaged(size_t index,
                      tesra_error_t rc,
                      const std::string &what,
                      bool records_read = false);
    // Whether a call goes on past member `index` after reading it failed: it was found
    // damaged and the series is not strict (another node's archive always fails the call).
    bool skippable(size_t index) const {
        return !strict_ && members_[index].state == TESRA_SERIES_MEMBER_DAMAGED;
    }
    // The node the series reads: that of member `index`, whose identity is known.
    void set_node(size_t index);
    // Refuses member `index` when its store identity, once known, is another node's than the
    // series' (a finding says so); the first identity known sets the series' node.
    tesra_error_t check_node(size_t index);
    // Reads, without opening them, the store identity of every member that meets [from, to)
    // and is not known yet, and checks each as check_node does.
    tesra_error_t check_members(uint64_t from, uint64_t to);
    // Archives the cache holds open now (for tests of the bound).
    size_t cached() const { return cache_.size(); }

    // Recomputes every member's window from the spans known now: each member answers for its
    // span up to where the next member (a later file index) starts.
    void layout_windows();
    // Reports gaps and overlaps between consecutive members.
    void report_gaps_and_overlaps();

    // Positions of the usable members whose window meets [from, to), in series order.
    std::vector<size_t> members_meeting(uint64_t from, uint64_t to) const;

private:
    void learn_contents(size_t index,
                        tesra_file_handle_t *file,
                        const tesra_system_def_t_v6_0 &system);

    bool strict_;
    uint32_t max_open_;
    std::string node_;
    // Member whose store identity the others must share; NO_MEMBER until one is known.
    size_t node_member_ = TESRA_SERIES_NO_MEMBER;
    std::vector<Member> members_;
    std::deque<Finding> findings_;
    std::set<std::pair<int, std::string>> seen_;
    std::vector<OpenArchive> cache_;  // most recently used last
};

// A counter's definition as one member gives it, copied out of the reader.
struct CounterDef {
    tesra_counter_handle_t *handle = nullptr;  // in the member it was read from
    std::string name;
    std::string desc;
    uint32_t id = 0;
    uint32_t ctype = 0;
    uint32_t size = 0;
    bool is_key = false;
    std::vector<uint64_t> periods;
    std::vector<std::string> x_names;
    std::vector<std::string> y_names;

    uint32_t num_values() const;
    tesra_cnt_data_type_t value_type() const;
    bool sampled_at(uint64_t period) const;
    // Same id, type, size, key flag and labels: values of one read as values of the other.
    bool same_shape(const CounterDef &o) const;
    // What differs from `o`, for messages ("" when nothing that same_shape looks at).
    std::string difference(const CounterDef &o) const;
};

// Every counter of `object` in ascending id (key counters included).
tesra_error_t read_counters(tesra_object_handle_t *object, std::vector<CounterDef> *out);
// The object's periods, ascending.
tesra_error_t read_object_periods(tesra_object_handle_t *object, std::vector<uint64_t> *out);

// Store identity of `base` from the head of its metadata document into `m`; false when the
// head does not give it plainly (the full parse then decides).
bool read_identity_head(const std::string &base, Member *m);
// Store identity of `base` into `m` (identity_known set): from the head when it gives it
// plainly, else through the reader's full parse, whose code a failure is.
tesra_error_t read_identity(const std::string &base, Member *m);
// What tells nodes apart (host, cluster id, store) and how a message names one.
std::string node_key(const Member &m);
std::string node_label(const Member &m);

// Whether the metadata file of `base` holds an index section (its writer closed the archive).
bool has_index_section(const std::string &base);

// "<label>" of a result code, for messages.
std::string error_label(tesra_error_t rc);
// Absolute ms as "2026-12-08T10:00:00.000Z", for messages.
std::string format_time(uint64_t ms);

}  // namespace tesra::series

// The C handles are the C++ objects.
struct tesra_series : tesra::series::Series {
    using Series::Series;
};
