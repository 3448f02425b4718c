// Opening a series: finding the archives its sources name, ordering them by the start their
// names give and checking that they make one node's series, reading store identities only
// where the names cannot tell. Also the calls that hand out members and findings.
#include <glob.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "tesra/tesra_series.h"

#include "common/guard.h"
#include "series/series_internal.h"

namespace tesra::series {
namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool is_directory(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct ParsedName {
    uint32_t file_index = 0;
    uint64_t period = 0;
    uint64_t start = 0;
    uint64_t end = 0;
    bool partial = false;
};

// The name of the archive with base `base`; false when it is no archive name.
bool parse_name(const std::string &base, ParsedName *out) {
    // With its suffix the partial template ("_0000000000000_0000000.") can match.
    std::string path = base + ".meta";
    ParsedName n;
    if (tesra_parse_filename(path.data(), &n.file_index, &n.period, &n.start, &n.end) !=
        TESRA_SUCCESS) {
        return false;
    }
    n.partial = path.find("_0000000000000_0000000.") != std::string::npos;
    *out = n;
    return true;
}

// What the sources name: archive bases (each once) and what was skipped.
class SourceScan {
public:
    explicit SourceScan(Series &series) : series_(series) {}

    // A file met in a directory or a glob: an archive's metadata or data file, or no archive.
    void consider_file(const std::string &path) {
        std::string base;
        if (ends_with(path, ".meta")) {
            base = path.substr(0, path.size() - 5);
        } else if (ends_with(path, ".gz")) {
            base = path.substr(0, path.size() - 3);
            if (!is_file(base + ".meta")) {
                skip(path, "a data stream without its metadata file; skipped");
                return;
            }
        } else {
            skip(path, "not an archive file; skipped");
            return;
        }
        ParsedName name;
        if (!parse_name(base, &name)) {
            skip(path, "not an archive name (<index>_<period>_<start>_<duration>); skipped");
            return;
        }
        add(base);
    }

    tesra_error_t consider_directory(const std::string &dir) {
        std::error_code ec;
        std::vector<std::string> files;
        for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end;
             it.increment(ec)) {
            std::error_code type_ec;
            if (!it->is_regular_file(type_ec)) continue;  // subdirectories are no members
            files.push_back(it->path().string());
        }
        if (ec) return fail(dir, TESRA_FILE_NOT_FOUND, "directory cannot be read");
        std::sort(files.begin(), files.end());  // findings in a stable order
        for (const auto &f : files) consider_file(f);
        return TESRA_SUCCESS;
    }

    void consider_glob(const std::string &pattern) {
        glob_t g{};
        if (::glob(pattern.c_str(), 0, nullptr, &g) == 0) {
            for (size_t i = 0; i < g.gl_pathc; ++i) {
                const std::string path = g.gl_pathv[i];
                if (is_file(path)) consider_file(path);
            }
        }
        ::globfree(&g);
    }

    // A source naming one archive: "<base>", "<base>.meta" or "<base>.gz".
    tesra_error_t consider_base(const std::string &source) {
        std::string base = source;
        if (ends_with(base, ".meta")) {
            base.resize(base.size() - 5);
        } else if (ends_with(base, ".gz")) {
            base.resize(base.size() - 3);
        }
        if (!is_file(base + ".meta")) {
            return fail(source, TESRA_FILE_NOT_FOUND, "no such archive or directory");
        }
        ParsedName name;
        if (!parse_name(base, &name)) {
            return fail(source, TESRA_FILENAME_FORMAT_ERROR,
                        "not an archive name (<index>_<period>_<start>_<duration>)");
        }
        add(base);
        return TESRA_SUCCESS;
    }

    const std::vector<std::string> &bases() const { return bases_; }

private:
    void add(const std::string &base) {
        if (seen_.insert(base).second) bases_.push_back(base);
    }
    void skip(const std::string &path, const std::string &why) {
        Finding f;
        f.kind = TESRA_SERIES_NOT_ARCHIVE;
        f.path = path;
        f.message = path + ": " + why;
        series_.add_finding(std::move(f));
    }
    tesra_error_t fail(const std::string &path, tesra_error_t rc, const std::string &why) {
        Finding f;
        f.kind = TESRA_SERIES_NOT_ARCHIVE;
        f.is_error = true;
        f.path = path;
        f.message = path + ": " + why;
        series_.add_finding(std::move(f));
        return rc;
    }

    Series &series_;
    std::vector<std::string> bases_;
    std::set<std::string> seen_;
};

// A member as first read, with what went wrong reading it (reported once it has its place).
struct Candidate {
    Member member;
    tesra_error_t rc = TESRA_SUCCESS;
    std::string what;
    bool identity_tried = false;
};

// A member from its name alone; a partial name is opened to learn its span.
Candidate read_candidate(const std::string &base) {
    Candidate c;
    Member &m = c.member;
    m.base = base;
    ParsedName name;
    parse_name(base, &name);  // checked when the base was found
    m.file_index = name.file_index;
    m.longest_period = name.period;
    m.partial = name.partial;
    m.name_start = name.start;
    m.name_end = name.end;
    if (!m.partial) return c;

    // A partial name says nothing about the span: the records do.
    uint64_t period = 0, first = 0, last = 0;
    tesra_error_t rc = tesra_get_partial_file_info_v6_0(base.c_str(), &period, &first, &last);
    m.state =
        has_index_section(base) ? TESRA_SERIES_MEMBER_CLOSED : TESRA_SERIES_MEMBER_BEING_WRITTEN;
    if (rc == TESRA_SUCCESS) {
        m.contents_known = true;
        m.span_by_contents = true;
        m.first = first;
        m.last = last;
        if (m.longest_period == 0) m.longest_period = period;
    } else if (rc != TESRA_INVALID_TIMESTAMP) {  // that one only means no record yet
        m.state = TESRA_SERIES_MEMBER_DAMAGED;
        c.rc = rc;
        c.what = "cannot be opened";
    }
    return c;
}

// Reads the store identity of a candidate (once); false when it has none to give or is
// damaged.
bool read_candidate_identity(Candidate &c) {
    if (!c.member.identity_known && !c.identity_tried) {
        c.identity_tried = true;
        if (tesra_error_t rc = read_identity(c.member.base, &c.member); rc != TESRA_SUCCESS) {
            c.member.state = TESRA_SERIES_MEMBER_DAMAGED;
            c.rc = rc;
            c.what = "metadata cannot be read";
        }
    }
    return c.member.identity_known && c.rc == TESRA_SUCCESS;
}

// Where a member goes in the series: its start, an archive without any record last.
uint64_t order_time(const Member &m) {
    if (m.partial && !m.contents_known) return kEndOfTime;
    return m.span_start();
}

tesra_error_t fail_with(Series &s, Finding f, tesra_error_t rc) {
    f.is_error = true;
    s.add_finding(std::move(f));
    return rc;
}

// Keeps the members of one node; the result code when the sources do not allow it.
tesra_error_t choose_node(Series &s, std::vector<Candidate> &all) {
    std::map<std::string, std::vector<size_t>> by_node;
    std::vector<std::string> order;
    for (size_t i = 0; i < all.size(); ++i) {
        if (!all[i].member.identity_known) continue;
        const std::string key = node_key(all[i].member);
        if (by_node[key].empty()) order.push_back(key);
        by_node[key].push_back(i);
    }
    std::vector<std::string> kept;
    for (const auto &key : order) {
        const Member &m = all[by_node[key].front()].member;
        if (s.node().empty() || m.hostname == s.node()) kept.push_back(key);
    }
    auto describe = [&](const std::string &key) {
        const auto &ids = by_node[key];
        const Member &m = all[ids.front()].member;
        Finding f;
        f.kind = TESRA_SERIES_NODES;
        f.path = m.base;
        f.message =
            node_label(m) + ": " + std::to_string(ids.size()) + " archive(s), such as " + m.base;
        return f;
    };
    if (!s.node().empty() && kept.empty() && !order.empty()) {
        Finding f;
        f.kind = TESRA_SERIES_NODES;
        f.is_error = true;
        f.message = "no archive of node '" + s.node() + "' among the archives found";
        s.add_finding(std::move(f));
        for (const auto &key : order) s.add_finding(describe(key));
        return TESRA_FILE_NOT_FOUND;
    }
    if (kept.size() > 1) {
        Finding f;
        f.kind = TESRA_SERIES_NODES;
        f.is_error = true;
        f.message = "the archives belong to " + std::to_string(kept.size()) + " nodes; choose one";
        s.add_finding(std::move(f));
        for (const auto &key : kept) s.add_finding(describe(key));
        return TESRA_INVALID_ARGUMENTS;
    }
    if (order.size() > 1) {
        std::vector<Candidate> mine;
        for (auto &c : all) {
            // Unreadable metadata gives no node; such archives stay, reported as damaged.
            if (!c.member.identity_known || node_key(c.member) == kept.front()) {
                mine.push_back(std::move(c));
            }
        }
        all = std::move(mine);
    }
    return TESRA_SUCCESS;
}

// What makes `all` (in series order) no series: two members with one file index, or a later
// file index starting before an earlier one.
std::optional<std::pair<Finding, tesra_error_t>> find_order_fault(
    const std::vector<Candidate> &all) {
    std::map<uint32_t, size_t> by_index;
    for (size_t i = 0; i < all.size(); ++i) {
        auto [it, fresh] = by_index.emplace(all[i].member.file_index, i);
        if (fresh) continue;
        Finding f;
        f.kind = TESRA_SERIES_DUPLICATE_INDEX;
        f.member = it->second;
        f.other = i;
        f.path = all[i].member.base;
        f.message = all[it->second].member.base + " and " + all[i].member.base +
                    " carry the same file index " + std::to_string(all[i].member.file_index);
        return std::pair{std::move(f), TESRA_CORRUPT_ARCHIVE};
    }
    size_t newest = TESRA_SERIES_NO_MEMBER;  // highest file index so far, in time order
    for (size_t i = 0; i < all.size(); ++i) {
        const Member &m = all[i].member;
        if (m.state == TESRA_SERIES_MEMBER_DAMAGED || order_time(m) == kEndOfTime) continue;
        if (newest != TESRA_SERIES_NO_MEMBER && m.file_index < all[newest].member.file_index) {
            const Member &n = all[newest].member;
            Finding f;
            f.kind = TESRA_SERIES_TIME_BACKWARDS;
            f.member = i;
            f.other = newest;
            f.path = n.base;
            f.message = n.base + " (file index " + std::to_string(n.file_index) + ") starts at " +
                        format_time(n.span_start()) + ", before " + m.base + " (file index " +
                        std::to_string(m.file_index) + ") at " + format_time(m.span_start()) +
                        ": time goes backwards in the series";
            return std::pair{std::move(f), TESRA_INVALID_TIMESTAMP};
        }
        if (newest == TESRA_SERIES_NO_MEMBER || m.file_index > all[newest].member.file_index) {
            newest = i;
        }
    }
    return std::nullopt;
}

// Whether the names alone make one node's series: they fit together in order, no node was
// asked for, and the first and the last readable member are of one node. Then only those two
// identities are read here; every other member is checked when a call reads it.
bool names_decide(const Series &s, std::vector<Candidate> &all) {
    if (!s.node().empty() || find_order_fault(all)) return false;
    size_t first = 0;
    while (first < all.size() && !read_candidate_identity(all[first])) ++first;
    size_t last = all.size();
    while (last > first + 1 && !read_candidate_identity(all[last - 1])) --last;
    return first + 1 >= last || node_key(all[first].member) == node_key(all[last - 1].member);
}

tesra_error_t build(Series &s, const char *const *sources, size_t num_sources) {
    SourceScan scan(s);
    for (size_t i = 0; i < num_sources; ++i) {
        const std::string source = sources[i];
        tesra_error_t rc = TESRA_SUCCESS;
        if (is_directory(source)) {
            rc = scan.consider_directory(source);
        } else if (source.find_first_of("*?[") != std::string::npos) {
            scan.consider_glob(source);
        } else {
            rc = scan.consider_base(source);
        }
        if (rc != TESRA_SUCCESS) return rc;
    }
    if (scan.bases().empty()) {
        Finding f;
        f.kind = TESRA_SERIES_EMPTY;
        f.message = "no archive found in ";
        for (size_t i = 0; i < num_sources; ++i) {
            f.message += (i ? ", " : "") + std::string(sources[i]);
        }
        return fail_with(s, std::move(f), TESRA_FILE_NOT_FOUND);
    }

    std::vector<Candidate> all;
    all.reserve(scan.bases().size());
    for (const auto &base : scan.bases()) all.push_back(read_candidate(base));
    std::stable_sort(all.begin(), all.end(), [](const Candidate &a, const Candidate &b) {
        const uint64_t ta = order_time(a.member), tb = order_time(b.member);
        if (ta != tb) return ta < tb;
        return a.member.file_index < b.member.file_index;
    });
    if (!names_decide(s, all)) {
        // Names that do not fit together may be those of several nodes, and a node asked for
        // must be found: every identity is read and the node's archives are kept.
        for (auto &c : all) read_candidate_identity(c);
        if (auto rc = choose_node(s, all); rc != TESRA_SUCCESS) return rc;
    }
    if (auto fault = find_order_fault(all)) {
        return fail_with(s, std::move(fault->first), fault->second);
    }

    auto &members = s.members();
    members.reserve(all.size());
    for (auto &c : all) members.push_back(std::move(c.member));
    for (size_t i = 0; i < members.size(); ++i) {
        if (members[i].identity_known && all[i].rc == TESRA_SUCCESS) {
            s.set_node(i);
            break;
        }
    }
    tesra_error_t first_failure = TESRA_SUCCESS;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].rc == TESRA_SUCCESS) continue;
        s.mark_damaged(i, all[i].rc, all[i].what);
        if (first_failure == TESRA_SUCCESS) first_failure = all[i].rc;
    }
    if (s.strict() && first_failure != TESRA_SUCCESS) return first_failure;
    s.layout_windows();
    s.report_gaps_and_overlaps();
    return TESRA_SUCCESS;
}

