// Text dumps of the sample times and of the counter values at one sample time, for inspection
// and for tools that read text. Only the variant built with TESRA_WRAPPER_DUMPS carries them.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <utility>

#include "tesra/tesra_wrapper_header.h"
#include "wrap_dump_format.h"
#include "wrap_log.h"

#if defined(TESRA_WRAPPER_DUMPS)

namespace {

using tesra::wrap::log_error;
using tesra::wrap::shown;

struct FileCloser {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using OutputFile = std::unique_ptr<std::FILE, FileCloser>;

// Closes the dump and tells whether every byte reached the file.
bool finish_output(OutputFile file) {
    const bool written = std::ferror(file.get()) == 0;
    return std::fclose(file.release()) == 0 && written;
}

}  // namespace

extern "C" bool write_timestamps_to_file(const char *kelb_file_path,
                                         const char *output_file_path,
                                         uint64_t time_period,
                                         const char *current_obj) {
    const tesra::wrap::SystemLog log(tesra::wrap::kCounterDataIdent);
    uint64_t *timestamps = nullptr;
    uint32_t count = 0;
    char *error = nullptr;
    const bool listed =
        get_timestamp_list(kelb_file_path, time_period, current_obj, &timestamps, &count, &error);
    log.reopen();
    if (!listed) {
        log_error("get_timestamp_list routine failed to retrieve timestamps for file : %s",
                  shown(kelb_file_path));
        // A failed list may still hold what was read before the failure.
        free_tesra_wrapper_timestamps_data(timestamps, error);
        return false;
    }
    OutputFile out(output_file_path != nullptr ? std::fopen(output_file_path, "w") : nullptr);
    if (!out) {
        log_error("Could not open output file to dump the timestamp values for file : %s",
                  shown(kelb_file_path));
        free_tesra_wrapper_timestamps_data(timestamps, error);
        return false;
    }
    for (uint32_t i = 0; i < count; ++i)
        std::fprintf(out.get(), "Timestamp: %" PRIu64 "\n", timestamps[i]);
    free_tesra_wrapper_timestamps_data(timestamps, error);
    if (!finish_output(std::move(out))) {
        log_error("Could not write the timestamp values to the output file for file : %s",
                  shown(kelb_file_path));
        return false;
    }
    return true;
}

extern "C" bool write_counter_values_for_timestamp_to_file(const char *kelb_file_path,
                                                           const char *output_file_path,
                                                           uint64_t time,
                                                           uint64_t time_period,
                                                           const char *current_obj_char) {
    const tesra::wrap::SystemLog log(tesra::wrap::kCounterDataIdent);
    OutputFile out(output_file_path != nullptr ? std::fopen(output_file_path, "w") : nullptr);
    if (!out) {
        log_error("\nCould not dump counter values to file. Error opening output file : %s",
                  shown(output_file_path));
        return false;
    }
    tesra_wrapper_counter_data_t *data = nullptr;
    uint32_t instance_count = 0;
    counter_wrapper_headers *headers = nullptr;
    uint32_t header_count = 0;
    char *error = nullptr;
    const bool read = get_counter_values_for_timestamp(kelb_file_path,
                                                       time,
                                                       time_period,
                                                       current_obj_char,
                                                       &data,
                                                       &instance_count,
                                                       &headers,
                                                       &header_count,
                                                       &error);
    log.reopen();
    if (read) tesra::wrap::write_dump_lines(out.get(), data, instance_count);
    // Releases a partial result and the error text as well; neither is passed on.
    free_tesra_wrapper_counter_data(data, instance_count, headers, header_count, error);
    if (!finish_output(std::move(out))) {
        log_error("\nCould not dump counter values to file. Error writing output file : %s",
                  shown(output_file_path));
        return false;
    }
    return read;
}

#endif  // TESRA_WRAPPER_DUMPS
