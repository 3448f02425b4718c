// The one scratch directory of every test suite (and of the bench and the fuzz seed generator):
// a fresh directory under the system temp dir ($TMPDIR or /tmp), removed with all its content
// when the object goes. Header-only, so that suites which link no archive library use it too.
//
//   tesra::test::TempDir dir;
//   const std::string base = dir.base("1_60_1000000000000_900000");  // "<dir>/<name>"
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace tesra::test {

class TempDir {
public:
    // Throws std::runtime_error when no directory can be made, so that a test fails on its own
    // instead of writing somewhere shared.
    TempDir() {
        std::error_code ec;
        std::filesystem::path root = std::filesystem::temp_directory_path(ec);
        if (ec) root = "/tmp";
        std::string pattern = (root / "tesra-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a directory like " + pattern + ": " +
                                     std::strerror(errno));
        }
        path_ = std::move(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // "<dir>/<name>": a file, a subdirectory or the base path of an archive pair.
    std::string base(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace tesra::test
