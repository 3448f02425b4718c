// Makes the next close of a data stream report a failure, for the wrapper's close messages.
#ifndef TESRA_TESTS_WRAPPER_CLOSE_FAILURE_H
#define TESRA_TESTS_WRAPPER_CLOSE_FAILURE_H

namespace tesra::test {

// The next gzclose in this process frees its stream as usual and then reports Z_ERRNO.
void fail_next_stream_close();

}  // namespace tesra::test

#endif  // TESRA_TESTS_WRAPPER_CLOSE_FAILURE_H
