// Stands in for libFuzzer where it is not linked (GCC builds): runs the fuzz target once over
// every file of the folders and files given, so CTest replays each committed corpus. Fails when
// it was given nothing to run, so an emptied or misplaced corpus cannot pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_support.h"

namespace {

bool run_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that reads past its end are caught as with libFuzzer.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    const uint8_t *data = input.empty() ? nullptr : input.data();
    LLVMFuzzerTestOneInput(data, input.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::error_code ec;
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg, ec)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(arg);
        }
        for (const auto &file : files) {
            if (!run_file(file)) return 1;
            ++runs;
        }
    }
    if (runs == 0) {
        std::fprintf(stderr, "replay: no input files given\n");
        return 1;
    }
    std::printf("replay: %zu inputs ran\n", runs);
    return 0;
}