const char *c_text(const std::string &s, bool known) {
    return known ? s.c_str() : nullptr;
}

}  // namespace
}  // namespace tesra::series

using tesra::series::Series;

extern "C" tesra_error_t tesra_series_open(const char *const *sources,
                                           size_t num_sources,
                                           const tesra_series_options_t *options,
                                           tesra_series_t **out) {
    if (sources == nullptr || out == nullptr || num_sources == 0) return TESRA_INVALID_ARGUMENTS;
    for (size_t i = 0; i < num_sources; ++i) {
        if (sources[i] == nullptr) return TESRA_INVALID_ARGUMENTS;
    }
    tesra_series_options_t opt{};
    if (options != nullptr) opt = *options;
    const uint32_t max_open = opt.max_open != 0 ? opt.max_open : TESRA_SERIES_DEFAULT_MAX_OPEN;
    tesra_series *made = nullptr;
    tesra_error_t rc = tesra::guarded([&] {
        std::unique_ptr<tesra_series> series(
            new tesra_series(opt.strict != 0, max_open, opt.node != nullptr ? opt.node : ""));
        tesra_error_t result = tesra::series::build(*series, sources, num_sources);
        // A failed series keeps its findings only, so that no half-checked member is read.
        if (result != TESRA_SUCCESS) series->members().clear();
        made = series.release();
        return result;
    });
    if (made == nullptr) return rc;
    *out = made;
    return rc;
}

