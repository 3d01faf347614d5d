#ifndef PELKO_TEST_FORKEDCALL_H
#define PELKO_TEST_FORKEDCALL_H

#include <functional>
#include <string>

// Result of a call run in a forked child: its exit status (128+signal when
// killed, -1 when it did not end in time) and everything it wrote.
struct ForkedResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs fn in a forked copy of the test process with standard output and
// standard error captured byte for byte. The child exits 0 when fn returns.
// For code that ends the process, or for faults that cannot be undone.
ForkedResult runForked(const std::function<void()>& fn, int timeoutMs = 20000);

#endif
