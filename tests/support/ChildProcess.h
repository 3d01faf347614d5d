#ifndef PELKO_TEST_CHILDPROCESS_H
#define PELKO_TEST_CHILDPROCESS_H

#include <functional>
#include <string>
#include <vector>

#include "TempDir.h"

// A child process with its standard output and standard error captured to
// files: a function run in a forked copy of the test (status 0 when it
// returns), or a program started in a working directory.
class ChildProcess {
public:
    explicit ChildProcess(const std::function<void()>& body);
    ChildProcess(const std::string& program, std::vector<std::string> args, const std::string& workDir);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits up to timeoutMs: the exit status, 128+signal when a signal ended
    // it, -1 on time-out (the child keeps running).
    int wait(int timeoutMs);
    void signal(int sig) const;
    std::string out() const { return logs_.read("stdout"); }
    std::string err() const { return logs_.read("stderr"); }

private:
    TempDir logs_;
    int pid_ = -1;
    int status_ = -1;
};

// Runs a program to its end (killed after timeoutMs) and returns its status.
int runProgram(const std::string& program, const std::vector<std::string>& args, const std::string& workDir,
               std::string* out, std::string* err, int timeoutMs = 20000);

#endif
