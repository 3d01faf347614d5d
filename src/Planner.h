#ifndef PELKO_PLANNER_H
#define PELKO_PLANNER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "BusTiming.h"
#include "Delegator.h"
#include "Direction.h"
#include "GPIO.h"
#include "GatewayView.h"
#include "ListeningWindow.h"
#include "Message.h"
#include "Node.h"
#include "NodeHealth.h"
#include "RepeatFolder.h"
#include "UART.h"

// The bus master: owns the serial port, the line driver and the frame
// builder, keeps the node tables, runs the bus cycle on its own thread and
// finds and addresses new nodes on the server's command.
//
// All state the bus thread and the command thread share is guarded by
// `state` and every change to it is announced on `changed`. Whoever holds
// `line` owns the bus for one whole exchange (driver, frames, answer).
class Planner {
public:
    // Milliseconds since the epoch (the error rule cuts them to 32 bits).
    using Clock = std::function<unsigned long()>;
    static unsigned long systemClock();

    Planner(std::string uartPort, std::string gpioNum, std::string gpioRoot = GPIO::DEFAULT_ROOT,
            Clock clock = systemClock);
    // The line driver switched as `direction` says.
    Planner(std::string uartPort, DirectionSettings direction, Clock clock = systemClock);
    Planner(const Planner&) = delete;
    Planner& operator=(const Planner&) = delete;
    // Stops and joins the bus thread (in the gateway it lives until the end).
    virtual ~Planner();

    // Stores the mediator through which errors, values and new nodes are reported.
    void setDelegator(Delegator* dlg);
    // The operator's view: sees the counters, the frames and a lost line.
    void setView(GatewayView* view);
    // Every frame built from now on carries this as the gateway's address.
    void setAddress(unsigned char address);
    // Keeps a copy under its type code; a code already known keeps its first type.
    void addType(DeviceType& type);
    // Files a copy in the table its type's class selects (never replacing one).
    void addNode(Node& node);
    // Drops the node from its table once the bus thread has left that table.
    void removeNode(Node& node);
    // Replaces the record of a W or RW node, whose table holds the server's
    // values already (they go out on the next write pass, see ValueTable);
    // waits until the bus thread has left the table.
    void setNodeData(Node& node);

    // Sets up the line driver, opens the serial port at 115200 and starts
    // the bus thread; on a port that does not open reports error 1.
    void start();
    // Pauses the bus cycle at the end of a pass, broadcasts a discovery
    // request, listens for 8 s and reports the nodes found (or error 5/4).
    void discoverNewNodes();
    // Gives every node of the map its address over the bus, files those that
    // confirm it and registers them through the Delegator; resumes the cycle.
    void addressNewNodes(nodeMap& newNodes);

    // Orderly stop (SIGTERM): lets the frame exchange in progress finish,
    // leaves the driver off and keeps the bus quiet from then on. Safe from
    // any thread; returns once the bus thread has ended.
    void stop();

    // Counts the bus side's steps: passes completed, discovery and addressing
    // steps, attempts to reopen the serial port. A service watchdog is fed
    // only while this moves.
    std::uint64_t progress() const;

    // Diagnostics of one node identical to one printed within `window` are
    // counted instead of printed (zero, the default: all printed).
    void setFoldRepeats(std::chrono::milliseconds window);
    // Prints one health line per node and one for the bus.
    void printHealth();
    // Before start(): run the bus thread at this SCHED_FIFO priority (1-99)
    // with the process's memory locked, where the system allows it.
    void setRealtimePriority(int priority);

    // Test seams: how long the bus waits for NEW_ADDRESSES, how long
    // discovery listens after its broadcast, and what the bus thread runs
    // each time it has left a node table (set before start()).
    void setAddressTimeout(std::chrono::milliseconds timeout);
    void setDiscoveryWindow(std::chrono::milliseconds window);
    void setTableLeftHook(std::function<void()> hook);

protected:
    Delegator* pDelegator = nullptr;
    GatewayView* view = nullptr;

private:
    static constexpr int BUF_SIZE = 128;         // rxbuf, rxbufpart, txbuf
    static constexpr int READ_CHUNK = 100;       // most bytes asked of one read

