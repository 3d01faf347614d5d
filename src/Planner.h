#ifndef PELKO_PLANNER_H
#define PELKO_PLANNER_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "Delegator.h"
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
    Planner(const Planner&) = delete;
    Planner& operator=(const Planner&) = delete;
    // Stops and joins the bus thread (in the gateway it lives until the end).
    virtual ~Planner();

    void setDelegator(Delegator* dlg);
    void setAddress(unsigned char address);
    void addType(DeviceType& type);
    void addNode(Node& node);
    void removeNode(Node& node);
    void setNodeData(Node& node);

    // Exports the pin, makes it an output, opens the serial port at 115200
    // and starts the bus thread; on a port that does not open reports error 1.
    void start();
    void discoverNewNodes();
    void addressNewNodes(nodeMap& newNodes);

    // Orderly stop (SIGTERM): lets the frame exchange in progress finish,
    // leaves the pin at "0" and keeps the bus quiet from then on. Safe from
    // any thread; returns within about 100 ms.
    void stop();

    // Test seams. The clock gives milliseconds since the epoch (cut to 32
    // bits by the error rule); the time-out bounds the wait for NEW_ADDRESSES.
    void setClock(std::function<unsigned long()> clock);
    void setAddressTimeout(std::chrono::milliseconds timeout);

protected:
    Delegator* pDelegator = nullptr;

private:
    // (private section owned by the Planner's implementation)
    UART uart;
    std::string uartPort;
    std::string gpioNum;
    std::string gpioRoot;
    Message message;
    std::unique_ptr<GPIO> gpio4;
    nodeMap nowNodesR;
    nodeMap nowNodesRW;
    nodeMap nowNodesW;
    nodeMap delayedNodesR;
    nodeMap newNodesMap;
    typeMap types;
};

#endif
