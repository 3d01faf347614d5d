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
#include <vector>

#include "Delegator.h"
#include "Direction.h"
#include "GPIO.h"
#include "Message.h"
#include "Node.h"
#include "UART.h"

// The bus master: owns the serial port, the direction pin and the frame
// builder, keeps the node tables, runs the bus cycle on its own thread and
// finds and addresses new nodes on the server's command.
class Planner {
public:
    Planner(std::string uartPort, std::string gpioNum,
            std::string gpioRoot = GPIO::DEFAULT_ROOT);
    // The line driver switched as `direction` says.
    Planner(std::string uartPort, DirectionSettings direction);
    Planner(const Planner&) = delete;
    Planner& operator=(const Planner&) = delete;
    // Stops and joins the bus thread (in the gateway it lives until the end).
    virtual ~Planner();

    // Stores the mediator through which errors, values and new nodes are reported.
    void setDelegator(Delegator* dlg);
    // Every frame built from now on carries this as the gateway's address.
    void setAddress(unsigned char address);
    // Keeps a copy under its type code; a code already known keeps its first type.
    void addType(DeviceType& type);
    // Files a copy in the table its type's class selects (never replacing one).
    void addNode(Node& node);
    // Drops the node from its table once the bus thread has left that table.
    void removeNode(Node& node);
    // Replaces the record of a W or RW node (its values go out on the next
    // write pass); waits until the bus thread has left the table.
    void setNodeData(Node& node);

    // Exports the pin, makes it an output, opens the serial port at 115200
    // and starts the bus thread; on a port that does not open reports error 1.
    void start();
    // Pauses the bus cycle at the end of a pass, broadcasts a discovery
    // request, listens for 8 s and reports the nodes found (or error 5/4).
    void discoverNewNodes();
    // Gives every node of the map its address over the bus, files those that
    // confirm it and registers them through the Delegator; resumes the cycle.
    void addressNewNodes(nodeMap& newNodes);

    // Orderly stop (SIGTERM): lets the frame exchange in progress finish,
    // leaves the pin at "0" and keeps the bus quiet from then on. Safe from
    // any thread; returns within about 100 ms.
    void stop();

    // Counts the bus side's steps: passes completed, discovery and addressing
    // steps, attempts to reopen the serial port. A service watchdog is fed
    // only while this moves.
    std::uint64_t progress() const;

    // Test seams. The clock gives milliseconds since the epoch (cut to 32
    // bits by the error rule); the time-out bounds the wait for NEW_ADDRESSES.
    void setClock(std::function<unsigned long()> clock);
    void setAddressTimeout(std::chrono::milliseconds timeout);

protected:
    Delegator* pDelegator = nullptr;

private:
    static constexpr int BUF_SIZE = 128;          // rxbuf, rxbufpart, txbuf
    static constexpr int READ_CHUNK = 100;        // most bytes asked of one read
    static constexpr int FETCH_READS = 80;        // reads of one receive window
    static constexpr int WINDOW_TURNS = 8000;     // reads of the discovery window
    static constexpr int WINDOW_SIZE = 200 * 9;   // discovery replies kept per window
    static constexpr int ADDRESS_ATTEMPTS = 19;
    static constexpr int CONFIRMATIONS = 5;

    // Bus cycle (bus thread).
    void loop();
    void makePass();
    void requestGetNodes(nodeMap& nodes);
    void setNodes(nodeMap& nodes);
    void meassureNodes(nodeMap& nodes);
    int fetchData(Node& node, int length);
    void applyErrorRule(Node& node);
    void checkAddressTimeout();

    // Table handshake: the bus thread raises a table's lock flag only when
    // the table's update flag is down (else it skips the table); commands
    // change a table only while its lock flag is down.
    bool enterTable(std::atomic<bool>& lock, const std::atomic<bool>* update);
    template <typename F>
    void whenTableFree(const std::atomic<bool>& lock, F&& change);
    void raiseUpdate(const std::atomic<bool>& lock, std::atomic<bool>& update);

    // Bus hand-over to discovery and addressing (main thread).
    bool takeBus();
    void releaseBus();
    bool pauseUnlessStopped(std::chrono::microseconds duration);
    bool fileNode(Node& node);

    void setPin(const char* level);

    UART uart;
    std::string uartPort;
    DirectionSettings directionSettings;
    Message message;
    unsigned char rxbuf[BUF_SIZE] = {};
    unsigned char rxbufpart[BUF_SIZE] = {};
    unsigned char txbuf[BUF_SIZE] = {};
    std::vector<unsigned char> window;  // the discovery listening window
    unsigned char address = 0;
    int pass = 0;
    int n = 0;

    std::atomic<bool> lockW{false};
    std::atomic<bool> lockRW{false};
    std::atomic<bool> lockR{false};
    std::atomic<bool> lockDR{false};
    std::atomic<bool> updateW{false};
    std::atomic<bool> updateRW{false};
    std::atomic<bool> halted{false};
    std::atomic<bool> confirmed{false};

    nodeMap nowNodesR;
    nodeMap nowNodesRW;
    nodeMap nowNodesW;
    nodeMap delayedNodesR;
    nodeMap newNodesMap;
    typeMap types;
    std::unique_ptr<Direction> direction;

    // flagMutex: every test-and-raise of the eight flags, table changes made
    // by commands, and the wait for NEW_ADDRESSES. Held only for a moment.
    std::mutex flagMutex;
    bool awaitingAddresses = false;
    std::chrono::steady_clock::time_point reportedAt;
    std::chrono::milliseconds addressTimeout{60000};

    // busMutex: held for each whole exchange on the line (pin, frames,
    // answer), by whichever thread has the bus, and by stop().
    std::mutex busMutex;
    std::mutex joinMutex;  // guards busThread: started by start(), joined by stop() from any thread
    // commandMutex: table commands (addNode, removeNode, setNodeData) one at a time.
    std::mutex commandMutex;

    std::mutex clockMutex;
    std::function<unsigned long()> clock;

    std::mutex stopMutex;
    std::condition_variable stopWake;
    std::atomic<bool> stopping{false};
    std::atomic<bool> portOpen{false};
    std::atomic<std::uint64_t> steps{0};
    bool started = false;
    std::thread busThread;
};

#endif
