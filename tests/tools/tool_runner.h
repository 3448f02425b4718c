// Runs the built tesra tool in a child process and captures its output, plus small helpers for
// the archive files the tests make and damage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tesra::tooltest {

struct ToolResult {
    int status = -1;  // exit status; 128 + signal number when the tool was killed by a signal
    std::string out;
    std::string err;
};

using tesra::test::TempDir;

// `tesra <args...>` with stdout and stderr captured.
ToolResult run_tesra(const std::vector<std::string> &args);

// `tesra <args...>` running in the background, its stdout and stderr going to files.
class ToolProcess {
public:
    explicit ToolProcess(const std::vector<std::string> &args);
    ~ToolProcess();  // kills a child still running
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;

    void signal(int sig) const;
    std::string out() const;  // what it has printed so far
    // Waits for the exit; a child still running after `timeout_ms` is killed (status 137).
    ToolResult wait(int timeout_ms);

private:
    TempDir capture_;
    int pid_ = -1;
};


std::vector<uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);

// The decompressed data stream of an archive.
std::vector<uint8_t> read_stream(const std::string &gz_path);

// Replaces an archive's data file with a gzip stream of `stream`.
void write_stream(const std::string &gz_path, const std::vector<uint8_t> &stream);

struct StreamRecord {
    uint64_t offset;
    uint64_t time;
    uint32_t size;
    uint32_t obj_id;
    uint64_t period;
};
std::vector<StreamRecord> stream_records(const std::vector<uint8_t> &stream);

uint64_t get_u64(const std::vector<uint8_t> &bytes, size_t at);
void put_u64(std::vector<uint8_t> &bytes, size_t at, uint64_t value);
void put_u32(std::vector<uint8_t> &bytes, size_t at, uint32_t value);

// Position in a metadata file of slot `slot` of the record-offset table of object number
// `object` (0-based, ascending id) at period index `period_index`.
size_t slot_position(const std::vector<uint8_t> &meta,
                     size_t object,
                     uint32_t period_index,
                     uint64_t slot);
// Position of the index section (the byte after the 0x00 that ends the XML).
size_t index_section(const std::vector<uint8_t> &meta);

// The metadata file as it stands while its archive is being written: the XML only, with the
// start unset, the end 0 and no index section.
std::vector<uint8_t> as_being_written(std::vector<uint8_t> meta);

// Splits CSV text (RFC 4180 quoting, CRLF or LF line ends) into rows of fields.
std::vector<std::vector<std::string>> parse_csv(const std::string &text);

std::vector<std::string> lines(const std::string &text);

}  // namespace tesra::tooltest
