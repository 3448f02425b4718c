// Fault injection for the writer's file operations, for tests. The library that defines these
// also defines write, fwrite, fflush, fseeko, fseeko64, vfprintf and __vfprintf_chk in front of
// the C library's; they pass every call through untouched until armed. Once armed, each call
// counts as one point where a file is touched (write(2) is how zlib's gzwrite, gzflush and
// gzclose reach the data file), and the chosen point fails or kills the process.
#pragma once

#define TESRA_FAULTS_API __attribute__((visibility("default")))

namespace tesra::test::faults {

enum class Action {
    kFailOnce,  // the chosen call fails with the errno given; later calls succeed
    kFailFrom,  // the chosen call and every later one fail (a disk that stays full)
    kKill,      // the process is killed with SIGKILL in place of the chosen call
};

// Counts the calls from now on; the `point`-th (1-based; 0 for none) gets `action`.
TESRA_FAULTS_API void arm(long point, Action action, int error_number) noexcept;
// Stops counting and injecting; the number of calls counted since arm().
TESRA_FAULTS_API long disarm() noexcept;
// The function of the chosen call ("write", "fflush", ...), or "none" when it was not reached.
TESRA_FAULTS_API const char *last_hit() noexcept;

}  // namespace tesra::test::faults
