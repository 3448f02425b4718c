// Writing a new archive under a scratch name and renaming it into place when complete.
#include "archive_output.h"

#include <cstdio>
#include <filesystem>
#include <fmt/core.h>
#include <string_view>
#include <vector>

#include "archive_writer.h"
#include "common/archive_format.h"

namespace tesra::cli {

ScratchArchive::~ScratchArchive() {
    if (file_ != nullptr) tesra_close_data_file(file_);
    if (!done_) {
        std::remove((scratch_ + ".meta").c_str());
        std::remove((scratch_ + ".gz").c_str());
    }
}

tesra_error_t ScratchArchive::create(uint32_t major, uint32_t minor, int level, std::string *step) {
    const char *meta = nullptr;
    const char *data = nullptr;
    // The creation duration only sizes the first tables, which grow as records arrive.
    *step = create_step();
    if (auto rc = tesra_create_data_file(scratch_.c_str(), major, minor,
                                         format::kDefaultPartialDuration, &file_, &meta, &data);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    *step = "set level";
    return apply_level(file_, level);
}

bool ScratchArchive::spans_two_times() const {
    uint64_t oldest = 0, newest = 0;
    return tesra_get_oldest_record_time(file_, &oldest) == TESRA_SUCCESS &&
           tesra_get_newest_record_time(file_, &newest) == TESRA_SUCCESS && newest > oldest;
}

tesra_error_t ScratchArchive::close() {
    tesra_file_handle_t *file = file_;
    file_ = nullptr;
    return tesra_close_data_file(file);
}

bool ScratchArchive::commit(const std::string &final_base, std::string *error) {
    for (const char *suffix : {".gz", ".meta"}) {
        std::error_code ec;
        std::filesystem::rename(scratch_ + suffix, final_base + suffix, ec);
        if (ec) {
            *error = fmt::format("cannot rename {}{} to {}{}: {}", scratch_, suffix, final_base,
                                 suffix, ec.message());
            return false;
        }
    }
    done_ = true;
    return true;
}

bool path_exists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

bool same_file(const std::string &a, const std::string &b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

bool archive_exists(const std::string &base) {
    return path_exists(base + ".meta") || path_exists(base + ".gz");
}

std::optional<std::string> check_output_name(const std::string &out) {
    std::vector<char> path(out.begin(), out.end());
    path.push_back('\0');
    uint32_t index = 0;
    uint64_t longest = 0, start = 0, end = 0;
    if (tesra_parse_filename(path.data(), &index, &longest, &start, &end) != TESRA_SUCCESS) {
        return fmt::format(
            "OUT_BASE '{}' is not an archive name: the reader opens only "
            "<index>_<longest period in s>_<start ms>_<duration ms>",
            out);
    }
    return std::nullopt;
}

void note_name_span(const std::string &out, uint64_t first, uint64_t last) {
    std::vector<char> path(out.begin(), out.end());
    path.push_back('\0');
    uint32_t index = 0;
    uint64_t longest = 0, start = 0, end = 0;
    if (tesra_parse_filename(path.data(), &index, &longest, &start, &end) != TESRA_SUCCESS) return;
    // Also a name that ends where the template's dot would follow.
    std::string_view being_written = format::kPartialArchiveTemplate;
    being_written.remove_suffix(1);
    if (out.find(being_written) != std::string::npos) return;
    if (first < start || last > end) {
        fmt::print(stderr,
                   "tesra: {}: note: the records span {} .. {} ms, outside the name's {} .. {} "
                   "ms; tesra check will report it\n",
                   out, first, last, start, end);
    }
}

}  // namespace tesra::cli
