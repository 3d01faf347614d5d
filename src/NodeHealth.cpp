#include "NodeHealth.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string fixed(double value, const char* unit) {
    char text[48];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

}  // namespace

void NodeHealth::record(unsigned short address, Reply reply, std::chrono::microseconds replyTime,
                        Clock::time_point at) {
    std::lock_guard<std::mutex> guard(mutex);
    Counters& c = nodes[address];
    ++c.requests;
    if (reply != Reply::valid && !c.failing) {
        c.failing = true;
        c.failingSince = at;
    }
    switch (reply) {
        case Reply::missing: ++c.missing; return;
        case Reply::invalid: ++c.invalid; return;
        case Reply::valid: break;
    }
    ++c.valid;
    c.answered = true;
    c.failing = false;
    c.lastValid = at;
    c.replyUsTotal += static_cast<std::uint64_t>(std::max<std::int64_t>(0, replyTime.count()));
    c.times[c.next] = static_cast<std::uint32_t>(std::max<std::int64_t>(0, replyTime.count()));
    c.next = (c.next + 1) % KEPT_TIMES;
    c.kept = std::min(c.kept + 1, KEPT_TIMES);
}

void NodeHealth::countPass() {
    std::lock_guard<std::mutex> guard(mutex);
    ++passes;
}

void NodeHealth::countBytes(std::uint64_t sent, std::uint64_t received) {
    std::lock_guard<std::mutex> guard(mutex);
    bytesSent += sent;
    bytesReceived += received;
}

std::vector<std::string> NodeHealth::report(Clock::time_point now) {
    std::lock_guard<std::mutex> guard(mutex);
    std::vector<std::string> lines;
    for (const auto& entry : nodes) {
        const Counters& c = entry.second;
        std::string line = "Node " + std::to_string(entry.first) + ": " + std::to_string(c.requests) + " requests, " +
                           std::to_string(c.valid) + " valid, " + std::to_string(c.missing) + " missing, " +
                           std::to_string(c.invalid) + " invalid, last valid reply ";
        if (c.answered) {
            line += fixed(std::chrono::duration<double>(now - c.lastValid).count(), "s ago");
            line += ", reply time " + fixed(median(c) / 1000.0, "ms") + " (median of " + std::to_string(c.kept) + ")";
        } else {
            line += "never";
        }
        lines.push_back(line);
    }
    const double seconds = std::chrono::duration<double>(now - lastReport).count();
    const double rate = seconds > 0 ? static_cast<double>(passes - passesReported) / seconds : 0.0;
    lines.push_back("Bus: " + fixed(rate, "passes/s") + ", " + std::to_string(bytesSent) + " B sent, " +
                    std::to_string(bytesReceived) + " B received");
    passesReported = passes;
    lastReport = now;
    return lines;
}

std::uint32_t NodeHealth::median(const Counters& c) {
    if (c.kept == 0) return 0;
    std::array<std::uint32_t, KEPT_TIMES> times = c.times;
    const auto middle = times.begin() + static_cast<long>(c.kept / 2);
    std::nth_element(times.begin(), middle, times.begin() + static_cast<long>(c.kept));
    return *middle;
}

std::vector<NodeHealth::NodeStats> NodeHealth::nodeStats() const {
    std::lock_guard<std::mutex> guard(mutex);
    std::vector<NodeStats> all;
    all.reserve(nodes.size());
    for (const auto& [nodeAddress, c] : nodes) {
        NodeStats s;
        s.address = nodeAddress;
        s.requests = c.requests;
        s.valid = c.valid;
        s.missing = c.missing;
        s.invalid = c.invalid;
        s.answered = c.answered;
        s.lastValid = c.lastValid;
        s.failing = c.failing;
        s.failingSince = c.failingSince;
        s.medianReplyUs = median(c);
        s.keptTimes = c.kept;
        s.replyUsTotal = c.replyUsTotal;
        all.push_back(s);
    }
    return all;
}

NodeHealth::BusStats NodeHealth::busStats() const {
    std::lock_guard<std::mutex> guard(mutex);
    return BusStats{passes, bytesSent, bytesReceived};
}
