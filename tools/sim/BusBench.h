#ifndef PELKO_SIM_BUSBENCH_H
#define PELKO_SIM_BUSBENCH_H

#include <condition_variable>
#include <deque>
#include <functional>
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
// The gateway opens the line through a symlink, as it would a
// /dev/serial/by-id path, so the line can be unplugged and plugged in again
// under another tty name.
class BusBench {
public:
    // Opens a raw pseudo-terminal pair, the master side non-blocking, both
    // closed on exec; returns the slave's path. Throws std::runtime_error.
    static std::string openLine(int& master, int& slave);

    // Opens the pty pair, points `linkPath` at its slave and sets the nodes
    // up. Throws std::runtime_error.
    BusBench(Trace& trace, const Scenario& scenario, const std::string& pinValuePath, std::string linkPath);
    // On a real line instead: the bus on `busTty` (set raw, 115200 8N1), the
    // gateway's end `gatewayTty` (joined to it by a null modem). Such a line
    // is unplugged and plugged in again by the given shell commands (a USB
    // adapter that a lab pulls out); without them it stays as it is.
    struct RealLine {
        std::string busTty, gatewayTty;
        std::string unplugCommand, replugCommand;
    };
    BusBench(Trace& trace, const Scenario& scenario, const std::string& pinValuePath, std::string linkPath,
             RealLine line);
    ~BusBench();
    BusBench(const BusBench&) = delete;
    BusBench& operator=(const BusBench&) = delete;

    // The device path the gateway is to open (the symlink).
    const std::string& devicePath() const { return linkPath_; }

    void start();
    // Node behaviour times count from `t` (seconds on the trace's clock).
    void beginBehaviour(double t);
    // Stops the line and the behaviour thread (idempotent).
    void stop();

    // Pulls the adapter out: the nodes fall silent, the pty pair is closed
    // (the gateway's reads and writes fail with EIO) and the symlink goes,
    // as udev removes a by-id link. The nodes keep their state and drift on.
    void unplug();
    // Plugs it in again: a new pty pair, the nodes as they are now, the
    // symlink pointing at the new slave. Throws std::runtime_error.
    void replug();

    // One line about the bus for the summary.
    std::string statistics() const;

    // Describes a frame for the trace, decoding values with the scenario's
    // node layouts. Public for the tests of the trace format.
    static Event describe(const SimFrame& frame, const Scenario& scenario, double t);

private:
    // Opens a pty pair with a simulator playing `nodes` on it (running when
    // `startLine`) and points the symlink at it. Caller holds mutex_.
    void plug(const std::vector<SimNode>& nodes, bool startLine);
    // Applies a node change to the running simulator or, unplugged, to the
    // parked nodes. Caller holds mutex_.
    void changeNode(std::size_t node, const std::function<void(SimNode&)>& change);
    void behave();
    void traceFrames();
    double clockToTrace(std::chrono::steady_clock::time_point tp) const;

    Trace& trace_;
    const Scenario& scenario_;
    const std::string pinValuePath_;
    const std::string linkPath_;
    const RealLine realLine_;
    std::chrono::steady_clock::time_point traceZero_;

    // The line as it is plugged now; guarded by mutex_ (the behaviour thread
    // changes nodes while the scenario unplugs and replugs).
    mutable std::mutex mutex_;
    int master_ = -1;
    int slaveKeep_ = -1;
    std::string slavePath_;
    std::unique_ptr<BusSimulator> sim_;  // null while unplugged
    std::vector<std::size_t> ids_;       // simulator id by scenario node index
    std::vector<SimNode> parked_;        // the nodes while unplugged
    std::size_t framesBefore_ = 0, pinLowBefore_ = 0, strayBefore_ = 0;  // of earlier pairs

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
