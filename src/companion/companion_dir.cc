// libtesradir: turns a folder of archives into a directory record, and a folder of store
// folders into a collection record, in the layouts that libtesrautil releases.
#include <dirent.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "tesra/tesra_int_defs.h"

#include "common/c_memory.h"
#include "common/guard.h"
#include "tesra_companion.h"

namespace tesra::companion {
namespace {

constexpr std::string_view kMetaSuffix = ".meta";
constexpr std::string_view kDataSuffix = ".gz";
// First size of a growing array; it doubles from here.
constexpr uint32_t kInitialArraySize = 16;

struct ArchiveEntry {
    std::string base;  // path without suffix
    uint32_t file_index;
    uint64_t period;
    uint64_t start_time;
    uint64_t end_time;
};

struct DirDeleter {
    void operator()(tesra_directory_handle_t *d) const noexcept { tesra_free_directory(d); }
};
struct CollectionDeleter {
    void operator()(tesra_collection_handle_t *c) const noexcept { tesra_free_collection(c); }
};

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() > suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

std::string join(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
}

bool is_directory(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The names in a folder, sorted so that listings do not depend on the file system's order.
tesra_error_t read_names(const std::string &dir, std::vector<std::string> *out) {
    std::unique_ptr<DIR, int (*)(DIR *)> d(::opendir(dir.c_str()), &::closedir);
    if (!d) return TESRA_FILE_NOT_FOUND;
    std::vector<std::string> names;
    while (const dirent *e = ::readdir(d.get())) {
        const std::string_view name(e->d_name);
        if (name != "." && name != "..") names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    *out = std::move(names);
    return TESRA_SUCCESS;
}

// Archives of one folder: metadata files whose base is an archive name.
tesra_error_t scan_archives(const std::string &dir, std::vector<ArchiveEntry> *out) {
    std::vector<std::string> names;
    if (auto rc = read_names(dir, &names); rc != TESRA_SUCCESS) return rc;
    std::vector<ArchiveEntry> entries;
    for (const std::string &name : names) {
        if (!ends_with(name, kMetaSuffix)) continue;
        ArchiveEntry e{
            join(dir, std::string_view(name).substr(0, name.size() - kMetaSuffix.size())), 0, 0, 0,
            0};
        if (tesra_parse_filename(e.base.data(), &e.file_index, &e.period, &e.start_time,
                                 &e.end_time) == TESRA_SUCCESS)
            entries.push_back(std::move(e));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto &a, const auto &b) { return a.file_index < b.file_index; });
    *out = std::move(entries);
    return TESRA_SUCCESS;
}

tesra_error_t fill_file_def(const ArchiveEntry &e, tesra_file_def_t_v6_0 &def) {
    tesra_set_latest_version(&def);
    def.file_index = e.file_index;
    def.start_time = e.start_time;
    def.end_time = e.end_time;
    def.file_path = tesra::c_strdup(e.base.c_str());
    def.meta_path = tesra::c_strdup((e.base + std::string(kMetaSuffix)).c_str());
    def.data_path = tesra::c_strdup((e.base + std::string(kDataSuffix)).c_str());
    if (!def.file_path || !def.meta_path || !def.data_path) return TESRA_NULL_POINTER;
    return TESRA_SUCCESS;
}

uint32_t grown_size(std::size_t needed) {
    uint32_t size = kInitialArraySize;
    while (size < needed) size *= 2;
    return size;
}

// A file-record array for `entries`, with room to grow; `*out_size` is its allocated slots.
// The records are filled in place, so a failure leaves a releasable array behind.
tesra_error_t make_file_defs(const std::vector<ArchiveEntry> &entries,
                             tesra_file_def_t_v6_0 **out,
                             uint32_t *out_size,
                             uint32_t *out_count) {
    const uint32_t size = grown_size(entries.size());
    auto *defs = tesra::c_calloc<tesra_file_def_t_v6_0>(size);
    if (defs == nullptr) return TESRA_NULL_POINTER;
    *out = defs;
    *out_size = size;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        *out_count = static_cast<uint32_t>(i + 1);
        if (auto rc = fill_file_def(entries[i], defs[i]); rc != TESRA_SUCCESS) return rc;
    }
    return TESRA_SUCCESS;
}

tesra_error_t dir_open(const char *directory_path, tesra_directory_handle_t **out) {
    std::vector<ArchiveEntry> entries;
    if (auto rc = scan_archives(directory_path, &entries); rc != TESRA_SUCCESS) return rc;

    std::unique_ptr<tesra_directory_handle_t, DirDeleter> dir(
        tesra::c_calloc<tesra_directory_handle_t>());
    if (!dir) return TESRA_NULL_POINTER;
    tesra_set_latest_version(dir.get());
    tesra_set_latest_version(&dir->e6_0);
    dir->e6_0.directory_path = tesra::c_strdup(directory_path);
    if (dir->e6_0.directory_path == nullptr) return TESRA_NULL_POINTER;
    tesra_directory_int_t_v6_0 &body = dir->i6_0;
    if (auto rc = make_file_defs(entries, &body.file_infos, &body.array_size, &body.num_files);
        rc != TESRA_SUCCESS)
        return rc;
    if (!entries.empty()) {
        uint64_t start = entries.front().start_time, end = 0, period = 0;
        for (const ArchiveEntry &e : entries) {
            start = std::min(start, e.start_time);
            end = std::max(end, e.end_time);
            period = std::max(period, e.period);
        }
        dir->e6_0.start_time = start;
        dir->e6_0.end_time = end;
        dir->e6_0.period = period;
    }
    *out = dir.release();
    return TESRA_SUCCESS;
}

std::string_view base_name(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

tesra_error_t collection_open(const char *collection_path, tesra_collection_handle_t **out) {
    std::vector<std::string> names;
    if (auto rc = read_names(collection_path, &names); rc != TESRA_SUCCESS) return rc;
    std::vector<std::string> stores;
    for (const std::string &name : names) {
        if (is_directory(join(collection_path, name))) stores.push_back(name);
    }

    std::unique_ptr<tesra_collection_handle_t, CollectionDeleter> coll(
        tesra::c_calloc<tesra_collection_handle_t>());
    if (!coll) return TESRA_NULL_POINTER;
    tesra_set_latest_version(coll.get());
    tesra_set_latest_version(&coll->e6_0);
    tesra_collection_int_t_v6_0 &body = coll->i6_0;
    coll->e6_0.collection_path = tesra::c_strdup(collection_path);
    // The folder's name stands for the cluster; every store shares these two strings.
    const std::string cluster(base_name(collection_path));
    body.cluster_name = tesra::c_strdup(cluster.c_str());
    body.cluster_id = tesra::c_strdup(cluster.c_str());
    if (!coll->e6_0.collection_path || !body.cluster_name || !body.cluster_id)
        return TESRA_NULL_POINTER;

    const uint32_t size = grown_size(stores.size());
    body.all_stores = tesra::c_calloc<tesra_store_int_t_v6_0>(size);
    if (body.all_stores == nullptr) return TESRA_NULL_POINTER;
    body.all_stores_size = size;
    body.min_start_time = UINT64_MAX;
    for (std::size_t i = 0; i < stores.size(); ++i) {
        tesra_store_int_t_v6_0 &store = body.all_stores[i];
        body.num_total_stores = static_cast<uint32_t>(i + 1);
        tesra_set_latest_version(&store.store_info);
        store.store_info.cluster_id = body.cluster_id;
        store.store_info.cluster_name = body.cluster_name;
        store.store_info.node_name = tesra::c_strdup(stores[i].c_str());
        store.store_info.store_name = tesra::c_strdup(stores[i].c_str());
        if (!store.store_info.node_name || !store.store_info.store_name) return TESRA_NULL_POINTER;

        std::vector<ArchiveEntry> entries;
        if (auto rc = scan_archives(join(collection_path, stores[i]), &entries);
            rc != TESRA_SUCCESS)
            return rc;
        if (auto rc = make_file_defs(entries, &store.files, &store.files_size, &store.num_files);
            rc != TESRA_SUCCESS)
            return rc;
        for (const ArchiveEntry &e : entries) {
            body.min_start_time = std::min(body.min_start_time, e.start_time);
            body.max_end_time = std::max(body.max_end_time, e.end_time);
        }
    }
    if (body.min_start_time == UINT64_MAX) body.min_start_time = 0;
    coll->e6_0.start_time = body.min_start_time;
    coll->e6_0.end_time = body.max_end_time;
    *out = coll.release();
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::companion

extern "C" tesra_error_t tesra_dir_open(const char *directory_path,
                                        tesra_directory_handle_t **out) {
    if (directory_path == nullptr || out == nullptr) return TESRA_INVALID_ARGUMENTS;
    return tesra::guarded([&] { return tesra::companion::dir_open(directory_path, out); });
}

extern "C" tesra_error_t tesra_collection_open(const char *collection_path,
                                               tesra_collection_handle_t **out) {
    if (collection_path == nullptr || out == nullptr) return TESRA_INVALID_ARGUMENTS;
    return tesra::guarded([&] { return tesra::companion::collection_open(collection_path, out); });
}
