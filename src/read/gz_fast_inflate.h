// A faster inflater for the random-access layer, driven one gzip member at a time like zlib's,
// whose whole state can be saved and restored: a saved state is an access point anywhere in a
// deflate block, not only at block boundaries. Built on ISA-L's igzip when the library has it;
// otherwise create() gives nothing and the layer uses zlib alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tesra::read {

class FastInflater {
public:
    // nullptr when the library was built without the fast inflater or memory is short.
    static std::unique_ptr<FastInflater> create() noexcept;
    ~FastInflater();
    FastInflater(const FastInflater &) = delete;
    FastInflater &operator=(const FastInflater &) = delete;

    // Whether a member starting with these bytes (at least four, or it is refused) is one this
    // inflater reads exactly as zlib does; zlib inflates the others.
    static bool takes_header(const unsigned char *p, std::size_t n) noexcept;
    // Starts a gzip member whose header is the next input.
    void start_member() noexcept;

    enum class Step {
        kOk,         // input used up or output full; call again
        kMemberEnd,  // the member's trailer was read and checked
        kError,      // damaged data, or anything zlib might judge differently
    };
    // Inflates from `in` (advanced past what was taken) into `out`. After kMemberEnd,
    // *unused_behind is the number of input bytes before `in` that belong after the member.
    Step inflate(const unsigned char *&in,
                 std::size_t &avail_in,
                 unsigned char *out,
                 std::size_t room,
                 std::size_t *produced,
                 std::size_t *unused_behind) noexcept;

    // Whether the state may be saved now (inside a member's deflate data).
    bool can_save() const noexcept;
    // Bytes save() writes: the state with the history it refers back into.
    std::size_t saved_size() const noexcept;
    void save(unsigned char *out) const noexcept;
    // Restores a state saved by save(); false when `saved` is not one.
    bool restore(const unsigned char *saved, std::size_t size) noexcept;

private:
    struct State;
    explicit FastInflater(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

}  // namespace tesra::read