extern "C" void tesra_series_close(tesra_series_t *series) {
    delete series;
}

extern "C" size_t tesra_series_member_count(const tesra_series_t *series) {
    return series != nullptr ? series->members().size() : 0;
}

extern "C" tesra_error_t tesra_series_get_member(const tesra_series_t *series,
                                                 size_t index,
                                                 tesra_series_member_t *out) {
    if (series == nullptr || out == nullptr || index >= series->members().size()) {
        return TESRA_INVALID_ARGUMENTS;
    }
    const tesra::series::Member &m = series->members()[index];
    using tesra::series::c_text;
    tesra_series_member_t r{};
    r.base = m.base.c_str();
    r.file_index = m.file_index;
    r.longest_period = m.longest_period;
    r.hostname = c_text(m.hostname, m.identity_known);
    r.cluster_id = c_text(m.cluster_id, m.identity_known);
    r.cluster_name = c_text(m.cluster_name, m.identity_known);
    r.process_name = c_text(m.process_name, m.identity_known);
    r.store_name = c_text(m.store_name, m.identity_known);
    r.node_uuid = c_text(m.node_uuid, m.uuid_known);
    r.name_start = m.partial ? 0 : m.name_start;
    r.name_end = m.partial ? 0 : m.name_end;
    r.contents_known = m.contents_known ? 1 : 0;
    r.contents_first = m.first;
    r.contents_last = m.last;
    r.window_start = m.window_start;
    r.window_end = m.window_end;
    r.state = m.state;
    *out = r;
    return TESRA_SUCCESS;
}

