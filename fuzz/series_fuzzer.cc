// Series sources: the input becomes a folder of files (names and contents from the input; the
// seeds mix small valid archive pairs in), opened as a series, then its members and findings,
// the catalogue, the sample times and a short values walk of its first object. Input:
//   u8  flags: bit 0 strict; bits 1-2: most archives open at once, less one; bit 3: the folder
//       is named by a glob instead of as itself
//   then up to 16 files: u8 name length (at most 48; '/' and NUL become '_'), the name,
//   u16 little-endian content length, the content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

#include "tesra/tesra_series.h"

#include "fuzz_support.h"

namespace {

constexpr std::size_t kMaxFiles = 16;
constexpr std::size_t kMaxName = 48;
constexpr std::size_t kMaxRows = 32;

struct Reader {
    const uint8_t *p;
    std::size_t left;
    std::span<const uint8_t> take(std::size_t n) {
        n = n < left ? n : left;
        std::span<const uint8_t> out(p, n);
        p += n;
        left -= n;
        return out;
    }
    uint32_t le(std::size_t bytes) {
        uint32_t v = 0;
        const auto b = take(bytes);
        for (std::size_t i = 0; i < b.size(); ++i) v |= uint32_t{b[i]} << (8 * i);
        return v;
    }
};

std::string file_name(std::span<const uint8_t> raw, std::size_t index) {
    std::string name;
    for (uint8_t c : raw) name.push_back(c == '/' || c == '\0' ? '_' : static_cast<char>(c));
    if (name.empty() || name == "." || name == "..") name = "f" + std::to_string(index) + name;
    return name;
}

void read_values(tesra_series_t *series, const tesra_series_object_t &object) {
    if (object.name == nullptr) return;
    if (object.num_periods > 0) {
        uint64_t *times = nullptr;
        size_t *members = nullptr;
        size_t count = 0;
        tesra_series_get_times(series, object.name, object.periods[0], 0, UINT64_MAX, &times,
                               &members, &count);
        std::free(times);
        std::free(members);
    }
    tesra_series_query_t query{};
    query.object_name = object.name;
    tesra_series_cursor_t *cursor = nullptr;
    if (tesra_series_query_values(series, &query, &cursor) != TESRA_SUCCESS) {
        if (cursor != nullptr) std::abort();
        return;
    }
    const tesra_series_column_t *columns = nullptr;
    uint32_t num_columns = 0;
    tesra_series_cursor_columns(cursor, &columns, &num_columns);
    const tesra_series_row_t *row = nullptr;
    for (std::size_t n = 0; n < kMaxRows; ++n) {
        if (tesra_series_next_row(cursor, &row) != TESRA_SUCCESS || row == nullptr) break;
        if (row->num_columns != num_columns) std::abort();
    }
    tesra_series_free_cursor(cursor);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    Reader in{data, size};
    const uint8_t flags = static_cast<uint8_t>(in.le(1));
    const std::string dir = tesra::fuzz::scratch_path("series");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (!std::filesystem::create_directory(dir, ec)) std::abort();
    for (std::size_t i = 0; i < kMaxFiles && in.left > 0; ++i) {
        const std::string name = file_name(in.take(in.le(1) % (kMaxName + 1)), i);
        const auto content = in.take(in.le(2));
        if (!tesra::fuzz::write_bytes(dir + "/" + name, content)) std::abort();
    }

    tesra_series_options_t options{};
    options.strict = flags & 1;
    options.max_open = ((flags >> 1) & 3) + 1u;
    const std::string source = (flags & 8) != 0 ? dir + "/*" : dir;
    const char *sources[] = {source.c_str()};
    tesra_series_t *series = nullptr;
    tesra_series_open(sources, 1, &options, &series);
    if (series == nullptr) return 0;

    tesra_series_catalogue_t *catalogue = nullptr;
    if (tesra_series_get_catalogue(series, 0, UINT64_MAX, &catalogue) == TESRA_SUCCESS &&
        catalogue != nullptr && catalogue->num_objects > 0) {
        read_values(series, catalogue->objects[0]);
    }
    tesra_series_free_catalogue(catalogue);

    for (std::size_t i = 0; i < tesra_series_member_count(series); ++i) {
        tesra_series_member_t member{};
        if (tesra_series_get_member(series, i, &member) != TESRA_SUCCESS) std::abort();
    }
    for (std::size_t i = 0; i < tesra_series_finding_count(series); ++i) {
        tesra_series_finding_t finding{};
        if (tesra_series_get_finding(series, i, &finding) != TESRA_SUCCESS ||
            finding.message == nullptr) {
            std::abort();
        }
    }
    tesra_series_close(series);
    return 0;
}
