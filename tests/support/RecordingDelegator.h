#ifndef PELKO_TEST_RECORDINGDELEGATOR_H
#define PELKO_TEST_RECORDINGDELEGATOR_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Delegator.h"

// A Delegator that records every call made through it, from any thread, and
// passes none on: it stands in for the half of the gateway a test leaves
// out. A hook per operation lets the test act as that half (answer, block,
// call back) on the caller's thread.
class RecordingDelegator : public Delegator {
public:
    struct Call {
        std::string name;         // the operation, e.g. "setNodeData"
        unsigned int number = 0;  // setAddress: the address; logError: the error code
        int nodeAddress = -1;     // logError with a node: its address
        Node node;                // node operations; shares the caller's value table
        DeviceType type;          // addType
        nodeMap nodes;            // addressNewNodes, requestNewAddresses: a copy of the map
    };
    using Hook = std::function<void(const Call&)>;

    // Runs after the call `name` was recorded, outside the recorder's lock.
    void onCall(const std::string& name, Hook hook);
    std::vector<Call> calls(const std::string& name = "") const;  // all, or those named
    // Sleeps until `count` calls named `name` were recorded; false on time-out.
    bool waitFor(const std::string& name, std::size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

    void setAddress(unsigned char address) override { record("setAddress", address); }
    void addType(DeviceType& type) override { record("addType", 0, -1, {}, type); }
    void addNode(Node& node) override { record("addNode", 0, -1, node); }
    void startPlanners() override { record("startPlanners"); }
    void setNodeData(Node& node) override { record("setNodeData", 0, -1, node); }
    void removeNode(Node& node) override { record("removeNode", 0, -1, node); }
    void discoverNewNodes() override { record("discoverNewNodes"); }
    void addressNewNodes(nodeMap& nodes) override { record("addressNewNodes", 0, -1, {}, {}, nodes); }
    void updateNodeData(Node& node) override { record("updateNodeData", 0, -1, node); }
    void logError(unsigned char error) override { record("logError", error); }
    void logError(unsigned char error, unsigned short node) override { record("logError", error, node); }
    void requestNewAddresses(nodeMap& found) override { record("requestNewAddresses", 0, -1, {}, {}, found); }
    void addNodeToMap(Node& node) override { record("addNodeToMap", 0, -1, node); }

private:
    void record(const char* name, unsigned int number = 0, int nodeAddress = -1, const Node& node = {},
                const DeviceType& type = {}, const nodeMap& nodes = {});

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Call> calls_;
    std::map<std::string, Hook> hooks_;
};

#endif
