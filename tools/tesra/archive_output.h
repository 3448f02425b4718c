// A new archive written under a scratch name and renamed into place only once it is complete,
// so that a failed run leaves no half-written archive under the final name, nor destroys the
// archive that --force would have replaced; and the checks on the name it is to get.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tesra/tesra_ext_defs.h"

namespace tesra::cli {

class ScratchArchive {
public:
    explicit ScratchArchive(std::string scratch_base) : scratch_(std::move(scratch_base)) {}
    ScratchArchive(const ScratchArchive &) = delete;
    ScratchArchive &operator=(const ScratchArchive &) = delete;
    // Releases the handle and removes the scratch files unless they were committed.
    ~ScratchArchive();

    // Creates the scratch pair at format version major.minor with the deflate level `level`
    // (kLibraryLevel: the library's choice); `*step` names what failed.
    tesra_error_t create(uint32_t major, uint32_t minor, int level, std::string *step);
    tesra_file_handle_t *file() const { return file_; }

    // Whether the records written so far lie at two different sample times or more, as an
    // archive needs to be closed with an index.
    bool spans_two_times() const;

    tesra_error_t close();

    // Renames the closed scratch pair to `final_base`: the data file first, since a metadata
    // file is what makes the pair an archive.
    bool commit(const std::string &final_base, std::string *error);

private:
    std::string scratch_;
    tesra_file_handle_t *file_ = nullptr;
    bool done_ = false;
};

bool path_exists(const std::string &path);
bool same_file(const std::string &a, const std::string &b);
// Whether either file of the archive `base` exists.
bool archive_exists(const std::string &base);

// A usage message when `out` is not an archive name the reader accepts.
std::optional<std::string> check_output_name(const std::string &out);

// Notes on stderr when the records' span [first, last] lies outside the span of the name.
void note_name_span(const std::string &out, uint64_t first, uint64_t last);

}  // namespace tesra::cli
