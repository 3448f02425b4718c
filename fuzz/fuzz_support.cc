#include "fuzz_support.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include <zlib.h>

namespace tesra::fuzz {
namespace {

constexpr std::string_view kScratchPrefix = "tesra-fuzz-";

// Folders of runs that ended without their exit handlers (libFuzzer's crash, timeout and fork
// paths end that way): "tesra-fuzz-<pid>-XXXXXX" whose process is gone.
void remove_stale_scratch_dirs(const std::string &root) {
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(root, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kScratchPrefix, 0) != 0) continue;
        char *end = nullptr;
        const long pid = std::strtol(name.c_str() + kScratchPrefix.size(), &end, 10);
        if (pid <= 0 || *end != '-') continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            std::filesystem::remove_all(entry.path(), ec);
        }
    }
}

std::string make_scratch_dir() {
    std::vector<std::string> roots;
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) {
        roots.emplace_back("/dev/shm");
    }
    if (const char *tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') {
        roots.emplace_back(tmp);
    }
    roots.emplace_back("/tmp");
    for (const auto &root : roots) {
        remove_stale_scratch_dirs(root);
        std::string templ =
            root + "/" + std::string(kScratchPrefix) + std::to_string(getpid()) + "-XXXXXX";
        if (mkdtemp(templ.data()) != nullptr) return templ;
    }
    std::fprintf(stderr, "fuzz: cannot make a scratch folder\n");
    std::abort();
}

void remove_scratch_dir() {
    std::error_code ec;
    std::filesystem::remove_all(scratch_dir(), ec);
}

}  // namespace

const std::string &scratch_dir() {
    static const std::string dir = [] {
        std::string d = make_scratch_dir();
        return d;
    }();
    static const bool registered = [] { return std::atexit(remove_scratch_dir) == 0; }();
    (void)registered;
    return dir;
}

std::string scratch_path(const std::string &name) {
    return scratch_dir() + "/" + name;
}

