// Shared pieces of the fuzz targets: a private scratch folder reused across inputs, the split of
// one input into the two files of an archive pair, and small walkers over an opened archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tesra/tesra_ext_defs.h"

// Every target defines this; libFuzzer or replay_main.cc calls it once per input.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

namespace tesra::fuzz {

// A folder of this process alone, in /dev/shm when it can be had (files there cost no disk), made
// on first use and removed with its content when the process exits normally; folders left by
// processes that are gone are removed when the next one is made.
const std::string &scratch_dir();
// "<scratch>/<name>".
std::string scratch_path(const std::string &name);

bool write_bytes(const std::string &path, std::span<const uint8_t> bytes);
// `bytes` as a gzip stream, as the writer leaves a data stream.
bool write_gzip(const std::string &path, std::span<const uint8_t> bytes);

// One input for an archive pair:
//   u32 little-endian: length of the metadata part (cut to what is there)
//   u8  flags: bit 0 set: the data part is the plain record stream, gzip-compressed here
//              before it is written; clear: the data part is the .gz file byte for byte.
//              Bit 1 set: the archive is named as one still being written.
//   the metadata part, then the data part.
// Plain streams let the fuzzer mutate records; raw ones reach the gzip layer itself.
struct ArchiveInput {
    std::span<const uint8_t> meta;
    std::span<const uint8_t> data;
    uint8_t flags = 0;
};
inline constexpr uint8_t kPlainData = 1;
inline constexpr uint8_t kPartialName = 2;
inline constexpr std::size_t kArchiveInputHead = 5;

ArchiveInput split_archive_input(const uint8_t *data, std::size_t size);
std::vector<uint8_t> pack_archive_input(std::span<const uint8_t> meta,
                                        std::span<const uint8_t> data,
                                        uint8_t flags);

// Base names the reader accepts: a finished archive's, and one carrying the template of an
// archive still being written.
inline constexpr const char *kFinishedBase = "1_0_1000000000000_900000";
inline constexpr const char *kPartialBase = "2_60_0000000000000_0000000.part";

// Writes `<scratch>/<base>.meta` and `.gz` from `input`; the base path written, or "" on failure.
std::string write_archive_pair(const ArchiveInput &input, const char *base);

// Navigation over every object and counter of an opened archive: infos, periods, lookups by
// name and id, walks by period. Returns nothing: only what the libraries do with it matters.
void walk_header(tesra_file_handle_t *file);
// Every record in `order`, with its object, its instances and their counter data and values.
void walk_records(tesra_file_handle_t *file, tesra_order_type_t order);
// The key values and every counter value of `instance`.
void walk_instance(tesra_instance_handle_t *instance);

}  // namespace tesra::fuzz
