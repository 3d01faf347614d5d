#ifndef PELKO_SIM_GATEWAYPROCESS_H
#define PELKO_SIM_GATEWAYPROCESS_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Trace.h"

// The real gateway binary, run in the bench's working directory. Its
// standard output goes through a pseudo-terminal, so the C library flushes
// it line by line as it would on a console, and its standard error through a
// pipe; every line lands in the trace as it is written. The process gets its
// own process group, so Ctrl-C reaches the bench, which stops it in order.
class GatewayProcess {
public:
    explicit GatewayProcess(Trace& trace);
    // Kills the process if it still runs and waits for all its output.
    ~GatewayProcess();
    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    // Starts `binary` with no arguments in `workDir`. False (with `error`
    // filled) when it could not be started.
    bool start(const std::string& binary, const std::string& workDir, std::string& error);

    // Sends a signal to the process if it still runs.
    void signal(int sig) const;
    // Waits up to `seconds` for the process to end; true when it has.
    bool waitExit(double seconds);
    // True once the process has ended and its last lines are in the trace.
    bool exited() const { return exited_; }
    // Exit code, or 128 + signal number when a signal ended it.
    int status() const { return status_; }
    int pid() const { return pid_; }

private:
    void readLines(int fd, Event::Kind kind);
    void reap();

    Trace& trace_;
    int pid_ = -1;
    std::atomic<bool> exited_{false};
    std::atomic<int> status_{-1};
    std::mutex mutex_;
    std::condition_variable exitedCv_;
    std::thread outReader_, errReader_, waiter_;
};

#endif