bool write_bytes(const std::string &path, std::span<const uint8_t> bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool write_gzip(const std::string &path, std::span<const uint8_t> bytes) {
    // One compressor and one output buffer for the whole run, reset for each input: made and
    // freed per input they cost more than the compressing, and the output is the same.
    // (zlib's state points back at its z_stream, so the stream is made where it stays.)
    static z_stream z{};
    static bool made = false;
    static std::vector<uint8_t> out;
    if (!made) {
        // Window bits 15 + 16: a gzip wrapper. Level 1: the bytes only need to be valid, not small.
        if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
        made = true;
    } else if (deflateReset(&z) != Z_OK) {
        return false;
    }
    out.resize(deflateBound(&z, static_cast<uLong>(bytes.size())));
    z.next_in = const_cast<Bytef *>(bytes.data());
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    return rc == Z_STREAM_END &&
           write_bytes(path, std::span<const uint8_t>(out.data(), z.total_out));
}

ArchiveInput split_archive_input(const uint8_t *data, std::size_t size) {
    ArchiveInput in;
    if (size < kArchiveInputHead) {
        in.meta = std::span<const uint8_t>(data, size);
        return in;
    }
    const uint32_t meta_len = uint32_t{data[0]} | uint32_t{data[1]} << 8 |
                              uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
    in.flags = data[4];
    const std::span<const uint8_t> rest(data + kArchiveInputHead, size - kArchiveInputHead);
    const std::size_t cut = meta_len < rest.size() ? meta_len : rest.size();
    in.meta = rest.first(cut);
    in.data = rest.subspan(cut);
    return in;
}

std::vector<uint8_t> pack_archive_input(std::span<const uint8_t> meta,
                                        std::span<const uint8_t> data,
                                        uint8_t flags) {
    std::vector<uint8_t> out;
    const auto n = static_cast<uint32_t>(meta.size());
    out.push_back(static_cast<uint8_t>(n));
    out.push_back(static_cast<uint8_t>(n >> 8));
    out.push_back(static_cast<uint8_t>(n >> 16));
    out.push_back(static_cast<uint8_t>(n >> 24));
    out.push_back(flags);
    out.insert(out.end(), meta.begin(), meta.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::string write_archive_pair(const ArchiveInput &input, const char *base) {
    const std::string path = scratch_path(base);
    if (!write_bytes(path + ".meta", input.meta)) return {};
    const bool data_ok = (input.flags & kPlainData) != 0 ? write_gzip(path + ".gz", input.data)
                                                         : write_bytes(path + ".gz", input.data);
    return data_ok ? path : std::string();
}

namespace {

struct CounterKey {
    uint32_t id;
    std::string name;
};

// Public lookups move the object's counter cursor to what they find, so they run after the walk:
// interleaved with it, two counters of one name would send the walk back forever.
void walk_object(tesra_object_handle_t *object) {
    tesra_object_def_t_v6_0 def{};
    tesra_set_latest_version(&def);
    tesra_get_object_info(object, &def);

    std::vector<CounterKey> keys;
    tesra_counter_handle_t *counter = nullptr;
    for (tesra_error_t rc = tesra_first_counter(object, &counter);
         rc == TESRA_SUCCESS && counter != nullptr; rc = tesra_next_counter(object, &counter)) {
        tesra_counter_def_t_v6_0 cdef{};
        tesra_set_latest_version(&cdef);
        if (tesra_get_counter_info(counter, &cdef) != TESRA_SUCCESS) continue;
        tesra_cnt_size_t size = 0;
        tesra_cnt_type_t type = 0;
        tesra_cnt_unit_t unit = 0;
        tesra_get_counter_type(counter, &size, &type, &unit);
        keys.push_back({cdef.cnt_id, cdef.name != nullptr ? cdef.name : ""});
    }
    for (const auto &key : keys) {
        tesra_find_counter_by_id(object, key.id, &counter);
        tesra_find_counter_by_name(object, key.name.c_str(), &counter);
    }

    uint64_t *periods = nullptr;
    uint32_t num_periods = 0;
    if (tesra_get_object_periods(object, &periods, &num_periods) != TESRA_SUCCESS) return;
    for (uint32_t i = 0; i < num_periods && periods != nullptr; ++i) {
        for (tesra_error_t rc = tesra_first_counter_by_period(object, periods[i], &counter);
             rc == TESRA_SUCCESS && counter != nullptr;
             rc = tesra_next_counter_by_period(object, periods[i], &counter)) {
        }
    }
    std::free(periods);
}

}  // namespace

void walk_header(tesra_file_handle_t *file) {
    tesra_file_def_t_v6_0 file_def{};
    tesra_set_latest_version(&file_def);
    tesra_get_file_info(file, &file_def);

    tesra_header_handle_t *header = nullptr;
    if (tesra_get_header(file, &header) != TESRA_SUCCESS || header == nullptr) return;
    tesra_header_def_t_v6_0 header_def{};
    tesra_set_latest_version(&header_def);
    tesra_get_header_info(header, &header_def);
    tesra_system_def_t_v6_0 system_def{};
    tesra_set_latest_version(&system_def);
    tesra_get_system_info(header, &system_def);

    std::vector<std::string> names;
    tesra_object_handle_t *object = nullptr;
    for (tesra_error_t rc = tesra_first_object(header, &object);
         rc == TESRA_SUCCESS && object != nullptr; rc = tesra_next_object(header, &object)) {
        tesra_object_def_t_v6_0 def{};
        tesra_set_latest_version(&def);
        if (tesra_get_object_info(object, &def) == TESRA_SUCCESS && def.name != nullptr) {
            names.emplace_back(def.name);
        }
        walk_object(object);
    }
    for (const auto &name : names) tesra_find_object(header, name.c_str(), &object);
    tesra_find_object(header, "no such object", &object);
}

void walk_instance(tesra_instance_handle_t *instance) {
    tesra_instance_data_t_v6_0 keys{};
    tesra_get_instance_data(instance, &keys);
    tesra_counter_handle_t *counter = nullptr;
    tesra_counter_data_handle_t *data = nullptr;
    std::vector<std::string> names;
    for (tesra_error_t rc = tesra_first_counter_data(instance, &counter, &data);
         rc == TESRA_SUCCESS && data != nullptr;
         rc = tesra_next_counter_data(instance, &counter, &data)) {
        tesra_counter_data_t_v6_0 value{};
        tesra_get_counter_data_value(data, &value);
        tesra_counter_def_t_v6_0 def{};
        tesra_set_latest_version(&def);
        if (counter != nullptr && tesra_get_counter_info(counter, &def) == TESRA_SUCCESS &&
            def.name != nullptr) {
            names.emplace_back(def.name);
        }
    }
    for (const auto &name : names) {
        if (tesra_find_counter_data(instance, name.c_str(), &counter, &data) == TESRA_SUCCESS &&
            data != nullptr) {
            tesra_counter_data_t_v6_0 value{};
            tesra_get_counter_data_value(data, &value);
        }
    }
}

void walk_records(tesra_file_handle_t *file, tesra_order_type_t order) {
    tesra_record_handle_t *record = nullptr;
    for (tesra_error_t rc = tesra_first_record(file, order, 0, &record);
         rc == TESRA_SUCCESS && record != nullptr; rc = tesra_next_record(file, &record)) {
        tesra_record_header_data_t_v6_0 info{};
        tesra_set_latest_version(&info);
        tesra_get_record_info(record, &info);
        tesra_object_handle_t *object = nullptr;
        tesra_get_object_from_record(record, &object);
        tesra_instance_handle_t *instance = nullptr;
        for (tesra_error_t irc = tesra_first_instance_from_record(record, &instance);
             irc == TESRA_SUCCESS && instance != nullptr;
             irc = tesra_next_instance_from_record(record, &instance)) {
            walk_instance(instance);
        }
    }
}

}  // namespace tesra::fuzz
