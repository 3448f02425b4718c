// Where the index of an archive still being written stands in its data stream, so that a
// refresh resumes there and can tell whether the stream is still the one indexed.
#pragma once

#include <cstdint>

#include "tesra/tesra_int_defs.h"

namespace tesra::read {

// Notes that the index holds every record before decompressed offset `indexed_end`, and takes
// a check of the compressed bytes read so far. Without the handle's stream state it does
// nothing, and a refresh then reports the missing state.
void note_indexed_stream(tesra_file_handle_t &file, uint64_t indexed_end) noexcept;

}  // namespace tesra::read
