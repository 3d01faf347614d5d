#ifndef PELKO_TEST_CHILDPROCESS_H
#define PELKO_TEST_CHILDPROCESS_H

#include <string>
#include <vector>

#include "TempDir.h"

// Runs a program in a given working directory with standard output and
// standard error captured to files, for tests of the real binaries.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workDir);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits up to timeoutMs. Returns the exit status, 128+signal when killed
    // by a signal, or -1 on time-out (the child keeps running).
    int wait(int timeoutMs);
    void signal(int sig) const;
    bool running();
    std::string out() const;  // everything written to standard output so far
    std::string err() const;
    int pid() const { return pid_; }

private:
    TempDir logs_;
    int pid_ = -1;
    int status_ = -1;
    bool done_ = false;
};

// Convenience: runs to completion (or kills after timeoutMs) and returns the status.
int runProgram(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
               std::string* out, std::string* err, int timeoutMs = 20000);

#endif
