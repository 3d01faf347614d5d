#ifndef PELKO_DELEGATOR_H
#define PELKO_DELEGATOR_H

#include <atomic>
#include <functional>

#include "Node.h"

class Connector;
class GatewayView;
class Planner;

// Mediator between the server link (Connector) and the bus master (Planner).
// Neither half knows the other; every call between them comes through here,
// is forwarded unchanged and runs on the caller's thread. The forwarding
// operations are virtual only so that tests can put a recording stand-in in
// place of either half; the gateway itself uses this class as it is.
class Delegator {
public:
    Delegator() = default;
    virtual ~Delegator() = default;

    void setConnector(Connector* connector);
    void setPlanner(Planner* planner);
    // Called on the main thread once startPlanners() has started the bus
    // master: `running` is false when its serial port did not open (error 1
    // was reported). The service manager is told "ready" from here.
    void setBusStartedHook(std::function<void(bool running)> hook);
    // The operator's view, told of every node filed or removed.
    void setView(GatewayView* view);

    // Server side -> bus side (main thread).
    virtual void setAddress(unsigned char address);  // stores it, then Planner::setAddress
    virtual void addType(DeviceType& type);
    virtual void addNode(Node& node);
    virtual void startPlanners();
    virtual void setNodeData(Node& node);
    virtual void removeNode(Node& node);
    virtual void discoverNewNodes();
    virtual void addressNewNodes(nodeMap& newNodes);

    // Bus side -> server side.
    virtual void updateNodeData(Node& node);                               // bus thread
    virtual void logError(unsigned char error);                            // main thread
    virtual void logError(unsigned char error, unsigned short nodeAddress);  // bus thread
    virtual void requestNewAddresses(nodeMap& found);                      // main thread
    virtual void addNodeToMap(Node& node);                                 // main thread

    unsigned char getAddress() const { return address; }

private:
    unsigned char address = 0;
    std::function<void(bool)> busStarted;
    // Inside startPlanners, and whether the port failed meanwhile; atomic as
    // the bus thread may report errors while start() is still returning.
    std::atomic<bool> starting{false};
    std::atomic<bool> startFailed{false};
    Connector* pConnector = nullptr;
    Planner* pPlanner = nullptr;
    GatewayView* view = nullptr;
};

#endif
