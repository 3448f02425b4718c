// Opening an archive pair for reading: both files, the archive name, the metadata document, the
// index (loaded, or rebuilt for an archive still being written) and the instance layout. Also
// the archive's time span from its name, or from its contents when the name does not carry it.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "common/guard.h"
#include "read/data_stream.h"
#include "read/meta_document.h"
#include "read/read_internal.h"

namespace tesra::read {
namespace {

// A handle under construction: its release closes whatever was opened and frees everything
// hung on it so far, so every failed step simply returns.
struct FileHandleDeleter {
    void operator()(tesra_file_handle_t *f) const noexcept { tesra_free_file(f); }
};
using FileHandlePtr = std::unique_ptr<tesra_file_handle_t, FileHandleDeleter>;

constexpr uint32_t kAccessRead = 1;
constexpr uint32_t kAccessReadWrite = 3;

// "%s<suffix>" into a buffer of the path's length plus the suffix and its terminator.
char *path_with_suffix(const char *path, const char *suffix) {
    const std::size_t n = std::strlen(path) + std::strlen(suffix) + 1;
    char *out = c_calloc<char>(n);
    if (out != nullptr) std::snprintf(out, n, "%s%s", path, suffix);
    return out;
}

// The root's version "major.minor": tokens split at '.', empty ones skipped; anything after the
// second token is ignored.
tesra_error_t read_version(const xmlNode *root, uint32_t *major_out, uint32_t *minor_out) {
    std::unique_ptr<xmlChar, XmlStrDeleter> text(
        xmlGetProp(root, reinterpret_cast<const xmlChar *>(format::kAttrVersion)));
    if (!text) return TESRA_NULL_POINTER;
    std::string_view rest(reinterpret_cast<const char *>(text.get()));
    std::string tokens[2];
    for (std::string &token : tokens) {
        const std::size_t begin = rest.find_first_not_of('.');
        if (begin == std::string_view::npos) return TESRA_NULL_POINTER;
        rest.remove_prefix(begin);
        const std::size_t end = rest.find('.');
        token.assign(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
    // Lax decimals, like the other version numbers of the document; the low 32 bits of a
    // longer number.
    *major_out = static_cast<uint32_t>(std::strtoll(tokens[0].c_str(), nullptr, 10));
    *minor_out = static_cast<uint32_t>(std::strtoll(tokens[1].c_str(), nullptr, 10));
    return TESRA_SUCCESS;
}

}  // namespace

tesra_error_t parse_meta_header(const char *meta_path, tesra_file_handle_t &file) {
    XmlDocPtr doc = read_meta_document(meta_path);
    if (!doc) return TESRA_PARSING_ERROR;
    xmlNode *root = xmlDocGetRootElement(doc.get());
    if (root == nullptr) return TESRA_PARSING_ERROR;

    uint32_t major = 0, minor = 0;
    if (auto rc = read_version(root, &major, &minor); rc != TESRA_SUCCESS) return rc;
    // Refused before it is stored: only version-6 handles exist, and the release of this one
    // must still see one.
    if (major != 6) return TESRA_INVALID_VERSION;
    file.major_v = file.e6_0.major_v = major;
    file.minor_v = file.e6_0.minor_v = minor;

    if (auto rc = tesra_parse_xml_header_v6_0(root, &file); rc != TESRA_SUCCESS) return rc;
    return file.i6_0.header == nullptr ? TESRA_PARSING_ERROR : TESRA_SUCCESS;
}

namespace {

tesra_error_t open_archive(const char *file_path,
                           const char *access_type,
                           tesra_file_handle_t **data_file,
                           const char **meta_path,
                           const char **data_path) {
    uint32_t access_flag = 0;
    const std::string_view access(access_type);
    if (access == "rb" || access == "r") {
        access_flag = kAccessRead;
    } else if (access == "rw" || access == "wr") {
        access_flag = kAccessReadWrite;
    } else {
        return TESRA_INVALID_ARGUMENTS;
    }
    // The reader never writes, and a writing mode would truncate or recreate an archive.
    const char *mode = access_flag == kAccessRead ? access_type : "rb";

    c_ptr<char> meta(path_with_suffix(file_path, ".meta"));
    c_ptr<char> data(path_with_suffix(file_path, ".gz"));
    if (!meta || !data) return TESRA_NULL_POINTER;

    FileHandlePtr file(c_calloc<tesra_file_handle_t>());
    if (!file) return TESRA_NULL_POINTER;
    file->major_v = file->e6_0.major_v = 6;
    file->minor_v = file->e6_0.minor_v = 0;
    auto &f = file->i6_0;
    f.metadata_file_path = meta.release();
    f.data_file_path = data.release();
    f.access_flag = access_flag;
    file->e6_0.file_path = c_strdup(file_path);
    if (file->e6_0.file_path == nullptr) return TESRA_NULL_POINTER;

    // A handle that only reads keeps its data-stream layer with its metadata stream, whose
    // close at release frees it.
    void *stream_state = nullptr;
    f.metadata_file = access_flag == kAccessRead
                          ? open_metadata_stream(f.metadata_file_path, &stream_state)
                          : std::fopen(f.metadata_file_path, mode);
    if (f.metadata_file == nullptr) return TESRA_FILE_NOT_FOUND;
    f.data_file = open_data_stream(f.data_file_path, mode);
    if (f.data_file == nullptr) return TESRA_FILE_NOT_FOUND;

    std::vector<char> name(file_path, file_path + std::strlen(file_path) + 1);
    uint32_t file_index = 0;
    uint64_t longest_period = 0, name_start = 0, name_end = 0;
    if (auto rc =
            tesra_parse_filename(name.data(), &file_index, &longest_period, &name_start, &name_end);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    f.max_period = longest_period;
    file->e6_0.meta_path = c_strdup(f.metadata_file_path);
    file->e6_0.data_path = c_strdup(f.data_file_path);
    if (file->e6_0.meta_path == nullptr || file->e6_0.data_path == nullptr) {
        return TESRA_NULL_POINTER;
    }
    file->e6_0.file_index = file_index;
    file->e6_0.file_type = 1;

    if (auto rc = parse_meta_header(f.metadata_file_path, *file); rc != TESRA_SUCCESS) return rc;
    tesra_header_handle_t *header = f.header;
    hang_stream_state(*file, stream_state);
    // Checked here, not by a read: opening a closed archive reads nothing of its data stream.
    if (auto rc = check_data_stream_format(f.data_file_path); rc != TESRA_SUCCESS) return rc;

    // An archive still being written has no index on disk yet, nor has one whose writer never
    // closed it; both are indexed from the records their data stream already holds.
    const bool rebuild = has_partial_template(file_path) || !has_index_section(*header);
    const tesra_error_t index_rc = rebuild ? tesra_recreate_object_index_v6_0(file.get())
                                           : tesra_parse_object_index_v6_0(file.get());
    if (index_rc != TESRA_SUCCESS) return index_rc;
    if (auto rc = tesra_set_counter_value_offsets_v6_0(header); rc != TESRA_SUCCESS) return rc;

    *meta_path = f.metadata_file_path;
    *data_path = f.data_file_path;
    *data_file = file.release();
    return TESRA_SUCCESS;
}

tesra_error_t partial_file_info(const char *file_path,
                                uint64_t *longest_period,
                                uint64_t *utc_start_time,
                                uint64_t *utc_end_time) {
    const std::string_view path(file_path);
    if (path.find(".gz") != std::string_view::npos ||
        path.find(".meta") != std::string_view::npos) {
        return TESRA_INVALID_ARGUMENTS;  // the base path is wanted
    }
    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *data = nullptr;
    if (auto rc = tesra_open_data_file(file_path, "rb", &file, &meta, &data); rc != TESRA_SUCCESS) {
        return rc;
    }
    const auto &f = file->i6_0;
    // A writer may set the start ahead of the records it has written so far (once-per-archive
    // records carry earlier times); until a record reaches the start there is no span to give.
    if (f.start_time == format::kUnsetStartTime || f.end_time == 0 || f.max_period == 0 ||
        f.end_time < f.start_time) {
        tesra_close_data_file(file);
        return TESRA_INVALID_TIMESTAMP;
    }
    const uint64_t base_time = f.header->i6_0.system.e6_0.base_time;
    const uint64_t start = f.start_time + base_time;
    const uint64_t end = f.end_time + base_time;
    const uint64_t period = f.max_period;
    if (auto rc = tesra_close_data_file(file); rc != TESRA_SUCCESS) return rc;
    *utc_start_time = start;
    *utc_end_time = end;
    *longest_period = period;
    return TESRA_SUCCESS;
}

tesra_error_t basic_file_info(const char *file_path,
                              uint32_t *file_index,
                              uint64_t *longest_period,
                              uint64_t *start_time,
                              uint64_t *end_time) {
    std::vector<char> name(file_path, file_path + std::strlen(file_path) + 1);
    if (auto rc =
            tesra_parse_filename(name.data(), file_index, longest_period, start_time, end_time);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    // A finished archive's name answers the question; one still being written must be opened.
    if (!has_partial_template(file_path)) return TESRA_SUCCESS;
    return tesra_get_partial_file_info_v6_0(file_path, longest_period, start_time, end_time);
}

}  // namespace
}  // namespace tesra::read

extern "C" uint32_t tesra_get_major_version(void) {
    return 1;
}

extern "C" uint32_t tesra_get_minor_version(void) {
    return 4;
}

extern "C" tesra_error_t tesra_open_data_file(const char *file_path,
                                              const char *access_type,
                                              tesra_file_handle_t **data_file,
                                              const char **meta_path,
                                              const char **data_path) {
    if (file_path == nullptr || access_type == nullptr || data_file == nullptr ||
        meta_path == nullptr || data_path == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    return tesra::guarded([&] {
        return tesra::read::open_archive(file_path, access_type, data_file, meta_path, data_path);
    });
}

extern "C" tesra_error_t tesra_get_basic_file_info_v6_0(const char *file_path,
                                                        uint32_t *file_index,
                                                        uint64_t *longest_period,
                                                        uint64_t *start_time,
                                                        uint64_t *end_time) {
    if (file_path == nullptr || file_index == nullptr || longest_period == nullptr ||
        start_time == nullptr || end_time == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    return tesra::guarded([&] {
        return tesra::read::basic_file_info(file_path, file_index, longest_period, start_time,
                                            end_time);
    });
}

extern "C" tesra_error_t tesra_get_partial_file_info_v6_0(const char *file_path,
                                                          uint64_t *longest_period,
                                                          uint64_t *utc_start_time,
                                                          uint64_t *utc_end_time) {
    if (file_path == nullptr || longest_period == nullptr || utc_start_time == nullptr ||
        utc_end_time == nullptr) {
        return TESRA_INVALID_ARGUMENTS;
    }
    return tesra::guarded([&] {
        return tesra::read::partial_file_info(file_path, longest_period, utc_start_time,
                                              utc_end_time);
    });
}
