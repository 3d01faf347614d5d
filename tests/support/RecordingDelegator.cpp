#include "RecordingDelegator.h"

#include <algorithm>

void RecordingDelegator::forwardToPlanner(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    toPlanner_ = on;
}

void RecordingDelegator::forwardToConnector(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    toConnector_ = on;
}

void RecordingDelegator::onCall(const std::string& name, Hook hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_[name] = std::move(hook);
}

std::vector<RecordingDelegator::Call> RecordingDelegator::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<RecordingDelegator::Call> RecordingDelegator::calls(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Call> named;
    for (const Call& call : calls_) {
        if (call.name == name) named.push_back(call);
    }
    return named;
}

std::vector<std::string> RecordingDelegator::names() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> all;
    for (const Call& call : calls_) all.push_back(call.name);
    return all;
}

std::size_t RecordingDelegator::count(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(calls_.begin(), calls_.end(), [&](const Call& call) { return call.name == name; }));
}

void RecordingDelegator::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

bool RecordingDelegator::waitFor(const std::string& name, std::size_t wanted, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(),
                                                      [&](const Call& call) { return call.name == name; })) >= wanted;
    });
}

bool RecordingDelegator::record(Call call, bool towardsPlanner) {
    Hook hook;
    bool forward = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        const auto found = hooks_.find(call.name);
        if (found != hooks_.end()) hook = found->second;
        forward = towardsPlanner ? toPlanner_ : toConnector_;
    }
    changed_.notify_all();
    // Outside the lock: a hook may call back into the gateway, which may call
    // this recorder again.
    if (hook) hook(call);
    return forward;
}

namespace {
RecordingDelegator::Call named(const char* name) {
    RecordingDelegator::Call call;
    call.name = name;
    return call;
}
}  // namespace

void RecordingDelegator::setAddress(unsigned char address) {
    Call call = named("setAddress");
    call.number = address;
    if (record(call, true)) Delegator::setAddress(address);
}

void RecordingDelegator::addType(DeviceType& type) {
    Call call = named("addType");
    call.type = type;
    if (record(call, true)) Delegator::addType(type);
}

void RecordingDelegator::addNode(Node& node) {
    Call call = named("addNode");
    call.node = node;
    if (record(call, true)) Delegator::addNode(node);
}

void RecordingDelegator::startPlanners() {
    if (record(named("startPlanners"), true)) Delegator::startPlanners();
}

void RecordingDelegator::setNodeData(Node& node) {
    Call call = named("setNodeData");
    call.node = node;
    if (record(call, true)) Delegator::setNodeData(node);
}

void RecordingDelegator::removeNode(Node& node) {
    Call call = named("removeNode");
    call.node = node;
    if (record(call, true)) Delegator::removeNode(node);
}

void RecordingDelegator::discoverNewNodes() {
    if (record(named("discoverNewNodes"), true)) Delegator::discoverNewNodes();
}

void RecordingDelegator::addressNewNodes(nodeMap& newNodes) {
    Call call = named("addressNewNodes");
    call.nodes = newNodes;
    if (record(call, true)) Delegator::addressNewNodes(newNodes);
}

void RecordingDelegator::updateNodeData(Node& node) {
    Call call = named("updateNodeData");
    call.node = node;
    if (record(call, false)) Delegator::updateNodeData(node);
}

void RecordingDelegator::logError(unsigned char error) {
    Call call = named("logError");
    call.number = error;
    if (record(call, false)) Delegator::logError(error);
}

void RecordingDelegator::logError(unsigned char error, unsigned short nodeAddress) {
    Call call = named("logError");
    call.number = error;
    call.nodeAddress = nodeAddress;
    call.hasNodeAddress = true;
    if (record(call, false)) Delegator::logError(error, nodeAddress);
}

void RecordingDelegator::requestNewAddresses(nodeMap& found) {
    Call call = named("requestNewAddresses");
    call.nodes = found;
    if (record(call, false)) Delegator::requestNewAddresses(found);
}

void RecordingDelegator::addNodeToMap(Node& node) {
    Call call = named("addNodeToMap");
    call.node = node;
    if (record(call, false)) Delegator::addNodeToMap(node);
}
