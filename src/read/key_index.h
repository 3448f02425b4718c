// Matching instances across the records of a timestamp by their key values. A query over two
// periods joins each instance of the first record with the first instance of every other record
// that has the same keys; scanning for it costs O(n) per instance and O(n^2) per timestamp, so
// the other records' instances are indexed once by a canonical form of their keys.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tesra/tesra_int_defs.h"

namespace tesra::read {

// The bytes that decide key equality, in a form where equal keys give equal strings: for each
// string value its characters up to the first NUL (and their count); for 4- and 8-byte values
// their bytes. False when a key has another layout, or its slot does not fit the instance; the
// caller then compares key by key, which decides those cases.
bool canonical_keys(std::span<tesra_counter_handle_t *const> keys,
                    const tesra_period_t &period,
                    const char *instance,
                    std::string *out);

// The first instance of one record for each canonical key.
class KeyIndex {
public:
    // False when some instance's keys have no canonical form; the index is then unusable.
    bool build(std::span<tesra_counter_handle_t *const> keys, const tesra_record_handle_t &record);
    // The first instance with these canonical keys, or -1.
    int64_t find(std::string_view canonical) const;

private:
    std::vector<std::string> keys_;  // owns the strings the map's views refer to
    std::unordered_map<std::string_view, uint32_t> first_;
};

}  // namespace tesra::read
