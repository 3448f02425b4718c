// Members of a series: what opening one teaches about it, the windows each answers for, gaps
// and overlaps between them, findings, and the small cache that keeps a few of them open.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "tesra/tesra_ext_defs.h"

#include "series/series_internal.h"

namespace tesra::series {

uint64_t Member::span_start() const {
    return span_by_contents ? first : name_start;
}

uint64_t Member::span_end() const {
    if (!span_by_contents) return name_end;
    // The last sample stands for the period that follows it.
    const uint64_t step = std::max<uint64_t>(longest_period, 1);
    return last > kEndOfTime - step ? kEndOfTime : last + step;
}

bool Member::meets(uint64_t from, uint64_t to) const {
    if (window_start < window_end && window_start < to && from < window_end) return true;
    const uint64_t start = span_start();
    return start < to && from < std::max(span_end(), start + 1);
}

std::string error_label(tesra_error_t rc) {
    if (rc >= 0 && rc < TESRA_ERROR_CODES_MAX_INDEX) return tesra_error_labels[rc];
    return std::to_string(static_cast<int>(rc));
}

std::string format_time(uint64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm parts {};
    char text[64];
    if (gmtime_r(&seconds, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts) == 0) {
        return std::to_string(ms);
    }
    char out[96];
    std::snprintf(out, sizeof out, "%s.%03uZ", text, static_cast<unsigned>(ms % 1000));
    return out;
}

bool has_index_section(const std::string &base) {
    const std::string path = base + ".meta";
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    // The document ends in one 0x00 byte; the index section, written when the writer closes
    // the archive, follows it.
    bool found_end = false;
    bool more = false;
    char buffer[8192];
    size_t n = 0;
    while (!more && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        size_t from = 0;
        if (!found_end) {
            const void *zero = std::memchr(buffer, 0, n);
            if (zero == nullptr) continue;
            found_end = true;
            from = static_cast<size_t>(static_cast<const char *>(zero) - buffer) + 1;
        }
        more = from < n;
    }
    std::fclose(f);
    return more;
}

Series::~Series() {
    for (auto &a : cache_) tesra_close_data_file(a.file);
}

void Series::add_finding(Finding f) {
    if (!seen_.emplace(static_cast<int>(f.kind), f.message).second) return;
    findings_.push_back(std::move(f));
}

void Series::mark_damaged(size_t index,
                          tesra_error_t rc,
                          const std::string &what,
                          bool records_read) {
    Member &m = members_[index];
    m.state = TESRA_SERIES_MEMBER_DAMAGED;
    Finding f;
    f.kind = TESRA_SERIES_DAMAGED;
    f.is_error = strict_;
    f.member = index;
    f.path = m.base;
    // A walk has handed out the samples it read before the damage; saying the archive was
    // skipped would disown rows the caller already holds.
    const char *fate = strict_        ? ""
                       : records_read ? "; read up to the damage, the rest of the archive skipped"
                                      : "; archive skipped";
    f.message = m.base + ": " + what + ": " + error_label(rc) + fate;
    add_finding(std::move(f));
    layout_windows();
}

void Series::set_node(size_t index) {
    node_member_ = index;
}

tesra_error_t Series::check_node(size_t index) {
    const Member &m = members_[index];
    if (!m.identity_known) return TESRA_SUCCESS;
    if (node_member_ == TESRA_SERIES_NO_MEMBER) {
        set_node(index);
        return TESRA_SUCCESS;
    }
    const Member &ours = members_[node_member_];
    if (node_key(m) == node_key(ours)) return TESRA_SUCCESS;
    Finding f;
    f.kind = TESRA_SERIES_NODES;
    f.is_error = true;
    f.member = node_member_;
    f.other = index;
    f.path = m.base;
    f.message = m.base + ": an archive of " + node_label(m) + ", not of " + node_label(ours) +
                " as " + ours.base + ": the archives belong to several nodes; choose one";
    add_finding(std::move(f));
    return TESRA_INVALID_ARGUMENTS;
}

tesra_error_t Series::check_members(uint64_t from, uint64_t to) {
    for (size_t i = 0; i < members_.size(); ++i) {
        Member &m = members_[i];
        if (m.state == TESRA_SERIES_MEMBER_DAMAGED || !m.meets(from, to)) continue;
        if (!m.identity_known) {
            if (auto rc = read_identity(m.base, &m); rc != TESRA_SUCCESS) {
                mark_damaged(i, rc, "metadata cannot be read");
                if (strict_) return rc;
                continue;
            }
        }
        if (auto rc = check_node(i); rc != TESRA_SUCCESS) return rc;
    }
    return TESRA_SUCCESS;
}

void Series::learn_contents(size_t index,
                            tesra_file_handle_t *file,
                            const tesra_system_def_t_v6_0 &system) {
    Member &m = members_[index];
    if (system.node_uuid != nullptr) {
        m.node_uuid = system.node_uuid;
        m.uuid_known = true;
        for (size_t i = 0; i < members_.size(); ++i) {
            const Member &o = members_[i];
            if (i == index || !o.uuid_known || o.node_uuid == m.node_uuid) continue;
            Finding f;
            f.kind = TESRA_SERIES_NODES;
            f.member = i;
            f.other = index;
            f.path = m.base;
            f.message = m.base + ": node uuid " + m.node_uuid + " differs from " + o.node_uuid +
                        " of " + o.base + " under the same store identity";
            add_finding(std::move(f));
            break;
        }
    }
    m.state =
        has_index_section(m.base) ? TESRA_SERIES_MEMBER_CLOSED : TESRA_SERIES_MEMBER_BEING_WRITTEN;
    tesra_file_def_t info{};
    tesra_set_latest_version(&info);
    if (tesra_get_file_info(file, &info) != TESRA_SUCCESS || info.start_time > info.end_time) {
        return;  // no record yet: nothing to learn about the span
    }
    m.contents_known = true;
    m.first = info.start_time;
    m.last = info.end_time;
    if (m.partial) {
        m.span_by_contents = true;
    } else if (m.first < m.name_start || m.last >= m.name_end) {
        m.span_by_contents = true;
        Finding f;
        f.kind = TESRA_SERIES_SPAN_MISMATCH;
        f.member = index;
        f.path = m.base;
        f.from = m.span_start();
        f.to = m.span_end();
        f.message = m.base + ": its name gives " + format_time(m.name_start) + " to " +
                    format_time(m.name_end) + " but it holds samples from " + format_time(m.first) +
                    " to " + format_time(m.last) + "; its contents are used";
        add_finding(std::move(f));
    }
    layout_windows();
}

tesra_error_t Series::take(size_t index, OpenArchive *out) {
    for (auto it = cache_.begin(); it != cache_.end(); ++it) {
        if (it->member != index) continue;
        *out = *it;
        cache_.erase(it);
        return TESRA_SUCCESS;
    }
    Member &m = members_[index];
    // A member already known to be another node's is refused before it is opened again.
    if (auto rc = check_node(index); rc != TESRA_SUCCESS) return rc;
    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *data = nullptr;
    tesra_error_t rc = tesra_open_data_file(m.base.c_str(), "r", &file, &meta, &data);
    if (rc != TESRA_SUCCESS) {
        mark_damaged(index, rc, "cannot be opened");
        return rc;
    }
    tesra_header_handle_t *header = nullptr;
    if (rc = tesra_get_header(file, &header); rc != TESRA_SUCCESS || header == nullptr) {
        tesra_close_data_file(file);
        if (rc == TESRA_SUCCESS) rc = TESRA_FILE_NOT_FOUND;
        mark_damaged(index, rc, "has no header");
        return rc;
    }
    tesra_system_def_t_v6_0 system{};
    tesra_set_latest_version(&system);
    const bool have_system = tesra_get_system_info(header, &system) == TESRA_SUCCESS;
    if (!have_system) system = {};
    if (!m.identity_known && have_system) {
        // The open archive gives its identity without a second parse of its metadata.
        auto text = [](const char *s) { return std::string(s != nullptr ? s : ""); };
        m.hostname = text(system.hostname);
        m.cluster_id = text(system.cluster_id);
        m.cluster_name = text(system.cluster_name);
        m.process_name = text(system.process_name);
        m.store_name = text(system.store_name);
        m.identity_known = true;
    }
    if (rc = check_node(index); rc != TESRA_SUCCESS) {
        tesra_close_data_file(file);
        return rc;
    }
    if (!m.contents_known || !m.uuid_known) learn_contents(index, file, system);
    *out = OpenArchive{index, file, header};
    return TESRA_SUCCESS;
}

void Series::give_back(OpenArchive archive) {
    if (archive.file == nullptr) return;
    cache_.push_back(archive);
    while (cache_.size() > max_open_) {
        tesra_close_data_file(cache_.front().file);
        cache_.erase(cache_.begin());
    }
}

void Series::close_archive(OpenArchive archive) {
    if (archive.file != nullptr) tesra_close_data_file(archive.file);
}

void Series::layout_windows() {
    size_t previous = TESRA_SERIES_NO_MEMBER;
    for (size_t i = 0; i < members_.size(); ++i) {
        Member &m = members_[i];
        if (m.state == TESRA_SERIES_MEMBER_DAMAGED) {
            m.window_start = m.window_end = 0;
            continue;
        }
        m.window_start = m.span_start();
        m.window_end = std::max(m.window_start, m.span_end());
        if (previous != TESRA_SERIES_NO_MEMBER) {
            Member &p = members_[previous];
            // The later file index wins where the two meet.
            if (m.window_start < p.window_end)
                p.window_end = std::max(p.window_start, m.window_start);
        }
        previous = i;
    }
    // The newest archive still grows: it answers for everything after its start.
    if (previous != TESRA_SERIES_NO_MEMBER &&
        members_[previous].state == TESRA_SERIES_MEMBER_BEING_WRITTEN) {
        members_[previous].window_end = kEndOfTime;
    }
}

void Series::report_gaps_and_overlaps() {
    size_t previous = TESRA_SERIES_NO_MEMBER;
    for (size_t i = 0; i < members_.size(); ++i) {
        const Member &m = members_[i];
        if (m.state == TESRA_SERIES_MEMBER_DAMAGED) continue;
        if (m.span_start() == m.span_end()) continue;  // nothing known about its span yet
        if (previous != TESRA_SERIES_NO_MEMBER) {
            const Member &p = members_[previous];
            Finding f;
            f.member = previous;
            f.other = i;
            if (p.span_end() < m.span_start()) {
                f.kind = TESRA_SERIES_GAP;
                f.from = p.span_end();
                f.to = m.span_start();
                f.message = "no archive covers " + format_time(f.from) + " to " +
                            format_time(f.to) + " (between " + p.base + " and " + m.base + ")";
                add_finding(std::move(f));
            } else if (m.span_start() < p.span_end()) {
                f.kind = TESRA_SERIES_OVERLAP;
                f.from = m.span_start();
                f.to = std::min(p.span_end(), m.span_end());
                f.message = p.base + " and " + m.base + " both cover " + format_time(f.from) +
                            " to " + format_time(f.to) + "; the records of " + m.base +
                            " are used there";
                add_finding(std::move(f));
            }
        }
        previous = i;
    }
}

std::vector<size_t> Series::members_meeting(uint64_t from, uint64_t to) const {
    std::vector<size_t> out;
    for (size_t i = 0; i < members_.size(); ++i) {
        const Member &m = members_[i];
        if (m.state == TESRA_SERIES_MEMBER_DAMAGED || m.window_start >= m.window_end) continue;
        if (m.window_start < to && from < m.window_end) out.push_back(i);
    }
    return out;
}

}  // namespace tesra::series
