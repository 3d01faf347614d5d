#ifndef PELKO_SIM_BUSBENCH_H
#define PELKO_SIM_BUSBENCH_H

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BusSimulator.h"
#include "Scenario.h"
#include "Trace.h"

// The bus side of the bench: a pseudo-terminal pair whose slave is the
// gateway's serial device, the scenario's nodes played on the master side by
// the BusSimulator (echo, answers, line timing, direction pin check), every
// frame decoded into the trace, and a thread that changes the nodes over
// time as the scenario says (drifting values, toggling switches, silence).
class BusBench {
public:
    // Opens the pty pair and sets the nodes up. Throws std::runtime_error.
    BusBench(Trace& trace, const Scenario& scenario, const std::string& pinValuePath);
    ~BusBench();
    BusBench(const BusBench&) = delete;
    BusBench& operator=(const BusBench&) = delete;

    // The device path the gateway is to open.
    const std::string& devicePath() const { return slavePath_; }

    void start();
    // Node behaviour times count from `t` (seconds on the trace's clock).
    void beginBehaviour(double t);
    // Stops the line and the behaviour thread (idempotent).
    void stop();

    // One line about the bus for the summary.
    std::string statistics() const;

    // Describes a frame for the trace, decoding values with the scenario's
    // node layouts. Public for the tests of the trace format.
    static Event describe(const SimFrame& frame, const Scenario& scenario, double t);

private:
    void behave();
    void traceFrames();
    double clockToTrace(std::chrono::steady_clock::time_point tp) const;

    Trace& trace_;
    const Scenario& scenario_;
    int master_ = -1;
    int slaveKeep_ = -1;
    std::string slavePath_;
    std::unique_ptr<BusSimulator> sim_;
    std::vector<std::size_t> ids_;  // simulator id by scenario node index
    std::chrono::steady_clock::time_point traceZero_;

    std::mutex mutex_;
    std::condition_variable cv_;
    double begin_ = -1;
    bool stopping_ = false;
    std::thread behaviour_;

    // Frames wait here for the trace thread, so the simulator's line thread
    // never waits on the trace (it must echo the gateway's bytes at once).
    std::mutex framesMutex_;
    std::condition_variable framesCv_;
    std::deque<SimFrame> frames_;
    bool framesDone_ = false;
    std::thread tracer_;
};

#endif
