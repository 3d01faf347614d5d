#ifndef PELKO_TEST_FORKEDCALL_H
#define PELKO_TEST_FORKEDCALL_H

#include "ChildProcess.h"

// A call run in a forked copy of the test process, for code that ends the
// process or faults that cannot be undone: its exit status (0 when fn
// returns, 128+signal when killed, -1 when it did not end in time) and
// everything it wrote.
struct ForkedResult {
    int status = -1;
    std::string out;
    std::string err;
};

inline ForkedResult runForked(const std::function<void()>& fn, int timeoutMs = 20000) {
    ChildProcess child(fn);
    const int status = child.wait(timeoutMs);
    return {status, child.out(), child.err()};
}

#endif
