#include "RecordingDelegator.h"

#include <algorithm>

void RecordingDelegator::onCall(const std::string& name, Hook hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_[name] = std::move(hook);
}

std::vector<RecordingDelegator::Call> RecordingDelegator::calls(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Call> found;
    std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(found),
                 [&](const Call& call) { return name.empty() || call.name == name; });
    return found;
}

bool RecordingDelegator::waitFor(const std::string& name, std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(),
                                                      [&](const Call& call) { return call.name == name; })) >= count;
    });
}

void RecordingDelegator::record(const char* name, unsigned int number, int nodeAddress, const Node& node,
                                const DeviceType& type, const nodeMap& nodes) {
    Call call;
    call.name = name;
    call.number = number;
    call.nodeAddress = nodeAddress;
    call.node = node;
    call.type = type;
    call.nodes = nodes;
    Hook hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        const auto found = hooks_.find(name);
        if (found != hooks_.end()) hook = found->second;
    }
    changed_.notify_all();
    // Outside the lock: a hook may call the gateway, which may call this recorder again.
    if (hook) hook(call);
}
