#ifndef PELKO_TEST_RECORDINGDELEGATOR_H
#define PELKO_TEST_RECORDINGDELEGATOR_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Delegator.h"
#include "Node.h"

// A Delegator that records every call made through it, from any thread, for
// tests of either half of the gateway. By default a call is only recorded;
// forwardToPlanner()/forwardToConnector() also pass the calls of that
// direction on to the half given with setPlanner/setConnector. A hook per
// operation name lets a test act as the other half (answer a search, block
// the caller, call back) on the caller's thread.
class RecordingDelegator : public Delegator {
public:
    struct Call {
        std::string name;             // the Delegator operation, e.g. "setNodeData"
        unsigned int number = 0;      // setAddress: the address; logError: the error code
        unsigned int nodeAddress = 0; // logError with a node address
        bool hasNodeAddress = false;
        Node node;                    // node operations; shares the caller's value table
        DeviceType type;              // addType
        nodeMap nodes;                // addressNewNodes, requestNewAddresses: a copy of the map
    };
    using Hook = std::function<void(const Call&)>;

    void forwardToPlanner(bool on);
    void forwardToConnector(bool on);
    // Runs after the call `name` was recorded, before it is forwarded.
    void onCall(const std::string& name, Hook hook);

    std::vector<Call> calls() const;
    std::vector<Call> calls(const std::string& name) const;
    std::vector<std::string> names() const;
    std::size_t count(const std::string& name) const;
    void clear();
    // Sleeps until `count` calls named `name` have been recorded in all;
    // false when the time ran out first.
    bool waitFor(const std::string& name, std::size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

    void setAddress(unsigned char address) override;
    void addType(DeviceType& type) override;
    void addNode(Node& node) override;
    void startPlanners() override;
    void setNodeData(Node& node) override;
    void removeNode(Node& node) override;
    void discoverNewNodes() override;
    void addressNewNodes(nodeMap& newNodes) override;

    void updateNodeData(Node& node) override;
    void logError(unsigned char error) override;
    void logError(unsigned char error, unsigned short nodeAddress) override;
    void requestNewAddresses(nodeMap& found) override;
    void addNodeToMap(Node& node) override;

private:
    // Records, runs the hook; true when the call is to be forwarded.
    bool record(Call call, bool towardsPlanner);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Call> calls_;
    std::map<std::string, Hook> hooks_;
    bool toPlanner_ = false;
    bool toConnector_ = false;
};

#endif