extern "C" tesra_error_t tesra_series_open_member(tesra_series_t *series,
                                                  size_t index,
                                                  tesra_file_handle_t **out) {
    if (series == nullptr || out == nullptr || index >= series->members().size()) {
        return TESRA_INVALID_ARGUMENTS;
    }
    return tesra::guarded([&] {
        tesra::series::OpenArchive a;
        if (auto rc = series->take(index, &a); rc != TESRA_SUCCESS) return rc;
        *out = a.file;  // the caller's from now on; the series forgets it
        return TESRA_SUCCESS;
    });
}

extern "C" tesra_error_t tesra_series_check_members(tesra_series_t *series,
                                                    uint64_t from,
                                                    uint64_t to) {
    if (series == nullptr) return TESRA_INVALID_ARGUMENTS;
    if (from > to) return TESRA_INVALID_TIMESTAMP;
    return tesra::guarded([&] { return series->check_members(from, to); });
}

extern "C" size_t tesra_series_finding_count(const tesra_series_t *series) {
    return series != nullptr ? series->findings().size() : 0;
}

extern "C" tesra_error_t tesra_series_get_finding(const tesra_series_t *series,
                                                  size_t index,
                                                  tesra_series_finding_t *out) {
    if (series == nullptr || out == nullptr || index >= series->findings().size()) {
        return TESRA_INVALID_ARGUMENTS;
    }
    const tesra::series::Finding &f = series->findings()[index];
    tesra_series_finding_t r{};
    r.kind = f.kind;
    r.is_error = f.is_error ? 1 : 0;
    r.member = f.member;
    r.other = f.other;
    r.path = f.path.c_str();
    r.from = f.from;
    r.to = f.to;
    r.message = f.message.c_str();
    *out = r;
    return TESRA_SUCCESS;
}