    // A node table with the flags the two threads meet on (`update` is null
    // for the tables that only the bus thread writes to).
    struct Table {
        nodeMap* nodes;
        bool* lock;
        bool* update;
    };
    enum class TableClass { none, R, RW, W, DR };
    static TableClass classOf(const Node& node);
    Table table(TableClass which);

    // Bus cycle (bus thread).
    void loop();
    bool beginPass();
    void makePass();
    template <typename Work>
    void onTable(TableClass which, Work&& work);
    void requestGetNodes(nodeMap& nodes);
    void setNodes(nodeMap& nodes);
    void meassureNodes(nodeMap& nodes);
    void applyErrorRule(Node& node);
    // The serial device went away: reports it once, pauses the cycle and
    // reopens the port every 2 s; false when stopped meanwhile.
    bool recoverLine();

    // The line (callers hold `line`). transmit: driver on, lead, `count`
    // frames built by build(i) each followed by the gap, driver off, trail.
    // exchange: one frame after `lead`, driver off, then the answer.
    template <typename Build>
    void transmit(const bustiming::Burst& timing, int count, Build&& build);
    int exchange(bustiming::us lead, int frameLength, Node& node, int answerLength,
                 std::chrono::microseconds& replyTime);
    int fetchData(Node& node, int length);
    static void pause(bustiming::us duration);

    // Commands (command thread).
    template <typename Change>
    void whenTableFree(const Table& table, Change&& change);
    bool fileNode(Node& node);
    // Waits for the end of a pass and keeps the bus; false when stopping or
    // when the port is not open (then it has said so).
    bool takeBus(const char* refused);
    void releaseBus();
    bool pauseUnlessStopped(std::chrono::microseconds duration);
    bool isStopping();

    // Discovery in its three steps, and addressing of one node.
    bool broadcastDiscovery();
    bool listen();
    void reportDiscovery();
    bool addressNode(Node node);

    UART uart;
    std::string uartPort;
    DirectionSettings directionSettings;
    std::unique_ptr<Direction> direction;  // set up by start(); used under `line`
    Message message;
    const Clock clock;
    int realtimePriority = 0;
    unsigned char rxbuf[BUF_SIZE] = {};
    unsigned char rxbufpart[BUF_SIZE] = {};
    unsigned char txbuf[BUF_SIZE] = {};
    ListeningWindow window;  // of the latest discovery
    unsigned char address = 0;
    int pass = 0;

    nodeMap nowNodesR;
    nodeMap nowNodesRW;
    nodeMap nowNodesW;
    nodeMap delayedNodesR;
    nodeMap newNodesMap;
    typeMap types;

    std::mutex state;
    std::condition_variable changed;
    std::mutex line;

    // Guarded by `state`.
    bool lockW = false;
    bool lockRW = false;
    bool lockR = false;
    bool lockDR = false;
    bool updateW = false;
    bool updateRW = false;
    bool halted = false;     // discovery or addressing has the bus
    bool confirmed = false;  // the bus thread is between two passes
    bool awaitingAddresses = false;
    std::chrono::steady_clock::time_point reportedAt;
    std::chrono::milliseconds addressTimeout = bustiming::addressTimeout;
    std::chrono::milliseconds discoveryWindow = bustiming::discoveryWindow;
    bool started = false;
    bool portOpen = false;
    bool stopping = false;
    bool joining = false;  // a stop() is joining the bus thread
    std::function<void()> tableLeft;
    std::thread busThread;

    std::atomic<std::uint64_t> steps{0};
    NodeHealth health;
    RepeatFolder folder;
};

#endif
