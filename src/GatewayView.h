#ifndef PELKO_GATEWAYVIEW_H
#define PELKO_GATEWAYVIEW_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Node.h"
#include "NodeHealth.h"
#include "TraceBuffer.h"

// The one window the operator's tools (control socket, metrics file, status
// line) have on the running gateway. The bus master, the server link and the
// Delegator feed it through small hooks; the tools read it as one snapshot
// and subscribe to the trace. A hook costs an atomic load while nobody
// traces, and never waits for a reader: trace events go into each client's
// bounded buffer, and counters are the bus master's own (NodeHealth).
class GatewayView {
public:
    using Clock = std::chrono::steady_clock;
    using WallClock = std::chrono::system_clock;
    static constexpr std::size_t MAX_TRACES = 4;

    struct SendQueue {
        std::size_t bytes = 0;
        std::uint64_t droppedReports = 0;  // superseded DATA_GET reports
    };
    struct NodeInfo {
        unsigned short address = 0;
        unsigned int type = 0;
        const char* kind = "";  // "R", "W", "RW" or "delayed"
        bool removed = false;   // by the server's NODE_REMOVED
        std::vector<std::vector<unsigned int>> values;  // by channel
        bool polled = false;    // `health` holds the bus master's counters
        NodeHealth::NodeStats health;
    };
    struct Snapshot {
        Clock::time_point at;
        WallClock::time_point wallAt;
        bool serverUp = false;
        WallClock::time_point serverSince;
        Clock::time_point serverSinceSteady;
        std::uint64_t messagesIn = 0;
        std::uint64_t messagesOut = 0;
        SendQueue sendQueue;
        bool busStarted = false;  // the bus thread runs
        bool lineLost = false;    // the serial device is gone now
        std::uint64_t lineLosses = 0;
        NodeHealth::BusStats bus;
        double passRate = 0;  // passes/s over the last few seconds
        std::vector<NodeInfo> nodes;  // by address
    };

    GatewayView();

    // Wiring: the bus master's counters and a look at the send queue.
    void watchHealth(const NodeHealth* health);
    void watchSendQueue(std::function<SendQueue()> look);

    // Hooks: the server link.
    void serverUp();
    void serverIn(const std::string& text);
    void serverOut(const std::string& text);
    // Hooks: the node registry (through the Delegator) and the bus.
    void nodeFiled(const Node& node);
    void nodeRemoved(unsigned short address);
    void busStarted(bool running);
    void busSent(const unsigned char* frame, int length) {
        if (traces.load(std::memory_order_relaxed) > 0) traceBus(TraceEvent::Kind::busOut, frame, length, -1, -1);
    }
    void busReply(unsigned short node, const unsigned char* bytes, int length, std::chrono::microseconds replyTime) {
        if (traces.load(std::memory_order_relaxed) > 0) {
            traceBus(TraceEvent::Kind::busIn, bytes, length, node, replyTime.count());
        }
    }
    void lineLost(bool lost);

    Snapshot snapshot();
    // A node's record as filed (its type and channel count, for decoding its
    // frames); false when unknown.
    bool node(unsigned short address, Node& out) const;

    // A trace client's buffer; nullptr when MAX_TRACES are running.
    std::shared_ptr<TraceBuffer> openTrace(std::set<unsigned short> nodes, bool server);
    void closeTrace(const std::shared_ptr<TraceBuffer>& trace);

private:
    void traceBus(TraceEvent::Kind kind, const unsigned char* bytes, int length, long node, std::int64_t replyUs);
    void traceText(TraceEvent::Kind kind, const std::string& text);
    void publish(const TraceEvent& event);

    const NodeHealth* health = nullptr;
    std::function<SendQueue()> sendQueue;

    mutable std::mutex mutex;  // everything below but the atomics
    std::map<unsigned short, Node> nodes;
    std::map<unsigned short, bool> removed;
    bool serverConnected = false;
    WallClock::time_point serverSince;
    Clock::time_point serverSinceSteady;
    bool running = false;
    bool lost = false;
    std::uint64_t losses = 0;
    // Two samples of the pass counter, for a rate over the last seconds.
    struct Sample {
        Clock::time_point at;
        std::uint64_t passes = 0;
    };
    Sample older, newer;

    std::atomic<std::uint64_t> messagesIn{0};
    std::atomic<std::uint64_t> messagesOut{0};

    std::atomic<int> traces{0};
    std::mutex traceMutex;  // the subscribers
    std::array<std::shared_ptr<TraceBuffer>, MAX_TRACES> subscribers;
};

#endif
